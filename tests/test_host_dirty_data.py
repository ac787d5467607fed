"""Dirty data. Hypothesis draws small models, some with one flaw in their data
(a NaN or an infinity in a constant, complex numbers, float indices or sizes,
a malformed scipy sparse matrix) and some whose data only look odd (an
infinite bound on its open side, unsorted or duplicate sparse entries, numpy
integer sizes, parts of size 0). A flawed statement must be refused with an
exception before any solver is set up; any other solves to CVXPY + Clarabel's
answer. Each statement runs in a forked child, so that a matrix read out of
bounds fails its own case instead of ending the run."""
import os
import pickle

import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")
clarabel = pytest.importorskip("clarabel")
sp = pytest.importorskip("scipy.sparse")
pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, Phase, given, settings, strategies as hs  # noqa: E402

import fragments_host as fh  # noqa: E402

DataError = getattr(fh, "DataError", ValueError)
BAD = [np.nan, np.inf, -np.inf]
CLEAN = ["none", "open_bound", "sparse_ok", "int_size", "zero_size"]
FLAWED = dict.fromkeys(["bad_matrix", "bad_vector", "bad_rhs", "bad_cone_t", "bad_cone_c", "bad_psd", "nan_bound",
                        "wrong_inf_bound", "nan_param", "nan_huber", "complex", "sparse_index_high",
                        "sparse_index_negative", "sparse_indptr_order", "sparse_indptr_length", "sparse_data_length",
                        "sparse_bad_data"], DataError)
FLAWED.update(float_pick=IndexError, float_bound_index=IndexError, float_size=TypeError)
# where a flawed constant goes: (part of the model, position in the part); nan_* kinds take NaN, bad_* NaN or +-inf
SPOTS = {"bad_matrix": [("A",)], "bad_vector": [("b",), ("c",)], "bad_rhs": [("lin", 1)], "bad_cone_t": [("cone", 1)],
         "bad_cone_c": [("cone", 2)], "bad_psd": [("psd", 0)], "nan_param": [("param", 1)], "nan_huber": [("huber",)]}


def sparse_form(A, form):
    """A as a valid scipy matrix: csr, csc, coo, csr with each row's entries
    in falling column order, or csr / coo holding every entry twice (0.3 and
    0.7 of it), which scipy sums."""
    if form in ("csr", "csc", "coo"):
        return getattr(sp, form + "_matrix")(A)
    C = sp.coo_matrix(A)
    if form == "duplicates_coo":
        return sp.coo_matrix((np.r_[0.3 * C.data, 0.7 * C.data], (np.r_[C.row, C.row], np.r_[C.col, C.col])),
                             shape=C.shape)
    order = np.lexsort((-C.col, C.row)) if form == "unsorted" else np.repeat(np.lexsort((C.col, C.row)), 2)
    data = C.data[order] * (1.0 if form == "unsorted" else np.tile([0.3, 0.7], C.nnz))
    indptr = np.searchsorted(C.row[order], np.arange(C.shape[0] + 1))
    return sp.csr_matrix((data, C.col[order], indptr), shape=C.shape)


