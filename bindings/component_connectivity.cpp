#include "component_connectivity.hpp"

#include "core/model/connectivity.hpp"
#include "core/model/port_detection.hpp"
#include "model.hpp"
#include "query.hpp"

namespace whistle::py {

namespace {

using TerminalKey = decltype(NetMember::terminal);

constexpr char kGroupSeparator = '\x1d';

PyObject* reference_or_none(const std::shared_ptr<Reference>& reference) {
    if (reference) return wrap(reference);
    Py_RETURN_NONE;
}

// A Reference wrapper or None; TypeError `message` otherwise.
bool to_optional_reference(PyObject* obj, const char* message, std::shared_ptr<Reference>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    if (!is_instance(obj, TypeCode::Reference)) {
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    out = unwrap<Reference>(obj);
    return out != nullptr;
}

// An index argument: ValueError "Argument '<name>' may not be negative." below zero.
bool check_index(long long value, const char* name) {
    if (value >= 0) return true;
    PyErr_Format(PyExc_ValueError, "Argument '%s' may not be negative.", name);
    return false;
}

// A terminal name or a (port name, terminal name) pair; false without an exception otherwise.
bool to_terminal_key(PyObject* obj, TerminalKey& out) {
    Py_ssize_t size = 0;
    if (PyUnicode_Check(obj)) {
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!text) return false;
        out = std::string(text, size_t(size));
        return true;
    }
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 2) return false;
    std::string names[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyTuple_GET_ITEM(obj, i);
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (!text) return false;
        names[i].assign(text, size_t(size));
    }
    out = std::make_pair(std::move(names[0]), std::move(names[1]));
    return true;
}

bool has_group_separator(const TerminalKey& key) {
    auto contains = [](const std::string& text) {
        return text.find(kGroupSeparator) != std::string::npos;
    };
    if (const auto* name = std::get_if<std::string>(&key)) return contains(*name);
    const auto& pair = std::get<std::pair<std::string, std::string>>(key);
    return contains(pair.first) || contains(pair.second);
}

constexpr const char* kMemberShape =
    "Each net member must be a '(reference, terminal[, repetition_index])' tuple, or a string "
    "naming a component boundary terminal.";
constexpr const char* kMalformedMember =
    "Each terminal must be a '(Reference | None, terminal[, repetition_index])' tuple.";
constexpr const char* kSeparatorInName =
    "A boundary terminal name may not contain the group separator control character (\x1d).";

// A boundary terminal given by name: reference none, no repetition index.
bool boundary_member(PyObject* name, bool has_repetition, NetMember& out) {
    if (has_repetition) {
        PyErr_SetString(PyExc_ValueError,
                        "A component boundary terminal cannot have a repetition index.");
        return false;
    }
    if (!to_terminal_key(name, out.terminal)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, kMalformedMember);
        return false;
    }
    out.reference.reset();
    out.repetition_index = 0;
    return true;
}

PyObject* member_object(const NetMember& member) {
    if (!member.reference && std::holds_alternative<std::string>(member.terminal))
        return terminal_key_object(member.terminal);
    Ref reference(reference_or_none(member.reference));
    Ref key(terminal_key_object(member.terminal));
    if (!reference || !key) return nullptr;
    if (!member.reference) return PyTuple_Pack(2, Py_None, key.get());
    return Py_BuildValue("(OOK)", reference.get(), key.get(),
                         (unsigned long long)member.repetition_index);
}

PyObject* endpoint_object(const ConnectionEndpoint& endpoint) {
    Ref reference(reference_or_none(endpoint.reference));
    if (!reference) return nullptr;
    return Py_BuildValue("(Os#K)", reference.get(), endpoint.port.data(),
                         Py_ssize_t(endpoint.port.size()),
                         (unsigned long long)endpoint.repetition_index);
}

