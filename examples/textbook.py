"""Textbook convex models stated with fragments_host's functions, each solved
with Clarabel and compared with CVXPY where it is installed: least squares,
a factor-model portfolio, a support vector machine, total-variation
denoising, a Chebyshev center, a Lyapunov inequality, optimal transport and
a robust LP."""
import importlib.util

import numpy as np

import fragments_host as fh

cp = __import__("cvxpy") if importlib.util.find_spec("cvxpy") else None
rng = np.random.default_rng(1)


def least_squares(F, var):
    A, b = rng.normal(size=(20, 5)), rng.normal(size=20)
    x, cons = var(5)
    return F.sum_squares(A @ x - b), cons, "minimize"


def portfolio(F, var):
    n, k = 6, 2
    mu, Fm, d = rng.uniform(0.02, 0.1, n), rng.normal(size=(n, k)) * 0.1, rng.uniform(0.01, 0.03, n)
    w, cons = var(n, nonneg=True)
    f, cons2 = var(k)
    risk = F.sum_squares(f) + F.sum_squares(F.multiply(np.sqrt(d), w))
    return mu @ w - 2.0 * risk, cons + cons2 + [F.sum(w) == 1, Fm.T @ w == f, F.norm(w, np.inf) <= 0.4], "maximize"


def svm(F, var):
    X = np.vstack([rng.normal(1, 1, (10, 2)), rng.normal(-1, 1, (10, 2))])
    y = np.r_[np.ones(10), -np.ones(10)]
    w, c1 = var(2)
    b, c2 = var(())
    return F.sum(F.pos(1 - F.multiply(y, X @ w) - y * b)) + 0.5 * F.norm(w) ** 2, c1 + c2, "minimize"


def total_variation(F, var):
    signal = np.repeat([0.0, 1.0, -0.5], 8) + rng.normal(0, 0.1, 24)
    x, cons = var(24)
    return F.sum_squares(x - signal) + 0.5 * F.norm(F.diff(x), 1), cons, "minimize"


def chebyshev_center(F, var):
    angle = np.linspace(0, 2 * np.pi, 8, endpoint=False) + rng.uniform(0, 0.5, 8)
    A, b = np.column_stack([np.cos(angle), np.sin(angle)]) * rng.uniform(0.5, 2, (8, 1)), rng.uniform(1, 2, 8)
    c, c1 = var(2)
    r, c2 = var(())
    return r, c1 + c2 + [A @ c + r * np.linalg.norm(A, axis=1) <= b], "maximize"


def lyapunov(F, var):
    A = np.array([[-1.0, 2.0], [0.0, -3.0]])
    P, cons = var((2, 2))
    return F.lambda_max(P + P.T), cons + [A.T @ P + P.T @ A << -np.eye(2), P - P.T == 0], "minimize"


def optimal_transport(F, var):
    C = rng.uniform(0, 1, (4, 5))
    a, b = np.full(4, 1 / 4), np.full(5, 1 / 5)
    T, cons = var((4, 5), nonneg=True)
    return F.sum(F.multiply(C, T)) - 0.05 * F.sum(F.entropy(T)), cons + [F.sum(T, axis=1) == a,
                                                                      F.sum(T, axis=0) == b], "minimize"


def robust_lp(F, var):
    c, A, b = rng.uniform(-1, 0, 3), rng.normal(size=(4, 3)), rng.uniform(1, 2, 4)
    x, cons = var(3)
    rows = [A[i] @ x + 0.2 * F.norm(x) <= b[i] for i in range(4)]
    return c @ x, cons + rows + [F.norm(x, np.inf) <= 5], "minimize"


class Host:
    """fragments_host under the names the models use (as CVXPY's)."""

    def __init__(self, m):
        self.m = m

    def __getattr__(self, name):
        return getattr(fh, name)

    @staticmethod
    def multiply(C, T):
        return T * C


def state(F, model_fn, seed):
    global rng
    rng = np.random.default_rng(seed)
    if F is fh:
        m = fh.Model(model_fn.__name__)
        objective, cons, sense = model_fn(Host(m), lambda shape, nonneg=False: (m.variable(shape, nonneg=nonneg),
                                                                                  []))
        if cons:
            m.add(*cons)
        getattr(m, sense)(objective)
        return m.solve(), m.status

    def var(shape, nonneg=False):
        v = cp.Variable(shape, nonneg=nonneg)
        return v, []
    objective, cons, sense = model_fn(cp_names, var)
    prob = cp.Problem(cp.Minimize(objective) if sense == "minimize" else cp.Maximize(objective), cons)
    prob.solve(solver=cp.CLARABEL)
    return prob.value, prob.status


class CPNames:
    def __getattr__(self, name):
        return getattr(cp, {"entropy": "entr"}.get(name, name))


cp_names = CPNames()

for k, fn in enumerate([least_squares, portfolio, svm, total_variation, chebyshev_center, lyapunov,
                        optimal_transport, robust_lp]):
    value, status = state(fh, fn, k)
    line = f"{fn.__name__:18s} fragments_host {status:8s} {value: .6f}"
    if cp is not None:
        ref, ref_status = state(cp, fn, k)
        line += f"   CVXPY {ref_status:8s} {ref: .6f}   difference {abs(ref - value):.1e}"
    print(line)
