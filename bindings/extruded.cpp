// `Extruded`: a planar face extruded between two limits along an axis.
#include <cctype>

#include "core/solid/extruded.hpp"
#include "model.hpp"
#include "solid.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

bool to_face(PyObject* value, std::shared_ptr<Structure>& out) {
    out = value ? as_structure(value) : nullptr;
    if (!out && !PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError,
                        "Argument 'face' must be a Rectangle, Circle, Polygon or Path.");
    return out != nullptr;
}

bool to_pair(PyObject* value, const char* name, std::array<Coord, 2>& out) {
    Vector pair;
    if (!to_point(value, name, pair, true)) return false;
    out = {pair.x, pair.y};
    return true;
}

bool to_limits(PyObject* value, std::array<Coord, 2>& out) {
    if (!to_pair(value, "limits", out)) return false;
    if (out[0] > out[1]) {
        PyErr_SetString(PyExc_ValueError,
                        "Inconsistent extrusion limits: 'limits[0]' must not exceed 'limits[1]'.");
        return false;
    }
    return true;
}

// "x", "y" or "z" in either case.
bool to_axis(PyObject* value, int& out) {
    const char* text = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (text && text[0] && !text[1]) {
        int axis = std::tolower(static_cast<unsigned char>(text[0])) - 'x';
        if (axis >= 0 && axis < 3) {
            out = axis;
            return true;
        }
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "Argument 'axis' must be one of 'x', 'y', or 'z'.");
    return false;
}

int extruded_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"medium", "face", "limits", "dilations", "axis", nullptr};
    PyObject *medium_obj = nullptr, *face_obj = nullptr, *limits_obj = nullptr,
             *dilations_obj = nullptr, *axis_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|OO:Extruded", (char**)keywords, &medium_obj,
                                     &face_obj, &limits_obj, &dilations_obj, &axis_obj))
        return -1;
    std::shared_ptr<BaseType> medium;
    std::shared_ptr<Structure> face;
    std::array<Coord, 2> limits, dilations = {0, 0};
    int axis = 2;
    if (!to_solid_medium(medium_obj, "medium", medium) || !to_face(face_obj, face) ||
        !to_limits(limits_obj, limits) ||
        (dilations_obj && !to_pair(dilations_obj, "dilations", dilations)) ||
        (axis_obj && !to_axis(axis_obj, axis)))
        return -1;
    install(self, std::make_shared<Extruded>(std::move(medium), std::move(face), limits, dilations,
                                             axis));
    return 0;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_face(PyObject* self, void*) {
    auto solid = unwrap<Extruded>(self);
    return solid ? wrap(solid->face()) : nullptr;
}

int set_face(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<Structure> face;
    if (!check_not_deleted(value, "face") || !to_face(value, face)) return -1;
    return modify<Extruded>(self, [&](Extruded& s) { s.set_face(face); }) ? 0 : -1;
}

PyObject* pair_tuple(const std::array<Coord, 2>& pair) {
    return Py_BuildValue("(dd)", from_db(pair[0]), from_db(pair[1]));
}

PyObject* get_limits(PyObject* self, void*) {
    auto solid = unwrap<Extruded>(self);
    return solid ? pair_tuple(solid->limits()) : nullptr;
}

int set_limits(PyObject* self, PyObject* value, void*) {
    std::array<Coord, 2> limits;
    if (!check_not_deleted(value, "limits") || !to_limits(value, limits)) return -1;
    return modify<Extruded>(self, [&](Extruded& s) { s.set_limits(limits); }) ? 0 : -1;
}

PyObject* get_dilations(PyObject* self, void*) {
    auto solid = unwrap<Extruded>(self);
    return solid ? pair_tuple(solid->dilations()) : nullptr;
}

int set_dilations(PyObject* self, PyObject* value, void*) {
    std::array<Coord, 2> dilations;
    if (!check_not_deleted(value, "dilations") || !to_pair(value, "dilations", dilations)) return -1;
    return modify<Extruded>(self, [&](Extruded& s) { s.set_dilations(dilations); }) ? 0 : -1;
}

PyObject* get_axis(PyObject* self, void*) {
    auto solid = unwrap<Extruded>(self);
    return solid ? PyUnicode_FromString(axis_name(solid->axis())) : nullptr;
}

int set_axis(PyObject* self, PyObject* value, void*) {
    int axis = 2;
    if (!check_not_deleted(value, "axis") || !to_axis(value, axis)) return -1;
    return modify<Extruded>(self, [&](Extruded& s) { s.set_axis(axis); }) ? 0 : -1;
}

PyGetSetDef extruded_getset[] = {
    WHISTLE_ATTRIBUTE(face, "Rectangle | Circle | Polygon | Path: Cross-section (shared)."),
    WHISTLE_ATTRIBUTE(limits, "tuple[float, float]: Lower and upper extent along the axis."),
    WHISTLE_ATTRIBUTE(dilations,
                      "tuple[float, float]: Offset of the face at the lower and upper limit."),
    WHISTLE_ATTRIBUTE(axis, "str: Extrusion axis, 'x', 'y' or 'z'."),
    WHISTLE_SOLID_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef extruded_methods[] = {
    WHISTLE_DEPTH_COPY_METHODS(Extruded,
        "copy(deep=False)\n\nCopy of this solid; a deep copy also copies the face."),
    WHISTLE_TO_FENN3D_METHOD,
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject extruded_type = solid_type(
    "tarnwhistle.Extruded",
    "Extruded(medium, face, limits, dilations=(0, 0), axis=\"z\")\n\n"
    "A planar face extruded along an axis between two limits. The face lies in the other two "
    "axes in cyclic order (y, z for 'x'; z, x for 'y'); dilations offset it at the lower and "
    "upper limit, with a linear taper in between.",
    extruded_init, extruded_methods, extruded_getset);

}  // namespace

PyTypeObject* Extruded_type() { return register_exposed_type(TypeCode::Extruded, &extruded_type); }

}  // namespace whistle::py
