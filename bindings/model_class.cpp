// `Model`: the base of circuit models implemented in the interpreter, and the module function
// `register_model_class`.
#include "model_class.hpp"

#include "core/circuit/s_matrix.hpp"
#include "core/foundation/config.hpp"
#include "core/foundation/properties.hpp"
#include "core/model/component.hpp"
#include "interpreter_objects.hpp"
#include "parametric.hpp"
#include "runner.hpp"
#include "types.hpp"

namespace whistle::py {

// ---- Core model ------------------------------------------------------------------------

const InterpreterClass kModelClass = {Model_type, "Model", "model", "_model_registry",
                                     "register_model_class"};
// Lumped models share the model registry: they are models.
const InterpreterClass kLumpedModelClass = {LumpedModel_type, "LumpedModel", "lumped model",
                                           "_model_registry", "register_model_class"};

const InterpreterClass& model_class(PyObject* self) {
    return PyObject_TypeCheck(self, LumpedModel_type()) ? kLumpedModelClass : kModelClass;
}

bool to_frequencies(PyObject* obj, std::vector<double>& out) {
    if (!to_numbers(obj, "frequencies", out)) return false;
    if (out.empty()) {
        PyErr_SetString(PyExc_ValueError, "Argument 'frequencies' cannot be empty.");
        return false;
    }
    return true;
}

PyObject* model_kwargs_dict(const std::shared_ptr<BaseType>& kwargs) {
    PyObject* dict = kwargs ? static_cast<PyNative*>(kwargs.get())->value() : nullptr;
    return dict ? PyDict_Copy(dict) : PyDict_New();
}

bool to_kwargs_holder(PyObject* obj, const char* name, std::shared_ptr<BaseType>& out) {
    if (!obj) return true;
    if (!PyDict_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Argument '%s' must be a dictionary.", name);
        return false;
    }
    Ref copy(PyDict_Copy(obj));
    if (!copy) return false;
    out = std::make_shared<PyNative>(TypeCode::Native, copy.get());
    return true;
}

template <class Base, const InterpreterClass& kClass>
bool InterpreterModel<Base, kClass>::equals(const BaseType& other) const {
    if constexpr (std::is_same_v<Base, LumpedModel>) {
        auto* o = dynamic_cast<const InterpreterModel*>(&other);
        if (!o || this->port_map != o->port_map) return false;
    }
    return InterpreterModel::InterpreterCore::equals(other);
}

template <class Base, const InterpreterClass& kClass>
std::string InterpreterModel<Base, kClass>::str(bool representation) const {
    std::string text = InterpreterModel::InterpreterCore::str(representation);
    if constexpr (std::is_same_v<Base, LumpedModel>) {
        if (this->port_map && parametric_initialized(this->parametric_data)) {
            Ref ports(port_map_object(*this->port_map));
            Ref repr(ports ? PyObject_Repr(ports.get()) : nullptr);
            const char* ports_text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
            if (!ports_text) throw InterpreterError();
            text.pop_back();  // the closing parenthesis
            text += (text.back() == '(' ? "port_map=" : ", port_map=") + std::string(ports_text) + ")";
        }
    }
    return text;
}

template <class Base, const InterpreterClass& kClass>
std::shared_ptr<SMatrix> InterpreterModel<Base, kClass>::s_matrix(const std::shared_ptr<Component>& component,
                                                                  std::span<const double> frequencies,
                                                                  bool show_progress,
                                                                  const std::shared_ptr<BaseType>& kwargs) {
    PyObject* instance = this->instance();
    if (!instance) throw std::runtime_error("Model is not bound to an interpreter object.");
    Ref component_obj(wrap(component));
    Ref frequency_array(component_obj ? vector_array(frequencies.data(), frequencies.size()) : nullptr);
    Ref model_kwargs(frequency_array ? model_kwargs_dict(kwargs) : nullptr);
    Ref result(model_kwargs ? PyObject_CallMethod(instance, "s_matrix", "OOOO", component_obj.get(),
                                                  frequency_array.get(),
                                                  show_progress ? Py_True : Py_False,
                                                  model_kwargs.get())
                            : nullptr);
    if (!result) throw InterpreterError();
    if (!is_instance(result.get(), TypeCode::SMatrix)) {
        PyErr_SetString(PyExc_TypeError, "Method 's_matrix' from model did not return an SMatrix.");
        throw InterpreterError();
    }
    return unwrap<SMatrix>(result.get());
}

template class InterpreterModel<Model, kModelClass>;
template class InterpreterModel<LumpedModel, kLumpedModelClass>;

bool parse_s_matrix_call(PyObject* args, PyObject* kwds, SMatrixCall& out) {
    static const char* keywords[] = {"component", "frequencies", "show_progress", "model_kwargs", nullptr};
    PyObject *frequencies_obj, *model_kwargs = nullptr;
    int show_progress = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|pO:s_matrix", (char**)keywords, &out.component,
                                     &frequencies_obj, &show_progress, &model_kwargs))
        return false;
    if (!is_instance(out.component, TypeCode::Component)) {
        PyErr_SetString(PyExc_TypeError, "'component' must be a Component instance.");
        return false;
    }
    std::vector<double> frequencies;
    if (!to_frequencies(frequencies_obj, frequencies)) return false;
    if (model_kwargs && !PyDict_Check(model_kwargs)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'model_kwargs' must be a dictionary.");
        return false;
    }
    out.show_progress = show_progress != 0;
    out.frequencies = Ref(vector_array(frequencies));
    out.model_kwargs = Ref(model_kwargs ? PyDict_Copy(model_kwargs) : PyDict_New());
    return out.frequencies && out.model_kwargs;
}

