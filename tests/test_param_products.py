"""Products with parameters, run as the host runs them (count, reserve,
write), checked by meaning: every result term has coefficient 0.0, and
evaluating the result's programs for random parameter values gives the
product computed with numpy from the operand's effective coefficients."""
import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Expr, Stack, random_expr

NP, NV = 10, 6


class Host:
    """W, R, X stacks with one operand on W; results read back from R."""

    def __init__(self, E):
        self.E = E
        self.W, self.R, self.X = Stack(8192), Stack(8192), Stack(8192)
        self.p = self.W.push(E)
        self.flag = int(E.programs)

    def op_head(self):  # operand program constants, words, P, program pointer, coefficients
        p = self.p
        return p.cconst, p.code, 0, p.codeptr, p.cof

    def reserve(self, nres, P, T, sparse=False):
        R = self.R
        self.pos = dict(ptr=R.reserve("i32", nres + 1), nidxs=R.reserve("i64", T), cof=R.reserve("f64", T),
                        codeptr=R.reserve("i32", T + 1), code=R.reserve("i32", P), cconst=R.reserve("f64", P),
                        sp=R.reserve("i64", nres) if sparse else None, shape=0)
        self.nres, self.P, self.T = nres, P, T
        R.i32[self.pos["ptr"]] = 0
        R.i32[self.pos["codeptr"]] = 0
        return self.pos

    def res_mid(self):  # result program constants, words, pointer, coefficients, rf64, ri32, ri64
        q = self.pos
        return q["cconst"], q["code"], q["codeptr"], q["cof"], self.R.f64, self.R.i32, self.R.i64

    def w(self):
        return self.W.f64, self.W.i32, self.W.i64

    def result(self, shape, got):
        assert tuple(got) == (self.P, self.T), "count pass and writer disagree"
        res = self.R.read(0, self.nres, self.T, **{k: v for k, v in self.pos.items() if k != "sp"},
                          sp=self.pos["sp"])
        res.shape = tuple(shape)
        assert np.all(res.cof == 0.0)
        return res


def check(res, expected, E, rng):
    for _ in range(2):
        params = rng.normal(size=NP)
        got = pm.effective_dense(res, params, NV)
        np.testing.assert_allclose(got, expected(pm.effective_dense(E, params, NV), params), atol=1e-12)


def operand(rng, shape, sparse, programs, density=0.6):
    return random_expr(rng, shape, nvars=NV, sparse=sparse, programs=programs, nparams=NP, density=density)


def no_empty_elements(E):
    """E with one term (variable 1, coefficient 2.0, program "push 1.0") added
    to each element that has none, so that every stored element shows."""
    from stacks import Expr
    terms, ptr = [], [0]
    for e in range(E.n):
        ts = [(E.nidxs[t], E.cof[t], E.program(t) if E.programs else None) for t in range(E.ptr[e], E.ptr[e + 1])]
        terms += ts or [(1, 2.0, ([2], [1.0]))]
        ptr.append(len(terms))
    out = Expr(E.shape, ptr, [t[0] for t in terms], [t[1] for t in terms], E.sp)
    if E.programs:
        out.codeptr = np.concatenate([[0], np.cumsum([len(t[2][0]) for t in terms])]).astype(np.int32)
        out.code = np.array([w for t in terms for w in t[2][0]], np.int32)
        out.cconst = np.array([c for t in terms for c in t[2][1]], np.float64)
    return out


def range_size(h, n, reps=1):
    return kernel(349)(h.p.codeptr, 0, h.flag, n, 0, reps, 0, h.p.ptr, h.W.i32)


@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("sparse", [False, True])
def test_scalar_parameter_times_expression(rng, programs, sparse):
    E = operand(rng, (3, 4), sparse, programs)
    h = Host(E)
    h.reserve(E.n, *range_size(h, E.n), sparse=sparse)
    got = kernel(343)(*h.op_head(), h.flag, E.n, h.p.nidxs, 7, 0, h.p.ptr, *h.res_mid(), h.pos["nidxs"],
                      h.pos["ptr"], *h.w())
    kernel(405)(sparse, E.n, h.R.i64, h.pos["sp"] or 0, h.p.sp, h.W.i64)
    check(h.result(E.shape, got), lambda Ev, p: Ev * p[7], E, rng)


