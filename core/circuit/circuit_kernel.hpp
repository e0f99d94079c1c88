// `_CircuitKernel`: steps a planned circuit of instance bodies one sample at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "circuit_plan.hpp"
#include "loop_solver.hpp"

namespace whistle {

// The body of one instance: steps `size` values per call.
class InstanceBody {
public:
    virtual ~InstanceBody() = default;
    // Returns 0, or the failure code of a compiled body; interpreter failures throw
    // InterpreterError with the exception left pending.
    virtual int64_t step(const StepValue* inputs, StepValue* outputs, int64_t time_index, bool update_state,
                         bool shutdown) = 0;
};

// A compiled body called through its function pointer.
class NativeBody : public InstanceBody {
public:
    NativeBody(NativeStepFunction function, void* context, double* state, StepValue* cstate)
        : function_(function), context_(context), state_(state), cstate_(cstate) {}
    int64_t step(const StepValue* inputs, StepValue* outputs, int64_t time_index, bool update_state,
                 bool shutdown) override {
        return function_(inputs, outputs, time_index, update_state, shutdown, context_, state_, cstate_);
    }

private:
    NativeStepFunction function_;
    void* context_;
    double* state_;
    StepValue* cstate_;
};

// A sample that stopped: a failing compiled body or a loop solver failure.
class KernelFailure : public std::runtime_error {
public:
    KernelFailure(const std::string& message, int64_t code) : std::runtime_error(message), code_(code) {}
    int64_t code() const { return code_; }

private:
    int64_t code_;
};

class CircuitKernel {
public:
    struct Failure {
        std::optional<size_t> instance;  // none for a solver failure
        int64_t code;
    };
    // Failure codes of the solver, and of the whole-circuit step when a sample fails otherwise.
    static constexpr int64_t kSingular = -1, kNotFinite = -2, kInternal = -3;

    // RangeError when a linear loop has no solution.
    CircuitKernel(CircuitPlan plan, std::vector<std::unique_ptr<InstanceBody>> bodies);

    // Steps one sample: `inputs` and `outputs` hold plan().num_keys values. Throws KernelFailure
    // for a failed sample and InterpreterError when a body raised.
    void step(const StepValue* inputs, StepValue* outputs, int64_t time_index, bool update_state, bool shutdown);
    void reset();

    const CircuitPlan& plan() const { return plan_; }
    uint64_t evaluations() const { return evaluations_; }
    const std::optional<std::vector<size_t>>& unconverged() const { return unconverged_; }
    const std::optional<Failure>& failure() const { return failure_; }
    const std::string& failure_message() const { return failure_message_; }
    std::optional<size_t> inconsistent() const { return inconsistent_; }
    const std::vector<std::unique_ptr<InstanceBody>>& bodies() const { return bodies_; }

    // The circuit as one compiled step (context: the kernel); meaningful when every body is
    // compiled. Returns the failure code of a failed sample.
    static NativeStepFunction native_function();

private:
    struct InstanceState {
        DelayLines input_lines, output_lines;
        std::vector<StepValue> inputs, outputs;              // body arrays of the latest call
        std::vector<StepValue> probe_inputs, probe_outputs;  // latest call that did not commit
        bool probed = false;
    };
    using Values = std::vector<StepValue>;

    void gather(size_t instance, const Values* loop_values);
    void call(size_t instance, bool commits);
    // KernelFailure for a non-zero return code.
    void run_body(size_t instance, const StepValue* inputs, StepValue* outputs, bool update_state, bool shutdown);
    void apply_direct(const InstancePlan& instance, InstanceState& state) const;
    void check_consistency(size_t instance);
    // The value the loop produces for each of its variables.
    Values loop_outputs(const LoopPlan& loop) const;
    Values evaluate_loop(const LoopPlan& loop, const Values& x);
    void solve_loop(size_t index);
    // Newton update of x; KernelFailure when the Jacobian is singular or the update not finite.
    void newton_update(size_t index, Values& x, const Values& y);
    void linear_update(size_t index, Values& x, const Values& y) const;
    void fill_differences(const LoopPlan& loop, const Values& x, std::vector<LinearSystem::Entry>& matrix);
    [[noreturn]] void solver_failure(const LoopPlan& loop, const char* what, int64_t code);
    bool converged(const Values& x, const Values& y) const;

    CircuitPlan plan_;
    std::vector<std::unique_ptr<InstanceBody>> bodies_;
    std::vector<InstanceState> states_;
    std::vector<LinearSystem> linear_;  // per loop: the factorised linear update (linear loops)
    Values in_, out_, committed_out_;   // per global port
    Values carried_;                    // per global input port: committed loop inflow
    Values monitored_;                  // per monitor, before it is written out
    // The sample being stepped.
    const StepValue* inputs_ = nullptr;
    int64_t time_index_ = 0;
    bool update_state_ = false, shutdown_ = false;

    uint64_t evaluations_ = 0;
    std::optional<std::vector<size_t>> unconverged_;
    std::optional<Failure> failure_;
    std::string failure_message_;
    std::optional<size_t> inconsistent_;
};

}  // namespace whistle
