"""Scattering matrices: construction, element access, text forms and phase/delay estimates."""

import copy

import numpy as np
import pytest

import tarnwhistle as tw


def two_port(frequencies=(1e9, 2e9, 3e9)):
    n = len(frequencies)
    return tw.SMatrix(frequencies, {
        ("P0@0", "P1@0"): np.arange(1, n + 1) * (1 + 1j),
        ("P1@0", "P0@0"): np.arange(1, n + 1) * (1 - 1j),
        ("P0@0", "P0@0"): np.full(n, 0.5),
    })


def test_construction_registers_ports_and_shares_port_objects():
    port = tw.Port((0, 0), 0, tw.PortSpec("a", 1, (0, 1)))
    s = tw.SMatrix([1e9, 2e9], {("A@0", "B@1"): [1, 2j], ("x@y", "name@with@7"): [0, 0]},
                   ports={"A": port, "Z": None})
    assert list(s.ports) == ["A", "B", "Z", "name@with", "x@y"]
    assert s.ports["A"] is port and s.ports["B"] is None
    np.testing.assert_array_equal(s.frequencies, [1e9, 2e9])
    np.testing.assert_allclose(s.wavelengths, tw.C_0 / np.array([1e9, 2e9]))
    assert tw.C_0 == 2.99792458e14
    elements = s.elements
    assert set(elements) == {("A@0", "B@1"), ("x@y", "name@with@7")}
    assert elements[("A@0", "B@1")].dtype == complex
    np.testing.assert_array_equal(elements[("A@0", "B@1")], [1, 2j])


def test_subscript_gives_zeros_for_absent_pairs_and_rejects_unknown_ports():
    s = two_port()
    np.testing.assert_array_equal(s[("P0@0", "P1@0")], [1 + 1j, 2 + 2j, 3 + 3j])
    np.testing.assert_array_equal(s[["P1@0", "P1@0"]], np.zeros(3))
    np.testing.assert_array_equal(s[("P1@3", "P0@2")], np.zeros(3))
    with pytest.raises(KeyError, match="'Q' is not a valid port name."):
        s[("Q@0", "P0@0")]
    for bad in ["P0@0", ("P0@0",), ("P0@0", 1), ("a", "b", "c"), 3]:
        with pytest.raises(TypeError, match="Keys in 'elements' must be sequences of 2 strings"):
            s[bad]


@pytest.mark.parametrize("args, kwargs, error, message", [
    (([1], [(("a", "b"), [1])]), {}, TypeError, "Argument 'elements' must be a mapping of port tuples"),
    (([1], {"ab": [1]}), {}, TypeError, "Keys in 'elements' must be sequences of 2 strings"),
    (([1], {("a", 2): [1]}), {}, TypeError, "Keys in 'elements' must be sequences of 2 strings"),
    (([1, 2], {("a@0", "b@0"): [1]}), {}, ValueError,
     r"elements\['a@0', 'b@0'\] has length 1, but 'frequencies' has length 2: same size expected."),
    (([1], {}), {"ports": [("A", None)]}, TypeError, "Argument 'ports' must be a mapping of port names"),
    (([1], {}), {"ports": {1: None}}, TypeError, "Keys in 'ports' must be strings."),
    (([1], {}), {"ports": {"A": 3}}, TypeError, r"'ports\[A\]' must be a port instance or None."),
    (("x", {}), {}, TypeError, "frequencies"),
])
def test_constructor_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        tw.SMatrix(*args, **kwargs)


def test_text_forms_and_properties():
    values = [1, -2j, complex(0.0, -1e-20), complex(-1.5, float("inf")), 3j]
    s = tw.SMatrix([1e9, 2.5e9, 1, 0.1, 1e22], {("a@0", "b@0"): values}, ports={"c": None})
    assert str(s) == "S matrix with 3 ports"
    assert repr(s) == ("SMatrix(frequencies=[1000000000.0, 2500000000.0, 1.0, 0.1, 1e+22], elements="
                       f"{{('a@0', 'b@0'): {[complex(v) for v in values]!r}}}, "
                       "ports={'a': None, 'b': None, 'c': None})")
    port = tw.GaussianPort((0, 0, 0), (0, 0, 1), 2)
    assert repr(tw.SMatrix([1], {}, {"g": port})) == f"SMatrix(frequencies=[1.0], elements={{}}, ports={{'g': {port!r}}})"
    with pytest.raises(TypeError, match="Value must be an instance of 'Properties'."):
        s.properties = {"a": 1}
    s.properties.note = 3
    assert s.copy().properties.note == 3


def test_copies_are_independent():
    port = tw.Port((0, 0), 0, tw.PortSpec("a", 1, (0, 1)))
    s = tw.SMatrix([1e9], {("A@0", "B@0"): [1]}, {"A": port})
    for other in (s.copy(), copy.copy(s), copy.deepcopy(s)):
        other.force_symmetric().apply_time_delay(1e-10)
        assert set(s.elements) == {("A@0", "B@0")}
        assert s[("A@0", "B@0")][0] == 1
        assert other.ports["A"] == port and other.ports["A"] is not port


