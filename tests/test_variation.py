"""The variation driver: random draws and corners against the closed forms of scipy.stats,
seeds, the four variable forms, update order, polled runners in parallel, and restoration of
every updated object, also after a failing draw."""

import itertools

import numpy as np
import pytest
from scipy import stats

import tarnwhistle as tw
from tarnwhistle import extension as ext
from tarnwhistle.monte_carlo import RandomVariable

FREQUENCIES = [1.9e14, 2.0e14]
LOG = []
TOP_MODEL = {}


class Echo(tw.Model):
    """Reports its own keyword values and those of its component as S-matrix elements."""

    def __init__(self, loss=0.0, fail_above=None):
        super().__init__(loss=loss, fail_above=fail_above)
        self.loss, self.fail_above = loss, fail_above
        LOG.append(("model", loss))

    def start(self, component, frequencies, **kwargs):
        gap = component.parametric_kwargs.get("gap", 0)
        if self.fail_above is not None and gap > self.fail_above:
            raise ValueError("gap too large")
        n = len(frequencies)
        return tw.SMatrix(frequencies, {("A@0", "B@0"): np.full(n, complex(gap)),
                                        ("B@0", "A@0"): np.full(n, complex(self.loss))})


def build_leaf(width=1.0):
    LOG.append(("leaf", width))
    c = tw.Component("leaf", tw.config.default_technology)
    c.add((1, 0), tw.Rectangle((0, 0), (width, 1)))
    c.parametric_function, c.parametric_kwargs = "test_variation.leaf", {"width": width}
    return c


def build_top(gap=0.2, leaf=None):
    LOG.append(("top", gap))
    c = tw.Component("top", tw.config.default_technology)
    c.add_reference(tw.Reference(leaf if leaf is not None else build_leaf()))
    c.add_model(TOP_MODEL.get("make", Echo)(), "echo")
    c.parametric_function, c.parametric_kwargs = "test_variation.top", {"gap": gap}
    return c


@pytest.fixture(autouse=True)
def registry():
    ext._component_registry["test_variation.leaf"] = build_leaf
    ext._component_registry["test_variation.top"] = build_top
    LOG.clear()
    TOP_MODEL.clear()
    yield
    del ext._component_registry["test_variation.leaf"], ext._component_registry["test_variation.top"]


def gaps(results):
    return np.array([s["A@0", "B@0"][0].real for s in results])


def run(*variables, **kwargs):
    kwargs.setdefault("show_progress", False)
    return tw.s_matrix(build_top(), FREQUENCIES, *variables, **kwargs)


# ---- Statistics of the draws -----------------------------------------------------------------


def test_random_draws_follow_the_distributions():
    n = 3000
    _, results = run(("gap", "component", {"value": 0.2, "stdev": 0.01}), random_samples=n, random_seed=3)
    values = gaps(results)
    assert len(values) == n
    # Five standard errors of the sample mean and standard deviation.
    assert abs(values.mean() - 0.2) < 5 * 0.01 / np.sqrt(n)
    assert abs(values.std(ddof=1) - 0.01) < 5 * 0.01 / np.sqrt(2 * n)
    assert stats.kstest(values, stats.norm(0.2, 0.01).cdf).pvalue > 1e-3

    _, results = run(("gap", "component", {"value_range": (0.1, 0.5)}), random_samples=n, random_seed=4)
    assert stats.kstest(gaps(results), stats.uniform(0.1, 0.4).cdf).pvalue > 1e-3

    _, results = run(("gap", "component", {"values": [1, 2, 3, 4]}), random_samples=n, random_seed=5)
    counts = np.bincount(gaps(results).astype(int), minlength=5)[1:]
    assert stats.chisquare(counts).pvalue > 1e-3


