// Key-value container attached to any core object.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "base_type.hpp"

namespace whistle {

// One stored item: integer, float, bytes, or a list of items.
struct PropertyItem {
    using List = std::vector<PropertyItem>;
    std::variant<int64_t, double, std::string, List> value;

    bool operator==(const PropertyItem& other) const { return value == other.value; }
};

using PropertyValue = std::vector<PropertyItem>;

class Properties final : public Cloneable<Properties, BaseType> {
public:
    static constexpr const char* kGdsKey = "S_GDS_PROPERTY";

    Properties() : Cloneable(TypeCode::Properties) {}

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

    const PropertyValue* find(const std::string& key) const;
    void set(const std::string& key, PropertyValue value) { entries_[key] = std::move(value); }
    void erase(const std::string& key) { entries_.erase(key); }
    void add_gds_property(int64_t attribute, std::string value);

    const std::unordered_map<std::string, PropertyValue>& entries() const { return entries_; }

private:
    std::unordered_map<std::string, PropertyValue> entries_;
};

// Interpreter literal of a stored value: a single item alone, otherwise a tuple.
std::string property_literal(const PropertyValue& value);

}  // namespace whistle
