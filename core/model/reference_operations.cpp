// What a reference yields per instance (ports, terminals, geometry), its connection to a port,
// its bounds and hull, and the component of one placed instance.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "component.hpp"
#include "core/geometry/convex_hull.hpp"

namespace whistle {

namespace {

constexpr const char* kConnectIndexError =
    "Index larger than the number of repetitions in this reference.";
constexpr const char* kConnectPortError =
    "Port not found in this reference's component (3D ports not included).";
constexpr const char* kMixedConnection =
    "Incompatible connection between an electrical with an optical port.";
constexpr const char* kIncompatibleSpecs = "Connecting ports with incompatible specifications.";

template <class T>
std::shared_ptr<T> placed_copy(const T& item, const Placement& step) {
    auto copy = std::static_pointer_cast<T>(item.clone());
    copy->transform(Placements(&step, 1));
    return copy;
}

std::shared_ptr<Port> placed_port(const Port& port, const Placement& step) {
    auto copy = std::static_pointer_cast<Port>(port.clone());
    copy->transform(step);
    return copy;
}

std::shared_ptr<Terminal> placed_terminal(const Terminal& terminal, const Placement& step) {
    std::shared_ptr<Terminal> copy = terminal.copy(true);
    copy->transform(step.translation, step.x_reflection, step.rotation, step.magnification);
    return copy;
}

// The items of a layer map copied for every instance of the reference.
template <class T>
std::map<Layer, std::vector<std::shared_ptr<T>>> placed_items(
    const Reference& reference, const std::map<Layer, std::vector<std::shared_ptr<T>>>& source) {
    std::map<Layer, std::vector<std::shared_ptr<T>>> result;
    const uint64_t count = reference.repetition().count();
    for (const auto& [layer, items] : source) {
        auto& placed = result[layer];
        placed.reserve(items.size() * count);
        for (uint64_t i = 0; i < count; ++i) {
            const Placement step = reference.placement(i);
            for (const auto& item : items) placed.push_back(placed_copy(*item, step));
        }
    }
    return result;
}

// Points of a collinear (or single-point) set have no hull; their two extreme points stand in.
std::vector<Vector> hull_or_extremes(const std::vector<Vector>& points) {
    std::vector<Vector> hull = convex_hull(points);
    if (!hull.empty() || points.empty()) return hull;
    auto less = [](const Vector& a, const Vector& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); };
    auto [low, high] = std::minmax_element(points.begin(), points.end(), less);
    return {*low, *high};
}

// The four corner offsets of an array (the others lie inside their hull).
std::vector<Vector> corner_offsets(const Repetition& repetition) {
    const Vector last = repetition.offset(repetition.count() - 1);
    return {{0, 0}, {last.x, 0}, {0, last.y}, last};
}

// Hulls through the hierarchy, each distinct component's once. A component met again while its
// own hull is being built (a cycle) contributes nothing.
class HullBuilder {
public:
    HullBuilder(bool include_ports, bool include_labels,
                const std::optional<std::set<Layer>>& layers, ErrorHandler& status)
        : include_ports_(include_ports), include_labels_(include_labels), layers_(layers),
          status_(status) {}

    const std::vector<Vector>& component_hull(const Component& component) {
        if (auto found = hulls_.find(&component); found != hulls_.end()) return found->second;
        static const std::vector<Vector> none;
        if (!building_.insert(&component).second) return none;
        std::vector<Vector> points;
        for (const auto& [layer, items] : component.structures) {
            if (!wanted(layer)) continue;
            for (const auto& structure : items) {
                const Polygon polygon = structure->to_polygon(status_);
                points.insert(points.end(), polygon.vertices().begin(), polygon.vertices().end());
            }
        }
        if (include_labels_)
            for (const auto& [layer, items] : component.labels)
                if (wanted(layer))
                    for (const auto& label : items) points.push_back(label->origin());
        if (include_ports_)
            for (const auto& [name, port] : component.ports) points.push_back(port->center());
        for (const auto& reference : component.references) {
            std::vector<Vector> placed = reference_hull(*reference);
            points.insert(points.end(), placed.begin(), placed.end());
        }
        building_.erase(&component);
        return hulls_[&component] = hull_or_extremes(points);
    }