def test_seeds_reproduce_draws():
    variable = ("gap", "component", {"value": 0.2, "stdev": 0.01})
    first = gaps(run(variable, random_samples=20, corner_samples=1, random_seed=7)[1])
    again = gaps(run(variable, random_samples=20, corner_samples=1, random_seed=7)[1])
    other = gaps(run(variable, random_samples=20, random_seed=8)[1])
    unseeded = gaps(run(variable, random_samples=20)[1])
    np.testing.assert_array_equal(first, again)
    assert not np.array_equal(first[:20], other) and not np.array_equal(first[:20], unseeded)
    # Seeds are taken modulo 2**32.
    np.testing.assert_array_equal(first, gaps(run(variable, random_samples=20, corner_samples=1,
                                                   random_seed=7 + 2**32)[1]))


def test_normal_corners_enclose_the_coverage():
    for coverage in (0.5, 0.9, 0.95, 0.999):
        _, results = run(("gap", "component", {"value": 1.0, "stdev": 0.1}), corner_samples=-1,
                         corner_coverage=coverage)
        low, high = sorted(gaps(results))
        assert stats.norm.cdf(high, 1, 0.1) - stats.norm.cdf(low, 1, 0.1) == pytest.approx(coverage, abs=1e-12)
        assert (low + high) / 2 == pytest.approx(1.0, abs=1e-14)
    _, results = run(("gap", "component", {"value": 1.0, "stdev": 0.1}), corner_samples=-1)
    assert sorted(gaps(results)) == pytest.approx([0.804, 1.196], abs=5e-4)


def test_corner_counts_and_ends():
    model = ("loss", "model", {"values": [10, 20, 30]})
    gap = ("gap", "component", {"value_range": (0.1, 0.5)})
    for requested, expected in [(-1, 4), (4, 4), (100, 4), (3, 3), (1, 1), (0, 1)]:
        variables, results = run(gap, model, corner_samples=requested, random_seed=1)
        assert len(results) == expected and [v.name for v in variables] == ["gap", "loss"]
        pairs = {(s["A@0", "B@0"][0].real, s["B@0", "A@0"][0].real) for s in results}
        if requested:
            assert len(pairs) == expected and pairs <= {(0.1, 10), (0.1, 30), (0.5, 10), (0.5, 30)}


def test_negative_random_samples_enumerate_discrete_combinations():
    gap = ("gap", "component", {"values": [1, 2, 3]})
    loss = ("loss", "model", {"values": [0.5, 0.25]})
    fixed = ("width", build_leaf(), {"value": 2.0})
    _, results = run(gap, loss, fixed, random_samples=-1)
    got = sorted((s["A@0", "B@0"][0].real, s["B@0", "A@0"][0].real) for s in results)
    assert got == sorted(itertools.product([1, 2, 3], [0.5, 0.25]))


def test_negative_random_samples_with_a_continuous_variable_warn():
    message = ("Argument 'random_samples' ignored: negative value is only meaningful when all "
               "variables are discrete.")
    with pytest.warns(RuntimeWarning) as record:
        _, results = run(("gap", "component", {"value": 0.2, "stdev": 0.01}), random_samples=-5, corner_samples=-1)
    assert [str(w.message) for w in record] == [message] and len(results) == 2


def test_sampling_limits():
    many = [(f"v{i}", "component", {"value": 0.1, "stdev": 0.01}) for i in range(63)]
    with pytest.raises(ValueError, match=r"^Number of random variables is above the maximum allowed: 62\.$"):
        run(*many, random_samples=1)
    for coverage in (0, 1, -0.5, 2, float("nan")):
        with pytest.raises(ValueError, match=r"^Argument 'corner_coverage' must be strictly between 0 and 1\.$"):
            run(corner_coverage=coverage)
    # Draws are made one at a time: a plan larger than memory fails when the results are listed.
    huge = [(f"v{i}", "component", {"value": 0.1, "stdev": 0.01}) for i in range(40)]
    with pytest.raises(MemoryError):
        run(*huge, corner_samples=-1)
    with pytest.raises(MemoryError):
        run(random_samples=2**62)
    wide = [(f"v{i}", "component", {"values": list(range(1000))}) for i in range(7)]
    with pytest.raises(RuntimeError, match=r"^Number of discrete variable combinations overflows the maximum "
                                           r"integer size in this platform\. Please reduce the number of "
                                           r"possible combinations\.$"):
        run(*wide, random_samples=-1)


# ---- Variable forms and update order -------------------------------------------------------


