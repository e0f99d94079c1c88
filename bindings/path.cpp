// `Path`: ribbons along straight, arc, Euler, S-bend, Bézier and parametric sections.
#include "core/geometry/path.hpp"

#include <cstring>

#include "core/foundation/expression.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kComponentName = "Path";

PyObject* value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

bool is_text(PyObject* obj, const char* text) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// A tuple or list (the sequences accepted as value pairs and specifications).
bool is_items(PyObject* obj) { return PyTuple_Check(obj) || PyList_Check(obj); }

// ValueError "'<name>' is out of range." for a value that is not finite.
bool finite(double value, const char* name) {
    if (std::isfinite(value)) return true;
    PyErr_Format(PyExc_ValueError, "'%s' is out of range.", name);
    return false;
}

// ---- Caps -------------------------------------------------------------------------------

// A number as a float (no error set when it is not one).
bool to_double(PyObject* obj, double& out) {
    if (PyUnicode_Check(obj) || !PyNumber_Check(obj)) return false;
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A finite float or "round" (caps and join limits).
bool to_cap(PyObject* obj, Path::Cap& out) {
    if (is_text(obj, "round")) {
        out = {0, true};
        return true;
    }
    out.round = false;
    return to_double(obj, out.extension) && std::isfinite(out.extension);
}

// Two caps from a pair; a single value serves both ends when `single` is allowed.
bool to_caps(PyObject* obj, std::array<Path::Cap, 2>& out, bool single, const char* item_message,
             const char* message) {
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        if (!single || !to_cap(obj, out[0])) return value_error(message), false;
        out[1] = out[0];
        return true;
    }
    if (PySequence_Size(obj) != 2) {
        PyErr_Clear();
        return value_error(message), false;
    }
    for (int i = 0; i < 2; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item || !to_cap(item.get(), out[size_t(i)])) {
            PyErr_Format(PyExc_ValueError, item_message, i);
            return false;
        }
    }
    return true;
}

PyObject* cap_object(const Path::Cap& cap) {
    return cap.round ? PyUnicode_FromString("round") : PyFloat_FromDouble(cap.extension);
}

// ---- Builder arguments ------------------------------------------------------------------

bool to_evals(long long value, const char* message, uint32_t& out) {
    if (value < 0 || value > (long long)UINT32_MAX) return value_error(message), false;
    out = uint32_t(value);
    return true;
}

bool to_eval_range(long long min_value, long long max_value, uint32_t& min_evals,
                   uint32_t& max_evals) {
    return to_evals(min_value, "'min_evals' value is out of range.", min_evals) &&
           to_evals(max_value, "'max_evals' value is out of range.", max_evals);
}

// A value given or else the default keyword argument, of paths unless another component is
// named (a new reference).
PyObject* argument_or_default(PyObject* value, const char* key,
                              const char* component = kComponentName) {
    if (value && value != Py_None) return Py_NewRef(value);
    return default_kwarg(key, component, true);
}

bool to_euler_fraction(PyObject* value, double& out) {
    Ref obj(argument_or_default(value, "euler_fraction"));
    if (!obj) return false;
    out = PyFloat_AsDouble(obj.get());
    if (out == -1.0 && PyErr_Occurred()) return false;
    if (!(out >= 0 && out <= 1)) return value_error("Argument 'euler_fraction' must be between 0 and 1."), false;
    return true;
}

// Bend radius in database units (both semi-axes).
bool to_bend_radius(PyObject* value, Vec2& out) {
    Ref obj(argument_or_default(value, "radius"));
    Vec2 radius;
    Coord x, y;
    if (!obj || !to_radius_pair(obj.get(), "radius", radius) || !to_length(radius.x, "radius", x) ||
        !to_length(radius.y, "radius", y))
        return false;
    if (x <= 0 || y <= 0) return value_error("Arc radius must be positive."), false;
    out = {double(x), double(y)};
    return true;
}

// ---- Profiles ---------------------------------------------------------------------------

Profile expression_profile(const Expression& expression) {
    auto copy = std::static_pointer_cast<Expression>(expression.clone());
    return std::make_shared<ParametricPathInterpolator>(std::move(copy), 1.0, 0.0);
}

bool check_parameters(const Expression& expression) {
    if (expression.parameter_count() == 1) return true;
    PyErr_Format(PyExc_ValueError, "Expression has %zu paramteres, 1 expected.",
                 expression.parameter_count());
    return false;
}

bool check_expression_count(const Expression& expression, size_t minimum) {
    if (expression.expression_count() >= minimum) return true;
    PyErr_Format(PyExc_ValueError, "Expression has %zu expression, at least %zu are expected.",
                 expression.expression_count(), minimum);
    return false;
}

