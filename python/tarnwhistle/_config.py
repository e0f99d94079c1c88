"""Settings that live outside the compiled module's configuration.

`tarnwhistle.config` reads and writes these through `get_setting` and `set_setting` and
validates the values; this module only stores them.
"""

_settings = {
    "use_local_mode_solver": False,
    "compile_circuit_time_steppers": False,
    "klayout_executable": None,
    "calibre_executable": None,
    "default_drc_lvs_engine": None,
}


def _check_name(name):
    if name not in _settings:
        raise KeyError(f"Unknown setting {name!r}. Available settings: {', '.join(_settings)}.")


def get_setting(name):
    """Current value of the setting `name`."""
    _check_name(name)
    return _settings[name]


def set_setting(name, value):
    """Store `value` for the setting `name`."""
    _check_name(name)
    _settings[name] = value
