"""Layout file writing and reading against gdstk and KLayout.

All three libraries hold the same cell: 1,000,000 rectangles on 4 layers and 20,000 circles
(polygons in GDSII; gdstk and KLayout write their circles as polygons in OASIS too). Each
library writes and reads GDSII and OASIS (compression level 6 where the library has levels);
printed ratios are our time over the peer's (below 1 means faster), and the file sizes are
listed side by side.
Run: PYTHONPATH=<build>/python python benchmarks/bench_layout_files.py [rectangles]
"""
import math
import os
import sys
import tempfile
import time
import warnings

import numpy as np

import tarnwhistle as tw

try:
    import gdstk
except ImportError:
    gdstk = None
try:
    import klayout.db as kdb
except ImportError:
    kdb = None

REPEATS = 3
RECTANGLES = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
CIRCLES = RECTANGLES // 50
LAYERS = [(1, 0), (2, 0), (3, 0), (4, 0)]


def best_time(function):
    best = math.inf
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def geometry(seed=7):
    rng = np.random.default_rng(seed)
    corners = np.round(rng.uniform(0, 5000, (RECTANGLES, 2)), 3)
    sizes = np.round(rng.uniform(0.1, 3, (RECTANGLES, 2)), 3)
    centers = np.round(rng.uniform(0, 5000, (CIRCLES, 2)), 3)
    radii = np.round(rng.uniform(0.5, 2, CIRCLES), 3)
    return corners, sizes, centers, radii


def ours(corners, sizes, centers, radii):
    cell = tw.Component("TOP")
    for i, layer in enumerate(LAYERS):
        part = slice(i, None, len(LAYERS))
        cell.add(layer, *[tw.Rectangle(tuple(c), tuple(c + s))
                          for c, s in zip(corners[part], sizes[part])])
    cell.add((5, 0), *[tw.Circle(r, center=tuple(c)) for c, r in zip(centers, radii)])
    return cell


def gdstk_library(corners, sizes, centers, radii):
    library = gdstk.Library(unit=1e-6, precision=1e-9)
    cell = library.new_cell("TOP")
    for i, (layer, datatype) in enumerate(LAYERS):
        part = slice(i, None, len(LAYERS))
        cell.add(*[gdstk.rectangle(tuple(c), tuple(c + s), layer=layer, datatype=datatype)
                   for c, s in zip(corners[part], sizes[part])])
    cell.add(*[gdstk.ellipse(tuple(c), r, tolerance=0.01, layer=5) for c, r in zip(centers, radii)])
    return library


def klayout_layout(corners, sizes, centers, radii):
    layout = kdb.Layout()
    layout.dbu = 0.001
    cell = layout.create_cell("TOP")
    for i, (layer, datatype) in enumerate(LAYERS):
        shapes = cell.shapes(layout.layer(layer, datatype))
        for c, s in zip(corners[i::len(LAYERS)], sizes[i::len(LAYERS)]):
            shapes.insert(kdb.DBox(c[0], c[1], c[0] + s[0], c[1] + s[1]))
    shapes = cell.shapes(layout.layer(5, 0))
    for c, r in zip(centers, radii):
        box = kdb.DBox(c[0] - r, c[1] - r, c[0] + r, c[1] + r)
        shapes.insert(kdb.DPolygon.ellipse(box, 64))
    return layout


def klayout_options(oasis):
    options = kdb.SaveLayoutOptions()
    options.format = "OASIS" if oasis else "GDS2"
    if oasis:
        options.oasis_write_cblocks = True
        options.oasis_strict_mode = False
    return options


def main():
    tw.config.grid = 0.001
    warnings.simplefilter("ignore")
    data = geometry()
    directory = tempfile.mkdtemp(prefix="tarnwhistle_bench_")
    path = lambda name: os.path.join(directory, name)

    cell = ours(*data)
    rows = []  # (operation, ours, {peer: seconds})
    sizes = {}

    def measure(label, our_call, peer_calls, files):
        our_time = best_time(our_call)
        peer_times = {name: best_time(call) for name, call in peer_calls.items()}
        rows.append((label, our_time, peer_times))
        for name, file in files.items():
            sizes.setdefault(label.split()[0], {})[name] = os.path.getsize(file)

    library = gdstk_library(*data) if gdstk else None
    layout = klayout_layout(*data) if kdb else None

    gds_peers, gds_files = {}, {"tarnwhistle": path("ours.gds")}
    if library:
        gds_peers["gdstk"] = lambda: library.write_gds(path("gdstk.gds"))
        gds_files["gdstk"] = path("gdstk.gds")
    if layout:
        gds_peers["klayout"] = lambda: layout.write(path("klayout.gds"), klayout_options(False))
        gds_files["klayout"] = path("klayout.gds")
    measure("GDSII write", lambda: cell.write_gds(path("ours.gds")), gds_peers, gds_files)

    read_peers = {}
    if gdstk:
        read_peers["gdstk"] = lambda: gdstk.read_gds(path("ours.gds"))
    if kdb:
        read_peers["klayout"] = lambda: kdb.Layout().read(path("ours.gds"))
    measure("GDSII read", lambda: tw.load_layout(path("ours.gds")), read_peers, {})

    oas_peers, oas_files = {}, {"tarnwhistle": path("ours.oas")}
    if library:
        oas_peers["gdstk"] = lambda: library.write_oas(path("gdstk.oas"), compression_level=6)
        oas_files["gdstk"] = path("gdstk.oas")
    if layout:
        oas_peers["klayout"] = lambda: layout.write(path("klayout.oas"), klayout_options(True))
        oas_files["klayout"] = path("klayout.oas")
    measure("OASIS write", lambda: cell.write_oas(path("ours.oas"), compression_level=6),
            oas_peers, oas_files)

    read_peers = {}
    if gdstk:
        read_peers["gdstk"] = lambda: gdstk.read_oas(path("ours.oas"))
    if kdb:
        read_peers["klayout"] = lambda: kdb.Layout().read(path("ours.oas"))
    measure("OASIS read", lambda: tw.load_layout(path("ours.oas")), read_peers, {})

    print(f"{RECTANGLES:,} rectangles on {len(LAYERS)} layers and {CIRCLES:,} circles, "
          f"best of {REPEATS}")
    for label, our_time, peer_times in rows:
        ratios = "  ".join(f"{name} {t:7.3f} s (ratio {our_time / t:5.2f})"
                           for name, t in peer_times.items())
        print(f"{label:12} tarnwhistle {our_time:7.3f} s  {ratios}")
        if peer_times:
            print(f"{'':12} ratio to the faster peer: {our_time / min(peer_times.values()):5.2f}")
    for kind, files in sizes.items():
        listing = "  ".join(f"{name} {size / 1e6:8.2f} MB" for name, size in files.items())
        print(f"{kind} file sizes: {listing}")
    for name in os.listdir(directory):
        os.remove(os.path.join(directory, name))
    os.rmdir(directory)


if __name__ == "__main__":
    main()
