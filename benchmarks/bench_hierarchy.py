"""Hierarchy walks (bounds, gathering structures, flattening) and the memory of array references,
against gdstk.

Both libraries build the same layouts in one run: a 1,000 × 1,000 array of a small cell, a cell
holding 100,000 references, and a two-level layout of 10,000 instances. Printed ratios are our
time over gdstk's (below 1 means faster). The memory of a 1,000,000-instance array reference is
measured as the growth of the process's resident size.
Run: PYTHONPATH=<build>/python python benchmarks/bench_hierarchy.py
"""
import math
import time

import numpy as np

import tarnwhistle as tw

try:
    import gdstk
except ImportError:  # the comparison needs the peer library
    gdstk = None

REPEATS = 3
LAYER = (1, 0)
ROTATIONS = (0, 90, 180, 270, 30)
LEAF_POINTS = [(0, 0), (2, 0), (2.5, 1), (1, 1.5), (0, 1)]


def best_time(function, setup=None):
    """Best of REPEATS runs; `setup` builds a fresh argument outside the timing."""
    best, result = math.inf, None
    for _ in range(REPEATS):
        argument = setup() if setup else None
        start = time.perf_counter()
        value = function(argument) if setup else function()
        best = min(best, time.perf_counter() - start)
        result = value  # the previous result is released outside the timing
    return best, result


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


# ---- Layouts -------------------------------------------------------------------------------


def our_leaf(name="LEAF"):
    leaf = tw.Component(name)
    leaf.add(LAYER, tw.Rectangle((0, 0), (1, 0.5)), tw.Polygon(LEAF_POINTS))
    return leaf


def their_leaf(name="LEAF"):
    leaf = gdstk.Cell(name)
    leaf.add(gdstk.rectangle((0, 0), (1, 0.5), layer=1), gdstk.Polygon(LEAF_POINTS, layer=1))
    return leaf


def placements(count, seed=1):
    rng = np.random.default_rng(seed)
    origins = rng.uniform(-5000, 5000, (count, 2)).round(3)
    return [(tuple(o), ROTATIONS[i % len(ROTATIONS)]) for i, o in enumerate(origins)]


def our_array(columns, rows):
    top = tw.Component("TOP")
    top.add(tw.Reference(our_leaf(), (0, 0), 0, 1, False, columns, rows, (3, 2)))
    return top


def their_array(columns, rows):
    top = gdstk.Cell("TOP")
    top.add(gdstk.Reference(their_leaf(), (0, 0), columns=columns, rows=rows, spacing=(3, 2)))
    return top


def our_flat_hierarchy(count):
    leaf, top = our_leaf(), tw.Component("TOP")
    for origin, rotation in placements(count):
        top.add(tw.Reference(leaf, origin, rotation))
    return top


def their_flat_hierarchy(count):
    leaf, top = their_leaf(), gdstk.Cell("TOP")
    top.add(*(gdstk.Reference(leaf, origin, math.radians(rotation))
              for origin, rotation in placements(count)))
    return top


def our_two_levels(fanout):
    """fanout references to a middle cell that holds fanout references to the leaf."""
    leaf, middle, top = our_leaf(), tw.Component("MID"), tw.Component("TOP")
    for origin, rotation in placements(fanout, 2):
        middle.add(tw.Reference(leaf, origin, rotation))
    for origin, rotation in placements(fanout, 3):
        top.add(tw.Reference(middle, origin, rotation))
    return top


def their_two_levels(fanout):
    leaf, middle, top = their_leaf(), gdstk.Cell("MID"), gdstk.Cell("TOP")
    middle.add(*(gdstk.Reference(leaf, o, math.radians(r)) for o, r in placements(fanout, 2)))
    top.add(*(gdstk.Reference(middle, o, math.radians(r)) for o, r in placements(fanout, 3)))
    return top


# ---- Runs ----------------------------------------------------------------------------------


def compare(title, ours, theirs, our_setup=None, their_setup=None):
    our_time, our_result = best_time(ours, our_setup)
    line = f"{title}: ours {our_time:.4f} s"
    if gdstk is not None:
        their_time, their_result = best_time(theirs, their_setup)
        line += f", gdstk {their_time:.4f} s, ratio {our_time / their_time:.3f}"
        print(line)
        return our_result, their_result
    print(line)
    return our_result, None


def check_bounds(ours, theirs):
    if theirs is not None:
        difference = np.abs(np.asarray(ours) - np.asarray(theirs)).max()
        print(f"    bounds agree within {difference:.1e}")


def main():
    array, peer_array = our_array(1000, 1000), gdstk and their_array(1000, 1000)
    ours, theirs = compare("bounds of a 1000 x 1000 array", array.bounds,
                           peer_array and peer_array.bounding_box)
    check_bounds(ours, theirs)

    flat, peer_flat = our_flat_hierarchy(100_000), gdstk and their_flat_hierarchy(100_000)
    ours, theirs = compare("bounds of 100,000 references", flat.bounds,
                           peer_flat and peer_flat.bounding_box)
    check_bounds(ours, theirs)

    layout, peer_layout = our_two_levels(100), gdstk and their_two_levels(100)
    ours, theirs = compare("bounds of 10,000 instances in two levels", layout.bounds,
                           peer_layout and peer_layout.bounding_box)
    check_bounds(ours, theirs)
    ours, theirs = compare(
        "get_structures(depth=-1) of 10,000 instances",
        lambda: layout.get_structures(LAYER),
        peer_layout and (lambda: peer_layout.get_polygons(layer=1, datatype=0)))
    print(f"    {len(ours)} structures" + (f" vs {len(theirs)} polygons" if theirs else ""))
    compare("flatten of 10,000 instances", lambda c: c.flatten(), lambda c: c.flatten(),
            lambda: our_two_levels(100), gdstk and (lambda: their_two_levels(100)))

    before = resident_bytes()
    huge = tw.Reference(our_leaf(), columns=1000, rows=1000, spacing=(3, 2))
    lower, upper = huge.bounds()
    grown = resident_bytes() - before
    print(f"a 1,000,000-instance array reference grows the resident size by {grown / 1024:.0f} KiB"
          f" (bounds {lower.tolist()} to {upper.tolist()})")


if __name__ == "__main__":
    main()
