// Axis-aligned box of a center and a size, rotated about its center.
#pragma once

#include <array>

#include <optional>
#include <string>

#include "polygon.hpp"

namespace whistle {

// Its corners lie within the coordinate range; changes that would move one out throw RangeError
// and leave the rectangle unchanged.
class Rectangle final : public Cloneable<Rectangle, Structure> {
public:
    Rectangle(const Vector& center = {}, const Vector& size = {}, double rotation = 0);
    // The rectangle spanned by two opposite corners (center truncated towards zero).
    static Rectangle from_corners(const Vector& corner1, const Vector& corner2, double rotation);
    // The constructor forms of the interpreter: at least one corner or the size is required.
    static Rectangle from_arguments(const std::optional<Vector>& corner1,
                                    const std::optional<Vector>& corner2, const Vector& center,
                                    const std::optional<Vector>& size, double rotation);

    const Vector& center() const { return center_; }
    const Vector& size() const { return size_; }
    double rotation() const { return rotation_; }
    void set_center(const Vector& center);
    void set_size(const Vector& size);
    void set_rotation(double rotation);

    // The vertices of to_polygon() without allocating.
    std::array<Vector, 4> corner_points() const { return corner_points(center_, size_, rotation_); }

    WHISTLE_STRUCTURE_OVERRIDES;

private:
    // The corners, snapped to the grid; throws RangeError when one lies beyond the range.
    static Ring corners(const Vector& center, const Vector& size, double rotation);
    Ring corners() const { return corners(center_, size_, rotation_); }
    // The same without allocating.
    static std::array<Vector, 4> corner_points(const Vector& center, const Vector& size,
                                               double rotation);
    void assign(const Vector& center, const Vector& size, double rotation);

    Vector center_;
    Vector size_;
    double rotation_;
};

}  // namespace whistle