    std::vector<Vector> reference_hull(const Reference& reference) {
        if (reference.repetition().count() == 0) return {};
        const Placement step = reference.base_placement();
        const PointChain place(Placements(&step, 1));
        std::vector<Vector> placed = place(component_hull(*reference.component()));
        std::vector<Vector> points;
        for (const Vector& offset : corner_offsets(reference.repetition()))
            for (const Vector& p : placed) points.push_back(check_range(p + offset));
        return hull_or_extremes(points);
    }

private:
    bool wanted(const Layer& layer) const { return !layers_ || layers_->count(layer); }

    bool include_ports_;
    bool include_labels_;
    const std::optional<std::set<Layer>>& layers_;
    ErrorHandler& status_;
    std::unordered_map<const Component*, std::vector<Vector>> hulls_;
    std::unordered_set<const Component*> building_;
};

bool only_translates(const Placement& step) {
    return step.magnification == 1 && !step.x_reflection && angles_equal(step.rotation, 0, 360);
}

}  // namespace

std::vector<std::shared_ptr<Port>> Reference::get_ports(const std::string& name) const {
    std::vector<std::shared_ptr<Port>> result;
    auto found = component_->ports.find(name);
    if (found == component_->ports.end()) return result;
    const uint64_t count = repetition_.count();
    result.reserve(count);
    for (uint64_t i = 0; i < count; ++i) result.push_back(placed_port(*found->second, placement(i)));
    return result;
}

std::vector<std::shared_ptr<Terminal>> Reference::get_terminals(const std::string& name) const {
    std::vector<std::shared_ptr<Terminal>> result;
    auto found = component_->terminals.find(name);
    if (found == component_->terminals.end()) return result;
    const uint64_t count = repetition_.count();
    result.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        result.push_back(placed_terminal(*found->second, placement(i)));
    return result;
}

StructureMap Reference::get_structures(const HierarchyFilter& filter) const {
    return placed_items(*this, component_->get_structures(filter));
}

LabelMap Reference::get_labels(const HierarchyFilter& filter) const {
    return placed_items(*this, component_->get_labels(filter));
}

void Reference::connect(const std::string& port_name, const Port& to, uint64_t index,
                        ErrorHandler& status) {
    if (index >= repetition_.count()) return status.error(kConnectIndexError);
    auto found = component_->ports.find(port_name);
    if (found == component_->ports.end()) return status.error(kConnectPortError);
    // Held: the component may lose the port while this reference is being moved.
    const std::shared_ptr<Port> source = found->second;
    std::shared_ptr<Port> port = placed_port(*source, placement(index));

    if ((port->classification() == Classification::Electrical) !=
        (to.classification() == Classification::Electrical))
        status.warning(kMixedConnection);
    const PortSpec& spec = *port->spec();
    const std::shared_ptr<PortSpec>& target = to.spec();
    bool reflect = false;
    if (target->symmetric()) {
        if (!spec.profile_matches(*target)) status.warning(kIncompatibleSpecs);
    } else if (spec.profile_matches(*target)) {
        reflect = port->inverted() == to.inverted();
    } else if (spec.profile_matches(*inverted(target))) {
        reflect = port->inverted() != to.inverted();
    } else {
        status.warning(kIncompatibleSpecs);
    }

    const Vector origin = origin_;
    const double rotation = rotation_, scaling = scaling_;
    const bool x_reflection = x_reflection_;
    try {
        if (reflect) {
            transform({}, true, 0, 1);
            port = placed_port(*source, placement(index));
        }
        const double delta = to.input_direction() - port->input_direction();
        const double turn = delta + 180 >= 360 ? delta - 180 : delta + 180;
        const Vector center = port->center();
        rotate(turn, center);
        translate(to.center() - center);
    } catch (...) {
        origin_ = origin;
        rotation_ = rotation;
        scaling_ = scaling;
        x_reflection_ = x_reflection;
        throw;
    }
}

