#include "time_domain_model.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <tuple>
#include <type_traits>

#include "core/foundation/text.hpp"
#include "core/foundation/units.hpp"

namespace whistle {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Port name, then mode index (names without one first among their port).
std::tuple<std::string, size_t> key_order(const std::string& name) {
    std::optional<PortModeName> split = split_port_mode(name);
    return split ? std::tuple(split->port, split->mode + 1) : std::tuple(name, size_t(0));
}

std::vector<std::string> model_keys(const PoleResidueMatrix& matrix) {
    std::set<std::string> names;
    for (const auto& entry : matrix.residues()) names.insert({entry.first.first, entry.first.second});
    std::vector<std::string> keys(names.begin(), names.end());
    std::stable_sort(keys.begin(), keys.end(),
                     [](const std::string& a, const std::string& b) { return key_order(a) < key_order(b); });
    return keys;
}

size_t key_index(const std::vector<std::string>& keys, const std::string& name) {
    return size_t(std::find(keys.begin(), keys.end(), name) - keys.begin());
}

// Splits a delay into whole steps and a fraction and sets the interpolation weights; returns
// the number of past values the path needs.
size_t split_delay(double delay, double time_step, TimeDomainModel::Path& path) {
    const double x = delay / time_step;
    // Larger delays could not be held as ring buffers anyway.
    if (!(x < 9007199254740992.0)) throw std::bad_alloc();
    const double n = std::round(x);
    if (std::fabs(x - n) <= 1e-9 * std::max(n, 1.0)) {
        path.whole_steps = n > 0 ? size_t(n) : 0;
        path.first_back = path.whole_steps;
        return path.whole_steps;
    }
    if (!(x > 0)) return 0;
    const double m = std::floor(x), phi = x - m;
    path.whole_steps = size_t(m);
    path.fraction = phi;
    if (path.whole_steps == 0) {
        path.weights = {1 - phi, phi, 0, 0};
        return 1;
    }
    // Third-order Lagrange interpolation over the values m - 1 .. m + 2 steps back.
    const double d = 1 + phi;
    path.weights = {-(d - 1) * (d - 2) * (d - 3) / 6, d * (d - 2) * (d - 3) / 2, -d * (d - 1) * (d - 3) / 2,
                    d * (d - 1) * (d - 2) / 6};
    path.first_back = path.whole_steps - 1;
    return path.whole_steps + 2;
}

}  // namespace

TimeDomainModel::TimeDomainModel(std::shared_ptr<PoleResidueMatrix> matrix, double time_step)
    : Cloneable(TypeCode::TimeDomainModel), matrix_(std::move(matrix)) {
    if (!matrix_) throw std::invalid_argument("A time-domain model needs a pole-residue matrix.");
    if (time_step < 0) throw RangeError("Cannot have negative 'time_step'.");
    keys_ = model_keys(*matrix_);
    if (time_step > 0) set_time_step(time_step);
}

void TimeDomainModel::set_time_step(double time_step) {
    if (time_step < 0) throw RangeError("Cannot have negative 'time_step'.");
    if (!(time_step > 0)) throw RangeError("Time-stepping requires setting 'time_step' non zero.");
    Stepping built = build(time_step);
    ComplexVector scratch_state(built.state.size());
    std::vector<char> scratch_started(built.started.size());
    s_ = std::move(built);
    scratch_state_ = std::move(scratch_state);
    scratch_started_ = std::move(scratch_started);
    time_step_ = time_step;
}

TimeDomainModel::Stepping TimeDomainModel::build(double time_step) const {
    Stepping s;
    const ComplexVector& poles = matrix_->poles();
    const size_t n = poles.size(), k = keys_.size();
    const double kappa = kTwoPi * time_step / matrix_->frequency_scaling();
    for (const Complex& p : poles) {
        const Complex q = kappa * p, a = std::exp(q);
        s.a.push_back(a);
        // A pole at zero integrates: both weights tend to κ/2.
        s.b.push_back(p == 0.0 ? Complex(kappa / 2) : (a - 1.0 - q) / (q * p));
        s.c.push_back(p == 0.0 ? Complex(kappa / 2) : ((q - 1.0) * a + 1.0) / (q * p));
    }
    s.direct.assign(k * k, 0.0);
    for (const auto& [key, residues] : matrix_->residues()) {
        Path path;
        path.input = key_index(keys_, key.first);
        path.output = key_index(keys_, key.second);
        auto delay = matrix_->delays().find(key);
        size_t needed = delay == matrix_->delays().end() ? 0 : split_delay(delay->second, time_step, path);
        s.history = std::max(s.history, needed);
        if (!path.delayed()) s.direct[path.output * k + path.input] = residues.back();
        s.paths.push_back(path);
        s.path_residues.insert(s.path_residues.end(), residues.begin(), residues.end());
    }
    s.state.assign(k * n, 0.0);
    s.previous_input.assign(k, 0.0);
    s.output.assign(k, 0.0);
    s.started.assign(k, 0);
    if (s.history > 0 && s.paths.size() > s.rings.max_size() / s.history) throw std::bad_alloc();
    s.rings.assign(s.paths.size() * s.history, 0.0);
    return s;
}

bool TimeDomainModel::stateless() const {
    if (!matrix_->poles().empty()) return false;
    if (ready()) return std::none_of(s_.paths.begin(), s_.paths.end(), [](const Path& p) { return p.delayed(); });
    return std::all_of(matrix_->delays().begin(), matrix_->delays().end(),
                       [](const auto& entry) { return entry.second == 0; });
}

