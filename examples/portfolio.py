"""A portfolio model stated and solved through fragments_host: maximise the
expected return under a second-order-cone risk limit, then re-solve for new
expected returns without rebuilding; compared with CVXPY where installed."""
import importlib
import importlib.util

import numpy as np

import fragments_host as fh

rng = np.random.default_rng(0)
n = 5
F = rng.normal(size=(n, n)) * 0.1          # risk factor: risk = |F^T w|
m = fh.Model("portfolio")
w = m.variable(n, "w", nonneg=True)         # long only: a variable domain
mu = m.parameter(n, "mu")
budget = m.add(w.sum() == 1.0)
risk = m.add(fh.soc(0.1, F.T @ w))
m.maximize((mu * w).sum())                    # parameters in the objective
print("model:")
print(m)

# CVXPY is optional (a test extra, not a dependency of `pip install .`): the
# comparison runs where it is installed.
cp = importlib.import_module("cvxpy") if importlib.util.find_spec("cvxpy") else None
if cp is None:
    print("CVXPY is not installed: no comparison")

for k in range(2):
    mu.value = rng.uniform(0.02, 0.12, n)
    value = m.solve()
    print(f"\nexpected returns {np.round(mu.value, 4).tolist()}")
    print(f"  fragments_host: return {value:.8f}, weights {np.round(w.value, 6).tolist()}")
    print(f"  budget dual {float(budget.dual):.8f}, risk dual {np.round(risk.dual, 6).tolist()}, "
          f"long-only duals {np.round(w.lower_dual, 6).tolist()}")
    if cp is not None:
        wc = cp.Variable(n)
        cons = [cp.sum(wc) == 1.0, wc >= 0, cp.SOC(cp.Constant(0.1), F.T @ wc)]
        prob = cp.Problem(cp.Maximize(mu.value @ wc), cons)
        prob.solve(solver=cp.CLARABEL)
        print(f"  CVXPY:          return {prob.value:.8f}, weights {np.round(wc.value, 6).tolist()}")
        print(f"  agreement: objective {abs(prob.value - value):.2e}, "
              f"weights {np.max(np.abs(wc.value - w.value)):.2e}, "
              f"budget dual {abs(-float(cons[0].dual_value) - float(budget.dual)):.2e}")
