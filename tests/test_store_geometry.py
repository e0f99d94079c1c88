"""Stored forms of circles, polygons, paths, labels, expressions and interpolators: twf files and
JSON store documents round-trip every field, share referenced objects and refuse corrupt data."""
import json
import random
import struct

import numpy as np
import pytest

import tarnwhistle as tw
from tarnwhistle import extension as ext


def with_properties(obj):
    obj.properties = tw.Properties(note="stored", weights=[1, 2.5])
    return obj


def circle():
    return with_properties(tw.Circle((5, 3), (-1.5, 2), inner_radius=(2, 1), sector=(-30, 200),
                                     rotation=15, min_evals=40))


def polygon():
    return with_properties(tw.Polygon([(0, 0), (10, 0), (10, 8), (0, 8)],
                                      holes=[[(1, 1), (3, 1), (2, 3)], [(5, 5), (8, 5), (8, 7), (5, 7)]]))


def label():
    return with_properties(tw.Label("pin ✓", (-1.25, 3.5), "SE", 33.5, 2.5, True))


def width_expression():
    return tw.Expression("u", [("a", 0.25), "1 + a * sin(pi * u)", "a * pi * cos(pi * u)"])


def path():
    """Every section kind and every profile kind, with non-default caps and flags."""
    p = tw.Path((1, -2), 0.5, offset=0.1, caps=(0.25, "round"), scale_profile=False)
    p.segment([(10, -2), (10, 5), (15, 5)], width=(0.5, 0.8, "smooth"), join_limit=1.5,
              min_evals=300, max_evals=5000)
    p.segment([(20, 5)], join_limit="round", offset=(0.2, "constant"))
    p.arc(-90, 0, radius=(6, 4), rotation=20, euler_fraction=0, width=0.6)
    p.turn(-45, radius=8, euler_fraction=0.4, offset=(0.0, "linear"))
    p.s_bend((15, 6), euler_fraction=0, relative=True, width=width_expression())
    p.bezier([(3, 2), (6, 3), (9, 3)], relative=True, width=("0.7 + 0.1 * u", "0.1"))
    p.parametric(tw.Expression("u", ["3 * u", "sin(2 * u)", "3", "2 * cos(2 * u)"]),
                 width=(0.5, "constant"))
    return with_properties(p)


def expression():
    return with_properties(tw.Expression(["x", "y"], [("k", 2.5), ("big", float("inf")),
                                                        ("r", "sqrt(x^2 + y^2) * k"), "atan2(y, x)"]))


def interpolator():
    y = [[1, 2, 4, 3], [1j, 1 + 1j, -2, 0.5 - 1j]]
    return with_properties(tw.Interpolator([0.5, 0, 2, 1], y, method="pchip", coords="mag_phase",
                                           extrapolation="constant", parameter_names=["f"]))


def interpolator_2d():
    x = [(0, 0), (1, 0), (0, 1), (1, 1)]
    return with_properties(tw.Interpolator(x, [1, 2, 3, 4.5], parameter_names=("u", "v")))


FACTORIES = [circle, polygon, label, path, expression, interpolator, interpolator_2d,
             lambda: tw.Circle(2), lambda: tw.Path((0, 0), 1), lambda: tw.Label()]


def stored_forms(*objects):
    """The JSON forms of the document, by store id."""
    _, data = ext._export(*objects)
    return json.loads(data)


@pytest.mark.parametrize("factory", FACTORIES)
def test_round_trips_compare_equal(factory, via_twf, via_json):
    original = factory()
    for (loaded,) in (via_twf(original), via_json(original)):
        assert type(loaded) is type(original)
        assert loaded == original and loaded is not original
        assert loaded.properties == original.properties


def test_loaded_structures_keep_their_geometry(via_twf, via_json):
    originals = [circle(), polygon(), path()]
    for loaded in (via_twf(*originals), via_json(*originals)):
        for a, b in zip(originals, loaded):
            assert np.array_equal(a.to_polygon().vertices, b.to_polygon().vertices)
            assert a.area() == pytest.approx(b.area())


def test_loaded_path_keeps_building(via_twf):
    # The loaded path continues from its stored end, and both build the same section.
    original = path()
    (loaded,) = via_twf(original)
    for p in (original, loaded):
        p.segment([(5, 0)], relative=True)
    assert loaded == original


