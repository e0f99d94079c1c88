#include "gaussian_beam.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace whistle {

namespace {

constexpr double kSpeedOfLight = 2.99792458e14;  // µm/s
constexpr double kFreeSpaceImpedance = 376.730313668;  // Ω

using Vec3 = std::array<double, 3>;

double dot3(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3 cross3(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

Vec3 scaled(const Vec3& v, double s) { return {v[0] * s, v[1] * s, v[2] * s}; }

Vec3 normalized(const Vec3& v) { return scaled(v, 1.0 / std::sqrt(dot3(v, v))); }

}  // namespace

GaussianBeamFields gaussian_beam_fields(const Port3D& port, const GaussianMode& mode,
                                        const std::vector<std::array<double, 3>>& points,
                                        const std::vector<double>& frequencies,
                                        const std::vector<double>& indices) {
    const Vec3 u = normalized(port.input_vector());
    int axis = dominant_axis(u);
    Vec3 reference{};
    reference[axis == 0 ? 1 : 0] = 1.0;
    Vec3 e1 = normalized(Vec3{reference[0] - dot3(reference, u) * u[0],
                              reference[1] - dot3(reference, u) * u[1],
                              reference[2] - dot3(reference, u) * u[2]});
    Vec3 e2 = cross3(u, e1);
    double theta = mode.polarization_angle * std::numbers::pi / 180.0;
    Vec3 e_pol{std::cos(theta) * e1[0] + std::sin(theta) * e2[0],
               std::cos(theta) * e1[1] + std::sin(theta) * e2[1],
               std::cos(theta) * e1[2] + std::sin(theta) * e2[2]};

    GaussianBeamFields result;
    result.electric_polarization = e_pol;
    result.magnetic_polarization = cross3(u, e_pol);

    const double w0 = from_db(mode.waist_radius);
    const double waist = from_db(mode.waist_position);
    const Vec3 center{from_db(port.center()[0]), from_db(port.center()[1]),
                      from_db(port.center()[2])};
    // Distance past the waist and squared distance from the axis of every point.
    std::vector<double> along(points.size()), radial(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        Vec3 d{points[i][0] - center[0], points[i][1] - center[1], points[i][2] - center[2]};
        double t = dot3(d, u);
        along[i] = t - waist;
        radial[i] = std::max(0.0, dot3(d, d) - t * t);
    }

    result.amplitudes.resize(frequencies.size() * points.size());
    for (size_t f = 0; f < frequencies.size(); ++f) {
        double n = indices[f];
        double k = 2 * std::numbers::pi * n * frequencies[f] / kSpeedOfLight;
        double rayleigh = k * w0 * w0 / 2;
        for (size_t i = 0; i < points.size(); ++i) {
            std::complex<double> q(1.0, along[i] / rayleigh);
            result.amplitudes[f * points.size() + i] =
                std::exp(-radial[i] / (w0 * w0 * q) + std::complex<double>(0, k * along[i])) / q;
        }
        double e0 = std::sqrt(4 * kFreeSpaceImpedance / (n * std::numbers::pi * w0 * w0));
        result.electric_norm.push_back(e0);
        result.magnetic_norm.push_back(n * e0 / kFreeSpaceImpedance);
    }
    return result;
}

}  // namespace whistle
