// The process-wide configuration: grid, tolerance, defaults and display flags.
#pragma once

#include <cstdint>
#include <memory>

#include "base_type.hpp"
#include "units.hpp"

namespace whistle {

class Technology;

struct Config {
    Coord grid = 100;
    Coord tolerance = 500;
    double mesh_refinement = 20.0;
    std::shared_ptr<BaseType> default_technology;
    std::shared_ptr<BaseType> default_time_steppers;  // PyNative holding a dict
    std::shared_ptr<BaseType> default_kwargs;         // PyNative holding a dict

    int64_t svg_reference_depth = -1;
    double svg_label_scaling = -1.0;
    bool svg_ports = true;
    bool svg_port_names = true;
    bool svg_labels = true;
    bool svg_virtual_connections = true;
    bool svg_reference_names = false;
    bool svg_reference_ports = false;
    bool svg_reference_port_names = false;
    bool svg_reference_labels = false;

    // Prototypes of the interpreter-backed classes, filled at module entry.
    enum Prototype { kNative, kFenn3dModel, kModel, kTimeStepper, kRandomVariable,
                     kParametricData, kUpdateKwargs, kPrototypeCount };
    std::shared_ptr<BaseType> prototypes[kPrototypeCount];

    static constexpr Coord kMinGrid = 4;
};

Config& config();

// Nearest multiple of step; exact halves go towards plus infinity.
inline Coord snap(Coord value, Coord step) {
    // floor((value + step / 2) / step), also for odd steps below zero.
    Coord shifted = value + step / 2;
    Coord multiple = truncated_quotient(shifted, step) * step;
    return multiple > shifted ? multiple - step : multiple;
}

inline Coord snap_to_grid(Coord value) { return snap(value, config().grid); }
inline Vector snap_to_grid(const Vector& v) { return {snap_to_grid(v.x), snap_to_grid(v.y)}; }

}  // namespace whistle
