#include "extrusion.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <stdexcept>

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

// For each face of `bottom`, its oriented rings and those of its counterpart in `top` in the
// same order and from corresponding starting vertices; nothing when some face or ring has no
// counterpart.
struct MatchedFace {
    std::vector<Ring> bottom;
    std::vector<Ring> top;
};

std::optional<std::vector<MatchedFace>> match_faces(const std::vector<Polygon>& bottom,
                                                    const std::vector<Polygon>& top) {
    std::vector<MatchedFace> result;
    std::vector<bool> used(top.size(), false);
    for (const Polygon& face : bottom) {
        size_t match = nearest_match(
            face.vertices(), face.vertices().size(), top.size(),
            [&](size_t i) -> const Ring& { return top[i].vertices(); }, used);
        if (match == std::string::npos || ring_counts(top[match]) != ring_counts(face)) return {};
        used[match] = true;
        MatchedFace matched{oriented_rings(face), {}};
        std::vector<Ring> candidates = oriented_rings(top[match]);
        // Outer ring to outer ring; holes to the nearest hole of their size.
        matched.top.push_back(aligned(matched.bottom[0], candidates[0]));
        std::vector<bool> ring_used(candidates.size(), false);
        ring_used[0] = true;
        for (size_t r = 1; r < matched.bottom.size(); ++r) {
            const Ring& ring = matched.bottom[r];
            size_t k = nearest_match(ring, ring.size(), candidates.size(),
                                     [&](size_t i) -> const Ring& { return candidates[i]; }, ring_used);
            if (k == std::string::npos) return {};
            ring_used[k] = true;
            matched.top.push_back(aligned(ring, candidates[k]));
        }
        result.push_back(std::move(matched));
    }
    return result;
}

// An edge that points the other way at the top than at the bottom passes through zero length
// in between: a straight side wall would twist through itself. When it is shorter than the
// tolerance at both ends, it is dropped by merging its end into its start at both levels.
void drop_reversing_edges(MatchedFace& face, Coord tolerance) {
    const double limit = double(tolerance) * double(tolerance);
    auto squared = [](const Vector& v) { return double(v.x) * double(v.x) + double(v.y) * double(v.y); };
    for (size_t r = 0; r < face.bottom.size(); ++r) {
        Ring& bottom = face.bottom[r];
        Ring& top = face.top[r];
        for (size_t i = 0; i < bottom.size() && bottom.size() > 3;) {
            const size_t j = (i + 1) % bottom.size();
            const Vector a = bottom[j] - bottom[i];
            const Vector b = top[j] - top[i];
            if (double(a.x) * double(b.x) + double(a.y) * double(b.y) <= 0 && squared(a) <= limit &&
                squared(b) <= limit) {
                bottom.erase(bottom.begin() + j);
                top.erase(top.begin() + j);
            } else {
                ++i;
            }
        }
    }
}

