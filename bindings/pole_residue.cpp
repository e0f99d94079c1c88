// `PoleResidueMatrix` and the module function `pole_residue_fit`.
#include "core/circuit/pole_residue.hpp"

#include <cmath>

#include "qp_solver.hpp"
#include "circuit_values.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kResiduesMessage = "Argument 'residues' must be a mapping of port tuples to value arrays.";
constexpr const char* kSMatrixMessage = "Argument 's_matrix' must be an SMatrix instance.";

// A 1-D complex vector; TypeError naming the argument otherwise.
bool to_complex_vector(PyObject* obj, const std::string& name, ComplexVector& out) {
    Ref array(PyArray_FROM_OTF(obj, NPY_COMPLEX128, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array.get())) != 1) {
        if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' must be a 1-D sequence of complex numbers.", name.c_str());
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const auto* data = static_cast<const Complex*>(PyArray_DATA(a));
    out.assign(data, data + PyArray_DIM(a, 0));
    return true;
}

std::string key_text(const char* prefix, const SMatrix::Key& key) {
    return std::string(prefix) + "['" + key.first + "', '" + key.second + "']";
}

bool to_residues(PyObject* obj, size_t poles, PoleResidueMatrix::Residues& out) {
    return for_each_item(obj, kResiduesMessage, [&](PyObject* key_obj, PyObject* value) {
        SMatrix::Key key;
        ComplexVector values;
        if (!to_element_key(key_obj, kResiduesMessage, key) || !to_complex_vector(value, key_text("residues", key), values))
            return false;
        if (values.size() != poles + 1) {
            PyErr_Format(PyExc_ValueError, "%s has length %zu, but %zu expected.", key_text("residues", key).c_str(),
                         values.size(), poles + 1);
            return false;
        }
        out[key] = std::move(values);
        return true;
    });
}

bool negative_delay() {
    PyErr_SetString(PyExc_ValueError, "Delays cannot be negative.");
    return false;
}

// None, a number for every key of `keys`, or a mapping of keys to non-negative numbers;
// TypeError `message` for anything else.
template <class Map>
bool to_delays(PyObject* obj, const Map& keys, const char* message, PoleResidueMatrix::Delays& out) {
    if (!obj || obj == Py_None) return true;
    if (PyNumber_Check(obj) && !PyUnicode_Check(obj) && !PySequence_Check(obj)) {
        double delay = PyFloat_AsDouble(obj);
        if (delay == -1 && PyErr_Occurred()) return false;
        if (delay < 0) return negative_delay();
        if (delay != 0)
            for (const auto& entry : keys) out[entry.first] = delay;
        return true;
    }
    return for_each_item(obj, message, [&](PyObject* key_obj, PyObject* value) {
        SMatrix::Key key;
        double delay = 0;
        if (!to_element_key(key_obj, "", key) || (delay = PyFloat_AsDouble(value), delay == -1 && PyErr_Occurred())) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
            PyErr_Clear();
            Ref text(PyObject_Str(key_obj));
            const char* item = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (!item) return false;
            PyErr_Format(PyExc_TypeError, "Error parsing item '%s'.", item);
            return false;
        }
        if (delay < 0) {
            PyErr_Format(PyExc_ValueError, "Delays cannot be negative (negative value in '%s').",
                         key_text("delays", key).c_str());
            return false;
        }
        out[key] = delay;
        return true;
    });
}

