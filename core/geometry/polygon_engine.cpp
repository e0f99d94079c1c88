#include "polygon_engine.hpp"

#include <polyclipping/clipper.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <numeric>
#include <optional>
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

Vector to_vector(const cl::IntPoint& p) { return {p.X, p.Y}; }

// Results of offsets can leave the coordinate range.
Ring to_ring(const cl::Path& path) {
    Ring ring;
    ring.reserve(path.size());
    for (const cl::IntPoint& p : path) ring.push_back(check_range(to_vector(p)));
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

int64_t point_count(std::span<const Ring* const> rings) {
    int64_t count = 0;
    for (const Ring* ring : rings) count += int64_t(ring->size());
    return count;
}

int64_t point_count(const std::vector<Ring>& rings) {
    int64_t count = 0;
    for (const Ring& ring : rings) count += int64_t(ring.size());
    return count;
}

int64_t point_count(const std::vector<RingSet>& sets) {
    int64_t count = 0;
    for (const RingSet& set : sets) {
        count += int64_t(set.outer.size());
        for (const Ring& hole : set.holes) count += int64_t(hole.size());
    }
    return count;
}

// Records the points a step added to what it was given.
void keep_growth(PointBudget& budget, int64_t before, int64_t after) {
    budget.keep(std::max<int64_t>(after - before, 0));
}

// The floor of a value within the coordinate range, without a library call.
Coord floor_of(double value) {
    const Coord truncated = Coord(value);
    return truncated - Coord(double(truncated) > value);
}

// ---- Opposite coincident edges -----------------------------------------------------------
//
// The sweep slows down quadratically on edges lying on each other in opposite directions, as
// abutting shapes, holes filled by other shapes and an operand taken from itself give. Such
// pieces add nothing to the winding number anywhere, so they are cancelled before the sweep:
// the edges of a line where this happens are replaced by the net number of edges covering
// each stretch of it, and their rings are relinked from what is left. Every point keeps as
// many edges arriving as leaving, so the rest always closes into rings again.

// Lines are handled in coordinates (u, v) with u along the axis in which the line advances
// more: (x, y), or (y, x) for steep lines.
Vector line_coordinates(const Vector& p, bool steep) { return steep ? Vector{p.y, p.x} : p; }

// Edges on one line share a key. Parallel lines less than a unit apart share one too, as
// rounding can make lines of nearly equal slope; both are told apart exactly later.
struct LineKey {
    uint64_t slope;    // bits of dv / du, plus 3 on steep lines
    Coord intercept;  // v at u = 0, rounded down

    auto operator<=>(const LineKey&) const = default;
};

// An edge in line coordinates, from its end with the smaller u.
struct LineEdge {
    Vector low;
    Vector high;
    bool steep;
    bool forward;  // the edge runs from low to high
};

// Selections rather than branches: along curves, steepness and direction are unpredictable.
LineEdge line_edge(const Vector& from, const Vector& to) {
    const bool steep = std::abs(to.y - from.y) > std::abs(to.x - from.x);
    const Vector a = line_coordinates(from, steep), b = line_coordinates(to, steep);
    const bool forward = a.x < b.x;
    return {forward ? a : b, forward ? b : a, steep, forward};
}

// The floor of (a.y d.x - a.x d.y) / d.x for d.x > 0, corrected from an estimate within 1 of
// it. Rarely needed, so kept out of the hot loop.
[[gnu::noinline]] Coord exact_intercept(const Vector& a, const Vector& d, Coord estimate) {
    const Int128 numerator = Int128(a.y) * d.x - Int128(a.x) * d.y;
    while (Int128(estimate) * d.x > numerator) --estimate;
    while (Int128(estimate + 1) * d.x <= numerator) ++estimate;
    return estimate;
}

LineKey line_key(const LineEdge& edge) {
    const Vector& a = edge.low;
    const Vector d = edge.high - edge.low;
    // Parallel directions give the same correctly rounded quotient; adding 0 or 3 also turns
    // -0 into +0. (Branch-free: steepness is unpredictable along curves.)
    const double ratio = double(d.y) / double(d.x);
    const uint64_t slope = std::bit_cast<uint64_t>(ratio + 3.0 * double(edge.steep));
    if (d.y == 0) return {slope, a.y};
    // v at u = 0 is (a.v d.u - a.u d.v) / d.u. Its estimate errs by less than 2^-50 of the
    // coordinates' size, so its floor is exact unless it lies that close to an integer.
    const double estimate = double(a.y) - double(a.x) * ratio;
    const Coord intercept = floor_of(estimate);
    const double fraction = estimate - double(intercept);
    const double error = (std::fabs(double(a.x)) + std::fabs(double(a.y))) * 0x1p-50;
    const bool exact = fraction > error && fraction < 1 - error;
    return {slope, exact ? intercept : exact_intercept(a, d, intercept)};
}

size_t line_hash(const LineKey& key) {
    const uint64_t h =
        (key.slope ^ uint64_t(key.intercept) * 0x9e3779b97f4a7c15ull) * 0xbf58476d1ce4e5b9ull;
    return size_t(h ^ (h >> 29));
}

struct Segment {
    Vector from;
    Vector to;
};

// Calls visit(ring, index, from, to) for every edge of the rings.
template <class Visit>
void for_each_edge(std::span<const Ring* const> rings, Visit visit) {
    for (size_t r = 0; r < rings.size(); ++r) {
        const Ring& ring = *rings[r];
        for (size_t i = 0, n = ring.size(); i < n; ++i)
            visit(r, i, ring[i], ring[i + 1 < n ? i + 1 : 0]);
    }
}

// An edge that may overlap another in the opposite direction: edge `index` of ring `ring`.
struct Candidate {
    LineKey key;
    uint32_t ring;
    uint32_t index;
};

// An edge on a line being resolved.
struct LineMember {
    Int128 offset;  // across the line, equal for all edges on it
    LineEdge edge;
    size_t number;
};

// Coverage of a line: a change in the number of edges covering it after a point, and the
// numbers after each distinct point.
struct LineEvent {
    Vector point;  // in line coordinates
    int forward;   // forward edges
    int backward;  // backward edges
};

// Working lists of resolve_key, kept from one key to the next.
struct LineScratch {
    std::vector<LineMember> members;
    std::vector<LineEvent> events;
    std::vector<LineEvent> stops;
};

// Replaces the edges on one line by the net number of edges over each stretch, when edges
// overlap there in opposite directions: marks them removed and appends their replacements.
// Returns the number of edges removed.
size_t resolve_line(std::span<const LineMember> line, LineScratch& scratch,
                    std::vector<bool>& removed, std::vector<Segment>& added) {
    std::vector<LineEvent>& events = scratch.events;
    events.clear();
    for (const LineMember& member : line) {
        const LineEdge& edge = member.edge;
        const int f = edge.forward, b = !edge.forward;
        events.push_back({edge.low, f, b});
        events.push_back({edge.high, -f, -b});
    }
    std::sort(events.begin(), events.end(),
              [](const LineEvent& a, const LineEvent& b) { return a.point.x < b.point.x; });
    std::vector<LineEvent>& stops = scratch.stops;
    stops.clear();
    int forward = 0, backward = 0;
    bool opposite = false;
    for (size_t i = 0; i < events.size(); ++i) {
        forward += events[i].forward;
        backward += events[i].backward;
        if (i + 1 < events.size() && events[i + 1].point.x == events[i].point.x) continue;
        stops.push_back({events[i].point, forward, backward});
        opposite = opposite || (forward > 0 && backward > 0);
    }
    if (!opposite) return 0;
    for (const LineMember& member : line) removed[member.number] = true;
    const bool steep = line.front().edge.steep;
    int net = 0;
    Vector start;
    for (const LineEvent& stop : stops) {
        const int next = stop.forward - stop.backward;
        if (next == net) continue;
        // The stretch from `start` to here is covered net `net` times.
        Vector from = line_coordinates(start, steep), to = line_coordinates(stop.point, steep);
        if (net < 0) std::swap(from, to);
        for (int copy = 0; copy < std::abs(net); ++copy) added.push_back({from, to});
        net = next;
        start = stop.point;
    }
    return line.size();
}

// Resolves the lines of the edges sharing one key: those parallel to the first, grouped by
// their exact offset across it. `first` holds the number of each ring's first edge. Returns
// the number of edges removed.
size_t resolve_key(std::span<const Candidate> same_key, std::span<const Ring* const> rings,
                   const std::vector<size_t>& first, LineScratch& scratch,
                   std::vector<bool>& removed, std::vector<Segment>& added) {
    std::vector<LineMember>& members = scratch.members;
    members.clear();
    Vector reference;
    for (const Candidate& candidate : same_key) {
        const Ring& ring = *rings[candidate.ring];
        const size_t i = candidate.index;
        const LineEdge edge = line_edge(ring[i], ring[i + 1 < ring.size() ? i + 1 : 0]);
        if (members.empty()) reference = edge.high - edge.low;
        if (cross(reference, edge.high - edge.low) == 0)
            members.push_back({cross(reference, edge.low), edge, first[candidate.ring] + i});
    }
    std::sort(members.begin(), members.end(),
              [](const LineMember& a, const LineMember& b) { return a.offset < b.offset; });
    size_t resolved = 0;
    for (size_t begin = 0, end; begin < members.size(); begin = end) {
        for (end = begin + 1; end < members.size() && members[end].offset == members[begin].offset;)
            ++end;
        const auto line = std::span(members).subspan(begin, end - begin);
        if (line.size() > 1) resolved += resolve_line(line, scratch, removed, added);
    }
    return resolved;
}

// Pieces of rings to close into rings again: each is the points [begin, end) of the store,
// followed by `to`.
class Relinker {
public:
    // The edges from index `first` of the ring on, `count` of them, as one piece.
    void add_chain(const Ring& ring, size_t first, size_t count) {
        const size_t begin = points_.size();
        for (size_t k = 0; k < count; ++k) points_.push_back(ring[(first + k) % ring.size()]);
        const Vector& to = ring[(first + count) % ring.size()];
        pieces_.push_back({ring[first], to, begin, points_.size()});
    }
    void add_edge(const Segment& edge) {
        points_.push_back(edge.from);
        pieces_.push_back({edge.from, edge.to, points_.size() - 1, points_.size()});
    }

    // Closes the pieces into paths. Pieces leaving a point are used in a fixed order, so a
    // cursor per point tells which is next.
    void close(cl::Paths& paths) {
        std::vector<uint32_t> order(pieces_.size());
        std::iota(order.begin(), order.end(), uint32_t(0));
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return before(pieces_[a].from, pieces_[b].from); });
        std::vector<size_t> cursor(order.size());
        std::iota(cursor.begin(), cursor.end(), size_t(0));
        // The first sorted position of the pieces leaving p.
        auto group = [&](const Vector& p) {
            return size_t(std::lower_bound(order.begin(), order.end(), p,
                                           [&](uint32_t i, const Vector& q) {
                                               return before(pieces_[i].from, q);
                                           }) -
                          order.begin());
        };
        auto take = [&](size_t group, const Vector& from) -> const Piece& {
            const size_t k = group < order.size() ? cursor[group]++ : order.size();
            if (k == order.size() || pieces_[order[k]].from != from)
                throw std::logic_error("Unbalanced ring edges.");
            return pieces_[order[k]];
        };
        for (size_t k = 0, first = 0; k < order.size(); ++k) {
            const Vector& start = pieces_[order[k]].from;
            if (k > 0 && start != pieces_[order[k - 1]].from) first = k;
            if (cursor[first] > k) continue;  // used
            cl::Path& path = paths.emplace_back();
            const Piece* piece = &take(first, start);
            while (true) {
                for (size_t i = piece->begin; i < piece->end; ++i)
                    path.emplace_back(points_[i].x, points_[i].y);
                if (piece->to == start) break;
                piece = &take(group(piece->to), piece->to);
            }
        }
    }

