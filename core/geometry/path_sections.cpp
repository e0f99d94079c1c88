#include "path_sections.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/foundation/config.hpp"
#include "core/foundation/expression.hpp"

namespace whistle {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRadians = kPi / 180.0;

Vec2 rotate(const Vec2& v, const Vec2& axis) {
    return {axis.x * v.x - axis.y * v.y, axis.y * v.x + axis.x * v.y};
}

double distance2_to_chord(const Vec2& p, const Vec2& a, const Vec2& b) {
    Vec2 ab = b - a;
    Vec2 ap = p - a;
    double len2 = dot(ab, ab);
    double t = len2 > 0 ? std::clamp(dot(ap, ab) / len2, 0.0, 1.0) : 0.0;
    Vec2 d = ap - ab * t;
    return dot(d, d);
}

std::vector<Vector> transformed(const std::vector<Vector>& points, const Placement& placement) {
    std::vector<Vector> result(points);
    PointTransform(placement).apply(result);
    return result;
}

bool all_in_range(const std::vector<Vector>& points) {
    return std::all_of(points.begin(), points.end(), [](const Vector& p) { return in_range(p); });
}

const char* bool_text(bool value) { return value ? "True" : "False"; }

}  // namespace

// ---- Helpers ----------------------------------------------------------------------------

double direction_angle(const Vec2& v) { return std::atan2(v.y, v.x) / kRadians; }

std::string range_error(const Vec2& around) {
    return "Path evaluation out of range around " + point_text(around.rounded()) + ".";
}

Vec2 fresnel(double t) {
    double sign = t < 0 ? -1.0 : 1.0;
    t = std::fabs(t);
    if (t <= 4.0) {
        // Power series in z = π t²/2: terms z^k/k! · t/(2k+1), even k to C, odd k to S, with
        // alternating signs within each. Long double keeps the cancellation harmless here.
        long double z = kPi / 2 * t * t;
        long double term = t;  // z^k / k! · t
        long double c = 0, s = 0;
        for (int k = 0; k < 200; ++k) {
            long double value = term / (2 * k + 1);
            int phase = k % 4;
            if (phase == 0) c += value;
            else if (phase == 1) s += value;
            else if (phase == 2) c -= value;
            else s -= value;
            term *= z / (k + 1);
            if (k > z && term < 1e-22L) break;
        }
        return {sign * double(c), sign * double(s)};
    }
    // Asymptotic expansion through the auxiliary functions f and g.
    double x = kPi * t * t;
    double x2 = 1.0 / (x * x);
    double f = (1 - 3 * x2 + 105 * x2 * x2 - 10395 * x2 * x2 * x2) / (kPi * t);
    double g = (1 - 15 * x2 + 945 * x2 * x2) / (kPi * kPi * t * t * t);
    double a = x / 2;
    return {sign * (0.5 + f * std::sin(a) - g * std::cos(a)),
            sign * (0.5 - f * std::cos(a) - g * std::sin(a))};
}

// ---- PathSection ------------------------------------------------------------------------

PathSection::PathSection(Kind kind, double size, Profile width, Profile offset,
                         uint32_t min_evals, uint32_t max_evals)
    : kind_(kind), size_(size), min_evals_(min_evals), max_evals_(max_evals) {
    set_profiles(std::move(width), std::move(offset));
}

PathSection::PathSection(const PathSection& other)
    : kind_(other.kind_), size_(other.size_), min_evals_(other.min_evals_),
      max_evals_(other.max_evals_) {
    set_profiles(other.width_->copy(), other.offset_->copy());
}

const char* PathSection::kind_name() const {
    static const char* names[] = {"segment", "arc", "euler", "bezier", "parametric"};
    return names[int(kind_)];
}

void PathSection::set_profiles(Profile width, Profile offset) {
    width_ = std::move(width);
    offset_ = std::move(offset);
    constant_profiles_ = width_->is_constant() && offset_->is_constant();
}

