// `PortSpec`: cross-section templates of ports (profiles, limits, modes, electrical data).
#include "port_spec.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include "core/foundation/interpolator.hpp"
#include "core/geometry/path.hpp"
#include "core/model/technology.hpp"
#include "model.hpp"
#include "port_conversion.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

// ---- Shared converters -------------------------------------------------------------------

bool to_count(PyObject* obj, uint32_t minimum, const char* message, uint32_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < minimum)) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    if (overflow > 0 || value > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "Value out of range.");
        return false;
    }
    out = uint32_t(value);
    return true;
}

bool to_polarization(PyObject* obj, std::string& out) {
    if (!obj || obj == Py_None) {
        out.clear();
        return true;
    }
    for (const char* name : {"TE", "TM"}) {
        if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, name) == 0) {
            out = std::string(name);
            return true;
        }
    }
    PyErr_SetString(PyExc_ValueError, "Argument 'polarization' must be 'TE', 'TM', or None.");
    return false;
}

PyObject* polarization_object(const std::string& polarization) {
    if (polarization.empty()) Py_RETURN_NONE;
    return PyUnicode_FromString(polarization.c_str());
}

bool to_optional_number(PyObject* obj, const char* name, std::optional<double>& out) {
    if (!obj || obj == Py_None) {
        out.reset();
        return true;
    }
    double value = 0;
    if (!to_number(obj, name, value)) return false;
    out = value;
    return true;
}

PyObject* optional_number(const std::optional<double>& value) {
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
}

PyObject* classification_object(Classification classification) {
    return PyUnicode_FromString(classification_name(classification));
}

bool to_port_spec(PyObject* obj, std::shared_ptr<PortSpec>& out) {
    if (is_instance(obj, TypeCode::PortSpec)) {
        out = unwrap<PortSpec>(obj);
        return bool(out);
    }
    if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'spec' must be a PortSpec instance or name.");
        return false;
    }
    const char* name = PyUnicode_AsUTF8(obj);
    if (!name) return false;
    std::shared_ptr<Technology> technology = default_technology();
    if (!technology) return false;
    out = technology->find_port(name);
    if (!out) PyErr_SetString(PyExc_ValueError, "Port specification name not found in technology.");
    return bool(out);
}

// The largest real permittivity of a solver medium over the frequencies, into `out`.
bool max_permittivity(PyObject* medium, PyObject* frequencies, double& out) {
    Ref eps(PyObject_CallMethod(medium, "eps_diagonal_numerical", "O", frequencies));
    if (!eps) return false;
    Ref array(PyArray_FROM_OTF(eps.get(), NPY_COMPLEX128, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST));
    if (!array) return false;
    auto* values = static_cast<const double*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    npy_intp count = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(array.get()));
    for (npy_intp i = 0; i < count; ++i) out = std::max(out, values[2 * i]);
    return true;
}

namespace {

// ---- Path profiles -----------------------------------------------------------------------

// Profile names are bytes: generated names start with 0xFF, kept through surrogate escapes.
PyObject* name_object(const std::string& name) {
    return PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), "surrogateescape");
}

bool to_name(PyObject* obj, std::string& out) {
    Ref bytes(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

// (width, offset, layer) with a positive width; layer names come from the default technology.
bool to_profile(PyObject* obj, const char* name, PathProfile& out) {
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of length 3.", name);
        return false;
    }
    Ref items(sequence_items(obj));
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != 3) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a sequence of length 3.", name);
        return false;
    }
    double width = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), 0));
    if (width == -1.0 && PyErr_Occurred()) return false;
    double offset = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), 1));
    if (offset == -1.0 && PyErr_Occurred()) return false;
    if (!(width > 0)) {
        PyErr_SetString(PyExc_ValueError, "Width must be positive.");
        return false;
    }
    return to_length(width, "width", out.width) && to_length(offset, "offset", out.offset) &&
           to_layer_or_name(PyTuple_GET_ITEM(items.get(), 2), "layer", nullptr, out.layer);
}

