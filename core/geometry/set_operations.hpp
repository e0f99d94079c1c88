// Boolean operations, offsets, healing and envelopes of polygon sets in database units. Points
// beyond the coordinate range, given or produced, throw RangeError.
#pragma once

#include <vector>

#include "core/foundation/error_handler.hpp"
#include "polygon.hpp"
#include "polygon_engine.hpp"

namespace whistle {

// Sides of an offset result's bounding box that are pulled back by the offset distance, so
// that the shape keeps its original extent there.
struct TrimSides {
    bool x_min = false;
    bool x_max = false;
    bool y_min = false;
    bool y_max = false;

    bool any() const { return x_min || x_max || y_min || y_max; }
};

// The polygons of each operand are united before the operation.
std::vector<Polygon> boolean(const std::vector<Polygon>& operand1,
                             const std::vector<Polygon>& operand2, BooleanOperation operation);

// True when a polygon of one set shares any point (area, edge stretch or single vertex) with a
// polygon of the other. Holes are void. Exact on integer coordinates.
bool intersects(const std::vector<Polygon>& operand1, const std::vector<Polygon>& operand2);
// The same for two single polygons.
bool intersects(const Polygon& a, const Polygon& b);

// Dilates (positive distance) or erodes the union of the polygons; miter or round joins with
// the configured tolerance for arcs.
std::vector<Polygon> offset(const std::vector<Polygon>& operand, Coord distance, bool round_joins,
                            TrimSides trim = {});

// Removes features smaller than |feature_size|: an opening then a closing for a positive size,
// the reverse for a negative one.
std::vector<Polygon> heal(const std::vector<Polygon>& operand, Coord feature_size);

// The convex hull (or bounding box) of all polygons as one polygon. Reports an error and
// returns an empty polygon when there are no polygons or they span no area.
Polygon envelope_outline(const std::vector<Polygon>& operand, bool use_box, ErrorHandler& status);

// An envelope outline dilated by `dilation` > 0 and trimmed as `offset` does. Reports an error
// and returns an empty polygon unless the result is exactly one polygon.
Polygon dilate_envelope(const Polygon& outline, Coord dilation, TrimSides trim, bool round_joins,
                        ErrorHandler& status);

}  // namespace whistle
