"""Affine expressions, variables and parameters of a model. Every operation
is one chain of kernel calls on the evaluation stacks (see stacks.py), run
when the expression's blocks are first needed (see deferred.py); what is
kept here is bookkeeping: shapes, names and the model an expression belongs
to, checked before any kernel runs."""
from __future__ import annotations

import math
import numbers
import weakref

import numpy as np

from . import data
from . import deferred
from . import stacks as st
from .errors import ModelError, ParameterError, ShapeError
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

    __slots__ = ("owner", "name", "_flat", "_sol", "_native", "_param_dirty", "params", "given", "__weakref__")

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

    @property
    def _ref(self):
        return self


class ParameterSlot:
    """A parameter's place in the parameter table and its current value."""

    __slots__ = ("name", "shape", "base", "size", "value")

    def __init__(self, name, shape, base, size):
        self.name, self.shape, self.base, self.size, self.value = name, shape, base, size, None


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
    return _record(model, arr.shape, "const", (arr,), (), (arr.shape,), (_const_name, arr))


# number types taken as they are (a number cannot change after the statement)
_NUMBERS = data.NUMBERS


def text(x):
    """A short name of an operand for messages and names."""
    if isinstance(x, (int, float, np.ndarray, np.generic)):
        return _const_name(np.asarray(x, F64))
    return repr(x)


