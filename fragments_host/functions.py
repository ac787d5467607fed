"""The convex functions of expressions, with the curvature and sign rules
that refuse what is not convex.

Each function is one record of the table FUNCTIONS (curvature, sign,
monotonicity in each argument, the cone it becomes) and one entry of VALUE
(its value from its arguments' values), apart from its reduction to cones
(reductions.py). Calling a function builds an
`Expression` (a tree over affine expressions) whose curvature and sign
follow from the record and the composition rules (curvature.py); nothing is
added to a model until the expression is used in `minimize`, `maximize` or
`add`, where its reduction creates auxiliary variables and the constraints
of the cones. A quadratic function of an affine expression in the
objective goes to the solver's quadratic term instead (`Quadratic`): each
quadratic part c * e' Q e gets auxiliary columns u with rows u == e, built
by the kernels like every other constraint, and the block 2 c Q on u's
columns.

An affine expression's abs() and ** are these functions, and its
comparison with a function on its right is a `FunctionConstraint`: both are
set from here (expressions.py and constraints.py know no functions)."""
from __future__ import annotations

import math
import numbers
from functools import partial
from typing import NamedTuple

import numpy as np

from . import constraints
from . import curvature as cv
from .errors import ModelError, ShapeError
from . import data
from . import names
from . import numpy_protocol
from .numpy_protocol import NumpyOperand
from .expressions import (Affine, NotedName, ParamExpr, _spelled, box_of_key, broadcast_shape, constant_of, kept_shape, live,
                          positions_of_key, reshaped, same_model, summed_axes, text)


class Quadratic:
    """affine + sum of weight * e' Q e (Q None stands for the identity, Q
    positive semidefinite otherwise). A weight is a number; with Q None also
    an array of e's size (one weight per element); or a parameter
    expression of one element or (with Q None) of e's size, whose sign is
    declared."""

    is_affine = False
    __array_ufunc__ = None
    __array_priority__ = 100

    def __init__(self, model, parts, affine=None, name=None):
        self._model, self.parts, self.affine, self.name = model._ref, parts, affine, name

    model = property(lambda self: live(self._model, self))
    name = NotedName()

    shape = ()
    size = 1

    def __repr__(self):
        return self.name or "quadratic"

    @property
    def curvature(self):
        signs = {weight_sign(w) for w, _, _ in self.parts}
        if signs <= {cv.NONNEG}:
            return "convex"
        if signs <= {cv.NONPOS}:
            return "concave"
        return "unknown"

    def is_convex(self):
        return self.curvature == "convex"

    def is_concave(self):
        return self.curvature == "concave"

    def _affine_part(self, other):
        if isinstance(other, Affine):
            same_model(self._model, other)
            e = other
        elif isinstance(other, ParamExpr):
            same_model(self._model, other, "parameter")
            e = other.as_affine()
        else:
            e = constant_of(self._model, other, ("a constant operand beside {}", self))
        if e.size != 1:
            raise ShapeError(f"a quadratic function is a scalar; {e!r} has shape {e.shape}")
        return e.reshape(())

    def __add__(self, other):
        if isinstance(other, Quadratic):
            same_model(self._model, other)
            aff = other.affine if self.affine is None else (self.affine if other.affine is None
                                                            else self.affine + other.affine)
            return Quadratic(self._model, self.parts + other.parts, aff, ("{} + {}", self, other))
        e = self._affine_part(other)
        aff = e if self.affine is None else self.affine + e
        return Quadratic(self._model, self.parts, aff, ("{} + {}", self, other))

    __radd__ = __add__

    def __neg__(self):
        return self * -1.0

    def __sub__(self, other):
        return self + (-other)

    def __rsub__(self, other):
        return (-self) + other

    def __mul__(self, c):
        if not isinstance(c, numbers.Real):
            raise ModelError(f"a quadratic function {self!r} is scaled by numbers only, not {c!r}")
        c = data.number(c, ("the factor of {}", self))
        aff = None if self.affine is None else self.affine * c
        return Quadratic(self._model, [(w * c, e, Q) for w, e, Q in self.parts], aff, (f"{c:g}" + "*({})", self))

    __rmul__ = __mul__

    def __truediv__(self, c):
        return self * (1.0 / _divisor(c, self))

    def _refuse(self, *_):
        raise ModelError(f"the quadratic function {self!r} is accepted in the objective only")

    __le__ = __ge__ = __eq__ = __rshift__ = __lshift__ = __rtruediv__ = _refuse
    __hash__ = object.__hash__

    @property
    def value(self):
        parts = []
        for w, e, Q in self.parts:
            v = e.value
            if isinstance(w, ParamExpr):
                w = w.value
            if v is None or w is None:
                return None
            v = np.ravel(v)
            w = np.ravel(w)
            parts.append(float(np.sum(w * v * v)) if Q is None else float(w[0]) * float(v @ Q @ v))
        base = 0.0
        if self.affine is not None:
            a = self.affine.value
            if a is None:
                return None
            base = float(a)
        return base + sum(parts)


def weight_sign(w):
    """The sign of a quadratic part's weight: a number's, an array's (all
    its entries), a parameter expression's declared one."""
    if type(w) is float or isinstance(w, numbers.Real):
        return cv.NONNEG if w >= 0 else cv.NONPOS
    if isinstance(w, ParamExpr):
        return w.sign
    w = np.asarray(w)
    if np.all(w >= 0):
        return cv.NONNEG
    return cv.NONPOS if np.all(w <= 0) else cv.UNKNOWN



class Record(NamedTuple):
    curvature: str        # of the function itself
    sign: str             # of its value: nonnegative, unknown, or a rule: "max" / "min" (of the
                          # arguments' signs), "arg" (the argument's), "arg+" (nonnegative if the argument is)
    monotonicity: tuple   # per argument ("*" after the last: the same for every further one)
    cone: str             # what the reduction builds


_CVX, _CCV, _AFF = cv.CONVEX, cv.CONCAVE, cv.AFFINE
_POS, _ANY = cv.NONNEG, cv.UNKNOWN
INC, DEC, NONE, SIGNED = "increasing", "decreasing", "none", "signed"

