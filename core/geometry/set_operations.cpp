#include "set_operations.hpp"

#include <algorithm>

#include "convex_hull.hpp"
#include "core/foundation/config.hpp"

namespace whistle {

namespace {

// ---- Engine input and output -------------------------------------------------------------

// The engine fills by winding number: outer boundaries counter-clockwise, holes clockwise,
// whatever order the polygon stores.
void append_oriented(const Ring& ring, bool outer, std::vector<Ring>& rings) {
    Ring& copy = rings.emplace_back(ring);
    if ((Polygon::double_area(copy) < 0) == outer) std::reverse(copy.begin(), copy.end());
}

std::vector<Ring> engine_rings(const std::vector<Polygon>& polygons) {
    std::vector<Ring> rings;
    for (const Polygon& polygon : polygons) {
        append_oriented(polygon.vertices(), true, rings);
        for (const Ring& hole : polygon.holes()) append_oriented(hole, false, rings);
    }
    return rings;
}

std::vector<Polygon> to_polygons(std::vector<RingSet> sets) {
    std::vector<Polygon> polygons;
    polygons.reserve(sets.size());
    for (RingSet& set : sets) polygons.emplace_back(std::move(set.outer), std::move(set.holes));
    return polygons;
}

std::vector<RingSet> unite(const std::vector<Ring>& rings, PointBudget& budget) {
    return engine::boolean(rings, {}, BooleanOperation::Union, budget);
}

// ---- Boxes -------------------------------------------------------------------------------

bool within(const Bounds& box, const Vector& p) {
    return box.x_min <= p.x && p.x <= box.x_max && box.y_min <= p.y && p.y <= box.y_max;
}

Bounds segment_bounds(const Vector& a, const Vector& b) {
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

Ring box_ring(const Bounds& box) {
    return {{box.x_min, box.y_min}, {box.x_max, box.y_min}, {box.x_max, box.y_max},
            {box.x_min, box.y_max}};
}

// Bounds over the outer boundaries of a non-empty list of rings (holes lie inside them).
template <class List, class Outer>
Bounds outer_bounds(const List& list, Outer outer) {
    Bounds box = ring_bounds(outer(list.front()));
    for (const auto& item : list) extend(box, ring_bounds(outer(item)));
    return box;
}

// ---- Offsetting --------------------------------------------------------------------------

// The offset of united polygons. An erosion removes every polygon narrower than twice the
// distance, so those are dropped first: the offsetter would otherwise sweep the spikes it
// draws at each of their vertices all at once, which takes quadratic time on fine curves.
std::vector<RingSet> offset_sets(std::vector<RingSet> sets, double distance, JoinType join,
                                 double arc_tolerance, PointBudget& budget) {
    if (distance < 0) {
        // Arcs keep within their tolerance (a quarter unit at least) and points round to units.
        const double reach = -distance - std::max(arc_tolerance, 0.25) - 2;
        std::erase_if(sets, [&](const RingSet& set) {
            Bounds box = ring_bounds(set.outer);
            return double(std::min(box.x_max - box.x_min, box.y_max - box.y_min)) < 2 * reach;
        });
    }
    return engine::offset(flatten(std::move(sets)), distance, join, arc_tolerance, budget);
}

// Offsets united polygons, then pulls the chosen sides of the result's box back by the distance.
std::vector<RingSet> offset_rings(std::vector<RingSet> sets, Coord distance, bool round_joins,
                                  TrimSides trim, PointBudget& budget) {
    std::vector<RingSet> result =
        offset_sets(std::move(sets), double(distance),
                    round_joins ? JoinType::Round : JoinType::Miter, double(config().tolerance),
                    budget);
    if (distance < 1 || !trim.any() || result.empty()) return result;
    Bounds box = outer_bounds(result, [](const RingSet& set) -> const Ring& { return set.outer; });
    if (trim.x_min) box.x_min += distance;
    if (trim.x_max) box.x_max -= distance;
    if (trim.y_min) box.y_min += distance;
    if (trim.y_max) box.y_max -= distance;
    return engine::boolean(flatten(std::move(result)), {box_ring(box)},
                           BooleanOperation::Intersection, budget);
}

// The one polygon of an envelope stage; reports `error` and returns an empty polygon unless
// there is exactly one.
Polygon single_polygon(std::vector<RingSet> sets, const char* error, ErrorHandler& status) {
    if (sets.size() != 1) {
        status.error(error);
        return {};
    }
    return Polygon(std::move(sets.front().outer), std::move(sets.front().holes));
}

// ---- Exact contact test ------------------------------------------------------------------

struct Edge {
    Vector a;
    Vector b;
    Bounds box;
};

struct Shape {
    const Polygon* polygon;
    Bounds box;
};

int orientation(const Vector& a, const Vector& b, const Vector& c) {
    Int128 value = cross(b - a, c - a);
    return (value > 0) - (value < 0);
}

// Closed segments: a proper crossing, an end point on the other segment or a collinear
// overlap all count.
bool segments_meet(const Edge& e, const Edge& f) {
    int o1 = orientation(e.a, e.b, f.a);
    int o2 = orientation(e.a, e.b, f.b);
    int o3 = orientation(f.a, f.b, e.a);
    int o4 = orientation(f.a, f.b, e.b);
    if (o1 * o2 < 0 && o3 * o4 < 0) return true;
    return (o1 == 0 && within(e.box, f.a)) || (o2 == 0 && within(e.box, f.b)) ||
           (o3 == 0 && within(f.box, e.a)) || (o4 == 0 && within(f.box, e.b));
}

// Calls meet(a, b) for every item a of `first` and b of `second` whose boxes overlap, until
// one call returns true. Sweeps both lists left to right, each sorted by the left end of its
// boxes, keeping only the items of the other list that still span the current left end.
template <class Item, class Meet>
bool any_pair(const std::vector<Item>& first, const std::vector<Item>& second, Meet meet) {
    std::vector<const Item*> active[2];
    size_t next[2] = {0, 0};
    while (next[0] < first.size() || next[1] < second.size()) {
        bool from_first = next[1] == second.size() ||
                          (next[0] < first.size() &&
                           first[next[0]].box.x_min <= second[next[1]].box.x_min);
        int k = from_first ? 0 : 1;
        const Item& item = from_first ? first[next[0]++] : second[next[1]++];
        std::vector<const Item*>& others = active[1 - k];
        std::erase_if(others, [&](const Item* o) { return o->box.x_max < item.box.x_min; });
        for (const Item* other : others) {
            if (!overlap(other->box, item.box)) continue;
            if (from_first ? meet(item, *other) : meet(*other, item)) return true;
        }
        active[k].push_back(&item);
    }
    return false;
}

template <class Item>
void sort_by_left_end(std::vector<Item>& items) {
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.box.x_min < b.box.x_min; });
}

// Edges of every ring that reach into the window, sorted by their left end.
std::vector<Edge> edges_in(const Polygon& polygon, const Bounds& window) {
    std::vector<Edge> edges;
    auto add_ring = [&](const Ring& ring) {
        for (size_t i = 0, n = ring.size(); i < n; ++i) {
            const Vector& a = ring[i];
            const Vector& b = ring[(i + 1) % n];
            Edge edge{a, b, segment_bounds(a, b)};
            if (overlap(edge.box, window)) edges.push_back(edge);
        }
    };
    add_ring(polygon.vertices());
    for (const Ring& hole : polygon.holes()) add_ring(hole);
    sort_by_left_end(edges);
    return edges;
}

// 1 inside, 0 on the boundary, -1 outside, by an exact crossing count.
int ring_side(const Ring& ring, const Vector& p) {
    bool inside = false;
    for (size_t i = 0, n = ring.size(); i < n; ++i) {
        const Vector& a = ring[i];
        const Vector& b = ring[(i + 1) % n];
        Int128 side = cross(b - a, p - a);
        if (side == 0 && within(segment_bounds(a, b), p)) return 0;
        // A ring edge crossing the horizontal line through p to the right of p.
        if ((a.y > p.y) != (b.y > p.y) && (side > 0) == (b.y > a.y)) inside = !inside;
    }
    return inside ? 1 : -1;
}

// The closed polygon without the open interiors of its holes.
bool contains(const Polygon& polygon, const Vector& p) {
    int side = ring_side(polygon.vertices(), p);
    if (side <= 0) return side == 0;
    return std::none_of(polygon.holes().begin(), polygon.holes().end(),
                        [&](const Ring& hole) { return ring_side(hole, p) > 0; });
}

// Without touching boundaries, two polygons meet only when one holds a vertex of the other.
bool polygons_meet(const Polygon& p, const Bounds& p_box, const Polygon& q, const Bounds& q_box) {
    Bounds window{std::max(p_box.x_min, q_box.x_min), std::max(p_box.y_min, q_box.y_min),
                  std::min(p_box.x_max, q_box.x_max), std::min(p_box.y_max, q_box.y_max)};
    return any_pair(edges_in(p, window), edges_in(q, window), segments_meet) ||
           contains(p, q.vertices().front()) || contains(q, p.vertices().front());
}

}  // namespace

