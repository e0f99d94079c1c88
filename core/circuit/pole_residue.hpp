// `PoleResidueMatrix`: a rational model of an S matrix with poles shared by all elements, and
// its fitting to sampled data.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/circuit/qp_solver.hpp"
#include "core/circuit/s_matrix.hpp"

namespace whistle {

constexpr double kDefaultFrequencyScaling = 6.283185307179586;

class PoleResidueMatrix final : public Cloneable<PoleResidueMatrix, BaseType> {
public:
    using Key = SMatrix::Key;
    // Per element: one residue per pole, then the constant term.
    using Residues = std::map<Key, ComplexVector>;
    using Delays = std::map<Key, double>;

    // Throws std::invalid_argument when a residue vector does not hold poles + 1 entries.
    PoleResidueMatrix(ComplexVector poles, Residues residues, double frequency_scaling = kDefaultFrequencyScaling,
                      SMatrix::Ports ports = {}, Delays delays = {});
    PoleResidueMatrix(const PoleResidueMatrix& other);

    const ComplexVector& poles() const { return poles_; }
    const Residues& residues() const { return residues_; }
    double frequency_scaling() const { return frequency_scaling_; }
    const SMatrix::Ports& ports() const { return ports_; }
    const Delays& delays() const { return delays_; }

    // Takes the poles and residues of `other`, keeping everything else.
    void set_rational_part(const PoleResidueMatrix& other);

    // Element value at frequency f (delay included).
    Complex value(const Key& key, double frequency) const;
    SMatrix evaluate(const std::vector<double>& frequencies) const;
    // RMS difference over the data's frequencies and the union of both sides' keys.
    double rms_error(const SMatrix& data) const;

    // Constant-term singular values at most 1 and no frequency where a singular value of the
    // rational part reaches 1 (delays have unit magnitude and are left out).
    bool is_passive() const;
    // Frequencies (Hz) where a singular value of the rational part equals 1.
    std::vector<double> unit_crossings() const;
    // Frequencies (Hz) of the poles' resonances, where the response peaks.
    std::vector<double> resonances() const;
    // Perturbs the residues (and the constant term with `feedthrough`) with the least change at
    // `frequencies` until the model is passive; false when `max_iterations` did not suffice.
    bool enforce_passivity(const std::vector<double>& frequencies, size_t max_iterations, bool real,
                           bool feedthrough, QpSolver& solver);

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    friend class PassivityEnforcer;

    ComplexVector poles_;
    Residues residues_;
    double frequency_scaling_;
    SMatrix::Ports ports_;
    Delays delays_;
};

struct PoleResidueFitOptions {
    ComplexVector initial_poles;
    size_t min_poles = 0, max_poles = 30;
    double loss_factor = 1e-3, rms_error_tolerance = 1e-4;
    size_t max_iterations = 100, max_stale_iterations = 3;
    bool real = false, passive = true, feedthrough = false, stable = true, silence_warnings = false;
    PoleResidueMatrix::Delays delays;  // per element key; missing keys have none
};

struct PoleResidueFit {
    std::shared_ptr<PoleResidueMatrix> model;
    double rms_error = 0;
};

// Relaxed vector fitting with shared poles, searching pole counts unless initial poles are
// given. Errors and warnings go to `status`; the model is null after an error.
PoleResidueFit pole_residue_fit(const SMatrix& data, const PoleResidueFitOptions& options, QpSolver& solver,
                                ErrorHandler& status);

}  // namespace whistle