# One table of what every function is; the README's table of functions says the same.
FUNCTIONS = {
    "norm1": Record(_CVX, _POS, (SIGNED,), "linear rows (-s <= x <= s, t = sum s)"),
    "norm2": Record(_CVX, _POS, (SIGNED,), "second-order cone"),
    "norminf": Record(_CVX, _POS, (SIGNED,), "linear rows (-t <= x <= t)"),
    "abs": Record(_CVX, _POS, (SIGNED,), "linear rows"),
    "pos": Record(_CVX, _POS, (INC,), "linear rows"),
    "neg": Record(_CVX, _POS, (DEC,), "linear rows"),
    "maximum": Record(_CVX, "max", (INC, "*"), "linear rows"),
    "minimum": Record(_CCV, "min", (INC, "*"), "linear rows"),
    "max": Record(_CVX, "arg", (INC,), "linear rows"),
    "min": Record(_CCV, "arg", (INC,), "linear rows"),
    "sum_squares": Record(_CVX, _POS, (SIGNED,), "rotated second-order cone; objective: quadratic term"),
    "square": Record(_CVX, _POS, (SIGNED,), "rotated second-order cones; objective (summed): quadratic term"),
    "quad_form": Record(_CVX, _POS, (NONE,), "rotated second-order cone of F x (Q = F'F); objective: "
                                             "quadratic term"),
    "quad_over_lin": Record(_CVX, _POS, (SIGNED, DEC), "rotated second-order cone"),
    "sqrt": Record(_CCV, _POS, (INC,), "rotated second-order cones"),
    # x^p: rotated second-order cones where p is a rational of a small tree of them
    # (reductions.power_tree), power cones for the others
    "power_even": Record(_CVX, _POS, (SIGNED,), "rotated second-order cones (p = 2, 4) or power cones; "
                                                "objective, summed (p = 2): quadratic term"),
    "power_above_one": Record(_CVX, _POS, (INC,), "rotated second-order cones (p = 3, 1.5, 4/3, ...) or power "
                                                  "cones; x >= 0"),
    "power_root": Record(_CCV, _POS, (INC,), "rotated second-order cones (p = 1/4, 1/3, 2/3, 3/4, ...) or power "
                                             "cones"),
    "power_negative": Record(_CVX, _POS, (DEC,), "rotated second-order cones (p = -1/3, -1/2, -2, -3, ...) or "
                                                 "power cones"),
    "inv_pos": Record(_CVX, _POS, (DEC,), "a rotated second-order cone"),
    "exp": Record(_CVX, _POS, (INC,), "exponential cones"),
    "log": Record(_CCV, _ANY, (INC,), "exponential cones"),
    "entropy": Record(_CCV, _ANY, (NONE,), "exponential cones"),
    "rel_entr": Record(_CVX, _ANY, (NONE, DEC), "exponential cones"),
    "log_sum_exp": Record(_CVX, "arg+", (INC,), "exponential cones and a linear row"),
    "geo_mean": Record(_CCV, _POS, (INC,), "a chain of power cones (n - 1 for n entries)"),
    "huber": Record(_CVX, _POS, (SIGNED,), "rotated second-order cones and linear rows; objective "
                                             "(summed): quadratic term and linear rows"),
    "lambda_max": Record(_CVX, _ANY, (NONE,), "semidefinite cone"),
    "lambda_min": Record(_CCV, _ANY, (NONE,), "semidefinite cone"),
    "log_det": Record(_CCV, _ANY, (NONE,), "semidefinite and exponential cones"),
    # functions of vectors, and functions along axes
    "pnorm": Record(_CVX, _POS, (SIGNED,), "power cones and linear rows (|x_i| <= r_i^(1/p) t^(1-1/p), sum r = t)"),
    "pnorm_concave": Record(_CCV, _POS, (INC,), "power cones and linear rows (x >= 0); rotated second-order cones "
                                               "for p = 1/2, -1"),
    "logistic": Record(_CVX, _POS, (INC,), "exponential cones and linear rows (exp(-t) + exp(x - t) <= 1)"),
    "log1p": Record(_CCV, "arg", (INC,), "exponential cones"),
    "xexp": Record(_CVX, "arg", (INC,), "rotated second-order and exponential cones (x >= 0)"),
    "kl_div": Record(_CVX, _POS, (NONE, NONE), "exponential cones"),
    "harmonic_mean": Record(_CCV, _POS, (INC,), "rotated second-order cones and a linear row"),
    "cummax": Record(_CVX, "arg", (INC,), "linear rows"),
    "tv": Record(_CVX, _POS, (NONE, "*"), "linear rows (a vector); second-order cones, one per entry (matrices)"),
    "sum_largest": Record(_CVX, "arg", (INC,), "linear rows"),
    "sum_smallest": Record(_CCV, "arg", (INC,), "linear rows"),
    # dotsort by the sign of its weights w (its own sign is the argument's
    # for w >= 0, flipped for w <= 0)
    "dotsort": Record(_CVX, "arg", (INC,), "linear rows (entries x distinct w)"),
    "dotsort_nonpos": Record(_CVX, _ANY, (DEC,), "linear rows (entries x distinct w)"),
    "dotsort_mixed": Record(_CVX, _ANY, (NONE,), "linear rows (entries x distinct w)"),
    # matrix functions of an affine matrix
    "sigma_max": Record(_CVX, _POS, (NONE,), "semidefinite cone of [[t I, X], [X', t I]]"),
    "normNuc": Record(_CVX, _POS, (NONE,), "semidefinite cone of [[U, X], [X', V]], (trace U + trace V) / 2"),
    "matrix_frac": Record(_CVX, _POS, (NONE, NONE), "semidefinite cone of [[P, X], [X', T]], trace T; a "
                                                    "constant P: sum_squares(L^-1 X) (P = L L')"),
    # quadratics to the quadratic term
    "quad_form_concave": Record(_CCV, cv.NONPOS, (NONE,), "rotated second-order cone of F x (-Q = F'F); "
                                                          "objective: quadratic term"),
}

# Affine maps: of an affine expression they give an affine expression, of a
# convex or concave one an expression whose curvature follows the map's
# monotonicity.
MAPS = {"sum": INC, "index": INC, "reshape": INC, "transpose": INC, "trace": INC, "diag": INC,
        "cumsum": INC, "diff": NONE, "matmul": "by the sign of the matrix"}


def _model_of(items, what):
    for i in items:
        m = getattr(i, "_model", None)
        if m is not None:
            return m
    raise ModelError(f"{what} needs at least one expression of a model")


def _constant(model, value, what="a constant operand of a function"):
    """A number or array (or scipy matrix) as a constant expression whose
    sign is known, its entries checked."""
    if hasattr(value, "tocsr"):
        value = data.sparse(value, what).toarray()
    arr = data.real(value, what, copy=True)
    e = constant_of(model, arr)
    e._sign = _sign_of_array(arr)
    return e


# scalar factors whose sign is read as a float's
_FLOATS = frozenset((float, int, np.float64, np.float32, np.int64, np.int32))


def _sign_of_array(arr):
    if type(arr) is float:
        return cv.NONNEG if arr >= 0 else cv.NONPOS if arr <= 0 else cv.UNKNOWN
    if np.all(arr >= 0):
        return cv.NONNEG
    if np.all(arr <= 0):
        return cv.NONPOS
    return cv.UNKNOWN


def lift(model, x, what="operand"):
    """An operand as an Affine or an Expression of `model` (numbers and arrays
    as constants of known sign, parameters as constant expressions)."""
    if isinstance(x, Expression):
        same_model(model, x)
        return x
    if isinstance(x, Affine):
        same_model(model, x)
        return x
    if isinstance(x, ParamExpr):
        same_model(model, x, "parameter")
        e = x.as_affine()
        e._sign = x.sign
        e.name = x.name
        return e
    if getattr(x, "is_affine", True) is False:
        raise TypeError(f"{what}: {x!r} cannot be an argument of a function")
    try:
        return _constant(model, x, f"a constant operand of {what}")
    except TypeError:
        raise TypeError(f"{what}: {x!r} is neither an expression nor a number or numeric array") from None


def _args(what, *items):
    model = _model_of(items, what)
    return model, [lift(model, i, what) for i in items]


def _broadcast_shape(what, items):
    """The shape numpy broadcasts the operands to."""
    return broadcast_shape(what, [tuple(i.shape) for i in items])


