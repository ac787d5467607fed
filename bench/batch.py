"""Batches of instances: 2,000 instances of a factor-model portfolio (250
assets, 20 factors; each instance its own expected returns mu and risk
aversion gamma) solved with Clarabel, by

  - fragments_host: a loop of m.solve(), and m.solve_batch(...) serially,
    on 1 and 2 local processes and on a 2-worker local Dask cluster;
  - CVXPY: a loop of prob.solve(), and its documented pattern for
    parallel solves, a multiprocessing.Pool mapping a function that sets
    the parameters and solves the module's problem.

Each row gives the wall time, the speed-up over the host's loop, and the
time per instance spent outside the solver: the workers' total time (wall
time x workers) less the time in the solver's calls summed over the
instances. That time is measured around the calls (the host's: setup or
update and solve, `m.solver_stats.total_time` and the batch's
`solver_time`; CVXPY's: its Clarabel interface's solve_via_data, which sets
Clarabel up and solves): on this machine Clarabel's own `solve_time`
exceeds the wall time of the call that reports it (by about 20%), so
subtracting it would leave less than nothing. The batch's results are
checked against the loop's, bit for bit.

    python bench/batch.py [--instances 2000] [--assets 250] [--repeat 2]

Every row runs once per round, the rows one after another, and each row's
best round is shown (the loop's too). The Dask cluster is started for its
row, and its workers import the package (one small batch), before the
timed batch; it is closed after it.

Needs the bench extra (pip install ".[bench]": CVXPY, dask[distributed]);
a peer that is missing is reported n/a."""
from __future__ import annotations

import argparse
import importlib.util
import multiprocessing
import time

import numpy as np

import fragments_host as fh

FACTORS = 20


def data(n, instances, seed=3):
    rng = np.random.default_rng(seed)
    F, d = rng.normal(size=(n, FACTORS)) * 0.1, rng.uniform(0.01, 0.05, n)
    mus = rng.uniform(0.0, 0.1, (instances, n))
    gammas = rng.uniform(0.1, 2.0, instances)
    return F, d, mus, gammas


def host_model(F, d):
    n = F.shape[0]
    m = fh.Model("portfolio")
    w, s = m.variable(n, "w", nonneg=True), m.variable(name="s")
    mu, gamma = m.parameter(n, "mu"), m.parameter((), "gamma", nonneg=True)
    m.add(w.sum() == 1.0)
    m.add(fh.soc(s, fh.concatenate([F.T @ w, d * w])))
    m.maximize(w @ mu - gamma * s)
    return m, w, mu, gamma


def host_loop(F, d, mus, gammas):
    m, w, mu, gamma = host_model(F, d)
    values, ws, solve = np.zeros(len(gammas)), np.zeros(mus.shape), 0.0
    t = time.perf_counter()
    for i in range(len(gammas)):
        mu.value, gamma.value = mus[i], gammas[i]
        values[i] = m.solve()
        ws[i] = w.value
        solve += m.solver_stats.total_time
    return time.perf_counter() - t, solve, values, ws


def host_batch(F, d, mus, gammas, **how):
    m, w, mu, gamma = host_model(F, d)
    t = time.perf_counter()
    res = m.solve_batch({mu: mus, gamma: gammas}, variables=[w], progress=False, **how)
    wall = time.perf_counter() - t
    return wall, float(res.solver_time.sum()), res.value, res[w], res


# CVXPY's pattern: the problem at module level, a function that sets its
# parameters and solves it, mapped over the values by a Pool (forked
# workers inherit the problem)
_CP = {}


def cvxpy_problem(F, d):
    import cvxpy as cp
    n = F.shape[0]
    w, s = cp.Variable(n), cp.Variable()
    mu, gamma = cp.Parameter(n), cp.Parameter(nonneg=True)
    prob = cp.Problem(cp.Maximize(mu @ w - gamma * s),
                      [cp.sum(w) == 1.0, w >= 0, cp.SOC(s, cp.hstack([F.T @ w, cp.multiply(d, w)]))])
    return prob, w, mu, gamma


def cvxpy_solve(args):
    import cvxpy as cp
    prob, w, mu, gamma = _CP["problem"]
    mu.value, gamma.value = args
    _CP["inside"] = 0.0
    prob.solve(solver=cp.CLARABEL)
    return prob.value, w.value, _CP["inside"]


def timed_clarabel():
    """CVXPY's Clarabel interface with the time of its solver calls (setup
    and solve) kept in _CP["inside"]."""
    from cvxpy.reductions.solvers.conic_solvers.clarabel_conif import CLARABEL
    inner = CLARABEL.solve_via_data

    def solve_via_data(self, *args, **kwargs):
        t = time.perf_counter()
        try:
            return inner(self, *args, **kwargs)
        finally:
            _CP["inside"] += time.perf_counter() - t
    CLARABEL.solve_via_data = solve_via_data


