#include "common.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/foundation/properties.hpp"

namespace whistle::py {

bool interpreter_finalizing = false;

namespace {

PyTypeObject* exposed_types[kTypeCodeCount] = {};

PyObject* wrapper_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) new (&reinterpret_cast<Wrapper*>(self)->object) std::shared_ptr<BaseType>();
    return self;
}

void release_object(Wrapper* w) {
    if (w->object && w->object->wrapper() == w) w->object->set_wrapper(nullptr);
    w->object.reset();
}

PyObject* text_form(PyObject* self, bool representation) {
    std::shared_ptr<BaseType> object = unwrap_base(self);
    if (!object) return nullptr;
    try {
        std::string text = object->str(representation);
        return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* wrapper_repr(PyObject* self) { return text_form(self, true); }
PyObject* wrapper_str(PyObject* self) { return text_form(self, false); }

PyObject* wrapper_richcompare(PyObject* a, PyObject* b, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    BaseType* x = reinterpret_cast<Wrapper*>(a)->object.get();
    if (!x || !is_instance(b, x->type_code())) Py_RETURN_NOTIMPLEMENTED;
    BaseType* y = reinterpret_cast<Wrapper*>(b)->object.get();
    try {
        bool equal = x == y || x->equals(*y);
        return PyBool_FromLong(equal == (op == Py_EQ));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace

void wrapper_dealloc(PyObject* self) {
    Wrapper* w = reinterpret_cast<Wrapper*>(self);
    release_object(w);
    w->object.~shared_ptr();
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject wrapper_type(const char* name, const char* doc, initproc init, PyMethodDef* methods,
                          PyGetSetDef* getset, Py_ssize_t basic_size) {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = name;
    type.tp_doc = doc;
    type.tp_basicsize = basic_size;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_new = wrapper_new;
    type.tp_dealloc = wrapper_dealloc;
    type.tp_repr = wrapper_repr;
    type.tp_str = wrapper_str;
    type.tp_richcompare = wrapper_richcompare;
    type.tp_init = init;
    type.tp_methods = methods;
    type.tp_getset = getset;
    return type;
}

PyTypeObject* register_exposed_type(TypeCode code, PyTypeObject* type) {
    exposed_types[int(code)] = type;
    return type;
}

PyTypeObject* exposed_type(TypeCode code) { return exposed_types[int(code)]; }

void install(PyObject* self, std::shared_ptr<BaseType> object) {
    Wrapper* w = reinterpret_cast<Wrapper*>(self);
    release_object(w);
    object->set_wrapper(self);
    w->object = std::move(object);
}

PyObject* wrap(const std::shared_ptr<BaseType>& object) {
    if (!object) Py_RETURN_NONE;
    if (PyObject* existing = static_cast<PyObject*>(object->wrapper())) {
        Py_INCREF(existing);
        return existing;
    }
    PyTypeObject* type = exposed_type(object->type_code());
    if (!type) {
        PyErr_Format(PyExc_RuntimeError, "Type '%s' is not exposed.",
                     std::string(type_name(int(object->type_code()))).c_str());
        return nullptr;
    }
    PyObject* self = wrapper_new(type, nullptr, nullptr);
    if (!self) return nullptr;
    install(self, object);
    return self;
}

std::shared_ptr<BaseType> unwrap_base(PyObject* self) {
    std::shared_ptr<BaseType> object = reinterpret_cast<Wrapper*>(self)->object;
    if (!object)
        PyErr_Format(PyExc_RuntimeError, "'%s' object is not initialized.", Py_TYPE(self)->tp_name);
    return object;
}

bool is_instance(PyObject* obj, TypeCode code) {
    PyTypeObject* type = exposed_type(code);
    return type && PyObject_TypeCheck(obj, type) && reinterpret_cast<Wrapper*>(obj)->object;
}

// ---- Shared members --------------------------------------------------------------------

PyObject* method_copy(PyObject* self, PyObject*) {
    std::shared_ptr<BaseType> object = unwrap_base(self);
    if (!object) return nullptr;
    try {
        return wrap(object->clone());
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_deepcopy(PyObject* self, PyObject* memo) {
    if (memo != Py_None && !PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "Deepcopy memo must be a dictionary.");
        return nullptr;
    }
    return method_copy(self, nullptr);
}

PyObject* get_id(PyObject* self, void*) {
    std::shared_ptr<BaseType> object = unwrap_base(self);
    if (!object) return nullptr;
    try {
        return PyUnicode_FromString(object->id_text().c_str());
    }
    WHISTLE_CATCH(nullptr)
}

int set_id(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "'_id' must be a string.");
        return -1;
    }
    const char* text = PyUnicode_AsUTF8(value);
    if (!text) return -1;
    return modify<BaseType>(self, [&](BaseType& object) { object.set_id_text(text); }) ? 0 : -1;
}

PyObject* get_properties(PyObject* self, void*) {
    std::shared_ptr<BaseType> object = unwrap_base(self);
    if (!object) return nullptr;
    return wrap(object->properties());
}

int set_properties(PyObject* self, PyObject* value, void*) {
    if (!value || !is_instance(value, TypeCode::Properties)) {
        PyErr_SetString(PyExc_TypeError, "Value must be an instance of 'Properties'.");
        return -1;
    }
    std::shared_ptr<Properties> source = unwrap<Properties>(value);
    return modify<BaseType>(self, [&](BaseType& object) {
        Properties& target = *object.properties();
        if (source.get() == &target) return;
        // Copied first: source and target are independent afterwards.
        auto entries = source->entries();
        for (auto& [key, item] : entries) target.set(key, std::move(item));
    }) ? 0 : -1;
}

PyObject* method_add_gds_property(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"attribute", "value", nullptr};
    long long attribute = 0;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "LO:add_gds_property", (char**)keywords,
                                     &attribute, &value))
        return nullptr;
    if (attribute < 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'attribute' cannot be negative.");
        return nullptr;
    }
    std::string bytes;
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(value, &size);
        if (!text) return nullptr;
        bytes.assign(text, size_t(size));
    } else if (PyBytes_Check(value)) {
        bytes.assign(PyBytes_AS_STRING(value), size_t(PyBytes_GET_SIZE(value)));
    } else {
        PyErr_SetString(PyExc_TypeError, "Argument 'value' must be a str or bytes instance.");
        return nullptr;
    }
    return modify<BaseType>(self, [&](BaseType& object) {
        // A Properties object receives the property itself; any other object in its container.
        Properties& target = object.type_code() == TypeCode::Properties
                                 ? static_cast<Properties&>(object)
                                 : *object.properties();
        target.add_gds_property(attribute, std::move(bytes));
    }) ? same(self) : nullptr;
}

