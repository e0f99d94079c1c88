// Text annotation placed at an origin; transforms like a structure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "structure.hpp"

namespace whistle {

enum class Anchor : uint8_t { NW, N, NE, W, O, E, SW, S, SE };

std::string_view anchor_name(Anchor anchor);
std::optional<Anchor> anchor_from_name(std::string_view name);

class Label final : public Cloneable<Label, BaseType> {
public:
    explicit Label(std::string text = {}, const Vector& origin = {}, Anchor anchor = Anchor::NW,
                   double rotation = 0, double scaling = 1, bool x_reflection = false);

    const std::string& text() const { return text_; }
    const Vector& origin() const { return origin_; }
    Anchor anchor() const { return anchor_; }
    double rotation() const { return rotation_; }
    double scaling() const { return scaling_; }
    bool x_reflection() const { return x_reflection_; }
    void set_text(std::string text) { text_ = std::move(text); }
    void set_origin(const Vector& origin) { origin_ = origin; }
    void set_anchor(Anchor anchor) { anchor_ = anchor; }
    void set_rotation(double rotation) { rotation_ = rotation; }
    void set_scaling(double scaling) { scaling_ = scaling; }
    void set_x_reflection(bool x_reflection) { x_reflection_ = x_reflection; }

    bool content_bytes(std::string& out) const override;
    std::string str(bool representation) const override;
    bool equals(const BaseType& other) const override;

    // Placement steps as structures take them; the origin stays within the coordinate range.
    void transform(Placements steps);
    void transform(const Vector& translation, bool x_reflection, double rotation,
                   double magnification);
    void translate(const Vector& delta);
    void rotate(double rotation, const Vector& center);
    void scale(double magnification, const Vector& center);
    void mirror(const Vector& axis_endpoint, const Vector& axis_origin);

private:
    std::string text_;
    Vector origin_;
    Anchor anchor_;
    double rotation_;
    double scaling_;
    bool x_reflection_;
};

}  // namespace whistle
