// Stored forms of the planar structures and labels.
//
// Circles, polygons, paths and labels describe their fields once, through a field writer and a
// field reader; the JSON form and the compact twf payload are two implementations of those.
// In twf the keys are dropped and the fields follow each other in the order described.
#include <stdexcept>
#include <vector>

#include "core/foundation/expression.hpp"
#include "core/geometry/circle.hpp"
#include "core/geometry/label.hpp"
#include "core/geometry/path.hpp"
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

// ---- Field writers ------------------------------------------------------------------------

using Pair = std::array<double, 2>;

class FieldWriter {
public:
    virtual ~FieldWriter() = default;
    virtual void integer(const char* key, int64_t value) = 0;
    virtual void count(const char* key, uint64_t value) = 0;
    virtual void real(const char* key, double value) = 0;
    virtual void flag(const char* key, bool value) = 0;
    virtual void text(const char* key, const std::string& value) = 0;
    // One of `names`, by index.
    virtual void choice(const char* key, std::span<const char* const> names, size_t index) = 0;
    virtual void object(const char* key, const std::shared_ptr<BaseType>& object) = 0;
    virtual void point(const char* key, const Vector& value) = 0;
    virtual void points(const char* key, const std::vector<Vector>& value) = 0;
    // Nested groups of fields: a group under a key, or a list of `size` groups.
    virtual void begin_group(const char* key) = 0;
    virtual void begin_list(const char* key, size_t size) = 0;
    virtual void begin_item() = 0;
    virtual void end() = 0;

    virtual void pair(const char* key, const Pair& value) = 0;
    virtual void flags(const char* key, const std::array<bool, 2>& value) = 0;
};

class JsonFieldWriter final : public FieldWriter {
public:
    JsonFieldWriter(json& form, StoreWriter& store) : store_(store), stack_{&form} {}

    void integer(const char* key, int64_t value) override { top()[key] = value; }
    void count(const char* key, uint64_t value) override { top()[key] = value; }
    void real(const char* key, double value) override { top()[key] = value; }
    void flag(const char* key, bool value) override { top()[key] = value; }
    void text(const char* key, const std::string& value) override { top()[key] = value; }
    void choice(const char* key, std::span<const char* const> names, size_t index) override {
        top()[key] = names[index];
    }
    void object(const char* key, const std::shared_ptr<BaseType>& object) override {
        top()[key] = store_.optional_ref(object);
    }
    void point(const char* key, const Vector& value) override { top()[key] = vector_json(value); }
    void points(const char* key, const std::vector<Vector>& value) override {
        json& list = top()[key] = json::array();
        for (const Vector& p : value) list.push_back(vector_json(p));
    }
    void begin_group(const char* key) override { stack_.push_back(&(top()[key] = json::object())); }
    void begin_list(const char* key, size_t) override { stack_.push_back(&(top()[key] = json::array())); }
    void begin_item() override { stack_.push_back(&top().emplace_back(json::object())); }
    void end() override { stack_.pop_back(); }

    void pair(const char* key, const Pair& value) override { top()[key] = value; }
    void flags(const char* key, const std::array<bool, 2>& value) override { top()[key] = value; }

private:
    json& top() { return *stack_.back(); }

    StoreWriter& store_;
    std::vector<json*> stack_;
};

class TwfFieldWriter final : public FieldWriter {
public:
    explicit TwfFieldWriter(TwfPayloadWriter& out) : out_(out) {}

    void integer(const char*, int64_t value) override { out_.signed_value(value); }
    void count(const char*, uint64_t value) override { out_.count(value); }
    void real(const char*, double value) override { out_.real(value); }
    void flag(const char*, bool value) override { out_.byte(value ? 1 : 0); }
    void text(const char*, const std::string& value) override { out_.string(value); }
    void choice(const char*, std::span<const char* const>, size_t index) override {
        out_.byte(uint8_t(index));
    }
    void object(const char*, const std::shared_ptr<BaseType>& object) override { out_.ref(object); }
    void point(const char*, const Vector& value) override {
        out_.signed_value(value.x);
        out_.signed_value(value.y);
    }
    void points(const char*, const std::vector<Vector>& value) override {
        out_.count(value.size());
        for (const Vector& p : value) point(nullptr, p);
    }
    void begin_group(const char*) override {}
    void begin_list(const char*, size_t size) override { out_.count(size); }
    void begin_item() override {}
    void end() override {}
    void pair(const char*, const Pair& value) override {
        for (double v : value) out_.real(v);
    }
    void flags(const char*, const std::array<bool, 2>& value) override {
        out_.byte(uint8_t(value[0]) | uint8_t(value[1]) << 1);
    }

private:
    TwfPayloadWriter& out_;
};