@hs.composite
def statements(draw, kind):
    """(stated, clean): the data the host is given and the data CVXPY states
    (bounds as dense arrays, +-inf where an element is unbounded)."""
    pick = lambda seq: draw(hs.sampled_from(seq))  # noqa: E731
    rng = np.random.default_rng(draw(hs.integers(0, 2**32 - 1)))
    n, k, side = draw(hs.integers(1, 4)), draw(hs.integers(1, 4)), pick(["left", "right"])
    lo, hi = -rng.uniform(0.3, 2, n), rng.uniform(0.3, 2, n)
    d = dict(n=n, side=side, A=rng.normal(size=(k, n) if side == "left" else (n, k)), b=rng.normal(size=k),
             c=rng.normal(size=n), zero=False)
    need = "pick" if kind == "float_pick" else SPOTS.get(kind, [(None,)])[0][0]
    has = lambda part: part == need or draw(hs.booleans())  # noqa: E731
    # x = 0 lies strictly inside every part: the base model is feasible
    d["cone"] = (pick(["soc", "norm"]), rng.uniform(0.3, 1), rng.uniform(-0.1, 0.1, n)) if has("cone") else None
    d["lin"] = (rng.normal(size=(2, n)), rng.uniform(0.1, 1, 2)) if has("lin") else None
    d["pick"] = (rng.integers(0, n, (2, 1)).astype(pick([np.int64, np.int32])), rng.uniform(0.1, 1, 2)) \
        if has("pick") else None
    B, D = rng.normal(size=(2, 2)), rng.normal(size=(2, 2))
    d["psd"] = ((B + B.T) / 2, (D + D.T) / 2) if has("psd") else None
    d["param"] = pick([("vec", rng.normal(size=n)), ("nonneg", rng.uniform(0, 1))]) if has("param") else None
    d["huber"] = rng.uniform(0.5, 2) if has("huber") else None
    stated = dict(d)
    for key, dense, values, inf in (("lb", "lo", lo, -np.inf), ("ub", "hi", hi, np.inf)):
        form = "sparse" if kind == "float_bound_index" and key == "ub" else pick(["scalar", "dense", "sparse"])
        if form == "scalar":
            stated[key], d[dense] = float(values[0]), np.full(n, values[0])
        elif form == "dense":
            stated[key], d[dense] = values.copy(), values
        else:
            listed = sorted(draw(hs.sets(hs.integers(0, n - 1), min_size=1)))
            stated[key], d[dense] = ([[i] for i in listed], values[listed]), np.full(n, inf)
            d[dense][listed] = values[listed]

    def poke(key, value):
        """value into one place of the stated bound (and of the clean one)."""
        given, dense = stated[key], d["lo" if key == "lb" else "hi"]
        if isinstance(given, tuple):
            j = draw(hs.integers(0, len(given[1]) - 1))
            stated[key] = (given[0], np.where(np.arange(len(given[1])) == j, value, given[1]))
            dense[given[0][j][0]] = value
        elif np.ndim(given) == 0:
            stated[key], dense[:] = value, value
        else:
            i = draw(hs.integers(0, n - 1))
            stated[key] = np.where(np.arange(n) == i, value, given)
            dense[i] = value

    def spoiled(a, value):
        a = np.array(a, dtype=np.result_type(a, value))
        a.reshape(-1)[draw(hs.integers(0, a.size - 1))] = value
        return a[()] if a.ndim == 0 else a

    if kind in SPOTS:
        key, *at = pick(SPOTS[kind])
        value = np.nan if kind.startswith("nan") else pick(BAD)
        if at:
            part = list(d[key])
            part[at[0]] = spoiled(part[at[0]], value)
            stated[key] = tuple(part)
        else:
            stated[key] = spoiled(d[key], value)
    elif kind == "open_bound":
        key = pick(["lb", "ub"])
        poke(key, -np.inf if key == "lb" else np.inf)
    elif kind == "sparse_ok":
        d["A"] = d["A"] * (rng.random(d["A"].shape) > 0.3)
        stated["A"] = sparse_form(d["A"], pick(["csr", "csc", "coo", "unsorted", "duplicates_csr",
                                                "duplicates_coo"]))
    elif kind == "int_size":
        stated["n"] = pick([np.int64, np.int32, np.uint8])(n)
    elif kind == "zero_size":
        stated["zero"] = True
    elif kind in ("nan_bound", "wrong_inf_bound"):
        key = pick(["lb", "ub"])
        poke(key, np.nan if kind == "nan_bound" else np.inf if key == "lb" else -np.inf)
    elif kind == "complex":
        key = pick(["A", "b", "c"])
        stated[key] = d[key] + pick([1j, 0.5j])
    elif kind.startswith("sparse_"):
        M = sp.csr_matrix(d["A"]) if pick(["csr", "csc"]) == "csr" else sp.csc_matrix(d["A"])
        minor, j = M.shape[1] if M.format == "csr" else M.shape[0], draw(hs.integers(0, M.nnz - 1))
        if kind == "sparse_index_high":
            M.indices[j] = pick([minor, minor + 1, 100000])
        elif kind == "sparse_index_negative":
            M.indices[j] = pick([-1, -minor, -100000])
        elif kind == "sparse_indptr_order":   # every row or column of A holds entries: indptr rises strictly
            M.indptr[-2:] = M.indptr[-2:][::-1].copy()
        elif kind == "sparse_indptr_length":
            M.indptr = pick([M.indptr[:-1], np.append(M.indptr, M.nnz)])
        elif kind == "sparse_data_length":
            which = pick(["data", "indices"])
            setattr(M, which, getattr(M, which)[:-1])
        else:
            M.data[j] = pick(BAD)
        stated["A"] = M
    elif kind == "float_pick":
        stated["pick"] = (d["pick"][0] + pick([0.5, 0.7]), d["pick"][1])
    elif kind == "float_bound_index":
        stated["ub"] = (np.asarray(stated["ub"][0], float) + pick([0.3, 0.7, 0.9]), stated["ub"][1])
    elif kind == "float_size":
        stated["n"] = n + 0.5
    return stated, d


