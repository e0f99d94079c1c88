// Sections of a path: a spine curve over the parameter range [0, size] with width and offset
// profiles. Lengths are database units, angles degrees.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "path_profile.hpp"
#include "structure.hpp"

namespace whistle {

class Expression;

// A curve of a section: the spine, the center line (spine moved by the offset) or a boundary
// (center moved by half the width to the left or right).
enum class Track { Spine, Center, Left, Right };

struct PathSample {
    double u;
    Vec2 point;
};

// Angle of a vector in degrees.
double direction_angle(const Vec2& v);
// Euclidean length (plain square root: sampling calls it constantly).
inline double norm(const Vec2& v) { return std::sqrt(dot(v, v)); }
// Left-hand perpendicular.
inline Vec2 perpendicular(const Vec2& v) { return {-v.y, v.x}; }

// A point within the coordinate range (false for NaN and infinities, which parametric
// expressions can produce).
inline bool in_range(const Vec2& v) { return in_range(v.x) && in_range(v.y); }
// The error for an evaluation without a database-unit value, near a point in range.
std::string range_error(const Vec2& around);

// Most samples kept from one piece (and integration points of a path), whatever `max_evals`
// allows, so that memory stays bounded.
constexpr uint32_t kMaxSamples = 1u << 20;

class PathSection {
public:
    enum class Kind : uint32_t { Segment, Arc, Euler, Bezier, Parametric };

    PathSection(Kind kind, double size, Profile width, Profile offset, uint32_t min_evals,
                uint32_t max_evals);
    PathSection(const PathSection& other);
    PathSection& operator=(const PathSection&) = delete;
    virtual ~PathSection() = default;

    Kind kind() const { return kind_; }
    // The stored kind name: "segment", "arc", "euler", "bezier" or "parametric".
    const char* kind_name() const;
    double size() const { return size_; }
    uint32_t min_evals() const { return min_evals_; }
    uint32_t max_evals() const { return max_evals_; }
    const Profile& width_profile() const { return width_; }
    const Profile& offset_profile() const { return offset_; }
    void set_profiles(Profile width, Profile offset);
    bool constant_profiles() const { return constant_profiles_; }

    virtual std::unique_ptr<PathSection> copy() const = 0;
    virtual Vec2 position(double u) const = 0;
    virtual Vec2 gradient(double u) const = 0;
    double width(double u) const { return width_->value(profile_parameter(u)); }
    double offset(double u) const { return offset_->value(profile_parameter(u)); }
    // Transforms the spine data; profiles are the path's business.
    virtual void transform(const Placement& placement) = 0;
    // Stored points within the coordinate range (bend centers within twice of it, as bends in
    // range built them), so that later transforms stay exact.
    virtual bool points_in_range() const = 0;

    // The point of a track at u, with the spine direction taken at `gradient_u`.
    Vec2 point(double u, Track track, double gradient_u) const;
    // Distance of a track from the spine at u, to the left.
    double shift(double u, Track track) const;

    // Stretches with a smooth spine: the edges of a segment, or the whole section.
    virtual size_t piece_count() const { return 1; }
    // Pieces whose tracks are all straight lines: the edges of a segment with constant profiles.
    bool straight_pieces() const { return kind_ == Kind::Segment && constant_profiles_; }

    // Adaptive samples of a track over [u_begin, u_end], which lie inside one piece; the samples
    // (both ends included) are appended. Reports the evaluation budget error.
    virtual bool sample(Track track, double u_begin, double u_end, ErrorHandler& status,
                        std::vector<PathSample>& out) const;

    std::string str() const;
    bool equals(const PathSection& other) const;
    void append_bytes(std::string& out) const;

protected:
    // Parameter of the profiles for u.
    virtual double profile_parameter(double u) const { return u / size_; }
    virtual std::string field_text() const = 0;
    virtual bool same_fields(const PathSection& other) const = 0;
    virtual void append_fields(std::string& out) const = 0;

