"""References: placement of every instance, connections, bounds, copies, updates and messages."""

import itertools
import math
import warnings

import gdstk
import numpy as np
import pytest
import shapely

import tarnwhistle as tw

L1, L2, L3 = (1, 0), (2, 0), (3, 0)
ASYMMETRIC = {"p": (0.5, 0.2, L1)}


def spec(profiles=None, width=1.0, **kwargs):
    return tw.PortSpec("s", width, (-1, 1), path_profiles=profiles or {"core": (0.5, 0, L1)},
                       **kwargs)


def cell(name="CELL"):
    """A rectangle, a label, a port and a terminal."""
    c = tw.Component(name)
    c.add(L1, tw.Rectangle((0, 0), (2, 1)), L2, tw.Label("a", (1, 0.5)))
    c.add_port(tw.Port((0, 0.5), 0, spec()), "P0")
    c.add_terminal(tw.Terminal(L3, tw.Rectangle((1, 0), (1.5, 0.5))), "T")
    return c


def place(points, origin=(0, 0), rotation=0, scaling=1, x_reflection=False, offset=(0, 0)):
    """Scale, mirror across x, rotate, translate by origin and then by the instance offset."""
    points = np.asarray(points, dtype=float) * scaling
    if x_reflection:
        points = points * (1, -1)
    a = math.radians(rotation)
    c, s = math.cos(a), math.sin(a)
    x, y = points[:, 0], points[:, 1]
    return np.column_stack((c * x - s * y, s * x + c * y)) + np.add(origin, offset)


