#include "reference.hpp"

#include <cmath>

#include "component.hpp"
#include "core/foundation/config.hpp"
#include "core/foundation/text.hpp"
#include "port.hpp"

namespace whistle {

Vector Repetition::offset(uint64_t index) const {
    if (index >= count()) throw std::out_of_range(kIndexError);
    uint64_t row = index / columns;
    uint64_t column = index - row * columns;
    Int128 x = Int128(column) * spacing.x, y = Int128(row) * spacing.y;
    if (x < -kMaxCoord || x > kMaxCoord || y < -kMaxCoord || y > kMaxCoord) throw RangeError();
    return {Coord(x), Coord(y)};
}

Placement Reference::placement(uint64_t index) const {
    return {check_range(origin_ + repetition_.offset(index)), x_reflection_, rotation_, scaling_};
}

// translate(rotate(mirror(scale(frame)))): the origin moves as a point, exactly for quarter
// turns at unit scale, else rounded half away from zero after scaling.
Reference::Frame Reference::transformed(Frame f, const Vector& t, bool mirror, double rotation,
                                        double scaling) {
    const Coord x = f.origin.x, y = mirror ? -f.origin.y : f.origin.y;
    int k = 0;
    if (scaling == 1 && is_quarter_turn(rotation, k)) {
        const Vector turned[4] = {{x, y}, {-y, x}, {-x, -y}, {y, -x}};
        f.origin = t + turned[k];
    } else {
        double c = std::cos(radians(rotation)), s = std::sin(radians(rotation));
        f.origin = {t.x + step_nearest((c * double(x) - s * double(y)) * scaling),
                    t.y + step_nearest((s * double(x) + c * double(y)) * scaling)};
    }
    check_range(f.origin);
    f.rotation = (mirror ? -f.rotation : f.rotation) + rotation;
    f.scaling *= scaling;
    f.x_reflection = f.x_reflection != mirror;
    return f;
}

void Reference::transform(const Vector& translation, bool mirror, double rotation, double scaling) {
    assign(transformed(frame({}), translation, mirror, rotation, scaling));
}

void Reference::translate(const Vector& delta) { origin_ = check_range(origin_ + delta); }

void Reference::rotate(double rotation, const Vector& center) {
    assign(transformed(frame(center), center, false, rotation, 1));
}

void Reference::scale(double scaling, const Vector& center) {
    assign(transformed(frame(center), center, false, 0, scaling));
}

void Reference::mirror(const Vector& axis_endpoint, const Vector& axis_origin) {
    Vector d = axis_endpoint - axis_origin;
    if (d == Vector{}) return;
    Frame f = frame(axis_origin);
    if (d.y == 0) {
        f = transformed(f, axis_origin, true, 0, 1);
    } else {
        // Turn the axis onto x, mirror, and turn back.
        double angle = axis_angle(axis_endpoint, axis_origin);
        f = transformed(f, {}, false, -angle, 1);
        f = transformed(f, axis_origin, true, angle, 1);
    }
    assign(f);
}

std::shared_ptr<Reference> Reference::repetition_reference(uint64_t index) const {
    auto result = std::make_shared<Reference>(component_, check_range(origin_ + repetition_.offset(index)),
                                              rotation_, scaling_, x_reflection_);
    result->update_kwargs_ = own_update_kwargs();
    return result;
}

namespace {

std::string repetition_text(const Repetition& r) {
    return "Repetition(columns=" + std::to_string(r.columns) + ", rows=" + std::to_string(r.rows) +
           ", spacing=" + point_text(r.spacing) + ")";
}

}  // namespace

std::string Reference::str(bool representation) const {
    const std::string name = component_ ? quoted(component_->name) : "None";
    if (!representation) {
        std::string text = "Reference to " + name + " at " + point_text(origin_);
        if (repetition_.count() != 1)
            text += " in a " + std::to_string(repetition_.columns) + " × " +
                    std::to_string(repetition_.rows) + " repetition";
        return text;
    }
    return "Reference(component=" + name + ", origin=" + point_text(origin_) +
           ", rotation=" + number_text(rotation_) + ", scaling=" + number_text(scaling_) +
           ", x_reflection=" + (x_reflection_ ? "True" : "False") +
           ", repetition=" + repetition_text(repetition_) + ")";
}

bool Reference::equals(const BaseType& other) const {
    if (other.type_code() != TypeCode::Reference) return false;
    const auto& o = static_cast<const Reference&>(other);
    // Absent update arguments equal empty ones.
    const std::shared_ptr<BaseType>& empty = config().prototypes[Config::kUpdateKwargs];
    const BaseType* mine = update_kwargs_ ? update_kwargs_.get() : empty.get();
    const BaseType* theirs = o.update_kwargs_ ? o.update_kwargs_.get() : empty.get();
    bool same_updates = mine == theirs || (mine && theirs && mine->equals(*theirs));
    return same_or_equal(component_, o.component_) && origin_ == o.origin_ && x_reflection_ == o.x_reflection_ &&
           repetition_ == o.repetition_ && std::fabs(scaling_ - o.scaling_) < 1e-16 &&
           angles_equal(rotation_, o.rotation_, 360) && same_updates;
}

std::shared_ptr<Reference> Reference::copy(bool deep, bool copy_technology) const {
    auto result = std::make_shared<Reference>(*this);
    result->update_kwargs_ = own_update_kwargs();
    if (deep && component_) result->component_ = component_->copy(true, copy_technology);
    return result;
}

}  // namespace whistle
