#include "core/verification/runset.hpp"

#include <filesystem>

namespace whistle {

namespace {

// A name both KLayout's Ruby and Python scripts can use as a variable.
bool is_identifier(const std::string& name) {
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (name.empty() || !letter(name[0])) return false;
    for (char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

}  // namespace

RunsetVariables::RunsetVariables(CheckKind kind, const NamedTexts& renames) {
    const bool lvs = kind == CheckKind::Lvs;
    for (const auto& [key, name] : renames) {
        std::string* target = key == "gdsfile"                ? &layout
                              : key == "resultsfile"          ? &results
                              : lvs && key == "schematicfile" ? &schematic
                                                              : nullptr;
        if (!target)
            throw CheckArgumentError("Unknown runset variable '" + key + "' in 'variable_names'. Expected " +
                                     (lvs ? "'gdsfile', 'resultsfile' or 'schematicfile'."
                                          : "'gdsfile' or 'resultsfile'."));
        if (!is_identifier(name))
            throw CheckArgumentError("Runset variable name '" + name + "' for '" + key +
                                     "' is not a valid identifier.");
        *target = name;
    }
    if (layout == results || (lvs && (schematic == layout || schematic == results))) {
        const std::string& shared = layout == results || layout == schematic ? layout : results;
        throw CheckArgumentError("Runset variable name '" + shared + "' is used for more than one file.");
    }
}

void RunsetVariables::check_extra(CheckKind kind, const NamedTexts& extras) const {
    for (const auto& extra : extras) {
        const std::string& name = extra.first;
        if (!is_identifier(name))
            throw CheckArgumentError("Argument name '" + name + "' is not a valid runset variable.");
        if (name == layout || name == results || (kind == CheckKind::Lvs && name == schematic))
            throw CheckArgumentError("Argument '" + name + "' names a file variable of the runset.");
    }
}

const char* klayout_phase(CheckKind kind) { return kind == CheckKind::Drc ? "KLayout DRC" : "KLayout LVS"; }

void check_klayout_rules(CheckKind kind, const std::string& rules) {
    const bool drc = kind == CheckKind::Drc;
    const std::string suffix = std::filesystem::path(rules).extension().string();
    if (drc ? suffix == ".drc" || suffix == ".lydrc" : suffix == ".lvs" || suffix == ".lylvs") return;
    throw CheckArgumentError(std::string(klayout_phase(kind)) + " rules must be a " +
                             (drc ? "'.drc' or '.lydrc'" : "'.lvs' or '.lylvs'") + " file, not '" +
                             std::filesystem::path(rules).filename().string() + "'.");
}

}  // namespace whistle
