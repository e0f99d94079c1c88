#include "path.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

constexpr double kPi = std::numbers::pi;

Vec2 unit(const Vec2& v) {
    double length = norm(v);
    return length > 0 ? v / length : Vec2{1, 0};
}

std::string cap_text(const Path::Cap& cap) {
    return cap.round ? "'round'" : number_text(cap.extension);
}

}  // namespace

Path::Path(Vector origin, Coord width, Coord offset, std::array<Cap, 2> caps, bool scale_profile)
    : Cloneable(TypeCode::Path, StructureKind::Path), origin_(origin), end_position_(origin),
      end_width_(width), end_offset_(offset), caps_(caps), scale_profile_(scale_profile) {}

Path::Path(const Path& other)
    : Cloneable(other), origin_(other.origin_), end_position_(other.end_position_),
      end_width_(other.end_width_), end_offset_(other.end_offset_), caps_(other.caps_),
      scale_profile_(other.scale_profile_) {
    sections_.reserve(other.sections_.size());
    for (const Section& section : other.sections_) sections_.push_back(section->copy());
}

Path::Path(Vector origin, Vector end_position, Coord end_width, Coord end_offset,
           std::array<Cap, 2> caps, bool scale_profile, std::vector<Section> sections)
    : Cloneable(TypeCode::Path, StructureKind::Path), origin_(origin), end_position_(end_position),
      end_width_(end_width), end_offset_(end_offset), caps_(caps), scale_profile_(scale_profile),
      sections_(std::move(sections)) {
    ErrorHandler status;
    for (const Section& section : sections_)
        if (!section->points_in_range() || !ends_in_range(*section, status))
            throw std::invalid_argument(status.failed() ? status.message : "Path section out of range.");
}

Vec2 Path::end_direction() const {
    if (sections_.empty()) return {1, 0};
    const PathSection& last = *sections_.back();
    return unit(last.gradient(last.size()));
}

void Path::set_caps(const std::array<Cap, 2>& caps) {
    caps_ = caps;
    clear_cache();
}

Profile Path::resolve(const Profile& profile, Coord current) const {
    return profile ? profile : constant_profile(double(current));
}

bool Path::ends_in_range(const PathSection& section, ErrorHandler& status) const {
    // Both boundaries at both ends: they cover the spine, gradient, width and offset there.
    for (double u : {0.0, section.size()})
        for (Track side : {Track::Left, Track::Right})
            if (!in_range(section.point(u, side, u))) {
                status.error(range_error(Vec2(end_position_)));
                return false;
            }
    return true;
}

void Path::append(Section section, ErrorHandler& status) {
    if (ends_in_range(*section, status)) append(std::move(section));
}

void Path::append(Section section) {
    double end = section->size();
    end_position_ = section->position(end).rounded();
    end_width_ = std::max<Coord>(0, nearest(section->width(end)));
    end_offset_ = nearest(section->offset(end));
    sections_.push_back(std::move(section));
    clear_cache();
}

// ---- Builders ---------------------------------------------------------------------------

void Path::segment(const std::vector<Vector>& points, Profile width, Profile offset,
                   double join_limit, bool round_joins, uint32_t min_evals, uint32_t max_evals,
                   ErrorHandler& status) {
    std::vector<Vector> vertices;
    vertices.reserve(points.size() + 1);
    vertices.push_back(end_position_);
    for (const Vector& p : points)
        if (p != vertices.back()) vertices.push_back(p);
    if (vertices.size() < 2) return;

    // Unchanged profiles continue a preceding polyline with the same joins, so the new corner
    // gets the segment's own join.
    if (!width && !offset && !sections_.empty() && sections_.back()->kind() == PathSection::Kind::Segment) {
        auto* last = static_cast<SegmentPathSection*>(sections_.back().get());
        if (last->constant_profiles() && last->bevel_join_limit() == join_limit &&
            last->round_joins() == round_joins && last->min_evals() == min_evals &&
            last->max_evals() == max_evals) {
            last->extend({vertices.begin() + 1, vertices.end()});
            end_position_ = vertices.back();
            clear_cache();
            return;
        }
    }
    append(std::make_unique<SegmentPathSection>(std::move(vertices), join_limit, round_joins,
                                                resolve(width, end_width_),
                                                resolve(offset, end_offset_), min_evals, max_evals),
           status);
}

