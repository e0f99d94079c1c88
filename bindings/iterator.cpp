// `_Iterator`: a plain iterator over a snapshot list, used for container iteration.
#include "types.hpp"

namespace whistle::py {

namespace {

struct IteratorObject {
    PyObject_HEAD
    PyObject* items;
    Py_ssize_t index;
};

void iterator_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<IteratorObject*>(self)->items);
    Py_TYPE(self)->tp_free(self);
}

PyObject* iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<IteratorObject*>(self);
    if (!it->items || it->index >= PyList_GET_SIZE(it->items)) return nullptr;
    PyObject* item = PyList_GET_ITEM(it->items, it->index++);
    Py_INCREF(item);
    return item;
}

PyTypeObject iterator_type = [] {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "extension._Iterator";
    type.tp_doc = "Internal iterator.";
    type.tp_basicsize = sizeof(IteratorObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_dealloc = iterator_dealloc;
    type.tp_iter = PyObject_SelfIter;
    type.tp_iternext = iterator_next;
    return type;
}();

}  // namespace

PyTypeObject* _Iterator_type() { return &iterator_type; }

PyObject* make_iterator(PyObject* list) {
    auto* it = PyObject_New(IteratorObject, &iterator_type);
    if (!it) return nullptr;
    Py_INCREF(list);
    it->items = list;
    it->index = 0;
    return reinterpret_cast<PyObject*>(it);
}

}  // namespace whistle::py
