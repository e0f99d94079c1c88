// `Terminal`: a routing layer and a template structure, placed like a reference.
#include "core/model/terminal.hpp"

#include "model.hpp"
#include "structure.hpp"
#include "svg.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

bool to_terminal_structure(PyObject* obj, std::shared_ptr<Structure>& out) {
    out = obj ? as_structure(obj) : nullptr;
    if (!out && !PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "Argument 'structure' must be a planar structure.");
    return bool(out);
}

int terminal_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"routing_layer", "structure", nullptr};
    PyObject *layer_obj = nullptr, *structure_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:Terminal", (char**)keywords, &layer_obj,
                                     &structure_obj))
        return -1;
    Layer layer;
    std::shared_ptr<Structure> structure;
    if (!to_layer_or_name(layer_obj, "routing_layer", nullptr, layer) ||
        !to_terminal_structure(structure_obj, structure))
        return -1;
    try {
        install(self, std::make_shared<Terminal>(layer, std::move(structure)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_routing_layer(PyObject* self, void*) {
    auto terminal = unwrap<Terminal>(self);
    return terminal ? layer_tuple(terminal->routing_layer()) : nullptr;
}

int set_routing_layer(PyObject* self, PyObject* value, void*) {
    Layer layer;
    if (!check_not_deleted(value, "routing_layer") ||
        !to_layer_or_name(value, "routing_layer", nullptr, layer))
        return -1;
    return modify<Terminal>(self, [&](Terminal& t) { t.set_routing_layer(layer); }) ? 0 : -1;
}

PyObject* get_structure(PyObject* self, void*) {
    auto terminal = unwrap<Terminal>(self);
    return terminal ? wrap(terminal->structure()) : nullptr;
}

int set_structure(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<Structure> structure;
    if (!to_terminal_structure(value, structure)) return -1;
    return modify<Terminal>(self, [&](Terminal& t) { t.set_structure(std::move(structure)); })
               ? 0 : -1;
}

// The bounding box of the structure.
bool terminal_bounds(PyObject* self, Bounds& out) {
    auto terminal = unwrap<Terminal>(self);
    if (!terminal) return false;
    std::shared_ptr<Structure> structure = terminal->structure();
    try {
        ErrorHandler status;
        out = structure->bounds(status);
        return check_status(status);
    }
    WHISTLE_CATCH(false)
}

// Bound attributes read and move the structure: the same members a structure has.
PyObject* get_bound(PyObject* self, void* which) {
    auto terminal = unwrap<Terminal>(self);
    if (!terminal) return nullptr;
    Ref structure(wrap(terminal->structure()));
    return structure ? get_structure_bound(structure.get(), which) : nullptr;
}

int set_bound(PyObject* self, PyObject* value, void* which) {
    static const char* const names[] = {"x_min", "y_min", "x_max", "y_max", "x_mid", "y_mid"};
    // Converted before the terminal is read: the conversion may re-initialise it.
    double target = 0;
    if (!to_number(value, names[reinterpret_cast<intptr_t>(which)], target)) return -1;
    Ref number(PyFloat_FromDouble(target));
    auto terminal = unwrap<Terminal>(self);
    if (!number || !terminal) return -1;
    Ref structure(wrap(terminal->structure()));
    return structure ? set_structure_bound(structure.get(), number.get(), which) : -1;
}

PyObject* method_bounds(PyObject* self, PyObject*) {
    Bounds b;
    if (!terminal_bounds(self, b)) return nullptr;
    Ref lower(array2(Vector{b.x_min, b.y_min}));
    Ref upper(array2(Vector{b.x_max, b.y_max}));
    if (!lower || !upper) return nullptr;
    return PyTuple_Pack(2, lower.get(), upper.get());
}

PyObject* method_center(PyObject* self, PyObject*) {
    Bounds b;
    if (!terminal_bounds(self, b)) return nullptr;
    return array2((from_db(b.x_min) + from_db(b.x_max)) / 2,
                  (from_db(b.y_min) + from_db(b.y_max)) / 2);
}

PyObject* method_size(PyObject* self, PyObject*) {
    Bounds b;
    if (!terminal_bounds(self, b)) return nullptr;
    return array2(Vector{b.x_max - b.x_min, b.y_max - b.y_min});
}

PyObject* method_terminal_copy(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"deep", nullptr};
    int deep = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:copy", (char**)keywords, &deep))
        return nullptr;
    auto terminal = unwrap<Terminal>(self);
    if (!terminal) return nullptr;
    try {
        return wrap(terminal->copy(deep != 0));
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef terminal_methods[] = {
    WHISTLE_SVG_METHOD(Terminal, Terminal, terminal_svg),
    WHISTLE_KEYWORD_METHOD("copy", method_terminal_copy,
                           "copy(deep=False)\n\nA copy of the terminal; deep copies the "
                           "structure too."),
    {"__copy__", (PyCFunction)method_copy, METH_NOARGS, "Shallow copy."},
    {"__deepcopy__", (PyCFunction)method_deepcopy, METH_O, "Deep copy."},
    {"bounds", method_bounds, METH_NOARGS,
     "bounds()\n\nLower-left and upper-right corners of the structure's bounding box."},
    {"center", method_center, METH_NOARGS, "center()\n\nCenter of the bounding box."},
    {"size", method_size, METH_NOARGS, "size()\n\nSize of the bounding box."},
    WHISTLE_PLACEMENT_METHODS(whistle::Terminal),
    {nullptr, nullptr, 0, nullptr},
};

#define TERMINAL_BOUND(name, which, doc) \
    {name, get_bound, set_bound, doc, reinterpret_cast<void*>(which)}

PyGetSetDef terminal_getset[] = {
    {"routing_layer", get_routing_layer, set_routing_layer, "tuple: Routing layer.", nullptr},
    {"structure", get_structure, set_structure, "Structure: Template structure.", nullptr},
    TERMINAL_BOUND("x_min", kXMin, "float: Minimal x coordinate of the bounding box."),
    TERMINAL_BOUND("y_min", kYMin, "float: Minimal y coordinate of the bounding box."),
    TERMINAL_BOUND("x_max", kXMax, "float: Maximal x coordinate of the bounding box."),
    TERMINAL_BOUND("y_max", kYMax, "float: Maximal y coordinate of the bounding box."),
    TERMINAL_BOUND("x_mid", kXMid, "float: x coordinate of the bounding box center."),
    TERMINAL_BOUND("y_mid", kYMid, "float: y coordinate of the bounding box center."),
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject terminal_type = wrapper_type(
    "tarnwhistle.Terminal",
    "Terminal(routing_layer, structure)\n\nAn electrical terminal: a routing layer and a "
    "template structure.",
    terminal_init, terminal_methods, terminal_getset);

}  // namespace

PyTypeObject* Terminal_type() { return register_exposed_type(TypeCode::Terminal, &terminal_type); }

}  // namespace whistle::py
