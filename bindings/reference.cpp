// `Reference`: a placed component, possibly as an array of instances.
#include "core/model/component.hpp"

#include <cmath>

#include "interpreter_objects.hpp"
#include "model.hpp"
#include "query.hpp"
#include "structure.hpp"
#include "svg.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

using Slot = PyUpdateKwargs::Slot;

bool to_component(PyObject* obj, std::shared_ptr<Component>& out) {
    if (!obj || !is_instance(obj, TypeCode::Component)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component' must be a Component instance.");
        return false;
    }
    out = unwrap<Component>(obj);
    return bool(out);
}

// A count of columns or rows: a non-negative integer below 2^32 ("Value outside range.").
bool to_count(PyObject* value, const char* name, uint32_t& out) {
    if (!check_not_deleted(value, name)) return false;
    Ref index(PyNumber_Index(value));
    if (!index) return false;
    long long count = PyLong_AsLongLong(index.get());
    if (count == -1 && PyErr_Occurred()) PyErr_Clear();
    if (count < 0 || count > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_ValueError, "Value outside range.");
        return false;
    }
    out = uint32_t(count);
    return true;
}

// ---- Update dictionaries ---------------------------------------------------------------

// The reference's holder, or null when it has none.
PyUpdateKwargs* update_kwargs(const Reference& reference) {
    return static_cast<PyUpdateKwargs*>(reference.update_kwargs().get());
}

// Dicts given for the five slots (null: left as they are). Conversions are over when this runs.
bool store_update_dicts(PyObject* self, PyObject* const (&dicts)[PyUpdateKwargs::kSlotCount]) {
    return modify<Reference>(self, [&](Reference& reference) {
        // A new holder each time: copies of a reference may share the old one.
        const PyUpdateKwargs* held = update_kwargs(reference);
        auto holder = held ? std::make_shared<PyUpdateKwargs>(*held)
                           : std::make_shared<PyUpdateKwargs>();
        for (int slot = 0; slot < PyUpdateKwargs::kSlotCount; ++slot)
            if (dicts[slot] && !holder->set_dict(Slot(slot), dicts[slot])) throw std::bad_alloc();
        reference.set_update_kwargs(std::move(holder));
    });
}

bool check_update_dict(PyObject* value, const char* name) {
    if (value && PyDict_Check(value)) return true;
    PyErr_Format(PyExc_TypeError, "Value assigned to '%s' must be a dictionary.", name);
    return false;
}

PyObject* get_update_dict(PyObject* self, void* closure) {
    Slot slot = Slot(reinterpret_cast<intptr_t>(closure));
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    // Created on first use, so that changes made through the returned dict are kept.
    if (!update_kwargs(*reference)) {
        PyObject* none[PyUpdateKwargs::kSlotCount] = {};
        if (!store_update_dicts(self, none)) return nullptr;
        reference = unwrap<Reference>(self);
        if (!reference) return nullptr;
    }
    return Py_NewRef(update_kwargs(*reference)->dict(slot));
}

int set_update_dict(PyObject* self, PyObject* value, void* closure) {
    intptr_t slot = reinterpret_cast<intptr_t>(closure);
    if (!check_update_dict(value, PyUpdateKwargs::kNames[slot])) return -1;
    PyObject* dicts[PyUpdateKwargs::kSlotCount] = {};
    dicts[slot] = value;
    return store_update_dicts(self, dicts) ? 0 : -1;
}

// ---- Construction ----------------------------------------------------------------------

