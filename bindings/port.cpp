// `Port`: 2D ports with their specification, comparisons and terminals.
#include "core/model/port.hpp"

#include "port_conversion.hpp"
#include "port_spec.hpp"
#include "structure.hpp"
#include "svg.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

int port_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"center", "input_direction", "spec", "extended",
                                     "inverted", "bend_radius", nullptr};
    PyObject *center_obj = nullptr, *spec_obj = nullptr;
    double direction = 0, bend_radius = 0;
    int extended = 1, is_inverted = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OdO|ppd:Port", (char**)keywords, &center_obj,
                                     &direction, &spec_obj, &extended, &is_inverted, &bend_radius))
        return -1;
    Vector center;
    Coord radius = 0;
    std::shared_ptr<PortSpec> spec;
    if (!to_point(center_obj, "center", center, true) ||
        !check_finite(direction, "input_direction") ||
        !to_length(bend_radius, "bend_radius", radius) || !to_port_spec(spec_obj, spec))
        return -1;
    try {
        install(self, std::make_shared<Port>(center, direction, std::move(spec), extended != 0,
                                             is_inverted != 0, radius));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// ---- Attributes --------------------------------------------------------------------------

PyObject* get_spec(PyObject* self, void*) {
    auto port = unwrap<Port>(self);
    return port ? wrap(port->spec()) : nullptr;
}

// A port keeps its classification.
int set_spec(PyObject* self, PyObject* value, void*) {
    if (!value || !is_instance(value, TypeCode::PortSpec)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'spec' must be an instance of PortSpec.");
        return -1;
    }
    auto spec = unwrap<PortSpec>(value);
    auto port = unwrap<Port>(self);
    if (!spec || !port) return -1;
    if (spec->classification() != port->classification()) {
        PyErr_SetString(PyExc_ValueError, spec->is_electrical()
                                              ? "'spec' cannot be an electrical port specification."
                                              : "'spec' must be an electrical port specification.");
        return -1;
    }
    port->set_spec(std::move(spec));
    return 0;
}

template <auto Get>
PyObject* flag_getter(PyObject* self, void*) {
    auto port = unwrap<Port>(self);
    return port ? PyBool_FromLong(((*port).*Get)()) : nullptr;
}

template <auto Set>
int flag_setter(PyObject* self, PyObject* value, void* name) {
    if (!check_not_deleted(value, static_cast<const char*>(name))) return -1;
    int flag = PyObject_IsTrue(value);
    if (flag < 0) return -1;
    return modify<Port>(self, [&](Port& port) { (port.*Set)(flag != 0); }) ? 0 : -1;
}

PyObject* get_bend_radius(PyObject* self, void*) {
    auto port = unwrap<Port>(self);
    return port ? length(port->bend_radius()) : nullptr;
}

int set_bend_radius(PyObject* self, PyObject* value, void*) {
    double radius = 0;
    Coord units = 0;
    if (!to_number(value, "bend_radius", radius) || !to_length(radius, "bend_radius", units))
        return -1;
    return modify<Port>(self, [&](Port& port) { port.set_bend_radius(units); }) ? 0 : -1;
}

PyObject* get_classification(PyObject* self, void*) {
    auto port = unwrap<Port>(self);
    return port ? classification_object(port->classification()) : nullptr;
}

PyObject* get_num_modes(PyObject* self, void*) {
    auto port = unwrap<Port>(self);
    return port ? PyLong_FromUnsignedLong(port->spec()->num_modes()) : nullptr;
}

PyObject* get_added_solver_modes(PyObject* self, void*) {
    auto port = unwrap<Port>(self);
    return port ? PyLong_FromUnsignedLong(port->spec()->added_solver_modes()) : nullptr;
}

// ---- Methods -----------------------------------------------------------------------------

PyObject* method_port_copy(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"deep", nullptr};
    int deep = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|p:copy", (char**)keywords, &deep))
        return nullptr;
    auto port = unwrap<Port>(self);
    if (!port) return nullptr;
    try {
        auto copy = std::static_pointer_cast<Port>(port->clone());
        if (deep) copy->set_spec(std::static_pointer_cast<PortSpec>(port->spec()->clone()));
        return wrap(copy);
    }
    WHISTLE_CATCH(nullptr)
}

