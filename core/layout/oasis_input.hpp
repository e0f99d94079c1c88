// The two byte sources of the OASIS reader: the file itself, with the running validation
// sums, and the inflated contents of one compressed block.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <string>

#include "streams.hpp"

namespace whistle::layout {

// Bytes handed out in runs: single bytes come straight from the current run, and only an
// exhausted run costs a call to `fill`.
class OasByteSource {
public:
    virtual ~OasByteSource() = default;

    bool empty() const { return cursor_ == limit_; }
    // The next byte of a non-empty run.
    uint8_t take() { return *cursor_++; }
    // Replaces an exhausted run; the new one is empty at the end of data. False, with the
    // failure in `status`, only when the source itself failed.
    bool refill(ErrorHandler& status) {
        if (!fill(status)) return false;
        run_end_ += uint64_t(limit_ - cursor_);
        return true;
    }
    // Copies up to n bytes; `count` is short at the end of data.
    bool read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status);
    // Up to `max` bytes consumed in place: valid until the next refill. `n` is 0 at the end.
    bool read_in_place(size_t max, const uint8_t*& data, size_t& n, ErrorHandler& status);
    // Bytes consumed so far.
    uint64_t offset() const { return run_end_ - uint64_t(limit_ - cursor_); }

protected:
    // Points `cursor_` and `limit_` at the next run, leaving them equal at the end of data.
    virtual bool fill(ErrorHandler& status) = 0;

    const uint8_t* cursor_ = nullptr;
    const uint8_t* limit_ = nullptr;

private:
    uint64_t run_end_ = 0;  // offset of `limit_`
};

// Buffered reads of the file with the CRC-32 and the byte sum of everything consumed.
class OasPhysicalInput final : public OasByteSource {
public:
    explicit OasPhysicalInput(InputStream& source) : source_(source) {}
    uint32_t crc32() {
        account();
        return crc_;
    }
    uint32_t checksum() {
        account();
        return sum_;
    }

private:
    bool fill(ErrorHandler& status) override;
    // Folds the bytes consumed since the last call into the sums: in runs, not byte by byte.
    void account();

    InputStream& source_;
    std::array<uint8_t, 65536> buffer_;
    const uint8_t* accounted_ = nullptr;  // up to here the sums are complete
    uint32_t crc_ = 0;
    uint32_t sum_ = 0;
};

// The inflated bytes of one CBLOCK: `compressed` bytes of raw DEFLATE data taken from the
// file as needed, inflated through a fixed window. Failures name `context` (the CBLOCK
// record) and the decompressed offset.
class OasCblockInput final : public OasByteSource {
public:
    OasCblockInput(OasByteSource& file, uint64_t compressed, uint64_t uncompressed,
                   std::string context);
    ~OasCblockInput() override;
    OasCblockInput(const OasCblockInput&) = delete;
    OasCblockInput& operator=(const OasCblockInput&) = delete;

    // True when every declared byte was inflated; checked once the block's records are read.
    bool exhausted() const { return offset() == uncompressed_; }
    // After the last record: the stream must end exactly at the declared counts.
    bool finish(ErrorHandler& status);

private:
    // Inflates more output into the window.
    bool fill(ErrorHandler& status) override;
    bool failure(ErrorHandler& status, const char* detail);

    OasByteSource& file_;
    uint64_t compressed_left_;
    uint64_t uncompressed_;
    uint64_t produced_ = 0;
    std::string context_;
    z_stream stream_{};
    bool initialized_ = false;
    bool ended_ = false;
    std::array<uint8_t, 16384> window_;
};

}  // namespace whistle::layout
