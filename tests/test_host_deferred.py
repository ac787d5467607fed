"""Recorded expressions and the build's shortcuts give the flat problem bit
for bit as evaluating every constraint on its own does: runs of alike
constraints taken together (deferred.rows_of_run), a cone's joined pieces
routed one after the other and a piece's constant applied to b afterwards
(translate._parts). Each model below is built twice, once with the
shortcuts switched off, and the arrays compared bitwise."""
import numpy as np
import pytest
import scipy.sparse as sp

import fragments_host as fh
from fragments_host import deferred, stacks, terms, translate


def _rows(fh, m, x, y, X, rng, i):
    """One member of a run: every recorded operation, on constants drawn for
    member i and on operands shared by the run, and a product of an operand
    that differs per member (each member's own window of X)."""
    a, c = rng.normal(size=4), rng.normal(size=(3, 4))
    c[0, 1] = 0.0
    return [
        fh.soc(rng.normal() - a @ x, c @ x + 1.0),
        (a[:3] * x[:3] - X[1, :]) <= rng.normal(size=3),
        fh.soc(x[i % 4], fh.concatenate([X[:, 2], -y]), ),
        (2.0 * X.T).sum(axis=0) == c.sum(axis=1)[:1] * x[1:3].sum(),
        fh.rsoc(y[0], y[1] + 1.0, sp.csr_matrix(c) @ x),
        fh.exp_cone(x[0] + a[0], 1.0, y[1]),
        X[1:, :].sum() + a[1] * y.sum() >= -5.0,
        fh.soc(x[0] + 5.0, (c @ x)[1:]),
        (c[:, :3] @ X).sum(axis=1) <= 1.0,
        fh.soc(y[1] + 9.0, (c[:, :3] @ X)[1:, :2].T.reshape(4)),
        x[:3] <= rng.normal(),              # each member's number spread over three rows
        fh.soc(x[3] + 4.0, rng.normal(size=(2, 5)) @ (X.reshape(9)[i % 4:i % 4 + 5] - 1.0)),
        # numpy's indexing and broadcasting: positions of each member's own
        (X[::-1, [2, 0]] - (x[:2] + rng.normal(size=2))).sum(axis=0) <= rng.normal(size=2),
        fh.soc(y[0] + 3.0, ((X - rng.normal(size=(3, 3)))[i % 3, ::2] * rng.normal(size=(2, 1))).reshape(-1)),
        # rearrangements of a variable (transposes, steps, ellipses, picks,
        # broadcasts) and its sums along an axis, laid out from its columns
        (X.T[:, ::-1] - x[:3]).sum(axis=1) + X.sum(axis=0) <= rng.normal(size=3),
        fh.soc(y[0] + 6.0, X[..., 1:].T.reshape(6) + x[i % 4]),
        X[[2, 0], :][:, None, :].sum(axis=(0, 1)) - y[1] >= rng.normal(size=3),
        # numbers times a variable vector as term lists, zeros left out
        fh.soc(rng.normal() - (a * (np.arange(4) != i % 4)) @ x, c @ x),
    ]


def model_of(seed, runs=5):
    rng = np.random.default_rng(seed)
    m = fh.Model()
    x, y, X = m.variable(4), m.variable(2, lb=-3.0), m.variable((3, 3))
    shared = X @ np.ones(3)
    members = [_rows(fh, m, x, y, X, rng, i) for i in range(runs)]
    for j in range(len(members[0])):        # each kind a run of alike members
        m.add(*[rows[j] for rows in members])
    m.add(*[shared[i % 3] <= float(i) for i in range(runs)])
    # one cone stated twice with the very same operands: a run of identical
    # members, each of which keeps its own rows
    same = (y[1:2].sum() + 9.0, X[2, :] - 1.0)
    m.add(fh.soc(*same), fh.soc(*same))
    # a sum accumulated in a loop is computed as it grows, not recursed
    s = 0.0
    for i in range(200):
        s = s + x[i % 4] * (1.0 + i)
    m.add(s <= 1.0)
    # sums of parts of variables stated once: laid out from their columns,
    # a part stated twice folded into its first
    m.add(2.0 * X[:2, :2] - 3.0 * X[1:, 1:] + X[:2, :2] == rng.normal(size=(2, 2)),
          x[:3] - 0.5 * x[1:] + y[0] <= 2.0)
    big = rng.normal(size=(70, 70))
    z = m.variable(70, lb=-1.0, ub=1.0)
    m.add(fh.soc(y[0] + 10.0, big @ z - rng.normal(size=70)))
    m.minimize(x.sum() + y[0] + z.sum())
    return m