std::shared_ptr<Component> Reference::transformed_component(std::string name,
                                                            uint64_t index) const {
    const Placement step = placement(index);
    const Component& source = *component_;
    auto result = std::make_shared<Component>(std::move(name), source.technology);
    for (const auto& [layer, items] : source.structures)
        for (const auto& item : items) result->add(layer, placed_copy(*item, step));
    for (const auto& [layer, items] : source.labels)
        for (const auto& item : items) result->add(layer, placed_copy(*item, step));
    for (const auto& [port_name, port] : source.ports)
        result->ports[port_name] = placed_port(*port, step);
    for (const auto& [terminal_name, terminal] : source.terminals)
        result->terminals[terminal_name] = placed_terminal(*terminal, step);
    // Spacing is not transformed with a reference, so an array keeps its shape under a plain
    // translation only; otherwise each of its instances becomes a reference of its own.
    for (const auto& reference : source.references) {
        const uint64_t count = reference->repetition().count();
        std::vector<std::shared_ptr<Reference>> placed;
        if (count == 1 || only_translates(step)) {
            placed.push_back(reference->copy(false, false));
        } else {
            for (uint64_t i = 0; i < count; ++i)
                placed.push_back(reference->repetition_reference(i));
        }
        for (auto& r : placed) {
            r->transform(step.translation, step.x_reflection, step.rotation, step.magnification);
            result->references.push_back(std::move(r));
        }
    }
    result->models = source.models;
    result->active_optical_model = source.active_optical_model;
    result->active_electrical_model = source.active_electrical_model;
    return result;
}

std::optional<Bounds> Reference::bounds(bool include_ports, bool include_labels,
                                        const std::optional<std::set<Layer>>& layers,
                                        ErrorHandler& status) const {
    if (repetition_.count() == 0) return std::nullopt;
    // Quarter turns keep boxes boxes; other turns place the hull, whose box is the tight one.
    std::vector<Vector> outline;
    int quarter_turns = 0;
    if (!is_quarter_turn(rotation_, quarter_turns))
        outline = HullBuilder(include_ports, include_labels, layers, status)
                      .component_hull(*component_);
    if (outline.empty()) {
        std::optional<Bounds> box = component_->bounds(include_ports, include_labels, layers, status);
        if (!box) return std::nullopt;
        outline = {{box->x_min, box->y_min}, {box->x_max, box->y_min},
                   {box->x_max, box->y_max}, {box->x_min, box->y_max}};
    }
    const Placement step = base_placement();
    const std::vector<Vector> placed = PointChain(Placements(&step, 1))(outline);
    Bounds result{placed[0].x, placed[0].y, placed[0].x, placed[0].y};
    for (const Vector& p : placed) extend(result, {p.x, p.y, p.x, p.y});
    const Vector last = repetition_.offset(repetition_.count() - 1);
    result.x_min += std::min<Coord>(0, last.x);
    result.x_max += std::max<Coord>(0, last.x);
    result.y_min += std::min<Coord>(0, last.y);
    result.y_max += std::max<Coord>(0, last.y);
    if (!in_range(Vector{result.x_min, result.y_min}) || !in_range(Vector{result.x_max, result.y_max}))
        throw RangeError();
    return result;
}

std::vector<Vector> Reference::convex_hull(bool include_labels, ErrorHandler& status) const {
    return HullBuilder(false, include_labels, std::nullopt, status).reference_hull(*this);
}

std::vector<Vector> component_convex_hull(const Component& component, bool include_ports,
                                          bool include_labels,
                                          const std::optional<std::set<Layer>>& layers,
                                          ErrorHandler& status) {
    return HullBuilder(include_ports, include_labels, layers, status).component_hull(component);
}

}  // namespace whistle
