import gdstk
import numpy as np
import pytest

import tarnwhistle as tw

# Explicit everywhere, so that the configured default stays unset for other modules.
TECH = tw.basic_technology()
SPEC = tw.PortSpec("test", 0.5, (-1, 1))
# Rectangle (0, 0)-(2, 1) and triangle (0, 0), (1, 0), (0, 3) overlap where x <= 1 - y / 3, y <= 1.
UNION_AREA = 2 + 1.5 - (1 - 1 / 6)


def area(structures):
    return sum(s.area() for s in structures)


def all_structures(component):
    return [s for items in component.structures.values() for s in items]


@pytest.fixture
def cell():
    a = tw.Component("A", TECH)
    a.add((1, 0), tw.Rectangle((0, 0), (2, 1)), (2, 0), tw.Polygon([(0, 0), (1, 0), (0, 3)]))
    return a


# ---- Hierarchy by hand ---------------------------------------------------------------------


def test_rotated_reference_places_geometry_exactly(cell):
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(cell, (10, 0), rotation=90))
    # (x, y) -> (10 - y, x): the rectangle spans x 9..10, y 0..2; the triangle x 7..10, y 0..1.
    rect = top.get_structures((1, 0))[0]
    assert np.allclose(rect.bounds(), [(9, 0), (10, 2)])
    tri = top.get_structures((2, 0))[0]
    assert np.allclose(tri.bounds(), [(7, 0), (10, 1)])
    assert np.allclose(top.bounds(), [(7, 0), (10, 2)])
    assert np.allclose(top.size(), (3, 2))
    assert np.allclose(top.center(), (8.5, 1))


def test_array_reference_bounds_and_instances(cell):
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(cell, (1, 1), columns=2, rows=3, spacing=(5, 4)))
    rects = top.get_structures((1, 0))
    assert len(rects) == 6
    lower_left = sorted(tuple(r.bounds()[0]) for r in rects)
    assert lower_left == [(1, 1), (1, 5), (1, 9), (6, 1), (6, 5), (6, 9)]
    # Triangle reaches y 3 above the last row at y 9.
    assert np.allclose(top.bounds(), [(1, 1), (8, 12)])


def test_nested_layers_and_dependencies(cell):
    mid = tw.Component("MID", TECH)
    mid.add(tw.Reference(cell, (0, 5)))
    top = tw.Component("TOP", TECH)
    top.add(mid, (3, 0), tw.Rectangle((0, 0), (1, 1)))
    assert top.layers() == {(3, 0)}
    assert top.layers(include_dependencies=True) == {(1, 0), (2, 0), (3, 0)}
    assert [c.name for c in top.dependencies()] == ["MID", "A"]
    assert tw.find_top_level(cell, top, mid) == [top]
    assert top.structure_count() == 1 and top.label_count() == 0


def test_get_structures_depth_and_skip(cell):
    mid = tw.Component("MID", TECH)
    mid.add((1, 0), tw.Rectangle((0, 0), (5, 5)), cell)
    top = tw.Component("TOP", TECH)
    top.add((1, 0), tw.Rectangle((-1, -1), (0, 0)), mid)
    assert len(top.get_structures((1, 0), depth=0)) == 1
    assert len(top.get_structures((1, 0), depth=1)) == 2
    assert len(top.get_structures((1, 0))) == 3
    assert len(top.get_structures((1, 0), skip_components=("A",))) == 2
    assert len(top.get_structures((1, 0), skip_components=[mid])) == 1
    everything = top.get_structures()
    assert set(everything) == {(1, 0), (2, 0)} and len(everything[(1, 0)]) == 3
    with pytest.raises(TypeError, match="^All 'skip_components' items must be a Component instance or a string.$"):
        top.get_structures(skip_components=[1])
    with pytest.raises(TypeError, match="^Argument 'skip_components' must be an iterable of components or names.$"):
        top.get_structures(skip_components=3)


def test_labels_follow_the_hierarchy():
    a = tw.Component("A", TECH)
    a.add((4, 0), tw.Label("x", (1, 0)))
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(a, (0, 0), rotation=90))
    (label,) = top.get_labels((4, 0))
    assert np.allclose(label.origin, (0, 1))
    assert top.get_labels(depth=0) == {}


