// `Component` members over the hierarchy's geometry: bounds, hulls, structure and label
// queries, layer edits, clipping, profiles and masks.
#include "component.hpp"

#include "core/foundation/config.hpp"
#include "core/model/component_operations.hpp"
#include "core/model/mask_spec.hpp"
#include "model.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kLayerItems =
    "All items in 'layers' must be sequences of 2 non-negative integers or existing layer names.";

// The items of an iterable (not a string) as a tuple; null with `message` otherwise.
PyObject* iterable_items(PyObject* obj, const char* message) {
    PyObject* items = obj && !PyUnicode_Check(obj) ? PySequence_Tuple(obj) : nullptr;
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, message);
    }
    return items;
}

bool to_layers(PyObject* obj, const Component& component, const char* type_message, std::set<Layer>& out) {
    Ref items(iterable_items(obj, type_message));
    if (!items) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
        Layer layer;
        if (!to_component_layer(PyTuple_GET_ITEM(items.get(), i), "layer", component, layer)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, kLayerItems);
            return false;
        }
        out.insert(layer);
    }
    return true;
}

// (include_ports=True, include_labels=True, layers=None) of bounds, center and size.
bool parse_bounds(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                  std::optional<Bounds>& out) {
    static const char* keywords[] = {"include_ports", "include_labels", "layers", nullptr};
    int include_ports = 1, include_labels = 1;
    PyObject* layers_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &include_ports,
                                     &include_labels, &layers_obj))
        return false;
    auto c = unwrap<Component>(self);
    std::optional<std::set<Layer>> layers;
    if (!c || !to_layer_selection(layers_obj, *c, "Argument 'layers' must be an iterable of layers or None.", layers))
        return false;
    try {
        ErrorHandler status;
        out = c->bounds(include_ports, include_labels, layers, status);
        return check_status(status);
    }
    WHISTLE_CATCH(false)
}

// Empty geometry has the bounds ((0, 0), (0, 0)).
Bounds or_empty(const std::optional<Bounds>& bounds) { return bounds.value_or(Bounds{}); }

// (layer=None, depth=-1, skip_components=()) of get_structures and get_labels.
bool parse_hierarchy_query(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                           HierarchyFilter& filter, std::optional<Layer>& layer) {
    static const char* keywords[] = {"layer", "depth", "skip_components", nullptr};
    PyObject *layer_obj = Py_None, *skip_obj = nullptr;
    long long depth = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &layer_obj, &depth, &skip_obj))
        return false;
    auto c = unwrap<Component>(self);
    if (!c) return false;
    filter.depth = depth;
    if (layer_obj != Py_None) {
        Layer given;
        if (!to_component_layer(layer_obj, "layer", *c, given)) return false;
        layer = given;
        filter.layers = std::set<Layer>{given};
    }
    if (!skip_obj) return true;
    Ref items(iterable_items(skip_obj, "Argument 'skip_components' must be an iterable of components or names."));
    if (!items) return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        std::string name;
        if (is_instance(item, TypeCode::Component)) {
            name = unwrap<Component>(item)->name;
        } else if (!PyUnicode_Check(item) || !to_text(item, "skip_components", name)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "All 'skip_components' items must be a Component instance or a string.");
            return false;
        }
        filter.skip_components.insert(name);
    }
    return true;
}

template <class Map>
PyObject* hierarchy_items(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                          Map (Component::*query)(const HierarchyFilter&) const) {
    HierarchyFilter filter;
    std::optional<Layer> layer;
    if (!parse_hierarchy_query(self, args, kwds, format, filter, layer)) return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        Map items = (*c.*query)(filter);
        if (!layer) {
            Ref dict(PyDict_New());
            for (const auto& [key, list] : items) {
                Ref k(layer_tuple(key));
                Ref v(PyList_New(0));
                if (!dict || !k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
                for (const auto& item : list) {
                    Ref w(wrap(item));
                    if (!w || PyList_Append(v.get(), w.get()) < 0) return nullptr;
                }
            }
            return dict.release();
        }
        Ref list(PyList_New(0));
        if (auto it = items.find(*layer); it != items.end())
            for (const auto& item : it->second) {
                Ref w(wrap(item));
                if (!list || !w || PyList_Append(list.get(), w.get()) < 0) return nullptr;
            }
        return list.release();
    }
    WHISTLE_CATCH(nullptr)
}

