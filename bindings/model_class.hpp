// `Model` and the core model that an interpreter class implements.
#pragma once

#include "common.hpp"
#include "interpreter_class.hpp"
#include "core/circuit/lumped_model.hpp"

namespace whistle::py {

extern const InterpreterClass kModelClass;
extern const InterpreterClass kLumpedModelClass;

// A model implemented by an interpreter class: the core object of every instance of `Model`
// (Base = Model) or `LumpedModel` (Base = LumpedModel), and of their subclasses.
template <class Base, const InterpreterClass& kClass>
class InterpreterModel final : public InterpreterCore<Base, InterpreterModel<Base, kClass>, kClass> {
public:
    using InterpreterModel::InterpreterCore::InterpreterCore;

    // Same class and equal keyword arguments (and port maps).
    bool equals(const BaseType& other) const override;
    // Class name and keyword arguments: Name(key=value, ...[, port_map=...]).
    std::string str(bool representation) const override;
    // Calls the instance's `s_matrix` method.
    std::shared_ptr<SMatrix> s_matrix(const std::shared_ptr<Component>& component,
                                      std::span<const double> frequencies, bool show_progress,
                                      const std::shared_ptr<BaseType>& kwargs) override;
};

using PyModel = InterpreterModel<Model, kModelClass>;
using PyLumpedModel = InterpreterModel<LumpedModel, kLumpedModelClass>;

extern template class InterpreterModel<Model, kModelClass>;
extern template class InterpreterModel<LumpedModel, kLumpedModelClass>;

// The names in messages about a model instance: those of `LumpedModel` or of `Model`.
const InterpreterClass& model_class(PyObject* self);

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