def model(d, host):
    """The model d describes, stated through the host (host=True) or CVXPY,
    and solved: (status, value, x, X)."""
    lib, X = (fh if host else cp), None
    if host:
        m = fh.Model()
        x, cons = m.variable(d["n"], "x", lb=d["lb"], ub=d["ub"]), []
    else:
        x = cp.Variable(d["n"])
        cons = [sense * (x[keep] - v[keep]) >= 0 for v, sense in ((d["lo"], 1), (d["hi"], -1))
                for keep in [np.flatnonzero(np.isfinite(v))] if keep.size]
    fit = d["A"] @ x if d["side"] == "left" else x @ d["A"]
    obj = lib.sum_squares(fit - d["b"]) + d["c"] @ x + 0.1 * lib.sum_squares(x)
    if d["cone"]:
        form, r, c0 = d["cone"]
        cons.append(fh.soc(r, x - c0) if host and form == "soc" else lib.norm(x - c0) <= r)
    if d["lin"]:
        cons.append(d["lin"][0] @ x <= d["lin"][1])
    if d["pick"]:
        idx, h = d["pick"]
        cons.append((x.pick(idx) if host else x[idx[:, 0]]) <= h)
    if d["psd"]:
        C, D = d["psd"]
        X = m.variable((2, 2), "X") if host else cp.Variable((2, 2))
        cons.append(X >> C if host else (X + X.T) / 2 - C >> 0)
        obj = obj + lib.sum_squares(X - D)
    if d["param"]:
        what, p = d["param"]
        if host:
            p, value = m.parameter(x.shape if what == "vec" else (), "p", nonneg=what == "nonneg"), p
            p.value = value
        obj = obj + (((p * x).sum() if host else p @ x) if what == "vec" else p * lib.norm(x, 1))
    if d["huber"] is not None:
        obj = obj + lib.sum(lib.huber(x - 0.3, d["huber"]))
    if not host:
        prob = cp.Problem(cp.Minimize(obj), cons)
        prob.solve(solver=cp.CLARABEL)
        return prob.status, prob.value, x.value, None if X is None else X.value
    if d["zero"]:
        z = m.variable((0,), "z")
        cons.append(z >= 0)
        m.add(*[])
        obj = obj + fh.sum_squares(z) + z.sum()
    if cons:
        m.add(*cons)
    m.minimize(obj)
    m.solve()
    return m.status, m.value, x.value, None if X is None else X.value