const char* utf8(PyObject* text) { return PyUnicode_AsUTF8(text); }

// A (value text, derivative text) pair in the variable u.
bool text_profile(PyObject* spec, const char* name, Profile& out) {
    Ref second(PySequence_GetItem(spec, 1));
    if (!second) return false;
    if (!PyUnicode_Check(second.get())) {
        PyErr_Format(PyExc_TypeError, "Second item in interpolator '%s' must be a string.", name);
        return false;
    }
    Ref first(PySequence_GetItem(spec, 0));
    const char* value_text = first ? utf8(first.get()) : nullptr;
    const char* derivative_text = utf8(second.get());
    if (!value_text || !derivative_text) return false;
    Expression expression({"u"}, {{"value", value_text, 0}, {"derivative", derivative_text, 0}});
    ErrorHandler status;
    if (!expression.compile(status))
        return value_error("Invalid parametric interpolator expression."), false;
    out = expression_profile(expression);
    return true;
}

bool is_profile_kind(PyObject* obj) {
    return is_text(obj, "constant") || is_text(obj, "linear") || is_text(obj, "smooth");
}

// (v, "constant"), (to, kind) or (from, to, kind) with kind "linear" or "smooth".
bool tagged_profile(PyObject* spec, Py_ssize_t size, const char* name, double current,
                    Profile& out) {
    Ref kind(PySequence_GetItem(spec, size - 1));
    if (!kind) return false;
    if (!PyUnicode_Check(kind.get())) {
        PyErr_Format(PyExc_TypeError, "Last item in interpolator '%s' must be a string.", name);
        return false;
    }
    if (!is_profile_kind(kind.get())) {
        PyErr_Format(PyExc_ValueError,
                     "Last item in interpolator '%s' must be one of 'constant', 'linear', or "
                     "'smooth'.",
                     name);
        return false;
    }
    bool constant = is_text(kind.get(), "constant");
    if (constant && size == 3) {
        PyErr_Format(PyExc_ValueError, "Constant interpolator '%s' must have a single value.", name);
        return false;
    }
    double values[2] = {current, 0};
    for (Py_ssize_t i = 0; i + 1 < size; ++i) {
        Ref item(PySequence_GetItem(spec, i));
        double& target = values[size == 2 ? 1 : i];
        if (!item || !to_double(item.get(), target)) {
            if (size == 2)
                PyErr_Format(PyExc_ValueError, "Interpolator '%s' value cannot be parsed as a float.", name);
            else
                PyErr_Format(PyExc_ValueError, "Interpolator '%s' value %zu cannot be parsed as a float.",
                             name, size_t(i));
            return false;
        }
        if (!finite(target, name)) return false;
        target *= kUnitsPerMicron;
    }
    if (constant) out = constant_profile(values[1]);
    else if (is_text(kind.get(), "linear")) out = linear_profile(values[0], values[1]);
    else out = smooth_profile(values[0], values[1]);
    return true;
}

// A width or offset specification; None gives a null profile (keep the current value).
bool to_profile(PyObject* spec, const char* name, Coord current, Profile& out) {
    out = nullptr;
    if (!spec || spec == Py_None) return true;
    if (is_instance(spec, TypeCode::Expression)) {
        auto expression = unwrap<Expression>(spec);
        if (!check_parameters(*expression) || !check_expression_count(*expression, 2)) return false;
        out = expression_profile(*expression);
        return true;
    }
    if (is_items(spec)) {
        Py_ssize_t size = PySequence_Size(spec);
        if (size != 2 && size != 3) {
            PyErr_Format(PyExc_ValueError, "Interpolator '%s' must have length 2 or 3.", name);
            return false;
        }
        // A kind name last makes a tagged form; otherwise a text first makes an expression pair.
        Ref first(PySequence_GetItem(spec, 0));
        Ref last(PySequence_GetItem(spec, size - 1));
        if (!first || !last) return false;
        if (!is_profile_kind(last.get()) && PyUnicode_Check(first.get())) {
            if (size == 3) return value_error("Expression tuple must have only 2 items, not 3."), false;
            return text_profile(spec, name, out);
        }
        return tagged_profile(spec, size, name, double(current), out);
    }
    double value = 0;
    if (to_double(spec, value)) {
        if (!finite(value, name)) return false;
        out = linear_profile(double(current), value * kUnitsPerMicron);
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%s' is not an interpolation specification. It must be a number or a "
                 "tuple.",
                 name);
    return false;
}

// Width and offset profiles starting from the current end of the path (converted last, since
// they need the path's state).
bool to_profiles(PyObject* width, PyObject* offset, PyObject* self, Profile& width_out,
                 Profile& offset_out) {
    std::shared_ptr<Path> path = unwrap<Path>(self);
    return path && to_profile(width, "width", path->end_width(), width_out) &&
           to_profile(offset, "offset", path->end_offset(), offset_out);
}

