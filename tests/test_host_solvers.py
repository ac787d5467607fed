"""Every solver against CVXPY solving the same model with the same solver:
a table of models (one per class of problem) by the solver names, each pair
run where the solver takes the model's class and is installed. A backend
joins by adding its name to SOLVERS (and its tolerances to SETTINGS)."""
import itertools

import numpy as np
import pytest

import fragments_host as fh
from fragments_host import solver as dispatch

cp = pytest.importorskip("cvxpy")

SOLVERS = ["CLARABEL", "HIGHS", "SCS", "OSQP", "ECOS", "SCIP"]
# the same settings handed to the host's solve and to CVXPY's
SETTINGS = {"CLARABEL": dict(tol_gap_abs=1e-9, tol_gap_rel=1e-9, tol_feas=1e-9), "HIGHS": {},
            "SCS": dict(eps_abs=1e-9, eps_rel=1e-9, max_iters=200000),
            "OSQP": dict(eps_abs=1e-9, eps_rel=1e-9, max_iter=200000, polish=True),
            "ECOS": dict(abstol=1e-9, reltol=1e-9, feastol=1e-9), "SCIP": {}}
RTOL = {"CLARABEL": 1e-5, "HIGHS": 1e-6, "SCS": 1e-4, "OSQP": 1e-5, "ECOS": 1e-5, "SCIP": 1e-4}

rng = np.random.default_rng(31)
A3, b3, c3, a3 = rng.normal(size=(4, 3)), rng.uniform(1, 2, 4), rng.normal(size=3), rng.normal(size=3)
C2 = np.array([[2.0, 0.5], [0.5, 1.0]])


# each model: (cone kinds, quadratic, build(F)) with F = fh or cp; build gives
# (model or problem, the variable, the linear constraint whose dual is compared)
def lp(F):
    if F is fh:
        m = fh.Model(); x = m.variable(3, lb=0.0)
        one = m.add(x.sum() == 1.0); m.add(A3 @ x <= b3); m.minimize(c3 @ x)
        return m, x, one
    x = cp.Variable(3, nonneg=True)
    one = x.sum() == 1.0
    return cp.Problem(cp.Minimize(c3 @ x), [one, A3 @ x <= b3]), x, one


def qp(F):
    if F is fh:
        m = fh.Model(); x = m.variable(3)
        lin = m.add(A3 @ x <= b3 - 1.5); m.minimize(fh.sum_squares(x - a3) + c3 @ x)
        return m, x, lin
    x = cp.Variable(3)
    lin = A3 @ x <= b3 - 1.5
    return cp.Problem(cp.Minimize(cp.sum_squares(x - a3) + c3 @ x), [lin]), x, lin


def socp(F):
    if F is fh:
        m = fh.Model(); x = m.variable(3)
        m.add(fh.soc(1.0, x - a3)); lin = m.add(x.sum() >= 0.5); m.minimize(c3 @ x)
        return m, x, lin
    x = cp.Variable(3)
    lin = x.sum() >= 0.5
    return cp.Problem(cp.Minimize(c3 @ x), [cp.SOC(cp.Constant(1.0), x - a3), lin]), x, lin


def expc(F):
    if F is fh:
        m = fh.Model(); x = m.variable(3)
        lin = m.add(np.arange(1.0, 4.0) @ x <= 3.0); m.maximize(fh.sum(fh.log(x)))
        return m, x, lin
    x = cp.Variable(3)
    lin = np.arange(1.0, 4.0) @ x <= 3.0
    return cp.Problem(cp.Maximize(cp.sum(cp.log(x))), [lin]), x, lin


def powc(F):
    if F is fh:
        m = fh.Model(); x = m.variable(3)
        m.add(fh.power_cone(x[0], x[1], x[2], 0.3)); lin = m.add(x[0] + 2 * x[1] <= 2.0); m.maximize(x[2])
        return m, x, lin
    x = cp.Variable(3)
    lin = x[0] + 2 * x[1] <= 2.0
    return cp.Problem(cp.Maximize(x[2]), [cp.PowCone3D(x[0], x[1], x[2], 0.3), lin]), x, lin


def sdp(F):
    if F is fh:
        m = fh.Model(); X = m.variable((2, 2), PSD=True)
        tr = m.add(fh.trace(X) == 1.0); m.minimize(fh.trace(C2 @ X))
        return m, X, tr
    X = cp.Variable((2, 2), PSD=True)
    tr = cp.trace(X) == 1.0
    return cp.Problem(cp.Minimize(cp.trace(C2 @ X)), [tr]), X, tr


