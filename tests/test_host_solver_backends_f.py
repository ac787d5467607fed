"""The ECOS and SCIP backends called directly on a model's flat problem:
ECOS against CVXPY + ECOS and Clarabel on the same problem (duals and
certificates in its signs), SCIP's mixed-integer models against brute force
over the integer points and CVXPY + SCIP."""
import itertools

import numpy as np
import pytest
import scipy.sparse as sp

import fragments_host as fh
from fragments_host import solution, solver_ecos, solver_scip
from fragments_host.solver_base import Problem, cone_rows

cp = pytest.importorskip("cvxpy")
clarabel = pytest.importorskip("clarabel")
pytest.importorskip("ecos")
pytest.importorskip("pyscipopt")

RNG = np.random.default_rng(3)
M, Y, C = RNG.normal(size=(4, 3)), RNG.normal(size=4) * 3, np.array([1.0, 2.0, -1.0])
BOX = [np.array(v, float) for v in itertools.product(range(-3, 4), repeat=3)]
# each model: lib -> x -> (objective, constraints), stated alike in fragments_host and CVXPY
SOCP = lambda L, x: (L.norm(M @ x - Y) + C @ x, [L.sum(x) == 1, x >= -2])            # noqa: E731
EXPC = lambda L, x: (L.sum(L.exp(x)) - C @ x + L.norm(x - 0.5), [L.sum(x) == 1, x <= 2])  # noqa: E731
MI = {  # integer x in [-3, 3]^3: (the model, its value at an integer point, inf where infeasible)
    "socp": (lambda L, x: (L.norm(M @ x - Y), [x >= -3, x <= 3]), lambda v: np.linalg.norm(M @ v - Y)),
    "lp": (lambda L, x: (-C @ x, [M @ x <= 2, x >= -3, x <= 3]),
           lambda v: -C @ v if (M @ v <= 2 + 1e-12).all() else np.inf),
    "qp": (lambda L, x: (L.sum_squares(M @ x - Y) + 4 * C @ x, [x >= -3, x <= 3]),
           lambda v: np.sum((M @ v - Y) ** 2) + 4 * C @ v),
}
INFEASIBLE = lambda L, x: (L.sum(x), [x >= 1, L.norm(x) <= 1])                        # noqa: E731
UNBOUNDED = lambda L, x: (-L.sum(x), [x[0] >= 1, L.norm(x) <= x[0] + x[1] + 3])         # noqa: E731


def build(model, n=3, integer=False):
    """(fragments_host model, its variable, constraints, flat problem), (CVXPY problem, variable, constraints)."""
    m = fh.Model()
    x = m.variable(n)
    obj, cons = model(fh, x)
    cons = [m.add(c) for c in cons]
    m.minimize(obj)
    q, A, b, cones = m.flat_problem()
    P = m.quadratic_term()
    ints = np.arange(len(q)) < n if integer else None
    p = Problem(P if P.nnz else None, q, A, b, cones, ints)
    y = cp.Variable(n, integer=integer)
    obj, rcons = model(cp, y)
    return (m, x, cons, p), (cp.Problem(cp.Minimize(obj), rcons), y, rcons)


def run(mod, p, **given):
    return mod.solve(p, mod.settings(given), None, frozenset(), None)


def in_cones(p, v, tol=1e-7):
    """v in the product of the problem's (self-dual) nonnegative and second-order cones."""
    return all(v[f:f + k].min() >= -tol if kind == "nonneg" else v[f] >= np.linalg.norm(v[f + 1:f + k]) - tol
               for kind, f, k, _ in cone_rows(p.cones))


