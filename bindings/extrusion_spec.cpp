// `ExtrusionSpec`: the solid made from a mask between two heights, in one medium.
#include <cmath>
#include <cstring>

#include "core/model/technology.hpp"
#include "extrusion.hpp"
#include "model.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// A mask object (shared, not copied) or, where accepted, a layer wrapped into a leaf mask.
bool to_mask(PyObject* value, bool accept_layer, std::shared_ptr<MaskSpec>& out) {
    if (value && is_instance(value, TypeCode::MaskSpec)) {
        out = unwrap<MaskSpec>(value);
        return out != nullptr;
    }
    Layer layer;
    if (accept_layer && value && (PyUnicode_Check(value) || PySequence_Check(value))) {
        if (!to_layer_or_name(value, "mask_spec", nullptr, layer)) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // unknown layer name
            PyErr_Clear();
        } else {
            out = std::make_shared<MaskSpec>(layer);
            return true;
        }
    }
    PyErr_SetString(PyExc_TypeError,
                    accept_layer
                        ? "Argument 'mask_spec' must be either a layer tuple or an instance of MaskSpec."
                        : "Argument 'mask_spec' must be an instance of MaskSpec.");
    return false;
}

bool to_limits(PyObject* value, std::array<Coord, 2>& out) {
    Vector limits;
    if (!to_point(value, "limits", limits, true)) return false;
    if (limits.x >= limits.y) {
        PyErr_SetString(PyExc_ValueError,
                        "Inconsistent extrusion limits: 'limits[0]' must be less than 'limits[1]'.");
        return false;
    }
    out = {limits.x, limits.y};
    return true;
}

// A height, or a plane name resolved with the given limits.
bool to_reference(PyObject* value, const std::array<Coord, 2>& limits, Coord& out) {
    using Name = ExtrusionSpec::ReferenceName;
    if (value && PyUnicode_Check(value)) {
        const char* text = PyUnicode_AsUTF8(value);
        if (!text) return false;
        for (auto [name, label] : {std::pair{Name::Top, "top"}, std::pair{Name::Middle, "middle"},
                                   std::pair{Name::Bottom, "bottom"}})
            if (std::strcmp(text, label) == 0) {
                out = ExtrusionSpec::reference_plane(name, limits);
                return true;
            }
    } else if (value && PyNumber_Check(value)) {
        double height = PyFloat_AsDouble(value);
        if (height == -1.0 && PyErr_Occurred()) return false;
        return to_length(height, "reference", out);
    }
    PyErr_SetString(PyExc_ValueError,
                    "Argument 'reference' must be a coordinate value or one of 'top', 'middle', or "
                    "'bottom'.");
    return false;
}

int extrusion_spec_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"mask_spec", "medium", "limits", "sidewall_angle", "reference",
                                     nullptr};
    PyObject *mask_obj = nullptr, *medium_obj = nullptr, *limits_obj = nullptr,
             *reference_obj = nullptr;
    double sidewall_angle = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO|dO:ExtrusionSpec", (char**)keywords,
                                     &mask_obj, &medium_obj, &limits_obj, &sidewall_angle,
                                     &reference_obj))
        return -1;
    std::shared_ptr<MaskSpec> mask;
    Medium medium;
    std::array<Coord, 2> limits;
    Coord reference = 0;
    Ref top(PyUnicode_FromString("top"));
    if (!to_mask(mask_obj, true, mask) || !to_medium(medium_obj, "medium", medium) ||
        !to_limits(limits_obj, limits) || !check_finite(sidewall_angle, "sidewall_angle") ||
        !to_reference(reference_obj ? reference_obj : top.get(), limits, reference))
        return -1;
    install(self, std::make_shared<ExtrusionSpec>(std::move(mask), std::move(medium), limits,
                                                  sidewall_angle, reference));
    return 0;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_mask_spec(PyObject* self, void*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    return spec ? wrap(spec->mask_spec()) : nullptr;
}

int set_mask_spec(PyObject* self, PyObject* value, void*) {
    std::shared_ptr<MaskSpec> mask;
    if (!check_not_deleted(value, "mask_spec") || !to_mask(value, false, mask)) return -1;
    return modify<ExtrusionSpec>(self, [&](ExtrusionSpec& s) { s.set_mask_spec(mask); }) ? 0 : -1;
}

PyObject* get_medium(PyObject* self, void*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    return spec ? medium_value(spec->medium()) : nullptr;
}

int set_medium(PyObject* self, PyObject* value, void*) {
    Medium medium;
    if (!check_not_deleted(value, "medium") || !to_medium(value, "medium", medium)) return -1;
    return modify<ExtrusionSpec>(self, [&](ExtrusionSpec& s) { s.set_medium(medium); }) ? 0 : -1;
}

