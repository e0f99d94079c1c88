// `LayerSpec`: a named layer's display colour and pattern and its electrical and rule data.
#include <cmath>
#include <cstring>

#include "core/model/technology.hpp"
#include "model.hpp"
#include "structure.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "RGB", "RGBA", "RRGGBB" or "RRGGBBAA", optionally after '#'; one digit d stands for d × 17.
bool color_from_hex(const char* text, Color& out) {
    size_t start = text[0] == '#' ? 1 : 0;
    size_t digits = std::strlen(text) - start;
    if (digits != 3 && digits != 4 && digits != 6 && digits != 8) {
        PyErr_SetString(PyExc_ValueError,
                        "String length invalid: 'color' format must match one of 'RGB', 'RGBA', "
                        "'RRGGBB', or 'RRGGBBAA' (3, 4, 6 or 8 hexadecimal digits) with an optional "
                        "'#' prefix.");
        return false;
    }
    for (size_t i = start; text[i]; ++i)
        if (hex_digit(text[i]) < 0) {
            PyErr_Format(PyExc_ValueError,
                         "Character 'color[%d]' is not a valid hexadecimal digit (0-9, a-f, A-F).",
                         int(i));
            return false;
        }
    const size_t width = digits <= 4 ? 1 : 2;
    uint8_t channels[4] = {0, 0, 0, 255};
    for (size_t c = 0; c < digits / width; ++c) {
        const char* d = text + start + c * width;
        channels[c] = uint8_t(width == 1 ? hex_digit(d[0]) * 17 : hex_digit(d[0]) * 16 + hex_digit(d[1]));
    }
    out = {channels[0], channels[1], channels[2], channels[3]};
    return true;
}

bool color_from_tuple(PyObject* value, Color& out) {
    Ref items(sequence_items(value));
    if (!items) return false;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    if (count != 3 && count != 4) {
        PyErr_SetString(PyExc_ValueError, "Tuple 'color' must have 3 (RGB) of 4 (RGBA) color components.");
        return false;
    }
    int channels[4] = {0, 0, 0, 255};
    for (Py_ssize_t i = 0; i < count; ++i) {
        long v = PyLong_AsLong(PyTuple_GET_ITEM(items.get(), i));
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > 255) {
            PyErr_Format(PyExc_ValueError, "Component 'color[%d]' outside valid range [0-255].", int(i));
            return false;
        }
        channels[i] = int(v);
    }
    out = {uint8_t(channels[0]), uint8_t(channels[1]), uint8_t(channels[2]), uint8_t(channels[3])};
    return true;
}

// None and colour names derive the colour from the layer.
bool to_color(PyObject* value, Layer layer, Color& out) {
    if (!value || value == Py_None) {
        out = LayerSpec::derived_color(layer, -1);
        return true;
    }
    if (PyUnicode_Check(value)) {
        const char* text = PyUnicode_AsUTF8(value);
        if (!text) return false;
        if (int hue = LayerSpec::hue_index(text); hue >= 0) {
            out = LayerSpec::derived_color(layer, hue);
            return true;
        }
        return color_from_hex(text, out);
    }
    if (PySequence_Check(value) && !PyBytes_Check(value)) return color_from_tuple(value, out);
    PyErr_SetString(PyExc_TypeError, "Argument 'color' must be a color string or tuple.");
    return false;
}

// The empty name (constructor only) derives the pattern from the layer.
bool to_pattern(PyObject* value, Layer layer, bool allow_empty, int& out) {
    const char* text = value && PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    if (text && allow_empty && !*text) {
        out = LayerSpec::derived_pattern(layer);
        return true;
    }
    out = text ? LayerSpec::pattern_index(text) : -1;
    if (out >= 0) return true;
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError,
                    allow_empty
                        ? "Argument 'pattern' must be one of 'solid', 'hollow', '', '\\', '/', '//', "
                          "'|', '||', '-', '=', 'x', 'xx', '+', '++', '.', or ':'."
                        : "Argument 'pattern' must be one of 'solid', 'hollow', '\\', '\\\\', '/', "
                          "'//', '-', '=', 'x', 'xx', '+', '++', '.', or ':'.");
    return false;
}

