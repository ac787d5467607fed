"""Variables, parameters, affine expressions, constraints and the model."""
from __future__ import annotations

import math
import numbers

import numpy as np

from . import _ops
from ._stacks import F64, I32, I64, K, RStack, WStack


class ShapeError(ValueError):
    """Operands whose shapes do not fit the operation."""


class ParameterError(ValueError):
    """A parameter without a value, or a value of the wrong shape."""


class SolverError(RuntimeError):
    """The solver ended with a status the package does not accept."""


def _shape(s):
    if isinstance(s, numbers.Integral):
        return (int(s),)
    return tuple(int(x) for x in s)


class Affine:
    """An affine expression of the model: a dense stacked expression."""

    __array_priority__ = 100

    def __init__(self, e, name=None):
        self._e = e
        self.name = name

    @property
    def model(self):
        return self._e.model

    @property
    def shape(self):
        return self._e.shape

    @property
    def size(self):
        return _ops._size(self.shape)

    def __repr__(self):
        return self.name or f"Affine(shape={self.shape}, terms={self._e.m})"

    # -- arithmetic
    def _lift(self, other):
        if isinstance(other, Affine):
            if other.model is not self.model:
                raise ValueError("expressions of different models")
            return other
        if isinstance(other, Parameter):
            return other.as_affine()
        return Affine(_ops.constant(self.model, np.asarray(other, F64)), repr(np.asarray(other).tolist()))

    def _broadcast(self, shape):
        if self.shape == shape:
            return self
        if self.size == 1:
            idx = np.zeros(_ops._size(shape), I64)
            return Affine(_ops.pick(self._e, idx, shape), self.name)
        raise ShapeError(f"shapes {self.shape} and {shape} do not match")

    def _combine(self, other, w):
        o = self._lift(other)
        shape = self.shape if self.size >= o.size else o.shape
        if self.shape != o.shape and self.size == o.size:
            raise ShapeError(f"shapes {self.shape} and {o.shape} do not match")
        a, b = self._broadcast(shape), o._broadcast(shape)
        return Affine(_ops.wsum([a._e, b._e], [1.0, w]), f"({self!r} {'+' if w > 0 else '-'} {o!r})")

    def __add__(self, other):
        return self._combine(other, 1.0)

    def __radd__(self, other):
        return self._lift(other)._combine(self, 1.0)

    def __sub__(self, other):
        return self._combine(other, -1.0)

    def __rsub__(self, other):
        return self._lift(other)._combine(self, -1.0)

    def __neg__(self):
        return Affine(_ops.scale(self._e, -1.0), f"-{self!r}")

    def __mul__(self, other):
        if isinstance(other, Parameter):
            return other.__mul__(self)
        if isinstance(other, numbers.Real):
            return Affine(_ops.scale(self._e, float(other)), f"{other:g}*{self!r}")
        other = np.asarray(other, F64)
        if other.size == 1:
            return self * float(other.reshape(-1)[0])
        if self.size == 1 and other.shape != self.shape:
            return self._broadcast(other.shape) * other
        if other.shape != self.shape:
            raise ShapeError(f"elementwise product of shapes {self.shape} and {other.shape}")
        import scipy.sparse as sp
        flat = self.reshape((self.size,))
        return (Affine(_ops.left_matmul(sp.diags(other.reshape(-1)), flat._e))).reshape(self.shape)

    __rmul__ = __mul__

    def __truediv__(self, other):
        return self * (1.0 / float(other))

    def __matmul__(self, M):
        # E . M = (M^T . E^T)^T
        if isinstance(M, Parameter):
            raise ShapeError("a parameter matrix multiplies from the left")
        if not hasattr(M, "tocsr") and np.ndim(M) == 1:
            v = np.asarray(M, F64)
            if not self.shape or self.shape[-1] != v.shape[0]:
                raise ShapeError(f"matrix product of shapes {self.shape} and {v.shape}")
            if len(self.shape) == 1:
                return Affine(_ops.left_matmul(v.reshape(1, -1), self._e), f"{self!r} @ v").reshape(())
            return (v.reshape(1, -1) @ self.T).reshape(self.shape[:-1])
        M = _as_matrix(M)
        if len(self.shape) == 1:
            if M.shape[0] != self.shape[0]:
                raise ShapeError(f"matrix product of shapes {self.shape} and {M.shape}")
            return Affine(_ops.left_matmul(M.T, self._e), f"{self!r} @ M")
        if len(self.shape) != 2 or M.shape[0] != self.shape[1]:
            raise ShapeError(f"matrix product of shapes {self.shape} and {M.shape}")
        return Affine(_ops.left_matmul(M.T, self.T._e), None).T

    def __rmatmul__(self, M):
        if isinstance(M, Parameter):
            return M.__matmul__(self)
        if not hasattr(M, "tocsr") and np.ndim(M) == 1:
            v = np.asarray(M, F64)
            if not self.shape or self.shape[0] != v.shape[0]:
                raise ShapeError(f"matrix product of shapes {v.shape} and {self.shape}")
            return (v.reshape(1, -1) @ self).reshape(self.shape[1:])
        M = _as_matrix(M)
        if not self.shape or M.shape[1] != self.shape[0]:
            raise ShapeError(f"matrix product of shapes {M.shape} and {self.shape}")
        return Affine(_ops.left_matmul(M, self._e), f"M @ {self!r}")

    # -- structure
    @property
    def T(self):
        if len(self.shape) < 2:
            return self
        perm = list(range(len(self.shape)))[::-1]
        return Affine(_ops.permute(self._e, perm), f"{self!r}.T")

    def transpose(self, perm):
        return Affine(_ops.permute(self._e, perm), f"{self!r}.transpose{tuple(perm)}")

    def reshape(self, shape):
        shape = _shape(shape)
        if _ops._size(shape) != self.size:
            raise ShapeError(f"cannot reshape {self.shape} into {shape}")
        return Affine(_ops.reshape(self._e, shape), self.name)

    def flatten(self):
        return self.reshape((self.size,))

    def __getitem__(self, key):
        if not isinstance(key, tuple):
            key = (key,)
        shape = self.shape
        if len(key) > len(shape):
            raise ShapeError(f"too many indices {key} for shape {shape}")
        key = key + (slice(None),) * (len(shape) - len(key))
        first, last, keep = [], [], []
        for k, (s, n) in enumerate(zip(key, shape)):
            if isinstance(s, numbers.Integral):
                i = int(s) + n if s < 0 else int(s)
                if not 0 <= i < n:
                    raise IndexError(f"index {s} out of range for axis {k} of shape {shape}")
                first.append(i)
                last.append(i + 1)
            elif isinstance(s, slice):
                a, b, step = s.indices(n)
                if step != 1:
                    raise ShapeError("slices take unit steps")
                first.append(a)
                last.append(max(a, b))
                keep.append(max(b - a, 0))
            else:
                raise TypeError(f"unsupported index {s!r}")
        res = Affine(_ops.box(self._e, first, last), f"{self!r}[{key}]")
        return res.reshape(tuple(keep)) if len(keep) != len(shape) else res

    def pick(self, indices):
        """Elements at the given multi-indices (rows of an integer array)."""
        idx = np.atleast_2d(np.asarray(indices, np.int64))
        if idx.shape[1] != len(self.shape):
            raise ShapeError(f"multi-indices of {idx.shape[1]} axes for shape {self.shape}")
        if np.any(idx < 0) or np.any(idx >= np.asarray(self.shape)):
            raise IndexError(f"index out of range for shape {self.shape}")
        lin = np.ravel_multi_index(tuple(idx.T), self.shape).astype(I64)
        return Affine(_ops.pick(self._e, lin, (len(lin),)), f"{self!r}.pick")

    def sum(self, axis=None):
        if axis is None:
            return Affine(_ops.sum_axis(self.flatten()._e, 0), f"sum({self!r})")
        axis = axis + len(self.shape) if axis < 0 else axis
        if not 0 <= axis < len(self.shape):
            raise ShapeError(f"axis {axis} out of range for shape {self.shape}")
        return Affine(_ops.sum_axis(self._e, axis), f"sum({self!r}, {axis})")

    def sym(self):
        """Symmetric part (E + E^T) / 2 of a square expression."""
        if len(self.shape) != 2 or self.shape[0] != self.shape[1]:
            raise ShapeError(f"symmetric part of a non-square shape {self.shape}")
        return Affine(_ops.wsum([self._e, self.T._e], [0.5, 0.5]), f"sym({self!r})")

    # -- constraints
    def __le__(self, other):
        return Constraint("nonneg", self._lift(other) - self, f"{self!r} <= {self._lift(other)!r}")

    def __ge__(self, other):
        return Constraint("nonneg", self - self._lift(other), f"{self!r} >= {self._lift(other)!r}")

    def __eq__(self, other):
        return Constraint("zero", self - self._lift(other), f"{self!r} == {self._lift(other)!r}")

    __hash__ = object.__hash__

    def __rshift__(self, other):
        return psd(self - self._lift(other))

    # -- values
    @property
    def value(self):
        return self.model._value(self)


