// `Interpolator`: one-parameter linear interpolation runs in the core; every other method is
// delegated to an object of scipy.interpolate built once from the core's working table.
#include "core/foundation/interpolator.hpp"

#include <string>

#include "types.hpp"

namespace whistle::py {

namespace {

using Method = Interpolator::Method;
using Variable = Interpolator::Variable;

struct InterpolatorObject {
    Wrapper base;
    PyObject* scipy;   // the delegate interpolator, built on demand
    PyObject* points;  // read-only array of the sample points, shared by `x` and the delegate
};

InterpolatorObject* fields(PyObject* self) { return reinterpret_cast<InterpolatorObject*>(self); }

// Errors without a more specific type use the binding layer's default.
bool fail(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
}

bool is_sequence(PyObject* obj) {
    return PySequence_Check(obj) && !PyUnicode_Check(obj) && !PyBytes_Check(obj) &&
           !(PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 0);
}

bool to_real(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool item_error(const std::string& name, Py_ssize_t index) {
    PyErr_Format(PyExc_RuntimeError, "Error parsing item '%s[%zd]'.", name.c_str(), index);
    return false;
}

// Appends the real values of a sequence, naming the failing item.
bool append_reals(PyObject* sequence, const std::string& name, std::vector<double>& out) {
    Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(sequence, i));
        double value;
        if (!item || !to_real(item.get(), value)) return item_error(name, i);
        out.push_back(value);
    }
    return true;
}

// ---- Construction arguments ------------------------------------------------------------

bool parse_samples(PyObject* obj, std::vector<double>& x, uint32_t& dims, uint32_t& samples) {
    if (!is_sequence(obj)) return fail("'x' must be a sequence.");
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    samples = uint32_t(size);
    if (size == 0) return fail("Independent variable 'x' cannot be empty.");
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item) return false;
        size_t before = x.size();
        if (is_sequence(item.get())) {
            if (!append_reals(item.get(), "x[" + std::to_string(i) + "]", x)) return false;
        } else {
            double value;
            if (!to_real(item.get(), value)) return item_error("x", i);
            x.push_back(value);
        }
        uint32_t item_dims = uint32_t(x.size() - before);
        if (i > 0 && item_dims != dims) return fail("All samples in 'x' must have the same dimension.");
        dims = item_dims;
    }
    return true;
}

bool parse_value(PyObject* obj, std::complex<double>& out, bool& is_complex) {
    if (PyComplex_Check(obj) || PyArray_IsScalar(obj, ComplexFloating)) {
        Py_complex value = PyComplex_AsCComplex(obj);
        if (value.real == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        out = {value.real, value.imag};
        is_complex = true;
        return true;
    }
    double value;
    if (!to_real(obj, value)) return false;
    out = value;
    return true;
}

// `size` is the sequence's length, already checked against the sample count.
bool parse_variable(PyObject* sequence, Py_ssize_t size, const std::string& name, Variable& out) {
    out.values.resize(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(sequence, i));
        if (!item || !parse_value(item.get(), out.values[size_t(i)], out.is_complex))
            return item_error(name, i);
    }
    return true;
}

// One flat sequence is a single variable; a sequence of sequences holds one per item.
bool parse_variables(PyObject* obj, uint32_t samples, std::vector<Variable>& variables,
                     bool& single_variable) {
    if (!is_sequence(obj)) return fail("'y' must be a sequence.");
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    Ref first(size > 0 ? PySequence_GetItem(obj, 0) : nullptr);
    single_variable = !first || !is_sequence(first.get());
    if (single_variable) {
        if (size != Py_ssize_t(samples)) return fail("'x' and 'y' must have the same length.");
        variables.resize(1);
        return parse_variable(obj, size, "y", variables[0]);
    }
    variables.resize(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item) return false;
        if (!is_sequence(item.get()) || PySequence_Size(item.get()) != Py_ssize_t(samples))
            return fail("Each 'y' value sequence must have the same size as 'x'.");
        if (!parse_variable(item.get(), Py_ssize_t(samples), "y[" + std::to_string(i) + "]",
                            variables[size_t(i)]))
            return false;
    }
    return true;
}

