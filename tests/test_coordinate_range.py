"""Coordinates are limited to ±1e9 µm: inputs beyond it are refused, and operations whose result
would leave it raise ValueError and change nothing. Nothing wraps around."""

import math

import numpy as np
import pytest

import tarnwhistle as tw

EDGE = 1e9  # µm
RANGE_ERROR = r"^Coordinates exceed the supported range of ±1e9 µm\.$"
# Converted arguments name themselves; results of operations do not.
ANY_RANGE_ERROR = r"^('\w+(\[\d\])?' is out of range|Coordinates exceed the supported range of ±1e9 µm)\.$"


def near_edge_square():
    return tw.Polygon([(EDGE - 2, 0), (EDGE, 0), (EDGE, 2), (EDGE - 2, 2)])


def state(obj):
    """Everything an unchanged object must still report."""
    return repr(obj)


class TestInputs:
    @pytest.mark.parametrize("make, message", [
        (lambda: tw.Polygon([(-9e13, 0), (9e13, 0), (0, 9e13)]), "'vertices[0]' is out of range."),
        (lambda: tw.Rectangle((-9e13, 0), (9e13, 1)), "'corner1[0]' is out of range."),
        (lambda: tw.Circle(1e10), "'radius' is out of range."),
        (lambda: tw.Path((0, 0), 2e9), "'width' is out of range."),
        (lambda: tw.Label("a", (0, -1.5e9)), "'origin[1]' is out of range."),
    ])
    def test_beyond_the_range(self, make, message):
        with pytest.raises(ValueError) as info:
            make()
        assert str(info.value) == message

    def test_edge_itself_is_exact(self):
        p = tw.Polygon([(-EDGE, -EDGE), (EDGE, -EDGE), (EDGE, EDGE), (-EDGE, EDGE)])
        assert p.area() == pytest.approx(4 * EDGE**2, rel=1e-15)
        assert p.perimeter() == pytest.approx(8 * EDGE, rel=1e-15)
        r = tw.Rectangle((-EDGE, -EDGE), (EDGE, EDGE))
        assert r.size.tolist() == [2 * EDGE, 2 * EDGE]
        assert r.area() == pytest.approx(4 * EDGE**2, rel=1e-15)

    @pytest.mark.parametrize("make", [
        lambda: tw.Rectangle(center=(EDGE, 0), size=(2, 2)),  # a corner one unit beyond
        lambda: tw.Rectangle(corner1=(EDGE, 0), size=(1, 1)),
        lambda: tw.Circle(2, center=(EDGE - 1, 0)),
        lambda: tw.Circle((1, 3), center=(0, EDGE - 2), rotation=90),  # the larger axis counts
    ])
    def test_derived_corners_beyond_the_range(self, make):
        with pytest.raises(ValueError, match=RANGE_ERROR):
            make()

    def test_grid_is_bounded(self):
        with pytest.raises(ValueError, match=r"^'grid' is out of range\.$"):
            tw.config.grid = 4e13