class Expression(NumpyOperand):
    """A function of expressions, or a sum, scaling or affine map of such:
    `kind` is "atom", "sum", "scale" or "map". Its curvature and sign are
    computed once, when it is built; `why` says which subexpression broke
    which rule when the curvature is unknown."""

    is_affine = False
    __array_priority__ = 200

    def __init__(self, model, kind, args, shape, curvature, sign, name, why=None, **data):
        self._model, self.kind, self.shape = model._ref, kind, tuple(shape)
        self._args, self._n = args, len(args)
        self.curvature, self.sign, self.name, self.why = curvature, sign, name, why
        self.data = data

    @property
    def args(self):
        """The arguments (a sum's parts). A sum accumulated with + in a loop
        shares one list of parts with the sums before it, each node the
        first _n of them."""
        a = self._args
        return a if len(a) == self._n else a[:self._n]

    def _parts_after(self, more):
        """The parts of this sum followed by `more`: appended to the shared
        list when this sum is its latest node, else a new list."""
        a = self._args
        if len(a) == self._n:
            a.extend(more)
            return a
        return a[:self._n] + more

    model = property(lambda self: live(self._model, self))
    # noted as a format or a function and its operands, written out on
    # first use (a sum accumulated in a loop formats no text per +)
    name = NotedName()

    def __repr__(self):
        return self.name

    @property
    def size(self):
        return math.prod(self.shape)

    @property
    def ndim(self):
        return len(self.shape)

    def is_convex(self):
        return cv.is_convex(self.curvature)

    def is_concave(self):
        return cv.is_concave(self.curvature)

    def is_dcp(self):
        return self.curvature != cv.UNKNOWN

    def explain(self):
        """Why the curvature is what it is (the broken rule when unknown)."""
        return self.why or f"{self!r} is {self.curvature}"

    # -- arithmetic
    def __add__(self, other):
        if getattr(other, "is_affine", True) is False and not isinstance(other, Expression):
            return NotImplemented
        o = lift(self._model, other)
        more = list(o.args) if isinstance(o, Expression) and o.kind == "sum" else [o]
        shape = _broadcast_shape("+", [self, o])
        # a sum's curvature and sign are those of its parts': the two
        # operands' suffice (a sum accumulated in a loop stays linear)
        curv = cv.add([self.curvature, o.curvature])
        terms = self._parts_after(more) if self.kind == "sum" else [self] + more
        why = None
        if curv == cv.UNKNOWN:
            why = _first_why(terms) or ("a sum of the convex " + ", ".join(repr(t) for t in terms
                                                                          if t.curvature == cv.CONVEX)
                                        + " and the concave " + ", ".join(repr(t) for t in terms
                                                                          if t.curvature == cv.CONCAVE)
                                        + " is neither convex nor concave")
        return Expression(self._model, "sum", terms, shape, curv, cv.add_signs([_sign(self), _sign(o)]),
                          (_joined_name, self, " + ", other), why)

    def __radd__(self, other):
        o = lift(self._model, other)
        e = self + o
        e.name = (_joined_name, other, " + ", self)
        return e

    def __neg__(self):
        return _scale(self, -1.0, "-")

    def __pos__(self):
        return self

    def __sub__(self, other):
        if getattr(other, "is_affine", True) is False and not isinstance(other, Expression):
            return NotImplemented
        e = self + (-lift(self._model, other))
        e.name = (_joined_name, self, " - ", other)
        return e

    def __rsub__(self, other):
        e = (-self) + lift(self._model, other)
        e.name = (_joined_name, other, " - ", self)
        return e

    def __mul__(self, c):
        if isinstance(c, Expression) or isinstance(c, Affine):
            raise ModelError(f"product of two expressions {self!r} and {text(c)} is not convex: multiply by a "
                             "number, a constant array or a parameter with a declared sign")
        if isinstance(c, ParamExpr):
            same_model(self._model, c, "parameter")
            return _scale(self, c, "{!r}*")
        if isinstance(c, numbers.Real):
            c = data.number(c, ("the factor of {}", self))
            return _scale(self, c, "{:g}*")
        if getattr(c, "is_affine", True) is False or not _is_numeric(c):
            return NotImplemented
        arr = data.real(c, ("an elementwise factor of {}", self), copy=True)
        if arr.size == 1:
            return _scale(self, float(arr.reshape(-1)[0]), "{:g}*")
        if arr.shape != self.shape:
            raise ShapeError(f"elementwise product of {self!r} of shape {self.shape} and an array of shape "
                             f"{arr.shape}")
        return _scale(self, arr, "const*")

    __rmul__ = __mul__

    def __truediv__(self, c):
        if isinstance(c, ParamExpr):
            raise ModelError(f"{self!r} divided by the parameter expression {c!r}: not affine in the parameters "
                             "(CVXPY's DPP rules refuse it too); multiply by a parameter standing for 1/"
                             f"{c!r}, declared with its sign")
        if not isinstance(c, numbers.Real):
            raise ModelError(f"{self!r} divided by {text(c)}: an expression is divided by numbers only")
        c = _divisor(c, self)
        return _scale(self, 1.0 / c, "/", c)

    def __rtruediv__(self, c):
        raise ModelError(f"{text(c)} / {self!r}: dividing by an expression is not convex or concave by the DCP "
                         "rules; c * inv_pos(e) with c >= 0 is the convex c/e of a positive affine or concave e")

    def __matmul__(self, M):
        return _matmul(M, self, left=False)

    def __rmatmul__(self, M):
        return _matmul(M, self, left=True)

    def __pow__(self, p):
        return power(self, p)

    def __abs__(self):
        return abs_(self)

    # -- affine maps
    def sum(self, axis=None, dtype=None, out=None, keepdims=False):
        axes = summed_axes(self.shape, axis, dtype, out)
        if axes is None:
            r = _sum(self)
        else:
            r = self
            for ax in sorted(axes, reverse=True):
                r = _sum(r, ax)
        return r.reshape(kept_shape(self.shape, axes)) if keepdims else r

    def __len__(self):
        if not self.shape:
            raise TypeError(f"len() of the scalar {self!r}")
        return self.shape[0]

    def __getitem__(self, key):
        # the index checked as an expression's is, when it is written (not
        # when the function is reduced, after its columns were added)
        if box_of_key(self.shape, key, general=True) is None:
            positions_of_key(self.shape, key, self)
        return map_of(self, "index", INC, partial(_index, key), partial(_index, key),
                      (names.indexed_name, self, key if isinstance(key, tuple) else (key,)))

    def reshape(self, *shape, order="C"):
        shape = reshaped(self.shape, shape[0] if len(shape) == 1 else shape)
        if order == "F":
            return self.T.reshape(shape[::-1]).T
        if order not in ("C", "A"):
            raise ValueError(f"reshape order {order!r}: 'C' or 'F'")
        return map_of(self, "reshape", INC, partial(_reshape, shape), partial(_np_reshape, shape),
                      (names.postfix_name, self, f".reshape({shape})"), shape=shape)

    def flatten(self):
        return self.reshape((self.size,))

    @property
    def T(self):
        if self.ndim < 2:
            return self
        return map_of(self, "transpose", INC, _transpose, _transpose, (names.postfix_name, self, ".T"))

    # -- constraints
    def __le__(self, other):
        return FunctionConstraint(self, other, "<=")

    def __ge__(self, other):
        return FunctionConstraint(other, self, "<=", ("{} >= {}", self, other))

    def __eq__(self, other):
        return FunctionConstraint(self, other, "==")

    def __ne__(self, other):
        raise ModelError(f"{self!r} != ...: a constraint is ==, <=, >=")

    __hash__ = object.__hash__

    def _refuse_psd(self, other):
        raise ModelError(f"{self!r}: a semidefinite constraint takes affine sides; state it with "
                         "lambda_max / lambda_min")

    __rshift__ = __lshift__ = __rrshift__ = __rlshift__ = _refuse_psd

    def __bool__(self):
        raise ModelError(f"the truth value of the expression {self!r} is not defined")

    # -- values
    @property
    def value(self):
        """The expression at the last solution, evaluated by numpy from its
        arguments' values (None where an argument has none)."""
        return value_of(self)


def _sign(e):
    return getattr(e, "sign", cv.UNKNOWN)


def _joined_name(a, op, b):
    """The name of a sum or difference, written out on first use."""
    return names.sum_name(a, -1.0 if op == " - " else 1.0, b)


def _paren(x):
    """x's name, in parentheses when it is a sum or a product."""
    return names.wrapped(x, names.UNARY)


def _divisor(c, e):
    """A number that divides e: finite, not zero."""
    d = data.number(c, ("the divisor of {}", e))
    if d == 0.0:
        raise ZeroDivisionError(f"{e!r} divided by zero")
    return d


def _is_numeric(c):
    try:
        np.asarray(c, float)
    except (TypeError, ValueError):
        return False
    return True


def _first_why(items):
    for i in items:
        w = getattr(i, "why", None)
        if w:
            return w
    return None


def _scaled_name(fmt, shown, e):
    """The name of a scaled expression, written out on first use ("/": e
    divided by `shown`)."""
    if fmt == "/":
        return names.product_name(e, "/", shown)
    if fmt == "-":
        return names.negated_name(e)
    return fmt.format(shown) + _paren(e)


def _scale(e, c, fmt, shown=None):
    """c * e for a number, a constant array of e's shape or a parameter; its
    name is fmt (formatted with `shown`, c unless given) before e's."""
    shown = c if shown is None else shown
    if isinstance(c, ParamExpr):
        csign = c.sign
        if c.size != 1 and c.shape != e.shape:
            raise ShapeError(f"parameter {c!r} of shape {c.shape} times {e!r} of shape {e.shape}")
        shape = c.shape if e.size == 1 else e.shape
    else:
        csign = _sign_of_array(float(c) if type(c) in _FLOATS else np.asarray(c))
        shape = e.shape
    curv = cv.times(csign, e.curvature)
    why = e.why
    if curv == cv.UNKNOWN and why is None:
        what = (f"the parameter {c!r} has no declared sign (nonneg=True or nonpos=True)"
                if isinstance(c, ParamExpr) else "the constant has entries of both signs")
        why = (f"{_scaled_name(fmt, shown, e)}: the {e.curvature} {e!r} is multiplied by a factor of unknown "
               f"sign: {what}")
    return Expression(e._model, "scale", [e], shape, curv, cv.times_sign(csign, e.sign),
                      (_scaled_name, fmt, shown, e), why, factor=c)


# The maps of an affine map of a function (on its reduction, and on numpy
# values), kept by the expression: module functions with their arguments
# bound, so that a model holding them pickles and copies.

def _index(key, a):
    return a[key]


def _reshape(shape, a):
    return a.reshape(shape)


