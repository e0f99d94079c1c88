"""Arguments whose conversion runs interpreter code that re-initialises the object being changed.

Every attribute and method of every exposed type is called with such hostile arguments. Errors
are fine; what must never happen is a write through the released core object (the sanitizer
run of the suite reports it) or a change applied to the object the wrapper no longer holds.
"""

import copy
import itertools
import os
import tempfile

import numpy as np
import pytest

import fenn3d
import tarnwhistle as tw


class Hostile:
    """A number whose every conversion re-initialises the target first."""

    def __init__(self, reinit, value=1.0):
        self.reinit = reinit
        self.value = value

    def __float__(self):
        self.reinit()
        return float(self.value)

    def __index__(self):
        self.reinit()
        return int(self.value)

    __int__ = __index__

    def __complex__(self):
        self.reinit()
        return complex(self.value)

    def __bool__(self):
        self.reinit()
        return True


class HostileSequence:
    """A sequence whose length, items and iteration re-initialise the target first."""

    def __init__(self, reinit, items):
        self.reinit = reinit
        self.items = list(items)

    def __len__(self):
        self.reinit()
        return len(self.items)

    def __getitem__(self, index):
        self.reinit()
        return self.items[index]

    def __iter__(self):
        self.reinit()
        return iter(self.items)


def hostile_values(reinit):
    """Values that reach every converter: numbers, points, point lists, profiles, flags."""
    h = lambda v=1.0: Hostile(reinit, v)  # noqa: E731
    seq = lambda items: HostileSequence(reinit, items)  # noqa: E731
    triangle = [(h(0), h(0)), [h(3), h(0)], seq([h(0), h(3)])]
    return [
        h(),
        h(2),
        seq([h(1), h(2)]),
        [h(1), h(2)],
        (h(2), "linear"),
        (h(1), h(2), "smooth"),
        (h(1), "constant"),
        triangle,
        seq(triangle),
        [triangle],
        seq([seq(triangle)]),
    ]


def reinit_path(p):
    p.__init__((0, 0), 1)
    p.segment((5, 0))
    p.turn(90, 2, euler_fraction=0)


def pass_through(inputs, outputs, time_index, update_state, shutdown):
    outputs[:] = inputs


def make_kernel():
    """A kernel with a zero-delay loop of two instances."""
    instances = [(pass_through, None, 2, None), (pass_through, None, 2, None)]
    return tw.extension._CircuitKernel(instances, [(0, 0, 0.5)], [(0, 1, 1, 0), (1, 0, 0, 1)], [(0, 0, 0)],
                                       [(1, 1, 1, True)], 2, 1e-9, 1e-9, 5)


# Constructors of a valid object of each type, and a re-initialisation of the same object.
def technology_arguments(name):
    layers = {"CORE": tw.LayerSpec((1, 0), "core"), "METAL": tw.LayerSpec((2, 0), "metal")}
    extrusion = [tw.ExtrusionSpec((1, 0), fenn3d.Medium(permittivity=4), (0, 1))]
    return name, "1", layers, extrusion, {}, fenn3d.Medium(), [((1, 0), (2, 0))]


def small_technology(name):
    return tw.Technology(*technology_arguments(name))


def make_component():
    """A component with contents of every kind, placing another one."""
    inner = tw.Component("inner", small_technology("a"))
    inner.add((1, 0), tw.Rectangle((0, 0), (1, 1)))
    inner.add_port(tw.Port((0, 0.5), 0, tw.PortSpec("a", 1, (0, 1))))
    outer = tw.Component("outer", small_technology("a"))
    outer.add((2, 0), tw.Circle(1), tw.Label("a"), tw.Reference(inner, (3, 0), columns=2, spacing=(2, 0)))
    outer.add_terminal(tw.Terminal((1, 0), tw.Rectangle((0, 0), (1, 1))))
    outer.add_port(tw.Port((0, 0), 90, tw.PortSpec("b", 1, (0, 1))))
    return outer


class ReentrantModel(tw.Model):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)

    def start(self, component, frequencies, **kwargs):
        return tw.SMatrix(frequencies, {("A@0", "B@0"): [0.5] * len(frequencies)})


