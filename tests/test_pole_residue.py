"""Pole-residue models: evaluation, fitting by relaxed vector fitting, passivity test and enforcement.

Closed forms and scikit-rf's vector fitting are the references. scikit-rf works in the exp(+jωt)
convention, so its networks are fitted here as conjugated data (s = -i·h·f).
"""

import copy
import warnings

import numpy as np
import pytest
import skrf
from skrf.vectorFitting import VectorFitting

import tarnwhistle as tw

TWO_PI = 2 * np.pi
KEYS = [("P0@0", "P0@0"), ("P1@0", "P0@0"), ("P0@0", "P1@0"), ("P1@0", "P1@0")]


def rational(frequencies, poles, residues, constant=0.0, scaling=TWO_PI):
    s = -1j * scaling * np.asarray(frequencies, dtype=float)
    return sum(r / (s - p) for p, r in zip(poles, residues)) + constant


def dense(s_matrix, modes):
    """Array [f, output, input] of an S matrix."""
    return np.array([[s_matrix[(j, i)] for j in modes] for i in modes]).transpose(2, 0, 1)


def sampled_max_singular_value(model, extent):
    """Largest singular value over a dense frequency grid, independent of the model's own test."""
    f = np.concatenate([np.linspace(-extent, extent, 40001), [1e6 * extent]])
    modes = sorted({k for key in model.residues for k in key})
    return np.linalg.svd(dense(model(f), modes), compute_uv=False).max()


def caught(call):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        result = call()
    return result, [(w.category, str(w.message)) for w in record]


def skrf_s_matrix(network):
    n = network.nports
    return tw.SMatrix(network.f, {(f"P{j}@0", f"P{i}@0"): network.s[:, i, j].conj()
                                  for i in range(n) for j in range(n)})


# ---- The model ---------------------------------------------------------------------------------


def test_single_pole_value_delay_scaling_and_text_forms():
    p = -TWO_PI * 1e14
    f = np.array([0, 5e13, 1e14, 3e14])
    key = ("P0@0", "P1@0")
    m = tw.PoleResidueMatrix([p], {key: [TWO_PI * 1e14, 0]})
    expected = TWO_PI * 1e14 / (-1j * TWO_PI * f + TWO_PI * 1e14)
    np.testing.assert_allclose(m(f)[key], expected, rtol=1e-14)
    np.testing.assert_allclose(m(f)[("P1@0", "P0@0")], 0)

    delayed = tw.PoleResidueMatrix([p], {key: [TWO_PI * 1e14, 0]}, delays={key: 2e-15})
    np.testing.assert_allclose(delayed(f)[key], expected * np.exp(1j * TWO_PI * f * 2e-15), rtol=1e-13)
    everywhere = tw.PoleResidueMatrix([p], {key: [TWO_PI * 1e14, 0]}, delays=2e-15)
    assert everywhere.delays == {key: 2e-15}

    # h scales the frequency axis only: h = 1 puts the same response at f·2π.
    unit = tw.PoleResidueMatrix([p], {key: [TWO_PI * 1e14, 0.25]}, 1.0)
    np.testing.assert_allclose(unit(TWO_PI * f)[key], expected + 0.25, rtol=1e-13)
    assert unit.frequency_scaling == 1.0 and m.frequency_scaling == 2 * np.pi

    port = tw.Port((0, 0), 0, tw.PortSpec("a", 1, (0, 1)))
    m = tw.PoleResidueMatrix([-1 + 2j], {("A@0", "B@0"): [1, 0.5]}, ports={"A": port}, delays={("A@0", "B@0"): 1.5})
    assert str(m) == "Pole-residue matrix with 1 poles and 2 ports"
    assert repr(m) == ("PoleResidueMatrix(poles=[(-1+2j)], residues={('A@0', 'B@0'): [(1+0j), (0.5+0j)]}, "
                       f"frequency_scaling=6.283185307179586, ports={{'A': {port!r}, 'B': None}}, "
                       "delays={('A@0', 'B@0'): 1.5})")
    assert m.ports["A"] is port and m([1.0]).ports["A"] == port
    np.testing.assert_array_equal(m.poles, [-1 + 2j])
    np.testing.assert_array_equal(m.residues[("A@0", "B@0")], [1, 0.5])
    for c in (m.copy(), copy.copy(m), copy.deepcopy(m)):
        assert c is not m and repr(c) == repr(m)