int reference_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"component", "origin", "rotation", "scaling", "x_reflection",
                                     "columns", "rows", "spacing", "technology_updates",
                                     "component_updates", "model_updates", "s_matrix_kwargs",
                                     "time_stepper_kwargs", nullptr};
    PyObject *component_obj, *origin_obj = nullptr, *spacing_obj = nullptr;
    double rotation = 0, scaling = 1;
    int x_reflection = 0;
    long long columns = 1, rows = 1;
    PyObject* dicts[PyUpdateKwargs::kSlotCount] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OddpLLOOOOOO:Reference", (char**)keywords,
                                     &component_obj, &origin_obj, &rotation, &scaling,
                                     &x_reflection, &columns, &rows, &spacing_obj, &dicts[0],
                                     &dicts[1], &dicts[2], &dicts[3], &dicts[4]))
        return -1;
    std::shared_ptr<Component> component;
    Repetition repetition;
    Vector origin;
    if (!to_component(component_obj, component) || !to_point(origin_obj, "origin", origin) ||
        !check_finite(rotation, "rotation") || !check_finite(scaling, "scaling") ||
        !to_point(spacing_obj, "spacing", repetition.spacing))
        return -1;
    if (columns < 0 || rows < 0) {
        PyErr_SetString(PyExc_ValueError, "Number of columns and rows may not be negative.");
        return -1;
    }
    if (columns > UINT32_MAX || rows > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "Value outside range.");
        return -1;
    }
    repetition.columns = uint32_t(columns);
    repetition.rows = uint32_t(rows);
    bool any_updates = false;
    for (int slot = 0; slot < PyUpdateKwargs::kSlotCount; ++slot) {
        if (!dicts[slot]) continue;
        if (!check_update_dict(dicts[slot], PyUpdateKwargs::kNames[slot])) return -1;
        any_updates = any_updates || PyDict_Size(dicts[slot]) > 0;
    }
    try {
        install(self, std::make_shared<Reference>(std::move(component), origin, rotation, scaling,
                                                  x_reflection != 0, repetition));
    }
    WHISTLE_CATCH(-1)
    // Only non-empty updates make a holder: an absent one reads as empty dicts.
    return !any_updates || store_update_dicts(self, dicts) ? 0 : -1;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_component(PyObject* self, void*) {
    auto reference = unwrap<Reference>(self);
    return reference ? wrap(reference->component()) : nullptr;
}

int set_component(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<Component> component;
    if (!check_not_deleted(value, "component") || !to_component(value, component)) return -1;
    return modify<Reference>(self, [&](Reference& r) { r.set_component(std::move(component)); })
               ? 0 : -1;
}

PyObject* get_component_name(PyObject* self, void*) {
    auto reference = unwrap<Reference>(self);
    return reference ? text_object(reference->component()->name) : nullptr;
}

PyObject* get_x_reflection(PyObject* self, void*) {
    auto reference = unwrap<Reference>(self);
    return reference ? PyBool_FromLong(reference->x_reflection()) : nullptr;
}

int set_x_reflection(PyObject* self, PyObject* value, void*) {
    int flag = check_not_deleted(value, "x_reflection") ? PyObject_IsTrue(value) : -1;
    if (flag < 0) return -1;
    return modify<Reference>(self, [&](Reference& r) { r.set_x_reflection(flag != 0); }) ? 0 : -1;
}

// Columns (closure 0) or rows (closure 1) of the repetition.
PyObject* get_count(PyObject* self, void* closure) {
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    const Repetition& r = reference->repetition();
    return PyLong_FromUnsignedLong(closure ? r.rows : r.columns);
}

int set_count(PyObject* self, PyObject* value, void* closure) {
    uint32_t count = 0;
    if (!to_count(value, closure ? "rows" : "columns", count)) return -1;
    return modify<Reference>(self, [&](Reference& reference) {
               Repetition r = reference.repetition();
               (closure ? r.rows : r.columns) = count;
               reference.set_repetition(r);
           }) ? 0 : -1;
}

PyObject* get_spacing(PyObject* self, void*) {
    auto reference = unwrap<Reference>(self);
    return reference ? array2(reference->repetition().spacing) : nullptr;
}

int set_spacing(PyObject* self, PyObject* value, void*) {
    Vector spacing;
    if (!to_point(value, "spacing", spacing, true)) return -1;
    return modify<Reference>(self, [&](Reference& reference) {
               Repetition r = reference.repetition();
               r.spacing = spacing;
               reference.set_repetition(r);
           }) ? 0 : -1;
}

// ---- Bounds ----------------------------------------------------------------------------

// The bounds of every instance; an empty reference measures (0, 0) to (0, 0).
bool reference_bounds(const Reference& reference, bool include_labels, Bounds& out) {
    try {
        ErrorHandler status;
        std::optional<Bounds> box = reference.bounds(include_labels, status);
        if (!check_status(status)) return false;
        out = box.value_or(Bounds{});
        return true;
    }
    WHISTLE_CATCH(false)
}

