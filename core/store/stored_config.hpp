// The configuration as stored in twf files and JSON store documents.
#pragma once

#include "core/store/store.hpp"

namespace whistle {

// The non-display configuration values, read back from a document.
struct StoredConfig {
    double grid = 0;       // micrometres
    double tolerance = 0;  // micrometres
    double mesh_refinement = 0;
    std::shared_ptr<BaseType> default_technology;
    std::shared_ptr<BaseType> default_time_steppers;  // interpreter dict holders
    std::shared_ptr<BaseType> default_kwargs;
};

// The configuration in force, as a JSON object; the default technology is stored as a record.
json config_to_json(StoreWriter& store);
// Throws StoreError "Error deserializing config." for a malformed record.
StoredConfig config_from_json(const json& value, StoreReader& store);
// Only the grid and tolerance, without loading the records the configuration refers to;
// nothing for a null record. Same error.
StoredConfig config_lengths(const json& value);
// Grid and tolerance always; with `everything`, also the refinement, default technology and
// the two default dicts.
void apply_config(const StoredConfig& stored, bool everything);

}  // namespace whistle
