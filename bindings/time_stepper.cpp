// `TimeStepper`: the base of steppers implemented in the interpreter or bound to a compiled
// step (native_step.cpp), and the module functions `register_time_stepper_class` and `_prbs7`,
// `_prbs15`, `_prbs31`.
#include "time_stepper.hpp"

#include "core/circuit/time_series.hpp"
#include "core/foundation/properties.hpp"
#include "runner.hpp"
#include "sample_loop.hpp"
#include "types.hpp"

namespace whistle::py {

const InterpreterClass kTimeStepperClass = {TimeStepper_type, "TimeStepper", "time-stepper",
                                            "_time_stepper_registry", "register_time_stepper_class"};

// ---- Core stepper ----------------------------------------------------------------------

PyTimeStepper::PyTimeStepper(PyObject* instance) : InterpreterCore(instance) {
    Ref dict(PyDict_New());
    if (!dict) throw std::bad_alloc();
    attributes_ = std::make_shared<PyNative>(TypeCode::Native, dict.get());
}

int PyTimeStepper::traverse(visitproc visit, void* arg) const {
    Py_VISIT(attributes());
    return InstanceLink::traverse(visit, arg);
}

std::pair<DelayLines&, DelayLines&> PyTimeStepper::lines(const std::vector<std::string>& keys) {
    if (line_keys_ != keys) {
        auto delays = [&](const Delays& map) {
            std::vector<size_t> steps;
            for (const std::string& key : keys) {
                auto found = map.find(key);
                steps.push_back(found == map.end() ? 0 : found->second);
            }
            return DelayLines(std::move(steps));
        };
        input_lines_ = delays(input_delays);
        output_lines_ = delays(output_delays);
        line_keys_ = keys;
    }
    return {input_lines_, output_lines_};
}

PyObject* attribute(const PyTimeStepper& stepper, const char* name) {
    return PyDict_GetItemString(stepper.attributes(), name);
}

bool set_attributes(PyObject* self, std::initializer_list<std::pair<const char*, PyObject*>> items) {
    auto stepper = unwrap<PyTimeStepper>(self);
    Ref dict(stepper ? PyDict_Copy(stepper->attributes()) : nullptr);
    if (!dict) return false;
    for (auto [name, value] : items) {
        int done = value ? PyDict_SetItemString(dict.get(), name, value) : PyDict_DelItemString(dict.get(), name);
        if (done < 0) {
            if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
        }
    }
    return modify<PyTimeStepper>(self, [&](PyTimeStepper& s) { s.set_attributes(dict.get()); });
}

namespace {

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_attribute(PyObject* self, const char* name) {
    auto stepper = unwrap<PyTimeStepper>(self);
    if (!stepper) return nullptr;
    PyObject* value = attribute(*stepper, name);
    return Py_NewRef(value ? value : Py_None);
}

// A non-negative integer number of time steps; -1 otherwise (no exception set).
long long to_steps(PyObject* value) {
    if (!PyLong_Check(value)) return -1;
    long long steps = PyLong_AsLongLong(value);
    if (steps == -1 && PyErr_Occurred()) PyErr_Clear();
    return steps;
}

PyObject* get_path_delays(PyObject* self, void*) { return get_attribute(self, "path_delays"); }

int set_path_delays(PyObject* self, PyObject* value, void*) {
    if (!check_not_deleted(value, "path_delays")) return -1;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "'path_delays' must be None or a dict mapping (input key, output key) tuples "
                        "to delays in time steps.");
        return -1;
    }
    Ref copy(value == Py_None ? Py_NewRef(Py_None) : PyDict_Copy(value));
    if (!copy) return -1;
    if (value != Py_None) {
        Py_ssize_t position = 0;
        PyObject *key, *steps;
        while (PyDict_Next(copy.get(), &position, &key, &steps)) {
            if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) != 2) {
                PyErr_SetString(PyExc_TypeError, "'path_delays' keys must be (input key, output key) tuples.");
                return -1;
            }
            if (to_steps(steps) < 0) {
                PyErr_SetString(PyExc_ValueError, "'path_delays' values cannot be negative.");
                return -1;
            }
        }
    }
    return set_attributes(self, {{"path_delays", copy.get()}}) ? 0 : -1;
}

