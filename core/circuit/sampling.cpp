#include "sampling.hpp"

#include <limits>
#include <random>
#include <string>
#include <unordered_set>

#include "core/foundation/units.hpp"

namespace whistle {

namespace {

// A probability in [0, 1) from 53 random bits of two generator outputs.
double next_probability(std::mt19937& generator) {
    uint64_t high = generator() >> 5, low = generator() >> 6;
    return double(high * 67108864 + low) / 9007199254740992.0;
}

uint64_t next_bits(std::mt19937& generator) { return (uint64_t(generator()) << 32) | generator(); }

void add_random_draws(std::span<const SampledVariable> variables, long long count,
                      std::mt19937& generator, std::vector<std::vector<double>>& plan) {
    for (long long i = 0; i < count; ++i) {
        std::vector<double>& row = plan.emplace_back(variables.size());
        for (double& p : row) p = next_probability(generator);
    }
}

// Every combination of values once, the first variable varying fastest; each probability
// lies in the middle of its value's interval.
void add_combinations(std::span<const SampledVariable> variables,
                      std::vector<std::vector<double>>& plan) {
    uint64_t total = 1;
    for (const SampledVariable& v : variables) {
        if (v.size != 0 && total > uint64_t(std::numeric_limits<long long>::max()) / v.size)
            throw std::overflow_error(
                "Number of discrete variable combinations overflows the maximum integer size in "
                "this platform. Please reduce the number of possible combinations.");
        total *= v.size;
    }
    for (uint64_t index = 0; index < total; ++index) {
        std::vector<double>& row = plan.emplace_back(variables.size());
        uint64_t rest = index;
        for (size_t j = 0; j < variables.size(); ++j) {
            row[j] = (double(rest % variables[j].size) + 0.5) / double(variables[j].size);
            rest /= variables[j].size;
        }
    }
}

// Bit j of the corner index selects the upper end of variable j.
std::vector<double> corner(std::span<const SampledVariable> variables, uint64_t index, double coverage) {
    std::vector<double> row(variables.size());
    double lower_tail = (1 - coverage) / 2;
    for (size_t j = 0; j < variables.size(); ++j) {
        bool upper = (index >> j) & 1;
        if (variables[j].distribution == Distribution::Normal)
            row[j] = upper ? coverage + lower_tail : lower_tail;
        else
            row[j] = upper ? 1 : 0;
    }
    return row;
}

void add_corners(std::span<const SampledVariable> variables, long long count, double coverage,
                 std::mt19937& generator, std::vector<std::vector<double>>& plan) {
    uint64_t corners = uint64_t(1) << variables.size();
    if (count < 0 || uint64_t(count) >= corners) {
        for (uint64_t index = 0; index < corners; ++index)
            plan.push_back(corner(variables, index, coverage));
        return;
    }
    // Distinct corners drawn at random: fewer than all of them, so rejection ends quickly.
    std::unordered_set<uint64_t> chosen;
    while (chosen.size() < uint64_t(count)) {
        uint64_t index = next_bits(generator) & (corners - 1);
        if (chosen.insert(index).second) plan.push_back(corner(variables, index, coverage));
    }
}

}  // namespace

std::vector<std::vector<double>> sampling_plan(std::span<const SampledVariable> variables,
                                               const SamplingOptions& options, ErrorHandler& status) {
    if (variables.size() > kMaxSampledVariables)
        throw RangeError(("Number of random variables is above the maximum allowed: " +
                          std::to_string(kMaxSampledVariables) + ".").c_str());
    if (!(options.corner_coverage > 0 && options.corner_coverage < 1))
        throw RangeError("Argument 'corner_coverage' must be strictly between 0 and 1.");
    std::mt19937 generator(options.seed ? *options.seed : std::random_device{}());
    std::vector<std::vector<double>> plan;
    if (options.random_samples >= 0) {
        add_random_draws(variables, options.random_samples, generator, plan);
    } else {
        bool all_listed = true;
        for (const SampledVariable& v : variables)
            all_listed = all_listed && (v.distribution == Distribution::Discrete ||
                                        v.distribution == Distribution::Fixed);
        if (all_listed)
            add_combinations(variables, plan);
        else
            status.warning("Argument 'random_samples' ignored: negative value is only meaningful "
                           "when all variables are discrete.");
    }
    if (options.corner_samples != 0) add_corners(variables, options.corner_samples, options.corner_coverage, generator, plan);
    return plan;
}

}  // namespace whistle