def test_rms_error_covers_the_union_of_keys():
    f = np.array([1e9, 2e9, 3e9])
    m = tw.PoleResidueMatrix([-1e9], {("A@0", "A@0"): [1e9, 0.1], ("A@0", "B@0"): [0, 0.2]})
    data = tw.SMatrix(f, {("A@0", "A@0"): np.full(3, 0.3), ("B@0", "A@0"): np.full(3, 0.5j)})
    model_aa = rational(f, [-1e9], [1e9], 0.1)
    squares = np.abs(model_aa - 0.3) ** 2 + 0.2 ** 2 + 0.5 ** 2
    assert m.get_rms_error(data) == pytest.approx(np.sqrt(squares.sum() / (3 * 3)), rel=1e-12)
    with pytest.raises(TypeError, match=r"^Argument 's_matrix' must be an SMatrix instance\.$"):
        m.get_rms_error(m)


def test_constructor_and_call_errors():
    key = ("A@0", "B@0")
    cases = [
        (([-1], [1, 2]), TypeError, "Argument 'residues' must be a mapping of port tuples to value arrays."),
        (([-1], {"AB": [1, 2]}), TypeError, "Argument 'residues' must be a mapping of port tuples to value arrays."),
        (([-1], {key: [1, 2, 3]}), ValueError, "residues['A@0', 'B@0'] has length 3, but 2 expected."),
        (([-1], {key: [1, 2]}, 1.0, [1]), TypeError,
         "Argument 'ports' must be a mapping of port names to port instances."),
        (([-1], {key: [1, 2]}, 1.0, {1: None}), TypeError, "Keys in 'ports' must be strings."),
        (([-1], {key: [1, 2]}, 1.0, {"A": 3}), TypeError, "'ports[A]' must be a port instance or None."),
        (([-1], {key: [1, 2]}, 1.0, None, "x"), TypeError,
         "Argument 'delays' must be a mapping of port tuples to values, or a single number."),
        (([-1], {key: [1, 2]}, 1.0, None, -1), ValueError, "Delays cannot be negative."),
        (([-1], {key: [1, 2]}, 1.0, None, {key: -1}), ValueError,
         "Delays cannot be negative (negative value in 'delays['A@0', 'B@0']')."),
        (([-1], {key: [1, 2]}, 1.0, None, {5: 1}), TypeError, "Error parsing item '5'."),
    ]
    for args, kind, message in cases:
        with pytest.raises(kind) as info:
            tw.PoleResidueMatrix(*args)
        assert str(info.value) == message
    m = tw.PoleResidueMatrix([-1], {key: [1, 2]})
    with pytest.raises(ValueError, match=r"^Argument 'frequencies' cannot be empty\.$"):
        m([])
    with pytest.raises(ValueError, match=r"^Argument 'max_iterations' must be positive\.$"):
        m.enforce_passivity([1.0], max_iterations=0)


# ---- Passivity -----------------------------------------------------------------------------------


def resonant_two_port(gain):
    """A resonance at 5 GHz whose reflection peaks at `gain`."""
    p = [-1e9 - TWO_PI * 5e9j, -1e9 + TWO_PI * 5e9j]
    r = 1e9 * gain
    return tw.PoleResidueMatrix(p, {
        ("P0@0", "P0@0"): [r, r, 0], ("P1@0", "P0@0"): [0.3e9, 0.3e9, 0],
        ("P0@0", "P1@0"): [0.3e9, 0.3e9, 0], ("P1@0", "P1@0"): [0.5e9, 0.5e9, 0.1]})


