"""Model-build time, from the user's description to the solver's flat problem
(solve excluded): fragments_host against CVXPY's problem construction and
canonicalization (get_problem_data for Clarabel), side by side in one run:

- the targets table: 1,000 rows stated in a loop (each a second-order cone
  b[i] - A[i] x >= |P[i]' x|), dense least squares 1000 x 1000 with bounds
  (time and peak traced memory against the flat problem's own arrays),
  sparse least squares with 10**6 nonzeros, and a 20-value parameter sweep
  of a factor-model portfolio (time per re-solve outside Clarabel);
- solver time: Clarabel's own solve time and iterations on the host's flat
  problem and on CVXPY's, for models of log_det, huber, entropy and
  logistic (the reductions hand Clarabel problems of one size);
- a least-squares model min |A x - b| with bounds, A dense or sparse, at
  growing numbers of nonzeros; then a parameter re-evaluation against a
  rebuild of the same parameterized model.

    python bench/model_build.py [--max 1000000] [--targets-only] [--solver-only]
"""
import argparse
import importlib.util
import math
import time
import tracemalloc

import numpy as np
import scipy.sparse as sp

import fragments_host as fh


def best(f, repeat):
    """Best wall time of `repeat` runs back to back, as users run them: no
    garbage collected between runs (a dropped model is freed at once; one
    that lived on would leave every later run to pay for fresh memory)."""
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def best_in_turn(f, g, repeat):
    """Best wall times of f and g, `repeat` runs each, one of each in turn."""
    tf, tg = [], []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        tf.append(time.perf_counter() - t)
        t = time.perf_counter()
        g()
        tg.append(time.perf_counter() - t)
    return min(tf), min(tg)


def lsq_host(A, b):
    m = fh.Model()
    x, t = m.variable(A.shape[1], lb=-1.0, ub=1.0), m.variable()
    m.add(fh.soc(t, A @ x - b))
    m.minimize(t)
    return m.flat_problem()


def lsq_cvxpy(A, b):
    import cvxpy as cp
    x, t = cp.Variable(A.shape[1]), cp.Variable()
    prob = cp.Problem(cp.Minimize(t), [x >= -1.0, x <= 1.0, cp.SOC(t, A @ x - b)])
    return prob.get_problem_data(cp.CLARABEL)


def loop_host(A, b, P):
    m = fh.Model()
    x = m.variable(A.shape[1])
    for i in range(A.shape[0]):
        m.add(fh.soc(b[i] - A[i] @ x, P[i].T @ x))
    m.minimize(x.sum())
    return m.flat_problem()


def loop_cvxpy(A, b, P):
    import cvxpy as cp
    x = cp.Variable(A.shape[1])
    cons = [cp.SOC(b[i] - A[i] @ x, P[i].T @ x) for i in range(A.shape[0])]
    return cp.Problem(cp.Minimize(cp.sum(x)), cons).get_problem_data(cp.CLARABEL)


def peak(f):
    """Peak memory traced while f runs, above what was held before, in MB."""
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    out = f()
    top = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return out, (top - base) / 1e6


def flat_bytes(flat):
    q, A, b, _ = flat
    return (q.nbytes + A.data.nbytes + A.indices.nbytes + A.indptr.nbytes + b.nbytes) / 1e6


def portfolio_host(n, k, rng):
    F, d = rng.normal(size=(n, k)) * 0.1, rng.uniform(0.01, 0.05, n)
    mu = rng.uniform(0.0, 0.1, n)
    m = fh.Model()
    w, s = m.variable(n, nonneg=True), m.variable()
    gamma = m.parameter((), "gamma")
    m.add(w.sum() == 1.0)
    m.add(fh.soc(s, fh.concatenate([F.T @ w, d * w])))
    m.maximize(w @ mu - gamma * s)
    return m, gamma


def portfolio_cvxpy(n, k, rng):
    import cvxpy as cp
    F, d = rng.normal(size=(n, k)) * 0.1, rng.uniform(0.01, 0.05, n)
    mu = rng.uniform(0.0, 0.1, n)
    w, s = cp.Variable(n), cp.Variable()
    gamma = cp.Parameter(nonneg=True)
    prob = cp.Problem(cp.Maximize(mu @ w - gamma * s),
                      [cp.sum(w) == 1.0, w >= 0, cp.SOC(s, cp.hstack([F.T @ w, cp.multiply(d, w)]))])
    return prob, gamma


