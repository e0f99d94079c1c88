"""twf files and JSON store documents: the container, native values, streams and messages.

The stored forms of the individual object types are checked in the test_store_* files.
"""

import re
import struct

import numpy as np
import pytest

import fenn3d
import tarnwhistle as tw
from tarnwhistle import extension

HEADER = 26


def write(path, *objects):
    tw.write_twf(str(path), *objects)
    return path.read_bytes()


def rectangle(**properties):
    r = tw.Rectangle((1, 2), (3, 5), rotation=30)
    for key, value in properties.items():
        r.properties[key] = value
    return r


# ---- Container ------------------------------------------------------------------------------


def read_count(data, position):
    """A twf count and the position after it (the forms up to three bytes)."""
    first = data[position]
    if first < 0x80:
        return first, position + 1
    if first < 0xC0:
        return 0x80 + ((first & 0x3F) | data[position + 1] << 6), position + 2
    return 0x4080 + ((first & 0x1F) | data[position + 1] << 5 | data[position + 2] << 13), position + 3


def all_objects(data):
    """The all-objects table of a file without stream properties: (location, type id) entries
    and the position after the table."""
    table = struct.unpack("<Q", data[18:26])[0]
    count, position = read_count(data, table + 38)
    entries = []
    for _ in range(count):
        location, position = read_count(data, position)
        entries.append((location, data[position]))
        position += 1
    return entries, position


def record_of(data, type_id):
    """Start and end of the one record of type `type_id`."""
    entries, _ = all_objects(data)
    starts = sorted(location for location, _ in entries) + [struct.unpack("<Q", data[18:26])[0]]
    (start,) = [location for location, kind in entries if kind == type_id]
    return start, starts[starts.index(start) + 1]


def test_header_and_table(tmp_path):
    data = write(tmp_path / "a.twf", rectangle())
    assert data[:8] == b"KORUTWF\0"
    version, size, table = struct.unpack("<HQQ", data[8:HEADER])
    assert (version, size) == (7, len(data))
    assert HEADER < table < size
    # Table: stream properties (none), 36 type versions, all objects, explicit objects.
    assert data[table] == 0 and data[table + 1] == 36
    assert data[table + 2 + 12 - 1] == 0
    entries, position = all_objects(data)
    explicit_count, position = read_count(data, position)
    location, position = read_count(data, position)
    assert explicit_count == 1 and (location, data[position]) in entries
    assert data[position] == 12 and data[location] == 12  # the record starts with its type


@pytest.mark.parametrize("length, count", [
    (127, b"\x7f"), (128, b"\x80\x00"), (16511, b"\xbf\xff"), (16512, b"\xc0\x00\x00"),
    (2113663, b"\xdf\xff\xff"), (2113664, b"\xe0\x00\x00\x00"),
])
def test_count_encoding(tmp_path, length, count):
    # A native bytes value: type byte 5, no properties, tag 7, then its length as a count.
    data = write(tmp_path / "c.twf", b"x" * length)
    assert data[HEADER:HEADER + 3] == b"\x05\x00\x07"
    assert data[HEADER + 3:HEADER + 3 + len(count)] == count


@pytest.mark.parametrize("value", [0, 1, -1, 63, -64, 2**62, -(2**63), 2**63 - 1])
def test_signed_integers_round_trip(tmp_path, value):
    write(tmp_path / "s.twf", value)
    assert tw.load_full_twf(str(tmp_path / "s.twf")) == (value,)


def test_header_errors(tmp_path):
    good = write(tmp_path / "g.twf", rectangle())
    path = tmp_path / "bad.twf"

    def fails(data, message):
        path.write_bytes(data)
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            tw.load_full_twf(str(path))

    fails(good[:20], "Invalid header size for twf stream.")
    fails(b"X" + good[1:], "Invalid identifier in twf stream header.")
    fails(good[:-1], "Invalid twf stream size.")
    fails(good[:8] + struct.pack("<H", 8) + good[10:],
          "This twf file was created with a more recent version of tarnwhistle and cannot be loaded in this version.")
    fails(good[:8] + struct.pack("<H", 0) + good[10:],
          "This twf file was created with a beta version of tarnwhistle and it is not supported by this release.")
    table = struct.unpack("<Q", good[18:26])[0]
    fails(good[:table + 1] + b"\x25" + good[table + 2:], "Invalid type version table size: corrupted or invalid file.")
    with pytest.raises(RuntimeError, match="^Unable to open '"):
        tw.load_twf(str(tmp_path / "missing.twf"))


def test_unfinished_writer_is_rejected(tmp_path):
    path = tmp_path / "open.twf"
    stream = tw.TwfStream(str(path), "w")
    stream.write(rectangle())
    # Nothing but the header has reached the file: its size field is still zero.
    with pytest.raises(RuntimeError, match="^Invalid twf stream size.$"):
        tw.TwfStream(str(path))
    stream.close()
    assert tw.TwfStream(str(path)).data() == (rectangle(),)


