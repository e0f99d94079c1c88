"""Loading a flat lattice of rectangles with compaction: time, peak memory and references.

The file holds SIZE identical rectangles on a square lattice as individual BOUNDARY elements (no
arrays), written by klayout from a flattened array. It is loaded with compact=True, spilling to a
temporary directory beyond a small workspace. The file is written by a child process, so that
the peak resident size reported is that of the load alone (with the interpreter and modules).
Run: PYTHONPATH=<build>/python python benchmarks/bench_compaction.py [SIZE] [WORKSPACE_MIB]
(SIZE default 1,000,000; the full run uses 10,000,000.)
"""
import math
import os
import resource
import subprocess
import sys
import tempfile
import time



def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def write_lattice(path, size):
    import klayout.db as kdb

    side = math.isqrt(size)
    layout = kdb.Layout()
    layout.dbu = 0.001
    top, unit = layout.create_cell("TOP"), layout.create_cell("UNIT")
    unit.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 500, 300))
    top.insert(kdb.CellInstArray(unit.cell_index(), kdb.Trans(), kdb.Vector(1000, 0),
                                 kdb.Vector(0, 800), side, size // side))
    layout.flatten(top.cell_index(), -1, True)
    layout.write(path)


def main():
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    workspace = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    import tarnwhistle as tw

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "lattice.gds")
        start = time.perf_counter()
        subprocess.run([sys.executable, __file__, "--write", path, str(size)], check=True)
        written = time.perf_counter() - start
        print(f"{size:,} rectangles requested, {os.path.getsize(path) / 2**20:.0f} MiB file, "
              f"written in {written:.1f} s; peak before loading {peak_mib():.0f} MiB")

        spill = os.path.join(directory, "spill")
        os.mkdir(spill)
        tw.extension._compaction_workspace(workspace << 20)
        start = time.perf_counter()
        cells = tw.load_layout(path, compact=True, temp_dir=spill)
        loaded = time.perf_counter() - start
        top = cells["TOP"]
        instances = sum(r.columns * r.rows for r in top.references)
        print(f"loaded with compaction in {loaded:.1f} s, {workspace} MiB workspace: "
              f"{len(cells)} components, {len(top.references)} references covering "
              f"{instances:,} instances, {top.structure_count()} plain structures; "
              f"peak {peak_mib():.0f} MiB")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--write"]:
        write_lattice(sys.argv[2], int(sys.argv[3]))
    else:
        main()
