#include "model.hpp"

#include "core/model/component.hpp"
#include "core/model/medium.hpp"

namespace whistle {

std::shared_ptr<Model> active_model(const Component& component, bool electrical) {
    const std::string& name = electrical ? component.active_electrical_model : component.active_optical_model;
    auto it = component.models.find(name);
    if (name.empty() || it == component.models.end() || !it->second ||
        it->second->type_code() != TypeCode::Model)
        throw std::runtime_error((electrical ? "No active electrical model found in component '"
                                             : "No active model found in component '") +
                                 component.name + "'.");
    return std::static_pointer_cast<Model>(it->second);
}

std::shared_ptr<SMatrix> component_s_matrix(const std::shared_ptr<Component>& component,
                                            std::span<const double> frequencies,
                                            bool show_progress,
                                            const std::shared_ptr<BaseType>& kwargs) {
    bool electrical = frequency_classification(frequencies) == Classification::Electrical;
    // Held for the call: the model may remove itself from the component while it runs.
    std::shared_ptr<Model> model = active_model(*component, electrical);
    return model->s_matrix(component, frequencies, show_progress, kwargs);
}

}  // namespace whistle
