// Reading twf files: header and table checks, then records loaded lazily, each once.
#pragma once

#include <string>
#include <vector>

#include "core/store/store.hpp"
#include "core/store/stored_config.hpp"

namespace whistle {

class TwfReader final : public StoreReader {
public:
    struct Entry {
        uint64_t location;
        TypeCode type;
    };

    // Checks the header and reads the table of contents of the file data. Throws StoreError.
    explicit TwfReader(std::string data);

    uint16_t version() const { return version_; }
    const std::vector<Entry>& all() const { return all_; }
    // Empty for files without an explicit table (version 6 and below).
    const std::vector<Entry>& explicit_entries() const { return explicit_; }
    std::shared_ptr<BaseType> load(const Entry& entry);
    // The stream's own properties; null when the file has none.
    std::shared_ptr<BaseType> stream_properties();
    // The stored configuration; null when absent.
    const json& config_record();
    StoredConfig stored_config();

    std::shared_ptr<BaseType> ref(const json& value, std::initializer_list<TypeCode> expected,
                                  std::string_view kind, bool required) override;
    std::shared_ptr<BaseType> at(uint64_t location, std::initializer_list<TypeCode> expected,
                                 std::string_view kind, bool required) override {
        return load(location, expected, kind, required);
    }

private:
    enum class State : uint8_t { Unloaded, Loading, Loaded };
    struct Slot {
        TypeCode type;
        State state = State::Unloaded;
        std::shared_ptr<BaseType> object;
    };

    std::shared_ptr<BaseType> load(uint64_t location, std::initializer_list<TypeCode> expected,
                                   std::string_view kind, bool required);
    std::shared_ptr<BaseType> read_record(uint64_t location, std::initializer_list<TypeCode> expected,
                                          std::string_view kind);
    void read_table(ByteReader& in);

    std::string data_;
    uint16_t version_ = 0;
    std::array<uint8_t, kTypeCodeCount> versions_{};
    uint64_t properties_location_ = 0;
    // The slot of a record location, or null.
    Slot* slot_at(uint64_t location);

    // Record locations, ascending, and their slots.
    std::vector<uint64_t> locations_;
    std::vector<Slot> slots_;
    size_t next_slot_ = 0;  // after the slot found last
    std::vector<Entry> all_;
    std::vector<Entry> explicit_;
    std::string config_bytes_;
    json config_;
    bool config_parsed_ = false;
    int depth_ = 0;
    std::array<std::string, kTypeCodeCount> corrupt_messages_;  // by type, made on first use
};

}  // namespace whistle
