"""Layer and extrusion specifications, technologies, the basic technology and the default."""

import colorsys
import subprocess
import sys
import warnings

import fenn3d
import pytest

import tarnwhistle as tw
from tarnwhistle import extension

HUES = [3.5, 0.0, 0.9166667, 4.5, 1.5, 0.5, 2.9166667, 5.3333335]
HUE_NAMES = ["blue", "red", "yellow", "purple", "green", "orange", "cyan", "magenta"]


def hsl_color(layer, hue_index):
    """The derived colour through the standard HLS conversion, as '#rrggbb18'."""
    s = layer[0] + layer[1]
    lightness = (s % 3) * 0.25 + 0.3
    if hue_index == 8:
        rgb = (lightness,) * 3
    else:
        saturation = 0.4 + 0.6 * (s % 2)
        rgb = colorsys.hls_to_rgb(HUES[hue_index] / 6, lightness, saturation)
    return "#" + "".join(f"{max(0, min(255, int(c * 256))):02x}" for c in rgb) + "18"


def medium(eps=1.0):
    return fenn3d.Medium(permittivity=eps)


# ---- LayerSpec -------------------------------------------------------------------------


def test_derived_colors_follow_the_hue_lightness_saturation_model():
    assert tw.LayerSpec((1, 0), "x").color == "#ff191918"  # red, lightness 0.55, saturation 1
    for n in range(20):
        for d in range(4):
            assert tw.LayerSpec((n, d), "x").color == hsl_color((n, d), n % 9)
            for k, name in enumerate(HUE_NAMES + ["gray"]):
                assert tw.LayerSpec((n, d), "x", name).color == hsl_color((n, d), k)
    assert tw.LayerSpec((4, 1), "x", "grey").color == tw.LayerSpec((4, 1), "x", "gray").color


def test_explicit_colors():
    cases = [("#1234", "#11223344"), ("abc", "#aabbccff"), ("#A1b2C3", "#a1b2c3ff"),
             ("01020304", "#01020304"), ((10, 20, 30), "#0a141eff"), ([1, 2, 3, 4], "#01020304")]
    for given, expected in cases:
        assert tw.LayerSpec((0, 0), "x", given).color == expected


@pytest.mark.parametrize("color, error, message", [
    ("12345", ValueError, "String length invalid: 'color' format must match one of 'RGB', 'RGBA', "
     "'RRGGBB', or 'RRGGBBAA' (3, 4, 6 or 8 hexadecimal digits) with an optional '#' prefix."),
    ("#", ValueError, "String length invalid"),
    ("#12g4", ValueError,
     "Character 'color[3]' is not a valid hexadecimal digit (0-9, a-f, A-F)."),
    ((1, 2), ValueError, "Tuple 'color' must have 3 (RGB) of 4 (RGBA) color components."),
    ((1, 256, 3), ValueError, "Component 'color[1]' outside valid range [0-255]."),
    ((1, 2, -1), ValueError, "Component 'color[2]' outside valid range [0-255]."),
    (5, TypeError, "Argument 'color' must be a color string or tuple."),
])
def test_color_errors_leave_the_color(color, error, message):
    with pytest.raises(error) as info:
        tw.LayerSpec((0, 0), "x", color)
    assert str(info.value).startswith(message)
    spec = tw.LayerSpec((0, 0), "x", "#010203")
    with pytest.raises(error):
        spec.color = color
    assert spec.color == "#010203ff"


def test_patterns():
    names = ["solid", "hollow", "\\", "\\\\", "/", "//", "|", "||", "-", "=", "x", "xx", "+", "++",
             ".", ":"]
    assert tw.LayerSpec((3, 1), "x").pattern == "/"
    for n, d in [(0, 0), (7, 2), (2, 7), (30, 1), (1, 30)]:
        assert tw.LayerSpec((n, d), "x").pattern == names[abs(n - d) % 14 + 2]
    spec = tw.LayerSpec((0, 0), "x")
    for name in names:
        assert tw.LayerSpec((0, 0), "x", pattern=name).pattern == name
        spec.pattern = name
        assert spec.pattern == name
    with pytest.raises(ValueError) as info:
        tw.LayerSpec((0, 0), "x", pattern="#")
    assert str(info.value) == ("Argument 'pattern' must be one of 'solid', 'hollow', '', '\\', '/', "
                               "'//', '|', '||', '-', '=', 'x', 'xx', '+', '++', '.', or ':'.")
    with pytest.raises(ValueError) as info:
        spec.pattern = ""
    assert str(info.value) == ("Argument 'pattern' must be one of 'solid', 'hollow', '\\', '\\\\', "
                               "'/', '//', '-', '=', 'x', 'xx', '+', '++', '.', or ':'.")
    assert spec.pattern == ":"


