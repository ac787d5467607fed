"""OSQP as a backend: the flat problem's zero rows as l = u = b, its
nonnegative rows as A x <= b (l = -inf, u = b). OSQP's y satisfies
P x + q + A'y = 0 with y >= 0 where the upper side holds, which is the flat
problem's z on both kinds of rows; its certificate of infeasibility (A'y = 0,
u'y+ + l'y- < 0, so y >= 0 on the rows with l = -inf) is the flat problem's z
(b'z < 0); its certificate of unboundedness x gives A x <= 0 on the
nonnegative rows, A x = 0 on the zero rows: s = -A x."""
from __future__ import annotations

import numpy as np

from . import solver_base as sb

NAME = "OSQP"
PIP = "osqp"
CONES = frozenset({"zero", "nonneg"})
QUADRATIC = True
INTEGER = False
WARM_START = True           # starts from the last solution when asked

# where the package's default differs from OSQP's: no banner unless asked
DEFAULTS = {"verbose": False}
# CVXPY's name of OSQP's polishing, as OSQP's older releases had it
RENAMED = {"polish": "polishing"}

# OSQP's status_val -> the status word of the model
STATUS = {
    1: "optimal", 2: "optimal_inaccurate",
    3: "infeasible", 4: "infeasible_inaccurate",
    5: "unbounded", 6: "unbounded_inaccurate",
    7: "user_limit", 8: "user_limit", 10: "user_limit",   # iterations, time limit, interrupted
    9: "solver_error", 11: "solver_error",                # non-convex, unsolved
}


def available():
    import importlib.util
    return importlib.util.find_spec("osqp") is not None


def _names():
    """The settings osqp.OSQP's setup takes: its settings' fields and the
    ones its setup converts (rho, solver_type, cg_preconditioner)."""
    import osqp
    fields = {k for k in osqp.OSQP().ext.OSQPSettings.__dict__ if not k.startswith("_")}
    return fields | {"rho", "solver_type", "cg_preconditioner"}


def settings(given):
    names = _names()
    out = dict(DEFAULTS)
    for key, value in given.items():
        key2 = RENAMED.get(key, key)
        if key2 not in names or key2 == "warm_starting":
            # warm starts are asked through the model's solve(warm_start=...)
            raise TypeError(f"unknown {NAME} setting {key!r}")
        out[key2] = value
    return out


def _bounds(problem):
    """(l, u) of OSQP's l <= A x <= u: b on both sides of the zero rows, -inf
    below the nonnegative ones."""
    for kind, _ in problem.cones:
        if kind not in CONES:
            raise ValueError(f"{NAME} takes no {kind} cone")
    lo, up = sb.linear_bounds(problem)
    return lo, up, sb.rows_of(problem.cones, ("zero",))


def _setup(osqp, problem, opts):
    lo, up, zero = _bounds(problem)
    solver = osqp.OSQP()
    P = problem.P if problem.P is not None and problem.P.nnz else None
    solver.setup(P, np.asarray(problem.q, np.float64), problem.A.tocsc(), lo, up, **opts)
    return {"solver": solver, "opts": opts, "zero": zero, "P": P is not None,
            "A": (problem.A.shape, problem.A.indptr.copy(), problem.A.indices.copy()),
            "Pshape": None if P is None else (P.indptr.copy(), P.indices.copy())}


def _same_pattern(M, pattern):
    return np.array_equal(M.indptr, pattern[0]) and np.array_equal(M.indices, pattern[1])


def solve(problem, settings, kept, changed, warm):
    import osqp
    opts = dict(settings)
    P = problem.P if problem.P is not None and problem.P.nnz else None
    # OSQP updates q, l, u and the values of A and P in place, their sparsity kept
    reuse = (kept is not None and kept["opts"] == opts and kept["P"] == (P is not None)
             and kept["A"][0] == problem.A.shape and _same_pattern(problem.A, kept["A"][1:])
             and (P is None or _same_pattern(P, kept["Pshape"])))
    if reuse:
        solver, data = kept["solver"], {}
        if "q" in changed:
            data["q"] = np.asarray(problem.q, np.float64)
        if "A" in changed or "b" in changed:
            data["l"], data["u"], _ = _bounds(problem)
        if "A" in changed:
            data["Ax"] = np.asarray(problem.A.data, np.float64)
        if "P" in changed and P is not None:
            data["Px"] = np.asarray(P.data, np.float64)
        if data:
            solver.update(**data)
    else:
        kept = _setup(osqp, problem, opts)
        solver = kept["solver"]
    n, m = len(problem.q), len(problem.b)
    if warm is not None and warm[0] is not None and warm[2] is not None \
            and np.all(np.isfinite(warm[0])) and np.all(np.isfinite(warm[2])):
        solver.warm_start(x=np.asarray(warm[0], np.float64), y=np.asarray(warm[2], np.float64))
    elif reuse:
        # OSQP starts from its last iterate unless told otherwise: a cold start
        solver.warm_start(x=np.zeros(n), y=np.zeros(m))
    out = solver.solve(raise_error=False)
    info = out.info
    status = STATUS.get(int(info.status_val), "solver_error")
    x = s = z = None
    if status in sb.SOLVED:
        x = np.array(out.x, np.float64)
        z = np.array(out.y, np.float64)
        s = problem.b - problem.A @ x
        s[kept["zero"]] = 0.0
    elif status in sb.INFEASIBLE:
        z = np.array(out.prim_inf_cert, np.float64)
    elif status in sb.UNBOUNDED:
        x = np.array(out.dual_inf_cert, np.float64)
        s = -(problem.A @ x)
    obj = sb.objective(problem, x) if status in sb.SOLVED else None
    setup = float(info.update_time if reuse else info.setup_time)
    return sb.Result(status, str(info.status), x, s, z, obj, int(info.iter), float(info.solve_time), setup,
                     reuse, kept)
