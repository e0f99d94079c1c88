"""Paths: construction, straight sections, caps, joins, width and offset profiles, messages."""
import math
import re
import warnings

import numpy as np
import pytest

import tarnwhistle as tw

TOL = 0.005  # default tolerance, µm
GRID = 0.001
NAN, INF = float("nan"), float("inf")


@pytest.fixture(autouse=True)
def path_defaults():
    """Bend defaults for every test; restored afterwards."""
    old = tw.config.default_kwargs
    tw.config.default_kwargs = {"radius": 10, "euler_fraction": 0}
    yield
    tw.config.default_kwargs = old


def vertices(path):
    return path.to_polygon().vertices


# ---- Construction and attributes -----------------------------------------------------------


@pytest.mark.parametrize(
    "caps, expected",
    [
        ((0, 0), (0.0, 0.0)),
        ("round", ("round", "round")),
        (0.25, (0.25, 0.25)),
        ((0.5, "round"), (0.5, "round")),
        (["round", 1], ("round", 1.0)),
        (np.array([0.5, 1.0]), (0.5, 1.0)),
    ],
)
def test_caps_forms(caps, expected):
    assert tw.Path((0, 0), 1, caps=caps).caps == expected


def test_attributes():
    path = tw.Path(1 + 2j, 0.5, offset=0.1, scale_profile=False)
    assert np.allclose(path.origin, [1, 2])
    assert path.size == 0 and path.scale_profile is False
    path.segment((5, 2)).segment([(5, 6), (8, 6)], width=1)
    assert path.size == 2
    path.origin = (0, 0)
    assert np.allclose(path.spine()[-1], [7, 4])
    path.caps = (0.5, "round")
    assert path.caps == (0.5, "round")
    with pytest.raises(AttributeError):
        path.size = 3


@pytest.mark.parametrize(
    "endpoint",
    [np.array([3.0, 4.0]), 3 + 4j, [(3, 4)], np.array([[3.0, 4.0]]), [3 + 4j]],
)
def test_segment_endpoint_forms(endpoint):
    path = tw.Path((0, 0), 1).segment(endpoint)
    assert np.allclose(path.spine(), [[0, 0], [3, 4]])
    relative = tw.Path((1, 1), 1).segment(endpoint, relative=True)
    assert np.allclose(relative.spine()[-1], [4, 5])


def test_multi_point_relative_segment_is_relative_to_the_start():
    path = tw.Path((1, 1), 1).segment([(2, 0), (2, 3)], relative=True)
    assert np.allclose(path.spine(), [[1, 1], [3, 1], [3, 4]])


def test_width_stored_rounded_half_up():
    assert tw.Path((0, 0), 0.000015).at(0, "width") == pytest.approx(0.00002)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: tw.Path((0, 0), -1), ValueError, "Path width cannot be negative."),
        (lambda: tw.Path((0, 0), 1, caps="flat"), ValueError,
         "Argument 'caps' must be a float, 'round', or a sequence with 2 values."),
        (lambda: tw.Path((0, 0), 1, caps=(1, 2, 3)), ValueError,
         "Argument 'caps' must be a float, 'round', or a sequence with 2 values."),
        (lambda: tw.Path((0, 0), 1, caps=(0, "x")), ValueError,
         "Argument 'caps[1]' must be a float or 'round'."),
        (lambda: tw.Path(None, 1), TypeError, "'origin' cannot be 'None'."),
        (lambda: tw.Path((0, 0), NAN), ValueError, "'width' is out of range."),
        (lambda: tw.Path((0, 0), 1e20), ValueError, "'width' is out of range."),
        (lambda: tw.Path((0, 0), 1, -INF), ValueError, "'offset' is out of range."),
        (lambda: tw.Path((0, 0), 1, caps=NAN), ValueError,
         "Argument 'caps' must be a float, 'round', or a sequence with 2 values."),
        (lambda: tw.Path((0, 0), 1, caps=(0, INF)), ValueError, "Argument 'caps[1]' must be a float or 'round'."),
    ],
)
def test_constructor_errors(call, error, message):
    with pytest.raises(error, match=f"^{message_pattern(message)}$"):
        call()