PyObject* delays_dict(const PyTimeStepper::Delays& delays) {
    Ref dict(PyDict_New());
    for (const auto& [key, steps] : delays) {
        Ref name(PyUnicode_FromStringAndSize(key.data(), Py_ssize_t(key.size())));
        Ref count(PyLong_FromSize_t(steps));
        if (!dict || !name || !count || PyDict_SetItem(dict.get(), name.get(), count.get()) < 0) return nullptr;
    }
    return dict.release();
}

bool to_delays(PyObject* value, const char* name, PyTimeStepper::Delays& out) {
    bool valid = value && PyDict_Check(value);
    Py_ssize_t position = 0;
    PyObject *key, *steps;
    while (valid && PyDict_Next(value, &position, &key, &steps)) {
        const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        long long count = to_steps(steps);
        valid = text && count >= 0;
        if (valid) out[text] = size_t(count);
    }
    if (!valid) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' must map keys to non-negative delays in time steps.", name);
    }
    return valid;
}

template <PyTimeStepper::Delays PyTimeStepper::*field>
PyObject* get_delays(PyObject* self, void*) {
    auto stepper = unwrap<PyTimeStepper>(self);
    return stepper ? delays_dict((*stepper).*field) : nullptr;
}

template <PyTimeStepper::Delays PyTimeStepper::*field>
int set_delays(PyObject* self, PyObject* value, void* name) {
    PyTimeStepper::Delays delays;
    if (!to_delays(value, static_cast<const char*>(name), delays)) return -1;
    return modify<PyTimeStepper>(self, [&](PyTimeStepper& s) {
               s.*field = std::move(delays);
               s.forget_lines();
           })
               ? 0
               : -1;
}

PyObject* get_native_step(PyObject* self, void*) { return get_attribute(self, "native_step"); }
PyObject* get_native_state(PyObject* self, void*) { return get_attribute(self, "native_state"); }
PyObject* get_native_body(PyObject* self, void*) { return get_attribute(self, "native_body"); }
PyObject* get_native_error(PyObject* self, void*) { return get_attribute(self, "native_error"); }

PyObject* get_keys(PyObject* self, void*) {
    auto stepper = unwrap<PyTimeStepper>(self);
    if (!stepper) return nullptr;
    PyObject* state = attribute(*stepper, "native_state");
    if (!state) {
        PyErr_SetString(PyExc_AttributeError,
                        "'keys' must be provided by the derived class or given to bind_native.");
        return nullptr;
    }
    return Py_NewRef(PyTuple_GET_ITEM(state, 0));
}

PyObject* method_reset(PyObject* self, PyObject*) {
    auto stepper = unwrap<PyTimeStepper>(self);
    if (!stepper || !restore_native_state(*stepper)) return nullptr;
    stepper->clear_lines();
    Py_RETURN_NONE;
}

// ---- Setup -----------------------------------------------------------------------------

// Moves an argument out of the keyword dict (borrowed through `holder`); positional first.
bool take_argument(PyObject* args, Py_ssize_t index, PyObject* kwargs, const char* name, Ref& holder) {
    PyObject* keyword = PyDict_GetItemString(kwargs, name);
    if (index < PyTuple_GET_SIZE(args)) {
        if (keyword) {
            PyErr_Format(PyExc_TypeError, "setup() got multiple values for argument '%s'", name);
            return false;
        }
        holder = Ref(Py_NewRef(PyTuple_GET_ITEM(args, index)));
        return true;
    }
    if (keyword) {
        holder = Ref(Py_NewRef(keyword));
        return PyDict_DelItemString(kwargs, name) == 0;
    }
    return true;
}

// Whether the object is a runner, without reading `status` (each read may advance it).
bool has_status(PyObject* obj) {
    if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "status")) return true;
    Ref dict(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) PyErr_Clear();
    return dict && PyDict_GetItemString(dict.get(), "status");
}

