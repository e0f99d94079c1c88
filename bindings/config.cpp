// The `config` object: every attribute reads and writes the core configuration.
#include <cmath>

#include "common.hpp"
#include "core/foundation/config.hpp"
#include "core/model/technology.hpp"
#include "interpreter_objects.hpp"
#include "model.hpp"

namespace whistle::py {

namespace {

struct ConfigObject {
    PyObject_HEAD
};

PyObject* settings_call(const char* function, PyObject* args) {
    Ref module(PyImport_ImportModule("tarnwhistle._config"));
    if (!module) return nullptr;
    Ref callable(PyObject_GetAttrString(module.get(), function));
    if (!callable) return nullptr;
    return PyObject_CallObject(callable.get(), args);
}

}  // namespace

PyObject* get_setting(const char* name) {
    Ref args(Py_BuildValue("(s)", name));
    return args ? settings_call("get_setting", args.get()) : nullptr;
}

namespace {

int set_setting(const char* name, PyObject* value) {
    Ref args(Py_BuildValue("(sO)", name, value));
    if (!args) return -1;
    Ref result(settings_call("set_setting", args.get()));
    return result ? 0 : -1;
}

PyObject* dict_of(const std::shared_ptr<BaseType>& holder) {
    PyObject* dict = holder ? static_cast<PyNative*>(holder.get())->value() : Py_None;
    Py_INCREF(dict);
    return dict;
}

int set_dict(std::shared_ptr<BaseType>& holder, PyObject* value, const char* message) {
    if (!value || !PyDict_CheckExact(value)) {
        PyErr_SetString(PyExc_RuntimeError, message);
        return -1;
    }
    holder = std::make_shared<PyNative>(TypeCode::Native, value);
    return 0;
}

// Grid and tolerance are stored as trunc(v × 100000 + 0.5).
bool config_length(PyObject* value, const char* name, Coord& out) {
    double v;
    if (!to_number(value, name, v) || !to_length(v, name, out)) return false;
    out = Coord(std::trunc(v * kUnitsPerMicron + 0.5));
    return true;
}

PyObject* get_grid(PyObject*, void*) { return length(config().grid); }

int set_grid(PyObject*, PyObject* value, void*) {
    Coord units;
    if (!config_length(value, "grid", units)) return -1;
    if (units < Config::kMinGrid) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning, "Grid value too small. Resetting to minimal value.", 1) < 0)
            return -1;
        units = Config::kMinGrid;
    }
    config().grid = units;
    return 0;
}

PyObject* get_tolerance(PyObject*, void*) { return length(config().tolerance); }

int set_tolerance(PyObject*, PyObject* value, void*) {
    Coord units;
    if (!config_length(value, "tolerance", units)) return -1;
    if (units <= 0) {
        PyErr_SetString(PyExc_ValueError,
                        "Tolerance must be a positive number after conversion. Please increase the "
                        "desired value.");
        return -1;
    }
    config().tolerance = units;
    return 0;
}

PyObject* get_mesh_refinement(PyObject*, void*) { return PyFloat_FromDouble(config().mesh_refinement); }

int set_mesh_refinement(PyObject*, PyObject* value, void*) {
    double refinement;
    if (!to_number(value, "default_mesh_refinement", refinement)) return -1;
    if (!(refinement > 0)) {
        PyErr_SetString(PyExc_RuntimeError, "The default mesh_refinement must be positive.");
        return -1;
    }
    config().mesh_refinement = refinement;
    return 0;
}

PyObject* get_default_technology(PyObject*, void*) {
    std::shared_ptr<Technology> technology = default_technology();
    return technology ? wrap(technology) : nullptr;
}

int set_default_technology(PyObject*, PyObject* value, void*) {
    if (!value || !is_instance(value, TypeCode::Technology)) {
        PyErr_SetString(PyExc_TypeError, "The default technology must be an instance of the Technology class.");
        return -1;
    }
    config().default_technology = unwrap_base(value);
    return 0;
}

PyObject* get_time_steppers(PyObject*, void*) { return dict_of(config().default_time_steppers); }
int set_time_steppers(PyObject*, PyObject* value, void*) {
    return set_dict(config().default_time_steppers, value, "'default_time_steppers' must be a dictionary.");
}

