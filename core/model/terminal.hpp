// Terminals: where electrical routes attach, a routing layer and a template structure.
#pragma once

#include <memory>
#include <string>

#include "core/geometry/structure.hpp"
#include "layer.hpp"

namespace whistle {

class Terminal final : public Cloneable<Terminal, BaseType> {
public:
    Terminal(Layer routing_layer, std::shared_ptr<Structure> structure)
        : Cloneable(TypeCode::Terminal), routing_layer_(routing_layer),
          structure_(std::move(structure)) {}

    const Layer& routing_layer() const { return routing_layer_; }
    const std::shared_ptr<Structure>& structure() const { return structure_; }
    void set_routing_layer(const Layer& layer) { routing_layer_ = layer; }
    void set_structure(std::shared_ptr<Structure> structure) { structure_ = std::move(structure); }

    // Shallow copies share the structure; deep ones copy it.
    std::shared_ptr<Terminal> copy(bool deep) const;

    // A deep copy placed by the steps in order (as references place their components' terminals).
    std::shared_ptr<Terminal> placed(Placements steps) const;
    std::shared_ptr<Terminal> placed(const Placement& step) const { return placed(Placements(&step, 1)); }

    // Placement of the structure, composed as for references.
    void transform(const Vector& translation, bool x_reflection, double rotation, double scaling);
    void translate(const Vector& delta) { structure_->translate(delta); }
    void rotate(double rotation, const Vector& center) { structure_->rotate(rotation, center); }
    void scale(double scaling, const Vector& center) { structure_->scale(scaling, center); }
    // A zero-length axis leaves the terminal as it is.
    void mirror(const Vector& axis_endpoint, const Vector& axis_origin);

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    Layer routing_layer_;
    std::shared_ptr<Structure> structure_;
};

}  // namespace whistle
