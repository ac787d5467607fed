"""Models and their parts pickle and copy, solved or not: what was stated
and the last solution come back as they were, the kept solver is set up
again by the next solve, and a copy shares nothing with its original."""
import copy
import pickle

import numpy as np
import pytest

import fragments_host as fh

RNG = np.random.default_rng(5)
A = RNG.normal(size=(8, 4))


def _least_squares():
    # a parameter weighting the quadratic term: its values are scattered
    # into an array that the quadratic term's matrix views
    m = fh.Model()
    x = m.variable(4, "x")
    p = m.parameter((), "p", nonneg=True, value=1.0)
    m.add(x.sum() == 1)
    m.minimize(p * fh.sum_squares(A @ x - 1.0) + x[0])
    return m, p, 5.0


def _functions():
    # affine maps of functions (sum, diff, index, matmul) keep their maps
    m = fh.Model()
    x = m.variable(4, "x", lb=-1, ub=1)
    c = m.parameter(4, "c", value=np.arange(4.0))
    cons = m.add(fh.norm(x, 1) <= 2, fh.max(fh.abs(fh.diff(x))) <= 0.8, (np.ones((2, 4)) @ fh.abs(x))[0] <= 1.5)
    m.add(fh.sum(fh.square(x), axis=0) <= 3, fh.cumsum(x)[-1] >= -1)
    m.minimize(c @ x + fh.sum(fh.abs(x)))
    return m, c, np.array([1.0, -2.0, 0.5, 3.0]), cons


def _semidefinite():
    # a semidefinite variable holds its cone
    m = fh.Model()
    X = m.variable((3, 3), "X", PSD=True)
    q = m.parameter((), "q", value=1.0)
    m.add(fh.trace(X) == 1, X[0, 1] >= -0.2)
    m.minimize(q * X[0, 0] - X[1, 2])
    return m, q, -0.5


def _rows():
    # scalar rows stated one at a time, and a value set on a variable
    m = fh.Model()
    y = m.variable(6, "y", lb=0.0, ub=1.0)
    r = m.parameter((), "r", value=2.0)
    rows = [m.add(y[i] + y[i + 1] <= r) for i in range(5)]
    m.maximize(sum(y[i] for i in range(6)))
    return m, r, 1.5, rows


MODELS = {"least squares": _least_squares, "functions": _functions, "semidefinite": _semidefinite, "rows": _rows}


def _state(m):
    return (m.status, m.value, repr(m), [None if v.value is None else v.value.copy() for v in m.variables],
            [None if c.dual is None else np.array(c.dual) for c in m.constraints])


def _same(a, b):
    status, value, text, vals, duals = a
    assert (status, value, text) == b[:3]
    for u, v in zip(vals + duals, b[3] + b[4]):
        assert (u is None and v is None) or np.array_equal(u, v)
    assert len(vals) == len(b[3]) and len(duals) == len(b[4])


ROUND_TRIPS = {"pickle": lambda m: pickle.loads(pickle.dumps(m)), "deepcopy": copy.deepcopy, "copy": copy.copy}


@pytest.mark.parametrize("how", ROUND_TRIPS)
@pytest.mark.parametrize("solved", [False, True])
@pytest.mark.parametrize("make", MODELS)
def test_a_model_comes_back_as_it_was_and_solves_as_the_original(make, solved, how):
    m, p, new = MODELS[make]()[:3]
    if solved:
        m.solve()
    m2 = ROUND_TRIPS[how](m)
    _same(_state(m2), _state(m))
    if m.status is not None:
        assert m2.solver_output.kept is None
    # a new parameter value: the original updates its kept solver, the copy
    # sets one up; both solve the model as it now stands
    p.value = new
    m2.parameters[0].value = new
    m.solve()
    m2.solve()
    assert m2.status == m.status == "optimal" and not m2.solver_stats.reused
    assert abs(m2.value - m.value) <= 1e-9 * max(1.0, abs(m.value))
    for u, v in zip(m.variables, m2.variables):
        assert np.allclose(u.value, v.value, atol=1e-7)


def test_a_copy_shares_nothing_with_its_original():
    m, r, _, rows = _rows()
    m.solve()
    before = _state(m)
    for how in ("copy", "deepcopy", "pickle"):
        m2 = ROUND_TRIPS[how](m)
        z = m2.variable(2, "z", lb=0.0, ub=1.0)
        m2.add(z.sum() <= 1)
        m2.parameters[0].value = 0.5
        m2.maximize(sum(m2.variables[0][i] for i in range(6)) + z.sum())
        m2.solve()
        assert len(m.variables) == 1 and len(m2.variables) == 2
        _same(_state(m), before)
        assert r.value == 2.0 and abs(m2.value - 2.5) < 1e-6


def test_a_part_pickled_alone_carries_its_model_and_together_they_stay_linked():
    m, r, _, rows = _rows()
    y = m.variables[0]
    y.value = np.full(6, 0.5)             # a value set by the user, kept until the next solve
    m.solve()
    y.value = np.full(6, 0.25)
    y2 = pickle.loads(pickle.dumps(y))
    assert np.array_equal(y2.value, y.value)
    with pytest.raises(fh.ModelError, match="no longer exists"):
        y2.model
    m2, y2, row2 = pickle.loads(pickle.dumps((m, y, rows[2])))
    assert y2.model is m2 and np.array_equal(y2.value, np.full(6, 0.25))
    assert np.array_equal(row2.dual, rows[2].dual)
    m2.parameters[0].value = 1.0          # y_i + y_i+1 <= 1: a sum of 3, of 4 without row 2
    m2.remove(row2)
    m2.solve()
    assert len(m2.constraints) == len(m.constraints) - 1 and abs(m2.value - 4.0) < 1e-6


def test_a_function_constraint_loaded_with_its_model_is_removed_with_its_reduction():
    m, c, new, cons = _functions()
    m.solve()
    m2, norm1 = pickle.loads(pickle.dumps((m, cons[0])))
    m.remove(cons[0])
    m2.remove(norm1)
    assert repr(m2) == repr(m) and len(m2.constraints) == len(m.constraints)
    assert abs(m2.solve() - m.solve()) < 1e-9


def test_a_loaded_model_solves_a_batch():
    m, p, new = _least_squares()
    m.solve()
    m2 = pickle.loads(pickle.dumps(m))
    values = {"p": np.array([1.0, new, 2.0])}
    res, res2 = m.solve_batch(values), m2.solve_batch(values)
    assert np.allclose(res.value, res2.value, rtol=1e-9) and res2.ok.all()
