"""Rectangles, circles and the members every planar structure shares."""
import copy
import math

import numpy as np
import pytest

import tarnwhistle as tw

DB = 100000  # database units per micrometre


@pytest.fixture
def tolerance():
    """Lets a test change the tolerance; restores it afterwards."""
    old = tw.config.tolerance
    yield
    tw.config.tolerance = old


def point_count(radius, angle=2 * math.pi, tol=0.005):
    """Independent form of the curve point-count rule (radius and tolerance in µm)."""
    d = 1 - abs(tol / radius)
    step = math.pi if d < -1 else math.acos(d)
    return int(abs(angle) / 2 / step + 0.5)


def shapes():
    return {
        "rectangle": tw.Rectangle(center=(1.5, -0.25), size=(3, 1.2), rotation=30),
        "circle": tw.Circle((2, 1), center=(1, 2), inner_radius=0.5, sector=(10, 250), rotation=15),
        "polygon": tw.Polygon([(0, 0), (4, 0), (4, 3), (1, 5)], [[(1, 1), (2, 1), (2, 2)]]),
    }


SHAPE_NAMES = list(shapes())


# ---- Rectangle ---------------------------------------------------------------------------


class TestRectangleConstruction:
    @pytest.mark.parametrize("kwargs, center, size", [
        ({"corner1": (0, 0), "corner2": (2, 1)}, (1, 0.5), (2, 1)),
        ({"corner1": (2, 1), "corner2": (0, 0)}, (1, 0.5), (2, 1)),
        ({"corner1": (0, 0), "center": (1, 1)}, (1, 1), (2, 2)),
        ({"corner2": (3, 1), "center": (1, 1)}, (1, 1), (4, 0)),
        ({"corner1": (1, 1), "size": (2, 3)}, (2, 2.5), (2, 3)),
        ({"corner2": (1, 1), "size": (-2, 3)}, (0, -0.5), (2, 3)),
        ({"center": (5, 5), "size": (2, 4)}, (5, 5), (2, 4)),
        ({"center": 1 + 2j, "size": (1, 1)}, (1, 2), (1, 1)),
        ({"size": (2, 2)}, (0, 0), (2, 2)),
    ])
    def test_forms(self, kwargs, center, size):
        r = tw.Rectangle(**kwargs)
        assert r.center.tolist() == pytest.approx(center)
        assert r.size.tolist() == pytest.approx(size)

    def test_odd_size_puts_extra_unit_below_left(self):
        r = tw.Rectangle(center=(0, 0), size=(3 / DB, 1 / DB))
        assert r.center.tolist() == [0, 0]
        low, high = r.bounds()
        assert (low * DB).round().tolist() == [-2, -1]
        assert (high * DB).round().tolist() == [1, 0]

    @pytest.mark.parametrize("kwargs", [{}, {"center": (1, 1)}, {"rotation": 45}])
    def test_not_enough_arguments(self, kwargs):
        with pytest.raises(ValueError, match=r"^Not enough arguments for 'Rectangle': please "
                                             r"provide at least one corner or 'size'\.$"):
            tw.Rectangle(**kwargs)

    @pytest.mark.parametrize("value, error, message", [
        ([1, 2, 3], TypeError, "'center' must be a sequence of 2 numbers."),
        ("ab", TypeError, "'center' must be a sequence of 2 numbers."),
        ((1, "x"), RuntimeError, "Error parsing item 'center[1]'."),
    ])
    def test_bad_center(self, value, error, message):
        with pytest.raises(error) as info:
            tw.Rectangle(center=value, size=(1, 1))
        assert str(info.value) == message

    def test_attribute_writes(self):
        r = tw.Rectangle(size=(1, 1))
        r.center = (2, 3)
        r.size = (-4, 5)
        r.rotation = 10
        assert repr(r) == "Rectangle(center=(2, 3), size=(4, 5), rotation=10)"
        with pytest.raises(TypeError, match=r"^'rotation' must be a number\.$"):
            r.rotation = "x"
        with pytest.raises(TypeError, match=r"^'size' cannot be 'None'\.$"):
            r.size = None
        assert r.rotation == 10 and r.size.tolist() == [4, 5]

    def test_non_finite_rotation(self):
        message = r"^'rotation' must be a finite number\.$"
        with pytest.raises(ValueError, match=message):
            tw.Rectangle(size=(1, 1), rotation=math.nan)
        r = tw.Rectangle(size=(1, 1), rotation=5)
        with pytest.raises(ValueError, match=message):
            r.rotation = math.inf
        assert r.rotation == 5

    def test_text_forms(self):
        r = tw.Rectangle((0, 0), (2, 1))
        assert str(r) == "Rectangle at (1, 0.5)"
        assert repr(r) == "Rectangle(center=(1, 0.5), size=(2, 1), rotation=0)"


