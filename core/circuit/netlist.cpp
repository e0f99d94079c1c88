#include "netlist.hpp"

#include <algorithm>
#include <numeric>
#include <type_traits>
#include <unordered_map>

#include "core/foundation/text.hpp"
#include "core/geometry/set_operations.hpp"
#include "lru_cache.hpp"

namespace whistle {

namespace {

constexpr const char* kStaleCache = "Cached connectivity contains an invalid root reference ordinal.";

LruCache<PortConnectivity>& port_cache() {
    static LruCache<PortConnectivity> cache;
    return cache;
}

LruCache<NetConnectivity>& net_cache() {
    static LruCache<NetConnectivity> cache;
    return cache;
}

// The bytes of everything an extraction reads, in reading order: equal fingerprints give equal
// results, so they key the caches.
class Fingerprint {
public:
    template <class T>
        requires std::is_arithmetic_v<T>
    void add(T value) {
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof(T));
    }
    void add(const std::string& text) {
        add(text.size());
        bytes_ += text;
    }
    void add(const Vector& v) {
        add(v.x);
        add(v.y);
    }
    void add(const Layer& layer) {
        add(layer.layer);
        add(layer.datatype);
    }
    void add(const Ring& ring) {
        add(ring.size());
        for (const Vector& v : ring) add(v);
    }
    void add(const Polygon& polygon) {
        add(polygon.vertices());
        add(polygon.holes().size());
        for (const Ring& hole : polygon.holes()) add(hole);
    }
    void add(const decltype(NetMember::terminal)& key) {
        add(key.index());
        if (const auto* name = std::get_if<std::string>(&key)) return add(*name);
        const auto& [port, terminal] = std::get<std::pair<std::string, std::string>>(key);
        add(port);
        add(terminal);
    }
    // The instance numbering is part of every result.
    void add(const std::vector<Instance>& list) {
        add(list.size());
        for (const Instance& instance : list) {
            add(instance.reference);
            add(instance.repetition);
        }
    }
        void add(const std::optional<uint64_t>& index) {
        add(index.has_value());
        add(index.value_or(0));
    }

    std::string take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Private copies of the port specifications met, one per original: each is printed in full
// the first time, by its number after that.
class SpecCopies {
public:
    std::shared_ptr<PortSpec> copy(const std::shared_ptr<PortSpec>& spec, Fingerprint& print) {
        auto [it, added] = copies_.try_emplace(spec.get());
        if (added) {
            it->second = {copies_.size() - 1, std::make_shared<PortSpec>(*spec)};
            print_content(*spec, print);
        }
        print.add(it->second.first);
        return it->second.second;
    }

private:
    // What the connection test and the mode count read.
    static void print_content(const PortSpec& spec, Fingerprint& print) {
        print.add(spec.width());
        print.add(spec.limits()[0]);
        print.add(spec.limits()[1]);
        print.add(spec.is_electrical());
        print.add(spec.num_modes());
        print.add(spec.path_profiles().size());
        for (const auto& [name, profile] : spec.path_profiles()) {
            print.add(profile.width);
            print.add(profile.offset);
            print.add(profile.layer);
        }
    }

