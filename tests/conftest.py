import os
import random
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


def pytest_report_header(config):
    import pwpoly

    return f"pwpoly from {pwpoly.__file__}; sys.maxsize = {sys.maxsize:#x}"


@pytest.fixture
def rng(request):
    """A seeded random generator; the seed is shown in the report of a failing test."""
    seed = int(os.environ.get("PWPOLY_TEST_SEED", random.randrange(2**32)))
    request.node.user_properties.append(("seed", seed))
    print(f"random seed: {seed} (replay with PWPOLY_TEST_SEED={seed})")
    return random.Random(seed)


@pytest.fixture(params=["pwpoly", pytest.param("model", marks=pytest.mark.reference_model)])
def impl(request):
    """The module, or the independent pure-Python reference model of it."""
    import pwpoly
    import reference_model

    return pwpoly if request.param == "pwpoly" else reference_model
