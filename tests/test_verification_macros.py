"""The results-dumping macros run on real KLayout databases (through the klayout package, the
same `pya` the macros see inside KLayout), the result classes reading their dumps, and the
engine process runner."""

import base64
import io
import json
import pathlib
import sys
import time

import klayout.db as kdb
import klayout.pya
import klayout.rdb as rdb
import pytest

from tarnwhistle import verification
from tarnwhistle.verification import DRCResults, LVSResults, _run_process

MACROS = pathlib.Path(__file__).resolve().parents[1] / "core" / "verification"


def _strict(constant):
    raise ValueError(f"the dump holds {constant}, which is not JSON")


@pytest.fixture
def run_macro(tmp_path, monkeypatch):
    """Runs a macro file the way KLayout does: `pya` importable, each -rd variable a global
    string; returns the parsed dump."""
    monkeypatch.setitem(sys.modules, "pya", klayout.pya)

    def run(name, database, **variables):
        output = tmp_path / f"{name}.json"
        scope = {"__name__": "__main__", "input": str(database), "output": str(output)}
        scope.update((key, str(value)) for key, value in variables.items())
        source = MACROS / name
        exec(compile(source.read_text(encoding="utf-8"), str(source), "exec"), scope)
        return json.loads(output.read_bytes().decode("utf-8"), parse_constant=_strict)

    return run


def _area(polygon):
    def shoelace(points):
        return abs(sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1)
                       in zip(points, points[1:] + points[:1]))) / 2
    return shoelace(polygon["hull"]) - sum(shoelace(hole) for hole in polygon["holes"])


def _bbox(points):
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return (min(xs), min(ys)), (max(xs), max(ys))


# ---- DRC --------------------------------------------------------------------------------------

def _write_report(path):
    """A report database with markers of every kind, nested categories and referenced cells."""
    report = rdb.ReportDatabase("checks")
    report.description = "Minimum rules ✓"
    report.generator = "drc: rules.drc"
    report.top_cell_name = "TOP"
    top = report.create_cell("TOP")
    sub = report.create_cell("SUB", "1")
    sub.add_reference(rdb.RdbReference(kdb.DCplxTrans(2.0, 90.0, True, 1.5, -2.25), top.rdb_id()))
    sub.add_reference(rdb.RdbReference(kdb.DCplxTrans(1.0, 0.0, False, 10.0, 0.0), top.rdb_id()))
    width = report.create_category("width")
    width.description = "Width below 0.5 µm"
    metal = report.create_category(width, "metal1")
    metal.description = "on metal 1"
    narrow = report.create_category(metal, "narrow")
    space = report.create_category("space")
    holed = kdb.DPolygon(kdb.DBox(0, 0, 4, 3))
    holed.insert_hole(kdb.DBox(1, 1, 2, 2))
    wire = kdb.DPath([kdb.DPoint(0, 0), kdb.DPoint(2, 0)], 0.5)
    items = [(top, metal, [kdb.DEdgePair(kdb.DEdge(0, 0, 1, 0), kdb.DEdge(0, 0.4, 1, 0.4), True)]),
             (top, metal, [kdb.DEdge(0.1 + 0.2, 1 / 3, 2, 2)]),
             (sub, narrow, [holed]),
             (top, space, [kdb.DBox(-1, -1, 1, 2)]),
             (top, space, [wire]),
             (top, width, [kdb.DText("pad 'A' (x)", 3, 4)]),
             (top, width, [2.5]),
             (top, space, ["checked by hand"]),
             (sub, space, ["note", kdb.DBox(0, 0, 1, 1)]),
             (top, width, [])]
    for cell, category, values in items:
        item = report.create_item(cell.rdb_id(), category.rdb_id())
        for value in values:
            item.add_value(value)
    report.save(str(path))
    return len(items)


@pytest.fixture
def report(tmp_path):
    path = tmp_path / "results.lyrdb"
    _write_report(path)
    return path


