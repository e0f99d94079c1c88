// `query(*args)` of components and references: argument parsing and the results.
#pragma once

#include "common.hpp"

namespace whistle {
class Component;
}

namespace whistle::py {

// The ports and terminals of `root` selected by the arguments (patterns, indices and None), in
// the root's coordinates: one result bare, several (or none) as a list.
PyObject* query_component(const std::shared_ptr<Component>& root, PyObject* args);

}  // namespace whistle::py