def test_variable_forms():
    for form, gap, loss in [
        (lambda top: ("gap", "component"), 0.3, 0.0),
        (lambda top: ("gap", top), 0.3, 0.0),
        (lambda top: ("loss", "model"), 0.2, 0.5),
        (lambda top: RandomVariable("loss", top.active_model, values=[0.7]), 0.2, 0.7),
        (lambda top: ["gap", "component", {"value": 0.9}], 0.9, 0.0),
    ]:
        top = build_top()
        top.random_variables = [RandomVariable("gap", top, value=0.3, stdev=0.01)]
        top.active_model.random_variables = [RandomVariable("loss", None, values=[0.5])]
        variable = form(top)
        variables, results = tw.s_matrix(top, FREQUENCIES, variable, show_progress=False, random_samples=1)
        assert len(variables) == 1 and isinstance(variables[0], RandomVariable)
        s = results[0]
        assert s["A@0", "B@0"][0].real == pytest.approx(gap, abs=0.1) and s["B@0", "A@0"][0].real == loss
    assert variables[0].parent is top and top.parametric_kwargs == {"gap": 0.2}


@pytest.mark.parametrize(
    "variable, error, message",
    [
        (1, TypeError, "Variable 0 must be a RandomVariable instance, a (name, object) pair, a (name, object, "
                       "kwargs) triple, or a (reference, updates) pair."),
        (("gap",), TypeError, None),
        (("gap", "component", 3), TypeError, None),
        (("gap", "circuit"), ValueError, "Variable object 'circuit' must be one of 'component', 'technology', "
                                         "or 'model'."),
        (("gap", 5), TypeError, "Variable objects must be a Component, Technology, or Model instance, or one "
                                "of 'component', 'technology', or 'model'."),
        (("nothing", "component"), ValueError, "Random variable 'nothing' not found in the given object."),
        (RandomVariable("gap", value=1), ValueError, "Random variable 'gap' has no parent."),
        (("gap", "component", {"stdev": 1}), RuntimeError, "One of 'value', 'values', or 'value_range' must be "
                                                           "specified."),
    ],
)
def test_variable_errors(variable, error, message):
    with pytest.raises(error) as info:
        run(variable, random_samples=1)
    if message:
        assert str(info.value) == message


def test_update_order_and_restoration():
    technology = tw.basic_technology()
    technology.parametric_function = "test_variation.technology"
    ext._technology_registry["test_variation.technology"] = lambda **kw: (LOG.append(("technology", kw)),
                                                                          tw.basic_technology(**kw))[1]
    saved = tw.config.default_technology
    tw.config.default_technology = technology
    try:
        top = build_top()
        leaf = top.references[0].component
        LOG.clear()
        variables, results = tw.s_matrix(
            top, FREQUENCIES,
            ("loss", "model", {"values": [0.5]}),
            ("gap", top, {"value": 0.4}),
            ("width", leaf, {"value": 3.0}),
            ("core_thickness", "technology", {"value": 0.25}),
            show_progress=False, random_samples=1, chain_technology_updates=False)
        assert [v.name for v in variables] == ["core_thickness", "width", "gap", "loss"]
        # The model that the rebuilt component made is updated, and needs no restoring.
        assert [entry[0] for entry in LOG] == ["technology", "leaf", "top", "leaf", "model", "model",
                                               "technology", "leaf", "top", "leaf", "model"]
        assert LOG[0][1]["core_thickness"] == 0.25 and LOG[6][1].get("core_thickness") is None
        assert results[0]["A@0", "B@0"][0] == 0.4 and results[0]["B@0", "A@0"][0] == 0.5
        assert top.parametric_kwargs == {"gap": 0.2} and leaf.parametric_kwargs == {"width": 1.0}
        assert top.active_model.parametric_kwargs == {"loss": 0.0, "fail_above": None}
        assert technology.parametric_kwargs == {}
    finally:
        tw.config.default_technology = saved
        del ext._technology_registry["test_variation.technology"]


