// The module function `s_matrix`: S matrices of a component over variations of its parameters.
#include "core/circuit/model.hpp"
#include "model_class.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

struct VariationOptions {
    int show_progress = 1;
    long long random_samples = 0;
    long long corner_samples = 0;
    double corner_coverage = 0.95;
    PyObject* random_seed = Py_None;
    long long parallel_jobs = 0;
    int chain_technology_updates = 1;
    int chain_component_updates = 1;
    PyObject* component_args = nullptr;
    PyObject* component_kwargs = nullptr;
    PyObject* model_kwargs = nullptr;
    PyObject* callback_fn = Py_None;
};

bool parse_options(PyObject* kwds, VariationOptions& o) {
    static const char* keywords[] = {"show_progress", "random_samples", "corner_samples",
                                     "corner_coverage", "random_seed", "parallel_jobs",
                                     "chain_technology_updates", "chain_component_updates",
                                     "component_args", "component_kwargs", "model_kwargs",
                                     "callback_fn", nullptr};
    Ref no_args(PyTuple_New(0));
    if (!no_args ||
        !PyArg_ParseTupleAndKeywords(no_args.get(), kwds, "|$pLLdOLppOOOO:s_matrix", (char**)keywords,
                                     &o.show_progress, &o.random_samples, &o.corner_samples,
                                     &o.corner_coverage, &o.random_seed, &o.parallel_jobs,
                                     &o.chain_technology_updates, &o.chain_component_updates,
                                     &o.component_args, &o.component_kwargs, &o.model_kwargs,
                                     &o.callback_fn))
        return false;
    if (!(o.corner_coverage > 0 && o.corner_coverage < 1)) {
        PyErr_SetString(PyExc_ValueError, "Argument 'corner_coverage' must be between 0 and 1.");
        return false;
    }
    if (o.component_args && !PyTuple_Check(o.component_args) && !PyList_Check(o.component_args)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component_args' must be a tuple or list.");
        return false;
    }
    for (auto [value, name] : {std::pair{o.component_kwargs, "component_kwargs"},
                               std::pair{o.model_kwargs, "model_kwargs"}}) {
        if (value && !PyDict_Check(value)) {
            PyErr_Format(PyExc_TypeError, "Argument '%s' must be a dictionary.", name);
            return false;
        }
    }
    if (o.callback_fn != Py_None && !PyCallable_Check(o.callback_fn)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'callback_fn' must be callable or None.");
        return false;
    }
    return true;
}

bool non_empty(PyObject* container) { return container && PyObject_Length(container) > 0; }

// The component's S matrix, with the component rebuilt from the component arguments for the
// computation when any are given and restored to its previous keyword arguments afterwards.
PyObject* evaluate(PyObject* component, PyObject* frequencies, PyObject* variables,
                   const VariationOptions& o) {
    bool rebuild = non_empty(o.component_args) || non_empty(o.component_kwargs);
    Ref previous;
    if (rebuild) {
        Ref kwargs(PyObject_GetAttrString(component, "parametric_kwargs"));
        previous = Ref(kwargs && kwargs.get() != Py_None ? PyDict_Copy(kwargs.get()) : nullptr);
        if (!previous) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_RuntimeError, "Missing parametric data in component.");
            return nullptr;
        }
        Ref args(o.component_args ? PySequence_Tuple(o.component_args) : PyTuple_New(0));
        Ref update(PyObject_GetAttrString(component, "update"));
        Ref done(args && update ? PyObject_Call(update.get(), args.get(), o.component_kwargs) : nullptr);
        if (!done) return nullptr;
    }
    Ref result;
    if (o.callback_fn == Py_None ||
        Ref(PyObject_CallFunctionObjArgs(o.callback_fn, component, variables, nullptr))) {
        Ref method(PyObject_GetAttrString(component, "s_matrix"));
        Ref call_args(Py_BuildValue("(O)", frequencies));
        Ref call_kwargs(Py_BuildValue("{sOsO}", "show_progress", o.show_progress ? Py_True : Py_False,
                                      "model_kwargs", o.model_kwargs ? o.model_kwargs : Ref(PyDict_New()).get()));
        if (method && call_args && call_kwargs)
            result = Ref(PyObject_Call(method.get(), call_args.get(), call_kwargs.get()));
    }
    if (rebuild) {
        // Restored even when the computation failed, keeping that error.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        bool restored = PyObject_SetAttrString(component, "parametric_kwargs", previous.get()) == 0 &&
                        Ref(PyObject_CallMethod(component, "update", nullptr));
        if (type)
            PyErr_Restore(type, value, traceback);
        else if (!restored)
            return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* function_s_matrix(PyObject*, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) < 2) {
        PyErr_SetString(PyExc_TypeError, "s_matrix() requires the arguments 'component' and 'frequencies'.");
        return nullptr;
    }
    PyObject* component = PyTuple_GET_ITEM(args, 0);
    VariationOptions options;
    if (!parse_options(kwds, options)) return nullptr;
    if (!is_instance(component, TypeCode::Component)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'component' must be a Component instance.");
        return nullptr;
    }
    std::vector<double> frequencies;
    if (!to_frequencies(PyTuple_GET_ITEM(args, 1), frequencies)) return nullptr;
    if (PyTuple_GET_SIZE(args) > 2) {
        PyErr_SetString(PyExc_NotImplementedError, "Variation variables are not supported yet.");
        return nullptr;
    }
    Ref frequency_array(vector_array(frequencies));
    Ref variables(PyList_New(0));
    if (!frequency_array || !variables) return nullptr;
    Ref result(evaluate(component, frequency_array.get(), variables.get(), options));
    return result ? Py_BuildValue("(O[O])", variables.get(), result.get()) : nullptr;
}

}  // namespace whistle::py
