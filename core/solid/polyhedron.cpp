#include "core/solid/polyhedron.hpp"

#include "core/foundation/text.hpp"
#include "core/geometry/structure.hpp"

namespace whistle {

bool Polyhedron::set_mesh(std::vector<MeshVertex> vertices, std::vector<Triangle> triangles) {
    if (!is_closed_mesh(vertices, triangles)) return false;
    vertices_ = std::move(vertices);
    triangles_ = std::move(triangles);
    return true;
}

std::shared_ptr<Structure3D> Polyhedron::copy(bool) const {
    return std::make_shared<Polyhedron>(*this);
}

namespace {

std::string vertex_text(const MeshVertex& p) {
    std::string text(1, '(');  // built by appending: GCC 12 misreports "(" + string
    return text.append(length_text(double(p.x))).append(", ").append(length_text(double(p.y)))
        .append(", ").append(length_text(double(p.z))).append(")");
}

std::string triangle_text(const Triangle& t) {
    std::string text(1, '(');
    return text.append(std::to_string(t[0])).append(", ").append(std::to_string(t[1]))
        .append(", ").append(std::to_string(t[2])).append(")");
}

template <class T, class Text>
std::string list_text(const std::vector<T>& items, Text text) {
    std::string result = "[";
    for (size_t i = 0; i < items.size(); ++i) result += (i ? ", " : "") + text(items[i]);
    return result + "]";
}

}  // namespace

std::string Polyhedron::str(bool representation) const {
    if (!representation)
        return "Polyhedron with " + std::to_string(vertices_.size()) + " vertices and " +
               std::to_string(triangles_.size()) + " triangles";
    return "Polyhedron(medium=" + medium_text() + ", vertices=" + list_text(vertices_, vertex_text) +
           ", triangles=" + list_text(triangles_, triangle_text) + ")";
}

bool Polyhedron::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const Polyhedron&>(other);
    return same_medium(o) && vertices_ == o.vertices_ && triangles_ == o.triangles_;
}

std::string Polyhedron::ply_text() const {
    std::string text = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(vertices_.size()) +
                       "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                       std::to_string(triangles_.size()) +
                       "\nproperty list uchar int vertex_indices\nend_header\n";
    for (const MeshVertex& p : vertices_)
        text += shortest_text(from_db(p.x)) + " " + shortest_text(from_db(p.y)) + " " +
                shortest_text(from_db(p.z)) + "\n";
    for (const Triangle& t : triangles_)
        text += "3 " + std::to_string(t[0]) + " " + std::to_string(t[1]) + " " +
                std::to_string(t[2]) + "\n";
    return text;
}

}  // namespace whistle
