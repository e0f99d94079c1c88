// A DRC or LVS check from its arguments to the engine's findings as a JSON dump.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/error_handler.hpp"
#include "core/layout/prepared.hpp"
#include "core/verification/klayout.hpp"

namespace whistle {

struct CheckRequest {
    CheckKind kind = CheckKind::Drc;
    Engine engine = Engine::KLayout;
    std::string rules;
    // The layout: a file, or the cells of a component, written as "layout.gds".
    std::string layout_file;
    const layout::PreparedLayout* layout = nullptr;
    // LVS: a schematic file, or the cells of a component, written as "schematic.cir".
    std::string schematic_file;
    const layout::PreparedLayout* schematic = nullptr;
    // KLayout only: renamed file variables and extra runset variables.
    std::optional<NamedTexts> variable_names;
    NamedTexts runset_args;
    // Calibre only: command-line arguments and the deck's LAYOUT PRIMARY.
    std::vector<std::string> calibre_args;
    std::optional<std::string> top_level;
    // Where to copy the engine's results database; empty for no copy.
    std::string results_file;
    std::optional<uint64_t> max_results;
    bool load_shapes = true;
    RunOptions run;
};

// The findings with the check run's output and exit code.
struct CheckResult {
    nlohmann::json dump;
    std::string log;
    int exit_code = 0;
};

// CheckArgumentError when the arguments cannot make a check of the request's engine. Runs no
// program and touches no file.
void validate_check(const CheckRequest& request);

// Runs the check in a fresh working directory, removed however the check ends. A warning in
// `status` tells when `max_results` cut markers off.
CheckResult run_check(const CheckRequest& request, ProcessRunner& runner, const EngineSettings& settings,
                      ErrorHandler& status);

struct LoadRequest {
    CheckKind kind = CheckKind::Drc;
    std::string path;
    // Empty: KLayout for LVS; for DRC chosen by the file's content.
    std::optional<Engine> engine;
    std::optional<uint64_t> max_results;
    bool load_shapes = true;
    RunOptions run;
};

// The findings of a results database written earlier (empty log, exit code 0).
CheckResult load_results(const LoadRequest& request, ProcessRunner& runner, const EngineSettings& settings,
                         ErrorHandler& status);

}  // namespace whistle