uint32_t PathSection::profile_min_evals() const {
    return std::max(width_->min_evals(), offset_->min_evals());
}

void PathSection::raise_min_evals(uint64_t count) {
    count = std::max<uint64_t>(count, 2);
    min_evals_ = uint32_t(std::min<uint64_t>(std::max<uint64_t>(min_evals_, count), UINT32_MAX));
}

Vec2 PathSection::point(double u, Track track, double gradient_u) const {
    Vec2 p = position(u);
    if (track == Track::Spine) return p;
    Vec2 g = gradient(gradient_u);
    double length = norm(g);
    if (length == 0) {
        // Degenerate parametrisation (repeated control points): use the chord around u.
        double h = 1e-6 * size_;
        g = position(std::min(gradient_u + h, size_)) - position(std::max(gradient_u - h, 0.0));
        length = norm(g);
        if (length == 0) return p;
    }
    return p + perpendicular(g) * (shift(u, track) / length);
}

double PathSection::shift(double u, Track track) const {
    if (track == Track::Spine) return 0;
    // Constant profiles ignore the parameter, so its mapping is skipped.
    double t = constant_profiles_ ? 0 : profile_parameter(u);
    double shift = offset_->value(t);
    if (track == Track::Left) shift += 0.5 * width_->value(t);
    if (track == Track::Right) shift -= 0.5 * width_->value(t);
    return shift;
}

bool PathSection::sample(Track track, double u_begin, double u_end, ErrorHandler& status,
                         std::vector<PathSample>& out) const {
    double first_step = size_ / double(std::max<uint32_t>(min_evals_, 2) - 1);
    return adaptive_sample(track, u_begin, u_end, first_step, status, out);
}

bool PathSection::adaptive_sample(Track track, double u_begin, double u_end, double first_step,
                                  ErrorHandler& status, std::vector<PathSample>& out) const {
    double inner_end = std::nextafter(u_end, u_begin);
    auto eval = [&](double u) { return point(u, track, std::clamp(u, u_begin, inner_end)); };
    double tolerance = double(config().tolerance);
    double tolerance2 = tolerance * tolerance;
    // Steps below this are accepted as they are: the curve is not resolvable any finer.
    double min_span = 1e-12 * std::max(size_, 1.0);

    double u = u_begin;
    Vec2 p = eval(u);
    if (!in_range(p)) {
        Vec2 spine = position(u);
        status.error(range_error(in_range(spine) ? spine : Vec2{}));
        return false;
    }
    out.push_back({u, p});
    double h = first_step;
    uint32_t evals = 0;
    // Huge budgets are capped so that memory stays bounded.
    uint32_t budget = std::min(max_evals_, kMaxSamples);
    while (u < u_end) {
        if (evals >= budget) {
            status.error("Maximal number of path evaluations performed around " +
                         point_text(p.rounded()) + " before reaching desired tolerance.");
            return false;
        }
        double step = std::min(h, first_step);
        double next;
        Vec2 q;
        while (true) {
            next = std::min(u + step, u_end);
            double span = next - u;
            q = eval(next);
            double error = distance2_to_chord(eval(u + span / 2), p, q);
            if (error <= tolerance2) error = distance2_to_chord(eval(u + span / 3), p, q);
            if (error <= tolerance2 || span <= min_span) break;
            step = span / 2;
        }
        if (!in_range(q)) {
            status.error(range_error(p));
            return false;
        }
        out.push_back({next, q});
        ++evals;
        h = 2 * (next - u);
        u = next;
        p = q;
    }
    return true;
}

std::string PathSection::str() const {
    static const char* classes[] = {"SegmentPathSection(", "ArcPathSection(", "EulerPathSection(",
                                    "BezierPathSection(", "ParametricPathSection("};
    return classes[int(kind_)] + field_text() + ", size=" + number_text(size_) +
           ", min_evals=" + std::to_string(min_evals_) +
           ", max_evals=" + std::to_string(max_evals_) + ", width=" + width_->str() +
           ", offset=" + offset_->str() + ")";
}

