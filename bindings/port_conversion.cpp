// Conversions of ports and port specifications into solver-package objects: sources, monitors,
// mode solvers, impedance calculators and the structures of fiber cross-sections.
#include "port_conversion.hpp"

#include <algorithm>
#include <cmath>

#include "core/foundation/config.hpp"
#include "core/geometry/polygon.hpp"
#include "core/model/port.hpp"
#include "core/model/technology.hpp"
#include "core/solid/extruded.hpp"
#include "model.hpp"
#include "port3d.hpp"
#include "port_spec.hpp"
#include "solid.hpp"

namespace whistle::py {

namespace {

constexpr double kSpeedOfLight = 2.99792458e14;  // µm/s
constexpr double kDegree = M_PI / 180.0;
// Mode planes are solved, not time-stepped: the run time only has to be valid.
constexpr double kRunTime = 1e-12;
constexpr double kMaxGridScale = 1.4;
constexpr int kBendPmlLayers = 12;

// Keyword arguments of one solver call. `set` takes a new reference and fails on null, so
// calls chain with && and stop at the first failure.
class Keywords {
public:
    Keywords() : dict_(PyDict_New()) {}

    bool set(const char* key, PyObject* value) {
        Ref owned(value);
        return dict_ && owned && PyDict_SetItemString(dict_.get(), key, owned.get()) == 0;
    }

    // Calls the cached solver object `name` ("ModeSource", "GaussianPulse.from_frequency_range").
    PyObject* call(const char* name) const {
        if (!dict_) return nullptr;
        PyObject* callable = solver_object(name);
        if (!callable) {
            PyErr_Format(PyExc_RuntimeError, "Solver object '%s' is not available.", name);
            return nullptr;
        }
        Ref empty(PyTuple_New(0));
        return empty ? PyObject_Call(callable, empty.get(), dict_.get()) : nullptr;
    }

private:
    Ref dict_;
};

PyObject* triple(const double values[3]) {
    return Py_BuildValue("(ddd)", values[0], values[1], values[2]);
}
PyObject* text(const char* value) { return PyUnicode_FromString(value); }
PyObject* number(double value) { return PyFloat_FromDouble(value); }
PyObject* boolean(bool value) { return PyBool_FromLong(value); }
PyObject* none() { return Py_NewRef(Py_None); }

// The injection plane of a port. Angles in degrees; the solver receives them in radians.
struct Plane {
    double center[3] = {0, 0, 0};
    double size[3] = {0, 0, 0};
    int axis = 0;
    bool positive = true;
    double theta = 0;
    double phi = 0;

