#include "path_outline.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

// Beyond this ratio between a join point's distance and the gap it closes, the boundaries are
// taken as parallel (a width step between nearly aligned pieces) and simply connected; so are
// curved pieces whose directions differ by less than its inverse (in radians).
constexpr double kMaxJoinReach = 1000.0;

// Squared length: the per-vertex tests compare squares, as square roots show in long paths.
double norm2(const Vec2& v) { return dot(v, v); }

// What the two boundaries of a piece and the corners at its ends share, found once: the edge
// vector of a segment piece, the shifts of the boundaries at the piece's end and, for straight
// tracks, the spine's chord, which each boundary moves sideways by its shift.
struct Spine {
    Spine(const PathPiece& piece, const Spine* previous)
        : piece(&piece), straight(piece.section->straight_pieces()) {
        const PathSection& section = *piece.section;
        if (section.kind() == PathSection::Kind::Segment)
            edge = section.gradient(0.5 * (piece.u0 + piece.u1));
        // Consecutive straight pieces of a polyline share their vertex and, as their profiles
        // are constant, their shifts.
        if (straight && previous && previous->piece->section == &section) {
            right_shift = previous->right_shift;
            left_shift = previous->left_shift;
            start = previous->end;
        } else {
            right_shift = section.shift(piece.u1, Track::Right);
            left_shift = section.shift(piece.u1, Track::Left);
            if (straight) start = section.position(piece.u0);
        }
        if (!straight) return;
        end = section.position(piece.u1);
        length = norm(end - start);
    }

    double shift(Track side) const { return side == Track::Left ? left_shift : right_shift; }

    const PathPiece* piece;
    bool straight;
    Vec2 edge;
    double right_shift, left_shift;
    Vec2 start, end;
    // Zero also for curved tracks and for a chord of zero length, which has no sides.
    double length = 0;
};

// One boundary of a piece, continued along its end tangents beyond the piece.
class Boundary {
public:
    Boundary(const Spine& spine, Track side)
        : piece_(spine.piece), side_(side), straight_(spine.straight),
          end_shift_(spine.shift(side)) {
        if (spine.length > 0) {
            Vec2 normal = perpendicular(spine.end - spine.start) * (end_shift_ / spine.length);
            start_ = spine.start + normal;
            end_ = spine.end + normal;
        } else {
            start_ = piece_->point(piece_->u0, side);
            end_ = piece_->point(piece_->u1, side);
        }
        if (straight_) {
            // Segment edges span exactly 1, and dividing by 1 changes nothing but the time.
            double span = piece_->u1 - piece_->u0;
            start_slope_ = end_slope_ = span == 1 ? end_ - start_ : (end_ - start_) / span;
        } else {
            start_slope_ = derivative(piece_->u0);
            end_slope_ = derivative(piece_->u1);
        }
    }

    const PathPiece& piece() const { return *piece_; }
    // A straight line inside the piece as well as beyond it.
    bool straight() const { return straight_; }
    const Vec2& start() const { return start_; }
    const Vec2& end() const { return end_; }
    // Distance of the boundary from the spine at the piece's end, to the left.
    double end_shift() const { return end_shift_; }

    Vec2 at(double u) const {
        if (u >= piece_->u1) return end_ + end_slope_ * (u - piece_->u1);
        if (u <= piece_->u0 || straight_) return start_ + start_slope_ * (u - piece_->u0);
        return piece_->point(u, side_);
    }

    // d/du of the extended boundary.
    Vec2 slope(double u) const {
        if (u >= piece_->u1) return end_slope_;
        if (u <= piece_->u0 || straight_) return start_slope_;
        return derivative(u);
    }

private:
    Vec2 derivative(double u) const {
        double h = 1e-6 * (piece_->u1 - piece_->u0);
        double a = std::max(piece_->u0, u - h);
        double b = std::min(piece_->u1, u + h);
        return (piece_->point(b, side_) - piece_->point(a, side_)) / (b - a);
    }

    const PathPiece* piece_;
    Track side_;
    bool straight_;
    double end_shift_;
    Vec2 start_, end_, start_slope_, end_slope_;
};

// Where the samples of the first piece stop, the points between, and where the second piece's
// samples start. Parameters beyond a piece's range leave it untrimmed. One Join is reused for
// every vertex of a boundary, so joining allocates nothing once its points have grown.
struct Join {
    double end_a;
    std::vector<Vec2> points;
    double begin_b;

    void reset(double a, double b) {
        end_a = a;
        points.clear();
        begin_b = b;
    }
};

