#include "oasis_input.hpp"

#include <algorithm>
#include <cstring>

namespace whistle::layout {

void OasPhysicalInput::account() {
    const uint8_t* bytes = buffer_.data() + accounted_;
    size_t n = begin_ - accounted_;
    crc_ = uint32_t(::crc32(crc_, bytes, uInt(n)));
    for (size_t i = 0; i < n; ++i) sum_ += bytes[i];
    accounted_ = begin_;
}

bool OasPhysicalInput::read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) {
    count = 0;
    while (count < n) {
        if (begin_ == end_) {
            account();
            size_t got = 0;
            if (!source_.read(buffer_.data(), buffer_.size(), got, status)) return false;
            if (got == 0) break;
            begin_ = accounted_ = 0;
            end_ = got;
        }
        size_t take = std::min(n - count, end_ - begin_);
        std::memcpy(buffer + count, buffer_.data() + begin_, take);
        begin_ += take;
        count += take;
    }
    offset_ += count;
    return true;
}

OasCblockInput::OasCblockInput(InputStream& file, uint64_t compressed, uint64_t uncompressed,
                               std::string context)
    : file_(file), compressed_left_(compressed), uncompressed_(uncompressed),
      context_(std::move(context)) {}

OasCblockInput::~OasCblockInput() {
    if (initialized_) inflateEnd(&stream_);
}

bool OasCblockInput::failure(ErrorHandler& status, const char* detail) {
    status.error(context_ + ", decompressed byte " + std::to_string(offset_) + ": " + detail);
    return false;
}

bool OasCblockInput::fill(ErrorHandler& status) {
    begin_ = end_ = 0;
    if (ended_) return true;
    if (!initialized_) {
        if (inflateInit2(&stream_, -15) != Z_OK) return failure(status, "invalid raw DEFLATE stream");
        initialized_ = true;
    }
    stream_.next_out = window_.data();
    stream_.avail_out = uInt(window_.size());
    while (stream_.avail_out == window_.size() && !ended_) {
        if (stream_.avail_in == 0 && compressed_left_ > 0) {
            size_t got = 0;
            size_t want = size_t(std::min<uint64_t>(compressed_left_, input_.size()));
            if (!file_.read(input_.data(), want, got, status)) return false;
            if (got == 0) return failure(status, "truncated raw DEFLATE stream");
            compressed_left_ -= got;
            stream_.next_in = input_.data();
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
    end_ = window_.size() - stream_.avail_out;
    produced_ += end_;
    if (produced_ > uncompressed_)
        return failure(status, "decompressed byte count exceeds the declared count");
    return true;
}

bool OasCblockInput::read(uint8_t* buffer, size_t n, size_t& count, ErrorHandler& status) {
    count = 0;
    while (count < n) {
        if (begin_ == end_) {
            if (ended_) break;
            if (!fill(status)) return false;
            if (begin_ == end_) break;
        }
        size_t take = std::min(n - count, end_ - begin_);
        std::memcpy(buffer + count, window_.data() + begin_, take);
        begin_ += take;
        count += take;
        offset_ += take;
    }
    return true;
}

bool OasCblockInput::finish(ErrorHandler& status) {
    if (begin_ == end_ && !ended_ && !fill(status)) return false;
    if (begin_ != end_ || produced_ > uncompressed_)
        return failure(status, "decompressed byte count exceeds the declared count");
    if (!ended_) return failure(status, "truncated raw DEFLATE stream");
    if (produced_ != uncompressed_)
        return failure(status, "decompressed byte count does not match the declared count");
    if (stream_.avail_in > 0 || compressed_left_ > 0)
        return failure(status, "raw DEFLATE stream has extra compressed payload");
    return true;
}

}  // namespace whistle::layout
