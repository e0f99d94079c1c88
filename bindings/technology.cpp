// `Technology`, the module function `basic_technology` and `frequency_classification`.
#include <cstring>
#include <functional>

#include "core/foundation/text.hpp"
#include "core/model/basic_technology.hpp"
#include "interpreter_objects.hpp"
#include "model.hpp"
#include "random_variable.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kBasicTechnologyName = "tarnwhistle.basic_technology";

// ---- Argument conversion ---------------------------------------------------------------

template <class Spec>
using SpecMap = std::map<std::string, std::shared_ptr<Spec>>;

// A dict from names to specifications of one exposed type; messages name the argument.
template <class Spec>
bool to_spec_map(PyObject* value, const char* argument, TypeCode code, const char* type_message,
                 SpecMap<Spec>& out) {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return false;
    }
    Ref items(PyDict_Items(value));
    if (!items) return false;
    SpecMap<Spec> result;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* spec = PyTuple_GET_ITEM(item, 1);
        std::string name;
        if (!PyUnicode_Check(key) || !to_text(key, argument, name)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "Key %zd from '%s' is not a string instance.", i, argument);
            return false;
        }
        if (!is_instance(spec, code)) {
            PyErr_Format(PyExc_TypeError, "Value %zd from '%s' is not a %s instance.", i, argument,
                         std::string(type_name(int(code))).c_str());
            return false;
        }
        result[name] = unwrap<Spec>(spec);
    }
    out = std::move(result);
    return true;
}

bool to_layer_specs(PyObject* value, SpecMap<LayerSpec>& out) {
    return to_spec_map(value, "layers", TypeCode::LayerSpec,
                       "Argument 'layers' must be a dictionary of layer names and specifications.", out);
}

bool to_port_specs(PyObject* value, SpecMap<PortSpec>& out) {
    return to_spec_map(value, "ports", TypeCode::PortSpec,
                       "Argument 'ports' must be a dictionary of port names and specifications.", out);
}

bool to_extrusion_specs(PyObject* value, std::vector<std::shared_ptr<ExtrusionSpec>>& out) {
    Ref items(iterable_items(value, "Argument 'extrusion_specs' must be an iterable of ExtrusionSpec instances."));
    if (!items) return false;
    std::vector<std::shared_ptr<ExtrusionSpec>> result;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!is_instance(item, TypeCode::ExtrusionSpec)) {
            PyErr_SetString(PyExc_TypeError, "All objects in 'extrusion_specs' must be ExtrusionSpec instances.");
            return false;
        }
        result.push_back(unwrap<ExtrusionSpec>(item));
    }
    out = std::move(result);
    return true;
}

constexpr const char* kSelfConnection =
    "A layer cannot be connected to itself. Set 'LayerSpec.conductive' instead.";

// Pairs of layers (tuples, or names of `layers`); a layer paired with itself is refused.
bool to_connections(PyObject* value, const Technology& layers, std::vector<LayerPair>& out) {
    Ref items(iterable_items(value, "Argument 'connected_layers' must be an iterable of layer pairs."));
    if (!items) return false;
    std::vector<LayerPair> result;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        Ref pair(PySequence_Check(item) && !PyUnicode_Check(item) ? PySequence_Tuple(item) : nullptr);
        Layer a, b;
        if (!pair || PyTuple_GET_SIZE(pair.get()) != 2 ||
            !to_layer_or_name(PyTuple_GET_ITEM(pair.get(), 0), "layer1", &layers, a) ||
            !to_layer_or_name(PyTuple_GET_ITEM(pair.get(), 1), "layer2", &layers, b)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "All objects in 'connected_layers' must be sequences with 2 layers.");
            return false;
        }
        if (a == b) {
            PyErr_SetString(PyExc_ValueError, kSelfConnection);
            return false;
        }
        result.emplace_back(a, b);
    }
    out = std::move(result);
    return true;
}

