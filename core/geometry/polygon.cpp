#include "polygon.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {

// Snaps, removes consecutive repeats and a closing point equal to the first.
void normalize_ring(Ring& ring) {
    snap_to_grid(ring);
    // Snapping can move a point half a grid step beyond the range.
    check_range_all(ring);
    ring.erase(std::unique(ring.begin(), ring.end()), ring.end());
    if (ring.size() > 1 && ring.back() == ring.front()) ring.pop_back();
}

bool ring_degenerate(const Ring& ring) { return ring.size() < 3 || Polygon::double_area(ring) == 0; }

int sign(Int128 v) { return (v > 0) - (v < 0); }

// The edges (ring[i], ring[i + 1]) of a ring sorted into horizontal bands, so that the edges
// that reach a given height are found without scanning the whole ring.
class EdgeBands {
public:
    explicit EdgeBands(const Ring& ring) : ring_(ring) {
        Bounds bounds = ring_bounds(ring);
        y_min_ = bounds.y_min;
        y_max_ = bounds.y_max;
        height_ = band_height();
        // Compressed rows: the edges of band k are edges_[starts_[k]] … edges_[starts_[k + 1] − 1].
        starts_.assign(band(y_max_) + 2, 0);
        for_each_entry([this](size_t band, size_t) { ++starts_[band + 1]; });
        std::partial_sum(starts_.begin(), starts_.end(), starts_.begin());
        edges_.resize(starts_.back());
        std::vector<size_t> next(starts_.begin(), starts_.end() - 1);
        for_each_entry([&](size_t band, size_t edge) { edges_[next[band]++] = edge; });
    }

    const Vector& start(size_t edge) const { return ring_[edge]; }
    const Vector& end(size_t edge) const { return ring_[edge + 1 < ring_.size() ? edge + 1 : 0]; }

    // Calls visit(edge) for every edge whose y range may meet [y0, y1]; an edge that spans
    // several bands of that range is visited once per band.
    template <class Visit>
    void for_each_near(Coord y0, Coord y1, Visit visit) const {
        if (ring_.empty() || y1 < y_min_ || y0 > y_max_) return;
        size_t last = band(std::min(y1, y_max_));
        for (size_t k = band(std::max(y0, y_min_)); k <= last; ++k)
            for (size_t i = starts_[k]; i < starts_[k + 1]; ++i) visit(edges_[i]);
    }

private:
    std::pair<Coord, Coord> edge_span(size_t edge) const {
        return std::minmax(start(edge).y, end(edge).y);
    }

    size_t band(Coord y) const { return size_t((uint64_t(y) - uint64_t(y_min_)) / height_); }

    // About two entries per edge: rings whose edges span much of the height get few bands.
    uint64_t band_height() const {
        double span = double(uint64_t(y_max_) - uint64_t(y_min_));
        double covered = 0;
        for (size_t i = 0; i < ring_.size(); ++i) {
            auto [low, high] = edge_span(i);
            covered += double(uint64_t(high) - uint64_t(low));
        }
        double edges = double(std::max<size_t>(ring_.size(), 1));
        double bands = std::clamp(edges * span / std::max(covered, 1.0), 1.0, edges);
        // In integers: the span may need all 64 bits, beyond exact doubles.
        uint64_t height = (uint64_t(y_max_) - uint64_t(y_min_)) / uint64_t(bands);
        return height == UINT64_MAX ? height : height + 1;
    }

    // Calls f(band, edge) for every band that every edge reaches.
    template <class F>
    void for_each_entry(F f) const {
        for (size_t i = 0; i < ring_.size(); ++i) {
            auto [low, high] = edge_span(i);
            for (size_t k = band(low); k <= band(high); ++k) f(k, i);
        }
    }

    const Ring& ring_;
    Coord y_min_ = 0, y_max_ = 0;
    uint64_t height_ = 1;
    std::vector<size_t> starts_;
    std::vector<size_t> edges_;
};

