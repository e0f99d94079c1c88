// `SMatrix`: scattering coefficients per (input, output) port-mode pair over common frequencies.
#pragma once

#include <complex>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/error_handler.hpp"

namespace whistle {

using Complex = std::complex<double>;
using ComplexVector = std::vector<Complex>;

// Speed of light in micrometres per second.
constexpr double kSpeedOfLightUm = 2.99792458e14;

// A port-mode name "<port>@<mode>" cut at its last '@' with a non-empty port and digits after
// it; nullopt when the name carries no mode index.
struct PortModeName {
    std::string port;
    size_t mode = 0;
};
std::optional<PortModeName> split_port_mode(std::string_view name);
// The port part of a name (the whole name when it has no mode index).
std::string port_of(std::string_view name);

// Python literal forms shared by the text forms of the circuit classes.
std::string complex_literal(Complex value);
std::string complex_list_literal(const ComplexVector& values);

class SMatrix final : public Cloneable<SMatrix, BaseType> {
public:
    // (input, output) port-mode names; the value is S[output][input].
    using Key = std::pair<std::string, std::string>;
    using Elements = std::map<Key, ComplexVector>;
    using Ports = std::map<std::string, std::shared_ptr<BaseType>>;

    // Every port named in the element keys is added to `ports` (with a null port) if absent.
    // Throws std::invalid_argument when an element's length differs from the frequencies'.
    SMatrix(std::vector<double> frequencies, Elements elements, Ports ports = {});
    // Copies are independent: the ports are copied as well.
    SMatrix(const SMatrix& other);

    const std::vector<double>& frequencies() const { return frequencies_; }
    const Elements& elements() const { return elements_; }
    const Ports& ports() const { return ports_; }

    // Port-mode names in dense order: ports by name, modes 0..M-1 within each.
    std::vector<std::string> port_modes() const;
    // F blocks of N×N values, entry [f][i][j] = element (mode j, mode i); zeros where absent.
    // Reports an error and returns an empty vector when an element has the wrong length.
    ComplexVector dense(const std::vector<std::string>& modes, ErrorHandler& status) const;

    void force_symmetric();
    void apply_time_delay(double delay);
    std::map<Key, double> estimate_delays(bool lossless) const;
    // A copy with the same magnitudes and a minimum-phase phase.
    SMatrix estimate_phase() const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    std::vector<double> frequencies_;
    Elements elements_;
    Ports ports_;
};

// "{'name': repr, ...}" with None for missing ports.
std::string ports_literal(const SMatrix::Ports& ports);

}  // namespace whistle
