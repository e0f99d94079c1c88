"""Stored forms of port specifications, ports, terminals, layers, masks, extrusion specifications
and technologies, through twf files and the JSON store document."""

import json
import random
import re

import fenn3d
import pytest

import tarnwhistle as tw
from tarnwhistle import extension


def medium(eps):
    return fenn3d.Medium(permittivity=eps)


def with_properties(obj, tag):
    obj.properties.tag = tag
    obj.properties.values = [1, 2.5, "three"]
    return obj


def optical_spec():
    return with_properties(tw.PortSpec(
        "Rib guide", 1.5, (-0.5, 0.75), num_modes=3, polarization="TE", target_neff=2.75,
        path_profiles={"core": (0.5, 0.1, (2, 0)), "slab": (1.5, 0, (3, 1))},
        added_solver_modes=2, default_radius=7.5), "optical")


def electrical_spec(**kwargs):
    return tw.PortSpec(
        "Line", 3.0, (0, 1), num_modes=2,
        path_profiles={"signal": (1, 0, (5, 0)), "gnd": (0.5, 1.2, (5, 0))},
        voltage_path=[(0, 0), (0, 1.5)], **kwargs)


def storable(obj):
    """Whether this build stores the object's type (types of other groups may be missing)."""
    try:
        extension._export(obj)
    except RuntimeError:
        return False
    return True


# ---- Round trips --------------------------------------------------------------------------


def test_port_specs_round_trip(round_trip):
    specs = [
        optical_spec(),
        tw.PortSpec("Unnamed", 2, (0, 0), path_profiles=[(0.2 + 0.1 * i, i, (1, i)) for i in range(12)]),
        # Named profiles mixed with generated names (0xFF bytes, not UTF-8 text).
        optical_spec().combined_with(tw.PortSpec("b", 1, (0, 1), path_profiles=[(0.3, 0, (4, 0))]), 2),
        electrical_spec(current_path=[(-1, 0.5), (1, 0.5), (1, -0.5)]),
        electrical_spec(current_path=tw.Rectangle((0, 0.5), (2, 0.4))),
    ]
    loaded = round_trip(*specs)
    assert len(loaded) == len(specs)
    for original, copy in zip(specs, loaded):
        assert copy == original and copy is not original
        assert copy.path_profiles == original.path_profiles
        assert copy.classification == original.classification
        assert copy.properties == original.properties
    assert [p[2] for p in loaded[1].path_profiles] == [(1, i) for i in (0, 1, 10, 11, 2, 3, 4, 5, 6, 7, 8, 9)]
    assert loaded[0].target_neff == 2.75 and loaded[0].default_radius == 7.5
    assert loaded[3].current_path.tolist() == [[-1, 0.5], [1, 0.5], [1, -0.5]]
    assert loaded[4].current_path == tw.Rectangle((0, 0.5), (2, 0.4))


def test_port_spec_impedance_round_trips(round_trip):
    impedance = tw.Interpolator([1e9, 2e9], [[50, 49], [40 + 1j, 45]])
    if not storable(impedance):
        pytest.skip("interpolators are not storable in this build")
    spec = electrical_spec(impedance=impedance)
    (copy,) = round_trip(spec)
    assert copy == spec
    assert copy.impedance == impedance


def test_ports_share_their_specification(round_trip):
    spec = optical_spec()
    a = with_properties(tw.Port((1.5, -2), 30, spec, extended=False, inverted=True, bend_radius=-3), "a")
    b = tw.Port((4, 0), 180, spec)
    c = tw.Port((0, 0), 90, electrical_spec())
    loaded = round_trip(a, b, c, spec)
    for original, copy in zip((a, b, c, spec), loaded):
        assert copy == original
    assert loaded[0].spec is loaded[1].spec is loaded[3]
    assert (loaded[0].extended, loaded[0].inverted, loaded[0].bend_radius) == (False, True, -3)
    assert loaded[0].input_direction == 30 and loaded[0].properties == a.properties
    assert loaded[2].classification == "electrical"


