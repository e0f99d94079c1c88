// `Component`: the cell of the layout hierarchy, and the module functions `find_top_level` and
// `set_unique_names`.
#include "component.hpp"
#include "extrusion.hpp"
#include "component_connectivity.hpp"
#include "component_netlist.hpp"

#include "core/model/component_operations.hpp"
#include "interpreter_objects.hpp"
#include "model.hpp"
#include "model_class.hpp"
#include "core/circuit/s_matrix.hpp"
#include "parametric.hpp"
#include "structure.hpp"
#include "svg.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// ---- Construction and attributes -------------------------------------------------------

int component_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name", "technology", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* technology_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:Component", (char**)keywords, &name_obj,
                                     &technology_obj))
        return -1;
    std::string name;
    std::shared_ptr<Technology> technology;
    if ((name_obj && !to_text(name_obj, "name", name)) || !to_technology(technology_obj, technology))
        return -1;
    install(self, std::make_shared<Component>(std::move(name), std::move(technology)));
    return 0;
}

PyObject* get_name(PyObject* self, void*) {
    auto c = unwrap<Component>(self);
    return c ? text_object(c->name) : nullptr;
}

int set_name(PyObject* self, PyObject* value, void*) {
    std::string name;
    if (!check_not_deleted(value, "name") || !to_text(value, "name", name)) return -1;
    return modify<Component>(self, [&](Component& c) { c.name = std::move(name); }) ? 0 : -1;
}

PyObject* get_technology(PyObject* self, void*) {
    auto c = unwrap<Component>(self);
    return c ? wrap(c->technology) : nullptr;
}

int set_technology(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<Technology> technology;
    if (!check_not_deleted(value, "technology") || !to_technology(value, technology)) return -1;
    return modify<Component>(self, [&](Component& c) { c.technology = std::move(technology); }) ? 0 : -1;
}

// A dict of wrapped objects by name (appended to `dict`).
template <class Map>
bool fill_dict(PyObject* dict, const Map& map) {
    for (const auto& [name, object] : map) {
        Ref key(text_object(name));
        Ref value(wrap(object));
        if (!key || !value || PyDict_SetItem(dict, key.get(), value.get()) < 0) return false;
    }
    return true;
}

template <class Map>
PyObject* dict_of(const Map& map) {
    Ref dict(PyDict_New());
    return dict && fill_dict(dict.get(), map) ? dict.release() : nullptr;
}

template <class Items>
PyObject* list_of(const Items& items) {
    return new_list(items.size(), [&](size_t i) { return wrap(items[i]); });
}

// A dict from layer tuples to lists of wrapped objects.
template <class Map>
PyObject* layer_dict(const Map& map) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [layer, items] : map) {
        Ref key(layer_tuple(layer));
        Ref value(list_of(items));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* get_ports(PyObject* self, void*) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    Ref dict(dict_of(c->ports));
    return dict && fill_dict(dict.get(), c->ports3d) ? dict.release() : nullptr;
}

// A read-only view of one field, made by View.
template <auto Member, auto View>
PyObject* field_view(PyObject* self, void*) {
    auto c = unwrap<Component>(self);
    return c ? View((*c).*Member) : nullptr;
}

// One value when both selections name the same model, a dict when they differ, None when
// there is none. `item` gives the value shown for a name.
template <class Item>
PyObject* active_selection(PyObject* self, Item item) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    if (c->active_optical_model.empty() && c->active_electrical_model.empty()) Py_RETURN_NONE;
    if (c->active_optical_model == c->active_electrical_model) return item(*c, c->active_optical_model);
    Ref optical(item(*c, c->active_optical_model));
    Ref electrical(item(*c, c->active_electrical_model));
    if (!optical || !electrical) return nullptr;
    return Py_BuildValue("{sOsO}", "optical", optical.get(), "electrical", electrical.get());
}

PyObject* model_named(const Component& c, const std::string& name) {
    auto it = c.models.find(name);
    if (it == c.models.end()) Py_RETURN_NONE;
    return wrap(it->second);
}

PyObject* name_or_none(const Component&, const std::string& name) {
    if (name.empty()) Py_RETURN_NONE;
    return text_object(name);
}

PyObject* get_active_model(PyObject* self, void*) { return active_selection(self, model_named); }
PyObject* get_active_model_name(PyObject* self, void*) { return active_selection(self, name_or_none); }