// ---- Field readers: every value is checked; bad data throws StoreError ----------------------

[[noreturn]] void invalid(const char* key) {
    throw StoreError(std::string("Invalid value for key '") + key + "'.");
}

class FieldReader {
public:
    virtual ~FieldReader() = default;
    virtual int64_t integer(const char* key) = 0;
    virtual uint64_t count(const char* key) = 0;
    // A finite number.
    virtual double real(const char* key) = 0;
    virtual bool flag(const char* key) = 0;
    virtual std::string text(const char* key) = 0;
    // Index into `names`; anything else throws StoreError(`message`).
    virtual size_t choice(const char* key, std::span<const char* const> names, const char* message) = 0;
    virtual std::shared_ptr<BaseType> object(const char* key, TypeCode type, std::string_view kind) = 0;
    // Within the coordinate range.
    virtual Vector point(const char* key) = 0;
    virtual std::vector<Vector> points(const char* key) = 0;
    virtual void begin_group(const char* key) = 0;
    // The number of items.
    virtual size_t begin_list(const char* key) = 0;
    virtual void begin_item(size_t index) = 0;
    virtual void end() = 0;

    virtual Pair pair(const char* key) = 0;
    virtual std::array<bool, 2> flags(const char* key) = 0;
    uint32_t count32(const char* key) {
        uint64_t value = count(key);
        if (value > UINT32_MAX) invalid(key);
        return uint32_t(value);
    }

protected:
    static double finite(const char* key, double value) {
        if (!std::isfinite(value)) invalid(key);
        return value;
    }
    static Vector checked(const char* key, const Vector& value) {
        if (!in_range(value)) invalid(key);
        return value;
    }
};

class JsonFieldReader final : public FieldReader {
public:
    JsonFieldReader(const json& form, StoreReader& store) : store_(store), stack_{&form} {}

    int64_t integer(const char* key) override { return integer_field(top(), key); }
    uint64_t count(const char* key) override {
        int64_t value = integer_field(top(), key);
        if (value < 0) invalid(key);
        return uint64_t(value);
    }
    double real(const char* key) override { return finite(key, number_field(top(), key)); }
    bool flag(const char* key) override { return bool_field(top(), key); }
    std::string text(const char* key) override { return string_field(top(), key); }
    size_t choice(const char* key, std::span<const char* const> names, const char* message) override {
        const json& value = field(top(), key);
        if (value.is_string())
            for (size_t i = 0; i < names.size(); ++i)
                if (value.get_ref<const std::string&>() == names[i]) return i;
        throw StoreError(message);
    }
    std::shared_ptr<BaseType> object(const char* key, TypeCode type, std::string_view kind) override {
        return store_.ref(field(top(), key), {type}, kind);
    }
    Vector point(const char* key) override { return checked(key, vector_field(top(), key)); }
    std::vector<Vector> points(const char* key) override {
        std::vector<Vector> result;
        for (const json& p : array_field(top(), key)) result.push_back(checked(key, vector_value(p, key)));
        return result;
    }
    void begin_group(const char* key) override { stack_.push_back(&object_field(top(), key)); }
    size_t begin_list(const char* key) override {
        const json& list = array_field(top(), key);
        keys_.push_back(key);
        stack_.push_back(&list);
        return list.size();
    }
    void begin_item(size_t index) override {
        const json& item = top()[index];
        if (!item.is_object()) invalid(keys_.back());
        stack_.push_back(&item);
    }
    void end() override {
        if (top().is_array()) keys_.pop_back();
        stack_.pop_back();
    }

