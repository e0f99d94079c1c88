"""Set operations on shapes whose edges lie on each other: shared, abutting or identical.

Results are compared exactly with klayout's regions (integer database units) for rectilinear
shapes, and with shapely where edge crossings get rounded.
"""

import random

import numpy as np
import pytest

import tarnwhistle as tw

OPERATIONS = ["+", "*", "-", "^"]
SHAPELY_METHODS = {"+": "union", "*": "intersection", "-": "difference", "^": "symmetric_difference"}
UNITS = 100000  # database units per µm


def total_area(polygons):
    return sum(p.area() for p in polygons)


def flower(petals=5, points=400, center=(0, 0)):
    """Concave, but star-shaped from its center."""
    angles = np.linspace(0, 2 * np.pi, points, endpoint=False)
    radius = 10 + 3 * np.cos(petals * angles)
    return tw.Polygon(np.column_stack([center[0] + radius * np.cos(angles),
                                       center[1] + radius * np.sin(angles)]))


def grid(n, stagger=0.0):
    """n x n unit squares, odd columns shifted up by `stagger`."""
    return [tw.Rectangle((i, j + stagger * (i % 2)), (i + 1, j + 1 + stagger * (i % 2)))
            for i in range(n) for j in range(n)]


def frame_and_filler():
    frame = tw.Polygon([(0, 0), (4, 0), (4, 4), (0, 4)], [[(1, 1), (3, 1), (3, 3), (1, 3)]])
    return frame, tw.Rectangle((1, 1), (3, 3))


def region(structures):
    kdb = pytest.importorskip("klayout.db")

    def points(ring):
        return [kdb.Point(int(round(x * UNITS)), int(round(y * UNITS))) for x, y in ring]

    result = kdb.Region()
    for structure in structures:
        polygon = structure.to_polygon()
        shape = kdb.Polygon(points(polygon.vertices))
        for hole in polygon.holes:
            shape.insert_hole(points(hole))
        result.insert(shape)
    return result.merged()


def klayout_boolean(a, b, operation):
    ra, rb = region(a), region(b)
    return {"+": ra + rb, "*": ra & rb, "-": ra - rb, "^": ra ^ rb}[operation]


def assert_same_region(polygons, expected):
    assert (region(polygons) ^ expected).is_empty()


def shapely_union(structures):
    shapely = pytest.importorskip("shapely")
    polygons = [s.to_polygon() for s in structures]
    return shapely.union_all([shapely.Polygon(p.vertices, p.holes) for p in polygons])


def vertex_sets(polygons):
    """Each polygon's rings as sets of points, independent of start vertex and order."""
    def ring(points):
        return frozenset(map(tuple, np.round(np.asarray(points) * UNITS).astype(int).tolist()))
    return sorted((ring(p.vertices), sorted(ring(h) for h in p.holes)) for p in polygons)


class TestIdenticalOperands:
    SHAPES = {
        "circle": lambda: tw.Circle(20),
        "ring": lambda: tw.Circle(20, inner_radius=12),
        "path": lambda: tw.Path((0, 0), 2).segment((10, 0)).segment((10, 10)).segment((0, 5)),
        "staggered grid": lambda: grid(6, 0.5),
        "frame": lambda: frame_and_filler()[0],
        "flower": flower,
        "flowers": lambda: [flower(center=(15 * i, 0)) for i in range(20)],
    }

    @pytest.mark.parametrize("shape", SHAPES)
    @pytest.mark.parametrize("operation", OPERATIONS)
    def test_operand_with_itself(self, shape, operation):
        a, b = self.SHAPES[shape](), self.SHAPES[shape]()
        result = tw.boolean(a, b, operation)
        if operation in "-^":
            assert result == []
        else:  # exactly the operand's own union
            assert vertex_sets(result) == vertex_sets(tw.boolean(a, [], "+"))

    def test_large_circle_cancels(self):
        # Tens of thousands of edges, each on an edge of the other operand.
        circle = tw.Circle(2e5)
        assert len(circle.to_polygon().vertices) > 10000
        assert tw.boolean(circle, circle, "^") == []
        assert tw.boolean(circle, circle, "-") == []
        (result,) = tw.boolean(circle, circle, "*")
        assert result.area() == circle.to_polygon().area()


