"""Operations recorded when a model is stated and run when it is built.

An affine expression made of small operands does not run its kernels when it
is written: it keeps its operation, its operands and a key that says how it
was made (the operation, its fixed arguments, the shapes of its constants
and the identity of the variables and expressions it reads). Its blocks are
computed when first needed, by the same chain of kernel calls as before.

Constraints stated in a loop over alike data (`b[i] - A[i] @ x` for every
i) get equal keys. The build takes each run of consecutive constraints with
one key as one expression with a leading axis over the run: constants of the
run stacked, every operation once over the run with its axes shifted by
one, operands that every member shares computed once and spread over the
run. Each member's elements are the same terms in the same order as its own
evaluation gives, so the solver's problem does not depend on the route.

A constant of more than SMALL entries is evaluated at once (its own kernels
outweigh the bookkeeping), and so is an expression more than DEEP
operations deep (sums accumulated in a loop), so that evaluation never
recurses far."""
from __future__ import annotations

import numpy as np

from . import stacks as st
from .stacks import I64

SMALL = 4096
DEEP = 24


def evaluate(a):
    """The blocks of one recorded expression."""
    return _ONE[a._op](a._model, *a._args)


# -- one expression ---------------------------------------------------------

def _one_const(model, arr):
    return st.constant(model, arr)


def _one_lmat(model, M, x, shape):
    e = st.left_matmul(M, x._e)
    return e if e.shape == shape else st.reshape(e, shape)


def _one_diag(model, values, x):
    return st.left_matmul(None, x._e, st.diagonal_triplets(values))


def _one_wsum(model, xs, weights):
    return st.wsum([x._e for x in xs], weights)


def _one_scale(model, x, d):
    return st.scale(x._e, d)


def _one_reshape(model, x, shape):
    return st.reshape(x._e, shape)


def _one_spread(model, x, shape):
    return st.pick(x._e, np.zeros(st.size_of(shape), I64), shape)


def _one_permute(model, x, perm):
    return st.permute(x._e, perm)


def _one_box(model, x, first, last):
    return st.box(x._e, first, last)


def _one_concat(model, xs, axis):
    return st.concat([x._e for x in xs], axis)


def _one_sum(model, x, axis):
    return st.sum_axis(x._e, axis)


_ONE = dict(const=_one_const, lmat=_one_lmat, diag=_one_diag, wsum=_one_wsum, scale=_one_scale,
            reshape=_one_reshape, spread=_one_spread, permute=_one_permute, box=_one_box, concat=_one_concat,
            sum=_one_sum)


# -- a run of alike expressions ---------------------------------------------
# Each function takes the run's expressions (equal keys) and returns
# (blocks, True) for a result with the run's leading axis, (blocks, False)
# for one result that every member shares, or None when the run cannot be
# taken together (its members are then evaluated one by one).

def run(items):
    first = items[0]
    if all(x is first for x in items):
        return first._e, False
    if first._op is None:
        return None
    return _MANY[first._op](items, len(items))


def _spread_over(e, k):
    """A shared result repeated over a run of k: shape (k,) + its shape."""
    n = st.size_of(e.shape)
    idx = np.tile(np.arange(n, dtype=I64), k)
    return st.pick(e, idx, (k,) + e.shape)


def _operands(items, j, k):
    """The j-th operands of a run's members, each taken together; None when
    one cannot be."""
    r = run([x._args[j] for x in items])
    return r


def _many_const(items, k):
    arr = np.stack([x._args[0] for x in items])
    return st.constant(items[0]._model, arr), True


def _many_lmat(items, k):
    r = _operands(items, 1, k)
    if r is None or r[1]:
        return None
    e, _ = r
    Ms = [x._args[0] for x in items]
    if hasattr(Ms[0], "tocsr"):
        import scipy.sparse as sp
        M = sp.vstack(Ms, format="csr")
    else:
        M = np.concatenate(Ms, axis=0)
    out = st.left_matmul(M, e)
    return st.reshape(out, (k,) + tuple(items[0]._args[2])), True


def _many_diag(items, k):
    r = _operands(items, 1, k)
    if r is None:
        return None
    e, batched = r
    if not batched:
        e = _spread_over(e, k)
    shape = e.shape
    values = np.concatenate([x._args[0] for x in items])
    flat = st.reshape(e, (st.size_of(shape),))
    out = st.left_matmul(None, flat, st.diagonal_triplets(values))
    return st.reshape(out, shape), True


def _joint(items, k, join, fixed, shift):
    """An operation of several operands over a run (a weighted sum, a
    join): each operand position taken together; shared when every operand
    is shared, else the shared ones spread over the run."""
    parts = []
    for j in range(len(items[0]._args[0])):
        r = run([x._args[0][j] for x in items])
        if r is None:
            return None
        parts.append(r)
    if not any(b for _, b in parts):
        return join([e for e, _ in parts], fixed), False
    return join([e if b else _spread_over(e, k) for e, b in parts], fixed + shift), True


def _many_wsum(items, k):
    return _joint(items, k, st.wsum, items[0]._args[1], ())


def _unary(items, k, one, many):
    r = _operands(items, 0, k)
    if r is None:
        return None
    e, batched = r
    args = items[0]._args[1:]
    if not batched:
        return one(e, *args), False
    return many(e, k, *args), True


def _many_scale(items, k):
    return _unary(items, k, st.scale, lambda e, k, d: st.scale(e, d))


def _many_reshape(items, k):
    return _unary(items, k, st.reshape, lambda e, k, shape: st.reshape(e, (k,) + tuple(shape)))


def _spread_each(e, k, shape):
    n = st.size_of(shape)
    idx = np.repeat(np.arange(k, dtype=I64), n)
    return st.pick(e, idx, (k,) + tuple(shape))


def _many_spread(items, k):
    return _unary(items, k, lambda e, shape: st.pick(e, np.zeros(st.size_of(shape), I64), shape), _spread_each)


def _many_permute(items, k):
    return _unary(items, k, st.permute, lambda e, k, perm: st.permute(e, [0] + [p + 1 for p in perm]))


def _many_box(items, k):
    return _unary(items, k, st.box, lambda e, k, first, last: st.box(e, [0] + list(first), [k] + list(last)))


def _many_sum(items, k):
    return _unary(items, k, st.sum_axis, lambda e, k, axis: st.sum_axis(e, axis + 1))


def _many_concat(items, k):
    return _joint(items, k, st.concat, items[0]._args[1], 1)


_MANY = dict(const=_many_const, lmat=_many_lmat, diag=_many_diag, wsum=_many_wsum, scale=_many_scale,
             reshape=_many_reshape, spread=_many_spread, permute=_many_permute, box=_many_box,
             concat=_many_concat, sum=_many_sum)


def rows_of_run(exprs):
    """The elements of a run of alike expressions, member after member, as
    one flat expression; None when the run cannot be taken together."""
    r = run(exprs)
    if r is None or not r[1]:
        return None
    e = r[0]
    return st.reshape(e, (st.size_of(e.shape),))
