// Sampling plans of the variation driver: the cumulative probabilities at which each draw
// sets its variables, from random draws, corners and discrete combinations.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
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

// One row of cumulative probabilities (one per variable) for each draw: the random draws (or,
// for a negative count over variables that all have a value list, every combination of values
// once), then the corners. Throws RangeError for more than kMaxSampledVariables variables or a
// coverage outside (0, 1), std::overflow_error when the combinations cannot be counted; reports
// a warning when a negative random count is ignored.
std::vector<std::vector<double>> sampling_plan(std::span<const SampledVariable> variables,
                                               const SamplingOptions& options, ErrorHandler& status);

}  // namespace whistle