def _const_name(arr):
    """A constant's name: its value, or its shape."""
    if arr.ndim == 0:
        return f"{float(arr):g}"
    return f"const{arr.shape}"


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
        if isinstance(other, Parameter):
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
        if broadcast_shape("a broadcast", (self._shape, shape)) != shape:
            raise ShapeError(f"{self!r} of shape {self._shape} does not broadcast to shape {shape}")
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
                       ("({} + {})" if w > 0 else "({} - {})", self, o))

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
        return _record(self._model, self._shape, "scale", (self, -1.0), (self,), (-1.0,), ("-{}", self))

    def __pos__(self):
        return self

    def __mul__(self, other):
        if isinstance(other, Parameter):
            return other.__mul__(self)
        if isinstance(other, Affine):
            same_model(self._model, other)
            if other.size == 1 and other._e.m == 1 and int(other._e.nidxs[0]) == 0:
                return self * float(other._e.cof[0])
            raise ModelError(f"product of two expressions {self!r} and {other!r} is not affine")
        if _is_nonaffine(other) or _is_statement(other):
            return NotImplemented
        if isinstance(other, numbers.Real) and not isinstance(other, bool):
            d = data.number(other, ("the factor of {}", self))
            return _record(self._model, self._shape, "scale", (self, d), (self,), (d,), (_scaled_name, other, self))
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
        return _record(self._model, flat.shape, "diag", (values, flat), (flat,), (me.size,), None).reshape(shape)

    def __truediv__(self, other):
        if isinstance(other, (Affine, Parameter)):
            raise ModelError(f"division of {self!r} by the expression {other!r} is not affine")
        if type(other) in _NUMBERS or isinstance(other, numbers.Real):
            d = data.number(other, ("the divisor of {}", self))
            if d == 0.0:
                raise ZeroDivisionError(f"{self!r} divided by zero")
            return self * (1.0 / d)
        if _is_nonaffine(other) or _is_statement(other):
            return NotImplemented
        d = data.real(other, ("the divisor of {}", self))
        if not d.all():
            raise ZeroDivisionError(f"{self!r} divided by an array holding zero")
        return self._times_array(1.0 / d)

    def __rtruediv__(self, other):
        if _is_nonaffine(other):
            return NotImplemented
        raise ModelError(f"{text(other)} / {self!r}: dividing by an expression is not affine (neither convex nor "
                         "concave in general); inv_pos(x) is the convex 1/x of a positive x")

    def __matmul__(self, M):
        # E . M = (M^T . E^T)^T
        if isinstance(M, Parameter):
            raise ShapeError("a parameter matrix multiplies from the left")
        if isinstance(M, Affine):
            raise ModelError(f"product of two expressions {self!r} and {M!r} is not affine")
        if not hasattr(M, "tocsr") and np.ndim(M) == 1:
            v = data.real(M, ("the vector of {} @ v", self))
            if not self.shape or self.shape[-1] != v.shape[0]:
                raise ShapeError(f"matrix product of shapes {self.shape} and {v.shape}")
            if len(self.shape) == 1:
                return _product(v.reshape(1, -1), self, ("{} @ v", self), ())
            return (v.reshape(1, -1) @ self.T).reshape(self.shape[:-1])
        M = _as_matrix(M, ("the matrix of {} @ M", self))
        if len(self.shape) == 1:
            if M.shape[0] != self.shape[0]:
                raise ShapeError(f"matrix product of shapes {self.shape} and {M.shape}")
            return _product(M.T, self, ("{} @ M", self))
        if len(self.shape) != 2 or M.shape[0] != self.shape[1]:
            raise ShapeError(f"matrix product of shapes {self.shape} and {M.shape}")
        return _product(M.T, self.T, None).T

    def __rmatmul__(self, M):
        if type(M) is not np.ndarray or M.dtype != F64 or not 0 < M.ndim < 3:
            # anything but a float vector or matrix (the common case): a
            # parameter, a compressed-row matrix, or numbers to convert
            if isinstance(M, Parameter):
                return M.__matmul__(self)
            M = (data.real(M, ("the vector of v @ {}", self)) if not hasattr(M, "tocsr") and np.ndim(M) == 1
                 else _as_matrix(M, ("the matrix of M @ {}", self)))
        elif not np.isfinite(M).all():
            M = data.real(M, ("the matrix of M @ {}", self))
        if not self._shape or M.shape[-1] != self._shape[0]:
            raise ShapeError(f"matrix product of shapes {M.shape} and {self.shape}")
        if M.ndim == 1:
            return _product(M.reshape(1, -1), self, ("M @ {}", self), self._shape[1:])
        return _product(M, self, ("M @ {}", self))

    # -- structure
    @property
    def T(self):
        if len(self.shape) < 2:
            return self
        perm = tuple(range(len(self.shape)))[::-1]
        return _record(self._model, self._shape[::-1], "permute", (self, perm), (self,), (perm,), ("{}.T", self))

    def transpose(self, perm):
        perm = [int(p) for p in perm]
        if sorted(perm) != list(range(self.ndim)):
            raise ShapeError(f"{perm} is not a permutation of the axes of shape {self.shape}")
        perm = tuple(perm)
        shape = tuple(self.shape[p] for p in perm)
        return _record(self._model, shape, "permute", (self, perm), (self,), (perm,), ("{}.transpose" + str(perm), self))

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
        return _record(self._model, shape, "reshape", (self, shape), (self,), (shape,), self._name)

    def __len__(self):
        if not self._shape:
            raise TypeError(f"len() of the scalar {self!r}")
        return self._shape[0]

    def flatten(self):
        return self.reshape((self.size,))

    def __getitem__(self, key):
        box = box_of_key(self.shape, key, general=True)
        if box is None:
            # steps, index arrays, masks, new axes, an ellipsis: the positions
            # numpy's indexing takes, picked
            pos = positions_of_key(self._shape, key, self)
            return _record(self._model, pos.shape, "take", (self, pos.reshape(-1), pos.shape), (self,), (pos.shape,),
                           (_indexed_name, self, key if isinstance(key, tuple) else (key,)))
        key, first, last, keep = box
        shape = self.shape
        bshape = tuple(b - a for a, b in zip(first, last))
        # the key holds the box's extent, not its place: boxes of one shape
        # at different places are alike (a run takes them as one pick)
        res = _record(self._model, bshape, "box", (self, first, last), (self,), (bshape,),
                      (_indexed_name, self, key))
        return res.reshape(tuple(keep)) if len(keep) != len(shape) else res

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
                r = _record(self._model, shape, "sum", (r, ax), (r,), (ax,), ("sum({}, " + str(ax) + ")", r))
            if len(axes) > 1:
                r.name = ("sum({}, axis=" + str(tuple(axes)) + ")", self)
        return r.reshape(kept_shape(self._shape, axes)) if keepdims else r

    def sym(self):
        """Symmetric part (E + E^T) / 2 of a square expression."""
        if len(self.shape) != 2 or self.shape[0] != self.shape[1]:
            raise ShapeError(f"symmetric part of a non-square shape {self.shape}")
        return Computed(st.wsum([self._e, self.T._e], [0.5, 0.5]), f"sym({self!r})")

    # -- constraints
    def _constraint(self, kind, lhs, rhs, op):
        from .constraints import Constraint
        if _is_nonaffine(rhs):
            from .functions import Expression, FunctionConstraint
            if not isinstance(rhs, Expression):
                return NotImplemented
            # a function on the right: the sides as written (Python would
            # otherwise call the function's reflected comparison)
            if op == ">=":
                return FunctionConstraint(rhs, self, "<=", f"{self!r} >= {rhs!r}")
            return FunctionConstraint(self, rhs, op)
        other = self._lift(rhs)
        if self._shape != other._shape:
            shape = broadcast_shape(op, (self._shape, other._shape))
            if shape != self._shape and shape != other._shape:
                # numpy would make rows of every pair: stated by mistake far
                # more often than meant
                raise ShapeError(f"{self!r} {op} {text(rhs)}: the sides of shapes {self._shape} and {other._shape} "
                                 f"would both be broadcast to {shape}; a constraint broadcasts at most one side "
                                 "(reshape a side to state the rows meant)")
        return Constraint(kind, lhs(self, other), ("{} " + op + " {}", self, other))

    def __le__(self, other):
        return self._constraint("nonneg", lambda a, b: b - a, other, "<=")

    def __ge__(self, other):
        return self._constraint("nonneg", lambda a, b: a - b, other, ">=")

    def __eq__(self, other):
        return self._constraint("zero", lambda a, b: a - b, other, "==")

    def __ne__(self, other):
        raise ModelError(f"{self!r} != ...: a constraint is ==, <=, >=, >> or <<")

    __hash__ = object.__hash__

    def __rshift__(self, other):
        from .constraints import psd
        return psd(self - self._lift(other), f"{self!r} >> {text(other)}")

    def __lshift__(self, other):
        from .constraints import psd
        return psd(self._lift(other) - self, f"{self!r} << {text(other)}")

    def __rrshift__(self, other):          # other >> self
        from .constraints import psd
        return psd(self._lift(other) - self, f"{text(other)} >> {self!r}")

    def __rlshift__(self, other):          # other << self
        from .constraints import psd
        return psd(self - self._lift(other), f"{text(other)} << {self!r}")

    def __bool__(self):
        raise ModelError(f"the truth value of the expression {self!r} is not defined")

    # -- values
    @property
    def value(self):
        """The expression at the last solution (None before a solve and after
        a solve that found no solution)."""
        return solution_of().expression_value(self._model, self)

    # -- curvature, sign and the functions reached through operators (the
    # rules are in curvature.py, the functions in functions.py)
    @property
    def curvature(self):
        """"constant" when no variable enters, else "affine"."""
        from . import kernels as kn
        e = self._e
        if e.m == 0 or kn.positive_entries(e.nidxs, 0, np.zeros(e.m, I32)) == 0:
            return "constant"
        return "affine"

    @property
    def sign(self):
        """"nonnegative" / "nonpositive" where known (constants, variables
        with a signed domain, parameters declared with a sign), else "unknown"."""
        return getattr(self, "_sign", None) or "unknown"

    def __abs__(self):
        from .functions import abs_
        return abs_(self)

    def __pow__(self, p):
        from .functions import power
        return power(self, p)


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
    try:
        return tuple(int(n) for n in np.broadcast_shapes(*shapes))
    except ValueError:
        raise ShapeError(f"{what}: shapes {', '.join(str(tuple(s)) for s in shapes)} do not broadcast "
                         "(each axis of one extent, or of extent 1)") from None