def cvxpy_loop(mus, gammas):
    t = time.perf_counter()
    out = [cvxpy_solve((mus[i], gammas[i])) for i in range(len(gammas))]
    return time.perf_counter() - t, sum(o[2] for o in out), np.array([o[0] for o in out])


def cvxpy_pool(mus, gammas, workers):
    t = time.perf_counter()
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        out = pool.map(cvxpy_solve, [(mus[i], gammas[i]) for i in range(len(gammas))])
    return time.perf_counter() - t, sum(o[2] for o in out), np.array([o[0] for o in out])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--instances", type=int, default=2000)
    ap.add_argument("--assets", type=int, default=250)
    ap.add_argument("--repeat", type=int, default=2, help="rounds of every row; each row's best is shown")
    args = ap.parse_args()
    n, k = args.assets, args.instances
    F, d, mus, gammas = data(n, k)
    have_dask = importlib.util.find_spec("distributed") is not None
    have_cvxpy = importlib.util.find_spec("cvxpy") is not None
    best = {}                   # label -> (workers, wall, solver time, note)
    ref = {}

    def keep(label, workers, wall, solve, note):
        if label not in best or wall < best[label][1]:
            best[label] = (workers, wall, solve, note)

    def loop_row():
        wall, solve, values, ws = host_loop(F, d, mus, gammas)
        ref.setdefault("values", values)
        ref.setdefault("w", ws)
        keep("fragments_host loop of m.solve()", 1, wall, solve, "reference")

    def batch_row(label, workers, **how):
        wall, solve, values, ws, res = host_batch(F, d, mus, gammas, **how)
        same = np.array_equal(values, ref["values"]) and np.array_equal(ws, ref["w"]) and bool(res.ok.all())
        keep(label, workers, wall, solve, "identical" if same else "DIFFERENT")

    def cvxpy_rows():
        wall, solve, values = cvxpy_loop(mus, gammas)
        err = float(np.max(np.abs(values - ref["values"])))
        keep("CVXPY loop of prob.solve()", 1, wall, solve, f"max |value - host's| {err:.1e}")
        wall, solve, values = cvxpy_pool(mus, gammas, 2)
        err = float(np.max(np.abs(values - ref["values"])))
        keep("CVXPY multiprocessing.Pool(2)", 2, wall, solve, f"max |value - host's| {err:.1e}")

    def dask_row():
        # a running cluster: started, and its workers have imported the
        # package (one small batch), before the timed batch; closed after
        # it, so that its idle workers do not share the cores with the rows
        # after it
        from distributed import Client, LocalCluster
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            host_batch(F, d, mus[:20], gammas[:20], executor=client)
            batch_row("fragments_host solve_batch, Dask 2 workers", 2, executor=client)

    if have_cvxpy:
        timed_clarabel()
        _CP["problem"] = cvxpy_problem(F, d)
        cvxpy_solve((mus[0], gammas[0]))        # its first solve compiles the problem: not timed
    for _ in range(args.repeat):
        loop_row()
        batch_row("fragments_host solve_batch, serial", 1)
        batch_row("fragments_host solve_batch, 1 process", 1, executor="processes", max_workers=1)
        batch_row("fragments_host solve_batch, 2 processes", 2, executor="processes", max_workers=2)
        if have_dask:
            dask_row()
        if have_cvxpy:
            cvxpy_rows()
    if not have_dask:
        best["fragments_host solve_batch, Dask 2 workers"] = (2, None, None, "n/a: dask[distributed] missing")
    if not have_cvxpy:
        best["CVXPY loop of prob.solve()"] = (1, None, None, "n/a: cvxpy missing")

    base = best["fragments_host loop of m.solve()"][1]
    print(f"{k:,} instances of the portfolio model ({n} assets, {FACTORS} factors), Clarabel; "
          f"best of {args.repeat} rounds")
    print(f"{'':44} {'wall [s]':>9} {'speed-up':>9} {'solver [s]':>11} {'outside [ms/inst]':>18}   results")
    for label, (workers, wall, solve, note) in best.items():
        if wall is None:
            print(f"{label:44} {'n/a':>9} {'':>9} {'':>11} {'':>18}   {note}")
            continue
        outside = (wall * workers - solve) / k
        print(f"{label:44} {wall:9.3f} {base / wall:9.2f} {solve:11.3f} {outside * 1e3:18.4f}   {note}")
    print("speed-up: over the host's loop; outside: (wall x workers - time in the solver's calls) per instance")


if __name__ == "__main__":
    main()