private:
    struct Piece {
        Vector from;
        Vector to;
        size_t begin;
        size_t end;
    };

    static bool before(const Vector& a, const Vector& b) {
        return a.x < b.x || (a.x == b.x && a.y < b.y);
    }

    std::vector<Vector> points_;
    std::vector<Piece> pieces_;
};

// The edge pieces of the rings that overlap in opposite directions, and what replaces them.
struct Cancellation {
    std::vector<size_t> first;  // number of each ring's first edge
    std::vector<bool> removed;  // by edge number
    std::vector<bool> touched;  // rings that lost edges
    std::vector<Segment> added;
    size_t count = 0;  // edges removed
};

// Stops early once more than `limit` edges are removed.
Cancellation find_cancellation(std::span<const Ring* const> rings,
                               size_t limit = std::numeric_limits<size_t>::max()) {
    Cancellation found{std::vector<size_t>(rings.size() + 1)};
    std::vector<size_t>& first = found.first;
    for (size_t r = 0; r < rings.size(); ++r) first[r + 1] = first[r] + rings[r]->size();
    // A first pass marks the directions met in each slot of a table of line keys, two bits a
    // slot; only edges whose slot saw both are looked at again.
    std::vector<uint64_t> directions(std::bit_ceil(first.back() / 2 + 1));
    std::vector<uint32_t> slot_of(first.back());  // 2^32 slots would take 2^28 edges
    const size_t mask = directions.size() * 32 - 1;
    auto seen = [&](size_t slot) { return (directions[slot / 32] >> (2 * (slot % 32))) & 3; };
    bool both = false;
    for_each_edge(rings, [&](size_t r, size_t i, const Vector& from, const Vector& to) {
        if (from == to) return;
        const LineEdge edge = line_edge(from, to);
        const size_t slot = line_hash(line_key(edge)) & mask;
        directions[slot / 32] |= uint64_t(edge.forward ? 1 : 2) << (2 * (slot % 32));
        both = both || seen(slot) == 3;
        slot_of[first[r] + i] = uint32_t(slot);
    });
    found.touched.resize(rings.size());
    found.removed.resize(first.back());
    if (!both) return found;
    std::vector<Candidate> candidates;
    for_each_edge(rings, [&](size_t r, size_t i, const Vector& from, const Vector& to) {
        if (from != to && seen(slot_of[first[r] + i]) == 3)
            candidates.push_back({line_key(line_edge(from, to)), uint32_t(r), uint32_t(i)});
    });
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.key < b.key; });
    LineScratch scratch;
    for (size_t begin = 0, end; begin < candidates.size() && found.count <= limit; begin = end) {
        const LineKey& key = candidates[begin].key;
        for (end = begin + 1; end < candidates.size() && candidates[end].key == key;) ++end;
        const auto same_key = std::span(candidates).subspan(begin, end - begin);
        const size_t count = same_key.size() > 1 ? resolve_key(same_key, rings, first, scratch,
                                                               found.removed, found.added)
                                                 : 0;
        found.count += count;
        if (count > 0)
            for (const Candidate& candidate : same_key) found.touched[candidate.ring] = true;
    }
    return found;
}

