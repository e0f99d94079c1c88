"""Time steppers: setup protocol, the stepping loop with delay lines, native step bodies against
their interpreter twins, copies, updates, the class registry and bit sequence registers."""

import copy
import ctypes
import gc
import re
import subprocess
import warnings
import weakref

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension as ext

DT = 1e-12


class LowPass(tw.TimeStepper):
    """One-pole low-pass from 'in' to 'out': y ← y + α·(x − y)."""

    def __init__(self, alpha=0.25):
        super().__init__(alpha=alpha)
        self.alpha = alpha
        self.y = 0j
        self.setup_calls = []

    @property
    def keys(self):
        return ("in", "out")

    def setup_state(self, **kwargs):
        self.setup_calls.append(kwargs)

    def reset(self):
        super().reset()
        self.y = 0j

    def step_single(self, inputs, outputs, time_index, update_state, shutdown):
        y = self.y + self.alpha * (inputs[0] - self.y)
        outputs[1] = y
        if update_state:
            self.y = y


def low_pass_reference(x, alpha):
    y, out = 0j, []
    for value in x:
        y = y + alpha * (value - y)
        out.append(y)
    return np.array(out)


@pytest.fixture(scope="module")
def component():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the default technology notice
        return tw.Component("stepped")


def signal(n=12, seed=3):
    rng = np.random.default_rng(seed)
    return rng.normal(size=n) + 1j * rng.normal(size=n)


def test_python_low_pass_matches_the_reference_loop_and_keeps_its_state(component):
    stepper = LowPass(alpha=0.3)
    assert stepper.setup(component, DT, carrier_frequency=1.9e14, show_progress=False, extra=5) is stepper
    assert stepper.setup_calls == [{"component": component, "time_step": DT, "carrier_frequency": 1.9e14,
                                    "show_progress": False, "extra": 5}]
    x = signal()
    first = stepper.step(tw.TimeSeries({"in": x[:7]}, DT, 4), show_progress=False)
    second = stepper.step(tw.TimeSeries({"in": x[7:]}, DT, 11), show_progress=False)
    joined = first + second
    assert joined.time_index == 4 and joined.time_step == DT
    np.testing.assert_array_equal(joined["out"], low_pass_reference(x, 0.3))
    np.testing.assert_array_equal(joined["in"], np.zeros(len(x)))
    # Without inputs, zero samples at the setup time step; the state decays geometrically.
    y = stepper.y
    decay = stepper.step(steps=3, show_progress=False)
    assert decay.time_step == DT and decay.time_index == 0
    np.testing.assert_allclose(decay["out"], y * 0.7 ** np.arange(1, 4))


def test_delay_lines_shift_inputs_and_outputs_by_whole_steps_until_reset(component):
    stepper = LowPass(alpha=1.0)  # passes its input straight through
    stepper.setup(component, DT, show_progress=False)
    stepper.input_delay_steps = {"in": 2}
    stepper.output_delay_steps = {"out": 1, "in": 0}
    assert stepper.input_delay_steps == {"in": 2} and stepper.output_delay_steps == {"out": 1, "in": 0}
    x = np.arange(1, 7)
    out = stepper.step(tw.TimeSeries({"in": x}, DT), show_progress=False)["out"]
    np.testing.assert_array_equal(out, [0, 0, 0, 1, 2, 3])
    # The lines keep their samples across runs...
    out = stepper.step(tw.TimeSeries({"in": [7, 8]}, DT, 6), show_progress=False)["out"]
    np.testing.assert_array_equal(out, [4, 5])
    # ... and reset empties them.
    stepper.reset()
    out = stepper.step(tw.TimeSeries({"in": [7, 8, 9, 10]}, DT), show_progress=False)["out"]
    np.testing.assert_array_equal(out, [0, 0, 0, 7])