class ReentrantStepper(tw.TimeStepper):
    keys = ("A", "B")

    def __init__(self, **kwargs):
        super().__init__(**kwargs)

    def step_single(self, inputs, outputs, time_index, update_state, shutdown):
        outputs[:] = inputs


class ReentrantLumpedModel(tw.LumpedModel):
    def __init__(self, **kwargs):
        super().__init__(port_map={"P": ("a", 50.0)}, **kwargs)

    def start_mna(self, component, frequencies, **kwargs):
        return tw.MNAMatrix(frequencies, {("a", "a"): [0.02] * len(frequencies)})


TETRAHEDRON = ([(0, 0, 0), (1, 0, 0), (0, 1, 0), (0, 0, 1)], [(0, 2, 1), (0, 1, 3), (0, 3, 2), (1, 2, 3)])


def make_extruded():
    return tw.Extruded(fenn3d.Medium(permittivity=2), tw.Rectangle((0, 0), (2, 1)), (0, 1))


def scratch_file():
    return os.path.join(tempfile.mkdtemp(), "stream.twf")


TARGETS = {
    "Extruded": (make_extruded, lambda e: e.__init__(fenn3d.Medium(), tw.Circle(1), (-1, 2), (0.1, 0), "x")),
    "Polyhedron": (lambda: tw.Polyhedron(fenn3d.Medium(), *TETRAHEDRON),
                   lambda p: p.__init__(fenn3d.Medium(permittivity=3), [(0, 0, 0), (2, 0, 0), (0, 2, 0), (0, 0, 2)],
                                        TETRAHEDRON[1])),
    "ConstructiveSolid": (lambda: tw.ConstructiveSolid([make_extruded()], [], "+"),
                          lambda c: c.__init__([], make_extruded(), "-")),
    "Rectangle": (lambda: tw.Rectangle((0, 0), (2, 1)), lambda r: r.__init__((1, 1), (4, 3))),
    "RandomVariable": (lambda: tw.RandomVariable("w", value=1, stdev=0.1),
                       lambda v: v.__init__("u", values=[1, 2, 3])),
    "Circle": (lambda: tw.Circle(2), lambda c: c.__init__((3, 2), inner_radius=1)),
    "Polygon": (lambda: tw.Polygon([(0, 0), (2, 0), (0, 2)]),
                lambda p: p.__init__([(0, 0), (4, 0), (4, 4), (0, 4)])),
    "Path": (lambda: tw.Path((0, 0), 1).segment((3, 0)), reinit_path),
    "Label": (lambda: tw.Label("a", (1, 2)), lambda lbl: lbl.__init__("b", (3, 4))),
    "Properties": (lambda: tw.Properties(a=1), lambda q: q.__init__(b=2)),
    "Expression": (lambda: tw.Expression("x", [("y", "2 * x")]),
                   lambda e: e.__init__("u", [("v", "u + 1"), ("w", "u^2")])),
    "Interpolator": (lambda: tw.Interpolator([0, 1, 2], [0, 1, 4]),
                     lambda i: i.__init__([0, 1], [1, 2])),
    "PortSpec": (lambda: tw.PortSpec("a", 1, (0, 1), path_profiles={"c": (0.5, 0, (1, 0))},
                                     impedance=tw.Interpolator([1], [50])),
                 lambda s: s.__init__("b", 2, (-1, 1), path_profiles=[(1, 0.2, (2, 0))])),
    "Port": (lambda: tw.Port((0, 0), 0, tw.PortSpec("a", 1, (0, 1), path_profiles=[(0.5, 0, (1, 0))])),
             lambda p: p.__init__((1, 1), 90, tw.PortSpec("b", 2, (0, 1)), inverted=True)),
    "GaussianPort": (lambda: tw.GaussianPort((0, 0, 0), (0, 0, 1), 2),
                     lambda g: g.__init__((1, 1, 1), (1, 0, 0), 3, 1, 45)),
    "FiberPort": (lambda: tw.FiberPort((0, 0, 0), (0, 0, 1), (2, 2), (-1, 1)),
                  lambda f: f.__init__((1, 1, 1), (1, 0, 0), (4, 4), (-2, 2), num_modes=2)),
    "Model": (lambda: ReentrantModel(a=1), lambda m: m.__init__(b=2)),
    "LumpedModel": (lambda: ReentrantLumpedModel(a=1), lambda m: m.__init__(b=2)),
    "SMatrix": (lambda: tw.SMatrix([1e9, 2e9], {("A@0", "B@0"): [1, 1j]}),
                lambda s: s.__init__([3e9], {("C@0", "C@0"): [0.5]})),
    "TimeStepper": (lambda: ReentrantStepper(a=1), lambda s: s.__init__(b=2)),
    "TimeSeries": (lambda: tw.TimeSeries({"A": [1, 2j]}, 0.5, 3),
                   lambda t: t.__init__({"B": [1], "C": [2, 3]}, 1.0)),
    "PoleResidueMatrix": (lambda: tw.PoleResidueMatrix([-1e9 - 6e9j], {("A@0", "B@0"): [1e9, 0.1]}),
                          lambda m: m.__init__([-2e9, -3e9], {("C@0", "C@0"): [1e9, 1e9, 0.5]}, delays=1e-12)),
    "TimeDomainModel": (lambda: tw.TimeDomainModel(tw.PoleResidueMatrix([-1e9 - 6e9j], {("A@0", "B@0"): [1e9, 0.1]}),
                                                   1e-11),
                        lambda t: t.__init__(tw.PoleResidueMatrix([-2e9], {("C@0", "C@0"): [1e9, 0.5]}, delays=1e-12),
                                             2e-12)),
    "ZMatrix": (lambda: tw.ZMatrix([1e9, 2e9], {("a", "a"): [50, 60], ("a", "b"): [1, 1j]}),
                lambda z: z.__init__([3e9], {("c", "c"): [10]})),
    "YMatrix": (lambda: tw.YMatrix([1e9, 2e9], {("a", "a"): [0.02, 0.1], ("b", "b"): [1, 1j]}),
                lambda y: y.__init__([3e9], {("c", "c"): [0.1]})),
    "MNAMatrix": (lambda: tw.MNAMatrix([1e9], {("a", "a"): [0.02], ("a", "_I"): [1], ("_I", "a"): [1]}),
                  lambda m: m.__init__([3e9, 4e9], {("c", "c"): [0.1, 0.2]})),
    "_CircuitKernel": (make_kernel, lambda k: k.__init__([(pass_through, None, 1, None)], (), (), (), (), 1,
                                                         0.0, 0.0, 1)),
    "Terminal": (lambda: tw.Terminal((1, 0), tw.Rectangle((0, 0), (2, 1))),
                 lambda t: t.__init__((2, 0), tw.Circle(1))),
    "MaskSpec": (lambda: tw.MaskSpec((1, 0), (2, 0), "-", 0.5),
                 lambda m: m.__init__([(3, 0), (4, 0)], operation="^", translation=(1, 1))),
    "LayerSpec": (lambda: tw.LayerSpec((1, 0), "a"), lambda s: s.__init__((2, 3), "b", "red", "x")),
    "ExtrusionSpec": (lambda: tw.ExtrusionSpec((1, 0), fenn3d.Medium(permittivity=2), (0, 1)),
                      lambda s: s.__init__((2, 0), fenn3d.Medium(), (-1, 2), 5, "bottom")),
    "Technology": (lambda: small_technology("a"), lambda t: t.__init__(*technology_arguments("b"))),
    "Component": (make_component, lambda c: c.__init__("other", small_technology("b"))),
    "TwfStream": (lambda: tw.TwfStream(scratch_file(), "w"), lambda s: s.__init__(scratch_file(), "w")),
    "Reference": (lambda: tw.Reference(make_component(), (1, 1), 30, columns=2, spacing=(3, 0)),
                  lambda r: r.__init__(make_component(), (2, 0), 90, rows=3, spacing=(0, 2),
                                       technology_updates={"x": 1})),
}