int technology_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name",  "version",           "layers",           "extrusion_specs",
                                     "ports", "background_medium", "connected_layers", nullptr};
    PyObject *name_obj, *version_obj, *layers_obj, *extrusion_obj, *ports_obj, *medium_obj,
        *connections_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOO|O:Technology", (char**)keywords, &name_obj,
                                     &version_obj, &layers_obj, &extrusion_obj, &ports_obj,
                                     &medium_obj, &connections_obj))
        return -1;
    auto technology = std::make_shared<Technology>();
    std::vector<LayerPair> connections;
    if (!to_text(name_obj, "name", technology->name) ||
        !to_text(version_obj, "version", technology->version) ||
        !to_layer_specs(layers_obj, technology->layers) ||
        !to_extrusion_specs(extrusion_obj, technology->extrusion_specs) ||
        !to_port_specs(ports_obj, technology->ports) ||
        !to_medium(medium_obj, "background_medium", technology->background_medium) ||
        (connections_obj && !to_connections(connections_obj, *technology, connections)))
        return -1;
    for (const auto& [a, b] : connections) technology->add_connection(a, b);
    install(self, std::move(technology));
    return 0;
}

// ---- Attributes ------------------------------------------------------------------------

template <class Spec>
PyObject* spec_dict(const SpecMap<Spec>& specs) {
    Ref result(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [name, spec] : specs) {
        Ref value(wrap(spec));
        if (!value || PyDict_SetItemString(result.get(), name.c_str(), value.get()) < 0) return nullptr;
    }
    return result.release();
}

// A text field; the closure is the attribute name.
template <std::string Technology::*Field>
PyObject* get_text(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    return t ? text_object((*t).*Field) : nullptr;
}

template <std::string Technology::*Field>
int set_text(PyObject* self, PyObject* value, void* closure) {
    const char* name = static_cast<const char*>(closure);
    std::string text;
    if (!check_not_deleted(value, name) || !to_text(value, name, text)) return -1;
    return modify<Technology>(self, [&](Technology& t) { t.*Field = std::move(text); }) ? 0 : -1;
}

PyObject* get_layers(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    return t ? spec_dict(t->layers) : nullptr;
}

int set_layers(PyObject* self, PyObject* value, void*) {
    SpecMap<LayerSpec> layers;
    if (!check_not_deleted(value, "layers") || !to_layer_specs(value, layers)) return -1;
    return modify<Technology>(self, [&](Technology& t) { t.layers = std::move(layers); }) ? 0 : -1;
}

PyObject* get_ports(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    return t ? spec_dict(t->ports) : nullptr;
}

int set_ports(PyObject* self, PyObject* value, void*) {
    SpecMap<PortSpec> ports;
    if (!check_not_deleted(value, "ports") || !to_port_specs(value, ports)) return -1;
    return modify<Technology>(self, [&](Technology& t) { t.ports = std::move(ports); }) ? 0 : -1;
}