#define READ_ONLY(name, doc) {#name, get_##name, nullptr, doc, nullptr}
#define VIEW(name, view, doc) \
    {#name, field_view<&Component::name, view<decltype(Component::name)>>, nullptr, doc, nullptr}

PyGetSetDef component_getset[] = {
    WHISTLE_ATTRIBUTE(name, "str: Component name."),
    WHISTLE_ATTRIBUTE(technology, "Technology: Component technology."),
    READ_ONLY(ports, "dict: Ports by name, 2D ports first, then 3D ports."),
    VIEW(terminals, dict_of, "dict[str, Terminal]: Terminals by name."),
    VIEW(models, dict_of, "dict: Circuit models by name."),
    VIEW(structures, layer_dict, "dict: Own structures, a list per layer."),
    VIEW(labels, layer_dict, "dict: Own labels, a list per layer."),
    VIEW(references, list_of, "list[Reference]: References in the order added."),
    READ_ONLY(active_model, "Active model; a dict keyed 'optical'/'electrical' when they differ."),
    READ_ONLY(active_model_name, "Name of the active model; a dict when they differ."),
    WHISTLE_PARAMETRIC_GETSET(whistle::Component, "component"),
    // ---- Virtual connections, nets, query and port detection (attributes) ----
    WHISTLE_COMPONENT_CONNECTIVITY_GETSET,
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef READ_ONLY
#undef VIEW

// ---- Contents --------------------------------------------------------------------------

constexpr const char* kAddTypes =
    "2D structures, labels, references, components, layer tuples, or layer names from this "
    "component's technology.";

// TypeError naming the argument when there are several, the arguments in general otherwise.
void argument_error(Py_ssize_t index, Py_ssize_t count, const char* single, const char* indexed) {
    if (count == 1)
        PyErr_SetString(PyExc_TypeError, single);
    else
        PyErr_Format(PyExc_TypeError, indexed, index);
}

std::shared_ptr<Reference> default_reference(PyObject* component) {
    return std::make_shared<Reference>(unwrap<Component>(component));
}

// Everything is converted first; the component changes only when no reference would close a
// cycle (checked on the object held when the change is made).
PyObject* component_add(PyObject* self, PyObject* args) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    struct Item {
        Layer layer;
        std::shared_ptr<Structure> structure;
        std::shared_ptr<Label> label;
        std::shared_ptr<Reference> reference;
        bool direct = false;  // a component wrapped in a new reference
    };
    std::vector<Item> items;
    Layer layer{0, 0};
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        Item item{layer, as_structure(arg), nullptr, nullptr};
        if (item.structure) {
        } else if (is_instance(arg, TypeCode::Label)) {
            item.label = unwrap<Label>(arg);
        } else if (is_instance(arg, TypeCode::Reference) || is_instance(arg, TypeCode::Component)) {
            item.direct = is_instance(arg, TypeCode::Component);
            item.reference = item.direct ? default_reference(arg) : unwrap<Reference>(arg);
        } else if (to_component_layer(arg, "layer", *c, layer)) {
            continue;
        } else {
            PyErr_Clear();
            argument_error(i, count, (std::string("Arguments must be ") + kAddTypes).c_str(),
                           (std::string("Argument %zd cannot be processed: arguments must be ") + kAddTypes).c_str());
            return nullptr;
        }
        items.push_back(std::move(item));
    }
    const Item* cyclic = nullptr;
    if (!modify<Component>(self, [&](Component& component) {
            for (const Item& item : items)
                if (item.reference && component.would_cycle(*item.reference->component())) {
                    cyclic = &item;
                    return;
                }
            for (Item& item : items) {
                if (item.structure) component.add(item.layer, item.structure);
                if (item.label) component.add(item.layer, item.label);
                if (item.reference) component.add_reference(item.reference);
            }
        }))
        return nullptr;
    if (cyclic) {
        PyErr_SetString(PyExc_RuntimeError, cyclic->direct
                                                ? "Adding component would create a dependency cycle."
                                                : "Adding reference would create a dependency cycle.");
        return nullptr;
    }
    return same(self);
}

PyObject* component_add_reference(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"reference", nullptr};
    PyObject* arg;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:add_reference", (char**)keywords, &arg))
        return nullptr;
    bool direct = is_instance(arg, TypeCode::Component);
    if (!direct && !is_instance(arg, TypeCode::Reference)) {
        PyErr_SetString(PyExc_TypeError, "'reference' must be an instance of Reference or Component.");
        return nullptr;
    }
    std::shared_ptr<Reference> reference = direct ? default_reference(arg) : unwrap<Reference>(arg);
    bool added = false;
    if (!modify<Component>(self, [&](Component& c) { added = c.add_reference(reference); })) return nullptr;
    if (!added) {
        PyErr_SetString(PyExc_RuntimeError,
                        direct ? "Adding this component would create a dependency cycle."
                               : "Adding this reference would create a dependency cycle.");
        return nullptr;
    }
    return wrap(reference);
}

// Removes an object (by identity) from the lists of every layer, or of one layer.
template <class Map, class T>
void remove_from(Map& map, const T* object, const std::optional<Layer>& layer) {
    for (auto& [key, items] : map) {
        if (layer && key != *layer) continue;
        std::erase_if(items, [&](const auto& item) { return item.get() == object; });
    }
}

PyObject* component_remove(PyObject* self, PyObject* args, PyObject* kwds) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    std::optional<Layer> layer;
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        if (PyDict_GET_SIZE(kwds) > 1) {
            PyErr_SetString(PyExc_TypeError, "'remove()' expects only 1 keyword argument.");
            return nullptr;
        }
        PyObject* value = PyDict_GetItemString(kwds, "layer");
        if (!value) {
            PyErr_SetString(PyExc_TypeError, "'remove()' expects only 'layer' keyword argument.");
            return nullptr;
        }
        Layer given;
        if (value != Py_None) {
            if (!to_component_layer(value, "layer", *c, given)) return nullptr;
            layer = given;
        }
    }
    std::vector<std::shared_ptr<BaseType>> objects;
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        if (!as_structure(arg) && !is_instance(arg, TypeCode::Label) &&
            !is_instance(arg, TypeCode::Reference)) {
            argument_error(i, count, "Object cannot be removed from a 2D component.",
                           "Argument %zd cannot be removed from a 2D component.");
            return nullptr;
        }
        objects.push_back(unwrap_base(arg));
    }
    return modify<Component>(self, [&](Component& component) {
               for (const auto& object : objects) {
                   if (object->type_code() == TypeCode::Reference)
                       component.remove_reference(static_cast<const Reference*>(object.get()));
                   else if (object->type_code() == TypeCode::Label)
                       remove_from(component.labels, object.get(), layer);
                   else
                       remove_from(component.structures, object.get(), layer);
               }
               std::erase_if(component.structures, [](const auto& e) { return e.second.empty(); });
               std::erase_if(component.labels, [](const auto& e) { return e.second.empty(); });
           }) ? same(self) : nullptr;
}

