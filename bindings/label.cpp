// `Label`: a text annotation with an anchor, transformed like a structure.
#include "core/geometry/label.hpp"

#include <cstring>

#include "structure.hpp"
#include "svg.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

bool to_anchor(const char* name, Anchor& out) {
    if (std::optional<Anchor> anchor = anchor_from_name(name)) {
        out = *anchor;
        return true;
    }
    PyErr_SetString(PyExc_ValueError,
                    "Argument 'anchor' must be one of 'NW', 'N', 'NE', 'W', 'O', 'E', 'SW', 'S', 'SE'.");
    return false;
}

// The UTF-8 text of a str attribute value, or null with TypeError. Embedded null characters
// are refused, as the constructor's parser does.
const char* text_value(PyObject* value, const char* name) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' must be a string.", name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text && std::strlen(text) != size_t(size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return text;
}

int label_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"text",     "origin",  "anchor", "rotation",
                                     "scaling", "x_reflection", nullptr};
    const char* text = "";
    PyObject* origin_obj = nullptr;
    const char* anchor_text = "NW";
    double rotation = 0, scaling = 1;
    int x_reflection = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|sOsddp:Label", (char**)keywords, &text,
                                     &origin_obj, &anchor_text, &rotation, &scaling, &x_reflection))
        return -1;
    Vector origin;
    Anchor anchor = Anchor::NW;
    if (!to_point(origin_obj, "origin", origin) || !to_anchor(anchor_text, anchor) ||
        !check_finite(rotation, "rotation") || !check_finite(scaling, "scaling"))
        return -1;
    try {
        install(self, std::make_shared<Label>(text, origin, anchor, rotation, scaling,
                                              x_reflection != 0));
        return 0;
    }
    WHISTLE_CATCH(-1)
}

PyObject* get_text(PyObject* self, void*) {
    std::shared_ptr<Label> label = unwrap<Label>(self);
    if (!label) return nullptr;
    return PyUnicode_FromStringAndSize(label->text().data(), Py_ssize_t(label->text().size()));
}

int set_text(PyObject* self, PyObject* value, void*) {
    const char* text = text_value(value, "text");
    if (!text) return -1;
    return modify<Label>(self, [&](Label& label) { label.set_text(text); }) ? 0 : -1;
}

PyObject* get_anchor(PyObject* self, void*) {
    std::shared_ptr<Label> label = unwrap<Label>(self);
    if (!label) return nullptr;
    std::string_view name = anchor_name(label->anchor());
    return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

int set_anchor(PyObject* self, PyObject* value, void*) {
    const char* text = text_value(value, "anchor");
    Anchor anchor = Anchor::NW;
    if (!text || !to_anchor(text, anchor)) return -1;
    return modify<Label>(self, [&](Label& label) { label.set_anchor(anchor); }) ? 0 : -1;
}

PyObject* get_x_reflection(PyObject* self, void*) {
    std::shared_ptr<Label> label = unwrap<Label>(self);
    return label ? PyBool_FromLong(label->x_reflection()) : nullptr;
}

int set_x_reflection(PyObject* self, PyObject* value, void*) {
    int flag = check_not_deleted(value, "x_reflection") ? PyObject_IsTrue(value) : -1;
    if (flag < 0) return -1;
    return modify<Label>(self, [&](Label& label) { label.set_x_reflection(flag != 0); }) ? 0 : -1;
}

PyMethodDef label_methods[] = {
    WHISTLE_PLACEMENT_METHODS(whistle::Label),
    WHISTLE_SVG_METHOD(Label, Label, label_svg),
    WHISTLE_ADD_GDS_PROPERTY_METHOD,
    WHISTLE_COPY_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef label_getset[] = {
    {"text", get_text, set_text, "str: Label text.", nullptr},
    WHISTLE_POINT_ATTRIBUTE(Label, origin, "numpy.ndarray: Label origin."),
    {"anchor", get_anchor, set_anchor,
     "str: Text anchor, one of 'NW', 'N', 'NE', 'W', 'O', 'E', 'SW', 'S', 'SE'.", nullptr},
    WHISTLE_NUMBER_ATTRIBUTE(Label, rotation, "float: Text rotation (degrees)."),
    WHISTLE_NUMBER_ATTRIBUTE(Label, scaling, "float: Text magnification."),
    {"x_reflection", get_x_reflection, set_x_reflection, "bool: Mirror across the x axis.",
     nullptr},
    WHISTLE_BASE_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject label_type = wrapper_type(
    "tarnwhistle.Label",
    "Label(text='', origin=(0, 0), anchor='NW', rotation=0, scaling=1, x_reflection=False)\n\n"
    "Text label.",
    label_init, label_methods, label_getset);

}  // namespace

PyTypeObject* Label_type() {
    return register_exposed_type(TypeCode::Label, &label_type);
}

}  // namespace whistle::py
