// Running KLayout in batch mode: the version check, scripts with variables, and reading a
// results database through the dumping macros.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "core/verification/process.hpp"
#include "core/verification/runset.hpp"

namespace whistle {

// How every engine run of one call is started.
struct RunOptions {
    std::optional<double> timeout;
    bool show_progress = true;
};

// The version text ("0.30.12") of the KLayout at `executable`, from "-b -v". VerificationError
// when it cannot be read or is older than the oldest supported version. An executable that
// passed is not asked again in this process.
std::string klayout_version(ProcessRunner& runner, const std::string& executable,
                            std::optional<double> timeout = std::nullopt);

class KLayout {
public:
    // Checks the version of the executable before anything runs.
    KLayout(ProcessRunner& runner, std::string executable, RunOptions options);

    // Runs "-b -r <script>" with each variable passed as "-rd" "name=value".
    ProcessResult run(const std::string& script, const NamedTexts& variables, const std::string& label);

    // The JSON dump of a DRC report database or LVS database, made by the dumping macro
    // written into `dir`. DRC keeps at most `max_results` markers; LVS loads net shapes when
    // `load_shapes`.
    nlohmann::json read_results(CheckKind kind, const std::string& database, const WorkDir& dir,
                                std::optional<uint64_t> max_results, bool load_shapes);

private:
    ProcessRunner& runner_;
    std::string executable_;
    RunOptions options_;
};

}  // namespace whistle
