// Layers: the (layer number, datatype) pairs that geometry, masks and technologies name.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace whistle {

struct Layer {
    uint32_t layer = 0;
    uint32_t datatype = 0;

    // Maps keyed by layer order by layer number, then datatype.
    auto operator<=>(const Layer&) const = default;
};

// "(L, D)"
inline std::string layer_text(const Layer& layer) {
    std::string text = "(";
    text.append(std::to_string(layer.layer)).append(", ").append(std::to_string(layer.datatype));
    return text.append(")");
}

}  // namespace whistle
