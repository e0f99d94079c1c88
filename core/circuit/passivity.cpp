// Passivity enforcement by residue perturbation: each iteration linearizes the singular values
// above one half at sampled frequencies (unit crossings and points between them, resonances,
// some of the given frequencies, a grid over the model's span and a far frequency standing for
// the constant term) and solves one quadratic program for the least change of the response at
// the given frequencies that keeps them below 1.
#include <algorithm>
#include <cmath>
#include <limits>

#include "core/circuit/pole_residue_detail.hpp"

namespace whistle {

using namespace pole_residue_detail;

namespace {

// Singular values are pushed this far below 1, so that rounding cannot leave them at 1.
constexpr double kMargin = 1e-4;
// Singular values above this are constrained; lower ones rarely reach 1 in one step, and the
// next iteration catches those that do.
constexpr double kWatched = 0.5;
// Points sampled between consecutive unit crossings to find the violation peaks.
constexpr size_t kBandSamples = 9;
// Points of the grid over the whole span of the model.
constexpr size_t kGridSamples = 200;
// At most this many of the given frequencies are constrained as well.
constexpr size_t kGivenSamples = 100;

}  // namespace

class PassivityEnforcer {
public:
    PassivityEnforcer(PoleResidueMatrix& model, const std::vector<double>& frequencies, bool real, bool feedthrough)
        : model_(model), frequencies_(frequencies), real_(real), feedthrough_(feedthrough) {}

    // One perturbation; false when no constraint applies or the program has no solution.
    bool step(QpSolver& solver) {
        DenseResidues dense = dense_residues(model_);
        std::vector<double> samples = violation_samples();
        std::vector<double> all = frequencies_;
        all.insert(all.end(), samples.begin(), samples.end());
        Basis basis(model_.poles_, all, model_.frequency_scaling_, real_, feedthrough_);
        const Eigen::Index k = basis.columns(), given = Eigen::Index(frequencies_.size());
        const Eigen::Index rows = Eigen::Index(all.size());

        // Perturbable elements and their dense positions.
        std::vector<std::pair<PoleResidueMatrix::Key, std::pair<size_t, size_t>>> elements;
        for (const auto& entry : model_.residues_) {
            auto in = std::find(dense.modes.begin(), dense.modes.end(), entry.first.first);
            auto out = std::find(dense.modes.begin(), dense.modes.end(), entry.first.second);
            if (in != dense.modes.end() && out != dense.modes.end())
                elements.push_back({entry.first, {size_t(out - dense.modes.begin()), size_t(in - dense.modes.begin())}});
        }
        const size_t variables = elements.size() * size_t(k);
        if (variables == 0) return false;

        QpProblem problem;
        problem.variables = variables;
        problem.q.assign(variables, 0.0);
        // Whitened unknowns y = R·x with GᵀG = RᵀR (G: the response at the given frequencies,
        // slightly regularized) make the objective |y|², which the solver handles far better.
        MatrixXd stacked(2 * given + k, k);
        stacked << basis.matrix().topRows(given), basis.matrix().middleRows(rows, given),
            1e-6 * MatrixXd::Identity(k, k);
        const MatrixXd r = Eigen::HouseholderQR<MatrixXd>(stacked).matrixQR().topRows(k).triangularView<Eigen::Upper>();
        const MatrixXd r_inverse = r.triangularView<Eigen::Upper>().solve(MatrixXd::Identity(k, k));
        const MatrixXd whitened = basis.matrix() * r_inverse;
        problem.P.assign(variables * variables, 0.0);
        for (size_t v = 0; v < variables; ++v) problem.P[v * variables + v] = 2;

        for (size_t t = 0; t < samples.size(); ++t) {
            const Eigen::Index row = given + Eigen::Index(t);
            Eigen::JacobiSVD<MatrixXcd> svd(
                response(model_.poles_, dense, laplace(samples[t], model_.frequency_scaling_)),
                Eigen::ComputeFullU | Eigen::ComputeFullV);
            for (Eigen::Index m = 0; m < svd.singularValues().size(); ++m) {
                const double sigma = svd.singularValues()(m);
                if (sigma <= kWatched) break;
                // dσ = Re(uᴴ ΔH v)
                std::vector<double> coefficients(variables, 0.0);
                for (size_t e = 0; e < elements.size(); ++e) {
                    const auto [i, j] = elements[e].second;
                    const Complex w = std::conj(svd.matrixU()(Eigen::Index(i), m)) * svd.matrixV()(Eigen::Index(j), m);
                    for (Eigen::Index b = 0; b < k; ++b)
                        coefficients[e * size_t(k) + size_t(b)] =
                            w.real() * whitened(row, b) - w.imag() * whitened(row + rows, b);
                }
                problem.A.insert(problem.A.end(), coefficients.begin(), coefficients.end());
                problem.l.push_back(-std::numeric_limits<double>::infinity());
                problem.u.push_back(1 - kMargin - sigma);
            }
        }
        if (problem.u.empty()) return false;
        std::optional<std::vector<double>> x = solver.solve(problem);
        if (!x || x->size() != variables) return false;
        for (size_t e = 0; e < elements.size(); ++e) {
            ComplexVector delta = basis.residues(r_inverse * Eigen::Map<const VectorXd>(x->data() + e * size_t(k), k));
            ComplexVector& r = model_.residues_.at(elements[e].first);
            for (size_t n = 0; n < r.size(); ++n) r[n] += delta[n];
        }
        return true;
    }

private:
    // Frequencies where singular values may exceed 1.
    std::vector<double> violation_samples() const {
        std::vector<double> crossings = model_.unit_crossings();
        std::vector<double> samples = model_.resonances();
        const size_t stride = frequencies_.size() / kGivenSamples + 1;
        for (size_t f = 0; f < frequencies_.size(); f += stride) samples.push_back(frequencies_[f]);
        samples.insert(samples.end(), crossings.begin(), crossings.end());
        for (size_t c = 0; c + 1 < crossings.size(); ++c)
            for (size_t t = 1; t <= kBandSamples; ++t)
                samples.push_back(crossings[c] + (crossings[c + 1] - crossings[c]) * double(t) / (kBandSamples + 1));
        // A grid over the span of the poles and the given frequencies catches broad violations.
        double w0 = 1, span = 0;
        for (Complex p : model_.poles_) w0 = std::max(w0, std::abs(p));
        for (double f : frequencies_) span = std::max(span, std::fabs(f));
        span = std::max(span, 2 * w0 / model_.frequency_scaling_);
        for (size_t t = 0; t <= kGridSamples; ++t)
            samples.push_back(span * (2 * double(t) / double(kGridSamples) - 1));
        samples.push_back(1e8 * w0 / model_.frequency_scaling_);
        return samples;
    }

    PoleResidueMatrix& model_;
    const std::vector<double>& frequencies_;
    bool real_, feedthrough_;
};

bool PoleResidueMatrix::enforce_passivity(const std::vector<double>& frequencies, size_t max_iterations, bool real,
                                          bool feedthrough, QpSolver& solver) {
    PassivityEnforcer enforcer(*this, frequencies, real, feedthrough);
    for (size_t iteration = 0; iteration < max_iterations; ++iteration) {
        if (is_passive()) return true;
        if (!enforcer.step(solver)) return false;
    }
    return is_passive();
}

}  // namespace whistle