def test_type_version_mismatch_message(tmp_path):
    data = bytearray(write(tmp_path / "v.twf", rectangle()))
    table = struct.unpack("<Q", data[18:26])[0]
    data[table + 2 + 12 - 1] = 3  # Rectangle records claim encoding version 3
    (tmp_path / "v.twf").write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match=re.escape("Expected type 'Rectangle <= 0' , found 'Rectangle == 3'.")):
        tw.load_full_twf(str(tmp_path / "v.twf"))


def test_seeded_corruption_never_crashes(tmp_path):
    r = rectangle(name="wg", values=(1, 2.5))
    good = write(tmp_path / "g.twf", r, {"a": [r, 1.5, "text", b"\x00"]}, r)
    rng = np.random.default_rng(7)
    path = tmp_path / "c.twf"
    for _ in range(400):
        data = bytearray(good)
        for _ in range(rng.integers(1, 4)):
            data[rng.integers(0, len(data))] = rng.integers(0, 256)
        if rng.random() < 0.3:
            data = data[:rng.integers(0, len(data))]
            data[10:18] = struct.pack("<Q", len(data)) if len(data) >= 18 else data[10:18]
        path.write_bytes(bytes(data))
        try:
            tw.load_full_twf(str(path), set_config=False)
        except (RuntimeError, ValueError, TypeError, re.error, UnicodeDecodeError):
            pass


# ---- Sharing, natives and content ---------------------------------------------------------


def test_objects_are_stored_once_and_load_shared(tmp_path):
    r = rectangle()
    data = write(tmp_path / "s.twf", r, [r, r], {"r": r})
    assert data.count(b"\x0c\x00") >= 1
    first, in_list, in_dict = tw.load_full_twf(str(tmp_path / "s.twf"))
    assert first == r and first is in_list[0] is in_list[1] is in_dict["r"]
    # The explicit table lists each object once.
    assert len(tw.load_full_twf(str(tmp_path / "s.twf"))) == 3
    write(tmp_path / "twice.twf", r, r)
    assert len(tw.load_full_twf(str(tmp_path / "twice.twf"))) == 1


NATIVES = [None, True, False, 0, -5, 2**40, 1.5, float("inf"), -float("inf"), 2 - 3j, "text ü",
           b"\x00\xff", (1, (2, 3)), [1, [2.5, None]], {"a": 1, 2: [3]}, {1, 2, 3},
           re.compile(r"a+\d", re.IGNORECASE | re.MULTILINE), fenn3d.Medium(permittivity=2.25),
           {"nested": {"medium": fenn3d.Medium(permittivity=4.0, conductivity=0.1)}}]


@pytest.mark.parametrize("value", NATIVES, ids=range(len(NATIVES)))
def test_native_values_round_trip(tmp_path, value):
    write(tmp_path / "n.twf", value)
    (loaded,) = tw.load_full_twf(str(tmp_path / "n.twf"))
    assert loaded == value and type(loaded) is type(value)
    _, document = extension._export(value)
    (imported,), _ = extension._import(byte_repr=document)
    assert imported == value and type(imported) is type(value)


def test_nan_and_unsupported_values(tmp_path):
    write(tmp_path / "nan.twf", float("nan"), complex(float("nan"), 1))
    x, z = tw.load_full_twf(str(tmp_path / "nan.twf"))
    assert np.isnan(x) and np.isnan(z.real) and z.imag == 1
    for value in (object(), 2**70, [lambda: 0]):
        with pytest.raises(RuntimeError, match="^Unsupported type in twf stream.$"):
            tw.write_twf(str(tmp_path / "u.twf"), value)
    nested = []
    nested.append(nested)
    with pytest.raises(RuntimeError, match="^Unsupported type in twf stream.$"):
        tw.write_twf(str(tmp_path / "u.twf"), nested)


def test_content_repr(tmp_path):
    a, b = rectangle(note=1), rectangle(note=2)
    assert a._id != b._id
    # Equal content gives equal bytes: no ids, no properties, no table.
    assert extension._content_repr(a) == extension._content_repr(b)
    assert extension._content_repr(a) != extension._content_repr(tw.Rectangle((1, 2), (3, 6)))
    with_config = extension._content_repr(a)
    without = extension._content_repr(a, include_config=False)
    assert with_config.startswith(without) and len(with_config) > len(without)
    with pytest.raises(TypeError, match="^Only 'include_config' accepted as keyword argument.$"):
        extension._content_repr(a, other=1)


def test_same_objects_write_identical_files(tmp_path):
    r, s = rectangle(a=1), tw.Rectangle((0, 0), (1, 1))
    assert write(tmp_path / "1.twf", r, s) == write(tmp_path / "2.twf", r, s)