namespace {

// ---- Construction and attributes -------------------------------------------------------

int model_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return keyword_init<Model>(self, args, kwds, kModelClass);
}

// The stepper registered for the model's class in the configured default time steppers: a
// class is instantiated, anything else is used as it is. Null without an exception when there
// is none.
PyObject* default_time_stepper(PyObject* self) {
    auto* holder = static_cast<PyNative*>(config().default_time_steppers.get());
    PyObject* defaults = holder ? holder->value() : nullptr;
    if (!defaults || !PyDict_Check(defaults)) return nullptr;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* entry = PyDict_GetItemWithError(defaults, type);
    if (!entry && !PyErr_Occurred()) {
        Ref name(PyObject_GetAttrString(type, "__name__"));
        entry = name ? PyDict_GetItemWithError(defaults, name.get()) : nullptr;
    }
    if (!entry) return nullptr;
    return PyType_Check(entry) ? PyObject_CallNoArgs(entry) : Py_NewRef(entry);
}

PyObject* get_time_stepper(PyObject* self, void*) {
    auto model = unwrap<Model>(self);
    if (!model) return nullptr;
    if (model->time_stepper) return wrap(model->time_stepper);
    PyObject* stepper = default_time_stepper(self);
    if (!stepper && !PyErr_Occurred())
        PyErr_SetString(PyExc_RuntimeError, "No default time stepper defined.");
    return stepper;
}

int set_time_stepper(PyObject* self, PyObject* value, void*) {
    if (!value || (value != Py_None && !is_instance(value, TypeCode::TimeStepper))) {
        PyErr_SetString(PyExc_TypeError,
                        "'time_stepper' must be an instance of the TimeStepper class or None.");
        return -1;
    }
    std::shared_ptr<BaseType> stepper = value == Py_None ? nullptr : unwrap_base(value);
    return modify<Model>(self, [&](Model& m) { m.time_stepper = stepper; }) ? 0 : -1;
}

// ---- Running ---------------------------------------------------------------------------

// Calls self.start(*args, **kwargs).
PyObject* call_start(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref start(PyObject_GetAttrString(self, "start"));
    return start ? PyObject_Call(start.get(), args, kwargs) : nullptr;
}

PyObject* method_start(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "Classes derived from Model must implement a 'start' method.");
    return nullptr;
}

PyObject* method_autograd_smatrix(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "Classes derived from Model must implement an 'autograd_smatrix' method for autograd.");
    return nullptr;
}

