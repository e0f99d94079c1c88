// Parametric data of components and models: the name of the function that rebuilds the
// object, its keyword arguments and random variables, as the attributes of both types.
#pragma once

#include "interpreter_objects.hpp"
#include "model.hpp"
#include "structure.hpp"

namespace whistle::py {

// A dict {"function": str | None, "kwargs": dict | None, "random_variables": list}. Objects may
// share the holder (copies), so every change builds a new one.
class PyParametricData final : public PyNative {
public:
    explicit PyParametricData(PyObject* dict) : PyNative(TypeCode::Void, dict) {}
    std::shared_ptr<BaseType> clone() const override {
        return std::make_shared<PyParametricData>(*this);
    }

    // Borrowed item of a holder (may be null); null when absent.
    static PyObject* item(const std::shared_ptr<BaseType>& holder, const char* key);
    // A new holder: the items of `holder` with `key` set to `value`. Null with an exception set.
    static std::shared_ptr<BaseType> with_item(const std::shared_ptr<BaseType>& holder,
                                               const char* key, PyObject* value);
};

// Attribute functions over the `parametric_data` field of T.
template <class T>
PyObject* get_parametric(PyObject* self, const char* key) {
    auto object = unwrap<T>(self);
    if (!object) return nullptr;
    PyObject* value = PyParametricData::item(object->parametric_data, key);
    return Py_NewRef(value ? value : Py_None);
}

// Sets one item after the value is converted.
template <class T>
int set_parametric(PyObject* self, const char* key, PyObject* value) {
    auto object = unwrap<T>(self);
    if (!object) return -1;
    std::shared_ptr<BaseType> holder = PyParametricData::with_item(object->parametric_data, key, value);
    if (!holder) return -1;
    return modify<T>(self, [&](T& target) { target.parametric_data = holder; }) ? 0 : -1;
}

template <class T>
PyObject* get_parametric_function(PyObject* self, void*) {
    return get_parametric<T>(self, "function");
}

template <class T>
int set_parametric_function(PyObject* self, PyObject* value, void*) {
    std::string name;
    if (!check_not_deleted(value, "parametric_function") ||
        (value != Py_None && !to_text(value, "parametric_function", name)))
        return -1;
    return set_parametric<T>(self, "function", value);
}

template <class T>
PyObject* get_parametric_kwargs(PyObject* self, void*) {
    return get_parametric<T>(self, "kwargs");
}

template <class T>
int set_parametric_kwargs(PyObject* self, PyObject* value, void*) {
    if (!check_not_deleted(value, "parametric_kwargs")) return -1;
    Ref copy(parametric_kwargs_value(value));
    return copy ? set_parametric<T>(self, "kwargs", copy.get()) : -1;
}

template <class T>
PyObject* get_random_variables(PyObject* self, void*) {
    auto object = unwrap<T>(self);
    if (!object) return nullptr;
    PyObject* value = PyParametricData::item(object->parametric_data, "random_variables");
    return value && PyList_Check(value) ? PySequence_List(value) : PyList_New(0);
}

template <class T>
int set_random_variables(PyObject* self, PyObject* value, void*) {
    if (!check_not_deleted(value, "random_variables")) return -1;
    Ref list(random_variables_value(value));
    return list ? set_parametric<T>(self, "random_variables", list.get()) : -1;
}

}  // namespace whistle::py

#define WHISTLE_PARAMETRIC_GETSET(T, what)                                                   \
    {"parametric_function", whistle::py::get_parametric_function<T>,                           \
     whistle::py::set_parametric_function<T>,                                                  \
     "str | None: Registered function that creates this " what ".", nullptr},                  \
    {"parametric_kwargs", whistle::py::get_parametric_kwargs<T>,                               \
     whistle::py::set_parametric_kwargs<T>,                                                    \
     "dict | None: Keyword arguments that rebuild this " what ".", nullptr},                   \
    {"random_variables", whistle::py::get_random_variables<T>,                                 \
     whistle::py::set_random_variables<T>, "list: Random variables of this " what ".", nullptr}