PyObject* get_bound(PyObject* self, void* closure) {
    auto reference = unwrap<Reference>(self);
    Bounds b;
    if (!reference || !reference_bounds(*reference, true, b)) return nullptr;
    return PyFloat_FromDouble(box_bound(b, reinterpret_cast<intptr_t>(closure)) / kUnitsPerMicron);
}

int set_bound(PyObject* self, PyObject* value, void* closure) {
    intptr_t which = reinterpret_cast<intptr_t>(closure);
    Coord target = 0;
    if (!to_bound_target(value, which, target)) return -1;
    auto reference = unwrap<Reference>(self);
    Bounds b;
    if (!reference || !reference_bounds(*reference, true, b)) return -1;
    const Vector shift = bound_shift(which, target, box_bound(b, which));
    return modify<Reference>(self, [&](Reference& r) { r.translate(shift); }) ? 0 : -1;
}

bool parse_include_labels(PyObject* args, PyObject* kwds, const char* format, int& include) {
    static const char* keywords[] = {"include_labels", nullptr};
    include = 1;
    return PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &include);
}

PyObject* method_bounds(PyObject* self, PyObject* args, PyObject* kwds) {
    int include = 1;
    Bounds b;
    if (!parse_include_labels(args, kwds, "|p:bounds", include)) return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference || !reference_bounds(*reference, include, b)) return nullptr;
    Ref lower(array2(Vector{b.x_min, b.y_min}));
    Ref upper(array2(Vector{b.x_max, b.y_max}));
    if (!lower || !upper) return nullptr;
    return PyTuple_Pack(2, lower.get(), upper.get());
}

PyObject* method_center(PyObject* self, PyObject* args, PyObject* kwds) {
    int include = 1;
    Bounds b;
    if (!parse_include_labels(args, kwds, "|p:center", include)) return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference || !reference_bounds(*reference, include, b)) return nullptr;
    return array2(box_bound(b, kXMid) / kUnitsPerMicron, box_bound(b, kYMid) / kUnitsPerMicron);
}

PyObject* method_size(PyObject* self, PyObject* args, PyObject* kwds) {
    int include = 1;
    Bounds b;
    if (!parse_include_labels(args, kwds, "|p:size", include)) return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference || !reference_bounds(*reference, include, b)) return nullptr;
    return array2(Vector{b.x_max - b.x_min, b.y_max - b.y_min});
}

PyObject* method_convex_hull(PyObject* self, PyObject* args, PyObject* kwds) {
    int include = 1;
    if (!parse_include_labels(args, kwds, "|p:convex_hull", include)) return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        ErrorHandler status;
        std::vector<Vector> hull = reference->convex_hull(include, status);
        return check_status(status) ? points_array(hull) : nullptr;
    }
    WHISTLE_CATCH(nullptr)
}

// ---- Instances -------------------------------------------------------------------------

PyObject* method_get_repetition(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"repetition_index", nullptr};
    Py_ssize_t index = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|n:get_repetition", (char**)keywords, &index))
        return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        if (index >= 0) return wrap(reference->repetition_reference(uint64_t(index)));
        const uint64_t count = reference->repetition().count();
        Ref list(PyList_New(0));
        for (uint64_t i = 0; list && i < count; ++i) {
            Ref item(wrap(reference->repetition_reference(i)));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
        }
        return list.release();
    }
    WHISTLE_CATCH(nullptr)
}

