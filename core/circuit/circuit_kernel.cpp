#include "circuit_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"

namespace whistle {

namespace {

// Relative size of a central-difference step.
constexpr double kDifferenceStep = 1e-5;
// Committed outputs closer than this (relative) to the prediction count as consistent.
constexpr double kConsistencyTolerance = 1e-9;

// The identity less the known blocks dy/dx of a loop: the Jacobian of r = x - y(x) in real
// coordinates (variable v occupies rows and columns 2v and 2v + 1).
std::vector<LinearSystem::Entry> known_jacobian(const LoopPlan& loop) {
    std::vector<LinearSystem::Entry> entries;
    for (size_t k = 0; k < 2 * loop.variables.size(); ++k) entries.push_back({k, k, 1.0});
    for (const JacobianEntry& e : loop.entries)
        if (e.value)
            for (size_t r = 0; r < 2; ++r)
                for (size_t c = 0; c < 2; ++c)
                    entries.push_back({2 * e.row + r, 2 * e.column + c, -(*e.value)[2 * r + c]});
    return entries;
}

// The residual r = x - y in real coordinates, negated: the right-hand side of J·dx = -r.
std::vector<double> negated_residual(const std::vector<StepValue>& x, const std::vector<StepValue>& y) {
    std::vector<double> b;
    for (size_t k = 0; k < x.size(); ++k) {
        StepValue r = y[k] - x[k];
        b.push_back(r.real()), b.push_back(r.imag());
    }
    return b;
}

// A 2×2 real block applied to a complex value as a pair of reals.
StepValue times(const Block& block, StepValue z) {
    return {block[0] * z.real() + block[1] * z.imag(), block[2] * z.real() + block[3] * z.imag()};
}

}  // namespace

CircuitKernel::CircuitKernel(CircuitPlan plan, std::vector<std::unique_ptr<InstanceBody>> bodies)
    : plan_(std::move(plan)), bodies_(std::move(bodies)), linear_(plan_.loops.size()),
      monitored_(plan_.monitors.size()) {
    for (const InstancePlan& instance : plan_.instances) {
        InstanceState state{DelayLines(instance.input_delays), DelayLines(instance.output_delays)};
        state.inputs.resize(instance.size), state.outputs.resize(instance.size);
        states_.push_back(std::move(state));
    }
    for (size_t k = 0; k < plan_.loops.size(); ++k) {
        const LoopPlan& loop = plan_.loops[k];
        if (loop.solver != LoopSolver::Linear) continue;
        if (!linear_[k].factorize(2 * loop.variables.size(), known_jacobian(loop), loop.use_sparse)) {
            std::string text = "Zero-delay loop through instances " + instance_list(loop.members) +
                               " has unit gain and no solution.";
            throw RangeError(text.c_str());
        }
    }
    reset();
}

void CircuitKernel::reset() {
    in_.assign(plan_.num_ports, 0.0);
    out_.assign(plan_.num_ports, 0.0);
    committed_out_.assign(plan_.num_ports, 0.0);
    carried_.assign(plan_.num_ports, 0.0);
    for (InstanceState& state : states_) state.input_lines.clear(), state.output_lines.clear();
    evaluations_ = 0;
    unconverged_.reset();
    inconsistent_.reset();
}

void CircuitKernel::step(const StepValue* inputs, StepValue* outputs, int64_t time_index, bool update_state,
                         bool shutdown) {
    inputs_ = inputs, time_index_ = time_index, update_state_ = update_state, shutdown_ = shutdown;
    failure_.reset();
    out_ = committed_out_;
    // Output lines emit what entered them earlier, so readers called before their source see
    // this sample's value.
    for (size_t i = 0; i < states_.size(); ++i) {
        states_[i].probed = false;
        const InstancePlan& instance = plan_.instances[i];
        for (size_t p = 0; p < instance.size; ++p)
            if (instance.output_delays[p]) out_[instance.first_port + p] = states_[i].output_lines.delayed(p, 0.0);
    }
    for (const FlowUnit& unit : plan_.units) {
        if (unit.is_loop) {
            solve_loop(unit.index);
        } else {
            gather(unit.index, nullptr);
            call(unit.index, true);
        }
    }
    // Read every monitored value before writing: `outputs` may be the inputs array.
    for (size_t k = 0; k < plan_.monitors.size(); ++k) {
        const auto& m = plan_.monitors[k];
        size_t g = plan_.instances[m.port.instance].first_port + m.port.index;
        if (!m.outgoing) gather(m.port.instance, nullptr);  // every source has its final value now
        monitored_[k] = m.outgoing ? out_[g] : in_[g];
    }
    std::fill(outputs, outputs + plan_.num_keys, StepValue());
    for (size_t k = 0; k < plan_.monitors.size(); ++k) outputs[plan_.monitors[k].key] += monitored_[k];
    if (update_state) committed_out_ = out_;
}

// What enters the instance's ports; with loop values, the variables replace the loop inflow.
void CircuitKernel::gather(size_t index, const Values* loop_values) {
    const InstancePlan& instance = plan_.instances[index];
    for (size_t g = instance.first_port; g < instance.first_port + instance.size; ++g) {
        const std::optional<size_t> torn = loop_values ? plan_.torn[g] : std::nullopt;
        const std::vector<size_t>* loop_sources =
            torn ? &plan_.loops[*instance.loop].variables[*torn].sources : nullptr;
        StepValue sum = torn ? (*loop_values)[*torn] : StepValue();
        for (size_t source : plan_.feeds[g].outputs)
            if (!loop_sources || std::find(loop_sources->begin(), loop_sources->end(), source) == loop_sources->end())
                sum += out_[source];
        for (size_t key : plan_.feeds[g].keys) sum += inputs_[key];
        in_[g] = sum;
    }
}

// One body evaluation on the gathered inputs. Only a committing call of a committing sample
// advances delay lines and lets the body update its state.
void CircuitKernel::call(size_t index, bool commits) {
    const InstancePlan& instance = plan_.instances[index];
    InstanceState& state = states_[index];
    const bool advance = commits && update_state_;
    const size_t first = instance.first_port;
    if (instance.bare) {
        run_body(index, in_.data() + first, out_.data() + first, advance, commits && shutdown_);
        ++evaluations_;
        return;
    }
    std::copy(in_.begin() + long(first), in_.begin() + long(first + instance.size), state.inputs.begin());
    if (advance) state.input_lines.apply(state.inputs);
    for (size_t q = 0; q < instance.size; ++q) {
        StepValue value = advance ? state.inputs[q] : state.input_lines.delayed(q, state.inputs[q]);
        state.inputs[q] = value * instance.mode_factors[q];
    }
    if (instance.applied) {
        apply_direct(instance, state);
    } else {
        run_body(index, state.inputs.data(), state.outputs.data(), advance, commits && shutdown_);
    }
    ++evaluations_;
    if (commits) {
        check_consistency(index);
    } else {
        state.probe_inputs = state.inputs, state.probe_outputs = state.outputs;
        state.probed = true;
    }
    for (size_t p = 0; p < instance.size; ++p)
        if (instance.silent[p]) state.outputs[p] = 0.0;
    std::span<StepValue> emitted(out_.data() + first, instance.size);
    std::copy(state.outputs.begin(), state.outputs.end(), emitted.begin());
    if (advance) {
        state.output_lines.apply(emitted);
    } else {
        for (size_t p = 0; p < instance.size; ++p) emitted[p] = state.output_lines.delayed(p, emitted[p]);
    }
}

void CircuitKernel::run_body(size_t index, const StepValue* inputs, StepValue* outputs, bool update_state,
                             bool shutdown) {
    int64_t code = bodies_[index]->step(inputs, outputs, time_index_, update_state, shutdown);
    if (code == 0) return;
    failure_ = Failure{index, code};
    char text[128];
    std::snprintf(text, sizeof(text), "Native step of instance %zu failed with code %lld.", index, (long long)code);
    throw KernelFailure(text, code);
}

void CircuitKernel::apply_direct(const InstancePlan& instance, InstanceState& state) const {
    for (size_t p = 0; p < instance.size; ++p) {
        state.outputs[p] = 0.0;
        for (size_t q = 0; q < instance.size; ++q) state.outputs[p] += times(instance.direct_block(p, q), state.inputs[q]);
    }
}

// Compares a committing call with what the direct term predicts from the latest evaluation of
// the same sample (or from zero for a stateless body).
void CircuitKernel::check_consistency(size_t index) {
    const InstancePlan& instance = plan_.instances[index];
    const InstanceState& state = states_[index];
    if (inconsistent_ || instance.direct.empty() || instance.applied || (!state.probed && !instance.stateless)) return;
    for (size_t p = 0; p < instance.size; ++p) {
        StepValue predicted = state.probed ? state.probe_outputs[p] : StepValue();
        bool known = true;
        for (size_t q = 0; q < instance.size && known; ++q) {
            StepValue change = state.inputs[q] - (state.probed ? state.probe_inputs[q] : StepValue());
            if (change == StepValue()) continue;
            std::optional<Block> block = instance.block(p, q);
            known = block.has_value();
            if (known) predicted += times(*block, change);
        }
        double scale = std::max(std::abs(predicted), std::abs(state.outputs[p]));
        double limit = std::max({plan_.abs_tolerance, plan_.rel_tolerance * scale, kConsistencyTolerance * scale});
        if (known && std::abs(predicted - state.outputs[p]) > limit) {
            inconsistent_ = index;
            return;
        }
    }
}

CircuitKernel::Values CircuitKernel::loop_outputs(const LoopPlan& loop) const {
    Values y(loop.variables.size());
    for (size_t v = 0; v < y.size(); ++v)
        for (size_t source : loop.variables[v].sources) y[v] += out_[source];
    return y;
}

CircuitKernel::Values CircuitKernel::evaluate_loop(const LoopPlan& loop, const Values& x) {
    for (size_t i : loop.members) gather(i, &x);
    for (size_t i : loop.members) call(i, false);
    return loop_outputs(loop);
}

bool CircuitKernel::converged(const Values& x, const Values& y) const {
    for (size_t k = 0; k < x.size(); ++k) {
        double r = std::abs(x[k] - y[k]);
        if (r > plan_.abs_tolerance && r > plan_.rel_tolerance * std::max(std::abs(x[k]), std::abs(y[k]))) return false;
    }
    return true;
}

// Lagged loops step once on the values carried from the previous sample; the others solve for
// their variables first. All end with one committing pass.
void CircuitKernel::solve_loop(size_t index) {
    const LoopPlan& loop = plan_.loops[index];
    Values x(loop.variables.size());
    for (size_t v = 0; v < x.size(); ++v) x[v] = carried_[loop.variables[v].port];
    if (loop.solver != LoopSolver::Lagged) {
        for (int64_t updates = 0;; ++updates) {
            Values y = evaluate_loop(loop, x);
            if (converged(x, y)) break;
            if (loop.solver == LoopSolver::Linear) {
                linear_update(index, x, y);
                break;
            }
            if (updates == plan_.max_iterations) {
                if (!unconverged_) unconverged_ = loop.members;
                break;
            }
            newton_update(index, x, y);
        }
    }
    for (size_t i : loop.members) gather(i, &x);
    for (size_t i : loop.members) call(i, true);
    if (!update_state_) return;
    Values y = loop_outputs(loop);
    for (size_t v = 0; v < y.size(); ++v) carried_[loop.variables[v].port] = y[v];
}

void CircuitKernel::linear_update(size_t index, Values& x, const Values& y) const {
    std::vector<double> b = negated_residual(x, y);
    linear_[index].solve(b);
    for (size_t k = 0; k < x.size(); ++k) x[k] += StepValue(b[2 * k], b[2 * k + 1]);
}

void CircuitKernel::newton_update(size_t index, Values& x, const Values& y) {
    const LoopPlan& loop = plan_.loops[index];
    std::vector<LinearSystem::Entry> matrix = known_jacobian(loop);
    fill_differences(loop, x, matrix);
    std::vector<double> b = negated_residual(x, y);
    // A non-finite residual or slope makes a non-finite update.
    bool finite = std::all_of(b.begin(), b.end(), [](double v) { return std::isfinite(v); }) &&
                  std::all_of(matrix.begin(), matrix.end(), [](const auto& e) { return std::isfinite(e.value); });
    if (!finite) solver_failure(loop, "is not finite", kNotFinite);
    LinearSystem system;
    if (!system.factorize(2 * x.size(), matrix, loop.use_sparse))
        solver_failure(loop, "has a singular jacobian", kSingular);
    system.solve(b);
    if (!std::all_of(b.begin(), b.end(), [](double v) { return std::isfinite(v); }))
        solver_failure(loop, "is not finite", kNotFinite);
    for (size_t k = 0; k < x.size(); ++k) x[k] += StepValue(b[2 * k], b[2 * k + 1]);
}

// Central differences for the Jacobian columns with unknown entries: only the variable's own
// instance is evaluated again, and its outputs are restored afterwards.
void CircuitKernel::fill_differences(const LoopPlan& loop, const Values& x, std::vector<LinearSystem::Entry>& matrix) {
    std::map<size_t, std::vector<size_t>> unknown;  // column -> rows
    for (const JacobianEntry& e : loop.entries)
        if (!e.value) unknown[e.column].push_back(e.row);
    for (const auto& [w, rows] : unknown) {
        const size_t port = loop.variables[w].port;
        const size_t owner = loop.variables[w].instance;
        const InstancePlan& instance = plan_.instances[owner];
        gather(owner, &x);
        const StepValue base = in_[port];
        const auto emitted = out_.begin() + long(instance.first_port);
        const Values saved(emitted, emitted + long(instance.size));
        const double h = kDifferenceStep * std::max(std::abs(x[w]), 1.0);
        for (size_t c = 0; c < 2; ++c) {
            const StepValue step = c == 0 ? StepValue(h, 0) : StepValue(0, h);
            in_[port] = base + step;
            call(owner, false);
            Values plus = loop_outputs(loop);
            in_[port] = base - step;
            call(owner, false);
            Values minus = loop_outputs(loop);
            for (size_t v : rows) {
                StepValue slope = (plus[v] - minus[v]) / (2 * h);
                matrix.push_back({2 * v, 2 * w + c, -slope.real()});
                matrix.push_back({2 * v + 1, 2 * w + c, -slope.imag()});
            }
        }
        in_[port] = base;
        std::copy(saved.begin(), saved.end(), emitted);
    }
}

void CircuitKernel::solver_failure(const LoopPlan& loop, const char* what, int64_t code) {
    failure_ = Failure{std::nullopt, code};
    failure_message_ = "Newton update of the zero-delay loop through instances " + instance_list(loop.members) + " " +
                       what + ".";
    throw KernelFailure(failure_message_, code);
}

NativeStepFunction CircuitKernel::native_function() {
    return [](const StepValue* inputs, StepValue* outputs, int64_t time_index, bool update_state, bool shutdown,
              void* context, double*, StepValue*) -> int64_t {
        try {
            static_cast<CircuitKernel*>(context)->step(inputs, outputs, time_index, update_state, shutdown);
            return 0;
        } catch (const KernelFailure& failure) {
            return failure.code();
        } catch (...) {
            return kInternal;
        }
    };
}

}  // namespace whistle
