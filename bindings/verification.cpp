// Design-rule and layout-versus-schematic checks: drc_check, lvs_check, load_drc_results,
// load_lvs_results and the engine look-ups. The core runs the checks; this file converts the
// arguments, prepares components for export and hands the findings to the result classes of
// tarnwhistle.verification.
#include <cmath>

#include "circuit_values.hpp"
#include "common.hpp"
#include "component.hpp"
#include "types.hpp"

#include "core/verification/check.hpp"

namespace whistle::py {

namespace {

// Dumps nest a handful of levels; anything deeper is not a dump.
constexpr int kMaxDumpDepth = 64;

PyObject* verification_attribute(const char* name) {
    Ref module(PyImport_ImportModule("tarnwhistle.verification"));
    return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

// The UTF-8 bytes of a str (unpaired surrogates replaced) or the bytes of a bytes object.
bool to_output_text(PyObject* obj, std::string& out) {
    if (PyBytes_Check(obj)) {
        out.assign(PyBytes_AS_STRING(obj), size_t(PyBytes_GET_SIZE(obj)));
        return true;
    }
    if (!PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "_run_process must return (exit code, output text).");
        return false;
    }
    Ref bytes(PyUnicode_AsEncodedString(obj, "utf-8", "replace"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), size_t(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

PyObject* path_object(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()));
}

// Runs programs through tarnwhistle.verification._run_process, which shows progress and
// enforces the timeout (raising TimeoutError).
class InterpreterRunner : public ProcessRunner {
public:
    ProcessResult run(const std::vector<std::string>& argv, const std::string& label,
                      std::optional<double> timeout, bool show_progress) override {
        Ref run_process(verification_attribute("_run_process"));
        Ref arguments(run_process ? new_list(argv.size(), [&](size_t i) { return path_object(argv[i]); })
                                  : nullptr);
        Ref timeout_obj(arguments ? (timeout ? PyFloat_FromDouble(*timeout) : Py_NewRef(Py_None)) : nullptr);
        Ref result(timeout_obj ? PyObject_CallFunction(run_process.get(), "Os#OOO", arguments.get(), label.data(),
                                                       Py_ssize_t(label.size()), Py_None, timeout_obj.get(),
                                                       show_progress ? Py_True : Py_False)
                               : nullptr);
        ProcessResult out;
        PyObject* output = nullptr;
        if (!result || !PyArg_ParseTuple(result.get(), "iO:_run_process", &out.exit_code, &output) ||
            !to_output_text(output, out.output))
            throw InterpreterError();
        return out;
    }
};

bool to_text(PyObject* obj, const char* message, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (!text) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    out.assign(text, size_t(size));
    return true;
}

bool to_optional_text(PyObject* obj, const char* message, std::optional<std::string>& out) {
    return obj == Py_None || to_text(obj, message, out.emplace());
}

// A path, with `message` (TypeError) for objects that are not one.
bool to_path(PyObject* obj, const char* message, std::string& out) {
    if (to_file_name(obj, out)) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, message);
    }
    return false;
}

// A component or a path.
bool to_component_or_path(PyObject* obj, const char* message, std::shared_ptr<Component>& component,
                          std::string& path) {
    if (!is_instance(obj, TypeCode::Component)) return to_path(obj, message, path);
    component = unwrap<Component>(obj);
    return component != nullptr;
}

bool to_timeout(PyObject* obj, std::optional<double>& out) {
    if (obj == Py_None) return true;
    double seconds;
    if (!to_number(obj, "timeout", seconds)) return false;
    if (!(seconds > 0)) {
        PyErr_SetString(PyExc_ValueError, "'timeout' must be positive.");
        return false;
    }
    if (std::isfinite(seconds)) out = seconds;
    return true;
}

bool to_max_results(PyObject* obj, std::optional<uint64_t>& out) {
    if (obj == Py_None) return true;
    if (!PyLong_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "'max_results' must be an int or None.");
        return false;
    }
    const long long count = PyLong_AsLongLong(obj);
    if (count == -1 && PyErr_Occurred()) return false;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "'max_results' must not be negative.");
        return false;
    }
    out = uint64_t(count);
    return true;
}

bool to_flag(PyObject* obj, bool& out) {
    const int truth = PyObject_IsTrue(obj);
    out = truth == 1;
    return truth >= 0;
}

// The (key, value) pairs of a mapping, each converted by `convert`; TypeError `message` for
// other objects.
template <class Convert>
bool to_named_texts(PyObject* obj, const char* message, Convert convert, NamedTexts& out) {
    return for_each_item(obj, message, [&](PyObject* key, PyObject* value) {
        std::string name, text;
        if (!convert(key, name) || !convert(value, text)) return false;
        out.emplace_back(std::move(name), std::move(text));
        return true;
    });
}

