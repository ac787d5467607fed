import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Expr, Stack, descriptors, random_expr

PARAMS = np.array([0.5, -2.0, 3.0, 7.25])


# ---------------------------------------------------------------- the model

def model_sum(operands, ws, sparse_result, programs):
    """Terms of each result element, operand by operand in operand order:
    (variable, weighted coefficient, words, constants); None marks the
    constant slot of the closing multiply, which is not written."""
    if sparse_result:
        ids = sorted(set().union(*(e.sp.tolist() for e in operands)))
    else:
        ids = list(range(operands[0].size))
    elems = {x: [] for x in ids}
    for e, w in zip(operands, ws):
        for el, x in enumerate(e.element_ids().tolist()):
            for t in range(e.ptr[el], e.ptr[el + 1]):
                if not programs:
                    words, consts = [], []
                elif e.programs:
                    words, consts = e.program(t)
                    words, consts = words + [2, 5], consts + [w, None]
                else:
                    words, consts = [2], [0.0]
                elems[x].append((int(e.nidxs[t]), w * e.cof[t], words, consts))
    return ids, [elems[x] for x in ids]


def check_result(res, ids, elems, sparse_result, programs):
    counts = [len(ts) for ts in elems]
    assert res.ptr.tolist() == np.concatenate([[0], np.cumsum(counts, dtype=np.int64)]).tolist()
    terms = [t for ts in elems for t in ts]
    assert res.nidxs.tolist() == [t[0] for t in terms]
    assert res.cof.tolist() == [t[1] for t in terms]
    if sparse_result:
        assert res.sp.tolist() == ids
    if programs:
        assert res.codeptr.tolist() == np.concatenate([[0], np.cumsum([len(t[2]) for t in terms])]).tolist()
        for k, t in enumerate(terms):
            words, consts = res.program(k)
            assert words == t[2]
            assert [c for c, want in zip(consts, t[3]) if want is not None] == [c for c in t[3] if c is not None]


def check_program_values(st, res, pos, operands, ws):
    """Every result program, stored in a parameter table and evaluated by the
    module, gives the operand program's value times the weight; terms from
    operands without programs carry the constant program 0.0."""
    run = pm.run_through_table(kernel, st, res.n, ptr=pos["ptr"], nidxs=pos["nidxs"], codeptr=pos["codeptr"],
                               code=pos["code"], cconst=pos["cconst"], params=PARAMS)
    expected = []     # (value or None for the constant 0.0 program), result term order
    ids = sorted(set().union(*(e.element_ids().tolist() for e in operands)))
    for x in ids:
        for e, w in zip(operands, ws):
            where = np.flatnonzero(e.element_ids() == x)
            for el in where:
                for t in range(e.ptr[el], e.ptr[el + 1]):
                    expected.append(pm.value(*e.program(t), PARAMS) * w if e.programs else None)
    # Elements are visited in id order; absent elements have no terms.
    assert len(expected) == res.m
    for k, want in enumerate(expected):
        if want is None:
            assert res.program(k) == ([2], [0.0]) and k not in run.term_values
        else:
            assert run.term_values[k] == want
    assert run.stored is True


# ------------------------------------------------------------ host pipelines

def positions_for(R, X, n, terms, positions, flag, nd, sparse=False):
    pos = {"shape": R.reserve("i32", nd), "ptr": R.reserve("i32", n + 1), "nidxs": R.reserve("i64", terms),
           "cof": R.reserve("f64", terms), "sp": R.reserve("i64", n) if sparse else 0,
           "codeptr": 0, "code": 0, "cconst": 0, "cnt": 0}
    if flag:
        pos.update(codeptr=R.reserve("i32", terms + 1), code=R.reserve("i32", positions),
                   cconst=R.reserve("f64", positions), cnt=X.reserve("i32", n + 1))
    return pos


def read(R, nd, n, terms, positions, flag, pos, sparse=False):
    return R.read(nd, n, terms, shape=pos["shape"], ptr=pos["ptr"], nidxs=pos["nidxs"], cof=pos["cof"],
                  sp=pos["sp"] if sparse else None, codeptr=pos["codeptr"] if flag else None,
                  code=pos["code"], cconst=pos["cconst"], ncode=positions)


