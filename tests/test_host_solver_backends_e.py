"""The SCS and OSQP backends called on the flat problem directly: SCS's cone
order and triangle layout, both solvers' dual and certificate signs, OSQP's
update path and SCS's warm start on a re-solve, settings refused. CVXPY with
the same solver and Clarabel on the same flat problem are the oracles."""
import numpy as np
import pytest
import scipy.sparse as sp

cp = pytest.importorskip("cvxpy")
clarabel = pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402
from fragments_host import solver_base as sb  # noqa: E402
from fragments_host import solver_osqp, solver_scs  # noqa: E402
from fragments_host.solver import _cones  # noqa: E402

SCS_TIGHT = dict(eps_abs=1e-10, eps_rel=1e-10)
OSQP_TIGHT = dict(eps_abs=1e-9, eps_rel=1e-9, polish=True, max_iter=200000)
SOLVERS = {"SCS": (solver_scs, SCS_TIGHT), "OSQP": (solver_osqp, OSQP_TIGHT)}


def problem(m):
    q, A, b, cones = m.flat_problem()
    return sb.Problem(m.quadratic_term(), q, A, b, cones, None)


def run(name, p, kept=None, changed=(), warm=None, **extra):
    mod, tight = SOLVERS[name]
    return mod.solve(p, mod.settings({**tight, **extra}), kept, set(changed), warm)


def full(P, n):
    if P is None:
        return sp.csc_matrix((n, n))
    return P + P.T - sp.diags(P.diagonal())


def clarabel_solve(p):
    st = clarabel.DefaultSettings()
    st.verbose, st.tol_gap_abs, st.tol_gap_rel, st.tol_feas = False, 1e-10, 1e-10, 1e-10
    P = p.P if p.P is not None else sp.csc_matrix((len(p.q), len(p.q)))
    sol = clarabel.DefaultSolver(P, p.q, p.A, p.b, _cones(clarabel, p.cones), st).solve()
    return np.array(sol.x), sol.obj_val


def mixed_cones():
    # a semidefinite variable, an exp cone, a second semidefinite block, a soc and a power cone:
    # the flat rows interleave the kinds SCS wants grouped
    rng = np.random.default_rng(2)
    G = rng.normal(size=(3, 3))
    C, B = G @ G.T + np.eye(3), (lambda M: M + M.T)(rng.normal(size=(3, 3)))
    m = fh.Model()
    X, t, u, y = m.semidefinite(3, "X"), m.variable(name="t"), m.variable(3, "u"), m.variable(3, "y")
    m.add(fh.exp_cone(u[0], 1.0, t))
    m.add(fh.psd(X + u[1] * np.eye(3) - B))
    m.add(fh.soc(t, y))
    m.add(fh.power_cone(u[1], u[2], y[0], 0.3))
    m.add(y.sum() == 1.0)
    m.minimize(t + (X * C).sum() + u[1] + u[2] - 0.5 * u[0])
    Xc, tc, uc, yc = cp.Variable((3, 3), PSD=True), cp.Variable(), cp.Variable(3), cp.Variable(3)
    cons = [cp.constraints.ExpCone(uc[0], 1.0, tc), Xc + uc[1] * np.eye(3) - B >> 0, cp.SOC(tc, yc),
            cp.constraints.PowCone3D(uc[1], uc[2], yc[0], 0.3), cp.sum(yc) == 1]
    return m, cp.Problem(cp.Minimize(tc + cp.trace(C @ Xc) + uc[1] + uc[2] - 0.5 * uc[0]), cons)


def bounded_qp():
    rng = np.random.default_rng(1)
    A, b, G = rng.normal(size=(8, 4)), rng.normal(size=8), rng.normal(size=(3, 4))
    m = fh.Model()
    x = m.variable(4, "x", lb=-0.3, ub=0.4)
    m.add(G @ x <= 0.2)
    m.add(x.sum() == 0.5)
    m.minimize(fh.sum_squares(A @ x - b) + x[0])
    xc = cp.Variable(4)
    cons = [xc >= -0.3, xc <= 0.4, G @ xc <= 0.2, cp.sum(xc) == 0.5]
    return m, cp.Problem(cp.Minimize(cp.sum_squares(A @ xc - b) + xc[0]), cons)


def lp():
    rng = np.random.default_rng(4)
    c, G = rng.normal(size=5), rng.normal(size=(7, 5))
    h = G @ rng.uniform(0, 1, 5) + 0.5
    m = fh.Model()
    x = m.variable(5, "x", nonneg=True)
    m.add(G @ x <= h)
    m.add(x.sum() == 2.0)
    m.minimize(c @ x)
    xc = cp.Variable(5, nonneg=True)
    return m, cp.Problem(cp.Minimize(c @ xc), [G @ xc <= h, cp.sum(xc) == 2.0])


