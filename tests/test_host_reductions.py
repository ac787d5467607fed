"""The objective's quadratics in the solver's quadratic term, parameter
weights of it updated in place on a re-solve, and the tight forms of
log_det, huber and entropy: each model against CVXPY + Clarabel solving the
same model, written once against a namespace F (fragments_host or CVXPY)."""
import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")
pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402

TIGHT = dict(tol_gap_abs=1e-9, tol_gap_rel=1e-9, tol_feas=1e-9)

rng = np.random.default_rng(30)
A, b = rng.normal(size=(5, 3)), rng.normal(size=5)
a, c = rng.uniform(-0.5, 0.5, 3), rng.uniform(0.5, 2.0, 3)
_B = rng.normal(size=(3, 3))
NSD = -_B @ _B.T


def mul(F, u, v):
    return u * v if F is fh else cp.multiply(u, v)


# name: (F, x, p (scalar >= 0), pv (vector >= 0)) -> (sense, objective), and
# the entries of P the quadratic parts make (A's 5 rows, x's 3, Q's upper 6)
FORMS = {
    "x ** 2": (lambda F, x, p, pv: ("min", F.sum(x ** 2) + x @ c), 3),
    "power(., 2)": (lambda F, x, p, pv: ("min", F.sum(F.power(A @ x - b, 2)) + x[0]), 5),
    "p * sum(square)": (lambda F, x, p, pv: ("min", p * F.sum(F.square(x - a)) + x @ c), 3),
    "p * sum_squares": (lambda F, x, p, pv: ("min", p * F.sum_squares(A @ x - b)), 5),
    "sum(pv * square)": (lambda F, x, p, pv: ("min", F.sum(mul(F, pv, F.square(x - a))) + x[1]), 3),
    "array weights beside abs": (lambda F, x, p, pv: ("min", F.sum(F.square(x) + F.abs(x - a))
                                                      + F.sum(mul(F, c, F.square(x)))), 6),
    "concave in maximize": (lambda F, x, p, pv: ("max", -F.sum_squares(x - a) + x @ c), 3),
    "NSD quad_form in maximize": (lambda F, x, p, pv: ("max", F.quad_form(x - a, NSD) + x @ c), 6),
    "p * NSD quad_form": (lambda F, x, p, pv: ("max", p * F.quad_form(x, NSD) - 2 * F.sum_squares(x) + x @ c), 9),
    "huber": (lambda F, x, p, pv: ("min", F.sum(F.huber(A @ x - b, 0.5)) + x @ c), 5),
    "p * huber": (lambda F, x, p, pv: ("min", p * F.sum(F.huber(A @ x - b, 0.5)) - x @ c), 5),
}


def _form(F, name):
    """The model of FORMS[name] with x in [-2, 2] and sum(x) <= 0.5 (its dual compared)."""
    if F is fh:
        m = fh.Model()
        x = m.variable(3, "x", lb=-2, ub=2)
        p, pv = m.parameter((), "p", nonneg=True, value=1.5), m.parameter(3, "pv", nonneg=True, value=c)
        sense, obj = FORMS[name][0](fh, x, p, pv)
        cons = m.add(x.sum() <= 0.5)
        (m.minimize if sense == "min" else m.maximize)(obj)
        return m, x, cons
    x = cp.Variable(3)
    p, pv = cp.Parameter(nonneg=True, value=1.5), cp.Parameter(3, nonneg=True, value=c)
    sense, obj = FORMS[name][0](cp, x, p, pv)
    cons = [cp.sum(x) <= 0.5]
    prob = cp.Problem((cp.Minimize if sense == "min" else cp.Maximize)(obj), cons + [x >= -2, x <= 2])
    return prob, x, cons[0]


@pytest.mark.parametrize("name", list(FORMS))
def test_quadratics_of_the_objective_go_to_the_quadratic_term(name):
    m, x, con = _form(fh, name)
    val = m.solve(**TIGHT)
    # no cone but the linear ones: every quadratic is in P
    assert {k for k, _ in m.flat_problem()[3]} <= {"zero", "nonneg"}
    assert m.quadratic_term().nnz == FORMS[name][1]
    prob, xc, conc = _form(cp, name)
    prob.solve(solver=cp.CLARABEL, **TIGHT)
    np.testing.assert_allclose(val, prob.value, rtol=1e-7, atol=1e-7)
    np.testing.assert_allclose(x.value, xc.value, atol=1e-6)
    np.testing.assert_allclose(con.dual, conc.dual_value, rtol=1e-5, atol=1e-7)


