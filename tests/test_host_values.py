"""`.value` of random affine expressions: hypothesis draws an expression
(sums, scalar and elementwise products, constant-matrix products, slices,
transposes, stacks, axis sums, reshapes, parameter products) over two
variables, the variables are pinned to a random point by equality rows, and
the expression's value after the solve is compared with numpy evaluating the
same formula at that point. Tables beside it take what the draws do not
reach: slices with steps, transposes of three axes, parameters on either
side of + and -."""
import numpy as np
import pytest

pytest.importorskip("clarabel")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as hs  # noqa: E402

import fragments_host as fh  # noqa: E402


def _unary(draw, e, v, rng, p):
    """One operation on (expression, numpy value) of a 2-D or 1-D shape."""
    shape = v.shape
    ops = ["scale", "add_const", "neg", "elementwise", "T", "reshape", "sum", "slice", "matmul", "param"]
    op = draw(hs.sampled_from(ops if v.ndim else ops[:3]))
    if op == "scale":
        a = draw(hs.floats(-3, 3, allow_nan=False))
        return e * a, v * a
    if op == "add_const":
        c = rng.normal(size=shape)
        return (c + e, c + v) if draw(hs.booleans()) else (e - c, v - c)
    if op == "neg":
        return -e, -v
    if op == "elementwise":
        c = rng.normal(size=shape)
        return e * c, v * c
    if op == "T":
        return e.T, v.T
    if op == "reshape":
        return e.reshape((v.size,)), v.reshape(-1)
    if op == "sum":
        if v.ndim == 1:
            return e.sum(), np.asarray(v.sum())
        ax = draw(hs.sampled_from([0, 1, -1]))
        return e.sum(axis=ax), v.sum(axis=ax)
    if op == "slice":
        if v.ndim == 0:
            return e, v
        n = shape[0]
        a = draw(hs.integers(-n, n - 1))
        b = draw(hs.integers(a % n + 1, n))
        if draw(hs.booleans()):
            return e[a], v[a]
        return e[a % n:b], v[a % n:b]
    if op == "matmul":
        if v.ndim == 0:
            return e, v
        M = rng.normal(size=(3, shape[0]))
        return M @ e, M @ v
    # parameter times the expression, elementwise
    P = p[shape] if shape in p else None
    if P is None:
        return e, v
    return P * e, P.value * v


@hs.composite
def expressions(draw, m, X, y, X0, y0, params):
    rng = np.random.default_rng(draw(hs.integers(0, 2**32 - 1)))
    e, v = draw(hs.sampled_from([(X, X0), (y, y0)]))
    for _ in range(draw(hs.integers(1, 5))):
        if draw(hs.integers(0, 5)) == 0 and v.ndim >= 1:
            # a stack or a sum with a second operand of the same shape
            f, w = (X, X0) if v.shape == X0.shape else ((y, y0) if v.shape == y0.shape else (e, v))
            if draw(hs.booleans()) and v.ndim >= 1:
                e, v = fh.concatenate([e, f], axis=0), np.concatenate([v, w], axis=0)
            else:
                e, v = e + f, v + w
        else:
            e, v = _unary(draw, e, v, rng, params)
    return e, v


@settings(max_examples=60, deadline=None)
@given(hs.data())
def test_value_of_random_expressions(data):
    rng = np.random.default_rng(data.draw(hs.integers(0, 1000)))
    m = fh.Model()
    X, y = m.variable((3, 4), "X"), m.variable(3, "y")
    X0, y0 = rng.normal(size=(3, 4)), rng.normal(size=3)
    m.add(X == X0, y == y0)
    params = {}
    for shape in [(3, 4), (4, 3), (3,), (12,)]:
        params[shape] = m.parameter(shape, f"p{shape}", value=rng.normal(size=shape))
    e, v = data.draw(expressions(m, X, y, X0, y0, params))
    assert e.value is None
    m.solve(tol_gap_abs=1e-12, tol_gap_rel=1e-12, tol_feas=1e-12)
    got = e.value
    assert got.shape == v.shape
    np.testing.assert_allclose(got, v, rtol=1e-6, atol=1e-6)
    # parameters move: the value follows without a rebuild
    for p in params.values():
        p.value = p.value * 2.0
    m.solve(tol_gap_abs=1e-12, tol_gap_rel=1e-12, tol_feas=1e-12)
    assert e.value.shape == v.shape


@pytest.mark.parametrize("key", [np.s_[::2], np.s_[:, 1::2], np.s_[2:0:-1, ::3], np.s_[1, ::-2]],
                         ids=["rows-step-2", "columns-step-2", "both-backwards", "one-row-backwards"])
def test_slices_with_steps_are_refused_or_taken_as_numpy_takes_them(key):
    """A slice whose step is not 1, of a variable and of a computed
    expression: either refused when stated, or its value is numpy's (the
    step is never dropped)."""
    rng = np.random.default_rng(3)
    m = fh.Model()
    X = m.variable((3, 4), "X")
    X0 = rng.normal(size=(3, 4))
    m.add(X == X0)
    taken = []
    for e, v in [(X, X0), (2.0 * X - 1.0, 2.0 * X0 - 1.0), (fh.abs(X), np.abs(X0))]:
        n = m.nvars
        try:
            taken.append((e[key], v[key]))
        except (fh.ShapeError, IndexError, ValueError):
            # refused when written: nothing added to the model
            assert m.nvars == n
            continue
        if not e.is_affine:
            m.add(taken[-1][0] <= 10.0)
    m.solve()
    for s, want in taken:
        assert s.shape == want.shape
        np.testing.assert_allclose(s.value, want, rtol=1e-7, atol=1e-7)


def test_transposes_of_three_axes_against_numpy():
    """.T of an expression of three axes reverses them all and
    .transpose(perm) permutes them as numpy's do, in values and in the rows
    of a constraint stated with them."""
    rng = np.random.default_rng(4)
    m = fh.Model()
    X = m.variable((2, 3, 4), "X")
    D = rng.normal(size=(4, 3, 2))
    m.add(X.T == D)
    X0 = D.T
    cases = [(X.T, X0.T), ((2.0 * X - 1.0).T, (2.0 * X0 - 1.0).T), (X.transpose((1, 2, 0)), X0.transpose((1, 2, 0))),
             (X.transpose((2, 0, 1)).T, X0.transpose((2, 0, 1)).T)]
    m.solve()
    np.testing.assert_allclose(X.value, X0, rtol=1e-7, atol=1e-7)
    for e, want in cases:
        assert e.shape == want.shape
        np.testing.assert_allclose(e.value, want, rtol=1e-7, atol=1e-7)


# a parameter p on either side of + and -, beside a constant c and a pinned x:
# each formula evaluated by the package and by numpy alike
BESIDE_PARAMETERS = ["c - p", "p - c", "1.5 - p", "p - 1.5", "c + p", "p + c", "x - p", "p - x", "-p + x",
                     "c - p * x"]


@pytest.mark.parametrize("formula", BESIDE_PARAMETERS)
def test_parameters_on_either_side_against_numpy(formula):
    rng = np.random.default_rng(6)
    m = fh.Model()
    x, p = m.variable(3, "x"), m.parameter(3, "p")
    c, x0 = rng.normal(size=3), rng.normal(size=3)
    m.add(x == x0)
    e = eval(formula, {}, dict(c=c, p=p, x=x))
    for value in (rng.normal(size=3), rng.normal(size=3)):   # set, then changed: re-evaluated in place
        p.value = value
        m.solve()
        np.testing.assert_allclose(e.value, eval(formula, {}, dict(c=c, p=value, x=x0)), rtol=1e-7, atol=1e-7)
