"""Port specifications: profiles, matching, symmetry, electrical data, paths, target index."""

import fenn3d
import numpy as np
import pytest

import tarnwhistle as tw

L1 = (1, 0)
L2 = (2, 0)


def spec(profiles=(), width=1.0, limits=(-1, 1), **kwargs):
    return tw.PortSpec("s", width, limits, path_profiles=profiles, **kwargs)


# ---- Profiles ------------------------------------------------------------------------------


def test_profile_names_dict_list_and_generated_order():
    named = spec({"core": (0.5, 0, L1), "slab": (2, 0.1, L2)})
    assert named.path_profiles == {"core": (0.5, 0.0, L1), "slab": (2.0, 0.1, L2)}
    listed = spec([(0.1 * (i + 1), 0, L1) for i in range(12)])
    widths = [round(p[0] * 10) - 1 for p in listed.path_profiles]
    assert isinstance(listed.path_profiles, list)
    assert widths == [0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9]
    assert listed.path_profiles_list() == listed.path_profiles
    assert spec().path_profiles == {}
    # A generator is a sequence of profiles as well; layer names come from the technology.
    strip = tw.config.default_technology.ports["Strip"].path_profiles_list()[0]
    layer_name = next(n for n, s in tw.config.default_technology.layers.items()
                      if s.layer == strip[2])
    assert spec(p for p in [(0.5, 0, layer_name)]).path_profiles == [(0.5, 0.0, strip[2])]


def test_profile_errors_leave_the_specification_unchanged():
    s = spec({"a": (0.5, 0, L1)})
    cases = [
        (None, TypeError, "'path_profiles' cannot be 'None'."),
        (5, TypeError, "Argument 'path_profiles' must be iterable."),
        ([(0.5, 0)], TypeError, "'path_profiles' must be a sequence of length 3."),
        ([(0, 0, L1)], ValueError, "Width must be positive."),
        ({1: (0.5, 0, L1)}, TypeError, "Keys in 'path_profiles' must be strings."),
        ([(0.5, 0, "no such layer")], ValueError, "name 'no such layer' not found"),
    ]
    for value, error, message in cases:
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            s.path_profiles = value
        assert s.path_profiles == {"a": (0.5, 0.0, L1)}


def test_path_profile_for_and_combined_with():
    s = spec({"a": (0.5, 0.2, L1), "b": (0.3, -1, L1), "c": (1, 0, L2)})
    assert s.path_profile_for(L2) == (1.0, 0.0)
    assert s.path_profile_for(L1) == ([0.5, 0.3], [0.2, -1.0])
    assert s.path_profile_for((9, 9)) is None
    combined = s.combined_with(spec([(0.4, 0.1, L2)]), offset=2)
    assert combined.path_profiles["a"] == (0.5, 0.2, L1)
    assert (0.4, 2.1, L2) in combined.path_profiles_list()
    assert len(combined.path_profiles) == 4 and s.path_profiles_list() != combined.path_profiles_list()
    # A specification combined with itself adds its own profiles under new names.
    twice = combined.combined_with(combined)
    assert len(twice.path_profiles_list()) == 8
    for method in (s.combined_with, s.profile_matches):
        with pytest.raises(TypeError, match="'port_spec' must be a PortSpec instance."):
            method("Strip")


# ---- Matching and symmetry -----------------------------------------------------------------


def test_profile_matches_merges_touching_profiles_within_the_window():
    a = spec([(0.5, 0, L1)])
    b = spec([(0.3, -0.1, L1), (0.3, 0.1, L1)])
    assert a.profile_matches(b) and b.profile_matches(a)
    # Abutting halves are one interval; a gap between them is not.
    assert a.profile_matches(spec([(0.25, -0.125, L1), (0.25, 0.125, L1)]))
    assert not a.profile_matches(spec([(0.2, -0.15, L1), (0.2, 0.15, L1)]))
    # Profiles outside the wider window do not count; partial overlaps are clipped to it.
    assert a.profile_matches(spec([(0.5, 0, L1), (0.2, 5, L2)]))
    assert spec([(3, 0, L1)]).profile_matches(spec([(1, 0, L1)]))
    assert not spec([(3, 0, L1)]).profile_matches(spec([(1, 0, L1)], width=3))
    # Limits and classification count; description, modes, polarization do not.
    assert not a.profile_matches(spec([(0.5, 0, L1)], limits=(0, 1)))
    assert not a.profile_matches(spec([(0.5, 0, L1)], impedance=tw.Interpolator([1], [50])))
    assert a.profile_matches(spec([(0.5, 0, L1)], num_modes=3, polarization="TE", target_neff=2))
    assert not a.profile_matches(spec([(0.5, 0, L2)]))
    assert a.profile_matches(a)


def test_symmetric_and_inverted():
    both = spec([(0.5, 0.2, L1), (0.5, -0.2, L1)])
    assert both.symmetric() and both.inverted() is both
    one = spec({"x": (0.5, 0.2, L1)})
    assert not one.symmetric()
    flipped = one.inverted()
    assert flipped is not one and flipped.path_profiles == {"x": (0.5, -0.2, L1)}
    assert one.path_profiles == {"x": (0.5, 0.2, L1)}
    assert spec().symmetric() and spec([(1, 0, L1)]).symmetric()
    assert not spec([(0.5, 0.2, L1), (0.5, -0.2, L2)]).symmetric()


# ---- Fields, text, copies --------------------------------------------------------------------