# ---- Configuration --------------------------------------------------------------------------


@pytest.fixture
def saved_config():
    grid, tolerance = tw.config.grid, tw.config.tolerance
    yield
    tw.config.grid, tw.config.tolerance = grid, tolerance


def test_configuration_restored_only_when_asked(tmp_path, saved_config):
    tw.config.grid, tw.config.tolerance = 0.002, 0.01
    write(tmp_path / "c.twf", 1)
    _, document = extension._export(1)
    tw.config.grid, tw.config.tolerance = 0.001, 0.005
    tw.load_full_twf(str(tmp_path / "c.twf"), set_config=False)
    assert (tw.config.grid, tw.config.tolerance) == (0.001, 0.005)
    stream = tw.TwfStream(str(tmp_path / "c.twf"), set_config=False)
    assert stream.config["grid"] == 0.002 and stream.config["tolerance"] == 0.01
    assert (tw.config.grid, tw.config.tolerance) == (0.001, 0.005)
    tw.load_twf(str(tmp_path / "c.twf"))
    assert (tw.config.grid, tw.config.tolerance) == (0.002, 0.01)
    tw.config.grid, tw.config.tolerance = 0.001, 0.005
    _, stored = extension._import(byte_repr=document)
    assert stored["grid"] == 0.002 and (tw.config.grid, tw.config.tolerance) == (0.001, 0.005)
    extension._import(byte_repr=document, set_config=True)
    assert (tw.config.grid, tw.config.tolerance) == (0.002, 0.01)


# ---- Streams --------------------------------------------------------------------------------


def test_stream_life_cycle_and_messages(tmp_path):
    path = str(tmp_path / "s.twf")
    with pytest.raises(ValueError, match="^Argument 'mode' must be one of 'r' or 'w'.$"):
        tw.TwfStream(path, "a")
    writer = tw.TwfStream(path, "w")
    assert str(writer) == "TwfStream in write mode"
    writer.properties["origin"] = "test"
    writer.write(rectangle(), 5).write("text")
    for call, message in [
        (writer.data, "TwfStream not opened in read mode."),
        (writer.contents, "TwfStream not opened in read mode. Contents unavailable."),
        (writer.load_component, "TwfStream in write mode: cannot load component from it."),
        (writer.load_technology, "TwfStream in write mode: cannot load technology from it."),
    ]:
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            call()
    assert writer.config is None
    writer.close()
    assert str(writer) == "TwfStream closed"
    for call in (writer.close, lambda: writer.write(1)):
        with pytest.raises(RuntimeError, match="^TwfStream instance already closed.$"):
            call()

    reader = tw.TwfStream(path)
    assert str(reader) == "TwfStream in read mode"
    assert reader.data() == (rectangle(), 5, "text")
    assert reader.properties["origin"] == b"test"
    assert reader.contents() == {"components": set(), "technologies": set()}
    assert reader.load_component() == [] and reader.load_technology(name="x") == []
    with pytest.raises(RuntimeError, match="^TwfStream must be opened in write mode.$"):
        reader.write(1)
    reader.close()
    with pytest.raises(RuntimeError, match="^TwfStream instance already closed.$"):
        reader.data()


def test_stream_closes_when_destroyed(tmp_path):
    path = str(tmp_path / "d.twf")
    stream = tw.TwfStream(path, "w")
    stream.write(rectangle())
    del stream
    assert tw.load_full_twf(path) == (rectangle(),)
    # A with block closes the stream on the way out, also when the block raised.
    with pytest.raises(KeyError):
        with tw.TwfStream(path, "w") as stream:
            stream.write(rectangle(), 7)
            raise KeyError
    assert str(stream) == "TwfStream closed" and tw.load_full_twf(path) == (rectangle(), 7)
    with tw.TwfStream(path) as stream:
        stream.close()  # closing inside the block is fine


# ---- JSON store document --------------------------------------------------------------------


