"""Polygons: normalisation, validity, exact measures, remove_collinear and fillet."""
import math
import warnings

import numpy as np
import pytest

import tarnwhistle as tw

SQUARE = [(0, 0), (10, 0), (10, 10), (0, 10)]
INVALID_CREATED = ("Created polygon is invalid. Make sure the exterior boundary and holes are "
                   "non-degenerate and that all holes are inside the exterior boundary.")
INVALID_WRITE = ("Polygon is invalid. Make sure the exterior boundary and holes are "
                 "non-degenerate and that all holes are inside the exterior boundary.")
FILLET_WARNING = "Fillet radius invalidated polygon holes; polygon unchanged."


def shoelace(points):
    x, y = np.asarray(points, dtype=float).T
    return 0.5 * float(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1)))


def star(n=7, r1=5.0, r2=2.0):
    angles = np.arange(2 * n) * math.pi / n
    radii = np.where(np.arange(2 * n) % 2 == 0, r1, r2)
    return np.round(np.column_stack([radii * np.cos(angles), radii * np.sin(angles)]), 3)


class TestNormalisation:
    @pytest.mark.parametrize("vertices, expected", [
        (SQUARE + [(0, 0)], SQUARE),
        ([(0, 0), (0, 0), (10, 0), (10, 10), (10, 10), (0, 10)], SQUARE),
        ([(0, 0), (0.0004, 0), (10, 0), (10, 10), (0, 10)], SQUARE),
        ([(0.0015, -0.0015), (1, 0), (1, 1)], [(0.002, -0.001), (1, 0), (1, 1)]),
    ])
    def test_snapped_and_deduplicated(self, vertices, expected):
        np.testing.assert_allclose(tw.Polygon(vertices).vertices, expected)

    def test_snapping_matches_snap_to_grid(self):
        rng = np.random.default_rng(3)
        noise = rng.uniform(-0.01, 0.01, (150, 2)).round(5)
        noise[:3] = [(0.0005, -0.0005), (-0.0015, 0.0015), (0.00049, -0.00051)]
        base = np.column_stack([np.arange(150) - 75.0, np.zeros(150)])
        vertices = np.vstack([base + noise, [(0, 100)]])
        np.testing.assert_array_equal(tw.Polygon(vertices).vertices, tw.snap_to_grid(vertices))

    def test_hole_runs_against_exterior(self):
        hole = [(2, 2), (4, 2), (4, 4), (2, 4)]
        for exterior in (SQUARE, SQUARE[::-1]):
            p = tw.Polygon(exterior, [hole])
            assert np.sign(shoelace(p.holes[0])) == -np.sign(shoelace(p.vertices))

    @pytest.mark.parametrize("convert", [
        lambda a: a.astype(np.float32), lambda a: np.round(a).astype(np.int64),
        lambda a: np.asfortranarray(a), lambda a: np.repeat(a, 2, axis=0)[::2],
        lambda a: a.astype(">f8"), lambda a: a.astype(np.longdouble),
    ], ids=["float32", "int64", "fortran", "strided", "big-endian", "longdouble"])
    def test_arrays_read_as_their_items(self, convert):
        array = convert(np.array(star(9, 8.123456, 3.000004)))
        from_items = tw.Polygon([tuple(point) for point in array])
        np.testing.assert_array_equal(tw.Polygon(array).vertices, from_items.vertices)

    @pytest.mark.parametrize("bad", [np.nan, np.inf, 1e20, -1.0000001e9])
    def test_array_with_unusable_value(self, bad):
        array = np.array([(0, 0), (1, bad), (1, 1)])
        for vertices in (array, array.tolist()):
            with pytest.raises(ValueError, match=r"^'vertices\[1\]' is out of range\.$"):
                tw.Polygon(vertices)

    def test_array_input_and_output(self):
        p = tw.Polygon(np.array(SQUARE, dtype=float), holes=[np.array([(1, 1), (2, 1), (2, 2)])])
        assert p.vertices.shape == (4, 2) and p.vertices.dtype == np.float64
        assert isinstance(p.holes, list) and p.holes[0].shape == (3, 2)


