"""The solvers: one flat problem handed to the backend the user names (or
the one its class calls for: continuous, Clarabel; mixed-integer with only
linear rows, HiGHS; mixed-integer with other cones, SCIP), after checking
that the backend takes its cones, its quadratic term and its integer
columns. Each backend (`solver_<name>`) gives back its vectors in Clarabel's
conventions and a status word of the model's; here they become the model's
value, status, statistics and solution. The backend's setup is kept for
re-solves that only change parameter values (per backend and settings)."""
from __future__ import annotations

import importlib
import math
import time
from dataclasses import dataclass

import numpy as np

from . import solution, translate
from .errors import SolverError
from .solver_base import INFEASIBLE, SOLVED, UNBOUNDED, Problem

# the solver names m.solve(solver=...) takes -> the backend's module
BACKENDS = {"CLARABEL": "solver_clarabel", "SCS": "solver_scs", "OSQP": "solver_osqp", "HIGHS": "solver_highs",
            "ECOS": "solver_ecos", "SCIP": "solver_scip"}
# the default by the problem's class, in order of preference
DEFAULT = {"continuous": ("CLARABEL",), "mixed-integer linear": ("HIGHS", "SCIP"), "mixed-integer conic": ("SCIP",)}
# an integer column's value within this of an integer is that integer
INTEGRALITY = 1e-6


@dataclass
class SolverStats:
    """What the solver reports of one solve."""
    solver_name: str
    status: str              # the solver's own status word
    solve_time: float        # seconds inside the solver's solve
    setup_time: float        # seconds to set the solver up (or to update its data)
    iterations: int
    reused: bool             # the solver's setup was kept and its data updated
    clarabel_time: float     # seconds in the solver's calls: setup or update, and solve (the total time)
    warm_started: bool = False   # the solve started from the variables' values

    @property
    def total_time(self):
        return self.clarabel_time


_MODULES = {}


def backend(name):
    """The backend module of a solver name (None: not part of the package),
    imported once."""
    if name in _MODULES:
        return _MODULES[name]
    try:
        mod = importlib.import_module(f"{__package__}.{BACKENDS[name]}")
    except ModuleNotFoundError as exc:
        if exc.name != f"{__package__}.{BACKENDS[name]}":
            raise
        mod = None
    _MODULES[name] = mod
    return mod


def known():
    """The solver names whose backends the package has."""
    return [n for n in BACKENDS if backend(n) is not None]


def _lacks(mod, problem):
    """What of the problem the backend does not take (empty: it takes it)."""
    out = []
    kinds = sorted({k for k, _ in problem.cones} - mod.CONES)
    if kinds:
        out.append(f"cones of kind {', '.join(kinds)}")
    if problem.P is not None and not mod.QUADRATIC:
        out.append("a quadratic objective")
    if problem.integer is not None and not mod.INTEGER:
        out.append("integer variables")
    more = getattr(mod, "lacks", None)
    extra = more(problem) if more is not None and not out else None
    if extra:
        out.append(extra)
    return out


def _missing(mod):
    return SolverError(f"solver {mod.NAME} is not installed: pip install {mod.PIP} (or pip install "
                       f"\".[{mod.NAME.lower()}]\" from the project)")


def _takers(problem):
    return [n for n in known() if backend(n).available() and not _lacks(backend(n), problem)]


def choose(name, problem):
    """The backend for the problem: the named one (checked), or the default of
    the problem's class."""
    if name is None:
        kind = "continuous" if problem.integer is None else (
            "mixed-integer linear" if {k for k, _ in problem.cones} <= {"zero", "nonneg"} else "mixed-integer conic")
        first_missing, why = None, []
        for n in DEFAULT[kind]:
            mod = backend(n)
            if mod is None:
                continue
            lacks = _lacks(mod, problem)
            if lacks:
                why.append(f"{n} does not take {' and '.join(lacks)}")
                continue
            if mod.available():
                return mod
            first_missing = first_missing or mod
        if first_missing is not None:
            raise _missing(first_missing)
        raise SolverError(f"no default solver takes this {kind} problem ({'; '.join(why) or 'none of the package'}); "
                          f"installed solvers that can take it: {', '.join(_takers(problem)) or 'none'}")
    if not isinstance(name, str):
        raise TypeError(f"solver is a solver's name, one of {', '.join(known())}; not {name!r}")
    mod = backend(name.upper()) if name.upper() in BACKENDS else None
    if mod is None:
        raise ValueError(f"unknown solver {name!r}; the known ones: {', '.join(known())}")
    if not mod.available():
        raise _missing(mod)
    lacks = _lacks(mod, problem)
    if lacks:
        raise SolverError(f"{mod.NAME} cannot take this problem: it has {' and '.join(lacks)}, which {mod.NAME} "
                          f"does not take; installed solvers that can take it: "
                          f"{', '.join(_takers(problem)) or 'none'}")
    return mod


