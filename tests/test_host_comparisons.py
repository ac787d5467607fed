"""A comparison means what the user wrote, whatever stands on either side.
Python calls a subclass's reflected comparison before the left operand's,
and hands a number or an array on the left to the right operand: every
pairing of operand kinds is stated in both packages in the same order and
solved, and the duals must follow the stated conventions (nonneg rows as
CVXPY's, equality rows minus CVXPY's, a constant side of == read as the
right side, as CVXPY reads it)."""
import itertools

import cvxpy as cp
import numpy as np
import pytest
import scipy.sparse as sp

import fragments_host as fh

C = np.array([[0.5, 0.7], [0.9, 1.1]])

# kind -> (fragments_host operand, CVXPY operand) from the two namespaces,
# `side` 0 for the left operand and 1 for the right (distinct variables)
KINDS = {
    "variable": lambda o, side: o["v"][side],
    "computed": lambda o, side: 2.0 * o["u"][side] + 0.3,
    "parameter": lambda o, side: o["p"],
    "number": lambda o, side: 0.5,
    "array": lambda o, side: C,
    "numpy scalar": lambda o, side: np.float64(0.25),
    "scipy matrix": lambda o, side: sp.csr_matrix(C),
    "convex function": lambda o, side: o["abs"](o["u"][side]),
    "concave function": lambda o, side: 2.0 - o["abs"](o["u"][side]),
}
CONSTANT = ("parameter", "number", "array", "numpy scalar", "scipy matrix")
OPS = {"==": lambda a, b: a == b, "<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b}


def _pairs():
    for op in OPS:
        for a, b in itertools.product(KINDS, KINDS):
            if a in CONSTANT and b in CONSTANT:
                continue
            if op == "==" and "function" in a + b:
                continue
            # convex <= concave, concave >= convex
            smaller, greater = (a, b) if op != ">=" else (b, a)
            if smaller == "concave function" or greater == "convex function":
                continue
            yield op, a, b


def _namespace(pkg):
    if pkg is fh:
        m = fh.Model()
        o = dict(v=[m.variable((2, 2), "v0"), m.variable((2, 2), "v1")],
                 u=[m.variable((2, 2), "u0"), m.variable((2, 2), "u1")],
                 p=m.parameter((2, 2), "p", value=C + 0.1), abs=fh.abs, model=m)
    else:
        o = dict(v=[cp.Variable((2, 2)), cp.Variable((2, 2))], u=[cp.Variable((2, 2)), cp.Variable((2, 2))],
                 p=cp.Parameter((2, 2), value=C + 0.1), abs=cp.abs)
    return o


TARGET = np.array([[1.0, -2.0], [0.3, 2.0]])


@pytest.mark.parametrize("op, a, b", list(_pairs()))
def test_every_pairing_of_operands_means_what_is_written(op, a, b):
    o, oc = _namespace(fh), _namespace(cp)
    m = o["model"]
    c = m.add(OPS[op](KINDS[a](o, 0), KINDS[b](o, 1)))
    cc = OPS[op](KINDS[a](oc, 0), KINDS[b](oc, 1))
    # a strictly convex objective: one solution, one set of duals
    m.minimize(sum(fh.sum_squares(x - k * TARGET) for k, x in enumerate(o["v"] + o["u"], 1)))
    prob = cp.Problem(cp.Minimize(sum(cp.sum_squares(x - k * TARGET) for k, x in enumerate(oc["v"] + oc["u"], 1))),
                      [cc])
    m.solve(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    prob.solve(solver=cp.CLARABEL, tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    assert m.status == prob.status == "optimal"
    np.testing.assert_allclose(m.value, prob.value, rtol=1e-6, atol=1e-7)
    expected = -cc.dual_value if op == "==" else cc.dual_value
    np.testing.assert_allclose(np.asarray(c.dual).reshape(2, 2), np.asarray(expected).reshape(2, 2),
                               rtol=1e-5, atol=1e-6)
    # the statement reads as written when both sides are expressions
    if a not in CONSTANT and b not in CONSTANT:
        left = repr(KINDS[a](o, 0)) if a != "variable" else "v0"
        assert repr(c).startswith(left[:2]), (repr(c), left)
