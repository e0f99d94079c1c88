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

InterpreterInstance::InterpreterInstance(PyObject* instance) : instance_(instance) { Py_XINCREF(instance_); }

InterpreterInstance::~InterpreterInstance() {
    if (interpreter_finalizing || !Py_IsInitialized()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_CLEAR(instance_);
    PyGILState_Release(state);
}

void InterpreterInstance::release_instance() { Py_CLEAR(instance_); }

namespace {

// The names used in messages about each kind of model.
template <class Base>
struct ModelKind {
    static constexpr const char* wording = "model";
    static constexpr const char* type_name = "Model";
    static PyTypeObject* type() { return Model_type(); }
};

template <>
struct ModelKind<LumpedModel> {
    static constexpr const char* wording = "lumped model";
    static constexpr const char* type_name = "LumpedModel";
    static PyTypeObject* type() { return LumpedModel_type(); }
};

}  // namespace

template <class Base>
std::shared_ptr<BaseType> InterpreterModel<Base>::clone() const {
    if (!instance_) return std::make_shared<InterpreterModel>(nullptr);
    Ref memo(PyDict_New());
    Ref copy(memo ? PyObject_CallMethod(instance_, "__deepcopy__", "O", memo.get()) : nullptr);
    if (!copy) throw InterpreterError();
    if (!PyObject_TypeCheck(copy.get(), ModelKind<Base>::type()) || !unwrap_base(copy.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "Method '%s' from %s did not return a '%s' subclass.", "__deepcopy__",
                     ModelKind<Base>::wording, ModelKind<Base>::type_name);
        throw InterpreterError();
    }
    return unwrap_base(copy.get());
}

namespace {

PyObject* kwargs_of(const Model& model) { return PyParametricData::item(model.parametric_data, "kwargs"); }

bool initialized(const Model& model) {
    PyObject* kwargs = kwargs_of(model);
    return kwargs && kwargs != Py_None;
}

}  // namespace

template <class Base>
bool InterpreterModel<Base>::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const InterpreterModel*>(&other);
    if (!o || !instance_ || !o->instance_) return false;
    if (instance_ == o->instance_) return true;
    if (Py_TYPE(instance_) != Py_TYPE(o->instance_) || !initialized(*this) || !initialized(*o))
        return false;
    if constexpr (std::is_same_v<Base, LumpedModel>) {
        if (this->port_map != o->port_map) return false;
    }
    int result = PyObject_RichCompareBool(kwargs_of(*this), kwargs_of(*o), Py_EQ);
    if (result < 0) throw InterpreterError();
    return result == 1;
}

template <class Base>
std::string InterpreterModel<Base>::str(bool) const {
    if (!instance_) return std::string(ModelKind<Base>::type_name) + "()";
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(instance_)), "__name__"));
    const char* class_name = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!class_name) {
        PyErr_Clear();
        throw std::runtime_error("Invalid model class name.");
    }
    std::string text = std::string(class_name) + "(";
    if (!initialized(*this)) return text + "<uninitialized>)";
    PyObject* kwargs = kwargs_of(*this);
    if (!PyDict_Check(kwargs)) throw std::runtime_error("Invalid 'parametric_kwargs' in model.");
    Py_ssize_t position = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!key_text) {
            PyErr_Clear();
            throw std::runtime_error("Invalid 'parametric_kwargs' key in model.");
        }
        Ref repr(PyObject_Repr(value));
        const char* value_text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
        if (!value_text) {
            PyErr_Clear();
            throw std::runtime_error("Invalid value repr.");
        }
        text += (first ? "" : ", ") + std::string(key_text) + "=" + value_text;
        first = false;
    }
    if constexpr (std::is_same_v<Base, LumpedModel>) {
        if (this->port_map) {
            Ref ports(port_map_object(*this->port_map));
            Ref repr(ports ? PyObject_Repr(ports.get()) : nullptr);
            const char* ports_text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
            if (!ports_text) throw InterpreterError();
            text += (first ? "port_map=" : ", port_map=") + std::string(ports_text);
        }
    }
    return text + ")";
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