def test_json_document_layout_and_messages(tmp_path):
    import json
    r = rectangle(a=1)
    reached, document = extension._export(r, 5)
    parsed = json.loads(document)
    assert not re.search(rb'\s', re.sub(rb'"(\\.|[^"\\])*"', b"", document))  # no whitespace outside text
    assert list(parsed) == ["config", "data", "properties", "top_content", "type", "type_version"]
    assert parsed["type"] == "TarnWhistleStore" and parsed["type_version"] == "0.0"
    assert parsed["top_content"][0] == r._id and r._id in reached and reached[r._id] is r
    form = parsed["data"][r._id]
    assert form["type"] == "Rectangle" and form["type_version"] == "0.0" and form["properties"] == {"a": [1]}
    assert extension._dependencies(r) == {r._id: r}

    path = tmp_path / "doc.json"
    assert extension._export(r, filename=str(path)) == {r._id: r}
    (loaded,), _ = extension._import(filename=str(path))
    assert loaded == r and loaded._id == r._id

    def fails(error, message, **kwargs):
        with pytest.raises(error, match="^" + re.escape(message) + "$"):
            extension._import(**kwargs)

    fails(RuntimeError, "One (and only one) of 'filename' or 'byte_repr' must be set.")
    fails(RuntimeError, "One (and only one) of 'filename' or 'byte_repr' must be set.", filename=str(path), byte_repr=b"")
    fails(TypeError, "Argument 'byte_repr' must be a bytes instance.", byte_repr="text")
    wrong = dict(parsed, type="Other")
    fails(RuntimeError, "Expected type 'TarnWhistleStore', found 'Other'.", byte_repr=json.dumps(wrong).encode())
    missing = dict(parsed)
    del missing["data"]
    fails(RuntimeError, "key 'data' not found", byte_repr=json.dumps(missing).encode())
    dangling = dict(parsed, top_content=["nowhere"])
    fails(RuntimeError, "Object not found in data:nowhere", byte_repr=json.dumps(dangling).encode())
    unknown = json.loads(document)
    unknown["data"][r._id]["type"] = "Nothing"
    fails(RuntimeError, "Invalid object type found: -1.", byte_repr=json.dumps(unknown).encode())
    bad_config = dict(parsed, config={"grid": "x"})
    fails(RuntimeError, "Error deserializing config.", byte_repr=json.dumps(bad_config).encode())
    with pytest.raises(TypeError, match="^Only 'filename' is accepted as a keyword argument.$"):
        extension._export(r, file="x")


def test_store_type_names():
    assert extension._store_type("Component") == 26 and extension._store_type(26) == "Component"
    assert extension._store_type("TwfStream" if False else "Store") == 1
    for bad in (0, 37, "Nothing"):
        with pytest.raises(ValueError, match="^Invalid 'type_id'.$"):
            extension._store_type(bad)
    with pytest.raises(TypeError, match="^Expected str or int type.$"):
        extension._store_type(1.5)


def test_write_twf_arguments(tmp_path):
    with pytest.raises(TypeError, match=re.escape("write_twf() missing required argument 'filename' (pos 1)")):
        tw.write_twf()
    with pytest.raises(RuntimeError, match="^This twf file does not support this function.$"):
        data = bytearray(write(tmp_path / "old.twf", 1))
        table = struct.unpack("<Q", data[18:26])[0]
        # A version-6 table: no explicit list, the grid and tolerance as doubles.
        old = data[:table] + bytes([0, 36]) + bytes(36) + bytes([1, HEADER, 5]) + struct.pack("<dd", 0.001, 0.005)
        old[8:10] = struct.pack("<H", 6)
        old[10:18] = struct.pack("<Q", len(old))
        (tmp_path / "old.twf").write_bytes(bytes(old))
        assert tw.TwfStream(str(tmp_path / "old.twf")).config == {"grid": 0.001, "tolerance": 0.005}
        tw.load_full_twf(str(tmp_path / "old.twf"))


def count_bytes(value):
    """The twf count of a value below 16,512."""
    return bytes([value]) if value < 0x80 else bytes([0x80 | (value - 0x80) & 0x3F, (value - 0x80) >> 6])


def test_records_of_the_wrong_family_and_old_tables(tmp_path):
    # An extruded solid whose face location is redirected to a label.
    face = tw.Rectangle((0, 0), (1, 1))
    label = tw.Label("x")
    data = bytearray(write(tmp_path / "f.twf", face, label, tw.Extruded(fenn3d.Medium(), face, (0, 1))))
    table = struct.unpack("<Q", data[18:26])[0]
    (face_at, _), (label_at, _) = record_of(data, 12), record_of(data, 19)
    reference = b"\x09" + count_bytes(face_at)
    start, end = record_of(data, 17)
    assert len(count_bytes(face_at)) == len(count_bytes(label_at)) and data.count(reference, start, end) == 1
    at = data.index(reference, start, end)
    data[at:at + len(reference)] = b"\x09" + count_bytes(label_at)
    (tmp_path / "f.twf").write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="^Unexpected planar structure type: invalid or currupted file.$"):
        tw.load_full_twf(str(tmp_path / "f.twf"))
    # A sixth-generation file whose table cannot be read.
    old = bytearray(data[:table]) + bytes([0, 36]) + bytes(36) + bytes([5])
    old[8:10] = struct.pack("<H", 6)
    old[10:18] = struct.pack("<Q", len(old))
    (tmp_path / "old.twf").write_bytes(bytes(old))
    with pytest.raises(RuntimeError, match="^This twf file is not supported by the TWF6 reader.$"):
        tw.load_twf(str(tmp_path / "old.twf"))
