// Module entry and the small module functions of the foundation.
#define WHISTLE_NUMPY_OWNER
#include "numpy.hpp"

#include <datetime.h>

#include <cmath>

#include "core/circuit/s_matrix.hpp"
#include "core/foundation/config.hpp"
#include "interpreter_objects.hpp"
#include "store_codecs.hpp"
#include "types.hpp"
#include "value_codec.hpp"

namespace whistle::py {

namespace {

void on_interpreter_exit() { interpreter_finalizing = true; }

bool import_numpy() {
    // NumPy's standard import: locates _ARRAY_API under numpy._core or numpy.core and checks
    // ABI, C-API version and byte order.
    if (_import_array() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        return false;
    }
    return true;
}

#define WHISTLE_METHOD_ENTRY(name, flags, doc) \
    {#name, (PyCFunction)(void (*)(void))function_##name, flags, doc},
PyMethodDef module_functions[] = {
    WHISTLE_FUNCTIONS(WHISTLE_METHOD_ENTRY)
    {nullptr, nullptr, 0, nullptr},
};
#undef WHISTLE_METHOD_ENTRY

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnwhistle.extension",
    "Design, simulation and verification of optical components.",
    -1,
    module_functions,
};

struct TypeEntry {
    const char* name;
    PyTypeObject* (*type)();
};

#define WHISTLE_TYPE_ENTRY(name) {#name, name##_type},
const TypeEntry type_table[] = {WHISTLE_TYPES(WHISTLE_TYPE_ENTRY)};
#undef WHISTLE_TYPE_ENTRY

bool add_object(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return false;
    }
    return true;
}

bool add_types(PyObject* module) {
    for (const TypeEntry& entry : type_table) {
        PyTypeObject* type = entry.type();
        if (PyType_Ready(type) < 0) return false;
        Py_INCREF(type);
        if (!add_object(module, entry.name, reinterpret_cast<PyObject*>(type))) return false;
    }
    return true;
}

bool add_registries(PyObject* module) {
    for (const char* name : {"_model_registry", "_time_stepper_registry", "_component_registry",
                             "_technology_registry"})
        if (!add_object(module, name, PyDict_New())) return false;
    if (PyObject_HasAttrString(module, "basic_technology")) {
        Ref function(PyObject_GetAttrString(module, "basic_technology"));
        PyObject* registry = PyObject_GetAttrString(module, "_technology_registry");
        Ref hold(registry);
        if (!function || !registry ||
            PyDict_SetItemString(registry, "tarnwhistle.basic_technology", function.get()) < 0)
            return false;
    }
    return true;
}

PyObject* create_module() {
    if (Py_AtExit(on_interpreter_exit) < 0) return nullptr;
    if (!import_numpy()) return nullptr;
    if (!create_prototypes()) return nullptr;
    PyDateTime_IMPORT;
    PyErr_Clear();

    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* m = module.get();
    if (!add_object(m, "__version__", PyUnicode_FromString("2.0.0"))) return nullptr;
    if (!add_types(m)) return nullptr;
    if (!add_object(m, "config", create_config_object())) return nullptr;
    if (!create_config_dicts()) return nullptr;
    Py_INCREF(Py_False);
    if (!add_object(m, "_local_fenn3d_solver", Py_False)) return nullptr;
    if (!add_object(m, "Z_MAX", PyFloat_FromDouble(1e7))) return nullptr;
    if (!add_object(m, "Z_INF", PyFloat_FromDouble(2e7))) return nullptr;
    if (!add_object(m, "C_0", PyFloat_FromDouble(kSpeedOfLightUm))) return nullptr;
    if (!add_registries(m)) return nullptr;
    if (!fill_solver_cache()) return nullptr;
    install_value_codecs();
    install_interpreter_codecs();
    return module.release();
}

// ---- Grid functions --------------------------------------------------------------------

enum class Rounding { kNearest, kFloor, kCeil };

// Values and steps below this many units snap in 64-bit integers without overflow.
constexpr double kSnapLimit = 0x1p62;

// Snaps one value given in micrometres to a step in database units.
double snap_value(double value, Coord step, Rounding rounding) {
    switch (rounding) {
        case Rounding::kNearest:
            // Beyond the limit (or not finite) a double has no finer resolution than a grid.
            if (!(std::fabs(value * kUnitsPerMicron) < kSnapLimit)) return value;
            return from_db(snap(to_db(value), step));
        case Rounding::kFloor:
            return std::floor(value * kUnitsPerMicron / double(step)) * double(step) / kUnitsPerMicron;
        case Rounding::kCeil:
            return std::ceil(value * kUnitsPerMicron / double(step)) * double(step) / kUnitsPerMicron;
    }
    return value;
}

// The items of a sequence (not an array) as the values of points (ndim 2) or numbers (ndim 1).
// Each item is read once, from a tuple of them: converting one may run interpreter code that
// changes the sequence, which NumPy's own coercion of nested lists does not survive.
bool sequence_values(PyObject* value, int ndim, std::vector<double>& out) {
    Ref items(sequence_items(value));
    if (!items) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(items.get());
    if (ndim == 2 && size == 0) return false;  // an empty sequence holds numbers
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (ndim == 1) {
            out.push_back(PyFloat_AsDouble(item));
            if (out.back() == -1.0 && PyErr_Occurred()) return false;
            continue;
        }
        Vec2 p;
        if (PyComplex_Check(item) || !to_point(item, "value", p, true)) return false;
        out.insert(out.end(), {p.x, p.y});
    }
    return true;
}