class TestRectangleGeometry:
    @pytest.mark.parametrize("rotation, extent", [(0, (2, 1)), (90, (1, 2)), (180, (2, 1)),
                                                  (-90, (1, 2)), (450, (1, 2))])
    def test_quarter_turn_bounds(self, rotation, extent):
        low, high = tw.Rectangle(center=(0, 0), size=(2, 1), rotation=rotation).bounds()
        assert (high - low).tolist() == pytest.approx(extent)

    def test_rotated_bounds_follow_polygon(self):
        r = tw.Rectangle(center=(0, 0), size=(2, 2), rotation=45)
        low, high = r.bounds()
        assert high.tolist() == pytest.approx([math.sqrt(2)] * 2, abs=1e-3)
        np.testing.assert_allclose(low, -high)

    @pytest.mark.parametrize("rotation, corners", [
        (0, [(2, 1), (0, 1), (0, 0), (2, 0)]),
        (90, [(0.5, 1.5), (1.5, 1.5), (1.5, -0.5), (0.5, -0.5)]),
    ])
    def test_polygon_corners(self, rotation, corners):
        p = tw.Rectangle((0, 0), (2, 1), rotation=rotation).to_polygon()
        assert isinstance(p, tw.Polygon)
        np.testing.assert_allclose(p.vertices, corners)

    def test_measures(self):
        r = tw.Rectangle((0, 0), (3, 2), rotation=33)
        assert r.area() == 6 and r.perimeter() == 10
        assert r.to_polygon().area() == pytest.approx(6, abs=0.01)  # corners snap to the grid

    @pytest.mark.parametrize("r1, r2, equal", [
        (0, 180, True), (0, 90, False), (0, -180, True), (10, 370, True), (10, 100, False), (45, 225, True),
    ])
    def test_equality_modulo_half_turn(self, r1, r2, equal):
        a = tw.Rectangle((0, 0), (2, 1), rotation=r1)
        b = tw.Rectangle((0, 0), (2, 1), rotation=r2)
        assert (a == b) is equal and (a != b) is not equal

    def test_ordering_is_not_supported(self):
        a, b = tw.Rectangle(size=(1, 1)), tw.Rectangle(size=(1, 1))
        with pytest.raises(TypeError):
            a < b  # noqa: B015
        assert a == b and a._id != b._id
        assert (a == 1) is False

    def test_transform_updates_rotation(self):
        r = tw.Rectangle(center=(1, 0), size=(2, 1), rotation=10)
        r.transform(rotation=90, x_reflection=True)
        assert r.center.tolist() == [0, 1] and r.rotation == 80
        r.transform(scaling=2)
        assert r.size.tolist() == [4, 2]


# ---- Circle ------------------------------------------------------------------------------


