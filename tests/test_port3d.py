"""3D ports: Gaussian beams against the closed-form beam, fiber ports, comparisons."""

import math

import fenn3d
import numpy as np
import pytest

import tarnwhistle as tw

C0 = 2.99792458e14  # µm/s
FREQUENCY = C0 / 1.55  # a wavelength of 1.55 µm


def beam(w0=2.0, **kwargs):
    return tw.GaussianPort((0, 0, 0), (0, 0, 1), w0, **kwargs)


def on_axis(port, z, frequency=FREQUENCY, **kwargs):
    z = np.atleast_1d(np.asarray(z, dtype=float))
    amplitudes = port.fields(np.zeros_like(z), np.zeros_like(z), z, frequency, **kwargs)[0]
    return amplitudes[0]


# ---- Gaussian fields ---------------------------------------------------------------------


def test_gaussian_beam_matches_the_closed_form():
    w0 = 2.0
    k = 2 * math.pi / 1.55
    zr = math.pi * w0**2 / 1.55
    z = np.array([-2 * zr, -zr, 0, 0.5 * zr, zr, 3 * zr])
    a = on_axis(beam(w0), z)
    assert np.allclose(abs(a) ** 2, 1 / (1 + (z / zr) ** 2))
    # Phase: plane wave minus the Gouy phase.
    assert np.allclose(np.angle(a * np.exp(-1j * k * z)), -np.arctan(z / zr))
    # The 1/e² radius grows as w0·√(1 + (z/zR)²); at the waist the profile is exp(−2ρ²/w0²).
    for zi in (0.0, zr, 2 * zr):
        w = w0 * math.sqrt(1 + (zi / zr) ** 2)
        ratio = beam(w0).fields([w, 0], [0, 0], [zi, zi], FREQUENCY)[0][0]
        assert abs(ratio[0] / ratio[1]) ** 2 == pytest.approx(math.exp(-2))
    rho = np.linspace(0, 5, 11)
    waist = beam(w0).fields(rho / math.sqrt(2), rho / math.sqrt(2), np.zeros_like(rho), FREQUENCY)
    assert np.allclose(waist[0][0], np.exp(-(rho**2) / w0**2))


def test_power_normalization_is_unity_in_any_plane():
    w0 = 1.5
    port = beam(w0)
    grid = np.linspace(-4 * w0 * 2, 4 * w0 * 2, 241)
    x, y = np.meshgrid(grid, grid)
    step = grid[1] - grid[0]
    for z in (0.0, 10.0):
        for medium in (1.0, 1.5):
            a, e_norm, h_norm, e_pol, h_pol = port.fields(
                x.ravel(), y.ravel(), np.full(x.size, z), [FREQUENCY, 2 * FREQUENCY], medium)
            assert a.shape == (2, x.size) and e_norm.shape == h_norm.shape == (2,)
            flux = np.dot(np.cross(e_pol, h_pol), (0, 0, 1))
            power = 0.5 * np.sum(np.abs(a) ** 2, axis=1) * e_norm * h_norm * flux * step**2
            assert np.allclose(power, 1, rtol=1e-6)
            assert np.allclose(h_norm / e_norm, medium / 376.730313668)


def test_medium_index_and_solver_media():
    w0, n = 2.0, 2.0
    zr = math.pi * w0**2 * n / 1.55
    expected = 1 / (1 + 1)  # at one Rayleigh range
    assert abs(on_axis(beam(w0), zr, medium=n)[0]) ** 2 == pytest.approx(expected)
    solver = fenn3d.Medium(permittivity=n**2)
    assert np.allclose(on_axis(beam(w0), zr, medium=solver), on_axis(beam(w0), zr, medium=n))


