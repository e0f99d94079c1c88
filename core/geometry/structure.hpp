// Base of the planar shapes, with the point transform and the curve point-count rule.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "core/foundation/base_type.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"

namespace whistle {

class Polygon;

enum class StructureKind : uint32_t { Rectangle = 0, Circle = 1, Polygon = 2, Path = 3 };

// One placement step: scale, mirror across the x axis, rotate (degrees), translate.
struct Placement {
    Vector translation;
    bool x_reflection = false;
    double rotation = 0;
    double magnification = 1;

    Vector point(const Vector& p) const;
    // Linear part only (for displacements and directions).
    Vec2 vector(const Vec2& v) const;
    // Direction angle in degrees.
    double angle(double degrees) const;
    // +1 when the step keeps angles' orientation, -1 when it flips them: the flip happens when
    // a negative magnification and the x reflection do not cancel.
    double angle_sign() const { return (magnification < 0) == x_reflection ? 1.0 : -1.0; }
    // A length times |magnification|, rounded.
    Coord length(Coord value) const;
};

// Steps applied in order. An object applies a whole chain at once: its fields change only
// when every result lies within the coordinate range, otherwise RangeError is thrown. Steps
// in between may leave the range (mirroring far from the origin does) but not 2^62.
using Placements = std::span<const Placement>;

struct Bounds {
    Coord x_min = 0;
    Coord y_min = 0;
    Coord x_max = 0;
    Coord y_max = 0;
};

// Grows box to cover other as well.
inline void extend(Bounds& box, const Bounds& other) {
    box.x_min = std::min(box.x_min, other.x_min);
    box.y_min = std::min(box.y_min, other.y_min);
    box.x_max = std::max(box.x_max, other.x_max);
    box.y_max = std::max(box.y_max, other.y_max);
}

// Closed boxes: touching counts.
inline bool overlap(const Bounds& a, const Bounds& b) {
    return a.x_min <= b.x_max && b.x_min <= a.x_max && a.y_min <= b.y_max && b.y_min <= a.y_max;
}

// Exact area in database units squared: a 128-bit magnitude and a sign.
struct Area {
    UInt128 magnitude = 0;
    bool negative = false;

    static Area from_signed(Int128 value) {
        return value < 0 ? Area{UInt128(-value), true} : Area{UInt128(value), false};
    }
    // The nearest integer; magnitudes beyond 128 bits (and NaN) saturate.
    static Area from_double(double value) {
        double magnitude = std::nearbyint(std::fabs(value));
        return {magnitude < 0x1p128 ? UInt128(magnitude) : ~UInt128(0), value < 0};
    }
    // Square micrometres.
    double microns() const {
        double v = double(magnitude) / 1e10;
        return negative ? -v : v;
    }
};

class Structure : public BaseType {
public:
    Structure(TypeCode code, StructureKind kind) : BaseType(code), kind_(kind) {}

    StructureKind kind() const { return kind_; }

    // Slot 0 prefix shared by all structures: the kind as 4 bytes.
    bool content_bytes(std::string& out) const override;

    virtual Polygon to_polygon(ErrorHandler& status) const = 0;
    virtual Area area() const = 0;
    virtual Coord perimeter() const = 0;
    virtual Bounds bounds(ErrorHandler& status) const = 0;
    virtual bool is_empty() const = 0;
    // Applies translate(rotate(mirror(scale(self)))); returns true when magnification < 0.
    bool transform(const Vector& translation, bool x_reflection, double rotation,
                   double magnification);
    virtual void transform(Placements steps) = 0;
    virtual void translate(const Vector& delta) = 0;
    virtual void rotate(double rotation, const Vector& center);
    virtual void scale(double magnification, const Vector& center);
    virtual void mirror(const Vector& axis_endpoint, const Vector& axis_origin);
    // Coordinates along the line x = c (axis 0) or y = c (axis 1) where it crosses the boundary.
    virtual std::vector<Coord> axis_intersections(int axis, Coord c, ErrorHandler& status) const = 0;

private:
    StructureKind kind_;
};

// The operations every concrete structure implements, declared in one place.
#define WHISTLE_STRUCTURE_OVERRIDES                                                              \
    bool content_bytes(std::string& out) const override;                                         \
    std::string str(bool representation) const override;                                         \
    bool equals(const BaseType& other) const override;                                           \
    Polygon to_polygon(ErrorHandler& status) const override;                                     \
    Area area() const override;                                                                  \
    Coord perimeter() const override;                                                            \
    Bounds bounds(ErrorHandler& status) const override;                                          \
    bool is_empty() const override;                                                              \
    using Structure::transform;                                                                  \
    void transform(Placements steps) override;                                                   \
    void translate(const Vector& delta) override;                                                \
    std::vector<Coord> axis_intersections(int axis, Coord c, ErrorHandler& status) const override

// An angle in degrees in radians, reduced to one turn first (exactly) so that huge angles keep
// their meaning.
inline double radians(double degrees) {
    return std::fmod(degrees, 360.0) * std::numbers::pi / 180.0;
}

// Results of single steps beyond 2^62 units (huge magnifications) throw RangeError.
inline Coord step_nearest(double value) {
    if (!(std::fabs(value) < 0x1p62)) throw RangeError();
    return nearest(value);
}

// The point transform of a placement step. Quarter turns at unit magnification are exact;
// anything else rounds to the nearest unit. The choice of path and the trigonometry are made
// once, for transforming many points.
class PointTransform {
public:
    explicit PointTransform(const Placement& step);

