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
