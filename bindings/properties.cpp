// `Properties`: entries readable as items and as attributes (entries shadow methods).
#include "core/foundation/properties.hpp"

#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kConversionError =
    "Only objects of type int, float, str, bytes, or sequences of those can be set as properties.";

bool to_item(PyObject* value, PropertyItem& out, bool nested);

bool scalar_item(PyObject* value, PropertyItem& out) {
    if (PyLong_Check(value)) {
        long long v = PyLong_AsLongLong(value);
        if (v == -1 && PyErr_Occurred()) return false;
        out.value = int64_t(v);
    } else if (PyFloat_Check(value)) {
        out.value = PyFloat_AS_DOUBLE(value);
    } else if (PyBytes_Check(value)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value, &data, &size) < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Error converting bytes object.");
            return false;
        }
        out.value = std::string(data, size_t(size));
    } else if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) return false;
        out.value = std::string(text, size_t(size));
    } else {
        return false;
    }
    return true;
}

// The items of a sequence; with `nested`, elements may be sequences of scalars themselves.
bool list_items(PyObject* sequence, PropertyItem::List& out, bool nested) {
    Ref items(sequence_items(sequence));
    if (!items) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, kConversionError);
        }
        return false;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    out.reserve(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PropertyItem item;
        if (!to_item(PyTuple_GET_ITEM(items.get(), i), item, nested)) return false;
        out.push_back(std::move(item));
    }
    return true;
}

bool is_value_sequence(PyObject* value) {
    return PySequence_Check(value) && !PyUnicode_Check(value) && !PyBytes_Check(value);
}

bool to_item(PyObject* value, PropertyItem& out, bool nested) {
    if (scalar_item(value, out)) return true;
    if (PyErr_Occurred()) return false;
    if (nested && is_value_sequence(value)) {
        PropertyItem::List list;
        if (!list_items(value, list, false)) return false;
        out.value = std::move(list);
        return true;
    }
    PyErr_SetString(PyExc_TypeError, kConversionError);
    return false;
}

bool to_value(PyObject* value, PropertyValue& out) {
    if (is_value_sequence(value)) return list_items(value, out, true);
    PropertyItem item;
    if (!to_item(value, item, false)) return false;
    out.push_back(std::move(item));
    return true;
}

PyObject* from_item(const PropertyItem& item);

PyObject* tuple_of(const PropertyItem::List& items) {
    Ref tuple(PyTuple_New(Py_ssize_t(items.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* element = from_item(items[i]);
        if (!element) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), element);
    }
    return tuple.release();
}

PyObject* from_item(const PropertyItem& item) {
    struct Visitor {
        PyObject* operator()(int64_t v) const { return PyLong_FromLongLong(v); }
        PyObject* operator()(double v) const { return PyFloat_FromDouble(v); }
        PyObject* operator()(const std::string& v) const {
            return PyBytes_FromStringAndSize(v.data(), Py_ssize_t(v.size()));
        }
        PyObject* operator()(const PropertyItem::List& v) const { return tuple_of(v); }
    };
    return std::visit(Visitor{}, item.value);
}

PyObject* from_value(const PropertyValue& value) {
    return value.size() == 1 ? from_item(value[0]) : tuple_of(value);
}

bool key_of(PyObject* key, std::string& out) {
    if (!PyUnicode_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "Property keys must be of type 'str'.");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (!text) return false;
    out.assign(text, size_t(size));
    return true;
}

// Null without an error when the key is absent.
PyObject* lookup(PyObject* self, PyObject* key) {
    std::shared_ptr<Properties> properties = unwrap<Properties>(self);
    std::string name;
    if (!properties || !key_of(key, name)) return nullptr;
    const PropertyValue* value = properties->find(name);
    return value ? from_value(*value) : nullptr;
}

PyObject* key_not_found() {
    PyErr_SetString(PyExc_KeyError, "Key not found in properties.");
    return nullptr;
}

PyObject* properties_subscript(PyObject* self, PyObject* key) {
    PyObject* value = lookup(self, key);
    return value || PyErr_Occurred() ? value : key_not_found();
}

