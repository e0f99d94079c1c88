#include "parametric.hpp"

#include <cstring>

namespace whistle::py {

namespace {
constexpr const char* kParametricKeys[] = {"function", "kwargs", "random_variables"};
}

PyObject* PyParametricData::item(const std::shared_ptr<BaseType>& holder, const char* key) {
    PyObject* dict = holder ? static_cast<PyNative*>(holder.get())->value() : nullptr;
    return dict && PyDict_Check(dict) ? PyDict_GetItemString(dict, key) : nullptr;
}

std::shared_ptr<BaseType> PyParametricData::with_item(const std::shared_ptr<BaseType>& holder,
                                                      const char* key, PyObject* value) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const char* k : kParametricKeys) {
        PyObject* current = std::strcmp(k, key) == 0 ? value : item(holder, k);
        if (PyDict_SetItemString(dict.get(), k, current ? current : Py_None) < 0) return nullptr;
    }
    try {
        return std::make_shared<PyParametricData>(dict.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace whistle::py
