#include "structure.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include "core/foundation/config.hpp"

namespace whistle {

bool is_quarter_turn(double rotation, int& quarter_turns) {
    double k = std::nearbyint(rotation / 90.0);
    if (!(std::fabs(90.0 * k - rotation) < 1e-16)) return false;
    int turns = int(std::fmod(k, 4.0));
    quarter_turns = turns < 0 ? turns + 4 : turns;
    return true;
}

PointTransform::PointTransform(const Vector& translation, bool x_reflection, double rotation,
                               double magnification)
    : translation_(translation) {
    int quarter_turns = 0;
    exact_ = magnification == 1.0 && is_quarter_turn(rotation, quarter_turns);
    if (exact_) {
        // Reflection (y → −y), then k quarter turns: (x, y), (−y, x), (−x, −y), (y, −x).
        static constexpr Coord kCos[4] = {1, 0, -1, 0};
        static constexpr Coord kSin[4] = {0, 1, 0, -1};
        Coord c = kCos[quarter_turns], s = kSin[quarter_turns], f = x_reflection ? -1 : 1;
        exact_xx_ = c;
        exact_xy_ = -s * f;
        exact_yx_ = s;
        exact_yy_ = c * f;
        return;
    }
    double angle = rotation * std::numbers::pi / 180.0;
    double c = std::cos(angle), s = std::sin(angle);
    double m = magnification;
    double my = x_reflection ? -m : m;
    xx_ = m * c;
    xy_ = -my * s;
    yx_ = m * s;
    yy_ = my * c;
}

int64_t arc_point_count(double angle, double radius) {
    double d = 1.0 - std::fabs(double(config().tolerance) / radius);
    double step = d < -1.0 ? std::numbers::pi : std::acos(d);
    double n = std::trunc(std::fabs(angle) / 2.0 / step + 0.5);
    // Guard the conversion against a vanishing step (huge radius) or a NaN angle.
    if (std::isnan(n)) return 0;
    return int64_t(std::min(n, double(std::numeric_limits<int32_t>::max())));
}

void check_point_budget(const char* operation, int64_t count) {
    if (count > kMaxPoints)
        throw std::length_error(std::string(operation) + " needs " + std::to_string(count) +
                                " points, more than the limit of " + std::to_string(kMaxPoints) +
                                ".");
}

void rotate_with(const TransformFunction& transform, double rotation, const Vector& center) {
    // The translation brings the rotated center back onto itself.
    Vector moved = transform_point(center, {}, false, rotation, 1.0);
    transform(center - moved, false, rotation, 1.0);
}

void scale_with(const TransformFunction& transform, double magnification, const Vector& center) {
    Vector moved = transform_point(center, {}, false, 0.0, magnification);
    transform(center - moved, false, 0.0, magnification);
}

void mirror_with(const TransformFunction& transform, const Vector& axis_endpoint,
                 const Vector& axis_origin) {
    Vector d = axis_endpoint - axis_origin;
    // Axes parallel to x or y take exact angles so the integer quarter-turn path applies.
    double phi = d.y == 0 ? 0.0
               : d.x == 0 ? 90.0
                          : std::atan2(double(d.y), double(d.x)) * 180.0 / std::numbers::pi;
    transform(-axis_origin, false, 0.0, 1.0);
    transform({}, false, -phi, 1.0);
    transform({}, true, 0.0, 1.0);
    transform({}, false, phi, 1.0);
    transform(axis_origin, false, 0.0, 1.0);
}

void Structure::rotate(double rotation, const Vector& center) {
    rotate_with(transform_of(this), rotation, center);
}

void Structure::scale(double magnification, const Vector& center) {
    scale_with(transform_of(this), magnification, center);
}

void Structure::mirror(const Vector& axis_endpoint, const Vector& axis_origin) {
    mirror_with(transform_of(this), axis_endpoint, axis_origin);
}

bool Structure::content_bytes(std::string& out) const {
    append_raw(out, uint32_t(kind_));
    return true;
}

std::string number_text(double value) {
    std::ostringstream stream;
    stream << value;
    return stream.str();
}

std::string length_text(double units) { return number_text(units / kUnitsPerMicron); }

std::string point_text(const Vec2& p) {
    std::string text(1, '(');  // built by appending: GCC 12 misreports "(" + string
    return text.append(length_text(p.x)).append(", ").append(length_text(p.y)).append(")");
}

std::string points_text(const std::vector<Vector>& points) {
    std::string text = "[";
    for (size_t i = 0; i < points.size(); ++i) text += (i ? ", " : "") + point_text(points[i]);
    return text + "]";
}

void append_points(std::string& out, const std::vector<Vector>& points) {
    append_raw(out, uint64_t(points.size()));
    for (const Vector& p : points) append_raw(out, p);
}

}  // namespace whistle
