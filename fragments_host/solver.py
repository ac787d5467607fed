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
    clarabel_time: float     # seconds in Clarabel's calls: setup or update, and solve
    warm_started: bool = False   # the solve started from the variables' values (Clarabel takes no initial point)


class SolverOutput:
    """Clarabel's own vectors of the flat problem (see Model.flat_problem):
    x, s, z as it returned them, read from the solver's solution on first use."""

    def __init__(self, sol):
        self._sol = sol
        self._x = self._s = self._z = None

    @property
    def x(self):
        if self._x is None:
            self._x = np.asarray(self._sol.x, F64)
        return self._x

    @property
    def s(self):
        if self._s is None:
            self._s = np.asarray(self._sol.s, F64)
        return self._s

    @property
    def z(self):
        if self._z is None:
            self._z = np.asarray(self._sol.z, F64)
        return self._z


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
    changed = f.setdefault("changed", set())
    if reuse:
        # only what the parameter change reached: the objective alone keeps
        # the solver's factorisation of the matrix
        data = {}
        if "q" in changed:
            data["q"] = q
        if "A" in changed:
            data["A"], data["b"] = A.data, b
        if "P" in changed:
            # the quadratic term's parameter entries, in place
            data["P"] = f["P"].data
        if data:
            model._solver.update(**data)
    else:
        model._solver = clarabel.DefaultSolver(f["P"], q, A, b, _cones(clarabel, cones),
                                               _settings(clarabel, settings))
        model._solver_key = key
    changed.clear()
    t1 = time.perf_counter()
    sol = model._solver.solve()
    t2 = time.perf_counter()
    word = str(sol.status)
    status = STATUS.get(word, "solver_error")
    model._status = status
    model._solver_stats = SolverStats("CLARABEL", word, float(sol.solve_time), t1 - t0, int(sol.iterations), reuse,
                                     t2 - t0)
    model._solver_output = SolverOutput(sol)
    sign = 1.0 if model._sense == "minimize" else -1.0
    if status in SOLVED:
        model._value = sign * (float(sol.obj_val) + float(f["qfull"][0]))
        solution.store(model, model.solver_output, primal=True, dual=True)
    elif status in INFEASIBLE:
        # z is the certificate of infeasibility: A'z = 0, b'z < 0, z in the dual cones
        model._value = sign * math.inf
        solution.store(model, model.solver_output, primal=False, dual=True)
    elif status in UNBOUNDED:
        # x is an improving ray: A x + s = 0 with s in the cones, q.x < 0
        model._value = -sign * math.inf
        solution.store(model, model.solver_output, primal=True, dual=False, ray=True)
    else:
        model._value = None
        solution.store(model, None, primal=False, dual=False)
    if raise_on_failure and status not in SOLVED:
        raise SolverError(f"solver status {word} ({status})")
    return model._value