// (layer_map, include_dependencies=False)
PyObject* remap(PyObject* self, PyObject* args, PyObject* kwds, const char* format, LayerContent content) {
    static const char* keywords[] = {"layer_map", "include_dependencies", nullptr};
    PyObject* map_obj;
    int include_dependencies = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &map_obj, &include_dependencies))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    if (!PyDict_Check(map_obj)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'layer_map' must be a dictionary.");
        return nullptr;
    }
    Ref items(PyDict_Items(map_obj));
    if (!items) return nullptr;
    std::map<Layer, Layer> layer_map;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        Layer from, to;
        if (!to_component_layer(PyTuple_GET_ITEM(pair, 0), "layer_map key", *c, from) ||
            !to_component_layer(PyTuple_GET_ITEM(pair, 1), "layer_map value", *c, to))
            return nullptr;
        layer_map[from] = to;
    }
    return modify<Component>(self, [&](Component& component) {
               remap_layers(component, layer_map, content, include_dependencies);
           }) ? same(self) : nullptr;
}

// (layers, keep, include_dependencies=False)
PyObject* filter(PyObject* self, PyObject* args, PyObject* kwds, const char* format, LayerContent content) {
    static const char* keywords[] = {"layers", "keep", "include_dependencies", nullptr};
    PyObject* layers_obj;
    int keep = 0, include_dependencies = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &layers_obj, &keep,
                                     &include_dependencies))
        return nullptr;
    auto c = unwrap<Component>(self);
    std::set<Layer> layers;
    if (!c || !to_layers(layers_obj, *c, "Argument 'layers' must be an iterable of layers.", layers))
        return nullptr;
    return modify<Component>(self, [&](Component& component) {
               filter_layers(component, layers, keep, content, include_dependencies);
           }) ? same(self) : nullptr;
}

// A length argument that may be None.
bool to_optional_length(PyObject* obj, const char* name, std::optional<Coord>& out) {
    if (!obj || obj == Py_None) return true;
    double value = PyFloat_AsDouble(obj);
    Coord units = 0;
    if ((value == -1.0 && PyErr_Occurred()) || !to_length(value, name, units)) return false;
    out = units;
    return true;
}

