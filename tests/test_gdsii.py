"""GDSII files: what the writer puts in them (checked record by record and through KLayout and
gdstk), polygon fracturing against shapely, and the reader on files from the peers and on
hand-made and corrupted byte strings."""
import contextlib
import math
import random
import re
import struct
import time
import warnings

import numpy as np
import pytest

import tarnwhistle as tw

kdb = pytest.importorskip("klayout.db")
gdstk = pytest.importorskip("gdstk")
shapely = pytest.importorskip("shapely")
from shapely.geometry import Polygon as ShapelyPolygon  # noqa: E402
from shapely.ops import unary_union  # noqa: E402

BOUNDARY, PATH, SREF, AREF, TEXT = 0x08, 0x09, 0x0A, 0x0B, 0x0C
LAYER, DATATYPE, WIDTH, XY, ENDEL, SNAME, COLROW = 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13
TEXTTYPE, PRESENTATION, STRING, STRANS, MAG, ANGLE = 0x16, 0x17, 0x19, 0x1A, 0x1B, 0x1C
PATHTYPE, PROPATTR, PROPVALUE, BGNEXTN, ENDEXTN = 0x21, 0x2B, 0x2C, 0x30, 0x31


# ---- Raw records ------------------------------------------------------------------------------

def decode_real(data):
    if not any(data):
        return 0.0
    sign = -1 if data[0] & 0x80 else 1
    mantissa = int.from_bytes(data[1:8], "big")
    return sign * mantissa / 2**56 * 16.0 ** ((data[0] & 0x7F) - 64)


def encode_real(value):
    if value == 0:
        return bytes(8)
    sign = 0x80 if value < 0 else 0
    value = abs(value)
    exponent = 64
    while value >= 1:
        value /= 16
        exponent += 1
    while value < 1 / 16:
        value *= 16
        exponent -= 1
    return bytes([sign | exponent]) + round(value * 2**56).to_bytes(7, "big")


def records(data):
    """(type, data type, payload) of each record up to ENDLIB."""
    result, offset = [], 0
    while offset < len(data):
        length, kind, dtype = struct.unpack(">HBB", data[offset:offset + 4])
        result.append((kind, dtype, data[offset + 4:offset + length]))
        offset += length
        if kind == 0x04:
            break
    return result


def values(record):
    kind, dtype, payload = record
    if dtype == 2:
        return list(struct.unpack(f">{len(payload) // 2}h", payload))
    if dtype == 3:
        return list(struct.unpack(f">{len(payload) // 4}i", payload))
    if dtype == 5:
        return [decode_real(payload[i:i + 8]) for i in range(0, len(payload), 8)]
    return payload


def record(kind, dtype=0, payload=b""):
    return struct.pack(">HBB", len(payload) + 4, kind, dtype) + payload


def shorts(kind, *numbers):
    return record(kind, 2, struct.pack(f">{len(numbers)}h", *numbers))


def longs(kind, *numbers):
    return record(kind, 3, struct.pack(f">{len(numbers)}i", *numbers))


def text(kind, value):
    value = value.encode() if isinstance(value, str) else value
    return record(kind, 6, value + b"\0" * (len(value) % 2))


def reals(kind, *numbers):
    return record(kind, 5, b"".join(encode_real(v) for v in numbers))


def written(tmp_path, *components, name="t.gds", **options):
    path = tmp_path / name
    tw.write_layout(path, *components, **options)
    return path


def element_records(data, start):
    """Records of every element of the given start type, one list per element."""
    result, current = [], None
    for rec in records(data):
        if rec[0] == start:
            current = []
        elif current is not None:
            if rec[0] == ENDEL:
                result.append(current)
                current = None
            else:
                current.append(rec)
    return result


# ---- Peers ------------------------------------------------------------------------------------

def klayout_region(path, cell, layer):
    layout = kdb.Layout()
    layout.read(str(path))
    index = layout.find_layer(*layer)
    region = kdb.Region()
    if index is not None:
        # A copy that outlives the layout.
        region.insert(kdb.Region(layout.cell(cell).begin_shapes_rec(index)).merged())
    return region


def own_region(component, layer, dbu=0.001):
    region = kdb.Region()
    for structure in component.get_structures(layer):
        polygon = structure.to_polygon()
        hull = kdb.Polygon([kdb.Point(round(x / dbu), round(y / dbu)) for x, y in polygon.vertices])
        for hole in polygon.holes:
            hull.insert_hole([kdb.Point(round(x / dbu), round(y / dbu)) for x, y in hole])
        region.insert(hull)
    return region


def same_geometry(path, component, layers, tolerance=0):
    """Equal regions, up to slivers `tolerance` database units thin (curves sampled in a
    different frame, rounded mitre points)."""
    for layer in layers:
        theirs = klayout_region(path, component.name, layer)
        ours = own_region(component, layer)
        difference = (theirs ^ ours).sized(-tolerance) if tolerance else theirs ^ ours
        assert not theirs.is_empty() and difference.is_empty(), layer


@pytest.fixture
def tech():
    return tw.basic_technology()


@pytest.fixture
def grid():
    saved = tw.config.grid
    yield
    tw.config.grid = saved


def device(tech):
    leaf = tw.Component("LEAF", technology=tech)
    leaf.add((1, 0), tw.Rectangle((0, 0), (2, 1)), tw.Polygon([(0, 0), (1, 2), (-1, 3)]))
    leaf.add((2, 0), tw.Circle(0.75, (4, 1)))
    return leaf


# ---- Writer -----------------------------------------------------------------------------------