    Pair pair(const char* key) override {
        const json& value = two_items(key);
        if (!value[0].is_number() || !value[1].is_number()) invalid(key);
        return {finite(key, value[0].get<double>()), finite(key, value[1].get<double>())};
    }
    std::array<bool, 2> flags(const char* key) override {
        const json& value = two_items(key);
        if (!value[0].is_boolean() || !value[1].is_boolean()) invalid(key);
        return {value[0].get<bool>(), value[1].get<bool>()};
    }

private:
    const json& two_items(const char* key) const {
        const json& value = array_field(top(), key);
        if (value.size() != 2) invalid(key);
        return value;
    }
    const json& top() const { return *stack_.back(); }

    StoreReader& store_;
    std::vector<const json*> stack_;
    std::vector<const char*> keys_;  // of the open lists
};

class TwfFieldReader final : public FieldReader {
public:
    explicit TwfFieldReader(TwfPayloadReader& in) : in_(in) {}

    int64_t integer(const char*) override { return in_.signed_value(); }
    uint64_t count(const char*) override { return in_.count(); }
    double real(const char* key) override { return finite(key, in_.real()); }
    bool flag(const char*) override { return in_.byte() != 0; }
    std::string text(const char*) override { return in_.string(); }
    size_t choice(const char*, std::span<const char* const> names, const char* message) override {
        size_t index = in_.byte();
        if (index >= names.size()) throw StoreError(message);
        return index;
    }
    std::shared_ptr<BaseType> object(const char*, TypeCode type, std::string_view kind) override {
        return in_.ref({type}, kind);
    }
    Vector point(const char* key) override {
        Vector value{in_.signed_value(), in_.signed_value()};
        return checked(key, value);
    }
    std::vector<Vector> points(const char* key) override {
        std::vector<Vector> result(in_.items(2));
        for (Vector& p : result) p = point(key);
        return result;
    }
    void begin_group(const char*) override {}
    size_t begin_list(const char*) override { return in_.items(); }
    void begin_item(size_t) override {}
    void end() override {}
    Pair pair(const char* key) override {
        const double first = real(key);
        return {first, real(key)};
    }
    std::array<bool, 2> flags(const char* key) override {
        const uint8_t bits = in_.byte();
        if (bits > 3) invalid(key);
        return {(bits & 1) != 0, (bits & 2) != 0};
    }

private:
    TwfPayloadReader& in_;
};

// A codec from one pair of field functions.
template <class T, void (*write)(const T&, FieldWriter&), std::shared_ptr<BaseType> (*read)(FieldReader&)>
TypeCodec field_codec() {
    return {
        0,
        [](const BaseType& object, json& form, StoreWriter& store) {
            JsonFieldWriter fields(form, store);
            write(static_cast<const T&>(object), fields);
        },
        [](const json& form, StoreReader& store) {
            JsonFieldReader fields(form, store);
            return read(fields);
        },
        [](const BaseType& object, TwfPayloadWriter& out) {
            TwfFieldWriter fields(out);
            write(static_cast<const T&>(object), fields);
        },
        [](TwfPayloadReader& in) {
            TwfFieldReader fields(in);
            return read(fields);
        },
    };
}

// Core constructors report bad combinations by exceptions; a stored form reports them, with
// their message, as StoreError.
template <class F>
auto build(F make) {
    try {
        return make();
    } catch (const StoreError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        throw StoreError(error.what());
    }
}

// ---- Circle ---------------------------------------------------------------------------------

void write_circle(const Circle& c, FieldWriter& out) {
    out.point("center", c.center());
    out.point("radius", c.radius());
    out.point("inner_radius", c.inner_radius());
    out.pair("sector", c.sector());
    out.real("rotation", c.rotation());
    out.count("min_evals", c.min_evals());
}

std::shared_ptr<BaseType> read_circle(FieldReader& in) {
    const Vector center = in.point("center");
    const Vector radius = in.point("radius");
    const Vector inner_radius = in.point("inner_radius");
    if (inner_radius.x < 0 || inner_radius.y < 0 || !Circle::radii_valid(radius, inner_radius))
        throw StoreError("Invalid stored circle radii.");
    const Pair sector = in.pair("sector");
    const double rotation = in.real("rotation");
    const uint32_t min_evals = in.count32("min_evals");
    return build([&] {
        return std::make_shared<Circle>(radius, inner_radius, center, sector, rotation, min_evals);
    });
}

