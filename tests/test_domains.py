"""Domain bounds (scalar, dense, sparse) against numpy assignment, strides and
shapes without the cone axis against numpy, the cone-fastest numbering
against numpy.moveaxis of an index array, and the extent products against
numpy products wrapped to the kernel's width."""
import numpy as np
import pytest

from conftest import kernel

I32 = np.int32


def wrap32(x):
    return (int(x) + 2**31) % 2**32 - 2**31


def rowmajor(shape):
    return (np.array(np.empty(shape, np.int8).strides, np.int64)).astype(I32)


SHAPES = [(2, 3), (4, 1, 5), (3,), (2, 2, 2, 3)]


@pytest.mark.parametrize("shape", SHAPES)
def test_sparse_bounds(shape, rng):
    size = int(np.prod(shape))
    lin = rng.choice(size, size=min(size, 4), replace=False)
    sp = np.array(np.unravel_index(lin, shape), I32).T.copy()
    vals, lo, hi = rng.random(len(lin)), rng.random(len(lin)), rng.random(len(lin))
    stride = rowmajor(shape)
    b = np.full(size + 2, -9.0)
    kernel(100)(b, vals, sp, len(shape), stride)
    want = np.full(size + 2, -9.0)
    want[lin] = vals
    np.testing.assert_array_equal(b, want)
    # the pair of bounds, strides taken from the shape on the R stack at 3
    ri32 = np.zeros(20, I32)
    ri32[3:3 + len(shape)] = shape
    bl, bu = np.full(size + 2, -9.0), np.full(size + 2, -8.0)
    kernel(82)(bl, bu, False, lo, False, sp[:, ::1], hi, len(shape), 99, ri32, 3)
    wl, wu = np.full(size + 2, -9.0), np.full(size + 2, -8.0)
    wl[lin], wu[lin] = lo, hi
    np.testing.assert_array_equal(bl, wl)
    np.testing.assert_array_equal(bu, wu)


# (scalar flag, keep flag, sparse?, nd): what the pair of bounds becomes
BOUND_CASES = [(True, True, True, 2), (True, False, False, 2), (False, True, True, 2),
               (False, False, False, 2), (False, False, True, 0)]


@pytest.mark.parametrize("scalar,keep,sparse,nd", BOUND_CASES)
def test_bound_layouts(scalar, keep, sparse, nd, rng):
    n = 6
    lo, hi = rng.random(n), rng.random(n)
    sp = np.array([[1, 2], [0, 1], [1, 2]], I32) if sparse else None
    ri32 = np.array([2, 3], I32)
    bl, bu = np.full(8, -9.0), np.full(8, -8.0)
    kernel(82)(bl, bu, keep, lo[:3] if sparse else lo, scalar, sp, hi[:3] if sparse else hi, nd, n, ri32, 0)
    wl, wu = np.full(8, -9.0), np.full(8, -8.0)
    if scalar:
        wl[:n], wu[:n] = lo[0], hi[0]
    elif keep:
        pass
    elif not sparse:
        wl[:n], wu[:n] = lo, hi
    elif nd == 0:
        wl[0], wu[0] = lo[2], hi[2]                     # every entry at 0, the last wins
    np.testing.assert_array_equal(bl, wl)
    np.testing.assert_array_equal(bu, wu)


def test_duplicate_sparse_entries_keep_the_last():
    b = np.zeros(6)
    kernel(100)(b, np.array([1.0, 2.0, 3.0]), np.array([[1, 2], [0, 0], [1, 2]], I32), 2, np.array([3, 1], I32))
    np.testing.assert_array_equal(b, [2.0, 0, 0, 0, 0, 3.0])


@pytest.mark.parametrize("shape", SHAPES)
def test_strides_and_cone_shapes(shape):
    nd = len(shape)
    shp = np.array(shape, I32)
    st = np.full(nd, 7, I32)
    st[-1] = 1
    kernel(99)(nd, shp, st)
    np.testing.assert_array_equal(st, rowmajor(shape))
    for a in range(nd):
        for tail, head in ((98, 97), (61, 60)):
            out = np.full(nd + 1, -1, I32)
            kernel(head)(out, a, shp)
            kernel(tail)(out, a, nd, shp)
            np.testing.assert_array_equal(out[:nd - 1], np.delete(shp, a))
            assert out[nd - 1] == -1
        if a >= 1:                                      # matrix cone on axes a-1, a
            for tail, tail1, head in ((92, 91, 90), (74, 73, 72)):
                out = np.full(nd + 1, -1, I32)
                kernel(head)(a - 1, out, shp)
                kernel(tail)(a, out, nd, shp)
                np.testing.assert_array_equal(out[:nd - 2], np.delete(shp, [a - 1, a]))
                out = np.full(nd + 1, -1, I32)
                kernel(tail1)(a, nd, out, shp)
                np.testing.assert_array_equal(out[a:nd - 1], shp[a + 1:])


