// Members shared by the two faces of 3D ports, `GaussianPort` and `FiberPort`.
#pragma once

#include "common.hpp"

#include <vector>

#include "core/model/port3d.hpp"

namespace whistle::py {

// Three numbers: TypeError "'<name>' must be a sequence of 3 numbers." otherwise.
bool to_numbers3(PyObject* obj, const char* name, Vector3& out);
// Three lengths in database units.
bool to_point3(PyObject* obj, const char* name, Point3& out);
// A beam direction: ValueError "Argument 'input_vector' must have non-negligible length."
bool to_input_vector(PyObject* obj, Vector3& out);

// The solver's waist distance of a waist position, and back (the rule is its own inverse).
Coord waist_distance(Coord value, const Vector3& input_vector);
// The refractive index at each frequency: a positive number, or a solver medium.
bool to_indices(PyObject* medium, const std::vector<double>& frequencies,
                std::vector<double>& out);

PyObject* port3d_get_center(PyObject* self, void*);
int port3d_set_center(PyObject* self, PyObject* value, void*);
PyObject* port3d_get_input_vector(PyObject* self, void*);
int port3d_set_input_vector(PyObject* self, PyObject* value, void*);
PyObject* port3d_matches(PyObject* self, PyObject* other);
PyObject* port3d_is_connected_to(PyObject* self, PyObject* other);
PyObject* port3d_reflected(PyObject* self, PyObject*);

#define WHISTLE_PORT3D_METHODS                                                                  \
    {"matches", whistle::py::port3d_matches, METH_O,                                            \
     "matches(port)\n\nSame center, input vector and mode."},                                   \
    {"is_connected_to", whistle::py::port3d_is_connected_to, METH_O,                            \
     "is_connected_to(port)\n\nTrue when the port matches the other one reflected."},           \
    {"reflected", whistle::py::port3d_reflected, METH_NOARGS,                                   \
     "reflected()\n\nA new port pointing the opposite way, with the reflected mode."},          \
    WHISTLE_COPY_METHODS

#define WHISTLE_PORT3D_GETSET                                                                   \
    {"center", whistle::py::port3d_get_center, whistle::py::port3d_set_center,                  \
     "numpy.ndarray: Port center (x, y, z).", nullptr},                                         \
    {"input_vector", whistle::py::port3d_get_input_vector, whistle::py::port3d_set_input_vector, \
     "numpy.ndarray: Beam direction.", nullptr},                                                \
    WHISTLE_BASE_GETSET

}  // namespace whistle::py
