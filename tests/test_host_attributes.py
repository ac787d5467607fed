"""Variable attributes (symmetric, PSD, NSD, nonpos, bounds, batches of
semidefinite blocks) and the forms met beside them (hstack / vstack of
scalars, quad_form of a scalar) against CVXPY + Clarabel stating the same
model: objective, primal values and duals (the package's signs: an equality's
dual is minus CVXPY's). Then the refusals, and values set by the user."""
import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")
pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402

TIGHT = dict(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)


def symmetric(rng):
    # a symmetric variable is CVXPY's problem as it is: X == X.T on a free
    # variable states dependent rows, and moved these duals by 1e-5
    n = 3
    C, A, G = rng.normal(size=(n, n)), rng.normal(size=(n, n)), rng.normal(size=(n, n))
    C = C + C.T
    m = fh.Model()
    X = m.variable((n, n), "X", symmetric=True)
    cs = [m.add((A * X).sum() == 1), m.add((G * X).sum() <= 2), m.add(X >> -np.eye(n)), m.add(fh.trace(X) <= 3)]
    m.minimize((C * X).sum())
    Xc = cp.Variable((n, n), symmetric=True)
    kc = [cp.sum(cp.multiply(A, Xc)) == 1, cp.sum(cp.multiply(G, Xc)) <= 2, Xc >> -np.eye(n), cp.trace(Xc) <= 3]
    return m, cp.Problem(cp.Minimize(cp.sum(cp.multiply(C, Xc))), kc), lambda: [
        (X, Xc), (cs[0].dual, -kc[0].dual_value)] + [(a.dual, b.dual_value) for a, b in zip(cs[1:], kc[1:])]


def symmetric_bounded(rng):
    # bounds on the packed triangle; a bound dual shared by X[i, j] and X[j, i]
    n = 3
    C = rng.normal(size=(n, n))
    U = (lambda B: B + B.T)(rng.uniform(0.2, 0.6, (n, n)))
    m = fh.Model()
    X = m.variable((n, n), "X", symmetric=True, nonneg=True, ub=U)
    m.add(X.sum() == 2.0)
    m.minimize((C * X).sum())
    Xc = cp.Variable((n, n), symmetric=True)
    kc = [cp.sum(Xc) == 2.0, Xc >= 0, Xc <= U]
    return m, cp.Problem(cp.Minimize(cp.sum(cp.multiply(C, Xc))), kc), lambda: [
        (X, Xc), (X.lower_dual, kc[1].dual_value), (X.upper_dual, kc[2].dual_value)]


def nsd(rng):
    # NSD against a symmetric variable with X << 0 (whose dual CVXPY reports);
    # PSD=True is the semidefinite variable of the batch below
    n = 3
    C = (lambda B: B @ B.T)(rng.normal(size=(n, n)))
    A = np.eye(n) + 0.5 * rng.normal(size=(n, n))
    m = fh.Model()
    X = m.variable((n, n), "X", NSD=True)
    cs = [m.add(fh.trace(X) == -1), m.add((A * X).sum() <= -0.8)]
    m.maximize((C * X).sum())
    Xc = cp.Variable((n, n), symmetric=True)
    kc = [cp.trace(Xc) == -1, cp.sum(cp.multiply(A, Xc)) <= -0.8, Xc << 0]
    return m, cp.Problem(cp.Maximize(cp.trace(C @ Xc)), kc), lambda: [
        (X, Xc), (cs[0].dual, -kc[0].dual_value), (cs[1].dual, kc[1].dual_value), (X.cone.dual, kc[2].dual_value)]


def psd_batch(rng):
    # two 3 x 3 blocks, each constrained: one cone per block, one dual of shape (2, 3, 3)
    k, n = 2, 3
    C = np.stack([(lambda B: B @ B.T)(rng.normal(size=(n, n))) for _ in range(k)])
    m = fh.Model()
    X = m.variable((k, n, n), "X", PSD=True)
    tr = m.add(X[0, 0, 0] + X[0, 1, 1] + X[0, 2, 2] == 1)
    link = m.add(X[1, 0, 1] >= X[0, 0, 1] + 0.1)
    m.add(X[1].sum() <= 2)
    m.minimize((C * X).sum())
    Xc = [cp.Variable((n, n), symmetric=True) for _ in range(k)]
    kc = [cp.trace(Xc[0]) == 1, Xc[1][0, 1] >= Xc[0][0, 1] + 0.1, cp.sum(Xc[1]) <= 2, Xc[0] >> 0, Xc[1] >> 0]
    prob = cp.Problem(cp.Minimize(sum(cp.trace(C[i] @ Xc[i]) for i in range(k))), kc)
    return m, prob, lambda: [(X.value, np.stack([x.value for x in Xc])), (tr.dual, -kc[0].dual_value),
                             (link.dual, kc[1].dual_value),
                             (X.cone.dual, np.stack([kc[3].dual_value, kc[4].dual_value]))]


