// Virtual connections and nets of a component: instance numbering, editing and validation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "component.hpp"

namespace whistle {

// One repetition of one reference: instances are numbered by reference order, then by
// repetition index.
struct Instance {
    size_t reference;
    uint64_t repetition;
};

std::vector<Instance> instances(const Component& component);
// The reference and repetition index of an instance; none past the instance list.
std::optional<std::pair<std::shared_ptr<Reference>, uint64_t>> instance_at(
    const Component& component, uint64_t index);
std::optional<size_t> reference_index(const Component& component, const Reference* reference);
// Null reference or one not in the component, or a repetition past its count: none.
std::optional<size_t> instance_index(const Component& component, const Reference* reference,
                                     uint64_t repetition);

// Modes carried by a 2D or 3D port of the component; none when it has no such port.
std::optional<uint32_t> port_modes(const Component& owner, const std::string& name);

// ---- Virtual connections ---------------------------------------------------------------

// The endpoints of two instances; an index past the instance list is reported in `status`
// and leaves the component unchanged.
bool add_virtual_connection_by_instance(Component& component, uint64_t instance0,
                                        const std::string& port0, uint64_t instance1,
                                        const std::string& port1, ErrorHandler& status);
// Removes every connection with this endpoint; true when any was removed.
bool remove_virtual_connection(Component& component, const ConnectionEndpoint& endpoint);

// Indices of the connections that netlists ignore, with their warnings: an endpoint whose
// reference (or instance) is not in the component or whose port is missing, and endpoints
// with different numbers of modes.
std::vector<size_t> invalid_virtual_connections(const Component& component, ErrorHandler& status);

// ---- Virtual nets ----------------------------------------------------------------------

// Why the members cannot form a net of this component (empty when they can).
std::string virtual_net_error(const Component& component, const std::vector<NetMember>& members);
// Removes every net containing the member; true when any was removed.
bool remove_virtual_net(Component& component, const NetMember& member);
// Removes the member from every net (nets left with fewer than two members go as well).
bool remove_virtual_net_member(Component& component, const NetMember& member);

}  // namespace whistle