bool parse_parameter_names(PyObject* obj, uint32_t dims, std::vector<std::string>& names) {
    names.clear();
    if (obj == Py_None) return true;
    if (!obj || !is_sequence(obj)) return fail("'parameter_names' must be a sequence or None.");
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item) return false;
        if (!PyUnicode_Check(item.get()))
            return fail("All items in 'parameter_names' must be strings.");
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item.get(), &length);
        if (!text) return false;
        names.emplace_back(text, size_t(length));
    }
    if (size != Py_ssize_t(dims)) {
        PyErr_Format(PyExc_RuntimeError,
                     "'parameter_names' length (%zd) must match the number of parameters (%lld).",
                     size, (long long)dims);
        return false;
    }
    return true;
}

bool parse_options(const char* method, const char* coords, const char* extrapolation,
                   Interpolator::Options& options) {
    auto m = Interpolator::parse_method(method);
    if (!m) return fail("Invalid method");
    auto c = Interpolator::parse_coords(coords);
    if (!c) return fail("Invalid coords");
    auto e = Interpolator::parse_extrapolation(extrapolation);
    if (!e) return fail("Invalid extrapolation");
    options = {*m, *c, *e};
    return true;
}

// ---- Delegate interpolator -------------------------------------------------------------

template <class T>
T* array_data(PyObject* array) {
    return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

PyObject* copy_array(const std::vector<double>& values, std::initializer_list<npy_intp> shape) {
    PyObject* array = new_array(shape, NPY_FLOAT64);
    if (array) std::copy(values.begin(), values.end(), array_data<double>(array));
    return array;
}

// Real values are stored with zero imaginary parts; `complex` selects the array type.
PyObject* values_array(const std::complex<double>* values, bool complex,
                       std::initializer_list<npy_intp> shape) {
    PyObject* array = new_array(shape, complex ? NPY_COMPLEX128 : NPY_FLOAT64);
    if (!array) return nullptr;
    npy_intp size = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array));
    if (complex)
        std::copy_n(values, size, array_data<std::complex<double>>(array));
    else
        std::transform(values, values + size, array_data<double>(array),
                       [](const std::complex<double>& v) { return v.real(); });
    return array;
}

// Parameter values as a 1-D array for one parameter, rows × dims otherwise.
PyObject* parameter_array(const std::vector<double>& values, uint32_t dims) {
    npy_intp rows = npy_intp(values.size() / dims);
    return dims == 1 ? copy_array(values, {rows}) : copy_array(values, {rows, dims});
}

PyObject* read_only_points(const Interpolator& interp) {
    PyObject* points = parameter_array(interp.x(), interp.dims());
    if (points) PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(points), NPY_ARRAY_WRITEABLE);
    return points;
}

// Copies and objects loaded from files start without a cache.
PyObject* sample_points(PyObject* self, const Interpolator& interp) {
    InterpolatorObject* obj = fields(self);
    if (!obj->points) obj->points = read_only_points(interp);
    return obj->points;
}

struct DelegateClass {
    const char* name;
    const char* akima_method;  // the `method` keyword of the Akima classes
    bool extrapolate;
};

// Indexed by method; "linear" is delegated only with several parameters.
constexpr DelegateClass kDelegates[] = {
    {"LinearNDInterpolator", nullptr, false}, {"BarycentricInterpolator", nullptr, false},
    {"CubicSpline", nullptr, true},           {"PchipInterpolator", nullptr, true},
    {"Akima1DInterpolator", "akima", true},   {"Akima1DInterpolator", "makima", true},
};

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref hold(value);
    return value && PyDict_SetItemString(dict, key, value) == 0;
}

PyObject* build_delegate(PyObject* points, const Interpolator& interp) {
    Ref table(copy_array(interp.columns(), {npy_intp(interp.samples()), npy_intp(interp.column_count())}));
    Ref module(PyImport_ImportModule("scipy.interpolate"));
    if (!table || !module) return nullptr;
    Method method = interp.options().method;
    const DelegateClass& delegate = kDelegates[size_t(method)];
    Ref cls(PyObject_GetAttrString(module.get(), delegate.name));
    Ref args(PyTuple_Pack(2, points, table.get()));
    Ref kwargs(PyDict_New());
    if (!cls || !args || !kwargs) return nullptr;
    if (method != Method::kLinear && !set_item(kwargs.get(), "axis", PyLong_FromLong(0))) return nullptr;
    if (delegate.akima_method &&
        !set_item(kwargs.get(), "method", PyUnicode_FromString(delegate.akima_method)))
        return nullptr;
    if (delegate.extrapolate && !set_item(kwargs.get(), "extrapolate", Py_NewRef(Py_True)))
        return nullptr;
    return PyObject_Call(cls.get(), args.get(), kwargs.get());
}