def members(cls):
    """Names of the writable attributes and of the public methods of an exposed type."""
    attributes, methods = [], []
    for name in dir(cls):
        member = getattr(cls, name)
        if type(member).__name__ == "getset_descriptor" and name not in ("__dict__", "__weakref__"):
            attributes.append(name)
        elif callable(member) and (not name.startswith("__") or name == "__call__"):
            if name not in ("copy", "__copy__", "mro"):
                methods.append(name)
    return attributes, methods


def still_sound(obj):
    """The object answers as usual after the call, whatever it holds now."""
    str(obj)
    repr(obj)
    if hasattr(obj, "copy"):
        obj.copy()
    elif not isinstance(obj, (tw.extension._CircuitKernel, tw.TwfStream)):  # one run, one file: no copies
        copy.copy(obj)
    if isinstance(obj, (tw.Rectangle, tw.Circle, tw.Polygon, tw.Path)):
        try:
            obj.bounds()
            obj.area()
        except RuntimeError:
            pass  # an invalid polygon installed by a failed constructor measures nothing


def failing(reinit):
    """A re-initialisation that then raises: the binding must stop at the pending error."""

    def call(obj):
        reinit(obj)
        raise ArithmeticError("raised by a conversion")

    return call


@pytest.mark.parametrize("raises", [False, True], ids=["returns", "raises"])
@pytest.mark.parametrize("name", sorted(TARGETS))
def test_every_member_survives_reentrant_arguments(name, raises):
    make, reinit = TARGETS[name]
    if raises:
        reinit = failing(reinit)
    attributes, methods = members(type(make()))
    for attribute in attributes:
        obj = make()
        for value in hostile_values(lambda: reinit(obj)):
            try:
                setattr(obj, attribute, value)
            except (TypeError, ValueError, RuntimeError, AttributeError, KeyError, ArithmeticError):
                pass
            still_sound(obj)
    for method in methods:
        obj = make()
        values = hostile_values(lambda: reinit(obj))
        calls = [(v,) for v in values] + list(itertools.product(values[:4], repeat=2))
        calls += [(v, v, v) for v in values]
        for args in calls:
            try:
                getattr(obj, method)(*args)
            except (TypeError, ValueError, RuntimeError, KeyError, IndexError, AttributeError,
                    ArithmeticError):
                pass
            still_sound(obj)


