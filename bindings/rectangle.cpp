// `Rectangle`: a box given by corners, or a center and a size, rotated about its center.
#include "core/geometry/rectangle.hpp"

#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

int rectangle_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"corner1", "corner2", "center", "size", "rotation", nullptr};
    PyObject *corner1_obj = nullptr, *corner2_obj = nullptr, *center_obj = nullptr,
             *size_obj = nullptr;
    double rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOd:Rectangle", (char**)keywords, &corner1_obj,
                                     &corner2_obj, &center_obj, &size_obj, &rotation))
        return -1;
    std::optional<Vector> corner1, corner2, size;
    Vector center;
    if (!to_optional_point(corner1_obj, "corner1", corner1) ||
        !to_optional_point(corner2_obj, "corner2", corner2) || !to_point(center_obj, "center", center) ||
        !to_optional_point(size_obj, "size", size) || !check_finite(rotation, "rotation"))
        return -1;
    if (!corner1 && !corner2 && !size) {
        PyErr_SetString(PyExc_ValueError,
                        "Not enough arguments for 'Rectangle': please provide at least one corner "
                        "or 'size'.");
        return -1;
    }
    try {
        install(self, std::make_shared<Rectangle>(
                          Rectangle::from_arguments(corner1, corner2, center, size, rotation)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyMethodDef rectangle_methods[] = {
    WHISTLE_STRUCTURE_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rectangle_getset[] = {
    WHISTLE_POINT_ATTRIBUTE(Rectangle, center, "numpy.ndarray: Rectangle center."),
    WHISTLE_POINT_ATTRIBUTE(Rectangle, size, "numpy.ndarray: Rectangle width and height."),
    WHISTLE_NUMBER_ATTRIBUTE(Rectangle, rotation, "float: Rotation around the center (degrees)."),
    WHISTLE_STRUCTURE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject rectangle_type = wrapper_type(
    "tarnwhistle.Rectangle",
    "Rectangle(corner1=None, corner2=None, center=None, size=None, rotation=0)\n\n"
    "Rectangle given by two corners, one corner and the center or size, or center and size.",
    rectangle_init, rectangle_methods, rectangle_getset);

}  // namespace

PyTypeObject* Rectangle_type() {
    return register_exposed_type(TypeCode::Rectangle, &rectangle_type);
}

}  // namespace whistle::py
