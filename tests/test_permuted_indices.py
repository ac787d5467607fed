import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, gapped

SHAPES = [(4, 5, 6), (3,), (2, 1, 7, 3), (5, 4), (3, 2, 2, 2, 3), ()]
RECORDS = [(2, 3, 4, 5, 6), (1, 4, 1, 3, 1), (3, 1, 2, 2, 1), (1, 1, 1, 1, 1), (2, 3, 1, 0, 2)]


@pytest.mark.parametrize("shape", SHAPES)
def test_dense_transposition_against_numpy(rng, shape):
    nd, n = len(shape), int(np.prod(shape))
    for perm in {tuple(rng.permutation(nd)) for _ in range(4)}:
        pshape = tuple(np.array(shape, int)[list(perm)])
        pst = np.array(np.empty(pshape, np.int8).strides, np.int64)
        moved = np.arange(n).reshape(shape).transpose(perm).ravel()
        base, ressp = gapped(n, np.int64)
        kernel(209)(nd, n, I32(perm), pst, ressp, I32(shape))
        np.testing.assert_array_equal(ressp, np.argsort(moved, kind="stable"))
        assert np.all(base[::2] == -7)
        native = rng.integers(-9, 10**12, n)
        res = np.full(n + 1, -7, np.int64)
        kernel(208)(native, nd, n, I32(perm), pst, res, I32(shape))
        np.testing.assert_array_equal(res, [*native.reshape(shape).transpose(perm).ravel(), -7])


@pytest.mark.parametrize("record", RECORDS)
def test_swapped_factors_against_numpy(rng, record):
    size = int(np.prod(record))
    native = rng.integers(-10**12, 10**12, size)
    expect = native.reshape(record).transpose(0, 3, 2, 1, 4).ravel()
    base, out = gapped(size + 3, np.int64)
    assert kernel(159)(native, *record, 2, out) == 2 + size
    np.testing.assert_array_equal(out[2:2 + size], expect)
    assert np.all(out[:2] == -7) and np.all(out[2 + size:] == -7) and np.all(base[::2] == -7)
    d0, c, _, d2, _ = record
    con = rng.integers(-2**31, 2**31, d0 * c * d2, dtype=np.int64).astype(np.int32)
    perm = np.full(d0 * c * d2 + 4, -7, np.int32)
    assert kernel(59)(c, d0, d2, con, 4, perm) == 4 + d0 * c * d2
    np.testing.assert_array_equal(perm, [-7] * 4 + list(con.reshape(d0, c, d2).transpose(0, 2, 1).ravel()))


@pytest.mark.parametrize("n", [0, 1, 7, 20])
def test_reordering_by_a_sort_permutation(rng, n):
    sp = np.sort(rng.choice(1000, 20, replace=False)).astype(np.int64)
    nidxs = rng.integers(-10**9, 10**9, 20)
    new = rng.integers(0, 50, 20)  # positions after some transposition, to be sorted
    perm = np.argsort(new, kind="stable").astype(np.int64)
    for number, args, src in ((166, lambda out: (n, perm, out, sp), sp), (165, lambda out: (n, nidxs, perm, out), nidxs)):
        base, out = gapped(21, np.int64)
        kernel(number)(*args(out))
        np.testing.assert_array_equal(out[:n], src[perm[:n]])
        assert np.all(out[n:] == -7) and np.all(base[::2] == -7)


MEMORY_CHILD = r"""
import resource
import numpy as np
import fragments
out, i = np.full(3, -7, np.int64), np.zeros(1, np.int32)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 2**29, resource.getrlimit(resource.RLIMIT_AS)[1]))
for number, args in ((209, (2**28, 3, i, out, out, i)), (208, (out, 2**28, 3, i, out, out, i))):
    try:  # 2**28 axes ask for 3 GiB of scratch
        fragments.__dict__[f"_c_closure_{number}"](*args)
    except MemoryError:
        print("MemoryError", *out)
"""


def test_failed_scratch_allocation_writes_nothing():
    import subprocess
    import sys
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True, timeout=120)
    assert proc.stdout.split() == ["MemoryError", "-7", "-7", "-7"] * 2, proc.stderr[-2000:]