int properties_assign(PyObject* self, PyObject* key, PyObject* value) {
    std::string name;
    PropertyValue stored;
    if (!key_of(key, name) || (value && !to_value(value, stored))) return -1;
    return modify<Properties>(self, [&](Properties& properties) {
        if (value)
            properties.set(name, std::move(stored));
        else
            properties.erase(name);
    }) ? 0 : -1;
}

PyObject* properties_getattro(PyObject* self, PyObject* name) {
    PyObject* value = lookup(self, name);
    if (value || PyErr_Occurred()) return value;
    value = PyObject_GenericGetAttr(self, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return key_not_found();
    }
    return value;
}

// Writes go to entries, except for the type's own data attributes (`_id`).
int properties_setattro(PyObject* self, PyObject* name, PyObject* value) {
    PyObject* descriptor = PyUnicode_Check(name) ? _PyType_Lookup(Py_TYPE(self), name) : nullptr;
    if (descriptor && Py_TYPE(descriptor)->tp_descr_set) return PyObject_GenericSetAttr(self, name, value);
    return properties_assign(self, name, value);
}

Py_ssize_t properties_length(PyObject* self) {
    std::shared_ptr<Properties> properties = unwrap<Properties>(self);
    return properties ? Py_ssize_t(properties->entries().size()) : -1;
}

PyObject* keys_list(PyObject* self) {
    std::shared_ptr<Properties> properties = unwrap<Properties>(self);
    if (!properties) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& entry : properties->entries()) {
        Ref key(PyUnicode_DecodeUTF8(entry.first.data(), Py_ssize_t(entry.first.size()), "replace"));
        if (!key || PyList_Append(list.get(), key.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* properties_iter(PyObject* self) {
    Ref keys(keys_list(self));
    return keys ? make_iterator(keys.get()) : nullptr;
}

int properties_contains(PyObject* self, PyObject* key) {
    Ref value(lookup(self, key));
    if (PyErr_Occurred()) return -1;
    return value ? 1 : 0;
}

int properties_init(PyObject* self, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) > 0) {
        PyErr_SetString(PyExc_RuntimeError, "Only keyword arguments are allowed in initializer.");
        return -1;
    }
    auto properties = std::make_shared<Properties>();
    if (kwds) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwds, &pos, &key, &value)) {
            std::string name;
            PropertyValue stored;
            if (!key_of(key, name) || !to_value(value, stored)) return -1;
            properties->set(name, std::move(stored));
        }
    }
    install(self, std::move(properties));
    return 0;
}

PyObject* method_keys(PyObject* self, PyObject*) { return keys_list(self); }

PyObject* method_get(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"key", "default", nullptr};
    const char* key = nullptr;
    PyObject* fallback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "s|O:get", (char**)keywords, &key, &fallback))
        return nullptr;
    std::shared_ptr<Properties> properties = unwrap<Properties>(self);
    if (!properties) return nullptr;
    if (const PropertyValue* value = properties->find(key)) return from_value(*value);
    Py_INCREF(fallback);
    return fallback;
}

PyMethodDef properties_methods[] = {
    {"keys", method_keys, METH_NOARGS, "Property keys."},
    {"get", (PyCFunction)(void (*)(void))method_get, METH_VARARGS | METH_KEYWORDS,
     "get(key, default=None)\n\nValue of a property, or default when absent."},
    WHISTLE_ADD_GDS_PROPERTY_METHOD,
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties_getset[] = {
    {"_id", get_id, set_id, "Internal object ID.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods properties_mapping = {properties_length, properties_subscript, properties_assign};
PySequenceMethods properties_sequence = {};

PyTypeObject properties_type = [] {
    PyTypeObject type =
        wrapper_type("tarnwhistle.Properties", "Properties(**kwargs)\n\nObject properties.",
                     properties_init, properties_methods, properties_getset);
    type.tp_as_mapping = &properties_mapping;
    properties_sequence.sq_contains = properties_contains;
    type.tp_as_sequence = &properties_sequence;
    type.tp_getattro = properties_getattro;
    type.tp_setattro = properties_setattro;
    type.tp_iter = properties_iter;
    return type;
}();

}  // namespace

PyTypeObject* Properties_type() {
    return register_exposed_type(TypeCode::Properties, &properties_type);
}

}  // namespace whistle::py
