"""Calibre DRC checks through a stand-in `calibre` (tests/support/calibre): the deck copy with
this check's layout and results statements, and the ASCII results database read into markers,
checked against hand-written databases and against KLayout's own reader of the format."""

import json
import pathlib
import random
import re
import warnings

import gdstk
import klayout.db as kdb
import klayout.rdb as rdb
import pytest

import tarnwhistle as tw

STANDIN = pathlib.Path(__file__).resolve().parent / "support" / "calibre"
ADDED = ["LAYOUT PATH", "LAYOUT SYSTEM", "LAYOUT PRIMARY", "DRC RESULTS DATABASE",
         "DRC SUMMARY REPORT"]

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    TECH = tw.basic_technology()

# Two checks: a polygon with a cell property line, a spacing pair, one loose edge.
DATABASE = """TOP 1000
M1.W.1
2 2 2 Mon Dec  7 00:00:00 2026
Metal 1 width
  below 0.1 um
p 1 4
CN TOP c 1 0 0 1 0 0
0 0
100 0
100 50
0 50
e 2 2
0 0 100 0
0 80 100 80
M1.S.1
1 1 0
e 1 1
-5 -5 5 5
"""

MARKERS = [
    {"category": "M1.W.1", "cell": "TOP",
     "polygon": {"hull": [[0, 0], [0.1, 0], [0.1, 0.05], [0, 0.05]], "holes": []}},
    {"category": "M1.W.1", "cell": "TOP", "edge_pair": [[[0, 0], [0.1, 0]], [[0, 0.08], [0.1, 0.08]]],
     "symmetric": False},
    {"category": "M1.S.1", "cell": "TOP", "edge": [[-0.005, -0.005], [0.005, 0.005]]},
]


class Calibre:
    """Runs drc_check with the stand-in and returns what it saw."""

    def __init__(self, tmp_path, monkeypatch):
        self.dir = tmp_path
        self.record = tmp_path / "record.json"
        self.monkeypatch = monkeypatch
        monkeypatch.setenv("CALIBRE_STANDIN_RECORD", str(self.record))

    def write(self, name, text):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return path

    def check(self, source, deck, database=DATABASE, **kwargs):
        deck_path = self.write("deck.svrf", deck) if isinstance(deck, str) else deck
        self.monkeypatch.setenv("CALIBRE_STANDIN_RESULTS", str(self.write("given.db", database)))
        results = tw.drc_check(source, str(deck_path), engine="calibre", show_progress=False, **kwargs)
        return results, json.loads(self.record.read_text())


@pytest.fixture
def calibre(tmp_path, monkeypatch):
    previous = tw.config.calibre_executable
    tw.config.calibre_executable = str(STANDIN)
    yield Calibre(tmp_path, monkeypatch)
    tw.config.calibre_executable = previous


def component():
    c = tw.Component("CHIP", technology=TECH)
    c.add((1, 0), tw.Rectangle((0, 0), (4, 2)))
    return c


def added_and_deck(record):
    """The statements added at the top of the copy, and the rest of the copy."""
    lines = record["deck"].split("\n")
    end = next(i for i, line in enumerate(lines) if line.startswith("// End of the statements"))
    return lines[:end + 1], lines[end + 1:]


def statements(lines):
    return {name: line[len(name) + 1:] for line in lines for name in ADDED if line.startswith(name + " ")}


# ---- Running a deck --------------------------------------------------------------------------


