// Module functions of polygon set operations: boolean, intersects, offset, heal, envelope.
#include <cstring>

#include "core/geometry/set_operations.hpp"
#include "component.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kOperations = "+*-^";  // in the order of BooleanOperation

// Appends the polygons of one operand item: a structure, or the flattened polygons of all
// layers of a component or of every instance of a reference.
bool add_item(PyObject* item, const char* name, std::vector<Polygon>& polygons,
              ErrorHandler& status) {
    if (std::shared_ptr<Structure> structure = as_structure(item)) {
        polygons.push_back(structure->to_polygon(status));
        return true;
    }
    if (hierarchy_polygons(item, polygons, status)) return true;
    PyErr_Format(PyExc_TypeError,
                 "'%s' must be a structure, component or reference, or an iterable of those.", name);
    return false;
}

// The polygons of an operand argument: one item or any iterable of items. Conversion
// warnings are issued here, before the operation runs.
bool to_polygons(PyObject* obj, const char* name, std::vector<Polygon>& polygons) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'%s' cannot be 'None'.", name);
        return false;
    }
    ErrorHandler status;
    try {
        if (as_structure(obj) || is_instance(obj, TypeCode::Component) ||
            is_instance(obj, TypeCode::Reference))
            return add_item(obj, name, polygons, status) && check_status(status);
        Ref iterator(PyObject_GetIter(obj));
        if (!iterator) {  // neither a structure nor iterable: add_item raises the TypeError
            PyErr_Clear();
            return add_item(obj, name, polygons, status);
        }
        while (Ref item{PyIter_Next(iterator.get())})
            if (!add_item(item.get(), name, polygons, status)) return false;
        return !PyErr_Occurred() && check_status(status);
    }
    WHISTLE_CATCH(false)
}

bool to_polygon_pair(PyObject* operand1, PyObject* operand2, std::vector<Polygon>& polygons1,
                     std::vector<Polygon>& polygons2) {
    return to_polygons(operand1, "operand1", polygons1) &&
           to_polygons(operand2, "operand2", polygons2);
}

PyObject* polygon_list(std::vector<Polygon> polygons) {
    Ref list(PyList_New(Py_ssize_t(polygons.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < polygons.size(); ++i) {
        PyObject* item = wrap(std::make_shared<Polygon>(std::move(polygons[i])));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

}  // namespace

PyObject* function_boolean(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand1", "operand2", "operation", nullptr};
    PyObject* operand1 = nullptr;
    PyObject* operand2 = nullptr;
    const char* operation = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOs:boolean", (char**)keywords, &operand1,
                                     &operand2, &operation))
        return nullptr;
    if (std::strlen(operation) != 1 || !std::strchr(kOperations, operation[0])) {
        PyErr_SetString(PyExc_ValueError,
                        "Argument 'operation' must be one of '+', '*', '-', or '^'.");
        return nullptr;
    }
    std::vector<Polygon> polygons1, polygons2;
    if (!to_polygon_pair(operand1, operand2, polygons1, polygons2)) return nullptr;
    try {
        auto code = BooleanOperation(std::strchr(kOperations, operation[0]) - kOperations);
        return polygon_list(boolean(polygons1, polygons2, code));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* function_intersects(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand1", "operand2", nullptr};
    PyObject* operand1 = nullptr;
    PyObject* operand2 = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:intersects", (char**)keywords, &operand1,
                                     &operand2))
        return nullptr;
    std::vector<Polygon> polygons1, polygons2;
    if (!to_polygon_pair(operand1, operand2, polygons1, polygons2)) return nullptr;
    try {
        return PyBool_FromLong(intersects(polygons1, polygons2));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* function_offset(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand", "distance", "round_joins", "trim_x_min",
                                     "trim_x_max", "trim_y_min", "trim_y_max", nullptr};
    PyObject* operand = nullptr;
    double distance = 0;
    int round_joins = 0;
    int trim[4] = {0, 0, 0, 0};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Od|ppppp:offset", (char**)keywords, &operand,
                                     &distance, &round_joins, &trim[0], &trim[1], &trim[2],
                                     &trim[3]))
        return nullptr;
    Coord units = 0;
    std::vector<Polygon> polygons;
    if (!to_polygons(operand, "operand", polygons) || !to_length(distance, "distance", units))
        return nullptr;
    try {
        TrimSides sides{bool(trim[0]), bool(trim[1]), bool(trim[2]), bool(trim[3])};
        return polygon_list(offset(polygons, units, round_joins, sides));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* function_heal(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand", "feature_size", nullptr};
    PyObject* operand = nullptr;
    double feature_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "Od:heal", (char**)keywords, &operand,
                                     &feature_size))
        return nullptr;
    Coord units = 0;
    std::vector<Polygon> polygons;
    if (!to_polygons(operand, "operand", polygons) ||
        !to_length(feature_size, "feature_size", units))
        return nullptr;
    try {
        return polygon_list(heal(polygons, units));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* function_envelope(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"operand",    "offset",      "trim_x_min", "trim_x_max",
                                     "trim_y_min", "trim_y_max",  "round_joins", "use_box",
                                     nullptr};
    PyObject* operand = nullptr;
    double dilation = 0;
    int trim[4] = {0, 0, 0, 0};
    int round_joins = 0;
    int use_box = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|dpppppp:envelope", (char**)keywords, &operand,
                                     &dilation, &trim[0], &trim[1], &trim[2], &trim[3],
                                     &round_joins, &use_box))
        return nullptr;
    std::vector<Polygon> polygons;
    if (!to_polygons(operand, "operand", polygons)) return nullptr;
    try {
        ErrorHandler status;
        Polygon result = envelope_outline(polygons, use_box != 0, status);
        if (!check_status(status)) return nullptr;
        // Checked only once the outline exists, as the stages run in this order.
        if (dilation < 0) {
            PyErr_SetString(PyExc_ValueError, "The envelope 'offset' cannot be negative.");
            return nullptr;
        }
        Coord units = 0;
        if (!to_length(dilation, "offset", units)) return nullptr;
        if (units > 0) {
            TrimSides sides{bool(trim[0]), bool(trim[1]), bool(trim[2]), bool(trim[3])};
            result = dilate_envelope(result, units, sides, round_joins != 0, status);
            if (!check_status(status)) return nullptr;
        }
        return wrap(std::make_shared<Polygon>(std::move(result)));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