def offsets(columns, rows, spacing):
    """Instance offsets in index order: row-major."""
    return [(i % columns * spacing[0], i // columns * spacing[1]) for i in range(columns * rows)]


def same_points(a, b, tol=1e-3):
    """Equal vertex sets up to the grid (turned shapes snap to it), in any cyclic order."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and all(np.min(np.abs(b - p).max(axis=1)) <= tol for p in a)


# ---- Placement of every instance -----------------------------------------------------------

ROTATIONS = [0, 90, 180, 270, -90, 30, -135.5]
REPETITIONS = [(1, 1, (0, 0)), (2, 3, (5, 4)), (3, 1, (-4, 0))]


@pytest.mark.parametrize("rotation, scaling, x_reflection, repetition", list(itertools.product(
    ROTATIONS, [1, 2.5], [False, True], REPETITIONS)))
def test_instances_place_structures_labels_ports_and_terminals(rotation, scaling, x_reflection,
                                                               repetition):
    columns, rows, spacing = repetition
    origin = (3, -7)
    ref = tw.Reference(cell(), origin, rotation, scaling, x_reflection, columns, rows, spacing)
    steps = [dict(origin=origin, rotation=rotation, scaling=scaling, x_reflection=x_reflection,
                  offset=o) for o in offsets(columns, rows, spacing)]

    rectangles = ref.get_structures(L1)
    assert len(rectangles) == len(steps)
    for rectangle, step in zip(rectangles, steps):
        expected = place([(0, 0), (2, 0), (2, 1), (0, 1)], **step)
        assert same_points(rectangle.to_polygon().vertices, expected)

    labels = ref.get_labels()[L2]
    for label, step in zip(labels, steps):
        np.testing.assert_allclose(label.origin, place([(1, 0.5)], **step)[0], atol=1e-5)
        assert label.x_reflection == x_reflection

    ports = ref.get_ports("P0")
    for port, step in zip(ports, steps):
        # Centers snap to the half grid: within a grid step of the placed point.
        np.testing.assert_allclose(port.center, place([(0, 0.5)], **step)[0], atol=1e-3)
        # Direction 0 mirrors onto itself: only the rotation turns it.
        assert (port.input_direction - rotation) % 360 == pytest.approx(0, abs=1e-9)
        assert port.inverted == x_reflection

    terminals = ref.get_terminals("T")
    for terminal, step in zip(terminals, steps):
        expected = place([(1, 0), (1.5, 0), (1.5, 0.5), (1, 0.5)], **step)
        assert same_points(terminal.structure.to_polygon().vertices, expected)


@pytest.mark.parametrize("rotation, x_reflection", [(0, False), (90, True), (30, False), (-135.5, True)])
def test_array_geometry_agrees_with_gdstk(rotation, x_reflection):
    """Offsets in parent coordinates, as the peer's repetitions have them."""
    ours = tw.Reference(cell(), (1, 2), rotation, 1.5, x_reflection, 3, 2, (7, -5))
    peer_cell = gdstk.Cell("CELL")
    peer_cell.add(gdstk.rectangle((0, 0), (2, 1), layer=1))
    peer = gdstk.Reference(peer_cell, (1, 2), math.radians(rotation), 1.5, x_reflection)
    peer.repetition = gdstk.Repetition(3, 2, spacing=(7, -5))
    top = gdstk.Cell("TOP")
    top.add(peer)
    expected = top.get_polygons(layer=1, datatype=0)
    got = [s.to_polygon().vertices for s in ours.get_structures(L1)]
    assert len(got) == len(expected)
    for polygon in got:
        assert any(same_points(polygon, p.points) for p in expected)


def test_depth_limits_the_hierarchy_and_nested_placements_compose():
    inner = cell("INNER")
    middle = tw.Component("MIDDLE")
    middle.add(L1, tw.Rectangle((10, 0), (11, 1)))
    middle.add(tw.Reference(inner, (0, 5), 90, columns=2, spacing=(3, 0)))
    ref = tw.Reference(middle, (100, 0), 180)
    assert len(ref.get_structures(L1, depth=0)) == 1
    deep = ref.get_structures(L1)
    assert len(deep) == 3
    # Inner instance 1: placed by the inner reference, then by the outer one.
    inner_placed = place([(0, 0), (2, 0), (2, 1), (0, 1)], (0, 5), 90, offset=(3, 0))
    expected = place(inner_placed, (100, 0), 180)
    assert any(same_points(s.to_polygon().vertices, expected) for s in deep)
    assert ref.get_structures(L2) == [] and list(ref.get_labels(depth=0)) == []
    assert len(ref.get_labels(L2)) == 2


def test_ports_and_terminals_by_name_and_by_indexing():
    ref = tw.Reference(cell(), columns=2, spacing=(5, 0))
    ports = ref.get_ports()
    assert list(ports) == ["P0"] and len(ports["P0"]) == 2
    assert list(ref.get_terminals()) == ["T"]
    assert ref.get_ports("missing") == [] and ref.get_terminals("missing") == []
    assert [p.center.tolist() for p in ref["P0"]] == [[0, 0.5], [5, 0.5]]
    single = tw.Reference(cell(), (1, 1))
    assert isinstance(single["P0"], tw.Port) and single["P0"].center.tolist() == [1, 1.5]
    assert isinstance(single["T"], tw.Terminal)
    with pytest.raises(KeyError):
        single["missing"]
    with pytest.raises(TypeError, match="^Indexing key must be a port or terminal name string.$"):
        single[0]


# ---- Repetitions and the reference transform -----------------------------------------------


def test_six_instances_in_row_major_order():
    ref = tw.Reference(cell(), columns=2, rows=3, spacing=(2, 1))
    instances = ref.get_repetition()
    assert len(instances) == 6
    assert instances[4].origin.tolist() == [0, 2]
    assert ref.get_repetition(4) == instances[4]
    assert (instances[4].columns, instances[4].rows) == (1, 1)
    with pytest.raises(RuntimeError, match="^Index larger than the maximum repetition index$"):
        ref.get_repetition(6)
    empty = tw.Reference(cell(), columns=0, rows=3)
    assert empty.get_repetition() == [] and empty.get_structures() == {}
    with pytest.raises(RuntimeError, match="Index larger than the maximum repetition index"):
        empty.get_repetition(0)


def test_quarter_turns_are_exact_and_other_turns_round():
    ref = tw.Reference(cell(), (1, 2))
    ref.rotate(90)
    assert ref.origin.tolist() == [-2, 1] and ref.rotation == 90
    ref = tw.Reference(cell(), (1, 2)).rotate(30)
    a = math.radians(30)
    expected = [round((math.cos(a) - 2 * math.sin(a)) * 1e5) / 1e5,
                round((math.sin(a) + 2 * math.cos(a)) * 1e5) / 1e5]
    assert ref.origin.tolist() == expected
    ref = tw.Reference(cell(), (1, 2)).mirror((1, 1))
    assert ref.origin.tolist() == [2, 1] and ref.x_reflection and ref.rotation == 90
    ref = tw.Reference(cell(), (1, 2)).scale(2, (1, 0)).translate((0.5, 0))
    assert ref.origin.tolist() == [1.5, 4] and ref.scaling == 2


def test_transform_keeps_the_spacing_of_an_array():
    ref = tw.Reference(cell(), columns=2, rows=2, spacing=(5, 3))
    ref.transform(rotation=90)
    assert ref.spacing.tolist() == [5, 3]
    first, second = (s.to_polygon().vertices for s in ref.get_structures(L1)[:2])
    # Each instance turned; the column offset still points along x.
    assert same_points(first, place([(0, 0), (2, 0), (2, 1), (0, 1)], rotation=90))
    assert same_points(second, first + (5, 0))


# ---- Bounds and hull -----------------------------------------------------------------------


def all_instance_points(ref):
    return np.vstack([s.to_polygon().vertices for s in ref.get_structures(L1)] +
                     [[label.origin for label in ref.get_labels(L2)]])


@pytest.mark.parametrize("rotation, x_reflection, repetition", list(itertools.product(
    ROTATIONS, [False, True], REPETITIONS)))
def test_bounds_and_hull_cover_every_instance(rotation, x_reflection, repetition):
    columns, rows, spacing = repetition
    ref = tw.Reference(cell(), (2, 3), rotation, 1.5, x_reflection, columns, rows, spacing)
    points = all_instance_points(ref)
    lower, upper = ref.bounds()
    # Turned copies snap to the grid; the bounds place the exact outline.
    np.testing.assert_allclose(lower, points.min(axis=0), atol=1e-3)
    np.testing.assert_allclose(upper, points.max(axis=0), atol=1e-3)
    np.testing.assert_allclose(ref.center(), (lower + upper) / 2, atol=1e-9)
    np.testing.assert_allclose(ref.size(), upper - lower, atol=1e-9)
    hull = shapely.MultiPoint(points).convex_hull
    ours = shapely.Polygon(ref.convex_hull())
    assert ours.buffer(2e-3).contains(hull) and hull.buffer(2e-3).contains(ours)


def test_bounds_of_a_huge_array_and_without_labels():
    small = tw.Component("S")
    small.add(L1, tw.Rectangle((0, 0), (1, 1)), L2, tw.Label("far", (5, 5)))
    ref = tw.Reference(small, (10, 0), columns=1000, rows=1000, spacing=(-2, 3))
    lower, upper = ref.bounds()
    assert lower.tolist() == [10 - 2 * 999, 0] and upper.tolist() == [15, 5 + 3 * 999]
    lower, upper = ref.bounds(include_labels=False)
    assert upper.tolist() == [11, 1 + 3 * 999]
    assert len(ref.convex_hull(include_labels=False)) == 4


def test_bound_attributes_move_the_reference():
    ref = tw.Reference(cell(), (1, 1), 90)
    assert (ref.x_min, ref.y_min, ref.x_max, ref.y_max) == (0, 1, 1, 3)
    assert (ref.x_mid, ref.y_mid) == (0.5, 2)
    ref.x_min = 10
    assert ref.origin.tolist() == [11, 1]
    ref.y_mid = 0
    assert ref.origin.tolist() == [11, -1] and ref.y_min == -1
    for name in ("x_min", "y_min", "x_max", "y_max", "x_mid", "y_mid"):
        with pytest.raises(TypeError, match=f"^'{name}' must be a number.$"):
            setattr(ref, name, "1")
    assert ref.origin.tolist() == [11, -1]
    empty = tw.Reference(tw.Component("E"))
    assert empty.bounds()[0].tolist() == [0, 0] and empty.convex_hull().shape[0] == 0


# ---- Connecting ----------------------------------------------------------------------------


def connect_and_check(ref, target, index=0):
    ref.connect("P0", target, index)
    port = ref.get_ports("P0")[index]
    np.testing.assert_allclose(port.center, target.center, atol=1e-9)
    assert port.is_connected_to(target)
    return ref


@pytest.mark.parametrize("direction, turn", [(0, 180), (180, 0), (90, 270), (-90, 90), (45, 225)])
def test_connect_faces_the_target(direction, turn):
    target = tw.Port((10, 20), direction, spec())
    ref = connect_and_check(tw.Reference(cell()), target)
    assert ref.rotation % 360 == pytest.approx(turn)


def test_connect_an_instance_of_a_placed_array():
    target = tw.Port((-4, 7), 270, spec())
    ref = tw.Reference(cell(), (3, 3), 30, 1, True, columns=3, rows=2, spacing=(6, 2))
    connect_and_check(ref, target, 4)
    assert ref.spacing.tolist() == [6, 2]


@pytest.mark.parametrize("inverted_p, inverted_q, reflects", [
    (False, False, True), (True, True, True), (False, True, False), (True, False, False)])
def test_asymmetric_specifications_decide_the_reflection(inverted_p, inverted_q, reflects):
    device = tw.Component("D")
    device.add(L1, tw.Rectangle((0, 0), (2, 1)))
    device.add_port(tw.Port((0, 0.5), 0, spec(ASYMMETRIC), inverted=inverted_p), "P0")
    target = tw.Port((5, 5), 0, spec(ASYMMETRIC), inverted=inverted_q)
    ref = tw.Reference(device)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        connect_and_check(ref, target)
    assert ref.x_reflection == reflects


def test_connect_to_the_inverted_specification():
    device = tw.Component("D")
    device.add_port(tw.Port((0, 0), 0, spec(ASYMMETRIC)), "P0")
    mirrored = spec({"p": (0.5, -0.2, L1)})
    ref = tw.Reference(device).connect("P0", tw.Port((0, 0), 0, mirrored))
    assert not ref.x_reflection
    ref = tw.Reference(device).connect("P0", tw.Port((0, 0), 0, mirrored, inverted=True))
    assert ref.x_reflection


def test_connect_warns_once_and_still_moves():
    device = tw.Component("D")
    device.add_port(tw.Port((0, 0), 0, spec({"p": (0.5, 0, L1)})), "P0")
    electrical = spec({"w": (0.8, 0, L2)}, impedance=tw.Interpolator([1], [50]))
    with pytest.warns(RuntimeWarning) as record:
        ref = tw.Reference(device).connect("P0", tw.Port((3, 0), 90, electrical))
    assert [str(w.message) for w in record] == [
        "Incompatible connection between an electrical with an optical port.",
        "Connecting ports with incompatible specifications."]
    assert ref.origin.tolist() == [3, 0] and ref.rotation == 270
    with pytest.warns(RuntimeWarning, match="^Connecting ports with incompatible specifications.$"):
        tw.Reference(device).connect("P0", tw.Port((0, 0), 0, spec(ASYMMETRIC, width=3)))


def test_connect_errors_leave_the_reference_unchanged():
    ref = tw.Reference(cell(), (1, 1), columns=2)
    target = tw.Port((0, 0), 0, spec())
    with pytest.raises(RuntimeError, match=r"^Index larger than the number of repetitions in this reference.$"):
        ref.connect("P0", target, 2)
    with pytest.raises(RuntimeError, match=r"^Index larger than the number of repetitions"):
        ref.connect("P0", target, -1)
    with pytest.raises(RuntimeError, match=r"^Port not found in this reference's component \(3D ports not included\).$"):
        ref.connect("missing", target)
    with pytest.raises(TypeError, match="^'to_port' must be an instance of Port$"):
        ref.connect("P0", tw.GaussianPort((0, 0, 0), (0, 0, 1), 2))
    assert ref.origin.tolist() == [1, 1] and ref.rotation == 0


# ---- The component of one instance ---------------------------------------------------------


def polygons_by_layer(structures):
    return {layer: sorted(tuple(np.round(s.to_polygon().vertices, 5).ravel()) for s in items)
            for layer, items in structures.items()}


@pytest.mark.parametrize("rotation, x_reflection", [(0, False), (90, True), (33, False)])
def test_transformed_component_holds_the_placed_instance(rotation, x_reflection):
    inner = cell("INNER")
    outer = cell("OUTER")
    outer.add(tw.Reference(inner, (4, 0), 45, columns=2, rows=2, spacing=(3, 3)))
    ref = tw.Reference(outer, (1, 2), rotation, 2, x_reflection, columns=2, spacing=(50, 0))
    placed = ref.transformed_component("PLACED", 1)
    assert placed.name == "PLACED" and placed.technology is outer.technology
    instance = ref.get_repetition(1)
    assert polygons_by_layer(placed.get_structures()) == polygons_by_layer(instance.get_structures())
    assert placed.ports["P0"] == instance["P0"]
    assert placed.terminals["T"].structure.bounds()[0].tolist() == instance["T"].bounds()[0].tolist()
    assert outer.references[0].rotation == 45  # the source is untouched
    with pytest.raises(ValueError, match="^'repetition_index' cannot be negative.$"):
        ref.transformed_component("X", -1)
    with pytest.raises(RuntimeError, match="Index larger than the maximum repetition index"):
        ref.transformed_component("X", 2)


# ---- Attributes, equality, text and copies -------------------------------------------------


def test_attributes_read_and_write():
    c, other = cell(), cell("OTHER")
    ref = tw.Reference(c, (1, 2), 30, 2, True, 3, 4, (5, 6))
    assert ref.component is c and ref.component_name == "CELL"
    assert (ref.rotation, ref.scaling, ref.x_reflection, ref.columns, ref.rows) == (30, 2, True, 3, 4)
    assert ref.origin.tolist() == [1, 2] and ref.spacing.tolist() == [5, 6]
    ref.component = other
    ref.origin, ref.rotation, ref.scaling, ref.x_reflection = (0, 1), 90, 1, False
    ref.columns, ref.rows, ref.spacing = 2, 0, (1, 1)
    assert ref.component_name == "OTHER" and ref.columns * ref.rows == 0
    for name in ("columns", "rows"):
        with pytest.raises(ValueError, match="^Value outside range.$"):
            setattr(ref, name, -1)
        with pytest.raises(ValueError, match="^Value outside range.$"):
            setattr(ref, name, 2**32)
    with pytest.raises(TypeError, match="^Argument 'component' must be a Component instance.$"):
        ref.component = "CELL"
    assert ref.columns == 2 and ref.component is other


def test_update_dictionaries():
    ref = tw.Reference(cell(), technology_updates={"a": 1}, s_matrix_kwargs={"b": 2})
    assert ref.technology_updates == {"a": 1} and ref.s_matrix_kwargs == {"b": 2}
    assert ref.component_updates == {} and ref.time_stepper_kwargs == {}
    ref.model_updates["m"] = 3  # changes made through the returned dict are kept
    assert ref.model_updates == {"m": 3}
    copy = ref.copy()
    copy.component_updates = {"w": 1}
    assert ref.component_updates == {} and copy.technology_updates == {"a": 1}
    assert copy != ref
    for name in ("technology_updates", "component_updates", "model_updates", "s_matrix_kwargs",
                 "time_stepper_kwargs"):
        message = f"^Value assigned to '{name}' must be a dictionary.$"
        with pytest.raises(TypeError, match=message):
            tw.Reference(cell(), **{name: [1]})
        with pytest.raises(TypeError, match=message):
            setattr(ref, name, None)


def test_constructor_messages():
    with pytest.raises(TypeError, match="^Argument 'component' must be a Component instance.$"):
        tw.Reference(tw.Rectangle((0, 0), (1, 1)))
    for columns, rows in [(-1, 1), (1, -2)]:
        with pytest.raises(ValueError, match="^Number of columns and rows may not be negative.$"):
            tw.Reference(cell(), columns=columns, rows=rows)
    with pytest.raises(TypeError, match="^'origin' must be a sequence of 2 numbers.$"):
        tw.Reference(cell(), (1, 2, 3))


def test_equality_and_text():
    c = cell()
    assert tw.Reference(c, (1, 2), 90) == tw.Reference(c, (1, 2), 450)
    assert tw.Reference(c) == tw.Reference(cell())
    assert tw.Reference(c) != tw.Reference(c, (0, 1))
    assert tw.Reference(c) != tw.Reference(c, columns=2)
    assert tw.Reference(c) != tw.Reference(c, technology_updates={"x": 1})
    with pytest.raises(TypeError):
        tw.Reference(c) < tw.Reference(c)
    ref = tw.Reference(c, (1, 2.5), 30, 2, True, 2, 3, (4, 5))
    assert repr(ref) == ('Reference(component="CELL", origin=(1, 2.5), rotation=30, scaling=2, '
                         'x_reflection=True, repetition=Repetition(columns=2, rows=3, '
                         'spacing=(4, 5)))')
    assert str(tw.Reference(c, (1, 2))) == 'Reference to "CELL" at (1, 2)'
    assert str(ref).startswith('Reference to "CELL" at (1, 2.5) in a ')
    assert str(ref).endswith(" repetition")


def test_copies():
    c = cell()
    ref = tw.Reference(c, (1, 2), columns=2)
    ref.properties.note = 3
    shallow = ref.copy()
    assert shallow == ref and shallow is not ref and shallow.component is c
    assert shallow._id != ref._id and shallow.properties.note == 3
    deep = ref.copy(deep=True)
    assert deep.component is not c and deep == ref
    assert deep.component.technology is c.technology
    assert ref.copy(True, copy_technology=True).component.technology is not c.technology
    import copy
    assert copy.copy(ref).component is c and copy.deepcopy(ref).component is not c
    with pytest.raises(TypeError, match="^Deepcopy memo must be a dictionary.$"):
        ref.__deepcopy__(1)


# ---- Parametric updates ----------------------------------------------------------------------


@pytest.fixture
def parametric_cell():
    registry = tw.extension._component_registry

    def make(width=1, technology=None):
        c = tw.Component("PC", technology)
        c.add(L1, tw.Rectangle((0, 0), (width, 1)))
        return c

    def build(**kwargs):
        c = make(**kwargs)
        c.parametric_function = "test_reference.cell"
        c.parametric_kwargs = kwargs
        return c

    registry["test_reference.cell"] = build
    yield build
    del registry["test_reference.cell"]


def test_update_regenerates_the_component_with_merged_arguments(parametric_cell):
    ref = tw.Reference(parametric_cell(width=1), component_updates={"width": 2})
    component = ref.component
    result = ref.update()
    assert result == [(component, {"width": 1})]
    assert ref.component is component and component.parametric_kwargs == {"width": 2}
    assert ref.bounds()[1].tolist() == [2, 1]
    with pytest.warns(RuntimeWarning, match="^Component 'PC' has no active model after update.$"):
        result = ref.update(component_updates={"width": 3}, model_updates={"any": {}})
    assert result == [(component, {"width": 2})] and ref.size().tolist() == [3, 1]
    assert ref.component_updates == {"width": 2}  # arguments are not stored


def test_update_chains_the_technology_to_its_components(parametric_cell):
    technology = tw.basic_technology()
    inner = parametric_cell(width=1, technology=technology)
    outer = parametric_cell(width=2, technology=technology)
    outer.add(tw.Reference(inner))
    ref = tw.Reference(outer, technology_updates={"core_thickness": 0.3})
    previous = technology.parametric_kwargs
    result = ref.update()
    assert [obj for obj, _ in result] == [technology, inner, outer]
    assert result[0][1] == previous
    assert technology.parametric_kwargs["core_thickness"] == 0.3
    assert [obj for obj, _ in ref.update(chain_technology_updates=False)] == [technology, outer]


def test_update_messages():
    ref = tw.Reference(cell())
    assert ref.update() == []  # nothing parametric, nothing asked
    for name in ("technology_updates", "component_updates", "model_updates"):
        with pytest.raises(TypeError, match=f"^Argument '{name}' must be a dictionary.$"):
            ref.update(**{name: 1})
    with pytest.raises(ValueError, match="^Argument 'classification' must be one of 'electrical' or 'optical'.$"):
        ref.update(classification="x")
    with pytest.raises(RuntimeError, match="^Missing parametric data in component.$"):
        ref.update(component_updates={"width": 1})