def test_waist_position_and_polarization():
    port = beam(2.0, waist_position=3.0)
    z = np.linspace(0, 6, 61)
    assert z[np.argmax(abs(on_axis(port, z)))] == pytest.approx(3.0)
    _, _, _, e, h = beam(polarization_angle=0).fields(0, 0, 0, FREQUENCY)
    assert np.allclose(e, (1, 0, 0)) and np.allclose(h, (0, 1, 0))
    _, _, _, e, _ = beam(polarization_angle=90).fields(0, 0, 0, FREQUENCY)
    assert np.allclose(e, (0, 1, 0))
    _, _, _, e, h = tw.GaussianPort((0, 0, 0), (-2, 0, 0), 1).fields(0, 0, 0, FREQUENCY)
    assert np.allclose(e, (0, 1, 0)) and np.allclose(h, (0, 0, -1))
    # The reflected port has the same physical polarization.
    tilted = tw.GaussianPort((0, 0, 0), (0, 1, 1), 1, polarization_angle=30)
    assert np.allclose(tilted.fields(0, 0, 0, FREQUENCY)[3],
                       tilted.reflected().fields(0, 0, 0, FREQUENCY)[3])


def test_field_argument_errors():
    port = beam()
    for name, args in (("x", ([], [0], [0])), ("y", ([0], [], [0])), ("z", ([0], [0], []))):
        with pytest.raises(ValueError, match=f"Argument '{name}' cannot be empty."):
            port.fields(*args, FREQUENCY)
    with pytest.raises(ValueError, match="Arguments 'x', 'y', and 'z' must have the same size."):
        port.fields([0, 1], [0], [0], FREQUENCY)


# ---- Gaussian port attributes ------------------------------------------------------------


