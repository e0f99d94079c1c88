// The sample loop shared by the `step` methods of time steppers and time-domain models.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "common.hpp"
#include "core/circuit/time_stepper.hpp"

namespace whistle::py {

// A stepper's side of the loop.
class SampleLoop {
public:
    virtual ~SampleLoop() = default;
    // The stepper's keys, in input and output order; false with an exception set.
    virtual bool keys(std::vector<std::string>& out) = 0;
    // The time step used when neither the inputs nor the call give one (0 when none).
    virtual double time_step() const = 0;
    // Makes room for one input and one output per key; false with an exception set.
    virtual bool prepare(size_t count) = 0;
    virtual std::span<StepValue> inputs() = 0;
    virtual std::span<StepValue> outputs() = 0;
    // Runs one sample from the inputs into the zeroed outputs; false with an exception set.
    virtual bool run(int64_t time_index, bool shutdown) = 0;
};

// `step(inputs=None, steps=0, time_step=0, show_progress=True)`: runs the samples of the
// inputs TimeSeries (or `steps` zero samples) through `loop` and returns the outputs as a
// TimeSeries. TypeError `inputs_message` when the inputs are neither a TimeSeries nor None.
PyObject* step_samples(PyObject* args, PyObject* kwds, const char* inputs_message, SampleLoop& loop);

}  // namespace whistle::py
