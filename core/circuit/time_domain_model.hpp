// `TimeDomainModel`: a pole-residue matrix stepped in time by recursive convolution with
// piecewise-linear inputs, each signal path delayed by whole and fractional time steps.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "core/circuit/pole_residue.hpp"
#include "core/circuit/time_stepper.hpp"

namespace whistle {

class TimeDomainModel final : public Cloneable<TimeDomainModel, BaseType> {
public:
    // One residue element of the matrix, from key `input` to key `output`.
    struct Path {
        size_t input = 0, output = 0;
        size_t whole_steps = 0;  // whole part of the delay
        double fraction = 0;     // fractional part of the delay, in time steps
        // Output = Σ weights[j] · (path value `first_back + j` steps back).
        std::array<double, 4> weights{1, 0, 0, 0};
        size_t first_back = 0;
        bool delayed() const { return whole_steps > 0 || fraction > 0; }
        bool operator==(const Path&) const = default;
    };

    // A time step of 0 leaves the model unset; RangeError for a negative one.
    TimeDomainModel(std::shared_ptr<PoleResidueMatrix> matrix, double time_step);

    const std::shared_ptr<PoleResidueMatrix>& pole_residue_matrix() const { return matrix_; }
    double time_step() const { return time_step_; }
    // Rebuilds every table for the new step and resets the state; RangeError unless positive.
    void set_time_step(double time_step);
    bool ready() const { return time_step_ > 0; }

    // The inputs and outputs share these keys: the residue keys' names, ordered by port name
    // and then by mode index (names without a mode index sort by name).
    const std::vector<std::string>& keys() const { return keys_; }
    // One per residue element whose names are keys, in the matrix's key order; empty until set.
    const std::vector<Path>& paths() const { return s_.paths; }
    // Constant terms of the zero-delay paths, [output][input] row-major over the keys.
    const ComplexVector& direct_matrix() const { return s_.direct; }
    // True when the outputs are the direct term alone: no poles and no delays.
    bool stateless() const;

    // Advances one step: reads one input per key and overwrites one output per key. Without
    // `update_state` the model is left unchanged. Requires ready(); allocates nothing.
    void step(const StepValue* inputs, StepValue* outputs, bool update_state);
    // Zero states, previous inputs, started flags, delay lines and outputs.
    void reset();

    // Recursive-convolution states, one row of poles per key.
    const ComplexVector& state() const { return s_.state; }
    const ComplexVector& output() const { return s_.output; }

    // Everything that stepping changes, so that a stored model resumes where it stopped.
    struct RunState {
        ComplexVector state, previous_input, output, delay_lines;
        std::vector<char> started;
        size_t delay_position = 0;
    };
    RunState run_state() const;
    // Throws std::invalid_argument unless the sizes fit the tables of the current time step.
    void restore(RunState run);
    // The message of the last failed compiled-step call; null when none failed.
    const char* native_error = nullptr;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    // Everything built when the time step is set: coefficients, paths and the state they run.
    struct Stepping {
        // Discretisation per pole: x ← a·x + b·u + c·u'.
        ComplexVector a, b, c;
        std::vector<Path> paths;
        ComplexVector path_residues;  // poles + 1 per path
        ComplexVector direct;
        size_t history = 0;           // ring buffer length shared by the delayed paths
        ComplexVector state, previous_input, output;
        std::vector<char> started;
        ComplexVector rings;          // `history` values per path
        size_t ring_position = 0;     // slot of the next value
        bool operator==(const Stepping&) const = default;
    };

    Stepping build(double time_step) const;
    // Advances the states `x` (one per pole) of one input with its started flag.
    void advance(size_t input, StepValue u, StepValue* x, char& started) const;
    // The value of a delayed path: its weighted recent values, `value` being the newest.
    StepValue delayed_value(size_t index, StepValue value) const;

    std::shared_ptr<PoleResidueMatrix> matrix_;
    double time_step_ = 0;
    std::vector<std::string> keys_;
    Stepping s_;
    // Scratch copies for steps that must leave the model unchanged.
    ComplexVector scratch_state_;
    std::vector<char> scratch_started_;
};

// The compiled step of a model: `context` is the TimeDomainModel. Returns 1 (with the model's
// native_error set) when its time step is not set.
int64_t time_domain_model_step(const StepValue* inputs, StepValue* outputs, int64_t time_index,
                               bool update_state, bool shutdown, void* context, double* state,
                               StepValue* cstate);

}  // namespace whistle
