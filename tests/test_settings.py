import importlib.util
import pathlib

import pytest

CONFIG_SOURCE = pathlib.Path(__file__).parents[1] / "python" / "tarnwhistle" / "_config.py"


@pytest.fixture
def settings():
    # A private instance of the settings module: pure Python, no compiled module needed, and
    # writes do not leak into the package's configuration.
    spec = importlib.util.spec_from_file_location("settings_under_test", CONFIG_SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, default, value", [
    ("use_local_mode_solver", False, True),
    ("compile_circuit_time_steppers", False, True),
    ("klayout_executable", None, "/opt/klayout/klayout"),
    ("calibre_executable", None, "calibre"),
    ("default_drc_lvs_engine", None, "klayout"),
])
def test_round_trip(settings, name, default, value):
    assert settings.get_setting(name) is default
    settings.set_setting(name, value)
    assert settings.get_setting(name) == value
    settings.set_setting(name, default)
    assert settings.get_setting(name) is default


def test_unknown_name(settings):
    for call in (lambda: settings.get_setting("grid"), lambda: settings.set_setting("grid", 1)):
        with pytest.raises(KeyError, match="Unknown setting 'grid'"):
            call()
    assert "grid" not in settings._settings
