"""Terminal matrices: construction, conversions against scikit-rf, MNA solves of small circuits
against closed forms, and stamp assembly."""

import copy
import re

import numpy as np
import pytest
import skrf

import tarnwhistle as tw
from tarnwhistle import extension

MATRIX_TYPES = [tw.ZMatrix, tw.YMatrix, tw.MNAMatrix]


def dense(matrix, names, s_matrix=False):
    """(F, N, N) array of a matrix over the names; S matrices are indexed [output][input]."""
    if s_matrix:
        return np.stack([[matrix[a + "@0", b + "@0"] for a in names] for b in names]).transpose(2, 0, 1)
    return np.stack([[matrix[a, b] for b in names] for a in names]).transpose(2, 0, 1)


def s_matrix_of(values, frequencies, names):
    return tw.SMatrix(frequencies, {(a + "@0", b + "@0"): values[:, j, i]
                                    for i, a in enumerate(names) for j, b in enumerate(names)})


def terminal_matrix(kind, values, frequencies, names):
    return kind(frequencies, {(a, b): values[:, i, j] for i, a in enumerate(names) for j, b in enumerate(names)})


# ---- Construction and access ---------------------------------------------------------------

@pytest.mark.parametrize("kind", MATRIX_TYPES)
def test_construction_access_and_copies(kind):
    terminal = tw.Terminal((5, 0), tw.Rectangle((0, 0), (2, 1)))
    m = kind([1e9, 2e9], {("b", "a"): [1, 2j], ("a", "a"): (3, 4)}, terminals={"c": None, "t": terminal})
    assert list(m.terminals) == ["a", "b", "c", "t"]
    assert m.terminals["t"] is terminal
    np.testing.assert_array_equal(m[("b", "a")], [1, 2j])
    np.testing.assert_array_equal(m["a", "b"], [0, 0])
    np.testing.assert_allclose(m.wavelengths, tw.C_0 / np.array([1e9, 2e9]))
    with pytest.raises(KeyError, match=re.escape("'x' is not a valid terminal name.")):
        m["a", "x"]
    name = kind.__name__
    assert repr(m).startswith(f"{name}(frequencies=[1000000000.0, 2000000000.0], elements={{('a', 'a'): ")
    assert str(m) == f"{name} with 4 terminals"
    shallow, deep = copy.copy(m), copy.deepcopy(m)
    assert shallow == m and deep == m and m.copy() == m
    assert deep.terminals["t"] is not terminal
    m.properties = tw.Properties()
    with pytest.raises(TypeError):
        m.properties = 1
    deep.force_symmetric()
    np.testing.assert_array_equal(deep["a", "b"], [1, 2j])
    assert m != deep


@pytest.mark.parametrize("args, kwargs, error, message", [
    (([1], []), {}, TypeError, "Argument 'elements' must be a mapping of terminal tuples to value arrays."),
    (([1], {("a",): [1]}), {}, TypeError, "Keys in 'elements' must be sequences of 2 strings: terminal1, terminal2."),
    (([1], {("a", 2): [1]}), {}, TypeError, "Keys in 'elements' must be sequences of 2 strings: terminal1, terminal2."),
    (([1], {}), {"terminals": [1]}, TypeError,
     "Argument 'terminals' must be a mapping of terminal names to terminal instances."),
    (([1], {}), {"terminals": {1: None}}, TypeError, "Keys in 'terminals' must be strings."),
    (([1], {}), {"terminals": {"a": 1}}, TypeError, "'terminals[a]' must be a Terminal instance or None."),
    (([1, 2], {("a", "b"): [1]}), {}, ValueError,
     "{} elements['a', 'b'] has length 1, but 'frequencies' has length 2: same size expected."),
])
@pytest.mark.parametrize("kind", MATRIX_TYPES)
def test_constructor_errors(kind, args, kwargs, error, message):
    with pytest.raises(error, match="^" + re.escape(message.format(kind.__name__)) + "$"):
        kind(*args, **kwargs)


