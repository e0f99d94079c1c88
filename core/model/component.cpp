#include "component.hpp"

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

#include "core/foundation/text.hpp"
#include "core/geometry/convex_hull.hpp"

namespace whistle {

// ---- Hierarchy -------------------------------------------------------------------------

namespace {

// Calls `visit` with every component reachable from root through references, each once, in
// depth-first order of first appearance (root itself excluded); stops when it returns false.
template <class Visit>
void for_each_dependency(const Component& root, Visit&& visit) {
    std::unordered_set<const Component*> seen{&root};
    std::vector<std::pair<const Component*, size_t>> stack{{&root, 0}};
    while (!stack.empty()) {
        auto& [component, next] = stack.back();
        if (next == component->references.size()) {
            stack.pop_back();
            continue;
        }
        const std::shared_ptr<Component>& child = component->references[next++]->component();
        if (!child || !seen.insert(child.get()).second) continue;
        if (!visit(child)) return;
        stack.emplace_back(child.get(), 0);
    }
}

}  // namespace

std::vector<std::shared_ptr<Component>> Component::dependencies() const {
    std::vector<std::shared_ptr<Component>> result;
    for_each_dependency(*this, [&](const std::shared_ptr<Component>& c) {
        result.push_back(c);
        return true;
    });
    return result;
}

bool Component::would_cycle(const Component& component) const {
    if (&component == this) return true;
    bool found = false;
    for_each_dependency(component, [&](const std::shared_ptr<Component>& c) {
        found = c.get() == this;
        return !found;
    });
    return found;
}

bool Component::add_reference(std::shared_ptr<Reference> reference) {
    if (reference->component() && would_cycle(*reference->component())) return false;
    references.push_back(std::move(reference));
    return true;
}

std::shared_ptr<Component> Component::detect_dependency_cycle() const {
    // Depth-first with the components on the current path marked: meeting one again closes
    // a cycle.
    enum State : uint8_t { kOnPath = 1, kDone = 2 };
    std::unordered_map<const Component*, State> state{{this, kOnPath}};
    std::vector<std::pair<const Component*, size_t>> stack{{this, 0}};
    while (!stack.empty()) {
        auto& [component, next] = stack.back();
        if (next == component->references.size()) {
            state[component] = kDone;
            stack.pop_back();
            continue;
        }
        const std::shared_ptr<Component>& child = component->references[next++]->component();
        if (!child) continue;
        auto [it, inserted] = state.try_emplace(child.get(), kOnPath);
        if (!inserted) {
            if (it->second == kOnPath) return child;
            continue;
        }
        stack.emplace_back(child.get(), 0);
    }
    return nullptr;
}

bool Component::remove_reference(const Reference* reference) {
    auto named = [reference](const std::shared_ptr<Reference>& r) { return r.get() == reference; };
    if (std::erase_if(references, named) == 0) return false;
    std::erase_if(virtual_connections, [&](const auto& connection) {
        return named(connection.first.reference) || named(connection.second.reference);
    });
    drop_net_members([&](const NetMember& member) { return named(member.reference); });
    return true;
}

size_t Component::structure_count() const {
    size_t count = 0;
    for (const auto& [layer, list] : structures) count += list.size();
    return count;
}

size_t Component::label_count() const {
    size_t count = 0;
    for (const auto& [layer, list] : labels) count += list.size();
    return count;
}

// ---- Walking the placed hierarchy ------------------------------------------------------

namespace {

// A hierarchy that reaches a component from itself (possible after a reference's component
// was replaced) has no end: walks without a depth limit refuse it.
[[noreturn]] void cycle_error(const Component& component) {
    throw std::runtime_error("The hierarchy of component '" +
                             (component.name.empty() ? std::string(Component::kUnnamed) : component.name) +
                             "' contains a dependency cycle.");
}

// The components being visited, innermost last: a cycle shows as a component met again.
class HierarchyPath {
public:
    void enter(const Component& component) {
        if (std::find(path_.begin(), path_.end(), &component) != path_.end()) cycle_error(component);
        path_.push_back(&component);
    }
    void leave() { path_.pop_back(); }

private:
    std::vector<const Component*> path_;
};

// Calls visit(component, chain) for the root and for every instance of every component
// below it within the filter's depth; `chain` places the component's items into the root's
// coordinates, innermost step first.
template <class Visit>
void walk(const Component& component, std::vector<Placement>& chain, int64_t depth,
          const HierarchyFilter& filter, HierarchyPath& path, Visit& visit) {
    visit(component, Placements(chain));
    if (depth == 0) return;
    // A depth limit ends every walk; only unlimited ones need the cycle check.
    if (depth < 0) path.enter(component);
    for (const auto& reference : component.references) {
        const Component* child = reference->component().get();
        if (!child || filter.skip_components.count(child->name)) continue;
        const uint64_t count = reference->repetition().count();
        for (uint64_t i = 0; i < count; ++i) {
            chain.insert(chain.begin(), reference->placement(i));
            walk(*child, chain, depth - 1, filter, path, visit);
            chain.erase(chain.begin());
        }
    }
    if (depth < 0) path.leave();
}

template <class Visit>
void walk(const Component& root, std::vector<Placement>& chain, const HierarchyFilter& filter,
          Visit& visit) {
    HierarchyPath path;
    walk(root, chain, filter.depth, filter, path, visit);
}

template <class Visit>
void walk(const Component& root, const HierarchyFilter& filter, Visit&& visit) {
    std::vector<Placement> chain;
    walk(root, chain, filter, visit);
}

bool wanted(const HierarchyFilter& filter, const Layer& layer) {
    return !filter.layers || filter.layers->count(layer);
}

// Own items are shared; placed ones are copies moved into the root's coordinates.
template <class Map>
void gather(const Map& items, Placements chain, const HierarchyFilter& filter, Map& out) {
    for (const auto& [layer, list] : items) {
        if (list.empty() || !wanted(filter, layer)) continue;
        auto& target = out[layer];
        for (const auto& item : list) {
            if (chain.empty()) {
                target.push_back(item);
                continue;
            }
            target.push_back(placed_copy(*item, chain));
        }
    }
}

}  // namespace

StructureMap Component::get_structures(const HierarchyFilter& filter) const {
    StructureMap result;
    auto visit = [&](const Component& c, Placements chain) { gather(c.structures, chain, filter, result); };
    walk(*this, filter, visit);
    return result;
}

LabelMap Component::get_labels(const HierarchyFilter& filter) const {
    LabelMap result;
    auto visit = [&](const Component& c, Placements chain) { gather(c.labels, chain, filter, result); };
    walk(*this, filter, visit);
    return result;
}

std::map<Layer, std::vector<Polygon>> Component::layer_polygons(const HierarchyFilter& filter,
                                                                ErrorHandler& status) const {
    std::map<Layer, std::vector<Polygon>> result;
    auto visit = [&](const Component& c, Placements chain) {
        for (const auto& [layer, list] : c.structures) {
            if (list.empty() || !wanted(filter, layer)) continue;
            auto& target = result[layer];
            for (const auto& structure : list) {
                Polygon polygon = structure->to_polygon(status);
                if (!chain.empty()) polygon.transform(chain);
                target.push_back(std::move(polygon));
            }
        }
    };
    walk(*this, filter, visit);
    return result;
}

void Component::place_instances(const Reference& reference, const HierarchyFilter& filter,
                                StructureMap* structures_out, LabelMap* labels_out) const {
    auto visit = [&](const Component& c, Placements chain) {
        if (structures_out) gather(c.structures, chain, filter, *structures_out);
        if (labels_out) gather(c.labels, chain, filter, *labels_out);
    };
    for (uint64_t i = 0, n = reference.repetition().count(); i < n; ++i) {
        std::vector<Placement> chain{reference.placement(i)};
        walk(*this, chain, filter, visit);
    }
}

void Component::flatten() {
    HierarchyFilter everything;
    StructureMap placed_structures;
    LabelMap placed_labels;
    for (const auto& reference : references)
        if (const auto& child = reference->component())
            child->place_instances(*reference, everything, &placed_structures, &placed_labels);
    for (auto& [layer, list] : placed_structures) {
        auto& target = structures[layer];
        target.insert(target.end(), std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
    }
    for (auto& [layer, list] : placed_labels) {
        auto& target = labels[layer];
        target.insert(target.end(), std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()));
    }
    // Connections and net members of instances go with the references.
    references.clear();
    std::erase_if(virtual_connections, [](const auto& connection) {
        return connection.first.reference || connection.second.reference;
    });
    drop_net_members([](const NetMember& member) { return bool(member.reference); });
}

// ---- Bounds ----------------------------------------------------------------------------

namespace {

void extend(std::optional<Bounds>& box, const Vector& p) {
    if (!box) box = Bounds{p.x, p.y, p.x, p.y};
    else extend(*box, Bounds{p.x, p.y, p.x, p.y});
}

void extend(std::optional<Bounds>& box, const Bounds& other) {
    if (!box) box = other;
    else extend(*box, other);
}

// Bounds and convex hulls of the components of one hierarchy, each computed once per call.
// Arrays cost the same as single instances: an instance's box (or hull) is placed once and
// stretched to the far columns and rows.
class HierarchyExtent {
public:
    HierarchyExtent(bool include_labels, const std::optional<std::set<Layer>>& layers,
                    ErrorHandler& status)
        : include_labels_(include_labels), layers_(layers), status_(status) {}

