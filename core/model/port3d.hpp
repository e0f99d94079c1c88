// 3D ports: free-space and fiber beams placed in 3D, each carrying a mode object.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"
#include "medium.hpp"

namespace whistle {

class Structure;

using Point3 = std::array<Coord, 3>;
using Vector3 = std::array<double, 3>;

// What a 3D port carries. Virtual operations in slot order after the destructor.
class PortMode {
public:
    enum class Kind { Gaussian, Fiber };

    explicit PortMode(Kind kind) : kind_(kind) {}
    virtual ~PortMode() = default;
    virtual std::shared_ptr<PortMode> copy() const = 0;
    // The mode seen from the opposite direction.
    virtual std::shared_ptr<PortMode> reflected() const = 0;
    virtual uint32_t num_modes() const = 0;
    virtual uint32_t added_solver_modes() const = 0;
    // The mode's fields in constructor-argument form ("waist_radius=..., ...").
    virtual std::string representation() const = 0;
    virtual bool equals(const PortMode& other) const = 0;

    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

class GaussianMode final : public PortMode {
public:
    static constexpr double kDefaultFieldTolerance = 1.0e-3;

    GaussianMode(Coord waist_radius, Coord waist_position, double polarization_angle,
                 double field_tolerance)
        : PortMode(Kind::Gaussian), waist_radius(waist_radius), waist_position(waist_position),
          polarization_angle(polarization_angle), field_tolerance(field_tolerance) {}

    std::shared_ptr<PortMode> copy() const override;
    std::shared_ptr<PortMode> reflected() const override;
    uint32_t num_modes() const override { return 1; }
    uint32_t added_solver_modes() const override { return 0; }
    std::string representation() const override;
    bool equals(const PortMode& other) const override;

    Coord waist_radius;     // positive
    Coord waist_position;   // along the input vector; positive: waist in front of the port
    double polarization_angle;  // degrees
    double field_tolerance;     // in (0, 1)
};

class FiberMode final : public PortMode {
public:
    // A face of the cross-section, centered at (0, 0), and its medium.
    using Item = std::pair<std::shared_ptr<Structure>, Medium>;

    FiberMode(std::array<Coord, 2> size, std::array<Coord, 2> extrusion_limits)
        : PortMode(Kind::Fiber), size(size), extrusion_limits(extrusion_limits) {}

    std::shared_ptr<PortMode> copy() const override;
    // Behind and in front swap: the limits are negated and exchanged.
    std::shared_ptr<PortMode> reflected() const override;
    uint32_t num_modes() const override { return modes; }
    uint32_t added_solver_modes() const override { return added_modes; }
    std::string representation() const override;
    bool equals(const PortMode& other) const override;

    std::array<Coord, 2> size;
    std::array<Coord, 2> extrusion_limits;  // lower negative, upper positive
    std::vector<Item> cross_section;
    uint32_t modes = 1;
    uint32_t added_modes = 0;
    std::string polarization;  // "", "TE" or "TM"
    std::optional<double> target_neff;
};

// A Gaussian port (type GaussianPort) or a fiber port (type FiberPort), by its mode.
class Port3D final : public Cloneable<Port3D, BaseType> {
public:
    // Input vectors shorter than this are rejected by the interfaces.
    static constexpr double kMinLength = 1e-16;

    Port3D(const Point3& center, const Vector3& input_vector, std::shared_ptr<PortMode> mode);
    // Copies the mode.
    Port3D(const Port3D& other);

    const Point3& center() const { return center_; }
    const Vector3& input_vector() const { return input_vector_; }
    const std::shared_ptr<PortMode>& mode() const { return mode_; }
    void set_center(const Point3& center) { center_ = center; }
    void set_input_vector(const Vector3& vector) { input_vector_ = vector; }
    void set_mode(std::shared_ptr<PortMode> mode) { mode_ = std::move(mode); }

    // Negated input vector, reflected mode, center snapped to the half grid.
    std::shared_ptr<Port3D> reflected() const;
    // Same center, input vectors within 1e-16, equal modes.
    bool matches(const Port3D& other) const;
    bool is_connected_to(const Port3D& other) const { return matches(*other.reflected()); }

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    Point3 center_;
    Vector3 input_vector_;
    std::shared_ptr<PortMode> mode_;
};

// The index of the input-vector component of largest magnitude: x, then y on ties, z only
// when strictly larger.
int dominant_axis(const Vector3& v);

}  // namespace whistle
