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

PointTransform::PointTransform(const Placement& step) : translation_(step.translation) {
    int quarter_turns = 0;
    exact_ = step.magnification == 1.0 && is_quarter_turn(step.rotation, quarter_turns);
    if (exact_) {
        // Reflection (y → −y), then k quarter turns: (x, y), (−y, x), (−x, −y), (y, −x).
        static constexpr Coord kCos[4] = {1, 0, -1, 0};
        static constexpr Coord kSin[4] = {0, 1, 0, -1};
        Coord c = kCos[quarter_turns], s = kSin[quarter_turns], f = step.x_reflection ? -1 : 1;
        exact_xx_ = c;
        exact_xy_ = -s * f;
        exact_yx_ = s;
        exact_yy_ = c * f;
        return;
    }
    double angle = radians(step.rotation);
    double c = std::cos(angle), s = std::sin(angle);
    double m = step.magnification;
    double my = step.x_reflection ? -m : m;
    xx_ = m * c;
    xy_ = -my * s;
    yx_ = m * s;
    yy_ = my * c;
}

PointChain::PointChain(Placements steps) {
    steps_.reserve(steps.size());
    for (const Placement& step : steps) steps_.emplace_back(step);
}

std::vector<Vector> PointChain::operator()(const std::vector<Vector>& points) const {
    std::vector<Vector> result;
    result.reserve(points.size());
    for (const Vector& p : points) result.push_back((*this)(p));
    return result;
}

Vector Placement::point(const Vector& p) const { return PointTransform(*this)(p); }

Vec2 direction_vector(double degrees) {
    // Quarter turns are exact so axis-aligned geometry stays on integers.
    int quarter = 0;
    if (is_quarter_turn(degrees, quarter)) {
        constexpr Vec2 exact[4] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
        return exact[quarter];
    }
    double angle = radians(degrees);
    return {std::cos(angle), std::sin(angle)};
}

Vec2 Placement::vector(const Vec2& v) const {
    Vec2 scaled{v.x * magnification, (x_reflection ? -v.y : v.y) * magnification};
    Vec2 axis = direction_vector(rotation);
    return {axis.x * scaled.x - axis.y * scaled.y, axis.y * scaled.x + axis.x * scaled.y};
}

double Placement::angle(double degrees) const {
    return (x_reflection ? -degrees : degrees) + rotation + (magnification < 0 ? 180.0 : 0.0);
}

Coord Placement::length(Coord value) const {
    return step_nearest(double(value) * std::fabs(magnification));
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

std::array<Placement, 1> rotation_about(double rotation, const Vector& center) {
    // The translation brings the rotated center back onto itself.
    Vector moved = Placement{{}, false, rotation, 1.0}.point(center);
    return {Placement{center - moved, false, rotation, 1.0}};
}

std::array<Placement, 1> scaling_about(double magnification, const Vector& center) {
    Vector moved = Placement{{}, false, 0.0, magnification}.point(center);
    return {Placement{center - moved, false, 0.0, magnification}};
}

double axis_angle(const Vector& axis_endpoint, const Vector& axis_origin) {
    Vector d = axis_endpoint - axis_origin;
    return d.y == 0   ? 0.0
           : d.x == 0 ? 90.0
                      : std::atan2(double(d.y), double(d.x)) * 180.0 / std::numbers::pi;
}

std::array<Placement, 5> mirroring(const Vector& axis_endpoint, const Vector& axis_origin) {
    double phi = axis_angle(axis_endpoint, axis_origin);
    return {Placement{-axis_origin}, Placement{{}, false, -phi}, Placement{{}, true},
            Placement{{}, false, phi}, Placement{axis_origin}};
}

bool Structure::transform(const Vector& translation, bool x_reflection, double rotation,
                          double magnification) {
    const Placement step{translation, x_reflection, rotation, magnification};
    transform(Placements(&step, 1));
    return magnification < 0;
}

void Structure::rotate(double rotation, const Vector& center) {
    transform(rotation_about(rotation, center));
}

void Structure::scale(double magnification, const Vector& center) {
    transform(scaling_about(magnification, center));
}

void Structure::mirror(const Vector& axis_endpoint, const Vector& axis_origin) {
    transform(mirroring(axis_endpoint, axis_origin));
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