def _as_matrix(M):
    import scipy.sparse as sp
    if sp.issparse(M):
        return sp.csr_matrix(M)
    M = np.asarray(M, F64)
    if M.ndim != 2:
        raise ShapeError(f"a constant matrix has two axes, not shape {M.shape}")
    return M


def stack(items, axis=0):
    """Expressions joined along an existing axis."""
    items = list(items)
    model = next(i.model for i in items if isinstance(i, Affine))
    items = [i if isinstance(i, Affine) else Affine(_ops.constant(model, np.asarray(i, F64))) for i in items]
    nd = len(items[0].shape)
    for it in items:
        if len(it.shape) != nd or any(a != b for k, (a, b) in enumerate(zip(it.shape, items[0].shape))
                                      if k != axis):
            raise ShapeError(f"cannot stack shapes {[i.shape for i in items]} along axis {axis}")
    return Affine(_ops.concat([i._e for i in items], axis), f"stack({items}, {axis})")


def hstack(items):
    return stack(items, axis=0) if len(items[0].shape) == 1 else stack(items, axis=1)


def vstack(items):
    items = [i.reshape((1,) + i.shape) if len(i.shape) == 1 else i for i in items]
    return stack(items, axis=0)


class Variable(Affine):
    """A variable of the model; its elements are columns of the solver's problem."""

    def __init__(self, model, name, shape, nidxs, full=None):
        self.nidxs = nidxs            # the variable's scalar elements (solver columns + 1)
        self.full = full if full is not None else nidxs
        super().__init__(_ops.identity(model, shape, self.full), name)

    @property
    def value(self):
        return self.model._var_value(self)

    @property
    def dual(self):
        """Dual of the variable's bounds per element (lower minus upper)."""
        return self.model._var_dual(self, "both")

    @property
    def lower_dual(self):
        return self.model._var_dual(self, "lower")

    @property
    def upper_dual(self):
        return self.model._var_dual(self, "upper")


