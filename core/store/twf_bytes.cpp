#include "core/store/twf_bytes.hpp"

#include <array>
#include <cstring>
#include <fstream>
#include <limits>

namespace whistle {

namespace {

// Start of the value range of each form, by the number of following bytes (0 to 7).
constexpr std::array<uint64_t, 8> kRangeStart = {
    0, 0x80, 0x4080, 0x204080, 0x10204080, 0x810204080, 0x40810204080, 0x2040810204080};
constexpr uint64_t kRangeEnd = 0x102040810204080;  // end of the 7-byte form

}  // namespace

std::string read_whole_file(const std::string& filename) {
    std::ifstream file(filename, std::ios::binary | std::ios::ate);
    if (!file) throw StoreError("Unable to open '" + filename + "'.");
    const std::streamoff size = file.tellg();
    std::string data(size > 0 ? size_t(size) : 0, '\0');
    file.seekg(0);
    if (size < 0 || !file.read(data.data(), std::streamsize(data.size())))
        throw StoreError("Unable to open '" + filename + "'.");
    return data;
}

void append_fixed(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char((value >> (8 * i)) & 0xFF));
}

void append_count(std::string& out, uint64_t value) {
    if (value >= kRangeEnd) {
        out.push_back(char(0xFF));
        append_fixed(out, value, 8);
        return;
    }
    int n = 7;
    while (value < kRangeStart[size_t(n)]) --n;
    // n following bytes: n leading ones, a zero, then 7 − n low bits of the offset value.
    const uint64_t offset = value - kRangeStart[size_t(n)];
    const int low_bits = 7 - n;
    const uint8_t prefix = uint8_t(0xFF00 >> n);
    out.push_back(char(prefix | uint8_t(offset & ((1u << low_bits) - 1))));
    append_fixed(out, offset >> low_bits, n);
}

void append_signed(std::string& out, int64_t value) {
    if (value == std::numeric_limits<int64_t>::min()) {
        append_count(out, std::numeric_limits<uint64_t>::max());
        return;
    }
    const uint64_t magnitude = value < 0 ? uint64_t(-value) : uint64_t(value);
    append_count(out, magnitude << 1 | (value < 0 ? 1 : 0));
}

void append_string(std::string& out, std::string_view text) {
    if (text.size() > std::numeric_limits<uint32_t>::max())
        throw StoreError("String too long for a twf stream.");
    append_count(out, text.size());
    out.append(text);
}

void append_double(std::string& out, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    append_fixed(out, bits, 8);
}

uint64_t ByteReader::fixed(int bytes) {
    need(size_t(bytes));
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t(uint8_t(data_[position_ + size_t(i)])) << (8 * i);
    position_ += size_t(bytes);
    return value;
}

uint8_t ByteReader::byte() { return uint8_t(fixed(1)); }

uint64_t ByteReader::count() {
    const uint8_t first = byte();
    if (first == 0xFF) return fixed(8);
    int n = 0;
    while (first & (0x80 >> n)) ++n;
    const int low_bits = 7 - n;
    const uint64_t low = first & ((1u << low_bits) - 1);
    return kRangeStart[size_t(n)] + (low | fixed(n) << low_bits);
}

int64_t ByteReader::signed_value() {
    const uint64_t raw = count();
    if (raw == std::numeric_limits<uint64_t>::max()) return std::numeric_limits<int64_t>::min();
    const int64_t magnitude = int64_t(raw >> 1);
    return raw & 1 ? -magnitude : magnitude;
}

double ByteReader::real() {
    const uint64_t bits = fixed(8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string_view ByteReader::bytes(size_t length) {
    need(length);
    std::string_view result = data_.substr(position_, length);
    position_ += length;
    return result;
}

std::string ByteReader::string() {
    const uint64_t length = count();
    if (length > data_.size() - position_) fail();
    return std::string(bytes(size_t(length)));
}

size_t ByteReader::items(size_t item_size) {
    const uint64_t n = count();
    if (item_size == 0) item_size = 1;
    if (n > (data_.size() - position_) / item_size) fail();
    return size_t(n);
}

void ByteReader::seek(size_t position) {
    if (position > data_.size()) fail();
    position_ = position;
}

}  // namespace whistle