    const char* direction() const { return positive ? "+" : "-"; }
};

// The axis-aligned plane of a 2D port: the injection axis is x or y, whichever the input
// direction is closer to; the size across is the width seen at the port's angle to that axis.
Plane port_plane(const Port& port) {
    double a = port.input_direction();
    Vec2 d = direction_vector(a);
    Plane plane;
    plane.axis = std::fabs(d.x) + 1e-8 >= std::fabs(d.y) ? 0 : 1;
    plane.positive = (plane.axis == 0 ? d.x : d.y) > 0;
    int k = plane.axis + (plane.positive ? 0 : 2);
    double angle = std::fmod(a - 90.0 * k, 360.0);
    if (angle <= -180) angle += 360;
    if (angle > 180) angle -= 360;
    plane.phi = (plane.axis == 0 ? angle >= 0 : angle < 0) ? 0.0 : 180.0;
    plane.theta = std::fabs(angle);
    const PortSpec& spec = *port.spec();
    Coord lo = spec.limits()[0], hi = spec.limits()[1];
    plane.center[0] = from_db(port.center().x);
    plane.center[1] = from_db(port.center().y);
    plane.center[2] = from_db((lo + hi + 1) / 2);
    plane.size[1 - plane.axis] =
        from_db(nearest(double(spec.width()) / std::cos(plane.theta * kDegree)));
    plane.size[2] = from_db(hi > lo ? hi - lo : lo - hi);
    return plane;
}

// The plane of a 3D port through its center, normal to the dominant axis of the input vector.
// The angles are those of the beam against that axis, measured in the forward direction, with
// the azimuth counted from the first to the second of the other two axes in index order.
Plane beam_plane(const Port3D& port, double first_size, double second_size) {
    const Vector3& v = port.input_vector();
    Plane plane;
    plane.axis = dominant_axis(v);
    plane.positive = v[size_t(plane.axis)] > 0;
    int first = plane.axis == 0 ? 1 : 0, second = plane.axis == 2 ? 1 : 2;
    double sign = plane.positive ? 1 : -1;
    double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    plane.theta = std::acos(std::min(1.0, std::fabs(v[size_t(plane.axis)]) / norm)) / kDegree;
    // + 0.0 turns negated zeros positive: a beam in the plane of two axes has phi 0 or 180.
    plane.phi = std::atan2(sign * v[size_t(second)] + 0.0, sign * v[size_t(first)] + 0.0) / kDegree;
    for (int i = 0; i < 3; ++i) plane.center[i] = from_db(port.center()[size_t(i)]);
    // Sizes follow the cross-section's axes, the two others in cyclic order.
    plane.size[(plane.axis + 1) % 3] = first_size;
    plane.size[(plane.axis + 2) % 3] = second_size;
    return plane;
}

// ---- Arguments ---------------------------------------------------------------------------

// A non-empty list of positive frequencies; ValueError `empty_message` when empty.
bool to_frequencies(PyObject* obj, const char* empty_message, std::vector<double>& out) {
    if (!to_numbers(obj, "frequencies", out)) return false;
    if (out.empty()) {
        PyErr_SetString(PyExc_ValueError, empty_message);
        return false;
    }
    if (!std::all_of(out.begin(), out.end(), [](double f) { return f > 0 && std::isfinite(f); })) {
        PyErr_SetString(PyExc_ValueError, "Frequencies must be positive.");
        return false;
    }
    return true;
}

constexpr const char* kEmptySourceFrequencies = "Argument 'frequencies' cannot be empty.";
constexpr const char* kEmptyFrequencies = "At least 1 frequency value required.";

bool check_mode_index(long index, uint32_t modes) {
    if (index >= 0 && index < long(modes)) return true;
    PyErr_Format(PyExc_ValueError, "Argument 'mode_index' out of range 0 - %d.", int(modes) - 1);
    return false;
}

// None or a positive number of grid steps per wavelength; None takes the configured value.
bool to_mesh_refinement(PyObject* obj, double& out) {
    out = config().mesh_refinement;
    if (!obj || obj == Py_None) return true;
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (!(value > 0) || !std::isfinite(value)) {
        PyErr_SetString(PyExc_ValueError, "Argument 'mesh_refinement' must be positive.");
        return false;
    }
    out = value;
    return true;
}

bool to_name(PyObject* obj, bool required) {
    if (obj == Py_None && !required) return true;
    if (PyUnicode_Check(obj)) return true;
    PyErr_SetString(PyExc_TypeError, required ? "Argument 'name' must be a string."
                                              : "Argument 'name' must be a string or None.");
    return false;
}

// ---- Shared solver objects ---------------------------------------------------------------

PyObject* source_time(const std::vector<double>& frequencies) {
    auto [low, high] = std::minmax_element(frequencies.begin(), frequencies.end());
    Keywords k;
    return k.set("fmin", number(*low)) && k.set("fmax", number(*high))
               ? k.call("GaussianPulse.from_frequency_range")
               : nullptr;
}

// What a mode specification needs besides the plane.
struct ModeSettings {
    uint32_t modes = 1;
    std::string polarization;
    double target_neff = 1;
    double bend_radius = 0;  // µm, positive toward the first axis of the plane; 0: straight
    bool group_index = false;
    bool angle_rotation = false;
};

PyObject* sort_spec(const std::string& polarization) {
    if (polarization.empty()) return none();
    Keywords k;
    return k.set("filter_key", text(polarization == "TE" ? "TE_fraction" : "TM_fraction")) &&
                   k.set("filter_reference", number(0.5))
               ? k.call("ModeSortSpec")
               : nullptr;
}

PyObject* mode_spec(const Plane& plane, const ModeSettings& s) {
    bool bent = s.bend_radius != 0;
    int pml = bent ? kBendPmlLayers : 0;
    Keywords k;
    return k.set("num_modes", PyLong_FromUnsignedLong(s.modes)) &&
                   k.set("target_neff", number(s.target_neff)) &&
                   k.set("sort_spec", sort_spec(s.polarization)) &&
                   k.set("angle_theta", number(plane.theta * kDegree)) &&
                   k.set("angle_phi", number(plane.phi * kDegree)) &&
                   k.set("bend_axis", PyLong_FromLong(1)) &&
                   k.set("bend_radius", bent ? number(s.bend_radius) : none()) &&
                   k.set("num_pml", Py_BuildValue("(ii)", pml, pml)) &&
                   k.set("group_index_step", boolean(s.group_index)) &&
                   k.set("angle_rotation", boolean(s.angle_rotation)) &&
                   k.set("precision", text("double"))
               ? k.call("ModeSpec")
               : nullptr;
}

PyObject* mode_source(const Plane& plane, const ModeSettings& settings, PyObject* name,
                      long mode_index, const std::vector<double>& frequencies) {
    Keywords k;
    return k.set("name", Py_NewRef(name)) && k.set("mode_spec", mode_spec(plane, settings)) &&
                   k.set("center", triple(plane.center)) && k.set("size", triple(plane.size)) &&
                   k.set("direction", text(plane.direction())) &&
                   k.set("mode_index", PyLong_FromLong(mode_index)) &&
                   k.set("num_freqs", PyLong_FromSize_t(frequencies.size())) &&
                   k.set("source_time", source_time(frequencies))
               ? k.call("ModeSource")
               : nullptr;
}

PyObject* mode_monitor(const Plane& plane, const ModeSettings& settings, PyObject* name,
                       const std::vector<double>& frequencies) {
    Keywords k;
    return k.set("name", Py_NewRef(name)) && k.set("mode_spec", mode_spec(plane, settings)) &&
                   k.set("center", triple(plane.center)) && k.set("size", triple(plane.size)) &&
                   k.set("freqs", vector_array(frequencies)) &&
                   k.set("store_fields_direction", text(plane.direction()))
               ? k.call("ModeMonitor")
               : nullptr;
}

// The grid is fine enough for the shortest wavelength; `refinements` (a list, stolen) adds
// the layer refinements.
PyObject* grid_spec(const std::vector<double>& frequencies, double mesh_refinement,
                    Ref refinements) {
    double highest = *std::max_element(frequencies.begin(), frequencies.end());
    Keywords k;
    return k.set("wavelength", number(kSpeedOfLight / highest)) &&
                   k.set("min_steps_per_wvl", number(mesh_refinement)) &&
                   k.set("min_steps_per_sim_size", number(mesh_refinement)) &&
                   k.set("max_scale", number(kMaxGridScale)) &&
                   k.set("layer_refinement_specs", refinements.release())
               ? k.call("GridSpec.auto")
               : nullptr;
}

PyObject* box(const Plane& plane) {
    Keywords k;
    return k.set("center", triple(plane.center)) && k.set("size", triple(plane.size))
               ? k.call("Box")
               : nullptr;
}

PyObject* periodic_boundaries() {
    Ref periodic(Keywords().call("Periodic"));
    Keywords k;
    return periodic && k.set("boundary", periodic.release()) ? k.call("BoundarySpec.all_sides")
                                                             : nullptr;
}

// What a mode solver needs besides the plane and the mode settings: the structures, the
// background medium and the grid's layer refinements.
struct Surroundings {
    Ref structures;
    Ref medium;
    Ref refinements;
};

PyObject* mode_solver(const Plane& plane, const ModeSettings& settings, Surroundings around,
                      const std::vector<double>& frequencies, double mesh_refinement) {
    Keywords simulation;
    Ref simulation_object(
        simulation.set("center", triple(plane.center)) &&
                simulation.set("size", triple(plane.size)) &&
                simulation.set("grid_spec",
                               grid_spec(frequencies, mesh_refinement,
                                         std::move(around.refinements))) &&
                simulation.set("structures", around.structures.release()) &&
                simulation.set("medium", around.medium.release()) &&
                simulation.set("run_time", number(kRunTime)) &&
                simulation.set("boundary_spec", periodic_boundaries())
            ? simulation.call("Simulation")
            : nullptr);
    Keywords k;
    return simulation_object && k.set("simulation", simulation_object.release()) &&
                   k.set("plane", box(plane)) && k.set("mode_spec", mode_spec(plane, settings)) &&
                   k.set("freqs", vector_array(frequencies)) &&
                   k.set("direction", text(plane.direction()))
               ? k.call("ModeSolver")
               : nullptr;
}

// ---- 2D ports ----------------------------------------------------------------------------

bool check_2d(const PortSpec& spec) {
    if (!spec.is_1d()) return true;
    PyErr_SetString(PyExc_ValueError,
                    "Port specification must have different lower and upper 'limits' to represent "
                    "a 2D cross-section. Mode solving for 1D ports is not supported.");
    return false;
}

// Mode settings of a 2D port. The bend radius is positive toward the left of the input
// direction; the solver measures it along the first plane axis, which points left for x+ and
// y− ports and right for the other two.
bool port_settings(const Port& port, const Plane& plane,
                   const std::vector<double>& frequencies, PyObject* technology,
                   ModeSettings& out) {
    const PortSpec& spec = *port.spec();
    Ref spec_object(wrap(port.spec()));
    Ref frequency_array(vector_array(frequencies));
    if (!spec_object || !frequency_array) return false;
    Ref neff(PyObject_CallMethod(spec_object.get(), "_target_neff", "OO", frequency_array.get(),
                                 technology));
    if (!neff) return false;
    out.target_neff = PyFloat_AsDouble(neff.get());
    if (out.target_neff == -1.0 && PyErr_Occurred()) return false;
    out.modes = spec.num_modes() + spec.added_solver_modes();
    out.polarization = spec.polarization();
    bool left_is_first = plane.axis == 0 ? plane.positive : !plane.positive;
    out.bend_radius = from_db(port.bend_radius()) * (left_is_first ? 1 : -1);
    return true;
}

// Port arguments shared by sources, monitors and mode solvers.
struct PortCall {
    std::shared_ptr<Port> port;
    Plane plane;
    std::vector<double> frequencies;
    ModeSettings settings;
};

bool prepare_port(PyObject* self, PyObject* frequencies_obj, const char* empty_message,
                  PyObject* technology_obj, int angle_rotation, PortCall& call) {
    std::shared_ptr<Technology> technology;
    if (!to_frequencies(frequencies_obj, empty_message, call.frequencies) ||
        !to_technology(technology_obj, technology))
        return false;
    call.port = unwrap<Port>(self);
    if (!call.port || !check_2d(*call.port->spec())) return false;
    call.plane = port_plane(*call.port);
    call.settings.angle_rotation = angle_rotation != 0;
    return port_settings(*call.port, call.plane, call.frequencies, technology_obj,
                         call.settings);
}

PyObject* background_medium(PyObject* technology_obj, Classification classification) {
    std::shared_ptr<Technology> technology;
    if (!to_technology(technology_obj, technology)) return nullptr;
    Ref name(classification_object(classification));
    return name ? classified_medium(technology->background_medium, name.get()) : nullptr;
}

PyObject* port_mode_solver(PyObject* port_object, PyObject* frequencies_obj,
                           PyObject* mesh_obj, int group_index, PyObject* technology_obj,
                           int angle_rotation) {
    PortCall call;
    double mesh_refinement = 0;
    if (!to_mesh_refinement(mesh_obj, mesh_refinement) ||
        !prepare_port(port_object, frequencies_obj, kEmptyFrequencies, technology_obj,
                      angle_rotation, call))
        return nullptr;
    call.settings.group_index = group_index != 0;
    std::shared_ptr<PortSpec> spec = call.port->spec();
    Surroundings around;
    around.structures = Ref(port_structures(*call.port, technology_obj));
    if (!around.structures) return nullptr;
    around.medium = Ref(background_medium(technology_obj, spec->classification()));
    Keywords layer;
    Ref refinement(around.medium && layer.set("axis", PyLong_FromLong(2)) &&
                           layer.set("bounds", Py_BuildValue("(dd)", from_db(spec->limits()[0]),
                                                             from_db(spec->limits()[1])))
                       ? layer.call("LayerRefinementSpec.from_layer_bounds")
                       : nullptr);
    around.refinements = Ref(refinement ? PyList_New(0) : nullptr);
    if (!around.refinements || PyList_Append(around.refinements.get(), refinement.get()) < 0)
        return nullptr;
    return mode_solver(call.plane, call.settings, std::move(around), call.frequencies,
                       mesh_refinement);
}

// ---- Impedance calculators ---------------------------------------------------------------

// A path across the port, (u, z) with u measured to the left of the input direction, in the
// plane's coordinates: u is projected onto the in-plane axis across the injection axis.
PyObject* plane_vertices(const std::vector<Vector>& path, const Port& port, const Plane& plane) {
    Vec2 d = direction_vector(port.input_direction());
    double left = plane.axis == 0 ? d.x : -d.y;  // left unit vector's component across the axis
    double scale = (port.inverted() ? -1 : 1) / left;
    double across = plane.center[1 - plane.axis];
    double* data = nullptr;
    PyObject* array = new_float_array(path.size(), 2, data);
    if (!array) return nullptr;
    for (size_t i = 0; i < path.size(); ++i) {
        data[2 * i] = across + from_db(path[i].x) * scale;
        data[2 * i + 1] = from_db(path[i].y);
    }
    return array;
}

PyObject* custom_integral(const char* type, const std::vector<Vector>& path, const Port& port,
                          const Plane& plane) {
    Keywords k;
    return k.set("axis", PyLong_FromLong(plane.axis)) &&
                   k.set("position", number(plane.center[plane.axis])) &&
                   k.set("vertices", plane_vertices(path, port, plane))
               ? k.call(type)
               : nullptr;
}

// Along z through the port center, between the port spec's limits.
PyObject* voltage_integral(const std::vector<Vector>& path, const Port& port, const Plane& plane,
                           bool extrapolate, bool snap) {
    if (!path.empty()) return custom_integral("Custom2DVoltageIntegral", path, port, plane);
    const double size[3] = {0, 0, plane.size[2]};
    Keywords k;
    return k.set("center", triple(plane.center)) && k.set("size", triple(size)) &&
                   k.set("sign", text("+")) &&
                   k.set("extrapolate_to_endpoints", boolean(extrapolate)) &&
                   k.set("snap_path_to_grid", boolean(snap))
               ? k.call("AxisAlignedVoltageIntegral")
               : nullptr;
}

// Around the whole port cross-section, oriented with the input direction.
PyObject* current_integral(const std::vector<Vector>& path, const Port& port, const Plane& plane,
                           bool snap) {
    if (!path.empty()) return custom_integral("Custom2DCurrentIntegral", path, port, plane);
    Keywords k;
    return k.set("center", triple(plane.center)) && k.set("size", triple(plane.size)) &&
                   k.set("sign", text(plane.direction())) &&
                   k.set("snap_contour_to_grid", boolean(snap))
               ? k.call("AxisAlignedCurrentIntegral")
               : nullptr;
}

PyObject* impedance_calculator(const Port& port, bool extrapolate, bool snap) {
    const PortSpec& spec = *port.spec();
    if (!spec.is_electrical()) {
        PyErr_SetString(PyExc_ValueError,
                        "Only electrical ports can export an impedance calculator.");
        return nullptr;
    }
    const ElectricalData& data = *spec.electrical();
    std::vector<Vector> current = data.current_path;
    if (data.current_structure) {
        try {
            ErrorHandler status;
            current = data.current_structure->to_polygon(status).vertices();
            if (!check_status(status)) return nullptr;
        }
        WHISTLE_CATCH(nullptr)
    }
    if (data.voltage_path.empty() && current.empty()) {
        PyErr_SetString(PyExc_ValueError,
                        "At least one of 'voltage_path' or 'current_path' must be specified in the "
                        "electrical PortSpec to export an impedance calculator. Fully automatic "
                        "impedance calculation will be available in a future release.");
        return nullptr;
    }
    if (data.voltage_path.size() == 1) {
        PyErr_SetString(PyExc_ValueError,
                        "Voltage integral path must have at least 2 vertices to be valid.");
        return nullptr;
    }
    if (!current.empty() && current.size() < 3) {
        PyErr_SetString(PyExc_ValueError,
                        "Current integral path must have at least 3 vertices to be valid.");
        return nullptr;
    }
    Plane plane = port_plane(port);
    Keywords k;
    return k.set("voltage_integral",
                 voltage_integral(data.voltage_path, port, plane, extrapolate, snap)) &&
                   k.set("current_integral", current_integral(current, port, plane, snap))
               ? k.call("ImpedanceCalculator")
               : nullptr;
}

bool parse_impedance_flags(PyObject* args, PyObject* kwds, int& extrapolate, int& snap) {
    static const char* keywords[] = {"extrapolate_to_endpoints", "snap_to_grid", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwds, "|pp:to_fenn3d_impedance_calculator",
                                       (char**)keywords, &extrapolate, &snap);
}

// A port of this port spec at the origin, facing +x.
std::shared_ptr<Port> reference_port(PyObject* spec_object) {
    auto spec = unwrap<PortSpec>(spec_object);
    if (!spec) return nullptr;
    try {
        return std::make_shared<Port>(Vector{0, 0}, 0.0, std::move(spec), true, false, 0);
    }
    WHISTLE_CATCH(nullptr)
}

// ---- 3D ports ----------------------------------------------------------------------------

template <class Mode>
Mode* port_mode(const Port3D& port, PortMode::Kind kind) {
    if (port.mode()->kind() == kind) return static_cast<Mode*>(port.mode().get());
    PyErr_SetString(PyExc_RuntimeError, "Unrecognized port type.");
    return nullptr;
}

// The beam radius at the port plane, widened until the field falls to the mode's tolerance,
// for the widest beam over the frequencies.
double beam_half_width(const GaussianMode& mode, const std::vector<double>& frequencies,
                       const std::vector<double>& indices) {
    double w0 = from_db(mode.waist_radius), z = from_db(mode.waist_position);
    double widest = w0;
    for (size_t i = 0; i < frequencies.size(); ++i) {
        double rayleigh = M_PI * w0 * w0 * indices[i] * frequencies[i] / kSpeedOfLight;
        widest = std::max(widest, w0 * std::sqrt(1 + (z / rayleigh) * (z / rayleigh)));
    }
    return widest * std::sqrt(-std::log(mode.field_tolerance));
}

// A Gaussian beam source or an overlap monitor; both take (frequencies, name, medium=1.0),
// the monitor's name being required.
PyObject* gaussian_conversion(PyObject* self, PyObject* args, PyObject* kwds, bool source) {
    static const char* keywords[] = {"frequencies", "name", "medium", nullptr};
    PyObject *frequencies_obj = nullptr, *name = Py_None, *medium = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds,
                                     source ? "O|OO:to_fenn3d_source" : "OO|O:to_fenn3d_monitor",
                                     (char**)keywords, &frequencies_obj, &name, &medium) ||
        !to_name(name, !source))
        return nullptr;
    Ref default_medium(medium ? nullptr : number(1.0));
    std::vector<double> frequencies, indices;
    if (!to_frequencies(frequencies_obj, source ? kEmptySourceFrequencies : kEmptyFrequencies,
                        frequencies) ||
        !to_indices(medium ? medium : default_medium.get(), frequencies, indices))
        return nullptr;
    auto port = unwrap<Port3D>(self);
    auto* mode = port ? port_mode<GaussianMode>(*port, PortMode::Kind::Gaussian) : nullptr;
    if (!mode) return nullptr;
    Plane plane = beam_plane(*port, 0, 0);
    double extent =
        2 * beam_half_width(*mode, frequencies, indices) / std::cos(plane.theta * kDegree);
    plane = beam_plane(*port, extent, extent);
    Keywords k;
    if (!k.set("name", Py_NewRef(name)) || !k.set("center", triple(plane.center)) ||
        !k.set("size", triple(plane.size)) ||
        !k.set("waist_radius", length(mode->waist_radius)) ||
        !k.set("waist_distance",
               length(waist_distance(mode->waist_position, port->input_vector()))) ||
        !k.set("pol_angle", number(mode->polarization_angle * kDegree)) ||
        !k.set("angle_theta", number(plane.theta * kDegree)) ||
        !k.set("angle_phi", number(plane.phi * kDegree)))
        return nullptr;
    if (!source)
        return k.set("freqs", vector_array(frequencies)) ? k.call("GaussianOverlapMonitor")
                                                         : nullptr;
    return k.set("direction", text(plane.direction())) &&
                   k.set("num_freqs", PyLong_FromSize_t(frequencies.size())) &&
                   k.set("source_time", source_time(frequencies))
               ? k.call("GaussianBeam")
               : nullptr;
}

