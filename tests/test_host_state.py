"""The model's state changes through its methods only, and each change after
a solve gives the answer of the model as it now stands (CVXPY's); parts of
no elements are models like any other."""
import cvxpy as cp
import numpy as np
import pytest

import fragments_host as fh

TIGHT = dict(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
RNG = np.random.default_rng(7)
A, B = RNG.normal(size=(5, 3)), RNG.normal(size=5)


def _pair():
    """The same model in both packages: least squares with three removable
    constraints (a row, a function constraint, a cone)."""
    m = fh.Model()
    x, t = m.variable(3, "x"), m.variable(name="t", lb=0.0)
    cons = [m.add(x.sum() >= 2.0), m.add(fh.norm(x, 1) <= 2.5), m.add(fh.soc(t, x[:2] - 1.0))]
    m.minimize(fh.sum_squares(A @ x - B) + t)
    xc, tc = cp.Variable(3), cp.Variable()
    cc = [cp.sum(xc) >= 2.0, cp.norm(xc, 1) <= 2.5, cp.SOC(tc, xc[:2] - 1.0), tc >= 0]
    return m, x, cons, (xc, tc, cc)


def _cvxpy(objective, cons):
    prob = cp.Problem(objective, cons)
    prob.solve(solver=cp.CLARABEL, **TIGHT)
    return prob


@pytest.mark.parametrize("drop", [[0], [1], [2], [0, 2], [1, 0]])
def test_removed_constraints_leave_the_model_as_cvxpy_states_it_without_them(drop):
    m, x, cons, (xc, tc, cc) = _pair()
    m.solve(**TIGHT)
    m.remove(*[cons[k] for k in drop])
    kept = [k for k in range(3) if k not in drop]
    assert set(map(id, m.constraints)) >= {id(getattr(cons[k], "rows", cons[k])) for k in kept if k != 1}
    val = m.solve(**TIGHT)
    prob = _cvxpy(cp.Minimize(cp.sum_squares(A @ xc - B) + tc), [cc[k] for k in kept] + cc[3:])
    assert m.status == prob.status == "optimal"
    np.testing.assert_allclose(val, prob.value, rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(x.value, xc.value, rtol=1e-5, atol=1e-6)
    assert all(cons[k].dual is None for k in drop)
    # added again: the first model's answer
    m.add(*[cons[k] for k in drop])
    prob = _cvxpy(cp.Minimize(cp.sum_squares(A @ xc - B) + tc), cc)
    np.testing.assert_allclose(m.solve(**TIGHT), prob.value, rtol=1e-6, atol=1e-7)


def test_the_objective_and_sense_change_through_minimize_and_maximize_only():
    m, x, cons, (xc, tc, cc) = _pair()
    m.solve(**TIGHT)
    for attr, value in [("sense", "maximize"), ("objective", x.sum()), ("constraints", []), ("status", "x"),
                        ("value", 1.0), ("variables", ()), ("nvars", 0)]:
        with pytest.raises(AttributeError):
            setattr(m, attr, value)
    with pytest.raises(AttributeError):
        m.constraints.remove(cons[0])
    assert len(m.constraints) > 3 and m.status == "optimal"
    # a new objective after a solve: the kept solver is set up again
    m.maximize(-fh.sum_squares(x - 1.0) - x[0])
    val = m.solve(**TIGHT)
    assert not m.solver_stats.reused
    prob = _cvxpy(cp.Maximize(-cp.sum_squares(xc - 1.0) - xc[0]), cc)
    np.testing.assert_allclose(val, prob.value, rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(x.value, xc.value, rtol=1e-5, atol=1e-6)


def test_a_change_after_a_solve_drops_the_old_solution():
    m, x, cons, _ = _pair()
    m.solve()
    m.add(x[0] <= 0.1)
    assert m.status is None and m.value is None and x.value is None
    m.solve()
    assert x.value[0] <= 0.1 + 1e-7


def test_removing_what_is_not_the_models_is_refused():
    m, x, cons, _ = _pair()
    other = fh.Model("other")
    y = other.variable(2)
    with pytest.raises(fh.ModelError, match="not a constraint of this model"):
        m.remove(y.sum() <= 1)
    with pytest.raises(fh.ModelError, match="not a constraint of this model"):
        m.remove(other.add(y.sum() <= 1))
    aux = next(c for c in m.constraints if getattr(c, "auxiliary", False))
    with pytest.raises(fh.ModelError, match="reduction"):
        m.remove(aux)
    with pytest.raises(TypeError):
        m.remove(x)


# parts of no elements: each model solves as the same model without them
EMPTY = [
    ("0-size term in the objective", lambda m, z: z.sum()),
    ("0-size square in the objective", lambda m, z: fh.sum_squares(z) + fh.norm(z)),
    ("rows of a 0-size variable", lambda m, z: m.add(z >= 0, z <= 1.0, 2 * z == 0, fh.norm(z) <= 1)),
    ("a cone of a 0-size operand", lambda m, z: m.add(fh.exp_cone(z, z, z), fh.soc(1.0, z))),
    ("a semidefinite variable of size 0", lambda m, z: m.semidefinite(0).sum()),
    ("no constraints added", lambda m, z: m.add(*[])),
]


@pytest.mark.parametrize("what, state", EMPTY, ids=[w for w, _ in EMPTY])
def test_parts_of_no_elements(what, state):
    m = fh.Model()
    x = m.variable(3, "x", lb=-1.0, ub=1.0)
    m.add(x.sum() >= 0.5)
    z = m.variable(0, "z")
    extra = state(m, z)
    m.minimize(fh.sum_squares(x - 2.0) + x[0] + (extra if isinstance(extra, (fh.Affine, fh.Expression)) else 0.0))
    val = m.solve(**TIGHT)
    xc = cp.Variable(3)
    prob = _cvxpy(cp.Minimize(cp.sum_squares(xc - 2.0) + xc[0]), [cp.sum(xc) >= 0.5, xc >= -1.0, xc <= 1.0])
    assert m.status == "optimal"
    np.testing.assert_allclose(val, prob.value, rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(x.value, xc.value, rtol=1e-5, atol=1e-6)
    assert z.value.shape == (0,)


@pytest.mark.parametrize("state", [lambda m: fh.lambda_max(m.variable((0, 0))), lambda m: fh.max(m.variable((0, 2))),
                                   lambda m: fh.min(m.variable((2, 0)), axis=1),
                                   lambda m: fh.log_sum_exp(m.variable(0)), lambda m: fh.norm_inf(m.variable(0)),
                                   lambda m: fh.geo_mean(m.variable(0))])
def test_reductions_over_no_elements_are_refused_when_stated(state):
    m = fh.Model()
    with pytest.raises(fh.ShapeError, match="no elements"):
        state(m)


@pytest.mark.parametrize("shape, expect", [(np.int64(3), (3,)), ((np.int32(2), 3), (2, 3)), (np.uint8(0), (0,)),
                                           (2.5, TypeError), ((2, 1.0), TypeError), (True, TypeError),
                                           ("3", TypeError)])
def test_sizes_are_integers(shape, expect):
    m = fh.Model()
    if isinstance(expect, tuple):
        assert m.variable(shape).shape == expect and m.parameter(shape).shape == expect
    else:
        with pytest.raises(expect):
            m.variable(shape)
        with pytest.raises(expect):
            m.parameter(shape)