MODELS = {"lp": ({"zero", "nonneg"}, False, lp), "qp": ({"nonneg"}, True, qp), "socp": ({"soc", "nonneg"}, False, socp),
          "exp": ({"exp", "nonneg"}, False, expc), "pow": ({"pow", "nonneg"}, False, powc),
          "sdp": ({"psd", "zero"}, False, sdp)}


def _installed(name):
    mod = dispatch.backend(name)
    if mod is None or not mod.available():
        pytest.skip(f"{name} is not installed")
    return mod


@pytest.mark.parametrize("name", SOLVERS)
@pytest.mark.parametrize("model", sorted(MODELS))
def test_each_solver_against_cvxpy_with_the_same_solver(model, name):
    mod = _installed(name)
    kinds, quadratic, build = MODELS[model]
    m, x, con = build(fh)
    if not kinds <= mod.CONES or (quadratic and not mod.QUADRATIC):
        # refused before solving, naming what it lacks
        with pytest.raises(fh.SolverError, match=f"{name} cannot take this problem"):
            m.solve(solver=name)
        return
    p, y, cy = build(cp)
    want = p.solve(solver=name, **SETTINGS[name])
    got = m.solve(solver=name.lower(), **SETTINGS[name])
    assert m.status == "optimal" and m.solver_stats.solver_name == name
    rtol = RTOL[name]
    np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol)
    np.testing.assert_allclose(x.value, y.value, rtol=10 * rtol, atol=10 * rtol)
    if name == "SCIP":
        # SCIP's row duals are not reliable where its rows became bounds: none given
        assert con.dual is None
        return
    # the package's equality duals are the negation of CVXPY's
    sign = -1.0 if isinstance(cy, (cp.constraints.Zero, cp.constraints.Equality)) else 1.0
    np.testing.assert_allclose(con.dual, sign * cy.dual_value, rtol=10 * rtol, atol=10 * rtol)


# -- mixed-integer models
W, V = np.array([3.0, 4.0, 5.0, 2.0, 6.0]), np.array([4.0, 5.0, 7.0, 2.5, 8.0])


def knapsack(F, boolean):
    """max V'x with W'x <= 11, x boolean (or integers in [0, 1] by index set)."""
    if F is fh:
        m = fh.Model()
        x = m.variable(5, boolean=boolean)
        cap = m.add(W @ x <= 11.0); m.maximize(V @ x)
        return m, x, cap
    x = cp.Variable(5, boolean=True)        # the index set holds every element
    return cp.Problem(cp.Maximize(V @ x), [W @ x <= 11.0]), x, None


def mixed(F):
    """Two integer elements of three, bounded, with a continuous third."""
    G = np.array([[1.0, 2.0, 1.0], [3.0, -1.0, 2.0]])
    h, c = np.array([7.3, 8.6]), np.array([-2.0, -3.0, -1.5])
    if F is fh:
        m = fh.Model()
        x = m.variable(3, integer=[(0,), (2,)], lb=0.0, ub=4.0)
        cap = m.add(G @ x <= h); m.minimize(c @ x)
        return m, x, cap
    # CVXPY 1.9's index sets of a vector fail in its matrix stuffing: the
    # integer elements as a variable of their own
    x, k = cp.Variable(3), cp.Variable(2, integer=True)
    return cp.Problem(cp.Minimize(c @ x), [G @ x <= h, x >= 0, x <= 4, x[[0, 2]] == k]), x, None


@pytest.mark.parametrize("case", ["boolean", "boolean set", "integer set"])
def test_mixed_integer_against_cvxpy_and_brute_force(case):
    _installed("HIGHS")
    if case == "integer set":
        (m, x, cap), (p, y, _) = mixed(fh), mixed(cp)
    else:
        which = True if case == "boolean" else [(k,) for k in range(5)]
        (m, x, cap), (p, y, _) = knapsack(fh, which), knapsack(cp, which)
    want = p.solve(solver="HIGHS")
    got = m.solve()                                   # the default for a mixed-integer LP
    assert m.solver_stats.solver_name == "HIGHS" and m.status == "optimal"
    np.testing.assert_allclose(got, want, rtol=1e-9)
    np.testing.assert_allclose(x.value, y.value, atol=1e-7)
    ints = [0, 2] if case == "integer set" else list(range(5))
    # integer elements exact integers; no duals of a mixed-integer model
    assert np.array_equal(x.value[ints], np.round(x.value[ints]))
    assert cap.dual is None and x.dual is None
    if case != "integer set":
        best = max(V @ np.array(z) for z in itertools.product([0, 1], repeat=5) if W @ np.array(z) <= 11.0)
    else:
        # each integer point, the continuous element the best in its range
        best = np.inf
        for i, k in itertools.product(range(5), repeat=2):
            t = np.linspace(0.0, 4.0, 40001)
            ok = (i + 2 * t + k <= 7.3) & (3 * i - t + 2 * k <= 8.6)
            if ok.any():
                best = min(best, (-2.0 * i - 3.0 * t[ok] - 1.5 * k).min())
    np.testing.assert_allclose(got, best, atol=1e-3)


