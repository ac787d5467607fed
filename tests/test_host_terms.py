"""Models stated element by element: elements of variables picked by
integers are term lists, their sums, differences and number products are
joined lists, their comparisons scalar rows. Each expression is checked
against a numpy model of its coefficients, and models against CVXPY."""
import cvxpy as cp
import numpy as np
import pytest
from hypothesis import given, settings, strategies as hs

import fragments_host as fh

N = 4


def _dense(e, nvars):
    """(coefficients over the model's columns, constant) of a term list."""
    out = np.zeros(nvars + 1)
    np.add.at(out, np.asarray(e.v, dtype=np.int64), np.asarray(e.c, dtype=float))
    return out[1:], e.k


# a program of operations on term lists, mirrored on numpy vectors
OPS = hs.lists(hs.tuples(hs.sampled_from(["+", "-", "r-", "*", "/", "neg", "+k", "-k", "k-", "acc"]),
                         hs.integers(0, 2 * N * N - 1), hs.floats(-3, 3).filter(lambda v: abs(v) > 0.1)),
               min_size=1, max_size=40)


@settings(max_examples=60, deadline=None, derandomize=True, database=None)
@given(OPS)
def test_term_lists_as_numpy_computes_their_coefficients(ops):
    m = fh.Model()
    X, y = m.variable((N, N), "X"), m.variable(N * N, "y")
    nv = m.nvars

    def element(k):
        if k < N * N:
            e, col = X[k // N, k % N], k
        else:
            e, col = y[k - N * N], k
        vec = np.zeros(nv)
        vec[col] = 1.0
        return e, vec

    e, (vec, const) = element(0)[0], (element(0)[1], 0.0)
    kept = []
    for op, k, w in ops:
        t, tv = element(k)
        if op == "+":
            e, vec = e + t, vec + tv
        elif op == "-":
            e, vec = e - t, vec - tv
        elif op == "r-":
            e, vec, const = t - e, tv - vec, -const
        elif op == "*":
            e, vec, const = (w * e if k % 2 else e * w), w * vec, w * const
        elif op == "/":
            e, vec, const = e / w, vec / w, const / w
        elif op == "neg":
            e, vec, const = -e, -vec, -const
        elif op == "+k":
            e, const = (e + w if k % 2 else w + e), const + w
        elif op == "-k":
            e, const = e - w, const - w
        elif op == "k-":
            e, vec, const = w - e, -vec, w - const
        else:
            # a long sum, branched from: the earlier sum must stay as it was
            kept.append((e, vec.copy(), const))
            for j in range(70):
                e = e + element((k + j) % (2 * N * N))[0]
                vec = vec + element((k + j) % (2 * N * N))[1]
        got, k0 = _dense(e, nv)
        np.testing.assert_allclose(got, vec, rtol=1e-12, atol=1e-12)
        assert k0 == pytest.approx(const, rel=1e-12, abs=1e-12)
    for j, (old, v, c) in enumerate(kept):
        got, k0 = _dense(old, nv)
        np.testing.assert_allclose(got, v, rtol=1e-12, atol=1e-12)
        assert k0 == pytest.approx(c, rel=1e-12, abs=1e-12)
        # a second sum from the same one: a branch of its own
        t, tv = element(j)
        np.testing.assert_allclose(_dense(old - t, nv)[0], v - tv, rtol=1e-12, atol=1e-12)
    # the expression's blocks, laid out from its lists, give the same value
    x = np.linspace(-1, 1, nv)
    m.minimize(fh.sum_squares(X.flatten() - x[:N * N]) + fh.sum_squares(y - x[N * N:]))
    m.solve(tol_gap_abs=1e-12, tol_gap_rel=1e-12, tol_feas=1e-12)
    assert float(np.asarray((e * 1.0).value)) == pytest.approx(float(vec @ x + const), abs=1e-6)


def test_rows_stated_element_by_element_as_cvxpy_with_their_duals():
    """Equality and inequality rows of every comparison form, one removed
    and then added back, with duals in the stated conventions."""
    rng = np.random.default_rng(3)
    A, b = rng.normal(size=(6, 5)), rng.normal(size=6)
    m = fh.Model()
    x, t = m.variable(5, "x"), m.variable(name="t")
    xc, tc = cp.Variable(5), cp.Variable()
    rows = [m.add(x[0] + 2 * x[1] - x[2] == 0.5), m.add(1.0 <= x[3] - x[4] / 2), m.add(x[1] - x[3] >= -0.2),
            m.add(t >= x[0] - 3.0 * x[4]), m.add(x[2] + x[4] <= t), m.add(0.3 == x[4] + t)]
    cc = [xc[0] + 2 * xc[1] - xc[2] == 0.5, 1.0 <= xc[3] - xc[4] / 2, xc[1] - xc[3] >= -0.2,
          tc >= xc[0] - 3.0 * xc[4], xc[2] + xc[4] <= tc, 0.3 == xc[4] + tc]
    m.minimize(fh.sum_squares(A @ x - b) + t)
    for drop in (None, 2):
        if drop is not None:
            m.remove(rows[drop])
            assert rows[drop].dual is None
        keep = [k for k in range(len(rows)) if k != drop]
        prob = cp.Problem(cp.Minimize(cp.sum_squares(A @ xc - b) + tc), [cc[k] for k in keep])
        prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        m.solve(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        assert m.status == prob.status == "optimal"
        np.testing.assert_allclose(m.value, prob.value, rtol=1e-6, atol=1e-7)
        np.testing.assert_allclose(x.value, xc.value, rtol=1e-5, atol=1e-6)
        for k in keep:
            want = -cc[k].dual_value if k in (0, 5) else cc[k].dual_value
            assert float(rows[k].dual) == pytest.approx(float(want), rel=1e-5, abs=1e-6), k
    assert len(m.constraints) == len(rows) - 1
    m.add(rows[2])
    assert len(m.constraints) == len(rows) and m.solve() == pytest.approx(
        cp.Problem(cp.Minimize(cp.sum_squares(A @ xc - b) + tc), cc).solve(solver=cp.CLARABEL), rel=1e-5)


@pytest.mark.parametrize("bad, error", [
    (lambda x: x[0] + np.nan, fh.DataError), (lambda x: x[0] * np.inf, fh.DataError),
    (lambda x: x[0] / 0, ZeroDivisionError), (lambda x: x[0] == np.nan, fh.DataError),
    (lambda x: x[4], IndexError), (lambda x: x[1.0], IndexError),
    (lambda x: fh.Model().variable(2)[0] + x[0], fh.ModelError),
    (lambda x: (x[0] <= 1) and True, fh.ModelError),
])
def test_term_lists_refuse_what_other_expressions_refuse(bad, error):
    m = fh.Model()
    with pytest.raises(error):
        bad(m.variable(4, "x"))


def test_term_lists_meet_vectors_functions_and_cones_as_expressions():
    """A term list beside a vector, inside a function or a cone takes the
    general operations; the model solves as CVXPY states it."""
    m = fh.Model()
    x, t, d = m.variable(3, "x"), m.variable(name="t"), m.variable(name="d")
    xc, tc, dc = cp.Variable(3), cp.Variable(), cp.Variable()
    m.add(fh.soc(t, x - x[0]), fh.norm(x[1:] + d) <= 2 * x[0] + 1, d + 2 * x[2] == 1 - d)
    m.add(sum(x[i] for i in range(3)) >= 1, fh.abs(x[1] - 0.5) <= t)
    m.minimize(t + fh.square(x[0] - 2) + fh.square(d))
    prob = cp.Problem(cp.Minimize(tc + cp.square(xc[0] - 2) + cp.square(dc)),
                      [cp.SOC(tc, xc - xc[0]), cp.norm(xc[1:] + dc) <= 2 * xc[0] + 1, dc + 2 * xc[2] == 1 - dc,
                       cp.sum(xc) >= 1, cp.abs(xc[1] - 0.5) <= tc])
    prob.solve(solver=cp.CLARABEL)
    m.solve()
    assert m.status == prob.status == "optimal"
    np.testing.assert_allclose(m.value, prob.value, rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(x.value, xc.value, rtol=1e-4, atol=1e-5)
    assert repr(x[0] + 2 * x[2] - 1) == "(x[0] + 2*x[2] - 1)"


def test_long_sums_branched_from_one_another_keep_their_own_terms():
    """Sums accumulated from one sum in several ways, none read before the
    others are made, each with the terms written for it."""
    m = fh.Model()
    x = m.variable(100, "x")
    s = x[0] * 1.0
    for i in range(1, 80):
        s = s + x[i]
    t = s + x[80]
    u = s - x[81]
    v = u + 2.0
    w = v + x[82]
    z = s + x[83]
    for e, cols, signs, k in [(s, range(80), [1] * 80, 0.0), (t, [*range(80), 80], [1] * 81, 0.0),
                              (u, [*range(80), 81], [1] * 80 + [-1], 0.0), (v, [*range(80), 81], [1] * 80 + [-1], 2.0),
                              (w, [*range(80), 81, 82], [1] * 80 + [-1, 1], 2.0), (z, [*range(80), 83], [1] * 81, 0.0)]:
        want = np.zeros(100)
        want[list(cols)] = signs
        got, k0 = _dense(e, m.nvars)
        np.testing.assert_array_equal(got, want)
        assert k0 == k


def test_cones_stated_element_by_element_as_cvxpy_with_their_duals():
    """Second-order cones on elements and boxes of variables (held as runs
    of their elements' tuples), one removed, against CVXPY."""
    rng = np.random.default_rng(5)
    P = rng.normal(size=(4, 2))
    m = fh.Model()
    s, r = m.variable(4, "s"), m.variable((4, 2), "r")
    sc, rc = cp.Variable(4), cp.Variable((4, 2))
    cones = [m.add(fh.soc(s[i] + 0.1 * i, r[i, :])) for i in range(4)]
    cc = [cp.SOC(sc[i] + 0.1 * i, rc[i, :]) for i in range(4)]
    rows = [m.add(r[i, 0] - r[i, 1] == P[i, 0]) for i in range(4)]
    rr = [rc[i, 0] - rc[i, 1] == P[i, 0] for i in range(4)]
    m.minimize(sum(s[i] for i in range(4)) + fh.sum_squares(r - P))
    assert all(type(c).__name__ == "TermCone" for c in cones)
    for drop in (None, 1):
        if drop is not None:
            m.remove(cones[drop])
            assert cones[drop].dual is None
        keep = [i for i in range(4) if i != drop]
        prob = cp.Problem(cp.Minimize(cp.sum(sc) + cp.sum_squares(rc - P)), [cc[i] for i in keep] + rr
                          + ([sc[drop] >= 0] if drop is not None else []))
        if drop is not None:
            m.add(s[drop] >= 0)
        prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        m.solve(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
        assert m.status == prob.status == "optimal"
        np.testing.assert_allclose(m.value, prob.value, rtol=1e-6, atol=1e-7)
        for i in keep:
            want = np.concatenate([np.atleast_1d(cc[i].dual_value[0]), np.ravel(cc[i].dual_value[1])])
            np.testing.assert_allclose(cones[i].dual, want, rtol=1e-5, atol=1e-6)
        for i in range(4):
            assert float(rows[i].dual) == pytest.approx(-float(rr[i].dual_value), rel=1e-5, abs=1e-6)
    assert sum(type(c).__name__ == "TermCone" for c in m.constraints) == 3
