// The only user of the 2D triangulation library: kept in one translation unit for build time.
#include "core/solid/triangulation.hpp"

#include <limits>
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

// Vertices remember their input index; faces their nesting depth.
struct VertexIndex {
    uint32_t index = kNoIndex;
};
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<VertexIndex, Kernel>;
using FaceBase = CGAL::Triangulation_face_base_with_info_2<
    int, Kernel, CGAL::Constrained_triangulation_face_base_2<Kernel>>;
using Data = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Crossing constraints would need new, rounded points: refused instead.
using Triangulation = CGAL::Constrained_Delaunay_triangulation_2<
    Kernel, Data, CGAL::No_constraint_intersection_requiring_constructions_tag>;

void insert_rings(Triangulation& cdt, std::span<const Vector> vertices,
                  std::span<const uint32_t> ring_ends) {
    std::vector<Triangulation::Vertex_handle> handles(vertices.size());
    Triangulation::Vertex_handle hint;
    for (size_t i = 0; i < vertices.size(); ++i) {
        // Consecutive ring vertices are close: the previous one is a good place to start from.
        hint = cdt.insert(Kernel::Point_2(double(vertices[i].x), double(vertices[i].y)),
                          hint == Triangulation::Vertex_handle() ? Triangulation::Face_handle()
                                                                 : hint->face());
        if (hint->info().index == kNoIndex) hint->info().index = uint32_t(i);
        handles[i] = hint;
    }
    uint32_t start = 0;
    for (uint32_t end : ring_ends) {
        for (uint32_t i = start; i < end; ++i) {
            auto a = handles[i], b = handles[i + 1 < end ? i + 1 : start];
            if (a != b) cdt.insert_constraint(a, b);
        }
        start = end;
    }
}

// Flood fill from the outside: crossing a ring edge changes the depth parity.
void mark_depths(Triangulation& cdt) {
    for (auto face : cdt.all_face_handles()) face->info() = kUnvisited;
    std::queue<Triangulation::Face_handle> queue;
    cdt.infinite_face()->info() = 0;
    queue.push(cdt.infinite_face());
    while (!queue.empty()) {
        auto face = queue.front();
        queue.pop();
        for (int i = 0; i < 3; ++i) {
            auto next = face->neighbor(i);
            if (next->info() != kUnvisited) continue;
            next->info() = face->info() + (cdt.is_constrained({face, i}) ? 1 : 0);
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
        if (face->info() % 2 == 1)
            triangles.push_back({face->vertex(0)->info().index, face->vertex(1)->info().index,
                                 face->vertex(2)->info().index});
    return triangles;
}

}  // namespace whistle
