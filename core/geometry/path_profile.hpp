// Width and offset profiles of path sections: a value and its derivative over u in [0, 1].
// Values are in database units. Profiles are never modified once built, so sections may
// share them; changes (scaling, shifting) build new profiles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace whistle {

class Expression;

class PathInterpolator {
public:
    enum Kind : uint32_t { kConstant = 0, kLinear = 1, kSmooth = 2, kParametric = 3, kSlice = 4 };

    explicit PathInterpolator(Kind kind) : kind_(kind) {}
    virtual ~PathInterpolator() = default;

    Kind kind() const { return kind_; }
    // Fewest evaluations that resolve the profile's shape.
    virtual uint32_t min_evals() const = 0;
    // Deep copy: parametric profiles own an expression that evaluation writes into.
    virtual std::shared_ptr<PathInterpolator> copy() const = 0;
    virtual double value(double u) const = 0;
    virtual double derivative(double u) const = 0;
    // The same profile with every value v replaced by v·factor + shift.
    virtual std::shared_ptr<PathInterpolator> affine(double factor, double shift) const = 0;
    virtual bool is_constant() const { return false; }
    virtual bool equals(const PathInterpolator& other) const = 0;
    virtual std::string str() const = 0;
    // Raw bytes of the kind and fields, for content comparison of paths.
    virtual void append_bytes(std::string& out) const = 0;

private:
    Kind kind_;
};

using Profile = std::shared_ptr<PathInterpolator>;

class ConstantPathInterpolator final : public PathInterpolator {
public:
    explicit ConstantPathInterpolator(double value) : PathInterpolator(kConstant), value_(value) {}
    uint32_t min_evals() const override { return 1; }
    Profile copy() const override;
    double value(double) const override { return value_; }
    double derivative(double) const override { return 0; }
    Profile affine(double factor, double shift) const override;
    bool is_constant() const override { return true; }
    bool equals(const PathInterpolator& other) const override;
    std::string str() const override;
    void append_bytes(std::string& out) const override;

private:
    double value_;
};

// Linear (kLinear) or smooth (kSmooth, cubic with flat ends) change between two values.
class TwoValuePathInterpolator final : public PathInterpolator {
public:
    TwoValuePathInterpolator(Kind kind, double from, double to)
        : PathInterpolator(kind), from_(from), to_(to) {}
    uint32_t min_evals() const override { return kind() == kLinear ? 2 : 5; }
    Profile copy() const override;
    double value(double u) const override;
    double derivative(double u) const override;
    Profile affine(double factor, double shift) const override;
    bool equals(const PathInterpolator& other) const override;
    std::string str() const override;
    void append_bytes(std::string& out) const override;

    double from() const { return from_; }
    double to() const { return to_; }

private:
    double from_;
    double to_;
};

// The last two values of a one-parameter expression (value and derivative, in micrometres),
// times scaling, plus offset (micrometres).
class ParametricPathInterpolator final : public PathInterpolator {
public:
    ParametricPathInterpolator(std::shared_ptr<Expression> expression, double scaling, double offset);
    uint32_t min_evals() const override { return 5; }
    Profile copy() const override;
    double value(double u) const override;
    double derivative(double u) const override;
    Profile affine(double factor, double shift) const override;
    bool equals(const PathInterpolator& other) const override;
    std::string str() const override;
    void append_bytes(std::string& out) const override;

    const std::shared_ptr<Expression>& expression() const { return expression_; }
    double scaling() const { return scaling_; }
    double offset() const { return offset_; }

private:
    // Evaluation stores into the expression's slots; a profile is used by one thread at a time.
    std::shared_ptr<Expression> expression_;
    double scaling_;
    double offset_;
};

// The base profile restricted to [u0, u1] and stretched over [0, 1].
class SlicePathInterpolator final : public PathInterpolator {
public:
    SlicePathInterpolator(Profile base, double u0, double u1)
        : PathInterpolator(kSlice), base_(std::move(base)), u0_(u0), u1_(u1) {}
    uint32_t min_evals() const override { return base_->min_evals(); }
    Profile copy() const override;
    double value(double u) const override { return base_->value(u0_ + (u1_ - u0_) * u); }
    double derivative(double u) const override {
        return base_->derivative(u0_ + (u1_ - u0_) * u) * (u1_ - u0_);
    }
    Profile affine(double factor, double shift) const override;
    bool is_constant() const override { return base_->is_constant(); }
    bool equals(const PathInterpolator& other) const override;
    std::string str() const override;
    void append_bytes(std::string& out) const override;

    const Profile& base() const { return base_; }
    double u0() const { return u0_; }
    double u1() const { return u1_; }

private:
    Profile base_;
    double u0_;
    double u1_;
};

Profile constant_profile(double value);
Profile linear_profile(double from, double to);
Profile smooth_profile(double from, double to);

}  // namespace whistle
