"""Circuit models: subclassing, running and polling, cost estimates, updates, copies and the
component-level S matrix."""

import copy
import gc
import weakref

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension as ext

FREQUENCIES = [1.9e14, 2.0e14]


def two_port(frequencies, t):
    n = len(frequencies)
    return tw.SMatrix(frequencies, {("P0@0", "P1@0"): np.full(n, t), ("P1@0", "P0@0"): np.full(n, t)})


class Direct(tw.Model):
    """Returns its S matrix at once; records the keyword arguments start receives."""

    def __init__(self, t=0.5, tag="a"):
        super().__init__(t=t, tag=tag)
        self.t = t
        self.calls = []

    def start(self, component, frequencies, **kwargs):
        self.calls.append((component, np.asarray(frequencies).tolist(), kwargs))
        return two_port(frequencies, self.t)


class Runner:
    """Reports the given statuses one poll at a time, then repeats the last one."""

    def __init__(self, statuses, s_matrix=None):
        self.statuses = list(statuses)
        self.s_matrix = s_matrix

    @property
    def status(self):
        return self.statuses.pop(0) if len(self.statuses) > 1 else self.statuses[0]


class Polled(tw.Model):
    def __init__(self, statuses=(), result="matrix"):
        super().__init__(statuses=statuses, result=result)
        self.statuses, self.result = statuses, result
        self.received = None

    def start(self, component, frequencies, **kwargs):
        self.received = kwargs
        result = two_port(frequencies, 0.5) if self.result == "matrix" else self.result
        return Runner(self.statuses, result)


def running(progress):
    return {"message": "running", "progress": progress}


SUCCESS = {"message": "success", "progress": 100}


@pytest.fixture
def cell():
    return tw.Component("cell", tw.basic_technology())


# ---- Construction, text forms and registration -------------------------------------------


def test_keyword_arguments_are_the_parametric_state():
    model = Direct(t=0.25)
    assert model.parametric_kwargs == {"t": 0.25, "tag": "a"}
    assert repr(model) == "Direct(t=0.25, tag='a')" and str(model) == repr(model)
    assert repr(tw.Model()) == "Model()"
    assert model.parametric_function is None and model.random_variables == []
    with pytest.raises(TypeError, match=r"^'Model.__init__\(\)' takes no positional arguments. Use "
                       r"keyword arguments only in 'super\(\).__init__\(...\)'.$"):
        tw.Model(1)


def test_a_subclass_that_skips_the_base_initialiser_is_uninitialized(cell):
    class Forgetful(tw.Model):
        def __init__(self):
            pass

    model = Forgetful()
    assert repr(model) == "Forgetful(<uninitialized>)"
    message = (r"^Model instance is not initialized in 'Forgetful'. Ensure derived __init__ calls "
               r"super\(\).__init__\(...\).$")
    for call in (model.update, model.__copy__, lambda: copy.deepcopy(model)):
        with pytest.raises(RuntimeError, match=message):
            call()
    # Still a model: a component can hold it.
    assert cell.add_model(model) == "M0"


def test_register_model_class():
    saved = dict(ext._model_registry)
    try:
        tw.register_model_class(Direct, Polled)
        assert ext._model_registry["Direct"] is Direct and ext._model_registry["Polled"] is Polled
        with pytest.raises(TypeError, match=r"^Argument 0 is not a subclass of 'Model'.$"):
            tw.register_model_class(int)
        with pytest.raises(TypeError, match=r"^Argument 1 is not a subclass of 'Model'.$"):
            tw.register_model_class(Direct, Direct())
    finally:
        ext._model_registry.clear()
        ext._model_registry.update(saved)


def test_abstract_methods_raise():
    model = tw.Model()
    with pytest.raises(NotImplementedError, match="^Classes derived from Model must implement a 'start' method.$"):
        model.start(None, [1])
    with pytest.raises(NotImplementedError, match="must implement an 'autograd_smatrix' method for autograd.$"):
        model.autograd_smatrix(component=None)
    assert model.transform((1, 2), 90, 2, True) is model


