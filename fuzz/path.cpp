// Paths: sections of every kind with every profile kind, then the outline and every query and
// transform, interleaved as a script would call them. Arguments are checked and converted as
// the binding does; a call the binding would refuse is skipped.
#include <optional>

#include "core/foundation/expression.hpp"
#include "core/geometry/path.hpp"
#include "fuzz_input.hpp"

using namespace whistle;
using namespace whistle::fuzz;

namespace {

// Curves and profiles in u that sample well, poles and domain errors among them.
const char* const kTexts[] = {"u",        "2*u",       "1 - u",       "u^2",      "10*u",
                              "sin(pi*u)", "cos(2*pi*u)", "exp(u)",   "1e9*u",    "1/u",
                              "sqrt(u - 0.5)", "0",    "if(u - 0.5, 1, -1)", "u % 0.1"};

std::string text(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.ConsumeRandomLengthString(64) : in.PickValueInArray(kTexts);
}

// Any double a float argument can carry, NaN and infinities included.
double any_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0: return std::nan("");
        case 1: return in.ConsumeBool() ? HUGE_VAL : -HUGE_VAL;
        default: return number(in);
    }
}

// A compiled one-parameter expression in u, or null when compilation fails (an argument
// error in the binding).
std::shared_ptr<Expression> expression(std::vector<Expression::Item> items) {
    auto result = std::make_shared<Expression>(std::vector<std::string>{"u"}, std::move(items));
    ErrorHandler status;
    return result->compile(status) ? result : nullptr;
}

// Named entries of free text, as an Expression object passed as an argument holds them.
std::shared_ptr<Expression> free_expression(FuzzedDataProvider& in, size_t count) {
    std::vector<Expression::Item> items(count);
    for (size_t i = 0; i < count; ++i) items[i] = {"e" + std::to_string(i), text(in), 0};
    return expression(std::move(items));
}

// A width or offset specification; false when the binding would refuse it. Values are
// checked finite in micrometres, then converted.
bool profile(FuzzedDataProvider& in, Coord current, Profile& out) {
    auto value = [&] { return number(in) * kUnitsPerMicron; };
    auto from = [&] { return in.ConsumeBool() ? double(current) : value(); };
    std::shared_ptr<Expression> curve;
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: out = nullptr; return true;
        case 1: out = constant_profile(value()); return true;
        case 2: out = linear_profile(from(), value()); return true;
        case 3: out = smooth_profile(from(), value()); return true;
        case 4: curve = expression({{"value", text(in), 0}, {"derivative", text(in), 0}}); break;
        default: curve = free_expression(in, in.ConsumeIntegralInRange(2, 4)); break;
    }
    if (!curve) return false;
    out = std::make_shared<ParametricPathInterpolator>(curve, 1.0, 0.0);
    return true;
}

bool profiles(FuzzedDataProvider& in, const Path& path, Profile& width, Profile& offset) {
    return profile(in, path.end_width(), width) && profile(in, path.end_offset(), offset);
}

// A text item must compile on its own; a number must be finite.
bool curve_item(FuzzedDataProvider& in, const char* name, std::vector<Expression::Item>& items) {
    Expression::Item item{name, {}, 0};
    if (in.ConsumeBool()) item.text = text(in);
    else item.value = number(in);
    if (!item.text.empty() && !expression({item})) return false;
    items.push_back(item);
    return true;
}

// The curve of a parametric section: x and y (and their gradient) items, or an expression.
std::shared_ptr<Expression> curve(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return free_expression(in, in.ConsumeIntegralInRange(4, 6));
    std::vector<Expression::Item> items;
    for (const char* name : {"x", "y", "dx", "dy"}) {
        if (items.size() == 2 && in.ConsumeBool()) break;
        if (!curve_item(in, name, items)) return nullptr;
    }
    return expression(std::move(items));
}

Vec2 bend_radius(FuzzedDataProvider& in) {
    double r = double(std::max<Coord>(1, magnitude(in)));
    return {r, in.ConsumeBool() ? r : double(std::max<Coord>(1, magnitude(in)))};
}

// An Euler fraction is refused for elliptical bends.
bool euler_fraction(FuzzedDataProvider& in, const Vec2& radius, double& out) {
    out = in.ConsumeBool() ? 0.0 : in.ConsumeProbability<double>();
    return out == 0 || radius.x == radius.y;
}

std::optional<Vector> endpoint(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? std::optional<Vector>(point(in)) : std::nullopt;
}

std::vector<Vector> points(FuzzedDataProvider& in, size_t min_count, const Path& path) {
    std::vector<Vector> result(in.ConsumeIntegralInRange<size_t>(min_count, 8));
    bool relative = in.ConsumeBool();
    for (Vector& p : result) p = relative ? point(in) + path.end_position() : point(in);
    return result;
}

