// Stored forms of the foundation types: properties, expressions, interpolators.
#include "core/foundation/properties.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

// ---- Properties: entries of named value lists; items tagged 1 integer, 2 double, 3 bytes,
// 4 list (whose nested lists are written as the empty tag 0).

enum PropertyTag : uint8_t { kEmpty, kInteger, kReal, kText, kList };

void write_item(const PropertyItem& item, TwfPayloadWriter& out, bool nested) {
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, int64_t>) {
                out.byte(kInteger);
                out.signed_value(value);
            } else if constexpr (std::is_same_v<T, double>) {
                out.byte(kReal);
                out.real(value);
            } else if constexpr (std::is_same_v<T, std::string>) {
                out.byte(kText);
                out.string(value);
            } else if (nested) {
                out.byte(kEmpty);
            } else {
                out.byte(kList);
                out.count(value.size());
                for (const PropertyItem& inner : value) write_item(inner, out, true);
            }
        },
        item.value);
}

// Empty tags are skipped: they stand for values that could not be stored.
bool read_item(TwfPayloadReader& in, PropertyItem& item, bool nested) {
    switch (in.byte()) {
        case kEmpty: return false;
        case kInteger: item.value = in.signed_value(); return true;
        case kReal: item.value = in.real(); return true;
        case kText: item.value = in.string(); return true;
        case kList: {
            if (nested) in.fail();
            PropertyItem::List list;
            for (size_t n = in.items(); n > 0; --n) {
                PropertyItem inner;
                if (read_item(in, inner, true)) list.push_back(std::move(inner));
            }
            item.value = std::move(list);
            return true;
        }
        default: in.fail();
    }
}

void properties_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& properties = static_cast<const Properties&>(object);
    out.count(properties.entries().size());
    for (const auto& [key, value] : properties.entries()) {
        out.string(key);
        out.count(value.size());
        for (const PropertyItem& item : value) write_item(item, out, false);
    }
}

std::shared_ptr<BaseType> properties_from_twf(TwfPayloadReader& in) {
    auto properties = std::make_shared<Properties>();
    for (size_t n = in.items(2); n > 0; --n) {
        std::string key = in.string();
        PropertyValue value;
        for (size_t m = in.items(); m > 0; --m) {
            PropertyItem item;
            if (read_item(in, item, false)) value.push_back(std::move(item));
        }
        properties->set(key, std::move(value));
    }
    return properties;
}

void properties_to_json_form(const BaseType& object, json& form, StoreWriter&) {
    form["entries"] = properties_to_json(static_cast<const Properties&>(object));
}

std::shared_ptr<BaseType> properties_from_json_form(const json& form, StoreReader&) {
    return properties_from_json(object_field(form, "entries"));
}

}  // namespace

void add_foundation_codecs(CodecTable& table) {
    table[size_t(TypeCode::Properties)] = {1, properties_to_json_form, properties_from_json_form,
                                           properties_to_twf, properties_from_twf};
}

}  // namespace whistle