def test_passivity_test_agrees_with_dense_sampling():
    for gain in (0.2, 0.5, 0.9, 1.1, 1.5):
        m = resonant_two_port(gain)
        assert m.is_passive() == (sampled_max_singular_value(m, 20e9) < 1), gain
    rng = np.random.default_rng(7)
    for trial in range(12):
        poles = -rng.uniform(0.2, 2, 3) * 1e9 - 1j * rng.uniform(-10, 10, 3) * 1e9
        residues = {key: np.append((rng.normal(size=3) + 1j * rng.normal(size=3)) * 3e8, 0.1 * rng.normal())
                    for key in KEYS}
        m = tw.PoleResidueMatrix(poles, residues)
        assert m.is_passive() == (sampled_max_singular_value(m, 30e9) < 1), trial
    # A constant term with a singular value above 1 fails even without poles.
    assert not tw.PoleResidueMatrix([], {("A@0", "A@0"): [1.01]}).is_passive()
    assert tw.PoleResidueMatrix([], {("A@0", "A@0"): [1.0], ("A@0", "B@0"): [0.0]}).is_passive()


def test_enforcement_makes_models_passive_with_a_small_change():
    f = np.linspace(0.1e9, 10e9, 400)
    for real in (False, True):
        m = resonant_two_port(1.3)
        before = m(f)
        assert sampled_max_singular_value(m, 20e9) > 1.3
        assert m.enforce_passivity(f, real=real) is True
        assert m.is_passive() and sampled_max_singular_value(m, 20e9) <= 1
        assert m.get_rms_error(before) < 0.1
        if real:  # residues of conjugate poles stay conjugate
            for r in m.residues.values():
                assert r[0] == pytest.approx(np.conj(r[1]), rel=1e-12)
    # A constant term above 1 can only be lowered with feedthrough.
    m = tw.PoleResidueMatrix([-1e9], {("A@0", "A@0"): [1e8, 1.2]})
    assert m.enforce_passivity(f, max_iterations=3) is False and not m.is_passive()
    assert m.enforce_passivity(f, feedthrough=True) is True
    assert m.residues[("A@0", "A@0")][1].real < 1


# ---- Fitting -------------------------------------------------------------------------------------


def known_two_port(f, real):
    poles = np.array([-0.5e9 - TWO_PI * 4e9j, -1e9 - TWO_PI * 7e9j])
    residues = np.array([[2e8 + 1e8j, 4e8 - 2e8j], [1e8, -3e8j], [5e8 + 2e8j, 1e8]])
    if real:
        poles = np.array([poles[0], np.conj(poles[0]), poles[1], np.conj(poles[1])])
        residues = np.array([[a, np.conj(a), b, np.conj(b)] for a, b in residues])
    elements = {KEYS[k]: rational(f, poles, residues[k], 0.05 * k) for k in range(3)}
    return poles, residues, tw.SMatrix(f, elements)


@pytest.mark.parametrize("real", [False, True])
def test_fit_recovers_known_poles_and_residues(real):
    f = np.linspace(1e9, 10e9, 120) if real else np.linspace(-10e9, 10e9, 120)
    poles, residues, data = known_two_port(f, real)
    model, error = tw.pole_residue_fit(data, min_poles=len(poles), max_poles=len(poles), real=real,
                                       feedthrough=True, passive=False, rms_error_tolerance=0,
                                       silence_warnings=True)
    assert error < 1e-9 and model.get_rms_error(data) == pytest.approx(error, abs=1e-12)
    order = [int(np.argmin(np.abs(model.poles - p))) for p in poles]
    np.testing.assert_allclose(model.poles[order], poles, rtol=1e-8)
    for k in range(3):
        fitted = model.residues[KEYS[k]]
        np.testing.assert_allclose(fitted[order], residues[k], rtol=1e-6, atol=1e-3)
        assert fitted[-1] == pytest.approx(0.05 * k, abs=1e-9)


