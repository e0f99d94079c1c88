"""Extruding a component of 10,000 waveguides through the example technology.

Straight sidewalls give one straight solid per polygon; sloped ones give tapered solids for
lone waveguides and meshed solids where neighbours merge (every tenth pair is placed closer
than its grown bases; each merging pair is meshed on its own). Prints the time per
extrusion and the solid and triangle counts.
Run: PYTHONPATH=<build>/python python benchmarks/bench_extrusion.py
"""
import time

import tarnwhistle as tw

COUNT = 10000
REPEATS = 3


def waveguides(tech, count):
    c = tw.Component("MANY", technology=tech)
    for i in range(count):
        x, y = (i % 100) * 12.0, (i // 100) * 3.0
        # Every tenth waveguide sits 30 nm above the previous one: they merge at the base.
        if i % 10 == 9:
            x, y = ((i - 1) % 100) * 12.0, ((i - 1) // 100) * 3.0 + 0.53
        c.add("WG_CORE", tw.Rectangle((x, y), (x + 10, y + 0.5)))
    return c


def measure(angle):
    tech = tw.basic_technology(sidewall_angle=angle)
    component = waveguides(tech, COUNT)
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        solids = component.extrude()
        best = min(best, time.perf_counter() - start)
    meshes = [s for s in solids if isinstance(s, tw.Polyhedron)]
    triangles = sum(len(m.triangles) for m in meshes)
    print(f"sidewall {angle:>4} deg: {best:7.3f} s, {len(solids)} solids, "
          f"{len(meshes)} meshed with {triangles} triangles")


if __name__ == "__main__":
    for angle in (0, 8):
        measure(angle)