bool PathSection::equals(const PathSection& other) const {
    return kind_ == other.kind_ && size_ == other.size_ && min_evals_ == other.min_evals_ &&
           max_evals_ == other.max_evals_ && width_->equals(*other.width_) &&
           offset_->equals(*other.offset_) && same_fields(other);
}

void PathSection::append_bytes(std::string& out) const {
    append_raw(out, uint32_t(kind_));
    append_raw(out, size_);
    append_raw(out, min_evals_);
    append_raw(out, max_evals_);
    width_->append_bytes(out);
    offset_->append_bytes(out);
    append_fields(out);
}

// ---- Segment ----------------------------------------------------------------------------

SegmentPathSection::SegmentPathSection(std::vector<Vector> vertices, double bevel_join_limit,
                                       bool round_joins, Profile width, Profile offset,
                                       uint32_t min_evals, uint32_t max_evals)
    : PathSection(Kind::Segment, double(vertices.size() - 1), std::move(width),
                  std::move(offset), min_evals, max_evals),
      vertices_(std::move(vertices)), bevel_join_limit_(bevel_join_limit),
      round_joins_(round_joins) {
    update_lengths();
}

void SegmentPathSection::extend(const std::vector<Vector>& points) {
    vertices_.insert(vertices_.end(), points.begin(), points.end());
    set_size(double(vertices_.size() - 1));
    update_lengths();
}

void SegmentPathSection::update_lengths() {
    if (lengths_.empty()) lengths_.push_back(0.0);
    for (size_t i = lengths_.size(); i < vertices_.size(); ++i)
        lengths_.push_back(lengths_.back() + norm(Vec2(vertices_[i] - vertices_[i - 1])));
}

size_t SegmentPathSection::edge(double u) const {
    return std::min(size_t(std::max(u, 0.0)), vertices_.size() - 2);
}

Section SegmentPathSection::copy() const { return std::make_unique<SegmentPathSection>(*this); }

Vec2 SegmentPathSection::position(double u) const {
    size_t k = edge(u);
    Vec2 a(vertices_[k]);
    return a + (Vec2(vertices_[k + 1]) - a) * (u - double(k));
}

Vec2 SegmentPathSection::gradient(double u) const {
    size_t k = edge(u);
    return Vec2(vertices_[k + 1] - vertices_[k]);
}

double SegmentPathSection::profile_parameter(double u) const {
    double total = lengths_.back();
    if (total <= 0) return u / size();
    size_t k = edge(u);
    return (lengths_[k] + (u - double(k)) * (lengths_[k + 1] - lengths_[k])) / total;
}

bool SegmentPathSection::points_in_range() const { return all_in_range(vertices_); }

void SegmentPathSection::transform(const Placement& placement) {
    vertices_ = transformed(vertices_, placement);
    lengths_.clear();
    update_lengths();
}

bool SegmentPathSection::sample(Track track, double u_begin, double u_end, ErrorHandler& status,
                                std::vector<PathSample>& out) const {
    if (track == Track::Spine || constant_profiles()) {
        double inner_end = std::nextafter(u_end, u_begin);
        out.push_back({u_begin, point(u_begin, track, std::min(u_begin, inner_end))});
        out.push_back({u_end, point(u_end, track, inner_end)});
        return true;
    }
    double first_step = 1.0 / double(std::max<uint32_t>(profile_min_evals(), 2) - 1);
    return adaptive_sample(track, u_begin, u_end, first_step, status, out);
}

std::string SegmentPathSection::field_text() const {
    return "vertices=" + points_text(vertices_) +
           ", bevel_join_limit=" + number_text(bevel_join_limit_) +
           ", round_joins=" + bool_text(round_joins_);
}

