// Relaxed vector fitting with poles shared by all elements of an S matrix. The least-squares
// problems have real unknowns (the columns of `Basis`) and rows for the real and imaginary
// parts of the equations at every frequency.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include <Eigen/Dense>

#include "core/circuit/pole_residue_detail.hpp"
#include "core/foundation/text.hpp"

namespace whistle {

using namespace pole_residue_detail;

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;

// Sampled data of the elements, with their delays removed.
struct FitData {
    std::vector<double> frequencies;
    std::vector<PoleResidueMatrix::Key> keys;
    std::vector<ComplexVector> values;
};

// Multiplies each row of the stacked [Re; Im] matrix by the complex value of its frequency.
MatrixXd times_data(const MatrixXd& columns, const ComplexVector& y) {
    const Eigen::Index f_count = Eigen::Index(y.size());
    MatrixXd out(columns.rows(), columns.cols());
    for (Eigen::Index f = 0; f < f_count; ++f) {
        const Complex v = y[size_t(f)];
        out.row(f) = v.real() * columns.row(f) - v.imag() * columns.row(f + f_count);
        out.row(f + f_count) = v.imag() * columns.row(f) + v.real() * columns.row(f + f_count);
    }
    return out;
}

VectorXd stacked(const ComplexVector& y) {
    VectorXd out(2 * Eigen::Index(y.size()));
    for (size_t f = 0; f < y.size(); ++f) {
        out(Eigen::Index(f)) = y[f].real();
        out(Eigen::Index(f + y.size())) = y[f].imag();
    }
    return out;
}

// Stable reflection and the minimum distance from the frequency axis.
void condition_poles(ComplexVector& poles, bool stable) {
    for (Complex& p : poles) {
        if (stable && p.real() > 0) p = Complex(-p.real(), p.imag());
        if (std::fabs(p.real()) < 1e-10) p = Complex(-1e-10, p.imag());
    }
}

class VectorFitter {
public:
    VectorFitter(const FitData& data, const PoleResidueFitOptions& options) : data_(data), options_(options) {}

    // Residues for fixed poles; false when the solve failed.
    bool fit_residues(const ComplexVector& poles, std::vector<ComplexVector>& residues, double& error) const {
        Basis basis(poles, data_.frequencies, kTwoPi, options_.real, options_.feedthrough);
        MatrixXd rhs(basis.matrix().rows(), Eigen::Index(data_.values.size()));
        for (size_t e = 0; e < data_.values.size(); ++e) rhs.col(Eigen::Index(e)) = stacked(data_.values[e]);
        // Pivoting QR needs finite input, and a model without poles and constant has no columns.
        if (!rhs.allFinite()) return false;
        MatrixXd x = basis.columns() == 0 ? MatrixXd(0, rhs.cols())
                                          : MatrixXd(basis.matrix().colPivHouseholderQr().solve(rhs));
        if (!x.allFinite()) return false;
        MatrixXd residual = basis.matrix() * x - rhs;
        error = std::sqrt(residual.squaredNorm() / double(data_.frequencies.size() * data_.values.size()));
        residues.clear();
        for (Eigen::Index e = 0; e < x.cols(); ++e) residues.push_back(basis.residues(x.col(e)));
        return std::isfinite(error);
    }

