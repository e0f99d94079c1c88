// Base of the planar shapes, with the point transform and the curve point-count rule.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"

namespace whistle {

class Polygon;

enum class StructureKind : uint32_t { Rectangle = 0, Circle = 1, Polygon = 2, Path = 3 };

struct Bounds {
    Coord x_min = 0;
    Coord y_min = 0;
    Coord x_max = 0;
    Coord y_max = 0;
};

// Exact area in database units squared: a 128-bit magnitude and a sign.
struct Area {
    UInt128 magnitude = 0;
    bool negative = false;

    static Area from_signed(Int128 value) {
        return value < 0 ? Area{UInt128(-value), true} : Area{UInt128(value), false};
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

    virtual Polygon to_polygon(ErrorHandler& status) const = 0;
    virtual Area area() const = 0;
    virtual Coord perimeter() const = 0;
    virtual Bounds bounds(ErrorHandler& status) const = 0;
    virtual bool is_empty() const = 0;
    // Applies translate(rotate(mirror(scale(self)))); returns true when magnification < 0.
    virtual bool transform(const Vector& translation, bool x_reflection, double rotation,
                           double magnification) = 0;
    virtual void translate(const Vector& delta) = 0;
    virtual void rotate(double rotation, const Vector& center);
    virtual void scale(double magnification, const Vector& center);
    virtual void mirror(const Vector& axis_endpoint, const Vector& axis_origin);
    // Slot 0 prefix shared by all structures: the kind as 4 bytes.
    bool content_bytes(std::string& out) const override;
    // Coordinates along the line x = c (axis 0) or y = c (axis 1) where it crosses the boundary.
    virtual std::vector<Coord> axis_intersections(int axis, Coord c, ErrorHandler& status) const = 0;

private:
    StructureKind kind_;
};

// The placement transform of one point: scale, mirror across x, rotate (degrees), translate.
// Quarter turns at unit magnification are exact; anything else rounds to the nearest unit.
Vector transform_point(const Vector& p, const Vector& translation, bool x_reflection,
                       double rotation, double magnification);

// True when the angle (degrees) is within 1e-16 of k·90; k (mod 4, non-negative) in quarter_turns.
bool is_quarter_turn(double rotation, int& quarter_turns);

// +1 when a transform keeps angles' orientation, -1 when it flips them: the flip happens when
// a negative magnification and the x reflection do not cancel.
inline double angle_sign(bool x_reflection, double magnification) {
    return (magnification < 0) == x_reflection ? 1.0 : -1.0;
}

// A placement transform applied to some object: (translation, x reflection, rotation, magnification).
using TransformFunction = std::function<void(const Vector&, bool, double, double)>;
// The transform of any object with a transform(translation, x_reflection, rotation, magnification).
template <class T>
TransformFunction transform_of(T* object) {
    return [object](const Vector& t, bool f, double r, double m) { object->transform(t, f, r, m); };
}
// Rotation and scaling about a center and mirroring across a line, expressed through the
// object's own transform so that structures and labels share them.
void rotate_with(const TransformFunction& transform, double rotation, const Vector& center);
void scale_with(const TransformFunction& transform, double magnification, const Vector& center);
void mirror_with(const TransformFunction& transform, const Vector& axis_endpoint,
                 const Vector& axis_origin);

// Appends the raw bytes of a plain value (content bytes of geometry objects).
template <class T>
void append_raw(std::string& out, const T& value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

// "(x, y)" in micrometres with six significant digits.
std::string point_text(const Vector& p);
// A length in micrometres with six significant digits.
std::string length_text(Coord value);
// A plain number with six significant digits.
std::string number_text(double value);

// Number of points for an arc of `angle` radians on radius `radius` (database units) under
// the configured tolerance.
int64_t arc_point_count(double angle, double radius);

}  // namespace whistle
