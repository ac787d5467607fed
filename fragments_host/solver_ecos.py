"""ECOS behind the backend interface: the flat problem's zero rows as ECOS's
equalities A x = b, the others as G x + s = h in ECOS's order (the
nonnegative rows, the second-order cones, the exponential cones). ECOS's
exponential cone is {(a, b, c): c exp(a / c) <= b, c > 0}, Clarabel's
(x, y, z) with y and z swapped, so each exponential cone's rows go over as
(x, z, y) and come back the same way. ECOS's KKT conditions are
c + A'y + G'z = 0 with z in the dual cones: its y and z are Clarabel's z of
the zero rows and of the cone rows, signs unchanged, and so are its
certificates (an infeasible problem's y, z with b'y + h'z < 0, an unbounded
problem's x with c'x < 0, both scaled to -1 there as Clarabel's). ECOS
keeps no state: every solve sets it up anew."""
from __future__ import annotations

import time

import numpy as np

from .solver_base import Result, cone_rows, objective, rows_of

NAME = "ECOS"
PIP = "ecos"
CONES = frozenset({"zero", "nonneg", "soc", "exp"})
QUADRATIC = False
INTEGER = False

# ECOS's settings (its branch-and-bound ones, mi_*, are not used: SCIP and
# HiGHS take the integer columns) and the type each takes
KINDS = {"feastol": float, "abstol": float, "reltol": float, "feastol_inacc": float, "abstol_inacc": float,
         "reltol_inacc": float, "max_iters": int, "nitref": int, "verbose": bool}
# Where the package's default differs from ECOS's: no banner unless asked
DEFAULTS = {"verbose": False}

# ECOS's exitFlag -> the status word of the model
STATUS = {0: "optimal", 10: "optimal_inaccurate", 1: "infeasible", 11: "infeasible_inaccurate",
          2: "unbounded", 12: "unbounded_inaccurate", -1: "user_limit", -4: "user_limit",
          -2: "solver_error", -3: "solver_error", -7: "solver_error"}


def available():
    import importlib.util
    return importlib.util.find_spec("ecos") is not None


def settings(given):
    """The given settings, checked against ECOS's names and the type each
    takes (a bool is no count, a count is a tolerance)."""
    out = {**DEFAULTS, **given}
    for key, value in out.items():
        kind = KINDS.get(key)
        if kind is None:
            raise TypeError(f"unknown {NAME} setting {key!r}")
        if kind is bool:
            ok = isinstance(value, (bool, np.bool_))
        elif kind is int:
            ok = isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)) and value >= 0
        else:
            ok = isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_)) \
                and value > 0
        if not ok:
            raise TypeError(f"{NAME} setting {key}={value!r}: ECOS takes a "
                            f"{'True or False' if kind is bool else 'nonnegative count' if kind is int else 'positive number'}")
        out[key] = kind(value)
    return out


def _order(cones):
    """The flat problem's rows of ECOS's G in ECOS's order, ECOS's cone
    dimensions, and the flat problem's zero rows."""
    lin = rows_of(cones, ("nonneg",))
    soc = rows_of(cones, ("soc",))
    expo = rows_of(cones, ("exp",)).reshape(-1, 3)[:, [0, 2, 1]].ravel()
    dims = {"l": len(lin), "q": [int(k) for kind, _, k, _ in cone_rows(cones) if kind == "soc"],
            "e": len(expo) // 3}
    return np.concatenate([lin, soc, expo]).astype(np.int64), dims, rows_of(cones, ("zero",))


def _csc(M):
    M = M.tocsc()
    M.sort_indices()
    return M


def solve(problem, settings, kept, changed, warm):
    import ecos
    t0 = time.perf_counter()
    A, b = problem.A.tocsr(), np.asarray(problem.b, np.float64)
    g, dims, e = _order(problem.cones)
    q = np.asarray(problem.q, np.float64)
    G, h = _csc(A[g]), b[g]
    Ae, be = (_csc(A[e]), b[e]) if len(e) else (None, None)
    t1 = time.perf_counter()
    out = ecos.solve(q, G, h, dims, Ae, be, **settings)
    info = out["info"]
    flag = int(info["exitFlag"])
    status = STATUS.get(flag, "solver_error")
    m = len(b)
    x = s = z = obj = None

    def back(cone_part, eq_part):
        v = np.zeros(m)
        v[g] = cone_part
        if len(e):
            v[e] = eq_part
        return v

    if status in ("optimal", "optimal_inaccurate"):
        x = np.asarray(out["x"], np.float64)
        s = back(out["s"], 0.0)
        z = back(out["z"], out["y"])
        obj = objective(problem, x)
    elif status in ("infeasible", "infeasible_inaccurate"):
        # ECOS hands the certificate back divided by its homogenising tau
        # (nearly 0 here): scaled to b'z = -1, Clarabel's
        z = back(out["z"], out["y"])
        z /= -(b @ z)
    elif status in ("unbounded", "unbounded_inaccurate"):
        # the ray, scaled likewise to q'x = -1
        x = np.asarray(out["x"], np.float64)
        x /= -(q @ x)
        s = -(problem.A @ x)
    timing = info.get("timing", {})
    return Result(status, str(info.get("infostring", flag)), x, s, z, obj, int(info.get("iter", 0)),
                  float(timing.get("tsolve", 0.0)), float(timing.get("tsetup", 0.0)) + (t1 - t0), False, None)