def test_force_symmetric_mirrors_single_elements_and_averages_pairs():
    y = tw.YMatrix([1.0], {("a", "b"): [2], ("c", "d"): [1], ("d", "c"): [3j]})
    assert y.force_symmetric() is y
    np.testing.assert_array_equal(y["b", "a"], [2])
    np.testing.assert_array_equal(y["c", "d"], [0.5 + 1.5j])
    np.testing.assert_array_equal(y["d", "c"], [0.5 + 1.5j])


# ---- Conversions --------------------------------------------------------------------------

def random_s(rng, frequencies, n):
    return 0.3 * (rng.normal(size=(frequencies, n, n)) + 1j * rng.normal(size=(frequencies, n, n)))


@pytest.mark.parametrize("z0", [50.0, [20.0, 50.0, 75.0, 110.0], [30 + 10j] * 4, 1.5 - 40j])
def test_conversions_agree_with_scikit_rf(z0):
    rng = np.random.default_rng(7)
    frequencies = np.linspace(1e9, 5e9, 6)
    names = ["a", "b", "c", "d"]
    impedances = z0 if np.isscalar(z0) else dict(zip(names, z0))
    z0_array = np.broadcast_to(np.asarray(z0, dtype=complex), (4,)).copy()
    s = random_s(rng, 6, 4)
    s_matrix = s_matrix_of(s, frequencies, names)
    # Real or equal reference impedances: every wave definition agrees on these.
    z = tw.s_to_z_matrix(s_matrix, impedances)
    np.testing.assert_allclose(dense(z, names), skrf.network.s2z(s, z0_array, s_def="pseudo"), atol=1e-10, rtol=0)
    y = tw.s_to_y_matrix(s_matrix, impedances)
    np.testing.assert_allclose(dense(y, names), skrf.network.s2y(s, z0_array, s_def="pseudo"), atol=1e-10, rtol=0)
    z_values = dense(z, names)
    back = tw.z_to_s_matrix(terminal_matrix(tw.ZMatrix, z_values, frequencies, names), impedances)
    np.testing.assert_allclose(dense(back, names, True), skrf.network.z2s(z_values, z0_array, s_def="pseudo"),
                               atol=1e-10, rtol=0)
    np.testing.assert_allclose(dense(back, names, True), s, atol=1e-10, rtol=0)
    y_values = dense(y, names)
    back = tw.y_to_s_matrix(terminal_matrix(tw.YMatrix, y_values, frequencies, names), impedances)
    np.testing.assert_allclose(dense(back, names, True), skrf.network.y2s(y_values, z0_array, s_def="pseudo"),
                               atol=1e-10, rtol=0)
    assert list(back.ports) == names and set(back.elements) == {(a + "@0", b + "@0") for a in names for b in names}
    np.testing.assert_allclose(dense(z.to_y_matrix(), names), np.linalg.inv(z_values), rtol=1e-9)
    np.testing.assert_allclose(dense(tw.y_to_z_matrix(y), names), z_values, rtol=1e-9)
    np.testing.assert_allclose(dense(tw.z_to_y_matrix(z), names), y_values, rtol=1e-9)
    np.testing.assert_allclose(dense(y.to_z_matrix(), names), z_values, rtol=1e-9)


def test_mixed_complex_reference_impedances_round_trip():
    rng = np.random.default_rng(3)
    names = ["p", "q", "r"]
    impedances = {"p": 20 + 5j, "q": 50 - 10j, "r": 75 + 30j}
    s = random_s(rng, 3, 3)
    s_matrix = s_matrix_of(s, [1.0, 2.0, 3.0], names)
    for to_terminal, to_s in [(tw.s_to_z_matrix, tw.z_to_s_matrix), (tw.s_to_y_matrix, tw.y_to_s_matrix)]:
        back = to_s(to_terminal(s_matrix, impedances), impedances)
        np.testing.assert_allclose(dense(back, names, True), s, atol=1e-10, rtol=0)


