// `FiberPort`: a 3D port whose modes are solved on an extruded cross-section.
#include "model.hpp"
#include "port3d.hpp"
#include "port_conversion.hpp"
#include "port_spec.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

constexpr const char* kModesMessage = "Argument 'num_modes' must be positive.";
constexpr const char* kAddedModesMessage = "Argument 'added_solver_modes' cannot be negative.";

bool to_size(PyObject* obj, std::array<Coord, 2>& out) {
    Vector size;
    if (!to_point(obj, "size", size, true)) return false;
    if (size.x <= 0 || size.y <= 0) {
        PyErr_SetString(PyExc_ValueError, "Argument 'size' must be positive.");
        return false;
    }
    out = {size.x, size.y};
    return true;
}

// Behind the port plane (negative) and in front of it (positive).
bool to_extrusion_limits(PyObject* obj, std::array<Coord, 2>& out) {
    Vector limits;
    if (!to_point(obj, "extrusion_limits", limits, true)) return false;
    if (limits.x >= 0 || limits.y <= 0) {
        PyErr_SetString(PyExc_ValueError,
                        "Argument 'extrusion_limits' must have a negative lower and a positive "
                        "upper limit.");
        return false;
    }
    out = {limits.x, limits.y};
    return true;
}

// A sequence of (planar structure, medium) pairs.
bool to_cross_section(PyObject* obj, std::vector<FiberMode::Item>& out) {
    constexpr const char* message =
        "Argument 'cross_section' must be a sequence of (structure, medium) pairs.";
    Ref items(obj && PySequence_Check(obj) && !PyUnicode_Check(obj) ? sequence_items(obj)
                                                                   : nullptr);
    if (!items) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    std::vector<FiberMode::Item> result;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(items.get(), i);
        Ref parts(PySequence_Check(pair) && !PyUnicode_Check(pair) ? sequence_items(pair)
                                                                   : nullptr);
        std::shared_ptr<Structure> structure =
            parts && PyTuple_GET_SIZE(parts.get()) == 2 ? as_structure(PyTuple_GET_ITEM(parts.get(), 0))
                                                        : nullptr;
        if (!structure) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, message);
            return false;
        }
        Medium medium;
        if (!to_medium(PyTuple_GET_ITEM(parts.get(), 1), "cross_section", medium)) return false;
        result.emplace_back(std::move(structure), std::move(medium));
    }
    out = std::move(result);
    return true;
}

// The medium as given: one object when both classes share it, else a dict by class.
PyObject* medium_value(const Medium& medium) {
    if (medium.optical == medium.electrical || !medium.electrical) return medium_object(medium.optical);
    if (!medium.optical) return medium_object(medium.electrical);
    Ref optical(medium_object(medium.optical));
    Ref electrical(medium_object(medium.electrical));
    if (!optical || !electrical) return nullptr;
    return Py_BuildValue("{sOsO}", "optical", optical.get(), "electrical", electrical.get());
}

