#include "extrusion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "core/foundation/config.hpp"
#include "core/foundation/text.hpp"
#include "core/geometry/set_operations.hpp"
#include "core/model/technology.hpp"
#include "core/solid/extruded.hpp"
#include "core/solid/polyhedron.hpp"
#include "core/solid/triangulation.hpp"

namespace whistle {

SidewallProfile SidewallProfile::of(const ExtrusionSpec& spec) {
    return {spec.limits(), spec.reference(), std::tan(radians(spec.sidewall_angle()))};
}

Coord SidewallProfile::offset_at(Coord z) const {
    return nearest(static_cast<double>(reference - z) * slope);
}

bool SidewallProfile::is_straight() const {
    return std::llabs(offset_at(limits[1]) - offset_at(limits[0])) < config().grid;
}

namespace {

// Vertex counts of a polygon's outer ring followed by those of its holes, sorted: two offsets
// of one shape with equal counts have the same edges, each moved along its normal.
using RingCounts = std::vector<size_t>;
using Signature = std::vector<RingCounts>;

RingCounts ring_counts(const Polygon& polygon) {
    RingCounts counts;
    for (const Ring& hole : polygon.holes()) counts.push_back(hole.size());
    std::sort(counts.begin(), counts.end());
    counts.insert(counts.begin(), polygon.vertices().size());
    return counts;
}

Signature signature(const std::vector<Polygon>& polygons) {
    Signature result;
    for (const Polygon& polygon : polygons) result.push_back(ring_counts(polygon));
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<Polygon> offset_by(const std::vector<Polygon>& polygons, Coord distance) {
    return offset(polygons, distance, false);
}

double center_distance(const Ring& a, const Ring& b) {
    Bounds p = ring_bounds(a), q = ring_bounds(b);
    return std::hypot(double(p.x_min + p.x_max - q.x_min - q.x_max),
                      double(p.y_min + p.y_max - q.y_min - q.y_max));
}

bool is_counter_clockwise(const Ring& ring) {
    __int128 twice_area = 0;
    for (size_t i = 0, n = ring.size(); i < n; ++i) {
        const Vector& a = ring[i];
        const Vector& b = ring[(i + 1) % n];
        twice_area += __int128(a.x) * b.y - __int128(b.x) * a.y;
    }
    return twice_area > 0;
}

// Outer ring counter-clockwise, holes clockwise: side walls then face outwards.
std::vector<Ring> oriented_rings(const Polygon& polygon) {
    std::vector<Ring> rings{polygon.vertices()};
    rings.insert(rings.end(), polygon.holes().begin(), polygon.holes().end());
    for (size_t i = 0; i < rings.size(); ++i)
        if (is_counter_clockwise(rings[i]) != (i == 0)) std::reverse(rings[i].begin(), rings[i].end());
    return rings;
}

// The ring `to` started at the vertex that best follows `from`'s first one (least summed
// squared distance between corresponding vertices); both have the same vertex count.
Ring aligned(const Ring& from, const Ring& to) {
    const size_t n = to.size();
    size_t best_shift = 0;
    double best = std::numeric_limits<double>::infinity();
    for (size_t shift = 0; shift < n && best > 0; ++shift) {
        double sum = 0;
        for (size_t i = 0; i < n && sum < best; ++i) {
            Vector d = to[(i + shift) % n] - from[i];
            sum += double(d.x) * double(d.x) + double(d.y) * double(d.y);
        }
        if (sum < best) {
            best = sum;
            best_shift = shift;
        }
    }
    Ring result(to.begin() + best_shift, to.end());
    result.insert(result.end(), to.begin(), to.begin() + best_shift);
    return result;
}

// Index of the unused candidate with `count` vertices nearest to `ring`, or npos.
template <typename RingOf>
size_t nearest_match(const Ring& ring, size_t count, size_t candidates, RingOf ring_of,
                     const std::vector<bool>& used) {
    size_t best = std::string::npos;
    double best_distance = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < candidates; ++i) {
        const Ring& candidate = ring_of(i);
        if (used[i] || candidate.size() != count) continue;
        double distance = center_distance(ring, candidate);
        if (distance < best_distance) {
            best_distance = distance;
            best = i;
        }
    }
    return best;
}

// The rings of `top` in the order and starting vertices of `bottom`'s, or empty when some
// ring has no counterpart.
std::vector<Ring> corresponding_rings(const std::vector<Ring>& bottom, std::vector<Ring> top) {
    std::vector<Ring> result;
    std::vector<bool> used(top.size(), false);
    for (const Ring& ring : bottom) {
        size_t match = nearest_match(ring, ring.size(), top.size(),
                                     [&](size_t i) -> const Ring& { return top[i]; }, used);
        if (match == std::string::npos) return {};
        used[match] = true;
        result.push_back(aligned(ring, top[match]));
    }
    return result;
}

// A closed mesh between a face at height `low` and its offset at `high`: the caps plus one
// quad (two triangles) per edge between corresponding vertices.
class SlopedPiece {
public:
    SlopedPiece(const std::vector<Ring>& bottom, const std::vector<Ring>& top, Coord low, Coord high) {
        add_level(bottom, low);
        add_level(top, high);
        const uint32_t level_size = uint32_t(vertices_.size() / 2);
        std::vector<Vector> plane;
        std::vector<uint32_t> ring_ends;
        for (const Ring& ring : bottom) {
            plane.insert(plane.end(), ring.begin(), ring.end());
            ring_ends.push_back(uint32_t(plane.size()));
        }
        for (const Triangle& t : triangulate(plane, ring_ends))
            triangles_.push_back({t[0], t[2], t[1]});  // bottom cap faces down
        plane.clear();
        for (const Ring& ring : top) plane.insert(plane.end(), ring.begin(), ring.end());
        for (const Triangle& t : triangulate(plane, ring_ends))
            triangles_.push_back({t[0] + level_size, t[1] + level_size, t[2] + level_size});
        uint32_t start = 0;
        for (const Ring& ring : bottom) {
            const uint32_t n = uint32_t(ring.size());
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t a = start + i, b = start + (i + 1) % n;
                triangles_.push_back({a, b, b + level_size});
                triangles_.push_back({a, b + level_size, a + level_size});
            }
            start += n;
        }
    }

