import random

import numpy as np
import pytest

import tarnwhistle as tw

OPERATIONS = ["+", "*", "-", "^"]


def total_area(polygons):
    return sum(p.area() for p in polygons)


def ring():
    return tw.Circle(5, inner_radius=3)


def cross():
    return [tw.Rectangle(center=(0, 0), size=(11, 2)), tw.Rectangle(center=(0, 0), size=(2, 11))]


def square(x, y, size=2):
    return tw.Rectangle(center=(x, y), size=(size, size))


def random_shapes(seed, count=12):
    rng = random.Random(seed)
    shapes = []
    for _ in range(count):
        x, y = rng.uniform(-10, 10), rng.uniform(-10, 10)
        if rng.random() < 0.5:
            shapes.append(tw.Rectangle(center=(x, y), size=(rng.uniform(0.5, 6), rng.uniform(0.5, 6)),
                                       rotation=rng.choice([0, 30, 90])))
        else:
            shapes.append(tw.Circle(rng.uniform(0.5, 4), center=(x, y)))
    return shapes


def shapely_polygon(structure):
    shapely = pytest.importorskip("shapely")
    polygon = structure.to_polygon()
    return shapely.Polygon(polygon.vertices, polygon.holes)


def as_shapely(structures):
    shapely = pytest.importorskip("shapely")
    return shapely.union_all([shapely_polygon(s) for s in structures])


def bounds(polygons):
    lows, highs = zip(*(p.bounds() for p in polygons))
    return np.min(lows, axis=0), np.max(highs, axis=0)


class TestBoolean:
    def test_ring_and_cross(self):
        assert len(tw.boolean(ring(), cross(), "+")) == 1
        pieces = tw.boolean(ring(), cross(), "-")
        assert len(pieces) == 4
        assert all(isinstance(p, tw.Polygon) for p in pieces)

    def test_hole_is_kept_separate(self):
        (result,) = tw.boolean(tw.Rectangle(center=(0, 0), size=(10, 10)),
                               tw.Rectangle(center=(0, 0), size=(4, 4)), "-")
        assert len(result.holes) == 1 and len(result.vertices) == 4
        assert result.area() == pytest.approx(84)

    def test_hole_orientation_does_not_matter(self):
        outer = [(-5, -5), (5, -5), (5, 5), (-5, 5)]
        hole = [(-3, -3), (3, -3), (3, 3), (-3, 3)]
        for holes in ([hole], [hole[::-1]]):
            assert total_area(tw.boolean(tw.Polygon(outer, holes), [], "+")) == pytest.approx(64)

    def test_operand_polygons_are_united_first(self):
        a = [square(0, 0), square(1, 0)]  # overlapping: 6 µm² together, not 8
        assert total_area(tw.boolean(a, [], "+")) == pytest.approx(6)
        assert total_area(tw.boolean(a, square(0.5, 0), "-")) == pytest.approx(2)

    @pytest.mark.parametrize("operand", [
        lambda: square(0, 0),
        lambda: [square(0, 0)],
        lambda: (square(0, 0),),
        lambda: (s for s in [square(0, 0)]),
        lambda: [tw.Polygon([(-1, -1), (1, -1), (1, 1), (-1, 1)])],
        lambda: tw.Path((-1, 0), 2).segment((1, 0)),
    ])
    def test_operand_forms(self, operand):
        assert total_area(tw.boolean(operand(), square(1, 0), "*")) == pytest.approx(2)

    @pytest.mark.parametrize("seed", range(4))
    @pytest.mark.parametrize("operation, method", [
        ("+", "union"), ("*", "intersection"), ("-", "difference"), ("^", "symmetric_difference")])
    def test_area_matches_shapely(self, seed, operation, method):
        a, b = random_shapes(seed), random_shapes(seed + 100)
        expected = getattr(as_shapely(a), method)(as_shapely(b)).area
        assert total_area(tw.boolean(a, b, operation)) == pytest.approx(expected, rel=1e-6, abs=1e-6)

    @pytest.mark.parametrize("operation, gdstk_operation", [
        ("+", "or"), ("*", "and"), ("-", "not"), ("^", "xor")])
    def test_area_matches_gdstk(self, operation, gdstk_operation):
        gdstk = pytest.importorskip("gdstk")
        a, b = random_shapes(7), random_shapes(8)

        def polygons(structures):
            # gdstk has no holes: rectangles and circles without holes convert one to one.
            return [gdstk.Polygon(s.to_polygon().vertices) for s in structures]

        expected = sum(p.area() for p in gdstk.boolean(polygons(a), polygons(b), gdstk_operation,
                                                       precision=1e-5))
        assert total_area(tw.boolean(a, b, operation)) == pytest.approx(expected, rel=1e-6)


