// Port maps of lumped circuits, shared by the module functions and `LumpedModel`.
#pragma once

#include "common.hpp"
#include "core/circuit/mna.hpp"

namespace whistle::py {

// A dict from port name to (signal, impedance) or (signal, reference, impedance).
bool to_port_map(PyObject* obj, PortMap& out);

}  // namespace whistle::py