    std::unordered_map<const PortSpec*, std::pair<size_t, std::shared_ptr<PortSpec>>> copies_;
};

struct VectorHash {
    size_t operator()(const Vector& v) const {
        return std::hash<Coord>()(v.x) * 1000003u ^ std::hash<Coord>()(v.y);
    }
};

InstancePort instance_port(const PlacedPort& placed) {
    return {placed.instance, placed.name, placed.port->spec()->num_modes()};
}

bool opposite(const Port& a, const Port& b) {
    return angles_equal(a.input_direction() - 180, b.input_direction(), 360);
}

struct UnionFind {
    explicit UnionFind(size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
    size_t find(size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    }
    // The smaller root wins, so every set is named by its first member.
    void unite(size_t a, size_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    std::vector<size_t> parent;
};

bool layers_join(const std::set<LayerPair>& connected, const Layer& a, const Layer& b) {
    return a == b || connected.contains(LayerPair(std::minmax(a, b)));
}

// Joins the conductors that share a point and whose layers are the same or connected, by a
// sweep over their boxes sorted by left end: only pairs whose boxes overlap are tested.
void join_conductors(const NetInput& input, UnionFind& sets) {
    const auto& conductors = input.conductors;
    std::vector<Bounds> boxes;
    std::vector<size_t> order;
    for (size_t i = 0; i < conductors.size(); ++i) {
        boxes.push_back(conductors[i].polygon.vertices().empty()
                            ? Bounds{}
                            : ring_bounds(conductors[i].polygon.vertices()));
        if (!conductors[i].polygon.vertices().empty()) order.push_back(i);
    }
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return boxes[a].x_min < boxes[b].x_min; });
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t a = order[k];
        for (size_t l = k + 1; l < order.size() && boxes[order[l]].x_min <= boxes[a].x_max; ++l) {
            const size_t b = order[l];
            if (boxes[b].y_min > boxes[a].y_max || boxes[a].y_min > boxes[b].y_max ||
                sets.find(a) == sets.find(b) ||
                !layers_join(input.connected_layers, conductors[a].layer, conductors[b].layer))
                continue;
            if (intersects(conductors[a].polygon, conductors[b].polygon)) sets.unite(a, b);
        }
    }
}

// An own terminal stands for an instance terminal of the same layer and the same shape.
void match_terminals(const NetInput& input, NetConnectivity& result) {
    std::map<std::pair<Layer, std::vector<Coord>>, std::vector<size_t>> by_shape;
    auto shape_key = [&](const Conductor& c) {
        std::vector<Coord> coordinates;
        for (const Vector& v : c.polygon.vertices()) coordinates.insert(coordinates.end(), {v.x, v.y});
        return std::make_pair(c.layer, std::move(coordinates));
    };
    for (const Conductor& c : input.conductors)
        if (c.terminal && input.terminals[*c.terminal].instance)
            by_shape[shape_key(c)].push_back(*c.terminal);
    for (const Conductor& c : input.conductors) {
        if (!c.terminal || input.terminals[*c.terminal].instance) continue;
        const auto& name = std::get<std::string>(input.terminals[*c.terminal].terminal);
        auto it = by_shape.find(shape_key(c));
        if (it == by_shape.end() || it->second.empty()) {
            Bounds box = c.polygon.vertices().empty() ? Bounds{} : ring_bounds(c.polygon.vertices());
            result.unmatched_terminals.emplace_back(
                name, Vector{(box.x_min + box.x_max) / 2, (box.y_min + box.y_max) / 2});
            continue;
        }
        result.terminals.emplace_back(input.terminals[it->second.front()], name);
        it->second.erase(it->second.begin());
    }
}

// "Port 'P' of reference 1 ('NAME'), repetition 2"
std::string instance_item_text(const Component& component, const Instance& instance,
                               const std::string& kind, const std::string& name) {
    const auto& target = component.references[instance.reference]->component();
    return kind + " '" + name + "' of reference " + std::to_string(instance.reference) +
           " ('" + (target ? target->name : std::string()) + "'), repetition " +
           std::to_string(instance.repetition);
}

// Every instance named by an extraction still exists in the component.
bool instances_valid(const Component& component, const std::vector<Instance>& list) {
    return std::all_of(list.begin(), list.end(), [&](const Instance& instance) {
        return instance.reference < component.references.size() &&
               instance.repetition < component.references[instance.reference]->repetition().count();
    });
}

// Calls visit(instance index, referenced component, placement) for every instance.
template <class Visit>
void for_each_instance(const Component& component, const std::vector<Instance>& list, Visit visit) {
    for (uint64_t i = 0; i < list.size(); ++i) {
        const Reference& reference = *component.references[list[i].reference];
        visit(i, *reference.component(), reference.placement(list[i].repetition));
    }
}

// 3D ports are placed in the plane: the center's x and y and the input vector's x and y follow
// the placement (the vector keeps its length), z stays; the mode is kept as it is.
std::shared_ptr<Port3D> placed_port3d(const Port3D& port, const Placement& step) {
    const auto& c = port.center();
    const auto& v = port.input_vector();
    Vector center = step.point(Vector{c[0], c[1]});
    Vec2 direction = step.vector(Vec2{v[0], v[1]});
    double scale = std::abs(step.magnification);
    return std::make_shared<Port3D>(Point3{center.x, center.y, c[2]},
                                    Vector3{direction.x / scale, direction.y / scale, v[2]},
                                    port.mode());
}

// The component's own 3D ports matched with the 3D ports of the instances.
void match_ports3d(const Component& component, const std::vector<Instance>& list,
                   bool suppress_warnings, Netlist& netlist, ErrorHandler& status) {
    if (component.ports3d.empty()) return;
    std::map<Point3, std::vector<std::pair<InstancePort, std::shared_ptr<Port3D>>>> at;
    for_each_instance(component, list, [&](uint64_t i, const Component& target, const Placement& step) {
        for (const auto& [name, port] : target.ports3d) {
            auto placed = placed_port3d(*port, step);
            at[placed->center()].emplace_back(InstancePort{i, name, port->mode()->num_modes()}, placed);
        }
    });
    for (const auto& [name, port] : component.ports3d) {
        auto& candidates = at[port->center()];
        const Port3D& own = *port;
        auto it = std::find_if(candidates.begin(), candidates.end(),
                               [&](const auto& c) { return own.matches(*c.second); });
        if (it != candidates.end()) {
            netlist.ports.emplace_back(it->first, name);
            candidates.erase(it);
        } else if (!suppress_warnings) {
            const auto& c = port->center();
            status.warning("Port3D '" + name + "' at (" + shortest_text(from_db(c[0])) + ", " +
                           shortest_text(from_db(c[1])) + ", " + shortest_text(from_db(c[2])) +
                           ") from component '" + component.name +
                           "' does not match any reference ports and will be ignored.");
        }
    }
}

// The valid virtual connections between instance ports (those with the component's own port
// at an end stand for no instance port and are left out).
std::vector<PortPair> virtual_port_pairs(const Component& component, bool suppress_warnings,
                                         ErrorHandler& status) {
    ErrorHandler checks;
    std::vector<bool> invalid(component.virtual_connections.size(), false);
    for (size_t i : invalid_virtual_connections(component, checks)) invalid[i] = true;
    if (!suppress_warnings)
        for (const std::string& warning : checks.warnings) status.warning(warning);
    std::vector<PortPair> result;
    for (size_t i = 0; i < component.virtual_connections.size(); ++i) {
        if (invalid[i]) continue;
        const auto& [first, second] = component.virtual_connections[i];
        if (!first.reference || !second.reference) continue;
        auto end = [&](const ConnectionEndpoint& e) {
            return InstancePort{*instance_index(component, e.reference.get(), e.repetition_index),
                                e.port, *port_modes(*e.reference->component(), e.port)};
        };
        result.emplace_back(end(first), end(second));
    }
    return result;
}

std::vector<Net> declared_nets(const Component& component, ErrorHandler& status) {
    std::vector<Net> result;
    for (const auto& declared : component.virtual_nets) {
        Net net;
        for (const NetMember& member : declared) {
            if (!member.reference) {
                if (member.repetition_index != 0) {
                    status.error("A component boundary terminal cannot have a repetition index.");
                    return {};
                }
                net.push_back({std::nullopt, member.terminal});
                continue;
            }
            auto index = instance_index(component, member.reference.get(), member.repetition_index);
            if (!index) {
                status.error("A net references a Reference that is not present in component '" +
                             component.name + "'.");
                return {};
            }
            net.push_back({*index, member.terminal});
        }
        result.push_back(std::move(net));
    }
    return result;
}


std::string position_text(const Vector& p) { return " at " + point_text(p); }

// One warning: the heading, then a line per item; none without items.
void warn_list(ErrorHandler& status, std::string heading, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    for (const std::string& line : lines) heading.append(1, '\n').append(line);
    status.warning(heading);
}

// Own ports that stand for nothing, and instance ports that are neither connected, nor
// external, nor joined by declaration.
void warn_left_out_ports(const Component& component, const PortConnectivity& ports,
                         const Netlist& netlist, ErrorHandler& status) {
    for (const auto& [name, center] : ports.unmatched_ports)
        status.warning("Port '" + name + "'" + position_text(center) + " from component '" +
                       component.name + "' does not match any reference ports and will be ignored.");
    std::set<std::pair<uint64_t, std::string>> declared;
    for (const auto& [first, second] : netlist.virtual_connections) {
        declared.emplace(first.instance, first.name);
        declared.emplace(second.instance, second.name);
    }
    std::vector<std::string> lines;
    for (const InstancePort& port : ports.unconnected)
        if (!declared.contains({port.instance, port.name}))
            lines.push_back(instance_item_text(component, netlist.instances[port.instance], "Port", port.name) +
                            " is not connected and will be ignored.");
    warn_list(status, "These ports are not connected and will be ignored:", lines);
}

// Own terminals that stand for nothing, and terminals alone in their net that no declared net
// names.
void warn_left_out_terminals(const Component& component, const NetConnectivity& nets,
                             const Netlist& netlist, ErrorHandler& status) {
    for (const auto& [name, center] : nets.unmatched_terminals)
        status.warning("Terminal '" + name + "'" + position_text(center) + " from component '" +
                       component.name + "' does not match any reference terminals and will be ignored.");
    std::set<std::pair<std::optional<uint64_t>, decltype(NetMember::terminal)>> declared;
    for (const Net& net : netlist.virtual_nets)
        for (const NetTerminal& member : net) declared.emplace(member.instance, member.terminal);
    std::vector<std::string> lines;
    for (const Net& net : nets.nets) {
        const NetTerminal& member = net.front();
        if (net.size() != 1 || declared.contains({member.instance, member.terminal})) continue;
        const std::string& name = std::get<std::string>(member.terminal);
        lines.push_back((member.instance ? instance_item_text(component, netlist.instances[*member.instance],
                                                              "Terminal", name)
                                         : "Terminal '" + name + "' of component '" + component.name + "'") +
                        " is dangling: it forms a net with no other terminal.");
    }
    warn_list(status, "These terminals are dangling, each forming a net with no other terminal:", lines);
}

PortConnectivity connect_ports(const PortInput& input) {
    PortConnectivity result;
    result.instances = input.instances;
    const auto& ports = input.instance_ports;
    // Ports meet only where their centers coincide: grouping by center keeps this linear.
    std::unordered_map<Vector, std::vector<size_t>, VectorHash> at;
    for (size_t i = 0; i < ports.size(); ++i) at[ports[i].port->center()].push_back(i);
    std::vector<bool> used(ports.size(), false);
    for (size_t i = 0; i < ports.size(); ++i) {
        if (used[i]) continue;
        const Port& a = *ports[i].port;
        for (size_t j : at[a.center()]) {
            const Port& b = *ports[j].port;
            if (j <= i || used[j] || ports[j].instance == ports[i].instance || !opposite(a, b))
                continue;
            bool connected = a.is_connected_to(b) && a.spec()->num_modes() == b.spec()->num_modes();
            (connected ? result.connections : result.butt_couplings)
                .emplace_back(instance_port(ports[i]), instance_port(ports[j]));
            used[i] = used[j] = true;
            break;
        }
    }
    for (const PlacedPort& own : input.own_ports) {
        auto group = at.find(own.port->center());
        bool matched = false;
        if (group != at.end())
            for (size_t j : group->second) {
                if (used[j] || !own.port->matches(*ports[j].port)) continue;
                result.ports.emplace_back(instance_port(ports[j]), own.name);
                used[j] = matched = true;
                break;
            }
        if (!matched) result.unmatched_ports.emplace_back(own.name, own.port->center());
    }
    for (size_t i = 0; i < ports.size(); ++i)
        if (!used[i]) result.unconnected.push_back(instance_port(ports[i]));
    return result;
}

NetConnectivity join_nets(const NetInput& input) {
    NetConnectivity result;
    result.instances = input.instances;
    UnionFind sets(input.conductors.size());
    join_conductors(input, sets);
    // Nets by the first conductor of their set; terminals come first among the conductors.
    std::map<size_t, size_t> net_of_root;
    for (size_t i = 0; i < input.conductors.size(); ++i) {
        const auto& terminal = input.conductors[i].terminal;
        if (!terminal) continue;
        auto [it, added] = net_of_root.try_emplace(sets.find(i), result.nets.size());
        if (added) result.nets.emplace_back();
        result.nets[it->second].push_back(input.terminals[*terminal]);
    }
    match_terminals(input, result);
    return result;
}

}  // namespace

