"""Models stated through fragments_host and through CVXPY, both solved with
Clarabel: objective, primal values and constraint duals must agree."""
import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")
pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402

TOL = dict(rtol=1e-6, atol=1e-6)
# Clarabel's own tolerances are the default; the comparisons ask for tighter ones
TIGHT = dict(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)


def close(a, b):
    np.testing.assert_allclose(np.asarray(a, float), np.asarray(b, float).reshape(np.shape(a)), **TOL)


def cvx_solve(objective, cons):
    prob = cp.Problem(objective, cons)
    prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    assert prob.status == "optimal"
    return prob.value


def soc_dual(c):
    t, x = c.dual_value
    return np.concatenate([np.ravel(t), np.ravel(x)])


def test_least_squares_with_bounds():
    rng = np.random.default_rng(1)
    A, b = rng.normal(size=(8, 4)), rng.normal(size=8) * 3
    m = fh.Model()
    x, t = m.variable(4, "x"), m.variable(name="t")
    lo, hi = m.add(x >= -0.3), m.add(x <= 0.4)
    cone = m.add(fh.soc(t, A @ x - b))
    m.minimize(t)
    val = m.solve(**TIGHT)

    xc, tc = cp.Variable(4), cp.Variable()
    cons = [xc >= -0.3, xc <= 0.4, cp.SOC(tc, A @ xc - b)]
    close(val, cvx_solve(cp.Minimize(tc), cons))
    close(x.value, xc.value)
    close(lo.dual, cons[0].dual_value)
    close(hi.dual, cons[1].dual_value)
    close(cone.dual, soc_dual(cons[2]))


def test_variable_domains_with_duals():
    # bounds as variable domains: scalar, dense and sparse sides, nonneg
    rng = np.random.default_rng(11)
    A, b, G = rng.normal(size=(16, 9)), rng.normal(size=16) * 3, rng.normal(size=(16, 2))
    lo = rng.uniform(-0.4, -0.1, size=(2, 3))
    idx, top = [[0, 1], [1, 2], [1, 0]], [0.05, 0.1, -0.02]
    m = fh.Model()
    X = m.variable((2, 3), "X", lb=lo, ub=(idx, top))
    y = m.variable(3, "y", lb=-0.2, ub=0.3)
    z = m.variable(2, "z", nonneg=True)
    t = m.variable(name="t")
    m.add(fh.soc(t, A @ fh.concatenate([X.flatten(), y]) - b + G @ z))
    m.minimize(t + z.sum() * 0.1)
    val = m.solve(**TIGHT)

    Xc, yc, zc, tc = cp.Variable((2, 3)), cp.Variable(3), cp.Variable(2), cp.Variable()
    rows, cols = np.array(idx).T
    cons = [Xc >= lo, Xc[rows, cols] <= top, yc >= -0.2, yc <= 0.3, zc >= 0,
            cp.SOC(tc, A @ cp.hstack([cp.vec(Xc, order="C"), yc]) - b + G @ zc)]
    close(val, cvx_solve(cp.Minimize(tc + 0.1 * cp.sum(zc)), cons))
    close(X.value, Xc.value)
    close(y.value, yc.value)
    close(X.lower_dual, cons[0].dual_value)
    up = np.zeros((2, 3))
    up[rows, cols] = cons[1].dual_value
    close(X.upper_dual, up)
    close(y.lower_dual, cons[2].dual_value)
    close(y.upper_dual, cons[3].dual_value)
    close(y.dual, cons[2].dual_value - cons[3].dual_value)
    close(z.dual, cons[4].dual_value)
    assert np.any(np.abs(y.dual) > 1e-3) and np.any(np.abs(X.upper_dual) > 1e-3)   # bounds active


