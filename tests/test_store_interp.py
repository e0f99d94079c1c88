"""Storing objects that hold interpreter values: models and time steppers defined by Python
classes, random variables, and the decoder of values in the sixth-generation twf layout."""

import random
import re
import struct
import warnings

import pytest

import tarnwhistle as tw
from tarnwhistle import extension as ext

PORTS = {"P1": ("in", 50.0), "P2": ("out", 50.0)}

# Writing and loading files and documents.
store_api = pytest.mark.skipif(not hasattr(ext, "_export") or not hasattr(tw, "write_twf"),
                               reason="the module's store functions are not built in")


class Attenuator(tw.Model):
    def __init__(self, loss=0.5, label="a", taps=(1, 2)):
        super().__init__(loss=loss, label=label, taps=taps)
        self.loss = loss

    def start(self, component, frequencies, **kwargs):
        raise NotImplementedError


class Resistor(tw.LumpedModel):
    def __init__(self, r=100.0, port_map=PORTS):
        super().__init__(port_map=port_map, r=r)


class Delay(tw.TimeStepper):
    def __init__(self, steps=1, gain=1 + 0j):
        super().__init__(steps=steps, gain=gain)

    @property
    def keys(self):
        return ("in", "out")


class Broken(tw.Model):
    """Builds when created here, fails when rebuilt from a file."""

    fail = False

    def __init__(self, x=0):
        if Broken.fail:
            raise ValueError("refused")
        super().__init__(x=x)


@pytest.fixture(autouse=True)
def registries():
    saved = dict(ext._model_registry), dict(ext._time_stepper_registry)
    tw.register_model_class(Attenuator, Resistor, Broken)
    tw.register_time_stepper_class(Delay)
    yield
    for registry, content in zip((ext._model_registry, ext._time_stepper_registry), saved):
        registry.clear()
        registry.update(content)
    Broken.fail = False


def with_properties(obj):
    obj.properties.note = "kept"
    obj.properties.weights = [1, 2.5]
    return obj


def variables():
    return [
        tw.RandomVariable("width", value=0.5),
        tw.RandomVariable("gap", value=1 + 2j, stdev=0.25),
        tw.RandomVariable("angle", value_range=(-3, 7.5)),
        tw.RandomVariable("mode", values=["te", "tm", 3]),
    ]


# ---- Round trips ---------------------------------------------------------------------------


@pytest.mark.parametrize("load", ["twf", "json"])
@store_api
def test_objects_round_trip_equal(load, via_twf, via_json):
    originals = [
        with_properties(Attenuator(loss=0.25, label="μ-ring", taps=(3, [4.5, None]))),
        with_properties(Resistor(r=75.0, port_map={"A": ("n1", 25.0), "B": ("n2", "gnd", 50.0)})),
        with_properties(Delay(steps=4, gain=0.5 - 1j)),
    ] + [with_properties(v) for v in variables()]
    originals[0].parametric_function = "attenuator_builder"
    originals[-1].set_by_cdf(0.5)
    loaded = via_twf(*originals) if load == "twf" else via_json(*originals)
    assert len(loaded) == len(originals)
    for original, copy in zip(originals, loaded):
        assert type(copy) is type(original)
        assert copy == original
        assert copy is not original
        assert copy.properties.weights[1] == 2.5 and copy.properties.note
    model, lumped, stepper = loaded[:3]
    assert model.parametric_kwargs == {"loss": 0.25, "label": "μ-ring", "taps": (3, [4.5, None])}
    assert model.loss == 0.25  # rebuilt through the class, so its own attributes are set
    assert model.parametric_function == "attenuator_builder"
    assert lumped.port_map == originals[1].port_map and set(lumped.port_map) == {"A", "B"}
    assert stepper.parametric_kwargs == {"steps": 4, "gain": 0.5 - 1j}
    for original, copy in zip(originals[3:], loaded[3:]):
        assert (copy.type, copy.value_spec, copy.value) == (original.type, original.value_spec, original.value)
    assert loaded[-1].value == "tm"


@store_api
def test_shared_model_loads_once(via_twf, via_json):
    model = Attenuator(loss=0.1)
    first, second = via_json(model, model)
    assert first is second
    stepper = Delay(steps=2)
    loaded = via_twf(stepper, model, stepper)
    assert loaded[0] == stepper and loaded[1] == model


# ---- Rebuilding through the registries -----------------------------------------------------


