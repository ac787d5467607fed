"""Each function's reduction to the cones: of a function constraint, and of
the objective.

A reduction turns an Expression into an affine expression t with auxiliary
variables and constraints such that t >= f(args) for a convex f (its
epigraph) and t <= f(args) for a concave one (its hypograph); the
arguments are reduced first, and the composition rules make the direction
of each argument's bound the one f needs. Every piece is built from the
package's affine operations and cones, so every loop over model data is a
kernel call. The auxiliary variables are columns of the model that are not
listed among its variables, the auxiliary constraints are marked so."""
from __future__ import annotations

import numpy as np

from .constraints import exp_cone, gen_power_cone, power_cone, psd, rsoc, soc
from .errors import ModelError, ShapeError
from .expressions import Affine, ParamExpr, constant_of, stack
from .functions import Expression, Quadratic, diag
from .terms import Terms


class Reduction:
    """The reduction of the expressions of one statement: auxiliary
    constraints gathered in `constraints`; a subexpression used twice is
    reduced once."""

    def __init__(self, model):
        self.model, self.constraints, self._done = model, [], {}

    def variable(self, shape, what):
        return self.model._auxiliary(shape, f"{what}#{self.model.nvars}")

    def add(self, *constraints):
        for c in constraints:
            c.auxiliary, c.model = True, self.model
            self.constraints.append(c)

    def of(self, e):
        """The affine expression standing for e (e itself when affine)."""
        if not isinstance(e, Expression):
            return e
        if id(e) not in self._done:
            self._done[id(e)] = (e, self._reduce(e))
        return self._done[id(e)][1]

    def _reduce(self, e):
        if e.kind == "sum":
            out = self.of(e.args[0])
            for a in e.args[1:]:
                out = out + self.of(a)
            return out
        if e.kind == "scale":
            c, t = e.data["factor"], self.of(e.args[0])
            return c * t if isinstance(c, ParamExpr) else t * c
        if e.kind == "map":
            return e.data["fn"](self.of(e.args[0]))
        args = [self.of(a) for a in e.args]
        return REDUCE[e.data["atom"]](self, e, *args)


def _flat(a):
    return a.reshape((a.size,))


def _expand(t, shape, axis):
    """t of a reduced shape laid out along `axis` of `shape` (each entry
    repeated along the axis): the multi-indices are positions, computed from
    the shapes alone."""
    if axis is None:
        return t
    reduced = np.arange(t.size).reshape(t.shape)
    lin = np.broadcast_to(np.expand_dims(reduced, axis), shape).reshape(-1)
    multi = np.column_stack(np.unravel_index(lin, t.shape)) if t.ndim else np.zeros((lin.size, 0), int)
    return t.pick(multi).reshape(shape)


def _abs(r, e, x):
    t = r.variable(x.shape, "abs")
    r.add(x <= t, -t <= x)
    return t


def _pos(r, e, x):
    t = r.variable(x.shape, "pos")
    r.add(x <= t, t >= 0.0)
    return t


def _neg(r, e, x):
    t = r.variable(x.shape, "neg")
    r.add(-x <= t, t >= 0.0)
    return t


def _extremum(r, e, *args, upper=True):
    t = r.variable(e.shape, e.data["atom"])
    for a in args:
        r.add(a <= t if upper else a >= t)
    return t


def _along(r, e, x, upper):
    axis = e.data["axis"]
    t = r.variable(e.shape, e.data["atom"])
    T = _expand(t, x.shape, axis)
    r.add(x <= T if upper else x >= T)
    return t


def _norm1(r, e, x):
    s = _abs(r, e, x)
    return s.sum() if e.data["axis"] is None else s.sum(e.data["axis"])


def _norm2(r, e, x):
    axis = e.data["axis"]
    t = r.variable(e.shape, "norm")
    r.add(soc(t, x) if axis is None else soc(t, x, axis=axis))
    return t


def _norminf(r, e, x):
    t = r.variable(e.shape, "norm")
    T = _expand(t, x.shape, e.data["axis"])
    r.add(x <= T, -T <= x)
    return t


def _square_bound(r, u, w):
    """u_i >= w_i^2 elementwise: 2 u_i (1/2) >= w_i^2, one rotated cone each."""
    n = w.size
    if n == 1:
        r.add(rsoc(u, 0.5, w))
    else:
        r.add(rsoc(_flat(u), np.full(n, 0.5), w.reshape((n, 1)), axis=1))


def _squares(r, x, what):
    """t >= x_i^2 elementwise."""
    t = r.variable(x.shape, what)
    _square_bound(r, t, x)
    return t


def _sum_squares(r, e, x):
    t = r.variable((), "sum_squares")
    r.add(rsoc(t, 0.5, x))
    return t