PyObject* polygon_list(std::vector<Polygon> polygons) {
    Ref list(PyList_New(Py_ssize_t(polygons.size())));
    for (size_t i = 0; list && i < polygons.size(); ++i) {
        PyObject* item = wrap(std::make_shared<Polygon>(std::move(polygons[i])));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// heal=False: none; True: the configured tolerance; a number: that feature size.
bool to_heal_size(PyObject* obj, std::optional<Coord>& out) {
    if (obj == Py_False) return true;
    if (obj == Py_True) {
        out = config().tolerance;
        return true;
    }
    return to_optional_length(obj, "heal", out);
}

}  // namespace

bool to_layer_selection(PyObject* obj, const Component& component, const char* type_message,
                        std::optional<std::set<Layer>>& out) {
    if (obj == Py_None) return true;
    std::set<Layer> layers;
    if (!to_layers(obj, component, type_message, layers)) return false;
    out = std::move(layers);
    return true;
}

PyObject* component_bounds(PyObject* self, PyObject* args, PyObject* kwds) {
    std::optional<Bounds> bounds;
    if (!parse_bounds(self, args, kwds, "|ppO:bounds", bounds)) return nullptr;
    Bounds b = or_empty(bounds);
    Ref lower(array2(Vector{b.x_min, b.y_min}));
    Ref upper(array2(Vector{b.x_max, b.y_max}));
    return lower && upper ? PyTuple_Pack(2, lower.get(), upper.get()) : nullptr;
}

PyObject* component_center(PyObject* self, PyObject* args, PyObject* kwds) {
    std::optional<Bounds> bounds;
    if (!parse_bounds(self, args, kwds, "|ppO:center", bounds)) return nullptr;
    Bounds b = or_empty(bounds);
    return array2(0.5 * (from_db(b.x_min) + from_db(b.x_max)), 0.5 * (from_db(b.y_min) + from_db(b.y_max)));
}

PyObject* component_size(PyObject* self, PyObject* args, PyObject* kwds) {
    std::optional<Bounds> bounds;
    if (!parse_bounds(self, args, kwds, "|ppO:size", bounds)) return nullptr;
    Bounds b = or_empty(bounds);
    return array2(Vector{b.x_max - b.x_min, b.y_max - b.y_min});
}

PyObject* component_convex_hull(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"include_labels", "layers", nullptr};
    int include_labels = 1;
    PyObject* layers_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|pO:convex_hull", (char**)keywords, &include_labels, &layers_obj))
        return nullptr;
    auto c = unwrap<Component>(self);
    std::optional<std::set<Layer>> layers;
    if (!c || !to_layer_selection(layers_obj, *c, "Argument 'layers' must be an iterable of layers or None.", layers))
        return nullptr;
    try {
        ErrorHandler status;
        std::vector<Vector> hull = whistle::component_convex_hull(*c, include_labels, layers, status);
        if (!check_status(status)) return nullptr;
        return points_array(hull);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_get_structures(PyObject* self, PyObject* args, PyObject* kwds) {
    return hierarchy_items(self, args, kwds, "|OLO:get_structures", &Component::get_structures);
}

PyObject* component_get_labels(PyObject* self, PyObject* args, PyObject* kwds) {
    return hierarchy_items(self, args, kwds, "|OLO:get_labels", &Component::get_labels);
}

PyObject* component_layers(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"include_dependencies", "include_structures", "include_labels", nullptr};
    int include_dependencies = 0, include_structures = 1, include_labels = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ppp:layers", (char**)keywords, &include_dependencies,
                                     &include_structures, &include_labels))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        return layer_set(component_layers(*c, include_dependencies, include_structures, include_labels));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_remap_layers(PyObject* self, PyObject* args, PyObject* kwds) {
    return remap(self, args, kwds, "O|p:remap_layers", LayerContent::Structures);
}

PyObject* component_remap_label_layers(PyObject* self, PyObject* args, PyObject* kwds) {
    return remap(self, args, kwds, "O|p:remap_label_layers", LayerContent::Labels);
}

PyObject* component_filter_layers(PyObject* self, PyObject* args, PyObject* kwds) {
    return filter(self, args, kwds, "Op|p:filter_layers", LayerContent::Structures);
}

PyObject* component_filter_label_layers(PyObject* self, PyObject* args, PyObject* kwds) {
    return filter(self, args, kwds, "Op|p:filter_label_layers", LayerContent::Labels);
}