// ---- Diagnostics -----------------------------------------------------------------------

namespace {

// False with an exception set, or when the warning became one.
bool raise_message(PyObject* category, const std::string& text, bool warning) {
    Ref message(PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace"));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (!utf8) return false;
    if (warning) return PyErr_WarnEx(category, utf8, 1) == 0;
    PyErr_SetString(category, utf8);
    return false;
}

}  // namespace

bool check_status(const ErrorHandler& status, bool warnings_first) {
    if (status.failed() && !warnings_first) return raise_message(PyExc_RuntimeError, status.message, false);
    for (const std::string& text : status.warnings)
        if (!raise_message(PyExc_RuntimeWarning, text, true)) return false;
    if (status.failed()) return raise_message(PyExc_RuntimeError, status.message, false);
    return !PyErr_Occurred();
}

void raise_exception(const std::exception& e) {
    if (dynamic_cast<const InterpreterError*>(&e) && PyErr_Occurred()) return;
    if (dynamic_cast<const std::bad_alloc*>(&e))
        PyErr_NoMemory();
    else if (dynamic_cast<const RangeError*>(&e))
        PyErr_SetString(PyExc_ValueError, e.what());
    else
        PyErr_SetString(PyExc_RuntimeError, e.what());
}

// ---- Converters ------------------------------------------------------------------------

namespace {

// float() of a number; ints skip the temporary float object that PyFloat_AsDouble makes.
double float_value(PyObject* obj) {
    return PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
}

// A coordinate beyond the supported range (or not finite).
bool item_range_error(const char* name, size_t index) {
    PyErr_Format(PyExc_ValueError, "'%s[%zu]' is out of range.", name, index);
    return false;
}

bool item_parse_error(const char* name, size_t index) {
    PyErr_Clear();
    PyErr_Format(PyExc_RuntimeError, "Error parsing item '%s[%zu]'.", name, index);
    return false;
}

bool sequence_of_two(PyObject* obj, const char* name, double& a, double& b) {
    // Tuples and lists, by far the most common points, skip the generic sequence protocol.
    if ((PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) && Py_SIZE(obj) == 2) {
        // Own the items: a conversion may run code that changes the list.
        Ref first(Py_NewRef(PySequence_Fast_GET_ITEM(obj, 0)));
        Ref second(Py_NewRef(PySequence_Fast_GET_ITEM(obj, 1)));
        a = float_value(first.get());
        if (a == -1.0 && PyErr_Occurred()) return item_parse_error(name, 0);
        b = float_value(second.get());
        if (b == -1.0 && PyErr_Occurred()) return item_parse_error(name, 1);
        return true;
    }
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) ||
        PySequence_Size(obj) != 2) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of %zu numbers.", name, size_t(2));
        return false;
    }
    double values[2];
    for (size_t i = 0; i < 2; ++i) {
        Ref item(PySequence_GetItem(obj, Py_ssize_t(i)));
        values[i] = item ? float_value(item.get()) : -1.0;
        if (!item || (values[i] == -1.0 && PyErr_Occurred())) return item_parse_error(name, i);
    }
    a = values[0];
    b = values[1];
    return true;
}

}  // namespace

