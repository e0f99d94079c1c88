#include "circuit_plan.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <queue>
#include <set>
#include <string>

#include "core/foundation/units.hpp"

namespace whistle {

namespace {

// Loops with more real unknowns than this factorise their Jacobian as a sparse matrix.
constexpr size_t kDenseLimit = 64;

template <class... Args>
[[noreturn]] void fail(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof(text), format, args...);
    throw RangeError(text);
}

bool has_nan(const Block& block) {
    return std::any_of(block.begin(), block.end(), [](double v) { return std::isnan(v); });
}

// a·b for 2×2 row-major blocks.
Block product(const Block& a, const Block& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

Block complex_block(StepValue z) { return {z.real(), -z.imag(), z.imag(), z.real()}; }

// Builds the per-instance tables and checks every index of the description.
class Checker {
public:
    explicit Checker(const CircuitDescription& circuit) : circuit_(circuit) {}

    void port(const KernelPort& p) const {
        if (p.instance >= circuit_.instances.size() || p.index >= circuit_.instances[p.instance].size)
            fail("Instance port (%zd, %zd) out of range.", as_signed(p.instance), as_signed(p.index));
    }
    void instance(size_t i) const {
        if (i >= circuit_.instances.size()) fail("Instance index %zd out of range.", as_signed(i));
    }
    void key(size_t k) const {
        if (k >= circuit_.num_keys) fail("External index %zd out of range.", as_signed(k));
    }

private:
    // Indices print as signed values, as they were given.
    static long as_signed(size_t v) { return long(v); }
    const CircuitDescription& circuit_;
};

std::vector<InstancePlan> instance_tables(const CircuitDescription& circuit, const Checker& check) {
    std::vector<InstancePlan> instances(circuit.instances.size());
    size_t port = 0;
    for (size_t i = 0; i < instances.size(); ++i) {
        const auto& given = circuit.instances[i];
        InstancePlan& plan = instances[i];
        size_t n = given.size;
        plan.size = n;
        plan.first_port = port;
        port += n;
        plan.native = given.native;
        plan.mode_factors.assign(n, 1.0);
        plan.input_delays.assign(n, 0);
        plan.output_delays.assign(n, 0);
        plan.silent.assign(n, false);
        plan.paths = given.paths;
        for (const KernelPath& path : given.paths ? *given.paths : std::vector<KernelPath>()) {
            if (path.input >= n || path.output >= n || long(path.delay) < 0)
                fail("Invalid path (%zd, %zd, %zd) for instance %zu.", long(path.input), long(path.output),
                     long(path.delay), i);
            if (path.delay == 0) plan.zero_pairs.insert({path.output, path.input});
        }
    }
    for (const auto& f : circuit.mode_factors) {
        check.port(f.port);
        instances[f.port.instance].mode_factors[f.port.index] = f.factor;
    }
    for (const auto& d : circuit.delays) {
        check.port(d.port);
        if (d.input_steps < 0 || d.output_steps < 0) fail("Delays cannot be negative.");
        instances[d.port.instance].input_delays[d.port.index] = size_t(d.input_steps);
        instances[d.port.instance].output_delays[d.port.index] = size_t(d.output_steps);
    }
    for (const auto& d : circuit.directs) {
        check.instance(d.instance);
        InstancePlan& plan = instances[d.instance];
        size_t n = plan.size;
        if (d.matrix.size() != 4 * n * n)
            fail("Direct matrix of instance %zd must have shape (%zu, %zu) or (%zu, %zu).", long(d.instance), n, n,
                 2 * n, 2 * n);
        plan.direct = d.matrix;
        for (size_t out = 0; out < plan.size; ++out)
            for (size_t in = 0; in < plan.size; ++in) {
                Block block = plan.direct_block(out, in);
                bool all_nan = std::all_of(block.begin(), block.end(), [](double v) { return std::isnan(v); });
                if (!all_nan && !plan.has_zero_path(in, out))
                    fail("Instance %zu declares a direct term from input %zu to output %zu without a zero-delay "
                         "path.",
                         d.instance, in, out);
            }
    }
    for (size_t i : circuit.stateless) {
        check.instance(i);
        instances[i].stateless = true;
    }
    return instances;
}

// Which outputs can become non-zero and through which external inputs. An output is "own" when
// it is active by itself; otherwise it follows the external inputs that reach it.
class Activity {
public:
    Activity(const CircuitDescription& circuit, const CircuitPlan& plan, const Checker& check)
        : plan_(plan), own_(plan.num_ports, true), keys_(plan.num_ports), rows_(plan.num_ports) {
        for (const auto& a : circuit.activations) {
            check.port(a.output);
            for (size_t input : a.inputs) check.port({a.output.instance, input});
            size_t g = plan.instances[a.output.instance].first_port + a.output.index;
            rows_[g] = Row{true, {}};
            for (size_t input : a.inputs)
                rows_[g].inputs.push_back(plan.instances[a.output.instance].first_port + input);
            own_[g] = false;
        }
        // Activity only grows, so this reaches the least fixed point.
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t g = 0; g < plan.num_ports; ++g) {
                if (!rows_[g].listed) continue;
                bool own = false;
                std::set<size_t> keys;
                for (size_t input : rows_[g].inputs) {
                    auto [input_own, input_keys] = incoming(input);
                    own = own || input_own;
                    keys.insert(input_keys.begin(), input_keys.end());
                }
                if (own != own_[g] || keys != keys_[g]) {
                    own_[g] = own, keys_[g] = std::move(keys);
                    changed = true;
                }
            }
        }
    }

