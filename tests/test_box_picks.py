import subprocess
import sys

import numpy as np
import pytest

from conftest import kernel
from test_strides import gapped, layouts

I32 = lambda v: np.array(v, np.int32)  # noqa: E731
BOXES = [
    ((3, 4), (1, 1), (3, 3)),
    ((4, 5, 6), (1, 0, 2), (3, 5, 5)),
    ((2, 3, 4, 5), (0, 1, 1, 2), (2, 2, 4, 5)),
    ((7,), (2,), (6,)),
    ((3, 3), (1, 2), (2, 3)),
    ((2, 3, 4), (0, 0, 0), (2, 3, 4)),
    ((5, 1, 4), (4, 0, 0), (5, 1, 3)),
]


@pytest.mark.parametrize("shape, first, last", BOXES)
def test_box_slice_against_numpy_slicing(rng, shape, first, last):
    nd, size = len(shape), int(np.prod(shape))
    box = tuple(slice(f, e) for f, e in zip(first, last))
    for number, dtype, sizer in ((187, np.int64, 184), (262, np.int32, 261)):
        native = rng.permutation(np.arange(-size, 2 * size))[:size].astype(dtype)
        expect = native.reshape(shape)[box].ravel()
        n = kernel(sizer)(I32(first), I32(last), nd, 1)
        assert n == expect.size and kernel(sizer)(I32(first), I32(last), nd, 3) == 3 * n
        base, out = gapped(n + 2, dtype)
        kernel(number)(native, I32(first), I32(last), nd, I32(shape), out, n)
        np.testing.assert_array_equal(out[:n], expect)
        assert np.all(out[n:] == -7) and np.all(base[::2] == -7)


def test_box_slice_of_a_shape_without_axes():
    out = np.full(2, -7, np.int64)
    kernel(187)(np.array([42, 5], np.int64), I32([]), I32([]), 0, I32([]), out, 1)
    np.testing.assert_array_equal(out, [42, -7])


@pytest.mark.parametrize("s, d, n", [(0, 1, 10), (3, 2, 5), (9, -3, 4), (6, 0, 3), (4, 5, 0)])
def test_strided_pick_against_numpy(rng, s, d, n):
    native = rng.integers(-1000, 1000, 12)
    out = np.full(n + 1, -7, np.int64)
    kernel(183)(native, n, out, s, d)
    np.testing.assert_array_equal(out[:n], native[s + d * np.arange(n)])
    assert out[n] == -7


@pytest.mark.parametrize("shape", [(4, 5, 6, 2), (3,), (7, 1, 2)])
def test_partial_products_and_concatenation(rng, shape):
    nd, shp = len(shape), I32(shape)
    for a in range(-1, nd):
        for e in range(0, nd + 1):
            assert kernel(257)(a, 2, e, shp) == 2 * int(np.prod(shape[a + 1:e]))
    for n in range(-1, nd + 1):
        assert kernel(256)(-3, n, shp) == -3 * int(np.prod(shape[:max(n, 0)]))
    for j in range(nd):
        parts = [np.empty(tuple(rng.integers(1, 5) if t == j else shape[t] for t in range(nd)))
                 for _ in range(4)]
        table = np.array([p.shape for p in parts], np.int32)
        for m in (1, 4):
            for view in layouts(table):
                res = I32(parts[0].shape)
                kernel(255)(j, m, res, view)
                np.testing.assert_array_equal(res, np.concatenate(parts[:m], axis=j).shape)


MEMORY_CHILD = r"""
import resource
import numpy as np
import fragments
out = np.full(3, -7, np.int64)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 2**29, hard))
i = np.zeros(1, np.int32)
try:
    # 2**28 axes ask for three 1 GiB scratch tables.
    fragments._c_closure_187(np.arange(3), i, i, 2**28, i, out, 3)
except MemoryError:
    print("MemoryError")
print(*out)
"""


def test_failed_scratch_allocation_writes_nothing():
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["MemoryError", "-7", "-7", "-7"]