class TestLibraryFrame:
    def test_empty_component_list(self, tmp_path):
        data = written(tmp_path, library_name="ABC").read_bytes()
        kinds = [r[0] for r in records(data)]
        assert kinds == [0x00, 0x01, 0x02, 0x03, 0x04]
        header, bgnlib, libname, units, _ = records(data)
        assert values(header) == [600]
        stamp = values(bgnlib)
        assert len(stamp) == 12 and stamp[:6] == stamp[6:]
        now = time.localtime()
        # Years since 1900; the write happened a moment ago.
        assert stamp[0] in (now.tm_year - 1900, now.tm_year - 1901) and 1 <= stamp[1] <= 12
        # Odd names gain one NUL.
        assert libname[2] == b"ABC\0"
        assert units[1] == 5 and len(units[2]) == 16
        assert values(units) == pytest.approx([1e-3, 1e-9], rel=1e-15)
        assert gdstk.read_gds(tmp_path / "t.gds").cells == []

    @pytest.mark.parametrize("grid_value", [0.001, 0.005, 0.00004, 1.0])
    def test_units_follow_the_grid(self, tmp_path, tech, grid, grid_value):
        tw.config.grid = grid_value
        data = written(tmp_path, device(tech)).read_bytes()
        units = values(records(data)[3])
        assert units == pytest.approx([grid_value, grid_value * 1e-6], rel=1e-15)
        lib = gdstk.read_gds(tmp_path / "t.gds")
        assert lib.precision == pytest.approx(grid_value * 1e-6, rel=1e-15)

    def test_cells_and_layers_in_order(self, tmp_path, tech):
        leaf = device(tech)
        top = tw.Component("TOP", technology=tech)
        top.add((3, 1), tw.Rectangle((0, 0), (1, 1)))
        top.add((3, 0), tw.Rectangle((0, 0), (1, 1)))
        top.add((1, 5), tw.Rectangle((0, 0), (1, 1)))
        top.add_reference(tw.Reference(leaf, (10, 0)))
        data = written(tmp_path, top).read_bytes()
        names = [r[2].rstrip(b"\0") for r in records(data) if r[0] == 0x06]
        assert names == [b"TOP", b"LEAF"]
        top_records = records(data)[: [r[0] for r in records(data)].index(0x07)]
        layers = [(values(r)[0], values(n)[0]) for r, n in zip(top_records, top_records[1:])
                  if r[0] == LAYER]
        assert layers == [(1, 5), (3, 0), (3, 1)]


