"""OASIS files: what the writer emits (checked by decoding the records and against the peers),
what the reader makes of files from the peers and of hand-made records, and its messages."""
import random
import struct
import warnings
import zlib

import pytest

import tarnwhistle as tw

kdb = pytest.importorskip("klayout.db")
gdstk = pytest.importorskip("gdstk")

MAGIC = b"%SEMI-OASIS\r\n"


@pytest.fixture(autouse=True)
def _quiet_default_technology():
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Setting default technology")
        yield


# ---- Encoding, for hand-made files and for decoding ours ------------------------------------


def uint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def sint(n):
    return uint(-n << 1 | 1 if n < 0 else n << 1)


def string(text):
    data = text.encode() if isinstance(text, str) else text
    return uint(len(data)) + data


def gdelta(dx, dy):
    return uint(abs(dx) << 2 | (2 if dx < 0 else 0) | 1) + sint(dy)


def end_record(validation=0, prefix=b""):
    """END with strict zero table offsets, padded to 256 bytes; the signature covers `prefix`
    (everything before END) and the END bytes up to the scheme."""
    head = bytes([2]) + b"\x01\x00" * 6
    padding = 256 - len(head) - 1 - (4 if validation else 0) - 2
    record = head + uint(padding) + bytes(padding) + uint(validation)
    if validation == 1:
        record += struct.pack("<I", zlib.crc32(prefix + record))
    elif validation == 2:
        record += struct.pack("<I", sum(prefix + record) & 0xFFFFFFFF)
    return record


def oasis_bytes(*records, unit=b"\x00" + uint(1000), validation=0, version="1.0"):
    start = MAGIC + bytes([1]) + string(version) + unit + uint(1)
    body = start + b"".join(records)
    return body + end_record(validation, body)


def cell(name):
    return bytes([14]) + string(name)


def rect(x, y, w, h, layer=1, datatype=0, repetition=b""):
    info = 0x40 | 0x20 | 0x10 | 0x08 | 0x03 | (0x04 if repetition else 0)
    return (bytes([20, info]) + uint(layer) + uint(datatype) + uint(w) + uint(h) + sint(x) +
            sint(y) + repetition)


def cblock(*records, level=6):
    data = b"".join(records)
    packer = zlib.compressobj(level, zlib.DEFLATED, -15)
    packed = packer.compress(data) + packer.flush()
    return bytes([34]) + uint(0) + uint(len(data)) + uint(len(packed)) + packed


class Decoder:
    """The records of a file as (id, info, fields) triples, for the record kinds our writer
    emits; CBLOCKs are inflated in place."""

    def __init__(self, data):
        assert data.startswith(MAGIC)
        self.data, self.i = data, len(MAGIC)

    def byte(self):
        self.i += 1
        return self.data[self.i - 1]

    def u(self):
        value = shift = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return value

    def s(self):
        v = self.u()
        return -(v >> 1) if v & 1 else v >> 1

    def string(self):
        n = self.u()
        self.i += n
        return self.data[self.i - n:self.i]

    def g(self):
        v = self.u()
        if v & 1:
            return (-(v >> 2) if v & 2 else v >> 2, self.s())
        d, m = (v >> 1) & 7, v >> 4
        return ([1, 0, -1, 0, 1, -1, -1, 1][d] * m, [0, 1, 0, -1, 1, 1, -1, -1][d] * m)

    def real(self):
        kind = self.u()
        if kind == 0:
            return ("whole", self.u())
        if kind == 4:
            return ("ratio", self.u(), self.u())
        assert kind == 7
        self.i += 8
        return struct.unpack("<d", self.data[self.i - 8:self.i])[0]

    def repetition(self):
        kind = self.u()
        if kind in (1,):
            return (kind, self.u() + 2, self.u() + 2, self.u(), self.u())
        if kind in (2, 3):
            return (kind, self.u() + 2, self.u())
        if kind == 8:
            return (kind, self.u() + 2, self.u() + 2, self.g(), self.g())
        assert kind == 9
        return (kind, self.u() + 2, self.g())

    def layers(self, info, fields):
        if info & 1:
            fields["L"] = self.u()
        if info & 2:
            fields["D"] = self.u()

    def records(self):
        while self.i < len(self.data):
            offset, rid = self.i, self.byte()
            f = {"offset": offset}
            info = None
            if rid == 1:
                f.update(version=self.string(), unit=self.real(), flag=self.u())
            elif rid == 2:
                f["size"] = len(self.data) - offset
                self.i = len(self.data)
            elif rid == 13:
                f["cell"] = self.u()
            elif rid in (4, 6, 8, 10):
                f.update(name=self.string(), number=self.u())
            elif rid == 34:
                assert self.u() == 0
                size, packed = self.u(), self.u()
                inner = zlib.decompress(self.data[self.i:self.i + packed], -15)
                assert len(inner) == size
                self.i += packed
                yield rid, None, f
                nested = Decoder(MAGIC + inner)
                yield from nested.records()
                continue
            else:
                info = self.byte()
                self.element(rid, info, f)
            yield rid, info, f

    def element(self, rid, info, f):
        if rid == 28:
            f["name"] = self.u()
            count = info >> 4
            f["values"] = [self.value() for _ in range(count)]
            return
        if rid in (17, 18):
            f["cell"] = self.u()
            if rid == 18 and info & 4:
                f["M"] = self.real()
            if rid == 18 and info & 2:
                f["A"] = self.real()
            f["x"], f["y"] = self.s(), self.s()
            if info & 8:
                f["R"] = self.repetition()
            return
        if rid == 19:
            f["text"] = self.u()
            self.layers(info, f)
        else:
            self.layers(info, f)
        if rid == 20:
            f["W"] = self.u()
            if info & 0x20:
                f["H"] = self.u()
        elif rid == 22:
            f["half"] = self.u()
            scheme = f["scheme"] = self.byte()
            if scheme == 15:
                f["ext"] = (self.s(), self.s())
        elif rid == 27:
            f["r"] = self.u()
        if rid in (21, 22):
            assert self.u() == 4
            f["deltas"] = [self.g() for _ in range(self.u())]
        f["x"], f["y"] = self.s(), self.s()

    def value(self):
        kind = self.u()
        if kind in (8, 14):
            return (kind, self.u())
        if kind == 9:
            return (kind, self.s())
        assert kind == 7
        self.i -= 1
        return self.real()