// ---- Port connectivity -------------------------------------------------------------------

PortInput gather_ports(const Component& component) {
    PortInput input;
    input.instances = instances(component);
    Fingerprint print;
    print.add(input.instances);
    SpecCopies specs;
    auto add = [&](std::vector<PlacedPort>& list, uint64_t instance, const std::string& name,
                   std::shared_ptr<Port> port) {
        port->set_spec(specs.copy(port->spec(), print));
        print.add(instance);
        print.add(name);
        print.add(port->center());
        print.add(port->input_direction());
        print.add(port->inverted());
        list.push_back({instance, name, std::move(port)});
    };
    for_each_instance(component, input.instances,
                      [&](uint64_t i, const Component& target, const Placement& step) {
                          for (const auto& [name, port] : target.ports)
                              add(input.instance_ports, i, name, port->placed(step));
                      });
    print.add(std::string("own"));
    for (const auto& [name, port] : component.ports)
        add(input.own_ports, 0, name, std::make_shared<Port>(*port));
    input.fingerprint = print.take();
    return input;
}

std::shared_ptr<const PortConnectivity> extract_ports(const PortInput& input) {
    return port_cache().find_or_insert(input.fingerprint, [&] { return connect_ports(input); });
}

// ---- Electrical nets ---------------------------------------------------------------------