// ---- Named items: ports, terminals, models ---------------------------------------------

// The messages of one kind of named item.
struct NamedKind {
    const char* argument;       // "port"
    const char* type_message;   // the argument is none of the accepted forms
    const char* item_message;   // "Object 'port[%zd]' is ..."
    const char* key_message;    // dict keys
    const char* value_message;  // dict values (null: dicts are not accepted)
    const char* base;           // automatic names: base + counter
    bool (*accepts)(PyObject*);
};

bool is_port(PyObject* obj) {
    return is_instance(obj, TypeCode::Port) || is_instance(obj, TypeCode::GaussianPort) ||
           is_instance(obj, TypeCode::FiberPort);
}
bool is_terminal(PyObject* obj) { return is_instance(obj, TypeCode::Terminal); }
bool is_model(PyObject* obj) { return is_instance(obj, TypeCode::Model); }

const NamedKind kPortKind{
    "port",
    "Argument 'port' must be an instance of one of the port classes, or a sequence or dictionary of ports.",
    "Object 'port[%zd]' is not an instance of a port class.",
    "Dictionary keys must be strings, because they will be used as port names.",
    "Dictionary values must be instances of one of the port classes.", "P", is_port};
const NamedKind kTerminalKind{
    "terminal",
    "Argument 'terminal' must be a Terminal instance, or a sequence or dictionary of terminals.",
    "Object 'terminal[%zd]' is not a Terminal instance.",
    "Dictionary keys must be strings, because they will be used as terminal names.",
    "Dictionary values must be Terminal instances.", "T", is_terminal};
const NamedKind kModelKind{
    "model", "Argument 'model' must be a Model instance or a sequence of models.",
    "Object 'model[%zd]' is not an instance of Model.", nullptr, nullptr, "M", is_model};

// Items to add, each with its given name (empty: an automatic one).
using NamedItems = std::vector<std::pair<std::string, std::shared_ptr<BaseType>>>;

// One item, a sequence (named base + index when a base name is given) or a dict.
bool to_named_items(PyObject* obj, PyObject* name_obj, const NamedKind& kind, NamedItems& out) {
    std::string base;
    if (name_obj && name_obj != Py_None && !to_text(name_obj, (std::string(kind.argument) + "_name").c_str(), base))
        return false;
    if (kind.accepts(obj)) {
        out.emplace_back(base, unwrap_base(obj));
        return true;
    }
    if (PyDict_Check(obj) && kind.value_message) {
        Ref items(PyDict_Items(obj));
        if (!items) return false;
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
            PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
            PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
            std::string name;
            if (!PyUnicode_Check(key) || !to_text(key, "key", name)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, kind.key_message);
                return false;
            }
            if (!kind.accepts(value)) {
                PyErr_SetString(PyExc_TypeError, kind.value_message);
                return false;
            }
            out.emplace_back(name, unwrap_base(value));
        }
        return true;
    }
    Ref items(PySequence_Check(obj) && !PyUnicode_Check(obj) && !PyDict_Check(obj) ? sequence_items(obj) : nullptr);
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, kind.type_message);
        return false;
    }
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!kind.accepts(item)) {
            PyErr_Format(PyExc_TypeError, kind.item_message, i);
            return false;
        }
        out.emplace_back(base.empty() ? base : base + std::to_string(i), unwrap_base(item));
    }
    return true;
}

// The smallest base + counter name for which `taken` is false.
template <class Taken>
std::string automatic_name(const char* base, Taken taken) {
    for (uint64_t counter = 0;; ++counter) {
        std::string name(base);
        name += std::to_string(counter);
        if (!taken(name)) return name;
    }
}

// The names given to the added items: a single name for a single item, else a list.
PyObject* names_result(const std::vector<std::string>& names, bool single) {
    if (single) return text_object(names.front());
    return new_list(names.size(), [&](size_t i) { return text_object(names[i]); });
}

// Inserts each item under its name (an automatic one when empty) with `insert`.
template <class Taken, class Insert>
std::vector<std::string> insert_named(const NamedItems& items, const char* base, Taken taken,
                                      Insert insert) {
    std::vector<std::string> names;
    for (const auto& [given, object] : items) {
        std::string name = given.empty() ? automatic_name(base, taken) : given;
        insert(name, object);
        names.push_back(name);
    }
    return names;
}

PyObject* component_add_port(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"port", "port_name", nullptr};
    PyObject *port_obj, *name_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:add_port", (char**)keywords, &port_obj, &name_obj))
        return nullptr;
    NamedItems items;
    if (!to_named_items(port_obj, name_obj, kPortKind, items)) return nullptr;
    std::vector<std::string> names;
    if (!modify<Component>(self, [&](Component& c) {
            auto taken = [&](const std::string& n) { return c.ports.contains(n) || c.ports3d.contains(n); };
            names = insert_named(items, "P", taken, [&](const std::string& name, const auto& object) {
                // One name names one port across both maps.
                c.ports.erase(name);
                c.ports3d.erase(name);
                if (object->type_code() == TypeCode::Port)
                    c.ports[name] = std::static_pointer_cast<Port>(object);
                else
                    c.ports3d[name] = std::static_pointer_cast<Port3D>(object);
            });
        }))
        return nullptr;
    return names_result(names, is_port(port_obj));
}