def _general(e):
    """The same blocks without the mark of one term of coefficient 1 per
    element (the kernels' route for any expression)."""
    g = stacks.Expr(e.model, e.shape, e.ptr, e.nidxs, e.cof, e.codeptr, e.code, e.cconst)
    g.clean, g.distinct, g.rows_distinct = e.clean, e.distinct, e.rows_distinct
    return g


def flat(m):
    q, A, b, cones = m.flat_problem()
    return dict(q=q, data=A.data, indices=A.indices, indptr=A.indptr, b=b), cones


def bits(a):
    a = np.asarray(a)
    return a.view(np.uint64) if a.dtype == np.float64 else a


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_shortcuts_give_the_flat_problem_bitwise(seed, monkeypatch):
    fast, fast_cones = flat(model_of(seed))
    monkeypatch.setattr(deferred, "rows_of_run", lambda exprs: None)
    monkeypatch.setattr(translate, "_parts", lambda r: [(r._e, None)])
    # rearrangements and axis sums of variables through the general kernels
    monkeypatch.setattr(deferred, "_VIEWS", frozenset())
    one, many = deferred._UNARY["sum"]
    monkeypatch.setitem(deferred._UNARY, "sum", (lambda e, axis: one(_general(e), axis), many))
    # sums of parts of variables laid out column by column
    monkeypatch.setattr(stacks, "_unit_sum", stacks._laid_sum)
    # products of numbers and a variable vector recorded, not term lists
    monkeypatch.setattr(terms, "_vector_times_variable", lambda var, M: None)
    monkeypatch.setattr(terms, "_product_rows", lambda M, var, shape: None)
    slow, slow_cones = flat(model_of(seed))
    assert fast_cones == slow_cones
    for k in fast:
        assert fast[k].shape == slow[k].shape, k
        np.testing.assert_array_equal(bits(fast[k]), bits(slow[k]), err_msg=k)


def test_runs_are_taken_together(monkeypatch):
    """The run shortcut is really taken (else the comparison above proves
    nothing), and a member stated differently breaks the run."""
    seen = []
    real = deferred.rows_of_run
    monkeypatch.setattr(deferred, "rows_of_run", lambda exprs: seen.append(len(exprs)) or real(exprs))
    m = fh.Model()
    x = m.variable(3)
    for i in range(6):
        m.add(fh.soc(float(i) - np.ones(3) @ x, np.eye(3)[i % 3] * x))
    m.add(fh.soc(1.0 - np.ones(3) @ x, 2.0 * x))
    m.minimize(x.sum())
    m.flat_problem()
    assert seen == [6]


def test_a_reused_array_does_not_change_what_was_stated():
    m = fh.Model()
    x = m.variable(3)
    v, M, c = np.ones(3), np.eye(3), np.full(3, 2.0)
    rows = [v @ x <= 1.0, M @ x >= c]
    v[:], M[:], c[:] = 7.0, 5.0, 9.0
    m.add(*rows)
    m.minimize(x.sum())
    _, A, b, _ = m.flat_problem()
    np.testing.assert_array_equal(A.toarray(), np.vstack([np.ones((1, 3)), -np.eye(3)]))
    np.testing.assert_array_equal(b, [1.0, -2.0, -2.0, -2.0])