def test_component_check_runs_a_copy_with_this_checks_statements(calibre):
    deck = ('// wrapper deck\nlayout path "mine.gds"  // replaced\nLayout System OASIS\n'
            'LAYOUT PRIMARY "OLD" /* starts a comment\nLAYOUT PATH "in_comment.gds" */\n'
            'DRC RESULTS DATABASE "mine.db" GDSII\nM1 { INT m1 < 0.1 }\n')
    results, record = calibre.check(component(), deck, args=["-hier", "-turbo", "4"])

    # The stand-in refuses a statement given twice, so the deck's own ones were set aside.
    added, rest = added_and_deck(record)
    found = statements(added)
    assert found == record["statements"]
    workdir = pathlib.Path(found["LAYOUT PATH"].strip('"')).parent
    assert workdir.name.startswith("tarnwhistle_verify_") and not workdir.exists()
    assert found.pop("LAYOUT PATH") == f'"{workdir / "layout.gds"}"'
    assert re.fullmatch(f'"{re.escape(str(workdir))}/[^"]+" ASCII', found.pop("DRC RESULTS DATABASE"))
    assert found == {"LAYOUT SYSTEM": "GDSII", "LAYOUT PRIMARY": '"CHIP"'}
    assert record["argv"][:4] == ["-drc", "-hier", "-turbo", "4"] and len(record["argv"]) == 5

    # Line for line the user's deck, the set-aside statements visible in comments.
    user = deck.split("\n")
    assert rest == [user[0], '/* set by TarnWhistle above: layout path "mine.gds" */  // replaced',
                    "/* set by TarnWhistle above: Layout System OASIS */",
                    '/* set by TarnWhistle above: LAYOUT PRIMARY "OLD" */ /* starts a comment', user[4],
                    '/* set by TarnWhistle above: DRC RESULTS DATABASE "mine.db" GDSII */', user[6], ""]

    # The layout Calibre read is the component.
    library = gdstk.read_gds(record["layout_copy"])
    assert [cell.name for cell in library.top_level()] == ["CHIP"]
    assert library.top_level()[0].polygons[0].area() == pytest.approx(8)

    assert results.dump["markers"] == MARKERS and results.total == 3
    assert "rule deck compiled" in results.log and results.exit_code == 0


@pytest.mark.parametrize("suffix, system", [(".gds", "GDSII"), (".oas", "OASIS")])
@pytest.mark.parametrize("top_level", [None, "CHIP"])
def test_layout_file_source(calibre, tmp_path, suffix, system, top_level):
    library = gdstk.Library()
    library.new_cell("CHIP").add(gdstk.rectangle((0, 0), (1, 1)))
    path = tmp_path / f"given{suffix}"
    library.write_gds(path) if suffix == ".gds" else library.write_oas(path)
    _, record = calibre.check(str(path), "M1 { INT m1 < 0.1 }\n", top_level=top_level)
    expected = {"LAYOUT PATH": f'"{path}"', "LAYOUT SYSTEM": system}
    if top_level:
        expected["LAYOUT PRIMARY"] = '"CHIP"'
    found = statements(added_and_deck(record)[0])
    assert found.pop("DRC RESULTS DATABASE").endswith('" ASCII') and found == expected


def test_summary_report_follows_the_deck(calibre, tmp_path, monkeypatch):
    # Without one in the deck, no summary is asked for.
    _, record = calibre.check(component(), "M1 { INT m1 < 0.1 }\n")
    assert "DRC SUMMARY REPORT" not in record["statements"]

    # An included file declares it, with options: the copy keeps the options, takes the file's
    # text in place of its INCLUDE (so no statement is given twice) and leaves other includes
    # as includes, by absolute path, wherever the copy runs from.
    monkeypatch.setenv("RULES_HOME", str(tmp_path / "rules"))
    calibre.write("rules/summary.svrf", 'drc summary report "mine.sum" HIER\nLAYER m1 1\n')
    plain = calibre.write("rules/layers.svrf", "LAYER m2 2\n")
    deck = 'INCLUDE "$RULES_HOME/summary.svrf"\ninclude rules/layers.svrf\n'
    _, record = calibre.check(component(), deck)
    summary = record["statements"]["DRC SUMMARY REPORT"]
    assert re.fullmatch(r'"[^"]*tarnwhistle_verify_[^"]*" HIER', summary)
    _, rest = added_and_deck(record)
    assert rest[:3] == [
        '/* copied below by TarnWhistle, its layout and results statements set aside: '
        'INCLUDE "$RULES_HOME/summary.svrf" */',
        '/* set by TarnWhistle above: drc summary report "mine.sum" HIER */', "LAYER m1 1"]
    assert f'include "{plain}"' in rest

    # An encrypted block is opaque: copied untouched, what it holds is not seen, and comment
    # marks in it open no comment.
    sealed = '#Decrypt\nDRC SUMMARY REPORT "sealed.sum" /*x\n#ENDCRYPT\nLAYOUT SYSTEM OASIS\n'
    _, record = calibre.check(component(), sealed)
    assert "DRC SUMMARY REPORT" not in record["statements"]
    assert added_and_deck(record)[1] == sealed.split("\n")[:3] + [
        "/* set by TarnWhistle above: LAYOUT SYSTEM OASIS */", ""]