def sweep(n=250, k=20, values=20, sweeps=3):
    """Seconds per re-solve spent outside Clarabel, host and CVXPY, over a
    sweep of the risk aversion after one build: the median of a sweep, the
    smallest of `sweeps` host sweeps (one sweep lasts about 0.2 s: a shared
    host's slower spells move the median of one by up to 2x)."""
    rng = np.random.default_rng(3)
    m, gamma = portfolio_host(n, k, rng)
    gammas = np.linspace(0.1, 2.0, values)
    gamma.value = gammas[0]
    m.solve()
    medians = []
    for _ in range(sweeps):
        outside = []
        for g in gammas:
            gamma.value = g
            t = time.perf_counter()
            m.solve()
            outside.append(time.perf_counter() - t - m.solver_stats.clarabel_time)
        medians.append(float(np.median(outside)))
    host = min(medians)
    try:
        import cvxpy as cp
    except ImportError:
        return host, float("nan")
    prob, gc = portfolio_cvxpy(n, k, np.random.default_rng(3))
    gc.value = gammas[0]
    prob.solve(solver=cp.CLARABEL)
    outside = []
    for g in gammas:
        gc.value = g
        t = time.perf_counter()
        prob.solve(solver=cp.CLARABEL)
        outside.append(time.perf_counter() - t - prob.solver_stats.solve_time)
    return host, float(np.median(outside))


def targets(have_cvxpy):
    rng = np.random.default_rng(0)
    print("target                                         fragments_host      CVXPY   CVXPY / host   host target")
    A, b, P = rng.normal(size=(1000, 10)), rng.uniform(5, 10, 1000), rng.normal(size=(1000, 10, 3))
    th = best(lambda: loop_host(A, b, P), 25) / 1000   # about a second of runs: the best of fewer is the host's drift
    tc = best(lambda: loop_cvxpy(A, b, P), 1) / 1000 if have_cvxpy else float("nan")
    print(f"loop of 1,000 soc rows [us per row]          {th * 1e6:14.1f} {tc * 1e6:10.1f} {tc / th:14.2f}   <= 35")
    A, b = rng.normal(size=(1000, 1000)), rng.normal(size=1000)
    th = best(lambda: lsq_host(A, b), 25)   # about a second of runs, as the soc loop
    tc = best(lambda: lsq_cvxpy(A, b), 1) if have_cvxpy else float("nan")
    print(f"dense lsq 1000 x 1000 [ms]                   {th * 1e3:14.1f} {tc * 1e3:10.1f} {tc / th:14.2f}   <= 30")
    flat, mh = peak(lambda: lsq_host(A, b))
    _, mc = peak(lambda: lsq_cvxpy(A, b)) if have_cvxpy else (None, float("nan"))
    own = flat_bytes(flat)
    print(f"dense lsq peak memory [MB]                   {mh:14.1f} {mc:10.1f} {mc / mh:14.2f}   <= 3 x {own:.1f}")
    S = sp.random(10**4, 10**4, density=0.01, random_state=1, format="csr")
    bs = rng.normal(size=S.shape[0])
    th = best(lambda: lsq_host(S, bs), 25)
    tc = best(lambda: lsq_cvxpy(S, bs), 1) if have_cvxpy else float("nan")
    print(f"sparse lsq 10^6 nonzeros [ms]                {th * 1e3:14.1f} {tc * 1e3:10.1f} {tc / th:14.2f}   <= 30")
    th, tc = sweep()
    print(f"portfolio sweep, per re-solve outside Clarabel [ms] {th * 1e3:7.3f} {tc * 1e3:10.3f} {tc / th:14.2f}   <= 0.1")
    # functions and sums accumulated with + in a loop: the host's statement
    # and flat problem against CVXPY's construction alone (its
    # get_problem_data takes far longer), at two counts (linear in the count)
    for count in (200, 800):
        A = rng.normal(size=(count, 10, 5))
        if have_cvxpy:
            # host and CVXPY in turn, so that the ratio is not the host's drift
            th, tc = best_in_turn(lambda: lse_loop(fh, A).flat_problem(), lambda: lse_loop(None, A), 9)
        else:
            th, tc = best(lambda: lse_loop(fh, A).flat_problem(), 9), float("nan")
        print(f"{count} log_sum_exp in a loop [ms]             {th * 1e3:14.1f} {tc * 1e3:10.1f} {tc / th:14.2f}   >= 1")
    for count in (1600, 6400):
        if have_cvxpy:
            th, tc = best_in_turn(lambda: squares_loop(fh, count).flat_problem(), lambda: squares_loop(None, count), 3)
        else:
            th, tc = best(lambda: squares_loop(fh, count).flat_problem(), 5), float("nan")
        print(f"{count} squares summed with + [ms]           {th * 1e3:14.1f} {tc * 1e3:10.1f} {tc / th:14.2f}   >= 1")