# ---- Flattening against a peer -------------------------------------------------------------


def peer_hierarchy():
    a = gdstk.Cell("A")
    a.add(gdstk.rectangle((0, 0), (2, 1), layer=1), gdstk.Polygon([(0, 0), (1, 0), (0, 3)], layer=2))
    mid = gdstk.Cell("MID")
    mid.add(gdstk.Reference(a, (3, 0), rotation=np.pi / 2))
    mid.add(gdstk.Reference(a, (0, 10), magnification=2, x_reflection=True))
    top = gdstk.Cell("TOP")
    top.add(gdstk.Reference(mid, (1, 2), columns=3, rows=2, spacing=(20, 30)))
    top.add(gdstk.Reference(a, (-5, -5), rotation=np.pi))
    return top


def own_hierarchy(cell):
    mid = tw.Component("MID", TECH)
    mid.add(tw.Reference(cell, (3, 0), rotation=90),
            tw.Reference(cell, (0, 10), scaling=2, x_reflection=True))
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(mid, (1, 2), columns=3, rows=2, spacing=(20, 30)),
            tw.Reference(cell, (-5, -5), rotation=180))
    return top


def test_flatten_matches_peer_areas_and_bounds(cell):
    top = own_hierarchy(cell)
    before = {layer: area(items) for layer, items in top.get_structures().items()}
    bounds = top.bounds()
    top.flatten()
    assert top.references == []
    after = {layer: area(items) for layer, items in top.structures.items()}
    assert after == pytest.approx(before)

    peer = peer_hierarchy().flatten()
    peer_areas = {}
    for polygon in peer.polygons:
        peer_areas[(polygon.layer, 0)] = peer_areas.get((polygon.layer, 0), 0) + polygon.area()
    assert after == pytest.approx(peer_areas)
    assert np.allclose(top.bounds(), peer.bounding_box())
    assert np.allclose(bounds, peer.bounding_box())


def test_copies_share_or_copy_dependencies(cell):
    top = own_hierarchy(cell)
    shallow = top.copy()
    deep = top.copy(deep=True)
    assert shallow.references[0].component is top.references[0].component
    assert deep.references[0].component is not top.references[0].component
    assert deep.references[0].component.name == "MID"
    deep.flatten()
    assert top.references and len(top.dependencies()) == 2
    assert shallow.technology is top.technology
    own = top.copy(copy_technology=True)
    assert own.technology is not top.technology and own.technology == top.technology
    assert top.__copy__().references[0] is not top.references[0]
    assert top.__deepcopy__({}).references[0].component is not top.references[0].component


# ---- Cycles ----------------------------------------------------------------------------------


def test_cycles_are_refused_and_leave_both_unchanged(cell):
    top = tw.Component("TOP", TECH)
    top.add(cell)
    with pytest.raises(RuntimeError, match="^Adding component would create a dependency cycle.$"):
        cell.add(tw.Rectangle((0, 0), (1, 1)), top)
    with pytest.raises(RuntimeError, match="^Adding reference would create a dependency cycle.$"):
        cell.add(tw.Reference(top))
    with pytest.raises(RuntimeError, match="^Adding this component would create a dependency cycle.$"):
        cell.add_reference(cell)
    with pytest.raises(RuntimeError, match="^Adding this reference would create a dependency cycle.$"):
        cell.add_reference(tw.Reference(top))
    assert cell.references == [] and cell.structure_count() == 2
    assert len(top.references) == 1 and top.dependencies() == [cell]
    assert top.detect_dependency_cycle() is None


def test_cycle_made_through_a_reference_is_detected(cell):
    top = tw.Component("TOP", TECH)
    ref = top.add_reference(cell)
    other = cell.add_reference(tw.Reference(tw.Component("X", TECH)))
    other.component = top
    assert top.detect_dependency_cycle() is not None
    assert "cycle" in top.tree_view()


# ---- Contents --------------------------------------------------------------------------------


def test_add_messages(cell):
    with pytest.raises(TypeError, match=r"^Arguments must be 2D structures, labels, references, "):
        cell.add(1)
    with pytest.raises(TypeError, match=r"^Argument 1 cannot be processed: arguments must be 2D "):
        cell.add(tw.Rectangle((0, 0), (1, 1)), "NOT A LAYER")
    assert cell.structure_count() == 2
    with pytest.raises(TypeError, match="^'reference' must be an instance of Reference or Component.$"):
        cell.add_reference(1)