def test_single_terminal_edge_cases():
    assert np.allclose(tw.z_to_s_matrix(tw.ZMatrix([1.0], {("t", "t"): [50]}))["t@0", "t@0"], 0)
    assert np.allclose(tw.z_to_s_matrix(tw.ZMatrix([1.0], {("t", "t"): [0]}))["t@0", "t@0"], -1)
    assert np.allclose(tw.y_to_s_matrix(tw.YMatrix([1.0], {("t", "t"): [0]}))["t@0", "t@0"], 1)
    # An open end at 75 ohm seen from 25 ohm: (75 - 25) / (75 + 25).
    assert np.allclose(tw.z_to_s_matrix(tw.ZMatrix([1.0], {("t", "t"): [75]}), {"t": 25})["t@0", "t@0"], 0.5)


def singular_message(function, what, index=1):
    return (f"Singular matrix in {function} at frequency index {index}: {what} is not invertible. "
            "(Check for floating subcircuits.)")


@pytest.mark.parametrize("call, message", [
    (lambda: tw.s_to_z_matrix(tw.SMatrix([1.0, 2.0], {("t@0", "t@0"): [0, 1]})), singular_message("s_to_z_matrix", "(I - S)")),
    (lambda: tw.s_to_y_matrix(tw.SMatrix([1.0, 2.0], {("t@0", "t@0"): [0, -1]})), singular_message("s_to_y_matrix", "(I + S)")),
    (lambda: tw.z_to_s_matrix(tw.ZMatrix([1.0, 2.0], {("t", "t"): [0, -50]})), singular_message("z_to_s_matrix", "(Z + Zr)")),
    (lambda: tw.y_to_s_matrix(tw.YMatrix([1.0, 2.0], {("t", "t"): [0, -0.02]})),
     singular_message("y_to_s_matrix", "(I + Zr*Y)")),
    (lambda: tw.y_to_z_matrix(tw.YMatrix([1.0, 2.0], {("a", "a"): [1, 1], ("b", "b"): [1, 0]})),
     "Y matrix is singular at frequency index 1. Cannot invert. (Check for floating nodes or missing ground reference.)"),
    (lambda: tw.ZMatrix([1.0], {("a", "b"): [1]}).to_y_matrix(),
     "Z matrix is singular at frequency index 0. Cannot invert. (Check for floating nodes or missing ground reference.)"),
    (lambda: tw.s_to_z_matrix(tw.SMatrix([1.0], {("t@0", "t@1"): [0]})),
     "S matrix has multi-mode ports; cannot convert to Z matrix."),
    (lambda: tw.s_to_y_matrix(tw.SMatrix([1.0], {("t@1", "t@1"): [0]})),
     "S matrix has multi-mode ports; cannot convert to Y matrix."),
    (lambda: tw.s_to_z_matrix(tw.SMatrix([1.0], {})), "S matrix has no ports."),
    (lambda: tw.z_to_s_matrix(tw.ZMatrix([1.0], {})), "Z matrix has no terminals."),
    (lambda: tw.y_to_s_matrix(tw.YMatrix([1.0], {})), "Y matrix has no terminals."),
    (lambda: tw.YMatrix([1.0], {}).to_z_matrix(), "Y matrix has no terminals."),
    (lambda: tw.z_to_y_matrix(tw.ZMatrix([1.0], {})), "Z matrix has no terminals."),
    (lambda: tw.z_to_s_matrix(tw.ZMatrix([1.0], {("a", "b"): [1]}), {"a": 50}), "Missing impedance for terminal 'b'."),
    (lambda: tw.s_to_y_matrix(tw.SMatrix([1.0], {("p@0", "p@0"): [0]}), -1j),
     "Reference impedance for terminal 'p' must have a positive real part."),
])
def test_conversion_failures(call, message):
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        call()


