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

// The grid snapping rule: for even steps the nearest multiple with exact halves towards plus
// infinity; odd steps round values below zero as this integer formula does.
inline Coord snap(Coord value, Coord step) {
    Coord half = step / 2;
    Coord shifted = value > 0 ? value + half : value - half + 1;
    return truncated_quotient(shifted, step) * step;
}

// floor((value + step / 2) / step) · step: the nearest multiple with ties towards plus
// infinity for any step (port centers, whose half grid may be odd).
inline Coord nearest_multiple(Coord value, Coord step) {
    Coord shifted = value + step / 2;
    Coord multiple = truncated_quotient(shifted, step) * step;
    return multiple > shifted ? multiple - step : multiple;
}

inline Coord snap_to_grid(Coord value) { return snap(value, config().grid); }
inline Vector snap_to_grid(const Vector& v) { return {snap_to_grid(v.x), snap_to_grid(v.y)}; }

}  // namespace whistle
