// The value encodings of twf files: counts, signed integers, strings and doubles.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace whistle {

// Bad stored data or a failed store operation; the message is the user-facing text.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The whole content of a file; throws StoreError "Unable to open '<name>'." when it cannot be
// read.
std::string read_whole_file(const std::string& filename);

// Shortest form of an unsigned value: the leading one bits of the first byte count the bytes
// that follow.
void append_count(std::string& out, uint64_t value);
// Magnitude shifted left by one, sign in bit 0.
void append_signed(std::string& out, int64_t value);
// Length as a count, then the bytes. Throws StoreError beyond 4,294,967,295 bytes.
void append_string(std::string& out, std::string_view text);
void append_double(std::string& out, double value);
void append_fixed(std::string& out, uint64_t value, int bytes);

// Reads the encodings from a byte range. Every read checks the remaining length; short or
// malformed data throws StoreError with `corrupt_message`, which must outlive the reader.
class ByteReader {
public:
    ByteReader(std::string_view data, std::string_view corrupt_message)
        : data_(data), corrupt_(corrupt_message) {}

    uint8_t byte();
    uint64_t count();
    int64_t signed_value();
    double real();
    std::string string();
    std::string_view bytes(size_t length);
    uint64_t fixed(int bytes);
    // A count of items that each take at least `item_size` bytes: bounded by what is left, so
    // a corrupt count cannot make the caller reserve unbounded memory.
    size_t items(size_t item_size = 1);

    size_t position() const { return position_; }
    void seek(size_t position);
    size_t size() const { return data_.size(); }
    [[noreturn]] void fail() const { throw StoreError(std::string(corrupt_)); }

private:
    void need(size_t length) const {
        if (length > data_.size() - position_) fail();
    }

    std::string_view data_;
    size_t position_ = 0;
    std::string_view corrupt_;
};

}  // namespace whistle