PyObject* get_kwargs(PyObject*, void*) { return dict_of(config().default_kwargs); }
int set_kwargs(PyObject*, PyObject* value, void*) {
    return set_dict(config().default_kwargs, value, "'default_kwargs' must be a dictionary.");
}

PyObject* get_reference_depth(PyObject*, void*) { return PyLong_FromLongLong(config().svg_reference_depth); }
int set_reference_depth(PyObject*, PyObject* value, void*) {
    long long depth = value ? PyLong_AsLongLong(value) : -1;
    if (!value || (depth == -1 && PyErr_Occurred())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "'svg_reference_depth' must be an integer.");
        return -1;
    }
    config().svg_reference_depth = depth;
    return 0;
}

PyObject* get_label_scaling(PyObject*, void*) { return PyFloat_FromDouble(config().svg_label_scaling); }
int set_label_scaling(PyObject*, PyObject* value, void*) {
    double scaling;
    if (!to_number(value, "svg_label_scaling", scaling)) return -1;
    config().svg_label_scaling = scaling == 0 ? -1.0 : scaling;
    return 0;
}

// Boolean flags of SVG output, addressed by member pointer.
using FlagMember = bool Config::*;

PyObject* get_flag(PyObject*, void* member) {
    return PyBool_FromLong(config().*(*static_cast<const FlagMember*>(member)));
}
int set_flag(PyObject*, PyObject* value, void* member) {
    bool flag;
    if (!to_strict_bool(value, flag)) return -1;
    config().*(*static_cast<const FlagMember*>(member)) = flag;
    return 0;
}

const FlagMember flag_members[] = {
    &Config::svg_reference_names, &Config::svg_reference_ports, &Config::svg_reference_port_names,
    &Config::svg_reference_labels, &Config::svg_ports, &Config::svg_port_names,
    &Config::svg_labels, &Config::svg_virtual_connections,
};

// Pass-through settings of the interpreter-side settings module.
enum SettingKind { kBoolSetting, kStringSetting, kEngineSetting };
struct Setting {
    const char* name;
    SettingKind kind;
};
Setting settings[] = {
    {"use_local_mode_solver", kBoolSetting},
    {"compile_circuit_time_steppers", kBoolSetting},
    {"klayout_executable", kStringSetting},
    {"calibre_executable", kStringSetting},
    {"default_drc_lvs_engine", kEngineSetting},
};

PyObject* get_passthrough(PyObject*, void* closure) {
    return get_setting(static_cast<Setting*>(closure)->name);
}

int set_passthrough(PyObject*, PyObject* value, void* closure) {
    const Setting& setting = *static_cast<Setting*>(closure);
    if (!value) value = Py_None;
    bool flag;
    if (setting.kind == kBoolSetting) {
        if (!to_strict_bool(value, flag)) return -1;
    } else if (value != Py_None) {
        if (!PyUnicode_Check(value)) {
            PyErr_SetString(PyExc_RuntimeError, "Expected a string or 'None'.");
            return -1;
        }
        if (setting.kind == kEngineSetting &&
            PyUnicode_CompareWithASCIIString(value, "klayout") != 0 &&
            PyUnicode_CompareWithASCIIString(value, "calibre") != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Expected an engine name or 'None'.");
            return -1;
        }
    }
    return set_setting(setting.name, value);
}

#define FLAG(name, index) {name, get_flag, set_flag, nullptr, (void*)&flag_members[index]}
#define SETTING(index) \
    {settings[index].name, get_passthrough, set_passthrough, nullptr, &settings[index]}

