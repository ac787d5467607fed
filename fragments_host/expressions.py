"""Affine expressions, variables and parameters of a model: their affine
algebra. Every operation is one chain of kernel calls on the evaluation
stacks (see stacks.py), run when the expression's blocks are first needed
(see deferred.py); what is kept here is bookkeeping: shapes, names and the
model an expression belongs to, checked before any kernel runs. What builds
on more than the algebra is set on these classes by the module that knows
it: the comparisons by constraints.py, abs() and ** by functions.py, the
values and duals by solution.py, the elements of a variable by terms.py."""
from __future__ import annotations

import math
import numbers
import operator
import weakref

import numpy as np

from . import data
from . import deferred
from . import kernels as kn
from . import numpy_protocol
from . import stacks as st
from .errors import ModelError, ParameterError, ShapeError
from .names import const_text, indexed_name, key_text, negated_name, postfix_name, product_name, sum_name
from .names import text as _text
from .numpy_protocol import NumpyOperand
from .stacks import F64, I32, I64


def as_shape(s, what="a shape"):
    if type(s) is tuple and all(type(n) is int for n in s):
        return s
    return data.shape(s, what)


class ModelState:
    """What the parts of one model share and hold: its name, the flat
    problem, the last solution, the parameter values, and a weak reference
    to the model itself. The model holds its variables, constraints and
    objective; they hold this state, which holds none of them, so that
    there is no reference cycle and a model the user drops is freed at
    once (its parts' values and duals stay readable while they live).
    `_ref` is the state itself, as a model's `_ref` is its state: code that
    records the model of an expression takes `model._ref` of either."""

    __slots__ = ("owner", "name", "_flat", "_sol", "_native", "_param_dirty", "params", "given", "signs",
                 "__weakref__")

    def __init__(self, model, name):
        self.owner = weakref.ref(model)
        self.name = name
        self._flat = self._sol = None
        self._native = {}
        self._param_dirty = True
        self.params = []          # one slot per parameter, in order: its value lies there
        # values the user set on variables since the last solve: id(variable)
        # -> (its full column map, its values flat); the next solve drops them
        self.given = {}
        # the sign of each variable's domain by its first column: (first
        # column, columns, sign), in order (a pick of a variable has its sign)
        self.signs = []

    @property
    def _ref(self):
        return self


class ParameterSlot:
    """A parameter's place in the parameter table and its current value."""

    __slots__ = ("name", "shape", "base", "size", "value", "sign")

    def __init__(self, name, shape, base, size):
        self.name, self.shape, self.base, self.size, self.value = name, shape, base, size, None
        self.sign = None          # "nonnegative" / "nonpositive" when declared


def live(state, item=None):
    """The model of a state; an error once the user dropped it."""
    m = state.owner()
    if m is None:
        raise ModelError(f"the model of {'an expression' if item is None else repr(item)} no longer exists: "
                         "keep a reference to the model to state or solve with its parts")
    return m


def same_model(model, item, what="expression"):
    """Refuses an expression, variable or parameter of another model (the
    model or its state given: the states are compared)."""
    other = getattr(item, "_model", None)
    model = model._ref
    if other is not None and other is not model:
        raise ModelError(f"{what} {item!r} belongs to another model ('{other.name}') than this one "
                         f"('{model.name}'): parts of different models cannot be combined")


def constant_of(model, value, what="a constant operand"):
    """A number or array as a constant expression of `model`, its entries
    checked (see data.py): `what` names where it was written."""
    if type(value) in _NUMBERS:
        v = float(value)
        if v - v != 0.0:          # NaN or an infinity
            data.number(v, what)
        arr = np.asarray(v, F64)
    else:
        if hasattr(value, "tocsr"):
            value = data.sparse(value, what).toarray()
        # a copy: the caller may reuse its array before the build
        arr = data.real(value, what, copy=not isinstance(value, (numbers.Number, np.generic)))
    return _record(model, arr.shape, "const", (arr,), (), (arr.shape,), (const_text, arr))


# number types taken as they are (a number cannot change after the statement)
_NUMBERS = data.NUMBERS


def text(x):
    """A short name of an operand for messages and names."""
    return _text(x)


class NotedName:
    """The `name` of an expression or a constraint: written out on first
    use from what its statement noted (a format and its operands, or a
    function and its arguments), so that stating one formats no text."""

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        n = obj._name
        if type(n) is tuple:
            n = obj._name = _spelled(n)
        return n

    def __set__(self, obj, value):
        obj._name = value