bool to_point(PyObject* obj, const char* name, Vec2& out, bool required) {
    if (!obj || obj == Py_None) {
        if (required) {
            PyErr_Format(PyExc_TypeError, "'%s' cannot be 'None'.", name);
            return false;
        }
        out = {0, 0};
        return true;
    }
    if (PyComplex_Check(obj)) {
        out = {PyComplex_RealAsDouble(obj), PyComplex_ImagAsDouble(obj)};
        return true;
    }
    return sequence_of_two(obj, name, out.x, out.y);
}

bool to_point(PyObject* obj, const char* name, Vector& out, bool required) {
    Vec2 value;
    if (!to_point(obj, name, value, required)) return false;
    if (!has_units(value.x)) return item_range_error(name, 0);
    if (!has_units(value.y)) return item_range_error(name, 1);
    out = {to_db(value.x), to_db(value.y)};
    return true;
}

bool to_optional_point(PyObject* obj, const char* name, std::optional<Vector>& out) {
    if (!obj || obj == Py_None) return true;
    Vector point;
    if (!to_point(obj, name, point, true)) return false;
    out = point;
    return true;
}

bool to_length(double microns, const char* name, Coord& out) {
    if (!has_units(microns)) {
        PyErr_Format(PyExc_ValueError, "'%s' is out of range.", name);
        return false;
    }
    out = to_db(microns);
    return true;
}

bool to_radius_pair(PyObject* obj, const char* name, Vec2& out) {
    // A complex number is a number without a float value here, not a point.
    if (obj && PyNumber_Check(obj) && !PyArray_Check(obj)) {
        double value = float_value(obj);
        if (value == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "Unable to get value from '%s'.", name);
            return false;
        }
        out = {value, value};
        return true;
    }
    return to_point(obj, name, out, true);
}