PyObject* get_extrusion_specs(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    Ref result(PyList_New(Py_ssize_t(t->extrusion_specs.size())));
    for (size_t i = 0; result && i < t->extrusion_specs.size(); ++i) {
        PyObject* item = wrap(t->extrusion_specs[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(result.get(), Py_ssize_t(i), item);
    }
    return result.release();
}

int set_extrusion_specs(PyObject* self, PyObject* value, void*) {
    std::vector<std::shared_ptr<ExtrusionSpec>> specs;
    if (!check_not_deleted(value, "extrusion_specs") || !to_extrusion_specs(value, specs)) return -1;
    return modify<Technology>(self, [&](Technology& t) { t.extrusion_specs = std::move(specs); }) ? 0 : -1;
}

PyObject* get_connected_layers(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    Ref result(PySet_New(nullptr));
    for (const auto& [a, b] : t->connected_layers) {
        Ref first(layer_tuple(a)), second(layer_tuple(b));
        Ref pair(first && second ? PyTuple_Pack(2, first.get(), second.get()) : nullptr);
        if (!result || !pair || PySet_Add(result.get(), pair.get()) < 0) return nullptr;
    }
    return result.release();
}

int set_connected_layers(PyObject* self, PyObject* value, void*) {
    auto t = unwrap<Technology>(self);
    std::vector<LayerPair> connections;
    if (!t || !check_not_deleted(value, "connected_layers") || !to_connections(value, *t, connections))
        return -1;
    return modify<Technology>(self, [&](Technology& technology) {
               technology.connected_layers.clear();
               for (const auto& [a, b] : connections) technology.add_connection(a, b);
           }) ? 0 : -1;
}

PyObject* get_background_medium(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    return t ? medium_value(t->background_medium) : nullptr;
}

int set_background_medium(PyObject* self, PyObject* value, void*) {
    Medium medium;
    if (!check_not_deleted(value, "background_medium") || !to_medium(value, "background_medium", medium))
        return -1;
    return modify<Technology>(self, [&](Technology& t) { t.background_medium = medium; }) ? 0 : -1;
}

PyObject* get_parametric_function(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    if (t->parametric_function.empty()) Py_RETURN_NONE;
    return text_object(t->parametric_function);
}

int set_parametric_function(PyObject* self, PyObject* value, void*) {
    std::string name;
    if (!check_not_deleted(value, "parametric_function") ||
        (value != Py_None && !to_text(value, "parametric_function", name)))
        return -1;
    return modify<Technology>(self, [&](Technology& t) { t.parametric_function = std::move(name); }) ? 0 : -1;
}

// Interpreter values held for the technology: a dict of keyword arguments, a list of variables.
PyObject* held_value(const std::shared_ptr<BaseType>& holder) { return medium_object(holder); }

std::shared_ptr<BaseType> holder_of(PyObject* value) {
    return value == Py_None ? nullptr : std::make_shared<PyNative>(TypeCode::Native, value);
}

PyObject* get_parametric_kwargs(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    return t ? held_value(t->parametric_kwargs) : nullptr;
}

int set_parametric_kwargs(PyObject* self, PyObject* value, void*) {
    if (!check_not_deleted(value, "parametric_kwargs")) return -1;
    Ref copy(parametric_kwargs_value(value));
    if (!copy) return -1;
    return modify<Technology>(self, [&](Technology& t) { t.parametric_kwargs = holder_of(copy.get()); }) ? 0 : -1;
}

PyObject* get_random_variables(PyObject* self, void*) {
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    if (!t->random_variables) return PyList_New(0);
    return held_value(t->random_variables);
}

int set_random_variables(PyObject* self, PyObject* value, void*) {
    if (!check_not_deleted(value, "random_variables")) return -1;
    Ref list(random_variables_value(value));
    if (!list) return -1;
    return modify<Technology>(self, [&](Technology& t) { t.random_variables = holder_of(list.get()); }) ? 0 : -1;
}

#define ATTRIBUTE(name, doc) {#name, get_##name, set_##name, doc, nullptr}

PyGetSetDef technology_getset[] = {
    {"name", get_text<&Technology::name>, set_text<&Technology::name>, "str: Technology name.",
     const_cast<char*>("name")},
    {"version", get_text<&Technology::version>, set_text<&Technology::version>,
     "str: Technology version.", const_cast<char*>("version")},
    ATTRIBUTE(layers, "dict[str, LayerSpec]: Layer specifications by name."),
    ATTRIBUTE(extrusion_specs, "list[ExtrusionSpec]: Extrusion specifications, applied in order."),
    ATTRIBUTE(ports, "dict[str, PortSpec]: Port specifications by name."),
    ATTRIBUTE(connected_layers, "set: Pairs of electrically connected layers."),
    ATTRIBUTE(background_medium, "Medium around all extruded structures."),
    ATTRIBUTE(parametric_function, "str | None: Registered function that creates this technology."),
    ATTRIBUTE(parametric_kwargs, "dict | None: Keyword arguments of the parametric function."),
    ATTRIBUTE(random_variables, "list: Random variables attached to the technology."),
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef ATTRIBUTE

// ---- Methods ---------------------------------------------------------------------------

template <class Spec>
PyObject* add_spec(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                   const char* name_keyword, const char* spec_keyword, TypeCode code,
                   const char* type_message, SpecMap<Spec> Technology::*map) {
    const char* keywords[] = {name_keyword, spec_keyword, nullptr};
    PyObject *name_obj, *spec_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &name_obj, &spec_obj))
        return nullptr;
    std::string name;
    if (!to_text(name_obj, name_keyword, name)) return nullptr;
    if (!is_instance(spec_obj, code)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return nullptr;
    }
    auto spec = unwrap<Spec>(spec_obj);
    return modify<Technology>(self, [&](Technology& t) { (t.*map)[name] = spec; }) ? same(self) : nullptr;
}

// Removes by name; returns the removed specification, or None when there was none.
template <class Spec>
PyObject* remove_spec(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                      const char* keyword, SpecMap<Spec> Technology::*map) {
    const char* keywords[] = {keyword, nullptr};
    PyObject* name_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &name_obj)) return nullptr;
    std::string name;
    if (!to_text(name_obj, keyword, name)) return nullptr;
    std::shared_ptr<Spec> removed;
    if (!modify<Technology>(self, [&](Technology& t) {
            if (auto it = (t.*map).find(name); it != (t.*map).end()) {
                removed = it->second;
                (t.*map).erase(it);
            }
        }))
        return nullptr;
    return wrap(removed);
}

