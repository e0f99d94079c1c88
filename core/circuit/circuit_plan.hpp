// The circuit kernel's description of a flattened circuit and the plan made from it once:
// flow order, zero-delay loops and their solvers, silent outputs, fusion and path delays.
#pragma once

#include <array>
#include <complex>
#include <string>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "time_stepper.hpp"

namespace whistle {

struct KernelPort {
    size_t instance = 0, index = 0;
};

// A declared signal path of an instance body, from an input to an output, in samples.
struct KernelPath {
    size_t input = 0, output = 0, delay = 0;
};

// A flattened circuit as the circuit stepper hands it over. Indices are checked by `plan_circuit`.
struct CircuitDescription {
    struct Instance {
        size_t size = 0;
        bool native = false;
        std::optional<std::vector<KernelPath>> paths;  // none: every pair within the sample
    };
    struct ModeFactor {
        KernelPort port;
        StepValue factor;
    };
    struct Connection {
        KernelPort from, to;
    };
    struct External {
        size_t key;
        KernelPort port;
    };
    struct Monitor {
        size_t key;
        KernelPort port;
        bool outgoing;
    };
    struct Delay {
        KernelPort port;
        int64_t input_steps, output_steps;
    };
    // Real (2n, 2n) matrix in interleaved real and imaginary coordinates, row major; NaN
    // marks an input-output pair that is not affine.
    struct Direct {
        size_t instance;
        std::vector<double> matrix;
    };
    struct Activation {
        KernelPort output;
        std::vector<size_t> inputs;
    };

    std::vector<Instance> instances;
    std::vector<ModeFactor> mode_factors;
    std::vector<Connection> connections;
    std::vector<External> externals;
    std::vector<Monitor> monitors;
    size_t num_keys = 0;
    double abs_tolerance = 0, rel_tolerance = 0;
    int64_t max_iterations = 1;
    std::vector<Delay> delays;
    std::vector<Direct> directs;
    std::vector<Activation> activations;
    std::vector<size_t> stateless;
    bool fuse = true;
};

enum class LoopSolver { Lagged, Linear, Newton };
const char* solver_name(LoopSolver solver);

// A real 2×2 block of a Jacobian: d(out re, out im)/d(in re, in im), row major.
using Block = std::array<double, 4>;

struct InstancePlan {
    size_t size = 0;
    size_t first_port = 0;  // global index of port 0 (ports are numbered instance by instance)
    bool native = false;
    std::vector<StepValue> mode_factors;                   // per port
    std::vector<size_t> input_delays, output_delays;       // per port, in samples
    std::optional<std::vector<KernelPath>> paths;          // none: every pair within the sample
    std::set<std::pair<size_t, size_t>> zero_pairs;        // (output, input) of declared zero-delay paths
    std::vector<bool> silent;                              // per output: always zero
    std::vector<double> direct;                            // (2n)² or empty
    bool stateless = false;
    bool applied = false;  // stepped as its direct term, in place
    bool fused = false;
    // Fused with nothing between its ports and its body (no delay lines, unit mode factors,
    // nothing silent, no direct term to check): called on the kernel's port arrays directly.
    bool bare = false;
    bool scheduled = true;  // false when every output is silent
    std::optional<size_t> loop;

    bool has_zero_path(size_t input, size_t output) const;
    // The affine block of a pair, or none when the body is not known to be affine there.
    std::optional<Block> block(size_t output, size_t input) const;
    // The pair's entries of the direct matrix as given (NaN where not affine).
    Block direct_block(size_t output, size_t input) const;
};

// What enters an input port: the sum of connected outputs and external inputs.
struct PortFeed {
    std::vector<size_t> outputs;  // global output ports
    std::vector<size_t> keys;     // external inputs
};

// One iteration variable of a loop: the sum of the loop outputs entering an input port.
struct LoopVariable {
    size_t port;                       // global input port
    size_t instance, index;            // the same port by instance
    std::vector<size_t> sources;       // global output ports of loop members
};

// A known or unknown Jacobian entry dy_row/dx_column of a loop (variables, not coordinates).
struct JacobianEntry {
    size_t row, column;
    std::optional<Block> value;  // none: found by central differences
};

struct LoopPlan {
    std::vector<size_t> members;  // in calling order
    LoopSolver solver = LoopSolver::Lagged;
    std::vector<LoopVariable> variables;
    std::vector<JacobianEntry> entries;
    bool affine = false;       // every entry known
    bool predictable = false;  // every member has a direct term
    bool use_sparse = false;
};

struct ScheduleEntry {
    size_t instance;
    bool commits;
    bool in_loop;
};

// A step of the per-sample walk: an instance outside loops, or a whole loop.
struct FlowUnit {
    bool is_loop;
    size_t index;  // instance or loop
};

struct CircuitPlan {
    std::vector<InstancePlan> instances;
    std::vector<PortFeed> feeds;               // per global port (inputs)
    std::vector<std::optional<size_t>> torn;   // per global input port: its loop variable
    std::vector<CircuitDescription::Monitor> monitors;
    std::vector<FlowUnit> units;
    std::vector<LoopPlan> loops;
    std::vector<ScheduleEntry> schedule;
    std::vector<std::vector<size_t>> runs;
    std::vector<size_t> applied;
    std::map<std::pair<size_t, size_t>, size_t> path_delays;
    std::vector<size_t> silent_outputs;
    std::map<size_t, std::vector<size_t>> activated_by;
    size_t num_keys = 0, num_ports = 0;
    double abs_tolerance = 0, rel_tolerance = 0;
    int64_t max_iterations = 1;
    bool fuse = true;
    bool all_native = false;
};

// Checks the description and plans it; RangeError with the message of the first fault.
CircuitPlan plan_circuit(const CircuitDescription& circuit);

// "1, 2, 3": loop members as messages list them.
std::string instance_list(const std::vector<size_t>& instances);

}  // namespace whistle