PyObject* method_setup(PyObject* self, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) > 2) {
        PyErr_SetString(PyExc_TypeError, "setup() takes at most 2 positional arguments.");
        return nullptr;
    }
    Ref extra(kwds ? PyDict_Copy(kwds) : PyDict_New());
    Ref component, time_step_obj, carrier_obj, progress_obj, kwargs_obj;
    if (!extra || !take_argument(args, 0, extra.get(), "component", component) ||
        !take_argument(args, 1, extra.get(), "time_step", time_step_obj) ||
        !take_argument(args, 2, extra.get(), "carrier_frequency", carrier_obj) ||
        !take_argument(args, 2, extra.get(), "show_progress", progress_obj) ||
        !take_argument(args, 2, extra.get(), "kwargs", kwargs_obj))
        return nullptr;
    if (!component) {
        PyErr_SetString(PyExc_TypeError, "Missing required argument 'component'.");
        return nullptr;
    }
    if (!is_instance(component.get(), TypeCode::Component)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component' must be a Component instance.");
        return nullptr;
    }
    if (!time_step_obj) {
        PyErr_SetString(PyExc_TypeError, "Missing required argument 'time_step'.");
        return nullptr;
    }
    double time_step = 0, carrier = 0;
    if (!to_number(time_step_obj.get(), "time_step", time_step) ||
        (carrier_obj && !to_number(carrier_obj.get(), "carrier_frequency", carrier)))
        return nullptr;
    if (!(time_step > 0)) {
        PyErr_SetString(PyExc_ValueError, "'time_step' must be positive.");
        return nullptr;
    }
    if (!(carrier >= 0)) {
        PyErr_SetString(PyExc_ValueError, "'carrier_frequency' cannot be negative.");
        return nullptr;
    }
    if (kwargs_obj && !PyDict_Check(kwargs_obj.get())) {
        PyErr_SetString(PyExc_TypeError, "'kwargs' must be a dictionary.");
        return nullptr;
    }
    int show_progress = progress_obj ? PyObject_IsTrue(progress_obj.get()) : 1;
    Ref time_step_value(PyFloat_FromDouble(time_step)), carrier_value(PyFloat_FromDouble(carrier));
    if (show_progress < 0 || !time_step_value || !carrier_value ||
        (kwargs_obj && PyDict_Update(extra.get(), kwargs_obj.get()) < 0) ||
        PyDict_SetItemString(extra.get(), "component", component.get()) < 0 ||
        PyDict_SetItemString(extra.get(), "time_step", time_step_value.get()) < 0 ||
        PyDict_SetItemString(extra.get(), "carrier_frequency", carrier_value.get()) < 0 ||
        PyDict_SetItemString(extra.get(), "show_progress", show_progress ? Py_True : Py_False) < 0)
        return nullptr;
    Ref setup_state(PyObject_GetAttrString(self, "setup_state"));
    Ref no_args(PyTuple_New(0));
    Ref result(setup_state && no_args ? PyObject_Call(setup_state.get(), no_args.get(), extra.get()) : nullptr);
    if (!result) return nullptr;
    if (has_status(result.get())) {
        Ref status(poll_runner(result.get(), kTimeStepperRunnerTexts, show_progress));
        if (!status) return nullptr;
    }
    std::shared_ptr<BaseType> target = unwrap_base(component.get());
    if (!target || !modify<PyTimeStepper>(self, [&](PyTimeStepper& s) {
            s.component = target;
            s.time_step = time_step;
            s.carrier_frequency = carrier;
        }))
        return nullptr;
    return same(self);
}

PyObject* method_setup_state(PyObject*, PyObject*, PyObject*) { Py_RETURN_NONE; }

// The bound native step, when there is one, on the keys given to bind_native.
PyObject* method_step_single(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"inputs", "outputs", "time_index", "update_state", "shutdown", nullptr};
    PyObject *inputs, *outputs;
    long long time_index;
    int update_state, shutdown;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOLpp:step_single", (char**)keywords, &inputs, &outputs,
                                     &time_index, &update_state, &shutdown))
        return nullptr;
    auto stepper = unwrap<PyTimeStepper>(self);
    if (!stepper) return nullptr;
    PyObject* entry = attribute(*stepper, "native_step");
    PyObject* saved = attribute(*stepper, "native_state");
    if (!entry || !saved) {
        PyErr_SetString(PyExc_NotImplementedError,
                        "Classes derived from TimeStepper must implement a 'step_single' method or bind a "
                        "native step.");
        return nullptr;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(PyTuple_GET_ITEM(saved, 0));
    return call_native(entry, size, inputs, outputs, time_index, update_state, shutdown);
}

