"""Stored forms of components and references: twf files and JSON store documents."""

import json
import re

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension as ext

L1, L2, L3 = (1, 0), (2, 3), (7, 1)


class Scaled(tw.Model):
    """A model rebuilt from its keyword arguments by class name."""

    def __init__(self, t=0.5, tag="a"):
        super().__init__(t=t, tag=tag)

    def start(self, component, frequencies, **kwargs):
        raise NotImplementedError


@pytest.fixture(autouse=True)
def _registered_model():
    saved = dict(ext._model_registry)
    tw.register_model_class(Scaled)
    yield
    ext._model_registry.clear()
    ext._model_registry.update(saved)


def spec():
    return tw.PortSpec("s", 1.0, (-1, 1), path_profiles={"core": (0.5, 0, L1)})


def leaf(name="LEAF"):
    """Structures on two layers, a label, 2D and 3D ports, a terminal, two active models."""
    c = tw.Component(name)
    c.add(L1, tw.Rectangle((0, 0), (2, 1)), tw.Rectangle((3, 1), (4, 5)), L2,
          tw.Rectangle(center=(1, 1), size=(1, 2), rotation=30), tw.Label("hi", (1, 0.5)))
    c.add_port(tw.Port((0, 0.5), 0, spec()), "P0")
    c.add_port(tw.Port((2, 0.5), 180, spec()), "P1")
    c.add_port(tw.GaussianPort((1, 2, 3), (0, 0, -1), 2), "BEAM")
    c.add_terminal(tw.Terminal(L3, tw.Rectangle((1, 0), (1.5, 0.5))), "T")
    c.add_model(Scaled(t=0.25, tag="opt"), "optical", set_active="optical")
    c.add_model(Scaled(t=0.75, tag="ele"), "electrical", set_active="electrical")
    c.properties["note"] = [1, 2.5, "x"]
    return c


def hierarchy():
    """TOP places MID twice and LEAF once; MID places LEAF as arrays with every transform."""
    cell = leaf()
    mid = tw.Component("MID")
    mid.add(tw.Reference(cell, (10, -20), 90, 1, True, columns=3, rows=2, spacing=(5, 6)),
            tw.Reference(cell, (1.5, 0), 33.5, 2.5, columns=0, rows=4, spacing=(-5, 0)),
            tw.Reference(cell))
    mid.references[0].properties["kind"] = "array"
    top = tw.Component("TOP")
    top.add(tw.Reference(mid, (-3, 4), 45.5, 0.5, True), tw.Reference(mid, rotation=-270),
            tw.Reference(cell, columns=2, rows=1, spacing=(100, 0)))
    return top, mid, cell


def placement(reference):
    return (tuple(reference.origin.tolist()), reference.rotation, reference.scaling, reference.x_reflection,
            reference.columns, reference.rows, tuple(reference.spacing.tolist()))


def indexed(component, view):
    """A connection or net view with references replaced by their index in the component."""
    index = {id(r): i for i, r in enumerate(component.references)}

    def swap(item):
        if isinstance(item, tw.Reference):
            return ("ref", index[id(item)])
        if isinstance(item, (tuple, list)):
            return type(item)(swap(x) for x in item)
        return item

    return swap(view)


# ---- Round trips ---------------------------------------------------------------------------


def test_hierarchy_round_trips_equal_and_shared(round_trip):
    top, mid, cell = hierarchy()
    loaded_top, loaded_cell = round_trip(top, cell)
    assert loaded_top == top and loaded_cell == cell
    assert loaded_top is not top

    # Every placement field comes back as written (equality tolerates turns of 360 degrees).
    loaded_mid = loaded_top.references[0].component
    for original, loaded in zip(mid.references + top.references, loaded_mid.references + loaded_top.references):
        assert placement(loaded) == placement(original)

    # One object per stored object: both references to MID share it, as do all of LEAF's.
    assert loaded_top.references[1].component is loaded_mid
    assert all(r.component is loaded_cell for r in loaded_mid.references)
    assert loaded_top.references[2].component is loaded_cell
    assert loaded_cell.technology is loaded_top.technology is loaded_mid.technology

    # Properties of components and references, layers, ports of both kinds, models by name.
    assert loaded_cell.properties["note"] == (1, 2.5, b"x")
    assert loaded_mid.references[0].properties["kind"] == b"array"
    assert loaded_cell.structure_count() == 3 and loaded_cell.label_count() == 1
    assert list(loaded_cell.ports) == ["P0", "P1", "BEAM"]
    assert isinstance(loaded_cell.ports["BEAM"], tw.GaussianPort)
    assert loaded_cell.ports["P1"] == cell.ports["P1"]
    assert loaded_cell.terminals == cell.terminals
    assert sorted(loaded_cell.models) == ["electrical", "optical"]
    assert isinstance(loaded_cell.models["optical"], Scaled)
    assert loaded_cell.models["optical"].parametric_kwargs == {"t": 0.25, "tag": "opt"}
    assert loaded_cell.active_model_name == {"optical": "optical", "electrical": "electrical"}