def lse_loop(lib, A):
    """sum_i log_sum_exp(A[i] x) with + in a loop, x in [-1, 1]: the host's
    model (lib = fh), or CVXPY's problem (lib None)."""
    if lib is None:
        import cvxpy as cp
        x, t = cp.Variable(A.shape[2]), 0
        for Ai in A:
            t = t + cp.log_sum_exp(Ai @ x)
        return cp.Problem(cp.Minimize(t), [x >= -1, x <= 1])
    m = fh.Model()
    x, t = m.variable(A.shape[2], "x", lb=-1.0, ub=1.0), 0
    for Ai in A:
        t = t + fh.log_sum_exp(Ai @ x)
    m.minimize(t)
    return m


def squares_loop(lib, count):
    """sum_i (x_i - i / count)^2 with + in a loop."""
    if lib is None:
        import cvxpy as cp
        x, t = cp.Variable(count), 0
        for i in range(count):
            t = t + cp.square(x[i] - i / count)
        return cp.Problem(cp.Minimize(t))
    m = fh.Model()
    x, t = m.variable(count, "x"), 0
    for i in range(count):
        t = t + fh.square(x[i] - i / count)
    m.minimize(t)
    return m


# -- Clarabel's solve time on the host's flat problem and on CVXPY's: each
# model stated once against F, fragments_host or None for CVXPY (the model
# None when it needs a function the host lacks)

def _problem(F, sense, objective, constraints):
    if F is fh:
        m = objective[1]
        m.add(*constraints)
        (m.minimize if sense == "minimize" else m.maximize)(objective[0])
        return m
    import cvxpy as cp
    return cp.Problem((cp.Minimize if sense == "minimize" else cp.Maximize)(objective[0]), constraints)


def _variable(F, m, shape, **kw):
    if F is fh:
        return m.variable(shape, **kw)
    import cvxpy as cp
    return cp.Variable(shape, **kw)


def _namespace(F):
    """The functions under the host's names."""
    if F is fh:
        return fh, fh.Model()
    import cvxpy as cp

    class CP:
        def __getattr__(self, name):
            return getattr(cp, {"entropy": "entr"}.get(name, name))
    return CP(), None


def inverse_covariance(F, seed, n=20, alpha=0.1):
    """max log det S - trace(S Sigma) - alpha sum |S_ij|, S symmetric."""
    rng = np.random.default_rng(seed)
    B = rng.normal(size=(n, 3 * n))
    Sigma = B @ B.T / (3 * n)
    G, m = _namespace(F)
    S = _variable(F, m, (n, n), symmetric=True)
    return _problem(F, "maximize", (G.log_det(S) - G.trace(S @ Sigma) - alpha * G.sum(G.abs(S)), m), [])


def log_det_alone(F, seed, n=20):
    """max log det X s.t. trace(C X) <= n, X symmetric."""
    rng = np.random.default_rng(seed)
    B = rng.normal(size=(n, n))
    C = B @ B.T / n + np.eye(n)
    G, m = _namespace(F)
    X = _variable(F, m, (n, n), symmetric=True)
    return _problem(F, "maximize", (G.log_det(X), m), [G.trace(C @ X) <= n])


def huber_regression(F, seed, rows=300, cols=30):
    """min sum huber(A x - b) with a tenth of b's entries outliers."""
    rng = np.random.default_rng(seed)
    A = rng.normal(size=(rows, cols))
    b = A @ rng.normal(size=cols) + 0.5 * rng.normal(size=rows)
    b[rng.random(rows) < 0.1] += 10 * rng.normal()
    G, m = _namespace(F)
    x = _variable(F, m, cols)
    return _problem(F, "minimize", (G.sum(G.huber(A @ x - b, 1.0)), m), [])


def max_entropy(F, seed, n=200, k=5):
    """max sum entropy(x) s.t. A x <= b, sum x = 1."""
    rng = np.random.default_rng(seed)
    A = rng.normal(size=(k, n))
    b = A @ rng.dirichlet(np.ones(n)) + 0.1
    G, m = _namespace(F)
    x = _variable(F, m, n)
    return _problem(F, "maximize", (G.sum(G.entropy(x)), m), [A @ x <= b, G.sum(x) == 1])


def logistic_regression(F, seed, rows=200, cols=10, lam=0.1):
    """min sum logistic(-y_i a_i'w) + lam |w|_1."""
    if F is fh and not hasattr(fh, "logistic"):
        return None
    rng = np.random.default_rng(seed)
    A = rng.normal(size=(rows, cols))
    y = np.sign(A @ rng.normal(size=cols) + 0.5 * rng.normal(size=rows))
    G, m = _namespace(F)
    w = _variable(F, m, cols)
    if F is fh:
        z = -y * (A @ w)
    else:
        import cvxpy as cp
        z = -cp.multiply(y, A @ w)
    return _problem(F, "minimize", (G.sum(G.logistic(z)) + lam * G.norm(w, 1), m), [])


SOLVER_MODELS = [("sparse inverse covariance n = 20", inverse_covariance), ("log_det alone n = 20", log_det_alone),
                 ("huber regression 300 x 30", huber_regression), ("max entropy 200 points", max_entropy),
                 ("logistic regression 200 x 10", logistic_regression)]