namespace {

struct BendRequest {
    Vector start;
    double initial_angle;
    double final_angle;
    Vec2 radius;
    double rotation;
    double euler_fraction;
    std::optional<Vector> endpoint;
    Profile width;
    Profile offset;
    uint32_t min_evals;
    uint32_t max_evals;
};

// A circular, elliptical or partial Euler bend starting at bend.start; null (with the error
// reported) when the Euler fraction is too large for the turn.
Section make_bend(const BendRequest& bend, ErrorHandler& status) {
    double p = bend.euler_fraction;
    if (p > 0 && !EulerPathSection::feasible(bend.final_angle - bend.initial_angle, p)) {
        status.error(Path::kEulerAngleError);
        return nullptr;
    }
    auto build = [&](Vec2 delta) -> Section {
        if (p > 0) {
            double radius = bend.radius.x;
            Vector center = (Vec2(bend.start) - direction_vector(bend.initial_angle) * radius).rounded();
            return std::make_unique<EulerPathSection>(center, radius, p, bend.initial_angle,
                                                      bend.final_angle, delta, bend.width,
                                                      bend.offset, bend.min_evals, bend.max_evals);
        }
        Vec2 radial = ArcPathSection::radial(bend.radius, bend.rotation, bend.initial_angle);
        Vector center = (Vec2(bend.start) - radial).rounded();
        return std::make_unique<ArcPathSection>(center, bend.radius, bend.initial_angle,
                                                bend.final_angle, bend.rotation, delta, bend.width,
                                                bend.offset, bend.min_evals, bend.max_evals);
    };
    Section section = build({0, 0});
    if (!bend.endpoint) return section;
    // The correction grows linearly along the bend so it ends exactly at the forced point.
    return build(Vec2(*bend.endpoint) - section->position(1));
}

}  // namespace

void Path::arc(double initial_angle, double final_angle, Vec2 radius, double rotation,
               double euler_fraction, const std::optional<Vector>& endpoint, Profile width,
               Profile offset, uint32_t min_evals, uint32_t max_evals, ErrorHandler& status) {
    if (initial_angle == final_angle) return;
    Section bend = make_bend({end_position_, initial_angle, final_angle, radius, rotation,
                              euler_fraction, endpoint, resolve(width, end_width_),
                              resolve(offset, end_offset_), min_evals, max_evals},
                             status);
    if (bend) append(std::move(bend), status);
}

void Path::turn(double angle, Vec2 radius, double euler_fraction,
                const std::optional<Vector>& endpoint, Profile width, Profile offset,
                uint32_t min_evals, uint32_t max_evals, ErrorHandler& status) {
    double initial = direction_angle(end_direction()) + (angle >= 0 ? -90.0 : 90.0);
    arc(initial, initial + angle, radius, 0, euler_fraction, endpoint, std::move(width),
        std::move(offset), min_evals, max_evals, status);
}

