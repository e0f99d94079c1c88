"""Lumped models: port maps, S matrices of MNA stamps through a component, polled runners,
updates, copies and collection."""

import copy
import gc
import re
import weakref

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension as ext
from test_model import SUCCESS, Runner, cell, running  # noqa: F401 -- cell is a fixture

Z0 = 50.0
PORTS = {"P1": ("in", Z0), "P2": ("out", Z0)}


def rc_stamp(frequencies, r, c):
    """Series resistor in-out and a capacitor from out to ground (admittance -iωC)."""
    w = 2 * np.pi * np.asarray(frequencies)
    g = np.full(len(w), 1 / r)
    return tw.MNAMatrix(frequencies, {("in", "in"): g, ("out", "out"): g - 1j * w * c,
                                      ("in", "out"): -g, ("out", "in"): -g})


class LowPass(tw.LumpedModel):
    """An RC low-pass returned at once."""

    def __init__(self, r=100.0, c=1e-12, **kwargs):
        super().__init__(port_map=PORTS, r=r, c=c, **kwargs)
        self.r, self.c = r, c
        self.received = None

    def start_mna(self, component, frequencies, **kwargs):
        self.received = kwargs
        return rc_stamp(frequencies, self.r, self.c)


class MnaRunner(Runner):
    """The polled runner of the model tests, holding a circuit as its result."""

    @property
    def mna_matrix(self):
        return self.s_matrix


class Polled(tw.LumpedModel):
    def __init__(self, statuses=(), result="matrix", port_map=PORTS):
        super().__init__(port_map=port_map, statuses=statuses, result=result)
        self.statuses, self.result = statuses, result

    def start_mna(self, component, frequencies, **kwargs):
        if self.result == "matrix":
            return MnaRunner(self.statuses, rc_stamp(frequencies, 100.0, 1e-12))
        return MnaRunner(self.statuses, self.result)


def low_pass_s(frequencies, r=100.0, c=1e-12):
    shunt = 1 / (1 / Z0 - 2j * np.pi * np.asarray(frequencies) * c)
    z_in = r + shunt
    return (z_in - Z0) / (z_in + Z0), 2 * shunt / (Z0 + r + shunt)


# ---- Construction and the port map --------------------------------------------------------


def test_construction_port_map_and_text_forms():
    model = LowPass(r=20.0)
    assert isinstance(model, tw.Model) and tw.LumpedModel.__base__ is tw.Model
    assert model.port_map == PORTS
    assert model.parametric_kwargs == {"r": 20.0, "c": 1e-12}
    assert repr(model) == "LowPass(r=20.0, c=1e-12, port_map={'P1': ('in', 50.0), 'P2': ('out', 50.0)})"
    model.port_map = {"D": ("a", "b", 30 + 5j)}
    assert model.port_map == {"D": ("a", "b", 30 + 5j)}
    model.port_map = None
    assert model.port_map is None and repr(model) == "LowPass(r=20.0, c=1e-12)"
    plain = tw.LumpedModel(x=1)
    assert plain.port_map is None and repr(plain) == "LumpedModel(x=1)"
    assert repr(tw.LumpedModel(port_map={})) == "LumpedModel(port_map={})"


@pytest.mark.parametrize("port_map, error, message", [
    ([("a", 50)], TypeError, "'port_map' must be a dict."),
    ({"P": ("a", 2j, 50)}, TypeError, "'port_map' reference terminal must be a string or None."),
    ({"P": ("a", None, 50)}, ValueError, "Ground-referenced port_map entries must use (signal_terminal, impedance)."),
    ({"P": ("a", "b", "x")}, TypeError, "'port_map' impedance must be a number (float or complex)."),
])
def test_invalid_port_maps_leave_the_model_unchanged(port_map, error, message):
    model = LowPass()
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        model.port_map = port_map
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        tw.LumpedModel(port_map=port_map)
    assert model.port_map == PORTS


def test_keyword_only_initialiser_and_uninitialized_subclasses(cell):
    with pytest.raises(TypeError, match=re.escape(
            "'LumpedModel.__init__()' takes no positional arguments. Use keyword arguments only in "
            "'super().__init__(...)'.")):
        tw.LumpedModel(1)

    class Skips(tw.LumpedModel):
        def __init__(self):
            pass

    model = Skips()
    assert repr(model) == "Skips(<uninitialized>)"
    message = ("LumpedModel instance is not initialized in 'Skips'. Ensure derived __init__ calls "
               "super().__init__(...).")
    for call in (model.update, lambda: copy.copy(model), lambda: copy.deepcopy(model)):
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            call()


