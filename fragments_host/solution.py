"""The solution mapped back onto the model: values of variables and of any
expression, duals of constraints and of variable bounds, through the
solution-mapping kernels and the element tables of the conic constraints.

Sign conventions (as Clarabel's z, on the constraint as stated):
  expr >= 0, expr <= 0 (nonneg rows): dual >= 0, as CVXPY's;
  expr == 0: dual = minus CVXPY's;
  cones (soc, rsoc, psd, exp, pow, genpow): the dual lies in the dual cone,
  as CVXPY's; bounds: x.lower_dual, x.upper_dual >= 0, x.dual their
  difference."""
from __future__ import annotations

import numpy as np

from . import data
from . import kernels as kn
from . import stacks as st
from . import translate
from .constraints import Constraint
from .errors import DataError, ShapeError
from .expressions import Affine, Variable
from .stacks import F64, I32
from .terms import _Member


def store(model, output, primal, dual, ray=False):
    """Keeps the solver's output; its vectors are laid out on first use. The
    values the user set on variables give way to the solve's."""
    ref = model._ref
    ref._sol = {"out": output, "primal": primal, "dual": dual, "ray": ray}
    ref.given = {}


def _current(model):
    """The last solution's vectors: x with the reserved element 0 in front,
    z, and the bound duals laid out per scalar variable (None where the
    solve gave no such vector)."""
    sol = model._sol
    if sol is None or model._flat is None:
        return None
    if "x" not in sol:
        out, f = sol["out"], model._flat
        sol["x"] = sol["z"] = None
        if sol["primal"]:
            x = out.x
            xx = np.zeros(len(x) + 1, F64)
            kn.copy_f64_run(0, len(x), 1, xx, x)
            sol["x"] = xx
        if sol["dual"]:
            z = sol["z"] = out.z
            sol["slx"], sol["sux"], sol["yx"] = bound_duals(f, z)
            sol["vacc"] = f["vacc"]
    return sol


def bound_duals(f, z):
    """The bound duals laid out per scalar variable (the reserved element 0
    in front): lower, upper, and lower minus upper, from the solver's z."""
    N, L, B, Bl = f["N"], f["L"], f["B"], f["Bl"]
    slx, sux, yx = np.zeros(N + 1, F64), np.zeros(N + 1, F64), np.zeros(N + 1, F64)
    kn.scatter(f["bsubj"][:Bl], slx, z[L:L + Bl])
    kn.scatter(f["bsubj"][Bl:B], sux, z[L + Bl:L + B])
    kn.bound_dual_difference(N + 1, slx, sux, yx)
    if "vacc" not in f:
        f["vacc"] = np.full(N + 1, -1, I32)    # no variable element sits directly in a cone
    return slx, sux, yx


def variable_value(model, v):
    given = model.given.get(id(v))
    if given is not None:
        return given[1].reshape(v.shape).copy()
    sol = _current(model)
    if sol is None or sol["x"] is None:
        return None
    res = np.zeros(v.size, F64)
    kn.variable_values(v.size, v.full, 0, res, sol["x"])
    return res.reshape(v.shape)


def variable_dual(model, v, which):
    sol = _current(model)
    if sol is None or sol["z"] is None:
        return None
    res = np.zeros(v.size, F64)
    if which == "lower":
        kn.variable_values(v.size, v.full, 0, res, sol["slx"])
    elif which == "upper":
        kn.variable_values(v.size, v.full, 0, res, sol["sux"])
    else:
        accptr, _ = model._flat["acc"]
        kn.variable_duals(accptr, None, None, v.size, v.full, 0, res, sol["vacc"], sol["vacc"], sol["yx"])
    shared_bound_duals(res, v.full, v.nidxs)
    return res.reshape(v.shape)


def shared_bound_duals(res, full, nidxs):
    """A symmetric variable's bound duals per position, in place: one bound
    row per packed column, its dual shared by the column's two positions
    off the diagonal (as the duals of X >= lb, X <= ub stated elementwise
    are). Nothing for another variable."""
    if full is not nidxs and len(full):
        cols = full - nidxs[0]
        res /= np.bincount(cols, minlength=len(nidxs))[cols]


