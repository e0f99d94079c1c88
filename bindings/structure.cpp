// Members every planar structure type shares, and the placement argument parsers.
#include "structure.hpp"

#include <cmath>

#include "core/geometry/polygon.hpp"
#include "core/geometry/rectangle.hpp"
#include "svg.hpp"

namespace whistle::py {

bool check_finite(double value, const char* name) {
    if (std::isfinite(value)) return true;
    PyErr_Format(PyExc_ValueError, "'%s' must be a finite number.", name);
    return false;
}

bool check_not_deleted(PyObject* value, const char* name) {
    if (value) return true;
    PyErr_Format(PyExc_TypeError, "'%s' cannot be deleted.", name);
    return false;
}

PyObject* polygon_list(std::vector<Polygon> polygons) {
    return new_list(polygons.size(), [&](size_t i) {
        return wrap(std::make_shared<Polygon>(std::move(polygons[i])));
    });
}

std::shared_ptr<Structure> as_structure(PyObject* obj) {
    for (TypeCode code : {TypeCode::Rectangle, TypeCode::Circle, TypeCode::Polygon, TypeCode::Path})
        if (is_instance(obj, code)) return unwrap<Structure>(obj);
    return nullptr;
}

// ---- Placement arguments ---------------------------------------------------------------

bool parse_transform(PyObject* args, PyObject* kwds, TransformArguments& out) {
    static const char* keywords[] = {"translation", "rotation", "scaling", "x_reflection", nullptr};
    PyObject* translation = nullptr;
    int x_reflection = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|Oddp:transform", (char**)keywords, &translation,
                                     &out.rotation, &out.scaling, &x_reflection))
        return false;
    out.x_reflection = x_reflection != 0;
    return check_finite(out.rotation, "rotation") && check_finite(out.scaling, "scaling") &&
           to_point(translation, "translation", out.translation);
}

bool parse_translate(PyObject* args, PyObject* kwds, Vector& translation) {
    static const char* keywords[] = {"translation", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:translate", (char**)keywords, &value))
        return false;
    return to_point(value, "translation", translation, true);
}

bool parse_about_center(PyObject* args, PyObject* kwds, const char* format, const char* keyword,
                        double& value, Vector& center) {
    const char* keywords[] = {keyword, "center", nullptr};
    PyObject* center_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords, &value, &center_obj))
        return false;
    return check_finite(value, keyword) && to_point(center_obj, "center", center);
}

bool parse_mirror(PyObject* args, PyObject* kwds, Vector& axis_endpoint, Vector& axis_origin) {
    static const char* keywords[] = {"axis_endpoint", "axis_origin", nullptr};
    PyObject* endpoint = nullptr;
    PyObject* origin = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:mirror", (char**)keywords, &endpoint, &origin))
        return false;
    axis_endpoint = {to_db(1.0), 0};
    return (!endpoint || to_point(endpoint, "axis_endpoint", axis_endpoint)) &&
           to_point(origin, "axis_origin", axis_origin);
}

// ---- Structure members -----------------------------------------------------------------

namespace {

const char* const kBoundNames[] = {"x_min", "y_min", "x_max", "y_max", "x_mid", "y_mid"};

bool structure_bounds_of(Structure& structure, Bounds& out) {
    try {
        ErrorHandler status;
        out = structure.bounds(status);
        return check_status(status);
    }
    WHISTLE_CATCH(false)
}

// The bound named by `which` in database units; a rectangle's middle is its stored center.
double bound_value(const Structure& structure, const Bounds& b, intptr_t which) {
    if ((which == kXMid || which == kYMid) && structure.kind() == StructureKind::Rectangle) {
        const Vector& center = static_cast<const Rectangle&>(structure).center();
        return double(which == kXMid ? center.x : center.y);
    }
    return box_bound(b, which);
}

}  // namespace

bool to_bound_target(PyObject* value, intptr_t which, Coord& out) {
    double target = 0;
    return to_number(value, kBoundNames[which], target) &&
           to_length(target, kBoundNames[which], out);
}

double box_bound(const Bounds& b, intptr_t which) {
    switch (which) {
        case kXMin: return double(b.x_min);
        case kYMin: return double(b.y_min);
        case kXMax: return double(b.x_max);
        case kYMax: return double(b.y_max);
        case kXMid: return (double(b.x_min) + double(b.x_max)) / 2;
        default: return (double(b.y_min) + double(b.y_max)) / 2;
    }
}

Vector bound_shift(intptr_t which, Coord target, double current) {
    Coord shift = nearest(double(target) - current);
    return which == kXMin || which == kXMax || which == kXMid ? Vector{shift, 0} : Vector{0, shift};
}

// Curved shapes build their polygon form on first need, which can fail.
PyObject* structure_repr_svg(PyObject* self, PyObject* args) {
    return svg_method<Structure, Structure, structure_svg>(self, args);
}

PyObject* structure_area(PyObject* self, PyObject*) {
    std::shared_ptr<Structure> structure = unwrap<Structure>(self);
    if (!structure) return nullptr;
    try {
        return PyFloat_FromDouble(structure->area().microns());
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* structure_perimeter(PyObject* self, PyObject*) {
    std::shared_ptr<Structure> structure = unwrap<Structure>(self);
    if (!structure) return nullptr;
    try {
        return length(structure->perimeter());
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* structure_bounds(PyObject* self, PyObject*) {
    std::shared_ptr<Structure> structure = unwrap<Structure>(self);
    Bounds b;
    if (!structure || !structure_bounds_of(*structure, b)) return nullptr;
    Ref lower(array2(Vector{b.x_min, b.y_min}));
    Ref upper(array2(Vector{b.x_max, b.y_max}));
    if (!lower || !upper) return nullptr;
    return PyTuple_Pack(2, lower.get(), upper.get());
}

PyObject* structure_to_polygon(PyObject* self, PyObject*) {
    std::shared_ptr<Structure> structure = unwrap<Structure>(self);
    if (!structure) return nullptr;
    try {
        ErrorHandler status;
        auto polygon = std::make_shared<Polygon>(structure->to_polygon(status));
        if (!check_status(status)) return nullptr;
        return wrap(polygon);
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* get_structure_bound(PyObject* self, void* closure) {
    std::shared_ptr<Structure> structure = unwrap<Structure>(self);
    Bounds b;
    if (!structure || !structure_bounds_of(*structure, b)) return nullptr;
    return PyFloat_FromDouble(bound_value(*structure, b, reinterpret_cast<intptr_t>(closure)) /
                              kUnitsPerMicron);
}

int set_structure_bound(PyObject* self, PyObject* value, void* closure) {
    intptr_t which = reinterpret_cast<intptr_t>(closure);
    Coord target = 0;
    if (!to_bound_target(value, which, target)) return -1;
    std::shared_ptr<Structure> structure = unwrap<Structure>(self);
    Bounds b;
    if (!structure || !structure_bounds_of(*structure, b)) return -1;
    try {
        structure->translate(bound_shift(which, target, bound_value(*structure, b, which)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

}  // namespace whistle::py