// A list of items made by `make` (new references).
template <class Items, class Make>
PyObject* list_of(const Items& items, Make&& make) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& item : items) {
        Ref object(make(item));
        if (!object || PyList_Append(list.get(), object.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* connection_object(const std::pair<ConnectionEndpoint, ConnectionEndpoint>& connection) {
    Ref first(endpoint_object(connection.first));
    Ref second(endpoint_object(connection.second));
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// ---- Net members -------------------------------------------------------------------------

bool to_net_member(PyObject* obj, NetMember& out) {
    if (PyUnicode_Check(obj)) {
        if (!boundary_member(obj, false, out)) return false;
    } else {
        if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) < 2 || PyTuple_GET_SIZE(obj) > 3) {
            PyErr_SetString(PyExc_TypeError, kMemberShape);
            return false;
        }
        PyObject* reference = PyTuple_GET_ITEM(obj, 0);
        if (!to_optional_reference(reference, kMalformedMember, out.reference)) return false;
        if (!to_terminal_key(PyTuple_GET_ITEM(obj, 1), out.terminal)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, kMalformedMember);
            return false;
        }
        out.repetition_index = 0;
        if (PyTuple_GET_SIZE(obj) == 3) {
            PyObject* index = PyTuple_GET_ITEM(obj, 2);
            if (!PyLong_Check(index)) {
                PyErr_SetString(PyExc_TypeError, kMalformedMember);
                return false;
            }
            if (!out.reference) {
                PyErr_SetString(PyExc_ValueError,
                                "A component boundary terminal cannot have a repetition index.");
                return false;
            }
            int overflow = 0;
            long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
            if (value == -1 && PyErr_Occurred()) return false;
            if (overflow < 0 || value < 0) {
                PyErr_SetString(PyExc_ValueError, "A repetition index may not be negative.");
                return false;
            }
            // Past the 64-bit range is past every repetition count.
            out.repetition_index = overflow > 0 ? UINT64_MAX : uint64_t(value);
        }
    }
    if (!out.reference && has_group_separator(out.terminal)) {
        PyErr_SetString(PyExc_ValueError, kSeparatorInName);
        return false;
    }
    return true;
}

// The member named by the removal arguments: a boundary name alone, or a reference (a string,
// where allowed: the port of a boundary port terminal), a terminal and a repetition index.
bool to_removal_member(PyObject* reference, PyObject* terminal, PyObject* repetition,
                       bool string_reference, NetMember& out) {
    bool has_repetition = repetition && repetition != Py_None;
    if (!terminal || terminal == Py_None) {
        if (!PyUnicode_Check(reference)) {
            PyErr_SetString(PyExc_TypeError,
                            "A single argument must be a string naming a component boundary "
                            "terminal.");
            return false;
        }
        return boundary_member(reference, has_repetition, out);
    }
    if (string_reference && PyUnicode_Check(reference)) {
        Ref pair(PyTuple_Pack(2, reference, terminal));
        return pair && boundary_member(pair.get(), has_repetition, out);
    }
    const char* message = string_reference
                              ? "Argument 'reference' must be a 'Reference' instance, a string, "
                                "or None."
                              : "Argument 'reference' must be a 'Reference' instance or None.";
    if (!to_optional_reference(reference, message, out.reference)) return false;
    if (!out.reference) return boundary_member(terminal, has_repetition, out);
    if (!to_terminal_key(terminal, out.terminal)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, kMalformedMember);
        return false;
    }
    long long index = has_repetition ? PyLong_AsLongLong(repetition) : 0;
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0) {
        PyErr_SetString(PyExc_ValueError, "A repetition index may not be negative.");
        return false;
    }
    out.repetition_index = uint64_t(index);
    return true;
}

template <bool (*Remove)(Component&, const NetMember&)>
PyObject* remove_member(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                        bool string_reference) {
    static const char* keywords[] = {"reference", "terminal", "repetition_index", nullptr};
    PyObject *reference = nullptr, *terminal = nullptr, *repetition = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &reference, &terminal,
                                     &repetition))
        return nullptr;
    NetMember member;
    if (!to_removal_member(reference, terminal, repetition, string_reference, member))
        return nullptr;
    bool removed = false;
    if (!modify<Component>(self, [&](Component& c) { removed = Remove(c, member); }))
        return nullptr;
    return PyBool_FromLong(removed);
}

// ---- Port detection arguments ------------------------------------------------------------