template <class Base>
std::shared_ptr<SMatrix> InterpreterModel<Base>::s_matrix(const std::shared_ptr<Component>& component,
                                                          std::span<const double> frequencies,
                                                          bool show_progress,
                                                          const std::shared_ptr<BaseType>& kwargs) {
    if (!instance_) throw std::runtime_error("Model is not bound to an interpreter object.");
    Ref component_obj(wrap(component));
    Ref frequency_array(component_obj ? vector_array(frequencies.data(), frequencies.size()) : nullptr);
    Ref model_kwargs(frequency_array ? model_kwargs_dict(kwargs) : nullptr);
    Ref result(model_kwargs ? PyObject_CallMethod(instance_, "s_matrix", "OOOO", component_obj.get(),
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

template class InterpreterModel<Model>;
template class InterpreterModel<LumpedModel>;

int init_model_kwargs(PyObject* self, PyObject* args, PyObject* kwds, const char* positional_message) {
    if (PyTuple_GET_SIZE(args) > 0) {
        PyErr_SetString(PyExc_TypeError, positional_message);
        return -1;
    }
    auto model = unwrap<Model>(self);
    if (!model) return -1;
    Ref kwargs(kwds ? PyDict_Copy(kwds) : PyDict_New());
    std::shared_ptr<BaseType> holder =
        kwargs ? PyParametricData::with_item(model->parametric_data, "kwargs", kwargs.get()) : nullptr;
    if (!holder) return -1;
    return modify<Model>(self, [&](Model& m) { m.parametric_data = holder; }) ? 0 : -1;
}

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

// The instance is reachable from its own core object only while the wrapper is that object's
// single owner; otherwise a component holds the model and the instance must stay.
InterpreterInstance* sole_model(PyObject* self) {
    auto& object = reinterpret_cast<Wrapper*>(self)->object;
    if (!object || object.use_count() != 1) return nullptr;
    return dynamic_cast<InterpreterInstance*>(object.get());
}

int model_traverse(PyObject* self, visitproc visit, void* arg) {
    if (InterpreterInstance* model = sole_model(self)) Py_VISIT(model->instance());
    return 0;
}

int model_clear(PyObject* self) {
    if (InterpreterInstance* model = sole_model(self)) model->release_instance();
    return 0;
}

void model_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    wrapper_dealloc(self);
}

int model_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return init_model_kwargs(self, args, kwds,
                             "'Model.__init__()' takes no positional arguments. Use keyword arguments "
                             "only in 'super().__init__(...)'.");
}

// The model of self when `__init__` ran; RuntimeError naming the class otherwise.
std::shared_ptr<Model> initialized_model(PyObject* self) {
    auto model = unwrap<Model>(self);
    if (model && !initialized(*model)) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s instance is not initialized in '%s'. Ensure derived __init__ calls "
                     "super().__init__(...).",
                     PyObject_TypeCheck(self, LumpedModel_type()) ? "LumpedModel" : "Model",
                     _PyType_Name(Py_TYPE(self)));
        return nullptr;
    }
    return model;
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

// Takes over the attributes and parametric state of `source` (a model built by the parametric
// function), keeping the function name.
bool adopt_state(PyObject* self, PyObject* source) {
    Ref target_dict(PyObject_GenericGetDict(self, nullptr));
    Ref source_dict(PyObject_GenericGetDict(source, nullptr));
    if (!target_dict || !source_dict) {
        PyErr_Clear();  // classes without an instance dict keep only the keyword arguments
    } else {
        PyDict_Clear(target_dict.get());
        if (PyDict_Update(target_dict.get(), source_dict.get()) < 0) return false;
    }
    auto built = unwrap<Model>(source);
    auto model = unwrap<Model>(self);
    if (!built || !model) return false;
    std::shared_ptr<BaseType> holder =
        PyParametricData::with_item(model->parametric_data, "kwargs", kwargs_of(*built));
    return holder && modify<Model>(self, [&](Model& m) { m.parametric_data = holder; });
}

