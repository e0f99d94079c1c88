#include "label.hpp"

#include <array>

#include "structure.hpp"

namespace whistle {

namespace {

constexpr std::array<std::string_view, 9> kAnchorNames = {"NW", "N", "NE", "W", "O",
                                                          "E",  "SW", "S", "SE"};

}  // namespace

std::string_view anchor_name(Anchor anchor) { return kAnchorNames[size_t(anchor)]; }

std::optional<Anchor> anchor_from_name(std::string_view name) {
    for (size_t i = 0; i < kAnchorNames.size(); ++i)
        if (kAnchorNames[i] == name) return Anchor(i);
    return std::nullopt;
}

Label::Label(std::string text, const Vector& origin, Anchor anchor, double rotation,
             double scaling, bool x_reflection)
    : Cloneable(TypeCode::Label), text_(std::move(text)), origin_(origin), anchor_(anchor),
      rotation_(rotation), scaling_(scaling), x_reflection_(x_reflection) {}

bool Label::content_bytes(std::string& out) const {
    append_raw(out, uint64_t(text_.size()));
    out += text_;
    append_raw(out, origin_.x);
    append_raw(out, origin_.y);
    append_raw(out, uint8_t(anchor_));
    append_raw(out, rotation_);
    append_raw(out, scaling_);
    append_raw(out, uint8_t(x_reflection_));
    return true;
}

std::string Label::str(bool representation) const {
    if (!representation) return "Label \"" + text_ + "\" at " + point_text(origin_);
    return "Label(text=\"" + text_ + "\", origin=" + point_text(origin_) +
           ", anchor=" + std::string(anchor_name(anchor_)) + ", rotation=" + number_text(rotation_) +
           ", scaling=" + number_text(scaling_) +
           ", x_reflection=" + (x_reflection_ ? "True" : "False") + ")";
}

bool Label::equals(const BaseType& other) const {
    if (other.type_code() != type_code()) return false;
    const auto& o = static_cast<const Label&>(other);
    return text_ == o.text_ && origin_ == o.origin_ && anchor_ == o.anchor_ &&
           rotation_ == o.rotation_ && scaling_ == o.scaling_ && x_reflection_ == o.x_reflection_;
}

void Label::transform(Placements steps) {
    Vector origin = PointChain(steps)(origin_);
    for (const Placement& step : steps) {
        rotation_ = (step.x_reflection ? -rotation_ : rotation_) + step.rotation;
        // At unit magnification (the exact path) this leaves the scaling as it is.
        scaling_ *= step.magnification;
        if (step.x_reflection) x_reflection_ = !x_reflection_;
    }
    origin_ = origin;
}

void Label::transform(const Vector& translation, bool x_reflection, double rotation,
                      double magnification) {
    const Placement step{translation, x_reflection, rotation, magnification};
    transform(Placements(&step, 1));
}

void Label::translate(const Vector& delta) { origin_ = check_range(origin_ + delta); }

void Label::rotate(double rotation, const Vector& center) {
    transform(rotation_about(rotation, center));
}

void Label::scale(double magnification, const Vector& center) {
    transform(scaling_about(magnification, center));
}

void Label::mirror(const Vector& axis_endpoint, const Vector& axis_origin) {
    transform(mirroring(axis_endpoint, axis_origin));
}

}  // namespace whistle
