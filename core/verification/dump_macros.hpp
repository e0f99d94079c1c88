#pragma once

namespace whistle {

// Texts of the KLayout macros that dump a DRC report database or an LVS database as JSON.
// They read the script variables `input` and `output` (and `max_results` or `load_shapes`).
extern const char kDrcDumpMacro[];
extern const char kLvsDumpMacro[];

}  // namespace whistle
