"""numpy's habits on expressions, against numpy: hypothesis draws chains of
broadcast sums and products, indexing of every kind numpy takes (steps,
index arrays, masks, new axes, ellipsis), reshapes (-1, column order),
sums over tuples of axes (keepdims) and the numpy functions users call on
expressions, over two variables pinned to a random point; each expression's
value after the solve is numpy's at that point. A table beside it holds
what is refused, and why."""
import numpy as np
import pytest

pytest.importorskip("clarabel")
pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as hs  # noqa: E402

import fragments_host as fh  # noqa: E402


def _key(draw, shape, rng):
    """An index numpy takes on `shape`: one of each kind, mixed with
    basic slices on the other axes."""
    kind = draw(hs.sampled_from(["step", "array", "mask", "newaxis", "ellipsis", "negative"]))
    n = shape[0]
    rest = (slice(None),) * (len(shape) - 1)
    if kind == "step":
        a, b = draw(hs.integers(-n, n)), draw(hs.integers(-n, n))
        return (slice(a, b, draw(hs.sampled_from([2, 3, -1, -2]))),) + rest
    if kind == "array":
        return (rng.integers(-n, n, size=draw(hs.integers(1, 4))).tolist(),) + rest
    if kind == "mask":
        return (rng.random(n) < 0.6,) + rest
    if kind == "newaxis":
        return (slice(None), None) + rest
    if kind == "ellipsis":
        return (Ellipsis, rng.integers(0, shape[-1]))
    return (slice(None, None, -1),) + rest


def _step(draw, e, v, rng, others):
    shape = v.shape
    ops = ["broadcast_const", "broadcast_expr", "product", "quotient", "index", "reshape", "sum", "np_fn"]
    op = draw(hs.sampled_from(ops if v.ndim else ops[:4]))
    if op == "broadcast_const":
        # a constant of this shape with an axis of one, or a leading axis more
        c = rng.normal(size=(2,) + shape if draw(hs.booleans()) or not shape else shape[:-1] + (1,))
        return (e + c, v + c) if draw(hs.booleans()) else (c - e, c - v)
    if op == "broadcast_expr":
        f, w = draw(hs.sampled_from(others))
        try:
            np.broadcast_shapes(w.shape, v.shape)
        except ValueError:
            return e, v
        return (e - f, v - w) if draw(hs.booleans()) else (f + e, w + v)
    if op == "product":
        c = rng.normal(size=shape[-1:] if shape else ())
        return (e * c, v * c) if draw(hs.booleans()) else (c * e, c * v)
    if op == "quotient":
        c = rng.uniform(0.5, 2.0, size=shape[-1:] if shape else ())
        return e / c, v / c
    if op == "index":
        key = _key(draw, shape, rng)
        if v[key].size == 0:
            return e, v
        return e[key], v[key]
    if op == "reshape":
        order = draw(hs.sampled_from(["C", "F"]))
        return e.reshape(-1, order=order), v.reshape(-1, order=order)
    if op == "sum":
        axes = tuple(sorted(set(draw(hs.lists(hs.integers(-v.ndim, v.ndim - 1), min_size=1, max_size=2)))))
        if len({a % v.ndim for a in axes}) != len(axes):
            return e, v
        keep = draw(hs.booleans())
        return e.sum(axis=axes, keepdims=keep), v.sum(axis=axes, keepdims=keep)
    fn = draw(hs.sampled_from(["sum", "dot", "matmul", "transpose", "stack", "concatenate"]))
    if fn in ("stack", "concatenate"):
        # with itself negated: numpy's new axis, or an existing one
        axis = draw(hs.integers(-v.ndim - 1, v.ndim) if fn == "stack" else hs.integers(-max(v.ndim, 1), v.ndim - 1))
        if fn == "concatenate" and not v.ndim:
            return e, v
        f = getattr(fh, fn) if draw(hs.booleans()) else getattr(np, fn)
        return f([e, -e], axis=axis), getattr(np, fn)([v, -v], axis=axis)
    if fn == "sum":
        return np.sum(e), np.asarray(np.sum(v))
    if fn == "transpose":
        return np.transpose(e), np.transpose(v)
    if v.ndim > 2:
        return e, v
    M = rng.normal(size=(2, shape[0]))
    return (np.dot(M, e), M @ v) if fn == "dot" else (np.matmul(M, e), M @ v)


