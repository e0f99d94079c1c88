// `Model`: what produces a component's frequency response.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "core/foundation/base_type.hpp"

namespace whistle {

class Component;
class SMatrix;

class Model : public BaseType {
public:
    Model() : BaseType(TypeCode::Model) {}

    // The S matrix of `component` at `frequencies`. `kwargs` holds the caller's model keyword
    // arguments (binding-layer object, may be null). Throws on failure.
    virtual std::shared_ptr<SMatrix> s_matrix(const std::shared_ptr<Component>& component,
                                              std::span<const double> frequencies,
                                              bool show_progress,
                                              const std::shared_ptr<BaseType>& kwargs) = 0;

    // Function name, keyword arguments and random variables (binding-layer holder); null until
    // the model is initialised.
    std::shared_ptr<BaseType> parametric_data;
    // The associated time stepper; null when none is set.
    std::shared_ptr<BaseType> time_stepper;

protected:
    Model(const Model&) = default;
};

// The component's active electrical (or optical) model; std::runtime_error when it has none.
std::shared_ptr<Model> active_model(const Component& component, bool electrical);

// The active model of the frequencies' classification (electrical below 6 THz, else optical)
// computes the component's S matrix; std::runtime_error when the component has none.
std::shared_ptr<SMatrix> component_s_matrix(const std::shared_ptr<Component>& component,
                                            std::span<const double> frequencies,
                                            bool show_progress,
                                            const std::shared_ptr<BaseType>& kwargs);

}  // namespace whistle
