// The script variables a KLayout runset receives: the file variables and the user's extras.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/verification/engines.hpp"

namespace whistle {

using NamedTexts = std::vector<std::pair<std::string, std::string>>;

// The names under which a runset finds its files.
struct RunsetVariables {
    std::string layout = "gdsfile";
    std::string results = "resultsfile";
    std::string schematic = "schematicfile";  // LVS only

    // The defaults with the user's renames applied (key: default name, value: new name).
    // CheckArgumentError for an unknown key, a name that is not an identifier, or a name
    // serving two files.
    RunsetVariables(CheckKind kind, const NamedTexts& renames);

    // CheckArgumentError when an extra variable is not an identifier or is a file variable.
    void check_extra(CheckKind kind, const NamedTexts& extras) const;
};

// "KLayout DRC" or "KLayout LVS".
const char* klayout_phase(CheckKind kind);

// CheckArgumentError unless the rules file has the suffix KLayout runs as a DRC or LVS runset.
void check_klayout_rules(CheckKind kind, const std::string& rules);

}  // namespace whistle