// A dict of named profiles, or any iterable of profiles stored under generated names.
bool to_profiles(PyObject* obj, const char* name, std::map<std::string, PathProfile>& out) {
    std::map<std::string, PathProfile> profiles;
    if (!obj || obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'%s' cannot be 'None'.", name);
        return false;
    }
    if (PyDict_Check(obj)) {
        Ref items(PyDict_Items(obj));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            std::string key_name;
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "Keys in '%s' must be strings.", name);
                return false;
            }
            PathProfile profile;
            if (!to_name(key, key_name) || !to_profile(PyTuple_GET_ITEM(pair, 1), name, profile))
                return false;
            profiles[key_name] = profile;
        }
    } else {
        Ref items(sequence_items(obj));
        if (!items) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "Argument '%s' must be iterable.", name);
            return false;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            PathProfile profile;
            if (!to_profile(PyTuple_GET_ITEM(items.get(), i), name, profile)) return false;
            profiles[PortSpec::unnamed_profile(size_t(i))] = profile;
        }
    }
    out = std::move(profiles);
    return true;
}

PyObject* profile_tuple(const PathProfile& profile) {
    Ref layer(layer_tuple(profile.layer));
    if (!layer) return nullptr;
    return Py_BuildValue("(ddO)", from_db(profile.width), from_db(profile.offset), layer.get());
}

PyObject* profile_list(const std::vector<PathProfile>& profiles) {
    Ref list(PyList_New(Py_ssize_t(profiles.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < profiles.size(); ++i) {
        PyObject* item = profile_tuple(profiles[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// ---- Electrical data ---------------------------------------------------------------------

// None leaves the path empty.
bool to_voltage_path(PyObject* obj, std::vector<Vector>& out) {
    out.clear();
    return !obj || obj == Py_None || to_points(obj, "voltage_path", out);
}

// A vertex list, or a planar structure without holes.
bool to_current_path(PyObject* obj, std::vector<Vector>& points,
                     std::shared_ptr<Structure>& structure) {
    points.clear();
    structure.reset();
    if (!obj || obj == Py_None) return true;
    if (std::shared_ptr<Structure> given = as_structure(obj)) {
        try {
            ErrorHandler status;
            bool holes = !given->to_polygon(status).holes().empty();
            if (!check_status(status)) return false;
            if (holes) {
                PyErr_SetString(PyExc_ValueError,
                                "Structures used as current paths cannot contain holes.");
                return false;
            }
        }
        WHISTLE_CATCH(false)
        structure = std::move(given);
        return true;
    }
    return to_points(obj, "current_path", points);
}

bool to_impedance(PyObject* obj, std::shared_ptr<Interpolator>& out) {
    out.reset();
    if (!obj || obj == Py_None) return true;
    if (!is_instance(obj, TypeCode::Interpolator)) {
        PyErr_SetString(PyExc_TypeError, "Argument 'impedance' must be an Interpolator or None.");
        return false;
    }
    out = unwrap<Interpolator>(obj);
    return bool(out);
}

// An impedance serves every mode with one value, or each mode with its own.
bool check_impedance(const std::shared_ptr<Interpolator>& impedance, uint32_t num_modes) {
    if (!impedance || impedance->variables().size() == 1 ||
        impedance->variables().size() == num_modes)
        return true;
    PyErr_SetString(PyExc_ValueError,
                    "'impedance' interpolator must have a single value or one value per mode.");
    return false;
}

PyObject* optional_points(const std::vector<Vector>& points) {
    if (points.empty()) Py_RETURN_NONE;
    return points_array(points);
}

// ---- Constructor -------------------------------------------------------------------------

bool to_positive_length(PyObject* obj, const char* name, const char* message, bool allow_zero,
                        Coord& out) {
    double value = 0;
    if (!to_number(obj, name, value)) return false;
    if (!(value > 0 || (allow_zero && value == 0))) {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }
    return to_length(value, name, out);
}

constexpr const char* kWidthMessage = "Argument 'width' must be positive.";
constexpr const char* kRadiusMessage = "Argument 'default_radius' cannot be negative.";
constexpr const char* kModesMessage = "Argument 'num_modes' must be positive.";
constexpr const char* kAddedModesMessage = "Argument 'added_solver_modes' cannot be negative.";

int port_spec_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"description", "width", "limits", "num_modes",
                                     "polarization", "target_neff", "path_profiles",
                                     "added_solver_modes", "voltage_path", "current_path",
                                     "default_radius", "impedance", nullptr};
    PyObject *description_obj = nullptr, *width_obj = nullptr, *limits_obj = nullptr;
    PyObject *modes_obj = nullptr, *polarization_obj = nullptr, *neff_obj = nullptr;
    PyObject *profiles_obj = nullptr, *added_obj = nullptr, *voltage_obj = nullptr;
    PyObject *current_obj = nullptr, *radius_obj = nullptr, *impedance_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "UOO|OOOOOOOOO:PortSpec", (char**)keywords,
                                     &description_obj, &width_obj, &limits_obj, &modes_obj,
                                     &polarization_obj, &neff_obj, &profiles_obj, &added_obj,
                                     &voltage_obj, &current_obj, &radius_obj, &impedance_obj))
        return -1;
    const char* description = PyUnicode_AsUTF8(description_obj);
    Coord width = 0, radius = 0;
    Vector limits;
    uint32_t modes = 1, added = 0;
    std::string polarization;
    std::optional<double> neff;
    std::map<std::string, PathProfile> profiles;
    ElectricalData electrical;
    if (!description || !to_positive_length(width_obj, "width", kWidthMessage, false, width) ||
        !to_point(limits_obj, "limits", limits, true) ||
        (modes_obj && !to_count(modes_obj, 1, kModesMessage, modes)) ||
        !to_polarization(polarization_obj, polarization) ||
        !to_optional_number(neff_obj, "target_neff", neff) ||
        (profiles_obj && !to_profiles(profiles_obj, "path_profiles", profiles)) ||
        (added_obj && !to_count(added_obj, 0, kAddedModesMessage, added)) ||
        !to_voltage_path(voltage_obj, electrical.voltage_path) ||
        !to_current_path(current_obj, electrical.current_path, electrical.current_structure) ||
        (radius_obj && !to_positive_length(radius_obj, "default_radius", kRadiusMessage, true,
                                           radius)) ||
        !to_impedance(impedance_obj, electrical.impedance) ||
        !check_impedance(electrical.impedance, modes))
        return -1;
    auto given = [](PyObject* obj) { return obj && obj != Py_None; };
    try {
        auto spec = std::make_shared<PortSpec>(description, width,
                                               std::array<Coord, 2>{limits.x, limits.y});
        spec->set_num_modes(modes);
        spec->set_added_solver_modes(added);
        spec->set_polarization(polarization);
        spec->set_target_neff(neff);
        spec->set_path_profiles(std::move(profiles));
        spec->set_default_radius(radius);
        if (given(voltage_obj) || given(current_obj) || given(impedance_obj))
            spec->set_electrical(std::move(electrical));
        install(self, std::move(spec));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

// ---- Attributes --------------------------------------------------------------------------

PyObject* get_description(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    const std::string& text = spec->description();
    return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
}

int set_description(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "'description' must be a string.");
        return -1;
    }
    const char* text = PyUnicode_AsUTF8(value);
    if (!text) return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_description(text); }) ? 0 : -1;
}

