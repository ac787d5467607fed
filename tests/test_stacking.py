"""Stacking stacked expressions along an axis: sizes, totals, the shape
compatibility test and the three copy routes (dense stacking, concatenation
in operand order, sparse stacking by stacked index)."""
import numpy as np
import pytest

from conftest import kernel
from stacks import Expr, Stack, descriptors, random_expr

NVARS = 5
ZERO_PROGRAM = ((2,), (0.0,))


def wrap32(x):
    return (int(x) + 2**31) % 2**32 - 2**31


# ----------------------------------------------------------------- sizes

EXTENTS = [[], [3], [2, 5, 7], [65536, 65536], [70000, 3, 70000], [4, 0, 9]]


@pytest.mark.parametrize("ext", EXTENTS)
@pytest.mark.parametrize("v", [1, 3, -2])
def test_extent_products(ext, v):
    wi32 = np.array([-1] + ext + [-1], np.int32)  # guards around the run
    pos, nd = 1, len(ext)
    for d in range(-1, nd + 1):
        inner = wrap32(v * int(np.prod(ext[d + 1:], dtype=object)))
        assert kernel(444)(d, nd, v, pos, wi32) == inner
        assert kernel(440)(v, d, nd, pos, wi32) == inner
        assert kernel(431)(v, d, nd, pos, wi32) == inner
    for n in range(0, nd + 1):
        head = wrap32(v * int(np.prod(ext[:n], dtype=object)))
        assert kernel(443)(n, v, pos, wi32) == head
        assert kernel(437)(v, n, pos, wi32) == head
        assert kernel(430)(v, n, pos, wi32) == head


def test_axis_sums_and_offsets():
    d1s = np.array([2, 0, 5, 1], np.int32)
    assert kernel(439)(10, d1s, 4) == 18
    assert kernel(439)(10, d1s, 0) == 10
    assert kernel(439)(2**31 - 1, np.array([1], np.int32), 1) == -2**31
    offset = np.array([7, -1, -1, -1, -9], np.int32)
    assert kernel(438)(d1s, 4, offset) is None
    assert offset.tolist() == [7, 9, 9, 14, -9]


def test_stacked_extent_from_shapes():
    wi32 = np.array([2, 3, 4, -1, 5, 4, 9, -1, 1, 4, 7], np.int32)
    shape_base = np.array([0, 4, 8], np.int32)      # shapes (2,3,4) (5,4,9) (1,4,7)
    assert kernel(435)(0, 3, 3, 100, shape_base, wi32) == 100 + 2 + 5 + 1
    assert kernel(435)(1, 2, 3, 0, shape_base, wi32) == 3 + 4
    assert kernel(435)(3, 3, 3, 100, shape_base, wi32) == 3   # new axis: one slice per operand


def test_max_extent_and_shape_copy():
    ri32 = np.array([9, 4, 2, 7, 9], np.int32)
    assert kernel(446)(0, ri32, 3, 1) == 7
    assert kernel(446)(8, ri32, 3, 1) == 8
    assert kernel(446)(-5, ri32, 0, 1) == -5
    dst = np.zeros(4, np.int32)
    kernel(433)(3, dst, np.array([5, 6, 7, 8], np.int32))
    assert dst.tolist() == [5, 6, 7, 0]


@pytest.mark.parametrize("ncode,flag_in,flag_out,instr", [
    ([0, 0, 0], False, False, 100),            # no programs: instruction total untouched
    ([0, 0, 0], True, True, 100 + 2 + 4 + 0),  # every term gets the constant program
    ([0, 7, -1], False, True, 100 + 2 + 7 + 0),
])
def test_totals(ncode, flag_in, flag_out, instr):
    nelem = np.array([3, 5, 0], np.int32)
    nnz = np.array([2, 4, 0], np.int32)
    got = kernel(436)(3, np.array(ncode, np.int32), nelem, nnz, flag_in, 100, 10, 20)
    assert got == (flag_out, instr, 18, 26)


# ------------------------------------------------- shape compatibility

def compat(shapes, d, *, hassp=None, newaxis=False, first=0, ok=True, nsparse=0, nds=None):
    wi32, bases = [], []
    for s in shapes:
        bases.append(len(wi32) + 1)
        wi32 += [-3] + list(s)
    n = len(shapes)
    nds = [len(s) for s in shapes] if nds is None else nds
    hassp = [0] * n if hassp is None else hassp
    return kernel(434)(ok, d, np.array(hassp, np.int32), newaxis, first, n, np.array(nds, np.int32),
                       nsparse, np.array(bases, np.int32), np.array(wi32 + [-3], np.int32))