PyObject* method_write_verilog_a(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "Verilog-A export of time steppers is not available in this build.");
    return nullptr;
}

PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds) {
    return parametric_update<PyTimeStepper>(self, args, kwds, kTimeStepperClass);
}

// ---- Stepping --------------------------------------------------------------------------

// The stepper's keys: a tuple of strings.
bool stepper_keys(PyObject* self, std::vector<std::string>& out) {
    Ref keys(PyObject_GetAttrString(self, "keys"));
    if (!keys) return false;
    if (!PyTuple_Check(keys.get())) {
        PyErr_SetString(PyExc_TypeError, "'keys' must return a tuple.");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys.get()); ++i) {
        const char* key = PyUnicode_Check(PyTuple_GET_ITEM(keys.get(), i)) ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(keys.get(), i)) : nullptr;
        if (!key) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "Keys must be strings.");
            return false;
        }
        out.emplace_back(key);
    }
    return true;
}

// Runs each sample through the input delay lines, the body (the bound native step, or
// `step_single` in the interpreter) and the output delay lines.
class StepBody final : public SampleLoop {
public:
    StepBody(PyObject* self, std::shared_ptr<PyTimeStepper> stepper) : self_(self), stepper_(std::move(stepper)) {}

    bool keys(std::vector<std::string>& out) override {
        keys_.clear();
        if (!stepper_keys(self_, keys_)) return false;
        out = keys_;
        return true;
    }
    double time_step() const override { return stepper_->time_step; }
    bool prepare(size_t count) override {
        inputs_ = Ref(new_array({npy_intp(count)}, NPY_COMPLEX128));
        outputs_ = Ref(inputs_ ? new_array({npy_intp(count)}, NPY_COMPLEX128) : nullptr);
        PyObject* entry = native_entry(self_, *stepper_);
        if (entry && to_entry(entry, entry_) && bound_size_matches(*stepper_, count))
            native_ = Ref(Py_NewRef(entry));  // keeps the arrays alive
        return outputs_ && !PyErr_Occurred();
    }
    std::span<StepValue> inputs() override { return data(inputs_); }
    std::span<StepValue> outputs() override { return data(outputs_); }

    bool run(int64_t time_index, bool shutdown) override {
        stepper_->input_lines(keys_).apply(inputs());
        if (!run_body(time_index, shutdown)) return false;
        stepper_->output_lines(keys_).apply(outputs());
        return true;
    }

private:
    bool run_body(int64_t time_index, bool shutdown) {
        if (native_) return run_native(time_index, shutdown);
        Ref index(PyLong_FromLongLong(time_index));
        Ref result(index ? PyObject_CallMethod(self_, "step_single", "OOOOO", inputs_.get(), outputs_.get(),
                                               index.get(), Py_True, shutdown ? Py_True : Py_False)
                         : nullptr);
        if (!result) return false;
        if (PyArray_Check(result.get()) && !warned_) {
            warned_ = true;
            return PyErr_WarnEx(PyExc_RuntimeWarning,
                                "'step_single' returned an array, but return values are ignored. The "
                                "'step_single' method must write results directly into the provided "
                                "'outputs' array (in-place modification) and should not return "
                                "anything. Use 'np.copyto(outputs, result)' to copy data into the "
                                "outputs array.",
                                1) == 0;
        }
        return true;
    }

    // The compiled body reads and writes one value per key given to bind_native.
    static bool bound_size_matches(const PyTimeStepper& stepper, size_t count) {
        PyObject* saved = attribute(stepper, "native_state");
        size_t bound = saved ? size_t(PyTuple_GET_SIZE(PyTuple_GET_ITEM(saved, 0))) : count;
        if (bound == count) return true;
        PyErr_Format(PyExc_ValueError, "The native step was bound to %zu keys, but the stepper has %zu.", bound,
                     count);
        return false;
    }