def test_abstract_start_mna_and_empty_port_maps(cell):
    with pytest.raises(NotImplementedError,
                       match="^Classes derived from LumpedModel must implement a 'start_mna' method.$"):
        tw.LumpedModel(port_map=PORTS).start(cell, [1e9])
    for port_map in (None, {}):
        model = LowPass()
        model.port_map = port_map
        with pytest.raises(RuntimeError, match=r"^LumpedModel.start\(\) requires a non-empty port_map.$"):
            model.start(cell, [1e9])
        with pytest.raises(RuntimeError,
                           match="^LumpedModel port_map is empty. Must specify terminal-to-port mapping.$"):
            model.s_matrix(cell, [1e9])


# ---- S matrices -------------------------------------------------------------------------


def test_s_matrix_of_a_low_pass_matches_its_closed_form(cell, capsys):
    frequencies = [1e6, 1e9, 1.6e9, 1e10]
    model = LowPass(r=100.0, c=1e-12)
    s = model.s_matrix(cell, frequencies, model_kwargs={"extra": 3})
    assert model.received == {"extra": 3}
    assert capsys.readouterr().out == "Starting...\rProgress: 100% \n"
    s11, s21 = low_pass_s(frequencies)
    np.testing.assert_allclose(s["P1@0", "P1@0"], s11, rtol=1e-12)
    np.testing.assert_allclose(s["P1@0", "P2@0"], s21, rtol=1e-12)
    np.testing.assert_allclose(s["P2@0", "P1@0"], s21, rtol=1e-12)
    # Through the component's active electrical model.
    cell.add_model(model, "rc")
    s = cell.s_matrix(frequencies, show_progress=False)
    np.testing.assert_allclose(s["P1@0", "P2@0"], s21, rtol=1e-12)


def test_start_returns_a_finished_runner(cell):
    runner = LowPass().start(cell, [1e9])
    assert type(runner).__name__ == "LumpedModelRunner"
    assert runner.status == SUCCESS
    assert isinstance(runner.mna_matrix, tw.MNAMatrix) and isinstance(runner.s_matrix, tw.SMatrix)
    assert set(runner.mna_matrix.terminals) == {"in", "out"}


def test_a_z_matrix_result_is_solved_through_its_admittances(cell):
    class Shunt(tw.LumpedModel):
        def __init__(self):
            super().__init__(port_map={"P": ("n", 25.0)})

        def start_mna(self, component, frequencies, **kwargs):
            return tw.ZMatrix(frequencies, {("n", "n"): [75.0] * len(frequencies)})

    s = Shunt().s_matrix(cell, [1e9, 2e9], show_progress=False)
    np.testing.assert_allclose(s["P@0", "P@0"], [0.5, 0.5])


def test_polled_runner_prints_progress(cell, capsys):
    model = Polled([running(0), running(42.9), SUCCESS])
    s = model.s_matrix(cell, [1e9])
    np.testing.assert_allclose(s["P1@0", "P2@0"], low_pass_s([1e9])[1], rtol=1e-12)
    assert capsys.readouterr().out == "Starting...\rProgress: 0% \\\rProgress: 42% |\rProgress: 100% \n"


@pytest.mark.parametrize("statuses, result, message", [
    ([[1]], "matrix", "LumpedModel status must be a dictionary."),
    ([{"message": "running"}], "matrix", "LumpedModel status dictionary must contain keys 'message' and 'progress'."),
    ([running(150)], "matrix", "LumpedModel status 'progress' must be a number in the range 0-100."),
    ([{"message": "done", "progress": 5}], "matrix",
     "LumpedModel status 'message' must be one of 'success', 'error', or 'running' (found 'done')."),
    ([{"message": "error", "progress": 5, "error": "boom"}], "matrix", "LumpedModel run resulted in error: boom"),
    ([{"message": "error", "progress": 5}], "matrix", "LumpedModel run resulted in error."),
    ([SUCCESS], None, "LumpedModel::mna_matrix returned a null MNA matrix."),
    ([SUCCESS], 5, "start_mna() must return an MNAMatrix or a runner with an 'mna_matrix' attribute."),
])
def test_runner_failures(cell, statuses, result, message):
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        Polled(statuses, result).s_matrix(cell, [1e9], show_progress=False)