def _warm(model, n, m):
    """(x, s, z) to start from: the last solution's vectors where they fit
    the flat problem, x with the values the user set written over it."""
    out = model._solver_output
    fits = out is not None and out.x is not None and len(out.x) == n
    given = model._ref.given
    if not fits and not given:
        return None
    x = out.x.copy() if fits else np.zeros(n)
    for full, vals in given.values():
        x[full - 1] = vals
    s = out.s if fits and out.s is not None and len(out.s) == m else None
    z = out.z if fits and out.z is not None and len(out.z) == m else None
    return x, s, z


def problem_of(f, q):
    """The backends' problem of a translated model's flat problem `f`, its
    linear objective `q` (the array the evaluation writes)."""
    P = f["P"]
    return Problem(P if P.nnz else None, q, f["A"], f["b"], f["cones"], f.get("integer"))


def request(name, settings):
    """What a solve asks for, as a kept solver is matched by: the solver's
    name (any case; None for the default) and its settings."""
    return (name.upper() if isinstance(name, str) else name, tuple(sorted(settings.items())))


def solve(model, name, raise_on_failure, warm_start, settings):
    q, _, b, _ = translate.flat_problem(model)
    f = model._ref._flat
    # a re-solve hands the backend the same arrays, evaluated in place
    problem = f.get("problem")
    if problem is None or problem.q is not q:
        problem = f["problem"] = problem_of(f, q)
    # the model's statement unchanged since this solver was set up with these
    # settings (a change of statement drops it): only parameter values moved,
    # and the backend chosen then, with its checked settings, takes it again
    asked = request(name, settings)
    kept = None
    if model._solver is not None and model._solver_key[0] == asked:
        kept, (_, mod, given) = model._solver, model._solver_key
    else:
        mod = choose(name, problem)
        given = mod.settings(settings)
    key = (asked, mod, given)
    changed = f.get("changed")
    if changed is None:
        changed = f["changed"] = set()
    warm = _warm(model, len(q), len(b)) if warm_start else None
    t0 = time.perf_counter()
    res = mod.solve(problem, given, kept, frozenset(changed), warm)
    t1 = time.perf_counter()
    changed.clear()
    model._solver, model._solver_key = res.kept, key
    if not res.reused:
        # the parameter values the kept solver was set up with: what a batch
        # of re-solves starts from to give this model's re-solves bit for bit
        model._solver_base = [s.value for s in model._ref.params]
    status = res.status
    model._status = status
    model._solver_stats = SolverStats(mod.NAME, res.raw, res.solve_time, res.setup_time, res.iterations, res.reused,
                                      t1 - t0, warm is not None and getattr(mod, "WARM_START", False))
    value, primal, dual, ray = outcome(res, problem.integer, model._sense, float(f["qfull"][0]))
    model._solver_output = res
    model._value = value
    solution.store(model, None if value is None else res, primal=primal, dual=dual, ray=ray)
    if raise_on_failure and status not in SOLVED:
        raise SolverError(f"solver status {res.raw} ({status})")
    return model._value


def outcome(res, integer, sense, constant):
    """What a solve's result gives the model: (value, primal, dual, ray),
    the objective value (None when the solver failed) and whether x holds
    values, z duals (or a certificate), x a ray. Integer columns within
    INTEGRALITY of an integer are set to it in res.x. `constant` is the
    objective's constant term."""
    mixed = integer is not None
    if mixed and res.x is not None:
        # integer columns within the solver's tolerance of an integer: that integer
        r = np.round(res.x[integer]) + 0.0
        res.x[integer] = np.where(np.abs(res.x[integer] - r) <= INTEGRALITY, r, res.x[integer])
    sign = 1.0 if sense == "minimize" else -1.0
    dual = res.z is not None and not mixed
    status = res.status
    if status in SOLVED and res.x is not None:
        return sign * (float(res.obj) + constant), True, dual, False
    if status in INFEASIBLE:
        # z is the certificate of infeasibility: A'z = 0, b'z < 0, z in the dual cones
        return sign * math.inf, False, dual, False
    if status in UNBOUNDED:
        # x is an improving ray: A x + s = 0 with s in the cones, q.x < 0
        return -sign * math.inf, res.x is not None, False, True
    return None, False, False, False
