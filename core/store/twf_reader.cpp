#include "core/store/twf_reader.hpp"

#include <algorithm>
#include <cstring>

#include "core/foundation/properties.hpp"
#include "core/store/twf_writer.hpp"

namespace whistle {

namespace {

constexpr const char* kCorruptTable = "Invalid twf file: corrupted table of contents.";
// Loads nest only through corrupt forward references or absurdly deep hierarchies.
constexpr int kMaxDepth = 1000;

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string name_of(TypeCode type) { return std::string(type_name(int(type))); }

bool matches(TypeCode type, std::initializer_list<TypeCode> expected) {
    return expected.size() == 0 || std::find(expected.begin(), expected.end(), type) != expected.end();
}

// "Expected type 'Component <= 1' , found 'Reference == 0'."; for families of types (any
// planar structure, any solid) "Unexpected structure type: invalid or currupted file.".
StoreError type_mismatch(std::initializer_list<TypeCode> expected, std::string_view kind, TypeCode found,
                         uint8_t file_version) {
    if (expected.size() > 2)
        return StoreError("Unexpected " + std::string(kind) + " type: invalid or currupted file.");
    const TypeCode want = expected.size() ? *expected.begin() : found;
    return StoreError("Expected type '" + name_of(want) + " <= " +
                      std::to_string(type_codec(want).version) + "' , found '" + name_of(found) +
                      " == " + std::to_string(file_version) + "'.");
}

}  // namespace

TwfReader::TwfReader(std::string data) : data_(std::move(data)) {
    if (data_.size() < kTwfHeaderSize) throw StoreError("Invalid header size for twf stream.");
    if (std::memcmp(data_.data(), kTwfIdentifier, sizeof kTwfIdentifier) != 0)
        throw StoreError("Invalid identifier in twf stream header.");
    ByteReader header(data_, "Unable to read header from twf stream.");
    header.seek(8);
    version_ = uint16_t(header.fixed(2));
    if (version_ == 0)
        throw StoreError(
            "This twf file was created with a beta version of tarnwhistle and it is not "
            "supported by this release.");
    if (version_ > kTwfVersion)
        throw StoreError(
            "This twf file was created with a more recent version of tarnwhistle and cannot be "
            "loaded in this version.");
    if (header.fixed(8) != data_.size()) throw StoreError("Invalid twf stream size.");
    const uint64_t table = header.fixed(8);
    ByteReader in(data_, kCorruptTable);
    try {
        if (table < kTwfHeaderSize) in.fail();
        in.seek(size_t(std::min<uint64_t>(table, data_.size() + 1)));
        read_table(in);
    } catch (const StoreError&) {
        if (version_ < kTwfVersion) throw StoreError("This twf file is not supported by the TWF6 reader.");
        throw;
    }
}

void TwfReader::read_table(ByteReader& in) {
    properties_location_ = in.count();
    const uint8_t entries = in.byte();
    if (entries > kTypeCodeCount - 1)
        throw StoreError("Invalid type version table size: corrupted or invalid file.");
    for (uint8_t code = 1; code <= entries; ++code) versions_[code] = in.byte();
    auto read_entries = [&](std::vector<Entry>& out) {
        for (size_t n = in.items(2); n > 0; --n) {
            const uint64_t location = in.count();
            const uint8_t type = in.byte();
            if (type == 0 || type >= kTypeCodeCount || location < kTwfHeaderSize || location >= data_.size())
                in.fail();
            out.push_back({location, TypeCode(type)});
        }
    };
    read_entries(all_);
    std::vector<Entry> by_location = all_;
    std::sort(by_location.begin(), by_location.end(),
              [](const Entry& a, const Entry& b) { return a.location < b.location; });
    for (const Entry& entry : by_location) {
        if (!locations_.empty() && locations_.back() == entry.location) continue;  // listed twice
        locations_.push_back(entry.location);
        slots_.push_back(Slot{entry.type});
    }
    if (version_ >= 7) {
        read_entries(explicit_);
        for (const Entry& entry : explicit_)
            if (!slot_at(entry.location)) in.fail();
        config_bytes_ = in.string();
    } else {
        // Sixth-generation files keep only the grid and tolerance.
        const double grid = in.real(), tolerance = in.real();
        config_ = {{"grid", grid}, {"tolerance", tolerance}};
        config_parsed_ = true;
    }
}

TwfReader::Slot* TwfReader::slot_at(uint64_t location) {
    // Records are mostly read in file order: try the one after the last found first.
    if (next_slot_ < locations_.size() && locations_[next_slot_] == location) return &slots_[next_slot_++];
    auto it = std::lower_bound(locations_.begin(), locations_.end(), location);
    if (it == locations_.end() || *it != location) return nullptr;
    next_slot_ = size_t(it - locations_.begin()) + 1;
    return &slots_[next_slot_ - 1];
}

std::shared_ptr<BaseType> TwfReader::load(const Entry& entry) {
    return load(entry.location, {entry.type}, name_of(entry.type), true);
}

std::shared_ptr<BaseType> TwfReader::stream_properties() {
    return load(properties_location_, {TypeCode::Properties}, "Properties", false);
}

const json& TwfReader::config_record() {
    if (!config_parsed_) {
        config_parsed_ = true;
        if (!config_bytes_.empty()) {
            ByteReader in(config_bytes_, "Error deserializing config.");
            config_ = read_tree(in);
        }
    }
    return config_;
}

StoredConfig TwfReader::stored_config() {
    const json& record = config_record();
    if (record.is_null() || version_ < 7) return config_lengths(record);  // older files keep only these
    return config_from_json(record, *this);
}

std::shared_ptr<BaseType> TwfReader::ref(const json& value, std::initializer_list<TypeCode> expected,
                                         std::string_view kind, bool required) {
    uint64_t location = 0;
    if (value.is_binary())
        location = value.get_binary().subtype();
    else if (!value.is_null())
        throw StoreError(std::string(kind) + " reference is invalid: invalid or corrupted file.");
    return load(location, expected, kind, required);
}

std::shared_ptr<BaseType> TwfReader::load(uint64_t location, std::initializer_list<TypeCode> expected,
                                          std::string_view kind, bool required) {
    auto what = [&] { return kind.empty() ? std::string("Object") : std::string(kind); };
    if (location == 0) {
        if (!required) return nullptr;
        throw StoreError(what() + " required, but no location provided. Invalid twf file.");
    }
    Slot* found = slot_at(location);
    if (!found) throw StoreError(what() + " not found in data: unknown location 0x" + hex(location));
    Slot& slot = *found;
    if (slot.state == State::Loading)
        throw StoreError(what() + " at 0x" + hex(location) + " is self-referencing. Invalid file.");
    if (slot.state == State::Unloaded) {
        if (depth_ >= kMaxDepth)
            throw StoreError(what() + " at 0x" + hex(location) + " is nested too deeply. Invalid file.");
        slot.state = State::Loading;
        ++depth_;
        try {
            slot.object = read_record(location, expected, kind);
        } catch (...) {
            --depth_;
            slot.state = State::Unloaded;
            throw;
        }
        --depth_;
        slot.state = State::Loaded;
    }
    if (!matches(slot.object->type_code(), expected))
        throw type_mismatch(expected, kind, slot.object->type_code(), versions_[size_t(slot.object->type_code())]);
    return slot.object;
}

std::shared_ptr<BaseType> TwfReader::read_record(uint64_t location, std::initializer_list<TypeCode> expected,
                                                 std::string_view kind) {
    ByteReader head(data_, "Invalid twf file: corrupted record.");
    head.seek(size_t(location));
    const uint8_t type_byte = head.byte();
    const TypeCode type = type_byte < kTypeCodeCount ? TypeCode(type_byte) : TypeCode::Void;
    const TypeCodec& codec = type_codec(type);
    const uint8_t file_version = versions_[size_t(type)];
    if (type == TypeCode::Void || !matches(type, expected) || file_version > codec.version ||
        (!codec.from_json && !codec.from_twf))
        throw type_mismatch(expected, kind, type, file_version);
    const uint64_t properties_location = head.count();
    auto properties = std::static_pointer_cast<Properties>(
        load(properties_location, {TypeCode::Properties}, "Properties", false));
    std::string& corrupt = corrupt_messages_[size_t(type)];
    if (corrupt.empty())
        corrupt = "Unable to read " + name_of(type) + " from twf stream: invalid or corrupted file.";
    TwfPayloadReader in(data_, corrupt, *this);
    in.seek(head.position());
    std::shared_ptr<BaseType> object;
    if (codec.from_twf) {
        object = codec.from_twf(in);
    } else {
        const json form = read_tree(in);
        object = codec.from_json(form, *this);
    }
    if (!object) throw StoreError(corrupt);
    if (properties) object->set_properties(std::make_shared<Properties>(*properties));
    return object;
}

}  // namespace whistle