def message_pattern(message):
    return message.replace("(", r"\(").replace(")", r"\)").replace("[", r"\[").replace(".", r"\.")


@pytest.mark.parametrize(
    "value, message",
    [(0.5, "'caps' must be a tuple with 2 values."), (("x", 0), "'caps[0]' must be a float or 'round'.")],
)
def test_caps_setter_errors_keep_value(value, message):
    path = tw.Path((0, 0), 1, caps=(0.5, 0))
    with pytest.raises(ValueError, match=message_pattern(message)):
        path.caps = value
    assert path.caps == (0.5, 0.0)


@pytest.mark.parametrize("attribute", ["caps", "scale_profile"])
def test_attributes_cannot_be_deleted(attribute):
    path = tw.Path((0, 0), 1, caps=(0.5, 0), scale_profile=False)
    before = getattr(path, attribute)
    with pytest.raises(TypeError, match=f"^'{attribute}' cannot be deleted\\.$"):
        delattr(path, attribute)
    assert getattr(path, attribute) == before


def test_copy_and_equality():
    path = tw.Path((0, 0), 1).segment((10, 0)).turn(45).s_bend((30, 10))
    other = path.copy()
    assert other == path and other is not path and other._id != path._id
    other.segment((40, 10))
    assert other != path
    assert tw.Path((0, 0), 1).segment((1, 0)) == tw.Path((0, 0), 1).segment((1, 0))
    assert tw.Path((0, 0), 1).segment((1, 0)) != tw.Path((0, 0), 2).segment((1, 0))


def test_text_forms():
    path = tw.Path((0, 0), 1, caps=(0.5, "round")).segment((10, 0), width=(2, "smooth"))
    path.turn(30, euler_fraction=0.5).arc(0, 30).s_bend((60, 5), direction=(1, 0))
    path.bezier([(5, 5), (10, 0)], relative=True).parametric(("u", "u^2"), width=("1 + u", "1"))
    text = repr(path)
    assert text.startswith("Path(origin=(0, 0), width=1, offset=0, caps=(0.5, 'round')")
    for piece in ["SegmentPathSection(", "EulerPathSection(", "ArcPathSection(", "BezierPathSection(",
                  "ParametricPathSection(", "SmoothPathInterpolator(", "ConstantPathInterpolator(",
                  "SlicePathInterpolator(", "ParametricPathInterpolator(", ", size=", ", min_evals=",
                  ", max_evals=", ", width=", ", offset="]:
        assert piece in text
    assert str(path) == f"Path with {path.size} sections"


# ---- Straight sections and caps ------------------------------------------------------------


@pytest.mark.parametrize("width", [0.3, 1, 2.5])
@pytest.mark.parametrize("end", [(10, 0), (0, -7), (3, 4), (-6, 8)])
def test_straight_area_is_length_times_width(width, end):
    path = tw.Path((1, 1), width).segment(end, relative=True)
    length = math.hypot(*end)
    assert path.area() == pytest.approx(length * width, abs=4 * GRID * (length + width))
    assert path.length() == pytest.approx(length)


@pytest.mark.parametrize("caps", [(0.5, 0), (0, 0.25), (1, 2), (0.1, 0.3)])
def test_cap_extensions_lengthen_by_extension_times_width(caps):
    width, length = 2.0, 10.0
    path = tw.Path((0, 0), width, caps=caps).segment((length, 0))
    lower, upper = path.bounds()
    assert lower[0] == pytest.approx(-caps[0] * width)
    assert upper[0] == pytest.approx(length + caps[1] * width)
    assert path.area() == pytest.approx((length + (caps[0] + caps[1]) * width) * width)


@pytest.mark.parametrize("width", [0.5, 2, 6])
def test_round_caps_stay_on_the_true_circle(width):
    length, r = 10.0, width / 2
    path = tw.Path((0, 0), width, caps="round").segment((length, 0))
    v = vertices(path)
    for center, side in [((0, 0), v[:, 0] < 0), ((length, 0), v[:, 0] > length)]:
        distance = np.hypot(v[side, 0] - center[0], v[side, 1] - center[1])
        assert side.sum() > 2
        assert np.all(np.abs(distance - r) <= GRID)
    exact = length * width + math.pi * r * r
    # Inscribed chords lose at most the tolerance over the cap perimeter.
    assert exact - 2 * math.pi * r * TOL - 4 * GRID <= path.area() <= exact + GRID