    std::optional<Bounds> bounds(const Component& component) {
        if (auto it = bounds_.find(&component); it != bounds_.end()) return it->second;
        path_.enter(component);
        std::optional<Bounds> box;
        for (const auto& [layer, list] : component.structures)
            if (!layers_ || layers_->count(layer))
                for (const auto& structure : list)
                    if (!structure->is_empty()) extend(box, structure->bounds(status_));
        if (include_labels_)
            for (const auto& [layer, list] : component.labels)
                if (!layers_ || layers_->count(layer))
                    for (const auto& label : list) extend(box, label->origin());
        for (const auto& reference : component.references)
            if (std::optional<Bounds> placed = this->placed(*reference)) extend(box, *placed);
        path_.leave();
        bounds_.emplace(&component, box);
        return box;
    }

    const std::vector<Vector>& hull(const Component& component) {
        if (auto it = hulls_.find(&component); it != hulls_.end()) return it->second;
        path_.enter(component);
        std::vector<Vector> points;
        for (const auto& [layer, list] : component.structures)
            if (!layers_ || layers_->count(layer))
                for (const auto& structure : list) {
                    Polygon polygon = structure->to_polygon(status_);
                    points.insert(points.end(), polygon.vertices().begin(), polygon.vertices().end());
                }
        if (include_labels_)
            for (const auto& [layer, list] : component.labels)
                if (!layers_ || layers_->count(layer))
                    for (const auto& label : list) points.push_back(label->origin());
        for (const auto& reference : component.references) add_placed_hull(*reference, points);
        path_.leave();
        return hulls_.emplace(&component, hull_of(points)).first->second;
    }

