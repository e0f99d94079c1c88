#include "s_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <new>
#include <stdexcept>

#include "core/foundation/text.hpp"

namespace whistle {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfPi = 1.5707963267948966;
constexpr double kInvPi = 0.3183098861837907;

// Indices of the frequencies sorted ascending, split into the positive part (ascending) and the
// negative part (from the sample nearest zero outwards); zero frequencies belong to neither.
struct FrequencyWalks {
    std::vector<size_t> positive, negative;
    double span = 0;
};

FrequencyWalks frequency_walks(const std::vector<double>& frequencies) {
    std::vector<size_t> order(frequencies.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return frequencies[a] < frequencies[b]; });
    FrequencyWalks walks;
    for (size_t index : order) {
        if (frequencies[index] > 0) walks.positive.push_back(index);
        else if (frequencies[index] < 0) walks.negative.push_back(index);
    }
    std::reverse(walks.negative.begin(), walks.negative.end());
    if (!order.empty()) walks.span = frequencies[order.back()] - frequencies[order.front()];
    return walks;
}

// Minimum-phase phase from magnitudes over increasing (positive) frequencies, by the piecewise
// gain-phase relation on log-log slopes.
std::vector<double> bode_phase(const std::vector<double>& w, const std::vector<double>& magnitude) {
    const size_t n = w.size();
    std::vector<double> phase(n, 0.0);
    if (n < 2) return phase;
    std::vector<double> slope(n - 1);
    for (size_t k = 0; k + 1 < n; ++k)
        slope[k] = std::log(magnitude[k + 1] / magnitude[k]) / std::log(w[k + 1] / w[k]);
    for (size_t i = 0; i + 1 < n; ++i) {
        double sum = 0;
        for (size_t k = 0; k + 1 < n; ++k) {
            if (k == i) continue;
            double u = std::fabs(std::log((w[k] + w[k + 1]) / (2 * w[i]))) / 2;
            sum += (slope[k] - slope[i]) * kInvPi * std::log(1 / std::tanh(u)) *
                   std::log(w[k + 1] / w[k]);
        }
        phase[i] = -kHalfPi * slope[i] - sum;
    }
    phase[n - 1] = phase[n - 2];
    return phase;
}

// Absolute frequencies and magnitudes of one walk.
void walk_samples(const std::vector<size_t>& walk, const std::vector<double>& frequencies,
                  const ComplexVector& values, std::vector<double>& w, std::vector<double>& a) {
    w.clear();
    a.clear();
    for (size_t index : walk) {
        w.push_back(std::fabs(frequencies[index]));
        a.push_back(std::abs(values[index]));
    }
}

// Unwrapped phase change from the first to the last sample of a walk.
double unwrapped_change(const std::vector<size_t>& walk, const ComplexVector& values) {
    if (walk.size() < 2) return 0;
    double first = std::arg(values[walk.front()]);
    double previous = first;
    for (size_t k = 1; k < walk.size(); ++k) {
        double p = std::arg(values[walk[k]]);
        previous = p + kTwoPi * std::floor((previous - p) / kTwoPi + 0.5);
    }
    return previous - first;
}

// Bode phase change between the first and last sample of a walk; zero for a walk that is too
// short or has a zero magnitude.
double bode_change(const std::vector<size_t>& walk, const std::vector<double>& frequencies,
                   const ComplexVector& values) {
    std::vector<double> w, a;
    walk_samples(walk, frequencies, values, w, a);
    if (w.size() < 2 || std::find(a.begin(), a.end(), 0.0) != a.end()) return 0;
    std::vector<double> phase = bode_phase(w, a);
    return phase.back() - phase.front();
}

// Rewrites the phase along one walk, anchored at its first sample; `sign` mirrors the negative part.
void apply_min_phase(const std::vector<size_t>& walk, const std::vector<double>& frequencies,
                     const ComplexVector& input, ComplexVector& output, double sign) {
    if (walk.empty()) return;
    std::vector<double> w, a;
    walk_samples(walk, frequencies, input, w, a);
    std::vector<double> phase = bode_phase(w, a);
    double theta0 = std::arg(input[walk.front()]);
    for (size_t k = 0; k < walk.size(); ++k)
        output[walk[k]] = std::polar(a[k], theta0 + sign * (phase[k] - phase[0]));
}

