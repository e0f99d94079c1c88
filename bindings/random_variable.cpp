// `RandomVariable`: construction from a fixed value, a normal distribution, a range or a value
// list; values from cumulative probabilities; text forms, comparison and copies.
#include "random_variable.hpp"

#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

// ---- Core variable ---------------------------------------------------------------------

PyRandomVariable::PyRandomVariable(std::string name, Distribution distribution, PyObject* spec,
                                   PyObject* value)
    : RandomVariable(std::move(name), distribution), spec_(Py_NewRef(spec)), value_(Py_NewRef(value)) {}

PyRandomVariable::PyRandomVariable(const PyRandomVariable& other)
    : RandomVariable(other), parent(other.parent), spec_(Py_NewRef(other.spec_)),
      value_(Py_NewRef(other.value_)) {}

PyRandomVariable::~PyRandomVariable() {
    if (interpreter_finalizing || !Py_IsInitialized()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(spec_);
    Py_DECREF(value_);
    PyGILState_Release(state);
}

bool PyRandomVariable::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const PyRandomVariable*>(&other);
    if (!o || o->name != name || o->distribution() != distribution() ||
        o->parent.lock() != parent.lock())
        return false;
    int result = PyObject_RichCompareBool(spec_, o->spec_, Py_EQ);
    if (result < 0) throw InterpreterError();
    return result == 1;
}

std::optional<size_t> PyRandomVariable::size() const {
    if (distribution() == Distribution::Fixed) return 1;
    if (distribution() == Distribution::Discrete) return size_t(PyTuple_GET_SIZE(spec_));
    return std::nullopt;
}

namespace {

// The repr of an interpreter object, for text forms.
std::string repr_text(PyObject* obj) {
    Ref text(PyObject_Repr(obj));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) throw InterpreterError();
    return utf8;
}

}  // namespace

std::string PyRandomVariable::str(bool representation) const {
    if (representation) {
        Ref spec(value_spec());
        if (!spec) throw InterpreterError();
        return "RandomVariable(" + repr_text(Ref(PyUnicode_FromString(name.c_str())).get()) +
               ", **" + repr_text(spec.get()) + ")";
    }
    std::string head = " random variable '" + name + "'";
    switch (distribution()) {
        case Distribution::Normal:
            return "Normal" + head + " with mean " + repr_text(PyTuple_GET_ITEM(spec_, 0)) +
                   " and standard deviation " + repr_text(PyTuple_GET_ITEM(spec_, 1));
        case Distribution::Uniform:
            return "Uniform" + head + " between " + repr_text(PyTuple_GET_ITEM(spec_, 0)) +
                   " and " + repr_text(PyTuple_GET_ITEM(spec_, 1));
        case Distribution::Discrete:
            return "Discrete" + head + " over the values " + repr_text(spec_);
        case Distribution::Fixed: break;
    }
    return "Fixed" + head + " with value " + repr_text(value_);
}

PyObject* PyRandomVariable::value_spec() const {
    PyObject* first = PyTuple_GET_ITEM(spec_, 0);
    switch (distribution()) {
        case Distribution::Normal:
            return Py_BuildValue("{sOsO}", "value", first, "stdev", PyTuple_GET_ITEM(spec_, 1));
        case Distribution::Uniform: return Py_BuildValue("{sO}", "value_range", spec_);
        case Distribution::Discrete: return Py_BuildValue("{sO}", "values", spec_);
        case Distribution::Fixed: break;
    }
    return Py_BuildValue("{sO}", "value", value_);
}

PyObject* PyRandomVariable::set_by_cdf(double p) {
    try {
        check_probability(p);
    }
    WHISTLE_CATCH(nullptr)
    Ref value;
    switch (distribution()) {
        case Distribution::Fixed: value = Ref(Py_NewRef(value_)); break;
        case Distribution::Normal: {
            Ref quantile(PyFloat_FromDouble(clamped_normal_quantile(p)));
            Ref offset(quantile ? PyNumber_Multiply(PyTuple_GET_ITEM(spec_, 1), quantile.get()) : nullptr);
            value = Ref(offset ? PyNumber_Add(PyTuple_GET_ITEM(spec_, 0), offset.get()) : nullptr);
            break;
        }
        case Distribution::Uniform: {
            Ref lower_weight(PyFloat_FromDouble(1 - p)), upper_weight(PyFloat_FromDouble(p));
            Ref lower(lower_weight ? PyNumber_Multiply(lower_weight.get(), PyTuple_GET_ITEM(spec_, 0)) : nullptr);
            Ref upper(upper_weight ? PyNumber_Multiply(upper_weight.get(), PyTuple_GET_ITEM(spec_, 1)) : nullptr);
            value = Ref(lower && upper ? PyNumber_Add(lower.get(), upper.get()) : nullptr);
            break;
        }
        case Distribution::Discrete:
            value = Ref(Py_NewRef(PyTuple_GET_ITEM(spec_, discrete_index(p, *size()))));
            break;
    }
    if (!value) return nullptr;
    Py_SETREF(value_, Py_NewRef(value.get()));
    return value.release();
}