def records(path):
    with open(path, "rb") as f:
        return list(Decoder(f.read()).records())


# ---- Peers ----------------------------------------------------------------------------------


def peer_layout(path):
    layout = kdb.Layout()
    layout.read(str(path))
    return layout


def peer_region(layout, cell_name, layer):
    result = kdb.Region()
    shapes = layout.cell(cell_name).begin_shapes_rec(layout.layer(*layer))
    while not shapes.at_end():
        polygon = shapes.shape().polygon  # None for texts
        if polygon is not None:
            result.insert(polygon.transformed(shapes.trans()))
        shapes.next()
    return result


def own_region(component, layer):
    """The component's flattened geometry on a layer in nanometres (the peers' unit)."""
    result = kdb.Region()
    for s in component.get_structures(layer):
        polygon = s.to_polygon()
        hull = [kdb.Point(round(x * 1000), round(y * 1000)) for x, y in polygon.vertices]
        shape = kdb.Polygon(hull)
        for hole in polygon.holes:
            shape.insert_hole([kdb.Point(round(x * 1000), round(y * 1000)) for x, y in hole])
        result.insert(shape)
    return result


def assert_same_geometry(component, path, layers=None):
    """The file, read by KLayout, holds the component's flattened geometry exactly."""
    layout = peer_layout(path)
    for layer in layers or component.layers():
        difference = peer_region(layout, component.name, layer) ^ own_region(component, layer)
        assert difference.is_empty(), (layer, difference)


def load(path, **kwargs):
    return tw.load_layout(str(path), **kwargs)


# ---- Writer ---------------------------------------------------------------------------------


@pytest.fixture
def design():
    """Shapes of every kind, references of every transform and arrays of both directions."""
    leaf = tw.Component("LEAF")
    leaf.add((1, 0), tw.Rectangle((0, 0), (1, 2)))
    leaf.add((2, 0), tw.Polygon([(0, 0), (2, 0), (0, 3)]))
    top = tw.Component("TOP")
    top.add((1, 0), tw.Rectangle((0, 0), (10, 5)), tw.Rectangle((20, 0), (25, 5)))
    top.add((1, 0), tw.Rectangle(center=(50, 50), size=(4, 4), rotation=30))
    top.add((2, 0), tw.Polygon([(0, 0), (40, 0), (40, 30), (0, 30)], holes=[[(10, 10), (20, 10), (20, 20), (10, 20)]]))
    top.add((3, 1), tw.Circle((6, 3), (0, 10)), tw.Circle(4, (30, 10), inner_radius=2))
    path = tw.Path((0, 60), 2)
    path.segment((30, 60)).segment((30, 90))
    top.add((4, 0), path)
    top.add((5, 0), tw.Label("hello world", (1, 2)))
    top.add_reference(tw.Reference(leaf, (100, 0)))
    top.add_reference(tw.Reference(leaf, (100, 50), rotation=90, x_reflection=True))
    top.add_reference(tw.Reference(leaf, (150, 50), rotation=30, scaling=2))
    top.add_reference(tw.Reference(leaf, (200, 0), columns=1, rows=5, spacing=(0, 7)))
    top.add_reference(tw.Reference(leaf, (300, 0), rotation=45, columns=3, rows=3, spacing=(5, 6)))
    top.add_reference(tw.Reference(leaf, (400, 0), columns=4, rows=2, spacing=(-5, 6)))
    top.add_reference(tw.Reference(leaf, (500, 0), columns=4, rows=1, spacing=(3, 0)))
    return top