def test_layer_spec_fields_and_forms():
    spec = tw.LayerSpec((5, 2), "Metal", "#b8a18b18", "\\", conductive=True, min_width=2.0,
                        min_spacing=0.5)
    assert repr(spec) == ('LayerSpec(layer=(5, 2), description="Metal", color="#b8a18b18", '
                          'pattern="\\", conductive=True, device_marker=False, min_width=2, '
                          'min_spacing=0.5)')
    assert spec == tw.LayerSpec((5, 2), "Metal", (0xb8, 0xa1, 0x8b, 0x18), "\\", conductive=True,
                                min_width=2, min_spacing=0.5)
    copy = spec.copy()
    copy.device_marker = True
    assert copy != spec and not spec.device_marker
    spec.layer = (7, 1)
    spec.min_width = None
    assert spec.layer == (7, 1) and spec.min_width is None
    for bad in (-1, float("inf"), float("nan"), "a"):
        with pytest.raises(ValueError, match="^Argument 'min_spacing' must be a finite, "
                                             "non-negative length.$"):
            spec.min_spacing = bad
    assert spec.min_spacing == 0.5
    with pytest.raises(ValueError, match="'min_width' must be a finite"):
        tw.LayerSpec((0, 0), "x", min_width=-0.1)
    with pytest.raises(TypeError):
        tw.LayerSpec((0, 0), "x", None, "", True)  # the flags are keyword-only
    with pytest.raises(TypeError, match="Error converting item 1 from layer sequence"):
        tw.LayerSpec((0, -1), "x")


# ---- ExtrusionSpec ---------------------------------------------------------------------


def test_extrusion_spec_reference_planes_and_limits():
    m = medium(2)
    spec = tw.ExtrusionSpec((1, 0), m, (0.5, 1.5))
    assert spec.reference == 1.5 and spec.limits == (0.5, 1.5)
    assert spec.mask_spec.layer == (1, 0)
    assert tw.ExtrusionSpec((1, 0), m, (0.5, 1.5), reference="bottom").reference == 0.5
    assert tw.ExtrusionSpec((1, 0), m, (0.5, 1.5), reference="middle").reference == 1.0
    assert 'reference="middle"' in repr(tw.ExtrusionSpec((1, 0), m, (0, 1), 10, "middle"))
    assert "reference=0.2)" in repr(tw.ExtrusionSpec((1, 0), m, (0, 1), reference=0.2))
    # Plane names resolve when given; later limits do not move the plane.
    spec.limits = (0, 4)
    assert spec.reference == 1.5
    spec.reference = "middle"
    assert spec.reference == 2.0
    with pytest.raises(ValueError, match=r"^Inconsistent extrusion limits: 'limits\[0\]' must be "
                                         r"less than 'limits\[1\]'.$"):
        tw.ExtrusionSpec((1, 0), m, (1, 1))
    with pytest.raises(ValueError):
        spec.limits = (3, 2)
    assert spec.limits == (0, 4)
    with pytest.raises(ValueError, match="^Argument 'reference' must be a coordinate value or one "
                                         "of 'top', 'middle', or 'bottom'.$"):
        spec.reference = "up"
    assert spec.reference == 2.0


def test_extrusion_spec_masks_media_and_copies():
    optical, electrical = medium(12), medium(11)
    spec = tw.ExtrusionSpec((1, 0), {"optical": optical, "electrical": electrical}, (0, 1))
    assert spec.get_medium("optical") is optical and spec.get_medium("electrical") is electrical
    assert spec.medium == {"optical": optical, "electrical": electrical}
    only_optical = tw.ExtrusionSpec((1, 0), {"optical": optical}, (0, 1))
    with pytest.raises(ValueError, match="^Medium for classification 'electrical' is not available.$"):
        only_optical.get_medium("electrical")
    with pytest.raises(ValueError, match="^Argument 'classification' must be one of 'electrical' "
                                         "or 'optical'.$"):
        spec.get_medium("radio")
    with pytest.raises(TypeError, match="^Argument 'mask_spec' must be either a layer tuple or an "
                                        "instance of MaskSpec.$"):
        tw.ExtrusionSpec(3.5, optical, (0, 1))
    with pytest.raises(TypeError, match="^Argument 'mask_spec' must be an instance of MaskSpec.$"):
        spec.mask_spec = (2, 0)
    with pytest.raises(TypeError, match="must be a medium"):
        tw.ExtrusionSpec((1, 0), 1.5, (0, 1))
    mask = tw.MaskSpec((3, 0))
    spec.mask_spec = mask
    assert spec.mask_spec is mask and spec.mask_layers() == {(3, 0)}
    shallow, deep = spec.copy(), spec.copy(deep=True)
    assert shallow.mask_spec is mask and deep.mask_spec is not mask
    assert shallow == spec and deep == spec
    deep.sidewall_angle = 5
    assert deep != spec