// Parses one name argument.
bool parse_name(PyObject* args, PyObject* kwds, const char* format, const char* keyword, std::string& out) {
    const char* keywords[] = {keyword, nullptr};
    PyObject* obj;
    return PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &obj) &&
           to_text(obj, keyword, out);
}

bool parse_rename(PyObject* args, PyObject* kwds, const char* format, std::string& old_name,
                  std::string& new_name) {
    static const char* keywords[] = {"old_name", "new_name", nullptr};
    PyObject *old_obj, *new_obj;
    return PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &old_obj, &new_obj) &&
           to_text(old_obj, "old_name", old_name) && to_text(new_obj, "new_name", new_name);
}

// Moves map[old] to map[new]; false when there is no such entry.
template <class Map>
bool rename_entry(Map& map, const std::string& old_name, const std::string& new_name) {
    auto node = map.extract(old_name);
    if (node.empty()) return false;
    node.key() = new_name;
    map.erase(new_name);
    map.insert(std::move(node));
    return true;
}

// Removes and returns map[name] (null when absent).
template <class Map>
std::shared_ptr<BaseType> take_entry(Map& map, const std::string& name) {
    auto node = map.extract(name);
    return node.empty() ? nullptr : node.mapped();
}

PyObject* component_remove_port(PyObject* self, PyObject* args, PyObject* kwds) {
    std::string name;
    if (!parse_name(args, kwds, "O:remove_port", "port_name", name)) return nullptr;
    std::shared_ptr<BaseType> removed;
    if (!modify<Component>(self, [&](Component& c) {
            removed = take_entry(c.ports, name);
            if (!removed) removed = take_entry(c.ports3d, name);
        }))
        return nullptr;
    return wrap(removed);
}

PyObject* component_rename_port(PyObject* self, PyObject* args, PyObject* kwds) {
    std::string old_name, new_name;
    if (!parse_rename(args, kwds, "OO:rename_port", old_name, new_name)) return nullptr;
    return modify<Component>(self, [&](Component& c) {
               if (old_name == new_name) return;
               if (c.ports.contains(old_name)) {
                   c.ports3d.erase(new_name);
                   rename_entry(c.ports, old_name, new_name);
               } else if (c.ports3d.contains(old_name)) {
                   c.ports.erase(new_name);
                   rename_entry(c.ports3d, old_name, new_name);
               }
           }) ? same(self) : nullptr;
}

PyObject* component_add_terminal(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"terminal", "terminal_name", "add_structure", "structure_layer", nullptr};
    PyObject *terminal_obj, *name_obj = nullptr, *layer_obj = Py_None;
    int add_structure = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OpO:add_terminal", (char**)keywords, &terminal_obj,
                                     &name_obj, &add_structure, &layer_obj))
        return nullptr;
    auto c = unwrap<Component>(self);
    std::optional<Layer> layer;
    Layer given;
    if (!c) return nullptr;
    if (layer_obj != Py_None) {
        if (!to_component_layer(layer_obj, "structure_layer", *c, given)) return nullptr;
        layer = given;
    }
    NamedItems items;
    if (!to_named_items(terminal_obj, name_obj, kTerminalKind, items)) return nullptr;
    std::vector<std::string> names;
    if (!modify<Component>(self, [&](Component& component) {
            auto taken = [&](const std::string& n) { return component.terminals.contains(n); };
            names = insert_named(items, "T", taken, [&](const std::string& name, const auto& object) {
                auto terminal = std::static_pointer_cast<Terminal>(object);
                component.terminals[name] = terminal;
                if (add_structure)
                    component.add(layer.value_or(terminal->routing_layer()),
                                  std::static_pointer_cast<Structure>(terminal->structure()->clone()));
            });
        }))
        return nullptr;
    return names_result(names, is_terminal(terminal_obj));
}

PyObject* component_remove_terminal(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"terminal_name", "remove_structure", nullptr};
    PyObject* name_obj;
    int remove_structure = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|p:remove_terminal", (char**)keywords, &name_obj,
                                     &remove_structure))
        return nullptr;
    std::string name;
    if (!to_text(name_obj, "terminal_name", name)) return nullptr;
    std::shared_ptr<BaseType> removed;
    if (!modify<Component>(self, [&](Component& c) {
            removed = take_entry(c.terminals, name);
            if (!removed || !remove_structure) return;
            // The first structure on the routing layer equal to the terminal's one.
            auto& terminal = static_cast<const Terminal&>(*removed);
            auto it = c.structures.find(terminal.routing_layer());
            if (it == c.structures.end()) return;
            auto& list = it->second;
            auto found = std::find_if(list.begin(), list.end(), [&](const auto& s) {
                return s == terminal.structure() || s->equals(*terminal.structure());
            });
            if (found != list.end()) list.erase(found);
            if (list.empty()) c.structures.erase(it);
        }))
        return nullptr;
    return wrap(removed);
}

PyObject* component_rename_terminal(PyObject* self, PyObject* args, PyObject* kwds) {
    std::string old_name, new_name;
    if (!parse_rename(args, kwds, "OO:rename_terminal", old_name, new_name)) return nullptr;
    return modify<Component>(self, [&](Component& c) {
               if (old_name != new_name) rename_entry(c.terminals, old_name, new_name);
           }) ? same(self) : nullptr;
}

// Which active selections a model takes.
struct ActiveSelection {
    bool optical = false;
    bool electrical = false;
};

bool to_set_active(PyObject* obj, ActiveSelection& out) {
    if (obj == Py_True || obj == Py_False) {
        out.optical = out.electrical = obj == Py_True;
        return true;
    }
    Classification classification;
    if (PyUnicode_Check(obj) && to_classification(obj, classification)) {
        out.optical = classification == Classification::Optical;
        out.electrical = !out.optical;
        return true;
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "Argument 'set_active' must be \"optical\", \"electrical\", True, or False.");
    return false;
}