// The cached delegate (new reference), built on first use.
PyObject* delegate(PyObject* self, const Interpolator& interp) {
    InterpolatorObject* obj = fields(self);
    if (!obj->scipy) {
        PyObject* points = sample_points(self, interp);
        if (!points) return nullptr;
        obj->scipy = build_delegate(points, interp);
    }
    return Py_XNewRef(obj->scipy);
}

// Calls the delegate on the query rows and copies its (count × C) result into `rows`.
bool delegate_rows(PyObject* scipy, const Interpolator& interp, std::vector<double>& queries,
                   size_t count, double* rows) {
    for (double& q : queries) q = interp.clip(q);
    Ref query(parameter_array(queries, interp.dims()));
    if (!query) return false;
    Ref result(PyObject_CallOneArg(scipy, query.get()));
    if (!result) return false;
    if (!PyArray_Check(result.get())) return fail("Expected array output.");
    auto* array = reinterpret_cast<PyArrayObject*>(result.get());
    if (PyArray_TYPE(array) != NPY_FLOAT64)
        return fail("Invalid output type. Expected 64-bit floats (double).");
    int ndim = PyArray_NDIM(array);
    const npy_intp* shape = PyArray_DIMS(array);
    long long width = (long long)interp.column_count();
    if (ndim != 2 || shape[0] != npy_intp(count) || shape[1] != width) {
        PyErr_Format(PyExc_RuntimeError,
                     "Invalid output. Expected dimension 2 and shape (%lld, %lld), got dimension "
                     "%d and shape (%lld, %lld).",
                     (long long)count, width, ndim, ndim > 0 ? (long long)shape[0] : 0LL,
                     ndim > 1 ? (long long)shape[1] : 0LL);
        return false;
    }
    Ref contiguous(PyArray_FROMANY(result.get(), NPY_FLOAT64, 2, 2, NPY_ARRAY_CARRAY));
    if (!contiguous) return false;
    std::copy_n(array_data<double>(contiguous.get()), count * interp.column_count(), rows);
    return true;
}

// ---- Queries ---------------------------------------------------------------------------

// Query rows of `dims` values; `single` when x was one query (a number, or one sample).
bool parse_queries(PyObject* x, uint32_t dims, std::vector<double>& queries, bool& single) {
    Ref list;
    if (PyArray_Check(x)) {  // nested lists of interpreter numbers parse like any sequence
        list = Ref(PyArray_ToList(reinterpret_cast<PyArrayObject*>(x)));
        if (!list) return false;
        x = list.get();
    }
    single = !is_sequence(x);
    if (single) {
        double value;
        if (dims == 1 && to_real(x, value)) {
            queries.push_back(value);
            return true;
        }
        if (dims == 1) return fail("'x' must be a number or sequence.");
        PyErr_Format(PyExc_RuntimeError, "'x' must have length %lld.", (long long)dims);
        return false;
    }
    Py_ssize_t size = PySequence_Size(x);
    if (size < 0) return false;
    if (size == 0) return fail("'x' must be a non-empty sequence.");
    if (dims == 1) {
        if (!append_reals(x, "x", queries)) {
            PyErr_Clear();
            return fail("'x' must be a number or sequence.");
        }
        return true;
    }
    Ref first(PySequence_GetItem(x, 0));
    if (!first) return false;
    single = !is_sequence(first.get());
    if (single) {
        if (size != Py_ssize_t(dims)) {
            PyErr_Format(PyExc_RuntimeError, "'x' must have length %lld.", (long long)dims);
            return false;
        }
        return append_reals(x, "x", queries);
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(x, i));
        if (!item) return false;
        if (!is_sequence(item.get()) || PySequence_Size(item.get()) != Py_ssize_t(dims)) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "All items in 'x' must have length %lld.", (long long)dims);
            return false;
        }
        if (!append_reals(item.get(), "x[" + std::to_string(i) + "]", queries)) return false;
    }
    return true;
}