def test_mixed_caps():
    path = tw.Path((0, 0), 2, caps=(0.5, "round")).segment((10, 0))
    lower, upper = path.bounds()
    assert lower[0] == pytest.approx(-1)
    assert 11 - TOL - 1e-9 <= upper[0] <= 11


@pytest.mark.parametrize("caps", [(0, 0), "round", (0.5, 0.5)])
def test_zero_width_gives_empty_polygon(caps):
    path = tw.Path((0, 0), 0, caps=caps).segment((10, 0))
    assert len(vertices(path)) == 0
    assert path.area() == 0


def test_empty_path():
    path = tw.Path((3, 4), 1)
    assert len(vertices(path)) == 0
    position, width, offset, _ = path.at(0)
    assert np.allclose(position, [3, 4]) and width == 1 and offset == 0


# ---- Joins -------------------------------------------------------------------------------

# A right-angle corner of width 2: mitre adds the 1×1 outer square, bevel half of it.
CORNER = [(10, 0), (10, 10)]


@pytest.mark.parametrize(
    "join_limit, expected",
    [(-1, 40.0), (2, 40.0), (1, 40.0), (0.5, 39.5)],
)
def test_mitre_and_bevel(join_limit, expected):
    path = tw.Path((0, 0), 2).segment(CORNER, join_limit=join_limit)
    assert path.area() == pytest.approx(expected)


@pytest.mark.parametrize("turn_to", [(10, 10), (0, 10), (-10, 10), (3, 7), (-7, 3), (10, -0.5)])
def test_bevel_exactly_beyond_the_limit(turn_to):
    # A corner is beveled exactly when tan(|φ|/2) exceeds the limit: at a tie and one ulp
    # either side of it, with φ computed from the edge vectors as the rule states.
    ax, ay = 10e5, 0.0
    bx, by = turn_to[0] * 1e5, turn_to[1] * 1e5
    tie = math.tan(abs(math.atan2(ax * by - ay * bx, ax * bx + ay * by)) / 2)
    points = [(10, 0), (10 + turn_to[0], turn_to[1])]
    mitre = len(vertices(tw.Path((0, 0), 2).segment(points, join_limit=-1)))
    for limit, extra in [(math.nextafter(tie, 0), 1), (tie, 0), (math.nextafter(tie, INF), 0)]:
        assert len(vertices(tw.Path((0, 0), 2).segment(points, join_limit=limit))) == mitre + extra


def test_bevel_moves_back_by_limit_times_width():
    # Mitre point (11, -1); moved back 0.25·2 along each edge: (10.5, -1) and (11, -0.5).
    path = tw.Path((0, 0), 2).segment(CORNER, join_limit=0.25)
    v = {tuple(p) for p in np.round(vertices(path), 6)}
    assert {(10.5, -1.0), (11.0, -0.5)} <= v
    assert path.area() == pytest.approx(40 - 0.125)


def test_round_join_outer_side_only():
    path = tw.Path((0, 0), 2).segment(CORNER, join_limit="round")
    v = vertices(path)
    outer = (v[:, 0] > 10) & (v[:, 1] < 0)
    distance = np.hypot(v[outer, 0] - 10, v[outer, 1])
    assert outer.sum() >= 2 and np.all(np.abs(distance - 1) <= GRID)
    # The inner corner is the plain intersection.
    assert any(np.allclose(p, [9, 1]) for p in v)
    assert 40 - (1 - math.pi / 4) - 2 * TOL <= path.area() <= 40 - (1 - math.pi / 4) + GRID


def test_round_join_at_a_reversal():
    # Edges in line but opposite: the outer side turns through a half disc around the vertex.
    path = tw.Path((0, 0), 2).segment([(10, 0), (0, 0)], join_limit="round")
    assert path.bounds()[1][0] == pytest.approx(11, abs=TOL + GRID)
    assert path.area() == pytest.approx(40 + math.pi / 2, abs=4 * TOL)
    assert tw.Path((0, 0), 2).segment([(10, 0), (0, 0)]).bounds()[1][0] == pytest.approx(10)


