// Random variables: one uncertain parameter of a parametric object and its distribution. The
// core holds the name and the kind of distribution and maps cumulative probabilities onto
// positions in it; the values themselves are interpreter numbers held by the binding layer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/foundation/base_type.hpp"

namespace whistle {

enum class Distribution : uint8_t { Fixed = 0, Normal, Uniform, Discrete };

// "fixed", "normal", "uniform" or "discrete".
const char* distribution_name(Distribution distribution);

// Inverse of the standard normal cumulative distribution for p in (0, 1), accurate to about
// 1e-16 relative.
double normal_quantile(double p);

// Throws RangeError "CDF value out of range 0 - 1." unless 0 <= p <= 1.
void check_probability(double p);

// The standard normal quantile of p, with p clamped into the open interval so the result
// stays finite at 0 and 1.
double clamped_normal_quantile(double p);

// Index of the value that p selects among `count` equally likely values.
size_t discrete_index(double p, size_t count);

class RandomVariable : public BaseType {
public:
    RandomVariable(std::string name, Distribution distribution)
        : BaseType(TypeCode::RandomVariable), name(std::move(name)), distribution_(distribution) {}

    Distribution distribution() const { return distribution_; }
    // Number of values: 1 for fixed, the value count for discrete; none for continuous ones.
    virtual std::optional<size_t> size() const = 0;

    std::string name;

protected:
    RandomVariable(const RandomVariable&) = default;

private:
    Distribution distribution_;
};

}  // namespace whistle