class TestValidity:
    @pytest.mark.parametrize("vertices, holes", [
        ([(0, 0), (1, 1), (2, 2)], None),
        ([(0, 0), (1, 0)], None),
        ([(0, 0), (0.0001, 0), (0, 0.0001)], None),  # collapses on the grid
        (SQUARE, [[(20, 20), (21, 20), (21, 21)]]),
        (SQUARE, [[(5, 5), (15, 5), (15, 6)]]),
        (SQUARE, [[(1, 1), (2, 2), (3, 3)]]),
        ([(0, 0), (10, 0), (10, 10), (5, 2), (0, 10)], [[(4, 4), (6, 4), (6, 6), (4, 6)]]),
    ])
    def test_invalid_construction(self, vertices, holes):
        with pytest.raises(RuntimeError) as info:
            tw.Polygon(vertices, holes)
        assert str(info.value) == INVALID_CREATED

    def test_invalid_construction_is_installed(self):
        p = tw.Polygon(SQUARE)
        with pytest.raises(RuntimeError, match="^Created polygon is invalid"):
            p.__init__([(0, 0), (1, 1), (2, 2)])
        np.testing.assert_array_equal(p.vertices, [(0, 0), (1, 1), (2, 2)])

    @pytest.mark.parametrize("holes", [
        [[(0, 0), (2, 0), (2, 2)]],            # touches the exterior at a corner and edge
        [[(1, 1), (3, 1), (3, 3)], [(5, 5), (7, 5), (7, 7)]],
    ])
    def test_valid_holes(self, holes):
        assert len(tw.Polygon(SQUARE, holes).holes) == len(holes)

    @pytest.mark.parametrize("hole, valid", [
        (lambda ring: ring * 0.5, True),
        (lambda ring: ring[::7] * 0.999, True),                          # corners near the edges
        (lambda ring: np.vstack([ring[:1], ring[1:40] * 0.9]), True),    # shares a vertex
        (lambda ring: np.vstack([ring[:1] * 1.01, ring[1:40] * 0.9]), False),
        (lambda ring: ring[::-50] * 0.5 + (8, 0), False),                # pokes through the side
        (lambda ring: ring[::50] * 0.2 + (30, 0), False),                # wholly outside
    ], ids=["concentric", "near-edges", "shared-vertex", "one-vertex-out", "crossing", "outside"])
    def test_holes_of_many_edge_rings(self, hole, valid):
        angles = np.arange(700) * 2 * math.pi / 700
        ring = np.round(10 * np.column_stack([np.cos(angles), np.sin(angles)]), 3)
        if valid:
            assert len(tw.Polygon(ring, [hole(ring)]).holes) == 1
        else:
            with pytest.raises(RuntimeError, match="^Created polygon is invalid"):
                tw.Polygon(ring, [hole(ring)])

    @pytest.mark.parametrize("attribute, value", [
        ("vertices", [(0, 0), (1, 0), (2, 0)]),
        ("vertices", [(0, 0), (3, 0), (3, 3), (0, 3)]),  # hole no longer inside
        ("holes", [[(20, 20), (21, 20), (21, 21)]]),
    ])
    def test_invalid_write_keeps_polygon(self, attribute, value):
        p = tw.Polygon(SQUARE, [[(4, 4), (6, 4), (6, 6)]])
        before = (p.vertices.copy(), [h.copy() for h in p.holes])
        with pytest.raises(RuntimeError) as info:
            setattr(p, attribute, value)
        assert str(info.value) == INVALID_WRITE
        np.testing.assert_array_equal(p.vertices, before[0])
        np.testing.assert_array_equal(p.holes[0], before[1][0])

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"vertices": 5}, TypeError, "'vertices' must be a sequence type object."),
        ({"vertices": [(0, 0), 5, (1, 1)]}, RuntimeError, "Error parsing item 'vertices[1]'."),
        ({"vertices": SQUARE, "holes": 5}, TypeError, "'holes' must be a sequence type object."),
        ({"vertices": SQUARE, "holes": [[(1, 1)], 5]}, RuntimeError, "Error parsing item 'holes[1]'."),
    ])
    def test_argument_errors(self, kwargs, error, message):
        with pytest.raises(error) as info:
            tw.Polygon(**kwargs)
        assert str(info.value) == message

    def test_holes_cannot_be_deleted(self):
        p = tw.Polygon(SQUARE, [[(4, 4), (6, 4), (6, 6)]])
        with pytest.raises(TypeError, match=r"^'holes' cannot be deleted\.$"):
            del p.holes
        assert len(p.holes) == 1

    def test_writes_renormalise(self):
        p = tw.Polygon(SQUARE)
        p.vertices = [(0, 0), (5.0004, 0), (5, 5), (0, 0)]
        np.testing.assert_allclose(p.vertices, [(0, 0), (5, 0), (5, 5)])
        p.holes = [[(1, 0.5), (4, 0.5), (4, 3)]]
        assert p.area() == pytest.approx(12.5 - 3.75)


