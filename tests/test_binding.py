"""Conventions every exposed type shares: wrappers, converters, diagnostics."""
import copy
import gc

import numpy as np
import pytest

import tarnwhistle as tw


class TestWrappers:
    def test_subclass_instance_wraps_its_own_object(self):
        class Tagged(tw.Rectangle):
            pass

        r = Tagged(center=(1, 2), size=(3, 4))
        assert type(r) is Tagged
        assert r.translate((1, 1)) is r
        assert type(r.copy()) is tw.Rectangle  # copies are plain instances

    def test_object_attribute_returns_identical_wrapper(self):
        r = tw.Rectangle(size=(1, 1))
        first = r.properties
        assert r.properties is first
        first.tag = "x"
        del first
        gc.collect()
        assert r.properties.tag == b"x"  # the core object outlived its wrapper

    def test_equality_ignores_identity_and_properties(self):
        a = tw.Rectangle(center=(0, 0), size=(2, 1))
        b = tw.Rectangle(center=(0, 0), size=(2, 1))
        b.properties.note = "different"
        assert a == b and not (a != b) and a._id != b._id
        assert (a == tw.Circle(1)) is False and a != "text"
        for op in ("__lt__", "__le__", "__gt__", "__ge__"):
            assert getattr(a, op)(b) is NotImplemented
        with pytest.raises(TypeError):
            a < b

    @pytest.mark.parametrize("make", [
        lambda: tw.Rectangle(size=(1, 2)), lambda: tw.Circle(1),
        lambda: tw.Polygon([(0, 0), (1, 0), (0, 1)]), lambda: tw.Label("t"),
        lambda: tw.Expression("x", "2 * x + 1"),
    ])
    def test_copy_protocols(self, make):
        obj = make()
        obj.properties.key = 1
        for duplicate in (obj.copy(), copy.copy(obj), copy.deepcopy(obj), obj.__deepcopy__({})):
            assert duplicate == obj and duplicate is not obj and duplicate._id != obj._id
            assert duplicate.properties == obj.properties
            assert duplicate.properties is not obj.properties
        with pytest.raises(TypeError, match=r"^Deepcopy memo must be a dictionary\.$"):
            obj.__deepcopy__(5)

    def test_text_forms_follow_core(self):
        r = tw.Rectangle(center=(1, 0.5), size=(2, 1))
        assert repr(r) == "Rectangle(center=(1, 0.5), size=(2, 1), rotation=0)"
        assert str(r) == "Rectangle at (1, 0.5)"


class TestConverters:
    def test_complex_number_is_a_point(self):
        r = tw.Rectangle(center=1 + 2j, size=(1, 1))
        assert r.center.tolist() == [1.0, 2.0]
        assert isinstance(r.center, np.ndarray) and r.center.dtype == np.float64

    @pytest.mark.parametrize("value, error, message", [
        ([1, 2, 3], TypeError, "'center' must be a sequence of 2 numbers."),
        ("ab", TypeError, "'center' must be a sequence of 2 numbers."),
        (5, TypeError, "'center' must be a sequence of 2 numbers."),
        (["a", 1], RuntimeError, "Error parsing item 'center[0]'."),
        ((1, None), RuntimeError, "Error parsing item 'center[1]'."),
        ((0, 1.0000001e9), ValueError, "'center[1]' is out of range."),  # beyond ±1e9 µm
        ((float("nan"), 0), ValueError, "'center[0]' is out of range."),
    ])
    def test_point_errors(self, value, error, message):
        with pytest.raises(error) as info:
            tw.Rectangle(center=value, size=(1, 1))
        assert str(info.value) == message

    def test_numpy_points_and_radius_pairs(self):
        assert tw.Rectangle(center=np.array([1.5, -2]), size=(1, 1)).center.tolist() == [1.5, -2]
        assert tw.Circle(np.float64(2)).radius.tolist() == [2, 2]
        assert tw.Circle(np.array([2, 1])).radius.tolist() == [2, 1]
        with pytest.raises(RuntimeError, match=r"^Unable to get value from 'radius'\.$"):
            tw.Circle(1 + 2j)  # a number, but without a float value

    def test_number_setter_message(self):
        r = tw.Rectangle(size=(1, 1))
        with pytest.raises(TypeError, match=r"^'rotation' must be a number\.$"):
            r.rotation = "x"
        with pytest.raises(TypeError, match=r"^'x_min' must be a number\.$"):
            r.x_min = None

    def test_parser_names_the_function(self):
        with pytest.raises(TypeError, match="Rectangle"):
            tw.Rectangle(size=(1, 1), bogus=3)
        with pytest.raises(TypeError, match="Circle"):
            tw.Circle()


class TestFailedConstructors:
    """A constructor that raises leaves the object as it was; a new object stays unusable."""

    CASES = [
        (lambda: tw.Rectangle((0, 0), (2, 1)), ((0, 0), (1, "x")), RuntimeError),
        (lambda: tw.Rectangle((0, 0), (2, 1)), ((0, 0), (2e9, 0)), ValueError),
        (lambda: tw.Rectangle((0, 0), (2, 1)), (None, None, (1e9, 0), (4, 4)), ValueError),
        (lambda: tw.Circle(2), (1, (0, 0), 1), ValueError),
        (lambda: tw.Circle(2), (3, (1e9 - 1, 0)), ValueError),
        (lambda: tw.Polygon([(0, 0), (2, 0), (0, 2)]), ([(0, 0), (1, 0), "x"],), RuntimeError),
        (lambda: tw.Polygon([(0, 0), (2, 0), (0, 2)]), ([(0, 0), (1, 0), (0, 1)], 5), TypeError),
        (lambda: tw.Path((0, 0), 1).segment((5, 0)), ((0, 0), -1), ValueError),
        (lambda: tw.Path((0, 0), 1).segment((5, 0)), ((0, 0), 1, 0, "flat"), ValueError),
        (lambda: tw.Label("a"), ("b", (0, 0), "X"), ValueError),
        (lambda: tw.Expression("x", [("y", "x")]), ("x", [("y", "x +")]), RuntimeError),
        (lambda: tw.Interpolator([0, 1], [0, 1]), ([0, 1], [0]), RuntimeError),
    ]

    @pytest.mark.parametrize("make, args, error", CASES)
    def test_object_unchanged(self, make, args, error):
        obj = make()
        before = repr(obj)
        with pytest.raises(error):
            obj.__init__(*args)
        assert repr(obj) == before

    @pytest.mark.parametrize("make, args, error", CASES)
    def test_new_object_unusable(self, make, args, error):
        cls = type(make())
        obj = cls.__new__(cls)
        with pytest.raises(error):
            obj.__init__(*args)
        with pytest.raises(RuntimeError, match=rf"^'tarnwhistle\.{cls.__name__}' object is not initialized\.$"):
            repr(obj)
