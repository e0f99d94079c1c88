// A ribbon along a spine of consecutive sections, with width and offset profiles and end caps.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "path_outline.hpp"
#include "path_sections.hpp"
#include "polygon.hpp"

namespace whistle {

class Path final : public Cloneable<Path, Structure> {
public:
    static constexpr const char* kEulerAngleError =
        "Arc angle too large for required Euler fraction. Please decrease the 'euler_fraction' "
        "value.";
    static constexpr const char* kSBendError = "Invalid S bend endpoint.";

    // An end cap: a half disc, or a flush end moved out by `extension` times the end width.
    struct Cap {
        double extension = 0;
        bool round = false;
        bool operator==(const Cap&) const = default;
    };

    // Values of the path at one parameter.
    struct Evaluation {
        Vec2 position;
        double width;
        double offset;
        Vec2 gradient;
    };

    // Sampled center line (or spine) with what `interpolate` needs at each point.
    struct Trace {
        std::vector<TrackSample> samples;
        std::vector<PathPiece> pieces;
        std::vector<double> lengths;  // cumulative, database units
    };

    Path(Vector origin, Coord width, Coord offset, std::array<Cap, 2> caps, bool scale_profile);
    Path(const Path& other);
    // A stored path, restored field by field (the sections should continue one another). Throws
    // std::invalid_argument when a section leaves the coordinate range.
    Path(Vector origin, Vector end_position, Coord end_width, Coord end_offset,
         std::array<Cap, 2> caps, bool scale_profile, std::vector<Section> sections);

    Vector origin() const { return origin_; }
    void set_origin(const Vector& origin) { translate(origin - origin_); }
    Vector end_position() const { return end_position_; }
    Coord end_width() const { return end_width_; }
    Coord end_offset() const { return end_offset_; }
    // Unit direction at the end of the spine; +x for an empty path.
    Vec2 end_direction() const;
    const std::array<Cap, 2>& caps() const { return caps_; }
    void set_caps(const std::array<Cap, 2>& caps);
    bool scale_profile() const { return scale_profile_; }
    void set_scale_profile(bool value) { scale_profile_ = value; }
    size_t size() const { return sections_.size(); }
    const std::vector<Section>& sections() const { return sections_; }

    // Builders. A null profile keeps the current end value constant; given profiles are absolute
    // (database units). Each appends to the path and moves its end; on an error reported in
    // `status` the path is left unchanged.
    void segment(const std::vector<Vector>& points, Profile width, Profile offset,
                 double join_limit, bool round_joins, uint32_t min_evals, uint32_t max_evals,
                 ErrorHandler& status);
    // Angles in degrees; a positive euler_fraction needs a circular radius.
    void arc(double initial_angle, double final_angle, Vec2 radius, double rotation,
             double euler_fraction, const std::optional<Vector>& endpoint, Profile width,
             Profile offset, uint32_t min_evals, uint32_t max_evals, ErrorHandler& status);
    void turn(double angle, Vec2 radius, double euler_fraction, const std::optional<Vector>& endpoint,
              Profile width, Profile offset, uint32_t min_evals, uint32_t max_evals,
              ErrorHandler& status);
    // `direction` (any length) sets the frame of the bend; the end direction by default.
    void s_bend(const Vector& endpoint, double euler_fraction, const std::optional<Vec2>& direction,
                Profile width, Profile offset, uint32_t min_evals, uint32_t max_evals,
                ErrorHandler& status);
    void bezier(const std::vector<Vector>& controls, Profile width, Profile offset,
                uint32_t min_evals, uint32_t max_evals, ErrorHandler& status);
    // The expression's values are micrometres, placed at `origin`.
    void parametric(std::shared_ptr<Expression> expression, const Vector& origin, Profile width,
                    Profile offset, uint32_t min_evals, uint32_t max_evals, ErrorHandler& status);

