// Port specifications: the cross-section template of a waveguide or transmission line port.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/foundation/base_type.hpp"
#include "core/foundation/units.hpp"
#include "core/geometry/intervals.hpp"
#include "layer.hpp"
#include "medium.hpp"

namespace whistle {

class Interpolator;
class Path;
class Structure;

// One profile of a port: a strip of `width` whose center lies `offset` across the port.
struct PathProfile {
    Coord width = 0;
    Coord offset = 0;
    Layer layer;
    bool operator==(const PathProfile&) const = default;
};

// What makes a port spec electrical: integration paths and an impedance.
struct ElectricalData {
    std::vector<Vector> voltage_path;
    // A vertex list, or the contour of a planar structure (without holes), or neither.
    std::vector<Vector> current_path;
    std::shared_ptr<Structure> current_structure;
    std::shared_ptr<Interpolator> impedance;
};

class PortSpec final : public Cloneable<PortSpec, BaseType> {
public:
    // Profiles given as a list are stored under the byte 0xFF followed by their index.
    static std::string unnamed_profile(size_t index);
    static bool is_unnamed(const std::string& name) { return !name.empty() && name[0] == '\xff'; }

    PortSpec(std::string description, Coord width, std::array<Coord, 2> limits)
        : Cloneable(TypeCode::PortSpec), description_(std::move(description)), width_(width),
          limits_(limits) {}

    const std::string& description() const { return description_; }
    Coord width() const { return width_; }
    const std::array<Coord, 2>& limits() const { return limits_; }
    Coord default_radius() const { return default_radius_; }
    uint32_t num_modes() const { return num_modes_; }
    uint32_t added_solver_modes() const { return added_solver_modes_; }
    const std::string& polarization() const { return polarization_; }
    const std::optional<double>& target_neff() const { return target_neff_; }
    // Ordered by name, byte-wise.
    const std::map<std::string, PathProfile>& path_profiles() const { return path_profiles_; }
    const std::optional<ElectricalData>& electrical() const { return electrical_; }
    bool is_electrical() const { return electrical_.has_value(); }
    Classification classification() const {
        return is_electrical() ? Classification::Electrical : Classification::Optical;
    }
    // Equal limits: a line that cannot be mode-solved.
    bool is_1d() const { return limits_[0] == limits_[1]; }

    void set_description(std::string description) { description_ = std::move(description); }
    void set_width(Coord width) { width_ = width; }
    void set_limits(const std::array<Coord, 2>& limits) { limits_ = limits; }
    void set_default_radius(Coord radius) { default_radius_ = radius; }
    void set_num_modes(uint32_t count) { num_modes_ = count; }
    void set_added_solver_modes(uint32_t count) { added_solver_modes_ = count; }
    void set_polarization(std::string polarization) { polarization_ = std::move(polarization); }
    void set_target_neff(std::optional<double> neff) { target_neff_ = neff; }
    void set_path_profiles(std::map<std::string, PathProfile> profiles) {
        path_profiles_ = std::move(profiles);
    }
    void set_electrical(std::optional<ElectricalData> data) { electrical_ = std::move(data); }

    // Every profile (w, o, L) has its mirror (w, −o, L); names do not count.
    bool symmetric() const;
    // The profiles in name order.
    std::vector<PathProfile> profiles_list() const;
    // The profiles on one layer, in name order.
    std::vector<PathProfile> profiles_on(const Layer& layer) const;
    // Per layer, the merged parts of the profiles within the window [−(W+1)/2, (W+1)/2].
    using Intervals = std::map<Layer, std::vector<Interval>>;
    Intervals profile_intervals(Coord window) const;
    // Same limits, same classification and the same merged profiles within the wider window.
    bool profile_matches(const PortSpec& other) const;
    // A copy with the other's profiles added, unnamed, their offsets moved by `offset`.
    std::shared_ptr<PortSpec> combined_with(const PortSpec& other, Coord offset) const;
    // One straight-ready path per profile, starting at origin, with its layer.
    std::vector<std::pair<Layer, std::shared_ptr<Path>>> paths(const Vector& origin,
                                                               bool scale_width) const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    std::string description_;
    Coord width_;
    std::array<Coord, 2> limits_;
    Coord default_radius_ = 0;
    uint32_t num_modes_ = 1;
    uint32_t added_solver_modes_ = 0;
    std::string polarization_;
    std::optional<double> target_neff_;
    std::map<std::string, PathProfile> path_profiles_;
    std::optional<ElectricalData> electrical_;
};

// The port specification with every profile offset negated: the same object when symmetric.
std::shared_ptr<PortSpec> inverted(const std::shared_ptr<PortSpec>& spec);

}  // namespace whistle