class TestGeometry:
    def test_hierarchy_matches_klayout(self, tmp_path, tech):
        leaf = device(tech)
        top = tw.Component("TOP", technology=tech)
        top.add((1, 0), tw.Polygon([(0, 0), (10, 0), (10, 10), (0, 10)],
                                   [[(2, 2), (4, 2), (4, 4), (2, 4)], [(6, 6), (8, 6), (7, 9)]]))
        top.add_reference(tw.Reference(leaf, (3, 4), rotation=90, x_reflection=True))
        top.add_reference(tw.Reference(leaf, (-20, 5), rotation=90, columns=3, rows=2,
                                       spacing=(5, 7)))
        top.add_reference(tw.Reference(leaf, (40, -5), rotation=45, scaling=1.5, columns=2,
                                       rows=3, spacing=(6, 5)))
        top.add_reference(tw.Reference(leaf, (0, 60), rotation=-180, scaling=0.5, columns=2,
                                       spacing=(10, 0)))
        path = written(tmp_path, top)
        same_geometry(path, top, [(1, 0)])
        same_geometry(path, top, [(2, 0)], tolerance=5)
        # No polygon keeps a hole.
        lib = gdstk.read_gds(path)
        assert all(len(p.points) >= 3 for c in lib.cells for p in c.polygons)
        assert sorted(c.name for c in lib.cells) == ["LEAF", "TOP"]

    def test_arrays(self, tmp_path, tech):
        leaf = device(tech)
        top = tw.Component("TOP", technology=tech)
        top.add_reference(tw.Reference(leaf, (1, 2), rotation=90, columns=2, rows=3,
                                       spacing=(5, 7)))
        top.add_reference(tw.Reference(leaf, (1, 2), rotation=45, columns=2, rows=3,
                                       spacing=(5, 7)))
        path = written(tmp_path, top)
        data = path.read_bytes()
        arefs = element_records(data, AREF)
        srefs = element_records(data, SREF)
        assert len(arefs) == 1 and len(srefs) == 6
        colrow = [values(r) for r in arefs[0] if r[0] == COLROW]
        xy = [values(r) for r in arefs[0] if r[0] == XY]
        assert colrow == [[2, 3]]
        assert xy == [[1000, 2000, 11000, 2000, 1000, 23000]]
        origins = sorted(tuple(values(r)) for s in srefs for r in s if r[0] == XY)
        assert origins == sorted((1000 + 5000 * c, 2000 + 7000 * r)
                                 for c in range(2) for r in range(3))
        same_geometry(path, top, [(1, 0)])
        same_geometry(path, top, [(2, 0)], tolerance=5)
        layout = kdb.Layout()
        layout.read(str(path))
        instances = list(layout.cell("TOP").each_inst())
        assert sum(i.is_regular_array() for i in instances) == 1 and len(instances) == 7

    def test_array_limits(self, tmp_path, tech):
        top = tw.Component("TOP", technology=tech)
        top.add_reference(tw.Reference(device(tech), columns=65536, rows=1, spacing=(5, 0)))
        with pytest.raises(RuntimeError, match="GDSII array reference exceeds 65535 columns or rows$"):
            written(tmp_path, top)

    def test_long_polygon_splits_xy(self, tmp_path, tech):
        angles = np.linspace(0, 2 * np.pi, 9000, endpoint=False)
        ring = np.column_stack([1000 * np.cos(angles), 1000 * np.sin(angles)]).round(3)
        component = tw.Component("BIG", technology=tech)
        component.add((1, 0), tw.Polygon(ring))
        path = written(tmp_path, component)
        (boundary,) = element_records(path.read_bytes(), BOUNDARY)
        counts = [len(r[2]) // 8 for r in boundary if r[0] == XY]
        assert counts == [8191, 810]
        (polygon,) = gdstk.read_gds(path).cells[0].polygons
        assert len(polygon.points) == 9000
        assert np.allclose(polygon.points, ring, atol=1e-9)

    def test_half_grid_rounds_away_from_zero(self, tmp_path, tech, grid):
        component = tw.Component("HALF", technology=tech)
        component.add((1, 0), tw.Polygon([(0.001, 0.003), (1.001, -0.001), (-0.003, 1.005)]))
        # A coarser grid for the file only: the polygon keeps its finer vertices.
        tw.config.grid = 0.002
        (boundary,) = element_records(written(tmp_path, component).read_bytes(), BOUNDARY)
        xy = [values(r) for r in boundary if r[0] == XY]
        assert xy == [[1, 2, 501, -1, -2, 503, 1, 2]]

    def test_coordinate_range(self, tmp_path, tech):
        limit = (2**31 - 1) / 1000
        fits = tw.Component("FITS", technology=tech)
        fits.add((1, 0), tw.Rectangle((-limit, -limit), (limit, limit)))
        lib = gdstk.read_gds(written(tmp_path, fits))
        assert np.abs(lib.cells[0].polygons[0].points).max() == pytest.approx(limit)
        beyond = tw.Component("BEYOND", technology=tech)
        beyond.add((1, 0), tw.Rectangle((0, 0), (limit + 0.001, 1)))
        with pytest.raises(RuntimeError, match=r"^GDSII x coordinate at byte \d+: GDSII coordinate "
                                               r"exceeds the 32-bit coordinate range$"):
            written(tmp_path, beyond)

    def test_large_layers(self, tmp_path, tech):
        component = tw.Component("L", technology=tech)
        component.add((70000, 65535), tw.Rectangle((0, 0), (1, 1)))
        component.add((65535, 70001), tw.Label("x"))
        data = written(tmp_path, component).read_bytes()
        tags = [(r[0], r[1], values(r)) for r in records(data) if r[0] in (LAYER, DATATYPE, TEXTTYPE)]
        assert tags == [(LAYER, 3, [70000]), (DATATYPE, 2, [-1]), (LAYER, 2, [-1]),
                        (TEXTTYPE, 3, [70001])]
        cell = gdstk.read_gds(tmp_path / "t.gds").cells[0]
        assert (cell.polygons[0].layer, cell.polygons[0].datatype) == (70000, 65535)
        assert (cell.labels[0].layer, cell.labels[0].texttype) == (65535, 70001)


class TestFracture:
    @staticmethod
    def star(points, seed):
        rng = random.Random(seed)
        angles = sorted(rng.uniform(0, 2 * math.pi) for _ in range(points))
        return [(round(r * math.cos(a), 3), round(r * math.sin(a), 3))
                for a, r in ((a, rng.uniform(20, 50)) for a in angles)]

    def test_limit_four_disables_five_fractures(self, tmp_path, tech):
        ring = [(0, 0), (4, 0), (4, 1), (3, 1), (3, 2), (2, 2), (2, 3), (1, 3), (1, 4), (0, 4)]
        component = tw.Component("F", technology=tech)
        component.add((1, 0), tw.Polygon(ring))
        for limit, count in ((0, 1), (4, 1), (10, 1)):
            data = written(tmp_path, component, fracture_limit=limit).read_bytes()
            assert len(element_records(data, BOUNDARY)) == count
        path = written(tmp_path, component, fracture_limit=5)
        pieces = element_records(path.read_bytes(), BOUNDARY)
        assert len(pieces) > 1
        assert all(len(values(r)) // 2 - 1 <= 5 for p in pieces for r in p if r[0] == XY)
        same_geometry(path, component, [(1, 0)])

    @pytest.mark.parametrize("seed", range(6))
    def test_random_polygons_with_holes(self, tmp_path, tech, seed):
        outer = self.star(40 + 10 * seed, seed)
        rng = random.Random(seed)
        holes = []
        for k in range(1 + seed % 3):
            cx, cy = rng.uniform(-8, 8), rng.uniform(-8, 8)
            holes.append([(round(cx + dx, 3), round(cy + dy, 3))
                          for dx, dy in ((-2, -2), (2, -1.5), (1.5, 2), (-1, 1.5))][::-1])
            holes[-1] = [(x + 12 * k - 12, y) for x, y in holes[-1]]
        expected = ShapelyPolygon(outer, holes)
        assert expected.is_valid
        component = tw.Component("R", technology=tech)
        component.add((1, 0), tw.Polygon(outer, holes))
        limit = 5 + seed * 3
        lib = gdstk.read_gds(written(tmp_path, component, fracture_limit=limit))
        pieces = [ShapelyPolygon(p.points) for p in lib.cells[0].polygons]
        # Pieces may touch themselves at a vertex, never overlap themselves.
        assert all(len(p.exterior.coords) - 1 <= limit for p in pieces)
        assert all(p.area > 0 and p.buffer(0).area == pytest.approx(p.area) for p in pieces)
        assert sum(p.area for p in pieces) == pytest.approx(expected.area, rel=1e-5)
        # Cut points are rounded to the grid: each piece's edges are within half a step of the
        # outline.
        slack = 0.0005 * sum(p.length for p in pieces)
        assert unary_union(pieces).symmetric_difference(expected).area < slack

    def test_curves_and_rings(self, tmp_path, tech):
        component = tw.Component("C", technology=tech)
        component.add((1, 0), tw.Circle(20, (3, -4)), tw.Circle((30, 12), (60, 0), inner_radius=(20, 5)))
        component.add((2, 0), tw.Path((0, 0), 2).arc(0, 270, 15, euler_fraction=0))
        path = written(tmp_path, component, fracture_limit=8)
        lib = gdstk.read_gds(path)
        assert len(lib.cells[0].polygons) > 20
        assert all(len(p.points) <= 8 for p in lib.cells[0].polygons)
        same_geometry(path, component, [(1, 0), (2, 0)], tolerance=1)

    def test_holes_alone_are_removed(self, tmp_path, tech):
        component = tw.Component("H", technology=tech)
        component.add((1, 0), tw.Polygon([(0, 0), (9, 0), (9, 9), (0, 9)],
                                         [[(3, 3), (6, 3), (6, 6), (3, 6)]]))
        # A hole one grid step wide is opened as well.
        component.add((2, 0), tw.Polygon([(0, 0), (1, 0), (1, 1), (0, 1)],
                                         [[(0.5, 0.5), (0.501, 0.5), (0.501, 0.501), (0.5, 0.501)]]))
        path = written(tmp_path, component)
        same_geometry(path, component, [(1, 0), (2, 0)])
        cell = gdstk.read_gds(path).cells[0]
        areas = {}
        for p in cell.polygons:
            areas[p.layer] = areas.get(p.layer, 0) + abs(p.area())
        assert areas == pytest.approx({1: 72, 2: 1 - 1e-6})


class TestPaths:
    @pytest.mark.parametrize("caps, pathtype, ends", [
        ((0, 0), 0, "flush"), ("round", 1, "round"), ((0.5, 0.5), 2, "extended"),
        ((0.25, 1.5), 4, (0.25, 1.5))])
    def test_path_types(self, tmp_path, tech, caps, pathtype, ends):
        component = tw.Component("P", technology=tech)
        component.add((1, 0), tw.Path((0, 0), 2, caps=caps).segment([(10, 0), (10, 10), (20, 15)]))
        path = written(tmp_path, component, paths_to_polygons=False)
        (element,) = element_records(path.read_bytes(), PATH)
        fields = {r[0]: values(r) for r in element}
        assert fields[PATHTYPE] == [pathtype] and fields[WIDTH] == [2000]
        assert fields[XY] == [0, 0, 10000, 0, 10000, 10000, 20000, 15000]
        if pathtype == 4:
            assert fields[BGNEXTN] == [500] and fields[ENDEXTN] == [3000]
        else:
            assert BGNEXTN not in fields and ENDEXTN not in fields
        (flexpath,) = gdstk.read_gds(path).cells[0].paths
        assert flexpath.ends[0] == (ends if pathtype != 4 else (0.5, 3.0))
        layout = kdb.Layout()
        layout.read(str(path))
        (shape,) = layout.cell("P").shapes(layout.layer(1, 0)).each()
        assert shape.is_path() and shape.path.width == 2000
        if pathtype != 1:
            # KLayout's outline of the path is the path's own outline.
            difference = kdb.Region(shape.path.polygon()) ^ own_region(component, (1, 0))
            assert difference.sized(-1).is_empty()

    def test_paths_kept_as_polygons(self, tmp_path, tech):
        component = tw.Component("P", technology=tech)
        component.add((1, 0), tw.Path((0, 0), 1, caps=(0, "round")).segment((5, 0)))  # mixed caps
        component.add((2, 0), tw.Path((0, 0), 1).arc(0, 90, 5, euler_fraction=0))
        component.add((3, 0), tw.Path((0, 0), 1).segment((5, 0), width=2))
        component.add((4, 0), tw.Path((0, 0), 1, offset=0.5).segment((5, 0)))
        component.add((5, 0), tw.Path((0, 0), 1).segment([(5, 0), (5, 5)], join_limit="round"))
        kept = written(tmp_path, component, paths_to_polygons=False).read_bytes()
        assert element_records(kept, PATH) == []
        assert len(element_records(kept, BOUNDARY)) == 5
        same_geometry(tmp_path / "t.gds", component, [(i, 0) for i in range(1, 6)], tolerance=1)
        simple = tw.Component("S", technology=tech)
        simple.add((1, 0), tw.Path((0, 0), 1).segment((5, 0)))
        assert element_records(written(tmp_path, simple).read_bytes(), PATH) == []

    def test_absolute_width_and_grid(self, tmp_path, tech, grid):
        component = tw.Component("P", technology=tech)
        component.add((1, 0), tw.Path((0, 0), 0.5, scale_profile=False).segment((5, 0)))
        (element,) = element_records(
            written(tmp_path, component, paths_to_polygons=False).read_bytes(), PATH)
        assert [values(r) for r in element if r[0] == WIDTH] == [[-500]]
        tw.config.grid = 0.002
        odd = tw.Component("Q", technology=tech)
        odd.add((1, 0), tw.Path((0, 0), 0.1, caps=(0.33, 0.5)).segment((5, 0)))
        with pytest.raises(RuntimeError, match="^GDSII path beginning extension at byte"):
            written(tmp_path, odd, paths_to_polygons=False)


class TestLabels:
    @pytest.mark.parametrize("anchor, code", [
        ("NW", 0), ("N", 1), ("NE", 2), ("W", 4), ("O", 5), ("E", 6), ("SW", 8), ("S", 9),
        ("SE", 10)])
    def test_anchor(self, tmp_path, tech, anchor, code):
        component = tw.Component("T", technology=tech)
        component.add((5, 2), tw.Label("hi", (1, -2), anchor=anchor))
        path = written(tmp_path, component)
        (element,) = element_records(path.read_bytes(), TEXT)
        kinds = [r[0] for r in element]
        assert kinds == [LAYER, TEXTTYPE, PRESENTATION, XY, STRING]
        assert values(element[2]) == struct.pack(">H", code)
        (label,) = gdstk.read_gds(path).cells[0].labels
        assert label.anchor == anchor.lower()
        assert (label.layer, label.texttype, label.text) == (5, 2, "hi")
        assert label.origin == pytest.approx((1, -2))

    def test_transformation(self, tmp_path, tech):
        component = tw.Component("T", technology=tech)
        component.add((1, 0), tw.Label("abc", (3, 4), rotation=30, scaling=2.5, x_reflection=True))
        component.add((1, 0), tw.Label("m", rotation=0, scaling=3))
        component.add((1, 0), tw.Label("r", x_reflection=True))
        path = written(tmp_path, component)
        transforms = [[(r[0], values(r)) for r in e if r[0] in (STRANS, MAG, ANGLE)]
                      for e in element_records(path.read_bytes(), TEXT)]
        assert transforms == [
            [(STRANS, b"\x80\x00"), (MAG, [2.5]), (ANGLE, [pytest.approx(30, abs=1e-13)])],
            [(STRANS, b"\x00\x00"), (MAG, [3.0])],
            [(STRANS, b"\x80\x00")]]
        first = gdstk.read_gds(path).cells[0].labels[0]
        assert (first.magnification, first.x_reflection) == (2.5, True)
        assert first.rotation == pytest.approx(math.radians(30))

    def test_text_length_limit(self, tmp_path, tech):
        component = tw.Component("T", technology=tech)
        component.add((1, 0), tw.Label("x" * 65530))
        layout = kdb.Layout()
        layout.read(str(written(tmp_path, component)))
        (shape,) = layout.cell("T").shapes(layout.layer(1, 0)).each()
        assert shape.text_string == "x" * 65530
        component.add((1, 0), tw.Label("x" * 65531))
        with pytest.raises(RuntimeError, match=r"^GDSII STRING record at byte \d+: GDSII record "
                                               r"payload exceeds the 16-bit record length$"):
            written(tmp_path, component)


class TestProperties:
    def test_written_for_every_element(self, tmp_path, tech):
        leaf = device(tech)
        top = tw.Component("TOP", technology=tech)
        rectangle = tw.Rectangle((0, 0), (1, 1))
        rectangle.add_gds_property(1, "one").add_gds_property(7, b"odd\0")
        rectangle.properties.other = 3
        path = tw.Path((0, 0), 1).segment((3, 0))
        path.add_gds_property(2, "pa")
        label = tw.Label("L")
        label.add_gds_property(65535, "max")
        reference = tw.Reference(leaf, (1, 1), columns=2, spacing=(5, 0))
        reference.properties.add_gds_property(4, "ref")
        top.add((1, 0), rectangle, path)
        top.add((2, 0), label)
        top.add_reference(reference)
        data = written(tmp_path, top, paths_to_polygons=False).read_bytes()
        pairs = {start: [[(values(r)[0] if r[0] == PROPATTR else r[2]) for r in e
                          if r[0] in (PROPATTR, PROPVALUE)] for e in element_records(data, start)]
                 for start in (BOUNDARY, PATH, TEXT, AREF)}
        assert pairs[BOUNDARY][0] == [1, b"one\0", 7, b"odd\0"]
        assert pairs[PATH] == [[2, b"pa"]]
        assert pairs[TEXT] == [[-1, b"max\0"]]
        assert pairs[AREF] == [[4, b"ref\0"]]
        layout = kdb.Layout()
        layout.read(str(tmp_path / "t.gds"))
        shapes = list(layout.cell("TOP").shapes(layout.layer(1, 0)).each())
        assert {s.property(1) for s in shapes} >= {"one"}
        assert [i.property(4) for i in layout.cell("TOP").each_inst()] == ["ref"]


class TestFailures:
    def test_unprepared_reference_target(self, tmp_path, tech):
        top = tw.Component("TOP", technology=tech)
        stranger = device(tech)

        def hook(component):
            component.add_reference(tw.Reference(stranger))

        with pytest.raises(RuntimeError, match=r"^GDSII SNAME record at byte \d+: GDSII reference "
                                               r"target was not prepared for export$"):
            tw.write_layout(tmp_path / "u.gds", top, pre_export_function=hook)

    def test_magnification_must_be_positive(self, tmp_path, tech):
        top = tw.Component("TOP", technology=tech)
        top.add_reference(tw.Reference(device(tech), scaling=-1))
        with pytest.raises(RuntimeError, match="GDSII magnification must be positive$"):
            written(tmp_path, top)

    def test_finest_grid(self, tmp_path, tech, grid):
        tw.config.grid = 0.00004
        component = tw.Component("G", technology=tech)
        component.add((1, 0), tw.Rectangle((0, 0), (1, 1)))
        written(tmp_path, component)
        assert gdstk.read_gds(tmp_path / "t.gds").cells[0].polygons[0].area() == pytest.approx(1)


# ---- Reader -----------------------------------------------------------------------------------

STAMP = struct.pack(">12h", *([124, 1, 1, 0, 0, 0] * 2))
HEADER = shorts(0x00, 600) + record(0x01, 2, STAMP) + text(0x02, "LIB")
UNITS = reals(0x03, 1e-3, 1e-9)


def library(*cells, units=UNITS):
    return HEADER + units + b"".join(cells) + record(0x04)


def cell(name, *elements):
    return record(0x05, 2, STAMP) + text(0x06, name) + b"".join(elements) + record(0x07)


def boundary(*extra, layer=1, points=((0, 0), (10, 0), (0, 10))):
    points = list(points) + [points[0]]
    return (record(BOUNDARY) + shorts(LAYER, layer) + shorts(DATATYPE, 0) +
            longs(XY, *[c for p in points for c in p]) + b"".join(extra) + record(ENDEL))


def element(start, *records_):
    return record(start) + b"".join(records_) + record(ENDEL)


@contextlib.contextmanager
def runtime_warnings():
    """The texts of the RuntimeWarnings of a block, in order."""
    texts = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield texts
    texts.extend(str(w.message) for w in caught if w.category is RuntimeWarning and
                 "default technology" not in str(w.message))


def load_bytes(tmp_path, data, name="x.gds"):
    """The loaded cells and the warnings of the load."""
    path = tmp_path / name
    path.write_bytes(data)
    with runtime_warnings() as texts:
        cells = tw.load_layout(path)
    return cells, texts


def load_fails(tmp_path, data):
    path = tmp_path / "bad.gds"
    path.write_bytes(data)
    with pytest.raises(RuntimeError) as error, runtime_warnings():
        tw.load_layout(path)
    return str(error.value)


class TestPeerFiles:
    def test_gdstk_file(self, tmp_path, tech):
        lib = gdstk.Library(unit=1e-6, precision=1e-9)
        sub = lib.new_cell("SUB")
        sub.add(gdstk.rectangle((0, 0), (1, 2), layer=2), gdstk.ellipse((3, 3), 1, layer=2))
        top = lib.new_cell("TOP")
        top.add(gdstk.Polygon([(0, 0), (5, 0), (5, 5), (2, 7)], layer=1, datatype=3))
        for ends in ("flush", "round", "extended", (0.2, 0.7)):
            top.add(gdstk.FlexPath([(0, 10), (10, 10), (12, 20)], 0.4, ends=ends, layer=3,
                                   simple_path=True))
        top.add(gdstk.Reference(sub, (5, 5), rotation=math.pi / 2, x_reflection=True,
                                magnification=2))
        top.add(gdstk.Reference(sub, (-5, 5), columns=3, rows=2, spacing=(4, 6)))
        top.add(gdstk.Label("hello", (1, 2), anchor="se", layer=4, texttype=2,
                            rotation=math.pi, magnification=1.5, x_reflection=True))
        path = tmp_path / "peer.gds"
        lib.write_gds(path)
        cells = load_bytes(tmp_path, path.read_bytes(), "peer.gds")[0]
        assert sorted(cells) == ["SUB", "TOP"]
        loaded = cells["TOP"]
        for layer in ((1, 3), (2, 0)):
            difference = klayout_region(path, "TOP", layer) ^ own_region(loaded, layer)
            assert difference.is_empty(), layer
        paths = loaded.structures[(3, 0)]
        assert [p.caps for p in paths] == [(0, 0), ("round", "round"), (0.5, 0.5),
                                           (pytest.approx(0.5), pytest.approx(1.75))]
        (label,) = loaded.labels[(4, 2)]
        assert (label.text, label.anchor, label.rotation, label.scaling, label.x_reflection) == (
            "hello", "SE", pytest.approx(180), 1.5, True)
        arrays = [r for r in loaded.references if r.columns * r.rows > 1]
        assert [(r.columns, r.rows, tuple(r.spacing)) for r in arrays] == [(3, 2, (4, 6))]

    def test_klayout_file(self, tmp_path, tech):
        layout = kdb.Layout()
        layout.dbu = 0.001
        leaf = layout.create_cell("LEAF")
        top = layout.create_cell("TOP")
        leaf.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 500))
        hole = kdb.Polygon(kdb.Box(0, 0, 10000, 10000))
        hole.insert_hole(kdb.Box(2000, 2000, 4000, 4000))
        top.shapes(layout.layer(2, 0)).insert(hole)
        top.shapes(layout.layer(3, 0)).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(5000, 0)], 400, 100, 300))
        top.shapes(layout.layer(5, 1)).insert(kdb.Text("T", kdb.Trans(kdb.Trans.R90, 100, 200)))
        top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(kdb.Trans.R90, 3000, 4000),
                                     kdb.Vector(2000, 0), kdb.Vector(0, 3000), 4, 2))
        path = tmp_path / "klayout.gds"
        layout.write(str(path))
        loaded = load_bytes(tmp_path, path.read_bytes(), "klayout.gds")[0]["TOP"]
        for layer in ((1, 0), (2, 0), (3, 0)):
            assert (klayout_region(path, "TOP", layer) ^ own_region(loaded, layer)).is_empty()
        (label,) = loaded.labels[(5, 1)]
        assert label.rotation == 90 and tuple(label.origin) == (0.1, 0.2)
        (array,) = loaded.references
        # KLayout lays the lattice along the turned axes; the instances are the same.
        instances = {(round(array.origin[0] + c * array.spacing[0], 3),
                      round(array.origin[1] + r * array.spacing[1], 3))
                     for c in range(array.columns) for r in range(array.rows)}
        assert instances == {(3 + 2 * c, 4 + 3 * r) for c in range(4) for r in range(2)}
        assert array.rotation == 90