void Path::s_bend(const Vector& endpoint, double euler_fraction,
                  const std::optional<Vec2>& direction, Profile width, Profile offset,
                  uint32_t min_evals, uint32_t max_evals, ErrorHandler& status) {
    Vec2 dir = end_direction();
    if (direction) {
        // A zero direction has no frame: its projection a is 0, an invalid end point.
        double length = norm(*direction);
        dir = length > 0 ? *direction / length : Vec2{};
    }
    Vec2 d(endpoint - end_position_);
    double a = std::round(dot(d, dir));
    double b = std::round(cross(dir, d));
    if (a <= 0) {
        status.error(kSBendError);
        return;
    }
    double phi = 2 * std::atan2(b, a);
    if (std::fabs(phi) < 1e-16 || std::fabs(std::sin(phi)) < 1e-16) {
        segment({endpoint}, std::move(width), std::move(offset), -1, false, min_evals,
                std::max<uint32_t>(max_evals, 100), status);
        return;
    }
    // Rounded in floating point: a nearly straight bend can have a radius, and so a center,
    // beyond the coordinates.
    double radius = std::round(a / 2 / std::fabs(std::sin(phi)));
    Vec2 start(end_position_);
    if (!in_range(radius + std::max(std::fabs(start.x), std::fabs(start.y)))) {
        status.error(kSBendError);
        return;
    }
    double turn = phi * 180 / kPi;
    double heading = direction_angle(dir);
    Profile w = resolve(width, end_width_);
    Profile o = resolve(offset, end_offset_);
    auto half = [](const Profile& profile, double u0, double u1) -> Profile {
        return std::make_shared<SlicePathInterpolator>(profile, u0, u1);
    };
    Vector middle = ((Vec2(end_position_) + Vec2(endpoint)) * 0.5).rounded();
    double first = heading + (turn > 0 ? -90.0 : 90.0);
    double second = heading + turn + (turn > 0 ? 90.0 : -90.0);
    Section one = make_bend({end_position_, first, first + turn, {radius, radius}, 0, euler_fraction,
                             middle, half(w, 0, 0.5), half(o, 0, 0.5), min_evals, max_evals},
                            status);
    Section two = make_bend({middle, second, second - turn, {radius, radius}, 0, euler_fraction,
                             endpoint, half(w, 0.5, 1), half(o, 0.5, 1), min_evals, max_evals},
                            status);
    // Both halves or neither.
    if (!one || !two || !ends_in_range(*one, status) || !ends_in_range(*two, status)) return;
    append(std::move(one));
    append(std::move(two));
}

void Path::bezier(const std::vector<Vector>& controls, Profile width, Profile offset,
                  uint32_t min_evals, uint32_t max_evals, ErrorHandler& status) {
    std::vector<Vector> points{end_position_};
    points.insert(points.end(), controls.begin(), controls.end());
    append(std::make_unique<BezierPathSection>(std::move(points), resolve(width, end_width_),
                                               resolve(offset, end_offset_), min_evals, max_evals),
           status);
}

void Path::parametric(std::shared_ptr<Expression> expression, const Vector& origin, Profile width,
                      Profile offset, uint32_t min_evals, uint32_t max_evals,
                      ErrorHandler& status) {
    append(std::make_unique<ParametricPathSection>(std::move(expression), origin, 0, 1, false,
                                                   resolve(width, end_width_),
                                                   resolve(offset, end_offset_), min_evals,
                                                   max_evals),
           status);
}

// ---- Queries ----------------------------------------------------------------------------

Path::Evaluation Path::at(double u) const {
    if (sections_.empty()) return {Vec2(end_position_), double(end_width_), double(end_offset_), {0, 0}};
    size_t index = std::min(size_t(std::max(u, 0.0)), sections_.size() - 1);
    const PathSection& section = *sections_[index];
    double local = (u - double(index)) * section.size();
    return {section.position(local), section.width(local), section.offset(local),
            section.gradient(local) * section.size()};
}

bool Path::trace(bool include_offset, Trace& out, ErrorHandler& status) const {
    out.pieces = path_pieces(sections_);
    out.samples.clear();
    if (!trace_track(out.pieces, include_offset ? Track::Center : Track::Spine, status, out.samples))
        return false;
    out.lengths.assign(1, 0.0);
    for (size_t i = 1; i < out.samples.size(); ++i)
        out.lengths.push_back(out.lengths.back() +
                              norm(out.samples[i].point - out.samples[i - 1].point));
    return true;
}

namespace {

bool track_points(const Path& path, bool include_offset, std::vector<Vec2>& out,
                  ErrorHandler& status) {
    Path::Trace trace;
    if (!path.trace(include_offset, trace, status)) return false;
    out.clear();
    for (const TrackSample& s : trace.samples) out.push_back(s.point);
    return true;
}

}  // namespace

bool Path::spine(std::vector<Vec2>& out, ErrorHandler& status) const {
    return track_points(*this, false, out, status);
}

bool Path::center(std::vector<Vec2>& out, ErrorHandler& status) const {
    return track_points(*this, true, out, status);
}

bool Path::left_vertices(std::vector<Vec2>& out, ErrorHandler& status) const {
    const Boundaries* b = boundaries(status);
    if (b) out = b->left;
    return b != nullptr;
}

bool Path::right_vertices(std::vector<Vec2>& out, ErrorHandler& status) const {
    const Boundaries* b = boundaries(status);
    if (b) out = b->right;
    return b != nullptr;
}