@pytest.mark.parametrize("shapes,d,newaxis,expected", [
    ([(2, 3), (5, 3), (1, 3)], 0, False, True),
    ([(2, 3), (2, 4)], 1, False, True),
    ([(2, 3), (2, 4)], 0, False, False),
    ([(2, 3), (2, 3, 1)], 2, False, False),      # dimension counts differ
    ([(2, 3), (2, 3)], 2, False, True),          # axis past the end exempts nothing
    ([(2, 3), (2, 4)], 2, False, False),
    ([(2, 3), (2, 3)], 0, True, True),           # new axis: identical shapes
    ([(2, 3), (5, 3)], 0, True, False),
    ([(), ()], 0, False, True),
    ([(4,)], 0, False, True),
])
def test_shape_compatibility(shapes, d, newaxis, expected):
    assert compat(shapes, d, newaxis=newaxis) == (expected, 0)


def test_shape_compatibility_counts_sparse_and_chains():
    shapes = [(2, 3), (2, 4), (2, 5), (3, 5)]
    assert compat(shapes, 1, hassp=[1, 0, 7, 1]) == (False, 3)
    assert compat(shapes[:3], 1, hassp=[1, 0, 7]) == (True, 2)
    # A later call over new operands only; the running values carry over.
    assert compat(shapes, 1, hassp=[1, 0, 7, 0], first=3, nsparse=2) == (False, 2)
    assert compat(shapes, 0, hassp=[1, 0, 7, 1], first=4, nsparse=2) == (True, 2)
    assert compat(shapes[:2], 1, ok=False) == (False, 0)   # only ever cleared


# ------------------------------------------------------------ copy routes

def grids(expr, with_programs):
    """Terms of every element of the full shape (as tuples of (variable,
    coefficient, program)) and whether the element is stored."""
    terms = np.empty(expr.size, object)
    stored = np.zeros(expr.size, bool)
    for i in range(expr.size):
        terms[i] = ()
    for e, lin in enumerate(expr.element_ids().tolist()):
        row = []
        for t in range(int(expr.ptr[e]), int(expr.ptr[e + 1])):
            prog = None
            if with_programs:
                prog = tuple(map(tuple, expr.program(t))) if expr.programs else ZERO_PROGRAM
            row.append((int(expr.nidxs[t]), float(expr.cof[t]), prog))
        terms[lin] = tuple(row)
        stored[lin] = True
    return terms.reshape(expr.shape), stored.reshape(expr.shape)


