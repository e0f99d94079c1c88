#include "connectivity.hpp"

#include <algorithm>

namespace whistle {

namespace {

bool same_endpoint(const ConnectionEndpoint& a, const ConnectionEndpoint& b) {
    return a.reference == b.reference && a.port == b.port &&
           a.repetition_index == b.repetition_index;
}

bool same_member(const NetMember& a, const NetMember& b) {
    return a.reference == b.reference && a.terminal == b.terminal &&
           a.repetition_index == b.repetition_index;
}

// The component that owns an endpoint's port, or null when the reference is invalid.
const Component* endpoint_owner(const Component& component, const ConnectionEndpoint& endpoint) {
    if (!endpoint.reference) return &component;
    if (!instance_index(component, endpoint.reference.get(), endpoint.repetition_index))
        return nullptr;
    return endpoint.reference->component().get();
}

// "reference 2 'NAME' at port 'PORT" (the closing quote follows in the message).
std::string endpoint_text(const Component& component, const ConnectionEndpoint& endpoint) {
    if (!endpoint.reference)
        return "component '" + component.name + "' at port '" + endpoint.port;
    auto index = reference_index(component, endpoint.reference.get());
    const auto& target = endpoint.reference->component();
    return "reference " + (index ? std::to_string(*index) : std::string("-1")) + " '" +
           (target ? target->name : std::string()) + "' at port '" + endpoint.port;
}

// A valid endpoint's number of modes; none (with the warning) otherwise.
std::optional<uint32_t> endpoint_modes(const Component& component,
                                       const ConnectionEndpoint& endpoint, ErrorHandler& status) {
    const Component* owner = endpoint_owner(component, endpoint);
    if (!owner) {
        status.warning("Virtual connection to " + endpoint_text(component, endpoint) +
                       "' ignored (invalid reference).");
        return std::nullopt;
    }
    auto modes = port_modes(*owner, endpoint.port);
    if (!modes)
        status.warning("Virtual connection to " + endpoint_text(component, endpoint) +
                       "' ignored (port not found).");
    return modes;
}

}  // namespace

std::optional<uint32_t> port_modes(const Component& owner, const std::string& name) {
    if (auto it = owner.ports.find(name); it != owner.ports.end())
        return it->second->spec()->num_modes();
    if (auto it = owner.ports3d.find(name); it != owner.ports3d.end())
        return it->second->mode()->num_modes();
    return std::nullopt;
}

std::vector<Instance> instances(const Component& component) {
    std::vector<Instance> result;
    for (size_t i = 0; i < component.references.size(); ++i) {
        uint64_t count = component.references[i]->repetition().count();
        for (uint64_t r = 0; r < count; ++r) result.push_back({i, r});
    }
    return result;
}

std::optional<std::pair<std::shared_ptr<Reference>, uint64_t>> instance_at(
    const Component& component, uint64_t index) {
    for (const auto& reference : component.references) {
        uint64_t count = reference->repetition().count();
        if (index < count) return std::make_pair(reference, index);
        index -= count;
    }
    return std::nullopt;
}

std::optional<size_t> reference_index(const Component& component, const Reference* reference) {
    const auto& list = component.references;
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const auto& item) { return item.get() == reference; });
    if (it == list.end()) return std::nullopt;
    return size_t(it - list.begin());
}

std::optional<size_t> instance_index(const Component& component, const Reference* reference,
                                     uint64_t repetition) {
    auto index = reference_index(component, reference);
    if (!index || repetition >= reference->repetition().count()) return std::nullopt;
    size_t result = 0;
    for (size_t i = 0; i < *index; ++i) result += component.references[i]->repetition().count();
    return result + repetition;
}

bool add_virtual_connection_by_instance(Component& component, uint64_t instance0,
                                        const std::string& port0, uint64_t instance1,
                                        const std::string& port1, ErrorHandler& status) {
    auto first = instance_at(component, instance0);
    auto second = instance_at(component, instance1);
    if (!first || !second) {
        status.error("Virtual connection between instances " + std::to_string(instance0) +
                     " and " + std::to_string(instance1) + " is invalid for component with " +
                     std::to_string(instances(component).size()) + " valid instances.");
        return false;
    }
    component.virtual_connections.emplace_back(
        ConnectionEndpoint{first->first, port0, first->second},
        ConnectionEndpoint{second->first, port1, second->second});
    return true;
}

bool remove_virtual_connection(Component& component, const ConnectionEndpoint& endpoint) {
    return std::erase_if(component.virtual_connections, [&](const auto& connection) {
               return same_endpoint(connection.first, endpoint) ||
                      same_endpoint(connection.second, endpoint);
           }) > 0;
}

std::vector<size_t> invalid_virtual_connections(const Component& component, ErrorHandler& status) {
    std::vector<size_t> result;
    for (size_t i = 0; i < component.virtual_connections.size(); ++i) {
        const auto& [first, second] = component.virtual_connections[i];
        auto modes0 = endpoint_modes(component, first, status);
        auto modes1 = endpoint_modes(component, second, status);
        if (modes0 && modes1 && *modes0 != *modes1)
            status.warning("Virtual connection between " + endpoint_text(component, first) +
                           "' and " + endpoint_text(component, second) +
                           "' ignored (ports with different numbers of modes).");
        if (!modes0 || !modes1 || *modes0 != *modes1) result.push_back(i);
    }
    return result;
}

std::string virtual_net_error(const Component& component, const std::vector<NetMember>& members) {
    if (members.size() < 2) return "A net must join at least two terminals.";
    for (size_t i = 0; i < members.size(); ++i) {
        const NetMember& member = members[i];
        if (member.reference) {
            if (!reference_index(component, member.reference.get()))
                return "Each Reference in a net must already be added to this component.";
            if (member.repetition_index >= member.reference->repetition().count())
                return "A net terminal repetition index is out of range.";
        }
        for (size_t j = 0; j < i; ++j)
            if (same_member(members[j], member)) return "A net may not contain duplicate terminals.";
    }
    return {};
}

bool remove_virtual_net(Component& component, const NetMember& member) {
    return std::erase_if(component.virtual_nets, [&](const auto& net) {
               return std::any_of(net.begin(), net.end(),
                                  [&](const NetMember& m) { return same_member(m, member); });
           }) > 0;
}

bool remove_virtual_net_member(Component& component, const NetMember& member) {
    return component.drop_net_members([&](const NetMember& m) { return same_member(m, member); });
}

}  // namespace whistle
