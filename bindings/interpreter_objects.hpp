// Core objects that hold interpreter values. They live in the binding layer because they
// touch interpreter references; the core sees them as plain BaseType objects.
#pragma once

#include "common.hpp"

namespace whistle::py {

class PyNative : public BaseType {
public:
    PyNative(TypeCode code, PyObject* value);
    PyNative(const PyNative& other);
    ~PyNative() override;

    std::shared_ptr<BaseType> clone() const override { return std::make_shared<PyNative>(*this); }
    bool equals(const BaseType& other) const override;
    std::string str(bool representation) const override;

    // Borrowed reference.
    PyObject* value() const { return value_; }
    void set_value(PyObject* value);

private:
    PyObject* value_;
};

// Holds a solver-package model object (a medium).
class Fenn3dBaseModel final : public PyNative {
public:
    explicit Fenn3dBaseModel(PyObject* value) : PyNative(TypeCode::Medium, value) {}
    std::shared_ptr<BaseType> clone() const override {
        return std::make_shared<Fenn3dBaseModel>(*this);
    }
};

// A reference's five update dictionaries, held as one dict keyed by their names. Copies copy the
// five dicts, so that the copies' dictionaries change independently.
class PyUpdateKwargs final : public PyNative {
public:
    enum Slot { kTechnology, kComponent, kModel, kSMatrix, kTimeStepper, kSlotCount };
    static constexpr const char* kNames[kSlotCount] = {"technology_updates", "component_updates",
                                                       "model_updates", "s_matrix_kwargs",
                                                       "time_stepper_kwargs"};

    // Five empty dicts; throws std::bad_alloc when they cannot be made.
    PyUpdateKwargs();
    PyUpdateKwargs(const PyUpdateKwargs& other);
    std::shared_ptr<BaseType> clone() const override {
        return std::make_shared<PyUpdateKwargs>(*this);
    }

    // Borrowed reference to the dict of a slot.
    PyObject* dict(Slot slot) const;
    // Holds `dict` (a dict) in the slot; false with an exception set on failure.
    bool set_dict(Slot slot, PyObject* dict);
    // True when all five dicts are empty.
    bool empty() const;
};

// Creates the prototype objects in the core configuration (module entry, step 3).
bool create_prototypes();
// Creates the dicts behind default_time_steppers and default_kwargs (module entry, step 10).
bool create_config_dicts();

}  // namespace whistle::py
