"""Random variables: the four distributions, values from cumulative probabilities against the
closed forms of scipy.stats, text forms, copies and attachment to parametric objects."""

import copy
import gc

import numpy as np
import pytest
from scipy import stats

import tarnwhistle as tw
from tarnwhistle.monte_carlo import RandomVariable


class Plain(tw.Model):
    def __init__(self, gap=0.2):
        super().__init__(gap=gap)


# ---- Construction ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, kind, spec, value, size",
    [
        ({"value": 0.5}, "fixed", {"value": 0.5}, 0.5, 1),
        ({"value": 1, "stdev": 0.1}, "normal", {"value": 1, "stdev": 0.1}, 1, None),
        ({"value_range": [0, 2]}, "uniform", {"value_range": (0, 2)}, 1.0, None),
        ({"values": [1, 2, 3]}, "discrete", {"values": (1, 2, 3)}, 2, 3),
        ({"values": ["only"]}, "fixed", {"value": "only"}, "only", 1),
        ({"value": 0.5, "values": None}, "fixed", {"value": 0.5}, 0.5, 1),
    ],
)
def test_distributions(kwargs, kind, spec, value, size):
    v = RandomVariable("w", **kwargs)
    assert (v.name, v.parent, v.type, v.value_spec, v.value, v.size()) == ("w", None, kind, spec, value, size)
    assert type(v).__module__ == "tarnwhistle.monte_carlo" and isinstance(v.properties, tw.Properties)


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1,), {"value": 1}, TypeError, "Argument 'name' must be a string."),
        (("w", 3), {"value": 1}, TypeError,
         "Argument 'parent' must be None, or a Component, Technology, or Model instance."),
        (("w",), {}, RuntimeError, "One of 'value', 'values', or 'value_range' must be specified."),
        (("w",), {"stdev": 1}, RuntimeError, "One of 'value', 'values', or 'value_range' must be specified."),
        (("w",), {"value": 1, "values": [1]}, RuntimeError,
         "Only one of 'value', 'values', or 'value_range' can be specified."),
        (("w",), {"values": [1], "value_range": (0, 1)}, RuntimeError,
         "Only one of 'value', 'values', or 'value_range' can be specified."),
        (("w",), {"values": [1, 2], "stdev": 1}, RuntimeError, "Argument 'stdev' can only be specified with 'value'."),
        (("w",), {"values": []}, TypeError, "'values' must be a sequence with length greater than 0."),
        (("w",), {"values": 3}, TypeError, "'values' must be a sequence with length greater than 0."),
        (("w",), {"value_range": (1, 2, 3)}, TypeError, "'value_range' must be a sequence with length 2."),
        (("w",), {"value_range": "ab"}, TypeError, "'value_range' must be a sequence with length 2."),
        (("w",), {"value_range": ("a", 2)}, TypeError, None),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        RandomVariable(*args, **kwargs)
    if message:
        assert str(info.value) == message


def test_parser_rejects_positional_values():
    with pytest.raises(TypeError):
        RandomVariable("w", None, 1)


def test_attributes():
    v = RandomVariable("w", value=1, stdev=0.1)
    v.name = "gap"
    assert v.name == "gap"
    with pytest.raises(TypeError, match=r"^'name' must be a string\.$"):
        v.name = 1
    with pytest.raises(TypeError, match=r"^'parent' must be None, or a Component, Technology, or Model instance\.$"):
        v.parent = "component"
    for read_only in ("type", "value", "value_spec"):
        with pytest.raises(AttributeError):
            setattr(v, read_only, 1)
    assert v.name == "gap" and v.type == "normal"


def test_parents_are_not_kept_alive():
    component, model, technology = tw.Component("c"), Plain(), tw.basic_technology()
    v = RandomVariable("gap", component, value=1)
    assert v.parent is component
    for parent in (model, technology, None):
        v.parent = parent
        assert v.parent is parent
    v.parent = component
    del component
    gc.collect()
    assert v.parent is None


# ---- Values from cumulative probabilities ------------------------------------------------


def test_set_by_cdf_edge_cases():
    fixed = RandomVariable("a", value=0.5)
    assert fixed.set_by_cdf(0.9) == 0.5 and fixed.value == 0.5
    discrete = RandomVariable("b", values=[1, 2, 3])
    assert discrete.set_by_cdf(1.0) == 3 and discrete.set_by_cdf(0.5) == 2 and discrete.set_by_cdf(0) == 1
    assert RandomVariable("c", value_range=(0, 2)).set_by_cdf(0.25) == 0.5
    normal = RandomVariable("d", value=1, stdev=0.1)
    assert normal.set_by_cdf(0.5) == 1.0
    low, high = normal.set_by_cdf(0.025), normal.set_by_cdf(0.975)
    assert low == pytest.approx(0.804, abs=5e-4) and high == pytest.approx(1.196, abs=5e-4)
    assert normal.value == high


@pytest.mark.parametrize("p", [1.5, -0.1, float("nan"), float("inf")])
def test_set_by_cdf_range(p):
    v = RandomVariable("d", value=1, stdev=0.1)
    with pytest.raises(ValueError, match=r"^CDF value out of range 0 - 1\.$"):
        v.set_by_cdf(p)
    assert v.value == 1
    with pytest.raises(TypeError):
        v.set_by_cdf("half")