class TestManyOperands:
    """Enough shapes that operands are united in stages and far pieces skip the sweep."""

    @staticmethod
    def mixed_shapes(seed, count, spread):
        # Convex shapes, rings with holes and concave paths.
        rng = random.Random(seed)
        shapes = []
        for i in range(count):
            x, y = rng.uniform(0, spread), rng.uniform(0, spread)
            if i % 4 == 0:
                shapes.append(tw.Circle(rng.uniform(2, 4), inner_radius=1, center=(x, y)))
            elif i % 4 == 1:
                shapes.append(tw.Path((x, y), 0.5).segment((x + 3, y)).segment((x + 3, y + 3)))
            else:
                shapes.append(random_shapes(rng.random(), 1)[0].translate((x, y)))
        return shapes

    @pytest.mark.parametrize("spread", [15, 150])  # one connected mass; scattered pieces
    @pytest.mark.parametrize("operation, method", [
        ("+", "union"), ("*", "intersection"), ("-", "difference"), ("^", "symmetric_difference")])
    def test_area_matches_shapely(self, spread, operation, method):
        a, b = self.mixed_shapes(1, 200, spread), self.mixed_shapes(2, 200, spread)
        expected = getattr(as_shapely(a), method)(as_shapely(b)).area
        assert total_area(tw.boolean(a, b, operation)) == pytest.approx(expected, rel=1e-6)

    @pytest.mark.parametrize("operand1, operand2, area", [
        ("all", None, 7.5),  # the rectangle cancels the bowtie's clockwise lobe
        ("bowties", "rectangles", 8.25),  # operands fill independently
    ])
    def test_winding_cancels_within_an_operand_only(self, operand1, operand2, area):
        count = 30
        bowties = [tw.Polygon([(10 * i, 0), (10 * i + 6, 3), (10 * i + 6, 0), (10 * i, 1)])
                   for i in range(count)]
        rectangles = [tw.Rectangle((10 * i, 0), (10 * i + 1.5, 1)) for i in range(count)]
        shapes = {"all": bowties + rectangles, "bowties": bowties, "rectangles": rectangles,
                  None: []}
        result = tw.boolean(shapes[operand1], shapes[operand2], "+")
        assert total_area(result) == pytest.approx(count * area)

    def test_islands_in_holes_survive(self):
        shapes = [s for i in range(40) for s in (tw.Circle(3, inner_radius=2, center=(7 * i, 0)),
                                                 square(7 * i, 0))]
        result = tw.boolean(shapes, [], "+")
        assert len(result) == 80
        assert total_area(result) == pytest.approx(total_area(tw.boolean(shapes[:2], [], "+")) * 40)

    @pytest.mark.parametrize("operation, count", [("*", 0), ("-", 50), ("^", 51)])
    def test_untouched_pieces(self, operation, count):
        squares = [square(5 * i, 0) for i in range(50)]
        assert len(tw.boolean(squares, square(-100, 0), operation)) == count