PyObject* method_add_layer(PyObject* self, PyObject* args, PyObject* kwds) {
    return add_spec<LayerSpec>(self, args, kwds, "OO:add_layer", "layer_name", "layer_spec",
                               TypeCode::LayerSpec, "Argument 'layer_spec' must be an instance of LayerSpec.",
                               &Technology::layers);
}

PyObject* method_remove_layer(PyObject* self, PyObject* args, PyObject* kwds) {
    return remove_spec<LayerSpec>(self, args, kwds, "O:remove_layer", "layer_name", &Technology::layers);
}

PyObject* method_add_port(PyObject* self, PyObject* args, PyObject* kwds) {
    return add_spec<PortSpec>(self, args, kwds, "OO:add_port", "port_name", "port_spec",
                              TypeCode::PortSpec, "Argument 'port_spec' must be an instance of PortSpec.",
                              &Technology::ports);
}

PyObject* method_remove_port(PyObject* self, PyObject* args, PyObject* kwds) {
    return remove_spec<PortSpec>(self, args, kwds, "O:remove_port", "port_name", &Technology::ports);
}

// Python list indexing: negative indices count from the end.
Py_ssize_t resolve_index(Py_ssize_t index, size_t size) {
    return index < 0 ? index + Py_ssize_t(size) : index;
}

PyObject* method_insert_extrusion_spec(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"index", "extrusion_spec", nullptr};
    Py_ssize_t index = 0;
    PyObject* spec_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "nO:insert_extrusion_spec", (char**)keywords,
                                     &index, &spec_obj))
        return nullptr;
    if (!is_instance(spec_obj, TypeCode::ExtrusionSpec)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'extrusion_spec' must be an instance of ExtrusionSpec.");
        return nullptr;
    }
    auto spec = unwrap<ExtrusionSpec>(spec_obj);
    return modify<Technology>(self, [&](Technology& t) {
               auto& specs = t.extrusion_specs;
               Py_ssize_t at = std::clamp<Py_ssize_t>(resolve_index(index, specs.size()), 0,
                                                      Py_ssize_t(specs.size()));
               specs.insert(specs.begin() + at, spec);
           }) ? same(self) : nullptr;
}

PyObject* method_pop_extrusion_spec(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"index", nullptr};
    Py_ssize_t index = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|n:pop_extrusion_spec", (char**)keywords, &index))
        return nullptr;
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    auto& specs = t->extrusion_specs;
    Py_ssize_t at = resolve_index(index, specs.size());
    if (at < 0 || at >= Py_ssize_t(specs.size())) {
        PyErr_SetString(PyExc_IndexError, "Index out of range.");
        return nullptr;
    }
    std::shared_ptr<ExtrusionSpec> removed = specs[size_t(at)];
    specs.erase(specs.begin() + at);
    return wrap(removed);
}