def test_step_warnings_progress_and_messages(component, capsys):
    stepper = LowPass()
    with pytest.warns(RuntimeWarning, match=re.escape("Input keys not in 'keys' are being ignored: ['x', 'y']")):
        stepper.step(tw.TimeSeries({"x": [1], "in": [1], "y": [2]}, DT), show_progress=False)
    stepper.step(tw.TimeSeries({"in": [1, 2]}, DT))
    assert capsys.readouterr().out == "Starting\u2026\rProgress: 100% \n"

    class Returns(LowPass):
        def step_single(self, inputs, outputs, *args):
            return np.ones(2)

    with pytest.warns(RuntimeWarning, match=re.escape(
            "'step_single' returned an array, but return values are ignored. The 'step_single' method must "
            "write results directly into the provided 'outputs' array (in-place modification) and should not "
            "return anything. Use 'np.copyto(outputs, result)' to copy data into the outputs array.")) as record:
        result = Returns().step(tw.TimeSeries({"in": [1, 2, 3]}, DT), show_progress=False)
    assert len(record) == 1
    np.testing.assert_array_equal(result["out"], np.zeros(3))

    with pytest.raises(TypeError, match="Argument 'inputs' must be a TimeSeries instance."):
        stepper.step({"in": [1]})
    with pytest.raises(ValueError, match="The number of time steps cannot be negative."):
        stepper.step(steps=-1)
    with pytest.raises(ValueError, match="The duration of the time step must be positive."):
        LowPass().step(steps=2, show_progress=False)

    class BadKeys(LowPass):
        keys = ["in"]

    class NonStringKeys(LowPass):
        keys = ("in", 1)

    with pytest.raises(TypeError, match="'keys' must return a tuple."):
        BadKeys().step(steps=1, time_step=DT)
    with pytest.raises(TypeError, match="Keys must be strings."):
        NonStringKeys().step(steps=1, time_step=DT)

    class Abstract(tw.TimeStepper):
        keys = ("a",)

    with pytest.raises(NotImplementedError, match=re.escape(
            "Classes derived from TimeStepper must implement a 'step_single' method or bind a native step.")):
        Abstract().step(steps=1, time_step=DT, show_progress=False)


def test_setup_validation_and_runner_polling(component, capsys):
    stepper = LowPass()
    cases = [
        ((), {"time_step": DT}, TypeError, "Missing required argument 'component'."),
        (("x", DT), {}, TypeError, "Argument 'component' must be a Component instance."),
        ((component,), {}, TypeError, "Missing required argument 'time_step'."),
        ((component, 0), {}, ValueError, "'time_step' must be positive."),
        ((component, DT), {"carrier_frequency": -1}, ValueError, "'carrier_frequency' cannot be negative."),
        ((component, DT), {"kwargs": [1]}, TypeError, "'kwargs' must be a dictionary."),
    ]
    for args, kwargs, error, message in cases:
        with pytest.raises(error, match=re.escape(message)):
            stepper.setup(*args, **kwargs)
    assert stepper.setup_calls == []

    class Runner:
        def __init__(self, statuses):
            self.statuses = list(statuses)

        @property
        def status(self):
            return self.statuses.pop(0) if len(self.statuses) > 1 else self.statuses[0]

    class Slow(LowPass):
        def setup_state(self, statuses, **kwargs):
            return Runner(statuses)

    ok = [{"message": "running", "progress": 40}, {"message": "success", "progress": 100}]
    Slow().setup(component, DT, kwargs={"statuses": ok})
    assert capsys.readouterr().out == "Progress: 40% \\\rProgress: 100% \n"
    failures = [
        ([{"message": "error", "progress": 0, "error": "boom"}], "Time stepper setup resulted in error: boom"),
        ([{"message": "done", "progress": 0}], "Time stepper status 'message' must be one of 'success', "
                                               "'error', or 'running' (found 'done')."),
        (["text"], "Time stepper status must be a dictionary."),
        ([{"message": "running"}], "Time stepper status dictionary must contain keys 'message' and 'progress'."),
        ([{"message": "running", "progress": 150}], "Time stepper status 'progress' must be a number in the "
                                                    "range 0-100."),
    ]
    for statuses, message in failures:
        with pytest.raises(RuntimeError, match=re.escape(message)):
            Slow().setup(component, DT, statuses=statuses, show_progress=False)