def test_flattened_geometry_matches_after_loading(round_trip):
    # Arrays, reflections, turns and magnification place the same polygons after loading.
    top, _, _ = hierarchy()
    (loaded,) = round_trip(top)

    for layer in (L1, L2):
        assert loaded.get_structures(layer) == top.get_structures(layer)
    assert loaded.get_labels(L2) == top.get_labels(L2)
    np.testing.assert_array_equal(loaded.bounds(), top.bounds())


def test_shared_references_and_components_load_once(round_trip):
    cell = leaf()
    shared = tw.Reference(cell, (1, 1))
    a, b = tw.Component("A"), tw.Component("B")
    a.add(shared, tw.Reference(cell))
    b.add(shared)
    loaded_a, loaded_b, loaded_cell = round_trip(a, b, cell)
    assert loaded_a.references[0] is loaded_b.references[0]
    assert loaded_a.references[1] is not loaded_a.references[0]
    assert loaded_b.references[0].component is loaded_cell


def test_virtual_connections_and_nets_round_trip(round_trip):
    cell = leaf()
    top = tw.Component("TOP")
    array = tw.Reference(cell, columns=2, rows=2, spacing=(10, 10))
    single = tw.Reference(cell, (0, 30))
    top.add(array, single)
    top.add_virtual_connection(array, "P1", array, "P0", 3, 1)
    top.add_virtual_connection(single, "P0", None, "IN")
    top.add_virtual_net([(array, "T", 2), (single, ("P0", "t0")), "VDD"])
    top.add_virtual_net([(None, "GND"), (array, "T"), (None, ("P9", "x"))])
    (loaded,) = round_trip(top)
    assert indexed(loaded, loaded.virtual_connections) == indexed(top, top.virtual_connections)
    assert indexed(loaded, loaded.virtual_nets) == indexed(top, top.virtual_nets)
    assert loaded.virtual_connections_by_instance == top.virtual_connections_by_instance
    # The loaded endpoints are the loaded references themselves.
    assert loaded.virtual_connections[0][0][0] is loaded.references[0]


def test_json_drops_connections_to_references_the_component_no_longer_holds(via_twf, via_json):
    # Such connections are ignored by every use, and have no index to be stored under.
    cell = leaf()
    top = tw.Component("TOP")
    kept, stray = tw.Reference(cell), tw.Reference(cell, (5, 0))
    top.add(kept)
    top.add_virtual_connection(kept, "P0", stray, "P1")
    top.add_virtual_connection(kept, "P1", None, "OUT")
    (from_json,) = via_json(top)
    assert indexed(from_json, from_json.virtual_connections) == [((("ref", 0), "P1", 0), (None, "OUT", 0))]
    (from_twf,) = via_twf(top)
    assert len(from_twf.virtual_connections) == 2
    assert from_twf.virtual_connections[0][1][0] == stray


def test_update_kwargs_and_parametric_data_round_trip(round_trip):
    cell = leaf()
    cell.parametric_function = "lib.box"
    cell.parametric_kwargs = {"width": 2.5, "name": "x", "sizes": (1, 2), "nested": {"a": [None, True]}}
    updates = dict(technology_updates={"t": 1}, component_updates={"width": 3},
                   model_updates={"optical": {"t": 0.1}}, s_matrix_kwargs={"x": [1, 2]},
                   time_stepper_kwargs={"dt": 1e-12})
    top = tw.Component("TOP")
    top.add(tw.Reference(cell, (1, 2), **updates), tw.Reference(cell))
    (loaded,) = round_trip(top)
    first, second = loaded.references
    for key, value in updates.items():
        assert getattr(first, key) == value
        assert getattr(second, key) == {}
    assert first == top.references[0]
    assert first.component.parametric_function == "lib.box"
    assert first.component.parametric_kwargs == cell.parametric_kwargs


