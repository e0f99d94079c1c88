"""twf files against our OASIS files on the same layout.

A top cell with 100,000 references to 100 leaf cells of 10,000 polygons each (1,000,000
polygons in all) is written and loaded as twf and as OASIS; the ratios are twf time over OASIS
time (the goal is at most 1.5) and the file sizes are listed side by side.
Run: PYTHONPATH=<build>/python python benchmarks/bench_store.py [references] [polygons]
"""
import math
import os
import sys
import tempfile
import time

import numpy as np

import tarnwhistle as tw

REPEATS = 3
REFERENCES = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
POLYGONS = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000_000
LEAVES = 100


def best_time(function):
    best, result = math.inf, None
    for _ in range(REPEATS):
        result = None
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def layout():
    rng = np.random.default_rng(3)
    technology = tw.basic_technology()
    leaves = []
    for i in range(LEAVES):
        leaf = tw.Component(f"LEAF{i}", technology=technology)
        corners = np.round(rng.uniform(0, 100, (POLYGONS // LEAVES, 2)), 3)
        leaf.add((1, 0), *[tw.Polygon([(x, y), (x + 0.5, y), (x + 0.5, y + 0.3), (x, y + 0.2)])
                          for x, y in corners])
        leaves.append(leaf)
    top = tw.Component("TOP", technology=technology)
    origins = np.round(rng.uniform(0, 10000, (REFERENCES, 2)), 3)
    for k, (x, y) in enumerate(origins):
        top.add_reference(tw.Reference(leaves[k % LEAVES], (x, y), rotation=90 * (k % 4)))
    return top


def main():
    top = layout()
    tw.config.default_technology = top.technology
    with tempfile.TemporaryDirectory() as directory:
        twf = os.path.join(directory, "layout.twf")
        oas = os.path.join(directory, "layout.oas")
        write_twf, _ = best_time(lambda: tw.write_twf(twf, top))
        write_oas, _ = best_time(lambda: tw.write_layout(oas, top))
        del top
        # Loads alternate so that both readers meet the same heap: a reader timed right after
        # the other's result was freed (or after the writers ran) measures the allocator.
        load_twf = load_oas = math.inf
        for _ in range(REPEATS):
            start = time.perf_counter()
            loaded = tw.load_twf(twf)["components"]
            load_twf = min(load_twf, time.perf_counter() - start)
            assert loaded[0].name == "TOP" and len(loaded[0].references) == REFERENCES
            del loaded
            start = time.perf_counter()
            cells = tw.load_layout(oas)
            load_oas = min(load_oas, time.perf_counter() - start)
            assert len(cells["TOP"].references) == REFERENCES
            del cells
        print(f"{REFERENCES} references, {POLYGONS} polygons")
        print(f"write: twf {write_twf:6.3f} s  OASIS {write_oas:6.3f} s  ratio {write_twf / write_oas:5.2f}")
        print(f"load:  twf {load_twf:6.3f} s  OASIS {load_oas:6.3f} s  ratio {load_twf / load_oas:5.2f}")
        print(f"size:  twf {os.path.getsize(twf) / 1e6:6.1f} MB OASIS {os.path.getsize(oas) / 1e6:6.1f} MB")


if __name__ == "__main__":
    main()