// Fiber port arguments shared by sources, monitors and mode solvers.
struct FiberCall {
    std::shared_ptr<Port3D> port;
    FiberMode* mode = nullptr;
    Plane plane;
    std::vector<double> frequencies;
    ModeSettings settings;
};

// The largest refractive index among the cross-section media and the background.
bool fiber_target_neff(const FiberMode& mode, const std::vector<double>& frequencies,
                       double& out) {
    if (mode.target_neff) {
        out = *mode.target_neff;
        return true;
    }
    std::shared_ptr<Technology> technology = default_technology();
    Ref frequency_array(technology ? vector_array(frequencies) : nullptr);
    if (!frequency_array) return false;
    std::vector<std::shared_ptr<BaseType>> media{technology->background_medium.optical};
    for (const auto& item : mode.cross_section) media.push_back(item.second.optical);
    double largest = 1.0;
    for (const auto& holder : media) {
        if (!holder) continue;
        Ref medium(medium_object(holder));
        if (!medium || !max_permittivity(medium.get(), frequency_array.get(), largest))
            return false;
    }
    out = std::sqrt(largest);
    return true;
}

bool prepare_fiber(PyObject* self, PyObject* frequencies_obj, const char* empty_message,
                   int angle_rotation, FiberCall& call) {
    if (!to_frequencies(frequencies_obj, empty_message, call.frequencies)) return false;
    call.port = unwrap<Port3D>(self);
    if (!call.port) return false;
    call.mode = port_mode<FiberMode>(*call.port, PortMode::Kind::Fiber);
    if (!call.mode) return false;
    call.plane = beam_plane(*call.port, from_db(call.mode->size[0]), from_db(call.mode->size[1]));
    call.settings.modes = call.mode->modes + call.mode->added_modes;
    call.settings.polarization = call.mode->polarization;
    call.settings.angle_rotation = angle_rotation != 0;
    return fiber_target_neff(*call.mode, call.frequencies, call.settings.target_neff);
}