    // The hull of every instance of the reference.
    std::vector<Vector> placed_hull(const Reference& reference) {
        std::vector<Vector> points;
        add_placed_hull(reference, points);
        return hull_of(points);
    }

    // The box of every instance of the reference.
    std::optional<Bounds> placed(const Reference& reference) {
        const Repetition& repetition = reference.repetition();
        if (!reference.component() || repetition.count() == 0) return std::nullopt;
        std::optional<Bounds> child = bounds(*reference.component());
        if (!child) return std::nullopt;
        const Placement placement = reference.base_placement();
        PointTransform place(placement);
        std::optional<Bounds> box;
        int quarter_turns = 0;
        if (is_quarter_turn(placement.rotation, quarter_turns)) {
            for (const Vector& corner : {Vector{child->x_min, child->y_min}, Vector{child->x_max, child->y_min},
                                         Vector{child->x_min, child->y_max}, Vector{child->x_max, child->y_max}})
                extend(box, place(corner));
        } else {
            for (const Vector& p : hull(*reference.component())) extend(box, place(p));
        }
        if (!box) return std::nullopt;
        if (repetition.count() == 1) return check_bounds(*box);
        const Bounds instance = *box;  // each corner instance is placed from instance 0
        for (const Vector& corner : array_corners(repetition))
            extend(box, Bounds{instance.x_min + corner.x, instance.y_min + corner.y,
                               instance.x_max + corner.x, instance.y_max + corner.y});
        return check_bounds(*box);
    }

private:
    // Appends the component's hull placed at the four extreme instances of the array.
    void add_placed_hull(const Reference& reference, std::vector<Vector>& points) {
        if (!reference.component() || reference.repetition().count() == 0) return;
        PointTransform place(reference.base_placement());
        for (const Vector& p : hull(*reference.component())) {
            Vector q = place(p);
            for (const Vector& corner : array_corners(reference.repetition()))
                points.push_back(q + corner);
        }
    }

