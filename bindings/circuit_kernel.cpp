// `_CircuitKernel`: the planned stepping loop of a flattened circuit of time steppers.
#include "core/circuit/circuit_kernel.hpp"

#include <cmath>

#include "circuit_plan_export.hpp"
#include "core/foundation/error_handler.hpp"
#include "time_stepper.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// Header and one word: the kernel is shared so that a step keeps it alive while a body
// re-initialises the wrapper.
struct KernelObject {
    PyObject_HEAD
    std::shared_ptr<CircuitKernel>* kernel;
};

std::shared_ptr<CircuitKernel> kernel_of(PyObject* self) {
    auto* holder = reinterpret_cast<KernelObject*>(self)->kernel;
    if (!holder) PyErr_SetString(PyExc_RuntimeError, "Uninitialized _CircuitKernel.");
    return holder ? *holder : nullptr;
}

// The interpreter object a body keeps alive, visited by the garbage collector.
struct HeldObject {
    Ref object;
};

// An instance body in the interpreter: the callable gets two complex arrays of the instance size.
class InterpreterBody final : public InstanceBody, public HeldObject {
public:
    InterpreterBody(PyObject* callable, size_t size) : HeldObject{Ref(Py_NewRef(callable))}, size_(size) {
        inputs_ = Ref(new_array({npy_intp(size)}, NPY_COMPLEX128));
        outputs_ = Ref(inputs_ ? new_array({npy_intp(size)}, NPY_COMPLEX128) : nullptr);
        if (!outputs_) throw InterpreterError();
    }

    int64_t step(const StepValue* inputs, StepValue* outputs, int64_t time_index, bool update_state,
                 bool shutdown) override {
        std::copy(inputs, inputs + size_, data(inputs_));
        Ref index(PyLong_FromLongLong(time_index));
        Ref result(index ? PyObject_CallFunctionObjArgs(object.get(), inputs_.get(), outputs_.get(), index.get(),
                                                         update_state ? Py_True : Py_False,
                                                         shutdown ? Py_True : Py_False, nullptr)
                         : nullptr);
        if (!result) throw InterpreterError();
        std::copy(data(outputs_), data(outputs_) + size_, outputs);
        return 0;
    }

private:
    static StepValue* data(const Ref& array) {
        return static_cast<StepValue*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    }

    size_t size_;  // the arrays' own size may change under a body that views them as another type
    Ref inputs_, outputs_;
};

// A compiled body that keeps its instance tuple alive: the entry's state arrays, and the step
// callable, whose object usually owns what the entry's context points to.
class EntryBody final : public NativeBody, public HeldObject {
public:
    EntryBody(const NativeEntry& entry, PyObject* instance)
        : NativeBody(entry.function, entry.context, entry.state, entry.cstate), HeldObject{Ref(Py_NewRef(instance))} {}
};

bool type_error(const char* message) {
    PyErr_SetString(PyExc_TypeError, message);
    return false;
}

constexpr const char* kTuples = "Expected a sequence of tuples.";

// Parses every item of a sequence of tuples with `parse(item)`; a parse that fails on the
// tuple's form gives "Expected a sequence of tuples.".
template <class Parse>
bool each_tuple(PyObject* obj, Parse&& parse) {
    Ref items(PySequence_Check(obj) && !PyUnicode_Check(obj) ? sequence_items(obj) : nullptr);
    if (!items) return (PyErr_Clear(), type_error(kTuples));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item)) return type_error(kTuples);
        if (!parse(item)) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            return type_error(kTuples);
        }
    }
    return true;
}

// Integers of a sequence; TypeError with `message` otherwise.
bool to_indices(PyObject* obj, const char* message, std::vector<size_t>& out) {
    Ref items(PySequence_Check(obj) && !PyUnicode_Check(obj) ? sequence_items(obj) : nullptr);
    for (Py_ssize_t i = 0; items && i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        Py_ssize_t value = PyLong_Check(item) ? PyLong_AsSsize_t(item) : -1;
        if (value == -1 && (PyErr_Occurred() || !PyLong_Check(item))) {
            items = Ref();
            break;
        }
        out.push_back(size_t(value));
    }
    if (items) return true;
    PyErr_Clear();
    return type_error(message);
}

KernelPort port(Py_ssize_t instance, Py_ssize_t index) { return {size_t(instance), size_t(index)}; }