def test_rewrite_of_one_term_follows_the_program_format():
    E = Expr((1,), [0, 1], [3], [2.5], codeptr=[0, 1], code=[2], cconst=[0.0])
    for programs, words, consts in [(False, [2, 1, 5], [2.5, 7.0]), (True, [2, 2, 3, 1, 5], [2.5, 0.0, 7.0])]:
        h = Host(E)
        h.flag = int(programs)
        h.reserve(1, *range_size(h, 1))
        got = kernel(343)(*h.op_head(), h.flag, 1, h.p.nidxs, 7, 0, h.p.ptr, *h.res_mid(), h.pos["nidxs"],
                          h.pos["ptr"], *h.w())
        res = h.result((1,), got)
        w, c = res.program(0)
        assert w == words and [x for x, k in zip(c, w) if k in (1, 2)] == consts
        assert res.nidxs.tolist() == [3]


@pytest.mark.parametrize("programs", [False, True])
def test_elementwise_dense_and_sparse_operands_with_dense_parameter(rng, programs):
    par = rng.integers(0, NP, size=12).astype(np.int32)
    for sparse in (False, True):
        E = operand(rng, (3, 4), sparse, programs)
        h = Host(E)
        xpar = h.X.put("i32", par)
        h.reserve(E.n, *range_size(h, E.n), sparse=sparse)
        if sparse:
            got = kernel(350)(*h.op_head(), h.flag, E.n, h.p.nidxs, xpar, 0, h.p.ptr, *h.res_mid(),
                              h.pos["nidxs"], h.pos["ptr"], h.pos["sp"], h.p.sp, *h.w(), h.X.i32)
        else:
            got = kernel(344)(*h.op_head(), h.flag, E.n, h.p.nidxs, xpar, 0, h.p.ptr, *h.res_mid(),
                              h.pos["nidxs"], h.pos["ptr"], *h.w(), h.X.i32)
        check(h.result(E.shape, got), lambda Ev, p: Ev * p[par].reshape(3, 4, 1), E, rng)


def sparse_parameter(rng, size):
    pattern = np.flatnonzero(rng.random(size) < 0.5).astype(np.int64)
    par = rng.integers(0, NP, size=len(pattern)).astype(np.int32)
    return pattern, par


def masked(pattern, par, p, size):
    out = np.zeros(size)
    out[pattern] = p[par]
    return out


@pytest.mark.parametrize("programs", [False, True])
def test_elementwise_products_with_sparse_parameter(rng, programs):
    pattern, par = sparse_parameter(rng, 12)
    expect = lambda Ev, p: Ev * masked(pattern, par, p, 12).reshape(3, 4, 1)  # noqa: E731
    # Dense operand: the pattern is the index block of the pattern product.
    E = operand(rng, (3, 4), False, programs)
    h = Host(E)
    xidx, xpar = h.X.put("i64", pattern), h.X.put("i32", par)
    N = len(pattern)
    h.reserve(N, *kernel(351)(h.p.codeptr, 0, h.flag, N, xidx, 0, h.p.ptr, h.W.i32, h.X.i64), sparse=True)
    got = kernel(369)(*h.op_head(), h.flag, h.p.nidxs, 0, xpar, N, xidx, h.p.ptr, *h.res_mid(), h.pos["nidxs"],
                      h.pos["ptr"], h.pos["sp"], *h.w(), h.X.i32, h.X.i64)
    check(h.result(E.shape, got), expect, E, rng)
    # Sparse operand: both sequences walked side by side.
    E = operand(rng, (3, 4), True, programs)
    h = Host(E)
    xpat, xpar = h.X.put("i64", pattern), h.X.put("i32", par)
    P, nres, T = kernel(357)(h.p.codeptr, 0, h.flag, 0, E.n, N, 0, h.p.ptr, h.p.sp, xpat, h.W.i32, h.W.i64,
                             h.X.i64)
    assert nres == len(np.intersect1d(E.sp, pattern))
    h.reserve(nres, P, T, sparse=True)
    P, e, i, j, T = kernel(368)(*h.op_head(), h.flag, 0, 0, 0, E.n, N, h.p.nidxs, xpar, 0, h.p.ptr,
                                *h.res_mid(), h.pos["nidxs"], h.pos["ptr"], h.pos["sp"], h.p.sp, xpat, *h.w(),
                                h.X.i32, h.X.i64)
    # the walk ends when one run is used up; the other stops past every entry
    # not above the used-up run's last index
    want_i = min(E.n, int(np.searchsorted(E.sp, pattern[-1], "right"))) if N else 0
    want_j = min(N, int(np.searchsorted(pattern, E.sp[-1], "right"))) if E.n else 0
    assert (e, i, j) == (nres, want_i, want_j)
    check(h.result(E.shape, (P, T)), expect, E, rng)