class TestSharedEdges:
    def test_partly_overlapping_edges(self):
        # The right edge of one runs along half of the left edge of the other.
        a, b = tw.Rectangle((0, 0), (2, 1)), tw.Rectangle((2, 0.5), (4, 1.5))
        (union,) = tw.boolean(a, b, "+")
        assert len(union.vertices) == 8 and union.area() == pytest.approx(4)
        assert tw.boolean(a, b, "*") == []
        assert vertex_sets(tw.boolean(a, b, "-")) == vertex_sets([a.to_polygon()])
        assert_same_region(tw.boolean(a, b, "^"), klayout_boolean([a], [b], "^"))

    def test_edge_inside_longer_edge(self):
        bar, post = tw.Rectangle((0, 0), (10, 1)), tw.Rectangle((4, 1), (5, 3))
        (union,) = tw.boolean(bar, post, "+")
        assert len(union.vertices) == 8 and union.area() == pytest.approx(12)

    @pytest.mark.parametrize("n", [1, 2, 5, 40])
    def test_abutting_grid_is_one_square(self, n):
        (result,) = tw.boolean(grid(n), [], "+")
        assert sorted(result.vertices.tolist()) == [[0, 0], [0, n], [n, 0], [n, n]]
        assert result.holes == []

    @pytest.mark.parametrize("n", [2, 3, 20])
    def test_staggered_grid(self, n):
        shapes = grid(n, 0.5)
        (result,) = tw.boolean(shapes, [], "+")
        assert result.area() == pytest.approx(n * n)
        assert_same_region([result], region(shapes))

    def test_triangles_sharing_a_diagonal(self):
        lower = tw.Polygon([(0, 0), (2, 0), (2, 2)])
        upper = tw.Polygon([(0, 0), (2, 2), (0, 2)])
        (result,) = tw.boolean(lower, upper, "+")
        assert sorted(result.vertices.tolist()) == [[0, 0], [0, 2], [2, 0], [2, 2]]
        assert tw.boolean(lower, upper, "*") == []

    @pytest.mark.parametrize("operation, area, holes", [
        ("+", 16, 0), ("*", 0, 0), ("-", 12, 1), ("^", 16, 0)])
    def test_hole_filled_by_other_operand(self, operation, area, holes):
        frame, filler = frame_and_filler()
        result = tw.boolean(frame, filler, operation)
        assert total_area(result) == pytest.approx(area)
        assert sum(len(p.holes) for p in result) == holes
        # The filler lies in the frame's hole, which is void.
        assert vertex_sets(tw.boolean(filler, frame, "-")) == vertex_sets([filler.to_polygon()])

    def test_hole_filled_within_one_operand(self):
        frame, filler = frame_and_filler()
        (result,) = tw.boolean([frame, filler], [], "+")
        assert len(result.vertices) == 4 and result.holes == []

    def test_hole_on_outer_boundary(self):
        # A hole sharing an edge with its own outer boundary is a notch.
        notched = tw.Polygon([(0, 0), (4, 0), (4, 4), (0, 4)], [[(0, 1), (2, 1), (2, 3), (0, 3)]])
        (result,) = tw.boolean(notched, [], "+")
        assert result.area() == pytest.approx(12)
        assert len(result.vertices) == 8 and result.holes == []
        (filled,) = tw.boolean(notched, tw.Rectangle((0, 1), (2, 3)), "+")
        assert len(filled.vertices) == 4 and filled.area() == pytest.approx(16)


class TestWindingOnceShapes:
    """Rings taken as winding once (convex, or star-shaped from their box center) skip the
    sweep that unites them; the results must not change."""

    SHAPES = {
        "flower": lambda: flower(),
        "flower off center": lambda: flower(petals=3),  # box center is not the star's center
        "crescent": lambda: tw.Polygon([(0, 0), (10, 5), (0, 10), (5, 5)]),  # not star-shaped
        "clockwise flower": lambda: tw.Polygon(flower().vertices[::-1]),
        # Filled by winding number: both lobes, and the loop run twice.
        "bowtie": lambda: tw.Polygon([(-9, -9), (9, 9), (9, -9), (-9, 5)]),
        "twice around": lambda: tw.Polygon(np.vstack([flower(points=200).vertices] * 2)),
    }

    @pytest.mark.parametrize("shape", SHAPES)
    @pytest.mark.parametrize("operation", OPERATIONS)
    def test_matches_shapely(self, shape, operation):
        shapely = pytest.importorskip("shapely")
        a = self.SHAPES[shape]()
        # Enough pieces that the operands are united before they meet.
        b = [tw.Rectangle((-20, 2 * i - 20), (20, 2 * i - 19)) for i in range(20)]
        filled = shapely.make_valid(shapely.Polygon(tw.boolean(a, [], "+")[0].vertices)) \
            if shape == "twice around" else shapely.make_valid(shapely.Polygon(a.vertices))
        expected = getattr(filled, SHAPELY_METHODS[operation])(shapely_union(b))
        assert total_area(tw.boolean(a, b, operation)) == pytest.approx(expected.area, abs=1e-3)


