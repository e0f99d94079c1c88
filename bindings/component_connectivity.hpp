// Component methods and attributes of virtual connections and nets, queries and port detection,
// for the Component type's tables.
#pragma once

#include "common.hpp"

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

PyObject* component_get_virtual_connections(PyObject* self, void*);
PyObject* component_get_virtual_connections_by_instance(PyObject* self, void*);
PyObject* component_get_virtual_nets(PyObject* self, void*);

}  // namespace whistle::py

#define WHISTLE_KEYWORD_METHOD(name, function, doc) \
    {name, (PyCFunction)(void (*)(void))whistle::py::function, METH_VARARGS | METH_KEYWORDS, doc}

#define WHISTLE_COMPONENT_CONNECTIVITY_METHODS                                                    \
    WHISTLE_KEYWORD_METHOD("add_virtual_connection", component_add_virtual_connection,           \
                           "Connect two ports of references (or of this component) virtually."), \
    WHISTLE_KEYWORD_METHOD("add_virtual_connection_by_instance",                                 \
                           component_add_virtual_connection_by_instance,                         \
                           "Connect two ports of instances virtually."),                         \
    WHISTLE_KEYWORD_METHOD("remove_virtual_connection", component_remove_virtual_connection,     \
                           "Remove the virtual connections of a port."),                         \
    WHISTLE_KEYWORD_METHOD("remove_virtual_connection_by_instance",                              \
                           component_remove_virtual_connection_by_instance,                      \
                           "Remove the virtual connections of a port of an instance."),          \
    {"invalid_virtual_connections",                                                               \
     (PyCFunction)whistle::py::component_invalid_virtual_connections, METH_NOARGS,                \
     "Virtual connections that fail validation."},                                                \
    WHISTLE_KEYWORD_METHOD("add_virtual_net", component_add_virtual_net,                         \
                           "Join terminals in a virtual net."),                                  \
    WHISTLE_KEYWORD_METHOD("remove_virtual_net", component_remove_virtual_net,                   \
                           "Remove the virtual nets of a terminal."),                            \
    WHISTLE_KEYWORD_METHOD("remove_virtual_net_member", component_remove_virtual_net_member,     \
                           "Remove a terminal from the virtual nets."),                          \
    WHISTLE_KEYWORD_METHOD("remove_virtual_net_by_instance",                                     \
                           component_remove_virtual_net_by_instance,                             \
                           "Remove the virtual nets of a terminal of an instance."),             \
    {"query", (PyCFunction)whistle::py::component_query, METH_VARARGS,                            \
     "Select ports and terminals in the hierarchy by name patterns."},                            \
    WHISTLE_KEYWORD_METHOD("detect_ports", component_detect_ports,                               \
                           "Find ports in the component's geometry.")

#define WHISTLE_COMPONENT_CONNECTIVITY_GETSET                                                     \
    {"virtual_connections", whistle::py::component_get_virtual_connections, nullptr,              \
     "Virtual connections between ports.", nullptr},                                              \
    {"virtual_connections_by_instance", whistle::py::component_get_virtual_connections_by_instance, \
     nullptr, "Virtual connections between ports of instances.", nullptr},                        \
    {"virtual_nets", whistle::py::component_get_virtual_nets, nullptr,                            \
     "Virtual nets joining terminals.", nullptr}