std::shared_ptr<PyRandomVariable> PyRandomVariable::deep_copy(PyObject* memo) const {
    PyObject* deepcopy = solver_object("deepcopy");
    Ref spec(deepcopy ? PyObject_CallFunctionObjArgs(deepcopy, spec_, memo, nullptr) : nullptr);
    Ref value(spec ? PyObject_CallFunctionObjArgs(deepcopy, value_, memo, nullptr) : nullptr);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "Deep copy is not available.");
        return nullptr;
    }
    auto copy = std::make_shared<PyRandomVariable>(*this);
    Py_SETREF(copy->spec_, spec.release());
    Py_SETREF(copy->value_, value.release());
    return copy;
}

bool is_parent_object(PyObject* obj) {
    return obj == Py_None || is_instance(obj, TypeCode::Component) ||
           is_instance(obj, TypeCode::Technology) || is_instance(obj, TypeCode::Model);
}

PyObject* normal_variable(const char* name, double mean, double stdev, const std::shared_ptr<BaseType>& parent) {
    Ref mean_obj(PyFloat_FromDouble(mean));
    Ref spec(mean_obj ? Py_BuildValue("(Od)", mean_obj.get(), stdev) : nullptr);
    if (!spec) return nullptr;
    try {
        auto variable = std::make_shared<PyRandomVariable>(name, Distribution::Normal, spec.get(), mean_obj.get());
        variable->parent = parent;
        return wrap(variable);
    }
    WHISTLE_CATCH(nullptr)
}

void adopt_variables(PyObject* list, const BaseType* from, const std::shared_ptr<BaseType>& to) {
    if (!list || !PyList_Check(list)) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!is_instance(item, TypeCode::RandomVariable)) continue;
        auto variable = unwrap<PyRandomVariable>(item);
        if (variable && variable->parent.lock().get() == from) variable->parent = to;
    }
}

namespace {

// ---- Construction and attributes -------------------------------------------------------

constexpr const char* kParentMessage =
    "'parent' must be None, or a Component, Technology, or Model instance.";

std::weak_ptr<BaseType> parent_of(PyObject* obj) {
    if (obj == Py_None) return {};
    return unwrap_base(obj);
}

// The distribution, spec tuple and starting value of the constructor's value arguments (any
// may be null). Returns false with an exception set.
bool distribution_of(PyObject* value, PyObject* stdev, PyObject* values, PyObject* value_range,
                     Distribution& distribution, Ref& spec) {
    int given = (value != nullptr) + (values != nullptr) + (value_range != nullptr);
    if (given == 0) {
        PyErr_SetString(PyExc_RuntimeError, "One of 'value', 'values', or 'value_range' must be specified.");
        return false;
    }
    if (given > 1) {
        PyErr_SetString(PyExc_RuntimeError, "Only one of 'value', 'values', or 'value_range' can be specified.");
        return false;
    }
    if (stdev && !value) {
        PyErr_SetString(PyExc_RuntimeError, "Argument 'stdev' can only be specified with 'value'.");
        return false;
    }
    if (value) {
        distribution = stdev ? Distribution::Normal : Distribution::Fixed;
        spec = Ref(stdev ? PyTuple_Pack(2, value, stdev) : PyTuple_Pack(1, value));
        return bool(spec);
    }
    PyObject* sequence = values ? values : value_range;
    spec = Ref(PySequence_Check(sequence) && !PyUnicode_Check(sequence) ? sequence_items(sequence) : nullptr);
    Py_ssize_t count = spec ? PyTuple_GET_SIZE(spec.get()) : -1;
    if (values && count < 1) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "'values' must be a sequence with length greater than 0.");
        return false;
    }
    if (value_range && count != 2) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "'value_range' must be a sequence with length 2.");
        return false;
    }
    distribution = value_range ? Distribution::Uniform
                   : count == 1 ? Distribution::Fixed
                                : Distribution::Discrete;
    return true;
}

int random_variable_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name", "parent", "value", "stdev", "values", "value_range", nullptr};
    PyObject *name_obj, *parent_obj = Py_None, *value = nullptr, *stdev = nullptr, *values = nullptr,
                        *value_range = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O$OOOO:RandomVariable", (char**)keywords, &name_obj,
                                     &parent_obj, &value, &stdev, &values, &value_range))
        return -1;
    const char* name = PyUnicode_Check(name_obj) ? PyUnicode_AsUTF8(name_obj) : nullptr;
    if (!name) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Argument 'name' must be a string.");
        return -1;
    }
    if (!is_parent_object(parent_obj)) {
        PyErr_SetString(PyExc_TypeError,
                        "Argument 'parent' must be None, or a Component, Technology, or Model instance.");
        return -1;
    }
    for (PyObject** given : {&value, &stdev, &values, &value_range})
        if (*given == Py_None) *given = nullptr;
    Distribution distribution;
    Ref spec;
    if (!distribution_of(value, stdev, values, value_range, distribution, spec)) return -1;
    try {
        PyObject* initial = distribution == Distribution::Fixed ? PyTuple_GET_ITEM(spec.get(), 0) : Py_None;
        auto variable = std::make_shared<PyRandomVariable>(name, distribution, spec.get(), initial);
        variable->parent = parent_of(parent_obj);
        // The others start at the median: the mean, the middle of the range or of the values.
        if (distribution != Distribution::Fixed && !Ref(variable->set_by_cdf(0.5))) return -1;
        install(self, std::move(variable));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_name(PyObject* self, void*) {
    auto variable = unwrap<PyRandomVariable>(self);
    return variable ? PyUnicode_FromStringAndSize(variable->name.data(), Py_ssize_t(variable->name.size()))
                    : nullptr;
}

int set_name(PyObject* self, PyObject* value, void*) {
    const char* name = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (!name) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "'name' must be a string.");
        return -1;
    }
    std::string text = name;
    return modify<PyRandomVariable>(self, [&](PyRandomVariable& v) { v.name = std::move(text); }) ? 0 : -1;
}