// A list of wrapped core objects.
template <class T>
PyObject* object_list(const std::vector<std::shared_ptr<T>>& items) {
    Ref list(PyList_New(Py_ssize_t(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = wrap(items[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// get_structures and get_labels: a list for one layer, a dict by layer otherwise.
template <class Map, Map (Reference::*Get)(const HierarchyFilter&) const>
PyObject* layer_items(PyObject* self, PyObject* args, PyObject* kwds, const char* format) {
    static const char* keywords[] = {"layer", "depth", nullptr};
    PyObject* layer_obj = Py_None;
    long long depth = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &layer_obj, &depth))
        return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    HierarchyFilter filter;
    filter.depth = depth;
    Layer layer;
    if (layer_obj != Py_None) {
        std::shared_ptr<Technology> technology = reference->component()->technology;
        if (!to_layer_or_name(layer_obj, "layer", technology.get(), layer)) return nullptr;
        filter.layers = std::set<Layer>{layer};
    }
    try {
        Map items = ((*reference).*Get)(filter);
        if (layer_obj != Py_None) return object_list(items[layer]);
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [key, values] : items) {
            Ref key_obj(layer_tuple(key));
            Ref list(object_list(values));
            if (!key_obj || !list || PyDict_SetItem(dict.get(), key_obj.get(), list.get()) < 0)
                return nullptr;
        }
        return dict.release();
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_get_structures(PyObject* self, PyObject* args, PyObject* kwds) {
    return layer_items<StructureMap, &Reference::get_structures>(self, args, kwds,
                                                                 "|OL:get_structures");
}

PyObject* method_get_labels(PyObject* self, PyObject* args, PyObject* kwds) {
    return layer_items<LabelMap, &Reference::get_labels>(self, args, kwds, "|OL:get_labels");
}

// get_ports and get_terminals: the instances of one name, or a dict of every name's.
template <class Item, std::vector<std::shared_ptr<Item>> (Reference::*Get)(const std::string&) const,
          class Source>
PyObject* named_instances(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                          Source source) {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &name_obj))
        return nullptr;
    std::string name;
    if (name_obj != Py_None && !to_text(name_obj, "name", name)) return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        if (name_obj != Py_None) return object_list(((*reference).*Get)(name));
        // Held: the names are read from the component, which interpreter code may change.
        std::shared_ptr<Component> component = reference->component();
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& entry : source(*component)) {
            Ref list(object_list(((*reference).*Get)(entry.first)));
            if (!list || PyDict_SetItemString(dict.get(), entry.first.c_str(), list.get()) < 0)
                return nullptr;
        }
        return dict.release();
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_get_ports(PyObject* self, PyObject* args, PyObject* kwds) {
    return named_instances<Port, &Reference::get_ports>(
        self, args, kwds, "|O:get_ports", [](const Component& c) { return c.ports; });
}

PyObject* method_get_terminals(PyObject* self, PyObject* args, PyObject* kwds) {
    return named_instances<Terminal, &Reference::get_terminals>(
        self, args, kwds, "|O:get_terminals", [](const Component& c) { return c.terminals; });
}

// reference[name]: the port's (or else the terminal's) instances, a single one bare.
PyObject* reference_subscript(PyObject* self, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "Indexing key must be a port or terminal name string.");
        return nullptr;
    }
    std::string name;
    if (!to_text(key, "key", name)) return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        Ref list;
        if (reference->component()->ports.count(name))
            list = Ref(object_list(reference->get_ports(name)));
        else if (reference->component()->terminals.count(name))
            list = Ref(object_list(reference->get_terminals(name)));
        else {
            PyErr_SetObject(PyExc_KeyError, key);
            return nullptr;
        }
        if (!list || PyList_GET_SIZE(list.get()) != 1) return list.release();
        return Py_NewRef(PyList_GET_ITEM(list.get(), 0));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_connect(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"port_name", "to_port", "repetition_index", nullptr};
    PyObject *name_obj, *port_obj;
    Py_ssize_t index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|n:connect", (char**)keywords, &name_obj,
                                     &port_obj, &index))
        return nullptr;
    std::string name;
    if (!to_text(name_obj, "port_name", name)) return nullptr;
    if (!is_instance(port_obj, TypeCode::Port)) {
        PyErr_SetString(PyExc_TypeError, "'to_port' must be an instance of Port");
        return nullptr;
    }
    auto port = unwrap<Port>(port_obj);
    if (!port) return nullptr;
    ErrorHandler status;
    // A negative index is past every instance.
    if (!modify<Reference>(self, [&](Reference& r) { r.connect(name, *port, uint64_t(index), status); }))
        return nullptr;
    return check_status(status) ? same(self) : nullptr;
}

