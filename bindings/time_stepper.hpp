// `TimeStepper` and the core stepper that an interpreter class implements.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "core/circuit/time_stepper.hpp"
#include "interpreter_class.hpp"
#include "interpreter_objects.hpp"

namespace whistle::py {

extern const InterpreterClass kTimeStepperClass;

// A time stepper implemented by an interpreter class: the core object of every instance of
// `TimeStepper` (and its subclasses).
class PyTimeStepper final : public InterpreterCore<TimeStepper, PyTimeStepper, kTimeStepperClass> {
public:
    using Delays = std::map<std::string, size_t>;

    // Throws std::bad_alloc when its attribute dict cannot be made.
    explicit PyTimeStepper(PyObject* instance);

    int traverse(visitproc visit, void* arg) const override;

    // Interpreter-valued attributes by name ("path_delays", "native_step", "native_state",
    // "native_body", "native_error", "component"); borrowed dict.
    PyObject* attributes() const { return attributes_->value(); }
    // Replaces the attribute dict (copies).
    void set_attributes(PyObject* dict) { attributes_->set_value(dict); }

    Delays input_delays, output_delays;
    double time_step = 0;
    double carrier_frequency = 0;

    // The delay lines for `keys`, rebuilt (empty) when the keys or the delays changed.
    DelayLines& input_lines(const std::vector<std::string>& keys) { return lines(keys).first; }
    DelayLines& output_lines(const std::vector<std::string>& keys) { return lines(keys).second; }
    // Empties the delay lines, or forgets them so that the next run builds them anew.
    void clear_lines() { input_lines_.clear(), output_lines_.clear(); }
    void forget_lines() { line_keys_.reset(); }

private:
    std::pair<DelayLines&, DelayLines&> lines(const std::vector<std::string>& keys);

    std::shared_ptr<PyNative> attributes_;
    std::optional<std::vector<std::string>> line_keys_;
    DelayLines input_lines_, output_lines_;
};

}  // namespace whistle::py