PyObject* get_width(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? length(spec->width()) : nullptr;
}

int set_width(PyObject* self, PyObject* value, void*) {
    Coord width = 0;
    if (!check_not_deleted(value, "width") ||
        !to_positive_length(value, "width", kWidthMessage, false, width))
        return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_width(width); }) ? 0 : -1;
}

PyObject* get_limits(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    return Py_BuildValue("(dd)", from_db(spec->limits()[0]), from_db(spec->limits()[1]));
}

int set_limits(PyObject* self, PyObject* value, void*) {
    Vector limits;
    if (!to_point(value, "limits", limits, true)) return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_limits({limits.x, limits.y}); })
               ? 0 : -1;
}

PyObject* get_default_radius(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? length(spec->default_radius()) : nullptr;
}

int set_default_radius(PyObject* self, PyObject* value, void*) {
    Coord radius = 0;
    if (!check_not_deleted(value, "default_radius") ||
        !to_positive_length(value, "default_radius", kRadiusMessage, true, radius))
        return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_default_radius(radius); }) ? 0 : -1;
}

PyObject* get_num_modes(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? PyLong_FromUnsignedLong(spec->num_modes()) : nullptr;
}

int set_num_modes(PyObject* self, PyObject* value, void*) {
    uint32_t modes = 0;
    if (!check_not_deleted(value, "num_modes") || !to_count(value, 1, kModesMessage, modes))
        return -1;
    auto spec = unwrap<PortSpec>(self);
    if (!spec || (spec->electrical() && !check_impedance(spec->electrical()->impedance, modes)))
        return -1;
    spec->set_num_modes(modes);
    return 0;
}

PyObject* get_added_solver_modes(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? PyLong_FromUnsignedLong(spec->added_solver_modes()) : nullptr;
}

int set_added_solver_modes(PyObject* self, PyObject* value, void*) {
    uint32_t added = 0;
    if (!check_not_deleted(value, "added_solver_modes") ||
        !to_count(value, 0, kAddedModesMessage, added))
        return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_added_solver_modes(added); })
               ? 0 : -1;
}

