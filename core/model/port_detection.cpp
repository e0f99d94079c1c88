#include "port_detection.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/foundation/config.hpp"

namespace whistle {

namespace {


constexpr double kDegrees = 180.0 / std::numbers::pi;

// Angle of an integer direction in [0, 360), exact along the axes.
double direction_angle(const Vector& d) {
    if (d.y == 0) return d.x > 0 ? 0.0 : 180.0;
    if (d.x == 0) return d.y > 0 ? 90.0 : 270.0;
    double angle = std::atan2(double(d.y), double(d.x)) * kDegrees;
    return angle < 0 ? angle + 360.0 : angle;
}

// Absolute turn between two consecutive edge directions, in degrees.
double turn_angle(const Vector& incoming, const Vector& outgoing) {
    double cross = double(incoming.x) * double(outgoing.y) - double(incoming.y) * double(outgoing.x);
    double dot = double(incoming.x) * double(outgoing.x) + double(incoming.y) * double(outgoing.y);
    return std::fabs(std::atan2(cross, dot)) * kDegrees;
}

Vec2 unit(const Vector& v) {
    Vec2 d(v);
    return d / d.length();
}

// The polygons of one layer with their bounding boxes, for quick rejection.
struct LayerGeometry {
    std::vector<const Polygon*> polygons;
    std::vector<Bounds> boxes;
};

// A straight cut across the port: points origin + s·along for s in [−half, half].
struct Cut {
    Vec2 origin;
    Vec2 along;
    Coord half;

    Bounds box() const {
        Vec2 a = origin - along * double(half);
        Vec2 b = origin + along * double(half);
        return {Coord(std::floor(std::min(a.x, b.x))), Coord(std::floor(std::min(a.y, b.y))),
                Coord(std::ceil(std::max(a.x, b.x))), Coord(std::ceil(std::max(a.y, b.y)))};
    }

    // The parts of the cut inside the polygons (even-odd within each polygon, union of all).
    std::vector<Interval> inside(const LayerGeometry& geometry, Coord tolerance) const {
        Vec2 normal{-along.y, along.x};
        Bounds window = box();
        std::vector<Interval> parts;
        for (size_t i = 0; i < geometry.polygons.size(); ++i) {
            if (!overlap(window, geometry.boxes[i])) continue;
            std::vector<double> crossings;
            auto add_ring = [&](const Ring& ring) {
                for (size_t k = 0; k < ring.size(); ++k) {
                    Vec2 p = Vec2(ring[k]) - origin;
                    Vec2 q = Vec2(ring[(k + 1) % ring.size()]) - origin;
                    double sp = dot(p, normal), sq = dot(q, normal);
                    if ((sp > 0) == (sq > 0)) continue;
                    double t = sp / (sp - sq);
                    crossings.push_back(dot(p + (q - p) * t, along));
                }
            };
            add_ring(geometry.polygons[i]->vertices());
            for (const auto& hole : geometry.polygons[i]->holes()) add_ring(hole);
            std::sort(crossings.begin(), crossings.end());
            for (size_t k = 0; k + 1 < crossings.size(); k += 2) {
                Coord lo = std::max(nearest(crossings[k]), -half);
                Coord hi = std::min(nearest(crossings[k + 1]), half);
                if (lo < hi) parts.push_back({lo, hi});
            }
        }
        return merged_intervals(std::move(parts), tolerance);
    }
};

bool same_intervals(const std::vector<Interval>& a, const std::vector<Interval>& b,
                    Coord tolerance) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::llabs(a[i][0] - b[i][0]) > tolerance || std::llabs(a[i][1] - b[i][1]) > tolerance)
            return false;
    return true;
}

class Detector {
public:
    Detector(const std::map<Layer, std::vector<Polygon>>& polygons,
             const PortDetectionOptions& options)
        : options_(options), tolerance_(std::max(config().grid, Config::kMinGrid)) {
        for (const auto& [layer, list] : polygons) {
            LayerGeometry& geometry = layers_[layer];
            for (const auto& polygon : list) {
                geometry.polygons.push_back(&polygon);
                geometry.boxes.push_back(ring_bounds(polygon.vertices()));
                if (!extent_) extent_ = geometry.boxes.back();
                else extend(*extent_, geometry.boxes.back());
            }
        }
    }

    // Candidate places of one specification (as given or mirrored) on the edges of its layers.
    void search(const std::shared_ptr<PortSpec>& spec, bool inverted_port) {
        PortSpec::Intervals expected =
            (inverted_port ? inverted(spec) : spec)->profile_intervals(spec->width());
        for (const auto& [layer, intervals] : expected) {
            auto it = layers_.find(layer);
            if (it == layers_.end()) return;  // a profile layer without geometry: no port fits
            for (const Polygon* polygon : it->second.polygons) {
                scan_ring(polygon->vertices(), false, intervals, expected, spec, inverted_port);
                for (const auto& hole : polygon->holes())
                    scan_ring(hole, true, intervals, expected, spec, inverted_port);
            }
        }
    }

