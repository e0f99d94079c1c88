"""Timing of boolean operations and offsets beside gdstk, shapely and klayout on the same shapes.

Run: PYTHONPATH=<build>/python python benchmarks/bench_set_operations.py [count]
Prints the best time of each library, its ratio to ours, and whether the result areas agree.
A second part runs inputs whose edges lie on each other (identical operands, abutting and
staggered cells) beside a copy shifted so that no edges coincide.
"""

import random
import sys
import time

import tarnwhistle as tw

try:
    import gdstk
except ImportError:
    gdstk = None
try:
    import shapely
except ImportError:
    shapely = None
try:
    import klayout.db as kdb
except ImportError:
    kdb = None

REPEATS = 3
SLOW = 1.0  # seconds after which a timing is not repeated
UNITS = 100000  # database units per µm
AREA_TOLERANCE = 1e-6  # relative


def random_shapes(rng, count, spread):
    shapes = []
    for _ in range(count):
        x, y = rng.uniform(0, spread), rng.uniform(0, spread)
        if rng.random() < 0.5:
            shapes.append(tw.Rectangle(center=(x, y), size=(rng.uniform(1, 8), rng.uniform(1, 8))))
        else:
            shapes.append(tw.Circle(rng.uniform(0.5, 4), center=(x, y)))
    return shapes


def best_time(function):
    best, result = float("inf"), None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
        if best > SLOW:
            break
    return best, result


def report(name, runs, tolerance=AREA_TOLERANCE):
    """runs: list of (library, seconds, area); the first is ours. tolerance is relative; an
    area of None is not compared (a different input)."""
    _, reference_time, reference_area = runs[0]
    print(f"{name}")
    for library, seconds, area in runs:
        if area is None:
            print(f"  {library:<12} {seconds * 1e3:9.2f} ms   x{seconds / reference_time:6.2f}")
            continue
        agrees = abs(area - reference_area) <= tolerance * max(abs(reference_area), 1.0)
        print(f"  {library:<12} {seconds * 1e3:9.2f} ms   x{seconds / reference_time:6.2f}   "
              f"area {area:14.4f}  {'ok' if agrees else 'DIFFERS'}")


def tw_area(polygons):
    return sum(p.area() for p in polygons)


def klayout_region(outlines):
    region = kdb.Region()
    for outline in outlines:
        points = [kdb.Point(round(x * UNITS), round(y * UNITS)) for x, y in outline]
        region.insert(kdb.Polygon(points))
    return region


BOOLEANS = [  # ours, gdstk, shapely, klayout
    ("+", "or", "union", lambda a, b: a | b),
    ("*", "and", "intersection", lambda a, b: a & b),
    ("-", "not", "difference", lambda a, b: a - b),
    ("^", "xor", "symmetric_difference", lambda a, b: a ^ b),
]


def peer_runs(a_outlines, b_outlines, gdstk_operation, shapely_method, klayout_operation):
    """Timings of the peers on one boolean of two lists of outlines."""
    runs = []
    if gdstk:
        ga, gb = [gdstk.Polygon(p) for p in a_outlines], [gdstk.Polygon(p) for p in b_outlines]
        seconds, result = best_time(lambda: gdstk.boolean(ga, gb, gdstk_operation, precision=1e-5))
        runs.append(("gdstk", seconds, sum(p.area() for p in result)))
    if shapely:
        sa, sb = [shapely.Polygon(p) for p in a_outlines], [shapely.Polygon(p) for p in b_outlines]
        seconds, result = best_time(
            lambda: getattr(shapely.union_all(sa), shapely_method)(shapely.union_all(sb)))
        runs.append(("shapely", seconds, result.area))
    if kdb:
        ka, kb = klayout_region(a_outlines), klayout_region(b_outlines)
        seconds, result = best_time(lambda: klayout_operation(ka, kb))
        runs.append(("klayout", seconds, result.area() / UNITS**2))
    return runs


def cells(n, stagger):
    """n x n abutting unit cells, odd columns shifted up by `stagger` cells."""
    return [tw.Rectangle((i, j + stagger * (i % 2)), (i + 1, j + 1 + stagger * (i % 2)))
            for i in range(n) for j in range(n)]


