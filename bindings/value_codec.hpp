// Interpreter values in stored records.
#pragma once

#include "common.hpp"

#include "core/store/store.hpp"
#include "core/store/stored_config.hpp"

namespace whistle::py {

// The core object of an interpreter value that is stored as a record of its own (an object of
// this module), or null.
std::shared_ptr<BaseType> stored_object(PyObject* value);
// The interpreter value of a loaded record: the value a native or medium holds, the wrapper of
// any other object. New reference; null with an exception set.
PyObject* stored_value(const std::shared_ptr<BaseType>& object);
// The record that stores an interpreter value: its own object, or a new native holding it.
std::shared_ptr<BaseType> storable(PyObject* value);
// The stored configuration values as a dict (grid, tolerance, mesh_refinement,
// default_technology, default_time_steppers, default_kwargs).
PyObject* config_dict(const StoredConfig& stored);
// Installs the value codec and the codecs of the native and medium records (module entry).
void install_value_codecs();

}  // namespace whistle::py
