"""The SCS and OSQP backends called on the flat problem directly: SCS's cone
order and triangle layout, both solvers' dual and certificate signs, the
update path and warm start of a re-solve, settings refused. CVXPY with the
same solver and Clarabel on the same flat problem are the oracles."""
import numpy as np
import pytest
import scipy.sparse as sp

cp = pytest.importorskip("cvxpy")
clarabel = pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402
from fragments_host import solver_base as sb, solver_osqp, solver_scs  # noqa: E402

SOLVERS = {"SCS": (solver_scs, dict(eps_abs=1e-10, eps_rel=1e-10, eps_infeas=1e-9)),
           "OSQP": (solver_osqp, dict(eps_abs=1e-9, eps_rel=1e-9, polish=True, max_iter=200000,
                                      eps_prim_inf=1e-9, eps_dual_inf=1e-9))}


def problem(m):
    q, A, b, cones = m.flat_problem()
    return sb.Problem(m.quadratic_term(), q, A, b, cones, None)


def run(name, p, kept=None, changed=(), warm=None):
    mod, tight = SOLVERS[name]
    return mod.solve(p, mod.settings(tight), kept, set(changed), warm)


CLARABEL_CONES = {"zero": clarabel.ZeroConeT, "soc": clarabel.SecondOrderConeT, "psd": clarabel.PSDTriangleConeT,
                  "exp": lambda _: clarabel.ExponentialConeT(), "pow": clarabel.PowerConeT}


def full(P, n):
    return sp.csc_matrix((n, n)) if P is None else P + P.T - sp.diags(P.diagonal())


def test_scs_regroups_the_cones_and_hands_back_the_flat_rows():
    # a semidefinite variable, an exp cone, a second semidefinite block, a soc and a power cone:
    # the flat rows interleave the kinds SCS takes grouped, its triangles by lower columns
    rng = np.random.default_rng(2)
    G, H = rng.normal(size=(3, 3)), rng.normal(size=(3, 3))
    C, B = G @ G.T + np.eye(3), H + H.T
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
    prob = cp.Problem(cp.Minimize(tc + cp.trace(C @ Xc) + uc[1] + uc[2] - 0.5 * uc[0]), cons)
    p = problem(m)
    assert [k for k, _ in p.cones] == ["zero", "psd", "exp", "psd", "soc", "pow"]
    r = run("SCS", p)
    assert r.status == "optimal"
    np.testing.assert_allclose(r.obj, prob.solve(solver="SCS", **SOLVERS["SCS"][1]), rtol=1e-6)
    st = clarabel.DefaultSettings()
    st.verbose, st.tol_gap_abs, st.tol_gap_rel, st.tol_feas = False, 1e-10, 1e-10, 1e-10
    sol = clarabel.DefaultSolver(full(None, len(p.q)), p.q, p.A, p.b, [CLARABEL_CONES[k](n) for k, n in p.cones], st).solve()
    np.testing.assert_allclose(r.obj, sol.obj_val, rtol=1e-6)
    np.testing.assert_allclose(r.x, sol.x, atol=2e-5)
    # s and z in the flat rows, Clarabel's signs: A x + s = b, q + A'z = 0, s'z = 0
    np.testing.assert_allclose(p.A @ r.x + r.s, p.b, atol=1e-6)
    np.testing.assert_allclose(p.q + p.A.T @ r.z, 0, atol=1e-5)
    assert abs(r.s @ r.z) < 1e-5
    # a warm start takes s and z back into SCS's rows
    cold, warm = run("SCS", p, r.kept), run("SCS", p, r.kept, warm=(r.x, r.s, r.z))
    assert warm.iterations < cold.iterations / 2


def infeasible():
    m = fh.Model()
    x = m.variable(2)
    m.add(x >= 1.0)
    m.add(x.sum() <= 1.0)
    m.minimize(x.sum())
    return m


def unbounded():
    m = fh.Model()
    x = m.variable(2)
    m.add(x[0] == 1.0)
    m.add(x[1] >= -3.0)
    m.minimize(fh.sum_squares(x[0:1]) - x[1])
    return m