    // The larger minimum evaluation count of the two profiles.
    uint32_t profile_min_evals() const;
    void raise_min_evals(uint64_t count);
    void set_size(double size) { size_ = size; }
    // Sampling with an explicit first step.
    bool adaptive_sample(Track track, double u_begin, double u_end, double first_step,
                         ErrorHandler& status, std::vector<PathSample>& out) const;

private:
    Kind kind_;
    double size_;
    Profile width_;
    Profile offset_;
    bool constant_profiles_;
    uint32_t min_evals_;
    uint32_t max_evals_;
};

using Section = std::unique_ptr<PathSection>;

// A polyline: edge k spans u in [k, k + 1]. Profiles follow the length along the polyline.
// Tracks of an edge are straight when the profiles are constant, so only the ends are sampled;
// varying profiles sample each edge with the profiles' minimum count as first step.
class SegmentPathSection final : public PathSection {
public:
    SegmentPathSection(std::vector<Vector> vertices, double bevel_join_limit, bool round_joins,
                       Profile width, Profile offset, uint32_t min_evals, uint32_t max_evals);

    const std::vector<Vector>& vertices() const { return vertices_; }
    double bevel_join_limit() const { return bevel_join_limit_; }
    bool round_joins() const { return round_joins_; }
    // Continues the polyline (profiles must be constant for the result to stay the same shape).
    void extend(const std::vector<Vector>& points);

    Section copy() const override;
    Vec2 position(double u) const override;
    Vec2 gradient(double u) const override;
    void transform(const Placement& placement) override;
    bool points_in_range() const override;
    size_t piece_count() const override { return vertices_.size() - 1; }
    bool sample(Track track, double u_begin, double u_end, ErrorHandler& status,
                std::vector<PathSample>& out) const override;

protected:
    double profile_parameter(double u) const override;
    std::string field_text() const override;
    bool same_fields(const PathSection& other) const override;
    void append_fields(std::string& out) const override;

private:
    // Measures the vertices added since the last call (all of them after lengths_.clear()).
    void update_lengths();
    size_t edge(double u) const;

    std::vector<Vector> vertices_;
    std::vector<double> lengths_;  // cumulative length at each vertex
    double bevel_join_limit_;
    bool round_joins_;
};

// Arcs and Euler bends: a turn between two polar angles (degrees) around a center, with a
// correction added linearly along the bend so it ends at a forced end point. Parameter range 1.
class BendPathSection : public PathSection {
public:
    Vector center() const { return center_; }
    double initial_angle() const { return initial_angle_; }
    double final_angle() const { return final_angle_; }
    Vec2 endpoint_delta() const { return endpoint_delta_; }

    void transform(const Placement& placement) override;
    bool points_in_range() const override { return within(center_, 2 * kMaxCoord); }

protected:
    BendPathSection(Kind kind, Vector center, double initial_angle, double final_angle,
                    Vec2 endpoint_delta, Profile width, Profile offset, uint32_t min_evals,
                    uint32_t max_evals);

    // The radius fields, their scaling under transforms and the derived data.
    virtual std::string radius_text() const = 0;
    virtual void scale_radius(double factor) = 0;
    virtual void rotate_axis(const Placement&) {}
    virtual void update() = 0;

    std::string field_text() const override;
    bool same_fields(const PathSection& other) const override;
    void append_fields(std::string& out) const override;
    virtual bool same_radius(const BendPathSection& other) const = 0;
    virtual void append_radius(std::string& out) const = 0;

    Vector center_;
    double initial_angle_;
    double final_angle_;
    Vec2 endpoint_delta_;
};

// Circular or elliptical arc. Angles are polar angles around the center in the global frame;
// the ellipse's main axis is turned by `rotation`. The parameter is the ellipse's parametric
// angle, linear in u.
class ArcPathSection final : public BendPathSection {
public:
    ArcPathSection(Vector center, Vec2 radius, double initial_angle, double final_angle,
                   double rotation, Vec2 endpoint_delta, Profile width, Profile offset,
                   uint32_t min_evals, uint32_t max_evals);

    // Point on the ellipse at a polar angle (degrees), relative to the center.
    static Vec2 radial(const Vec2& radius, double rotation, double angle);

    Vec2 radius() const { return radius_; }
    double rotation() const { return rotation_; }

    Section copy() const override;
    Vec2 position(double u) const override;
    Vec2 gradient(double u) const override;

private:
    std::string radius_text() const override;
    void scale_radius(double factor) override { radius_ = radius_ * factor; }
    void rotate_axis(const Placement& placement) override { rotation_ = placement.angle(rotation_); }
    void update() override;
    bool same_radius(const BendPathSection& other) const override;
    void append_radius(std::string& out) const override;