def test_gaussian_and_fiber_ports_round_trip(round_trip):
    gaussian = with_properties(tw.GaussianPort((1, -2, 3.5), (0.3, -0.2, 1), 2.5, waist_position=-1.25,
                                               polarization_angle=35, field_tolerance=0.02), "beam")
    shared = medium(2.1)
    fiber = tw.FiberPort((0, 5, -1), (1, 0, 0), (8, 9), (-2, 3),
                         cross_section=[(tw.Rectangle((0, 0), (3, 3)), shared),
                                        (tw.Rectangle((0, 0), (1, 2)), {"optical": medium(3.4), "electrical": shared})],
                         num_modes=2, polarization="TM", target_neff=1.45, added_solver_modes=1)
    loaded = round_trip(gaussian, fiber)
    assert loaded[0] == gaussian and loaded[1] == fiber
    assert type(loaded[0]) is tw.GaussianPort and type(loaded[1]) is tw.FiberPort
    assert loaded[0].waist_position == -1.25 and loaded[0].field_tolerance == 0.02
    assert loaded[0].properties == gaussian.properties
    assert loaded[0].is_connected_to(gaussian.reflected())


def test_terminals_round_trip(round_trip):
    rectangle = tw.Rectangle((1, 2), (3, 4), rotation=30)
    a = with_properties(tw.Terminal((5, 2), rectangle), "t")
    b = tw.Terminal((7, 0), rectangle)
    loaded = round_trip(a, b)
    assert loaded[0] == a and loaded[1] == b
    assert loaded[0].routing_layer == (5, 2) and loaded[0].properties == a.properties
    assert loaded[0].structure is loaded[1].structure


def test_layer_specs_round_trip(round_trip):
    specs = [
        with_properties(tw.LayerSpec((3, 7), "Metal \u00b5", "#12345678", "xx", conductive=True,
                                     min_width=0.25, min_spacing=0.5), "metal"),
        tw.LayerSpec((4294967295, 0), "Marker", (10, 20, 30), "\\\\", device_marker=True),
        tw.LayerSpec((1, 0), "Derived"),
    ]
    loaded = round_trip(*specs)
    for original, copy in zip(specs, loaded):
        assert copy == original
        assert (copy.color, copy.pattern, copy.min_width, copy.min_spacing) == (
            original.color, original.pattern, original.min_width, original.min_spacing)
    assert loaded[0].conductive and loaded[1].device_marker and loaded[2].min_width is None


MASKS = [
    "(1, 0)",
    "()",
    "-(0, 0) * (10, 0)",
    "((1, 0) + (2, 3)) * (4, 0) ^ (5, 5) ** 0.25 @ (1, -2)",
    "((1, 0) ** 0.1) ** -0.2",
    "((1, 0) - (2, 0) + (3, 0)) @ (0.5, 0.5) ** -0.05",
]


def test_masks_round_trip(round_trip):
    masks = [tw.MaskSpec.parse(text) for text in MASKS]
    masks.append(tw.MaskSpec([(1, 0), (2, 0)], (3, 0), "^", 0.5, (1, 2)))
    loaded = round_trip(*masks)
    for original, copy in zip(masks, loaded):
        assert copy == original
        assert copy.format() == original.format()
        assert copy.get_layers() == original.get_layers()


def test_deeply_nested_mask_round_trips(round_trip):
    mask = tw.MaskSpec.parse("(1, 0)")
    for i in range(150):
        mask = mask + (i, 1) if i % 2 else mask * (i, 2)
    (copy,) = round_trip(mask)
    assert copy == mask
    assert copy.format() == mask.format()


def test_extrusion_specs_round_trip_and_share_media(round_trip):
    mask = tw.MaskSpec.parse("(1, 0) - (2, 0)")
    single = medium(4.2)
    a = with_properties(tw.ExtrusionSpec(mask, single, (-1, 0.5), sidewall_angle=8, reference=0.125), "e")
    b = tw.ExtrusionSpec(mask, {"optical": medium(12.3), "electrical": medium(11.7)}, (0, 2), reference="bottom")
    loaded = round_trip(a, b)
    assert loaded[0] == a and loaded[1] == b
    assert loaded[0].mask_spec is loaded[1].mask_spec
    assert loaded[0].get_medium("optical") is loaded[0].get_medium("electrical")
    assert loaded[1].get_medium("optical") == medium(12.3)
    assert loaded[1].get_medium("electrical") == medium(11.7)
    assert (loaded[0].sidewall_angle, loaded[0].reference, loaded[1].reference) == (8, 0.125, 0)


