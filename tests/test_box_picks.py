import subprocess
import sys

import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, gapped, layouts

BOXES = [((3, 4), (1, 1), (3, 3)), ((4, 5, 6), (1, 0, 2), (3, 5, 5)), ((2, 3, 4, 5), (0, 1, 1, 2), (2, 2, 4, 5)),
         ((7,), (2,), (6,)), ((3, 3), (1, 2), (2, 3)), ((2, 3, 4), (0, 0, 0), (2, 3, 4)), ((5, 1, 4), (4, 0, 0), (5, 1, 3))]


@pytest.mark.parametrize("shape, first, last", BOXES)
def test_box_slice_and_products_against_numpy(rng, shape, first, last):
    nd, size, shp = len(shape), int(np.prod(shape)), I32(shape)
    for number, dtype, sizer in ((187, np.int64, 184), (262, np.int32, 261)):
        native = rng.permutation(np.arange(-size, 2 * size))[:size].astype(dtype)
        expect = native.reshape(shape)[tuple(map(slice, first, last))].ravel()
        n = kernel(sizer)(I32(first), I32(last), nd, 1)
        assert n == expect.size and kernel(sizer)(I32(first), I32(last), nd, 3) == 3 * n
        base, out = gapped(n + 2, dtype)
        kernel(number)(native, I32(first), I32(last), nd, shp, out, n)
        np.testing.assert_array_equal(out[:n], expect)
        assert np.all(out[n:] == -7) and np.all(base[::2] == -7)
    assert all(kernel(257)(a, 2, e, shp) == 2 * np.prod(shape[a + 1:e]) for a in range(-1, nd) for e in range(nd + 1))
    assert all(kernel(256)(-3, n, shp) == -3 * np.prod(shape[:max(n, 0)]) for n in range(-1, nd + 1))
    for j in range(nd):
        parts = [np.empty([rng.integers(1, 5) if t == j else e for t, e in enumerate(shape)]) for _ in range(4)]
        for m in (1, 4):
            for view in layouts([p.shape for p in parts]):
                res = I32(parts[0].shape)
                kernel(255)(j, m, res, view)
                np.testing.assert_array_equal(res, np.concatenate(parts[:m], axis=j).shape)


def test_box_slice_of_a_shape_without_axes():
    out = np.full(2, -7, np.int64)
    kernel(187)(np.array([42, 5], np.int64), I32([]), I32([]), 0, I32([]), out, 1)
    np.testing.assert_array_equal(out, [42, -7])


@pytest.mark.parametrize("s, d, n", [(0, 1, 10), (3, 2, 5), (9, -3, 4), (6, 0, 3), (4, 5, 0)])
def test_strided_pick_against_numpy(rng, s, d, n):
    native, out = rng.integers(-1000, 1000, 12), np.full(n + 1, -7, np.int64)
    kernel(183)(native, n, out, s, d)
    np.testing.assert_array_equal(out, [*native[s + d * np.arange(n)], -7])


MEMORY_CHILD = r"""
import resource
import numpy as np
import fragments
out, i = np.full(3, -7, np.int64), np.zeros(1, np.int32)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 2**29, resource.getrlimit(resource.RLIMIT_AS)[1]))
try:  # 2**28 axes ask for three 1 GiB scratch tables
    fragments._c_closure_187(np.arange(3), i, i, 2**28, i, out, 3)
except MemoryError:
    print("MemoryError", *out)
"""


def test_failed_scratch_allocation_writes_nothing():
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True, timeout=120)
    assert proc.stdout.split() == ["MemoryError", "-7", "-7", "-7"], proc.stderr[-2000:]
