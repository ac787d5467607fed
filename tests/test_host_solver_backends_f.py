"""The ECOS and SCIP backends called directly on the flat problem of a model:
ECOS against CVXPY + ECOS (value, primal) and Clarabel on the same problem
(duals and certificates in its signs); SCIP's mixed-integer models against
brute force over the integer points and CVXPY + SCIP."""
import itertools

import numpy as np
import pytest
import scipy.sparse as sp

import fragments_host as fh
from fragments_host import solver_ecos, solver_scip
from fragments_host.solver_base import Problem, cone_rows

cp = pytest.importorskip("cvxpy")
clarabel = pytest.importorskip("clarabel")
pytest.importorskip("ecos")
pytest.importorskip("pyscipopt")

RNG = np.random.default_rng(3)
M = RNG.normal(size=(4, 3))
Y = RNG.normal(size=4) * 3
C = np.array([1.0, 2.0, -1.0])


def problem(m, integer=None):
    q, A, b, cones = m.flat_problem()
    P = m.quadratic_term()
    ints = None
    if integer is not None:
        ints = np.zeros(len(q), bool)
        ints[integer] = True
    return Problem(P if P.nnz else None, q, A, b, cones, ints)


def run(mod, p, **given):
    return mod.solve(p, mod.settings(given), None, frozenset(), None)


def clarabel_solve(p):
    make = {"zero": clarabel.ZeroConeT, "nonneg": clarabel.NonnegativeConeT, "soc": clarabel.SecondOrderConeT,
            "exp": lambda _: clarabel.ExponentialConeT()}
    st = clarabel.DefaultSettings()
    st.verbose = False
    n = len(p.q)
    P = p.P if p.P is not None else sp.csc_matrix((n, n))
    return clarabel.DefaultSolver(P, p.q, p.A, p.b, [make[k](d) for k, d in p.cones], st).solve()


# each: (the model in fragments_host, the same in CVXPY); x the variable compared
def socp(lib):
    if lib is fh:
        m = fh.Model()
        x = m.variable(3)
        eq = m.add(fh.sum(x) == 1)
        m.add(x >= -2)
        m.minimize(fh.norm(M @ x - Y) + C @ x)
        return m, x, eq
    x = cp.Variable(3)
    eq = cp.sum(x) == 1
    return cp.Problem(cp.Minimize(cp.norm(M @ x - Y) + C @ x), [eq, x >= -2]), x, eq


def expcone(lib):
    # exponential cones and a second-order cone
    if lib is fh:
        m = fh.Model()
        x = m.variable(3)
        eq = m.add(fh.sum(x) == 1)
        m.add(x <= 2)
        m.minimize(fh.sum(fh.exp(x)) - C @ x + fh.norm(x - 0.5))
        return m, x, eq
    x = cp.Variable(3)
    eq = cp.sum(x) == 1
    return cp.Problem(cp.Minimize(cp.sum(cp.exp(x)) - C @ x + cp.norm(x - 0.5)), [eq, x <= 2]), x, eq


@pytest.mark.parametrize("build", [socp, expcone])
def test_ecos_against_cvxpy_and_clarabel(build):
    m, x, eq = build(fh)
    p = problem(m)
    r = run(solver_ecos, p)
    assert r.status == "optimal" and not r.reused
    ref, rx, req = build(cp)
    ref.solve(solver="ECOS")
    assert r.obj + m._flat["qfull"][0] == pytest.approx(ref.value, abs=1e-6)
    c = clarabel_solve(p)
    # the flat problem's x, s, z, rows in its order, signs as Clarabel's
    for mine, theirs in ((r.x, c.x), (r.s, c.s), (r.z, c.z)):
        assert np.allclose(mine, np.asarray(theirs), atol=2e-4)
    # the model's variable and dual from ECOS's vectors, as CVXPY + ECOS has
    # them (an equality's dual minus CVXPY's)
    from fragments_host import solution
    solution.store(m, r, primal=True, dual=True)
    assert np.allclose(x.value, rx.value, atol=2e-4)
    assert eq.dual == pytest.approx(-req.dual_value, abs=2e-4)


def infeasible_socp():
    m = fh.Model()
    x = m.variable(2)
    m.add(x >= 1)
    m.add(fh.norm(x) <= 1)
    m.minimize(fh.sum(x))
    return m


def unbounded_socp():
    m = fh.Model()
    x = m.variable(2)
    m.add(x[0] >= 1)
    m.add(fh.norm(x) <= x[0] + x[1] + 3)
    m.minimize(-fh.sum(x))
    return m


def test_ecos_certificates_in_clarabels_signs():
    p = problem(infeasible_socp())
    r = run(solver_ecos, p)
    assert (r.status, r.x) == ("infeasible", None)
    # A'z = 0, b'z < 0, z in the dual cones (nonneg rows >= 0, the cone's first entry its norm's bound)
    assert np.abs(p.A.T @ r.z).max() < 1e-6 and p.b @ r.z == pytest.approx(-1.0)
    assert in_cones(p, r.z)
    p = problem(unbounded_socp())
    r = run(solver_ecos, p)
    assert r.status == "unbounded" and p.q @ r.x == pytest.approx(-1.0)
    assert np.allclose(r.s, -(p.A @ r.x)) and in_cones(p, r.s)


def in_cones(p, v, tol=1e-7):
    """v in the product of the problem's nonnegative and second-order cones
    (both self-dual)."""
    ok = True
    for kind, f, k, _ in cone_rows(p.cones):
        part = v[f:f + k]
        ok &= part.min() >= -tol if kind == "nonneg" else part[0] >= np.linalg.norm(part[1:]) - tol
    return bool(ok)


