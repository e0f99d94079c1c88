// `LumpedModel`: a model whose circuit is an MNA stamp, seen through a port map.
#pragma once

#include <optional>

#include "mna.hpp"
#include "model.hpp"

namespace whistle {

class LumpedModel : public Model {
public:
    // Unset until a port map is given; the S matrix needs a non-empty one.
    std::optional<PortMap> port_map;

protected:
    LumpedModel() = default;
    LumpedModel(const LumpedModel&) = default;
};

}  // namespace whistle