@pytest.mark.parametrize("name", ["SCS", "OSQP"])
def test_certificates_in_clarabels_signs(name):
    p = problem(infeasible())
    r = run(name, p)
    z, nonneg = r.z / np.abs(r.z).max(), sb.rows_of(p.cones, ("nonneg",))
    assert r.status == "infeasible" and r.x is None
    np.testing.assert_allclose(p.A.T @ z, 0, atol=1e-6)          # A'z = 0, b'z < 0, z >= 0
    assert p.b @ z < -1e-3 and np.all(z[nonneg] >= -1e-7)
    p = problem(unbounded())
    r = run(name, p)
    x, nonneg = r.x / np.abs(r.x).max(), sb.rows_of(p.cones, ("nonneg",))
    assert r.status == "unbounded" and r.z is None
    s = -(p.A @ x)                                                 # A x + s = 0, s in the cones, q'x < 0
    np.testing.assert_allclose(r.s / np.abs(r.x).max(), s, atol=1e-9)
    assert p.q @ x < -1e-3 and np.all(s[nonneg] >= -1e-7)
    np.testing.assert_allclose(s[sb.rows_of(p.cones, ("zero",))], 0, atol=1e-7)
    np.testing.assert_allclose(full(p.P, len(p.q)) @ x, 0, atol=1e-6)


def parametric_qp():
    rng = np.random.default_rng(3)
    A, F = rng.normal(size=(6, 3)), rng.normal(size=(3, 3))
    m = fh.Model()
    x = m.variable(3, "x")
    b, c, g, w = m.parameter(6, "b"), m.parameter(3, "c"), m.parameter((), "g"), m.parameter((), "w", nonneg=True)
    m.add(F @ x <= 2.0 * np.ones(3))
    m.add(g * x.sum() == 1.0)
    m.minimize(w * fh.sum_squares(A @ x - b) + (c * x).sum())
    return m, (b, c, g, w)


# (b, c) move first, then g (a coefficient of A), then w (the quadratic term's weight):
# OSQP updates all of them in place, SCS only b and q
@pytest.mark.parametrize("name, reused", [("OSQP", [False, True, True, True]), ("SCS", [False, True, False, False])])
def test_resolve_updates_or_sets_up_anew_and_matches_a_fresh_solve(name, reused):
    rng = np.random.default_rng(7)
    m, params = parametric_qp()
    kept = None
    for k in range(4):
        vals = (rng.normal(size=6), rng.normal(size=3), 1.0 + (k >= 2), 1.0 + (k == 3))
        fresh, fparams = parametric_qp()
        for par, fpar, v in zip(params, fparams, vals):
            par.value = fpar.value = v
        p = problem(m)
        r = run(name, p, kept, m._flat["changed"])
        m._flat["changed"].clear()
        f, kept = run(name, problem(fresh)), r.kept
        assert r.reused == reused[k]
        np.testing.assert_allclose(r.obj, f.obj, rtol=1e-7, atol=1e-8)
        np.testing.assert_allclose(np.concatenate([r.x, r.z]), np.concatenate([f.x, f.z]), atol=1e-6)
    # the same data again: from the last solution (z permuted into SCS's rows) in far fewer iterations
    cold, warm = run(name, p, kept), run(name, p, kept, warm=(r.x, r.s, r.z))
    assert warm.iterations < cold.iterations / 2


@pytest.mark.parametrize("mod, given, out", [
    (solver_scs, {"max_iters": 7}, {"max_iters": 7, "verbose": False}),
    (solver_osqp, {"polish": True, "verbose": True}, {"polishing": True, "verbose": True}),
    (solver_scs, {"max_iter": 1}, "unknown SCS setting 'max_iter'"),
    (solver_osqp, {"max_iters": 1}, "unknown OSQP setting 'max_iters'"),
    (solver_osqp, {"warm_start": True}, "unknown OSQP setting 'warm_start'"),
])
def test_settings_in_the_solvers_own_names(mod, given, out):
    if isinstance(out, dict):
        assert mod.settings(given) == out
    else:
        with pytest.raises(TypeError, match=out):
            mod.settings(given)