int pole_residue_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"poles", "residues", "frequency_scaling", "ports", "delays", nullptr};
    PyObject *poles_obj = nullptr, *residues_obj = nullptr, *ports_obj = nullptr, *delays_obj = nullptr;
    double scaling = kDefaultFrequencyScaling;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|dOO:PoleResidueMatrix", (char**)keywords, &poles_obj,
                                     &residues_obj, &scaling, &ports_obj, &delays_obj))
        return -1;
    ComplexVector poles;
    PoleResidueMatrix::Residues residues;
    SMatrix::Ports ports;
    PoleResidueMatrix::Delays delays;
    if (!to_complex_vector(poles_obj, "poles", poles) || !to_residues(residues_obj, poles.size(), residues) ||
        !to_ports(ports_obj, ports) ||
        !to_delays(delays_obj, residues,
                   "Argument 'delays' must be a mapping of port tuples to values, or a single number.", delays))
        return -1;
    try {
        install(self, std::make_shared<PoleResidueMatrix>(std::move(poles), std::move(residues), scaling,
                                                          std::move(ports), std::move(delays)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// A read-only attribute computed from the held model.
template <PyObject* (*convert)(const PoleResidueMatrix&)>
PyObject* getter(PyObject* self, void*) {
    std::shared_ptr<PoleResidueMatrix> m = unwrap<PoleResidueMatrix>(self);
    return m ? convert(*m) : nullptr;
}

PyObject* poles(const PoleResidueMatrix& m) { return complex_array(m.poles().data(), m.poles().size()); }
PyObject* residues(const PoleResidueMatrix& m) { return elements_dict(m.residues()); }
PyObject* frequency_scaling(const PoleResidueMatrix& m) { return PyFloat_FromDouble(m.frequency_scaling()); }
PyObject* delays(const PoleResidueMatrix& m) { return values_dict(m.delays()); }
PyObject* ports(const PoleResidueMatrix& m) { return objects_dict(m.ports()); }

PyObject* pole_residue_call(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", nullptr};
    PyObject* frequencies_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:__call__", (char**)keywords, &frequencies_obj)) return nullptr;
    std::vector<double> frequencies;
    if (!to_numbers(frequencies_obj, "frequencies", frequencies)) return nullptr;
    if (frequencies.empty()) {
        PyErr_SetString(PyExc_ValueError, "Argument 'frequencies' cannot be empty.");
        return nullptr;
    }
    std::shared_ptr<PoleResidueMatrix> m = unwrap<PoleResidueMatrix>(self);
    if (!m) return nullptr;
    try {
        return wrap(std::make_shared<SMatrix>(m->evaluate(frequencies)));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_get_rms_error(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"s_matrix", nullptr};
    PyObject* s_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:get_rms_error", (char**)keywords, &s_obj)) return nullptr;
    if (!is_instance(s_obj, TypeCode::SMatrix)) {
        PyErr_SetString(PyExc_TypeError, kSMatrixMessage);
        return nullptr;
    }
    std::shared_ptr<SMatrix> data = unwrap<SMatrix>(s_obj);
    std::shared_ptr<PoleResidueMatrix> m = unwrap<PoleResidueMatrix>(self);
    if (!data || !m) return nullptr;
    return PyFloat_FromDouble(m->rms_error(*data));
}

PyObject* method_is_passive(PyObject* self, PyObject*) {
    std::shared_ptr<PoleResidueMatrix> m = unwrap<PoleResidueMatrix>(self);
    if (!m) return nullptr;
    try {
        return PyBool_FromLong(m->is_passive());
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_enforce_passivity(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "max_iterations", "real", "feedthrough", nullptr};
    PyObject* frequencies_obj = nullptr;
    long max_iterations = 20;
    int real = 0, feedthrough = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|lpp:enforce_passivity", (char**)keywords, &frequencies_obj,
                                     &max_iterations, &real, &feedthrough))
        return nullptr;
    std::vector<double> frequencies;
    if (!to_numbers(frequencies_obj, "frequencies", frequencies)) return nullptr;
    if (max_iterations <= 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'max_iterations' must be positive.");
        return nullptr;
    }
    std::shared_ptr<PoleResidueMatrix> m = unwrap<PoleResidueMatrix>(self);
    if (!m) return nullptr;
    // The solver runs interpreter code: work on a copy and take its result over afterwards.
    bool passive = false;
    try {
        PoleResidueMatrix copy(*m);
        OsqpSolver solver;
        passive = copy.enforce_passivity(frequencies, size_t(max_iterations), real != 0, feedthrough != 0, solver);
        if (!modify<PoleResidueMatrix>(self, [&](PoleResidueMatrix& target) { target.set_rational_part(copy); }))
            return nullptr;
    }
    WHISTLE_CATCH(nullptr)
    return PyBool_FromLong(passive);
}

PyMethodDef pole_residue_methods[] = {
    {"get_rms_error", (PyCFunction)(void (*)(void))method_get_rms_error, METH_VARARGS | METH_KEYWORDS,
     "get_rms_error(s_matrix)\n\nRMS difference to the S matrix over its frequencies and the union of element keys."},
    {"is_passive", method_is_passive, METH_NOARGS,
     "is_passive()\n\nTrue when no singular value of the model exceeds 1 at any frequency."},
    {"enforce_passivity", (PyCFunction)(void (*)(void))method_enforce_passivity, METH_VARARGS | METH_KEYWORDS,
     "enforce_passivity(frequencies, max_iterations=20, real=False, feedthrough=False)\n\nPerturb the residues "
     "(and the constant term with feedthrough) with the least change at the frequencies until the model is "
     "passive; returns whether it is. real keeps conjugate symmetry."},
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pole_residue_getset[] = {
    {"poles", getter<poles>, nullptr, "numpy.ndarray: Poles shared by all elements.", nullptr},
    {"residues", getter<residues>, nullptr,
     "dict: Residues by (input, output) port-mode names, one per pole, then the constant term.", nullptr},
    {"frequency_scaling", getter<frequency_scaling>, nullptr, "float: h in s = -i·h·f.", nullptr},
    {"delays", getter<delays>, nullptr, "dict: Delays (s) by (input, output) port-mode names.", nullptr},
    {"ports", getter<ports>, nullptr, "dict: Port objects (or None) by name.", nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject pole_residue_type = [] {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.PoleResidueMatrix",
        "PoleResidueMatrix(poles, residues, frequency_scaling=6.283185, ports=None, delays=None)\n\nRational "
        "model of an S matrix: S(f) = exp(2πi·f·d)·(Σ r_n/(s - p_n) + r_N) with s = -i·h·f, poles shared by all "
        "elements. Calling it with frequencies gives the SMatrix.",
        pole_residue_init, pole_residue_methods, pole_residue_getset);
    type.tp_call = pole_residue_call;
    return type;
}();

bool to_fit_delays(PyObject* obj, const SMatrix& data, PoleResidueFitOptions& options) {
    if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "auto") == 0) {
        options.delays = data.estimate_delays(true);
        return true;
    }
    if (obj == Py_None || PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "Argument 'delays' must be a mapping of port tuples to values, a single number, or 'auto'.");
        return false;
    }
    return to_delays(obj, data.elements(),
                     "Argument 'delays' must be a mapping of port tuples to values, a single number, or 'auto'.",
                     options.delays);
}

}  // namespace

PyTypeObject* PoleResidueMatrix_type() {
    return register_exposed_type(TypeCode::PoleResidueMatrix, &pole_residue_type);
}

PyObject* function_pole_residue_fit(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"s_matrix", "initial_poles", "min_poles", "max_poles", "loss_factor",
                                     "rms_error_tolerance", "max_iterations", "max_stale_iterations", "real",
                                     "passive", "feedthrough", "delays", "stable", "silence_warnings", nullptr};
    PyObject *s_obj = nullptr, *poles_obj = nullptr, *delays_obj = nullptr;
    long min_poles = 0, max_poles = 30, max_iterations = 100, max_stale = 3;
    int real = 0, passive = 1, feedthrough = 0, stable = 1, silence = 0;
    PoleResidueFitOptions options;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OllddllpppOpp:pole_residue_fit", (char**)keywords, &s_obj,
                                     &poles_obj, &min_poles, &max_poles, &options.loss_factor,
                                     &options.rms_error_tolerance, &max_iterations, &max_stale, &real, &passive,
                                     &feedthrough, &delays_obj, &stable, &silence))
        return nullptr;
    if (!is_instance(s_obj, TypeCode::SMatrix)) {
        PyErr_SetString(PyExc_TypeError, kSMatrixMessage);
        return nullptr;
    }
    if (min_poles < 0 || max_poles < 0 || max_iterations < 0 || max_stale < 0) {
        PyErr_SetString(PyExc_ValueError, "Arguments 'min_poles', 'max_poles', 'max_iterations', and "
                                          "'max_stale_iterations' cannot be negative.");
        return nullptr;
    }
    std::shared_ptr<SMatrix> data = unwrap<SMatrix>(s_obj);
    if (!data) return nullptr;
    if (poles_obj && !to_complex_vector(poles_obj, "initial_poles", options.initial_poles)) return nullptr;
    if (delays_obj && !to_fit_delays(delays_obj, *data, options)) return nullptr;
    options.min_poles = size_t(min_poles);
    options.max_poles = size_t(max_poles);
    options.max_iterations = size_t(max_iterations);
    options.max_stale_iterations = size_t(max_stale);
    options.real = real != 0;
    options.passive = passive != 0;
    options.feedthrough = feedthrough != 0;
    options.stable = stable != 0;
    options.silence_warnings = silence != 0;
    ErrorHandler status;
    PoleResidueFit fit;
    try {
        OsqpSolver solver;
        fit = pole_residue_fit(*data, options, solver, status);
    }
    WHISTLE_CATCH(nullptr)
    if (!check_status(status)) return nullptr;
    Ref model(fit.model ? wrap(fit.model) : same(Py_None));
    if (!model) return nullptr;
    return Py_BuildValue("(Od)", model.get(), fit.rms_error);
}

}  // namespace whistle::py
