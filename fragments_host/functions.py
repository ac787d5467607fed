"""Quadratic functions of affine expressions for the objective. A quadratic
objective goes to the solver's quadratic term: each quadratic part
c * e' Q e gets auxiliary columns u with rows u == e, built by the kernels
like every other constraint, and the block 2 c Q on u's columns."""
from __future__ import annotations

import numbers

import numpy as np

from .errors import ModelError, ShapeError
from .expressions import Affine, Parameter, constant_of, same_model


class Quadratic:
    """affine + sum of weight * e' Q e (Q None stands for the identity)."""

    is_affine = False
    __array_ufunc__ = None
    __array_priority__ = 100

    def __init__(self, model, parts, affine=None, name=None):
        self.model, self.parts, self.affine, self.name = model, parts, affine, name

    shape = ()
    size = 1

    def __repr__(self):
        return self.name or "quadratic"

    @property
    def curvature(self):
        if all(w >= 0 for w, _, _ in self.parts):
            return "convex"
        if all(w <= 0 for w, _, _ in self.parts):
            return "concave"
        return "unknown"

    def is_convex(self):
        return self.curvature == "convex"

    def is_concave(self):
        return self.curvature == "concave"

    def _affine_part(self, other):
        if isinstance(other, Affine):
            same_model(self.model, other)
            e = other
        elif isinstance(other, Parameter):
            same_model(self.model, other, "parameter")
            e = other.as_affine()
        else:
            e = constant_of(self.model, other)
        if e.size != 1:
            raise ShapeError(f"a quadratic function is a scalar; {e!r} has shape {e.shape}")
        return e.reshape(())

    def __add__(self, other):
        if isinstance(other, Quadratic):
            same_model(self.model, other)
            aff = other.affine if self.affine is None else (self.affine if other.affine is None
                                                            else self.affine + other.affine)
            return Quadratic(self.model, self.parts + other.parts, aff, f"{self!r} + {other!r}")
        e = self._affine_part(other)
        aff = e if self.affine is None else self.affine + e
        return Quadratic(self.model, self.parts, aff, f"{self!r} + {other!r}")

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
        c = float(c)
        aff = None if self.affine is None else self.affine * c
        return Quadratic(self.model, [(w * c, e, Q) for w, e, Q in self.parts], aff, f"{c:g}*({self!r})")

    __rmul__ = __mul__

    def __truediv__(self, c):
        return self * (1.0 / float(c))

    def _refuse(self, *_):
        raise ModelError(f"the quadratic function {self!r} is accepted in the objective only")

    __le__ = __ge__ = __eq__ = __rshift__ = __lshift__ = _refuse
    __hash__ = object.__hash__

    @property
    def value(self):
        parts = []
        for w, e, Q in self.parts:
            v = e.value
            if v is None:
                return None
            v = np.ravel(v)
            parts.append(w * float(v @ (v if Q is None else Q @ v)))
        base = 0.0
        if self.affine is not None:
            a = self.affine.value
            if a is None:
                return None
            base = float(a)
        return base + sum(parts)


def _affine_arg(x, what):
    if isinstance(x, Parameter):
        return x.as_affine()
    if not isinstance(x, Affine):
        raise TypeError(f"{what} takes an affine expression of a model, not {x!r}")
    return x


def sum_squares(x):
    """The sum of the squares of the entries of x."""
    x = _affine_arg(x, "sum_squares")
    return Quadratic(x.model, [(1.0, x.flatten(), None)], None, f"sum_squares({x!r})")


def quad_form(x, Q):
    """x' Q x for a constant symmetric positive semidefinite Q."""
    x = _affine_arg(x, "quad_form")
    if isinstance(Q, (Affine, Parameter)):
        raise ModelError("quad_form takes a constant matrix Q")
    import scipy.sparse as sp
    Qd = Q.toarray() if sp.issparse(Q) else np.asarray(Q, float)
    n = x.size
    if Qd.shape != (n, n):
        raise ShapeError(f"quad_form: Q of shape {Qd.shape} for x of shape {x.shape}")
    if not np.allclose(Qd, Qd.T, rtol=1e-10, atol=1e-12):
        raise ModelError("quad_form: Q is not symmetric")
    lo = float(np.linalg.eigvalsh(Qd)[0]) if n else 0.0
    if lo < -1e-10 * max(1.0, float(np.abs(Qd).max(initial=0.0))):
        raise ModelError(f"quad_form: Q is not positive semidefinite (smallest eigenvalue {lo:.3g})")
    return Quadratic(x.model, [(1.0, x.flatten(), Qd)], None, f"quad_form({x!r}, Q)")
