"""Batches of instances (Model.solve_batch) against a loop of single
m.solve() calls, bit for bit, serially, on local processes and on a local
Dask cluster; failures reported per instance; a worker process that dies;
the user's mistakes refused before anything runs."""
import os

import numpy as np
import pytest

import fragments_host as fh
from fragments_host import batch

N = 50
RNG = np.random.default_rng(11)
ASSETS = 20
F, D = RNG.normal(size=(ASSETS, 4)) * 0.1, RNG.uniform(0.01, 0.05, ASSETS)
A, G = RNG.normal(size=(8, 4)), RNG.normal(size=(3, 4))
PORTFOLIO = (RNG.uniform(0.0, 0.1, (N, ASSETS)), RNG.uniform(0.1, 2.0, N))
SOCP = (RNG.normal(size=(N, 8)), RNG.normal(size=(N, 4)), RNG.uniform(0.5, 2.0, (N, 3)), RNG.uniform(0.0, 1.0, N))


def portfolio():
    """The README's portfolio: expected returns and risk aversion as parameters."""
    m = fh.Model("portfolio")
    w, s = m.variable(ASSETS, "w", nonneg=True), m.variable(name="s")
    mu, gamma = m.parameter(ASSETS, "mu"), m.parameter((), "gamma", nonneg=True)
    cons = [m.add(w.sum() == 1.0), m.add(fh.soc(s, fh.concatenate([F.T @ w, D * w])))]
    m.maximize(w @ mu - gamma * s)
    values = {mu: PORTFOLIO[0].copy(), gamma: PORTFOLIO[1].copy()}
    return m, [w, s], cons + [w], values


def socp():
    """Parameters in every part of the flat problem: b and r in the
    right-hand sides, a in the matrix, lam weighting the quadratic term (a
    kept solver updated in place gives results that depend on the data it
    was set up with)."""
    m = fh.Model("socp")
    x, t = m.variable(4, "x", lb=-1.0, ub=1.0), m.variable(name="t")
    b, a = m.parameter(8, "b"), m.parameter(4, "a")
    r, lam = m.parameter(3, "r"), m.parameter((), "lam", nonneg=True)
    cons = [m.add(G @ x <= r), m.add(fh.soc(t, A @ x - b)), m.add(a @ x <= 2.0)]
    m.minimize(t + lam * fh.sum_squares(x))
    values = dict(zip((b, a, r, lam), (v.copy() for v in SOCP)))
    return m, [x, t], cons + [x], values


def loop(m, variables, duals, values, skip=()):
    """The instances one by one through m.solve(), as a user's loop."""
    out = []
    for i in range(len(next(iter(values.values())))):
        if i in skip:
            out.append(None)
            continue
        for p, arr in values.items():
            p.value = arr[i]
        m.solve()
        out.append((m.status, m.value, [None if v.value is None else v.value.copy() for v in variables],
                    [None if c.dual is None else np.array(c.dual) for c in duals]))
    return out


def assert_same(res, ref, variables, duals):
    assert len(res) == len(ref)
    for i, r in enumerate(ref):
        if r is None:
            continue
        status, value, vals, dls = r
        assert res.status[i] == status, i
        assert np.array_equal(res.value[i], value), (i, res.value[i], value)
        for v, x in zip(variables, vals):
            assert np.array_equal(res[v][i], np.full(v.shape, np.nan) if x is None else x, equal_nan=True), (i, v)
        for c, d in zip(duals, dls):
            assert np.array_equal(res.dual(c)[i], np.full(res.dual(c)[i].shape, np.nan) if d is None else d,
                                  equal_nan=True), (i, c)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cl, \
            distributed.Client(cl) as client:
        yield client


@pytest.fixture
def hook():
    """Sets batch._before_instance for one test."""
    def set_hook(f):
        batch._before_instance = f
    yield set_hook
    batch._before_instance = None


def batch_against_loop(make, **how):
    m, variables, duals, values = make()
    ref = loop(m, variables, duals, values)
    m, variables, duals, values = make()
    # 7 per chunk: eight chunks, the last of one instance
    res = m.solve_batch(values, variables=variables, duals=duals, chunk_size=7, **how)
    assert_same(res, ref, variables, duals)
    assert res.ok.all() and not res.errors and m.status is None