    static std::span<StepValue> data(const Ref& array) {
        auto* a = reinterpret_cast<PyArrayObject*>(array.get());
        return {static_cast<StepValue*>(PyArray_DATA(a)), size_t(PyArray_SIZE(a))};
    }

    bool run_native(int64_t time_index, bool shutdown) {
        int64_t code = entry_.function(inputs().data(), outputs().data(), time_index, true, shutdown,
                                       entry_.context, entry_.state, entry_.cstate);
        if (code != 0) {
            Ref message(PyUnicode_FromFormat("%s: native step failed with code %lld at time index %lld.",
                                             _PyType_Name(Py_TYPE(self_)), (long long)code,
                                             (long long)time_index));
            if (message && set_attributes(self_, {{"native_error", message.get()}}))
                PyErr_SetObject(PyExc_RuntimeError, message.get());
            return false;
        }
        if (shutdown && PyObject_HasAttrString(self_, "_after_native_run")) {
            Ref done(PyObject_CallMethod(self_, "_after_native_run", nullptr));
            return bool(done);
        }
        return true;
    }

    PyObject* self_;
    std::shared_ptr<PyTimeStepper> stepper_;
    std::vector<std::string> keys_;
    Ref inputs_, outputs_, native_;
    NativeEntry entry_;
    bool warned_ = false;
};

PyObject* method_step(PyObject* self, PyObject* args, PyObject* kwds) {
    auto stepper = unwrap<PyTimeStepper>(self);
    if (!stepper) return nullptr;
    StepBody body(self, std::move(stepper));
    return step_samples(args, kwds, "Argument 'inputs' must be a TimeSeries instance.", body);
}

// ---- Copies ----------------------------------------------------------------------------

PyObject* copy_stepper(PyObject* self, PyObject* memo) {
    return copy_instance<PyTimeStepper>(self, memo, kTimeStepperClass, [&](PyTimeStepper& stepper, PyObject* copy) {
        Ref attributes(memo ? duplicate(stepper.attributes(), memo) : PyDict_Copy(stepper.attributes()));
        return attributes && modify<PyTimeStepper>(copy, [&](PyTimeStepper& s) {
                   s.set_attributes(attributes.get());
                   s.input_delays = stepper.input_delays;
                   s.output_delays = stepper.output_delays;
                   s.component = stepper.component;
                   s.time_step = stepper.time_step;
                   s.carrier_frequency = stepper.carrier_frequency;
               });
    });
}

PyObject* method_copy(PyObject* self, PyObject*) { return copy_stepper(self, nullptr); }

PyObject* method_deepcopy(PyObject* self, PyObject* args) { return deepcopy_with_memo(self, args, copy_stepper); }

int stepper_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return keyword_init<PyTimeStepper>(self, args, kwds, kTimeStepperClass);
}

PyMethodDef stepper_methods[] = {
    WHISTLE_KEYWORD_METHOD("setup", method_setup,
        "setup(component, time_step, *, carrier_frequency=0, show_progress=True, **kwargs)\n\nCheck "
        "the arguments and call setup_state with them as keywords (polling a returned runner); "
        "returns self."),
    WHISTLE_KEYWORD_METHOD("setup_state", method_setup_state,
        "setup_state(*, component, time_step, carrier_frequency, show_progress, **kwargs)\n\nPrepare "
        "the stepper's state; may return a runner with 'status'. The base does nothing."),
    WHISTLE_KEYWORD_METHOD("step_single", method_step_single,
        "step_single(inputs, outputs, time_index, update_state, shutdown)\n\nAdvance one time step: "
        "write one output per key into 'outputs' in place. Change the state only when update_state."),
    WHISTLE_KEYWORD_METHOD("step", method_step,
        "step(inputs=None, steps=0, time_step=0, show_progress=True)\n\nStep through the samples of "
        "the inputs TimeSeries (or 'steps' zero samples) and return the outputs as a TimeSeries."),
    {"reset", method_reset, METH_NOARGS,
     "reset()\n\nRestore the native state arrays given to bind_native and clear the delay lines."},
    WHISTLE_KEYWORD_METHOD("bind_native", method_bind_native,
        "bind_native(step, keys, state=None, cstate=None, context=None)\n\nRun steps through the "
        "compiled function at the address 'step': int64 step(inputs, outputs, time_index, "
        "update_state, shutdown, context, state, cstate), with float64 'state' and complex128 "
        "'cstate' arrays."),
    WHISTLE_KEYWORD_METHOD("write_verilog_a", method_write_verilog_a,
        "write_verilog_a(path, *, backend='openvaf', port_convention='travelling_wave', "
        "module_name=None, z0=50.0, ...)\n\nExport the stepper as a Verilog-A module."),
    WHISTLE_INTERPRETER_METHODS("stepper"),
    {nullptr, nullptr, 0, nullptr}};