// A closed mesh between a face at height `low` and its offset at `high`: the caps plus one
// quad (two triangles) per edge between corresponding vertices.
class SlopedPiece {
public:
    SlopedPiece(const MatchedFace& face, Coord low, Coord high) {
        const std::vector<Ring>& bottom = face.bottom;
        add_level(bottom, low);
        add_level(face.top, high);
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
        for (const Ring& ring : face.top) plane.insert(plane.end(), ring.begin(), ring.end());
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

// Splits the height range where the offset faces change shape (features merge, split or
// vanish) or stop following a straight slope, down to the tolerance, and meshes each interval
// of one shape into sloped pieces. Thin intervals around the changes take the faces of their
// middle height.
class AngledMesher {
public:
    AngledMesher(std::vector<Polygon> polygons, const SidewallProfile& profile,
                 const std::shared_ptr<BaseType>& medium, Coord tolerance, ErrorHandler& status,
                 std::vector<std::shared_ptr<Structure3D>>& out)
        : polygons_(std::move(polygons)), profile_(profile), medium_(medium),
          tolerance_(std::max<Coord>(tolerance, 1)), status_(status), out_(out) {}

    void run() {
        refine(profile_.limits[0], profile_.limits[1]);
        join_intervals();
        for (const Interval& interval : intervals_) {
            if (!interval.sloped) {
                add_orthogonal(interval.low, interval.high);
            } else if (!add_sloped(interval.low, interval.high)) {
                status_.warning("Unable to generate angled extrusion between " +
                                shortest_text(from_db(interval.low)) + " and " +
                                shortest_text(from_db(interval.high)) +
                                " μm. Using an orthogonal profile.");
                add_orthogonal(interval.low, interval.high);
            }
        }
    }

private:
    struct Level {
        std::vector<Polygon> faces;
        Signature shape;
    };

    struct Interval {
        Coord low, high;
        bool sloped;
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
            intervals_.push_back({low, high, false});  // the faces do not move
        } else if (follows_slope(low, middle, high)) {
            intervals_.push_back({low, high, true});
        } else if (high - low <= tolerance_ || middle == low) {
            intervals_.push_back({low, high, false});
        } else {
            refine(low, middle);
            refine(middle, high);
        }
    }

    // The faces at `z` have the shape of those at `low` and `high` and lie, within the
    // tolerance, where the straight mesh between them would put them.
    bool follows_slope(Coord low, Coord z, Coord high) {
        const Level& bottom = level(low);
        if (bottom.shape != level(high).shape || bottom.shape != level(z).shape) return false;
        auto top = match_faces(bottom.faces, level(high).faces);
        auto inner = match_faces(bottom.faces, level(z).faces);
        if (!top || !inner) return false;
        const double t = double(z - low) / double(high - low);
        // Vertices sit on the integer grid: allow one unit of rounding besides the tolerance.
        const double allowed = double(tolerance_) + 1;
        for (size_t f = 0; f < top->size(); ++f) {
            const MatchedFace& outer = (*top)[f];
            for (size_t r = 0; r < outer.bottom.size(); ++r) {
                for (size_t i = 0; i < outer.bottom[r].size(); ++i) {
                    const Vector& a = outer.bottom[r][i];
                    const Vector& b = outer.top[r][i];
                    const Vector& m = (*inner)[f].top[r][i];
                    if (std::hypot(a.x + t * double(b.x - a.x) - double(m.x),
                                   a.y + t * double(b.y - a.y) - double(m.y)) > allowed)
                        return false;
                }
            }
        }
        return true;
    }

    // Neighbouring sloped intervals that one straight mesh describes become one.
    void join_intervals() {
        std::vector<Interval> joined;
        for (const Interval& interval : intervals_) {
            if (!joined.empty() && joined.back().sloped && interval.sloped &&
                follows_slope(joined.back().low, interval.low, interval.high))
                joined.back().high = interval.high;
            else
                joined.push_back(interval);
        }
        intervals_ = std::move(joined);
    }

    void add_orthogonal(Coord low, Coord high) {
        for (const Polygon& face : level(low + (high - low) / 2).faces)
            out_.push_back(straight(medium_, face, {low, high}));
    }

    // Adds nothing and returns false when some face has no counterpart, a cap cannot be
    // triangulated or a mesh is invalid.
    bool add_sloped(Coord low, Coord high) {
        auto faces = match_faces(level(low).faces, level(high).faces);
        if (!faces) return false;
        std::vector<std::shared_ptr<Structure3D>> pieces;
        for (MatchedFace& face : *faces) {
            drop_reversing_edges(face, tolerance_);
            std::shared_ptr<Structure3D> piece;
            try {
                piece = SlopedPiece(face, low, high).solid(medium_);
            } catch (const std::invalid_argument&) {
                // A cap whose ring crosses itself: rounding near a neck about to pinch off.
            }
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
    std::vector<Interval> intervals_;
};

// Groups of polygons whose offsets may meet somewhere over the height: their grown faces
// overlap, directly or through other members. Groups are listed by their first polygon.
std::vector<std::vector<size_t>> interacting_groups(const std::vector<Polygon>& polygons,
                                                    Coord widest) {
    const size_t n = polygons.size();
    std::vector<std::vector<Polygon>> grown(n);
    std::vector<Bounds> boxes(n);
    for (size_t i = 0; i < n; ++i) {
        grown[i] = offset_by({polygons[i]}, widest);
        boxes[i] = grown[i].empty() ? Bounds{} : ring_bounds(grown[i][0].vertices());
        for (const Polygon& p : grown[i]) extend(boxes[i], ring_bounds(p.vertices()));
    }
    std::vector<size_t> root(n);
    std::iota(root.begin(), root.end(), size_t(0));
    auto find = [&](size_t i) {
        while (root[i] != i) i = root[i] = root[root[i]];
        return i;
    };
    // Sweep along x over the grown boxes; only overlapping boxes are tested exactly.
    std::vector<size_t> order = root;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return boxes[a].x_min < boxes[b].x_min; });
    for (size_t k = 0; k < n; ++k) {
        const size_t i = order[k];
        for (size_t m = k + 1; m < n && boxes[order[m]].x_min <= boxes[i].x_max; ++m) {
            const size_t j = order[m];
            if (boxes[j].y_min > boxes[i].y_max || boxes[j].y_max < boxes[i].y_min) continue;
            if (find(i) != find(j) && intersects(grown[i], grown[j]))
                root[std::max(find(i), find(j))] = std::min(find(i), find(j));
        }
    }
    std::vector<std::vector<size_t>> groups;
    std::vector<size_t> group_of(n);
    for (size_t i = 0; i < n; ++i) {
        if (find(i) == i) {
            group_of[i] = groups.size();
            groups.emplace_back();
        }
        groups[group_of[find(i)]].push_back(i);
    }
    return groups;
}

// A lone polygon whose offsets keep one shape over the whole height: a tapered extrusion
// describes it exactly.
bool keeps_shape(const Polygon& polygon, const SidewallProfile& profile) {
    const std::array<Coord, 2>& limits = profile.limits;
    Signature shape = signature(offset_by({polygon}, profile.offset_at(limits[0])));
    return shape.size() == 1 &&
           shape == signature(offset_by({polygon}, profile.offset_at(limits[1]))) &&
           shape == signature(offset_by({polygon}, profile.offset_at(limits[0] + (limits[1] - limits[0]) / 2)));
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
    for (const std::vector<size_t>& group :
         interacting_groups(polygons, std::max(dilations[0], dilations[1]))) {
        if (group.size() == 1 && keeps_shape(polygons[group[0]], profile)) {
            solids.push_back(straight(medium, polygons[group[0]], limits, dilations));
            continue;
        }
        std::vector<Polygon> members;
        for (size_t i : group) members.push_back(polygons[i]);
        AngledMesher(std::move(members), profile, medium, tolerance, status, solids).run();
    }
    return solids;
}

}  // namespace whistle