    bool silent_output(size_t g) const { return !own_[g] && keys_[g].empty(); }

    // Activity of what enters an input port.
    std::pair<bool, std::set<size_t>> incoming(size_t g) const {
        bool own = false;
        std::set<size_t> keys(plan_.feeds[g].keys.begin(), plan_.feeds[g].keys.end());
        for (size_t out : plan_.feeds[g].outputs) {
            own = own || own_[out];
            keys.insert(keys_[out].begin(), keys_[out].end());
        }
        return {own, keys};
    }
    std::pair<bool, std::set<size_t>> outgoing(size_t g) const { return {own_[g], keys_[g]}; }

private:
    struct Row {
        bool listed = false;
        std::vector<size_t> inputs;
    };
    const CircuitPlan& plan_;
    std::vector<bool> own_;
    std::vector<std::set<size_t>> keys_;
    std::vector<Row> rows_;
};

void plan_silence(const CircuitDescription& circuit, CircuitPlan& plan, const Checker& check) {
    Activity activity(circuit, plan, check);
    for (InstancePlan& instance : plan.instances) {
        for (size_t p = 0; p < instance.size; ++p) instance.silent[p] = activity.silent_output(instance.first_port + p);
        instance.scheduled = !std::all_of(instance.silent.begin(), instance.silent.end(), [](bool s) { return s; });
    }
    std::map<size_t, std::pair<bool, std::set<size_t>>> by_key;
    for (const auto& m : plan.monitors) {
        size_t g = plan.instances[m.port.instance].first_port + m.port.index;
        auto [own, keys] = m.outgoing ? activity.outgoing(g) : activity.incoming(g);
        auto& entry = by_key[m.key];
        entry.first = entry.first || own;
        entry.second.insert(keys.begin(), keys.end());
    }
    for (const auto& [key, entry] : by_key) {
        if (entry.first) continue;
        if (entry.second.empty()) plan.silent_outputs.push_back(key);
        plan.activated_by[key] = std::vector<size_t>(entry.second.begin(), entry.second.end());
    }
}