// The rings as paths for the sweep, with edge pieces overlapping in opposite directions
// cancelled. Rings without such pieces pass unchanged.
cl::Paths without_opposite_overlaps(std::span<const Ring* const> rings) {
    const Cancellation found = find_cancellation(rings);
    cl::Paths paths;
    Relinker relinker;
    for (size_t r = 0; r < rings.size(); ++r) {
        const Ring& ring = *rings[r];
        const size_t n = ring.size();
        auto kept = [&](size_t i) { return !found.removed[found.first[r] + i]; };
        // A ring that lost edges is cut into runs of kept edges, starting after a removed one.
        size_t cut = 0;
        while (found.touched[r] && cut < n && kept(cut)) ++cut;
        if (!found.touched[r] || cut == n) {
            paths.push_back(to_path(ring));
            continue;
        }
        for (size_t k = 1, run = 0; k <= n; ++k) {
            const size_t i = (cut + k) % n;
            if (k < n && kept(i)) {
                ++run;
                continue;
            }
            if (run > 0) relinker.add_chain(ring, (i + n - run) % n, run);
            run = 0;
        }
    }
    for (const Segment& edge : found.added) relinker.add_edge(edge);
    relinker.close(paths);
    return paths;
}

// ---- Crossings ---------------------------------------------------------------------------
//
// Each proper crossing of two edges becomes a point of the sweep's result, and crossings can
// grow with the product of the edge counts. A cheap bound is tried first; only when it
// exceeds the budget are they counted exactly.

