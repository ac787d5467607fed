"""Expressions of parts of variables (boxes and picks of a variable, one
term per element) and their sums and scalings are laid out without the
general stack passes. Each random statement's flat problem must be bit for
bit the one the general passes give (every operand made to look like any
other expression), and its rows what numpy computes."""
import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as hs

import fragments_host as fh
import fragments_host.deferred as deferred
import fragments_host.stacks as st

SHAPE = (4, 5)
BOX = (3, 4)

# leaves: a box of X or Y at an offset, a pick of X, a constant with or
# without zeros, a scalar spread; nodes: sums, differences, scalings
LEAF = hs.one_of(
    hs.tuples(hs.just("box"), hs.sampled_from("XY"), hs.integers(0, 1), hs.integers(0, 1)),
    hs.tuples(hs.just("pick"), hs.permutations(range(20)).map(lambda p: tuple(p[:12]))),
    hs.tuples(hs.just("const"), hs.lists(hs.sampled_from([0.0, 1.5, -2.0, 3.25]), min_size=12, max_size=12)),
    hs.tuples(hs.just("scalar"), hs.sampled_from([0.0, 0.7, -1.0])),
)
TREE = hs.recursive(LEAF, lambda kids: hs.one_of(
    hs.tuples(hs.sampled_from(["+", "-"]), kids, kids),
    hs.tuples(hs.just("*"), hs.sampled_from([0.0, -1.0, 0.1, 3.0, 1e-3]), kids)), max_leaves=8)


def _build(tree, X, Y):
    """The expression (shape BOX) and its numpy twin: (coefficients over
    [X, Y] per element, constant per element)."""
    nx = X.size + Y.size
    op = tree[0]
    if op == "box":
        V, (a, b) = (X if tree[1] == "X" else Y), tree[2:]
        e = V[a:a + BOX[0], b:b + BOX[1]]
        cols = np.arange(V.size).reshape(SHAPE)[a:a + BOX[0], b:b + BOX[1]].ravel() + (0 if V is X else X.size)
        A = np.zeros((e.size, nx))
        A[np.arange(e.size), cols] = 1.0
        return e, A, np.zeros(e.size)
    if op == "pick":
        idx = np.array(tree[1])
        e = X.pick(np.column_stack(np.unravel_index(idx, SHAPE))).reshape(BOX)
        A = np.zeros((idx.size, nx))
        A[np.arange(idx.size), idx] = 1.0
        return e, A, np.zeros(idx.size)
    if op in ("const", "scalar"):
        c = np.array(tree[1], float) * np.ones(12)
        return None, np.zeros((12, nx)), c
    if op == "*":
        e, A, c = _build(tree[2], X, Y)
        return (None if e is None else tree[1] * e), tree[1] * A, tree[1] * c
    (e1, A1, c1), (e2, A2, c2) = _build(tree[1], X, Y), _build(tree[2], X, Y)
    s = 1.0 if op == "+" else -1.0
    if e1 is None and e2 is None:
        return None, A1 + s * A2, c1 + s * c2
    if e1 is None:
        e = (c1.reshape(BOX) + e2) if s > 0 else (c1.reshape(BOX) - e2)
    elif e2 is None:
        e = e1 + s * c2.reshape(BOX)
    else:
        e = e1 + e2 if s > 0 else e1 - e2
    return e, A1 + s * A2, c1 + s * c2


def _flat(tree, general):
    m = fh.Model()
    X, Y = m.variable(SHAPE, "X"), m.variable(SHAPE, "Y")
    e, A, c = _build(tree, X, Y)
    if e is None:
        return None
    m.add(e == 0, e >= 1.0)
    # a linear objective of totals and elements: q as numpy gives it
    m.minimize(-2.0 * (0.5 * e.sum() - X.sum()) - 3.0 - Y[1, 2])
    q, Af, b, cones = m.flat_problem()
    qn = -A.sum(axis=0) + np.r_[np.full(X.size, 2.0), np.zeros(Y.size)]
    qn[X.size + 7] -= 1.0
    np.testing.assert_allclose(q, qn, atol=1e-12)
    return (Af, b, q), (A, c)