def block_driven(h, nres, blocks):
    """A dense result of nres elements, element k the block inner product of
    the blocks that blocks(k) writes (returning their length): a count pass
    over the blocks, then a fill pass closing every element."""
    xidx, xpar = h.X.reserve("i64", 64), h.X.reserve("i32", 64)
    P = T = 0
    for k in range(nres):
        N = blocks(k, xidx, xpar)
        P, T = kernel(351)(h.p.codeptr, P, h.flag, N, xidx, T, h.p.ptr, h.W.i32, h.X.i64)
    h.reserve(nres, P, T)
    P = T = 0
    for k in range(nres):
        N = blocks(k, xidx, xpar)
        P, T = kernel(364)(*h.op_head()[:2], P, h.p.codeptr, h.p.cof, h.flag, h.p.nidxs, T, xpar, N, xidx,
                           h.p.ptr, *h.res_mid(), h.pos["nidxs"], *h.w(), h.X.i32, h.X.i64)
        h.R.i32[h.pos["ptr"] + k + 1] = T
    return P, T


@pytest.mark.parametrize("programs", [False, True])
def test_inner_products(rng, programs):
    dense_par = rng.integers(0, NP, size=12).astype(np.int32)
    pattern, par = sparse_parameter(rng, 12)
    # Dense operand, dense parameter.
    E = operand(rng, (12,), False, programs)
    h = Host(E)
    xpar = h.X.put("i32", dense_par)
    h.reserve(1, *range_size(h, 12))
    got = kernel(352)(*h.op_head(), h.flag, 12, h.p.nidxs, xpar, 0, h.p.ptr, *h.res_mid(), h.pos["nidxs"],
                      *h.w(), h.X.i32)
    h.R.i32[h.pos["ptr"] + 1] = got[1]
    check(h.result((1,), got), lambda Ev, p: (p[dense_par] @ Ev)[None], E, rng)
    # Sparse operand against a sparse and against a dense parameter.
    E = operand(rng, (12,), True, programs)
    for dense in (False, True):
        h = Host(E)
        xpat, xp = h.X.put("i64", pattern), h.X.put("i32", dense_par if dense else par)
        if dense:
            blocks = lambda k, xi, xq: kernel(361)(0, E.n, xi, h.p.sp, xq, xp, h.W.i64, h.X.i32, h.X.i64)  # noqa
            weights = lambda p: p[dense_par]  # noqa: E731
        else:
            blocks = lambda k, xi, xq: kernel(359)(0, E.n, len(pattern), xi, h.p.sp, xq, xp, xpat, h.W.i64,  # noqa
                                                   h.X.i32, h.X.i64)
            weights = lambda p: masked(pattern, par, p, 12)  # noqa: E731
        got = block_driven(h, 1, blocks)
        check(h.result((1,), got), lambda Ev, p: (weights(p) @ Ev)[None], E, rng)


M, K, N = 2, 3, 4
GRIDS = [  # kernel, operand shape, parameter shape, einsum of (parameter values, effective operand)
    (358, (K, N), (M, K), "rk,kcv->rcv"),
    (360, (K, N), (K, M), "kr,kcv->rcv"),
    (363, (M, K), (K, N), "kc,rkv->rcv"),
    (376, (M, K), (N, K), "ck,rkv->rcv"),
]


@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("n,eshape,pshape,spec", GRIDS)
def test_dense_matrix_products(rng, programs, n, eshape, pshape, spec):
    E = operand(rng, eshape, False, programs)
    par = rng.integers(0, NP, size=pshape).astype(np.int32)
    h = Host(E)
    xpar = h.X.put("i32", par.ravel())
    reps = M if n in (358, 360) else N          # each operand element is used once per row / column
    h.reserve(M * N, *range_size(h, E.n, reps))
    got = kernel(n)(*h.op_head(), h.flag, K, M, N, h.p.nidxs, xpar, 0, h.p.ptr, *h.res_mid(), h.pos["nidxs"],
                    h.pos["ptr"], *h.w(), h.X.i32)
    check(h.result((M, N), got), lambda Ev, p: np.einsum(spec, p[par], Ev), E, rng)


@pytest.mark.parametrize("density", [0.6, 1.0])  # 1.0: every row's column 0 is stored, with terms
@pytest.mark.parametrize("programs", [False, True])
@pytest.mark.parametrize("n,pshape,spec", [(380, (K, N), "kc,rkv->rcv"), (385, (N, K), "ck,rkv->rcv")])
def test_sparse_operand_times_parameter_matrix(rng, programs, n, pshape, spec, density):
    E = operand(rng, (M, K), True, programs, density)
    if density == 1.0:
        E = no_empty_elements(E)
    par = rng.integers(0, NP, size=pshape).astype(np.int32)
    h = Host(E)
    xpar = h.X.put("i32", par.ravel())
    h.reserve(M * N, *range_size(h, E.n, N))
    got = kernel(n)(*h.op_head(), h.flag, K, M, N, E.n, h.p.nidxs, xpar, 0, h.p.ptr, *h.res_mid(),
                    h.pos["nidxs"], h.pos["ptr"], h.p.sp, *h.w(), h.X.i32)
    check(h.result((M, N), got), lambda Ev, p: np.einsum(spec, p[par], Ev), E, rng)


