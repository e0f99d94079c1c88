// `MNAMatrix`: modified-nodal-analysis stamps.
#include "terminal_matrix.hpp"
#include "types.hpp"

namespace whistle::py {

WHISTLE_TERMINAL_MATRIX_TYPE(
    MNAMatrix,
    "MNAMatrix(frequencies, elements, terminals=None)\n\nModified-nodal-analysis stamp: values for "
    "(terminal1, terminal2) pairs at each frequency over circuit nodes and auxiliary branch "
    "currents (names starting with '_'); ground is the datum.")

}  // namespace whistle::py
