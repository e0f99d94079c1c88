import copy
import math

import numpy as np
import pytest

import tarnwhistle as tw


def value(text, x=0.0):
    return tw.Expression("x", text)(x)


class TestGrammar:
    @pytest.mark.parametrize("text, expected", [
        # precedence and associativity
        ("1 + 2 * 3", 7), ("(1 + 2) * 3", 9), ("10 - 4 - 3", 3), ("64 / 4 / 2", 8),
        ("7 % 4 * 2", 6), ("2 * 3 ^ 2", 18), ("2 ^ 3 ^ 2", 512), ("(2 ^ 3) ^ 2", 64),
        ("-7 % 3", math.fmod(-7, 3)), ("7.5 % -2", math.fmod(7.5, -2)),
        # unary signs: a leading minus negates the whole power chain
        ("-2^2", -4), ("(-2)^2", 4), ("--2^2", 4), ("---2^2", -4), ("+-+2", -2),
        ("2^-2", 0.25), ("2^-3^2", 512), ("-2^-2", -0.25), ("3 - -2", 5), ("2 * -3", -6),
        ("-x^2", -9), ("(-x)^2", 9),
        # lists keep their last value
        ("1, 2", 2), ("(1, 2) * 3", 6), ("max(1, (5, 2))", 2),
        # one-argument functions take a power; constants take optional parentheses
        ("sin 0", 0), ("cos 0 + 1", 2), ("sqrt 16 ^ 2", 16), ("sqrt -4 + 1", math.nan),
        ("abs -3", 3), ("pi", math.pi), ("pi()", math.pi), ("e", math.e), ("e ()", math.e),
        ("sin x^2", math.sin(3) ** 2), ("exp ln 2", 2),
        # numbers as strtod reads them, and every kind of blank
        ("1e-3", 1e-3), (".5", 0.5), ("1.5E+2", 150), ("0x10", 16), ("5.", 5),
        (" \t\r\n1 +\n 2 ", 3),
    ])
    def test_values(self, text, expected):
        assert value(text, 3) == pytest.approx(expected, nan_ok=True)

    @pytest.mark.parametrize("text, position", [
        ("   ", 3), ("1 +", 3), ("1 2", 3), ("1 $", 3), ("$", 1), (".", 1),
        ("max(1)", 6), ("max(1,)", 7), ("atan2(1,2,3)", 10), ("if(1, 2)", 8), ("pow 2", 5),
        ("pi(1)", 4), ("sin", 3), ("(1 + 2", 6), ("1 + 2)", 6), ("unknown + 1", 7),
        ("Sin(0)", 3), ("PI", 2), ("2pi", 3), ("1e", 2), ("x(1)", 2), ("1 +* 2", 4),
        ("x, ", 3), ("_x", 1),
    ])
    def test_errors(self, text, position):
        message = f'Compilation error near position {position} in expression "{text}".'
        with pytest.raises(RuntimeError) as info:
            tw.Expression("x", text)
        assert str(info.value) == message

    def test_folding_matches_evaluation(self):
        # The same computation, once folded at compile time and once read from a parameter.
        text = "sin(c) * c ^ -1.5 + atan2(c, 3) % 0.7 - if(c - 2, log10 c, exp c)"
        folded = tw.Expression("x", [text.replace("c", "2.75") + " + x"])
        variable = tw.Expression(["x", "c"], [text + " + x"])
        for x in (0.0, 1.25, -3.5):
            assert folded(x) == variable(x, 2.75)

    def test_deep_nesting(self):
        depth = 200
        text = "x + (" * depth + "x" + ")" * depth
        assert value(text, 0.5) == (depth + 1) * 0.5

    @pytest.mark.parametrize("opening, closing, position", [
        # the position ends the token that opens level 257
        ("(", ")", 257), ("sin ", "", 4 * 256 + 3), ("-(", ")", 2 * 257),
    ])
    def test_nesting_is_bounded(self, opening, closing, position):
        # Far deeper than the stack could take were the nesting not bounded.
        text = opening * 100_000 + "x" + closing * 100_000
        with pytest.raises(RuntimeError) as info:
            tw.Expression("x", text)
        assert str(info.value).startswith(f"Compilation error near position {position} in expression")
        # 255 levels around the "x" still compile
        expected = 2.0
        for _ in range(255):
            expected = {"(": expected, "sin ": math.sin(expected), "-(": -expected}[opening]
        assert value(opening * 255 + "x" + closing * 255, 2) == pytest.approx(expected)


