#include "core/store/json_store.hpp"

#include <algorithm>

#include "core/foundation/properties.hpp"

namespace whistle {

namespace {

// Loads nest only through absurdly deep hierarchies or crafted documents.
constexpr size_t kMaxDepth = 1000;
// Nesting of values within the document; forms and the values they hold stay far below it.
constexpr int kMaxNesting = 1024;

std::string name_of(TypeCode type) { return std::string(type_name(int(type))); }

// "Expected type 'A', found 'X'.", "Expected type 'A' or 'B', found 'X'." or, for wider
// families, "Expected <kind> type, found 'X'.".
StoreError type_mismatch(std::initializer_list<TypeCode> expected, std::string_view kind,
                         const std::string& found) {
    std::string text = "Expected ";
    if (expected.size() <= 2) {
        text += "type ";
        for (const TypeCode* it = expected.begin(); it != expected.end(); ++it)
            text += (it == expected.begin() ? "'" : " or '") + name_of(*it) + "'";
    } else {
        text += std::string(kind) + " type";
    }
    return StoreError(text + ", found '" + found + "'.");
}

}  // namespace

json JsonStoreWriter::ref(const std::shared_ptr<BaseType>& object) {
    std::string id = object->id_text();
    if (data_.contains(id)) return id;
    const TypeCode type = object->type_code();
    const TypeCodec& codec = type_codec(type);
    if (!codec.to_json) throw StoreError("Unsupported type in twf stream.");
    json form = json::object();
    {
        StoringGuard guard(in_progress_, *object);
        codec.to_json(*object, form, *this);
    }
    reached_.emplace_back(id, object);
    form["type"] = name_of(type);
    form["type_version"] = "0.0";
    const Properties* properties = object->existing_properties();
    form["properties"] = properties ? properties_to_json(*properties) : json::object();
    data_[id] = std::move(form);
    return id;
}

std::string JsonStoreWriter::document(const std::vector<std::shared_ptr<BaseType>>& top) {
    json top_content = json::array();
    for (const auto& object : top) top_content.push_back(ref(object));
    content_size_ = reached_.size();
    json document = json::object();
    document["config"] = config_to_json(*this);
    document["data"] = data_;
    document["properties"] = json::object();
    document["top_content"] = std::move(top_content);
    document["type"] = "TarnWhistleStore";
    document["type_version"] = "0.0";
    return document.dump();
}

JsonStoreReader::JsonStoreReader(std::string_view text) {
    // Copying and printing values recurse: deeper nesting than any form has is refused while
    // parsing, before such a value exists.
    bool too_deep = false;
    auto bounded = [&too_deep](int depth, json::parse_event_t, json&) {
        too_deep = too_deep || depth > kMaxNesting;
        return !too_deep;
    };
    document_ = json::parse(text, bounded, false);
    if (document_.is_discarded() || too_deep) throw StoreError("Invalid JSON store document.");
    const std::string type = string_field(document_, "type");
    if (type != "TarnWhistleStore")
        throw StoreError("Expected type 'TarnWhistleStore', found '" + type + "'.");
    object_field(document_, "data");
    array_field(document_, "top_content");
    config_ = field(document_, "config");
}

std::vector<std::shared_ptr<BaseType>> JsonStoreReader::top_content() {
    std::vector<std::shared_ptr<BaseType>> result;
    for (const json& id : document_["top_content"]) result.push_back(ref(id, {}, "Object", true));
    return result;
}

std::shared_ptr<BaseType> JsonStoreReader::ref(const json& value, std::initializer_list<TypeCode> expected,
                                               std::string_view kind, bool required) {
    const std::string what = kind.empty() ? "Object" : std::string(kind);
    if (value.is_null()) {
        if (!required) return nullptr;
        throw StoreError(what + " required, but missing in stored data.");
    }
    if (!value.is_string()) throw StoreError(what + " not found in data:" + value.dump());
    const std::string& id = value.get_ref<const std::string&>();
    std::shared_ptr<BaseType> object;
    if (auto found = loaded_.find(id); found != loaded_.end()) {
        object = found->second;
    } else {
        const json& data = document_["data"];
        auto entry = data.find(id);
        if (entry == data.end()) throw StoreError(what + " not found in data:" + id);
        if (std::find(in_progress_.begin(), in_progress_.end(), id) != in_progress_.end())
            throw StoreError(what + " " + id + " is self-referencing. Invalid file.");
        if (in_progress_.size() >= kMaxDepth)
            throw StoreError(what + " " + id + " is nested too deeply. Invalid file.");
        const std::string type_text = string_field(*entry, "type");
        const int code = type_code(type_text);
        if (code <= 0 || code >= kTypeCodeCount || !type_codec(TypeCode(code)).from_json)
            throw StoreError("Invalid object type found: " + std::to_string(code) + ".");
        const TypeCode type = TypeCode(code);
        if (expected.size() && std::find(expected.begin(), expected.end(), type) == expected.end())
            throw type_mismatch(expected, kind, type_text);
        in_progress_.push_back(id);
        try {
            object = type_codec(type).from_json(*entry, *this);
        } catch (...) {
            in_progress_.pop_back();
            throw;
        }
        in_progress_.pop_back();
        if (!object) throw StoreError("Invalid object type found: " + std::to_string(code) + ".");
        if (auto properties = entry->find("properties"); properties != entry->end())
            object->set_properties(properties_from_json(*properties));
        try {
            object->set_id_text(id);
        } catch (const std::exception&) {
            // Ids that are not identifiers keep the fresh one; the document still loads.
        }
        loaded_[id] = object;
    }
    if (expected.size() && std::find(expected.begin(), expected.end(), object->type_code()) == expected.end())
        throw type_mismatch(expected, kind, name_of(object->type_code()));
    return object;
}

}  // namespace whistle
