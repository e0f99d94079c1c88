// The exposed types and module functions, in registration order. Adding a type means adding
// its binding file, which defines `PyTypeObject* <Name>_type()`, and one line here.
#pragma once

#include "common.hpp"

// X(name as added to the module)
#define WHISTLE_TYPES(X) \
    X(Circle)            \
    X(FiberPort)         \
    X(GaussianPort)      \
    X(_Iterator)         \
    X(Label)             \
    X(Path)              \
    X(Expression)        \
    X(Polygon)           \
    X(Port)              \
    X(PortSpec)          \
    X(Properties)        \
    X(Rectangle)         \
    X(Terminal)          \
    X(Interpolator)

// X(name, C function, flags, docstring); functions live in the binding file of their topic.
#define WHISTLE_FUNCTIONS(X)                                                                  \
    X(snap_to_grid, METH_VARARGS | METH_KEYWORDS,                                             \
      "snap_to_grid(value, grid=None, multiple=1)\n\nSnap a value or coordinates to the grid.")  \
    X(grid_floor, METH_VARARGS | METH_KEYWORDS,                                               \
      "grid_floor(value, grid=None, multiple=1)\n\nSnap towards minus infinity.")             \
    X(grid_ceil, METH_VARARGS | METH_KEYWORDS,                                                \
      "grid_ceil(value, grid=None, multiple=1)\n\nSnap towards plus infinity.")               \
    X(s_bend_length, METH_VARARGS | METH_KEYWORDS,                                            \
      "s_bend_length(offset, radius=None, meander=True)\n\nShortest length of an S bend.")     \
    X(boolean, METH_VARARGS | METH_KEYWORDS, "boolean(operand1, operand2, operation)\n\nBoolean operation ('+', '*', '-' or '^') between two sets of shapes.") \
    X(intersects, METH_VARARGS | METH_KEYWORDS, "intersects(operand1, operand2)\n\nTrue when the two sets of shapes share any point.") \
    X(offset, METH_VARARGS | METH_KEYWORDS, "offset(operand, distance, round_joins=False, trim_x_min=False, trim_x_max=False, trim_y_min=False, trim_y_max=False)\n\nDilate (positive distance) or erode shapes.") \
    X(heal, METH_VARARGS | METH_KEYWORDS, "heal(operand, feature_size)\n\nRemove features smaller than feature_size.") \
    X(envelope, METH_VARARGS | METH_KEYWORDS, "envelope(operand, offset=0, trim_x_min=False, trim_x_max=False, trim_y_min=False, trim_y_max=False, round_joins=False, use_box=False)\n\nConvex hull or bounding box of shapes, optionally dilated.") \
    X(_store_type, METH_VARARGS | METH_KEYWORDS,                                              \
      "_store_type(type_id)\n\nMap a type name to its code or a code to its name.")

namespace whistle::py {

#define WHISTLE_DECLARE_TYPE(name) PyTypeObject* name##_type();
WHISTLE_TYPES(WHISTLE_DECLARE_TYPE)
#undef WHISTLE_DECLARE_TYPE

#define WHISTLE_DECLARE_FUNCTION(name, flags, doc) PyObject* function_##name(PyObject*, PyObject*, PyObject*);
WHISTLE_FUNCTIONS(WHISTLE_DECLARE_FUNCTION)
#undef WHISTLE_DECLARE_FUNCTION

PyObject* create_config_object();
// Imports the solver package and the other run-time modules the module relies on.
bool fill_solver_cache();

// A new `_Iterator` over the items of a list (steals nothing; holds its own reference).
PyObject* make_iterator(PyObject* list);

}  // namespace whistle::py
