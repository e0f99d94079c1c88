"""Loading layout files into components: conversion, filters, naming and compaction."""

import os
import random
import re
import struct
import sys
import threading
import warnings

import pytest

import tarnwhistle as tw

gdstk = pytest.importorskip("gdstk")
kdb = pytest.importorskip("klayout.db")

SYNTHETIC = "_TARNWHISTLE_COMPACT_"


# ---- A minimal GDSII byte writer, for files the peers refuse to write ----------------------


def record(kind, data_type, payload=b""):
    return struct.pack(">HBB", 4 + len(payload), kind, data_type) + payload


def text_record(kind, text):
    data = text.encode()
    return record(kind, 6, data + b"\0" * (len(data) % 2))


def real8(value):
    if value == 0:
        return bytes(8)
    exponent, value = 64, abs(value)
    while value >= 1:
        value, exponent = value / 16, exponent + 1
    while value < 1 / 16:
        value, exponent = value * 16, exponent - 1
    return bytes([exponent]) + int(round(value * 2**56)).to_bytes(7, "big")


def xy(points):
    return record(0x10, 3, b"".join(struct.pack(">ii", x, y) for x, y in points))


def boundary(layer, points):
    points = list(points) + [points[0]]
    return record(0x08, 0) + record(0x0D, 2, struct.pack(">h", layer)) + record(
        0x0E, 2, struct.pack(">h", 0)) + xy(points) + record(0x11, 0)


def sref(name, origin):
    return record(0x0A, 0) + text_record(0x12, name) + xy([origin]) + record(0x11, 0)


def gds_bytes(cells):
    """cells: (name, [element records]) pairs; database unit 1 nm, user unit 1 µm."""
    stamp = struct.pack(">12h", *([124, 1, 1, 0, 0, 0] * 2))
    out = record(0x00, 2, struct.pack(">h", 600)) + record(0x01, 2, stamp)
    out += text_record(0x02, "LIB") + record(0x03, 5, real8(1e-3) + real8(1e-9))
    for name, elements in cells:
        out += record(0x05, 2, stamp) + text_record(0x06, name) + b"".join(elements)
        out += record(0x07, 0)
    return out + record(0x04, 0)


def write_bytes(path, data):
    path.write_bytes(data)
    return str(path)


def square(x, y, size=10):
    return [(x, y), (x + size, y), (x + size, y + size), (x, y + size)]


# ---- Helpers on loaded components ----------------------------------------------------------


def load(path, **kwargs):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Setting default technology")
        return tw.load_layout(path, **kwargs)


def flat_shapes(component):
    """Every flattened polygon as a sorted tuple of nm vertices, per layer, sorted."""
    shapes = {}
    for layer, items in component.get_structures().items():
        shapes[layer] = sorted(
            tuple(sorted((round(x * 1000), round(y * 1000)) for x, y in s.to_polygon().vertices))
            for s in items)
    return shapes


def region(component, layer):
    result = kdb.Region()
    for s in component.get_structures(layer):
        points = [kdb.Point(round(x * 1000), round(y * 1000)) for x, y in s.to_polygon().vertices]
        result.insert(kdb.Polygon(points))
    return result


def peer_region(path, cell, layer):
    layout = kdb.Layout()
    layout.read(path)
    shapes = layout.cell(cell).begin_shapes_rec(layout.layer(*layer))
    result = kdb.Region()
    while not shapes.at_end():  # copied out: the layout does not outlive this call
        result.insert(shapes.shape().polygon.transformed(shapes.trans()))
        shapes.next()
    return result


# ---- Conversion ------------------------------------------------------------------------------