bool to_variable_names(PyObject* obj, std::optional<NamedTexts>& out) {
    if (obj == Py_None) return true;
    const char* message = "'variable_names' must be a dict from file variables to runset variable names.";
    auto text = [message](PyObject* item, std::string& value) { return to_text(item, message, value); };
    return to_named_texts(obj, message, text, out.emplace());
}

// The `str` of an object as UTF-8.
bool to_str(PyObject* obj, std::string& out) {
    Ref text(PyObject_Str(obj));
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8) out.assign(utf8, size_t(size));
    return utf8 != nullptr;
}

// KLayout receives a dict of runset variables, Calibre a sequence of command-line arguments.
bool to_engine_args(PyObject* obj, CheckRequest& request) {
    if (obj == Py_None) return true;
    if (request.engine == Engine::KLayout)
        return to_named_texts(obj, "KLayout's 'args' must be a dict of runset variables, such as {'topcell': 'TOP'}.",
                              to_str, request.runset_args);
    const char* message = "Calibre's 'args' must be a sequence of command-line arguments, one per item, such as "
                          "('-hier', '-turbo', '4').";
    if (!PySequence_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) || PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, message);
        return false;
    }
    Ref items(sequence_items(obj));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        if (!to_text(PyTuple_GET_ITEM(items.get(), i), message, request.calibre_args.emplace_back())) return false;
    }
    return true;
}

bool setting_path(const char* name, std::optional<std::string>& out) {
    Ref value(get_setting(name));
    if (!value) return false;
    if (value.get() == Py_None) return true;
    return to_file_name(value.get(), out.emplace());
}

bool engine_settings(EngineSettings& out) {
    Ref engine(get_setting("default_drc_lvs_engine"));
    return engine && to_optional_text(engine.get(), "Expected a string or 'None'.", out.default_engine) &&
           setting_path("klayout_executable", out.klayout_executable) &&
           setting_path("calibre_executable", out.calibre_executable);
}

// The cells of a component; a failing pre-export hook becomes the cause of the export error.
bool prepare(const std::shared_ptr<Component>& component, PyObject* pre_export_function,
             layout::PreparedLayout& out, ErrorHandler& status) {
    if (prepare_export({component}, pre_export_function, out, status)) return true;
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (traceback) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_RuntimeError, "Unable to prepare the component for export.");
    PyObject *error_type, *error, *error_traceback;
    PyErr_Fetch(&error_type, &error, &error_traceback);
    PyErr_NormalizeException(&error_type, &error, &error_traceback);
    PyException_SetContext(error, Py_XNewRef(cause));
    PyException_SetCause(error, cause);
    PyErr_Restore(error_type, error, error_traceback);
    return false;
}

PyObject* json_object(const nlohmann::json& value, const char* what, int depth) {
    if (depth > kMaxDumpDepth) {
        PyErr_Format(PyExc_RuntimeError, "The KLayout %s results could not be decoded.", what);
        return nullptr;
    }
    using Type = nlohmann::json::value_t;
    switch (value.type()) {
        case Type::null:
            Py_RETURN_NONE;
        case Type::boolean:
            return PyBool_FromLong(value.get<bool>());
        case Type::number_integer:
            return PyLong_FromLongLong(value.get<int64_t>());
        case Type::number_unsigned:
            return PyLong_FromUnsignedLongLong(value.get<uint64_t>());
        case Type::number_float:
            return PyFloat_FromDouble(value.get<double>());
        case Type::string: {
            const std::string& text = value.get_ref<const std::string&>();
            return PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "replace");
        }
        case Type::array:
            return new_list(value.size(), [&](size_t i) { return json_object(value[i], what, depth + 1); });
        case Type::object: {
            Ref dict(PyDict_New());
            for (auto it = value.begin(); dict && it != value.end(); ++it) {
                Ref key(PyUnicode_DecodeUTF8(it.key().data(), Py_ssize_t(it.key().size()), "replace"));
                Ref item(key ? json_object(it.value(), what, depth + 1) : nullptr);
                if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
            }
            return dict.release();
        }
        default:
            PyErr_Format(PyExc_RuntimeError, "The KLayout %s results could not be decoded.", what);
            return nullptr;
    }
}