PyObject* get_parent(PyObject* self, void*) {
    auto variable = unwrap<PyRandomVariable>(self);
    if (!variable) return nullptr;
    std::shared_ptr<BaseType> parent = variable->parent.lock();
    return parent ? wrap(parent) : Py_NewRef(Py_None);
}

int set_parent(PyObject* self, PyObject* value, void*) {
    if (!value || !is_parent_object(value)) {
        PyErr_SetString(PyExc_TypeError, kParentMessage);
        return -1;
    }
    std::weak_ptr<BaseType> parent = parent_of(value);
    return modify<PyRandomVariable>(self, [&](PyRandomVariable& v) { v.parent = parent; }) ? 0 : -1;
}

PyObject* get_type(PyObject* self, void*) {
    auto variable = unwrap<PyRandomVariable>(self);
    return variable ? PyUnicode_FromString(distribution_name(variable->distribution())) : nullptr;
}

PyObject* get_value_spec(PyObject* self, void*) {
    auto variable = unwrap<PyRandomVariable>(self);
    return variable ? variable->value_spec() : nullptr;
}

PyObject* get_value(PyObject* self, void*) {
    auto variable = unwrap<PyRandomVariable>(self);
    return variable ? Py_NewRef(variable->value()) : nullptr;
}

PyObject* method_size(PyObject* self, PyObject*) {
    auto variable = unwrap<PyRandomVariable>(self);
    if (!variable) return nullptr;
    std::optional<size_t> size = variable->size();
    return size ? PyLong_FromSize_t(*size) : Py_NewRef(Py_None);
}

PyObject* method_set_by_cdf(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"cdf", nullptr};
    double p;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d:set_by_cdf", (char**)keywords, &p)) return nullptr;
    auto variable = unwrap<PyRandomVariable>(self);
    return variable ? variable->set_by_cdf(p) : nullptr;
}

PyObject* method_deepcopy(PyObject* self, PyObject* memo) {
    if (memo != Py_None && !PyDict_Check(memo)) {
        PyErr_SetString(PyExc_TypeError, "Deepcopy memo must be a dictionary.");
        return nullptr;
    }
    auto variable = unwrap<PyRandomVariable>(self);
    auto copy = variable ? variable->deep_copy(memo) : nullptr;
    return copy ? wrap(copy) : nullptr;
}

PyMethodDef random_variable_methods[] = {
    {"size", (PyCFunction)method_size, METH_NOARGS,
     "size()\n\nNumber of values: 1 for a fixed variable, the value count for a discrete one, "
     "None for normal and uniform variables."},
    WHISTLE_KEYWORD_METHOD("set_by_cdf", method_set_by_cdf,
        "set_by_cdf(cdf)\n\nSet the current value to the one at cumulative probability cdf (0 to "
        "1) and return it."),
    {"__copy__", (PyCFunction)whistle::py::method_copy, METH_NOARGS, "Shallow copy."},
    {"__deepcopy__", (PyCFunction)method_deepcopy, METH_O, "Deep copy: the values are copied too."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef random_variable_getset[] = {
    {"name", get_name, set_name, "str: Name of the parameter the variable drives.", nullptr},
    {"parent", get_parent, set_parent,
     "Component | Model | Technology | None: Object whose parameter this is (not kept alive "
     "by the variable).", nullptr},
    {"type", get_type, nullptr, "str: 'fixed', 'normal', 'uniform' or 'discrete'.", nullptr},
    {"value_spec", get_value_spec, nullptr, "dict: Keyword arguments that define the distribution.", nullptr},
    {"value", get_value, nullptr, "Current value.", nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject random_variable_type = wrapper_type(
    "tarnwhistle.monte_carlo.RandomVariable",
    "RandomVariable(name, parent=None, *, value=None, stdev=None, values=None, value_range=None)\n\n"
    "An uncertain parameter of a component, model or technology: a fixed value, a normal "
    "distribution (value and stdev), a uniform range (value_range) or equally likely values "
    "(values). The current value starts at the median.",
    random_variable_init, random_variable_methods, random_variable_getset);

}  // namespace

PyTypeObject* RandomVariable_type() {
    return register_exposed_type(TypeCode::RandomVariable, &random_variable_type);
}

}  // namespace whistle::py
