"""Time-domain models: recursive convolution against scipy's linear simulation and the
frequency response, delay splitting and interpolation, state handling (update_state, reset,
copies, the compiled entry), messages, and Component.setup_time_stepper."""

import copy

import numpy as np
import pytest
import scipy.signal

import tarnwhistle as tw
from tarnwhistle import extension as ext

DT = 1e-12
TWO_PI = 2 * np.pi


def matrix(poles, residues, delays=None, frequency_scaling=TWO_PI):
    return tw.PoleResidueMatrix(poles, residues, frequency_scaling=frequency_scaling, delays=delays)


def through(residues, delay=None):
    """A pole-free path A@0 → B@0 with the given constant and delay (seconds)."""
    return tw.TimeDomainModel(matrix([], {("A@0", "B@0"): [residues]}, {("A@0", "B@0"): delay} if delay else None), DT)


def run(model, key, values):
    """Outputs of a model stepped with `values` on input `key`."""
    return model.step(tw.TimeSeries({key: values}, DT), show_progress=False)


def lsim_output(poles, residues, constant, scaling, time_step, values):
    """scipy's output of the equivalent real state space for piecewise-linear input that starts
    from zero one step before the first sample."""
    rate = TWO_PI / scaling
    system = scipy.signal.StateSpace(np.diag(rate * np.asarray(poles)), rate * np.ones((len(poles), 1)),
                                     np.asarray(residues)[None, :], [[constant]])
    padded = np.concatenate(([0.0], values))
    times = time_step * np.arange(len(padded))
    _, y, _ = scipy.signal.lsim(system, padded, times, interp=True)
    return y[1:]


# ---- Discretisation against closed forms and scipy ---------------------------------------


@pytest.mark.parametrize("scaling", [TWO_PI, 1.0])
def test_real_poles_match_scipy_linear_simulation(scaling):
    poles = np.array([-2e11, -7e10]) * (scaling / TWO_PI)
    residues, constant = np.array([3e11, -5e10]) * (scaling / TWO_PI), 0.25
    model = tw.TimeDomainModel(
        matrix(poles, {("P0@0", "P1@0"): [*residues, constant]}, frequency_scaling=scaling), DT)
    rng = np.random.default_rng(3)
    values = np.concatenate((np.zeros(5), rng.normal(size=60), np.ones(40), np.zeros(30)))
    expected = lsim_output(poles, residues, constant, scaling, DT, values)
    got = run(model, "P0@0", values)["P1@0"]
    np.testing.assert_allclose(got.real, expected, rtol=0, atol=1e-9 * np.abs(expected).max())
    assert np.all(got.imag == 0)


def test_step_and_impulse_responses_of_a_complex_pole_pair():
    # Conjugate poles with conjugate residues form a real system: scipy's real-form state space.
    p, r = -3e10 - 2e11j, 4e10 + 1e10j
    model = tw.TimeDomainModel(matrix([p, np.conj(p)], {("A@0", "B@0"): [r, np.conj(r), 0]}), DT)
    a = np.array([[p.real, p.imag], [-p.imag, p.real]])
    system = scipy.signal.StateSpace(a, [[1], [0]], [[2 * r.real, 2 * r.imag]], [[0]])
    steps = 200
    times = DT * np.arange(steps + 1)
    for values in (np.ones(steps), np.eye(1, steps)[0]):
        _, y, _ = scipy.signal.lsim(system, np.concatenate(([0.0], values)), times, interp=True)
        model.reset()
        got = run(model, "A@0", values)["B@0"]
        np.testing.assert_allclose(got.real, y[1:], rtol=0, atol=1e-9 * np.abs(y).max())
        assert np.abs(got.imag).max() < 1e-9 * np.abs(y).max()
    # The step response settles at the DC gain.
    model.reset()
    settled = run(model, "A@0", np.ones(4000))["B@0"][-1]
    assert settled == pytest.approx(-(r / p + np.conj(r) / np.conj(p)), rel=1e-9)


@pytest.mark.parametrize("delay_steps", [0, 5, 2.5, 0.25])
def test_sinusoid_steady_state_equals_the_frequency_response(delay_steps):
    frequency = 2e9
    time_step = 1e-13
    # Transients decay within a fraction of the run.
    prm = matrix([-4e10 - 1.2e11j, -6e10], {("A@0", "B@0"): [5e10 + 1e10j, 2e10, 0.1], ("A@0", "A@0"): [1e10, -1e10j, 0]},
                 {("A@0", "B@0"): delay_steps * time_step})
    model = tw.TimeDomainModel(prm, time_step)
    times = time_step * np.arange(30000)
    signal = np.exp(-1j * TWO_PI * frequency * times)
    out = run(model, "A@0", signal)
    s = prm([frequency])
    for key in ("A@0", "B@0"):
        expected = s["A@0", key][0] * signal[-100:]
        np.testing.assert_allclose(out[key][-100:], expected, rtol=0, atol=1e-6 * abs(s["A@0", key][0]))