def test_conversion_argument_types():
    with pytest.raises(TypeError, match=re.escape("Argument 'z_matrix' must be a 'ZMatrix' instance.")):
        tw.z_to_s_matrix(tw.YMatrix([1.0], {("a", "a"): [1]}))
    with pytest.raises(TypeError, match=re.escape("Argument 's_matrix' must be a 'SMatrix' instance.")):
        tw.s_to_y_matrix(None)
    with pytest.raises(TypeError, match="Argument 'impedances' must be a number or a dict"):
        tw.s_to_z_matrix(tw.SMatrix([1.0], {("p@0", "p@0"): [0]}), "50")


# ---- MNA solves ---------------------------------------------------------------------------

Z0 = 50.0


def series(g, a="in", b="out"):
    return {(a, a): g, (b, b): g, (a, b): -g, (b, a): -g}


def stamp(elements, frequencies):
    return tw.MNAMatrix(frequencies, {k: np.broadcast_to(v, len(frequencies)) for k, v in elements.items()})


def solve(elements, frequencies, port_map):
    return extension._mna_to_s(stamp(elements, frequencies), port_map)


PORTS = {"P1": ("in", Z0), "P2": ("out", Z0)}


@pytest.mark.parametrize("r", [1.0, 100.0, 3e4])
def test_series_resistor(r):
    s = solve(series(1 / r), [1e9], PORTS)
    np.testing.assert_allclose(s["P1@0", "P1@0"], r / (r + 2 * Z0))
    np.testing.assert_allclose(s["P1@0", "P2@0"], 2 * Z0 / (r + 2 * Z0))
    np.testing.assert_allclose(s["P2@0", "P1@0"], 2 * Z0 / (r + 2 * Z0))


def test_resistor_divider_matches_its_admittance_matrix():
    r1, r2 = 30.0, 70.0
    elements = series(1 / r1)
    elements[("out", "out")] = 1 / r1 + 1 / r2
    s = solve(elements, [1.0], PORTS)
    # Input impedance with the 50-ohm load: r1 + (r2 || 50); through voltage over the load.
    load = r2 * Z0 / (r2 + Z0)
    z_in = r1 + load
    np.testing.assert_allclose(s["P1@0", "P1@0"], (z_in - Z0) / (z_in + Z0))
    np.testing.assert_allclose(s["P1@0", "P2@0"], 2 * load / (r1 + load + Z0))
    y = np.array([[[1 / r1, -1 / r1], [-1 / r1, 1 / r1 + 1 / r2]]])
    np.testing.assert_allclose(dense(s, ["P1", "P2"], True), skrf.network.y2s(y, Z0), atol=1e-12)


def test_rc_low_pass():
    r, c = 100.0, 1e-12
    frequencies = np.array([1e6, 1e9, 1.59e9, 1e10])
    w = 2 * np.pi * frequencies
    y_c = -1j * w * c  # exp(-iωt) convention
    elements = series(1 / r)
    elements[("out", "out")] = 1 / r + y_c
    s = solve(elements, frequencies, PORTS)
    shunt = 1 / (1 / Z0 + y_c)
    np.testing.assert_allclose(s["P1@0", "P2@0"], 2 * shunt / (Z0 + r + shunt), rtol=1e-12)
    z_in = r + shunt
    np.testing.assert_allclose(s["P1@0", "P1@0"], (z_in - Z0) / (z_in + Z0), rtol=1e-12)


