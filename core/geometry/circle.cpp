#include "circle.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

constexpr double kPi = std::numbers::pi;

Circle::Sector sorted(const Circle::Sector& sector) {
    return {std::min(sector[0], sector[1]), std::max(sector[0], sector[1])};
}

Vector scaled(const Vector& v, const Placement& step) {
    return {step.length(v.x), step.length(v.y)};
}

// The bounding box of the outer ellipse in any rotation lies within the coordinate range.
void check_extent(const Vector& center, const Vector& radius) {
    Coord r = std::max(radius.x, radius.y);
    check_range(Vector{center.x - r, center.y - r});
    check_range(Vector{center.x + r, center.y + r});
}

// nearest(value) for |value| < 2^52; false when some value within `margin` of `value` rounds
// differently.
bool round_unambiguously(double value, double margin, Coord& out) {
    out = nearest(value);
    double fraction = value - double(Coord(value));
    return std::fabs(std::fabs(fraction) - 0.5) > margin;
}

// Appends the ellipse points (nearest(rx·cos tᵢ), nearest(ry·sin tᵢ)) for tᵢ = angle(i),
// i = 0 … count − 1, a monotone run of angles advancing by about `step`. The result is bit for
// bit that of the direct formula, but cos and sin are mostly not called: a rotation by `step`
// carries them from point to point, reseeded from the library functions every few points, and a
// point whose rounding the recurrence's error could change is computed directly (and reseeds).
template <class AngleOf>
void append_ellipse_points(Ring& ring, const Vector& r, int64_t count, double step, AngleOf angle) {
    // Within these limits the recurrence, the angle rounding and the library functions differ
    // from the exact values by less than 1e-12 of the radius; the margin is a hundred times that.
    constexpr int kRotationsPerSeed = 16;
    constexpr double kMaxAngle = 64;
    constexpr double kMaxRadius = 0x1p50;
    constexpr double kRelativeMargin = 1e-10;

    const double rx = double(r.x), ry = double(r.y);
    const double margin_x = kRelativeMargin * std::fabs(rx);
    const double margin_y = kRelativeMargin * std::fabs(ry);
    const bool recurrence = std::fabs(rx) <= kMaxRadius && std::fabs(ry) <= kMaxRadius &&
                            std::fabs(angle(0)) <= kMaxAngle &&
                            std::fabs(angle(count - 1)) <= kMaxAngle;
    const double step_cos = std::cos(step), step_sin = std::sin(step);

    size_t first = ring.size();
    ring.resize(first + size_t(count));
    Vector* out = ring.data() + first;
    double c = 1, s = 0;
    int rotations = kRotationsPerSeed;
    for (int64_t i = 0; i < count; ++i, ++out) {
        if (recurrence && rotations < kRotationsPerSeed) {
            double next_c = c * step_cos - s * step_sin;
            double next_s = s * step_cos + c * step_sin;
            if (round_unambiguously(rx * next_c, margin_x, out->x) &&
                round_unambiguously(ry * next_s, margin_y, out->y)) {
                c = next_c;
                s = next_s;
                ++rotations;
                continue;
            }
        }
        double t = angle(i);
        c = std::cos(t);
        s = std::sin(t);
        rotations = 0;
        *out = {nearest(rx * c), nearest(ry * s)};
    }
}

// Points on a curve of `angle` radians of the ellipse with semi-axes r: at least `least`.
int64_t curve_point_count(int64_t least, uint32_t min_evals, double angle, const Vector& r) {
    int64_t count =
        std::max<int64_t>({least, min_evals, arc_point_count(angle, double(std::max(r.x, r.y)))});
    check_point_count(count);
    return count;
}

// Points of the full ellipse with semi-axes r, counter-clockwise (direction +1) or clockwise.
Ring ellipse_points(const Vector& r, uint32_t min_evals, int direction) {
    int64_t count = curve_point_count(3, min_evals, 2 * kPi, r);
    Ring ring;
    append_ellipse_points(ring, r, count, direction * 2 * kPi / double(count), [&](int64_t i) {
        return direction * 2 * kPi * double(i) / double(count);
    });
    return ring;
}

// Parametric angle of the ellipse point at polar angle `polar`, kept on the same turn.
double parametric_angle(double polar, const Vector& r) {
    double t = std::atan2(double(r.x) * std::sin(polar), double(r.y) * std::cos(polar));
    return t + 2 * kPi * std::nearbyint((polar - t) / (2 * kPi));
}

// Appends the elliptical arc from polar angle `from` to `to` (radians).
void append_arc(Ring& ring, const Vector& r, double from, double to, uint32_t min_evals) {
    int64_t count = curve_point_count(2, min_evals, to - from, r);
    double t0 = parametric_angle(from, r);
    double t1 = parametric_angle(to, r);
    append_ellipse_points(ring, r, count, (t1 - t0) / double(count - 1), [&](int64_t i) {
        return t0 + (t1 - t0) * double(i) / double(count - 1);
    });
}

}  // namespace

Circle::Circle(const Vector& radius, const Vector& inner_radius, const Vector& center,
               const Sector& sector, double rotation, uint32_t min_evals)
    : Cloneable(TypeCode::Circle, StructureKind::Circle),
      radius_(radius), inner_radius_(inner_radius), center_(center), sector_(sorted(sector)),
      rotation_(rotation), min_evals_(min_evals) {
    check_extent(center_, radius_);
}

bool Circle::radii_valid(const Vector& radius, const Vector& inner_radius) {
    return inner_radius.x < radius.x && inner_radius.y < radius.y;
}

