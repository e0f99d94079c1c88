#include "time_stepper.hpp"

#include <algorithm>

namespace whistle {

DelayLines::DelayLines(std::vector<size_t> delays) : delays_(std::move(delays)) {
    for (size_t delay : delays_) lines_.emplace_back(delay);
}

void DelayLines::apply(std::span<StepValue> values) {
    for (size_t i = 0; i < delays_.size() && i < values.size(); ++i) {
        if (delays_[i] == 0) continue;
        StepValue& slot = lines_[i][position_ % delays_[i]];
        std::swap(slot, values[i]);
    }
    ++position_;
}

StepValue DelayLines::delayed(size_t i, StepValue current) const {
    return delays_[i] == 0 ? current : lines_[i][position_ % delays_[i]];
}

void DelayLines::clear() {
    for (auto& line : lines_) std::fill(line.begin(), line.end(), StepValue());
    position_ = 0;
}

namespace {

// The register shifted left within `mask`, the new bit 0 being bit a xor bit b.
uint64_t prbs(uint64_t state, int a, int b, uint64_t mask) {
    return (((state >> a) ^ (state >> b)) & 1) | ((state << 1) & mask);
}

}  // namespace

uint64_t prbs7(uint64_t state) { return prbs(state, 6, 5, 0x7F); }
uint64_t prbs15(uint64_t state) { return prbs(state, 14, 13, 0x7FFF); }
uint64_t prbs31(uint64_t state) { return prbs(state, 30, 27, 0x7FFFFFFF); }

}  // namespace whistle