def test_add_by_layer_name_and_remove(cell):
    rect = tw.Rectangle((0, 0), (1, 1))
    label = tw.Label("t")
    cell.add("METAL", rect, label)
    assert cell.structures[(5, 0)] == [rect] and cell.labels[(5, 0)] == [label]
    cell.remove(rect, layer=(1, 0))
    assert cell.structures[(5, 0)] == [rect]
    cell.remove(rect, label)
    assert (5, 0) not in cell.structures and cell.labels == {}
    with pytest.raises(TypeError, match="^Object cannot be removed from a 2D component.$"):
        cell.remove(1)
    with pytest.raises(TypeError, match="^Argument 1 cannot be removed from a 2D component.$"):
        cell.remove(rect, 1)
    with pytest.raises(TypeError, match=r"^'remove\(\)' expects only 1 keyword argument.$"):
        cell.remove(rect, layer=(1, 0), other=1)
    with pytest.raises(TypeError, match=r"^'remove\(\)' expects only 'layer' keyword argument.$"):
        cell.remove(rect, other=1)


def test_remove_reference(cell):
    top = tw.Component("TOP", TECH)
    ref = top.add_reference(cell)
    assert top.references == [ref]
    top.remove(ref)
    assert top.references == []


def test_port_names(cell):
    p = [tw.Port((0, i), 0, SPEC) for i in range(3)]
    assert cell.add_port(p[0]) == "P0"
    assert cell.add_port(p[1:], "W") == ["W0", "W1"]
    assert cell.add_port({"in": p[0], "out": p[1]}) == ["in", "out"]
    assert cell.add_port(p[2], "in") == "in"
    assert cell.ports["in"] is p[2]
    gaussian = tw.GaussianPort((0, 0, 1), (0, 0, -1), 2)
    assert cell.add_port(gaussian, "W0") == "W0"
    assert list(cell.ports) == ["P0", "W1", "in", "out", "W0"]  # 2D first, then 3D
    assert cell.select_ports("optical") == cell.ports
    assert cell.remove_port("W0") is gaussian and cell.remove_port("W0") is None
    cell.rename_port("in", "input")
    assert "input" in cell.ports and "in" not in cell.ports


@pytest.mark.parametrize("port, message", [
    (1, "Argument 'port' must be an instance of one of the port classes, or a sequence or dictionary of ports."),
    ([tw.Port((0, 0), 0, SPEC), 2], "Object 'port[1]' is not an instance of a port class."),
    ({1: tw.Port((0, 0), 0, SPEC)}, "Dictionary keys must be strings, because they will be used as port names."),
    ({"a": 1}, "Dictionary values must be instances of one of the port classes."),
])
def test_add_port_messages(cell, port, message):
    with pytest.raises(TypeError) as info:
        cell.add_port(port)
    assert str(info.value) == message
    assert cell.ports == {}


def test_terminals(cell):
    terminal = tw.Terminal((5, 0), tw.Rectangle((0, 0), (1, 1)))
    assert cell.add_terminal(terminal, add_structure=True) == "T0"
    assert cell.add_terminal([terminal], "pad", add_structure=True, structure_layer=(6, 0)) == ["pad0"]
    assert area(cell.structures[(5, 0)]) == 1 and area(cell.structures[(6, 0)]) == 1
    cell.rename_terminal("T0", "gnd")
    assert cell.remove_terminal("gnd") is terminal
    assert (5, 0) not in cell.structures
    assert cell.remove_terminal("pad0", remove_structure=False) is terminal
    assert (6, 0) in cell.structures and cell.terminals == {}
    for value, message in [
        (1, "Argument 'terminal' must be a Terminal instance, or a sequence or dictionary of terminals."),
        ([1], "Object 'terminal[0]' is not a Terminal instance."),
        ({1: terminal}, "Dictionary keys must be strings, because they will be used as terminal names."),
        ({"a": 1}, "Dictionary values must be Terminal instances."),
    ]:
        with pytest.raises(TypeError) as info:
            cell.add_terminal(value)
        assert str(info.value) == message


