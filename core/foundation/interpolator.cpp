#include "interpolator.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <compare>
#include <numbers>
#include <numeric>
#include <stdexcept>

#include "text.hpp"

namespace whistle {

namespace {

constexpr std::array<std::string_view, 6> kMethodNames = {
    "linear", "barycentric", "cubicspline", "pchip", "akima", "makima"};
constexpr std::array<std::string_view, 2> kCoordsNames = {"real_imag", "mag_phase"};
constexpr std::array<std::string_view, 2> kExtrapolationNames = {"extrapolate", "constant"};

template <class E, size_t N>
std::optional<E> parse_name(const std::array<std::string_view, N>& names, std::string_view text) {
    auto it = std::find(names.begin(), names.end(), text);
    if (it == names.end()) return std::nullopt;
    return E(it - names.begin());
}

// Total order on doubles (NaNs at the ends) so that sorting is well defined for any input.
bool less(double a, double b) { return std::weak_order(a, b) < 0; }

// Reduces a phase step into [-pi, pi].
double wrapped_step(double step) {
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    while (step > std::numbers::pi) step -= kTwoPi;
    while (step < -std::numbers::pi) step += kTwoPi;
    return step;
}

// ---- Text forms ------------------------------------------------------------------------

std::string complex_literal(std::complex<double> v) {
    std::string text = "(";
    text += shortest_text(v.real());
    text += std::signbit(v.imag()) ? '-' : '+';
    text += shortest_text(std::abs(v.imag()));
    return text + "j)";
}

template <class Format>
std::string list_literal(size_t count, Format format) {
    std::string text = "[";
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) text += ", ";
        text += format(i);
    }
    return text + "]";
}

std::string values_literal(const Interpolator::Variable& variable) {
    return list_literal(variable.values.size(), [&](size_t i) {
        return variable.is_complex ? complex_literal(variable.values[i])
                                   : float_literal(variable.values[i].real());
    });
}

std::string string_literal(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

Interpolator::Interpolator(std::vector<double> x, uint32_t dims, std::vector<Variable> variables,
                           bool single_variable, Options options,
                           std::vector<std::string> parameter_names)
    : Cloneable(TypeCode::Interpolator),
      x_(std::move(x)),
      dims_(dims),
      samples_(dims > 0 ? uint32_t(x_.size() / dims) : 0),
      variables_(std::move(variables)),
      single_variable_(single_variable),
      options_(options) {
    if (dims_ == 0)
        throw std::invalid_argument("Independent variable 'x' must have at least 1 dimension.");
    if (samples_ == 0)
        throw std::invalid_argument("Independent variable 'x' must have at least 1 sample.");
    if (x_.size() != size_t(samples_) * dims_)
        throw std::invalid_argument("Independent variable 'x' must hold the same number of values per sample.");
    if (variables_.empty() || (single_variable_ && variables_.size() != 1))
        throw std::invalid_argument("Dependent variable 'y' must hold one value sequence per variable.");
    for (const Variable& variable : variables_)
        if (variable.values.size() != samples_)
            throw std::invalid_argument("Each 'y' value sequence must have the same size as 'x'.");
    set_parameter_names(std::move(parameter_names));
    if (options_.extrapolation == Extrapolation::kConstant && dims_ > 1)
        throw std::invalid_argument(
            "Constant extrapolation is only supported for single-parameter interpolation.");
    if (dims_ == 1) sort_samples();
    build_columns();
}

void Interpolator::set_parameter_names(std::vector<std::string> names) {
    if (!names.empty() && names.size() != dims_)
        throw std::invalid_argument("parameter_names size must match the number of dimensions in x.");
    parameter_names_ = std::move(names);
}

void Interpolator::sort_samples() {
    if (std::is_sorted(x_.begin(), x_.end(), less)) return;
    std::vector<size_t> order(samples_);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return less(x_[a], x_[b]); });
    auto permute = [&](auto& values) {
        auto source = values;
        for (size_t i = 0; i < order.size(); ++i) values[i] = source[order[i]];
    };
    permute(x_);
    for (Variable& variable : variables_) permute(variable.values);
}

void Interpolator::build_columns() {
    column_count_ = 0;
    for (const Variable& variable : variables_) column_count_ += variable.is_complex ? 2 : 1;
    columns_.assign(size_t(samples_) * column_count_, 0.0);
    const bool polar = options_.coords == Coords::kMagPhase;
    size_t column = 0;
    for (const Variable& variable : variables_) {
        double* out = columns_.data() + column;
        if (!variable.is_complex) {
            for (size_t i = 0; i < samples_; ++i) out[i * column_count_] = variable.values[i].real();
            column += 1;
            continue;
        }
        for (size_t i = 0; i < samples_; ++i) {
            std::complex<double> v = variable.values[i];
            out[i * column_count_] = polar ? std::abs(v) : v.real();
            out[i * column_count_ + 1] = polar ? std::arg(v) : v.imag();
        }
        // Along a single parameter the phase is made continuous so that it interpolates
        // smoothly through +/-pi.
        if (polar && dims_ == 1) {
            double previous = std::arg(variable.values[0]);
            for (size_t i = 1; i < samples_; ++i) {
                double& phase = out[i * column_count_ + 1];
                double raw = phase;
                phase = out[(i - 1) * column_count_ + 1] + wrapped_step(raw - previous);
                previous = raw;
            }
        }
        column += 2;
    }
}

