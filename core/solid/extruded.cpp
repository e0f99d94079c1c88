#include "core/solid/extruded.hpp"

namespace whistle {

const char* axis_name(int axis) {
    static constexpr const char* kNames[] = {"x", "y", "z"};
    return kNames[axis];
}

std::shared_ptr<Structure3D> Extruded::copy(bool deep) const {
    auto result = std::make_shared<Extruded>(*this);
    if (deep && face_) result->face_ = std::static_pointer_cast<Structure>(face_->clone());
    return result;
}

std::string Extruded::str(bool representation) const {
    std::string face = face_ ? face_->str(true) : "None";
    std::string limits(1, '(');  // built by appending: GCC 12 misreports "(" + string
    limits.append(length_text(double(limits_[0]))).append(", ").append(length_text(double(limits_[1]))).append(")");
    if (!representation) return "Extruded along " + std::string(axis_name(axis_)) + " " + limits;
    return "Extruded(medium=" + medium_text() + ", face=" + face + ", limits=" + limits +
           ", dilations=(" + length_text(double(dilations_[0])) + ", " +
           length_text(double(dilations_[1])) + "), axis=\"" + axis_name(axis_) + "\")";
}

bool Extruded::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const Extruded&>(other);
    return same_medium(o) && same_or_equal(face_, o.face_) && limits_ == o.limits_ &&
           dilations_ == o.dilations_ && axis_ == o.axis_;
}

}  // namespace whistle