bool to_detection_specs(PyObject* obj, const Technology& technology,
                        std::vector<std::shared_ptr<PortSpec>>& out) {
    if (obj == Py_None) {
        for (const auto& [name, spec] : technology.ports) out.push_back(spec);
        return true;
    }
    Ref items(PyUnicode_Check(obj) ? PyTuple_Pack(1, obj) : nullptr);
    if (!items) {
        Ref iterator(PyObject_GetIter(obj));
        if (!iterator) {
            PyErr_SetString(PyExc_TypeError, "'specs' must be an iterable of 'PortSpec' instances.");
            return false;
        }
        items = Ref(PySequence_Tuple(iterator.get()));
        if (!items) return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (is_instance(item, TypeCode::PortSpec)) {
            auto spec = unwrap<PortSpec>(item);
            if (!spec) return false;
            out.push_back(std::move(spec));
            continue;
        }
        std::string name;
        if (!PyUnicode_Check(item) || !to_text(item, "specs", name)) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_TypeError,
                                "All items in 'specs' must be strings or instances of 'PortSpec'.");
            return false;
        }
        auto it = technology.ports.find(name);
        if (it == technology.ports.end()) {
            PyErr_Format(PyExc_ValueError,
                         "Port specification '%s' not found in component's technology.",
                         name.c_str());
            return false;
        }
        out.push_back(it->second);
    }
    return true;
}

bool to_detection_bounds(PyObject* obj, std::optional<Bounds>& out) {
    if (obj == Py_None) return true;
    Ref items(PySequence_Check(obj) ? sequence_items(obj) : nullptr);
    if (!items && PyErr_Occurred()) return false;
    Py_ssize_t count = items ? PyTuple_GET_SIZE(items.get()) : 0;
    if (count != 2) {
        PyErr_Format(items ? PyExc_ValueError : PyExc_TypeError, "'bounds' must be a sequence of exactly 2 points, %zu found.",
                     size_t(count));
        return false;
    }
    Vector corners[2];
    for (Py_ssize_t i = 0; i < 2; ++i)
        if (!to_point(PyTuple_GET_ITEM(items.get(), i), "bounds", corners[i], true)) return false;
    out = Bounds{std::min(corners[0].x, corners[1].x), std::min(corners[0].y, corners[1].y),
                 std::max(corners[0].x, corners[1].x), std::max(corners[0].y, corners[1].y)};
    return true;
}

bool to_boundary_sides(PyObject* obj, std::optional<BoundarySides>& out) {
    if (obj == Py_None) return true;
    static const std::pair<const char*, BoundarySides> kSides[] = {
        {"xy", {true, true, true, true}}, {"x", {true, true, false, false}},
        {"+x", {false, true, false, false}}, {"-x", {true, false, false, false}},
        {"y", {false, false, true, true}}, {"+y", {false, false, false, true}},
        {"-y", {false, false, true, false}}};
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
    if (!text && PyErr_Occurred()) return false;
    for (const auto& [name, sides] : kSides)
        if (text && std::string_view(text) == name) {
            out = sides;
            return true;
        }
    PyErr_SetString(PyExc_ValueError,
                    "Argument 'on_boundary' must be one of 'xy', 'x', '+x', '-x', 'y', '-y', '+y'.");
    return false;
}

}  // namespace

PyObject* terminal_key_object(const TerminalKey& key) {
    if (const auto* name = std::get_if<std::string>(&key)) return text_object(*name);
    const auto& [port, terminal] = std::get<std::pair<std::string, std::string>>(key);
    Ref first(text_object(port));
    Ref second(text_object(terminal));
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// ---- Virtual connections -----------------------------------------------------------------

PyObject* component_add_virtual_connection(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"reference0", "port_name0", "reference1", "port_name1",
                                     "repetition_index0", "repetition_index1", nullptr};
    PyObject *objects[4] = {};
    long long repetitions[2] = {0, 0};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|LL:add_virtual_connection",
                                     (char**)keywords, &objects[0], &objects[1], &objects[2],
                                     &objects[3], &repetitions[0], &repetitions[1]))
        return nullptr;
    ConnectionEndpoint endpoints[2];
    static const char* kNotReference[] = {"Argument 'reference0' is not a 'Reference' instance.",
                                          "Argument 'reference1' is not a 'Reference' instance."};
    static const char* kIndexNames[] = {"repetition_index0", "repetition_index1"};
    for (int i = 0; i < 2; ++i) {
        if (!to_optional_reference(objects[2 * i], kNotReference[i], endpoints[i].reference) ||
            !to_text(objects[2 * i + 1], i == 0 ? "port_name0" : "port_name1", endpoints[i].port) ||
            !check_index(repetitions[i], kIndexNames[i]))
            return nullptr;
        endpoints[i].repetition_index = uint64_t(repetitions[i]);
    }
    if (!modify<Component>(self, [&](Component& c) {
            c.virtual_connections.emplace_back(endpoints[0], endpoints[1]);
        }))
        return nullptr;
    return same(self);
}