std::array<Path::Cap, 2> caps(FuzzedDataProvider& in) {
    std::array<Path::Cap, 2> result;
    for (Path::Cap& cap : result) cap = in.ConsumeBool() ? Path::Cap{0, true} : Path::Cap{number(in), false};
    return result;
}

// One section builder call, with its arguments checked as the binding checks them.
void build(FuzzedDataProvider& in, Path& path) {
    ErrorHandler status;
    Profile width, offset;
    Vec2 radius = bend_radius(in);
    double p = 0;
    uint32_t min_evals = evaluations(in), max_evals = evaluations(in);
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0: {
            std::vector<Vector> vertices = points(in, 1, path);
            bool round = in.ConsumeBool();
            double join_limit = round ? -1.0 : number(in);
            if (profiles(in, path, width, offset))
                path.segment(vertices, width, offset, join_limit, round, min_evals,
                             std::max<uint32_t>(max_evals, 100), status);
            break;
        }
        case 1: {
            double initial = number(in), final = number(in), rotation = number(in);
            std::optional<Vector> end = endpoint(in);
            if (euler_fraction(in, radius, p) && profiles(in, path, width, offset))
                path.arc(initial, final, radius, p == 0 ? rotation : 0, p, end, width, offset,
                         min_evals, max_evals, status);
            break;
        }
        case 2: {
            double angle = number(in);
            std::optional<Vector> end = endpoint(in);
            if (euler_fraction(in, radius, p) && profiles(in, path, width, offset))
                path.turn(angle, radius, p, end, width, offset, min_evals, max_evals, status);
            break;
        }
        case 3: {
            Vector end = points(in, 1, path).front();
            std::optional<Vec2> direction;
            if (in.ConsumeBool()) direction = Vec2(number(in), number(in));
            if (euler_fraction(in, {1, 1}, p) && profiles(in, path, width, offset))
                path.s_bend(end, p, direction, width, offset, min_evals, max_evals, status);
            break;
        }
        case 4: {
            std::vector<Vector> controls = points(in, 2, path);
            if (profiles(in, path, width, offset))
                path.bezier(controls, width, offset, min_evals, max_evals, status);
            break;
        }
        default: {
            std::shared_ptr<Expression> spine = curve(in);
            Vector origin = in.ConsumeBool() ? path.end_position() : Vector{};
            if (spine && profiles(in, path, width, offset))
                path.parametric(spine, origin, width, offset, min_evals, max_evals, status);
            break;
        }
    }
}

// One query, transform or setter.
void use(FuzzedDataProvider& in, Path& path) {
    ErrorHandler status;
    std::vector<Vec2> points;
    double value = 0;
    switch (in.ConsumeIntegralInRange(0, 16)) {
        case 0: path.to_polygon(status); break;
        case 1:
            path.area();
            path.perimeter();
            path.bounds(status);
            path.is_empty();
            break;
        case 2:
            path.spine(points, status);
            path.center(points, status);
            break;
        case 3:
            path.left_vertices(points, status);
            path.right_vertices(points, status);
            break;
        case 4: path.length(in.ConsumeBool(), value, status); break;
        case 5: {
            Path::Trace trace;
            if (path.trace(in.ConsumeBool(), trace, status))
                for (int i = in.ConsumeIntegralInRange(0, 4); i > 0; --i)
                    path.interpolate(trace, any_double(in) * kUnitsPerMicron);
            break;
        }
        case 6: path.at(in.ConsumeFloatingPointInRange(0.0, double(path.size()))); break;
        case 7: {
            std::vector<Path::IntegrationPoint> out;
            path.integration_points(any_double(in), any_double(in), any_double(in), in.ConsumeBool(),
                                    out, status);
            break;
        }
        case 8: {
            bool relative = in.ConsumeBool();
            Coord width = relative ? coordinate(in) : magnitude(in);
            path.updated_copy(width, coordinate(in), in.ConsumeBool(), in.ConsumeBool(), relative)
                ->to_polygon(status);
            break;
        }
        case 9: path.transform(point(in), in.ConsumeBool(), number(in), number(in)); break;
        case 10: path.translate(point(in)); break;
        case 11: path.rotate(number(in), point(in)); break;
        case 12: path.scale(number(in), point(in)); break;
        case 13: path.mirror(point(in), point(in)); break;
        case 14:
            path.set_caps(caps(in));
            path.set_scale_profile(in.ConsumeBool());
            break;
        case 15: path.axis_intersections(in.ConsumeIntegralInRange(0, 1), coordinate(in), status); break;
        default: {
            path.str(true);
            std::string bytes;
            path.content_bytes(bytes);
            path.clone()->equals(path);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    configure(in);
    Path path(point(in), magnitude(in), coordinate(in), caps(in), in.ConsumeBool());
    for (int step = 0; step < 12 && in.remaining_bytes() > 0; ++step)
        guarded([&] { in.ConsumeBool() ? build(in, path) : use(in, path); });
    guarded([&] {
        ErrorHandler status;
        path.to_polygon(status);
    });
    return 0;
}
