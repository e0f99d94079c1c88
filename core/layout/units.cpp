#include <cmath>
#include <numeric>

#include "core/foundation/units.hpp"
#include "events.hpp"

namespace whistle::layout {

namespace {

std::optional<UnitScale> reduced(UInt128 numerator, UInt128 denominator) {
    if (numerator == 0 || denominator == 0) return std::nullopt;
    UInt128 a = numerator, b = denominator;
    while (b) {
        UInt128 t = a % b;
        a = b;
        b = t;
    }
    numerator /= a;
    denominator /= a;
    constexpr UInt128 kLimit = UInt128(INT64_MAX);
    if (numerator > kLimit || denominator > kLimit) return std::nullopt;
    return UnitScale{int64_t(numerator), int64_t(denominator)};
}

}  // namespace

std::optional<UnitScale> UnitScale::from_units_per_micron(uint64_t numerator,
                                                          uint64_t denominator) {
    // Internal units per file unit: 1e5 / (numerator / denominator).
    return reduced(UInt128(denominator) * 100000, numerator);
}

std::optional<UnitScale> UnitScale::from_metres(long double database_unit) {
    long double value = database_unit * 1e11L;
    if (!(value > 0) || !std::isfinite(value) || value > 1e18L) return std::nullopt;
    // Continued-fraction convergents until one lies within the tolerance.
    constexpr long double kTolerance = 1e-12L;
    constexpr int64_t kMaxDenominator = 1000000;
    int64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    long double rest = value;
    for (int i = 0; i < 64; ++i) {
        long double whole = std::floor(rest);
        if (whole > 1e18L) break;
        int64_t a = int64_t(whole);
        int64_t p2 = a * p1 + p0, q2 = a * q1 + q0;
        if (q2 > kMaxDenominator) break;
        if (std::fabs(static_cast<long double>(p2) / q2 - value) <= kTolerance * value)
            return reduced(UInt128(p2), UInt128(q2));
        p0 = p1, q0 = q1, p1 = p2, q1 = q2;
        long double fraction = rest - whole;
        if (fraction <= 0) break;
        rest = 1 / fraction;
    }
    return std::nullopt;
}

bool UnitScale::exact_on(int64_t grid) const {
    return grid > 0 && numerator % denominator == 0 && (numerator / denominator) % grid == 0;
}

bool UnitScale::convert(int64_t value, int64_t grid, int64_t& out) const {
    // value × numerator / (denominator × grid), rounded half away from zero, times grid.
    Int128 scaled = Int128(value) * numerator;
    Int128 step = Int128(denominator) * grid;
    Int128 magnitude = scaled < 0 ? -scaled : scaled;
    Int128 steps = (magnitude + step / 2) / step;
    if (steps > Int128(kMaxCoord) / grid) return false;
    Int128 result = steps * grid;
    out = int64_t(scaled < 0 ? -result : result);
    return true;
}

}  // namespace whistle::layout