def psd_of_a_batch(rng):
    # Y >> B for a general (2, 3, 3) Y: each block's symmetric part above B
    k, n = 2, 3
    C = np.stack([(lambda B: B + B.T)(rng.normal(size=(n, n))) for _ in range(k)])
    B = 0.05 * (lambda M: M @ M.T)(rng.normal(size=(n, n)))
    m = fh.Model()
    Y = m.variable((k, n, n), "Y")
    cone = m.add(Y >> B)
    m.add(fh.trace(Y[0]) + fh.trace(Y[1]) == 3)
    m.add(fh.trace(Y[1]) <= 1)
    m.minimize((C * Y).sum())
    Yc = [cp.Variable((n, n)) for _ in range(k)]
    kc = [(y + y.T) / 2 >> B for y in Yc] + [cp.trace(Yc[0]) + cp.trace(Yc[1]) == 3, cp.trace(Yc[1]) <= 1]
    prob = cp.Problem(cp.Minimize(sum(cp.sum(cp.multiply(C[i], Yc[i])) for i in range(k))), kc)
    return m, prob, lambda: [((Y + Y.transpose((0, 2, 1))).value / 2, np.stack([(y + y.T).value / 2 for y in Yc])),
                             (cone.dual, np.stack([kc[0].dual_value, kc[1].dual_value]))]


def nonpos_and_bounds(rng):
    A, b, c = rng.normal(size=(4, 3)), rng.uniform(0.5, 1, 4), rng.normal(size=3)
    lb, ub = np.array([-0.5, -np.inf, -0.2]), np.array([0.3, 0.1, np.inf])
    m = fh.Model()
    x = m.variable(3, "x", bounds=(lb, ub))
    y = m.variable(2, "y", nonpos=True)
    z = m.variable(name="z", bounds=[None, 0.4])
    lin = m.add(A @ x + y.sum() + z <= b)
    m.add(x.sum() >= -1, x[2] - x[1] <= 1.5, z >= y[0] - 1)
    m.minimize(x @ c - 0.1 * y[1] - y[0] - z)
    xc, yc = cp.Variable(3, bounds=[np.where(np.isinf(lb), -1e20, lb), np.where(np.isinf(ub), 1e20, ub)]), \
        cp.Variable(2, nonpos=True)
    zc = cp.Variable(bounds=[None, 0.4])
    kc = [A @ xc + cp.sum(yc) + zc <= b, cp.sum(xc) >= -1, xc[2] - xc[1] <= 1.5, zc >= yc[0] - 1]
    return m, cp.Problem(cp.Minimize(c @ xc - 0.1 * yc[1] - yc[0] - zc), kc), lambda: [
        (x, xc), (y, yc), (z, zc), (lin.dual, kc[0].dual_value)]


def scalars(rng):
    # hstack / vstack of scalars as numpy shapes them, quad_form of a scalar
    a = rng.normal(size=2)
    m = fh.Model()
    s, t, u = m.variable(name="s"), m.variable(name="t"), m.variable(name="u")
    cone = m.add(fh.soc(u, fh.hstack([s, t]) - a))
    col = fh.vstack([s, 2.0])
    m.add(u <= 0.5)
    m.minimize(fh.quad_form(s, 2.0) - t)
    sc, tc, uc = cp.Variable(), cp.Variable(), cp.Variable()
    kc = [cp.SOC(uc, cp.hstack([sc, tc]) - a), uc <= 0.5]
    return m, cp.Problem(cp.Minimize(2.0 * cp.square(sc) - tc), kc), lambda: [
        (s, sc), (t, tc), (col, cp.vstack([sc, 2.0])), (cone.dual, np.concatenate([np.ravel(d) for d in kc[0].dual_value]))]


CASES = [symmetric, symmetric_bounded, nsd, psd_batch, psd_of_a_batch, nonpos_and_bounds, scalars]


@pytest.mark.parametrize("case", CASES, ids=lambda f: f.__name__)
def test_against_cvxpy(case):
    m, prob, pairs = case(np.random.default_rng(7))
    val = m.solve(**TIGHT)
    prob.solve(solver=cp.CLARABEL, **TIGHT)
    assert m.status == prob.status == "optimal"
    np.testing.assert_allclose(val, prob.value, rtol=1e-7, atol=1e-7)
    for mine, theirs in pairs():
        a = np.asarray(getattr(mine, "value", mine), float)
        b = np.asarray(getattr(theirs, "value", theirs), float)
        assert a.shape == b.shape
        np.testing.assert_allclose(a, b, rtol=1e-6, atol=1e-7)