    // One relocation: the zeros of the fitted weighting function; false when the solve failed.
    bool relocate(ComplexVector& poles) const {
        Basis model(poles, data_.frequencies, kTwoPi, options_.real, options_.feedthrough);
        Basis weight(poles, data_.frequencies, kTwoPi, options_.real, true);
        const Eigen::Index km = model.columns(), kw = weight.columns();
        const size_t elements = data_.values.size();
        MatrixXd reduced = MatrixXd::Zero(Eigen::Index(elements) * kw + 1, kw);
        double data_norm = 0;
        for (size_t e = 0; e < elements; ++e) {
            MatrixXd block(model.matrix().rows(), km + kw);
            block << model.matrix(), -times_data(weight.matrix(), data_.values[e]);
            Eigen::HouseholderQR<MatrixXd> qr(block);
            // With few frequencies R is trapezoidal: its rows below the last are zero.
            const Eigen::Index available = std::clamp<Eigen::Index>(block.rows() - km, 0, kw);
            reduced.middleRows(Eigen::Index(e) * kw, available) =
                qr.matrixQR().block(km, km, available, kw).triangularView<Eigen::Upper>();
            for (Complex v : data_.values[e]) data_norm += std::norm(v);
        }
        // Relaxation: the real part of the weighting function sums to the frequency count.
        const Eigen::Index f_count = Eigen::Index(data_.frequencies.size());
        const double row_weight = std::sqrt(data_norm) / double(f_count);
        reduced.row(reduced.rows() - 1) = row_weight * weight.matrix().topRows(f_count).colwise().sum();
        VectorXd rhs = VectorXd::Zero(reduced.rows());
        rhs(rhs.size() - 1) = row_weight * double(f_count);
        if (!reduced.allFinite()) return false;
        VectorXd x = reduced.colPivHouseholderQr().solve(rhs);
        if (!x.allFinite()) return false;
        ComplexVector sigma = weight.residues(x);
        Complex d = sigma.back();
        const double magnitude = std::abs(d);
        if (magnitude < 1e-18) d = magnitude == 0 ? Complex(1e-18) : d * (1e-18 / magnitude);
        else if (magnitude > 1e18) d *= 1e18 / magnitude;
        return options_.real ? real_zeros(poles, sigma, d.real()) : complex_zeros(poles, sigma, d);
    }

private:
    static bool complex_zeros(ComplexVector& poles, const ComplexVector& sigma, Complex d) {
        const Eigen::Index n = Eigen::Index(poles.size());
        MatrixXcd h = MatrixXcd::Zero(n, n);
        for (Eigen::Index i = 0; i < n; ++i) {
            h(i, i) = poles[size_t(i)];
            for (Eigen::Index j = 0; j < n; ++j) h(i, j) -= sigma[size_t(j)] / d;
        }
        Eigen::ComplexEigenSolver<MatrixXcd> solver(h, false);
        if (solver.info() != Eigen::Success || !solver.eigenvalues().allFinite()) return false;
        for (Eigen::Index i = 0; i < n; ++i) poles[size_t(i)] = solver.eigenvalues()(i);
        return true;
    }

    // Real form: a pair (p, p*) with residues c' ± i c'' is the block [[p', p''], [-p'', p']]
    // with input (2, 0) and output (c', c''), so the zeros come in exact conjugate pairs.
    static bool real_zeros(ComplexVector& poles, const ComplexVector& sigma, double d) {
        const Eigen::Index n = Eigen::Index(poles.size());
        MatrixXd a = MatrixXd::Zero(n, n);
        VectorXd b = VectorXd::Zero(n), c = VectorXd::Zero(n);
        for (Eigen::Index i = 0; i < n; ++i) {
            const Complex p = poles[size_t(i)], r = sigma[size_t(i)];
            if (p.imag() != 0) {
                a(i, i) = a(i + 1, i + 1) = p.real();
                a(i, i + 1) = p.imag();
                a(i + 1, i) = -p.imag();
                b(i) = 2;
                c(i) = r.real();
                c(i + 1) = r.imag();
                ++i;
            } else {
                a(i, i) = p.real();
                b(i) = 1;
                c(i) = r.real();
            }
        }
        Eigen::EigenSolver<MatrixXd> solver(a - b * c.transpose() / d, false);
        if (solver.info() != Eigen::Success || !solver.eigenvalues().allFinite()) return false;
        poles.clear();
        for (Eigen::Index i = 0; i < n; ++i) {
            const Complex z = solver.eigenvalues()(i);
            if (z.imag() == 0) poles.push_back(z);
            else if (z.imag() < 0) poles.insert(poles.end(), {z, std::conj(z)});
        }
        return Eigen::Index(poles.size()) == n;
    }