bool to_paths(PyObject* obj, std::optional<std::vector<KernelPath>>& out) {
    if (obj == Py_None) return true;
    out.emplace();
    return each_tuple(obj, [&](PyObject* item) {
        Py_ssize_t input, output, delay;
        if (!PyArg_ParseTuple(item, "nnn", &input, &output, &delay)) return false;
        out->push_back({size_t(input), size_t(output), size_t(delay)});
        return true;
    });
}

// Instances and their bodies.
bool to_instances(PyObject* obj, CircuitDescription& circuit, std::vector<std::unique_ptr<InstanceBody>>& bodies) {
    constexpr const char* message = "Argument 'instances' must hold (callable, native, size, paths) tuples.";
    Ref items(PySequence_Check(obj) && !PyUnicode_Check(obj) ? sequence_items(obj) : nullptr);
    if (!items) return (PyErr_Clear(), type_error(message));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4 || !PyLong_Check(PyTuple_GET_ITEM(item, 2)))
            return type_error(message);
        PyObject *callable = PyTuple_GET_ITEM(item, 0), *native = PyTuple_GET_ITEM(item, 1);
        Py_ssize_t size = PyLong_AsSsize_t(PyTuple_GET_ITEM(item, 2));
        if (size < 0 || (native == Py_None && !PyCallable_Check(callable))) return (PyErr_Clear(), type_error(message));
        CircuitDescription::Instance instance{size_t(size), native != Py_None, std::nullopt};
        if (!to_paths(PyTuple_GET_ITEM(item, 3), instance.paths)) return false;
        NativeEntry entry;
        if (native != Py_None && !to_entry(native, entry)) return false;
        try {
            if (native != Py_None)
                bodies.push_back(std::make_unique<EntryBody>(entry, item));
            else
                bodies.push_back(std::make_unique<InterpreterBody>(callable, size_t(size)));
        }
        WHISTLE_CATCH(false)
        circuit.instances.push_back(std::move(instance));
    }
    return true;
}