def _np_reshape(shape, v):
    return np.reshape(v, shape)


def _transpose(a):
    return a.T


def _sum_all(a):
    return a.sum()


def _sum_along(axis, a):
    return a.sum(axis)


def _left_product(M, a):
    return M @ a


def _right_product(M, a):
    return a @ M


def _trace(a):
    return a.pick(_diagonal_indices(a.shape[0])).sum()


def _diagonal(n, a):
    return a.pick(_diagonal_indices(n))


def _diagonal_matrix(n, a):
    import scipy.sparse as sp
    spread = sp.csr_matrix((np.ones(n), (np.arange(n) * (n + 1), np.arange(n))), shape=(n * n, n))
    return (spread @ a).reshape((n, n))


def _differences(k, axis, a):
    for _ in range(k):
        hi = tuple(slice(1, None) if d == axis else slice(None) for d in range(a.ndim))
        lo = tuple(slice(0, a.shape[d] - 1) if d == axis else slice(None) for d in range(a.ndim))
        a = a[hi] - a[lo]
    return a


def _cumulative_sums(n, axis, a):
    import scipy.sparse as sp
    L = sp.tril(np.ones((n, n)), format="csr")
    return L @ a if axis == 0 else (L @ a.T).T


def map_of(e, what, mono, fn, npfn, name, shape=None, full_sum=False):
    """An affine map of e: fn itself for an affine e, else an Expression
    reduced by applying fn to e's reduction."""
    if not isinstance(e, Expression):
        return fn(e)
    if shape is None:
        shape = np.shape(npfn(np.zeros(e.shape)))
    noted = type(name) is tuple
    curv, why = cv.compose(what, cv.AFFINE, [(e, cv.resolve(mono, e.sign))], None if noted else name)
    if why is not None and noted:
        # the name written out only for the message
        curv, why = cv.compose(what, cv.AFFINE, [(e, cv.resolve(mono, e.sign))], _spelled(name))
    sign = e.sign if mono == INC else (cv.flip_sign(e.sign) if mono == DEC else cv.UNKNOWN)
    if what in ("index", "reshape", "transpose", "diag"):
        sign = e.sign
    return Expression(e._model, "map", [e], shape, curv, sign, name, why or e.why, fn=fn, npfn=npfn,
                      full_sum=full_sum)


def _sum(e, axis=None):
    if axis is None:
        return map_of(e, "sum", INC, _sum_all, np.sum, ("sum({})", e), (),
                      full_sum=True)
    return map_of(e, "sum", INC, partial(_sum_along, axis), partial(np.sum, axis=axis),
                  ("sum({}, axis=" + str(axis) + ")", e))


def _matmul(M, e, left):
    if isinstance(M, (Expression, Affine, ParamExpr)):
        raise ModelError(f"product of {text(M)} and {e!r} is not convex: a function is multiplied by "
                         "constant matrices only")
    what = ("the matrix multiplying {}", e)
    if hasattr(M, "tocsr"):
        M = data.sparse(M, what)
        arr = M.toarray()
    else:
        M = arr = data.real(M, what, copy=True)
    mono = {cv.NONNEG: INC, cv.NONPOS: DEC}.get(_sign_of_array(arr), NONE)
    if left:
        return map_of(e, "matmul", mono, partial(_left_product, M), partial(_left_product, arr),
                      names.product_name(M, " @ ", e))
    return map_of(e, "matmul", mono, partial(_right_product, M), partial(_right_product, arr),
                  names.product_name(e, " @ ", M))


def sum_(x, axis=None, keepdims=False):
    """The sum of the entries (along an axis or a tuple of axes)."""
    model, (x,) = _args("sum", x)
    return x.sum(axis, keepdims=keepdims)


class FunctionConstraint:
    """A comparison with a function on one side: `lhs <= rhs` for a convex lhs
    and a concave rhs, or `lhs == rhs` of affine sides. Checked when stated;
    reduced to auxiliary variables and cone constraints when added to a
    model (reductions.constraints_of; `rows`: the constraint on the sides'
    reductions)."""

    name = NotedName()

    def __init__(self, lhs, rhs, op, name=None):
        items = (lhs, rhs)
        model = _model_of(items, "a constraint")
        lhs, rhs = lift(model, lhs, op), lift(model, rhs, op)
        self.name = name or ("{} " + op + " {}", lhs, rhs)
        if op == "==":
            bad = [s for s in (lhs, rhs) if s.curvature not in (cv.CONSTANT, cv.AFFINE)]
            if bad:
                raise ModelError(f"{self.name}: == takes affine sides; {bad[0]!r} is {bad[0].curvature}")
        else:
            if not cv.is_convex(lhs.curvature):
                raise ModelError(f"{self.name}: the smaller side of <= or >= must be convex or affine; "
                                 f"{lhs!r} is {lhs.curvature}" + _because(lhs))
            if not cv.is_concave(rhs.curvature):
                raise ModelError(f"{self.name}: the greater side of <= or >= must be concave or affine; "
                                 f"{rhs!r} is {rhs.curvature}" + _because(rhs))
        shape = _broadcast_shape(self.name, [lhs, rhs])
        if shape != tuple(lhs.shape) and shape != tuple(rhs.shape):
            raise ShapeError(f"{self.name}: the sides of shapes {lhs.shape} and {rhs.shape} would both be broadcast "
                             f"to {shape}; a constraint broadcasts at most one side (reshape a side to state the "
                             "rows meant)")
        self.lhs, self.rhs, self.op, self._expr_model = lhs, rhs, op, model._ref
        self._mref, self.rows = None, None

    # the model the sides belong to, and the one the constraint was added
    # to (None before), each held through its state (see ModelState)
    expr_model = property(lambda self: live(self._expr_model, self))
    model = property(lambda self: None if self._mref is None else self._mref.owner(),
                     lambda self, m: setattr(self, "_mref", None if m is None else m._ref))

    def __repr__(self):
        return self.name

    def __bool__(self):
        raise ModelError(f"the truth value of the constraint {self!r} is not defined: a chained comparison "
                         "such as a <= x <= b states only one side; write the two constraints separately")

    @property
    def dual(self):
        """The dual of the constraint on the reductions (None before a solve)."""
        return None if self.rows is None else self.rows.dual


def _because(e):
    return f": {e.why}" if getattr(e, "why", None) else ""


def _atom(key, args, shape, name, **data):
    """An Expression of function `key` of the lifted `args`."""
    rec = FUNCTIONS[key]
    monos = list(rec.monotonicity)
    if monos[-1] == "*":
        monos = monos[:-1] + [monos[-2]] * (len(args) - len(monos) + 1)
    signs = [_sign(a) for a in args]
    resolved = [(a, cv.resolve(m, s)) for a, m, s in zip(args, monos, signs)]
    # a noted name (format, operands) is written out only for a message
    noted = type(name) is not str
    fname = (name[0] if noted else name).split("(")[0]
    curv, why = cv.compose(fname, rec.curvature, resolved, None if noted else name)
    if why is not None and noted:
        curv, why = cv.compose(fname, rec.curvature, resolved, _spelled(name))
    why = _first_why(args) or why
    if rec.sign == "max":
        sign = cv.NONNEG if cv.NONNEG in signs else (cv.NONPOS if all(s == cv.NONPOS for s in signs)
                                                     else cv.UNKNOWN)
    elif rec.sign == "min":
        sign = cv.NONPOS if cv.NONPOS in signs else (cv.NONNEG if all(s == cv.NONNEG for s in signs)
                                                     else cv.UNKNOWN)
    elif rec.sign == "arg":
        sign = signs[0]
    elif rec.sign == "arg+":
        sign = cv.NONNEG if signs[0] == cv.NONNEG else cv.UNKNOWN
    else:
        sign = rec.sign
    model = _model_of(args, fname)
    return Expression(model, "atom", list(args), shape, curv, sign, name, why, atom=key, **data)


def _axis_shape(what, x, axis):
    """The shape of a reduction of x along `axis` (None: all entries)."""
    if axis is None:
        return None, ()
    if x.ndim == 0 or not -x.ndim <= axis < x.ndim:
        raise ShapeError(f"{what}: axis {axis} out of range for shape {x.shape}")
    axis = axis % x.ndim
    return axis, tuple(s for k, s in enumerate(x.shape) if k != axis)


