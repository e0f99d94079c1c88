#include "polygon_engine.hpp"

#include <polyclipping/clipper.hpp>

#include <cmath>
#include <stdexcept>

namespace whistle {

namespace {

namespace cl = ClipperLib;

constexpr double kMiterLimit = 5.0;

// Offset points lie within the miter limit times the distance of the input; an erosion also
// frames its result 10 units further out.
double offset_reach(double distance) { return kMiterLimit * std::fabs(distance) + 16; }

cl::Paths to_paths(const std::vector<Ring>& rings, double reach = 0) {
    cl::Paths paths;
    paths.reserve(rings.size());
    for (const Ring& ring : rings) {
        engine::check_range(ring, reach);
        cl::Path& path = paths.emplace_back();
        path.reserve(ring.size());
        for (const Vector& p : ring) path.emplace_back(p.x, p.y);
    }
    return paths;
}

Ring to_ring(const cl::Path& path) {
    Ring ring;
    ring.reserve(path.size());
    for (const cl::IntPoint& p : path) ring.emplace_back(p.X, p.Y);
    return ring;
}

// Outer nodes carry their holes as children; islands inside a hole are children of the hole.
void collect(const cl::PolyNode& outer, std::vector<RingSet>& out) {
    RingSet& set = out.emplace_back();
    set.outer = to_ring(outer.Contour);
    set.holes.reserve(outer.Childs.size());
    for (const cl::PolyNode* hole : outer.Childs) set.holes.push_back(to_ring(hole->Contour));
    for (const cl::PolyNode* hole : outer.Childs)
        for (const cl::PolyNode* island : hole->Childs) collect(*island, out);
}

std::vector<RingSet> to_ring_sets(const cl::PolyTree& tree) {
    std::vector<RingSet> sets;
    for (const cl::PolyNode* outer : tree.Childs) collect(*outer, sets);
    return sets;
}

cl::ClipType clip_type(BooleanOperation operation) {
    switch (operation) {
        case BooleanOperation::Union: return cl::ctUnion;
        case BooleanOperation::Intersection: return cl::ctIntersection;
        case BooleanOperation::Difference: return cl::ctDifference;
        case BooleanOperation::Xor: return cl::ctXor;
    }
    return cl::ctUnion;
}

}  // namespace

namespace engine {

void check_range(const Ring& ring, double reach) {
    constexpr Coord kLimit = cl::hiRange;
    // Compared in floating point first, so that huge reaches cannot overflow.
    if (!(reach >= 0 && reach < double(kLimit)))
        throw std::out_of_range("Offset distance exceeds the range of polygon operations.");
    const Coord limit = kLimit - Coord(std::ceil(reach));
    for (const Vector& p : ring)
        if (p.x > limit || p.x < -limit || p.y > limit || p.y < -limit)
            throw std::out_of_range("Coordinates exceed the range of polygon operations.");
}

std::vector<RingSet> boolean(const std::vector<Ring>& operand1, const std::vector<Ring>& operand2,
                             BooleanOperation operation) {
    cl::Clipper clipper;
    clipper.AddPaths(to_paths(operand1), cl::ptSubject, true);
    clipper.AddPaths(to_paths(operand2), cl::ptClip, true);
    cl::PolyTree tree;
    clipper.Execute(clip_type(operation), tree, cl::pftNonZero, cl::pftNonZero);
    return to_ring_sets(tree);
}

std::vector<RingSet> offset(const std::vector<Ring>& rings, double distance, JoinType join,
                            double arc_tolerance) {
    cl::ClipperOffset offsetter(kMiterLimit, arc_tolerance);
    offsetter.AddPaths(to_paths(rings, offset_reach(distance)),
                       join == JoinType::Round ? cl::jtRound : cl::jtMiter, cl::etClosedPolygon);
    cl::PolyTree tree;
    offsetter.Execute(tree, distance);
    return to_ring_sets(tree);
}

}  // namespace engine

std::vector<Ring> flatten(std::vector<RingSet> sets) {
    std::vector<Ring> rings;
    for (RingSet& set : sets) {
        rings.push_back(std::move(set.outer));
        for (Ring& hole : set.holes) rings.push_back(std::move(hole));
    }
    return rings;
}

}  // namespace whistle