    const FitData& data_;
    const PoleResidueFitOptions& options_;
};

// Largest pole count the frequencies support.
size_t pole_cap(size_t f_count, const PoleResidueFitOptions& options) {
    size_t cap = f_count >= 2 ? f_count - 2 : 0;
    if (!options.real) {
        size_t constant = options.feedthrough ? 1 : 0;
        cap = std::min(cap, f_count >= constant ? (f_count - constant) / 2 : 0);
    }
    return cap;
}

// A fit for fixed initial poles; null with an error in `status` on failure.
PoleResidueFit vector_fit(const SMatrix& source, const FitData& data, ComplexVector poles,
                          const PoleResidueFitOptions& options, ErrorHandler& status) {
    const size_t cap = pole_cap(data.frequencies.size(), options);
    if (poles.size() > cap) {
        status.error("The number of poles (" + std::to_string(poles.size()) + ") must be at most " +
                     std::to_string(cap) + " for " + std::to_string(data.frequencies.size()) + " frequencies.");
        return {};
    }
    VectorFitter fitter(data, options);
    const double tolerance = options.passive ? 0.0 : options.rms_error_tolerance;
    condition_poles(poles, options.stable);
    std::vector<ComplexVector> residues;
    double best = 0;
    bool ok = fitter.fit_residues(poles, residues, best);
    ComplexVector best_poles = poles;
    std::vector<ComplexVector> best_residues = residues;
    size_t budget = options.max_stale_iterations;
    for (size_t iteration = 0; ok && !poles.empty() && budget > 0 && iteration < options.max_iterations &&
                               best > tolerance;
         ++iteration) {
        double error = 0;
        ok = fitter.relocate(poles);
        if (!ok) break;
        condition_poles(poles, options.stable);
        ok = fitter.fit_residues(poles, residues, error);
        if (!ok) break;
        if (error < best) {
            best = error;
            best_poles = poles;
            best_residues = residues;
            budget = options.max_stale_iterations;
        } else {
            --budget;
        }
        if (error <= tolerance) break;
    }
    if (!ok) {
        status.error("Vector fit failed.");
        return {};
    }
    PoleResidueMatrix::Residues map;
    for (size_t e = 0; e < data.keys.size(); ++e) map.emplace(data.keys[e], std::move(best_residues[e]));
    auto model = std::make_shared<PoleResidueMatrix>(std::move(best_poles), std::move(map), kDefaultFrequencyScaling,
                                                     clone_objects(source.ports()), options.delays);
    return {model, model->rms_error(source)};
}

// n starting poles spread over the band of the data.
ComplexVector initial_poles(const std::vector<double>& frequencies, size_t n, const PoleResidueFitOptions& options) {
    double f_min = DBL_MAX, f_max = -DBL_MAX;
    bool zero = false;
    for (double f : frequencies) {
        if (options.real && f == 0) {
            zero = true;
            continue;
        }
        const double g = options.real ? std::fabs(f) : f;
        f_min = std::min(f_min, g);
        f_max = std::max(f_max, g);
    }
    if (f_min > f_max) f_min = f_max = 1;  // only zero frequencies: any positive band will do
    if (zero) f_min *= 0.1;
    const double loss = options.loss_factor;
    const size_t count = options.real ? n / 2 : n;
    ComplexVector poles;
    for (size_t k = 0; k < count; ++k) {
        double g;
        if (count == 1) g = 0.5 * (f_min + f_max);
        else if (options.real) g = f_min * std::pow(f_max / f_min, double(k) / double(count - 1));
        else g = f_min + (f_max - f_min) * double(k) / double(count - 1);
        const double beta = kTwoPi * g;
        const Complex p(-loss * std::fabs(beta), -beta);
        poles.push_back(p);
        if (options.real) poles.push_back(std::conj(p));
    }
    if (options.real && n % 2 == 1) poles.push_back(-kPi * (f_min + f_max));
    return poles;
}

// Given poles, last to first, reflected and completed with conjugates as the options ask.
ComplexVector given_poles(const PoleResidueFitOptions& options, ErrorHandler& status) {
    ComplexVector poles(options.initial_poles.rbegin(), options.initial_poles.rend());
    bool reflected = false;
    for (Complex& p : poles) {
        if (options.stable && p.real() > 0) {
            p = Complex(-p.real(), p.imag());
            reflected = true;
        }
    }
    if (reflected)
        status.warning("Initial poles with positive real part are anti-causal in the 's = -i h f' convention (see "
                       "'PoleResidueMatrix') and were reflected onto the stable half-plane. If they come from the "
                       "'exp(+i omega t)' convention, negate the poles and conjugate the S matrix data.");
    if (!options.real) return poles;
    // Real form wants each pair adjacent: the pole, then its conjugate.
    ComplexVector ordered;
    std::vector<bool> used(poles.size(), false);
    bool added = false;
    for (size_t i = 0; i < poles.size(); ++i) {
        if (used[i]) continue;
        used[i] = true;
        ordered.push_back(poles[i]);
        if (poles[i].imag() == 0) continue;
        ordered.push_back(std::conj(poles[i]));
        size_t j = i + 1;
        while (j < poles.size() && (used[j] || poles[j] != std::conj(poles[i]))) ++j;
        if (j < poles.size()) used[j] = true;
        else added = true;
    }
    if (added) status.warning("If 'real=True', 'initial_poles' must come in conjugate pairs. Adding conjugates of provided ones.");
    return ordered;
}

// Made passive when asked (20 iterations); its error recomputed.
void make_passive(PoleResidueFit& fit, const SMatrix& data, const PoleResidueFitOptions& options, QpSolver& solver) {
    if (!options.passive) return;
    fit.model->enforce_passivity(data.frequencies(), 20, options.real, options.feedthrough, solver);
    fit.rms_error = fit.model->rms_error(data);
}

}  // namespace