PyObject* component_add_model(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"model", "model_name", "set_active", nullptr};
    PyObject *model_obj, *name_obj = nullptr, *active_obj = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:add_model", (char**)keywords, &model_obj,
                                     &name_obj, &active_obj))
        return nullptr;
    NamedItems items;
    ActiveSelection active;
    if (!to_named_items(model_obj, name_obj, kModelKind, items) || !to_set_active(active_obj, active))
        return nullptr;
    std::vector<std::string> names;
    if (!modify<Component>(self, [&](Component& c) {
            auto taken = [&](const std::string& n) { return c.models.contains(n); };
            names = insert_named(items, "M", taken, [&](const std::string& name, const auto& object) {
                c.models[name] = object;
                if (active.optical) c.active_optical_model = name;
                if (active.electrical) c.active_electrical_model = name;
            });
        }))
        return nullptr;
    return names_result(names, is_model(model_obj));
}

PyObject* component_remove_model(PyObject* self, PyObject* args, PyObject* kwds) {
    std::string name;
    if (!parse_name(args, kwds, "O:remove_model", "model_name", name)) return nullptr;
    std::shared_ptr<BaseType> removed;
    if (!modify<Component>(self, [&](Component& c) {
            removed = take_entry(c.models, name);
            if (c.active_optical_model == name) c.active_optical_model.clear();
            if (c.active_electrical_model == name) c.active_electrical_model.clear();
        }))
        return nullptr;
    return wrap(removed);
}

PyObject* component_rename_model(PyObject* self, PyObject* args, PyObject* kwds) {
    std::string old_name, new_name;
    if (!parse_rename(args, kwds, "OO:rename_model", old_name, new_name)) return nullptr;
    return modify<Component>(self, [&](Component& c) {
               if (old_name == new_name || !rename_entry(c.models, old_name, new_name)) return;
               for (std::string* active : {&c.active_optical_model, &c.active_electrical_model}) {
                   if (*active == old_name) *active = new_name;
                   else if (*active == new_name) active->clear();  // that model was replaced
               }
           }) ? same(self) : nullptr;
}

// None, or a classification: ValueError with the activation message otherwise.
bool to_optional_classification(PyObject* obj, std::optional<Classification>& out) {
    if (obj == Py_None) return true;
    Classification classification;
    if (PyUnicode_Check(obj) && to_classification(obj, classification)) {
        out = classification;
        return true;
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError,
                    "Argument 'classification' must be \"optical\", \"electrical\", or None.");
    return false;
}

PyObject* component_activate_model(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"model_name", "classification", nullptr};
    PyObject *name_obj, *class_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:activate_model", (char**)keywords, &name_obj, &class_obj))
        return nullptr;
    std::string name;
    std::optional<Classification> classification;
    if (!to_text(name_obj, "model_name", name) || !to_optional_classification(class_obj, classification))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    auto it = c->models.find(name);
    if (it == c->models.end()) {
        PyErr_Format(PyExc_ValueError, "No model with name '%s' found.", name.c_str());
        return nullptr;
    }
    std::shared_ptr<BaseType> model = it->second;
    if (!modify<Component>(self, [&](Component& component) {
            if (classification != Classification::Electrical) component.active_optical_model = name;
            if (classification != Classification::Optical) component.active_electrical_model = name;
        }))
        return nullptr;
    return wrap(model);
}

PyObject* component_select_active_model(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"classification", nullptr};
    PyObject* class_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:select_active_model", (char**)keywords, &class_obj))
        return nullptr;
    Classification classification;
    if (!to_classification(class_obj, classification)) return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    return model_named(*c, classification == Classification::Optical ? c->active_optical_model
                                                                      : c->active_electrical_model);
}

PyObject* component_s_matrix(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "show_progress", "model_kwargs", nullptr};
    PyObject *frequencies_obj, *kwargs_obj = nullptr;
    int show_progress = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|pO:s_matrix", (char**)keywords, &frequencies_obj,
                                     &show_progress, &kwargs_obj))
        return nullptr;
    std::vector<double> frequencies;
    std::shared_ptr<BaseType> kwargs;
    if (!to_frequencies(frequencies_obj, frequencies) || !to_kwargs_holder(kwargs_obj, "model_kwargs", kwargs))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        std::shared_ptr<BaseType> result = component_s_matrix(c, frequencies, show_progress, kwargs);
        return wrap(result);
    }
    WHISTLE_CATCH(nullptr)
}

// Sets up the time stepper of the active model for the carrier frequency's classification.
PyObject* component_setup_time_stepper(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"time_step", "carrier_frequency", "show_progress", "time_stepper_kwargs",
                                     nullptr};
    PyObject* kwargs_obj = Py_None;
    double time_step, carrier_frequency = 0;
    int show_progress = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d|dpO:setup_time_stepper", (char**)keywords, &time_step,
                                     &carrier_frequency, &show_progress, &kwargs_obj))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    Ref model;
    try {
        const double carrier[] = {carrier_frequency};
        model = Ref(wrap(active_model(*c, frequency_classification(carrier) == Classification::Electrical)));
    }
    WHISTLE_CATCH(nullptr)
    if (!model) return nullptr;
    Ref kwargs(kwargs_obj == Py_None ? PyDict_New() : Py_NewRef(kwargs_obj));
    return kwargs ? PyObject_CallMethod(model.get(), "setup_time_stepper", "OddOO", self, time_step,
                                        carrier_frequency, show_progress ? Py_True : Py_False, kwargs.get())
                  : nullptr;
}