def element_duals(f, z, native):
    """Duals of the given elements (native indices) of the flat problem f:
    linear rows from the rows' duals, conic elements through the element
    tables."""
    accptr, elm = f["acc"]
    L, B = f["L"], f["B"]
    res = np.zeros(len(native), F64)
    kn.constraint_duals(accptr, z[L + B:], elm["accid"], elm["ofs"], elm["scale"], len(native), native, 0, res,
                        z[:L])
    return res


def constraint_dual(model, c):
    """Duals of a constraint's elements: linear rows from the rows' duals,
    conic elements through the element tables."""
    sol = _current(model)
    if sol is None or sol["z"] is None or id(c) not in model._native:
        return None
    arr, lo, hi = model._native[id(c)]
    return shaped_duals(element_duals(model._flat, sol["z"], arr[lo:hi]), c)


def shaped_duals(res, c):
    """A constraint's element duals as its dual: mapped back from the cones
    its rows were stated as, in the dual's shape."""
    if c.kind == "rsoc":
        # back through the map (u, v) -> ((u + v) / sqrt 2, (u - v) / sqrt 2) of every cone
        d = c.cones[0][1]
        blocks = res.reshape(-1, d)
        s0, s1 = blocks[:, 0].copy(), blocks[:, 1].copy()
        blocks[:, 0] = (s0 + s1) / translate.SQRT2
        blocks[:, 1] = (s0 - s1) / translate.SQRT2
    if c.kind in ("exp", "pow"):
        # element i's cone holds (x_i, y_i, z_i): the x, y and z parts first
        return res.reshape(-1, 3).T.reshape(c.dual_shape)
    return res.reshape(c.dual_shape)


def run_dual(model, block, index):
    """The dual of member `index` of a model's run of scalar rows or cones
    (None when the run was not built, or the member was removed)."""
    sol = _current(model)
    if sol is None or sol["z"] is None or id(block) not in model._native:
        return None
    if block.removed and index in block.removed:
        return None
    arr, lo, hi = model._native[id(block)]
    shape = block.item_shape
    d = st.size_of(shape)
    k = lo + block.position(index) * d
    return element_duals(model._flat, sol["z"], arr[k:k + d]).reshape(shape)


def set_variable_value(model, v, value):
    """A value the user gives a variable (None drops it), checked against
    the variable's shape and domain (its bounds, symmetry, semidefiniteness,
    within data.TOLERANCE) and kept until the next solve."""
    if value is None:
        model.given.pop(id(v), None)
        return
    what = f"the value of variable {v.name}"
    val = data.real(value, what, copy=True)
    if val.shape != v.shape:
        raise ShapeError(f"variable {v.name} has shape {v.shape}, {what} has shape {val.shape}")
    packed = v.full is not v.nidxs
    if packed:
        val = data.symmetric(val, what)
        if v.structure in ("PSD", "NSD") and val.size:
            low = np.linalg.eigvalsh(val if v.structure == "PSD" else -val).min()
            if low < -data.tolerance(val):
                raise DataError(f"{what} is not {'positive' if v.structure == 'PSD' else 'negative'} semidefinite "
                                f"(an eigenvalue {low if v.structure == 'PSD' else -low:.3g})")
    flat = val.reshape(-1)
    if any(b is not None for b in v.bounds):
        on = flat
        if packed:
            # the domain lies on the packed columns
            on = np.zeros(len(v.nidxs), F64)
            kn.scatter((v.full - v.nidxs[0]).astype(I32), on, flat)
        for dom, side in zip(v.bounds, ("lower", "upper")):
            if dom is None:
                continue
            if dom[0] == "sparse":
                at = np.ravel_multi_index(tuple(dom[1].T), v.shape)
                x, b = flat[at], dom[2]
            else:
                x, b = on, dom[1]
            gap = (b - x) if side == "lower" else (x - b)
            slack = data.TOLERANCE * np.maximum(1.0, np.abs(np.where(np.isfinite(b), b, 0.0)))
            if np.any(gap > slack):
                raise DataError(f"{what} lies {'below its lower' if side == 'lower' else 'above its upper'} bound "
                                f"(by {float(gap.max()):.3g})")
    model.given[id(v)] = (v.full, flat)