class TestBuiltins:
    points = [-2.5, -1.0, -0.3, 0.0, 0.4, 1.0, 2.0, 7.25]

    @pytest.mark.parametrize("name, reference", [
        ("abs", np.abs), ("acos", np.arccos), ("asin", np.arcsin), ("atan", np.arctan),
        ("ceil", np.ceil), ("floor", np.floor), ("cos", np.cos), ("sin", np.sin), ("tan", np.tan),
        ("cosh", np.cosh), ("sinh", np.sinh), ("tanh", np.tanh), ("exp", np.exp),
        ("ln", np.log), ("log", np.log), ("log10", np.log10), ("sqrt", np.sqrt),
    ])
    def test_unary(self, name, reference):
        e = tw.Expression("x", f"{name}(x)")
        with np.errstate(all="ignore"):
            expected = reference(np.array(self.points))
        got = np.array([e(x) for x in self.points])
        np.testing.assert_allclose(got, expected, rtol=1e-15, equal_nan=True)

    @pytest.mark.parametrize("name, reference", [
        ("atan2", np.arctan2), ("max", np.fmax), ("min", np.fmin), ("pow", np.power),
        ("and", lambda a, b: np.where(a > 0, b, a)), ("or", lambda a, b: np.where(a > 0, a, b)),
    ])
    def test_binary(self, name, reference):
        e = tw.Expression(["a", "b"], f"{name}(a, b)")
        a, b = np.meshgrid(self.points + [math.nan], self.points + [math.nan])
        with np.errstate(all="ignore"):
            expected = reference(a, b)
            got = np.vectorize(e)(a, b)
        np.testing.assert_allclose(got, expected, rtol=1e-15, equal_nan=True)

    @pytest.mark.parametrize("a, expected", [(1, 2), (0, 3), (-1, 3), (math.nan, 3), (1e-300, 2)])
    def test_if(self, a, expected):
        assert tw.Expression("a", "if(a, 2, 3)")(a) == expected

    def test_domain_errors_give_nan_and_infinity(self):
        e = tw.Expression("x", ["1 / x", "ln x", "sqrt(x - 1)", "0 ^ -1"])
        got = e(0)
        assert got[0] == math.inf and got[1] == -math.inf and math.isnan(got[2]) and got[3] == math.inf

    @pytest.mark.parametrize("name", ["e", "pi", "sin", "max"])
    def test_variables_hide_builtins(self, name):
        assert tw.Expression(name, f"2 * {name}")(1.5) == 3


class TestEntries:
    def test_entries_see_earlier_entries(self):
        e = tw.Expression("u", [("a", 2), ("b", "u^(a - 1)"), "a * b"])
        np.testing.assert_array_equal(e(3), [2, 3, 6])
        assert e.expressions == [("a", 2.0), ("b", "u^(a - 1)"), ("unnamed_2", "a * b")]
        assert e.parameters == ["u"]

    def test_two_parameters(self):
        e = tw.Expression(["x", "y"], ["sqrt(x^2 + y^2)", "atan2(y, x)"])
        np.testing.assert_allclose(e(1, -1), [math.sqrt(2), -math.pi / 4])
        assert e.parameters == ["x", "y"]
        assert [name for name, _ in e.expressions] == ["unnamed_0", "unnamed_1"]

    def test_against_numpy(self):
        e = tw.Expression(["x", "y"], [("r", "sqrt(x^2 + y^2)"), ("t", "atan2(y, x)"),
                                      ("f", "r * cos(3 * t) + exp(-r^2 / 2) % 0.3")])
        rng = np.random.default_rng(7)
        for x, y in rng.uniform(-3, 3, (20, 2)):
            r = np.hypot(x, y)
            t = np.arctan2(y, x)
            np.testing.assert_allclose(e(x, y), [r, t, r * np.cos(3 * t) + np.fmod(np.exp(-r**2 / 2), 0.3)],
                                       rtol=1e-13)

    @pytest.mark.parametrize("items", [
        ["a + 1", ("a", "1")],        # later entry
        [("a", "a + 1")],             # itself
        [("a", "b"), ("b", 1)],
    ])
    def test_later_entries_and_self_are_unknown(self, items):
        with pytest.raises(RuntimeError, match="^Compilation error near position"):
            tw.Expression("x", items)

    @pytest.mark.parametrize("items, names", [
        ("x", ["unnamed_0"]),
        (["x", ("a", 1), "x"], ["unnamed_0", "a", "unnamed_2"]),
        ([("a", 1), "x"], ["a", "unnamed_1"]),
        ([], []),
    ])
    def test_unnamed_entries(self, items, names):
        assert [name for name, _ in tw.Expression("x", items).expressions] == names

    def test_constant_conversions(self):
        e = tw.Expression([], [("a", 3), ("b", np.float32(0.5)), ("c", True), ("d", "a * b + c")])
        np.testing.assert_array_equal(e(), [3, 0.5, 1, 2.5])

    def test_no_expression_entries(self):
        result = tw.Expression(["x", "y"], [])(1, 2)
        assert isinstance(result, np.ndarray) and result.shape == (0,)