// Scalar for one variable and one query; otherwise (k), (m) or (m, k) values.
PyObject* result_object(const Interpolator& interp, const std::vector<std::complex<double>>& values,
                        size_t count, bool single) {
    const bool complex = interp.any_complex();
    if (interp.single_variable() && single)
        return complex ? PyComplex_FromDoubles(values[0].real(), values[0].imag())
                       : PyFloat_FromDouble(values[0].real());
    npy_intp m = npy_intp(interp.variables().size());
    npy_intp k = npy_intp(count);
    if (interp.single_variable()) return values_array(values.data(), complex, {k});
    return single ? values_array(values.data(), complex, {m})
                  : values_array(values.data(), complex, {m, k});
}

PyObject* interpolator_call(PyObject* self, PyObject* args, PyObject* kwds) {
    Py_ssize_t keyword_count = kwds ? PyDict_GET_SIZE(kwds) : 0;
    PyObject* x = nullptr;
    if (PyTuple_GET_SIZE(args) == 1 && keyword_count == 0)
        x = PyTuple_GET_ITEM(args, 0);
    else if (PyTuple_GET_SIZE(args) == 0 && keyword_count == 1)
        x = PyDict_GetItemString(kwds, "x");
    if (!x) {
        PyErr_SetString(PyExc_TypeError, "__call__() takes exactly one argument 'x'.");
        return nullptr;
    }
    // The delegate is owned for the whole call as well: query conversions run interpreter
    // code, which may re-initialise this wrapper and release its object and delegate.
    std::shared_ptr<Interpolator> interp = unwrap<Interpolator>(self);
    if (!interp) return nullptr;
    Ref scipy(interp->native() ? nullptr : delegate(self, *interp));
    if (!interp->native() && !scipy) return nullptr;
    try {
        std::vector<double> queries;
        bool single = false;
        if (!parse_queries(x, interp->dims(), queries, single)) return nullptr;
        size_t count = queries.size() / interp->dims();
        std::vector<double> rows(count * interp->column_count());
        if (interp->native())
            interp->linear(queries.data(), count, rows.data());
        else if (!delegate_rows(scipy.get(), *interp, queries, count, rows.data()))
            return nullptr;
        return result_object(*interp, interp->values_from_columns(rows.data(), count), count, single);
    }
    WHISTLE_CATCH(nullptr)
}

// ---- Type ------------------------------------------------------------------------------

void clear_cache(PyObject* self) {
    Py_CLEAR(fields(self)->scipy);
    Py_CLEAR(fields(self)->points);
}

