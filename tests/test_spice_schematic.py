"""SPICE schematics written from components for LVS: subcircuits per cell with ports then
terminals as pins, instances numbered as in the netlist, nets from connections, declared
connections and nets, routes as wires; read back with KLayout's own SPICE reader."""

import pathlib
import sys
import warnings

import klayout.db as kdb
import pytest

import tarnwhistle as tw

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    TECH = tw.basic_technology()
STRIP = TECH.ports["Strip"]
CORE, METAL = (2, 0), (5, 0)
UNSAFE = (" cannot be written to a SPICE schematic: names must be non-empty, contain no "
          "whitespace, equals sign or quotation mark (\" or '), and start with neither an "
          "asterisk nor a semicolon.")


@pytest.fixture
def schematic(tmp_path):
    """Writes a component's schematic through lvs_check with a stand-in KLayout that keeps
    the schematic file it is given (and writes no results, so the check itself fails)."""
    kept = tmp_path / "kept.cir"
    klayout = tmp_path / "klayout"
    klayout.write_text(f"""#!{sys.executable}
import shutil, sys
args = sys.argv[1:]
if args == ["-b", "-v"]:
    print("KLayout 0.30.12")
    sys.exit(0)
for arg in args:
    if arg.startswith("schematicfile="):
        shutil.copyfile(arg.split("=", 1)[1], {str(kept)!r})
""")
    klayout.chmod(0o755)
    rules = tmp_path / "x.lvs"
    rules.write_text("")
    previous = tw.config.klayout_executable
    tw.config.klayout_executable = str(klayout)

    def write(component):
        with pytest.raises(RuntimeError) as error:
            tw.lvs_check(component, str(rules), engine="klayout", show_progress=False)
        if not str(error.value).startswith("KLayout LVS wrote no results file"):
            raise error.value
        return kept.read_text()

    yield write
    tw.config.klayout_executable = previous


def read_back(text, tmp_path):
    """KLayout's reading: {circuit: (pin names, {instance: (circuit, {pin: net})})}."""
    path = tmp_path / "back.cir"
    path.write_text(text)
    netlist = kdb.Netlist()
    netlist.read(str(path), kdb.NetlistSpiceReader())
    circuits = {}
    for circuit in netlist.each_circuit():
        instances = {}
        for sub in circuit.each_subcircuit():
            ref = sub.circuit_ref()
            instances[sub.name] = (ref.name, {pin.name(): sub.net_for_pin(pin.id()).name
                                              for pin in ref.each_pin()})
        circuits[circuit.name] = ([pin.name() for pin in circuit.each_pin()], instances)
    return circuits


def device(name="DEV", length=10, terminal=False):
    c = tw.Component(name, technology=TECH)
    c.add(CORE, tw.Rectangle((0, -0.25), (length, 0.25)))
    c.add_port(tw.Port((0, 0), 0, STRIP), "P0")
    c.add_port(tw.Port((length, 0), 180, STRIP), "P1")
    if terminal:
        c.add_terminal(tw.Terminal(METAL, tw.Rectangle((4, 4), (6, 6))), "T")
    return c


def test_chain_of_instances(schematic, tmp_path):
    wg = device("WG")
    top = tw.Component("TOP", technology=TECH)
    refs = [top.add_reference(wg) for _ in range(3)]
    for a, b in zip(refs, refs[1:]):
        b.connect("P0", a["P1"])
    top.add_port(refs[-1]["P1"], "OUT")
    top.add_port(refs[0]["P0"], "IN")
    text = schematic(top)
    assert text.splitlines()[1:] == [
        ".SUBCKT TOP IN OUT", "X0 IN n1 WG", "X1 n1 n2 WG", "X2 n2 OUT WG", ".ENDS TOP",
        ".SUBCKT WG P0 P1", ".ENDS WG"]
    assert text.startswith("*")
    assert read_back(text, tmp_path)["TOP"] == (["IN", "OUT"], {
        "0": ("WG", {"P0": "IN", "P1": "N1"}), "1": ("WG", {"P0": "N1", "P1": "N2"}),
        "2": ("WG", {"P0": "N2", "P1": "OUT"})})


