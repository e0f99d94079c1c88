#include "core/store/native_value.hpp"

#include <cmath>

namespace whistle {

namespace {

constexpr int kMaxDepth = 200;

[[noreturn]] void malformed() { throw StoreError(kUnrecognizedValue); }

}  // namespace

const json& native_item(const json& tagged, size_t index) {
    if (index >= tagged.size()) malformed();
    return tagged[index];
}

double native_real(const json& tagged, size_t index) {
    const json& value = native_item(tagged, index);
    if (!value.is_number() && !value.is_string()) malformed();
    try {
        return real_value(value, "value");
    } catch (const StoreError&) {
        malformed();
    }
}

const std::string& native_string(const json& tagged, size_t index) {
    const json& value = native_item(tagged, index);
    if (!value.is_string()) malformed();
    return value.get_ref<const std::string&>();
}

const json& native_array(const json& tagged, size_t index) {
    const json& value = native_item(tagged, index);
    if (!value.is_array()) malformed();
    return value;
}

namespace {

json read_native(TwfPayloadReader& in, int depth) {
    if (depth > kMaxDepth) malformed();
    const uint8_t tag = in.byte();
    if (tag > uint8_t(ValueTag::Reference)) malformed();
    json tagged = json::array({tag});
    switch (ValueTag(tag)) {
        case ValueTag::None:
        case ValueTag::False:
        case ValueTag::True: break;
        case ValueTag::Integer: tagged.push_back(in.signed_value()); break;
        case ValueTag::Float: tagged.push_back(real_json(in.real())); break;
        case ValueTag::Complex: {
            const double re = in.real(), im = in.real();
            tagged.push_back(real_json(re));
            tagged.push_back(real_json(im));
            break;
        }
        case ValueTag::String: tagged.push_back(in.string()); break;
        case ValueTag::Bytes:
        case ValueTag::SolverObject: tagged.push_back(base64_encode(in.string())); break;
        case ValueTag::Dict: {
            json pairs = json::array();
            for (size_t n = in.items(2); n > 0; --n) {
                json key = read_native(in, depth + 1);
                pairs.push_back(json::array({std::move(key), read_native(in, depth + 1)}));
            }
            tagged.push_back(std::move(pairs));
            break;
        }
        case ValueTag::Tuple:
        case ValueTag::List:
        case ValueTag::Set: {
            json items = json::array();
            for (size_t n = in.items(); n > 0; --n) items.push_back(read_native(in, depth + 1));
            tagged.push_back(std::move(items));
            break;
        }
        case ValueTag::Pattern: {
            tagged.push_back(in.string());
            tagged.push_back(in.signed_value());
            break;
        }
        case ValueTag::Reference: {
            const uint64_t location = in.count();
            if (location == 0) malformed();
            tagged.push_back(json::binary({}, location));
            break;
        }
    }
    return tagged;
}

}  // namespace

ValueTag native_tag(const json& tagged) {
    if (!tagged.is_array() || tagged.empty() || !tagged[0].is_number_integer()) malformed();
    const int64_t tag = tagged[0].get<int64_t>();
    if (tag < 0 || tag > int64_t(ValueTag::Reference)) malformed();
    return ValueTag(tag);
}

void append_native(const json& tagged, TwfPayloadWriter& out) {
    const ValueTag tag = native_tag(tagged);
    out.byte(uint8_t(tag));
    switch (tag) {
        case ValueTag::None:
        case ValueTag::False:
        case ValueTag::True: break;
        case ValueTag::Integer: {
            const json& value = native_item(tagged, 1);
            if (!value.is_number_integer()) malformed();
            out.signed_value(value.get<int64_t>());
            break;
        }
        case ValueTag::Float: out.real(native_real(tagged, 1)); break;
        case ValueTag::Complex:
            out.real(native_real(tagged, 1));
            out.real(native_real(tagged, 2));
            break;
        case ValueTag::String: out.string(native_string(tagged, 1)); break;
        case ValueTag::Bytes:
        case ValueTag::SolverObject: out.string(base64_decode(native_string(tagged, 1))); break;
        case ValueTag::Dict: {
            const json& pairs = native_array(tagged, 1);
            out.count(pairs.size());
            for (const json& pair : pairs) {
                if (!pair.is_array() || pair.size() != 2) malformed();
                append_native(pair[0], out);
                append_native(pair[1], out);
            }
            break;
        }
        case ValueTag::Tuple:
        case ValueTag::List:
        case ValueTag::Set: {
            const json& items = native_array(tagged, 1);
            out.count(items.size());
            for (const json& value : items) append_native(value, out);
            break;
        }
        case ValueTag::Pattern: {
            out.string(native_string(tagged, 1));
            const json& flags = native_item(tagged, 2);
            if (!flags.is_number_integer()) malformed();
            out.signed_value(flags.get<int64_t>());
            break;
        }
        case ValueTag::Reference: {
            const json& location = native_item(tagged, 1);
            if (!location.is_binary()) malformed();
            out.count(location.get_binary().subtype());
            break;
        }
    }
}

json read_native(TwfPayloadReader& in) { return read_native(in, 0); }

}  // namespace whistle