@store_api
def test_model_class_registry_messages(tmp_path):
    path = str(tmp_path / "model.twf")
    tw.write_twf(path, Attenuator(loss=0.3))
    _, document = ext._export(Broken(x=1))

    del ext._model_registry["Attenuator"]
    with pytest.raises(RuntimeError, match=re.escape(
            "Model class 'Attenuator' not found in register: use the 'register_model_class' "
            "function to register the class before loading a twf file.")):
        tw.load_full_twf(path)

    ext._model_registry["Attenuator"] = lambda **kwargs: Delay()
    with pytest.raises(RuntimeError, match=re.escape(
            "Object created by 'Attenuator' must be an instance of 'Model'.")):
        tw.load_full_twf(path)

    Broken.fail = True
    with pytest.raises(RuntimeError, match=re.escape(
            "Unable to build model from byte representation for class 'Broken'.")):
        ext._import(byte_repr=document)

    ext._model_registry["Attenuator"] = Attenuator
    registry = ext._model_registry
    try:
        ext._model_registry = ["not", "a", "dict"]
        with pytest.raises(RuntimeError, match=re.escape("Model class registry is not a dictionary.")):
            tw.load_full_twf(path)
    finally:
        ext._model_registry = registry
    assert tw.load_full_twf(path)[0] == Attenuator(loss=0.3)


@store_api
def test_time_stepper_registry_messages():
    _, document = ext._export(Delay(steps=3))
    del ext._time_stepper_registry["Delay"]
    with pytest.raises(RuntimeError, match=re.escape(
            "TimeStepper class 'Delay' not found in register: use the 'register_time_stepper_class' "
            "function to register the class before loading a twf file.")):
        ext._import(byte_repr=document)
    ext._time_stepper_registry["Delay"] = lambda **kwargs: Attenuator()
    with pytest.raises(RuntimeError, match=re.escape(
            "Object created by 'Delay' must be an instance of 'TimeStepper'.")):
        ext._import(byte_repr=document)
    ext._time_stepper_registry["Delay"] = lambda **kwargs: 1 / 0
    with pytest.raises(RuntimeError, match=re.escape(
            "Unable to build time stepper from byte representation for class 'Delay'.")):
        ext._import(byte_repr=document)


# ---- Malformed JSON forms ------------------------------------------------------------------


def export_form(obj):
    import json
    _, document = ext._export(obj)
    return json.loads(document)


def top_form(document):
    """The stored form of the first exported object (the configuration adds records of its own)."""
    return document["data"][document["top_content"][0]]


def import_form(document):
    import json
    return ext._import(byte_repr=json.dumps(document).encode())


@pytest.mark.parametrize("obj, key, value, message", [
    (Attenuator(), "class", 3, "Invalid value for key 'class'."),
    (Attenuator(), "parametric_function", 7, "Invalid value for key 'parametric_function'."),
    (Delay(), "class", None, "Invalid value for key 'class'."),
    (tw.RandomVariable("w", value=1.0, stdev=0.1), "distribution", "gaussian", "Invalid value for key 'distribution'."),
    (tw.RandomVariable("w", value=1.0, stdev=0.1), "name", 5, "Invalid value for key 'name'."),
])
@store_api
def test_malformed_forms_fail_with_messages(obj, key, value, message):
    document = export_form(obj)
    form = top_form(document)
    form[key] = value
    with pytest.raises(RuntimeError, match=re.escape(message)):
        import_form(document)
    del form[key]
    with pytest.raises(RuntimeError, match=re.escape(f"key '{key}' not found")):
        import_form(document)


@store_api
def test_random_variable_spec_must_fit_the_distribution():
    document = export_form(tw.RandomVariable("w", value_range=(0, 1)))
    form = top_form(document)
    fixed = export_form(tw.RandomVariable("w", value=2.0))
    fixed_form = top_form(fixed)
    form["spec"] = fixed_form["spec"]  # a one-item tuple for a uniform variable
    with pytest.raises(RuntimeError, match=re.escape("Invalid value for key 'spec'.")):
        import_form(document)
    form["spec"] = fixed_form["value"]  # not a tuple
    with pytest.raises(RuntimeError, match=re.escape("Invalid value for key 'spec'.")):
        import_form(document)


@store_api
def test_deeply_nested_documents_are_refused():
    deep = b"[" * 200000 + b"]" * 200000
    document = (b'{"config":' + deep + b',"data":{},"properties":{},"top_content":[' + deep +
                b'],"type":"TarnWhistleStore","type_version":"0.0"}')
    with pytest.raises(RuntimeError, match=re.escape("Invalid JSON store document.")):
        ext._import(byte_repr=document)