bool Circle::set_radius(const Vector& radius) {
    if (!radii_valid(radius, inner_radius_)) return false;
    check_extent(center_, radius);
    radius_ = radius;
    changed();
    return true;
}

bool Circle::set_inner_radius(const Vector& inner_radius) {
    if (!radii_valid(radius_, inner_radius)) return false;
    inner_radius_ = inner_radius;
    changed();
    return true;
}

void Circle::set_center(const Vector& center) {
    check_extent(center, radius_);
    center_ = center;
    changed();
}

void Circle::set_sector(const Sector& sector) {
    sector_ = sorted(sector);
    changed();
}

void Circle::set_rotation(double rotation) {
    rotation_ = rotation;
    changed();
}

void Circle::set_min_evals(uint32_t min_evals) {
    min_evals_ = min_evals;
    changed();
}

Polygon Circle::build_polygon() const {
    Ring outer;
    std::vector<Ring> holes;
    bool has_hole = inner_radius_.x >= 1 && inner_radius_.y >= 1;
    if (is_full()) {
        outer = ellipse_points(radius_, min_evals_, 1);
        if (has_hole) holes.push_back(ellipse_points(inner_radius_, min_evals_, -1));
    } else {
        double start = sector_[0] * kPi / 180.0, end = sector_[1] * kPi / 180.0;
        append_arc(outer, radius_, start, end, min_evals_);
        if (has_hole)
            append_arc(outer, inner_radius_, end, start, min_evals_);
        else
            outer.push_back({0, 0});
    }
    PointTransform placement({center_, false, rotation_});
    auto place = [&placement](Ring& ring) {
        placement.apply(ring);
        snap_to_grid(ring);
    };
    place(outer);
    for (Ring& hole : holes) place(hole);
    return Polygon(std::move(outer), std::move(holes));
}

const Polygon& Circle::polygon() const {
    if (!polygon_) polygon_.emplace(build_polygon());
    return *polygon_;
}

bool Circle::content_bytes(std::string& out) const {
    Structure::content_bytes(out);
    for (Coord value : {radius_.x, radius_.y, inner_radius_.x, inner_radius_.y, center_.x, center_.y})
        append_raw(out, value);
    for (double value : {sector_[0], sector_[1], rotation_}) append_raw(out, value);
    append_raw(out, min_evals_);
    return true;
}

std::string Circle::str(bool representation) const {
    if (!representation) return "Circle at " + point_text(center_);
    return "Circle(radius=" + point_text(radius_) + ", inner_radius=" + point_text(inner_radius_) +
           ", center=" + point_text(center_) + ", sector=(" + number_text(sector_[0]) + ", " +
           number_text(sector_[1]) + "), rotation=" + number_text(rotation_) +
           ", min_evals=" + std::to_string(min_evals_) + ")";
}

bool Circle::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const Circle&>(other);
    return radius_ == o.radius_ && inner_radius_ == o.inner_radius_ && center_ == o.center_ &&
           sector_ == o.sector_ && rotation_ == o.rotation_ && min_evals_ == o.min_evals_;
}

Polygon Circle::to_polygon(ErrorHandler&) const { return polygon(); }

Area Circle::area() const {
    if (!is_circular() && !is_full()) return polygon().area();
    double full = kPi * (double(radius_.x) * double(radius_.y) -
                         double(inner_radius_.x) * double(inner_radius_.y));
    double value = is_full() ? full : full * std::fabs(sector_[1] - sector_[0]) / 360.0;
    return Area::from_double(value);
}

Coord Circle::perimeter() const {
    if (!is_circular()) return polygon().perimeter();
    double sum = double(radius_.x) + double(inner_radius_.x);
    if (is_full()) return Coord(std::trunc(2 * kPi * sum + 0.5));
    return Coord(std::trunc((sector_[1] - sector_[0]) * 2 * kPi * sum / 360.0 + 0.5)) +
           2 * (radius_.x - inner_radius_.x);
}

Bounds Circle::bounds(ErrorHandler&) const { return ring_bounds(polygon().vertices()); }

bool Circle::is_empty() const { return radius_.x == 0 || radius_.y == 0; }

void Circle::transform(Placements steps) {
    Vector center = center_, radius = radius_, inner_radius = inner_radius_;
    Sector sector = sector_;
    double rotation = rotation_;
    for (const Placement& step : steps) {
        center = step.point(center);
        radius = scaled(radius, step);
        inner_radius = scaled(inner_radius, step);
        double sign = step.angle_sign();
        sector = sorted({sign * sector[0], sign * sector[1]});
        rotation = sign * rotation + step.rotation;
    }
    check_extent(center, radius);
    changed();
    center_ = center;
    radius_ = radius;
    inner_radius_ = inner_radius;
    sector_ = sector;
    rotation_ = rotation;
}

void Circle::translate(const Vector& delta) { set_center(center_ + delta); }

std::vector<Coord> Circle::axis_intersections(int axis, Coord c, ErrorHandler& status) const {
    bool plain_circle = is_full() && radius_.x == radius_.y && inner_radius_ == Vector{};
    if (!plain_circle) return polygon().axis_intersections(axis, c, status);
    if (axis < 0 || axis > 1) return {};
    Coord along = axis == 0 ? center_.y : center_.x;
    double d = double(c - (axis == 0 ? center_.x : center_.y));
    double r = double(radius_.x);
    if (!(std::fabs(d) < r)) return {};
    Coord half = nearest(std::sqrt(r * r - d * d));
    return {along - half, along + half};
}

}  // namespace whistle
