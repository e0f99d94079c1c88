// The circuit code's quadratic programs solved by the `osqp` package through the interpreter.
#pragma once

#include "common.hpp"
#include "core/circuit/qp_solver.hpp"

namespace whistle::py {

// Needs the interpreter lock. Interpreter errors (a missing package) are raised as
// InterpreterError with the exception left pending; a program without solution gives nullopt.
class OsqpSolver final : public QpSolver {
public:
    std::optional<std::vector<double>> solve(const QpProblem& problem) override;
};

}  // namespace whistle::py
