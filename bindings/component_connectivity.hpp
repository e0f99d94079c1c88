// Component methods and attributes of virtual connections and nets, queries and port detection,
// for the Component type's tables.
#pragma once

#include "core/model/component.hpp"
#include "structure.hpp"

namespace whistle::py {

PyObject* component_add_virtual_connection(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_add_virtual_connection_by_instance(PyObject* self, PyObject* args,
                                                       PyObject* kwds);
PyObject* component_remove_virtual_connection(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_remove_virtual_connection_by_instance(PyObject* self, PyObject* args,
                                                          PyObject* kwds);
PyObject* component_invalid_virtual_connections(PyObject* self, PyObject*);
PyObject* component_add_virtual_net(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_remove_virtual_net(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_remove_virtual_net_member(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_remove_virtual_net_by_instance(PyObject* self, PyObject* args,
                                                   PyObject* kwds);
PyObject* component_query(PyObject* self, PyObject* args);
PyObject* component_detect_ports(PyObject* self, PyObject* args, PyObject* kwds);

// A terminal name, or a (port name, terminal name) tuple.
PyObject* terminal_key_object(const decltype(NetMember::terminal)& key);

PyObject* component_get_virtual_connections(PyObject* self, void*);
PyObject* component_get_virtual_connections_by_instance(PyObject* self, void*);
PyObject* component_get_virtual_nets(PyObject* self, void*);

}  // namespace whistle::py

#define WHISTLE_COMPONENT_CONNECTIVITY_METHODS \
    WHISTLE_KEYWORD_METHOD("add_virtual_connection", whistle::py::component_add_virtual_connection, \
            "add_virtual_connection(reference0, port_name0, reference1, port_name1, repetition_index0=0, repetition_index1=0)\n\nConnect two ports of references (None: this component) virtually."), \
    WHISTLE_KEYWORD_METHOD("add_virtual_connection_by_instance", whistle::py::component_add_virtual_connection_by_instance, \
            "add_virtual_connection_by_instance(instance_index0, port_name0, instance_index1, port_name1)\n\nConnect two ports of instances virtually."), \
    WHISTLE_KEYWORD_METHOD("remove_virtual_connection", whistle::py::component_remove_virtual_connection, \
            "remove_virtual_connection(reference, port_name, repetition_index=0)\n\nRemove the virtual connections of a port; True when any was removed."), \
    WHISTLE_KEYWORD_METHOD("remove_virtual_connection_by_instance", whistle::py::component_remove_virtual_connection_by_instance, \
            "remove_virtual_connection_by_instance(instance_index, port_name)\n\nRemove the virtual connections of a port of an instance."), \
    {"invalid_virtual_connections", (PyCFunction)whistle::py::component_invalid_virtual_connections, \
         METH_NOARGS, "invalid_virtual_connections()\n\nVirtual connections that fail validation, with warnings."}, \
    WHISTLE_KEYWORD_METHOD("add_virtual_net", whistle::py::component_add_virtual_net, \
            "add_virtual_net(terminals)\n\nJoin terminals: (reference, terminal[, repetition_index]) tuples or boundary terminal names."), \
    WHISTLE_KEYWORD_METHOD("remove_virtual_net", whistle::py::component_remove_virtual_net, \
            "remove_virtual_net(reference, terminal=None, repetition_index=None)\n\nRemove the virtual nets that contain a terminal."), \
    WHISTLE_KEYWORD_METHOD("remove_virtual_net_member", whistle::py::component_remove_virtual_net_member, \
            "remove_virtual_net_member(reference, terminal=None, repetition_index=None)\n\nRemove a terminal from the virtual nets."), \
    WHISTLE_KEYWORD_METHOD("remove_virtual_net_by_instance", whistle::py::component_remove_virtual_net_by_instance, \
            "remove_virtual_net_by_instance(instance_index, terminal)\n\nRemove the virtual nets that contain a terminal of an instance."), \
    {"query", (PyCFunction)whistle::py::component_query, METH_VARARGS, \
         "query(*args)\n\nPorts and terminals selected by name patterns through the hierarchy."}, \
    WHISTLE_KEYWORD_METHOD("detect_ports", whistle::py::component_detect_ports, \
            "detect_ports(specs=None, bounds=None, skip_internal_connections=True, on_boundary=None, boundary_margin=0, minimal_turn_angle=10)\n\nNew ports found in the geometry (not added).")

#define WHISTLE_COMPONENT_CONNECTIVITY_GETSET                                                     \
    {"virtual_connections", whistle::py::component_get_virtual_connections, nullptr,              \
     "Virtual connections between ports.", nullptr},                                              \
    {"virtual_connections_by_instance", whistle::py::component_get_virtual_connections_by_instance, \
     nullptr, "Virtual connections between ports of instances.", nullptr},                        \
    {"virtual_nets", whistle::py::component_get_virtual_nets, nullptr,                            \
     "Virtual nets joining terminals.", nullptr}