@settings(max_examples=150, deadline=None, derandomize=True, database=None)
@given(TREE)
# a pick and a box of X that meet the same element at positions 0 .. 3
@example(("-", ("*", 3.0, ("box", "X", 0, 0)), ("pick", tuple(range(12)))))
def test_sums_of_variable_parts_are_the_general_passes(tree):
    fast = _flat(tree, False)
    if fast is None:
        return
    general = _general(_flat, tree, True)
    (Af, b, q), (A, c) = fast
    (Ag, bg, qg), _ = general
    np.testing.assert_array_equal(q.view(np.uint64), qg.view(np.uint64))
    _same_columns(Af, Ag)
    Af, Ag = Af.toarray(), Ag.toarray()
    np.testing.assert_array_equal(b.view(np.uint64), bg.view(np.uint64))
    # the rows against numpy: A x + s = b, s = e (== rows) then e - 1 (>= rows)
    np.testing.assert_allclose(Af, -np.vstack([A, A]), atol=1e-12)
    np.testing.assert_allclose(b, np.r_[c, c - 1.0], atol=1e-12)


def _same_columns(Af, Ag):
    """The compressed columns themselves: each position once, the same
    order, the same values (a repeated position's sum may differ in the
    sign of a zero only: summed before or after the matrix is negated)."""
    for got, want in ((Af.indptr, Ag.indptr), (Af.indices, Ag.indices), (Af.data, Ag.data)):
        np.testing.assert_array_equal(got, want)


def _boxes_of_two_shapes(general):
    """Boxes of one variable of different shapes read as one shape meet
    the same elements at some positions (W[0, 0], W[0, 1] here)."""
    m = fh.Model()
    W = m.variable((4, 4), "W")
    m.add(W[0:2, :].reshape(8) - 2.0 * W[:, 0:2].reshape(8) + W[1:3, :].reshape(8) >= 0)
    return m.flat_problem()[1]


def _boxes_of_a_symmetric_variable(general):
    """Boxes of a semidefinite variable at mirrored corners: S[0, 1] and
    S[1, 0] are one column."""
    m = fh.Model()
    S = m.semidefinite(3)
    m.add(S[0:2, 1:3] + 3.0 * S[1:3, 0:2] <= 1.0)
    return m.flat_problem()[1]


def _a_number_spread_twice(general):
    """A scalar variable spread twice beside a box: d twice in every row."""
    m = fh.Model()
    X, d = m.variable((4, 5), "X"), m.variable(name="d")
    m.add(X[1:, :] - d - d >= 0)
    return m.flat_problem()[1]


def _a_product_picking_the_box(general):
    """A matrix of one entry per row picking elements of X beside a box of
    X: the picked element is the box's at some positions."""
    import scipy.sparse as sp
    m = fh.Model()
    X = m.variable((4, 5), "X")
    M = sp.csr_matrix((np.ones(12), (np.arange(12), (np.arange(12) * 7) % 20)), shape=(12, 20))
    m.add(X[0:3, 0:4] - 2.0 * (M @ X.reshape(20)).reshape((3, 4)) <= 1.0)
    return m.flat_problem()[1]


@pytest.mark.parametrize("build", [_boxes_of_two_shapes, _boxes_of_a_symmetric_variable, _a_number_spread_twice,
                                   _a_product_picking_the_box])
def test_boxes_meeting_one_element_are_the_general_passes(build):
    _same_columns(build(False), _general(build, True))


def _general(build, *args):
    """build(*args) with every operand taken as any other expression."""
    with pytest.MonkeyPatch.context() as mp:
        # every operand as any other expression: no flag of one term per
        # element, so boxes, picks and sums take the general passes
        plain = st._unit

        def unflagged(*a):
            e = plain(*a)
            e.unit = e.single = False
            return e
        mp.setattr(st, "_unit", unflagged)
        mp.setattr(deferred, "_flat_sum", lambda a: None)
        mp.setattr(deferred, "_scalar_sum", lambda a: None)
        mp.setattr(deferred, "flat_sum_apart", lambda a: None)
        return build(*args)


def test_shared_runs_stay_untouched():
    """The row pointer and coefficients every part of a variable shares are
    read-only, and a model's build leaves them as they were."""
    m = fh.Model()
    X = m.variable((30, 30), "X")
    m.add(X[1:, :] - 2 * X[:-1, :] >= 1, X[0, :] == 0)
    m.minimize(X.sum())
    ptr, ones = st.unit_runs(900)
    assert not ptr.flags.writeable and not ones.flags.writeable
    m.flat_problem()
    np.testing.assert_array_equal(ptr, np.arange(901))
    np.testing.assert_array_equal(ones, np.ones(900))
