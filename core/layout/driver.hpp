// The user-facing side of layout files: format choice, writing prepared cells, loading files
// into components.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "core/foundation/properties.hpp"
#include "core/model/component.hpp"
#include "prepared.hpp"

namespace whistle::layout {

enum class LayoutFormat { Gdsii, Oasis };

// OASIS for names ending in ".oas", ".OAS", ".oasis" or ".OASIS"; GDSII otherwise.
LayoutFormat format_for_name(std::string_view filename);

struct WriteOptions {
    bool paths_to_polygons = true;
    int compression_level = 9;      // OASIS only
    uint32_t fracture_limit = 0;    // GDSII only
    std::string library_name = "LIBRARY";  // GDSII only
    std::shared_ptr<Properties> library_properties;  // OASIS only; may be null
};

bool write_layout(const std::string& filename, LayoutFormat format, const PreparedLayout& layout,
                  const WriteOptions& options, ErrorHandler& status);

enum class Compaction { Off, On, Auto };

// Files at least this large are compacted under Compaction::Auto.
constexpr uint64_t kAutoCompactionBytes = 268435456;

struct LoadOptions {
    std::shared_ptr<Technology> technology;
    // Only these layers are converted, when given.
    std::optional<std::set<Layer>> layers;
    // Only these cells and their dependencies are converted, when not empty.
    std::vector<std::string> cell_names;
    Compaction compact = Compaction::Auto;
    // Directory for compaction spill files; empty: anonymous temporary files.
    std::string temp_dir;
};

struct LoadedLayout {
    // Cell name (made unique) and component, in file order of the cells.
    std::vector<std::pair<std::string, std::shared_ptr<Component>>> components;
    std::shared_ptr<Properties> library_properties;
};

// Reads the file with the interpreter lock released: touches no interpreter object.
bool load_layout(const std::string& filename, const LoadOptions& options, LoadedLayout& out,
                 ErrorHandler& status);

}  // namespace whistle::layout
