"""Clarabel behind the backend interface: the flat problem is Clarabel's own
form, so its vectors come back as they are; its settings are its
DefaultSettings' attributes; a re-solve that only changed parameter values
hands the new data to the kept solver's `update`."""
from __future__ import annotations

import time

import numpy as np

from .solver_base import Result

NAME = "CLARABEL"
PIP = "clarabel"
CONES = frozenset({"zero", "nonneg", "soc", "psd", "exp", "pow", "genpow"})
QUADRATIC = True
INTEGER = False

# Clarabel's status -> the status word of the model
STATUS = {
    "Solved": "optimal",
    "AlmostSolved": "optimal_inaccurate",
    "PrimalInfeasible": "infeasible",
    "AlmostPrimalInfeasible": "infeasible_inaccurate",
    "DualInfeasible": "unbounded",
    "AlmostDualInfeasible": "unbounded_inaccurate",
    "MaxIterations": "user_limit",
    "MaxTime": "user_limit",
    "CallbackTerminated": "user_limit",
    "NumericalError": "solver_error",
    "InsufficientProgress": "solver_error",
    "Unsolved": "solver_error",
}

# Where the package's default differs from Clarabel's: no banner unless asked
DEFAULTS = {"verbose": False}


def available():
    import importlib.util
    return importlib.util.find_spec("clarabel") is not None


def settings(given):
    """Clarabel's DefaultSettings with the given ones set (each checked
    against its attributes and their types)."""
    import clarabel
    s = clarabel.DefaultSettings()
    for key, value in {**DEFAULTS, **given}.items():
        if key.startswith("_") or not hasattr(s, key):
            raise TypeError(f"unknown Clarabel setting {key!r}")
        try:
            setattr(s, key, value)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"Clarabel setting {key}={value!r}: {exc}") from None
    return s


def _cones(clarabel, cones):
    make = {
        "zero": clarabel.ZeroConeT, "nonneg": clarabel.NonnegativeConeT, "soc": clarabel.SecondOrderConeT,
        "psd": clarabel.PSDTriangleConeT, "exp": lambda _: clarabel.ExponentialConeT(),
        "pow": clarabel.PowerConeT, "genpow": lambda a: clarabel.GenPowerConeT(list(a[0]), a[1]),
    }
    return [make[k](n) for k, n in cones]


def solve(problem, settings, kept, changed, warm):
    import clarabel
    t0 = time.perf_counter()
    # the kept solver takes the new data in place unless Clarabel's presolve
    # changed its rows
    reuse = kept is not None and kept.is_data_update_allowed()
    if reuse:
        # only what the parameter change reached: the objective alone keeps
        # the solver's factorisation of the matrix
        data = {}
        if "q" in changed:
            data["q"] = problem.q
        if "A" in changed:
            data["A"], data["b"] = problem.A.data, problem.b
        if "P" in changed:
            data["P"] = problem.P.data
        if data:
            kept.update(**data)
        solver = kept
    else:
        P = problem.P
        if P is None:
            import scipy.sparse as sp
            P = sp.csc_matrix((len(problem.q), len(problem.q)))
        solver = clarabel.DefaultSolver(P, problem.q, problem.A, problem.b, _cones(clarabel, problem.cones),
                                        settings)
    t1 = time.perf_counter()
    sol = solver.solve()
    word = str(sol.status)
    x, s, z = (np.asarray(v, np.float64) for v in (sol.x, sol.s, sol.z))
    return Result(STATUS.get(word, "solver_error"), word, x, s, z, float(sol.obj_val), int(sol.iterations),
                  float(sol.solve_time), t1 - t0, reuse, solver)
