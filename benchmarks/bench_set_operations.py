"""Timing of boolean operations and offsets beside gdstk and shapely on the same shapes.

Run: PYTHONPATH=<build>/python python benchmarks/bench_set_operations.py [count]
Prints the best time of each library, its ratio to ours, and whether the result areas agree.
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

REPEATS = 3
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
    return best, result


def report(name, runs, tolerance=AREA_TOLERANCE):
    """runs: list of (library, seconds, area); the first is ours. tolerance is relative."""
    _, reference_time, reference_area = runs[0]
    print(f"{name}")
    for library, seconds, area in runs:
        agrees = abs(area - reference_area) <= tolerance * max(abs(reference_area), 1.0)
        print(f"  {library:<12} {seconds * 1e3:9.2f} ms   x{seconds / reference_time:6.2f}   "
              f"area {area:14.4f}  {'ok' if agrees else 'DIFFERS'}")


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

    def tw_area(polygons):
        return sum(p.area() for p in polygons)

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


if __name__ == "__main__":
    main()
