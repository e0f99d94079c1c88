"""Polygonizing circles and ellipses and computing polygon areas, against gdstk.

Both libraries build the same shapes (same radii, holes, sectors and tolerance) in one run;
the printed ratio is our time over gdstk's (below 1 means faster).
Run: PYTHONPATH=<build>/python python benchmarks/bench_structures.py
"""
import math
import time

import numpy as np

import tarnwhistle as tw

try:
    import gdstk
except ImportError:  # the comparison needs the peer library
    gdstk = None

TOLERANCE = 0.005
COUNT = 20000
REPEATS = 3


def make_shapes(count, seed=1):
    rng = np.random.default_rng(seed)
    shapes = []
    for i in range(count):
        rx, ry = rng.uniform(1, 50), rng.uniform(1, 50)
        if i % 2:  # circles half of the time
            ry = rx
        inner = (0.4 * rx, 0.4 * ry) if i % 3 == 0 else (0, 0)
        sector = tuple(sorted(rng.uniform(-180, 180, 2))) if i % 4 == 0 else (0, 0)
        center = tuple(rng.uniform(-100, 100, 2))
        shapes.append((center, (rx, ry), inner, sector))
    return shapes


def ours(shapes):
    total = 0.0
    for center, radius, inner, sector in shapes:
        total += tw.Circle(radius, center, inner, sector).to_polygon().area()
    return total


def theirs(shapes):
    total = 0.0
    for center, radius, inner, sector in shapes:
        angles = (math.radians(sector[0]), math.radians(sector[1])) if sector[0] != sector[1] else (0, 0)
        inner_radius = inner if inner[0] > 0 else None
        polygon = gdstk.ellipse(center, radius, inner_radius, *angles, tolerance=TOLERANCE)
        total += polygon.area()
    return total


def best_time(function, shapes):
    best = math.inf
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = function(shapes)
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    tw.config.tolerance = TOLERANCE
    shapes = make_shapes(COUNT)
    our_time, our_area = best_time(ours, shapes)
    print(f"tarnwhistle: {COUNT} shapes polygonized and measured in {our_time:.4f} s")
    if gdstk is None:
        print("gdstk is not installed: no comparison")
        return
    their_time, their_area = best_time(theirs, shapes)
    print(f"gdstk:       {COUNT} shapes polygonized and measured in {their_time:.4f} s")
    print(f"total area: {our_area:.3f} vs {their_area:.3f} (relative difference "
          f"{abs(our_area - their_area) / their_area:.2e})")
    print(f"time ratio (ours/gdstk): {our_time / their_time:.3f}")


if __name__ == "__main__":
    main()