// Runs a builder with a status once its arguments are converted, then reports the status and
// returns the path.
template <class Build>
PyObject* build(PyObject* self, Build&& builder) {
    ErrorHandler status;
    if (!modify<Path>(self, [&](Path& path) { builder(path, status); })) return nullptr;
    return check_status(status) ? same(self) : nullptr;
}

// ---- Constructor and attributes ---------------------------------------------------------

int path_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"origin", "width", "offset", "caps", "scale_profile", nullptr};
    PyObject* origin_obj = nullptr;
    PyObject* caps_obj = nullptr;
    double width = 0, offset = 0;
    int scale_profile = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Od|dOp:Path", (char**)keywords, &origin_obj,
                                     &width, &offset, &caps_obj, &scale_profile))
        return -1;
    Vector origin;
    if (!to_point(origin_obj, "origin", origin, true)) return -1;
    if (width < 0) return value_error("Path width cannot be negative."), -1;
    Coord width_db, offset_db;
    if (!to_length(width, "width", width_db) || !to_length(offset, "offset", offset_db)) return -1;
    std::array<Path::Cap, 2> caps{};
    if (caps_obj && !to_caps(caps_obj, caps, true, "Argument 'caps[%d]' must be a float or 'round'.",
                             "Argument 'caps' must be a float, 'round', or a sequence with 2 values."))
        return -1;
    try {
        install(self, std::make_shared<Path>(origin, width_db, offset_db, caps, scale_profile != 0));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_caps(PyObject* self, void*) {
    std::shared_ptr<Path> path = unwrap<Path>(self);
    if (!path) return nullptr;
    Ref start(cap_object(path->caps()[0]));
    Ref end(cap_object(path->caps()[1]));
    return start && end ? PyTuple_Pack(2, start.get(), end.get()) : nullptr;
}

int set_caps(PyObject* self, PyObject* value, void*) {
    std::array<Path::Cap, 2> caps{};
    if (!check_not_deleted(value, "caps") ||
        !to_caps(value, caps, false, "'caps[%d]' must be a float or 'round'.",
                 "'caps' must be a tuple with 2 values."))
        return -1;
    return modify<Path>(self, [&](Path& path) { path.set_caps(caps); }) ? 0 : -1;
}

PyObject* get_scale_profile(PyObject* self, void*) {
    std::shared_ptr<Path> path = unwrap<Path>(self);
    return path ? PyBool_FromLong(path->scale_profile()) : nullptr;
}

int set_scale_profile(PyObject* self, PyObject* value, void*) {
    int flag = check_not_deleted(value, "scale_profile") ? PyObject_IsTrue(value) : -1;
    if (flag < 0) return -1;
    return modify<Path>(self, [&](Path& path) { path.set_scale_profile(flag != 0); }) ? 0 : -1;
}

PyObject* get_size(PyObject* self, void*) {
    std::shared_ptr<Path> path = unwrap<Path>(self);
    return path ? PyLong_FromSize_t(path->size()) : nullptr;
}

// ---- Section builders -------------------------------------------------------------------

// One point, or a list of points.
bool to_endpoints(PyObject* obj, std::vector<Vector>& out) {
    Ref items;
    if (!PyComplex_Check(obj) && PySequence_Check(obj) && !PyUnicode_Check(obj)) {
        // Read once: deciding the form and converting must see the same items.
        items = Ref(sequence_items(obj));
        if (!items) return false;
        obj = items.get();
    }
    bool single = !items;
    if (items && PyTuple_GET_SIZE(obj) == 2) {
        PyObject* first = PyTuple_GET_ITEM(obj, 0);
        single = PyNumber_Check(first) && !PySequence_Check(first) && !PyComplex_Check(first);
    }
    if (single) {
        Vector point;
        if (!to_point(obj, "endpoint", point, true)) return false;
        out = {point};
        return true;
    }
    if (!to_points(obj, "endpoint", out)) return false;
    if (out.empty()) return value_error("Argument 'endpoint' must have at least 2 point."), false;
    return true;
}

// Points given relative to the path's end; throws RangeError when one leaves the range.
void make_relative(std::vector<Vector>& points, const Vector& origin) {
    for (Vector& p : points) p = check_range(p + origin);
}

PyObject* path_segment(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"endpoint", "width", "offset", "join_limit", "relative",
                                     "min_evals", "max_evals", nullptr};
    PyObject *endpoint = nullptr, *width = nullptr, *offset = nullptr, *join_limit_obj = nullptr;
    int relative = 0;
    long long min_value = 10000, max_value = 10000;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOpLL:segment", (char**)keywords, &endpoint,
                                     &width, &offset, &join_limit_obj, &relative, &min_value,
                                     &max_value))
        return nullptr;
    std::vector<Vector> points;
    uint32_t min_evals, max_evals;
    if (!to_endpoints(endpoint, points) || !to_eval_range(min_value, max_value, min_evals, max_evals))
        return nullptr;
    double join_limit = -1.0;
    bool round_joins = false;
    if (join_limit_obj) {
        Path::Cap join;
        if (!to_cap(join_limit_obj, join))
            return value_error("Argument 'join_limit' must be a float or 'round'.");
        join_limit = join.round ? -1.0 : join.extension;
        round_joins = join.round;
    }
    Profile w, o;
    if (!to_profiles(width, offset, self, w, o)) return nullptr;
    return build(self, [&](Path& p, ErrorHandler& status) {
        if (relative) make_relative(points, p.end_position());
        p.segment(points, w, o, join_limit, round_joins, min_evals, std::max<uint32_t>(max_evals, 100),
                  status);
    });
}