PoleResidueFit pole_residue_fit(const SMatrix& data, const PoleResidueFitOptions& options, QpSolver& solver,
                                ErrorHandler& status) {
    FitData fit_data{data.frequencies(), {}, {}};
    for (const auto& [key, values] : data.elements()) {
        fit_data.keys.push_back(key);
        ComplexVector shifted = values;
        auto delay = options.delays.find(key);
        if (delay != options.delays.end())
            for (size_t f = 0; f < shifted.size(); ++f)
                shifted[f] *= std::polar(1.0, -kTwoPi * data.frequencies()[f] * delay->second);
        fit_data.values.push_back(std::move(shifted));
    }
    if (!options.initial_poles.empty()) {
        ComplexVector poles = given_poles(options, status);
        PoleResidueFit fit = vector_fit(data, fit_data, std::move(poles), options, status);
        if (fit.model) make_passive(fit, data, options, solver);
        return fit;
    }
    const size_t f_count = data.frequencies().size();
    if (f_count < 2) {
        status.error("At least 2 frequencies are required.");
        return {};
    }
    size_t min_poles = options.min_poles, max_poles = options.max_poles;
    if (min_poles > max_poles) {
        status.error("'min_poles' cannot be greater than 'max_poles'.");
        return {};
    }
    const size_t cap = pole_cap(f_count, options);
    if (max_poles > cap) {
        if (!options.silence_warnings)
            status.warning("'max_poles' can be at most " + std::to_string(cap) + " due to the number of frequencies (" +
                           std::to_string(f_count) + ").");
        max_poles = cap;
        min_poles = std::min(min_poles, cap);
    }
    PoleResidueFit result;
    double best = DBL_MAX;
    for (size_t n = min_poles; n <= max_poles && best > options.rms_error_tolerance; ++n) {
        PoleResidueFit candidate = vector_fit(data, fit_data, initial_poles(data.frequencies(), n, options), options,
                                              status);
        if (!candidate.model) return {};
        if (candidate.rms_error >= best) continue;
        make_passive(candidate, data, options, solver);
        if (options.passive && result.model && !(candidate.model->is_passive() && candidate.rms_error < best))
            continue;
        result = candidate;
        best = candidate.rms_error;
    }
    if (!options.silence_warnings) {
        if (options.passive && result.model && !result.model->is_passive())
            status.warning("Passivity enforcement failed: result is not passive.");
        if (best > options.rms_error_tolerance)
            status.warning("Desired RMS error tolerance not reached: " + float_literal(best) + ".");
    }
    return result;
}

}  // namespace whistle
