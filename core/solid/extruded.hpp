// A planar structure extruded along an axis, with a linear taper between the limits.
#pragma once

#include <array>
#include <memory>

#include "core/geometry/structure.hpp"
#include "core/solid/structure3d.hpp"

namespace whistle {

class Extruded final : public Structure3D {
public:
    // Axis 0, 1, 2 for x, y, z; the face lies in the other two axes in cyclic order.
    Extruded(std::shared_ptr<BaseType> medium, std::shared_ptr<Structure> face,
             std::array<Coord, 2> limits, std::array<Coord, 2> dilations = {0, 0}, int axis = 2)
        : Structure3D(TypeCode::Extruded, std::move(medium)), face_(std::move(face)),
          limits_(limits), dilations_(dilations), axis_(axis) {}

    const std::shared_ptr<Structure>& face() const { return face_; }
    // Lower and upper extent along the axis.
    const std::array<Coord, 2>& limits() const { return limits_; }
    // Offset of the face at the lower and upper limit; negative erodes.
    const std::array<Coord, 2>& dilations() const { return dilations_; }
    int axis() const { return axis_; }

    void set_face(std::shared_ptr<Structure> face) { face_ = std::move(face); }
    void set_limits(const std::array<Coord, 2>& limits) { limits_ = limits; }
    void set_dilations(const std::array<Coord, 2>& dilations) { dilations_ = dilations; }
    void set_axis(int axis) { axis_ = axis; }

    std::shared_ptr<Structure3D> copy(bool deep) const override;
    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

private:
    std::shared_ptr<Structure> face_;
    std::array<Coord, 2> limits_;
    std::array<Coord, 2> dilations_;
    int axis_;
};

// "x", "y" or "z" for axis 0, 1, 2.
const char* axis_name(int axis);

}  // namespace whistle