def test_consecutive_segments_share_the_join():
    one = tw.Path((0, 0), 2).segment(CORNER, join_limit="round")
    two = tw.Path((0, 0), 2).segment(CORNER[0], join_limit="round").segment(CORNER[1], join_limit="round")
    assert two.area() == pytest.approx(one.area())


def test_sharp_reversal_is_mitred_without_limit():
    turn = math.pi - math.atan2(0.2, 10)
    mitre = tw.Path((0, 0), 1).segment([(10, 0), (0, 0.2)])
    assert mitre.bounds()[1][0] == pytest.approx(10 + 0.5 * math.tan(turn / 2), abs=GRID)


@pytest.mark.parametrize("offset", [0, 0.3])
def test_long_mitred_polyline_matches_shapely(offset):
    shapely = pytest.importorskip("shapely")
    points = [(0, 0)] + [(10.0 * i, 5.0 * (i % 2) + (i % 7)) for i in range(1, 2001)]
    path = tw.Path((0, 0), 1, offset).segment(points[1:], join_limit=4)
    # Vertex by vertex continues the same section, with the same outline.
    stepwise = tw.Path((0, 0), 1, offset)
    for p in points[1:]:
        stepwise.segment(p, join_limit=4)
    assert stepwise == path and stepwise.size == 1
    assert np.array_equal(vertices(stepwise), vertices(path))
    line = shapely.LineString(points).offset_curve(offset)
    expected = line.buffer(0.5, cap_style="flat", join_style="mitre", mitre_limit=10)
    ours = shapely.Polygon(vertices(path))
    assert ours.symmetric_difference(expected).area <= expected.length * GRID


def align_cyclic(points, reference):
    """The cyclic rotation of `points` (either direction) closest to `reference`."""
    candidates = [np.roll(p, -k, axis=0) for p in (points, points[::-1]) for k in range(len(p))]
    return min(candidates, key=lambda c: np.abs(c - reference).max())


@pytest.mark.parametrize("offset", [0, 0.3])
def test_mitred_polylines_match_flex_path(offset):
    # Turns of 6° to 70° and edges longer than the width keep the boundaries simple, where
    # both define the outline as the mitred offset lines: the same corners, ours on the grid.
    # (Below the tolerance, boundary gaps are bridged rather than mitred.)
    gdstk = pytest.importorskip("gdstk")
    rng = np.random.default_rng(11)
    for _ in range(40):
        turns = rng.uniform(0.1, 1.2, 30) * rng.choice([-1, 1], 30)
        heading = np.cumsum(turns)
        steps = rng.uniform(5, 20, 30)[:, None] * np.c_[np.cos(heading), np.sin(heading)]
        points = np.round(np.vstack([[0, 0], np.cumsum(steps, axis=0)]), 3)
        ours = vertices(tw.Path(points[0], 1.5, offset).segment(points[1:], join_limit=-1))
        theirs = gdstk.FlexPath(points, 1.5, offset=offset, joins="miter", tolerance=TOL)
        (polygon,) = theirs.to_polygons()
        assert len(ours) == len(polygon.points)
        # Rounded to database units, then snapped.
        assert np.abs(align_cyclic(polygon.points, ours) - ours).max() <= GRID / 2 + 1e-5


def test_width_step_between_aligned_sections():
    path = tw.Path((0, 0), 1).segment((10, 0)).segment((20, 0), width=(2, "constant"))
    assert path.area() == pytest.approx(10 + 20)


# ---- Point limit -----------------------------------------------------------------------------

POINT_LIMIT = 2**23
LIMIT_MESSAGE = r"^Path outline needs (\d+) points, more than the limit of 8388608\.$"


def staircase(corners, step):
    """A polyline of right-angle corners turning left and right in turn."""
    points, x, y = [], 0.0, 0.0
    for i in range(corners + 1):
        x, y = (x + step, y) if i % 2 == 0 else (x, y + step)
        points.append((x, y))
    return points


def round_corner_points(width, tolerance):
    """Points of the arc of one right-angle round join, by the curve point-count rule."""
    radius = width / 2 / tolerance
    return int(math.pi / 2 / 2 / math.acos(1 - 1 / radius) + 0.5)