bool Path::length(bool include_offset, double& out, ErrorHandler& status) const {
    Trace t;
    if (!trace(include_offset, t, status)) return false;
    out = t.lengths.back();
    return true;
}

Path::Evaluation Path::interpolate(const Trace& trace, double distance) const {
    const auto& samples = trace.samples;
    if (samples.empty())
        return {Vec2(end_position_), double(end_width_), double(end_offset_), end_direction()};
    size_t j = 0;
    double fraction = 0;
    if (distance >= trace.lengths.back()) {
        j = samples.size() - 1;
    } else if (distance > 0) {
        j = size_t(std::upper_bound(trace.lengths.begin(), trace.lengths.end(), distance) -
                   trace.lengths.begin()) - 1;
        fraction = (distance - trace.lengths[j]) / (trace.lengths[j + 1] - trace.lengths[j]);
    }
    const TrackSample& a = samples[j];
    const TrackSample& b = fraction > 0 ? samples[j + 1] : a;
    const PathPiece& piece = trace.pieces[b.piece];
    double u = a.piece == b.piece ? a.u + (b.u - a.u) * fraction : b.u;
    Vec2 position = a.point + (b.point - a.point) * fraction;
    return {position, piece.section->width(u), piece.section->offset(u), piece.direction(u)};
}

namespace {

// Values of a track on a piece; direction and curvature by finite differences inside the piece.
Path::IntegrationPoint local_values(const PathPiece& piece, double u, Track track) {
    const PathSection& section = *piece.section;
    Path::IntegrationPoint result{0, piece.point(u, track), piece.direction(u), 0,
                                  section.width(u), section.offset(u)};
    if (section.straight_pieces()) return result;
    double h = 1e-4 * (piece.u1 - piece.u0);
    double a = std::clamp(u - h, piece.u0, piece.u1 - 2 * h);
    Vec2 p0 = piece.point(a, track);
    Vec2 p1 = piece.point(a + h, track);
    Vec2 p2 = piece.point(a + 2 * h, track);
    Vec2 d1 = (p2 - p0) / (2 * h);
    Vec2 d2 = (p2 - p1 * 2 + p0) / (h * h);
    double speed = norm(d1);
    if (speed > 0) {
        result.direction = d1 / speed;
        result.curvature = cross(d1, d2) / (speed * speed * speed);
    }
    return result;
}

struct Refinement {
    const PathPiece& piece;
    Track track;
    double width_rtol, offset_rtol, curvature_rtol;
    std::vector<Path::IntegrationPoint>& out;

    static bool differs(double a, double b, double rtol) {
        return rtol > 0 && std::fabs(a - b) > rtol * std::max(std::fabs(a), std::fabs(b));
    }

    // Appends the points strictly between a (at ua) and b (at ub).
    void between(double ua, const Path::IntegrationPoint& a, double ub,
                 const Path::IntegrationPoint& b, int depth) {
        if (depth == 0 || out.size() >= kMaxSamples ||
            !(differs(a.width, b.width, width_rtol) || differs(a.offset, b.offset, offset_rtol) ||
              differs(a.curvature, b.curvature, curvature_rtol)))
            return;
        double um = 0.5 * (ua + ub);
        Path::IntegrationPoint m = local_values(piece, um, track);
        between(ua, a, um, m, depth - 1);
        out.push_back(m);
        between(um, m, ub, b, depth - 1);
    }
};

}  // namespace

bool Path::integration_points(double width_rtol, double offset_rtol, double curvature_rtol,
                              bool include_offset, std::vector<IntegrationPoint>& out,
                              ErrorHandler& status) const {
    Trace t;
    if (!trace(include_offset, t, status)) return false;
    Track track = include_offset ? Track::Center : Track::Spine;
    out.clear();
    for (size_t i = 0; i < t.samples.size(); ++i) {
        const TrackSample& s = t.samples[i];
        const PathPiece& piece = t.pieces[s.piece];
        IntegrationPoint values = local_values(piece, s.u, track);
        if (i > 0 && t.samples[i - 1].piece == s.piece) {
            Refinement refinement{piece, track, width_rtol, offset_rtol, curvature_rtol, out};
            refinement.between(t.samples[i - 1].u, IntegrationPoint(out.back()), s.u, values, 12);
        }
        out.push_back(values);
    }
    for (size_t i = 1; i < out.size(); ++i)
        out[i].length = out[i - 1].length + norm(out[i].position - out[i - 1].position);
    return true;
}

