// A loaded geometry element in database units, before it becomes a structure: what the
// builder places, repeats and compares when it compacts.
#pragma once

#include <memory>
#include <functional>
#include <string>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"
#include "core/geometry/structure.hpp"
#include "core/model/layer.hpp"
#include "events.hpp"

namespace whistle::layout {

struct ElementShape {
    enum class Kind : uint8_t { Polygon, Circle, Path };

    Kind kind = Kind::Polygon;
    Layer layer;
    // Polygon vertices, path points, or the circle's center.
    std::vector<Vector> points;
    // Circle radius or path width.
    Coord size = 0;
    // Paths only: the end extensions as fractions of the width.
    bool absolute_width = false;
    bool round_ends = false;
    double begin_extension = 0;
    double end_extension = 0;

    // The point that places the element: its first point.
    const Vector& origin() const { return points.front(); }
    void translate(const Vector& delta) {
        for (Vector& p : points) p += delta;
    }
    // Equal up to translation; equal shapes hash alike.
    bool same_shape(const ElementShape& other) const;
    size_t hash() const;
    // An axis-aligned outline of four vertices becomes a Rectangle when its center is exact.
    // Null, with the failure in `status`, when the structure cannot be built.
    std::shared_ptr<Structure> make(ErrorHandler& status) const;
};

// A placement of a cell without its origin, hashed alike when equal.
size_t placement_hash(const std::string& cell, const ElementTransform& transform);
bool same_transform(const ElementTransform& a, const ElementTransform& b);

}  // namespace whistle::layout