def test_batched_values_against_numpy():
    """Expressions stated in a loop keep their own values after a solve."""
    rng = np.random.default_rng(5)
    m = fh.Model()
    x = m.variable(4, lb=-1.0, ub=1.0)
    A, b = rng.normal(size=(6, 4)), rng.normal(size=6)
    es = [b[i] - A[i] @ x for i in range(6)]
    for e in es:
        m.add(e >= -10.0)
    m.minimize(x.sum())
    m.solve()
    np.testing.assert_allclose([e.value for e in es], b - A @ x.value, rtol=0, atol=1e-12)


@pytest.mark.parametrize("consts", [[], [1.0, -1.0], [-2.5, 2.5], [0.1, 0.2], [1e300, 1e300], [3.0]])
def test_constants_of_rows_keep_their_signed_zeros(consts):
    """b of a row is minus the sum, from +0, of its negated constants, in
    the order they were stated (a row's constants summing to zero give b
    = -0, as they always did)."""
    m = fh.Model()
    x = m.variable(2)
    e = x[0] + 0.0 * 1
    for c in consts:
        e = e + c
    m.add(e >= 0, fh.soc(e, x))
    m.minimize(x.sum())
    _, _, b, _ = m.flat_problem()
    s = 0.0
    for c in consts:
        s = s + (-1.0 * c)
    want = -1.0 * s
    np.testing.assert_array_equal(bits(b[[0, 1]]), bits(np.array([want, want])))


@pytest.mark.parametrize("chunk", [1, 3, 50])
def test_rows_split_and_transposed_in_chunks(chunk, monkeypatch):
    """The solver's rows split and transposed a few at a time give the flat
    problem of the whole at once."""
    whole, whole_cones = flat(model_of(4))
    monkeypatch.setattr(translate, "CHUNK", chunk)
    monkeypatch.setattr(translate, "_split_and_transpose", _counting(translate._split_and_transpose))
    parts, cones = flat(model_of(4))
    assert cones == whole_cones and CALLS[-1] > 1
    for k in whole:
        np.testing.assert_array_equal(bits(parts[k]), bits(whole[k]), err_msg=k)


CALLS = []


def _counting(f):
    """f, noting how many transposing scatters one call ran."""
    def g(*args):
        real, n = translate.kn.transpose_scatter, [0]

        def counted(*a):
            n[0] += 1
            return real(*a)
        translate.kn.transpose_scatter = counted
        try:
            return f(*args)
        finally:
            translate.kn.transpose_scatter = real
            CALLS.append(n[0])
    return g


@pytest.mark.parametrize("window", [2, 3, 5])
def test_repeated_positions_counted_a_window_at_a_time(window, monkeypatch):
    """Rows that hold a variable twice (x + x, unmerged) are summed into one
    entry whatever the window the position changes are counted in."""
    def model():
        m = fh.Model()
        x = m.variable(4)
        m.add(x + x + np.arange(4.0) * x <= 1.0, fh.soc(x[0] + 3.0, x[1:] - x[:3] + x[1:]))
        m.minimize(x.sum())
        return flat(m)
    whole, _ = model()
    monkeypatch.setattr(translate, "WINDOW", window)
    parts, _ = model()
    for k in whole:
        np.testing.assert_array_equal(bits(parts[k]), bits(whole[k]), err_msg=k)
    assert len(whole["data"]) == 4 + 1 + 6          # x + x summed, not kept twice


def test_index_runs_of_dense_matrices_stay_within_their_budget(monkeypatch):
    """The index runs kept for full dense matrices never hold more than
    their budget, whatever shapes come, and products stay right."""
    from fragments_host import stacks
    monkeypatch.setattr(stacks, "_FULL", {})
    monkeypatch.setattr(stacks, "FULL_BYTES", 3000)
    m = fh.Model()
    x = m.variable(30)
    rng = np.random.default_rng(8)
    Ms = [rng.uniform(1.0, 2.0, size=(k, 30)) for k in (5, 9, 7, 5, 9, 13, 17)]
    for M in Ms:
        m.add(M @ x <= 1.0)
    _, A, _, _ = m.flat_problem()
    held = sum(r.nbytes + c.nbytes for r, c in stacks._FULL.values())
    assert 0 < held <= 3000
    np.testing.assert_array_equal(A.toarray(), np.vstack(Ms))


