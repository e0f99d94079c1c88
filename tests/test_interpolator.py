import copy

import numpy as np
import pytest

import tarnwhistle

interpolate = pytest.importorskip("scipy.interpolate")

Interpolator = tarnwhistle.Interpolator

X = np.array([0.0, 0.7, 1.5, 2.0, 3.2, 4.0])
Y = np.sin(X) + 0.3 * X
Z = np.exp(1j * 1.3 * X) * (1.0 + 0.2 * X)
Q = np.array([-0.8, 0.0, 0.35, 1.5, 1.9, 3.9, 4.0, 5.5])


def linear_reference(x, y, q):
    """Piecewise linear with the end intervals extended."""
    i = np.clip(np.searchsorted(x, q, side="right"), 1, len(x) - 1)
    t = (q - x[i - 1]) / (x[i] - x[i - 1])
    return y[i - 1] + (y[i] - y[i - 1]) * t


# ---- Native linear evaluation ------------------------------------------------------------


def test_documented_examples():
    assert np.array_equal(Interpolator([0, 1, 2], [-1, 1, 1])([0, 1.5]), [-1, 1])
    result = Interpolator([0, 1, 2], [[-1, 1, 1], [0, -1, -2]])([0.5, 1, 3])
    assert np.allclose(result, [[0, 1, 1], [-0.5, -1, -3]])


def test_linear_matches_references():
    inside = Q[(Q >= X[0]) & (Q <= X[-1])]
    assert np.allclose(Interpolator(X, Y)(inside), np.interp(inside, X, Y))
    assert np.allclose(Interpolator(X, Y)(Q), linear_reference(X, Y, Q))
    constant = Interpolator(X, Y, extrapolation="constant")
    assert np.allclose(constant(Q), np.interp(Q, X, Y))
    assert constant(-100) == Y[0] and constant(100) == Y[-1]


def test_linear_exact_at_samples():
    assert np.array_equal(Interpolator(X, Y)(X), Y)


def test_single_sample_is_constant():
    assert np.array_equal(Interpolator([1.0], [[2.0], [3j]])([-5, 1, 7]), [[2, 2, 2], [3j, 3j, 3j]])


def test_unsorted_samples_are_sorted_stably():
    order = [3, 0, 5, 1, 4, 2]
    shuffled = Interpolator(X[order], Y[order])
    assert np.array_equal(shuffled.x, X) and np.array_equal(shuffled.y, Y)
    assert np.array_equal(shuffled(Q), Interpolator(X, Y)(Q))
    # equal x values keep their input order: a step at x = 1
    step = Interpolator([1, 0, 1, 2], [10, 0, 20, 30])
    assert np.array_equal(step.y, [0, 10, 20, 30])
    assert np.allclose(step([0.5, 1.5]), [5, 25])


@pytest.mark.parametrize("coords", ["real_imag", "mag_phase"])
def test_complex_linear(coords):
    interp = Interpolator(X, Z, coords=coords)
    if coords == "real_imag":
        expected = linear_reference(X, Z.real, Q) + 1j * linear_reference(X, Z.imag, Q)
    else:
        mag = linear_reference(X, np.abs(Z), Q)
        phase = linear_reference(X, np.unwrap(np.angle(Z)), Q)
        expected = mag * np.exp(1j * phase)
    assert np.allclose(interp(Q), expected)


def test_mag_phase_unwraps_across_pi():
    angles = np.array([3.0, 3.1, -3.1, -3.0])  # continues past +pi
    interp = Interpolator([0, 1, 2, 3], np.exp(1j * angles), coords="mag_phase")
    midpoint = interp(1.5)
    assert abs(midpoint) == pytest.approx(1.0)
    assert np.angle(midpoint) == pytest.approx(np.pi)


# ---- Delegated methods ----------------------------------------------------------------------

DELEGATES = {
    "barycentric": lambda x, y: interpolate.BarycentricInterpolator(x, y, axis=0),
    "cubicspline": lambda x, y: interpolate.CubicSpline(x, y, axis=0),
    "pchip": lambda x, y: interpolate.PchipInterpolator(x, y, axis=0),
    "akima": lambda x, y: interpolate.Akima1DInterpolator(x, y, axis=0, extrapolate=True),
    "makima": lambda x, y: interpolate.Akima1DInterpolator(
        x, y, axis=0, method="makima", extrapolate=True
    ),
}


@pytest.mark.parametrize("method", sorted(DELEGATES))
def test_delegated_methods(method):
    reference = DELEGATES[method](X, np.column_stack([Y, Z.real, Z.imag]))(Q)
    result = Interpolator(X, [Y, Z], method=method)(Q)
    assert result.shape == (2, len(Q)) and result.dtype == complex
    assert np.allclose(result[0], reference[:, 0])
    assert np.allclose(result[1], reference[:, 1] + 1j * reference[:, 2])

    clipped = DELEGATES[method](X, Y)(np.clip(Q, X[0], X[-1]))
    assert np.allclose(Interpolator(X, Y, method=method, extrapolation="constant")(Q), clipped)