@store_api
def test_corrupted_files_fail_cleanly(tmp_path):
    path = tmp_path / "objects.twf"
    tw.write_twf(str(path), Attenuator(loss=0.7, taps=(1, "x")), Delay(steps=5), *variables())
    data = path.read_bytes()
    generator = random.Random(1234)
    corrupt = tmp_path / "corrupt.twf"
    for trial in range(300):
        mutated = bytearray(data)
        for _ in range(generator.randint(1, 4)):
            mutated[generator.randrange(26, len(mutated))] = generator.randrange(256)
        if trial % 3 == 0:
            # Keep the header's size field consistent so the records themselves get read.
            mutated = mutated[:generator.randrange(26, len(mutated))]
            mutated[10:18] = struct.pack("<Q", len(mutated))
        corrupt.write_bytes(bytes(mutated))
        try:
            tw.load_full_twf(str(corrupt))
        except RuntimeError:
            pass


# ---- Sixth-generation values ---------------------------------------------------------------


def count(value):
    """twf count encoding (shortest form)."""
    start = 0
    for n in range(8):
        size = 1 << (7 * (n + 1))
        if value < start + size:
            rest = value - start
            first = (0xFF << (8 - n)) & 0xFF | (rest & ((1 << (7 - n)) - 1))
            return bytes([first]) + (rest >> (7 - n)).to_bytes(n, "little")
        start += size
    return b"\xff" + value.to_bytes(8, "little")


def signed(value):
    if value == -(1 << 63):
        return count((1 << 64) - 1)
    return count((abs(value) << 1) | (value < 0))


def text(value):
    data = value.encode() if isinstance(value, str) else value
    return count(len(data)) + data


def encode(value):
    """The tagged encoding of the sixth-generation layout."""
    if value is None:
        return b"\x00"
    if value is False or value is True:
        return bytes([1 + value])
    if isinstance(value, int):
        return b"\x03" + signed(value)
    if isinstance(value, float):
        return b"\x04" + struct.pack("<d", value)
    if isinstance(value, complex):
        return b"\x05" + struct.pack("<dd", value.real, value.imag)
    if isinstance(value, str):
        return b"\x06" + text(value)
    if isinstance(value, bytes):
        return b"\x07" + text(value)
    if isinstance(value, dict):
        return b"\x08" + count(len(value)) + b"".join(encode(k) + encode(v) for k, v in value.items())
    if isinstance(value, re.Pattern):
        return b"\x0c" + text(value.pattern) + signed(value.flags)
    tag = {tuple: 9, list: 10, set: 11}[type(value)]
    return bytes([tag]) + count(len(value)) + b"".join(encode(item) for item in value)


def test_count_encoding_matches_the_documented_boundaries():
    assert count(127) == b"\x7f"
    assert count(128) == b"\x80\x00"
    assert count(16511) == b"\xbf\xff"
    assert count(16512) == b"\xc0\x00\x00"


@pytest.mark.parametrize("value", [
    None, False, True, 0, -1, 1, 2**62, -(2**63), 2**63 - 1, 0.1, -1e300, float("inf"), 1.5 - 2j,
    "", "ωaveguide", b"", b"\x00\xff", {"a": 1, 2: [None, 3.5]}, (), (1, ("x", b"y")),
    [[], [[]]], {1, "two", (3,)}, {"nested": {"deep": [(1, {2})]}}, "x" * 20000,
    list(range(200)),
])
def test_twf6_values_decode(value):
    assert ext._twf6_from_bytes(encode(value)) == value


def test_twf6_special_values():
    pattern = ext._twf6_from_bytes(encode(re.compile(r"^P\d+$", re.IGNORECASE)))
    assert pattern.pattern == r"^P\d+$" and pattern.flags & re.IGNORECASE
    assert pattern.match("p12")
    nan = ext._twf6_from_bytes(encode(float("nan")))
    assert nan != nan
    values = ext._twf6_from_bytes(encode([1, 2]))
    assert type(values) is list


def test_twf6_argument_errors():
    for args, kwargs in [((), {}), ((b"\x00", b"\x00"), {}), ((), {"obj": b"\x00"})]:
        with pytest.raises(TypeError, match=re.escape("Exactly 1 positional argument expected.")):
            ext._twf6_from_bytes(*args, **kwargs)
    for obj in [bytearray(b"\x00"), "\x00", memoryview(b"\x00"), None]:
        with pytest.raises(TypeError, match=re.escape("Object to convert must be a bytes instance.")):
            ext._twf6_from_bytes(obj)


@pytest.mark.parametrize("data", [
    b"",                                  # nothing
    b"\x0e\x05",                          # a stored-object reference has no meaning here
    b"\x63",                              # unknown tag
    b"\x00\x00",                          # trailing bytes
    b"\x03",                              # truncated integer
    b"\x04\x00\x00",                      # truncated double
    b"\x06\x05abc",                       # string shorter than its length
    b"\x06\x02\xff\xfe",                  # not UTF-8
    b"\x0a\xff" + b"\xff" * 8,            # absurd item count
    encode({1: 2})[:1] + count(1) + encode([1]) + encode(2),  # unhashable key
    b"\x0b\x01" + encode([1]),            # unhashable set item
    b"\x0c" + text("(") + signed(0),       # pattern that does not compile
    b"\x0a\x01" * 5000 + b"\x00",         # nested beyond any real value
])
def test_twf6_invalid_bytes(data):
    with pytest.raises(RuntimeError, match=re.escape("Invalid byte-representation for Python object.")):
        ext._twf6_from_bytes(data)