def test_models_without_model_objects(cell):
    for value, message in [
        (1, "Argument 'model' must be a Model instance or a sequence of models."),
        ([1], "Object 'model[0]' is not an instance of Model."),
    ]:
        with pytest.raises(TypeError) as info:
            cell.add_model(value)
        assert str(info.value) == message
    with pytest.raises(TypeError, match="^Argument 'set_active' must be \"optical\", \"electrical\", True, or False.$"):
        cell.add_model([], set_active="both")
    assert cell.add_model([]) == []
    with pytest.raises(ValueError, match="^No model with name 'm' found.$"):
        cell.activate_model("m")
    with pytest.raises(ValueError, match="^Argument 'classification' must be \"optical\", \"electrical\", or None.$"):
        cell.activate_model("m", "thermal")
    assert cell.remove_model("m") is None
    assert cell.active_model is None and cell.active_model_name is None
    assert cell.select_active_model("optical") is None
    with pytest.raises(TypeError, match="^Argument 'add_model' must be a Model instance.$"):
        cell.add_reference_ports(add_model=1)


# ---- Layers ----------------------------------------------------------------------------------


def test_remap_and_filter_layers(cell):
    top = tw.Component("TOP", TECH)
    top.add((1, 0), tw.Rectangle((0, 0), (1, 1)), tw.Label("a"), cell)
    top.remap_layers({(1, 0): (7, 0)})
    assert set(top.structures) == {(7, 0)} and cell.layers() == {(1, 0), (2, 0)}
    top.remap_layers({(1, 0): "METAL"}, include_dependencies=True)
    assert cell.layers() == {(5, 0), (2, 0)}
    top.remap_label_layers({(1, 0): (9, 0)})
    assert set(top.labels) == {(9, 0)}
    top.filter_layers([(2, 0)], True, include_dependencies=True)
    assert top.structures == {} and set(cell.structures) == {(2, 0)}
    top.filter_label_layers([(9, 0)], False)
    assert top.labels == {}
    assert top.layers(include_dependencies=True, include_labels=False) == {(2, 0)}


def test_layer_argument_messages(cell):
    items = "All items in 'layers' must be sequences of 2 non-negative integers or existing layer names."
    with pytest.raises(TypeError, match="^Argument 'layer_map' must be a dictionary.$"):
        cell.remap_layers([])
    with pytest.raises(TypeError, match="^Argument 'layers' must be an iterable of layers.$"):
        cell.filter_layers(1, True)
    with pytest.raises(TypeError) as info:
        cell.filter_layers(["NOPE"], True)
    assert str(info.value) == items
    with pytest.raises(TypeError, match="^Argument 'layers' must be an iterable of layers or None.$"):
        cell.bounds(layers=1)
    with pytest.raises(TypeError) as info:
        cell.convex_hull(layers=[(1, -1)])
    assert str(info.value) == items
    assert np.allclose(cell.bounds(layers=[(1, 0)]), [(0, 0), (2, 1)])


def test_replace_technology(cell):
    top = tw.Component("TOP", TECH)
    top.add(cell)
    other = tw.basic_technology(core_thickness=0.3)
    top.replace_technology(other, tw.basic_technology(core_thickness=0.25))
    assert cell.technology is not other
    top.replace_technology(other)
    assert top.technology is other and cell.technology is other
    with pytest.raises(TypeError, match="^Argument 'new_technology' must be a Technology.$"):
        top.replace_technology(1)
    with pytest.raises(TypeError, match="^Argument 'old_technology' must be a Technology or None.$"):
        top.replace_technology(other, 1)


# ---- Geometry --------------------------------------------------------------------------------


def test_convex_hull_and_bounds_options(cell):
    cell.add((3, 0), tw.Label("far", (10, 10)))
    cell.add_port(tw.Port((-3, 0.5), 0, SPEC))
    hull = cell.convex_hull(include_labels=False)
    assert sorted(map(tuple, hull)) == [(0, 0), (0, 3), (2, 0), (2, 1)]
    assert (10, 10) in map(tuple, cell.convex_hull())
    assert np.allclose(cell.bounds(include_ports=False, include_labels=False), [(0, 0), (2, 3)])
    assert np.allclose(cell.bounds(include_ports=False), [(0, 0), (10, 10)])
    assert cell.bounds(include_labels=False)[0][0] < 0


