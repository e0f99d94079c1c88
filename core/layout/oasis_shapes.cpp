#include "oasis_shapes.hpp"

#include <algorithm>

namespace whistle::layout::oasis {

namespace {

Int128 positive(int64_t v) { return v > 0 ? v : 0; }

std::optional<std::vector<FileVector>> checked(const Int128 (&xy)[4][2]) {
    std::vector<FileVector> points;
    for (const auto& p : xy) {
        if (p[0] < INT64_MIN || p[0] > INT64_MAX || p[1] < INT64_MIN || p[1] > INT64_MAX)
            return std::nullopt;
        points.push_back({int64_t(p[0]), int64_t(p[1])});
    }
    return points;
}

// One vertex of a compact trapezoid: x = xw·w + xh·h, y = yw·w + yh·h.
struct Corner {
    int8_t xw, xh, yw, yh;
};

// Vertices of every type; triangles repeat their last vertex.
constexpr Corner kCorners[26][4] = {
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, -1, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, -1, 0, 0}},
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},
    {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {1, -1, 0, 1}, {1, 0, 0, 0}},
    {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, -1, 0, 0}},
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {1, 0, 0, 1}, {1, -1, 0, 0}},
    {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, -1, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, -1, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, -1, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 1, 0}},
    {{0, 0, 1, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, -1, 1}, {1, 0, 1, 0}},
    {{0, 0, 1, 0}, {0, 0, -1, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, -1, 1}, {1, 0, 0, 1}, {1, 0, 1, 0}},
    {{0, 0, 1, 0}, {0, 0, 0, 1}, {1, 0, -1, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 1, 0}, {1, 0, 1, 0}},
    {{0, 0, 0, 0}, {1, 0, 1, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
    {{0, 0, 1, 0}, {1, 0, 1, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 1, 0, 1}, {0, 2, 0, 0}, {0, 2, 0, 0}},
    {{0, 0, 0, 1}, {0, 2, 0, 1}, {0, 1, 0, 0}, {0, 1, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 2, 0}, {1, 0, 1, 0}, {1, 0, 1, 0}},
    {{1, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 2, 0}, {1, 0, 2, 0}},
    {{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}},
    {{0, 0, 0, 0}, {0, 0, 1, 0}, {1, 0, 1, 0}, {1, 0, 0, 0}},
};

}  // namespace

std::optional<std::vector<FileVector>> trapezoid(bool vertical, int64_t x, int64_t y, int64_t w,
                                                 int64_t h, int64_t delta_a, int64_t delta_b) {
    Int128 X = x, Y = y, W = w, H = h;
    if (!vertical) {
        if (positive(delta_a) + positive(-delta_b) > W || positive(-delta_a) + positive(delta_b) > W)
            return std::nullopt;
        const Int128 xy[4][2] = {{X + positive(-delta_a), Y},
                                 {X + W - positive(delta_b), Y},
                                 {X + W - positive(-delta_b), Y + H},
                                 {X + positive(delta_a), Y + H}};
        return checked(xy);
    }
    if (positive(delta_a) + positive(-delta_b) > H || positive(-delta_a) + positive(delta_b) > H)
        return std::nullopt;
    const Int128 xy[4][2] = {{X, Y + positive(delta_a)},
                             {X + W, Y + positive(-delta_a)},
                             {X + W, Y + H - positive(delta_b)},
                             {X, Y + H - positive(-delta_b)}};
    return checked(xy);
}

bool ctrapezoid_needs_width(uint64_t type) { return type != 20 && type != 21; }

bool ctrapezoid_needs_height(uint64_t type) {
    return type < 16 || type == 20 || type == 21 || type == 24;
}

std::optional<std::vector<FileVector>> ctrapezoid(uint64_t type, int64_t x, int64_t y, int64_t w,
                                                  int64_t h) {
    if (type > 25) return std::nullopt;
    Int128 W = w, H = h;
    bool fits = true;
    if (type < 4 || type == 6 || type == 7)
        fits = W >= H;
    else if (type < 6)
        fits = W >= 2 * H;
    else if (type == 12 || type == 13)
        fits = H >= 2 * W;
    else if (type < 16)
        fits = H >= W;
    if (!fits) return std::nullopt;
    Int128 xy[4][2];
    for (int i = 0; i < 4; ++i) {
        const Corner& c = kCorners[type][i];
        xy[i][0] = Int128(x) + c.xw * W + c.xh * H;
        xy[i][1] = Int128(y) + c.yw * W + c.yh * H;
    }
    auto points = checked(xy);
    // Triangles list their last vertex twice.
    if (points && type >= 16 && type < 24) points->pop_back();
    return points;
}

}  // namespace whistle::layout::oasis
