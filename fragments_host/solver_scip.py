"""SCIP (pyscipopt) behind the backend interface: one SCIP variable per
column (integer where the flat problem's column is), the zero rows as
linear equalities, the nonnegative rows as A x <= b (a row of one entry as
a bound of its column),
each second-order cone (t, x) of rows b - A x as auxiliary variables tied to
those rows and the quadratic constraint sum x_i^2 <= t^2 with t >= 0 (the
form SCIP recognises as a second-order cone), and a quadratic objective as
q'x + w with w >= 1/2 x'Px (SCIP's objective is linear).

SCIP's duals are those of the last LP of its branch and bound, in which
rows of one entry are bounds (their duals SCIP's reduced costs) and cones
are cuts: they are not the flat problem's, so z is None (SCIP gives no
certificate of infeasibility either). SCIP keeps no state for a re-solve:
every solve sets it up anew. pyscipopt states a model one constraint at a
time, so the rows are handed over one by one."""
from __future__ import annotations

import time

import numpy as np

from .solver_base import Result, cone_rows, objective

NAME = "SCIP"
PIP = "pyscipopt"
CONES = frozenset({"zero", "nonneg", "soc"})
QUADRATIC = True
INTEGER = True

# SCIP's getStatus() -> the status word of the model; the limits stop with
# the best solution found, if any (optimal_inaccurate then, as CVXPY's)
STATUS = {"optimal": "optimal", "infeasible": "infeasible", "unbounded": "unbounded"}
LIMITS = ("timelimit", "gaplimit", "nodelimit", "totalnodelimit", "stallnodelimit", "memlimit", "sollimit",
          "bestsollimit", "restartlimit", "userinterrupt", "primallimit", "duallimit")

_checker = []               # one Model whose parameters check the given settings


def available():
    import importlib.util
    return importlib.util.find_spec("pyscipopt") is not None


def settings(given):
    """The given parameters, each checked against SCIP's parameter names and
    set on a checking model (so that a value of the wrong type is refused)."""
    import pyscipopt
    if not _checker:
        m = pyscipopt.Model()
        m.hideOutput(True)
        _checker.append((m, m.getParams()))
    m, names = _checker[0]
    for key, value in given.items():
        if not isinstance(key, str) or key not in names:
            raise TypeError(f"unknown {NAME} setting {key!r}")
        try:
            m.setParam(key, value)
        except (TypeError, ValueError, LookupError) as exc:
            raise TypeError(f"{NAME} setting {key}={value!r}: {exc}") from None
        m.setParam(key, names[key])
    return dict(given)


def _build(pyscipopt, problem, given):
    """The SCIP model of the flat problem and its column variables."""
    quicksum = pyscipopt.quicksum
    A = problem.A.tocsr()
    A.eliminate_zeros()
    b = np.asarray(problem.b, np.float64)
    m, n = A.shape
    model = pyscipopt.Model()
    model.hideOutput("display/verblevel" not in given)
    for key, value in given.items():
        model.setParam(key, value)
    integer = problem.integer if problem.integer is not None else np.zeros(n, bool)
    lb, ub = np.full(n, -np.inf), np.full(n, np.inf)
    kind = np.empty(m, object)
    for k, f, rows, _ in cone_rows(problem.cones):
        kind[f:f + rows] = k
    counts = np.diff(A.indptr)
    # nonnegative rows of one entry: a bound of the column a x <= b
    single = (kind == "nonneg") & (counts == 1)
    rows = np.flatnonzero(single)
    cols, coef = A.indices[A.indptr[rows]], A.data[A.indptr[rows]]
    up, lo = coef > 0, coef < 0
    np.minimum.at(ub, cols[up], b[rows[up]] / coef[up])
    np.maximum.at(lb, cols[lo], b[rows[lo]] / coef[lo])
    x = [model.addVar(f"x{j}", vtype="I" if integer[j] else "C", lb=None if lb[j] == -np.inf else lb[j],
                      ub=None if ub[j] == np.inf else ub[j]) for j in range(n)]
    zero = None
    for i in range(m):
        if single[i]:
            continue
        lo_, hi_ = A.indptr[i], A.indptr[i + 1]
        expr = quicksum(c * x[j] for j, c in zip(A.indices[lo_:hi_], A.data[lo_:hi_]))
        if hi_ == lo_:
            # a row with no entries: 0 against b, through a column fixed at 0
            if zero is None:
                zero = model.addVar("zero", lb=0.0, ub=0.0)
            expr = expr + zero
        if kind[i] == "zero":
            model.addCons(expr == b[i], name=f"r{i}")
        elif kind[i] == "nonneg":
            model.addCons(expr <= b[i], name=f"r{i}")
    for k, f, d, _ in cone_rows(problem.cones):
        if k != "soc":
            continue
        # u = b - A x on the cone's rows: u_0 >= ||u_1..||
        u = [model.addVar(f"u{f + r}", lb=0.0 if r == 0 else None) for r in range(d)]
        for r in range(d):
            i = f + r
            lo_, hi_ = A.indptr[i], A.indptr[i + 1]
            model.addCons(quicksum(c * x[j] for j, c in zip(A.indices[lo_:hi_], A.data[lo_:hi_])) + u[r] == b[i])
        if d > 1:
            model.addCons(quicksum(v * v for v in u[1:]) <= u[0] * u[0])
    obj = quicksum(c * x[j] for j, c in enumerate(problem.q) if c != 0)
    if problem.P is not None and problem.P.nnz:
        # 1/2 x'Px of the upper triangle: the diagonal halved, each entry above it once
        P = problem.P.tocoo()
        w = model.addVar("w", lb=None)
        half = np.where(P.row == P.col, 0.5, 1.0) * P.data
        model.addCons(quicksum(h * x[i] * x[j] for i, j, h in zip(P.row, P.col, half)) <= w)
        obj = obj + w
    model.setObjective(obj, "minimize")
    return model, x


def solve(problem, settings, kept, changed, warm):
    import pyscipopt
    t0 = time.perf_counter()
    model, x = _build(pyscipopt, problem, settings)
    t1 = time.perf_counter()
    model.optimize()
    raw = model.getStatus()
    if raw == "inforunbd":
        # presolving found one or the other: without it SCIP tells which
        model.freeProb()
        model, x = _build(pyscipopt, problem, {**settings, "presolving/maxrounds": 0})
        model.optimize()
        raw = model.getStatus()
    t2 = time.perf_counter()
    has = model.getNSols() > 0
    if raw in STATUS:
        status = STATUS[raw]
    elif raw in LIMITS:
        status = "optimal_inaccurate" if has else "user_limit"
    else:
        status = "solver_error"
    A, b, q = problem.A, problem.b, problem.q
    xs = s = z = obj = None
    if status in ("optimal", "optimal_inaccurate") and has:
        sol = model.getBestSol()
        xs = np.array([model.getSolVal(sol, v) for v in x], np.float64)
        s = b - A @ xs
        obj = objective(problem, xs)
    elif status == "unbounded" and model.hasPrimalRay():
        xs = np.array([model.getPrimalRayVal(v) for v in x], np.float64)
        if q @ xs > 0:
            xs = -xs
        s = -(A @ xs)
    iterations = int(model.getNLPIterations())
    return Result(status, raw, xs, s, z, obj, iterations, float(model.getSolvingTime()) if t2 > t1 else 0.0,
                  t1 - t0, False, None)