class TestRoundTrip:
    def test_everything_comes_back(self, tmp_path, tech):
        leaf = device(tech)
        top = tw.Component("TOP", technology=tech)
        top.add((1, 0), tw.Polygon([(0, 0), (9, 0), (9, 9), (0, 9)], [[(3, 3), (6, 3), (6, 6), (3, 6)]]))
        paths = [tw.Path((0, 0), 0.5, caps=caps, scale_profile=scale).segment([(5, 0), (5, 5)])
                 for caps, scale in (((0, 0), True), ("round", False), ((0.5, 0.5), True),
                                     ((0.2, 1.4), True))]
        paths[0].add_gds_property(3, "path")
        top.add((70000, 2), *paths)
        label = tw.Label("text", (1, 2), anchor="E", rotation=45, scaling=2, x_reflection=True)
        label.add_gds_property(9, "odd")
        top.add((4, 70001), label)
        references = [tw.Reference(leaf, (1, 1), rotation=90, columns=2, rows=3, spacing=(5, 7)),
                      tw.Reference(leaf, (-3, 2), rotation=30, scaling=1.5, x_reflection=True),
                      tw.Reference(leaf, (0, -9), rotation=270, columns=4, spacing=(-3, 0))]
        references[0].properties.add_gds_property(1, "array")
        for reference in references:
            top.add_reference(reference)
        file = written(tmp_path, top, paths_to_polygons=False)
        cells, texts = load_bytes(tmp_path, file.read_bytes())
        assert texts == []
        loaded = cells["TOP"]
        assert loaded.structures[(70000, 2)] == paths
        assert loaded.structures[(70000, 2)][0].properties.S_GDS_PROPERTY == (3, b"path")
        assert loaded.labels[(4, 70001)] == [label]
        assert loaded.labels[(4, 70001)][0].properties.S_GDS_PROPERTY == (9, b"odd")
        assert [(r.origin.tolist(), r.rotation, r.scaling, r.x_reflection, r.columns, r.rows,
                 r.spacing.tolist()) for r in loaded.references] == [
            (r.origin.tolist(), r.rotation, r.scaling, r.x_reflection, r.columns, r.rows,
             r.spacing.tolist()) for r in references]
        assert loaded.references[0].properties.S_GDS_PROPERTY == (1, b"array")
        for layer in ((1, 0), (2, 0)):
            difference = own_region(loaded, layer) ^ own_region(top, layer)
            assert difference.sized(-5 if layer == (2, 0) else 0).is_empty()

    def test_off_grid_units_warn_and_snap(self, tmp_path):
        data = library(cell("C", boundary(points=((0, 0), (15, 0), (15, 15)))),
                       units=reals(0x03, 1e-4, 1e-10))
        cells, texts = load_bytes(tmp_path, data)
        assert texts == [
            "current config.grid does not exactly support the GDSII database unit; polygon "
            "vertices are snapped to config.grid"]
        (polygon,) = cells["C"].structures[(1, 0)]
        # 1.5 nm vertices land on the 1 nm grid.
        assert sorted(map(tuple, polygon.vertices.tolist())) == [(0, 0), (0.002, 0), (0.002, 0.002)]