// Runs of consecutive edges advancing monotonically in y. Two such runs of a and b edges
// cross less than a + b times: their crossings come in the order of y along both.
struct Chain {
    Bounds box;
    int64_t edges;
};

// Calls visit(a, b, starts) for every edge a -> b of the lists of paths; `starts` is true on
// the first edge of each path.
template <class Visit>
void for_each_path_edge(std::span<const cl::Paths> lists, Visit visit) {
    for (const cl::Paths& paths : lists) {
        for (const cl::Path& path : paths) {
            for (size_t i = 0, n = path.size(); i < n; ++i)
                visit(to_vector(path[i]), to_vector(path[i + 1 < n ? i + 1 : 0]), i == 0);
        }
    }
}

std::vector<Chain> monotone_chains(std::span<const cl::Paths> lists) {
    std::vector<Chain> chains;
    int direction = 0;  // of the current run: 1 up, -1 down, 0 level so far
    for_each_path_edge(lists, [&](const Vector& a, const Vector& b, bool starts) {
        const int step = (b.y > a.y) - (b.y < a.y);
        if (starts || step * direction < 0) {
            chains.push_back({{a.x, a.y, a.x, a.y}, 0});
            direction = 0;
        }
        Chain& chain = chains.back();
        extend(chain.box, {b.x, b.y, b.x, b.y});
        ++chain.edges;
        if (direction == 0) direction = step;
    });
    return chains;
}

// An upper bound of the crossings, over pairs of chains whose boxes meet; stops once it
// exceeds `limit`.
int64_t crossing_bound(std::span<const cl::Paths> lists, int64_t limit) {
    std::vector<Chain> chains = monotone_chains(lists);
    std::sort(chains.begin(), chains.end(),
              [](const Chain& a, const Chain& b) { return a.box.y_min < b.box.y_min; });
    std::vector<const Chain*> active;
    int64_t bound = 0;
    for (const Chain& chain : chains) {
        std::erase_if(active, [&](const Chain* c) { return c->box.y_max < chain.box.y_min; });
        for (const Chain* other : active)
            if (overlap(other->box, chain.box) && (bound += other->edges + chain.edges) > limit)
                return bound;
        active.push_back(&chain);
    }
    return bound;
}

// An edge that is not horizontal, from its lower end up.
struct Rising {
    Vector low;
    Vector high;
};

// x of a rising edge at a height within its span, exactly: whole + remainder / denominator.
struct Abscissa {
    Coord whole;
    Coord remainder;  // in [0, denominator)
    Coord denominator;
};

Abscissa abscissa(const Rising& edge, Coord y) {
    const Coord dx = edge.high.x - edge.low.x, dy = edge.high.y - edge.low.y;
    const Int128 numerator = Int128(edge.low.x) * dy + Int128(y - edge.low.y) * dx;
    // The floor of numerator / dy, corrected from an estimate within 1.
    Coord whole = floor_of(double(edge.low.x) + double(y - edge.low.y) * (double(dx) / dy));
    while (Int128(whole) * dy > numerator) --whole;
    while (Int128(whole + 1) * dy <= numerator) ++whole;
    return {whole, Coord(numerator - Int128(whole) * dy), dy};
}

int compare(const Abscissa& a, const Abscissa& b) {
    if (a.whole != b.whole) return a.whole < b.whole ? -1 : 1;
    const Int128 left = Int128(a.remainder) * b.denominator;
    const Int128 right = Int128(b.remainder) * a.denominator;
    return (left > right) - (left < right);
}

int compare(const Abscissa& a, Coord x) {
    if (a.whole != x) return a.whole < x ? -1 : 1;
    return a.remainder > 0;
}

// True when a lies left of b just above a point where they meet.
bool leans_left(const Rising& a, const Rising& b) {
    return Int128(a.high.x - a.low.x) * (b.high.y - b.low.y) <
           Int128(b.high.x - b.low.x) * (a.high.y - a.low.y);
}

struct ActiveEdge {
    const Rising* edge;
    Abscissa x;
};

// Sorts by insertion, returning the number of swaps: the pairs whose order was reversed. Stops
// early once they exceed `limit`.
template <class Before>
int64_t sort_counting_swaps(std::span<ActiveEdge> items, Before before, int64_t limit) {
    int64_t swaps = 0;
    for (size_t i = 1; i < items.size() && swaps <= limit; ++i)
        for (size_t j = i; j > 0 && before(items[j], items[j - 1]); --j, ++swaps)
            std::swap(items[j], items[j - 1]);
    return swaps;
}

