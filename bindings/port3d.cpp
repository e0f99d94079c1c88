#include "port3d.hpp"

#include <cmath>

#include "structure.hpp"

namespace whistle::py {

bool to_numbers3(PyObject* obj, const char* name, Vector3& out) {
    Ref items(obj && PySequence_Check(obj) && !PyUnicode_Check(obj) && !PyBytes_Check(obj)
                  ? sequence_items(obj)
                  : nullptr);
    if (!items || PyTuple_GET_SIZE(items.get()) != 3) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of %zu numbers.", name, size_t(3));
        return false;
    }
    Vector3 values;
    for (int i = 0; i < 3; ++i) {
        values[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
        if (values[i] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "Error parsing item '%s[%d]'.", name, i);
            return false;
        }
    }
    out = values;
    return true;
}

bool to_point3(PyObject* obj, const char* name, Point3& out) {
    Vector3 values;
    if (!to_numbers3(obj, name, values)) return false;
    for (int i = 0; i < 3; ++i) {
        if (!has_units(values[i])) {
            PyErr_Format(PyExc_ValueError, "'%s[%d]' is out of range.", name, i);
            return false;
        }
        out[i] = to_db(values[i]);
    }
    return true;
}

bool to_input_vector(PyObject* obj, Vector3& out) {
    Vector3 values;
    if (!to_numbers3(obj, "input_vector", values)) return false;
    double length = std::sqrt(values[0] * values[0] + values[1] * values[1] + values[2] * values[2]);
    if (!(length >= Port3D::kMinLength) || !std::isfinite(length)) {
        PyErr_SetString(PyExc_ValueError, "Argument 'input_vector' must have non-negligible length.");
        return false;
    }
    out = values;
    return true;
}

PyObject* port3d_get_center(PyObject* self, void*) {
    auto port = unwrap<Port3D>(self);
    if (!port) return nullptr;
    const Point3& c = port->center();
    const double values[3] = {from_db(c[0]), from_db(c[1]), from_db(c[2])};
    return vector_array(values, 3);
}

int port3d_set_center(PyObject* self, PyObject* value, void*) {
    Point3 center;
    if (!check_not_deleted(value, "center") || !to_point3(value, "center", center)) return -1;
    return modify<Port3D>(self, [&](Port3D& port) { port.set_center(center); }) ? 0 : -1;
}

PyObject* port3d_get_input_vector(PyObject* self, void*) {
    auto port = unwrap<Port3D>(self);
    return port ? vector_array(port->input_vector().data(), 3) : nullptr;
}

int port3d_set_input_vector(PyObject* self, PyObject* value, void*) {
    Vector3 vector;
    if (!check_not_deleted(value, "input_vector") || !to_input_vector(value, vector)) return -1;
    return modify<Port3D>(self, [&](Port3D& port) { port.set_input_vector(vector); }) ? 0 : -1;
}

namespace {

// A 2D port never compares true; anything else but a port is an error.
template <bool (Port3D::*Test)(const Port3D&) const>
PyObject* compare(PyObject* self, PyObject* other) {
    if (is_instance(other, TypeCode::Port)) Py_RETURN_FALSE;
    if (!is_instance(other, TypeCode::GaussianPort) && !is_instance(other, TypeCode::FiberPort)) {
        PyErr_SetString(PyExc_TypeError,
                        "Argument 'port' must be an instance of one of the port classes.");
        return nullptr;
    }
    auto port = unwrap<Port3D>(self);
    auto other_port = unwrap<Port3D>(other);
    if (!port || !other_port) return nullptr;
    try {
        return PyBool_FromLong(((*port).*Test)(*other_port));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace

PyObject* port3d_matches(PyObject* self, PyObject* other) {
    return compare<&Port3D::matches>(self, other);
}

PyObject* port3d_is_connected_to(PyObject* self, PyObject* other) {
    return compare<&Port3D::is_connected_to>(self, other);
}

PyObject* port3d_reflected(PyObject* self, PyObject*) {
    auto port = unwrap<Port3D>(self);
    if (!port) return nullptr;
    try {
        return wrap(port->reflected());
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