// A new float64 array of the given dimensionality (N × 2 for ndim 2) holding the values, or
// null with the error cleared when they do not have that shape.
PyArrayObject* float_array(PyObject* value, int ndim) {
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value)) return nullptr;
    PyObject* array = nullptr;
    if (PyArray_Check(value)) {
        array = PyArray_FROMANY(value, NPY_FLOAT64, ndim, ndim,
                                NPY_ARRAY_ENSURECOPY | NPY_ARRAY_DEFAULT);
    } else if (std::vector<double> values; sequence_values(value, ndim, values)) {
        double* data = nullptr;
        array = new_float_array(values.size() / size_t(ndim), ndim == 2 ? 2 : 0, data);
        if (array) std::copy(values.begin(), values.end(), data);
    }
    if (!array) {
        PyErr_Clear();
        return nullptr;
    }
    auto* result = reinterpret_cast<PyArrayObject*>(array);
    if (ndim == 2 && PyArray_DIM(result, 1) != 2) {
        Py_DECREF(array);
        return nullptr;
    }
    return result;
}

PyObject* grid_function(PyObject* args, PyObject* kwds, const char* format, Rounding rounding) {
    static const char* keywords[] = {"value", "grid", "multiple", nullptr};
    PyObject* value = nullptr;
    PyObject* grid_arg = Py_None;
    int multiple = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &value, &grid_arg, &multiple))
        return nullptr;
    Coord grid = config().grid;
    if (grid_arg != Py_None) {
        double g = PyFloat_AsDouble(grid_arg);
        if ((g == -1.0 && PyErr_Occurred()) || !to_length(g, "grid", grid)) return nullptr;
        if (grid <= 0) {
            PyErr_SetString(PyExc_ValueError, "'grid' must be greater than 0.");
            return nullptr;
        }
    }
    if (multiple <= 0) {
        PyErr_SetString(PyExc_ValueError, "'multiple' must be greater than 0.");
        return nullptr;
    }
    Coord step = 0;
    if (__builtin_mul_overflow(Coord(multiple), grid, &step) || double(step) >= kSnapLimit) {
        PyErr_SetString(PyExc_ValueError, "'grid' is out of range.");
        return nullptr;
    }
    for (int ndim : {2, 1}) {
        if (PyArrayObject* array = float_array(value, ndim)) {
            double* data = static_cast<double*>(PyArray_DATA(array));
            for (npy_intp i = 0, n = PyArray_SIZE(array); i < n; ++i)
                data[i] = snap_value(data[i], step, rounding);
            return reinterpret_cast<PyObject*>(array);
        }
    }
    if (PyNumber_Check(value) && !PyComplex_Check(value)) {
        double v = PyFloat_AsDouble(value);
        if (!(v == -1.0 && PyErr_Occurred())) return PyFloat_FromDouble(snap_value(v, step, rounding));
        PyErr_Clear();
    }
    PyErr_SetString(PyExc_TypeError,
                    "Argument 'value' must be a scalar, sequence of scalars, or sequence of 2D "
                    "coordinates.");
    return nullptr;
}

}  // namespace

PyObject* function_snap_to_grid(PyObject*, PyObject* args, PyObject* kwds) {
    return grid_function(args, kwds, "O|Oi:snap_to_grid", Rounding::kNearest);
}

PyObject* function_grid_floor(PyObject*, PyObject* args, PyObject* kwds) {
    return grid_function(args, kwds, "O|Oi:grid_floor", Rounding::kFloor);
}

PyObject* function_grid_ceil(PyObject*, PyObject* args, PyObject* kwds) {
    return grid_function(args, kwds, "O|Oi:grid_ceil", Rounding::kCeil);
}

PyObject* function__store_type(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"type_id", nullptr};
    PyObject* type_id = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:_store_type", (char**)keywords, &type_id))
        return nullptr;
    if (PyUnicode_Check(type_id)) {
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(type_id, &size);
        if (!name) return nullptr;
        int code = type_code(std::string_view(name, size_t(size)));
        if (code > 0) return PyLong_FromLong(code);
    } else if (PyLong_Check(type_id)) {
        long code = PyLong_AsLong(type_id);
        if (code == -1 && PyErr_Occurred()) PyErr_Clear();
        if (code > 0 && code < kTypeCodeCount) return PyUnicode_FromString(type_name(int(code)).data());
    } else {
        PyErr_SetString(PyExc_TypeError, "Expected str or int type.");
        return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, "Invalid 'type_id'.");
    return nullptr;
}

}  // namespace whistle::py

PyMODINIT_FUNC PyInit_extension(void) { return whistle::py::create_module(); }
