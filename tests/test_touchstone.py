"""Touchstone files: writing, reading every layout and option, and hostile input."""

import os
import warnings

import numpy as np
import pytest
import skrf

import tarnwhistle as tw

UNITS = {"hz": 1, "khz": 1e3, "mhz": 1e6, "ghz": 1e9}


def random_network(nports, unit="ghz", count=4, seed=0):
    rng = np.random.default_rng(seed + nports)
    s = rng.normal(size=(count, nports, nports)) + 1j * rng.normal(size=(count, nports, nports))
    return skrf.Network(frequency=skrf.Frequency(1, count, count, unit=unit), s=s)


def write_text(tmp_path, text, name="data.snp"):
    path = tmp_path / name
    path.write_text(text)
    return path


def load_with_warnings(path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = tw.load_snp(path)
    return result, [str(w.message) for w in caught if w.category is RuntimeWarning]


@pytest.mark.parametrize("nports", [1, 2, 3, 4])
def test_written_files_load_in_the_peer(tmp_path, nports):
    rng = np.random.default_rng(nports)
    frequencies = np.array([3e9, 1e9, 2.5e9])
    names = [f"P{k}@0" for k in range(nports)]
    elements = {(a, b): rng.normal(size=3) + 1j * rng.normal(size=3) for a in names for b in names}
    path = tmp_path / f"out.s{nports}p"
    s = tw.SMatrix(frequencies, elements)
    assert s.write_snp(path) is s
    text = path.read_text()
    assert ("[Two-Port Data Order] 12_21" in text) == (nports == 2)
    order = np.argsort(frequencies)
    network = skrf.Network(str(path))
    np.testing.assert_allclose(network.f, frequencies[order])
    for i, out in enumerate(names):
        for j, inp in enumerate(names):
            # 16 significant digits: within a few units in the last place
            np.testing.assert_allclose(network.s[:, i, j], elements[(inp, out)][order], rtol=1e-15)
    dense, f = tw.load_snp(path)
    np.testing.assert_array_equal(dense, network.s)
    np.testing.assert_array_equal(f, network.f)
    again = tw.SMatrix.load_snp(path)
    assert again.elements.keys() == s.elements.keys()
    for key, values in s.elements.items():
        np.testing.assert_allclose(again[key], values[order], rtol=1e-15)


def test_written_text_of_a_large_matrix(tmp_path):
    """Megabytes of text, so the writer's buffer goes out in several pieces mid-line."""
    rng = np.random.default_rng(5)
    count, names = 3000, [f"P{k}@0" for k in range(4)]
    frequencies = rng.uniform(1e9, 1e11, count)
    scales = 10.0 ** rng.integers(-320, 300, size=(count, 4, 4))
    s = (rng.normal(size=(count, 4, 4)) + 1j * rng.normal(size=(count, 4, 4))) * scales
    s[0, 0, 0], s[1, 0, 0] = complex(-0.0, 1e-310), complex(1e16, 123456789012345680)
    elements = {(a, b): s[:, j, i] for i, a in enumerate(names) for j, b in enumerate(names)}
    path = tmp_path / "large.s4p"
    tw.SMatrix(frequencies, elements).write_snp(path)
    order = np.argsort(frequencies)
    lines = ["[Version] 2.0", "# Hz S RI", "[Number of Ports] 4", f"[Number of Frequencies] {count}", "[Network Data]"]
    for f in order:
        numbers = [frequencies[f]] + [part for v in s[f].ravel() for part in (v.real, v.imag)]
        lines.append(" ".join("%.16g" % x for x in numbers))
    text = path.read_text()
    assert len(text) > 2 << 20
    assert text == "\n".join(lines) + "\n[End]\n"


def test_dense_order_follows_ports_then_modes(tmp_path):
    s = tw.SMatrix([1.0], {("B@0", "A@1"): [2], ("A@0", "B@0"): [3], ("A@1", "A@1"): [4]})
    s.write_snp(tmp_path / "m.s3p")
    dense, _ = tw.load_snp(tmp_path / "m.s3p")
    expected = np.zeros((1, 3, 3), complex)  # A@0, A@1, B@0
    expected[0, 1, 2], expected[0, 2, 0], expected[0, 1, 1] = 2, 3, 4
    np.testing.assert_array_equal(dense, expected)


@pytest.mark.parametrize("version", ["1.0", "2.0"])
@pytest.mark.parametrize("form", ["ri", "ma", "db"])
@pytest.mark.parametrize("nports", [1, 2, 3, 4])
def test_peer_files_load_identically(tmp_path, version, form, nports):
    for unit in UNITS:
        network = random_network(nports, unit)
        path = tmp_path / f"peer.s{nports}p"
        network.write_touchstone(str(path), form=form, version=version)
        (dense, f), messages = load_with_warnings(path)
        assert messages == []
        np.testing.assert_allclose(f, network.f, rtol=1e-15)
        np.testing.assert_allclose(dense, network.s, rtol=1e-12, atol=1e-14)
        s = tw.SMatrix.load_snp(path)
        np.testing.assert_allclose(s[("P0@0", f"P{nports - 1}@0")], network.s[:, nports - 1, 0],
                                   rtol=1e-12, atol=1e-14)


def test_port_names_and_modes(tmp_path):
    path = tmp_path / "three.s3p"
    network = random_network(3)
    network.write_touchstone(str(path))
    s = tw.SMatrix.load_snp(path, ports=[("A", 2), "B"])
    assert list(s.ports) == ["A", "B"] and set(s.ports.values()) == {None}
    assert {key[0] for key in s.elements} == {"A@0", "A@1", "B@0"}
    np.testing.assert_allclose(s[("A@1", "B@0")], network.s[:, 2, 1])
    np.testing.assert_allclose(s[("B@0", "A@0")], network.s[:, 0, 2])
    for ports, message in [
        (["A", "B"], "Number of port modes does not match the number in file '.*': expected 3 port modes."),
        ([("A", 4)], "Number of port modes does not match"),
    ]:
        with pytest.raises(RuntimeError, match=message):
            tw.SMatrix.load_snp(path, ports)
    for ports, message in [
        (5, "'ports' must be a sequence of strings."),
        ([("A", "2")], r"'ports\[0\]' is not a string or tuple\[string, int\]."),
        (["A", ("B",)], r"'ports\[1\]' is not a string or tuple\[string, int\]."),
    ]:
        with pytest.raises(TypeError, match=message):
            tw.SMatrix.load_snp(path, ports)


V1_TWO_PORT = "# GHz S RI R 50\n1 11 0 21 0 12 0 22 0\n2 11 1 21 1 12 1 22 1\n"


def test_version_one_two_port_order_and_options(tmp_path):
    dense, f = tw.load_snp(write_text(tmp_path, V1_TWO_PORT))
    np.testing.assert_array_equal(f, [1e9, 2e9])
    np.testing.assert_array_equal(dense[1], [[11 + 1j, 12 + 1j], [21 + 1j, 22 + 1j]])
    dense, f = tw.load_snp(write_text(tmp_path, "! dB\n# MHz S DB R 75\n5 -20 90\n"))
    np.testing.assert_array_equal(f, [5e6])
    np.testing.assert_allclose(dense[0, 0, 0], 0.1j, atol=1e-17)
    # Defaults: GHz and magnitude/angle.
    dense, f = tw.load_snp(write_text(tmp_path, "1 2 180\n"))
    assert f[0] == 1e9 and dense[0, 0, 0] == pytest.approx(-2)


def test_layout_rules_of_the_data(tmp_path):
    # Eighteen values in the first block: three ports; continuation lines span one frequency.
    block = "1 " + " ".join(["1 0"] * 3) + "\n" + ("  " + " ".join(["2 0"] * 3) + "\n") * 2
    dense, _ = tw.load_snp(write_text(tmp_path, block + block.replace("1 ", "2 ", 1)))
    assert dense.shape == (2, 3, 3) and dense[1, 2, 2] == 2
    with pytest.raises(RuntimeError, match="Invalid matrix size in file '.*': 8 is not a perfect square."):
        tw.load_snp(write_text(tmp_path, "1 " + " ".join(["1 0"] * 8) + "\n"))
    with pytest.raises(RuntimeError, match="Invalid network data format in file '.*'.$"):
        tw.load_snp(write_text(tmp_path, "1 1 0 2\n"))
    upper = ("[Version] 2.0\n# Hz S RI\n[Number of Ports] 3\n[Matrix Format] Upper\n[Network Data]\n"
             "1 11 0 12 0 13 0\n22 0 23 0\n33 0\n[End]\n")
    dense, _ = tw.load_snp(write_text(tmp_path, upper))
    np.testing.assert_array_equal(dense[0].real, [[11, 12, 13], [12, 22, 23], [13, 23, 33]])
    lower = upper.replace("Upper", "Lower").replace("1 11 0 12 0 13 0\n22 0 23 0\n33 0",
                                                    "1 11 0\n12 0 22 0\n13 0 23 0 33 0")
    np.testing.assert_array_equal(tw.load_snp(write_text(tmp_path, lower))[0], dense)
    (continued, _), messages = load_with_warnings(write_text(
        tmp_path, "[Version] 2.0\n[Number of Ports] 2\n[Two-Port Data Order] 21_12\n[Number of Frequencies] 3\n"
        "[Network Data]\n1 1 0 2 0\n 3 0 4 0 ! trailing\n[End]\n"))
    np.testing.assert_array_equal(continued[0].real, [[1, 3], [2, 4]])
    assert messages == ["Expected 3 frequencies in file '" + str(tmp_path / "data.snp") + "', but 1 found."]


def test_decreasing_frequency_ends_the_data(tmp_path):
    v2 = "[Version] 2.0\n# Hz S RI\n[Number of Ports] 1\n[Network Data]\n1 1 0\n2 2 0\n1.5 3 0\n[End]\n"
    path = write_text(tmp_path, v2)
    (dense, f), messages = load_with_warnings(path)
    np.testing.assert_array_equal(f, [1, 2])
    assert messages == [f"Invalid network data format in file '{path}' detected. Parsing stopped at "
                        f"frequency << 1.5 Hz (file position {v2.index('1.5')} bytes)."]
    (dense, f), messages = load_with_warnings(write_text(tmp_path, V1_TWO_PORT + "1 2 3 4 5\n"))
    assert len(f) == 2 and messages == [f"Noise data from file '{path}' not currently supported."]


def test_case_of_numbers_and_keywords_is_ignored(tmp_path):
    lower = "[version] 2.0\n# mhz s db\n[number of ports] 1\n[network data]\n1.5e3 -6.0e0 4.5e1\n2e3 nan inf\n[end]\n"
    expected_dense, expected_f = tw.load_snp(write_text(tmp_path, lower, "lower.s1p"))
    dense, f = tw.load_snp(write_text(tmp_path, lower.upper(), "upper.s1p"))
    np.testing.assert_array_equal(f, [1.5e9, 2e9])
    np.testing.assert_array_equal(f, expected_f)
    np.testing.assert_array_equal(dense, expected_dense)
    np.testing.assert_allclose(dense[0, 0, 0], 10 ** (-6 / 20) * np.exp(1j * np.pi / 4), rtol=1e-15)


@pytest.mark.parametrize("text", [
    "[Version] 2.0\n# Hz S RI\n[Number of Ports] 1\n[Network Data]\n1 1 0\n2 1 0\n[Number of Ports] 0\n",
    "# Hz S RI\n1 1 0\n2 1 0\n[Number of Ports] 3\n3 1 0\n",
])
def test_port_count_after_data_is_ignored(tmp_path, text):
    path = write_text(tmp_path, text)
    (dense, f), _ = load_with_warnings(path)
    np.testing.assert_array_equal(dense, np.ones((len(f), 1, 1)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert list(tw.SMatrix.load_snp(path).elements) == [("P0@0", "P0@0")]


HEADER = "[Version] 2.0\n# Hz S RI\n[Number of Ports] 1\n"
DATA = "[Network Data]\n1 1 0\n[End]\n"


@pytest.mark.parametrize("text, message", [
    (HEADER + "[Version] 1.1\n" + DATA, "File '{}' has unexpected version 1.1. Assuming version 2.0."),
    (HEADER + "[Version] 2.0\n" + DATA, "File '{}' has multiple version keywords."),
    (HEADER + "[Number of Ports] 1\n" + DATA, "File '{}' has multiple number of ports keywords."),
    (HEADER + "[Two-Port Data Order] 12_21\n" + DATA, "Invalid two-port order setting for 1 ports in file '{}.'"),
    (HEADER.replace("1\n", "2\n") + "[Two-Port Data Order] 1221\n[Network Data]\n1 1 0 1 0 1 0 1 0\n",
     "Invalid two-port order setting in file '{}': 1221"),
    (HEADER.replace("1\n", "2\n") + "[Two-Port Data Order] 12_21\n[Two-Port Data Order] 12_21\n"
     "[Network Data]\n1 1 0 1 0 1 0 1 0\n", "File '{}' has multiple two-port data order keywords."),
    (HEADER + "[Number of Frequencies] 1\n[Number of Frequencies] 1\n" + DATA,
     "File '{}' has multiple number of frequencies keywords."),
    (HEADER + "[Number of Noise Frequencies] 2\n" + DATA,
     "Number of noise frequencies from file '{}' not currently supported."),
    (HEADER + "[Number of Noise Frequencies] 2\n[Number of Noise Frequencies] 2\n" + DATA,
     "File '{}' has multiple number of noise frequencies keywords."),
    (HEADER + "[Reference] 50\n[Reference]\n 75\n" + DATA, "File '{}' has multiple reference keywords."),
    (HEADER + "[Matrix Format] Diagonal\n" + DATA,
     "Invalid matrix format in file '{}': diagonal (expected full, upper, or lower)."),
    (HEADER + "[Matrix Format] Full\n[Matrix Format] Full\n" + DATA, "File '{}' has multiple matrix format keywords."),
    (HEADER + "[Mixed-Mode Order] D2,1 C2,1\n" + DATA, "Mixed-mode order from file '{}' not currently supported."),
    (HEADER + "[Mixed-Mode Order] a\n[Mixed-Mode Order] a\n" + DATA,
     "File '{}' has multiple mixed-mode order keywords."),
    (HEADER + "[Network Data]\n1 1 0\n[Noise Data]\n1 2 3 4 5\n[End]\n",
     "Noise data from file '{}' not currently supported."),
    (HEADER + "[Noise Data] 1\n[Noise Data] 1\n" + DATA, "File '{}' has multiple noise data keywords."),
    (HEADER + "[Begin Information]\n[Begin Information] x\n[End Information]\n" + DATA,
     "File '{}' has multiple begin information keywords."),
    (HEADER + "[Begin Information] x y\n[End Information]\n[End Information]\n" + DATA,
     "File '{}' has multiple end information keywords."),
    (HEADER + DATA + "more\n", "Contents after [end] keyword ignored in '{}'."),
    (HEADER + "[Frobnicate] 3 4\n5\n" + DATA, "Unrecognized keyword [frobnicate] in file '{}': skipping to next keyword."),
    ("# Hz S RI R\n1 1 0\n", "Malformed option line in '{}': missing reference resistance."),
    ("# Hz S RI Q\n# Y\n1 1 0\n", "Malformed option line in '{}': 'q' is not a recognized value."),
])
def test_warnings_keep_the_data(tmp_path, text, message):
    path = write_text(tmp_path, text)
    (dense, f), messages = load_with_warnings(path)
    assert message.format(path) in messages
    assert f[0] == 1 and dense[0, 0, 0] == 1


@pytest.mark.parametrize("text, message", [
    ("# Hz Y RI\n1 1 0\n", "Currently, only S parameters are supported in snp files."),
    ("[Version] 2.0\n[Number of Ports\n", "Keyword missing closing bracket in '{}': [numberofports"),
    ("[Version] 2.0\n[Number of Ports]\n", "Expected value after keyword [numberofports] in file '{}'."),
    ("[Version] 2.0\n[Number of Ports] 2\n[Reference] 50\n", "Invalid number of reference values in file '{}': "
     "expected 2, but found 1."),
    ("[Version] 2.0\n[Number of Ports] 1\n[Reference] fifty\n", "Invalid reference value in file '{}': fifty"),
    (HEADER + "[Network Data]\n1 1 0\n[Network Data]\n2 1 0\n", "File '{}' has multiple network data keywords."),
    ("[Version] 2.0\n[Network Data]\n1 1 0\n", "Missing number of ports in file '{}'."),
    ("[Version] 2.0\n[Number of Ports] -1\n", "Invalid unsigned integer value in file: -1"),
    ("[Version] 2.0\n[Number of Frequencies] 99999999999999999999\n",
     "Invalid unsigned integer value in file: 99999999999999999999"),
    (HEADER + "[Network Data]\n1 1 x\n", "Invalid floating point value in file: x"),
    (HEADER + "[Network Data]\n1 1 0X\n", "Invalid floating point value in file: 0x"),
    (HEADER + "[Network Data]\n1 1\n", "Unexpected end of file '{}' reached while reading."),
    (HEADER + "2 1 0\n", "Unexpected value in '{}': 2 at position 44 bytes."),
    ("[Version] 2.0\n[Number of Ports] 1 2\n", "Unexpected value in '{}': 2 at position 34 bytes."),
])
def test_errors(tmp_path, text, message):
    path = write_text(tmp_path, text)
    with pytest.raises(RuntimeError) as info:
        tw.load_snp(path)
    assert str(info.value) == message.format(path)


def test_file_errors(tmp_path):
    missing = tmp_path / "missing" / "x.s1p"
    with pytest.raises(RuntimeError, match="Unable to open file '.*x.s1p' for reading."):
        tw.load_snp(missing)
    with pytest.raises(RuntimeError, match="Unable to open file '.*x.s1p' for reading."):
        tw.SMatrix.load_snp(missing)
    with pytest.raises(RuntimeError, match="Unable to open file '.*x.s1p' for writing."):
        tw.SMatrix([1], {("A@0", "A@0"): [1]}).write_snp(missing)
    with pytest.raises(TypeError):
        tw.load_snp(3)
    with pytest.raises(RuntimeError, match=f"^Error reading '{tmp_path}'.$"):
        tw.load_snp(tmp_path)
    if os.path.exists("/dev/full"):
        with pytest.raises(RuntimeError, match="^Error closing '/dev/full'.$"):
            tw.SMatrix([1], {("A@0", "A@0"): [1]}).write_snp("/dev/full")
    for mode in ("99999999999999999999999", "3000000000"):
        with pytest.raises(MemoryError):
            tw.SMatrix([1], {(f"A@{mode}", "A@0"): [1]}).write_snp(tmp_path / "huge.s1p")


def test_reader_survives_corruption(tmp_path):
    """Truncations, garbage tokens and absurd counts only ever raise the reader's errors."""
    allowed = ("Invalid", "Unexpected", "Expected value", "Keyword missing", "Missing number", "File '",
               "Currently, only S")
    sources = []
    for nports, version in [(1, "1.0"), (2, "2.0"), (3, "1.0"), (4, "2.0")]:
        network = random_network(nports, count=3)
        path = tmp_path / "src.snp"
        network.write_touchstone(str(path), form="ri", version=version)
        sources.append(path.read_bytes())
    rng = np.random.default_rng(2024)
    garbage = [b"nan", b"1e999", b"[", b"]", b"!", b"#", b"4294967296", b"18446744073709551617", b"-",
               b"[Number of Ports] 3000000000", b"[Number of Ports] 2147483647", b"\x00\xff", b"\n", b"0x10"]
    path = tmp_path / "bad.snp"
    for trial in range(600):
        data = bytearray(sources[trial % len(sources)])
        kind = trial % 3
        if kind == 0:
            data = data[: rng.integers(0, len(data))]
        else:
            for _ in range(rng.integers(1, 4)):
                at = int(rng.integers(0, len(data)))
                span = int(rng.integers(0, 6)) if kind == 1 else 0
                data[at:at + span] = garbage[rng.integers(0, len(garbage))]
        path.write_bytes(bytes(data))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                dense, f = tw.load_snp(path)
            assert dense.shape[0] == f.size
        except RuntimeError as error:
            assert str(error).startswith(allowed), str(error)


def test_messages_quoting_bytes_that_are_not_utf8(tmp_path):
    path = tmp_path / "bytes.s1p"
    path.write_bytes(b"# GHz S RI R 50\n[Bogus\xff]\n1 0.5 0\n")
    with pytest.warns(RuntimeWarning, match="^Unrecognized keyword \\[bogus\ufffd\\]"):
        tw.load_snp(str(path))
    path.write_bytes(b"# GHz S RI R 50\n1 0.5 x\xff\n")
    with pytest.raises(RuntimeError, match="^Invalid floating point value in file: x\ufffd$"):
        tw.load_snp(str(path))
