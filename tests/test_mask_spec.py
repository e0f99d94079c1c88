"""Mask specifications: the data model, the expression language, formatting and operators.

Exception types: argument types (operands, operators, 'layer_names', 'technology') raise
TypeError; argument values (an operation symbol, out-of-range lengths, unknown layer names
in arguments, too deep nesting) raise ValueError; every failure of `MaskSpec.parse` (syntax,
and layer names the technology lacks) raises RuntimeError.
"""

import random
import re

import fenn3d
import numpy as np
import pytest

import tarnwhistle as tw

M = tw.MaskSpec
parse = M.parse

OPERAND_TYPES = "Operands must be either a layer, a MaskSpec, or an iterable of those."
ITEM_TYPES = "All items in 'operands' must be MaskSpec instances or layers."
OPERATOR_TYPES = "Operation can only be performed between MaskSpec instances and layers."
DILATION_TYPES = "Dilation operation can only be performed between MaskSpec instances and a number."
OPERATION_VALUES = "Argument 'operation' must be one of '+', '*', '-', or '^'."
TOO_DEEP = "Masks cannot nest more than 300 levels."


def op(left, right, operation="+", **fields):
    """The mask the grammar's binary operations build: [left] operation [right]."""
    return M([left], [right], operation, **fields)


def leaf(layer, **fields):
    return M(layer, **fields)


BOUNDS = M()


def parse_failure(text, position):
    return pytest.raises(RuntimeError, match="^" + re.escape(
        f"Failed parsing expression <{text}> at position {position}.") + "$")


@pytest.fixture(scope="module")
def names_technology():
    """Names that need escapes, a non-ASCII name, and two names of one layer."""
    layers = {name: tw.LayerSpec(layer, "x") for name, layer in [
        ("A", (1, 0)), ("B", (2, 0)), ("B2", (2, 0)), ("it's", (3, 0)), ("back\\slash", (4, 1)),
        ('"q"', (5, 2)), ("é", (6, 0))]}
    return tw.Technology("Names", "1", layers, [], {}, fenn3d.Medium(permittivity=1))


@pytest.fixture(scope="module")
def basic():
    return tw.basic_technology()


# ---- Grammar ---------------------------------------------------------------------------


@pytest.mark.parametrize("text, expected", [
    # Unary minus binds tighter than "*", "*" tighter than "+" and "-", those tighter than "^".
    ("-(0, 0) * (10, 0)", op(op(BOUNDS, leaf((0, 0)), "-"), leaf((10, 0)), "*")),
    ("(1, 0) + (2, 0) * (3, 0)", op(leaf((1, 0)), op(leaf((2, 0)), leaf((3, 0)), "*"))),
    ("(1, 0) ^ (2, 0) + (3, 0)", op(leaf((1, 0)), op(leaf((2, 0)), leaf((3, 0))), "^")),
    ("(1, 0) - (2, 0) + (3, 0)", op(op(leaf((1, 0)), leaf((2, 0)), "-"), leaf((3, 0)))),
    ("(1, 0) ^ (2, 0) ^ (3, 0)", op(op(leaf((1, 0)), leaf((2, 0)), "^"), leaf((3, 0)), "^")),
    ("(1, 0) * (2, 0) * (3, 0)", op(op(leaf((1, 0)), leaf((2, 0)), "*"), leaf((3, 0)), "*")),
    ("(1, 0) - ((2, 0) - (3, 0))", op(leaf((1, 0)), op(leaf((2, 0)), leaf((3, 0)), "-"), "-")),
    ("(1, 0) - -(2, 0)", op(leaf((1, 0)), op(BOUNDS, leaf((2, 0)), "-"), "-")),
    ("-(1, 0) ** 0.5", op(BOUNDS, leaf((1, 0), dilation=0.5), "-")),
    ("(1, 0) ** 0.5 * (2, 0)", op(leaf((1, 0), dilation=0.5), leaf((2, 0)), "*")),
    # Bounds, empty text, whitespace anywhere between tokens.
    ("()", BOUNDS),
    ("", BOUNDS),
    (" \t\r\n", BOUNDS),
    ("(\t4294967295 ,\n0\r) ", leaf((4294967295, 0))),
    ("(007, 0)", leaf((7, 0))),
    ("((((1, 0))))", leaf((1, 0))),
    ("() - ()", op(BOUNDS, BOUNDS, "-")),
])
def test_precedence_and_primaries(text, expected):
    assert parse(text) == expected