class TestRandomCoincidentInputs:
    """Shapes snapped to a coarse grid, so that edges often lie on each other."""

    @staticmethod
    def rectilinear(rng, count):
        shapes = []
        for _ in range(count):
            x0, y0 = rng.randint(0, 8), rng.randint(0, 8)
            x1, y1 = x0 + rng.randint(1, 4), y0 + rng.randint(1, 4)
            if rng.random() < 0.25 and x1 - x0 > 2 and y1 - y0 > 2:
                shapes.append(tw.Polygon([(x0, y0), (x1, y0), (x1, y1), (x0, y1)],
                                         [[(x0 + 1, y0 + 1), (x1 - 1, y0 + 1), (x1 - 1, y1 - 1),
                                           (x0 + 1, y1 - 1)]]))
            else:
                shapes.append(tw.Rectangle((x0, y0), (x1, y1)))
        return shapes

    @staticmethod
    def triangles(rng, count):
        shapes = []
        while len(shapes) < count:
            points = [(rng.randint(0, 6), rng.randint(0, 6)) for _ in range(3)]
            (x0, y0), (x1, y1), (x2, y2) = points
            if (x1 - x0) * (y2 - y0) != (x2 - x0) * (y1 - y0):
                shapes.append(tw.Polygon(points))
        return shapes

    @pytest.mark.parametrize("seed", range(12))
    @pytest.mark.parametrize("operation", OPERATIONS)
    def test_rectilinear_matches_klayout(self, seed, operation):
        rng = random.Random(seed)
        a, b = self.rectilinear(rng, 10), self.rectilinear(rng, 10)
        assert_same_region(tw.boolean(a, b, operation), klayout_boolean(a, b, operation))

    @pytest.mark.parametrize("seed", range(12))
    @pytest.mark.parametrize("operation", OPERATIONS)
    def test_triangles_match_shapely_and_klayout(self, seed, operation):
        rng = random.Random(seed)
        a, b = self.triangles(rng, 8), self.triangles(rng, 8)
        result = tw.boolean(a, b, operation)
        # Crossings are rounded to database units, which moves areas by about 1e-5 µm² each;
        # a wrongly cancelled edge would change them by at least a grid triangle, 0.5 µm².
        expected = getattr(shapely_union(a), SHAPELY_METHODS[operation])(shapely_union(b))
        assert total_area(result) == pytest.approx(expected.area, abs=1e-3)
        mismatch = region(result) ^ klayout_boolean(a, b, operation)
        assert mismatch.area() < 1e-3 * UNITS**2

    @pytest.mark.parametrize("seed", range(4))
    def test_many_abutting_pieces_match_klayout(self, seed):
        # Enough shapes that each operand is united in stages.
        rng = random.Random(seed)
        cells = [(i, j) for i in range(30) for j in range(30)]
        a = [tw.Rectangle((i, j), (i + 1, j + rng.choice([1, 2]))) for i, j in rng.sample(cells, 400)]
        b = [tw.Rectangle((i + 0.5, j), (i + 1.5, j + 1)) for i, j in rng.sample(cells, 400)]
        for operation in OPERATIONS:
            assert_same_region(tw.boolean(a, b, operation), klayout_boolean(a, b, operation))


class TestOffsetAndHeal:
    @pytest.mark.parametrize("distance", [0.25, -0.25])
    @pytest.mark.parametrize("round_joins", [False, True])
    def test_offset_of_grid_is_offset_of_square(self, distance, round_joins):
        pieces = grid(8, 0.0)
        square = tw.Rectangle((0, 0), (8, 8))
        assert vertex_sets(tw.offset(pieces, distance, round_joins)) == vertex_sets(
            tw.offset(square, distance, round_joins))

    def test_offset_of_staggered_grid(self):
        shapes = grid(10, 0.5)
        expected = shapely_union(shapes).buffer(0.3, join_style="mitre", mitre_limit=5)
        result = tw.offset(shapes, 0.3)
        assert shapely_union(result).symmetric_difference(expected).area < 1e-8

    def test_heal_of_grid_with_gaps_closed(self):
        # Columns of abutting cells with slits between the columns.
        shapes = [tw.Rectangle((1.01 * i, j), (1.01 * i + 1, j + 1)) for i in range(6) for j in range(6)]
        (healed,) = tw.heal(shapes, -0.1)
        assert healed.area() == pytest.approx(6.05 * 6)
        assert vertex_sets(tw.heal(grid(6, 0.5), 0.1)) == vertex_sets(
            tw.heal(tw.boolean(grid(6, 0.5), [], "+"), 0.1))
