// Components ready to be written: one cell per component, with unique non-empty names.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "core/model/component.hpp"

namespace whistle::layout {

struct PreparedCell {
    std::string name;
    // What is written: the exported component, or the copy the pre-export hook adjusted.
    std::shared_ptr<Component> component;
};

struct PreparedLayout {
    std::vector<PreparedCell> cells;
    // From each exported component (as references name it) to its cell.
    std::unordered_map<const Component*, size_t> cell_index;

    // The cell a reference points at; null when its component was not exported.
    const PreparedCell* find(const Component* component) const {
        auto it = cell_index.find(component);
        return it == cell_index.end() ? nullptr : &cells[it->second];
    }
};

// Each given component and every component it references, each once, in order of first
// appearance.
std::vector<std::shared_ptr<Component>> collect_export_components(
    const std::vector<std::shared_ptr<Component>>& components);

// Cells for the collected components; `written[i]` replaces `collected[i]` in the file (the
// pre-export copies; the same list when there is no hook). Names are made non-empty and
// unique in order, with one warning listing the renamed cells.
PreparedLayout prepare_layout(const std::vector<std::shared_ptr<Component>>& collected,
                              const std::vector<std::shared_ptr<Component>>& written,
                              ErrorHandler& status);

}  // namespace whistle::layout