class TestIntersects:
    HOLED = tw.Polygon([(-5, -5), (5, -5), (5, 5), (-5, 5)], [[(-3, -3), (-3, 3), (3, 3), (3, -3)]])

    @pytest.mark.parametrize("a, b, expected", [
        (square(0, 0), square(1, 1), True),             # overlapping area
        (square(0, 0), square(2, 0), True),             # shared edge
        (square(0, 0), square(2, 1), True),             # shared stretch of edge
        (square(0, 0), square(2, 2), True),             # single shared vertex
        (square(0, 0), square(3, 0), False),
        (square(0, 0, 10), square(0, 0), True),         # one inside the other
        (HOLED, square(0, 0), False),                   # inside the hole
        (HOLED, square(2, 0), True),                    # touching the hole's edge
        (HOLED, square(0, 0, 20), True),                # covering the hole
        (tw.Polygon([(0, 0), (2, 0), (1, 1)]), tw.Polygon([(1, 1), (2, 2), (0, 2)]), True),  # tips
    ])
    def test_cases(self, a, b, expected):
        assert tw.intersects(a, b) is expected
        assert tw.intersects(b, a) is expected

    def test_any_pair_counts(self):
        assert tw.intersects([square(0, 0), square(20, 0)], [square(50, 0), square(21, 1)])
        assert not tw.intersects([square(0, 0), square(20, 0)], [square(50, 0)])
        assert not tw.intersects([], square(0, 0))

    @pytest.mark.parametrize("seed", range(20))
    def test_matches_shapely(self, seed):
        rng = random.Random(seed)

        def shape():
            # Coarse coordinates make touching contacts frequent; rings bring holes.
            x, y, size = rng.randint(-6, 6), rng.randint(-6, 6), rng.randint(1, 4)
            if rng.random() < 0.7:
                return square(x, y, size)
            return tw.Polygon([(x - 2 * size, y - 2 * size), (x + 2 * size, y - 2 * size),
                               (x + 2 * size, y + 2 * size), (x - 2 * size, y + 2 * size)],
                              [[(x - size, y - size), (x + size, y - size), (x + size, y + size),
                                (x - size, y + size)]])

        shapes = [shape() for _ in range(6)]
        for p in shapes[:3]:
            for q in shapes[3:]:
                assert tw.intersects(p, q) is shapely_polygon(p).intersects(shapely_polygon(q))


class TestOffset:
    def test_cross(self):
        assert len(tw.offset(cross(), 1, round_joins=True)) == 1
        assert len(tw.offset(cross(), -0.5)) == 1

    @pytest.mark.parametrize("distance", [0.5, 1, 2.25])
    @pytest.mark.parametrize("round_joins", [False, True])
    def test_bounds_grow_by_distance(self, distance, round_joins):
        rng = random.Random(3)
        # Miter corners of axis-aligned edges reach exactly the distance; arcs within tolerance.
        shapes = [tw.Rectangle(center=(rng.uniform(-9, 9), rng.uniform(-9, 9)), size=(3, 2)) for _ in range(4)]
        if round_joins:
            shapes += [tw.Circle(rng.uniform(1, 3), center=(rng.uniform(-9, 9), 9)) for _ in range(4)]
        low, high = bounds(tw.boolean(shapes, [], "+"))
        new_low, new_high = bounds(tw.offset(shapes, distance, round_joins))
        tolerance = tw.config.tolerance if round_joins else 1e-9
        assert new_low == pytest.approx(low - distance, abs=tolerance)
        assert new_high == pytest.approx(high + distance, abs=tolerance)

    @pytest.mark.parametrize("distance, area", [(1, 8 * 6), (-0.5, 5 * 3)])
    def test_miter_rectangle(self, distance, area):
        (result,) = tw.offset(tw.Rectangle(center=(0, 0), size=(6, 4)), distance)
        assert result.area() == pytest.approx(area)

    def test_round_matches_shapely(self):
        shapely = pytest.importorskip("shapely")
        shapes = random_shapes(5, 6)
        expected = as_shapely(shapes).buffer(1.5, quad_segs=64).area
        assert total_area(tw.offset(shapes, 1.5, round_joins=True)) == pytest.approx(expected, rel=1e-3)

    def test_erosion_removes_narrow_shapes(self):
        assert tw.offset(tw.Rectangle(center=(0, 0), size=(10, 1)), -0.6) == []

    @pytest.mark.parametrize("round_joins", [False, True])
    def test_erosion_at_half_the_width(self, round_joins):
        # Narrower shapes are dropped before offsetting; anything wider survives as a sliver.
        for height, area in [(0.998, 0), (1.0, 0), (1.001, 9 * 0.001), (1.002, 9 * 0.002)]:
            result = tw.offset(tw.Rectangle(center=(0, 0), size=(10, height)), -0.5, round_joins)
            assert total_area(result) == pytest.approx(area, abs=1e-9)

    def test_erosion_of_shapes_near_vanishing_matches_gdstk(self):
        gdstk = pytest.importorskip("gdstk")
        rng = random.Random(11)
        shapes = [tw.Circle(rng.uniform(0.5, 2), center=(5 * i, 0), min_evals=6) for i in range(8)]
        shapes += [tw.Rectangle(center=(5 * i, 9), size=(rng.uniform(0.5, 3), 4)) for i in range(8)]
        for distance in (-0.25, -0.5, -0.75, -1.0, -1.25):
            ours = total_area(tw.offset(shapes, distance))
            peer = gdstk.offset([gdstk.Polygon(s.to_polygon().vertices) for s in shapes], distance,
                                join="miter", tolerance=5, precision=1e-5)
            assert ours == pytest.approx(sum(p.area() for p in peer), abs=1e-6)

    @pytest.mark.parametrize("side", ["x_min", "x_max", "y_min", "y_max"])
    def test_trim_keeps_original_side(self, side):
        shape = tw.Rectangle(center=(1, 2), size=(5, 3))
        (result,) = tw.offset(shape, 1, **{f"trim_{side}": True})
        assert getattr(result, side) == getattr(shape, side)
        opposite = {"x_min": "x_max", "x_max": "x_min", "y_min": "y_max", "y_max": "y_min"}[side]
        assert abs(getattr(result, opposite) - getattr(shape, opposite)) == pytest.approx(1)
        assert result.area() == pytest.approx(7 * 5 - (5 if side[0] == "x" else 7))

    def test_trim_ignored_when_eroding(self):
        shape = tw.Rectangle(center=(0, 0), size=(6, 4))
        assert tw.offset(shape, -1, trim_x_min=True)[0].x_min == pytest.approx(-2)


