"""The solver interface: Clarabel's settings passed through, its status
words turned into the ones CVXPY users know, its setup kept for re-solves
that only change parameter values (the new data handed over by `update`)."""
from __future__ import annotations

import math
import time
from dataclasses import dataclass

import numpy as np

from . import solution, translate
from .errors import SolverError
from .stacks import F64

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
SOLVED = ("optimal", "optimal_inaccurate")
INFEASIBLE = ("infeasible", "infeasible_inaccurate")
UNBOUNDED = ("unbounded", "unbounded_inaccurate")

# Where the package's default differs from Clarabel's: no banner unless asked
DEFAULTS = {"verbose": False}


@dataclass
class SolverStats:
    """What the solver reports of one solve."""
    solver_name: str
    status: str              # Clarabel's own status word
    solve_time: float        # seconds inside Clarabel's solve
    setup_time: float        # seconds to set Clarabel up (or to update its data)
    iterations: int
    reused: bool             # the solver's setup was kept and its data updated


@dataclass
class SolverOutput:
    """Clarabel's own vectors of the flat problem (see Model.flat_problem):
    x, s, z as it returned them."""
    x: np.ndarray
    s: np.ndarray
    z: np.ndarray


def _settings(clarabel, given):
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


def solve(model, raise_on_failure, settings):
    import clarabel
    q, A, b, cones = translate.flat_problem(model)
    f = model._flat
    key = tuple(sorted(settings.items()))
    t0 = time.perf_counter()
    # the model's statement unchanged since the solver was set up (a change
    # drops it): only parameter values moved, so the new data goes in place
    reuse = (model._solver is not None and model._solver_key == key
             and model._solver.is_data_update_allowed())
    if reuse:
        model._solver.update(q=q, A=A.data, b=b)
    else:
        model._solver = clarabel.DefaultSolver(f["P"], q, A, b, _cones(clarabel, cones),
                                               _settings(clarabel, settings))
        model._solver_key = key
    setup = time.perf_counter() - t0
    sol = model._solver.solve()
    word = str(sol.status)
    status = STATUS.get(word, "solver_error")
    model.status = status
    model.solver_stats = SolverStats("CLARABEL", word, float(sol.solve_time), setup, int(sol.iterations), reuse)
    x = np.asarray(sol.x, F64)
    z = np.asarray(sol.z, F64)
    s = np.asarray(sol.s, F64)
    model.solver_output = SolverOutput(x, s, z)
    sign = 1.0 if model.sense == "minimize" else -1.0
    if status in SOLVED:
        model.value = sign * (float(sol.obj_val) + float(f["qfull"][0]))
        solution.store(model, x=x, z=z, s=s)
    elif status in INFEASIBLE:
        # z is the certificate of infeasibility: A'z = 0, b'z < 0, z in the dual cones
        model.value = sign * math.inf
        solution.store(model, x=None, z=z, s=None)
    elif status in UNBOUNDED:
        # x is an improving ray: A x + s = 0 with s in the cones, q.x < 0
        model.value = -sign * math.inf
        solution.store(model, x=x, z=None, s=None, ray=True)
    else:
        model.value = None
        solution.store(model, x=None, z=None, s=None)
    if raise_on_failure and status not in SOLVED:
        raise SolverError(f"solver status {word} ({status})")
    return model.value
