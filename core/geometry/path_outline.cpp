#include "path_outline.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

// Beyond this ratio between a join point's distance and the gap it closes, the boundaries are
// taken as parallel (a width step between nearly aligned pieces) and simply connected; so are
// curved pieces whose directions differ by less than its inverse (in radians).
constexpr double kMaxJoinReach = 1000.0;

// Squared length: the per-vertex tests compare squares, as square roots show in long paths.
double norm2(const Vec2& v) { return dot(v, v); }

// Turning angle (radians, counter-clockwise positive) from direction a to direction b.
double turn_angle(const Vec2& a, const Vec2& b) { return std::atan2(cross(a, b), dot(a, b)); }

// Whether tan(|φ|/2) exceeds the limit, φ being the turn from a to b, whose lengths multiply
// to `lengths`. With s = |a × b| and c = a · b, tan(|φ|/2) = s / (lengths + c) =
// (lengths − c) / s: the form that does not cancel is compared without dividing. It agrees
// with the trigonometric form to well within a relative 1e-9 until the turn comes within 2e-5
// radians of a reversal (tan(|φ|/2) = 1e5), so the trigonometric form decides only there and
// near a tie, and the outcome is always the same.
inline bool beyond_bevel_limit(const Vec2& a, const Vec2& b, double lengths, double limit) {
    double sine = std::fabs(cross(a, b));
    double cosine = dot(a, b);
    double numerator = cosine >= 0 ? sine : lengths - cosine;
    double denominator = cosine >= 0 ? lengths + cosine : sine;
    double scaled_limit = limit * denominator;
    if (numerator < 1e5 * denominator && std::fabs(numerator - scaled_limit) > 1e-9 * scaled_limit)
        return numerator > scaled_limit;
    return std::tan(std::fabs(turn_angle(a, b)) / 2) > limit;
}

// The ends of a boundary that is not on its piece's chord (see Boundary): its end points and
// the slopes d/du there.
struct BoundaryEnds {
    Vec2 start, end, start_slope, end_slope;
};

// A piece and what its two boundaries and the corners at its ends need, found once: the edge
// vector of a segment piece, the shifts of both boundaries and the ends of those not on the
// chord.
struct Spine {
    // `previous` is the spine of the piece before, or null.
    Spine(const PathPiece& piece_, const Spine* previous) : piece(piece_) {
        const PathSection& section = *piece.section;
        straight = section.straight_pieces();
        // Consecutive straight pieces are edges of one polyline and share their shifts, as the
        // profiles are constant.
        bool continued = straight && previous && previous->piece.section == piece.section;
        for (Track side : {Track::Right, Track::Left})
            shifts[index(side)] =
                continued ? previous->shift(side) : section.shift(piece.u1, side);
        if (straight) {
            // Straight piece k is the edge between vertices k and k + 1, the spine's exact
            // positions at its ends.
            const std::vector<Vector>& vertices =
                static_cast<const SegmentPathSection&>(section).vertices();
            size_t k = size_t(piece.u0);
            start = Vec2(vertices[k]);
            end = Vec2(vertices[k + 1]);
            edge = end - start;
            length = norm(edge);
            sided = length > 0;
            if (sided) {
                normal = perpendicular(edge) * (1 / length);
                return;
            }
        } else if (section.kind() == PathSection::Kind::Segment) {
            edge = section.gradient(0.5 * (piece.u0 + piece.u1));
            length = norm(edge);
        }
        find_ends();
    }

    static int index(Track side) { return side == Track::Left; }
    // Distance of a boundary from the spine at the piece's end, to the left.
    double shift(Track side) const { return shifts[index(side)]; }
    const BoundaryEnds& ends(Track side) const { return (*off_chord)[index(side)]; }

    // d/du of a boundary of a curved piece, by central differences inside the piece.
    Vec2 derivative(double u, Track side) const {
        double h = 1e-6 * (piece.u1 - piece.u0);
        double a = std::max(piece.u0, u - h);
        double b = std::min(piece.u1, u + h);
        return (piece.point(b, side) - piece.point(a, side)) / (b - a);
    }

