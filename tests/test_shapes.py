import numpy as np
import pytest

from conftest import kernel
from test_strides import I32, gapped, layouts

SHAPES = [(4, 5, 6), (3,), (2, 1, 7, 1), (1, 1), (5, 4), (3, 1, 2, 2, 3)]


@pytest.mark.parametrize("shape", SHAPES)
def test_reshape_squeeze_expand_against_numpy(rng, shape):
    nd, shp, x = len(shape), I32(shape), np.empty(shape)
    for L in rng.integers(0, x.size, 6):
        res = np.full(nd, -7, np.int32)
        kernel(274)(int(L), res, shp)
        np.testing.assert_array_equal(res, np.unravel_index(L, shape))
    for k in range(nd):
        asked = I32([-1 if t == k else e for t, e in enumerate(shape)])
        base, dest = gapped(nd, np.int32)
        kernel(272)(dest, x.size, asked)
        assert tuple(dest) == x.reshape(tuple(asked)).shape and np.all(base[::2] == -7)
    base, out = gapped(nd, np.int32)
    kernel(227)(shp, out)
    kept = np.squeeze(x).shape
    assert tuple(out[:len(kept)]) == kept and np.all(out[len(kept):] == -7)
    for a in [t for t in range(nd) if shape[t] == 1]:
        base, out = gapped(nd, np.int32)
        kernel(228)(a, shp, out)
        assert tuple(out[:nd - 1]) == np.squeeze(x, axis=a).shape and out[-1] == -7
    for a in range(nd + 1):
        base, out = gapped(nd + 2, np.int32)
        kernel(231)(a, out, shp)
        assert tuple(out[:nd + 1]) == np.expand_dims(x, a).shape and out[-1] == -7


@pytest.mark.parametrize("shape", SHAPES)
def test_axis_records_and_sizes_against_numpy(shape):
    nd, shp, P = len(shape), I32(shape), lambda s: int(np.prod(s, dtype=np.int64))  # noqa: E731
    for a in range(nd):
        for b in range(a + 1, nd):
            dim, adj = np.full(5, -7, np.int32), np.full(5, -7, np.int32)
            kernel(267)(a, dim, b, shp)
            kernel(265)(a, adj, shp)
            assert list(dim) == [P(shape[:a]), shape[a], P(shape[a + 1:b]), shape[b], P(shape[b + 1:])]
            assert b > a + 1 or list(adj) == list(dim)
        for n in range(a + 1, nd + 1):
            dim = np.full(5, -7, np.int32)
            kernel(266)(a, n, dim, shp)
            assert list(dim) == [P(shape[:a]), shape[a], P(shape[a + 1:n]), 1, 1]
            assert P(dim) == P(shape[:n])
        assert kernel(236)(a, 3, shp) == 3 * P(shape[:a]) and kernel(234)(a, -2, shp) == -2 * P(shape[a + 1:])
    for n in range(-1, nd + 1):
        for v in (-5, 4):
            expect = max([v, *shape[:max(n, 0)]])
            assert kernel(241)(v, n, shp) == kernel(219)(v, n, shp) == kernel(230)(n, shp, v) == expect


def trim(s):
    """The shape without its trailing unit extents, as an operand of fewer axes."""
    s = list(s)
    while s and s[-1] == 1:
        s.pop()
    return tuple(s)


def test_shape_table_rows_padded_against_numpy():
    ops = [(3, 4, 2), (3, 1), (3,), (3, 4, 5)]
    for view in layouts(np.full((len(ops), 4), -9)):
        for i, s in enumerate(ops):
            kernel(254)(i, view, I32(s))
        np.testing.assert_array_equal(view, [np.empty(s)[(...,) + (None,) * (4 - len(s))].shape for s in ops])
        view[2], view[2, 0] = -9, 3
        kernel(252)(2, 1, view)
        assert list(view[2]) == [3, 1, 1, 1] and list(view[1]) == [3, 1, 1, 1] and list(view[3]) == [3, 4, 5, 1]


@pytest.mark.parametrize("base, dim", [((3, 4, 2), 0), ((3, 4, 2), 1), ((3, 4, 1), 2), ((2, 1, 1, 1), 3),
                                       ((5,), 0), ((2, 3, 1), 1)])
def test_concatenated_shape_against_numpy(rng, base, dim):
    nd = len(base)
    parts = [np.empty([rng.integers(1, 4) if t == dim else e for t, e in enumerate(base)]) for _ in range(3)]
    lists = np.empty(5, dtype=object)
    lists[0], lists[1], lists[2], lists[3], lists[4] = None, I32(trim(parts[0].shape)), I32(parts[1].shape), None, \
        I32(trim(parts[2].shape))
    rshape = np.full(nd + 1, -7, np.int32)
    kernel(233)(dim, nd, rshape, lists)
    assert tuple(rshape[:nd]) == np.concatenate(parts, axis=dim).shape and rshape[nd] == -7
    none = np.array([None, None], dtype=object)
    kernel(233)(dim, nd, rshape, none)
    assert rshape[nd] == -7 and tuple(rshape[:nd]) == np.concatenate(parts, axis=dim).shape


# A zero extent beside the inferred one: no element count is divisible by the
# product 0, and the inferred extent is 0.
@pytest.mark.parametrize("asked,n,want", [([0, -1], 5, [0, 0]), ([3, 0, -1], 0, [3, 0, 0]), ([-1, 4], 0, [0, 4]),
                                          ([2, -1, 1], 6, [2, 3, 1])])
def test_inferred_extent_beside_a_zero_extent(asked, n, want):
    base, dest = gapped(len(asked), np.int32)
    kernel(272)(dest, n, I32(asked))
    assert dest.tolist() == want and np.all(base[::2] == -7)
