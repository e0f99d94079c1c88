"""Joining instance S matrices at connected ports, checked against closed forms and the peer."""

import numpy as np
import pytest
import skrf

from tarnwhistle import extension

connect = extension._connect_s_matrices
FREQUENCIES = 5


def random_s(nports, seed):
    rng = np.random.default_rng(seed)
    shape = (FREQUENCIES, nports, nports)
    return 0.4 * (rng.normal(size=shape) + 1j * rng.normal(size=shape))


def elements_of(instance, s, names):
    # Our key (a, b) is the transmission from a to b, entry S[b][a].
    return {
        ((instance, a), (instance, b)): s[:, j, i]
        for i, a in enumerate(names)
        for j, b in enumerate(names)
    }


def peer(s):
    frequency = skrf.Frequency(1, FREQUENCIES, FREQUENCIES, unit="ghz")
    return skrf.Network(frequency=frequency, s=s)


def assert_matches(result, s, modes):
    expected = {
        (a, b): s[:, j, i] for i, a in enumerate(modes) for j, b in enumerate(modes)
    }
    assert set(result) <= set(expected)
    for key, values in expected.items():
        np.testing.assert_allclose(result.get(key, 0), values, rtol=0, atol=1e-12)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((), TypeError, "Expected 3 arguments."),
        (({}, []), TypeError, "Expected 3 arguments."),
        (({}, [], 0, 0), TypeError, "Expected 3 arguments."),
        (([], [], 0), TypeError, "Argument 's_dict' must be a dictionary."),
        (({(1, 2, 3): [1]}, [], 0), TypeError, "'s_dict' key must be 2-tuples."),
        (({"ab": [1]}, [], 0), TypeError, "'s_dict' key must be 2-tuples."),
        (({((0, "A@0"), 1): [1]}, [], 0), TypeError, "'s_dict' key elements must be 2-tuples."),
        (({((0, "A@0"), (0, "B@0", 1)): [1]}, [], 0), TypeError, "'s_dict' key elements must be 2-tuples."),
        (({((0, "A@0"), (0, "B@0")): 1.5}, [], 0), TypeError, "'s_dict' value must be a sequence."),
        (({((0, "A@0"), (0, "B@0")): "1"}, [], 0), TypeError, "'s_dict' value must be a sequence."),
        (({}, 5, 0), TypeError, "Argument 'connections' must be a sequence."),
        (({}, [(1, 2, 3)], 0), TypeError, "'connections' items must be 2-tuples."),
        (({}, [5], 0), TypeError, "'connections' items must be 2-tuples."),
        (({}, [((0, "A"), (1, "B", 1))], 0), TypeError, "'connections' must be tuples of 3-tuples."),
        (({}, [((0, "A", 1), 7)], 0), TypeError, "'connections' must be tuples of 3-tuples."),
        (({}, [], -1), ValueError, "Argument 'num_instances' must be a non-negative integer."),
        (({}, [], 1.0), TypeError, "Argument 'num_instances' must be a non-negative integer."),
        (({}, [], "2"), TypeError, "Argument 'num_instances' must be a non-negative integer."),
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        connect(*args)
    assert str(info.value) == message


def test_keywords_and_ragged_values_are_refused():
    with pytest.raises(TypeError, match="Expected 3 arguments."):
        connect({}, [], num_instances=0)
    ragged = {((0, "A@0"), (0, "B@0")): [1, 2], ((0, "B@0"), (0, "A@0")): [1]}
    with pytest.raises(ValueError):
        connect(ragged, [], 1)


def test_two_transmission_lines_multiply():
    t1, t2 = np.array([0.5 + 0.5j, 1j]), np.array([0.8, -0.3j])
    s = {
        ((0, "A@0"), (0, "B@0")): t1,
        ((0, "B@0"), (0, "A@0")): t1,
        ((1, "A@0"), (1, "B@0")): t2,
        ((1, "B@0"), (1, "A@0")): t2,
    }
    result = connect(s, [((0, "B", 1), (1, "A", 1))], 2)
    assert set(result) == {((0, "A@0"), (1, "B@0")), ((1, "B@0"), (0, "A@0"))}
    for values in result.values():
        assert values.dtype == np.complex128
        np.testing.assert_allclose(values, t1 * t2, atol=1e-15)


