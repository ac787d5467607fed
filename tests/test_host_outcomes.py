"""Solver outcomes, certificates, settings, re-solves and the statements the
package refuses. Infeasible and unbounded models of each cone class are
checked against their certificates on the flat problem and against CVXPY's
status."""
import math

import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")
pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402


def in_cones(s, cones, tol=1e-7):
    """s lies in the product of the (self-dual or dual) cones, as far as the
    tests need it: zero rows are free for a dual vector, so only the cones
    with inequalities are checked."""
    k = 0
    for kind, n in cones:
        size = {"exp": 3, "pow": 3, "psd": None}.get(kind, n)
        if kind == "psd":
            size = n * (n + 1) // 2
        part = s[k:k + size]
        if kind == "nonneg":
            assert np.all(part >= -tol)
        elif kind == "soc":
            assert part[0] >= np.linalg.norm(part[1:]) - tol
        k += size
    assert k == len(s)


# (cone class, infeasible model, unbounded model): each builds (fh model, cvxpy problem)
def lp_infeasible():
    m = fh.Model()
    x = m.variable(2)
    m.add(x >= 1.0)
    m.add(x.sum() <= 1.0)
    m.minimize(x.sum())
    xc = cp.Variable(2)
    return m, cp.Problem(cp.Minimize(cp.sum(xc)), [xc >= 1, cp.sum(xc) <= 1])


def lp_unbounded():
    m = fh.Model()
    x = m.variable(2)
    m.add(x[0] >= 1.0)
    m.maximize(x.sum())
    xc = cp.Variable(2)
    return m, cp.Problem(cp.Maximize(cp.sum(xc)), [xc[0] >= 1])


def soc_infeasible():
    m = fh.Model()
    x, t = m.variable(2), m.variable()
    m.add(fh.soc(t, x))
    m.add(t <= 1.0)
    m.add(x[0] >= 2.0)
    m.minimize(t)
    xc, tc = cp.Variable(2), cp.Variable()
    return m, cp.Problem(cp.Minimize(tc), [cp.SOC(tc, xc), tc <= 1, xc[0] >= 2])


def soc_unbounded():
    m = fh.Model()
    x, t = m.variable(2), m.variable()
    m.add(fh.soc(t, x))
    m.minimize(x[0] - x[1])
    xc, tc = cp.Variable(2), cp.Variable()
    return m, cp.Problem(cp.Minimize(xc[0] - xc[1]), [cp.SOC(tc, xc)])


def psd_infeasible():
    m = fh.Model()
    X = m.variable((2, 2))
    m.add(X >> 0)
    m.add(X[0, 0] + X[1, 1] == -1.0)
    m.minimize(X[0, 1])
    Xc = cp.Variable((2, 2), symmetric=True)
    return m, cp.Problem(cp.Minimize(Xc[0, 1]), [Xc >> 0, cp.trace(Xc) == -1])


def psd_unbounded():
    m = fh.Model()
    X = m.variable((2, 2))
    m.add(X >> 0)
    m.maximize(X[0, 0])
    Xc = cp.Variable((2, 2), symmetric=True)
    return m, cp.Problem(cp.Maximize(Xc[0, 0]), [Xc >> 0])


def exp_infeasible():
    m = fh.Model()
    x, y, z = m.variable(), m.variable(), m.variable()
    m.add(fh.exp_cone(x, y, z))
    m.add(x >= 1.0)
    m.add(y == 1.0)
    m.add(z <= 1.0)
    m.minimize(z)
    xc, yc, zc = cp.Variable(), cp.Variable(), cp.Variable()
    return m, cp.Problem(cp.Minimize(zc), [cp.constraints.ExpCone(xc, yc, zc), xc >= 1, yc == 1, zc <= 1])


def exp_unbounded():
    m = fh.Model()
    x, y, z = m.variable(), m.variable(), m.variable()
    m.add(fh.exp_cone(x, y, z))
    m.add(y == 1.0)
    m.minimize(x)
    xc, yc, zc = cp.Variable(), cp.Variable(), cp.Variable()
    return m, cp.Problem(cp.Minimize(xc), [cp.constraints.ExpCone(xc, yc, zc), yc == 1])


def pow_infeasible():
    m = fh.Model()
    x, y, z = m.variable(), m.variable(), m.variable()
    m.add(fh.power_cone(x, y, z, 0.4))
    m.add(x + y <= 1.0)
    m.add(z >= 2.0)
    m.minimize(x)
    xc, yc, zc = cp.Variable(), cp.Variable(), cp.Variable()
    return m, cp.Problem(cp.Minimize(xc), [cp.constraints.PowCone3D(xc, yc, zc, 0.4), xc + yc <= 1, zc >= 2])