// Runs start and polls a runner until it yields the S matrix.
PyObject* run_model(PyObject* self, PyObject* component, PyObject* frequencies, bool show_progress,
                    PyObject* model_kwargs) {
    if (show_progress && !print_progress("Starting\u2026\r")) return nullptr;
    Ref args(PyTuple_Pack(2, component, frequencies));
    Ref result(args ? call_start(self, args.get(), model_kwargs) : nullptr);
    if (!result) return nullptr;
    if (is_instance(result.get(), TypeCode::SMatrix)) return result.release();
    Ref status(poll_runner(result.get(), kModelRunnerTexts, show_progress));
    if (!status) return nullptr;
    Ref s_matrix(PyObject_GetAttrString(result.get(), "s_matrix"));
    if (!s_matrix) return nullptr;
    if (!is_instance(s_matrix.get(), TypeCode::SMatrix)) {
        PyErr_SetString(PyExc_RuntimeError, "Attribute 's_matrix' from model result is not an SMatrix instance.");
        return nullptr;
    }
    return s_matrix.release();
}

PyObject* method_s_matrix(PyObject* self, PyObject* args, PyObject* kwds) {
    SMatrixCall call;
    if (!parse_s_matrix_call(args, kwds, call)) return nullptr;
    return run_model(self, call.component, call.frequencies.get(), call.show_progress, call.model_kwargs.get());
}

// The sum of "estimated_cost" over the tasks of a finished status.
PyObject* total_cost(PyObject* status) {
    double total = 0;
    PyObject* tasks = PyDict_GetItemString(status, "tasks");
    if (tasks && PyDict_Check(tasks)) {
        Py_ssize_t position = 0;
        PyObject *task, *info;
        while (PyDict_Next(tasks, &position, &task, &info)) {
            PyObject* cost = PyDict_Check(info) ? PyDict_GetItemString(info, "estimated_cost") : nullptr;
            if (!cost) continue;
            double value = PyFloat_AsDouble(cost);
            if (value == -1 && PyErr_Occurred()) return nullptr;
            total += value;
        }
    }
    return PyFloat_FromDouble(total);
}

PyObject* method_estimate_cost(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref kwargs(kwds ? PyDict_Copy(kwds) : PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "cost_estimation", Py_True) < 0) return nullptr;
    Ref result(call_start(self, args, kwargs.get()));
    if (!result) return nullptr;
    if (is_instance(result.get(), TypeCode::SMatrix)) return PyFloat_FromDouble(0);
    Ref status(poll_runner(result.get(), kModelRunnerTexts, false));
    return status ? total_cost(status.get()) : nullptr;
}

PyObject* method_setup_time_stepper(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"component", "time_step", "carrier_frequency", "show_progress",
                                     "time_stepper_kwargs", nullptr};
    PyObject *component, *stepper_kwargs = nullptr;
    double time_step, carrier_frequency = 0;
    int show_progress = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Od|dpO:setup_time_stepper", (char**)keywords,
                                     &component, &time_step, &carrier_frequency, &show_progress,
                                     &stepper_kwargs))
        return nullptr;
    if (stepper_kwargs && !PyDict_Check(stepper_kwargs)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'time_stepper_kwargs' must be a dictionary.");
        return nullptr;
    }
    auto model = unwrap<Model>(self);
    if (!model) return nullptr;
    Ref stepper(model->time_stepper ? wrap(model->time_stepper) : default_time_stepper(self));
    if (!stepper) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "No default time stepper provided.");
        return nullptr;
    }
    Ref setup_args(Py_BuildValue("(Od)", component, time_step));
    Ref setup_kwargs(stepper_kwargs ? PyDict_Copy(stepper_kwargs) : PyDict_New());
    Ref carrier(PyFloat_FromDouble(carrier_frequency));
    if (!setup_args || !setup_kwargs || !carrier ||
        PyDict_SetItemString(setup_kwargs.get(), "carrier_frequency", carrier.get()) < 0 ||
        PyDict_SetItemString(setup_kwargs.get(), "show_progress", show_progress ? Py_True : Py_False) < 0)
        return nullptr;
    Ref setup(PyObject_GetAttrString(stepper.get(), "setup"));
    Ref done(setup ? PyObject_Call(setup.get(), setup_args.get(), setup_kwargs.get()) : nullptr);
    return done ? stepper.release() : nullptr;
}

// ---- Updates, transforms and copies ----------------------------------------------------

PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds) {
    return parametric_update<Model>(self, args, kwds, model_class(self));
}

