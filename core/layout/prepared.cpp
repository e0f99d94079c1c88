#include "prepared.hpp"

#include <unordered_set>

namespace whistle::layout {

std::vector<std::shared_ptr<Component>> collect_export_components(
    const std::vector<std::shared_ptr<Component>>& components) {
    std::vector<std::shared_ptr<Component>> result;
    std::unordered_set<const Component*> seen;
    auto add = [&](const std::shared_ptr<Component>& component) {
        if (component && seen.insert(component.get()).second) result.push_back(component);
    };
    for (const auto& component : components) {
        add(component);
        if (component)
            for (const auto& dependency : component->dependencies()) add(dependency);
    }
    return result;
}

namespace {

// The first of base_1, base_2, ... not yet taken.
std::string numbered_name(const std::string& base, const std::unordered_set<std::string>& taken) {
    for (uint64_t counter = 1;; ++counter) {
        std::string candidate = base + "_" + std::to_string(counter);
        if (!taken.count(candidate)) return candidate;
    }
}

// Empty names become C_0 (then C_1, C_2, ...); taken ones gain the first free counter.
std::string unique_name(const std::string& name, const std::unordered_set<std::string>& taken) {
    const std::string& base = name.empty() ? "C_0" : name;
    if (!taken.count(base)) return base;
    return numbered_name(name.empty() ? "C" : name, taken);
}

}  // namespace

PreparedLayout prepare_layout(const std::vector<std::shared_ptr<Component>>& collected,
                              const std::vector<std::shared_ptr<Component>>& written,
                              ErrorHandler& status) {
    PreparedLayout layout;
    std::unordered_set<std::string> taken;
    std::vector<std::string> renamed;
    for (size_t i = 0; i < collected.size(); ++i) {
        const auto& component = written[i];
        const std::string& name = component->name;
        std::string unique = unique_name(name, taken);
        if (unique != name) renamed.push_back(unique);
        taken.insert(unique);
        layout.cell_index.emplace(collected[i].get(), layout.cells.size());
        layout.cell_index.emplace(component.get(), layout.cells.size());
        layout.cells.push_back({std::move(unique), component});
    }
    if (!renamed.empty()) {
        std::string text =
            "The following components have been renamed in the layout because all names must be "
            "non-empty and unique: '";
        for (size_t i = 0; i < renamed.size(); ++i) text += (i ? "', '" : "") + renamed[i];
        status.warning(text + "'.");
    }
    return layout;
}

}  // namespace whistle::layout