def pow_unbounded():
    m = fh.Model()
    x, y, z = m.variable(), m.variable(), m.variable()
    m.add(fh.power_cone(x, y, z, 0.4))
    m.maximize(z)
    xc, yc, zc = cp.Variable(), cp.Variable(), cp.Variable()
    return m, cp.Problem(cp.Maximize(zc), [cp.constraints.PowCone3D(xc, yc, zc, 0.4)])


def qp_unbounded():
    m = fh.Model()
    x = m.variable(2)
    m.add(x[0] == 1.0)
    m.minimize(fh.sum_squares(x[0:1]) - x[1])
    xc = cp.Variable(2)
    return m, cp.Problem(cp.Minimize(cp.sum_squares(xc[0:1]) - xc[1]), [xc[0] == 1])


INFEASIBLE = [lp_infeasible, soc_infeasible, psd_infeasible, exp_infeasible, pow_infeasible]
UNBOUNDED = [lp_unbounded, soc_unbounded, psd_unbounded, exp_unbounded, pow_unbounded, qp_unbounded]


@pytest.mark.parametrize("sense", ["minimize", "maximize"])
@pytest.mark.parametrize("case", INFEASIBLE, ids=lambda f: f.__name__)
def test_infeasible_gives_a_farkas_certificate(case, sense):
    m, prob = case()
    if sense == "maximize":
        # the same rows, the objective's negative maximised: valued -inf
        m.maximize(-m.objective)
        prob = cp.Problem(cp.Maximize(-prob.objective.args[0]), prob.constraints)
    val = m.solve()
    prob.solve(solver=cp.CLARABEL)
    assert m.status == prob.status == "infeasible"
    assert val == (math.inf if m.sense == "minimize" else -math.inf) == m.value
    q, A, b, cones = m.flat_problem()
    y = m.solver_output.z
    scale = np.abs(y).max()
    assert scale > 0
    np.testing.assert_allclose(A.T @ y / scale, 0, atol=1e-6)          # A'y = 0
    assert b @ y / scale < -1e-6                                       # b'y < 0
    in_cones(y, cones)
    # the certificate is mapped back onto the constraints like any dual
    duals = [c.dual for c in m.constraints]
    assert all(d is not None for d in duals)
    assert any(np.any(np.abs(d) > 1e-6 * scale) for d in duals)
    assert all(v.value is None for v in m.variables)


