// OASIS record identifiers, names and the encoding of primitive values, shared by the writer
// and the reader.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/foundation/units.hpp"

namespace whistle::layout::oasis {

constexpr std::string_view kMagic = "%SEMI-OASIS\r\n";
constexpr size_t kEndRecordSize = 256;
// Bounds on compressed blocks: each count, and the sum over a file of both counts.
constexpr uint64_t kCblockWorkBound = 536870912;
// Most instances of one repetition and most points of one point list.
constexpr uint64_t kMaxRepetitionCount = 16777216;
constexpr uint64_t kMaxPointCount = 16777216;

enum Record : uint8_t {
    kPad = 0,
    kStart = 1,
    kEnd = 2,
    kCellNameImplicit = 3,
    kCellNameExplicit = 4,
    kTextStringImplicit = 5,
    kTextStringExplicit = 6,
    kPropNameImplicit = 7,
    kPropNameExplicit = 8,
    kPropStringImplicit = 9,
    kPropStringExplicit = 10,
    kLayerNameGeometry = 11,
    kLayerNameText = 12,
    kCellByNumber = 13,
    kCellByName = 14,
    kXYAbsolute = 15,
    kXYRelative = 16,
    kPlacement = 17,
    kPlacementTransformed = 18,
    kText = 19,
    kRectangle = 20,
    kPolygon = 21,
    kPath = 22,
    kTrapezoid = 23,
    kTrapezoidA = 24,
    kTrapezoidB = 25,
    kCTrapezoid = 26,
    kCircle = 27,
    kProperty = 28,
    kPropertyRepeat = 29,
    kXNameImplicit = 30,
    kXNameExplicit = 31,
    kXElement = 32,
    kXGeometry = 33,
    kCblock = 34,
};

// The record's name as messages use it ("RECTANGLE", "CELLNAME", ...).
std::string_view record_name(uint8_t id);

// The eight octangular directions of g-deltas and 2-/3-deltas: east, north, west, south,
// then north-east, north-west, south-west, south-east.
constexpr int64_t kDirectionX[8] = {1, 0, -1, 0, 1, -1, -1, 1};
constexpr int64_t kDirectionY[8] = {0, 1, 0, -1, 1, 1, -1, -1};

// Appends encoded values to a byte vector.
class Encoder {
public:
    explicit Encoder(std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    void byte(uint8_t value) { bytes_.push_back(value); }
    // Seven bits per byte, least significant group first; also the packed forms, whose flag
    // bits sit in the low bits of the value.
    void unsigned_integer(UInt128 value);
    void signed_integer(int64_t value);
    // Real type 0 (positive whole number), type 4 (positive ratio), type 7 (IEEE double).
    void real_whole(uint64_t value);
    void real_ratio(uint64_t numerator, uint64_t denominator);
    void real_double(double value);
    void string(std::string_view text);
    void g_delta(int64_t dx, int64_t dy);

private:
    std::vector<uint8_t>& bytes_;
};

}  // namespace whistle::layout::oasis
