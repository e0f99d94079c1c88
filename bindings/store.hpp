// Shared by the store functions and the TwfStream type.
#pragma once

#include "common.hpp"

#include "core/store/twf_stream.hpp"

namespace whistle::py {

// Opens a twf file for reading; with `set_config` applies its grid and tolerance.
std::shared_ptr<AbstractTwfStream> open_twf_for_reading(const std::string& filename, bool set_config);
// The records of the positional arguments from `first` on. False with an exception set.
bool records_of(PyObject* args, Py_ssize_t first, std::vector<std::shared_ptr<BaseType>>& out);
// A tuple of the interpreter values of loaded records.
PyObject* value_tuple(const std::vector<std::shared_ptr<BaseType>>& objects);

}  // namespace whistle::py
