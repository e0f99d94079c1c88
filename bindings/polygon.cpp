// `Polygon`: an exterior boundary with holes, snapped to the grid.
#include "core/geometry/polygon.hpp"

#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// None gives no holes; otherwise a sequence of point sequences.
bool to_holes(PyObject* obj, std::vector<Ring>& out) {
    out.clear();
    if (!obj || obj == Py_None) return true;
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "'holes' must be a sequence type object.");
        return false;
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) return false;
    std::vector<Ring> holes(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item(PySequence_GetItem(obj, i));
        if (!item || !to_points(item.get(), "holes", holes[size_t(i)])) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "Error parsing item '%s[%zd]'.", "holes", i);
            return false;
        }
    }
    out = std::move(holes);
    return true;
}

int polygon_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"vertices", "holes", nullptr};
    PyObject* vertices_obj = nullptr;
    PyObject* holes_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:Polygon", (char**)keywords, &vertices_obj,
                                     &holes_obj))
        return -1;
    Ring vertices;
    std::vector<Ring> holes;
    if (!to_points(vertices_obj, "vertices", vertices) || !to_holes(holes_obj, holes)) return -1;
    try {
        auto polygon = std::make_shared<Polygon>(std::move(vertices), std::move(holes));
        polygon->normalize();
        // Installed even when invalid: the caller sees the error but the wrapper holds the data.
        install(self, polygon);
        if (polygon->is_valid()) return 0;
        PyErr_SetString(PyExc_RuntimeError, Polygon::kInvalidCreated);
        return -1;
    }
    WHISTLE_CATCH(-1)
}

// Replaces the exterior, the holes, or both (an empty optional keeps the current rings).
int assign_or_raise(PyObject* self, std::optional<Ring> vertices, std::optional<std::vector<Ring>> holes) {
    bool valid = true;
    if (!modify<Polygon>(self, [&](Polygon& polygon) {
            valid = polygon.assign(vertices ? std::move(*vertices) : polygon.vertices(),
                                   holes ? std::move(*holes) : polygon.holes());
        }))
        return -1;
    if (valid) return 0;
    PyErr_SetString(PyExc_RuntimeError, Polygon::kInvalidWrite);
    return -1;
}

PyObject* get_vertices(PyObject* self, void*) {
    std::shared_ptr<Polygon> polygon = unwrap<Polygon>(self);
    return polygon ? points_array(polygon->vertices()) : nullptr;
}

int set_vertices(PyObject* self, PyObject* value, void*) {
    Ring vertices;
    if (!to_points(value, "vertices", vertices)) return -1;
    return assign_or_raise(self, std::move(vertices), std::nullopt);
}

PyObject* get_holes(PyObject* self, void*) {
    std::shared_ptr<Polygon> polygon = unwrap<Polygon>(self);
    if (!polygon) return nullptr;
    Ref list(PyList_New(Py_ssize_t(polygon->holes().size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < polygon->holes().size(); ++i) {
        PyObject* array = points_array(polygon->holes()[i]);
        if (!array) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), array);
    }
    return list.release();
}

int set_holes(PyObject* self, PyObject* value, void*) {
    std::vector<Ring> holes;
    if (!check_not_deleted(value, "holes") || !to_holes(value, holes)) return -1;
    return assign_or_raise(self, std::nullopt, std::move(holes));
}

PyObject* method_remove_collinear(PyObject* self, PyObject*) {
    return modify<Polygon>(self, [](Polygon& polygon) { polygon.remove_collinear(); }) ? same(self)
                                                                                      : nullptr;
}

PyObject* method_fillet(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"radius", nullptr};
    double radius = 0;
    Coord units = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d:fillet", (char**)keywords, &radius) ||
        !to_length(radius, "radius", units))
        return nullptr;
    ErrorHandler status;
    if (!modify<Polygon>(self, [&](Polygon& polygon) { polygon.fillet(units, status); }))
        return nullptr;
    return check_status(status) ? same(self) : nullptr;
}

PyMethodDef polygon_methods[] = {
    {"remove_collinear", method_remove_collinear, METH_NOARGS,
     "remove_collinear()\n\nRemove vertices that lie on the line through their neighbours."},
    WHISTLE_KEYWORD_METHOD("fillet", method_fillet,
                           "fillet(radius)\n\nRound the polygon corners with arcs of the radius."),
    WHISTLE_STRUCTURE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef polygon_getset[] = {
    {"vertices", get_vertices, set_vertices, "numpy.ndarray: Exterior vertices (read-only).",
     nullptr},
    {"holes", get_holes, set_holes, "list[numpy.ndarray]: Vertices of the holes (read-only).",
     nullptr},
    WHISTLE_STRUCTURE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject polygon_type =
    wrapper_type("tarnwhistle.Polygon", "Polygon(vertices, holes=None)\n\nPolygon with holes.",
                 polygon_init, polygon_methods, polygon_getset);

}  // namespace

PyTypeObject* Polygon_type() {
    return register_exposed_type(TypeCode::Polygon, &polygon_type);
}

}  // namespace whistle::py
