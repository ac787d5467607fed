"""SCS as a backend: the flat problem's rows regrouped into SCS's cone order
(zero, nonneg, soc, psd, exp, pow; each kind keeping its own order), the
semidefinite blocks from Clarabel's upper triangle by columns to SCS's lower
triangle by columns (the same sqrt(2) scaling of the off-diagonal entries, so
the same numbers in another order), and x, s, z back in the flat problem's
rows. SCS's exponential cone (x, y, z: y exp(x / y) <= z) and power cone
(x^a y^(1-a) >= |z|) are Clarabel's, as are its dual signs: P x + q + A'y = 0,
y in the dual cones; an infeasible problem's y: A'y = 0, b'y = -1; an
unbounded problem's x, s: A x + s = 0, q'x = -1."""
from __future__ import annotations

import numpy as np

from . import solver_base as sb

NAME = "SCS"
PIP = "scs"
CONES = frozenset({"zero", "nonneg", "soc", "psd", "exp", "pow"})
QUADRATIC = True
INTEGER = False
WARM_START = True           # starts from the last solution when asked

# the keyword settings scs.SCS takes
NAMES = frozenset({
    "eps_abs", "eps_rel", "eps_infeas", "max_iters", "time_limit_secs", "verbose", "normalize", "scale",
    "adaptive_scale", "adaptive_diag_scale", "rho_x", "alpha", "acceleration_lookback",
    "acceleration_interval", "acceleration_regularization", "acceleration_relaxation",
    "write_data_filename", "log_csv_filename", "linear_solver",
})
# where the package's default differs from SCS's: no banner unless asked
DEFAULTS = {"verbose": False}

# SCS's status_val -> the status word of the model
STATUS = {
    1: "optimal", 2: "optimal_inaccurate",
    -2: "infeasible", -7: "infeasible_inaccurate",
    -1: "unbounded", -6: "unbounded_inaccurate",
    -5: "user_limit",                      # interrupted
    -3: "solver_error", -4: "solver_error", 0: "solver_error",
}
# SCS's cone order, and the key of each kind in its cone dictionary
ORDER = ("zero", "nonneg", "soc", "psd", "exp", "pow")


def available():
    import importlib.util
    return importlib.util.find_spec("scs") is not None


def settings(given):
    for key in given:
        if key not in NAMES:
            raise TypeError(f"unknown {NAME} setting {key!r}")
    return {**DEFAULTS, **given}


def _layout(cones):
    """(order, cone): SCS's row i is the flat problem's row order[i]; cone
    SCS's cone dictionary."""
    table = sb.cone_rows(cones)
    for kind, _, _, _ in table:
        if kind not in CONES:
            raise ValueError(f"{NAME} takes no {kind} cone")
    parts = []
    for kind in ORDER:
        if kind != "psd":
            parts.append(sb.rows_of(cones, (kind,)))
            continue
        # each block's rows in SCS's lower-triangle order
        parts.extend(first + sb.psd_triangle_permutation(int(n)) for k, first, _, n in table if k == "psd")
    order = np.concatenate([np.zeros(0, np.int64)] + parts).astype(np.int64)
    cone = {
        "z": sum(int(n) for k, n in cones if k == "zero"),
        "l": sum(int(n) for k, n in cones if k == "nonneg"),
        "q": [int(n) for k, n in cones if k == "soc"],
        "s": [int(n) for k, n in cones if k == "psd"],
        "ep": sum(1 for k, _ in cones if k == "exp"),
        "p": [float(a) for k, a in cones if k == "pow"],
    }
    return order, cone


def _setup(scs, problem, opts):
    order, cone = _layout(problem.cones)
    A = problem.A.tocsc()[order, :].tocsc()
    data = {"A": A, "b": np.asarray(problem.b, np.float64)[order], "c": np.asarray(problem.q, np.float64)}
    if problem.P is not None and problem.P.nnz:
        data["P"] = problem.P.tocsc()
    solver = scs.SCS(data, cone, **opts)
    return {"solver": solver, "order": order, "A": problem.A.copy(),
            "P": None if problem.P is None else problem.P.copy(), "opts": opts}


def _same(M, K):
    """The kept matrix K is M (structure and values)."""
    if M is None or K is None:
        return (M is None or not M.nnz) and (K is None or not K.nnz)
    return (M.shape == K.shape and M.nnz == K.nnz and np.array_equal(M.indptr, K.indptr)
            and np.array_equal(M.indices, K.indices) and np.array_equal(M.data, K.data))


def solve(problem, settings, kept, changed, warm):
    import scs
    opts = dict(settings)
    # SCS updates b and q in place; a new A or P needs a new setup. A change
    # reported on A may have moved b alone: the kept A tells.
    reuse = (kept is not None and kept["opts"] == opts
             and ("A" not in changed or _same(problem.A, kept["A"]))
             and ("P" not in changed or _same(problem.P, kept["P"])))
    if reuse:
        order = kept["order"]
        kept["solver"].update(b=np.asarray(problem.b, np.float64)[order], c=np.asarray(problem.q, np.float64))
    else:
        kept = _setup(scs, problem, opts)
        order = kept["order"]
    start = {}
    if warm is not None:
        x, s, z = warm
        if all(v is not None and np.all(np.isfinite(v)) for v in (x, s, z)):
            start = {"x": np.asarray(x, np.float64), "y": np.asarray(z, np.float64)[order],
                     "s": np.asarray(s, np.float64)[order]}
    out = kept["solver"].solve(warm_start=bool(start), **start)
    info = out["info"]
    status = STATUS.get(int(info["status_val"]), "solver_error")
    m = len(order)
    x = s = z = None
    if status in sb.SOLVED or status in sb.UNBOUNDED:
        x = np.asarray(out["x"], np.float64).copy()
        s = np.empty(m)
        s[order] = out["s"]
    if status in sb.SOLVED or status in sb.INFEASIBLE:
        z = np.empty(m)
        z[order] = out["y"]
    obj = sb.objective(problem, x) if status in sb.SOLVED else None
    # SCS reports times in milliseconds
    return sb.Result(status, str(info["status"]), x, s, z, obj, int(info["iter"]),
                     float(info["solve_time"]) / 1e3, float(info["setup_time"]) / 1e3, reuse, kept)