def test_round_joins_of_a_wide_path_respect_the_point_limit():
    # Each corner of a 1e8 µm wide path is an arc of some 55000 points, well within the limit
    # of one curve, but 300 of them are twice as many as an outline may have.
    per_corner = round_corner_points(1e8, TOL)
    path = tw.Path((0, 0), 1e8).segment(staircase(300, 1e6), join_limit="round")
    for call in [path.area, path.left_vertices]:
        with pytest.raises(RuntimeError, match=LIMIT_MESSAGE) as error:
            call()
        # Raised at the corner that would cross the limit, before its points are made (the
        # inner corners add a point each).
        needed = int(re.match(LIMIT_MESSAGE, str(error.value))[1])
        assert POINT_LIMIT < needed <= POINT_LIMIT + per_corner + 300


def test_outline_just_under_the_point_limit_is_drawn(fine_tolerance):
    # At the finest tolerance a corner 2000 µm wide takes some 5500 points: as many corners as
    # fit draw the ribbon, one more is refused.
    width, step = 2000, 20000
    per_corner = round_corner_points(width, 1e-5)
    fitting = POINT_LIMIT // per_corner
    assert fitting * per_corner > POINT_LIMIT - per_corner // 2
    path = tw.Path((0, 0), width).segment(staircase(fitting, step), join_limit="round")
    # The mitred ribbon's area, less the outer corner squares beyond the quarter discs.
    mitred = (fitting + 1) * step * width
    assert path.area() == pytest.approx(mitred - fitting * (1 - math.pi / 4) * width**2 / 4,
                                        rel=1e-9)
    with pytest.raises(RuntimeError, match=LIMIT_MESSAGE):
        tw.Path((0, 0), width).segment(staircase(fitting + 1, step), join_limit="round").area()


def test_round_caps_count_towards_the_point_limit(fine_tolerance):
    # Each half disc is within the limit of one curve, both are not; nothing is drawn first.
    path = tw.Path((0, 0), 1e9, caps="round").segment((1, 0))
    with pytest.raises(RuntimeError, match=LIMIT_MESSAGE) as error:
        path.to_polygon()
    assert POINT_LIMIT < int(re.match(LIMIT_MESSAGE, str(error.value))[1]) < 2 * POINT_LIMIT


# ---- Width and offset profiles -------------------------------------------------------------


@pytest.mark.parametrize(
    "width, end_width",
    [(3, 3), ((3, "linear"), 3), ((2, 3, "linear"), 3), ((3, "smooth"), 3), ((2, 3, "smooth"), 3),
     ((2.5, "constant"), 2.5)],
)
def test_taper_areas(width, end_width):
    path = tw.Path((0, 0), 1).segment((10, 0), width=width)
    start_width = width[0] if isinstance(width, tuple) and len(width) == 3 else 1
    if isinstance(width, tuple) and width[-1] == "constant":
        start_width = end_width
    # Linear and smooth (3u² − 2u³ averages 1/2) tapers both average the two widths.
    assert path.area() == pytest.approx(10 * (start_width + end_width) / 2, abs=20 * TOL)
    assert path.at(0, "width") == pytest.approx(start_width)
    assert path.at(1, "width") == pytest.approx(end_width)


def test_smooth_taper_shape():
    path = tw.Path((0, 0), 1).segment((10, 0), width=(3, "smooth"))
    u = np.linspace(0, 1, 11)
    widths = [path.at(x, "width") for x in u]
    assert np.allclose(widths, 1 + 2 * (3 * u**2 - 2 * u**3))
    # The boundary is resolved within the tolerance.
    right = path.right_vertices()
    expected = -(1 + 2 * (3 * (right[:, 0] / 10) ** 2 - 2 * (right[:, 0] / 10) ** 3)) / 2
    assert np.all(np.abs(right[:, 1] - expected) <= TOL)


@pytest.mark.parametrize(
    "width",
    [("1 + u", "1"), tw.Expression("u", ["1 + u", "1"]), tw.Expression("u", [("a", 1), "a + u", "1"])],
)
def test_parametric_width(width):
    path = tw.Path((0, 0), 1).segment((10, 0), width=width)
    assert path.area() == pytest.approx(15, abs=20 * TOL)
    assert path.at(1, "width") == pytest.approx(2)