def coincident(shapes):
    """Inputs whose edges lie on each other, beside a copy shifted so that none do."""
    print("\ncoincident edges")
    # 31416 vertices, with coordinates and area within klayout's integer ranges.
    saved = tw.config.tolerance
    tw.config.tolerance = 5e-5
    circle, shifted = (tw.Circle(1e4, center=c).to_polygon() for c in ((0, 0), (0.37, 0)))
    tw.config.tolerance = saved
    outline = circle.vertices
    for operation, gdstk_operation, shapely_method, klayout_operation in BOOLEANS:
        seconds, result = best_time(lambda: tw.boolean(circle, circle, operation))
        runs = [("tarnwhistle", seconds, tw_area(result))]
        seconds, _ = best_time(lambda: tw.boolean(circle, shifted, operation))
        runs.append(("shifted", seconds, None))
        runs += peer_runs([outline], [outline], gdstk_operation, shapely_method, klayout_operation)
        report(f"boolean {operation} of a {len(outline)}-vertex circle with itself", runs)

    moved = [s.copy().translate((0.37, 0)) for s in shapes]
    for operation in "+-^":
        seconds, result = best_time(lambda: tw.boolean(shapes, shapes, operation))
        runs = [("tarnwhistle", seconds, tw_area(result))]
        seconds, _ = best_time(lambda: tw.boolean(shapes, moved, operation))
        report(f"boolean {operation} of {len(shapes)} shapes with themselves",
               runs + [("shifted", seconds, None)])

    for n, stagger in ((200, 0.0), (30, 0.5)):  # a single sweep of staggered cells is slow
        pieces = cells(n, stagger)
        seconds, result = best_time(lambda: tw.boolean(pieces, [], "+"))
        runs = [("tarnwhistle", seconds, tw_area(result))]
        apart = [s.copy().scale(0.999) for s in pieces]  # the same cells, none touching
        seconds, _ = best_time(lambda: tw.boolean(apart, [], "+"))
        runs.append(("apart", seconds, None))
        outlines = [s.to_polygon().vertices for s in pieces]
        runs += peer_runs(outlines, [], "or", "union", lambda a, b: (a + b).merged())
        kind = "staggered" if stagger else "abutting"
        report(f"union of {n} x {n} {kind} cells", runs)

    pieces = cells(30, 0.5)
    seconds, result = best_time(lambda: tw.offset(pieces, 0.1))
    runs = [("tarnwhistle", seconds, tw_area(result))]
    if gdstk:
        gp = [gdstk.Polygon(s.to_polygon().vertices) for s in pieces]
        seconds, result = best_time(lambda: gdstk.offset(
            gp, 0.1, join="miter", tolerance=5, precision=1e-5, use_union=True))
        runs.append(("gdstk", seconds, sum(p.area() for p in result)))
    report("offset +0.1 (miter) of 30 x 30 staggered cells", runs)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    rng = random.Random(1)
    spread = 3 * count ** 0.5
    a = random_shapes(rng, count, spread)
    b = random_shapes(rng, count, spread)
    # The same outlines for every library.
    a_points = [s.to_polygon().vertices for s in a]
    b_points = [s.to_polygon().vertices for s in b]
    print(f"{count} + {count} shapes, {sum(map(len, a_points)) + sum(map(len, b_points))} vertices")

    cases = [("union", "+", "or", "union"), ("intersection", "*", "and", "intersection"),
             ("difference", "-", "not", "difference")]
    if gdstk:
        ga = [gdstk.Polygon(p) for p in a_points]
        gb = [gdstk.Polygon(p) for p in b_points]
    if shapely:
        sa = [shapely.Polygon(p) for p in a_points]
        sb = [shapely.Polygon(p) for p in b_points]

    for name, operation, gdstk_operation, shapely_method in cases:
        seconds, result = best_time(lambda: tw.boolean(a, b, operation))
        runs = [("tarnwhistle", seconds, tw_area(result))]
        if gdstk:
            seconds, result = best_time(
                lambda: gdstk.boolean(ga, gb, gdstk_operation, precision=1e-5))
            runs.append(("gdstk", seconds, sum(p.area() for p in result)))
        if shapely:
            seconds, result = best_time(
                lambda: getattr(shapely.union_all(sa), shapely_method)(shapely.union_all(sb)))
            runs.append(("shapely", seconds, result.area))
        report(f"boolean {name}", runs)

    for distance in (0.5, -0.3):
        seconds, result = best_time(lambda: tw.offset(a, distance))
        runs = [("tarnwhistle", seconds, tw_area(result))]
        if gdstk:
            seconds, result = best_time(lambda: gdstk.offset(
                ga, distance, join="miter", tolerance=5, precision=1e-5, use_union=True))
            runs.append(("gdstk", seconds, sum(p.area() for p in result)))
        report(f"offset {distance:+} (miter)", runs)

    seconds, result = best_time(lambda: tw.offset(a, 0.5, round_joins=True))
    runs = [("tarnwhistle", seconds, tw_area(result))]
    if shapely:
        seconds, result = best_time(lambda: shapely.union_all(sa).buffer(0.5, quad_segs=16))
        runs.append(("shapely", seconds, result.area))
    report("offset +0.5 (round)", runs, tolerance=1e-4)  # arcs are sampled differently

    coincident(a)


if __name__ == "__main__":
    main()
