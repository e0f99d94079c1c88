// Circles, ellipses, rings and sectors, with their polygon form cached.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "polygon.hpp"

namespace whistle {

class Circle final : public Cloneable<Circle, Structure> {
public:
    using Sector = std::array<double, 2>;  // start ≤ end, degrees; equal means full shape

    // Requires radii_valid(radius, inner_radius); the sector is sorted.
    Circle(const Vector& radius, const Vector& inner_radius = {}, const Vector& center = {},
           const Sector& sector = {0, 0}, double rotation = 0, uint32_t min_evals = 0);

    // Both inner semi-axes strictly below the outer ones.
    static bool radii_valid(const Vector& radius, const Vector& inner_radius);

    const Vector& radius() const { return radius_; }
    const Vector& inner_radius() const { return inner_radius_; }
    const Vector& center() const { return center_; }
    const Sector& sector() const { return sector_; }
    double rotation() const { return rotation_; }
    uint32_t min_evals() const { return min_evals_; }

    // The radius setters refuse (return false, no change) radii that radii_valid rejects.
    bool set_radius(const Vector& radius);
    bool set_inner_radius(const Vector& inner_radius);
    void set_center(const Vector& center);
    void set_sector(const Sector& sector);
    void set_rotation(double rotation);
    void set_min_evals(uint32_t min_evals);

    bool is_full() const { return sector_[0] == sector_[1]; }
    // Circular outline and circular (or no) hole.
    bool is_circular() const {
        return radius_.x == radius_.y && inner_radius_.x == inner_radius_.y;
    }
    // The polygon form, built once and kept until the next change.
    const Polygon& polygon() const;

    WHISTLE_STRUCTURE_OVERRIDES;

private:
    Polygon build_polygon() const;
    void changed() { polygon_.reset(); }

    Vector radius_;
    Vector inner_radius_;
    Vector center_;
    Sector sector_;
    double rotation_;
    uint32_t min_evals_;
    mutable std::optional<Polygon> polygon_;
};

}  // namespace whistle
