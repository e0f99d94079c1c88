#include "element_shape.hpp"

#include "core/geometry/circle.hpp"
#include "core/geometry/path.hpp"
#include "core/geometry/polygon.hpp"
#include "core/geometry/rectangle.hpp"

namespace whistle::layout {

namespace {

template <class T>
void combine(size_t& seed, const T& value) {
    seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}

// The rectangle of an axis-aligned four-vertex outline with a center on integers.
std::shared_ptr<Structure> as_rectangle(const std::vector<Vector>& v) {
    if (v.size() != 4) return nullptr;
    bool horizontal_first = v[0].y == v[1].y && v[1].x == v[2].x && v[2].y == v[3].y && v[3].x == v[0].x;
    bool vertical_first = v[0].x == v[1].x && v[1].y == v[2].y && v[2].x == v[3].x && v[3].y == v[0].y;
    if (!horizontal_first && !vertical_first) return nullptr;
    const Vector& a = v[0];
    const Vector& b = v[2];
    if (a.x == b.x || a.y == b.y || (a.x + b.x) % 2 != 0 || (a.y + b.y) % 2 != 0) return nullptr;
    Vector center{(a.x + b.x) / 2, (a.y + b.y) / 2};
    Vector size{a.x > b.x ? a.x - b.x : b.x - a.x, a.y > b.y ? a.y - b.y : b.y - a.y};
    return std::make_shared<Rectangle>(center, size, 0.0);
}

}  // namespace

bool ElementShape::same_shape(const ElementShape& other) const {
    if (kind != other.kind || layer != other.layer || size != other.size ||
        absolute_width != other.absolute_width || round_ends != other.round_ends ||
        begin_extension != other.begin_extension || end_extension != other.end_extension ||
        points.size() != other.points.size())
        return false;
    for (size_t i = 1; i < points.size(); ++i)
        if (points[i] - origin() != other.points[i] - other.origin()) return false;
    return true;
}

size_t ElementShape::hash() const {
    size_t seed = size_t(kind);
    combine(seed, layer.layer);
    combine(seed, layer.datatype);
    combine(seed, size);
    combine(seed, absolute_width);
    combine(seed, round_ends);
    combine(seed, begin_extension);
    combine(seed, end_extension);
    for (const Vector& p : points) {
        combine(seed, p.x - origin().x);
        combine(seed, p.y - origin().y);
    }
    return seed;
}

size_t placement_hash(const std::string& cell, const ElementTransform& transform) {
    size_t seed = std::hash<std::string>{}(cell);
    combine(seed, transform.magnification);
    combine(seed, transform.rotation);
    combine(seed, transform.x_reflection);
    return seed;
}

bool same_transform(const ElementTransform& a, const ElementTransform& b) {
    return a.magnification == b.magnification && a.rotation == b.rotation &&
           a.x_reflection == b.x_reflection;
}

std::shared_ptr<Structure> ElementShape::make(ErrorHandler& status) const {
    switch (kind) {
        case Kind::Circle:
            return std::make_shared<Circle>(Vector{size, size}, Vector{}, points.front());
        case Kind::Path: {
            std::array<Path::Cap, 2> caps{Path::Cap{begin_extension, round_ends},
                                          Path::Cap{end_extension, round_ends}};
            auto path = std::make_shared<Path>(points.front(), size, 0, caps, !absolute_width);
            path->segment({points.begin() + 1, points.end()}, nullptr, nullptr, -1.0, false,
                          10000, 10000, status);
            return status.failed() ? nullptr : path;
        }
        case Kind::Polygon:
            break;
    }
    if (auto rectangle = as_rectangle(points)) return rectangle;
    return std::make_shared<Polygon>(points);
}

}  // namespace whistle::layout