PyObject* component_select_ports(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"classification", nullptr};
    PyObject* class_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:select_ports", (char**)keywords, &class_obj))
        return nullptr;
    Classification classification;
    if (!to_classification(class_obj, classification)) return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    std::map<std::string, std::shared_ptr<BaseType>> selected;
    for (const auto& [name, port] : c->ports)
        if (port->classification() == classification) selected[name] = port;
    // 3D ports carry beams: optical.
    if (classification == Classification::Optical) selected.insert(c->ports3d.begin(), c->ports3d.end());
    return dict_of(selected);
}

// ---- Hierarchy -------------------------------------------------------------------------

// A method without arguments that reads the component.
template <PyObject* (*Read)(const Component&)>
PyObject* reader(PyObject* self, PyObject*) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        return Read(*c);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* dependency_list(const Component& c) { return list_of(c.dependencies()); }
PyObject* cycle_component(const Component& c) { return wrap(c.detect_dependency_cycle()); }
PyObject* structure_total(const Component& c) { return PyLong_FromSize_t(c.structure_count()); }
PyObject* label_total(const Component& c) { return PyLong_FromSize_t(c.label_count()); }
PyObject* tree_text(const Component& c) { return text_object(tree_view(c)); }

PyObject* component_repr_svg(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"partial", "light_page", nullptr};
    int partial = 0, light_page = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|pp:_repr_svg_", (char**)keywords, &partial, &light_page))
        return nullptr;
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        return text_object(component_svg(c, partial, light_page));
    }
    WHISTLE_CATCH(nullptr)
}

// The front end's include and exclude filters are ignored: SVG is the one format offered.
PyObject* component_repr_mimebundle(PyObject* self, PyObject*, PyObject*) {
    PyObject* empty = PyTuple_New(0);
    if (!empty) return nullptr;
    PyObject* svg = component_repr_svg(self, empty, nullptr);
    Py_DECREF(empty);
    if (!svg) return nullptr;
    PyObject* bundle = Py_BuildValue("{sN}", "image/svg+xml", svg);
    return bundle;
}

PyObject* component_flatten(PyObject* self, PyObject*) {
    return modify<Component>(self, [](Component& c) { c.flatten(); }) ? same(self) : nullptr;
}

PyObject* component_replace_technology(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"new_technology", "old_technology", nullptr};
    PyObject *new_obj, *old_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:replace_technology", (char**)keywords, &new_obj, &old_obj))
        return nullptr;
    if (!is_instance(new_obj, TypeCode::Technology)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'new_technology' must be a Technology.");
        return nullptr;
    }
    if (old_obj != Py_None && !is_instance(old_obj, TypeCode::Technology)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'old_technology' must be a Technology or None.");
        return nullptr;
    }
    auto technology = unwrap<Technology>(new_obj);
    auto old_technology = old_obj == Py_None ? nullptr : unwrap<Technology>(old_obj);
    return modify<Component>(self, [&](Component& c) {
               replace_technology(c, technology, old_technology.get());
           }) ? same(self) : nullptr;
}

PyObject* component_disconnected_reference_ports(PyObject* self, PyObject*) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        std::vector<ReferencePort> ports = disconnected_reference_ports(*c);
        return new_list(ports.size(), [&](size_t i) -> PyObject* {
            Ref reference(wrap(ports[i].reference));
            return reference ? Py_BuildValue("(OsK)", reference.get(), ports[i].name.c_str(),
                                             (unsigned long long)ports[i].repetition_index)
                             : nullptr;
        });
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_add_reference_ports(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"include_dependencies", "add_model", nullptr};
    int include_dependencies = 0;
    PyObject* model_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|pO:add_reference_ports", (char**)keywords,
                                     &include_dependencies, &model_obj))
        return nullptr;
    if (model_obj != Py_None && !is_model(model_obj)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'add_model' must be a Model instance.");
        return nullptr;
    }
    std::vector<std::string> names;
    if (!modify<Component>(self, [&](Component& c) {
            names = add_reference_ports(c, include_dependencies);
            if (model_obj != Py_None) {
                std::string name = automatic_name("M", [&](const std::string& n) { return c.models.contains(n); });
                c.models[name] = unwrap_base(model_obj);
            }
        }))
        return nullptr;
    return names_result(names, false);
}

// ---- Copies, updates and presentation --------------------------------------------------

PyObject* copy_component(PyObject* self, bool deep, bool copy_technology) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    try {
        std::shared_ptr<Component> copy = c->copy(deep, copy_technology);
        if (!copy) {
            PyErr_SetString(PyExc_RuntimeError, "Error copying component.");
            return nullptr;
        }
        return wrap(copy);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_copy(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"deep", "copy_technology", nullptr};
    int deep = 0, copy_technology = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|pp:copy", (char**)keywords, &deep, &copy_technology))
        return nullptr;
    return copy_component(self, deep, copy_technology);
}

PyObject* component_shallow_copy(PyObject* self, PyObject*) { return copy_component(self, false, false); }

PyObject* component_deep_copy(PyObject* self, PyObject* memo) {
    if (memo != Py_None && !PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "Deepcopy memo must be a dictionary.");
        return nullptr;
    }
    return copy_component(self, true, false);
}

