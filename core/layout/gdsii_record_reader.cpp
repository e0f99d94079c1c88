#include "gdsii_record_reader.hpp"

namespace whistle::layout::gdsii {

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

bool RecordReader::fail(std::string_view context, std::string_view detail) {
    status_.error(record_failure(record_.name(), record_.offset, context, detail));
    return false;
}

bool RecordReader::read_exactly(uint8_t* buffer, size_t n, std::string_view item) {
    uint64_t start = in_.offset();
    size_t count = 0;
    if (!in_.read(buffer, n, count, status_)) return false;
    if (count < n) {
        status_.error(stream_failure(item, start, "truncated input"));
        return false;
    }
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

bool RecordReader::next(std::string_view context) {
    if (pending_) {
        pending_ = false;
        return true;
    }
    uint8_t header[4];
    record_.offset = in_.offset();
    if (!read_exactly(header, 4, "GDSII record header")) return false;
    record_.type = header[2];
    record_.data_type = header[3];
    size_t length = size_t(header[0]) << 8 | header[1];
    if (length < 4 || length % 2 != 0) return fail(context, "invalid record length");
    if (!payload_fits(record_.data_type, length - 4))
        return fail(context, "invalid data type or payload size");
    record_.payload.resize(length - 4);
    if (record_.payload.empty()) return true;
    return read_exactly(record_.payload.data(), record_.payload.size(),
                        "GDSII record " + hex_byte(record_.type) + " payload");
}

}  // namespace whistle::layout::gdsii
