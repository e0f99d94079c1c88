#include "path_outline.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

// Beyond this ratio between a join point's distance and the gap it closes, the boundaries are
// taken as parallel (a width step between nearly aligned pieces) and simply connected.
constexpr double kMaxJoinReach = 1000.0;

double track_shift(const PathSection& section, double u, Track side) {
    double half = 0.5 * section.width(u);
    return section.offset(u) + (side == Track::Left ? half : -half);
}

// One boundary of a piece, continued along its end tangents beyond the piece.
class Boundary {
public:
    Boundary(const PathPiece& piece, Track side)
        : piece_(piece), side_(side), start_(piece.point(piece.u0, side)),
          end_(piece.point(piece.u1, side)) {
        if (piece.section->straight_pieces()) {
            start_slope_ = end_slope_ = (end_ - start_) / (piece.u1 - piece.u0);
        } else {
            start_slope_ = derivative(piece.u0);
            end_slope_ = derivative(piece.u1);
        }
    }

    const PathPiece& piece() const { return piece_; }
    const Vec2& start() const { return start_; }
    const Vec2& end() const { return end_; }

    Vec2 at(double u) const {
        if (u >= piece_.u1) return end_ + end_slope_ * (u - piece_.u1);
        if (u <= piece_.u0) return start_ + start_slope_ * (u - piece_.u0);
        if (piece_.section->straight_pieces()) return start_ + start_slope_ * (u - piece_.u0);
        return piece_.point(u, side_);
    }

    // d/du of the extended boundary.
    Vec2 slope(double u) const {
        if (u >= piece_.u1) return end_slope_;
        if (u <= piece_.u0) return start_slope_;
        return piece_.section->straight_pieces() ? start_slope_ : derivative(u);
    }

private:
    Vec2 derivative(double u) const {
        double h = 1e-6 * (piece_.u1 - piece_.u0);
        double a = std::max(piece_.u0, u - h);
        double b = std::min(piece_.u1, u + h);
        return (piece_.point(b, side_) - piece_.point(a, side_)) / (b - a);
    }

    const PathPiece& piece_;
    Track side_;
    Vec2 start_, end_, start_slope_, end_slope_;
};

// Where the samples of the first piece stop, the points between, and where the second piece's
// samples start. Parameters beyond a piece's range leave it untrimmed.
struct Join {
    double end_a;
    std::vector<Vec2> points;
    double begin_b;
};

// Parameters (ua, ub) where the two extended boundaries meet, refined from the intersection
// of the end tangents by Newton steps, each halved until it brings the points closer.
// Apart: the boundaries are parallel, or curve away from each other so that no step helps.
enum class Meeting { Found, Apart, Failed };

Meeting meet(const Boundary& a, const Boundary& b, double& ua, double& ub, uint32_t max_iterations) {
    double tolerance = double(config().tolerance);
    Vec2 f = a.at(ua) - b.at(ub);
    double distance = norm(f);
    for (uint32_t iteration = 0; distance >= tolerance; ++iteration) {
        if (iteration >= max_iterations) return Meeting::Failed;
        Vec2 ja = a.slope(ua);
        Vec2 jb = b.slope(ub);
        double det = cross(jb, ja);
        if (std::fabs(det) <= 1e-12 * norm(ja) * norm(jb)) return Meeting::Apart;
        double da = cross(f, jb) / det;
        double db = cross(f, ja) / det;
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
        if (!improved) return Meeting::Apart;
    }
    return Meeting::Found;
}