class TestOperations:
    """Each case: a valid object, and an operation that would move it beyond the range."""

    CASES = [
        ("translate", lambda: near_edge_square(), lambda s: s.translate((1e-5, 0))),
        ("translate rectangle", lambda: tw.Rectangle((0, 0), (2, 2)),
         lambda s: s.translate((EDGE, 0))),
        ("x_max", lambda: tw.Rectangle((0, 0), (2, 2)), lambda s: setattr(s, "x_min", EDGE - 1)),
        ("y_mid", lambda: tw.Circle(5), lambda s: setattr(s, "y_mid", -EDGE + 4)),
        ("scale", lambda: tw.Polygon([(0, 0), (1, 0), (0, 1)]), lambda s: s.scale(1e300)),
        ("scale about", lambda: tw.Rectangle((0, 0), (1, 1)), lambda s: s.scale(3e9, (0, 0))),
        ("rotate", lambda: tw.Rectangle(center=(EDGE - 1, 0), size=(2, 2)),
         lambda s: s.rotate(45, (EDGE - 1, 0))),
        ("transform", lambda: tw.Circle(1), lambda s: s.transform((EDGE, 0), 30, 1.5)),
        ("mirror", lambda: near_edge_square(), lambda s: s.mirror((-1, 1), (-1, 0))),
        ("rectangle rotation", lambda: tw.Rectangle(center=(EDGE - 1, 0), size=(2, 2)),
         lambda s: setattr(s, "rotation", 45)),
        ("rectangle size", lambda: tw.Rectangle(center=(EDGE - 10, 0), size=(2, 2)),
         lambda s: setattr(s, "size", (30, 2))),
        ("circle radius", lambda: tw.Circle(1, center=(EDGE - 10, 0)),
         lambda s: setattr(s, "radius", 11)),
        ("circle center", lambda: tw.Circle(10), lambda s: setattr(s, "center", (0, EDGE - 5))),
        ("polygon vertices", lambda: near_edge_square(),
         lambda s: setattr(s, "vertices", [(0, 0), (1.5e9, 0), (0, 1)])),
        ("label", lambda: tw.Label("a", (EDGE, 0)), lambda s: s.translate((1, 0))),
        ("label scale", lambda: tw.Label("a", (1, 0)), lambda s: s.scale(2e9)),
        ("path translate", lambda: tw.Path((0, 0), 1).segment((EDGE - 5, 0)),
         lambda s: s.translate((10, 0))),
        ("path rotate", lambda: tw.Path((0, 0), 1).segment((EDGE / 2, EDGE / 2)).segment((EDGE, EDGE)),
         lambda s: s.rotate(45)),
        ("path mirror", lambda: tw.Path((EDGE - 5, 0), 1).segment((EDGE, 0)),
         lambda s: s.mirror((-1, 1), (-1, 0))),
        ("path scale", lambda: tw.Path((0, 0), 1).arc(0, 90, 2, euler_fraction=0)
         .segment((0, 10), relative=True), lambda s: s.scale(1e9)),
        ("path origin", lambda: tw.Path((0, 0), 1).segment((10, 0)),
         lambda s: setattr(s, "origin", (EDGE - 5, 0))),
        ("path relative segment", lambda: tw.Path((EDGE - 5, 0), 1),
         lambda s: s.segment((10, 0), relative=True)),
        ("path relative s bend", lambda: tw.Path((EDGE - 5, 0), 1),
         lambda s: s.s_bend((10, 1), relative=True, euler_fraction=0)),
        ("path relative bezier", lambda: tw.Path((0, EDGE - 5), 1),
         lambda s: s.bezier([(3, 0), (4, 10)], relative=True)),
    ]

    @pytest.mark.parametrize("make, operation", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
    def test_refused_and_unchanged(self, make, operation):
        obj = make()
        before = state(obj)
        with pytest.raises(ValueError, match=ANY_RANGE_ERROR):
            operation(obj)
        assert state(obj) == before

    def test_mirror_may_pass_beyond_the_range_on_the_way(self):
        # Mirroring steps through the axis origin; only the result has to be in range.
        square = tw.Polygon([(-9e8, -9e8), (-9e8 + 2, -9e8), (-9e8 + 2, -9e8 + 2)])
        square.mirror((9e8 + 1, 9e8 + 1), (9e8, 9e8))  # across the line y = x
        np.testing.assert_allclose(sorted(square.vertices.tolist()),
                                   [[-9e8, -9e8], [-9e8, -9e8 + 2], [-9e8 + 2, -9e8 + 2]])
        path = tw.Path((-9e8, -9e8), 1).segment((-9e8 + 10, -9e8))
        path.mirror((9e8 + 1, 9e8 + 1), (9e8, 9e8))
        np.testing.assert_allclose(path.spine(), [(-9e8, -9e8), (-9e8, -9e8 + 10)])

    def test_repeated_transforms_stay_exact(self):
        # 10,000 quarter turns about a far center: integer arithmetic, back where it started.
        r = tw.Rectangle(center=(6e8, 5e8), size=(4, 2))
        for _ in range(10000):
            r.rotate(90, (1e8, -1e8))
        assert r.center.tolist() == [6e8, 5e8]

    def test_perimeter_beyond_64_bits(self):
        # A star of 60,000 spikes across the whole range: its edges add up to more than 2^63
        # database units.
        n = 60000
        angles = np.linspace(0, 2 * np.pi, 2 * n, endpoint=False)
        radii = np.where(np.arange(2 * n) % 2 == 0, EDGE, 1e8)
        p = tw.Polygon(np.column_stack([radii * np.cos(angles), radii * np.sin(angles)]))
        with pytest.raises(ValueError, match=r"^Perimeter exceeds the supported range\.$"):
            p.perimeter()
        assert math.isfinite(p.area())


def test_huge_angles_keep_their_meaning():
    # Angles are reduced to one turn before the trigonometry: -1.5e308 degrees is -264 degrees.
    p = tw.Polygon([(0, 0), (1, 0), (0, 1)])
    q = p.copy()
    p.rotate(-1.5e308, center=(0, 1))
    q.rotate(math.fmod(-1.5e308, 360), center=(0, 1))
    np.testing.assert_array_equal(p.vertices, q.vertices)