bool parse_connection(PyObject* self, PyObject* args, PyObject* kwds, const char* format, Layer& a,
                      Layer& b) {
    static const char* keywords[] = {"layer1", "layer2", nullptr};
    PyObject *first, *second;
    auto t = unwrap<Technology>(self);
    return t && PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &first, &second) &&
           to_layer_or_name(first, "layer1", t.get(), a) && to_layer_or_name(second, "layer2", t.get(), b);
}

PyObject* method_add_connection(PyObject* self, PyObject* args, PyObject* kwds) {
    Layer a, b;
    if (!parse_connection(self, args, kwds, "OO:add_connection", a, b)) return nullptr;
    if (a == b) {
        PyErr_SetString(PyExc_ValueError, kSelfConnection);
        return nullptr;
    }
    return modify<Technology>(self, [&](Technology& t) { t.add_connection(a, b); }) ? same(self) : nullptr;
}

PyObject* method_remove_connection(PyObject* self, PyObject* args, PyObject* kwds) {
    Layer a, b;
    if (!parse_connection(self, args, kwds, "OO:remove_connection", a, b)) return nullptr;
    return modify<Technology>(self, [&](Technology& t) { t.remove_connection(a, b); }) ? same(self) : nullptr;
}

PyObject* method_get_background_medium(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"classification", nullptr};
    PyObject* value;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:get_background_medium", (char**)keywords, &value))
        return nullptr;
    auto t = unwrap<Technology>(self);
    return t ? classified_medium(t->background_medium, value) : nullptr;
}

PyObject* method_extrusion_layers(PyObject* self, PyObject*) {
    auto t = unwrap<Technology>(self);
    return t ? layer_set(t->extrusion_layers()) : nullptr;
}

// Looks the function up in the technology registry, calls it with the merged keyword
// arguments and takes over the result's contents.
PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds) {
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    if (t->parametric_function.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "Missing parametric data in technology.");
        return nullptr;
    }
    if (t->parametric_function == kBasicTechnologyName && kwds &&
        PyDict_GetItemString(kwds, "use_parametric_cache")) {
        PyErr_SetString(PyExc_RuntimeError, "Basic technology never uses parametric cache.");
        return nullptr;
    }
    Ref function(registered_function("_technology_registry", t->parametric_function,
                                     "Technology registry is invalid.",
                                     "Parametric technology function not found in technology registry."));
    if (!function) return nullptr;
    PyObject* stored = t->parametric_kwargs ? static_cast<PyNative*>(t->parametric_kwargs.get())->value() : nullptr;
    Ref merged(merged_kwargs(stored, kwds));
    if (!merged) return nullptr;
    Ref result(PyObject_Call(function.get(), args, merged.get()));
    if (!result) return nullptr;
    if (!is_instance(result.get(), TypeCode::Technology)) {
        PyErr_Format(PyExc_RuntimeError,
                     "Updated object returned by parametric function '%s' is not a 'Technology' instance.",
                     t->parametric_function.c_str());
        return nullptr;
    }
    auto updated = unwrap<Technology>(result.get());
    std::string function_name = t->parametric_function;
    if (!modify<Technology>(self, [&](Technology& technology) {
            technology.replace_contents(*updated);
            technology.parametric_function = function_name;
            technology.parametric_kwargs = holder_of(merged.get());
        }))
        return nullptr;
    Ref variables(held_value(t->random_variables));
    if (!variables) return nullptr;
    adopt_variables(variables.get(), updated.get(), t);
    return same(self);
}

