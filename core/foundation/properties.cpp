#include "properties.hpp"

#include <cstdio>

#include "text.hpp"

namespace whistle {

namespace {

std::string bytes_literal(const std::string& bytes) {
    std::string text = "b\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            text += '\\';
            text += char(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            text += hex;
        } else {
            text += char(c);
        }
    }
    return text + "\"";
}

std::string item_literal(const PropertyItem& item);

std::string tuple_literal(const PropertyItem::List& items) {
    std::string text = "(";
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += ", ";
        text += item_literal(items[i]);
    }
    if (items.size() == 1) text += ",";
    return text + ")";
}

std::string item_literal(const PropertyItem& item) {
    struct Visitor {
        std::string operator()(int64_t v) const { return std::to_string(v); }
        std::string operator()(double v) const { return float_literal(v); }
        std::string operator()(const std::string& v) const { return bytes_literal(v); }
        std::string operator()(const PropertyItem::List& v) const { return tuple_literal(v); }
    };
    return std::visit(Visitor{}, item.value);
}

}  // namespace

std::string property_literal(const PropertyValue& value) {
    if (value.size() == 1) return item_literal(value[0]);
    return tuple_literal(value);
}

std::string Properties::str(bool) const {
    std::string text = "Properties(**{";
    bool first = true;
    for (const auto& [key, value] : entries_) {
        if (!first) text += ", ";
        first = false;
        text += "\"" + key + "\": " + property_literal(value);
    }
    return text + "})";
}

bool Properties::equals(const BaseType& other) const {
    if (this == &other) return true;
    auto* o = dynamic_cast<const Properties*>(&other);
    return o && entries_ == o->entries_;
}

const PropertyValue* Properties::find(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

void Properties::add_gds_property(int64_t attribute, std::string value) {
    PropertyItem::List pair{PropertyItem{attribute}, PropertyItem{std::move(value)}};
    entries_[kGdsKey].push_back(PropertyItem{std::move(pair)});
}

}  // namespace whistle