def test_includes_that_cannot_be_followed_are_left_to_calibre(calibre, monkeypatch):
    # A file including itself, and one that does not exist: the inspection ends and leaves
    # them for Calibre to judge.
    monkeypatch.chdir(calibre.dir)
    loop = calibre.write("loop.svrf", "INCLUDE loop.svrf\nLAYOUT SYSTEM GDSII\n")
    # The INCLUDE line goes on with a comment: the copied text goes in between.
    with pytest.raises(RuntimeError, match="^Calibre refused the rule deck:"):
        calibre.check(component(), 'INCLUDE "loop.svrf" /* the\nloop */ INCLUDE "missing.svrf"\n')
    _, rest = added_and_deck(json.loads(calibre.record.read_text()))
    assert rest == [
        '/* copied below by TarnWhistle, its layout and results statements set aside: INCLUDE "loop.svrf" */',
        "INCLUDE loop.svrf", "/* set by TarnWhistle above: LAYOUT SYSTEM GDSII */",
        f'/* end of "{loop}" */ /* the', 'loop */ INCLUDE "missing.svrf"', ""]

    with pytest.raises(RuntimeError) as error:
        calibre.check(component(), calibre.dir / "nothing.svrf")
    assert str(error.value) == f"Unable to read '{calibre.dir / 'nothing.svrf'}' while inspecting the rule deck."


def random_deck(rng, summaries):
    """Deck text of statements, comments, encrypted blocks and includes of later files (whose
    `summaries` tell whether they declare a summary report); and whether this one does, where
    Calibre reads it and we can see it."""
    lines, live_summary = [], False
    for _ in range(rng.randrange(12)):
        statement = rng.choice(ADDED)
        statement = "".join(c.lower() if rng.random() < 0.5 else c for c in statement) + ' "x"'
        form = rng.randrange(6)
        if form == 0:
            lines.append(statement)
            live_summary |= statement.upper().startswith("DRC SUMMARY")
        elif form == 1:
            lines.append("// " + statement)
        elif form == 2:
            lines += [f"/* {statement}", f"{statement} */ LAYER m{len(lines)} 1"]
        elif form == 3:
            lines += ["#DECRYPT", statement, "/*", "#ENDCRYPT"]
        elif form == 4 and summaries:
            target = rng.choice(list(summaries))
            lines.append(f'INCLUDE "inc{target}.svrf"')
            live_summary |= summaries[target]
        else:
            lines.append(f"LAYER m{len(lines)} 1")
    return "\n".join(lines) + "\n", live_summary


@pytest.mark.parametrize("seed", range(8))
def test_random_decks_never_give_a_statement_twice(calibre, monkeypatch, seed):
    # The stand-in refuses a statement given twice, in the copy or in any file it includes.
    monkeypatch.chdir(calibre.dir)
    rng = random.Random(seed)
    summaries = {}
    for index in reversed(range(4)):
        text, summaries[index] = random_deck(rng, dict(summaries))
        calibre.write(f"inc{index}.svrf", text)
    _, record = calibre.check(component(), calibre.dir / "inc0.svrf")
    assert record["statements"] == statements(added_and_deck(record)[0])
    assert ("DRC SUMMARY REPORT" in record["statements"]) == summaries[0]


