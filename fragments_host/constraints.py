"""Constraints and cones. A constraint states that the rows of an affine
expression lie in a product of cones that Clarabel solves:

    zero      rows == 0
    nonneg    rows >= 0
    soc       t >= ||x||                      (one cone per t)
    rsoc      2 u v >= ||x||^2, u, v >= 0     (one cone per (u, v))
    psd       a symmetric matrix >> 0
    exp       y exp(x / y) <= z, y > 0        (elementwise)
    pow       x^a y^(1-a) >= |z|, x, y >= 0   (elementwise)
    genpow    prod x_i^a_i >= ||z||, x >= 0

Every operand's shape is checked here, before any kernel runs; a kind that
is not one of these cannot be stated."""
from __future__ import annotations

import numbers

import numpy as np

from . import data
from .errors import ModelError, ShapeError
from .expressions import (Affine, NotedName, ParamExpr, _is_nonaffine, _joined, _record, broadcast_shape, constant_of,
                          same_model, concatenate, text)

KINDS = ("zero", "nonneg", "soc", "rsoc", "psd", "exp", "pow", "genpow")

# a cone of term lists, set by terms.py (which builds on this module)
_cone_of = None

# a comparison of an affine expression with a function on its right, set by
# functions.py (which builds on this module)
_function_comparison = None


class Constraint:
    """The rows of `expr` (in the order the cones take them) lie in `cones`,
    a list of (cone kind, size or cone data)."""

    def __init__(self, kind, expr, name=None, cones=None, dual_shape=None):
        if kind not in KINDS:
            raise ModelError(f"unknown constraint kind {kind!r}; the kinds are {', '.join(KINDS)}")
        if not isinstance(expr, Affine):
            raise TypeError(f"a constraint holds an affine expression, not {expr!r}")
        self.kind, self.expr, self.name = kind, expr, name
        if cones is None:
            if kind in ("zero", "nonneg", "soc", "rsoc"):
                cones = [(kind, expr.size)]
            elif kind == "psd":
                cones = psd_cones(expr.shape)
            else:
                raise ModelError(f"a {kind} constraint is stated through its cone function")
        self.cones = cones
        self.dual_shape = dual_shape if dual_shape is not None else expr.shape
        self._mref = None

    name = NotedName()

    @property
    def model(self):
        """The model the constraint was added to (None before), held weakly:
        the model holds its constraints."""
        return None if self._mref is None else self._mref.owner()

    @model.setter
    def model(self, m):
        self._mref = None if m is None else m._ref

    def __repr__(self):
        return self.name or f"{self.kind}({self.expr!r})"

    def __bool__(self):
        raise ModelError(f"the truth value of the constraint {self!r} is not defined: a chained comparison "
                         "such as a <= x <= b states only one side; write the two constraints separately")

    # its dual after a solve, `dual`, is set on this class by solution.py


def _operands(*items, what="a cone"):
    """The operands as expressions of one model (constants lifted)."""
    model = None
    for i in items:
        if isinstance(i, (Affine, ParamExpr)):
            if model is None:
                model = i._model
            elif i._model is not model:
                same_model(model, i)
        elif getattr(i, "is_affine", True) is False:
            raise ModelError(f"a cone takes affine operands, not {i!r}")
    if model is None:
        raise ModelError("a cone needs at least one expression of a model")
    out = []
    for i in items:
        if isinstance(i, Affine):
            out.append(i)
        elif isinstance(i, ParamExpr):
            out.append(i.as_affine())
        else:
            out.append(constant_of(model, i, "a constant operand of " + what))
    return out


def _flat(a):
    """The expression's elements along one axis."""
    if len(a._shape) == 1:
        return a
    shape = (a.size,)
    return _record(a._model, shape, "reshape", (a, shape), (a,), (shape,), a._name)


def _scalar_or_axis(what, t, x, axis, name_t):
    """Cone bodies: one (1, n) block for a scalar t, or (k, n) blocks for a
    vector t of k entries with the cones along `axis` of the matrix x."""
    if axis is None:
        if t.size != 1:
            raise ShapeError(f"{what}: {name_t} of shape {t.shape} is not a scalar; one cone takes a scalar "
                             f"{name_t} (state several cones with axis=0 for the columns of x, axis=1 for "
                             "its rows)")
        return t, x
    if x.ndim != 2 or axis not in (0, 1, -1, -2):
        raise ShapeError(f"{what} with axis={axis} takes a matrix x, not shape {x.shape}")
    body = x.T if axis in (0, -2) else x
    k = body.shape[0]
    if t.size != k:
        raise ShapeError(f"{what} with axis={axis}: x of shape {x.shape} makes {k} cones, {name_t} has shape "
                         f"{t.shape}")
    return t.reshape((k, 1)), body


