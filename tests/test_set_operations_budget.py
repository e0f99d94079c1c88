"""Set operations that would create more points than the limit stop before taking the memory.

Cases just under the limit would build millions of points, so the counts below the limit are
checked on smaller cases against what the operation really builds.
"""

import math
import re

import numpy as np
import pytest

import tarnwhistle as tw

LIMIT = 8388608
UNITS = 100000  # database units per µm


def over_limit(operation):
    return pytest.raises(
        RuntimeError, match=rf"^{operation} needs (\d+) points, more than the limit of {LIMIT}\.$")


def needed(error):
    return int(re.search(r"needs (\d+) points", str(error.value)).group(1))


@pytest.fixture
def tolerance():
    saved = tw.config.tolerance
    yield
    tw.config.tolerance = saved


def quarter_turn_steps(distance, tolerance):
    """Arc steps of a round join turning by a quarter, as the offsetter chooses them."""
    radius, tolerance = distance * UNITS, min(tolerance * UNITS, distance * UNITS / 4)
    steps = min(math.pi / math.acos(1 - tolerance / radius), radius * math.pi)
    return max(round(steps / 4), 1)


def square():
    return tw.Rectangle((0, 0), (1, 1))


def star(points, step, radius=1000):
    """The star polygon {points/step}, whose edges cross points * (step - 1) times for
    step < points / 2."""
    angles = 2 * np.pi * step * np.arange(points) / points
    return tw.Polygon(np.column_stack([radius * np.cos(angles), radius * np.sin(angles)]))


def strips(count):
    """count horizontal and count vertical strips crossing in 4 count² points."""
    length = 2 * count
    return ([tw.Rectangle((0, 2 * i), (length, 2 * i + 1)) for i in range(count)],
            [tw.Rectangle((2 * i, 0), (2 * i + 1, length)) for i in range(count)])


class TestRoundJoins:
    @pytest.mark.parametrize("distance, tol", [(10, 0.005), (37.3, 0.005), (1e3, 1e-3), (1e4, 1e-4)])
    def test_arc_points_follow_the_offsetter(self, tolerance, distance, tol):
        tw.config.tolerance = tol
        (result,) = tw.offset(square(), distance, round_joins=True)
        assert len(result.vertices) == 4 * (quarter_turn_steps(distance, tol) + 1)

    @pytest.mark.parametrize("call, operation", [
        (lambda: tw.offset(square(), 1.5e8, round_joins=True), "Offset"),
        (lambda: tw.envelope(square(), 1.5e8, round_joins=True), "Envelope"),
    ])
    def test_just_over_the_limit(self, tolerance, call, operation):
        tw.config.tolerance = 1e-5
        with over_limit(operation) as error:
            call()
        # Each corner adds its arc steps beyond the one point it had.
        assert needed(error) == 4 * quarter_turn_steps(1.5e8, 1e-5)
        assert LIMIT < needed(error) < 1.03 * LIMIT

    def test_miter_joins_add_no_arcs(self, tolerance):
        tw.config.tolerance = 1e-5
        (result,) = tw.offset(square(), 1.5e8)
        assert len(result.vertices) == 4


class TestCrossings:
    def test_strips_just_over_the_limit(self):
        horizontal, vertical = strips(1449)  # 4 * 1449² = 8398404 crossings
        with over_limit("Boolean operation") as error:
            tw.boolean(horizontal, vertical, "*")
        assert LIMIT < needed(error) <= 4 * 1449**2

    def test_strips_under_the_limit(self):
        horizontal, vertical = strips(30)
        assert len(tw.boolean(horizontal, vertical, "*")) == 30 * 30
        (mesh,) = tw.boolean(horizontal, vertical, "+")
        assert len(mesh.holes) == 29 * 29

    @pytest.mark.parametrize("call, operation", [
        (lambda ring: tw.boolean(ring, [], "+"), "Boolean operation"),
        (lambda ring: tw.offset(ring, 1), "Offset"),
        (lambda ring: tw.heal(ring, 0.1), "Heal"),
    ])
    def test_self_crossing_ring_just_over_the_limit(self, call, operation):
        ring = star(4099, 2049)  # 4099 * 2048 = 8394752 crossings
        with over_limit(operation) as error:
            call(ring)
        assert LIMIT < needed(error) <= 4099 * 2048

    def test_self_crossing_ring_under_the_limit(self):
        # Filled by winding number, a star is its outline: tips and the notches between them.
        (outline,) = tw.boolean(star(101, 50), [], "+")
        assert len(outline.vertices) == 2 * 101