def dense_sum(operands, ws, strided=False):
    """The dense sum, run as the host runs it."""
    W, R, X = Stack(8192, strided), Stack(8192, strided), Stack(8192, strided)
    D = descriptors([W.push(e) for e in operands], ws)
    k = len(operands)
    flag = kernel(517)(False, k, D["ncodeatom"])
    assert kernel(516)(k, D["nd"], True, D["shape_base"], W.i32) is True
    nd, n = operands[0].nd, operands[0].size
    positions, terms = kernel(518)(flag, k, D["ncodeatom"], D["nnz"], 0, 0)
    pos = positions_for(R, X, n, terms, positions, flag, nd)
    kernel(520)(D["nd"], R.i32, pos["shape"], D["shape_base"], W.i32)
    kernel(521)(R.i32, n, pos["ptr"])
    kernel(522)(int(flag), n, pos["cnt"], X.i32)
    for i, e in enumerate(operands):
        head = (flag, D["codeptr"], i, D["ncodeatom"], D["nelem"], D["ptr_base"], R.i32, pos["ptr"])
        if e.sparse:
            kernel(523)(*head, D["sp_base"], W.i32, W.i64, pos["cnt"], X.i32)
        else:
            kernel(524)(*head, W.i32, pos["cnt"], X.i32)
    kernel(525)(R.i32, n, pos["ptr"])
    kernel(526)(int(flag), n, pos["cnt"], X.i32)
    for i, e in enumerate(operands):
        head = (flag, D["cconst"], D["code"], D["codeptr"], D["cof_base"], i, D["ncodeatom"], D["nelem"],
                D["nidxs_base"], D["ptr_base"], pos["cconst"], pos["code"], pos["codeptr"], pos["cof"],
                R.f64, R.i32, R.i64, pos["nidxs"], pos["ptr"])
        tail = (D["w"], W.f64, W.i32, W.i64, pos["cnt"], X.i32)
        if e.sparse:
            kernel(527)(*head, D["sp_base"], *tail)
        else:
            kernel(528)(*head, *tail)
    kernel(529)(R.i32, n, pos["ptr"])
    R.i32[pos["ptr"]] = 0
    if flag:
        R.i32[pos["codeptr"]] = 0
    res = read(R, nd, n, terms, positions, flag, pos)
    assert W.sentinels_intact() and R.sentinels_intact() and X.sentinels_intact()
    if not flag:
        assert np.all(X.i32 == Stack.SENT32)      # no counters without programs
    return res, flag, R, pos


def sparse_sum(operands, ws, strided=False):
    """The all-sparse sum: totals, then one merge call."""
    W, R = Stack(8192, strided), Stack(8192, strided)
    D = descriptors([W.push(e) for e in operands], ws)
    k = len(operands)
    flag = kernel(517)(False, k, D["ncodeatom"])
    positions, n, terms = kernel(519)(flag, k, D["ncodeatom"], D["nelem"], D["nnz"], 0, 0, 0, D["sp_base"], W.i64)
    nd = operands[0].nd
    pos = positions_for(R, R, n, terms, positions, flag, nd, sparse=True)
    kernel(520)(D["nd"], R.i32, pos["shape"], D["shape_base"], W.i32)
    R.i32[pos["ptr"]] = 0
    if flag:
        R.i32[pos["codeptr"]] = 0
    kernel(530)(flag, D["cconst"], D["code"], D["codeptr"], D["cof_base"], k, D["ncodeatom"], D["nelem"],
                D["nidxs_base"], D["ptr_base"], pos["cconst"], pos["code"], pos["codeptr"], pos["cof"],
                R.f64, R.i32, R.i64, pos["nidxs"], pos["ptr"], pos["sp"], D["sp_base"], D["w"], W.f64,
                W.i32, W.i64)
    res = read(R, nd, n, terms, positions, flag, pos, sparse=True)
    assert W.sentinels_intact() and R.sentinels_intact()
    return res, flag, R, pos


# ------------------------------------------------------------------- tests

