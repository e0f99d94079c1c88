#include "path_profile.hpp"

#include "core/foundation/expression.hpp"
#include "structure.hpp"

namespace whistle {

namespace {

template <class T>
const T* same_kind(const PathInterpolator& self, const PathInterpolator& other) {
    return self.kind() == other.kind() ? static_cast<const T*>(&other) : nullptr;
}

void append_header(std::string& out, const PathInterpolator& profile) {
    append_raw(out, uint32_t(profile.kind()));
}

std::string tail(const PathInterpolator& profile) {
    return ", min_evals=" + std::to_string(profile.min_evals()) + ")";
}

}  // namespace

Profile constant_profile(double value) { return std::make_shared<ConstantPathInterpolator>(value); }

Profile linear_profile(double from, double to) {
    return std::make_shared<TwoValuePathInterpolator>(PathInterpolator::kLinear, from, to);
}

Profile smooth_profile(double from, double to) {
    return std::make_shared<TwoValuePathInterpolator>(PathInterpolator::kSmooth, from, to);
}

// ---- Constant ---------------------------------------------------------------------------

Profile ConstantPathInterpolator::copy() const { return constant_profile(value_); }

Profile ConstantPathInterpolator::affine(double factor, double shift) const {
    return constant_profile(value_ * factor + shift);
}

bool ConstantPathInterpolator::equals(const PathInterpolator& other) const {
    auto o = same_kind<ConstantPathInterpolator>(*this, other);
    return o && o->value_ == value_;
}

std::string ConstantPathInterpolator::str() const {
    return "ConstantPathInterpolator(value=" + length_text(value_) + tail(*this);
}

void ConstantPathInterpolator::append_bytes(std::string& out) const {
    append_header(out, *this);
    append_raw(out, value_);
}

// ---- Linear and smooth ------------------------------------------------------------------

Profile TwoValuePathInterpolator::copy() const {
    return std::make_shared<TwoValuePathInterpolator>(kind(), from_, to_);
}

double TwoValuePathInterpolator::value(double u) const {
    double shape = kind() == kLinear ? u : u * u * (3 - 2 * u);
    return from_ + (to_ - from_) * shape;
}

double TwoValuePathInterpolator::derivative(double u) const {
    double slope = kind() == kLinear ? 1 : 6 * u * (1 - u);
    return (to_ - from_) * slope;
}

Profile TwoValuePathInterpolator::affine(double factor, double shift) const {
    return std::make_shared<TwoValuePathInterpolator>(kind(), from_ * factor + shift,
                                                      to_ * factor + shift);
}

bool TwoValuePathInterpolator::equals(const PathInterpolator& other) const {
    auto o = same_kind<TwoValuePathInterpolator>(*this, other);
    return o && o->from_ == from_ && o->to_ == to_;
}

std::string TwoValuePathInterpolator::str() const {
    return std::string(kind() == kLinear ? "LinearPathInterpolator" : "SmoothPathInterpolator") +
           "(values=(" + length_text(from_) + ", " + length_text(to_) + ")" + tail(*this);
}

void TwoValuePathInterpolator::append_bytes(std::string& out) const {
    append_header(out, *this);
    append_raw(out, from_);
    append_raw(out, to_);
}

// ---- Parametric -------------------------------------------------------------------------

ParametricPathInterpolator::ParametricPathInterpolator(std::shared_ptr<Expression> expression,
                                                       double scaling, double offset)
    : PathInterpolator(kParametric), expression_(std::move(expression)), scaling_(scaling),
      offset_(offset) {}

Profile ParametricPathInterpolator::copy() const {
    auto expression = std::static_pointer_cast<Expression>(expression_->clone());
    return std::make_shared<ParametricPathInterpolator>(std::move(expression), scaling_, offset_);
}

double ParametricPathInterpolator::value(double u) const {
    expression_->evaluate(u);
    return (expression_->value_at(-2) * scaling_ + offset_) * kUnitsPerMicron;
}

double ParametricPathInterpolator::derivative(double u) const {
    expression_->evaluate(u);
    return expression_->value_at(-1) * scaling_ * kUnitsPerMicron;
}

Profile ParametricPathInterpolator::affine(double factor, double shift) const {
    auto expression = std::static_pointer_cast<Expression>(expression_->clone());
    return std::make_shared<ParametricPathInterpolator>(
        std::move(expression), scaling_ * factor, offset_ * factor + shift / kUnitsPerMicron);
}

bool ParametricPathInterpolator::equals(const PathInterpolator& other) const {
    auto o = same_kind<ParametricPathInterpolator>(*this, other);
    return o && o->scaling_ == scaling_ && o->offset_ == offset_ &&
           o->expression_->equals(*expression_);
}

std::string ParametricPathInterpolator::str() const {
    return "ParametricPathInterpolator(expression=" + expression_->to_string(true) +
           ", scaling=" + number_text(scaling_) + ", offset=" + number_text(offset_) + tail(*this);
}

void ParametricPathInterpolator::append_bytes(std::string& out) const {
    append_header(out, *this);
    append_raw(out, scaling_);
    append_raw(out, offset_);
    out += expression_->to_string(true);
}

// ---- Slice ------------------------------------------------------------------------------

Profile SlicePathInterpolator::copy() const {
    return std::make_shared<SlicePathInterpolator>(base_->copy(), u0_, u1_);
}

Profile SlicePathInterpolator::affine(double factor, double shift) const {
    return std::make_shared<SlicePathInterpolator>(base_->affine(factor, shift), u0_, u1_);
}

bool SlicePathInterpolator::equals(const PathInterpolator& other) const {
    auto o = same_kind<SlicePathInterpolator>(*this, other);
    return o && o->u0_ == u0_ && o->u1_ == u1_ && o->base_->equals(*base_);
}

std::string SlicePathInterpolator::str() const {
    return "SlicePathInterpolator(base=" + base_->str() + ", limits=(" + number_text(u0_) + ", " +
           number_text(u1_) + ")" + tail(*this);
}

void SlicePathInterpolator::append_bytes(std::string& out) const {
    append_header(out, *this);
    append_raw(out, u0_);
    append_raw(out, u1_);
    base_->append_bytes(out);
}

}  // namespace whistle