PyObject* component_add_virtual_connection_by_instance(PyObject* self, PyObject* args,
                                                       PyObject* kwds) {
    static const char* keywords[] = {"instance_index0", "port_name0", "instance_index1",
                                     "port_name1", nullptr};
    long long instances[2] = {0, 0};
    PyObject *port_objects[2] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "LOLO:add_virtual_connection_by_instance",
                                     (char**)keywords, &instances[0], &port_objects[0],
                                     &instances[1], &port_objects[1]))
        return nullptr;
    std::string ports[2];
    if (!check_index(instances[0], "instance_index0") ||
        !check_index(instances[1], "instance_index1") ||
        !to_text(port_objects[0], "port_name0", ports[0]) ||
        !to_text(port_objects[1], "port_name1", ports[1]))
        return nullptr;
    ErrorHandler status;
    if (!modify<Component>(self, [&](Component& c) {
            add_virtual_connection_by_instance(c, uint64_t(instances[0]), ports[0],
                                               uint64_t(instances[1]), ports[1], status);
        }) ||
        !check_status(status))
        return nullptr;
    return same(self);
}

PyObject* component_remove_virtual_connection(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"reference", "port_name", "repetition_index", nullptr};
    PyObject *reference = nullptr, *port = nullptr;
    long long repetition = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|L:remove_virtual_connection",
                                     (char**)keywords, &reference, &port, &repetition))
        return nullptr;
    ConnectionEndpoint endpoint;
    if (!to_optional_reference(reference,
                               "Argument 'reference' must be a 'Reference' instance or None.",
                               endpoint.reference) ||
        !to_text(port, "port_name", endpoint.port) ||
        !check_index(repetition, "repetition_index"))
        return nullptr;
    endpoint.repetition_index = uint64_t(repetition);
    bool removed = false;
    if (!modify<Component>(self,
                           [&](Component& c) { removed = remove_virtual_connection(c, endpoint); }))
        return nullptr;
    return PyBool_FromLong(removed);
}

PyObject* component_remove_virtual_connection_by_instance(PyObject* self, PyObject* args,
                                                          PyObject* kwds) {
    static const char* keywords[] = {"instance_index", "port_name", nullptr};
    long long instance = 0;
    PyObject* port_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "LO:remove_virtual_connection_by_instance",
                                     (char**)keywords, &instance, &port_object))
        return nullptr;
    std::string port;
    if (!check_index(instance, "instance_index") || !to_text(port_object, "port_name", port))
        return nullptr;
    bool removed = false;
    if (!modify<Component>(self, [&](Component& c) {
            if (auto chosen = instance_at(c, uint64_t(instance)))
                removed = remove_virtual_connection(c, {chosen->first, port, chosen->second});
        }))
        return nullptr;
    return PyBool_FromLong(removed);
}

PyObject* component_invalid_virtual_connections(PyObject* self, PyObject*) {
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    try {
        ErrorHandler status;
        std::vector<size_t> invalid = invalid_virtual_connections(*component, status);
        if (!check_status(status)) return nullptr;
        return list_of(invalid, [&](size_t index) {
            return connection_object(component->virtual_connections[index]);
        });
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* component_get_virtual_connections(PyObject* self, void*) {
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    return list_of(component->virtual_connections, connection_object);
}

// Endpoints as (instance index, port name); the component's own ports have instance None.
// Connections naming a reference that is no longer in the component are left out.
PyObject* component_get_virtual_connections_by_instance(PyObject* self, void*) {
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& connection : component->virtual_connections) {
        Ref ends[2];
        bool valid = true;
        for (int i = 0; i < 2 && valid; ++i) {
            const ConnectionEndpoint& endpoint = i == 0 ? connection.first : connection.second;
            Ref port(text_object(endpoint.port));
            if (!port) return nullptr;
            if (!endpoint.reference) {
                ends[i] = Ref(PyTuple_Pack(2, Py_None, port.get()));
            } else if (auto index = instance_index(*component, endpoint.reference.get(),
                                                   endpoint.repetition_index)) {
                ends[i] = Ref(Py_BuildValue("(nO)", Py_ssize_t(*index), port.get()));
            } else {
                valid = false;
                continue;
            }
            if (!ends[i]) return nullptr;
        }
        if (!valid) continue;
        Ref pair(PyTuple_Pack(2, ends[0].get(), ends[1].get()));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
    }
    return list.release();
}

// ---- Virtual nets ------------------------------------------------------------------------

PyObject* component_add_virtual_net(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"terminals", nullptr};
    PyObject* terminals = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:add_virtual_net", (char**)keywords,
                                     &terminals))
        return nullptr;
    Ref items(PySequence_Check(terminals) && !PyUnicode_Check(terminals)
                  ? sequence_items(terminals)
                  : nullptr);
    if (!items) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError,
                            "Argument 'terminals' must be a sequence of (reference, terminal) "
                            "tuples.");
        return nullptr;
    }
    std::vector<NetMember> members(size_t(PyTuple_GET_SIZE(items.get())));
    for (size_t i = 0; i < members.size(); ++i)
        if (!to_net_member(PyTuple_GET_ITEM(items.get(), Py_ssize_t(i)), members[i]))
            return nullptr;
    std::string error;
    if (!modify<Component>(self, [&](Component& c) {
            error = virtual_net_error(c, members);
            if (error.empty()) c.virtual_nets.push_back(std::move(members));
        }))
        return nullptr;
    if (!error.empty()) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    return same(self);
}