// The arguments arc and turn share after their angles: as parsed, then converted.
struct BendArguments {
    PyObject *radius_obj = nullptr, *euler_fraction_obj = nullptr, *endpoint_obj = nullptr,
             *width_obj = nullptr, *offset_obj = nullptr;
    long long min_value = 0, max_value = 10000;

    Vec2 radius;
    double euler_fraction = 0;
    std::optional<Vector> endpoint;
    Profile width, offset;
    uint32_t min_evals = 0, max_evals = 0;

    bool convert(PyObject* self) {
        if (!to_bend_radius(radius_obj, radius) ||
            !to_euler_fraction(euler_fraction_obj, euler_fraction))
            return false;
        if (euler_fraction != 0 && radius.x != radius.y)
            return value_error("Argument 'euler_fraction' must be 0 for elliptical arcs."), false;
        return to_optional_point(endpoint_obj, "endpoint", endpoint) &&
               to_eval_range(min_value, max_value, min_evals, max_evals) &&
               to_profiles(width_obj, offset_obj, self, width, offset);
    }
};

PyObject* path_arc(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"initial_angle", "final_angle", "radius", "rotation",
                                     "euler_fraction", "endpoint", "width", "offset",
                                     "min_evals", "max_evals", nullptr};
    double initial_angle = 0, final_angle = 0, rotation = 0;
    BendArguments a;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "dd|OdOOOOLL:arc", (char**)keywords,
                                     &initial_angle, &final_angle, &a.radius_obj, &rotation,
                                     &a.euler_fraction_obj, &a.endpoint_obj, &a.width_obj,
                                     &a.offset_obj, &a.min_value, &a.max_value))
        return nullptr;
    if (!finite(initial_angle, "initial_angle") || !finite(final_angle, "final_angle") ||
        !finite(rotation, "rotation") || !a.convert(self))
        return nullptr;
    // Warned before building: a warning raised as an error leaves the path unchanged.
    if (a.euler_fraction != 0 && rotation != 0) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning,
                         "Argument 'rotation' is ignored when 'euler_fraction' is not 0.", 1) < 0)
            return nullptr;
        rotation = 0;
    }
    return build(self, [&](Path& p, ErrorHandler& status) {
        p.arc(initial_angle, final_angle, a.radius, rotation, a.euler_fraction, a.endpoint,
              a.width, a.offset, a.min_evals, a.max_evals, status);
    });
}

PyObject* path_turn(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"angle", "radius", "euler_fraction", "endpoint", "width",
                                     "offset", "min_evals", "max_evals", nullptr};
    double angle = 0;
    BendArguments a;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d|OOOOOLL:turn", (char**)keywords, &angle,
                                     &a.radius_obj, &a.euler_fraction_obj, &a.endpoint_obj,
                                     &a.width_obj, &a.offset_obj, &a.min_value, &a.max_value))
        return nullptr;
    if (!finite(angle, "angle") || !a.convert(self)) return nullptr;
    return build(self, [&](Path& p, ErrorHandler& status) {
        p.turn(angle, a.radius, a.euler_fraction, a.endpoint, a.width, a.offset, a.min_evals,
               a.max_evals, status);
    });
}

// The frame of an S bend: a vector of any length.
bool to_direction(PyObject* obj, std::optional<Vec2>& out) {
    if (!obj || obj == Py_None) return true;
    Vec2 vector;
    if (!to_point(obj, "direction", vector, true) || !finite(vector.x, "direction") ||
        !finite(vector.y, "direction"))
        return false;
    out = vector;
    return true;
}

