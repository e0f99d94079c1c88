"""GDSII files larger than the reader's block of input: records that straddle block ends, cuts
at any byte, trailing data far beyond ENDLIB; and rectangle corners at quarter turns, whose
outline the writer takes without building a polygon."""
import random
import struct

import numpy as np
import pytest

import tarnwhistle as tw
from test_gdsii import BOUNDARY, cell, library, load_bytes, load_fails, longs, record, shorts

BLOCK = 65536


def star(n, seed):
    """A star-shaped outline of n distinct integer vertices around (0, 0)."""
    rng = random.Random(seed)
    return [(round(r * np.cos(2 * np.pi * i / n)), round(r * np.sin(2 * np.pi * i / n)))
            for i in range(n) for r in [rng.choice((2_000_000, 3_000_000))]]


def boundary_of(points, layer=1):
    """One BOUNDARY, its coordinates spread over XY records of at most 8,191 points."""
    closed = list(points) + [points[0]]
    xy = b"".join(longs(0x10, *[c for p in closed[i:i + 8191] for c in p])
                  for i in range(0, len(closed), 8191))
    return record(BOUNDARY) + shorts(0x0D, layer) + shorts(0x0E, 0) + xy + record(0x11)


@pytest.fixture(scope="module")
def big_file():
    """A library of a few hundred kilobytes and the outlines it holds, by layer."""
    outlines = {1: [star(n, n) for n in (3, 5, 17, 8000, 8190, 9000, 20000)],
                2: [star(3 + i % 40, i) for i in range(2000)]}
    elements = [boundary_of(points, layer) for layer, group in outlines.items() for points in group]
    return library(cell("C", *elements)), outlines


def record_starts(data):
    """(offset, type) of every record."""
    starts, offset = [], 0
    while offset < len(data):
        length, kind = struct.unpack(">HB", data[offset:offset + 3])
        starts.append((offset, kind))
        offset += length
    return starts


def test_records_across_blocks(tmp_path, big_file):
    data, outlines = big_file
    assert len(data) > 5 * BLOCK
    cells, texts = load_bytes(tmp_path, data)
    assert texts == []
    for layer, group in outlines.items():
        loaded = cells["C"].structures[(layer, 0)]
        assert len(loaded) == len(group)
        for structure, points in zip(loaded, group):
            # File units are nanometres.
            np.testing.assert_array_equal(np.round(structure.vertices * 1000), points)


def test_cuts_anywhere(tmp_path, big_file):
    data, _ = big_file
    starts = record_starts(data)
    # Cuts in headers and payloads just before and after block ends, and at random.
    cuts = [k * BLOCK + d for k in range(1, 5) for d in (-3, -1, 0, 1, 2, 5)]
    cuts += random.Random(3).sample(range(100, len(data) - 4), 20)
    for cut in cuts:
        start, kind = max((s for s in starts if s[0] <= cut), key=lambda s: s[0])
        if cut < start + 4:
            expected = f"GDSII record header at byte {start}: truncated input"
        else:
            expected = f"GDSII record 0x{kind:02X} payload at byte {start + 4}: truncated input"
        assert load_fails(tmp_path, data[:cut]) == expected, cut


def test_trailing_data_beyond_blocks(tmp_path, big_file):
    data, _ = big_file
    assert load_bytes(tmp_path, data + bytes(3 * BLOCK + 7))[1] == []
    at = len(data) + 2 * BLOCK + 11
    texts = load_bytes(tmp_path, data + bytes(2 * BLOCK + 11) + b"\x05" + bytes(100), "t.gds")[1]
    assert texts == [f"{tmp_path / 't.gds'}: nonzero trailing tape data at byte {at} was ignored; "
                     "only the first library was read"]


def corners(polygon):
    return sorted(map(tuple, np.round(polygon.vertices, 6)))


class TestQuarterTurnCorners:
    """Corners at exact quarter turns against the general rotation a hair away from them."""

    @pytest.mark.parametrize("rotation", [0, 90, 180, 270, -90, 450, -720])
    def test_same_as_general_rotation(self, rotation):
        rng = random.Random(rotation)
        for _ in range(50):
            # Off-grid centers (grid 100 database units) and even sizes, in micrometres.
            center = (rng.randint(-10**6, 10**6) / 1e5, rng.randint(-10**6, 10**6) / 1e5)
            size = (2 * rng.randint(1, 10**5) / 1e5, 2 * rng.randint(1, 10**5) / 1e5)
            exact = tw.Rectangle(center=center, size=size, rotation=rotation).to_polygon()
            near = tw.Rectangle(center=center, size=size, rotation=rotation + 1e-9).to_polygon()
            # The same corners; the general rotation may start the outline elsewhere.
            np.testing.assert_allclose(corners(exact), corners(near), rtol=0, atol=1e-9)

    def test_written_outline(self, tmp_path):
        r = tw.Rectangle(center=(0.00123, -0.00456), size=(0.0031, 0.0012), rotation=270)
        component = tw.Component("R")
        component.add((1, 0), r)
        path = tmp_path / "r.gds"
        component.write_gds(path)
        (written,) = tw.load_layout(path)["R"].structures[(1, 0)]
        np.testing.assert_allclose(corners(written.to_polygon()), corners(r.to_polygon()), atol=1e-9)