bool SegmentPathSection::same_fields(const PathSection& other) const {
    auto& o = static_cast<const SegmentPathSection&>(other);
    return vertices_ == o.vertices_ && bevel_join_limit_ == o.bevel_join_limit_ &&
           round_joins_ == o.round_joins_;
}

void SegmentPathSection::append_fields(std::string& out) const {
    append_points(out, vertices_);
    append_raw(out, bevel_join_limit_);
    append_raw(out, round_joins_);
}

// ---- Bends -----------------------------------------------------------------------------

BendPathSection::BendPathSection(Kind kind, Vector center, double initial_angle,
                                 double final_angle, Vec2 endpoint_delta, Profile width,
                                 Profile offset, uint32_t min_evals, uint32_t max_evals)
    : PathSection(kind, 1.0, std::move(width), std::move(offset), min_evals, max_evals),
      center_(center), initial_angle_(initial_angle), final_angle_(final_angle),
      endpoint_delta_(endpoint_delta) {}

void BendPathSection::transform(const Placement& placement) {
    center_ = placement.point(center_);
    scale_radius(std::fabs(placement.magnification));
    initial_angle_ = placement.angle(initial_angle_);
    final_angle_ = placement.angle(final_angle_);
    rotate_axis(placement);
    endpoint_delta_ = placement.vector(endpoint_delta_);
    update();
}

std::string BendPathSection::field_text() const {
    return "center=" + point_text(center_) + ", " + radius_text() +
           ", initial_angle=" + number_text(initial_angle_) +
           ", final_angle=" + number_text(final_angle_) +
           ", endpoint_delta=" + point_text(endpoint_delta_);
}

bool BendPathSection::same_fields(const PathSection& other) const {
    auto& o = static_cast<const BendPathSection&>(other);
    return center_ == o.center_ && initial_angle_ == o.initial_angle_ &&
           final_angle_ == o.final_angle_ && endpoint_delta_.x == o.endpoint_delta_.x &&
           endpoint_delta_.y == o.endpoint_delta_.y && same_radius(o);
}

void BendPathSection::append_fields(std::string& out) const {
    append_raw(out, center_);
    append_raw(out, initial_angle_);
    append_raw(out, final_angle_);
    append_raw(out, endpoint_delta_);
    append_radius(out);
}

namespace {

// Parametric angle (radians) of the ellipse point at a polar angle (radians) from its axis.
double parametric_angle(const Vec2& radius, double polar) {
    return std::atan2(radius.x * std::sin(polar), radius.y * std::cos(polar));
}

}  // namespace

ArcPathSection::ArcPathSection(Vector center, Vec2 radius, double initial_angle,
                               double final_angle, double rotation, Vec2 endpoint_delta,
                               Profile width, Profile offset, uint32_t min_evals,
                               uint32_t max_evals)
    : BendPathSection(Kind::Arc, center, initial_angle, final_angle, endpoint_delta,
                      std::move(width), std::move(offset), min_evals, max_evals),
      radius_(radius), rotation_(rotation) {
    update();
    double sweep = std::fabs(final_angle_ - initial_angle_) * kRadians;
    raise_min_evals(uint64_t(profile_min_evals()) *
                    uint64_t(arc_point_count(sweep, std::max(radius_.x, radius_.y))));
}

Vec2 ArcPathSection::radial(const Vec2& radius, double rotation, double angle) {
    if (radius.x == radius.y) return direction_vector(angle) * radius.x;
    double t = parametric_angle(radius, (angle - rotation) * kRadians);
    return rotate({radius.x * std::cos(t), radius.y * std::sin(t)}, direction_vector(rotation));
}