def test_terminals_declared_connections_and_nets(schematic, tmp_path):
    dev = device(terminal=True)
    technology = TECH.copy()
    pad = tw.Component("PAD", technology=technology)
    pad.add_terminal(tw.Terminal(METAL, tw.Rectangle((0, 0), (2, 2))), "T")
    top = tw.Component("TOP", technology=technology)
    a = top.add_reference(tw.Reference(dev, rows=2, spacing=(0, 50)))  # instances 0 and 1
    b = top.add_reference(tw.Reference(dev, (30, 0)))                   # instance 2
    top.add_virtual_connection(a, "P1", b, "P0", 1, 0)
    top.add_terminal(tw.Terminal(METAL, tw.Rectangle((100, 0), (102, 2))), "GND")
    top.add_virtual_net([(a, "T", 0), (b, "T"), "GND"])
    # Two pads joined by metal: a conductor net; the second stands for the OUT terminal.
    for x in (200, 210):
        top.add_reference(tw.Reference(pad, (x, 0)))                   # instances 3 and 4
    top.add(METAL, tw.Rectangle((202, 0.5), (210, 1.5)))
    top.add_terminal(tw.Terminal(METAL, tw.Rectangle((210, 0), (212, 2))), "OUT")

    circuits = read_back(schematic(top), tmp_path)
    pins, instances = circuits["TOP"]
    assert pins == ["GND", "OUT"]
    assert circuits["DEV"][0] == ["P0", "P1", "T"] and circuits["PAD"][0] == ["T"]
    nets = {name: pin_nets for name, (_, pin_nets) in instances.items()}
    assert nets["1"]["P1"] == nets["2"]["P0"]
    assert nets["0"]["T"] == nets["2"]["T"] == "GND"
    assert nets["3"]["T"] == nets["4"]["T"] == "OUT"
    # Everything else is a net of its own.
    others = [nets["0"]["P0"], nets["0"]["P1"], nets["1"]["P0"], nets["1"]["T"], nets["2"]["P1"],
              nets["1"]["P1"]]
    assert len(set(others)) == len(others) and not {"GND", "OUT"} & set(others)


def test_route_is_a_wire(schematic, tmp_path):
    dev = device()
    route = device("ROUTE")
    route.properties["__route__"] = 1
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(dev)
    top.add_reference(tw.Reference(route, (10, 0)))
    top.add_reference(tw.Reference(dev, (20, 0)))
    text = schematic(top)
    assert "ROUTE" not in text
    # The instances keep their netlist numbers; the route joined the ports it touches.
    assert [line for line in text.splitlines() if line.startswith("X")] == ["X0 n1 n2 DEV", "X2 n2 n3 DEV"]
    assert set(read_back(text, tmp_path)) == {"TOP", "DEV"}


def test_cells_named_as_exported(schematic, tmp_path):
    # Two components of one name become two cells; instances name the right one.
    first, second = device("WG", 10), tw.Component("WG", technology=TECH)
    second.add_port(tw.Port((0, 0), 0, STRIP), "A")
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(first)
    top.add_reference(tw.Reference(second, (0, 20)))
    top.add_reference(tw.Component("LOGO", technology=TECH))  # no pins: not placed
    circuits = read_back(schematic(top), tmp_path)
    placed = {name: cell for name, (cell, _) in circuits["TOP"][1].items()}
    assert set(placed) == {"0", "1"} and placed["0"] != placed["1"]
    assert circuits[placed["0"]][0] == ["P0", "P1"] and circuits[placed["1"]][0] == ["A"]
    assert circuits["LOGO"] == ([], {})


@pytest.mark.parametrize("name", ["a b", "tab\tname", "x=y", 'say"', "it's", "*star", ";semi"])
def test_unsafe_names(schematic, name):
    # In the component's own name, and in a port name of a cell below it.
    with pytest.raises(RuntimeError) as error:
        schematic(tw.Component(name, technology=TECH))
    assert str(error.value) == name + UNSAFE
    inner = tw.Component("INNER", technology=TECH)
    inner.add_port(tw.Port((0, 0), 0, STRIP), name)
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(inner)
    with pytest.raises(RuntimeError) as error:
        schematic(top)
    assert str(error.value) == name + UNSAFE