PyGetSetDef config_getset[] = {
    {"grid", get_grid, set_grid, "Snapping grid of 2D geometry.", nullptr},
    {"tolerance", get_tolerance, set_tolerance, "Discretization tolerance of curves.", nullptr},
    {"default_mesh_refinement", get_mesh_refinement, set_mesh_refinement,
     "Default mesh refinement of solver grids.", nullptr},
    {"default_technology", get_default_technology, set_default_technology,
     "Technology given to new components; the basic technology unless set.", nullptr},
    {"default_time_steppers", get_time_steppers, set_time_steppers, "Default time steppers.", nullptr},
    {"default_kwargs", get_kwargs, set_kwargs, "Default keyword arguments of parametric components.", nullptr},
    {"svg_reference_depth", get_reference_depth, set_reference_depth,
     "Depth of references drawn in full in SVG output.", nullptr},
    {"svg_label_scaling", get_label_scaling, set_label_scaling, "Label scaling in SVG output.", nullptr},
    FLAG("svg_reference_names", 0), FLAG("svg_reference_ports", 1), FLAG("svg_reference_port_names", 2),
    FLAG("svg_reference_labels", 3), FLAG("svg_ports", 4), FLAG("svg_port_names", 5),
    FLAG("svg_labels", 6), FLAG("svg_virtual_connections", 7),
    SETTING(0), SETTING(1), SETTING(2), SETTING(3), SETTING(4),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef FLAG
#undef SETTING

bool append_text(std::string& out, PyObject* obj) {
    Ref text(obj ? PyObject_Str(obj) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) return false;
    out += utf8;
    return true;
}

PyObject* config_str(PyObject*) {
    const Config& cfg = config();
    std::string text = "Current configuration:";
    Ref grid(get_grid(nullptr, nullptr)), tolerance(get_tolerance(nullptr, nullptr));
    Ref refinement(get_mesh_refinement(nullptr, nullptr));
    Ref steppers(dict_of(cfg.default_time_steppers)), kwargs(dict_of(cfg.default_kwargs));
    Ref local(get_setting("use_local_mode_solver")), compile(get_setting("compile_circuit_time_steppers"));
    text += "\n- grid: ";
    if (!append_text(text, grid.get())) return nullptr;
    text += "\n- tolerance: ";
    if (!append_text(text, tolerance.get())) return nullptr;
    text += "\n- default mesh refinement: ";
    if (!append_text(text, refinement.get())) return nullptr;
    text += "\n- default technology: ";
    text += cfg.default_technology ? cfg.default_technology->str(false) : "(unset)";
    text += "\n- default time steppers: ";
    if (!append_text(text, steppers.get())) return nullptr;
    text += "\n- default kwargs: ";
    if (!append_text(text, kwargs.get())) return nullptr;
    text += "\n- use local mode solver: ";
    if (!append_text(text, local.get())) return nullptr;
    text += "\n- compile circuit time steppers: ";
    if (!append_text(text, compile.get())) return nullptr;
    return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}

PyObject* config_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError,
                    "The config class cannot be instantiated. Use 'tarnwhistle.config' to control the "
                    "module configuration.");
    return nullptr;
}

PyTypeObject config_type = [] {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "tarnwhistle.Config";
    type.tp_doc = "Global configuration of the module.";
    type.tp_basicsize = sizeof(ConfigObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_new = config_new;
    type.tp_getset = config_getset;
    type.tp_str = config_str;
    type.tp_repr = config_str;
    return type;
}();

}  // namespace

PyObject* create_config_object() {
    if (PyType_Ready(&config_type) < 0) return nullptr;
    return PyType_GenericAlloc(&config_type, 0);
}

PyObject* default_kwarg(const char* key, const char* component_name, bool required) {
    // Owned while looking up: comparing keys may run interpreter code that replaces the dicts.
    Ref kwargs(Py_XNewRef(static_cast<PyNative*>(config().default_kwargs.get())->value()));
    if (kwargs && PyDict_Check(kwargs.get())) {
        if (component_name) {
            Ref entry(Py_XNewRef(PyDict_GetItemString(kwargs.get(), component_name)));
            if (entry && PyDict_Check(entry.get())) {
                if (PyObject* value = PyDict_GetItemString(entry.get(), key)) return Py_NewRef(value);
            }
        }
        if (PyObject* value = PyDict_GetItemString(kwargs.get(), key)) return Py_NewRef(value);
    }
    if (!required) return nullptr;
    if (component_name)
        PyErr_Format(PyExc_RuntimeError,
                     "Please set 'config.default_kwargs[\"%s\"][\"%s\"]' or "
                     "'config.default_kwargs[\"%s\"]' before trying to use it.",
                     component_name, key, key);
    else
        PyErr_Format(PyExc_RuntimeError,
                     "Please set 'config.default_kwargs[\"%s\"]' before trying to use it.", key);
    return nullptr;
}

}  // namespace whistle::py
