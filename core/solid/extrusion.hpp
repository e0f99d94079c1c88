// Extrusion of planar polygons into solids along z, with straight or angled sidewalls.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "core/geometry/polygon.hpp"

namespace whistle {

class BaseType;
class ExtrusionSpec;
class Structure3D;

// The face offset at each height: d(z) = round((reference − z) · tan θ). Faces below the
// reference grow and faces above shrink for a positive angle.
struct SidewallProfile {
    std::array<Coord, 2> limits;
    Coord reference;
    double slope;  // tan θ

    static SidewallProfile of(const ExtrusionSpec& spec);

    Coord offset_at(Coord z) const;
    // The offsets at the two limits differ by less than one grid step.
    bool is_straight() const;
};

// Solids for the polygons in one medium. A straight profile gives straight extrusions; an
// angled one gives tapered extrusions for lone polygons whose offsets keep their shape over
// the whole height, and, for each group of polygons whose offsets meet, stacked meshes split
// (down to `tolerance`) at the heights where the offsets merge, split, vanish or leave a
// straight slope. Intervals that cannot be meshed fall back to the orthogonal profile of
// their middle with a warning in `status`.
std::vector<std::shared_ptr<Structure3D>> extrude_polygons(const std::vector<Polygon>& polygons,
                                                           const SidewallProfile& profile,
                                                           const std::shared_ptr<BaseType>& medium,
                                                           Coord tolerance, ErrorHandler& status);

}  // namespace whistle
