// GDSII records read one at a time, each checked for a sound header and a payload that suits
// its data type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gdsii_format.hpp"
#include "streams.hpp"

namespace whistle::layout::gdsii {

struct RecordData {
    uint8_t type = 0;
    uint8_t data_type = 0;
    uint64_t offset = 0;  // of the header
    std::vector<uint8_t> payload;

    std::string name() const { return record_name(type); }
    bool empty() const { return payload.empty(); }
    int16_t int16(size_t index) const {
        return int16_t(uint16_t(payload[2 * index] << 8 | payload[2 * index + 1]));
    }
    int32_t int32(size_t index) const {
        const uint8_t* p = payload.data() + 4 * index;
        return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
    }
    // One integer of either width (LAYER, DATATYPE, TEXTTYPE); false for any other payload.
    bool tag(uint32_t& out) const;
    // The text without its NUL padding.
    std::string text() const;
};

class RecordReader {
public:
    RecordReader(InputStream& in, ErrorHandler& status) : in_(in), status_(status) {}

    // The next record; false with the failure in the status. `context` names where the record
    // is read, for messages.
    bool next(std::string_view context);
    // Makes the current record the next one again (one record of look-ahead).
    void push_back() { pending_ = true; }
    const RecordData& current() const { return record_; }

    // "<record> record at byte <offset> in <context>: <detail>" for the current record.
    bool fail(std::string_view context, std::string_view detail);

    InputStream& stream() { return in_; }

private:
    bool read_exactly(uint8_t* buffer, size_t n, std::string_view item);

    InputStream& in_;
    ErrorHandler& status_;
    RecordData record_;
    bool pending_ = false;
};

}  // namespace whistle::layout::gdsii