class Affine(NumpyOperand):
    """An affine expression of a model: a dense stacked expression."""
    # the attributes every expression has, in slots (one is made per
    # operation stated); subclasses and callers may add others
    __slots__ = ("_ex", "_op", "_args", "_shape", "_model", "_key", "_depth", "_name", "__dict__", "__weakref__")

    def __init__(self, e, name=None):
        self._ex, self._op, self._args = e, None, None
        self._shape, self._model = e.shape, e.model._ref
        self._key, self._depth = ("e", id(self)), 0
        self.name = name

    name = NotedName()

    @property
    def _e(self):
        """The expression's blocks, computed on first use."""
        ex = self._ex
        if ex is None:
            ex = self._ex = deferred.evaluate(self)
        return ex

    @property
    def model(self):
        return live(self._model, self)

    @property
    def shape(self):
        return self._shape

    @property
    def ndim(self):
        return len(self._shape)

    @property
    def size(self):
        return math.prod(self._shape)

    def __repr__(self):
        return self.name or f"Affine(shape={self.shape}, terms={self._e.m})"

    # -- curvature and sign of an affine expression
    is_affine = True

    def is_convex(self):
        return True

    def is_concave(self):
        return True

    # -- arithmetic
    def _lift(self, other):
        """The other operand as an expression of this model."""
        if type(other) in _NUMBERS:
            return constant_of(self._model, other, ("a constant operand beside {}", self))
        if isinstance(other, Affine):
            if other._model is not self._model:
                same_model(self._model, other)
            return other
        if isinstance(other, ParamExpr):
            same_model(self._model, other, "parameter")
            return other.as_affine()
        if _is_statement(other):
            raise TypeError(f"{other!r} is not an expression")
        return constant_of(self._model, other, ("a constant operand beside {}", self))

    def _broadcast(self, shape):
        """The expression repeated to `shape` by numpy's rules: axes of one
        element repeated, missing leading axes added."""
        if self._shape == shape:
            return self
        if self.size == 1:
            return _record(self._model, shape, "spread", (self, shape), (self,), (shape,), self._name)
        if not broadcasts_to(self._shape, shape):
            raise ShapeError(f"{self!r} of shape {self._shape} does not broadcast to shape {shape}")
        if self._op == "broadcast":
            # a broadcast of a broadcast: the first operand broadcast at once
            return self._args[0]._broadcast(shape)
        if self._op == "wsum" and self._depth < 12:
            # a short sum broadcast is the sum of its operands broadcast: its
            # constants stay constants and its parts of variables one term
            # per element, as the sums of the build take them
            (a, b), ws = self._args
            a, b = a._broadcast(shape), b._broadcast(shape)
            return _record(self._model, shape, "wsum", ((a, b), ws), (a, b), (ws,), self._name)
        return _record(self._model, shape, "broadcast", (self, shape), (self,), (shape,), self._name)

    def _combine(self, other, w):
        if _is_nonaffine(other):
            return NotImplemented
        o = self._lift(other)
        if self._shape == o._shape:
            shape, a, b = self._shape, self, o
        else:
            # numpy's broadcasting: each operand repeated along the axes
            # where it has one element, and over missing leading axes
            shape = broadcast_shape("+" if w > 0 else "-", (self._shape, o._shape))
            a, b = self._broadcast(shape), o._broadcast(shape)
        return _record(self._model, shape, "wsum", ((a, b), (1.0, w)), (a, b), ((1.0, w),),
                       (sum_name, self, w, o))

    def __add__(self, other):
        return self._combine(other, 1.0)

    def __radd__(self, other):
        if _is_nonaffine(other):
            return NotImplemented
        return self._lift(other)._combine(self, 1.0)

    def __sub__(self, other):
        return self._combine(other, -1.0)

    def __rsub__(self, other):
        if _is_nonaffine(other):
            return NotImplemented
        return self._lift(other)._combine(self, -1.0)

    def __neg__(self):
        return _record(self._model, self._shape, "scale", (self, -1.0), (self,), (-1.0,), (negated_name, self))

    def __pos__(self):
        return self

    def __mul__(self, other):
        if isinstance(other, ParamExpr):
            return other.__mul__(self)
        if isinstance(other, Affine):
            same_model(self._model, other)
            if other.size == 1 and other._e.m == 1 and int(other._e.nidxs[0]) == 0 and not other._e.prog:
                return self * float(other._e.cof[0])
            raise ModelError(f"product of two expressions {self!r} and {other!r} is not affine")
        if _is_nonaffine(other) or _is_statement(other):
            return NotImplemented
        if isinstance(other, numbers.Real) and not isinstance(other, bool):
            d = data.number(other, ("the factor of {}", self))
            return _record(self._model, self._shape, "scale", (self, d), (self,), (d,), (product_name, other, "*", self))
        other = data.real(other, ("an elementwise factor of {}", self))
        return self._times_array(other)

    __rmul__ = __mul__

    def _times_array(self, other):
        """The elementwise product with a checked constant array, both
        broadcast by numpy's rules."""
        if other.size == 1 and other.ndim <= self.ndim:
            return self * float(other.reshape(-1)[0])
        shape = broadcast_shape("an elementwise product", (self._shape, other.shape))
        me = self._broadcast(shape)
        flat = me.reshape((me.size,))
        values = np.array(np.broadcast_to(other, shape), F64).reshape(-1)
        r = _record(self._model, flat.shape, "diag", (values, flat), (flat,), (me.size,), None).reshape(shape)
        r.name = (product_name, self, "*", other)
        return r

    def __truediv__(self, other):
        if isinstance(other, (Affine, ParamExpr)):
            raise ModelError(f"division of {self!r} by the expression {other!r} is not affine")
        if type(other) in _NUMBERS or isinstance(other, numbers.Real):
            d = data.number(other, ("the divisor of {}", self))
            if d == 0.0:
                raise ZeroDivisionError(f"{self!r} divided by zero")
            r = self * (1.0 / d)
            r.name = (product_name, self, "/", other)
            return r
        if _is_nonaffine(other) or _is_statement(other):
            return NotImplemented
        d = data.real(other, ("the divisor of {}", self))
        if not d.all():
            raise ZeroDivisionError(f"{self!r} divided by an array holding zero")
        r = self._times_array(1.0 / d)
        r.name = (product_name, self, "/", other)
        return r

    def __rtruediv__(self, other):
        if _is_nonaffine(other):
            return NotImplemented
        raise ModelError(f"{text(other)} / {self!r}: dividing by an expression is not affine (neither convex nor "
                         "concave in general); inv_pos(x) is the convex 1/x of a positive x")

    def __matmul__(self, M):
        # E . M = (M^T . E^T)^T
        if isinstance(M, ParamExpr):
            return M.__rmatmul__(self)
        if isinstance(M, Affine):
            raise ModelError(f"product of two expressions {self!r} and {M!r} is not affine")
        if not hasattr(M, "tocsr") and np.ndim(M) == 1:
            v = data.real(M, ("the vector of {} @ v", self))
            if not self.shape or self.shape[-1] != v.shape[0]:
                raise ShapeError(f"matrix product of shapes {self.shape} and {v.shape}")
            if len(self.shape) == 1:
                return _product(v.reshape(1, -1), self, (product_name, self, " @ ", v), ())
            r = (v.reshape(1, -1) @ self.T).reshape(self.shape[:-1])
            r.name = (product_name, self, " @ ", v)
            return r
        M = _as_matrix(M, ("the matrix of {} @ M", self))
        if len(self.shape) == 1:
            if M.shape[0] != self.shape[0]:
                raise ShapeError(f"matrix product of shapes {self.shape} and {M.shape}")
            return _product(M.T, self, (product_name, self, " @ ", M))
        if len(self.shape) != 2 or M.shape[0] != self.shape[1]:
            raise ShapeError(f"matrix product of shapes {self.shape} and {M.shape}")
        r = _product(M.T, self.T, None).T
        r.name = (product_name, self, " @ ", M)
        return r

    def __rmatmul__(self, M):
        if type(M) is not np.ndarray or M.dtype != F64 or not 0 < M.ndim < 3:
            # anything but a float vector or matrix (the common case): a
            # parameter, a compressed-row matrix, or numbers to convert
            if isinstance(M, ParamExpr):
                return M.__matmul__(self)
            M = (data.real(M, ("the vector of v @ {}", self)) if not hasattr(M, "tocsr") and np.ndim(M) == 1
                 else _as_matrix(M, ("the matrix of M @ {}", self)))
        elif not data.all_finite(M):
            M = data.real(M, ("the matrix of M @ {}", self))
        if not self._shape or M.shape[-1] != self._shape[0] or len(self._shape) > 2:
            # numpy's product with three axes or more is a batch of products
            # over the leading axes: not taken
            raise ShapeError(f"matrix product of shapes {M.shape} and {self.shape}" + (
                ": an expression of one or two axes (reshape a batch to two axes)" if len(self._shape) > 2 else ""))
        if M.ndim == 1:
            return _product(M.reshape(1, -1), self, (product_name, M, " @ ", self), self._shape[1:])
        return _product(M, self, (product_name, M, " @ ", self))

    # -- structure
    @property
    def T(self):
        if len(self.shape) < 2:
            return self
        perm = tuple(range(len(self.shape)))[::-1]
        return _record(self._model, self._shape[::-1], "permute", (self, perm), (self,), (perm,), (postfix_name, self, ".T"))

    def transpose(self, perm):
        perm = [int(p) for p in perm]
        if sorted(perm) != list(range(self.ndim)):
            raise ShapeError(f"{perm} is not a permutation of the axes of shape {self.shape}")
        perm = tuple(perm)
        shape = tuple(self.shape[p] for p in perm)
        return _record(self._model, shape, "permute", (self, perm), (self,), (perm,),
                       (postfix_name, self, f".transpose({perm})"))

    def reshape(self, *shape, order="C"):
        """The elements under a new shape (one extent may be -1: what the
        others leave), read and laid out row-major (order "C") or
        column-major ("F"), as numpy reshapes."""
        shape = reshaped(self._shape, shape[0] if len(shape) == 1 else shape)
        if order == "F":
            # column-major: the row-major reshape of the axes reversed
            return self.T.reshape(shape[::-1]).T
        if order not in ("C", "A"):
            raise ValueError(f"reshape order {order!r}: 'C' or 'F'")
        if shape == self._shape:
            return self
        return _record(self._model, shape, "reshape", (self, shape), (self,), (shape,),
                       (postfix_name, self, f".reshape({shape})"))

    def __len__(self):
        if not self._shape:
            raise TypeError(f"len() of the scalar {self!r}")
        return self._shape[0]

    def flatten(self):
        shape = (math.prod(self._shape),)
        if shape == self._shape:
            return self
        return _record(self._model, shape, "reshape", (self, shape), (self,), (shape,),
                       (postfix_name, self, ".flatten()"))

    def __getitem__(self, key):
        box = box_of_key(self.shape, key, general=True)
        if box is None:
            # steps, index arrays, masks, new axes, an ellipsis: the positions
            # numpy's indexing takes, picked
            pos = positions_of_key(self._shape, key, self)
            return _record(self._model, pos.shape, "take", (self, pos.reshape(-1), pos.shape), (self,), (pos.shape,),
                           (indexed_name, self, key if isinstance(key, tuple) else (key,)))
        # (the key holds integers, slices and an ellipsis only)
        written = key if isinstance(key, tuple) and Ellipsis in key else box[0]
        key, first, last, keep = box
        shape = self._shape
        bshape = tuple(map(operator.sub, last, first))
        # the key holds the box's extent, not its place: boxes of one shape
        # at different places are alike (a run takes them as one pick)
        res = _record(self._model, bshape, "box", (self, first, last), (self,), (bshape,),
                      (indexed_name, self, written))
        if len(keep) == len(shape):
            return res
        # the integers' axes dropped: the box under the shape of its kept axes
        keep = tuple(keep)
        return _record(self._model, keep, "reshape", (res, keep), (res,), (keep,), res._name)

    def pick(self, indices):
        """Elements at the given multi-indices (rows of an integer array)."""
        idx = np.atleast_2d(data.indices(indices, ("the indices of {}.pick", self)))
        if idx.shape[1] != len(self.shape):
            raise ShapeError(f"multi-indices of {idx.shape[1]} axes for shape {self.shape}")
        if np.any(idx < 0) or np.any(idx >= np.asarray(self.shape)):
            raise IndexError(f"index out of range for shape {self.shape}")
        lin = np.ravel_multi_index(tuple(idx.T), self.shape).astype(I64)
        return Computed(st.pick(self._e, lin, (len(lin),)), f"{self!r}.pick")

    def sum(self, axis=None, dtype=None, out=None, keepdims=False):
        """The sum of the entries, along an axis or a tuple of axes, their
        extents kept as 1 with keepdims (numpy's np.sum(x) calls this)."""
        axes = summed_axes(self._shape, axis, dtype, out)
        if axes is None:
            flat = self.flatten()
            r = _record(self._model, (), "sum", (flat, 0), (flat,), (0,), ("sum({})", self))
        else:
            r = self
            for ax in sorted(axes, reverse=True):
                shape = r._shape[:ax] + r._shape[ax + 1:]
                r = _record(self._model, shape, "sum", (r, ax), (r,), (ax,), ("sum({}, axis=" + str(ax) + ")", r))
            if len(axes) > 1:
                r.name = ("sum({}, axis=" + str(tuple(axes)) + ")", self)
        return r.reshape(kept_shape(self._shape, axes)) if keepdims else r

    def sym(self):
        """Symmetric part (E + E^T) / 2 of a square expression."""
        if len(self.shape) != 2 or self.shape[0] != self.shape[1]:
            raise ShapeError(f"symmetric part of a non-square shape {self.shape}")
        return Computed(st.wsum([self._e, self.T._e], [0.5, 0.5]), f"sym({self!r})")

    # -- constraints: ==, <=, >= and the semidefinite >>, << are set on this
    # class by constraints.py, which builds on it
    def __ne__(self, other):
        raise ModelError(f"{self!r} != ...: a constraint is ==, <=, >=, >> or <<")

    __hash__ = object.__hash__

    def __bool__(self):
        raise ModelError(f"the truth value of the expression {self!r} is not defined")

    # -- the value at the last solution, `value`, is set on this class by
    # solution.py, which maps the solution back

    # -- curvature and sign (abs() and ** are functions of the expression:
    # set on this class by functions.py, which builds on it)
    @property
    def curvature(self):
        """"constant" when no variable enters, else "affine"."""
        e = self._e
        if e.m == 0 or kn.positive_entries(e.nidxs, 0, np.zeros(e.m, I32)) == 0:
            return "constant"
        return "affine"

    @property
    def sign(self):
        """"nonnegative" / "nonpositive" where known (constants, variables
        with a signed domain, parameters declared with a sign), else "unknown"."""
        s = getattr(self, "_sign", None)
        if s is None and self._op is not None:
            s = self._sign = _derived_sign(self._op, self._args)
        return s or "unknown"