def solution_of():
    from . import solution
    return solution


def box_of_key(shape, key, general=False):
    """An index of integers and slices of unit step on `shape`: (the key
    padded to every axis, the box's first and last corners, the extents of
    the axes it keeps); IndexError or ShapeError for an integer out of range
    or too many indices. Any other index (steps, arrays, masks, None, an
    ellipsis) gives None when `general`, else TypeError."""
    if not isinstance(key, tuple):
        key = (key,)
    if len(key) > len(shape):
        if general and any(k is None or k is Ellipsis for k in key):
            return None
        raise IndexError(f"too many indices {key} for shape {shape}")
    key = key + (slice(None),) * (len(shape) - len(key))
    first, last, keep = [], [], []
    for k, (s, n) in enumerate(zip(key, shape)):
        if isinstance(s, numbers.Integral) and not isinstance(s, (bool, np.bool_)):
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
    if isinstance(key, (Affine, Parameter)) or (isinstance(key, tuple) and any(
            isinstance(k, (Affine, Parameter)) for k in key)):
        raise TypeError(f"{of!r}[...]: an index is a constant, not an expression")
    try:
        pos = np.arange(st.size_of(shape), dtype=I64).reshape(shape)[key]
    except IndexError as err:
        raise IndexError(f"{of!r}[{_key_text(key if isinstance(key, tuple) else (key,))}]: {err}") from None
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
        # computed here, and its name written out, so that it holds none of
        # the expressions it was made of
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
    return n[0].format(*map(repr, n[1:]))


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