    PathPiece piece;
    bool straight;
    // A straight piece whose chord has a length, and so sides.
    bool sided = false;
    // The edge vector of a segment piece and its length.
    Vec2 edge;
    double length = 0;
    Vec2 start, end, normal;  // straight pieces
    double shifts[2];         // right, left
    // The boundary ends of curved pieces and of chords without length, which have no sides.
    std::optional<std::array<BoundaryEnds, 2>> off_chord;

private:
    void find_ends() {
        off_chord.emplace();
        for (Track side : {Track::Right, Track::Left}) {
            BoundaryEnds& ends = (*off_chord)[index(side)];
            ends.start = piece.point(piece.u0, side);
            ends.end = piece.point(piece.u1, side);
            if (straight) {
                ends.start_slope = ends.end_slope = ends.end - ends.start;
            } else {
                ends.start_slope = derivative(piece.u0, side);
                ends.end_slope = derivative(piece.u1, side);
            }
        }
    }
};

// The vertex between two consecutive pieces of a segment, as the joins of both boundaries there
// see it: which way it turns and how its outer side is drawn. Between two straight pieces with
// sides, the boundaries at shift h are the edge lines moved by h along their normals, so where
// they meet is found once for all shifts: the vertex plus h times `miter`, at the parameters
// h·along_a beyond the first piece's end and h·along_b beyond the second one's start.
struct Corner {
    Corner(const Spine& a, const Spine& b) {
        if (a.piece.section != b.piece.section) return;
        segment = static_cast<const SegmentPathSection*>(a.piece.section);
        const Vec2& ea = a.edge;
        const Vec2& eb = b.edge;
        // The cross product has the sign of the turn unless the edges are collinear.
        double sine = cross(ea, eb);
        turn = sine != 0 ? sine : turn_angle(ea, eb);
        round = segment->round_joins();
        double limit = segment->bevel_join_limit();
        double lengths = a.length * b.length;
        bevel = limit >= 0 && lengths > 0 && beyond_bevel_limit(ea, eb, lengths, limit);
        straight = a.straight && a.sided && b.sided;
        if (!straight) return;
        // The unit-shift boundaries' gap n_a − n_b.
        Vec2 gap = a.normal - b.normal;
        gap2 = norm2(gap);
        // Parallel edges: |sine| <= 1e-12·|ea|·|eb|.
        apart = std::fabs(sine) <= 1e-12 * lengths;
        if (apart) return;
        // The gap is closed by steps along both edges, found by Cramer's rule.
        double inverse = 1 / sine;
        along_a = cross(eb, gap) * inverse;
        along_b = cross(ea, gap) * inverse;
        vertex = b.start;
        miter = a.normal + ea * along_a;
        // The meeting point lies along_a·|ea| beyond the first boundary's end and along_b·|eb|
        // before the second one's start; that reach scales with the shift as the gap does.
        double reach_a = along_a * a.length;
        double reach_b = along_b * b.length;
        double reach2 = std::max(reach_a * reach_a, reach_b * reach_b);
        apart = reach2 > kMaxJoinReach * kMaxJoinReach * gap2;
    }

    // Whether a boundary at this shift is on the outer side of the turn, where it opens a gap.
    bool outer(double shift) const { return segment && turn * shift < 0; }

    const SegmentPathSection* segment = nullptr;  // null between sections
    double turn = 0;
    bool round = false;
    bool bevel = false;
    bool straight = false;
    // The boundaries of straight pieces never meet, or too far away (see Meeting).
    bool apart = false;
    double along_a = 0, along_b = 0;
    Vec2 vertex, miter;
    // The squared gap between the boundaries at unit shift.
    double gap2 = 0;
};

// One boundary of a piece, continued along its end tangents beyond the piece: a view of its
// spine, which outlives it. The boundary of a straight piece with sides is the spine's chord
// moved sideways along its unit normal by the shift; as segment edges span exactly 1 in u, its
// slope is the edge vector.
class Boundary {
public:
    Boundary(const Spine& spine, Track side) : spine_(&spine), side_(side) {}

    const PathPiece& piece() const { return spine_->piece; }
    // A straight line inside the piece as well as beyond it.
    bool straight() const { return spine_->straight; }
    // The edge vector of a segment piece.
    const Vec2& edge() const { return spine_->edge; }
    Vec2 start() const { return on_chord() ? spine_->start + offset() : ends().start; }
    Vec2 end() const { return on_chord() ? spine_->end + offset() : ends().end; }
    Vec2 start_slope() const { return on_chord() ? spine_->edge : ends().start_slope; }
    Vec2 end_slope() const { return on_chord() ? spine_->edge : ends().end_slope; }
    // Distance of the boundary from the spine at the piece's end, to the left.
    double end_shift() const { return spine_->shift(side_); }

