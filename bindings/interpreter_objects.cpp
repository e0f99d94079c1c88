#include "interpreter_objects.hpp"

#include "core/foundation/config.hpp"
#include "model_class.hpp"
#include "time_stepper.hpp"
#include "parametric.hpp"
#include "random_variable.hpp"

namespace whistle::py {

PyNative::PyNative(TypeCode code, PyObject* value) : BaseType(code), value_(value) {
    Py_XINCREF(value_);
}

PyNative::PyNative(const PyNative& other) : BaseType(other), value_(other.value_) {
    Py_XINCREF(value_);
}

PyNative::~PyNative() {
    // After interpreter shutdown began, the references may point into a dead interpreter.
    if (interpreter_finalizing || !Py_IsInitialized()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_XDECREF(value_);
    PyGILState_Release(state);
}

void PyNative::set_value(PyObject* value) {
    Py_XINCREF(value);
    Py_XDECREF(value_);
    value_ = value;
}

bool PyNative::equals(const BaseType& other) const {
    auto* o = dynamic_cast<const PyNative*>(&other);
    if (!o || o->type_code() != type_code()) return false;
    if (value_ == o->value_) return true;
    if (!value_ || !o->value_) return false;
    int result = PyObject_RichCompareBool(value_, o->value_, Py_EQ);
    if (result < 0) PyErr_Clear();
    return result == 1;
}

std::string PyNative::str(bool representation) const {
    if (!value_) return "None";
    Ref text(representation ? PyObject_Repr(value_) : PyObject_Str(value_));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return BaseType::str(representation);
    }
    return utf8;
}

namespace {

// A dict of the five update dicts, each a shallow copy of the source's (new ones when null).
PyObject* update_dicts(PyObject* source) {
    Ref result(PyDict_New());
    if (!result) return nullptr;
    for (const char* name : PyUpdateKwargs::kNames) {
        PyObject* item = source ? PyDict_GetItemString(source, name) : nullptr;
        Ref dict(item ? PyDict_Copy(item) : PyDict_New());
        if (!dict || PyDict_SetItemString(result.get(), name, dict.get()) < 0) return nullptr;
    }
    return result.release();
}

// Builds the held dict of the five, or throws std::bad_alloc.
PyObject* checked_update_dicts(PyObject* source) {
    PyObject* dicts = update_dicts(source);
    if (!dicts) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    return dicts;
}

}  // namespace

PyUpdateKwargs::PyUpdateKwargs() : PyNative(TypeCode::Void, nullptr) {
    Ref dicts(checked_update_dicts(nullptr));
    set_value(dicts.get());
}

PyUpdateKwargs::PyUpdateKwargs(const PyUpdateKwargs& other) : PyNative(other) {
    Ref dicts(checked_update_dicts(other.value()));
    set_value(dicts.get());
}

PyObject* PyUpdateKwargs::dict(Slot slot) const { return PyDict_GetItemString(value(), kNames[slot]); }

bool PyUpdateKwargs::set_dict(Slot slot, PyObject* dict) {
    return PyDict_SetItemString(value(), kNames[slot], dict) == 0;
}

bool PyUpdateKwargs::empty() const {
    for (int slot = 0; slot < kSlotCount; ++slot)
        if (PyDict_Size(dict(Slot(slot))) != 0) return false;
    return true;
}

bool create_prototypes() {
    // One prototype per interpreter-backed class, in slot order.
    static constexpr TypeCode codes[Config::kPrototypeCount] = {
        TypeCode::Native, TypeCode::Medium, TypeCode::Model, TypeCode::TimeStepper,
        TypeCode::RandomVariable, TypeCode::Void, TypeCode::Void};
    Config& cfg = config();
    try {
        cfg.prototypes[Config::kUpdateKwargs] = std::make_shared<PyUpdateKwargs>();
    }
    WHISTLE_CATCH(false)
    for (int i = 0; i < Config::kPrototypeCount; ++i) {
        if (i == Config::kUpdateKwargs) continue;
        if (i == Config::kFenn3dModel)
            cfg.prototypes[i] = std::make_shared<Fenn3dBaseModel>(Py_None);
        else if (i == Config::kModel)
            cfg.prototypes[i] = std::make_shared<PyModel>(nullptr);
        else if (i == Config::kTimeStepper)
            cfg.prototypes[i] = std::make_shared<PyTimeStepper>(nullptr);
        else if (i == Config::kRandomVariable)
            cfg.prototypes[i] = std::make_shared<PyRandomVariable>(
                "", Distribution::Fixed, Ref(PyTuple_Pack(1, Py_None)).get(), Py_None);
        else if (i == Config::kParametricData)
            cfg.prototypes[i] = std::make_shared<PyParametricData>(Py_None);
        else
            cfg.prototypes[i] = std::make_shared<PyNative>(codes[i], Py_None);
    }
    return true;
}

bool create_config_dicts() {
    Ref steppers(PyDict_New());
    Ref kwargs(PyDict_New());
    if (!steppers || !kwargs) return false;
    config().default_time_steppers = std::make_shared<PyNative>(TypeCode::Native, steppers.get());
    config().default_kwargs = std::make_shared<PyNative>(TypeCode::Native, kwargs.get());
    return true;
}

}  // namespace whistle::py
