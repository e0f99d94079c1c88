import warnings

import pytest

import tarnwhistle as tw

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    TECH = tw.basic_technology()
STRIP = TECH.ports["Strip"]
CORE, CLAD = (2, 0), (1, 0)


def strip_section(x0, x1, name="WG"):
    c = tw.Component(name, technology=TECH)
    c.add(CORE, tw.Rectangle((x0, -0.25), (x1, 0.25)), CLAD, tw.Rectangle((x0, -1.25), (x1, 1.25)))
    return c


def device(name="DEV"):
    c = strip_section(0, 10, name)
    c.add_port(tw.Port((0, 0), 0, STRIP), "P0")
    c.add_port(tw.Port((10, 0), 180, STRIP), "P1")
    c.add_terminal(tw.Terminal(CLAD, tw.Rectangle((4, 4), (6, 6))), "T")
    return c


def assert_close(point, expected):
    assert tuple(point) == pytest.approx(expected, abs=1e-9)


# ---- Virtual connections ---------------------------------------------------------------


@pytest.fixture
def circuit():
    top = tw.Component("TOP", technology=TECH)
    dev = device()
    array = tw.Reference(dev, columns=2, rows=1, spacing=(20, 0))
    single = tw.Reference(dev, (0, 50))
    top.add_reference(array)
    top.add_reference(single)
    return top, array, single


def test_virtual_connections_round_trip(circuit):
    top, array, single = circuit
    assert top.add_virtual_connection(array, "P1", array, "P0", 0, 1) is top
    top.add_virtual_connection(single, "P0", None, "IN")
    assert top.virtual_connections == [
        ((array, "P1", 0), (array, "P0", 1)),
        ((single, "P0", 0), (None, "IN", 0)),
    ]
    # Instances: the array's two repetitions, then the single reference.
    assert top.virtual_connections_by_instance == [((0, "P1"), (1, "P0")), ((2, "P0"), (None, "IN"))]

    top.add_virtual_connection_by_instance(2, "P1", 0, "P0")
    assert top.virtual_connections[-1] == ((single, "P1", 0), (array, "P0", 0))

    assert top.remove_virtual_connection(array, "P0", 1) is True
    assert top.remove_virtual_connection(array, "P0", 1) is False
    assert top.remove_virtual_connection_by_instance(0, "P0") is True
    assert top.remove_virtual_connection_by_instance(7, "P0") is False
    assert top.virtual_connections == [((single, "P0", 0), (None, "IN", 0))]
    assert top.remove_virtual_connection(None, "IN") is True
    assert top.virtual_connections == []


def test_virtual_connection_argument_errors(circuit):
    top, array, _ = circuit
    cases = [
        (TypeError, "Argument 'reference0' is not a 'Reference' instance.",
         lambda: top.add_virtual_connection(top, "P0", array, "P1")),
        (TypeError, "Argument 'reference1' is not a 'Reference' instance.",
         lambda: top.add_virtual_connection(array, "P0", "x", "P1")),
        (ValueError, "Argument 'repetition_index0' may not be negative.",
         lambda: top.add_virtual_connection(array, "P0", array, "P1", -1)),
        (ValueError, "Argument 'repetition_index1' may not be negative.",
         lambda: top.add_virtual_connection(array, "P0", array, "P1", 0, -2)),
        (ValueError, "Argument 'instance_index0' may not be negative.",
         lambda: top.add_virtual_connection_by_instance(-1, "P0", 0, "P1")),
        (ValueError, "Argument 'instance_index1' may not be negative.",
         lambda: top.add_virtual_connection_by_instance(0, "P0", -1, "P1")),
        (ValueError, "Argument 'instance_index' may not be negative.",
         lambda: top.remove_virtual_connection_by_instance(-1, "P0")),
        (RuntimeError, "Virtual connection between instances 1 and 3 is invalid for component "
         "with 3 valid instances.", lambda: top.add_virtual_connection_by_instance(1, "P0", 3, "P1")),
        (TypeError, "Argument 'reference' must be a 'Reference' instance or None.",
         lambda: top.remove_virtual_connection(3, "P0")),
    ]
    for error, message, call in cases:
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message
    assert top.virtual_connections == []