def _factor(Q):
    """F with F'F = Q for a positive semidefinite Q (rows of zero weight left out)."""
    w, V = np.linalg.eigh(Q)
    keep = w > 1e-12 * max(1.0, float(np.abs(w).max(initial=0.0)))
    return np.sqrt(w[keep])[:, None] * V[:, keep].T


def _quad_form(r, e, x):
    F = _factor(e.data["Q"])
    if F.shape[0] == 0:
        return constant_of(r.model, 0.0)
    return _sum_squares(r, e, F @ _flat(x))


def _quad_form_concave(r, e, x):
    # x'Qx = -|F x|^2 with F'F = -Q: the hypograph of minus the epigraph of |F x|^2
    F = _factor(-e.data["Q"])
    if F.shape[0] == 0:
        return constant_of(r.model, 0.0)
    return -_sum_squares(r, e, F @ _flat(x))


def _quad_over_lin(r, e, x, y):
    t = r.variable((), "quad_over_lin")
    r.add(rsoc(t, 0.5 * y.reshape(()), x))
    return t


def _sqrt(r, e, x):
    # t_i^2 <= x_i
    t = r.variable(x.shape, "sqrt")
    _square_bound(r, x, t)
    return t


def _power(r, e, x):
    p = e.data["p"]
    if p == 2.0:
        return _squares(r, x, "power")
    if p == 0.5:
        return _sqrt(r, e, x)
    t = r.variable(x.shape, "power")
    if p > 1:
        # t^(1/p) 1^(1 - 1/p) >= |x|
        r.add(power_cone(t, 1.0, x, 1.0 / p))
        if e.data["atom"] == "power_above_one":
            r.add(x >= 0.0)
    elif p > 0:
        # x^p 1^(1 - p) >= |t|
        r.add(power_cone(x, 1.0, t, p))
    else:
        # x^a t^(1 - a) >= 1 with a = p / (p - 1): t >= x^p
        r.add(power_cone(x, t, 1.0, p / (p - 1.0)))
    return t


def _inv_pos(r, e, x):
    t = r.variable(x.shape, "inv_pos")
    r.add(power_cone(x, t, 1.0, 0.5))
    return t


def _exp(r, e, x):
    t = r.variable(x.shape, "exp")
    r.add(exp_cone(x, 1.0, t))
    return t


def _log(r, e, x):
    t = r.variable(x.shape, "log")
    r.add(exp_cone(t, 1.0, x))
    return t


def _entropy(r, e, x):
    # x exp(t / x) <= 1  <=>  t <= -x log x
    t = r.variable(x.shape, "entropy")
    r.add(exp_cone(t, x, 1.0))
    return t


def _rel_entr(r, e, x, y):
    # x exp(-t / x) <= y  <=>  t >= x log(x / y)
    t = r.variable(e.shape, "rel_entr")
    r.add(exp_cone(-t, x, y))
    return t


def _log_sum_exp(r, e, x):
    # sum exp(x_i - t) <= 1: u_i >= exp(x_i - t), sum u <= 1
    t = r.variable((), "log_sum_exp")
    u = r.variable(x.shape, "log_sum_exp")
    r.add(exp_cone(x - t, 1.0, u), u.sum() <= 1.0)
    return t


def _geo_mean(r, e, x):
    t = r.variable((), "geo_mean")
    r.add(gen_power_cone(_flat(x), t, e.data["weights"]))
    return t


def _huber(r, e, x):
    # huber(x) = min w^2 + 2 M v over |x| <= w + v, v >= 0
    M = e.data["M"]
    w, v = r.variable(x.shape, "huber"), r.variable(x.shape, "huber")
    r.add(x <= w + v, -(w + v) <= x, v >= 0.0)
    return _squares(r, w, "huber") + v * (2.0 * M)


def _eye_times(t, n):
    return t * np.eye(n)


def _lambda_max(r, e, X):
    n = X.shape[0]
    t = r.variable((), "lambda_max")
    r.add(psd(_eye_times(t, n) - X.sym()))
    return t


def _lambda_min(r, e, X):
    n = X.shape[0]
    t = r.variable((), "lambda_min")
    r.add(psd(X.sym() - _eye_times(t, n)))
    return t


