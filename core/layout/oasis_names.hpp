// One OASIS name table (cell names, text strings, property names or property strings): names
// by reference number, filled by implicitly or explicitly numbered records, with provisional
// names for numbers that are used before their record arrives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace whistle::layout {

class OasNameTable {
public:
    // `kind` names the table in messages, `provisional_kind` in provisional names.
    OasNameTable(const char* kind, const char* provisional_kind)
        : kind_(kind), provisional_kind_(provisional_kind) {}

    const char* kind() const { return kind_; }
    // Records a name, numbered explicitly or (without a number) by its position among the
    // implicit records; the failure detail, or null.
    const char* define(std::string name, std::optional<uint64_t> number);
    // The name of a number: the table's once defined, otherwise a provisional name built with
    // the running `counter`; null when the table is full.
    const std::string* name_for(uint64_t number, uint64_t& counter);
    const std::string* find(uint64_t number) const;
    // Provisional names by number.
    const std::unordered_map<uint64_t, std::string>& provisional() const { return provisional_; }

private:
    bool full() const;

    const char* kind_;
    const char* provisional_kind_;
    std::unordered_map<uint64_t, std::string> names_;
    std::unordered_map<std::string, uint64_t> numbers_;
    std::unordered_map<uint64_t, std::string> provisional_;
    uint64_t implicit_count_ = 0;
    bool implicit_ = false;
    bool explicit_ = false;
};

}  // namespace whistle::layout