def test_results_that_are_no_circuit(cell):
    class Returns(tw.LumpedModel):
        def __init__(self, value=None):
            super().__init__(port_map=PORTS, value=value)
            self.value = value

        def start_mna(self, component, frequencies, **kwargs):
            return self.value

    for value in (3, tw.YMatrix([1.0], {("in", "in"): [1]})):
        with pytest.raises(RuntimeError, match="^" + re.escape(
                "start_mna() must return an MNAMatrix or a runner with an 'mna_matrix' attribute.") + "$"):
            Returns(value).start(cell, [1.0])
    # A stamp missing a port's terminal reaches the caller with the solver's message.
    stamp = tw.MNAMatrix([1.0], {("in", "in"): [1]})
    with pytest.raises(RuntimeError, match="^Port 'P2' references signal terminal 'out' which does not exist"):
        Returns(stamp).s_matrix(cell, [1.0], show_progress=False)


# ---- Updates, copies and lifetime ---------------------------------------------------------


def test_update_and_copies_keep_the_port_map(cell):
    model = LowPass(r=100.0)
    model.port_map = {"A": ("in", 25.0), "B": ("out", 25.0)}
    shallow, deep = copy.copy(model), copy.deepcopy(model)
    for other in (shallow, deep):
        assert type(other) is LowPass and other == model and other.port_map == model.port_map
    deep.port_map = PORTS
    assert deep != model and model.port_map == {"A": ("in", 25.0), "B": ("out", 25.0)}
    # update re-runs __init__, which sets its own port map again.
    model.update(r=300.0)
    assert model.r == 300.0 and model.port_map == PORTS
    s = model.s_matrix(cell, [1.0], show_progress=False)
    np.testing.assert_allclose(s["P1@0", "P2@0"], low_pass_s([1.0], r=300.0)[1], rtol=1e-9)


def test_a_dropped_lumped_model_is_collected(cell):
    model = LowPass()
    model.start(cell, [1.0])
    probe = weakref.ref(model)
    del model
    gc.collect()
    assert probe() is None


# ---- Component assembly ------------------------------------------------------------------


class Resistor(tw.LumpedModel):
    """A series resistor between the terminals a and b."""

    def __init__(self, r=100.0):
        super().__init__(port_map={"P0": ("a", 50.0), "P1": ("b", 50.0)}, r=r)
        self.r = r

    def start_mna(self, component, frequencies, **kwargs):
        g = np.full(len(frequencies), 1 / (self.r * kwargs.get("scale", 1)))
        return tw.MNAMatrix(frequencies, {("a", "a"): g, ("b", "b"): g, ("a", "b"): -g, ("b", "a"): -g})


def resistor_cell(name, r):
    cell = tw.Component(name, tw.basic_technology())
    for terminal, x in (("a", 0), ("b", 10)):
        cell.add_terminal(tw.Terminal((5, 0), tw.Rectangle((x, 0), (x + 1, 1))), terminal)
    cell.add_model(Resistor(r=r), "lumped", set_active="electrical")
    return cell


def test_component_assembly_joins_the_references_by_their_nets():
    top = tw.Component("chain", tw.basic_technology())
    first = top.add_reference(resistor_cell("R1", 30.0))
    second = top.add_reference(resistor_cell("R2", 70.0))
    second.translate((100, 0))
    top.add_virtual_net([(first, "b"), (second, "a")])
    top.add_virtual_net([(first, "a"), "IN"])
    top.add_virtual_net([(second, "b"), "OUT"])
    frequencies = [1e9, 2e9]
    mna = ext._assemble_component_mna(top, frequencies, {"scale": 2})
    s = ext._mna_to_s(mna, {"P0": ("IN", 50.0), "P1": ("OUT", 50.0)})
    total = 2 * (30.0 + 70.0)
    np.testing.assert_allclose(s["P0@0", "P1@0"], 100 / (total + 100))
    np.testing.assert_allclose(s["P0@0", "P0@0"], total / (total + 100))
    with pytest.raises(TypeError, match="^Argument 'component' must be a Component instance.$"):
        ext._assemble_component_mna(1, frequencies)
    with pytest.raises(TypeError, match="^'_assemble_component_mna' takes positional arguments only.$"):
        ext._assemble_component_mna(top, frequencies, kwargs={})
    with pytest.raises(RuntimeError, match="^Cannot assemble an MNA matrix from zero instances.$"):
        ext._assemble_component_mna(tw.Component("empty", tw.basic_technology()), frequencies)
    top.add_reference(tw.Component("plain", tw.basic_technology()))
    with pytest.raises(RuntimeError, match="^Null MNA matrix for instance 2"):
        ext._assemble_component_mna(top, frequencies)