class TestCirclePolygon:
    @pytest.mark.parametrize("radius", [0.01, 0.5, 1, 10, 37.5, 200])
    def test_full_circle_point_count(self, radius):
        vertices = tw.Circle(radius).to_polygon().vertices
        assert len(vertices) == max(3, point_count(radius))

    def test_documented_count(self):
        assert point_count(10) == 99
        assert len(tw.Circle(10).to_polygon().vertices) == 99
        assert len(tw.Circle(10, min_evals=200).to_polygon().vertices) == 200

    def test_tolerance_changes_count(self, tolerance):
        tw.config.tolerance = 0.001
        assert len(tw.Circle(10).to_polygon().vertices) == point_count(10, tol=0.001)

    def test_ellipse_uses_larger_axis(self):
        c = tw.Circle((10, 2), rotation=30)
        p = c.to_polygon()
        assert len(p.vertices) == point_count(10)
        # Each vertex lies on the rotated ellipse (within grid rounding).
        a = math.radians(-30)
        x, y = p.vertices.T
        u, v = x * math.cos(a) - y * math.sin(a), x * math.sin(a) + y * math.cos(a)
        np.testing.assert_allclose((u / 10) ** 2 + (v / 2) ** 2, 1, atol=1e-3)

    @pytest.mark.parametrize("sector, inner", [((0, 90), 0), ((0, 90), 3), ((-45, 200), 2)])
    def test_sector_point_counts(self, sector, inner):
        c = tw.Circle(5, inner_radius=inner, sector=sector)
        span = math.radians(sector[1] - sector[0])
        expected = max(2, point_count(5, span))
        expected += max(2, point_count(inner, span)) if inner else 1
        assert len(c.to_polygon().vertices) == expected

    def test_ring_has_clockwise_hole(self):
        p = tw.Circle(5, inner_radius=3).to_polygon()
        assert len(p.holes) == 1 and len(p.holes[0]) == point_count(3)
        assert p.area() == pytest.approx(math.pi * 16, rel=1e-3)

    def test_vertices_on_grid_and_centered(self):
        p = tw.Circle(1.23456, center=(0.5, -2)).to_polygon()
        units = p.vertices * DB
        assert np.all(np.round(units) % 100 == 0)
        assert p.vertices[0].tolist() == pytest.approx([1.735, -2])

    def test_cache_follows_changes(self):
        c = tw.Circle(10)
        assert len(c.to_polygon().vertices) == 99
        c.radius = 20
        assert len(c.to_polygon().vertices) == point_count(20)
        c.min_evals = 500
        assert len(c.to_polygon().vertices) == 500
        c.center = (1, 1)
        assert c.to_polygon().vertices[0].tolist() == pytest.approx([21, 1])

    @pytest.mark.parametrize("kwargs, count", [
        ({"radius": 1, "min_evals": 2**31 - 1}, "2147483647"),
        ({"radius": (2, 1), "sector": (0, 90), "min_evals": 2**23 + 1}, "8388609"),
        ({"radius": 1e9}, r"\d+"),  # the finest tolerance asks for too many points
    ])
    def test_point_count_is_bounded(self, kwargs, count, fine_tolerance):
        c = tw.Circle(**kwargs)
        message = rf"^Curve discretization needs {count} points, more than the limit of 8388608\.$"
        calls = [c.to_polygon, c.bounds, lambda: c.x_min, lambda: setattr(c, "y_max", 0)]
        if "sector" in kwargs:
            calls += [c.area, c.perimeter]  # an elliptical sector measures its polygon
        for call in calls:
            with pytest.raises(RuntimeError, match=message):
                call()

    def test_against_peer_discretization(self):
        gdstk = pytest.importorskip("gdstk")
        ours = tw.Circle((3, 2), inner_radius=1, sector=(20, 160)).to_polygon()
        theirs = gdstk.ellipse((0, 0), (3, 2), 1, math.radians(20), math.radians(160), tolerance=0.005)
        assert abs(ours.area()) == pytest.approx(theirs.area(), rel=2e-3)