bool join(const Boundary& a, const Boundary& b, Track side, ErrorHandler& status, Join& result) {
    const PathPiece& first = a.piece();
    const PathPiece& second = b.piece();
    result = {first.u1, {}, second.u0};
    Vec2 gap = b.start() - a.end();
    if (norm(gap) <= double(config().tolerance)) return true;

    bool vertex = first.section == second.section;
    auto* segment = vertex ? static_cast<const SegmentPathSection*>(first.section) : nullptr;
    Vec2 edge_a, edge_b;
    double turn = 0;
    bool outer = false;
    if (segment) {
        edge_a = segment->gradient(0.5 * (first.u0 + first.u1));
        edge_b = segment->gradient(0.5 * (second.u0 + second.u1));
        turn = std::atan2(cross(edge_a, edge_b), dot(edge_a, edge_b));
        // A boundary on the right of a left turn (or left of a right turn) opens a gap.
        outer = turn * track_shift(*segment, first.u1, side) < 0;
        if (outer && segment->round_joins()) {
            Vec2 vertex_point = segment->position(first.u1);
            result.points = arc_points(vertex_point, a.end(), turn, norm(b.start() - vertex_point));
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
    // Boundaries that never meet are connected directly.
    if (meeting == Meeting::Apart) return true;
    Vec2 meeting_point = (a.at(ua) + b.at(ub)) * 0.5;
    double reach = std::max(norm(meeting_point - a.end()), norm(meeting_point - b.start()));
    if (reach > kMaxJoinReach * norm(gap)) return true;

    double bevel_limit = segment ? segment->bevel_join_limit() : -1;
    if (outer && bevel_limit >= 0 && norm(edge_a) > 0 && norm(edge_b) > 0 &&
        std::tan(std::fabs(turn) / 2) > bevel_limit) {
        // Bevel: each boundary point moves back along its edge by the limit times the width.
        double back_a = bevel_limit * segment->width(first.u1) / norm(edge_a);
        double back_b = bevel_limit * segment->width(second.u0) / norm(edge_b);
        result = {ua - back_a, {a.at(ua - back_a), b.at(ub + back_b)}, ub + back_b};
        return true;
    }
    result = {ua, {meeting_point}, ub};
    return true;
}

// Appends unless the point repeats the last one (up to rounding of the join arithmetic).
void append_point(std::vector<Vec2>& out, const Vec2& p) {
    if (out.empty() || norm(out.back() - p) > 1e-6) out.push_back(p);
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
    std::vector<PathPiece> pieces;
    for (size_t i = 0; i < sections.size(); ++i) {
        const PathSection* section = sections[i].get();
        size_t count = section->piece_count();
        double step = section->size() / double(count);
        for (size_t k = 0; k < count; ++k)
            pieces.push_back({section, i, step * double(k), step * double(k + 1)});
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
    size_t n = pieces.size();
    std::vector<double> begin(n), end(n);
    for (size_t i = 0; i < n; ++i) {
        begin[i] = pieces[i].u0;
        end[i] = pieces[i].u1;
    }
    std::vector<Boundary> boundaries;
    boundaries.reserve(n);
    for (const PathPiece& piece : pieces) boundaries.emplace_back(piece, side);
    std::vector<std::vector<Vec2>> joins(n > 0 ? n - 1 : 0);
    // Whether the join before (after) a piece lies on its extension rather than inside it.
    std::vector<bool> extended_before(n, false), extended_after(n, false);
    for (size_t i = 0; i + 1 < n; ++i) {
        Join j;
        if (!join(boundaries[i], boundaries[i + 1], side, status, j)) return false;
        end[i] = std::min(end[i], j.end_a);
        begin[i + 1] = std::max(begin[i + 1], j.begin_b);
        extended_after[i] = j.end_a > pieces[i].u1 && !j.points.empty();
        extended_before[i + 1] = j.begin_b < pieces[i + 1].u0 && !j.points.empty();
        joins[i] = std::move(j.points);
    }
    std::vector<PathSample> samples;
    for (size_t i = 0; i < n; ++i) {
        // A piece consumed entirely by the joins around it contributes only those joins.
        if (begin[i] < end[i]) {
            if (pieces[i].section->straight_pieces()) {
                // The end point is redundant when the next join lies on the line's extension.
                if (!(i > 0 && extended_before[i] && begin[i] == pieces[i].u0))
                    append_point(out, boundaries[i].at(begin[i]));
                if (!(i + 1 < n && extended_after[i] && end[i] == pieces[i].u1))
                    append_point(out, boundaries[i].at(end[i]));
            } else {
                samples.clear();
                if (!pieces[i].section->sample(side, begin[i], end[i], status, samples)) return false;
                for (const PathSample& s : samples) append_point(out, s.point);
            }
        }
        if (i + 1 < n)
            for (const Vec2& p : joins[i]) append_point(out, p);
    }
    return true;
}

std::vector<Vec2> arc_points(const Vec2& center, const Vec2& from, double sweep, double end_radius) {
    Vec2 r = from - center;
    double start_radius = norm(r);
    double start_angle = std::atan2(r.y, r.x);
    int64_t count = std::max<int64_t>(2, arc_point_count(sweep, std::max(start_radius, end_radius)));
    std::vector<Vec2> points;
    points.reserve(size_t(count));
    for (int64_t k = 0; k < count; ++k) {
        double t = double(k) / double(count - 1);
        double angle = start_angle + sweep * t;
        double radius = start_radius + (end_radius - start_radius) * t;
        points.push_back(center + Vec2(std::cos(angle), std::sin(angle)) * radius);
    }
    return points;
}

}  // namespace whistle
