// Writing twf files: each object once, its dependencies before it, a table of contents at the
// end.
#pragma once

#include <array>
#include <fstream>
#include <cstring>
#include <unordered_map>
#include <memory>
#include <string>
#include <vector>

#include "core/store/store.hpp"

namespace whistle {

constexpr uint16_t kTwfVersion = 7;
constexpr size_t kTwfHeaderSize = 26;
constexpr char kTwfIdentifier[8] = {'K', 'O', 'R', 'U', 'T', 'W', 'F', '\0'};

class TwfWriter final : public StoreWriter {
public:
    // Writes to `filename`; throws StoreError "Unable to open '<name>'." when it cannot.
    explicit TwfWriter(const std::string& filename);
    // Writes to memory in content mode: records carry no properties and no table follows.
    TwfWriter();

    // Stores the object and lists it as explicit (once).
    void write_explicit(const std::shared_ptr<BaseType>& object);
    // Writes the table of contents (with the stream's own properties, may be null) and the
    // header fields, and closes the file.
    void finish(const std::shared_ptr<BaseType>& stream_properties);
    // Content mode: the header and records, then the configuration when asked.
    std::string content(bool include_config);

    json ref(const std::shared_ptr<BaseType>& object) override;
    uint64_t location(const std::shared_ptr<BaseType>& object) override { return store(object); }
    uint64_t store(const std::shared_ptr<BaseType>& object);

private:
    struct Entry {
        uint64_t location;
        TypeCode type;
    };

    std::string record_of(const std::shared_ptr<BaseType>& object);
    void append(const std::string& bytes);
    void flush();
    std::string config_bytes();
    std::string header() const;

    std::ofstream file_;
    bool content_mode_;
    std::string pending_;  // bytes not yet written to the file
    uint64_t size_ = 0;
    struct UuidHash {
        size_t operator()(const Uuid& id) const {
            size_t h;
            std::memcpy(&h, id.data(), sizeof h);  // random bytes: any slice is a good hash
            return h;
        }
    };
    std::unordered_map<Uuid, Entry, UuidHash> stored_;
    std::vector<const BaseType*> in_progress_;
    std::vector<Entry> explicit_;
    std::array<uint8_t, kTypeCodeCount> versions_{};
};

}  // namespace whistle
