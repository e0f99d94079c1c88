#include "rectangle.hpp"

#include <cmath>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

Vector absolute(const Vector& v) { return {std::abs(v.x), std::abs(v.y)}; }

}  // namespace

Rectangle::Rectangle(const Vector& center, const Vector& size, double rotation)
    : Cloneable(TypeCode::Rectangle, StructureKind::Rectangle),
      center_(center), size_(absolute(size)), rotation_(rotation) {
    assign(center, size, rotation);
}

Rectangle Rectangle::from_corners(const Vector& corner1, const Vector& corner2, double rotation) {
    Vector sum = corner1 + corner2;
    return Rectangle({sum.x / 2, sum.y / 2}, corner2 - corner1, rotation);
}

Rectangle Rectangle::from_arguments(const std::optional<Vector>& corner1,
                                    const std::optional<Vector>& corner2, const Vector& center,
                                    const std::optional<Vector>& size, double rotation) {
    if (!size) {
        // One corner and the center: the other corner is its reflection through the center.
        const Vector& given = corner1 ? *corner1 : *corner2;
        Vector other = corner1 && corner2 ? *corner2 : Vector{2 * center.x, 2 * center.y} - given;
        return from_corners(given, other, rotation);
    }
    Vector s = absolute(*size);
    if (corner1) return from_corners(*corner1, *corner1 + s, rotation);
    if (corner2) return from_corners(*corner2 - s, *corner2, rotation);
    // Odd sizes put the extra unit below and to the left of the center.
    Vector upper{s.x / 2, s.y / 2};
    Vector lower{s.x - upper.x, s.y - upper.y};
    return from_corners(center - lower, center + upper, rotation);
}

void Rectangle::assign(const Vector& center, const Vector& size, double rotation) {
    // Every corner lies within half the width plus half the height of the center (and a grid
    // step of snapping): only rectangles near the range limit need their corners checked.
    const Vector w = absolute(size);
    const Coord reach = w.x / 2 + w.y / 2 + 1 + config().grid;
    if (!within(center, kMaxCoord - reach))
        corner_points(center, size, rotation);  // throws when a corner leaves the range
    center_ = center;
    size_ = absolute(size);
    rotation_ = rotation;
}

void Rectangle::set_center(const Vector& center) { assign(center, size_, rotation_); }
void Rectangle::set_size(const Vector& size) { assign(center_, size, rotation_); }
void Rectangle::set_rotation(double rotation) { assign(center_, size_, rotation); }

Ring Rectangle::corners(const Vector& center, const Vector& size, double rotation) {
    std::array<Vector, 4> points = corner_points(center, size, rotation);
    return Ring(points.begin(), points.end());
}

std::array<Vector, 4> Rectangle::corner_points(const Vector& center, const Vector& size,
                                               double rotation) {
    Vector w = absolute(size);
    Vector u, v;
    int k = 0;
    if (is_quarter_turn(rotation, k)) {
        if (k % 2 == 0) {
            u = {w.x / 2, 0};
            v = {0, w.y / 2};
        } else {
            u = {-w.y / 2, 0};
            v = {0, w.x / 2};
        }
    } else {
        double angle = radians(rotation);
        double c = std::cos(angle), s = std::sin(angle);
        double half_w = double(w.x) / 2, half_h = double(w.y) / 2;
        u = {step_nearest(c * half_w), step_nearest(s * half_w)};
        v = {step_nearest(-s * half_h), step_nearest(c * half_h)};
    }
    std::array<Vector, 4> points{center + u + v, center - u + v, center - u - v, center + u - v};
    for (Vector& p : points) p = check_range(snap_to_grid(p));
    return points;
}

bool Rectangle::content_bytes(std::string& out) const {
    Structure::content_bytes(out);
    for (Coord value : {center_.x, center_.y, size_.x, size_.y}) append_raw(out, value);
    append_raw(out, rotation_);
    return true;
}

std::string Rectangle::str(bool representation) const {
    if (!representation) return "Rectangle at " + point_text(center_);
    return "Rectangle(center=" + point_text(center_) + ", size=" + point_text(size_) +
           ", rotation=" + number_text(rotation_) + ")";
}

bool Rectangle::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const Rectangle&>(other);
    double turn = std::fmod(std::fabs(rotation_ - o.rotation_), 180.0);
    return center_ == o.center_ && size_ == o.size_ && (turn < 1e-16 || turn > 180.0 - 1e-16);
}

Polygon Rectangle::to_polygon(ErrorHandler&) const { return Polygon(corners()); }

Area Rectangle::area() const { return Area::from_signed(Int128(size_.x) * size_.y); }

Coord Rectangle::perimeter() const { return 2 * (size_.x + size_.y); }

Bounds Rectangle::bounds(ErrorHandler&) const {
    int k = 0;
    if (!is_quarter_turn(rotation_, k)) return ring_bounds(corners());
    Vector extent = k % 2 == 0 ? size_ : Vector{size_.y, size_.x};
    return {center_.x - (extent.x + 1) / 2, center_.y - (extent.y + 1) / 2,
            center_.x + extent.x / 2, center_.y + extent.y / 2};
}

bool Rectangle::is_empty() const { return size_.x == 0 || size_.y == 0; }

void Rectangle::transform(Placements steps) {
    Vector center = center_, size = size_;
    double rotation = rotation_;
    for (const Placement& step : steps) {
        center = step.point(center);
        size = {step.length(size.x), step.length(size.y)};
        rotation = step.angle_sign() * rotation + step.rotation;
    }
    assign(center, size, rotation);
}

void Rectangle::translate(const Vector& delta) { set_center(center_ + delta); }

std::vector<Coord> Rectangle::axis_intersections(int axis, Coord c, ErrorHandler& status) const {
    return to_polygon(status).axis_intersections(axis, c, status);
}

}  // namespace whistle