@pytest.mark.parametrize("real", [False, True])
@pytest.mark.parametrize("feedthrough", [False, True])
@pytest.mark.parametrize("stable", [False, True])
def test_every_variant_fits_stable_data(real, feedthrough, stable):
    f = np.linspace(1e9, 10e9, 80)
    _, _, data = known_two_port(f, True)
    model, error = tw.pole_residue_fit(data, real=real, feedthrough=feedthrough, stable=stable, passive=False,
                                       max_poles=12, rms_error_tolerance=1e-3)
    assert error <= 1e-3 and model.get_rms_error(data) == pytest.approx(error, rel=1e-9)
    if stable:
        assert np.all(model.poles.real < 0)
    if real:
        assert np.allclose(np.sort_complex(model.poles), np.sort_complex(np.conj(model.poles)))
    if not feedthrough:
        assert all(r[-1] == 0 for r in model.residues.values())


@pytest.mark.parametrize("count", [4, 5])
def test_few_frequencies_fit_up_to_the_cap(count):
    f = np.linspace(1e9, 2e9, count)
    data = tw.SMatrix(f, {("A@0", "A@0"): 1 / (1 - 1j * f / 1e9)})  # pole at s = -2π·1e9
    for real in (False, True):
        for feedthrough in (False, True):
            model, error = tw.pole_residue_fit(data, real=real, feedthrough=feedthrough, passive=False,
                                               rms_error_tolerance=0, silence_warnings=True)
            assert error < 1e-12, (real, feedthrough)
            assert np.min(np.abs(model.poles + TWO_PI * 1e9)) < 1e-3 * TWO_PI * 1e9


@pytest.mark.parametrize("name", ["ring_slot", "line", "wr2p2_line", "tee"])
def test_fit_error_matches_vector_fitting_of_scikit_rf(name):
    network = getattr(skrf.data, name)
    n = network.nports
    for pairs in (2, 4):
        vf = VectorFitting(network)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            vf.vector_fit(n_poles_real=0, n_poles_cmplx=pairs)
        theirs = np.sqrt(np.mean([np.abs(vf.get_model_response(i, j, network.f) - network.s[:, i, j]) ** 2
                                  for i in range(n) for j in range(n)]))
        model, ours = tw.pole_residue_fit(skrf_s_matrix(network), min_poles=2 * pairs, max_poles=2 * pairs,
                                          real=True, feedthrough=True, passive=False, rms_error_tolerance=0,
                                       silence_warnings=True)
        assert ours <= theirs * 1.0001 + 1e-15, (name, pairs, ours, theirs)


def test_fit_removes_and_keeps_delays():
    f = np.linspace(1e9, 10e9, 100)
    _, _, base = known_two_port(f, True)
    delay = 3e-10
    data = tw.SMatrix(f, {k: v * np.exp(1j * TWO_PI * f * delay) for k, v in base.elements.items()})
    model, error = tw.pole_residue_fit(data, real=True, feedthrough=True, passive=False, delays=delay, silence_warnings=True,
                                       max_poles=4, min_poles=4, rms_error_tolerance=0)
    assert error < 1e-9 and model.delays == {k: delay for k in data.elements}
    keyed = {k: delay for k in data.elements}
    model, error = tw.pole_residue_fit(data, real=True, feedthrough=True, passive=False, delays=keyed, silence_warnings=True,
                                       max_poles=4, min_poles=4, rms_error_tolerance=0)
    assert error < 1e-9
    model, _ = tw.pole_residue_fit(data, real=True, feedthrough=True, passive=False, delays="auto", max_poles=4, silence_warnings=True,
                                   min_poles=4)
    assert model.delays == data.estimate_delays(lossless=True)


def test_passive_fit_is_passive_and_close():
    f = np.linspace(1e9, 10e9, 200)
    passive_data = resonant_two_port(1.05)(f)
    (model, error), messages = caught(lambda: tw.pole_residue_fit(passive_data, real=True, max_poles=6,
                                                                  min_poles=2, rms_error_tolerance=1e-6))
    assert model.is_passive() and sampled_max_singular_value(model, 30e9) <= 1
    assert error < 0.05 and model.get_rms_error(passive_data) == pytest.approx(error)
    assert (RuntimeWarning, f"Desired RMS error tolerance not reached: {error!r}.") in messages