// A direct matrix as the real (2n, 2n) form: complex (n, n) entries become 2×2 blocks.
bool to_direct(PyObject* obj, size_t instance, const CircuitDescription& circuit, std::vector<double>& out) {
    if (instance >= circuit.instances.size()) return true;  // the plan reports the index
    const size_t n = circuit.instances[instance].size;
    Ref array(PyArray_FROM_OTF(obj, NPY_COMPLEX128, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    const auto* data = static_cast<const StepValue*>(PyArray_DATA(a));
    bool real = PyArray_NDIM(a) == 2 && size_t(PyArray_DIM(a, 0)) == 2 * n && size_t(PyArray_DIM(a, 1)) == 2 * n;
    bool complex = PyArray_NDIM(a) == 2 && size_t(PyArray_DIM(a, 0)) == n && size_t(PyArray_DIM(a, 1)) == n;
    if (!real && !complex) {
        PyErr_Format(PyExc_ValueError, "Direct matrix of instance %zd must have shape (%zu, %zu) or (%zu, %zu).",
                     Py_ssize_t(instance), n, n, 2 * n, 2 * n);
        return false;
    }
    out.assign(4 * n * n, 0.0);
    for (size_t r = 0; r < 2 * n; ++r)
        for (size_t c = 0; c < 2 * n; ++c) {
            if (real) {
                out[r * 2 * n + c] = data[r * 2 * n + c].real();
                continue;
            }
            StepValue z = data[(r / 2) * n + c / 2];
            // [[re, -im], [im, re]] for z multiplying (re, im); NaN in either part marks the pair
            double values[4] = {z.real(), -z.imag(), z.imag(), z.real()};
            bool affine = !std::isnan(z.real()) && !std::isnan(z.imag());
            out[r * 2 * n + c] = affine ? values[2 * (r % 2) + c % 2] : std::nan("");
        }
    return true;
}

bool to_options(PyObject* delays, PyObject* directs, PyObject* activations, PyObject* stateless,
                CircuitDescription& circuit) {
    if (delays && !each_tuple(delays, [&](PyObject* item) {
            Py_ssize_t instance, index, input_steps, output_steps;
            if (!PyArg_ParseTuple(item, "nnnn", &instance, &index, &input_steps, &output_steps)) return false;
            circuit.delays.push_back({port(instance, index), input_steps, output_steps});
            return true;
        }))
        return false;
    if (directs && !each_tuple(directs, [&](PyObject* item) {
            Py_ssize_t instance;
            PyObject* matrix;
            if (!PyArg_ParseTuple(item, "nO", &instance, &matrix)) return false;
            circuit.directs.push_back({size_t(instance), {}});
            if (to_direct(matrix, size_t(instance), circuit, circuit.directs.back().matrix)) return true;
            throw InterpreterError();  // not a form error: keep the pending exception
        }))
        return false;
    if (activations && !each_tuple(activations, [&](PyObject* item) {
            Py_ssize_t instance, output;
            PyObject* inputs;
            if (!PyArg_ParseTuple(item, "nnO", &instance, &output, &inputs)) return false;
            circuit.activations.push_back({port(instance, output), {}});
            if (to_indices(inputs, "Activation inputs must be a sequence.", circuit.activations.back().inputs))
                return true;
            throw InterpreterError();
        }))
        return false;
    return !stateless || to_indices(stateless, "Expected a sequence of instance indices.", circuit.stateless);
}

bool to_connections(PyObject* mode_factors, PyObject* connections, PyObject* externals, PyObject* monitors,
                    CircuitDescription& circuit) {
    return each_tuple(mode_factors,
                      [&](PyObject* item) {
                          Py_ssize_t instance, index;
                          Py_complex factor;
                          if (!PyArg_ParseTuple(item, "nnD", &instance, &index, &factor)) return false;
                          circuit.mode_factors.push_back({port(instance, index), {factor.real, factor.imag}});
                          return true;
                      }) &&
           each_tuple(connections,
                      [&](PyObject* item) {
                          Py_ssize_t a, i, b, j;
                          if (!PyArg_ParseTuple(item, "nnnn", &a, &i, &b, &j)) return false;
                          circuit.connections.push_back({port(a, i), port(b, j)});
                          return true;
                      }) &&
           each_tuple(externals,
                      [&](PyObject* item) {
                          Py_ssize_t key, instance, index;
                          if (!PyArg_ParseTuple(item, "nnn", &key, &instance, &index)) return false;
                          circuit.externals.push_back({size_t(key), port(instance, index)});
                          return true;
                      }) &&
           each_tuple(monitors, [&](PyObject* item) {
               Py_ssize_t key, instance, index;
               int outgoing;
               if (!PyArg_ParseTuple(item, "nnnp", &key, &instance, &index, &outgoing)) return false;
               circuit.monitors.push_back({size_t(key), port(instance, index), outgoing != 0});
               return true;
           });
}

void clear_kernel(PyObject* self) {
    auto& holder = reinterpret_cast<KernelObject*>(self)->kernel;
    delete holder;
    holder = nullptr;
}

int kernel_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"instances", "mode_factors", "connections", "externals", "monitors",
                                     "num_keys", "abs_tolerance", "rel_tolerance", "max_iterations", "delays",
                                     "directs", "activations", "stateless", "fuse", nullptr};
    PyObject *instances, *mode_factors, *connections, *externals, *monitors;
    PyObject *delays = nullptr, *directs = nullptr, *activations = nullptr, *stateless = nullptr;
    Py_ssize_t num_keys;
    CircuitDescription circuit;
    int fuse = 1;
    long max_iterations;
    clear_kernel(self);
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOnddl|OOOOp:_CircuitKernel", (char**)keywords, &instances,
                                     &mode_factors, &connections, &externals, &monitors, &num_keys,
                                     &circuit.abs_tolerance, &circuit.rel_tolerance, &max_iterations, &delays,
                                     &directs, &activations, &stateless, &fuse))
        return -1;
    for (PyObject** option : {&delays, &directs, &activations, &stateless})
        if (*option == Py_None) *option = nullptr;
    if (num_keys < 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'num_keys' cannot be negative.");
        return -1;
    }
    circuit.num_keys = size_t(num_keys);
    circuit.max_iterations = max_iterations;
    circuit.fuse = fuse != 0;
    std::vector<std::unique_ptr<InstanceBody>> bodies;
    try {
        if (!to_instances(instances, circuit, bodies) ||
            !to_connections(mode_factors, connections, externals, monitors, circuit) ||
            !to_options(delays, directs, activations, stateless, circuit))
            return -1;
        auto kernel = std::make_shared<CircuitKernel>(plan_circuit(circuit), std::move(bodies));
        clear_kernel(self);  // a conversion may have initialised it again
        reinterpret_cast<KernelObject*>(self)->kernel = new std::shared_ptr<CircuitKernel>(std::move(kernel));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

int kernel_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* holder = reinterpret_cast<KernelObject*>(self)->kernel;
    if (!holder) return 0;
    for (const auto& body : (*holder)->bodies())
        if (const auto* held = dynamic_cast<const HeldObject*>(body.get())) Py_VISIT(held->object.get());
    return 0;
}

