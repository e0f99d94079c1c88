#include "element_shape.hpp"

#include <cstring>

#include "core/geometry/circle.hpp"
#include "core/geometry/path.hpp"
#include "core/geometry/polygon.hpp"
#include "core/geometry/rectangle.hpp"

namespace whistle::layout {

namespace {

template <class T>
void append(std::string& out, const T& value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
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

std::string ElementShape::key() const {
    std::string out;
    out.reserve(32 + 16 * points.size());
    append(out, kind);
    append(out, layer.layer);
    append(out, layer.datatype);
    append(out, size);
    append(out, absolute_width);
    append(out, round_ends);
    append(out, begin_extension);
    append(out, end_extension);
    for (const Vector& p : points) {
        append(out, p.x - origin().x);
        append(out, p.y - origin().y);
    }
    return out;
}

std::string reference_key(const std::string& cell, const ElementTransform& transform) {
    std::string out(1, 'R');  // above every Kind
    append(out, transform.magnification);
    append(out, transform.rotation);
    append(out, transform.x_reflection);
    return out + cell;
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