int interpolator_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"x", "y", "method", "coords", "extrapolation", "parameter_names",
                                     nullptr};
    PyObject* x_arg = nullptr;
    PyObject* y_arg = nullptr;
    const char* method = "linear";
    const char* coords = "real_imag";
    const char* extrapolation = "extrapolate";
    PyObject* names_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|sssO:Interpolator", (char**)keywords, &x_arg,
                                     &y_arg, &method, &coords, &extrapolation, &names_arg))
        return -1;
    try {
        Interpolator::Options options;
        std::vector<double> x;
        uint32_t dims = 0;
        uint32_t samples = 0;
        std::vector<Variable> variables;
        bool single_variable = true;
        std::vector<std::string> names;
        if (!parse_options(method, coords, extrapolation, options) ||
            !parse_samples(x_arg, x, dims, samples) ||
            !parse_variables(y_arg, samples, variables, single_variable) ||
            !parse_parameter_names(names_arg, dims, names))
            return -1;
        auto interp = std::make_shared<Interpolator>(std::move(x), dims, std::move(variables),
                                                     single_variable, options, std::move(names));
        if (interp->dims() > 1 && options.method != Method::kLinear) {
            PyErr_SetString(PyExc_ValueError,
                            "Multidimensional interpolation is only available with 'linear' method.");
            return -1;
        }
        // Built before installing, so that a failure leaves the previous state untouched.
        Ref points(read_only_points(*interp));
        if (!points) return -1;
        Ref scipy(interp->native() ? nullptr : build_delegate(points.get(), *interp));
        if (!interp->native() && !scipy) return -1;
        clear_cache(self);
        fields(self)->points = points.release();
        fields(self)->scipy = scipy.release();
        install(self, std::move(interp));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_x(PyObject* self, void*) {
    std::shared_ptr<Interpolator> interp = unwrap<Interpolator>(self);
    if (!interp) return nullptr;
    return Py_XNewRef(sample_points(self, *interp));
}

PyObject* variable_array(const Variable& variable) {
    npy_intp n = npy_intp(variable.values.size());
    return values_array(variable.values.data(), variable.is_complex, {n});
}

PyObject* get_y(PyObject* self, void*) {
    std::shared_ptr<Interpolator> interp = unwrap<Interpolator>(self);
    if (!interp) return nullptr;
    const auto& variables = interp->variables();
    if (interp->single_variable()) return variable_array(variables.front());
    Ref list(PyList_New(Py_ssize_t(variables.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < variables.size(); ++i) {
        PyObject* array = variable_array(variables[i]);
        if (!array) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), array);
    }
    return list.release();
}

template <class Option>
PyObject* option_name(PyObject* self, Option Interpolator::Options::*field) {
    std::shared_ptr<Interpolator> interp = unwrap<Interpolator>(self);
    if (!interp) return nullptr;
    std::string_view text = Interpolator::name(interp->options().*field);
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

PyObject* get_method(PyObject* self, void*) { return option_name(self, &Interpolator::Options::method); }
PyObject* get_coords(PyObject* self, void*) { return option_name(self, &Interpolator::Options::coords); }
PyObject* get_extrapolation(PyObject* self, void*) {
    return option_name(self, &Interpolator::Options::extrapolation);
}

PyObject* get_parameter_names(PyObject* self, void*) {
    std::shared_ptr<Interpolator> interp = unwrap<Interpolator>(self);
    if (!interp) return nullptr;
    const auto& names = interp->parameter_names();
    if (names.empty()) Py_RETURN_NONE;
    Ref tuple(PyTuple_New(Py_ssize_t(names.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(names[i].data(), Py_ssize_t(names[i].size()));
        if (!text) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), Py_ssize_t(i), text);
    }
    return tuple.release();
}

int set_parameter_names(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<Interpolator> interp = unwrap<Interpolator>(self);
    if (!interp) return -1;
    std::vector<std::string> names;
    if (!parse_parameter_names(value, interp->dims(), names)) return -1;
    interp->set_parameter_names(std::move(names));
    return 0;
}

PyMethodDef interpolator_methods[] = {
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef interpolator_getset[] = {
    {"x", get_x, nullptr, "Sample points.", nullptr},
    {"y", get_y, nullptr, "Sampled values: an array, or a list of arrays (one per variable).", nullptr},
    {"method", get_method, nullptr, "Interpolation method.", nullptr},
    {"coords", get_coords, nullptr, "Coordinates of complex values: 'real_imag' or 'mag_phase'.", nullptr},
    {"extrapolation", get_extrapolation, nullptr, "Extrapolation mode: 'extrapolate' or 'constant'.",
     nullptr},
    {"parameter_names", get_parameter_names, set_parameter_names, "Names of the parameters, or None.",
     nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void interpolator_dealloc(PyObject* self) {
    clear_cache(self);
    wrapper_dealloc(self);
}

PyTypeObject interpolator_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.Interpolator",
        "Interpolator(x, y, method=\"linear\", coords=\"real_imag\", extrapolation=\"extrapolate\", "
        "parameter_names=None)\n\nInterpolation of sampled data.",
        interpolator_init, interpolator_methods, interpolator_getset, sizeof(InterpolatorObject));
    type.tp_dealloc = interpolator_dealloc;
    type.tp_call = interpolator_call;
    return type;
}();

}  // namespace

PyTypeObject* Interpolator_type() {
    return register_exposed_type(TypeCode::Interpolator, &interpolator_type);
}

}  // namespace whistle::py
