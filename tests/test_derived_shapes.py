import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, gapped

SHAPES = [(4, 5, 6), (3,), (2, 1, 7, 3), (), (5, 4), (3, 2, 2, 2, 3)]


@pytest.mark.parametrize("shape", SHAPES)
def test_derived_shapes_against_numpy(shape):
    nd, shp, a = len(shape), I32(shape), np.empty(shape, np.int8)

    def run(number, *args, size=nd):
        base, out = gapped(size, np.int32)
        kernel(number)(*args[:-1], out, args[-1])  # the target stands before shape
        assert np.all(base[::2] == -7)
        return out.tolist()

    for want in range(nd, nd + 3):
        base, out = gapped(want, np.int32)
        kernel(205)(want, out, shp)
        assert out.tolist() == list(a.reshape((1,) * (want - nd) + shape).shape) and np.all(base[::2] == -7)
    if nd > 1:
        base, out = gapped(2, np.int32)
        kernel(205)(2, out, shp)
        assert out.tolist() == list(shape[-2:])
    assert run(155, nd, shp) == list(a.transpose().shape)
    for i in range(nd):
        assert run(150, i, shp, size=nd - 1) == list(np.take(a, 0, axis=i).shape)
        for j in range(nd):
            assert run(154, i, j, shp) == list(a.swapaxes(i, j).shape)
    for n in range(-1, nd + 1):
        head = -3 * int(np.prod(shape[:max(n, 0)]))
        assert kernel(204)(n, -3, shp) == kernel(65)(n, -3, shp) == kernel(52)(n, -3, shp) == head
        assert kernel(162)(-3, n, shp) == head
    for ax in range(-1, nd):
        tail = 5 * int(np.prod(shape[ax + 1:]))
        assert kernel(158)(ax, 5, shp) == kernel(148)(5, ax, shp) == tail
        assert ax < 0 or tail == 5 * a.strides[ax]


def test_products_wrap_in_32_bits():
    big = I32([65536, 65536, 3])
    assert kernel(204)(2, 1, big) == 0 and kernel(158)(0, 7, big) == 7 * 65536 * 3
    assert kernel(162)(3, 2, I32([2**30, 1])) == np.int32(np.int64(3 * 2**30).astype(np.int32))