bool Path::single_polyline(std::vector<Vector>& points, Coord& width) const {
    if (sections_.size() != 1 || sections_.front()->kind() != PathSection::Kind::Segment)
        return false;
    const auto& section = static_cast<const SegmentPathSection&>(*sections_.front());
    const Profile& width_profile = section.width_profile();
    const Profile& offset_profile = section.offset_profile();
    if (!width_profile->is_constant() || !offset_profile->is_constant() ||
        offset_profile->value(0) != 0 || section.round_joins())
        return false;
    // A bevel limit could cut corners that a path element always mitres.
    if (section.bevel_join_limit() >= 0 && section.vertices().size() > 2) return false;
    points = section.vertices();
    width = Coord(std::llround(width_profile->value(0)));
    return true;
}

std::shared_ptr<Path> Path::updated_copy(Coord width, Coord offset, bool constant_width,
                                         bool constant_offset, bool relative) const {
    auto result = std::make_shared<Path>(*this);
    double w0 = sections_.empty() ? double(end_width_) : sections_[0]->width(0);
    double o0 = sections_.empty() ? double(end_offset_) : sections_[0]->offset(0);
    double new_width = relative ? w0 + double(width) : double(width);
    double new_offset = relative ? o0 + double(offset) : double(offset);
    auto replaced = [](const Profile& profile, bool constant, double value, double shift) {
        return constant ? constant_profile(value) : profile->affine(1, shift);
    };
    for (Section& section : result->sections_)
        section->set_profiles(
            replaced(section->width_profile(), constant_width, new_width, new_width - w0),
            replaced(section->offset_profile(), constant_offset, new_offset, new_offset - o0));
    if (result->sections_.empty()) {
        result->end_width_ = std::max<Coord>(0, nearest(new_width));
        result->end_offset_ = nearest(new_offset);
    } else {
        const PathSection& last = *result->sections_.back();
        result->end_width_ = std::max<Coord>(0, nearest(last.width(last.size())));
        result->end_offset_ = nearest(last.offset(last.size()));
    }
    return result;
}

// ---- Outline ----------------------------------------------------------------------------

namespace {

// Points a boundary is expected to take, so that its buffer is allocated once: straight pieces
// give a point or two (a mitre or a bevel), other pieces about as many samples as their
// minimum evaluation count (for arcs, the curve point-count rule).
size_t boundary_point_estimate(const std::vector<Section>& sections) {
    size_t estimate = 2;
    for (const Section& section : sections) {
        size_t per_piece = 2;
        if (!section->straight_pieces()) {
            // Segment edges with varying profiles start their sampling at the profiles' count.
            uint32_t evals = section->kind() == PathSection::Kind::Segment
                                 ? std::max(section->width_profile()->min_evals(),
                                            section->offset_profile()->min_evals())
                                 : section->min_evals();
            per_piece = std::max<size_t>(per_piece, evals);
        }
        estimate += per_piece * section->piece_count();
    }
    return std::min<size_t>(estimate, kMaxPoints);
}

}  // namespace

Path::CapOutline Path::cap_outline(bool at_end) const {
    PathPiece piece = at_end ? last_piece(sections_) : first_piece(sections_);
    double u = at_end ? piece.u1 : piece.u0;
    Vec2 left = piece.point(u, Track::Left);
    Vec2 right = piece.point(u, Track::Right);
    Vec2 from = at_end ? right : left;
    Vec2 to = at_end ? left : right;
    double width = piece.section->width(u);
    const Cap& cap = caps_[at_end ? 1 : 0];
    if (cap.round) return {Arc((left + right) * 0.5, from, kPi, 0.5 * width), {}};
    if (cap.extension != 0 && width > 0) {
        Vec2 shift = piece.direction(u) * (cap.extension * width * (at_end ? 1 : -1));
        return {std::nullopt, {from + shift, to + shift}};
    }
    return {std::nullopt, {from, to}};
}

