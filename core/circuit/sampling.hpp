// Sampling plans of the variation driver: the cumulative probabilities at which each draw
// sets its variables, from random draws, corners and discrete combinations. Draws are made one
// at a time, so that a plan of more draws than memory holds costs nothing until it is used.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <unordered_set>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "random_variable.hpp"

namespace whistle {

// Corners are indexed by a bit per variable, so the count stays below 2^62.
constexpr size_t kMaxSampledVariables = 62;

struct SampledVariable {
    Distribution distribution;
    size_t size = 0;  // number of values of fixed and discrete variables
};

struct SamplingOptions {
    long long random_samples = 0;
    long long corner_samples = 0;
    double corner_coverage = 0.95;
    std::optional<uint32_t> seed;  // the system's random device when absent
};

// The random draws (or, for a negative count over variables that all have a value list, every
// combination of values once, the first variable varying fastest), then the corners.
class SamplingPlan {
public:
    // Throws RangeError for more than kMaxSampledVariables variables or a coverage outside
    // (0, 1), std::overflow_error when the combinations cannot be counted; reports a warning
    // when a negative random count is ignored.
    SamplingPlan(std::span<const SampledVariable> variables, const SamplingOptions& options,
                 ErrorHandler& status);

    uint64_t size() const { return random_count_ + combination_count_ + corner_count_; }
    // The probabilities of the next draw, one per variable.
    std::vector<double> next();

private:
    double next_probability();
    std::vector<double> combination(uint64_t index) const;
    std::vector<double> corner(uint64_t index) const;

    std::vector<SampledVariable> variables_;
    double coverage_;
    std::mt19937 generator_;
    uint64_t random_count_ = 0, combination_count_ = 0, corner_count_ = 0, position_ = 0;
    bool all_corners_ = false;
    std::unordered_set<uint64_t> chosen_corners_;
};

}  // namespace whistle