def _columns_pass_counter(monkeypatch):
    """Notes, per build, whether the solver's columns were kept to decide
    which positions repeat (1) or the rows alone showed them distinct (0)."""
    real, seen = translate._split_and_transpose, []

    def counted(*args):
        out = real(*args)
        seen.append(int(out[1] is not None))
        return out
    monkeypatch.setattr(translate, "_split_and_transpose", counted)
    return seen


@pytest.mark.parametrize("case, dense, cols_written", [
    # x alone in one row: the ends of its columns share that row
    ("(x + 0.0).sum() == 1", [[-1, -1, -1, 0, 0, 0]], 1),
    # ... unless the row is a total of a variable: none of its elements twice
    ("x.sum() == 1", [[-1, -1, -1, 0, 0, 0]], 0),
    # a variable twice in a row, unmerged: summed into one entry
    ("x[0] + x[0] + 3 * x[1] <= 2", [[2, 3, 0, 0, 0, 0]], 1),
    # every column's ends in rows of their own: the rows alone tell
    ("fh.soc(z[0], x)", [[0, 0, 0, -1, 0, 0], [-1, 0, 0, 0, 0, 0], [0, -1, 0, 0, 0, 0],
                         [0, 0, -1, 0, 0, 0]], 0),
    # parameters: the table needs the columns
    ("p * x[0] + x[1] <= 1", [[0, 1, 0, 0, 0, 0]], 1),
])
def test_rows_alone_or_columns_decide_distinct_positions(case, dense, cols_written, monkeypatch):
    """The columns decide the positions only when the rows alone cannot
    show that every position of the solver's matrix is distinct, and the
    matrix is the one stated either way (repeated positions summed)."""
    seen = _columns_pass_counter(monkeypatch)
    m = fh.Model()
    x, z = m.variable(3), m.variable(3)
    p = m.parameter((), "p")
    p.value = 0.0
    m.add(eval(case))
    m.minimize(x.sum())
    _, A, _, _ = m.flat_problem()
    assert sum(seen) == cols_written
    np.testing.assert_array_equal(A.toarray(), np.array(dense, float))
    assert A.has_canonical_format


@pytest.mark.parametrize("operand", ["x", "X", "x + 2.0 * x + 1.0", "X.T.reshape(12)[:4] - x", "(X + 1.0)",
                                     "x * 0.0"])
@pytest.mark.parametrize("zeros", [False, True])
def test_product_sizes_known_without_the_size_pass(operand, zeros):
    """The sizes of M . E taken from M's entry count (every operand
    element one term, or every position of M stored) equal the size
    kernel's count."""
    from fragments_host import stacks as st
    rng = np.random.default_rng(3)
    m = fh.Model()
    x, X = m.variable(4), m.variable((4, 3))
    e = eval(operand)._e
    M = rng.uniform(1.0, 2.0, size=(5, e.shape[0]))
    if zeros:
        M[1, 2] = M[3, 0] = 0.0
    si, sj = st.matrix_triplets(M)[1:3]
    W = st.WStack([e])
    p = st.size_of(e.shape[1:])
    E, P, T = st.left_product_sizes(W, W.ops[0], e, 5, si, sj, p)
    r = st.left_matmul(M, e)
    assert (r.n, r.m) == (E, T) and P == 0


