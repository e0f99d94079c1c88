// Component methods of netlists and connectivity extraction, for the Component method table.
#pragma once

#include "structure.hpp"

namespace whistle::py {

PyObject* component_get_netlist(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_extract_connectivity(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* component_get_instance_maps(PyObject* self, PyObject*);

}  // namespace whistle::py

#define WHISTLE_COMPONENT_NETLIST_METHODS \
    WHISTLE_KEYWORD_METHOD("get_netlist", whistle::py::component_get_netlist, \
            "get_netlist(suppress_warnings=False)\n\nThe circuit netlist: a dict with keys 'instances' (a Reference per instance; a repeated reference gives one 1 × 1 reference per repetition, made anew on each call, and a single one is itself), 'ports' ((instance, port name, modes) → external port name), 'terminals', 'connections', 'virtual connections', 'butt couplings', 'nets' and 'virtual nets'. Warnings on ports and terminals left out are issued unless suppressed."), \
    WHISTLE_KEYWORD_METHOD("extract_connectivity", whistle::py::component_extract_connectivity, \
            "extract_connectivity(ports=True, nets=True)\n\nThe geometric connectivity behind get_netlist, without declared connections and without warnings. Instances are numbered as in get_netlist; 'instances' lists their (reference index, repetition index). With ports: 'connections', 'butt couplings' (pairs of (instance, port name, modes)), 'ports' (dict instance port → own port name) and 'unconnected ports' (list). With nets: 'nets' (lists of (instance or None, terminal name)) and 'terminals' (dict instance terminal → own terminal name). Results are memoised by content (see _netlist_cache_sizes)."), \
    {"get_instance_maps", (PyCFunction)whistle::py::component_get_instance_maps, METH_NOARGS, \
         "get_instance_maps()\n\n(dict from (reference index, repetition index) to instance index, list of (reference index, repetition index) by instance index)."}
