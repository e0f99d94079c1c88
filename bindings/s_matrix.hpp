// Converters shared by the bindings of the S-matrix family (element keys, value arrays, ports).
#pragma once

#include "common.hpp"
#include "core/circuit/s_matrix.hpp"

namespace whistle::py {

// A str without embedded null characters.
bool to_name(PyObject* obj, std::string& out);
// A sequence of two strings (input, output); TypeError `message` otherwise.
bool to_key(PyObject* obj, SMatrix::Key& out, const char* message);
PyObject* key_object(const SMatrix::Key& key);
PyObject* complex_array(const Complex* values, size_t count);
// None or a mapping of port names to port instances or None.
bool to_ports(PyObject* obj, SMatrix::Ports& out);
// {(input, output): complex array}
PyObject* elements_dict(const SMatrix::Elements& elements);
// {(input, output): float}
PyObject* values_dict(const std::map<SMatrix::Key, double>& values);
// {name: port or None}
PyObject* ports_dict(const SMatrix::Ports& ports);

// Calls convert(key, value) for each item of a mapping; TypeError `message` for other objects
// (lists and tuples subscript too, but are no mappings).
template <class Convert>
bool for_each_item(PyObject* obj, const char* message, Convert convert) {
    if (!PyDict_Check(obj) && !(PyMapping_Check(obj) && PyObject_HasAttrString(obj, "items"))) {
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    Ref items(PyMapping_Items(obj));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "items() must give (key, value) pairs.");
            return false;
        }
        if (!convert(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) return false;
    }
    return true;
}

}  // namespace whistle::py