std::vector<Vec2> Path::CapOutline::points() const {
    if (!arc) return {corners[0], corners[1]};
    std::vector<Vec2> result;
    result.reserve(size_t(arc->count()));
    for (int64_t k = 0; k < arc->count(); ++k) result.push_back(arc->point(k));
    return result;
}

std::unique_ptr<Polygon> Path::build_polygon(ErrorHandler& status) const {
    auto result = std::make_unique<Polygon>();
    if (sections_.empty()) return result;
    CapOutline start = cap_outline(false);
    CapOutline end = cap_outline(true);
    int64_t caps = start.count() + end.count();
    check_point_budget(kOutlineOperation, caps);
    std::vector<Vec2> start_cap = start.points();
    std::vector<Vec2> end_cap = end.points();

    // The right boundary goes straight into the ring; the left one is drawn alongside and
    // added in reverse.
    size_t estimate = boundary_point_estimate(sections_);
    Ring ring;
    Ring left;
    ring.reserve(2 * estimate + size_t(caps));
    left.reserve(estimate);
    BoundaryPoints<Vector> right_points(ring, left, caps);
    BoundaryPoints<Vector> left_points(left, ring, caps);
    if (!trace_boundaries(sections_, right_points, left_points, status)) return nullptr;

    // Right boundary forward, end cap, left boundary back, start cap: counter-clockwise. Curves
    // may have outgrown the estimate: the ring then grows once, to its size.
    ring.reserve(ring.size() + end_cap.size() + left.size() + start_cap.size());
    right_points.put(end_cap);
    ring.insert(ring.end(), left.rbegin(), left.rend());
    right_points.put(start_cap);
    if (!right_points.in_range() || !left_points.in_range()) {
        status.error(range_error(Vec2(origin_)));
        return nullptr;
    }

    // Normalising snaps every point, cap points included.
    Polygon polygon(std::move(ring));
    polygon.normalize();
    // An outline that is not a valid polygon (degenerate, zero width) yields an empty polygon.
    if (polygon.is_valid()) *result = std::move(polygon);
    return result;
}

const Polygon* Path::polygon(ErrorHandler& status) const {
    if (!polygon_) polygon_ = build_polygon(status);
    return polygon_.get();
}

const Path::Boundaries* Path::boundaries(ErrorHandler& status) const {
    if (boundaries_) return boundaries_.get();
    auto result = std::make_unique<Boundaries>();
    BoundaryPoints<Vec2> right(result->right, result->left, 0);
    BoundaryPoints<Vec2> left(result->left, result->right, 0);
    if (!trace_boundaries(sections_, right, left, status)) return nullptr;
    // The same range error as the polygon's.
    if (!right.in_range() || !left.in_range()) {
        status.error(range_error(Vec2(origin_)));
        return nullptr;
    }
    boundaries_ = std::move(result);
    return boundaries_.get();
}

Polygon Path::to_polygon(ErrorHandler& status) const {
    const Polygon* p = polygon(status);
    return p ? *p : Polygon();
}

Area Path::area() const {
    ErrorHandler status;
    const Polygon* p = polygon(status);
    return p ? p->area() : Area{};
}

Coord Path::perimeter() const {
    ErrorHandler status;
    const Polygon* p = polygon(status);
    return p ? p->perimeter() : 0;
}

Bounds Path::bounds(ErrorHandler& status) const {
    const Polygon* p = polygon(status);
    return p ? p->bounds(status) : Bounds{};
}

bool Path::is_empty() const {
    ErrorHandler status;
    const Polygon* p = polygon(status);
    return !p || p->is_empty();
}

std::vector<Coord> Path::axis_intersections(int axis, Coord c, ErrorHandler& status) const {
    const Polygon* p = polygon(status);
    return p ? p->axis_intersections(axis, c, status) : std::vector<Coord>{};
}

// ---- Transforms -------------------------------------------------------------------------

