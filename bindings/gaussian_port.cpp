// `GaussianPort`: a 3D port carrying a paraxial Gaussian beam.
#include <cmath>

#include "core/model/gaussian_beam.hpp"
#include "port3d.hpp"
#include "port_conversion.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

// The solver's waist distance: the waist position negated when the dominant component of the
// input vector is positive. The rule is its own inverse.
Coord waist_distance(Coord value, const Vector3& input_vector) {
    return input_vector[size_t(dominant_axis(input_vector))] > 0 ? -value : value;
}

// The refractive index at each frequency: a number is the index itself; a solver medium gives
// the square root of the mean real part of its permittivity diagonal.
bool to_indices(PyObject* medium, const std::vector<double>& frequencies,
                std::vector<double>& out) {
    if (PyNumber_Check(medium)) {
        double index = PyFloat_AsDouble(medium);
        if (index == -1.0 && PyErr_Occurred()) return false;
        if (!(index > 0) || !std::isfinite(index)) {
            PyErr_SetString(PyExc_ValueError, "Argument 'medium' must be a positive index.");
            return false;
        }
        out.assign(frequencies.size(), index);
        return true;
    }
    Ref frequency_array(vector_array(frequencies));
    if (!frequency_array) return false;
    Ref eps(PyObject_CallMethod(medium, "eps_diagonal_numerical", "O", frequency_array.get()));
    if (!eps) return false;
    Ref array(PyArray_FROM_OTF(eps.get(), NPY_COMPLEX128,
                               NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array) return false;
    auto* data = reinterpret_cast<PyArrayObject*>(array.get());
    size_t count = frequencies.size();
    if (size_t(PyArray_SIZE(data)) != 3 * count) {
        PyErr_SetString(PyExc_ValueError,
                        "The medium's permittivity must have 3 values per frequency.");
        return false;
    }
    auto* values = static_cast<const double*>(PyArray_DATA(data));
    out.assign(count, 0.0);
    for (size_t f = 0; f < count; ++f) {
        double mean = (values[2 * f] + values[2 * (count + f)] + values[2 * (2 * count + f)]) / 3;
        if (!(mean > 0)) {
            PyErr_SetString(PyExc_ValueError, "The medium's permittivity must be positive.");
            return false;
        }
        out[f] = std::sqrt(mean);
    }
    return true;
}

namespace {

constexpr const char* kRadiusMessage = "Argument 'waist_radius' must be positive.";
constexpr const char* kToleranceMessage =
    "Argument 'field_tolerance' must be strictly between 0 and 1.";

// The Gaussian mode of the port; RuntimeError when it carries another kind.
GaussianMode* gaussian_mode(Port3D& port) {
    if (port.mode()->kind() == PortMode::Kind::Gaussian)
        return static_cast<GaussianMode*>(port.mode().get());
    PyErr_SetString(PyExc_RuntimeError, "Unrecognized port type.");
    return nullptr;
}

bool to_waist_radius(double value, Coord& out) {
    if (!(value > 0)) {
        PyErr_SetString(PyExc_ValueError, kRadiusMessage);
        return false;
    }
    return to_length(value, "waist_radius", out);
}

bool check_tolerance(double value) {
    if (value > 0 && value < 1) return true;
    PyErr_SetString(PyExc_ValueError, kToleranceMessage);
    return false;
}

int gaussian_port_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"center", "input_vector", "waist_radius", "waist_position",
                                     "polarization_angle", "field_tolerance", "waist_distance",
                                     nullptr};
    PyObject *center_obj = nullptr, *vector_obj = nullptr, *position_obj = Py_None,
             *distance_obj = Py_None;
    double radius = 0, angle = 0, tolerance = GaussianMode::kDefaultFieldTolerance;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOd|Odd$O:GaussianPort", (char**)keywords,
                                     &center_obj, &vector_obj, &radius, &position_obj, &angle,
                                     &tolerance, &distance_obj))
        return -1;
    if (position_obj != Py_None && distance_obj != Py_None) {
        PyErr_SetString(PyExc_ValueError,
                        "Only one of 'waist_position' and 'waist_distance' must be specified.");
        return -1;
    }
    bool by_distance = distance_obj != Py_None;
    Point3 center;
    Vector3 input_vector;
    Coord radius_db = 0, position = 0;
    double position_value = 0;
    if (!to_point3(center_obj, "center", center) || !to_input_vector(vector_obj, input_vector) ||
        !to_waist_radius(radius, radius_db) || !check_finite(angle, "polarization_angle") ||
        !check_tolerance(tolerance))
        return -1;
    const char* position_name = by_distance ? "waist_distance" : "waist_position";
    PyObject* position_given = by_distance ? distance_obj : position_obj;
    if (position_given != Py_None &&
        (!to_number(position_given, position_name, position_value) ||
         !to_length(position_value, position_name, position)))
        return -1;
    if (by_distance) position = waist_distance(position, input_vector);
    try {
        auto mode = std::make_shared<GaussianMode>(radius_db, position, angle, tolerance);
        install(self, std::make_shared<Port3D>(center, input_vector, std::move(mode)));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// ---- Attributes --------------------------------------------------------------------------

// Reads a value of the Gaussian mode (and the port).
template <class Read>
PyObject* read_mode(PyObject* self, Read&& read) {
    auto port = unwrap<Port3D>(self);
    if (!port) return nullptr;
    GaussianMode* mode = gaussian_mode(*port);
    return mode ? read(*port, *mode) : nullptr;
}

// Changes the Gaussian mode once the value is converted.
template <class Change>
int change_mode(PyObject* self, Change&& change) {
    auto port = unwrap<Port3D>(self);
    if (!port) return -1;
    GaussianMode* mode = gaussian_mode(*port);
    if (!mode) return -1;
    change(*port, *mode);
    return 0;
}

// A length or number attribute value, converted before the port is read.
bool attribute_number(PyObject* value, const char* name, double& out) {
    return check_not_deleted(value, name) && to_number(value, name, out);
}

PyObject* get_waist_radius(PyObject* self, void*) {
    return read_mode(self, [](Port3D&, GaussianMode& m) { return length(m.waist_radius); });
}

int set_waist_radius(PyObject* self, PyObject* value, void*) {
    double radius = 0;
    Coord units = 0;
    if (!attribute_number(value, "waist_radius", radius) || !to_waist_radius(radius, units))
        return -1;
    return change_mode(self, [&](Port3D&, GaussianMode& m) { m.waist_radius = units; });
}

PyObject* get_waist_position(PyObject* self, void*) {
    return read_mode(self, [](Port3D&, GaussianMode& m) { return length(m.waist_position); });
}

int set_waist_position(PyObject* self, PyObject* value, void*) {
    double position = 0;
    Coord units = 0;
    if (!attribute_number(value, "waist_position", position) ||
        !to_length(position, "waist_position", units))
        return -1;
    return change_mode(self, [&](Port3D&, GaussianMode& m) { m.waist_position = units; });
}

PyObject* get_waist_distance(PyObject* self, void*) {
    return read_mode(self, [](Port3D& port, GaussianMode& m) {
        return length(waist_distance(m.waist_position, port.input_vector()));
    });
}

int set_waist_distance(PyObject* self, PyObject* value, void*) {
    double distance = 0;
    Coord units = 0;
    if (!attribute_number(value, "waist_distance", distance) ||
        !to_length(distance, "waist_distance", units))
        return -1;
    return change_mode(self, [&](Port3D& port, GaussianMode& m) {
        m.waist_position = waist_distance(units, port.input_vector());
    });
}

PyObject* get_polarization_angle(PyObject* self, void*) {
    return read_mode(self,
                     [](Port3D&, GaussianMode& m) { return PyFloat_FromDouble(m.polarization_angle); });
}

int set_polarization_angle(PyObject* self, PyObject* value, void*) {
    double angle = 0;
    if (!attribute_number(value, "polarization_angle", angle) ||
        !check_finite(angle, "polarization_angle"))
        return -1;
    return change_mode(self, [&](Port3D&, GaussianMode& m) { m.polarization_angle = angle; });
}

PyObject* get_field_tolerance(PyObject* self, void*) {
    return read_mode(self,
                     [](Port3D&, GaussianMode& m) { return PyFloat_FromDouble(m.field_tolerance); });
}

int set_field_tolerance(PyObject* self, PyObject* value, void*) {
    double tolerance = 0;
    if (!attribute_number(value, "field_tolerance", tolerance) || !check_tolerance(tolerance))
        return -1;
    return change_mode(self, [&](Port3D&, GaussianMode& m) { m.field_tolerance = tolerance; });
}

PyObject* get_classification(PyObject*, void*) { return PyUnicode_FromString("optical"); }

// One mode, no extra solver modes.
PyObject* get_num_modes(PyObject*, void*) { return PyLong_FromLong(1); }
PyObject* get_added_solver_modes(PyObject*, void*) { return PyLong_FromLong(0); }

// ---- Fields ------------------------------------------------------------------------------

// A number or a non-empty sequence of numbers.
bool to_coordinates(PyObject* obj, const char* name, std::vector<double>& out) {
    if (PyNumber_Check(obj) && !PyArray_Check(obj)) {
        double value = PyFloat_AsDouble(obj);
        if (value == -1.0 && PyErr_Occurred()) return false;
        out = {value};
    } else if (!to_numbers(obj, name, out)) {
        return false;
    }
    if (out.empty()) {
        PyErr_Format(PyExc_ValueError, "Argument '%s' cannot be empty.", name);
        return false;
    }
    return true;
}

PyObject* method_fields(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"x", "y", "z", "frequency", "medium", nullptr};
    PyObject *x_obj = nullptr, *y_obj = nullptr, *z_obj = nullptr, *frequency_obj = nullptr;
    PyObject* medium = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOO|O:fields", (char**)keywords, &x_obj,
                                     &y_obj, &z_obj, &frequency_obj, &medium))
        return nullptr;
    std::vector<double> x, y, z, frequencies, indices;
    if (!to_coordinates(x_obj, "x", x) || !to_coordinates(y_obj, "y", y) ||
        !to_coordinates(z_obj, "z", z) ||
        !to_coordinates(frequency_obj, "frequency", frequencies))
        return nullptr;
    if (x.size() != y.size() || x.size() != z.size()) {
        PyErr_SetString(PyExc_ValueError, "Arguments 'x', 'y', and 'z' must have the same size.");
        return nullptr;
    }
    if (medium) {
        if (!to_indices(medium, frequencies, indices)) return nullptr;
    } else {
        indices.assign(frequencies.size(), 1.0);
    }
    std::vector<std::array<double, 3>> points(x.size());
    for (size_t i = 0; i < x.size(); ++i) points[i] = {x[i], y[i], z[i]};
    auto port = unwrap<Port3D>(self);
    if (!port) return nullptr;
    GaussianMode* mode = gaussian_mode(*port);
    if (!mode) return nullptr;
    GaussianBeamFields beam = gaussian_beam_fields(*port, *mode, points, frequencies, indices);
    Ref amplitudes(new_array({npy_intp(frequencies.size()), npy_intp(points.size())},
                             NPY_COMPLEX128));
    Ref e_norm(vector_array(beam.electric_norm));
    Ref h_norm(vector_array(beam.magnetic_norm));
    Ref e_pol(vector_array(beam.electric_polarization.data(), 3));
    Ref h_pol(vector_array(beam.magnetic_polarization.data(), 3));
    if (!amplitudes || !e_norm || !h_norm || !e_pol || !h_pol) return nullptr;
    std::copy(beam.amplitudes.begin(), beam.amplitudes.end(),
              static_cast<std::complex<double>*>(
                  PyArray_DATA(reinterpret_cast<PyArrayObject*>(amplitudes.get()))));
    return PyTuple_Pack(5, amplitudes.get(), e_norm.get(), h_norm.get(), e_pol.get(),
                        h_pol.get());
}