PyObject* path_s_bend(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"endpoint", "euler_fraction", "direction", "width", "offset",
                                     "relative", "min_evals", "max_evals", nullptr};
    PyObject *endpoint_obj = nullptr, *euler_fraction_obj = nullptr, *direction_obj = nullptr,
             *width = nullptr, *offset = nullptr;
    int relative = 0;
    long long min_value = 0, max_value = 10000;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOpLL:s_bend", (char**)keywords,
                                     &endpoint_obj, &euler_fraction_obj, &direction_obj, &width,
                                     &offset, &relative, &min_value, &max_value))
        return nullptr;
    Vector endpoint;
    double euler_fraction = 0;
    std::optional<Vec2> direction;
    uint32_t min_evals, max_evals;
    Profile w, o;
    if (!to_point(endpoint_obj, "endpoint", endpoint, true) ||
        !to_euler_fraction(euler_fraction_obj, euler_fraction) ||
        !to_direction(direction_obj, direction) ||
        !to_eval_range(min_value, max_value, min_evals, max_evals) ||
        !to_profiles(width, offset, self, w, o))
        return nullptr;
    return build(self, [&](Path& p, ErrorHandler& status) {
        if (relative) endpoint = check_range(endpoint + p.end_position());
        p.s_bend(endpoint, euler_fraction, direction, w, o, min_evals, max_evals, status);
    });
}

PyObject* path_bezier(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"controls", "width", "offset", "relative", "min_evals",
                                     "max_evals", nullptr};
    PyObject *controls_obj = nullptr, *width = nullptr, *offset = nullptr;
    int relative = 0;
    long long min_value = 0, max_value = 10000;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOpLL:bezier", (char**)keywords, &controls_obj,
                                     &width, &offset, &relative, &min_value, &max_value))
        return nullptr;
    std::vector<Vector> controls;
    uint32_t min_evals, max_evals;
    if (!to_points(controls_obj, "controls", controls)) return nullptr;
    if (controls.size() < 2)
        return value_error("Argument 'controls' must have at least 2 points. Use a segment instead "
                           "of a Bézier curve with a single control point.");
    Profile w, o;
    if (!to_eval_range(min_value, max_value, min_evals, max_evals) ||
        !to_profiles(width, offset, self, w, o))
        return nullptr;
    return build(self, [&](Path& p, ErrorHandler& status) {
        if (relative) make_relative(controls, p.end_position());
        p.bezier(controls, w, o, min_evals, max_evals, status);
    });
}

// The expression item `name` of a position or gradient pair: a text in u, or a number.
bool to_curve_item(PyObject* pair, Py_ssize_t index, const char* pair_name, const char* item_name,
                   std::vector<Expression::Item>& items) {
    Ref item(PySequence_GetItem(pair, index));
    if (!item) return false;
    Expression::Item entry{item_name, {}, 0};
    bool ok = false;
    if (PyUnicode_Check(item.get())) {
        const char* text = utf8(item.get());
        if (!text) return false;
        entry.text = text;
        ErrorHandler status;
        ok = !entry.text.empty() && Expression({"u"}, {entry}).compile(status);
    } else {
        ok = to_double(item.get(), entry.value) && std::isfinite(entry.value);
    }
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "Unable to evaluate '%s[%zd]' as an expression.", pair_name, index);
        return false;
    }
    items.push_back(std::move(entry));
    return true;
}

bool to_curve_pair(PyObject* pair, const char* name, const char* x, const char* y,
                   std::vector<Expression::Item>& items) {
    if (!is_items(pair) || PySequence_Size(pair) != 2) {
        PyErr_Format(PyExc_ValueError, "Argument '%s' must be a tuple with size 2.", name);
        return false;
    }
    return to_curve_item(pair, 0, name, x, items) && to_curve_item(pair, 1, name, y, items);
}

// The curve expression of a parametric section: x, y (and dx, dy when given) in u.
std::shared_ptr<Expression> to_curve(PyObject* position, PyObject* gradient) {
    bool has_gradient = gradient && gradient != Py_None;
    if (is_instance(position, TypeCode::Expression)) {
        auto expression = unwrap<Expression>(position);
        if (has_gradient)
            return value_error("Argument 'gradient' must be None when 'position' is an Expression."), nullptr;
        if (!check_parameters(*expression) || !check_expression_count(*expression, 4)) return nullptr;
        return std::static_pointer_cast<Expression>(expression->clone());
    }
    std::vector<Expression::Item> items;
    if (!to_curve_pair(position, "position", "x", "y", items)) return nullptr;
    if (has_gradient && !to_curve_pair(gradient, "gradient", "dx", "dy", items)) return nullptr;
    auto expression = std::make_shared<Expression>(std::vector<std::string>{"u"}, items);
    ErrorHandler status;
    expression->compile(status);
    return check_status(status) ? expression : nullptr;
}

