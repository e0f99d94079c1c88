#include "sampling.hpp"

#include <limits>
#include <string>

#include "core/foundation/units.hpp"

namespace whistle {

namespace {

// Every variable has a value list: fixed and discrete ones.
bool all_listed(std::span<const SampledVariable> variables) {
    for (const SampledVariable& v : variables)
        if (v.distribution != Distribution::Discrete && v.distribution != Distribution::Fixed) return false;
    return true;
}

uint64_t combination_count(std::span<const SampledVariable> variables) {
    uint64_t total = 1;
    for (const SampledVariable& v : variables) {
        if (v.size != 0 && total > uint64_t(std::numeric_limits<long long>::max()) / v.size)
            throw std::overflow_error(
                "Number of discrete variable combinations overflows the maximum integer size in "
                "this platform. Please reduce the number of possible combinations.");
        total *= v.size;
    }
    return total;
}

}  // namespace

SamplingPlan::SamplingPlan(std::span<const SampledVariable> variables, const SamplingOptions& options,
                           ErrorHandler& status)
    : variables_(variables.begin(), variables.end()), coverage_(options.corner_coverage) {
    if (variables.size() > kMaxSampledVariables)
        throw RangeError(("Number of random variables is above the maximum allowed: " +
                          std::to_string(kMaxSampledVariables) + ".").c_str());
    if (!(coverage_ > 0 && coverage_ < 1))
        throw RangeError("Argument 'corner_coverage' must be strictly between 0 and 1.");
    generator_.seed(options.seed ? *options.seed : std::random_device{}());
    if (options.random_samples >= 0) {
        random_count_ = uint64_t(options.random_samples);
    } else if (all_listed(variables)) {
        combination_count_ = combination_count(variables);
    } else {
        status.warning("Argument 'random_samples' ignored: negative value is only meaningful when all "
                       "variables are discrete.");
    }
    uint64_t corners = uint64_t(1) << variables.size();
    all_corners_ = options.corner_samples < 0 || uint64_t(options.corner_samples) >= corners;
    corner_count_ = all_corners_ ? corners : uint64_t(options.corner_samples);
}

// A probability in [0, 1) from 53 random bits of two generator outputs.
double SamplingPlan::next_probability() {
    uint64_t high = generator_() >> 5, low = generator_() >> 6;
    return double(high * 67108864 + low) / 9007199254740992.0;
}

// Each probability lies in the middle of its value's interval.
std::vector<double> SamplingPlan::combination(uint64_t index) const {
    std::vector<double> row(variables_.size());
    for (size_t j = 0; j < variables_.size(); ++j) {
        row[j] = (double(index % variables_[j].size) + 0.5) / double(variables_[j].size);
        index /= variables_[j].size;
    }
    return row;
}

// Bit j of the index selects the upper end of variable j.
std::vector<double> SamplingPlan::corner(uint64_t index) const {
    std::vector<double> row(variables_.size());
    double lower_tail = (1 - coverage_) / 2;
    for (size_t j = 0; j < variables_.size(); ++j) {
        bool upper = (index >> j) & 1;
        if (variables_[j].distribution == Distribution::Normal)
            row[j] = upper ? coverage_ + lower_tail : lower_tail;
        else
            row[j] = upper ? 1 : 0;
    }
    return row;
}

std::vector<double> SamplingPlan::next() {
    uint64_t index = position_++;
    if (index < random_count_) {
        std::vector<double> row(variables_.size());
        for (double& p : row) p = next_probability();
        return row;
    }
    index -= random_count_;
    if (index < combination_count_) return combination(index);
    index -= combination_count_;
    if (all_corners_) return corner(index);
    // A corner not drawn before: fewer than all of them are drawn, so rejection ends quickly.
    uint64_t mask = (uint64_t(1) << variables_.size()) - 1;
    for (;;) {
        uint64_t candidate = ((uint64_t(generator_()) << 32) | generator_()) & mask;
        if (chosen_corners_.insert(candidate).second) return corner(candidate);
    }
}

}  // namespace whistle