template <class T, class Format>
std::string bracketed(const std::vector<T>& values, Format format) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ", ";
        text += format(values[i]);
    }
    return text + "]";
}

}  // namespace

void symmetrize(ElementMap& elements) {
    std::vector<ElementKey> keys;
    for (const auto& entry : elements) keys.push_back(entry.first);
    for (const ElementKey& key : keys) {
        if (key.first == key.second) continue;
        ElementKey reverse{key.second, key.first};
        auto it = elements.find(reverse);
        if (it == elements.end()) {
            elements.emplace(reverse, elements.at(key));
        } else if (key < reverse) {
            ComplexVector& a = elements.at(key);
            for (size_t f = 0; f < a.size(); ++f) a[f] = it->second[f] = 0.5 * (a[f] + it->second[f]);
        }
    }
}

std::string frequencies_text(const std::vector<double>& frequencies) {
    return bracketed(frequencies, float_literal);
}

// "{item, item, ...}" with the text of each map entry.
template <class Map, class Format>
std::string braced(const Map& map, Format format) {
    std::string text = "{";
    for (const auto& entry : map) text += (text.size() > 1 ? ", " : "") + format(entry);
    return text + "}";
}

std::string complex_literal(Complex value) {
    std::string imag = shortest_text(value.imag()) + "j";
    if (value.real() == 0 && !std::signbit(value.real())) return imag;
    std::string text = "(";
    text += shortest_text(value.real());
    if (value.imag() >= 0 || std::isnan(value.imag())) text += '+';
    return text + imag + ")";
}

std::string complex_values_text(const ComplexVector& values) { return bracketed(values, complex_literal); }

std::string elements_text(const ElementMap& elements) {
    return braced(elements, [](const auto& entry) {
        return "('" + entry.first.first + "', '" + entry.first.second + "'): " + complex_values_text(entry.second);
    });
}

std::string key_values_text(const std::map<ElementKey, double>& values) {
    return braced(values, [](const auto& entry) {
        return "('" + entry.first.first + "', '" + entry.first.second + "'): " + float_literal(entry.second);
    });
}

NamedObjects clone_objects(const NamedObjects& objects) {
    NamedObjects copies;
    for (const auto& [name, object] : objects) copies.emplace(name, object ? object->clone() : nullptr);
    return copies;
}

bool same_objects(const NamedObjects& a, const NamedObjects& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
               return x.first == y.first && same_or_equal(x.second, y.second);
           });
}

std::string objects_text(const NamedObjects& objects) {
    return braced(objects, [](const auto& entry) {
        return "'" + entry.first + "': " + (entry.second ? entry.second->str(true) : std::string("None"));
    });
}

std::optional<PortModeName> split_port_mode(std::string_view name) {
    size_t at = name.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == name.size()) return std::nullopt;
    std::string_view digits = name.substr(at + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    PortModeName result{std::string(name.substr(0, at)), 0};
    for (char c : digits) {
        // Absurd indices saturate: no dense matrix could hold them anyway.
        result.mode = result.mode > (SIZE_MAX / 10 - 10) ? SIZE_MAX / 10 : result.mode * 10 + size_t(c - '0');
    }
    return result;
}

std::string port_of(std::string_view name) {
    std::optional<PortModeName> split = split_port_mode(name);
    return split ? split->port : std::string(name);
}

ElementTable::ElementTable(std::vector<double> frequencies, ElementMap elements, NamedObjects objects,
                           std::string (*name_of)(std::string_view))
    : frequencies_(std::move(frequencies)), elements_(std::move(elements)), objects_(std::move(objects)) {
    for (const auto& [key, values] : elements_) {
        if (values.size() != frequencies_.size())
            throw std::invalid_argument("Element length does not match the number of frequencies.");
        objects_.try_emplace(name_of(key.first));
        objects_.try_emplace(name_of(key.second));
    }
}

ElementTable::ElementTable(const ElementTable& other)
    : frequencies_(other.frequencies_), elements_(other.elements_), objects_(clone_objects(other.objects_)) {}