# operations whose every element is an element of their first operand
_PICKS = frozenset(("box", "take", "reshape", "permute", "spread", "broadcast"))
_FLIP = {"nonnegative": "nonpositive", "nonpositive": "nonnegative", "unknown": "unknown"}


def _common_sign(signs):
    """The sign of a sum of terms of these signs."""
    signs = set(signs)
    return signs.pop() if len(signs) == 1 else "unknown"


def _scaled_sign(sign, w):
    """The sign of w times an expression of `sign` (a zero is nonnegative)."""
    return "nonnegative" if w == 0 else sign if w > 0 else _FLIP[sign]


def _derived_sign(op, args):
    """The sign of an expression from its operation and its operands' signs,
    as CVXPY derives it: picks, sums and joins of one sign keep it, a
    factor's sign flips it where negative."""
    if op in _PICKS or op == "sum":
        return args[0].sign
    if op == "const":
        a = args[0]
        return "nonnegative" if np.all(a >= 0) else "nonpositive" if np.all(a <= 0) else "unknown"
    if op == "scale":
        return _scaled_sign(args[0].sign, args[1])
    if op == "wsum":
        return _common_sign(_scaled_sign(x.sign, w) for x, w in zip(*args))
    if op == "concat":
        return _common_sign(x.sign for x in args[0])
    if op == "diag":
        values, e = args
        if np.all(values >= 0):
            return _scaled_sign(e.sign, 1.0)
        if np.all(values <= 0):
            return _scaled_sign(e.sign, -1.0)
    return "unknown"


class Computed(Affine):
    """An expression computed from others (every expression that is not a
    variable). Variables and computed expressions are sibling classes, so
    that Python calls the left operand's comparison first whatever the two
    operands are (it tries a subclass's reflected method first)."""

    __slots__ = ()