void ArcPathSection::update() {
    if (radius_.x == radius_.y) {
        // A circle: the parameter is the polar angle itself and the axis plays no part.
        axis_ = {1, 0};
        t0_ = initial_angle_ * kRadians;
        t1_ = final_angle_ * kRadians;
        return;
    }
    axis_ = direction_vector(rotation_);
    double p0 = (initial_angle_ - rotation_) * kRadians;
    double p1 = (final_angle_ - rotation_) * kRadians;
    t0_ = parametric_angle(radius_, p0);
    double t1 = parametric_angle(radius_, p1);
    // Keep the number of turns of the polar sweep.
    t1_ = t1 + 2 * kPi * std::round(((p1 - p0) - (t1 - t0_)) / (2 * kPi));
}

Section ArcPathSection::copy() const { return std::make_unique<ArcPathSection>(*this); }

Vec2 ArcPathSection::position(double u) const {
    double t = t0_ + (t1_ - t0_) * u;
    return Vec2(center_) + rotate({radius_.x * std::cos(t), radius_.y * std::sin(t)}, axis_) +
           endpoint_delta_ * u;
}

Vec2 ArcPathSection::gradient(double u) const {
    double t = t0_ + (t1_ - t0_) * u;
    Vec2 d = rotate({-radius_.x * std::sin(t), radius_.y * std::cos(t)}, axis_) * (t1_ - t0_);
    return d + endpoint_delta_;
}

std::string ArcPathSection::radius_text() const {
    return "radius=" + point_text(radius_) + ", rotation=" + number_text(rotation_);
}

bool ArcPathSection::same_radius(const BendPathSection& other) const {
    auto& o = static_cast<const ArcPathSection&>(other);
    return radius_.x == o.radius_.x && radius_.y == o.radius_.y && rotation_ == o.rotation_;
}

void ArcPathSection::append_radius(std::string& out) const {
    append_raw(out, radius_);
    append_raw(out, rotation_);
}

// ---- Euler ------------------------------------------------------------------------------

EulerShape::EulerShape(double alpha_, double p) : alpha(alpha_) {
    p = std::clamp(p, 0.0, 1.0);
    theta_p = alpha * p;
    if (theta_p > 0) {
        c = 1 / std::sqrt(2 * kPi * theta_p);
        s = std::sqrt(2 * theta_p / kPi);
    } else {
        c = 1;
        s = 0;
    }
    total = 2 * (alpha * c * (1 - p) + s);
    middle = fresnel(s) + Vec2(std::sin(alpha) - std::sin(theta_p),
                               std::cos(theta_p) - std::cos(alpha)) * c;
    // Where the normal at the middle meets the start normal: the radius of the circular arc
    // with the same end points. A plain circle is exactly 1.
    d = theta_p > 0 ? middle.x / std::tan(alpha) + middle.y : 1.0;
    // The end mirrors the start across the normal line at the middle.
    Vec2 normal{-std::sin(alpha), std::cos(alpha)};
    end = middle * 2 - normal * (2 * dot(middle, normal));
}

Vec2 EulerShape::point(double length) const {
    if (length <= s) return fresnel(length);
    if (length <= total - s) {
        double h = theta_p + (length - s) / c;
        return fresnel(s) + Vec2(std::sin(h) - std::sin(theta_p), std::cos(theta_p) - std::cos(h)) * c;
    }
    Vec2 tail = fresnel(total - length);
    return end + rotate({-tail.x, tail.y}, {std::cos(2 * alpha), std::sin(2 * alpha)});
}

double EulerShape::heading(double length) const {
    if (length <= s) return kPi / 2 * length * length;
    if (length <= total - s) return theta_p + (length - s) / c;
    double rest = total - length;
    return 2 * alpha - kPi / 2 * rest * rest;
}

EulerPathSection::EulerPathSection(Vector center, double radius, double euler_fraction,
                                   double initial_angle, double final_angle,
                                   Vec2 endpoint_delta, Profile width, Profile offset,
                                   uint32_t min_evals, uint32_t max_evals)
    : BendPathSection(Kind::Euler, center, initial_angle, final_angle, endpoint_delta,
                      std::move(width), std::move(offset), min_evals, max_evals),
      radius_(radius), euler_fraction_(euler_fraction), shape_(0, 0) {
    update();
    raise_min_evals(uint64_t(profile_min_evals()) * 5);
}