# (sparse flags of the operands, which operands carry programs)
DENSE_CASES = [
    ((False,), ()),
    ((False, False, False), ()),
    ((False, False), (0, 1)),
    ((False, False, False), (1,)),
    ((True, False), ()),
    ((False, True, True), (0, 2)),
    ((True, True), (1,)),
]


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("sparse,progs", DENSE_CASES)
def test_dense_sum(rng, sparse, progs, strided):
    shape = (3, 5)
    ops = [random_expr(rng, shape, sparse=s, programs=i in progs, density=0.4) for i, s in enumerate(sparse)]
    ws = rng.normal(size=len(ops)).tolist()
    ws[0] = 0.0 if len(ops) > 1 else ws[0]     # a zero weight keeps its terms
    res, flag, R, pos = dense_sum(ops, ws, strided)
    assert flag == bool(progs)
    assert res.shape == shape
    ids, elems = model_sum(ops, ws, False, flag)
    check_result(res, ids, elems, False, flag)
    nv = 6
    assert np.allclose(res.dense(nv), sum(w * e.dense(nv) for e, w in zip(ops, ws)))
    if flag:
        check_program_values(R, res, pos, ops, ws)


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("progs", [(), (0,), (0, 1, 2)])
def test_sparse_sum(rng, progs, strided):
    shape = (4, 6)
    ops = [random_expr(rng, shape, sparse=True, programs=i in progs, density=d)
           for i, d in enumerate([0.3, 0.5, 0.2])]
    ws = rng.normal(size=3).tolist()
    res, flag, R, pos = sparse_sum(ops, ws, strided)
    ids, elems = model_sum(ops, ws, True, flag)
    assert res.n == len(ids)
    check_result(res, ids, elems, True, flag)
    assert np.allclose(res.dense(6), sum(w * e.dense(6) for e, w in zip(ops, ws)))
    if flag:
        check_program_values(R, res, pos, ops, ws)
    # The same operands summed into a dense result agree element by element.
    dres = dense_sum(ops, ws, strided)[0]
    for el, x in enumerate(ids):
        assert dres.terms(x) == res.terms(el)


def sparse_expr(shape, sp, counts, start_var=1):
    ptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.int32)
    m = int(ptr[-1])
    return Expr(shape, ptr, np.arange(start_var, start_var + m), np.arange(1.0, m + 1.0), sp)


def test_sparse_merge_edges():
    # Disjoint indices give the union in ascending order; an element without
    # terms still makes a result element; an operand without elements adds
    # nothing.
    a = sparse_expr((10,), [1, 4, 7], [1, 0, 2])
    b = sparse_expr((10,), [0, 4, 9], [2, 1, 0], start_var=20)
    c = sparse_expr((10,), [], [])
    res, flag, _, _ = sparse_sum([a, b, c], [1.0, 2.0, 3.0])
    assert not flag
    assert res.sp.tolist() == [0, 1, 4, 7, 9]
    assert res.ptr.tolist() == [0, 2, 3, 4, 6, 6]
    assert res.nidxs.tolist() == [20, 21, 1, 22, 2, 3]
    assert res.cof.tolist() == [2.0, 4.0, 1.0, 6.0, 2.0, 3.0]


def test_single_operand_copies_with_programs(rng):
    e = random_expr(rng, (2, 3), programs=True)
    res, flag, _, _ = dense_sum([e], [1.0])
    assert flag
    assert res.ptr.tolist() == e.ptr.tolist() and res.nidxs.tolist() == e.nidxs.tolist()
    assert res.cof.tolist() == e.cof.tolist()
    for t in range(e.m):
        words, consts = res.program(t)
        ew, ec = e.program(t)
        assert words == ew + [2, 5] and consts[:-1] == ec + [1.0]


def test_empty_operands_and_elements(rng):
    empty = Expr((2, 2), [0, 0, 0, 0, 0], [], [])
    other = random_expr(rng, (2, 2), programs=True)
    res, flag, _, _ = dense_sum([empty, other, empty], [2.0, -1.0, 5.0])
    ids, elems = model_sum([empty, other, empty], [2.0, -1.0, 5.0], False, True)
    check_result(res, ids, elems, False, True)
    res, _, _, _ = dense_sum([empty], [3.0])
    assert res.ptr.tolist() == [0] * 5 and res.m == 0


@pytest.mark.parametrize("shapes,nds,ok", [
    ([(2, 3), (2, 3), (2, 3)], None, True),
    ([(2, 3), (3, 2)], None, False),
    ([(2, 3), (2, 3), (2, 4)], None, False),
    ([(6,), (2, 3)], None, False),
    ([(2, 3), (2, 3, 4)], None, False),
    ([(2, 3), (2, 3, 1)], [2, 2], True),       # only nd[0] extents are compared
    ([(4,)], None, True),
    ([(), ()], None, True),
])
def test_same_shapes(shapes, nds, ok):
    W = Stack()
    bases = np.array([W.put("i32", np.asarray(s, np.int32)) for s in shapes], np.int32)
    nd = np.array(nds if nds else [len(s) for s in shapes], np.int32)
    k = len(shapes)
    assert kernel(516)(k, nd, True, bases, W.i32) is ok
    assert kernel(516)(k, nd, False, bases, W.i32) is False


