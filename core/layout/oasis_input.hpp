// The two byte sources of the OASIS reader: the file itself, with the running validation
// sums, and the inflated contents of one compressed block.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <string>

#include "streams.hpp"

namespace whistle::layout {

// Buffered reads of the file with the CRC-32 and the byte sum of everything consumed.
class OasPhysicalInput final : public InputStream {
public:
    explicit OasPhysicalInput(InputStream& source) : source_(source) {}
    bool read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) override;
    uint32_t crc32() {
        account();
        return crc_;
    }
    uint32_t checksum() {
        account();
        return sum_;
    }

private:
    // Folds the bytes consumed since the last call into the sums: in runs, not byte by byte.
    void account();

    InputStream& source_;
    std::array<uint8_t, 65536> buffer_;
    size_t begin_ = 0, end_ = 0;
    size_t accounted_ = 0;  // buffer position up to which the sums are complete
    uint32_t crc_ = 0;
    uint32_t sum_ = 0;
};

// The inflated bytes of one CBLOCK: `compressed` bytes of raw DEFLATE data taken from the
// file as needed, inflated through a fixed window. Failures name `context` (the CBLOCK
// record) and the decompressed offset.
class OasCblockInput final : public InputStream {
public:
    OasCblockInput(InputStream& file, uint64_t compressed, uint64_t uncompressed,
                   std::string context);
    ~OasCblockInput() override;
    OasCblockInput(const OasCblockInput&) = delete;
    OasCblockInput& operator=(const OasCblockInput&) = delete;

    bool read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) override;
    // True when every declared byte was inflated; checked once the block's records are read.
    bool exhausted() const { return offset_ == uncompressed_; }
    // After the last record: the stream must end exactly at the declared counts.
    bool finish(ErrorHandler& status);

private:
    // Inflates more output into the window; false with a failure in `status`.
    bool fill(ErrorHandler& status);
    bool failure(ErrorHandler& status, const char* detail);

    InputStream& file_;
    uint64_t compressed_left_;
    uint64_t uncompressed_;
    uint64_t produced_ = 0;
    std::string context_;
    z_stream stream_{};
    bool initialized_ = false;
    bool ended_ = false;
    std::array<uint8_t, 16384> input_;
    std::array<uint8_t, 16384> window_;
    size_t begin_ = 0, end_ = 0;
};

}  // namespace whistle::layout
