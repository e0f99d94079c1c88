// Machinery of the subclassable base types whose core object is implemented by an interpreter
// class (`Model`, `LumpedModel`, `TimeStepper`): the core object holds its instance, `__init__`
// takes keyword arguments only and stores them as the parametric keyword arguments, updates
// rebuild the instance, copies copy the instance dict, and a module registry maps class names
// to classes.
#pragma once

#include <string>

#include "common.hpp"
#include "parametric.hpp"

namespace whistle::py {

// The names one such type uses in its messages.
struct InterpreterClass {
    PyTypeObject* (*type)();        // the exposed type
    const char* name;               // type name: "Model"
    const char* noun;               // in running text: "model"
    const char* registry;           // module attribute of the class registry
    const char* register_function;  // module function filling the registry
};

// Keeps the interpreter instance of a core object alive: a component may hold the core object
// after the last interpreter handle is gone. The cycle through the instance's wrapper is
// broken by the interpreter's cycle collector (`instance_traverse`, `instance_clear`).
class InstanceLink {
public:
    // Takes a reference to `instance` (null for a prototype).
    explicit InstanceLink(PyObject* instance) : instance_(instance) { Py_XINCREF(instance_); }
    InstanceLink(const InstanceLink&) = delete;
    virtual ~InstanceLink();

    // Visits the interpreter objects the core object holds (cycle collection).
    virtual int traverse(visitproc visit, void* arg) const {
        Py_VISIT(instance_);
        return 0;
    }

    PyObject* instance() const { return instance_; }
    // Drops the reference to the instance (cycle collection of the last owner).
    void release_instance() { Py_CLEAR(instance_); }

private:
    PyObject* instance_;
};

// An instance of the type (or of a subclass) holding a core object.
bool is_instance_of(PyObject* obj, const InterpreterClass& cls);
// True when `__init__` stored the keyword arguments.
bool parametric_initialized(const std::shared_ptr<BaseType>& parametric_data);
// A deep copy of the instance through its `__deepcopy__`, for core copies.
std::shared_ptr<BaseType> deep_clone(PyObject* instance, const InterpreterClass& cls);
// Same class and equal keyword arguments.
bool same_parametric(PyObject* a, const std::shared_ptr<BaseType>& a_data, PyObject* b,
                     const std::shared_ptr<BaseType>& b_data);
// Class name and keyword arguments: Name(key=value, ...), or Name(<uninitialized>).
std::string parametric_text(PyObject* instance, const std::shared_ptr<BaseType>& parametric_data,
                            const InterpreterClass& cls);

// The core object of every instance of an interpreter-implemented type: `Base` is the core
// class (with a `parametric_data` field), `Self` the final class, `kClass` its names.
template <class Base, class Self, const InterpreterClass& kClass>
class InterpreterCore : public Base, public InstanceLink {
public:
    explicit InterpreterCore(PyObject* instance) : InstanceLink(instance) {}