def test_twf6_corruption_never_crashes():
    original = encode({"a": [1, 2.5, "x", (None, True)], "b": {3, 4}, "c": b"\x01\x02", "d": 1j})
    assert ext._twf6_from_bytes(original)["a"][3] == (None, True)
    generator = random.Random(42)
    for _ in range(2000):
        mutated = bytearray(original)
        for _ in range(generator.randint(1, 3)):
            mutated[generator.randrange(len(mutated))] = generator.randrange(256)
        mutated = bytes(mutated[:generator.randint(0, len(mutated))])
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # random pattern flags may name deprecated ones
                ext._twf6_from_bytes(mutated)
        except RuntimeError as error:
            assert str(error) == "Invalid byte-representation for Python object."


# ---- Python models in sixth-generation files ------------------------------------------------


def read_count(data, position):
    """A twf count and the position after it."""
    n = 0
    while n < 8 and data[position] & (0x80 >> n):
        n += 1
    low = data[position] & ((1 << (7 - n)) - 1) if n < 8 else 0
    rest = int.from_bytes(data[position + 1:position + 1 + n], "little")
    start = sum(1 << (7 * k) for k in range(1, n + 1))
    return start + (low | rest << (7 - n)), position + 1 + n


def sixth_generation_file(path, component, model_name, class_name, payload):
    """Writes `component` as a version-6 file whose model `model_name` is a sixth-generation
    record holding `class_name` and the bytes `payload`."""
    tw.write_twf(str(path), component)
    data = bytearray(path.read_bytes())
    table = struct.unpack("<Q", data[18:26])[0]
    position = read_count(data, table)[1]
    versions = data[position:position + 1 + data[position]]
    position += len(versions)
    entries = []
    size, position = read_count(data, position)
    for _ in range(size):
        location, position = read_count(data, position)
        entries.append((location, data[position]))
        position += 1
    old = next(location for location, kind in entries if kind == 24)
    new = table  # the old record appended where the table started
    record = bytes([24]) + count(0) + text(class_name) + text(payload)
    # The component names its model by location: point it at the new record.
    link = text(model_name) + count(old)
    start = next(location for location, kind in entries if kind == 26)
    end = min([location for location, _ in entries if location > start] + [table])
    assert len(count(old)) == len(count(new)) and data.count(link, start, end) == 1
    at = data.index(link, start, end)
    data[at:at + len(link)] = text(model_name) + count(new)
    entries.append((new, 24))
    old_table = (count(0) + versions + count(len(entries))
                 + b"".join(count(location) + bytes([kind]) for location, kind in entries)
                 + struct.pack("<dd", 0.001, 0.005))
    data = data[:table] + record + old_table
    data[8:10] = struct.pack("<H", 6)
    data[10:18] = struct.pack("<Q", len(data))
    data[18:26] = struct.pack("<Q", table + len(record))
    path.write_bytes(bytes(data))


@store_api
def test_python_models_of_sixth_generation_files(tmp_path, monkeypatch):
    component = tw.Component("C", technology=tw.basic_technology())
    component.add_model(Attenuator(loss=0.25), "m")
    path = tmp_path / "old.twf"
    sixth_generation_file(path, component, "m", "Attenuator", b"0.75")

    monkeypatch.setattr(Attenuator, "_from_twf6_bytes",
                        classmethod(lambda cls, data: cls(loss=float(data))), raising=False)
    loaded = tw.load_twf(str(path))["components"][0]
    assert isinstance(loaded.models["m"], Attenuator) and loaded.models["m"].loss == 0.75
    with tw.TwfStream(str(path)) as stream:
        assert stream.load_component("C")[0].models["m"].loss == 0.75

    def fails(message):
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            tw.load_twf(str(path))

    monkeypatch.setattr(Attenuator, "_from_twf6_bytes", classmethod(lambda cls, data: Delay()))
    fails("Object created by 'Attenuator._from_twf6_bytes' must be an instance of 'Model'.")
    monkeypatch.setattr(Attenuator, "_from_twf6_bytes", 3)
    fails("Attribute '_from_twf6_bytes' from class 'Attenuator' must be callable.")
    monkeypatch.delattr(Attenuator, "_from_twf6_bytes")
    fails("Unable to get method '_from_twf6_bytes' from class 'Attenuator'.")
