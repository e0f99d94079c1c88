#include "oasis_format.hpp"

#include <cstring>

namespace whistle::layout::oasis {

std::string_view record_name(uint8_t id) {
    static constexpr std::string_view kNames[] = {
        "PAD",        "START",      "END",        "CELLNAME",   "CELLNAME",   "TEXTSTRING",
        "TEXTSTRING", "PROPNAME",   "PROPNAME",   "PROPSTRING", "PROPSTRING", "LAYERNAME",
        "LAYERNAME",  "CELL",       "CELL",       "XYABSOLUTE", "XYRELATIVE", "PLACEMENT",
        "PLACEMENT",  "TEXT",       "RECTANGLE",  "POLYGON",    "PATH",       "TRAPEZOID",
        "TRAPEZOID",  "TRAPEZOID",  "CTRAPEZOID", "CIRCLE",     "PROPERTY",   "PROPERTY",
        "XNAME",      "XNAME",      "XELEMENT",   "XGEOMETRY",  "CBLOCK"};
    return id < std::size(kNames) ? kNames[id] : std::string_view("record");
}

void Encoder::unsigned_integer(UInt128 value) {
    while (value >= 0x80) {
        bytes_.push_back(uint8_t(value & 0x7F) | 0x80);
        value >>= 7;
    }
    bytes_.push_back(uint8_t(value));
}

void Encoder::signed_integer(int64_t value) {
    UInt128 magnitude = value < 0 ? UInt128(-Int128(value)) : UInt128(value);
    unsigned_integer((magnitude << 1) | (value < 0 ? 1 : 0));
}

void Encoder::real_whole(uint64_t value) {
    byte(0);
    unsigned_integer(value);
}

void Encoder::real_ratio(uint64_t numerator, uint64_t denominator) {
    byte(4);
    unsigned_integer(numerator);
    unsigned_integer(denominator);
}

void Encoder::real_double(double value) {
    byte(7);
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) byte(uint8_t(bits >> (8 * i)));
}

void Encoder::string(std::string_view text) {
    unsigned_integer(text.size());
    bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void Encoder::g_delta(int64_t dx, int64_t dy) {
    UInt128 ax = dx < 0 ? UInt128(-Int128(dx)) : UInt128(dx);
    UInt128 ay = dy < 0 ? UInt128(-Int128(dy)) : UInt128(dy);
    int direction = -1;
    if (dy == 0) direction = dx < 0 ? 2 : 0;
    else if (dx == 0) direction = dy < 0 ? 3 : 1;
    else if (ax == ay) direction = dx > 0 ? (dy > 0 ? 4 : 7) : (dy > 0 ? 5 : 6);
    if (direction >= 0) {
        unsigned_integer(((dx != 0 ? ax : ay) << 4) | UInt128(direction << 1));
        return;
    }
    unsigned_integer((ax << 2) | (dx < 0 ? 2 : 0) | 1);
    signed_integer(dy);
}

}  // namespace whistle::layout::oasis