PyObject* get_polarization(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? polarization_object(spec->polarization()) : nullptr;
}

int set_polarization(PyObject* self, PyObject* value, void*) {
    std::string polarization;
    if (!check_not_deleted(value, "polarization") || !to_polarization(value, polarization))
        return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_polarization(polarization); })
               ? 0 : -1;
}

PyObject* get_target_neff(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? optional_number(spec->target_neff()) : nullptr;
}

int set_target_neff(PyObject* self, PyObject* value, void*) {
    std::optional<double> neff;
    if (!check_not_deleted(value, "target_neff") ||
        !to_optional_number(value, "target_neff", neff))
        return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_target_neff(neff); }) ? 0 : -1;
}

// A list when the first name is generated, a dict by name otherwise.
PyObject* get_path_profiles(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    const auto& profiles = spec->path_profiles();
    if (!profiles.empty() && PortSpec::is_unnamed(profiles.begin()->first))
        return profile_list(spec->profiles_list());
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, profile] : profiles) {
        Ref key(name_object(name));
        Ref value(profile_tuple(profile));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

int set_path_profiles(PyObject* self, PyObject* value, void*) {
    std::map<std::string, PathProfile> profiles;
    if (!to_profiles(value, "path_profiles", profiles)) return -1;
    return modify<PortSpec>(self, [&](PortSpec& spec) { spec.set_path_profiles(std::move(profiles)); })
               ? 0 : -1;
}

PyObject* get_classification(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? classification_object(spec->classification()) : nullptr;
}

// Electrical fields change only on electrical specifications; None clears them. `apply` runs
// on the object held once the value is converted and returns false with an exception set.
template <class Apply>
int set_electrical(PyObject* self, PyObject* value, const char* message, Apply&& apply) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return -1;
    if (!spec->electrical()) {
        if (value == Py_None) return 0;
        PyErr_SetString(PyExc_ValueError, message);
        return -1;
    }
    ElectricalData data = *spec->electrical();
    if (!apply(*spec, data)) return -1;
    spec->set_electrical(std::move(data));
    return 0;
}

PyObject* get_voltage_path(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    if (!spec->electrical()) Py_RETURN_NONE;
    return optional_points(spec->electrical()->voltage_path);
}

int set_voltage_path(PyObject* self, PyObject* value, void*) {
    std::vector<Vector> path;
    if (!check_not_deleted(value, "voltage_path") || !to_voltage_path(value, path)) return -1;
    return set_electrical(self, value, "'voltage_path' can only be set on electrical port specs.",
                          [&](PortSpec&, ElectricalData& data) {
                              data.voltage_path = std::move(path);
                              return true;
                          });
}

PyObject* get_current_path(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    if (!spec->electrical()) Py_RETURN_NONE;
    const ElectricalData& data = *spec->electrical();
    if (data.current_structure) return wrap(data.current_structure);
    return optional_points(data.current_path);
}

int set_current_path(PyObject* self, PyObject* value, void*) {
    std::vector<Vector> path;
    std::shared_ptr<Structure> structure;
    if (!check_not_deleted(value, "current_path") || !to_current_path(value, path, structure))
        return -1;
    return set_electrical(self, value, "'current_path' can only be set on electrical port specs.",
                          [&](PortSpec&, ElectricalData& data) {
                              data.current_path = std::move(path);
                              data.current_structure = std::move(structure);
                              return true;
                          });
}

PyObject* get_impedance(PyObject* self, void*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    if (!spec->electrical()) Py_RETURN_NONE;
    return wrap(spec->electrical()->impedance);
}

int set_impedance(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<Interpolator> impedance;
    if (!check_not_deleted(value, "impedance") || !to_impedance(value, impedance)) return -1;
    return set_electrical(self, value, "'impedance' can only be set on electrical port specs.",
                          [&](PortSpec& spec, ElectricalData& data) {
                              data.impedance = std::move(impedance);
                              return check_impedance(data.impedance, spec.num_modes());
                          });
}

// ---- Methods -----------------------------------------------------------------------------

std::shared_ptr<PortSpec> port_spec_argument(PyObject* obj) {
    if (!is_instance(obj, TypeCode::PortSpec)) {
        PyErr_SetString(PyExc_TypeError, "'port_spec' must be a PortSpec instance.");
        return nullptr;
    }
    return unwrap<PortSpec>(obj);
}

PyObject* method_symmetric(PyObject* self, PyObject*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? PyBool_FromLong(spec->symmetric()) : nullptr;
}