def direct_circle_vertices(radius, inner=(0, 0), center=(0, 0), sector=(0, 0), rotation=0,
                           min_evals=0, grid=100, tol=500):
    """The circle polygon straight from the point formulas, in database units: nearest() of
    each sine and cosine, placed, then snapped (halves towards plus infinity)."""
    def nearest(v):
        t = math.trunc(v)
        return t + (v - t >= 0.5) - (v - t <= -0.5)

    def snap(v):
        shifted = v + grid // 2 if v > 0 else v - grid // 2 + 1
        return int(math.copysign(abs(shifted) // grid, shifted)) * grid

    def count(angle, r, least):
        d = 1 - abs(tol / r)
        step = math.pi if d < -1 else math.acos(d)
        return max(least, min_evals, math.trunc(abs(angle) / 2 / step + 0.5))

    def parametric(polar, r):
        t = math.atan2(r[0] * math.sin(polar), r[1] * math.cos(polar))
        return t + 2 * math.pi * round((polar - t) / (2 * math.pi))

    def ellipse(r, direction):
        n = count(2 * math.pi, max(r), 3)
        return [(r[0], r[1], direction * 2 * math.pi * i / n) for i in range(n)]

    def arc(r, start, end):
        n = count(end - start, max(r), 2)
        t0, t1 = parametric(start, r), parametric(end, r)
        return [(r[0], r[1], t0 + (t1 - t0) * i / (n - 1)) for i in range(n)]

    c, s = math.cos(rotation * math.pi / 180), math.sin(rotation * math.pi / 180)

    def place(samples):
        ring = []
        for rx, ry, t in samples:
            x, y = nearest(rx * math.cos(t)), nearest(ry * math.sin(t))
            if rotation:
                x, y = nearest(c * x + -s * y + center[0]), nearest(s * x + c * y + center[1])
            else:
                x, y = x + center[0], y + center[1]
            ring.append((snap(x), snap(y)))
        return ring

    if sector[0] == sector[1]:
        holes = [place(ellipse(inner, -1))] if min(inner) >= 1 else []
        return place(ellipse(radius, 1)), holes
    start, end = (a * math.pi / 180 for a in sector)
    outline = arc(radius, start, end)
    outline += arc(inner, end, start) if min(inner) >= 1 else [(0, 0, 0.0)]
    return place(outline), []


class TestCircleDirectFormula:
    @pytest.mark.parametrize("kwargs", [
        {"radius": (4000000, 4000000)},
        {"radius": (5000000, 1300000), "inner": (2000000, 900000), "center": (-700, 12345)},
        {"radius": (33333333, 33333333), "min_evals": 20000},
        {"radius": (900000, 2500000), "sector": (-100, 250), "center": (50, 50)},
        {"radius": (2000000, 2000000), "inner": (1500000, 1500000), "sector": (30, 390)},
        {"radius": (1700000, 600000), "rotation": 33},
        {"radius": (7, 3)},
    ])
    def test_vertices_equal_the_direct_formula(self, kwargs):
        """The point recurrence must not change a single coordinate."""
        outer, holes = direct_circle_vertices(**kwargs)
        circle = tw.Circle(
            np.array(kwargs["radius"]) / DB, np.array(kwargs.get("center", (0, 0))) / DB,
            np.array(kwargs.get("inner", (0, 0))) / DB, kwargs.get("sector", (0, 0)),
            kwargs.get("rotation", 0), kwargs.get("min_evals", 0))
        polygon = circle.to_polygon()
        assert np.round(polygon.vertices * DB).astype(np.int64).tolist() == [list(p) for p in outer]
        assert [np.round(h * DB).astype(np.int64).tolist() for h in polygon.holes] == \
            [[list(p) for p in h] for h in holes]


class TestCircleMeasures:
    @pytest.mark.parametrize("kwargs, area", [
        ({"radius": 5}, 25 * math.pi),
        ({"radius": 5, "inner_radius": 3}, 16 * math.pi),
        ({"radius": 5, "inner_radius": 3, "sector": (0, 90)}, 16 * math.pi / 4),
        ({"radius": (4, 2)}, 8 * math.pi),
        ({"radius": (4, 2), "inner_radius": (2, 1)}, 6 * math.pi),
        ({"radius": 5, "sector": (30, -60)}, 25 * math.pi / 4),
    ])
    def test_area_closed_form(self, kwargs, area):
        assert tw.Circle(**kwargs).area() == pytest.approx(area, rel=1e-9)

    def test_area_of_largest_radius(self):
        assert tw.Circle(1e9).area() == pytest.approx(math.pi * 1e18)

    def test_elliptical_sector_area_is_polygonal(self):
        c = tw.Circle((4, 2), sector=(0, 90))
        assert c.area() == pytest.approx(c.to_polygon().area(), rel=1e-12)
        assert c.area() == pytest.approx(2 * math.pi, rel=3e-3)

    @pytest.mark.parametrize("kwargs, perimeter", [
        ({"radius": 5}, 10 * math.pi),
        ({"radius": 5, "inner_radius": 3}, 16 * math.pi),
        ({"radius": 5, "inner_radius": 3, "sector": (0, 90)}, 4 * math.pi + 4),
        ({"radius": 5, "sector": (0, 180)}, 5 * math.pi + 10),
    ])
    def test_perimeter_closed_form(self, kwargs, perimeter):
        assert tw.Circle(**kwargs).perimeter() == pytest.approx(perimeter, abs=1e-5)

    def test_ellipse_perimeter(self):
        a, b = 4, 2
        h = ((a - b) / (a + b)) ** 2
        ramanujan = math.pi * (a + b) * (1 + 3 * h / (10 + math.sqrt(4 - 3 * h)))
        assert tw.Circle((a, b)).perimeter() == pytest.approx(ramanujan, rel=1e-3)

    def test_bounds(self):
        # Bounds of the polygon form: within the tolerance of the exact ones.
        low, high = tw.Circle(1, center=(2, 3)).bounds()
        np.testing.assert_allclose(low, [1, 2], atol=0.005)
        np.testing.assert_allclose(high, [3, 4], atol=0.005)


class TestCircleArguments:
    @pytest.mark.parametrize("kwargs", [
        {"radius": 2, "inner_radius": 2},
        {"radius": 0},
        {"radius": (2, 1), "inner_radius": (1, 1)},
        {"radius": -1},
    ])
    def test_inner_radius_not_smaller(self, kwargs):
        with pytest.raises(ValueError, match=r"^Inner radius larger or equal to outer radius\.$"):
            tw.Circle(**kwargs)

    @pytest.mark.parametrize("kwargs, message", [
        ({"radius": 1e20}, "'radius' is out of range."),
        ({"radius": math.nan}, "'radius' is out of range."),
        ({"radius": (1, math.inf)}, "'radius' is out of range."),
        ({"radius": 2, "inner_radius": math.nan}, "'inner_radius' is out of range."),
        ({"radius": 2, "sector": (0, math.inf)}, "'sector' must be a finite number."),
        ({"radius": 2, "rotation": math.nan}, "'rotation' must be a finite number."),
    ])
    def test_unusable_values(self, kwargs, message):
        with pytest.raises(ValueError) as info:
            tw.Circle(**kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize("attribute, value, error", [
        ("radius", 1e20, ValueError),
        ("inner_radius", -math.inf, ValueError),
        ("sector", (math.nan, 0), ValueError),
        ("rotation", math.inf, ValueError),
        ("inner_radius", None, TypeError),  # deletion, not removal of the hole
    ])
    def test_unusable_writes_keep_value(self, attribute, value, error):
        c = tw.Circle(2, inner_radius=1, sector=(0, 90), rotation=10)
        before = repr(c)
        with pytest.raises(error):
            if value is None:
                delattr(c, attribute)
            else:
                setattr(c, attribute, value)
        assert repr(c) == before

    def test_min_evals_accepts_integer_objects(self):
        c = tw.Circle(1)
        c.min_evals = np.int64(7)
        assert c.min_evals == 7
        with pytest.raises(TypeError, match=r"^'min_evals' must be an integer\.$"):
            c.min_evals = 7.0

    def test_attributes(self):
        c = tw.Circle(2, sector=(90, 0), min_evals=-5)
        assert c.radius.tolist() == [2, 2] and c.inner_radius.tolist() == [0, 0]
        assert c.sector.tolist() == [0, 90] and c.min_evals == 0
        c.sector = (-10, -30)
        assert c.sector.tolist() == [-30, -10]
        c.inner_radius = (1, 0.5)
        c.rotation = 15
        assert repr(c) == ("Circle(radius=(2, 2), inner_radius=(1, 0.5), center=(0, 0), "
                           "sector=(-30, -10), rotation=15, min_evals=0)")
        assert str(c) == "Circle at (0, 0)"

    @pytest.mark.parametrize("attribute, value", [("radius", 1), ("inner_radius", 3)])
    def test_invalid_write_keeps_value(self, attribute, value):
        c = tw.Circle(2, inner_radius=1)
        with pytest.raises(ValueError, match="Inner radius larger"):
            setattr(c, attribute, value)
        assert c.radius.tolist() == [2, 2] and c.inner_radius.tolist() == [1, 1]

    @pytest.mark.parametrize("value, error, message", [
        (None, TypeError, "'radius' cannot be 'None'."),
        ("ab", TypeError, "'radius' must be a sequence of 2 numbers."),
        ((1, "x"), RuntimeError, "Error parsing item 'radius[1]'."),
    ])
    def test_bad_radius(self, value, error, message):
        with pytest.raises(error) as info:
            tw.Circle(value)
        assert str(info.value) == message

    def test_transform_mirrors_sector(self):
        c = tw.Circle(2, center=(1, 0), sector=(10, 30), rotation=5)
        c.transform(x_reflection=True, rotation=90)
        assert c.center.tolist() == [0, 1]
        assert c.sector.tolist() == [-30, -10] and c.rotation == 85
        c.scale(-2)
        assert c.radius.tolist() == [4, 4] and c.sector.tolist() == [10, 30]


# ---- Shared structure members ------------------------------------------------------------


class TestStructureMembers:
    @pytest.mark.parametrize("name", SHAPE_NAMES)
    @pytest.mark.parametrize("attribute, axis", [("x_min", 0), ("y_min", 1), ("x_max", 0),
                                                 ("y_max", 1), ("x_mid", 0), ("y_mid", 1)])
    def test_bound_writes_translate(self, name, attribute, axis):
        shape = shapes()[name]
        low, high = shape.bounds()
        before = getattr(shape, attribute)
        setattr(shape, attribute, before + 1.25)
        assert getattr(shape, attribute) == pytest.approx(before + 1.25, abs=1e-5)
        new_low, new_high = shape.bounds()
        shift = np.zeros(2)
        shift[axis] = 1.25
        np.testing.assert_allclose(new_low, low + shift, atol=1e-5)
        np.testing.assert_allclose(new_high, high + shift, atol=1e-5)

    @pytest.mark.parametrize("attribute", ["x_min", "y_max", "x_mid"])
    def test_bound_write_needs_number(self, attribute):
        with pytest.raises(TypeError, match=rf"^'{attribute}' must be a number\.$"):
            setattr(shapes()["polygon"], attribute, "a")

    @pytest.mark.parametrize("name", SHAPE_NAMES)
    @pytest.mark.parametrize("value", [1e300, math.nan, -math.inf])
    def test_bound_write_out_of_range(self, name, value):
        shape = shapes()[name]
        before = shape.bounds()
        with pytest.raises(ValueError, match=r"^'y_mid' is out of range\.$"):
            shape.y_mid = value
        np.testing.assert_array_equal(shape.bounds(), before)

    def test_rectangle_mid_is_center(self):
        r = tw.Rectangle(center=(0, 0), size=(3e-5, 1e-5))
        assert (r.x_mid, r.y_mid) == (0, 0)
        assert (r.x_min + r.x_max) / 2 != 0

    @pytest.mark.parametrize("name", SHAPE_NAMES)
    def test_copies_are_independent(self, name):
        shape = shapes()[name]
        shape.properties.tag = "x"
        for other in (shape.copy(), copy.copy(shape), copy.deepcopy(shape)):
            assert type(other) is type(shape) and other == shape
            assert other._id != shape._id
            assert other.properties.tag == b"x"
            other.translate((1, 0))
            assert other != shape
        with pytest.raises(TypeError, match=r"^Deepcopy memo must be a dictionary\.$"):
            shape.__deepcopy__([])

    @pytest.mark.parametrize("name", SHAPE_NAMES)
    def test_methods_return_self(self, name):
        shape = shapes()[name]
        for result in (shape.transform(), shape.translate((0, 0)), shape.rotate(0),
                       shape.scale(1), shape.add_gds_property(3, "v")):
            assert result is shape
        assert shape.properties.S_GDS_PROPERTY == (3, b"v")

    @pytest.mark.parametrize("name", SHAPE_NAMES)
    def test_to_polygon_matches_measures(self, name):
        shape = shapes()[name]
        polygon = shape.to_polygon()
        assert polygon is not shape and isinstance(polygon, tw.Polygon)
        assert polygon.area() == pytest.approx(shape.area(), rel=2e-3)
        np.testing.assert_allclose(polygon.bounds(), shape.bounds(), atol=1e-3)

    def test_polygon_identity_is_kept(self):
        r = tw.Rectangle(size=(1, 1))
        assert r.properties is r.properties


class TestTransforms:
    @pytest.mark.parametrize("name", SHAPE_NAMES)
    @pytest.mark.parametrize("angle", [90, -90, 180, 270, 450])
    def test_quarter_turns_are_exact(self, name, angle):
        shape = shapes()[name]
        original = shape.copy()
        for _ in range(4):
            shape.rotate(angle, center=(0.12345, -7.00001))
        assert shape.to_polygon() == original.to_polygon()

    @pytest.mark.parametrize("name", SHAPE_NAMES)
    @pytest.mark.parametrize("endpoint, origin", [((1, 0), (0, 0)), ((0, 5), (0, 0)),
                                                  ((3, 1), (1, 1)), ((2.5, 3), (1, 1))])
    def test_mirror_twice_is_identity(self, name, endpoint, origin):
        shape = shapes()[name]
        before = shape.to_polygon().vertices
        shape.mirror(endpoint, origin).mirror(endpoint, origin)
        np.testing.assert_allclose(shape.to_polygon().vertices, before, atol=1e-4)

    @pytest.mark.parametrize("endpoint, origin", [((1, 1), (0, 0)), ((1, 3), (1, 1)),
                                                  ((3, 0.5), (-1, 2))])
    def test_mirror_matches_reflection(self, endpoint, origin):
        vertices = np.array([(0, 0), (4, 0), (4, 3), (1, 5)], dtype=float)
        p = tw.Polygon(vertices).mirror(endpoint, origin)
        d = np.subtract(endpoint, origin) / np.linalg.norm(np.subtract(endpoint, origin))
        rel = vertices - origin
        expected = origin + 2 * np.outer(rel @ d, d) - rel
        # A reflection stores the rings in reverse order.
        np.testing.assert_allclose(p.vertices, expected[::-1], atol=2e-5)

    def test_axis_mirror_is_exact(self):
        # Off-grid points (translation does not snap) stay exact across an axis-parallel line.
        p = tw.Polygon([(0, 0), (3, 0), (1, 2)]).translate((0.00001, 0.00003))
        p.mirror((1.5, 1), (1.5, 0))
        assert (p.vertices * DB).round().tolist() == [[199999, 200003], [-1, 3], [299999, 3]]

    def test_order_scale_mirror_rotate_translate(self):
        vertices = np.array([(1, 0), (3, 0), (2, 1.5)])
        p = tw.Polygon(vertices).transform((1, -2), 90, 2, True)
        x, y = vertices.T * 2
        expected = np.column_stack([y, x]) + (1, -2)  # (x, -y) turned a quarter: (y, x)
        np.testing.assert_allclose(p.vertices, expected[::-1])

    def test_general_rotation_rounds_each_coordinate(self):
        vertices = np.array([(1.234, 0.5), (3.1, 0.2), (2, 1.5)])
        p = tw.Polygon(vertices).rotate(30)
        a = math.radians(30)
        units = np.round(vertices * DB)
        x = units[:, 0] * math.cos(a) - units[:, 1] * math.sin(a)
        y = units[:, 0] * math.sin(a) + units[:, 1] * math.cos(a)
        expected = np.column_stack([np.floor(x + 0.5), np.floor(y + 0.5)]) / DB
        np.testing.assert_array_equal(p.vertices, expected)

    @pytest.mark.parametrize("name", SHAPE_NAMES)
    @pytest.mark.parametrize("call, message", [
        (lambda s: s.transform(rotation=math.nan), "'rotation' must be a finite number."),
        (lambda s: s.transform(scaling=math.inf), "'scaling' must be a finite number."),
        (lambda s: s.rotate(-math.inf), "'rotation' must be a finite number."),
        (lambda s: s.scale(math.nan, center=(1, 1)), "'scaling' must be a finite number."),
    ])
    def test_non_finite_arguments(self, name, call, message):
        shape = shapes()[name]
        before = shape.copy()
        with pytest.raises(ValueError) as info:
            call(shape)
        assert str(info.value) == message and shape == before

    def test_scale_about_center(self):
        r = tw.Rectangle(center=(2, 2), size=(1, 1)).scale(3, center=(1, 1))
        assert r.center.tolist() == [4, 4] and r.size.tolist() == [3, 3]

    @pytest.mark.parametrize("bad, message", [
        ({"translation": (1, 2, 3)}, "'translation' must be a sequence of 2 numbers."),
        ({"rotation": "a"}, None),
    ])
    def test_bad_transform_arguments(self, bad, message):
        r = tw.Rectangle(size=(1, 1))
        with pytest.raises(TypeError) as info:
            r.transform(**bad)
        if message:
            assert str(info.value) == message
        assert r == tw.Rectangle(size=(1, 1))