def test_delay_declarations_are_validated():
    stepper = LowPass()
    assert stepper.path_delays is None and stepper.input_delay_steps == {}
    stepper.path_delays = {("in", "out"): 2}
    assert stepper.path_delays == {("in", "out"): 2}
    with pytest.raises(TypeError, match=re.escape(
            "'path_delays' must be None or a dict mapping (input key, output key) tuples to delays in time steps.")):
        stepper.path_delays = [("in", "out")]
    with pytest.raises(TypeError, match=re.escape("'path_delays' keys must be (input key, output key) tuples.")):
        stepper.path_delays = {"in": 1}
    with pytest.raises(ValueError, match="'path_delays' values cannot be negative."):
        stepper.path_delays = {("in", "out"): -1}
    assert stepper.path_delays == {("in", "out"): 2}
    stepper.path_delays = None
    for name in ("input_delay_steps", "output_delay_steps"):
        for value in ({"in": -1}, {1: 1}, {"in": 0.5}, [("in", 1)]):
            with pytest.raises(TypeError, match=re.escape(f"'{name}' must map keys to non-negative delays in time steps.")):
                setattr(stepper, name, value)
        assert getattr(stepper, name) == {}


def test_keyword_init_update_copies_and_text():
    with pytest.raises(TypeError, match=re.escape(
            "'TimeStepper.__init__()' takes no positional arguments. Use keyword arguments only in "
            "'super().__init__(...)'.")):
        tw.TimeStepper(1)
    stepper = LowPass(alpha=0.5)
    stepper.input_delay_steps = {"in": 1}
    assert repr(stepper) == "LowPass(alpha=0.5)"
    stepper.y = 2j
    deep = copy.deepcopy(stepper)
    assert deep is not stepper and deep.alpha == 0.5 and deep.y == 2j and deep.input_delay_steps == {"in": 1}
    stepper.update(alpha=0.75)
    assert stepper.alpha == 0.75 and stepper.parametric_kwargs == {"alpha": 0.75}
    assert deep.parametric_kwargs == {"alpha": 0.5}

    class Forgetful(tw.TimeStepper):
        def __init__(self):
            pass

    with pytest.raises(RuntimeError, match=re.escape(
            "TimeStepper instance is not initialized in 'Forgetful'. Ensure derived __init__ calls "
            "super().__init__(...).")):
        copy.copy(Forgetful())
    assert repr(Forgetful()) == "Forgetful(<uninitialized>)"


def test_registry_and_model_association(component, monkeypatch):
    with monkeypatch.context() as patch:
        patch.setattr(ext, "_time_stepper_registry", [])
        with pytest.raises(RuntimeError, match="TimeStepper class registry is not a dictionary."):
            ext.register_time_stepper_class(LowPass)
    saved = dict(ext._time_stepper_registry)
    try:
        ext.register_time_stepper_class(LowPass)
        assert ext._time_stepper_registry["LowPass"] is LowPass
        with pytest.raises(TypeError, match="Argument 1 is not a subclass of 'TimeStepper'."):
            ext.register_time_stepper_class(LowPass, tw.Model)
        # Updates through the registry rebuild the stepper and take the new one's state over.
        rebuilt = LowPass(alpha=0.5)
        rebuilt.parametric_function = "LowPass"
        assert rebuilt.update(alpha=0.125) is rebuilt
        assert rebuilt.alpha == 0.125 and rebuilt.parametric_kwargs == {"alpha": 0.125}
        ext._time_stepper_registry["Bad"] = lambda **kwargs: 1
        rebuilt.parametric_function = "Bad"
        with pytest.raises(TypeError, match="Object created by 'Bad' must be an instance of 'TimeStepper'."):
            rebuilt.update()
        rebuilt.parametric_function = "Missing"
        with pytest.raises(RuntimeError, match=re.escape(
                "TimeStepper class 'Missing' not found in register: use the 'register_time_stepper_class' "
                "function to register the class before loading a twf file.")):
            rebuilt.update()
        assert rebuilt.alpha == 0.125
    finally:
        ext._time_stepper_registry.clear()
        ext._time_stepper_registry.update(saved)
    model = tw.Model()
    stepper = LowPass()
    model.time_stepper = stepper
    assert model.time_stepper is stepper
    assert model.setup_time_stepper(component, DT, show_progress=False, time_stepper_kwargs={"k": 1}) is stepper
    assert stepper.setup_calls[-1]["k"] == 1 and stepper.setup_calls[-1]["time_step"] == DT
    with pytest.raises(TypeError, match="'time_stepper' must be an instance of the TimeStepper class or None."):
        model.time_stepper = tw.TimeSeries({}, DT)