int fiber_port_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"center", "input_vector", "size", "extrusion_limits",
                                     "cross_section", "num_modes", "polarization",
                                     "target_neff", "added_solver_modes", nullptr};
    PyObject *center_obj = nullptr, *vector_obj = nullptr, *size_obj = nullptr,
             *limits_obj = nullptr, *section_obj = nullptr, *modes_obj = nullptr,
             *polarization_obj = nullptr, *neff_obj = nullptr, *added_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|OOOOO:FiberPort", (char**)keywords,
                                     &center_obj, &vector_obj, &size_obj, &limits_obj,
                                     &section_obj, &modes_obj, &polarization_obj, &neff_obj,
                                     &added_obj))
        return -1;
    Point3 center;
    Vector3 input_vector;
    std::array<Coord, 2> size, limits;
    std::vector<FiberMode::Item> cross_section;
    uint32_t modes = 1, added = 0;
    std::string polarization;
    std::optional<double> neff;
    if (!to_point3(center_obj, "center", center) || !to_input_vector(vector_obj, input_vector) ||
        !to_size(size_obj, size) || !to_extrusion_limits(limits_obj, limits) ||
        (section_obj && !to_cross_section(section_obj, cross_section)) ||
        (modes_obj && !to_count(modes_obj, 1, kModesMessage, modes)) ||
        !to_polarization(polarization_obj, polarization) ||
        !to_optional_number(neff_obj, "target_neff", neff) ||
        (added_obj && !to_count(added_obj, 0, kAddedModesMessage, added)))
        return -1;
    try {
        auto mode = std::make_shared<FiberMode>(size, limits);
        mode->cross_section = std::move(cross_section);
        mode->modes = modes;
        mode->added_modes = added;
        mode->polarization = polarization;
        mode->target_neff = neff;
        install(self, std::make_shared<Port3D>(center, input_vector, std::move(mode)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// ---- Attributes --------------------------------------------------------------------------

// The fiber mode of the port; RuntimeError when it carries another kind.
FiberMode* fiber_mode(PyObject* self, std::shared_ptr<Port3D>& port) {
    port = unwrap<Port3D>(self);
    if (!port) return nullptr;
    if (port->mode()->kind() == PortMode::Kind::Fiber)
        return static_cast<FiberMode*>(port->mode().get());
    PyErr_SetString(PyExc_RuntimeError, "Unrecognized port type.");
    return nullptr;
}

template <class Read>
PyObject* read_mode(PyObject* self, Read&& read) {
    std::shared_ptr<Port3D> port;
    FiberMode* mode = fiber_mode(self, port);
    return mode ? read(*mode) : nullptr;
}

// Changes the mode once the value is converted (`convert` runs first, into `value`).
template <class T, class Convert, class Change>
int change_mode(PyObject* self, PyObject* value, const char* name, Convert&& convert,
                Change&& change) {
    T converted{};
    if (!check_not_deleted(value, name) || !convert(value, converted)) return -1;
    std::shared_ptr<Port3D> port;
    FiberMode* mode = fiber_mode(self, port);
    if (!mode) return -1;
    change(*mode, std::move(converted));
    return 0;
}

PyObject* pair_lengths(const std::array<Coord, 2>& values) {
    return array2(Vector{values[0], values[1]});
}

PyObject* get_size(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) { return pair_lengths(m.size); });
}

int set_size(PyObject* self, PyObject* value, void*) {
    return change_mode<std::array<Coord, 2>>(self, value, "size", to_size,
                                             [](FiberMode& m, auto v) { m.size = v; });
}

PyObject* get_extrusion_limits(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) { return pair_lengths(m.extrusion_limits); });
}

int set_extrusion_limits(PyObject* self, PyObject* value, void*) {
    return change_mode<std::array<Coord, 2>>(self, value, "extrusion_limits", to_extrusion_limits,
                                             [](FiberMode& m, auto v) { m.extrusion_limits = v; });
}

PyObject* get_cross_section(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) -> PyObject* {
        Ref list(PyList_New(Py_ssize_t(m.cross_section.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < m.cross_section.size(); ++i) {
            Ref structure(wrap(m.cross_section[i].first));
            Ref medium(medium_value(m.cross_section[i].second));
            if (!structure || !medium) return nullptr;
            PyObject* pair = PyTuple_Pack(2, structure.get(), medium.get());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair);
        }
        return list.release();
    });
}

int set_cross_section(PyObject* self, PyObject* value, void*) {
    return change_mode<std::vector<FiberMode::Item>>(
        self, value, "cross_section", to_cross_section,
        [](FiberMode& m, auto v) { m.cross_section = std::move(v); });
}

PyObject* get_num_modes(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) { return PyLong_FromUnsignedLong(m.modes); });
}

int set_num_modes(PyObject* self, PyObject* value, void*) {
    return change_mode<uint32_t>(
        self, value, "num_modes",
        [](PyObject* v, uint32_t& out) { return to_count(v, 1, kModesMessage, out); },
        [](FiberMode& m, uint32_t v) { m.modes = v; });
}