PyMethodDef gaussian_port_methods[] = {
    WHISTLE_KEYWORD_METHOD(
        "fields", method_fields,
        "fields(x, y, z, frequency, medium=1.0)\n\nParaxial Gaussian beam at the points (x, y, "
        "z) for each frequency: (amplitudes of shape (F, N), electric and magnetic "
        "normalizations per frequency giving unit power, electric and magnetic polarization "
        "vectors). The field is amplitude × normalization × polarization vector. 'medium' is a "
        "refractive index or a solver medium."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_source", gaussian_port_to_source,
                           "to_fenn3d_source(frequencies, name=None, medium=1.0)\n\nGaussian "
                           "beam source; the plane covers the beam down to the field tolerance "
                           "in the medium (an index or a solver medium)."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_monitor", gaussian_port_to_monitor,
                           "to_fenn3d_monitor(frequencies, name, medium=1.0)\n\nOverlap "
                           "monitor with the port's Gaussian beam."),
    WHISTLE_PORT3D_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gaussian_port_getset[] = {
    WHISTLE_ATTRIBUTE(waist_radius, "float: Beam waist radius."),
    WHISTLE_ATTRIBUTE(waist_position,
                       "float: Waist position along the input vector (positive: in front)."),
    WHISTLE_ATTRIBUTE(waist_distance, "float: Waist position in the solver's convention."),
    WHISTLE_ATTRIBUTE(polarization_angle, "float: Polarization angle (degrees)."),
    WHISTLE_ATTRIBUTE(field_tolerance, "float: Field tolerance in (0, 1)."),
    {"classification", get_classification, nullptr, "str: Always 'optical'.", nullptr},
    {"num_modes", get_num_modes, nullptr, "int: Number of modes (1).", nullptr},
    {"added_solver_modes", get_added_solver_modes, nullptr, "int: Extra solver modes (0).",
     nullptr},
    WHISTLE_PORT3D_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject gaussian_port_type = wrapper_type(
    "tarnwhistle.GaussianPort",
    "GaussianPort(center, input_vector, waist_radius, waist_position=0, polarization_angle=0, "
    "field_tolerance=1.0e-3, *, waist_distance=None)\n\nA 3D port carrying a Gaussian beam.",
    gaussian_port_init, gaussian_port_methods, gaussian_port_getset);

}  // namespace

PyTypeObject* GaussianPort_type() {
    return register_exposed_type(TypeCode::GaussianPort, &gaussian_port_type);
}

}  // namespace whistle::py