def in_child(fn, *args):
    """fn(*args) in a forked child (a crash there fails this case, not the
    run), with clarabel.DefaultSolver counting its calls: ("solved", result,
    calls) or ("raised", (type, message), calls)."""
    if not hasattr(os, "fork"):
        return _watched(fn, *args)
    rd, wr = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(rd)
        try:
            out = pickle.dumps(_watched(fn, *args))
        except BaseException as exc:
            out = pickle.dumps(("raised", (RuntimeError, f"outcome not returned: {exc!r}"), -1))
        with os.fdopen(wr, "wb") as f:
            f.write(out)
        os._exit(0)
    os.close(wr)
    with os.fdopen(rd, "rb") as f:
        out = f.read()
    _, status = os.waitpid(pid, 0)
    assert out, f"the statement crashed the interpreter (exit code {os.waitstatus_to_exitcode(status)})"
    return pickle.loads(out)


def _watched(fn, *args):
    real, calls = clarabel.DefaultSolver, []
    clarabel.DefaultSolver = lambda *a, **kw: calls.append(1) or real(*a, **kw)
    try:
        return "solved", fn(*args), len(calls)
    except Exception as exc:
        return "raised", (type(exc), str(exc)), len(calls)
    finally:
        clarabel.DefaultSolver = real


def check_refused(outcome, expected):
    how, what, calls = outcome
    assert how == "raised", f"accepted ({str(what)[:60]}...); expected {expected.__name__}"
    assert issubclass(what[0], expected), f"{what[0].__name__}: {what[1]} (expected {expected.__name__})"
    assert calls == 0, f"{what[0].__name__} raised only after the solver was set up"


def check_solved(outcome, want):
    how, got, calls = outcome
    assert how == "solved", f"refused a clean statement: {got[0].__name__}: {got[1]}"
    assert calls == 1, f"the watch saw {calls} solver setups for one solve"
    assert want[0] == "optimal" and got[0] == "optimal", (got[0], want[0])
    np.testing.assert_allclose(got[1], want[1], rtol=1e-5, atol=1e-5)
    for g, w in zip(got[2:], want[2:]):
        if w is not None:
            assert np.shape(g) == np.shape(w)
            np.testing.assert_allclose(g, w, rtol=1e-4, atol=1e-4)