def test_dilation_merges_unless_signs_differ():
    assert parse("((1, 0) ** 0.1) ** 0.2") == leaf((1, 0), dilation=0.3)
    assert parse("((1, 0) ** -0.1) ** -0.2") == leaf((1, 0), dilation=-0.3)
    nested = parse("((1, 0) ** 0.1) ** -0.2")
    assert nested == M([leaf((1, 0), dilation=0.1)], dilation=-0.2)
    assert nested.layer is None and nested.operand2 == []
    # A zero amount on either side merges.
    assert parse("((1, 0) ** 0) ** -0.2") == leaf((1, 0), dilation=-0.2)
    assert parse("(1, 0) ** 0.000001") == leaf((1, 0))  # below one database unit
    # A binary operation carries its own dilation.
    assert parse("((1, 0) + (2, 0)) ** 0.5") == op(leaf((1, 0)), leaf((2, 0)), dilation=0.5)


def test_example_erosion_of_a_named_union(basic):
    mask = parse("('WG_CORE' + 'WG_CLAD') ** -0.1", basic)
    assert mask == op(leaf((2, 0)), leaf((1, 0)), dilation=-0.1)


def test_translations_merge_and_commute_with_dilations():
    a = parse("(1, 0) @ (2, 0) ** 0.5")
    assert a == parse("(1, 0) ** 0.5 @ (2, 0)") == leaf((1, 0), dilation=0.5, translation=(2, 0))
    assert parse("((1, 0) @ (1, 2)) @ (-3, 0.5)") == leaf((1, 0), translation=(-2, 2.5))
    # After a nesting dilation the translation belongs to the new mask; before it, to the inner.
    inner = leaf((1, 0), dilation=0.1)
    assert parse("((1, 0) ** 0.1) ** -0.2 @ (1, 1)") == M([inner], dilation=-0.2, translation=(1, 1))
    assert parse("((1, 0) ** 0.1) @ (1, 1) ** -0.2") == M(
        [leaf((1, 0), dilation=0.1, translation=(1, 1))], dilation=-0.2)


@pytest.mark.parametrize("amount, value", [
    ("1", 1), ("+1", 1), ("1.", 1), (".5", 0.5), ("-.5", -0.5), ("1e-1", 0.1), ("2.5E+0", 2.5),
    ("(-0.1)", -0.1), ("( 0.25 )", 0.25), ("1e-05", 1e-5), ("1e9", 1e9), ("-0", 0),
])
def test_number_literals(amount, value):
    assert parse(f"(1, 0) ** {amount}") == leaf((1, 0), dilation=value)
    assert parse(f"(1, 0) @ ({amount}, {amount})") == leaf((1, 0), translation=(value, value))


@pytest.mark.parametrize("amount", ["- 1", "((1))", "inf", "nan", "1e400", "1e10", "e5", ".", "+-1",
                                    "'1'", "(1, 0)"])
def test_numbers_that_do_not_parse(amount):
    with parse_failure(f"(1, 0) ** {amount}", 7):
        parse(f"(1, 0) ** {amount}")
    # Hexadecimal and other forms stop after their decimal start.
    for text in ["(1, 0) ** 0x10", "(1, 0) ** 1,5", "(1, 0) ** 1e"]:
        with parse_failure(text, 11):
            parse(text)


