#include "gdsii_format.hpp"

#include <cmath>

namespace whistle::layout::gdsii {

std::string record_name(uint8_t type) {
    static constexpr const char* kNames[] = {
        "HEADER",     "BGNLIB",      "LIBNAME",   "UNITS",    "ENDLIB",   "BGNSTR",
        "STRNAME",    "ENDSTR",      "BOUNDARY",  "PATH",     "SREF",     "AREF",
        "TEXT",       "LAYER",       "DATATYPE",  "WIDTH",    "XY",       "ENDEL",
        "SNAME",      "COLROW",      "TEXTNODE",  "NODE",     "TEXTTYPE", "PRESENTATION",
        "SPACING",    "STRING",      "STRANS",    "MAG",      "ANGLE",    "UINTEGER",
        "USTRING",    "REFLIBS",     "FONTS",     "PATHTYPE", "GENERATIONS", "ATTRTABLE",
        "STYPTABLE",  "STRTYPE",     "ELFLAGS",   "ELKEY",    "LINKTYPE", "LINKKEYS",
        "NODETYPE",   "PROPATTR",    "PROPVALUE", "BOX",      "BOXTYPE",  "PLEX",
        "BGNEXTN",    "ENDEXTN",     "TAPENUM",   "TAPECODE", "STRCLASS", "RESERVED",
        "FORMAT",     "MASK",        "ENDMASKS",  "LIBDIRSIZE", "SRFNAME", "LIBSECUR",
    };
    return type < std::size(kNames) ? kNames[type] : hex_byte(type);
}

std::string hex_byte(uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("0x") + kDigits[value >> 4] + kDigits[value & 15];
}

Rational Rational::from_double(double value) {
    Rational result;
    result.negative = std::signbit(value);
    int exponent = 0;
    double fraction = std::frexp(std::fabs(value), &exponent);
    // value = mantissa × 2^(exponent − 53) with a 53-bit integer mantissa.
    result.numerator = Integer(int64_t(std::ldexp(fraction, 53)));
    exponent -= 53;
    if (exponent >= 0)
        result.numerator <<= exponent;
    else
        result.denominator <<= -exponent;
    return result;
}

namespace {

using Integer = Rational::Integer;

constexpr int kMantissaBits = 56;

// round(value × 2^56 / 16^k), halves up.
Integer scaled_mantissa(const Rational& value, int k) {
    Integer numerator = value.numerator, denominator = value.denominator;
    int shift = kMantissaBits - 4 * k;
    if (shift >= 0)
        numerator <<= shift;
    else
        denominator <<= -shift;
    return (2 * numerator + denominator) / (2 * denominator);
}

}  // namespace

bool encode_real(const Rational& value, uint8_t out[8], const char*& detail) {
    for (int i = 0; i < 8; ++i) out[i] = 0;
    if (value.numerator == 0) return true;
    // A first guess of the power of 16 from the bit lengths, then exact corrections.
    long bits = long(boost::multiprecision::msb(value.numerator)) -
                long(boost::multiprecision::msb(value.denominator));
    long k = bits >= 0 ? bits / 4 + 1 : -((-bits) / 4);
    if (k > 80) {
        detail = "overflow";
        return false;
    }
    if (k < -80) {
        detail = "underflow";
        return false;
    }
    const Integer top = Integer(1) << kMantissaBits, low = Integer(1) << (kMantissaBits - 4);
    Integer mantissa = scaled_mantissa(value, int(k));
    for (int step = 0; step < 8 && (mantissa >= top || mantissa < low); ++step) {
        k += mantissa >= top ? 1 : -1;
        mantissa = scaled_mantissa(value, int(k));
    }
    long exponent = k + 64;
    if (exponent > 127) {
        detail = "overflow";
        return false;
    }
    if (exponent < 0) {
        detail = "underflow";
        return false;
    }
    out[0] = uint8_t((value.negative ? 0x80 : 0) | exponent);
    for (int i = 7; i >= 1; --i) {
        out[i] = uint8_t(unsigned(mantissa & 0xFF));
        mantissa >>= 8;
    }
    return true;
}

bool decode_real(const uint8_t bytes[8], long double& out, const char*& detail) {
    uint64_t mantissa = 0;
    for (int i = 1; i < 8; ++i) mantissa = (mantissa << 8) | bytes[i];
    if (mantissa == 0) {
        out = 0;
        if (bytes[0] == 0) return true;
        detail = "noncanonical zero";
        return false;
    }
    if ((mantissa >> (kMantissaBits - 4)) == 0) {
        detail = "unnormalized mantissa";
        return false;
    }
    int exponent = bytes[0] & 0x7F;
    out = std::ldexp(static_cast<long double>(mantissa), 4 * (exponent - 64) - kMantissaBits);
    if (bytes[0] & 0x80) out = -out;
    return true;
}

}  // namespace whistle::layout::gdsii