// Conductors are the component's own structures on conductive layers (those named by the
// technology's layer connections or marked conductive) and the shapes of every terminal, each on
// its routing layer. The instances are black boxes: their inner geometry is the business of
// their models, so only their terminals take part. Two conductors join when they share a point
// (overlap, abutting edges or a single vertex) and lie on the same layer or on two connected
// layers.
NetInput gather_nets(const Component& component, ErrorHandler& status) {
    NetInput input;
    input.instances = instances(component);
    std::set<Layer> conductive;
    if (const Technology* technology = component.technology.get()) {
        input.connected_layers = technology->connected_layers;
        for (const auto& [a, b] : technology->connected_layers) conductive.insert({a, b});
        for (const auto& [name, spec] : technology->layers)
            if (spec->conductive()) conductive.insert(spec->layer());
    }
    Fingerprint print;
    print.add(input.instances);
    auto add_conductor = [&](const Layer& layer, const Structure& structure,
                             std::optional<size_t> terminal) {
        Polygon polygon = structure.to_polygon(status);
        print.add(layer);
        print.add(polygon);
        print.add(std::optional<uint64_t>(terminal));
        input.conductors.push_back({layer, std::move(polygon), terminal});
    };
    auto add_terminal = [&](NetTerminal member, const Terminal& terminal) {
        print.add(member.instance);
        print.add(member.terminal);
        input.terminals.push_back(std::move(member));
        add_conductor(terminal.routing_layer(), *terminal.structure(), input.terminals.size() - 1);
    };
    for_each_instance(component, input.instances,
                      [&](uint64_t i, const Component& target, const Placement& step) {
                          for (const auto& [name, terminal] : target.terminals)
                              add_terminal({i, name}, *terminal->placed(step));
                      });
    for (const auto& [name, terminal] : component.terminals)
        add_terminal({std::nullopt, name}, *terminal);
    for (const auto& [layer, items] : component.structures)
        if (conductive.contains(layer))
            for (const auto& structure : items) add_conductor(layer, *structure, std::nullopt);
    for (const auto& [a, b] : input.connected_layers) {
        print.add(a);
        print.add(b);
    }
    input.fingerprint = print.take();
    return input;
}