def test_invalid_virtual_connections(circuit):
    top, array, single = circuit
    multimode = tw.Component("MM", technology=TECH)
    spec = STRIP.copy()
    spec.num_modes = 2
    multimode.add_port(tw.Port((0, 0), 0, spec), "M")
    mm_ref = top.add_reference(multimode)
    stray = tw.Reference(device("STRAY"))

    top.add_virtual_connection(array, "P1", array, "P0", 0, 1)  # valid
    top.add_virtual_connection(array, "Q", single, "P0")  # port missing
    top.add_virtual_connection(stray, "P0", single, "P1")  # not in the component
    top.add_virtual_connection(array, "P0", array, "P1", 2, 0)  # repetition past the array
    top.add_virtual_connection(single, "P1", mm_ref, "M")  # 1 mode against 2
    with pytest.warns(RuntimeWarning) as record:
        invalid = top.invalid_virtual_connections()
    assert invalid == top.virtual_connections[1:]
    assert [str(w.message) for w in record] == [
        "Virtual connection to reference 0 'DEV' at port 'Q' ignored (port not found).",
        "Virtual connection to reference -1 'STRAY' at port 'P0' ignored (invalid reference).",
        "Virtual connection to reference 0 'DEV' at port 'P0' ignored (invalid reference).",
        "Virtual connection between reference 1 'DEV' at port 'P1' and reference 2 'MM' at port "
        "'M' ignored (ports with different numbers of modes).",
    ]


def test_removing_a_reference_drops_its_connections(circuit):
    top, array, single = circuit
    top.add_virtual_connection(array, "P1", single, "P0")
    top.add_virtual_net([(array, "T"), (single, "T")])
    top.remove(array)
    assert top.virtual_connections == []
    assert all(member[0] is not array for net in top.virtual_nets for member in net)


# ---- Virtual nets ----------------------------------------------------------------------


def test_virtual_nets_round_trip(circuit):
    top, array, single = circuit
    assert top.add_virtual_net([(array, "T", 1), (single, ("P0", "t0")), "VDD"]) is top
    top.add_virtual_net([(None, "GND"), (array, "T"), (None, ("P9", "x"))])
    assert top.virtual_nets == [
        [(array, "T", 1), (single, ("P0", "t0"), 0), "VDD"],
        ["GND", (array, "T", 0), (None, ("P9", "x"))],
    ]
    # What the attribute gives back is accepted again.
    copy = tw.Component("COPY", technology=TECH)
    copy.add_reference(array)
    copy.add_reference(single)
    for net in top.virtual_nets:
        copy.add_virtual_net(net)
    assert copy.virtual_nets == top.virtual_nets

    assert top.remove_virtual_net_member("VDD") is True
    assert top.virtual_nets[0] == [(array, "T", 1), (single, ("P0", "t0"), 0)]
    assert top.remove_virtual_net_member("P9", "x") is True  # a boundary port terminal
    assert top.virtual_nets[1] == ["GND", (array, "T", 0)]
    # A net left with one member goes.
    assert top.remove_virtual_net_member(array, "T") is True
    assert len(top.virtual_nets) == 1
    assert top.remove_virtual_net_by_instance(3, "T") is False  # past the instances
    assert top.remove_virtual_net_by_instance(0, "T") is False
    assert top.remove_virtual_net_by_instance(2, ("P0", "t0")) is True
    assert top.virtual_nets == []

    top.add_virtual_net(["A", "B"])
    assert top.remove_virtual_net(single, "T") is False
    assert top.remove_virtual_net("B") is True
    assert top.virtual_nets == []