def _of_elements(what, x, axis=None):
    """Refuses a reduction over no elements (a 0-size operand, or an axis of
    extent 0): the largest of no numbers has no value."""
    n = x.size if axis is None else x.shape[axis]
    if n == 0:
        raise ShapeError(f"{what} of {x!r} of shape {x.shape}" + ("" if axis is None else f" along axis {axis}")
                         + ": a reduction over no elements has no value")


# -- the functions

def norm(x, p=2, axis=None, keepdims=False):
    """The p-norm (p >= 1 or inf; "fro" for all entries) of a vector, or
    along an axis or a tuple of axes of an array (keepdims: their extents
    kept as 1). A matrix takes an axis or p="fro"."""
    model, (x,) = _args("norm", x)
    if isinstance(p, str) and p.lower() == "fro":
        if axis is not None:
            raise ValueError(f"norm: p='fro' is a norm of a whole matrix, not along axis {axis!r} "
                             "(norm(x, 2, axis=...) is the 2-norm along an axis)")
        x, p = (x.flatten() if x.ndim > 1 else x), 2
    p = _norm_p("norm", p)
    if x.ndim == 2 and axis is None:
        raise ShapeError(f"norm of {x!r} of shape {x.shape}: a matrix takes axis=0 (each column) or axis=1 "
                         "(each row), or p='fro'")
    return _norm_along("norm", x, p, axis, keepdims)


def norm1(x, axis=None, keepdims=False):
    """The sum of the absolute values of the entries (along axes)."""
    model, (x,) = _args("norm1", x)
    return _norm_along("norm1", x, 1, axis, keepdims)


def norm_inf(x, axis=None, keepdims=False):
    """The largest absolute value of the entries (along axes)."""
    model, (x,) = _args("norm_inf", x)
    return _norm_along("norm_inf", x, math.inf, axis, keepdims)


def _elementwise(key, x, fname=None, **data):
    model, (x,) = _args(fname or key, x)
    return _atom(key, [x], x.shape, (f"{fname or key}({{}})", x), **data)


def abs_(x):
    """|x| elementwise."""
    return _elementwise("abs", x)


def pos(x):
    """max(x, 0) elementwise."""
    return _elementwise("pos", x)


def neg(x):
    """max(-x, 0) elementwise (nonnegative)."""
    return _elementwise("neg", x)


def maximum(*items):
    """The elementwise maximum of several expressions (scalars broadcast)."""
    return _extremum("maximum", items)


def minimum(*items):
    """The elementwise minimum of several expressions (scalars broadcast)."""
    return _extremum("minimum", items)


def _extremum(key, items):
    if len(items) < 2:
        raise TypeError(f"{key} takes at least two operands")
    model, args = _args(key, *items)
    shape = _broadcast_shape(key, args)
    return _atom(key, args, shape, (f"{key}(" + ", ".join(["{}"] * len(args)) + ")",) + tuple(args))


def max_(x, axis=None, keepdims=False):
    """The largest entry (along an axis or a tuple of axes)."""
    return _reduction("max", x, axis, keepdims)


def min_(x, axis=None, keepdims=False):
    """The smallest entry (along an axis or a tuple of axes)."""
    return _reduction("min", x, axis, keepdims)


def _reduction(key, x, axis, keepdims=False):
    model, (x,) = _args(key, x)
    return _along_axes(key, key, x, axis, keepdims, nonempty=True)


def sum_squares(x):
    """The sum of the squares of the entries of x."""
    model, (x,) = _args("sum_squares", x)
    return _atom("sum_squares", [x], (), ("sum_squares({})", x))


def square(x):
    """x^2 elementwise."""
    return _elementwise("square", x)


def quad_form(x, Q):
    """x' Q x for a constant symmetric Q: convex for a positive semidefinite
    Q, concave for a negative semidefinite one (an indefinite Q is
    refused)."""
    if isinstance(Q, (Affine, ParamExpr, Expression)):
        raise ModelError("quad_form takes a constant matrix Q")
    model, (x,) = _args("quad_form", x)
    import scipy.sparse as sp
    Qd = data.sparse(Q, "the matrix Q of quad_form").toarray() if sp.issparse(Q) else data.real(
        Q, "the matrix Q of quad_form", copy=True)
    n = x.size
    if Qd.ndim == 0 and n == 1:
        # a scalar x: Q is the 1 x 1 matrix (quad_form(s, q) = q s^2)
        Qd = Qd.reshape(1, 1)
    if Qd.shape != (n, n):
        raise ShapeError(f"quad_form: Q of shape {Qd.shape} for x of shape {x.shape}")
    if not np.allclose(Qd, Qd.T, rtol=1e-10, atol=1e-12):
        raise ModelError("quad_form: Q is not symmetric")
    eig = np.linalg.eigvalsh(Qd) if n else np.zeros(1)
    lo, hi = float(eig[0]), float(eig[-1])
    tol = 1e-10 * max(1.0, float(np.abs(Qd).max(initial=0.0)))
    if lo >= -tol:
        return _atom("quad_form", [x], (), ("quad_form({}, Q)", x), Q=Qd)
    if hi <= tol:
        return _atom("quad_form_concave", [x], (), ("quad_form({}, Q)", x), Q=Qd)
    raise ModelError(f"quad_form: Q is indefinite (eigenvalues from {lo:.3g} to {hi:.3g}): x'Qx is neither convex "
                     "nor concave; a positive semidefinite Q is convex, a negative semidefinite one concave")


def quad_over_lin(x, y):
    """sum(x^2) / y for a scalar y > 0."""
    model, (x, y) = _args("quad_over_lin", x, y)
    if y.size != 1:
        raise ShapeError(f"quad_over_lin: y of shape {y.shape} is not a scalar")
    return _atom("quad_over_lin", [x, y], (), ("quad_over_lin({}, {})", x, y))


def sqrt(x):
    """The square root elementwise (x >= 0)."""
    return _elementwise("sqrt", x)


def power(x, p):
    """x^p elementwise for a real p: convex for p >= 1 (for an even integer p
    everywhere, otherwise on x >= 0) and for p < 0 (on x > 0), concave for
    0 < p < 1 (on x >= 0)."""
    if isinstance(p, (Affine, ParamExpr, Expression)) or not isinstance(p, numbers.Real):
        raise ModelError(f"power takes a number p, not {p!r}")
    p = data.number(p, "the exponent p of power")
    model, (x,) = _args("power", x)
    if p == 1.0:
        return x
    if p == 0.0:
        return _constant(model, np.ones(x.shape))
    if p > 1:
        key = "power_even" if p == int(p) and int(p) % 2 == 0 else "power_above_one"
    else:
        key = "power_root" if p > 0 else "power_negative"
    return _atom(key, [x], x.shape, ("power({}, " + f"{p:g})", x), p=p)


def inv_pos(x):
    """1 / x elementwise (x > 0)."""
    return _elementwise("inv_pos", x)


def exp(x):
    """e^x elementwise."""
    return _elementwise("exp", x)


def log(x):
    """The natural logarithm elementwise (x > 0)."""
    return _elementwise("log", x)


def entropy(x):
    """-x log x elementwise (x >= 0)."""
    return _elementwise("entropy", x)


def rel_entr(x, y):
    """x log(x / y) elementwise (x >= 0, y > 0; scalars broadcast)."""
    model, args = _args("rel_entr", x, y)
    shape = _broadcast_shape("rel_entr", args)
    return _atom("rel_entr", args, shape, ("rel_entr({}, {})", args[0], args[1]))


def log_sum_exp(x, axis=None, keepdims=False):
    """log(sum(exp(x))) over all entries, or along an axis or a tuple of
    axes."""
    model, (x,) = _args("log_sum_exp", x)
    return _along_axes("log_sum_exp", "log_sum_exp", x, axis, keepdims, nonempty=True)


def geo_mean(x, p=None):
    """(prod x_i^p_i)^(1 / sum p) of a vector x >= 0, for positive weights p
    (all equal by default)."""
    model, (x,) = _args("geo_mean", x)
    _of_elements("geo_mean", x)
    w = np.ones(x.size) if p is None else data.real(p, "the weights of geo_mean", copy=True).reshape(-1)
    if w.size != x.size or np.any(w <= 0) or not np.all(np.isfinite(w)):
        raise ValueError(f"geo_mean: weights {np.asarray(p).tolist()} are not {x.size} positive numbers")
    return _atom("geo_mean", [x], (), ("geo_mean({})", x), weights=w / w.sum())