def test_search_warnings_and_caps():
    f = np.linspace(1e9, 10e9, 10)
    _, _, data = known_two_port(f, True)
    (model, _), messages = caught(lambda: tw.pole_residue_fit(data, passive=False, rms_error_tolerance=0))
    assert messages[0] == (RuntimeWarning, "'max_poles' can be at most 5 due to the number of frequencies (10).")
    assert len(model.poles) <= 5
    (_, _), messages = caught(lambda: tw.pole_residue_fit(data, real=True, passive=False, rms_error_tolerance=0))
    assert messages[0] == (RuntimeWarning, "'max_poles' can be at most 8 due to the number of frequencies (10).")
    (_, error), messages = caught(lambda: tw.pole_residue_fit(data, max_poles=1, rms_error_tolerance=0,
                                                              silence_warnings=True))
    assert messages == [] and error > 0


def test_initial_poles_are_reflected_and_completed():
    f = np.linspace(0.1, 5, 50)
    data = tw.SMatrix(f, {("A@0", "A@0"): rational(f, [-1 + 2j, -1 - 2j], [0.5, 0.5])})
    (model, _), messages = caught(lambda: tw.pole_residue_fit(
        data, initial_poles=[1 + 2j], real=True, passive=False, max_iterations=0))
    np.testing.assert_array_equal(model.poles, [-1 + 2j, -1 - 2j])
    assert [m for _, m in messages] == [
        "Initial poles with positive real part are anti-causal in the 's = -i h f' convention (see "
        "'PoleResidueMatrix') and were reflected onto the stable half-plane. If they come from the "
        "'exp(+i omega t)' convention, negate the poles and conjugate the S matrix data.",
        "If 'real=True', 'initial_poles' must come in conjugate pairs. Adding conjugates of provided ones."]
    (model, error), messages = caught(lambda: tw.pole_residue_fit(
        data, initial_poles=[-2 + 3j, -2 - 3j], real=True, passive=False, max_stale_iterations=10))
    assert messages == [] and error < 1e-10


def test_fit_errors():
    f = np.linspace(1e9, 2e9, 4)
    data = tw.SMatrix(f, {("A@0", "A@0"): np.full(4, 0.5)})
    negative = ("Arguments 'min_poles', 'max_poles', 'max_iterations', and 'max_stale_iterations' cannot be "
                "negative.")
    delays_message = "Argument 'delays' must be a mapping of port tuples to values, a single number, or 'auto'."
    cases = [
        ((data.elements,), {}, TypeError, "Argument 's_matrix' must be an SMatrix instance."),
        ((data,), {"min_poles": -1}, ValueError, negative),
        ((data,), {"max_stale_iterations": -1}, ValueError, negative),
        ((data,), {"delays": "x"}, TypeError, delays_message),
        ((data,), {"delays": None}, TypeError, delays_message),
        ((data,), {"delays": -1e-9}, ValueError, "Delays cannot be negative."),
        ((data,), {"delays": {("A@0", "A@0"): -1}}, ValueError,
         "Delays cannot be negative (negative value in 'delays['A@0', 'A@0']')."),
        ((data,), {"delays": {"A": 1}}, TypeError, "Error parsing item 'A'."),
        ((data,), {"min_poles": 3, "max_poles": 2}, RuntimeError, "'min_poles' cannot be greater than 'max_poles'."),
        ((tw.SMatrix([1e9], {("A@0", "A@0"): [0.5]}),), {}, RuntimeError, "At least 2 frequencies are required."),
        ((data,), {"initial_poles": [-1, -2, -3]}, RuntimeError,
         "The number of poles (3) must be at most 2 for 4 frequencies."),
        ((tw.SMatrix(f, {("A@0", "A@0"): [0.5, np.nan, 0.5, 0.5]}),), {"passive": False}, RuntimeError,
         "Vector fit failed."),
    ]
    for args, kwargs, kind, message in cases:
        with pytest.raises(kind) as info:
            tw.pole_residue_fit(*args, **kwargs)
        assert str(info.value) == message, (kwargs, str(info.value))
