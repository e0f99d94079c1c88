#include "gdsii_record_reader.hpp"

#include <cstring>

namespace whistle::layout::gdsii {

namespace {

// Holds any record (at most 65,535 bytes) whole.
constexpr size_t kBufferBytes = 65536;

}  // namespace

bool RecordData::tag(uint32_t& out) const {
    if (data_type == kInt16 && payload.size() == 2) {
        out = uint16_t(int16(0));
        return true;
    }
    if (data_type == kInt32 && payload.size() == 4) {
        out = uint32_t(int32(0));
        return true;
    }
    return false;
}

std::string RecordData::text() const {
    std::string result(payload.begin(), payload.end());
    while (!result.empty() && result.back() == '\0') result.pop_back();
    return result;
}

std::string Context::text() const {
    if (!in_element) return std::string(place);
    return record_name(element) + " element in " + std::string(place);
}

RecordReader::RecordReader(InputStream& in, ErrorHandler& status)
    : in_(in), status_(status), buffer_(kBufferBytes) {}

bool RecordReader::fail(const Context& context, std::string_view detail) {
    status_.error(record_failure(record_.name(), record_.offset, context.text(), detail));
    return false;
}

bool RecordReader::fill(size_t n) {
    if (end_ - begin_ >= n) return true;
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < n) {
        size_t count = 0;
        if (!in_.read(buffer_.data() + end_, buffer_.size() - end_, count, status_)) return false;
        if (count == 0) break;
        end_ += count;
    }
    return true;
}

bool RecordReader::take(size_t n, bool header, const uint8_t*& out) {
    if (end_ - begin_ < n && !refill(n, header)) return false;
    out = buffer_.data() + begin_;
    begin_ += n;
    return true;
}

bool RecordReader::refill(size_t n, bool header) {
    uint64_t start = position();
    if (!fill(n)) return false;
    if (end_ - begin_ >= n) return true;
    std::string item = header ? "GDSII record header"
                              : "GDSII record " + hex_byte(record_.type) + " payload";
    status_.error(stream_failure(item, start, "truncated input"));
    return false;
}

bool RecordReader::rest(std::span<const uint8_t>& bytes, uint64_t& offset) {
    offset = position();
    if (!fill(1) || begin_ == end_) return false;
    bytes = {buffer_.data() + begin_, end_ - begin_};
    begin_ = end_;
    return true;
}

namespace {

// Payload sizes each data type admits.
bool payload_fits(uint8_t data_type, size_t size) {
    switch (data_type) {
        case kNoData: return size == 0;
        case kBitArray: return size == 2;
        case kInt16: return size % 2 == 0;
        case kInt32:
        case kReal4: return size % 4 == 0;
        case kReal8: return size % 8 == 0;
        case kAscii: return true;
        default: return false;
    }
}

}  // namespace

bool RecordReader::next(const Context& context) {
    if (pending_) {
        pending_ = false;
        return true;
    }
    record_.offset = position();
    record_.payload = {};
    const uint8_t* header = nullptr;
    if (!take(4, true, header)) return false;
    record_.type = header[2];
    record_.data_type = header[3];
    size_t length = size_t(header[0]) << 8 | header[1];
    if (length < 4 || length % 2 != 0) return fail(context, "invalid record length");
    if (!payload_fits(record_.data_type, length - 4))
        return fail(context, "invalid data type or payload size");
    const uint8_t* payload = nullptr;
    if (length > 4 && !take(length - 4, false, payload)) return false;
    record_.payload = {payload, length - 4};
    return true;
}

}  // namespace whistle::layout::gdsii
