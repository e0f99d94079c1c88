#include "polygon_engine.hpp"

#include <polyclipping/clipper.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <span>
#include <stdexcept>

#include "polygon.hpp"

namespace whistle {

namespace {

namespace cl = ClipperLib;

constexpr double kMiterLimit = 5.0;

cl::Path to_path(const Ring& ring) {
    cl::Path path;
    path.reserve(ring.size());
    for (const Vector& p : ring) path.emplace_back(p.x, p.y);
    return path;
}

cl::Paths to_paths(const std::vector<Ring>& rings) {
    cl::Paths paths;
    paths.reserve(rings.size());
    for (const Ring& ring : rings) {
        check_range_all(ring);
        paths.push_back(to_path(ring));
    }
    return paths;
}

// Results of offsets can leave the coordinate range.
Ring to_ring(const cl::Path& path) {
    Ring ring;
    ring.reserve(path.size());
    for (const cl::IntPoint& p : path) ring.push_back(check_range(Vector(p.X, p.Y)));
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

// ---- Divided operations ------------------------------------------------------------------
//
// The sweep costs about its number of scanlines times the number of edges crossing each, which
// grows quadratically with thousands of scattered shapes. So many shapes are united in a
// cascade, small groups of nearby shapes first and then their partial results, and an
// operation sweeps only groups of united pieces of both operands that may meet.

// Rings handled as a whole: once united, one outer boundary followed by its holes. The units
// of an operand never cancel each other's winding, so the operand's non-zero fill is the union
// of its units' fills.
struct Unit {
    std::vector<Ring> rings;
    Bounds box;
    bool second = false;  // of the second operand, which is filled independently of the first
};

// Inputs of one sweep of the cascade: units, or partial results to merge. A power of 2;
// from 8 to 32 run about equally fast.
constexpr size_t kGroup = 16;

// True for a convex ring turning counter-clockwise exactly once: it winds once around its
// inside and nowhere negatively. Repeated and straight vertices are allowed.
bool convex_once(const Ring& ring) {
    // Directions in the half turn [0, pi) from +x.
    auto upper = [](const Vector& d) { return d.y > 0 || (d.y == 0 && d.x > 0); };
    const size_t n = ring.size();
    Vector previous;  // the last non-zero edge
    for (size_t i = n; i-- > 0 && previous == Vector{};) previous = ring[(i + 1) % n] - ring[i];
    size_t turns = 0;
    for (size_t i = 0; i < n; ++i) {
        Vector edge = ring[(i + 1) % n] - ring[i];
        if (edge == Vector{}) continue;
        Int128 turn = cross(previous, edge);
        if (turn < 0 || (turn == 0 && dot(previous, edge) < 0)) return false;
        // Each step turns by less than a half turn, so it passes +x only from below.
        turns += !upper(previous) && upper(edge);
        previous = edge;
    }
    return turns == 1;
}

// Groups of indices of boxes, where two overlapping boxes of kinds k and l (0 or 1) share a
// group when joins(k, l). Found by a sweep over the left ends of the boxes.
template <class Joins>
std::vector<std::vector<size_t>> overlap_groups(const std::vector<Bounds>& boxes,
                                                const std::vector<uint8_t>& kinds, Joins joins) {
    std::vector<size_t> order(boxes.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return boxes[a].x_min < boxes[b].x_min; });
    std::vector<size_t> parent(boxes.size());  // union-find
    std::iota(parent.begin(), parent.end(), size_t(0));
    auto root = [&](size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    };
    // Boxes of each kind that may reach the sweep line. A list drops the passed ones only when
    // it is read, so a list that no kind joins costs nothing.
    std::vector<size_t> active[2];
    for (size_t i : order) {
        for (uint8_t kind : {0, 1}) {
            if (!joins(kinds[i], kind)) continue;
            std::erase_if(active[kind], [&](size_t j) { return boxes[j].x_max < boxes[i].x_min; });
            for (size_t j : active[kind])
                if (overlap(boxes[j], boxes[i])) parent[root(j)] = root(i);
        }
        active[kinds[i]].push_back(i);
    }
    std::vector<std::vector<size_t>> groups;
    std::vector<size_t> group_of(boxes.size(), boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        size_t& group = group_of[root(i)];
        if (group == boxes.size()) {
            group = groups.size();
            groups.emplace_back();
        }
        groups[group].push_back(i);
    }
    return groups;
}

// True when the ring winds negatively nowhere; the sweep is skipped for convex rings, the
// common case.
bool never_negative(const Ring& ring) {
    if (convex_once(ring)) return true;
    cl::Clipper clipper;
    clipper.AddPath(to_path(ring), cl::ptSubject, true);
    cl::Paths negative;
    clipper.Execute(cl::ctUnion, negative, cl::pftNegative, cl::pftNegative);
    return negative.empty();
}

// Appends the units of one operand's rings. A ring that may wind negatively (a hole, a
// clockwise or self-crossing ring) shares its unit with every ring whose box meets its own,
// so no other unit has winding where it does. Rings of fewer than 3 points fill nothing and
// are dropped.
void add_units(const std::vector<Ring>& rings, bool second, std::vector<Unit>& units) {
    std::vector<const Ring*> kept;
    std::vector<Bounds> boxes;
    std::vector<uint8_t> may_be_negative;
    for (const Ring& ring : rings) {
        if (ring.size() < 3) continue;
        kept.push_back(&ring);
        boxes.push_back(ring_bounds(ring));
        may_be_negative.push_back(!never_negative(ring));
    }
    for (const auto& group : overlap_groups(boxes, may_be_negative, std::logical_or<bool>())) {
        Unit& unit = units.emplace_back(Unit{{}, boxes[group.front()], second});
        for (size_t i : group) {
            unit.rings.push_back(*kept[i]);
            extend(unit.box, boxes[i]);
        }
    }
}

// One sweep over the rings of the units, each operand filled by the non-zero rule.
std::vector<RingSet> sweep(std::span<const Unit> units, BooleanOperation operation) {
    cl::Clipper clipper;
    for (const Unit& unit : units)
        for (const Ring& ring : unit.rings)
            clipper.AddPath(to_path(ring), unit.second ? cl::ptClip : cl::ptSubject, true);
    cl::PolyTree tree;
    clipper.Execute(clip_type(operation), tree, cl::pftNonZero, cl::pftNonZero);
    return to_ring_sets(tree);
}

// A united unit as a result.
RingSet to_ring_set(Unit unit) {
    RingSet set{std::move(unit.rings.front()), {}};
    set.holes.assign(std::make_move_iterator(unit.rings.begin() + 1),
                     std::make_move_iterator(unit.rings.end()));
    return set;
}

// The union of the units in one sweep, as one unit per outer boundary.
std::vector<Unit> sweep_union(std::span<const Unit> units) {
    std::vector<Unit> result;
    for (RingSet& set : sweep(units, BooleanOperation::Union)) {
        Unit& unit = result.emplace_back(Unit{{}, ring_bounds(set.outer)});
        unit.rings.reserve(1 + set.holes.size());
        unit.rings.push_back(std::move(set.outer));
        for (Ring& hole : set.holes) unit.rings.push_back(std::move(hole));
    }
    return result;
}

// The union of lists of disjoint united units. A unit whose box misses the boxes of the other
// lists touches nothing there and is kept as it is.
std::vector<Unit> merge(std::vector<std::vector<Unit>> parts) {
    std::erase_if(parts, [](const std::vector<Unit>& part) { return part.empty(); });
    std::vector<Bounds> boxes;
    for (const std::vector<Unit>& part : parts) {
        Bounds& box = boxes.emplace_back(part.front().box);
        for (const Unit& unit : part) extend(box, unit.box);
    }
    std::vector<Unit> result, touching;
    for (size_t i = 0; i < parts.size(); ++i) {
        for (Unit& unit : parts[i]) {
            bool touches = false;
            for (size_t j = 0; j < parts.size() && !touches; ++j)
                touches = j != i && overlap(unit.box, boxes[j]);
            (touches ? touching : result).push_back(std::move(unit));
        }
    }
    for (Unit& unit : sweep_union(touching)) result.push_back(std::move(unit));
    return result;
}

// Splits the units into at most `count` (a power of 2) groups of nearby units, halving each
// time at the median center along the wider spread of the centers, down to kGroup units.
void split(std::span<Unit> units, size_t count, std::vector<std::span<Unit>>& groups) {
    if (count == 1 || units.size() <= kGroup) {
        groups.push_back(units);
        return;
    }
    // Twice the centers, which stay within the coordinate range.
    auto center = [](const Unit& unit, bool x) {
        return x ? unit.box.x_min + unit.box.x_max : unit.box.y_min + unit.box.y_max;
    };
    Coord spread[2];
    for (bool x : {false, true}) {
        auto [low, high] = std::minmax_element(units.begin(), units.end(), [&](auto& a, auto& b) {
            return center(a, x) < center(b, x);
        });
        spread[x] = center(*high, x) - center(*low, x);
    }
    const bool x = spread[1] >= spread[0];
    const size_t half = units.size() / 2;
    std::nth_element(units.begin(), units.begin() + half, units.end(),
                     [&](const Unit& a, const Unit& b) { return center(a, x) < center(b, x); });
    split(units.first(half), count / 2, groups);
    split(units.subspan(half), count / 2, groups);
}

// Unites up to kGroup units in one sweep; more are split into up to kGroup groups, each
// united alone, and the partial results merged in one more sweep.
std::vector<Unit> unite(std::span<Unit> units) {
    if (units.size() <= kGroup) return sweep_union(units);
    std::vector<std::span<Unit>> groups;
    split(units, kGroup, groups);
    std::vector<std::vector<Unit>> parts;
    for (std::span<Unit> group : groups) parts.push_back(unite(group));
    return merge(std::move(parts));
}

// The operation on the united pieces of both operands: one sweep for each group of pieces
// whose boxes meet across the operands. A piece that meets nothing of the other operand is
// kept as it is or dropped.
std::vector<RingSet> combine(std::vector<Unit> pieces, BooleanOperation operation) {
    std::vector<Bounds> boxes;
    std::vector<uint8_t> second;
    for (const Unit& piece : pieces) {
        boxes.push_back(piece.box);
        second.push_back(piece.second);
    }
    std::vector<RingSet> result;
    // Only pieces of different operands join, so a group of several holds both.
    for (const auto& group : overlap_groups(boxes, second, std::not_equal_to<bool>())) {
        Unit& piece = pieces[group.front()];
        if (group.size() > 1) {
            std::vector<Unit> units;
            for (size_t i : group) units.push_back(std::move(pieces[i]));
            for (RingSet& set : sweep(units, operation)) result.push_back(std::move(set));
        } else if (operation == BooleanOperation::Xor ||
                   (operation == BooleanOperation::Difference && !piece.second)) {
            result.push_back(to_ring_set(std::move(piece)));
        }
    }
    return result;
}

}  // namespace

namespace engine {

std::vector<RingSet> boolean(const std::vector<Ring>& operand1, const std::vector<Ring>& operand2,
                             BooleanOperation operation) {
    for (const auto* operand : {&operand1, &operand2})
        for (const Ring& ring : *operand) check_range_all(ring);
    std::vector<Unit> units;
    add_units(operand1, false, units);
    const size_t count1 = units.size();
    add_units(operand2, true, units);
    if (operation == BooleanOperation::Union) {
        std::vector<RingSet> sets;
        for (Unit& unit : unite(units)) sets.push_back(to_ring_set(std::move(unit)));
        return sets;
    }
    if (units.size() <= kGroup) return sweep(units, operation);
    std::span<Unit> all(units);
    std::vector<Unit> pieces = unite(all.first(count1));
    for (Unit& piece : unite(all.subspan(count1))) {
        piece.second = true;
        pieces.push_back(std::move(piece));
    }
    return combine(std::move(pieces), operation);
}

std::vector<RingSet> offset(const std::vector<Ring>& rings, double distance, JoinType join,
                            double arc_tolerance) {
    // Within the range, offsets reach at most 6 times the range, well inside the engine's.
    if (!in_range(distance)) throw RangeError();
    cl::ClipperOffset offsetter(kMiterLimit, arc_tolerance);
    offsetter.AddPaths(to_paths(rings),
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