class TestWriter:
    @pytest.mark.parametrize("level", range(10))
    def test_geometry_matches_the_peers(self, tmp_path, design, level):
        target = tmp_path / "d.oas"
        tw.write_layout(target, design, compression_level=level)
        assert_same_geometry(design, target, [(1, 0), (2, 0), (4, 0)])
        ids = [rid for rid, _, _ in records(target)]
        assert (34 in ids) == (level > 0)
        layout = peer_layout(target)
        assert sorted(layout.cell(i).name for i in range(layout.cells())) == ["LEAF", "TOP"]
        library = gdstk.read_oas(str(target))
        assert sorted(c.name for c in library.cells) == ["LEAF", "TOP"]
        top = next(c for c in library.cells if c.name == "TOP")
        assert len(top.references) == len(design.references)
        texts = [(s.text.string, s.text.x, s.text.y) for s in layout.cell("TOP").shapes(layout.layer(5, 0)).each()]
        assert texts == [("hello world", 1000, 2000)]

    def test_records_and_modal_layers(self, tmp_path, design):
        target = tmp_path / "d.oas"
        tw.write_layout(target, design, compression_level=0)
        found = records(target)
        assert found[0][2]["unit"] == ("whole", 1000) and found[0][2]["flag"] == 1
        assert found[-1][0] == 2 and found[-1][2]["size"] == 256
        rectangles = [(info, f) for rid, info, f in found if rid == 20]
        # Same layer and datatype: the second rectangle leaves L and D out; S for squares.
        assert rectangles[1][0] & 0x03 == 0 and "L" not in rectangles[1][1]
        assert any(info & 0x80 and "H" not in f for info, f in rectangles)
        # An ellipse and a ring are polygons (full discs: test_circle_record).
        assert not [f for rid, _, f in found if rid == 27]
        repetitions = {f["x"]: f["R"] for rid, _, f in found if rid in (17, 18) and "R" in f}
        assert repetitions[200000] == (3, 5, 7000)
        assert repetitions[300000] == (1, 3, 3, 5000, 6000)
        assert repetitions[400000] == (8, 4, 2, (-5000, 0), (0, 6000))
        assert repetitions[500000] == (2, 4, 3000)
        transformed = [(f.get("M"), f.get("A")) for rid, _, f in found if rid == 18]
        assert transformed == [(2.0, 30.0), (None, 45.0)]
        quarter = [info for rid, info, f in found if rid == 17 and f["x"] == 100000 and f["y"] == 50000]
        assert quarter == [0xF0 | 0x02 | 0x01]
        # Tables follow the cells, each record with its number.
        names = [(f["name"], f["number"]) for rid, _, f in found if rid == 4]
        assert sorted(names) == [(b"LEAF", 1), (b"TOP", 0)]

    def test_circle_record(self, tmp_path):
        component = tw.Component("C")
        component.add((1, 0), tw.Circle(4, (30, 10)))
        target = tmp_path / "c.oas"
        component.write_oas(target)
        assert [(f["r"], f["x"], f["y"]) for rid, _, f in records(target) if rid == 27] == \
            [(4000, 30000, 10000)]
        layout = peer_layout(target)
        shape = next(layout.cell("C").shapes(layout.layer(1, 0)).each())
        assert shape.is_path() and shape.path.width == 8000 and shape.path.round

    @pytest.mark.parametrize("caps, scheme, written", [
        ((0, 0), 5, None), ((0.5, 0.5), 10, None), ((0.25, 1), 15, (500, 2000)),
        (("round", "round"), None, None)])
    def test_paths(self, tmp_path, caps, scheme, written):
        component = tw.Component("P")
        path = tw.Path((0, 0), 2, caps=caps)
        path.segment((20, 0)).segment((20, 10))
        component.add((1, 0), path)
        target = tmp_path / "p.oas"
        component.write_oas(target, paths_to_polygons=False)
        paths = [f for rid, _, f in records(target) if rid == 22]
        if scheme is None:
            assert paths == []
        else:
            assert [(f["half"], f["scheme"], f.get("ext"), f["deltas"]) for f in paths] == \
                [(1000, scheme, written, [(20000, 0), (0, 10000)])]
        assert_same_geometry(component, target)

    def test_path_with_half_width_off_the_grid_is_a_polygon(self, tmp_path):
        component = tw.Component("P")
        component.add((1, 0), tw.Path((0, 0), 0.003).segment((5, 0)))
        component.write_oas(tmp_path / "p.oas", paths_to_polygons=False)
        assert [rid for rid, _, _ in records(tmp_path / "p.oas") if rid in (20, 21, 22)] == [20]
        assert_same_geometry(component, tmp_path / "p.oas")

    def test_properties(self, tmp_path):
        component = tw.Component("P")
        rectangle = tw.Rectangle((0, 0), (1, 1))
        rectangle.properties["note"] = "square"
        rectangle.properties["S_GDS_PROPERTY"] = [(3, "three")]
        component.add((1, 0), rectangle)
        component.properties["width"] = 2.5
        component.properties["S_BOUNDING_BOX"] = 1
        library = tw.Properties()
        library["count"] = -4
        library["S_TOP_CELL"] = "P"
        target = tmp_path / "p.oas"
        component.write_oas(target, library_properties=library)
        layout = peer_layout(target)
        shape = next(layout.cell("P").shapes(layout.layer(1, 0)).each())
        assert shape.properties() == {"note": "square", 3: "three"}
        names = {f["number"]: f["name"] for rid, _, f in records(target) if rid == 8}
        assert sorted(names.values()) == [b"S_GDS_PROPERTY", b"count", b"note", b"width"]
        standard = [info & 1 for rid, info, f in records(target) if rid == 28 and names[f["name"]] == b"S_GDS_PROPERTY"]
        assert standard == [1]

    def test_huge_coordinates(self, tmp_path):
        # Beyond KLayout's 32-bit coordinates: checked with gdstk and by reading back.
        component = tw.Component("H")
        component.add((1, 0), tw.Rectangle((-9e8, -9e8), (-9e8 + 1, -9e8 + 2)))
        component.add((1, 0), tw.Polygon([(9e8, 9e8), (9e8 - 3, 9e8), (9e8, 9e8 - 4)]))
        target = tmp_path / "h.oas"
        component.write_oas(target)
        (cell,) = gdstk.read_oas(str(target), unit=1e-6).cells
        found = sorted(sorted(map(tuple, p.points.tolist())) for p in cell.polygons)
        assert found == [[(-9e8, -9e8), (-9e8, -9e8 + 2), (-9e8 + 1, -9e8), (-9e8 + 1, -9e8 + 2)],
                         [(9e8 - 3, 9e8), (9e8, 9e8 - 4), (9e8, 9e8)]]
        loaded = load(target)["H"]
        assert [s.to_polygon().vertices.tolist() for s in loaded.structures[(1, 0)]] == \
            [s.to_polygon().vertices.tolist() for s in component.structures[(1, 0)]]

    def test_unit_follows_the_grid(self, tmp_path, restore_grid):
        component = tw.Component("U")
        component.add((1, 0), tw.Rectangle((0, 0), (3, 3)))
        tw.config.grid = 0.003
        component.write_oas(tmp_path / "u.oas")
        assert records(tmp_path / "u.oas")[0][2]["unit"] == ("ratio", 1000, 3)

    def test_polygon_collapsing_on_a_coarser_grid(self, tmp_path, restore_grid):
        component = tw.Component("G")
        component.add((1, 0), tw.Polygon([(0, 0), (0.2, 0), (0, 0.2)]))
        tw.config.grid = 1
        with pytest.raises(RuntimeError, match="^OASIS polygon is degenerate after grid quantization$"):
            component.write_oas(tmp_path / "g.oas")

    @pytest.mark.parametrize("count, length", [(0, 1), (1, 3), (300, 60)])
    def test_end_record_is_256_bytes(self, tmp_path, count, length):
        components = [tw.Component("N" * length + str(i)) for i in range(count)]
        for c in components:
            c.add((1, 0), tw.Label("t" + c.name, (0, 0)))
        tw.write_layout(tmp_path / "e.oas", *components)
        data = (tmp_path / "e.oas").read_bytes()
        found = records(tmp_path / "e.oas")
        assert found[-1][0] == 2 and len(data) - found[-1][2]["offset"] == 256

    @pytest.mark.parametrize("make, message", [
        (lambda c: setattr(c, "name", "has space"),
         "OASIS cell name contains characters outside the OASIS n-string range"),
        (lambda c: c.add((1, 0), tw.Label("", (0, 0))), "OASIS text must not be empty"),
        (lambda c: c.add((1, 0), tw.Label("tab\there", (0, 0))),
         "OASIS text contains characters outside the OASIS a-string range"),
        (lambda c: c.properties.__setitem__("bad name", 1),
         "OASIS property name contains characters outside the OASIS n-string range"),
        (lambda c: c.properties.__setitem__("x", float("nan")), "OASIS property value must be finite"),
    ])
    def test_validation_messages(self, tmp_path, make, message):
        component = tw.Component("V")
        make(component)
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            component.write_oas(tmp_path / "v.oas")

    def test_argument_and_structure_errors(self, tmp_path):
        component = tw.Component("A")
        for level in (10, -1):
            with pytest.raises(RuntimeError, match="^OASIS compression level must be between 0 and 9$"):
                component.write_oas(tmp_path / "a.oas", compression_level=level)
        other = tw.Component("B")
        component.add_reference(other)
        back = tw.Reference(tw.Component("C"))
        other.add_reference(back)
        back.component = component
        with pytest.raises(RuntimeError, match="^OASIS export does not support reference cycles involving component '[AB]'$"):
            component.write_oas(tmp_path / "a.oas")


