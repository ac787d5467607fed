"""HiGHS (highspy) behind the backend interface: linear rows (zero rows as
l = u = b, nonneg rows as A x <= b), the quadratic term as its Hessian, the
integer columns as its integrality. HiGHS's row duals are the negation of
Clarabel's z; its dual ray (negated) is the certificate of infeasibility
and its primal ray the improving ray of an unbounded problem. A re-solve
that changed only the objective's linear part changes the kept model's
costs in place; other changes set HiGHS up anew."""
from __future__ import annotations

import time

import numpy as np

from .solver_base import Result, linear_bounds, objective

NAME = "HIGHS"
PIP = "highspy"
CONES = frozenset({"zero", "nonneg"})
QUADRATIC = True
INTEGER = True
WARM_START = True           # takes a starting point (setSolution)

# Where the package's default differs from HiGHS's: no log unless asked
DEFAULTS = {"output_flag": False}

_checker = []               # one Highs whose options check the given settings


def available():
    import importlib.util
    return importlib.util.find_spec("highspy") is not None


def lacks(problem):
    """HiGHS solves no mixed-integer QP."""
    if problem.integer is not None and problem.P is not None:
        return "a quadratic objective with integer variables (HiGHS solves no mixed-integer QP)"
    return None


def _status(highspy):
    M = highspy.HighsModelStatus
    words = {M.kOptimal: "optimal", M.kInfeasible: "infeasible", M.kUnbounded: "unbounded",
             M.kModelEmpty: "optimal"}
    for w in ("kTimeLimit", "kIterationLimit", "kSolutionLimit", "kInterrupt", "kObjectiveBound", "kObjectiveTarget",
              "kHighsInterrupt"):
        if hasattr(M, w):
            words[getattr(M, w)] = "user_limit"
    return words


def _quiet_instance(highspy):
    """The first HiGHS instance of the process, made with the standard
    output shut for the moment: HiGHS prints its banner as the first
    instance is made, whatever its options say (and no later one prints
    it)."""
    import os
    import sys
    try:
        sys.stdout.flush()
        saved = os.dup(1)
    except (OSError, ValueError, AttributeError):
        return highspy.Highs()
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            return highspy.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def settings(given):
    """The given options, each checked against HiGHS's option names and its
    type (by setting it on a checking instance)."""
    import highspy
    if not _checker:
        h = _quiet_instance(highspy)
        h.setOptionValue("output_flag", False)
        _checker.append(h)
    h = _checker[0]
    out = {**DEFAULTS, **given}
    for key, value in out.items():
        status, _ = h.getOptionType(key)
        if status != highspy.HighsStatus.kOk:
            raise TypeError(f"unknown {NAME} setting {key!r}")
        if h.setOptionValue(key, value) != highspy.HighsStatus.kOk:
            raise TypeError(f"{NAME} setting {key}={value!r}: not a value HiGHS takes for it")
    h.resetOptions()
    h.setOptionValue("output_flag", False)
    return out


def _build(highspy, problem, options):
    inf = highspy.kHighsInf
    A = problem.A.tocsc()
    m, n = A.shape
    h = highspy.Highs()
    for key, value in options.items():
        h.setOptionValue(key, value)
    lp = highspy.HighsLp()
    lp.num_col_, lp.num_row_ = n, m
    lp.col_cost_ = np.asarray(problem.q, np.float64)
    lp.col_lower_ = np.full(n, -inf)
    lp.col_upper_ = np.full(n, inf)
    lp.row_lower_, lp.row_upper_ = linear_bounds(problem)
    lp.a_matrix_.format_ = highspy.MatrixFormat.kColwise
    lp.a_matrix_.num_col_, lp.a_matrix_.num_row_ = n, m
    lp.a_matrix_.start_, lp.a_matrix_.index_, lp.a_matrix_.value_ = A.indptr, A.indices, A.data
    h.passModel(lp)
    if problem.integer is not None:
        cols = np.flatnonzero(problem.integer).astype(np.int32)
        h.changeColsIntegrality(len(cols), cols, np.full(len(cols), highspy.HighsVarType.kInteger))
    if problem.P is not None:
        _pass_hessian(highspy, h, problem.P)
    return h


def _pass_hessian(highspy, h, P):
    """P to HiGHS's Hessian: the lower triangle by columns, the transpose of
    P's upper one."""
    L = P.T.tocsc()
    L.sort_indices()
    h.passHessian(P.shape[0], L.nnz, highspy.HessianFormat.kTriangular, L.indptr, L.indices, L.data)


def _iterations(info):
    names = ("simplex_iteration_count", "ipm_iteration_count", "qp_iteration_count", "pdlp_iteration_count")
    return int(sum(max(0, getattr(info, k, 0)) for k in names))


def solve(problem, settings, kept, changed, warm):
    import highspy
    t0 = time.perf_counter()
    A = problem.A
    # the kept model takes new costs, row bounds (b) and a new Hessian in
    # place; new values of A's entries set it up anew
    reuse = (kept is not None and changed <= {"q", "A", "b", "P"} and kept[1].shape == A.data.shape
             and np.array_equal(kept[1], A.data) and np.array_equal(kept[2], A.indices))
    if reuse:
        h = kept[0]
        n, m = len(problem.q), len(problem.b)
        if "q" in changed:
            h.changeColsCost(n, np.arange(n, dtype=np.int32), np.asarray(problem.q, np.float64))
        if "A" in changed or "b" in changed:
            h.changeRowsBounds(m, np.arange(m, dtype=np.int32), *linear_bounds(problem))
        if "P" in changed and problem.P is not None:
            _pass_hessian(highspy, h, problem.P)
    else:
        h = _build(highspy, problem, settings)
    if warm is not None and warm[0] is not None:
        start = highspy.HighsSolution()
        start.col_value = np.asarray(warm[0], np.float64)
        h.setSolution(start)
    t1 = time.perf_counter()
    h.run()
    ms = h.getModelStatus()
    if ms == highspy.HighsModelStatus.kUnboundedOrInfeasible and h.getOptionValue("presolve") != "off":
        # presolve found one or the other: without it HiGHS tells which
        h.setOptionValue("presolve", "off")
        h.run()
        ms = h.getModelStatus()
        h.setOptionValue("presolve", settings.get("presolve", "choose"))
    t2 = time.perf_counter()
    raw = h.modelStatusToString(ms)
    status = _status(highspy).get(ms, "solver_error")
    info = h.getInfo()
    b, q = problem.b, problem.q
    x = s = z = obj = None
    mixed = problem.integer is not None
    if status == "optimal":
        sol = h.getSolution()
        x = np.asarray(sol.col_value, np.float64)
        s = b - A @ x
        if sol.dual_valid and not mixed:
            z = -np.asarray(sol.row_dual, np.float64)
        obj = objective(problem, x)
    elif status == "infeasible" and not mixed:
        _, has, ray = h.getDualRay()
        if has:
            z = -np.asarray(ray, np.float64)
            if b @ z > 0:
                z = -z
    elif status == "unbounded":
        _, has, ray = h.getPrimalRay()
        if has:
            x = np.asarray(ray, np.float64)
            if q @ x > 0:
                x = -x
            s = -(A @ x)
    return Result(status, raw, x, s, z, obj, _iterations(info), t2 - t1, t1 - t0, reuse,
                  (h, A.data.copy(), A.indices.copy()))