PyObject* path_parametric(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"position", "gradient", "width", "offset", "relative",
                                     "min_evals", "max_evals", nullptr};
    PyObject *position = nullptr, *gradient = nullptr, *width = nullptr, *offset = nullptr;
    int relative = 1;
    long long min_value = 0, max_value = 10000;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOpLL:parametric", (char**)keywords,
                                     &position, &gradient, &width, &offset, &relative, &min_value,
                                     &max_value))
        return nullptr;
    std::shared_ptr<Expression> curve = to_curve(position, gradient);
    uint32_t min_evals, max_evals;
    Profile w, o;
    if (!curve || !to_eval_range(min_value, max_value, min_evals, max_evals) ||
        !to_profiles(width, offset, self, w, o))
        return nullptr;
    return build(self, [&](Path& p, ErrorHandler& status) {
        p.parametric(curve, relative ? p.end_position() : Vector{}, w, o, min_evals, max_evals,
                     status);
    });
}

// ---- Queries ----------------------------------------------------------------------------

enum class Output { All, Position, Width, Offset, Gradient };

bool to_output(const char* text, Output& out) {
    static const std::pair<const char*, Output> names[] = {{"all", Output::All},
                                                           {"position", Output::Position},
                                                           {"width", Output::Width},
                                                           {"offset", Output::Offset},
                                                           {"gradient", Output::Gradient}};
    for (const auto& [name, value] : names)
        if (std::strcmp(text, name) == 0) {
            out = value;
            return true;
        }
    value_error("Argument 'output' must be one of 'all', 'position', 'width', 'offset', or 'gradient'.");
    return false;
}

// Vectors (database units over `scale`) as one array for a scalar query, else an N×2 array.
PyObject* vectors_result(const std::vector<Vec2>& values, bool scalar, double scale) {
    if (scalar) return array2(values[0].x / scale, values[0].y / scale);
    double* data = nullptr;
    PyObject* array = new_float_array(values.size(), 2, data);
    if (!array) return nullptr;
    for (const Vec2& v : values) {
        *data++ = v.x / scale;
        *data++ = v.y / scale;
    }
    return array;
}

// Numbers (database units over `scale`) as a float for a scalar query, else a 1-D array.
PyObject* numbers_result(const std::vector<double>& values, bool scalar, double scale) {
    if (scalar) return PyFloat_FromDouble(values[0] / scale);
    double* data = nullptr;
    PyObject* array = new_float_array(values.size(), 0, data);
    if (!array) return nullptr;
    for (double v : values) *data++ = v / scale;
    return array;
}

// The selected part of the evaluations; gradients are in micrometres unless already unit.
PyObject* evaluation_result(const std::vector<Path::Evaluation>& values, bool scalar, Output output,
                            bool unit_gradient) {
    std::vector<Vec2> positions, gradients;
    std::vector<double> widths, offsets;
    for (const Path::Evaluation& e : values) {
        positions.push_back(e.position);
        gradients.push_back(e.gradient);
        widths.push_back(e.width);
        offsets.push_back(e.offset);
    }
    auto position = [&] { return vectors_result(positions, scalar, kUnitsPerMicron); };
    auto width = [&] { return numbers_result(widths, scalar, kUnitsPerMicron); };
    auto offset = [&] { return numbers_result(offsets, scalar, kUnitsPerMicron); };
    auto gradient = [&] {
        return vectors_result(gradients, scalar, unit_gradient ? 1.0 : kUnitsPerMicron);
    };
    switch (output) {
        case Output::Position: return position();
        case Output::Width: return width();
        case Output::Offset: return offset();
        case Output::Gradient: return gradient();
        case Output::All: break;
    }
    Ref p(position()), w(width()), o(offset()), g(gradient());
    if (!p || !w || !o || !g) return nullptr;
    return PyTuple_Pack(4, p.get(), w.get(), o.get(), g.get());
}

PyObject* path_at(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"u", "output", nullptr};
    double u = 0;
    const char* output_text = "all";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d|s:at", (char**)keywords, &u, &output_text))
        return nullptr;
    std::shared_ptr<Path> path = unwrap<Path>(self);
    Output output;
    if (!path || !to_output(output_text, output)) return nullptr;
    if (!(u >= 0 && u <= double(path->size()))) {
        PyErr_Format(PyExc_ValueError, "Invalid path position: outside range [0,%zu].", path->size());
        return nullptr;
    }
    return evaluation_result({path->at(u)}, true, output, false);
}