@pytest.fixture
def mixed_file(tmp_path):
    lib = gdstk.Library(unit=1e-6, precision=1e-9)
    top, sub, other = lib.new_cell("TOP"), lib.new_cell("SUB"), lib.new_cell("OTHER")
    sub.add(gdstk.rectangle((0, 0), (1, 2), layer=2))
    other.add(gdstk.Polygon([(0, 0), (3, 0), (0, 3)], layer=1))
    triangle = gdstk.Polygon([(0, 0), (2, 0), (1, 1)], layer=2, datatype=1)
    triangle.set_gds_property(7, "seven")
    top.add(triangle)
    top.add(gdstk.rectangle((0, 0), (1, 1), layer=1))
    top.add(gdstk.FlexPath([(0, 0), (10, 0), (10, 10)], 0.5, ends="round", layer=3, simple_path=True))
    top.add(gdstk.FlexPath([(0, 5), (10, 5)], 0.4, ends="extended", layer=3, simple_path=True))
    top.add(gdstk.FlexPath([(0, 8), (10, 8)], 0.4, ends=(0.1, 0.3), layer=3, simple_path=True))
    top.add(gdstk.Label("hello", (1, 2), layer=4, texttype=2, rotation=3.141592653589793, magnification=2))
    top.add(gdstk.Reference(sub, (5, 5), rotation=1.5707963267948966, x_reflection=True))
    top.add(gdstk.Reference(sub, (5, 5), columns=3, rows=2, spacing=(10, 20)))
    path = str(tmp_path / "mixed.gds")
    lib.write_gds(path)
    return path


def test_elements_become_structures_labels_and_references(mixed_file):
    cells = load(mixed_file)
    assert set(cells) == {"TOP", "SUB", "OTHER"}
    top = cells["TOP"]
    assert all(c.name == name for name, c in cells.items())

    (rect,) = top.structures[(1, 0)]
    assert isinstance(rect, tw.Rectangle) and rect.size.tolist() == [1, 1]
    (triangle,) = top.structures[(2, 1)]
    assert isinstance(triangle, tw.Polygon)
    assert triangle.properties.S_GDS_PROPERTY == (7, b"seven")

    paths = {p.origin[1]: p for p in top.structures[(3, 0)]}
    assert paths[0].caps == ("round", "round")
    assert paths[5].caps == pytest.approx((0.5, 0.5))
    assert paths[8].caps == pytest.approx((0.25, 0.75))
    assert paths[0].scale_profile

    (label,) = top.labels[(4, 2)]
    assert label.text == "hello" and label.scaling == 2
    assert label.rotation == pytest.approx(180)

    turned, array = sorted(top.references, key=lambda r: r.columns)
    assert turned.component is cells["SUB"] and array.component is cells["SUB"]
    assert turned.rotation == pytest.approx(90) and turned.x_reflection
    assert (array.columns, array.rows, array.spacing.tolist()) == (3, 2, [10, 20])


def test_flattened_geometry_matches_the_peer(mixed_file):
    top = load(mixed_file)["TOP"]
    for layer in [(1, 0), (2, 0), (2, 1)]:
        assert (region(top, layer) ^ peer_region(mixed_file, "TOP", layer)).is_empty(), layer


def test_layer_and_cell_filters(mixed_file):
    technology = tw.basic_technology()
    by_tuple = load(mixed_file, layers=[(2, 0)])
    by_name = load(mixed_file, layers=["WG_CORE"], technology=technology)
    for cells in (by_tuple, by_name):
        assert set(cells["TOP"].structures) == set() and cells["TOP"].labels == {}
        assert set(cells["SUB"].structures) == {(2, 0)} and cells["OTHER"].structures == {}
    assert by_name["TOP"].technology is technology

    assert set(load(mixed_file, cell_names=["SUB"])) == {"SUB"}
    assert set(load(mixed_file, cell_names=("TOP",))) == {"TOP", "SUB"}
    with pytest.raises(RuntimeError, match="^cell 'NOPE' missing in layout$"):
        load(mixed_file, cell_names=["SUB", "NOPE"])
    with pytest.raises(TypeError, match="Items in 'cell_names' must be strings."):
        load(mixed_file, cell_names=[1])