// Compares with another 2D port; a 3D port never compares true.
template <bool (Port::*Test)(const Port&) const>
PyObject* method_compare(PyObject* self, PyObject* other) {
    if (is_instance(other, TypeCode::GaussianPort) || is_instance(other, TypeCode::FiberPort))
        Py_RETURN_FALSE;
    if (!is_instance(other, TypeCode::Port)) {
        PyErr_SetString(PyExc_TypeError,
                        "Argument 'port' must be an instance of one of the port classes.");
        return nullptr;
    }
    auto port = unwrap<Port>(self);
    auto other_port = unwrap<Port>(other);
    if (!port || !other_port) return nullptr;
    try {
        return PyBool_FromLong(((*port).*Test)(*other_port));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_terminals(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:terminals", (char**)keywords, &name))
        return nullptr;
    if (name != Py_None && !PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'name' must be a string or None.");
        return nullptr;
    }
    auto port = unwrap<Port>(self);
    if (!port) return nullptr;
    try {
        auto terminals = port->terminals();
        if (name != Py_None) {
            const char* text = PyUnicode_AsUTF8(name);
            if (!text) return nullptr;
            auto found = terminals.find(text);
            if (found == terminals.end()) Py_RETURN_NONE;
            return wrap(found->second);
        }
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [key, terminal] : terminals) {
            Ref value(wrap(terminal));
            if (!value || PyDict_SetItemString(dict.get(), key.c_str(), value.get()) < 0)
                return nullptr;
        }
        return dict.release();
    }
    WHISTLE_CATCH(nullptr)
}

// A transformed copy, as a reference places its component's ports.
PyObject* method_transformed(PyObject* self, PyObject* args, PyObject* kwds) {
    TransformArguments a;
    if (!parse_transform(args, kwds, a)) return nullptr;
    auto port = unwrap<Port>(self);
    if (!port) return nullptr;
    try {
        return wrap(port->placed(Placement{a.translation, a.x_reflection, a.rotation, a.scaling}));
    }
    WHISTLE_CATCH(nullptr)
}

PyMethodDef port_methods[] = {
    WHISTLE_SVG_METHOD(Port, Port, port_svg),
    WHISTLE_KEYWORD_METHOD("copy", method_port_copy,
                           "copy(deep=False)\n\nA copy of the port; deep copies the "
                           "specification too."),
    {"__copy__", (PyCFunction)method_copy, METH_NOARGS, "Shallow copy."},
    {"__deepcopy__", (PyCFunction)method_deepcopy, METH_O, "Deep copy."},
    WHISTLE_KEYWORD_METHOD("terminals", method_terminals,
                           "terminals(name=None)\n\nThe terminal of a named profile, or a dict of "
                           "all."),
    {"matches", method_compare<&Port::matches>, METH_O,
     "matches(port)\n\nSame position, direction and compatible specification."},
    {"is_connected_to", method_compare<&Port::is_connected_to>, METH_O,
     "is_connected_to(port)\n\nSame position, opposite directions, compatible specification."},
    {"can_connect_to", method_compare<&Port::can_connect_to>, METH_O,
     "can_connect_to(port)\n\nCompatible specifications for a connection."},
    WHISTLE_KEYWORD_METHOD("_transformed", method_transformed,
                           "_transformed(translation=(0, 0), rotation=0, scaling=1, "
                           "x_reflection=False)\n\nA copy placed as a reference places its "
                           "component's ports."),
    {"_axis_aligned_properties", port_axis_aligned_properties, METH_NOARGS,
     "_axis_aligned_properties()\n\n(center, size, direction, angle_theta, angle_phi) of the "
     "port plane, angles in degrees."},
    WHISTLE_KEYWORD_METHOD("to_fenn3d_source", port_to_source,
                           "to_fenn3d_source(frequencies, mode_index=0, name=None, "
                           "use_angle_rotation=False, technology=None)\n\nMode source in the "
                           "port plane."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_monitor", port_to_monitor,
                           "to_fenn3d_monitor(frequencies, name, use_angle_rotation=False, "
                           "technology=None)\n\nMode monitor in the port plane."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_mode_solver", port_to_mode_solver,
                           "to_fenn3d_mode_solver(frequencies, mesh_refinement=None, "
                           "group_index=False, technology=None, use_angle_rotation=False)\n\n"
                           "Mode solver of the port cross-section extruded with the technology."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_impedance_calculator", port_to_impedance_calculator,
                           WHISTLE_IMPEDANCE_DOC),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef port_getset[] = {
    WHISTLE_POINT_ATTRIBUTE(Port, center, "numpy.ndarray: Port center (snapped)."),
    WHISTLE_NUMBER_ATTRIBUTE(Port, input_direction,
                             "float: Direction of power entering the component (degrees)."),
    {"spec", get_spec, set_spec, "PortSpec: Port specification.", nullptr},
    {"extended", flag_getter<&Port::extended>, flag_setter<&Port::set_extended>,
     "bool: Extend the port waveguide during extrusion.", const_cast<char*>("extended")},
    {"inverted", flag_getter<&Port::inverted>, flag_setter<&Port::set_inverted>,
     "bool: Use the port specification with offsets negated.", const_cast<char*>("inverted")},
    {"bend_radius", get_bend_radius, set_bend_radius,
     "float: Bend radius (positive: left turn, negative: right turn).", nullptr},
    {"classification", get_classification, nullptr, "str: 'optical' or 'electrical'.", nullptr},
    {"num_modes", get_num_modes, nullptr, "int: Number of modes.", nullptr},
    {"added_solver_modes", get_added_solver_modes, nullptr, "int: Extra solver modes.", nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject port_type = wrapper_type(
    "tarnwhistle.Port",
    "Port(center, input_direction, spec, extended=True, inverted=False, bend_radius=0)\n\n"
    "A 2D port: where waves enter a component.",
    port_init, port_methods, port_getset);

}  // namespace

PyTypeObject* Port_type() { return register_exposed_type(TypeCode::Port, &port_type); }

}  // namespace whistle::py
