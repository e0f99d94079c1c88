// Circuit module functions.
#include "common.hpp"
#include "types.hpp"

#include <algorithm>
#include <exception>

#include "core/circuit/connect.hpp"

namespace whistle::py {

namespace {

bool to_index(PyObject* obj, int64_t& value) {
    value = PyLong_AsLongLong(obj);
    return !(value == -1 && PyErr_Occurred());
}

bool to_text(PyObject* obj, std::string& text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    text.assign(data, size_t(size));
    return true;
}

bool to_port_mode(PyObject* obj, InstancePortMode& mode) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 2) {
        PyErr_SetString(PyExc_TypeError, "'s_dict' key elements must be 2-tuples.");
        return false;
    }
    return to_index(PyTuple_GET_ITEM(obj, 0), mode.first) && to_text(PyTuple_GET_ITEM(obj, 1), mode.second);
}

// Reads the elements; all of them must have the same number of frequencies.
bool to_elements(PyObject* s_dict, InstanceElements& elements, size_t& frequency_count) {
    if (!PyDict_Check(s_dict)) {
        PyErr_SetString(PyExc_TypeError, "Argument 's_dict' must be a dictionary.");
        return false;
    }
    Ref items(PyDict_Items(s_dict));
    if (!items) return false;
    bool first = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
            PyErr_SetString(PyExc_TypeError, "'s_dict' key must be 2-tuples.");
            return false;
        }
        InstancePortMode from, to;
        if (!to_port_mode(PyTuple_GET_ITEM(key, 0), from) || !to_port_mode(PyTuple_GET_ITEM(key, 1), to))
            return false;
        if (!PySequence_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value)) {
            PyErr_SetString(PyExc_TypeError, "'s_dict' value must be a sequence.");
            return false;
        }
        Ref array(PyArray_FROMANY(value, NPY_COMPLEX128, 1, 1, NPY_ARRAY_CARRAY_RO));
        if (!array) return false;
        auto* data = static_cast<const Complex*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        const size_t count = size_t(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get())));
        if (first) frequency_count = count;
        first = false;
        if (count != frequency_count) {
            PyErr_SetString(PyExc_ValueError, "'s_dict' values must all have the same length.");
            return false;
        }
        elements[{from, to}] = ComplexVector(data, data + count);
    }
    return true;
}

bool to_instance_port(PyObject* obj, InstancePort& port) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 3) {
        PyErr_SetString(PyExc_TypeError, "'connections' must be tuples of 3-tuples.");
        return false;
    }
    if (!to_index(PyTuple_GET_ITEM(obj, 0), port.instance) || !to_text(PyTuple_GET_ITEM(obj, 1), port.port) ||
        !to_index(PyTuple_GET_ITEM(obj, 2), port.modes))
        return false;
    if (port.modes < 0) {
        PyErr_SetString(PyExc_ValueError, "'connections' mode counts must be non-negative.");
        return false;
    }
    return true;
}

bool to_connections(PyObject* obj, std::vector<PortConnection>& connections) {
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'connections' must be a sequence.");
        return false;
    }
    Ref items(sequence_items(obj));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "'connections' items must be 2-tuples.");
            return false;
        }
        PortConnection connection;
        if (!to_instance_port(PyTuple_GET_ITEM(item, 0), connection.first) ||
            !to_instance_port(PyTuple_GET_ITEM(item, 1), connection.second))
            return false;
        connections.push_back(std::move(connection));
    }
    return true;
}

PyObject* port_mode_tuple(const InstancePortMode& mode) {
    return Py_BuildValue("(Ls#)", (long long)mode.first, mode.second.data(), Py_ssize_t(mode.second.size()));
}

PyObject* elements_dict(const InstanceElements& elements) {
    Ref result(PyDict_New());
    if (!result) return nullptr;
    for (const auto& [key, values] : elements) {
        Ref from(port_mode_tuple(key.first)), to(port_mode_tuple(key.second));
        if (!from || !to) return nullptr;
        Ref pair(PyTuple_Pack(2, from.get(), to.get()));
        Ref array(new_array({npy_intp(values.size())}, NPY_COMPLEX128));
        if (!pair || !array) return nullptr;
        std::copy(values.begin(), values.end(),
                  static_cast<Complex*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
        if (PyDict_SetItem(result.get(), pair.get(), array.get()) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* function__connect_s_matrices(PyObject*, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) != 3 || (kwds && PyDict_GET_SIZE(kwds) > 0)) {
        PyErr_SetString(PyExc_TypeError, "Expected 3 arguments.");
        return nullptr;
    }
    InstanceElements elements;
    size_t frequency_count = 0;
    std::vector<PortConnection> connections;
    if (!to_elements(PyTuple_GET_ITEM(args, 0), elements, frequency_count) ||
        !to_connections(PyTuple_GET_ITEM(args, 1), connections))
        return nullptr;
    PyObject* num_instances = PyTuple_GET_ITEM(args, 2);
    if (!PyLong_Check(num_instances) || PyBool_Check(num_instances)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'num_instances' must be a non-negative integer.");
        return nullptr;
    }
    int64_t count = 0;
    if (!to_index(num_instances, count)) return nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'num_instances' must be a non-negative integer.");
        return nullptr;
    }

    InstanceElements result;
    if (!without_interpreter_lock(
            [&] { result = connect_s_matrices(elements, connections, frequency_count); }))
        return nullptr;
    return elements_dict(result);
}

}  // namespace whistle::py
