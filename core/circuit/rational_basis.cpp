#include <cmath>

#include "core/circuit/pole_residue_detail.hpp"

namespace whistle::pole_residue_detail {

Basis::Basis(const ComplexVector& poles, const std::vector<double>& frequencies, double scaling, bool real,
             bool constant)
    : poles_(poles), real_(real) {
    const size_t f_count = frequencies.size();
    std::vector<ComplexVector> columns;
    auto add = [&](auto term) {
        ComplexVector column(f_count);
        for (size_t f = 0; f < f_count; ++f) column[f] = term(laplace(frequencies[f], scaling));
        columns.push_back(std::move(column));
    };
    const Complex i(0, 1);
    for (size_t n = 0; n < poles.size(); ++n) {
        const Complex p = poles[n];
        if (starts_pair(n)) {
            add([p](Complex s) { return 1.0 / (s - p) + 1.0 / (s - std::conj(p)); });
            add([p, i](Complex s) { return i / (s - p) - i / (s - std::conj(p)); });
            ++n;  // the conjugate shares these columns
        } else {
            add([p](Complex s) { return 1.0 / (s - p); });
            if (!real || p.imag() != 0) add([p, i](Complex s) { return i / (s - p); });
        }
    }
    if (constant) {
        add([](Complex) { return Complex(1); });
        if (!real) add([i](Complex) { return i; });
    }
    matrix_.resize(2 * Eigen::Index(f_count), Eigen::Index(columns.size()));
    scale_.resize(Eigen::Index(columns.size()));
    for (size_t k = 0; k < columns.size(); ++k) {
        double norm = 0;
        for (Complex v : columns[k]) norm += std::norm(v);
        norm = norm > 0 ? std::sqrt(norm) : 1.0;
        scale_(Eigen::Index(k)) = norm;
        for (size_t f = 0; f < f_count; ++f) {
            matrix_(Eigen::Index(f), Eigen::Index(k)) = columns[k][f].real() / norm;
            matrix_(Eigen::Index(f + f_count), Eigen::Index(k)) = columns[k][f].imag() / norm;
        }
    }
}

ComplexVector Basis::residues(const VectorXd& x) const {
    ComplexVector r(poles_.size() + 1, 0.0);
    Eigen::Index k = 0;
    auto next = [&]() {
        double v = x(k) / scale_(k);
        ++k;
        return v;
    };
    for (size_t n = 0; n < poles_.size(); ++n) {
        if (starts_pair(n)) {
            double a = next(), b = next();
            r[n] = Complex(a, b);
            r[++n] = Complex(a, -b);
        } else {
            r[n] = next();
            if (!real_ || poles_[n].imag() != 0) r[n] += Complex(0, next());
        }
    }
    if (k < columns()) {
        r.back() = next();
        if (!real_) r.back() += Complex(0, next());
    }
    return r;
}

}  // namespace whistle::pole_residue_detail
