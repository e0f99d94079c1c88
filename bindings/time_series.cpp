// `TimeSeries`: sampled complex envelopes by signal name.
#include "core/circuit/time_series.hpp"

#include <stdexcept>

#include "types.hpp"

namespace whistle::py {

namespace {

using Row = TimeSeries::Row;

PyObject* text_object(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

// One row of values: any 1-D sequence of numbers convertible to complex.
bool to_row(PyObject* obj, const std::string& key, Row& out) {
    Ref array(PyArray_FROM_OTF(obj, NPY_COMPLEX128, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) > 1) {
        if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'values['%s']' must be a sequence of complex numbers.", key.c_str());
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const auto* data = static_cast<const TimeSeries::Complex*>(PyArray_DATA(a));
    out.assign(data, data + PyArray_SIZE(a));
    return true;
}

bool to_rows(PyObject* obj, std::vector<std::string>& keys, std::vector<Row>& rows) {
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "'values' must be a dictionary mapping port names to sequences of values.");
        return false;
    }
    Ref items(PyDict_Items(obj));  // a snapshot: converting a value may change the dict
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        const char* key = PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0)) : nullptr;
        if (!key) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "Keys in 'values' must be strings.");
            return false;
        }
        keys.emplace_back(key);
        rows.emplace_back();
        if (!to_row(PyTuple_GET_ITEM(item, 1), keys.back(), rows.back())) return false;
    }
    return true;
}