def test_steppers_are_collected_with_the_component_whose_model_holds_them():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cell = tw.Component("held")
    class Holder(tw.Model):
        pass

    class Quiet(LowPass):
        def setup_state(self, **kwargs):
            pass

    # The stepper remembers its setup component without owning it.
    model, stepper = Holder(), Quiet()
    model.time_stepper = stepper
    cell.add_model(model, "M")
    stepper.setup(cell, DT, show_progress=False)
    probes = [weakref.ref(stepper), weakref.ref(model)]
    del cell, model, stepper
    gc.collect()  # releases the model, and with it the model's share of the stepper
    gc.collect()  # the stepper's cycle with its own core object
    assert [probe() for probe in probes] == [None, None]


def test_write_verilog_a_is_not_available(tmp_path):
    with pytest.raises(NotImplementedError):
        LowPass().write_verilog_a(tmp_path / "x.va")


# ---- Native steps ----------------------------------------------------------------------

NATIVE_SOURCE = r"""
#include <stdint.h>
typedef struct { double re, im; } cplx;

/* The low-pass of LowPass: context points to alpha, cstate[0] holds y, state[0] counts the
   committed steps. Fails with code 7 at time index 1000. */
int64_t low_pass(const cplx* in, cplx* out, int64_t t, _Bool update, _Bool shutdown, void* context,
                 double* state, cplx* cstate) {
    double alpha = *(const double*)context;
    cplx y = {cstate[0].re + alpha * (in[0].re - cstate[0].re), cstate[0].im + alpha * (in[0].im - cstate[0].im)};
    out[0].re = out[0].im = 0;
    out[1] = y;
    if (update) {
        cstate[0] = y;
        state[0] += 1;
    }
    return t == 1000 ? 7 : 0;
}
"""