# ---- Technology ------------------------------------------------------------------------


def technology(**changes):
    arguments = dict(name="T", version="1", layers={"A": tw.LayerSpec((1, 0), "a"),
                                                    "B": tw.LayerSpec((2, 0), "b")},
                     extrusion_specs=[tw.ExtrusionSpec((1, 0), medium(4), (0, 1))], ports={},
                     background_medium=medium())
    arguments.update(changes)
    return tw.Technology(**arguments)


@pytest.mark.parametrize("changes, error, message", [
    ({"layers": [1]}, TypeError, "Argument 'layers' must be a dictionary of layer names and specifications."),
    ({"layers": {"A": tw.LayerSpec((1, 0), "a"), 2: tw.LayerSpec((2, 0), "b")}}, TypeError,
     "Key 1 from 'layers' is not a string instance."),
    ({"layers": {"A": (1, 0)}}, TypeError, "Value 0 from 'layers' is not a LayerSpec instance."),
    ({"ports": None}, TypeError, "Argument 'ports' must be a dictionary of port names and specifications."),
    ({"ports": {"P": 1}}, TypeError, "Value 0 from 'ports' is not a PortSpec instance."),
    ({"ports": {3: 1}}, TypeError, "Key 0 from 'ports' is not a string instance."),
    ({"extrusion_specs": 5}, TypeError,
     "Argument 'extrusion_specs' must be an iterable of ExtrusionSpec instances."),
    ({"extrusion_specs": [None]}, TypeError,
     "All objects in 'extrusion_specs' must be ExtrusionSpec instances."),
    ({"connected_layers": 5}, TypeError, "Argument 'connected_layers' must be an iterable of layer pairs."),
    ({"connected_layers": [(1, 0)]}, TypeError,
     "All objects in 'connected_layers' must be sequences with 2 layers."),
    ({"connected_layers": [((1, 0), (1, 0))]}, ValueError,
     "A layer cannot be connected to itself. Set 'LayerSpec.conductive' instead."),
])
def test_technology_argument_errors(changes, error, message):
    with pytest.raises(error) as info:
        technology(**changes)
    assert str(info.value) == message


def test_connections_mark_layers_conductive():
    t = technology(connected_layers=[("A", (3, 0))])
    assert t.layers["A"].conductive and not t.layers["B"].conductive
    assert t.connected_layers == {((1, 0), (3, 0))}
    with pytest.raises(ValueError, match="cannot be connected to itself"):
        t.add_connection((2, 0), (2, 0))
    assert not t.layers["B"].conductive
    t.add_connection((2, 0), (1, 0))
    assert t.layers["B"].conductive
    assert t.connected_layers == {((1, 0), (3, 0)), ((1, 0), (2, 0))}
    t.remove_connection((1, 0), (2, 0))  # unordered
    assert t.connected_layers == {((1, 0), (3, 0))}
    with pytest.raises(ValueError, match="^LayerSpec name 'C' not found in technology 'T'.$"):
        t.add_connection("C", "A")


