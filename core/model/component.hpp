// Components: the cells of the layout hierarchy.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/error_handler.hpp"
#include "core/geometry/label.hpp"
#include "core/geometry/polygon.hpp"
#include "core/geometry/structure.hpp"
#include "layer.hpp"
#include "port.hpp"
#include "port3d.hpp"
#include "reference.hpp"
#include "technology.hpp"
#include "terminal.hpp"

namespace whistle {

using StructureMap = std::map<Layer, std::vector<std::shared_ptr<Structure>>>;
using LabelMap = std::map<Layer, std::vector<std::shared_ptr<Label>>>;

// One end of a virtual connection: a port of one instance of a reference (none: the
// component's own port).
struct ConnectionEndpoint {
    std::shared_ptr<Reference> reference;
    std::string port;
    uint64_t repetition_index = 0;
};

// A member of a virtual net: a terminal of one instance of a reference (none: the component's
// own terminal). The key is a terminal name or a (port name, terminal name) pair.
struct NetMember {
    std::shared_ptr<Reference> reference;
    std::variant<std::string, std::pair<std::string, std::string>> terminal;
    uint64_t repetition_index = 0;
};

// Components met on a walk through the hierarchy that must contribute nothing (matched by
// name), and how deep the walk goes (negative: no limit).
struct HierarchyFilter {
    int64_t depth = -1;
    std::set<std::string> skip_components;
    // Only these layers, when given.
    std::optional<std::set<Layer>> layers;
};

class Component final : public Cloneable<Component, BaseType> {
public:
    static constexpr const char* kUnnamed = "Unnamed Component";

    Component(std::string name, std::shared_ptr<Technology> technology)
        : Cloneable(TypeCode::Component), name(std::move(name)), technology(std::move(technology)) {}

    // Fields in their stored order.
    std::string name;
    std::vector<std::shared_ptr<Reference>> references;
    StructureMap structures;
    LabelMap labels;
    std::map<std::string, std::shared_ptr<Port>> ports;
    std::map<std::string, std::shared_ptr<Port3D>> ports3d;
    std::map<std::string, std::shared_ptr<Terminal>> terminals;
    std::map<std::string, std::shared_ptr<BaseType>> models;
    std::vector<std::pair<ConnectionEndpoint, ConnectionEndpoint>> virtual_connections;
    std::vector<std::vector<NetMember>> virtual_nets;
    std::string active_optical_model;
    std::string active_electrical_model;
    std::shared_ptr<Technology> technology;
    // Parametric function name, keyword arguments and random variables (binding-layer holder).
    std::shared_ptr<BaseType> parametric_data;

    // ---- Hierarchy ---------------------------------------------------------------------

    // Every component reachable through references, each once, in depth-first order of
    // first appearance.
    std::vector<std::shared_ptr<Component>> dependencies() const;
    // True when adding a reference to `component` here would close a cycle.
    bool would_cycle(const Component& component) const;
    // Appends the reference unless it would close a cycle; false (nothing changed) then.
    bool add_reference(std::shared_ptr<Reference> reference);
    // The first component found that closes a cycle, or null.
    std::shared_ptr<Component> detect_dependency_cycle() const;

    void add(const Layer& layer, std::shared_ptr<Structure> structure) {
        structures[layer].push_back(std::move(structure));
    }
    void add(const Layer& layer, std::shared_ptr<Label> label) {
        labels[layer].push_back(std::move(label));
    }
    // Removes the reference and the virtual connections and net members that name it.
    bool remove_reference(const Reference* reference);
    // Removes the net members that match, then the nets left with fewer than two members;
    // true when a member was removed.
    template <class Match>
    bool drop_net_members(Match match) {
        bool removed = false;
        for (auto& net : virtual_nets) removed |= std::erase_if(net, match) > 0;
        std::erase_if(virtual_nets, [](const auto& net) { return net.size() < 2; });
        return removed;
    }

    // ---- Geometry ----------------------------------------------------------------------

    // Bounding box of the geometry (structures, and labels and ports when asked) of the
    // whole hierarchy, in this component's coordinates; empty when there is none.
    std::optional<Bounds> bounds(bool include_ports, bool include_labels,
                                 const std::optional<std::set<Layer>>& layers,
                                 ErrorHandler& status) const;
    // The structures (or labels) of the hierarchy in this component's coordinates: own items
    // shared, those of references as transformed copies.
    StructureMap get_structures(const HierarchyFilter& filter) const;
    LabelMap get_labels(const HierarchyFilter& filter) const;
    // The structures and labels of this component's hierarchy placed once for every instance
    // of a reference to it, appended to the maps given (either may be null).
    void place_instances(const Reference& reference, const HierarchyFilter& filter,
                         StructureMap* structures_out, LabelMap* labels_out) const;
    // The polygons of every layer of the hierarchy in this component's coordinates.
    std::map<Layer, std::vector<Polygon>> layer_polygons(const HierarchyFilter& filter,
                                                         ErrorHandler& status) const;
    // Replaces every reference by the transformed structures and labels of its instances.
    void flatten();

    size_t structure_count() const;
    size_t label_count() const;

    // Shallow copies share the referenced components; deep ones copy every dependency once
    // and point the copied references at the copies.
    std::shared_ptr<Component> copy(bool deep, bool copy_technology) const;
    // Takes over the contents of another component (parametric updates), keeping identity.
    void replace_contents(const Component& other);

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;
};

}  // namespace whistle
