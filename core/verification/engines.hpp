// Which engine runs a check, and where its executable is.
#pragma once

#include <optional>
#include <string>

#include "core/foundation/units.hpp"

namespace whistle {

enum class Engine { KLayout, Calibre };
enum class CheckKind { Drc, Lvs };

// An argument with a wrong value (ValueError in the interpreter).
struct CheckArgumentError : RangeError {
    explicit CheckArgumentError(const std::string& text) : RangeError(text.c_str()) {}
};

// The configuration settings that steer the choice; each is empty when unset.
struct EngineSettings {
    std::optional<std::string> klayout_executable;
    std::optional<std::string> calibre_executable;
    std::optional<std::string> default_engine;
};

// "klayout" or "calibre"; any other name is a CheckArgumentError. `function` names the caller
// in the refusal of Calibre for LVS.
Engine parse_engine(const std::string& name, CheckKind kind, const char* function);

// The explicit engine, else the configured default (LVS ignores a Calibre default), else the
// first engine found: KLayout, then (DRC only) Calibre.
Engine choose_engine(CheckKind kind, const std::optional<std::string>& engine,
                     const EngineSettings& settings);

// The executable of each engine: the setting when given (it must exist), else a search of PATH
// and the usual installation places. VerificationError when there is none.
std::string find_klayout(const std::optional<std::string>& setting);
std::string find_calibre(const std::optional<std::string>& setting);

}  // namespace whistle
