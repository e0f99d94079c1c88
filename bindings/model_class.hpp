// `Model` and the core model that an interpreter class implements.
#pragma once

#include "common.hpp"
#include "interpreter_class.hpp"
#include "core/circuit/model.hpp"

namespace whistle::py {

extern const InterpreterClass kModelClass;

// A model implemented by an interpreter class: the core object of every instance of `Model`
// (and its subclasses).
class PyModel final : public InterpreterCore<Model, PyModel, kModelClass> {
public:
    using InterpreterCore::InterpreterCore;

    // Calls the instance's `s_matrix` method.
    std::shared_ptr<SMatrix> s_matrix(const std::shared_ptr<Component>& component,
                                      std::span<const double> frequencies, bool show_progress,
                                      const std::shared_ptr<BaseType>& kwargs) override;
};

// A non-empty sequence of frequencies (ValueError "Argument 'frequencies' cannot be empty.").
bool to_frequencies(PyObject* obj, std::vector<double>& out);
// The model keyword arguments of a core request as a dict (new reference).
PyObject* model_kwargs_dict(const std::shared_ptr<BaseType>& kwargs);
// A dict argument as a holder for core requests; TypeError "Argument '<name>' must be a
// dictionary." for anything else.
bool to_kwargs_holder(PyObject* obj, const char* name, std::shared_ptr<BaseType>& out);

}  // namespace whistle::py
