#include "fracture.hpp"

#include <algorithm>
#include <exception>
#include <limits>

#include "core/foundation/config.hpp"
#include "set_operations.hpp"

namespace whistle {

namespace {

// Each cut at least halves the distinct coordinates along one axis of a piece, so real input
// never comes near this; it only guards against pieces that refuse to shrink.
constexpr int kMaxDepth = 96;

// A straight cut: x = value (axis 0) or y = value (axis 1).
struct Cut {
    int axis = 0;
    Coord value = 0;
};

// Splits polygons with straight axis-parallel cuts, each piece clipped exactly by the set
// operations, until every piece is hole-free and has at most `max_vertices` vertices.
class Splitter {
public:
    explicit Splitter(size_t max_vertices) : max_vertices_(max_vertices) {}

    // `stalled_by`: the cut that made this piece and left it with as many vertices as its
    // parent, which happens when cuts only shave a ring that touches itself.
    bool split(const Polygon& polygon, std::vector<Polygon>& out, int depth = 0,
               const Cut* stalled_by = nullptr) const {
        const Ring& ring = polygon.vertices();
        // Slivers of no area that a cut along an edge can leave add nothing.
        if (Polygon::double_area(ring) == 0) return true;
        bool hole_free = polygon.holes().empty();
        if (hole_free && ring.size() <= max_vertices_) {
            out.push_back(polygon);
            return true;
        }
        if (depth >= kMaxDepth) return false;
        if (hole_free) {
            std::vector<Ring> loops = lobes(stalled_by ? with_touch_points(ring) : ring);
            if (loops.size() > 1) {
                for (Ring& loop : loops)
                    if (!split(Polygon(std::move(loop)), out, depth + 1)) return false;
                return true;
            }
        }
        Cut cut;
        if (!choose_cut(polygon, stalled_by, cut)) return false;
        Bounds box = ring_bounds(ring);
        Bounds low = box, high = box;
        (cut.axis == 0 ? low.x_max : low.y_max) = cut.value;
        (cut.axis == 0 ? high.x_min : high.y_min) = cut.value;
        for (const Bounds& half : {low, high})
            for (const Polygon& piece : clip(polygon, half))
                if (!split(piece, out, depth + 1,
                           piece.vertices().size() >= ring.size() ? &cut : nullptr))
                    return false;
        return true;
    }

private:
    static std::vector<Polygon> clip(const Polygon& polygon, const Bounds& box) {
        Polygon rectangle(Ring{{box.x_min, box.y_min},
                               {box.x_max, box.y_min},
                               {box.x_max, box.y_max},
                               {box.x_min, box.y_max}});
        return boolean({polygon}, {rectangle}, BooleanOperation::Intersection);
    }

    // The ring with every vertex that lies inside another edge inserted into that edge, so
    // that a ring touching itself repeats the touching point.
    static Ring with_touch_points(const Ring& ring) {
        Ring result;
        for (size_t i = 0; i < ring.size(); ++i) {
            const Vector& a = ring[i];
            const Vector& b = ring[(i + 1) % ring.size()];
            result.push_back(a);
            std::vector<Vector> inside;
            for (const Vector& p : ring)
                if (p != a && p != b && cross(p - a, b - a) == 0 && dot(p - a, b - a) > 0 &&
                    dot(p - b, a - b) > 0)
                    inside.push_back(p);
            std::sort(inside.begin(), inside.end(), [&](const Vector& p, const Vector& q) {
                return dot(p - a, b - a) < dot(q - a, b - a);
            });
            result.insert(result.end(), inside.begin(), inside.end());
        }
        return result;
    }

