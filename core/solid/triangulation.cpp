// The only user of the 2D triangulation library: kept in one translation unit for build time.
#include "core/solid/triangulation.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <queue>
#include <stdexcept>

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

namespace whistle {

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
constexpr uint32_t kNoIndex = std::numeric_limits<uint32_t>::max();
constexpr int kUnvisited = -1;

// Vertices remember their input index; faces their nesting depth and, per edge, how many
// ring edges run along it (rings may share edges, which then cancel in pairs).
struct VertexIndex {
    uint32_t index = kNoIndex;
};
struct FaceInfo {
    int depth = kUnvisited;
    std::array<uint32_t, 3> ring_edges{};
};
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<VertexIndex, Kernel>;
using FaceBase = CGAL::Triangulation_face_base_with_info_2<
    FaceInfo, Kernel, CGAL::Constrained_triangulation_face_base_2<Kernel>>;
using Data = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Crossing constraints would need new, rounded points: refused instead.
using Triangulation = CGAL::Constrained_Delaunay_triangulation_2<
    Kernel, Data, CGAL::No_constraint_intersection_requiring_constructions_tag>;

// The vertex of each input point. Coincident points share one vertex, which remembers the
// first of them.
std::vector<Triangulation::Vertex_handle> insert_points(Triangulation& cdt,
                                                        std::span<const Vector> vertices) {
    std::vector<std::pair<Kernel::Point_2, VertexIndex>> points;
    points.reserve(vertices.size());
    for (size_t i = 0; i < vertices.size(); ++i)
        points.push_back({{double(vertices[i].x), double(vertices[i].y)}, {uint32_t(i)}});
    // Bulk insertion sorts the points spatially first: much faster than ring order.
    cdt.insert(points.begin(), points.end());
    std::vector<Triangulation::Vertex_handle> handles(vertices.size());
    for (auto v : cdt.finite_vertex_handles()) handles[v->info().index] = v;
    if (cdt.number_of_vertices() == vertices.size()) return handles;  // no coincident points
    std::vector<uint32_t> order(vertices.size());
    std::iota(order.begin(), order.end(), 0u);
    auto position = [&](uint32_t i) { return std::pair(vertices[i].x, vertices[i].y); };
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return std::pair(position(a), a) < std::pair(position(b), b);
    });
    for (size_t k = 0; k < order.size();) {
        size_t end = k;
        Triangulation::Vertex_handle kept;
        for (; end < order.size() && position(order[end]) == position(order[k]); ++end)
            if (handles[order[end]] != Triangulation::Vertex_handle()) kept = handles[order[end]];
        kept->info().index = order[k];
        for (; k < end; ++k) handles[order[k]] = kept;
    }
    return handles;
}

using Vertex = Triangulation::Vertex_handle;

void count_ring_edge(Triangulation::Face_handle face, int i) {
    ++face->info().ring_edges[i];
    auto other = face->neighbor(i);
    ++other->info().ring_edges[other->index(face)];
}

// The triangulation edges covering the segment a–b: one edge, or several when other input
// points lie on the segment.
void count_ring_edges(const Triangulation& cdt, Vertex a, Vertex b) {
    Triangulation::Face_handle face;
    int i;
    while (a != b) {
        if (cdt.is_edge(a, b, face, i)) {
            count_ring_edge(face, i);
            return;
        }
        Vertex next;
        auto around = cdt.incident_vertices(a), done = around;
        do {
            if (!cdt.is_infinite(around) &&
                CGAL::are_strictly_ordered_along_line(a->point(), around->point(), b->point()))
                next = around;
        } while (next == Vertex() && ++around != done);
        // Unreachable: an inserted constraint is a chain of triangulation edges.
        if (next == Vertex() || !cdt.is_edge(a, next, face, i)) return;
        count_ring_edge(face, i);
        a = next;
    }
}

void insert_rings(Triangulation& cdt, std::span<const Vector> vertices,
                  std::span<const uint32_t> ring_ends) {
    std::vector<Vertex> handles = insert_points(cdt, vertices);
    auto each_edge = [&](auto action) {
        uint32_t start = 0;
        for (uint32_t end : ring_ends) {
            for (uint32_t i = start; i < end; ++i) {
                Vertex a = handles[i], b = handles[i + 1 < end ? i + 1 : start];
                if (a != b) action(a, b);
            }
            start = end;
        }
    };
    each_edge([&](Vertex a, Vertex b) { cdt.insert_constraint(a, b); });
    each_edge([&](Vertex a, Vertex b) { count_ring_edges(cdt, a, b); });
}

// Flood fill from the outside: the depth parity changes across an odd number of ring edges.
void mark_depths(Triangulation& cdt) {
    std::queue<Triangulation::Face_handle> queue;
    cdt.infinite_face()->info().depth = 0;
    queue.push(cdt.infinite_face());
    while (!queue.empty()) {
        auto face = queue.front();
        queue.pop();
        for (int i = 0; i < 3; ++i) {
            auto next = face->neighbor(i);
            if (next->info().depth != kUnvisited) continue;
            next->info().depth = face->info().depth + int(face->info().ring_edges[i] % 2);
            queue.push(next);
        }
    }
}

}  // namespace

std::vector<std::array<uint32_t, 3>> triangulate(std::span<const Vector> vertices,
                                                 std::span<const uint32_t> ring_ends) {
    uint32_t previous = 0;
    for (uint32_t end : ring_ends) {
        if (end < previous || end > vertices.size())
            throw std::invalid_argument(
                "Ring ends must be non-decreasing and within the vertex count.");
        previous = end;
    }
    Triangulation cdt;
    try {
        insert_rings(cdt, vertices.first(previous), ring_ends);
    } catch (const Triangulation::Intersection_of_constraints_exception&) {
        throw std::invalid_argument("Polygon rings must not cross each other.");
    }
    std::vector<std::array<uint32_t, 3>> triangles;
    if (cdt.dimension() < 2) return triangles;  // no area
    mark_depths(cdt);
    for (auto face : cdt.finite_face_handles())
        if (face->info().depth % 2 == 1)
            triangles.push_back({face->vertex(0)->info().index, face->vertex(1)->info().index,
                                 face->vertex(2)->info().index});
    return triangles;
}

}  // namespace whistle