std::vector<Polygon> boolean(const std::vector<Polygon>& operand1,
                             const std::vector<Polygon>& operand2, BooleanOperation operation) {
    PointBudget budget("Boolean operation");
    return to_polygons(
        engine::boolean(engine_rings(operand1), engine_rings(operand2), operation, budget));
}

bool intersects(const std::vector<Polygon>& operand1, const std::vector<Polygon>& operand2) {
    auto shapes = [](const std::vector<Polygon>& polygons) {
        std::vector<Shape> result;
        result.reserve(polygons.size());
        for (const Polygon& polygon : polygons) {
            if (polygon.vertices().empty()) continue;
            // The exact orientation tests need the coordinate range.
            check_range_all(polygon.vertices());
            for (const Ring& hole : polygon.holes()) check_range_all(hole);
            result.push_back({&polygon, ring_bounds(polygon.vertices())});
        }
        sort_by_left_end(result);
        return result;
    };
    return any_pair(shapes(operand1), shapes(operand2), [](const Shape& a, const Shape& b) {
        return polygons_meet(*a.polygon, a.box, *b.polygon, b.box);
    });
}

bool intersects(const Polygon& a, const Polygon& b) {
    if (a.vertices().empty() || b.vertices().empty()) return false;
    for (const Polygon* polygon : {&a, &b}) {
        check_range_all(polygon->vertices());
        for (const Ring& hole : polygon->holes()) check_range_all(hole);
    }
    Bounds a_box = ring_bounds(a.vertices());
    Bounds b_box = ring_bounds(b.vertices());
    return overlap(a_box, b_box) && polygons_meet(a, a_box, b, b_box);
}

