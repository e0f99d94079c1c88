"""Labels: construction, attributes and the structure-like transforms."""
import copy
import math

import pytest

import tarnwhistle as tw

ANCHORS = ["NW", "N", "NE", "W", "O", "E", "SW", "S", "SE"]
ANCHOR_MESSAGE = "Argument 'anchor' must be one of 'NW', 'N', 'NE', 'W', 'O', 'E', 'SW', 'S', 'SE'."


def state(label):
    return (label.text, label.origin.tolist(), label.anchor, label.rotation, label.scaling,
            label.x_reflection)


def test_defaults_and_text_forms():
    label = tw.Label()
    assert state(label) == ("", [0, 0], "NW", 0, 1, False)
    label = tw.Label("port A", (1, -2.5), "SE", 30, 2, True)
    assert str(label) == 'Label "port A" at (1, -2.5)'
    assert repr(label) == ('Label(text="port A", origin=(1, -2.5), anchor=SE, rotation=30, '
                           'scaling=2, x_reflection=True)')


@pytest.mark.parametrize("anchor", ANCHORS)
def test_anchor_names(anchor):
    label = tw.Label(anchor=anchor)
    assert label.anchor == anchor
    label.anchor = "O"
    assert label.anchor == "O"


@pytest.mark.parametrize("bad", ["nw", "C", ""])
def test_bad_anchor(bad):
    with pytest.raises(ValueError) as info:
        tw.Label(anchor=bad)
    assert str(info.value) == ANCHOR_MESSAGE
    label = tw.Label(anchor="E")
    with pytest.raises(ValueError):
        label.anchor = bad
    assert label.anchor == "E"


@pytest.mark.parametrize("attribute, value, error", [
    ("text", 5, TypeError), ("rotation", "a", TypeError), ("scaling", None, TypeError),
    ("origin", (1, 2, 3), TypeError), ("text", "a\0b", ValueError),
    ("rotation", math.nan, ValueError), ("scaling", math.inf, ValueError),
])
def test_bad_writes_keep_value(attribute, value, error):
    label = tw.Label("a", (1, 1))
    before = state(label)
    with pytest.raises(error):
        setattr(label, attribute, value)
    assert state(label) == before


@pytest.mark.parametrize("kwargs, message", [
    ({"text": "a\0b"}, "embedded null character"),
    ({"rotation": math.inf}, "'rotation' must be a finite number."),
    ({"scaling": math.nan}, "'scaling' must be a finite number."),
])
def test_unusable_arguments(kwargs, message):
    with pytest.raises(ValueError) as info:
        tw.Label(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("call, expected", [
    (lambda l: l.transform((1, 2), 90, 1, True), ("t", [3, 5], "N", 80, 1.5, True)),
    (lambda l: l.transform(scaling=2), ("t", [6, 4], "N", 10, 3, False)),
    (lambda l: l.translate((1, -1)), ("t", [4, 1], "N", 10, 1.5, False)),
    (lambda l: l.rotate(90, center=(1, 0)), ("t", [-1, 2], "N", 100, 1.5, False)),
    (lambda l: l.scale(0.5, center=(1, 0)), ("t", [2, 1], "N", 10, 0.75, False)),
    (lambda l: l.mirror(), ("t", [3, -2], "N", -10, 1.5, True)),
    (lambda l: l.mirror((0, 1)), ("t", [-3, 2], "N", 170, 1.5, True)),
])
def test_transforms(call, expected):
    label = tw.Label("t", (3, 2), "N", 10, 1.5)
    assert call(label) is label
    result = state(label)
    assert result[:3] == expected[:3] and result[5] == expected[5]
    assert result[3] == pytest.approx(expected[3]) and result[4] == pytest.approx(expected[4])


def test_double_reflection_restores():
    label = tw.Label("t", (1, 2), rotation=20)
    label.transform(x_reflection=True).transform(x_reflection=True)
    assert state(label) == ("t", [1, 2], "NW", 20, 1, False)


def test_copies_equality_and_properties():
    label = tw.Label("t", (1, 2))
    assert label.add_gds_property(1, "a") is label
    for other in (label.copy(), copy.copy(label), copy.deepcopy(label)):
        assert other == label and other._id != label._id
        assert other.properties.S_GDS_PROPERTY == (1, b"a")
        other.text = "u"
        assert other != label
    assert label != tw.Label("t", (1, 2), scaling=2)