PyObject* method_transformed_component(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name", "repetition_index", nullptr};
    PyObject* name_obj;
    Py_ssize_t index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|n:transformed_component", (char**)keywords,
                                     &name_obj, &index))
        return nullptr;
    std::string name;
    if (!to_text(name_obj, "name", name)) return nullptr;
    if (index < 0) {
        PyErr_SetString(PyExc_ValueError, "'repetition_index' cannot be negative.");
        return nullptr;
    }
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        return wrap(reference->transformed_component(std::move(name), uint64_t(index)));
    }
    WHISTLE_CATCH(nullptr)
}

// Rooted at the referenced component, in its coordinates.
PyObject* method_query(PyObject* self, PyObject* args) {
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    return query_component(reference->component(), args);
}

// ---- Parametric update -----------------------------------------------------------------

// Calls obj.update(**kwargs) and appends (obj, its previous parametric kwargs) to `results`.
bool update_object(PyObject* obj, PyObject* kwargs, PyObject* results) {
    Ref previous(PyObject_GetAttrString(obj, "parametric_kwargs"));
    if (!previous) return false;
    Ref method(PyObject_GetAttrString(obj, "update"));
    Ref no_args(PyTuple_New(0));
    if (!method || !no_args) return false;
    Ref updated(PyObject_Call(method.get(), no_args.get(), kwargs));
    Ref entry(updated ? PyTuple_Pack(2, obj, previous.get()) : nullptr);
    return entry && PyList_Append(results, entry.get()) == 0;
}

// Updates the component's active model of the classification with `updates`: the entry of the
// model's name when the dict is keyed by model names, else the whole dict.
bool update_active_model(const Component& component, Classification classification,
                         PyObject* updates, PyObject* results) {
    const std::string& name = classification == Classification::Optical
                                  ? component.active_optical_model
                                  : component.active_electrical_model;
    auto it = name.empty() ? component.models.end() : component.models.find(name);
    if (it == component.models.end()) {
        return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                "Component '%s' has no active model after update.",
                                component.name.c_str()) == 0;
    }
    bool keyed_by_name = false;
    for (const auto& entry : component.models) {
        PyObject* value = PyDict_GetItemString(updates, entry.first.c_str());
        keyed_by_name |= value && PyDict_Check(value);
    }
    PyObject* kwargs = keyed_by_name ? PyDict_GetItemString(updates, name.c_str()) : updates;
    if (!kwargs || !PyDict_Check(kwargs) || PyDict_Size(kwargs) == 0) return true;
    Ref model(wrap(it->second));
    return model && update_object(model.get(), kwargs, results);
}

// The stored dict of a slot merged with the argument (the argument wins).
PyObject* merged_updates(const Reference& reference, Slot slot, PyObject* given) {
    const PyUpdateKwargs* held = update_kwargs(reference);
    Ref merged(held ? PyDict_Copy(held->dict(slot)) : PyDict_New());
    if (!merged || (given && PyDict_Update(merged.get(), given) < 0)) return nullptr;
    return merged.release();
}

PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"technology_updates", "component_updates", "model_updates",
                                     "chain_technology_updates", "classification", nullptr};
    PyObject *technology_obj = nullptr, *component_obj = nullptr, *model_obj = nullptr;
    PyObject* classification_obj = nullptr;
    int chain = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOpO:update", (char**)keywords,
                                     &technology_obj, &component_obj, &model_obj, &chain,
                                     &classification_obj))
        return nullptr;
    const char* names[] = {"technology_updates", "component_updates", "model_updates"};
    PyObject* given[] = {technology_obj, component_obj, model_obj};
    for (int i = 0; i < 3; ++i) {
        if (given[i] && !PyDict_Check(given[i])) {
            PyErr_Format(PyExc_TypeError, "Argument '%s' must be a dictionary.", names[i]);
            return nullptr;
        }
    }
    Classification classification = Classification::Optical;
    if (classification_obj && !to_classification(classification_obj, classification))
        return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    Ref technology_updates(merged_updates(*reference, Slot::kTechnology, technology_obj));
    Ref component_updates(merged_updates(*reference, Slot::kComponent, component_obj));
    Ref model_updates(merged_updates(*reference, Slot::kModel, model_obj));
    Ref results(PyList_New(0));
    if (!technology_updates || !component_updates || !model_updates || !results) return nullptr;
    // Held for the call: updates run interpreter code that may change the reference.
    std::shared_ptr<Component> component = reference->component();
    std::shared_ptr<Technology> technology = component->technology;
    try {
        if (PyDict_Size(technology_updates.get()) > 0) {
            Ref technology_obj(wrap(technology));
            if (!technology_obj ||
                !update_object(technology_obj.get(), technology_updates.get(), results.get()))
                return nullptr;
            if (chain) {
                for (const auto& dependency : component->dependencies()) {
                    if (dependency == component || dependency->technology != technology ||
                        !dependency->parametric_data)
                        continue;
                    Ref dependency_obj(wrap(dependency));
                    if (!dependency_obj || !update_object(dependency_obj.get(), nullptr, results.get()))
                        return nullptr;
                }
            }
        }
        if (component->parametric_data || PyDict_Size(component_updates.get()) > 0) {
            Ref component_wrapper(wrap(component));
            if (!component_wrapper ||
                !update_object(component_wrapper.get(), component_updates.get(), results.get()))
                return nullptr;
        }
        if (PyDict_Size(model_updates.get()) > 0 &&
            !update_active_model(*component, classification, model_updates.get(), results.get()))
            return nullptr;
        return results.release();
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_reference_copy(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"deep", "copy_technology", nullptr};
    int deep = 0, copy_technology = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|pp:copy", (char**)keywords, &deep,
                                     &copy_technology))
        return nullptr;
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        return wrap(reference->copy(deep != 0, copy_technology != 0));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_reference_deepcopy(PyObject* self, PyObject* memo) {
    if (memo != Py_None && !PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "Deepcopy memo must be a dictionary.");
        return nullptr;
    }
    auto reference = unwrap<Reference>(self);
    if (!reference) return nullptr;
    try {
        return wrap(reference->copy(true, false));
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef reference_methods[] = {
    WHISTLE_SVG_METHOD(Reference, std::shared_ptr<Reference>, reference_svg),
    WHISTLE_PLACEMENT_METHODS(whistle::Reference),
    WHISTLE_KEYWORD_METHOD("get_repetition", method_get_repetition,
        "get_repetition(repetition_index=-1)\n\nA 1 × 1 reference placing one instance, or the "
        "list of every instance's with a negative index."),
    WHISTLE_KEYWORD_METHOD("get_structures", method_get_structures,
        "get_structures(layer=None, depth=-1)\n\nTransformed copies of the component's "
        "structures for every instance: a list for one layer, else a dict by layer."),
    WHISTLE_KEYWORD_METHOD("get_labels", method_get_labels,
        "get_labels(layer=None, depth=-1)\n\nTransformed copies of the component's labels for "
        "every instance: a list for one layer, else a dict by layer."),
    WHISTLE_KEYWORD_METHOD("get_ports", method_get_ports,
        "get_ports(name=None)\n\nTransformed copies of a port, one per instance, or a dict of "
        "every port's."),
    WHISTLE_KEYWORD_METHOD("get_terminals", method_get_terminals,
        "get_terminals(name=None)\n\nTransformed copies of a terminal, one per instance, or a "
        "dict of every terminal's."),
    {"query", method_query, METH_VARARGS,
     "query(*args)\n\nPorts and terminals selected by name patterns, from the referenced "
     "component."},
    WHISTLE_KEYWORD_METHOD("connect", method_connect,
        "connect(port_name, to_port, repetition_index=0)\n\nMove and turn the reference so that "
        "its port sits on to_port, facing it."),
    WHISTLE_KEYWORD_METHOD("transformed_component", method_transformed_component,
        "transformed_component(name, repetition_index=0)\n\nA new component with the placed "
        "contents of one instance."),
    WHISTLE_KEYWORD_METHOD("bounds", method_bounds,
        "bounds(include_labels=True)\n\nLower-left and upper-right corners of the bounding box "
        "of every instance."),
    WHISTLE_KEYWORD_METHOD("center", method_center,
        "center(include_labels=True)\n\nCenter of the bounding box."),
    WHISTLE_KEYWORD_METHOD("size", method_size,
        "size(include_labels=True)\n\nSize of the bounding box."),
    WHISTLE_KEYWORD_METHOD("convex_hull", method_convex_hull,
        "convex_hull(include_labels=True)\n\nVertices of the convex hull of every instance."),
    WHISTLE_KEYWORD_METHOD("update", method_update,
        "update(technology_updates={}, component_updates={}, model_updates={}, "
        "chain_technology_updates=True, classification='optical')\n\nRegenerate the technology "
        "and the referenced component with updated arguments; returns the list of (object, "
        "previous keyword arguments)."),
    WHISTLE_KEYWORD_METHOD("copy", method_reference_copy,
        "copy(deep=False, copy_technology=False)\n\nA copy of the reference; deep copies the "
        "component too."),
    {"__copy__", (PyCFunction)method_copy, METH_NOARGS, "Shallow copy."},
    {"__deepcopy__", (PyCFunction)method_reference_deepcopy, METH_O, "Deep copy."},
    {nullptr, nullptr, 0, nullptr},
};

#define REFERENCE_BOUND(name, which, doc) \
    {name, get_bound, set_bound, doc, reinterpret_cast<void*>(which)}
#define UPDATE_DICT(slot, doc)                                                        \
    {PyUpdateKwargs::kNames[PyUpdateKwargs::slot], get_update_dict, set_update_dict, doc, \
     reinterpret_cast<void*>(PyUpdateKwargs::slot)}

PyGetSetDef reference_getset[] = {
    {"component", get_component, set_component, "Component: Referenced component.", nullptr},
    {"component_name", get_component_name, nullptr, "str: Name of the referenced component.",
     nullptr},
    WHISTLE_POINT_ATTRIBUTE(Reference, origin, "numpy.ndarray: Translation."),
    WHISTLE_NUMBER_ATTRIBUTE(Reference, rotation, "float: Rotation (degrees)."),
    WHISTLE_NUMBER_ATTRIBUTE(Reference, scaling, "float: Magnification."),
    {"x_reflection", get_x_reflection, set_x_reflection,
     "bool: Mirror across the x axis before rotating.", nullptr},
    {"columns", get_count, set_count, "int: Repetitions along x.", nullptr},
    {"rows", get_count, set_count, "int: Repetitions along y.", reinterpret_cast<void*>(1)},
    {"spacing", get_spacing, set_spacing,
     "numpy.ndarray: Displacement between columns (x) and rows (y).", nullptr},
    UPDATE_DICT(kTechnology, "dict: Technology updates applied by update()."),
    UPDATE_DICT(kComponent, "dict: Component updates applied by update()."),
    UPDATE_DICT(kModel, "dict: Model updates applied by update()."),
    UPDATE_DICT(kSMatrix, "dict: Keyword arguments of S-matrix computations."),
    UPDATE_DICT(kTimeStepper, "dict: Keyword arguments of time steppers."),
    REFERENCE_BOUND("x_min", kXMin, "float: Minimal x coordinate of the bounding box."),
    REFERENCE_BOUND("y_min", kYMin, "float: Minimal y coordinate of the bounding box."),
    REFERENCE_BOUND("x_max", kXMax, "float: Maximal x coordinate of the bounding box."),
    REFERENCE_BOUND("y_max", kYMax, "float: Maximal y coordinate of the bounding box."),
    REFERENCE_BOUND("x_mid", kXMid, "float: x coordinate of the bounding box center."),
    REFERENCE_BOUND("y_mid", kYMid, "float: y coordinate of the bounding box center."),
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods reference_mapping = {nullptr, reference_subscript, nullptr};

PyTypeObject reference_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.Reference",
        "Reference(component, origin=(0, 0), rotation=0, scaling=1, x_reflection=False, "
        "columns=1, rows=1, spacing=(0, 0), technology_updates={}, component_updates={}, "
        "model_updates={}, s_matrix_kwargs={}, time_stepper_kwargs={})\n\nA placed component, "
        "possibly as an array of columns × rows instances.",
        reference_init, reference_methods, reference_getset);
    type.tp_as_mapping = &reference_mapping;
    return type;
}();

}  // namespace

PyTypeObject* Reference_type() {
    return register_exposed_type(TypeCode::Reference, &reference_type);
}

}  // namespace whistle::py