// Transformed copies of the sections are checked before they replace the path's own.
void Path::transform(Placements steps) {
    std::vector<Section> sections;
    sections.reserve(sections_.size());
    for (const Section& section : sections_) sections.push_back(section->copy());
    Vector origin = origin_, end_position = end_position_;
    Coord end_width = end_width_, end_offset = end_offset_;
    for (const Placement& step : steps) {
        double width_factor = scale_profile_ ? std::fabs(step.magnification) : 1.0;
        // A reflection swaps left and right, so offsets change sign.
        double offset_factor = step.x_reflection ? -width_factor : width_factor;
        for (Section& section : sections) {
            section->transform(step);
            if (width_factor != 1 || offset_factor != 1)
                section->set_profiles(section->width_profile()->affine(width_factor, 0),
                                      section->offset_profile()->affine(offset_factor, 0));
        }
        origin = step.point(origin);
        end_position = step.point(end_position);
        end_width = step_nearest(double(end_width) * width_factor);
        end_offset = step_nearest(double(end_offset) * offset_factor);
    }
    check_range(origin);
    check_range(end_position);
    check_range(end_width);
    check_range(end_offset);
    for (const Section& section : sections)
        if (!section->points_in_range()) throw RangeError();
    origin_ = origin;
    end_position_ = end_position;
    end_width_ = end_width;
    end_offset_ = end_offset;
    sections_ = std::move(sections);
    clear_cache();
}

void Path::translate(const Vector& delta) {
    const Placement step{delta};
    transform(Placements(&step, 1));
}

// Rotation, scaling and mirroring move the center or axis to the origin and back, so that the
// section data is rounded once.
void Path::rotate(double rotation, const Vector& center) {
    const Placement steps[] = {{-center}, {{}, false, rotation}, {center}};
    transform(steps);
}

void Path::scale(double magnification, const Vector& center) {
    const Placement steps[] = {{-center}, {{}, false, 0, magnification}, {center}};
    transform(steps);
}

void Path::mirror(const Vector& axis_endpoint, const Vector& axis_origin) {
    double phi = axis_angle(axis_endpoint, axis_origin);
    const Placement steps[] = {{-axis_origin}, {{}, true, 2 * phi}, {axis_origin}};
    transform(steps);
}

// ---- Identity ---------------------------------------------------------------------------

bool Path::content_bytes(std::string& out) const {
    Structure::content_bytes(out);
    append_raw(out, origin_);
    append_raw(out, end_position_);
    append_raw(out, end_width_);
    append_raw(out, end_offset_);
    for (const Cap& cap : caps_) {
        append_raw(out, cap.extension);
        append_raw(out, cap.round);
    }
    append_raw(out, scale_profile_);
    append_raw(out, uint64_t(sections_.size()));
    for (const Section& section : sections_) section->append_bytes(out);
    return true;
}

std::string Path::str(bool representation) const {
    if (!representation) return "Path with " + std::to_string(sections_.size()) + " sections";
    double width = sections_.empty() ? double(end_width_) : sections_[0]->width(0);
    double offset = sections_.empty() ? double(end_offset_) : sections_[0]->offset(0);
    std::string text = "Path(origin=" + point_text(origin_) +
                       ", width=" + number_text(width / kUnitsPerMicron) +
                       ", offset=" + number_text(offset / kUnitsPerMicron) + ", caps=(" +
                       cap_text(caps_[0]) + ", " + cap_text(caps_[1]) +
                       "), scale_profile=" + (scale_profile_ ? "True" : "False") + ", sections=[";
    for (size_t i = 0; i < sections_.size(); ++i) text += (i ? ", " : "") + sections_[i]->str();
    return text + "])";
}

bool Path::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::Path) return false;
    const auto& o = static_cast<const Path&>(other);
    if (origin_ != o.origin_ || end_position_ != o.end_position_ || end_width_ != o.end_width_ ||
        end_offset_ != o.end_offset_ || caps_ != o.caps_ || scale_profile_ != o.scale_profile_ ||
        sections_.size() != o.sections_.size())
        return false;
    for (size_t i = 0; i < sections_.size(); ++i)
        if (!sections_[i]->equals(*o.sections_[i])) return false;
    return true;
}

Coord s_bend_length(Coord offset, Coord radius, bool meander) {
    double o = std::fabs(double(offset));
    double r = double(radius);
    if (o < 2 * r || (meander && o < 4 * r)) {
        Coord grid = config().grid;
        return Coord(std::floor(std::sqrt((4 * r - o) * o) / double(grid))) * grid;
    }
    return 2 * radius;
}

}  // namespace whistle
