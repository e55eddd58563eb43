"""Shared set-up of the kip_models tests.

The package is taken from PYTHONPATH (CTest points it at <build>/python); run by hand, the
tests fall back to <repository>/build/python. The C libraries used for the reference calls
through ctypes (capi.py) are looked up under KIP_PY_BUILD_DIR (default <repository>/build).
Randomised tests take their seed from KIP_TEST_SEED (default 1); it is printed in the header.
"""

import os
import pathlib
import sys

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KIP_PY_BUILD_DIR", REPO / "build"))
SEED = int(os.environ.get("KIP_TEST_SEED", "1"))

try:
    import kip_models  # noqa: F401
except ImportError:
    sys.path.insert(0, str(BUILD / "python"))


def pytest_report_header(config):
    return f"KIP_TEST_SEED={SEED} (set KIP_TEST_SEED to repeat a run)"


@pytest.fixture
def rng():
    return np.random.default_rng(SEED)