def _log_det(r, e, X):
    # [[diag(diag Z), Z'], [Z, X]] >> 0 with Z lower triangular: det X >= prod Z_ii.
    # Z is its packed lower triangle (n(n+1)/2 columns, row by row) spread by
    # a constant matrix: the zeros above its diagonal are structurally absent,
    # and the block's pattern (diagonal, triangle, X) is one Clarabel's
    # chordal decomposition splits into smaller cones
    import scipy.sparse as sp
    n = X.shape[0]
    rows, cols = np.tril_indices(n)
    t = len(rows)
    z = r.variable((t,), "log_det")
    spread = sp.csr_matrix((np.ones(t), (rows * n + cols, np.arange(t))), shape=(n * n, t))
    Z = (spread @ z).reshape((n, n))
    # Z_ii stands at i(i+1)/2 + i of the packed rows
    i = np.arange(n)
    d = z.pick((i * (i + 1) // 2 + i).reshape(-1, 1))
    block = stack([stack([diag(d), Z.T], axis=1), stack([Z, X.sym()], axis=1)], axis=0)
    r.add(psd(block))
    u = r.variable((n,), "log_det")
    r.add(exp_cone(u, 1.0, d))
    return u.sum()


REDUCE = {
    "abs": _abs, "pos": _pos, "neg": _neg,
    "maximum": _extremum, "minimum": lambda r, e, *a: _extremum(r, e, *a, upper=False),
    "max": lambda r, e, x: _along(r, e, x, True), "min": lambda r, e, x: _along(r, e, x, False),
    "norm1": _norm1, "norm2": _norm2, "norminf": _norminf,
    "sum_squares": _sum_squares, "square": lambda r, e, x: _squares(r, x, "square"),
    "quad_form": _quad_form, "quad_over_lin": _quad_over_lin, "sqrt": _sqrt,
    "power_even": _power, "power_above_one": _power, "power_root": _power, "power_negative": _power,
    "inv_pos": _inv_pos, "exp": _exp, "log": _log, "entropy": _entropy, "rel_entr": _rel_entr,
    "log_sum_exp": _log_sum_exp, "geo_mean": _geo_mean, "huber": _huber,
    "lambda_max": _lambda_max, "lambda_min": _lambda_min, "log_det": _log_det,
    # quadratics to the quadratic term
    "quad_form_concave": _quad_form_concave,
}


# -- a function constraint

def constraints_of(model, c):
    """The constraints the function constraint `c` becomes in `model`: the
    auxiliary ones of both sides' reductions, then the constraint on the
    reductions (`c.rows`)."""
    red = Reduction(model)
    a, b = red.of(c.lhs), red.of(c.rhs)
    rows = (a == b) if c.op == "==" else (a <= b)
    rows.name = c.name
    c.rows, c.model = rows, model
    rows.model = model
    return red.constraints + [rows]


# -- the objective

def _weight_times(w, c):
    """The weight w (a number, an array, a parameter expression) times the
    factor c of a scaling; None where the product is not affine in the
    parameters (two parameter expressions)."""
    if isinstance(w, ParamExpr) and isinstance(c, ParamExpr):
        return None
    out = c * w if isinstance(c, ParamExpr) else w * c
    if isinstance(out, ParamExpr):
        return out.reshape(()) if out.size == 1 else out
    return float(np.reshape(out, -1)[0]) if np.size(out) == 1 else out


def _elementwise_weight(w):
    """A weight of one element or one per element, flattened."""
    return w.flatten() if isinstance(w, ParamExpr) and w.ndim else (w.reshape(-1) if isinstance(w, np.ndarray) else w)


def _quadratic_parts(red, e, w, parts, rest, shape=None):
    """Splits an objective into quadratic functions of affine expressions
    (parts: (weight, e, Q)) and everything else (rest: (weight, expression,
    shape)). `shape` is that of an expression whose entries are summed (None
    for a scalar); the weight is a number, or under a sum an array or a
    parameter expression of one element or of the summed shape. A quadratic
    is a sum_squares, quad_form, square, power(., 2) or huber of an affine
    expression; huber(x) is min over s of (x - s)^2 + 2 M |s|: the square to
    the quadratic term, |s| through linear rows."""
    summed = shape is not None
    if isinstance(e, Expression):
        if e.kind == "sum":
            for a in e.args:
                if tuple(a.shape) == tuple(e.shape) or not summed:
                    _quadratic_parts(red, a, w, parts, rest, shape)
                else:
                    rest.append((w, a, shape))
            return
        if e.kind == "scale":
            ww = _weight_times(w, e.data["factor"])
            if ww is not None:
                _quadratic_parts(red, e.args[0], ww, parts, rest, shape)
                return
        elif e.kind == "map" and e.data["full_sum"] and not isinstance(w, np.ndarray) \
                and (not isinstance(w, ParamExpr) or w.size == 1):
            inner = e.args[0]
            _quadratic_parts(red, inner, w, parts, rest, tuple(inner.shape) if inner.size > 1 else None)
            return
        elif e.kind == "atom" and isinstance(e.args[0], Affine) and _quadratic(red, e, w, parts, rest):
            return
    rest.append((w, e, shape))


def _quadratic(red, e, w, parts, rest):
    """A quadratic function e of an affine argument (summed when
    elementwise) split into parts and rest; False for any other."""
    key, x = e.data["atom"], e.args[0]
    if key == "sum_squares" or key in ("square", "power_even") and e.data.get("p", 2.0) == 2.0:
        if isinstance(x, Terms) and not isinstance(w, (ParamExpr, np.ndarray)):
            # a term list stays one: squares of them are taken together
            parts.append((w, x, None))
        else:
            parts.append((_elementwise_weight(w), _flat(x), None))
        return True
    if key in ("quad_form", "quad_form_concave"):
        Q = e.data["Q"]
        # a concave part: -w times the positive semidefinite -Q
        parts.append((w, _flat(x), Q) if key == "quad_form" else (_weight_times(w, -1.0), _flat(x), -Q))
        return True
    if key == "huber":
        xf = _flat(x)
        s, t = red.variable(xf.shape, "huber"), red.variable(xf.shape, "huber")
        red.add(s <= t, -t <= s)
        parts.append((_elementwise_weight(w), xf - s, None))
        rest.append((_weight_times(_elementwise_weight(w), 2.0 * e.data["M"]), t, xf.shape))
        return True
    return False


# a sum of at least BATCH alike functions of affine arguments (one function,
# arguments of one size) is reduced as one function of the arguments stacked
BATCH = 16


def _lse_rows(r, X):
    """t_k >= log_sum_exp(X[k, :]) for every row k: u >= exp(X - t), each
    row of u summing to at most 1."""
    k, n = X.shape
    t = r.variable((k,), "log_sum_exp")
    u = r.variable((k, n), "log_sum_exp")
    r.add(exp_cone(X - _expand(t, (k, n), 1), 1.0, u), u.sum(axis=1) <= 1.0)
    return t


def _norm2_rows(r, X):
    """t_k >= |X[k, :]| for every row k: one cone per row."""
    t = r.variable((X.shape[0],), "norm")
    r.add(soc(t, X, axis=1))
    return t


ROWS = {"log_sum_exp": _lse_rows, "norm2": _norm2_rows}


def _batched(red, rest):
    """The (weight, expression) parts of an objective with the functions
    that come in large alike groups (ROWS) reduced together: each such group
    becomes one part, its weights times the rows' bounds."""
    groups, out = {}, []
    for w, e in rest:
        atom = e.data.get("atom") if isinstance(e, Expression) and e.kind == "atom" else None
        if atom in ROWS and e.data.get("axis") is None and isinstance(e.args[0], Affine) \
                and not isinstance(e.args[0], ParamExpr):
            groups.setdefault((atom, e.args[0].size), []).append((w, e))
        else:
            out.append((w, e))
    for (atom, n), members in groups.items():
        if len(members) < BATCH:
            out += members
            continue
        # one row per distinct function (a function used twice weighs twice)
        rows, weights = {}, {}
        for w, e in members:
            rows.setdefault(id(e), e)
            weights[id(e)] = weights.get(id(e), 0.0) + w
        X = stack([_flat(e.args[0]).reshape((1, n)) for e in rows.values()], axis=0)
        t = ROWS[atom](red, X)
        out.append((1.0, t @ np.fromiter(weights.values(), float, count=len(weights))))
    return out


def _weighted(a, w, shape):
    """w times the reduction a (broadcast to `shape` and summed when given)."""
    if shape is not None and tuple(a.shape) != tuple(shape):
        a = a._broadcast(tuple(shape))
    if isinstance(w, ParamExpr):
        a = w * a
    elif isinstance(w, np.ndarray) or w != 1.0:
        a = a * w
    return (a.sum() if shape is not None else a).reshape(())


def objective_of(model, e, sense):
    """The objective `e` (an Expression) as an affine expression or a
    Quadratic, and the auxiliary constraints of its reduction; refused
    before anything is built when its curvature is not the sense's."""
    need = "convex" if sense == "minimize" else "concave"
    ok = e.is_convex() if sense == "minimize" else e.is_concave()
    if not ok:
        raise ModelError(f"{sense} takes a {need} objective; {e!r} is {e.curvature}"
                         + (f": {e.why}" if e.why else ""))
    if e.size != 1:
        raise ShapeError(f"the objective is a scalar, not of shape {e.shape}")
    red = Reduction(model)
    parts, rest = [], []
    _quadratic_parts(red, e, 1.0, parts, rest)
    plain = [(w, r) for w, r, shape in rest if shape is None and isinstance(w, float)]
    weighted = [item for item in rest if item[2] is not None or not isinstance(item[0], float)]
    affine = None
    for w, r in _batched(red, plain):
        a = red.of(r)
        a = (a if w == 1.0 else a * w).reshape(())
        affine = a if affine is None else affine + a
    for w, r, shape in weighted:
        a = _weighted(red.of(r), w, shape)
        affine = a if affine is None else affine + a
    if not parts:
        affine = affine if affine is not None else constant_of(model, 0.0)
        affine.name = ("{}", e)
        return affine, red.constraints
    return Quadratic(model, parts, affine, ("{}", e)), red.constraints
