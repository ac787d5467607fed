"""What every solver backend takes and gives back: the flat problem
(Clarabel's form: minimize 1/2 x'Px + q'x subject to A x + s = b, s in the
product of `cones`, in row order) and the result of one solve, its vectors in
Clarabel's conventions and the flat problem's row order (P x + q + A'z = 0,
z in the dual cones; an infeasible problem's z: A'z = 0, b'z < 0; an unbounded
problem's x: A x + s = 0 with s in the cones, P x = 0, q'x < 0).

Each backend, a module `solver_<name>`, defines NAME, PIP, CONES, QUADRATIC,
INTEGER, available(), settings(given) and solve(problem, settings, kept,
changed, warm) -> Result, importing its solver's package only inside those
functions so that the package imports without it."""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

# the status words of the model, as CVXPY's users know them
STATUSES = ("optimal", "optimal_inaccurate", "infeasible", "infeasible_inaccurate", "unbounded",
            "unbounded_inaccurate", "user_limit", "solver_error")
SOLVED = ("optimal", "optimal_inaccurate")
INFEASIBLE = ("infeasible", "infeasible_inaccurate")
UNBOUNDED = ("unbounded", "unbounded_inaccurate")


@dataclass
class Problem:
    """The flat problem handed to a backend."""
    P: "object | None"           # scipy.sparse.csc_matrix, upper triangle, n x n, or None (no quadratic term)
    q: np.ndarray                # (n,)
    A: "object"                  # scipy.sparse.csc_matrix, (m, n)
    b: np.ndarray                # (m,)
    cones: list                  # [(kind, dim_or_parameter), ...] in row order
    integer: "np.ndarray | None"  # bool (n,): the integer columns, or None (a continuous problem)


@dataclass
class Result:
    """One solve's outcome, in the package's words and Clarabel's conventions."""
    status: str                  # one of STATUSES
    raw: str                     # the solver's own status word
    x: "np.ndarray | None"
    s: "np.ndarray | None"
    z: "np.ndarray | None"       # None where the solver gives no duals (mixed-integer)
    obj: "float | None"          # 1/2 x'Px + q'x at x (None when no solution)
    iterations: int
    solve_time: float
    setup_time: float
    reused: bool                 # the kept solver was updated, not set up anew
    kept: object                 # what the backend keeps for a re-solve (None: nothing)


def cone_size(kind, parameter):
    """The rows one cone of the flat problem takes."""
    if kind in ("zero", "nonneg", "soc"):
        return int(parameter)
    if kind == "psd":
        n = int(parameter)
        return n * (n + 1) // 2
    if kind in ("exp", "pow"):
        return 3
    if kind == "genpow":
        alphas, dim_z = parameter
        return len(alphas) + int(dim_z)
    raise ValueError(f"unknown cone kind {kind!r}")


def cone_rows(cones):
    """[(kind, first_row, rows, parameter), ...] of the cones in row order."""
    out, at = [], 0
    for kind, parameter in cones:
        k = cone_size(kind, parameter)
        out.append((kind, at, k, parameter))
        at += k
    return out


def rows_of(cones, kinds):
    """The flat problem's row indices of the cones whose kind is in `kinds`,
    in row order (an int array; the rows for reordering by kind)."""
    parts = [np.arange(f, f + k) for kind, f, k, _ in cone_rows(cones) if kind in kinds]
    return np.concatenate(parts) if parts else np.zeros(0, dtype=np.int64)


def linear_bounds(problem):
    """(lower, upper) of the linear rows as l <= A x <= u: b on both sides of
    the zero rows, -inf below the nonnegative ones (A x <= b)."""
    upper = np.asarray(problem.b, np.float64).copy()
    lower = np.full(len(upper), -np.inf)
    zero = rows_of(problem.cones, ("zero",))
    lower[zero] = upper[zero]
    return lower, upper


def psd_triangle_permutation(n, to="lower_columns"):
    """The order of an n x n symmetric block's entries: index array perm with
    other[i] = clarabel[perm[i]], where clarabel is the upper triangle stacked
    by columns (Clarabel's PSDTriangleCone) and other the `to` order:
    "lower_columns" (SCS's: the lower triangle stacked by columns, the same
    sqrt(2) scaling of the off-diagonal entries) or "upper_columns" (the
    identity). The inverse order is np.argsort(perm)."""
    if to == "upper_columns":
        return np.arange(n * (n + 1) // 2)
    if to != "lower_columns":
        raise ValueError(f"unknown triangle order {to!r}")
    # position of (i, j), i <= j, in the upper triangle by columns: j(j+1)/2 + i
    # the lower triangle by columns visits (j, i) for i = 0.., j = i..n-1,
    # which is the entry (i, j) of the upper triangle
    i, j = np.triu_indices(n)            # row-major over the upper triangle: i outer, j inner
    return (j * (j + 1) // 2 + i).astype(np.int64)


def objective(problem, x):
    """1/2 x'Px + q'x of the flat problem at x (P its upper triangle)."""
    value = float(problem.q @ x)
    if problem.P is not None and problem.P.nnz:
        P = problem.P
        d = P.diagonal()
        value += float(x @ (P @ x)) - 0.5 * float(d @ (x * x))
    return value