PyObject* component_remove_virtual_net(PyObject* self, PyObject* args, PyObject* kwds) {
    return remove_member<remove_virtual_net>(self, args, kwds, "O|OO:remove_virtual_net", false);
}

PyObject* component_remove_virtual_net_member(PyObject* self, PyObject* args, PyObject* kwds) {
    return remove_member<remove_virtual_net_member>(self, args, kwds,
                                                    "O|OO:remove_virtual_net_member", true);
}

PyObject* component_remove_virtual_net_by_instance(PyObject* self, PyObject* args,
                                                   PyObject* kwds) {
    static const char* keywords[] = {"instance_index", "terminal", nullptr};
    long long instance = 0;
    PyObject* terminal = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "LO:remove_virtual_net_by_instance",
                                     (char**)keywords, &instance, &terminal))
        return nullptr;
    NetMember member;
    if (!check_index(instance, "instance_index")) return nullptr;
    if (!to_terminal_key(terminal, member.terminal)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, kMalformedMember);
        return nullptr;
    }
    bool removed = false;
    if (!modify<Component>(self, [&](Component& c) {
            auto chosen = instance_at(c, uint64_t(instance));
            if (!chosen) return;
            std::tie(member.reference, member.repetition_index) = *chosen;
            removed = remove_virtual_net(c, member);
        }))
        return nullptr;
    return PyBool_FromLong(removed);
}

PyObject* component_get_virtual_nets(PyObject* self, void*) {
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    return list_of(component->virtual_nets, [](const std::vector<NetMember>& net) {
        return list_of(net, member_object);
    });
}

// ---- Queries and port detection ----------------------------------------------------------

PyObject* component_query(PyObject* self, PyObject* args) {
    auto component = unwrap<Component>(self);
    return component ? query_component(component, args) : nullptr;
}

PyObject* component_detect_ports(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"specs", "bounds", "skip_internal_connections",
                                     "on_boundary", "boundary_margin", "minimal_turn_angle",
                                     nullptr};
    PyObject *specs = Py_None, *bounds = Py_None, *on_boundary = Py_None;
    int skip_internal = 1;
    double margin = 0;
    PortDetectionOptions options;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOpOdd:detect_ports", (char**)keywords,
                                     &specs, &bounds, &skip_internal, &on_boundary, &margin,
                                     &options.minimal_turn_angle))
        return nullptr;
    // Held for the call: names are looked up in the technology the component has now.
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    options.skip_internal_connections = skip_internal != 0;
    if (!to_detection_specs(specs, *component->technology, options.specs) ||
        !to_detection_bounds(bounds, options.bounds) ||
        !to_boundary_sides(on_boundary, options.on_boundary) ||
        !to_length(margin, "boundary_margin", options.boundary_margin))
        return nullptr;
    try {
        ErrorHandler status;
        std::vector<std::shared_ptr<Port>> ports = detect_ports(*component, options, status);
        if (!check_status(status)) return nullptr;
        return list_of(ports, [](const std::shared_ptr<Port>& port) { return wrap(port); });
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
