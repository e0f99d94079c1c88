// `ZMatrix`: nodal impedances.
#include "core/circuit/mna.hpp"
#include "terminal_matrix.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

PyObject* method_to_y_matrix(PyObject* self, PyObject*) {
    auto matrix = unwrap<ZMatrix>(self);
    return matrix ? wrapped_result([&](ErrorHandler& status) { return z_to_y_matrix(*matrix, status); }) : nullptr;
}

PyMethodDef z_matrix_methods[] = {
    WHISTLE_TERMINAL_MATRIX_METHODS(ZMatrixTag),
    {"to_y_matrix", method_to_y_matrix, METH_NOARGS, "to_y_matrix()\n\nThe admittance matrix: the inverse at each frequency."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject z_matrix_type = TerminalMatrixBinding<ZMatrixTag>::make_type(
    "tarnwhistle.ZMatrix",
    "ZMatrix(frequencies, elements, terminals=None)\n\nNodal impedance matrix: values for (terminal1, "
    "terminal2) pairs at each frequency.",
    z_matrix_methods);

}  // namespace

PyTypeObject* ZMatrix_type() { return register_exposed_type(TypeCode::ZMatrix, &z_matrix_type); }

}  // namespace whistle::py