// The result object made by DRCResults._from_dump or LVSResults._from_dump.
PyObject* results_object(CheckKind kind, const CheckResult& result, const ErrorHandler& status) {
    const bool drc = kind == CheckKind::Drc;
    if (!check_status(status, true)) return nullptr;
    Ref dump(json_object(result.dump, drc ? "DRC" : "LVS", 0));
    Ref log(dump ? PyUnicode_DecodeUTF8(result.log.data(), Py_ssize_t(result.log.size()), "replace") : nullptr);
    Ref type(log ? verification_attribute(drc ? "DRCResults" : "LVSResults") : nullptr);
    return type ? PyObject_CallMethod(type.get(), "_from_dump", "OOi", dump.get(), log.get(), result.exit_code)
                : nullptr;
}

// The arguments drc_check and lvs_check share.
struct CheckCall {
    CheckKind kind;
    PyObject* source = nullptr;
    PyObject* rules = nullptr;
    PyObject* schematic = Py_None;
    PyObject* engine = Py_None;
    PyObject* args = Py_None;
    PyObject* variable_names = Py_None;
    PyObject* results_file = Py_None;
    PyObject* max_results = Py_None;
    PyObject* load_shapes = Py_True;
    PyObject* timeout = Py_None;
    PyObject* pre_export_function = Py_None;
    PyObject* top_level = Py_None;
    int show_progress = 1;
};

PyObject* check(const CheckCall& call) {
    CheckRequest request;
    request.kind = call.kind;
    request.run.show_progress = call.show_progress;
    std::optional<std::string> engine;
    std::shared_ptr<Component> source, schematic;
    if (!to_timeout(call.timeout, request.run.timeout) ||
        !to_optional_text(call.engine, "'engine' must be a str or None.", engine) ||
        !to_optional_text(call.top_level, "'top_level' must be a str or None.", request.top_level))
        return nullptr;
    if (call.pre_export_function != Py_None && !PyCallable_Check(call.pre_export_function)) {
        PyErr_SetString(PyExc_TypeError, "'pre_export_function' must be callable.");
        return nullptr;
    }
    if (!to_component_or_path(call.source, "'source' must be a Component or a path to a GDSII or OASIS file.",
                              source, request.layout_file) ||
        !to_path(call.rules, "'rules' must be a path to a rules file.", request.rules) ||
        (call.schematic != Py_None &&
         !to_component_or_path(call.schematic, "'schematic' must be a Component or a path to a SPICE netlist.",
                               schematic, request.schematic_file)) ||
        (call.results_file != Py_None &&
         !to_path(call.results_file, "'results_file' must be a path or None.", request.results_file)) ||
        !to_max_results(call.max_results, request.max_results) || !to_flag(call.load_shapes, request.load_shapes) ||
        !to_variable_names(call.variable_names, request.variable_names))
        return nullptr;

    EngineSettings settings;
    if (!engine_settings(settings)) return nullptr;
    try {
        request.engine = choose_engine(call.kind, engine, settings);
    }
    WHISTLE_CATCH(nullptr)
    if (!to_engine_args(call.args, request)) return nullptr;

    // A component source is also the schematic unless one is given.
    layout::PreparedLayout layout, schematic_layout;
    if (source) request.layout = &layout;
    if (schematic) request.schematic = &schematic_layout;
    else if (call.kind == CheckKind::Lvs && call.schematic == Py_None && source) request.schematic = &layout;
    try {
        validate_check(request);
    }
    WHISTLE_CATCH(nullptr)

    ErrorHandler status;
    if ((source && !prepare(source, call.pre_export_function, layout, status)) ||
        (schematic && !prepare(schematic, call.pre_export_function, schematic_layout, status)))
        return nullptr;
    if (status.failed()) return check_status(status), nullptr;
    InterpreterRunner runner;
    CheckResult result;
    try {
        result = run_check(request, runner, settings, status);
    }
    WHISTLE_CATCH(nullptr)
    return results_object(call.kind, result, status);
}