# ---- Running and polling ---------------------------------------------------------------


def test_a_direct_result_needs_no_polling(cell, capsys):
    model = Direct(t=0.3)
    s = model.s_matrix(cell, FREQUENCIES, model_kwargs={"mesh": 3})
    assert capsys.readouterr().out == "Starting\u2026\r"
    np.testing.assert_allclose(s["P0@0", "P1@0"], [0.3, 0.3])
    component, frequencies, kwargs = model.calls[0]
    assert component is cell and frequencies == FREQUENCIES and kwargs == {"mesh": 3}
    model.s_matrix(cell, FREQUENCIES, show_progress=False)
    assert capsys.readouterr().out == ""


def test_polling_prints_progress_with_a_spinner(cell, capsys):
    model = Polled([running(10.9), running(-0.0), running(99.99), SUCCESS])
    s = model.s_matrix(cell, FREQUENCIES)
    assert isinstance(s, tw.SMatrix)
    assert capsys.readouterr().out == ("Starting\u2026\rProgress: 10% \\\rProgress: 0% |\r"
                                       "Progress: 99% /\rProgress: 100% \n")


@pytest.mark.parametrize("status, message", [
    ([running(150)], "Model status 'progress' must be a number in the range 0-100."),
    ([{"message": "running", "progress": "half"}], "Model status 'progress' must be a number in the range 0-100."),
    ([[1]], "Model status must be a dictionary."),
    ([{"message": "running"}], "Model status dictionary must contain keys 'message' and 'progress'."),
    ([{"message": "done", "progress": 100}],
     "Model status 'message' must be one of 'success', 'error', or 'running' (found 'done')."),
    ([{"message": "error", "progress": 0}], "Model run resulted in error."),
    ([{"message": "error", "progress": 0, "error": ValueError("bad mesh")}],
     "Model run resulted in error: bad mesh"),
    ([{"message": "error", "progress": 0, "tasks": {"t1": {"error": "diverged"}, "t2": {}}}],
     "Model run resulted in error: \nError from task t1: diverged"),
    ([{"message": "error", "progress": 0, "tasks": {"t2": {}}}], "Model run resulted in error."),
])
def test_runner_failures(cell, capsys, status, message):
    with pytest.raises(RuntimeError) as info:
        Polled(status).s_matrix(cell, FREQUENCIES)
    assert str(info.value) == message
    out = capsys.readouterr().out
    assert out.endswith("Progress: error\n") == ("must contain" not in message and
                                                 "dictionary" not in message and "range" not in message)


def test_runner_result_must_be_an_s_matrix(cell):
    with pytest.raises(RuntimeError, match="^Attribute 's_matrix' from model result is not an SMatrix instance.$"):
        Polled([SUCCESS], result=[1]).s_matrix(cell, FREQUENCIES, show_progress=False)


def test_s_matrix_arguments(cell):
    model = Direct()
    with pytest.raises(TypeError, match="^'component' must be a Component instance.$"):
        model.s_matrix(1, FREQUENCIES)
    with pytest.raises(ValueError, match="^Argument 'frequencies' cannot be empty.$"):
        model.s_matrix(cell, [])
    with pytest.raises(TypeError, match="^Argument 'model_kwargs' must be a dictionary.$"):
        model.s_matrix(cell, FREQUENCIES, True, [])
    assert model.calls == []


def test_estimate_cost(cell):
    tasks = {"a": {"estimated_cost": 2.5}, "b": {"estimated_cost": 1}, "c": {}}
    model = Polled([running(0), dict(SUCCESS, tasks=tasks)])
    assert model.estimate_cost(cell, FREQUENCIES, extra=1) == 3.5
    assert model.received == {"extra": 1, "cost_estimation": True}
    assert Polled([SUCCESS]).estimate_cost(cell, FREQUENCIES) == 0.0
    assert Direct().estimate_cost(cell, FREQUENCIES) == 0.0
    with pytest.raises(RuntimeError, match="^Model run resulted in error.$"):
        Polled([{"message": "error", "progress": 1}]).estimate_cost(cell, FREQUENCIES)