// The step (da, db) from (ua, ub) to the intersection of the two tangent lines there, with
// slopes ja = a'(ua), jb = b'(ub) and f = a(ua) − b(ub); false when they are parallel.
bool tangent_step(const Vec2& ja, const Vec2& jb, const Vec2& f, double& da, double& db) {
    double det = cross(jb, ja);
    // |det| <= 1e-12·|ja|·|jb|, squared.
    if (det * det <= 1e-24 * norm2(ja) * norm2(jb)) return false;
    da = cross(f, jb) / det;
    db = cross(f, ja) / det;
    return true;
}

// Parameters (ua, ub) where the two extended boundaries meet. Two straight boundaries meet
// where their lines cross; otherwise that crossing of the end tangents is refined by Newton
// steps, each halved until it brings the points closer.
// Apart: the boundaries lie side by side (a width or offset step where the spine continues
// straight on), so they never meet.
enum class Meeting { Found, Apart, Failed };

Meeting meet(const Boundary& a, const Boundary& b, double tolerance, uint32_t max_iterations,
             double& ua, double& ub) {
    Vec2 f = a.at(ua) - b.at(ub);
    double da, db;
    if (a.straight() && b.straight()) {
        if (!tangent_step(a.slope(ua), b.slope(ub), f, da, db)) return Meeting::Apart;
        ua += da;
        ub += db;
        return Meeting::Found;
    }
    // The spine directions decide, as the slopes of curved boundaries are only approximate.
    Vec2 end_a = a.piece().direction(a.piece().u1);
    Vec2 start_b = b.piece().direction(b.piece().u0);
    if (std::fabs(cross(end_a, start_b)) * kMaxJoinReach < 1 ||
        !tangent_step(a.slope(ua), b.slope(ub), f, da, db))
        return Meeting::Apart;
    double distance = norm(f);
    for (uint32_t iteration = 0; distance >= tolerance; ++iteration) {
        // The first step is the one found above; later ones start from the points reached.
        if (iteration >= max_iterations ||
            (iteration > 0 && !tangent_step(a.slope(ua), b.slope(ub), f, da, db)))
            return Meeting::Failed;
        bool improved = false;
        for (int halving = 0; halving < 60 && !improved; ++halving, da /= 2, db /= 2) {
            Vec2 g = a.at(ua + da) - b.at(ub + db);
            if (norm(g) < distance) {
                ua += da;
                ub += db;
                f = g;
                distance = norm(g);
                improved = true;
            }
        }
        // No step brings them closer: the boundaries do not meet.
        if (!improved) return Meeting::Failed;
    }
    return Meeting::Found;
}

// Turning angle (radians, counter-clockwise positive) from direction a to direction b.
double turn_angle(const Vec2& a, const Vec2& b) { return std::atan2(cross(a, b), dot(a, b)); }

// Whether tan(|φ|/2) exceeds the limit, φ being the turn from a to b. The half-angle identities
// avoid the trigonometric calls; they agree with those to well within a relative 1e-9 until the
// turn comes within 2e-5 radians of a reversal (half_tan 1e5), so the trigonometric form decides
// only there and near a tie, and the outcome is always the same.
bool beyond_bevel_limit(const Vec2& a, const Vec2& b, double limit) {
    double sine = std::fabs(cross(a, b));
    double cosine = dot(a, b);
    double hypotenuse = std::sqrt(sine * sine + cosine * cosine);
    // tan(θ/2) = sin θ / (1 + cos θ) = (1 − cos θ) / sin θ: the form that does not cancel.
    double half_tan = cosine >= 0 ? sine / (hypotenuse + cosine) : (hypotenuse - cosine) / sine;
    if (half_tan < 1e5 && std::fabs(half_tan - limit) > 1e-9 * limit) return half_tan > limit;
    return std::tan(std::fabs(turn_angle(a, b)) / 2) > limit;
}

// The vertex between two edges of a segment, as the joins of both boundaries there see it.
struct Corner {
    Corner(const Spine& first, const Spine& second) {
        if (first.piece->section != second.piece->section) return;
        segment = static_cast<const SegmentPathSection*>(first.piece->section);
        edge_a = first.edge;
        edge_b = second.edge;
        sine = cross(edge_a, edge_b);
    }

    const SegmentPathSection* segment = nullptr;  // null between sections
    Vec2 edge_a, edge_b;
    double sine = 0;
};