def failure(detail, record_name=None):
    prefix = rf"^{record_name} record at byte \d+ in [^:]+" if record_name else r"^.* at byte \d+"
    return prefix + ": " + detail.replace("(", r"\(").replace(")", r"\)") + "$"


CELL_NAME = text(0x06, "C")
BGNSTR = record(0x05, 2, STAMP)
PATH_START = record(PATH) + shorts(LAYER, 1) + shorts(DATATYPE, 0)


class TestReaderFailures:
    @pytest.mark.parametrize("data, record_name, detail", [
        (shorts(0x00, 600) + text(0x02, "L"), "LIBNAME", "expected BGNLIB"),
        (shorts(0x00, 600) + record(0x01, 2, STAMP) + UNITS, "UNITS", "expected LIBNAME"),
        (HEADER + BGNSTR, "BGNSTR", "expected UNITS"),
        (HEADER + reals(0x03, 1e-3, 0), "UNITS", "units must be positive"),
        (HEADER + reals(0x03, -1e-3, 1e-9), "UNITS", "units must be positive"),
        (HEADER + record(0x03, 5, b"\x80" + bytes(7) + encode_real(1e-9)), "UNITS", "noncanonical zero"),
        (HEADER + record(0x03, 5, b"\x41\x00\x01" + bytes(5) + encode_real(1e-9)), "UNITS",
         "unnormalized mantissa"),
        (HEADER + UNITS + struct.pack(">HBB", 5, 0x05, 2), "BGNSTR", "invalid record length"),
        (HEADER + UNITS + struct.pack(">HBB", 2, 0x05, 2), "BGNSTR", "invalid record length"),
        (HEADER + UNITS + record(0x05, 7, b"ab"), "BGNSTR", "invalid data type or payload size"),
        (HEADER + UNITS + record(0x05, 3, b"abcdef"), "BGNSTR", "invalid data type or payload size"),
        (HEADER + UNITS + record(0x05, 1, b"abcd"), "BGNSTR", "invalid data type or payload size"),
        (HEADER + UNITS + shorts(0x05, 1), "BGNSTR", "invalid BGNSTR"),
        (HEADER + UNITS + BGNSTR + boundary(), "BOUNDARY", "expected STRNAME"),
        (HEADER + UNITS + BGNSTR + CELL_NAME + shorts(0x07, 1), "ENDSTR", "invalid ENDSTR"),
        (HEADER + UNITS + shorts(0x04, 1), "ENDLIB", "invalid ENDLIB"),
        (HEADER + UNITS + boundary(), "BOUNDARY", "unexpected or geometry-bearing record"),
        (HEADER + UNITS + BGNSTR + CELL_NAME + longs(XY, 0, 0), "XY",
         "unexpected or geometry-bearing record"),
        (HEADER + UNITS + UNITS, "UNITS", "unexpected library record"),
        (library(cell("C", record(BOUNDARY, 2, b"\0\1") + record(ENDEL))), "BOUNDARY",
         "element-start record must have no payload"),
        (library(cell("C", boundary()[:-4] + shorts(ENDEL, 1))), "ENDEL", "invalid ENDEL"),
        (library(cell("C", element(BOUNDARY, shorts(LAYER, 1, 2)))), "LAYER",
         "tag record must use a 2-byte or 4-byte integer"),
        (library(cell("C", element(BOUNDARY, shorts(LAYER, 1), longs(LAYER, 1)))), "LAYER",
         "duplicate LAYER"),
        (library(cell("C", element(BOUNDARY, shorts(LAYER, 1), longs(XY, 0, 0, 1, 0, 0, 1, 0, 0)))),
         "ENDEL", "missing required element field"),
        (library(cell("C", element(BOUNDARY, longs(XY, 0)))), "XY",
         "XY must contain 1 to 8191 complete coordinate pairs"),
        (library(cell("C", element(BOUNDARY, record(XY, 3)))), "XY",
         "XY must contain 1 to 8191 complete coordinate pairs"),
        (library(cell("C", element(BOUNDARY, longs(XY, 0, 0), shorts(LAYER, 1), longs(XY, 0, 0)))),
         "XY", "late XY record is not adjacent to the coordinate sequence"),
        (library(cell("C", element(BOUNDARY, shorts(LAYER, 1), shorts(DATATYPE, 0),
                                   longs(XY, 0, 0, 1, 0, 0, 1)))), "ENDEL", "polygon is not closed"),
        (library(cell("C", element(0x2D, shorts(LAYER, 1), shorts(0x2E, 0),
                                   longs(XY, 0, 0, 1, 0, 1, 1, 0, 0)))), "ENDEL", "BOX must contain 5 points"),
        (library(cell("C", element(PATH, shorts(LAYER, 1), shorts(DATATYPE, 0), shorts(PATHTYPE, 3),
                                   longs(XY, 0, 0, 10, 0)))), "PATHTYPE", "unsupported PATHTYPE"),
        (library(cell("C", PATH_START + shorts(PATHTYPE, 5) + record(ENDEL))), "PATHTYPE",
         "invalid PATHTYPE"),
        (library(cell("C", PATH_START + longs(PATHTYPE, 0) + record(ENDEL))), "PATHTYPE",
         "invalid PATHTYPE"),
        (library(cell("C", PATH_START + shorts(PATHTYPE, 2) + longs(BGNEXTN, 5) +
                      longs(XY, 0, 0, 10, 0) + record(ENDEL))), "ENDEL",
         "path extensions require PATHTYPE 4"),
        (library(cell("C", PATH_START + shorts(PATHTYPE, 4) + longs(ENDEXTN, 5) +
                      longs(XY, 0, 0, 10, 0) + record(ENDEL))), "ENDEL",
         "PATHTYPE 4 requires BGNEXTN and ENDEXTN"),
        (library(cell("C", PATH_START + longs(WIDTH, 3) + longs(XY, 0, 0, 10, 0) + record(ENDEL)),
                 units=reals(0x03, 1e-4, 1e-10)), "ENDEL",
         "GDSII path width or extension is not representable on the configured Path grid"),
        (library(cell("C", PATH_START + longs(WIDTH, 10) + longs(XY, 0, 0, 15, 0) + record(ENDEL)),
                 units=reals(0x03, 1e-4, 1e-10)), "ENDEL",
         "GDSII path coordinate is not representable on the configured Path grid"),
        (library(cell("C", element(SREF, text(SNAME, "C"), longs(XY, 0, 0, 1, 1)))), "ENDEL",
         "element must contain exactly 1 point"),
        (library(cell("C", element(SREF, shorts(SNAME, 1), longs(XY, 0, 0)))), "SNAME", "invalid SNAME"),
        (library(cell("C", element(AREF, text(SNAME, "C"), shorts(COLROW, 1, 1),
                                   longs(XY, 0, 0, 1, 1)))), "ENDEL",
         "AREF must contain exactly 3 control points"),
        (library(cell("C", element(AREF, text(SNAME, "C"), shorts(COLROW, 0, 1)))), "COLROW",
         "columns and rows must be positive"),
        (library(cell("C", element(AREF, text(SNAME, "C"), shorts(COLROW, 2)))), "COLROW",
         "invalid COLROW"),
        (library(cell("C", element(SREF, text(SNAME, "C"), record(STRANS, 1, b"\0\0"),
                                   reals(MAG, -2), longs(XY, 0, 0)))), "MAG",
         "magnification must be positive"),
    ])
    def test_record_failures(self, tmp_path, data, record_name, detail):
        assert re.match(failure(detail, record_name), load_fails(tmp_path, data))

    def test_stream_failures(self, tmp_path):
        assert load_fails(tmp_path, shorts(0x00, 600)) == "GDSII record header at byte 6: truncated input"
        data = library(cell("C", boundary()))
        assert load_fails(tmp_path, data[:-4]) == f"GDSII record header at byte {len(data) - 4}: truncated input"
        cut = data.index(struct.pack(">HBB", 36, XY, 3)) + 8
        assert load_fails(tmp_path, data[:cut]) == f"GDSII record 0x10 payload at byte {cut - 4}: truncated input"
        odd_units = library(units=reals(0x03, 1e-3, 1e-30))
        assert re.match(r"^GDSII unit scale at byte \d+: ", load_fails(tmp_path, odd_units))