// The proper crossings of the edges, counted by a sweep up through the heights of the
// vertices, where the edges crossing the sweep line are kept in their order along it; stops
// early once the count exceeds `limit`.
int64_t crossing_count(std::span<const cl::Paths> lists, int64_t limit) {
    struct Level {
        Coord y;
        Coord x_min;
        Coord x_max;
    };
    std::vector<Rising> rising;
    std::vector<Level> level;
    std::vector<Coord> heights;
    for_each_path_edge(lists, [&](const Vector& a, const Vector& b, bool) {
        heights.push_back(a.y);
        if (a.y != b.y)
            rising.push_back(a.y < b.y ? Rising{a, b} : Rising{b, a});
        else if (a.x != b.x)
            level.push_back({a.y, std::min(a.x, b.x), std::max(a.x, b.x)});
    });
    std::sort(heights.begin(), heights.end());
    heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
    std::sort(rising.begin(), rising.end(),
              [](const Rising& a, const Rising& b) { return a.low.y < b.low.y; });
    std::sort(level.begin(), level.end(), [](const Level& a, const Level& b) { return a.y < b.y; });

    std::vector<ActiveEdge> active;
    int64_t count = 0;
    auto next_rising = rising.begin();
    auto next_level = level.begin();
    for (Coord y : heights) {
        // Pairs whose order along the sweep line changed since the last height crossed below y.
        for (ActiveEdge& item : active) item.x = abscissa(*item.edge, y);
        count += sort_counting_swaps(
            active, [](const ActiveEdge& a, const ActiveEdge& b) { return compare(a.x, b.x) < 0; },
            limit - count);
        std::erase_if(active, [&](const ActiveEdge& item) { return item.edge->high.y == y; });
        // Edges passing through one point at y cross there when their order changes.
        auto leaning_left = [](const ActiveEdge& a, const ActiveEdge& b) {
            return leans_left(*a.edge, *b.edge);
        };
        for (size_t begin = 0, end; begin < active.size(); begin = end) {
            end = begin + 1;
            while (end < active.size() && compare(active[end].x, active[begin].x) == 0) ++end;
            count += sort_counting_swaps(std::span(active).subspan(begin, end - begin),
                                         leaning_left, limit - count);
        }
        // A horizontal edge crosses the edges passing strictly between its ends.
        for (; next_level != level.end() && next_level->y == y; ++next_level) {
            auto after = [](const ActiveEdge& item, Coord x) { return compare(item.x, x) <= 0; };
            auto below = [](const ActiveEdge& item, Coord x) { return compare(item.x, x) < 0; };
            auto first = std::lower_bound(active.begin(), active.end(), next_level->x_min, after);
            auto last = std::lower_bound(active.begin(), active.end(), next_level->x_max, below);
            count += std::max<int64_t>(last - first, 0);
        }
        // Edges starting at y join in their order just above it.
        for (; next_rising != rising.end() && next_rising->low.y == y; ++next_rising) {
            const Rising& edge = *next_rising;
            auto precedes = [&](const ActiveEdge& item) {
                const int side = compare(item.x, edge.low.x);
                return side < 0 || (side == 0 && !leans_left(edge, *item.edge));
            };
            auto position = std::partition_point(active.begin(), active.end(), precedes);
            active.insert(position, {&edge, {edge.low.x, 0, 1}});
        }
        if (count > limit) break;
    }
    return count;
}

// Throws when the crossings of the paths would take more points than the budget has left.
void check_crossings(std::span<const cl::Paths> lists, const PointBudget& budget) {
    const int64_t limit = budget.remaining();
    Int128 edges = 0;
    for (const cl::Paths& paths : lists)
        for (const cl::Path& path : paths) edges += path.size();
    if (edges * (edges - 1) / 2 <= limit || crossing_bound(lists, limit) <= limit) return;
    budget.require(crossing_count(lists, limit));
}

// ---- Sweeps ------------------------------------------------------------------------------

// One sweep of subject paths and, if given, clip paths, once their crossings fit the budget;
// records the points the result adds to the `given` ones.
std::vector<RingSet> execute(cl::ClipType type, std::span<const cl::Paths> paths,
                             cl::PolyFillType fill, int64_t given, PointBudget& budget) {
    check_crossings(paths, budget);
    cl::Clipper clipper;
    clipper.AddPaths(paths[0], cl::ptSubject, true);
    if (paths.size() > 1) clipper.AddPaths(paths[1], cl::ptClip, true);
    cl::PolyTree tree;
    clipper.Execute(type, tree, fill, fill);
    std::vector<RingSet> sets = to_ring_sets(tree);
    keep_growth(budget, given, point_count(sets));
    return sets;
}

// The area where the winding number of the rings, taken together, passes `fill`.
std::vector<RingSet> sweep(std::span<const Ring* const> rings, cl::PolyFillType fill,
                           PointBudget& budget) {
    const cl::Paths paths[] = {without_opposite_overlaps(rings)};
    return execute(cl::ctUnion, paths, fill, point_count(rings), budget);
}

// ---- Divided operations ------------------------------------------------------------------
//
// The sweep costs about its number of scanlines times the number of edges crossing each, which
// grows quadratically with thousands of scattered shapes. So many shapes are united in a
// cascade, small groups of nearby shapes first and then their partial results, and an
// operation sweeps only groups of united pieces of both operands that may meet.

// Rings handled as a whole. Within one operand, the winding of every unit is its own: units
// never cancel each other's winding, so the operand's non-zero fill is the union of its units'
// fills.
struct Unit {
    std::vector<Ring> rings;
    Bounds box;
    bool second = false;    // of the second operand, which is filled independently of the first
    bool united = false;    // one outer boundary and its holes: winding 1 inside, 0 outside
    bool negative = false;  // may wind negatively somewhere
};

