#include "core/verification/spice_schematic.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "core/circuit/netlist.hpp"
#include "core/foundation/properties.hpp"
#include "core/verification/process.hpp"

namespace whistle {

namespace {

constexpr const char* kUnsafeName =
    " cannot be written to a SPICE schematic: names must be non-empty, contain no whitespace, "
    "equals sign or quotation mark (\" or '), and start with neither an asterisk nor a semicolon.";

bool is_route(const Component& component) {
    const Properties* properties = component.existing_properties();
    return properties && properties->find(kRouteProperty);
}

// A name SPICE reads back as the same single word.
const std::string& spice_name(const std::string& name) {
    const bool safe = !name.empty() && name[0] != '*' && name[0] != ';' &&
                      std::none_of(name.begin(), name.end(), [](unsigned char c) {
                          return std::isspace(c) || c == '=' || c == '"' || c == '\'';
                      });
    if (!safe) throw VerificationError(name + kUnsafeName);
    return name;
}

// A pin of the cell itself (no instance) or of one of its instances.
struct Node {
    std::optional<uint64_t> instance;
    bool terminal;
    std::string name;
    auto operator<=>(const Node&) const = default;
};

Node port_node(const InstancePort& port) { return {port.instance, false, port.name}; }

// A terminal of a port belongs to that port's pin.
Node terminal_node(const NetTerminal& member) {
    if (const auto* name = std::get_if<std::string>(&member.terminal)) return {member.instance, true, *name};
    return {member.instance, false, std::get<std::pair<std::string, std::string>>(member.terminal).first};
}

// The pins of a component in subcircuit order: its planar ports, then its terminals.
std::vector<Node> pins(const Component& component, std::optional<uint64_t> instance) {
    std::vector<Node> nodes;
    for (const auto& [name, port] : component.ports) nodes.push_back({instance, false, name});
    for (const auto& [name, terminal] : component.terminals) nodes.push_back({instance, true, name});
    return nodes;
}

// Nodes joined into nets (union-find).
class Nets {
public:
    size_t net(const Node& node) {
        auto [it, added] = ids_.try_emplace(node, parent_.size());
        if (added) parent_.push_back(parent_.size());
        return root(it->second);
    }

    void join(const Node& a, const Node& b) {
        const size_t first = net(a), second = net(b);
        parent_[second] = first;
    }

    template <class Nodes>
    void join_all(const Nodes& nodes) {
        for (size_t i = 1; i < nodes.size(); ++i) join(nodes[0], nodes[i]);
    }

private:
    size_t root(size_t id) {
        while (parent_[id] != id) id = parent_[id] = parent_[parent_[id]];
        return id;
    }

    std::map<Node, size_t> ids_;
    std::vector<size_t> parent_;
};

// One instance line: the subcircuit it places and the nodes of its pins.
struct Placement {
    uint64_t index;
    const layout::PreparedCell* cell;
    std::vector<Node> pins;
};

class CellWriter {
public:
    CellWriter(const layout::PreparedLayout& layout, const layout::PreparedCell& cell)
        : layout_(layout), cell_(cell) {}

    std::string write(ErrorHandler& status) {
        const Component& component = *cell_.component;
        const Netlist netlist = netlist_of(component, status);
        join(netlist);
        const std::vector<Placement> placements = place(netlist);

        const std::vector<Node> own = pins(component, std::nullopt);
        for (const Node& pin : own) name_net(pin, spice_name(pin.name));
        std::string text = ".SUBCKT " + spice_name(cell_.name) + names(own) + "\n";
        for (const Placement& placement : placements) {
            text += 'X';
            text += std::to_string(placement.index) + names(placement.pins) + " " + placement.cell->name + "\n";
        }
        return text + ".ENDS " + cell_.name + "\n";
    }

private:
    // A netlist error ends the schematic: one missing some nets would make the comparison
    // report differences that are not in the layout.
    static Netlist netlist_of(const Component& component, ErrorHandler& status) {
        ErrorHandler found;
        const PortInput port_input = gather_ports(component);
        const NetInput net_input = gather_nets(component, found);
        Netlist netlist;
        if (!found.failed())
            netlist = build_netlist(component, *extract_ports(port_input), *extract_nets(net_input), true, found);
        if (found.failed()) throw VerificationError(found.message);
        for (const std::string& warning : found.warnings) status.warning(warning);
        return netlist;
    }

    void join(const Netlist& netlist) {
        for (const auto& [port, name] : netlist.ports) nets_.join(port_node(port), {std::nullopt, false, name});
        for (const auto& [member, name] : netlist.terminals) nets_.join(terminal_node(member), {std::nullopt, true, name});
        for (const auto* pairs : {&netlist.connections, &netlist.virtual_connections})
            for (const auto& [a, b] : *pairs) nets_.join(port_node(a), port_node(b));
        for (const auto* groups : {&netlist.nets, &netlist.virtual_nets})
            for (const Net& net : *groups) {
                std::vector<Node> nodes;
                for (const NetTerminal& member : net) nodes.push_back(terminal_node(member));
                nets_.join_all(nodes);
            }
    }

    // The instances written as subcircuit instances; a route joins its pins instead.
    std::vector<Placement> place(const Netlist& netlist) {
        std::vector<Placement> placements;
        const Component& component = *cell_.component;
        for (uint64_t i = 0; i < netlist.instances.size(); ++i) {
            const auto& child = component.references[netlist.instances[i].reference]->component();
            const layout::PreparedCell* cell = child ? layout_.find(child.get()) : nullptr;
            if (!cell) continue;
            std::vector<Node> nodes = pins(*cell->component, i);
            if (is_route(*cell->component)) {
                nets_.join_all(nodes);
            } else if (!nodes.empty()) {
                placements.push_back({i, cell, std::move(nodes)});
            }
        }
        return placements;
    }

    void name_net(const Node& node, const std::string& name) {
        if (net_names_.try_emplace(nets_.net(node), name).second) used_.insert(name);
    }

    // " name1 name2 ...": the net of each node, named after the cell's first pin on it or,
    // without one, by a number no pin name takes.
    std::string names(const std::vector<Node>& nodes) {
        std::string text;
        for (const Node& node : nodes) {
            auto it = net_names_.find(nets_.net(node));
            if (it == net_names_.end()) {
                std::string name = unused_name();
                name_net(node, name);
                it = net_names_.find(nets_.net(node));
            }
            (text += ' ') += it->second;
        }
        return text;
    }

    std::string unused_name() {
        while (true) {
            std::string name(1, 'n');
            name.append(std::to_string(++counter_));
            if (!used_.count(name)) return name;
        }
    }

    const layout::PreparedLayout& layout_;
    const layout::PreparedCell& cell_;
    Nets nets_;
    std::map<size_t, std::string> net_names_;
    std::set<std::string> used_;
    size_t counter_ = 0;
};

}  // namespace

std::string spice_schematic(const layout::PreparedLayout& layout, ErrorHandler& status) {
    if (layout.cells.empty()) throw VerificationError("No component to write as a SPICE schematic.");
    std::string text = "* SPICE schematic of " + layout.cells.front().name + ", written by TarnWhistle\n";
    for (size_t i = 0; i < layout.cells.size(); ++i) {
        const layout::PreparedCell& cell = layout.cells[i];
        if (i > 0 && is_route(*cell.component)) continue;
        text += CellWriter(layout, cell).write(status);
    }
    return text;
}

}  // namespace whistle