def texts_of(tmp_path, *elements):
    cells, texts = load_bytes(tmp_path, library(cell("C", *elements)))
    return cells["C"], texts


TEXT_START = record(TEXT) + shorts(LAYER, 1) + shorts(TEXTTYPE, 0)
SREF_START = record(SREF) + text(SNAME, "LEAF")


class TestReaderWarnings:
    @pytest.mark.parametrize("records_, warning", [
        (shorts(PROPATTR, 1) + shorts(PROPATTR, 2) + text(PROPVALUE, "v"),
         "PROPATTR not followed by PROPVALUE was dropped"),
        (shorts(PROPATTR, 1), "PROPATTR without a PROPVALUE was dropped"),
        (longs(PROPATTR, 1) + text(PROPVALUE, "x"), "unusable PROPATTR record was ignored"),
        (shorts(PROPATTR, 1) + shorts(PROPVALUE, 1), "unusable PROPVALUE record was ignored"),
        (text(PROPVALUE, "x"), "unusable PROPVALUE record was ignored"),
        (shorts(PATHTYPE, 0), "PATHTYPE record outside PATH was ignored"),
        (longs(WIDTH, 10), "WIDTH record outside PATH was ignored"),
        (text(STRING, "s"), "STRING record outside TEXT was ignored"),
        (record(STRANS, 1, b"\0\0"), "STRANS record outside a reference or TEXT was ignored"),
        (reals(MAG, 2), "transform record outside a reference or TEXT was ignored"),
        (record(0x26, 1, b"\0\0") + record(0x2F, 3, bytes(4)) + record(0x26, 1, b"\0\0"),
         "ignored geometry-neutral GDSII records: ELFLAGS (2 occurrences), PLEX (1 occurrences)"),
    ])
    def test_in_a_boundary(self, tmp_path, records_, warning):
        component, texts = texts_of(tmp_path, boundary(records_))
        assert texts == [warning]
        # The polygon itself is kept.
        assert len(component.structures[(1, 0)]) == 1

    @pytest.mark.parametrize("records_, warning", [
        (text(STRING, "a") + text(STRING, "b"), "duplicate STRING record was ignored"),
        (shorts(STRING, 1), "STRING record is not an ASCII string"),
        (shorts(PRESENTATION, 1), "PRESENTATION record is not a bit array"),
        (record(PRESENTATION, 1, b"\0\x0f"), "out-of-range presentation anchor subfield was clamped"),
        (shorts(STRANS, 1), "STRANS record is not a bit array"),
        (record(STRANS, 1, b"\0\0") + record(STRANS, 1, b"\0\0"), "unusable STRANS record was ignored"),
        (record(STRANS, 1, b"\0\6"), "absolute GDSII magnification/rotation flags were ignored"),
        (record(MAG, 5, b"\x80" + bytes(7)), "undecodable transform record was ignored"),
        (longs(MAG, 2), "unusable transform record was ignored"),
        (reals(MAG, 0), "nonpositive magnification was ignored"),
    ])
    def test_in_a_label(self, tmp_path, records_, warning):
        component, texts = texts_of(tmp_path, TEXT_START + records_ + longs(XY, 10, 20) +
                                    text(STRING, "a") + record(ENDEL))
        assert warning in texts
        (label,) = component.labels[(1, 0)]
        assert tuple(label.origin) == (0.01, 0.02) and label.scaling == 1

    def test_unusable_presentation_outside_text(self, tmp_path):
        assert texts_of(tmp_path, boundary(record(PRESENTATION, 1, b"\0\1")))[1] == [
            "unusable PRESENTATION record was ignored"]

    def test_labels(self, tmp_path):
        component, texts = texts_of(
            tmp_path,
            TEXT_START + record(PRESENTATION, 1, b"\0\x0f") + longs(XY, 0, 0, 5, 5) +
            text(STRING, "two") + shorts(PROPATTR, 5) + text(PROPVALUE, "p") + record(ENDEL),
            element(TEXT, shorts(LAYER, 2), longs(XY, 0, 0), text(STRING, "no type")),
            TEXT_START + longs(XY, 7, 7) + record(ENDEL))
        assert sorted(texts) == sorted([
            "out-of-range presentation anchor subfield was clamped",
            "element with several points became one label per point",
            "label without a layer, type, or position was skipped",
            "element without a STRING was kept empty"])
        labels = component.labels[(1, 0)]
        assert [(l.text, l.anchor, tuple(l.origin)) for l in labels] == [
            ("two", "SE", (0, 0)), ("two", "SE", (0.005, 0.005)), ("", "NW", (0.007, 0.007))]
        assert [l.properties.S_GDS_PROPERTY for l in labels[:2]] == [(5, b"p")] * 2
        assert (2, 0) not in component.labels

    def test_presentation_codes(self, tmp_path):
        elements = [TEXT_START + record(PRESENTATION, 1, struct.pack(">H", code)) +
                    longs(XY, 0, 0) + text(STRING, name) + record(ENDEL)
                    for code, name in ((0, "NW"), (1, "N"), (2, "NE"), (4, "W"), (5, "O"), (6, "E"),
                                       (8, "SW"), (9, "S"), (10, "SE"), (0x35, "O"))]
        component, texts = texts_of(tmp_path, *elements)
        assert texts == []
        # Each text names the anchor its code stands for; font bits are ignored.
        assert all(label.anchor == label.text for label in component.labels[(1, 0)])

    def test_small_polygons_and_boxes(self, tmp_path):
        component, texts = texts_of(
            tmp_path, boundary(points=((0, 0), (10, 0), (10, 0))),
            element(0x2D, shorts(LAYER, 1), shorts(0x2E, 0),
                    longs(XY, 0, 0, 20, 0, 20, 30, 0, 30, 0, 0)))
        assert texts == ["layout polygon with fewer than three vertices was skipped",
                         "ignored geometry-neutral GDSII records: BOXTYPE (1 occurrences)"]
        (box,) = component.structures[(1, 0)]
        assert box.area() == pytest.approx(0.02 * 0.03)

    def test_trailing_data(self, tmp_path):
        data = library(cell("C", boundary()))
        assert load_bytes(tmp_path, data + bytes(2048))[1] == []
        texts = load_bytes(tmp_path, data + bytes(10) + b"\1\0", name="tail.gds")[1]
        assert texts == [f"{tmp_path / 'tail.gds'}: nonzero trailing tape data at byte "
                         f"{len(data) + 10} was ignored; only the first library was read"]

    def test_geometry_neutral_library_records(self, tmp_path):
        data = HEADER + text(0x1F, "REF") + UNITS + text(0x34, "x") + cell("C", boundary()) + record(0x04)
        assert load_bytes(tmp_path, data)[1] == [
            "ignored geometry-neutral GDSII records: REFLIBS (1 occurrences), STRCLASS (1 occurrences)"]