Unit to_unit(RingSet set) {
    Unit unit{{}, ring_bounds(set.outer), false, true};
    unit.rings.reserve(1 + set.holes.size());
    unit.rings.push_back(std::move(set.outer));
    for (Ring& hole : set.holes) unit.rings.push_back(std::move(hole));
    return unit;
}

// A united unit as a result.
RingSet to_ring_set(Unit unit) {
    RingSet set{std::move(unit.rings.front()), {}};
    set.holes.assign(std::make_move_iterator(unit.rings.begin() + 1),
                     std::make_move_iterator(unit.rings.end()));
    return set;
}

std::vector<RingSet> to_ring_sets(std::vector<Unit> units) {
    std::vector<RingSet> sets;
    sets.reserve(units.size());
    for (Unit& unit : units) sets.push_back(to_ring_set(std::move(unit)));
    return sets;
}

std::vector<const Ring*> rings_of(std::span<const Unit> units) {
    std::vector<const Ring*> rings;
    for (const Unit& unit : units)
        for (const Ring& ring : unit.rings) rings.push_back(&ring);
    return rings;
}

// Inputs of one sweep of the cascade: units, or partial results to merge. A power of 2;
// from 8 to 32 run about equally fast.
constexpr size_t kGroup = 16;

// Directions in the half turn [0, pi) from +x.
bool upper(const Vector& d) { return d.y > 0 || (d.y == 0 && d.x > 0); }

// True for a convex ring turning counter-clockwise exactly once: it winds once around its
// inside and nowhere negatively. Repeated and straight vertices are allowed.
bool convex_once(const Ring& ring) {
    const size_t n = ring.size();
    Vector previous;  // the last non-zero edge
    for (size_t i = n; i-- > 0 && previous == Vector{};) previous = ring[(i + 1) % n] - ring[i];
    size_t turns = 0;
    for (size_t i = 0; i < n; ++i) {
        Vector edge = ring[i + 1 < n ? i + 1 : 0] - ring[i];
        if (edge == Vector{}) continue;
        Int128 turn = cross(previous, edge);
        if (turn < 0 || (turn == 0 && dot(previous, edge) < 0)) return false;
        // Each step turns by less than a half turn, so it passes +x only from below.
        turns += !upper(previous) && upper(edge);
        previous = edge;
    }
    return turns == 1;
}

// True for a ring whose every edge turns counter-clockwise around `center`, once in all: it is
// star-shaped from there, so it winds once around its inside and nowhere else. Catches curves
// that rounding made slightly concave. Repeated vertices are allowed.
bool star_once(const Ring& ring, const Vector& center) {
    size_t turns = 0;
    for (size_t i = 0, n = ring.size(); i < n; ++i) {
        const Vector a = ring[i] - center, b = ring[i + 1 < n ? i + 1 : 0] - center;
        if (a == b) continue;
        if (cross(a, b) <= 0) return false;
        // Each edge turns by less than a half turn around the center.
        turns += !upper(a) && upper(b);
    }
    return turns == 1;
}

