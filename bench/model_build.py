"""Model-build time, from the user's description to the solver's flat problem
(solve excluded): fragments_host against CVXPY's problem construction and
canonicalization (get_problem_data for Clarabel), for a least-squares model
min |A x - b| with bounds, A dense or sparse, at growing numbers of
nonzeros; then a parameter re-evaluation against a rebuild of the same
parameterized model.

    python bench/model_build.py [--max 1000000]
"""
import argparse
import time

import numpy as np
import scipy.sparse as sp

import fragments_host as fh


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


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


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--max", type=int, default=10**6)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    try:
        import cvxpy  # noqa: F401
        have_cvxpy = True
    except ImportError:
        have_cvxpy = False
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