    // Section floor(u) at its local parameter; u in [0, size()], with size() the end.
    Evaluation at(double u) const;
    bool spine(std::vector<Vec2>& out, ErrorHandler& status) const;
    bool center(std::vector<Vec2>& out, ErrorHandler& status) const;
    bool left_vertices(std::vector<Vec2>& out, ErrorHandler& status) const;
    bool right_vertices(std::vector<Vec2>& out, ErrorHandler& status) const;
    // Length of the sampled center line (or spine), database units.
    bool length(bool include_offset, double& out, ErrorHandler& status) const;
    bool trace(bool include_offset, Trace& out, ErrorHandler& status) const;
    // Values at a distance along a trace (its samples give the position); unit gradient.
    Evaluation interpolate(const Trace& trace, double distance) const;
    // Adaptive points for numerical integration along the center line (or spine): the samples
    // of `trace`, refined where width, offset or curvature change by more than the relative
    // tolerances (ignored when 0). Lengths and curvature in database units.
    struct IntegrationPoint {
        double length;
        Vec2 position;
        Vec2 direction;
        double curvature;
        double width;
        double offset;
    };
    bool integration_points(double width_rtol, double offset_rtol, double curvature_rtol,
                            bool include_offset, std::vector<IntegrationPoint>& out,
                            ErrorHandler& status) const;
    // The spine points and width when the path is one polyline section of constant width
    // centred on its spine with mitred joins: what a GDSII or OASIS path element holds.
    bool single_polyline(std::vector<Vector>& points, Coord& width) const;
    // Same spine with the width and offset replaced (or shifted by the values when relative);
    // existing variations are kept unless the profile is made constant.
    std::shared_ptr<Path> updated_copy(Coord width, Coord offset, bool constant_width,
                                       bool constant_offset, bool relative) const;

    bool content_bytes(std::string& out) const override;
    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

    Polygon to_polygon(ErrorHandler& status) const override;
    Area area() const override;
    Coord perimeter() const override;
    Bounds bounds(ErrorHandler& status) const override;
    bool is_empty() const override;
    using Structure::transform;
    void transform(Placements steps) override;
    void translate(const Vector& delta) override;
    void rotate(double rotation, const Vector& center) override;
    void scale(double magnification, const Vector& center) override;
    void mirror(const Vector& axis_endpoint, const Vector& axis_origin) override;
    std::vector<Coord> axis_intersections(int axis, Coord c, ErrorHandler& status) const override;

private:
    struct Boundaries {
        std::vector<Vec2> left;
        std::vector<Vec2> right;
    };

    // The polygon, built once; null (with the status error) when tracing failed.
    const Polygon* polygon(ErrorHandler& status) const;
    std::unique_ptr<Polygon> build_polygon(ErrorHandler& status) const;
    // The boundary vertex lists, traced on first need (polygons do not keep them).
    const Boundaries* boundaries(ErrorHandler& status) const;
    // An end of the outline, from the left to the right boundary at the start and from the
    // right to the left boundary at the end: the arc of a round cap, else the two corners of a
    // flush end (moved out by its extension). Counted before its points are made.
    struct CapOutline {
        std::optional<Arc> arc;
        Vec2 corners[2];

        int64_t count() const { return arc ? arc->count() : 2; }
        std::vector<Vec2> points() const;
    };
    CapOutline cap_outline(bool at_end) const;
    Profile resolve(const Profile& profile, Coord current) const;
    // False, with the error reported, when the section's ends have no database-unit value.
    bool ends_in_range(const PathSection& section, ErrorHandler& status) const;
    // Appends when the ends are in range.
    void append(Section section, ErrorHandler& status);
    void append(Section section);
    void clear_cache() {
        polygon_.reset();
        boundaries_.reset();
    }

    Vector origin_;
    Vector end_position_;
    Coord end_width_;
    Coord end_offset_;
    std::array<Cap, 2> caps_;
    bool scale_profile_;
    std::vector<Section> sections_;
    mutable std::unique_ptr<Polygon> polygon_;
    mutable std::unique_ptr<Boundaries> boundaries_;
};

// Shortest length of an S bend with the given lateral offset and bend radius (database units),
// truncated down to the grid: 2r, or √((4r − o)·o) below 2r (below 4r when meandering).
Coord s_bend_length(Coord offset, Coord radius, bool meander);

}  // namespace whistle