PyObject* component_update(PyObject* self, PyObject* args, PyObject* kwds) {
    auto c = unwrap<Component>(self);
    if (!c) return nullptr;
    PyObject* function_name = PyParametricData::item(c->parametric_data, "function");
    if (!function_name || !PyUnicode_Check(function_name)) {
        PyErr_SetString(PyExc_RuntimeError, "Missing parametric data in component.");
        return nullptr;
    }
    std::string name;
    if (!to_text(function_name, "parametric_function", name)) return nullptr;
    Ref function(registered_function("_component_registry", name, "Component registry is invalid.",
                                     "Parametric component function not found in component registry."));
    if (!function) return nullptr;
    Ref merged(merged_kwargs(PyParametricData::item(c->parametric_data, "kwargs"), kwds));
    if (!merged) return nullptr;
    Ref result(PyObject_Call(function.get(), args, merged.get()));
    if (!result) return nullptr;
    if (!is_instance(result.get(), TypeCode::Component)) {
        PyErr_Format(PyExc_RuntimeError,
                     "Updated object returned by parametric function '%s' is not a 'Component' instance.",
                     name.c_str());
        return nullptr;
    }
    auto updated = unwrap<Component>(result.get());
    std::shared_ptr<BaseType> holder = PyParametricData::with_item(c->parametric_data, "kwargs", merged.get());
    if (!holder) return nullptr;
    return modify<Component>(self, [&](Component& component) {
               std::string optical = component.active_optical_model;
               std::string electrical = component.active_electrical_model;
               if (updated.get() != &component) component.replace_contents(*updated);
               component.parametric_data = holder;
               if (component.models.contains(optical)) component.active_optical_model = optical;
               if (component.models.contains(electrical)) component.active_electrical_model = electrical;
           }) ? same(self) : nullptr;
}

#define NO_ARGS(name, function, doc) {name, (PyCFunction)(function), METH_NOARGS, doc}

PyMethodDef component_methods[] = {
    WHISTLE_KEYWORD_METHOD("extrude", component_extrude,
        "extrude(port_extension=0, heal=False, extrusion_tolerance=0, classification=\"optical\", "
        "used_extrusions=None)\n\nSolids of the whole component by its technology's extrusion "
        "specifications, in technology order; extended ports reach port_extension outward and "
        "used_extrusions (a list) receives the extrusion specifications that produced solids."),
    {"add", (PyCFunction)component_add, METH_VARARGS,
     "add(*args)\n\nAdd structures, labels, references and components; a layer (tuple or "
     "name) sets the layer of the structures and labels after it, starting at (0, 0)."},
    WHISTLE_KEYWORD_METHOD("add_reference", component_add_reference,
        "add_reference(reference)\n\nAdd a reference (a component is wrapped in a new one); "
        "returns the reference."),
    WHISTLE_KEYWORD_METHOD("remove", component_remove,
        "remove(*args, layer=None)\n\nRemove structures, labels and references."),
    WHISTLE_KEYWORD_METHOD("add_port", component_add_port,
        "add_port(port, port_name=None)\n\nAdd a port, a sequence of ports (named port_name + "
        "index) or a dict of ports; returns the names."),
    WHISTLE_KEYWORD_METHOD("remove_port", component_remove_port,
        "remove_port(port_name)\n\nRemove a port; returns it (None if absent)."),
    WHISTLE_KEYWORD_METHOD("rename_port", component_rename_port,
        "rename_port(old_name, new_name)\n\nRename a port."),
    WHISTLE_KEYWORD_METHOD("add_terminal", component_add_terminal,
        "add_terminal(terminal, terminal_name=None, add_structure=False, structure_layer=None)\n\n"
        "Add terminals; with add_structure a copy of each terminal's structure is added too."),
    WHISTLE_KEYWORD_METHOD("remove_terminal", component_remove_terminal,
        "remove_terminal(terminal_name, remove_structure=True)\n\nRemove a terminal (and its "
        "structure); returns it (None if absent)."),
    WHISTLE_KEYWORD_METHOD("rename_terminal", component_rename_terminal,
        "rename_terminal(old_name, new_name)\n\nRename a terminal."),
    WHISTLE_KEYWORD_METHOD("select_ports", component_select_ports,
        "select_ports(classification)\n\nDict of the 'optical' or 'electrical' ports."),
    WHISTLE_KEYWORD_METHOD("add_model", component_add_model,
        "add_model(model, model_name=None, set_active=True)\n\nAdd circuit models; returns the names."),
    WHISTLE_KEYWORD_METHOD("remove_model", component_remove_model,
        "remove_model(model_name)\n\nRemove a model; returns it (None if absent)."),
    WHISTLE_KEYWORD_METHOD("rename_model", component_rename_model,
        "rename_model(old_name, new_name)\n\nRename a model."),
    WHISTLE_KEYWORD_METHOD("activate_model", component_activate_model,
        "activate_model(model_name, classification=None)\n\nMake a model active; returns it."),
    WHISTLE_KEYWORD_METHOD("select_active_model", component_select_active_model,
        "select_active_model(classification)\n\nThe active model of a classification, or None."),
    WHISTLE_KEYWORD_METHOD("s_matrix", component_s_matrix,
        "s_matrix(frequencies, show_progress=True, model_kwargs={})\n\nS matrix from the active "
        "model: the electrical one when any frequency is below 6 THz, else the optical one."),
    WHISTLE_KEYWORD_METHOD("setup_time_stepper", component_setup_time_stepper,
        "setup_time_stepper(time_step, carrier_frequency=0, show_progress=True, time_stepper_kwargs={})"
        "\n\nSet up and return the time stepper of the active model: the electrical one for carrier "
        "frequencies below 6 THz, else the optical one."),
    // ---- Virtual connections, nets, query and port detection ----
    WHISTLE_COMPONENT_CONNECTIVITY_METHODS,
    WHISTLE_COMPONENT_NETLIST_METHODS,
    WHISTLE_COMPONENT_GEOMETRY_METHODS,
    WHISTLE_KEYWORD_METHOD("write_gds", component_write_gds,
        "write_gds(filename='', paths_to_polygons=True, fracture_limit=0, "
        "pre_export_function=None)\n\nWrite this component and its dependencies to a GDSII "
        "file (named after the component when no name is given); returns the component."),
    WHISTLE_KEYWORD_METHOD("write_oas", component_write_oas,
        "write_oas(filename='', paths_to_polygons=True, compression_level=9, "
        "library_properties=None, pre_export_function=None)\n\nWrite this component and its "
        "dependencies to an OASIS file (named after the component when no name is given); "
        "returns the component."),
    NO_ARGS("dependencies", reader<dependency_list>,
            "dependencies()\n\nEvery component reachable through references, each once."),
    NO_ARGS("detect_dependency_cycle", reader<cycle_component>,
            "detect_dependency_cycle()\n\nA component on a dependency cycle, or None."),
    NO_ARGS("structure_count", reader<structure_total>, "structure_count()\n\nNumber of own structures."),
    NO_ARGS("label_count", reader<label_total>, "label_count()\n\nNumber of own labels."),
    NO_ARGS("flatten", component_flatten,
            "flatten()\n\nReplace the references by transformed copies of their contents."),
    WHISTLE_KEYWORD_METHOD("replace_technology", component_replace_technology,
        "replace_technology(new_technology, old_technology=None)\n\nReplace the technology here "
        "and in the dependencies (only where it is old_technology, when given)."),
    NO_ARGS("disconnected_reference_ports", component_disconnected_reference_ports,
            "disconnected_reference_ports()\n\nList of (reference, port name, repetition index) "
            "of the reference ports that no other reference port connects to."),
    WHISTLE_KEYWORD_METHOD("add_reference_ports", component_add_reference_ports,
        "add_reference_ports(include_dependencies=False, add_model=None)\n\nAdd the disconnected "
        "reference ports as ports; returns their names."),
    WHISTLE_KEYWORD_METHOD("update", component_update,
        "update(*args, **kwargs)\n\nRegenerate a parametric component in place."),
    WHISTLE_KEYWORD_METHOD("copy", component_copy,
        "copy(deep=False, copy_technology=False)\n\nCopy of this component; a deep copy also "
        "copies the referenced components."),
    NO_ARGS("__copy__", component_shallow_copy, "Shallow copy."),
    {"__deepcopy__", component_deep_copy, METH_O, "Deep copy."},
    NO_ARGS("tree_view", reader<tree_text>, "tree_view()\n\nText tree of the hierarchy."),
    WHISTLE_KEYWORD_METHOD("_repr_svg_", component_repr_svg,
        "_repr_svg_(partial=False, light_page=False)\n\nSVG document of the component. With "
        "partial, referenced components are not drawn but used by their element ids ('C' and a "
        "number, given to a component when it is first drawn as a document of its own), which the "
        "page must already hold; "
        "with light_page, pale layer colours are darkened. A drawing beyond 4 MiB draws references "
        "as bounding boxes from ever shallower levels and, if still too large, each layer of the "
        "component's own geometry and all its references as one box each, without labels or "
        "ports."),
    WHISTLE_KEYWORD_METHOD("_repr_mimebundle_", component_repr_mimebundle,
        "_repr_mimebundle_(include=None, exclude=None)\n\nThe SVG document under 'image/svg+xml'."),
    {nullptr, nullptr, 0, nullptr},
};