def test_loaded_evaluators_agree(via_twf, via_json):
    e, i, i2 = expression(), interpolator(), interpolator_2d()
    for le, li, li2 in (via_twf(e, i, i2), via_json(e, i, i2)):
        assert np.array_equal(le(3, 4), e(3, 4))
        assert le.expressions == e.expressions and le.parameters == e.parameters
        q = [-1, 0.25, 0.75, 1.5, 3]
        assert np.allclose(li(q), i(q))
        assert li.parameter_names == ("f",) and li.method == "pchip"
        assert li2([0.5, 0.25]) == pytest.approx(i2([0.5, 0.25]))


def test_shared_objects_load_once(via_twf, via_json):
    c, e = circle(), expression()
    # A twf file lists each explicit object once; a JSON document lists every argument.
    a, b = via_twf(c, e, c, e)
    assert a == c and b == e
    loaded = via_json(c, e, c, e)
    assert loaded[0] is loaded[2] and loaded[1] is loaded[3] and loaded[0] == c
    # A path's parametric profile keeps its own expression: changing one path's copy leaves the
    # other alone.
    p = path()
    a, b = via_twf(p, p.copy())
    assert a == b and a is not b


def test_json_forms_use_data_model_names():
    c, poly, lab, p = circle(), polygon(), label(), path()
    forms = stored_forms(c, poly, lab, p)
    data, top = forms["data"], forms["top_content"]
    fc, fpoly, flab, fp = (data[str(i)] for i in top)
    assert fc["type"] == "Circle" and fc["radius"] == [500000, 300000] and fc["min_evals"] == 40
    assert fc["inner_radius"] == [200000, 100000] and fc["sector"] == [-30, 200]
    assert fpoly["vertices"][1] == [1000000, 0] and len(fpoly["holes"]) == 2
    assert flab["anchor"] == "SE" and flab["x_reflection"] is True and flab["text"] == "pin ✓"
    assert fp["cap_extensions"] == [0.25, 0] and fp["round_caps"] == [False, True]
    assert fp["end_position"] == list(np.round(p.at(p.size, "position") * 100000).astype(int))
    kinds = [s["type"] for s in fp["path_sections"]]
    assert kinds == ["segment", "segment", "arc", "euler", "arc", "arc", "bezier", "parametric"]
    assert fp["path_sections"][0]["width"]["type"] == "smooth"
    assert fp["path_sections"][4]["width"]["type"] == "slice"
    assert fp["path_sections"][4]["width"]["base"]["type"] == "parametric"
    # Referenced expressions are records of their own.
    ref = fp["path_sections"][7]["expression"]
    assert data[str(ref)]["type"] == "Expression"


def test_polygon_twf_payload_is_compact(tmp_path):
    angles = np.linspace(0, 2 * np.pi, 2000, endpoint=False)
    big = tw.Polygon(np.column_stack((np.cos(angles), np.sin(angles))) * 50)
    small = tw.Polygon([(0, 0), (1, 0), (0, 1)])
    sizes = []
    for p in (small, big):
        filename = tmp_path / "p.twf"
        tw.write_twf(str(filename), p)
        sizes.append(filename.stat().st_size)
    # Coordinates up to 5e6 units take at most 4 bytes each as signed counts.
    assert sizes[1] - sizes[0] <= 8 * 2000


# ---- Corrupt JSON forms -----------------------------------------------------------------------

def load_modified(objects, change):
    document = stored_forms(*objects)
    change(document["data"][str(document["top_content"][0])], document)
    return ext._import(byte_repr=json.dumps(document).encode())


def section(n):
    return lambda form, _: form["path_sections"][n]