class TestMeasures:
    @pytest.mark.parametrize("vertices, holes", [
        (SQUARE, []),
        (SQUARE[::-1], []),
        (SQUARE, [[(2, 2), (4, 2), (4, 4), (2, 4)], [(6, 6), (8, 6), (7, 8)]]),
        (star(), []),
    ])
    def test_area_sign_and_value(self, vertices, holes):
        p = tw.Polygon(vertices, holes)
        exterior = shoelace(vertices)
        expected = exterior - math.copysign(sum(abs(shoelace(h)) for h in holes), exterior)
        assert p.area() == pytest.approx(expected, rel=1e-12)

    def test_area_is_exact_beyond_64_bits(self):
        side = 1e6  # 1e11 database units: the doubled area needs more than 64 bits
        p = tw.Polygon([(0, 0), (side, 0), (side, side), (0, side)])
        assert p.area() == side * side
        p.translate((side, -side))
        assert p.area() == side * side

    def test_perimeter_counts_holes(self):
        p = tw.Polygon(SQUARE, [[(2, 2), (5, 2), (2, 6)]])
        assert p.perimeter() == pytest.approx(40 + 12)

    def test_bounds_of_exterior(self):
        low, high = tw.Polygon(star()).bounds()
        np.testing.assert_allclose(low, star().min(axis=0))
        np.testing.assert_allclose(high, star().max(axis=0))

    def test_against_shapely(self):
        shapely = pytest.importorskip("shapely")
        rng = np.random.default_rng(7)
        for _ in range(5):
            angles = np.sort(rng.uniform(0, 2 * math.pi, 30))
            radii = rng.uniform(3, 10, 30)
            vertices = np.round(np.column_stack([radii * np.cos(angles), radii * np.sin(angles)]), 3)
            hole = [(-1, -1), (1, -1), (1, 1), (-1, 1)]
            ours = tw.Polygon(vertices, [hole])
            theirs = shapely.Polygon(vertices, [hole])
            assert ours.area() == pytest.approx(theirs.area, rel=1e-12)
            assert ours.perimeter() == pytest.approx(theirs.length, abs=1e-5)

    def test_against_gdstk(self):
        gdstk = pytest.importorskip("gdstk")
        ours = tw.Polygon(star(11, 7, 3))
        theirs = gdstk.Polygon(star(11, 7, 3))
        assert ours.area() == pytest.approx(theirs.area(), rel=1e-12)
        assert ours.perimeter() == pytest.approx(theirs.perimeter(), abs=1e-5)