@pytest.mark.parametrize("case", UNBOUNDED, ids=lambda f: f.__name__)
def test_unbounded_gives_an_improving_ray(case):
    m, prob = case()
    val = m.solve()
    prob.solve(solver=cp.CLARABEL)
    assert m.status == prob.status == "unbounded"
    assert val == (-math.inf if m.sense == "minimize" else math.inf)
    q, A, b, cones = m.flat_problem()
    x = m.solver_output.x
    scale = np.abs(x).max()
    np.testing.assert_allclose(m.quadratic_term() @ x / scale, 0, atol=1e-6)   # no curvature along the ray
    assert q @ x / scale < -1e-6                                               # improves the objective
    s = -(A @ x) / scale                                                       # A x + s = 0, s in the cones
    k = 0
    for kind, n in cones:
        size = 3 if kind in ("exp", "pow") else (n * (n + 1) // 2 if kind == "psd" else n)
        if kind == "zero":
            np.testing.assert_allclose(s[k:k + size], 0, atol=1e-6)
        k += size
    in_cones(s, cones, tol=1e-6)
    # the variables hold the ray; duals are not defined
    ray = np.concatenate([np.ravel(v.value) for v in m.variables])
    assert np.abs(ray).max() > 0
    assert all(c.dual is None for c in m.constraints)
    # nor are the values of expressions: a constant has no place on a ray
    assert all((2.0 * v + 1.0).value is None for v in m.variables)


def test_values_and_statuses_before_and_after_solves():
    m = fh.Model()
    x = m.variable(3, "x", lb=0.0)
    c = m.add(x.sum() >= 1.0)
    e = 2 * x - 1
    assert (m.status, m.value, x.value, e.value, c.dual, x.dual, m.solver_stats) == (None,) * 7
    m.minimize(x @ np.array([1.0, 2.0, 3.0]))
    assert m.solve() == pytest.approx(1.0)
    assert m.status == "optimal"
    np.testing.assert_allclose(e.value, 2 * x.value - 1)
    np.testing.assert_allclose(x[-1].value, x.value[-1])
    st = m.solver_stats
    assert st.status == "Solved" and st.iterations > 0 and st.solve_time >= 0 and st.setup_time >= 0
    # the iteration limit stops the solver: a status, no values, and raising on request
    assert m.solve(max_iter=1) is None
    assert m.status == "user_limit" and x.value is None and e.value is None and c.dual is None
    with pytest.raises(fh.SolverError, match="MaxIterations"):
        m.solve(max_iter=1, raise_on_failure=True)
    with pytest.raises(TypeError, match="tol_nothing"):
        m.solve(tol_nothing=1.0)
    # no objective, or a constant one: a feasibility problem
    f = fh.Model()
    y = f.variable(2)
    f.add(y >= 1.0)
    assert f.solve() == 0.0 and f.status == "optimal" and np.all(y.value >= 1 - 1e-7)
    f.minimize(0)
    assert f.solve() == 0.0


# Clarabel's status words and the model's, as the README states them
WORDS = {"Solved": "optimal", "AlmostSolved": "optimal_inaccurate", "PrimalInfeasible": "infeasible",
         "AlmostPrimalInfeasible": "infeasible_inaccurate", "DualInfeasible": "unbounded",
         "AlmostDualInfeasible": "unbounded_inaccurate", "MaxIterations": "user_limit", "MaxTime": "user_limit",
         "CallbackTerminated": "user_limit", "NumericalError": "solver_error", "InsufficientProgress": "solver_error",
         "Unsolved": "solver_error"}


@pytest.mark.parametrize("sense", ["minimize", "maximize"])
@pytest.mark.parametrize("word", sorted(WORDS))
def test_every_status_word(word, sense, monkeypatch):
    """Each of Clarabel's status words, put on a real solve's solution,
    gives the model's status, its value (the objective, an infinity of the
    sense's sign, or None) and the parts of the solution it keeps: values
    of a solution, the certificate of an infeasibility, the ray of an
    unboundedness (variables only), nothing after a failure."""
    import types
    import clarabel
    assert set(WORDS) == {w for w in dir(clarabel.SolverStatus) if not w.startswith("_")}
    real = clarabel.DefaultSolver

    class Reporting:
        def __init__(self, *args):
            self._solver = real(*args)

        def __getattr__(self, name):
            return getattr(self._solver, name)

        def solve(self):
            sol = self._solver.solve()
            return types.SimpleNamespace(status=word, **{k: getattr(sol, k) for k in (
                "x", "s", "z", "obj_val", "solve_time", "iterations")})

    m = fh.Model()
    x = m.variable(2, "x", lb=-1.0, ub=1.0)
    c = m.add(x.sum() <= 0.5)
    e = 2.0 * x + 1.0
    sign = 1.0 if sense == "minimize" else -1.0
    getattr(m, sense)(x @ np.array([1.0, -2.0]) + 3.0)
    optimum = m.solve()
    assert m.status == "optimal"
    monkeypatch.setattr(clarabel, "DefaultSolver", Reporting)
    m.add(x[0] >= -1.0)                          # a new setup, reporting `word`
    val = m.solve()
    status = WORDS[word]
    assert (m.status, m.solver_stats.status) == (status, word)
    kept = (x.value is not None, e.value is not None, c.dual is not None)
    if status.startswith("optimal"):
        assert val == pytest.approx(optimum, abs=1e-6) and kept == (True, True, True)
    elif status.startswith("infeasible"):
        assert val == sign * math.inf and kept == (False, False, True)
    elif status.startswith("unbounded"):
        assert val == -sign * math.inf and kept == (True, False, False)
    else:
        assert val is None and kept == (False, False, False)
    if status.startswith("optimal"):
        assert m.solve(raise_on_failure=True) == pytest.approx(optimum, abs=1e-6)
    else:
        with pytest.raises(fh.SolverError, match=word):
            m.solve(raise_on_failure=True)


def test_settings_reach_the_solver():
    m = fh.Model()
    x = m.variable(4)
    m.add(fh.soc(1.0, x - np.arange(4.0)))
    m.minimize(x.sum())
    m.solve(tol_gap_abs=1e-3, tol_gap_rel=1e-3, tol_feas=1e-3)
    loose = m.solver_stats.iterations
    m.solve(tol_gap_abs=1e-12, tol_gap_rel=1e-12, tol_feas=1e-12)
    assert m.solver_stats.iterations > loose
    assert not m.solver_stats.reused            # other settings: a new solver


@pytest.mark.parametrize("open_rows", [False, True])
def test_resolve_updates_the_solver_and_matches_a_fresh_build(open_rows):
    """A parameter change updates the kept solver's data, unless Clarabel's
    presolve shortened its rows (bound rows at infinity: a sparse bound
    leaves elements unbounded), which allows no update: then a new setup."""
    rng = np.random.default_rng(5)
    A, F = rng.normal(size=(6, 3)), rng.normal(size=(3, 3))

    def build():
        m = fh.Model()
        x, t = m.variable(3, "x", lb=([[1]], [-5.0]) if open_rows else None), m.variable(name="t")
        b, c, g = m.parameter(6, "b"), m.parameter(3, "c"), m.parameter((), "g")
        m.add(fh.soc(t, A @ x - b))
        lim = m.add(F @ x <= g * np.ones(3))
        m.minimize(t + (c * x).sum())
        return m, x, lim, (b, c, g)

    m, x, lim, params = build()
    for k in range(3):
        vals = (rng.normal(size=6), rng.normal(size=3) * 0.1, 0.5 + k)
        for p, v in zip(params, vals):
            p.value = v
        val = m.solve()
        assert m.solver_stats.reused == (k > 0 and not open_rows)
        fresh, xf, limf, pf = build()
        for p, v in zip(pf, vals):
            p.value = v
        np.testing.assert_allclose(val, fresh.solve(), rtol=1e-7, atol=1e-8)
        np.testing.assert_allclose(x.value, xf.value, rtol=1e-6, atol=1e-7)
        np.testing.assert_allclose(lim.dual, limf.dual, rtol=1e-6, atol=1e-7)


def _other_model_variable(m):
    return fh.Model("other").variable(3, "y")


REFUSED = [
    # chained comparisons: the first comparison's truth value is asked for
    (lambda m, x, t: m.add(-t <= x <= t), fh.ModelError, "chained comparison"),
    (lambda m, x, t: bool(x >= 0), fh.ModelError, "truth value"),
    # parts of another model
    (lambda m, x, t: m.add(_other_model_variable(m) >= 0), fh.ModelError, "another model"),
    (lambda m, x, t: m.minimize(_other_model_variable(m).sum()), fh.ModelError, "another model"),
    (lambda m, x, t: x + _other_model_variable(m), fh.ModelError, "another model"),
    (lambda m, x, t: fh.soc(t, _other_model_variable(m)), fh.ModelError, "another model"),
    (lambda m, x, t: fh.Model("other").add(x >= 0), fh.ModelError, "another model"),
    # a cone of a vector t without an axis, shapes that do not fit
    (lambda m, x, t: fh.soc(x, x), fh.ShapeError, r"t of shape \(3,\) is not a scalar"),
    (lambda m, x, t: fh.soc(x[0:2], np.ones((3, 3)), axis=0), fh.ShapeError, "makes 3 cones"),
    (lambda m, x, t: fh.exp_cone(x, x[0:2], 1.0), fh.ShapeError, "exp_cone"),
    (lambda m, x, t: fh.power_cone(x, x, x, 1.5), ValueError, "alpha"),
    (lambda m, x, t: fh.gen_power_cone(x, t, [0.5, 0.6, 0.1]), ValueError, "summing to 1"),
    # an unknown kind, a quadratic of the wrong curvature
    (lambda m, x, t: fh.Constraint("cone", x), fh.ModelError, "unknown constraint kind"),
    (lambda m, x, t: m.maximize(fh.sum_squares(x)), fh.ModelError, "concave"),
    (lambda m, x, t: fh.sum_squares(x) >= 1, fh.ModelError, "must be concave or affine; sum_squares"),
    (lambda m, x, t: fh.quad_form(x, np.diag([1.0, -1.0, 1.0])), fh.ModelError, "indefinite"),
    (lambda m, x, t: x * x, fh.ModelError, "not affine"),
    (lambda m, x, t: m.minimize(x), fh.ShapeError, "scalar"),
]


@pytest.mark.parametrize("state, error, match", REFUSED)
def test_statements_that_cannot_mean_what_they_say_are_refused(state, error, match):
    m = fh.Model()
    x, t = m.variable(3, "x"), m.variable(name="t")
    with pytest.raises(error, match=match):
        state(m, x, t)
    assert m.constraints == () and m.objective is None


OPS = {"<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b, "==": lambda a, b: a == b,
       ">>": lambda a, b: a >> b, "<<": lambda a, b: a << b}
FLIP = {"<=": ">=", ">=": "<=", "==": "==", ">>": "<<", "<<": ">>"}


@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize("swap", [False, True])
def test_a_constant_on_either_side(op, swap):
    rng = np.random.default_rng(1)
    C = (lambda B: B @ B.T)(rng.normal(size=(3, 3)))
    m = fh.Model()
    X = m.variable((3, 3), "X")
    m.add(OPS[op](C, X) if swap else OPS[op](X, C))
    m.add(X.sum() <= 50, X.sum() >= -50)
    m.minimize((X * np.eye(3)).sum() + 0.1 * X.sum())
    val = m.solve(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    # CVXPY with the variable on the left: C op X is X flip(op) C
    Xc = cp.Variable((3, 3), symmetric=op in (">>", "<<"))
    cons = [OPS[FLIP[op] if swap else op](Xc, C), cp.sum(Xc) <= 50, cp.sum(Xc) >= -50]
    prob = cp.Problem(cp.Minimize(cp.trace(Xc) + 0.1 * cp.sum(Xc)), cons)
    prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    assert m.status == prob.status                 # X << C lets X run off: unbounded both ways
    np.testing.assert_allclose(val, prob.value, rtol=1e-6, atol=1e-6)
