"""2D ports: snapping, placement, comparisons, terminals and the port plane."""

import math

import numpy as np
import pytest

import tarnwhistle as tw

L1 = (1, 0)


def spec(profiles=((0.5, 0, L1),), width=1.0, **kwargs):
    return tw.PortSpec("s", width, (-1, 1), path_profiles=profiles, **kwargs)


ASYMMETRIC = {"p": (0.5, 0.2, L1)}


def half_away(value):
    return math.floor(abs(value) + 0.5) * (1 if value >= 0 else -1)


def snap_units(units, step):
    """The nearest multiple of step, ties up (database units)."""
    return math.floor((units + step // 2) / step) * step


# ---- Snapping ------------------------------------------------------------------------------


@pytest.mark.parametrize("direction, expected", [
    (0, (0, 1.2345)), (180, (0, 1.2345)), (-180, (0, 1.2345)),
    (90, (0.0005, 1.235)), (270, (0.0005, 1.235)),
    (45, (0.0005, 1.2345)),
])
def test_center_snaps_by_direction(direction, expected):
    port = tw.Port((0.0004, 1.23456), direction, spec())
    assert tuple(port.center) == pytest.approx(expected, abs=1e-12)


def test_exact_halves_go_up_and_setters_snap():
    assert list(tw.Port((0.0005, -0.00025), 0, spec()).center) == [0.001, 0.0]
    assert list(tw.Port((-0.0005, 0.00075), 0, spec()).center) == [0.0, 0.001]
    port = tw.Port((0, 0), 0, spec())
    port.center = (0.0004, 0.0004)
    assert list(port.center) == [0.0, 0.0005]
    port.input_direction = 90
    assert list(port.center) == [0.0, 0.001]


def test_snapping_follows_the_configured_grid():
    saved = tw.config.grid
    try:
        tw.config.grid = 0.01
        assert tuple(tw.Port((0.0049, 0.0026), 0, spec()).center) == pytest.approx((0, 0.005))
    finally:
        tw.config.grid = saved


# ---- Placement -----------------------------------------------------------------------------


def test_quarter_turns_are_exact():
    port = tw.Port((1, 2), 0, spec(), bend_radius=3)
    turned = port._transformed(rotation=90)
    assert list(turned.center) == [-2, 1] and turned.input_direction == 90
    assert list(port._transformed(rotation=-90, translation=(5, 5)).center) == [7, 4]
    assert list(port._transformed(rotation=180).center) == [-1, -2]
    assert turned.bend_radius == 3 and not turned.inverted


def test_thirty_degree_turn_rounds_then_snaps_to_the_half_grid():
    x, y = 1.23456, 0.5
    port = tw.Port((x, y), 45, spec())  # oblique: the half grid of 0.0005
    ux, uy = [snap_units(round(v * 1e5), 50) for v in (x, y)]
    c, s = math.cos(math.radians(30)), math.sin(math.radians(30))
    moved = port._transformed(rotation=30, translation=(1, 0))
    expected = [snap_units(half_away(c * ux - s * uy) + 100000, 50),
                snap_units(half_away(s * ux + c * uy), 50)]
    assert [round(v * 1e5) for v in moved.center] == expected
    assert moved.input_direction == 75


def test_mirror_turns_direction_toggles_inverted_and_flips_the_bend():
    port = tw.Port((0, 1), 30, spec(), bend_radius=2, inverted=False)
    mirrored = port._transformed(x_reflection=True)
    assert mirrored.input_direction == -30 and mirrored.inverted and mirrored.bend_radius == -2
    assert list(mirrored.center) == [0, -1]
    assert port._transformed(rotation=90).input_direction == 120
    assert port._transformed(rotation=90, x_reflection=True).input_direction == 60
    assert port._transformed(scaling=2).bend_radius == 4
    assert not mirrored._transformed(x_reflection=True).inverted


# ---- Comparisons ---------------------------------------------------------------------------


def pair(spec_p, spec_q, inverted_p, inverted_q, facing):
    p = tw.Port((0, 0), 0, spec_p, inverted=inverted_p)
    q = tw.Port((0, 0), 180 if facing else 360, spec_q, inverted=inverted_q)
    return p, q


@pytest.mark.parametrize("inverted_p, inverted_q", [(False, False), (True, True),
                                                     (False, True), (True, False)])
def test_symmetric_specifications_ignore_the_flags(inverted_p, inverted_q):
    s = spec()
    p, q = pair(s, s.copy(), inverted_p, inverted_q, facing=True)
    assert p.is_connected_to(q) and p.can_connect_to(q) and not p.matches(q)
    p, q = pair(s, s, inverted_p, inverted_q, facing=False)
    assert p.matches(q) and not p.is_connected_to(q)


@pytest.mark.parametrize("inverted_p, inverted_q", [(False, False), (True, True),
                                                     (False, True), (True, False)])
def test_asymmetric_specifications_follow_the_flags(inverted_p, inverted_q):
    a = spec(ASYMMETRIC)
    same = inverted_p == inverted_q
    p, q = pair(a, a, inverted_p, inverted_q, facing=True)
    assert p.is_connected_to(q) == (not same) and p.can_connect_to(q) == (not same)
    p, q = pair(a, a, inverted_p, inverted_q, facing=False)
    assert p.matches(q) == same
    # The mirror-image specification takes the other flag combinations.
    mirror = a.inverted()
    p, q = pair(a, mirror, inverted_p, inverted_q, facing=True)
    assert p.is_connected_to(q) == same and p.can_connect_to(q) == same
    p, q = pair(a, mirror, inverted_p, inverted_q, facing=False)
    assert p.matches(q) == (not same)


def test_symmetric_port_against_an_asymmetric_one_tries_the_inverse():
    sym = spec([(0.5, 0.2, L1), (0.5, -0.2, L1)])
    # Only one of the two covers the port: equal after inversion only when offsets mirror.
    half = spec(ASYMMETRIC)
    p, q = pair(sym, half, False, True, facing=False)
    assert not p.matches(q)
    p, q = pair(sym, sym, False, True, facing=False)
    assert p.matches(q)


def test_comparisons_need_place_direction_and_classification():
    s = spec()
    p = tw.Port((0, 0), 0, s)
    assert not p.matches(tw.Port((1, 0), 0, s))
    assert p.matches(tw.Port((0, 0), 720, s)) and p.is_connected_to(tw.Port((0, 0), -180, s))
    assert not p.is_connected_to(tw.Port((0, 0), 179.9, s))
    electrical = spec(impedance=tw.Interpolator([1], [50]))
    e = tw.Port((0, 0), 180, electrical)
    assert not p.is_connected_to(e) and not p.can_connect_to(e)
    # Description, modes and polarization do not count.
    other = spec(num_modes=2, polarization="TE", target_neff=3)
    other.description = "different"
    assert p.matches(tw.Port((0, 0), 0, other))
    gaussian = tw.GaussianPort((0, 0, 0), (1, 0, 0), 2)
    assert not p.matches(gaussian) and not p.can_connect_to(gaussian)
    for method in (p.matches, p.is_connected_to, p.can_connect_to):
        with pytest.raises(TypeError,
                           match="Argument 'port' must be an instance of one of the port classes."):
            method(s)


# ---- Attributes ----------------------------------------------------------------------------


def test_spec_by_name_and_setter_rules():
    port = tw.Port((0, 0), 0, "Strip")
    assert port.spec is tw.config.default_technology.ports["Strip"]
    with pytest.raises(ValueError, match="Port specification name not found in technology."):
        tw.Port((0, 0), 0, "Missing")
    with pytest.raises(TypeError, match="Argument 'spec' must be a PortSpec instance or name."):
        tw.Port((0, 0), 0, 5)
    with pytest.raises(TypeError, match="Argument 'spec' must be an instance of PortSpec."):
        port.spec = "Strip"
    electrical = spec(impedance=tw.Interpolator([1], [50]))
    with pytest.raises(ValueError, match="'spec' cannot be an electrical port specification."):
        port.spec = electrical
    e = tw.Port((0, 0), 0, electrical)
    with pytest.raises(ValueError, match="'spec' must be an electrical port specification."):
        e.spec = spec()
    assert port.spec is tw.config.default_technology.ports["Strip"]
    assert e.classification == "electrical" and port.classification == "optical"


def test_attributes_copies_and_text():
    s = spec(num_modes=3, added_solver_modes=2)
    port = tw.Port((1, 2), 90, s, extended=False, inverted=True, bend_radius=-5)
    assert (port.extended, port.inverted, port.bend_radius) == (False, True, -5.0)
    assert (port.num_modes, port.added_solver_modes) == (3, 2)
    shallow, deep = port.copy(), port.copy(deep=True)
    assert shallow.spec is s and deep.spec is not s and deep.spec == s
    assert shallow == port == deep
    port.extended = True
    port.bend_radius = 1
    assert port != shallow
    assert repr(port).startswith("Port(center=(1, 2), input_direction=90, spec=PortSpec(")
    assert str(port) == "Port at (1, 2) with input direction 90"


def test_terminals_of_named_profiles():
    s = tw.PortSpec("cpw", 6, (0, 1), path_profiles={"signal": (1, 0, L1), "gnd": (1, 2, L1)},
                    impedance=tw.Interpolator([1e9], [50]))
    port = tw.Port((0, 0), 90, s)
    terminals = port.terminals()
    assert sorted(terminals) == ["gnd", "signal"]
    gnd = port.terminals("gnd")
    assert gnd.routing_layer == L1
    assert np.allclose(gnd.bounds(), [[-2.5, -0.0005], [-1.5, 0.0005]])
    flipped = tw.Port((0, 0), 90, s, inverted=True).terminals("gnd")
    assert np.allclose(flipped.center(), [2, 0])
    assert port.terminals("none") is None
    assert tw.Port((0, 0), 0, spec()).terminals() == {}


@pytest.mark.parametrize("direction, axis_size, sign, theta, phi", [
    (0, (0, 0.5), "+", 0, 0), (180, (0, 0.5), "-", 0, 0), (90, (0.5, 0), "+", 0, 180),
    (30, (0, 0.5 / math.cos(math.radians(30))), "+", 30, 0),
    (-30, (0, 0.5 / math.cos(math.radians(30))), "+", 30, 180),
    (100, (0.5 / math.cos(math.radians(10)), 0), "+", 10, 180),
    (-100, (0.5 / math.cos(math.radians(10)), 0), "-", 10, 0),
])
def test_axis_aligned_properties(direction, axis_size, sign, theta, phi):
    port = tw.Port((1, 2), direction, tw.PortSpec("s", 0.5, (0, 0.22)))
    center, size, d, t, p = port._axis_aligned_properties()
    assert np.allclose(center, [*port.center, 0.11])
    assert np.allclose(size, [*axis_size, 0.22], atol=1e-5)
    assert (d, t, p) == (sign, pytest.approx(theta), phi)


def test_odd_half_grid_rounds_to_the_nearest_multiple_below_zero():
    # A 0.0001 grid has an odd half step of 5 units: -3 units lie nearer to -5 than to 0,
    # whereas the grid snapping formula of snap_to_grid keeps its truncating rule.
    saved = tw.config.grid
    try:
        tw.config.grid = 0.0001
        port = tw.Port((0.00003, -0.00003), 0, spec())
        assert tuple(port.center) == pytest.approx((0.0, -0.00005), abs=1e-12)
        assert tw.snap_to_grid(-0.00003, grid=0.00005) == 0.0
        assert tw.snap_to_grid(-0.00003, grid=0.00004) == -0.00004
    finally:
        tw.config.grid = saved