class TestCorruption:
    """Damaged files fail with a RuntimeError or load with warnings; nothing else happens."""

    @pytest.fixture
    def sample(self, tmp_path, tech):
        top = tw.Component("TOP", technology=tech)
        top.add((1, 0), tw.Polygon([(0, 0), (9, 0), (9, 9), (0, 9)], [[(3, 3), (6, 3), (6, 6)]]))
        top.add((2, 0), tw.Path((0, 0), 0.5, caps=(0.2, 0.4)).segment([(5, 0), (5, 5)]),
                tw.Label("x", (1, 1), rotation=10))
        top.add_reference(tw.Reference(device(tech), (1, 1), columns=2, rows=2, spacing=(3, 4)))
        top.references[0].properties.add_gds_property(2, "p")
        return written(tmp_path, top, paths_to_polygons=False).read_bytes()

    def load_any(self, tmp_path, data):
        path = tmp_path / "c.gds"
        path.write_bytes(data)
        try:
            with runtime_warnings():
                tw.load_layout(path)
        except RuntimeError:
            pass

    def test_truncation_at_every_record(self, tmp_path, sample):
        offset = 0
        while offset < len(sample):
            for cut in (offset, offset + 1, offset + 5):
                self.load_any(tmp_path, sample[:cut])
            offset += struct.unpack(">H", sample[offset:offset + 2])[0]

    def test_random_byte_flips(self, tmp_path, sample):
        rng = random.Random(20260)
        for _ in range(300):
            data = bytearray(sample)
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            self.load_any(tmp_path, bytes(data))

    def test_undecodable_cell_name(self, tmp_path):
        # Names that are not UTF-8 show with replacement characters.
        path = tmp_path / "latin1.gds"
        path.write_bytes(library(cell("\xe9", boundary()).replace(b"\xc3\xa9", b"\xe9\0")))
        (component,) = tw.load_layout(path).values()
        assert component.name == "\ufffd"