CVXPY_SETTINGS = {"SCS": SCS_TIGHT, "OSQP": dict(OSQP_TIGHT, polishing=True)}


@pytest.mark.parametrize("name, case", [("SCS", mixed_cones), ("SCS", bounded_qp), ("SCS", lp),
                                        ("OSQP", bounded_qp), ("OSQP", lp)])
def test_solution_in_the_flat_rows_and_signs(name, case):
    m, prob = case()
    p = problem(m)
    r = run(name, p)
    assert r.status == "optimal" and not r.reused
    opts = dict(CVXPY_SETTINGS[name])
    if name == "OSQP":
        opts.pop("polish")
    prob.solve(solver=name, **opts)
    np.testing.assert_allclose(r.obj + m._flat["qfull"][0], prob.value, rtol=1e-6, atol=1e-6)
    x, obj = clarabel_solve(p)
    np.testing.assert_allclose(r.obj, obj, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(r.x, x, atol=2e-5)
    # s and z back in the flat rows with Clarabel's signs: A x + s = b, P x + q + A'z = 0, s'z = 0
    np.testing.assert_allclose(p.A @ r.x + r.s, p.b, atol=1e-6)
    np.testing.assert_allclose(full(p.P, len(p.q)) @ r.x + p.q + p.A.T @ r.z, 0, atol=1e-5)
    assert abs(r.s @ r.z) < 1e-5
    assert np.all(r.z[sb.rows_of(p.cones, ("nonneg",))] >= -1e-7)


@pytest.mark.parametrize("n", [1, 2, 3, 4])
def test_triangle_order_for_scs(n):
    # Clarabel: upper triangle by columns; SCS: lower triangle by columns; both sqrt(2) off the diagonal
    M = (lambda G: G + G.T)(np.random.default_rng(n).normal(size=(n, n)))
    W = np.where(np.eye(n, dtype=bool), 1.0, np.sqrt(2)) * M
    upper = np.concatenate([W[:j + 1, j] for j in range(n)])
    lower = np.concatenate([W[j:, j] for j in range(n)])
    np.testing.assert_array_equal(upper[sb.psd_triangle_permutation(n)], lower)


def lp_infeasible():
    m = fh.Model()
    x = m.variable(2)
    m.add(x >= 1.0)
    m.add(x.sum() <= 1.0)
    m.minimize(x.sum())
    return m


def soc_infeasible():
    m = fh.Model()
    x, t = m.variable(2), m.variable()
    m.add(fh.soc(t, x))
    m.add(t <= 1.0)
    m.add(x[0] == 2.0)
    m.minimize(t)
    return m


def lp_unbounded():
    m = fh.Model()
    x = m.variable(2)
    m.add(x[0] >= 0.0)
    m.add(x[1] == 1.0)
    m.minimize(-x[0] + x[1])
    return m


def qp_unbounded():
    m = fh.Model()
    x = m.variable(2)
    m.add(x[0] == 1.0)
    m.add(x[1] >= -3.0)
    m.minimize(fh.sum_squares(x[0:1]) - x[1])
    return m


CERTIFICATE = {"SCS": dict(eps_infeas=1e-9), "OSQP": dict(eps_prim_inf=1e-9, eps_dual_inf=1e-9)}


@pytest.mark.parametrize("name, case, word", [
    ("SCS", lp_infeasible, "infeasible"), ("SCS", soc_infeasible, "infeasible"),
    ("OSQP", lp_infeasible, "infeasible"),
    ("SCS", lp_unbounded, "unbounded"), ("SCS", qp_unbounded, "unbounded"),
    ("OSQP", lp_unbounded, "unbounded"), ("OSQP", qp_unbounded, "unbounded")])
def test_certificates_in_clarabels_signs(name, case, word):
    p = problem(case())
    r = run(name, p, **CERTIFICATE[name])
    assert r.status == word and r.obj is None
    nonneg = sb.rows_of(p.cones, ("nonneg",))
    if word == "infeasible":
        z = r.z / np.abs(r.z).max()
        assert r.x is None
        np.testing.assert_allclose(p.A.T @ z, 0, atol=1e-6)       # A'z = 0, b'z < 0, z >= 0 on nonneg rows
        assert p.b @ z < -1e-3 and np.all(z[nonneg] >= -1e-7)
    else:
        x = r.x / np.abs(r.x).max()
        s = -(p.A @ x)                                              # A x + s = 0, s in the cones, q'x < 0
        np.testing.assert_allclose(r.s / np.abs(r.x).max(), s, atol=1e-9)
        assert p.q @ x < -1e-3 and np.all(s[nonneg] >= -1e-7)
        np.testing.assert_allclose(s[sb.rows_of(p.cones, ("zero",))], 0, atol=1e-7)
        np.testing.assert_allclose(full(p.P, len(p.q)) @ x, 0, atol=1e-6)