PyObject* method_inverted(PyObject* self, PyObject*) {
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    try {
        return wrap(inverted(spec));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_is_1d(PyObject* self, PyObject*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? PyBool_FromLong(spec->is_1d()) : nullptr;
}

PyObject* method_profile_matches(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"port_spec", nullptr};
    PyObject* other_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:profile_matches", (char**)keywords,
                                     &other_obj))
        return nullptr;
    auto other = port_spec_argument(other_obj);
    auto spec = other ? unwrap<PortSpec>(self) : nullptr;
    return spec ? PyBool_FromLong(spec->profile_matches(*other)) : nullptr;
}

PyObject* method_combined_with(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"port_spec", "offset", nullptr};
    PyObject* other_obj = nullptr;
    double offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|d:combined_with", (char**)keywords,
                                     &other_obj, &offset))
        return nullptr;
    Coord offset_db = 0;
    auto other = port_spec_argument(other_obj);
    if (!other || !to_length(offset, "offset", offset_db)) return nullptr;
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    try {
        return wrap(spec->combined_with(*other, offset_db));
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_path_profiles_list(PyObject* self, PyObject*) {
    auto spec = unwrap<PortSpec>(self);
    return spec ? profile_list(spec->profiles_list()) : nullptr;
}

PyObject* method_path_profile_for(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"layer", "technology", nullptr};
    PyObject *layer_obj = nullptr, *technology_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:path_profile_for", (char**)keywords,
                                     &layer_obj, &technology_obj))
        return nullptr;
    std::shared_ptr<Technology> technology;
    Layer layer;
    if (!to_technology(technology_obj, technology) ||
        !to_layer_or_name(layer_obj, "layer", technology.get(), layer))
        return nullptr;
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    std::vector<PathProfile> found = spec->profiles_on(layer);
    if (found.empty()) Py_RETURN_NONE;
    if (found.size() == 1)
        return Py_BuildValue("(dd)", from_db(found[0].width), from_db(found[0].offset));
    Ref widths(PyList_New(Py_ssize_t(found.size())));
    Ref offsets(PyList_New(Py_ssize_t(found.size())));
    if (!widths || !offsets) return nullptr;
    for (size_t i = 0; i < found.size(); ++i) {
        PyObject* width = length(found[i].width);
        PyObject* offset = length(found[i].offset);
        if (!width || !offset) return Py_XDECREF(width), Py_XDECREF(offset), nullptr;
        PyList_SET_ITEM(widths.get(), Py_ssize_t(i), width);
        PyList_SET_ITEM(offsets.get(), Py_ssize_t(i), offset);
    }
    return PyTuple_Pack(2, widths.get(), offsets.get());
}

PyObject* method_get_paths(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"origin", "scale_width", nullptr};
    PyObject* origin_obj = nullptr;
    int scale_width = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|p:get_paths", (char**)keywords, &origin_obj,
                                     &scale_width))
        return nullptr;
    Vector origin;
    if (!to_point(origin_obj, "origin", origin, true)) return nullptr;
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    try {
        auto paths = spec->paths(origin, scale_width != 0);
        Ref list(PyList_New(Py_ssize_t(paths.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < paths.size(); ++i) {
            Ref layer(layer_tuple(paths[i].first));
            Ref path(wrap(paths[i].second));
            if (!layer || !path) return nullptr;
            PyObject* pair = PyTuple_Pack(2, layer.get(), path.get());
            if (!pair) return nullptr;
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair);
        }
        return list.release();
    }
    WHISTLE_CATCH(nullptr)
}

PyObject* method_target_neff(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"frequencies", "technology", nullptr};
    PyObject *frequencies_obj = nullptr, *technology_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:_target_neff", (char**)keywords,
                                     &frequencies_obj, &technology_obj))
        return nullptr;
    std::vector<double> frequencies;
    std::shared_ptr<Technology> technology;
    if (!to_numbers(frequencies_obj, "frequencies", frequencies) ||
        !to_technology(technology_obj, technology))
        return nullptr;
    auto spec = unwrap<PortSpec>(self);
    if (!spec) return nullptr;
    if (spec->target_neff()) return PyFloat_FromDouble(*spec->target_neff());
    if (frequencies.empty()) {
        PyErr_SetString(PyExc_ValueError, "Argument 'frequencies' cannot be empty.");
        return nullptr;
    }
    std::vector<std::shared_ptr<BaseType>> media;
    try {
        media = technology->media_within(spec->limits(), frequency_classification(frequencies));
    }
    WHISTLE_CATCH(nullptr)
    Ref frequency_array(vector_array(frequencies));
    if (!frequency_array) return nullptr;
    double largest = 1.0;
    for (const auto& holder : media) {
        Ref medium(medium_object(holder));
        if (!medium || !max_permittivity(medium.get(), frequency_array.get(), largest))
            return nullptr;
    }
    return PyFloat_FromDouble(std::sqrt(largest));
}