def test_virtual_net_errors(circuit):
    top, array, single = circuit
    stray = tw.Reference(device())
    cases = [
        (TypeError, "Argument 'terminals' must be a sequence of (reference, terminal) tuples.", 5),
        (TypeError, "Argument 'terminals' must be a sequence of (reference, terminal) tuples.", "AB"),
        (TypeError, "Each net member must be a '(reference, terminal[, repetition_index])' tuple, "
         "or a string naming a component boundary terminal.", [(array,), "A"]),
        (TypeError, "Each net member must be a '(reference, terminal[, repetition_index])' tuple, "
         "or a string naming a component boundary terminal.", [3, "A"]),
        (TypeError, "Each terminal must be a '(Reference | None, terminal[, repetition_index])' "
         "tuple.", [(top, "T"), "A"]),
        (TypeError, "Each terminal must be a '(Reference | None, terminal[, repetition_index])' "
         "tuple.", [(array, 4), "A"]),
        (ValueError, "A net must join at least two terminals.", [(array, "T")]),
        (ValueError, "A net may not contain duplicate terminals.", [(array, "T"), (array, "T", 0)]),
        (ValueError, "Each Reference in a net must already be added to this component.",
         [(stray, "T"), "A"]),
        (ValueError, "A net terminal repetition index is out of range.", [(array, "T", 2), "A"]),
        (ValueError, "A repetition index may not be negative.", [(array, "T", -1), "A"]),
        (ValueError, "A component boundary terminal cannot have a repetition index.",
         [(None, "T", 0), "A"]),
        (ValueError, "A boundary terminal name may not contain the group separator control "
         "character (\x1d).", [(array, "T"), "A\x1dB"]),
    ]
    for error, message, terminals in cases:
        with pytest.raises(error) as info:
            top.add_virtual_net(terminals)
        assert str(info.value) == message
    assert top.virtual_nets == []

    removal_cases = [
        (TypeError, "A single argument must be a string naming a component boundary terminal.",
         lambda: top.remove_virtual_net(array)),
        (TypeError, "Argument 'reference' must be a 'Reference' instance or None.",
         lambda: top.remove_virtual_net("A", "T")),
        (TypeError, "Argument 'reference' must be a 'Reference' instance, a string, or None.",
         lambda: top.remove_virtual_net_member(3, "T")),
        (ValueError, "A component boundary terminal cannot have a repetition index.",
         lambda: top.remove_virtual_net(None, "T", 0)),
        (ValueError, "A component boundary terminal cannot have a repetition index.",
         lambda: top.remove_virtual_net_member("T", repetition_index=1)),
        (ValueError, "Argument 'instance_index' may not be negative.",
         lambda: top.remove_virtual_net_by_instance(-1, "T")),
    ]
    for error, message, call in removal_cases:
        with pytest.raises(error) as info:
            call()
        assert str(info.value) == message


# ---- Query -----------------------------------------------------------------------------


@pytest.fixture
def hierarchy():
    # LEAF ports a0 (0, 0) and a1 (10, 0); MID places LEAF at (10, 0) turned by 90 degrees;
    # TOP places MID mirrored at (0, 5) as two columns 100 apart.
    leaf = tw.Component("LEAF", technology=TECH)
    leaf.add_port(tw.Port((0, 0), 0, STRIP), "a0")
    leaf.add_port(tw.Port((10, 0), 180, STRIP), "a1")
    leaf.add_terminal(tw.Terminal(CLAD, tw.Rectangle((1, 1), (2, 2))), "pad")
    mid = tw.Component("MID", technology=TECH)
    mid.add_reference(tw.Reference(leaf, (10, 0), rotation=90))
    mid.add_port(tw.Port((0, 0), 90, STRIP), "m")
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(tw.Reference(mid, (0, 5), x_reflection=True, columns=2, spacing=(100, 0)))
    return top


def test_query_walks_levels_with_placements(hierarchy):
    ports = hierarchy.query("MID", "LEAF", "a.")
    # LEAF (x, y) -> MID (10 - y, x) -> TOP (10 - y + 100 k, 5 - x); directions 90 + d, mirrored.
    assert [tuple(p.center) for p in ports] == [(10, 5), (10, -5), (110, 5), (110, -5)]
    assert [p.input_direction % 360 for p in ports] == [270, 90, 270, 90]
    assert all(p.inverted for p in ports)
    pad = hierarchy.query("M.D", "LEAF", "pad", 1)
    assert isinstance(pad, tw.Terminal)
    # Pad corners (1, 1)-(2, 2): MID (8..9, 1..2), TOP second column (108..109, 3..4).
    assert_close(pad.bounds()[0], (108, 3))
    assert_close(pad.bounds()[1], (109, 4))


