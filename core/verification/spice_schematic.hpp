// The SPICE schematic of a component hierarchy, for layout-versus-schematic checks: each cell
// a subcircuit whose pins are its ports and terminals, joined as the component's netlist joins
// them.
#pragma once

#include <string>

#include "core/foundation/error_handler.hpp"
#include "core/layout/prepared.hpp"

namespace whistle {

// A component whose properties hold this key is a route: a wire joining its ports, written as
// a net of its parent rather than as a subcircuit instance.
inline constexpr const char* kRouteProperty = "__route__";

// The SPICE schematic of the prepared layout's first cell (its top) and the cells below it.
// Throws VerificationError with the exact messages ("No component to write as a SPICE
// schematic." when layout.cells is empty; the SPICE-safe name message; a netlist's error);
// netlist warnings go to `status`.
std::string spice_schematic(const layout::PreparedLayout& layout, ErrorHandler& status);

}  // namespace whistle