int kernel_clear(PyObject* self) {
    clear_kernel(self);
    return 0;
}

void kernel_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear_kernel(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* kernel_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<KernelObject*>(self)->kernel = nullptr;
    return self;
}

PyObject* method_step(PyObject* self, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) != 5 || (kwds && PyDict_GET_SIZE(kwds) > 0)) {
        PyErr_SetString(PyExc_TypeError, "step() takes exactly 5 arguments.");
        return nullptr;
    }
    long long time_index = PyLong_AsLongLong(PyTuple_GET_ITEM(args, 2));
    if (time_index == -1 && PyErr_Occurred()) return nullptr;
    int update_state = PyObject_IsTrue(PyTuple_GET_ITEM(args, 3));
    int shutdown = update_state < 0 ? -1 : PyObject_IsTrue(PyTuple_GET_ITEM(args, 4));
    if (shutdown < 0) return nullptr;
    std::shared_ptr<CircuitKernel> kernel = kernel_of(self);
    if (!kernel) return nullptr;
    auto size = Py_ssize_t(kernel->plan().num_keys);
    StepValue* inputs = step_array(PyTuple_GET_ITEM(args, 0), "inputs", size);
    StepValue* outputs = inputs ? step_array(PyTuple_GET_ITEM(args, 1), "outputs", size) : nullptr;
    if (!outputs) return nullptr;
    try {
        kernel->step(inputs, outputs, time_index, update_state != 0, shutdown != 0);
        Py_RETURN_NONE;
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_reset(PyObject* self, PyObject*) {
    std::shared_ptr<CircuitKernel> kernel = kernel_of(self);
    if (!kernel) return nullptr;
    kernel->reset();
    Py_RETURN_NONE;
}

// ---- Read-only results -----------------------------------------------------------------

PyObject* optional_index(std::optional<size_t> value) {
    return value ? PyLong_FromSize_t(*value) : Py_NewRef(Py_None);
}

PyObject* path_delays_dict(const CircuitPlan& plan) {
    Ref dict(PyDict_New());
    for (const auto& [pair, delay] : plan.path_delays) {
        Ref key(Py_BuildValue("(nn)", Py_ssize_t(pair.first), Py_ssize_t(pair.second)));
        Ref value(PyLong_FromSize_t(delay));
        if (!dict || !key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* activated_by_dict(const CircuitPlan& plan) {
    Ref dict(PyDict_New());
    for (const auto& [output, inputs] : plan.activated_by) {
        Ref key(PyLong_FromSize_t(output));
        Ref value(index_tuple(inputs));
        if (!dict || !key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

// A read-only attribute made from the kernel by `Make`.
template <PyObject* (*Make)(const CircuitKernel&)>
PyObject* getter(PyObject* self, void*) {
    std::shared_ptr<CircuitKernel> kernel = kernel_of(self);
    return kernel ? Make(*kernel) : nullptr;
}

template <PyObject* (*Make)(const CircuitPlan&)>
PyObject* from_plan(const CircuitKernel& kernel) {
    return Make(kernel.plan());
}

PyObject* schedule_tuple(const CircuitPlan& plan) {
    Ref list(schedule_list(plan));
    return list ? PySequence_Tuple(list.get()) : nullptr;
}

PyObject* loops_tuple(const CircuitPlan& plan) {
    Ref list(new_list(plan.loops.size(), [&](size_t k) {
        Ref members(index_tuple(plan.loops[k].members));
        return members ? Py_BuildValue("(Os)", members.get(), solver_name(plan.loops[k].solver)) : nullptr;
    }));
    return list ? PySequence_Tuple(list.get()) : nullptr;
}

PyObject* runs_tuple(const CircuitPlan& plan) {
    Ref list(new_list(plan.runs.size(), [&](size_t k) { return index_tuple(plan.runs[k]); }));
    return list ? PySequence_Tuple(list.get()) : nullptr;
}
PyObject* applied_tuple(const CircuitPlan& plan) { return index_tuple(plan.applied); }
PyObject* silent_tuple(const CircuitPlan& plan) { return index_tuple(plan.silent_outputs); }

PyObject* evaluations(const CircuitKernel& kernel) { return PyLong_FromUnsignedLongLong(kernel.evaluations()); }

PyObject* unconverged(const CircuitKernel& kernel) {
    return kernel.unconverged() ? index_tuple(*kernel.unconverged()) : Py_NewRef(Py_None);
}

PyObject* failure(const CircuitKernel& kernel) {
    if (!kernel.failure()) Py_RETURN_NONE;
    Ref instance(optional_index(kernel.failure()->instance));
    return instance ? Py_BuildValue("(OL)", instance.get(), (long long)kernel.failure()->code) : nullptr;
}

PyObject* failure_message(const CircuitKernel& kernel) {
    return PyUnicode_FromString(kernel.failure_message().c_str());
}
PyObject* inconsistent(const CircuitKernel& kernel) { return optional_index(kernel.inconsistent()); }

// The whole circuit as one compiled step, valid while the kernel lives.
PyObject* native_step(const CircuitKernel& kernel) {
    if (!kernel.plan().all_native) Py_RETURN_NONE;
    Ref address(PyLong_FromVoidPtr(reinterpret_cast<void*>(CircuitKernel::native_function())));
    Ref context(PyLong_FromVoidPtr(const_cast<CircuitKernel*>(&kernel)));
    return address && context ? PyTuple_Pack(4, address.get(), context.get(), Py_None, Py_None) : nullptr;
}

PyMethodDef kernel_methods[] = {
    {"step", (PyCFunction)(void (*)(void))method_step, METH_VARARGS | METH_KEYWORDS,
     "step(inputs, outputs, time_index, update_state, shutdown)\n\nStep the circuit one sample: inputs and "
     "outputs are complex128 arrays of num_keys values; outputs is overwritten."},
    {"reset", (PyCFunction)method_reset, METH_NOARGS,
     "reset()\n\nZero the committed instance inputs and delay lines and restart the counters."},
    {nullptr, nullptr, 0, nullptr},
};

#define WHISTLE_READ_ONLY(name, getter, doc) {name, getter, nullptr, doc, nullptr}
PyGetSetDef kernel_getset[] = {
    WHISTLE_READ_ONLY("schedule", getter<from_plan<schedule_tuple>>,
                      "Planned calls per sample as (instance, commits, in a loop)."),
    WHISTLE_READ_ONLY("loops", getter<from_plan<loops_tuple>>, "Zero-delay loops as (instances, solver)."),
    WHISTLE_READ_ONLY("runs", getter<from_plan<runs_tuple>>, "Runs of consecutive fused instances."),
    WHISTLE_READ_ONLY("applied", getter<from_plan<applied_tuple>>, "Fused stateless instances applied in place."),
    WHISTLE_READ_ONLY("path_delays", getter<from_plan<path_delays_dict>>,
                      "Minimum delay in samples from each external input to each external output."),
    WHISTLE_READ_ONLY("silent_outputs", getter<from_plan<silent_tuple>>, "External outputs that are always zero."),
    WHISTLE_READ_ONLY("activated_by", getter<from_plan<activated_by_dict>>,
                      "External inputs that can make each external output non-zero."),
    WHISTLE_READ_ONLY("evaluations", getter<evaluations>, "Instance evaluations since the last reset."),
    WHISTLE_READ_ONLY("unconverged", getter<unconverged>,
                      "Instances of the first loop that did not converge since the last reset, or None."),
    WHISTLE_READ_ONLY("failure", getter<failure>, "(instance, code) of the failure in the last step, or None."),
    WHISTLE_READ_ONLY("failure_message", getter<failure_message>, "Description of the last solver failure."),
    WHISTLE_READ_ONLY("inconsistent", getter<inconsistent>,
                      "Instance whose committing call missed its direct-term prediction, or None."),
    WHISTLE_READ_ONLY("_native_step", getter<native_step>,
                      "Native step entry of the whole circuit when every instance is native, else None."),
    WHISTLE_READ_ONLY("plan", getter<from_plan<plan_dict>>, "The plan as a dict for code generators."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef WHISTLE_READ_ONLY

PyTypeObject kernel_type = [] {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "tarnwhistle._CircuitKernel";
    type.tp_doc =
        "_CircuitKernel(instances, mode_factors, connections, externals, monitors, num_keys, abs_tolerance, "
        "rel_tolerance, max_iterations, delays=None, directs=None, activations=None, stateless=None, "
        "fuse=True)\n\nFlow-order stepping loop of a flattened circuit of time steppers.";
    type.tp_basicsize = sizeof(KernelObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_new = kernel_new;
    type.tp_traverse = kernel_traverse;
    type.tp_clear = kernel_clear;
    type.tp_init = kernel_init;
    type.tp_dealloc = kernel_dealloc;
    type.tp_methods = kernel_methods;
    type.tp_getset = kernel_getset;
    return type;
}();

}  // namespace

PyTypeObject* _CircuitKernel_type() { return &kernel_type; }

}  // namespace whistle::py