def _scaled_name(d, x):
    return f"{d:g}*{x!r}"


def _indexed_name(x, key):
    return f"{x!r}[{_key_text(key)}]"


def _key_text(key):
    parts = []
    for s in key:
        if isinstance(s, slice):
            part = f"{'' if s.start is None else s.start}:{'' if s.stop is None else s.stop}"
            parts.append(part if s.step is None else f"{part}:{s.step}")
        elif s is None:
            parts.append("None")
        elif s is Ellipsis:
            parts.append("...")
        elif isinstance(s, (list, np.ndarray)):
            a = np.asarray(s)
            parts.append(str(a.tolist()) if a.size <= 6 else f"array{a.shape}")
        else:
            parts.append(str(s))
    return ", ".join(parts)


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
        if isinstance(i, (Affine, Parameter)):
            return i._model
    raise ModelError("stacking needs at least one expression of a model")


def stack(items, axis=0):
    """Expressions joined along an existing axis."""
    items = list(items)
    if not items:
        raise ShapeError("nothing to stack")
    model = _model_of(items)
    lifted = []
    for i in items:
        if isinstance(i, Affine):
            same_model(model, i)
            lifted.append(i)
        elif isinstance(i, Parameter):
            same_model(model, i, "parameter")
            lifted.append(i.as_affine())
        else:
            lifted.append(constant_of(model, i, "a constant operand of stack"))
    items = lifted
    nd = len(items[0].shape)
    if nd == 0 or not -nd <= axis < nd:
        raise ShapeError(f"cannot stack shapes {[i.shape for i in items]} along axis {axis}")
    axis = axis + nd if axis < 0 else axis
    for it in items:
        if len(it.shape) != nd or any(a != b for k, (a, b) in enumerate(zip(it.shape, items[0].shape))
                                      if k != axis):
            raise ShapeError(f"cannot stack shapes {[i.shape for i in items]} along axis {axis}")
    return _joined(model, items, axis, ("stack([" + ", ".join(["{}"] * len(items)) + f"], {axis})",) + tuple(items))


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
        if isinstance(i, Parameter):
            i = i.as_affine()
        elif not isinstance(i, Affine):
            i = constant_of(model, i, f"a constant operand of {what}")
        out.append(i)
    return out


def hstack(items):
    """numpy's hstack: scalars as vectors of one element, joined along the
    first axis when the first item is a vector, else along the second."""
    items = [i if i.ndim else i.reshape((1,)) for i in _lifted(items, "hstack")]
    return stack(items, axis=0 if items[0].ndim == 1 else 1)


def vstack(items):
    """numpy's vstack: scalars as 1 x 1 matrices, vectors as rows, joined
    along the first axis."""
    items = [i.reshape((1,) * (2 - i.ndim) + i.shape) if i.ndim < 2 else i for i in _lifted(items, "vstack")]
    return stack(items, axis=0)


class Variable(Affine):
    """A variable of the model; its elements are columns of the solver's problem."""

    structure = None              # "symmetric", "PSD", "NSD" (see Model.variable), or None
    nonneg = nonpos = False

    def __init__(self, model, name, shape, nidxs, full=None):
        self.nidxs = nidxs            # the variable's scalar elements (solver columns + 1)
        self.full = full if full is not None else nidxs
        super().__init__(st.identity(model, shape, self.full, full is None), name)
        # elements picked one at a time are term lists (see terms.py): the
        # first column, or the columns as a list for a semidefinite variable
        self._first = int(nidxs[0]) if len(nidxs) else 0
        self._cols = None


    @property
    def value(self):
        """The variable at the last solution, or the value the user set since
        (None before a solve and after a solve that found no solution)."""
        return solution_of().variable_value(self._model, self)

    @value.setter
    def value(self, v):
        # an initial value, kept until the next solve (None drops it): read
        # back by `value` and by the values of expressions of the variable
        solution_of().set_variable_value(self._model, self, v)

    @property
    def cone(self):
        """The semidefinite constraint of a variable made by
        `Model.semidefinite` (None for other variables)."""
        ref = self.__dict__.get("_cone")
        return None if ref is None else ref()

    @property
    def dual(self):
        """Dual of the variable's bounds per element (lower minus upper)."""
        return solution_of().variable_dual(self._model, self, "both")

    @property
    def lower_dual(self):
        return solution_of().variable_dual(self._model, self, "lower")

    @property
    def upper_dual(self):
        return solution_of().variable_dual(self._model, self, "upper")

    # -- sign from the domain: nonneg=True, or bounds of one sign
    @property
    def sign(self):
        lo, hi = getattr(self, "bounds", (None, None))
        if lo is not None and lo[0] != "sparse" and np.all(lo[1] >= 0):
            return "nonnegative"
        if hi is not None and hi[0] != "sparse" and np.all(hi[1] <= 0):
            return "nonpositive"
        return "unknown"