def soc(t, x, axis=None):
    """t >= ||x||: one cone for a scalar t; with axis, one cone per column
    (axis=0) or row (axis=1) of the matrix x, t holding one entry per cone."""
    if axis is None and _cone_of is not None:
        # stated element by element: a cone of term lists (see terms.py)
        c = _cone_of(t, x, None)
        if c is not None:
            return c
    t, x = _operands(t, x, what="soc")
    tt, body = _scalar_or_axis("soc", t, x, axis, "t")
    k, d = (1, x.size + 1) if axis is None else (body.shape[0], body.shape[1] + 1)
    name = ("{} >= ||{}||" + ("" if axis is None else f" along axis {axis}"), t, x)
    if axis is None:
        return Constraint("soc", _joined(t._model, [_flat(t), _flat(x)], 0, None), name, [("soc", d)])
    rows = _joined(t._model, [tt, body], 1, None)
    return Constraint("soc", rows, name, [("soc", d)] * k)


def rsoc(u, v, x, axis=None):
    """2 u v >= ||x||^2 with u, v >= 0: one cone for scalars u, v; with axis,
    one cone per column (axis=0) or row (axis=1) of the matrix x."""
    u, v, x = _operands(u, v, x, what="rsoc")
    uu, body = _scalar_or_axis("rsoc", u, x, axis, "u")
    vv, _ = _scalar_or_axis("rsoc", v, x, axis, "v")
    k, d = (1, x.size + 2) if axis is None else (body.shape[0], body.shape[1] + 2)
    name = ("2 {} {} >= ||{}||^2" + ("" if axis is None else f" along axis {axis}"), u, v, x)
    if axis is None:
        return Constraint("rsoc", _joined(u._model, [_flat(u), _flat(v), _flat(x)], 0, None), name, [("rsoc", d)])
    rows = _joined(u._model, [uu, vv, body], 1, None)
    return Constraint("rsoc", rows, name, [("rsoc", d)] * k)


def psd(X, name=None):
    """X (square, symmetrised) is positive semidefinite; for X of shape
    (..., n, n), each trailing n x n block is (one cone per block)."""
    if not isinstance(X, Affine):
        raise TypeError(f"psd takes an affine expression, not {X!r}")
    if len(X.shape) < 2 or X.shape[-1] != X.shape[-2]:
        raise ShapeError(f"a semidefinite block is square, not of shape {X.shape} (a batch of blocks has shape "
                         "(k, n, n))")
    return Constraint("psd", X, name or ("{} >> 0", X), psd_cones(X.shape))


def psd_cones(shape):
    """One semidefinite cone per trailing n x n block of `shape`."""
    k = 1
    for s in shape[:-2]:
        k *= s
    return [("psd", shape[-1])] * k


def _elementwise(what, items):
    """Operands of one shape (scalars broadcast) as rows (n, len(items)):
    element i's cone holds the i-th entry of every operand."""
    items = _operands(*items, what=what)
    shape = broadcast_shape(what, [it.shape for it in items])
    n = 1
    for s in shape:
        n *= s
    cols = [it._broadcast(shape).reshape((n, 1)) for it in items]
    return items, concatenate(cols, axis=1), shape, n


def exp_cone(x, y, z):
    """y exp(x / y) <= z with y > 0, elementwise over operands of one shape
    (scalars broadcast). The dual holds (x, y, z) parts along its first axis."""
    items, rows, shape, n = _elementwise("exp_cone", (x, y, z))
    name = ("exp_cone({}, {}, {})",) + tuple(items)
    return Constraint("exp", rows, name, [("exp", 3)] * n, dual_shape=(3,) + shape)