class TestConstruction:
    @pytest.mark.parametrize("parameter, expression, message", [
        (1, "x", "Argument 'parameter' must be a string or sequence of strings."),
        (None, "x", "Argument 'parameter' must be a string or sequence of strings."),
        (["x", 2], "x", "Item 'parameter[1]' is not a string."),
        (("x", b"y"), "x", "Item 'parameter[1]' is not a string."),
        ("x", 1.0, "Argument 'expression' must be a string, a 2-tuple or a list of those."),
        ("x", ("a", "x", "y"), "Argument 'expression' must be a string, a 2-tuple or a list of those."),
        ("x", ["x", ["a", "x"]], "Argument 'expression' must be a string, a 2-tuple or a list of those."),
        ("x", ("x",), "Argument 'expression' must be a string, a 2-tuple or a list of those."),
        ("x", (1, "x"), "Expression tuples must contain a name string as first item."),
        ("x", [("a", None)], "Expression tuples must contain an expression string or float value as second item."),
        ("x", [("a", 1j)], "Expression tuples must contain an expression string or float value as second item."),
    ])
    def test_argument_errors(self, parameter, expression, message):
        with pytest.raises(TypeError) as info:
            tw.Expression(parameter, expression)
        assert str(info.value) == message

    def test_parser_format(self):
        with pytest.raises(TypeError, match=r"^Expression\(\) missing required argument 'expression'"):
            tw.Expression("x")
        assert tw.Expression(expression="2 * y", parameter="y")(2) == 4


class TestCall:
    e = tw.Expression(["x", "y", "z"], "100 * x + 10 * y + z")

    @pytest.mark.parametrize("args, kwargs, expected", [
        ((1, 2, 3), {}, 123), ((1,), {"z": 3}, 103), ((), {"y": 2}, 20), ((), {}, 0),
        ((), {"z": 1, "x": 2}, 201), ((np.float64(1), 2), {"z": np.int32(4)}, 124),
    ])
    def test_arguments(self, args, kwargs, expected):
        result = self.e(*args, **kwargs)
        assert type(result) is float and result == expected

    def test_too_many_positional(self):
        with pytest.raises(RuntimeError, match=r"^Expression has only 3 parameters, but 4 arguments were provided\.$"):
            self.e(1, 2, 3, 4)

    @pytest.mark.parametrize("args, kwargs, error, message", [
        ((), {"w": 1}, KeyError, "'w' is not a valid parameter name."),
        ((1,), {"x": 1}, KeyError, "Parameter 'x' is already set."),
        ((), {"y": "1"}, TypeError, "Keyword argument values must be floats."),
        ((), {"y": None}, TypeError, "Keyword argument values must be floats."),
    ])
    def test_keyword_errors(self, args, kwargs, error, message):
        with pytest.raises(error) as info:
            self.e(*args, **kwargs)
        assert info.value.args == (message,)

    def test_keyword_names_compare_whole(self):
        with pytest.raises(KeyError) as info:
            self.e(**{"x\0y": 1})
        assert info.value.args == ("'x\0y' is not a valid parameter name.",)

    def test_reinitialised_during_call(self):
        e = tw.Expression("x", "3 * x")

        class Reinitialising:
            def __float__(self):
                e.__init__("y", "100 * y")
                return 2.0

        # The call finishes on the object it started with; later calls see the new one.
        assert e(Reinitialising()) == 6
        assert e(2) == 200

    def test_entry_names_are_not_parameters(self):
        e = tw.Expression("x", [("a", "2 * x"), "a + 1"])
        with pytest.raises(KeyError, match="'a' is not a valid parameter name."):
            e(a=1)

    def test_positional_conversion_error_propagates(self):
        with pytest.raises(TypeError, match="must be real number, not str"):
            self.e("1")

    def test_failed_call_keeps_previous_values(self):
        e = tw.Expression("x", ["2 * x", "x + 1"])
        np.testing.assert_array_equal(e(1), [2, 2])
        with pytest.raises(KeyError):
            e(x=1, y=2)
        assert e.expressions == [("unnamed_0", "2 * x"), ("unnamed_1", "x + 1")]


