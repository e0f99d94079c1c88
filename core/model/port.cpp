#include "port.hpp"

#include <cmath>

#include "core/foundation/config.hpp"
#include "core/geometry/rectangle.hpp"

namespace whistle {

bool angles_equal(double a, double b, double period) {
    double r = std::fmod(std::fabs(a - b), period);
    return r < 1e-16 || period - r < 1e-16;
}

Vector Port::snapped(const Vector& center, double direction) {
    Coord grid = std::max(config().grid, Config::kMinGrid);
    Coord half = grid / 2;
    // Along the input axis the full grid; across it (and for oblique ports) the half grid.
    if (angles_equal(direction, 0, 180))
        return check_range(Vector{nearest_multiple(center.x, grid), nearest_multiple(center.y, half)});
    if (angles_equal(direction, 90, 180))
        return check_range(Vector{nearest_multiple(center.x, half), nearest_multiple(center.y, grid)});
    return check_range(Vector{nearest_multiple(center.x, half), nearest_multiple(center.y, half)});
}

Port::Port(const Vector& center, double input_direction, std::shared_ptr<PortSpec> spec,
           bool extended, bool inverted, Coord bend_radius)
    : Cloneable(TypeCode::Port), center_(snapped(center, input_direction)),
      input_direction_(input_direction), bend_radius_(bend_radius), spec_(std::move(spec)),
      extended_(extended), inverted_(inverted) {}

void Port::set_center(const Vector& center) { center_ = snapped(center, input_direction_); }

void Port::set_input_direction(double direction) {
    center_ = snapped(center_, direction);
    input_direction_ = direction;
}

void Port::transform(const Placement& step) {
    Vector center = check_range(step.point(center_));
    double direction = step.x_reflection ? step.rotation - input_direction_
                                         : step.rotation + input_direction_;
    Coord radius = step_nearest(double(step.x_reflection ? -bend_radius_ : bend_radius_) *
                                step.magnification);
    center_ = snapped(center, direction);
    input_direction_ = direction;
    bend_radius_ = radius;
    inverted_ = inverted_ != step.x_reflection;
}

std::shared_ptr<Port> Port::placed(Placements steps) const {
    auto result = std::make_shared<Port>(*this);
    for (const Placement& step : steps) result->transform(step);
    return result;
}

bool Port::profiles_match(const Port& other, bool invert_other) const {
    if (!invert_other) return spec_->profile_matches(*other.spec_);
    return spec_->profile_matches(*whistle::inverted(other.spec_));
}

bool Port::specs_agree(const Port& other, bool plain) const {
    // The specifications as they stand first; the other one inverted only when the flags
    // call for it.
    if ((plain || spec_->symmetric()) && profiles_match(other, false)) return true;
    return !plain && profiles_match(other, true);
}

bool Port::matches(const Port& other) const {
    if (center_ != other.center_ || classification() != other.classification() ||
        !angles_equal(input_direction_, other.input_direction_, 360))
        return false;
    return specs_agree(other, inverted_ == other.inverted_);
}

bool Port::is_connected_to(const Port& other) const {
    if (center_ != other.center_ || classification() != other.classification() ||
        !angles_equal(input_direction_ - 180, other.input_direction_, 360))
        return false;
    return specs_agree(other, inverted_ != other.inverted_);
}

bool Port::can_connect_to(const Port& other) const {
    if (classification() != other.classification()) return false;
    return profiles_match(other, inverted_ == other.inverted_);
}

std::map<std::string, std::shared_ptr<Terminal>> Port::terminals() const {
    std::map<std::string, std::shared_ptr<Terminal>> result;
    Coord depth = std::max(config().grid, Config::kMinGrid);
    for (const auto& [name, profile] : spec_->path_profiles()) {
        if (PortSpec::is_unnamed(name)) continue;
        result.emplace(name, std::make_shared<Terminal>(profile.layer,
                                                        profile_strip(profile, depth, 0)));
    }
    return result;
}

std::shared_ptr<Rectangle> Port::profile_strip(const PathProfile& profile, Coord depth,
                                               double shift) const {
    Vec2 along = direction_vector(input_direction_);
    double offset = double(inverted_ ? -profile.offset : profile.offset);
    Vector center = check_range(
        center_ + Vec2{-along.y * offset - along.x * shift, along.x * offset - along.y * shift}.rounded());
    return std::make_shared<Rectangle>(center, Vector{depth, profile.width}, input_direction_);
}

std::string Port::str(bool representation) const {
    if (!representation)
        return "Port at " + point_text(center_) + " with input direction " +
               number_text(input_direction_);
    return "Port(center=" + point_text(center_) + ", input_direction=" +
           number_text(input_direction_) + ", spec=" + spec_->str(true) +
           ", extended=" + (extended_ ? "True" : "False") +
           ", inverted=" + (inverted_ ? "True" : "False") +
           ", bend_radius=" + length_text(double(bend_radius_)) + ")";
}

bool Port::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::Port) return false;
    const auto& o = static_cast<const Port&>(other);
    return center_ == o.center_ && angles_equal(input_direction_, o.input_direction_, 360) &&
           bend_radius_ == o.bend_radius_ && extended_ == o.extended_ &&
           inverted_ == o.inverted_ && same_or_equal(spec_, o.spec_);
}

}  // namespace whistle