def test_lc_resonator_with_an_inductor_current():
    l, c = 1e-9, 1e-12
    f0 = 1 / (2 * np.pi * np.sqrt(l * c))
    frequencies = np.array([0.5, 1.0, 2.0]) * f0
    w = 2 * np.pi * frequencies
    # Parallel LC to ground: the inductor through its branch current "_I" (v - Z_L·i = 0).
    elements = {("n", "n"): -1j * w * c, ("n", "_I"): 1.0, ("_I", "n"): 1.0, ("_I", "_I"): 1j * w * l}
    s = solve(elements, frequencies, {"P": ("n", Z0)})
    y = -1j * w * c + 1 / (-1j * w * l)
    np.testing.assert_allclose(s["P@0", "P@0"], (1 - Z0 * y) / (1 + Z0 * y), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(s["P@0", "P@0"][1], 1.0, atol=1e-9)


def test_differential_port_and_complex_port_impedance():
    r = 40.0
    z = 30 + 20j
    elements = series(1 / r, "a", "b")
    # Without a path to ground the pair floats; a shunt at one end carries no port current.
    with pytest.raises(RuntimeError, match="Singular augmented MNA matrix at frequency index 0"):
        extension._mna_to_s(stamp(elements, [1.0]), {"D": ("a", "b", z)})
    elements[("b", "b")] += 1 / 7.0
    s = extension._mna_to_s(stamp(elements, [1.0]), {"D": ("a", "b", z)})
    np.testing.assert_allclose(s["D@0", "D@0"], (r - z) / (r + z))


def test_floating_node_is_singular():
    mna = stamp({**series(0.01), ("x", "x"): 0}, [1.0, 2.0])
    with pytest.raises(RuntimeError, match="^" + re.escape(
            "Singular augmented MNA matrix at frequency index 0. Check stamp consistency and port reference "
            "definitions.") + "$"):
        extension._mna_to_s(mna, PORTS)


@pytest.mark.parametrize("mna, port_map, message", [
    (tw.MNAMatrix([1.0], {("a", "a"): [1]}), {"P": ("z", 50)},
     "Port 'P' references signal terminal 'z' which does not exist in the MNA matrix. Available terminals: a"),
    (tw.MNAMatrix([1.0], {("a", "b"): [1]}), {"P": ("a", "c", 50)},
     "Port 'P' references reference terminal 'c' which does not exist in the MNA matrix. Available terminals: a, b"),
    (tw.MNAMatrix([1.0], {("a", "a"): [1]}), {"P": ("a", -5)},
     "Reference impedance for port 'P' must have a positive real part."),
    (tw.MNAMatrix([1.0], {("a", "a"): [1]}), {}, "Port map is empty. Must specify terminal-to-port mapping."),
    (tw.MNAMatrix([1.0], {}), {"P": ("a", 50)}, "MNA matrix has no terminals."),
])
def test_mna_to_s_failures(mna, port_map, message):
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        extension._mna_to_s(mna, port_map)


@pytest.mark.parametrize("port_map, error, message", [
    ([], TypeError, "'port_map' must be a dict."),
    ({1: ("a", 50)}, TypeError, "'port_map' keys must be strings (port names)."),
    ({"P": ["a", 50]}, TypeError, "'port_map' values must be tuples of (signal_terminal, impedance) or "
                                  "(signal_terminal, reference_terminal, impedance)."),
    ({"P": ("a",)}, TypeError, "'port_map' values must be tuples of (signal_terminal, impedance) or "
                               "(signal_terminal, reference_terminal, impedance)."),
    ({"P": (1, 50)}, TypeError, "'port_map' signal terminal must be a string."),
    ({"P": ("a", 2, 50)}, TypeError, "'port_map' reference terminal must be a string or None."),
    ({"P": ("a", "50")}, TypeError, "'port_map' impedance must be a number (float or complex)."),
    ({"P": ("a", None, 50)}, ValueError, "Ground-referenced port_map entries must use (signal_terminal, impedance)."),
    ({"P": ("a", "", 50)}, ValueError, "Differential port_map entries must use a non-empty reference terminal string."),
    ({"P": ("a", "a", 50)}, ValueError, "A differential port_map entry must use distinct signal and reference terminals."),
])
def test_port_map_validation(port_map, error, message):
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        extension._mna_to_s(tw.MNAMatrix([1.0], {("a", "a"): [1]}), port_map)


def test_mna_to_s_argument_checks():
    with pytest.raises(TypeError, match=re.escape("Argument 'mna' must be an 'MNAMatrix' instance.")):
        extension._mna_to_s(tw.YMatrix([1.0], {("a", "a"): [1]}), {"P": ("a", 50)})
    with pytest.raises(TypeError):
        extension._mna_to_s(tw.MNAMatrix([1.0], {("a", "a"): [1]}), port_map={"P": ("a", 50)})


# ---- Assembly -----------------------------------------------------------------------------

def resistor(r, frequencies=(1.0,)):
    return tw.MNAMatrix(list(frequencies), {k: [v] * len(frequencies) for k, v in series(1 / r, "a", "b").items()})


def test_assembled_series_resistors_match_their_sum():
    matrix, nodes = extension._assemble_mna([resistor(30), resistor(70)],
                                     [[(None, "in"), (0, "a")], [(0, "b"), (1, "a")], [(1, "b"), (None, "out")]])
    assert nodes[(None, "in")] == nodes[(0, "a")] == "in"
    assert nodes[(1, "b")] == "out"
    assert nodes[(0, "b")] == nodes[(1, "a")] not in ("in", "out")
    assert set(matrix.terminals) == {"in", "out", nodes[(0, "b")]}
    s = extension._mna_to_s(matrix, PORTS)
    np.testing.assert_allclose(s["P1@0", "P1@0"], 100 / 200)
    np.testing.assert_allclose(s["P1@0", "P2@0"], 100 / 200)


def test_parallel_resistors_and_unconnected_terminals():
    # Both resistors between the same nets halve the resistance; a later net joining an
    # instance terminal keeps the boundary name of the earlier one.
    matrix, nodes = extension._assemble_mna([resistor(200), resistor(200)],
                                     [[(None, "in"), (0, "a")], [(1, "a"), (0, "a")], [(0, "b"), (1, "b"), (None, "out")]])
    assert nodes[(1, "a")] == "in" and nodes[(1, "b")] == "out"
    s = extension._mna_to_s(matrix, PORTS)
    np.testing.assert_allclose(s["P1@0", "P1@0"], 100 / 200)
    matrix, nodes = extension._assemble_mna([resistor(10)], [])
    assert sorted(nodes.values()) == ["a\x1d0", "b\x1d0"]
    np.testing.assert_array_equal(matrix["a\x1d0", "b\x1d0"], [-0.1])


@pytest.mark.parametrize("matrices, connections, message", [
    ([], [], "Cannot assemble an MNA matrix from zero instances."),
    ([None, resistor(1)], [], "Null MNA matrix for instance 0."),
    ([resistor(1), None], [], "Null MNA matrix for instance 1"),
    ([resistor(1), resistor(1, (1.0 + 1e-9,))], [],
     "Instance 1 frequencies differ from instance 0; all instances must share a grid."),
    ([resistor(1)], [[(None, "x\x1dy")]],
     "A boundary terminal name may not contain the group separator control character (\\x1d)."),
    ([resistor(1)], [[(1, "a")]], "A net refers to an invalid instance."),
    ([resistor(1)], [[(-1, "a")]], "A net refers to an invalid instance."),
    ([resistor(1)], [[(0, "q")]], "A net references terminal 'q' on reference 0, which has no such terminal."),
])
def test_assembly_failures(matrices, connections, message):
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        extension._assemble_mna(matrices, connections)


@pytest.mark.parametrize("matrices, connections", [(1, []), ([1], []), ([resistor(1)], 1), ([resistor(1)], [[("0", "a")]]),
                                                   ([resistor(1)], [[(0, "a", 1)]])])
def test_assembly_argument_types(matrices, connections):
    with pytest.raises(TypeError):
        extension._assemble_mna(matrices, connections)