// True for a ring known to wind once around its inside and nowhere else.
bool winds_once(const Ring& ring, const Bounds& box) {
    const Vector center{box.x_min + (box.x_max - box.x_min) / 2,
                        box.y_min + (box.y_max - box.y_min) / 2};
    return convex_once(ring) || star_once(ring, center);
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

// True when the ring winds negatively somewhere.
bool winds_negatively(const Ring& ring, PointBudget& budget) {
    const Ring* rings[] = {&ring};
    return !sweep(rings, cl::pftNegative, budget).empty();
}

// Appends the units of one operand's rings. A ring that may wind negatively (a hole, a
// clockwise or self-crossing ring) shares its unit with every ring whose box meets its own,
// so no other unit has winding where it does. Rings of fewer than 3 points fill nothing and
// are dropped.
void add_units(const std::vector<Ring>& rings, bool second, PointBudget& budget,
               std::vector<Unit>& units) {
    // Up to kGroup rings are swept together anyway, so a ring not known to wind once is taken
    // to wind negatively rather than swept alone to find out.
    const bool few = rings.size() <= kGroup;
    std::vector<const Ring*> kept;
    std::vector<Bounds> boxes;
    std::vector<uint8_t> once, may_be_negative;
    for (const Ring& ring : rings) {
        if (ring.size() < 3) continue;
        kept.push_back(&ring);
        boxes.push_back(ring_bounds(ring));
        once.push_back(winds_once(ring, boxes.back()));
        may_be_negative.push_back(!once.back() && (few || winds_negatively(ring, budget)));
    }
    for (const auto& group : overlap_groups(boxes, may_be_negative, std::logical_or<bool>())) {
        Unit& unit = units.emplace_back(Unit{{}, boxes[group.front()], second});
        unit.united = group.size() == 1 && once[group.front()];
        for (size_t i : group) {
            unit.rings.push_back(*kept[i]);
            extend(unit.box, boxes[i]);
            unit.negative = unit.negative || may_be_negative[i];
        }
    }
}

// The union of the units in one sweep, as one unit per outer boundary.
std::vector<Unit> sweep_union(std::span<const Unit> units, PointBudget& budget) {
    std::vector<Unit> result;
    for (RingSet& set : sweep(rings_of(units), cl::pftNonZero, budget))
        result.push_back(to_unit(std::move(set)));
    return result;
}

// The union of lists of disjoint united units. A unit whose box misses the boxes of the other
// lists touches nothing there and is kept as it is.
std::vector<Unit> merge(std::vector<std::vector<Unit>> parts, PointBudget& budget) {
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
    for (Unit& unit : sweep_union(touching, budget)) result.push_back(std::move(unit));
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

// Up to kGroup units united in one sweep; united units whose boxes meet no other unit's are
// kept as they are.
std::vector<Unit> unite_group(std::span<Unit> units, PointBudget& budget) {
    std::vector<Unit> result, rest;
    for (Unit& unit : units) {
        auto meets = [&](const Unit& other) {
            return &other != &unit && overlap(other.box, unit.box);
        };
        const bool alone = unit.united && std::none_of(units.begin(), units.end(), meets);
        (alone ? result : rest).push_back(std::move(unit));
    }
    if (!rest.empty())
        for (Unit& unit : sweep_union(rest, budget)) result.push_back(std::move(unit));
    return result;
}

// Unites up to kGroup units in one sweep; more are split into up to kGroup groups, each
// united alone, and the partial results merged in one more sweep.
std::vector<Unit> unite(std::span<Unit> units, PointBudget& budget) {
    if (units.size() <= kGroup) return unite_group(units, budget);
    std::vector<std::span<Unit>> groups;
    split(units, kGroup, groups);
    std::vector<std::vector<Unit>> parts;
    for (std::span<Unit> group : groups) parts.push_back(unite(group, budget));
    return merge(std::move(parts), budget);
}

// The rings of pieces of both operands whose windings add up to wA + wB, or to wA - wB with
// the second operand's rings reversed.
class WindingSum {
public:
    WindingSum(std::span<const Unit* const> pieces, bool subtract) {
        for (const Unit* piece : pieces)
            for (const Ring& ring : piece->rings)
                if (piece->second && subtract)
                    reversed_.emplace_back(ring.rbegin(), ring.rend());
                else
                    rings_.push_back(&ring);
        for (const Ring& ring : reversed_) rings_.push_back(&ring);
    }
    WindingSum(const WindingSum&) = delete;

    std::vector<const Ring*>& rings() { return rings_; }

private:
    std::vector<const Ring*> rings_;
    std::vector<Ring> reversed_;
};

bool subtracts(BooleanOperation operation) {
    return operation == BooleanOperation::Difference || operation == BooleanOperation::Xor;
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

// Edges lying on each other in opposite directions that a sweep takes as they are; its cost
// grows with their square, and stays below that of uniting the operands first.
constexpr size_t kFewOverlaps = 64;

// The operation on pieces of both operands in one sweep of the operands as they are, each
// filled by the non-zero rule. Many edges lying on each other in opposite directions in the
// operation's winding sum slow that sweep down; then there is no result.
std::optional<std::vector<RingSet>> sweep_as_given(std::span<const Unit* const> pieces,
                                                   BooleanOperation operation,
                                                   PointBudget& budget) {
    WindingSum sum(pieces, subtracts(operation));
    if (find_cancellation(sum.rings(), kFewOverlaps).count > kFewOverlaps) return std::nullopt;
    cl::Paths paths[2];  // subject and clip
    for (const Unit* piece : pieces)
        for (const Ring& ring : piece->rings) paths[piece->second].push_back(to_path(ring));
    return execute(clip_type(operation), paths, cl::pftNonZero, point_count(sum.rings()), budget);
}

// The operation on one group of united pieces as the fill of one winding sum, where wA and wB,
// the windings of the operands, are 0 or 1: intersection wA + wB - 1 > 0 (a clockwise frame
// around the group adds the -1), difference wA - wB > 0 and symmetric difference wA - wB != 0.
// Edges the operands share in opposite directions in the sum cancel before the sweep.
std::vector<RingSet> sweep_operation(std::span<const Unit* const> pieces,
                                     BooleanOperation operation, PointBudget& budget) {
    WindingSum sum(pieces, subtracts(operation));
    Bounds box = pieces.front()->box;
    for (const Unit* piece : pieces) extend(box, piece->box);
    const Ring frame{{box.x_min - 1, box.y_min - 1}, {box.x_min - 1, box.y_max + 1},
                     {box.x_max + 1, box.y_max + 1}, {box.x_max + 1, box.y_min - 1}};
    if (operation == BooleanOperation::Intersection) sum.rings().push_back(&frame);
    const cl::PolyFillType fill =
        operation == BooleanOperation::Xor ? cl::pftNonZero : cl::pftPositive;
    return sweep(sum.rings(), fill, budget);
}

// A union sums the windings of both operands, so units that may wind negatively are united
// first: then none does.
void unite_negative_units(std::vector<Unit>& units, PointBudget& budget) {
    std::vector<Unit> result;
    for (Unit& unit : units) {
        if (!unit.negative) {
            result.push_back(std::move(unit));
            continue;
        }
        for (Unit& part : sweep_union({&unit, 1}, budget)) {
            part.second = unit.second;
            result.push_back(std::move(part));
        }
    }
    units = std::move(result);
}

// The operation on the united pieces of both operands: one sweep for each group of pieces
// whose boxes meet across the operands. A piece that meets nothing of the other operand is
// kept as it is or dropped.
std::vector<RingSet> combine(std::vector<Unit> pieces, BooleanOperation operation,
                             PointBudget& budget) {
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
            std::vector<const Unit*> members;
            for (size_t i : group) members.push_back(&pieces[i]);
            for (RingSet& set : sweep_operation(members, operation, budget))
                result.push_back(std::move(set));
        } else if (operation == BooleanOperation::Xor ||
                   (operation == BooleanOperation::Difference && !piece.second)) {
            result.push_back(to_ring_set(std::move(piece)));
        }
    }
    return result;
}

// ---- Offsets -----------------------------------------------------------------------------

// Arc steps per radian of round joins, chosen as the offsetter chooses them: chords straying
// at most the arc tolerance from the arc (a quarter unit when the tolerance is 0, at most a
// quarter of the distance), and no more than one step per unit of arc length.
double steps_per_radian(double distance, double arc_tolerance) {
    const double radius = std::fabs(distance);
    const double tolerance = arc_tolerance <= 0 ? 0.25 : std::min(arc_tolerance, radius * 0.25);
    const double steps = std::min(std::numbers::pi / std::acos(1 - tolerance / radius),
                                  radius * std::numbers::pi);
    return steps / (2 * std::numbers::pi);
}

// Points the offsetter adds to a ring beyond the one each vertex becomes, from the turn at
// each vertex as it judges it: none where the ring runs on almost straight, two at a vertex
// turning away from the offset side, one at a square miter corner and the arc steps of a
// round join.
int64_t added_join_points(const Ring& ring, double distance, JoinType join,
                          double steps_per_radian) {
    // Unit normals of the edges; repeated points make no edge.
    std::vector<Vec2> normals;
    for (size_t i = 0, n = ring.size(); i < n; ++i) {
        Vec2 d(ring[i + 1 < n ? i + 1 : 0] - ring[i]);
        if (d.x != 0 || d.y != 0) normals.push_back(Vec2(d.y, -d.x) / d.length());
    }
    if (normals.size() < 3) return 0;
    const double miter_limit = 2 / (kMiterLimit * kMiterLimit);
    int64_t added = 0;
    for (size_t j = 0, k = normals.size() - 1; j < normals.size(); k = j++) {
        const double sin = cross(normals[k], normals[j]), cos = dot(normals[k], normals[j]);
        if (std::fabs(sin * distance) < 1 && cos > 0) continue;
        if (sin * distance < 0) {
            added += 2;
        } else if (join == JoinType::Miter) {
            added += 1 + cos < miter_limit;
        } else {
            const double turn = std::fabs(std::atan2(std::clamp(sin, -1.0, 1.0), cos));
            added += std::max<int64_t>(std::llround(steps_per_radian * turn), 1);
        }
    }
    return added;
}

// Throws when the joins the offsetter adds to the rings exceed the budget. Miter joins add at
// most 2 points a vertex, round ones at most an arc step per half turn; only when that could
// exceed the budget are the points counted vertex by vertex.
void check_join_points(const std::vector<Ring>& rings, double distance, JoinType join,
                       double arc_tolerance, const PointBudget& budget) {
    const double steps = steps_per_radian(distance, arc_tolerance);
    const double most =
        join == JoinType::Miter ? 2.0 : std::max(std::round(steps * std::numbers::pi), 2.0);
    if (double(point_count(rings)) * most <= double(budget.remaining())) return;
    int64_t added = 0;
    for (const Ring& ring : rings) added += added_join_points(ring, distance, join, steps);
    budget.require(added);
}

}  // namespace

