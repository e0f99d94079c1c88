// `ZMatrix`: nodal impedances.
#include "core/circuit/mna.hpp"
#include "terminal_matrix.hpp"
#include "types.hpp"

namespace whistle::py {

WHISTLE_TERMINAL_MATRIX_TYPE(
    ZMatrix,
    "ZMatrix(frequencies, elements, terminals=None)\n\nNodal impedance matrix: values for (terminal1, "
    "terminal2) pairs at each frequency.",
    {"to_y_matrix", TerminalMatrixBinding<ZMatrixTag>::converted<z_to_y_matrix>, METH_NOARGS,
     "to_y_matrix()\n\nThe admittance matrix: the inverse at each frequency."},)

}  // namespace whistle::py
