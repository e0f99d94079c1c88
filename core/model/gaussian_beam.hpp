// Fields of the paraxial Gaussian beam of a Gaussian port.
#pragma once

#include <array>
#include <complex>
#include <vector>

#include "port3d.hpp"

namespace whistle {

// The beam of a Gaussian port in a medium of refractive index n. With the beam axis u from the
// port center c, the waist at c + waist_position·u, the distance past the waist
// ζ = (p − c)·u − waist_position and ρ the distance from the axis, for wavenumber k = 2πn·f/c₀,
// Rayleigh range z_R = k·w₀²/2 and ξ = ζ/z_R:
//
//   E(p) = E₀ / (1 + iξ) · exp(−ρ² / (w₀²(1 + iξ))) · exp(ikζ)
//
// that is amplitude w₀/w(ζ) with w(ζ) = w₀√(1 + ξ²), Gouy phase −atan ξ and wavefront
// curvature kρ²/(2R), under the time convention exp(−iωt). The amplitudes are unit (E₀ = 1);
// the normalizations scale them to a beam carrying unit power through any cross-section, with
// lengths in micrometres: E₀ = √(4η₀/(nπw₀²)) and H₀ = n·E₀/η₀ (η₀ the impedance of free space).
//
// The polarization is cos θ·e₁ + sin θ·e₂ (θ the polarization angle), with e₁ the first axis
// other than the input vector's dominant one, made orthogonal to u, and e₂ = u × e₁; the
// magnetic polarization is u × E. A reflected port (u and θ negated) has the same polarization.
struct GaussianBeamFields {
    std::vector<std::complex<double>> amplitudes;  // frequency-major, frequencies × points
    std::vector<double> electric_norm;             // per frequency
    std::vector<double> magnetic_norm;
    std::array<double, 3> electric_polarization;
    std::array<double, 3> magnetic_polarization;
};

// Points in micrometres; one refractive index per frequency (Hz).
GaussianBeamFields gaussian_beam_fields(const Port3D& port, const GaussianMode& mode,
                                        const std::vector<std::array<double, 3>>& points,
                                        const std::vector<double>& frequencies,
                                        const std::vector<double>& indices);

}  // namespace whistle