def test_process_variables_of_the_basic_technology():
    technology = tw.basic_technology(core_thickness=0.3, core_thickness_stdev=0.01)
    assert [(v.name, v.type, v.parent is technology) for v in technology.random_variables] == [
        (name, "normal", True) for name in ("core_thickness", "slab_thickness", "clad_thickness", "box_thickness",
                                            "mask_dilation", "sidewall_angle")]
    assert technology.random_variables[0].value_spec == {"value": 0.3, "stdev": 0.01}
    assert technology.random_variables[5].value_spec == {"value": 0.0, "stdev": 2.0}
    top = build_top()
    top.technology = technology
    seen = []
    variables, results = tw.s_matrix(
        top, FREQUENCIES, ("core_thickness", "technology"), technology.random_variables[5], random_samples=50,
        random_seed=2, show_progress=False, chain_technology_updates=False,
        callback_fn=lambda c, v: seen.append([c.technology.parametric_kwargs[k] for k in ("core_thickness",
                                                                                           "sidewall_angle")]))
    assert [v.name for v in variables] == ["core_thickness", "sidewall_angle"] and len(results) == 50
    thickness, angle = np.array(seen).T
    assert abs(thickness.mean() - 0.3) < 5 * 0.01 / np.sqrt(50) and abs(angle.mean()) < 5 * 2 / np.sqrt(50)
    # Rebuilding hands the new variables to the technology itself.
    assert technology.parametric_kwargs == {"core_thickness": 0.3, "core_thickness_stdev": 0.01}
    assert all(v.parent is technology for v in technology.random_variables)


def test_chained_updates():
    technology = tw.basic_technology()
    top = build_top()
    leaf = top.references[0].component
    for component in (top, leaf):
        component.technology = technology
    LOG.clear()
    tw.s_matrix(top, FREQUENCIES, ("core_thickness", "technology", {"value": 0.3}), show_progress=False,
                random_samples=1)
    rebuilt = ["leaf", "top", "leaf", "model"]
    assert [entry[0] for entry in LOG] == rebuilt * 2
    # Rebuilding the parent made a new sub-component.
    leaf = top.references[0].component
    LOG.clear()
    tw.s_matrix(top, FREQUENCIES, ("width", leaf, {"value": 2.0}), show_progress=False, random_samples=1,
                chain_component_updates=True)
    assert [entry[0] for entry in LOG] == rebuilt * 2
    leaf = top.references[0].component
    LOG.clear()
    tw.s_matrix(top, FREQUENCIES, ("width", leaf, {"value": 2.0}), show_progress=False, random_samples=1,
                chain_component_updates=False)
    assert [entry[0] for entry in LOG] == ["leaf"] * 2


def test_restoration_after_a_failing_draw():
    top = build_top()
    reference = tw.Reference(build_leaf(), component_updates={"keep": 1})
    seen = []
    with pytest.raises(ValueError, match="^gap too large$"):
        tw.s_matrix(top, FREQUENCIES,
                    ("gap", "component", {"values": [0.1, 0.2, 0.9]}),
                    ("fail_above", "model", {"value": 0.5}),
                    (reference, {"component_updates": [("width", {"values": [5, 6]})]}),
                    show_progress=False, random_samples=-1,
                    callback_fn=lambda c, v: seen.append(dict(reference.component_updates)))
    # Combinations vary the first variable fastest: the third draw fails.
    assert seen == [{"keep": 1, "width": 5}] * 3
    assert top.parametric_kwargs == {"gap": 0.2}
    assert top.active_model.parametric_kwargs == {"loss": 0.0, "fail_above": None}
    assert reference.component_updates == {"keep": 1}


def test_reference_updates_and_callbacks():
    top = build_top()
    reference = top.references[0]
    calls = []

    def callback(component, variables):
        calls.append((component, [v.value for v in variables], dict(reference.model_updates)))

    variables, results = tw.s_matrix(
        top, FREQUENCIES,
        (reference, {"model_updates": [RandomVariable("loss", values=[1, 2])], "technology_updates": []}),
        show_progress=False, corner_samples=-1, callback_fn=callback)
    assert [v.name for v in variables] == ["loss"] and len(results) == 2
    assert [c[0] for c in calls] == [top, top]
    assert sorted(c[1][0] for c in calls) == [1, 2] and all(c[2] == {"loss": c[1][0]} for c in calls)
    assert reference.model_updates == {}
    with pytest.raises(ValueError, match="^Reference update keys must be 'technology_updates', "
                                         "'component_updates', or 'model_updates'.$"):
        run((reference, {"s_matrix_kwargs": []}))
    with pytest.raises(TypeError, match="^Reference updates must be a dictionary.$"):
        run((reference, []))


