// `TimeStepper` and the core stepper that an interpreter class implements.
#pragma once

#include <initializer_list>
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
    // "native_body", "native_error"); borrowed dict.
    PyObject* attributes() const { return attributes_->value(); }
    // Replaces the attribute dict (copies).
    void set_attributes(PyObject* dict) { attributes_->set_value(dict); }

    Delays input_delays, output_delays;
    // The setup arguments. The component is not owned: it may own the stepper through a model.
    std::weak_ptr<BaseType> component;
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

// A borrowed attribute of the core stepper; null when absent.
PyObject* attribute(const PyTimeStepper& stepper, const char* name);
// Sets (or with null removes) attributes after every value is converted: copies of the
// attribute dict keep their own.
bool set_attributes(PyObject* self, std::initializer_list<std::pair<const char*, PyObject*>> items);

// ---- Native steps ----------------------------------------------------------------------

// The parts of an entry (address, context, state, cstate).
struct NativeEntry {
    NativeStepFunction function = nullptr;
    void* context = nullptr;
    double* state = nullptr;
    StepValue* cstate = nullptr;
};

// The parts of an entry tuple; TypeError or ValueError for a malformed one.
bool to_entry(PyObject* obj, NativeEntry& out);
// The bound entry when the class providing `step_single` is the class that bound it or one of
// its bases (borrowed); null without an exception otherwise.
PyObject* native_entry(PyObject* self, const PyTimeStepper& stepper);
// The data of a contiguous 1-D complex128 array of `size` values (argument `name`); null with
// TypeError or ValueError otherwise.
StepValue* step_array(PyObject* obj, const char* name, Py_ssize_t size);
// Calls a native entry once on checked arrays of `size` values; RuntimeError for a failure code.
PyObject* call_native(PyObject* native, Py_ssize_t size, PyObject* inputs, PyObject* outputs,
                      long long time_index, bool update_state, bool shutdown);
// Copies the initial native state arrays back into the bound ones.
bool restore_native_state(const PyTimeStepper& stepper);
// The `_native_step` setter and `bind_native`.
int set_native_step(PyObject* self, PyObject* value, void*);
PyObject* method_bind_native(PyObject* self, PyObject* args, PyObject* kwds);

}  // namespace whistle::py