def test_query_selection(hierarchy):
    assert len(hierarchy.query("MID", "m")) == 2
    second = hierarchy.query("MID", 1, "m")
    assert isinstance(second, tw.Port) and tuple(second.center) == (100, 5)
    assert second.input_direction % 360 == 270
    assert hierarchy.query("MID", 2, "m") == []
    assert hierarchy.query("MID", "m", 0).center.tolist() == [0, 5]
    # None: the next pattern at any depth.
    assert len(hierarchy.query(None, "LEAF", "a1")) == 2
    assert len(hierarchy.query(None, "a.|m")) == 6
    assert hierarchy.query("LEAF", "a0") == []  # LEAF is not a child of TOP
    assert hierarchy.query("MI", "m") == []  # patterns match whole names
    assert hierarchy.query() == []


def test_query_errors(hierarchy):
    with pytest.raises(TypeError) as info:
        hierarchy.query(1)
    assert str(info.value) == "Argument 0 cannot be processed: expected a string, or 'None'."
    with pytest.raises(TypeError) as info:
        hierarchy.query("MID", 2.5)
    assert str(info.value) == (
        "Argument 1 cannot be processed: expected a string, an integer, or 'None'.")
    with pytest.raises(TypeError):
        hierarchy.query(None, 1)
    for pattern in ["(", "[a-", "a{2,1}", r"(a)\1", "x" * 5000]:
        with pytest.raises(ValueError) as info:
            hierarchy.query(pattern)
        assert str(info.value) == f"'{pattern}' is not a valid regular expression."


def test_query_pathological_pattern_finishes():
    c = tw.Component("a" * 2000, technology=TECH)
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(c)
    c.add_port(tw.Port((0, 0), 0, STRIP), "p")
    assert top.query("(a*)*b", "p") == []
    assert top.query("(a|aa)*", "p").center.tolist() == [0, 0]


# ---- Port detection --------------------------------------------------------------------


def port_summary(ports):
    return sorted((tuple(p.center), p.input_direction % 360, p.inverted) for p in ports)


def test_detect_ports_on_a_straight_strip():
    c = strip_section(0, 10)
    ports = c.detect_ports()
    assert port_summary(ports) == [((0, 0), 0, False), ((10, 0), 180, False)]
    assert all(p.spec is STRIP for p in ports)
    assert c.ports == {}  # returned, not added
    assert port_summary(c.detect_ports(["Strip"])) == port_summary(ports)
    assert port_summary(c.detect_ports([STRIP])) == port_summary(ports)
    # Detected ports face each other through the section.
    assert ports[0].can_connect_to(ports[1])


def test_detect_ports_across_a_turned_section():
    c = strip_section(0, 10)
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(tw.Reference(c, (3, 4), rotation=90))
    assert port_summary(top.detect_ports(["Strip"])) == [((3, 4), 90, False), ((3, 14), 270, False)]


def test_detect_ports_needs_the_whole_profile():
    core_only = tw.Component("CORE", technology=TECH)
    core_only.add(CORE, tw.Rectangle((0, -0.25), (10, 0.25)))
    assert core_only.detect_ports(["Strip"]) == []
    wide = tw.Component("WIDE", technology=TECH)
    wide.add(CORE, tw.Rectangle((0, -0.4), (10, 0.4)), CLAD, tw.Rectangle((0, -1.25), (10, 1.25)))
    assert wide.detect_ports(["Strip"]) == []
    # Small turns do not make port edges.
    assert strip_section(0, 10).detect_ports(["Strip"], minimal_turn_angle=95) == []


def test_detect_ports_inverts_asymmetric_specs():
    spec = tw.PortSpec("offset core", 2.5, (-1, 1), path_profiles=[(0.5, 0.2, CORE), (2.5, 0, CLAD)])
    c = tw.Component("ASYM", technology=TECH)
    c.add(CORE, tw.Rectangle((0, -0.05), (10, 0.45)), CLAD, tw.Rectangle((0, -1.25), (10, 1.25)))
    ports = c.detect_ports([spec])
    # Offsets grow to the left of the input direction: +y at the left end, -y at the right end.
    assert port_summary(ports) == [((0, 0), 0, False), ((10, 0), 180, True)]
    assert all(p.spec is spec for p in ports)
    assert ports[0].is_connected_to(tw.Port((0, 0), 180, spec, inverted=True))