@pytest.mark.parametrize("vector, sign", [
    ((0, 0, -1), 1), ((0, 0, 1), -1), ((1, -1, 0), -1), ((-1, 1, 1), 1), ((0, 1, -1), -1),
    ((0.5, 0.2, -1), 1),
])
def test_waist_distance_follows_the_dominant_component(vector, sign):
    port = tw.GaussianPort((0, 0, 0), vector, 1)
    port.waist_distance = 2
    assert port.waist_position == 2 * sign and port.waist_distance == 2
    assert tw.GaussianPort((0, 0, 0), vector, 1, waist_distance=2).waist_position == 2 * sign


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((0,), {}, ValueError, "Argument 'waist_radius' must be positive."),
    ((1,), {"field_tolerance": 1}, ValueError,
     "Argument 'field_tolerance' must be strictly between 0 and 1."),
    ((1,), {"field_tolerance": 0}, ValueError,
     "Argument 'field_tolerance' must be strictly between 0 and 1."),
    ((1, 2), {"waist_distance": 1}, ValueError,
     "Only one of 'waist_position' and 'waist_distance' must be specified."),
])
def test_gaussian_argument_errors(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        tw.GaussianPort((0, 0, 0), (1, 0, 0), *args, **kwargs)


def test_gaussian_setters_reject_bad_values_and_keep_the_port():
    port = tw.GaussianPort((1, 2, 3), (0, 1, 0), 2, 1, 10, 0.01)
    before = repr(port)
    for name, value, message in (
            ("waist_radius", -1, "Argument 'waist_radius' must be positive."),
            ("field_tolerance", 2, "strictly between 0 and 1"),
            ("input_vector", (0, 0, 0), "Argument 'input_vector' must have non-negligible length.")):
        with pytest.raises(ValueError, match=message):
            setattr(port, name, value)
    with pytest.raises(ValueError, match="non-negligible length"):
        tw.GaussianPort((0, 0, 0), (1e-20, 0, 0), 1)
    with pytest.raises(TypeError, match="'center' must be a sequence of 3 numbers."):
        port.center = (1, 2)
    assert repr(port) == before
    assert before == ("GaussianPort(center=(1, 2, 3), input_vector=(0, 1, 0), waist_radius=2, "
                      "waist_position=1, polarization_angle=10, field_tolerance=0.01)")
    assert (port.num_modes, port.added_solver_modes, port.classification) == (1, 0, "optical")


# ---- Comparisons -----------------------------------------------------------------------------


def test_reflection_and_comparisons():
    port = tw.GaussianPort((0.00026, -0.00024, 1.23456), (0, 0, 1), 2, 1, 30)
    back = port.reflected()
    assert np.allclose(back.center, [0.0005, 0, 1.2345])
    assert list(back.input_vector) == [0, 0, -1]
    assert (back.waist_position, back.polarization_angle) == (-1, -30)
    assert port.reflected().reflected().is_connected_to(back)
    placed = tw.GaussianPort((0.0005, 0, 1.2345), (0, 0, 1), 2, 1, 30)
    assert placed.is_connected_to(back) and back.is_connected_to(placed)
    assert placed.matches(placed.copy()) and placed == placed.copy()
    assert not placed.matches(tw.GaussianPort((0.0005, 0, 1.2345), (0, 0, 1), 2, 1, 31))
    assert not placed.matches(tw.GaussianPort((0.0005, 0, 1.2345), (0, 1e-9, 1), 2, 1, 30))
    fiber = tw.FiberPort((0.0005, 0, 1.2345), (0, 0, 1), (2, 2), (-1, 1))
    assert not placed.matches(fiber) and not fiber.matches(placed)
    flat = tw.Port((0, 0), 0, tw.PortSpec("s", 1, (0, 1)))
    assert not placed.matches(flat) and not placed.is_connected_to(flat)
    with pytest.raises(TypeError, match="Argument 'port' must be an instance of one of the port"):
        placed.matches("port")


# ---- Fiber ports -----------------------------------------------------------------------------


def test_fiber_port_fields_reflection_and_copies():
    core = tw.Circle(4.5)
    glass = fenn3d.Medium(permittivity=2.1)
    port = tw.FiberPort((0, 0, 5), (0, 0, -1), (20, 20), (-2, 3), [(core, glass)], num_modes=2,
                        polarization="TE", target_neff=1.45, added_solver_modes=1)
    assert list(port.size) == [20, 20] and list(port.extrusion_limits) == [-2, 3]
    assert port.cross_section == [(core, glass)]
    assert (port.num_modes, port.added_solver_modes, port.polarization, port.target_neff) == \
        (2, 1, "TE", 1.45)
    back = port.reflected()
    assert list(back.extrusion_limits) == [-3, 2] and list(back.input_vector) == [0, 0, 1]
    assert back.cross_section[0][0] == core and back.cross_section[0][0] is not core
    copy = port.copy()
    assert copy == port and copy.cross_section[0][0] is not core
    copy.num_modes = 1
    assert copy != port and port.num_modes == 2
    assert repr(port).startswith("FiberPort(center=(0, 0, 5), input_vector=(0, 0, -1), size=(20, "
                                 "20), extrusion_limits=(-2, 3), cross_section=[(Circle(")


def test_fiber_port_errors_keep_the_port():
    port = tw.FiberPort((0, 0, 0), (1, 0, 0), (2, 2), (-1, 1))
    before = repr(port)
    limit_message = "Argument 'extrusion_limits' must have a negative lower and a positive upper"
    cases = [
        ("extrusion_limits", (0, 1), ValueError, limit_message),
        ("extrusion_limits", (-1, 0), ValueError, limit_message),
        ("num_modes", 0, ValueError, "Argument 'num_modes' must be positive."),
        ("added_solver_modes", -1, ValueError, "Argument 'added_solver_modes' cannot be negative."),
        ("polarization", "TEM", ValueError, "Argument 'polarization' must be 'TE', 'TM', or None."),
        ("cross_section", [(1, 2)], TypeError, "must be a sequence of \\(structure, medium\\)"),
        ("size", (0, 1), ValueError, "Argument 'size' must be positive."),
    ]
    for name, value, error, message in cases:
        with pytest.raises(error, match=message):
            setattr(port, name, value)
    assert repr(port) == before
