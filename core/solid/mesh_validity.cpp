// Closed-mesh check: half-edge pairing, enclosed volume and pairwise triangle intersection,
// all with exact predicates (coordinates below 2^53 convert to doubles exactly).
#include <algorithm>
#include <numeric>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <boost/multiprecision/cpp_int.hpp>

#include "core/solid/polyhedron.hpp"

namespace whistle {

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;

Point to_point(const Point3& p) { return {double(p.x), double(p.y), double(p.z)}; }

// Index of the first vertex at each vertex's position: coincident vertices are one vertex.
std::vector<uint32_t> position_classes(const std::vector<Point3>& vertices) {
    auto key = [&](uint32_t i) {
        const Point3& p = vertices[i];
        return std::tuple(p.x, p.y, p.z, i);
    };
    std::vector<uint32_t> order(vertices.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    std::vector<uint32_t> classes(vertices.size());
    for (size_t k = 0; k < order.size(); ++k)
        classes[order[k]] = k > 0 && vertices[order[k]] == vertices[order[k - 1]]
                                ? classes[order[k - 1]]
                                : order[k];
    return classes;
}

uint64_t edge_key(uint32_t from, uint32_t to) { return uint64_t(from) << 32 | to; }

// Every directed edge appears once and its reverse once: closed, edge-manifold, consistently
// oriented.
bool edges_pair_up(const std::vector<Triangle>& faces) {
    std::vector<uint64_t> edges;
    edges.reserve(3 * faces.size());
    for (const Triangle& t : faces)
        for (int k = 0; k < 3; ++k) edges.push_back(edge_key(t[k], t[(k + 1) % 3]));
    std::sort(edges.begin(), edges.end());
    if (std::adjacent_find(edges.begin(), edges.end()) != edges.end()) return false;
    return std::all_of(edges.begin(), edges.end(), [&](uint64_t e) {
        return std::binary_search(edges.begin(), edges.end(), edge_key(uint32_t(e), e >> 32));
    });
}

// Six times the enclosed volume is positive: the normals point outwards.
bool encloses_positive_volume(const std::vector<Point3>& vertices,
                              const std::vector<Triangle>& faces) {
    using boost::multiprecision::int256_t;
    const Point3& o = vertices[faces[0][0]];
    auto rel = [&](uint32_t i) {
        const Point3& p = vertices[i];
        return std::array<Int128, 3>{p.x - o.x, p.y - o.y, p.z - o.z};
    };
    int256_t volume = 0;
    for (const Triangle& t : faces) {
        auto a = rel(t[0]), b = rel(t[1]), c = rel(t[2]);
        volume += int256_t(a[0]) * int256_t(b[1] * c[2] - b[2] * c[1]) -
                  int256_t(a[1]) * int256_t(b[0] * c[2] - b[2] * c[0]) +
                  int256_t(a[2]) * int256_t(b[0] * c[1] - b[1] * c[0]);
    }
    return volume > 0;
}

struct Box3 {
    std::array<Coord, 3> low, high;
};

class IntersectionTest {
public:
    IntersectionTest(const std::vector<Point3>& vertices, const std::vector<Triangle>& faces)
        : faces_(faces) {
        points_.reserve(vertices.size());
        for (const Point3& p : vertices) points_.push_back(to_point(p));
        boxes_.reserve(faces.size());
        for (const Triangle& t : faces) {
            Box3 box{{kMaxCoord, kMaxCoord, kMaxCoord}, {-kMaxCoord, -kMaxCoord, -kMaxCoord}};
            for (uint32_t i : t) {
                const Point3& p = vertices[i];
                std::array<Coord, 3> c{p.x, p.y, p.z};
                for (int d = 0; d < 3; ++d) {
                    box.low[d] = std::min(box.low[d], c[d]);
                    box.high[d] = std::max(box.high[d], c[d]);
                }
            }
            boxes_.push_back(box);
        }
    }

    // Sort-and-sweep along x; pairs whose boxes overlap get the exact test.
    bool any() const {
        std::vector<uint32_t> order(faces_.size());
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return boxes_[a].low[0] < boxes_[b].low[0]; });
        for (size_t i = 0; i < order.size(); ++i) {
            const Box3& a = boxes_[order[i]];
            for (size_t j = i + 1; j < order.size() && boxes_[order[j]].low[0] <= a.high[0]; ++j) {
                const Box3& b = boxes_[order[j]];
                if (a.low[1] <= b.high[1] && b.low[1] <= a.high[1] && a.low[2] <= b.high[2] &&
                    b.low[2] <= a.high[2] && intersect(faces_[order[i]], faces_[order[j]]))
                    return true;
            }
        }
        return false;
    }

private:
    Kernel::Triangle_3 triangle(const Triangle& t) const {
        return {points_[t[0]], points_[t[1]], points_[t[2]]};
    }

    // True when the triangles share more than their common vertices and edge.
    bool intersect(const Triangle& s, const Triangle& t) const {
        std::vector<uint32_t> own_s, own_t, shared;
        for (uint32_t i : s) (std::find(t.begin(), t.end(), i) != t.end() ? shared : own_s).push_back(i);
        for (uint32_t i : t)
            if (std::find(s.begin(), s.end(), i) == s.end()) own_t.push_back(i);
        switch (shared.size()) {
            case 0:
                return CGAL::do_intersect(triangle(s), triangle(t));
            case 1: {
                // The common part is more than the vertex exactly when the edge opposite the
                // vertex in one triangle meets the other triangle.
                Kernel::Segment_3 edge_s(points_[own_s[0]], points_[own_s[1]]);
                Kernel::Segment_3 edge_t(points_[own_t[0]], points_[own_t[1]]);
                return CGAL::do_intersect(edge_s, triangle(t)) ||
                       CGAL::do_intersect(edge_t, triangle(s));
            }
            case 2: {
                // Neighbours overlap only when folded onto each other in one plane.
                const Point& u = points_[shared[0]];
                const Point& v = points_[shared[1]];
                const Point& a = points_[own_s[0]];
                const Point& b = points_[own_t[0]];
                return CGAL::coplanar(u, v, a, b) &&
                       CGAL::coplanar_orientation(u, v, a, b) == CGAL::POSITIVE;
            }
            default:
                return true;
        }
    }

    const std::vector<Triangle>& faces_;
    std::vector<Point> points_;
    std::vector<Box3> boxes_;
};

}  // namespace

bool is_closed_mesh(const std::vector<Point3>& vertices, const std::vector<Triangle>& triangles) {
    if (triangles.empty()) return false;
    for (const Point3& p : vertices)
        if (!in_range(p.x) || !in_range(p.y) || !in_range(p.z)) return false;
    std::vector<uint32_t> classes = position_classes(vertices);
    std::vector<Triangle> faces;
    faces.reserve(triangles.size());
    for (const Triangle& t : triangles) {
        for (uint32_t i : t)
            if (i >= vertices.size()) return false;
        if (CGAL::collinear(to_point(vertices[t[0]]), to_point(vertices[t[1]]),
                            to_point(vertices[t[2]])))
            return false;
        faces.push_back({classes[t[0]], classes[t[1]], classes[t[2]]});
    }
    return edges_pair_up(faces) && encloses_positive_volume(vertices, faces) &&
           !IntersectionTest(vertices, faces).any();
}

}  // namespace whistle