def test_offset_profile_moves_center():
    path = tw.Path((0, 0), 1, offset=0.5).segment((10, 0), offset=-1)
    center = path.center()
    assert np.allclose(center[0], [0, 0.5]) and np.allclose(center[-1], [10, -1])
    assert np.allclose(path.spine()[[0, -1]], [[0, 0], [10, 0]])
    assert path.area() == pytest.approx(10)


def test_profile_on_multi_point_segment_follows_length():
    path = tw.Path((0, 0), 1).segment([(10, 0), (10, 30)], width=5)
    # 10 of 40 µm along the polyline: a quarter of the way from 1 to 5.
    assert path.at(0.5, "width") == pytest.approx(2)


def test_end_values_carry_to_next_section():
    path = tw.Path((0, 0), 1, offset=0.2).segment((10, 0), width=3, offset=0.5).segment((20, 0))
    assert path.at(2, "width") == pytest.approx(3) and path.at(2, "offset") == pytest.approx(0.5)
    assert path.at(1.5, "width") == pytest.approx(3)


@pytest.mark.parametrize(
    "spec, error, message",
    [
        ("wide", TypeError, "Argument 'width' is not an interpolation specification. It must be a number or a tuple."),
        ((1, 2, 3, 4), ValueError, "Interpolator 'width' must have length 2 or 3."),
        ((1, 2), TypeError, "Last item in interpolator 'width' must be a string."),
        ((1, "cubic"), ValueError, "Last item in interpolator 'width' must be one of 'constant', 'linear', or 'smooth'."),
        ((1, 2, "constant"), ValueError, "Constant interpolator 'width' must have a single value."),
        ((None, "linear"), ValueError, "Interpolator 'width' value cannot be parsed as a float."),
        ((1, None, "smooth"), ValueError, "Interpolator 'width' value 1 cannot be parsed as a float."),
        (("u", 1), TypeError, "Second item in interpolator 'width' must be a string."),
        (("u", "1", "u"), ValueError, "Expression tuple must have only 2 items, not 3."),
        (("u +", "1"), ValueError, "Invalid parametric interpolator expression."),
        (tw.Expression("u", "u"), ValueError, "Expression has 1 expression, at least 2 are expected."),
        (tw.Expression(["u", "v"], ["u", "1"]), ValueError, "Expression has 2 paramteres, 1 expected."),
    ],
)
def test_profile_messages_leave_path_unchanged(spec, error, message):
    path = tw.Path((0, 0), 1).segment((5, 0))
    before = path.copy()
    with pytest.raises(error, match=f"^{message_pattern(message)}$"):
        path.segment((10, 0), width=spec)
    assert path == before


def test_offset_messages_name_offset():
    with pytest.raises(ValueError, match="Interpolator 'offset' must have length 2 or 3."):
        tw.Path((0, 0), 1).segment((1, 0), offset=(1,))