PyObject* component_set_bounds(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"bounds", nullptr};
    PyObject* bounds_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:set_bounds", (char**)keywords, &bounds_obj)) return nullptr;
    std::vector<Vector> corners;
    if (!to_points(bounds_obj, "bounds", corners)) return nullptr;
    if (corners.size() != 2) {
        PyErr_Format(PyExc_ValueError, "'bounds' must be a sequence of exactly 2 points, %zu found.",
                     corners.size());
        return nullptr;
    }
    Bounds box{std::min(corners[0].x, corners[1].x), std::min(corners[0].y, corners[1].y),
               std::max(corners[0].x, corners[1].x), std::max(corners[0].y, corners[1].y)};
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        // Clipped on a copy, so that a failure leaves the component as it was.
        Component clipped(*c);
        ErrorHandler status;
        clip_to_bounds(clipped, box, status);
        if (!check_status(status)) return nullptr;
        c->structures = std::move(clipped.structures);
        c->labels = std::move(clipped.labels);
        return same(self);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_slice_profile(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"axis", "center", "length", "depth", nullptr};
    PyObject *axis_obj, *center_obj, *length_obj = Py_None;
    long long depth = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OL:slice_profile", (char**)keywords, &axis_obj,
                                     &center_obj, &length_obj, &depth))
        return nullptr;
    const char* axis = PyUnicode_Check(axis_obj) ? PyUnicode_AsUTF8(axis_obj) : nullptr;
    if (!axis || (std::string(axis) != "x" && std::string(axis) != "y")) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Argument 'axis' must be one of 'x' or 'y'.");
        return nullptr;
    }
    Vector center;
    std::optional<Coord> length;
    if (!to_point(center_obj, "center", center, true) || !to_optional_length(length_obj, "length", length))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        ErrorHandler status;
        auto segments = slice_profile(*c, axis[0] == 'x' ? 0 : 1, center, length, depth, status);
        if (!check_status(status)) return nullptr;
        Ref list(PyList_New(Py_ssize_t(segments.size())));
        for (size_t i = 0; list && i < segments.size(); ++i) {
            Ref layer(layer_tuple(segments[i].layer));
            PyObject* item = layer ? Py_BuildValue("(ddO)", from_db(segments[i].width),
                                                   from_db(segments[i].offset), layer.get())
                                   : nullptr;
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
        }
        return list.release();
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_build_mask(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"mask_spec", "heal", nullptr};
    PyObject *mask_obj, *heal_obj = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:build_mask", (char**)keywords, &mask_obj, &heal_obj))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    std::shared_ptr<MaskSpec> mask;
    Layer layer;
    if (is_instance(mask_obj, TypeCode::MaskSpec)) {
        mask = unwrap<MaskSpec>(mask_obj);
    } else if (to_component_layer(mask_obj, "mask_spec", *c, layer)) {
        mask = std::make_shared<MaskSpec>(layer);
    } else {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Argument 'mask_spec' must be an instance of MaskSpec or layer.");
        return nullptr;
    }
    std::optional<Coord> heal_size;
    if (!to_heal_size(heal_obj, heal_size)) return nullptr;
    try {
        ErrorHandler status;
        HierarchyFilter filter;
        filter.layers = mask->layers();
        LayerPolygons polygons = c->layer_polygons(filter, status);
        Bounds bounds = or_empty(c->bounds(false, false, std::nullopt, status));
        if (!check_status(status)) return nullptr;
        return polygon_list(evaluate_mask(*mask, polygons, bounds, heal_size));
    }
    WHISTLE_CATCH(nullptr)
}

bool hierarchy_polygons(PyObject* obj, std::vector<Polygon>& out, ErrorHandler& status) {
    std::shared_ptr<Component> component;
    std::shared_ptr<Reference> reference;
    if (is_instance(obj, TypeCode::Component)) {
        component = unwrap<Component>(obj);
    } else if (is_instance(obj, TypeCode::Reference)) {
        reference = unwrap<Reference>(obj);
        component = reference->component();
    }
    if (!component) return false;
    std::vector<Polygon> polygons;
    for (auto& [layer, list] : component->layer_polygons(HierarchyFilter{}, status))
        for (Polygon& polygon : list) polygons.push_back(std::move(polygon));
    if (!reference) {
        out.insert(out.end(), polygons.begin(), polygons.end());
        return true;
    }
    for (uint64_t i = 0; i < reference->repetition().count(); ++i) {
        const Placement step = reference->placement(i);
        for (const Polygon& polygon : polygons) {
            Polygon placed(polygon);
            placed.transform(Placements(&step, 1));
            out.push_back(std::move(placed));
        }
    }
    return true;
}

}  // namespace whistle::py