bool ElementTable::same_table(const ElementTable& other) const {
    return frequencies_ == other.frequencies_ && elements_ == other.elements_ &&
           same_objects(objects_, other.objects_);
}

std::string ElementTable::table_text(const char* objects_name) const {
    return "frequencies=" + frequencies_text(frequencies_) + ", elements=" + elements_text(elements_) + ", " +
           objects_name + "=" + objects_text(objects_);
}

SMatrix::SMatrix(std::vector<double> frequencies, Elements elements, Ports ports)
    : Cloneable(TypeCode::SMatrix), ElementTable(std::move(frequencies), std::move(elements), std::move(ports), port_of) {}

std::vector<std::string> SMatrix::port_modes() const {
    std::map<std::string, size_t> counts;
    for (const auto& [key, values] : elements_) {
        for (const std::string* name : {&key.first, &key.second}) {
            std::optional<PortModeName> split = split_port_mode(*name);
            if (!split) continue;
            size_t& count = counts[split->port];
            count = std::max(count, split->mode + 1);
        }
    }
    // Mode indices are user text: refuse counts no dense matrix could hold before listing them.
    const size_t limit = ComplexVector().max_size() / std::max<size_t>(frequencies_.size(), 1);
    size_t total = 0;
    for (const auto& entry : counts) {
        total += std::min(entry.second, limit);
        if (total > limit || (total > 0 && total > limit / total)) throw std::bad_alloc();
    }
    std::vector<std::string> modes;
    for (const auto& [port, count] : counts)
        for (size_t m = 0; m < count; ++m) modes.push_back(port + "@" + std::to_string(m));
    return modes;
}

ComplexVector SMatrix::dense(const std::vector<std::string>& modes, ErrorHandler& status) const {
    const size_t n = modes.size(), f_count = frequencies_.size();
    ComplexVector data(f_count * n * n);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            auto it = elements_.find({modes[j], modes[i]});
            if (it == elements_.end()) continue;
            if (it->second.size() != f_count) {
                status.error("Number of frequencies does not match the number of elements in ('" +
                             modes[j] + "', '" + modes[i] + "').");
                return {};
            }
            for (size_t f = 0; f < f_count; ++f) data[(f * n + i) * n + j] = it->second[f];
        }
    }
    return data;
}

void SMatrix::force_symmetric() { symmetrize(elements_); }

void SMatrix::apply_time_delay(double delay) {
    for (auto& [key, values] : elements_)
        for (size_t f = 0; f < values.size(); ++f)
            values[f] *= std::polar(1.0, kTwoPi * frequencies_[f] * delay);
}

std::map<SMatrix::Key, double> SMatrix::estimate_delays(bool lossless) const {
    FrequencyWalks walks = frequency_walks(frequencies_);
    std::map<Key, double> delays;
    for (const auto& [key, values] : elements_) {
        double scale = kTwoPi * walks.span;
        double delay = 0;
        if (scale > 0) {
            delay = (unwrapped_change(walks.positive, values) -
                     unwrapped_change(walks.negative, values)) / scale;
            if (lossless) {
                double bode = (bode_change(walks.positive, frequencies_, values) +
                               bode_change(walks.negative, frequencies_, values)) / scale;
                if (bode >= 0) delay -= bode;
            }
        }
        delays[key] = delay < 0 ? 0.0 : delay;
    }
    return delays;
}

SMatrix SMatrix::estimate_phase() const {
    FrequencyWalks walks = frequency_walks(frequencies_);
    SMatrix result(*this);
    for (auto& [key, values] : result.elements_) {
        const ComplexVector& input = elements_.at(key);
        apply_min_phase(walks.positive, frequencies_, input, values, 1.0);
        apply_min_phase(walks.negative, frequencies_, input, values, -1.0);
    }
    return result;
}

std::string SMatrix::str(bool representation) const {
    if (!representation) return "S matrix with " + std::to_string(objects_.size()) + " ports";
    return "SMatrix(" + table_text("ports") + ")";
}

bool SMatrix::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::SMatrix) return false;
    const auto& o = static_cast<const SMatrix&>(other);
    return same_table(o);
}

}  // namespace whistle