class TestObject:
    def test_text_forms(self):
        e = tw.Expression(["u", "v"], [("a", 0.1), ("b", "u^(a - 1)"), "a * b * v"])
        assert str(e) == "a = 0.1\nb = u^(a - 1)\nunnamed_2 = a * b * v"
        assert repr(e) == ('Expression(parameter=[u, v], expression=[("a", 0.1), '
                           '("b", "u^(a - 1)"), ("unnamed_2", "a * b * v")])')
        single = tw.Expression("t", ("c", 1 / 3))
        assert str(single) == "c = 0.333333"
        assert repr(single) == 'Expression(parameter=t, expression=("c", 0.333333))'

    @pytest.mark.parametrize("other, equal", [
        (tw.Expression(["x", "y"], [("a", 1), ("b", "x + a")]), True),
        (tw.Expression(["x", "z"], [("a", 1), ("b", "x + a")]), False),
        (tw.Expression(["x"], [("y", 0), ("a", 1), ("b", "x + a")]), False),
        (tw.Expression(["x", "y"], [("a", 2), ("b", "x + a")]), False),
        (tw.Expression(["x", "y"], [("a", 1), ("b", "x+a")]), False),
        (tw.Expression(["x", "y"], [("a", 1), ("c", "x + a")]), False),
        (tw.Expression(["x", "y"], [("a", 1)]), False),
    ])
    def test_equality(self, other, equal):
        e = tw.Expression(["x", "y"], [("a", 1), ("b", "x + a")])
        assert (e == other) is equal and (e != other) is not equal
        assert e == e
        with pytest.raises(TypeError):
            e < other

    def test_equality_ignores_evaluated_values(self):
        a = tw.Expression("x", "x")
        b = tw.Expression("x", "x")
        a(5)
        assert a == b

    @pytest.mark.parametrize("make_copy", [
        lambda e: e.copy(), copy.copy, copy.deepcopy, lambda e: e.__deepcopy__({}),
    ])
    def test_copies_are_independent(self, make_copy):
        e = tw.Expression("x", [("k", 3), ("a", "k * x"), "a + 1"])
        e.properties.tag = "orig"
        c = make_copy(e)
        assert c == e and c is not e and c._id != e._id
        assert c.properties.tag == b"orig" and c.properties is not e.properties
        # The copy reads its own slots: evaluating one leaves the other untouched.
        np.testing.assert_array_equal(c(2), [3, 6, 7])
        np.testing.assert_array_equal(e(5), [3, 15, 16])
        np.testing.assert_array_equal(c(2), [3, 6, 7])
        del e
        np.testing.assert_array_equal(c(1), [3, 3, 4])

    def test_deepcopy_memo_must_be_dict(self):
        with pytest.raises(TypeError, match="^Deepcopy memo must be a dictionary.$"):
            tw.Expression("x", "x").__deepcopy__([])

    def test_properties_assignment(self):
        e = tw.Expression("x", "x")
        with pytest.raises(TypeError, match="^Value must be an instance of 'Properties'.$"):
            e.properties = {"a": 1}
        e.properties = tw.Properties(a=1)
        assert e.properties.a == 1

    @pytest.mark.parametrize("attribute", ["parameters", "expressions"])
    def test_read_only(self, attribute):
        e = tw.Expression("x", "x")
        with pytest.raises(AttributeError):
            setattr(e, attribute, [])

    def test_subclass(self):
        class Scaled(tw.Expression):
            pass

        s = Scaled("x", "3 * x")
        assert s(2) == 6 and type(s.copy()) is tw.Expression
