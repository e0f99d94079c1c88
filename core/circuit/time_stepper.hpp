// `TimeStepper`: anything that advances signals one time step at a time, with the pieces of
// its stepping loop that touch no interpreter object.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/foundation/base_type.hpp"

namespace whistle {

using StepValue = std::complex<double>;

// A compiled step body: reads one input per key, overwrites one output per key, changes
// `state` and `cstate` only when `update_state` is set; non-zero return values are failures.
using NativeStepFunction = int64_t (*)(const StepValue* inputs, StepValue* outputs, int64_t time_index,
                                       bool update_state, bool shutdown, void* context, double* state,
                                       StepValue* cstate);

class TimeStepper : public BaseType {
public:
    TimeStepper() : BaseType(TypeCode::TimeStepper) {}

    // Function name, keyword arguments and random variables (binding-layer holder); null until
    // the stepper is initialised.
    std::shared_ptr<BaseType> parametric_data;

protected:
    TimeStepper(const TimeStepper&) = default;
};

// One delay line per channel: each sample leaves its channel `delays[i]` samples after it
// entered; zeros come out before the first. A delay of zero passes samples through.
class DelayLines {
public:
    explicit DelayLines(std::vector<size_t> delays = {});

    size_t size() const { return delays_.size(); }
    // Pushes values[i] into line i and replaces it with the sample that leaves the line.
    void apply(std::span<StepValue> values);
    // The sample that line i would give for `current` now, without advancing.
    StepValue delayed(size_t i, StepValue current) const;
    // Fills every line with zeros.
    void clear();

private:
    std::vector<size_t> delays_;
    std::vector<std::vector<StepValue>> lines_;  // ring buffers of delays[i] samples
    size_t position_ = 0;                        // samples pushed since the last clear
};

// Pseudo-random bit sequence registers: the next state, with the new bit at bit 0.
uint64_t prbs7(uint64_t state);
uint64_t prbs15(uint64_t state);
uint64_t prbs31(uint64_t state);

}  // namespace whistle