// Rotation taking the unit vector u onto the unit vector v (Rodrigues), row-major 3×3.
std::array<double, 9> rotation_between(const Vector3& u, const Vector3& v) {
    Vector3 k{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    double c = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    double f = 1 / (1 + c);  // u and v lie within 90° of each other
    return {c + f * k[0] * k[0],    f * k[0] * k[1] - k[2], f * k[0] * k[2] + k[1],
            f * k[1] * k[0] + k[2], c + f * k[1] * k[1],    f * k[1] * k[2] - k[0],
            f * k[2] * k[0] - k[1], f * k[2] * k[1] + k[0], c + f * k[2] * k[2]};
}

// The 4×4 transform placing the port's local frame (origin at the center, extrusion along the
// dominant axis) on the port: rotated onto the input vector, moved to the center.
PyObject* fiber_transform(const Port3D& port, const Plane& plane) {
    const Vector3& v = port.input_vector();
    double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    Vector3 u{0, 0, 0};
    u[size_t(plane.axis)] = plane.positive ? 1 : -1;
    auto r = rotation_between(u, Vector3{v[0] / norm, v[1] / norm, v[2] / norm});
    double* data = nullptr;
    PyObject* matrix = new_float_array(4, 4, data);
    if (!matrix) return nullptr;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) data[4 * i + j] = r[size_t(3 * i + j)];
        data[4 * i + 3] = plane.center[i];
    }
    data[12] = data[13] = data[14] = 0;
    data[15] = 1;
    return matrix;
}

