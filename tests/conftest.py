import warnings

import pytest


@pytest.fixture(autouse=True)
def _warnings_are_recorded():
    # Each test sees every RuntimeWarning once, independent of earlier tests.
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        yield
