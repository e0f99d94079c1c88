#include "component_netlist.hpp"

#include "component_connectivity.hpp"
#include "core/circuit/netlist.hpp"
#include "model.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// The geometric connectivity of a component: what it reads is copied with the interpreter
// lock held, the extraction itself runs without it.
struct Extraction {
    std::shared_ptr<const PortConnectivity> ports;
    std::shared_ptr<const NetConnectivity> nets;
};

bool extract(const Component& component, bool want_ports, bool want_nets, Extraction& out) {
    ErrorHandler status;
    PortInput port_input;
    NetInput net_input;
    try {
        if (want_ports) port_input = gather_ports(component);
        if (want_nets) net_input = gather_nets(component, status);
    }
    WHISTLE_CATCH(false)
    if (!check_status(status)) return false;
    return without_interpreter_lock([&] {
        if (want_ports) out.ports = extract_ports(port_input);
        if (want_nets) out.nets = extract_nets(net_input);
    });
}

PyObject* instance_port_object(const InstancePort& port) {
    return Py_BuildValue("(Ks#I)", (unsigned long long)port.instance, port.name.data(),
                         Py_ssize_t(port.name.size()), (unsigned int)port.modes);
}

PyObject* port_pair_object(const PortPair& pair) {
    Ref first(instance_port_object(pair.first));
    Ref second(instance_port_object(pair.second));
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

PyObject* net_terminal_object(const NetTerminal& member) {
    Ref index(member.instance ? PyLong_FromUnsignedLongLong(*member.instance) : same(Py_None));
    Ref key(terminal_key_object(member.terminal));
    if (!index || !key) return nullptr;
    return PyTuple_Pack(2, index.get(), key.get());
}

template <class Items, class Make>
PyObject* list_object(const Items& items, Make make) {
    return new_list(items.size(), [&](size_t i) { return make(items[i]); });
}

PyObject* nets_object(const std::vector<Net>& nets) {
    return list_object(nets, [](const Net& net) { return list_object(net, net_terminal_object); });
}

// A dict from each item's key object to its name.
template <class Key, class Make>
PyObject* name_dict(const std::vector<std::pair<Key, std::string>>& items, Make make) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [key, name] : items) {
        Ref k(make(key));
        Ref v(text_object(name));
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Sets dict[key] = value, taking the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* instance_pair_object(const Instance& instance) {
    return Py_BuildValue("(nK)", Py_ssize_t(instance.reference),
                         (unsigned long long)instance.repetition);
}

// The reference of each instance: a single placement is the reference itself, a repeated one
// gives a new 1 × 1 reference per repetition.
PyObject* instance_references(const Component& component, const std::vector<Instance>& list) {
    try {
        return list_object(list, [&](const Instance& instance) {
            const auto& reference = component.references[instance.reference];
            if (reference->repetition().count() == 1) return wrap(reference);
            return wrap(reference->repetition_reference(instance.repetition));
        });
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace

PyObject* component_get_netlist(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"suppress_warnings", nullptr};
    int suppress = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:get_netlist", (char**)keywords, &suppress))
        return nullptr;
    auto component = unwrap<Component>(self);
    Extraction extraction;
    if (!component || !extract(*component, true, true, extraction)) return nullptr;
    ErrorHandler status;
    Netlist netlist;
    try {
        netlist = build_netlist(*component, *extraction.ports, *extraction.nets, suppress != 0, status);
    }
    WHISTLE_CATCH(nullptr)
    if (!check_status(status)) return nullptr;
    Ref dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "instances", instance_references(*component, netlist.instances)) ||
        !set_item(dict.get(), "ports", name_dict(netlist.ports, instance_port_object)) ||
        !set_item(dict.get(), "terminals", name_dict(netlist.terminals, net_terminal_object)) ||
        !set_item(dict.get(), "connections", list_object(netlist.connections, port_pair_object)) ||
        !set_item(dict.get(), "virtual connections",
                  list_object(netlist.virtual_connections, port_pair_object)) ||
        !set_item(dict.get(), "butt couplings", list_object(netlist.butt_couplings, port_pair_object)) ||
        !set_item(dict.get(), "nets", nets_object(netlist.nets)) ||
        !set_item(dict.get(), "virtual nets", nets_object(netlist.virtual_nets)))
        return nullptr;
    return dict.release();
}

PyObject* component_extract_connectivity(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"ports", "nets", nullptr};
    int want_ports = 1, want_nets = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|pp:extract_connectivity", (char**)keywords,
                                     &want_ports, &want_nets))
        return nullptr;
    auto component = unwrap<Component>(self);
    Extraction extraction;
    if (!component || !extract(*component, want_ports, want_nets, extraction)) return nullptr;
    Ref dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "instances",
                           list_object(instances(*component), instance_pair_object)))
        return nullptr;
    if (const auto* ports = extraction.ports.get())
        if (!set_item(dict.get(), "connections", list_object(ports->connections, port_pair_object)) ||
            !set_item(dict.get(), "butt couplings", list_object(ports->butt_couplings, port_pair_object)) ||
            !set_item(dict.get(), "ports", name_dict(ports->ports, instance_port_object)) ||
            !set_item(dict.get(), "unconnected ports", list_object(ports->unconnected, instance_port_object)))
            return nullptr;
    if (const auto* nets = extraction.nets.get())
        if (!set_item(dict.get(), "nets", nets_object(nets->nets)) ||
            !set_item(dict.get(), "terminals", name_dict(nets->terminals, net_terminal_object)))
            return nullptr;
    return dict.release();
}

PyObject* component_get_instance_maps(PyObject* self, PyObject*) {
    auto component = unwrap<Component>(self);
    if (!component) return nullptr;
    std::vector<Instance> list = instances(*component);
    Ref map(PyDict_New());
    Ref inverse(list_object(list, instance_pair_object));
    if (!map || !inverse) return nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
        Ref index(PyLong_FromSize_t(i));
        if (!index || PyDict_SetItem(map.get(), PyList_GET_ITEM(inverse.get(), Py_ssize_t(i)),
                                     index.get()) < 0)
            return nullptr;
    }
    return PyTuple_Pack(2, map.get(), inverse.get());
}

// ---- Module functions --------------------------------------------------------------------

PyObject* function__netlist_cache_sizes(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":_netlist_cache_sizes", (char**)keywords))
        return nullptr;
    auto [ports, nets] = netlist_cache_sizes();
    return Py_BuildValue("(nn)", Py_ssize_t(ports), Py_ssize_t(nets));
}

PyObject* function__clear_netlist_caches(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, ":_clear_netlist_caches", (char**)keywords))
        return nullptr;
    clear_netlist_caches();
    Py_RETURN_NONE;
}

PyObject* function__set_netlist_cache_capacity(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"capacity", nullptr};
    long long capacity = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "L:_set_netlist_cache_capacity", (char**)keywords,
                                     &capacity))
        return nullptr;
    set_netlist_cache_capacity(capacity);
    Py_RETURN_NONE;
}

}  // namespace whistle::py