// A point list query of the path as an N×2 array.
template <bool (Path::*Query)(std::vector<Vec2>&, ErrorHandler&) const>
PyObject* point_query(PyObject* self, PyObject*) {
    std::shared_ptr<Path> path = unwrap<Path>(self);
    if (!path) return nullptr;
    try {
        std::vector<Vec2> points;
        ErrorHandler status;
        (*path.*Query)(points, status);
        if (!check_status(status)) return nullptr;
        return vectors_result(points, false, kUnitsPerMicron);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* path_length(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"include_offset", nullptr};
    int include_offset = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:length", (char**)keywords, &include_offset))
        return nullptr;
    std::shared_ptr<Path> path = unwrap<Path>(self);
    if (!path) return nullptr;
    try {
        double value = 0;
        ErrorHandler status;
        path->length(include_offset != 0, value, status);
        if (!check_status(status)) return nullptr;
        return PyFloat_FromDouble(value / kUnitsPerMicron);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* path_interpolate(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"distances", "include_offset", "output", nullptr};
    PyObject* distances_obj = nullptr;
    int include_offset = 1;
    const char* output_text = "all";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|ps:interpolate", (char**)keywords,
                                     &distances_obj, &include_offset, &output_text))
        return nullptr;
    std::shared_ptr<Path> path = unwrap<Path>(self);
    Output output;
    if (!path || !to_output(output_text, output)) return nullptr;
    std::vector<double> distances;
    bool scalar = !PySequence_Check(distances_obj) && PyNumber_Check(distances_obj);
    if (scalar) {
        double value = PyFloat_AsDouble(distances_obj);
        if (value == -1.0 && PyErr_Occurred()) return nullptr;
        distances.push_back(value);
    } else if (!to_numbers(distances_obj, "distances", distances)) {
        return nullptr;
    }
    try {
        Path::Trace trace;
        ErrorHandler status;
        path->trace(include_offset != 0, trace, status);
        if (!check_status(status)) return nullptr;
        std::vector<Path::Evaluation> values;
        values.reserve(distances.size());
        for (double d : distances) values.push_back(path->interpolate(trace, d * kUnitsPerMicron));
        return evaluation_result(values, scalar, output, true);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* path_updated_copy(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"width", "offset", "constant_width", "constant_offset",
                                     "relative", nullptr};
    double width = 0, offset = 0;
    int constant_width = 0, constant_offset = 0, relative = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d|dppp:updated_copy", (char**)keywords, &width,
                                     &offset, &constant_width, &constant_offset, &relative))
        return nullptr;
    std::shared_ptr<Path> path = unwrap<Path>(self);
    Coord width_db, offset_db;
    if (!path || !to_length(width, "width", width_db) || !to_length(offset, "offset", offset_db))
        return nullptr;
    if (width < 0 && !relative) return value_error("Path width cannot be negative.");
    try {
        return wrap(path->updated_copy(width_db, offset_db, constant_width != 0,
                                       constant_offset != 0, relative != 0));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* path_integration_points(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"width_rtol", "offset_rtol", "curvature_rtol",
                                     "include_offset", nullptr};
    double width_rtol = 0, offset_rtol = 0, curvature_rtol = 0;
    int include_offset = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|dddp:_integration_points", (char**)keywords,
                                     &width_rtol, &offset_rtol, &curvature_rtol, &include_offset))
        return nullptr;
    std::shared_ptr<Path> path = unwrap<Path>(self);
    if (!path) return nullptr;
    try {
        std::vector<Path::IntegrationPoint> points;
        ErrorHandler status;
        path->integration_points(width_rtol, offset_rtol, curvature_rtol, include_offset != 0,
                                 points, status);
        if (!check_status(status)) return nullptr;
        std::vector<double> lengths, curvatures, widths, offsets;
        std::vector<Vec2> positions, directions;
        for (const auto& p : points) {
            lengths.push_back(p.length);
            positions.push_back(p.position);
            directions.push_back(p.direction);
            curvatures.push_back(p.curvature);
            widths.push_back(p.width);
            offsets.push_back(p.offset);
        }
        Ref items[6] = {Ref(numbers_result(lengths, false, kUnitsPerMicron)),
                        Ref(vectors_result(positions, false, kUnitsPerMicron)),
                        Ref(vectors_result(directions, false, 1.0)),
                        Ref(numbers_result(curvatures, false, 1.0 / kUnitsPerMicron)),
                        Ref(numbers_result(widths, false, kUnitsPerMicron)),
                        Ref(numbers_result(offsets, false, kUnitsPerMicron))};
        for (const Ref& item : items)
            if (!item) return nullptr;
        return PyTuple_Pack(6, items[0].get(), items[1].get(), items[2].get(), items[3].get(),
                            items[4].get(), items[5].get());
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef path_methods[] = {
    WHISTLE_KEYWORD_METHOD("segment", path_segment,
        "segment(endpoint, width=None, offset=None, join_limit=-1.0, relative=False, "
        "min_evals=10000, max_evals=10000)\n\nAppend straight sections through one or more points."),
    WHISTLE_KEYWORD_METHOD("arc", path_arc,
        "arc(initial_angle, final_angle, radius=None, rotation=0, euler_fraction=None, "
        "endpoint=None, width=None, offset=None, min_evals=0, max_evals=10000)\n\n"
        "Append a circular, elliptical or partial Euler arc."),
    WHISTLE_KEYWORD_METHOD("turn", path_turn,
        "turn(angle, radius=None, euler_fraction=None, endpoint=None, width=None, offset=None, "
        "min_evals=0, max_evals=10000)\n\nAppend a bend turning by an angle (degrees)."),
    WHISTLE_KEYWORD_METHOD("s_bend", path_s_bend,
        "s_bend(endpoint, euler_fraction=None, direction=None, width=None, offset=None, "
        "relative=False, min_evals=0, max_evals=10000)\n\nAppend an S bend reaching endpoint."),
    WHISTLE_KEYWORD_METHOD("bezier", path_bezier,
        "bezier(controls, width=None, offset=None, relative=False, min_evals=0, "
        "max_evals=10000)\n\nAppend a Bézier curve."),
    WHISTLE_KEYWORD_METHOD("parametric", path_parametric,
        "parametric(position, gradient=None, width=None, offset=None, relative=True, "
        "min_evals=0, max_evals=10000)\n\nAppend a curve given by expressions in 'u'."),
    {"spine", point_query<&Path::spine>, METH_NOARGS, "spine()\n\nSampled spine points."},
    {"center", point_query<&Path::center>, METH_NOARGS,
     "center()\n\nSampled center points (spine moved by the offset)."},
    {"left_vertices", point_query<&Path::left_vertices>, METH_NOARGS,
     "left_vertices()\n\nSampled left boundary."},
    {"right_vertices", point_query<&Path::right_vertices>, METH_NOARGS,
     "right_vertices()\n\nSampled right boundary."},
    WHISTLE_KEYWORD_METHOD("at", path_at,
        "at(u, output='all')\n\nPosition, width, offset and gradient at a path parameter."),
    WHISTLE_KEYWORD_METHOD("length", path_length,
        "length(include_offset=True)\n\nLength of the sampled center line (or spine)."),
    WHISTLE_KEYWORD_METHOD("interpolate", path_interpolate,
        "interpolate(distances, include_offset=True, output='all')\n\n"
        "Positions, widths, offsets and unit gradients at distances along the path."),
    WHISTLE_KEYWORD_METHOD("updated_copy", path_updated_copy,
        "updated_copy(width, offset=0, constant_width=False, constant_offset=False, "
        "relative=False)\n\nA copy with the same spine and a new width and offset."),
    WHISTLE_KEYWORD_METHOD("_integration_points", path_integration_points,
        "_integration_points(width_rtol=0, offset_rtol=0, curvature_rtol=0, include_offset=True)"
        "\n\nArc lengths, positions, directions, curvatures, widths and offsets for integration."),
    WHISTLE_STRUCTURE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef path_getset[] = {
    WHISTLE_POINT_ATTRIBUTE(Path, origin, "numpy.ndarray: Start point of the path."),
    {"caps", get_caps, set_caps, "tuple: Start and end caps (extension fraction or 'round').", nullptr},
    {"scale_profile", get_scale_profile, set_scale_profile,
     "bool: Whether width and offset scale with the path.", nullptr},
    {"size", get_size, nullptr, "int: Number of sections.", nullptr},
    WHISTLE_STRUCTURE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject path_type = wrapper_type(
    "tarnwhistle.Path",
    "Path(origin, width, offset=0, caps=(0, 0), scale_profile=True)\n\n"
    "Ribbon along a spine of straight and curved sections.",
    path_init, path_methods, path_getset);

}  // namespace

PyTypeObject* Path_type() {
    return register_exposed_type(TypeCode::Path, &path_type);
}

PyObject* function_s_bend_length(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"offset", "radius", "meander", nullptr};
    double offset = 0;
    PyObject* radius_obj = nullptr;
    int meander = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d|Op:s_bend_length", (char**)keywords, &offset,
                                     &radius_obj, &meander))
        return nullptr;
    // A module function: its default radius is the one at the root of the defaults.
    Ref radius(argument_or_default(radius_obj, "radius", nullptr));
    if (!radius) return nullptr;
    double r = PyFloat_AsDouble(radius.get());
    Coord r_db, offset_db;
    if ((r == -1.0 && PyErr_Occurred()) || !to_length(r, "radius", r_db) ||
        !to_length(offset, "offset", offset_db))
        return nullptr;
    if (r_db <= 0) return value_error("Arc radius must be positive.");
    return length(s_bend_length(offset_db, r_db, meander != 0));
}

}  // namespace whistle::py
