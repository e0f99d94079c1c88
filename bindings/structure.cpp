// Members every planar structure type shares, and the placement argument parsers.
#include "structure.hpp"

#include "core/geometry/polygon.hpp"
#include "core/geometry/rectangle.hpp"

namespace whistle::py {

PyObject* wrap_structure(const std::shared_ptr<Structure>& structure) {
    if (!structure) Py_RETURN_NONE;
    switch (structure->kind()) {
        case StructureKind::Rectangle:
        case StructureKind::Circle:
        case StructureKind::Polygon:
        case StructureKind::Path:
            return wrap(structure);
    }
    PyErr_SetString(PyExc_RuntimeError, "Unrecognized structure type.");
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
    return to_point(translation, "translation", out.translation);
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
    return to_point(center_obj, "center", center);
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
    ErrorHandler status;
    out = structure.bounds(status);
    return check_status(status);
}

// The bound named by `which` in database units (halves possible for the middle).
double bound_value(const Structure& structure, const Bounds& b, intptr_t which) {
    switch (which) {
        case kXMin: return double(b.x_min);
        case kYMin: return double(b.y_min);
        case kXMax: return double(b.x_max);
        case kYMax: return double(b.y_max);
    }
    // A rectangle's middle is its stored center.
    if (structure.kind() == StructureKind::Rectangle) {
        const Vector& center = static_cast<const Rectangle&>(structure).center();
        return double(which == kXMid ? center.x : center.y);
    }
    return which == kXMid ? (double(b.x_min) + double(b.x_max)) / 2
                          : (double(b.y_min) + double(b.y_max)) / 2;
}

}  // namespace

PyObject* structure_area(PyObject* self, PyObject*) {
    Structure* structure = unwrap<Structure>(self);
    if (!structure) return nullptr;
    return PyFloat_FromDouble(structure->area().microns());
}

PyObject* structure_perimeter(PyObject* self, PyObject*) {
    Structure* structure = unwrap<Structure>(self);
    if (!structure) return nullptr;
    return length(structure->perimeter());
}

PyObject* structure_bounds(PyObject* self, PyObject*) {
    Structure* structure = unwrap<Structure>(self);
    Bounds b;
    if (!structure || !structure_bounds_of(*structure, b)) return nullptr;
    Ref lower(array2(Vector{b.x_min, b.y_min}));
    Ref upper(array2(Vector{b.x_max, b.y_max}));
    if (!lower || !upper) return nullptr;
    return PyTuple_Pack(2, lower.get(), upper.get());
}

PyObject* structure_to_polygon(PyObject* self, PyObject*) {
    Structure* structure = unwrap<Structure>(self);
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
    Structure* structure = unwrap<Structure>(self);
    Bounds b;
    if (!structure || !structure_bounds_of(*structure, b)) return nullptr;
    return PyFloat_FromDouble(bound_value(*structure, b, reinterpret_cast<intptr_t>(closure)) /
                              kUnitsPerMicron);
}

int set_structure_bound(PyObject* self, PyObject* value, void* closure) {
    intptr_t which = reinterpret_cast<intptr_t>(closure);
    double target = 0;
    if (!to_number(value, kBoundNames[which], target)) return -1;
    Structure* structure = unwrap<Structure>(self);
    Bounds b;
    if (!structure || !structure_bounds_of(*structure, b)) return -1;
    Coord shift = nearest(target * kUnitsPerMicron - bound_value(*structure, b, which));
    bool along_x = which == kXMin || which == kXMax || which == kXMid;
    structure->translate(along_x ? Vector{shift, 0} : Vector{0, shift});
    return 0;
}

}  // namespace whistle::py