    Vec2 at(double u) const {
        const PathPiece& piece = spine_->piece;
        if (u >= piece.u1) return end() + end_slope() * (u - piece.u1);
        if (u <= piece.u0 || spine_->straight) return start() + start_slope() * (u - piece.u0);
        return piece.point(u, side_);
    }

    // d/du of the extended boundary.
    Vec2 slope(double u) const {
        const PathPiece& piece = spine_->piece;
        if (u >= piece.u1) return end_slope();
        if (u <= piece.u0 || spine_->straight) return start_slope();
        return spine_->derivative(u, side_);
    }

private:
    bool on_chord() const { return spine_->sided; }
    Vec2 offset() const { return spine_->normal * end_shift(); }
    const BoundaryEnds& ends() const { return spine_->ends(side_); }

    const Spine* spine_;
    Track side_;
};

// Where the samples of the first piece stop, the points between (up to two corner points, or
// the arc of a round corner), and where the second piece's samples start. Parameters beyond a
// piece's range leave it untrimmed.
struct Join {
    Join(double a, double b) : end_a(a), begin_b(b) {}

    void add(const Vec2& p) { points[count++] = p; }
    bool has_points() const { return count > 0 || arc; }
    // Whether the join starts on the first piece's line at or beyond where that piece stops
    // (so the piece's end point is redundant), and likewise ends on the second piece's line.
    bool covers_end(double u1) const { return has_points() && (end_a > u1 || on_lines); }
    bool covers_start(double u0) const { return has_points() && (begin_b < u0 || on_lines); }