def test_zero_input_keeps_the_state_exactly_zero_until_the_first_value():
    p, u = -5e10 + 3e11j, 0.3 - 0.2j
    model = tw.TimeDomainModel(matrix([p], {("A@0", "A@0"): [1, 0]}), DT)
    inputs, outputs = np.zeros(1, complex), np.ones(1, complex)
    for k in range(50):
        model.step_single(inputs, outputs, k)
        assert outputs[0] == 0
    assert "state={'A@0': [0j]}" in repr(model)
    q = TWO_PI * DT / TWO_PI * p
    b = (np.exp(q) - 1 - q) / (q * p)
    inputs[0] = u
    model.step_single(inputs, outputs, 50)
    assert outputs[0] == pytest.approx(b * u, rel=1e-14, abs=0)


# ---- Delays ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "delay_steps, split, response",
    [
        (3 * (1 + 1e-12), (3, 0.0), [0, 0, 0, 1, 0, 0]),
        (2.5, (2, 0.5), [0, -0.0625, 0.5625, 0.5625, -0.0625, 0]),
        (0.25, (0, 0.25), [0.75, 0.25, 0, 0, 0, 0]),
        (1e-11, (0, 0.0), [1, 0, 0, 0, 0, 0]),
        (4.75, (4, 0.75), None),
    ],
)
def test_delay_split_and_interpolation_weights(delay_steps, split, response):
    model = through(1.0, delay_steps * DT)
    assert model._delay_split == {("A@0", "B@0"): pytest.approx(split, abs=1e-9)}
    assert model.path_delays == {("A@0", "B@0"): split[0]}
    assert model._stateless == (split == (0, 0.0))
    impulse = run(model, "A@0", np.eye(1, 8)[0])["B@0"].real
    if response is None:
        # Lagrange weights reproduce a cubic exactly: the delayed samples of k³.
        model.reset()
        k = np.arange(20.0)
        np.testing.assert_allclose(run(model, "A@0", k**3)["B@0"].real[8:], (k[8:] - delay_steps) ** 3, rtol=1e-12)
    else:
        np.testing.assert_allclose(impulse[:6], response, rtol=0, atol=1e-15)


def test_a_delayed_path_reproduces_the_shifted_signal_beside_a_direct_one():
    prm = matrix([], {("A@0", "B@0"): [0.5j], ("B@0", "A@0"): [2.0]}, {("A@0", "B@0"): 7 * DT})
    model = tw.TimeDomainModel(prm, DT)
    values = np.random.default_rng(1).normal(size=40) * (1 + 0.5j)
    out = model.step(tw.TimeSeries({"A@0": values, "B@0": values[::-1]}, DT), show_progress=False)
    np.testing.assert_array_equal(out["B@0"], np.concatenate((np.zeros(7), 0.5j * values[:-7])))
    np.testing.assert_array_equal(out["A@0"], 2.0 * values[::-1])
    np.testing.assert_array_equal(model._direct_matrix, [[0, 2.0], [0, 0]])
    assert not model._stateless


def test_changing_the_time_step_rebuilds_the_delays():
    model = through(1.0, 3e-12)
    assert model.path_delays == {("A@0", "B@0"): 3}
    model.time_step = 2e-12
    assert model._delay_split == {("A@0", "B@0"): (1, pytest.approx(0.5))}
    assert model.time_step == 2e-12


# ---- Keys, direct terms, text forms ------------------------------------------------------


def test_keys_direct_matrix_and_text_forms():
    prm = tw.PoleResidueMatrix([-1e10], {("B@0", "A@10"): [1e10, 0.5], ("A@2", "A@0"): [0, 0.25j]})
    unset = tw.TimeDomainModel(prm, 0)
    assert unset.keys == ("A@0", "A@2", "A@10", "B@0")
    assert unset._direct_matrix is None and unset.time_step == 0
    assert unset.pole_residue_matrix is prm
    assert str(unset) == "Time-domain model with 1 poles and 2 ports"
    assert repr(unset) == f"TimeDomainModel(pole_residue_matrix={prm!r}, state={{}}, output={{}}, time_step=0.0)"
    model = tw.TimeDomainModel(prm, DT)
    direct = np.zeros((4, 4), complex)
    direct[2, 3], direct[0, 1] = 0.5, 0.25j
    np.testing.assert_array_equal(model._direct_matrix, direct)
    assert repr(model).endswith(
        "state={'A@0': [0j], 'A@2': [0j], 'A@10': [0j], 'B@0': [0j]}, "
        "output={'A@0': 0j, 'A@2': 0j, 'A@10': 0j, 'B@0': 0j}, time_step=1e-12)")
    assert tw.TimeDomainModel(tw.PoleResidueMatrix([], {("A@0", "B@0"): [1]}), DT)._stateless
    assert not model._stateless