// Location of the point p / scale relative to a ring: 1 inside, 0 on the boundary, -1 outside.
// Working on scaled coordinates keeps edge midpoints exact (scale 2).
int locate(const EdgeBands& ring, Int128 px, Int128 py, Coord scale) {
    int winding = 0;
    bool on_boundary = false;
    // Only edges reaching the height of p can touch p or cross its horizontal ray.
    Coord y = Coord(py >= 0 ? py / scale : (py - scale + 1) / scale);  // floor(py / scale)
    ring.for_each_near(y, y, [&](size_t edge) {
        const Vector& a = ring.start(edge);
        const Vector& b = ring.end(edge);
        Int128 ay = Int128(a.y) * scale, by = Int128(b.y) * scale;
        if ((ay > py && by > py) || (ay < py && by < py)) return;
        Int128 ax = Int128(a.x) * scale, bx = Int128(b.x) * scale;
        Int128 side = (bx - ax) * (py - ay) - (by - ay) * (px - ax);
        if (side == 0 && std::min(ax, bx) <= px && px <= std::max(ax, bx)) on_boundary = true;
        if (ay <= py) {
            if (by > py && side > 0) ++winding;
        } else if (by <= py && side < 0) {
            --winding;
        }
    });
    if (on_boundary) return 0;
    return winding != 0 ? 1 : -1;
}

// Segments ab and cd cross at a single point interior to both.
bool cross_properly(const Vector& a, const Vector& b, const Vector& c, const Vector& d) {
    // Segments whose bounding boxes do not meet cannot cross: a cheap test for most pairs.
    if (std::max(a.x, b.x) < std::min(c.x, d.x) || std::max(c.x, d.x) < std::min(a.x, b.x) ||
        std::max(a.y, b.y) < std::min(c.y, d.y) || std::max(c.y, d.y) < std::min(a.y, b.y))
        return false;
    int s1 = sign(cross(b - a, c - a)), s2 = sign(cross(b - a, d - a));
    int s3 = sign(cross(d - c, a - c)), s4 = sign(cross(d - c, b - c));
    return s1 * s2 < 0 && s3 * s4 < 0;
}

bool hole_inside(const Ring& hole, const EdgeBands& exterior) {
    size_t n = hole.size();
    for (size_t i = 0; i < n; ++i) {
        const Vector& a = hole[i];
        const Vector& b = hole[i + 1 < n ? i + 1 : 0];
        if (locate(exterior, a.x, a.y, 1) < 0) return false;
        if (locate(exterior, Int128(a.x) + b.x, Int128(a.y) + b.y, 2) < 0) return false;
        bool crossed = false;
        exterior.for_each_near(std::min(a.y, b.y), std::max(a.y, b.y), [&](size_t edge) {
            crossed = crossed || cross_properly(a, b, exterior.start(edge), exterior.end(edge));
        });
        if (crossed) return false;
    }
    return true;
}

double ring_length(const Ring& ring) {
    double total = 0;
    for (size_t i = 0; i < ring.size(); ++i)
        total += (ring[(i + 1) % ring.size()] - ring[i]).length();
    return total;
}

// Keeps every vertex that is not exactly collinear with the last kept vertex and the next one.
Ring without_collinear(const Ring& ring) {
    size_t n = ring.size();
    Ring kept{ring[0]};
    for (size_t i = 1; i < n; ++i) {
        const Vector& next = ring[(i + 1) % n];
        if (cross(ring[i] - kept.back(), next - ring[i]) != 0) kept.push_back(ring[i]);
    }
    if (kept.size() > 3 && cross(kept[0] - kept.back(), kept[1] - kept[0]) == 0)
        kept.erase(kept.begin());
    return kept;
}