def test_technology_containers():
    t = technology()
    c = tw.LayerSpec((9, 9), "c")
    assert t.add_layer("C", c) is t and t.layers["C"] is c
    assert t.remove_layer("A").layer == (1, 0) and t.remove_layer("A") is None
    with pytest.raises(TypeError, match="^Argument 'layer_spec' must be an instance of LayerSpec.$"):
        t.add_layer("D", (1, 0))
    with pytest.raises(TypeError, match="^Argument 'port_spec' must be an instance of PortSpec.$"):
        t.add_port("P", c)
    first = t.extrusion_specs[0]
    second = tw.ExtrusionSpec((2, 0), medium(3), (1, 2))
    third = tw.ExtrusionSpec((9, 0), medium(3), (1, 2))
    t.insert_extrusion_spec(0, second)
    t.insert_extrusion_spec(-1, third)
    assert t.extrusion_specs == [second, third, first]
    assert t.extrusion_layers() == {(1, 0), (2, 0), (9, 0)}
    with pytest.raises(TypeError, match="^Argument 'extrusion_spec' must be an instance of ExtrusionSpec.$"):
        t.insert_extrusion_spec(0, first.mask_spec)
    assert t.pop_extrusion_spec() is first and t.pop_extrusion_spec(0) is second
    for index in (1, -2):
        with pytest.raises(IndexError, match="^Index out of range.$"):
            t.pop_extrusion_spec(index)
    assert t.extrusion_specs == [third]
    assert t.get_background_medium("optical") == medium()
    t.background_medium = {"optical": medium(2)}
    with pytest.raises(ValueError, match="^Medium for classification 'electrical' is not available.$"):
        t.get_background_medium("electrical")


def test_technology_copies_equality_and_text():
    t = technology(connected_layers=[((1, 0), (2, 0))])
    shallow, deep = t.copy(), t.copy(deep=True)
    assert shallow == t and deep == t and shallow is not t
    assert shallow.extrusion_specs[0] is t.extrusion_specs[0]
    assert deep.extrusion_specs[0] is not t.extrusion_specs[0]
    assert deep.layers["A"] is t.layers["A"]  # layer specifications stay shared
    deep.version = "2"
    assert deep != t
    text = str(t)
    sections = ["Name: T", "\nVersion: 1", "\n\nLayers:\n", "\n\nExtrusion Specs:\n", "\n\nPorts:\n",
                "\n\nBackground medium:\n- Optical: ", "\n- Electrical: ", "\n\nConnected layers: "]
    positions = [text.index(s) for s in sections]
    assert positions == sorted(positions)
    assert repr(t).startswith('Technology(name="T", version="1", layers={"A": LayerSpec(')
    assert "connected_layers={((1, 0), (2, 0))}" in repr(t)
    assert 'name="Unnamed technology"' in repr(technology(name=""))
    assert "<table>" in t._repr_html_()


def test_parametric_update_through_the_registry(monkeypatch):
    calls = []

    def make(width=1.0, height=2.0):
        calls.append((width, height))
        return technology(version=f"{width}-{height}")

    t = technology()
    with pytest.raises(RuntimeError, match="^Missing parametric data in technology.$"):
        t.update()
    t.parametric_function = "tests.make"
    t.parametric_kwargs = {"width": 3.0}
    with pytest.raises(RuntimeError, match="^Parametric technology function not found in "
                                           "technology registry.$"):
        t.update()
    monkeypatch.setitem(extension._technology_registry, "tests.make", make)
    held = t
    assert t.update(height=5.0) is t
    assert calls == [(3.0, 5.0)] and held.version == "3.0-5.0"
    assert t.parametric_kwargs == {"width": 3.0, "height": 5.0}
    monkeypatch.setitem(extension._technology_registry, "tests.make", lambda **kw: 1)
    with pytest.raises(RuntimeError, match="^Updated object returned by parametric function "
                                           "'tests.make' is not a 'Technology' instance.$"):
        t.update()
    monkeypatch.setattr(extension, "_technology_registry", [])
    with pytest.raises(RuntimeError, match="^Technology registry is invalid.$"):
        t.update()
    assert t.version == "3.0-5.0"


# ---- Basic technology ------------------------------------------------------------------


