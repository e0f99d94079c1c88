// `TimeDomainModel`: the built-in stepper of a `PoleResidueMatrix`.
#include "core/circuit/time_domain_model.hpp"

#include "model.hpp"
#include "sample_loop.hpp"
#include "structure.hpp"
#include "time_stepper.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kTimeStepMessage = "Time-stepping requires the attribute 'time_step' to be positive.";

int model_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"pole_residue_matrix", "time_step", nullptr};
    PyObject* matrix_obj;
    double time_step;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Od:TimeDomainModel", (char**)keywords, &matrix_obj, &time_step))
        return -1;
    if (!is_instance(matrix_obj, TypeCode::PoleResidueMatrix)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'pole_residue_matrix' must be a PoleResidueMatrix instance.");
        return -1;
    }
    auto matrix = unwrap<PoleResidueMatrix>(matrix_obj);
    if (!matrix) return -1;
    try {
        install(self, std::make_shared<TimeDomainModel>(std::move(matrix), time_step));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// A read-only attribute computed from the held model.
template <PyObject* (*convert)(const std::shared_ptr<TimeDomainModel>&)>
PyObject* getter(PyObject* self, void*) {
    auto model = unwrap<TimeDomainModel>(self);
    return model ? convert(model) : nullptr;
}

PyObject* matrix(const std::shared_ptr<TimeDomainModel>& m) { return wrap(m->pole_residue_matrix()); }
PyObject* stateless(const std::shared_ptr<TimeDomainModel>& m) { return PyBool_FromLong(m->stateless()); }

PyObject* keys(const std::shared_ptr<TimeDomainModel>& m) {
    const std::vector<std::string>& names = m->keys();
    Ref list(new_list(names.size(), [&](size_t i) { return text_object(names[i]); }));
    return list ? PyList_AsTuple(list.get()) : nullptr;
}

// {(input, output): value(path)} over the paths.
template <class Value>
PyObject* paths_dict(const TimeDomainModel& m, Value value) {
    Ref dict(PyDict_New());
    for (const TimeDomainModel::Path& path : m.paths()) {
        Ref key(Py_BuildValue("(NN)", text_object(m.keys()[path.input]), text_object(m.keys()[path.output])));
        Ref item(key ? value(path) : nullptr);
        if (!dict || !item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* path_delays(const std::shared_ptr<TimeDomainModel>& m) {
    return paths_dict(*m, [](const TimeDomainModel::Path& p) { return PyLong_FromSize_t(p.whole_steps); });
}

PyObject* delay_split(const std::shared_ptr<TimeDomainModel>& m) {
    return paths_dict(*m, [](const TimeDomainModel::Path& p) {
        return Py_BuildValue("(nd)", Py_ssize_t(p.whole_steps), p.fraction);
    });
}

PyObject* direct_matrix(const std::shared_ptr<TimeDomainModel>& m) {
    if (!m->ready()) Py_RETURN_NONE;
    const auto k = npy_intp(m->keys().size());
    Ref array(new_array({k, k}, NPY_COMPLEX128));
    if (!array) return nullptr;
    std::copy(m->direct_matrix().begin(), m->direct_matrix().end(),
              static_cast<StepValue*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    return array.release();
}

// (address, context, None, None): the compiled step with the core model as its context. The
// entry does not keep the model alive; whoever runs it holds the model.
PyObject* native_step(const std::shared_ptr<TimeDomainModel>& m) {
    return Py_BuildValue("(NNOO)", PyLong_FromVoidPtr(reinterpret_cast<void*>(&time_domain_model_step)),
                         PyLong_FromVoidPtr(m.get()), Py_None, Py_None);
}

PyObject* native_error(const std::shared_ptr<TimeDomainModel>& m) {
    if (!m->native_error) Py_RETURN_NONE;
    return PyUnicode_FromString(m->native_error);
}

PyObject* get_time_step(PyObject* self, void*) {
    auto model = unwrap<TimeDomainModel>(self);
    return model ? PyFloat_FromDouble(model->time_step()) : nullptr;
}

int set_time_step(PyObject* self, PyObject* value, void*) {
    double time_step;
    if (!check_not_deleted(value, "time_step") || !to_number(value, "time_step", time_step)) return -1;
    return modify<TimeDomainModel>(self, [&](TimeDomainModel& m) { m.set_time_step(time_step); }) ? 0 : -1;
}

PyObject* method_reset(PyObject* self, PyObject*) {
    if (!modify<TimeDomainModel>(self, [](TimeDomainModel& m) { m.reset(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* method_step_single(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"inputs", "outputs", "time_index", "update_state", "shutdown", nullptr};
    PyObject *inputs, *outputs;
    long long time_index = 0;
    int update_state = 1, shutdown = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|Lpp:step_single", (char**)keywords, &inputs, &outputs,
                                     &time_index, &update_state, &shutdown))
        return nullptr;
    auto model = unwrap<TimeDomainModel>(self);
    if (!model) return nullptr;
    if (!model->ready()) {
        PyErr_SetString(PyExc_ValueError, kTimeStepMessage);
        return nullptr;
    }
    Ref entry(native_step(model));
    return entry ? call_native(entry.get(), Py_ssize_t(model->keys().size()), inputs, outputs, time_index,
                               update_state != 0, shutdown != 0)
                 : nullptr;
}

// The model's side of `step`: every sample through the core model.
class ModelLoop final : public SampleLoop {
public:
    explicit ModelLoop(std::shared_ptr<TimeDomainModel> model) : model_(std::move(model)) {}

    bool keys(std::vector<std::string>& out) override {
        out = model_->keys();
        return true;
    }
    double time_step() const override { return model_->time_step(); }
    bool prepare(size_t count) override {
        if (!model_->ready()) {
            PyErr_SetString(PyExc_ValueError, kTimeStepMessage);
            return false;
        }
        inputs_.assign(count, StepValue());
        outputs_.assign(count, StepValue());
        return true;
    }
    std::span<StepValue> inputs() override { return inputs_; }
    std::span<StepValue> outputs() override { return outputs_; }
    bool run(int64_t, bool) override {
        model_->step(inputs_.data(), outputs_.data(), true);
        return true;
    }

private:
    std::shared_ptr<TimeDomainModel> model_;
    std::vector<StepValue> inputs_, outputs_;
};

PyObject* method_step(PyObject* self, PyObject* args, PyObject* kwds) {
    auto model = unwrap<TimeDomainModel>(self);
    if (!model) return nullptr;
    ModelLoop loop(std::move(model));
    return step_samples(args, kwds, "Argument 'inputs' must be a TimeSeries instance or None.", loop);
}

PyMethodDef model_methods[] = {
    WHISTLE_KEYWORD_METHOD("step_single", method_step_single,
        "step_single(inputs, outputs, time_index=0, update_state=True, shutdown=False)\n\nAdvance one time "
        "step: read one complex128 input per key and write one output per key into 'outputs'. With "
        "update_state False the model is left unchanged."),
    WHISTLE_KEYWORD_METHOD("step", method_step,
        "step(inputs=None, steps=0, time_step=0, show_progress=True)\n\nStep through the samples of the "
        "inputs TimeSeries (or 'steps' zero samples) and return the outputs as a TimeSeries."),
    {"reset", method_reset, METH_NOARGS,
     "reset()\n\nZero the states, previous inputs and delay lines, as right after setting the time step."},
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef model_getset[] = {
    {"pole_residue_matrix", getter<matrix>, nullptr, "PoleResidueMatrix: The stepped model.", nullptr},
    WHISTLE_ATTRIBUTE(time_step, "float: Seconds per step; setting it rebuilds the model and resets it."),
    {"keys", getter<keys>, nullptr,
     "tuple: Input and output keys: the port-mode names, ordered by port and then by mode.", nullptr},
    {"path_delays", getter<path_delays>, nullptr,
     "dict: Whole time steps by which each (input, output) path is at least delayed.", nullptr},
    {"_delay_split", getter<delay_split>, nullptr,
     "dict: (whole steps, fraction) of each (input, output) path's delay.", nullptr},
    {"_direct_matrix", getter<direct_matrix>, nullptr,
     "numpy.ndarray | None: Constant terms of the zero-delay paths, [output, input] in keys order; None "
     "until the time step is set.",
     nullptr},
    {"_stateless", getter<stateless>, nullptr, "bool: True when the model has no poles and no delays.", nullptr},
    {"_native_step", getter<native_step>, nullptr,
     "tuple: Compiled step (address, context, state, cstate) running this model.", nullptr},
    {"_native_error", getter<native_error>, nullptr, "str | None: Message of the last native step failure.",
     nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject model_type = wrapper_type(
    "tarnwhistle.TimeDomainModel",
    "TimeDomainModel(pole_residue_matrix, time_step)\n\nTime stepper of a PoleResidueMatrix: recursive "
    "convolution with piecewise-linear inputs at the time step, each (input, output) path delayed by "
    "whole and fractional steps. A time step of 0 leaves it unset.",
    model_init, model_methods, model_getset);

}  // namespace

PyTypeObject* TimeDomainModel_type() { return register_exposed_type(TypeCode::TimeDomainModel, &model_type); }

}  // namespace whistle::py