def test_portfolio_with_risk_limit():
    rng = np.random.default_rng(2)
    n = 6
    mu = rng.uniform(0.01, 0.1, n)
    F = rng.normal(size=(n, n)) * 0.1
    import scipy.sparse as sp
    Fs = sp.csr_matrix(np.where(np.abs(F) > 0.05, F, 0.0))
    m = fh.Model()
    w = m.variable(n, "w")
    budget = m.add(w.sum() == 1.0)
    long = m.add(w >= 0.0)
    risk = m.add(fh.soc(0.08, Fs.T @ w))
    m.maximize(w @ mu)
    val = m.solve(**TIGHT)

    wc = cp.Variable(n)
    cons = [cp.sum(wc) == 1.0, wc >= 0, cp.SOC(cp.Constant(0.08), Fs.T @ wc)]
    close(val, cvx_solve(cp.Maximize(mu @ wc), cons))
    close(w.value, wc.value)
    close(budget.dual, -cons[0].dual_value)
    close(long.dual, cons[1].dual_value)
    close(risk.dual, soc_dual(cons[2]))


def test_quadratic_over_linear():
    # min x'x / y + y + c'x  with  G x <= h, 1 <= y: the rotated cone 2 t (y/2) >= |x|^2
    rng = np.random.default_rng(10)
    n = 5
    c, G, h = 0.5 * rng.normal(size=n), rng.normal(size=(3, n)), rng.uniform(0.1, 1, 3)
    m = fh.Model()
    x, y, t = m.variable(n, "x"), m.variable(name="y"), m.variable(name="t")
    lin = m.add(G @ x <= h)
    ylo = m.add(y >= 1.0)
    m.add(fh.rsoc(t, 0.5 * y, x))
    m.minimize(t + y + x @ c)
    val = m.solve(**TIGHT)

    xc, yc = cp.Variable(n), cp.Variable()
    cons = [G @ xc <= h, yc >= 1.0]
    close(val, cvx_solve(cp.Minimize(cp.quad_over_lin(xc, yc) + yc + c @ xc), cons))
    close(x.value, xc.value)
    close(y.value, yc.value)
    close(lin.dual, cons[0].dual_value)
    close(ylo.dual, cons[1].dual_value)


def test_semidefinite_minimum_trace():
    # min <C, X> s.t. <A_i, X> = b_i, X >= 0
    rng = np.random.default_rng(4)
    n = 3
    B = rng.normal(size=(n, n))
    C = B @ B.T + np.eye(n)
    As = [np.eye(n), (lambda M: M + M.T)(rng.normal(size=(n, n)))]
    bs = [2.0, 0.5]
    m = fh.Model()
    X = m.semidefinite(n, "X")
    eqs = [m.add((X * Ai).sum() == bi) for Ai, bi in zip(As, bs)]
    m.minimize((X * C).sum())
    val = m.solve(**TIGHT)

    Xc = cp.Variable((n, n), symmetric=True)
    cons = [cp.trace(Ai @ Xc) == bi for Ai, bi in zip(As, bs)] + [Xc >> 0]
    close(val, cvx_solve(cp.Minimize(cp.trace(C @ Xc)), cons))
    close(X.value, Xc.value)
    for mine, theirs in zip(eqs, cons):
        close(mine.dual, -theirs.dual_value)
    close(X.cone.dual, cons[-1].dual_value)


def test_minimum_eigenvalue():
    rng = np.random.default_rng(5)
    n = 4
    B = rng.normal(size=(n, n))
    A = B + B.T
    m = fh.Model()
    lam = m.variable(name="lam")
    cone = m.add(fh.psd(A - lam * np.eye(n)))
    m.maximize(lam)
    val = m.solve(**TIGHT)
    close(val, np.linalg.eigvalsh(A)[0])
    lc = cp.Variable()
    cons = [A - lc * np.eye(n) >> 0]
    cvx_solve(cp.Maximize(lc), cons)
    close(cone.dual, cons[0].dual_value)