# ---- The component's active models -------------------------------------------------------


def test_component_s_matrix_uses_the_model_of_the_classification(cell):
    optical, electrical = Direct(t=0.1), Direct(t=0.2)
    cell.add_model(optical, "opt", set_active="optical")
    cell.add_model(electrical, "ele", set_active="electrical")
    assert cell.s_matrix(FREQUENCIES, show_progress=False, model_kwargs={"k": 1})["P0@0", "P1@0"][0] == 0.1
    assert optical.calls[0][2] == {"k": 1}
    assert cell.s_matrix([1e9, 2e14], show_progress=False)["P0@0", "P1@0"][0] == 0.2
    cell.remove_model("ele")
    with pytest.raises(RuntimeError, match="^No active electrical model found in component 'cell'.$"):
        cell.s_matrix([1e9], show_progress=False)
    cell.remove_model("opt")
    with pytest.raises(RuntimeError, match="^No active model found in component 'cell'.$"):
        cell.s_matrix(FREQUENCIES, show_progress=False)


def test_errors_raised_by_a_model_reach_the_caller_unchanged(cell):
    class Broken(tw.Model):
        def __init__(self):
            super().__init__()

        def start(self, component, frequencies, **kwargs):
            raise KeyError("no such mode")

    class Wrong(Direct):
        def s_matrix(self, *args, **kwargs):
            return 1

    cell.add_model(Broken())
    with pytest.raises(KeyError, match="no such mode"):
        cell.s_matrix(FREQUENCIES, show_progress=False)
    cell.add_model(Wrong(), "W")
    with pytest.raises(TypeError, match="^Method 's_matrix' from model did not return an SMatrix.$"):
        cell.s_matrix(FREQUENCIES, show_progress=False)


def test_a_model_held_by_a_component_keeps_its_interpreter_state(cell):
    model = Direct(t=0.7)
    model.note = "kept"
    cell.add_model(model, "M")
    probe = weakref.ref(model)
    del model
    gc.collect()
    held = cell.models["M"]
    assert held is probe() and held.note == "kept" and held.t == 0.7
    del held
    cell.remove_model("M")
    gc.collect()
    assert probe() is None


def test_a_dropped_model_is_collected():
    model = Direct()
    probe = weakref.ref(model)
    del model
    gc.collect()
    assert probe() is None


# ---- Updates, copies and time steppers ---------------------------------------------------


def test_update_reruns_init_with_merged_arguments():
    model = Direct(t=0.1, tag="x")
    assert model.update(t=0.9) is model
    assert model.parametric_kwargs == {"t": 0.9, "tag": "x"} and model.t == 0.9


def test_update_through_a_registered_class():
    saved = dict(ext._model_registry)
    try:
        tw.register_model_class(Direct)
        model = Polled()
        model.parametric_function = "Direct"
        model.parametric_kwargs = {"t": 0.4}
        model.update(tag="z")
        assert model.parametric_kwargs == {"t": 0.4, "tag": "z"} and model.t == 0.4
        assert model.parametric_function == "Direct"
        model.parametric_function = "Missing"
        with pytest.raises(RuntimeError, match="^Model class 'Missing' not found in register"):
            model.update()
    finally:
        ext._model_registry.clear()
        ext._model_registry.update(saved)