@pytest.mark.parametrize("text, position", [
    ("(1, 0) )", 7),
    ("(1, 0) ** 0.1 ** 0.2", 14),  # one dilation per primary
    ("(1, 0) @ (1, 2) @ (3, 4)", 16),
    ("(1, 0) +", 7),
    ("(1, 0) + ", 7),
    ("  + (1, 0)", 2),
    (")", 0),
    ("(1, 0) (2, 0)", 7),
    ("(1, 0", 0),
    ("(4294967296, 0)", 0),
    ("(-1, 0)", 0),
    ("(1.0, 0)", 0),
    ("(1, 0, 0)", 0),
    ("'unterminated", 0),
    ("'escaped end\\'", 0),
    ("(1, 0) @ (1)", 7),
    ("(1, 0) ** x", 7),
    ("(1, 0) * * (2, 0)", 7),
    ("--(1, 0)", 0),
    ("(1, 0) ** 1 @ (2, 2) ** 1", 21),
    ("(1, 0) \x00", 7),
])
def test_failure_positions(text, position):
    with parse_failure(text, position):
        parse(text)


def test_positions_count_characters(names_technology):
    with parse_failure("('é' + 'é') )", 12):
        parse("('é' + 'é') )", names_technology)


def test_quoted_names(names_technology):
    t = names_technology
    assert parse("'A' + \"B\"", t) == op(leaf((1, 0)), leaf((2, 0)))
    assert parse(r"'it\'s' * 'back\\slash'", t) == op(leaf((3, 0)), leaf((4, 1)), "*")
    assert parse(r"'\"q\"'", t) == parse("'\"q\"'", t) == leaf((5, 2))
    assert parse(r"'\A'", t) == leaf((1, 0))  # a backslash takes any next character as is


def test_layer_name_failures(names_technology, basic):
    with pytest.raises(RuntimeError, match=r"^LayerSpec name 'C' not found in technology 'Names'\.$"):
        parse("'A' + 'C'", names_technology)
    with pytest.raises(RuntimeError, match=r"^LayerSpec name 'it's' not found in technology 'Basic Technology'\.$"):
        parse(r"'it\'s'", basic)
    # The default technology (the basic one unless configured) resolves names when none is given.
    assert parse("'SLAB'") == leaf((3, 0))
    with pytest.raises(TypeError, match="Argument 'technology' must be a Technology instance or None."):
        parse("(1, 0)", 5)
    with pytest.raises(TypeError):
        parse(b"(1, 0)")
    # "Technology must be provided to parse layer name '...'" needs a missing technology, which
    # the binding never passes (None means the default); the fuzz target covers it.


def test_deep_nesting_fails_cleanly():
    for text in ["(" * 100000, "(" * 100000 + "(1, 0)" + ")" * 100000, "-(" * 50000, "((" * 3000 + ")"]:
        with pytest.raises(RuntimeError) as failure:
            parse(text)
        message = str(failure.value)
        assert message == f"Failed parsing expression <{text}> at position 0."
    assert parse("(" * 900 + "(1, 0)" + ")" * 900) == leaf((1, 0))
    # The worst pattern: three operators per parenthesis, failing deep inside.
    with parse_failure("(1, 0) ^ (2, 0) * -(" * 900, 16):
        parse("(1, 0) ^ (2, 0) * -(" * 900)


def test_mask_depth_is_bounded():
    chain = " + ".join(["(1, 0)"] * 300)  # 299 operations: 300 levels
    assert parse(chain).operand1[0].operand1[0].operand2 == [leaf((1, 0))]
    longer = chain + " + (1, 0)"
    with parse_failure(longer, len(chain) + 1):
        parse(longer)
    mask = leaf((1, 0))
    for _ in range(299):
        mask = mask + (1, 0)
    assert parse(mask.format()) == mask == parse(chain)
    with pytest.raises(ValueError, match=TOO_DEEP):
        mask + (1, 0)
    with pytest.raises(ValueError, match=TOO_DEEP):
        M(mask)
    with pytest.raises(ValueError, match=TOO_DEEP):
        -mask
    with pytest.raises(ValueError, match=TOO_DEEP):
        leaf((1, 0), dilation=0.1).operand2 = [mask]
    assert mask ** 0.5 == parse(f"({chain}) ** 0.5")  # merging adds no level