class TestDrcDump:
    def test_header_categories_and_cells(self, run_macro, report):
        dump = run_macro("dump_drc.py", report)
        assert (dump["description"], dump["generator"], dump["top_cell"]) == (
            "Minimum rules ✓", "drc: rules.drc", "TOP")
        assert dump["categories"] == [
            {"name": "width", "description": "Width below 0.5 µm"},
            {"name": "width.metal1", "description": "on metal 1"},
            {"name": "width.metal1.narrow", "description": ""},
            {"name": "space", "description": ""}]
        top, sub = dump["cells"]
        assert top == {"name": "TOP", "variant": "", "references": []}
        assert (sub["name"], sub["variant"]) == ("SUB", "1")
        assert sub["references"] == [
            {"parent": "TOP", "x": 1.5, "y": -2.25, "rotation": 90.0, "mirror": True, "scale": 2.0},
            {"parent": "TOP", "x": 10.0, "y": 0.0, "rotation": 0.0, "mirror": False, "scale": 1.0}]
        # The decoded placement is the one written.
        placement = sub["references"][0]
        rebuilt = kdb.DCplxTrans(placement["scale"], placement["rotation"], placement["mirror"],
                                 placement["x"], placement["y"])
        assert rebuilt == kdb.DCplxTrans(2.0, 90.0, True, 1.5, -2.25)

    def test_markers_of_every_kind(self, run_macro, report):
        markers = run_macro("dump_drc.py", report)["markers"]
        assert [(m["category"], m["cell"]) for m in markers] == [
            ("width.metal1", "TOP"), ("width.metal1", "TOP"), ("width.metal1.narrow", "SUB"),
            ("space", "TOP"), ("space", "TOP"), ("width", "TOP"), ("width", "TOP"),
            ("space", "TOP"), ("space", "SUB"), ("width", "TOP")]
        pair, edge, holed, box, path, text, number, string, mixed, empty = markers
        assert pair["edge_pair"] == [[[0, 0], [1, 0]], [[0, 0.4], [1, 0.4]]]
        assert pair["symmetric"] is True
        # Coordinates are rounded to 9 decimals.
        assert edge["edge"] == [[0.3, round(1 / 3, 9)], [2, 2]]
        assert len(holed["polygon"]["holes"]) == 1
        assert _area(holed["polygon"]) == pytest.approx(11)
        assert _bbox(holed["polygon"]["holes"][0]) == ((1, 1), (2, 2))
        # Boxes and paths arrive as polygons.
        assert _area(box["polygon"]) == pytest.approx(6)
        assert _bbox(path["polygon"]["hull"]) == ((0, -0.25), (2, 0.25))
        assert (text["text"], text["position"]) == ("pad 'A' (x)", [3, 4])
        assert (number["value"], string["value"], empty["value"]) == ("2.5", "checked by hand", "")
        # The first geometric value of an item gives its kind.
        assert _area(mixed["polygon"]) == pytest.approx(1) and "value" not in mixed
        kinds = ("edge_pair", "edge", "polygon", "text", "value")
        assert [sum(kind in m for kind in kinds) for m in markers] == [1] * len(markers)

    @pytest.mark.parametrize("max_results, kept", [("0", 0), ("3", 3), ("", 10), (None, 10),
                                                   ("1000", 10)])
    def test_max_results_limits_markers_not_total(self, run_macro, report, max_results, kept):
        everything = run_macro("dump_drc.py", report)["markers"]
        variables = {} if max_results is None else {"max_results": max_results}
        dump = run_macro("dump_drc.py", report, **variables)
        assert dump["total"] == 10
        assert dump["markers"] == everything[:kept]

    def test_results_read_the_dump(self, run_macro, report):
        results = DRCResults._from_dump(run_macro("dump_drc.py", report, max_results=6), "log", 0)
        assert (results.total, len(results), results.truncated) == (10, 6, True)
        assert not results.passed
        assert results.count_by_category() == {"width": 1, "width.metal1": 2,
                                               "width.metal1.narrow": 1, "space": 2}
        assert [m.kind for m in results] == ["edge_pair", "edge", "polygon", "polygon", "polygon",
                                             "text"]
        assert [m.category for m in results.markers_in("width.metal1")] == [
            "width.metal1", "width.metal1", "width.metal1.narrow"]
        assert results.markers[2].bbox == ((0, 0), (4, 3))
        summary = results.summary()
        assert summary.splitlines()[0] == "DRC: 10 markers (6 read)"
        assert "  width.metal1: 2 (on metal 1)" in summary.splitlines()
        assert str(results) == summary and "log" == results.log

    def test_passed_needs_no_findings_and_a_clean_exit(self):
        empty = {"categories": [], "cells": [], "total": 0, "markers": []}
        assert str(DRCResults._from_dump(empty, "", 0)) == "DRC passed: no markers."
        assert "exit code 3" in DRCResults._from_dump(empty, "boom", 3).summary()
        # Cut to no markers, the database still has findings.
        assert not DRCResults._from_dump(dict(empty, total=2), "", 0).passed