def power_cone(x, y, z, alpha):
    """x^alpha y^(1-alpha) >= |z| with x, y >= 0 and 0 < alpha < 1,
    elementwise over operands of one shape (scalars broadcast); alpha a
    number, or an array of one exponent per element."""
    if isinstance(alpha, numbers.Real):
        alpha = data.number(alpha, "the exponent alpha of power_cone")
        each = None
        ok = 0.0 < float(alpha) < 1.0
    elif isinstance(alpha, (np.ndarray, list, tuple)):
        each = data.real(alpha, "the exponents alpha of power_cone")
        ok = each.size > 0 and bool(np.all((each > 0.0) & (each < 1.0)))
    else:
        ok = False
    if not ok:
        raise ValueError(f"power_cone: alpha {alpha!r} is not a number strictly between 0 and 1"
                         " (or an array of them)")
    items, rows, shape, n = _elementwise("power_cone", (x, y, z))
    if each is None:
        name = ("power_cone({}, {}, {}, " + f"{alpha:g})",) + tuple(items)
        return Constraint("pow", rows, name, [("pow", float(alpha))] * n, dual_shape=(3,) + shape)
    try:
        each = np.broadcast_to(each, shape).reshape(-1)
    except ValueError:
        raise ShapeError(f"power_cone: exponents of shape {each.shape} for operands of shape {shape}") from None
    name = ("power_cone({}, {}, {}, alpha)",) + tuple(items)
    return Constraint("pow", rows, name, [("pow", a) for a in each.tolist()], dual_shape=(3,) + shape)


def gen_power_cone(x, z, alpha):
    """prod_i x_i^alpha_i >= ||z|| with x >= 0, for weights alpha > 0 that
    sum to 1 (one per entry of x)."""
    a = data.real(alpha, "the weights of gen_power_cone").reshape(-1)
    if a.size < 1 or np.any(a <= 0) or abs(float(a.sum()) - 1.0) > 1e-12:
        raise ValueError(f"gen_power_cone: weights {a.tolist()} are not positive numbers summing to 1")
    x, z = _operands(x, z, what="gen_power_cone")
    if x.size != a.size:
        raise ShapeError(f"gen_power_cone: x of shape {x.shape} for {a.size} weights")
    rows = concatenate([x.reshape((x.size,)), z.reshape((z.size,))])
    name = ("gen_power_cone({}, {})", x, z)
    return Constraint("genpow", rows, name, [("genpow", (tuple(a.tolist()), z.size))])


# -- the comparisons of affine expressions (set on Affine, which knows no
# constraints)

def _compared(a, kind, rows, rhs, op):
    """`a op rhs` as a constraint of `kind` on the rows `rows(a, rhs)`;
    with a function on the right, the function constraint of the sides as
    written (Python would otherwise call the function's reflected
    comparison)."""
    if _is_nonaffine(rhs):
        return _function_comparison(a, rhs, op)
    other = a._lift(rhs)
    if a._shape != other._shape:
        shape = broadcast_shape(op, (a._shape, other._shape))
        if shape != a._shape and shape != other._shape:
            # numpy would make rows of every pair: stated by mistake far
            # more often than meant
            raise ShapeError(f"{a!r} {op} {text(rhs)}: the sides of shapes {a._shape} and {other._shape} "
                             f"would both be broadcast to {shape}; a constraint broadcasts at most one side "
                             "(reshape a side to state the rows meant)")
    return Constraint(kind, rows(a, other), ("{} " + op + " {}", a, other))


def _greater_first(a, b):
    return b - a


def _left_first(a, b):
    return a - b


def _at_most(self, other):
    return _compared(self, "nonneg", _greater_first, other, "<=")


def _at_least(self, other):
    return _compared(self, "nonneg", _left_first, other, ">=")


def _equal(self, other):
    return _compared(self, "zero", _left_first, other, "==")


def _psd_above(self, other):           # self >> other
    return psd(self - self._lift(other), ("{} >> {}", self, other))


def _psd_below(self, other):           # self << other
    return psd(self._lift(other) - self, ("{} << {}", self, other))


def _psd_above_reflected(self, other):          # other >> self
    return psd(self._lift(other) - self, ("{} >> {}", other, self))


def _psd_below_reflected(self, other):          # other << self
    return psd(self - self._lift(other), ("{} << {}", other, self))


Affine.__le__, Affine.__ge__, Affine.__eq__ = _at_most, _at_least, _equal
Affine.__rshift__, Affine.__lshift__ = _psd_above, _psd_below
Affine.__rrshift__, Affine.__rlshift__ = _psd_above_reflected, _psd_below_reflected