def test_quadratics_elsewhere_keep_their_cones_and_an_indefinite_quad_form_is_refused():
    m = fh.Model()
    x = m.variable(3, "x")
    with pytest.raises(fh.ModelError, match=r"quad_form: Q is indefinite \(eigenvalues from -1 to 2\)"):
        fh.quad_form(x, np.diag([2.0, -1.0, 0.5]))
    with pytest.raises(fh.ModelError, match="minimize takes a convex objective; quad_form.* is concave"):
        m.minimize(fh.quad_form(x, NSD))
    m.add(fh.sum(fh.huber(x, 0.5)) <= 1.0, fh.quad_form(x - a, NSD) >= -3.0)
    m.minimize(fh.exp(fh.sum_squares(x - a)) + x @ c)
    m.solve(**TIGHT)
    assert m.quadratic_term().nnz == 0 and {"soc", "exp"} <= {k for k, _ in m.flat_problem()[3]}
    xc = cp.Variable(3)
    ref = cp.Problem(cp.Minimize(cp.exp(cp.sum_squares(xc - a)) + xc @ c),
                     [cp.sum(cp.huber(xc, 0.5)) <= 1.0, cp.quad_form(xc - a, NSD) >= -3.0])
    np.testing.assert_allclose(m.value, ref.solve(solver=cp.CLARABEL, **TIGHT), rtol=1e-6)
    np.testing.assert_allclose(x.value, xc.value, atol=1e-5)


def test_parameter_weights_of_the_quadratic_term_update_in_place():
    """(p + 0.5) sum_squares(A x - b) + sum(pv * square(x)) re-solved on the
    kept solver after each change, against CVXPY; P's entries are 2 (p +
    0.5) and 2 pv."""
    m = fh.Model()
    x = m.variable(3, "x", lb=-1, ub=1)
    p, pv = m.parameter((), "p", nonneg=True), m.parameter(3, "pv", nonneg=True)
    m.minimize((p + 0.5) * fh.sum_squares(A @ x - b) + fh.sum(pv * fh.square(x)) + x @ c)
    xc, pc, pvc = cp.Variable(3), cp.Parameter(nonneg=True), cp.Parameter(3, nonneg=True)
    prob = cp.Problem(cp.Minimize((pc + 0.5) * cp.sum_squares(A @ xc - b) + cp.sum(cp.multiply(pvc, cp.square(xc)))
                                  + xc @ c), [xc >= -1, xc <= 1])
    for k, (pval, pvval) in enumerate([(1.0, [0.5, 1.0, 2.0]), (0.2, [3.0, 0.0, 1.0]), (2.5, [0.1, 0.1, 4.0])]):
        p.value, pv.value = pc.value, pvc.value = pval, pvval
        val = m.solve(**TIGHT)
        assert m.solver_stats.reused == (k > 0)
        assert sorted(m.quadratic_term().data) == sorted([2.0 * (pval + 0.5)] * 5 + [2.0 * v for v in pvval])
        np.testing.assert_allclose(val, prob.solve(solver=cp.CLARABEL, **TIGHT), rtol=1e-7, atol=1e-8)
        np.testing.assert_allclose(x.value, xc.value, atol=1e-6)


def test_cvxpys_parameter_update_qp_reaches_its_duals_at_default_settings():
    """CVXPY's own parameter-update QP, re-solved after its parameter change
    at Clarabel's defaults: its solver tests' objective -6.75, x = (1.5, 0)
    and duals (0, 8) and 3."""
    m = fh.Model()
    x = m.variable(2, "x")
    p, q = m.parameter(2, "p", nonneg=True, value=[4.0, 0.25]), m.parameter(2, "q", value=[-4.0, 2.0])
    av, bv = m.parameter(2, "a", value=[1.0, 1.0]), m.parameter((), "b", value=2.0)
    pos, lin = m.add(x >= 0), m.add(av @ x <= bv)
    m.minimize(fh.sum(p * fh.square(x)) / 2 + q @ x)
    m.solve()
    p.value, q.value, av.value, bv.value = [2.0, 1.0], [-6.0, 2.0], [1.0, 2.0], 1.5
    assert m.solve() == pytest.approx(-6.75, abs=1e-6)
    assert m.solver_stats.reused and m.status == "optimal"
    np.testing.assert_allclose(x.value, [1.5, 0.0], atol=1e-6)
    np.testing.assert_allclose(pos.dual, [0.0, 8.0], atol=1e-6)
    assert lin.dual == pytest.approx(3.0, abs=1e-6)