# ---- LVS --------------------------------------------------------------------------------------

SCHEMATIC = """* two resistors in series
.SUBCKT R1K A B
R1 A B {r}
.ENDS
.SUBCKT TOP
X1 IN MID R1K
X2 {second} OUT R1K
.ENDS
"""


def _write_lvs(path, resistance=1000, second="MID", prepare=None, short_format=False):
    """Extracts two 1 kOhm resistors in series (250 Ohm/square, 4 squares) from a layout,
    compares them with a schematic and writes the LVS database; returns the LVS object."""
    layout = kdb.Layout()
    layout.dbu = 0.001
    metal, body, label = layout.layer(1, 0), layout.layer(2, 0), layout.layer(1, 1)
    resistor = layout.create_cell("R1K")
    resistor.shapes(metal).insert(kdb.DBox(0, 0, 1, 1))
    resistor.shapes(metal).insert(kdb.DBox(5, 0, 6, 1))
    resistor.shapes(body).insert(kdb.DBox(1, 0, 5, 1))
    top = layout.create_cell("TOP")
    top.insert(kdb.DCellInstArray(resistor.cell_index(), kdb.DTrans(0, 0)))
    top.insert(kdb.DCellInstArray(resistor.cell_index(), kdb.DTrans(kdb.DTrans.M0, 10, 1)))
    top.shapes(metal).insert(kdb.DBox(5.5, 0.2, 10.5, 0.8))
    for text, x in (("IN", 0.5), ("MID", 7.5), ("OUT", 15.5)):
        top.shapes(label).insert(kdb.DText(text, x, 0.5))
    lvs = kdb.LayoutVsSchematic(kdb.RecursiveShapeIterator(layout, top, []))
    layers = {"metal": lvs.make_layer(metal, "metal"), "body": lvs.make_layer(body, "body"),
              "label": lvs.make_text_layer(label, "label"),
              "well": lvs.make_layer(layout.layer(3, 0), "well")}  # empty: connectivity only
    lvs.extract_devices(kdb.DeviceExtractorResistor("RES", 250.0),
                        {"R": layers["body"], "C": layers["metal"]})
    lvs.connect(layers["metal"])
    lvs.connect(layers["metal"], layers["label"])
    if prepare is not None:
        prepare(lvs, layers)
    lvs.extract_netlist()
    schematic = path.with_suffix(".cir")
    schematic.write_text(SCHEMATIC.format(r=resistance, second=second))
    reference = kdb.Netlist()
    reference.read(str(schematic), kdb.NetlistSpiceReader())
    lvs.reference = reference
    lvs.compare(kdb.NetlistComparer())
    lvs.write(str(path), short_format)
    return lvs


def _circuit(netlist, name):
    return next(c for c in netlist["circuits"] if c["name"] == name)


def _read_back(path):
    lvs = kdb.LayoutVsSchematic()
    lvs.read(str(path))
    return lvs


_STATUS = {"Match": "match", "NoMatch": "nomatch", "Mismatch": "mismatch",
           "MatchWithWarning": "warning", "Skipped": "skipped"}