// Joins two consecutive boundaries; `tolerance` is the configured one, which closes small gaps.
bool join(const Boundary& a, const Boundary& b, const Corner& corner, double tolerance,
          ErrorHandler& status, Join& result) {
    const PathPiece& first = a.piece();
    const PathPiece& second = b.piece();
    result.reset(first.u1, second.u0);
    double gap2 = norm2(b.start() - a.end());
    if (gap2 <= tolerance * tolerance) return true;

    const SegmentPathSection* segment = corner.segment;
    const Vec2& edge_a = corner.edge_a;
    const Vec2& edge_b = corner.edge_b;
    bool outer = false;
    if (segment) {
        // A boundary on the right of a left turn (or left of a right turn) opens a gap. The
        // cross product has the sign of the turn unless the edges are collinear.
        outer = (corner.sine != 0 ? corner.sine : turn_angle(edge_a, edge_b)) * a.end_shift() < 0;
        if (outer && segment->round_joins()) {
            Vec2 vertex_point = segment->position(first.u1);
            append_arc(vertex_point, a.end(), turn_angle(edge_a, edge_b),
                       norm(b.start() - vertex_point), result.points);
            return true;
        }
    }

    double ua = first.u1;
    double ub = second.u0;
    uint32_t limit = std::max(first.section->max_evals(), second.section->max_evals());
    Meeting meeting = meet(a, b, tolerance, limit, ua, ub);
    if (meeting == Meeting::Failed) {
        status.error(std::string("Unable to find intersection between ") +
                     (segment ? "segments" : "path sections") + " around " +
                     point_text(a.end().rounded()) + " and " + point_text(b.start().rounded()) + ".");
        return false;
    }
    // Boundaries side by side are connected directly.
    if (meeting == Meeting::Apart) return true;
    Vec2 meeting_point = (a.at(ua) + b.at(ub)) * 0.5;
    double reach2 = std::max(norm2(meeting_point - a.end()), norm2(meeting_point - b.start()));
    if (reach2 > kMaxJoinReach * kMaxJoinReach * gap2) return true;

    double bevel_limit = segment ? segment->bevel_join_limit() : -1;
    if (outer && bevel_limit >= 0 && norm2(edge_a) > 0 && norm2(edge_b) > 0 &&
        beyond_bevel_limit(edge_a, edge_b, bevel_limit)) {
        // Bevel: each boundary point moves back along its edge by the limit times the width.
        double back_a = bevel_limit * segment->width(first.u1) / norm(edge_a);
        double back_b = bevel_limit * segment->width(second.u0) / norm(edge_b);
        result.end_a = ua - back_a;
        result.points.push_back(a.at(result.end_a));
        result.begin_b = ub + back_b;
        result.points.push_back(b.at(result.begin_b));
        return true;
    }
    result.end_a = ua;
    result.points.push_back(meeting_point);
    result.begin_b = ub;
    return true;
}

// Appends unless the point repeats the last one (up to rounding of the join arithmetic). Inline,
// as it runs for every boundary point.
inline void append_point(std::vector<Vec2>& out, const Vec2& p) {
    if (out.empty() || norm2(out.back() - p) > 1e-12) out.push_back(p);
}

// One boundary being traced: the boundary of the current piece and where its samples start
// (after the join before it). Each tracer has its own status, so that both boundaries are traced
// in one pass, sharing the work on the spine, while the right one's error still comes first.
class BoundaryTracer {
public:
    BoundaryTracer(const Spine& first, Track side, std::vector<Vec2>& out)
        : side_(side), boundary_(first, side), begin_(first.piece->u0), out_(out) {}

    ErrorHandler status;

    // Joins the current piece to the next one, emits the current piece and moves on.
    void advance(const Spine& next, const Corner& corner) {
        if (status.failed()) return;
        Boundary following(next, side_);
        if (!join(boundary_, following, corner, tolerance_, status, joint_) || !emit()) return;
        begin_ = std::max(next.piece->u0, joint_.begin_b);
        // A join on the extension before the piece makes the piece's start point redundant.
        extended_before_ = joint_.begin_b < next.piece->u0 && !joint_.points.empty();
        boundary_ = following;
    }

