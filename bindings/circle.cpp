// `Circle`: circles, ellipses, rings and sectors.
#include "core/geometry/circle.hpp"

#include <algorithm>

#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kRadiusError = "Inner radius larger or equal to outer radius.";

// A number for both semi-axes or a pair, in database units; None gives (0, 0) when allowed.
bool to_radius(PyObject* obj, const char* name, Vector& out, bool allow_none) {
    if (allow_none && (!obj || obj == Py_None)) {
        out = {};
        return true;
    }
    Vec2 value;
    return to_radius_pair(obj, name, value) && to_length(value.x, name, out.x) &&
           to_length(value.y, name, out.y);
}

bool to_sector(PyObject* obj, Circle::Sector& out, bool required) {
    Vec2 value;
    if (!to_point(obj, "sector", value, required) || !check_finite(value.x, "sector") ||
        !check_finite(value.y, "sector"))
        return false;
    out = {value.x, value.y};
    return true;
}

int radius_error() {
    PyErr_SetString(PyExc_ValueError, kRadiusError);
    return -1;
}

// Applies a radius setter of the circle; the setter refuses radii that would be invalid.
int set_radii(PyObject* self, bool (Circle::*setter)(const Vector&), const Vector& value) {
    bool valid = true;
    if (!modify<Circle>(self, [&](Circle& circle) { valid = (circle.*setter)(value); })) return -1;
    return valid ? 0 : radius_error();
}

uint32_t clamped_min_evals(long long value) {
    return uint32_t(std::clamp<long long>(value, 0, UINT32_MAX));
}

int circle_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"radius",   "center",    "inner_radius", "sector",
                                     "rotation", "min_evals", nullptr};
    PyObject *radius_obj = nullptr, *center_obj = nullptr, *inner_obj = nullptr,
             *sector_obj = nullptr;
    double rotation = 0;
    int min_evals = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOdi:Circle", (char**)keywords, &radius_obj,
                                     &center_obj, &inner_obj, &sector_obj, &rotation, &min_evals))
        return -1;
    Vector radius, center, inner_radius;
    Circle::Sector sector{0, 0};
    if (!to_radius(radius_obj, "radius", radius, false) || !to_point(center_obj, "center", center) ||
        !to_radius(inner_obj, "inner_radius", inner_radius, true) ||
        !to_sector(sector_obj, sector, false) || !check_finite(rotation, "rotation"))
        return -1;
    if (!Circle::radii_valid(radius, inner_radius)) return radius_error();
    try {
        install(self, std::make_shared<Circle>(radius, inner_radius, center, sector, rotation,
                                               clamped_min_evals(min_evals)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

int set_radius(PyObject* self, PyObject* value, void*) {
    Vector radius;
    if (!to_radius(value, "radius", radius, false)) return -1;
    return set_radii(self, &Circle::set_radius, radius);
}

int set_inner_radius(PyObject* self, PyObject* value, void*) {
    Vector inner_radius;
    if (!check_not_deleted(value, "inner_radius") ||
        !to_radius(value, "inner_radius", inner_radius, true))
        return -1;
    return set_radii(self, &Circle::set_inner_radius, inner_radius);
}

PyObject* get_sector(PyObject* self, void*) {
    std::shared_ptr<Circle> circle = unwrap<Circle>(self);
    return circle ? array2(circle->sector()[0], circle->sector()[1]) : nullptr;
}

int set_sector(PyObject* self, PyObject* value, void*) {
    Circle::Sector sector;
    if (!to_sector(value, sector, true)) return -1;
    return modify<Circle>(self, [&](Circle& circle) { circle.set_sector(sector); }) ? 0 : -1;
}

PyObject* get_min_evals(PyObject* self, void*) {
    std::shared_ptr<Circle> circle = unwrap<Circle>(self);
    return circle ? PyLong_FromUnsignedLong(circle->min_evals()) : nullptr;
}

int set_min_evals(PyObject* self, PyObject* value, void*) {
    if (!value || !PyIndex_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "'min_evals' must be an integer.");
        return -1;
    }
    long long min_evals = PyLong_AsLongLong(value);
    if (min_evals == -1 && PyErr_Occurred()) return -1;
    return modify<Circle>(self, [&](Circle& circle) {
        circle.set_min_evals(clamped_min_evals(min_evals));
    }) ? 0 : -1;
}

PyMethodDef circle_methods[] = {
    WHISTLE_STRUCTURE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef circle_getset[] = {
    {"radius", point_getter<Circle, &Circle::radius>, set_radius, "numpy.ndarray: Outer semi-axes.", nullptr},
    {"inner_radius", point_getter<Circle, &Circle::inner_radius>, set_inner_radius,
     "numpy.ndarray: Inner semi-axes; (0, 0) means no hole.", nullptr},
    WHISTLE_POINT_ATTRIBUTE(Circle, center, "numpy.ndarray: Circle center."),
    {"sector", get_sector, set_sector,
     "numpy.ndarray: Start and end angles (degrees); equal values make a full shape.", nullptr},
    WHISTLE_NUMBER_ATTRIBUTE(Circle, rotation, "float: Rotation of the main axis (degrees)."),
    {"min_evals", get_min_evals, set_min_evals,
     "int: Minimal number of points used to discretize the curves.", nullptr},
    WHISTLE_STRUCTURE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject circle_type = wrapper_type(
    "tarnwhistle.Circle",
    "Circle(radius, center=(0, 0), inner_radius=None, sector=(0, 0), rotation=0, "
    "min_evals=0)\n\nCircle, ellipse, ring or sector.",
    circle_init, circle_methods, circle_getset);

}  // namespace

PyTypeObject* Circle_type() {
    return register_exposed_type(TypeCode::Circle, &circle_type);
}

}  // namespace whistle::py
