#include "fracture.hpp"

#include <algorithm>
#include <exception>
#include <limits>

#include "set_operations.hpp"

namespace whistle {

namespace {

// Each cut at least halves the distinct coordinates along one axis of a piece, so real input
// never comes near this; it only guards against pieces that refuse to shrink.
constexpr int kMaxDepth = 96;

// Splits polygons with straight axis-parallel cuts, each piece clipped exactly by the set
// operations, until every piece is hole-free and has at most `max_vertices` vertices.
class Splitter {
public:
    explicit Splitter(size_t max_vertices) : max_vertices_(max_vertices) {}

    bool split(const Polygon& polygon, std::vector<Polygon>& out, int depth = 0) const {
        if (polygon.holes().empty() && polygon.vertices().size() <= max_vertices_) {
            out.push_back(polygon);
            return true;
        }
        if (depth >= kMaxDepth) return false;
        int axis = 0;
        Coord cut = 0;
        if (!choose_cut(polygon, axis, cut)) return false;
        Bounds box = ring_bounds(polygon.vertices());
        Bounds low = box, high = box;
        (axis == 0 ? low.x_max : low.y_max) = cut;
        (axis == 0 ? high.x_min : high.y_min) = cut;
        for (const Bounds& half : {low, high})
            for (const Polygon& piece : clip(polygon, half))
                if (!split(piece, out, depth + 1)) return false;
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

    static Coord coordinate(const Vector& p, int axis) { return axis == 0 ? p.x : p.y; }

    // The median of the distinct vertex coordinates strictly inside the outer extent along
    // `axis`; false when there is none.
    static bool median_cut(const Ring& ring, int axis, Coord& cut, size_t& count) {
        std::vector<Coord> values;
        values.reserve(ring.size());
        for (const Vector& p : ring) values.push_back(coordinate(p, axis));
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        count = values.size() < 2 ? 0 : values.size() - 2;
        if (count == 0) return false;
        cut = values[1 + (count - 1) / 2];
        return true;
    }

    // Holes are opened by a cut across the first hole's extent (a cut touching the hole
    // suffices); long outlines are halved along the axis with more distinct coordinates.
    static bool choose_cut(const Polygon& polygon, int& axis, Coord& cut) {
        if (!polygon.holes().empty()) {
            Bounds hole = ring_bounds(polygon.holes().front());
            axis = hole.x_max - hole.x_min >= hole.y_max - hole.y_min ? 0 : 1;
            Coord low = axis == 0 ? hole.x_min : hole.y_min;
            Coord high = axis == 0 ? hole.x_max : hole.y_max;
            cut = low + (high - low) / 2;
            return true;
        }
        Coord cuts[2];
        size_t counts[2];
        bool found[2];
        for (int a = 0; a < 2; ++a) found[a] = median_cut(polygon.vertices(), a, cuts[a], counts[a]);
        if (!found[0] && !found[1]) return false;
        axis = found[0] && (!found[1] || counts[0] >= counts[1]) ? 0 : 1;
        cut = cuts[axis];
        return true;
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
