// What the GDSII writer and reader share: record types, their names and the 8-byte real.
#pragma once

#include <cstdint>
#include <string>

#include <boost/multiprecision/cpp_int.hpp>

namespace whistle::layout::gdsii {

enum Record : uint8_t {
    kHeader = 0x00,
    kBgnLib = 0x01,
    kLibName = 0x02,
    kUnits = 0x03,
    kEndLib = 0x04,
    kBgnStr = 0x05,
    kStrName = 0x06,
    kEndStr = 0x07,
    kBoundary = 0x08,
    kPath = 0x09,
    kSref = 0x0A,
    kAref = 0x0B,
    kText = 0x0C,
    kLayer = 0x0D,
    kDatatype = 0x0E,
    kWidth = 0x0F,
    kXy = 0x10,
    kEndEl = 0x11,
    kSname = 0x12,
    kColRow = 0x13,
    kTextNode = 0x14,
    kNode = 0x15,
    kTextType = 0x16,
    kPresentation = 0x17,
    kString = 0x19,
    kStrans = 0x1A,
    kMag = 0x1B,
    kAngle = 0x1C,
    kPathType = 0x21,
    kPropAttr = 0x2B,
    kPropValue = 0x2C,
    kBox = 0x2D,
    kBgnExtn = 0x30,
    kEndExtn = 0x31,
};

enum DataType : uint8_t {
    kNoData = 0,
    kBitArray = 1,
    kInt16 = 2,
    kInt32 = 3,
    kReal4 = 4,
    kReal8 = 5,
    kAscii = 6,
};

// Most points in one XY record: 8,191 pairs of 32-bit coordinates fill 65,528 payload bytes.
constexpr size_t kMaxXyPoints = 8191;
// Largest payload a 16-bit record length (which counts the 4 header bytes) can hold, even.
constexpr size_t kMaxPayload = 65530;

// The record's name ("BOUNDARY"), or "0x" and its type in hexadecimal when it has none.
std::string record_name(uint8_t type);
// "0x" and two upper-case hexadecimal digits.
std::string hex_byte(uint8_t value);

// An exact value sign × numerator / denominator, denominator positive.
struct Rational {
    using Integer = boost::multiprecision::cpp_int;
    bool negative = false;
    Integer numerator;
    Integer denominator = 1;

    // Every finite double is such a ratio with a power-of-two denominator.
    static Rational from_double(double value);
};

// The 8 bytes of the nearest real (mantissa rounded half up); false with the failure detail
// ("overflow", "underflow") when the value leaves the representable range.
bool encode_real(const Rational& value, uint8_t out[8], const char*& detail);

// The value of 8 real bytes, exactly (56-bit mantissas fit a long double); false with the
// detail for a noncanonical zero or an unnormalized mantissa.
bool decode_real(const uint8_t bytes[8], long double& out, const char*& detail);

}  // namespace whistle::layout::gdsii