// Appends the corner P (between A and B) rounded with an arc of at most `radius`.
void fillet_corner(const Vector& a, const Vector& p, const Vector& b, double radius, Ring& out) {
    const double tolerance = double(config().tolerance);
    Vec2 pf(p);
    Vec2 e1 = pf - Vec2(a), e2 = Vec2(b) - pf;
    double d1 = e1.length(), d2 = e2.length();
    if (d1 < 2 * tolerance || d2 < 2 * tolerance) return out.push_back(p);
    Vec2 u1 = e1 / d1, u2 = e2 / d2;
    double cos_theta = dot(u1, u2);
    if (1.0 - std::fabs(cos_theta) < 1e-10) return out.push_back(p);
    double theta = std::acos(cos_theta);
    double t = std::tan(theta / 2);
    // Each tangent point stays within the first half of its edge.
    if (t * radius > d1 / 2) radius = d1 / 2 / t;
    if (t * radius > d2 / 2) radius = d2 / 2 / t;
    if (radius < tolerance) return out.push_back(p);

    Vec2 bisector = u2 - u1;
    Vec2 center = pf + bisector * (radius / (bisector.length() * std::cos(theta / 2)));
    Vec2 start = pf - u1 * (t * radius) - center;
    Vec2 end = pf + u2 * (t * radius) - center;
    double a0 = std::atan2(start.y, start.x);
    double sweep = std::atan2(end.y, end.x) - a0;
    if (sweep <= -std::numbers::pi) sweep += 2 * std::numbers::pi;
    if (sweep > std::numbers::pi) sweep -= 2 * std::numbers::pi;
    int64_t count = std::max<int64_t>(2, arc_point_count(sweep, radius));
    check_point_count(int64_t(out.size()) + count);
    for (int64_t i = 0; i < count; ++i) {
        double angle = a0 + sweep * double(i) / double(count - 1);
        out.push_back((center + Vec2(std::cos(angle), std::sin(angle)) * radius).rounded());
    }
}

Ring fillet_ring(const Ring& ring, double radius) {
    size_t n = ring.size();
    if (n <= 2) return ring;
    Ring out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i)
        fillet_corner(ring[(i + n - 1) % n], ring[i], ring[(i + 1) % n], radius, out);
    return out;
}

}  // namespace

void snap_to_grid(Ring& ring) {
    const Coord grid = config().grid;
    for (Vector& p : ring) p = {snap(p.x, grid), snap(p.y, grid)};
}

Bounds ring_bounds(const Ring& ring) {
    if (ring.empty()) return {};
    Bounds b{ring[0].x, ring[0].y, ring[0].x, ring[0].y};
    for (const Vector& p : ring) extend(b, {p.x, p.y, p.x, p.y});
    return b;
}

Int128 Polygon::double_area(const Ring& ring) {
    // Relative to the first vertex, which keeps the products small.
    Int128 sum = 0;
    for (size_t i = 1; i + 1 < ring.size(); ++i) sum += cross(ring[i] - ring[0], ring[i + 1] - ring[0]);
    return sum;
}

Polygon& Polygon::operator=(const Polygon& other) {
    vertices_ = other.vertices_;
    holes_ = other.holes_;
    area_ = other.area_;
    perimeter_ = other.perimeter_;
    return *this;
}

Polygon& Polygon::operator=(Polygon&& other) {
    vertices_ = std::move(other.vertices_);
    holes_ = std::move(other.holes_);
    area_ = other.area_;
    perimeter_ = other.perimeter_;
    return *this;
}

void Polygon::clear_caches() {
    area_.reset();
    perimeter_.reset();
}

bool Polygon::assign(Ring vertices, std::vector<Ring> holes) {
    Polygon candidate(std::move(vertices), std::move(holes));
    candidate.normalize();
    if (!candidate.is_valid()) return false;
    *this = std::move(candidate);
    return true;
}

void Polygon::normalize() {
    clear_caches();
    normalize_ring(vertices_);
    // The exterior's orientation matters only to holes, and costs a walk around it.
    if (holes_.empty()) return;
    int exterior_sign = sign(double_area(vertices_));
    for (Ring& hole : holes_) {
        normalize_ring(hole);
        // Holes run against the exterior, so that their signed areas subtract.
        if (exterior_sign != 0 && sign(double_area(hole)) == exterior_sign)
            std::reverse(hole.begin(), hole.end());
    }
}

bool Polygon::is_valid() const {
    if (ring_degenerate(vertices_)) return false;
    if (holes_.empty()) return true;
    EdgeBands exterior(vertices_);
    return std::none_of(holes_.begin(), holes_.end(), [&exterior](const Ring& hole) {
        return ring_degenerate(hole) || !hole_inside(hole, exterior);
    });
}

void Polygon::remove_collinear() {
    clear_caches();
    if (vertices_.size() > 3) vertices_ = without_collinear(vertices_);
    for (Ring& hole : holes_)
        if (hole.size() > 3) hole = without_collinear(hole);
}