def test_empty_and_default_forms(round_trip):
    # No contents, an unnamed component, and a reference with every field at its default.
    empty = tw.Component()
    holder = tw.Component("H")
    holder.add(tw.Reference(empty))
    loaded_holder, loaded_empty = round_trip(holder, empty)
    assert loaded_empty == empty and loaded_empty.name == ""
    assert loaded_empty.references == [] and loaded_empty.ports == {} and loaded_empty.models == {}
    assert loaded_empty.active_model is None and loaded_empty.parametric_function is None
    assert placement(loaded_holder.references[0]) == ((0, 0), 0, 1, False, 1, 1, (0, 0))


def test_extreme_placements_round_trip(via_twf, via_json):
    # Coordinates at the ends of the supported range and large repetition counts.
    cell = tw.Component("C")
    top = tw.Component("TOP")
    top.add(tw.Reference(cell, (-1e9, 1e9), 1e-9, 1e-6, columns=2**32 - 1, rows=0, spacing=(1e9, -1e9)))
    for round_trip in (via_twf, via_json):
        (loaded,) = round_trip(top)
        assert placement(loaded.references[0]) == placement(top.references[0])


# ---- Failures ------------------------------------------------------------------------------


def test_unstorable_interpreter_values_fail_with_the_field_message(tmp_path):
    cell = tw.Component("C")
    cell.parametric_kwargs = {"f": object()}
    with pytest.raises(RuntimeError, match=r"^Error serializing component parametric data\.$"):
        tw.write_twf(str(tmp_path / "a.twf"), cell)
    with pytest.raises(RuntimeError, match=r"^Error serializing component parametric data\.$"):
        ext._export(cell)
    reference = tw.Reference(tw.Component("D"), component_updates={"f": object()})
    with pytest.raises(RuntimeError, match=r"^Error serializing reference update kwargs\.$"):
        tw.write_twf(str(tmp_path / "b.twf"), reference)
    with pytest.raises(RuntimeError, match=r"^Error serializing reference update kwargs\.$"):
        ext._export(reference)


def exported(*objects):
    """The JSON store document of the objects, and its forms by type and name."""
    _, document = ext._export(*objects)
    doc = json.loads(document)
    return doc, doc["data"]


def form_of(data, type_name, name=None):
    for key, form in data.items():
        if form["type"] == type_name and (name is None or form.get("name") == name):
            return key, form
    raise KeyError(type_name)


def import_document(doc):
    return ext._import(byte_repr=json.dumps(doc).encode())


def set_key(path, value):
    def edit(form):
        target = form
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value
    return edit


def delete_key(key):
    return lambda form: form.pop(key)


COMPONENT_CORRUPTIONS = [
    (delete_key("references"), "key 'references' not found"),
    (delete_key("virtual_nets"), "key 'virtual_nets' not found"),
    (set_key(["name"], 5), "Invalid value for key 'name'."),
    (set_key(["ports"], []), "Invalid value for key 'ports'."),
    (set_key(["structures", 0, "layer"], [-1, 0]), "Invalid value for key 'layer'."),
    (set_key(["structures", 0, "layer"], [2**32, 0]), "Invalid value for key 'layer'."),
    (set_key(["technology"], None), "Technology required, but missing in stored data."),
    (set_key(["technology"], "no-such-id"), "Technology not found in data:no-such-id"),
    (set_key(["virtual_connections", 0, 1, "reference"], 9), "Invalid value for key 'virtual_connections'."),
    (set_key(["virtual_connections", 0], []), "Invalid value for key 'virtual_connections'."),
    (set_key(["virtual_connections", 0, 0, "repetition_index"], -1), "Invalid value for key 'repetition_index'."),
    (set_key(["virtual_nets", 0], [{"reference": None, "terminal_name": "A", "repetition_index": 0}]),
     "Invalid virtual net: invalid or corrupted file."),
    (set_key(["virtual_nets", 0, 0, "terminal_name"], ["a"]), "Invalid value for key 'terminal_name'."),
    (set_key(["virtual_nets", 0, 0, "reference"], -1), "Invalid virtual net: invalid or corrupted file."),
]


def corruptible():
    cell = leaf()
    top = tw.Component("TOP")
    first, second = tw.Reference(cell, columns=2), tw.Reference(cell, (0, 9))
    top.add(first, second, L1, tw.Rectangle((0, 0), (1, 1)))
    top.add_virtual_connection(first, "P0", second, "P1")
    top.add_virtual_net([(first, "T", 1), (second, "T")])
    return top