# the tight forms: (F, variable maker V, rng) -> (sense, objective, constraints, the variable compared)
def _log_det(F, V, r):
    X, B = V((6, 6), symmetric=True), r.normal(size=(6, 6))
    return "max", F.log_det(X), [F.trace((B @ B.T / 6 + np.eye(6)) @ X) <= 6], X


def _inverse_covariance(F, V, r):
    S, B = V((6, 6), symmetric=True), r.normal(size=(6, 18))
    return "max", F.log_det(S) - F.trace(S @ (B @ B.T / 18)) - 0.1 * F.sum(F.abs(S)), [], S


def _huber(F, V, r):
    x, M = V(5), r.normal(size=(40, 5))
    return "min", F.sum(F.huber(M @ x - 3 * r.normal(size=40))), [], x


def _entropy(F, V, r):
    x, M = V(30), r.normal(size=(3, 30))
    ent = F.entropy(x) if F is fh else cp.entr(x)
    return "max", F.sum(ent), [M @ x <= M @ r.dirichlet(np.ones(30)) + 0.1, F.sum(x) == 1], x


def _logistic(F, V, r):
    w, M = V(4), r.normal(size=(30, 4))
    y = np.sign(M @ r.normal(size=4) + 0.3 * r.normal(size=30))
    return "min", F.sum(F.logistic(mul(F, -y, M @ w))) + 0.1 * F.norm(w, 1), [], w


TIGHT_FORMS = {"log_det": _log_det, "inverse covariance": _inverse_covariance, "huber": _huber, "entropy": _entropy,
               "logistic": _logistic}


def _rows(A, b):
    """Each row as its right-hand side and its sorted values, up to sign
    (an equality's sign is free): the rows of two problems whose columns
    are ordered apart."""
    R = A.tocsr()
    return [(round(abs(float(b[i])), 9), tuple(np.round(np.sort(np.abs(R.data[R.indptr[i]:R.indptr[i + 1]])), 9)))
            for i in range(R.shape[0])]


@pytest.mark.parametrize("name", list(TIGHT_FORMS))
def test_tight_forms_hand_clarabel_cvxpys_problem_size(name):
    """The model against CVXPY's (objective, primal), and the flat problem
    of CVXPY's size (rows, columns, entries of A and of P) with its rows in
    CVXPY's order: equalities first, the objective's rows as it states
    them."""
    m = fh.Model()
    sense, obj, cons, v = TIGHT_FORMS[name](fh, m.variable, np.random.default_rng(len(name)))
    m.add(*cons)
    (m.minimize if sense == "min" else m.maximize)(obj)
    val = m.solve(**TIGHT)
    _, Am, bm, _ = m.flat_problem()
    size = (Am.shape, Am.nnz, m.quadratic_term().nnz)
    sense, obj, cons, vc = TIGHT_FORMS[name](cp, cp.Variable, np.random.default_rng(len(name)))
    prob = cp.Problem((cp.Minimize if sense == "min" else cp.Maximize)(obj), cons)
    np.testing.assert_allclose(val, prob.solve(solver=cp.CLARABEL, **TIGHT), rtol=1e-7, atol=1e-7)
    # log det and logistic are flat near their optima: the solutions agree to the square root of the tolerances
    tol = 2e-4 if v.ndim == 2 or name == "logistic" else 1e-5
    np.testing.assert_allclose(v.value, vc.value, rtol=tol, atol=tol)
    data = prob.get_problem_data(cp.CLARABEL)[0]
    assert size == (data["A"].shape, data["A"].nnz, data["P"].nnz if "P" in data else 0)
    assert _rows(Am, bm) == _rows(data["A"], data["b"])