    static std::vector<Vector> hull_of(const std::vector<Vector>& points) {
        std::vector<Vector> result = convex_hull(points);
        // Degenerate sets (a point, a line) keep their extreme points.
        if (result.empty() && !points.empty()) result = extreme_points(points);
        return result;
    }

    // Offsets of the four extreme instances of an array.
    static std::array<Vector, 4> array_corners(const Repetition& r) {
        Vector last = r.offset(r.count() - 1);
        return {Vector{0, 0}, Vector{last.x, 0}, Vector{0, last.y}, last};
    }

    static std::vector<Vector> extreme_points(const std::vector<Vector>& points) {
        auto [low, high] = std::minmax_element(points.begin(), points.end(), [](const Vector& a, const Vector& b) {
            return a.x < b.x || (a.x == b.x && a.y < b.y);
        });
        return *low == *high ? std::vector<Vector>{*low} : std::vector<Vector>{*low, *high};
    }

    static Bounds check_bounds(const Bounds& box) {
        check_range(Vector{box.x_min, box.y_min});
        check_range(Vector{box.x_max, box.y_max});
        return box;
    }

    bool include_labels_;
    const std::optional<std::set<Layer>>& layers_;
    ErrorHandler& status_;
    std::unordered_map<const Component*, std::optional<Bounds>> bounds_;
    std::unordered_map<const Component*, std::vector<Vector>> hulls_;
    HierarchyPath path_;
};

}  // namespace

std::optional<Bounds> Component::bounds(bool include_ports, bool include_labels,
                                        const std::optional<std::set<Layer>>& layers,
                                        ErrorHandler& status) const {
    HierarchyExtent extent(include_labels, layers, status);
    std::optional<Bounds> box = extent.bounds(*this);
    if (include_ports)
        for (const auto& [name, port] : ports) {
            // The port's cross-section: its width across the input direction.
            Vec2 across = direction_vector(port->input_direction() + 90) * (double(port->spec()->width()) / 2);
            extend(box, port->center() + across.rounded());
            extend(box, port->center() - across.rounded());
        }
    return box;
}

std::optional<Bounds> Reference::bounds(bool include_labels, ErrorHandler& status) const {
    return HierarchyExtent(include_labels, std::nullopt, status).placed(*this);
}

std::vector<Vector> Reference::convex_hull(bool include_labels, ErrorHandler& status) const {
    return HierarchyExtent(include_labels, std::nullopt, status).placed_hull(*this);
}

// ---- Copies and text -------------------------------------------------------------------

namespace {

template <class T>
std::shared_ptr<T> cloned(const std::shared_ptr<T>& item) {
    return std::static_pointer_cast<T>(item->clone());
}

template <class Map>
void clone_items(Map& items) {
    for (auto& [key, list] : items)
        for (auto& item : list) item = cloned(item);
}

// Copies of components that share their dependencies' copies (deep copies of a hierarchy in
// which a cell is used many times copy it once).
class ComponentCopier {
public:
    ComponentCopier(bool deep, bool copy_technology) : deep_(deep), copy_technology_(copy_technology) {}