def test_basic_technology_round_trips(round_trip):
    technology = with_properties(tw.basic_technology(core_thickness=0.3, sidewall_angle=5), "tech")
    technology.add_connection((5, 0), (1, 0))
    strip = technology.ports["Strip"]
    loaded_technology, loaded_strip = round_trip(technology, strip)
    assert loaded_technology == technology
    assert loaded_technology.properties == technology.properties
    assert (loaded_technology.name, loaded_technology.version) == ("Basic Technology", "2.0.0")
    assert list(loaded_technology.layers) == list(technology.layers)
    for name, spec in technology.layers.items():
        assert loaded_technology.layers[name] == spec
    assert loaded_technology.extrusion_specs == technology.extrusion_specs
    assert loaded_technology.ports == technology.ports
    assert loaded_technology.ports["Strip"] is loaded_strip
    assert loaded_technology.connected_layers == technology.connected_layers
    assert loaded_technology.background_medium == technology.background_medium
    assert loaded_technology.parametric_function == technology.parametric_function
    assert loaded_technology.parametric_kwargs == technology.parametric_kwargs
    assert loaded_technology.ports["CPW"].classification == "electrical"


def test_plain_technology_round_trips(round_trip):
    layer = tw.LayerSpec((1, 0), "core")
    technology = tw.Technology("Plain", "0.1", {"core": layer, "also core": layer}, [],
                               {"p": optical_spec()}, medium(1.5))
    (copy,) = round_trip(technology)
    assert copy == technology and copy.parametric_function is None
    assert copy.layers["core"] is copy.layers["also core"]
    assert copy.get_background_medium("optical") is copy.get_background_medium("electrical")


# ---- Malformed JSON forms -----------------------------------------------------------------


def exported(*objects):
    _, data = extension._export(*objects)
    return json.loads(data)


def records(document, type_name):
    return [form for form in document["data"].values() if form["type"] == type_name]


def load(document):
    # The configured default technology is stored too; leave it out so that the mutated
    # records are the first to load.
    document["config"]["default_technology"] = None
    return extension._import(byte_repr=json.dumps(document).encode())[0]


def test_malformed_forms_raise_clear_errors():
    technology = tw.basic_technology()
    objects = (technology, tw.Port((0, 0), 0, technology.ports["Strip"]),
               tw.GaussianPort((0, 0, 0), (0, 0, 1), 1), tw.MaskSpec.parse("(1, 0) + (2, 0)"))
    cases = [
        ("PortSpec", "width", "x", "Invalid value for key 'width'."),
        ("PortSpec", "width", 0, "Invalid value for key 'width'."),
        ("PortSpec", "num_modes", 0, "Invalid value for key 'num_modes'."),
        ("PortSpec", "polarization", "TEM", "Invalid value for key 'polarization'."),
        ("PortSpec", "limits", [1, 2, 3], "Invalid value for key 'limits'."),
        ("PortSpec", "path_profiles", [{"name": "a", "width": 0, "offset": 0, "layer": [1, 0]}],
         "Invalid value for key 'path_profiles'."),
        ("PortSpec", "description", {"bytes": [300]}, "Invalid value for key 'description'."),
        ("Port", "center", [1.5, 0], "Invalid value for key 'center'."),
        ("Port", "center", [10**20, 0], "Invalid value for key 'center'."),
        ("Port", "extended", 1, "Invalid value for key 'extended'."),
        ("GaussianPort", "input_vector", [0, 0, 0], "Invalid value for key 'input_vector'."),
        ("LayerSpec", "pattern", "", "Invalid value for key 'pattern'."),
        ("LayerSpec", "color", [1, 2, 3, 256], "Invalid value for key 'color'."),
        ("LayerSpec", "layer", [-1, 0], "Invalid value for key 'layer'."),
        ("LayerSpec", "min_width", -1, "Invalid value for key 'min_width'."),
        ("MaskSpec", "mask_type", "circle", "Unexpected MaskSpec type: invalid or corrupted file."),
        ("MaskSpec", "operation", "/", "Unexpected MaskSpec operation: invalid or corrupted file."),
        ("ExtrusionSpec", "limits", [5, 5],
         "Inconsistent extrusion limits: 'limits[0]' must be less than 'limits[1]'."),
        ("Technology", "connected_layers", [[[1, 0], [1, 0]]],
         "A layer connection cannot name the same layer twice."),
        ("Technology", "layers", [["a", None]], "LayerSpec required, but missing in stored data."),
    ]
    for type_name, key, value, message in cases:
        document = exported(*objects)
        for form in records(document, type_name):
            form[key] = value
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            load(document)
        for form in records(document, type_name):
            del form[key]
        with pytest.raises(RuntimeError, match=f"^key '{key}' not found$"):
            load(document)