def test_force_symmetric_averages_pairs_and_mirrors_single_ones():
    s = two_port()
    s.elements  # the getter returns copies, never views
    assert s.force_symmetric() is s
    np.testing.assert_allclose(s[("P0@0", "P1@0")], [1, 2, 3])
    np.testing.assert_allclose(s[("P1@0", "P0@0")], [1, 2, 3])
    np.testing.assert_allclose(s[("P0@0", "P0@0")], 0.5)
    assert ("P1@0", "P1@0") not in s.elements
    one_sided = tw.SMatrix([1, 2], {("P0@0", "P1@0"): [1j, 2]}).force_symmetric()
    np.testing.assert_array_equal(one_sided[("P1@0", "P0@0")], [1j, 2])


def test_time_delay_and_its_estimate_agree():
    f = np.linspace(1e9, 50e9, 200)
    tau = 37e-12
    s = tw.SMatrix(f, {("A@0", "B@0"): np.full(f.size, 0.8), ("B@0", "A@0"): np.ones(f.size)})
    assert s.apply_time_delay(tau) is s
    np.testing.assert_allclose(s[("A@0", "B@0")], 0.8 * np.exp(2j * np.pi * f * tau), rtol=1e-12)
    for lossless in (False, True):
        delays = s.estimate_delays(lossless=lossless)
        assert delays.keys() == {("A@0", "B@0"), ("B@0", "A@0")}
        assert delays[("A@0", "B@0")] == pytest.approx(tau, rel=1e-9)
    # An advance is no delay.
    assert s.apply_time_delay(-2 * tau).estimate_delays()[("A@0", "B@0")] == 0.0
    # Unsorted frequencies give the same estimate.
    order = np.random.default_rng(1).permutation(f.size)
    shuffled = tw.SMatrix(f[order], {("A@0", "B@0"): np.exp(2j * np.pi * f[order] * tau)})
    assert shuffled.estimate_delays()[("A@0", "B@0")] == pytest.approx(tau, rel=1e-9)


def test_delay_estimate_over_negative_and_positive_frequencies():
    f = np.concatenate([-np.linspace(1e9, 20e9, 80), [0.0], np.linspace(1e9, 20e9, 80)])
    tau = 20e-12
    s = tw.SMatrix(f, {("A@0", "B@0"): np.exp(2j * np.pi * f * tau)})
    # Both walks start at ±1 GHz: the unwrapped change spans 38 of the 40 GHz.
    assert s.estimate_delays()[("A@0", "B@0")] == pytest.approx(tau * 38 / 40, rel=1e-9)
    assert tw.SMatrix([1e9], {("A@0", "B@0"): [1j]}).estimate_delays() == {("A@0", "B@0"): 0.0}


def test_lossless_delay_removes_the_minimum_phase_part():
    f = np.logspace(8, 11, 300)
    fc = 5e9
    low_pass = 1 / (1 - 1j * f / fc)  # minimum phase in the exp(+i2πfτ)-is-a-delay convention
    s = tw.SMatrix(f, {("A@0", "B@0"): low_pass})
    plain = s.estimate_delays()[("A@0", "B@0")]
    assert plain > 0
    assert s.estimate_delays(lossless=True)[("A@0", "B@0")] == pytest.approx(0, abs=plain * 0.01)


def test_estimated_phase_matches_a_first_order_low_pass():
    f = np.logspace(6, 12, 200)
    h = 1 / (1 - 1j * f / 1e9)
    s = tw.SMatrix(f[::-1], {("A@0", "B@0"): np.abs(h[::-1]) * 1j, ("B@0", "A@0"): np.abs(h[::-1])})
    estimate = s.estimate_phase()
    assert estimate is not s and s[("A@0", "B@0")][0] == pytest.approx(np.abs(h[-1]) * 1j)
    values = estimate[("B@0", "A@0")][::-1]
    np.testing.assert_allclose(np.abs(values), np.abs(h), rtol=1e-12)
    np.testing.assert_allclose(np.angle(values), np.angle(h), atol=2e-3)
    # The phase at the lowest frequency stays that of the input.
    rotated = estimate[("A@0", "B@0")][::-1]
    assert np.angle(rotated[0]) == pytest.approx(np.pi / 2)
    np.testing.assert_allclose(np.angle(rotated) - np.pi / 2, np.angle(values), atol=1e-12)
    single = tw.SMatrix([1e9], {("A@0", "B@0"): [2j]}).estimate_phase()
    assert single[("A@0", "B@0")][0] == pytest.approx(2j)


@pytest.mark.parametrize("frequencies, expected", [
    ([1e9, 2e14], "electrical"), (2e14, "optical"), ([6e12], "optical"), ([5.9e12, 3e14], "electrical"),
])
def test_frequency_classification(frequencies, expected):
    assert tw.frequency_classification(frequencies) == expected
