// The example silicon-photonics process: strip and rib waveguides on an oxide box, a metal
// layer with a coplanar transmission line, and facet trenches.
#pragma once

#include <memory>

#include "technology.hpp"

namespace whistle {

struct BasicTechnologyParameters {
    // Media of the stack.
    Medium core, clad, trench, metal, top, substrate;
    // Thicknesses and widths in database units.
    Coord core_thickness = 22000;
    Coord slab_thickness = 7000;
    Coord metal_thickness = 50000;
    Coord metal_separation = 150000;
    Coord clad_thickness = 150000;
    Coord box_thickness = 200000;
    Coord port_z_gap = 100000;
    Layer core_layer{2, 0};
    Layer slab_layer{3, 0};
    Layer clad_layer{1, 0};
    Layer trench_layer{4, 0};
    Layer metal_layer{5, 0};
    Coord strip_width = 50000;
    Coord rib_width = 40000;
    Coord clad_width = 100000;
    Coord cpw_width = 360000;
    Coord cpw_gap = 100000;
    Coord min_metal_width = 200000;
    Coord min_metal_spacing = 100000;
    Coord mask_dilation = 0;
    double sidewall_angle = 0;
    // The core layer marks the etched regions instead of the waveguides.
    bool core_fill = false;
};

// Throws std::invalid_argument with the message of the first parameter out of its range.
void check_basic_technology(const BasicTechnologyParameters& parameters);
std::shared_ptr<Technology> basic_technology(const BasicTechnologyParameters& parameters);

}  // namespace whistle