// The solver structure of one face extruded along the port's axis between the limits
// (forward from the port plane: negated and swapped for ports pointing backward).
PyObject* extruded_structure(const FiberMode::Item& item, const FiberMode& mode,
                             const Plane& plane) {
    Coord lo = plane.positive ? mode.extrusion_limits[0] : -mode.extrusion_limits[1];
    Coord hi = plane.positive ? mode.extrusion_limits[1] : -mode.extrusion_limits[0];
    return solid_structure(Extruded(item.second.optical, item.first, {lo, hi}, {0, 0}, plane.axis));
}

// Tilted extrusions reach the axis-aligned plane's corners only when the limits exceed the
// corner's distance from the plane along the beam.
bool warn_fiber_limits(const FiberMode& mode, const Plane& plane) {
    double corner = 0.5 * std::hypot(from_db(mode.size[0]), from_db(mode.size[1]));
    double needed = corner * std::tan(plane.theta * kDegree);
    if (from_db(mode.extrusion_limits[1]) < needed &&
        PyErr_WarnEx(PyExc_RuntimeWarning,
                     "FiberPort upper extrusion limit is too small to build an axis aligned mode "
                     "solver. Structures might be partially missing from the mode solving plane.",
                     1) < 0)
        return false;
    if (from_db(mode.extrusion_limits[0]) > -needed &&
        PyErr_WarnEx(PyExc_RuntimeWarning,
                     "FiberPort lower extrusion limit is too high to build an axis aligned mode "
                     "solver. Structures might be partially missing from the mode solving plane.",
                     1) < 0)
        return false;
    return true;
}