@settings(max_examples=60, deadline=None)
@given(hs.data())
def test_numpy_forms_against_numpy(data):
    rng = np.random.default_rng(data.draw(hs.integers(0, 2**32 - 1)))
    m = fh.Model()
    X, y = m.variable((3, 4), "X"), m.variable(4, "y")
    X0, y0 = rng.normal(size=(3, 4)), rng.normal(size=4)
    m.add(X == X0, y == y0)
    others = [(X, X0), (y, y0), (X[:, :1], X0[:, :1]), (y[None, :], y0[None, :])]
    e, v = data.draw(hs.sampled_from(others))
    for _ in range(data.draw(hs.integers(1, 4))):
        e, v = _step(data.draw, e, v, rng, others)
    assert e.shape == v.shape
    assert len(e) == len(v) if v.ndim else True
    m.solve(tol_gap_abs=1e-12, tol_gap_rel=1e-12, tol_feas=1e-12)
    np.testing.assert_allclose(e.value, v, rtol=1e-6, atol=1e-6)


def test_broadcast_constraints_solve_as_cvxpy_states_them():
    """Rows stated by broadcasting (a column of right-hand sides against a
    matrix, a row of weights) give CVXPY's optimum and duals."""
    cp = pytest.importorskip("cvxpy")
    rng = np.random.default_rng(4)
    N = 4
    w, lo = rng.uniform(0.5, 2.0, N), np.arange(N, dtype=float)[:, None]
    m = fh.Model()
    x, y = m.variable((N, N), "x"), m.variable((N, N), "y")
    rows = m.add(x - y >= lo, x + y >= 0, x * w <= 10.0, y / w >= -3.0, fh.abs(x - w) <= y + 5.0)
    m.minimize((2 * x + y).sum() + fh.maximum(x, lo - w).sum())
    xc, yc = cp.Variable((N, N)), cp.Variable((N, N))
    cons = [xc - yc >= lo, xc + yc >= 0, cp.multiply(xc, w[None, :]) <= 10.0, cp.multiply(yc, 1 / w[None, :]) >= -3.0,
            cp.abs(xc - w[None, :]) <= yc + 5.0]
    prob = cp.Problem(cp.Minimize(cp.sum(2 * xc + yc) + cp.sum(cp.maximum(xc, lo - w[None, :]))), cons)
    prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    assert m.solve(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10) == pytest.approx(prob.value, rel=1e-7)
    for r, c in zip(rows[:4], cons):
        np.testing.assert_allclose(r.dual, c.dual_value, rtol=1e-5, atol=1e-6)
    np.testing.assert_allclose(x.value, xc.value, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("bad, error, match", [
    # both sides enlarged: numpy's 25 rows are refused, both shapes named
    (lambda x, A: A @ x <= np.ones((5, 1)), fh.ShapeError, r"\(5,\) and \(5, 1\)"),
    (lambda x, A: x[:3] + x[:2], fh.ShapeError, "do not broadcast"),
    (lambda x, A: x * np.ones(3), fh.ShapeError, "do not broadcast"),
    (lambda x, A: x[1.5], IndexError, r"x\[1.5\]"),
    (lambda x, A: x[[0, 9]], IndexError, "out of bounds"),
    (lambda x, A: x[np.ones(4, bool)], IndexError, "boolean"),
    (lambda x, A: x.reshape(-1, -1), fh.ShapeError, "only one"),
    (lambda x, A: x.reshape(3, -1), fh.ShapeError, "cannot reshape"),
    (lambda x, A: x.sum(axis=(0, 0)), ValueError, "repeated"),
    (lambda x, A: np.sum(x, out=np.zeros(())), TypeError, "out="),
    (lambda x, A: x / np.array([1.0, 0, 1, 1, 1]), ZeroDivisionError, "zero"),
    (lambda x, A: 2.0 / x, fh.ModelError, "inv_pos"),
    (lambda x, A: np.exp(x), TypeError, "exp"),
    (lambda x, A: len(x.sum()), TypeError, "scalar"),
    (lambda x, A: A @ x.reshape(5, 1, 1), fh.ShapeError, "two axes"),
])
def test_refusals_name_what_was_written(bad, error, match):
    m = fh.Model()
    x = m.variable(5, "x")
    with pytest.raises(error, match=match):
        bad(x, np.ones((5, 5)))
    assert m.nvars == 5 and not m.constraints


NAMES = [
    ("X @ v", "X @ [1, 2, 3]"), ("X.reshape((9,))", "X.reshape((9,))"), ("A @ x == p", "const(3, 3) @ x == p"),
    ("2 * x + 1", "2*x + 1"), ("x - 2 * (x + 1)", "x - 2*(x + 1)"), ("(2 * X)[:, 1::2]", "(2*X)[:, 1::2]"),
    ("x - (x - 1)", "x - (x - 1)"), ("-(x + 1)", "-(x + 1)"), ("x + -1.5", "x - 1.5"), ("X[0, :2]", "X[0, :2]"),
    ("x * v / 2", "x*[1, 2, 3]/2"), ("(q + 1) * x", "(q + 1)*x"), ("p @ x + q", "p @ x + q"),
    ("fh.norm(x - 1) <= 2", "norm(x - 1) <= 2"), ("3 * fh.abs(x) + x", "3*abs(x) + x"), ("(X + 1).T", "(X + 1).T"),
    ("X.sum(axis=0)", "sum(X, axis=0)"), ("fh.norm(X, 1, axis=0)", "norm(X, 1, axis=0)"),
]


@pytest.mark.parametrize("stated, written", NAMES, ids=[s for s, _ in NAMES])
def test_names_read_as_written(stated, written):
    """An expression's name is its statement, and reads back as one: the
    name evaluated with the same operands gives the same value."""
    rng = np.random.default_rng(2)
    m = fh.Model()
    X, x = m.variable((3, 3), "X"), m.variable(3, "x")
    p, q = m.parameter(3, "p", value=rng.normal(size=3)), m.parameter((), "q", value=0.5)
    v, A = np.array([1.0, 2.0, 3.0]), rng.normal(size=(3, 3))
    e = eval(stated)
    assert repr(e) == written
    if "const(" in written or "<=" in written or "==" in written:
        return
    m.add(X == rng.normal(size=(3, 3)), x == rng.normal(size=3))
    m.solve()
    back = eval(written.replace("norm(", "fh.norm(").replace("abs(", "fh.abs(").replace("sum(", "fh.sum("))
    np.testing.assert_allclose(back.value, e.value, rtol=1e-9)


def test_broadcasts_of_broadcast_sums_against_numpy():
    """A sum broadcast, and broadcast again (the facility model's
    coordinates spread over a grid of cells): values as numpy's, and the
    same rows as the sum of the operands broadcast one by one."""
    rng = np.random.default_rng(6)
    m = fh.Model()
    y, Z = m.variable((4, 2), "y"), m.variable((3, 3, 4), "Z")
    y0, Z0, g = rng.normal(size=(4, 2)), rng.normal(size=(3, 3, 4)), rng.normal(size=3)
    m.add(y == y0, Z == Z0)
    e = Z[..., 1:] - (g[:, None, None] - y[1:, 0])
    f = (g[None, :, None] - y[1:, 1]) - Z[..., :3]
    rows = m.add(e <= 5.0, f >= -5.0)
    m.solve()
    np.testing.assert_allclose(e.value, Z0[..., 1:] - (g[:, None, None] - y0[1:, 0]), rtol=1e-7, atol=1e-8)
    np.testing.assert_allclose(f.value, (g[None, :, None] - y0[1:, 1]) - Z0[..., :3], rtol=1e-7, atol=1e-8)
    assert [r.dual.shape for r in rows] == [(3, 3, 3), (3, 3, 3)]
