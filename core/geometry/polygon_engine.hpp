// Exact integer polygon clipping and offsetting. Only polygon_engine.cpp knows the library
// behind it, so the engine can be replaced without touching its callers.
#pragma once

#include <cstdint>
#include <vector>

#include "core/foundation/units.hpp"

namespace whistle {

using Ring = std::vector<Vector>;

// One outer boundary with the holes directly inside it. Outer boundaries come out
// counter-clockwise, holes clockwise.
struct RingSet {
    Ring outer;
    std::vector<Ring> holes;
};

enum class BooleanOperation : uint8_t { Union = 0, Intersection = 1, Difference = 2, Xor = 3 };

enum class JoinType : uint8_t { Miter, Round };

namespace engine {

// Every operation throws RangeError for input or result points beyond ±kMaxCoord.

// Each operand is a list of rings filled by the non-zero winding rule, so outer boundaries
// must turn one way and their holes the other; overlapping polygons of one operand are
// thereby united before the operation. Edge intersections are rounded to integer points.
std::vector<RingSet> boolean(const std::vector<Ring>& operand1, const std::vector<Ring>& operand2,
                             BooleanOperation operation);

// Dilates (positive distance) or erodes the area of non-overlapping, consistently oriented
// rings (as `boolean` returns them). Miter joins use a miter limit of 5; an arc tolerance of
// 0 lets the engine choose one from the distance.
std::vector<RingSet> offset(const std::vector<Ring>& rings, double distance, JoinType join,
                            double arc_tolerance);

}  // namespace engine

// The rings of a result, outer boundaries and holes alike, ready to feed back to the engine.
std::vector<Ring> flatten(std::vector<RingSet> sets);

}  // namespace whistle
