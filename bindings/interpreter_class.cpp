#include "interpreter_class.hpp"

#include "interpreter_objects.hpp"
#include "model.hpp"

namespace whistle::py {

InstanceLink::~InstanceLink() {
    if (interpreter_finalizing || !Py_IsInitialized()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_CLEAR(instance_);
    PyGILState_Release(state);
}

namespace {

PyObject* kwargs_of(const std::shared_ptr<BaseType>& parametric_data) {
    return PyParametricData::item(parametric_data, "kwargs");
}

}  // namespace

bool is_instance_of(PyObject* obj, const InterpreterClass& cls) {
    return PyObject_TypeCheck(obj, cls.type()) && reinterpret_cast<Wrapper*>(obj)->object;
}

bool parametric_initialized(const std::shared_ptr<BaseType>& parametric_data) {
    PyObject* kwargs = kwargs_of(parametric_data);
    return kwargs && kwargs != Py_None;
}

std::shared_ptr<BaseType> deep_clone(PyObject* instance, const InterpreterClass& cls) {
    Ref memo(PyDict_New());
    Ref copy(memo ? PyObject_CallMethod(instance, "__deepcopy__", "O", memo.get()) : nullptr);
    if (!copy) throw InterpreterError();
    if (!is_instance_of(copy.get(), cls)) {
        PyErr_Format(PyExc_TypeError, "Method '%s' from %s did not return a '%s' subclass.",
                     "__deepcopy__", cls.noun, cls.name);
        throw InterpreterError();
    }
    return unwrap_base(copy.get());
}

bool same_parametric(PyObject* a, const std::shared_ptr<BaseType>& a_data, PyObject* b,
                     const std::shared_ptr<BaseType>& b_data) {
    if (!a || !b) return false;
    if (a == b) return true;
    if (Py_TYPE(a) != Py_TYPE(b) || !parametric_initialized(a_data) || !parametric_initialized(b_data))
        return false;
    int result = PyObject_RichCompareBool(kwargs_of(a_data), kwargs_of(b_data), Py_EQ);
    if (result < 0) throw InterpreterError();
    return result == 1;
}

std::string parametric_text(PyObject* instance, const std::shared_ptr<BaseType>& parametric_data,
                            const InterpreterClass& cls) {
    if (!instance) return std::string(cls.name) + "()";
    auto invalid = [&](const char* what) {
        PyErr_Clear();
        return std::runtime_error("Invalid " + std::string(what) + " " + cls.noun + ".");
    };
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(instance)), "__name__"));
    const char* class_name = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!class_name) {
        PyErr_Clear();
        throw std::runtime_error("Invalid " + std::string(cls.noun) + " class name.");
    }
    std::string text = std::string(class_name) + "(";
    if (!parametric_initialized(parametric_data)) return text + "<uninitialized>)";
    PyObject* kwargs = kwargs_of(parametric_data);
    if (!PyDict_Check(kwargs)) throw invalid("'parametric_kwargs' in");
    Py_ssize_t position = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!key_text) throw invalid("'parametric_kwargs' key in");
        Ref repr(PyObject_Repr(value));
        const char* value_text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
        if (!value_text) {
            PyErr_Clear();
            throw std::runtime_error("Invalid value repr.");
        }
        text += (first ? "" : ", ") + std::string(key_text) + "=" + value_text;
        first = false;
    }
    return text + ")";
}

bool check_keywords_only(PyObject* args, const InterpreterClass& cls) {
    if (PyTuple_GET_SIZE(args) == 0) return true;
    PyErr_Format(PyExc_TypeError,
                 "'%s.__init__()' takes no positional arguments. Use keyword arguments only in "
                 "'super().__init__(...)'.",
                 cls.name);
    return false;
}

void raise_not_initialized(PyObject* self, const InterpreterClass& cls) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s instance is not initialized in '%s'. Ensure derived __init__ calls "
                 "super().__init__(...).",
                 cls.name, _PyType_Name(Py_TYPE(self)));
}