// The mode is a copy: warnings and solver calls may run code that changes the port's own.
PyObject* fiber_structures(const Port3D& port, const FiberMode mode, const Plane& plane) {
    if (!warn_fiber_limits(mode, plane)) return nullptr;
    Ref transform(fiber_transform(port, plane));
    if (!transform) return nullptr;
    return new_list(mode.cross_section.size(), [&](size_t i) -> PyObject* {
        Ref structure(extruded_structure(mode.cross_section[i], mode, plane));
        Ref geometry(structure ? PyObject_GetAttrString(structure.get(), "geometry") : nullptr);
        Ref medium(structure ? PyObject_GetAttrString(structure.get(), "medium") : nullptr);
        Keywords placed;
        Keywords k;
        return geometry && medium && placed.set("geometry", geometry.release()) &&
                       placed.set("transform", Py_NewRef(transform.get())) &&
                       k.set("geometry", placed.call("Transformed")) &&
                       k.set("medium", medium.release())
                   ? k.call("Structure")
                   : nullptr;
    });
}

}  // namespace

// ---- Methods -----------------------------------------------------------------------------

PyObject* port_axis_aligned_properties(PyObject* self, PyObject*) {
    auto port = unwrap<Port>(self);
    if (!port) return nullptr;
    Plane plane = port_plane(*port);
    Ref center(vector_array(plane.center, 3));
    Ref size(vector_array(plane.size, 3));
    if (!center || !size) return nullptr;
    return Py_BuildValue("(OOsdd)", center.get(), size.get(), plane.direction(), plane.theta,
                         plane.phi);
}

