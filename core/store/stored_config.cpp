#include "core/store/stored_config.hpp"

#include <cmath>

#include "core/foundation/config.hpp"

namespace whistle {

json config_to_json(StoreWriter& store) {
    const Config& c = config();
    json value = json::object();
    value["grid"] = from_db(c.grid);
    value["tolerance"] = from_db(c.tolerance);
    value["mesh_refinement"] = c.mesh_refinement;
    // Defaults holding values that cannot be stored are left out rather than failing the
    // whole document.
    auto stored_or_null = [](auto&& store_value) {
        try {
            return store_value();
        } catch (const StoreError&) {
            return json(nullptr);
        }
    };
    value["default_technology"] = stored_or_null([&] { return store.optional_ref(c.default_technology); });
    for (const auto& entry : {std::pair{"default_time_steppers", &c.default_time_steppers},
                              std::pair{"default_kwargs", &c.default_kwargs}}) {
        const std::shared_ptr<BaseType>& holder = *entry.second;
        value[entry.first] =
            holder ? stored_or_null([&] { return value_codec().to_json(*holder, store); }) : json(nullptr);
    }
    return value;
}

StoredConfig config_from_json(const json& value, StoreReader& store) {
    StoredConfig stored = config_lengths(value);
    try {
        stored.mesh_refinement = number_field(value, "mesh_refinement");
        stored.default_technology =
            store.ref(field(value, "default_technology"), {TypeCode::Technology}, "Technology", false);
        for (auto [key, holder] : {std::pair{"default_time_steppers", &stored.default_time_steppers},
                                   std::pair{"default_kwargs", &stored.default_kwargs}}) {
            const json& dict = field(value, key);
            if (dict.is_null()) continue;
            // The binding layer installs the codec and makes the prototypes at module entry.
            const ValueCodec& codec = value_codec();
            *holder = codec.from_json(dict, store, *config().prototypes[Config::kNative]);
        }
        return stored;
    } catch (const StoreError&) {
        throw StoreError("Error deserializing config.");
    }
}

StoredConfig config_lengths(const json& value) {
    StoredConfig stored;
    if (value.is_null()) return stored;
    try {
        stored.grid = number_field(value, "grid");
        stored.tolerance = number_field(value, "tolerance");
    } catch (const StoreError&) {
        throw StoreError("Error deserializing config.");
    }
    return stored;
}

void apply_config(const StoredConfig& stored, bool everything) {
    Config& c = config();
    // The setters' rules: trunc(v · 100000 + 0.5), the grid at least its minimum, the
    // tolerance positive.
    auto units = [](double micrometres) {
        return std::isfinite(micrometres) && std::fabs(micrometres) < 1e12
                   ? Coord(std::trunc(micrometres * kUnitsPerMicron + 0.5))
                   : Coord(0);
    };
    if (units(stored.grid) != 0) c.grid = std::max(units(stored.grid), Config::kMinGrid);
    if (units(stored.tolerance) > 0) c.tolerance = units(stored.tolerance);
    if (!everything) return;
    if (stored.mesh_refinement > 0 && std::isfinite(stored.mesh_refinement))
        c.mesh_refinement = stored.mesh_refinement;
    if (stored.default_technology) c.default_technology = stored.default_technology;
    if (stored.default_time_steppers) c.default_time_steppers = stored.default_time_steppers;
    if (stored.default_kwargs) c.default_kwargs = stored.default_kwargs;
}

}  // namespace whistle