PyObject* method_repr_html(PyObject* self, PyObject*) {
    auto t = unwrap<Technology>(self);
    if (!t) return nullptr;
    std::string html = "<div><h3>" + markup_escaped(t->name.empty() ? Technology::kUnnamed : t->name) +
                       "</h3><p>Version: " + markup_escaped(t->version) +
                       "</p><table><tr><th>Layer</th><th>Number</th><th>Description</th>"
                       "<th>Colour</th><th>Pattern</th></tr>";
    for (const auto& [name, spec] : t->layers) {
        std::string color = color_text(spec->color());
        html += "<tr><td>" + markup_escaped(name) + "</td><td>" + layer_text(spec->layer()) + "</td><td>" +
                markup_escaped(spec->description()) + "</td><td style=\"background-color:" + color +
                "\">" + color + "</td><td>" + markup_escaped(LayerSpec::pattern_name(spec->pattern())) +
                "</td></tr>";
    }
    html += "</table><table><tr><th>Port</th><th>Description</th></tr>";
    for (const auto& [name, spec] : t->ports)
        html += "<tr><td>" + markup_escaped(name) + "</td><td>" + markup_escaped(spec->description()) + "</td></tr>";
    html += "</table><p>" + std::to_string(t->extrusion_specs.size()) + " extrusion specifications</p></div>";
    return text_object(html);
}