char kInputDelays[] = "input_delay_steps";
char kOutputDelays[] = "output_delay_steps";

PyGetSetDef stepper_getset[] = {
    WHISTLE_BASE_GETSET,
    WHISTLE_PARAMETRIC_GETSET(whistle::py::PyTimeStepper, "time stepper"),
    WHISTLE_ATTRIBUTE(path_delays, "dict | None: Whole time steps by (input key, output key); None: any "
                                   "input may reach any output within the step."),
    {"input_delay_steps", get_delays<&PyTimeStepper::input_delays>, set_delays<&PyTimeStepper::input_delays>,
     "dict: Time steps by which each input is delayed before the body sees it.", kInputDelays},
    {"output_delay_steps", get_delays<&PyTimeStepper::output_delays>, set_delays<&PyTimeStepper::output_delays>,
     "dict: Time steps by which each output of the body is delayed.", kOutputDelays},
    {"keys", get_keys, nullptr, "tuple: Input and output keys (given to bind_native or defined by the class).", nullptr},
    {"_native_step", get_native_step, set_native_step,
     "tuple | None: Bound native step (address, context, state, cstate).", nullptr},
    {"_native_state", get_native_state, nullptr, "tuple | None: Keys and initial state arrays of the native step.", nullptr},
    {"_native_body", get_native_body, nullptr, "type | None: Class that bound the native step.", nullptr},
    {"_native_error", get_native_error, nullptr, "str | None: Message of the last native step failure.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr char kTimeStepperDoc[] =
    "TimeStepper(**kwargs)\n\nBase of time steppers. Derived classes call super().__init__ with "
    "keyword arguments only, define 'keys' and implement step_single (or bind a native step); "
    "setup_state prepares them for a component and time step.";

PyTypeObject stepper_type = interpreter_type<PyTimeStepper>(
    wrapper_type("tarnwhistle.TimeStepper", kTimeStepperDoc, stepper_init, stepper_methods, stepper_getset));

// A single positional integer register state.
PyObject* advance_register(PyObject* args, PyObject* kwds, uint64_t (*next)(uint64_t)) {
    if (PyTuple_GET_SIZE(args) != 1 || (kwds && PyDict_Size(kwds) > 0)) {
        PyErr_SetString(PyExc_TypeError, "Expected 1 positional argument.");
        return nullptr;
    }
    Ref index(PyNumber_Index(PyTuple_GET_ITEM(args, 0)));
    if (!index) return nullptr;
    uint64_t state = PyLong_AsUnsignedLongLongMask(index.get());
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLongLong(next(state));
}

}  // namespace

PyTypeObject* TimeStepper_type() { return register_exposed_type(TypeCode::TimeStepper, &stepper_type); }

PyObject* function_register_time_stepper_class(PyObject* module, PyObject* args, PyObject* kwds) {
    return register_classes(module, args, kwds, &stepper_type, kTimeStepperClass);
}

PyObject* function__prbs7(PyObject*, PyObject* args, PyObject* kwds) { return advance_register(args, kwds, prbs7); }
PyObject* function__prbs15(PyObject*, PyObject* args, PyObject* kwds) { return advance_register(args, kwds, prbs15); }
PyObject* function__prbs31(PyObject*, PyObject* args, PyObject* kwds) { return advance_register(args, kwds, prbs31); }

}  // namespace whistle::py