def test_names_of_a_long_chain_are_written_out_and_hold_no_operands():
    """A sum accumulated in a loop gets the name the operations spell out
    (written on first use, without recursing), and its early terms are
    freed once the chain is computed along the way."""
    import gc
    import weakref
    m = fh.Model()
    x = m.variable(4, "x")
    # one-element slices (an element picked by an integer is a term list,
    # whose sums are flat lists, not chains)
    e = [x[k:k + 1] for k in range(4)]
    s = e[0] * 1.0
    first = weakref.ref(s)
    for i in range(1, 3 * deferred.DEEP):
        s = s + e[i % 4]
    gc.collect()
    assert first() is None
    assert repr(s) == "1*x[0:1]" + "".join(f" + x[{i % 4}:{i % 4 + 1}]" for i in range(1, 3 * deferred.DEEP))
    c = s <= 1.0
    assert c.name == repr(s) + " <= 1"
    long = e[0] * 1.0
    for i in range(5000):
        long = long - e[i % 4]
    assert repr(long).endswith(" - x[3:4]") and "(" not in repr(long)


def _with_parameters(seed):
    """Clean products of variables beside rows with programs, bounds and
    constants: every kind of segment the scatter reads."""
    rng = np.random.default_rng(seed)
    m = fh.Model()
    x, z = m.variable(5, lb=-1.0), m.variable(40, lb=-2.0, ub=3.0)
    p, q = m.parameter((), "p"), m.parameter(5, "q")
    p.value, q.value = 0.5, rng.normal(size=5)
    M, S = rng.normal(size=(30, 40)), sp.random(50, 40, density=0.2, random_state=seed, format="csr")
    m.add(M @ z <= 1.0, p * x[0] + x[1] == 0.5, fh.soc(x[2], S @ z - 1.0), q * x + M[:5] @ z >= -1.0,
          fh.soc(x[3], M[:, :5] @ x))
    m.minimize(x.sum() + z.sum())
    return m


@pytest.mark.parametrize("model", [model_of, _with_parameters])
@pytest.mark.parametrize("seed", [0, 3])
def test_blocks_scattered_where_they_lie_give_the_split_bitwise(model, seed, monkeypatch):
    """Blocks whose terms stand as the solver takes them (variables and
    constant-matrix products of them) are scattered from the block itself
    and negated with the whole matrix at the end: the flat problem is bit
    for bit the one of splitting every block."""
    taken = []
    real = translate._direct
    monkeypatch.setattr(translate, "_direct", lambda b: taken.append(real(b)) or real(b))
    fast, fast_cones = flat(model(seed))
    assert any(taken)
    monkeypatch.setattr(translate, "_direct", lambda b: False)
    slow, slow_cones = flat(model(seed))
    assert fast_cones == slow_cones
    for k in fast:
        np.testing.assert_array_equal(bits(fast[k]), bits(slow[k]), err_msg=k)


def test_a_product_meeting_a_variable_twice_in_a_row_is_merged(monkeypatch):
    """A product of a semidefinite variable's elements (X[0, 1] and X[1, 0]
    are one column) meets that column twice in a row: the columns are
    looked at and the two entries summed, where a product of a plain
    variable's elements is known to hold each column once per row."""
    seen = _columns_pass_counter(monkeypatch)
    m = fh.Model()
    X, x = m.semidefinite(2), m.variable(4)
    M = np.array([[1.0, 2.0, 3.0, 4.0]])
    assert not (M @ X.reshape(4))._e.rows_distinct and (M @ x)._e.rows_distinct
    m.add(M @ X.reshape(4) <= 1.0)
    m.minimize(X[0, 0])
    _, A, _, _ = m.flat_problem()
    assert seen == [1] and A.has_canonical_format
    np.testing.assert_array_equal(A.toarray()[0], [1.0, 5.0, 4.0, 0, 0, 0, 0])
    seen.clear()
    m = fh.Model()
    x = m.variable(4)
    m.add(np.array([[1.0, 2.0, 3.0, 4.0]]) @ x <= 1.0, fh.soc(x[0], np.ones((2, 4)) @ x))
    m.minimize(x[0])
    m.flat_problem()
    assert seen == [0]