def box_points(lo, hi, n):
    return [np.array(v, float) for v in itertools.product(range(lo, hi + 1), repeat=n)]


def mi_norm(lib):
    # min ||M x - Y|| with x integer in [-3, 3]^3 (a mixed-integer SOCP)
    if lib is fh:
        m = fh.Model()
        x = m.variable(3)
        m.add(x >= -3)
        m.add(x <= 3)
        m.minimize(fh.norm(M @ x - Y))
        return m, x
    x = cp.Variable(3, integer=True)
    return cp.Problem(cp.Minimize(cp.norm(M @ x - Y)), [x >= -3, x <= 3]), x


def mi_lp(lib):
    # max C'x s.t. M x <= 2, x integer in [-3, 3]^3
    if lib is fh:
        m = fh.Model()
        x = m.variable(3)
        m.add(M @ x <= 2)
        m.add(x >= -3)
        m.add(x <= 3)
        m.minimize(-C @ x)
        return m, x
    x = cp.Variable(3, integer=True)
    return cp.Problem(cp.Minimize(-C @ x), [M @ x <= 2, x >= -3, x <= 3]), x


def mi_qp(lib):
    # min ||M x - Y||^2 + 4 C'x with x integer in [-3, 3]^3 (the quadratic term through SCIP's epigraph)
    if lib is fh:
        m = fh.Model()
        x = m.variable(3)
        m.add(x >= -3)
        m.add(x <= 3)
        m.minimize(fh.sum_squares(M @ x - Y) + 4 * C @ x)
        return m, x
    x = cp.Variable(3, integer=True)
    return cp.Problem(cp.Minimize(cp.sum_squares(M @ x - Y) + 4 * C @ x), [x >= -3, x <= 3]), x


BRUTE = {
    mi_norm: lambda v: np.linalg.norm(M @ v - Y),
    mi_lp: lambda v: -C @ v if (M @ v <= 2 + 1e-12).all() else np.inf,
    mi_qp: lambda v: np.sum((M @ v - Y) ** 2) + 4 * C @ v,
}


@pytest.mark.parametrize("build", [mi_norm, mi_lp, mi_qp])
def test_scip_mixed_integer_against_brute_force_and_cvxpy(build):
    m, x = build(fh)
    p = problem(m, [0, 1, 2])
    r = run(solver_scip, p)
    assert r.status == "optimal" and r.z is None
    value = r.obj + m._flat["qfull"][0]
    best = min(BRUTE[build](v) for v in box_points(-3, 3, 3))
    assert value == pytest.approx(best, abs=1e-6)
    assert np.abs(r.x[:3] - np.round(r.x[:3])).max() < 1e-6
    assert BRUTE[build](np.round(r.x[:3])) == pytest.approx(best, abs=1e-6)
    assert np.allclose(r.s, p.b - p.A @ r.x)
    ref, _ = build(cp)
    ref.solve(solver="SCIP")
    assert value == pytest.approx(ref.value, abs=1e-6)


def test_infeasible_through_each():
    m = infeasible_socp()
    assert run(solver_ecos, problem(m)).status == "infeasible"
    # no integer point in (0.2, 0.8)^2
    m = fh.Model()
    x = m.variable(2)
    m.add(x >= 0.2)
    m.add(x <= 0.8)
    m.add(fh.norm(x) <= 3)
    m.minimize(fh.sum(x))
    r = run(solver_scip, problem(m, [0, 1]))
    assert (r.status, r.x, r.z) == ("infeasible", None, None)
    # the same continuous: feasible
    assert run(solver_scip, problem(m)).obj == pytest.approx(0.4, abs=1e-6)


@pytest.mark.parametrize("mod, given, message", [
    (solver_ecos, {"max_iter": 5}, "unknown ECOS setting 'max_iter'"),
    (solver_ecos, {"mi_max_iters": 5}, "unknown ECOS setting"),
    (solver_ecos, {"feastol": -1.0}, "positive number"),
    (solver_ecos, {"max_iters": 2.5}, "nonnegative count"),
    (solver_scip, {"limits/tim": 1.0}, "unknown SCIP setting 'limits/tim'"),
    (solver_scip, {"limits/time": "soon"}, "SCIP setting limits/time='soon'"),
])
def test_settings_refused(mod, given, message):
    with pytest.raises(TypeError, match=message):
        mod.settings(given)


@pytest.mark.parametrize("given, raw, status", [
    ({"limits/time": 0.0}, "timelimit", "user_limit"),            # stopped before any solution
    ({"limits/solutions": 1}, "sollimit", "optimal_inaccurate"),  # stopped at a feasible point
    ({"limits/gap": 0.5}, "gaplimit", "optimal_inaccurate"),
])
def test_scip_limits_in_the_package_words(given, raw, status):
    m, _ = mi_norm(fh)
    p = problem(m, [0, 1, 2])
    r = run(solver_scip, p, **given)
    assert (r.raw, r.status) == (raw, status)
    if status == "user_limit":
        assert r.x is None and r.obj is None
    else:
        # a feasible integer point of the box, its value no better than the optimum
        assert r.s[:6].min() >= -1e-9 and np.abs(r.x[:3] - np.round(r.x[:3])).max() < 1e-6
        assert r.obj >= min(BRUTE[mi_norm](v) for v in box_points(-3, 3, 3)) - 1e-9


def test_ecos_iteration_limit():
    r = run(solver_ecos, problem(socp(fh)[0]), max_iters=2)
    assert (r.status, r.raw, r.x) == ("user_limit", "Maximum number of iterations reached", None)