@pytest.mark.parametrize("model", [SOCP, EXPC])
def test_ecos_against_cvxpy_and_clarabel(model):
    (m, x, cons, p), (ref, y, rcons) = build(model)
    r = run(solver_ecos, p)
    ref.solve(solver="ECOS")
    assert r.status == "optimal" and r.obj + m._flat["qfull"][0] == pytest.approx(ref.value, abs=1e-6)
    make = {"zero": clarabel.ZeroConeT, "nonneg": clarabel.NonnegativeConeT, "soc": clarabel.SecondOrderConeT,
            "exp": lambda _: clarabel.ExponentialConeT()}
    st = clarabel.DefaultSettings()
    st.verbose = False
    c = clarabel.DefaultSolver(sp.csc_matrix(p.A.shape[1:] * 2), p.q, p.A, p.b, [make[k](d) for k, d in p.cones],
                               st).solve()
    # x, s, z in the flat problem's row order and Clarabel's signs
    assert all(np.allclose(u, np.asarray(v), atol=2e-4) for u, v in ((r.x, c.x), (r.s, c.s), (r.z, c.z)))
    solution.store(m, r, primal=True, dual=True)
    # the variable as CVXPY + ECOS has it; the equality's dual minus CVXPY's
    assert np.allclose(x.value, y.value, atol=2e-4)
    assert cons[0].dual == pytest.approx(-rcons[0].dual_value, abs=2e-4)


def test_ecos_certificates_in_clarabels_signs():
    p = build(INFEASIBLE, 2)[0][3]
    r = run(solver_ecos, p)
    assert (r.status, r.x) == ("infeasible", None)
    assert np.abs(p.A.T @ r.z).max() < 1e-6 and p.b @ r.z == pytest.approx(-1.0) and in_cones(p, r.z)
    p = build(UNBOUNDED, 2)[0][3]
    r = run(solver_ecos, p)
    assert r.status == "unbounded" and p.q @ r.x == pytest.approx(-1.0)
    assert np.allclose(r.s, -(p.A @ r.x)) and in_cones(p, r.s)


@pytest.mark.parametrize("kind", MI)
def test_scip_mixed_integer_against_brute_force_and_cvxpy(kind):
    model, value = MI[kind]
    (m, x, _, p), (ref, _, _) = build(model, integer=True)
    r = run(solver_scip, p)
    best = min(map(value, BOX))
    assert r.status == "optimal" and r.z is None and np.allclose(r.s, p.b - p.A @ r.x)
    assert r.obj + m._flat["qfull"][0] == pytest.approx(best, abs=1e-6)
    assert np.abs(r.x[:3] - np.round(r.x[:3])).max() < 1e-6 and value(np.round(r.x[:3])) == pytest.approx(best)
    ref.solve(solver="SCIP")
    assert ref.value == pytest.approx(best, abs=1e-6)


def test_scip_infeasible():
    # no integer point in [0.2, 0.8]^2; the continuous model has them
    model = lambda L, x: (L.sum(x), [x >= 0.2, x <= 0.8, L.norm(x) <= 3])          # noqa: E731
    r = run(solver_scip, build(model, 2, integer=True)[0][3])
    assert (r.status, r.x, r.z) == ("infeasible", None, None)
    assert run(solver_scip, build(model, 2)[0][3]).obj == pytest.approx(0.4, abs=1e-6)


@pytest.mark.parametrize("mod, given, message", [
    (solver_ecos, {"max_iter": 5}, "unknown ECOS setting 'max_iter'"),
    (solver_ecos, {"max_iters": 2.5}, "nonnegative count"),
    (solver_scip, {"limits/tim": 1.0}, "unknown SCIP setting 'limits/tim'"),
    (solver_scip, {"limits/time": "soon"}, "SCIP setting limits/time='soon'"),
])
def test_settings_refused(mod, given, message):
    with pytest.raises(TypeError, match=message):
        mod.settings(given)


@pytest.mark.parametrize("mod, given, raw, status", [
    (solver_scip, {"limits/time": 0.0}, "timelimit", "user_limit"),            # before any solution
    (solver_scip, {"limits/solutions": 1}, "sollimit", "optimal_inaccurate"),  # at a feasible point
    (solver_scip, {"limits/gap": 0.5}, "gaplimit", "optimal_inaccurate"),
    (solver_ecos, {"max_iters": 2}, "Maximum number of iterations reached", "user_limit"),
])
def test_limits_in_the_package_words(mod, given, raw, status):
    p = build(MI["socp"][0], integer=mod is solver_scip)[0][3]
    r = run(mod, p, **given)
    assert (r.raw, r.status) == (raw, status)
    # stopped short: no point; at a feasible integer point: its value no better than the optimum
    assert r.x is None if status == "user_limit" else (
        in_cones(p, r.s) and np.abs(r.x[:3] - np.round(r.x[:3])).max() < 1e-6 and r.obj >= min(map(MI["socp"][1], BOX)) - 1e-9)
