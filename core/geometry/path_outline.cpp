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

// One boundary of a piece, continued along its end tangents beyond the piece.
class Boundary {
public:
    Boundary(const PathPiece& piece, Track side)
        : piece_(&piece), side_(side), straight_(piece.section->straight_pieces()),
          end_shift_(piece.section->shift(piece.u1, side)) {
        if (!(straight_ && shift_chord())) {
            start_ = piece.point(piece.u0, side);
            end_ = piece.point(piece.u1, side);
        }
        start_slope_ = straight_ ? (end_ - start_) / (piece.u1 - piece.u0) : derivative(piece.u0);
        end_slope_ = straight_ ? start_slope_ : derivative(piece.u1);
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
    // The ends of a straight boundary, found cheaply: the spine chord moved sideways by the
    // constant shift. False for a chord of zero length, which has no sides.
    bool shift_chord() {
        const PathSection& section = *piece_->section;
        Vec2 a = section.position(piece_->u0);
        Vec2 b = section.position(piece_->u1);
        double length = norm(b - a);
        if (length == 0) return false;
        Vec2 normal = perpendicular(b - a) * (end_shift_ / length);
        start_ = a + normal;
        end_ = b + normal;
        return true;
    }

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
// f = a(ua) − b(ub); false when they are parallel.
bool tangent_step(const Boundary& a, const Boundary& b, double ua, double ub, const Vec2& f,
                  double& da, double& db) {
    Vec2 ja = a.slope(ua);
    Vec2 jb = b.slope(ub);
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

Meeting meet(const Boundary& a, const Boundary& b, double& ua, double& ub, uint32_t max_iterations) {
    Vec2 f = a.at(ua) - b.at(ub);
    double da, db;
    if (a.straight() && b.straight()) {
        if (!tangent_step(a, b, ua, ub, f, da, db)) return Meeting::Apart;
        ua += da;
        ub += db;
        return Meeting::Found;
    }
    // The spine directions decide, as the slopes of curved boundaries are only approximate.
    Vec2 end_a = a.piece().direction(a.piece().u1);
    Vec2 start_b = b.piece().direction(b.piece().u0);
    if (std::fabs(cross(end_a, start_b)) * kMaxJoinReach < 1 ||
        !tangent_step(a, b, ua, ub, f, da, db))
        return Meeting::Apart;
    double tolerance = double(config().tolerance);
    double distance = norm(f);
    for (uint32_t iteration = 0; distance >= tolerance; ++iteration) {
        // The first step is the one found above; later ones start from the points reached.
        if (iteration >= max_iterations || (iteration > 0 && !tangent_step(a, b, ua, ub, f, da, db)))
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

bool join(const Boundary& a, const Boundary& b, ErrorHandler& status, Join& result) {
    const PathPiece& first = a.piece();
    const PathPiece& second = b.piece();
    result.reset(first.u1, second.u0);
    double gap2 = norm2(b.start() - a.end());
    double tolerance = double(config().tolerance);
    if (gap2 <= tolerance * tolerance) return true;

    bool vertex = first.section == second.section;
    auto* segment = vertex ? static_cast<const SegmentPathSection*>(first.section) : nullptr;
    Vec2 edge_a, edge_b;
    bool outer = false;
    if (segment) {
        edge_a = segment->gradient(0.5 * (first.u0 + first.u1));
        edge_b = segment->gradient(0.5 * (second.u0 + second.u1));
        // A boundary on the right of a left turn (or left of a right turn) opens a gap. The
        // cross product has the sign of the turn unless the edges are collinear.
        double sine = cross(edge_a, edge_b);
        outer = (sine != 0 ? sine : turn_angle(edge_a, edge_b)) * a.end_shift() < 0;
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
    Meeting meeting = meet(a, b, ua, ub, limit);
    if (meeting == Meeting::Failed) {
        status.error(std::string("Unable to find intersection between ") +
                     (vertex ? "segments" : "path sections") + " around " +
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
        std::tan(std::fabs(turn_angle(edge_a, edge_b)) / 2) > bevel_limit) {
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

// Appends unless the point repeats the last one (up to rounding of the join arithmetic).
void append_point(std::vector<Vec2>& out, const Vec2& p) {
    if (out.empty() || norm2(out.back() - p) > 1e-12) out.push_back(p);
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

bool trace_boundary(const std::vector<PathPiece>& pieces, Track side, ErrorHandler& status,
                    std::vector<Vec2>& out) {
    if (pieces.empty()) return true;
    // Each boundary is built once, as the next piece of one step and the current of the next.
    Boundary boundary(pieces[0], side);
    Boundary next = boundary;
    Join joint;
    std::vector<PathSample> samples;
    // Where the current piece's samples start (after the join before it), and whether that
    // join lies on the piece's extension rather than inside it.
    double begin = pieces[0].u0;
    bool extended_before = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const PathPiece& piece = pieces[i];
        bool last = i + 1 == pieces.size();
        if (last) {
            joint.reset(piece.u1, piece.u1);
        } else {
            next = Boundary(pieces[i + 1], side);
            if (!join(boundary, next, status, joint)) return false;
        }
        double end = std::min(piece.u1, joint.end_a);
        bool extended_after = joint.end_a > piece.u1 && !joint.points.empty();
        // A piece consumed entirely by the joins around it contributes only those joins.
        if (begin < end) {
            if (boundary.straight()) {
                // An end point is redundant when the join beyond it lies on the line's extension.
                if (!(extended_before && begin == piece.u0)) append_point(out, boundary.at(begin));
                if (!(extended_after && end == piece.u1)) append_point(out, boundary.at(end));
            } else {
                samples.clear();
                if (!piece.section->sample(side, begin, end, status, samples)) return false;
                for (const PathSample& s : samples) append_point(out, s.point);
            }
        }
        for (const Vec2& p : joint.points) append_point(out, p);
        if (!last) {
            begin = std::max(next.piece().u0, joint.begin_b);
            extended_before = joint.begin_b < next.piece().u0 && !joint.points.empty();
            boundary = next;
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
    for (int64_t k = 0; k < count; ++k) {
        double t = double(k) / double(count - 1);
        double angle = start_angle + sweep * t;
        double radius = start_radius + (end_radius - start_radius) * t;
        out.push_back(center + Vec2(std::cos(angle), std::sin(angle)) * radius);
    }
}

}  // namespace whistle