@pytest.mark.parametrize("make", [portfolio, socp])
@pytest.mark.parametrize("how", [{}, dict(executor="processes", max_workers=2)], ids=["serial", "processes"])
def test_a_batch_gives_what_a_loop_of_solves_gives_bit_for_bit(make, how):
    batch_against_loop(make, **how)


def test_a_batch_of_mappings_per_instance_continues_from_the_kept_solver():
    # the model solved once before: a loop goes on from its kept solver, set
    # up with those values, and the batch gives that loop's numbers
    m, variables, duals, values = socp()
    before = {p: arr[0] * 1.5 for p, arr in values.items()}
    for p, v in before.items():
        p.value = v
    m.solve()
    ref = loop(m, variables, duals, values)
    m, variables, duals, values = socp()
    for p, v in zip(m.parameters, before.values()):
        p.value = v
    m.solve()
    kept = {v.name: v.value.copy() for v in variables}
    rows = [{p.name: arr[i] for p, arr in values.items()} for i in range(N)]
    res = m.solve_batch(rows, variables=variables, duals=duals, executor="processes", max_workers=2, chunk_size=9)
    assert_same(res, ref, variables, duals)
    # the model as it was: its values, its solution, its kept solver
    assert all(np.array_equal(p.value, v) for p, v in zip(m.parameters, before.values()))
    assert all(np.array_equal(v.value, kept[v.name]) for v in variables)
    m.solve()
    assert m.solver_stats.reused and all(np.array_equal(v.value, kept[v.name]) for v in variables)


def test_the_values_are_cvxpys():
    cp = pytest.importorskip("cvxpy")
    m, (w, s), _, values = portfolio()
    mu, gamma = m.parameters
    res = m.solve_batch(values, variables=[w])
    for i in range(0, N, 10):
        wc, sc = cp.Variable(ASSETS), cp.Variable()
        prob = cp.Problem(cp.Maximize(values[mu][i] @ wc - values[gamma][i] * sc),
                          [cp.sum(wc) == 1, wc >= 0, cp.SOC(sc, cp.hstack([F.T @ wc, cp.multiply(D, wc)]))])
        prob.solve(solver=cp.CLARABEL)
        assert abs(prob.value - res.value[i]) < 1e-6
        assert np.max(np.abs(wc.value - res["w"][i])) < 1e-5


def test_failed_instances_are_reported_in_their_status_never_raised():
    m, variables, duals, values = socp()
    b, a, r, lam = m.parameters
    values[b][0, 3] = np.nan          # refused: the batch's first solve is instance 1
    values[lam][6] = -0.5             # refused: lam is declared nonneg
    values[r][4] = -100.0             # infeasible: G x <= -100 with |x| <= 1
    refused = {0, 6}
    ref = loop(m, variables, duals, values, skip=refused)
    assert ref[4][0] == "infeasible"
    m, variables, duals, _ = socp()
    res = m.solve_batch(dict(zip(m.parameters, values.values())), variables=variables, duals=duals, chunk_size=4)
    assert_same(res, ref, variables, duals)
    assert set(np.flatnonzero(res.status == "solver_error")) == refused
    assert np.isnan(res.value[list(refused)]).all() and np.isnan(res["x"][list(refused)]).all()
    assert "NaN" in res.errors[0] and "nonneg" in res.errors[6] and set(res.errors) == refused
    with pytest.raises(fh.SolverError, match="3 of 50 instances") as err:
        m.solve_batch(dict(zip(m.parameters, values.values())), raise_on_failure=True)
    assert list(err.value.result.status[:1]) == ["solver_error"]


