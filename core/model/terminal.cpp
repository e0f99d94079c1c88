#include "terminal.hpp"

namespace whistle {

std::shared_ptr<Terminal> Terminal::copy(bool deep) const {
    auto result = std::make_shared<Terminal>(*this);
    if (deep) result->structure_ = std::static_pointer_cast<Structure>(structure_->clone());
    return result;
}

std::shared_ptr<Terminal> Terminal::placed(Placements steps) const {
    std::shared_ptr<Terminal> result = copy(true);
    result->structure_->transform(steps);
    return result;
}

void Terminal::transform(const Vector& translation, bool x_reflection, double rotation,
                         double scaling) {
    structure_->transform(translation, x_reflection, rotation, scaling);
}

void Terminal::mirror(const Vector& axis_endpoint, const Vector& axis_origin) {
    if (axis_endpoint != axis_origin) structure_->mirror(axis_endpoint, axis_origin);
}

std::string Terminal::str(bool representation) const {
    if (!representation) return std::string("Terminal on ") + layer_text(routing_layer_);
    return std::string("Terminal(routing_layer=") + layer_text(routing_layer_) +
           ", structure=" + structure_->str(true) + ")";
}

bool Terminal::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::Terminal) return false;
    const auto& o = static_cast<const Terminal&>(other);
    return routing_layer_ == o.routing_layer_ &&
           same_or_equal(structure_, o.structure_);
}

}  // namespace whistle