PyMethodDef technology_methods[] = {
    WHISTLE_KEYWORD_METHOD("add_layer", method_add_layer,
        "add_layer(layer_name, layer_spec)\n\nAdd or replace a layer specification by name."),
    WHISTLE_KEYWORD_METHOD("remove_layer", method_remove_layer,
        "remove_layer(layer_name)\n\nRemove a layer specification; returns it (None if absent)."),
    WHISTLE_KEYWORD_METHOD("add_port", method_add_port,
        "add_port(port_name, port_spec)\n\nAdd or replace a port specification by name."),
    WHISTLE_KEYWORD_METHOD("remove_port", method_remove_port,
        "remove_port(port_name)\n\nRemove a port specification; returns it (None if absent)."),
    WHISTLE_KEYWORD_METHOD("insert_extrusion_spec", method_insert_extrusion_spec,
        "insert_extrusion_spec(index, extrusion_spec)\n\nInsert an extrusion specification before index."),
    WHISTLE_KEYWORD_METHOD("pop_extrusion_spec", method_pop_extrusion_spec,
        "pop_extrusion_spec(index=-1)\n\nRemove and return an extrusion specification."),
    WHISTLE_KEYWORD_METHOD("add_connection", method_add_connection,
        "add_connection(layer1, layer2)\n\nConnect two layers electrically; their layer "
        "specifications become conductive."),
    WHISTLE_KEYWORD_METHOD("remove_connection", method_remove_connection,
        "remove_connection(layer1, layer2)\n\nRemove the connection between two layers."),
    WHISTLE_KEYWORD_METHOD("get_background_medium", method_get_background_medium,
        "get_background_medium(classification)\n\nBackground medium for 'optical' or 'electrical'."),
    {"extrusion_layers", (PyCFunction)method_extrusion_layers, METH_NOARGS,
     "extrusion_layers()\n\nSet of all layers named by the extrusion specifications."},
    WHISTLE_KEYWORD_METHOD("update", method_update,
        "update(*args, **kwargs)\n\nRegenerate a parametric technology in place with updated "
        "keyword arguments."),
    WHISTLE_DEPTH_COPY_METHODS(Technology,
        "copy(deep=False)\n\nCopy of this technology; a deep copy also copies the extrusion "
        "specifications."),
    {"_repr_html_", (PyCFunction)method_repr_html, METH_NOARGS, "HTML summary."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject technology_type = wrapper_type(
    "tarnwhistle.Technology",
    "Technology(name, version, layers, extrusion_specs, ports, background_medium, "
    "connected_layers=())\n\n"
    "Fabrication process: layers, extrusion specifications, port specifications, layer "
    "connections and the background medium.",
    technology_init, technology_methods, technology_getset);

// ---- basic_technology ------------------------------------------------------------------

// A medium from the solver package's material library.
PyObject* library_medium(const char* material, const char* variant) {
    PyObject* library = solver_object("material_library");
    if (!library) {
        PyErr_SetString(PyExc_RuntimeError, "The solver package's material library is not available.");
        return nullptr;
    }
    Ref entry(PyMapping_GetItemString(library, material));
    return entry ? PyMapping_GetItemString(entry.get(), variant) : nullptr;
}

// A constant permittivity medium of the solver package.
PyObject* constant_medium(double permittivity) {
    PyObject* medium_class = solver_object("Medium");
    if (!medium_class) {
        PyErr_SetString(PyExc_RuntimeError, "The solver package's 'Medium' is not available.");
        return nullptr;
    }
    Ref kwargs(Py_BuildValue("{sd}", "permittivity", permittivity));
    Ref args(PyTuple_New(0));
    return kwargs && args ? PyObject_Call(medium_class, args.get(), kwargs.get()) : nullptr;
}

PyObject* perfect_conductor() {
    PyObject* pec = solver_object("PEC");
    if (!pec) PyErr_SetString(PyExc_RuntimeError, "The solver package's 'PEC' is not available.");
    return Py_XNewRef(pec);
}

using MediumFactory = std::function<PyObject*()>;

// The given medium, or the default made from an optical and an electrical medium (one medium
// for both when `electrical` is empty).
bool basic_medium(PyObject* value, const char* name, const MediumFactory& optical,
                  const MediumFactory& electrical, Medium& out) {
    if (value && value != Py_None) return to_medium(value, name, out);
    Ref optical_medium(optical());
    if (!optical_medium) return false;
    if (!electrical) return to_medium(optical_medium.get(), name, out);
    Ref electrical_medium(electrical());
    Ref media(electrical_medium ? Py_BuildValue("{sOsO}", "optical", optical_medium.get(),
                                                "electrical", electrical_medium.get())
                                : nullptr);
    return media && to_medium(media.get(), name, out);
}

}  // namespace

PyObject* function_basic_technology(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {
        "core_medium", "clad_medium", "trench_medium", "metal_medium", "top_medium",
        "substrate_medium", "core_thickness", "slab_thickness", "metal_thickness",
        "metal_separation", "clad_thickness", "box_thickness", "port_z_gap", "core_layer",
        "slab_layer", "clad_layer", "trench_layer", "metal_layer", "strip_width", "rib_width",
        "clad_width", "cpw_width", "cpw_gap", "min_metal_width", "min_metal_spacing",
        "mask_dilation", "sidewall_angle", "core_fill", "core_thickness_stdev",
        "slab_thickness_stdev", "clad_thickness_stdev", "box_thickness_stdev",
        "mask_dilation_stdev", "sidewall_angle_stdev", nullptr};
    PyObject *media[6] = {}, *layers[5] = {};
    double thickness[7] = {0.22, 0.07, 0.5, 1.5, 1.5, 2.0, 1.0};
    double widths[8] = {0.5, 0.4, 1.0, 3.6, 1.0, 2.0, 1.0, 0};
    double sidewall_angle = 0;
    int core_fill = 0;
    double stdev[6] = {0.002, 0.005, 0.05, 0.05, 0.005, 2};
    if (!PyArg_ParseTupleAndKeywords(
            args, kwds, "|$OOOOOOdddddddOOOOOdddddddddpdddddd:basic_technology", (char**)keywords,
            &media[0], &media[1], &media[2], &media[3], &media[4], &media[5], &thickness[0],
            &thickness[1], &thickness[2], &thickness[3], &thickness[4], &thickness[5],
            &thickness[6], &layers[0], &layers[1], &layers[2], &layers[3], &layers[4], &widths[0],
            &widths[1], &widths[2], &widths[3], &widths[4], &widths[5], &widths[6], &widths[7],
            &sidewall_angle, &core_fill, &stdev[0], &stdev[1], &stdev[2], &stdev[3], &stdev[4],
            &stdev[5]))
        return nullptr;

    BasicTechnologyParameters p;
    Coord* lengths[] = {&p.core_thickness, &p.slab_thickness, &p.metal_thickness,
                        &p.metal_separation, &p.clad_thickness, &p.box_thickness, &p.port_z_gap,
                        &p.strip_width, &p.rib_width, &p.clad_width, &p.cpw_width, &p.cpw_gap,
                        &p.min_metal_width, &p.min_metal_spacing, &p.mask_dilation};
    const double* values[] = {&thickness[0], &thickness[1], &thickness[2], &thickness[3],
                              &thickness[4], &thickness[5], &thickness[6], &widths[0], &widths[1],
                              &widths[2], &widths[3], &widths[4], &widths[5], &widths[6], &widths[7]};
    const char* names[] = {"core_thickness", "slab_thickness", "metal_thickness", "metal_separation",
                           "clad_thickness", "box_thickness",  "port_z_gap",      "strip_width",
                           "rib_width",      "clad_width",     "cpw_width",       "cpw_gap",
                           "min_metal_width", "min_metal_spacing", "mask_dilation"};
    for (size_t i = 0; i < std::size(lengths); ++i)
        if (!to_length(*values[i], names[i], *lengths[i])) return nullptr;
    Layer* layer_fields[] = {&p.core_layer, &p.slab_layer, &p.clad_layer, &p.trench_layer, &p.metal_layer};
    for (size_t i = 0; i < 5; ++i)
        if (layers[i] && !to_layer(layers[i], keywords[13 + i], *layer_fields[i])) return nullptr;
    if (!check_finite(sidewall_angle, "sidewall_angle")) return nullptr;
    for (size_t i = 0; i < 6; ++i)
        if (!check_finite(stdev[i], keywords[28 + i])) return nullptr;
    p.sidewall_angle = sidewall_angle;
    p.core_fill = core_fill;
    try {
        check_basic_technology(p);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }

    // Media last: the defaults are solver objects, made only when needed.
    auto silicon = [] { return library_medium("Si", "Li1993_293K"); };
    auto vacuum = [] { return constant_medium(1.0); };
    if (!basic_medium(media[0], "core_medium", silicon, [] { return constant_medium(12.3); }, p.core) ||
        !basic_medium(media[1], "clad_medium", [] { return library_medium("SiO2", "Palik_LowLoss"); },
                      [] { return constant_medium(4.2); }, p.clad) ||
        !basic_medium(media[2], "trench_medium", vacuum, nullptr, p.trench) ||
        !basic_medium(media[3], "metal_medium", [] { return library_medium("Cu", "JohnsonChristy1972"); },
                      perfect_conductor, p.metal) ||
        !basic_medium(media[4], "top_medium", vacuum, nullptr, p.top) ||
        !basic_medium(media[5], "substrate_medium", silicon, [] { return constant_medium(12.3); },
                      p.substrate))
        return nullptr;

    Ref kwargs(kwds ? PyDict_Copy(kwds) : PyDict_New());
    if (!kwargs) return nullptr;
    try {
        std::shared_ptr<Technology> technology = basic_technology(p);
        technology->parametric_function = kBasicTechnologyName;
        technology->parametric_kwargs = holder_of(kwargs.get());
        // The process spreads, as normal variables around the nominal values.
        const std::pair<const char*, double> nominal[] = {
            {"core_thickness", thickness[0]}, {"slab_thickness", thickness[1]},
            {"clad_thickness", thickness[4]}, {"box_thickness", thickness[5]},
            {"mask_dilation", widths[7]},     {"sidewall_angle", sidewall_angle}};
        Ref variables(new_list(std::size(nominal), [&](size_t i) {
            return normal_variable(nominal[i].first, nominal[i].second, stdev[i], technology);
        }));
        if (!variables) return nullptr;
        technology->random_variables = holder_of(variables.get());
        return wrap(technology);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* function_frequency_classification(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", nullptr};
    PyObject* value;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:frequency_classification", (char**)keywords, &value))
        return nullptr;
    std::vector<double> frequencies;
    if (PyNumber_Check(value) && !PySequence_Check(value)) {
        double f = PyFloat_AsDouble(value);
        if (f == -1.0 && PyErr_Occurred()) return nullptr;
        frequencies.push_back(f);
    } else if (!to_numbers(value, "frequencies", frequencies)) {
        return nullptr;
    }
    return PyUnicode_FromString(classification_name(frequency_classification(frequencies)));
}

PyTypeObject* Technology_type() {
    return register_exposed_type(TypeCode::Technology, &technology_type);
}

}  // namespace whistle::py
