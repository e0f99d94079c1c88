#include "medium.hpp"

#include <algorithm>

namespace whistle {

const char* classification_name(Classification classification) {
    return classification == Classification::Optical ? "optical" : "electrical";
}

std::optional<Classification> classification_from_name(std::string_view name) {
    if (name == "optical") return Classification::Optical;
    if (name == "electrical") return Classification::Electrical;
    return std::nullopt;
}

Classification frequency_classification(std::span<const double> frequencies) {
    constexpr double kElectricalLimit = 6e12;
    bool electrical = std::any_of(frequencies.begin(), frequencies.end(),
                                  [](double f) { return f < kElectricalLimit; });
    return electrical ? Classification::Electrical : Classification::Optical;
}

bool Medium::operator==(const Medium& other) const {
    return same_or_equal(optical, other.optical) && same_or_equal(electrical, other.electrical);
}

}  // namespace whistle