PyMethodDef port_spec_methods[] = {
    {"symmetric", method_symmetric, METH_NOARGS,
     "symmetric()\n\nTrue when every profile has its mirror image across the port axis."},
    {"inverted", method_inverted, METH_NOARGS,
     "inverted()\n\nThis specification with every profile offset negated (itself when "
     "symmetric)."},
    {"_is_1D", method_is_1d, METH_NOARGS, "_is_1D()\n\nTrue when both limits are equal."},
    WHISTLE_KEYWORD_METHOD("profile_matches", method_profile_matches,
                           "profile_matches(port_spec)\n\nSame limits, classification and "
                           "profiles within the wider port."),
    WHISTLE_KEYWORD_METHOD("combined_with", method_combined_with,
                           "combined_with(port_spec, offset=0)\n\nA copy with the other "
                           "specification's profiles added, moved by offset."),
    {"path_profiles_list", method_path_profiles_list, METH_NOARGS,
     "path_profiles_list()\n\nThe profiles as (width, offset, layer) tuples."},
    WHISTLE_KEYWORD_METHOD("path_profile_for", method_path_profile_for,
                           "path_profile_for(layer, technology=None)\n\n(width, offset) of the "
                           "profile on a layer, or lists of both for several."),
    WHISTLE_KEYWORD_METHOD("get_paths", method_get_paths,
                           "get_paths(origin, scale_width=True)\n\n(layer, Path) pairs, one "
                           "per profile, starting at origin."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d", port_spec_to_mode_solver,
                           "to_fenn3d(frequencies, mesh_refinement=None, group_index=False, "
                           "technology=None)\n\nMode solver of a port of this port spec at "
                           "the origin, facing +x."),
    WHISTLE_KEYWORD_METHOD("to_fenn3d_impedance_calculator", port_spec_to_impedance_calculator,
                           WHISTLE_IMPEDANCE_DOC),
    WHISTLE_KEYWORD_METHOD("_target_neff", method_target_neff,
                           "_target_neff(frequencies, technology=None)\n\nThe target effective "
                           "index, or the largest index of the media within the limits."),
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef port_spec_getset[] = {
    WHISTLE_ATTRIBUTE(description, "str: Description."),
    WHISTLE_ATTRIBUTE(width, "float: Port width."),
    WHISTLE_ATTRIBUTE(limits, "tuple: Lower and upper out-of-plane limits."),
    WHISTLE_ATTRIBUTE(default_radius, "float: Default bend radius for routes."),
    WHISTLE_ATTRIBUTE(num_modes, "int: Number of modes."),
    WHISTLE_ATTRIBUTE(added_solver_modes, "int: Extra modes for mode solving."),
    WHISTLE_ATTRIBUTE(polarization, "str or None: 'TE', 'TM' or None."),
    WHISTLE_ATTRIBUTE(target_neff, "float or None: Effective index hint for mode solving."),
    WHISTLE_ATTRIBUTE(path_profiles, "dict or list: Profiles (width, offset, layer)."),
    WHISTLE_ATTRIBUTE(voltage_path, "numpy.ndarray or None: Voltage integration path."),
    WHISTLE_ATTRIBUTE(current_path,
                        "numpy.ndarray, structure or None: Current integration contour."),
    WHISTLE_ATTRIBUTE(impedance, "Interpolator or None: Impedance over frequency."),
    {"classification", get_classification, nullptr, "str: 'optical' or 'electrical'.", nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject port_spec_type = wrapper_type(
    "tarnwhistle.PortSpec",
    "PortSpec(description, width, limits, num_modes=1, polarization=None, target_neff=None, "
    "path_profiles=(), added_solver_modes=0, voltage_path=None, current_path=None, "
    "default_radius=0, impedance=None)\n\nCross-section template of a port.",
    port_spec_init, port_spec_methods, port_spec_getset);

}  // namespace

PyTypeObject* PortSpec_type() { return register_exposed_type(TypeCode::PortSpec, &port_spec_type); }

}  // namespace whistle::py
