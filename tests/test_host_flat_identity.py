"""The flat problems of the benchmark models stay bit for bit what the host
built before its statement and build were made faster: the reference arrays
in tests/data/flat_reference.npz were written by the earlier host
(`python tests/flat_models.py OUT.npz`)."""
import pathlib

import numpy as np
import pytest

import fragments_host as fh
from flat_models import MODELS, flat_arrays

REFERENCE = np.load(pathlib.Path(__file__).parent / "data" / "flat_reference.npz")


def bits(a):
    a = np.asarray(a)
    return a.view(np.uint64) if a.dtype == np.float64 else a


@pytest.mark.parametrize("name", list(MODELS))
def test_flat_problem_is_bitwise_the_reference(name):
    got = flat_arrays(fh, name)
    assert set(got) == {k for k in REFERENCE.files if k.startswith(name + ".")}
    for key, value in got.items():
        ref = REFERENCE[key]
        assert value.dtype == ref.dtype and value.shape == ref.shape, key
        np.testing.assert_array_equal(bits(value), bits(ref), err_msg=key)