def test_without_connections_the_elements_come_back():
    s = elements_of(3, random_s(2, 1), ["A@0", "B@0"])
    result = connect(s, (), 4)
    assert set(result) == set(s)
    for key, values in s.items():
        np.testing.assert_array_equal(result[key], values)


@pytest.mark.parametrize("seed", range(4))
def test_two_instances_agree_with_the_peer(seed):
    a, b = random_s(3, seed), random_s(4, seed + 100)
    names_a, names_b = ["P0@0", "P1@0", "P2@0"], ["Q0@0", "Q1@0", "Q2@0", "Q3@0"]
    s = {**elements_of(0, a, names_a), **elements_of(1, b, names_b)}
    result = connect(s, [((0, "P1", 1), (1, "Q2", 1))], 2)
    joined = skrf.network.connect(peer(a), 1, peer(b), 2).s
    modes = [(0, "P0@0"), (0, "P2@0"), (1, "Q0@0"), (1, "Q1@0"), (1, "Q3@0")]
    assert_matches(result, joined, modes)


@pytest.mark.parametrize("seed", range(3))
def test_ports_of_one_instance_agree_with_the_peer(seed):
    a = random_s(4, seed)
    names = ["A@0", "B@0", "C@0", "D@0"]
    result = connect(elements_of(0, a, names), [((0, "B", 1), (0, "D", 1))], 1)
    joined = skrf.network.innerconnect(peer(a), 1, 3).s
    assert_matches(result, joined, [(0, "A@0"), (0, "C@0")])


def test_chain_of_connections_agrees_with_the_peer():
    mats = [random_s(3, 10 + k) for k in range(4)]
    s = {}
    for k, m in enumerate(mats):
        s.update(elements_of(k, m, ["L@0", "R@0", "T@0"]))
    connections = [((k, "R", 1), (k + 1, "L", 1)) for k in range(3)]
    result = connect(s, connections, 4)
    net = peer(mats[0])
    for k in range(1, 4):
        # After k - 1 joins the chain's ports are L0, T0, ..., T(k-2), R(k-1), T(k-1).
        net = skrf.network.connect(net, k, peer(mats[k]), 0)
    # Peer ports: L0, T0, T1, ..., T(k-1), then R and T of the last one appended in order.
    modes = [(0, "L@0"), (0, "T@0"), (1, "T@0"), (2, "T@0"), (3, "R@0"), (3, "T@0")]
    assert_matches(result, net.s, modes)


def test_multi_mode_ports_join_mode_by_mode():
    a, b = random_s(3, 7), random_s(3, 8)
    names_a = ["In@0", "Out@0", "Out@1"]
    names_b = ["In@0", "In@1", "Out@0"]
    s = {**elements_of(0, a, names_a), **elements_of(1, b, names_b)}
    result = connect(s, [((0, "Out", 2), (1, "In", 2))], 2)
    joined = skrf.network.connect(peer(a), 1, peer(b), 0, num=2).s
    assert_matches(result, joined, [(0, "In@0"), (1, "Out@0")])


def test_unit_gain_loop_gives_non_finite_values():
    ones = np.ones(3, dtype=complex)
    s = {
        ((0, "A@0"), (0, "B@0")): ones,
        ((0, "B@0"), (0, "A@0")): ones,
        ((0, "C@0"), (0, "A@0")): 0.5 * ones,
        ((0, "B@0"), (0, "C@0")): 0.5 * ones,
    }
    result = connect(s, [((0, "A", 1), (0, "B", 1))], 1)
    assert set(result) == {((0, "C@0"), (0, "C@0"))}
    assert not np.isfinite(result[((0, "C@0"), (0, "C@0"))]).any()


def test_mode_counts_beyond_the_present_modes_change_nothing():
    a, b = random_s(2, 3), random_s(2, 4)
    s = {**elements_of(0, a, ["A@0", "B@0"]), **elements_of(1, b, ["A@0", "B@0"])}
    exact = connect(s, [((0, "B", 1), (1, "A", 1))], 2)
    huge = connect(s, [((0, "B", 10**15), (1, "A", 10**15))], 2)
    assert set(huge) == set(exact)
    for key, values in exact.items():
        np.testing.assert_array_equal(huge[key], values)
    with pytest.raises(ValueError):
        connect(s, [((0, "B", -1), (1, "A", 1))], 2)
