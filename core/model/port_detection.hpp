// Detection of ports in a component's geometry: places where a cut across the polygons carries
// the profiles of a port specification.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "component.hpp"

namespace whistle {

// Sides of the component bounds a port may lie on.
struct BoundarySides {
    bool x_min = false;
    bool x_max = false;
    bool y_min = false;
    bool y_max = false;
};

struct PortDetectionOptions {
    std::vector<std::shared_ptr<PortSpec>> specs;
    // Port centers must lie in this rectangle when given.
    std::optional<Bounds> bounds;
    // Drops coincident ports facing each other (joints between abutting pieces).
    bool skip_internal_connections = true;
    // Ports must lie within `boundary_margin` of one of these sides of the geometry's bounds.
    std::optional<BoundarySides> on_boundary;
    Coord boundary_margin = 0;
    double minimal_turn_angle = 10;
};

// New ports, one per place and direction (the first specification that fits wins), in the order
// found. Asymmetric specifications also fit mirrored, giving inverted ports.
std::vector<std::shared_ptr<Port>> detect_ports(const Component& component,
                                                const PortDetectionOptions& options,
                                                ErrorHandler& status);

}  // namespace whistle