def test_library_properties_and_post_load_function(mixed_file):
    cells, properties = load(mixed_file, library_properties=True)
    assert isinstance(properties, tw.Properties) and set(cells) == {"TOP", "SUB", "OTHER"}
    seen = []
    load(mixed_file, post_load_function=lambda c: seen.append(c.name))
    assert sorted(seen) == ["OTHER", "SUB", "TOP"]


def test_names_references_and_degenerate_polygons(tmp_path):
    data = gds_bytes([
        ("A", [boundary(1, square(0, 0)), sref("MISSING", (0, 0))]),
        ("A", [boundary(1, [(0, 0), (5, 0), (0, 0)]), sref("A", (1, 1))]),
        (SYNTHETIC + "0", [boundary(2, square(0, 0))]),
    ])
    with pytest.warns(RuntimeWarning, match="^layout polygon with fewer than three vertices was skipped$"):
        cells = tw.load_layout(write_bytes(tmp_path / "names.gds", data))
    assert set(cells) == {"A", "A_DUPLICATE_1", "MISSING", SYNTHETIC + "0"}
    assert cells["A_DUPLICATE_1"].structures == {}
    # References go to the first cell of a name; an undefined name becomes an empty cell.
    assert cells["A_DUPLICATE_1"].references[0].component is cells["A"]
    assert cells["MISSING"].structures == {} and cells["MISSING"].references == []
    # A cell that is only referenced cannot be requested.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(RuntimeError, match="^cell 'MISSING' missing in layout$"):
            load(str(tmp_path / "names.gds"), cell_names=["MISSING"])
        assert set(load(str(tmp_path / "names.gds"), cell_names=["A"])) == {"A", "MISSING"}


def test_reference_cycle(tmp_path):
    data = gds_bytes([("A", [sref("B", (0, 0))]), ("B", [sref("A", (5, 0))])])
    with pytest.raises(RuntimeError, match="^reference cycle detected$"):
        load(write_bytes(tmp_path / "cycle.gds", data))


# ---- Format detection and arguments ----------------------------------------------------------


@pytest.mark.parametrize("content, message", [
    (b"\x1f\x8b\x08\x00rest of it", "gzip input is not supported yet"),
    (b"%SEMI-OAS", "truncated OASIS magic"),
    (b"hello, layout", "unrecognized content signature"),
    (b"", "unrecognized content signature"),
])
def test_format_detection(tmp_path, content, message):
    path = write_bytes(tmp_path / "file.bin", content)
    with pytest.raises(RuntimeError, match=f"^layout format at byte 0: {message}$"):
        load(path)


def test_argument_errors(tmp_path, mixed_file):
    missing = str(tmp_path / "absent.gds")
    with pytest.raises(RuntimeError, match=f"^layout file {re.escape(missing)} at byte 0: No such file"):
        load(missing)
    for value in ("yes", 1, None):
        with pytest.raises(ValueError, match=r"^'compact' must be True, False, or 'auto'\.$"):
            load(mixed_file, compact=value)
    with pytest.raises(TypeError, match="'post_load_function' must be callable."):
        load(mixed_file, post_load_function=3)
    with pytest.raises(TypeError, match="Unable to get layer from 'layers'."):
        load(mixed_file, layers=[object()])


# ---- Compaction ------------------------------------------------------------------------------


def grid_file(path, columns=100, rows=100, skip=()):
    lib = gdstk.Library(unit=1e-6, precision=1e-9)
    top = lib.new_cell("TOP")
    for i in range(columns):
        for j in range(rows):
            if (i, j) not in skip:
                top.add(gdstk.rectangle((i * 3, j * 4), (i * 3 + 1, j * 4 + 2), layer=2))
    lib.write_gds(str(path))
    return str(path)