def test_slicing_transposition_stacking():
    rng = np.random.default_rng(6)
    D = rng.normal(size=(3, 4))
    C = rng.uniform(-0.3, 0.3, size=(2, 2))
    m = fh.Model()
    X = m.variable((3, 4), "X")
    t = m.variable(name="t")
    fit = m.add(fh.soc(t, (X - D).flatten()))
    box = m.add(X[0:2, 1:3].T <= C)
    rows = m.add(fh.vstack([X[0, :], X[2, :]]) >= -0.5)
    cols = m.add(fh.concatenate([X[:, 0:1], X[:, 3:4]], axis=1).sum(axis=0) == np.array([0.1, -0.2]))
    picked = m.add(X.pick([[2, 1], [2, 3]]) >= 0.2)
    m.minimize(t)
    val = m.solve(**TIGHT)

    Xc, tc = cp.Variable((3, 4)), cp.Variable()
    cons = [cp.SOC(tc, cp.vec(Xc - D, order="C")), Xc[0:2, 1:3].T <= C,
            cp.vstack([Xc[0, :], Xc[2, :]]) >= -0.5,
            cp.sum(cp.hstack([Xc[:, 0:1], Xc[:, 3:4]]), axis=0) == np.array([0.1, -0.2]),
            cp.hstack([Xc[2, 1], Xc[2, 3]]) >= 0.2]
    close(val, cvx_solve(cp.Minimize(tc), cons))
    close(X.value, Xc.value)
    close(fit.dual, soc_dual(cons[0]))
    close(box.dual, cons[1].dual_value)
    close(rows.dual, cons[2].dual_value)
    close(cols.dual, -cons[3].dual_value)
    close(picked.dual, cons[4].dual_value)


def test_parameterized_least_squares_resolved():
    rng = np.random.default_rng(7)
    A = rng.normal(size=(6, 3))
    m = fh.Model()
    x, t = m.variable(3, "x"), m.variable(name="t")
    b = m.parameter(6, "b")
    g = m.parameter((), "g")
    P = m.parameter((2, 3), "P")
    cone = m.add(fh.soc(t, A @ x - b))
    lim = m.add(P @ x + x[1:3] * 0.3 <= g * np.ones(2))     # fixed and parameter parts on one term
    m.minimize(t)
    xc, tc = cp.Variable(3), cp.Variable()
    bc, gc, Pc = cp.Parameter(6), cp.Parameter(), cp.Parameter((2, 3))
    cons = [cp.SOC(tc, A @ xc - bc), Pc @ xc + 0.3 * xc[1:3] <= gc * np.ones(2)]
    prob = cp.Problem(cp.Minimize(tc), cons)
    with pytest.raises(fh.ParameterError, match="b"):
        m.solve(**TIGHT)
    built = None
    for k in range(3):
        b.value = bc.value = rng.normal(size=6) * 2
        g.value = gc.value = 0.1 * (k + 1)
        P.value = Pc.value = rng.normal(size=(2, 3))
        val = m.solve(**TIGHT)
        flat = m._flat
        assert built is None or flat is built         # re-evaluated, not rebuilt
        built = flat
        prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        close(val, prob.value)
        close(x.value, xc.value)
        close(cone.dual, soc_dual(cons[0]))
        close(lim.dual, cons[1].dual_value)


def test_parameterized_objective_resolved():
    # max mu.w - c * s with |F^T w| <= s, s <= 0.2, w >= 0, sum w = 1: mu and c in the objective
    rng = np.random.default_rng(8)
    n = 5
    F = rng.normal(size=(n, n)) * 0.2
    m = fh.Model()
    w, s = m.variable(n, "w", nonneg=True), m.variable(name="s", ub=0.2)
    mu, c = m.parameter(n, "mu"), m.parameter((), "c")
    budget = m.add(w.sum() == 1.0)
    risk = m.add(fh.soc(s, F.T @ w))
    m.maximize((mu * w).sum() - c * s + 0.5 * w[0] + (mu * np.full(n, 0.1)).sum() + 1.0)
    wc, sc = cp.Variable(n), cp.Variable()
    muc, cc = cp.Parameter(n), cp.Parameter(nonneg=True)
    cons = [cp.sum(wc) == 1.0, cp.SOC(sc, F.T @ wc), wc >= 0, sc <= 0.2]
    prob = cp.Problem(cp.Maximize(muc @ wc - cc * sc + 0.5 * wc[0] + 0.1 * cp.sum(muc) + 1.0), cons)
    built = None
    for k in range(3):
        mu.value = muc.value = rng.uniform(0.0, 0.3, n)
        c.value = cc.value = 0.05 * k
        val = m.solve(**TIGHT)
        assert built is None or m._flat is built
        built = m._flat
        prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        close(val, prob.value)
        close(w.value, wc.value)
        close(budget.dual, -cons[0].dual_value)
        close(risk.dual, soc_dual(cons[1]))
        close(w.lower_dual, cons[2].dual_value)
        close(s.upper_dual, cons[3].dual_value)


