#include "circuit_values.hpp"

namespace whistle::py {

bool to_name(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    out.assign(text, size_t(size));
    return true;
}

bool to_element_key(PyObject* obj, const char* message, ElementKey& out) {
    bool ok = false;
    if (PySequence_Check(obj) && !PyUnicode_Check(obj)) {
        Ref items(sequence_items(obj));
        ok = items && PyTuple_GET_SIZE(items.get()) == 2 &&
             to_name(PyTuple_GET_ITEM(items.get(), 0), out.first) &&
             to_name(PyTuple_GET_ITEM(items.get(), 1), out.second);
    }
    if (!ok) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, message);
    }
    return ok;
}

namespace {

bool to_complex_values(PyObject* obj, const std::string& name, size_t expected, ComplexVector& out) {
    Ref array(PyArray_FROM_OTF(obj, NPY_COMPLEX128, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a 1-D sequence of complex numbers.", name.c_str());
        return false;
    }
    size_t size = size_t(PyArray_DIM(a, 0));
    if (size != expected) {
        PyErr_Format(PyExc_ValueError, "%s has length %zu, but 'frequencies' has length %zu: same size expected.",
                     name.c_str(), size, expected);
        return false;
    }
    const auto* data = static_cast<const Complex*>(PyArray_DATA(a));
    out.assign(data, data + size);
    return true;
}

}  // namespace

PyObject* key_object(const ElementKey& key) {
    return Py_BuildValue("(s#s#)", key.first.data(), Py_ssize_t(key.first.size()), key.second.data(),
                         Py_ssize_t(key.second.size()));
}

bool to_elements(PyObject* obj, const char* message, const char* key_message, const std::string& prefix,
                 size_t frequency_count, ElementMap& out) {
    return for_each_item(obj, message, [&](PyObject* key_obj, PyObject* value) {
        ElementKey key;
        ComplexVector values;
        if (!to_element_key(key_obj, key_message, key) ||
            !to_complex_values(value, prefix + "elements['" + key.first + "', '" + key.second + "']",
                               frequency_count, values))
            return false;
        out[key] = std::move(values);
        return true;
    });
}

PyObject* element_values(const ElementMap& elements, const ElementKey& key, size_t frequency_count) {
    auto it = elements.find(key);
    if (it != elements.end()) return complex_array(it->second.data(), it->second.size());
    ComplexVector zeros(frequency_count);
    return complex_array(zeros.data(), zeros.size());
}

PyObject* elements_dict(const ElementMap& elements) {
    Ref dict(PyDict_New());
    for (const auto& [key, values] : elements) {
        Ref k(key_object(key));
        Ref v(complex_array(values.data(), values.size()));
        if (!dict || !k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* values_dict(const std::map<ElementKey, double>& values) {
    Ref dict(PyDict_New());
    for (const auto& [key, value] : values) {
        Ref k(key_object(key));
        Ref v(PyFloat_FromDouble(value));
        if (!dict || !k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* objects_dict(const NamedObjects& objects) {
    Ref dict(PyDict_New());
    for (const auto& [name, object] : objects) {
        Ref k(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
        Ref v(object ? wrap(object) : same(Py_None));
        if (!dict || !k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace whistle::py
