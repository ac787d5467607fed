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

from . import kernels as kn
from . import stacks as st
from . import translate
from .stacks import F64, I32


def store(model, output, primal, dual, ray=False):
    """Keeps the solver's output; its vectors are laid out on first use."""
    model._sol = {"out": output, "primal": primal, "dual": dual, "ray": ray}


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
            N, L, B, Bl = f["N"], f["L"], f["B"], f["Bl"]
            slx, sux, yx = np.zeros(N + 1, F64), np.zeros(N + 1, F64), np.zeros(N + 1, F64)
            kn.scatter(f["bsubj"][:Bl], slx, z[L:L + Bl])
            kn.scatter(f["bsubj"][Bl:B], sux, z[L + Bl:L + B])
            kn.bound_dual_difference(N + 1, slx, sux, yx)
            sol["slx"], sol["sux"], sol["yx"] = slx, sux, yx
            if "vacc" not in f:
                f["vacc"] = np.full(N + 1, -1, I32)    # no variable element sits directly in a cone
            sol["vacc"] = f["vacc"]
    return sol


def variable_value(model, v):
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
    return res.reshape(v.shape)


def _element_duals(model, z, native):
    """Duals of the given elements (native indices): linear rows from the
    rows' duals, conic elements through the element tables."""
    f = model._flat
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
    res = _element_duals(model, sol["z"], arr[lo:hi])
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
    return _element_duals(model, sol["z"], arr[k:k + d]).reshape(shape)


def expression_value(model, e):
    """The expression's rows at the solution: fixed coefficients, and the
    programs of its parameter-dependent terms run by the evaluator at the
    current parameter values, times the solution (the reserved element 0
    standing for the constant 1)."""
    sol = _current(model)
    if sol is None or sol["x"] is None or sol["ray"]:
        return None
    import scipy.sparse as sp
    ex = e._e
    x = sol["x"].copy()
    x[0] = 1.0
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
    return val.reshape(e.shape)
