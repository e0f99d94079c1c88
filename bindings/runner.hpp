// Polling of asynchronous runners: objects whose `status` dict reports "message" ("running",
// "success" or "error") and "progress" (0 to 100) until the work is done.
#pragma once

#include "common.hpp"

namespace whistle::py {

// The texts of one kind of runner.
struct RunnerTexts {
    const char* not_dict;      // status is not a dict
    const char* missing_keys;  // status lacks "message" or "progress"
    const char* bad_progress;  // progress is not a number in 0..100
    const char* bad_message;   // unknown message; one %s for it
    const char* error_base;    // prefix of the error raised for "error"
};

extern const RunnerTexts kModelRunnerTexts;
extern const RunnerTexts kLumpedModelRunnerTexts;

enum class RunnerState { kRunning, kSuccess, kFailed };

// Reads the runner's status once. Success leaves the status dict in `status`; running leaves
// the progress (0 to 100) in `progress`; a failure raises RuntimeError, after printing
// "Progress: error" when `show_progress` is set.
RunnerState check_runner(PyObject* runner, const RunnerTexts& texts, bool show_progress, Ref& status,
                         double& progress);
// Sleeps for one polling interval with the interpreter lock released; false when a signal
// handler raised.
bool sleep_between_polls();

// Polls `runner` every 0.3 s, with the interpreter lock released while sleeping, until its
// status says "success"; returns that status dict (new reference). With `show_progress` the
// progress and a spinner are printed on one line. Null with RuntimeError on "error" or a
// malformed status.
PyObject* poll_runner(PyObject* runner, const RunnerTexts& texts, bool show_progress);

// Writes text to the interpreter's standard output and flushes it.
bool print_progress(const char* text);

}  // namespace whistle::py