    std::shared_ptr<Structure3D> solid(const std::shared_ptr<BaseType>& medium) {
        if (!is_closed_mesh(vertices_, triangles_)) return nullptr;
        return std::make_shared<Polyhedron>(medium, std::move(vertices_), std::move(triangles_));
    }

private:
    void add_level(const std::vector<Ring>& rings, Coord z) {
        for (const Ring& ring : rings)
            for (const Vector& v : ring) vertices_.push_back({v.x, v.y, z});
    }

    std::vector<MeshVertex> vertices_;
    std::vector<Triangle> triangles_;
};

std::shared_ptr<Structure3D> straight(const std::shared_ptr<BaseType>& medium, const Polygon& face,
                                      std::array<Coord, 2> limits,
                                      std::array<Coord, 2> dilations = {0, 0}) {
    return std::make_shared<Extruded>(medium, std::make_shared<Polygon>(face), limits, dilations);
}

// Splits the height range where the offset faces change shape, down to the tolerance, and
// meshes each interval of constant shape into sloped pieces.
class AngledMesher {
public:
    AngledMesher(std::vector<Polygon> polygons, const SidewallProfile& profile,
                 const std::shared_ptr<BaseType>& medium, Coord tolerance, ErrorHandler& status,
                 std::vector<std::shared_ptr<Structure3D>>& out)
        : polygons_(std::move(polygons)), profile_(profile), medium_(medium),
          tolerance_(std::max<Coord>(tolerance, 1)), status_(status), out_(out) {}

    void run() { refine(profile_.limits[0], profile_.limits[1]); }

private:
    struct Level {
        std::vector<Polygon> faces;
        Signature shape;
    };

    const Level& level(Coord z) {
        auto found = levels_.find(z);
        if (found != levels_.end()) return found->second;
        std::vector<Polygon> faces = offset_by(polygons_, profile_.offset_at(z));
        Signature shape = signature(faces);
        return levels_.emplace(z, Level{std::move(faces), std::move(shape)}).first->second;
    }

    void refine(Coord low, Coord high) {
        const Coord middle = low + (high - low) / 2;
        if (profile_.offset_at(low) == profile_.offset_at(high)) {
            add_orthogonal(low, high);
            return;
        }
        const Signature& shape = level(low).shape;
        if (shape == level(high).shape && shape == level(middle).shape) {
            if (!add_sloped(low, high)) {
                status_.warning("Unable to generate angled extrusion between " +
                                shortest_text(from_db(low)) + " and " +
                                shortest_text(from_db(high)) + " μm. Using an orthogonal profile.");
                add_orthogonal(low, high);
            }
            return;
        }
        // A thin interval around a change of shape takes the faces of its middle height.
        if (high - low <= tolerance_ || middle == low) {
            add_orthogonal(low, high);
            return;
        }
        refine(low, middle);
        refine(middle, high);
    }

    void add_orthogonal(Coord low, Coord high) {
        for (const Polygon& face : level(low + (high - low) / 2).faces)
            out_.push_back(straight(medium_, face, {low, high}));
    }