    // Emits the last piece.
    void finish() {
        if (status.failed()) return;
        const PathPiece& piece = boundary_.piece();
        joint_.reset(piece.u1, piece.u1);
        emit();
    }

private:
    // Appends the current piece from begin_ to the join after it, then the join's points.
    bool emit() {
        const PathPiece& piece = boundary_.piece();
        double end = std::min(piece.u1, joint_.end_a);
        bool extended_after = joint_.end_a > piece.u1 && !joint_.points.empty();
        // A piece consumed entirely by the joins around it contributes only those joins.
        if (begin_ < end) {
            if (boundary_.straight()) {
                // An end point is redundant when the join beyond it lies on the line's extension.
                if (!(extended_before_ && begin_ == piece.u0))
                    append_point(out_, boundary_.at(begin_));
                if (!(extended_after && end == piece.u1)) append_point(out_, boundary_.at(end));
            } else {
                samples_.clear();
                if (!piece.section->sample(side_, begin_, end, status, samples_)) return false;
                for (const PathSample& s : samples_) append_point(out_, s.point);
            }
        }
        for (const Vec2& p : joint_.points) append_point(out_, p);
        return true;
    }

    Track side_;
    double tolerance_ = double(config().tolerance);
    Boundary boundary_;
    Join joint_;
    std::vector<PathSample> samples_;
    double begin_;
    bool extended_before_ = false;
    std::vector<Vec2>& out_;
};

}  // namespace

Vec2 PathPiece::point(double u, Track track) const {
    return section->point(u, track, std::clamp(u, u0, std::nextafter(u1, u0)));
}

Vec2 PathPiece::direction(double u) const {
    Vec2 g = section->gradient(std::clamp(u, u0, std::nextafter(u1, u0)));
    double length = norm(g);
    if (length == 0) {
        g = point(std::min(u + 1e-6 * (u1 - u0), u1), Track::Spine) -
            point(std::max(u - 1e-6 * (u1 - u0), u0), Track::Spine);
        length = norm(g);
    }
    return length > 0 ? g / length : Vec2{1, 0};
}

std::vector<PathPiece> path_pieces(const std::vector<Section>& sections) {
    size_t total = 0;
    for (const Section& section : sections) total += section->piece_count();
    std::vector<PathPiece> pieces;
    pieces.reserve(total);
    for (const Section& owned : sections) {
        const PathSection* section = owned.get();
        size_t count = section->piece_count();
        double step = section->size() / double(count);
        for (size_t k = 0; k < count; ++k)
            pieces.push_back({section, step * double(k), step * double(k + 1)});
    }
    return pieces;
}

bool trace_track(const std::vector<PathPiece>& pieces, Track track, ErrorHandler& status,
                 std::vector<TrackSample>& out) {
    std::vector<PathSample> samples;
    for (size_t i = 0; i < pieces.size(); ++i) {
        samples.clear();
        const PathPiece& piece = pieces[i];
        if (!piece.section->sample(track, piece.u0, piece.u1, status, samples)) return false;
        for (const PathSample& s : samples) {
            if (!out.empty() && out.back().point.x == s.point.x && out.back().point.y == s.point.y)
                continue;
            out.push_back({i, s.u, s.point});
        }
    }
    return true;
}

bool trace_boundaries(const std::vector<PathPiece>& pieces, ErrorHandler& status,
                      std::vector<Vec2>& right, std::vector<Vec2>& left) {
    if (pieces.empty()) return true;
    Spine spine(pieces[0], nullptr);
    BoundaryTracer tracers[] = {{spine, Track::Right, right}, {spine, Track::Left, left}};
    auto active = [&tracers] {
        return std::any_of(std::begin(tracers), std::end(tracers),
                           [](const BoundaryTracer& t) { return !t.status.failed(); });
    };
    for (size_t i = 1; i < pieces.size() && active(); ++i) {
        Spine next(pieces[i], &spine);
        Corner corner(spine, next);
        for (BoundaryTracer& tracer : tracers) tracer.advance(next, corner);
        spine = next;
    }
    for (BoundaryTracer& tracer : tracers) tracer.finish();
    // The right boundary is drawn first: its error is the one reported.
    for (const BoundaryTracer& tracer : tracers) {
        if (tracer.status.failed()) {
            status.error(tracer.status.message);
            return false;
        }
    }
    return true;
}

void append_arc(const Vec2& center, const Vec2& from, double sweep, double end_radius,
                std::vector<Vec2>& out) {
    Vec2 r = from - center;
    double start_radius = norm(r);
    double start_angle = std::atan2(r.y, r.x);
    int64_t count = std::max<int64_t>(2, arc_point_count(sweep, std::max(start_radius, end_radius)));
    check_point_count(count);
    for (int64_t k = 0; k < count; ++k) {
        double t = double(k) / double(count - 1);
        double angle = start_angle + sweep * t;
        double radius = start_radius + (end_radius - start_radius) * t;
        out.push_back(center + Vec2(std::cos(angle), std::sin(angle)) * radius);
    }
}

}  // namespace whistle
