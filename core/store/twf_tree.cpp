// JSON forms inside twf records: a tagged tree of the twf encodings.
#include "core/store/store.hpp"

namespace whistle {

namespace {

enum Tag : uint8_t {
    kNull, kFalse, kTrue, kInteger, kUnsigned, kReal, kString, kArray, kObject, kReference,
};

// Deeper trees come only from corrupt files: no JSON form nests this far.
constexpr int kMaxDepth = 200;

json read_tree(ByteReader& in, int depth) {
    if (depth > kMaxDepth) in.fail();
    switch (in.byte()) {
        case kNull: return nullptr;
        case kFalse: return false;
        case kTrue: return true;
        case kInteger: return in.signed_value();
        case kUnsigned: return in.count();
        case kReal: return in.real();
        case kString: return in.string();
        case kArray: {
            json array = json::array();
            for (size_t n = in.items(); n > 0; --n) array.push_back(read_tree(in, depth + 1));
            return array;
        }
        case kObject: {
            json object = json::object();
            for (size_t n = in.items(2); n > 0; --n) {
                std::string key = in.string();
                object[key] = read_tree(in, depth + 1);
            }
            return object;
        }
        case kReference: return json::binary({}, in.count());
        default: in.fail();
    }
}

}  // namespace

void append_tree(std::string& out, const json& value) {
    switch (value.type()) {
        case json::value_t::null: out.push_back(char(kNull)); break;
        case json::value_t::boolean: out.push_back(char(value.get<bool>() ? kTrue : kFalse)); break;
        case json::value_t::number_integer:
            out.push_back(char(kInteger));
            append_signed(out, value.get<int64_t>());
            break;
        case json::value_t::number_unsigned:
            if (value.get<uint64_t>() <= uint64_t(INT64_MAX)) {
                out.push_back(char(kInteger));
                append_signed(out, value.get<int64_t>());
            } else {
                out.push_back(char(kUnsigned));
                append_count(out, value.get<uint64_t>());
            }
            break;
        case json::value_t::number_float:
            out.push_back(char(kReal));
            append_double(out, value.get<double>());
            break;
        case json::value_t::string:
            out.push_back(char(kString));
            append_string(out, value.get_ref<const std::string&>());
            break;
        case json::value_t::array:
            out.push_back(char(kArray));
            append_count(out, value.size());
            for (const json& item : value) append_tree(out, item);
            break;
        case json::value_t::object:
            out.push_back(char(kObject));
            append_count(out, value.size());
            for (const auto& [key, item] : value.items()) {
                append_string(out, key);
                append_tree(out, item);
            }
            break;
        case json::value_t::binary:
            out.push_back(char(kReference));
            append_count(out, value.get_binary().subtype());
            break;
        case json::value_t::discarded: throw StoreError("Unsupported type in twf stream.");
    }
}

json read_tree(ByteReader& in) { return read_tree(in, 0); }

}  // namespace whistle