def test_delegated_mag_phase():
    table = np.column_stack([np.abs(Z), np.unwrap(np.angle(Z))])
    mag, phase = interpolate.CubicSpline(X, table, axis=0)(Q).T
    result = Interpolator(X, Z, method="cubicspline", coords="mag_phase")(Q)
    assert np.allclose(result, mag * np.exp(1j * phase))


def test_two_parameters():
    rng = np.random.default_rng(7)
    points = rng.uniform(0, 1, (20, 2))
    values = [points[:, 0] + 2 * points[:, 1] ** 2, np.cos(points[:, 0]) + 1j * points[:, 1]]
    queries = rng.uniform(0.2, 0.8, (5, 2))
    table = np.column_stack([values[0], values[1].real, values[1].imag])
    reference = interpolate.LinearNDInterpolator(points, table)(queries)
    result = Interpolator(points, values)(queries)
    assert np.allclose(result[0], reference[:, 0], equal_nan=True)
    assert np.allclose(result[1], reference[:, 1] + 1j * reference[:, 2], equal_nan=True)


def test_two_parameter_single_query_is_scalar():
    interp = Interpolator([[0, 0], [1, 0], [0, 1], [1, 1]], [0, 1, 1, 2])
    assert isinstance(interp([0.5, 0.25]), float)
    assert interp([0.5, 0.25]) == pytest.approx(0.75)
    assert np.isnan(interp([0.5, -0.5]))
    assert interp(np.array([[0.5, 0.25], [1, 1]])).shape == (2,)


# ---- Result shapes ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "y, query, kind, shape",
    [
        ([1, 2, 3], 0.5, float, None),
        ([1, 2, 3j], 0.5, complex, None),
        ([1, 2, 3], np.float32(0.5), float, None),
        ([1, 2, 3], [0.5], np.ndarray, (1,)),
        ([1, 2, 3], np.array([0.5, 1, 2]), np.ndarray, (3,)),
        ([[1, 2, 3], [4, 5, 6]], 0.5, np.ndarray, (2,)),
        ([[1, 2, 3]], [0.5, 1], np.ndarray, (1, 2)),
        ([[1, 2, 3], [4, 5, 6j]], [0.5, 1, 2, 3], np.ndarray, (2, 4)),
    ],
)
def test_result_shapes(y, query, kind, shape):
    result = Interpolator([0, 1, 2], y)(query)
    assert type(result) is kind
    if shape is not None:
        assert result.shape == shape
        assert result.dtype == (complex if np.iscomplexobj(y) else float)


# ---- Arguments and errors -------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1, [1]), {}, RuntimeError, "'x' must be a sequence."),
        (([], []), {}, RuntimeError, "Independent variable 'x' cannot be empty."),
        (([[], []], [1, 2]), {}, RuntimeError, "Independent variable 'x' must have at least 1 dimension."),
        (([[0, 1], [1]], [1, 2]), {}, RuntimeError, "All samples in 'x' must have the same dimension."),
        (([0, "a"], [1, 2]), {}, RuntimeError, "Error parsing item 'x[1]'."),
        (([0, 1], 1), {}, RuntimeError, "'y' must be a sequence."),
        (([0, 1], [1, 2, 3]), {}, RuntimeError, "'x' and 'y' must have the same length."),
        (([0, 1], [[1, 2], [3]]), {}, RuntimeError, "Each 'y' value sequence must have the same size as 'x'."),
        (([0, 1], [1, None]), {}, RuntimeError, "Error parsing item 'y[1]'."),
        (([0, 1], [1, 2]), {"method": "spline"}, RuntimeError, "Invalid method"),
        (([0, 1], [1, 2]), {"coords": "polar"}, RuntimeError, "Invalid coords"),
        (([0, 1], [1, 2]), {"extrapolation": "zero"}, RuntimeError, "Invalid extrapolation"),
        (([0, 1], [1, 2]), {"parameter_names": 5}, RuntimeError, "'parameter_names' must be a sequence or None."),
        (([0, 1], [1, 2]), {"parameter_names": [5]}, RuntimeError, "All items in 'parameter_names' must be strings."),
        (
            ([0, 1], [1, 2]),
            {"parameter_names": ["a", "b"]},
            RuntimeError,
            "'parameter_names' length (2) must match the number of parameters (1).",
        ),
        (
            ([[0, 0], [1, 1]], [1, 2]),
            {"extrapolation": "constant"},
            RuntimeError,
            "Constant extrapolation is only supported for single-parameter interpolation.",
        ),
        (
            ([[0, 0], [1, 0], [0, 1]], [1, 2, 3]),
            {"method": "pchip"},
            ValueError,
            "Multidimensional interpolation is only available with 'linear' method.",
        ),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        Interpolator(*args, **kwargs)
    assert str(info.value) == message