def test_parameter_matrix_product_term_by_term(rng):
    E = operand(rng, (K, N), False, True)
    par = rng.integers(0, NP, size=(M, K)).astype(np.int32)
    h = Host(E)
    xpar = h.X.put("i32", par.ravel())
    h.reserve(M * N, *range_size(h, E.n, M))
    P = T = 0
    for r in range(M):
        for c in range(N):
            for k in range(K):
                P, T = kernel(377)(h.p.cconst, h.p.code, P, h.p.codeptr, h.p.cof, N, r, c, k, 1, h.p.nidxs, T, K,
                                   xpar, h.p.ptr, *h.res_mid(), h.pos["nidxs"], *h.w(), h.X.i32)
            h.R.i32[h.pos["ptr"] + r * N + c + 1] = T
    check(h.result((M, N), (P, T)), lambda Ev, p: np.einsum("rk,kcv->rcv", p[par], Ev), E, rng)


@pytest.mark.parametrize("programs", [False, True])
def test_products_with_a_sparse_parameter_matrix(rng, programs):
    X0 = Stack(1024)
    # P (M x K) sparse: P * E through row blocks of P.
    pattern, par = sparse_parameter(rng, M * K)
    E = operand(rng, (K, N), False, programs)
    h = Host(E)
    xpat, xp, rp = h.X.put("i64", pattern), h.X.put("i32", par), h.X.put("i32", np.zeros(M + 1, np.int32))
    kernel(374)(K, len(pattern), rp, xpat, h.X.i32, h.X.i64)
    kernel(525)(h.X.i32, M, rp)
    blocks = lambda k, xi, xq: kernel(378)(0, k % N, K, N, k // N, xi, xq, xp, xpat, rp, h.X.i32, h.X.i64)  # noqa
    got = block_driven(h, M * N, blocks)
    Pv = lambda p: masked(pattern, par, p, M * K).reshape(M, K)  # noqa: E731
    check(h.result((M, N), got), lambda Ev, p: np.einsum("rk,kcv->rcv", Pv(p), Ev), E, rng)
    # Q (K x N) sparse: E * Q by transposing Q's pattern and taking its rows.
    pattern, par = sparse_parameter(rng, K * N)
    E = operand(rng, (M, K), False, programs)
    h = Host(E)
    xpat, xp = h.X.put("i64", pattern), h.X.put("i32", par)
    cp = h.X.put("i32", np.zeros(N + 1, np.int32))
    tpat, tp = h.X.reserve("i64", len(pattern)), h.X.reserve("i32", len(pattern))
    kernel(365)(N, len(pattern), cp, xpat, h.X.i32, h.X.i64)
    kernel(525)(h.X.i32, N, cp)
    cursor = h.X.put("i32", h.X.i32[cp:cp + N + 1])
    kernel(375)(N, K, len(pattern), cursor, xp, xpat, tp, tpat, h.X.i32, h.X.i64)
    Qv = lambda p: masked(pattern, par, p, K * N).reshape(K, N)  # noqa: E731
    tp_ = h.X.i64[tpat:tpat + len(pattern)]
    assert np.all(np.diff(tp_) > 0)
    blocks = lambda k, xi, xq: kernel(382)(0, k % N, K, k // N, xi, xq, tp, tpat, cp, h.X.i32, h.X.i64)  # noqa
    got = block_driven(h, M * N, blocks)
    check(h.result((M, N), got), lambda Ev, p: np.einsum("kc,rkv->rcv", Qv(p), Ev), E, rng)
    assert X0.sentinels_intact()


def test_empty_inputs_return_the_running_values():
    E = Expr((0,), [0], [], [])
    h = Host(E)
    h.reserve(0, 0, 0, sparse=True)
    args = (*h.op_head()[:2], 5, 0, 0, 0, 0, 9, 0, 0, 0, 0, *h.res_mid(), 0, 0, 0, *h.w(), h.X.i32, h.X.i64)
    assert kernel(369)(*args) == (5, 9)
    assert kernel(357)(0, 5, 0, 2, 0, 0, 9, 0, 0, 0, h.W.i32, h.W.i64, h.X.i64) == (5, 2, 9)
