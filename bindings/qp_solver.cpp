#include "qp_solver.hpp"

#include <cstring>

namespace whistle::py {

namespace {

PyObject* dense_array(const std::vector<double>& values, npy_intp rows, npy_intp columns) {
    PyObject* array = new_array({rows, columns}, NPY_FLOAT64);
    if (array && !values.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                    values.size() * sizeof(double));
    return array;
}

PyObject* checked(PyObject* obj) {
    if (!obj) throw InterpreterError();
    return obj;
}

}  // namespace

std::optional<std::vector<double>> OsqpSolver::solve(const QpProblem& problem) {
    const npy_intp n = npy_intp(problem.variables), m = npy_intp(problem.u.size());
    Ref osqp(checked(PyImport_ImportModule("osqp")));
    Ref sparse(checked(PyImport_ImportModule("scipy.sparse")));
    Ref p_dense(checked(dense_array(problem.P, n, n)));
    Ref a_dense(checked(dense_array(problem.A, m, n)));
    // The solver reads the upper triangle of P only.
    Ref p(checked(PyObject_CallMethod(sparse.get(), "triu", "O", p_dense.get())));
    Ref p_csc(checked(PyObject_CallMethod(sparse.get(), "csc_matrix", "O", p.get())));
    Ref a_csc(checked(PyObject_CallMethod(sparse.get(), "csc_matrix", "O", a_dense.get())));
    Ref q(checked(vector_array(problem.q)));
    Ref l(checked(vector_array(problem.l)));
    Ref u(checked(vector_array(problem.u)));
    Ref solver(checked(PyObject_CallMethod(osqp.get(), "OSQP", nullptr)));
    Ref setup(checked(PyObject_GetAttrString(solver.get(), "setup")));
    Ref args(checked(PyTuple_New(0)));
    Ref kwargs(checked(Py_BuildValue("{sOsOsOsOsOsdsdsOsOsi}", "P", p_csc.get(), "q", q.get(), "A", a_csc.get(), "l",
                                     l.get(), "u", u.get(), "eps_abs", 1e-6, "eps_rel", 1e-4, "verbose", Py_False,
                                     "polishing", Py_False, "max_iter", 2000)));
    Ref ignored(checked(PyObject_Call(setup.get(), args.get(), kwargs.get())));
    Ref solve(checked(PyObject_GetAttrString(solver.get(), "solve")));
    Ref solve_kwargs(checked(Py_BuildValue("{sO}", "raise_error", Py_False)));
    Ref result(checked(PyObject_Call(solve.get(), args.get(), solve_kwargs.get())));
    Ref info(checked(PyObject_GetAttrString(result.get(), "info")));
    Ref status(checked(PyObject_GetAttrString(info.get(), "status")));
    const char* text = PyUnicode_Check(status.get()) ? PyUnicode_AsUTF8(status.get()) : nullptr;
    // An iterate stopped by the iteration limit is still a usable step: the caller iterates.
    if (!text || (std::strcmp(text, "solved") != 0 && std::strcmp(text, "solved inaccurate") != 0 &&
                  std::strcmp(text, "maximum iterations reached") != 0)) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref x_obj(checked(PyObject_GetAttrString(result.get(), "x")));
    Ref x(checked(PyArray_FROM_OTF(x_obj.get(), NPY_FLOAT64, NPY_ARRAY_IN_ARRAY)));
    auto* array = reinterpret_cast<PyArrayObject*>(x.get());
    if (PyArray_SIZE(array) != n) return std::nullopt;
    const double* data = static_cast<const double*>(PyArray_DATA(array));
    return std::vector<double>(data, data + n);
}

}  // namespace whistle::py