// load_drc_results and load_lvs_results: the third keyword is max_results or load_shapes.
PyObject* load(CheckKind kind, PyObject* args, PyObject* kwds) {
    const bool drc = kind == CheckKind::Drc;
    static const char* drc_keywords[] = {"path", "engine", "max_results", "timeout", "show_progress", nullptr};
    static const char* lvs_keywords[] = {"path", "engine", "load_shapes", "timeout", "show_progress", nullptr};
    PyObject *path, *engine_obj = Py_None, *option = drc ? Py_None : Py_True, *timeout = Py_None;
    int show_progress = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, drc ? "O|$OOOp:load_drc_results" : "O|$OOOp:load_lvs_results",
                                     (char**)(drc ? drc_keywords : lvs_keywords), &path, &engine_obj, &option,
                                     &timeout, &show_progress))
        return nullptr;
    LoadRequest request;
    request.kind = kind;
    request.run.show_progress = show_progress;
    std::optional<std::string> engine;
    if (!to_timeout(timeout, request.run.timeout) ||
        !to_optional_text(engine_obj, "'engine' must be a str or None.", engine) ||
        !to_path(path, "'path' must be a path to a results database.", request.path) ||
        !(drc ? to_max_results(option, request.max_results) : to_flag(option, request.load_shapes)))
        return nullptr;
    EngineSettings settings;
    if (!engine_settings(settings)) return nullptr;
    ErrorHandler status;
    InterpreterRunner runner;
    CheckResult result;
    try {
        if (engine) request.engine = parse_engine(*engine, kind, drc ? "load_drc_results" : "load_lvs_results");
        result = load_results(request, runner, settings, status);
    }
    WHISTLE_CATCH(nullptr)
    return results_object(kind, result, status);
}

// The executable a check would run, from the setting or the search.
template <std::string (*find)(const std::optional<std::string>&)>
PyObject* found_executable(std::optional<std::string> EngineSettings::*setting, PyObject* args, PyObject* kwds,
                           const char* format) {
    static const char* keywords[] = {nullptr};
    EngineSettings settings;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, (char**)keywords) || !engine_settings(settings))
        return nullptr;
    try {
        return path_object(find(settings.*setting));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace

namespace {

// drc_check and lvs_check: the same parsing with their own keywords after `rules`.
PyObject* check_function(CheckKind kind, PyObject* args, PyObject* kwds) {
    const bool drc = kind == CheckKind::Drc;
    static const char* drc_keywords[] = {"source", "rules", "engine", "args", "variable_names", "results_file",
                                         "max_results", "timeout", "pre_export_function", "top_level",
                                         "show_progress", nullptr};
    static const char* lvs_keywords[] = {"source", "rules", "schematic", "engine", "args", "variable_names",
                                         "results_file", "load_shapes", "timeout", "pre_export_function",
                                         "show_progress", nullptr};
    CheckCall call{kind};
    PyObject** drc_slots[] = {&call.engine, &call.args, &call.variable_names, &call.results_file,
                              &call.max_results, &call.timeout, &call.pre_export_function, &call.top_level};
    PyObject** lvs_slots[] = {&call.schematic, &call.engine, &call.args, &call.variable_names,
                              &call.results_file, &call.load_shapes, &call.timeout, &call.pre_export_function};
    PyObject*** slots = drc ? drc_slots : lvs_slots;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, drc ? "OO|$OOOOOOOOp:drc_check" : "OO|$OOOOOOOOp:lvs_check",
                                     (char**)(drc ? drc_keywords : lvs_keywords), &call.source, &call.rules,
                                     slots[0], slots[1], slots[2], slots[3], slots[4], slots[5], slots[6],
                                     slots[7], &call.show_progress))
        return nullptr;
    return check(call);
}

}  // namespace

PyObject* function_drc_check(PyObject*, PyObject* args, PyObject* kwds) {
    return check_function(CheckKind::Drc, args, kwds);
}

PyObject* function_lvs_check(PyObject*, PyObject* args, PyObject* kwds) {
    return check_function(CheckKind::Lvs, args, kwds);
}

PyObject* function_load_drc_results(PyObject*, PyObject* args, PyObject* kwds) {
    return load(CheckKind::Drc, args, kwds);
}

PyObject* function_load_lvs_results(PyObject*, PyObject* args, PyObject* kwds) {
    return load(CheckKind::Lvs, args, kwds);
}

PyObject* function__find_klayout(PyObject*, PyObject* args, PyObject* kwds) {
    return found_executable<find_klayout>(&EngineSettings::klayout_executable, args, kwds, ":_find_klayout");
}

PyObject* function__find_calibre(PyObject*, PyObject* args, PyObject* kwds) {
    return found_executable<find_calibre>(&EngineSettings::calibre_executable, args, kwds, ":_find_calibre");
}

PyObject* function__klayout_version(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"", nullptr};
    PyObject* executable_obj;
    std::string executable;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:_klayout_version", (char**)keywords, &executable_obj) ||
        !to_path(executable_obj, "'executable' must be a path.", executable))
        return nullptr;
    InterpreterRunner runner;
    try {
        const std::string version = klayout_version(runner, executable);
        return PyUnicode_FromStringAndSize(version.data(), Py_ssize_t(version.size()));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
