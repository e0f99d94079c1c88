"""Netlists of components: port connections, external ports, nets and the extraction caches,
checked against brute-force port tests, shapely contacts and scikit-rf cascades."""

import itertools
import random
import threading
import warnings

import numpy as np
import pytest
import shapely
import skrf

import tarnwhistle as tw
from tarnwhistle import extension

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    TECH = tw.basic_technology()
STRIP, RIB = TECH.ports["Strip"], TECH.ports["Rib"]
CORE, METAL = (2, 0), (5, 0)


def waveguide(name="WG", length=10, spec=STRIP):
    c = tw.Component(name, technology=TECH)
    c.add(CORE, tw.Rectangle((0, -0.25), (length, 0.25)))
    c.add_port(tw.Port((0, 0), 0, spec), "P0")
    c.add_port(tw.Port((length, 0), 180, spec), "P1")
    return c


def chain(count, component=None):
    component = component or waveguide()
    top = tw.Component("TOP", technology=TECH)
    refs = [top.add_reference(component) for _ in range(count)]
    for previous, ref in zip(refs, refs[1:]):
        ref.connect("P0", previous["P1"])
    return top, refs


def netlist_with_warnings(component, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        netlist = component.get_netlist(**kwargs)
    return netlist, [str(w.message) for w in caught if w.category is RuntimeWarning]


KEYS = ["instances", "ports", "terminals", "connections", "virtual connections",
        "butt couplings", "nets", "virtual nets"]


# ---- Port connections ------------------------------------------------------------------


def test_chain_connections_and_external_ports():
    top, refs = chain(4)
    top.add_port(refs[0]["P0"], "IN")
    top.add_port(refs[-1]["P1"], "OUT")
    netlist, caught = netlist_with_warnings(top)
    assert list(netlist) == KEYS and caught == []
    assert netlist["instances"] == refs
    assert netlist["connections"] == [((i, "P1", 1), (i + 1, "P0", 1)) for i in range(3)]
    assert netlist["ports"] == {(0, "P0", 1): "IN", (3, "P1", 1): "OUT"}
    assert netlist["butt couplings"] == netlist["virtual connections"] == []

    # The S matrix of the chain joined through the netlist equals the peer's cascade.
    rng = np.random.default_rng(1)
    frequency = skrf.Frequency(1, 3, 3, unit="ghz")
    s_dict, networks = {}, []
    for i in range(4):
        s = 0.4 * (rng.normal(size=(3, 2, 2)) + 1j * rng.normal(size=(3, 2, 2)))
        networks.append(skrf.Network(frequency=frequency, s=s))
        for (a, pa), (b, pb) in itertools.product(enumerate(["P0@0", "P1@0"]), repeat=2):
            s_dict[((i, pa), (i, pb))] = s[:, b, a]
    joined = extension._connect_s_matrices(s_dict, netlist["connections"], 4)
    expected = (networks[0] ** networks[1] ** networks[2] ** networks[3]).s
    np.testing.assert_allclose(joined[((0, "P0@0"), (3, "P1@0"))], expected[:, 1, 0], atol=1e-12)
    np.testing.assert_allclose(joined[((3, "P1@0"), (3, "P1@0"))], expected[:, 1, 1], atol=1e-12)


def test_connections_agree_with_pairwise_port_test():
    # Random placements on a coarse grid make many coincident ports; the hashed extraction must
    # find exactly the pairs that the port test accepts.
    rng = random.Random(7)
    wg = waveguide(length=2)
    top = tw.Component("TOP", technology=TECH)
    for _ in range(60):
        top.add_reference(tw.Reference(wg, (rng.randrange(6) * 2, rng.randrange(3) * 2),
                                       rotation=rng.choice([0, 90, 180, 270])))
    result = top.extract_connectivity(nets=False)
    found = {frozenset(((a, pa), (b, pb))) for (a, pa, _), (b, pb, _) in result["connections"]}
    ports = [(i, name, ref[name]) for i, ref in enumerate(top.references) for name in ("P0", "P1")]
    used = {(i, n) for pair in found for (i, n) in pair}
    assert len(used) == 2 * len(found)  # each port in one connection at most
    for pair in found:
        (a, pa), (b, pb) = sorted(pair)
        assert top.references[a][pa].is_connected_to(top.references[b][pb])
    for (i, n, p), (j, m, q) in itertools.combinations(ports, 2):
        if i != j and (i, n) not in used and (j, m) not in used:
            assert not p.is_connected_to(q)
    unconnected = {(i, n) for i, n, _ in result["unconnected ports"]}
    assert unconnected == {(i, n) for i, n, _ in ports} - used


def test_repeated_references_expand():
    wg = waveguide()
    top = tw.Component("TOP", technology=TECH)
    array = top.add_reference(tw.Reference(wg, (0, 0), columns=3, rows=2, spacing=(10, 5)))
    single = top.add_reference(tw.Reference(wg, (0, 20)))
    netlist = top.get_netlist(suppress_warnings=True)
    instances = netlist["instances"]
    assert len(instances) == 7 and instances[6] is single
    assert [tuple(r.origin) for r in instances[:6]] == [
        (0, 0), (10, 0), (20, 0), (0, 5), (10, 5), (20, 5)]
    assert all((r.columns, r.rows) == (1, 1) for r in instances[:6])
    # Columns abut, rows do not.
    assert netlist["connections"] == [
        ((0, "P1", 1), (1, "P0", 1)), ((1, "P1", 1), (2, "P0", 1)),
        ((3, "P1", 1), (4, "P0", 1)), ((4, "P1", 1), (5, "P0", 1))]
    mapping, inverse = top.get_instance_maps()
    assert inverse == [(0, r) for r in range(6)] + [(1, 0)]
    assert mapping == {key: i for i, key in enumerate(inverse)}
    assert top.extract_connectivity()["instances"] == inverse


def test_modes_and_butt_couplings():
    two_mode = STRIP.copy()
    two_mode.num_modes = 2
    wide = STRIP.copy()
    wide.path_profiles = [(0.8, 0, CORE), (2.5, 0, (1, 0))]
    pairs = {}
    for name, spec in [("same", two_mode), ("profiles", wide), ("modes", STRIP),
                       ("rib", RIB)]:
        top, _ = chain(2)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # connecting incompatible specifications
            top.add_reference(waveguide("B", spec=two_mode if name == "modes" else spec)).connect(
                "P0", top.references[1]["P1"])
        if name == "same":
            top.references[0].component = top.references[1].component = waveguide("A", spec=two_mode)
        pairs[name] = top.extract_connectivity(nets=False)
    assert pairs["same"]["connections"][-1] == ((1, "P1", 2), (2, "P0", 2))
    assert pairs["same"]["butt couplings"] == []
    # Different profiles, different classification of modes or a different mode count: placed
    # together but not connected.
    assert pairs["profiles"]["butt couplings"] == [((1, "P1", 1), (2, "P0", 1))]
    assert pairs["modes"]["butt couplings"] == [((1, "P1", 1), (2, "P0", 2))]
    assert pairs["rib"]["butt couplings"] == [((1, "P1", 1), (2, "P0", 1))]
    for result in pairs.values():
        assert len(result["connections"]) == 1 + (result is pairs["same"])


# ---- Declared connections and nets -----------------------------------------------------


def test_virtual_connections_and_nets():
    dev = waveguide("DEV")
    dev.add_terminal(tw.Terminal(METAL, tw.Rectangle((4, 4), (6, 6))), "T")
    top = tw.Component("TOP", technology=TECH)
    a = top.add_reference(tw.Reference(dev, rows=2, spacing=(0, 50)))
    b = top.add_reference(tw.Reference(dev, (30, 0)))
    top.add_virtual_connection(a, "P1", b, "P0", 1, 0)
    top.add_virtual_connection(a, "P0", b, "NOPE")
    top.add_virtual_net([(a, "T", 0), (b, "T"), "GND"])
    netlist, caught = netlist_with_warnings(top)
    assert netlist["virtual connections"] == [((1, "P1", 1), (2, "P0", 1))]
    assert netlist["virtual nets"] == [[(0, "T"), (2, "T"), (None, "GND")]]
    assert "Virtual connection to reference 1 'DEV' at port 'NOPE' ignored (port not found)." in caught
    # Declared ports and terminals are not reported as unconnected or dangling.
    unconnected = [w for w in caught if w.startswith("These ports")][0].splitlines()[1:]
    assert unconnected == [
        f"Port '{p}' of reference {r} ('DEV'), repetition {k} is not connected and will be ignored."
        for r, k, p in [(0, 0, "P0"), (0, 0, "P1"), (0, 1, "P0"), (1, 0, "P1")]]
    dangling = [w for w in caught if w.startswith("These terminals")][0].splitlines()
    assert dangling == [
        "These terminals are dangling, each forming a net with no other terminal:",
        "Terminal 'T' of reference 0 ('DEV'), repetition 1 is dangling: it forms a net with "
        "no other terminal."]


def test_conductor_nets_follow_touching_geometry():
    technology = TECH.copy()
    technology.add_connection(METAL, (6, 0))
    pad = tw.Component("PAD", technology=technology)
    pad.add_terminal(tw.Terminal(METAL, tw.Rectangle((0, 0), (2, 2))), "T")
    top = tw.Component("TOP", technology=technology)
    for x in (0, 10, 20, 30, 40):
        top.add_reference(tw.Reference(pad, (x, 0)))
    top.add(METAL, tw.Rectangle((2, 0.5), (10, 1.5)))     # abuts pads 0 and 1
    top.add((6, 0), tw.Rectangle((11, 1), (21, 1.2)))     # connected layer: pads 1 and 2
    top.add((7, 0), tw.Rectangle((21, 1), (31, 1.2)))     # unconnected layer: joins nothing
    top.add_terminal(tw.Terminal(METAL, tw.Rectangle((40, 0), (42, 2))), "OUT")
    top.add_terminal(tw.Terminal(METAL, tw.Rectangle((50, 0), (51, 1))), "LOOSE")
    netlist, caught = netlist_with_warnings(top)
    assert netlist["nets"] == [[(0, "T"), (1, "T"), (2, "T")], [(3, "T")],
                               [(4, "T"), (None, "OUT")], [(None, "LOOSE")]]
    assert netlist["terminals"] == {(4, "T"): "OUT"}
    assert "Terminal 'LOOSE' at (50.5, 0.5) from component 'TOP' does not match any reference " \
           "terminals and will be ignored." in caught
    dangling = [w for w in caught if w.startswith("These terminals")][0].splitlines()[1:]
    assert dangling == [
        "Terminal 'T' of reference 3 ('PAD'), repetition 0 is dangling: it forms a net with no "
        "other terminal.",
        "Terminal 'LOOSE' of component 'TOP' is dangling: it forms a net with no other terminal."]


@pytest.mark.parametrize("seed", range(4))
def test_nets_agree_with_shapely_contacts(seed):
    rng = random.Random(seed)
    top = tw.Component("TOP", technology=TECH)
    shapes, terminals = [], []
    for i in range(40):
        x, y = rng.randrange(30), rng.randrange(30)
        box = (x, y, x + rng.randrange(1, 5), y + rng.randrange(1, 5))
        shapes.append(shapely.box(*box))
        if i % 3 == 0:
            top.add_terminal(tw.Terminal(METAL, tw.Rectangle(box[:2], box[2:])), f"T{i:02}")
            terminals.append((i, f"T{i:02}"))
        else:
            top.add(METAL, tw.Rectangle(box[:2], box[2:]))
    parent = list(range(len(shapes)))

    def root(i):
        while parent[i] != i:
            i = parent[i]
        return i

    for i, j in itertools.combinations(range(len(shapes)), 2):
        if shapes[i].intersects(shapes[j]):
            parent[root(i)] = root(j)
    expected = {}
    for i, name in terminals:
        expected.setdefault(root(i), set()).add((None, name))
    nets = top.extract_connectivity(ports=False)["nets"]
    assert sorted(map(sorted, nets)) == sorted(map(sorted, expected.values()))


# ---- Warnings and errors ---------------------------------------------------------------


def test_unmatched_port_warnings_and_suppression():
    top, refs = chain(2)
    top.add_port(tw.Port((5, 7), 0, STRIP), "STRAY")
    top.add_port(refs[0]["P0"], "IN")
    top.add_port(tw.GaussianPort((1, 2, 3), (0, 0, 1), 2), "BEAM")
    netlist, caught = netlist_with_warnings(top)
    assert netlist["ports"] == {(0, "P0", 1): "IN"}
    assert caught == [
        "Port3D 'BEAM' at (1, 2, 3) from component 'TOP' does not match any reference ports and "
        "will be ignored.",
        "Port 'STRAY' at (5, 7) from component 'TOP' does not match any reference ports and "
        "will be ignored.",
        "These ports are not connected and will be ignored:\nPort 'P1' of reference 1 ('WG'), "
        "repetition 0 is not connected and will be ignored."]
    quiet, caught = netlist_with_warnings(top, suppress_warnings=True)
    assert caught == [] and quiet == netlist


def test_port3d_matches_placed_instance_port():
    beam = tw.Component("BEAM", technology=TECH)
    beam.add_port(tw.GaussianPort((1, 0, 3), (1, 0, 0), 2), "G")
    top = tw.Component("TOP", technology=TECH)
    top.add_reference(tw.Reference(beam, (10, 0), rotation=90))
    top.add_port(tw.GaussianPort((10, 1, 3), (0, 1, 0), 2), "OUT")
    netlist, caught = netlist_with_warnings(top)
    assert netlist["ports"] == {(0, "G", 1): "OUT"} and caught == []


def test_declared_net_on_a_missing_instance():
    dev = tw.Component("DEV", technology=TECH)
    dev.add_terminal(tw.Terminal(METAL, tw.Rectangle((0, 0), (1, 1))), "T")
    top = tw.Component("TOP", technology=TECH)
    a = top.add_reference(tw.Reference(dev, rows=2, spacing=(0, 5)))
    top.add_virtual_net([(a, "T", 0), (a, "T", 1)])
    assert top.get_netlist()["virtual nets"] == [[(0, "T"), (1, "T")]]
    a.rows = 1  # the second member's instance is gone
    with pytest.raises(RuntimeError) as error:
        top.get_netlist(suppress_warnings=True)
    assert str(error.value) == "A net references a Reference that is not present in component 'TOP'."


def test_cache_function_arguments():
    with pytest.raises(TypeError):
        extension._set_netlist_cache_capacity("8")
    with pytest.raises(TypeError):
        extension._netlist_cache_sizes(1)


# ---- Caches ----------------------------------------------------------------------------


@pytest.fixture
def caches():
    extension._clear_netlist_caches()
    yield
    extension._set_netlist_cache_capacity(64)
    extension._clear_netlist_caches()


def test_caches_grow_evict_and_clear(caches):
    assert extension._netlist_cache_sizes() == (0, 0)
    tops = [chain(n)[0] for n in range(1, 6)]
    for top in tops:
        top.get_netlist(suppress_warnings=True)
    assert extension._netlist_cache_sizes() == (5, 5)
    tops[0].get_netlist(suppress_warnings=True)
    assert extension._netlist_cache_sizes() == (5, 5)  # served from the caches
    tops[0].extract_connectivity(nets=False)
    assert extension._netlist_cache_sizes() == (5, 5)
    extension._set_netlist_cache_capacity(2)
    assert extension._netlist_cache_sizes() == (2, 2)
    for top in tops:
        top.get_netlist(suppress_warnings=True)
    assert extension._netlist_cache_sizes() == (2, 2)
    extension._set_netlist_cache_capacity(0)  # no limit
    for top in tops:
        top.get_netlist(suppress_warnings=True)
    assert extension._netlist_cache_sizes() == (5, 5)
    extension._clear_netlist_caches()
    assert extension._netlist_cache_sizes() == (0, 0)


def test_caches_never_serve_stale_results(caches):
    wg = waveguide()
    top, refs = chain(3, wg)
    expected = [((0, "P1", 1), (1, "P0", 1)), ((1, "P1", 1), (2, "P0", 1))]
    assert top.get_netlist(suppress_warnings=True)["connections"] == expected

    refs[2].translate((1, 0))  # moved reference
    assert top.get_netlist(suppress_warnings=True)["connections"] == expected[:1]
    refs[2].translate((-1, 0))
    assert top.get_netlist(suppress_warnings=True)["connections"] == expected

    wg.ports["P1"].input_direction = 90  # edited sub-component port
    assert top.get_netlist(suppress_warnings=True)["connections"] == []
    wg.ports["P1"].input_direction = 180
    assert top.get_netlist(suppress_warnings=True)["connections"] == expected

    spec = STRIP.copy()
    wg.add_port(tw.Port((10, 0), 180, spec), "P1")
    spec.num_modes = 3  # specification edited in place
    netlist = top.get_netlist(suppress_warnings=True)
    assert netlist["connections"] == []
    assert netlist["butt couplings"] == [((i, "P1", 3), (i + 1, "P0", 1)) for i in range(2)]

    top.remove(refs[1])  # fewer instances
    assert top.get_netlist(suppress_warnings=True)["connections"] == []
    assert len(top.get_netlist(suppress_warnings=True)["instances"]) == 2

    pad = tw.Component("PAD", technology=TECH)
    pad.add_terminal(tw.Terminal(METAL, tw.Rectangle((0, 0), (1, 1))), "T")
    board = tw.Component("BOARD", technology=TECH)
    board.add_reference(pad)
    board.add_reference(tw.Reference(pad, (2, 0)))
    assert len(board.get_netlist(suppress_warnings=True)["nets"]) == 2
    board.add(METAL, tw.Rectangle((1, 0), (2, 1)))  # new conductor
    assert board.get_netlist(suppress_warnings=True)["nets"] == [[(0, "T"), (1, "T")]]
    pad.terminals["T"].structure.translate((0, 5))  # edited sub-component terminal
    assert len(board.get_netlist(suppress_warnings=True)["nets"]) == 2


def test_concurrent_extractions_agree_with_serial_ones(caches):
    extension._set_netlist_cache_capacity(3)  # evictions while threads read and write
    tops = [chain(n)[0] for n in range(1, 9)]
    expected = [top.extract_connectivity() for top in tops]
    results, errors = {}, []

    def work(k):
        try:
            for _ in range(20):
                for i in range(k % 2, len(tops), 2):
                    results[(k, i)] = tops[i].extract_connectivity()
        except Exception as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert all(result == expected[i] for (_, i), result in results.items())
    assert extension._netlist_cache_sizes() == (3, 3)
