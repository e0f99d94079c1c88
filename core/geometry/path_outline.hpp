// Tracing the curves of a path across its sections: pieces with a smooth spine, the joins
// between them (vertex joins of segments, intersections between sections) and the boundaries.
#pragma once

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

std::vector<PathPiece> path_pieces(const std::vector<Section>& sections);

struct TrackSample {
    size_t piece;
    double u;
    Vec2 point;
};

// Samples of the spine or the center line along every piece, in order.
bool trace_track(const std::vector<PathPiece>& pieces, Track track, ErrorHandler& status,
                 std::vector<TrackSample>& out);

// The right and left boundaries from start to end: every piece sampled, consecutive pieces
// joined where their boundaries meet (mitre, bevel or round at segment vertices).
bool trace_boundaries(const std::vector<PathPiece>& pieces, ErrorHandler& status,
                      std::vector<Vec2>& right, std::vector<Vec2>& left);

// Appends the points of the circular arc around `center` from `from`, sweeping `sweep` radians,
// with the curve point-count rule (at least 2 points, both ends included). The radius changes
// linearly from |from - center| to `end_radius`.
void append_arc(const Vec2& center, const Vec2& from, double sweep, double end_radius,
                std::vector<Vec2>& out);

}  // namespace whistle
