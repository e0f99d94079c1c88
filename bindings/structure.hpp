// Members shared by every planar structure type, and the placement methods shared with labels.
#pragma once

#include "common.hpp"

#include "core/geometry/structure.hpp"

namespace whistle::py {

// Angles and magnifications must be finite: ValueError "'<name>' must be a finite number.".
bool check_finite(double value, const char* name);
// Attribute deletion (a null value) raises TypeError "'<name>' cannot be deleted.".
bool check_not_deleted(PyObject* value, const char* name);

// The structure held by obj, or null when obj is not a planar structure.
std::shared_ptr<Structure> as_structure(PyObject* obj);
// A new list of new Polygon objects.
PyObject* polygon_list(std::vector<Polygon> polygons);

// ---- Placement methods (transform, translate, rotate, scale, mirror) -------------------

struct TransformArguments {
    Vector translation;
    double rotation = 0;
    double scaling = 1;
    bool x_reflection = false;
};

bool parse_transform(PyObject* args, PyObject* kwds, TransformArguments& out);
bool parse_translate(PyObject* args, PyObject* kwds, Vector& translation);
// Parses (value, center=(0, 0)) with the given format and keyword of the value.
bool parse_about_center(PyObject* args, PyObject* kwds, const char* format, const char* keyword,
                        double& value, Vector& center);
bool parse_mirror(PyObject* args, PyObject* kwds, Vector& axis_endpoint, Vector& axis_origin);

// Each method converts its arguments first, then modifies the object, and returns the same
// object. T has transform, translate, rotate, scale and mirror.
template <class T>
PyObject* method_transform(PyObject* self, PyObject* args, PyObject* kwds) {
    TransformArguments a;
    if (!parse_transform(args, kwds, a)) return nullptr;
    return modify<T>(self, [&](T& object) {
        object.transform(a.translation, a.x_reflection, a.rotation, a.scaling);
    }) ? same(self) : nullptr;
}

template <class T>
PyObject* method_translate(PyObject* self, PyObject* args, PyObject* kwds) {
    Vector translation;
    if (!parse_translate(args, kwds, translation)) return nullptr;
    return modify<T>(self, [&](T& object) { object.translate(translation); }) ? same(self)
                                                                               : nullptr;
}

template <class T>
PyObject* apply_about_center(PyObject* self, PyObject* args, PyObject* kwds, const char* format,
                             const char* keyword, void (T::*operation)(double, const Vector&)) {
    double value = 0;
    Vector center;
    if (!parse_about_center(args, kwds, format, keyword, value, center)) return nullptr;
    return modify<T>(self, [&](T& object) { (object.*operation)(value, center); }) ? same(self)
                                                                                   : nullptr;
}

template <class T>
PyObject* method_rotate(PyObject* self, PyObject* args, PyObject* kwds) {
    return apply_about_center<T>(self, args, kwds, "d|O:rotate", "rotation", &T::rotate);
}

template <class T>
PyObject* method_scale(PyObject* self, PyObject* args, PyObject* kwds) {
    return apply_about_center<T>(self, args, kwds, "d|O:scale", "scaling", &T::scale);
}

template <class T>
PyObject* method_mirror(PyObject* self, PyObject* args, PyObject* kwds) {
    Vector axis_endpoint, axis_origin;
    if (!parse_mirror(args, kwds, axis_endpoint, axis_origin)) return nullptr;
    return modify<T>(self, [&](T& object) { object.mirror(axis_endpoint, axis_origin); })
               ? same(self)
               : nullptr;
}

#define WHISTLE_KEYWORD_METHOD(name, function, doc) \
    {name, (PyCFunction)(void (*)(void))(function), METH_VARARGS | METH_KEYWORDS, doc}

#define WHISTLE_PLACEMENT_METHODS(T)                                                              \
    WHISTLE_KEYWORD_METHOD("transform", whistle::py::method_transform<T>,                        \
        "transform(translation=(0, 0), rotation=0, scaling=1, x_reflection=False)\n\n"            \
        "Scale, mirror across the x axis, rotate and translate, in this order."),                 \
    WHISTLE_KEYWORD_METHOD("translate", whistle::py::method_translate<T>,                        \
        "translate(translation)\n\nMove by a vector."),                                           \
    WHISTLE_KEYWORD_METHOD("rotate", whistle::py::method_rotate<T>,                              \
        "rotate(rotation, center=(0, 0))\n\nRotate (degrees) about a center."),                   \
    WHISTLE_KEYWORD_METHOD("scale", whistle::py::method_scale<T>,                                \
        "scale(scaling, center=(0, 0))\n\nScale about a center."),                                \
    WHISTLE_KEYWORD_METHOD("mirror", whistle::py::method_mirror<T>,                              \
        "mirror(axis_endpoint=(1, 0), axis_origin=(0, 0))\n\nMirror across the line through "     \
        "axis_origin and axis_endpoint.")

// ---- Point and number attributes -------------------------------------------------------
// Getters and setters over a core accessor pair; the closure is the attribute name, used in
// conversion messages. Points are lengths; numbers (angles, magnifications) must be finite.

template <class T, auto Get>
PyObject* point_getter(PyObject* self, void*) {
    auto object = unwrap<T>(self);
    return object ? array2((*object.*Get)()) : nullptr;
}

template <class T, auto Set>
int point_setter(PyObject* self, PyObject* value, void* name) {
    Vector point;
    if (!to_point(value, static_cast<const char*>(name), point, true)) return -1;
    return modify<T>(self, [&](T& object) { (object.*Set)(point); }) ? 0 : -1;
}

template <class T, auto Get>
PyObject* number_getter(PyObject* self, void*) {
    auto object = unwrap<T>(self);
    return object ? PyFloat_FromDouble((*object.*Get)()) : nullptr;
}

template <class T, auto Set>
int number_setter(PyObject* self, PyObject* value, void* closure) {
    const char* name = static_cast<const char*>(closure);
    double number = 0;
    if (!to_number(value, name, number) || !check_finite(number, name)) return -1;
    return modify<T>(self, [&](T& object) { (object.*Set)(number); }) ? 0 : -1;
}

#define WHISTLE_POINT_ATTRIBUTE(T, name, doc)                                                  \
    {#name, whistle::py::point_getter<T, &T::name>, whistle::py::point_setter<T, &T::set_##name>, \
     doc, const_cast<char*>(#name)}

#define WHISTLE_NUMBER_ATTRIBUTE(T, name, doc)                                                   \
    {#name, whistle::py::number_getter<T, &T::name>,                                               \
     whistle::py::number_setter<T, &T::set_##name>, doc, const_cast<char*>(#name)}

// ---- Structure members -----------------------------------------------------------------

PyObject* structure_area(PyObject* self, PyObject*);
PyObject* structure_repr_svg(PyObject* self, PyObject*);
PyObject* structure_perimeter(PyObject* self, PyObject*);
PyObject* structure_bounds(PyObject* self, PyObject*);
PyObject* structure_to_polygon(PyObject* self, PyObject*);
PyObject* get_structure_bound(PyObject* self, void* which);
int set_structure_bound(PyObject* self, PyObject* value, void* which);

// Closure values of the bound attributes.
enum BoundAttribute : intptr_t { kXMin, kYMin, kXMax, kYMax, kXMid, kYMid };

// The value assigned to a bound attribute, in database units ("'x_min' must be a number.").
bool to_bound_target(PyObject* value, intptr_t which, Coord& out);
// A bound of a box in database units (middles may fall on halves).
double box_bound(const Bounds& b, intptr_t which);
// The translation that brings a bound now at `current` to `target` (database units).
Vector bound_shift(intptr_t which, Coord target, double current);

#define WHISTLE_STRUCTURE_METHODS                                                                  \
    {"area", whistle::py::structure_area, METH_NOARGS, "area()\n\nArea of the structure."},       \
    {"perimeter", whistle::py::structure_perimeter, METH_NOARGS,                                   \
     "perimeter()\n\nPerimeter of the structure."},                                               \
    {"bounds", whistle::py::structure_bounds, METH_NOARGS,                                         \
     "bounds()\n\nLower-left and upper-right corners of the bounding box."},                       \
    {"to_polygon", whistle::py::structure_to_polygon, METH_NOARGS,                                 \
     "to_polygon()\n\nA new polygon with the shape of this structure."},                           \
    {"_repr_svg_", whistle::py::structure_repr_svg, METH_NOARGS,                                   \
     "_repr_svg_()\n\nSVG document of this structure alone, for notebook display."},             \
    WHISTLE_PLACEMENT_METHODS(whistle::Structure),                                                 \
    WHISTLE_ADD_GDS_PROPERTY_METHOD,                                                               \
    WHISTLE_COPY_METHODS

#define WHISTLE_STRUCTURE_BOUND(name, which, doc)                                                \
    {name, whistle::py::get_structure_bound, whistle::py::set_structure_bound, doc,              \
     reinterpret_cast<void*>(whistle::py::which)}

#define WHISTLE_STRUCTURE_GETSET                                                                   \
    WHISTLE_STRUCTURE_BOUND("x_min", kXMin, "float: Minimal x coordinate of the bounding box."),   \
    WHISTLE_STRUCTURE_BOUND("y_min", kYMin, "float: Minimal y coordinate of the bounding box."),   \
    WHISTLE_STRUCTURE_BOUND("x_max", kXMax, "float: Maximal x coordinate of the bounding box."),   \
    WHISTLE_STRUCTURE_BOUND("y_max", kYMax, "float: Maximal y coordinate of the bounding box."),   \
    WHISTLE_STRUCTURE_BOUND("x_mid", kXMid, "float: x coordinate of the bounding box center."),    \
    WHISTLE_STRUCTURE_BOUND("y_mid", kYMid, "float: y coordinate of the bounding box center."),    \
    WHISTLE_BASE_GETSET

}  // namespace whistle::py