PyObject* get_added_solver_modes(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) { return PyLong_FromUnsignedLong(m.added_modes); });
}

int set_added_solver_modes(PyObject* self, PyObject* value, void*) {
    return change_mode<uint32_t>(
        self, value, "added_solver_modes",
        [](PyObject* v, uint32_t& out) { return to_count(v, 0, kAddedModesMessage, out); },
        [](FiberMode& m, uint32_t v) { m.added_modes = v; });
}

PyObject* get_polarization(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) { return polarization_object(m.polarization); });
}

int set_polarization(PyObject* self, PyObject* value, void*) {
    return change_mode<std::string>(self, value, "polarization", to_polarization,
                                    [](FiberMode& m, std::string v) { m.polarization = v; });
}

PyObject* get_target_neff(PyObject* self, void*) {
    return read_mode(self, [](FiberMode& m) { return optional_number(m.target_neff); });
}

int set_target_neff(PyObject* self, PyObject* value, void*) {
    return change_mode<std::optional<double>>(
        self, value, "target_neff",
        [](PyObject* v, std::optional<double>& out) {
            return to_optional_number(v, "target_neff", out);
        },
        [](FiberMode& m, std::optional<double> v) { m.target_neff = v; });
}

PyObject* get_classification(PyObject*, void*) { return PyUnicode_FromString("optical"); }

PyMethodDef fiber_port_methods[] = {
    WHISTLE_KEYWORD_METHOD("to_fenn3d_source", fiber_port_to_source,
                           "to_fenn3d_source(frequencies, mode_index=0, name=None, "
                           "use_angle_rotation=False)\n\nMode source in the port plane."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_monitor", fiber_port_to_monitor,
                           "to_fenn3d_monitor(frequencies, name, use_angle_rotation=False)\n\n"
                           "Mode monitor in the port plane."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_mode_solver", fiber_port_to_mode_solver,
                           "to_fenn3d_mode_solver(frequencies, mesh_refinement=None, "
                           "group_index=False, use_angle_rotation=False)\n\nMode solver of the "
                           "extruded cross-section in the axis-aligned port plane."),
    {"to_fenn3d_structures", fiber_port_to_structures, METH_NOARGS,
     "to_fenn3d_structures()\n\nOne solver structure per cross-section item, extruded along "
     "the input vector between the extrusion limits around the port center."},
    WHISTLE_PORT3D_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fiber_port_getset[] = {
    WHISTLE_ATTRIBUTE(size, "numpy.ndarray: Size of the mode-solver cross-section."),
    WHISTLE_ATTRIBUTE(extrusion_limits,
                    "numpy.ndarray: Extrusion behind (negative) and in front of the port."),
    WHISTLE_ATTRIBUTE(cross_section, "list: (structure, medium) pairs centered at (0, 0)."),
    WHISTLE_ATTRIBUTE(num_modes, "int: Number of modes."),
    WHISTLE_ATTRIBUTE(added_solver_modes, "int: Extra modes for mode solving."),
    WHISTLE_ATTRIBUTE(polarization, "str or None: 'TE', 'TM' or None."),
    WHISTLE_ATTRIBUTE(target_neff, "float or None: Effective index hint."),
    {"classification", get_classification, nullptr, "str: Always 'optical'.", nullptr},
    WHISTLE_PORT3D_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject fiber_port_type = wrapper_type(
    "tarnwhistle.FiberPort",
    "FiberPort(center, input_vector, size, extrusion_limits, cross_section=(), num_modes=1, "
    "polarization=None, target_neff=None, added_solver_modes=0)\n\nA 3D port of a fiber "
    "cross-section.",
    fiber_port_init, fiber_port_methods, fiber_port_getset);

}  // namespace

PyTypeObject* FiberPort_type() {
    return register_exposed_type(TypeCode::FiberPort, &fiber_port_type);
}

}  // namespace whistle::py