REFUSED = [
    (lambda m: m.variable((2, 3), symmetric=True), fh.ShapeError, "square"),
    (lambda m: m.variable((3, 3), PSD=True, NSD=True), fh.ModelError, "one of"),
    (lambda m: m.variable(3, nonneg=True, nonpos=True), fh.ModelError, "nonneg and nonpos"),
    (lambda m: m.variable(3, bounds=(0, 1), ub=2), fh.ModelError, "one way"),
    (lambda m: m.variable(3, bounds=1.0), TypeError, "pair"),
    (lambda m: m.variable(3, nonpos=True, bounds=(-1, 1)), fh.ModelError, "upper bound"),
    (lambda m: m.variable((2, 2), symmetric=True, ub=[[1, 2], [3, 4]]), fh.DataError, "not symmetric"),
    (lambda m: m.semidefinite((2, 3)), fh.ShapeError, "(k, n, n)"),
    (lambda m: m.variable((2, 3, 4)) >> 0, fh.ShapeError, "square"),
    (lambda m: 2 / fh.sqrt(m.variable()), fh.ModelError, "inv_pos"),
    (lambda m: fh.quad_form(m.variable(2), 2.0), fh.ShapeError, "quad_form"),
    (lambda m: m.solve(warm_start="yes"), TypeError, "warm_start"),
]
VALUES = [
    (dict(shape=2), [1.0, 2.0, 3.0], fh.ShapeError, "shape"),
    (dict(shape=2, bounds=(0, 1)), [0.5, 1.5], fh.DataError, "upper bound"),
    (dict(shape=2, nonpos=True), [-1.0, 0.5], fh.DataError, "upper bound"),
    (dict(shape=2, lb=[0, -1]), [0.5, -2.0], fh.DataError, "lower bound"),
    (dict(shape=(2, 2), symmetric=True), [[1.0, 2.0], [0.0, 1.0]], fh.DataError, "not symmetric"),
    (dict(shape=(2, 2), PSD=True), [[1.0, 2.0], [2.0, 1.0]], fh.DataError, "positive semidefinite"),
    (dict(shape=(2, 2), NSD=True), np.eye(2), fh.DataError, "negative semidefinite"),
]


@pytest.mark.parametrize("state, error, words", REFUSED, ids=[w for *_, w in REFUSED])
def test_refusals(state, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        state(fh.Model())


@pytest.mark.parametrize("kw, value, error, words", VALUES, ids=[str(v[0]) for v in VALUES])
def test_values_outside_the_domain_are_refused(kw, value, error, words):
    kw = dict(kw)
    x = fh.Model().variable(kw.pop("shape"), **kw)
    with pytest.raises(error, match=words):
        x.value = value
    assert x.value is None


def test_values_set_by_the_user_until_the_next_solve():
    m = fh.Model()
    x, X = m.variable(2, "x", bounds=(-1, 1)), m.variable((2, 2), "X", PSD=True)
    m.add(fh.trace(X) == 1)
    m.minimize(x.sum() + X[0, 1])
    x.value = [0.5, -0.5]
    np.testing.assert_array_equal(x.value, [0.5, -0.5])
    assert X.value is None and (x.sum() + X[0, 1]).value is None        # X has no value yet
    X.value = [[0.5, 0.2], [0.2, 0.5]]
    np.testing.assert_allclose((x.sum() + X[0, 1] + X[1, 0]).value, 0.4)
    m.add(x[0] >= -0.5)                                                  # a change keeps them
    np.testing.assert_array_equal(x.value, [0.5, -0.5])
    m.solve(warm_start=True, **TIGHT)
    assert m.status == "optimal" and m.solver_stats.warm_started is False   # Clarabel takes no initial point
    np.testing.assert_allclose(x.value, [-0.5, -1.0], atol=1e-7)
    np.testing.assert_allclose(X.value, [[0.5, -0.5], [-0.5, 0.5]], atol=1e-6)
    x.value = [0.0, 0.25]                                               # x given, X from the solution
    np.testing.assert_allclose((x.sum() + X[0, 1]).value, 0.25 - 0.5, atol=1e-6)
    x.value = None
    np.testing.assert_allclose(x.value, [-0.5, -1.0], atol=1e-7)
    x.value = [0.0, 0.25]
    m.solve(**TIGHT)
    np.testing.assert_allclose(x.value, [-0.5, -1.0], atol=1e-7)
