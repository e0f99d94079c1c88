#include "oasis_input.hpp"

#include <algorithm>
#include <cstring>

namespace whistle::layout {

bool OasByteSource::read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) {
    count = 0;
    while (count < n) {
        if (empty()) {
            if (!refill(status)) return false;
            if (empty()) break;
        }
        size_t take = std::min(n - count, size_t(limit_ - cursor_));
        std::memcpy(buffer + count, cursor_, take);
        cursor_ += take;
        count += take;
    }
    return true;
}

bool OasByteSource::read_in_place(size_t max, const uint8_t*& data, size_t& n,
                                  ErrorHandler& status) {
    if (empty() && !refill(status)) return false;
    data = cursor_;
    n = std::min(max, size_t(limit_ - cursor_));
    cursor_ += n;
    return true;
}

void OasPhysicalInput::account() {
    size_t n = size_t(cursor_ - accounted_);
    crc_ = uint32_t(::crc32(crc_, accounted_, uInt(n)));
    uint32_t sum = sum_;  // a local total lets the loop vectorize
    for (size_t i = 0; i < n; ++i) sum += accounted_[i];
    sum_ = sum;
    accounted_ = cursor_;
}

bool OasPhysicalInput::fill(ErrorHandler& status) {
    account();
    size_t got = 0;
    if (!source_.read(buffer_.data(), buffer_.size(), got, status)) return false;
    cursor_ = accounted_ = buffer_.data();
    limit_ = cursor_ + got;
    return true;
}

OasCblockInput::OasCblockInput(OasByteSource& file, uint64_t compressed, uint64_t uncompressed,
                               std::string context)
    : file_(file), compressed_left_(compressed), uncompressed_(uncompressed),
      context_(std::move(context)) {}

OasCblockInput::~OasCblockInput() {
    if (initialized_) inflateEnd(&stream_);
}

bool OasCblockInput::failure(ErrorHandler& status, const char* detail) {
    status.error(context_ + ", decompressed byte " + std::to_string(offset()) + ": " + detail);
    return false;
}

bool OasCblockInput::fill(ErrorHandler& status) {
    if (ended_) return true;
    if (!initialized_) {
        if (inflateInit2(&stream_, -15) != Z_OK) return failure(status, "invalid raw DEFLATE stream");
        initialized_ = true;
    }
    stream_.next_out = window_.data();
    stream_.avail_out = uInt(window_.size());
    while (stream_.avail_out == window_.size() && !ended_) {
        if (stream_.avail_in == 0 && compressed_left_ > 0) {
            // The compressed bytes are inflated where the file buffered them.
            const uint8_t* data = nullptr;
            size_t got = 0;
            size_t want = size_t(std::min<uint64_t>(compressed_left_, UINT32_MAX));
            if (!file_.read_in_place(want, data, got, status)) return false;
            if (got == 0) return failure(status, "truncated raw DEFLATE stream");
            compressed_left_ -= got;
            stream_.next_in = const_cast<Bytef*>(data);
            stream_.avail_in = uInt(got);
        }
        int result = inflate(&stream_, Z_NO_FLUSH);
        if (result == Z_STREAM_END)
            ended_ = true;
        else if (result == Z_BUF_ERROR && stream_.avail_in == 0 && compressed_left_ == 0)
            return failure(status, "truncated raw DEFLATE stream");
        else if (result != Z_OK)
            return failure(status, "invalid raw DEFLATE stream");
    }
    size_t size = window_.size() - stream_.avail_out;
    produced_ += size;
    if (produced_ > uncompressed_)
        return failure(status, "decompressed byte count exceeds the declared count");
    cursor_ = window_.data();
    limit_ = cursor_ + size;
    return true;
}

bool OasCblockInput::finish(ErrorHandler& status) {
    if (empty() && !ended_ && !refill(status)) return false;
    if (!empty() || produced_ > uncompressed_)
        return failure(status, "decompressed byte count exceeds the declared count");
    if (!ended_) return failure(status, "truncated raw DEFLATE stream");
    if (produced_ != uncompressed_)
        return failure(status, "decompressed byte count does not match the declared count");
    if (stream_.avail_in > 0 || compressed_left_ > 0)
        return failure(status, "raw DEFLATE stream has extra compressed payload");
    return true;
}

}  // namespace whistle::layout
