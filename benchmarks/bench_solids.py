"""Timing of the polygon triangulation beside mapbox_earcut on a large polygon with holes.

Run: PYTHONPATH=<build>/python python benchmarks/bench_solids.py [vertices] [holes]
Prints the best time of each, the ratio ours / earcut (goal: at most 1), and the covered
areas of both beside the polygon's own area.
"""

import sys

import numpy as np
from bench_set_operations import best_time

from tarnwhistle import extension

try:
    import mapbox_earcut
except ImportError:
    mapbox_earcut = None

HOLE_VERTICES = 20


def polygon_with_holes(vertex_count, hole_count):
    """A wavy disk with small circular holes on a grid: (vertices N×2, ring ends, area)."""
    outer_count = vertex_count - hole_count * HOLE_VERTICES
    t = np.linspace(0, 2 * np.pi, outer_count, endpoint=False)
    radius = 1000 + 5 * np.sin(200 * t)
    rings = [np.c_[radius * np.cos(t), radius * np.sin(t)]]
    side = int(np.ceil(np.sqrt(hole_count)))
    s = np.linspace(0, 2 * np.pi, HOLE_VERTICES, endpoint=False)[::-1]  # clockwise holes
    for k in range(hole_count):
        cx, cy = (k % side - side / 2) * 40, (k // side - side / 2) * 40
        rings.append(np.c_[cx + 5 * np.cos(s), cy + 5 * np.sin(s)])
    vertices = np.round(np.concatenate(rings), 5)
    ends = np.cumsum([len(r) for r in rings]).astype(np.uint32)
    return vertices, ends, sum(abs(ring_area(r)) * (1 if i == 0 else -1) for i, r in enumerate(rings))


def ring_area(ring):
    x, y = ring[:, 0], ring[:, 1]
    return 0.5 * np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y)


def covered_area(vertices, triangles):
    a, b, c = (vertices[triangles[:, k]] for k in range(3))
    return np.sum(np.abs((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0]))) / 2


def main():
    vertex_count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    hole_count = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000
    vertices, ends, area = polygon_with_holes(vertex_count, hole_count)
    print(f"polygon: {len(vertices)} vertices, {len(ends) - 1} holes, area {area:.6f}")
    ours, triangles = best_time(lambda: extension._triangulate(vertices, ends.tolist()))
    print(f"ours    {ours:8.4f} s  {len(triangles)} triangles, area {covered_area(vertices, triangles):.6f}")
    if mapbox_earcut is None:
        print("mapbox_earcut not installed: no comparison")
        return
    theirs, indices = best_time(lambda: mapbox_earcut.triangulate_float64(vertices, ends))
    triangles = indices.reshape(-1, 3).astype(np.int64)
    print(f"earcut  {theirs:8.4f} s  {len(triangles)} triangles, area {covered_area(vertices, triangles):.6f}")
    print(f"ratio ours / earcut: {ours / theirs:.2f}")


if __name__ == "__main__":
    main()