@pytest.mark.parametrize("raises", [False, True], ids=["returns", "raises"])
def test_constructors_survive_reentrant_arguments(raises):
    for name, (make, reinit) in TARGETS.items():
        if raises:
            reinit = failing(reinit)
        obj = make()
        for value in hostile_values(lambda: reinit(obj)):
            for args in [(value,), (value, value), (value, value, value)]:
                try:
                    obj.__init__(*args)
                except (TypeError, ValueError, RuntimeError, KeyError, ArithmeticError):
                    pass
                still_sound(obj)


def test_set_operations_survive_reentrant_operands():
    target = tw.Polygon([(0, 0), (2, 0), (0, 2)])
    reinit = lambda: target.__init__([(0, 0), (5, 0), (5, 5)])  # noqa: E731
    operand = HostileSequence(reinit, [target, tw.Rectangle((1, 1), (3, 3))])
    for call in [
        lambda: tw.boolean(operand, target, "^"),
        lambda: tw.intersects(operand, target),
        lambda: tw.offset(operand, Hostile(reinit)),
        lambda: tw.heal(operand, Hostile(reinit)),
        lambda: tw.envelope(operand, Hostile(reinit)),
    ]:
        try:
            call()
        except (TypeError, ValueError, RuntimeError):
            pass
        still_sound(target)


