// `RandomVariable`: the core variable with its values held as interpreter numbers, so that
// means and values combine through the interpreter's arithmetic (complex values work).
#pragma once

#include "common.hpp"
#include "core/circuit/random_variable.hpp"

namespace whistle::py {

class PyRandomVariable final : public RandomVariable {
public:
    // `spec` is a tuple: (value) for fixed, (mean, standard deviation) for normal, (lower,
    // upper) for uniform, the values for discrete. Takes references to `spec` and `value`.
    PyRandomVariable(std::string name, Distribution distribution, PyObject* spec, PyObject* value);
    PyRandomVariable(const PyRandomVariable& other);
    ~PyRandomVariable() override;

    std::shared_ptr<BaseType> clone() const override {
        return std::make_shared<PyRandomVariable>(*this);
    }
    // Same name, distribution, spec and parent.
    bool equals(const BaseType& other) const override;
    std::string str(bool representation) const override;
    std::optional<size_t> size() const override;

    // Borrowed.
    PyObject* value() const { return value_; }
    // Borrowed: the distribution's tuple.
    PyObject* spec() const { return spec_; }
    // Sets the current value to the one at cumulative probability p and returns it (new
    // reference); null with an exception set on failure, leaving the value unchanged.
    PyObject* set_by_cdf(double p);
    // {"value": v}, {"value": mean, "stdev": sd}, {"value_range": (lower, upper)} or
    // {"values": values} (new reference).
    PyObject* value_spec() const;
    // A copy whose held values are deep copies made with `memo`; null with an exception set.
    std::shared_ptr<PyRandomVariable> deep_copy(PyObject* memo) const;

    // The component, model or technology whose parameter this is. Not owned: parents list
    // their variables, and a variable must not keep its parent alive.
    std::weak_ptr<BaseType> parent;

private:
    PyObject* spec_;
    PyObject* value_;
};

// True for None and the objects that can own a variable: components, models, technologies.
bool is_parent_object(PyObject* obj);

// A new normal variable of `parent` (new reference to its wrapper).
PyObject* normal_variable(const char* name, double mean, double stdev, const std::shared_ptr<BaseType>& parent);
// Points the variables of `list` whose parent is `from` at `to`: an object that takes over the
// contents of a rebuilt one takes over its variables too.
void adopt_variables(PyObject* list, const BaseType* from, const std::shared_ptr<BaseType>& to);

}  // namespace whistle::py