void Polygon::fillet(Coord radius, ErrorHandler& status) {
    std::vector<Ring> holes;
    holes.reserve(holes_.size());
    for (const Ring& hole : holes_) holes.push_back(fillet_ring(hole, double(radius)));
    if (!assign(fillet_ring(vertices_, double(radius)), std::move(holes)))
        status.warning(kFilletWarning);
}

bool Polygon::content_bytes(std::string& out) const {
    Structure::content_bytes(out);
    append_points(out, vertices_);
    append_raw(out, uint64_t(holes_.size()));
    for (const Ring& hole : holes_) append_points(out, hole);
    return true;
}

std::string Polygon::str(bool representation) const {
    if (!representation)
        return "Polygon with " + std::to_string(vertices_.size()) + " vertices and " +
               std::to_string(holes_.size()) + " holes";
    std::string text = "Polygon(vertices=" + points_text(vertices_) + ", holes=[";
    for (size_t i = 0; i < holes_.size(); ++i) text += (i ? ", " : "") + points_text(holes_[i]);
    return text + "])";
}

bool Polygon::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const Polygon&>(other);
    return vertices_ == o.vertices_ && holes_ == o.holes_;
}

Polygon Polygon::to_polygon(ErrorHandler&) const { return Polygon(vertices_, holes_); }

Area Polygon::area() const {
    if (!area_) {
        Int128 twice = double_area(vertices_);
        for (const Ring& hole : holes_) twice += double_area(hole);
        area_ = Area::from_signed(twice / 2);
    }
    return *area_;
}

Coord Polygon::perimeter() const {
    if (!perimeter_) {
        double total = ring_length(vertices_);
        for (const Ring& hole : holes_) total += ring_length(hole);
        // Long rings of far-apart vertices can sum beyond 64 bits.
        if (!(total < 0x1p63)) throw RangeError("Perimeter exceeds the supported range.");
        perimeter_ = Coord(std::trunc(total + 0.5));
    }
    return *perimeter_;
}

Bounds Polygon::bounds(ErrorHandler&) const { return ring_bounds(vertices_); }

bool Polygon::is_empty() const { return area().magnitude == 0; }

void Polygon::transform(Placements steps) {
    PointChain chain(steps);
    // Each step that flips orientation reverses the vertex order.
    bool reverse = false;
    for (const Placement& step : steps) reverse ^= step.angle_sign() < 0;
    auto place = [&](const Ring& ring) {
        Ring result = chain(ring);
        if (reverse) std::reverse(result.begin(), result.end());
        return result;
    };
    Ring vertices = place(vertices_);
    std::vector<Ring> holes;
    holes.reserve(holes_.size());
    for (const Ring& hole : holes_) holes.push_back(place(hole));
    vertices_ = std::move(vertices);
    holes_ = std::move(holes);
    clear_caches();
}

// Integer translation keeps area and perimeter exactly, so the caches stay valid.
void Polygon::translate(const Vector& delta) {
    auto moved = [&](Ring& ring, bool apply) {
        for (Vector& p : ring) {
            if (apply) p += delta;
            else check_range(p + delta);
        }
    };
    for (bool apply : {false, true}) {  // nothing moves unless everything stays in range
        moved(vertices_, apply);
        for (Ring& hole : holes_) moved(hole, apply);
    }
}

std::vector<Coord> Polygon::axis_intersections(int axis, Coord c, ErrorHandler&) const {
    std::vector<Coord> result;
    if (axis < 0 || axis > 1) return result;
    // Half-open edge ranges count a vertex on the line once.
    auto scan = [&](const Ring& ring) {
        for (size_t i = 0; i < ring.size(); ++i) {
            const Vector& a = ring[i];
            const Vector& b = ring[(i + 1) % ring.size()];
            Coord a0 = axis == 0 ? a.x : a.y, b0 = axis == 0 ? b.x : b.y;
            Coord a1 = axis == 0 ? a.y : a.x, b1 = axis == 0 ? b.y : b.x;
            if ((a0 <= c && c < b0) || (b0 <= c && c < a0))
                result.push_back(a1 + nearest(double(c - a0) * double(b1 - a1) / double(b0 - a0)));
        }
    };
    scan(vertices_);
    for (const Ring& hole : holes_) scan(hole);
    std::sort(result.begin(), result.end());
    return result;
}

}  // namespace whistle