def test_set_bounds_clips_own_geometry(cell):
    cell.add((3, 0), tw.Label("out", (5, 5)), tw.Label("in", (0.5, 0.5)))
    cell.set_bounds([(0.5, 0), (1.5, 2)])
    assert area(cell.structures[(1, 0)]) == pytest.approx(1)
    # The triangle x + y / 3 <= 1 between x 0.5 and 1.5, y up to 1.5.
    assert area(cell.structures[(2, 0)]) == pytest.approx(0.375)
    assert [label.text for label in cell.labels[(3, 0)]] == ["in"]
    with pytest.raises(ValueError, match="^'bounds' must be a sequence of exactly 2 points, 3 found.$"):
        cell.set_bounds([(0, 0), (1, 1), (2, 2)])


def test_slice_profile(cell):
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(cell, (10, 0), rotation=90), (1, 0), tw.Rectangle((0, 0), (4, 4)))
    profile = top.slice_profile("x", (1, 0.5))
    assert profile == [(4.0, 1.0, (1, 0)), (1.0, 8.5, (1, 0)), (1.5, 8.25, (2, 0))]
    # At x 9.5 the rectangle spans y 0..2 and the triangle y 0..5/6; the line spans y ±0.5.
    assert top.slice_profile("y", (9.5, 0), length=1) == [(0.5, 0.25, (1, 0)), (0.5, 0.25, (2, 0))]
    assert top.slice_profile("x", (1, 0.5), depth=0) == [(4.0, 1.0, (1, 0))]
    with pytest.raises(ValueError, match="^Argument 'axis' must be one of 'x' or 'y'.$"):
        top.slice_profile("z", (0, 0))


def test_build_mask(cell):
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(cell, (1, 0)))
    union = top.build_mask(tw.MaskSpec([(1, 0), (2, 0)]))
    assert sum(p.area() for p in union) == pytest.approx(UNION_AREA, abs=1e-4)
    assert [p.area() for p in top.build_mask((1, 0))] == [pytest.approx(2)]
    inverse = top.build_mask(-tw.MaskSpec((1, 0)))
    assert sum(p.area() for p in inverse) == pytest.approx(2 * 3 - 2)
    assert top.build_mask((1, 0), heal=True)
    assert top.build_mask((1, 0), heal=2) == []
    with pytest.raises(TypeError, match="^Argument 'mask_spec' must be an instance of MaskSpec or layer.$"):
        top.build_mask(1.5)


def test_set_operations_take_components_and_references(cell):
    ref = tw.Reference(cell, (10, 0), columns=2, spacing=(5, 0))
    union = tw.boolean(ref, [], "+")
    assert sum(p.area() for p in union) == pytest.approx(2 * UNION_AREA, abs=1e-4)
    assert tw.intersects(cell, tw.Rectangle((1.5, 0.5), (3, 3)))
    assert not tw.intersects(ref, cell)
    assert np.allclose(tw.envelope([cell, ref], use_box=True).bounds(), [(0, 0), (17, 3)])


# ---- Reference ports -------------------------------------------------------------------------


def test_reference_ports(cell):
    cell.add_port([tw.Port((0, 0.5), 0, SPEC), tw.Port((2, 0.5), 180, SPEC)])
    top = tw.Component("TOP", TECH)
    first = top.add_reference(cell)
    top.add_reference(tw.Reference(cell, (4, 1), rotation=180))
    # P1 of the first instance and P1 of the second meet at (2, 0.5) facing each other.
    free = top.disconnected_reference_ports()
    assert [(r is first, name) for r, name, _ in free] == [(True, "P0"), (False, "P0")]
    assert top.add_reference_ports() == ["P0", "P0_1"]
    assert np.allclose(top.ports["P0_1"].center, (4, 0.5))
    assert top.add_reference_ports() == []


# ---- Names -----------------------------------------------------------------------------------