    std::shared_ptr<Component> copy(const Component& source) {
        if (auto it = copies_.find(&source); it != copies_.end()) return it->second;
        auto result = std::make_shared<Component>(source);
        copies_.emplace(&source, result);
        clone_items(result->structures);
        clone_items(result->labels);
        for (auto& [name, port] : result->ports) port = cloned(port);
        for (auto& [name, port] : result->ports3d) port = cloned(port);
        for (auto& [name, terminal] : result->terminals) terminal = terminal->copy(true);
        if (copy_technology_ && source.technology) result->technology = technology(source.technology);
        // References are new objects; connections and nets follow them.
        std::unordered_map<const Reference*, std::shared_ptr<Reference>> moved;
        for (auto& reference : result->references) {
            auto copy = std::make_shared<Reference>(*reference);
            if (deep_ && copy->component()) copy->set_component(this->copy(*copy->component()));
            moved.emplace(reference.get(), copy);
            reference = std::move(copy);
        }
        auto follow = [&](std::shared_ptr<Reference>& reference) {
            if (reference) reference = moved.count(reference.get()) ? moved[reference.get()] : nullptr;
        };
        for (auto& [first, second] : result->virtual_connections) {
            follow(first.reference);
            follow(second.reference);
        }
        for (auto& net : result->virtual_nets)
            for (NetMember& member : net) follow(member.reference);
        return result;
    }

private:
    std::shared_ptr<Technology> technology(const std::shared_ptr<Technology>& source) {
        auto [it, inserted] = technologies_.try_emplace(source.get());
        if (inserted) it->second = source->copy(false);
        return it->second;
    }

    bool deep_;
    bool copy_technology_;
    std::unordered_map<const Component*, std::shared_ptr<Component>> copies_;
    std::unordered_map<const Technology*, std::shared_ptr<Technology>> technologies_;
};

template <class Map>
bool same_maps(const Map& a, const Map& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.first == y.first && same_or_equal(x.second, y.second);
    });
}

template <class Map>
bool same_lists(const Map& a, const Map& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.first == y.first && std::equal(x.second.begin(), x.second.end(), y.second.begin(),
                                                y.second.end(), same_or_equal<typename Map::mapped_type::value_type::element_type>);
    });
}

}  // namespace

std::shared_ptr<Component> Component::copy(bool deep, bool copy_technology) const {
    return ComponentCopier(deep, copy_technology).copy(*this);
}

void Component::replace_contents(const Component& other) {
    name = other.name;
    references = other.references;
    structures = other.structures;
    labels = other.labels;
    ports = other.ports;
    ports3d = other.ports3d;
    terminals = other.terminals;
    models = other.models;
    virtual_connections = other.virtual_connections;
    virtual_nets = other.virtual_nets;
    active_optical_model = other.active_optical_model;
    active_electrical_model = other.active_electrical_model;
    technology = other.technology;
    parametric_data = other.parametric_data;
}

std::string Component::str(bool representation) const {
    if (representation)
        return "Component(name=" + quoted(name) +
               ", technology=" + (technology ? technology->str(true) : "None") + ")";
    return name.empty() ? kUnnamed : "Component " + quoted(name);
}

bool Component::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::Component) return false;
    const auto& o = static_cast<const Component&>(other);
    // Pairs being compared further up count as equal, so that cyclic hierarchies end.
    static thread_local std::set<std::pair<const Component*, const Component*>> comparing;
    auto [pair, inserted] = comparing.emplace(this, &o);
    if (!inserted) return true;
    struct Release {
        std::set<std::pair<const Component*, const Component*>>::iterator pair;
        ~Release() { comparing.erase(pair); }
    } release{pair};
    return name == o.name && same_lists(structures, o.structures) && same_lists(labels, o.labels) &&
           std::equal(references.begin(), references.end(), o.references.begin(), o.references.end(),
                      same_or_equal<Reference>) &&
           same_maps(ports, o.ports) && same_maps(ports3d, o.ports3d) &&
           same_maps(terminals, o.terminals) && same_maps(models, o.models) &&
           active_optical_model == o.active_optical_model &&
           active_electrical_model == o.active_electrical_model && same_or_equal(technology, o.technology);
}

}  // namespace whistle