PyObject* duplicate(PyObject* value, PyObject* memo) {
    if (!memo) return Py_NewRef(value);
    Ref copy_module(PyImport_ImportModule("copy"));
    return copy_module ? PyObject_CallMethod(copy_module.get(), "deepcopy", "OO", value, memo) : nullptr;
}

bool copy_instance_dict(PyObject* self, PyObject* copy, PyObject* memo) {
    Ref source_dict(PyObject_GenericGetDict(self, nullptr));
    Ref target_dict(source_dict ? PyObject_GenericGetDict(copy, nullptr) : nullptr);
    if (!target_dict) {
        PyErr_Clear();  // classes without an instance dict keep only the keyword arguments
        return true;
    }
    Ref values(duplicate(source_dict.get(), memo));
    if (!values) return false;
    PyDict_Clear(target_dict.get());
    return PyDict_Update(target_dict.get(), values.get()) == 0;
}

std::shared_ptr<BaseType> copy_parametric(std::shared_ptr<BaseType> holder, PyObject* memo) {
    for (const char* key : {"kwargs", "random_variables"}) {
        PyObject* value = PyParametricData::item(holder, key);
        if (!value || value == Py_None) continue;
        // Even a shallow copy owns its containers: they define the object.
        Ref copied(memo ? duplicate(value, memo) : PyDict_Check(value) ? PyDict_Copy(value) : PySequence_List(value));
        holder = copied ? PyParametricData::with_item(holder, key, copied.get()) : nullptr;
        if (!holder) return nullptr;
    }
    return holder;
}

PyObject* deepcopy_with_memo(PyObject* self, PyObject* args, PyObject* (*copy)(PyObject*, PyObject*)) {
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
    return memo ? copy(self, memo) : nullptr;
}

namespace {

std::string registry_invalid(const InterpreterClass& cls) {
    return std::string(cls.name) + " class registry is not a dictionary.";
}

}  // namespace

PyObject* build_registered(const std::string& name, PyObject* args, PyObject* merged,
                           const InterpreterClass& cls) {
    std::string missing = std::string(cls.name) + " class '" + name +
                          "' not found in register: use the '" + cls.register_function +
                          "' function to register the class before loading a twf file.";
    Ref function(registered_function(cls.registry, name, registry_invalid(cls).c_str(), missing.c_str()));
    Ref built(function ? PyObject_Call(function.get(), args, merged) : nullptr);
    if (built && !is_instance_of(built.get(), cls)) {
        PyErr_Format(PyExc_TypeError, "Object created by '%s' must be an instance of '%s'.", name.c_str(),
                     cls.name);
        return nullptr;
    }
    return built.release();
}

PyObject* register_classes(PyObject* module, PyObject* args, PyObject* kwds, PyTypeObject* base,
                           const InterpreterClass& cls) {
    if (kwds && PyDict_Size(kwds) > 0) {
        PyErr_Format(PyExc_TypeError, "'%s' takes positional arguments only.", cls.register_function);
        return nullptr;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        if (!PyType_Check(item) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(item), base)) {
            PyErr_Format(PyExc_TypeError, "Argument %zd is not a subclass of '%s'.", i, cls.name);
            return nullptr;
        }
    }
    Ref registry(PyObject_GetAttrString(module, cls.registry));
    if (!registry || !PyDict_Check(registry.get())) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, registry_invalid(cls).c_str());
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i);
        Ref name(PyObject_GetAttrString(item, "__name__"));
        if (!name || PyDict_SetItem(registry.get(), name.get(), item) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

namespace {

InstanceLink* sole_link(PyObject* self) {
    auto& object = reinterpret_cast<Wrapper*>(self)->object;
    if (!object || object.use_count() != 1) return nullptr;
    return dynamic_cast<InstanceLink*>(object.get());
}

}  // namespace

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    if (InstanceLink* link = sole_link(self)) return link->traverse(visit, arg);
    return 0;
}

int instance_clear(PyObject* self) {
    if (InstanceLink* link = sole_link(self)) link->release_instance();
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    wrapper_dealloc(self);
}

}  // namespace whistle::py
