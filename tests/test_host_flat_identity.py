"""The flat problems of the benchmark models stay bit for bit what the host
built before its statement and build were made faster: the reference arrays
in tests/data/flat_reference.npz were written by the earlier host
(`python tests/flat_models.py OUT.npz`)."""
import pathlib

import numpy as np
import pytest

import fragments_host as fh
from flat_models import MODELS, TWINS, flat_arrays

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


def _merged(cones):
    """Consecutive cones of one linear kind as one (rows stated one by one
    give one cone per row or per run, rows stated as a vector one)."""
    out = []
    for kind, n in cones:
        if out and kind in ("zero", "nonneg") and out[-1][0] == kind:
            out[-1] = (kind, out[-1][1] + n)
        else:
            out.append((kind, n))
    return out


@pytest.mark.parametrize("name", list(TWINS))
def test_elements_give_the_flat_problem_of_their_vectorized_twin(name):
    """A model stated element by element and its twin stated with slices,
    row for row in the same order, give the same flat problem."""
    elements, slices = (f(fh) for f in TWINS[name])
    (q1, A1, b1, c1), (q2, A2, b2, c2) = elements.flat_problem(), slices.flat_problem()
    assert A1.shape == A2.shape and _merged(c1) == _merged(c2)
    for got, want in ((q1, q2), (b1, b2), (A1.toarray(), A2.toarray()),
                      (elements.quadratic_term().toarray(), slices.quadratic_term().toarray())):
        np.testing.assert_allclose(got, want, rtol=1e-14, atol=0)
    assert elements.solve() == pytest.approx(slices.solve(), rel=1e-9, abs=1e-12)