bool EulerPathSection::feasible(double turn, double euler_fraction) {
    if (euler_fraction <= 0) return true;
    double d = EulerShape(std::fabs(turn) / 2 * kRadians, euler_fraction).footprint();
    return std::isfinite(d) && d > 0;
}

void EulerPathSection::update() {
    double sweep = final_angle_ - initial_angle_;
    turn_sign_ = sweep < 0 ? -1.0 : 1.0;
    shape_ = EulerShape(std::fabs(sweep) / 2 * kRadians, euler_fraction_);
    scale_ = radius_ / shape_.d;
    radius_eff_ = scale_ * shape_.c;
    start_ = Vec2(center_) + direction_vector(initial_angle_) * radius_;
    heading_ = direction_vector(initial_angle_ + 90.0 * turn_sign_);
}

Vec2 EulerPathSection::place(const Vec2& v) const {
    return rotate({v.x, turn_sign_ * v.y}, heading_) * scale_;
}

Section EulerPathSection::copy() const { return std::make_unique<EulerPathSection>(*this); }

Vec2 EulerPathSection::position(double u) const {
    return start_ + place(shape_.point(u * shape_.total)) + endpoint_delta_ * u;
}

Vec2 EulerPathSection::gradient(double u) const {
    double h = shape_.heading(u * shape_.total);
    return place({std::cos(h), std::sin(h)}) * shape_.total + endpoint_delta_;
}

std::string EulerPathSection::radius_text() const {
    return "radius=" + length_text(radius_) + ", radius_eff=" + length_text(radius_eff_) +
           ", euler_fraction=" + number_text(euler_fraction_);
}

bool EulerPathSection::same_radius(const BendPathSection& other) const {
    auto& o = static_cast<const EulerPathSection&>(other);
    return radius_ == o.radius_ && euler_fraction_ == o.euler_fraction_;
}

void EulerPathSection::append_radius(std::string& out) const {
    append_raw(out, radius_);
    append_raw(out, euler_fraction_);
}

// ---- Bezier -----------------------------------------------------------------------------

namespace {

// De Casteljau evaluation of the curve with the given control points. Sampling evaluates a
// curve thousands of times, so low degrees work in a buffer on the stack.
Vec2 de_casteljau(const std::vector<Vec2>& controls, double u) {
    constexpr size_t kStackPoints = 16;
    Vec2 stack[kStackPoints];
    std::vector<Vec2> heap;
    Vec2* points = stack;
    if (controls.size() > kStackPoints) {
        heap = controls;
        points = heap.data();
    } else {
        std::copy(controls.begin(), controls.end(), stack);
    }
    for (size_t level = controls.size() - 1; level > 0; --level)
        for (size_t i = 0; i < level; ++i) points[i] = points[i] * (1 - u) + points[i + 1] * u;
    return points[0];
}

}  // namespace

BezierPathSection::BezierPathSection(std::vector<Vector> controls, Profile width, Profile offset,
                                     uint32_t min_evals, uint32_t max_evals)
    : PathSection(Kind::Bezier, 1.0, std::move(width), std::move(offset), min_evals, max_evals),
      controls_(std::move(controls)) {
    raise_min_evals(uint64_t(profile_min_evals()) * controls_.size());
    update();
}

void BezierPathSection::update() {
    points_.clear();
    for (const Vector& control : controls_) points_.emplace_back(control);
    const double degree = double(controls_.size() - 1);
    differences_.clear();
    for (size_t i = 1; i < controls_.size(); ++i)
        differences_.push_back(Vec2(controls_[i] - controls_[i - 1]) * degree);
}

Section BezierPathSection::copy() const { return std::make_unique<BezierPathSection>(*this); }

Vec2 BezierPathSection::position(double u) const { return de_casteljau(points_, u); }

