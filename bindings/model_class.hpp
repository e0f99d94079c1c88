// `Model` and the core model that an interpreter class implements.
#pragma once

#include "common.hpp"
#include "core/circuit/lumped_model.hpp"

namespace whistle::py {

// The interpreter instance behind a model implemented by an interpreter class. The model keeps
// its instance alive, as a component may hold the model after the last interpreter handle is
// gone; the cycle through the instance's wrapper is broken by the interpreter's cycle collector.
class InterpreterInstance {
public:
    InterpreterInstance(const InterpreterInstance&) = delete;
    InterpreterInstance& operator=(const InterpreterInstance&) = delete;

    PyObject* instance() const { return instance_; }
    // Drops the reference to the instance (cycle collection of the last owner).
    void release_instance();

protected:
    // Takes a reference to `instance` (null for a prototype).
    explicit InterpreterInstance(PyObject* instance);
    ~InterpreterInstance();

    PyObject* instance_;
};

// The core object of every instance of `Model` (Base = Model) or `LumpedModel` (Base =
// LumpedModel), and of their subclasses.
template <class Base>
class InterpreterModel final : public Base, public InterpreterInstance {
public:
    explicit InterpreterModel(PyObject* instance) : InterpreterInstance(instance) {}

    // A deep copy through the instance's `__deepcopy__`.
    std::shared_ptr<BaseType> clone() const override;
    // Same class and equal keyword arguments (and port maps).
    bool equals(const BaseType& other) const override;
    // Class name and keyword arguments: Name(key=value, ...[, port_map=...]).
    std::string str(bool representation) const override;
    // Calls the instance's `s_matrix` method.
    std::shared_ptr<SMatrix> s_matrix(const std::shared_ptr<Component>& component,
                                      std::span<const double> frequencies, bool show_progress,
                                      const std::shared_ptr<BaseType>& kwargs) override;
};

using PyModel = InterpreterModel<Model>;
using PyLumpedModel = InterpreterModel<LumpedModel>;

extern template class InterpreterModel<Model>;
extern template class InterpreterModel<LumpedModel>;

// A new instance of a model type holding a new core model of class Core.
template <class Core>
PyObject* new_interpreter_model(PyTypeObject* type, PyObject*, PyObject*) {
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

// Stores the keyword arguments as the model's parametric kwargs (the base `__init__`);
// TypeError `positional_message` when positional arguments are given.
int init_model_kwargs(PyObject* self, PyObject* args, PyObject* kwds, const char* positional_message);

// The arguments of `s_matrix(component, frequencies, show_progress=True, model_kwargs={})`.
struct SMatrixCall {
    PyObject* component = nullptr;  // borrowed
    Ref frequencies;                // array
    bool show_progress = true;
    Ref model_kwargs;               // a new dict
};
bool parse_s_matrix_call(PyObject* args, PyObject* kwds, SMatrixCall& out);

// The port map as a dict {name: (signal, impedance) or (signal, reference, impedance)}.
PyObject* port_map_object(const PortMap& ports);

// A non-empty sequence of frequencies (ValueError "Argument 'frequencies' cannot be empty.").
bool to_frequencies(PyObject* obj, std::vector<double>& out);
// The model keyword arguments of a core request as a dict (new reference).
PyObject* model_kwargs_dict(const std::shared_ptr<BaseType>& kwargs);
// A dict argument as a holder for core requests; TypeError "Argument '<name>' must be a
// dictionary." for anything else.
bool to_kwargs_holder(PyObject* obj, const char* name, std::shared_ptr<BaseType>& out);

}  // namespace whistle::py