    // Adds nothing and returns false when some face has no counterpart or a mesh is invalid.
    bool add_sloped(Coord low, Coord high) {
        const std::vector<Polygon>& bottom = level(low).faces;
        const std::vector<Polygon>& top = level(high).faces;
        std::vector<bool> used(top.size(), false);
        std::vector<std::shared_ptr<Structure3D>> pieces;
        for (const Polygon& face : bottom) {
            size_t match = nearest_match(
                face.vertices(), face.vertices().size(), top.size(),
                [&](size_t i) -> const Ring& { return top[i].vertices(); }, used);
            if (match == std::string::npos || ring_counts(top[match]) != ring_counts(face)) return false;
            used[match] = true;
            std::vector<Ring> lower = oriented_rings(face);
            std::vector<Ring> upper = corresponding_rings(lower, oriented_rings(top[match]));
            if (upper.empty()) return false;
            auto piece = SlopedPiece(lower, upper, low, high).solid(medium_);
            if (!piece) return false;
            pieces.push_back(std::move(piece));
        }
        out_.insert(out_.end(), pieces.begin(), pieces.end());
        return true;
    }

    std::vector<Polygon> polygons_;
    const SidewallProfile& profile_;
    const std::shared_ptr<BaseType>& medium_;
    Coord tolerance_;
    ErrorHandler& status_;
    std::vector<std::shared_ptr<Structure3D>>& out_;
    std::map<Coord, Level> levels_;
};

// Polygons whose own offsets keep one shape over the whole height and stay clear of every
// other polygon's offset: a tapered extrusion describes them exactly.
std::vector<bool> tapered_alone(const std::vector<Polygon>& polygons, const SidewallProfile& profile) {
    const Coord low = profile.offset_at(profile.limits[0]);
    const Coord high = profile.offset_at(profile.limits[1]);
    const Coord middle = profile.offset_at(profile.limits[0] + (profile.limits[1] - profile.limits[0]) / 2);
    const Coord widest = std::max(low, high);
    const size_t n = polygons.size();
    std::vector<bool> alone(n, false);
    std::vector<std::vector<Polygon>> grown(n);
    std::vector<Bounds> boxes(n);
    for (size_t i = 0; i < n; ++i) {
        std::vector<Polygon> single{polygons[i]};
        std::vector<Polygon> at_low = offset_by(single, low);
        Signature shape = signature(at_low);
        alone[i] = shape.size() == 1 && shape == signature(offset_by(single, middle)) &&
                   shape == signature(offset_by(single, high));
        grown[i] = widest == low ? std::move(at_low) : offset_by(single, widest);
        boxes[i] = grown[i].empty() ? Bounds{} : ring_bounds(grown[i][0].vertices());
        for (const Polygon& p : grown[i]) extend(boxes[i], ring_bounds(p.vertices()));
    }
    // Sweep along x over the grown boxes; only overlapping boxes are tested exactly.
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return boxes[a].x_min < boxes[b].x_min; });
    for (size_t k = 0; k < n; ++k) {
        const size_t i = order[k];
        for (size_t m = k + 1; m < n && boxes[order[m]].x_min <= boxes[i].x_max; ++m) {
            const size_t j = order[m];
            if (boxes[j].y_min > boxes[i].y_max || boxes[j].y_max < boxes[i].y_min) continue;
            if (intersects(grown[i], grown[j])) alone[i] = alone[j] = false;
        }
    }
    return alone;
}

}  // namespace

std::vector<std::shared_ptr<Structure3D>> extrude_polygons(const std::vector<Polygon>& polygons,
                                                           const SidewallProfile& profile,
                                                           const std::shared_ptr<BaseType>& medium,
                                                           Coord tolerance, ErrorHandler& status) {
    std::vector<std::shared_ptr<Structure3D>> solids;
    const std::array<Coord, 2> limits = profile.limits;
    if (profile.is_straight()) {
        // The two offsets differ by less than a grid step: use the one at mid height.
        const Coord common = profile.offset_at(limits[0] + (limits[1] - limits[0]) / 2);
        for (const Polygon& polygon : polygons)
            solids.push_back(straight(medium, polygon, limits, {common, common}));
        return solids;
    }
    const std::array<Coord, 2> dilations{profile.offset_at(limits[0]), profile.offset_at(limits[1])};
    std::vector<bool> alone = tapered_alone(polygons, profile);
    std::vector<Polygon> interacting;
    for (size_t i = 0; i < polygons.size(); ++i) {
        if (alone[i])
            solids.push_back(straight(medium, polygons[i], limits, dilations));
        else
            interacting.push_back(polygons[i]);
    }
    if (!interacting.empty())
        AngledMesher(std::move(interacting), profile, medium, tolerance, status, solids).run();
    return solids;
}

}  // namespace whistle