def _peer_comparisons(path):
    """Circuit statuses and net pairs by name, as the klayout package reads the database."""
    lvs = _read_back(path)
    xref = lvs.xref()
    statuses, nets = {}, set()
    for pair in xref.each_circuit_pair():
        name = (pair.first() or pair.second()).name
        statuses[name] = _STATUS[str(pair.status())]
        for net in xref.each_net_pair(pair):
            nets.add((name, net.first().name if net.first() else None,
                      net.second().name if net.second() else None, _STATUS[str(net.status())]))
    return statuses, nets


def _net_pairs_by_name(dump):
    names = set()
    for comparison in dump["comparisons"]:
        layout = {n["id"]: n["name"]
                  for n in _circuit(dump["layout"], comparison["layout"])["nets"]}
        schematic = {n["id"]: n["name"]
                     for n in _circuit(dump["schematic"], comparison["schematic"])["nets"]}
        for first, second, status, note in comparison["nets"]:
            assert note is None
            names.add((comparison["layout"], layout.get(first), schematic.get(second), status))
    return names


class TestLvsDump:
    def test_matching_netlists(self, run_macro, tmp_path):
        path = tmp_path / "results.lvsdb"
        _write_lvs(path)
        dump = run_macro("dump_lvs.py", path, load_shapes=0)
        assert dump["unit"] == 0.001
        layout, schematic = dump["layout"], dump["schematic"]
        assert layout["top_circuit"] == "TOP" and "top_circuit" not in schematic
        resistor = _circuit(layout, "R1K")
        (device,) = resistor["devices"]
        assert (device["device_class"], device["abstract"]) == ("RES", "D$RES")
        assert device["parameters"]["R"] == pytest.approx(1000)   # 250 Ohm x 4 squares
        assert (device["parameters"]["L"], device["parameters"]["W"]) == (4, 1)
        net_ids = {net["id"] for net in resistor["nets"]}
        assert set(device["terminals"].values()) == net_ids and len(net_ids) == 2
        assert sorted(pin["net"] for pin in resistor["pins"]) == sorted(net_ids)
        (resistor_class,) = layout["device_classes"]
        assert (resistor_class["name"], resistor_class["template"]) == ("RES", "RES")
        assert (resistor_class["terminals"], resistor_class["parameters"][0][:2]) == (
            ["A", "B"], ["R", True])
        top = _circuit(layout, "TOP")
        assert sorted(net["name"] for net in top["nets"]) == ["IN", "MID", "OUT"]
        assert [(s["circuit"], s["placement"]) for s in top["subcircuits"]] == [
            ("R1K", {"x": 0, "y": 0, "rotation": 0, "mirror": False, "scale": 1}),
            ("R1K", {"x": 10, "y": 1, "rotation": 0, "mirror": True, "scale": 1})]
        assert all("shapes" not in net and "labels" not in net for net in top["nets"])
        # Schematic nets are numbered from 1 in their order.
        assert [(n["id"], n["name"]) for n in _circuit(schematic, "R1K")["nets"]] == [
            (1, "A"), (2, "B")]
        assert _circuit(schematic, "TOP")["subcircuits"][1]["pins"] == [[0, 2], [1, 3]]

    def test_connections_agree_with_terminals_and_pins(self, run_macro, tmp_path):
        path = tmp_path / "results.lvsdb"
        _write_lvs(path)
        dump = run_macro("dump_lvs.py", path, load_shapes=0)
        for netlist in (dump["layout"], dump["schematic"]):
            for circuit in netlist["circuits"]:
                expected = set()
                for device in circuit["devices"]:
                    expected |= {(net, "device_terminal", device["id"], terminal)
                                 for terminal, net in device["terminals"].items()}
                for sub in circuit["subcircuits"]:
                    expected |= {(net, "subcircuit_pin", sub["id"], pin)
                                 for pin, net in sub["pins"]}
                expected |= {(pin["net"], "pin", pin["index"]) for pin in circuit["pins"]}
                # Each connection is its kind, then the device and terminal or the pin.
                found = {(net["id"],) + tuple(c.values())
                         for net in circuit["nets"] for c in net["connections"]}
                assert found == expected

    @pytest.mark.parametrize("variant, statuses", [
        ({}, {"R1K": "match", "TOP": "match"}),
        ({"second": "MID2"}, {"R1K": "match", "TOP": "nomatch"}),
        ({"resistance": 2000}, {"R1K": "nomatch", "TOP": "skipped"})])
    def test_comparisons_follow_the_cross_reference(self, run_macro, tmp_path, variant, statuses):
        path = tmp_path / "results.lvsdb"
        _write_lvs(path, **variant)
        dump = run_macro("dump_lvs.py", path, load_shapes=0)
        peer_statuses, peer_nets = _peer_comparisons(path)
        assert {c["layout"]: c["status"] for c in dump["comparisons"]} == statuses == peer_statuses
        assert _net_pairs_by_name(dump) == peer_nets
        results = LVSResults._from_dump(dump, "", 0)
        assert results.matched == (variant == {})
        assert results.circuit_status() == statuses
        mismatched = {(n["circuit"], n["layout"], n["schematic"], n["status"])
                      for n in results.mismatched_nets()}
        assert mismatched == {n for n in peer_nets if n[3] not in ("match", "warning")}

    def test_messages_of_a_mismatch(self, run_macro, tmp_path):
        path = tmp_path / "results.lvsdb"
        _write_lvs(path, resistance=2000)
        dump = run_macro("dump_lvs.py", path, load_shapes=0)
        top = next(c for c in dump["comparisons"] if c["layout"] == "TOP")
        assert "R1K" in top["description"]
        assert [m["text"] for m in dump["messages"]] == [top["description"]]
        resistor = next(c for c in dump["comparisons"] if c["layout"] == "R1K")
        assert {m["severity"] for m in resistor["messages"]} <= {"error", "warning", "info"}
        assert any(m["severity"] == "error" and "not matching" in m["text"]
                   for m in resistor["messages"])
        assert [1, None, "mismatch", None] in resistor["devices"]
        results = LVSResults._from_dump(dump, "engine log", 0)
        assert not results.matched and results.mismatched_devices()
        assert {m["cell"] for m in results.messages[1:]} == {"R1K"}
        summary = results.summary().splitlines()
        assert summary[0] == "LVS: netlists do not match"
        assert "  R1K / R1K: nomatch" in summary and "  TOP / TOP: skipped" in summary

    def test_layers_shapes_and_labels(self, run_macro, tmp_path):
        def prepare(lvs, layers):
            lvs.connect_global(layers["well"], "SUBSTRATE")
            lvs.soft_connect(layers["well"], layers["metal"])

        path = tmp_path / "results.lvsdb"
        _write_lvs(path, prepare=prepare)
        dump = run_macro("dump_lvs.py", path, load_shapes=1)
        layers = {layer["name"]: layer for layer in dump["layout"]["layers"]}
        # The database keeps the layers of the connectivity (not those of devices alone).
        assert list(layers) == _read_back(path).layer_names()
        assert {name: layers[name]["source"] for name in ("metal", "label", "well")} == {
            "metal": "1/0", "label": "1/1", "well": "3/0"}
        assert {"metal", "label", "well"} <= set(layers["metal"]["connected_to"])
        assert layers["well"]["soft_connected_to"] == ["metal"]
        assert layers["well"]["global_nets"] == ["SUBSTRATE"]
        assert layers["label"]["global_nets"] == layers["label"]["soft_connected_to"] == []
        top = _circuit(dump["layout"], "TOP")
        mid = next(net for net in top["nets"] if net["name"] == "MID")
        (wire,) = mid["shapes"]["metal"]
        assert _bbox(wire["hull"]) == ((5.5, 0.2), (10.5, 0.8))
        assert mid["labels"] == {"label": [{"text": "MID", "position": [7.5, 0.5]}]}
        pads = [_area(p) for net in _circuit(dump["layout"], "R1K")["nets"]
                for p in net["shapes"].get("metal", [])]
        assert pads == pytest.approx([1, 1])
        boundary = _circuit(dump["layout"], "R1K")["boundary"]
        assert _bbox(boundary["hull"]) == ((0, 0), (6, 1))

    def test_log_entries_and_property_values(self, run_macro, tmp_path):
        message = 'it\'s (a) "test"\n# not a comment \\ ✓'

        def prepare(lvs, layers):
            entry = kdb.LogEntryData()
            entry.severity = kdb.LogEntryData.Warning
            entry.message = message
            entry.cell_name, entry.net_name = "R1K", "n(1)"
            entry.category_name, entry.category_description = "SHORT", "A 'short' (maybe)"
            entry.geometry = kdb.DPolygon(kdb.DBox(0, 0, 1, 2))
            lvs.add_log_entry(entry)
            bare = kdb.LogEntryData()
            bare.message = "plain"
            lvs.add_log_entry(bare)

        path = tmp_path / "results.lvsdb"
        lvs = _write_lvs(path, second="MID2", prepare=prepare)
        circuit = lvs.netlist().circuit_by_name("R1K")
        for key, value in ((1, float("inf")), ("raw", b"\x00\xff"), ("nan", float("nan")),
                           ("map", {"a": 1, 2: [1.5, "x"]})):
            circuit.set_property(key, value)
        next(circuit.each_net()).set_property("kind", "supply")
        lvs.reference.circuit_by_name("R1K").set_property("kind", "resistor")
        lvs.write(str(path))
        dump = run_macro("dump_lvs.py", path, load_shapes=0)
        warning, plain = dump["extraction_messages"]
        assert warning == {"severity": "warning", "text": message, "cell": "R1K", "net": "n(1)",
                           "category": "SHORT", "category_description": "A 'short' (maybe)",
                           "geometry": {"hull": [[0, 0], [0, 2], [1, 2], [1, 0]], "holes": []}}
        assert plain == {"severity": "info", "text": "plain", "cell": None, "net": None,
                         "category": None, "category_description": None, "geometry": None}
        assert [e.message for e in _read_back(path).each_log_entry()] == [message, "plain"]
        # Property texts such as "#1" and "##inf" are no comments: the comparison log after
        # them is still read.
        assert any(c["messages"] for c in dump["comparisons"])
        properties = {json.dumps(key): value
                      for key, value in _circuit(dump["layout"], "R1K")["properties"]}
        assert properties == {"1": {"float": "inf"},
                              '"raw"': {"bytes": base64.b64encode(b"\x00\xff").decode()},
                              '"nan"': {"float": "nan"},
                              '"map"': properties['"map"']}
        assert sorted(properties['"map"']["dict"], key=json.dumps) == [["a", 1], [2, [1.5, "x"]]]
        assert [net["properties"] for net in _circuit(dump["layout"], "R1K")["nets"]] == [
            [["kind", "supply"]], []]
        schematic = _circuit(dump["schematic"], "R1K")
        assert schematic["properties"] == [["kind", "resistor"]]
        assert all(net["properties"] == [] for net in schematic["nets"])

    def test_short_and_compressed_databases_dump_alike(self, run_macro, tmp_path):
        def prepare(lvs, layers):
            lvs.connect_global(layers["well"], "SUBSTRATE")
            lvs.soft_connect(layers["well"], layers["metal"])
            lvs.soft_connect_global(layers["well"], "SUBSTRATE")

        lvs = _write_lvs(tmp_path / "long.lvsdb", second="MID2", prepare=prepare)
        lvs.write(str(tmp_path / "short.lvsdb"), True)
        lvs.write(str(tmp_path / "packed.lvsdb.gz"))
        assert (tmp_path / "packed.lvsdb.gz").read_bytes()[:2] == b"\x1f\x8b"
        dumps = [run_macro("dump_lvs.py", tmp_path / name, load_shapes=1)
                 for name in ("long.lvsdb", "short.lvsdb", "packed.lvsdb.gz")]
        assert dumps[0] == dumps[1] == dumps[2]
        assert any(c["messages"] for c in dumps[0]["comparisons"])
        well = next(layer for layer in dumps[0]["layout"]["layers"] if layer["name"] == "well")
        assert well["soft_connected_to"] == ["metal"] and well["soft_global_nets"] == ["SUBSTRATE"]