// ---- Polygon --------------------------------------------------------------------------------

void write_polygon(const Polygon& p, FieldWriter& out) {
    out.points("vertices", p.vertices());
    out.begin_list("holes", p.holes().size());
    for (const Ring& hole : p.holes()) {
        out.begin_item();
        out.points("vertices", hole);
        out.end();
    }
    out.end();
}

std::shared_ptr<BaseType> read_polygon(FieldReader& in) {
    Ring vertices = in.points("vertices");
    std::vector<Ring> holes;
    for (size_t i = 0, n = in.begin_list("holes"); i < n; ++i) {
        in.begin_item(i);
        holes.push_back(in.points("vertices"));
        in.end();
    }
    in.end();
    auto polygon = std::make_shared<Polygon>(std::move(vertices), std::move(holes));
    if (!polygon->is_valid()) throw StoreError(Polygon::kInvalidCreated);
    return polygon;
}

// ---- Label ----------------------------------------------------------------------------------

constexpr const char* kAnchors[] = {"NW", "N", "NE", "W", "O", "E", "SW", "S", "SE"};

void write_label(const Label& l, FieldWriter& out) {
    out.text("text", l.text());
    out.point("origin", l.origin());
    out.choice("anchor", kAnchors, size_t(l.anchor()));
    out.real("rotation", l.rotation());
    out.real("scaling", l.scaling());
    out.flag("x_reflection", l.x_reflection());
}

std::shared_ptr<BaseType> read_label(FieldReader& in) {
    std::string text = in.text("text");
    const Vector origin = in.point("origin");
    const auto anchor = Anchor(in.choice("anchor", kAnchors, "Invalid value for key 'anchor'."));
    const double rotation = in.real("rotation");
    const double scaling = in.real("scaling");
    return std::make_shared<Label>(std::move(text), origin, anchor, rotation, scaling,
                                   in.flag("x_reflection"));
}

// ---- Path -----------------------------------------------------------------------------------

constexpr const char* kSectionKinds[] = {"segment", "arc", "euler", "bezier", "parametric"};
constexpr const char* kProfileKinds[] = {"constant", "linear", "smooth", "parametric", "slice"};
constexpr const char* kBadSection = "Unexpected PathSection type: invalid or corrupted file.";
constexpr const char* kBadProfile = "Unexpected PathInterpolator type: invalid or corrupted file.";
// Slices of slices only come from corrupt files beyond a few levels.
constexpr int kMaxProfileDepth = 32;

std::shared_ptr<Expression> read_expression(FieldReader& in, size_t min_expressions) {
    auto stored = std::static_pointer_cast<Expression>(in.object("expression", TypeCode::Expression, "Expression"));
    if (stored->parameter_count() != 1 || stored->expression_count() < min_expressions)
        invalid("expression");
    // Evaluation writes into the expression: each profile or section keeps its own.
    return std::static_pointer_cast<Expression>(stored->clone());
}

void write_profile(const char* key, const PathInterpolator& profile, FieldWriter& out) {
    out.begin_group(key);
    out.choice("type", kProfileKinds, profile.kind());
    switch (profile.kind()) {
        case PathInterpolator::kConstant: out.real("value", profile.value(0)); break;
        case PathInterpolator::kLinear:
        case PathInterpolator::kSmooth: {
            const auto& p = static_cast<const TwoValuePathInterpolator&>(profile);
            out.pair("values", {p.from(), p.to()});
            break;
        }
        case PathInterpolator::kParametric: {
            const auto& p = static_cast<const ParametricPathInterpolator&>(profile);
            out.object("expression", p.expression());
            out.real("scaling", p.scaling());
            out.real("offset", p.offset());
            break;
        }
        case PathInterpolator::kSlice: {
            const auto& p = static_cast<const SlicePathInterpolator&>(profile);
            write_profile("base", *p.base(), out);
            out.pair("limits", {p.u0(), p.u1()});
            break;
        }
    }
    out.end();
}

