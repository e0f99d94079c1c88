"""Time series: construction, indexing, joining in time and text forms."""

import copy
import re

import numpy as np
import pytest

import tarnwhistle as tw


def test_rows_are_padded_and_indexed_by_key_and_time_index():
    s = tw.TimeSeries({"A": [1, 2], "B": [3j]}, 0.5, 5)
    assert list(s.values) == ["A", "B"]
    np.testing.assert_array_equal(s["B"], [3j, 0])
    assert s["A"].dtype == complex
    assert s[5] == {"A": 1, "B": 3j} and s[6] == {"A": 2, "B": 0}
    np.testing.assert_allclose(s.times, [2.5, 3.0])
    keys, matrix = s._raw_data
    assert list(keys) == ["A", "B"]
    np.testing.assert_array_equal(matrix, [[1, 2], [3j, 0]])
    for index in (4, 7, 2**70):
        with pytest.raises(IndexError, match=re.escape(
                "TimeSeries index out of range (index >= 5 and index < 7).")):
            s[index]
    with pytest.raises(KeyError, match="Key not found in TimeSeries."):
        s["C"]
    with pytest.raises(TypeError, match="TimeSeries keys must be strings or integers."):
        s[1.5]


def test_time_index_and_step_are_settable_and_move_the_times():
    s = tw.TimeSeries({"x": np.arange(3)}, 1e-12)
    assert s.time_index == 0
    s.time_index = -2
    s.time_step = 2e-12
    np.testing.assert_allclose(s.times, [-4e-12, -2e-12, 0])
    assert s[-2] == {"x": 0}
    with pytest.raises(TypeError):
        s.time_index = 1.5


def test_construction_messages():
    with pytest.raises(TypeError, match=re.escape(
            "'values' must be a dictionary mapping port names to sequences of values.")):
        tw.TimeSeries([("A", [1])], 1)
    with pytest.raises(TypeError, match="Keys in 'values' must be strings."):
        tw.TimeSeries({1: [1]}, 1)
    with pytest.raises(TypeError, match=re.escape("'values['A']' must be a sequence of complex numbers.")):
        tw.TimeSeries({"A": "text"}, 1)
    with pytest.raises(TypeError, match=re.escape("'values['A']' must be a sequence of complex numbers.")):
        tw.TimeSeries({"A": [[1, 2], [3, 4]]}, 1)
    with pytest.raises(TypeError):
        tw.TimeSeries({"A": [1]})


def test_series_join_in_time_when_the_second_starts_at_the_end_of_the_first():
    first = tw.TimeSeries({"A": [1, 2, 3, 4]}, 0.1, 5)
    second = tw.TimeSeries({"A": [5], "B": [6]}, 0.1, 9)
    joined = first + second
    assert joined.time_index == 5
    np.testing.assert_array_equal(joined["A"], [1, 2, 3, 4, 5])
    np.testing.assert_array_equal(joined["B"], [0, 0, 0, 0, 6])
    assert 0 + first is first and first + 0 is first
    assert sum([first, second]) == joined
    with pytest.raises(ValueError, match=re.escape(
            "'time_index' of second operand (8) does not match the end index of the first (9).")):
        first + tw.TimeSeries({"A": [5]}, 0.1, 8)
    with pytest.raises(ValueError, match=re.escape(
            "Operation can only be performed between TimeSeries with equal 'time_step'.")):
        first + tw.TimeSeries({"A": [5]}, 0.2, 9)
    for other in (1, "x", None):
        with pytest.raises(TypeError, match="Operation can only be performed between TimeSeries objects."):
            first + other
        with pytest.raises(TypeError, match="Operation can only be performed between TimeSeries objects."):
            other + first


def test_text_forms_follow_the_interpreter_number_forms():
    s = tw.TimeSeries({"A": [1, 2.5 - 1j], "B": [3j, -0.0]}, 0.5, -3)
    assert str(s) == "Time series with 2 values of length 2"
    assert repr(s) == ("TimeSeries(values={'A': [" + ", ".join(repr(complex(v)) for v in (1, 2.5 - 1j))
                       + "], 'B': [3j, (-0+0j)]}, time_step=0.5, time_index=-3)")
    # The repr evaluates back to an equal series.
    assert eval(repr(s), {"TimeSeries": tw.TimeSeries}) == s


def test_copies_are_independent():
    s = tw.TimeSeries({"A": [1, 2]}, 1.0, 3)
    for duplicate in (s.copy(), copy.copy(s), copy.deepcopy(s)):
        assert duplicate == s and duplicate is not s
        duplicate.time_index = 0
        assert s.time_index == 3