int time_series_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"values", "time_step", "time_index", nullptr};
    PyObject* values;
    double time_step;
    long long time_index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Od|L:TimeSeries", (char**)keywords, &values,
                                     &time_step, &time_index))
        return -1;
    std::vector<std::string> keys;
    std::vector<Row> rows;
    if (!to_rows(values, keys, rows)) return -1;
    try {
        install(self, std::make_shared<TimeSeries>(std::move(keys), std::move(rows), time_step, time_index));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_values(PyObject* self, void*) {
    auto series = unwrap<TimeSeries>(self);
    if (!series) return nullptr;
    Ref dict(PyDict_New());
    for (size_t i = 0; dict && i < series->keys().size(); ++i) {
        Ref key(text_object(series->keys()[i]));
        Ref row(complex_array(series->rows()[i].data(), series->length()));
        if (!key || !row || PyDict_SetItem(dict.get(), key.get(), row.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* get_time_step(PyObject* self, void*) {
    auto series = unwrap<TimeSeries>(self);
    return series ? PyFloat_FromDouble(series->time_step()) : nullptr;
}

int set_time_step(PyObject* self, PyObject* value, void*) {
    double time_step;
    if (!to_number(value, "time_step", time_step)) return -1;
    return modify<TimeSeries>(self, [&](TimeSeries& s) { s.set_time_step(time_step); }) ? 0 : -1;
}

PyObject* get_time_index(PyObject* self, void*) {
    auto series = unwrap<TimeSeries>(self);
    return series ? PyLong_FromLongLong(series->time_index()) : nullptr;
}

int set_time_index(PyObject* self, PyObject* value, void*) {
    long long index = value && PyLong_Check(value) ? PyLong_AsLongLong(value) : -1;
    if (!value || !PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "'time_index' must be an integer.");
        return -1;
    }
    if (index == -1 && PyErr_Occurred()) return -1;
    return modify<TimeSeries>(self, [&](TimeSeries& s) { s.set_time_index(index); }) ? 0 : -1;
}

PyObject* get_times(PyObject* self, void*) {
    auto series = unwrap<TimeSeries>(self);
    if (!series) return nullptr;
    double* data = nullptr;
    PyObject* array = new_float_array(series->length(), 0, data);
    for (size_t k = 0; array && k < series->length(); ++k)
        data[k] = double(series->time_index() + int64_t(k)) * series->time_step();
    return array;
}

PyObject* get_raw_data(PyObject* self, void*) {
    auto series = unwrap<TimeSeries>(self);
    if (!series) return nullptr;
    size_t count = series->keys().size(), length = series->length();
    Ref keys(new_list(count, [&](size_t i) { return text_object(series->keys()[i]); }));
    Ref matrix(new_array({npy_intp(count), npy_intp(length)}, NPY_COMPLEX128));
    if (!keys || !matrix) return nullptr;
    auto* data = static_cast<TimeSeries::Complex*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(matrix.get())));
    for (const Row& row : series->rows()) data = std::copy(row.begin(), row.end(), data);
    return PyTuple_Pack(2, keys.get(), matrix.get());
}

PyObject* time_series_subscript(PyObject* self, PyObject* key) {
    auto series = unwrap<TimeSeries>(self);
    if (!series) return nullptr;
    if (PyUnicode_Check(key)) {
        const char* name = PyUnicode_AsUTF8(key);
        if (!name) return nullptr;
        const Row* row = series->row(name);
        if (!row) {
            PyErr_SetString(PyExc_KeyError, "Key not found in TimeSeries.");
            return nullptr;
        }
        return complex_array(row->data(), row->size());
    }
    if (!PyLong_Check(key)) {
        PyErr_SetString(PyExc_TypeError, "TimeSeries keys must be strings or integers.");
        return nullptr;
    }
    int overflow = 0;
    long long index = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || index < series->time_index() || index >= series->end_index()) {
        PyErr_Format(PyExc_IndexError, "TimeSeries index out of range (index >= %lld and index < %lld).",
                     (long long)series->time_index(), (long long)series->end_index());
        return nullptr;
    }
    size_t k = size_t(index - series->time_index());
    Ref dict(PyDict_New());
    for (size_t i = 0; dict && i < series->keys().size(); ++i) {
        const TimeSeries::Complex& value = series->rows()[i][k];
        Ref name(text_object(series->keys()[i]));
        Ref number(PyComplex_FromDoubles(value.real(), value.imag()));
        if (!name || !number || PyDict_SetItem(dict.get(), name.get(), number.get()) < 0) return nullptr;
    }
    return dict.release();
}

// The number zero, which adding leaves a series unchanged (so sum() works).
bool is_zero(PyObject* obj) {
    if (!PyLong_Check(obj) && !PyFloat_Check(obj)) return false;
    int result = PyObject_RichCompareBool(obj, Ref(PyLong_FromLong(0)).get(), Py_EQ);
    if (result < 0) PyErr_Clear();
    return result == 1;
}

PyObject* time_series_add(PyObject* a, PyObject* b) {
    if (is_zero(a)) return same(b);
    if (is_zero(b)) return same(a);
    if (!is_instance(a, TypeCode::TimeSeries) || !is_instance(b, TypeCode::TimeSeries)) {
        PyErr_SetString(PyExc_TypeError, "Operation can only be performed between TimeSeries objects.");
        return nullptr;
    }
    auto first = unwrap<TimeSeries>(a);
    auto second = unwrap<TimeSeries>(b);
    if (!first || !second) return nullptr;
    try {
        return wrap(std::make_shared<TimeSeries>(first->followed_by(*second)));
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef time_series_methods[] = {
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef time_series_getset[] = {
    WHISTLE_BASE_GETSET,
    {"values", get_values, nullptr, "dict: Samples (complex arrays) by key.", nullptr},
    WHISTLE_ATTRIBUTE(time_step, "float: Seconds between samples."),
    WHISTLE_ATTRIBUTE(time_index, "int: Index of the first sample."),
    {"times", get_times, nullptr, "numpy.ndarray: Time of each sample (s).", nullptr},
    {"_raw_data", get_raw_data, nullptr, "tuple: (keys, matrix with one row per key).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyNumberMethods time_series_number = [] {
    PyNumberMethods methods{};
    methods.nb_add = time_series_add;
    return methods;
}();
PyMappingMethods time_series_mapping = {nullptr, time_series_subscript, nullptr};

constexpr char kTimeSeriesDoc[] =
    "TimeSeries(values, time_step, time_index=0)\n\nComplex signals sampled every time_step "
    "seconds, by key; sample k of each row is at time (time_index + k)·time_step. Shorter rows "
    "are padded with zeros. Indexing with a key gives its row, with an integer time index the "
    "dict of values at that index; adding a series that starts where this one ends joins them.";

PyTypeObject time_series_type = [] {
    PyTypeObject type = wrapper_type("tarnwhistle.TimeSeries", kTimeSeriesDoc, time_series_init,
                                     time_series_methods, time_series_getset);
    type.tp_as_mapping = &time_series_mapping;
    type.tp_as_number = &time_series_number;
    return type;
}();

}  // namespace

PyTypeObject* TimeSeries_type() { return register_exposed_type(TypeCode::TimeSeries, &time_series_type); }

}  // namespace whistle::py
