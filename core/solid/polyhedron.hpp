// A closed triangulated solid.
#pragma once

#include <cstdint>
#include <vector>

#include "core/solid/structure3d.hpp"

namespace whistle {

// Vertex indices, counter-clockwise seen from outside.
using Triangle = std::array<uint32_t, 3>;

// True when the triangles bound a solid: every index is a vertex, no triangle is degenerate,
// every edge is shared by exactly two triangles that traverse it in opposite directions, and
// no two triangles intersect except along their shared edges and vertices. Exact on the
// integer coordinates.
bool is_closed_mesh(const std::vector<MeshVertex>& vertices, const std::vector<Triangle>& triangles);

class Polyhedron final : public Structure3D {
public:
    // The mesh is taken as given; callers check it with is_closed_mesh first.
    Polyhedron(std::shared_ptr<BaseType> medium, std::vector<MeshVertex> vertices,
               std::vector<Triangle> triangles)
        : Structure3D(TypeCode::Polyhedron, std::move(medium)), vertices_(std::move(vertices)),
          triangles_(std::move(triangles)) {}

    const std::vector<MeshVertex>& vertices() const { return vertices_; }
    const std::vector<Triangle>& triangles() const { return triangles_; }
    // Returns false and keeps the old mesh when the new one is not closed.
    bool set_mesh(std::vector<MeshVertex> vertices, std::vector<Triangle> triangles);

    std::shared_ptr<Structure3D> copy(bool deep) const override;
    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

    // ASCII PLY text, coordinates in micrometres.
    std::string ply_text() const;

private:
    std::vector<MeshVertex> vertices_;
    std::vector<Triangle> triangles_;
};

}  // namespace whistle
