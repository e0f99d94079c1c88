#include "oasis_names.hpp"

namespace whistle::layout {

namespace {

constexpr size_t kMaxEntries = size_t(1) << 24;

}  // namespace

bool OasNameTable::full() const { return names_.size() + provisional_.size() >= kMaxEntries; }

const char* OasNameTable::define(std::string name, std::optional<uint64_t> number) {
    (number ? explicit_ : implicit_) = true;
    if (implicit_ && explicit_) return "table mixes implicit and explicit records";
    uint64_t key = number ? *number : implicit_count_++;
    if (names_.count(key)) return "table repeats reference";
    if (numbers_.count(name)) return "table assigns one value to multiple references";
    if (full()) return "table exceeds the configured entry bound";
    numbers_.emplace(name, key);
    names_.emplace(key, std::move(name));
    return nullptr;
}

const std::string* OasNameTable::name_for(uint64_t number, uint64_t& counter) {
    if (const std::string* name = find(number)) return name;
    auto it = provisional_.find(number);
    if (it != provisional_.end()) return &it->second;
    if (full()) return nullptr;
    std::string name = std::string("TARNWHISTLE_OAS_") + provisional_kind_ + "_" +
                       std::to_string(counter++) + "_" + std::to_string(number);
    return &provisional_.emplace(number, std::move(name)).first->second;
}

const std::string* OasNameTable::find(uint64_t number) const {
    auto it = names_.find(number);
    return it == names_.end() ? nullptr : &it->second;
}

}  // namespace whistle::layout
