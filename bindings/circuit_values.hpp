// Converters shared by the wave (`SMatrix`) and terminal matrices: element tables keyed by name
// pairs, with one complex value per frequency, and objects (ports, terminals) by name.
#pragma once

#include "common.hpp"
#include "core/circuit/s_matrix.hpp"

namespace whistle::py {

// A str without embedded null characters; false without an exception otherwise.
bool to_name(PyObject* obj, std::string& out);

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

// A mapping from names to objects that `accepts` (or None; absent mappings give nothing).
// TypeErrors: `message` for other objects, `key_message` for keys that are no strings,
// `value_format` (one %s for the name) for values that are not accepted.
template <class Accepts>
bool to_named_objects(PyObject* obj, const char* message, const char* key_message, const char* value_format,
                      Accepts accepts, NamedObjects& out) {
    if (!obj || obj == Py_None) return true;
    return for_each_item(obj, message, [&](PyObject* key, PyObject* value) {
        std::string name;
        if (!to_name(key, name)) {
            PyErr_SetString(PyExc_TypeError, key_message);
            return false;
        }
        std::shared_ptr<BaseType> object;
        if (value != Py_None) {
            if (!accepts(value)) {
                PyErr_Format(PyExc_TypeError, value_format, name.c_str());
                return false;
            }
            object = unwrap_base(value);
            if (!object) return false;
        }
        out[name] = std::move(object);
        return true;
    });
}

// An element key: a sequence of two strings; TypeError `message` otherwise.
bool to_element_key(PyObject* obj, const char* message, ElementKey& out);

// The element table of a constructor: keys checked by to_element_key with `key_message`, each
// value a 1-D array of `frequency_count` complex numbers; a wrong length is the ValueError
// "<prefix>elements['a', 'b'] has length n, but 'frequencies' has length m: same size expected.".
bool to_elements(PyObject* obj, const char* message, const char* key_message, const std::string& prefix,
                 size_t frequency_count, ElementMap& out);

PyObject* key_object(const ElementKey& key);
// The values of an element, zeros when it is absent.
PyObject* element_values(const ElementMap& elements, const ElementKey& key, size_t frequency_count);

// Runs a core operation that reports through an ErrorHandler and wraps its result.
template <class Operation>
PyObject* wrapped_result(Operation operation) {
    ErrorHandler status;
    std::shared_ptr<BaseType> result;
    try {
        result = operation(status);
    }
    WHISTLE_CATCH(nullptr)
    return check_status(status) ? wrap(result) : nullptr;
}

PyObject* elements_dict(const ElementMap& elements);
// {(input, output): float}
PyObject* values_dict(const std::map<ElementKey, double>& values);
// None or a mapping of port names to port instances or None (the ports of S-matrix types).
bool to_ports(PyObject* obj, NamedObjects& out);

// Attributes of every matrix type T (an ElementTable).
template <class T>
PyObject* get_frequencies(PyObject* self, void*) {
    auto m = unwrap<T>(self);
    return m ? vector_array(m->frequencies()) : nullptr;
}

template <class T>
PyObject* get_wavelengths(PyObject* self, void*) {
    auto m = unwrap<T>(self);
    if (!m) return nullptr;
    std::vector<double> wavelengths;
    for (double f : m->frequencies()) wavelengths.push_back(kSpeedOfLightUm / f);
    return vector_array(wavelengths);
}

template <class T>
PyObject* get_elements(PyObject* self, void*) {
    auto m = unwrap<T>(self);
    return m ? elements_dict(m->elements()) : nullptr;
}

#define WHISTLE_ELEMENT_TABLE_GETSET(T, elements_doc)                                                   \
    {"frequencies", whistle::py::get_frequencies<T>, nullptr, "numpy.ndarray: Frequencies (Hz).", nullptr}, \
    {"wavelengths", whistle::py::get_wavelengths<T>, nullptr, "numpy.ndarray: Vacuum wavelengths (μm).",     \
     nullptr},                                                                                          \
    {"elements", whistle::py::get_elements<T>, nullptr, elements_doc, nullptr}
PyObject* objects_dict(const NamedObjects& objects);

}  // namespace whistle::py