// None, or a finite length that is not negative.
bool to_rule_length(PyObject* value, const char* name, std::optional<Coord>& out) {
    if (!value || value == Py_None) {
        out.reset();
        return true;
    }
    double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) PyErr_Clear();
    else if (std::isfinite(v) && v >= 0 && has_units(v)) {
        out = to_db(v);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "Argument '%s' must be a finite, non-negative length.", name);
    return false;
}

int layer_spec_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"layer",      "description", "color",     "pattern",
                                     "conductive", "device_marker", "min_width", "min_spacing",
                                     nullptr};
    PyObject *layer_obj = nullptr, *description_obj = nullptr, *color_obj = Py_None,
             *pattern_obj = nullptr, *min_width_obj = Py_None, *min_spacing_obj = Py_None;
    int conductive = 0, device_marker = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OO$ppOO:LayerSpec", (char**)keywords,
                                     &layer_obj, &description_obj, &color_obj, &pattern_obj,
                                     &conductive, &device_marker, &min_width_obj, &min_spacing_obj))
        return -1;
    Layer layer;
    std::string description;
    Color color;
    int pattern = 0;
    std::optional<Coord> min_width, min_spacing;
    Ref empty(PyUnicode_FromString(""));
    if (!to_layer(layer_obj, "layer", layer) || !to_text(description_obj, "description", description) ||
        !to_color(color_obj, layer, color) ||
        !to_pattern(pattern_obj ? pattern_obj : empty.get(), layer, true, pattern) ||
        !to_rule_length(min_width_obj, "min_width", min_width) ||
        !to_rule_length(min_spacing_obj, "min_spacing", min_spacing))
        return -1;
    auto spec = std::make_shared<LayerSpec>(layer, std::move(description), color, pattern);
    spec->set_conductive(conductive);
    spec->set_device_marker(device_marker);
    spec->set_min_width(min_width);
    spec->set_min_spacing(min_spacing);
    install(self, std::move(spec));
    return 0;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* get_layer(PyObject* self, void*) {
    auto spec = unwrap<LayerSpec>(self);
    return spec ? layer_tuple(spec->layer()) : nullptr;
}

int set_layer(PyObject* self, PyObject* value, void*) {
    Layer layer;
    if (!check_not_deleted(value, "layer") || !to_layer(value, "layer", layer)) return -1;
    return modify<LayerSpec>(self, [&](LayerSpec& s) { s.set_layer(layer); }) ? 0 : -1;
}

PyObject* get_description(PyObject* self, void*) {
    auto spec = unwrap<LayerSpec>(self);
    return spec ? text_object(spec->description()) : nullptr;
}

int set_description(PyObject* self, PyObject* value, void*) {
    std::string text;
    if (!check_not_deleted(value, "description") || !to_text(value, "description", text)) return -1;
    return modify<LayerSpec>(self, [&](LayerSpec& s) { s.set_description(std::move(text)); }) ? 0 : -1;
}

PyObject* get_color(PyObject* self, void*) {
    auto spec = unwrap<LayerSpec>(self);
    return spec ? PyUnicode_FromString(color_text(spec->color()).c_str()) : nullptr;
}

int set_color(PyObject* self, PyObject* value, void*) {
    auto spec = unwrap<LayerSpec>(self);
    Color color;
    if (!spec || !check_not_deleted(value, "color") || !to_color(value, spec->layer(), color)) return -1;
    return modify<LayerSpec>(self, [&](LayerSpec& s) { s.set_color(color); }) ? 0 : -1;
}

PyObject* get_pattern(PyObject* self, void*) {
    auto spec = unwrap<LayerSpec>(self);
    return spec ? PyUnicode_FromString(LayerSpec::pattern_name(spec->pattern())) : nullptr;
}

