// Structured inputs decoded from fuzz bytes. Every value stays within what the binding layer
// lets through (coordinates and lengths within ±kMaxCoord, finite angles and scalings, the
// configuration's grid and tolerance limits), so that every finding is reachable from Python.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "core/foundation/config.hpp"
#include "core/foundation/units.hpp"
#include "core/geometry/polygon.hpp"

namespace whistle::fuzz {

// Magnitudes spread evenly over the powers of two, so that small values are as likely as
// large ones: [0, limit].
inline Coord magnitude(FuzzedDataProvider& in, Coord limit = kMaxCoord) {
    Coord span = std::min(limit, Coord(1) << in.ConsumeIntegralInRange(0, 47));
    return in.ConsumeIntegralInRange<Coord>(0, span);
}

inline Coord coordinate(FuzzedDataProvider& in) {
    Coord value = magnitude(in);
    return in.ConsumeBool() ? -value : value;
}

inline Vector point(FuzzedDataProvider& in) { return {coordinate(in), coordinate(in)}; }

// A finite double as the binding's finiteness checks pass it: quarter turns and other small
// values that exercise the exact paths, or anything finite.
inline double number(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: return 90.0 * in.ConsumeIntegralInRange(-8, 8);
        case 1: return in.ConsumeIntegralInRange(-4, 4) / 2.0;
        case 2: return in.ConsumeFloatingPointInRange(-1000.0, 1000.0);
        default: {
            double value = in.ConsumeFloatingPoint<double>();
            return std::isfinite(value) ? value : 0.0;
        }
    }
}

// Evaluation counts: any 32-bit value, small ones as likely as large ones.
inline uint32_t evaluations(FuzzedDataProvider& in) {
    uint64_t span = (uint64_t(1) << in.ConsumeIntegralInRange(0, 32)) - 1;
    return uint32_t(in.ConsumeIntegralInRange<uint64_t>(0, span));
}

// A ring of absolute points or of steps from the previous point; axis-parallel steps make
// the coincident and collinear edges of real layouts.
inline Ring ring(FuzzedDataProvider& in, size_t max_points) {
    Ring points(in.ConsumeIntegralInRange<size_t>(0, max_points));
    Vector last;
    for (Vector& p : points) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: p = point(in); break;
            case 1: p = {last.x + coordinate(in), last.y}; break;
            case 2: p = {last.x, last.y + coordinate(in)}; break;
            default: p = last + Vector{coordinate(in), coordinate(in)}; break;
        }
        p = {std::clamp(p.x, -kMaxCoord, kMaxCoord), std::clamp(p.y, -kMaxCoord, kMaxCoord)};
        last = p;
    }
    return points;
}

// A polygon as the constructor leaves it: normalised, and kept even when invalid, as the
// wrapper keeps it when the caller ignores the validity error. Snapping beyond the range makes
// the constructor refuse the points; an empty polygon stands in for that.
inline Polygon polygon(FuzzedDataProvider& in, size_t max_points, size_t max_holes) {
    Ring exterior = ring(in, max_points);
    std::vector<Ring> holes(in.ConsumeIntegralInRange<size_t>(0, max_holes));
    for (Ring& hole : holes) hole = ring(in, max_points / 2);
    Polygon result(std::move(exterior), std::move(holes));
    try {
        result.normalize();
    } catch (const RangeError&) {
        return Polygon();
    }
    return result;
}

// The default grid and tolerance, or any the configuration accepts.
inline void configure(FuzzedDataProvider& in) {
    Config defaults;
    config().grid = in.ConsumeBool() ? defaults.grid : std::max(Config::kMinGrid, magnitude(in));
    config().tolerance = in.ConsumeBool() ? defaults.tolerance : std::max<Coord>(1, magnitude(in));
}

// Runs one call as the binding does: standard exceptions become interpreter errors.
template <class Call>
void guarded(Call&& call) {
    try {
        call();
    } catch (const std::exception&) {
    }
}

}  // namespace whistle::fuzz
