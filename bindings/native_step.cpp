// Native step bodies of time steppers: binding compiled steps, their entries, and the module
// functions `_native_entry` and `_native_step_call`.
#include "time_stepper.hpp"

#include "types.hpp"

namespace whistle::py {

namespace {

// An address: an integer or an object with an integer `address`.
bool to_address(PyObject* obj, const char* name, void*& out) {
    Ref address(PyLong_Check(obj) ? Py_NewRef(obj) : PyObject_GetAttrString(obj, "address"));
    if (address && PyLong_Check(address.get())) {
        out = PyLong_AsVoidPtr(address.get());
        if (!PyErr_Occurred()) return true;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'%s' must be an integer address or an object with an 'address'.", name);
    return false;
}

// Checks a native state argument: None or a contiguous, writable 1-D array of the type.
bool to_state_array(PyObject* obj, const char* name, int type, const char* type_name) {
    if (obj == Py_None) return true;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_Check(obj) && PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == type &&
        PyArray_IS_C_CONTIGUOUS(array) && PyArray_ISWRITEABLE(array))
        return true;
    PyErr_Format(PyExc_TypeError, "Native step '%s' must be None or a contiguous 1-D %s array.", name, type_name);
    return false;
}

template <class T>
T* array_data(PyObject* obj) {
    return obj == Py_None ? nullptr : static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(obj)));
}

// The first class of the instance's method resolution order that defines `step_single`.
PyObject* step_provider(PyObject* self) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (type->tp_dict && PyDict_GetItemString(type->tp_dict, "step_single"))
            return reinterpret_cast<PyObject*>(type);
    }
    return nullptr;
}

// The class of self's method resolution order whose method called bind_native (the instance's
// class when the caller is no such method), borrowed: its step_single is what the native step
// stands for.
PyObject* binding_class(PyObject* self) {
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed; the caller of bind_native
    Ref code(frame ? reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)) : nullptr);
    PyObject* mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; code && mro && i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* type = PyTuple_GET_ITEM(mro, i);
        PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
        Py_ssize_t position = 0;
        PyObject *name, *member;
        while (dict && PyDict_Next(dict, &position, &name, &member))
            if (PyFunction_Check(member) && PyFunction_GET_CODE(member) == code.get()) return type;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(self));
}

}  // namespace

// A contiguous 1-D complex128 array of `size` values for a native call.
StepValue* step_array(PyObject* obj, const char* name, Py_ssize_t size) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Argument '%s' must be a numpy array.", name);
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1) {
        PyErr_Format(PyExc_ValueError, "Array '%s' must be 1-dimensional.", name);
        return nullptr;
    }
    if (PyArray_DIM(array, 0) != size) {
        PyErr_Format(PyExc_ValueError, "Array '%s' size (%zd) must match the number of keys (%zu).", name,
                     Py_ssize_t(PyArray_DIM(array, 0)), size_t(size));
        return nullptr;
    }
    if (PyArray_TYPE(array) != NPY_COMPLEX128) {
        PyErr_Format(PyExc_TypeError, "Array '%s' must be complex (np.complex128). Use array.astype(complex).", name);
        return nullptr;
    }
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISWRITEABLE(array)) {
        PyErr_Format(PyExc_ValueError, "Array '%s' must be contiguous.", name);
        return nullptr;
    }
    return static_cast<StepValue*>(PyArray_DATA(array));
}

bool to_entry(PyObject* obj, NativeEntry& out) {
    if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 4) {
        PyErr_SetString(PyExc_TypeError, "'_native_step' must be a tuple (address, context, state, cstate).");
        return false;
    }
    void* address = nullptr;
    PyObject* context = PyTuple_GET_ITEM(obj, 1);
    PyObject* state = PyTuple_GET_ITEM(obj, 2);
    PyObject* cstate = PyTuple_GET_ITEM(obj, 3);
    if (!to_address(PyTuple_GET_ITEM(obj, 0), "address", address) ||
        (context != Py_None && !to_address(context, "context", out.context)) ||
        !to_state_array(state, "state", NPY_FLOAT64, "float64") ||
        !to_state_array(cstate, "cstate", NPY_COMPLEX128, "complex128"))
        return false;
    if (!address) {
        PyErr_SetString(PyExc_ValueError, "Native step address cannot be null.");
        return false;
    }
    out.function = reinterpret_cast<NativeStepFunction>(address);
    out.state = array_data<double>(state);
    out.cstate = array_data<StepValue>(cstate);
    return true;
}

// The bound entry when the class providing `step_single` is the class that bound it or one
// of its bases (borrowed); null without an exception otherwise.
PyObject* native_entry(PyObject* self, const PyTimeStepper& stepper) {
    PyObject* entry = attribute(stepper, "native_step");
    PyObject* body = attribute(stepper, "native_body");
    PyObject* provider = step_provider(self);
    if (!entry || !body || !provider || !PyType_Check(body)) return nullptr;
    bool bound = PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(body), reinterpret_cast<PyTypeObject*>(provider));
    return bound ? entry : nullptr;
}