def huber(x, M=1.0):
    """x^2 where |x| <= M, 2 M |x| - M^2 elsewhere, elementwise (M > 0)."""
    if not isinstance(M, numbers.Real):
        raise ValueError(f"huber: M = {M!r} is not a positive number")
    M = data.number(M, "the threshold M of huber")
    if not M > 0:
        raise ValueError(f"huber: M = {M!r} is not a positive number")
    return _elementwise("huber", x, M=M)


def _matrix(what, X, square=False):
    """The lifted argument of a function of a matrix (of a square one),
    refused when it is not one or holds no elements."""
    model, (X,) = _args(what, X)
    if X.ndim != 2 or (square and X.shape[0] != X.shape[1]):
        raise ShapeError(f"{what} takes a {'square ' if square else ''}matrix, not {X!r} of shape {X.shape}")
    _of_elements(what, X)
    return X


def _square_matrix(what, X):
    return _matrix(what, X, square=True)


def lambda_max(X):
    """The largest eigenvalue of the symmetric part of a square matrix."""
    X = _square_matrix("lambda_max", X)
    return _atom("lambda_max", [X], (), ("lambda_max({})", X))


def lambda_min(X):
    """The smallest eigenvalue of the symmetric part of a square matrix."""
    X = _square_matrix("lambda_min", X)
    return _atom("lambda_min", [X], (), ("lambda_min({})", X))


def log_det(X):
    """log det X of a symmetric positive definite matrix."""
    X = _square_matrix("log_det", X)
    return _atom("log_det", [X], (), ("log_det({})", X))


# -- matrix functions

def sigma_max(X):
    """The largest singular value of a matrix."""
    X = _matrix("sigma_max", X)
    return _atom("sigma_max", [X], (), ("sigma_max({})", X))


def normNuc(X):
    """The nuclear norm of a matrix: the sum of its singular values."""
    X = _matrix("normNuc", X)
    return _atom("normNuc", [X], (), ("normNuc({})", X))


def matrix_frac(X, P):
    """trace(X' P^-1 X) of a vector or matrix X (X' P^-1 X for a vector) and
    a positive definite P: an affine matrix (its symmetric part), or a
    constant symmetric one, for which it is the sum of squares of L^-1 X
    (P = L L'), a quadratic function the objective takes in its quadratic
    term."""
    constant = not isinstance(P, (Affine, ParamExpr, Expression))
    model, (X, Pe) = _args("matrix_frac", X, P)
    if Pe.ndim != 2 or Pe.shape[0] != Pe.shape[1]:
        raise ShapeError(f"matrix_frac takes a square matrix P, not {Pe!r} of shape {Pe.shape}")
    n = Pe.shape[0]
    if X.ndim not in (1, 2) or X.shape[0] != n:
        raise ShapeError(f"matrix_frac: X = {X!r} of shape {X.shape} is not a vector or matrix of {n} rows, "
                         f"as P = {Pe!r} of shape {Pe.shape} needs")
    _of_elements("matrix_frac", Pe)
    name = ("matrix_frac({}, {})", X, Pe)
    if constant and isinstance(X, Affine):
        Pd = data.sparse(P, "the matrix P of matrix_frac").toarray() if hasattr(P, "tocsr") else data.real(
            P, "the matrix P of matrix_frac", copy=True)
        if not np.allclose(Pd, Pd.T, rtol=1e-10, atol=1e-12):
            raise ModelError(f"matrix_frac: the constant P = {Pe!r} is not symmetric")
        try:
            L = np.linalg.cholesky(Pd)
        except np.linalg.LinAlgError:
            raise ModelError(f"matrix_frac: the constant P = {Pe!r} is not positive definite (smallest "
                             f"eigenvalue {float(np.linalg.eigvalsh(Pd)[0]):.3g})") from None
        import scipy.linalg
        F = scipy.linalg.solve_triangular(L, np.eye(n), lower=True)
        return _atom("sum_squares", [F @ X], (), name)
    return _atom("matrix_frac", [X, Pe], (), name)


# -- affine maps

def _diagonal_indices(n):
    return np.column_stack([np.arange(n), np.arange(n)])


def trace(X):
    """The sum of the diagonal of a square matrix."""
    X = _square_matrix("trace", X)
    return map_of(X, "trace", INC, _trace, np.trace,
                  f"trace({X!r})", ())


def diag(x):
    """The diagonal matrix of a vector, or the diagonal of a square matrix."""
    model, (x,) = _args("diag", x)
    if x.ndim == 1:
        n = x.size
        return map_of(x, "diag", INC, partial(_diagonal_matrix, n), np.diag, ("diag({})", x), (n, n))
    if x.ndim != 2 or x.shape[0] != x.shape[1]:
        raise ShapeError(f"diag takes a vector or a square matrix, not {x!r} of shape {x.shape}")
    n = x.shape[0]
    return map_of(x, "diag", INC, partial(_diagonal, n), np.diag, ("diag({})", x), (n,))


def diff(x, k=1, axis=0):
    """The k-th order differences along an axis: x[1:] - x[:-1], k times."""
    model, (x,) = _args("diff", x)
    if x.ndim == 0:
        raise ShapeError(f"diff of the scalar {x!r}")
    axis, _ = _axis_shape("diff", x, axis)
    if not isinstance(k, numbers.Integral) or k < 0 or k >= max(x.shape[axis], 1):
        raise ValueError(f"diff: order {k!r} for {x.shape[axis]} entries along axis {axis}")
    return map_of(x, "diff", NONE, partial(_differences, k, axis), partial(np.diff, n=k, axis=axis),
                  ("diff({})", x))


def cumsum(x, axis=0):
    """Cumulative sums along an axis."""
    model, (x,) = _args("cumsum", x)
    if x.ndim == 0:
        return x
    axis, _ = _axis_shape("cumsum", x, axis)
    if x.ndim > 2:
        raise ShapeError(f"cumsum of {x!r} of shape {x.shape}: vectors and matrices")
    return map_of(x, "cumsum", INC, partial(_cumulative_sums, x.shape[axis], axis), partial(np.cumsum, axis=axis),
                  ("cumsum({})", x))


# -- functions of vectors, and functions along axes: an axis as numpy and
# CVXPY take it (an integer, negative from the end, or a tuple of them), the
# reduced axes kept as extents of 1 with keepdims

def _axes_of(what, x, axis):
    """The axes a reduction of x runs along, as the reductions take them
    (None for every entry, one axis, or a tuple of distinct axes in
    ascending order), and the reduced shape; refused, naming what was
    written, when an axis is not one of x's."""
    if axis is None:
        return None, ()
    items = axis if isinstance(axis, tuple) else (axis,)
    nd, axes = x.ndim, []
    for a in items:
        if not isinstance(a, numbers.Integral) or isinstance(a, (bool, np.bool_)):
            raise TypeError(f"{what}: axis {axis!r} is not an integer or a tuple of integers")
        if not -nd <= a < nd:
            raise ShapeError(f"{what}: axis {_axis_written(axis)} out of range for {x!r} of shape {x.shape}")
        axes.append(int(a) % nd)
    if not axes or len(set(axes)) != len(axes):
        raise ValueError(f"{what}: axis {_axis_written(axis)} " + ("names no axis" if not axes else "repeats an axis"))
    axes = sorted(axes)
    if len(axes) == nd:
        return None, ()
    return (axes[0] if len(axes) == 1 else tuple(axes)), tuple(s for k, s in enumerate(x.shape) if k not in axes)


def _axis_written(axis):
    return str(tuple(int(a) for a in axis) if isinstance(axis, tuple) else int(axis))


def _axis_text(axis, keepdims):
    return ("" if axis is None else f", axis={_axis_written(axis)}") + (", keepdims=True" if keepdims else "")


def _entries_along(x, axis):
    """How many entries of x each result of a reduction along `axis` takes."""
    if axis is None:
        return x.size
    return math.prod(x.shape[a] for a in ((axis,) if isinstance(axis, int) else axis))


def _along_axes(key, fname, x, axis, keepdims, args_text="", nonempty=False, **data):
    """Function `key` of the lifted x along `axis` (every entry for None);
    with keepdims its reduced axes kept as extents of 1 (a reshape of the
    reduction)."""
    ax, shape = _axes_of(fname, x, axis)
    if nonempty and _entries_along(x, ax) == 0:
        raise ShapeError(f"{fname} of {x!r} of shape {x.shape}" + ("" if axis is None else f" along axis {axis}")
                         + ": a reduction over no elements has no value")
    name = (f"{fname}({{}}{args_text}{_axis_text(axis, keepdims)})", x)
    e = _atom(key, [x], shape, name, axis=ax, **data)
    if not keepdims:
        return e
    kept = kept_shape(x.shape, None if ax is None else ((ax,) if isinstance(ax, int) else ax))
    return map_of(e, "reshape", INC, partial(_reshape, kept), partial(_np_reshape, kept), name, shape=kept)


