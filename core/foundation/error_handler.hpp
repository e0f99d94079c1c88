// Soft diagnostics of a core operation: the first error and the distinct warnings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace whistle {

// An error that the interpreter already holds (raised by interpreter code that a core object
// called); the binding layer lets it through unchanged.
struct InterpreterError : std::runtime_error {
    InterpreterError() : std::runtime_error("Error raised by interpreter code.") {}
};

struct ErrorHandler {
    enum Level : uint32_t { kNone = 0, kWarning = 1, kError = 2 };

    uint32_t level = kNone;
    std::string message;
    std::vector<std::string> warnings;

    void error(std::string text) {
        if (level == kError) return;
        level = kError;
        message = std::move(text);
    }

    void warning(const std::string& text) {
        if (std::find(warnings.begin(), warnings.end(), text) != warnings.end()) return;
        if (warnings.empty() && level == kNone) message = text;
        warnings.push_back(text);
        if (level == kNone) level = kWarning;
    }

    bool failed() const { return level == kError; }
};

}  // namespace whistle