def test_sequence_errors_propagate():
    class Unsized:  # a sequence to the interpreter, but len() fails
        def __getitem__(self, i):
            return 0.0

    with pytest.raises(TypeError, match="has no len"):
        Interpolator([Unsized(), Unsized()], [1, 2])
    with pytest.raises(TypeError, match="has no len"):
        ONE(Unsized())


def test_failed_reinitialisation_keeps_object():
    interp = Interpolator([0, 1], [1, 3])
    with pytest.raises(RuntimeError):
        interp.__init__([0, 1], [1, 2, 3])
    assert interp(0.5) == 2


ONE = Interpolator([0, 1, 2], [1, 2, 3])
TWO = Interpolator([[0, 0], [1, 0], [0, 1]], [1, 2, 3])


@pytest.mark.parametrize(
    "interp, args, kwargs, error, message",
    [
        (ONE, (), {}, TypeError, "__call__() takes exactly one argument 'x'."),
        (ONE, (1, 2), {}, TypeError, "__call__() takes exactly one argument 'x'."),
        (ONE, (), {"q": 1}, TypeError, "__call__() takes exactly one argument 'x'."),
        (ONE, ("a",), {}, RuntimeError, "'x' must be a number or sequence."),
        (ONE, ([1j],), {}, RuntimeError, "'x' must be a number or sequence."),
        (ONE, ([],), {}, RuntimeError, "'x' must be a non-empty sequence."),
        (TWO, ([],), {}, RuntimeError, "'x' must be a non-empty sequence."),
        (TWO, ([1, 2, 3],), {}, RuntimeError, "'x' must have length 2."),
        (TWO, ([[1, 2], [3]],), {}, RuntimeError, "All items in 'x' must have length 2."),
    ],
)
def test_call_errors(interp, args, kwargs, error, message):
    with pytest.raises(error) as info:
        interp(*args, **kwargs)
    assert str(info.value) == message


def test_call_keyword():
    assert ONE(x=0.5) == 1.5


@pytest.mark.parametrize("before, after", [("linear", "pchip"), ("pchip", "linear"), ("pchip", "akima")])
def test_reinitialised_during_call(before, after):
    interp = Interpolator([0, 1], [0, 10], method=before)

    class Reinitialising:
        def __float__(self):
            interp.__init__([0, 1], [0, 100], method=after)
            return 0.5

    # The call finishes on the object it started with; later calls see the new one.
    assert np.array_equal(interp([Reinitialising()]), [5])
    assert interp(0.5) == 50


# ---- Attributes, text forms, copies -----------------------------------------------------------


def test_attributes():
    interp = Interpolator([[0, 0], [1, 0], [0, 1]], [[1, 2, 3], [1j, 2, 3]], parameter_names=["a", "b"])
    assert np.array_equal(interp.x, [[0, 0], [1, 0], [0, 1]])
    assert [y.dtype for y in interp.y] == [float, complex]
    assert (interp.method, interp.coords, interp.extrapolation) == ("linear", "real_imag", "extrapolate")
    assert interp.parameter_names == ("a", "b")
    interp.parameter_names = None
    assert interp.parameter_names is None
    interp.parameter_names = ["a\0b", "\u00e9"]  # names are kept whole
    assert interp.parameter_names == ("a\0b", "\u00e9")
    with pytest.raises(RuntimeError, match=r"length \(1\)"):
        interp.parameter_names = ["a"]
    with pytest.raises(AttributeError):
        interp.method = "pchip"


def test_text_forms():
    interp = Interpolator([0, 1], [1, 2j], method="pchip", coords="mag_phase", parameter_names=["f"])
    text = repr(interp)
    assert text.startswith("Interpolator(x=[")
    for piece in (', method="pchip"', ', coords="mag_phase"', ', extrapolation="extrapolate"',
                  ", parameter_names=("):
        assert piece in text
    assert eval(text, {"Interpolator": Interpolator}) == interp
    assert str(interp).startswith("Interpolator for 2 samples")
    assert " 1 sample" in str(Interpolator([0], [1]))


def test_equality_and_copies():
    interp = Interpolator([0, 1, 2], [1, 2, 3], method="akima")
    for other in (copy.copy(interp), copy.deepcopy(interp), interp.copy()):
        assert other == interp and other is not interp and other._id != interp._id
        assert np.array_equal(other([0.5, 3]), interp([0.5, 3]))
    assert interp != Interpolator([0, 1, 2], [1, 2, 3])
    assert interp != Interpolator([0, 1, 2], [1, 2, 3], method="akima", parameter_names=["t"])
    with pytest.raises(TypeError):
        interp < interp
