#include "core/store/store.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/foundation/properties.hpp"

namespace whistle {

namespace {

CodecTable& codec_table() {
    static CodecTable table = [] {
        CodecTable t{};
        add_foundation_codecs(t);
        add_geometry_codecs(t);
        add_model_codecs(t);
        add_component_codecs(t);
        add_circuit_codecs(t);
        add_solid_codecs(t);
        return t;
    }();
    return table;
}

std::unique_ptr<ValueCodec>& installed_value_codec() {
    static std::unique_ptr<ValueCodec> codec;
    return codec;
}

[[noreturn]] void invalid_value(const char* key) {
    throw StoreError(std::string("Invalid value for key '") + key + "'.");
}

}  // namespace

const TypeCodec& type_codec(TypeCode code) { return codec_table()[size_t(code)]; }

void set_type_codec(TypeCode code, const TypeCodec& codec) { codec_table()[size_t(code)] = codec; }

const ValueCodec& value_codec() {
    if (!installed_value_codec()) throw StoreError("Interpreter values cannot be stored here.");
    return *installed_value_codec();
}

void set_value_codec(std::unique_ptr<ValueCodec> codec) { installed_value_codec() = std::move(codec); }

void run_unreported(const std::function<void()>& action) {
    if (installed_value_codec()) {
        installed_value_codec()->run_unreported(action);
        return;
    }
    try {
        action();
    } catch (...) {
    }
}

StoringGuard::StoringGuard(std::vector<const BaseType*>& stack, const BaseType& object) : stack_(stack) {
    if (std::find(stack.begin(), stack.end(), &object) != stack.end())
        throw StoreError(std::string(type_name(int(object.type_code()))) + " is self-referencing.");
    stack.push_back(&object);
}

void TwfPayloadWriter::ref(const std::shared_ptr<BaseType>& object) {
    if (!object) {
        count(0);
        return;
    }
    count(store_.location(object));
}

std::shared_ptr<BaseType> TwfPayloadReader::ref(std::initializer_list<TypeCode> expected,
                                                std::string_view kind, bool required) {
    return store_.at(count(), expected, kind, required);
}

const json& field(const json& form, const char* key) {
    if (!form.is_object()) throw StoreError(std::string("key '") + key + "' not found");
    auto it = form.find(key);
    if (it == form.end()) throw StoreError(std::string("key '") + key + "' not found");
    return *it;
}

int64_t integer_field(const json& form, const char* key) {
    const json& value = field(form, key);
    if (value.is_number_integer() && !(value.is_number_unsigned() && value.get<uint64_t>() > INT64_MAX))
        return value.get<int64_t>();
    invalid_value(key);
}

double number_field(const json& form, const char* key) {
    const json& value = field(form, key);
    if (!value.is_number()) invalid_value(key);
    return value.get<double>();
}

bool bool_field(const json& form, const char* key) {
    const json& value = field(form, key);
    if (!value.is_boolean()) invalid_value(key);
    return value.get<bool>();
}

std::string string_field(const json& form, const char* key) {
    const json& value = field(form, key);
    if (!value.is_string()) invalid_value(key);
    return value.get<std::string>();
}

const json& array_field(const json& form, const char* key) {
    const json& value = field(form, key);
    if (!value.is_array()) invalid_value(key);
    return value;
}

const json& object_field(const json& form, const char* key) {
    const json& value = field(form, key);
    if (!value.is_object()) invalid_value(key);
    return value;
}

json real_json(double value) {
    if (std::isfinite(value)) return value;
    return std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
}

double real_value(const json& value, const char* key) {
    if (value.is_number()) return value.get<double>();
    if (value == "nan") return std::nan("");
    if (value == "inf") return INFINITY;
    if (value == "-inf") return -INFINITY;
    invalid_value(key);
}

json vector_json(const Vector& v) { return json::array({v.x, v.y}); }

Vector vector_value(const json& value, const char* key) {
    if (!value.is_array() || value.size() != 2 || !value[0].is_number_integer() ||
        !value[1].is_number_integer())
        invalid_value(key);
    return {value[0].get<Coord>(), value[1].get<Coord>()};
}

Vector vector_field(const json& form, const char* key) { return vector_value(field(form, key), key); }

// ---- Base64 ---------------------------------------------------------------------------------

namespace {
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64_encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? uint8_t(bytes[i + k]) : 0);
        for (size_t k = 0; k < 4; ++k)
            text.push_back(k <= n ? kBase64[(group >> (18 - 6 * k)) & 63] : '=');
    }
    return text;
}

