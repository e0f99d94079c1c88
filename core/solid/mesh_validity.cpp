// Closed-mesh check: half-edge pairing, enclosed volume and pairwise triangle intersection,
// all with exact predicates (coordinates below 2^53 convert to doubles exactly).
#include <algorithm>
#include <numeric>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <boost/container/static_vector.hpp>
#include <boost/multiprecision/cpp_int.hpp>

#include "core/solid/polyhedron.hpp"

namespace whistle {

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;

Point to_point(const MeshVertex& p) { return {double(p.x), double(p.y), double(p.z)}; }

// Index of the first vertex at each vertex's position: coincident vertices are one vertex.
std::vector<uint32_t> position_classes(const std::vector<MeshVertex>& vertices) {
    auto key = [&](uint32_t i) {
        const MeshVertex& p = vertices[i];
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
bool encloses_positive_volume(const std::vector<MeshVertex>& vertices,
                              const std::vector<Triangle>& faces) {
    using boost::multiprecision::int256_t;
    const MeshVertex& o = vertices[faces[0][0]];
    auto rel = [&](uint32_t i) {
        const MeshVertex& p = vertices[i];
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
    IntersectionTest(const std::vector<MeshVertex>& vertices, const std::vector<Triangle>& faces)
        : faces_(faces) {
        points_.reserve(vertices.size());
        for (const MeshVertex& p : vertices) points_.push_back(to_point(p));
        boxes_.reserve(faces.size());
        for (const Triangle& t : faces) {
            Box3 box{{kMaxCoord, kMaxCoord, kMaxCoord}, {-kMaxCoord, -kMaxCoord, -kMaxCoord}};
            for (uint32_t i : t) {
                const MeshVertex& p = vertices[i];
                std::array<Coord, 3> c{p.x, p.y, p.z};
                for (int d = 0; d < 3; ++d) {
                    box.low[d] = std::min(box.low[d], c[d]);
                    box.high[d] = std::max(box.high[d], c[d]);
                }
            }
            boxes_.push_back(box);
        }
    }

    // Faces are binned into a uniform grid of cubic cells; each pair of faces whose boxes
    // overlap is tested once, in the first cell their boxes share.
    bool any() const {
        Grid grid = choose_grid();
        std::vector<std::pair<uint64_t, uint32_t>> entries;
        entries.reserve(grid.entries);
        for (uint32_t f = 0; f < faces_.size(); ++f) {
            auto [low, high] = grid.cells(boxes_[f]);
            for (uint64_t x = low[0]; x <= high[0]; ++x)
                for (uint64_t y = low[1]; y <= high[1]; ++y)
                    for (uint64_t z = low[2]; z <= high[2]; ++z)
                        entries.push_back({grid.key({x, y, z}), f});
        }
        std::sort(entries.begin(), entries.end());
        for (size_t begin = 0; begin < entries.size();) {
            size_t end = begin;
            while (end < entries.size() && entries[end].first == entries[begin].first) ++end;
            for (size_t i = begin; i < end; ++i)
                for (size_t j = i + 1; j < end; ++j)
                    if (first_shared_cell(grid, entries[i].second, entries[j].second,
                                          entries[i].first) &&
                        intersect(faces_[entries[i].second], faces_[entries[j].second]))
                        return true;
            begin = end;
        }
        return false;
    }

private:
    // Cubic cells of side `size` from `origin`, at most 2^21 along each axis.
    struct Grid {
        std::array<Coord, 3> origin;
        Coord size;
        size_t entries;  // cells covered, summed over the faces

        std::pair<std::array<uint64_t, 3>, std::array<uint64_t, 3>> cells(const Box3& box) const {
            std::array<uint64_t, 3> low, high;
            for (int d = 0; d < 3; ++d) {
                low[d] = uint64_t((box.low[d] - origin[d]) / size);
                high[d] = uint64_t((box.high[d] - origin[d]) / size);
            }
            return {low, high};
        }
        static uint64_t key(const std::array<uint64_t, 3>& cell) {
            return cell[0] << 42 | cell[1] << 21 | cell[2];
        }
    };

    // Cells about as large as a typical face, coarser while the faces would cover more than
    // eight cells each on average.
    Grid choose_grid() const {
        Box3 all = boxes_[0];
        Int128 extents = 0;
        for (const Box3& box : boxes_)
            for (int d = 0; d < 3; ++d) {
                all.low[d] = std::min(all.low[d], box.low[d]);
                all.high[d] = std::max(all.high[d], box.high[d]);
                extents += box.high[d] - box.low[d];
            }
        Coord span = 1;
        for (int d = 0; d < 3; ++d) span = std::max(span, all.high[d] - all.low[d] + 1);
        Coord size = std::max({Coord(extents / (3 * Int128(boxes_.size()))), span >> 20, Coord(1)});
        for (;; size *= 2) {
            Grid grid{all.low, size, 0};
            for (const Box3& box : boxes_) {
                auto [low, high] = grid.cells(box);
                grid.entries += (high[0] - low[0] + 1) * (high[1] - low[1] + 1) * (high[2] - low[2] + 1);
                if (grid.entries > 8 * boxes_.size()) break;
            }
            if (grid.entries <= 8 * boxes_.size()) return grid;
        }
    }

    // The boxes overlap and `cell` is the lowest cell of their common part.
    bool first_shared_cell(const Grid& grid, uint32_t f, uint32_t g, uint64_t cell) const {
        const Box3 &a = boxes_[f], &b = boxes_[g];
        Box3 common;
        for (int d = 0; d < 3; ++d) {
            common.low[d] = std::max(a.low[d], b.low[d]);
            common.high[d] = std::min(a.high[d], b.high[d]);
            if (common.low[d] > common.high[d]) return false;
        }
        return Grid::key(grid.cells(common).first) == cell;
    }

    Kernel::Triangle_3 triangle(const Triangle& t) const {
        return {points_[t[0]], points_[t[1]], points_[t[2]]};
    }

    // True when every vertex of t lies strictly on the same side of the plane of s.
    bool one_side(const Triangle& s, const Triangle& t) const {
        const Point &p = points_[s[0]], &q = points_[s[1]], &r = points_[s[2]];
        CGAL::Orientation side = CGAL::orientation(p, q, r, points_[t[0]]);
        return side != CGAL::COPLANAR && side == CGAL::orientation(p, q, r, points_[t[1]]) &&
               side == CGAL::orientation(p, q, r, points_[t[2]]);
    }

    // True when the segment from vertex a to vertex b meets the triangle. Segments on one side
    // of the triangle's plane, the common case between neighbours, are settled by two
    // orientation tests.
    bool meets(uint32_t a, uint32_t b, const Triangle& t) const {
        const Point &p = points_[t[0]], &q = points_[t[1]], &r = points_[t[2]];
        CGAL::Orientation side_a = CGAL::orientation(p, q, r, points_[a]);
        if (side_a != CGAL::COPLANAR && side_a == CGAL::orientation(p, q, r, points_[b]))
            return false;
        return CGAL::do_intersect(Kernel::Segment_3(points_[a], points_[b]), triangle(t));
    }

    // True when the triangles share more than their common vertices and edge.
    bool intersect(const Triangle& s, const Triangle& t) const {
        boost::container::static_vector<uint32_t, 3> own_s, own_t, shared;
        for (uint32_t i : s) (std::find(t.begin(), t.end(), i) != t.end() ? shared : own_s).push_back(i);
        for (uint32_t i : t)
            if (std::find(s.begin(), s.end(), i) == s.end()) own_t.push_back(i);
        switch (shared.size()) {
            case 0:
                return !one_side(s, t) && !one_side(t, s) &&
                       CGAL::do_intersect(triangle(s), triangle(t));
            case 1: {
                // The common part is more than the vertex exactly when the edge opposite the
                // vertex in one triangle meets the other triangle.
                return meets(own_s[0], own_s[1], t) || meets(own_t[0], own_t[1], s);
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

bool is_closed_mesh(const std::vector<MeshVertex>& vertices, const std::vector<Triangle>& triangles) {
    if (triangles.empty()) return false;
    for (const MeshVertex& p : vertices)
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