def test_reference_update_reaches_the_active_model(cell):
    optical, electrical = Direct(t=0.1), Direct(t=0.2)
    cell.add_model(optical, "opt", set_active="optical")
    cell.add_model(electrical, "ele", set_active="electrical")
    reference = tw.Reference(cell, model_updates={"t": 0.3})
    assert reference.update() == [(optical, {"t": 0.1, "tag": "a"})]
    assert optical.t == 0.3 and electrical.t == 0.2
    # Keyed by model name: only the active model's entry is used.
    result = reference.update(model_updates={"opt": {"tag": "o"}, "ele": {"tag": "e"}},
                              classification="electrical")
    assert result == [(electrical, {"t": 0.2, "tag": "a"})] and electrical.parametric_kwargs["tag"] == "e"
    with pytest.warns(RuntimeWarning, match="^Component 'plain' has no active model after update.$"):
        assert tw.Reference(tw.Component("plain", tw.basic_technology())).update(model_updates={"t": 1}) == []


def test_copies_are_independent():
    model = Direct(t=0.5)
    model.table = {"a": [1]}
    model.properties.note = 7
    shallow, deep = copy.copy(model), copy.deepcopy(model)
    for other in (shallow, deep):
        assert type(other) is Direct and other is not model and other == model
        assert other.properties.note == 7 and other.t == 0.5
    assert shallow.table is model.table and deep.table == model.table and deep.table is not model.table
    deep.update(t=0.6)
    assert model.t == 0.5 and deep != model and model.parametric_kwargs["t"] == 0.5
    with pytest.raises(TypeError, match="^Deepcopy memo must be a dictionary.$"):
        model.__deepcopy__([])


def test_time_stepper_defaults(cell):
    model = Direct()
    with pytest.raises(RuntimeError, match="^No default time stepper defined.$"):
        model.time_stepper
    with pytest.raises(TypeError, match="^'time_stepper' must be an instance of the TimeStepper class or None.$"):
        model.time_stepper = 1
    with pytest.raises(RuntimeError, match="^No default time stepper provided.$"):
        model.setup_time_stepper(cell, 1e-12)

    class Stepper:
        def setup(self, component, time_step, **kwargs):
            self.arguments = (component, time_step, kwargs)
            return self

    saved = tw.config.default_time_steppers
    try:
        tw.config.default_time_steppers = {"Direct": Stepper}
        stepper = model.setup_time_stepper(cell, 1e-12, 2e14, False, {"order": 2})
        assert stepper.arguments == (cell, 1e-12, {"carrier_frequency": 2e14, "show_progress": False, "order": 2})
        assert isinstance(model.time_stepper, Stepper)
    finally:
        tw.config.default_time_steppers = saved


# ---- The variation driver without variables ----------------------------------------------


def test_variation_driver_without_variables(cell):
    model = Direct(t=0.4)
    cell.add_model(model)
    seen = []
    variables, results = tw.s_matrix(cell, FREQUENCIES, show_progress=False, model_kwargs={"q": 1},
                                     callback_fn=lambda c, v: seen.append((c, v)))
    assert variables == [] and len(results) == 1 and seen == [(cell, [])]
    np.testing.assert_allclose(results[0]["P1@0", "P0@0"], [0.4, 0.4])
    assert model.calls[0][2] == {"q": 1}
    with pytest.raises(TypeError, match="^Argument 'component' must be a Component instance.$"):
        tw.s_matrix(1, FREQUENCIES)
    with pytest.raises(TypeError):
        tw.s_matrix(cell, FREQUENCIES, unknown=1)


def test_variation_driver_restores_a_rebuilt_component():
    registry = ext._component_registry

    def build(width=1):
        c = tw.Component("pc", tw.basic_technology())
        c.add((1, 0), tw.Rectangle((0, 0), (width, 1)))
        c.add_model(Direct(t=width / 10), "M")
        c.parametric_function = "test_model.build"
        c.parametric_kwargs = {"width": width}
        return c

    registry["test_model.build"] = build
    try:
        cell = build(width=1)
        _, results = tw.s_matrix(cell, FREQUENCIES, show_progress=False, component_kwargs={"width": 3})
        np.testing.assert_allclose(results[0]["P0@0", "P1@0"], [0.3, 0.3])
        assert cell.parametric_kwargs == {"width": 1} and cell.size().tolist() == [1, 1]
    finally:
        del registry["test_model.build"]