    Vec2 radius_;
    double rotation_;
    // Derived: parametric angles (radians) and the axis direction.
    double t0_ = 0, t1_ = 0;
    Vec2 axis_{1, 0};
};

// Normalised partial Euler bend turning left by 2·alpha: a clothoid over the first and last
// fraction p of each half, a circle in between, unit clothoid scale, starting at the origin
// along +x.
struct EulerShape {
    EulerShape(double alpha, double p);

    // Footprint of an arc of radius d (normalised units); not positive when infeasible.
    double footprint() const { return d; }
    Vec2 point(double length) const;
    double heading(double length) const;

    double alpha, theta_p, s, c, total, d;
    Vec2 middle, end;
};

// Partial Euler bend scaled so its end points are those of the circular arc of `radius`.
class EulerPathSection final : public BendPathSection {
public:
    EulerPathSection(Vector center, double radius, double euler_fraction, double initial_angle,
                     double final_angle, Vec2 endpoint_delta, Profile width, Profile offset,
                     uint32_t min_evals, uint32_t max_evals);

    // True when the fraction gives a bend with a positive footprint for this turn (degrees).
    static bool feasible(double turn, double euler_fraction);

    double radius() const { return radius_; }
    double radius_eff() const { return radius_eff_; }
    double euler_fraction() const { return euler_fraction_; }

    Section copy() const override;
    Vec2 position(double u) const override;
    Vec2 gradient(double u) const override;

private:
    std::string radius_text() const override;
    void scale_radius(double factor) override { radius_ *= factor; }
    void update() override;
    bool same_radius(const BendPathSection& other) const override;
    void append_radius(std::string& out) const override;
    // Normalised curve coordinates into the path frame.
    Vec2 place(const Vec2& v) const;

    double radius_;
    double euler_fraction_;
    // Derived.
    EulerShape shape_;
    double radius_eff_ = 0;
    double scale_ = 1;
    double turn_sign_ = 1;
    Vec2 start_, heading_;
};

class BezierPathSection final : public PathSection {
public:
    BezierPathSection(std::vector<Vector> controls, Profile width, Profile offset,
                      uint32_t min_evals, uint32_t max_evals);

    const std::vector<Vector>& controls() const { return controls_; }

    Section copy() const override;
    Vec2 position(double u) const override;
    Vec2 gradient(double u) const override;
    void transform(const Placement& placement) override;
    bool points_in_range() const override;

protected:
    std::string field_text() const override;
    bool same_fields(const PathSection& other) const override;
    void append_fields(std::string& out) const override;

private:
    // Derived from the controls: the points and the gradient's control points, as evaluated.
    void update();

    std::vector<Vector> controls_;
    std::vector<Vec2> points_;
    std::vector<Vec2> differences_;
};

// A curve given by a one-parameter expression in micrometres: its last four values are
// x, y, dx/du and dy/du; with fewer than four values the last two are x and y and the gradient
// is taken by central differences. Placed by scaling, x reflection, rotation and origin.
class ParametricPathSection final : public PathSection {
public:
    ParametricPathSection(std::shared_ptr<Expression> expression, Vector origin, double rotation,
                          double scaling, bool x_reflection, Profile width, Profile offset,
                          uint32_t min_evals, uint32_t max_evals);
    ParametricPathSection(const ParametricPathSection& other);

    const std::shared_ptr<Expression>& expression() const { return expression_; }
    Vector origin() const { return origin_; }
    double rotation() const { return rotation_; }
    double scaling() const { return scaling_; }
    bool x_reflection() const { return x_reflection_; }

    Section copy() const override;
    Vec2 position(double u) const override;
    Vec2 gradient(double u) const override;
    void transform(const Placement& placement) override;
    bool points_in_range() const override { return in_range(origin_); }

protected:
    std::string field_text() const override;
    bool same_fields(const PathSection& other) const override;
    void append_fields(std::string& out) const override;

private:
    // Local (expression) vector into the path frame, in database units.
    Vec2 place(double x, double y) const;
    bool analytic_gradient() const;

    std::shared_ptr<Expression> expression_;
    Vector origin_;
    double rotation_;
    double scaling_;
    bool x_reflection_;
};

// Fresnel integrals C(t) and S(t) (argument π·τ²/2), returned as (C, S).
Vec2 fresnel(double t);

}  // namespace whistle
