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
    m.add(fh.soc(s, fh.concatenate([F.T @ w, d * w])))
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


# Twins: the same model stated element by element (scalar elements of the
# variables, the way JuMP or PyOptInterface models are written) and
# vectorized (slices), row for row in the same order.
def _lqcp_data(N):
    dx = 1.0 / N
    dt = 1.58 / N
    return dx, dt, dx * dx, 0.001, [0.5 * (1 - (j * dx) ** 2) for j in range(N + 1)]


def lqcp_elements(fh, N=6):
    dx, dt, h2, a, yt = _lqcp_data(N)
    m = fh.Model()
    y = m.variable((N + 1, N + 1), "y", lb=0.0, ub=1.0)
    u = m.variable(N + 1, "u", lb=-1.0, ub=1.0)
    for i in range(N):
        for j in range(1, N):
            m.add(h2 * (y[i + 1, j] - y[i, j]) == 0.5 * dt * (y[i, j - 1] - 2 * y[i, j] + y[i, j + 1] + y[i + 1, j - 1]
                                                               - 2 * y[i + 1, j] + y[i + 1, j + 1]))
    for j in range(N + 1):
        m.add(y[0, j] == 0)
    for i in range(1, N + 1):
        m.add(y[i, 2] - 4 * y[i, 1] + 3 * y[i, 0] == 0)
    for i in range(1, N + 1):
        m.add(y[i, N - 2] - 4 * y[i, N - 1] + 3 * y[i, N] == 2 * dx * (u[i] - y[i, N]))
    obj = 0.25 * dx * fh.square(y[N, 0] - yt[0])
    for j in range(1, N):
        obj = obj + 0.5 * dx * fh.square(y[N, j] - yt[j])
    obj = obj + 0.25 * dx * fh.square(y[N, N] - yt[N])
    for i in range(1, N):
        obj = obj + 0.5 * a * dt * fh.square(u[i])
    m.minimize(obj + 0.25 * a * dt * fh.square(u[N]))
    return m


def lqcp_slices(fh, N=6):
    dx, dt, h2, a, yt = _lqcp_data(N)
    yt = np.array(yt)
    m = fh.Model()
    y = m.variable((N + 1, N + 1), "y", lb=0.0, ub=1.0)
    u = m.variable(N + 1, "u", lb=-1.0, ub=1.0)
    lo, hi = y[0:N, :], y[1:N + 1, :]
    m.add(h2 * (hi[:, 1:N] - lo[:, 1:N]) == 0.5 * dt * (lo[:, 0:N - 1] - 2 * lo[:, 1:N] + lo[:, 2:N + 1]
                                                         + hi[:, 0:N - 1] - 2 * hi[:, 1:N] + hi[:, 2:N + 1]))
    m.add(y[0, :] == 0)
    m.add(y[1:, 2] - 4 * y[1:, 1] + 3 * y[1:, 0] == 0)
    m.add(y[1:, N - 2] - 4 * y[1:, N - 1] + 3 * y[1:, N] == 2 * dx * (u[1:] - y[1:, N]))
    obj = 0.25 * dx * fh.square(y[N, 0] - yt[0])
    for j in range(1, N):
        obj = obj + 0.5 * dx * fh.square(y[N, j:j + 1] - yt[j:j + 1])
    obj = obj + 0.25 * dx * fh.square(y[N, N] - yt[N])
    for i in range(1, N):
        obj = obj + 0.5 * a * dt * fh.square(u[i:i + 1])
    m.minimize(obj + 0.25 * a * dt * fh.square(u[N]))
    return m


def dense_lp_elements(fh, N=5):
    m = fh.Model()
    x, y = m.variable((N, N), "x"), m.variable((N, N), "y")
    obj = 0
    for i in range(N):
        for j in range(N):
            m.add(x[i, j] - y[i, j] >= i)
            obj = obj + 2 * x[i, j] + y[i, j]
    for i in range(N):
        for j in range(N):
            m.add(x[i, j] + y[i, j] >= 0)
    m.minimize(obj)
    return m


def dense_lp_slices(fh, N=5):
    m = fh.Model()
    x, y = m.variable((N, N), "x"), m.variable((N, N), "y")
    m.add(x - y >= np.repeat(np.arange(N, dtype=float), N).reshape(N, N))
    m.add(x + y >= 0)
    m.minimize((2 * x + y).sum())
    return m


def _fac_parts(fh, G):
    F, K = G, G + 1
    m = fh.Model()
    y = m.variable((F, 2), "y", lb=0.0, ub=1.0)
    s, z = m.variable((K, K, F), "s", nonneg=True), m.variable((K, K, F), "z", lb=0.0, ub=1.0)
    r, d = m.variable((K, K, F, 2), "r"), m.variable(name="d")
    m.minimize(d)
    return m, y, s, z, r, d, F, K


def fac_elements(fh, G=2):
    m, y, s, z, r, d, F, K = _fac_parts(fh, G)
    cells = [(i, j, f) for i in range(K) for j in range(K) for f in range(F)]
    for i in range(K):
        for j in range(K):
            m.add(sum(z[i, j, f] for f in range(F)) == 1)
    for i, j, f in cells:
        m.add(s[i, j, f] == d + 2.828 * (1 - z[i, j, f]))
    for i, j, f in cells:
        m.add(fh.soc(s[i, j, f], r[i, j, f, :]))
    for i, j, f in cells:
        m.add(r[i, j, f, 0] == i / G - y[f, 0])
    return m


def fac_slices(fh, G=2):
    m, y, s, z, r, d, F, K = _fac_parts(fh, G)
    n = K * K * F
    m.add(z.sum(axis=2) == 1)
    m.add(s == d + 2.828 * (1 - z))
    m.add(fh.soc(s.reshape(n), r.reshape((n, 2)), axis=1))
    E = np.kron(np.ones((K * K, 1)), np.eye(F))
    grid = np.repeat(np.arange(K) / G, K * F)
    m.add(r[:, :, :, 0].reshape(n) == grid - E @ y[:, 0])
    return m


TWINS = {"lqcp": (lqcp_elements, lqcp_slices), "dense_lp": (dense_lp_elements, dense_lp_slices),
         "fac": (fac_elements, fac_slices)}