bool to_number(PyObject* value, const char* name, double& out) {
    if (!value || !PyNumber_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a number.", name);
        return false;
    }
    out = PyFloat_AsDouble(value);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_file_name(PyObject* obj, std::string& out) {
    PyObject* path = PyOS_FSPath(obj);
    if (!path) return false;
    PyObject* bytes = nullptr;
    bool ok = PyUnicode_FSConverter(path, &bytes);
    Py_DECREF(path);
    if (!ok) return false;
    out.assign(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return true;
}

bool to_numbers(PyObject* obj, const char* name, std::vector<double>& out) {
    if (!obj || !PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of numbers.", name);
        return false;
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    std::vector<double> values;
    values.reserve(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        double v = item ? PyFloat_AsDouble(item.get()) : -1.0;
        if (!item || (v == -1.0 && PyErr_Occurred())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "Cannot convert array '%s[%zu]' to number.", name, size_t(i));
            return false;
        }
        values.push_back(v);
    }
    out = std::move(values);
    return true;
}

namespace {

// An N×2 array of real numbers: read directly, without an interpreter object per value.
bool is_real_point_array(PyObject* obj) {
    if (!obj || !PyArray_Check(obj)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    return PyArray_NDIM(array) == 2 && PyArray_DIM(array, 1) == 2 &&
           (PyArray_ISFLOAT(array) || PyArray_ISINTEGER(array) || PyArray_ISBOOL(array));
}

bool read_point_array(PyObject* obj, const char* name, std::vector<Vector>& out) {
    // The cast gives the values float() gives for each item; contiguous float64 is not copied.
    Ref values(PyArray_FROM_OTF(obj, NPY_FLOAT64, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!values) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(values.get());
    const double* data = static_cast<const double*>(PyArray_DATA(array));
    std::vector<Vector> points(size_t(PyArray_DIM(array, 0)));
    for (size_t i = 0; i < points.size(); ++i, data += 2) {
        if (!has_units(data[0]) || !has_units(data[1])) return item_range_error(name, i);
        points[i] = {to_db(data[0]), to_db(data[1])};
    }
    out = std::move(points);
    return true;
}

}  // namespace

bool to_points(PyObject* obj, const char* name, std::vector<Vector>& out) {
    if (is_real_point_array(obj)) return read_point_array(obj, name, out);
    if (!obj || !PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence type object.", name);
        return false;
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    std::vector<Vector> points;
    points.reserve(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        Vec2 p;
        if (!item || !to_point(item.get(), name, p, true)) return item_parse_error(name, size_t(i));
        if (!has_units(p.x) || !has_units(p.y)) return item_range_error(name, size_t(i));
        points.push_back({to_db(p.x), to_db(p.y)});
    }
    out = std::move(points);
    return true;
}

bool to_strict_bool(PyObject* value, bool& out) {
    if (value != Py_True && value != Py_False) {
        PyErr_SetString(PyExc_RuntimeError, "Expected 'True' or 'False'.");
        return false;
    }
    out = value == Py_True;
    return true;
}

PyObject* new_array(std::initializer_list<npy_intp> shape, int type) {
    PyObject* array = PyArray_SimpleNew(int(shape.size()), const_cast<npy_intp*>(shape.begin()), type);
    if (!array) PyErr_SetString(PyExc_MemoryError, "Unable to create return array.");
    return array;
}

PyObject* new_float_array(size_t rows, size_t columns, double*& data) {
    PyObject* array = columns == 0 ? new_array({npy_intp(rows)}, NPY_FLOAT64)
                                   : new_array({npy_intp(rows), npy_intp(columns)}, NPY_FLOAT64);
    if (array) data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    return array;
}

PyObject* vector_array(const double* values, size_t count) {
    double* data = nullptr;
    PyObject* array = new_float_array(count, 0, data);
    if (array) std::copy(values, values + count, data);
    return array;
}

PyObject* points_array(const std::vector<Vector>& points) {
    double* data = nullptr;
    PyObject* array = new_float_array(points.size(), 2, data);
    if (!array) return nullptr;
    for (const Vector& p : points) {
        *data++ = from_db(p.x);
        *data++ = from_db(p.y);
    }
    return array;
}

}  // namespace whistle::py
