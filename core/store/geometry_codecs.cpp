// Stored forms of the planar structures and labels.
#include "core/geometry/rectangle.hpp"
#include "core/store/store.hpp"

namespace whistle {

namespace {

// ---- Rectangle: center and size (signed integers), then a flag byte and the rotation when
// there is one.

void rectangle_to_twf(const BaseType& object, TwfPayloadWriter& out) {
    const auto& r = static_cast<const Rectangle&>(object);
    out.signed_value(r.center().x);
    out.signed_value(r.center().y);
    out.signed_value(r.size().x);
    out.signed_value(r.size().y);
    out.byte(r.rotation() != 0 ? 1 : 0);
    if (r.rotation() != 0) out.real(r.rotation());
}

std::shared_ptr<BaseType> rectangle_from_twf(TwfPayloadReader& in) {
    Vector center{in.signed_value(), in.signed_value()};
    Vector size{in.signed_value(), in.signed_value()};
    const double rotation = in.byte() ? in.real() : 0.0;
    return std::make_shared<Rectangle>(center, Vector{llabs(size.x), llabs(size.y)}, rotation);
}

void rectangle_to_json(const BaseType& object, json& form, StoreWriter&) {
    const auto& r = static_cast<const Rectangle&>(object);
    form["center"] = vector_json(r.center());
    form["size"] = vector_json(r.size());
    form["rotation"] = r.rotation();
}

std::shared_ptr<BaseType> rectangle_from_json(const json& form, StoreReader&) {
    const Vector size = vector_field(form, "size");
    return std::make_shared<Rectangle>(vector_field(form, "center"), Vector{llabs(size.x), llabs(size.y)},
                                       number_field(form, "rotation"));
}

}  // namespace

void add_geometry_codecs(CodecTable& table) {
    table[size_t(TypeCode::Rectangle)] = {0, rectangle_to_json, rectangle_from_json,
                                          rectangle_to_twf, rectangle_from_twf};
}

}  // namespace whistle
