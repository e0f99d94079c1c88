// `YMatrix`: nodal admittances.
#include "core/circuit/mna.hpp"
#include "terminal_matrix.hpp"
#include "types.hpp"

namespace whistle::py {

WHISTLE_TERMINAL_MATRIX_TYPE(
    YMatrix,
    "YMatrix(frequencies, elements, terminals=None)\n\nNodal admittance matrix: values for (terminal1, "
    "terminal2) pairs at each frequency.",
    {"to_z_matrix", TerminalMatrixBinding<YMatrixTag>::converted<y_to_z_matrix>, METH_NOARGS,
     "to_z_matrix()\n\nThe impedance matrix: the inverse at each frequency."},)

}  // namespace whistle::py