@pytest.mark.parametrize("ncode,k,flag,want", [
    ([0, 0, 0], 3, False, False),
    ([0, 0, 4], 3, False, True),
    ([0, 0, 4], 2, False, False),
    ([0, -1], 2, True, True),
    ([5], 0, False, False),
])
def test_any_programs(ncode, k, flag, want):
    assert kernel(517)(flag, k, np.array(ncode, np.int32)) is want


@pytest.mark.parametrize("flag", [False, True])
def test_totals(flag):
    ncode = np.array([0, 7, 0, 3], np.int32)
    nnz = np.array([4, 3, 0, 2], np.int32)
    nelem = np.array([3, 2, 0, 2], np.int32)
    W = Stack()
    sp = np.array([W.put("i64", v) for v in ([1, 5, 8], [5, 9], [], [0, 8])], np.int32)
    positions = (4 + (7 + 6) + 0 + (3 + 4)) if flag else 0
    assert kernel(518)(flag, 4, ncode, nnz, 100, 10) == (100 + positions, 10 + 9)
    # Distinct keys: 0, 1, 5, 8, 9.
    assert kernel(519)(flag, 4, ncode, nelem, nnz, 100, 50, 10, sp, W.i64) == (100 + positions, 55, 19)
    assert kernel(519)(flag, 0, ncode, nelem, nnz, 100, 50, 10, sp, W.i64) == (100, 50, 10)
    assert kernel(518)(flag, 0, ncode, nnz, 100, 10) == (100, 10)


def scale(e, d, prog, strided=False):
    W, R = Stack(4096, strided), Stack(4096, strided)
    p = W.push(e)
    sparse = e.sparse
    positions = e.ncode + 2 * e.m if prog else 0
    R.put("i64", np.arange(-50, -30))  # a foreign block where a stray copy would land
    pos = positions_for(R, R, e.n, e.m, positions, prog, e.nd, sparse)
    before = R.i64.copy()
    kernel(470)(d, p.cconst, p.code, p.codeptr, p.cof, sparse, int(prog), e.nd, e.n, p.nidxs, e.m, p.ptr,
                pos["cconst"], pos["code"], pos["codeptr"], pos["cof"], R.f64, R.i32, R.i64, pos["nidxs"],
                pos["ptr"], pos["shape"], pos["sp"], p.shape, p.sp, W.f64, W.i32, W.i64)
    res = read(R, e.nd, e.n, e.m, positions, prog, pos, sparse)
    assert W.sentinels_intact() and R.sentinels_intact()
    # The int64 array changes only in the result's variable indices and, for
    # a sparse operand, its sparsity block.
    written = np.zeros(len(before), bool)
    written[pos["nidxs"]:pos["nidxs"] + e.m] = True
    if sparse:
        written[pos["sp"]:pos["sp"] + e.n] = True
    np.testing.assert_array_equal(R.i64[~written], before[~written])
    return res, R, pos


@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("shape,sparse,prog", [
    ((3, 4), False, False), ((3, 4), False, True), ((5, 2), True, False), ((2, 2, 3), True, True),
    ((), False, True), ((4,), True, False),
])
def test_scale(rng, shape, sparse, prog, strided):
    e = random_expr(rng, shape, sparse=sparse, programs=prog, density=0.6)
    d = -1.75
    res, R, pos = scale(e, d, prog, strided)
    assert res.shape == e.shape
    ids, elems = model_sum([e], [d], sparse, prog)
    check_result(res, ids, elems, sparse, prog)
    assert np.allclose(res.dense(6), d * e.dense(6))
    if prog:
        check_program_values(R, res, pos, [e], [d])


def test_scale_empty_sparse_writes_no_sparsity():
    e = Expr((3,), [0], [], [], sp=[])
    res, R, pos = scale(e, 2.0, False)
    assert res.ptr.tolist() == [0] and R.i64[pos["sp"]] == Stack.SENT64
