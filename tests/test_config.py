import collections
import warnings

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension


@pytest.fixture
def restore_config():
    saved = (tw.config.grid, tw.config.tolerance, tw.config.default_mesh_refinement,
             tw.config.svg_label_scaling, tw.config.svg_reference_depth, tw.config.default_kwargs)
    yield tw.config
    (tw.config.grid, tw.config.tolerance, tw.config.default_mesh_refinement,
     tw.config.svg_label_scaling, tw.config.svg_reference_depth, tw.config.default_kwargs) = saved


def test_module_attributes():
    assert extension.__version__ == "2.0.0"
    assert extension.__doc__ == "Design, simulation and verification of optical components."
    assert extension._local_fenn3d_solver is False
    assert extension.Z_MAX == 1e7 and extension.Z_INF == 2e7
    for name in ("_model_registry", "_time_stepper_registry", "_component_registry",
                 "_technology_registry"):
        assert isinstance(getattr(extension, name), dict)
    assert tw.config is extension.config
    assert extension._Iterator.__name__ == "_Iterator"


def test_config_defaults_and_not_instantiable():
    assert tw.config.grid == 0.001 and tw.config.tolerance == 0.005
    assert tw.config.default_mesh_refinement == 20.0
    with pytest.raises(RuntimeError, match=r"^The config class cannot be instantiated\. Use "
                       r"'tarnwhistle\.config' to control the module configuration\.$"):
        type(tw.config)()


