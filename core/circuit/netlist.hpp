// The netlist of a component: its instances, how their ports meet, which of them stand for the
// component's own ports and terminals, and the electrical nets joining their terminals.
//
// Building one runs in three steps so that the expensive middle one can run without any lock
// of the caller's: `gather_*` copies what the extraction reads out of the hierarchy, `extract_*`
// works on that copy alone (memoised in two caches keyed by the copy's content, so a cached
// result is never stale), and `build_netlist` adds the declared connections and nets and the
// warnings.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/component.hpp"
#include "core/model/connectivity.hpp"

namespace whistle {

// A port of one instance with its number of modes.
struct InstancePort {
    uint64_t instance;
    std::string name;
    uint32_t modes;
};
using PortPair = std::pair<InstancePort, InstancePort>;

// A terminal of one instance, or of the component itself (no instance).
struct NetTerminal {
    std::optional<uint64_t> instance;
    decltype(NetMember::terminal) terminal;
};
using Net = std::vector<NetTerminal>;

// ---- Port connectivity -------------------------------------------------------------------

// A port of the hierarchy, placed in the component's coordinates, with a port spec of its
// own (copied, so the extraction reads nothing shared).
struct PlacedPort {
    uint64_t instance;
    std::string name;
    std::shared_ptr<Port> port;
};

struct PortInput {
    std::vector<Instance> instances;
    std::vector<PlacedPort> instance_ports;
    std::vector<PlacedPort> own_ports;  // instance unused
    std::string fingerprint;
};

struct PortConnectivity {
    std::vector<Instance> instances;
    // Ports placed together: connected when the connection test holds and the mode counts
    // agree, butt-coupled otherwise.
    std::vector<PortPair> connections;
    std::vector<PortPair> butt_couplings;
    // The component's own ports and the instance ports they stand for.
    std::vector<std::pair<InstancePort, std::string>> ports;
    // Own ports matching none, with their centers.
    std::vector<std::pair<std::string, Vector>> unmatched_ports;
    // Instance ports in none of the above.
    std::vector<InstancePort> unconnected;
};

// Throws RangeError when a placed port leaves the coordinate range.
PortInput gather_ports(const Component& component);
std::shared_ptr<const PortConnectivity> extract_ports(const PortInput& input);

// ---- Electrical nets ---------------------------------------------------------------------

// A piece of conductor: the component's own geometry on a conductive layer, or the shape of a
// terminal (`terminal` indexes NetInput::terminals).
struct Conductor {
    Layer layer;
    Polygon polygon;
    std::optional<size_t> terminal;
};

struct NetInput {
    std::vector<Instance> instances;
    // Instance terminals, then the component's own.
    std::vector<NetTerminal> terminals;
    std::vector<Conductor> conductors;
    std::set<LayerPair> connected_layers;
    std::string fingerprint;
};

struct NetConnectivity {
    std::vector<Instance> instances;
    // Terminals joined by conductors, in order of their first member; a net of one member is a
    // dangling terminal.
    std::vector<Net> nets;
    // The component's own terminals and the instance terminals they stand for.
    std::vector<std::pair<NetTerminal, std::string>> terminals;
    // Own terminals matching none, with the centers of their shapes.
    std::vector<std::pair<std::string, Vector>> unmatched_terminals;
};

NetInput gather_nets(const Component& component, ErrorHandler& status);
std::shared_ptr<const NetConnectivity> extract_nets(const NetInput& input);

// ---- Caches ------------------------------------------------------------------------------

// Entries held by the port and the net cache.
std::pair<size_t, size_t> netlist_cache_sizes();
void clear_netlist_caches();
// Capacity of both caches; below 1 means no limit.
void set_netlist_cache_capacity(int64_t capacity);

// ---- Netlist -----------------------------------------------------------------------------

struct Netlist {
    std::vector<Instance> instances;
    std::vector<std::pair<InstancePort, std::string>> ports;
    std::vector<std::pair<NetTerminal, std::string>> terminals;
    std::vector<PortPair> connections;
    std::vector<PortPair> virtual_connections;
    std::vector<PortPair> butt_couplings;
    std::vector<Net> nets;
    std::vector<Net> virtual_nets;
};

// Completes the extracted connectivity with the 3D ports, virtual connections and nets of the
// component. Warnings (unless suppressed) and errors go to `status`, among them an extraction
// that names instances the component no longer has.
Netlist build_netlist(const Component& component, const PortConnectivity& ports,
                      const NetConnectivity& nets, bool suppress_warnings, ErrorHandler& status);

}  // namespace whistle