def test_random_text_parses_or_fails_with_its_position():
    rng = random.Random(1234)
    technology = tw.basic_technology(core_layer=(7, 0), slab_layer=(8, 0))
    tokens = ["(", ")", "()", ",", "+", "-", "*", "^", "**", "@", " ", "(1, 0)", "(2,3)", "0.5",
              "-1e-2", "'SLAB'", '"WG_CORE"', "'A'", "\\", "'", "1", "\t"]
    tokens += ["(1, 0)", "(2,3)", "'SLAB'", " + ", " * ", " - ", " ** 0.5", " @ (1, 2)"] * 3
    parsed = 0
    for i in range(3000):
        if i % 3 == 0:
            text = "".join(chr(rng.randrange(1, 0x2FF)) for _ in range(rng.randrange(60)))
        else:
            text = "".join(rng.choice(tokens) for _ in range(rng.randrange(1, 25)))
        try:
            mask = parse(text, technology)
        except RuntimeError as error:
            found = re.fullmatch(r"Failed parsing expression <(.*)> at position (\d+)\.|"
                                 r"LayerSpec name '.*' not found in technology 'Basic Technology'\.",
                                 str(error), re.DOTALL)
            assert found, str(error)
            if found.group(1) is not None:
                assert found.group(1) == text and int(found.group(2)) <= len(text)
            continue
        parsed += 1
        assert parse(mask.format()) == mask
    assert parsed > 50


# ---- Formatting ------------------------------------------------------------------------


@pytest.mark.parametrize("text", [
    "(1, 0) + (2, 0) * (3, 0)",
    "((1, 0) + (2, 0)) * (3, 0)",
    "(1, 0) ^ (2, 0) + (3, 0)",
    "((1, 0) ^ (2, 0)) - (3, 0)",
    "(1, 0) - ((2, 0) - (3, 0))",
    "(1, 0) - (2, 0) - (3, 0)",
    "-(0, 0) * (10, 0)",
    "-((0, 0) * (10, 0))",
    "-(1, 0) ** 0.5",
    "(1, 0) * -(2, 0)",
    "-(-(1, 0))",
    "(1, 0) ** -0.1 @ (1.5, -2)",
    "((1, 0) ** 0.1) ** -0.2",
    "((1, 0) ** 0.1 @ (1, 1)) ** -0.2 @ (0, 1e-05)",
    "((1, 0) + (2, 0)) ** 1e-05",
    "(-(1, 0)) @ (1, 1)",
    "()",
    "() ** 2",
    "-()",
    "() * (1, 0)",
])
def test_format_writes_canonical_text(text):
    mask = parse(text)
    assert mask.format({}) == text == str(mask)


def test_format_names(names_technology, basic):
    mask = parse(r"'A' - 'B' * 'it\'s' ^ 'back\\slash' + (9, 9)", names_technology)
    # The first name of a layer in name order wins ("B" before "B2").
    expected = r"'A' - 'B' * 'it\'s' ^ 'back\\slash' + (9, 9)"
    assert mask.format(technology=names_technology) == expected
    assert parse(expected, names_technology) == mask
    assert mask.format(technology=basic) == "'WG_CLAD' - 'WG_CORE' * 'SLAB' ^ (4, 1) + (9, 9)"
    assert mask.format() == mask.format(technology=tw.config.default_technology)
    # layer_names wins over the technology, which is then not even looked at.
    names = {(1, 0): "x'y", (9, 9): "Z", (7, 7): "unused"}
    assert mask.format(names, names_technology) == r"'x\'y' - (2, 0) * (3, 0) ^ (4, 1) + 'Z'"
    assert mask.format(layer_names=names, technology=5) == mask.format(names)
    assert mask.format({}) == str(mask)
    with pytest.raises(TypeError, match="Argument 'technology' must be a Technology instance or None."):
        mask.format(technology="Names")