def test_fields_text_equality_and_copies():
    s = spec({"a": (0.5, 0, L1)}, num_modes=2, polarization="TM", target_neff=2.5,
             added_solver_modes=1, default_radius=5)
    assert (s.width, s.limits, s.num_modes, s.added_solver_modes) == (1.0, (-1.0, 1.0), 2, 1)
    assert (s.polarization, s.target_neff, s.default_radius) == ("TM", 2.5, 5.0)
    assert s.classification == "optical" and not s._is_1D() and spec(limits=(0.3, 0.3))._is_1D()
    assert repr(s).startswith('PortSpec(description="s", width=1, limits=(-1, 1), num_modes=2, '
                              'polarization="TM", target_neff=2.5, path_profiles={"a": (0.5, 0,')
    assert str(s) == repr(s)
    c = s.copy()
    assert c == s and c is not s and c._id != s._id
    c.description = "other"
    assert c != s
    s.polarization = None
    s.target_neff = None
    assert s.polarization is None and s.target_neff is None


@pytest.mark.parametrize("kwargs, error, message", [
    ({"width": 0}, ValueError, "Argument 'width' must be positive."),
    ({"num_modes": 0}, ValueError, "Argument 'num_modes' must be positive."),
    ({"num_modes": 2**32}, ValueError, "Value out of range."),
    ({"added_solver_modes": -1}, ValueError, "Argument 'added_solver_modes' cannot be negative."),
    ({"default_radius": -1}, ValueError, "Argument 'default_radius' cannot be negative."),
    ({"polarization": "XY"}, ValueError, "Argument 'polarization' must be 'TE', 'TM', or None."),
])
def test_argument_errors_in_constructor_and_setters(kwargs, error, message):
    arguments = {"width": 1.0, **kwargs}
    with pytest.raises(error, match=message):
        tw.PortSpec("s", limits=(0, 1), **arguments)
    s = spec()
    name, value = next(iter(kwargs.items()))
    before = repr(s)
    with pytest.raises(error, match=message):
        setattr(s, name, value)
    assert repr(s) == before


# ---- Electrical data -------------------------------------------------------------------------


def test_electrical_data_and_its_errors():
    square = tw.Rectangle((0, 0), (2, 2))
    s = spec(voltage_path=[(0, 0), (0, 1)], current_path=square)
    assert s.classification == "electrical"
    assert np.array_equal(s.voltage_path, [[0, 0], [0, 1]]) and s.current_path is square
    assert s.impedance is None
    s.current_path = [(0, 0), (1, 0), (1, 1)]
    assert s.current_path.shape == (3, 2)
    s.voltage_path = None
    assert s.voltage_path is None and s.classification == "electrical"
    ring = tw.Circle(2, inner_radius=1)
    with pytest.raises(ValueError, match="Structures used as current paths cannot contain holes."):
        spec(current_path=ring)
    with pytest.raises(ValueError, match="Structures used as current paths cannot contain holes."):
        s.current_path = ring
    assert s.current_path.shape == (3, 2)

    optical = spec()
    for name in ("voltage_path", "current_path", "impedance"):
        value = tw.Interpolator([1], [50]) if name == "impedance" else [(0, 0), (1, 1)]
        with pytest.raises(ValueError, match=f"'{name}' can only be set on electrical port specs."):
            setattr(optical, name, value)
        setattr(optical, name, None)  # clearing what is not there is fine
    assert optical.classification == "optical"


def test_impedance_has_one_value_or_one_per_mode():
    per_mode = tw.Interpolator([1e9, 2e9], [[50, 50], [40, 45]])
    s = spec(impedance=per_mode, num_modes=2)
    assert s.impedance is per_mode
    message = "'impedance' interpolator must have a single value or one value per mode."
    with pytest.raises(ValueError, match=message):
        spec(impedance=per_mode, num_modes=3)
    with pytest.raises(ValueError, match=message):
        s.num_modes = 3
    assert s.num_modes == 2
    single = spec(impedance=tw.Interpolator([1e9], [50]), num_modes=4)
    with pytest.raises(ValueError, match=message):
        single.impedance = tw.Interpolator([0, 1], [[1, 2], [3, 4], [5, 6]])
    assert single.impedance.y.shape == (1,)


# ---- Paths and the target index --------------------------------------------------------------


def test_get_paths_one_path_per_profile():
    s = spec({"a": (0.5, 0.25, L1), "b": (2, 0, L2)})
    paths = s.get_paths((1, 2))
    assert [layer for layer, _ in paths] == [L1, L2]
    a = paths[0][1].segment((11, 2))
    assert np.allclose(a.bounds(), [[1, 2], [11, 2.5]])
    assert paths[1][1].scale_profile and not s.get_paths((0, 0), scale_width=False)[0][1].scale_profile


def test_target_neff_from_the_media_within_the_limits():
    assert spec(target_neff=1.7)._target_neff([2e14]) == 1.7
    tech = tw.basic_technology(core_medium=fenn3d.Medium(permittivity=12.0),
                               clad_medium=fenn3d.Medium(permittivity=2.0))
    core = spec(limits=(0, 0.22))
    assert core._target_neff([1.9e14, 2e14], tech) == pytest.approx(12.0**0.5)
    above = spec(limits=(5, 6))
    assert above._target_neff([2e14], tech) < 12.0**0.5
    with pytest.raises(ValueError, match="Argument 'frequencies' cannot be empty."):
        core._target_neff([], tech)