void TimeDomainModel::advance(size_t input, StepValue u, StepValue* x, char& started) const {
    if (!started) {
        // States stay exactly zero until the first non-zero input.
        if (u == 0.0) return;
        started = 1;
    }
    const StepValue previous = s_.previous_input[input];
    for (size_t n = 0; n < s_.a.size(); ++n) x[n] = s_.a[n] * x[n] + s_.b[n] * u + s_.c[n] * previous;
}

StepValue TimeDomainModel::delayed_value(size_t index, StepValue value) const {
    const Path& path = s_.paths[index];
    const StepValue* ring = s_.rings.data() + index * s_.history;
    StepValue result = 0;
    for (size_t j = 0; j < path.weights.size(); ++j) {
        if (path.weights[j] == 0) continue;
        const size_t back = path.first_back + j;
        result += path.weights[j] * (back == 0 ? value : ring[(s_.ring_position + s_.history - back) % s_.history]);
    }
    return result;
}

void TimeDomainModel::step(const StepValue* inputs, StepValue* outputs, bool update_state) {
    const size_t k = keys_.size(), n = s_.a.size();
    StepValue* x = s_.state.data();
    char* started = s_.started.data();
    if (!update_state) {
        std::copy(s_.state.begin(), s_.state.end(), scratch_state_.begin());
        std::copy(s_.started.begin(), s_.started.end(), scratch_started_.begin());
        x = scratch_state_.data();
        started = scratch_started_.data();
    }
    for (size_t i = 0; i < k; ++i) advance(i, inputs[i], x + i * n, started[i]);
    std::fill(outputs, outputs + k, StepValue());
    for (size_t p = 0; p < s_.paths.size(); ++p) {
        const Path& path = s_.paths[p];
        const StepValue* r = s_.path_residues.data() + p * (n + 1);
        const StepValue* xi = x + path.input * n;
        StepValue value = r[n] * inputs[path.input];
        for (size_t j = 0; j < n; ++j) value += r[j] * xi[j];
        if (!path.delayed()) {
            outputs[path.output] += value;
            continue;
        }
        outputs[path.output] += delayed_value(p, value);
        if (update_state) s_.rings[p * s_.history + s_.ring_position] = value;
    }
    if (!update_state) return;
    if (s_.history > 0) s_.ring_position = (s_.ring_position + 1) % s_.history;
    std::copy(inputs, inputs + k, s_.previous_input.begin());
    std::copy(outputs, outputs + k, s_.output.begin());
}

void TimeDomainModel::reset() {
    for (ComplexVector* values : {&s_.state, &s_.previous_input, &s_.output, &s_.rings})
        std::fill(values->begin(), values->end(), StepValue());
    std::fill(s_.started.begin(), s_.started.end(), 0);
    s_.ring_position = 0;
}

TimeDomainModel::RunState TimeDomainModel::run_state() const {
    return {s_.state, s_.previous_input, s_.output, s_.rings, s_.started, s_.ring_position};
}

void TimeDomainModel::restore(RunState run) {
    if (run.state.size() != s_.state.size() || run.previous_input.size() != s_.previous_input.size() ||
        run.output.size() != s_.output.size() || run.delay_lines.size() != s_.rings.size() ||
        run.started.size() != s_.started.size() ||
        run.delay_position >= std::max<size_t>(s_.history, 1))
        throw std::invalid_argument("The stepping state does not fit the time-domain model.");
    s_.state = std::move(run.state);
    s_.previous_input = std::move(run.previous_input);
    s_.output = std::move(run.output);
    s_.rings = std::move(run.delay_lines);
    for (char& flag : run.started) flag = flag != 0;
    s_.started = std::move(run.started);
    s_.ring_position = run.delay_position;
}

std::string TimeDomainModel::str(bool representation) const {
    if (!representation)
        return "Time-domain model with " + std::to_string(matrix_->poles().size()) + " poles and " +
               std::to_string(matrix_->ports().size()) + " ports";
    std::string state, output;
    const size_t n = s_.a.size();  // the poles the state was built for
    for (size_t i = 0; ready() && i < keys_.size(); ++i) {
        const std::string separator = i > 0 ? ", " : "";
        ComplexVector row(s_.state.begin() + long(i * n), s_.state.begin() + long((i + 1) * n));
        state += separator + "'" + keys_[i] + "': " + complex_values_text(row);
        output += separator + "'" + keys_[i] + "': " + complex_literal(s_.output[i]);
    }
    return "TimeDomainModel(pole_residue_matrix=" + matrix_->str(true) + ", state={" + state + "}, output={" +
           output + "}, time_step=" + float_literal(time_step_) + ")";
}

bool TimeDomainModel::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::TimeDomainModel) return false;
    const auto& o = static_cast<const TimeDomainModel&>(other);
    return same_or_equal(matrix_, o.matrix_) && time_step_ == o.time_step_ && s_ == o.s_;
}

static_assert(std::is_same_v<decltype(&time_domain_model_step), NativeStepFunction>);

int64_t time_domain_model_step(const StepValue* inputs, StepValue* outputs, int64_t, bool update_state, bool,
                               void* context, double*, StepValue*) {
    auto* model = static_cast<TimeDomainModel*>(context);
    if (!model->ready()) {
        model->native_error = "Time-stepping requires the attribute 'time_step' to be positive.";
        return 1;
    }
    model->step(inputs, outputs, update_state);
    return 0;
}

}  // namespace whistle