class Parameter:
    """A parameter: values set after the model is built, read by the programs."""

    def __init__(self, model, name, shape, base):
        self.model, self.name, self.shape, self.base = model, name, shape, base
        self._value = None

    @property
    def size(self):
        return _ops._size(self.shape)

    @property
    def value(self):
        return self._value

    @value.setter
    def value(self, v):
        v = np.asarray(v, F64)
        if v.shape != self.shape:
            raise ParameterError(f"parameter {self.name} has shape {self.shape}, value has shape {v.shape}")
        self._value = v.copy()
        self.model._param_dirty = True

    def __repr__(self):
        return self.name

    def indices(self):
        return self.base + np.arange(self.size, dtype=I32).reshape(self.shape)

    def as_affine(self):
        ones = Affine(_ops.constant(self.model, np.ones(self.shape)))
        return self * ones

    def __mul__(self, e):
        if not isinstance(e, Affine):
            e = Affine(_ops.constant(self.model, np.asarray(e, F64)))
        if self.size == 1:
            pidx = np.full(e.size, self.base, I32)
        elif self.shape == e.shape:
            pidx = self.indices().reshape(-1)
        else:
            raise ShapeError(f"parameter {self.name} of shape {self.shape} times expression of shape {e.shape}")
        return Affine(_ops.param_times(e._e, pidx), f"{self.name}*{e!r}")

    __rmul__ = __mul__

    def __matmul__(self, e):
        if len(self.shape) != 2 or len(e.shape) != 1 or self.shape[1] != e.shape[0]:
            raise ShapeError(f"matrix product of parameter {self.name} of shape {self.shape} and shape {e.shape}")
        return Affine(_ops.param_matmul(self.indices(), e._e), f"{self.name} @ {e!r}")

    def __add__(self, o):
        return self.as_affine() + o

    __radd__ = __add__

    def __sub__(self, o):
        return self.as_affine() - o

    def __rsub__(self, o):
        return o - self.as_affine()

    def __neg__(self):
        return -self.as_affine()


class Constraint:
    """A statement that an expression lies in a cone: "zero", "nonneg", "soc",
    "rsoc" (cones along the last axis) or "psd" (a square matrix)."""

    def __init__(self, kind, expr, name=None):
        self.kind, self.expr, self.name = kind, expr, name
        self.model = None

    def __repr__(self):
        return self.name or f"{self.kind}({self.expr!r})"

    @property
    def dual(self):
        return self.model._dual(self)


def soc(t, x):
    """t >= ||x|| (t scalar expression, x a vector expression)."""
    t, x = _vec(t, x), _vec(x, t)
    return Constraint("soc", stack([t.reshape((1,)) if t.size == 1 else t, x]), f"{t!r} >= ||{x!r}||")


def rsoc(u, v, x):
    """2 u v >= ||x||^2, u, v >= 0 (u, v scalar expressions, x a vector)."""
    u, v, x = _vec(u, x), _vec(v, x), _vec(x, u)
    return Constraint("rsoc", stack([u.reshape((1,)), v.reshape((1,)), x]), f"2 {u!r} {v!r} >= ||{x!r}||^2")


def psd(X):
    """X (square, symmetrised) is positive semidefinite."""
    if len(X.shape) != 2 or X.shape[0] != X.shape[1]:
        raise ShapeError(f"a semidefinite block is square, not of shape {X.shape}")
    return Constraint("psd", X, f"{X!r} >> 0")


def _vec(a, other):
    if isinstance(a, Affine):
        return a.flatten() if a.shape != () else a.reshape((1,))
    if isinstance(a, Parameter):
        return a.as_affine().flatten()
    return Affine(_ops.constant(other.model, np.atleast_1d(np.asarray(a, F64))))