PyObject* method_update(PyObject* self, PyObject* args, PyObject* kwds) {
    auto model = initialized_model(self);
    if (!model) return nullptr;
    Ref merged(merged_kwargs(kwargs_of(*model), kwds));
    if (!merged) return nullptr;
    PyObject* function_name = PyParametricData::item(model->parametric_data, "function");
    if (!function_name || function_name == Py_None) {
        // Re-running __init__ stores the new keyword arguments.
        Ref init(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__init__"));
        Ref call_args(init ? PySequence_Concat(Ref(PyTuple_Pack(1, self)).get(), args) : nullptr);
        Ref done(call_args ? PyObject_Call(init.get(), call_args.get(), merged.get()) : nullptr);
        return done ? same(self) : nullptr;
    }
    std::string name;
    if (!to_text(function_name, "parametric_function", name)) return nullptr;
    Ref function(registered_function("_model_registry", name, "Model class registry is not a dictionary.",
                                     ("Model class '" + name + "' not found in register: use the "
                                      "'register_model_class' function to register the class "
                                      "before loading a twf file.").c_str()));
    Ref built(function ? PyObject_Call(function.get(), args, merged.get()) : nullptr);
    if (!built) return nullptr;
    if (!is_instance(built.get(), TypeCode::Model)) {
        PyErr_Format(PyExc_TypeError, "Object created by '%s' must be an instance of 'Model'.", name.c_str());
        return nullptr;
    }
    return adopt_state(self, built.get()) ? same(self) : nullptr;
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

// A new instance of self's class with a copy of its attributes and model state; the attribute
// dict and keyword arguments are deep-copied through `memo` when it is given.
PyObject* copy_model(PyObject* self, PyObject* memo) {
    auto model = initialized_model(self);
    if (!model) return nullptr;
    auto* type = Py_TYPE(self);
    Ref copy(type->tp_new(type, Ref(PyTuple_New(0)).get(), nullptr));
    if (!copy) return nullptr;
    if (!is_instance(copy.get(), TypeCode::Model)) {
        PyErr_SetString(PyExc_TypeError, "Model copy did not return a model.");
        return nullptr;
    }
    if (memo) {
        Ref key(PyLong_FromVoidPtr(self));
        if (!key || PyDict_SetItem(memo, key.get(), copy.get()) < 0) return nullptr;
    }
    Ref copy_module(PyImport_ImportModule("copy"));
    auto duplicate = [&](PyObject* value) -> PyObject* {
        if (!memo) return Py_NewRef(value);
        return PyObject_CallMethod(copy_module.get(), "deepcopy", "OO", value, memo);
    };
    if (!copy_module) return nullptr;
    Ref source_dict(PyObject_GenericGetDict(self, nullptr));
    if (source_dict) {
        Ref values(duplicate(source_dict.get()));
        Ref target_dict(values ? PyObject_GenericGetDict(copy.get(), nullptr) : nullptr);
        if (!target_dict || PyDict_Update(target_dict.get(), values.get()) < 0) return nullptr;
    } else {
        PyErr_Clear();
    }
    std::shared_ptr<BaseType> holder = model->parametric_data;
    for (const char* key : {"kwargs", "random_variables"}) {
        PyObject* value = PyParametricData::item(holder, key);
        if (!value || value == Py_None) continue;
        // Even a shallow copy owns its containers: they define the model.
        Ref copied(memo ? duplicate(value) : PyDict_Check(value) ? PyDict_Copy(value) : PySequence_List(value));
        holder = copied ? PyParametricData::with_item(holder, key, copied.get()) : nullptr;
        if (!holder) return nullptr;
    }
    std::shared_ptr<BaseType> stepper = model->time_stepper;
    if (stepper && memo) {
        Ref stepper_obj(wrap(stepper));
        Ref stepper_copy(stepper_obj ? duplicate(stepper_obj.get()) : nullptr);
        if (!stepper_copy) return nullptr;
        stepper = unwrap_base(stepper_copy.get());
    }
    auto properties = model->properties();
    if (!modify<Model>(copy.get(), [&](Model& m) {
            m.parametric_data = holder;
            m.time_stepper = stepper;
            auto* lumped = dynamic_cast<LumpedModel*>(&m);
            if (lumped) lumped->port_map = std::dynamic_pointer_cast<LumpedModel>(model)->port_map;
            for (auto& [key, item] : properties->entries()) m.properties()->set(key, item);
        }))
        return nullptr;
    return copy.release();
}

PyObject* method_copy(PyObject* self, PyObject*) { return copy_model(self, nullptr); }

PyObject* method_deepcopy(PyObject* self, PyObject* args) {
    PyObject* memo = Py_None;
    if (!PyArg_ParseTuple(args, "|O:__deepcopy__", &memo)) return nullptr;
    Ref fresh;
    if (memo == Py_None) {
        fresh = Ref(PyDict_New());
        memo = fresh.get();
    } else if (!PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "Deepcopy memo must be a dictionary.");
        return nullptr;
    }
    return memo ? copy_model(self, memo) : nullptr;
}

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
    WHISTLE_KEYWORD_METHOD("update", method_update,
        "update(*args, **kwargs)\n\nRebuild the model in place with the stored keyword arguments "
        "updated by kwargs; returns the model."),
    WHISTLE_KEYWORD_METHOD("transform", method_transform,
        "transform(translation=(0, 0), rotation=0, scaling=1, x_reflection=False)\n\nTransform "
        "geometry settings of the model (derived classes); returns the model."),
    {"__copy__", (PyCFunction)method_copy, METH_NOARGS, "Shallow copy."},
    {"__deepcopy__", (PyCFunction)method_deepcopy, METH_VARARGS, "Deep copy."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef model_getset[] = {
    WHISTLE_BASE_GETSET,
    {"time_stepper", get_time_stepper, set_time_stepper,
     "TimeStepper: Time stepper of the model (the default one when none is set).", nullptr},
    WHISTLE_PARAMETRIC_GETSET(whistle::Model, "model"),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject make_model_type() {
    PyTypeObject type = wrapper_type(
        "tarnwhistle.Model",
        "Model(**kwargs)\n\nBase of circuit models. Derived classes call super().__init__ with "
        "keyword arguments only (stored as parametric_kwargs; update() re-runs __init__ with "
        "them) and implement start().",
        model_init, model_methods, model_getset);
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_new = new_interpreter_model<PyModel>;
    type.tp_traverse = model_traverse;
    type.tp_clear = model_clear;
    type.tp_dealloc = model_dealloc;
    return type;
}

PyTypeObject model_type = make_model_type();

}  // namespace

PyObject* function_register_model_class(PyObject* module, PyObject* args, PyObject* kwds) {
    if (kwds && PyDict_Size(kwds) > 0) {
        PyErr_SetString(PyExc_TypeError, "'register_model_class' takes positional arguments only.");
        return nullptr;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        if (!PyType_Check(item) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(item), &model_type)) {
            PyErr_Format(PyExc_TypeError, "Argument %zd is not a subclass of 'Model'.", i);
            return nullptr;
        }
    }
    Ref registry(PyObject_GetAttrString(module, "_model_registry"));
    if (!registry || !PyDict_Check(registry.get())) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "Model class registry is not a dictionary.");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Ref name(PyObject_GetAttrString(item, "__name__"));
        if (!name || PyDict_SetItem(registry.get(), name.get(), item) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyTypeObject* Model_type() { return register_exposed_type(TypeCode::Model, &model_type); }

}  // namespace whistle::py
