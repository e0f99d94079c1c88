// Tracing the curves of a path across its sections: pieces with a smooth spine, the joins
// between them (vertex joins of segments, intersections between sections) and the boundaries.
#pragma once

#include <type_traits>
#include <vector>

#include "path_sections.hpp"

namespace whistle {

// A stretch of a section whose spine is smooth: one edge of a segment, or a whole section.
struct PathPiece {
    const PathSection* section;
    double u0;
    double u1;

    // The point of a track, with the direction taken inside the piece so that a segment edge
    // never takes its neighbour's direction at a shared vertex.
    Vec2 point(double u, Track track) const;
    // Unit direction of the spine at u.
    Vec2 direction(double u) const;
};

// Calls visit(piece) for the pieces of the sections in order while it returns true; false when
// a call returned false. The pieces are made as they are visited, never stored.
template <class Visit>
bool for_each_piece(const std::vector<Section>& sections, Visit&& visit) {
    for (const Section& owned : sections) {
        const PathSection* section = owned.get();
        size_t count = section->piece_count();
        double step = section->size() / double(count);
        for (size_t k = 0; k < count; ++k)
            if (!visit(PathPiece{section, step * double(k), step * double(k + 1)})) return false;
    }
    return true;
}

std::vector<PathPiece> path_pieces(const std::vector<Section>& sections);
// The first piece of the first section and the last piece of the last one (sections not empty).
PathPiece first_piece(const std::vector<Section>& sections);
PathPiece last_piece(const std::vector<Section>& sections);

struct TrackSample {
    size_t piece;
    double u;
    Vec2 point;
};

// Samples of the spine or the center line along every piece, in order.
bool trace_track(const std::vector<PathPiece>& pieces, Track track, ErrorHandler& status,
                 std::vector<TrackSample>& out);

// The circular arc around `center` from `from`, sweeping `sweep` radians, its radius changing
// linearly from |from - center| to `end_radius`; drawn with the curve point-count rule (at
// least 2 points, both ends included).
class Arc {
public:
    Arc(const Vec2& center, const Vec2& from, double sweep, double end_radius);

    int64_t count() const { return count_; }
    // Point k of count().
    Vec2 point(int64_t k) const;

private:
    Vec2 center_;
    double start_angle_, sweep_, start_radius_, end_radius_;
    int64_t count_;
};

// The operation named when a path outline needs more points than the limit.
constexpr const char* kOutlineOperation = "Path outline";

// The points of one boundary of a path outline as they are drawn: unrounded (the boundary
// vertex lists) or rounded to database units (the polygon).
template <class Point>
class BoundaryPoints {
public:
    // `other`: the points of the other boundary; `outside`: further points of the outline (its
    // caps). All count towards the point limit.
    BoundaryPoints(std::vector<Point>& out, const std::vector<Point>& other, int64_t outside)
        : out_(out), other_(other), outside_(outside) {}

    // Checks that `count` more points keep the outline within the point limit.
    void expect(int64_t count) const {
        int64_t total = int64_t(out_.size() + other_.size()) + outside_ + count;
        if (total > kMaxPoints) check_point_budget(kOutlineOperation, total);
    }
    // A point, dropped when it repeats the last one up to the rounding of the join arithmetic
    // (or is NaN). Inline, as it runs for every boundary point.
    void add(const Vec2& p) {
        if (has_last_ && !(dot(last_ - p, last_ - p) > 1e-12)) return;
        last_ = p;
        has_last_ = true;
        store(p);
    }
    // Points kept as they are (the caps).
    void put(const std::vector<Vec2>& points) {
        for (const Vec2& p : points) store(p);
    }
    // False when a point had no database-unit value.
    bool in_range() const { return in_range_; }

private:
    void store(const Vec2& p) {
        if (!whistle::in_range(p)) {
            in_range_ = false;
        } else if constexpr (std::is_same_v<Point, Vec2>) {
            out_.push_back(p);
        } else {
            out_.push_back(p.rounded());
        }
    }

    std::vector<Point>& out_;
    const std::vector<Point>& other_;
    int64_t outside_;
    Vec2 last_;
    bool has_last_ = false;
    bool in_range_ = true;
};

// Appends the right and left boundaries from start to end: every piece sampled, consecutive
// pieces joined where their boundaries meet (mitre, bevel or round at segment vertices).
// Failures are reported in `status`, the right boundary's first. The point limit throws: it is
// checked before each round corner and each piece's samples are added, and after each vertex.
template <class Point>
bool trace_boundaries(const std::vector<Section>& sections, BoundaryPoints<Point>& right,
                      BoundaryPoints<Point>& left, ErrorHandler& status);

}  // namespace whistle