    std::vector<std::shared_ptr<Port>> results() const {
        std::vector<std::shared_ptr<Port>> kept;
        for (const Found& candidate : found_) {
            const std::shared_ptr<Port>& port = candidate.port;
            if (!options_.skip_internal_connections ||
                std::none_of(found_.begin(), found_.end(), [&](const Found& other) {
                    return same_place(*other.port, port->center(), port->input_direction() + 180);
                }))
                kept.push_back(port);
        }
        return kept;
    }

private:
    void scan_ring(const Ring& ring, bool hole, const std::vector<Interval>& intervals,
                   const PortSpec::Intervals& expected, const std::shared_ptr<PortSpec>& spec,
                   bool inverted_port) {
        size_t n = ring.size();
        if (n < 3) return;
        // Geometry lies left of the edges of counter-clockwise outer rings and clockwise holes.
        bool inside_left = (Polygon::double_area(ring) > 0) != hole;
        for (size_t k = 0; k < n; ++k) {
            const Vector& a = ring[k];
            const Vector& b = ring[(k + 1) % n];
            Vector edge = b - a;
            if (edge == Vector{}) continue;
            if (turn_angle(a - ring[(k + n - 1) % n], edge) < options_.minimal_turn_angle ||
                turn_angle(edge, ring[(k + 2) % n] - b) < options_.minimal_turn_angle)
                continue;
            Vector inward = inside_left ? Vector{-edge.y, edge.x} : Vector{edge.y, -edge.x};
            Vec2 into = unit(inward);
            Vec2 across{-into.y, into.x};  // offsets grow to the left of the input direction
            double length = Vec2(edge).length();
            // The end of the edge with the larger offset carries an interval's upper bound.
            Vec2 upper = dot(Vec2(a), across) > dot(Vec2(b), across) ? Vec2(a) : Vec2(b);
            for (const auto& interval : intervals) {
                if (std::fabs(length - double(interval[1] - interval[0])) > double(tolerance_))
                    continue;
                Vec2 center = upper - across * double(interval[1]);
                consider(center, into, across, direction_angle(inward), length, expected, spec,
                         inverted_port);
            }
        }
    }

    void consider(const Vec2& center, const Vec2& into, const Vec2& across, double direction,
                  double edge_length, const PortSpec::Intervals& expected,
                  const std::shared_ptr<PortSpec>& spec, bool inverted_port) {
        // The cut is taken just inside the geometry, so that the edge itself does not count.
        Cut cut{center + into * (double(tolerance_) / 2), across, (spec->width() + 1) / 2};
        for (const auto& [layer, intervals] : expected)
            if (!same_intervals(cut.inside(layers_.at(layer), tolerance_), intervals, tolerance_))
                return;
        auto port = std::make_shared<Port>(center.rounded(), direction, spec, true, inverted_port);
        if (!accepted(port->center())) return;
        // The same place found again (from another layer's edge, or by a later specification):
        // the longer edge gives the more precise direction of the same port.
        for (auto& other : found_)
            if (same_place(*other.port, port->center(), direction)) {
                if (edge_length > other.edge_length && other.port->spec() == spec)
                    other = {std::move(port), edge_length};
                return;
            }
        found_.push_back({std::move(port), edge_length});
    }

    // Within the grid of a center and a small angle of a direction: directions come from edges
    // between rounded vertices.
    bool same_place(const Port& port, const Vector& center, double direction) const {
        constexpr double kAngleTolerance = 0.01;
        double turn = std::fmod(std::fabs(port.input_direction() - direction), 360.0);
        return std::llabs(port.center().x - center.x) <= tolerance_ &&
               std::llabs(port.center().y - center.y) <= tolerance_ &&
               std::min(turn, 360.0 - turn) <= kAngleTolerance;
    }

    bool accepted(const Vector& c) const {
        if (const auto& box = options_.bounds;
            box && (c.x < box->x_min || c.x > box->x_max || c.y < box->y_min || c.y > box->y_max))
            return false;
        if (!options_.on_boundary || !extent_) return true;
        const BoundarySides& sides = *options_.on_boundary;
        Coord margin = options_.boundary_margin;
        return (sides.x_min && c.x <= extent_->x_min + margin) ||
               (sides.x_max && c.x >= extent_->x_max - margin) ||
               (sides.y_min && c.y <= extent_->y_min + margin) ||
               (sides.y_max && c.y >= extent_->y_max - margin);
    }

    const PortDetectionOptions& options_;
    Coord tolerance_;
    std::map<Layer, LayerGeometry> layers_;
    std::optional<Bounds> extent_;
    struct Found {
        std::shared_ptr<Port> port;
        double edge_length;
    };
    std::vector<Found> found_;
};

}  // namespace

std::vector<std::shared_ptr<Port>> detect_ports(const Component& component,
                                                const PortDetectionOptions& options,
                                                ErrorHandler& status) {
    std::map<Layer, std::vector<Polygon>> polygons = component.layer_polygons({}, status);
    if (status.failed()) return {};
    Detector detector(polygons, options);
    for (const auto& spec : options.specs) {
        detector.search(spec, false);
        if (!spec->symmetric()) detector.search(spec, true);
    }
    return detector.results();
}

}  // namespace whistle