def test_objects_that_cannot_be_varied():
    empty = tw.Component("bare")
    plain = tw.Component("plain")
    plain.add_model(Echo(), "echo")
    with pytest.raises(RuntimeError, match="^Missing parametric data in component.$"):
        tw.s_matrix(plain, FREQUENCIES, ("gap", "component", {"value": 1}), show_progress=False, random_samples=1)
    assert plain.parametric_kwargs is None
    with pytest.raises(RuntimeError, match="^Component 'bare' has no active optical model.$"):
        tw.s_matrix(empty, FREQUENCIES, show_progress=False)
    with pytest.raises(RuntimeError, match="^Component 'bare' has no active electrical model.$"):
        tw.s_matrix(empty, [1e9], ("x", "model"), show_progress=False)


def test_progress_lines(capsys):
    run(("gap", "component", {"values": [1, 2]}), random_samples=2, show_progress=True)
    assert capsys.readouterr().out == "Starting sample 1 of 2\u2026\nStarting sample 2 of 2\u2026\n"


def test_option_errors():
    with pytest.raises(TypeError, match="^Argument 'random_seed' must be an integer or None.$"):
        run(random_seed=1.5)
    with pytest.raises(TypeError, match="^Argument 'callback_fn' must be callable or None.$"):
        run(callback_fn=1)


# ---- Polled runners --------------------------------------------------------------------------


class Job:
    """Runs for a fixed number of polls; counts the jobs that are started and not finished."""

    open_jobs = 0
    most_open = 0

    def __init__(self, value, polls, fail):
        self.value, self.polls, self.fail = value, polls, fail
        Job.open_jobs += 1
        Job.most_open = max(Job.most_open, Job.open_jobs)

    @property
    def status(self):
        if self.polls > 0:
            self.polls -= 1
            return {"message": "running", "progress": 50}
        Job.open_jobs -= 1
        if self.fail:
            return {"message": "error", "progress": 100, "error": "job failed"}
        return {"message": "success", "progress": 100}

    @property
    def s_matrix(self):
        return tw.SMatrix(FREQUENCIES, {("A@0", "B@0"): [self.value] * 2})


class Slow(tw.Model):
    def __init__(self, polls=1, fail_at=None):
        super().__init__(polls=polls, fail_at=fail_at)
        self.polls, self.fail_at = polls, fail_at

    def start(self, component, frequencies, **kwargs):
        gap = component.parametric_kwargs["gap"]
        return Job(gap, self.polls + int(gap) % 2, gap == self.fail_at)


@pytest.mark.parametrize("jobs, most", [(2, 2), (1, 1), (0, 5), (-1, 5), (9, 5)])
def test_parallel_jobs_limit_open_runners(jobs, most):
    TOP_MODEL["make"] = Slow
    top = build_top()
    Job.open_jobs = Job.most_open = 0
    _, results = tw.s_matrix(top, FREQUENCIES, ("gap", "component", {"values": [1, 2, 3, 4, 5]}),
                             show_progress=False, random_samples=-1, parallel_jobs=jobs)
    assert Job.most_open == most and Job.open_jobs == 0
    assert gaps(results).tolist() == [1, 2, 3, 4, 5]


def test_a_failing_runner_stops_the_run_and_restores():
    TOP_MODEL["make"] = lambda: Slow(fail_at=2)
    top = build_top()
    with pytest.raises(RuntimeError, match="^Model run resulted in error: job failed$"):
        tw.s_matrix(top, FREQUENCIES, ("gap", "component", {"values": [1, 2, 3]}), show_progress=False,
                    random_samples=-1, parallel_jobs=2)
    assert top.parametric_kwargs == {"gap": 0.2}
