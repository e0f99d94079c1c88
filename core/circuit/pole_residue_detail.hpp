// Dense views of a `PoleResidueMatrix` shared by the passivity test and its enforcement.
// Only included by .cpp files: it brings in Eigen.
#pragma once

#include <Eigen/Dense>

#include "core/circuit/pole_residue.hpp"

namespace whistle::pole_residue_detail {

using Eigen::MatrixXcd;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// Columns of a rational model with fixed poles and real unknowns, each normalized to unit norm
// over the frequencies. A complex model has two columns (1 and i) per pole and for the constant
// term; a real one keeps a conjugate pair (the pole followed by its conjugate) in real form,
// 1/(s-p) + 1/(s-p*) and i/(s-p) - i/(s-p*), with one column per real pole and a real constant.
class Basis {
public:
    Basis(const ComplexVector& poles, const std::vector<double>& frequencies, double scaling, bool real,
          bool constant);

    // Rows [Re; Im] over the frequencies, one column per unknown.
    const MatrixXd& matrix() const { return matrix_; }
    Eigen::Index columns() const { return matrix_.cols(); }

    // Residues (one per pole) and the constant term (zero without one) of normalized coefficients.
    ComplexVector residues(const VectorXd& x) const;

private:
    // Pole n starts a conjugate pair kept in real form.
    bool starts_pair(size_t n) const {
        return real_ && poles_[n].imag() != 0 && n + 1 < poles_.size() && poles_[n + 1] == std::conj(poles_[n]);
    }

    ComplexVector poles_;
    bool real_;
    MatrixXd matrix_;
    VectorXd scale_;
};

// Residue matrices in dense port-mode order: one M×M matrix per pole, then the constant term.
struct DenseResidues {
    std::vector<std::string> modes;
    std::vector<MatrixXcd> terms;
};
DenseResidues dense_residues(const PoleResidueMatrix& model);

// The rational part (no delays) at the complex frequency s.
MatrixXcd response(const ComplexVector& poles, const DenseResidues& dense, Complex s);

// s = -i·h·f
inline Complex laplace(double frequency, double scaling) { return Complex(0, -scaling * frequency); }

}  // namespace whistle::pole_residue_detail
