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

// Element tables of wave and terminal matrices: one value per frequency for each name pair.
using ElementKey = std::pair<std::string, std::string>;
using ElementMap = std::map<ElementKey, ComplexVector>;

// Averages every pair of transposed elements; an element whose transpose is absent is copied.
void symmetrize(ElementMap& elements);
// Python-literal texts of frequency lists and element tables, for representations.
std::string frequencies_text(const std::vector<double>& frequencies);
std::string elements_text(const ElementMap& elements);
std::string complex_literal(Complex value);
std::string complex_values_text(const ComplexVector& values);
std::string key_values_text(const std::map<ElementKey, double>& values);

// Ports or terminals by name (null where none is given).
using NamedObjects = std::map<std::string, std::shared_ptr<BaseType>>;
// Copies of the objects, for independent copies of a matrix.
NamedObjects clone_objects(const NamedObjects& objects);
bool same_objects(const NamedObjects& a, const NamedObjects& b);
// {'name': repr, ...} with None for null objects.
std::string objects_text(const NamedObjects& objects);

// The content of wave and terminal matrices: values per frequency for name pairs, and the
// objects (ports or terminals) by name that the pairs refer to.
class ElementTable {
public:
    const std::vector<double>& frequencies() const { return frequencies_; }
    const ElementMap& elements() const { return elements_; }

protected:
    // Every object named by `name_of` applied to an element key's names is added (as null) if
    // absent. Throws std::invalid_argument when an element's length differs from the frequencies'.
    ElementTable(std::vector<double> frequencies, ElementMap elements, NamedObjects objects,
                 std::string (*name_of)(std::string_view));
    // Copies are independent: the objects are copied as well.
    ElementTable(const ElementTable& other);

    bool same_table(const ElementTable& other) const;
    // The representation's arguments: frequencies=[...], elements={...}, <objects_name>={...}.
    std::string table_text(const char* objects_name) const;

    std::vector<double> frequencies_;
    ElementMap elements_;
    NamedObjects objects_;
};

class SMatrix final : public Cloneable<SMatrix, BaseType>, public ElementTable {
public:
    // (input, output) port-mode names; the value is S[output][input].
    using Key = ElementKey;
    using Elements = ElementMap;
    using Ports = NamedObjects;

    // Every port named in the element keys is added to `ports` (with a null port) if absent.
    // Throws std::invalid_argument when an element's length differs from the frequencies'.
    SMatrix(std::vector<double> frequencies, Elements elements, Ports ports = {});
    SMatrix(const SMatrix& other) = default;

    const Ports& ports() const { return objects_; }

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
};

}  // namespace whistle
