// `YMatrix`: nodal admittances.
#include "core/circuit/mna.hpp"
#include "terminal_matrix.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

PyObject* method_to_z_matrix(PyObject* self, PyObject*) {
    auto matrix = unwrap<YMatrix>(self);
    return matrix ? wrapped_result([&](ErrorHandler& status) { return y_to_z_matrix(*matrix, status); }) : nullptr;
}

PyMethodDef y_matrix_methods[] = {
    WHISTLE_TERMINAL_MATRIX_METHODS(YMatrixTag),
    {"to_z_matrix", method_to_z_matrix, METH_NOARGS, "to_z_matrix()\n\nThe impedance matrix: the inverse at each frequency."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject y_matrix_type = TerminalMatrixBinding<YMatrixTag>::make_type(
    "tarnwhistle.YMatrix",
    "YMatrix(frequencies, elements, terminals=None)\n\nNodal admittance matrix: values for (terminal1, "
    "terminal2) pairs at each frequency.",
    y_matrix_methods);

}  // namespace

PyTypeObject* YMatrix_type() { return register_exposed_type(TypeCode::YMatrix, &y_matrix_type); }

}  // namespace whistle::py
