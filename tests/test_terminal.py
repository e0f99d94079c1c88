"""Terminals: a routing layer and a template structure placed like a reference."""

import numpy as np
import pytest

import tarnwhistle as tw


def terminal():
    return tw.Terminal((5, 0), tw.Rectangle((0, 0), (2, 1)))


def test_bounds_center_size_and_moving_by_a_bound():
    t = terminal()
    assert np.allclose(t.bounds(), [[0, 0], [2, 1]])
    assert list(t.center()) == [1, 0.5] and list(t.size()) == [2, 1]
    t.x_min = 3
    t.y_mid = 0
    assert np.allclose(t.bounds(), [[3, -0.5], [5, 0.5]])
    assert (t.x_max, t.y_min) == (5, -0.5)
    with pytest.raises(TypeError, match="'x_min' must be a number."):
        t.x_min = "left"


def test_placements_compose_as_for_references():
    t = terminal().transform(translation=(1, 0), rotation=90, x_reflection=True)
    # (x, y) → mirror (x, −y) → quarter turn (y, x) → translate.
    assert np.allclose(t.bounds(), [[1, 0], [2, 2]])
    t = terminal().rotate(90, center=(1, 0))
    assert np.allclose(t.bounds(), [[0, -1], [1, 1]])
    t = terminal().scale(2, center=(2, 1))
    assert np.allclose(t.bounds(), [[-2, -1], [2, 1]])
    t = terminal().mirror((0, 1))
    assert np.allclose(t.bounds(), [[-2, 0], [0, 1]])
    t = terminal().mirror((3, 3), (3, 3))  # a zero-length axis leaves it as it is
    assert np.allclose(t.bounds(), [[0, 0], [2, 1]])
    assert np.allclose(terminal().translate((1, 1)).bounds(), [[1, 1], [3, 2]])


def test_copies_attributes_and_errors():
    t = terminal()
    shallow, deep = t.copy(), t.copy(deep=True)
    assert shallow.structure is t.structure and deep.structure is not t.structure
    assert shallow == t == deep
    deep.translate((1, 0))
    assert deep != t and np.allclose(t.bounds(), [[0, 0], [2, 1]])
    t.routing_layer = (7, 1)
    assert t.routing_layer == (7, 1) and t != shallow
    assert repr(t).startswith("Terminal(routing_layer=(7, 1), structure=Rectangle(")
    with pytest.raises(TypeError, match="Argument 'structure' must be a planar structure."):
        tw.Terminal((1, 0), "box")
    with pytest.raises(TypeError, match="Argument 'structure' must be a planar structure."):
        t.structure = None
    with pytest.raises(TypeError, match="'routing_layer' must be a sequence of 2 integers."):
        t.routing_layer = 3
    assert t.routing_layer == (7, 1) and isinstance(t.structure, tw.Rectangle)
    strip = tw.config.default_technology.ports["Strip"].path_profiles_list()[0][2]
    name = next(n for n, s in tw.config.default_technology.layers.items() if s.layer == strip)
    assert tw.Terminal(name, tw.Circle(1)).routing_layer == strip