@pytest.mark.parametrize("value, stored, warns", [
    (0, 0.00004, True),
    (0.000041, 0.00004, False),
    (0.0000449, 0.00004, False),
    (0.002, 0.002, False),
])
def test_grid_write(restore_config, value, stored, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tw.config.grid = value
    assert tw.config.grid == pytest.approx(stored, abs=1e-12)
    messages = [str(w.message) for w in caught if w.category is RuntimeWarning]
    assert messages == (["Grid value too small. Resetting to minimal value."] if warns else [])


def test_grid_warning_as_error_keeps_value(restore_config):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            tw.config.grid = 0
    assert tw.config.grid == 0.001


def test_tolerance_and_refinement_rejections_keep_value(restore_config):
    with pytest.raises(ValueError, match="^Tolerance must be a positive number after conversion. "
                       "Please increase the desired value.$"):
        tw.config.tolerance = 0.000004
    assert tw.config.tolerance == 0.005
    tw.config.tolerance = 0.01
    assert tw.config.tolerance == 0.01
    with pytest.raises(RuntimeError, match="^The default mesh_refinement must be positive.$"):
        tw.config.default_mesh_refinement = 0
    assert tw.config.default_mesh_refinement == 20.0
    with pytest.raises(TypeError, match="^'grid' must be a number.$"):
        tw.config.grid = "x"
    for name in ("grid", "tolerance"):
        with pytest.raises(ValueError, match=rf"^'{name}' is out of range\.$"):
            setattr(tw.config, name, float("nan"))
    assert (tw.config.grid, tw.config.tolerance) == (0.001, 0.01)


def test_dict_settings(restore_config):
    kwargs = {"Path": {"radius": 5}}
    tw.config.default_kwargs = kwargs
    assert tw.config.default_kwargs is kwargs
    assert isinstance(tw.config.default_time_steppers, dict)
    with pytest.raises(RuntimeError, match="^'default_kwargs' must be a dictionary.$"):
        tw.config.default_kwargs = collections.OrderedDict()
    with pytest.raises(RuntimeError, match="^'default_time_steppers' must be a dictionary.$"):
        tw.config.default_time_steppers = []
    assert tw.config.default_kwargs is kwargs


def test_svg_settings(restore_config):
    tw.config.svg_label_scaling = 0
    assert tw.config.svg_label_scaling == -1.0
    tw.config.svg_label_scaling = 2.5
    assert tw.config.svg_label_scaling == 2.5
    tw.config.svg_reference_depth = 3
    assert tw.config.svg_reference_depth == 3
    for name in ("svg_ports", "svg_port_names", "svg_labels", "svg_virtual_connections",
                 "svg_reference_names", "svg_reference_ports", "svg_reference_port_names",
                 "svg_reference_labels"):
        old = getattr(tw.config, name)
        setattr(tw.config, name, not old)
        assert getattr(tw.config, name) is (not old)
        with pytest.raises(RuntimeError, match=r"^Expected 'True' or 'False'\.$"):
            setattr(tw.config, name, 1)
        setattr(tw.config, name, old)


@pytest.mark.parametrize("name, good, bad, message", [
    ("use_local_mode_solver", [True, False], [1, None], "Expected 'True' or 'False'."),
    ("compile_circuit_time_steppers", [True, False], ["yes"], "Expected 'True' or 'False'."),
    ("klayout_executable", ["/usr/bin/klayout", None], [3], "Expected a string or 'None'."),
    ("calibre_executable", ["calibre", None], [b"x"], "Expected a string or 'None'."),
    ("default_drc_lvs_engine", ["klayout", "calibre", None], [5], "Expected a string or 'None'."),
    ("default_drc_lvs_engine", [], ["other"], "Expected an engine name or 'None'."),
])
def test_pass_through_settings(name, good, bad, message):
    from tarnwhistle import _config
    original = getattr(tw.config, name)
    try:
        for value in good:
            setattr(tw.config, name, value)
            assert getattr(tw.config, name) == value
            assert _config.get_setting(name) == value
        for value in bad:
            before = getattr(tw.config, name)
            with pytest.raises(RuntimeError, match="^" + message.replace(".", r"\.") + "$"):
                setattr(tw.config, name, value)
            assert getattr(tw.config, name) == before
    finally:
        setattr(tw.config, name, original)


def test_config_text():
    text = str(tw.config)
    assert text == repr(tw.config)
    lines = text.split("\n")
    assert lines[0] == "Current configuration:"
    assert lines[1:] == [
        "- grid: 0.001", "- tolerance: 0.005", "- default mesh refinement: 20.0",
        "- default technology: (unset)",
        f"- default time steppers: {tw.config.default_time_steppers}",
        f"- default kwargs: {tw.config.default_kwargs}",
        f"- use local mode solver: {tw.config.use_local_mode_solver}",
        f"- compile circuit time steppers: {tw.config.compile_circuit_time_steppers}",
    ]


class TestSnapping:
    @pytest.mark.parametrize("value, expected", [
        (0.0015, 0.002), (-0.0015, -0.001), (0.0005, 0.001), (-0.0005, 0.0), (1.2346, 1.235),
        (0, 0.0), (-7.0, -7.0),
    ])
    def test_scalar(self, value, expected):
        result = tw.snap_to_grid(value)
        assert isinstance(result, float)
        assert result == pytest.approx(expected, abs=1e-12)

    def test_shapes(self):
        points = tw.snap_to_grid([[0.0004, -0.0004]])
        assert points.shape == (1, 2) and points.dtype == np.float64
        assert np.allclose(points, 0)
        values = tw.snap_to_grid([0.0004, 1.2346])
        assert values.shape == (2,)
        assert np.allclose(values, [0.0, 1.235])
        array = np.array([[1.00049, 2.0006], [3, 4]])
        assert np.allclose(tw.snap_to_grid(array), [[1.0, 2.001], [3, 4]])
        assert array[0, 0] == 1.00049  # input untouched
        assert tw.snap_to_grid(np.empty((0, 2))).shape == (0, 2)

    def test_matches_integer_rule_on_random_values(self):
        rng = np.random.default_rng(1)
        values = rng.uniform(-10, 10, 500)
        units = np.round(values * 1e5)  # no exact halves in random draws
        expected = np.floor((units + 50) / 100) * 100 / 1e5
        assert np.allclose(tw.snap_to_grid(values), expected, atol=1e-12)

    @pytest.mark.parametrize("grid, multiple, value, expected", [
        (0.5, 1, 1.3, 1.5), (0.5, 2, 1.3, 1.0), (None, 10, 0.0151, 0.02), (0.25, 1, -0.125, 0.0),
    ])
    def test_grid_and_multiple(self, grid, multiple, value, expected):
        assert tw.snap_to_grid(value, grid, multiple) == pytest.approx(expected)

    def test_floor_ceil(self):
        assert tw.grid_floor(-0.0001) == pytest.approx(-0.001)
        assert tw.grid_ceil(0.0001) == pytest.approx(0.001)
        assert tw.grid_floor(0.0019) == pytest.approx(0.001)
        assert tw.grid_ceil(-0.0019) == pytest.approx(-0.001)
        assert np.allclose(tw.grid_floor([[0.26, -0.26]], 0.1), [[0.2, -0.3]])
        assert np.allclose(tw.grid_ceil([0.26, -0.26], 0.1, 2), [0.4, -0.2])

    @pytest.mark.parametrize("function", [tw.snap_to_grid, tw.grid_floor, tw.grid_ceil])
    def test_errors(self, function):
        with pytest.raises(ValueError, match=r"^'multiple' must be greater than 0\.$"):
            function(1.0, multiple=0)
        with pytest.raises(ValueError, match=r"^'grid' must be greater than 0\.$"):
            function(1.0, grid=0.000001)
        with pytest.raises(TypeError, match=r"^Argument 'value' must be a scalar, sequence of "
                           r"scalars, or sequence of 2D coordinates\.$"):
            function("abc")
        with pytest.raises(TypeError, match=function.__name__):
            function()

    def test_values_without_database_units(self):
        # Not finite, or beyond 64-bit units: nothing to snap, and no overflow.
        assert np.array_equal(tw.snap_to_grid([np.nan, 1e300, 0.0004]), [np.nan, 1e300, 0.0],
                              equal_nan=True)
        for grid in (np.nan, 1e300, (2**62 + 1) / 1e5):
            with pytest.raises(ValueError, match=r"^'grid' is out of range\.$"):
                tw.snap_to_grid(1.0, grid)

    def test_follows_configured_grid(self, restore_config):
        tw.config.grid = 0.01
        assert tw.snap_to_grid(0.014) == pytest.approx(0.01)
