// Solids of a whole component from its technology's extrusion specifications.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "core/foundation/units.hpp"
#include "core/model/medium.hpp"

namespace whistle {

class Component;
class ExtrusionSpec;
class Polygon;
class Structure3D;

struct ExtrusionOptions {
    // Length of the sections added outward from extended ports (none when not positive).
    Coord port_extension = 0;
    // Feature size below which mask features are healed away, when set.
    std::optional<Coord> heal_size;
    // Height refinement of angled extrusions; the configured tolerance when not positive.
    Coord tolerance = 0;
    Classification classification = Classification::Optical;
};

// The extrusion spec's medium for the class; throws RangeError naming the class when the
// extrusion spec has none.
const std::shared_ptr<BaseType>& extrusion_medium(const ExtrusionSpec& spec,
                                                  Classification classification);

// Solids of the polygons by the extrusion spec's sidewall profile and medium.
std::vector<std::shared_ptr<Structure3D>> extrude_with(const ExtrusionSpec& spec,
                                                       const std::vector<Polygon>& polygons,
                                                       const ExtrusionOptions& options,
                                                       ErrorHandler& status);

// The solids of every extrusion specification of the component's technology, in technology
// order; `used` receives the extrusion specifications that produced any solid. Warns about
// dependencies built with another technology.
std::vector<std::shared_ptr<Structure3D>> extrude_component(
    const Component& component, const ExtrusionOptions& options,
    std::vector<std::shared_ptr<ExtrusionSpec>>& used, ErrorHandler& status);

}  // namespace whistle