def test_detect_ports_skips_internal_connections():
    c = strip_section(0, 10)
    c.add(CORE, tw.Rectangle((10, -0.25), (20, 0.25)), CLAD, tw.Rectangle((10, -1.25), (20, 1.25)))
    assert port_summary(c.detect_ports(["Strip"])) == [((0, 0), 0, False), ((20, 0), 180, False)]
    all_ports = c.detect_ports(["Strip"], skip_internal_connections=False)
    assert port_summary(all_ports) == [
        ((0, 0), 0, False), ((10, 0), 0, False), ((10, 0), 180, False), ((20, 0), 180, False)]


def test_detect_ports_filters_by_place():
    c = strip_section(0, 10)
    c.add(CLAD, tw.Rectangle((4, -3), (5, 3)))  # stretches the bounds along y only
    assert port_summary(c.detect_ports(on_boundary="+x")) == [((10, 0), 180, False)]
    assert port_summary(c.detect_ports(on_boundary="-x")) == [((0, 0), 0, False)]
    assert len(c.detect_ports(on_boundary="x")) == 2
    assert len(c.detect_ports(on_boundary="xy")) == 2
    assert c.detect_ports(on_boundary="y") == []
    assert c.detect_ports(on_boundary="+y", boundary_margin=2.9) == []
    assert len(c.detect_ports(on_boundary="-y", boundary_margin=3)) == 2
    assert port_summary(c.detect_ports(bounds=((-1, -1), (1, 1)))) == [((0, 0), 0, False)]
    assert port_summary(c.detect_ports(bounds=((11, 1), (9, -1)))) == [((10, 0), 180, False)]


def test_detect_ports_errors():
    c = strip_section(0, 10)
    cases = [
        (TypeError, "'specs' must be an iterable of 'PortSpec' instances.", dict(specs=5)),
        (TypeError, "All items in 'specs' must be strings or instances of 'PortSpec'.",
         dict(specs=[STRIP, 1])),
        (ValueError, "Port specification 'Nope' not found in component's technology.",
         dict(specs=["Nope"])),
        (ValueError, "'bounds' must be a sequence of exactly 2 points, 1 found.",
         dict(bounds=[(0, 0)])),
        (TypeError, "'bounds' must be a sequence of exactly 2 points, 0 found.", dict(bounds=3)),
        (ValueError, "Argument 'on_boundary' must be one of 'xy', 'x', '+x', '-x', 'y', '-y', '+y'.",
         dict(on_boundary="z")),
        (ValueError, "Argument 'on_boundary' must be one of 'xy', 'x', '+x', '-x', 'y', '-y', '+y'.",
         dict(on_boundary=1)),
    ]
    for error, message, kwargs in cases:
        with pytest.raises(error) as info:
            c.detect_ports(**kwargs)
        assert str(info.value) == message


def test_detect_ports_on_turned_bent_paths():
    c = tw.Component("BEND", technology=TECH)
    for layer, width in ((CORE, 0.5), (CLAD, 2.5)):
        c.add(layer, tw.Path((0, 0), width).segment((10, 0)).arc(0, 90, 5, euler_fraction=0))
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(tw.Reference(c, rotation=30))
    ports = top.detect_ports(["Strip"])
    # One port per end despite rounded vertices on both layers; the arc's sides are no ports.
    # The arc ends at (5, 5) heading along -x: its port points along +x, turned by 30 degrees.
    assert len(ports) == 2
    s, q = 0.5, 3**0.5 / 2
    expected = [(0, 0), (5 * q - 5 * s, 5 * s + 5 * q)]
    for port, center in zip(sorted(ports, key=lambda p: p.center[1]), expected):
        assert tuple(port.center) == pytest.approx(center, abs=1e-3)
        assert port.input_direction == pytest.approx(30, abs=1e-3)


def test_reference_query_is_rooted_at_its_component(hierarchy):
    (placed,) = hierarchy.references
    # In MID's coordinates: LEAF (x, y) -> (10 - y, x).
    ports = placed.query("LEAF", "a.")
    assert [tuple(p.center) for p in ports] == [(10, 0), (10, 10)]
    assert placed.query("m").center.tolist() == [0, 0]
    with pytest.raises(TypeError):
        placed.query(2.5)