@pytest.fixture(scope="module")
def native_library(tmp_path_factory):
    directory = tmp_path_factory.mktemp("native")
    source = directory / "low_pass.c"
    source.write_text(NATIVE_SOURCE)
    library = directory / "low_pass.so"
    try:
        subprocess.run(["cc", "-O0", "-shared", "-fPIC", "-o", str(library), str(source)], check=True,
                       capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("no C compiler")
    return ctypes.CDLL(str(library))


class NativeLowPass(LowPass):
    """LowPass whose step body is bound to the compiled twin."""

    def __init__(self, library, alpha=0.25):
        super().__init__(alpha=alpha)
        self.alpha_box = ctypes.c_double(alpha)
        self.counter = np.zeros(1)
        self.y_state = np.zeros(1, complex)
        self.after = 0
        self.bind_native(ctypes.cast(library.low_pass, ctypes.c_void_p).value, ("in", "out"), self.counter,
                         self.y_state, ctypes.addressof(self.alpha_box))

    def _after_native_run(self):
        self.after += 1


def test_native_step_matches_the_interpreter_body_bit_for_bit(native_library):
    x = signal(40, seed=8)
    native = NativeLowPass(native_library, alpha=0.3)
    assert ext._native_entry(native) == native._native_step
    assert native._native_body is NativeLowPass and native.keys == ("in", "out")
    result = native.step(tw.TimeSeries({"in": x}, DT), show_progress=False)
    expected = LowPass(alpha=0.3).step(tw.TimeSeries({"in": x}, DT), show_progress=False)
    np.testing.assert_array_equal(result["out"], expected["out"])
    assert native.counter[0] == 40 and native.y_state[0] == expected["out"][-1] and native.after == 1
    # reset restores the arrays given to bind_native.
    native.reset()
    assert native.counter[0] == 0 and native.y_state[0] == 0

    # A bare stepper takes its keys from the binding.
    bare = tw.TimeStepper()
    bare.bind_native(*native._native_step[:1], ("in", "out"), native.counter, native.y_state,
                     native._native_step[1])
    assert bare.keys == ("in", "out") and ext._native_entry(bare) is not None
    out = bare.step(tw.TimeSeries({"in": x}, DT), show_progress=False)["out"]
    np.testing.assert_array_equal(out, expected["out"])
    native.reset()
    # Its step_single runs the bound step on checked arrays.
    outputs = np.zeros(2, complex)
    bare.step_single(np.array([2, 0j]), outputs, 0, False, False)
    assert outputs[1] == 0.6 and native.y_state[0] == 0
    with pytest.raises(ValueError, match=re.escape("Array 'inputs' size (1) must match the number of keys (2).")):
        bare.step_single(np.zeros(1, complex), outputs, 0, False, False)
    with pytest.raises(NotImplementedError, match="must implement a 'step_single' method or bind a native step."):
        tw.TimeStepper().step_single(np.zeros(2, complex), outputs, 0, False, False)

    # A direct call with update_state false leaves the state alone and repeats its outputs.
    inputs, outputs = np.array([1 + 1j, 0]), np.zeros(2, complex)
    ext._native_step_call(native._native_step, 2, inputs, outputs, 0, False, False)
    assert outputs[1] == 0.3 * (1 + 1j) and native.y_state[0] == 0
    ext._native_step_call(native._native_step, 2, inputs, outputs, 0, True, False)
    assert native.y_state[0] == outputs[1] and native.counter[0] == 1


def test_native_failures_and_entry_rules(native_library):
    native = NativeLowPass(native_library)
    with pytest.raises(RuntimeError, match=re.escape(
            "NativeLowPass: native step failed with code 7 at time index 1000.")):
        native.step(tw.TimeSeries({"in": [1, 2]}, DT, 999), show_progress=False)
    assert native._native_error == "NativeLowPass: native step failed with code 7 at time index 1000."
    inputs, outputs = np.zeros(2, complex), np.zeros(2, complex)
    with pytest.raises(RuntimeError, match=re.escape("Native step failed with code 7 at time index 1000.")):
        ext._native_step_call(native._native_step, 2, inputs, outputs, 1000, True, True)

    class Overriding(NativeLowPass):
        def step_single(self, inputs, outputs, time_index, update_state, shutdown):
            outputs[1] = 42

    # The entry was bound by NativeLowPass for LowPass.step_single: a subclass overriding
    # step_single runs in the interpreter, a subclass that does not runs natively.
    overriding = Overriding(native_library)
    assert overriding._native_body is NativeLowPass and ext._native_entry(overriding) is None
    out = overriding.step(tw.TimeSeries({"in": [1, 1]}, DT), show_progress=False)["out"]
    np.testing.assert_array_equal(out, [42, 42])
    assert overriding.counter[0] == 0

    class Plain(NativeLowPass):
        pass

    assert ext._native_entry(Plain(native_library)) is not None

    # An assigned entry runs like a bound one.
    plain = LowPass(alpha=0.25)
    plain._native_step = native._native_step
    assert plain._native_body is LowPass and ext._native_entry(plain) == native._native_step
    native.y_state[0] = 0
    out = plain.step(tw.TimeSeries({"in": [4, 4]}, DT), show_progress=False)["out"]
    np.testing.assert_array_equal(out, [1, 1.75])
    assert plain.y == 0  # the interpreter body did not run
    with pytest.raises(ValueError, match="Native step address cannot be null."):
        plain._native_step = (0, None, None, None)

    class Wider(NativeLowPass):
        keys = ("in", "out", "extra")

    with pytest.raises(ValueError, match="The native step was bound to 2 keys, but the stepper has 3."):
        Wider(native_library).step(steps=1, time_step=DT, show_progress=False)

    native._native_step = None
    assert native._native_step is None and ext._native_entry(native) is None
    with pytest.raises(AttributeError, match=re.escape(
            "'_native_step' can only be cleared by assigning None; use bind_native.")):
        del native._native_step
    with pytest.raises(TypeError, match=re.escape("'_native_step' must be a tuple (address, context, state, cstate).")):
        native._native_step = (1, 2)


def test_native_argument_checks(native_library):
    address = ctypes.cast(native_library.low_pass, ctypes.c_void_p).value
    stepper = LowPass()
    with pytest.raises(ValueError, match="Native step address cannot be null."):
        stepper.bind_native(0, ("in", "out"))
    with pytest.raises(ValueError, match="Unknown native step 'fast_low_pass'."):
        stepper.bind_native("fast_low_pass", ("in", "out"))
    with pytest.raises(TypeError, match=re.escape("Native step 'state' must be None or a contiguous 1-D float64 array.")):
        stepper.bind_native(address, ("in", "out"), np.zeros(2, complex))
    with pytest.raises(TypeError, match=re.escape("Native step 'cstate' must be None or a contiguous 1-D complex128 array.")):
        stepper.bind_native(address, ("in", "out"), None, np.zeros((2, 2), complex))
    assert stepper._native_step is None

    native = NativeLowPass(native_library)
    entry = native._native_step
    good = np.zeros(2, complex)
    cases = [
        ((entry, -1, good, good), ValueError, "Argument 'size' cannot be negative."),
        ((entry, 2, [0, 0], good), TypeError, "Argument 'inputs' must be a numpy array."),
        ((entry, 2, good, np.zeros((2, 1), complex)), ValueError, "Array 'outputs' must be 1-dimensional."),
        ((entry, 3, good, good), ValueError, "Array 'inputs' size (2) must match the number of keys (3)."),
        ((entry, 2, np.zeros(2), good), TypeError,
         "Array 'inputs' must be complex (np.complex128). Use array.astype(complex)."),
        ((entry, 2, good, np.zeros(4, complex)[::2]), ValueError, "Array 'outputs' must be contiguous."),
    ]
    for args, error, message in cases:
        with pytest.raises(error, match=re.escape(message)):
            ext._native_step_call(*args, 0, True, False)
    assert native.counter[0] == 0


# ---- Bit sequence registers --------------------------------------------------------------

@pytest.mark.parametrize("function, width, taps", [(ext._prbs7, 7, (6, 5)), (ext._prbs15, 15, (14, 13))])
def test_prbs_registers_have_maximal_period_and_match_a_bit_model(function, width, taps):
    state, seen = 1, set()
    while state not in seen:
        seen.add(state)
        bit = ((state >> taps[0]) ^ (state >> taps[1])) & 1
        following = function(state)
        assert following == ((state << 1) | bit) & ((1 << width) - 1)
        state = following
    assert state == 1 and len(seen) == 2 ** width - 1


def test_prbs_known_values_and_arguments():
    assert [ext._prbs7(s) for s in (1, 0x60, 0x40)] == [2, 0x40, 0x01]
    assert ext._prbs31(1 << 30) == 1 and ext._prbs31(1 << 27) == (1 << 28) | 1
    assert ext._prbs31((1 << 30) | (1 << 27)) == 1 << 28
    assert ext._prbs31(0x7FFFFFFF) == 0x7FFFFFFE
    for function in (ext._prbs7, ext._prbs15, ext._prbs31):
        for args in ((), (1, 2)):
            with pytest.raises(TypeError, match="Expected 1 positional argument."):
                function(*args)
        with pytest.raises(TypeError):
            function(1.5)
