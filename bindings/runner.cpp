#include "runner.hpp"

#include <cerrno>
#include <ctime>
#include <string>

namespace whistle::py {

const RunnerTexts kModelRunnerTexts = {
    "Model status must be a dictionary.",
    "Model status dictionary must contain keys 'message' and 'progress'.",
    "Model status 'progress' must be a number in the range 0-100.",
    "Model status 'message' must be one of 'success', 'error', or 'running' (found '%s').",
    "Model run resulted in error",
};

const RunnerTexts kLumpedModelRunnerTexts = {
    "LumpedModel status must be a dictionary.",
    "LumpedModel status dictionary must contain keys 'message' and 'progress'.",
    "LumpedModel status 'progress' must be a number in the range 0-100.",
    "LumpedModel status 'message' must be one of 'success', 'error', or 'running' (found '%s').",
    "LumpedModel run resulted in error",
};

namespace {

constexpr long kPollNanoseconds = 300000000;
constexpr char kSpinner[] = {'-', '\\', '|', '/'};

// A str of any object (its str() form), for messages.
std::string text_of(PyObject* obj) {
    Ref text(PyObject_Str(obj));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "?";
    }
    return utf8;
}

// The RuntimeError of a status whose message is "error".
void raise_run_error(PyObject* status, const RunnerTexts& texts) {
    if (PyErr_Occurred()) return;
    if (PyObject* error = PyDict_GetItemString(status, "error")) {
        PyErr_Format(PyExc_RuntimeError, "%s: %S", texts.error_base, error);
        return;
    }
    std::string details;
    PyObject* tasks = PyDict_GetItemString(status, "tasks");
    if (tasks && PyDict_Check(tasks)) {
        Py_ssize_t position = 0;
        PyObject *task, *info;
        while (PyDict_Next(tasks, &position, &task, &info)) {
            PyObject* error = PyDict_Check(info) ? PyDict_GetItemString(info, "error") : nullptr;
            if (error) details += "\nError from task " + text_of(task) + ": " + text_of(error);
        }
    }
    if (details.empty())
        PyErr_Format(PyExc_RuntimeError, "%s.", texts.error_base);
    else
        PyErr_Format(PyExc_RuntimeError, "%s: %s", texts.error_base, details.c_str());
}

// The progress of a well-formed status; -1 with an exception otherwise.
double checked_progress(PyObject* status, const RunnerTexts& texts) {
    if (!PyDict_Check(status)) {
        PyErr_SetString(PyExc_RuntimeError, texts.not_dict);
        return -1;
    }
    PyObject* progress = PyDict_GetItemString(status, "progress");
    if (!progress || !PyDict_GetItemString(status, "message")) {
        PyErr_SetString(PyExc_RuntimeError, texts.missing_keys);
        return -1;
    }
    double value = PyNumber_Check(progress) ? PyFloat_AsDouble(progress) : -1;
    if (PyErr_Occurred()) PyErr_Clear();
    if (!(value >= 0 && value <= 100)) {
        PyErr_SetString(PyExc_RuntimeError, texts.bad_progress);
        return -1;
    }
    return value;
}

}  // namespace

bool print_progress(const char* text) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (!out || out == Py_None) return true;
    Ref written(PyObject_CallMethod(out, "write", "s", text));
    Ref flushed(written ? PyObject_CallMethod(out, "flush", nullptr) : nullptr);
    return bool(flushed);
}

bool sleep_between_polls() {
    Py_BEGIN_ALLOW_THREADS
    timespec remaining = {0, kPollNanoseconds};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
    Py_END_ALLOW_THREADS
    return PyErr_CheckSignals() == 0;
}

RunnerState check_runner(PyObject* runner, const RunnerTexts& texts, bool show_progress, Ref& status,
                         double& progress) {
    status = Ref(PyObject_GetAttrString(runner, "status"));
    if (!status) return RunnerState::kFailed;
    progress = checked_progress(status.get(), texts);
    if (progress < 0) return RunnerState::kFailed;
    PyObject* message = PyDict_GetItemString(status.get(), "message");
    const char* text = PyUnicode_Check(message) ? PyUnicode_AsUTF8(message) : nullptr;
    if (!text) PyErr_Clear();
    std::string found = text ? text : text_of(message);
    if (found == "success") return RunnerState::kSuccess;
    if (found == "running") return RunnerState::kRunning;
    if (show_progress && !print_progress("Progress: error\n")) return RunnerState::kFailed;
    if (found == "error")
        raise_run_error(status.get(), texts);
    else
        PyErr_Format(PyExc_RuntimeError, texts.bad_message, found.c_str());
    return RunnerState::kFailed;
}

PyObject* poll_runner(PyObject* runner, const RunnerTexts& texts, bool show_progress) {
    for (size_t turn = 1;; ++turn) {
        Ref status;
        double progress = 0;
        RunnerState state = check_runner(runner, texts, show_progress, status, progress);
        if (state == RunnerState::kFailed) return nullptr;
        if (state == RunnerState::kSuccess) {
            if (show_progress && !print_progress("Progress: 100% \n")) return nullptr;
            return status.release();
        }
        if (show_progress) {
            std::string line = "Progress: " + std::to_string(int(progress)) + "% " +
                               kSpinner[turn % 4] + "\r";
            if (!print_progress(line.c_str())) return nullptr;
        }
        if (!sleep_between_polls()) return nullptr;
    }
}

}  // namespace whistle::py
