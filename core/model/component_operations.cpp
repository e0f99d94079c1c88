#include "component_operations.hpp"

#include <algorithm>
#include <functional>
#include <unordered_set>

#include "core/geometry/convex_hull.hpp"
#include "core/geometry/intervals.hpp"
#include "core/geometry/rectangle.hpp"
#include "core/geometry/set_operations.hpp"

namespace whistle {

namespace {

// The component followed by its dependencies when asked.
std::vector<Component*> targets(Component& component, bool include_dependencies) {
    std::vector<Component*> result{&component};
    if (include_dependencies)
        for (const auto& dependency : component.dependencies()) result.push_back(dependency.get());
    return result;
}

// Rebuilds a layer map, sending each layer's items to `target(layer)` (dropped when empty).
template <class Map>
void relayer(Map& map, const std::function<std::optional<Layer>(const Layer&)>& target) {
    Map result;
    for (auto& [layer, items] : map)
        if (std::optional<Layer> to = target(layer)) {
            auto& list = result[*to];
            list.insert(list.end(), items.begin(), items.end());
        }
    map = std::move(result);
}

void relayer_content(Component& component, LayerContent content,
                     const std::function<std::optional<Layer>(const Layer&)>& target) {
    if (content == LayerContent::Structures)
        relayer(component.structures, target);
    else
        relayer(component.labels, target);
}

// The [begin, end] stretches of a polygon along one line.
void add_crossings(const Polygon& polygon, int line_axis, Coord c, std::vector<Interval>& out,
                   ErrorHandler& status) {
    std::vector<Coord> crossings = polygon.axis_intersections(line_axis, c, status);
    std::sort(crossings.begin(), crossings.end());
    for (size_t i = 0; i + 1 < crossings.size(); i += 2)
        if (crossings[i] < crossings[i + 1]) out.push_back({crossings[i], crossings[i + 1]});
}

std::string name_or_unnamed(const Component& component) {
    return component.name.empty() ? Component::kUnnamed : component.name;
}

}  // namespace

std::set<Layer> component_layers(const Component& component, bool include_dependencies,
                                 bool include_structures, bool include_labels) {
    std::set<Layer> result;
    auto collect = [&](const Component& c) {
        if (include_structures)
            for (const auto& [layer, items] : c.structures)
                if (!items.empty()) result.insert(layer);
        if (include_labels)
            for (const auto& [layer, items] : c.labels)
                if (!items.empty()) result.insert(layer);
    };
    collect(component);
    if (include_dependencies)
        for (const auto& dependency : component.dependencies()) collect(*dependency);
    return result;
}

void remap_layers(Component& component, const std::map<Layer, Layer>& layer_map,
                  LayerContent content, bool include_dependencies) {
    auto target = [&](const Layer& layer) -> std::optional<Layer> {
        auto it = layer_map.find(layer);
        return it == layer_map.end() ? layer : it->second;
    };
    for (Component* c : targets(component, include_dependencies)) relayer_content(*c, content, target);
}

void filter_layers(Component& component, const std::set<Layer>& layers, bool keep,
                   LayerContent content, bool include_dependencies) {
    auto target = [&](const Layer& layer) -> std::optional<Layer> {
        if (layers.contains(layer) == keep) return layer;
        return std::nullopt;
    };
    for (Component* c : targets(component, include_dependencies)) relayer_content(*c, content, target);
}

void replace_technology(Component& component, const std::shared_ptr<Technology>& technology,
                        const Technology* old_technology) {
    for (Component* c : targets(component, true)) {
        const Technology* current = c->technology.get();
        if (!old_technology || current == old_technology ||
            (current && current->equals(*old_technology)))
            c->technology = technology;
    }
}

void clip_to_bounds(Component& component, const Bounds& box, ErrorHandler& status) {
    Polygon window(Ring{{box.x_min, box.y_min}, {box.x_max, box.y_min},
                        {box.x_max, box.y_max}, {box.x_min, box.y_max}});
    StructureMap clipped;
    for (const auto& [layer, items] : component.structures) {
        std::vector<Polygon> polygons;
        for (const auto& structure : items) polygons.push_back(structure->to_polygon(status));
        if (status.failed()) return;
        for (Polygon& piece : boolean(polygons, {window}, BooleanOperation::Intersection))
            clipped[layer].push_back(std::make_shared<Polygon>(std::move(piece)));
    }
    LabelMap kept;
    for (const auto& [layer, items] : component.labels)
        for (const auto& label : items) {
            const Vector& p = label->origin();
            if (p.x >= box.x_min && p.x <= box.x_max && p.y >= box.y_min && p.y <= box.y_max)
                kept[layer].push_back(label);
        }
    component.structures = std::move(clipped);
    component.labels = std::move(kept);
}

std::vector<ProfileSegment> slice_profile(const Component& component, int axis,
                                          const Vector& center, std::optional<Coord> length,
                                          int64_t depth, ErrorHandler& status) {
    // A slice along x is the line y = center.y: crossings are x coordinates, and the reverse.
    const int line_axis = 1 - axis;
    const Coord c = axis == 0 ? center.y : center.x;
    const Coord origin = axis == 0 ? center.x : center.y;
    HierarchyFilter filter;
    filter.depth = depth;
    std::vector<ProfileSegment> result;
    for (const auto& [layer, polygons] : component.layer_polygons(filter, status)) {
        std::vector<Interval> stretches;
        for (const Polygon& polygon : polygons) add_crossings(polygon, line_axis, c, stretches, status);
        for (auto [begin, end] : merged_intervals(std::move(stretches))) {
            if (length) {
                begin = std::max(begin, origin - *length / 2);
                end = std::min(end, origin + (*length - *length / 2));
                if (begin >= end) continue;
            }
            Coord width = end - begin;
            result.push_back({width, begin + width / 2 - origin, layer});
        }
    }
    return result;
}

std::vector<Vector> component_convex_hull(const Component& component, bool include_labels,
                                          const std::optional<std::set<Layer>>& layers,
                                          ErrorHandler& status) {
    HierarchyFilter filter;
    filter.layers = layers;
    std::vector<Vector> points;
    for (const auto& [layer, polygons] : component.layer_polygons(filter, status))
        for (const Polygon& polygon : polygons)
            points.insert(points.end(), polygon.vertices().begin(), polygon.vertices().end());
    if (include_labels)
        for (const auto& [layer, labels] : component.get_labels(filter))
            for (const auto& label : labels) points.push_back(label->origin());
    return convex_hull(points);
}

std::vector<ReferencePort> disconnected_reference_ports(const Component& component) {
    std::vector<ReferencePort> placed;
    for (const auto& reference : component.references)
        for (uint64_t i = 0; i < reference->repetition().count(); ++i) {
            Placement step = reference->placement(i);
            for (const auto& [name, port] : reference->component()->ports) {
                auto copy = std::make_shared<Port>(*port);
                copy->transform(step);
                placed.push_back({reference, name, i, std::move(copy)});
            }
        }
    std::vector<ReferencePort> result;
    for (const ReferencePort& a : placed) {
        bool connected = std::any_of(placed.begin(), placed.end(), [&](const ReferencePort& b) {
            bool same_instance = a.reference == b.reference && a.repetition_index == b.repetition_index;
            return !same_instance && a.port->is_connected_to(*b.port);
        });
        if (!connected) result.push_back(a);
    }
    return result;
}

std::vector<std::string> add_reference_ports(Component& component, bool include_dependencies) {
    if (include_dependencies) {
        // Deepest first, so that each parent sees its children's new ports.
        auto dependencies = component.dependencies();
        for (auto it = dependencies.rbegin(); it != dependencies.rend(); ++it)
            add_reference_ports(**it, false);
    }
    std::vector<std::string> added;
    for (ReferencePort& free : disconnected_reference_ports(component)) {
        bool matched = std::any_of(component.ports.begin(), component.ports.end(),
                                   [&](const auto& entry) { return entry.second->matches(*free.port); });
        if (matched) continue;
        std::string name = free.name;
        for (uint64_t counter = 1; component.ports.contains(name) || component.ports3d.contains(name); ++counter)
            name = free.name + "_" + std::to_string(counter);
        component.ports[name] = free.port;
        added.push_back(name);
    }
    return added;
}

std::vector<std::shared_ptr<Component>> find_top_level(
    const std::vector<std::shared_ptr<Component>>& components) {
    std::unordered_set<const Component*> below;
    for (const auto& component : components)
        for (const auto& dependency : component->dependencies()) below.insert(dependency.get());
    std::vector<std::shared_ptr<Component>> result;
    for (const auto& component : components)
        if (!below.contains(component.get())) result.push_back(component);
    return result;
}

std::vector<std::shared_ptr<Component>> set_unique_names(
    const std::vector<std::shared_ptr<Component>>& components) {
    std::unordered_set<const Component*> seen;
    std::set<std::string> used;
    std::vector<std::shared_ptr<Component>> renamed;
    auto visit = [&](const std::shared_ptr<Component>& component) {
        if (!seen.insert(component.get()).second) return;
        std::string base = component->name.empty() ? "C" : component->name;
        std::string name = base;
        for (uint64_t counter = 1; used.contains(name); ++counter)
            name = base + "_" + std::to_string(counter);
        used.insert(name);
        if (name != component->name) {
            component->name = name;
            renamed.push_back(component);
        }
    };
    for (const auto& component : components) {
        visit(component);
        for (const auto& dependency : component->dependencies()) visit(dependency);
    }
    return renamed;
}

namespace {

// A component already on the current branch (a cycle made by setting a reference's component)
// is shown without its contents.
void tree_lines(const Component& component, const std::string& prefix,
                std::vector<const Component*>& branch, std::string& out) {
    branch.push_back(&component);
    for (size_t i = 0; i < component.references.size(); ++i) {
        const Reference& reference = *component.references[i];
        bool last = i + 1 == component.references.size();
        out += prefix + (last ? "└─ " : "├─ ") + reference.str(false) + "\n";
        const Component* child = reference.component().get();
        if (!child) continue;
        if (std::find(branch.begin(), branch.end(), child) != branch.end()) {
            out += prefix + (last ? "   " : "│  ") + "└─ (cycle to " + name_or_unnamed(*child) + ")\n";
            continue;
        }
        tree_lines(*child, prefix + (last ? "   " : "│  "), branch, out);
    }
    branch.pop_back();
}

}  // namespace

std::string tree_view(const Component& component) {
    std::string out = component.str(false) + "\n";
    std::vector<const Component*> branch;
    tree_lines(component, "", branch, out);
    return out;
}

}  // namespace whistle