COMMON = dict(deadline=None, derandomize=True, database=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.parametrize("kind", CLEAN)
@settings(max_examples=25, **COMMON)
@given(data=hs.data())
def test_clean_statements_solve_as_cvxpy(kind, data):
    stated, clean = data.draw(statements(kind))
    check_solved(in_child(model, stated, True), model(clean, False))


# a flaw's kind names its failure; shrinking would only re-run the statements
@pytest.mark.parametrize("kind", sorted(FLAWED))
@settings(max_examples=10, phases=(Phase.explicit, Phase.generate), **COMMON)
@given(data=hs.data())
def test_flawed_statements_refused_before_setup(kind, data):
    stated, _ = data.draw(statements(kind))
    check_refused(in_child(model, stated, True), FLAWED[kind])


def _stated(shape, make, sense="minimize", **bounds):
    """make(m, x) -> (objective, constraints) on a variable x of `shape`, solved."""
    m = fh.Model()
    x = m.variable(shape, "x", **bounds)
    obj, cons = make(m, x)
    if cons:
        m.add(*cons)
    getattr(m, sense)(obj)
    m.solve()
    return x.value


def _csr_with_column(col):
    A = sp.csr_matrix(np.arange(1.0, 13.0).reshape(3, 4))
    A.indices[4] = col
    return A


def _nan_valued(p):
    p.value = np.nan
    return p


TARGET = np.array([0.5, 2.0, -3.0])
NAN_C = np.array([[1.0, np.nan], [np.nan, 1.0]])
TABLE = [
    ("soc(nan, x) maximising", DataError, dict(shape=3, sense="maximize",
                                                make=lambda m, x: (x.sum(), [fh.soc(np.nan, x)]))),
    ("norm(x - [0, nan, 0]) <= 1", DataError, dict(shape=3, make=lambda m, x: (
        x.sum(), [fh.norm(x - [0, np.nan, 0]) <= 1]))),
    ("X >> C, NaN in C", DataError, dict(shape=(2, 2), make=lambda m, X: (fh.trace(X), [X >> NAN_C]))),
    ("(A + 1j) @ x", DataError, dict(shape=3, lb=-1, make=lambda m, x: (x.sum(), [(np.eye(3) + 1j) @ x <= 1]))),
    ("x.pick([[1.7]])", IndexError, dict(shape=3, lb=-1, make=lambda m, x: (x.pick([[1.7]]).sum(), []))),
    *[(f"csr column {col} of 4", DataError, dict(shape=4, lb=-1, make=lambda m, x, col=col: (
        x.sum(), [_csr_with_column(col) @ x <= 1]))) for col in (100000, 5, -1)],
    # a sparse constant times a parameter is checked as one times a variable
    ("csr NaN @ P @ x", DataError, dict(shape=3, lb=-1, make=lambda m, x: (
        x.sum(), [(sp.csr_matrix(NAN_C) @ m.parameter((2, 3), "P", value=np.ones((2, 3)))) @ x <= 1]))),
    ("P @ csr column 5 of 4", DataError, dict(shape=4, lb=-1, make=lambda m, x: (
        x.sum(), [(m.parameter((2, 3), "P", value=np.ones((2, 3))) @ _csr_with_column(5)) @ x <= 1]))),
    ("nonneg parameter = NaN", DataError, dict(shape=3, lb=-1, ub=1, make=lambda m, x: (
        _nan_valued(m.parameter(name="lam", nonneg=True)) * fh.norm(x, 1) + x.sum(), []))),
    ("variable(np.int64(3))", None, dict(shape=np.int64(3), lb=-1, ub=1, make=lambda m, x: (
        fh.sum_squares(x - TARGET), []))),
]


@pytest.mark.parametrize("name, expected, statement", TABLE, ids=[t[0] for t in TABLE])
def test_quoted_statements(name, expected, statement):
    outcome = in_child(lambda: _stated(**statement))
    if expected is not None:
        check_refused(outcome, expected)
        return
    xc = cp.Variable(3)
    cp.Problem(cp.Minimize(cp.sum_squares(xc - TARGET)), [xc >= -1, xc <= 1]).solve(solver=cp.CLARABEL)
    assert outcome[0] == "solved" and np.shape(outcome[1]) == (3,), outcome[1]
    np.testing.assert_allclose(outcome[1], xc.value, atol=1e-6)


@pytest.mark.parametrize("form", ["csr", "csc", "coo", "unsorted", "duplicates_csr", "duplicates_coo"])
def test_a_users_sparse_matrix_is_left_as_given(form):
    A = np.array([[1.0, 0.0, 2.0], [0.0, 3.0, 4.0]])
    S = sparse_form(A, form)
    arrays = {k: getattr(S, k).copy() for k in ("data", "indices", "indptr", "row", "col") if hasattr(S, k)}
    m = fh.Model()
    x = m.variable(3, "x", lb=-1.0, ub=1.0)
    m.minimize(fh.sum_squares(S @ x - 1.0) + fh.sum_squares(x[:2] @ S))
    m.solve()
    for k, before in arrays.items():
        np.testing.assert_array_equal(getattr(S, k), before, err_msg=f"the matrix's {k} changed")
    xc = cp.Variable(3)
    prob = cp.Problem(cp.Minimize(cp.sum_squares(A @ xc - 1.0) + cp.sum_squares(xc[:2] @ A)), [xc >= -1, xc <= 1])
    prob.solve(solver=cp.CLARABEL)
    np.testing.assert_allclose(m.value, prob.value, rtol=1e-5, atol=1e-6)