int set_pattern(PyObject* self, PyObject* value, void*) {
    int pattern = 0;
    if (!check_not_deleted(value, "pattern") || !to_pattern(value, {}, false, pattern)) return -1;
    return modify<LayerSpec>(self, [&](LayerSpec& s) { s.set_pattern(pattern); }) ? 0 : -1;
}

template <bool (LayerSpec::*Get)() const, void (LayerSpec::*Set)(bool)>
PyObject* get_flag(PyObject* self, void*) {
    auto spec = unwrap<LayerSpec>(self);
    return spec ? PyBool_FromLong(((*spec).*Get)()) : nullptr;
}

template <bool (LayerSpec::*Get)() const, void (LayerSpec::*Set)(bool)>
int set_flag(PyObject* self, PyObject* value, void* name) {
    if (!check_not_deleted(value, static_cast<const char*>(name))) return -1;
    int flag = PyObject_IsTrue(value);
    if (flag < 0) return -1;
    return modify<LayerSpec>(self, [&](LayerSpec& s) { (s.*Set)(flag != 0); }) ? 0 : -1;
}

template <const std::optional<Coord>& (LayerSpec::*Get)() const,
          void (LayerSpec::*Set)(std::optional<Coord>)>
PyObject* get_rule(PyObject* self, void*) {
    auto spec = unwrap<LayerSpec>(self);
    if (!spec) return nullptr;
    const std::optional<Coord>& value = ((*spec).*Get)();
    if (!value) Py_RETURN_NONE;
    return length(*value);
}

template <const std::optional<Coord>& (LayerSpec::*Get)() const,
          void (LayerSpec::*Set)(std::optional<Coord>)>
int set_rule(PyObject* self, PyObject* value, void* name) {
    std::optional<Coord> rule;
    if (!to_rule_length(value, static_cast<const char*>(name), rule)) return -1;
    return modify<LayerSpec>(self, [&](LayerSpec& s) { (s.*Set)(rule); }) ? 0 : -1;
}

#define FLAG(name, doc)                                                                          \
    {#name, get_flag<&LayerSpec::name, &LayerSpec::set_##name>,                                 \
     set_flag<&LayerSpec::name, &LayerSpec::set_##name>, doc, const_cast<char*>(#name)}
#define RULE(name, doc)                                                                          \
    {#name, get_rule<&LayerSpec::name, &LayerSpec::set_##name>,                                 \
     set_rule<&LayerSpec::name, &LayerSpec::set_##name>, doc, const_cast<char*>(#name)}

PyGetSetDef layer_spec_getset[] = {
    {"layer", get_layer, set_layer, "tuple[int, int]: Layer number and datatype.", nullptr},
    {"description", get_description, set_description, "str: Description of the layer.", nullptr},
    {"color", get_color, set_color,
     "str: Display colour '#rrggbbaa'; accepts colour names, hexadecimal strings and RGB(A) tuples.",
     nullptr},
    {"pattern", get_pattern, set_pattern, "str: Display hatch pattern.", nullptr},
    FLAG(conductive, "bool: The layer carries current in electrical extraction."),
    FLAG(device_marker, "bool: Geometry on this layer removes conductors beneath it in extraction."),
    RULE(min_width, "float | None: Minimum feature width."),
    RULE(min_spacing, "float | None: Minimum clearance between features."),
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef FLAG
#undef RULE

PyMethodDef layer_spec_methods[] = {
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject layer_spec_type = wrapper_type(
    "tarnwhistle.LayerSpec",
    "LayerSpec(layer, description, color=None, pattern=\"\", *, conductive=False, "
    "device_marker=False, min_width=None, min_spacing=None)\n\n"
    "Layer specification: display colour and hatch pattern, conductivity and design rules.\n\n"
    "Without a colour (or with a colour name such as 'blue'), the colour is derived from the "
    "layer; an empty pattern picks a hatched pattern from the layer.",
    layer_spec_init, layer_spec_methods, layer_spec_getset);

}  // namespace

PyTypeObject* LayerSpec_type() {
    return register_exposed_type(TypeCode::LayerSpec, &layer_spec_type);
}

}  // namespace whistle::py