class Parameter:
    """A parameter: values set after the model is built, read by the programs."""

    __array_ufunc__ = None
    __array_priority__ = 100
    is_affine = True

    def __init__(self, model, name, shape, base):
        self._model, self.name, self.shape, self.base = model._ref, name, shape, base
        self._slot = ParameterSlot(name, shape, base, st.size_of(shape))
        self._model.params.append(self._slot)

    @property
    def model(self):
        return live(self._model, self)

    @property
    def _value(self):
        return self._slot.value

    @property
    def size(self):
        return st.size_of(self.shape)

    @property
    def ndim(self):
        return len(self.shape)

    @property
    def value(self):
        return self._value

    @value.setter
    def value(self, v):
        v = data.real(v, f"the value of parameter {self.name}")
        if v.shape != self.shape:
            raise ParameterError(f"parameter {self.name} has shape {self.shape}, value has shape {v.shape}")
        self._check_sign(v)
        self._slot.value = v.copy()
        self._model._param_dirty = True

    def __repr__(self):
        return self.name

    def indices(self):
        return self.base + np.arange(self.size, dtype=I32).reshape(self.shape)

    def as_affine(self):
        ones = Computed(st.constant(self._model, np.ones(self.shape)))
        return self * ones

    def __mul__(self, e):
        if isinstance(e, Parameter):
            raise ModelError(f"product of two parameters {self!r} and {e!r}: multiply one by an expression")
        if _is_nonaffine(e) or _is_statement(e):
            return NotImplemented
        if not isinstance(e, Affine):
            e = constant_of(self._model, e, ("a constant multiplied by parameter {}", self))
        same_model(self._model, e)
        if self.size == 1:
            pidx = np.full(e.size, self.base, I32)
        elif self.shape == e.shape:
            pidx = self.indices().reshape(-1)
        elif e.size == 1:
            return self * e._broadcast(self.shape)
        else:
            raise ShapeError(f"parameter {self.name} of shape {self.shape} times expression of shape {e.shape}")
        return Computed(st.param_times(e._e, pidx), f"{self.name}*{e!r}")

    __rmul__ = __mul__

    def __matmul__(self, e):
        if not isinstance(e, Affine):
            e = constant_of(self._model, e, ("a constant multiplied by parameter {}", self))
        same_model(self._model, e)
        if len(self.shape) != 2 or len(e.shape) != 1 or self.shape[1] != e.shape[0]:
            raise ShapeError(f"matrix product of parameter {self.name} of shape {self.shape} and shape {e.shape}")
        return Computed(st.param_matmul(self.indices(), e._e), f"{self.name} @ {e!r}")

    def __add__(self, o):
        return self.as_affine() + o

    __radd__ = __add__

    def __sub__(self, o):
        return self.as_affine() - o

    def __rsub__(self, o):
        return o - self.as_affine()

    def __neg__(self):
        return -self.as_affine()

    def __le__(self, o):
        return self.as_affine() <= o

    def __ge__(self, o):
        return self.as_affine() >= o

    def __eq__(self, o):
        return self.as_affine() == o

    __hash__ = object.__hash__

    def __bool__(self):
        raise ModelError(f"the truth value of the parameter {self!r} is not defined")

    # -- curvature and sign: a parameter is a constant whose sign is the one
    # declared (Model.parameter(..., nonneg=True) or nonpos=True)
    curvature = "constant"
    sign = "unknown"

    def is_convex(self):
        return True

    def is_concave(self):
        return True

    def _check_sign(self, v):
        if (self.sign == "nonnegative" and np.any(v < 0)) or (self.sign == "nonpositive" and np.any(v > 0)):
            raise ParameterError(f"parameter {self.name} is declared {self.sign}; its value has entries of the "
                                 "other sign")

    def __abs__(self):
        return abs(self.as_affine())


# Variable.__getitem__ is set by terms.py, which builds on the classes above
# (and on constraints.py): an element picked by integers is a term list
