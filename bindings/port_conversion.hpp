// Conversions of ports and port specifications into solver-package objects.
#pragma once

#include "common.hpp"

namespace whistle {
class Port;
}  // namespace whistle

namespace whistle::py {

// The port's cross-section extruded with the technology (None: the default technology), as
// solver structures.
PyObject* port_structures(const Port& port, PyObject* technology);

PyObject* port_axis_aligned_properties(PyObject* self, PyObject*);
PyObject* port_to_source(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* port_to_monitor(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* port_to_mode_solver(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* port_to_impedance_calculator(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* port_spec_to_mode_solver(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* port_spec_to_impedance_calculator(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* gaussian_port_to_source(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* gaussian_port_to_monitor(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* fiber_port_to_source(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* fiber_port_to_monitor(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* fiber_port_to_mode_solver(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* fiber_port_to_structures(PyObject* self, PyObject*);

#define WHISTLE_IMPEDANCE_DOC                                                                    \
    "to_fenn3d_impedance_calculator(extrapolate_to_endpoints=True, snap_to_grid=True)\n\n"      \
    "Impedance calculator from the voltage and current paths of the electrical specification."

}  // namespace whistle::py