@pytest.mark.parametrize("dies", ["once", "always"])
def test_a_worker_that_dies_loses_no_instance_and_reports_none_twice(dies, hook, tmp_path):
    m, variables, duals, values = socp()
    ref = loop(m, variables, duals, values)
    m, variables, duals, values = socp()
    marker = tmp_path / "died"

    def die(i):
        # instance 23 takes its worker down (once: the worker that solves it
        # again lives)
        if i == 23 and (dies == "always" or not marker.exists()):
            marker.touch()
            os._exit(3)
    hook(die)
    res = m.solve_batch(values, variables=variables, duals=duals, executor="processes", max_workers=2,
                        chunk_size=10, mp_context="fork")
    if dies == "once":
        assert_same(res, ref, variables, duals)
        assert res.ok.all()
    else:
        assert list(np.flatnonzero(~res.ok)) == [23] and "died (exit code 3)" in res.errors[23]
        ref[23] = None
        assert_same(res, ref, variables, duals)


def test_the_progress_bar_shows_for_a_long_batch_only_when_allowed(hook, capsys):
    pytest.importorskip("tqdm")
    import time
    m, variables, _, values = portfolio()
    hook(lambda i: time.sleep(0.04))
    small = {p: arr[:30] for p, arr in values.items()}
    m.solve_batch(small, variables=variables, progress=False, chunk_size=5)
    assert capsys.readouterr().err == ""
    m.solve_batch(small, variables=variables, progress=True, chunk_size=5)
    assert "solve_batch" in capsys.readouterr().err
    hook(None)
    m.solve_batch(small, variables=variables, progress=True, chunk_size=5)    # well under a second
    assert capsys.readouterr().err == ""


def _mistakes():
    m, (x, t), cons, values = socp()
    b, a, r, lam = m.parameters
    other = fh.Model("other")
    q = other.parameter(8, "q")
    y = other.variable(2, "y")
    good = dict(values)
    return m, x, [
        (dict(good, **{"nope": values[b]}), {}, fh.ModelError, "'nope', which is not a parameter"),
        ({**good, q: values[b]}, {}, fh.ModelError, "parameter q, which is not a parameter of this model"),
        ({**good, b: values[b][:, :5]}, {}, ValueError, r"shape \(50, 5\): parameter b of shape \(8,\)"),
        ({**good, a: values[a][:40]}, {}, ValueError, "40 instances, other parameters' values 50"),
        ({**good, lam: values[lam] + 0j}, {}, fh.DataError, "complex"),
        ({b: values[b], a: values[a], lam: values[lam]}, {}, fh.ModelError, "r has no value and is not in the batch"),
        ([{b: values[b][0]}, {a: values[a][1]}], {}, ValueError, r"values\[1\] gives other parameters"),
        (good, dict(executor="threads"), ValueError, "unknown executor 'threads'"),
        (good, dict(max_workers=2), ValueError, "max_workers= is the number of local processes"),
        (good, dict(executor="processes", max_workers=0), ValueError, "max_workers is a positive integer"),
        (good, dict(variables=["z"]), fh.ModelError, "'z', which is no variable of this model"),
        (good, dict(variables=[x + 1]), TypeError, "takes variables of the model"),
        (good, dict(variables=[y]), fh.ModelError, "y, which is not a variable of this model"),
        (good, dict(duals=[x >= 0]), fh.ModelError, "not a constraint of this model"),
        (good, dict(duals=[m.add(fh.norm(x, 1) <= 3)]), TypeError, "a constraint of functions, which has no dual"),
        (good, dict(tol_gapp=1e-9), TypeError, "unknown Clarabel setting 'tol_gapp'"),
    ]


@pytest.mark.parametrize("case", range(len(_mistakes()[2])))
def test_a_mistake_is_refused_naming_what_was_written_before_anything_runs(case, hook):
    m, x, cases = _mistakes()
    values, how, exc, text = cases[case]
    started = []
    hook(started.append)
    with pytest.raises(exc, match=text):
        m.solve_batch(values, **how)
    assert started == [] and m.status is None


# last in this file: the cluster's threads live on in this process once it
# ran, and the tests above start worker processes by forking it
@pytest.mark.parametrize("make", [portfolio, socp])
def test_on_a_dask_cluster_a_batch_gives_what_a_loop_of_solves_gives(make, dask_client):
    batch_against_loop(make, executor=dask_client)