@pytest.mark.parametrize("factory, change, message", [
    (circle, lambda f, d: f.pop("radius"), "key 'radius' not found"),
    (circle, lambda f, d: f.update(radius=[1, 2, 3]), "Invalid value for key 'radius'."),
    (circle, lambda f, d: f.update(inner_radius=f["radius"]), "Invalid stored circle radii."),
    (circle, lambda f, d: f.update(min_evals=-1), "Invalid value for key 'min_evals'."),
    (circle, lambda f, d: f.update(center=[10 ** 18, 0]), "Invalid value for key 'center'."),
    (circle, lambda f, d: f.update(center=[10 ** 14, 0]), "Coordinates exceed the supported range"),
    (circle, lambda f, d: f.update(rotation="ten"), "Invalid value for key 'rotation'."),
    (polygon, lambda f, d: f.update(vertices=[[0, 0], [1, 1]]), "Created polygon is invalid."),
    (polygon, lambda f, d: f["holes"][0].update(vertices=[[-9, -9], [-8, -9], [-8, -8]]),
     "Created polygon is invalid."),
    (polygon, lambda f, d: f.update(holes=[[[1, 1]]]), "Invalid value for key 'holes'."),
    (label, lambda f, d: f.update(anchor="X"), "Invalid value for key 'anchor'."),
    (label, lambda f, d: f.update(x_reflection=1), "Invalid value for key 'x_reflection'."),
    (path, lambda f, d: f["path_sections"][0].update(type="spiral"),
     "Unexpected PathSection type: invalid or corrupted file."),
    (path, lambda f, d: f["path_sections"][0]["width"].update(type="wavy"),
     "Unexpected PathInterpolator type: invalid or corrupted file."),
    (path, lambda f, d: f["path_sections"][0].update(vertices=[[0, 0]]), "Invalid value for key 'vertices'."),
    (path, lambda f, d: f["path_sections"][2].update(radius=[0, 1]), "Invalid value for key 'radius'."),
    (path, lambda f, d: f["path_sections"][3].update(euler_fraction=1.5),
     "Invalid value for key 'euler_fraction'."),
    (path, lambda f, d: f["path_sections"][3].update(final_angle=f["path_sections"][3]["initial_angle"] + 340,
                                                     euler_fraction=1),
     "Invalid value for key 'euler_fraction'."),
    (path, lambda f, d: f["path_sections"][1]["offset"].update(value=1e300),
     r"^Path evaluation out of range around \("),
    (path, lambda f, d: f.update(end_width=-1), "Invalid value for key 'end_width'."),
    (path, lambda f, d: f.update(round_caps=[True]), "Invalid value for key 'round_caps'."),
    (path, lambda f, d: f["path_sections"][7].update(expression=f["path_sections"][0]["width"]),
     "Invalid value for key 'expression'|not found"),
    (expression, lambda f, d: f["expressions"][2].update(text="sqrt(x"),
     'Compilation error near position 6 in expression "sqrt\\(x".'),
    (expression, lambda f, d: f.update(parameters=["x", 1]), "Invalid value for key 'parameters'."),
    (expression, lambda f, d: f["expressions"][0].update(value="lots"), "Invalid value for key 'value'."),
    (interpolator, lambda f, d: f.update(method="cubic"), "Invalid value for key 'method'."),
    (interpolator, lambda f, d: f["variables"][1]["values"].pop(),
     "Each 'y' value sequence must have the same size as 'x'."),
    (interpolator, lambda f, d: f.update(dims=0), "Invalid value for key 'dims'."),
    (interpolator_2d, lambda f, d: f.update(method="akima"),
     "Multidimensional interpolation is only available with 'linear' method."),
    (interpolator_2d, lambda f, d: f.update(parameter_names=["u"]),
     "parameter_names size must match the number of dimensions in x."),
])
def test_corrupt_json_forms_are_refused(factory, change, message):
    with pytest.raises(RuntimeError, match=message):
        load_modified([factory()], change)


def test_section_expression_must_have_one_parameter():
    def change(form, document):
        ref = str(form["path_sections"][7]["expression"])
        document["data"][ref]["parameters"] = ["u", "v"]
    with pytest.raises(RuntimeError, match="Invalid value for key 'expression'."):
        load_modified([path()], change)


# ---- Corrupt twf records ----------------------------------------------------------------------

def payload_range(data):
    table = struct.unpack_from("<Q", data, 18)[0]
    return 26, table


@pytest.mark.parametrize("factory", [circle, polygon, label, path, expression, interpolator])
def test_corrupt_twf_records_never_crash(tmp_path, factory):
    filename = tmp_path / "original.twf"
    tw.write_twf(str(filename), factory())
    original = filename.read_bytes()
    begin, end = payload_range(original)
    rng = random.Random(factory.__name__)
    refused = 0
    for trial in range(150):
        data = bytearray(original)
        for _ in range(rng.randint(1, 3)):
            position = rng.randrange(begin, end)
            data[position] = rng.randrange(256) if trial % 2 else data[position] ^ (1 << rng.randrange(8))
        filename.write_bytes(bytes(data))
        try:
            tw.load_full_twf(str(filename))
        except RuntimeError:
            refused += 1
    assert refused > 0