#undef NO_ARGS

PyTypeObject component_type = wrapper_type(
    "tarnwhistle.Component",
    "Component(name=\"\", technology=None)\n\n"
    "Layout cell: structures and labels by layer, references to other components, ports, "
    "terminals and circuit models.",
    component_init, component_methods, component_getset);

// The components of a positional argument tuple.
bool to_components(PyObject* args, const char* function, std::vector<std::shared_ptr<Component>>& out) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        if (!is_instance(arg, TypeCode::Component)) {
            PyErr_Format(PyExc_TypeError, "Arguments to '%s' must be Component instances.", function);
            return false;
        }
        out.push_back(unwrap<Component>(arg));
    }
    return true;
}

// Positional arguments only.
bool no_keywords(PyObject* kwds, const char* function) {
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
    return false;
}

}  // namespace

bool to_component_layer(PyObject* obj, const char* name, const Component& component, Layer& out) {
    // Held for the call: the conversion may run code that replaces the component's technology.
    std::shared_ptr<Technology> technology = component.technology;
    return to_layer_or_name(obj, name, technology.get(), out);
}

PyObject* function_find_top_level(PyObject*, PyObject* args, PyObject* kwds) {
    std::vector<std::shared_ptr<Component>> components;
    if (!no_keywords(kwds, "find_top_level") || !to_components(args, "find_top_level", components))
        return nullptr;
    try {
        return list_of(find_top_level(components));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* function_set_unique_names(PyObject*, PyObject* args, PyObject* kwds) {
    std::vector<std::shared_ptr<Component>> components;
    if (!no_keywords(kwds, "set_unique_names") || !to_components(args, "set_unique_names", components))
        return nullptr;
    try {
        return list_of(set_unique_names(components));
    }
    WHISTLE_CATCH(nullptr)
}

PyTypeObject* Component_type() {
    return register_exposed_type(TypeCode::Component, &component_type);
}

}  // namespace whistle::py
