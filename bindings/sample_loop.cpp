#include "sample_loop.hpp"

#include <algorithm>
#include <chrono>

#include "core/circuit/time_series.hpp"
#include "runner.hpp"
#include "types.hpp"

namespace whistle::py {

namespace {

// One warning listing the input keys that the stepper does not have.
bool warn_ignored_inputs(const TimeSeries& inputs, const std::vector<std::string>& keys) {
    std::string ignored;
    for (const std::string& key : inputs.keys())
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            ignored += (ignored.empty() ? "'" : ", '") + key + "'";
    if (ignored.empty()) return true;
    std::string text = "Input keys not in 'keys' are being ignored: [" + ignored + "]";
    return PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) == 0;
}

// Progress output of a stepping run: a line at most every polling period.
class ProgressLine {
public:
    explicit ProgressLine(bool show) : show_(show) {}
    bool start() { return !show_ || print_progress("Starting\u2026\r"); }
    bool update(size_t done, size_t total) {
        if (!show_) return true;
        auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(300)) return true;
        last_ = now;
        return print_progress_line(100.0 * double(done) / double(total), ++turn_);
    }
    bool finish() { return !show_ || print_progress("Progress: 100% \n"); }

private:
    bool show_;
    size_t turn_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

PyObject* step_samples(PyObject* args, PyObject* kwds, const char* inputs_message, SampleLoop& loop) {
    static const char* keywords[] = {"inputs", "steps", "time_step", "show_progress", nullptr};
    PyObject* inputs_obj = Py_None;
    long long steps = 0;
    double time_step = 0;
    int show_progress = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OLdp:step", (char**)keywords, &inputs_obj, &steps,
                                     &time_step, &show_progress))
        return nullptr;
    std::shared_ptr<TimeSeries> inputs;
    if (inputs_obj != Py_None) {
        if (!is_instance(inputs_obj, TypeCode::TimeSeries)) {
            PyErr_SetString(PyExc_TypeError, inputs_message);
            return nullptr;
        }
        inputs = unwrap<TimeSeries>(inputs_obj);
        if (!inputs) return nullptr;
    }
    if (steps < 0) {
        PyErr_SetString(PyExc_ValueError, "The number of time steps cannot be negative.");
        return nullptr;
    }
    // Zero stands for the stepper's own time step.
    if (!inputs && time_step == 0) time_step = loop.time_step();
    if (!(time_step > 0) && !(inputs && time_step == 0)) {
        PyErr_SetString(PyExc_ValueError, "The duration of the time step must be positive.");
        return nullptr;
    }
    std::vector<std::string> keys;
    if (!loop.keys(keys)) return nullptr;
    if (inputs) {
        if (!warn_ignored_inputs(*inputs, keys)) return nullptr;
        time_step = inputs->time_step();
    }
    size_t count = inputs ? inputs->length() : size_t(steps);
    int64_t first = inputs ? inputs->time_index() : 0;
    std::vector<const TimeSeries::Row*> rows;
    for (const std::string& key : keys) rows.push_back(inputs ? inputs->row(key) : nullptr);
    std::vector<TimeSeries::Row> outputs(keys.size(), TimeSeries::Row(count));

    ProgressLine progress(show_progress);
    if (!loop.prepare(keys.size()) || !progress.start()) return nullptr;
    for (size_t k = 0; k < count; ++k) {
        auto in = loop.inputs();
        for (size_t i = 0; i < keys.size(); ++i) in[i] = rows[i] ? (*rows[i])[k] : StepValue();
        std::fill(loop.outputs().begin(), loop.outputs().end(), StepValue());
        if (!loop.run(first + int64_t(k), k + 1 == count)) return nullptr;
        auto out = loop.outputs();
        for (size_t i = 0; i < keys.size(); ++i) outputs[i][k] = out[i];
        if (!progress.update(k + 1, count)) return nullptr;
    }
    if (!progress.finish()) return nullptr;
    try {
        return wrap(std::make_shared<TimeSeries>(keys, std::move(outputs), time_step, first));
    }
    WHISTLE_CATCH(nullptr)
}

}  // namespace whistle::py