namespace engine {

std::vector<RingSet> boolean(const std::vector<Ring>& operand1, const std::vector<Ring>& operand2,
                             BooleanOperation operation, PointBudget& budget) {
    for (const auto* operand : {&operand1, &operand2})
        for (const Ring& ring : *operand) check_range_all(ring);
    std::vector<Unit> units;
    add_units(operand1, false, budget, units);
    const size_t count1 = units.size();
    add_units(operand2, true, budget, units);
    if (units.size() <= kGroup) {
        std::vector<const Unit*> pieces;
        for (const Unit& unit : units) pieces.push_back(&unit);
        if (auto sets = sweep_as_given(pieces, operation, budget)) return std::move(*sets);
    }
    if (operation == BooleanOperation::Union) {
        if (count1 > 0 && count1 < units.size()) unite_negative_units(units, budget);
        return to_ring_sets(unite(units, budget));
    }
    std::span<Unit> all(units);
    std::vector<Unit> pieces = unite(all.first(count1), budget);
    for (Unit& piece : unite(all.subspan(count1), budget)) {
        piece.second = true;
        pieces.push_back(std::move(piece));
    }
    return combine(std::move(pieces), operation, budget);
}

std::vector<RingSet> offset(const std::vector<Ring>& rings, double distance, JoinType join,
                            double arc_tolerance, PointBudget& budget) {
    // Within the range, offsets reach at most 6 times the range, well inside the engine's.
    if (!in_range(distance)) throw RangeError();
    check_join_points(rings, distance, join, arc_tolerance, budget);
    cl::ClipperOffset offsetter(kMiterLimit, arc_tolerance);
    for (const Ring& ring : rings) {
        check_range_all(ring);
        offsetter.AddPath(to_path(ring), join == JoinType::Round ? cl::jtRound : cl::jtMiter,
                          cl::etClosedPolygon);
    }
    cl::PolyTree tree;
    offsetter.Execute(tree, distance);
    std::vector<RingSet> result = to_ring_sets(tree);
    keep_growth(budget, point_count(rings), point_count(result));
    return result;
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