PyObject* method_transform(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"translation", "rotation", "scaling", "x_reflection", nullptr};
    PyObject* translation = nullptr;
    double rotation = 0, scaling = 1;
    int x_reflection = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|Oddp:transform", (char**)keywords, &translation,
                                     &rotation, &scaling, &x_reflection))
        return nullptr;
    Vec2 offset;
    if (!to_point(translation, "translation", offset)) return nullptr;
    return same(self);
}

// A copy of the model (with its port map), sharing its time stepper unless deep (through `memo`).
PyObject* copy_model(PyObject* self, PyObject* memo) {
    return copy_instance<Model>(self, memo, model_class(self), [&](Model& model, PyObject* copy) {
        std::shared_ptr<BaseType> stepper = model.time_stepper;
        if (stepper && memo) {
            Ref stepper_obj(wrap(stepper));
            Ref stepper_copy(stepper_obj ? duplicate(stepper_obj.get(), memo) : nullptr);
            if (!stepper_copy) return false;
            stepper = unwrap_base(stepper_copy.get());
        }
        return modify<Model>(copy, [&](Model& m) {
            m.time_stepper = stepper;
            if (auto* lumped = dynamic_cast<LumpedModel*>(&m))
                lumped->port_map = dynamic_cast<LumpedModel&>(model).port_map;
        });
    });
}

PyObject* method_copy(PyObject* self, PyObject*) { return copy_model(self, nullptr); }

PyObject* method_deepcopy(PyObject* self, PyObject* args) { return deepcopy_with_memo(self, args, copy_model); }

PyMethodDef model_methods[] = {
    WHISTLE_KEYWORD_METHOD("start", method_start,
        "start(component, frequencies, **kwargs)\n\nStart computing the S matrix of the component: "
        "return an SMatrix, or a runner whose 'status' dict reports 'message' ('running', "
        "'success' or 'error') and 'progress' (0 to 100) and whose 's_matrix' holds the result "
        "after success. Derived classes must implement it."),
    WHISTLE_KEYWORD_METHOD("s_matrix", method_s_matrix,
        "s_matrix(component, frequencies, show_progress=True, model_kwargs={})\n\nRun start with "
        "the model keyword arguments and poll its runner (every 0.3 s) until the S matrix is ready."),
    WHISTLE_KEYWORD_METHOD("estimate_cost", method_estimate_cost,
        "estimate_cost(*args, **kwargs)\n\nCall start with cost_estimation=True and return the sum "
        "of 'estimated_cost' over the tasks of the finished runner's status."),
    WHISTLE_KEYWORD_METHOD("autograd_smatrix", method_autograd_smatrix,
        "autograd_smatrix(*, component, traced_params, frequencies, component_for_params, "
        "param_names, show_progress=True, model_kwargs=None)\n\nS matrix with traced parameters; "
        "derived classes implement it."),
    WHISTLE_KEYWORD_METHOD("setup_time_stepper", method_setup_time_stepper,
        "setup_time_stepper(component, time_step, carrier_frequency=0, show_progress=True, "
        "time_stepper_kwargs={})\n\nSet up the model's time stepper (or its default one) for the "
        "component and return it."),
    WHISTLE_KEYWORD_METHOD("transform", method_transform,
        "transform(translation=(0, 0), rotation=0, scaling=1, x_reflection=False)\n\nTransform "
        "geometry settings of the model (derived classes); returns the model."),
    WHISTLE_INTERPRETER_METHODS("model"),
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef model_getset[] = {
    WHISTLE_BASE_GETSET,
    {"time_stepper", get_time_stepper, set_time_stepper,
     "TimeStepper: Time stepper of the model (the default one when none is set).", nullptr},
    WHISTLE_PARAMETRIC_GETSET(whistle::Model, "model"),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject model_type = interpreter_type<PyModel>(wrapper_type(
    "tarnwhistle.Model",
    "Model(**kwargs)\n\nBase of circuit models. Derived classes call super().__init__ with "
    "keyword arguments only (stored as parametric_kwargs; update() re-runs __init__ with "
    "them) and implement start().",
    model_init, model_methods, model_getset));

}  // namespace

PyObject* function_register_model_class(PyObject* module, PyObject* args, PyObject* kwds) {
    return register_classes(module, args, kwds, &model_type, kModelClass);
}

PyTypeObject* Model_type() { return register_exposed_type(TypeCode::Model, &model_type); }

}  // namespace whistle::py
