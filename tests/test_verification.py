"""Design-rule and layout-versus-schematic checks end to end: engine choice and discovery, the
KLayout version check, runset variables, the KLayout and Calibre runs, reading their results and
every failure on the way. KLayout is the stand-in tests/support/klayout, which runs runsets and
the dumping macros as Python with the klayout package's `pya`; the test runsets below are
therefore Python. Calibre is a stand-in written by the tests."""

import json
import os
import pathlib
import shutil
import sys
import warnings

import gdstk
import klayout.db as kdb
import klayout.rdb as rdb
import pytest

import tarnwhistle as tw

SUPPORT = pathlib.Path(__file__).resolve().parent / "support"
SETTINGS = ("klayout_executable", "calibre_executable", "default_drc_lvs_engine")
FIXED_KLAYOUTS = ("/usr/bin/klayout", "/usr/local/bin/klayout", "/snap/bin/klayout",
                  "/opt/klayout/klayout")
NO_FIXED_KLAYOUT = pytest.mark.skipif(any(os.path.exists(p) for p in FIXED_KLAYOUTS),
                                      reason="a KLayout is installed in a fixed location")

DRC_MISSING = ("No DRC engine found. Install KLayout or Calibre and add it to PATH, or set "
               "'klayout_executable', 'calibre_executable' or 'default_drc_lvs_engine' in "
               "tarnwhistle's configuration.")
LVS_MISSING = ("No LVS engine found. Install KLayout and add it to PATH, or set "
               "'klayout_executable' or 'default_drc_lvs_engine' in tarnwhistle's configuration.")
KLAYOUT_MISSING = ("KLayout not found. Install it, add it to PATH, or set 'klayout_executable' in "
                   "tarnwhistle's configuration.")
CALIBRE_MISSING = ("Calibre not found. Source the installation's environment script (for example "
                   "'source /opt/siemens/calibre/calibre_env.sh') so that 'calibre' is on PATH, or "
                   "set 'calibre_executable' in tarnwhistle's configuration.")


def install(path, text):
    """An executable script run by this interpreter."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!{sys.executable}\n{text}")
    path.chmod(0o755)
    return str(path)


@pytest.fixture(autouse=True)
def isolated(tmp_path, monkeypatch):
    """No engine but those a test installs. The working directories go to a private temporary
    directory, which must hold none of them after the test, whatever happened."""
    saved = {name: getattr(tw.config, name) for name in SETTINGS}
    for name in SETTINGS:
        setattr(tw.config, name, None)
    temp = tmp_path / "tmp"
    temp.mkdir()
    monkeypatch.setenv("TMPDIR", str(temp))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.setenv("STANDIN_KLAYOUT_LOG", str(tmp_path / "klayout.log"))
    for name in ("CALIBRE_HOME", "MGC_HOME", "STANDIN_KLAYOUT_VERSION", "STANDIN_KLAYOUT_GARBLE"):
        monkeypatch.delenv(name, raising=False)
    yield
    for name, value in saved.items():
        setattr(tw.config, name, value)
    assert not list(temp.glob("tarnwhistle_verify_*"))


@pytest.fixture
def klayout(tmp_path, monkeypatch):
    """The stand-in KLayout, found on PATH."""
    path = install(tmp_path / "bin" / "klayout", (SUPPORT / "klayout").read_text())
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    return path


def klayout_calls(tmp_path):
    log = tmp_path / "klayout.log"
    return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []


CALIBRE_RESULTS = """TOP 1000
WIDTH
2 2 1 Jan 1 00:00:00 2025
Core width below 1 um
p 1 4
0 0
10000 0
10000 500
0 500
p 2 4
0 5000
10000 5000
10000 5400
0 5400
"""


@pytest.fixture
def calibre(tmp_path, monkeypatch):
    """The stand-in Calibre (tests/support/calibre), found on PATH after anything installed
    before; it hands back CALIBRE_RESULTS and records its last run."""
    path = install(tmp_path / "calibre_bin" / "calibre", (SUPPORT / "calibre").read_text())
    monkeypatch.setenv("PATH", os.environ["PATH"] + ":" + str(tmp_path / "calibre_bin"))
    monkeypatch.setenv("CALIBRE_STANDIN_RECORD", str(tmp_path / "calibre.json"))
    monkeypatch.setenv("CALIBRE_STANDIN_RESULTS", write(tmp_path / "calibre_results.txt", CALIBRE_RESULTS))
    monkeypatch.delenv("CALIBRE_STANDIN_EXIT", raising=False)
    return path


def calibre_calls(tmp_path):
    record = tmp_path / "calibre.json"
    return [json.loads(record.read_text())["argv"]] if record.exists() else []


def drc_runset(layout="gdsfile", results="resultsfile", before="", after=""):
    """Reports each shape of layer (2, 0) in the top cell narrower than 1 um, as a polygon in
    the category width.core."""
    return f"""