class TestEditing:
    @pytest.mark.parametrize("vertices, expected", [
        ([(0, 0), (5, 0), (10, 0), (10, 10), (0, 10)], SQUARE),
        ([(5, 0), (10, 0), (10, 10), (0, 10), (0, 0)], [(10, 0), (10, 10), (0, 10), (0, 0)]),
        ([(0, 0), (3, 0), (6, 0), (10, 0), (10, 10), (0, 10), (0, 5)], SQUARE),
        ([(0, 0), (10, 0), (5, 5)], [(0, 0), (10, 0), (5, 5)]),
    ])
    def test_remove_collinear(self, vertices, expected):
        p = tw.Polygon(vertices)
        assert p.remove_collinear() is p
        np.testing.assert_allclose(p.vertices, expected)

    def test_remove_collinear_in_holes(self):
        p = tw.Polygon(SQUARE, [[(2, 2), (3, 2), (4, 2), (4, 4), (2, 4)]]).remove_collinear()
        assert len(p.holes[0]) == 4 and p.area() == pytest.approx(96)

    def test_fillet_square(self):
        p = tw.Polygon(SQUARE)
        assert p.fillet(2) is p
        arc = max(2, int(math.pi / 2 / 2 / math.acos(1 - 0.005 / 2) + 0.5))
        assert len(p.vertices) == 4 * arc
        # Every vertex near a corner lies on its quarter circle of radius 2.
        centers = np.array([(2, 2), (8, 2), (8, 8), (2, 8)])
        distance = np.min(np.linalg.norm(p.vertices[:, None, :] - centers[None], axis=2), axis=1)
        np.testing.assert_allclose(distance, 2, atol=1e-3)
        assert p.area() == pytest.approx(100 - (4 - math.pi) * 4, rel=1e-3)

    def test_fillet_radius_limited_to_half_edges(self):
        p = tw.Polygon(SQUARE).fillet(20)
        for midpoint in [(5, 0), (10, 5), (5, 10), (0, 5)]:
            assert np.any(np.all(np.isclose(p.vertices, midpoint), axis=1))
        assert len(np.unique(p.vertices, axis=0)) == len(p.vertices)
        # Four quarter arcs sharing their end points: an inscribed regular polygon.
        sides = 4 * (int(math.pi / 4 / math.acos(1 - 0.005 / 5) + 0.5) - 1)
        assert len(p.vertices) == sides
        assert p.area() == pytest.approx(sides / 2 * 25 * math.sin(2 * math.pi / sides), rel=1e-4)

    def test_fillet_keeps_short_edges_and_straight_vertices(self):
        p = tw.Polygon([(0, 0), (0.008, 0), (5, 0), (5, 5)]).fillet(1)
        assert p.vertices[0].tolist() == [0, 0] and p.vertices[1].tolist() == [0.008, 0]

    def test_fillet_that_breaks_holes_warns(self):
        p = tw.Polygon(SQUARE, [[(0.5, 0.5), (1.5, 0.5), (1.5, 1.5), (0.5, 1.5)]])
        before = p.vertices.copy()
        with pytest.warns(RuntimeWarning) as record:
            p.fillet(5)
        assert [str(w.message) for w in record] == [FILLET_WARNING]
        np.testing.assert_array_equal(p.vertices, before)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning, match="invalidated polygon holes"):
                p.fillet(5)

    @pytest.mark.parametrize("radius", [1e20, math.nan, -math.inf])
    def test_fillet_radius_out_of_range(self, radius):
        p = tw.Polygon(SQUARE)
        with pytest.raises(ValueError, match=r"^'radius' is out of range\.$"):
            p.fillet(radius)
        np.testing.assert_array_equal(p.vertices, SQUARE)

    def test_fillet_point_count_is_bounded(self, fine_tolerance):
        side = 1e9  # four quarter arcs of radius side / 2 need over 2**23 points
        square = [(0, 0), (side, 0), (side, side), (0, side)]
        p = tw.Polygon(square)
        with pytest.raises(RuntimeError, match=r"^Curve discretization needs \d+ points, more "
                                               r"than the limit of 8388608\.$"):
            p.fillet(side)
        np.testing.assert_array_equal(p.vertices, square)

    def test_fillet_against_gdstk(self):
        gdstk = pytest.importorskip("gdstk")
        vertices = [(0, 0), (10, 0), (12, 6), (4, 9)]
        ours = tw.Polygon(vertices).fillet(1.5)
        theirs = gdstk.Polygon(vertices).fillet(1.5, tolerance=0.005)
        assert ours.area() == pytest.approx(theirs.area(), rel=1e-3)


class TestTransformsAndForms:
    @pytest.mark.parametrize("scaling, x_reflection, reversed_", [
        (1, False, False), (-1, False, True), (-1, True, False), (2, True, True),
    ])
    def test_vertex_order(self, scaling, x_reflection, reversed_):
        p = tw.Polygon([(1, 0), (3, 0), (2, 2)])
        p.transform(scaling=scaling, x_reflection=x_reflection)
        x, y = np.array([(1, 0), (3, 0), (2, 2)], dtype=float).T * scaling
        expected = np.column_stack([x, -y if x_reflection else y])
        np.testing.assert_allclose(p.vertices, expected[::-1] if reversed_ else expected)

    def test_transform_clears_cached_area(self):
        p = tw.Polygon(SQUARE)
        assert p.area() == 100
        p.scale(2)
        assert p.area() == 400 and p.perimeter() == 80

    def test_text_forms(self):
        p = tw.Polygon([(0, 0), (1, 0), (1, 1.5)], [])
        assert str(p) == "Polygon with 3 vertices and 0 holes"
        assert repr(p) == "Polygon(vertices=[(0, 0), (1, 0), (1, 1.5)], holes=[])"
        q = tw.Polygon(SQUARE, [[(1, 1), (2, 1), (2, 2)]])
        assert repr(q).endswith("holes=[[(2, 2), (2, 1), (1, 1)]])")

    def test_equality(self):
        assert tw.Polygon(SQUARE) == tw.Polygon(SQUARE + [(0, 0)])
        assert tw.Polygon(SQUARE) != tw.Polygon(SQUARE[1:] + SQUARE[:1])
        assert tw.Polygon(SQUARE) != tw.Rectangle((0, 0), (10, 10))

    def test_to_polygon_is_a_new_equal_polygon(self):
        p = tw.Polygon(SQUARE)
        q = p.to_polygon()
        assert q is not p and q == p and q._id != p._id