PyObject* port_to_source(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "mode_index", "name", "use_angle_rotation",
                                     "technology", nullptr};
    PyObject *frequencies = nullptr, *name = Py_None, *technology = Py_None;
    long mode_index = 0;
    int rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|lOpO:to_fenn3d_source", (char**)keywords,
                                     &frequencies, &mode_index, &name, &rotation, &technology) ||
        !to_name(name, false))
        return nullptr;
    PortCall call;
    if (!prepare_port(self, frequencies, kEmptySourceFrequencies, technology, rotation, call) ||
        !check_mode_index(mode_index, call.port->spec()->num_modes()))
        return nullptr;
    return mode_source(call.plane, call.settings, name, mode_index, call.frequencies);
}

PyObject* port_to_monitor(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "name", "use_angle_rotation", "technology",
                                     nullptr};
    PyObject *frequencies = nullptr, *name = nullptr, *technology = Py_None;
    int rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|pO:to_fenn3d_monitor", (char**)keywords,
                                     &frequencies, &name, &rotation, &technology) ||
        !to_name(name, true))
        return nullptr;
    PortCall call;
    if (!prepare_port(self, frequencies, kEmptyFrequencies, technology, rotation, call))
        return nullptr;
    return mode_monitor(call.plane, call.settings, name, call.frequencies);
}