def test_grid_of_rectangles_becomes_one_array(tmp_path):
    path = grid_file(tmp_path / "grid.gds")
    seen = []
    cells = load(path, compact=True, post_load_function=lambda c: seen.append(c.name))
    assert set(cells) == {"TOP", SYNTHETIC + "0"} and sorted(seen) == sorted(cells)
    top, unit = cells["TOP"], cells[SYNTHETIC + "0"]
    assert top.structures == {}
    (array,) = top.references
    assert array.component is unit
    assert (array.columns, array.rows, array.spacing.tolist()) == (100, 100, [3, 4])
    assert array.origin.tolist() == [0, 0]
    (rect,) = unit.structures[(2, 0)]
    assert rect.center.tolist() == [0.5, 1] and rect.size.tolist() == [1, 2]
    # Below the size rule (and with "auto" for small files) nothing is compacted.
    assert SYNTHETIC + "0" not in load(path)
    assert SYNTHETIC + "0" not in load(path, compact="auto")


def mixed_lattice_file(path):
    rng = random.Random(5)
    lib = gdstk.Library(unit=1e-6, precision=1e-9)
    top, sub = lib.new_cell("TOP"), lib.new_cell("SUB")
    sub.add(gdstk.Polygon([(0, 0), (2, 0), (1, 1)], layer=1))
    holes = {(rng.randrange(40), rng.randrange(30)) for _ in range(60)}
    for i in range(40):
        for j in range(30):
            if (i, j) not in holes:
                top.add(gdstk.rectangle((i * 2, j * 3), (i * 2 + 1, j * 3 + 1), layer=2))
            if i < 5 and j < 6:  # repeated on the same spot
                top.add(gdstk.rectangle((i * 2, j * 3), (i * 2 + 1, j * 3 + 1), layer=2))
    for k in range(3):  # too short for a lattice: left over
        top.add(gdstk.rectangle((k * 7, -10), (k * 7 + 2, -9), layer=2))
    for _ in range(25):  # scattered copies of one shape
        x, y = rng.randrange(-500, 500), rng.randrange(-500, 500)
        top.add(gdstk.Polygon([(x, y), (x + 2, y), (x + 1, y + 1)], layer=3))
    for i in range(6):  # scalar references on a lattice, and some turned ones
        for j in range(5):
            top.add(gdstk.Reference(sub, (100 + 5 * i, 7 * j)))
            top.add(gdstk.Reference(sub, (200 + 5 * i, 7 * j), rotation=0.3))
    top.add(gdstk.Reference(sub, (-50, -50)))
    top.add(gdstk.Label("marker", (3, 4), layer=5))
    tagged = gdstk.rectangle((0, 0), (1, 1), layer=2)  # a lattice element, kept apart
    tagged.set_gds_property(3, "tag")
    top.add(tagged)
    lib.write_gds(str(path))
    return str(path)


def test_compaction_is_exact(tmp_path):
    path = mixed_lattice_file(tmp_path / "mixed.gds")
    plain, compact = load(path, compact=False), load(path, compact=True)
    assert set(plain) == {"TOP", "SUB"}
    synthetic = [name for name in compact if name.startswith(SYNTHETIC)]
    assert len(synthetic) >= 3
    assert flat_shapes(compact["TOP"]) == flat_shapes(plain["TOP"])
    for layer in [(1, 0), (2, 0), (3, 0)]:
        assert (region(compact["TOP"], layer) ^ peer_region(path, "TOP", layer)).is_empty()
    # The short row and the scattered shapes stay plain; scalar references are compacted.
    top = compact["TOP"]
    assert len(top.structures[(3, 0)]) == 25
    assert sum(s.y_min == -10 for s in top.structures[(2, 0)]) == 3
    arrays = [r for r in top.references if r.component.name.startswith(SYNTHETIC)]
    def instances(component):
        return sum(len(s) for s in component.structures.values()) + sum(
            r.columns * r.rows for r in component.references)
    assert instances(top) == instances(plain["TOP"])
    assert sum(1 for r in top.references if r.component is compact["SUB"]) == 1
    wrapped = [compact[n] for n in synthetic if compact[n].references]
    assert wrapped and all(c.references[0].component is compact["SUB"] for c in wrapped)


