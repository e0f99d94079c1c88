// `Interpolator`: sampled data (real or complex variables over one or more parameters) turned
// into a callable. One-parameter linear interpolation is evaluated here; the binding delegates
// every other method to external interpolator classes built from the same working table.
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base_type.hpp"

namespace whistle {

class Interpolator final : public Cloneable<Interpolator, BaseType> {
public:
    enum class Method : uint8_t { kLinear, kBarycentric, kCubicSpline, kPchip, kAkima, kMakima };
    enum class Coords : uint8_t { kRealImag, kMagPhase };
    enum class Extrapolation : uint8_t { kExtrapolate, kConstant };

    // One dependent variable: a value per sample; real variables keep zero imaginary parts.
    struct Variable {
        std::vector<std::complex<double>> values;
        bool is_complex = false;
        bool operator==(const Variable&) const = default;
    };

    struct Options {
        Method method = Method::kLinear;
        Coords coords = Coords::kRealImag;
        Extrapolation extrapolation = Extrapolation::kExtrapolate;
        bool operator==(const Options&) const = default;
    };

    // `x` holds samples × dims values, row-major. Throws std::invalid_argument on inconsistent
    // sizes or unsupported option combinations. One-parameter samples are stably sorted by x.
    Interpolator(std::vector<double> x, uint32_t dims, std::vector<Variable> variables,
                 bool single_variable, Options options,
                 std::vector<std::string> parameter_names = {});

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

    const std::vector<double>& x() const { return x_; }
    uint32_t dims() const { return dims_; }
    uint32_t samples() const { return samples_; }
    const std::vector<Variable>& variables() const { return variables_; }
    // y was one flat sequence: results have no outer variable axis.
    bool single_variable() const { return single_variable_; }
    const Options& options() const { return options_; }
    bool any_complex() const;

    const std::vector<std::string>& parameter_names() const { return parameter_names_; }
    // Empty, or one name per parameter (throws std::invalid_argument otherwise).
    void set_parameter_names(std::vector<std::string> names);

    // The n × C working table: real variables as one column, complex ones as two
    // (real/imaginary or magnitude/phase, the phase unwrapped along one parameter).
    const std::vector<double>& columns() const { return columns_; }
    size_t column_count() const { return column_count_; }

    // True when evaluation needs no external interpolator: one parameter, linear method.
    bool native() const { return dims_ == 1 && options_.method == Method::kLinear; }
    // A one-parameter query clamped into the sampled range under constant extrapolation.
    double clip(double query) const;
    // Native evaluation of count queries into `out` (count rows of C columns).
    void linear(const double* queries, size_t count, double* out) const;
    // Variable values of count rows of working columns, variable-major (count per variable).
    std::vector<std::complex<double>> values_from_columns(const double* rows, size_t count) const;

    static std::string_view name(Method method);
    static std::string_view name(Coords coords);
    static std::string_view name(Extrapolation extrapolation);
    static std::optional<Method> parse_method(std::string_view text);
    static std::optional<Coords> parse_coords(std::string_view text);
    static std::optional<Extrapolation> parse_extrapolation(std::string_view text);

private:
    void sort_samples();
    void build_columns();

    std::vector<double> x_;
    uint32_t dims_;
    uint32_t samples_;
    std::vector<Variable> variables_;
    bool single_variable_;
    Options options_;
    std::vector<std::string> parameter_names_;
    size_t column_count_ = 0;
    std::vector<double> columns_;
};

}  // namespace whistle