import pya
{before}
print("checking", {layout})
layout = pya.Layout()
layout.read({layout})
top = layout.top_cell()
report = pya.ReportDatabase("width check")
report.generator = "stand-in runset"
report.top_cell_name = top.name
cell = report.create_cell(top.name)
width = report.create_category("width")
width.description = "Core narrower than 1 um"
core = report.create_category(width, "core")
for shape in top.shapes(layout.layer(2, 0)).each():
    box = shape.dbox
    if min(box.width(), box.height()) < 1:
        report.create_item(cell.rdb_id(), core.rdb_id()).add_value(pya.DPolygon(box))
report.save({results})
{after}
"""


def write(path, text):
    path.write_text(text)
    return str(path)


def narrow_component():
    """Two of its three core rectangles are narrower than 1 um."""
    component = tw.Component("TOP", technology=tw.basic_technology())
    component.add((2, 0), tw.Rectangle((0, 0), (10, 0.5)), tw.Rectangle((0, 2), (10, 4)),
                  tw.Rectangle((0, 5), (10, 5.4)))
    return component


def boxes(dump):
    return sorted(tuple(map(tuple, m["polygon"]["hull"])) for m in dump["markers"])


# ---- Finding the engines -------------------------------------------------------------------------


class TestDiscovery:
    def test_klayout_on_path_skips_entries_without_an_executable(self, tmp_path, monkeypatch):
        (tmp_path / "a").mkdir()
        (tmp_path / "a" / "klayout").write_text("not executable")
        found = install(tmp_path / "b" / "klayout", "")
        monkeypatch.setenv("PATH", f":{tmp_path / 'a'}::{tmp_path / 'b'}")
        assert tw._find_klayout() == found

    @NO_FIXED_KLAYOUT
    def test_klayout_under_home_and_not_found(self, tmp_path):
        with pytest.raises(RuntimeError) as error:
            tw._find_klayout()
        assert str(error.value) == KLAYOUT_MISSING
        found = install(tmp_path / "home" / ".local" / "bin" / "klayout", "")
        assert tw._find_klayout() == found

    def test_settings_win_and_must_exist(self, tmp_path, klayout):
        other = install(tmp_path / "elsewhere" / "klayout", "")
        tw.config.klayout_executable = other
        assert tw._find_klayout() == other
        missing = str(tmp_path / "missing" / "klayout")
        tw.config.klayout_executable = missing
        with pytest.raises(RuntimeError) as error:
            tw._find_klayout()
        assert str(error.value) == (f"KLayout executable '{missing}' (the 'klayout_executable' "
                                    "setting) does not exist.")
        tw.config.calibre_executable = missing
        with pytest.raises(RuntimeError) as error:
            tw._find_calibre()
        assert str(error.value) == (f"Calibre executable '{missing}' (the 'calibre_executable' "
                                    "setting) does not exist.")

    def test_calibre_on_path_then_calibre_home_then_mgc_home(self, tmp_path, monkeypatch):
        with pytest.raises(RuntimeError) as error:
            tw._find_calibre()
        assert str(error.value) == CALIBRE_MISSING
        mgc = install(tmp_path / "mgc" / "bin" / "calibre", "")
        monkeypatch.setenv("MGC_HOME", str(tmp_path / "mgc"))
        assert tw._find_calibre() == mgc
        home = install(tmp_path / "calibre_home" / "bin" / "calibre", "")
        monkeypatch.setenv("CALIBRE_HOME", str(tmp_path / "calibre_home"))
        assert tw._find_calibre() == home
        on_path = install(tmp_path / "bin" / "calibre", "")
        monkeypatch.setenv("PATH", str(tmp_path / "bin"))
        assert tw._find_calibre() == on_path


class TestEngineChoice:
    @NO_FIXED_KLAYOUT
    def test_no_engine(self, tmp_path):
        rules = write(tmp_path / "rules.drc", "")
        with pytest.raises(RuntimeError) as error:
            tw.drc_check(narrow_component(), rules)
        assert str(error.value) == DRC_MISSING
        with pytest.raises(RuntimeError) as error:
            tw.lvs_check(narrow_component(), write(tmp_path / "rules.lvs", ""))
        assert str(error.value) == LVS_MISSING

    @NO_FIXED_KLAYOUT
    def test_calibre_is_found_for_drc_only(self, tmp_path, calibre, monkeypatch):
        monkeypatch.setenv("CALIBRE_STANDIN_EXIT", "4")
        with pytest.raises(RuntimeError, match="^Calibre DRC exited with code 4"):
            tw.drc_check(narrow_component(), write(tmp_path / "rules.svrf", ""), show_progress=False)
        with pytest.raises(RuntimeError) as error:
            tw.lvs_check(narrow_component(), write(tmp_path / "rules.lvs", ""))
        assert str(error.value) == LVS_MISSING

    def test_default_engine_and_explicit_engine(self, tmp_path, klayout, calibre, monkeypatch):
        monkeypatch.setenv("CALIBRE_STANDIN_EXIT", "4")
        drc_rules = write(tmp_path / "rules.drc", drc_runset())
        # Both found: KLayout comes first.
        assert tw.drc_check(narrow_component(), drc_rules, show_progress=False).total == 2
        tw.config.default_drc_lvs_engine = "calibre"
        with pytest.raises(RuntimeError, match="^Calibre DRC exited with code 4"):
            tw.drc_check(narrow_component(), write(tmp_path / "rules.svrf", ""), show_progress=False)
        assert tw.drc_check(narrow_component(), drc_rules, engine="klayout",
                            show_progress=False).total == 2
        # LVS ignores a Calibre default and runs KLayout.
        with pytest.raises(RuntimeError, match="^KLayout LVS wrote no results file"):
            tw.lvs_check(narrow_component(), write(tmp_path / "rules.lvs", ""), show_progress=False)

    def test_engine_names(self, tmp_path, klayout):
        rules = write(tmp_path / "rules.lvs", "")
        with pytest.raises(ValueError) as error:
            tw.lvs_check(narrow_component(), rules, engine="calibre")
        assert str(error.value) == "Calibre runs DRC only; use engine='klayout' for lvs_check."
        with pytest.raises(ValueError, match="^Calibre runs DRC only; use engine='klayout' for load_lvs_results"):
            tw.load_lvs_results(rules, engine="calibre")
        with pytest.raises(ValueError, match="^Unknown engine 'magic'"):
            tw.drc_check(narrow_component(), rules, engine="magic")
        with pytest.raises(TypeError) as error:
            tw.drc_check(narrow_component(), rules, engine=1)
        assert str(error.value) == "'engine' must be a str or None."
        assert klayout_calls(tmp_path) == []


# ---- KLayout version -----------------------------------------------------------------------------


class TestVersion:
    @pytest.mark.parametrize("output, version", [
        ("KLayout 0.30.12", "0.30.12"),
        ("KLayout 0.29.12 (2024-06-01 r1)", "0.29.12"),
        ("Warning: no display\nKLayout 1.0.0", "1.0.0"),
    ])
    def test_supported_versions(self, tmp_path, monkeypatch, output, version):
        executable = install(tmp_path / "v" / "klayout", (SUPPORT / "klayout").read_text())
        monkeypatch.setenv("STANDIN_KLAYOUT_VERSION", output)
        assert tw._klayout_version(executable) == version
        # Asked once per executable.
        assert tw._klayout_version(executable) == version
        assert klayout_calls(tmp_path) == [["-b", "-v"]]

    @pytest.mark.parametrize("output", ["KLayout 0.29.11", "KLayout 0.28.17"])
    def test_too_old(self, tmp_path, monkeypatch, klayout, output):
        monkeypatch.setenv("STANDIN_KLAYOUT_VERSION", output)
        version = output.split()[1]
        message = (f"KLayout {version} at '{klayout}' is older than 0.29.12, the oldest version "
                   "TarnWhistle supports. Install a newer KLayout or point 'klayout_executable' "
                   "at one.")
        with pytest.raises(RuntimeError) as error:
            tw._klayout_version(klayout)
        assert str(error.value) == message
        # A check stops before the runset runs.
        with pytest.raises(RuntimeError) as error:
            tw.drc_check(narrow_component(), write(tmp_path / "rules.drc", drc_runset()))
        assert str(error.value) == message
        assert all(call == ["-b", "-v"] for call in klayout_calls(tmp_path))

    @pytest.mark.parametrize("output", ["KLayout version unknown", "KLayout 0.30", "klayout 0.30.1"])
    def test_unreadable(self, monkeypatch, klayout, output):
        monkeypatch.setenv("STANDIN_KLAYOUT_VERSION", output)
        with pytest.raises(RuntimeError) as error:
            tw._klayout_version(klayout)
        assert str(error.value) == f"Unable to read the KLayout version from '{klayout} -b -v'.\n{output}"


# ---- Arguments -----------------------------------------------------------------------------------


VARIABLE_ERRORS = [
    ({"schematicfile": "s"}, "Unknown runset variable 'schematicfile' in 'variable_names'. "
                             "Expected 'gdsfile' or 'resultsfile'."),
    ({"gdsfile": "1st"}, "Runset variable name '1st' for 'gdsfile' is not a valid identifier."),
    ({"gdsfile": "a-b"}, "Runset variable name 'a-b' for 'gdsfile' is not a valid identifier."),
    ({"gdsfile": ""}, "Runset variable name '' for 'gdsfile' is not a valid identifier."),
    ({"gdsfile": "resultsfile"}, "Runset variable name 'resultsfile' is used for more than one file."),
    ({"gdsfile": "x", "resultsfile": "x"}, "Runset variable name 'x' is used for more than one file."),
]

ARGS_ERRORS = [
    ({"bad name": 1}, "Argument name 'bad name' is not a valid runset variable."),
    ({3: "x"}, "Argument name '3' is not a valid runset variable."),
    ({"gdsfile": "x"}, "Argument 'gdsfile' names a file variable of the runset."),
]


class TestArguments:
    """Bad arguments fail before any program runs."""

    @pytest.fixture(autouse=True)
    def nothing_runs(self, tmp_path, klayout, calibre):
        yield
        assert klayout_calls(tmp_path) == [] and calibre_calls(tmp_path) == []

    @pytest.fixture
    def rules(self, tmp_path):
        return write(tmp_path / "rules.drc", drc_runset())

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"timeout": 0}, ValueError, "'timeout' must be positive."),
        ({"timeout": -1.5}, ValueError, "'timeout' must be positive."),
        ({"timeout": float("nan")}, ValueError, "'timeout' must be positive."),
        ({"timeout": "1"}, TypeError, "'timeout' must be a number."),
        ({"top_level": 5}, TypeError, "'top_level' must be a str or None."),
        ({"pre_export_function": 5}, TypeError, "'pre_export_function' must be callable."),
        ({"max_results": -1}, ValueError, "'max_results' must not be negative."),
        ({"max_results": 1.5}, TypeError, "'max_results' must be an int or None."),
        ({"args": ["-x"]}, TypeError, "KLayout's 'args' must be a dict of runset variables, such as "
                                      "{'topcell': 'TOP'}."),
        ({"variable_names": ["gdsfile"]}, TypeError,
         "'variable_names' must be a dict from file variables to runset variable names."),
        ({"variable_names": {"gdsfile": 1}}, TypeError,
         "'variable_names' must be a dict from file variables to runset variable names."),
        ({"top_level": "TOP"}, ValueError,
         "'top_level' sets Calibre's LAYOUT PRIMARY. A KLayout runset chooses its own top cell, "
         "for example with source($gdsfile, $topcell) and the name in 'args'."),
    ] + [({"variable_names": names}, ValueError, message) for names, message in VARIABLE_ERRORS]
      + [({"args": args}, ValueError, message) for args, message in ARGS_ERRORS])
    def test_drc_arguments(self, rules, kwargs, error, message):
        with pytest.raises(error) as raised:
            tw.drc_check(narrow_component(), rules, **kwargs)
        assert str(raised.value) == message

    @pytest.mark.parametrize("kwargs, message", [
        ({"variable_names": {"gdsfile": "layout"}},
         "'variable_names' applies to KLayout runsets. TarnWhistle finds the statements of a "
         "Calibre rule deck in the deck itself."),
        ({"args": "-hier"}, None),
        ({"args": {"a": "b"}}, None),
        ({"args": ("-hier", 4)}, None),
    ])
    def test_calibre_arguments(self, tmp_path, kwargs, message):
        rules = write(tmp_path / "rules.svrf", "")
        with pytest.raises(ValueError if message else TypeError) as raised:
            tw.drc_check(narrow_component(), rules, engine="calibre", **kwargs)
        assert str(raised.value) == message or str(raised.value) == (
            "Calibre's 'args' must be a sequence of command-line arguments, one per item, such "
            "as ('-hier', '-turbo', '4').")

    @pytest.mark.parametrize("name, kind", [("rules.lvs", "DRC"), ("rules", "DRC"),
                                            ("rules.drc", "LVS"), ("rules.lydrc", "LVS")])
    def test_rules_suffix(self, tmp_path, name, kind):
        rules = write(tmp_path / name, "")
        check = tw.drc_check if kind == "DRC" else tw.lvs_check
        expected = "'.drc' or '.lydrc'" if kind == "DRC" else "'.lvs' or '.lylvs'"
        with pytest.raises(ValueError) as raised:
            check(narrow_component(), rules)
        assert str(raised.value) == f"KLayout {kind} rules must be a {expected} file, not '{name}'."

    def test_lvs_variables_and_schematic(self, tmp_path):
        rules = write(tmp_path / "rules.lvs", "")
        with pytest.raises(ValueError) as raised:
            tw.lvs_check(narrow_component(), rules, variable_names={"netlist": "n"})
        assert str(raised.value) == ("Unknown runset variable 'netlist' in 'variable_names'. "
                                     "Expected 'gdsfile', 'resultsfile' or 'schematicfile'.")
        with pytest.raises(ValueError, match="^Runset variable name 'gdsfile' is used for more"):
            tw.lvs_check(narrow_component(), rules, variable_names={"schematicfile": "gdsfile"})
        with pytest.raises(ValueError) as raised:
            tw.lvs_check(narrow_component(), rules, args={"schematicfile": "x"})
        assert str(raised.value) == "Argument 'schematicfile' names a file variable of the runset."
        with pytest.raises(ValueError) as raised:
            tw.lvs_check(str(tmp_path / "layout.gds"), rules)
        assert str(raised.value) == "'schematic' is required when 'source' is a file."

    def test_sources(self, rules):
        with pytest.raises(TypeError, match="^'source' must be a Component or a path"):
            tw.drc_check(5, rules)
        with pytest.raises(TypeError, match="^'rules' must be a path"):
            tw.drc_check(narrow_component(), None)

    def test_failing_pre_export_function(self, rules):
        def hook(component):
            raise ZeroDivisionError("hook failed")

        component = narrow_component()
        with pytest.raises(RuntimeError) as raised:
            tw.drc_check(component, rules, pre_export_function=hook)
        assert str(raised.value) == "Unable to prepare the component for export."
        assert isinstance(raised.value.__cause__, ZeroDivisionError)

    def test_spice_unsafe_component_name(self, tmp_path):
        rules = write(tmp_path / "rules.lvs", "")
        with pytest.raises(RuntimeError, match="^a b cannot be written to a SPICE schematic"):
            tw.lvs_check(tw.Component("a b", technology=tw.basic_technology()), rules)


# ---- KLayout DRC ---------------------------------------------------------------------------------


class TestKLayoutDrc:
    def test_markers_argv_and_exported_layout(self, tmp_path, klayout):
        rules = write(tmp_path / "rules.drc", drc_runset(before="import shutil; shutil.copy(gdsfile, keep)"))
        keep, results_file = tmp_path / "exported.gds", tmp_path / "kept.lyrdb"
        results = tw.drc_check(narrow_component(), rules, args={"keep": keep},
                               results_file=results_file, show_progress=False)
        assert results.exit_code == 0 and "checking" in results.log

        version, run, read = klayout_calls(tmp_path)
        assert version == ["-b", "-v"]
        work = pathlib.Path(run[6].split("=", 1)[1]).parent
        assert work.parent == tmp_path / "tmp" and work.name.startswith("tarnwhistle_verify_")
        assert run == ["-b", "-r", rules, "-rd", f"gdsfile={work / 'layout.gds'}",
                       "-rd", f"resultsfile={work / 'results.lyrdb'}", "-rd", f"keep={keep}"]
        assert read == ["-b", "-r", str(work / "dump_drc.py"), "-rd", f"input={work / 'results.lyrdb'}",
                        "-rd", f"output={work / 'results.json'}"]

        library = gdstk.read_gds(str(keep))
        assert library.name == "LIBRARY" and [c.name for c in library.cells] == ["TOP"]
        assert len(library.cells[0].polygons) == 3

        # The dump agrees with the database the runset wrote, as the klayout package reads it.
        report = rdb.ReportDatabase("")
        report.load(str(results_file))
        items = list(report.each_item())
        assert results.total == len(items) == 2
        peer = sorted(tuple((p.x, p.y) for p in item.each_value().__next__().polygon().each_point_hull())
                      for item in items)
        assert boxes(results.dump) == sorted(tuple(tuple(p) for p in hull) for hull in peer)
        assert boxes(results.dump) == [((0, 0), (0, 0.5), (10, 0.5), (10, 0)),
                                       ((0, 5), (0, 5.4), (10, 5.4), (10, 5))]
        assert results.categories == {"width": "Core narrower than 1 um", "width.core": ""}
        assert {m.category for m in results.markers} == {"width.core"}
        assert results.dump["top_cell"] == "TOP" and results.dump["generator"] == "stand-in runset"

        # The copy reads back alike, with KLayout chosen by the file's content.
        for engine in (None, "klayout"):
            again = tw.load_drc_results(results_file, engine=engine, show_progress=False)
            assert again.dump == results.dump and again.log == "" and again.exit_code == 0

    def test_file_source_and_renamed_variables(self, tmp_path, klayout):
        layout = tmp_path / "input.gds"
        narrow_component().write_gds(str(layout))
        rules = write(tmp_path / "rules.drc", drc_runset(layout="layout_in", results="report_out"))
        results = tw.drc_check(layout, rules, variable_names={"gdsfile": "layout_in", "resultsfile": "report_out"},
                               show_progress=False)
        assert results.total == 2
        run = klayout_calls(tmp_path)[1]
        assert run[3:5] == ["-rd", f"layout_in={layout}"] and run[6].startswith("report_out=")

    def test_pre_export_function_changes_copies_only(self, tmp_path, klayout):
        def hook(component):
            component.add((2, 0), tw.Rectangle((0, 10), (10, 10.2)))

        component = narrow_component()
        results = tw.drc_check(component, write(tmp_path / "rules.drc", drc_runset()),
                               pre_export_function=hook, show_progress=False)
        assert results.total == 3
        assert len(component.structures[(2, 0)]) == 3

    @pytest.mark.parametrize("max_results, kept", [(1, 1), (0, 0)])
    def test_max_results_warns_when_markers_are_cut(self, tmp_path, klayout, max_results, kept):
        rules = write(tmp_path / "rules.drc", drc_runset())
        with pytest.warns(RuntimeWarning) as caught:
            results = tw.drc_check(narrow_component(), rules, max_results=max_results, show_progress=False)
        assert [str(w.message) for w in caught] == [
            f"Only {kept} of the 2 markers were read: 'max_results' is {max_results}."]
        assert len(results.markers) == kept and results.total == 2
        assert klayout_calls(tmp_path)[-1][-2:] == ["-rd", f"max_results={max_results}"]

        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert len(tw.drc_check(narrow_component(), rules, max_results=2, show_progress=False).markers) == 2

    def test_runset_without_report(self, tmp_path, klayout):
        rules = write(tmp_path / "rules.drc", "print('no report here')")
        for names, variable in ((None, "resultsfile"), ({"resultsfile": "out"}, "out")):
            with pytest.raises(RuntimeError) as raised:
                tw.drc_check(narrow_component(), rules, variable_names=names, show_progress=False)
            assert str(raised.value) == (
                "KLayout DRC wrote no results file. KLayout writes it only when the runset calls "
                f"report(...) with ${variable}; if the runset uses another variable name, set it "
                "with 'variable_names'.\nKLayout's output, last 1 of 1 lines:\nno report here")

    def test_runset_error_after_report(self, tmp_path, klayout):
        rules = write(tmp_path / "rules.drc", drc_runset(after="raise RuntimeError('late failure')"))
        with pytest.raises(RuntimeError) as raised:
            tw.drc_check(narrow_component(), rules, show_progress=False)
        message = str(raised.value)
        assert message.startswith("KLayout DRC exited with code 1: the runset ended in an error before "
                                  "its end, so its results are incomplete.\nKLayout's output, last ")
        assert message.endswith("RuntimeError: late failure")

    def test_timeout(self, tmp_path, klayout):
        rules = write(tmp_path / "rules.drc", "import time\ntime.sleep(60)")
        with pytest.raises(TimeoutError):
            tw.drc_check(narrow_component(), rules, timeout=1, show_progress=False)

    def test_undecodable_dump(self, tmp_path, klayout, monkeypatch):
        monkeypatch.setenv("STANDIN_KLAYOUT_GARBLE", "1")
        with pytest.raises(RuntimeError) as raised:
            tw.drc_check(narrow_component(), write(tmp_path / "rules.drc", drc_runset()), show_progress=False)
        assert str(raised.value) == "The KLayout DRC results could not be decoded."

    def test_reading_a_broken_database(self, tmp_path, klayout):
        broken = write(tmp_path / "broken.lyrdb", "<report-database><categories>")
        with pytest.raises(RuntimeError) as raised:
            tw.load_drc_results(broken, show_progress=False)
        assert str(raised.value).startswith("Reading the KLayout DRC results failed (exit code 1)\n"
                                            "KLayout's output, last ")
        missing = str(tmp_path / "missing.lyrdb")
        with pytest.raises(RuntimeError) as raised:
            tw.load_drc_results(missing)
        assert str(raised.value) == f"Unable to read the results file '{missing}'."


# ---- Calibre DRC ---------------------------------------------------------------------------------


class TestCalibreDrc:
    # Deck copies and engine errors are the Calibre tests' subject; here the database's way out.
    def test_results_file_reads_back_without_klayout(self, tmp_path, calibre):
        deck = write(tmp_path / "rules.svrf", "LAYER CORE 2\nWIDTH { INT CORE < 1 }\n")
        results_file = tmp_path / "kept.db"
        results = tw.drc_check(narrow_component(), deck, engine="calibre", results_file=results_file,
                               show_progress=False)
        assert results.total == 2 and results_file.read_text() == CALIBRE_RESULTS
        # The content (not XML) picks the Calibre reader; no KLayout is installed here.
        again = tw.load_drc_results(results_file, show_progress=False)
        assert again.dump == results.dump and boxes(again.dump) == [
            ((0, 0), (10, 0), (10, 0.5), (0, 0.5)), ((0, 5), (10, 5), (10, 5.4), (0, 5.4))]
        assert klayout_calls(tmp_path) == []


# ---- KLayout LVS ---------------------------------------------------------------------------------


LVS_RUNSET = """
import pya
{before}
layout = pya.Layout()
layout.read(gdsfile)
top = layout.top_cell()
lvs = pya.LayoutVsSchematic(pya.RecursiveShapeIterator(layout, top, []))
metal = lvs.make_layer(layout.layer(1, 0), "metal")
body = lvs.make_layer(layout.layer(2, 0), "body")
label = lvs.make_text_layer(layout.layer(1, 1), "label")
lvs.extract_devices(pya.DeviceExtractorResistor("RES", 250.0), {{"R": body, "C": metal}})
lvs.connect(metal)
lvs.connect(metal, label)
lvs.extract_netlist()
reference = pya.Netlist()
reference.read(schematicfile, pya.NetlistSpiceReader())
lvs.reference = reference
print("compare:", lvs.compare(pya.NetlistComparer()))
lvs.write(resultsfile)
{after}
"""


def resistor():
    """A 1 kOhm resistor (four squares of 250 Ohm) between the pads A and B."""
    component = tw.Component("TOP", technology=tw.basic_technology())
    component.add((1, 0), tw.Rectangle((0, 0), (1, 1)), tw.Rectangle((5, 0), (6, 1)),
                  (2, 0), tw.Rectangle((1, 0), (5, 1)),
                  (1, 1), tw.Label("A", (0.5, 0.5)), tw.Label("B", (5.5, 0.5)))
    return component


class TestKLayoutLvs:
    @pytest.fixture
    def files(self, tmp_path):
        layout = str(tmp_path / "resistor.gds")
        resistor().write_gds(layout)
        schematics = {}
        for ohms in (1000, 2000):
            schematics[ohms] = write(tmp_path / f"r{ohms}.cir", f".SUBCKT TOP\nR1 A B {ohms}\n.ENDS\n")
        return layout, schematics

    @pytest.mark.parametrize("ohms, matched", [(1000, True), (2000, False)])
    def test_match_and_mismatch(self, tmp_path, klayout, files, ohms, matched):
        layout, schematics = files
        rules = write(tmp_path / "rules.lvs", LVS_RUNSET.format(before="", after=""))
        results_file = tmp_path / "kept.lvsdb"
        results = tw.lvs_check(layout, rules, schematic=schematics[ohms], results_file=results_file,
                               load_shapes=False, show_progress=False)
        assert results.matched is matched and f"compare: {matched}" in results.log

        run, read = klayout_calls(tmp_path)[1:]
        work = pathlib.Path(run[6].split("=", 1)[1]).parent
        assert run == ["-b", "-r", rules, "-rd", f"gdsfile={layout}", "-rd", f"resultsfile={work / 'results.lvsdb'}",
                       "-rd", f"schematicfile={schematics[ohms]}"]
        assert read == ["-b", "-r", str(work / "dump_lvs.py"), "-rd", f"input={work / 'results.lvsdb'}",
                        "-rd", f"output={work / 'results.json'}", "-rd", "load_shapes=0"]

        # The klayout package reads the copied database to the same verdict.
        peer = kdb.LayoutVsSchematic()
        peer.read(str(results_file))
        statuses = {str(pair.status()) for pair in peer.xref().each_circuit_pair()}
        assert statuses == ({"Match"} if matched else {"NoMatch"})
        again = tw.load_lvs_results(results_file, load_shapes=False, show_progress=False)
        assert again.dump == results.dump and again.exit_code == 0

    def test_component_source_is_the_schematic(self, tmp_path, klayout):
        keep = tmp_path / "schematic.cir"
        component = tw.Component("TOP", technology=tw.basic_technology())
        rules = write(tmp_path / "rules.lvs", "import shutil\nshutil.copy(schematicfile, keep)\n"
                      "shutil.copy(gdsfile, keep + '.gds')")
        with pytest.raises(RuntimeError, match="^KLayout LVS wrote no results file. KLayout writes it "
                                               r"only when the runset calls report_lvs\(\.\.\.\) with \$resultsfile"):
            tw.lvs_check(component, rules, args={"keep": keep}, show_progress=False)
        assert ".SUBCKT TOP" in keep.read_text().upper()
        run = klayout_calls(tmp_path)[1]
        assert run[8].startswith("schematicfile=") and run[8].endswith("/schematic.cir")
        assert gdstk.read_gds(str(keep) + ".gds").cells[0].name == "TOP"

    def test_exit_codes_around_compare(self, tmp_path, klayout, files):
        layout, schematics = files
        after = write(tmp_path / "after.lvs", LVS_RUNSET.format(before="", after="import sys; sys.exit(3)"))
        results = tw.lvs_check(layout, after, schematic=schematics[1000], show_progress=False)
        assert results.exit_code == 3 and results.matched

        before = write(tmp_path / "before.lvs", LVS_RUNSET.format(before="raise ValueError('no deck')", after=""))
        with pytest.raises(RuntimeError) as raised:
            tw.lvs_check(layout, before, schematic=schematics[1000], show_progress=False)
        message = str(raised.value)
        assert message.startswith("KLayout LVS exited with code 1: the runset ended in an error before "
                                  "compare, and wrote no results.\nKLayout's output, last ")
        assert message.endswith("ValueError: no deck")

    def test_reading_shapes_and_a_broken_database(self, tmp_path, klayout, files):
        layout, schematics = files
        rules = write(tmp_path / "rules.lvs", LVS_RUNSET.format(before="", after=""))
        results = tw.lvs_check(layout, rules, schematic=schematics[1000], show_progress=False)
        assert klayout_calls(tmp_path)[-1][-2:] == ["-rd", "load_shapes=1"]
        nets = [net for circuit in results.layout["circuits"] for net in circuit["nets"]]
        assert any(net.get("shapes") for net in nets)
        broken = write(tmp_path / "broken.lvsdb", "#%lvsdb-klayout\nnonsense(")
        with pytest.raises(RuntimeError, match=r"^Reading the KLayout LVS results failed \(exit code 1\)"):
            tw.load_lvs_results(broken, show_progress=False)


# ---- A real KLayout --------------------------------------------------------------------------------


def real_klayout():
    """The path of a supported KLayout on the original PATH, or None."""
    found = shutil.which("klayout", path=REAL_PATH)
    if not found:
        return None
    try:
        return found if tw._klayout_version(found) else None
    except RuntimeError:
        return None


REAL_PATH = os.environ.get("PATH", "")


def test_real_klayout_drc(tmp_path):
    found = real_klayout()
    if not found:
        pytest.skip("no KLayout 0.29.12 or newer on PATH")
    tw.config.klayout_executable = found
    rules = write(tmp_path / "rules.drc", 'source($gdsfile)\nreport("width", $resultsfile)\n'
                                          'input(2, 0).width(1.0).output("core width", "Core below 1 um")\n')
    results = tw.drc_check(narrow_component(), rules, show_progress=False)
    assert results.total == 2 and {m.category for m in results.markers} == {"core width"}