def _given_over(model, x, ncols):
    """The solution vector (or NaN for every column when there is none), of
    at least `ncols` entries, with the values the user set since the last
    solve written over it."""
    given = model.given.values()
    n = max([ncols, 0 if x is None else len(x)] + [int(full.max(initial=0)) + 1 for full, _ in given])
    out = np.full(n, np.nan)
    if x is not None:
        kn.copy_f64_run(0, len(x), 0, out, x)
    for full, vals in given:
        out[full] = vals
    return out


def expression_value(model, e):
    """The expression's rows at the solution, or at the values the user set
    since: fixed coefficients, and the programs of its parameter-dependent
    terms run by the evaluator at the current parameter values, times the
    solution (the reserved element 0 standing for the constant 1); None when
    a variable of the expression has no value."""
    sol = _current(model)
    x = None if sol is None or sol["x"] is None or sol["ray"] else sol["x"]
    if x is None and not model.given:
        return None
    import scipy.sparse as sp
    ex = e._e
    x = _given_over(model, x, int(ex.nidxs.max(initial=0)) + 1) if model.given else x.copy()
    x[0] = 1.0
    if model.given and np.isnan(x[ex.nidxs]).any():
        return None
    ncols = len(x)
    M = sp.csr_matrix((ex.cof, ex.nidxs, ex.ptr), shape=(ex.n, ncols))
    val = M @ x
    if ex.prog:
        table = translate._store_programs([(ex, st.iota(np.zeros(ex.n, I32), 0))], ex.n)
        if table is not None:
            n = table["count"]
            subi, subj, v = np.zeros(n, I32), np.zeros(n, I32), np.zeros(n, F64)
            kn.evaluate_programs(table["cconst"], table["code"], 0, table["sizes"],
                                 translate.parameter_values(model), table["varidx"], table["rcp"], table["ptrb"],
                                 table["ptre"], 0, 0, subi, subj, v, np.zeros(table["depth"], F64))
            val = val + sp.coo_matrix((v, (subi, subj)), shape=(ex.n, ncols)) @ x
            if model.given and np.isnan(val).any():
                return None
    return val.reshape(e.shape)


# -- the values and duals the model's parts read: set on their classes here
# (those classes know nothing of a solution)

def _value_of_expression(e):
    """The expression at the last solution (None before a solve and after
    a solve that found no solution)."""
    return expression_value(e._model, e)


def _value_of_variable(v):
    """The variable at the last solution, or the value the user set since
    (None before a solve and after a solve that found no solution)."""
    return variable_value(v._model, v)


def _given_value(v, value):
    # an initial value, kept until the next solve (None drops it): read
    # back by `value` and by the values of expressions of the variable
    set_variable_value(v._model, v, value)


def _dual_of_bounds(v):
    """Dual of the variable's bounds per element (lower minus upper)."""
    return variable_dual(v._model, v, "both")


def _dual_of_constraint(c):
    """The constraint's dual per element (None before a solve)."""
    if c._mref is None:
        return None
    return constraint_dual(c._mref, c)


def _dual_of_member(c):
    """The dual (None before a solve)."""
    if c._mref is None:
        return None
    if c._block is None:
        return constraint_dual(c._mref, c)
    return run_dual(c._mref, c._block, c._index)


Affine.value = property(_value_of_expression)
Variable.value = property(_value_of_variable, _given_value)
Variable.dual = property(_dual_of_bounds)
Variable.lower_dual = property(lambda v: variable_dual(v._model, v, "lower"))
Variable.upper_dual = property(lambda v: variable_dual(v._model, v, "upper"))
Constraint.dual = property(_dual_of_constraint)
_Member.dual = property(_dual_of_member)
