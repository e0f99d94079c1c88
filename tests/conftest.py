import warnings

import pytest


@pytest.fixture(autouse=True)
def _warnings_are_recorded():
    # Each test sees every RuntimeWarning once, independent of earlier tests.
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        yield


@pytest.fixture
def fine_tolerance():
    # The finest discretization tolerance, one database unit; restored afterwards.
    import tarnwhistle as tw

    saved = tw.config.tolerance
    tw.config.tolerance = 1e-5
    yield
    tw.config.tolerance = saved


# ---- Stored forms: the objects written and loaded back, as a tuple ---------------------------


@pytest.fixture
def via_twf(tmp_path):
    import tarnwhistle as tw

    def round_trip(*objects):
        filename = str(tmp_path / "objects.twf")
        tw.write_twf(filename, *objects)
        return tw.load_full_twf(filename)

    return round_trip


@pytest.fixture
def via_json():
    from tarnwhistle import extension

    def round_trip(*objects):
        _, document = extension._export(*objects)
        return extension._import(byte_repr=document)[0]

    return round_trip


@pytest.fixture(params=["twf", "json"])
def round_trip(request, via_twf, via_json):
    return via_twf if request.param == "twf" else via_json


@pytest.fixture
def damaged_twf_loads(tmp_path):
    """Loads copies of a twf file's bytes with one to four bytes of its records changed: each
    must load or raise RuntimeError, never crash. Returns how many raised."""
    import random

    import tarnwhistle as tw

    def run(data, copies=300, seed=1234):
        table = int.from_bytes(data[18:26], "little")
        rng = random.Random(seed)
        path = tmp_path / "damaged.twf"
        raised = 0
        for _ in range(copies):
            damaged = bytearray(data)
            for _ in range(rng.randint(1, 4)):
                damaged[rng.randrange(26, table)] = rng.randrange(256)
            path.write_bytes(bytes(damaged))
            try:
                tw.load_full_twf(str(path), set_config=False)
            except RuntimeError:
                raised += 1
        return raised

    return run