def _norm_p(what, p, concave=False):
    """The p of a p-norm as a float: 1, 2, inf ("inf" too) or any real p > 1;
    with `concave`, also p < 1 other than 0 (CVXPY's pnorm of x >= 0)."""
    if isinstance(p, str) and p.lower() == "inf":
        return math.inf
    if isinstance(p, (bool, np.bool_)) or not isinstance(p, numbers.Real) or math.isnan(float(p)):
        raise ValueError(f"{what}: p = {p!r} is not a number: 1, 2, inf, any real p >= 1"
                         + (", or p < 1 other than 0" if concave else ", or 'fro'"))
    q = float(p)
    if q < 1 and not concave:
        raise ValueError(f"{what}: p = {p!r} is below 1, where the p-norm is no norm (it is not convex); "
                         f"pnorm(x, {p!r}) is CVXPY's concave (sum x_i^p)^(1/p) of x >= 0")
    if q == 0 or q == -math.inf:
        raise ValueError(f"{what}: p = {p!r} has no p-norm (p < 1 is any real but 0)")
    return q


def _norm_along(fname, x, p, axis, keepdims):
    key = {1.0: "norm1", 2.0: "norm2", math.inf: "norminf"}.get(p, "pnorm" if p > 1 else "pnorm_concave")
    shown = "" if fname in ("norm1", "norm_inf") or p == 2 else ", " + ("inf" if p == math.inf else f"{p:g}")
    return _along_axes(key, fname, x, axis, keepdims, shown, nonempty=key == "norminf", p=p)


def pnorm(x, p=2, axis=None, keepdims=False):
    """CVXPY's pnorm: for p >= 1 (inf too) the p-norm of all entries of x,
    whatever its shape, or along axes (convex); for p < 1 other than 0,
    (sum x_i^p)^(1/p) of x >= 0 (concave)."""
    model, (x,) = _args("pnorm", x)
    return _norm_along("pnorm", x, _norm_p("pnorm", p, concave=True), axis, keepdims)


def logistic(x):
    """log(1 + exp(x)) elementwise."""
    return _elementwise("logistic", x)


def log1p(x):
    """log(1 + x) elementwise (x > -1)."""
    return _elementwise("log1p", x)


def xexp(x):
    """x exp(x) elementwise, of x >= 0: convex where x is known to be
    nonnegative (as CVXPY has it), of unknown curvature elsewhere."""
    e = _elementwise("xexp", x)
    a = e.args[0]
    if e.curvature != cv.UNKNOWN and _sign(a) != cv.NONNEG:
        e.curvature = cv.UNKNOWN
        e.why = (f"in xexp({a!r}): xexp is convex where its argument is nonnegative, and {a!r} is not known to be "
                 "(a variable declared nonneg=True or with lb >= 0, or a nonnegative function)")
    return e


def kl_div(x, y):
    """x log(x / y) - x + y elementwise (x >= 0, y > 0; scalars broadcast)."""
    model, args = _args("kl_div", x, y)
    shape = _broadcast_shape("kl_div", args)
    return _atom("kl_div", args, shape, ("kl_div({}, {})", args[0], args[1]))


def harmonic_mean(x):
    """n / sum(1 / x_i) over the n entries of x >= 0."""
    model, (x,) = _args("harmonic_mean", x)
    _of_elements("harmonic_mean", x)
    return _atom("harmonic_mean", [x], (), ("harmonic_mean({})", x))


def cummax(x, axis=0):
    """The running maximum along an axis (x's shape)."""
    model, (x,) = _args("cummax", x)
    if isinstance(axis, tuple) or axis is None:
        raise TypeError(f"cummax: axis {axis!r}: the running maximum runs along one axis")
    if x.ndim == 0:
        raise ShapeError(f"cummax of the scalar {x!r}: the running maximum runs along an axis of an array")
    ax, _ = _axes_of("cummax", x, axis)
    ax = 0 if ax is None else ax
    return _atom("cummax", [x], x.shape, ("cummax({}" + ("" if ax == 0 else f", axis={int(axis)}") + ")", x),
                 axis=ax)


def tv(value, *args):
    """Total variation: of a vector sum |x[i+1] - x[i]|; of matrices X1, X2,
    ... of one shape (m, n) the sum over i < m-1, j < n-1 of the 2-norm of
    the forward differences X_k[i, j+1] - X_k[i, j] and X_k[i+1, j] - X_k[i, j]
    of every X_k."""
    model, items = _args("tv", value, *args)
    x = items[0]
    if x.ndim == 1 and args:
        raise ShapeError(f"tv of the vector {x!r} takes no further arrays (matrices of one shape do)")
    if x.ndim not in (1, 2):
        raise ShapeError(f"tv of {x!r} of shape {x.shape}: a vector or matrices")
    bad = [a for a in items if a.shape != x.shape]
    if bad:
        raise ShapeError(f"tv: {bad[0]!r} of shape {bad[0].shape} beside {x!r} of shape {x.shape}: the matrices "
                         "have one shape")
    return _atom("tv", items, (), ("tv(" + ", ".join(["{}"] * len(items)) + ")",) + tuple(items))


def _k_of(what, k, x, axis):
    """k of sum_largest / sum_smallest: a number 0 < k <= the entries each
    result takes (CVXPY's k, not an integer in general: the last entry
    counted in part)."""
    ax, _ = _axes_of(what, x, axis)
    n = _entries_along(x, ax)
    ok = isinstance(k, numbers.Real) and not isinstance(k, (bool, np.bool_)) and 0 < float(k) <= n
    if not ok:
        raise ValueError(f"{what}: k = {k!r} out of range for the {n} entries of {x!r}"
                         + ("" if axis is None else f" along axis {_axis_written(axis)}") + f": 0 < k <= {n}")
    return float(k)


def sum_largest(x, k, axis=None, keepdims=False):
    """The sum of the k largest entries (along axes)."""
    model, (x,) = _args("sum_largest", x)
    k = _k_of("sum_largest", k, x, axis)
    return _along_axes("sum_largest", "sum_largest", x, axis, keepdims, f", {k:g}", k=k)


def sum_smallest(x, k, axis=None, keepdims=False):
    """The sum of the k smallest entries (along axes)."""
    model, (x,) = _args("sum_smallest", x)
    k = _k_of("sum_smallest", k, x, axis)
    return _along_axes("sum_smallest", "sum_smallest", x, axis, keepdims, f", {k:g}", k=k)


def dotsort(x, w):
    """CVXPY's dotsort: the inner product of the sorted entries of x and
    the sorted constant weights w (padded with zeros to x's size)."""
    if isinstance(w, (Affine, ParamExpr, Expression)):
        raise ModelError(f"dotsort takes constant weights w, not {w!r}")
    model, (x,) = _args("dotsort", x)
    wv = data.real(w, "the weights w of dotsort", copy=True).reshape(-1)
    if not 0 < wv.size <= x.size:
        raise ShapeError(f"dotsort: w of {wv.size} entries for {x!r} of {x.size}: w holds at least one entry and at "
                         "most as many as x (padded with zeros)")
    key = "dotsort" if np.all(wv >= 0) else "dotsort_nonpos" if np.all(wv <= 0) else "dotsort_mixed"
    e = _atom(key, [x], (), ("dotsort({}, " + names.const_text(wv) + ")", x), w=wv)
    if key == "dotsort_nonpos":
        # the weights' sign flips the argument's
        e.sign = cv.flip_sign(_sign(x))
    return e


def _rows_of(v, axis):
    """v's entries as rows (k, n), one row per result of a reduction along
    `axis`, as the reductions group them."""
    if axis is None:
        return v.reshape(1, -1)
    axes = (axis,) if isinstance(axis, int) else tuple(axis)
    keep = [d for d in range(v.ndim) if d not in axes]
    return np.transpose(v, keep + list(axes)).reshape(-1, math.prod(v.shape[a] for a in axes))