    // A ring that touches itself at a vertex, split there into its lobes; the ring alone when
    // it does not, or when a loop turns the other way (it would be a hole, not a lobe).
    static std::vector<Ring> lobes(const Ring& ring) {
        Ring sorted = ring;
        auto order = [](const Vector& a, const Vector& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); };
        std::sort(sorted.begin(), sorted.end(), order);
        if (std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) return {ring};
        std::vector<Ring> loops;
        Ring stack;
        for (const Vector& p : ring) {
            auto repeat = std::find(stack.begin(), stack.end(), p);
            if (repeat != stack.end()) {
                loops.emplace_back(repeat, stack.end());
                stack.erase(repeat + 1, stack.end());
            } else {
                stack.push_back(p);
            }
        }
        if (loops.empty()) return {ring};
        loops.push_back(std::move(stack));
        bool positive = Polygon::double_area(ring) > 0;
        std::erase_if(loops, [](const Ring& loop) { return Polygon::double_area(loop) == 0; });
        for (const Ring& loop : loops)
            if ((Polygon::double_area(loop) > 0) != positive) return {ring};
        return loops;
    }

    static Coord coordinate(const Vector& p, int axis) { return axis == 0 ? p.x : p.y; }

    // The distinct vertex coordinates along `axis` strictly inside the outer extent, snapped
    // to `step`, in ascending order.
    static std::vector<Coord> interior_values(const Ring& ring, int axis, Coord step) {
        std::vector<Coord> values;
        values.reserve(ring.size());
        for (const Vector& p : ring) values.push_back(snap(coordinate(p, axis), step));
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        if (values.size() < 3) return {};
        return {values.begin() + 1, values.end() - 1};
    }

    // Holes are opened by a cut across the first hole's extent (a cut touching the hole
    // suffices); long outlines are halved at the median coordinate along the axis with more
    // of them, or, after a cut that only shaved the piece, cut at the coordinate farthest from
    // it. Cuts lie on the grid where they can, so that the new vertices need no rounding along
    // them and no piece is thinner than a grid step.
    static bool choose_cut(const Polygon& polygon, const Cut* stalled_by, Cut& cut) {
        const Coord grid = std::max<Coord>(config().grid, 1);
        if (!polygon.holes().empty()) {
            Bounds hole = ring_bounds(polygon.holes().front());
            cut.axis = hole.x_max - hole.x_min >= hole.y_max - hole.y_min ? 0 : 1;
            Coord low = cut.axis == 0 ? hole.x_min : hole.y_min;
            Coord high = cut.axis == 0 ? hole.x_max : hole.y_max;
            cut.value = snap(low + (high - low) / 2, grid);
            if (cut.value < low || cut.value > high) cut.value = low + (high - low) / 2;
            return true;
        }
        for (Coord step : {grid, Coord(1)}) {
            std::vector<Coord> values[2] = {interior_values(polygon.vertices(), 0, step),
                                            interior_values(polygon.vertices(), 1, step)};
            if (values[0].empty() && values[1].empty()) continue;
            bool shaved = stalled_by && !values[stalled_by->axis].empty();
            cut.axis = shaved ? stalled_by->axis : values[0].size() >= values[1].size() ? 0 : 1;
            const std::vector<Coord>& chosen = values[cut.axis];
            if (shaved)
                cut.value = stalled_by->value - chosen.front() > chosen.back() - stalled_by->value
                                ? chosen.front()
                                : chosen.back();
            else
                cut.value = chosen[(chosen.size() - 1) / 2];
            return true;
        }
        return false;
    }

    size_t max_vertices_;
};

bool split_polygon(const Polygon& polygon, size_t max_vertices, std::vector<Polygon>& out) {
    std::vector<Polygon> pieces;
    try {
        if (!Splitter(max_vertices).split(polygon, pieces) || pieces.empty()) return false;
    } catch (const std::exception&) {
        return false;
    }
    for (Polygon& piece : pieces) out.push_back(std::move(piece));
    return true;
}

}  // namespace

bool remove_holes(const Polygon& polygon, std::vector<Polygon>& out) {
    return split_polygon(polygon, std::numeric_limits<size_t>::max(), out);
}

bool fracture(const Polygon& polygon, size_t max_vertices, std::vector<Polygon>& out) {
    return split_polygon(polygon, std::max<size_t>(max_vertices, 5), out);
}

}  // namespace whistle
