import numpy as np
import pytest

from conftest import kernel
from test_strides import I32

CASES = [((2, 3, 4), 1, (1, 3, 2)), ((3, 2), 0, (2, 1, 3)), ((2, 2, 3), 2, (1, 2)), ((4,), 0, (3, 1, 2, 2)),
         ((1, 2, 1, 3), 2, (2, 1, 1))]


def operands(rng, base, axis, extents):
    """Operands that differ along the stack axis only, with unique native
    indices and random sparsity (-1 marks an element that is not stored)."""
    shapes = [tuple(e if t == axis else s for t, s in enumerate(base)) for e in extents]
    sizes = [int(np.prod(s)) for s in shapes]
    native = rng.permutation(sum(sizes) * 3)[:sum(sizes)] + 1
    dense = np.split(native, np.cumsum(sizes)[:-1])
    sparse = [np.where(rng.random(len(d)) < 0.5, d, -1) for d in dense]
    return shapes, dense, sparse


@pytest.mark.parametrize("base, axis, extents", CASES)
def test_dense_stacks_against_numpy_concatenate(rng, base, axis, extents):
    shapes, dense, _ = operands(rng, base, axis, extents)
    expect = np.concatenate([d.reshape(s) for d, s in zip(dense, shapes)], axis=axis).ravel()
    m, O, I, D = len(shapes), int(np.prod(base[:axis])), int(np.prod(base[axis + 1:])), sum(extents)
    offset = np.full(m + 1, -7, np.int32)
    kernel(238)(m, offset, I32(extents))
    assert list(offset) == [0, *np.cumsum(extents)[:-1], -7]
    out, flat, s = np.full(expect.size + 1, -7, np.int64), np.concatenate(dense), 3
    src = np.concatenate([np.zeros(3, np.int64), flat])
    for r in range(m):
        s_next = kernel(226)(O, I, D, int(offset[r]), 1, out, extents[r], s, src)
        assert s_next == s + dense[r].size
        s = s_next
    np.testing.assert_array_equal(out, [-7, *expect])
    lists = np.empty(m + 1, dtype=object)
    lists[0], lists[1:] = None, [d.astype(np.int32) for d in dense]
    res = np.full(expect.size + 1, -7, np.int32)
    kernel(258)(res, axis, len(base), lists, I32([*base[:axis], D, *base[axis + 1:]]))
    np.testing.assert_array_equal(res, [*expect, -7])
    new = np.full(expect.size + 1, -7, np.int32)  # stacking along a new trailing axis interleaves elementwise
    same = [dense[0].astype(np.int32), (dense[0] + 1000).astype(np.int32)]
    lists = np.empty(2, dtype=object)
    lists[:] = same
    kernel(258)(new, len(base), len(base), lists, I32(shapes[0]))
    np.testing.assert_array_equal(new[:2 * same[0].size], np.stack(same, axis=-1).ravel())


@pytest.mark.parametrize("base, axis, extents", CASES)
def test_sparse_stacks_against_numpy_concatenate(rng, base, axis, extents):
    shapes, _, sparse = operands(rng, base, axis, extents)
    full = np.concatenate([d.reshape(s) for d, s in zip(sparse, shapes)], axis=axis).ravel()
    expect_sp = np.flatnonzero(full != -1)
    m, O, I, D = len(shapes), int(np.prod(base[:axis])), int(np.prod(base[axis + 1:])), sum(extents)
    offset = np.concatenate([[0], np.cumsum(extents)[:-1]]).astype(np.int32)
    sps = [np.flatnonzero(d != -1) for d in sparse]
    nats = [d[d != -1] for d in sparse]
    numnz = I32([len(x) for x in sps])
    nnz = int(numnz.sum())
    rsp, rnat, p = np.full(nnz + 2, -7, np.int64), np.full(nnz + 2, -7, np.int64), 1
    for r in range(m):
        tsp, tnat = np.concatenate([[99], sps[r]]), np.concatenate([[99], nats[r]])
        p = kernel(218)(O, extents[r], D, I, int(offset[r]), p, rnat, rsp, len(sps[r]), 1, tnat, tsp)
    assert p == nnz + 1 and rsp[0] == rnat[0] == rsp[-1] == -7
    order = np.argsort(rsp[1:-1], kind="stable")
    np.testing.assert_array_equal(rsp[1:-1][order], expect_sp)
    np.testing.assert_array_equal(rnat[1:-1][order], full[expect_sp])
    inplace = np.concatenate([[-7], *sps, [-7]]).astype(np.int64)
    assert kernel(240)(m, 1, I, D, numnz, offset, inplace, I32(extents)) == nnz + 1
    np.testing.assert_array_equal(inplace, rsp)
    if axis == 0:  # along the first axis every operand's block is a shift
        shifted, p = np.concatenate([[-7], *sps, [-7]]).astype(np.int64), 1
        for r in range(m):
            p = kernel(237)(r, p, int(offset[r]) * I, numnz, shifted)
        assert p == nnz + 1
        np.testing.assert_array_equal(shifted[1:-1], expect_sp)
    # With fewer outer blocks the copy stops at the first entry beyond them.
    keep = sps[0][sps[0] < (O - 1) * extents[0] * I]
    cut = np.full(len(sps[0]) + 1, -7, np.int64)
    assert kernel(218)(O - 1, extents[0], D, I, 0, 0, cut.copy(), cut, len(sps[0]), 0, nats[0], sps[0]) == keep.size
    assert np.all(cut[keep.size:] == -7)