std::vector<Polygon> offset(const std::vector<Polygon>& operand, Coord distance, bool round_joins,
                            TrimSides trim) {
    PointBudget budget("Offset");
    return to_polygons(
        offset_rings(unite(engine_rings(operand), budget), distance, round_joins, trim,
                     budget));
}

std::vector<Polygon> heal(const std::vector<Polygon>& operand, Coord feature_size) {
    const double half = feature_size / 2.0;
    PointBudget budget("Heal");
    std::vector<RingSet> sets = unite(engine_rings(operand), budget);
    for (double distance : {-half, double(feature_size), -half})
        sets = offset_sets(std::move(sets), distance, JoinType::Miter, 0.0, budget);
    return to_polygons(std::move(sets));
}

Polygon envelope_outline(const std::vector<Polygon>& operand, bool use_box, ErrorHandler& status) {
    if (operand.empty()) {
        status.error("No valid operands found.");
        return {};
    }
    Ring outline;
    if (use_box) {
        outline = box_ring(outer_bounds(operand, [](const Polygon& p) -> const Ring& {
            return p.vertices();
        }));
    } else {
        std::vector<Vector> points;
        for (const Polygon& polygon : operand)
            points.insert(points.end(), polygon.vertices().begin(), polygon.vertices().end());
        outline = convex_hull(points);
    }
    PointBudget budget("Envelope");
    return single_polygon(unite({std::move(outline)}, budget), "Invalid boolean result.", status);
}

Polygon dilate_envelope(const Polygon& outline, Coord dilation, TrimSides trim, bool round_joins,
                        ErrorHandler& status) {
    PointBudget budget("Envelope");
    return single_polygon(offset_rings({{outline.vertices(), {}}}, dilation, round_joins, trim, budget),
                          "Invalid envelope offset result.", status);
}

}  // namespace whistle