    Vector operator()(const Vector& p) const {
        // Exact steps only add translations, which stay far below 2^63 within a chain.
        if (exact_)
            return {exact_xx_ * p.x + exact_xy_ * p.y + translation_.x,
                    exact_yx_ * p.x + exact_yy_ * p.y + translation_.y};
        double x = double(p.x), y = double(p.y);
        return {step_nearest(xx_ * x + xy_ * y + double(translation_.x)),
                step_nearest(yx_ * x + yy_ * y + double(translation_.y))};
    }

    void apply(std::vector<Vector>& points) const {
        for (Vector& p : points) p = (*this)(p);
    }

private:
    Vector translation_;
    bool exact_;
    // Matrix of the exact path: entries 0 and ±1, so that it needs no branch per point.
    Coord exact_xx_ = 1, exact_xy_ = 0, exact_yx_ = 0, exact_yy_ = 1;
    double xx_ = 0, xy_ = 0, yx_ = 0, yy_ = 0;  // matrix of the general path
};

// The point transforms of a chain of steps, set up once for many points. Results beyond the
// coordinate range throw RangeError.
class PointChain {
public:
    explicit PointChain(Placements steps);

    Vector operator()(Vector p) const {
        for (const PointTransform& step : steps_) p = step(p);
        return check_range(p);
    }
    // The transformed copy of a list of points.
    std::vector<Vector> operator()(const std::vector<Vector>& points) const;

private:
    // Chains are short (one step per hierarchy level) and made per placed object: kept inline.
    boost::container::small_vector<PointTransform, 4> steps_;
};

// True when the angle (degrees) is within 1e-16 of k·90; k (mod 4, non-negative) in quarter_turns.
bool is_quarter_turn(double rotation, int& quarter_turns);
// Unit vector at an angle in degrees, exact for quarter turns.
Vec2 direction_vector(double degrees);
// Angle in degrees of the line through axis_origin and axis_endpoint. Lines parallel to x or y
// take exact angles, so that mirroring across them keeps to the integer quarter-turn path.
double axis_angle(const Vector& axis_endpoint, const Vector& axis_origin);

// The chains of a rotation about a center, a scaling about a center, and a mirroring across
// the line through axis_origin and axis_endpoint.
std::array<Placement, 1> rotation_about(double rotation, const Vector& center);
std::array<Placement, 1> scaling_about(double magnification, const Vector& center);
std::array<Placement, 5> mirroring(const Vector& axis_endpoint, const Vector& axis_origin);

// A copy of a structure or label placed by the steps in order.
template <class T>
std::shared_ptr<T> placed_copy(const T& item, Placements steps) {
    auto copy = std::static_pointer_cast<T>(item.clone());
    copy->transform(steps);
    return copy;
}

// Appends the raw bytes of a plain value (content bytes of geometry objects).
template <class T>
void append_raw(std::string& out, const T& value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}
// Appends a point list as its 64-bit count followed by the raw points.
void append_points(std::string& out, const std::vector<Vector>& points);

// A plain number with six significant digits.
std::string number_text(double value);
// A length in database units, as micrometres with six significant digits.
std::string length_text(double units);
// "(x, y)" in micrometres with six significant digits.
std::string point_text(const Vec2& p);
inline std::string point_text(const Vector& p) { return point_text(Vec2(p)); }
// "[(x, y), ...]" of a point list.
std::string points_text(const std::vector<Vector>& points);

// Number of points for an arc of `angle` radians on radius `radius` (database units) under
// the configured tolerance.
int64_t arc_point_count(double angle, double radius);

// Most points one operation may create: a discretized curve, a path outline, the joins of an
// offset, the crossings of a boolean. Extreme radii, tolerances, distances or point minimums
// report an error before the memory is taken instead of exhausting it.
constexpr int64_t kMaxPoints = int64_t(1) << 23;
// Throws std::length_error "<operation> needs <count> points, more than the limit of ..."
// when count exceeds kMaxPoints.
void check_point_budget(const char* operation, int64_t count);
inline void check_point_count(int64_t count) { check_point_budget("Curve discretization", count); }

}  // namespace whistle