class TestHeal:
    SLIVER = [tw.Rectangle(center=(0, 0), size=(10, 10)), tw.Rectangle(corner1=(5, 0), size=(3, 0.02))]
    GAP = [tw.Rectangle(corner1=(0, 0), corner2=(5, 5)), tw.Rectangle(corner1=(5.02, 0), corner2=(10, 5))]
    STRIPS = [tw.Rectangle(corner1=(0, 0), corner2=(10, 0.06)),
              tw.Rectangle(corner1=(0, 0.08), corner2=(10, 0.14))]

    @pytest.mark.parametrize("shapes, feature_size, count, area", [
        (SLIVER, 0.1, 1, 100),
        (GAP, 0.1, 1, 50),
        (GAP, -0.1, 1, 50),
        (STRIPS, 0.1, 0, 0),     # opening first: both strips are too narrow
        (STRIPS, -0.1, 1, 1.4),  # closing first: the joined strips are wide enough
    ])
    def test_small_features(self, shapes, feature_size, count, area):
        healed = tw.heal(shapes, feature_size)
        assert len(healed) == count
        assert total_area(healed) == pytest.approx(area, abs=1e-6)

    def test_keeps_large_features(self):
        shapes = random_shapes(11, 6)
        assert total_area(tw.heal(shapes, 0.01)) == pytest.approx(
            total_area(tw.boolean(shapes, [], "+")), rel=1e-3)


class TestEnvelope:
    @pytest.mark.parametrize("seed", range(3))
    def test_hull_area_matches_scipy(self, seed):
        spatial = pytest.importorskip("scipy.spatial")
        shapes = random_shapes(seed, 8)
        points = np.vstack([s.to_polygon().vertices for s in shapes])
        hull = tw.envelope(shapes)
        assert isinstance(hull, tw.Polygon)
        assert hull.area() == pytest.approx(spatial.ConvexHull(points).volume, rel=1e-9)

    def test_hull_matches_shapely(self):
        shapes = random_shapes(4, 8)
        assert tw.envelope(shapes).area() == pytest.approx(as_shapely(shapes).convex_hull.area, rel=1e-9)

    def test_box(self):
        shapes = random_shapes(2, 5)
        low, high = bounds([s.to_polygon() for s in shapes])
        box = tw.envelope(shapes, use_box=True)
        assert len(box.vertices) == 4
        np.testing.assert_allclose(box.bounds(), (low, high))
        grown = tw.envelope(shapes, offset=1, use_box=True, trim_y_max=True)
        np.testing.assert_allclose(grown.bounds(), (low - 1, (high[0] + 1, high[1])), atol=1e-5)

    def test_offset_with_round_joins(self):
        hull = tw.envelope(square(0, 0), offset=1, round_joins=True)
        # Inscribed arcs lose about two thirds of the tolerance times their length.
        assert hull.area() == pytest.approx(4 + 4 * 2 + np.pi, abs=2 * np.pi * tw.config.tolerance)

    @pytest.mark.parametrize("offset", [0, 1, -1])
    def test_flat_input(self, offset):
        # The hull stage fails before the offset is looked at.
        with pytest.raises(RuntimeError, match=r"^Invalid boolean result\.$"):
            tw.envelope(tw.Rectangle(center=(0, 0), size=(0, 2)), offset)