# ---- Builder messages ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "build, error, message",
    [
        (lambda p: p.segment([]), ValueError, "Argument 'endpoint' must have at least 2 point."),
        (lambda p: p.segment((1, 0), join_limit="square"), ValueError, "Argument 'join_limit' must be a float or 'round'."),
        (lambda p: p.segment((1, 0), min_evals=-1), ValueError, "'min_evals' value is out of range."),
        (lambda p: p.arc(0, 90, max_evals=2**32), ValueError, "'max_evals' value is out of range."),
        (lambda p: p.arc(0, 90, radius=0), ValueError, "Arc radius must be positive."),
        (lambda p: p.turn(90, radius=(1, -1)), ValueError, "Arc radius must be positive."),
        (lambda p: p.arc(0, 90, euler_fraction=1.5), ValueError, "Argument 'euler_fraction' must be between 0 and 1."),
        (lambda p: p.turn(90, radius=(2, 3), euler_fraction=0.5), ValueError,
         "Argument 'euler_fraction' must be 0 for elliptical arcs."),
        (lambda p: p.s_bend((10, 2), euler_fraction=-0.1), ValueError, "Argument 'euler_fraction' must be between 0 and 1."),
        (lambda p: p.s_bend((-10, 2)), RuntimeError, "Invalid S bend endpoint."),
        (lambda p: p.s_bend((10, 2), direction=(-1, 0)), RuntimeError, "Invalid S bend endpoint."),
        (lambda p: p.bezier([(1, 1)]), ValueError,
         "Argument 'controls' must have at least 2 points. Use a segment instead of a Bézier curve with a single control point."),
        (lambda p: p.parametric("u"), ValueError, "Argument 'position' must be a tuple with size 2."),
        (lambda p: p.parametric(("u", "u"), gradient=("1",)), ValueError, "Argument 'gradient' must be a tuple with size 2."),
        (lambda p: p.parametric(tw.Expression("u", ["u", "0", "1", "0"]), gradient=("1", "0")), ValueError,
         "Argument 'gradient' must be None when 'position' is an Expression."),
        (lambda p: p.parametric(tw.Expression("u", ["u", "0", "1"])), ValueError,
         "Expression has 3 expression, at least 4 are expected."),
        (lambda p: p.parametric(tw.Expression(["u", "v"], ["u", "0", "1", "0"])), ValueError,
         "Expression has 2 paramteres, 1 expected."),
        (lambda p: p.parametric(("u", "v")), ValueError, "Unable to evaluate 'position[1]' as an expression."),
        (lambda p: p.parametric(("u", "0"), gradient=(None, "0")), ValueError,
         "Unable to evaluate 'gradient[0]' as an expression."),
        # Values without database units.
        (lambda p: p.segment((10, 0), width=NAN), ValueError, "'width' is out of range."),
        (lambda p: p.segment((10, 0), offset=(INF, "constant")), ValueError, "'offset' is out of range."),
        (lambda p: p.segment((10, 0), join_limit=NAN), ValueError, "Argument 'join_limit' must be a float or 'round'."),
        (lambda p: p.arc(NAN, 90), ValueError, "'initial_angle' is out of range."),
        (lambda p: p.arc(0, 90, rotation=INF), ValueError, "'rotation' is out of range."),
        (lambda p: p.turn(-INF), ValueError, "'angle' is out of range."),
        (lambda p: p.turn(90, radius=NAN), ValueError, "'radius' is out of range."),
        (lambda p: p.turn(90, radius=1e20), ValueError, "'radius' is out of range."),
        (lambda p: p.s_bend((10, 2), direction=(NAN, 1)), ValueError, "'direction' is out of range."),
        (lambda p: p.parametric(("u", NAN)), ValueError, "Unable to evaluate 'position[1]' as an expression."),
        (lambda p: p.parametric(("u", "sqrt(-1 - u)")), RuntimeError, "Path evaluation out of range around (5, 0)."),
        (lambda p: p.segment((10, 0), width=("sqrt(u - 2)", "1")), RuntimeError,
         "Path evaluation out of range around (5, 0)."),
        (lambda p: p.segment((10, 0), width=1e300), RuntimeError, "Path evaluation out of range around (5, 0)."),
        # A zero direction has no frame; a nearly straight bend would need a radius beyond range.
        (lambda p: p.s_bend((10, 2), direction=(0, 0)), RuntimeError, "Invalid S bend endpoint."),
        (lambda p: p.s_bend((1e6, 1e-5)), RuntimeError, "Invalid S bend endpoint."),
    ],
)
def test_builder_messages_leave_path_unchanged(build, error, message):
    path = tw.Path((0, 0), 1).segment((5, 0))
    before = path.copy()
    with pytest.raises(error, match=f"^{message_pattern(message)}$"):
        build(path)
    assert path == before


def test_rotation_ignored_with_euler_fraction_warns():
    message = "Argument 'rotation' is ignored when 'euler_fraction' is not 0."
    with pytest.warns(RuntimeWarning, match=message):
        path = tw.Path((0, 0), 1).arc(-90, 0, rotation=30, euler_fraction=0.5)
    assert np.allclose(path.at(1, "position"), [10, 10])
    # Raised as an error, the warning leaves the path unchanged.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match=message):
            path.arc(-90, 0, rotation=30, euler_fraction=0.5)
    assert path.size == 1