def test_normal_values_follow_the_inverse_distribution():
    v = RandomVariable("n", value=2.0, stdev=0.5)
    p = np.concatenate([np.geomspace(1e-16, 0.4, 60), np.linspace(0.01, 0.99, 99), 1 - np.geomspace(1e-15, 0.4, 60)])
    got = np.array([v.set_by_cdf(x) for x in p])
    np.testing.assert_allclose(got, stats.norm.ppf(p, loc=2.0, scale=0.5), rtol=1e-14, atol=1e-14)
    # The ends are clamped so that values stay finite.
    assert v.set_by_cdf(0.0) == pytest.approx(stats.norm.ppf(1e-16, 2.0, 0.5), rel=1e-14)
    assert v.set_by_cdf(1.0) == pytest.approx(stats.norm.ppf(0.9999999999999999, 2.0, 0.5), rel=1e-14)


def test_uniform_and_discrete_values_against_closed_forms():
    uniform = RandomVariable("u", value_range=(-1.0, 3.0))
    discrete = RandomVariable("k", values=list(range(7)))
    for p in np.linspace(0, 1, 101):
        assert uniform.set_by_cdf(p) == pytest.approx(-1 + 4 * p, abs=1e-15)
        assert discrete.set_by_cdf(p) == min(int(7 * p), 6)


def test_complex_values_use_interpreter_arithmetic():
    v = RandomVariable("z", value=1 + 1j, stdev=0.1)
    assert v.set_by_cdf(stats.norm.cdf(1.0)) == pytest.approx(1.1 + 1j, abs=1e-12)
    assert RandomVariable("r", value_range=(0j, 2 + 2j)).set_by_cdf(0.5) == 1 + 1j
    with pytest.raises(TypeError):
        RandomVariable("s", value="a", stdev="b")


# ---- Text forms, equality and copies -----------------------------------------------------


def test_text_forms():
    cases = [
        (RandomVariable("a", value=0.5), "RandomVariable('a', **{'value': 0.5})",
         "Fixed random variable 'a' with value 0.5"),
        (RandomVariable("b", value=1, stdev=0.1), "RandomVariable('b', **{'value': 1, 'stdev': 0.1})",
         "Normal random variable 'b' with mean 1 and standard deviation 0.1"),
        (RandomVariable("c", value_range=(0, 2)), "RandomVariable('c', **{'value_range': (0, 2)})",
         "Uniform random variable 'c' between 0 and 2"),
        (RandomVariable("d", values=[1, 2]), "RandomVariable('d', **{'values': (1, 2)})",
         "Discrete random variable 'd' over the values (1, 2)"),
    ]
    for v, representation, text in cases:
        assert repr(v) == representation and str(v) == text
        rebuilt = eval(representation, {"RandomVariable": RandomVariable})
        assert rebuilt == v


def test_equality():
    c = tw.Component("c")
    v = RandomVariable("w", c, value=1, stdev=0.1)
    assert v == RandomVariable("w", c, value=1, stdev=0.1)
    assert v != RandomVariable("w", value=1, stdev=0.1)
    assert v != RandomVariable("x", c, value=1, stdev=0.1)
    assert v != RandomVariable("w", c, value=1, stdev=0.2)
    assert v != RandomVariable("w", c, value_range=(1, 0.1))
    assert (v == 1) is False
    with pytest.raises(TypeError):
        v < v


def test_copies():
    c = tw.Component("c")
    v = RandomVariable("w", c, values=[[1], [2]])
    v.properties.note = 5
    for made in (copy.copy(v), copy.deepcopy(v)):
        assert made == v and made is not v and made._id != v._id and made.parent is c
        assert made.properties.note == 5
    shallow, deep = copy.copy(v), copy.deepcopy(v)
    assert shallow.value_spec["values"][0] is v.value_spec["values"][0]
    assert deep.value_spec["values"][0] is not v.value_spec["values"][0]
    deep.set_by_cdf(0.9)
    assert deep.value == [2] and v.value == [2] and v.value is not deep.value
    with pytest.raises(TypeError, match=r"^Deepcopy memo must be a dictionary\.$"):
        v.__deepcopy__(1)


# ---- Attachment to parametric objects ------------------------------------------------------


def test_variables_attach_to_components_models_and_technologies():
    for owner in (tw.Component("c"), Plain(), tw.basic_technology()):
        v = RandomVariable("gap", owner, value=0.2, stdev=0.01)
        owner.random_variables = [v]
        assert owner.random_variables == [v] and owner.random_variables[0] is v
        with pytest.raises(TypeError, match=r"^'random_variables' must be a sequence\.$"):
            owner.random_variables = 1
        assert owner.random_variables == [v]


def test_model_copies_copy_their_variables():
    model = Plain()
    model.random_variables = [RandomVariable("gap", model, value=0.2, stdev=0.01)]
    deep = copy.deepcopy(model)
    assert deep.random_variables == model.random_variables
    assert deep.random_variables[0] is not model.random_variables[0]
