"""Small versions of the benchmark models (bench/model_build.py), stated
through fragments_host, whose flat problems are compared bit for bit with
the arrays kept in tests/data/flat_reference.npz."""
import numpy as np
import scipy.sparse as sp


def loop(fh, rows=20):
    rng = np.random.default_rng(0)
    A, b, P = rng.normal(size=(rows, 10)), rng.uniform(5, 10, rows), rng.normal(size=(rows, 10, 3))
    m = fh.Model()
    x = m.variable(10)
    for i in range(rows):
        m.add(fh.soc(b[i] - A[i] @ x, P[i].T @ x))
    m.minimize(x.sum())
    return m


def dense_lsq(fh):
    rng = np.random.default_rng(1)
    A, b = rng.normal(size=(40, 30)), rng.normal(size=40)
    A[3, 4] = A[7, 0] = 0.0
    m = fh.Model()
    x, t = m.variable(30, lb=-1.0, ub=1.0), m.variable()
    m.add(fh.soc(t, A @ x - b))
    m.minimize(t)
    return m


def sparse_lsq(fh):
    A = sp.random(200, 150, density=0.05, random_state=2, format="csr")
    b = np.random.default_rng(2).normal(size=200)
    m = fh.Model()
    x, t = m.variable(150, lb=-1.0, ub=1.0), m.variable()
    m.add(fh.soc(t, A @ x - b))
    m.minimize(t)
    return m


def portfolio(fh):
    rng = np.random.default_rng(3)
    n, k = 30, 5
    F, d, mu = rng.normal(size=(n, k)) * 0.1, rng.uniform(0.01, 0.05, n), rng.uniform(0.0, 0.1, n)
    m = fh.Model()
    w, s = m.variable(n, nonneg=True), m.variable()
    gamma = m.parameter((), "gamma")
    bp, P = m.parameter(n, "b"), m.parameter((2, n), "P")
    m.add(w.sum() == 1.0)
    m.add(fh.soc(s, fh.stack([F.T @ w, d * w])))
    m.add(P @ w <= 1.0)
    m.add(w - bp <= 0.5)
    m.maximize(w @ mu - gamma * s)
    gamma.value, bp.value, P.value = 0.7, rng.uniform(0, 0.1, n), rng.normal(size=(2, n))
    return m


MODELS = {"loop": loop, "dense_lsq": dense_lsq, "sparse_lsq": sparse_lsq, "portfolio": portfolio}


def flat_arrays(fh, name):
    q, A, b, cones = MODELS[name](fh).flat_problem()
    return {f"{name}.q": np.asarray(q), f"{name}.b": np.asarray(b), f"{name}.data": A.data,
            f"{name}.indices": A.indices, f"{name}.indptr": A.indptr,
            f"{name}.shape": np.asarray(A.shape), f"{name}.cones": np.asarray([str(cones)])}


if __name__ == "__main__":
    # python tests/flat_models.py OUT.npz: the reference arrays of the host on the path
    import sys

    import fragments_host as fh
    out = {}
    for name in MODELS:
        out.update(flat_arrays(fh, name))
    np.savez(sys.argv[1], **out)