def _process_state(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return "gone"


# ---- Process runner ---------------------------------------------------------------------------

class TestRunProcess:
    @pytest.mark.parametrize("script, code, output", [
        ("echo a; echo b >&2; echo c", 0, "a\nb\nc\n"),
        ("printf 'x\\377y'; exit 7", 7, "x\ufffdy"),
        ("exit 0", 0, "")])
    def test_exit_code_and_combined_output(self, script, code, output):
        assert _run_process(["sh", "-c", script], "Test", None, None, False) == (code, output)

    def test_large_output_and_working_directory(self, tmp_path):
        code, output = _run_process(["sh", "-c", "pwd; head -c 3000000 /dev/zero | tr '\\0' x"],
                                    "Test", str(tmp_path), None, False)
        assert code == 0
        assert output.startswith(str(tmp_path) + "\n")
        assert output.count("x") == 3000000

    @pytest.mark.parametrize("ending", ["timeout", "interrupt", "leftover"])
    def test_no_process_outlives_the_call(self, tmp_path, monkeypatch, ending):
        # A background child is killed with its group when the timeout passes or the caller
        # is interrupted; one that still holds the output when the shell has ended is killed
        # then.
        pid_file, marker = tmp_path / "pid", tmp_path / "finished"
        child = f"(sleep 60; touch {marker})"
        if ending == "leftover":
            argv = ["sh", "-c", f"{child} & echo $! > {pid_file}; echo done"]
            assert _run_process(argv, "KLayout DRC", None, None, False) == (0, "done\n")
        else:
            argv = ["sh", "-c", f"{child} >/dev/null 2>&1 & echo $! > {pid_file}; wait"]
            if ending == "timeout":
                with pytest.raises(TimeoutError,
                                   match="^KLayout DRC did not finish within 0.5 s.$"):
                    _run_process(argv, "KLayout DRC", None, 0.5, False)
            else:
                def interrupt(progress):
                    raise KeyboardInterrupt

                monkeypatch.setattr(verification._Progress, "tick", interrupt)
                with pytest.raises(KeyboardInterrupt):
                    _run_process(argv, "KLayout DRC", None, None, True)
        assert not marker.exists()
        pid = int(pid_file.read_text())
        # The kernel may take a moment to end a process that got SIGKILL.
        for _ in range(100):
            state = _process_state(pid)
            if state in ("gone", "Z"):
                break
            time.sleep(0.05)
        assert state in ("gone", "Z")

    def test_progress_lines(self, capfd):
        _run_process(["sh", "-c", "exit 2"], "Reading results", None, None, True)
        assert capfd.readouterr().err.splitlines() == [
            "Reading results: started", "Reading results: finished (exit code 2) after 0 s"]
        _run_process(["true"], "Reading results", None, None, False)
        assert capfd.readouterr().err == ""

    def test_live_progress_on_a_terminal(self, monkeypatch):
        class Terminal(io.StringIO):
            def isatty(self):
                return True

        terminal = Terminal()
        monkeypatch.setattr(sys, "stderr", terminal)
        _run_process(["sleep", "2.5"], "KLayout LVS", None, None, True)
        text = terminal.getvalue()
        assert "\n" not in text[:-1] and text.endswith("\n")
        updates = text.split("\r\x1b[K")
        assert updates[0] == "KLayout LVS: started"
        assert all(u.startswith("KLayout LVS: running, ") and u.endswith(" s elapsed")
                   for u in updates[1:-1]) and len(updates) > 2
        assert updates[-1].startswith("KLayout LVS: finished (exit code 0) after ")