def test_engine_errors(calibre):
    # A deck error is reported with the engine's output and the number of added lines, which
    # is how far Calibre's line numbers are off from the user's deck.
    with pytest.raises(RuntimeError) as error:
        calibre.check(component(), "LAYER m1 1\n\nFAIL_HERE\n")
    message = str(error.value)
    assert message.startswith("Calibre refused the rule deck:\nCalibre's output, last 1 of 1 lines:\nERROR:")
    added = int(re.search(r"count the (\d+) lines", message).group(1))
    assert f"at line {3 + added} of rule file" in message

    calibre.monkeypatch.setenv("CALIBRE_STANDIN_EXIT", "3")
    with pytest.raises(RuntimeError, match="^Calibre DRC exited with code 3"):
        calibre.check(component(), "LAYER m1 1\n")


# ---- Reading results databases ---------------------------------------------------------------


def load(tmp_path, text, **kwargs):
    path = tmp_path / "results.db"
    path.write_bytes(text.encode())
    return tw.load_drc_results(str(path), engine="calibre", show_progress=False, **kwargs)


def test_database_in_micrometres(tmp_path):
    results = load(tmp_path, DATABASE)
    assert results.dump == {
        "description": "Calibre DRC results", "generator": "Calibre", "top_cell": "TOP",
        "categories": [{"name": "M1.W.1", "description": "Metal 1 width\n  below 0.1 um"},
                       {"name": "M1.S.1", "description": ""}],
        "cells": [{"name": "TOP", "variant": "", "references": []}],
        "total": 3, "markers": MARKERS}

    # Other precisions, rounding to 9 decimals, CRLF line ends, blank lines and a record of
    # three edges (three edge markers).
    text = ("T 3\r\n\r\nC\r\n2 2 0\r\np 1 3\r\n1 2\r\n-4 0\r\n0 -7\r\n\r\n"
            "e 2 3\r\n0 0 3 0\r\n0 1 3 1\r\n0 2 3 2\r\n")
    dump = load(tmp_path, text).dump
    assert dump["markers"][0]["polygon"]["hull"] == [[0.333333333, 0.666666667], [-1.333333333, 0],
                                                    [0, -2.333333333]]
    assert [m["edge"] for m in dump["markers"][1:]] == [[[0, y], [1, y]] for y in (0, 0.333333333, 0.666666667)]
    assert dump["total"] == 4


def test_max_results_keeps_the_first_markers(tmp_path):
    with warnings.catch_warnings(record=True) as caught:
        results = load(tmp_path, DATABASE, max_results=2)
    assert results.dump["markers"] == MARKERS[:2] and results.total == 3
    assert [str(w.message) for w in caught] == [
        "Only 2 of the 3 markers were read: 'max_results' is 2."]
    with pytest.warns(RuntimeWarning, match="Only 0 of the 3 markers"):
        assert load(tmp_path, DATABASE, max_results=0).dump["markers"] == []