// The zero-delay graph as adjacency lists over instances.
std::vector<std::vector<size_t>> zero_delay_graph(const CircuitDescription& circuit, const CircuitPlan& plan) {
    std::vector<std::vector<size_t>> edges(plan.instances.size());
    for (const auto& c : circuit.connections) {
        const InstancePlan& from = plan.instances[c.from.instance];
        const InstancePlan& to = plan.instances[c.to.instance];
        if (!from.scheduled || !to.scheduled || from.silent[c.from.index] || from.output_delays[c.from.index] ||
            to.input_delays[c.to.index])
            continue;
        bool reached = false;
        for (size_t in = 0; in < from.size && !reached; ++in) reached = from.has_zero_path(in, c.from.index);
        if (reached) edges[c.from.instance].push_back(c.to.instance);
    }
    return edges;
}

// Strongly connected components (iterative Tarjan); component index per instance.
std::vector<size_t> components(const std::vector<std::vector<size_t>>& edges, size_t& count) {
    const size_t n = edges.size(), unset = std::numeric_limits<size_t>::max();
    std::vector<size_t> index(n, unset), low(n, 0), component(n, unset), stack;
    std::vector<bool> on_stack(n, false);
    size_t next = 0;
    count = 0;
    for (size_t root = 0; root < n; ++root) {
        if (index[root] != unset) continue;
        std::vector<std::pair<size_t, size_t>> calls = {{root, 0}};  // (vertex, next edge)
        index[root] = low[root] = next++;
        stack.push_back(root), on_stack[root] = true;
        while (!calls.empty()) {
            auto& [v, e] = calls.back();
            if (e < edges[v].size()) {
                size_t w = edges[v][e++];
                if (index[w] == unset) {
                    index[w] = low[w] = next++;
                    stack.push_back(w), on_stack[w] = true;
                    calls.push_back({w, 0});
                } else if (on_stack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            size_t done = v;
            calls.pop_back();
            if (!calls.empty()) low[calls.back().first] = std::min(low[calls.back().first], low[done]);
            if (low[done] != index[done]) continue;
            for (size_t w = unset; w != done;) {
                w = stack.back();
                stack.pop_back(), on_stack[w] = false;
                component[w] = count;
            }
            ++count;
        }
    }
    return component;
}

using Connections = std::vector<const CircuitDescription::Connection*>;

// dy_v/dx_w summed over the loop sources of v that A, the owner of w, drives: A's direct
// block times the mode factor of w's port, or none when one of them is not known to be affine.
void add_coupling(const InstancePlan& body, size_t out, size_t in, std::optional<Block>& sum) {
    std::optional<Block> block = body.block(out, in);
    if (!block || !sum) {
        sum.reset();
        return;
    }
    Block term = product(*block, complex_block(body.mode_factors[in]));
    for (int k = 0; k < 4; ++k) (*sum)[k] += term[k];
}

// The loop's iteration variables (one per input port its zero-delay connections enter) and
// the Jacobian entries its direct terms make known.
void plan_loop(CircuitPlan& plan, size_t loop_index, const Connections& connections) {
    LoopPlan& loop = plan.loops[loop_index];
    std::map<size_t, size_t> variable_of;                  // input port -> variable
    std::map<size_t, std::vector<size_t>> instance_inputs;  // instance -> its variables
    std::vector<std::vector<KernelPort>> sources;           // per variable
    for (const auto* c : connections) {
        const InstancePlan& from = plan.instances[c->from.instance];
        const InstancePlan& to = plan.instances[c->to.instance];
        if (from.silent[c->from.index] || from.output_delays[c->from.index] || to.input_delays[c->to.index]) continue;
        size_t port = to.first_port + c->to.index;
        auto [it, added] = variable_of.try_emplace(port, loop.variables.size());
        if (added) {
            instance_inputs[c->to.instance].push_back(loop.variables.size());
            loop.variables.push_back({port, c->to.instance, c->to.index, {}});
            sources.emplace_back();
        }
        loop.variables[it->second].sources.push_back(from.first_port + c->from.index);
        sources[it->second].push_back(c->from);
        plan.torn[port] = it->second;
    }
    loop.affine = true;
    for (size_t v = 0; v < loop.variables.size(); ++v) {
        std::map<size_t, std::optional<Block>> row;  // w -> dy_v/dx_w
        for (const KernelPort& source : sources[v]) {
            const InstancePlan& body = plan.instances[source.instance];
            for (size_t w : instance_inputs[source.instance]) {
                size_t in = loop.variables[w].index;
                if (!body.has_zero_path(in, source.index)) continue;
                add_coupling(body, source.index, in, row.try_emplace(w, Block{0, 0, 0, 0}).first->second);
            }
        }
        for (const auto& [w, sum] : row) {
            loop.entries.push_back({v, w, sum});
            loop.affine = loop.affine && sum.has_value();
        }
    }
    loop.predictable = std::all_of(loop.members.begin(), loop.members.end(),
                                   [&](size_t i) { return !plan.instances[i].direct.empty(); });
    loop.use_sparse = 2 * loop.variables.size() > kDenseLimit;
    loop.solver = plan.max_iterations <= 1 ? LoopSolver::Lagged
                  : loop.affine            ? LoopSolver::Linear
                                           : LoopSolver::Newton;
}

// Preferred position of each instance among the ones free to go in any order: reverse
// postorder of all connections, delayed ones too, so that an instance reads what its sources
// emit in the current sample wherever no loop prevents it.
std::vector<size_t> preference(const CircuitDescription& circuit, size_t count) {
    std::vector<std::vector<size_t>> next(count);
    for (const auto& c : circuit.connections) next[c.from.instance].push_back(c.to.instance);
    std::vector<size_t> postorder;
    std::vector<bool> seen(count, false);
    for (size_t root = 0; root < count; ++root) {
        if (seen[root]) continue;
        std::vector<std::pair<size_t, size_t>> path = {{root, 0}};  // (instance, next successor)
        seen[root] = true;
        while (!path.empty()) {
            auto& [i, k] = path.back();
            if (k < next[i].size()) {
                size_t j = next[i][k++];
                if (!seen[j]) seen[j] = true, path.push_back({j, 0});
                continue;
            }
            postorder.push_back(i);
            path.pop_back();
        }
    }
    std::vector<size_t> rank(count);
    for (size_t k = 0; k < count; ++k) rank[postorder[k]] = count - 1 - k;
    return rank;
}

// Components in dependency order (by preference among the ready ones), then the loops and
// the schedule.
void plan_flow(const CircuitDescription& circuit, CircuitPlan& plan) {
    auto edges = zero_delay_graph(circuit, plan);
    size_t count = 0;
    std::vector<size_t> component = components(edges, count);
    std::vector<std::vector<size_t>> members(count);
    std::vector<bool> self_edge(count, false);
    std::vector<size_t> pending(count, 0);
    std::vector<std::set<size_t>> successors(count);
    std::vector<Connections> inside(count);  // connections between members of one component
    for (const auto& c : circuit.connections)
        if (component[c.from.instance] == component[c.to.instance]) inside[component[c.from.instance]].push_back(&c);
    for (size_t i = 0; i < edges.size(); ++i) {
        members[component[i]].push_back(i);
        for (size_t j : edges[i]) {
            if (component[i] == component[j]) {
                self_edge[component[i]] = self_edge[component[i]] || i == j;
            } else if (successors[component[i]].insert(component[j]).second) {
                ++pending[component[j]];
            }
        }
    }
    const std::vector<size_t> rank = preference(circuit, plan.instances.size());
    std::vector<size_t> first(count, std::numeric_limits<size_t>::max());
    for (size_t i = 0; i < rank.size(); ++i) first[component[i]] = std::min(first[component[i]], rank[i]);
    using Ready = std::pair<size_t, size_t>;  // (preferred position, component)
    std::priority_queue<Ready, std::vector<Ready>, std::greater<>> ready;
    for (size_t c = 0; c < count; ++c)
        if (pending[c] == 0) ready.push({first[c], c});
    plan.torn.assign(plan.num_ports, std::nullopt);
    while (!ready.empty()) {
        size_t c = ready.top().second;
        ready.pop();
        for (size_t next : successors[c])
            if (--pending[next] == 0) ready.push({first[next], next});
        if (members[c].size() == 1 && !self_edge[c]) {
            size_t i = members[c].front();
            if (!plan.instances[i].scheduled) continue;
            plan.units.push_back({false, i});
            plan.schedule.push_back({i, true, false});
            continue;
        }
        size_t loop_index = plan.loops.size();
        plan.loops.push_back({members[c]});
        for (size_t i : members[c]) plan.instances[i].loop = loop_index;
        plan_loop(plan, loop_index, inside[c]);
        plan.units.push_back({true, loop_index});
        const LoopPlan& loop = plan.loops.back();
        if (loop.solver != LoopSolver::Lagged)
            for (size_t i : loop.members) plan.schedule.push_back({i, false, true});
        for (size_t i : loop.members) plan.schedule.push_back({i, true, true});
    }
}

void plan_fusion(CircuitPlan& plan) {
    bool in_run = false;
    for (const FlowUnit& unit : plan.units) {
        InstancePlan* instance = unit.is_loop ? nullptr : &plan.instances[unit.index];
        bool fused = plan.fuse && instance && instance->native;
        if (!fused) {
            in_run = false;
            continue;
        }
        instance->fused = true;
        bool own_delays = instance->paths && std::any_of(instance->paths->begin(), instance->paths->end(),
                                                         [](const KernelPath& p) { return p.delay > 0; });
        const auto& direct = instance->direct;
        bool complete = !direct.empty() && std::none_of(direct.begin(), direct.end(), [](double v) { return std::isnan(v); });
        if (instance->stateless && complete && !own_delays) {
            instance->applied = true;
            plan.applied.push_back(unit.index);
        }
        auto zero = [](size_t steps) { return steps == 0; };
        instance->bare = !instance->applied && direct.empty() &&
                         std::all_of(instance->input_delays.begin(), instance->input_delays.end(), zero) &&
                         std::all_of(instance->output_delays.begin(), instance->output_delays.end(), zero) &&
                         std::none_of(instance->silent.begin(), instance->silent.end(), [](bool s) { return s; }) &&
                         std::all_of(instance->mode_factors.begin(), instance->mode_factors.end(),
                                     [](StepValue f) { return f == 1.0; });
        if (!in_run) plan.runs.emplace_back();
        plan.runs.back().push_back(unit.index);
        in_run = true;
    }
}

// Shortest summed delays from every external input to every monitored port (Dijkstra over
// input and output ports: input port g is node g, output port g is node num_ports + g).
void plan_path_delays(const CircuitDescription& circuit, CircuitPlan& plan) {
    const size_t ports = plan.num_ports;
    std::vector<std::vector<std::pair<size_t, size_t>>> edges(2 * ports);
    for (const InstancePlan& instance : plan.instances) {
        auto add = [&](size_t in, size_t out, size_t delay) {
            delay += instance.input_delays[in] + instance.output_delays[out];
            edges[instance.first_port + in].push_back({ports + instance.first_port + out, delay});
        };
        if (instance.paths) {
            for (const KernelPath& p : *instance.paths) add(p.input, p.output, p.delay);
            continue;
        }
        for (size_t in = 0; in < instance.size; ++in)
            for (size_t out = 0; out < instance.size; ++out) add(in, out, 0);
    }
    for (const auto& c : circuit.connections)
        edges[ports + plan.instances[c.from.instance].first_port + c.from.index].push_back(
            {plan.instances[c.to.instance].first_port + c.to.index, 0});
    const size_t unreached = std::numeric_limits<size_t>::max();
    std::map<size_t, std::vector<size_t>> entries;  // external input -> the input ports it feeds
    for (size_t g = 0; g < ports; ++g)
        for (size_t key : plan.feeds[g].keys) entries[key].push_back(g);
    for (const auto& [key, fed] : entries) {
        std::vector<size_t> distance(2 * ports, unreached);
        using Item = std::pair<size_t, size_t>;  // (distance, node)
        std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
        for (size_t g : fed) queue.push({distance[g] = 0, g});
        while (!queue.empty()) {
            auto [d, node] = queue.top();
            queue.pop();
            if (d > distance[node]) continue;
            for (auto [next, weight] : edges[node])
                if (d + weight < distance[next]) queue.push({distance[next] = d + weight, next});
        }
        for (const auto& m : plan.monitors) {
            size_t node = plan.instances[m.port.instance].first_port + m.port.index + (m.outgoing ? ports : 0);
            if (distance[node] == unreached) continue;
            auto [it, added] = plan.path_delays.try_emplace({key, m.key}, distance[node]);
            if (!added) it->second = std::min(it->second, distance[node]);
        }
    }
}

}  // namespace

const char* solver_name(LoopSolver solver) {
    switch (solver) {
        case LoopSolver::Lagged: return "lagged";
        case LoopSolver::Linear: return "linear";
        case LoopSolver::Newton: return "newton";
    }
    return "";
}

bool InstancePlan::has_zero_path(size_t input, size_t output) const {
    return !paths || zero_pairs.count({output, input});
}

std::optional<Block> InstancePlan::block(size_t output, size_t input) const {
    if (!has_zero_path(input, output)) return Block{0, 0, 0, 0};
    if (direct.empty()) return std::nullopt;
    Block block = direct_block(output, input);
    if (has_nan(block)) return std::nullopt;
    return block;
}

Block InstancePlan::direct_block(size_t output, size_t input) const {
    const double* row = &direct[2 * output * 2 * size + 2 * input];
    return {row[0], row[1], row[2 * size], row[2 * size + 1]};
}

std::string instance_list(const std::vector<size_t>& instances) {
    std::string text;
    for (size_t i : instances) text += (text.empty() ? "" : ", ") + std::to_string(i);
    return text;
}

CircuitPlan plan_circuit(const CircuitDescription& circuit) {
    Checker check(circuit);
    CircuitPlan plan;
    plan.num_keys = circuit.num_keys;
    plan.abs_tolerance = circuit.abs_tolerance;
    plan.rel_tolerance = circuit.rel_tolerance;
    plan.max_iterations = circuit.max_iterations;
    plan.fuse = circuit.fuse;
    plan.instances = instance_tables(circuit, check);
    for (const InstancePlan& instance : plan.instances) plan.num_ports += instance.size;
    plan.feeds.resize(plan.num_ports);
    for (const auto& c : circuit.connections) {
        check.port(c.from), check.port(c.to);
        plan.feeds[plan.instances[c.to.instance].first_port + c.to.index].outputs.push_back(
            plan.instances[c.from.instance].first_port + c.from.index);
    }
    for (const auto& e : circuit.externals) {
        check.key(e.key), check.port(e.port);
        plan.feeds[plan.instances[e.port.instance].first_port + e.port.index].keys.push_back(e.key);
    }
    for (const auto& m : circuit.monitors) check.key(m.key), check.port(m.port);
    plan.monitors = circuit.monitors;
    plan_silence(circuit, plan, check);
    plan_flow(circuit, plan);
    plan_fusion(plan);
    plan_path_delays(circuit, plan);
    plan.all_native = std::all_of(plan.instances.begin(), plan.instances.end(),
                                  [](const InstancePlan& i) { return i.native; });
    return plan;
}

}  // namespace whistle
