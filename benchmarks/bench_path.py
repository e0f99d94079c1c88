"""Polygonization of long multi-section paths, side by side with gdstk.

Both libraries draw the same geometry with the same tolerance (0.005 µm); only the conversion
to polygons is timed (best of several runs, each on a freshly built path so no cache helps).

Run: PYTHONPATH=<build>/python python benchmarks/bench_path.py
"""

import math
import time

import gdstk

import tarnwhistle.extension as tw

TOLERANCE = 0.005
REPEATS = 5


def s_bend_arc(dx, dy):
    """Radius and turn (radians) of the two-arc S bend reaching (dx, dy)."""
    phi = 2 * math.atan2(dy, dx)
    return (dx / 2) / abs(math.sin(phi)), phi


def route_ours(cells):
    path = tw.Path((0, 0), 0.5)
    for i in range(cells):
        path.segment((20, 0), relative=True, width=0.8 if i % 2 else 0.5)
        path.turn(90, radius=5, euler_fraction=0)
        path.segment((0, 10), relative=True)
        path.turn(-90, radius=5, euler_fraction=0)
        path.s_bend((30, 4), relative=True, euler_fraction=0)
    return path


def route_gdstk(cells):
    radius, phi = s_bend_arc(30, 4)
    path = gdstk.RobustPath((0, 0), 0.5, tolerance=TOLERANCE, max_evals=10000)
    for i in range(cells):
        path.segment((20, 0), relative=True, width=0.8 if i % 2 else 0.5)
        path.turn(5, math.pi / 2)
        path.segment((0, 10), relative=True)
        path.turn(5, -math.pi / 2)
        path.turn(radius, phi)
        path.turn(radius, -phi)
    return path


def zigzag(vertices):
    return [(10.0 * i, 5.0 * (i % 2)) for i in range(1, vertices + 1)]


def polyline_ours(vertices):
    return tw.Path((0, 0), 1).segment(zigzag(vertices), join_limit=2)


def polyline_gdstk(vertices):
    return gdstk.FlexPath([(0, 0)] + zigzag(vertices), 1, joins="miter", tolerance=TOLERANCE)


def best_time(build, convert):
    best = math.inf
    for _ in range(REPEATS):
        path = build()
        start = time.perf_counter()
        result = convert(path)
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(name, ours, theirs, size):
    ours_time, ours_polygon = best_time(lambda: ours(size), lambda p: p.to_polygon())
    gdstk_time, gdstk_polygons = best_time(lambda: theirs(size), lambda p: p.to_polygons())
    ours_area = ours_polygon.area()
    gdstk_area = sum(p.area() for p in gdstk_polygons)
    print(f"{name} ({size}):")
    print(f"  tarnwhistle {ours_time * 1e3:8.2f} ms, {len(ours_polygon.vertices):7d} vertices, area {ours_area:.4f}")
    print(f"  gdstk       {gdstk_time * 1e3:8.2f} ms, {sum(len(p.points) for p in gdstk_polygons):7d} vertices, area {gdstk_area:.4f}")
    print(f"  time ratio (tarnwhistle / gdstk): {ours_time / gdstk_time:.2f}")


def main():
    tw.config.tolerance = TOLERANCE
    compare("route of segments, tapers, turns and S bends", route_ours, route_gdstk, 500)
    compare("mitred polyline", polyline_ours, polyline_gdstk, 20000)


if __name__ == "__main__":
    main()
