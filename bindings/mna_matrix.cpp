// `MNAMatrix`: modified-nodal-analysis stamps.
#include "terminal_matrix.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

PyMethodDef mna_matrix_methods[] = {
    WHISTLE_TERMINAL_MATRIX_METHODS(MNAMatrixTag),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject mna_matrix_type = TerminalMatrixBinding<MNAMatrixTag>::make_type(
    "tarnwhistle.MNAMatrix",
    "MNAMatrix(frequencies, elements, terminals=None)\n\nModified-nodal-analysis stamp: values for "
    "(terminal1, terminal2) pairs at each frequency over circuit nodes and auxiliary branch "
    "currents (names starting with '_'); ground is the datum.",
    mna_matrix_methods);

}  // namespace

PyTypeObject* MNAMatrix_type() { return register_exposed_type(TypeCode::MNAMatrix, &mna_matrix_type); }

}  // namespace whistle::py
