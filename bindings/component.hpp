// Members of `Component` shared between its binding files.
#pragma once

#include "common.hpp"

#include "core/layout/prepared.hpp"
#include "core/model/component.hpp"

namespace whistle::py {

// A layer tuple or a layer name of the component's technology.
bool to_component_layer(PyObject* obj, const char* name, const Component& component, Layer& out);
// None (no selection) or an iterable of layers; TypeError `type_message` for other objects.
bool to_layer_selection(PyObject* obj, const Component& component, const char* type_message,
                        std::optional<std::set<Layer>>& out);

// Hierarchy, geometry and layer operations (component_geometry.cpp).
PyObject* component_bounds(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_center(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_size(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_convex_hull(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_get_structures(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_get_labels(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_layers(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_remap_layers(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_remap_label_layers(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_filter_layers(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_filter_label_layers(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_set_bounds(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_slice_profile(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_build_mask(PyObject* self, PyObject* args, PyObject* kwds);

// Layout files (layout_files.cpp).
// The cells written for the components: each component and its dependencies, each handed to
// `pre_export_function` (None or a callable) as a shallow copy. False with an exception set
// when the hook raised.
bool prepare_export(const std::vector<std::shared_ptr<Component>>& components, PyObject* pre_export_function,
                    layout::PreparedLayout& out, ErrorHandler& status);
PyObject* component_write_gds(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_write_oas(PyObject* self, PyObject* args, PyObject* kwds);

// The polygons of every layer of a component's hierarchy, or of every instance of a
// reference, in the parent's coordinates (set operations take both as operands).
bool hierarchy_polygons(PyObject* obj, std::vector<Polygon>& out, ErrorHandler& status);

#define WHISTLE_COMPONENT_GEOMETRY_METHODS                                                      \
    WHISTLE_KEYWORD_METHOD("bounds", component_bounds,                                          \
        "bounds(include_ports=True, include_labels=True, layers=None)\n\nLower-left and "       \
        "upper-right corners of the bounding box of the whole hierarchy."),                     \
    WHISTLE_KEYWORD_METHOD("center", component_center,                                          \
        "center(include_ports=True, include_labels=True, layers=None)\n\nCenter of the bounding box."), \
    WHISTLE_KEYWORD_METHOD("size", component_size,                                              \
        "size(include_ports=True, include_labels=True, layers=None)\n\nSize of the bounding box."), \
    WHISTLE_KEYWORD_METHOD("convex_hull", component_convex_hull,                                \
        "convex_hull(include_labels=True, layers=None)\n\nVertices of the convex hull of the "  \
        "hierarchy's geometry."),                                                               \
    WHISTLE_KEYWORD_METHOD("get_structures", component_get_structures,                          \
        "get_structures(layer=None, depth=-1, skip_components=())\n\nStructures of the "        \
        "hierarchy in this component's coordinates: a list for one layer, else a dict."),       \
    WHISTLE_KEYWORD_METHOD("get_labels", component_get_labels,                                  \
        "get_labels(layer=None, depth=-1, skip_components=())\n\nLabels of the hierarchy in "   \
        "this component's coordinates: a list for one layer, else a dict."),                    \
    WHISTLE_KEYWORD_METHOD("layers", component_layers,                                          \
        "layers(include_dependencies=False, include_structures=True, include_labels=True)\n\n"  \
        "Set of the layers in use."),                                                           \
    WHISTLE_KEYWORD_METHOD("remap_layers", component_remap_layers,                              \
        "remap_layers(layer_map, include_dependencies=False)\n\nMove structures between layers."), \
    WHISTLE_KEYWORD_METHOD("remap_label_layers", component_remap_label_layers,                  \
        "remap_label_layers(layer_map, include_dependencies=False)\n\nMove labels between layers."), \
    WHISTLE_KEYWORD_METHOD("filter_layers", component_filter_layers,                            \
        "filter_layers(layers, keep, include_dependencies=False)\n\nKeep only (keep=True) or "  \
        "remove the structures of the given layers."),                                          \
    WHISTLE_KEYWORD_METHOD("filter_label_layers", component_filter_label_layers,                \
        "filter_label_layers(layers, keep, include_dependencies=False)\n\nKeep only (keep=True) " \
        "or remove the labels of the given layers."),                                           \
    WHISTLE_KEYWORD_METHOD("set_bounds", component_set_bounds,                                  \
        "set_bounds(bounds)\n\nClip the component's own structures to a rectangle and drop its " \
        "labels outside it; references stay."),                                                 \
    WHISTLE_KEYWORD_METHOD("slice_profile", component_slice_profile,                            \
        "slice_profile(axis, center, length=None, depth=-1)\n\nList of (width, offset, layer) " \
        "of the geometry crossed by the line along 'x' or 'y' through the center point; "       \
        "offsets are measured along the line from the center, and length limits the line."),   \
    WHISTLE_KEYWORD_METHOD("build_mask", component_build_mask,                                  \
        "build_mask(mask_spec, heal=False)\n\nPolygons of a mask (or a layer) evaluated on the " \
        "hierarchy; heal True removes features below the tolerance, a number below that size.")

}  // namespace whistle::py
