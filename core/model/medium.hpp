// Frequency classes and the holder of the solver media used for each of them.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/foundation/base_type.hpp"

namespace whistle {

enum class Classification : uint8_t { Optical, Electrical };

// "optical" or "electrical".
const char* classification_name(Classification classification);
std::optional<Classification> classification_from_name(std::string_view name);
// Electrical when any frequency lies below 6 THz.
Classification frequency_classification(std::span<const double> frequencies);

// The solver medium of each frequency class. The media are interpreter objects, held through
// core holders (type code Medium) that keep them alive; either may be absent.
struct Medium {
    std::shared_ptr<BaseType> optical;
    std::shared_ptr<BaseType> electrical;

    const std::shared_ptr<BaseType>& get(Classification classification) const {
        return classification == Classification::Optical ? optical : electrical;
    }
    // Media compare by their own value equality.
    bool operator==(const Medium& other) const;
};

}  // namespace whistle