def test_user_errors():
    m = fh.Model()
    x, y = m.variable(3, "x"), m.variable((2, 2), "y")
    with pytest.raises(fh.ShapeError, match=r"\(3,\).*\(2, 2\)"):
        x + y
    with pytest.raises(fh.ShapeError, match=r"\(2, 3\)"):
        fh.psd(m.variable((2, 3)))
    with pytest.raises(fh.ShapeError, match=r"\(3,\).*\(2, 2\)"):
        x @ np.ones((2, 2))
    with pytest.raises(fh.ShapeError, match=r"lower bound of v of shape \(3,\) has shape \(2,\)"):
        m.variable(3, "v", lb=np.zeros(2))
    with pytest.raises(fh.ShapeError, match=r"upper bound of w.*2 multi-indices with 1 values"):
        m.variable((2, 2), "w", ub=([[0, 0], [1, 1]], [1.0]))
    # a dense bound of another shape is refused even with as many elements (it
    # would be laid out in its own order), a sparse multi-index at an extent too
    for shape, bound in [((2, 3), np.zeros((3, 2))), ((2, 3), np.zeros(6)), ((4,), np.zeros((2, 2)))]:
        with pytest.raises(fh.ShapeError, match="lower bound of u .* has shape"):
            m.variable(shape, "u", lb=bound)
    for idx in ([[1, 3]], [[2, 0]], [[0, -1]]):
        with pytest.raises(IndexError, match="out of range"):
            m.variable((2, 3), "u", ub=(idx, [1.0]))
    p = m.parameter(2, "p")
    with pytest.raises(fh.ParameterError, match=r"\(2,\).*\(3,\)"):
        p.value = np.ones(3)
    m.minimize(x.sum())
    m.add(x >= 0)
    m.add(x[0:2] <= p)
    with pytest.raises(fh.ParameterError, match="p"):
        m.solve(**TIGHT)
    p.value = np.ones(2)
    m.minimize(-x.sum())
    with pytest.raises(fh.SolverError, match="status"):
        m.solve(raise_on_failure=True)


def test_a_scalar_spreads_over_one_element_shapes():
    """A number against an expression of shape (1,) (a one-row product, a
    one-element slice) spreads as numpy's does, and the model solves as
    CVXPY's; two one-element shapes broadcast as numpy's do."""
    rng = np.random.default_rng(5)
    a, c = rng.uniform(0.5, 1.5, size=(1, 3)), rng.uniform(0.1, 1.0, 3)
    m = fh.Model()
    x = m.variable(3, "x", lb=-2.0)
    m.add(a @ x <= 1.0, 0.5 <= x[:1] + 1.0, 2.0 - x[2:] >= 0.0)
    m.maximize(c @ x)
    xc = cp.Variable(3)
    prob = cp.Problem(cp.Maximize(c @ xc), [a @ xc <= 1.0, 0.5 <= xc[:1] + 1.0, 2.0 - xc[2:] >= 0.0, xc >= -2.0])
    prob.solve(solver=cp.CLARABEL)
    close(m.solve(), prob.value)
    close(x.value, xc.value)
    assert (x[:1] + 1.0).shape == (1,) and (1.0 - x[:1]).shape == (1,)
    assert (x[:1] + m.variable((1, 1))).shape == np.broadcast_shapes((1,), (1, 1))