def test_basic_technology_layers_ports_and_stack():
    t = tw.basic_technology()
    assert (t.name, t.version) == ("Basic Technology", "2.0.0")
    expected = {"WG_CLAD": ((1, 0), "Waveguide clad", "#9da6a218", "."),
                "WG_CORE": ((2, 0), "Waveguide core", "#6db5dd18", "/"),
                "SLAB": ((3, 0), "Slab region", "#8851ad18", ":"),
                "TRENCH": ((4, 0), "Deep-etched trench for chip facets", "#535e5918", "+"),
                "METAL": ((5, 0), "Metal layer", "#b8a18b18", "\\")}
    assert {name: (s.layer, s.description, s.color, s.pattern) for name, s in t.layers.items()} == expected
    metal = t.layers["METAL"]
    assert metal.conductive and (metal.min_width, metal.min_spacing) == (2.0, 1.0)
    assert set(t.ports) == {"Strip", "Rib", "CPW"}
    assert t.ports["Strip"].description == "Strip waveguide"
    assert t.ports["CPW"].classification == "electrical"
    assert set(t.ports["CPW"].path_profiles) == {"signal", "gnd0", "gnd1"}
    assert t.extrusion_layers() == {(1, 0), (2, 0), (3, 0), (4, 0), (5, 0)}
    for spec in t.extrusion_specs:
        lower, upper = spec.limits
        assert lower < upper
    core = [s for s in t.extrusion_specs if s.mask_layers() == {(2, 0)}][0]
    assert core.limits == (0, 0.22)
    assert t.parametric_function == "tarnwhistle.basic_technology"
    assert extension._technology_registry == {"tarnwhistle.basic_technology": tw.basic_technology}


def test_basic_technology_arguments():
    si = medium(12)
    t = tw.basic_technology(core_thickness=0.3, metal_thickness=0, core_layer=(20, 1),
                            core_medium=si, top_medium={"optical": medium(1.1), "electrical": medium(1.2)})
    assert t.layers["WG_CORE"].layer == (20, 1)
    assert all((5, 0) not in s.mask_layers() for s in t.extrusion_specs)  # no metal thickness
    core = [s for s in t.extrusion_specs if s.mask_layers() == {(20, 1)}][0]
    assert core.limits == (0, 0.3) and core.medium is si
    assert t.get_background_medium("electrical") == medium(1.2)
    assert t.parametric_kwargs["core_thickness"] == 0.3
    t.update(slab_thickness=0.1)
    assert t.parametric_kwargs["core_thickness"] == 0.3
    assert [s for s in t.extrusion_specs if s.mask_layers() == {(3, 0)}][0].limits == (0, 0.1)
    with pytest.raises(TypeError):
        tw.basic_technology(0.3)
    with pytest.raises(RuntimeError, match="^Basic technology never uses parametric cache.$"):
        t.update(use_parametric_cache=True)


@pytest.mark.parametrize("name", ["core_thickness", "slab_thickness", "clad_thickness",
                                  "box_thickness", "port_z_gap", "strip_width", "rib_width",
                                  "clad_width", "cpw_width", "cpw_gap"])
def test_basic_technology_positive_arguments(name):
    with pytest.raises(ValueError, match=f"^'{name}' must be positive.$"):
        tw.basic_technology(**{name: 0})


@pytest.mark.parametrize("name", ["metal_thickness", "metal_separation", "min_metal_width",
                                  "min_metal_spacing"])
def test_basic_technology_non_negative_arguments(name):
    with pytest.raises(ValueError, match=f"^'{name}' may not be negative.$"):
        tw.basic_technology(**{name: -0.1})
    tw.basic_technology(**{name: 0})


def test_frequency_classification():
    assert tw.frequency_classification([1e14, 2e14]) == "optical"
    assert tw.frequency_classification([5.9e12, 2e14]) == "electrical"
    assert tw.frequency_classification(6e12) == "optical"


def test_default_technology_is_created_once_with_a_warning():
    script = """
import warnings
import tarnwhistle as tw
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    first = tw.config.default_technology
    second = tw.config.default_technology
assert first is second and first.name == "Basic Technology"
assert [str(w.message) for w in caught] == ["Setting default technology to a basic default. Set "
    "'tarnwhistle.config.default_technology' to the desired technology."]
assert "- default technology: Name: Basic Technology" in str(tw.config)
"""
    subprocess.run([sys.executable, "-c", script], check=True)


def test_default_technology_assignment():
    saved = tw.config.default_technology
    try:
        t = technology()
        tw.config.default_technology = t
        assert tw.config.default_technology is t
        with pytest.raises(TypeError, match="^The default technology must be an instance of the "
                                            "Technology class.$"):
            tw.config.default_technology = "basic"
        assert tw.config.default_technology is t
        # Layer names resolve in the default technology.
        assert tw.ExtrusionSpec("B", medium(), (0, 1)).mask_spec.layer == (2, 0)
        with pytest.raises(ValueError, match="^LayerSpec name 'Z' not found in technology 'T'.$"):
            tw.ExtrusionSpec("Z", medium(), (0, 1))
    finally:
        tw.config.default_technology = saved