class TestConvertedBeforeChanged:
    """A conversion that re-initialises the object happens before the change, which lands on
    the object the wrapper holds afterwards."""

    def test_polygon_vertices(self):
        p = tw.Polygon([(0, 0), (1, 0), (0, 1)])
        reinit = lambda: p.__init__([(0, 0), (2, 0), (0, 2)])  # noqa: E731
        p.vertices = [(0, 0), (Hostile(reinit, 3), 0), (0, 3)]
        np.testing.assert_array_equal(p.vertices, [(0, 0), (3, 0), (0, 3)])
        assert p.area() == pytest.approx(4.5)

    def test_netlist_of_the_component_held_after_conversion(self):
        c = make_component()
        reinit = lambda: c.__init__("other", small_technology("b"))  # noqa: E731
        netlist = c.get_netlist(suppress_warnings=Hostile(reinit))
        assert netlist["instances"] == [] and netlist["ports"] == {}
        c = make_component()
        reinit = lambda: c.__init__("other", small_technology("b"))  # noqa: E731
        assert c.extract_connectivity(nets=Hostile(reinit))["instances"] == []

    def test_polygon_holes(self):
        p = tw.Polygon([(0, 0), (10, 0), (10, 10), (0, 10)])
        reinit = lambda: p.__init__([(0, 0), (8, 0), (8, 8), (0, 8)])  # noqa: E731
        p.holes = [[(1, 1), (Hostile(reinit, 2), 1), (1, 2)]]
        assert p.vertices.tolist() == [[0, 0], [8, 0], [8, 8], [0, 8]]
        assert p.area() == pytest.approx(64 - 0.5)

    def test_rectangle_center_and_rotation(self):
        r = tw.Rectangle((0, 0), (2, 2))
        reinit = lambda: r.__init__(center=(5, 5), size=(4, 4))  # noqa: E731
        r.center = (Hostile(reinit, 1), 1)
        assert r.center.tolist() == [1, 1] and r.size.tolist() == [4, 4]
        r.rotation = Hostile(lambda: r.__init__(size=(6, 2)), 30)
        assert r.rotation == 30 and r.size.tolist() == [6, 2]

    def test_circle_radius_and_sector(self):
        c = tw.Circle(1)
        c.radius = Hostile(lambda: c.__init__(5, center=(1, 1)), 2)
        assert c.radius.tolist() == [2, 2] and c.center.tolist() == [1, 1]
        c.sector = (0, Hostile(lambda: c.__init__(3), 90))
        assert c.sector.tolist() == [0, 90] and c.radius.tolist() == [3, 3]

    def test_path_builder_profiles(self):
        p = tw.Path((0, 0), 1)
        p.segment((10, 0), width=Hostile(lambda: p.__init__((1, 1), 2), 3))
        assert p.size == 1
        assert p.spine().tolist() == [[1, 1], [10, 0]]
        assert p.at(1, "width") == pytest.approx(3)

    def test_mask_dilation_and_operands(self):
        m = tw.MaskSpec((1, 0), (2, 0))
        m.dilation = Hostile(lambda: m.__init__((9, 0)), 2)
        assert m == tw.MaskSpec((9, 0), dilation=2)
        m.operand1 = [HostileSequence(lambda: m.__init__((8, 0), (7, 0), "*"), [3, 0])]
        assert m == tw.MaskSpec((3, 0), (7, 0), "*")

    def test_properties_items(self):
        q = tw.Properties(a=1)
        q["b"] = HostileSequence(lambda: q.__init__(c=3), [1, 2])
        assert sorted(q.keys()) == ["b", "c"] and q["b"] == (1, 2)

    def test_property_list_changed_during_conversion(self):
        q = tw.Properties()
        values = [1, 2, 3]

        class Shrinking:
            def __iter__(self):
                values.clear()
                return iter([4])

            def __len__(self):
                return 1

            def __getitem__(self, index):
                return 4

        values.append(Shrinking())
        # The list is read once: clearing it while an item converts does not reach the reader.
        q["x"] = values
        assert q["x"] == (1, 2, 3, (4,))


@pytest.mark.parametrize("function", [tw.snap_to_grid, tw.grid_floor, tw.grid_ceil])
def test_grid_functions_read_sequences_once(function):
    """Items that empty their own list while converting: the list is read once, as a tuple."""

    class Emptying:
        def __init__(self, items):
            self.items = items
            items.append(self)

        def __float__(self):
            self.items.clear()
            return 3.0

        def __len__(self):
            self.items.clear()
            return 2

        def __getitem__(self, index):
            self.items.clear()
            if index > 1:
                raise IndexError
            return 4.0

    values = [1.0, 2.0]
    Emptying(values)
    np.testing.assert_array_equal(function(values, 1), [1, 2, 3])
    points = [(1.0, 2.0)]
    Emptying(points)
    np.testing.assert_array_equal(function(points, 1), [(1, 2), (4, 4)])