# ---- State: update_state, reset, copies, the compiled entry ------------------------------


def pair_model():
    prm = matrix([-2e10 - 1e11j, -5e10], {("A@0", "B@0"): [1e10, 3e10j, 0.1], ("B@0", "B@0"): [2e10, 0, 0],
                                          ("B@0", "A@0"): [0, 1e10, 0.3]},
                 {("A@0", "B@0"): 2.5 * DT, ("B@0", "A@0"): 0.4 * DT})
    return tw.TimeDomainModel(prm, DT)


def random_inputs(seed, count=50):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(count, 2)) + 1j * rng.normal(size=(count, 2))


def test_update_state_false_leaves_the_model_unchanged():
    model = pair_model()
    outputs = np.zeros(2, complex)
    for k, u in enumerate(random_inputs(2, 10)):
        model.step_single(u, outputs, k)
    before, saved = repr(model), model.copy()
    probe = np.array([0.5 + 1j, -2])
    trials = [np.zeros(2, complex) for _ in range(2)]
    for out in trials:
        model.step_single(probe, out, 10, update_state=False)
    assert repr(model) == before and model == saved
    np.testing.assert_array_equal(trials[0], trials[1])
    model.step_single(probe, outputs, 10)
    np.testing.assert_array_equal(outputs, trials[0])
    assert model != saved


def test_reset_and_copies_reproduce_runs_bit_for_bit():
    model = pair_model()
    inputs = random_inputs(5)
    series = tw.TimeSeries({"A@0": inputs[:, 0], "B@0": inputs[:, 1]}, DT)
    first = model.step(series, show_progress=False)
    model.reset()
    assert model == pair_model()
    second = model.step(series, show_progress=False)
    for key in model.keys:
        np.testing.assert_array_equal(first[key], second[key])
    # A copy continues exactly as the original; stepping one leaves the other alone.
    for twin in (model.copy(), copy.copy(model), copy.deepcopy(model)):
        assert twin == model and twin is not model
        before = repr(model)
        a = twin.step(series, show_progress=False)
        assert repr(model) == before
        b = model.copy().step(series, show_progress=False)
        for key in model.keys:
            np.testing.assert_array_equal(a[key], b[key])


def test_native_entry_steps_like_step_single():
    model, twin = pair_model(), pair_model()
    address, context, state, cstate = model._native_step
    assert address and context and state is None and cstate is None
    for k, u in enumerate(random_inputs(7, 20)):
        a, b = np.zeros(2, complex), np.zeros(2, complex)
        ext._native_step_call(model._native_step, 2, u, a, k, True, k == 19)
        twin.step_single(u, b, k)
        np.testing.assert_array_equal(a, b)
    assert model == twin and model._native_error is None


def test_native_entry_of_an_unset_model_fails():
    model = tw.TimeDomainModel(tw.PoleResidueMatrix([], {("A@0", "A@0"): [1]}), 0)
    with pytest.raises(RuntimeError, match=r"^Native step failed with code 1 at time index 4\.$"):
        ext._native_step_call(model._native_step, 1, np.zeros(1, complex), np.zeros(1, complex), 4, True, False)
    assert model._native_error == "Time-stepping requires the attribute 'time_step' to be positive."


# ---- Messages ----------------------------------------------------------------------------