def test_highs_resolve_changes_costs_bounds_and_hessian_in_place():
    _installed("HIGHS")

    def build():
        m = fh.Model(); x = m.variable(3, lb=0.0); c, r = m.parameter(3), m.parameter(4)
        w = m.parameter(nonneg=True)
        m.add(x.sum() == 1.0); m.add(A3 @ x <= r); m.minimize(c @ x + w * fh.sum_squares(x))
        return m, x, (c, r, w)

    m, x, ps = build()
    for k in range(4):
        values = (c3 + k * np.array([1.0, -1.0, 0.5]), b3 + 0.3 * k, 0.5 + k % 2)
        for p, v in zip(ps, values):
            p.value = v
        val = m.solve(solver="HIGHS")
        assert m.solver_stats.reused == (k > 0)
        f, xf, pf = build()
        for p, v in zip(pf, values):
            p.value = v
        np.testing.assert_allclose(val, f.solve(solver="HIGHS"), rtol=1e-9)
        np.testing.assert_allclose(x.value, xf.value, atol=1e-8)


def _infeasible(m):
    x = m.variable(2)
    m.add(x.sum() >= 2.0); m.add(x <= 0.5)
    m.minimize(x[0])


@pytest.mark.parametrize("name", ["HIGHS"])
def test_infeasible_and_unbounded_certificates(name):
    _installed(name)
    m = fh.Model(); _infeasible(m)
    m.solve(solver=name)
    q, A, b, cones = m.flat_problem()
    z = m.solver_output.z
    assert m.status == "infeasible" and np.allclose(A.T @ z, 0, atol=1e-9) and b @ z < 0 and (z >= -1e-9).all()
    m = fh.Model(); x = m.variable(2); m.add(x[0] + x[1] <= 1.0); m.add(x[0] == x[1]); m.minimize(x.sum())
    m.solve(solver=name)
    q, A, b, cones = m.flat_problem()
    r = m.solver_output.x
    assert m.status == "unbounded" and q @ r < 0 and np.allclose((A @ r)[:1], 0) and (A @ r)[1] <= 1e-9


def _mi(m):
    x = m.variable(2, integer=True)
    m.add(x.sum() <= 2.5)
    return x


@pytest.mark.parametrize("state, name, error, match", [
    (lambda m: m.minimize(_mi(m).sum()), "clarabel", fh.SolverError, "CLARABEL cannot take.*integer variables"),
    (lambda m: m.maximize(fh.sum(fh.log(m.variable(2)))), "HIGHS", fh.SolverError, "HIGHS cannot take.*kind exp"),
    (lambda m: m.minimize(fh.sum_squares(_mi(m) - 0.3)), "HIGHS", fh.SolverError, "mixed-integer QP"),
    (lambda m: m.minimize(m.variable(2).sum()), "nope", ValueError, "unknown solver 'nope'.*CLARABEL.*HIGHS"),
])
def test_refusals_before_solving(state, name, error, match):
    _installed("HIGHS")
    m = fh.Model()
    state(m)
    with pytest.raises(error, match=match):
        m.solve(solver=name)
    assert m.status is None


@pytest.mark.parametrize("name, setting", [("HIGHS", {"foo": 1}), ("CLARABEL", {"mip_rel_gap": 0.1})])
def test_unknown_settings_named(name, setting):
    _installed(name)
    m = fh.Model(); x = m.variable(2, lb=0.0); m.minimize(x.sum())
    with pytest.raises(TypeError, match=f"unknown {name.title() if name == 'CLARABEL' else name} setting"):
        m.solve(solver=name, **setting)


@pytest.mark.parametrize("kwargs, match", [
    (dict(boolean=True, ub=2.0), "boolean"), (dict(boolean=True, nonpos=True), "boolean"),
    (dict(integer=True, symmetric=True), "symmetric"), (dict(integer=[(5,)]), "out of range"),
])
def test_integer_declarations_refused(kwargs, match):
    m = fh.Model()
    with pytest.raises((fh.ModelError, IndexError), match=match):
        m.variable(3 if "symmetric" not in kwargs else (2, 2), **kwargs)
    assert m.nvars == 0