int set_native_step(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "'_native_step' can only be cleared by assigning None; use bind_native.");
        return -1;
    }
    if (value == Py_None) return set_attributes(self, {{"native_step", nullptr}}) ? 0 : -1;
    NativeEntry checked;
    if (!to_entry(value, checked)) return -1;
    // The assigning code stands for the step body, as with bind_native.
    return set_attributes(self, {{"native_step", value}, {"native_body", binding_class(self)}}) ? 0 : -1;
}

PyObject* method_bind_native(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"step", "keys", "state", "cstate", "context", nullptr};
    PyObject *step, *keys_obj, *state = Py_None, *cstate = Py_None, *context = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOO:bind_native", (char**)keywords, &step, &keys_obj,
                                     &state, &cstate, &context))
        return nullptr;
    if (PyUnicode_Check(step)) {
        PyErr_Format(PyExc_ValueError, "Unknown native step '%U'.", step);
        return nullptr;
    }
    Ref keys(PySequence_Check(keys_obj) && !PyUnicode_Check(keys_obj) ? sequence_items(keys_obj) : nullptr);
    for (Py_ssize_t i = 0; keys && i < PyTuple_GET_SIZE(keys.get()); ++i)
        if (!PyUnicode_Check(PyTuple_GET_ITEM(keys.get(), i))) keys = Ref();
    if (!keys) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "Keys must be strings.");
        return nullptr;
    }
    void* address = nullptr;
    if (!to_address(step, "step", address)) return nullptr;
    Ref address_obj(PyLong_FromVoidPtr(address));
    Ref entry(address_obj ? PyTuple_Pack(4, address_obj.get(), context, state, cstate) : nullptr);
    NativeEntry checked;
    if (!entry || !to_entry(entry.get(), checked)) return nullptr;
    // The initial arrays, restored by reset().
    Ref state_copy(state == Py_None ? Py_NewRef(Py_None) : PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(state), NPY_CORDER));
    Ref cstate_copy(cstate == Py_None ? Py_NewRef(Py_None) : PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(cstate), NPY_CORDER));
    Ref saved(state_copy && cstate_copy ? PyTuple_Pack(3, keys.get(), state_copy.get(), cstate_copy.get()) : nullptr);
    if (!saved) return nullptr;
    PyObject* body = binding_class(self);
    if (!set_attributes(self, {{"native_step", entry.get()}, {"native_state", saved.get()}, {"native_body", body}}))
        return nullptr;
    Py_RETURN_NONE;
}

// Copies the initial native state arrays back into the bound ones.
bool restore_native_state(const PyTimeStepper& stepper) {
    PyObject* entry = attribute(stepper, "native_step");
    PyObject* saved = attribute(stepper, "native_state");
    if (!entry || !saved) return true;
    for (int i = 0; i < 2; ++i) {
        PyObject* target = PyTuple_GET_ITEM(entry, 2 + i);
        PyObject* source = PyTuple_GET_ITEM(saved, 1 + i);
        if (target != Py_None && source != Py_None &&
            PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(target), reinterpret_cast<PyArrayObject*>(source)) < 0)
            return false;
    }
    return true;
}

// Calls a native entry once on checked arrays; RuntimeError for a failure code.
PyObject* call_native(PyObject* native, Py_ssize_t size, PyObject* inputs_obj, PyObject* outputs_obj,
                      long long time_index, bool update_state, bool shutdown) {
    NativeEntry entry;
    StepValue* inputs = to_entry(native, entry) ? step_array(inputs_obj, "inputs", size) : nullptr;
    StepValue* outputs = inputs ? step_array(outputs_obj, "outputs", size) : nullptr;
    if (!outputs) return nullptr;
    int64_t code = entry.function(inputs, outputs, time_index, update_state, shutdown, entry.context,
                                  entry.state, entry.cstate);
    if (code != 0) {
        PyErr_Format(PyExc_RuntimeError, "Native step failed with code %lld at time index %lld.", (long long)code,
                     time_index);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* function__native_entry(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"time_stepper", nullptr};
    PyObject* self;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:_native_entry", (char**)keywords, &self)) return nullptr;
    if (!is_instance(self, TypeCode::TimeStepper)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'time_stepper' must be a TimeStepper instance.");
        return nullptr;
    }
    auto stepper = unwrap<PyTimeStepper>(self);
    if (!stepper) return nullptr;
    PyObject* entry = native_entry(self, *stepper);
    return Py_NewRef(entry ? entry : Py_None);
}

PyObject* function__native_step_call(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"native", "size", "inputs", "outputs", "time_index", "update_state",
                                     "shutdown", nullptr};
    PyObject *native, *inputs, *outputs;
    Py_ssize_t size;
    long long time_index;
    int update_state, shutdown;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OnOOLpp:_native_step_call", (char**)keywords, &native, &size,
                                     &inputs, &outputs, &time_index, &update_state, &shutdown))
        return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'size' cannot be negative.");
        return nullptr;
    }
    return call_native(native, size, inputs, outputs, time_index, update_state, shutdown);
}

}  // namespace whistle::py