def test_max_evals_for_segments_raised_to_100():
    path = tw.Path((0, 0), 1).segment((10, 0), width=(2, "smooth"), max_evals=1)
    assert "max_evals=100," in repr(path)
    assert path.area() > 0


@pytest.mark.parametrize(
    "make",
    [lambda: tw.Path((0, 0), 1).arc(0, 180, radius=50, max_evals=3),
     # A budget beyond what memory allows is capped.
     lambda: tw.Path((0, 0), 1).turn(90, min_evals=2**32 - 1, max_evals=2**32 - 1)],
)
def test_evaluation_budget_error(make):
    path = make()
    with pytest.raises(RuntimeError, match=r"^Maximal number of path evaluations performed around \(.*\) "
                                           r"before reaching desired tolerance\.$"):
        path.to_polygon()


def test_out_of_range_evaluation_while_sampling():
    path = tw.Path((0, 0), 1).parametric(("u", "sqrt((u - 0.5)^2 - 0.01)"))
    with pytest.raises(RuntimeError, match=r"^Path evaluation out of range around \(.*\)\.$"):
        path.to_polygon()


def test_mitre_beyond_the_coordinate_range():
    # A wide path folding back on itself mitres some 1e10 µm away; polygon and boundary lists
    # report it alike.
    path = tw.Path((0, 0), 1e8).segment([(1e6, 0), (0, 1e4)])
    for call in [path.to_polygon, path.left_vertices, path.right_vertices]:
        with pytest.raises(RuntimeError, match=r"^Path evaluation out of range around \(0, 0\)\.$"):
            call()


# ---- Defaults ------------------------------------------------------------------------------


def test_defaults_under_path_take_precedence():
    tw.config.default_kwargs = {"Path": {"radius": 5}, "radius": 20, "euler_fraction": 0}
    assert np.allclose(tw.Path((0, 0), 1).turn(90).at(1, "position"), [5, 5])
    tw.config.default_kwargs = {"radius": 20, "euler_fraction": 0}
    assert np.allclose(tw.Path((0, 0), 1).turn(90).at(1, "position"), [20, 20])


@pytest.mark.parametrize("key", ["radius", "euler_fraction"])
def test_missing_default_messages(key):
    tw.config.default_kwargs = {"radius": 5, "euler_fraction": 0}
    del tw.config.default_kwargs[key]
    with pytest.raises(RuntimeError, match=re_escape(
            f"Please set 'config.default_kwargs[\"Path\"][\"{key}\"]' or "
            f"'config.default_kwargs[\"{key}\"]' before trying to use it.")):
        tw.Path((0, 0), 1).turn(90)


def re_escape(text):
    import re
    return "^" + re.escape(text) + "$"


@pytest.mark.parametrize(
    "offset, radius, meander, expected",
    [(2, 10, True, 8.717), (30, 10, False, 20), (30, 10, True, 17.32), (50, 10, True, 20),
     (-2, 10, True, 8.717), (0, 10, True, 0)],
)
def test_s_bend_length(offset, radius, meander, expected):
    assert tw.s_bend_length(offset, radius, meander) == pytest.approx(expected)


def test_s_bend_length_default_radius_and_errors():
    assert tw.s_bend_length(2) == pytest.approx(8.717)
    with pytest.raises(ValueError, match="^Arc radius must be positive.$"):
        tw.s_bend_length(2, 0)
    with pytest.raises(ValueError, match="^'offset' is out of range.$"):
        tw.s_bend_length(NAN, 10)
    # A module function: the radius under "Path" is not its default.
    tw.config.default_kwargs = {"Path": {"radius": 5}}
    with pytest.raises(RuntimeError, match=re_escape("Please set 'config.default_kwargs[\"radius\"]' before "
                                                     "trying to use it.")):
        tw.s_bend_length(2)


def test_s_bend_length_is_the_s_bend_reach():
    # Two circular arcs of radius r with lateral offset o span √((4r − o)·o).
    length = tw.s_bend_length(3, 10)
    path = tw.Path((0, 0), 0.5).s_bend((length, 3))
    radius = (length / 2) / abs(math.sin(2 * math.atan2(3, length)))
    assert radius == pytest.approx(10, abs=2e-3)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert path.size == 2
