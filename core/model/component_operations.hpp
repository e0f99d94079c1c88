// Operations on components beyond the hierarchy basics: layer edits, technology swaps,
// clipping, profiles, hulls, reference ports, naming and the tree text.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "component.hpp"

namespace whistle {

// Which of a component's per-layer contents an edit applies to.
enum class LayerContent { Structures, Labels };

// The layers used by the component (and its dependencies, when asked).
std::set<Layer> component_layers(const Component& component, bool include_dependencies,
                                 bool include_structures, bool include_labels);
// Moves the contents of each mapped layer to its target layer; unmapped layers stay.
void remap_layers(Component& component, const std::map<Layer, Layer>& layer_map,
                  LayerContent content, bool include_dependencies);
// Keeps only the given layers (keep) or removes them (!keep).
void filter_layers(Component& component, const std::set<Layer>& layers, bool keep,
                   LayerContent content, bool include_dependencies);
// Gives the component and its dependencies `technology`; with `old_technology`, only those
// whose technology is that one (the same object or an equal one).
void replace_technology(Component& component, const std::shared_ptr<Technology>& technology,
                        const Technology* old_technology);

// Clips the component's own structures to the box and drops its own labels outside it;
// references are left as they are.
void clip_to_bounds(Component& component, const Bounds& box, ErrorHandler& status);

// Convex hull of the hierarchy's polygons (and label origins when asked) on the given layers.
std::vector<Vector> component_convex_hull(const Component& component, bool include_labels,
                                          const std::optional<std::set<Layer>>& layers,
                                          ErrorHandler& status);

// One stretch where the geometry of a layer crosses a slice line: its length and the position
// of its middle relative to the slice center, both along the line.
struct ProfileSegment {
    Coord width;
    Coord offset;
    Layer layer;
};
// The stretches of the hierarchy's geometry (down to `depth`) along the line through `center`
// running along x (axis 0) or y (axis 1), limited to `length` around the center when given.
// Overlapping stretches of one layer merge. Sorted by layer, then position.
std::vector<ProfileSegment> slice_profile(const Component& component, int axis,
                                          const Vector& center, std::optional<Coord> length,
                                          int64_t depth, ErrorHandler& status);

// A port of one instance of a reference, placed in the parent's coordinates.
struct ReferencePort {
    std::shared_ptr<Reference> reference;
    std::string name;
    uint64_t repetition_index;
    std::shared_ptr<Port> port;
};
// The 2D ports of every instance of every reference that no port of another instance connects
// to, in reference, instance and name order.
std::vector<ReferencePort> disconnected_reference_ports(const Component& component);
// Adds the disconnected reference ports (except those already matched by a port of the
// component) as ports of the component, named by the reference port's name, or that name with
// "_1", "_2", … when taken. With `include_dependencies` the dependencies get theirs first.
// Returns the names added to this component.
std::vector<std::string> add_reference_ports(Component& component, bool include_dependencies);

// The given components that are not a dependency of another given one.
std::vector<std::shared_ptr<Component>> find_top_level(
    const std::vector<std::shared_ptr<Component>>& components);
// Renames the components and their dependencies so that names are non-empty and unique: the
// first one met keeps a name; an empty name becomes "C"; a taken name gets "_1", "_2", …
// Returns the renamed components.
std::vector<std::shared_ptr<Component>> set_unique_names(
    const std::vector<std::shared_ptr<Component>>& components);

// The hierarchy as an indented text tree, one line per component and reference.
std::string tree_view(const Component& component);

}  // namespace whistle