PyObject* port_to_mode_solver(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "mesh_refinement", "group_index",
                                     "technology", "use_angle_rotation", nullptr};
    PyObject *frequencies = nullptr, *mesh = Py_None, *technology = Py_None;
    int group_index = 0, rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OpOp:to_fenn3d_mode_solver",
                                     (char**)keywords, &frequencies, &mesh, &group_index,
                                     &technology, &rotation))
        return nullptr;
    return port_mode_solver(self, frequencies, mesh, group_index, technology, rotation);
}

PyObject* port_spec_to_mode_solver(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "mesh_refinement", "group_index",
                                     "technology", nullptr};
    PyObject *frequencies = nullptr, *mesh = Py_None, *technology = Py_None;
    int group_index = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OpO:to_fenn3d", (char**)keywords,
                                     &frequencies, &mesh, &group_index, &technology))
        return nullptr;
    auto port = reference_port(self);
    Ref port_object(port ? wrap(port) : nullptr);
    return port_object ? port_mode_solver(port_object.get(), frequencies, mesh, group_index,
                                          technology, 0)
                       : nullptr;
}

PyObject* port_to_impedance_calculator(PyObject* self, PyObject* args, PyObject* kwds) {
    int extrapolate = 1, snap = 1;
    if (!parse_impedance_flags(args, kwds, extrapolate, snap)) return nullptr;
    auto port = unwrap<Port>(self);
    return port ? impedance_calculator(*port, extrapolate != 0, snap != 0) : nullptr;
}

PyObject* port_spec_to_impedance_calculator(PyObject* self, PyObject* args, PyObject* kwds) {
    int extrapolate = 1, snap = 1;
    if (!parse_impedance_flags(args, kwds, extrapolate, snap)) return nullptr;
    auto port = reference_port(self);
    return port ? impedance_calculator(*port, extrapolate != 0, snap != 0) : nullptr;
}

PyObject* gaussian_port_to_source(PyObject* self, PyObject* args, PyObject* kwds) {
    return gaussian_conversion(self, args, kwds, true);
}

PyObject* gaussian_port_to_monitor(PyObject* self, PyObject* args, PyObject* kwds) {
    return gaussian_conversion(self, args, kwds, false);
}

PyObject* fiber_port_to_source(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "mode_index", "name", "use_angle_rotation",
                                     nullptr};
    PyObject *frequencies = nullptr, *name = Py_None;
    long mode_index = 0;
    int rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|lOp:to_fenn3d_source", (char**)keywords,
                                     &frequencies, &mode_index, &name, &rotation) ||
        !to_name(name, false))
        return nullptr;
    FiberCall call;
    if (!prepare_fiber(self, frequencies, kEmptySourceFrequencies, rotation, call) ||
        !check_mode_index(mode_index, call.mode->modes))
        return nullptr;
    return mode_source(call.plane, call.settings, name, mode_index, call.frequencies);
}

PyObject* fiber_port_to_monitor(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "name", "use_angle_rotation", nullptr};
    PyObject *frequencies = nullptr, *name = nullptr;
    int rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|p:to_fenn3d_monitor", (char**)keywords,
                                     &frequencies, &name, &rotation) ||
        !to_name(name, true))
        return nullptr;
    FiberCall call;
    if (!prepare_fiber(self, frequencies, kEmptyFrequencies, rotation, call)) return nullptr;
    return mode_monitor(call.plane, call.settings, name, call.frequencies);
}

PyObject* fiber_port_to_mode_solver(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "mesh_refinement", "group_index",
                                     "use_angle_rotation", nullptr};
    PyObject *frequencies = nullptr, *mesh = Py_None;
    int group_index = 0, rotation = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|Opp:to_fenn3d_mode_solver",
                                     (char**)keywords, &frequencies, &mesh, &group_index,
                                     &rotation))
        return nullptr;
    FiberCall call;
    double refinement = 0;
    if (!to_mesh_refinement(mesh, refinement) ||
        !prepare_fiber(self, frequencies, kEmptyFrequencies, rotation, call))
        return nullptr;
    call.settings.group_index = group_index != 0;
    Surroundings around;
    around.structures = Ref(fiber_structures(*call.port, *call.mode, call.plane));
    if (!around.structures) return nullptr;
    around.medium = Ref(background_medium(Py_None, Classification::Optical));
    around.refinements = Ref(around.medium ? PyList_New(0) : nullptr);
    if (!around.refinements) return nullptr;
    return mode_solver(call.plane, call.settings, std::move(around), call.frequencies,
                       refinement);
}

PyObject* fiber_port_to_structures(PyObject* self, PyObject*) {
    auto port = unwrap<Port3D>(self);
    if (!port) return nullptr;
    auto* mode = port_mode<FiberMode>(*port, PortMode::Kind::Fiber);
    if (!mode) return nullptr;
    Plane plane = beam_plane(*port, from_db(mode->size[0]), from_db(mode->size[1]));
    return fiber_structures(*port, *mode, plane);
}

}  // namespace whistle::py