def test_argument_errors():
    prm = tw.PoleResidueMatrix([], {("A@0", "A@0"): [1]})
    with pytest.raises(TypeError, match="^Argument 'pole_residue_matrix' must be a PoleResidueMatrix instance.$"):
        tw.TimeDomainModel({}, DT)
    with pytest.raises(ValueError, match="^Cannot have negative 'time_step'.$"):
        tw.TimeDomainModel(prm, -DT)
    with pytest.raises(TypeError, match=r"TimeDomainModel\(\)"):
        tw.TimeDomainModel(prm)
    # No ring buffer could hold a delay of 1e18 steps.
    with pytest.raises(MemoryError):
        through(1.0, 1e6)
    model = tw.TimeDomainModel(prm, 0)
    with pytest.raises(ValueError, match="^Cannot have negative 'time_step'.$"):
        model.time_step = -1
    with pytest.raises(ValueError, match="^Time-stepping requires setting 'time_step' non zero.$"):
        model.time_step = 0
    with pytest.raises(ValueError, match="^Time-stepping requires the attribute 'time_step' to be positive.$"):
        model.step_single(np.zeros(1, complex), np.zeros(1, complex))
    with pytest.raises(ValueError, match="^Time-stepping requires the attribute 'time_step' to be positive.$"):
        model.step(steps=3, time_step=DT, show_progress=False)
    with pytest.raises(ValueError, match="^The duration of the time step must be positive.$"):
        model.step(steps=3, show_progress=False)
    assert model.time_step == 0
    model.time_step = DT
    with pytest.raises(TypeError, match="^Argument 'inputs' must be a TimeSeries instance or None.$"):
        model.step({"A@0": [1]})
    with pytest.raises(ValueError, match="^The number of time steps cannot be negative.$"):
        model.step(steps=-1)
    for inputs in (None, tw.TimeSeries({"A@0": [1]}, DT)):
        with pytest.raises(ValueError, match="^The duration of the time step must be positive.$"):
            model.step(inputs, steps=3, time_step=-DT)
    with pytest.raises(ValueError, match=r"^Array 'outputs' size \(2\) must match the number of keys \(1\).$"):
        model.step_single(np.zeros(1, complex), np.zeros(2, complex))
    with pytest.raises(TypeError, match=r"^Array 'inputs' must be complex \(np.complex128\)"):
        model.step_single(np.zeros(1), np.zeros(1, complex))
    with pytest.raises(TypeError, match="^Argument 'inputs' must be a numpy array.$"):
        model.step_single([1], np.zeros(1, complex))


def test_step_without_inputs_and_ignored_keys(capsys):
    model = through(2.0, DT)
    out = model.step(steps=4, show_progress=False)
    assert out.time_step == DT and out.time_index == 0
    np.testing.assert_array_equal(out["B@0"], np.zeros(4))
    with pytest.warns(RuntimeWarning, match=r"^Input keys not in 'keys' are being ignored: \['C'\]$"):
        out = model.step(tw.TimeSeries({"A@0": [1, 2, 3], "C": [1, 1, 1]}, DT, 5), show_progress=True)
    np.testing.assert_array_equal(out["B@0"], [0, 2, 4])
    assert out.time_index == 5
    assert capsys.readouterr().out.endswith("Progress: 100% \n")


# ---- Component.setup_time_stepper ---------------------------------------------------------


class Fixed(tw.Model):
    def __init__(self, tag):
        super().__init__(tag=tag)
        self.tag = tag

    def start(self, component, frequencies, **kwargs):
        return tw.SMatrix(frequencies, {("P0@0", "P1@0"): np.ones(len(frequencies))})


class Recorder(tw.TimeStepper):
    def __init__(self):
        super().__init__()
        self.calls = []

    @property
    def keys(self):
        return ()

    def setup_state(self, **kwargs):
        self.calls.append(kwargs)


def test_component_setup_time_stepper_picks_the_model_of_the_carrier():
    cell = tw.Component("cell", tw.basic_technology())
    optical, electrical = Fixed("o"), Fixed("e")
    optical.time_stepper, electrical.time_stepper = Recorder(), Recorder()
    cell.add_model(optical, "opt", set_active="optical")
    cell.add_model(electrical, "ele", set_active="electrical")
    stepper = cell.setup_time_stepper(DT, show_progress=False, time_stepper_kwargs={"order": 2})
    assert stepper is electrical.time_stepper and not optical.time_stepper.calls
    assert stepper.calls == [{"component": cell, "time_step": DT, "carrier_frequency": 0.0,
                              "show_progress": False, "order": 2}]
    stepper = cell.setup_time_stepper(DT, 2e14, False)
    assert stepper is optical.time_stepper and stepper.calls[0]["carrier_frequency"] == 2e14
    with pytest.raises(TypeError, match="^Argument 'time_stepper_kwargs' must be a dictionary.$"):
        cell.setup_time_stepper(DT, time_stepper_kwargs=[])
    cell.remove_model("ele")
    with pytest.raises(RuntimeError, match="^No active electrical model found in component 'cell'.$"):
        cell.setup_time_stepper(DT)
    cell.remove_model("opt")
    with pytest.raises(RuntimeError, match="^No active model found in component 'cell'.$"):
        cell.setup_time_stepper(DT, 2e14)


def test_component_setup_time_stepper_uses_the_configured_default():
    cell = tw.Component("cell", tw.basic_technology())
    cell.add_model(Fixed("e"), "ele", set_active="electrical")
    saved = tw.config.default_time_steppers
    try:
        tw.config.default_time_steppers = {"Fixed": Recorder}
        stepper = cell.setup_time_stepper(DT, 1e9, False)
        assert type(stepper) is Recorder
        assert stepper.calls == [{"component": cell, "time_step": DT, "carrier_frequency": 1e9, "show_progress": False}]
    finally:
        tw.config.default_time_steppers = saved