@pytest.fixture
def restore_grid():
    saved = tw.config.grid
    yield
    tw.config.grid = saved


# ---- Reader ---------------------------------------------------------------------------------


def peer_file(path, cblocks, strict, level=2):
    """A layout written by KLayout: arrays, irregular placements and repeated shapes."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    top, leaf = layout.create_cell("TOP"), layout.create_cell("LEAF")
    leaf.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 1000, 2000))
    leaf.shapes(layout.layer(2, 0)).insert(kdb.Text("pin", 10, 20))
    shapes = top.shapes(layout.layer(1, 0))
    shapes.insert(kdb.Polygon([kdb.Point(*p) for p in [(0, 0), (5000, 0), (5000, 3000), (2000, 3000), (2000, 6000), (0, 6000)]]))
    shapes.insert(kdb.Polygon([kdb.Point(*p) for p in [(0, 0), (7000, 1000), (3000, 9000)]]))
    for i in range(12):  # regular and irregular runs of identical shapes
        shapes.insert(kdb.Box(20000 + 3000 * i, 0, 21000 + 3000 * i, 500))
        shapes.insert(kdb.Box(20000 + i * i * 700, 9000, 20500 + i * i * 700, 9500))
        shapes.insert(kdb.Box(20000 + 1000 * i, 20000 + 1000 * i, 20500 + 1000 * i, 20500 + 1000 * i))
    top.shapes(layout.layer(3, 0)).insert(kdb.Path([kdb.Point(0, 0), kdb.Point(10000, 0), kdb.Point(10000, 5000)], 1000, 200, 300))
    top.shapes(layout.layer(4, 0)).insert(kdb.Text("label", 100, 200))
    top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(kdb.Point(0, 100000)), kdb.Vector(3000, 0), kdb.Vector(0, 4000), 3, 2))
    top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(kdb.Point(0, 200000)), kdb.Vector(3000, 1000), kdb.Vector(-500, 4000), 3, 4))
    for i, (x, y) in enumerate([(0, 0), (7000, 100), (13000, -500), (19000, 40)]):
        top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(1, False, kdb.Point(50000 + x, y))))
    for i in range(6):
        top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans(kdb.Point(-50000, 5000 * i * i))))
    top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.CplxTrans(1.5, 30, True, kdb.DVector(-9, -9))))
    options = kdb.SaveLayoutOptions()
    options.format = "OASIS"
    options.oasis_write_cblocks = cblocks
    options.oasis_strict_mode = strict
    options.oasis_compression_level = level
    layout.write(str(path), options)
    return layout


def assert_matches_peer(cells, path, cell_name="TOP", skip=()):
    layout = peer_layout(path)
    component = cells[cell_name]
    layers = {(info.layer, info.datatype) for info in (layout.get_info(i) for i in layout.layer_indexes())}
    for layer in layers - set(skip):
        difference = peer_region(layout, cell_name, layer) ^ own_region(component, layer)
        assert difference.is_empty(), (layer, difference)


class TestReader:
    @pytest.mark.parametrize("cblocks", [False, True])
    @pytest.mark.parametrize("strict", [False, True])
    @pytest.mark.parametrize("level", [0, 2, 10])
    def test_files_from_the_peer(self, tmp_path, cblocks, strict, level):
        target = tmp_path / "k.oas"
        peer_file(target, cblocks, strict, level)
        cells = load(target)
        assert set(cells) >= {"TOP", "LEAF"}
        assert_matches_peer(cells, target)
        labels = cells["TOP"].get_labels((2, 0))
        assert len(labels) == 6 + 12 + 4 + 6 + 1 and {label.text for label in labels} == {"pin"}

    @pytest.mark.parametrize("strict", [False, True])
    def test_properties_from_the_peer(self, tmp_path, strict):
        layout = kdb.Layout()
        top, leaf = layout.create_cell("TOP"), layout.create_cell("LEAF")
        box = top.shapes(layout.layer(1, 0)).insert(kdb.Box(0, 0, 10, 10))
        box.set_property(5, "five")
        box.set_property("name", "value")
        instance = top.insert(kdb.CellInstArray(leaf.cell_index(), kdb.Trans()))
        instance.set_property("id", 3)
        options = kdb.SaveLayoutOptions()
        options.format = "OASIS"
        options.oasis_strict_mode = strict
        layout.write(str(tmp_path / "p.oas"), options)
        cells = load(tmp_path / "p.oas")
        shape = cells["TOP"].structures[(1, 0)][0]
        assert shape.properties["name"] == b"value"
        assert shape.properties["S_GDS_PROPERTY"] == (5, b"five")  # a single pair stands alone
        assert cells["TOP"].references[0].properties["id"] == 3

    @pytest.mark.parametrize("validation", [None, "crc32", "checksum32"])
    def test_files_from_gdstk(self, tmp_path, validation):
        library = gdstk.Library(unit=1e-6, precision=1e-9)
        leaf = library.new_cell("LEAF")
        leaf.add(gdstk.rectangle((0, 0), (1, 2), layer=1))
        top = library.new_cell("TOP")
        top.add(gdstk.Polygon([(0, 0), (10, 0), (8, 5), (3, 5)], layer=1))
        top.add(gdstk.Polygon([(0, 0), (5, 2), (5, 12), (0, 10)], layer=1))
        top.add(gdstk.Polygon([(20, 0), (30, 0), (30, 10)], layer=2))
        top.add(gdstk.ellipse((50, 50), 5, layer=3))
        top.add(gdstk.FlexPath([(0, 30), (20, 30), (20, 40)], 2, ends="extended", layer=4, simple_path=True))
        top.add(gdstk.Reference(leaf, (100, 0), columns=3, rows=2, spacing=(4, 5)))
        top.add(gdstk.Reference(leaf, (200, 0), rotation=0.5, magnification=2, x_reflection=True))
        target = tmp_path / "g.oas"
        library.write_oas(str(target), validation=validation)
        assert_matches_peer(load(target), target)

    def test_round_trip(self, tmp_path, design):
        first, second = tmp_path / "a.oas", tmp_path / "b.oas"
        design.write_oas(first, paths_to_polygons=False)
        cells = load(first)
        cells["TOP"].write_oas(second, paths_to_polygons=False)
        assert_same_geometry(design, second, [(1, 0), (2, 0), (4, 0)])
        again = load(second)
        assert again["TOP"].labels.keys() == design.labels.keys()
        assert [r.component.name for r in again["TOP"].references] == \
            [r.component.name for r in design.references]

    def test_properties_come_back(self, tmp_path):
        component = tw.Component("P")
        rectangle = tw.Rectangle((0, 0), (1, 1))
        rectangle.properties["note"] = "square"
        rectangle.properties["numbers"] = (1, -2, 2.5)
        rectangle.properties["S_GDS_PROPERTY"] = [(3, "three"), (4, "four")]
        component.add((1, 0), rectangle)
        reference = tw.Reference(tw.Component("Q"))
        reference.properties["id"] = 7
        component.add_reference(reference)
        component.properties["cell"] = "yes"
        library = tw.Properties()
        library["lib"] = 1.5
        target = tmp_path / "p.oas"
        component.write_oas(target, library_properties=library)
        cells, properties = load(target, library_properties=True)
        loaded = cells["P"]
        assert properties["lib"] == 1.5
        assert loaded.properties["cell"] == b"yes"
        shape = loaded.structures[(1, 0)][0]
        assert shape.properties["note"] == b"square" and shape.properties["numbers"] == (1, -2, 2.5)
        assert shape.properties["S_GDS_PROPERTY"] == rectangle.properties["S_GDS_PROPERTY"]
        assert loaded.references[0].properties["id"] == 7


# ---- Hand-made records ----------------------------------------------------------------------


def write(tmp_path, data, name="h.oas"):
    target = tmp_path / name
    target.write_bytes(data)
    return target


def polygon_record(point_list, x=0, y=0, layer=1):
    return bytes([21, 0x3B]) + uint(layer) + uint(0) + point_list + sint(x) + sint(y)


POINT_LISTS = [
    uint(0) + uint(4) + sint(10) + sint(5) + sint(-4) + sint(7),      # Manhattan, x first
    uint(1) + uint(2) + sint(6) + sint(9),                              # Manhattan, y first
    uint(2) + uint(3) + uint(10 << 2 | 0) + uint(5 << 2 | 1) + uint(10 << 2 | 2),
    uint(3) + uint(3) + uint(10 << 3 | 0) + uint(5 << 3 | 4) + uint(15 << 3 | 2),
    uint(4) + uint(3) + gdelta(10, 1) + gdelta(-3, 7) + gdelta(-8, -2),
    uint(5) + uint(3) + gdelta(10, 1) + gdelta(-13, 6) + gdelta(1, -10),
]

REPETITIONS = [
    uint(1) + uint(1) + uint(2) + uint(30) + uint(40),           # 3 × 4 lattice
    uint(2) + uint(2) + uint(25),                                 # 4 along x
    uint(3) + uint(0) + uint(35),                                 # 2 along y
    uint(4) + uint(2) + uint(20) + uint(5) + uint(40),            # x spaces
    uint(5) + uint(1) + uint(10) + uint(2) + uint(3),             # x spaces on a grid
    uint(6) + uint(1) + uint(20) + uint(25),                      # y spaces
    uint(7) + uint(0) + uint(5) + uint(3),                        # y spaces on a grid
    uint(8) + uint(1) + uint(0) + gdelta(20, 5) + gdelta(-5, 30), # skewed lattice
    uint(9) + uint(2) + gdelta(15, -15),                          # 4 along a diagonal
    uint(10) + uint(2) + gdelta(20, 3) + gdelta(-7, 25) + gdelta(40, 0),
    uint(11) + uint(1) + uint(5) + gdelta(4, 1) + gdelta(1, 6),
]


def ctrapezoids():
    records = []
    for kind in range(26):
        w, h = {20: (0, 10), 21: (0, 10), 22: (10, 0), 23: (10, 0)}.get(kind, (30, 10) if kind < 8 else (10, 30))
        info = 0x80 | (0x40 if w else 0) | (0x20 if h else 0) | 0x18 | 0x03
        records.append(bytes([26, info]) + uint(1) + uint(0) + uint(kind) + (uint(w) if w else b"") +
                       (uint(h) if h else b"") + sint(50 * kind) + sint(0))
    return records


class TestHandMade:
    def test_point_lists_trapezoids_and_repetitions_match_the_peer(self, tmp_path):
        elements = [polygon_record(p, x=100 * i) for i, p in enumerate(POINT_LISTS)]
        elements += ctrapezoids()
        elements += [bytes([23, 0x7B]) + uint(2) + uint(0) + uint(30) + uint(10) + sint(3) + sint(-4) + sint(0) + sint(100),
                     bytes([24, 0xFB]) + uint(2) + uint(0) + uint(10) + uint(30) + sint(-5) + sint(100) + sint(100),
                     bytes([25, 0x7B]) + uint(2) + uint(0) + uint(30) + uint(10) + sint(7) + sint(200) + sint(100)]
        elements += [rect(1000 * i, 1000, 3, 2, layer=3, repetition=r) for i, r in enumerate(REPETITIONS)]
        elements += [bytes([15]), rect(5000, 5000, 1, 1, layer=4), bytes([16]),
                     rect(10, 10, 1, 1, layer=4), bytes([20, 0x0C]) + sint(10) + uint(0)]
        target = write(tmp_path, oasis_bytes(cell("TOP"), *elements))
        assert_matches_peer(load(target), target)

    def test_cblocks_paths_circles_texts_and_placements_match_the_peer(self, tmp_path):
        leaf = cell("LEAF") + rect(0, 0, 2, 3)
        path = (bytes([22, 0xFB]) + uint(5) + uint(0) + uint(2) + bytes([0x0F]) + sint(3) + sint(-1) +
                uint(4) + uint(1) + gdelta(40, 0) + sint(0) + sint(0))
        circle = bytes([27, 0x3B]) + uint(6) + uint(0) + uint(9) + sint(100) + sint(100)
        text = bytes([19, 0x5B]) + string("abc") + uint(7) + uint(1) + sint(5) + sint(6)
        placements = [bytes([17, 0xB6]) + string("LEAF") + sint(300) + sint(0),
                      bytes([17, 0x38]) + sint(400) + sint(0) + REPETITIONS[9],
                      bytes([18, 0xB7]) + string("LEAF") + uint(0) + uint(3) + uint(0) + uint(135) + sint(500) + sint(0)]
        data = oasis_bytes(leaf, cblock(cell("TOP"), path, circle, text),
                           cblock(*placements, level=0))
        target = write(tmp_path, data)
        cells = load(target)
        assert_matches_peer(cells, target, skip=[(6, 0)])  # circles: each peer discretizes its own way
        (disc,) = cells["TOP"].structures[(6, 0)]
        assert (tuple(disc.radius), tuple(disc.center)) == ((0.009, 0.009), (0.1, 0.1))
        assert [label.text for label in cells["TOP"].labels[(7, 1)]] == ["abc"]

    def test_names_by_reference_after_the_cells(self, tmp_path):
        data = oasis_bytes(
            bytes([13]) + uint(1) + rect(0, 0, 1, 1),
            bytes([13]) + uint(0) + bytes([17, 0xF0]) + uint(1) + sint(5) + sint(5),
            bytes([19, 0x7B]) + uint(0) + uint(2) + uint(0) + sint(0) + sint(0),
            bytes([28, 0x16]) + uint(0) + uint(14) + uint(0),
            bytes([4]) + string("TOP") + uint(0), bytes([4]) + string("LEAF") + uint(1),
            bytes([6]) + string("text") + uint(0), bytes([8]) + string("key") + uint(0),
            bytes([10]) + string("value") + uint(0))
        cells = load(write(tmp_path, data))
        assert sorted(cells) == ["LEAF", "TOP"]
        assert cells["TOP"].references[0].component is cells["LEAF"]
        label = cells["TOP"].labels[(2, 0)][0]
        assert label.text == "text" and label.properties["key"] == b"value"

    def test_validation_signatures(self, tmp_path):
        for scheme in (1, 2):
            good = oasis_bytes(cell("A"), rect(0, 0, 1, 1), validation=scheme)
            assert set(load(write(tmp_path, good))) == {"A"}
            bad = bytearray(good)
            bad[-1] ^= 1
            with pytest.raises(RuntimeError, match="^END record at byte \\d+: validation signature mismatch$"):
                load(write(tmp_path, bytes(bad)))

    def test_warnings_for_ignored_metadata(self, tmp_path):
        data = oasis_bytes(bytes([11]) + string("metal") + uint(0) + uint(0),
                           bytes([30]) + uint(1) + string("x"), cell("A"))
        with pytest.warns(RuntimeWarning) as record:
            load(write(tmp_path, data))
        assert {"LAYERNAME metadata was ignored", "XNAME metadata was ignored"} <= {str(w.message) for w in record}


TOP = cell("TOP")
MESSAGES = [
    (oasis_bytes(version="2.0"), "START record at byte 13: unsupported OASIS version"),
    (oasis_bytes(unit=b"\x01" + uint(5)), "START record at byte 13: OASIS unit must be positive"),
    (MAGIC + bytes([14]), "START record at byte 13: expected START as the first record"),
    (oasis_bytes(bytes([1])), "START record at byte 22: START is not the first record"),
    (oasis_bytes(TOP, bytes([35])), "record record at byte 27: record ID exceeds 34"),
    (oasis_bytes(TOP, bytes([32])), "XELEMENT record at byte 27: XELEMENT is unsupported"),
    (oasis_bytes(TOP, bytes([33])), "XGEOMETRY record at byte 27: XGEOMETRY is unsupported"),
    (oasis_bytes(rect(0, 0, 1, 1)), "RECTANGLE record at byte 22: RECTANGLE appears outside a cell"),
    (oasis_bytes(bytes([15])), "XYABSOLUTE record at byte 22: XY mode record appears outside a cell"),
    (oasis_bytes(TOP, bytes([21, 0xC0])), "POLYGON record at byte 27: POLYGON has reserved info bits set"),
    (oasis_bytes(TOP, bytes([27, 0x40])), "CIRCLE record at byte 27: CIRCLE has reserved info bits set"),
    (oasis_bytes(TOP, bytes([19, 0x80])), "TEXT record at byte 27: TEXT has a reserved info bit set"),
    (oasis_bytes(TOP, bytes([22, 0x80]) + bytes([0x10])), "PATH record at byte 27: undefined OASIS modal variable layer"),
    (oasis_bytes(TOP, bytes([22, 0xC3]) + uint(1) + uint(0) + uint(1) + bytes([0x10])),
     "PATH record at byte 27: PATH extension scheme has reserved bits set"),
    (oasis_bytes(TOP, bytes([20, 0x03]) + uint(1) + uint(0)), "RECTANGLE record at byte 27: undefined OASIS modal variable geometry-w"),
    (oasis_bytes(TOP, rect(0, 0, 1, 1, repetition=uint(12))), "RECTANGLE record at byte 27: OASIS repetition type exceeds 11"),
    (oasis_bytes(TOP, rect(0, 0, 1, 1, repetition=uint(0))), "RECTANGLE record at byte 27: undefined OASIS modal variable repetition"),
    (oasis_bytes(TOP, rect(0, 0, 1, 1, repetition=uint(1) + uint(5000) + uint(5000) + uint(1) + uint(1))),
     "RECTANGLE record at byte 27: OASIS repetition expansion exceeds the configured bound"),
    (oasis_bytes(TOP, rect(0, 0, 1, 1, repetition=uint(2) + uint(1 << 30) + uint(1))),
     "RECTANGLE record at byte 27: OASIS repetition dimension exceeds the configured bound"),
    (oasis_bytes(TOP, polygon_record(uint(0) + uint(3) + sint(1) + sint(1) + sint(1))),
     "POLYGON record at byte 27: implicit Manhattan polygon count must be even"),
    (oasis_bytes(TOP, polygon_record(uint(2) + uint(2) + uint(4 << 2) + uint(4 << 2 | 1))),
     "POLYGON record at byte 27: polygon closing delta is not Manhattan"),
    (oasis_bytes(TOP, polygon_record(uint(3) + uint(2) + uint(4 << 3) + uint(3 << 3 | 1))),
     "POLYGON record at byte 27: polygon closing delta is not octangular"),
    (oasis_bytes(TOP, bytes([26, 0xC3]) + uint(1) + uint(0) + uint(26) + uint(1)),
     "CTRAPEZOID record at byte 27: CTRAPEZOID type exceeds 25"),
    (oasis_bytes(TOP, bytes([15]), bytes([28, 0x16]) + uint(0) + uint(8) + uint(1)),
     "PROPERTY record at byte 28: PROPERTY has no associable preceding record"),
    (oasis_bytes(TOP, rect(0, 0, 1, 1), bytes([28, 0x16]) + uint(0) + uint(16)),
     "PROPERTY record at byte \\d+: property value type exceeds 15"),
    (oasis_bytes(bytes([3]) + string("A"), bytes([4]) + string("B") + uint(1)),
     "CELLNAME record at byte \\d+: table mixes implicit and explicit records"),
    (oasis_bytes(bytes([4]) + string("A") + uint(1), bytes([4]) + string("B") + uint(1)),
     "CELLNAME record at byte \\d+: table repeats reference"),
    (oasis_bytes(bytes([4]) + string("A") + uint(1), bytes([4]) + string("A") + uint(2)),
     "CELLNAME record at byte \\d+: table assigns one value to multiple references"),
    (oasis_bytes(bytes([13]) + uint(4)), "END record at byte \\d+: CELLNAME reference 4 has no name-table entry"),
    (oasis_bytes(bytes([4]) + string("A") + uint(0), bytes([28, 0x17]) + uint(0) + bytes([8]) + uint(0),
                 bytes([28, 0x17]) + uint(0) + bytes([8]) + uint(1), bytes([8]) + string("S_CELL_OFFSET") + uint(0)),
     "CELLNAME record at byte \\d+: CELLNAME has duplicate S_CELL_OFFSET or S_BOUNDING_BOX properties"),
    (oasis_bytes(TOP, bytes([34]) + uint(1)), "CBLOCK record at byte 27: unsupported CBLOCK compression type"),
    (oasis_bytes(TOP, bytes([34]) + uint(0) + uint(1 << 30) + uint(1)),
     "CBLOCK record at byte 27: CBLOCK exceeds the configured byte/work bound"),
    (oasis_bytes(TOP, cblock(cblock(rect(0, 0, 1, 1)))),
     "CBLOCK record at byte 27, decompressed byte 0: nested CBLOCK is forbidden"),
    (oasis_bytes(TOP, cblock(bytes([2]))), "END record at byte 27, decompressed byte 0: END is forbidden inside CBLOCK"),
    (oasis_bytes(TOP, bytes([34]) + uint(0) + uint(5) + uint(3) + b"\xff\xff\xff"),
     "CBLOCK record at byte 27, decompressed byte 0: invalid raw DEFLATE stream"),
    (oasis_bytes(TOP, bytes([34]) + uint(0) + uint(0) + uint(0)),
     "CBLOCK record at byte 27: CBLOCK contains no decompressed records"),
    (oasis_bytes(TOP)[:-256] + end_record()[:14] + uint(241) + bytes(242),
     "END record at byte \\d+: END record is not exactly 256 bytes"),
    (oasis_bytes(TOP) + b"\x00", "END record at byte \\d+: trailing bytes follow END"),
    (oasis_bytes(TOP)[:-256], "END record at byte \\d+: missing END record"),
    (oasis_bytes(TOP)[:-256] + end_record(3), "END record at byte \\d+: validation scheme exceeds 2"),
    (oasis_bytes(TOP)[:-256] + bytes([2]) + b"\x01\x00" * 5 + b"\x01" + uint(100000) + uint(238) + bytes(238) + b"\x00",
     "END record at byte \\d+: table offset lies outside the file"),
    (oasis_bytes(TOP, rect(0, 0, 1, 1))[:31], "RECTANGLE record at byte 27: truncated input"),
]


@pytest.mark.parametrize("data, message", MESSAGES)
def test_reader_messages(tmp_path, data, message):
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        load(write(tmp_path, data))


def test_cblock_count_mismatches(tmp_path):
    size = len(rect(0, 0, 1, 1))
    raw = zlib.compressobj(6, zlib.DEFLATED, -15)
    packed = raw.compress(rect(0, 0, 1, 1)) + raw.flush()
    for declared, detail in [(size - 3, "decompressed byte count exceeds the declared count"),
                             (size + 3, "decompressed byte count does not match the declared count")]:
        data = oasis_bytes(TOP, bytes([34]) + uint(0) + uint(declared) + uint(len(packed)) + packed)
        with pytest.raises(RuntimeError, match=f"^CBLOCK record at byte 27, decompressed byte \\d+: {detail}$"):
            load(write(tmp_path, data))
    for compressed, detail in [(packed + b"\x00\x00", "raw DEFLATE stream has extra compressed payload"),
                               (packed[:-2], "truncated raw DEFLATE stream")]:
        data = oasis_bytes(TOP, bytes([34]) + uint(0) + uint(size) + uint(len(compressed)) + compressed)
        with pytest.raises(RuntimeError, match=f"^CBLOCK record at byte 27, decompressed byte \\d+: {detail}$"):
            load(write(tmp_path, data))


def test_corrupted_files_only_raise_runtime_errors(tmp_path, design):
    sources = [tmp_path / "ours.oas", tmp_path / "peer.oas"]
    design.write_oas(sources[0], compression_level=0)
    peer_file(sources[1], cblocks=True, strict=True)
    generator = random.Random(20261206)
    target = tmp_path / "bad.oas"
    outcomes = {"loaded": 0, "failed": 0}
    for source in sources:
        original = source.read_bytes()
        for trial in range(150):
            data = bytearray(original)
            if trial % 3 == 0:
                data = data[:generator.randrange(len(data))]
            else:
                for _ in range(generator.randint(1, 4)):
                    data[generator.randrange(len(MAGIC), len(data))] = generator.randrange(256)
            target.write_bytes(bytes(data))
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    load(target)
                outcomes["loaded"] += 1
            except RuntimeError:
                outcomes["failed"] += 1
    assert outcomes["failed"] > 100


class TestAcrossBufferBoundaries:
    """Files large enough that records, integers and compressed data span the reader's runs of
    file bytes (64 KiB) and of inflated bytes (16 KiB)."""

    @staticmethod
    def rectangles(count, seed):
        generator = random.Random(seed)
        return [rect(generator.randrange(-10**6, 10**6), generator.randrange(-10**6, 10**6),
                     generator.randrange(1, 5000), generator.randrange(1, 5000),
                     layer=generator.randrange(1, 4)) for _ in range(count)]

    @pytest.mark.parametrize("compressed", [False, True])
    @pytest.mark.parametrize("validation", [1, 2])
    def test_geometry_matches_the_peer(self, tmp_path, compressed, validation):
        elements = self.rectangles(12000, seed=validation)
        body = [cblock(*elements[:7000]), cblock(*elements[7000:], level=1)] if compressed else elements
        target = write(tmp_path, oasis_bytes(TOP, *body, validation=validation))
        assert target.stat().st_size > 2 * 65536
        assert_matches_peer(load(target), target)

    def test_truncation_names_the_cut_record(self, tmp_path):
        elements = self.rectangles(12000, seed=3)
        starts, offset = [], len(oasis_bytes(TOP)) - 256
        for element in elements:
            starts.append(offset)
            offset += len(element)
        data = oasis_bytes(TOP, *elements)
        for cut in (65535, 65536, 65537, 2 * 65536 + 1):
            record = max(start for start in starts if start < cut)
            with pytest.raises(RuntimeError, match=f"^RECTANGLE record at byte {record}: truncated input$"):
                load(write(tmp_path, data[:cut]))
