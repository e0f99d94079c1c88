// The JSON store document: every object's JSON form keyed by its store id.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/store/stored_config.hpp"

namespace whistle {

class JsonStoreWriter final : public StoreWriter {
public:
    // Adds the object and everything it refers to; returns its store id.
    json ref(const std::shared_ptr<BaseType>& object) override;

    // Every object reached, by store id, in the order first reached.
    const std::vector<std::pair<std::string, std::shared_ptr<BaseType>>>& reached() const {
        return reached_;
    }
    // The document with `top` as its top content, written without whitespace.
    std::string document(const std::vector<std::shared_ptr<BaseType>>& top);
    // How many of the reached objects the top content reaches (the configuration record adds
    // the rest).
    size_t content_size() const { return content_size_; }

private:
    json data_ = json::object();
    std::vector<std::pair<std::string, std::shared_ptr<BaseType>>> reached_;
    std::vector<const BaseType*> in_progress_;
    size_t content_size_ = 0;
};

class JsonStoreReader final : public StoreReader {
public:
    // Parses and checks the document. Throws StoreError.
    explicit JsonStoreReader(std::string_view text);

    // The objects of "top_content", in order.
    std::vector<std::shared_ptr<BaseType>> top_content();
    const json& config_record() const { return config_; }
    StoredConfig stored_config() { return config_from_json(config_, *this); }

    std::shared_ptr<BaseType> ref(const json& value, std::initializer_list<TypeCode> expected,
                                  std::string_view kind, bool required) override;

private:
    json document_;
    json config_;
    std::unordered_map<std::string, std::shared_ptr<BaseType>> loaded_;
    std::vector<std::string> in_progress_;
};

}  // namespace whistle