    // A deep copy through the instance's `__deepcopy__`.
    std::shared_ptr<BaseType> clone() const override {
        if (!instance()) return std::make_shared<Self>(nullptr);
        return deep_clone(instance(), kClass);
    }
    // Same class and equal keyword arguments.
    bool equals(const BaseType& other) const override {
        auto* o = dynamic_cast<const Self*>(&other);
        return o && same_parametric(instance(), this->parametric_data, o->instance(), o->parametric_data);
    }
    // Class name and keyword arguments: Name(key=value, ...).
    std::string str(bool) const override { return parametric_text(instance(), this->parametric_data, kClass); }
};


// TypeError for positional arguments to `__init__`; false then.
bool check_keywords_only(PyObject* args, const InterpreterClass& cls);
// RuntimeError naming the class of an instance whose `__init__` did not call the base one.
void raise_not_initialized(PyObject* self, const InterpreterClass& cls);
// The instance's attribute dict copied into `copy`'s (deep-copied through `memo` when given).
bool copy_instance_dict(PyObject* self, PyObject* copy, PyObject* memo);
// A copy of a parametric holder whose containers are the copy's own (deep through `memo`).
std::shared_ptr<BaseType> copy_parametric(std::shared_ptr<BaseType> holder, PyObject* memo);
// A deep copy of value through memo, or a new reference to it without memo.
PyObject* duplicate(PyObject* value, PyObject* memo);
// `__deepcopy__(memo=None)`: calls copy(self, memo) with a checked or fresh memo dict.
PyObject* deepcopy_with_memo(PyObject* self, PyObject* args, PyObject* (*copy)(PyObject*, PyObject*));
// The registered function of the class registry for `name`, run with `args` and `merged`; the
// result must be an instance of the type.
PyObject* build_registered(const std::string& name, PyObject* args, PyObject* merged,
                           const InterpreterClass& cls);
// register_<...>_class(*classes): each a subclass of `base`, stored by `__name__`.
PyObject* register_classes(PyObject* module, PyObject* args, PyObject* kwds, PyTypeObject* base,
                           const InterpreterClass& cls);

// ---- Type slots and methods over the core class `Core` ----------------------------------
// Core is a core class with a `parametric_data` field (a base shared by several final classes
// will do); `instance_new` and `interpreter_type` take the final class, derived from InstanceLink.

template <class Core>
PyObject* instance_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&reinterpret_cast<Wrapper*>(self)->object) std::shared_ptr<BaseType>();
    try {
        install(self, std::make_shared<Core>(self));
    } catch (const std::exception& e) {
        raise_exception(e);
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// The instance is reachable from its own core object only while the wrapper is that object's
// single owner; otherwise another owner holds the core object and the instance must stay.
int instance_traverse(PyObject* self, visitproc visit, void* arg);
int instance_clear(PyObject* self);
void instance_dealloc(PyObject* self);

// Makes a wrapper type subclassable with instances held by their core objects.
template <class Core>
PyTypeObject interpreter_type(PyTypeObject type) {
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_new = instance_new<Core>;
    type.tp_traverse = instance_traverse;
    type.tp_clear = instance_clear;
    type.tp_dealloc = instance_dealloc;
    return type;
}

template <class Core>
int keyword_init(PyObject* self, PyObject* args, PyObject* kwds, const InterpreterClass& cls) {
    if (!check_keywords_only(args, cls)) return -1;
    auto core = unwrap<Core>(self);
    if (!core) return -1;
    Ref kwargs(kwds ? PyDict_Copy(kwds) : PyDict_New());
    std::shared_ptr<BaseType> holder =
        kwargs ? PyParametricData::with_item(core->parametric_data, "kwargs", kwargs.get()) : nullptr;
    if (!holder) return -1;
    return modify<Core>(self, [&](Core& c) { c.parametric_data = holder; }) ? 0 : -1;
}

// The core object of self when `__init__` ran; RuntimeError naming the class otherwise.
template <class Core>
std::shared_ptr<Core> initialized_core(PyObject* self, const InterpreterClass& cls) {
    auto core = unwrap<Core>(self);
    if (core && !parametric_initialized(core->parametric_data)) {
        raise_not_initialized(self, cls);
        return nullptr;
    }
    return core;
}

// Takes over the attributes and keyword arguments of `source` (an instance built by the
// parametric function), keeping the function name.
template <class Core>
bool adopt_state(PyObject* self, PyObject* source) {
    if (!copy_instance_dict(source, self, nullptr)) return false;
    auto built = unwrap<Core>(source);
    auto core = unwrap<Core>(self);
    if (!built || !core) return false;
    std::shared_ptr<BaseType> holder = PyParametricData::with_item(
        core->parametric_data, "kwargs", PyParametricData::item(built->parametric_data, "kwargs"));
    return holder && modify<Core>(self, [&](Core& c) { c.parametric_data = holder; });
}

// update(*args, **kwargs): re-runs `__init__` (or the registered parametric function) with the
// stored keyword arguments updated by kwds.
template <class Core>
PyObject* parametric_update(PyObject* self, PyObject* args, PyObject* kwds, const InterpreterClass& cls) {
    auto core = initialized_core<Core>(self, cls);
    if (!core) return nullptr;
    Ref merged(merged_kwargs(PyParametricData::item(core->parametric_data, "kwargs"), kwds));
    if (!merged) return nullptr;
    PyObject* function_name = PyParametricData::item(core->parametric_data, "function");
    if (!function_name || function_name == Py_None) {
        // Re-running __init__ stores the new keyword arguments.
        Ref init(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__init__"));
        Ref call_args(init ? PySequence_Concat(Ref(PyTuple_Pack(1, self)).get(), args) : nullptr);
        Ref done(call_args ? PyObject_Call(init.get(), call_args.get(), merged.get()) : nullptr);
        return done ? same(self) : nullptr;
    }
    std::string name;
    if (!to_text(function_name, "parametric_function", name)) return nullptr;
    Ref built(build_registered(name, args, merged.get(), cls));
    return built && adopt_state<Core>(self, built.get()) ? same(self) : nullptr;
}

// A new instance of self's class with a copy of its attributes and parametric data, deep
// through `memo` when it is given; `finish(core of the copy)` copies the type's own fields.
template <class Core, class Finish>
PyObject* copy_instance(PyObject* self, PyObject* memo, const InterpreterClass& cls, Finish finish) {
    auto core = initialized_core<Core>(self, cls);
    if (!core) return nullptr;
    auto* type = Py_TYPE(self);
    Ref copy(type->tp_new(type, Ref(PyTuple_New(0)).get(), nullptr));
    if (!copy) return nullptr;
    if (!is_instance_of(copy.get(), cls)) {
        PyErr_Format(PyExc_TypeError, "%s copy did not return a %s.", cls.name, cls.noun);
        return nullptr;
    }
    if (memo) {
        Ref key(PyLong_FromVoidPtr(self));
        if (!key || PyDict_SetItem(memo, key.get(), copy.get()) < 0) return nullptr;
    }
    if (!copy_instance_dict(self, copy.get(), memo)) return nullptr;
    std::shared_ptr<BaseType> holder = copy_parametric(core->parametric_data, memo);
    if (!holder) return nullptr;
    auto properties = core->properties();
    if (!modify<Core>(copy.get(), [&](Core& c) {
            c.parametric_data = holder;
            for (auto& [key, item] : properties->entries()) c.properties()->set(key, item);
        }))
        return nullptr;
    return finish(*core, copy.get()) ? copy.release() : nullptr;
}

}  // namespace whistle::py


// The `update`, `__copy__` and `__deepcopy__` entries of a method table whose file defines
// method_update, method_copy and method_deepcopy.
#define WHISTLE_INTERPRETER_METHODS(what)                                                       \
    WHISTLE_KEYWORD_METHOD("update", method_update,                                             \
        "update(*args, **kwargs)\n\nRebuild the " what " in place with the stored keyword "     \
        "arguments updated by kwargs; returns the " what "."),                                  \
    {"__copy__", (PyCFunction)method_copy, METH_NOARGS, "Shallow copy."},                       \
    {"__deepcopy__", (PyCFunction)method_deepcopy, METH_VARARGS, "Deep copy."}
