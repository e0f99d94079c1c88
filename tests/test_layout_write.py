"""Writing layout files: argument checks, the export set, cell naming, the pre-export hook and the
choice of format. The codecs' own content is checked against the peers in their own tests."""
import os
import warnings

import pytest

import tarnwhistle as tw

kdb = pytest.importorskip("klayout.db")

OASIS_MAGIC = b"%SEMI-OASIS\r\n"
GDSII_HEADER = b"\x00\x06\x00\x02"


@pytest.fixture
def tech():
    return tw.basic_technology()


def leaf(tech, name="LEAF"):
    component = tw.Component(name, technology=tech)
    component.add((1, 0), tw.Rectangle((0, 0), (2, 1)))
    return component


def cell_names(filename):
    layout = kdb.Layout()
    layout.read(str(filename))
    return sorted(layout.cell(i).name for i in range(layout.cells()))


class TestArguments:
    def test_missing_filename(self):
        with pytest.raises(TypeError, match=r"^write_layout\(\) missing required argument 'filename' \(pos 1\)$"):
            tw.write_layout()

    def test_non_component_names_its_position(self, tmp_path, tech):
        with pytest.raises(TypeError, match=r"^Argument in positin 3 is not an instance of 'Component'\.$"):
            tw.write_layout(tmp_path / "a.gds", leaf(tech), "LEAF")

    def test_hook_and_properties_types(self, tmp_path, tech):
        with pytest.raises(TypeError, match=r"^'pre_export_function' must be callable\.$"):
            tw.write_layout(tmp_path / "a.gds", leaf(tech), pre_export_function=3)
        with pytest.raises(TypeError, match=r"^'library_properties' must be a Properties instance\.$"):
            tw.write_layout(tmp_path / "a.oas", leaf(tech), library_properties={})
        with pytest.raises(TypeError, match=r"^'pre_export_function' must be callable\.$"):
            leaf(tech).write_gds(tmp_path / "a.gds", pre_export_function="f")
        with pytest.raises(TypeError, match=r"^'library_properties' must be a Properties instance\.$"):
            leaf(tech).write_oas(tmp_path / "a.oas", library_properties=1)
        assert not os.listdir(tmp_path)

    def test_unwritable_file_names_the_file(self, tmp_path, tech):
        target = tmp_path / "missing" / "a.gds"
        with pytest.raises(RuntimeError, match=r"^layout file .*a\.gds at byte 0: No such file or directory$"):
            tw.write_layout(target, leaf(tech))


class TestFormatChoice:
    @pytest.mark.parametrize("name, magic", [
        ("a.oas", OASIS_MAGIC), ("a.OAS", OASIS_MAGIC), ("a.oasis", OASIS_MAGIC),
        ("a.OASIS", OASIS_MAGIC), ("a.gds", GDSII_HEADER), ("a.txt", GDSII_HEADER),
        ("a", GDSII_HEADER), ("a.oas.gds", GDSII_HEADER)])
    def test_by_file_name(self, tmp_path, tech, name, magic):
        tw.write_layout(tmp_path / name, leaf(tech))
        assert (tmp_path / name).read_bytes().startswith(magic)

    def test_methods_keep_their_format(self, tmp_path, tech):
        component = leaf(tech)
        assert component.write_gds(str(tmp_path / "x.oas")) is component
        assert (tmp_path / "x.oas").read_bytes().startswith(GDSII_HEADER)
        assert component.write_oas(tmp_path / "y.gds") is component
        assert (tmp_path / "y.gds").read_bytes().startswith(OASIS_MAGIC)

    def test_default_file_name_from_component_name(self, tmp_path, tech, monkeypatch):
        monkeypatch.chdir(tmp_path)
        leaf(tech, "a/b:c\\d\u00e9\x01 e").write_gds()
        leaf(tech, "/:").write_oas()
        assert sorted(os.listdir(tmp_path)) == ["abcd e.gds", "component.gds"]
        assert (tmp_path / "component.gds").read_bytes().startswith(OASIS_MAGIC)


class TestExportSet:
    def test_dependencies_written_once(self, tmp_path, tech):
        base = leaf(tech)
        middle = tw.Component("MID", technology=tech)
        middle.add_reference(base)
        middle.add_reference(tw.Reference(base, (5, 0)))
        top = tw.Component("TOP", technology=tech)
        top.add_reference(middle)
        top.add_reference(base)
        for suffix in ("gds", "oas"):
            tw.write_layout(tmp_path / f"t.{suffix}", top, middle)
            assert cell_names(tmp_path / f"t.{suffix}") == ["LEAF", "MID", "TOP"]

    def test_empty_component_list(self, tmp_path):
        tw.write_layout(tmp_path / "empty.gds")
        tw.write_layout(tmp_path / "empty.oas")
        assert cell_names(tmp_path / "empty.gds") == cell_names(tmp_path / "empty.oas") == []


class TestNaming:
    def test_duplicates_and_unnamed(self, tmp_path, tech):
        components = [leaf(tech, "A"), leaf(tech, "A"), leaf(tech, ""), leaf(tech, ""),
                      leaf(tech, "A_1")]
        with pytest.warns(RuntimeWarning) as record:
            tw.write_layout(tmp_path / "n.gds", *components)
        texts = [str(w.message) for w in record if "renamed" in str(w.message)]
        assert texts == ["The following components have been renamed in the layout because all "
                         "names must be non-empty and unique: 'A_1', 'C_0', 'C_1', 'A_1_1'."]
        assert cell_names(tmp_path / "n.gds") == ["A", "A_1", "A_1_1", "C_0", "C_1"]
        # The user's components keep their names.
        assert [c.name for c in components] == ["A", "A", "", "", "A_1"]

    def test_unique_names_give_no_warning(self, tmp_path, tech):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            tw.write_layout(tmp_path / "u.gds", leaf(tech, "A"), leaf(tech, "B"))


class TestPreExportHook:
    def test_changes_reach_the_file_not_the_component(self, tmp_path, tech):
        base = leaf(tech)
        top = tw.Component("TOP", technology=tech)
        top.add_reference(base)
        seen = []

        def hook(component):
            seen.append(component.name)
            assert component is not base and component is not top
            component.add((7, 0), tw.Rectangle((0, 0), (1, 1)))
            component.name += "_X"

        top.write_gds(tmp_path / "h.gds", pre_export_function=hook)
        assert sorted(seen) == ["LEAF", "TOP"]
        assert cell_names(tmp_path / "h.gds") == ["LEAF_X", "TOP_X"]
        layout = kdb.Layout()
        layout.read(str(tmp_path / "h.gds"))
        assert layout.cell("TOP_X").shapes(layout.layer(7, 0)).size() == 1
        # The copy's reference still leads to the exported leaf.
        assert [i.cell.name for i in layout.cell("TOP_X").each_inst()] == ["LEAF_X"]
        assert (7, 0) not in base.layers() and base.name == "LEAF" and top.name == "TOP"

    def test_hook_failure_propagates(self, tmp_path, tech):
        def hook(component):
            raise KeyError("boom")

        with pytest.raises(KeyError):
            tw.write_layout(tmp_path / "f.gds", leaf(tech), pre_export_function=hook)