std::shared_ptr<const NetConnectivity> extract_nets(const NetInput& input) {
    return net_cache().find_or_insert(input.fingerprint, [&] { return join_nets(input); });
}

// ---- Caches ------------------------------------------------------------------------------

std::pair<size_t, size_t> netlist_cache_sizes() {
    size_t ports = port_cache().size();
    return {ports, net_cache().size()};
}

void clear_netlist_caches() {
    port_cache().clear();
    net_cache().clear();
}

void set_netlist_cache_capacity(int64_t capacity) {
    port_cache().set_capacity(capacity);
    net_cache().set_capacity(capacity);
}

// ---- Netlist -----------------------------------------------------------------------------

Netlist build_netlist(const Component& component, const PortConnectivity& ports,
                      const NetConnectivity& nets, bool suppress_warnings, ErrorHandler& status) {
    Netlist netlist;
    if (!instances_valid(component, ports.instances) || !instances_valid(component, nets.instances)) {
        status.error(kStaleCache);
        return netlist;
    }
    netlist.instances = ports.instances;
    netlist.connections = ports.connections;
    netlist.butt_couplings = ports.butt_couplings;
    netlist.ports = ports.ports;
    netlist.terminals = nets.terminals;
    netlist.nets = nets.nets;
    netlist.virtual_nets = declared_nets(component, status);
    if (status.failed()) return netlist;
    netlist.virtual_connections = virtual_port_pairs(component, suppress_warnings, status);
    match_ports3d(component, netlist.instances, suppress_warnings, netlist, status);
    if (suppress_warnings) return netlist;

    warn_left_out_ports(component, ports, netlist, status);
    warn_left_out_terminals(component, nets, netlist, status);
    return netlist;
}

}  // namespace whistle