class TestMessages:
    @pytest.mark.parametrize("call, name", [
        (lambda: tw.boolean(None, [], "+"), "operand1"),
        (lambda: tw.boolean([], None, "+"), "operand2"),
        (lambda: tw.intersects(None, []), "operand1"),
        (lambda: tw.intersects([], None), "operand2"),
        (lambda: tw.offset(None, 1), "operand"),
        (lambda: tw.heal(None, 1), "operand"),
        (lambda: tw.envelope(None), "operand"),
    ])
    def test_none_operand(self, call, name):
        with pytest.raises(TypeError, match=rf"^'{name}' cannot be 'None'\.$"):
            call()

    @pytest.mark.parametrize("operation", ["+-", "", "a", "**", "|"])
    def test_bad_operation(self, operation):
        with pytest.raises(ValueError, match=r"^Argument 'operation' must be one of '\+', '\*', '-', or '\^'\.$"):
            tw.boolean(square(0, 0), [], operation)

    @pytest.mark.parametrize("operand", [1, "text", [square(0, 0), 3], [None]])
    def test_bad_operand(self, operand):
        with pytest.raises(TypeError):
            tw.offset(operand, 1)

    def test_envelope_errors(self):
        with pytest.raises(ValueError, match=r"^The envelope 'offset' cannot be negative\.$"):
            tw.envelope(square(0, 0), offset=-1)
        with pytest.raises(RuntimeError, match=r"^No valid operands found\.$"):
            tw.envelope([])

    # Coordinates are limited to ±1e9 µm.
    EDGE = 1e9
    NEAR = tw.Polygon([(EDGE - 2, 0), (EDGE, 0), (EDGE - 2, 1)])

    @pytest.mark.parametrize("call", [
        lambda s: tw.offset(s.NEAR, 1),  # the dilation would leave the range
        lambda s: tw.heal(s.NEAR, -1),
        lambda s: tw.envelope(s.NEAR, 1),
    ])
    def test_results_beyond_range(self, call):
        with pytest.raises(ValueError, match=r"^Coordinates exceed the supported range of ±1e9 µm\.$"):
            call(self)

    def test_engine_range_edge_is_exact(self):
        touching = tw.Polygon([(self.EDGE, 0), (self.EDGE, 1), (self.EDGE - 2, 1)])
        assert tw.intersects(self.NEAR, touching)
        (result,) = tw.boolean(self.NEAR, touching, "+")
        assert sorted(result.vertices.tolist()) == [[self.EDGE - 2, 0], [self.EDGE - 2, 1],
                                                    [self.EDGE, 0], [self.EDGE, 1]]

    @pytest.mark.parametrize("call, name", [
        (lambda: tw.offset(square(0, 0), float("nan")), "distance"),
        (lambda: tw.offset(square(0, 0), 1e300), "distance"),
        (lambda: tw.heal(square(0, 0), -1e300), "feature_size"),
        (lambda: tw.envelope(square(0, 0), float("inf")), "offset"),
    ])
    def test_lengths_without_database_units(self, call, name):
        with pytest.raises(ValueError, match=rf"^'{name}' is out of range\.$"):
            call()

    @pytest.mark.parametrize("call, message", [
        (lambda: tw.boolean(), "boolean"),
        (lambda: tw.intersects([]), "intersects"),
        (lambda: tw.offset([]), "offset"),
        (lambda: tw.heal([]), "heal"),
        (lambda: tw.envelope(), "envelope"),
    ])
    def test_parser_names_function(self, call, message):
        with pytest.raises(TypeError, match=rf"^{message}\(\) missing"):
            call()