@pytest.mark.parametrize("edit, message", COMPONENT_CORRUPTIONS)
def test_malformed_component_forms_raise(edit, message):
    doc, data = exported(corruptible())
    edit(form_of(data, "Component", "TOP")[1])
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        import_document(doc)


REFERENCE_CORRUPTIONS = [
    (delete_key("origin"), "key 'origin' not found"),
    (set_key(["x_reflection"], 1), "Invalid value for key 'x_reflection'."),
    (set_key(["rotation"], "90"), "Invalid value for key 'rotation'."),
    (set_key(["repetition", "columns"], -1), "Invalid value for key 'columns'."),
    (set_key(["repetition", "rows"], 2**32), "Invalid value for key 'rows'."),
    (set_key(["repetition", "spacing"], [1, 2, 3]), "Invalid value for key 'spacing'."),
    (set_key(["origin"], [10**17, 0]), "Invalid reference placement: invalid or corrupted file."),
    (set_key(["component"], None), "Component required, but missing in stored data."),
]


@pytest.mark.parametrize("edit, message", REFERENCE_CORRUPTIONS)
def test_malformed_reference_forms_raise(edit, message):
    doc, data = exported(corruptible())
    edit(form_of(data, "Reference")[1])
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        import_document(doc)


def test_references_of_the_wrong_type_are_named():
    doc, data = exported(corruptible())
    top = form_of(data, "Component", "TOP")[1]
    reference_id = top["references"][0]
    top["technology"] = reference_id
    with pytest.raises(RuntimeError, match=r"^Expected type 'Technology', found 'Reference'\.$"):
        import_document(doc)
    doc, data = exported(corruptible())
    form_of(data, "Reference")[1]["component"] = form_of(data, "Component", "TOP")[1]["technology"]
    with pytest.raises(RuntimeError, match=r"^Expected type 'Component', found 'Technology'\.$"):
        import_document(doc)


def test_component_cycles_in_documents_are_refused():
    # A document may claim that a component places itself; loading must stop, not recurse.
    doc, data = exported(corruptible())
    top_id, top = form_of(data, "Component", "TOP")
    form_of(data, "Reference")[1]["component"] = top_id
    with pytest.raises(RuntimeError, match="self-referencing"):
        import_document(doc)


def test_corrupt_twf_records_raise_or_load(tmp_path, damaged_twf_loads):
    """Changed bytes inside the records must raise RuntimeError or load; never crash or hang."""
    path = tmp_path / "good.twf"
    tw.write_twf(str(path), corruptible())
    assert damaged_twf_loads(path.read_bytes(), copies=400) > 0


def read_count(data, at):
    """A twf count at `at`: its value and the position after it."""
    first = data[at]
    n = 0
    while n < 8 and first & (0x80 >> n):
        n += 1
    if n == 8:
        return int.from_bytes(data[at + 1:at + 9], "little"), at + 9
    starts = [0, 0x80, 0x4080, 0x204080, 0x10204080, 0x810204080, 0x40810204080, 0x2040810204080]
    low_bits = 7 - n
    rest = int.from_bytes(data[at + 1:at + 1 + n], "little")
    return starts[n] + ((first & ((1 << low_bits) - 1)) | rest << low_bits), at + 1 + n


def explicit_locations(data):
    """Locations of the explicitly written objects, from the table of contents."""
    at = int.from_bytes(data[18:26], "little")
    _, at = read_count(data, at)  # the stream's properties
    at += 1 + data[at]  # type versions
    for _ in range(2):
        n, at = read_count(data, at)
        entries = []
        for _ in range(n):
            location, at = read_count(data, at)
            entries.append(location)
            at += 1
    return entries


def test_reference_records_with_unknown_flags_are_refused(tmp_path):
    path = tmp_path / "ref.twf"
    reference = tw.Reference(tw.Component("C"), (1, 2), 90, columns=2, spacing=(3, 0))
    tw.write_twf(str(path), reference)
    data = bytearray(path.read_bytes())
    (location,) = explicit_locations(data)
    assert data[location] == 25
    _, flags_at = read_count(data, location + 1)
    assert data[flags_at] == 1 | 2 | 16  # origin, rotation, array
    (loaded,) = tw.load_full_twf(str(path))
    assert loaded == reference
    data[flags_at] |= 64
    path.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match=r"^Unable to read Reference from twf stream: invalid or corrupted file\.$"):
        tw.load_full_twf(str(path))