Profile read_profile(const char* key, FieldReader& in, int depth = 0) {
    if (depth > kMaxProfileDepth) throw StoreError(kBadProfile);
    in.begin_group(key);
    Profile profile;
    switch (in.choice("type", kProfileKinds, kBadProfile)) {
        case PathInterpolator::kConstant: profile = constant_profile(in.real("value")); break;
        case PathInterpolator::kLinear: {
            const Pair values = in.pair("values");
            profile = linear_profile(values[0], values[1]);
            break;
        }
        case PathInterpolator::kSmooth: {
            const Pair values = in.pair("values");
            profile = smooth_profile(values[0], values[1]);
            break;
        }
        case PathInterpolator::kParametric: {
            auto expression = read_expression(in, 2);
            const double scaling = in.real("scaling");
            profile = std::make_shared<ParametricPathInterpolator>(std::move(expression), scaling,
                                                                   in.real("offset"));
            break;
        }
        default: {
            Profile base = read_profile("base", in, depth + 1);
            const Pair limits = in.pair("limits");
            profile = std::make_shared<SlicePathInterpolator>(std::move(base), limits[0], limits[1]);
        }
    }
    in.end();
    return profile;
}

void write_section(const PathSection& section, FieldWriter& out) {
    out.choice("type", kSectionKinds, size_t(section.kind()));
    out.count("min_evals", section.min_evals());
    out.count("max_evals", section.max_evals());
    write_profile("width", *section.width_profile(), out);
    write_profile("offset", *section.offset_profile(), out);
    switch (section.kind()) {
        case PathSection::Kind::Segment: {
            const auto& s = static_cast<const SegmentPathSection&>(section);
            out.points("vertices", s.vertices());
            out.real("bevel_join_limit", s.bevel_join_limit());
            out.flag("round_joins", s.round_joins());
            return;
        }
        case PathSection::Kind::Bezier:
            out.points("controls", static_cast<const BezierPathSection&>(section).controls());
            return;
        case PathSection::Kind::Parametric: {
            const auto& s = static_cast<const ParametricPathSection&>(section);
            out.object("expression", s.expression());
            out.point("origin", s.origin());
            out.real("rotation", s.rotation());
            out.real("scaling", s.scaling());
            out.flag("x_reflection", s.x_reflection());
            return;
        }
        default: break;
    }
    const auto& bend = static_cast<const BendPathSection&>(section);
    out.point("center", bend.center());
    if (section.kind() == PathSection::Kind::Arc) {
        const auto& s = static_cast<const ArcPathSection&>(section);
        out.pair("radius", {s.radius().x, s.radius().y});
        out.real("rotation", s.rotation());
    } else {
        const auto& s = static_cast<const EulerPathSection&>(section);
        out.real("radius", s.radius());
        out.real("radius_eff", s.radius_eff());
        out.real("euler_fraction", s.euler_fraction());
    }
    out.real("initial_angle", bend.initial_angle());
    out.real("final_angle", bend.final_angle());
    out.pair("endpoint_delta", {bend.endpoint_delta().x, bend.endpoint_delta().y});
}

// A positive radius within the coordinate range.
double radius_value(const char* key, double value) {
    if (!(value > 0) || !in_range(value)) invalid(key);
    return value;
}

