// GDSII records read one at a time, each checked for a sound header and a payload that suits
// its data type.
#pragma once

#include <cstdint>
#include <span>
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
    // Valid until the next record is read.
    std::span<const uint8_t> payload;

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

// Where a record is read, for messages: a place ("library", "cell 'A'"), or an element of the
// given kind in that place. Spelled out only when a message needs it.
struct Context {
    Context(const char* place) : place(place) {}
    explicit Context(std::string_view place) : place(place) {}
    Context(std::string_view place, uint8_t element) : place(place), element(element), in_element(true) {}

    std::string text() const;

    std::string_view place;
    uint8_t element = 0;
    bool in_element = false;
};

class RecordReader {
public:
    RecordReader(InputStream& in, ErrorHandler& status);

    // The next record; false with the failure in the status.
    bool next(const Context& context);
    // Makes the current record the next one again (one record of look-ahead).
    void push_back() { pending_ = true; }
    const RecordData& current() const { return record_; }

    // "<record> record at byte <offset> in <context>: <detail>" for the current record.
    bool fail(const Context& context, std::string_view detail);

    // The unread bytes after the last record, a block at a time from `offset`; false at the end
    // of the data or when the source fails.
    bool rest(std::span<const uint8_t>& bytes, uint64_t& offset);

private:
    // Offset of the next unread byte.
    uint64_t position() const { return in_.offset() - (end_ - begin_); }
    // At least `n` unread bytes in the buffer, or as many as the source still has.
    bool fill(size_t n);
    // The next `n` bytes: of the header, or else of the current record's payload (for messages).
    bool take(size_t n, bool header, const uint8_t*& out);
    // fill() for take(); a truncated item is a failure.
    bool refill(size_t n, bool header);

    InputStream& in_;
    ErrorHandler& status_;
    // Whole records are read from here: one large read from the source serves many.
    std::vector<uint8_t> buffer_;
    size_t begin_ = 0;
    size_t end_ = 0;
    RecordData record_;
    bool pending_ = false;
};

}  // namespace whistle::layout::gdsii
