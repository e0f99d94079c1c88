// Stored forms of the interpreter-backed types.
#pragma once

#include "common.hpp"

namespace whistle::py {

// Installs the codecs of models and time steppers implemented by interpreter classes and of
// random variables (module entry).
void install_interpreter_codecs();

}  // namespace whistle::py