# data sets per model: Clarabel's iterations move with the order of the
# columns (the host's and CVXPY's differ), by up to a third on one data
# set; the cheap models take more of them, so that the sums compare forms
INSTANCES = {"sparse inverse covariance n = 20": 10, "log_det alone n = 20": 10}


def clarabel_time(F, make, seeds, repeat):
    """Clarabel's solve time (the best of `repeat` solves of each model,
    summed over the seeds) and its iterations (summed), or None. Each solve
    is of a model stated afresh: a second solve of one CVXPY problem goes
    through its solver cache and may take other iterations than the first."""
    total, iters = 0.0, 0
    for seed in seeds:
        best_t = math.inf
        for _ in range(repeat):
            prob = make(F, seed)
            if prob is None:
                return None
            if F is fh:
                prob.solve()
                st = prob.solver_stats
                t, it = st.solve_time, st.iterations
            else:
                import cvxpy as cp
                prob.solve(solver=cp.CLARABEL)
                t, it = prob.solver_stats.solve_time, prob.solver_stats.num_iters
            best_t = min(best_t, t)
        total, iters = total + best_t, iters + it
    return total, iters


def solver_times(have_cvxpy, instances=20, repeat=3):
    print(f"solver time (Clarabel's solve, default settings; {instances} data sets (10 of the log_det models), "
          f"best of {repeat} solves each, summed)")
    print("model                                host [ms]  iterations   CVXPY [ms]  iterations   host / CVXPY")
    for label, make in SOLVER_MODELS:
        seeds = range(INSTANCES.get(label, instances))
        h = clarabel_time(fh, make, seeds, repeat)
        c = clarabel_time(None, make, seeds, repeat) if have_cvxpy else None
        hs = f"{h[0] * 1e3:9.2f}  {h[1]:10d}" if h else f"{'n/a':>9s}  {'':10s}"
        cs = f"{c[0] * 1e3:11.2f}  {c[1]:10d}" if c else f"{'n/a':>11s}  {'':10s}"
        ratio = f"{h[0] / c[0]:14.2f}" if h and c else f"{'n/a':>14s}"
        print(f"{label:35s} {hs}  {cs} {ratio}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max", type=int, default=10**6)
    ap.add_argument("--targets-only", action="store_true")
    ap.add_argument("--solver-only", action="store_true", help="only the solver-time rows")
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    have_cvxpy = importlib.util.find_spec("cvxpy") is not None
    if args.solver_only:
        solver_times(have_cvxpy)
        return
    targets(have_cvxpy)
    if args.targets_only:
        return
    print()
    solver_times(have_cvxpy)
    print()
    print("model        nonzeros   fragments_host [s]   CVXPY [s]   CVXPY / host")
    nnz = 10**3
    while nnz <= args.max:
        n = int(np.sqrt(nnz))
        for kind in ("dense lsq", "sparse lsq"):
            if kind == "dense lsq":
                A = rng.normal(size=(n, n))
            else:
                A = sp.random(10 * n, 10 * n, density=nnz / (100 * n * n), random_state=1, format="csr")
            b = rng.normal(size=A.shape[0])
            rep = 3 if nnz < 10**6 else 1
            th = best(lambda: lsq_host(A, b), rep)
            tc = best(lambda: lsq_cvxpy(A, b), rep) if have_cvxpy else float("nan")
            print(f"{kind:11s} {A.nnz if sp.issparse(A) else A.size:9d}   {th:18.4f}   {tc:9.4f}   {tc / th:12.2f}")
        nnz *= 10

    print("\nparameter re-evaluation (new b and P in  |A x - b| <= t, P x <= 1) against a rebuild")
    print("nonzeros   re-evaluation [s]   rebuild [s]   rebuild / re-evaluation")
    nnz = 10**3
    while nnz <= args.max:
        n = int(np.sqrt(nnz))
        A = rng.normal(size=(n, n))

        def build():
            m = fh.Model()
            x, t = m.variable(n), m.variable()
            bp, P = m.parameter(n), m.parameter((2, n))
            bp.value, P.value = rng.normal(size=n), rng.normal(size=(2, n))
            m.add(fh.soc(t, A @ x - bp))
            m.add(P @ x <= 1.0)
            m.minimize(t)
            m.flat_problem()
            return m, bp, P

        m, bp, P = build()

        def reeval():
            bp.value, P.value = rng.normal(size=n), rng.normal(size=(2, n))
            m.flat_problem()

        def rebuild():
            build()

        te, tb = best(reeval, 3), best(rebuild, 3)
        print(f"{nnz:8d}   {te:17.4f}   {tb:11.4f}   {tb / te:10.2f}")
        nnz *= 10


if __name__ == "__main__":
    main()