def host_stack(route, exprs, d, strided):
    """The host's passes for stacking along axis d; returns the result read
    back from the R stack and the program total."""
    W, R, X = Stack(strided=strided), Stack(strided=strided), Stack(strided=strided)
    placed = [W.push(e) for e in exprs]
    desc = descriptors(placed)
    n, nd = len(exprs), exprs[0].nd
    hassp = np.array([e.sparse for e in exprs], np.int32)
    d1s = np.array([e.shape[d] if d < nd else 1 for e in exprs], np.int32)
    offset = np.zeros(n, np.int32)
    kernel(438)(d1s, n, offset)
    extent = kernel(439)(0, d1s, n)
    assert extent == kernel(435)(d, n, nd, 0, desc["shape_base"], W.i32)
    flag, ninstr, nelem, nterms = kernel(436)(n, desc["ncodeatom"], desc["nelem"], desc["nnz"],
                                              False, 0, 0, 0)
    rshape = list(exprs[0].shape)
    rshape[d:d + 1] = [extent] if d < nd else []
    if d >= nd:
        rshape.append(extent)
    rnd = len(rshape)
    pos = dict(shape=R.put("i32", np.asarray(rshape, np.int32)), ptr=R.reserve("i32", nelem + 1),
               nidxs=R.reserve("i64", nterms), cof=R.reserve("f64", nterms), codeptr=0, code=0, cconst=0)
    if flag:
        pos.update(codeptr=R.reserve("i32", nterms + 1), code=R.reserve("i32", ninstr),
                   cconst=R.reserve("f64", ninstr))
    if route != "dense":
        pos["sp"] = R.reserve("i64", nelem)
    before = [R.i32.copy(), R.i64.copy(), R.f64.copy()]

    D = desc
    ops = (D["cconst"], D["code"], D["codeptr"], D["cof_base"])
    res = (pos["cconst"], pos["code"], pos["codeptr"], pos["cof"], R.f64, R.i32, R.i64)
    if route == "dense":
        inner = kernel(444)(d, nd, 1, placed[0].shape, W.i32)
        outer = kernel(443)(d, 1, placed[0].shape, W.i32)
        kernel(442)(*ops, outer, d1s, inner, n, D["ncodeatom"], D["nidxs_base"], flag, D["ptr_base"],
                    *res, pos["nidxs"], pos["ptr"], W.f64, W.i32, W.i64)
    elif route == "concat":
        kernel(445)(*ops, hassp, n, D["ncodeatom"], nd, D["nelem"], D["nidxs_base"], D["ptr_base"],
                    *res, int(flag), pos["nidxs"], pos["ptr"], pos["sp"], D["shape_base"], D["sp_base"],
                    W.f64, W.i32, W.i64)
    else:
        inner = kernel(444)(d, nd, 1, placed[0].shape, W.i32)
        xop, xel = X.reserve("i32", nelem), X.reserve("i32", nelem)
        xidx = X.reserve("i64", nelem)
        kernel(447)(d1s, inner, hassp, n, D["nelem"], offset, extent, D["sp_base"], xop, xel, xidx,
                    W.i64, X.i32, X.i64)
        biggest = kernel(446)(0, R.i32, rnd, pos["shape"])
        xa, xb, xcount = X.reserve("i32", nelem), X.reserve("i32", nelem), X.reserve("i32", biggest + 1)
        xorder, xspare = kernel(448)(xa, R.i32, rnd, nelem, pos["shape"], xb, xidx, X.i32, X.i64, xcount)
        assert {xorder, xspare} == {xa, xb}
        kernel(449)(*ops, xorder, D["ncodeatom"], D["nidxs_base"], flag, D["ptr_base"], *res, int(flag),
                    nelem, pos["nidxs"], pos["ptr"], pos["sp"], xop, xel, xidx, W.f64, W.i32, W.i64,
                    X.i32, X.i64)

    # Nothing outside the result blocks changed.
    blocks = {"i32": [("ptr", nelem + 1)], "i64": [("nidxs", nterms)], "f64": [("cof", nterms)]}
    if flag:
        blocks["i32"] += [("codeptr", nterms + 1), ("code", ninstr)]
        blocks["f64"] += [("cconst", ninstr)]
    if "sp" in pos:
        blocks["i64"].append(("sp", nelem))
    for arr, old, kind in zip((R.i32, R.i64, R.f64), before, ("i32", "i64", "f64")):
        keep = np.ones(len(arr), bool)
        for name, length in blocks[kind]:
            keep[pos[name]:pos[name] + length] = False
        assert np.array_equal(arr[keep], old[keep])
    for s in (W, R, X):
        assert s.sentinels_intact()

    out = R.read(rnd, nelem, nterms, shape=pos["shape"], ptr=pos["ptr"], nidxs=pos["nidxs"],
                 cof=pos["cof"], sp=pos.get("sp"), codeptr=pos["codeptr"] if flag else None,
                 code=pos["code"], cconst=pos["cconst"], ncode=ninstr)
    if flag:
        assert out.codeptr[-1] == ninstr
    return out, flag


def make_operands(rng, base_shape, d, extents, kinds):
    """Operands of base_shape with extent extents[k] along d; kinds[k] is a
    string of 's' (sparse) and 'p' (programs)."""
    out = []
    for m, kind in zip(extents, kinds):
        shape = list(base_shape)
        if d < len(shape):
            shape[d] = m
        out.append(random_expr(rng, shape, nvars=NVARS, sparse="s" in kind, programs="p" in kind,
                               density=0.6))
    return out


def check_stacked(out, flag, exprs, d):
    parts = [grids(e, flag) for e in exprs]
    if d >= exprs[0].nd:
        want_terms = np.stack([t for t, _ in parts], axis=-1)
        want_stored = np.stack([s for _, s in parts], axis=-1)
    else:
        want_terms = np.concatenate([t for t, _ in parts], axis=d)
        want_stored = np.concatenate([s for _, s in parts], axis=d)
    assert out.shape == want_terms.shape
    got_terms, got_stored = grids(out, flag)
    if out.sparse:
        assert np.all(np.diff(out.sp) > 0)
        assert np.array_equal(got_stored, want_stored)
    assert got_terms.tolist() == want_terms.tolist()
    want = np.concatenate([e.dense(NVARS) for e in exprs], axis=d) if d < exprs[0].nd else \
        np.stack([e.dense(NVARS) for e in exprs], axis=-2)
    assert np.array_equal(out.dense(NVARS), want)