bool Interpolator::any_complex() const {
    return std::any_of(variables_.begin(), variables_.end(),
                       [](const Variable& v) { return v.is_complex; });
}

double Interpolator::clip(double query) const {
    if (options_.extrapolation != Extrapolation::kConstant || dims_ != 1) return query;
    return std::clamp(query, x_.front(), x_.back());
}

void Interpolator::linear(const double* queries, size_t count, double* out) const {
    const size_t width = column_count_;
    auto copy_row = [&](size_t row, double* target) {
        std::copy_n(columns_.data() + row * width, width, target);
    };
    for (size_t k = 0; k < count; ++k, out += width) {
        const double q = clip(queries[k]);
        if (samples_ == 1) {
            copy_row(0, out);
            continue;
        }
        // The interval ending at the first sample above q; the end intervals extrapolate.
        size_t above = size_t(std::upper_bound(x_.begin(), x_.end(), q) - x_.begin());
        size_t i1 = std::clamp<size_t>(above, 1, samples_ - 1);
        size_t i0 = i1 - 1;
        double span = x_[i1] - x_[i0];
        if (q == x_[i1] || span == 0) {
            copy_row(q < x_[i0] ? i0 : i1, out);
            continue;
        }
        const double t = (q - x_[i0]) / span;
        const double* r0 = columns_.data() + i0 * width;
        const double* r1 = r0 + width;
        for (size_t c = 0; c < width; ++c) out[c] = r0[c] + (r1[c] - r0[c]) * t;
    }
}

std::vector<std::complex<double>> Interpolator::values_from_columns(const double* rows,
                                                                   size_t count) const {
    std::vector<std::complex<double>> values;
    values.reserve(variables_.size() * count);
    const bool polar = options_.coords == Coords::kMagPhase;
    size_t column = 0;
    for (const Variable& variable : variables_) {
        for (size_t k = 0; k < count; ++k) {
            const double* cell = rows + k * column_count_ + column;
            if (!variable.is_complex)
                values.emplace_back(cell[0], 0.0);
            else if (polar)  // the magnitude may be extrapolated below zero: no std::polar
                values.emplace_back(cell[0] * std::cos(cell[1]), cell[0] * std::sin(cell[1]));
            else
                values.emplace_back(cell[0], cell[1]);
        }
        column += variable.is_complex ? 2 : 1;
    }
    return values;
}

bool Interpolator::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::Interpolator) return false;
    const auto& o = static_cast<const Interpolator&>(other);
    return dims_ == o.dims_ && x_ == o.x_ && variables_ == o.variables_ &&
           single_variable_ == o.single_variable_ && options_ == o.options_ &&
           parameter_names_ == o.parameter_names_;
}

std::string Interpolator::str(bool representation) const {
    if (!representation) {
        return "Interpolator for " + std::to_string(samples_) +
               (samples_ == 1 ? " sample, " : " samples, ") + std::to_string(dims_) +
               " parameters and " + std::to_string(variables_.size()) + " values";
    }
    std::string text = "Interpolator(x=";
    text += list_literal(samples_, [&](size_t i) {
        if (dims_ == 1) return float_literal(x_[i]);
        return list_literal(dims_, [&](size_t j) { return float_literal(x_[i * dims_ + j]); });
    });
    text += ", y=";
    text += single_variable_ ? values_literal(variables_.front())
                             : list_literal(variables_.size(), [&](size_t v) {
                                   return values_literal(variables_[v]);
                               });
    text += ", method=\"" + std::string(name(options_.method)) + "\"";
    text += ", coords=\"" + std::string(name(options_.coords)) + "\"";
    text += ", extrapolation=\"" + std::string(name(options_.extrapolation)) + "\"";
    if (!parameter_names_.empty()) {
        text += ", parameter_names=(";
        for (size_t i = 0; i < parameter_names_.size(); ++i)
            text += (i > 0 ? ", " : "") + string_literal(parameter_names_[i]);
        text += parameter_names_.size() == 1 ? ",)" : ")";
    }
    return text + ")";
}

std::string_view Interpolator::name(Method method) { return kMethodNames[size_t(method)]; }
std::string_view Interpolator::name(Coords coords) { return kCoordsNames[size_t(coords)]; }
std::string_view Interpolator::name(Extrapolation extrapolation) {
    return kExtrapolationNames[size_t(extrapolation)];
}

std::optional<Interpolator::Method> Interpolator::parse_method(std::string_view text) {
    return parse_name<Method>(kMethodNames, text);
}
std::optional<Interpolator::Coords> Interpolator::parse_coords(std::string_view text) {
    return parse_name<Coords>(kCoordsNames, text);
}
std::optional<Interpolator::Extrapolation> Interpolator::parse_extrapolation(std::string_view text) {
    return parse_name<Extrapolation>(kExtrapolationNames, text);
}

}  // namespace whistle