@pytest.mark.parametrize("text, line, what", [
    ("", 1, "the file ends before the top cell name and the precision"),
    ("TOP\n", 1, "expected the top cell name and the precision"),
    ("TOP 0\n", 1, "the precision must be a positive whole number of database units per micrometre, not '0'"),
    ("TOP 1.5\n", 1, "the precision must be a positive whole number of database units per micrometre, not '1.5'"),
    ("TOP 1000\nC\n", 3, "the file ends before the result counts of check 'C'"),
    ("TOP 1000\nC\n1 x 0\n", 3, "expected the result counts of check 'C' (current count, original count, "
                                "number of description lines)"),
    ("TOP 1000\nC\n0 0 3\none\n", 5, "the file ends before the description of check 'C'"),
    ("TOP 1000\nC\n2 2 0\np 1 3\n0 0\n1 0\n0 1\n", 8, "the file ends before a result of check 'C'"),
    ("TOP 1000\nC\n1 1 0\nq 1 3\n", 4, "expected a result of check 'C': 'p' or 'e', its ordinal and its "
                                       "vertex or edge count"),
    ("TOP 1000\nC\n1 1 0\np 1 2\n", 4, "a polygon needs at least 3 vertices, not 2"),
    ("TOP 1000\nC\n1 1 0\ne 1 0\n", 4, "an edge result needs at least 1 edge"),
    ("TOP 1000\nC\n1 1 0\np 1 3\n0 0\n1 0 5\n", 6, "expected 2 whole-number coordinates"),
    ("TOP 1000\nC\n1 1 0\ne 1 1\n0 0 1 x\n", 5, "expected 4 whole-number coordinates"),
    ("TOP 1000\nC\n1 1 0\np 1 3\n0 0\n1 0\n", 7, "the file ends before a result of check 'C'"),
    ("TOP 1000\nC\n1 1 0\ne 1 1\n0 0 99999999999999999999 0\n", 5, "expected 4 whole-number coordinates"),
])
def test_malformed_databases(tmp_path, text, line, what):
    path = tmp_path / "results.db"
    with pytest.raises(RuntimeError) as error:
        load(tmp_path, text)
    assert str(error.value) == f"Calibre results database '{path}', line {line}: {what}."


def random_database(rng):
    """A database of random checks and results, with its expected polygons and edges in
    database units."""
    precision = rng.choice([1, 1000, 2000, 10000])
    lines, checks = [f"TOP_{rng.randrange(100)} {precision}"], []
    for c in range(rng.randrange(1, 5)):
        records = []
        for _ in range(rng.randrange(1, 6)):
            if rng.random() < 0.5:
                # A box: KLayout and we must agree on the order-independent shape.
                x, y, w, h = (rng.randrange(-10**6, 10**6) for _ in range(4))
                records.append(("p", [(x, y), (x + abs(w) + 1, y), (x + abs(w) + 1, y + abs(h) + 1),
                                      (x, y + abs(h) + 1)]))
            else:
                records.append(("e", [tuple(rng.randrange(-10**6, 10**6) for _ in range(4))
                                      for _ in range(rng.choice([1, 2]))]))
        description = [f"{' ' * i}rule {c} text {i}" for i in range(rng.randrange(3))]
        lines += [f"CHECK_{c}", f"{len(records)} {len(records)} {len(description)} Mon Dec  7 00:00:00 2026",
                  *description]
        for n, (kind, items) in enumerate(records, 1):
            lines.append(f"{kind} {n} {len(items)}")
            if rng.random() < 0.3:
                lines.append("CN TOP c 1 0 0 1 0 0")
            lines += [" ".join(map(str, item)) for item in items]
        checks.append((f"CHECK_{c}", "\n".join(description), records))
    return "\n".join(lines) + "\n", precision, checks


@pytest.mark.parametrize("seed", range(5))
def test_database_agrees_with_klayout_reader(tmp_path, seed):
    text, precision, checks = random_database(random.Random(seed))
    ours = load(tmp_path, text).dump
    peer = rdb.ReportDatabase("")
    peer.load(str(tmp_path / "results.db"))
    assert ours["top_cell"] == peer.top_cell_name
    assert [(c["name"], c["description"]) for c in ours["categories"]] == [
        (c.name(), c.description) for c in peer.each_category()]
    names = {c.rdb_id(): c.name() for c in peer.each_category()}
    items = list(peer.each_item())
    assert ours["total"] == len(items) == sum(len(records) for *_, records in checks)
    for marker, item in zip(ours["markers"], items):
        assert marker["category"] == names[item.category_id()]
        value = next(iter(item.each_value()))
        if "polygon" in marker:
            hull = [kdb.DPoint(*p) for p in marker["polygon"]["hull"]]
            assert kdb.DPolygon(hull) == value.polygon()
        elif "edge_pair" in marker:
            first, second = (kdb.DEdge(*a, *b) for a, b in marker["edge_pair"])
            assert kdb.DEdgePair(first, second) == value.edge_pair()
        else:
            assert kdb.DEdge(*marker["edge"][0], *marker["edge"][1]) == value.edge()
