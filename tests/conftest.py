import json
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import fragments  # noqa: E402

CATALOGUE = json.loads((pathlib.Path(__file__).parent / "signatures.json").read_text())["kernels"]


def kernel(n):
    return getattr(fragments, f"_c_closure_{n}")


@pytest.fixture
def rng():
    return np.random.default_rng(12345)