DENSE_KINDS = [("", ""), ("p", "p"), ("", "p", ""), ("", "")]
ALL_KINDS = DENSE_KINDS + [("s", ""), ("sp", "s", "p"), ("s", "s", "s")]


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("kinds", DENSE_KINDS)
@pytest.mark.parametrize("base_shape,d", [((3, 2, 4), 0), ((3, 2, 4), 1), ((3, 2, 4), 2), ((5,), 0)])
def test_dense_stacking(rng, base_shape, d, kinds, strided):
    extents = rng.integers(0, 4, size=len(kinds))
    exprs = make_operands(rng, base_shape, d, extents, kinds)
    out, flag = host_stack("dense", exprs, d, strided)
    assert flag == any(e.ncode > 0 for e in exprs)
    check_stacked(out, flag, exprs, d)


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("kinds", ALL_KINDS)
@pytest.mark.parametrize("base_shape,d", [((3, 2, 4), 1), ((3, 2, 4), 2), ((2, 5), 0), ((6,), 0),
                                          ((2, 3), 2)])   # last: a new trailing axis
def test_sparse_stacking(rng, base_shape, d, kinds, strided):
    extents = rng.integers(0, 4, size=len(kinds))
    exprs = make_operands(rng, base_shape, d, extents, kinds)
    out, flag = host_stack("sparse", exprs, d, strided)
    check_stacked(out, flag, exprs, d)


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("kinds", ALL_KINDS)
@pytest.mark.parametrize("base_shape", [(3, 2, 4), (5,), (2, 3)])
def test_concatenation(rng, base_shape, kinds, strided):
    extents = rng.integers(0, 4, size=len(kinds))
    exprs = make_operands(rng, base_shape, 0, extents, kinds)
    out, flag = host_stack("concat", exprs, 0, strided)
    check_stacked(out, flag, exprs, 0)


def test_dense_stacking_of_two_columns_interleaves():
    """Two dense 2 x 1 operands along axis 1: rows alternate between operands."""
    a = Expr((2, 1), [0, 1, 2], [1, 2], [1.0, 2.0])
    b = Expr((2, 1), [0, 1, 2], [3, 4], [3.0, 4.0])
    out, flag = host_stack("dense", [a, b], 1, False)
    assert not flag and out.nidxs.tolist() == [1, 3, 2, 4] and out.ptr.tolist() == [0, 1, 2, 3, 4]


def test_stacked_index_of_sparse_element():
    """Operand 1 (2 x 3, stored element 4 = row 1, column 1) stacked along
    axis 1 after an operand of extent 2 lands at 1 * 5 + 3 = 8."""
    d1s = np.array([2, 3], np.int32)
    wi64 = np.array([-1, 4, -1], np.int64)
    xi32 = np.full(4, -9, np.int32)
    xi64 = np.full(2, -9, np.int64)
    kernel(447)(d1s, 1, np.array([1, 1], np.int32), 2, np.array([0, 1], np.int32),
                np.array([0, 2], np.int32), 5, np.array([0, 1], np.int32), 0, 2, 1, wi64, xi32, xi64)
    assert xi64[1] == 8 and xi32[0] == 1 and xi32[2] == 0


def test_ordering_without_axes_keeps_identity():
    xi32 = np.full(8, -1, np.int32)
    got = kernel(448)(0, np.zeros(1, np.int32), 0, 3, 0, 3, 0, xi32, np.array([5, 1, 3], np.int64), 6)
    assert got == (0, 3) and xi32[:3].tolist() == [0, 1, 2]


def test_ordering_clears_the_whole_count_block():
    """Each pass clears count entries 0 .. extent: a stale value left at
    count[extent] of the last pass (axis 0, the larger extent) must not
    survive into the bucket ends the block holds afterwards."""
    ri32 = np.array([3, 2], np.int32)                    # result shape 3 x 2
    sidx = np.array([5, 0, 3, 2, 4, 1, 2], np.int64)     # stacked indices
    n = len(sidx)
    xi32 = np.full(2 * n + 6, -9, np.int32)
    xcount = 2 * n
    xi32[xcount + 3] = 1000                              # stale count[3]
    got = kernel(448)(0, ri32, 2, n, 0, n, 0, xi32, sidx, xcount)
    order = np.argsort(sidx, kind="stable")
    assert xi32[got[0]:got[0] + n].tolist() == order.tolist()
    ends = np.cumsum(np.bincount(sidx // 2, minlength=3))
    assert xi32[xcount:xcount + 4].tolist() == ends.tolist() + [n]
    assert xi32[xcount + 4:].tolist() == [-9, -9]