def _lse_along(v, axis):
    if axis is None:
        return _lse(v)
    R = _rows_of(v, axis)
    top = R.max(axis=1, keepdims=True)
    return top[:, 0] + np.log(np.exp(R - top).sum(axis=1))


def _pnorm_value(v, axis, p):
    R = _rows_of(v, axis)
    if p >= 1:
        a = np.abs(R)
        top = a.max(axis=1, initial=0.0)
        scale = np.where(top > 0, top, 1.0)[:, None]
        return top * ((a / scale) ** p).sum(axis=1) ** (1.0 / p)
    # an entry 0 adds nothing for 0 < p < 1 and makes the value 0 for p < 0
    terms = np.where(R > 0, np.where(R > 0, R, 1.0) ** p, 0.0 if p > 0 else np.inf)
    out = terms.sum(axis=1) ** (1.0 / p)
    return np.where(np.any(R < 0, axis=1), -np.inf, out)


def _largest_value(v, axis, k):
    R = -np.sort(-_rows_of(v, axis), axis=1)
    whole = int(k)
    out = R[:, :whole].sum(axis=1)
    return out + (k - whole) * R[:, whole] if k > whole else out


def _tv_value(*vs):
    if vs[0].ndim == 1:
        return np.abs(np.diff(vs[0])).sum()
    sq = sum((X[:-1, 1:] - X[:-1, :-1]) ** 2 + (X[1:, :-1] - X[:-1, :-1]) ** 2 for X in vs)
    return np.sqrt(sq).sum()


def _dotsort_value(v, w):
    x = v.reshape(-1)
    padded = np.zeros(x.size)
    padded[:w.size] = w
    return np.sort(x) @ np.sort(padded)


# -- values: evaluated by numpy from the arguments' values at the solution
# (the function itself, not the auxiliary variables of its reduction)

def _value(a):
    return None if a is None else np.asarray(a, float)


def _huber_value(v, M):
    a = np.abs(v)
    return np.where(a <= M, v * v, 2.0 * M * a - M * M)


def _entr(v):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(v > 0, -v * np.log(np.where(v > 0, v, 1.0)), np.where(v == 0, 0.0, -np.inf))


def _rel_entr_value(x, y):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where((x > 0) & (y > 0), x * np.log(np.where(x > 0, x, 1.0) / np.where(y > 0, y, 1.0)),
                        np.where((x == 0) & (y >= 0), 0.0, np.inf))


def _lse(v):
    top = float(np.max(v))
    return top + float(np.log(np.sum(np.exp(v - top))))


def _sym_eig(v):
    return np.linalg.eigvalsh((v + v.T) / 2.0)


def _matrix_frac_value(x, P):
    X = x.reshape(P.shape[0], -1)
    try:
        return float(np.trace(X.T @ np.linalg.solve((P + P.T) / 2.0, X)))
    except np.linalg.LinAlgError:
        return np.inf


VALUE = {
    "abs": lambda d, v: np.abs(v), "pos": lambda d, v: np.maximum(v, 0.0), "neg": lambda d, v: np.maximum(-v, 0.0),
    "maximum": lambda d, *v: np.maximum.reduce(np.broadcast_arrays(*v)),
    "minimum": lambda d, *v: np.minimum.reduce(np.broadcast_arrays(*v)),
    "max": lambda d, v: np.max(v, axis=d["axis"]), "min": lambda d, v: np.min(v, axis=d["axis"]),
    "norm1": lambda d, v: np.sum(np.abs(v), axis=d["axis"]),
    "norm2": lambda d, v: np.sqrt(np.sum(v * v, axis=d["axis"])),
    "norminf": lambda d, v: np.max(np.abs(v), axis=d["axis"]),
    "sum_squares": lambda d, v: np.sum(v * v), "square": lambda d, v: v * v,
    "quad_form": lambda d, v: v.reshape(-1) @ d["Q"] @ v.reshape(-1),
    "quad_over_lin": lambda d, x, y: np.sum(x * x) / float(y),
    "sqrt": lambda d, v: np.sqrt(v),
    "power_even": lambda d, v: np.power(v, d["p"]), "power_above_one": lambda d, v: np.power(v, d["p"]),
    "power_root": lambda d, v: np.power(v, d["p"]), "power_negative": lambda d, v: np.power(v, d["p"]),
    "inv_pos": lambda d, v: 1.0 / v, "exp": lambda d, v: np.exp(v), "log": lambda d, v: np.log(v),
    "entropy": lambda d, v: _entr(v), "rel_entr": lambda d, x, y: _rel_entr_value(x, y),
    "log_sum_exp": lambda d, v: _lse_along(v, d["axis"]),
    "geo_mean": lambda d, v: float(np.prod(np.power(v.reshape(-1), d["weights"]))),
    "huber": lambda d, v: _huber_value(v, d["M"]),
    "lambda_max": lambda d, v: _sym_eig(v)[-1], "lambda_min": lambda d, v: _sym_eig(v)[0],
    "log_det": lambda d, v: np.linalg.slogdet((v + v.T) / 2.0)[1],
    # functions of vectors, and functions along axes
    "pnorm": lambda d, v: _pnorm_value(v, d["axis"], d["p"]),
    "pnorm_concave": lambda d, v: _pnorm_value(v, d["axis"], d["p"]),
    "logistic": lambda d, v: np.logaddexp(0.0, v), "log1p": lambda d, v: np.log1p(v),
    "xexp": lambda d, v: v * np.exp(v), "kl_div": lambda d, x, y: _rel_entr_value(x, y) - x + y,
    "harmonic_mean": lambda d, v: v.size * _pnorm_value(v, None, -1.0),
    "cummax": lambda d, v: np.maximum.accumulate(v, axis=d["axis"]), "tv": lambda d, *v: _tv_value(*v),
    "sum_largest": lambda d, v: _largest_value(v, d["axis"], d["k"]),
    "sum_smallest": lambda d, v: -_largest_value(-v, d["axis"], d["k"]),
    "dotsort": lambda d, v: _dotsort_value(v, d["w"]), "dotsort_nonpos": lambda d, v: _dotsort_value(v, d["w"]),
    "dotsort_mixed": lambda d, v: _dotsort_value(v, d["w"]),
    "sigma_max": lambda d, v: np.linalg.norm(v, 2), "normNuc": lambda d, v: np.linalg.norm(v, "nuc"),
    "matrix_frac": lambda d, x, P: _matrix_frac_value(x, P),
    # quadratics to the quadratic term
    "quad_form_concave": lambda d, v: v.reshape(-1) @ d["Q"] @ v.reshape(-1),
}


def value_of(e):
    """The value of an Expression from its arguments' values (None where an
    argument has none)."""
    vals = [_value(a.value) for a in e.args]
    if any(v is None for v in vals):
        return None
    if e.kind == "sum":
        out = vals[0]
        for v in vals[1:]:
            out = out + v
    elif e.kind == "scale":
        c = e.data["factor"]
        cval = c.value if isinstance(c, ParamExpr) else c
        if cval is None:
            return None
        out = np.asarray(cval, float) * vals[0]
    elif e.kind == "map":
        out = e.data["npfn"](vals[0])
    else:
        out = VALUE[e.data["atom"]](e.data, *vals)
    return np.asarray(out, float).reshape(e.shape)


# -- what an affine expression and numpy reach through these functions

def _compared_with_function(a, f, op):
    """`a op f` for an affine a and a function f on its right (see
    constraints.py): the sides as written; NotImplemented for anything else
    that is not affine."""
    if not isinstance(f, Expression):
        return NotImplemented
    if op == ">=":
        return FunctionConstraint(f, a, "<=", ("{} >= {}", a, f))
    return FunctionConstraint(a, f, op)


constraints._function_comparison = _compared_with_function
Affine.__abs__ = abs_
Affine.__pow__ = power

# numpy's affine maps are these; its cumulative sum runs over the flattened
# array without an axis
numpy_protocol.FUNCTIONS.update({
    np.trace: lambda a, *args, **kw: trace(a) if not args and not kw else NotImplemented,
    np.diag: lambda v, k=0: diag(v) if k == 0 else NotImplemented,
    np.cumsum: lambda a, axis=None, dtype=None, out=None: (
        NotImplemented if dtype is not None or out is not None
        else cumsum(a.flatten(), 0) if axis is None else cumsum(a, axis)),
    np.diff: lambda a, n=1, axis=-1, **kw: diff(a, n, axis % max(np.ndim(a), 1)) if not kw else NotImplemented,
})
