// Database units, points and exact integer helpers shared by the whole core.
#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace whistle {

using Coord = int64_t;
using Int128 = __int128;
using UInt128 = unsigned __int128;

// a / b truncated towards zero, for b > 0.
inline Coord truncated_quotient(Coord a, Coord b) {
    // Below 2^52 the rounded double quotient never crosses an integer, so it truncates to the
    // same value; the double division is several times faster than 64-bit integer division.
    constexpr Coord kExactLimit = Coord(1) << 52;
    if (a > -kExactLimit && a < kExactLimit && b < kExactLimit)
        return static_cast<Coord>(static_cast<double>(a) / static_cast<double>(b));
    return a / b;
}

// Lengths are held as integers in units of 1e-5 micrometre.
constexpr double kUnitsPerMicron = 100000.0;

// Nearest integer, halves away from zero (as llround, which is a much slower library call).
inline Coord nearest(double value) {
    // Below 2^52 the truncation is exact and so is the fraction it leaves.
    constexpr double kExactLimit = 4503599627370496.0;  // 2^52
    if (!(std::fabs(value) < kExactLimit)) return static_cast<Coord>(std::llround(value));
    Coord truncated = static_cast<Coord>(value);
    double fraction = value - static_cast<double>(truncated);
    // Branch-free: the rounding direction is unpredictable along a curve.
    return truncated + Coord(fraction >= 0.5) - Coord(fraction <= -0.5);
}

inline Coord to_db(double microns) { return nearest(microns * kUnitsPerMicron); }
inline double from_db(Coord units) { return static_cast<double>(units) / kUnitsPerMicron; }

// ---- Coordinate range --------------------------------------------------------------------
//
// Every coordinate and length the core holds lies within ±kMaxCoord (1e9 µm). The headroom
// above it keeps every intermediate exact: differences stay below 2^48, cross products of
// differences below 2^95, and shoelace sums over up to 2^32 vertices below 2^127. Values come
// in range-checked and every operation that can move geometry checks what it produces.
constexpr Coord kMaxCoord = 100'000'000'000'000;
constexpr const char* kRangeMessage = "Coordinates exceed the supported range of ±1e9 µm.";

// A coordinate, length or result outside the supported range.
class RangeError : public std::out_of_range {
public:
    explicit RangeError(const char* message = kRangeMessage) : std::out_of_range(message) {}
};

inline bool in_range(Coord value) { return value >= -kMaxCoord && value <= kMaxCoord; }
// For unconverted values: false for NaN and infinities too.
inline bool in_range(double value) { return std::fabs(value) <= double(kMaxCoord); }
// A length in micrometres whose database units lie within the range.
inline bool has_units(double microns) { return in_range(microns * kUnitsPerMicron); }

inline Coord check_range(Coord value) {
    if (!in_range(value)) throw RangeError();
    return value;
}

struct Vector {
    Coord x = 0;
    Coord y = 0;

    constexpr Vector() = default;
    constexpr Vector(Coord x_, Coord y_) : x(x_), y(y_) {}

    constexpr Vector operator+(const Vector& o) const { return {x + o.x, y + o.y}; }
    constexpr Vector operator-(const Vector& o) const { return {x - o.x, y - o.y}; }
    constexpr Vector operator-() const { return {-x, -y}; }
    constexpr Vector& operator+=(const Vector& o) { x += o.x; y += o.y; return *this; }
    constexpr Vector& operator-=(const Vector& o) { x -= o.x; y -= o.y; return *this; }
    constexpr bool operator==(const Vector& o) const = default;

    double length() const { return std::hypot(static_cast<double>(x), static_cast<double>(y)); }
};

inline bool in_range(const Vector& p) { return in_range(p.x) && in_range(p.y); }
inline bool within(const Vector& p, Coord limit) {
    return p.x >= -limit && p.x <= limit && p.y >= -limit && p.y <= limit;
}
inline const Vector& check_range(const Vector& p) {
    if (!in_range(p)) throw RangeError();
    return p;
}
template <class Points>
void check_range_all(const Points& points) {
    for (const Vector& p : points) check_range(p);
}

// Exact cross and dot products in 128 bits (coordinates may use the full 64-bit range).
inline Int128 cross(const Vector& a, const Vector& b) {
    return static_cast<Int128>(a.x) * b.y - static_cast<Int128>(a.y) * b.x;
}
inline Int128 dot(const Vector& a, const Vector& b) {
    return static_cast<Int128>(a.x) * b.x + static_cast<Int128>(a.y) * b.y;
}

// Floating-point companion of Vector for curve sampling.
struct Vec2 {
    double x = 0;
    double y = 0;
    constexpr Vec2() = default;
    constexpr Vec2(double x_, double y_) : x(x_), y(y_) {}
    explicit Vec2(const Vector& v) : x(static_cast<double>(v.x)), y(static_cast<double>(v.y)) {}
    constexpr Vec2 operator+(const Vec2& o) const { return {x + o.x, y + o.y}; }
    constexpr Vec2 operator-(const Vec2& o) const { return {x - o.x, y - o.y}; }
    constexpr Vec2 operator*(double s) const { return {x * s, y * s}; }
    constexpr Vec2 operator/(double s) const { return {x / s, y / s}; }
    constexpr Vec2 operator-() const { return {-x, -y}; }
    double length() const { return std::hypot(x, y); }
    Vector rounded() const { return {nearest(x), nearest(y)}; }
};

inline double dot(const Vec2& a, const Vec2& b) { return a.x * b.x + a.y * b.y; }
inline double cross(const Vec2& a, const Vec2& b) { return a.x * b.y - a.y * b.x; }

}  // namespace whistle
