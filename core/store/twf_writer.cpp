#include "core/store/twf_writer.hpp"

#include <algorithm>

#include "core/foundation/properties.hpp"
#include "core/store/stored_config.hpp"

namespace whistle {

namespace {

constexpr size_t kFlushSize = size_t(1) << 22;

}  // namespace

TwfWriter::TwfWriter(const std::string& filename)
    : file_(filename, std::ios::binary | std::ios::trunc), content_mode_(false) {
    if (!file_) throw StoreError("Unable to open '" + filename + "'.");
    append(header());
    flush();
    file_.flush();
    if (!file_) throw StoreError("Unable to write header to twf stream.");
}

TwfWriter::TwfWriter() : content_mode_(true) { append(header()); }

std::string TwfWriter::header() const {
    std::string bytes(kTwfIdentifier, sizeof kTwfIdentifier);
    append_fixed(bytes, kTwfVersion, 2);
    bytes.append(16, '\0');
    return bytes;
}

void TwfWriter::append(const std::string& bytes) {
    pending_ += bytes;
    size_ += bytes.size();
    if (!content_mode_ && pending_.size() >= kFlushSize) flush();
}

void TwfWriter::flush() {
    file_.write(pending_.data(), std::streamsize(pending_.size()));
    pending_.clear();
    if (!file_) throw StoreError("File I/O error.");
}

json TwfWriter::ref(const std::shared_ptr<BaseType>& object) { return json::binary({}, store(object)); }

uint64_t TwfWriter::store(const std::shared_ptr<BaseType>& object) {
    const Uuid& id = object->id();
    if (auto found = stored_.find(id); found != stored_.end()) return found->second.location;
    const TypeCode type = object->type_code();
    const std::string record = record_of(object);
    const uint64_t location = size_;
    append(record);
    stored_[id] = {location, type};
    versions_[size_t(type)] = type_codec(type).version;
    return location;
}

// The type byte, the properties location (not in content mode) and the payload. Referenced
// records are stored on the way, before this one.
std::string TwfWriter::record_of(const std::shared_ptr<BaseType>& object) {
    const TypeCode type = object->type_code();
    const TypeCodec& codec = type_codec(type);
    if (!codec.to_json && !codec.to_twf) throw StoreError("Unsupported type in twf stream.");
    StoringGuard guard(in_progress_, *object);
    std::string record(1, char(type));
    if (!content_mode_) {
        const bool has_properties = type != TypeCode::Properties && object->existing_properties() &&
                                    !object->existing_properties()->entries().empty();
        append_count(record, has_properties ? store(object->properties()) : 0);
    }
    if (codec.to_twf) {
        TwfPayloadWriter out(record, *this);
        codec.to_twf(*object, out);
    } else {
        json form = json::object();
        codec.to_json(*object, form, *this);
        append_tree(record, form);
    }
    return record;
}

void TwfWriter::write_explicit(const std::shared_ptr<BaseType>& object) {
    const uint64_t location = store(object);
    for (const Entry& entry : explicit_)
        if (entry.location == location) return;
    explicit_.push_back({location, object->type_code()});
}

std::string TwfWriter::config_bytes() {
    std::string bytes;
    append_tree(bytes, config_to_json(*this));
    return bytes;
}

void TwfWriter::finish(const std::shared_ptr<BaseType>& stream_properties) {
    // Records the table refers to come first.
    const uint64_t properties = stream_properties ? store(stream_properties) : 0;
    const std::string config = config_bytes();
    std::string table;
    append_count(table, properties);
    table.push_back(char(kTypeCodeCount - 1));
    for (int code = 1; code < kTypeCodeCount; ++code) table.push_back(char(versions_[size_t(code)]));
    // All objects in the order of their store ids.
    std::vector<std::pair<Uuid, Entry>> all(stored_.begin(), stored_.end());
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    append_count(table, all.size());
    for (const auto& [id, entry] : all) {
        append_count(table, entry.location);
        table.push_back(char(entry.type));
    }
    append_count(table, explicit_.size());
    for (const Entry& entry : explicit_) {
        append_count(table, entry.location);
        table.push_back(char(entry.type));
    }
    append_string(table, config);
    const uint64_t table_location = size_;
    append(table);
    flush();
    std::string fields;
    append_fixed(fields, size_, 8);
    append_fixed(fields, table_location, 8);
    file_.seekp(10);
    file_.write(fields.data(), std::streamsize(fields.size()));
    file_.close();
    if (file_.fail()) throw StoreError("File I/O error.");
}

std::string TwfWriter::content(bool include_config) {
    if (include_config) {
        const std::string config = config_bytes();
        append_string(pending_, config);
    }
    return pending_;
}

}  // namespace whistle
