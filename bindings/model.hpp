// Converters shared by the layout-model types: layers, technologies, media.
#pragma once

#include "common.hpp"

#include <set>

#include "core/model/layer.hpp"
#include "core/model/medium.hpp"

namespace whistle {
class Technology;
}

namespace whistle::py {

// A str as UTF-8 bytes: TypeError "'<name>' must be a string." otherwise.
bool to_text(PyObject* value, const char* name, std::string& out);
// Bytes that are not UTF-8 (names read from layout files) show as replacement characters.
inline PyObject* text_object(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
}

// A layer tuple (two non-negative integers below 2^32) as a Python tuple.
PyObject* layer_tuple(const Layer& layer);
// A sequence of two integers. TypeError "'<name>' must be a sequence of 2 integers." for
// other objects; "Error converting item %zu from layer sequence to positive integer." when an
// item is not an integer in [0, 2^32).
bool to_layer(PyObject* obj, const char* name, Layer& out);
// A layer tuple, or a layer name looked up in `technology` (the default technology when null).
// ValueError "LayerSpec name '<name>' not found in technology '<technology>'." for unknown names.
bool to_layer_or_name(PyObject* obj, const char* name, const Technology* technology, Layer& out);

// The configured default technology, created by `basic_technology()` on first use (with its
// warning). Null with an exception on failure.
std::shared_ptr<Technology> default_technology();
// None gives the default technology; anything but a Technology raises TypeError "Argument
// 'technology' must be a Technology instance or None.".
bool to_technology(PyObject* obj, std::shared_ptr<Technology>& out);

// A solver medium, or a dict with the keys "optical" and "electrical", as a media holder.
// TypeError "Argument '<name>' must be a medium or a dictionary with 'optical' and 'electrical'
// media." otherwise.
bool to_medium(PyObject* obj, const char* name, Medium& out);
// The interpreter object of a held medium (new reference; None when absent).
PyObject* medium_object(const std::shared_ptr<BaseType>& holder);
// The medium of a class named by a str argument: "Medium for classification '%s' is not
// available." when the holder has none for it.
PyObject* classified_medium(const Medium& medium, PyObject* classification);
// One medium for both classes as itself, otherwise a dict {"optical": ..., "electrical": ...}.
PyObject* medium_value(const Medium& medium);
// A set of layer tuples.
PyObject* layer_set(const std::set<Layer>& layers);

// "optical" or "electrical": ValueError "Argument 'classification' must be one of 'electrical'
// or 'optical'." otherwise.
bool to_classification(PyObject* obj, Classification& out);

// The items of any iterable but a string, as a new tuple; null with `message` as TypeError.
PyObject* iterable_items(PyObject* value, const char* message);

// Parametric data values: a copy of a dict of keyword arguments (None stays None), and the
// random variables of a sequence as a new list. TypeError "'parametric_kwargs' must be a
// dictionary or None." and "'random_variables' must be a sequence." otherwise.
PyObject* parametric_kwargs_value(PyObject* value);
PyObject* random_variables_value(PyObject* value);

// The function registered under `name` in the module's registry dict `registry` (new
// reference); RuntimeError `invalid` when the registry is not a dict, `missing` when the name
// is not registered.
PyObject* registered_function(const char* registry, const std::string& name, const char* invalid,
                              const char* missing);

// A new dict: the stored keyword arguments (when a dict) updated with `kwds` (may be null).
PyObject* merged_kwargs(PyObject* stored, PyObject* kwds);

// ---- Copies with a depth ---------------------------------------------------------------
// copy(deep=False), __copy__ and __deepcopy__ of types whose copy shares parts unless deep
// (T::copy(bool deep) returns the new object).

template <class T>
PyObject* copy_to_depth(PyObject* self, bool deep) {
    auto object = unwrap<T>(self);
    if (!object) return nullptr;
    try {
        return wrap(object->copy(deep));
    }
    WHISTLE_CATCH(nullptr)
}

template <class T>
PyObject* method_copy_to_depth(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"deep", nullptr};
    int deep = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:copy", (char**)keywords, &deep)) return nullptr;
    return copy_to_depth<T>(self, deep);
}

template <class T>
PyObject* method_shallow_copy(PyObject* self, PyObject*) {
    return copy_to_depth<T>(self, false);
}

template <class T>
PyObject* method_deep_copy(PyObject* self, PyObject* memo) {
    if (memo != Py_None && !PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "Deepcopy memo must be a dictionary.");
        return nullptr;
    }
    return copy_to_depth<T>(self, true);
}

#define WHISTLE_DEPTH_COPY_METHODS(T, doc)                                                       \
    {"copy", (PyCFunction)(void (*)(void))whistle::py::method_copy_to_depth<T>,                  \
     METH_VARARGS | METH_KEYWORDS, doc},                                                         \
    {"__copy__", (PyCFunction)whistle::py::method_shallow_copy<T>, METH_NOARGS, "Shallow copy."}, \
    {"__deepcopy__", (PyCFunction)whistle::py::method_deep_copy<T>, METH_O, "Deep copy."}

}  // namespace whistle::py
