"""How numpy meets the package's expressions. An expression is not an
array of numbers: numpy must neither iterate it (which `len()` and indexing
would invite) nor compute with it element by element. So numpy's operators
and the numpy functions users call on expressions (np.sum, np.dot,
np.matmul, np.transpose, ...) hand the work back to the expression's own
operators, and anything else is refused by numpy itself with its message
naming the function."""
from __future__ import annotations

import numpy as np

# numpy's binary ufuncs as the expression's operators: (the method when
# the expression is the left operand, the method when it is the right one)
_BINARY = {
    np.add: ("__add__", "__radd__"),
    np.subtract: ("__sub__", "__rsub__"),
    np.multiply: ("__mul__", "__rmul__"),
    np.true_divide: ("__truediv__", "__rtruediv__"),
    np.matmul: ("__matmul__", "__rmatmul__"),
    # a comparison with the constant on the left is the mirrored one
    np.less_equal: ("__le__", "__ge__"),
    np.greater_equal: ("__ge__", "__le__"),
    np.equal: ("__eq__", "__eq__"),
    np.not_equal: ("__ne__", "__ne__"),
    np.left_shift: ("__lshift__", "__rlshift__"),
    np.right_shift: ("__rshift__", "__rrshift__"),
}
_UNARY = {np.negative: "__neg__", np.positive: "__pos__", np.absolute: "__abs__"}


def _refused(*args):
    raise TypeError(f"unsupported operand types for numpy: {', '.join(type(a).__name__ for a in args)}")


def _dot(a, b, out=None):
    if out is not None:
        return NotImplemented
    if np.ndim(a) == 0 or np.ndim(b) == 0:
        return a * b
    return a @ b


def _sum(a, axis=None, dtype=None, out=None, keepdims=False, **rest):
    if rest.get("initial", None) is not None or rest.get("where", True) is not True:
        return NotImplemented
    return a.sum(axis, dtype, out, keepdims)


def _transpose(a, axes=None):
    return a.T if axes is None else a.transpose(axes)


def _reshape(a, shape=None, order="C", **kw):
    shape = kw.get("newshape", shape)
    return a.reshape(shape, order=order)


# numpy's functions taken over, by the package's own: those that read the
# expression's own methods here; expressions.py enters np.concatenate,
# np.hstack and np.vstack (its stackings), functions.py np.trace, np.diag,
# np.cumsum and np.diff (its affine maps), each module the ones it defines
FUNCTIONS = {
    np.sum: _sum,
    np.dot: _dot,
    np.transpose: _transpose,
    np.reshape: _reshape,
    np.shape: lambda a: a.shape,
    np.ndim: lambda a: a.ndim,
    np.size: lambda a, axis=None: a.size if axis is None else a.shape[axis],
}


class NumpyOperand:
    """The numpy protocols of an expression."""

    __slots__ = ()
    __array_priority__ = 100

    def __array__(self, dtype=None, copy=None):
        # the expression as one object: numpy (and scipy's operators, which
        # convert their other operand) must not take it for a sequence
        if dtype is not None and np.dtype(dtype) != np.dtype(object):
            raise TypeError(f"{self!r} is an expression, not an array of numbers: its value is .value")
        a = np.empty((), object)
        a[()] = self
        return a

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        if method != "__call__" or kwargs:
            return NotImplemented
        names = _BINARY.get(ufunc)
        if names is not None and len(inputs) == 2:
            # the operator of the expression on either side (the common
            # case: a number or an array before an expression)
            left, right = inputs
            ours, other = (left, right) if isinstance(left, NumpyOperand) else (right, left)
            r = getattr(ours, names[0] if ours is left else names[1])(other)
            if r is NotImplemented:
                _refused(other)
            return r
        if ufunc in _UNARY and len(inputs) == 1:
            return getattr(inputs[0], _UNARY[ufunc])()
        return NotImplemented

    def __array_function__(self, func, types, args, kwargs):
        impl = FUNCTIONS.get(func)
        if impl is None:
            return NotImplemented
        return impl(*args, **kwargs)