Vec2 BezierPathSection::gradient(double u) const { return de_casteljau(differences_, u); }

bool BezierPathSection::points_in_range() const { return all_in_range(controls_); }

void BezierPathSection::transform(const Placement& placement) {
    controls_ = transformed(controls_, placement);
    update();
}

std::string BezierPathSection::field_text() const { return "controls=" + points_text(controls_); }

bool BezierPathSection::same_fields(const PathSection& other) const {
    return controls_ == static_cast<const BezierPathSection&>(other).controls_;
}

void BezierPathSection::append_fields(std::string& out) const { append_points(out, controls_); }

// ---- Parametric -------------------------------------------------------------------------

ParametricPathSection::ParametricPathSection(std::shared_ptr<Expression> expression,
                                             Vector origin, double rotation, double scaling,
                                             bool x_reflection, Profile width, Profile offset,
                                             uint32_t min_evals, uint32_t max_evals)
    : PathSection(Kind::Parametric, 1.0, std::move(width), std::move(offset), min_evals,
                  max_evals),
      expression_(std::move(expression)), origin_(origin), rotation_(rotation),
      scaling_(scaling), x_reflection_(x_reflection) {
    raise_min_evals(uint64_t(profile_min_evals()) * 10);
}

ParametricPathSection::ParametricPathSection(const ParametricPathSection& other)
    : PathSection(other),
      expression_(std::static_pointer_cast<Expression>(other.expression_->clone())),
      origin_(other.origin_), rotation_(other.rotation_), scaling_(other.scaling_),
      x_reflection_(other.x_reflection_) {}

bool ParametricPathSection::analytic_gradient() const {
    return expression_->expression_count() >= 4;
}

Vec2 ParametricPathSection::place(double x, double y) const {
    Vec2 local{x * scaling_ * kUnitsPerMicron, (x_reflection_ ? -y : y) * scaling_ * kUnitsPerMicron};
    return rotate(local, direction_vector(rotation_));
}

Section ParametricPathSection::copy() const {
    return std::make_unique<ParametricPathSection>(*this);
}

Vec2 ParametricPathSection::position(double u) const {
    expression_->evaluate(u);
    int first = analytic_gradient() ? -4 : -2;
    return Vec2(origin_) + place(expression_->value_at(first), expression_->value_at(first + 1));
}

Vec2 ParametricPathSection::gradient(double u) const {
    if (analytic_gradient()) {
        expression_->evaluate(u);
        return place(expression_->value_at(-2), expression_->value_at(-1));
    }
    double h = 1e-6;
    double a = std::max(u - h, 0.0);
    double b = std::min(u + h, 1.0);
    return (position(b) - position(a)) / (b - a);
}

void ParametricPathSection::transform(const Placement& placement) {
    origin_ = placement.point(origin_);
    rotation_ = placement.angle(rotation_);
    scaling_ *= std::fabs(placement.magnification);
    x_reflection_ = x_reflection_ != placement.x_reflection;
}

std::string ParametricPathSection::field_text() const {
    return "expression=" + expression_->to_string(true) + ", origin=" + point_text(origin_) +
           ", rotation=" + number_text(rotation_) + ", scaling=" + number_text(scaling_) +
           ", x_reflection=" + bool_text(x_reflection_);
}

bool ParametricPathSection::same_fields(const PathSection& other) const {
    auto& o = static_cast<const ParametricPathSection&>(other);
    return origin_ == o.origin_ && rotation_ == o.rotation_ && scaling_ == o.scaling_ &&
           x_reflection_ == o.x_reflection_ && expression_->equals(*o.expression_);
}

void ParametricPathSection::append_fields(std::string& out) const {
    append_raw(out, origin_);
    append_raw(out, rotation_);
    append_raw(out, scaling_);
    append_raw(out, x_reflection_);
    out += expression_->to_string(true);
}

}  // namespace whistle
