// Polygon with holes: an exterior ring and hole rings of integer points, not closed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "structure.hpp"

namespace whistle {

using Ring = std::vector<Vector>;

class Polygon final : public Cloneable<Polygon, Structure> {
public:
    static constexpr const char* kInvalidCreated =
        "Created polygon is invalid. Make sure the exterior boundary and holes are non-degenerate "
        "and that all holes are inside the exterior boundary.";
    static constexpr const char* kInvalidWrite =
        "Polygon is invalid. Make sure the exterior boundary and holes are non-degenerate and "
        "that all holes are inside the exterior boundary.";
    static constexpr const char* kFilletWarning =
        "Fillet radius invalidated polygon holes; polygon unchanged.";

    Polygon() : Cloneable(TypeCode::Polygon, StructureKind::Polygon) {}
    // Stores the rings exactly as given (no snapping); call normalize() for user input.
    explicit Polygon(Ring vertices, std::vector<Ring> holes = {})
        : Cloneable(TypeCode::Polygon, StructureKind::Polygon),
          vertices_(std::move(vertices)), holes_(std::move(holes)) {}
    // Copies the rings and the value caches; properties follow the BaseType copy rules.
    Polygon(const Polygon& other) = default;
    Polygon(Polygon&& other) = default;
    // Value assignment of the rings only (identity, properties and wrapper link stay).
    Polygon& operator=(const Polygon& other);
    Polygon& operator=(Polygon&& other);

    const Ring& vertices() const { return vertices_; }
    const std::vector<Ring>& holes() const { return holes_; }

    // Replaces the rings after normalising them; when the result is invalid nothing changes
    // and false is returned.
    bool assign(Ring vertices, std::vector<Ring> holes);

    // Snaps every point to the configured grid, removes repeated consecutive points and a
    // closing point equal to the first; clears the caches.
    void normalize();
    // Non-degenerate exterior and holes, every hole inside the exterior.
    bool is_valid() const;

    // Removes vertices exactly collinear with their kept predecessor and their successor.
    void remove_collinear();
    // Rounds every corner with an arc of at most `radius`; warns and keeps the polygon when
    // the result would no longer hold its holes.
    void fillet(Coord radius, ErrorHandler& status);

    // Exact signed shoelace area of one ring (twice the area).
    static Int128 double_area(const Ring& ring);

    WHISTLE_STRUCTURE_OVERRIDES;

private:
    void clear_caches();

    Ring vertices_;
    std::vector<Ring> holes_;
    mutable std::optional<Area> area_;
    mutable std::optional<Coord> perimeter_;
};

// Snaps every point to the configured grid.
void snap_to_grid(Ring& ring);

// Bounds of a list of points (all zero when empty).
Bounds ring_bounds(const Ring& ring);

}  // namespace whistle