    double end_a;
    double begin_b;
    Vec2 points[2];
    int count = 0;
    // The corner points of two straight pieces lie on both lines.
    bool on_lines = false;
    std::optional<Arc> arc;
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

// How two extended boundaries meet. Apart: they lie side by side (a width or offset step where
// the spine continues straight on), so they never meet, or meet so far beyond the gap between
// them (kMaxJoinReach) that they are taken as side by side.
enum class Meeting { Found, Apart, Failed };

// From the crossing of the end tangents of two boundaries that are not both straight, Newton
// steps, each halved until it brings the points closer.
Meeting refine(const Boundary& a, const Boundary& b, double tolerance, uint32_t max_iterations,
               double& ua, double& ub) {
    Vec2 f = a.at(ua) - b.at(ub);
    double da, db;
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

// Where two boundaries meet: at `ua` on a and `ub` on b, which start at the end of a and the
// start of b, and at `point` between; `gap2` is the squared distance between those starts.
// Straight pieces of one polyline meet where their corner puts them for their shift, other
// straight boundaries where their lines cross, curves where the refinement converges.
// Forced inline, as are join() and the tracers' advance() and draw(): a polyline takes them at
// every vertex, and as one function (advance_both) the straight case keeps its values in
// registers.
[[gnu::always_inline]] inline Meeting meet(const Boundary& a, const Boundary& b,
                                           const Corner& corner, double gap2, double tolerance,
                                           double& ua, double& ub, Vec2& point) {
    if (corner.straight) {
        if (corner.apart) return Meeting::Apart;
        double h = a.end_shift();
        ua += h * corner.along_a;
        ub += h * corner.along_b;
        point = corner.vertex + corner.miter * h;
        return Meeting::Found;
    }
    if (a.straight() && b.straight()) {
        double da, db;
        if (!tangent_step(a.end_slope(), b.start_slope(), a.end() - b.start(), da, db))
            return Meeting::Apart;
        ua += da;
        ub += db;
    } else {
        uint32_t limit = std::max(a.piece().section->max_evals(), b.piece().section->max_evals());
        Meeting meeting = refine(a, b, tolerance, limit, ua, ub);
        if (meeting != Meeting::Found) return meeting;
    }
    point = (a.at(ua) + b.at(ub)) * 0.5;
    double reach2 = std::max(norm2(point - a.end()), norm2(point - b.start()));
    return reach2 > kMaxJoinReach * kMaxJoinReach * gap2 ? Meeting::Apart : Meeting::Found;
}

std::string join_failure(const Boundary& a, const Boundary& b, const Corner& corner) {
    return std::string("Unable to find intersection between ") +
           (corner.segment ? "segments" : "path sections") + " around " +
           point_text(a.end().rounded()) + " and " + point_text(b.start().rounded()) + ".";
}

// Joins two consecutive boundaries; `tolerance` is the configured one, which closes small gaps.
[[gnu::always_inline]] inline bool join(const Boundary& a, const Boundary& b,
                                        const Corner& corner, double tolerance,
                                        ErrorHandler& status, Join& result) {
    double shift = a.end_shift();
    double gap2 = corner.straight ? shift * shift * corner.gap2 : norm2(b.start() - a.end());
    if (gap2 <= tolerance * tolerance) return true;

    const SegmentPathSection* segment = corner.segment;
    bool outer = corner.outer(shift);
    if (outer && corner.round) {
        Vec2 vertex_point = segment->position(a.piece().u1);
        result.arc.emplace(vertex_point, a.end(), turn_angle(a.edge(), b.edge()),
                           norm(b.start() - vertex_point));
        return true;
    }

    double ua = a.piece().u1;
    double ub = b.piece().u0;
    Vec2 point;
    Meeting meeting = meet(a, b, corner, gap2, tolerance, ua, ub, point);
    if (meeting == Meeting::Failed) {
        status.error(join_failure(a, b, corner));
        return false;
    }
    // Boundaries side by side are connected directly.
    if (meeting == Meeting::Apart) return true;

    if (outer && corner.bevel) {
        // Bevel: each boundary point moves back along its edge by the limit times the width.
        double bevel_limit = segment->bevel_join_limit();
        double back_a = bevel_limit * segment->width(a.piece().u1) / norm(a.edge());
        double back_b = bevel_limit * segment->width(b.piece().u0) / norm(b.edge());
        result.end_a = ua - back_a;
        result.add(a.at(result.end_a));
        result.begin_b = ub + back_b;
        result.add(b.at(result.begin_b));
    } else {
        result.end_a = ua;
        result.add(point);
        result.begin_b = ub;
    }
    result.on_lines = a.straight() && b.straight();
    return true;
}

// Draws one boundary piece by piece: each piece from where the join before it left off to the
// join after it, then that join's points. Each tracer has its own status, so that both
// boundaries are traced in one pass, sharing the work on the spine, while the right one's error
// still comes first.
template <class Point>
class BoundaryTracer {
public:
    BoundaryTracer(Track side, BoundaryPoints<Point>& out) : side_(side), out_(out) {}

    ErrorHandler status;

    // Starts with the first piece.
    void start(const Spine& first) {
        boundary_.emplace(first, side_);
        begin_ = first.piece.u0;
    }

    // Joins the current piece to the next one, draws the current piece and moves on.
    [[gnu::always_inline]] void advance(const Spine& next, const Corner& corner) {
        if (status.failed()) return;
        Boundary following(next, side_);
        Join joint(boundary_->piece().u1, next.piece.u0);
        if (!join(*boundary_, following, corner, tolerance_, status, joint) || !draw(joint)) return;
        begin_ = std::max(next.piece.u0, joint.begin_b);
        covered_start_ = joint.covers_start(next.piece.u0);
        boundary_ = following;
    }

    // Draws the last piece.
    void finish() {
        if (status.failed()) return;
        double end = boundary_->piece().u1;
        draw(Join(end, end));
    }

private:
    // Appends the current piece from begin_ to the join after it, then the join's points.
    [[gnu::always_inline]] bool draw(const Join& joint) {
        const Boundary& boundary = *boundary_;
        const PathPiece& piece = boundary.piece();
        double end = std::min(piece.u1, joint.end_a);
        // A piece consumed entirely by the joins around it contributes only those joins.
        if (begin_ < end) {
            if (boundary.straight()) {
                // An end point is redundant when a join there lies on the line.
                if (!covered_start_) out_.add(boundary.at(begin_));
                if (!joint.covers_end(piece.u1)) out_.add(boundary.at(end));
            } else {
                samples_.clear();
                if (!piece.section->sample(side_, begin_, end, status, samples_)) return false;
                out_.expect(int64_t(samples_.size()));
                for (const PathSample& s : samples_) out_.add(s.point);
            }
        }
        for (int k = 0; k < joint.count; ++k) out_.add(joint.points[k]);
        if (joint.arc) {
            // Counted before it is drawn: a wide path's round corners are many points each.
            out_.expect(joint.arc->count());
            for (int64_t k = 0; k < joint.arc->count(); ++k) out_.add(joint.arc->point(k));
        }
        return true;
    }

    Track side_;
    BoundaryPoints<Point>& out_;
    double tolerance_ = double(config().tolerance);
    std::optional<Boundary> boundary_;
    double begin_ = 0;
    bool covered_start_ = false;
    std::vector<PathSample> samples_;
};

// Both boundaries across one corner, in one function that the tracers' work is inlined into:
// a polyline takes it at every vertex.
template <class Point>
[[gnu::noinline]] void advance_both(BoundaryTracer<Point> (&tracers)[2], const Spine& next,
                                    const Corner& corner) {
    for (BoundaryTracer<Point>& tracer : tracers) tracer.advance(next, corner);
}

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
    for_each_piece(sections, [&pieces](const PathPiece& piece) {
        pieces.push_back(piece);
        return true;
    });
    return pieces;
}

PathPiece first_piece(const std::vector<Section>& sections) {
    const PathSection* section = sections.front().get();
    return {section, 0, section->size() / double(section->piece_count())};
}

PathPiece last_piece(const std::vector<Section>& sections) {
    const PathSection* section = sections.back().get();
    size_t count = section->piece_count();
    double step = section->size() / double(count);
    return {section, step * double(count - 1), step * double(count)};
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

template <class Point>
bool trace_boundaries(const std::vector<Section>& sections, BoundaryPoints<Point>& right,
                      BoundaryPoints<Point>& left, ErrorHandler& status) {
    BoundaryTracer<Point> tracers[] = {{Track::Right, right}, {Track::Left, left}};
    // Each piece passes three stages a vertex apart: its spine is found, then the corner before
    // it, then that corner is drawn, so that square roots and divisions overlap other work.
    // Drawing a corner refers to the spines of the pieces around it, hence four spine slots.
    std::optional<Spine> spines[4];
    std::optional<Corner> corners[2];
    size_t count = 0;
    auto spine = [&spines](size_t k) -> const Spine& { return *spines[k % 4]; };
    // The stages behind the spine of piece k, of the `count` pieces with spines.
    auto follow = [&](size_t k) {
        if (k >= 2 && k - 1 < count) corners[(k - 1) % 2].emplace(spine(k - 2), spine(k - 1));
        if (k < 2 || k - 2 >= count) return true;
        if (k == 2) {
            for (BoundaryTracer<Point>& tracer : tracers) tracer.start(spine(0));
        } else {
            advance_both(tracers, spine(k - 2), *corners[k % 2]);
        }
        right.expect(0);
        // Once the right boundary fails, its error is the one reported.
        return !tracers[0].status.failed();
    };
    bool drawing = for_each_piece(sections, [&](const PathPiece& piece) {
        spines[count % 4].emplace(piece, count > 0 ? &spine(count - 1) : nullptr);
        return follow(count++);
    });
    for (size_t k = count; drawing && k < count + 2; ++k) drawing = follow(k);
    if (count == 0) return true;
    for (BoundaryTracer<Point>& tracer : tracers) tracer.finish();
    right.expect(0);
    for (const BoundaryTracer<Point>& tracer : tracers) {
        if (tracer.status.failed()) {
            status.error(tracer.status.message);
            return false;
        }
    }
    return true;
}

template bool trace_boundaries(const std::vector<Section>&, BoundaryPoints<Vec2>&,
                               BoundaryPoints<Vec2>&, ErrorHandler&);
template bool trace_boundaries(const std::vector<Section>&, BoundaryPoints<Vector>&,
                               BoundaryPoints<Vector>&, ErrorHandler&);

Arc::Arc(const Vec2& center, const Vec2& from, double sweep, double end_radius)
    : center_(center), sweep_(sweep), end_radius_(end_radius) {
    Vec2 r = from - center;
    start_radius_ = norm(r);
    start_angle_ = std::atan2(r.y, r.x);
    count_ = std::max<int64_t>(2, arc_point_count(sweep, std::max(start_radius_, end_radius)));
}

Vec2 Arc::point(int64_t k) const {
    double t = double(k) / double(count_ - 1);
    double angle = start_angle_ + sweep_ * t;
    double radius = start_radius_ + (end_radius_ - start_radius_) * t;
    return center_ + Vec2(std::cos(angle), std::sin(angle)) * radius;
}

}  // namespace whistle