def test_set_unique_names():
    a, b = tw.Component("WG", TECH), tw.Component("WG", TECH)
    assert tw.set_unique_names(a, b) == [b] and b.name == "WG_1"
    c1, c2, c3 = tw.Component(technology=TECH), tw.Component("C", TECH), tw.Component(technology=TECH)
    top = tw.Component("TOP", TECH)
    top.add(c1, c2, c3)
    renamed = tw.set_unique_names(top)
    assert [c.name for c in (c1, c2, c3)] == ["C", "C_1", "C_2"]
    assert renamed == [c1, c2, c3]
    assert tw.set_unique_names(top) == []
    with pytest.raises(TypeError):
        tw.set_unique_names(top, 1)
    with pytest.raises(TypeError):
        tw.find_top_level(components=top)


def test_representations(cell):
    assert str(cell) == 'Component "A"'
    assert str(tw.Component(technology=TECH)) == "Unnamed Component"
    assert repr(cell).startswith('Component(name="A", technology=Technology(')
    top = tw.Component("TOP", TECH)
    top.add(tw.Reference(cell, (1, 2)))
    assert top.tree_view() == 'Component "TOP"\n└─ Reference to "A" at (1, 2)\n'


# ---- Parametric update -----------------------------------------------------------------------


@pytest.fixture
def registry():
    import tarnwhistle.extension as ext

    saved = dict(ext._component_registry)
    yield ext._component_registry
    ext._component_registry.clear()
    ext._component_registry.update(saved)


def test_update_regenerates_in_place(registry):
    def box(width=1, height=1):
        c = tw.Component("BOX", TECH)
        c.add(tw.Rectangle((0, 0), (width, height)))
        return c

    registry["test.box"] = box
    c = box()
    c.parametric_function = "test.box"
    c.parametric_kwargs = {"width": 2}
    top = tw.Component("TOP", TECH)
    top.add(c)
    assert c.update(height=3) is c
    assert c.parametric_kwargs == {"width": 2, "height": 3}
    assert np.allclose(top.bounds(), [(0, 0), (2, 3)])
    c.random_variables = ()
    assert c.random_variables == [] and c.parametric_function == "test.box"

    registry["test.bad"] = lambda **kwargs: 1
    c.parametric_function = "test.bad"
    with pytest.raises(RuntimeError, match="^Updated object returned by parametric function 'test.bad' is not a 'Component' instance.$"):
        c.update()
    c.parametric_function = "test.missing"
    with pytest.raises(RuntimeError, match="^Parametric component function not found in component registry.$"):
        c.update()
    with pytest.raises(RuntimeError, match="^Missing parametric data in component.$"):
        tw.Component(technology=TECH).update()


def test_update_with_invalid_registry():
    import tarnwhistle.extension as ext

    saved = ext._component_registry
    ext._component_registry = []
    try:
        c = tw.Component(technology=TECH)
        c.parametric_function = "x"
        with pytest.raises(RuntimeError, match="^Component registry is invalid.$"):
            c.update()
    finally:
        ext._component_registry = saved


def test_attributes(cell):
    cell.name = "B"
    assert cell.name == "B"
    with pytest.raises(TypeError):
        cell.technology = 1
    other = tw.basic_technology(strip_width=0.4)
    cell.technology = other
    assert cell.technology is other
    with pytest.raises(TypeError):
        cell.parametric_kwargs = 1
    with pytest.raises(TypeError):
        cell.random_variables = 1
    assert cell.parametric_function is None and cell.parametric_kwargs is None


def test_walks_refuse_a_cycle_made_through_a_reference():
    # Setting a reference's component is not checked; walks without a depth limit then report
    # the cycle instead of recursing forever, and leave the component as it was.
    a, b = tw.Component("A", technology=TECH), tw.Component("B", technology=TECH)
    a.add((1, 0), tw.Rectangle((0, 0), (1, 1)))
    a.add(tw.Reference(b, (2, 0)))
    b.add(tw.Reference(tw.Component("C", technology=TECH)))
    b.references[0].component = a
    assert a.detect_dependency_cycle() is not None
    message = "^The hierarchy of component '.' contains a dependency cycle.$"
    for call in (a.bounds, a.convex_hull, a.get_structures, a.flatten, a.references[0].bounds,
                 lambda: a.build_mask((1, 0)), lambda: tw.boolean(a, [], "+")):
        with pytest.raises(RuntimeError, match=message):
            call()
    assert len(a.references) == 1 and a.structure_count() == 1
    assert len(a.get_structures(depth=4)[(1, 0)]) == 3  # a depth limit ends the walk
    assert a.copy(deep=True) == a