def test_references_to_the_wrong_type_are_refused():
    technology = tw.basic_technology()
    document = exported(tw.Port((0, 0), 0, technology.ports["Strip"]), technology.layers["SLAB"])
    (port,) = records(document, "Port")
    port["spec"] = document["top_content"][1]
    with pytest.raises(RuntimeError, match="^Expected type 'PortSpec', found 'LayerSpec'.$"):
        load(document)
    port["spec"] = "no-such-id"
    with pytest.raises(RuntimeError, match="^PortSpec not found in data:no-such-id$"):
        load(document)

    document = exported(tw.GaussianPort((0, 0, 0), (0, 0, 1), 1))
    records(document, "GaussianPort")[0]["mode"]["mode_type"] = "fiber"
    with pytest.raises(RuntimeError, match="^Unexpected port mode type: invalid or currupted file.$"):
        load(document)


def test_self_nested_masks_are_bounded():
    document = exported(tw.MaskSpec.parse("(1, 0) + (2, 0)"))
    form = document["data"][document["top_content"][0]]
    nested = {"mask_type": "layer", "layer": [1, 0], "operation": "+", "operands0": [], "operands1": [],
              "dilation": 0, "translation": [0, 0]}
    for _ in range(400):
        nested = dict(nested, mask_type="operation", layer=None, operands0=[nested])
    form["operands0"] = [nested]
    with pytest.raises(RuntimeError, match="^Unexpected MaskSpec type: invalid or corrupted file.$"):
        load(document)


BAD_VALUES = [None, True, -1, 2**63, 1.5, "x", [], [1, 2], {}, {"bytes": [255]}]


def mutations(value):
    """Every field of a form replaced by each bad value, recursing into objects and lists."""
    if isinstance(value, dict):
        for key in value:
            for bad in BAD_VALUES:
                yield lambda form, k=key, b=bad: form.__setitem__(k, b)
            for mutate in mutations(value[key]):
                yield lambda form, k=key, m=mutate: m(form[k])
    elif isinstance(value, list):
        for i, item in enumerate(value[:2]):
            for mutate in mutations(item):
                yield lambda form, i=i, m=mutate: m(form[i])


def test_every_field_mutation_loads_or_raises_runtime_error():
    spec = electrical_spec(current_path=tw.Rectangle((0, 0), (1, 1)))
    objects = (tw.basic_technology(), tw.Port((0, 0), 90, spec), tw.Terminal((1, 0), tw.Rectangle((0, 0), (1, 1))),
               tw.FiberPort((0, 0, 0), (1, 0, 0), (2, 2), (-1, 1), [(tw.Rectangle((0, 0), (1, 1)), medium(2))]),
               tw.GaussianPort((0, 0, 0), (0, 0, 1), 1))
    original = exported(*objects)
    seen = set()
    for key, form in original["data"].items():
        if form["type"] in seen or form["type"] in ("Medium", "Rectangle", "Native"):
            continue
        seen.add(form["type"])
        for mutate in mutations({k: v for k, v in form.items() if k not in ("type", "type_version")}):
            document = json.loads(json.dumps(original))
            mutate(document["data"][key])
            try:
                load(document)
            except RuntimeError:
                pass
    assert {"PortSpec", "Port", "Terminal", "FiberPort", "GaussianPort", "LayerSpec", "MaskSpec",
            "ExtrusionSpec", "Technology"} <= seen


# ---- Corrupt twf files --------------------------------------------------------------------


def test_corrupt_twf_files_load_or_raise_runtime_error(tmp_path):
    # Solver media are left out: their records belong to the interpreter layer.
    technology = tw.basic_technology()
    filename = str(tmp_path / "objects.twf")
    tw.write_twf(filename, *technology.layers.values(), *technology.ports.values(),
                 *(spec.mask_spec for spec in technology.extrusion_specs),
                 tw.Port((0, 0), 0, technology.ports["CPW"]), tw.FiberPort((0, 0, 0), (1, 0, 0), (2, 2), (-1, 1)),
                 tw.GaussianPort((0, 0, 0), (0, 0, 1), 1), tw.Terminal((1, 0), tw.Rectangle((0, 0), (1, 1))))
    with open(filename, "rb") as f:
        data = f.read()
    records_end = int.from_bytes(data[18:26], "little")  # the table of contents follows them
    rng = random.Random(20261206)
    corrupt = str(tmp_path / "corrupt.twf")
    for _ in range(300):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            position = rng.randrange(26, records_end)
            damaged[position] = rng.randrange(256)
        with open(corrupt, "wb") as f:
            f.write(damaged)
        try:
            tw.load_full_twf(corrupt)
        except RuntimeError:
            pass
    with open(corrupt, "wb") as f:
        f.write(data[:-1])
    with pytest.raises(RuntimeError, match="^Invalid twf stream size.$"):
        tw.load_full_twf(corrupt)