def test_spilling_to_temporary_files(tmp_path):
    path = mixed_lattice_file(tmp_path / "mixed.gds")
    expected = load(path, compact=True)
    spill_dir = tmp_path / "spill"
    spill_dir.mkdir()
    saved = tw.extension._compaction_workspace(256)
    try:
        spilled = load(path, compact=True, temp_dir=spill_dir)
        anonymous = load(path, compact=True)
        absent = tmp_path / "absent"
        with pytest.raises(RuntimeError, match=re.escape(
                f"Unable to create compact-layout spill file: {absent}/tarnwhistle_")):
            load(path, compact=True, temp_dir=str(absent))
    finally:
        assert tw.extension._compaction_workspace(saved) == 256
    assert os.listdir(spill_dir) == []
    for result in (spilled, anonymous):
        assert sorted(result) == sorted(expected)
        assert flat_shapes(result["TOP"]) == flat_shapes(expected["TOP"])
        assert len(result["TOP"].references) == len(expected["TOP"].references)


def flat_lattice_file(path, side):
    """side × side rectangles as separate elements, written by the peer from a flattened array."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top, unit = layout.create_cell("TOP"), layout.create_cell("UNIT")
    unit.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 500, 300))
    top.insert(kdb.CellInstArray(unit.cell_index(), kdb.Trans(), kdb.Vector(1000, 0),
                                 kdb.Vector(0, 800), side, side))
    layout.flatten(top.cell_index(), -1, True)
    layout.write(str(path))
    return str(path)


def test_interpreter_lock_is_released(tmp_path):
    path = flat_lattice_file(tmp_path / "big.gds", 500)
    ran, go = [], threading.Event()
    worker = threading.Thread(target=lambda: (go.wait(), ran.append(True)))
    worker.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)  # only a released lock lets the worker in
    try:
        go.set()
        load(path, compact=True)
        progressed = bool(ran)
    finally:
        sys.setswitchinterval(interval)
        worker.join()
    assert progressed


# ---- Arrays ------------------------------------------------------------------------------------


def test_arrays_along_the_axes_stay_arrays_others_expand(tmp_path):
    layout = kdb.Layout()
    layout.dbu = 0.001
    top, unit = layout.create_cell("TOP"), layout.create_cell("UNIT")
    unit.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 500, 300))
    index = unit.cell_index()
    top.insert(kdb.CellInstArray(index, kdb.Trans(), kdb.Vector(0, 1000), kdb.Vector(2000, 0), 3, 2))
    top.insert(kdb.CellInstArray(index, kdb.Trans(kdb.Vector(0, 9000)), kdb.Vector(1000, 500),
                                 kdb.Vector(0, 1500), 3, 4))
    path = str(tmp_path / "arrays.gds")
    layout.write(path)

    for compact in (False, True):
        top_loaded = load(path, compact=compact)["TOP"]
        assert (region(top_loaded, (1, 0)) ^ peer_region(path, "TOP", (1, 0))).is_empty()
    top_loaded = load(path)["TOP"]
    transposed = [r for r in top_loaded.references if r.columns * r.rows > 1]
    assert [(r.columns, r.rows, r.spacing.tolist()) for r in transposed] == [(2, 3, [2, 1])]
    assert len(top_loaded.references) == 1 + 12


def aref(name, columns, rows, points):
    return (record(0x0B, 0) + text_record(0x12, name) + record(0x13, 2, struct.pack(">hh", columns, rows))
            + xy(points) + record(0x11, 0))


def test_expansion_is_bounded(tmp_path):
    skewed = aref("UNIT", 32767, 32767, [(0, 0), (32767 * 10, 32767 * 5), (0, 32767 * 10)])
    data = gds_bytes([("UNIT", [boundary(1, square(0, 0))]), ("TOP", [skewed])])
    path = write_bytes(tmp_path / "huge.gds", data)
    for compact in (False, True):
        with pytest.raises(RuntimeError, match="^layout repetition count exceeds the configured bound$"):
            load(path, compact=compact)
    # Along the axes nothing is expanded, however large.
    straight = aref("UNIT", 32767, 32767, [(0, 0), (32767 * 10, 0), (0, 32767 * 10)])
    data = gds_bytes([("UNIT", [boundary(1, square(0, 0))]), ("TOP", [straight])])
    (array,) = load(write_bytes(tmp_path / "straight.gds", data))["TOP"].references
    assert (array.columns, array.rows) == (32767, 32767)
    # The step of a single column does not matter.
    column = aref("UNIT", 1, 3, [(0, 0), (7000, 9000), (0, 30000)])
    data = gds_bytes([("UNIT", [boundary(1, square(0, 0))]), ("TOP", [column])])
    (array,) = load(write_bytes(tmp_path / "column.gds", data))["TOP"].references
    assert (array.columns, array.rows, array.spacing.tolist()) == (1, 3, [0, 10])


def test_units_off_the_grid_are_not_compacted(tmp_path):
    lib = gdstk.Library(unit=1e-6, precision=1e-10)
    top = lib.new_cell("TOP")
    for i in range(10):
        top.add(gdstk.rectangle((i * 3, 0), (i * 3 + 1.0001, 2), layer=2))
    path = str(tmp_path / "fine.gds")
    lib.write_gds(path)
    with pytest.warns(RuntimeWarning, match="polygon vertices are snapped to config.grid"):
        cells = load(path, compact=True)
    assert set(cells) == {"TOP"} and len(cells["TOP"].structures[(2, 0)]) == 10


# ---- OASIS: repetitions of elements and placements ---------------------------------------------


@pytest.mark.parametrize("strict", [False, True])
def test_oasis_repetitions_expand_or_compact_exactly(tmp_path, strict):
    source = mixed_lattice_file(tmp_path / "mixed.gds")
    layout = kdb.Layout()
    layout.read(source)
    options = kdb.SaveLayoutOptions()
    options.format = "OASIS"
    options.oasis_compression_level = 10  # shape and placement repetitions
    options.oasis_strict_mode = strict  # name tables with references by number
    path = str(tmp_path / "mixed.oas")
    layout.write(path, options)

    plain, compact = load(path, compact=False), load(path, compact=True)
    assert set(plain) == {"TOP", "SUB"}
    assert any(name.startswith(SYNTHETIC) for name in compact)
    assert flat_shapes(compact["TOP"]) == flat_shapes(plain["TOP"])
    for layer in [(1, 0), (2, 0), (3, 0)]:
        assert (region(plain["TOP"], layer) ^ peer_region(source, "TOP", layer)).is_empty()
    for cells in (plain, compact):
        assert [label.text for label in cells["TOP"].labels[(5, 0)]] == ["marker"]
        (tagged,) = [s for s in cells["TOP"].structures[(2, 0)] if "S_GDS_PROPERTY" in s.properties.keys()]
        assert tagged.properties.S_GDS_PROPERTY == (3, b"tag")


def test_absolute_path_width_and_extensions(tmp_path):
    def path_element(width, extensions):
        fields = record(0x21, 2, struct.pack(">h", 4)) + record(0x0F, 3, struct.pack(">i", width))
        fields += record(0x30, 3, struct.pack(">i", extensions[0]))
        fields += record(0x31, 3, struct.pack(">i", extensions[1]))
        return (record(0x09, 0) + record(0x0D, 2, struct.pack(">h", 6)) + record(0x0E, 2, struct.pack(">h", 0))
                + fields + xy([(0, 0), (1000, 0)]) + record(0x11, 0))

    data = gds_bytes([("TOP", [path_element(-200, (50, 150)), path_element(400, (-100, 0))])])
    absolute, relative = load(write_bytes(tmp_path / "paths.gds", data))["TOP"].structures[(6, 0)]
    assert not absolute.scale_profile and relative.scale_profile
    assert absolute.caps == pytest.approx((0.25, 0.75)) and relative.caps == pytest.approx((-0.25, 0))
    (x0, y0), (x1, y1) = absolute.bounds()  # extended by a quarter and three quarters of 0.2
    assert (x0, y0, x1, y1) == pytest.approx((-0.05, -0.1, 1.15, 0.1))