Section read_section(FieldReader& in) {
    const auto kind = PathSection::Kind(in.choice("type", kSectionKinds, kBadSection));
    const uint32_t min_evals = in.count32("min_evals");
    const uint32_t max_evals = in.count32("max_evals");
    Profile width = read_profile("width", in);
    Profile offset = read_profile("offset", in);
    switch (kind) {
        case PathSection::Kind::Segment: {
            auto vertices = in.points("vertices");
            if (vertices.size() < 2) invalid("vertices");
            const double limit = in.real("bevel_join_limit");
            return std::make_unique<SegmentPathSection>(std::move(vertices), limit, in.flag("round_joins"),
                                                        width, offset, min_evals, max_evals);
        }
        case PathSection::Kind::Bezier: {
            auto controls = in.points("controls");
            if (controls.size() < 2) invalid("controls");
            return std::make_unique<BezierPathSection>(std::move(controls), width, offset, min_evals, max_evals);
        }
        case PathSection::Kind::Parametric: {
            auto expression = read_expression(in, 2);
            const Vector origin = in.point("origin");
            const double rotation = in.real("rotation");
            const double scaling = in.real("scaling");
            return std::make_unique<ParametricPathSection>(std::move(expression), origin, rotation, scaling,
                                                           in.flag("x_reflection"), width, offset,
                                                           min_evals, max_evals);
        }
        default: break;
    }
    const Vector center = in.point("center");
    if (kind == PathSection::Kind::Arc) {
        const Pair radius = in.pair("radius");
        const double rotation = in.real("rotation");
        const double initial = in.real("initial_angle");
        const double final = in.real("final_angle");
        const Pair delta = in.pair("endpoint_delta");
        return std::make_unique<ArcPathSection>(
            center, Vec2{radius_value("radius", radius[0]), radius_value("radius", radius[1])}, initial,
            final, rotation, Vec2{delta[0], delta[1]}, width, offset, min_evals, max_evals);
    }
    const double radius = radius_value("radius", in.real("radius"));
    in.real("radius_eff");  // derived from the other fields
    const double fraction = in.real("euler_fraction");
    const double initial = in.real("initial_angle");
    const double final = in.real("final_angle");
    const Pair delta = in.pair("endpoint_delta");
    if (fraction < 0 || fraction > 1 || !EulerPathSection::feasible(final - initial, fraction))
        invalid("euler_fraction");
    return std::make_unique<EulerPathSection>(center, radius, fraction, initial, final,
                                              Vec2{delta[0], delta[1]}, width, offset, min_evals,
                                              max_evals);
}

void write_path(const Path& path, FieldWriter& out) {
    out.point("origin", path.origin());
    out.point("end_position", path.end_position());
    out.integer("end_width", path.end_width());
    out.integer("end_offset", path.end_offset());
    const auto& caps = path.caps();
    out.pair("cap_extensions", {caps[0].extension, caps[1].extension});
    out.flags("round_caps", {caps[0].round, caps[1].round});
    out.flag("scale_profile", path.scale_profile());
    out.begin_list("path_sections", path.size());
    for (const Section& section : path.sections()) {
        out.begin_item();
        write_section(*section, out);
        out.end();
    }
    out.end();
}

std::shared_ptr<BaseType> read_path(FieldReader& in) {
    const Vector origin = in.point("origin");
    const Vector end_position = in.point("end_position");
    const Coord end_width = in.integer("end_width");
    const Coord end_offset = in.integer("end_offset");
    if (end_width < 0 || !in_range(end_width)) invalid("end_width");
    if (!in_range(end_offset)) invalid("end_offset");
    const Pair extensions = in.pair("cap_extensions");
    const auto round = in.flags("round_caps");
    const bool scale_profile = in.flag("scale_profile");
    std::vector<Section> sections;
    for (size_t i = 0, n = in.begin_list("path_sections"); i < n; ++i) {
        in.begin_item(i);
        sections.push_back(read_section(in));
        in.end();
    }
    in.end();
    const std::array<Path::Cap, 2> caps{Path::Cap{extensions[0], round[0]}, Path::Cap{extensions[1], round[1]}};
    return build([&] {
        return std::make_shared<Path>(origin, end_position, end_width, end_offset, caps, scale_profile,
                                      std::move(sections));
    });
}

}  // namespace

std::shared_ptr<Structure> load_structure(StoreReader& store, const json& value, bool required) {
    return std::static_pointer_cast<Structure>(store.ref(
        value, {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path}, "structure",
        required));
}

std::shared_ptr<Structure> load_structure(TwfPayloadReader& in, bool required) {
    return std::static_pointer_cast<Structure>(in.ref(
        {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path}, "structure", required));
}

void add_geometry_codecs(CodecTable& table) {
    table[size_t(TypeCode::Rectangle)] = {0, rectangle_to_json, rectangle_from_json,
                                          rectangle_to_twf, rectangle_from_twf};
    table[size_t(TypeCode::Circle)] = field_codec<Circle, write_circle, read_circle>();
    table[size_t(TypeCode::Polygon)] = field_codec<Polygon, write_polygon, read_polygon>();
    table[size_t(TypeCode::Path)] = field_codec<Path, write_path, read_path>();
    table[size_t(TypeCode::Label)] = field_codec<Label, write_label, read_label>();
}

}  // namespace whistle
