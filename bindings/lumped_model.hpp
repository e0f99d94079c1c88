// `LumpedModelRunner`: what `LumpedModel.start` returns.
#pragma once

#include "common.hpp"
#include "core/circuit/mna.hpp"

namespace whistle::py {

PyTypeObject* LumpedModelRunner_type();

// A runner for the result of `start_mna`: an `MNAMatrix` or `ZMatrix` is converted at once,
// a runner is followed until it succeeds and then its `mna_matrix` is converted.
PyObject* new_lumped_runner(PyObject* result, const PortMap& ports);

// The MNA matrix of a `start_mna` result (new reference): an MNAMatrix as it is, a ZMatrix
// through its admittance matrix.
PyObject* mna_of(PyObject* result);

}  // namespace whistle::py