std::string base64_decode(std::string_view text) {
    if (text.size() % 4 != 0) throw StoreError("Invalid base64 data.");
    auto digit = [](char c) -> int {
        const char* found = std::strchr(kBase64, c);
        return c != 0 && found ? int(found - kBase64) : -1;
    };
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=' && text[i + 3] == '=') : 0;
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int d = k < 4 - padding ? digit(text[i + k]) : 0;
            if (d < 0) throw StoreError("Invalid base64 data.");
            group = group << 6 | uint32_t(d);
        }
        for (size_t k = 0; k < 3 - padding; ++k) bytes.push_back(char((group >> (16 - 8 * k)) & 0xFF));
    }
    return bytes;
}

json bytes_json(const std::string& bytes) {
    try {
        (void)json(bytes).dump();  // refuses what is not UTF-8
        return bytes;
    } catch (const json::type_error&) {
        return json{{"bytes", base64_encode(bytes)}};
    }
}

std::string bytes_value(const json& value, const char* key) {
    if (value.is_string()) return value.get<std::string>();
    if (!value.is_object() || value.size() != 1 || !value.contains("bytes") || !value["bytes"].is_string())
        invalid_value(key);
    try {
        return base64_decode(value["bytes"].get<std::string>());
    } catch (const StoreError&) {
        invalid_value(key);
    }
}

// ---- Properties ---------------------------------------------------------------------------

namespace {

json item_to_json(const PropertyItem& item) {
    return std::visit(
        [](const auto& value) -> json {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return bytes_json(value);
            } else if constexpr (std::is_same_v<T, PropertyItem::List>) {
                json list = json::array();
                for (const PropertyItem& inner : value) list.push_back(item_to_json(inner));
                return list;
            } else {
                return value;
            }
        },
        item.value);
}

PropertyItem item_from_json(const json& value, int depth) {
    if (depth > 64) throw StoreError("Properties nested too deeply.");
    if (value.is_number_integer()) return {value.get<int64_t>()};
    if (value.is_number_float()) return {value.get<double>()};
    if (value.is_string()) return {value.get<std::string>()};
    if (value.is_array()) {
        PropertyItem::List list;
        for (const json& inner : value) list.push_back(item_from_json(inner, depth + 1));
        return {std::move(list)};
    }
    if (value.is_object()) {
        try {
            return {bytes_value(value, "properties")};
        } catch (const StoreError&) {
        }
    }
    throw StoreError("Invalid property value.");
}

}  // namespace

json properties_to_json(const Properties& properties) {
    json result = json::object();
    for (const auto& [key, value] : properties.entries()) {
        json items = json::array();
        for (const PropertyItem& item : value) items.push_back(item_to_json(item));
        result[key] = std::move(items);
    }
    return result;
}

std::shared_ptr<Properties> properties_from_json(const json& value) {
    if (!value.is_object()) throw StoreError("Invalid value for key 'properties'.");
    auto properties = std::make_shared<Properties>();
    for (const auto& [key, items] : value.items()) {
        if (!items.is_array()) throw StoreError("Invalid property value.");
        PropertyValue stored;
        for (const json& item : items) stored.push_back(item_from_json(item, 0));
        properties->set(key, std::move(stored));
    }
    return properties;
}

}  // namespace whistle