@pytest.mark.parametrize("d0,c,d2,s", [(1, 2, 3, 0), (2, 3, 4, 5), (3, 1, 2, 1), (0, 2, 2, 4), (2, 2, 0, 4)])
def test_cone_fastest_numbering(d0, c, d2, s, rng):
    N = max(d0 * c * d2, 0)
    perm = np.full(N + 2, -1, I32)
    ofs = rng.random(N)
    g = np.full(N + s + 2, -1.0)
    assert kernel(96)(c, d0, d2, N, g, s, ofs if N else None, perm) == s + N
    # numbers handed out in [d0][d2][c] order, then laid out as [d0][c][d2]
    want = np.moveaxis(np.arange(s, s + N).reshape(max(d0, 0), max(d2, 0), c), -1, 1).ravel()
    np.testing.assert_array_equal(perm[:N], want)
    assert np.all(perm[N:] == -1)
    wg = np.full(N + s + 2, -1.0)
    wg[want] = ofs
    np.testing.assert_array_equal(g, wg)


SHP = np.array([3, -4, 70000, 50000, 2], I32)           # products wrap in 32 bits


def between(a, e, p):
    return p * int(np.prod(SHP[a + 1:e].astype(object), initial=1))


def leading(n, p):
    return p * int(np.prod(SHP[:max(n, 0)].astype(object), initial=1))


PRODUCTS = (
    [(k, lambda a, e, p: (a, p, e)) for k in (95, 58, 200)]
    + [(k, lambda a, e, p: (a, e, p)) for k in (71, 70, 199)]
    + [(k, lambda a, e, p: (p, a, e)) for k in (213, 161, 157)]
)


@pytest.mark.parametrize("k,order", PRODUCTS)
def test_products_between_axes(k, order):
    for a, e, p in [(0, 1, 5), (0, 5, 3), (1, 4, -2), (2, 1, 7), (-1, 3, 1)]:
        assert kernel(k)(*order(a, e, p), SHP) == wrap32(between(a, e, p))
    for a, e, p in [(0, 5, 3), (1, 4, -2)]:
        assert kernel(86)(a, p, e, SHP) == between(a, e, p)
        assert kernel(85)(a, e, p, SHP) == between(a, e, p)


def test_products_of_leading_and_all_extents():
    for n, p in [(0, 4), (-1, 4), (2, 3), (5, -1)]:
        for k in (94, 69, 57, 198):
            assert kernel(k)(n, p, SHP) == wrap32(leading(n, p))
        for k in (93, 56, 212, 160, 156, 147):
            assert kernel(k)(p, n, SHP) == wrap32(leading(n, p))
        assert kernel(84)(n, p, SHP) == leading(n, p)
    for k in (190, 63, 50, 0):
        assert kernel(k)(3, SHP) == wrap32(leading(5, 3)) and kernel(k)(3, None) == 3
    for l, q, n in [(5, 1, 4), (2, 0, 5), (5, 9, 5), (0, 0, 3)]:
        keep = [t for t in range(min(l, n)) if t != q]
        assert kernel(83)(l, q, n, 2, SHP) == wrap32(2 * int(np.prod(SHP[keep].astype(object), initial=1)))


SCRATCH_CHILD = r"""
import resource
import numpy as np
import fragments
# 2**28 axes ask for a 1 GiB stride table; the address-space limit refuses it.
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 2**29, hard))
bl, bu, lo = np.full(3, 7.0), np.full(3, 7.0), np.ones(2)
lo_view = memoryview(lo)
try:
    fragments._c_closure_82(bl, bu, False, lo_view, False, np.zeros((2, 1), np.int32), lo, 2**28, 3,
                            np.ones(4, np.int32), 0)
except MemoryError:
    print("MemoryError", bl.tolist() == bu.tolist() == [7.0] * 3)
lo_view.release()
lo.resize(5, refcheck=False)          # no view of it is left behind
print("released")
"""


def test_scratch_stride_table_failure_raises_memory_error():
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", SCRATCH_CHILD], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["MemoryError", "True", "released"]
