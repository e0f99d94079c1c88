// Exact integer polygon clipping and offsetting. Only polygon_engine.cpp knows the library
// behind it, so the engine can be replaced without touching its callers.
#pragma once

#include <cstdint>
#include <vector>

#include "core/foundation/units.hpp"
#include "structure.hpp"

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

// The points one user-level operation may create beyond its input (kMaxPoints). Each step
// checks what it is about to allocate before it does, and records what its result keeps.
class PointBudget {
public:
    explicit PointBudget(const char* operation) : operation_(operation) {}

    int64_t remaining() const { return kMaxPoints - kept_; }
    // Throws std::length_error naming the operation unless `count` more points fit.
    void require(int64_t count) const { check_point_budget(operation_, kept_ + count); }
    void keep(int64_t count) { kept_ += count; }

private:
    const char* operation_;
    int64_t kept_ = 0;
};

namespace engine {

// Every operation throws RangeError for input or result points beyond ±kMaxCoord, and
// std::length_error when it would create more points than the budget allows.

// Each operand is a list of rings filled by the non-zero winding rule, so outer boundaries
// must turn one way and their holes the other; overlapping polygons of one operand are
// thereby united before the operation. Edge intersections are rounded to integer points.
std::vector<RingSet> boolean(const std::vector<Ring>& operand1, const std::vector<Ring>& operand2,
                             BooleanOperation operation, PointBudget& budget);

// Dilates (positive distance) or erodes the area of non-overlapping, consistently oriented
// rings (as `boolean` returns them). Miter joins use a miter limit of 5; an arc tolerance of 0
// lets the engine choose one from the distance.
std::vector<RingSet> offset(const std::vector<Ring>& rings, double distance, JoinType join,
                            double arc_tolerance, PointBudget& budget);

}  // namespace engine

// The rings of a result, outer boundaries and holes alike, ready to feed back to the engine.
std::vector<Ring> flatten(std::vector<RingSet> sets);

}  // namespace whistle
