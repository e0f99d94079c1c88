// Convex quadratic programs for the circuit code: minimize ½xᵀPx + qᵀx subject to l ≤ Ax ≤ u.
// The solver itself is supplied by the caller (the bindings use an external package), so the
// core stays free of it.
#pragma once

#include <optional>
#include <vector>

namespace whistle {

struct QpProblem {
    size_t variables = 0;
    std::vector<double> P;     // variables × variables, row-major, symmetric positive semidefinite
    std::vector<double> q;     // variables
    std::vector<double> A;     // constraints × variables, row-major
    std::vector<double> l, u;  // constraints; ±infinity for open sides
};

class QpSolver {
public:
    virtual ~QpSolver() = default;
    // The minimizer, or nullopt when the solver found none.
    virtual std::optional<std::vector<double>> solve(const QpProblem& problem) = 0;
};

}  // namespace whistle