@pytest.mark.parametrize("names, message", [
    ([((1, 0), "A")], "Argument 'layer_names' must be a dictionary."),
    ({(1, 0): 5}, "Argument 'layer_names' must be a dictionary mapping layer tuples to strings."),
    ({"A": "A"}, "Argument 'layer_names' must be a dictionary mapping layer tuples to strings."),
    ({(1, 0, 0): "A"}, "Argument 'layer_names' must be a dictionary mapping layer tuples to strings."),
    ({1: "A"}, "Argument 'layer_names' must be a dictionary mapping layer tuples to strings."),
    ({(-1, 0): "A"}, "Error converting item 0 from layer sequence to positive integer."),
    ({(1, "a"): "A"}, "Error converting item 1 from layer sequence to positive integer."),
    ({(1, 2**32): "A"}, "Error converting item 1 from layer sequence to positive integer."),
])
def test_format_layer_name_errors(names, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        leaf((1, 0)).format(names)


def test_format_of_other_operand_shapes_reads_back_as_the_same_region():
    # Several operands in one list, or an empty operand list beside a non-empty one, have no
    # form of their own in the grammar: they are written as the equivalent expression.
    cases = [
        (M([(1, 0), (2, 0)]), "(1, 0) + (2, 0)"),
        (M([(1, 0), (2, 0)], [(3, 0), op(leaf((4, 0)), leaf((5, 0)), "-")], "*"),
         "((1, 0) + (2, 0)) * ((3, 0) + ((4, 0) - (5, 0)))"),
        (M(operand2=(1, 0), operation="-"), "-(1, 0)"),
        (M(operand2=[(1, 0), (2, 0)], operation="-", dilation=1), "(-((1, 0) + (2, 0))) ** 1"),
        (M(operand2=(1, 0), operation="^"), "() ^ (1, 0)"),
        (M([(1, 0)], operation="*"), "-()"),
        (M([(1, 0)], operation="*") + (1, 0), "-() + (1, 0)"),
        (M(operation="*", translation=(1, 1)), "(-()) @ (1, 1)"),
        (M((1, 0), operation="-"), "(1, 0)"),
    ]
    for mask, text in cases:
        assert mask.format({}) == text == str(mask)
        assert str(parse(text)) == text
    # Dilations of one sign written one after the other merge when read back.
    mask = M([leaf((1, 0), dilation=0.5)], dilation=0.5)
    assert str(mask) == "((1, 0) ** 0.5) ** 0.5" and parse(str(mask)) == leaf((1, 0), dilation=1)


# ---- Round trips of generated masks ----------------------------------------------------

AMOUNTS = [-1.5, -0.3, -0.1, -1e-05, 1e-05, 0.05, 0.1, 2]


def random_mask(rng, depth):
    """Masks as the operators, the dilation rule and translations build them."""
    roll = rng.random()
    if depth == 0 or roll < 0.25:
        mask = leaf((rng.randrange(6), rng.randrange(3))) if rng.random() < 0.85 else M()
    elif roll < 0.8:
        a, b = random_mask(rng, depth - 1), random_mask(rng, depth - 1)
        if rng.random() < 0.3:
            a = a.layer if a.layer is not None and a.dilation == 0 and not a.uses_translation() else a
        mask = [lambda: a + b, lambda: a - b, lambda: a * b, lambda: a ^ b][rng.randrange(4)]()
    else:
        mask = -random_mask(rng, depth - 1)
    for _ in range(rng.randrange(3)):
        if rng.random() < 0.5:
            mask = mask ** rng.choice(AMOUNTS)
        else:
            mask.translation = (rng.choice(AMOUNTS), rng.uniform(-1e3, 1e3))
    return mask


def test_generated_masks_round_trip(names_technology):
    rng = random.Random(20240607)
    for _ in range(400):
        mask = random_mask(rng, rng.randrange(6))
        for technology in (None, names_technology):
            text = mask.format(technology=technology) if technology else str(mask)
            again = parse(text, names_technology)
            assert again == mask, text
            assert (again.format(technology=technology) if technology else str(again)) == text
        assert eval(repr(mask), {"MaskSpec": M}) == mask


def test_representation_rebuilds_every_shape():
    for mask in [M(), leaf((1, 0), operation="^", dilation=-2, translation=(1, 1e-05)),
                 M([(1, 0), (2, 0)], [M(), M(operand2=(3, 0))], "-", 0.5),
                 M(operand2=[(1, 0)], operation="-")]:
        assert eval(repr(mask), {"MaskSpec": M}) == mask
    assert repr(leaf((1, 0), dilation=0.5)) == "MaskSpec(operand1=(1, 0), dilation=0.5)"
    assert repr(M()) == "MaskSpec()"


# ---- Constructor and attributes --------------------------------------------------------


def test_operand_forms():
    assert M((1, 0)).layer == (1, 0)
    assert M([1, 0]).layer == (1, 0) and M(np.array([1, 0])).layer == (1, 0)
    assert M("WG_CORE").layer == (2, 0)  # a name of the default technology
    assert M((1, 0), dilation=0.5).layer == (1, 0)  # a leaf keeps the other arguments
    listed = M([(1, 0)])
    assert listed.layer is None and listed.operand1 == [leaf((1, 0))]
    assert M((1, 0), (2, 0)) == op(leaf((1, 0)), leaf((2, 0)))
    assert M((1, 0), (2, 0)).layer is None
    inner = leaf((3, 0), dilation=1)
    mixed = M([(1, 0), "SLAB", inner, [4, 1]], ((5, 0), (6, 0)))
    assert mixed.operand1 == [leaf((1, 0)), leaf((3, 0)), inner, leaf((4, 1))]
    assert mixed.operand2 == [leaf((5, 0)), leaf((6, 0))]
    assert M(l for l in [(1, 0), (2, 0)]).operand1 == [leaf((1, 0)), leaf((2, 0))]
    assert M([]) == M(None) == M() and M(inner).operand1 == [inner]
    assert M(operand2=(1, 0)).operand1 == []


@pytest.mark.parametrize("arguments, error, message", [
    ({"operation": "x"}, ValueError, OPERATION_VALUES),
    ({"operation": "+-"}, ValueError, OPERATION_VALUES),
    ({"operation": ""}, ValueError, OPERATION_VALUES),
    ({"operation": 1}, TypeError, OPERATION_VALUES),
    ({"operand1": 5}, TypeError, OPERAND_TYPES),
    ({"operand2": 1.5}, TypeError, OPERAND_TYPES),
    ({"operand1": b"ab"}, TypeError, OPERAND_TYPES),
    ({"operand1": [5]}, TypeError, ITEM_TYPES),
    ({"operand1": [(1, 0, 0)]}, TypeError, ITEM_TYPES),
    ({"operand1": [[(1, 0)]]}, TypeError, ITEM_TYPES),
    ({"operand2": [(1.0, 0)]}, TypeError, ITEM_TYPES),
    ({"operand1": (-1, 0)}, TypeError, "Error converting item 0 from layer sequence to positive integer."),
    ({"operand1": [(1, 2**32)]}, TypeError, "Error converting item 1 from layer sequence to positive integer."),
    ({"operand1": "NOPE"}, ValueError, "LayerSpec name 'NOPE' not found in technology 'Basic Technology'."),
    ({"dilation": 1e10}, ValueError, "'dilation' is out of range."),
    ({"translation": (1, 2, 3)}, TypeError, "'translation' must be a sequence of 2 numbers."),
])
def test_constructor_errors(arguments, error, message):
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        M(**arguments)


def test_attributes():
    mask = M([(1, 0)], (2, 0), "-", 0.25, (1, -2))
    assert mask.operand1 == [leaf((1, 0))] and mask.operand2 == [leaf((2, 0))]
    assert (mask.operation, mask.dilation, mask.translation.tolist()) == ("-", 0.25, [1, -2])
    # Operands are values: changing a returned operand leaves the mask alone.
    mask.operand1[0].dilation = 3
    assert mask.operand1 == [leaf((1, 0))]
    mask.operation = "^"
    mask.dilation = -1
    mask.translation = (0, 0)
    mask.operand2 = [(3, 0), "SLAB"]
    assert mask == M([(1, 0)], [(3, 0), (3, 0)], "^", -1)
    single = leaf((1, 0))
    single.operand2 = (2, 0)  # operands turn a leaf into a combination
    assert single.layer is None and single == M(operand2=[(2, 0)])
    with pytest.raises(AttributeError):
        mask.layer = (1, 0)
    for name in ["operand1", "operand2", "operation", "dilation", "translation"]:
        with pytest.raises(TypeError):
            delattr(mask, name)
    for name, value, error in [("operation", "**", ValueError), ("operation", None, TypeError),
                               ("dilation", "1", TypeError), ("dilation", 2e9, ValueError),
                               ("operand1", 3, TypeError), ("translation", None, TypeError)]:
        with pytest.raises(error):
            setattr(mask, name, value)
    assert mask == M([(1, 0)], [(3, 0), (3, 0)], "^", -1)


def test_layers_and_translation_use():
    mask = parse("((1, 0) + (2, 1) @ (0, 1)) * -(3, 0) ** 2 ^ ()")
    assert mask.get_layers() == {(1, 0), (2, 1), (3, 0)}
    assert mask.uses_translation() and not parse("(1, 0) + (2, 0) ** 1").uses_translation()
    assert M().get_layers() == set()


def test_equality_copies_and_identity():
    a = parse("((1, 0) ** 0.1) ** -0.2 @ (1, 1) + (2, 0)")
    for copy in [a.copy(), a.__copy__(), a.__deepcopy__({})]:
        assert copy == a and not copy != a and copy._id != a._id
        copy.operand1[0].dilation = 5  # a new object each time: no effect
        copy.dilation = 1
        assert copy != a
    with pytest.raises(TypeError):
        a < a  # noqa: B015
    assert a != "(1, 0)" and a != (1, 0)
    # Each value field counts; identity and properties do not.
    base = dict(operand1=[(1, 0)], operand2=[(2, 0)], operation="-", dilation=1, translation=(1, 1))
    for field, other in [("operand1", [(1, 1)]), ("operand2", []), ("operation", "+"),
                         ("dilation", -1), ("translation", (1, 0))]:
        assert M(**base) != M(**dict(base, **{field: other}))
    b = M(**base)
    b.properties.note = "x"
    assert b == M(**base)
    assert leaf((1, 0)) != M([(1, 0)])


# ---- Operators -------------------------------------------------------------------------


def test_operators_build_binary_masks():
    a, b = leaf((1, 0)), parse("(2, 0) ** 1")
    for symbol, result in [("+", a + b), ("*", a * b), ("-", a - b), ("^", a ^ b)]:
        assert result == op(a, b, symbol) == parse(f"(1, 0) {symbol} (2, 0) ** 1")
    assert (1, 0) + b == a + b
    assert (1, 0) - b == op(a, b, "-") and b - (1, 0) == op(b, a, "-")
    assert [1, 0] * b == op(a, b, "*") and b ^ "SLAB" == op(b, leaf((3, 0)), "^")
    assert -a == op(BOUNDS, a, "-") == parse("-(1, 0)")
    c = a
    c += b
    assert c == a + b and a == leaf((1, 0))


def test_power_follows_the_dilation_rule():
    a = leaf((1, 0))
    assert a ** 0.1 == leaf((1, 0), dilation=0.1)
    assert (a ** 0.1) ** 0.2 == leaf((1, 0), dilation=0.3)
    assert (a ** 0.1) ** -0.2 == M([a ** 0.1], dilation=-0.2) == parse("((1, 0) ** 0.1) ** -0.2")
    assert a ** 0 == a and a ** np.float64(1) == a ** 1
    with pytest.raises(ValueError, match="'dilation' is out of range."):
        a ** 1e10
    with pytest.raises(ValueError, match="Coordinates exceed the supported range"):
        (a ** 9e8) ** 9e8


@pytest.mark.parametrize("call, error, message", [
    (lambda a: a + 5, TypeError, OPERATOR_TYPES),
    (lambda a: 5 * a, TypeError, OPERATOR_TYPES),
    (lambda a: a - [(1, 0), (2, 0)], TypeError, OPERATOR_TYPES),
    (lambda a: a ^ (1, 0, 0), TypeError, OPERATOR_TYPES),
    (lambda a: a + (-1, 0), TypeError, "Error converting item 0 from layer sequence to positive integer."),
    (lambda a: a + "NOPE", ValueError, "LayerSpec name 'NOPE' not found in technology 'Basic Technology'."),
    (lambda a: a ** "1", TypeError, DILATION_TYPES),
    (lambda a: a ** a, TypeError, DILATION_TYPES),
    (lambda a: 2 ** a, TypeError, DILATION_TYPES),
    (lambda a: (1, 0) ** a, TypeError, DILATION_TYPES),
    (lambda a: pow(a, 1, 2), TypeError, DILATION_TYPES),
    (lambda a: a ** 1j, TypeError, DILATION_TYPES),
])
def test_operator_errors(call, error, message):
    with pytest.raises(error, match="^" + re.escape(message) + "$"):
        call(leaf((1, 0)))


def test_extrusion_specification_shares_its_mask():
    mask = parse("(1, 0) - (2, 0)")
    spec = tw.ExtrusionSpec(mask, fenn3d.Medium(permittivity=2), (0, 1))
    assert spec.mask_spec is mask and spec.mask_layers() == {(1, 0), (2, 0)}


# ---- Evaluation against a component ------------------------------------------------------


def test_evaluation_matches_shapely_on_a_hierarchy():
    pytest.importorskip("shapely")
    from shapely import affinity
    from shapely.geometry import box
    from shapely.ops import unary_union

    rng = np.random.default_rng(7)
    tech = tw.basic_technology()
    leaf = tw.Component("LEAF", technology=tech)
    top = tw.Component("TOP", technology=tech)
    shapes = {(1, 0): [], (2, 0): [], (3, 0): []}
    for layer in shapes:
        for _ in range(6):
            x, y = rng.integers(0, 20, 2)
            w, h = rng.integers(1, 8, 2)
            leaf.add(layer, tw.Rectangle((x, y), (x + w, y + h)))
            shapes[layer].append(box(x, y, x + w, y + h))
    top.add(tw.Reference(leaf), tw.Reference(leaf, (40, 5), rotation=90))
    placed = {layer: unary_union(items + [affinity.translate(affinity.rotate(g, 90, origin=(0, 0)), 40, 5)
                                          for g in items])
              for layer, items in shapes.items()}
    xmin, ymin, xmax, ymax = unary_union(list(placed.values())).bounds
    everything = box(xmin, ymin, xmax, ymax)
    a, b, c = placed[(1, 0)], placed[(2, 0)], placed[(3, 0)]
    grow = lambda g, d: g.buffer(d, join_style=2, mitre_limit=10)  # noqa: E731
    cases = {
        "(1, 0) + (2, 0)": a.union(b),
        "(1, 0) * (2, 0)": a.intersection(b),
        "(1, 0) - (2, 0) - (3, 0)": a.difference(b).difference(c),
        "(1, 0) ^ (3, 0)": a.symmetric_difference(c),
        "-(2, 0)": everything.difference(b),
        "((1, 0) + (2, 0)) ** 0.5": grow(a.union(b), 0.5),
        "(3, 0) ** -0.25 @ (3, -2)": affinity.translate(grow(c, -0.25), 3, -2),
        "((1, 0) ** 1) ** -0.5": grow(grow(a, 1), -0.5),
    }
    for text, expected in cases.items():
        polygons = top.build_mask(tw.MaskSpec.parse(text))
        area = sum(p.area() for p in polygons)
        assert area == pytest.approx(expected.area, abs=1e-6), text
