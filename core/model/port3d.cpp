#include "port3d.hpp"

#include <cmath>

#include "core/foundation/config.hpp"
#include "core/geometry/structure.hpp"

namespace whistle {

namespace {

std::string polarization_text(const std::string& polarization) {
    return polarization.empty() ? "None" : "\"" + polarization + "\"";
}

std::string pair_text(const std::array<Coord, 2>& values) {
    return std::string("(") + length_text(double(values[0])) + ", " + length_text(double(values[1])) + ")";
}

}  // namespace

// ---- Gaussian mode ---------------------------------------------------------------------

std::shared_ptr<PortMode> GaussianMode::copy() const {
    return std::make_shared<GaussianMode>(*this);
}

std::shared_ptr<PortMode> GaussianMode::reflected() const {
    return std::make_shared<GaussianMode>(waist_radius, -waist_position, -polarization_angle,
                                          field_tolerance);
}

std::string GaussianMode::representation() const {
    return std::string("waist_radius=") + length_text(double(waist_radius)) +
           ", waist_position=" + length_text(double(waist_position)) +
           ", polarization_angle=" + number_text(polarization_angle) +
           ", field_tolerance=" + number_text(field_tolerance);
}

bool GaussianMode::equals(const PortMode& other) const {
    if (other.kind() != kind()) return false;
    const auto& o = static_cast<const GaussianMode&>(other);
    return waist_radius == o.waist_radius && waist_position == o.waist_position &&
           polarization_angle == o.polarization_angle && field_tolerance == o.field_tolerance;
}

// ---- Fiber mode ------------------------------------------------------------------------

std::shared_ptr<PortMode> FiberMode::copy() const {
    auto result = std::make_shared<FiberMode>(*this);
    for (Item& item : result->cross_section)
        item.first = std::static_pointer_cast<Structure>(item.first->clone());
    return result;
}

std::shared_ptr<PortMode> FiberMode::reflected() const {
    auto result = std::static_pointer_cast<FiberMode>(copy());
    result->extrusion_limits = {-extrusion_limits[1], -extrusion_limits[0]};
    return result;
}

std::string FiberMode::representation() const {
    std::string items;
    for (const Item& item : cross_section) {
        if (!items.empty()) items += ", ";
        items += std::string("(") + item.first->str(true) + ", Medium)";
    }
    return std::string("size=") + pair_text(size) + ", extrusion_limits=" + pair_text(extrusion_limits) +
           ", cross_section=[" + items + "], num_modes=" + std::to_string(modes) +
           ", polarization=" + polarization_text(polarization) +
           ", target_neff=" + (target_neff ? number_text(*target_neff) : "None") +
           ", added_solver_modes=" + std::to_string(added_modes);
}

bool FiberMode::equals(const PortMode& other) const {
    if (other.kind() != kind()) return false;
    const auto& o = static_cast<const FiberMode&>(other);
    if (cross_section.size() != o.cross_section.size()) return false;
    for (size_t i = 0; i < cross_section.size(); ++i) {
        const Item& a = cross_section[i];
        const Item& b = o.cross_section[i];
        if (!(a.second == b.second) || !(a.first == b.first || a.first->equals(*b.first)))
            return false;
    }
    return size == o.size && extrusion_limits == o.extrusion_limits && modes == o.modes &&
           added_modes == o.added_modes && polarization == o.polarization &&
           target_neff == o.target_neff;
}

// ---- Port3D ----------------------------------------------------------------------------

int dominant_axis(const Vector3& v) {
    double x = std::fabs(v[0]), y = std::fabs(v[1]), z = std::fabs(v[2]);
    if (z > x && z > y) return 2;
    return y > x ? 1 : 0;
}

Port3D::Port3D(const Point3& center, const Vector3& input_vector, std::shared_ptr<PortMode> mode)
    : Cloneable(mode->kind() == PortMode::Kind::Gaussian ? TypeCode::GaussianPort
                                                         : TypeCode::FiberPort),
      center_(center), input_vector_(input_vector), mode_(std::move(mode)) {}

Port3D::Port3D(const Port3D& other)
    : Cloneable(other), center_(other.center_), input_vector_(other.input_vector_),
      mode_(other.mode_->copy()) {}

std::shared_ptr<Port3D> Port3D::reflected() const {
    Coord half = std::max(config().grid, Config::kMinGrid) / 2;
    Point3 center;
    for (int i = 0; i < 3; ++i) center[i] = check_range(nearest_multiple(center_[i], half));
    const Vector3& v = input_vector_;
    return std::make_shared<Port3D>(center, Vector3{-v[0], -v[1], -v[2]}, mode_->reflected());
}

bool Port3D::matches(const Port3D& other) const {
    if (this == &other) return true;
    double dx = input_vector_[0] - other.input_vector_[0];
    double dy = input_vector_[1] - other.input_vector_[1];
    double dz = input_vector_[2] - other.input_vector_[2];
    return center_ == other.center_ && std::sqrt(dx * dx + dy * dy + dz * dz) < 1e-16 &&
           mode_->equals(*other.mode_);
}

bool Port3D::equals(const BaseType& other) const {
    return other.type_code() == type_code() && matches(static_cast<const Port3D&>(other));
}

std::string Port3D::str(bool representation) const {
    std::string name(type_name(int(type_code())));
    std::string center = std::string("(") + length_text(double(center_[0])) + ", " +
                         length_text(double(center_[1])) + ", " +
                         length_text(double(center_[2])) + ")";
    if (!representation) return name + " at " + center;
    return name + "(center=" + center + ", input_vector=(" + number_text(input_vector_[0]) +
           ", " + number_text(input_vector_[1]) + ", " + number_text(input_vector_[2]) + "), " +
           mode_->representation() + ")";
}

}  // namespace whistle