def reshaped(old, shape):
    """The shape of a reshape of `old`, an extent of -1 filled in."""
    if isinstance(shape, numbers.Integral):
        shape = (shape,)
    try:
        shape = tuple(shape)
    except TypeError:
        raise TypeError(f"{shape!r} is not a shape (a size or a sequence of sizes)") from None
    if any(type(n) is int and n == -1 for n in shape):
        if sum(1 for n in shape if type(n) is int and n == -1) > 1:
            raise ShapeError(f"reshape of {old} into {shape}: only one extent can be -1")
        known = math.prod(n for n in shape if not (type(n) is int and n == -1))
        size = math.prod(old)
        if known == 0 or size % known:
            raise ShapeError(f"cannot reshape {old} into {shape}")
        shape = tuple(size // known if (type(n) is int and n == -1) else n for n in shape)
    shape = as_shape(shape, "the shape of a reshape")
    if st.size_of(shape) != math.prod(old):
        raise ShapeError(f"cannot reshape {old} into {shape}")
    return shape


def summed_axes(shape, axis, dtype=None, out=None):
    """The axes a sum runs along, distinct and ascending (None: all of them,
    to one number), as numpy takes `axis`."""
    if out is not None:
        raise TypeError("a sum of expressions is an expression: out= takes no array")
    if dtype is not None:
        raise TypeError("a sum of expressions has no dtype")
    if axis is None:
        return None
    nd = len(shape)
    items = axis if isinstance(axis, tuple) else (axis,)
    axes = []
    for a in items:
        if not isinstance(a, numbers.Integral) or isinstance(a, (bool, np.bool_)):
            raise TypeError(f"axis {a!r} is not an integer")
        if not -nd <= a < nd:
            raise ShapeError(f"axis {a} out of range for shape {shape}")
        axes.append(int(a) % nd)
    if len(set(axes)) != len(axes):
        raise ValueError(f"repeated axis in {axis}")
    return sorted(axes)


def kept_shape(shape, axes):
    """The shape of a sum along `axes` (None: all) with their extents kept
    as 1."""
    return tuple(1 if axes is None or k in axes else n for k, n in enumerate(shape))


def broadcast_shape(what, shapes):
    """The shape numpy broadcasts `shapes` to; ShapeError naming them when
    they do not broadcast."""
    # numpy's rule on the shapes themselves: aligned at the last axis, each
    # axis of one extent (or of extent 1, which takes the other's)
    if not shapes:
        return ()
    first = shapes[0]
    for s in shapes:
        if s != first:
            break
    else:
        return first if type(first) is tuple else tuple(int(n) for n in first)
    nd = max(len(s) for s in shapes)
    out = [1] * nd
    for s in shapes:
        at = nd - len(s)
        for n in s:
            n = int(n)
            if n != 1:
                if out[at] == 1:
                    out[at] = n
                elif out[at] != n:
                    break
            at += 1
        else:
            continue
        raise ShapeError(f"{what}: shapes {', '.join(str(tuple(s)) for s in shapes)} do not broadcast "
                         "(each axis of one extent, or of extent 1)")
    return tuple(out)


def broadcasts_to(shape, target):
    """Whether numpy broadcasts `shape` to `target` unchanged: as many axes
    or fewer, each of the target's extent or of extent 1."""
    at = len(target) - len(shape)
    if at < 0:
        return False
    for n in shape:
        if n != 1 and n != target[at]:
            return False
        at += 1
    return True


def box_of_key(shape, key, general=False):
    """An index of integers and slices of unit step on `shape`: (the key
    padded to every axis, the box's first and last corners, the extents of
    the axes it keeps); IndexError or ShapeError for an integer out of range
    or too many indices. An ellipsis stands for the slices of the axes the
    key leaves out. Any other index (steps, arrays, masks, None) gives None
    when `general`, else TypeError."""
    if not isinstance(key, tuple):
        key = (key,)
    nd = len(shape)
    if len(key) <= nd:
        # the common key: integers in range and slices of unit step, read
        # in one pass (anything else through the general reading below)
        first, last, keep = [], [], []
        for s, n in zip(key, shape):
            t = type(s)
            if t is slice:
                if s.step is not None and s.step != 1:
                    break
                a, b, _ = s.indices(n)
                first.append(a)
                last.append(max(a, b))
                keep.append(max(b - a, 0))
            elif t is int and -n <= s < n:
                i = s + n if s < 0 else s
                first.append(i)
                last.append(i + 1)
            else:
                break
        else:
            for n in shape[len(key):]:
                first.append(0)
                last.append(n)
                keep.append(n)
            return key + (slice(None),) * (nd - len(key)), tuple(first), tuple(last), keep
    # one ellipsis (and no new axis) stands for the slices it leaves out
    at, ellipses, new_axis = None, 0, False
    for i, k in enumerate(key):
        if k is Ellipsis:
            ellipses += 1
            at = i if at is None else at
        elif k is None:
            new_axis = True
    if ellipses == 1 and not new_axis:
        key = key[:at] + (slice(None),) * max(len(shape) - len(key) + 1, 0) + key[at + 1:]
    if len(key) > len(shape):
        if general and any(k is None or k is Ellipsis for k in key):
            return None
        raise IndexError(f"too many indices {key} for shape {shape}")
    key = key + (slice(None),) * (len(shape) - len(key))
    first, last, keep = [], [], []
    for k, (s, n) in enumerate(zip(key, shape)):
        if type(s) is int or (type(s) is not slice and isinstance(s, numbers.Integral)
                              and not isinstance(s, (bool, np.bool_))):
            i = int(s) + n if s < 0 else int(s)
            if not 0 <= i < n:
                raise IndexError(f"index {s} out of range for axis {k} of shape {shape}")
            first.append(i)
            last.append(i + 1)
        elif isinstance(s, slice) and (s.step is None or s.step == 1):
            a, b, _ = s.indices(n)
            first.append(a)
            last.append(max(a, b))
            keep.append(max(b - a, 0))
        elif general:
            return None
        else:
            raise TypeError(f"unsupported index {s!r}")
    return key, tuple(first), tuple(last), keep


def positions_of_key(shape, key, of):
    """The positions (row-major) of the elements numpy's indexing `key`
    takes from an array of `shape`, as an array of the result's shape;
    numpy's refusals (IndexError, TypeError) name `of` and the key."""
    if isinstance(key, (Affine, ParamExpr)) or (isinstance(key, tuple) and any(
            isinstance(k, (Affine, ParamExpr)) for k in key)):
        raise TypeError(f"{of!r}[...]: an index is a constant, not an expression")
    try:
        pos = np.arange(st.size_of(shape), dtype=I64).reshape(shape)[key]
    except IndexError as err:
        raise IndexError(f"{of!r}[{key_text(key if isinstance(key, tuple) else (key,))}]: {err}") from None
    except (TypeError, ValueError) as err:
        raise TypeError(f"{of!r}[...]: unsupported index {key!r}: {err}") from None
    return np.asarray(pos, I64)


def _record(model, shape, op, args, operands, fixed, name):
    """An expression recorded as its operation (see deferred.py); its key is
    the operation, its fixed arguments and its operands' keys."""
    a = Computed.__new__(Computed)
    a._ex, a._op, a._args = None, op, args
    a._shape, a._model, a._name = shape, model if type(model) is ModelState else model._ref, name
    key, depth = (op,) + fixed, 0
    for x in operands:
        if x._depth > depth:
            depth = x._depth
        if key is not None:
            key = None if x._key is None else key + (x._key,)
    a._key, a._depth = key, depth + 1
    if depth >= deferred.DEEP:
        # computed here, and its name and sign written out, so that it holds
        # none of the expressions it was made of
        a.sign
        a._e
        a._op = a._args = None
        a._key, a._depth = ("e", id(a)), 0
        a.name
    return a


def _spelled(n):
    """A noted name written out: (format, operands...) with the operands'
    names, or (function, arguments...). Operands whose own names are still
    noted are written out first, the deepest first, without recursing (a
    sum accumulated in a loop notes a chain as long as the loop)."""
    todo = _pending(n)
    while todo:
        o = todo[-1]
        if type(o._name) is tuple:
            pending = _pending(o._name)
            if pending:
                todo.extend(pending)
                continue
            o._name = _written(o._name)
        todo.pop()
    return _written(n)


def _pending(n):
    """The operands of a noted name whose own names are still noted."""
    return [a for a in n[1:] if type(getattr(a, "_name", None)) is tuple]


def _written(n):
    if callable(n[0]):
        return n[0](*n[1:])
    return n[0].format(*map(text, n[1:]))


def _product(M, x, name, shape=None):
    """M . x for a constant matrix M, under `shape` when given (a row vector
    M gives x's trailing axes alone): recorded when M is small (a copy, since
    the caller may reuse its array), computed at once otherwise."""
    full = (M.shape[0],) + x._shape[1:]
    shape = full if shape is None else shape
    dense = type(M) is np.ndarray or not hasattr(M, "tocsr")
    if (M.size if dense else M.nnz) > deferred.SMALL:
        e = st.left_matmul(M, x._e)
        return Computed(e if shape == full else st.reshape(e, shape), name)
    kind = "dense" if dense else "sparse"
    M = M.copy()
    return _record(x._model, shape, "lmat", (M, x, shape), (x,), (kind, M.shape, shape), name)


def _is_nonaffine(x):
    return type(x) not in _NUMBERS and getattr(x, "is_affine", True) is False


def _is_statement(x):
    return type(x).__name__ in ("Constraint", "Model")


def _as_matrix(M, what):
    """A constant matrix, dense or scipy sparse, its entries (and a sparse
    matrix's structure) checked."""
    if hasattr(M, "tocsr"):
        return data.sparse(M, what)
    M = data.real(M, what)
    if M.ndim != 2:
        raise ShapeError(f"a constant matrix has two axes, not shape {M.shape}")
    return M


def _model_of(items):
    for i in items:
        if isinstance(i, (Affine, ParamExpr)):
            return i._model
    raise ModelError("stacking needs at least one expression of a model")


def concatenate(items, axis=0):
    """numpy's concatenate: expressions joined along an existing axis."""
    items = list(items)
    if not items:
        raise ShapeError("nothing to concatenate")
    model = _model_of(items)
    lifted = []
    for i in items:
        if isinstance(i, Affine):
            same_model(model, i)
            lifted.append(i)
        elif isinstance(i, ParamExpr):
            same_model(model, i, "parameter")
            lifted.append(i.as_affine())
        else:
            lifted.append(constant_of(model, i, "a constant operand of concatenate"))
    items = lifted
    nd = len(items[0].shape)
    if nd == 0 or not -nd <= axis < nd:
        raise ShapeError(f"cannot concatenate shapes {[i.shape for i in items]} along axis {axis}")
    axis = axis + nd if axis < 0 else axis
    for it in items:
        if len(it.shape) != nd or any(a != b for k, (a, b) in enumerate(zip(it.shape, items[0].shape))
                                      if k != axis):
            raise ShapeError(f"cannot concatenate shapes {[i.shape for i in items]} along axis {axis}")
    return _joined(model, items, axis, ("concatenate([" + ", ".join(["{}"] * len(items)) + f"], {axis})",) + tuple(items))


def stack(items, axis=0):
    """numpy's stack: expressions of one shape joined along a new axis
    (each item's extent 1 there)."""
    items = _lifted(items, "stack")
    shape = items[0].shape
    nd = len(shape) + 1
    if not -nd <= axis < nd:
        raise ShapeError(f"stack: axis {axis} out of range for {len(items)} items of shape {shape} (a new axis "
                         f"among {nd})")
    if any(i.shape != shape for i in items):
        raise ShapeError(f"stack joins items of one shape along a new axis, not shapes {[i.shape for i in items]} "
                         "(concatenate joins along an existing axis)")
    axis = axis % nd
    grown = shape[:axis] + (1,) + shape[axis:]
    e = concatenate([i.reshape(grown) for i in items], axis)
    e.name = ("stack([" + ", ".join(["{}"] * len(items)) + f"], {axis})",) + tuple(items)
    return e


def _joined(model, items, axis, name):
    """Expressions of one model joined along `axis` (shapes checked by the
    caller)."""
    n = 0
    for i in items:
        n += i._shape[axis]
    first = items[0]._shape
    shape = first[:axis] + (n,) + first[axis + 1:]
    return _record(model, shape, "concat", (tuple(items), axis), items, (axis,), name)


def _lifted(items, what):
    """The items of a stacking as expressions of one model (constants
    lifted)."""
    items = list(items)
    if not items:
        raise ShapeError(f"nothing to {what}")
    model = _model_of(items)
    out = []
    for i in items:
        if isinstance(i, ParamExpr):
            i = i.as_affine()
        elif not isinstance(i, Affine):
            i = constant_of(model, i, f"a constant operand of {what}")
        out.append(i)
    return out


def hstack(items):
    """numpy's hstack: scalars as vectors of one element, joined along the
    first axis when the first item is a vector, else along the second."""
    items = [i if i.ndim else i.reshape((1,)) for i in _lifted(items, "hstack")]
    return concatenate(items, axis=0 if items[0].ndim == 1 else 1)


def vstack(items):
    """numpy's vstack: scalars as 1 x 1 matrices, vectors as rows, joined
    along the first axis."""
    items = [i.reshape((1,) * (2 - i.ndim) + i.shape) if i.ndim < 2 else i for i in _lifted(items, "vstack")]
    return concatenate(items, axis=0)


class Variable(Affine):
    """A variable of the model; its elements are columns of the solver's problem."""

    structure = None              # "symmetric", "PSD", "NSD" (see Model.variable), or None
    nonneg = nonpos = False
    _pick = None                  # see __init__

    def __init__(self, model, name, shape, nidxs, full=None):
        self.nidxs = nidxs            # the variable's scalar elements (solver columns + 1)
        self.full = full if full is not None else nidxs
        # the columns are the model's fresh arrays (see Model.variable)
        super().__init__(st.identity(model, shape, self.full, full is None, fresh=True), name)
        # elements picked one at a time are term lists (see terms.py): the
        # first column, or the columns as a list for a semidefinite variable
        self._first = int(nidxs[0]) if len(nidxs) else 0
        self._cols = None
        # a plain 2-D variable's element y[i, j] is column first + i * n1 + j:
        # (n0, n1, first, state), read at once by the pick
        if full is None and len(shape) == 2:
            self._pick = (shape[0], shape[1], self._first, self._model)

    # its value (settable: an initial value) and the duals of its bounds,
    # `value`, `dual`, `lower_dual` and `upper_dual`, are set by solution.py

    @property
    def cone(self):
        """The semidefinite constraint of a variable made by
        `Model.semidefinite` (None for other variables)."""
        ref = self.__dict__.get("_cone")
        return None if ref is None else ref()

    # -- sign from the domain: nonneg=True, or bounds of one sign
    @property
    def sign(self):
        lo, hi = getattr(self, "bounds", (None, None))
        if lo is not None and lo[0] != "sparse" and (lo[1][0] >= 0 if lo[0] == "scalar" else (lo[1] >= 0).all()):
            return "nonnegative"
        if hi is not None and hi[0] != "sparse" and (hi[1][0] <= 0 if hi[0] == "scalar" else (hi[1] <= 0).all()):
            return "nonpositive"
        return "unknown"


def _signs_of_columns(model, width):
    """+1 / -1 / 0 per parameter entry 0 .. width - 1: declared nonnegative,
    nonpositive, or neither."""
    out = np.zeros(width, np.int8)
    for slot in model.params:
        if slot.base < width and slot.sign:
            out[slot.base:slot.base + slot.size] = 1 if slot.sign == "nonnegative" else -1
    return out


class ParamExpr(NumpyOperand):
    """An affine expression of parameters (and constants): element i is
    c0[i] + sum_j A[i, j] v[j] over the model's parameter entries v. Sums,
    scalings, constant products, indexing, transposes, reshapes and axis
    sums of parameters stay parameter expressions (their A and c0 follow,
    as numpy's and scipy's arrays do); a parameter expression times a
    variable expression is an expression whose coefficients are programs
    (each entry of A one parameter product), as a parameter's is. Its sign
    follows from the declared signs of the parameters that enter."""

    is_affine = True
    curvature = "constant"
    __array_priority__ = 100

    def __init__(self, model, shape, c0, A, name=None):
        self._model, self.shape = model._ref, tuple(shape)
        self._c0, self._A, self._affine = c0, A, None
        self._name = name

    name = NotedName()

    @property
    def model(self):
        return live(self._model, self)

    @property
    def size(self):
        return st.size_of(self.shape)

    @property
    def ndim(self):
        return len(self.shape)

    def __repr__(self):
        return self.name or f"parameters{self.shape}"

    def __len__(self):
        if not self.shape:
            raise TypeError(f"len() of the scalar {self!r}")
        return self.shape[0]

    def __bool__(self):
        raise ModelError(f"the truth value of {self!r} is not defined")

    __hash__ = object.__hash__

    def is_convex(self):
        return True

    def is_concave(self):
        return True

    # -- the map (c0, A)
    def _c0_or_zeros(self):
        return np.zeros(self.size, F64) if self._c0 is None else self._c0

    def _made(self, shape, c0, A, name):
        return ParamExpr(self._model, shape, c0, A, name)

    def _rows(self, pos, shape, name):
        """The elements at positions `pos` (row-major), under `shape`."""
        pos = np.asarray(pos, np.intp).reshape(-1)
        return self._made(shape, None if self._c0 is None else self._c0[pos], self._A[pos], name)

    def _mapped(self, M, shape, name):
        """M . (c0, A) for a constant matrix M over the elements."""
        import scipy.sparse as sp
        M = sp.csr_matrix(M)
        c0 = None if self._c0 is None else np.asarray(M @ self._c0, F64).reshape(-1)
        return self._made(shape, c0, sp.csr_matrix(M @ self._A), name)

    def _scaled(self, w, shape, name):
        """The elementwise product with a checked constant w, broadcast."""
        import scipy.sparse as sp
        shape = broadcast_shape("an elementwise product", (self.shape, np.shape(w)))
        me = self._broadcast(shape)
        wv = np.array(np.broadcast_to(w, shape), F64).reshape(-1)
        c0 = None if me._c0 is None else me._c0 * wv
        return self._made(shape, c0, sp.csr_matrix(sp.diags(wv) @ me._A), name)

    def _broadcast(self, shape):
        shape = tuple(shape)
        if shape == self.shape:
            return self
        if not broadcasts_to(self.shape, shape):
            raise ShapeError(f"{self!r} of shape {self.shape} does not broadcast to shape {shape}")
        pos = np.broadcast_to(np.arange(self.size).reshape(self.shape), shape)
        return self._rows(pos, shape, self._name)

    def _plus(self, other, w, name):
        """self + w other for a parameter expression or a checked constant."""
        import scipy.sparse as sp
        oshape = other.shape if isinstance(other, ParamExpr) else np.shape(other)
        shape = broadcast_shape("+" if w > 0 else "-", (self.shape, oshape))
        a = self._broadcast(shape)
        if isinstance(other, ParamExpr):
            b = other._broadcast(shape)
            width = max(a._A.shape[1], b._A.shape[1])
            A = sp.csr_matrix(_widened(a._A, width) + w * _widened(b._A, width))
            if a._c0 is None and b._c0 is None:
                c0 = None
            else:
                c0 = a._c0_or_zeros() + w * b._c0_or_zeros()
            return self._made(shape, c0, A, name)
        c = np.array(np.broadcast_to(other, shape), F64).reshape(-1)
        return self._made(shape, a._c0_or_zeros() + w * c, a._A, name)

    # -- values and signs
    @property
    def value(self):
        """c0 + A v at the parameters' current values (None while a parameter
        that enters has none)."""
        A = self._A
        used = np.unique(A.indices[:A.indptr[-1]])
        v = np.zeros(A.shape[1], F64)
        for slot in self._model.params:
            if slot.base < A.shape[1]:
                hit = used[(used >= slot.base) & (used < slot.base + slot.size)]
                if hit.size and slot.value is None:
                    return None
                if slot.value is not None:
                    v[slot.base:slot.base + slot.size] = slot.value.reshape(-1)[:max(A.shape[1] - slot.base, 0)]
        return (self._c0_or_zeros() + A @ v).reshape(self.shape)

    @property
    def sign(self):
        """"nonnegative" / "nonpositive" when every element is, from its
        constant and the declared signs of its parameters; else "unknown"."""
        A = self._A.tocoo()
        col = _signs_of_columns(self._model, A.shape[1])[A.col] * np.sign(A.data)
        c0 = self._c0_or_zeros()
        bad_pos = np.zeros(self.size, bool)
        bad_neg = np.zeros(self.size, bool)
        np.logical_or.at(bad_pos, A.row, (col <= 0) & (A.data != 0))
        np.logical_or.at(bad_neg, A.row, (col >= 0) & (A.data != 0))
        if not (bad_pos | (c0 < 0)).any():
            return "nonnegative"
        if not (bad_neg | (c0 > 0)).any():
            return "nonpositive"
        return "unknown"

    def as_affine(self):
        """The expression of constant terms whose coefficients are programs:
        each element's constant, plus one parameter product per entry of A."""
        if self._affine is None:
            model, e = self._model, None
            parts = [Computed(st.constant(model, self._c0.reshape(self.shape)))] \
                if self._c0 is not None and self._c0.any() else []
            for w, pidx in _slots(self._A):
                parts.append(Computed(st.param_times(st.constant(model, w.reshape(self.shape)), pidx)))
            for part in parts or [Computed(st.constant(model, np.zeros(self.shape)))]:
                e = part if e is None else e + part
            # its name written out: a noted one would hold this expression,
            # which holds the result
            e.name = repr(self)
            e._sign = self.sign
            self._affine = e
        return self._affine

    # -- arithmetic
    def __add__(self, o):
        if isinstance(o, ParamExpr) or _is_constant(o):
            if not isinstance(o, ParamExpr):
                o = data.real(o, ("a constant operand beside {}", self))
            else:
                same_model(self._model, o, "parameter")
            return self._plus(o, 1.0, (sum_name, self, 1.0, o))
        if isinstance(o, Affine):
            return self.as_affine() + o
        return NotImplemented

    def __radd__(self, o):
        if _is_constant(o):
            return self._plus(data.real(o, ("a constant operand beside {}", self)), 1.0, (sum_name, o, 1.0, self))
        return NotImplemented

    def __sub__(self, o):
        if isinstance(o, ParamExpr) or _is_constant(o):
            if not isinstance(o, ParamExpr):
                o = data.real(o, ("a constant operand beside {}", self))
            else:
                same_model(self._model, o, "parameter")
            return self._plus(o, -1.0, (sum_name, self, -1.0, o))
        if isinstance(o, Affine):
            return self.as_affine() - o
        return NotImplemented

    def __rsub__(self, o):
        if _is_constant(o):
            return (-self)._plus(data.real(o, ("a constant operand beside {}", self)), 1.0, (sum_name, o, -1.0, self))
        return NotImplemented

    def __neg__(self):
        return self._scaled(-1.0, self.shape, (negated_name, self))

    def __pos__(self):
        return self

    def __mul__(self, e):
        if isinstance(e, ParamExpr):
            raise ModelError(f"product of two parameter expressions {self!r} and {e!r}: not affine in the "
                             "parameters; multiply one of them by an expression")
        if _is_constant(e):
            c = data.real(e, ("a constant multiplied by {}", self))
            return self._scaled(c, self.shape, (product_name, e if c.ndim == 0 else c, "*", self) if c.ndim == 0
                                else (product_name, self, "*", c))
        if isinstance(e, Affine):
            same_model(self._model, e)
            return _param_product(self, e)
        return NotImplemented

    __rmul__ = __mul__

    def __truediv__(self, c):
        if not _is_constant(c):
            if getattr(c, "is_affine", True) is False:
                return NotImplemented
            raise ModelError(f"{self!r} / {text(c)}: dividing by an expression or a parameter is not affine in "
                             "the parameters; a parameter standing for the reciprocal can be multiplied")
        d = data.real(c, ("the divisor of {}", self))
        if not d.all():
            raise ZeroDivisionError(f"{self!r} divided by zero")
        return self._scaled(1.0 / d, self.shape, (product_name, self, "/", c))

    def __rtruediv__(self, c):
        raise ModelError(f"{text(c)} / {self!r}: dividing by a parameter is not affine in the parameters; a "
                         "parameter standing for the reciprocal can be multiplied")

    def __pow__(self, p):
        """An integer power k >= 2: a constant whose coefficients are the
        programs of the k-fold product (it may stand beside variables, as
        CVXPY's DPP rules take a parameter-convex constant, but multiplies
        none: that is not affine in the parameters)."""
        if isinstance(p, numbers.Integral) and not isinstance(p, bool) and p == 1:
            return self
        if not (isinstance(p, numbers.Integral) and not isinstance(p, bool) and 2 <= p <= 8):
            raise ModelError(f"{self!r} ** {p!r}: a power of a parameter expression is taken for the integers "
                             "2 .. 8; for another, a parameter standing for the power can be set to its value")
        e = self.as_affine()
        for _ in range(int(p) - 1):
            e = _param_product(self, e)
        e.name = (postfix_name, self, f" ** {int(p)}")
        sign = self.sign
        e._sign = "nonnegative" if p % 2 == 0 else sign
        return e

    def __matmul__(self, M):
        if isinstance(M, ParamExpr):
            raise ModelError(f"product of two parameter expressions {self!r} and {M!r}: not affine in the "
                             "parameters")
        if isinstance(M, Affine):
            same_model(self._model, M)
            return _param_matmul(self, M)
        if getattr(M, "is_affine", True) is False:
            return NotImplemented
        Md = _constant_matrix(M, ("the matrix of {} @ M", self))
        if self.ndim == 0 or Md.ndim == 0 or self.shape[-1] != Md.shape[0] or self.ndim > 2 or Md.ndim > 2:
            raise ShapeError(f"matrix product of {self!r} of shape {self.shape} and shape {Md.shape}")
        # (P M)^T = M^T P^T: the transposed map taken from the left
        if self.ndim == 1:
            return (self.reshape((1, -1)) @ Md).reshape(Md.shape[1:])
        return (_constant_matmul(Md.T, self.T)).T if Md.ndim == 2 else (self @ Md.reshape(-1, 1)).reshape(-1)

    def __rmatmul__(self, M):
        if isinstance(M, Affine):
            same_model(self._model, M)
            return (_param_matmul(self.T, M.T)).T if M.ndim == 2 else _param_matmul(self.T, M)
        if getattr(M, "is_affine", True) is False:
            return NotImplemented
        Md = _constant_matrix(M, ("the matrix of M @ {}", self))
        if self.ndim == 0 or Md.ndim == 0 or Md.shape[-1] != self.shape[0] or self.ndim > 2 or Md.ndim > 2:
            raise ShapeError(f"matrix product of shape {Md.shape} and {self!r} of shape {self.shape}")
        if Md.ndim == 1:
            return _constant_matmul(Md.reshape(1, -1), self).reshape(self.shape[1:])
        return _constant_matmul(Md, self)

    # -- structure
    @property
    def T(self):
        if self.ndim < 2:
            return self
        pos = np.arange(self.size).reshape(self.shape).T
        return self._rows(pos, pos.shape, (postfix_name, self, ".T"))

    def transpose(self, perm=None):
        if perm is None:
            return self.T
        pos = np.transpose(np.arange(self.size).reshape(self.shape), perm)
        return self._rows(pos, pos.shape, (postfix_name, self, f".transpose({tuple(perm)})"))

    def reshape(self, *shape, order="C"):
        shape = reshaped(self.shape, shape[0] if len(shape) == 1 else shape)
        pos = np.arange(self.size).reshape(self.shape).reshape(shape, order=order)
        return self._rows(pos, shape, (postfix_name, self, f".reshape({shape})"))

    def flatten(self):
        return self.reshape((self.size,))

    def __getitem__(self, key):
        pos = positions_of_key(self.shape, key, self)
        return self._rows(pos, pos.shape, (indexed_name, self, key if isinstance(key, tuple) else (key,)))

    def sum(self, axis=None, dtype=None, out=None, keepdims=False):
        import scipy.sparse as sp
        axes = summed_axes(self.shape, axis, dtype, out)
        pos = np.arange(self.size).reshape(self.shape)
        if axes is None:
            rows = np.zeros(self.size, np.intp)
            shape = ()
        else:
            keep = [k for k in range(self.ndim) if k not in axes]
            shape = tuple(self.shape[k] for k in keep)
            grid = np.indices(self.shape).reshape(self.ndim, -1)
            rows = np.ravel_multi_index(tuple(grid[k] for k in keep), shape) if keep else np.zeros(self.size, np.intp)
        S = sp.csr_matrix((np.ones(self.size), (rows, pos.reshape(-1))), shape=(st.size_of(shape), self.size))
        r = self._mapped(S, shape, ("sum({})", self))
        return r.reshape(kept_shape(self.shape, axes)) if keepdims else r

    # -- constraints: the parameters' expression of constant terms
    def __le__(self, o):
        return self.as_affine() <= o

    def __ge__(self, o):
        return self.as_affine() >= o

    def __eq__(self, o):
        return self.as_affine() == o

    def __abs__(self):
        return abs(self.as_affine())


class Parameter(ParamExpr):
    """A parameter: values set after the model is built, read by the programs."""

    def __init__(self, model, name, shape, base):
        import scipy.sparse as sp
        size = st.size_of(shape)
        A = sp.csr_matrix((np.ones(size), base + np.arange(size), np.arange(size + 1)), shape=(size, base + size))
        super().__init__(model, shape, None, A, name)
        self.base = base
        self._slot = ParameterSlot(name, shape, base, size)
        self._model.params.append(self._slot)

    @property
    def _value(self):
        return self._slot.value

    @property
    def value(self):
        return self._value

    @value.setter
    def value(self, v):
        if v is None:
            # unset: a solve needs a value again
            self._slot.value = None
            self._model._param_dirty = True
            return
        v = data.real(v, f"the value of parameter {self.name}")
        if v.shape != self.shape:
            raise ParameterError(f"parameter {self.name} has shape {self.shape}, value has shape {v.shape}")
        self._check_sign(v)
        self._slot.value = v.copy()
        self._model._param_dirty = True

    @property
    def sign(self):
        return self._slot.sign or "unknown"

    @sign.setter
    def sign(self, s):
        self._slot.sign = s

    def indices(self):
        return self.base + np.arange(self.size, dtype=I32).reshape(self.shape)

    def _check_sign(self, v):
        if (self.sign == "nonnegative" and np.any(v < 0)) or (self.sign == "nonpositive" and np.any(v > 0)):
            raise ParameterError(f"parameter {self.name} is declared {self.sign}; its value has entries of the "
                                 "other sign")


def _is_constant(x):
    """A number or a constant array (not an expression, a parameter or a
    statement): its entries are checked where it is taken."""
    if isinstance(x, (bool, np.bool_)):
        return False
    return type(x) in _NUMBERS or isinstance(x, (numbers.Real, np.ndarray, np.generic, list, tuple))


def _constant_matrix(M, what):
    """The constant of a product with a parameter expression, its entries
    checked: a scipy sparse matrix kept sparse, anything else as numbers."""
    return data.sparse(M, what) if hasattr(M, "tocsr") else data.real(M, what)


def _widened(A, width):
    """A compressed-row matrix with `width` columns (parameters added later
    have columns past an older expression's)."""
    if A.shape[1] == width:
        return A
    import scipy.sparse as sp
    return sp.csr_matrix((A.data, A.indices, A.indptr), shape=(A.shape[0], width))


def _slots(A):
    """A's entries as slots: slot k holds, for every row, its k-th entry
    (weight, parameter index), rows with fewer entries a zero weight on an
    entry of their own kind. One parameter product per slot."""
    A = A.tocsr()
    A.sum_duplicates()
    counts = np.diff(A.indptr)
    out = []
    if A.nnz == 0:
        return out
    some = int(A.indices[0])
    for k in range(int(counts.max())):
        has = counts > k
        w = np.zeros(A.shape[0], F64)
        pidx = np.full(A.shape[0], some, I32)
        at = A.indptr[:-1][has] + k
        w[has], pidx[has] = A.data[at], A.indices[at]
        out.append((w, pidx))
    return out


def _param_product(P, e):
    """P * e elementwise (numpy's broadcasting) for a parameter expression
    P and an expression e: P's constant times e, plus one parameter product
    of e per slot of P."""
    shape = broadcast_shape("an elementwise product", (P.shape, e.shape))
    P, e = P._broadcast(shape), e._broadcast(shape)
    out = None
    if P._c0 is not None and P._c0.any():
        out = e._times_array(P._c0.reshape(shape))
    for w, pidx in _slots(P._A):
        ew = e if (w == 1.0).all() else e._times_array(w.reshape(shape))
        part = Computed(st.param_times(ew._e, pidx))
        out = part if out is None else out + part
    if out is None:
        out = e * 0.0
    out.name = (product_name, P, "*", e)
    return out


def _param_matmul(P, e):
    """P @ e for a parameter expression P (one or two axes) and an
    expression e: a parameter matrix itself through the parameter inner
    products, anything else as the sum of the elementwise products."""
    if P.ndim == 0 or e.ndim == 0 or P.ndim > 2 or e.ndim > 2 or P.shape[-1] != e.shape[0]:
        raise ShapeError(f"matrix product of {P!r} of shape {P.shape} and {e!r} of shape {e.shape}")
    name = (product_name, P, " @ ", e)
    pure = P._c0 is None and P._A.nnz == P.size and (np.diff(P._A.indptr) == 1).all() and (P._A.data == 1.0).all()
    if pure and P.ndim == 2 and e.ndim == 1:
        r = Computed(st.param_matmul(P._A.indices.reshape(P.shape).astype(I32), e._e))
    elif P.ndim == 1 and e.ndim == 1:
        r = _param_product(P, e).sum()
    elif P.ndim == 2 and e.ndim == 1:
        r = _param_product(P, e.reshape((1, -1))).sum(axis=1)
    elif P.ndim == 1:
        r = _param_product(P.reshape((-1, 1)), e).sum(axis=0)
    else:
        r = _param_product(P.reshape(P.shape + (1,)), e.reshape((1,) + e.shape)).sum(axis=1)
    r.name = name
    return r


def _constant_matmul(M, P):
    """M @ P for a constant matrix M and a parameter expression P of one or
    two axes: each column of P mapped by M."""
    import scipy.sparse as sp
    k = P.shape[1] if P.ndim == 2 else 1
    big = sp.kron(sp.csr_matrix(M), sp.identity(k, format="csr"), format="csr")
    shape = (M.shape[0],) + P.shape[1:]
    return P._mapped(big, shape, (product_name, M, " @ ", P))


# numpy's stackings are the expressions' own
numpy_protocol.FUNCTIONS.update({
    np.concatenate: lambda arrays, axis=0, **kw: concatenate(list(arrays), axis),
    np.stack: lambda arrays, axis=0, **kw: stack(list(arrays), axis) if not kw else NotImplemented,
    np.hstack: lambda tup, **kw: hstack(list(tup)),
    np.vstack: lambda tup, **kw: vstack(list(tup)),
})

# Variable.__getitem__ is set by terms.py, which builds on the classes above
# (and on constraints.py): an element picked by integers is a term list