PyObject* get_limits(PyObject* self, void*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    return spec ? Py_BuildValue("(dd)", from_db(spec->limits()[0]), from_db(spec->limits()[1]))
                : nullptr;
}

int set_limits(PyObject* self, PyObject* value, void*) {
    std::array<Coord, 2> limits;
    if (!check_not_deleted(value, "limits") || !to_limits(value, limits)) return -1;
    return modify<ExtrusionSpec>(self, [&](ExtrusionSpec& s) { s.set_limits(limits); }) ? 0 : -1;
}

PyObject* get_sidewall_angle(PyObject* self, void*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    return spec ? PyFloat_FromDouble(spec->sidewall_angle()) : nullptr;
}

int set_sidewall_angle(PyObject* self, PyObject* value, void*) {
    double angle = 0;
    if (!to_number(value, "sidewall_angle", angle) || !check_finite(angle, "sidewall_angle")) return -1;
    return modify<ExtrusionSpec>(self, [&](ExtrusionSpec& s) { s.set_sidewall_angle(angle); }) ? 0 : -1;
}

PyObject* get_reference(PyObject* self, void*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    return spec ? length(spec->reference()) : nullptr;
}

int set_reference(PyObject* self, PyObject* value, void*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    if (!spec || !check_not_deleted(value, "reference")) return -1;
    // Plane names resolve against the limits at the time of the call.
    Coord reference = 0;
    if (!to_reference(value, spec->limits(), reference)) return -1;
    return modify<ExtrusionSpec>(self, [&](ExtrusionSpec& s) { s.set_reference(reference); }) ? 0 : -1;
}

PyGetSetDef extrusion_spec_getset[] = {
    {"mask_spec", get_mask_spec, set_mask_spec, "MaskSpec: Region of the layout that is extruded.",
     nullptr},
    {"medium", get_medium, set_medium,
     "Medium of the solids: one medium, or a dict with 'optical' and 'electrical' media.", nullptr},
    {"limits", get_limits, set_limits, "tuple[float, float]: Lower and upper extrusion limits.",
     nullptr},
    {"sidewall_angle", get_sidewall_angle, set_sidewall_angle,
     "float: Sidewall angle (degrees); positive values widen the bottom.", nullptr},
    {"reference", get_reference, set_reference,
     "float: Plane where the mask is taken as drawn; 'top', 'middle' or 'bottom' set it from the "
     "current limits.",
     nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Methods ---------------------------------------------------------------------------

PyObject* method_get_medium(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"classification", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:get_medium", (char**)keywords, &value))
        return nullptr;
    auto spec = unwrap<ExtrusionSpec>(self);
    return spec ? classified_medium(spec->medium(), value) : nullptr;
}

PyObject* method_mask_layers(PyObject* self, PyObject*) {
    auto spec = unwrap<ExtrusionSpec>(self);
    if (!spec) return nullptr;
    return layer_set(spec->mask_spec() ? spec->mask_spec()->layers() : std::set<Layer>{});
}

PyMethodDef extrusion_spec_methods[] = {
    WHISTLE_DEPTH_COPY_METHODS(ExtrusionSpec,
        "copy(deep=False)\n\nCopy of this extrusion spec; a deep copy also copies the mask."),
    {"get_medium", (PyCFunction)(void (*)(void))method_get_medium, METH_VARARGS | METH_KEYWORDS,
     "get_medium(classification)\n\nMedium for 'optical' or 'electrical' frequencies."},
    {"mask_layers", (PyCFunction)method_mask_layers, METH_NOARGS,
     "mask_layers()\n\nSet of the layers named by the mask."},
    WHISTLE_KEYWORD_METHOD("extrude", extrusion_spec_extrude,
        "extrude(*structures, extrusion_tolerance=0, classification=\"optical\")\n\nSolids of "
        "the given planar structures (or iterables of them) by this extrusion spec's limits, "
        "sidewall profile and medium; the mask is not applied."),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject extrusion_spec_type = wrapper_type(
    "tarnwhistle.ExtrusionSpec",
    "ExtrusionSpec(mask_spec, medium, limits, sidewall_angle=0, reference=\"top\")\n\n"
    "Extrusion of a mask (or a layer) between two heights, in one medium, with an optional "
    "sidewall angle about a reference plane.",
    extrusion_spec_init, extrusion_spec_methods, extrusion_spec_getset);

}  // namespace

PyTypeObject* ExtrusionSpec_type() {
    return register_exposed_type(TypeCode::ExtrusionSpec, &extrusion_spec_type);
}

}  // namespace whistle::py
