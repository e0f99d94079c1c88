// 2D ports: where waves enter a component in the layout plane, with a port specification.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "core/geometry/structure.hpp"
#include "port_spec.hpp"
#include "terminal.hpp"

namespace whistle {

class Rectangle;

// a = b modulo period: the remainder of |a − b| lies within 1e-16 of 0 or of the period.
bool angles_equal(double a, double b, double period);

class Port final : public Cloneable<Port, BaseType> {
public:
    // The center is snapped by the direction rule.
    Port(const Vector& center, double input_direction, std::shared_ptr<PortSpec> spec,
         bool extended = true, bool inverted = false, Coord bend_radius = 0);

    const Vector& center() const { return center_; }
    double input_direction() const { return input_direction_; }
    Coord bend_radius() const { return bend_radius_; }
    const std::shared_ptr<PortSpec>& spec() const { return spec_; }
    bool extended() const { return extended_; }
    bool inverted() const { return inverted_; }
    Classification classification() const { return spec_->classification(); }

    // Center and direction changes snap the center again.
    void set_center(const Vector& center);
    void set_input_direction(double direction);
    void set_bend_radius(Coord radius) { bend_radius_ = radius; }
    void set_spec(std::shared_ptr<PortSpec> spec) { spec_ = std::move(spec); }
    void set_extended(bool value) { extended_ = value; }
    void set_inverted(bool value) { inverted_ = value; }

    // A copy placed by the steps in order (as references place their components' ports).
    std::shared_ptr<Port> placed(Placements steps) const;
    std::shared_ptr<Port> placed(const Placement& step) const { return placed(Placements(&step, 1)); }

    // The placement of a reference: center, direction, bend radius and inverted flag follow.
    // Throws RangeError (leaving the port unchanged) when the center leaves the range.
    void transform(const Placement& step);

    // Same place and direction, compatible specifications.
    bool matches(const Port& other) const;
    // Same place, opposite directions, compatible specifications.
    bool is_connected_to(const Port& other) const;
    // Compatible specifications for a connection, wherever the ports are.
    bool can_connect_to(const Port& other) const;

    // One terminal per named profile: a strip of the profile's width across the port at its
    // offset, one grid step deep, on the profile's layer.
    std::map<std::string, std::shared_ptr<Terminal>> terminals() const;
    // A strip of the profile's width at its offset across the port, `depth` long along the
    // port direction, its center moved `shift` from the port against the input direction.
    std::shared_ptr<Rectangle> profile_strip(const PathProfile& profile, Coord depth,
                                             double shift) const;

    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    static Vector snapped(const Vector& center, double direction);
    // Profile match of the two port specifications, the other one inverted when asked.
    bool profiles_match(const Port& other, bool invert_other) const;
    // The port specification rule of matches and is_connected_to: `plain` when the flags mean the
    // specifications face each other as they are.
    bool specs_agree(const Port& other, bool plain) const;

    Vector center_;
    double input_direction_;
    Coord bend_radius_;
    std::shared_ptr<PortSpec> spec_;
    bool extended_;
    bool inverted_;
};

}  // namespace whistle
