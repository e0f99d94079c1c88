#include "pole_residue.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/circuit/pole_residue_detail.hpp"
#include "core/foundation/text.hpp"

namespace whistle {

using namespace pole_residue_detail;
using Eigen::MatrixXcd;

namespace pole_residue_detail {

DenseResidues dense_residues(const PoleResidueMatrix& model) {
    SMatrix::Elements keys;
    for (const auto& entry : model.residues()) keys.emplace(entry.first, ComplexVector());
    DenseResidues dense{SMatrix({}, std::move(keys)).port_modes(), {}};
    const size_t m = dense.modes.size();
    dense.terms.assign(model.poles().size() + 1, MatrixXcd::Zero(m, m));
    for (size_t i = 0; i < m; ++i) {
        for (size_t j = 0; j < m; ++j) {
            auto it = model.residues().find({dense.modes[j], dense.modes[i]});
            if (it == model.residues().end()) continue;
            for (size_t n = 0; n < dense.terms.size(); ++n) dense.terms[n](i, j) = it->second[n];
        }
    }
    return dense;
}

MatrixXcd response(const ComplexVector& poles, const DenseResidues& dense, Complex s) {
    MatrixXcd h = dense.terms.back();
    for (size_t n = 0; n < poles.size(); ++n) h += dense.terms[n] / (s - poles[n]);
    return h;
}

}  // namespace pole_residue_detail

namespace {

constexpr double kTwoPi = 6.283185307179586;

double largest_singular_value(const MatrixXcd& m) {
    return m.size() == 0 ? 0.0 : Eigen::JacobiSVD<MatrixXcd>(m).singularValues()(0);
}

// Realization with one block of states per input: A = diag(poles) per block, B selects the
// input, C holds the residues, all scaled by 1/w0 so the state matrix has unit size.
struct Realization {
    MatrixXcd a, b, c, d;
};

Realization realization(const ComplexVector& poles, const DenseResidues& dense, double w0) {
    const Eigen::Index n = Eigen::Index(poles.size()), m = Eigen::Index(dense.modes.size());
    Realization r{MatrixXcd::Zero(n * m, n * m), MatrixXcd::Zero(n * m, m), MatrixXcd::Zero(m, n * m),
                  dense.terms.back()};
    for (Eigen::Index j = 0; j < m; ++j) {
        for (Eigen::Index k = 0; k < n; ++k) {
            r.a(j * n + k, j * n + k) = poles[size_t(k)] / w0;
            r.b(j * n + k, j) = 1;
            r.c.col(j * n + k) = dense.terms[size_t(k)].col(j) / w0;
        }
    }
    return r;
}

}  // namespace

PoleResidueMatrix::PoleResidueMatrix(ComplexVector poles, Residues residues, double frequency_scaling,
                                     SMatrix::Ports ports, Delays delays)
    : Cloneable(TypeCode::PoleResidueMatrix),
      poles_(std::move(poles)),
      residues_(std::move(residues)),
      frequency_scaling_(frequency_scaling),
      ports_(std::move(ports)),
      delays_(std::move(delays)) {
    for (const auto& [key, values] : residues_) {
        if (values.size() != poles_.size() + 1)
            throw std::invalid_argument("Residue length does not match the number of poles.");
        ports_.try_emplace(port_of(key.first));
        ports_.try_emplace(port_of(key.second));
    }
}

PoleResidueMatrix::PoleResidueMatrix(const PoleResidueMatrix& other)
    : Cloneable(other),
      poles_(other.poles_),
      residues_(other.residues_),
      frequency_scaling_(other.frequency_scaling_),
      ports_(clone_objects(other.ports_)),
      delays_(other.delays_) {}

void PoleResidueMatrix::set_rational_part(const PoleResidueMatrix& other) {
    poles_ = other.poles_;
    residues_ = other.residues_;
    for (const auto& entry : residues_) {
        ports_.try_emplace(port_of(entry.first.first));
        ports_.try_emplace(port_of(entry.first.second));
    }
}

Complex PoleResidueMatrix::value(const Key& key, double frequency) const {
    auto it = residues_.find(key);
    if (it == residues_.end()) return 0;
    const ComplexVector& r = it->second;
    const Complex s = laplace(frequency, frequency_scaling_);
    Complex sum = r.back();
    for (size_t n = 0; n < poles_.size(); ++n) sum += r[n] / (s - poles_[n]);
    auto delay = delays_.find(key);
    return delay == delays_.end() ? sum : sum * std::polar(1.0, kTwoPi * frequency * delay->second);
}

SMatrix PoleResidueMatrix::evaluate(const std::vector<double>& frequencies) const {
    SMatrix::Elements elements;
    for (const auto& entry : residues_) {
        ComplexVector& values = elements[entry.first];
        for (double f : frequencies) values.push_back(value(entry.first, f));
    }
    return SMatrix(frequencies, std::move(elements), clone_objects(ports_));
}

double PoleResidueMatrix::rms_error(const SMatrix& data) const {
    const std::vector<double>& frequencies = data.frequencies();
    std::vector<Key> keys;
    for (const auto& entry : residues_) keys.push_back(entry.first);
    for (const auto& entry : data.elements())
        if (!residues_.count(entry.first)) keys.push_back(entry.first);
    if (keys.empty() || frequencies.empty()) return 0;
    double sum = 0;
    for (const Key& key : keys) {
        auto it = data.elements().find(key);
        for (size_t f = 0; f < frequencies.size(); ++f)
            sum += std::norm(value(key, frequencies[f]) - (it == data.elements().end() ? 0.0 : it->second[f]));
    }
    return std::sqrt(sum / double(frequencies.size() * keys.size()));
}

std::vector<double> PoleResidueMatrix::unit_crossings() const {
    DenseResidues dense = dense_residues(*this);
    const Eigen::Index m = Eigen::Index(dense.modes.size());
    if (poles_.empty() || m == 0) return {};
    // Poles many decades beyond the others act as constants at the frequencies where those
    // matter; folded into the constant term they no longer swamp the eigenvalue accuracy.
    std::vector<double> magnitudes;
    for (Complex p : poles_) magnitudes.push_back(std::abs(p));
    std::nth_element(magnitudes.begin(), magnitudes.begin() + magnitudes.size() / 2, magnitudes.end());
    const double far = 1e6 * std::max(magnitudes[magnitudes.size() / 2], 1e-300);
    ComplexVector near;
    DenseResidues folded{dense.modes, {}};
    MatrixXcd constant = dense.terms.back();
    double w0 = 0;
    for (size_t n = 0; n < poles_.size(); ++n) {
        if (std::abs(poles_[n]) > far) {
            constant -= dense.terms[n] / poles_[n];
            continue;
        }
        near.push_back(poles_[n]);
        folded.terms.push_back(dense.terms[n]);
        w0 = std::max(w0, std::abs(poles_[n]));
    }
    folded.terms.push_back(constant);
    if (w0 == 0) w0 = 1;
    Realization r = realization(near, folded, w0);
    // A constant term with a unit singular value makes the Riccati weights singular: shrink it
    // by a rounding-level amount, which moves no crossing measurably.
    if (largest_singular_value(r.d) >= 1 - 1e-12) r.d *= 1 - 1e-9;
    const MatrixXcd identity = MatrixXcd::Identity(m, m);
    const MatrixXcd r_inv = (r.d.adjoint() * r.d - identity).inverse();
    const MatrixXcd s_inv = (r.d * r.d.adjoint() - identity).inverse();
    const Eigen::Index states = r.a.rows();
    MatrixXcd hamiltonian(2 * states, 2 * states);
    hamiltonian << r.a - r.b * r_inv * r.d.adjoint() * r.c, -r.b * r_inv * r.b.adjoint(),
        r.c.adjoint() * s_inv * r.c, -r.a.adjoint() + r.c.adjoint() * r.d * r_inv * r.b.adjoint();
    Eigen::ComplexEigenSolver<MatrixXcd> solver(hamiltonian, false);
    if (solver.info() != Eigen::Success) return {};
    const double scale = std::max(1.0, hamiltonian.cwiseAbs().maxCoeff());
    std::vector<double> crossings;
    for (Eigen::Index k = 0; k < solver.eigenvalues().size(); ++k) {
        Complex lambda = solver.eigenvalues()(k);
        if (std::fabs(lambda.real()) > 1e-6 * scale) continue;
        // s = i·y·w0 lies on the frequency axis at f = -y·w0/h; keep it when a singular value
        // there really is 1 (eigenvalues near the axis are not all crossings).
        double f = -lambda.imag() * w0 / frequency_scaling_;
        Eigen::VectorXd sv =
            Eigen::JacobiSVD<MatrixXcd>(response(poles_, dense, laplace(f, frequency_scaling_))).singularValues();
        bool unit = false;
        for (Eigen::Index i = 0; i < sv.size(); ++i) unit = unit || std::fabs(sv(i) - 1) < 1e-4;
        if (unit) crossings.push_back(f);
    }
    std::sort(crossings.begin(), crossings.end());
    return crossings;
}

std::vector<double> PoleResidueMatrix::resonances() const {
    std::vector<double> frequencies;
    for (Complex p : poles_) frequencies.push_back(-p.imag() / frequency_scaling_);
    return frequencies;
}

bool PoleResidueMatrix::is_passive() const {
    DenseResidues dense = dense_residues(*this);
    if (largest_singular_value(dense.terms.back()) > 1.0) return false;
    // Poles spread over many decades limit the accuracy of the crossing search; the peaks at
    // the resonances are checked directly as well.
    for (double f : resonances())
        if (largest_singular_value(response(poles_, dense, laplace(f, frequency_scaling_))) > 1.0) return false;
    return unit_crossings().empty();
}

std::string PoleResidueMatrix::str(bool representation) const {
    if (!representation)
        return "Pole-residue matrix with " + std::to_string(poles_.size()) + " poles and " +
               std::to_string(ports_.size()) + " ports";
    return "PoleResidueMatrix(poles=" + complex_values_text(poles_) + ", residues=" + elements_text(residues_) +
           ", frequency_scaling=" + float_literal(frequency_scaling_) + ", ports=" + objects_text(ports_) +
           ", delays=" + key_values_text(delays_) + ")";
}

bool PoleResidueMatrix::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::PoleResidueMatrix) return false;
    const auto& o = static_cast<const PoleResidueMatrix&>(other);
    return poles_ == o.poles_ && residues_ == o.residues_ && frequency_scaling_ == o.frequency_scaling_ &&
           delays_ == o.delays_ && same_objects(ports_, o.ports_);
}

}  // namespace whistle
