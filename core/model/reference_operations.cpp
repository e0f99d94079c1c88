// What a reference yields per instance (ports, terminals, geometry), its connection to a port,
// and the component of one placed instance.
#include "component.hpp"

namespace whistle {

namespace {

constexpr const char* kConnectIndexError =
    "Index larger than the number of repetitions in this reference.";
constexpr const char* kConnectPortError =
    "Port not found in this reference's component (3D ports not included).";
constexpr const char* kMixedConnection =
    "Incompatible connection between an electrical with an optical port.";
constexpr const char* kIncompatibleSpecs = "Connecting ports with incompatible specifications.";

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
    for (uint64_t i = 0; i < count; ++i) result.push_back(found->second->placed(placement(i)));
    return result;
}

std::vector<std::shared_ptr<Terminal>> Reference::get_terminals(const std::string& name) const {
    std::vector<std::shared_ptr<Terminal>> result;
    auto found = component_->terminals.find(name);
    if (found == component_->terminals.end()) return result;
    const uint64_t count = repetition_.count();
    result.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        result.push_back(found->second->placed(placement(i)));
    return result;
}

StructureMap Reference::get_structures(const HierarchyFilter& filter) const {
    StructureMap result;
    component_->place_instances(*this, filter, &result, nullptr);
    return result;
}

LabelMap Reference::get_labels(const HierarchyFilter& filter) const {
    LabelMap result;
    component_->place_instances(*this, filter, nullptr, &result);
    return result;
}

void Reference::connect(const std::string& port_name, const Port& to, uint64_t index,
                        ErrorHandler& status) {
    if (index >= repetition_.count()) return status.error(kConnectIndexError);
    auto found = component_->ports.find(port_name);
    if (found == component_->ports.end()) return status.error(kConnectPortError);
    // Held: the component may lose the port while this reference is being moved.
    const std::shared_ptr<Port> source = found->second;
    std::shared_ptr<Port> port = source->placed(placement(index));

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

    const Frame saved = frame({});
    try {
        if (reflect) {
            transform({}, true, 0, 1);
            port = source->placed(placement(index));
        }
        const double delta = to.input_direction() - port->input_direction();
        const double turn = delta + 180 >= 360 ? delta - 180 : delta + 180;
        // The instance offset does not turn with the reference: turning about the port's
        // center less the offset keeps the port of this instance where it is.
        const Vector center = port->center();
        rotate(turn, center - repetition_.offset(index));
        translate(to.center() - center);
    } catch (...) {
        assign(saved);
        throw;
    }
}

std::shared_ptr<Component> Reference::transformed_component(std::string name,
                                                            uint64_t index) const {
    const Placement step = placement(index);
    const Component& source = *component_;
    auto result = std::make_shared<Component>(std::move(name), source.technology);
    for (const auto& [layer, items] : source.structures)
        for (const auto& item : items) result->add(layer, placed_copy(*item, Placements(&step, 1)));
    for (const auto& [layer, items] : source.labels)
        for (const auto& item : items) result->add(layer, placed_copy(*item, Placements(&step, 1)));
    for (const auto& [port_name, port] : source.ports)
        result->ports[port_name] = port->placed(step);
    for (const auto& [terminal_name, terminal] : source.terminals)
        result->terminals[terminal_name] = terminal->placed(step);
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

}  // namespace whistle
