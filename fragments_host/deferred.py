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

import itertools
import operator

import numpy as np

from . import stacks as st
from .stacks import I64

SMALL = 4096
DEEP = 24


def _arg(items, *path):
    """Argument path[0] (then item path[1] of it, ...) of every member of a
    run, gathered without a Python step per member."""
    out = map(operator.attrgetter("_args"), items)
    for p in path:
        out = map(operator.itemgetter(p), out)
    return list(out)


def evaluate(a):
    """The blocks of one recorded expression."""
    op, args = a._op, a._args
    if op in _VIEWS:
        r = _unit_view(a)
        if r is not None:
            return r
    if op == "wsum" or op == "scale":
        e = _flat_sum(a)
        if e is not None:
            return e
    if op in _UNARY:
        return _UNARY[op][0](args[0]._e, *args[1:])
    if op == "concat" and args[1] == 0 and len(args[0]) > 1:
        # alike pieces stacked (a function's arguments stated in a loop):
        # taken together as a run, every operation once over all of them
        xs = args[0]
        key = xs[0]._key
        if key is not None and key[0] != "e" and all(x._key == key for x in xs):
            r = run(xs)
            if r is not None and r[1]:
                return st.reshape(r[0], a._shape)
    if op in _JOINT:
        return _JOINT[op][0]([x._e for x in args[0]], args[1])
    return _ONE[op](a._model, *args)


# operations that only rearrange their operand's elements: over a variable
# as stated (one term of coefficient 1 per element), their terms are the
# variable's columns rearranged as numpy rearranges an array
_VIEWS = frozenset(("box", "reshape", "permute", "broadcast", "spread", "take"))


def _unit_view(a):
    """A chain of rearrangements of a variable (or of a part of one already
    computed with one term of coefficient 1 per element) as that: its
    columns laid out by numpy at once, without the blocks of every step.
    None when the chain does not end in such an operand."""
    chain = []
    x = a
    while x._ex is None and x._op in _VIEWS:
        chain.append(x)
        x = x._args[0]
    e = x._ex
    if e is None or not e.unit or not e.clean:
        return None
    cols = e.nidxs.reshape(e.shape)
    distinct = e.distinct
    for y in reversed(chain):
        op, args = y._op, y._args
        if op == "box":
            cols = cols[tuple(slice(f, t) for f, t in zip(args[1], args[2]))]
        elif op == "reshape":
            cols = cols.reshape(args[1])
        elif op == "permute":
            cols = cols.transpose(args[1])
        elif op == "take":
            cols = cols.reshape(-1)[args[1]].reshape(args[2])
            distinct = False
        else:
            # broadcast, or a spread of one element
            cols = spread_to(cols if op == "broadcast" else cols.reshape(()), args[1])
            distinct = False
    return st._unit(e.model, a._shape, np.ascontiguousarray(cols).reshape(-1), True, distinct)


def _flat_sum(a):
    """A sum (or scaling) whose recorded sums and scalings end in operands
    of one term per element (parts of variables, constants), taken as one
    sum of those operands: each element's terms in the order the chain of
    sums gives them, each coefficient scaled as the chain scales it (the
    zeros of constants, and operands without terms, left out). None when
    some operand has other terms."""
    if a._shape == ():
        return _scalar_sum(a)
    leaves = _sum_leaves(a)
    if leaves is None or all(type(e) is not st.Expr for e, _, _ in leaves):
        return None
    return st.single_sum(*zip(*leaves))


def flat_sum_apart(a):
    """The same sum with its constants apart: (the sum of its other
    operands, the constants' total per element or None), the total taken in
    the order of the operands (as the constant terms of each element stand
    in the whole sum). None as for _flat_sum, or when no operand holds a
    variable."""
    if a._shape == ():
        return None
    leaves = _sum_leaves(a, apart=True)
    if leaves is None:
        return None
    terms, total = [], None
    for e, ws, place in leaves:
        if type(e) is st.Expr:
            terms.append((e, ws, place))
            continue
        t = st.weighted(e, ws)
        total = t if total is None else np.add(total, t, out=total)
    if not terms:
        return None
    if len(terms) == 1:
        # one operand with terms: itself, scaled as the chain scales it
        e, ws, _ = terms[0]
        for w in ws:
            if w != 1.0:
                e = st.scale(e, w)
        return e, total
    if not all(e.single for e, _, _ in terms):
        return None
    e = st.single_sum(*zip(*terms))
    return (None if e is None else (e, total))


def _place(x):
    """Where an operand's elements lie in a variable: (the variable, the
    first corner of the box they are, or None, the box's shape). A box of
    a variable (boxes of boxes composed, a box under a reshape read in its
    own order) has its corner; a number of the variable spread, or a
    product that picks one element of it per row, has none (its elements
    lie somewhere in the variable). Two operands of one corner have the
    same terms; two boxes of one variable and one shape at different
    corners share no element at any position. None when the operand is
    not of one variable, or of one whose positions share columns."""
    outer = x._shape
    if x._op == "reshape":
        x = x._args[0]
    first = None
    shape = x._shape
    if x._op == "spread" or x._op == "lmat":
        # elements of the operand, in an arrangement of their own
        x = x._args[0] if x._op == "spread" else x._args[1]
        while x._op == "box" or x._op == "reshape":
            x = x._args[0]
        corner = False
    else:
        while x._op == "box":
            c = x._args[1]
            first = c if first is None else tuple(a + b for a, b in zip(c, first))
            x = x._args[0]
        corner = True
    if x._op is not None or not hasattr(x, "nidxs") or x._args is not None or not x._e.distinct:
        # not a variable, or one whose positions share columns (symmetric)
        return None
    if not corner:
        return (id(x), None, outer)
    return (id(x), first if first is not None else (0,) * len(x._shape), shape)


def _const_value(x, shape):
    """The entries of a recorded constant operand over `shape` (a constant,
    or a spread number), or None."""
    op = x._op
    if op == "const" and x._shape == shape:
        return x._args[0]
    if op == "spread" and x._args[0]._op == "const" and x._args[0]._args[0].size == 1:
        return spread_to(x._args[0]._args[0].reshape(()), shape)
    if op == "broadcast" and x._args[0]._op == "const" and x._shape == shape:
        return spread_to(x._args[0]._args[0], shape)
    return None


def spread_to(values, shape):
    """Values repeated to `shape` by numpy's rules, in an array of their own
    (numpy's broadcast_to costs more than the copy at the sizes stated)."""
    out = np.empty(shape, values.dtype)
    out[...] = values
    return out


def _operands(a):
    """The operands of a sum's (or scaling's) recorded sums and scalings in
    the order of their terms, each with the weights the chain applies to
    it, the innermost first."""
    todo, out = [(a, ())], []
    while todo:
        x, ws = todo.pop()
        op = x._op if x._ex is None else None
        if op == "wsum":
            (xs, w) = x._args
            # the first operand's terms come first: pushed last
            for y, wy in zip(xs[::-1], w[::-1]):
                todo.append((y, (wy,) + ws))
        elif op == "scale":
            todo.append((x._args[0], (x._args[1],) + ws))
        else:
            out.append((x, ws))
    return out


def _sum_leaves(a, apart=False):
    """The operands of a sum's recorded sums and scalings, each with its
    weights (the innermost first) and its place in a variable (see _place):
    an expression of one term per element, or a constant's entries (when it
    holds a zero, or with `apart` every constant). None when an operand has
    other terms."""
    leaves = []
    shape = a._shape
    for x, ws in _operands(a):
        op = x._op
        c = _const_value(x, shape) if op == "const" or op == "spread" or op == "broadcast" else None
        if c is not None and (apart or not c.all()):
            leaves.append((c, ws, None))
            continue
        e = x._e
        if e.single:
            if e.shape != shape:
                return None
            leaves.append((e, ws, _place(x)))
        elif e.m:
            if not apart or e.prog or e.shape != shape:
                return None
            # kept for a sum of one such operand and constants
            leaves.append((e, ws, None))
        # an operand without terms (a zero constant) adds none
    if len(leaves) < (1 if apart else 2):
        return None
    return leaves


def _scalar_sum(a):
    """A sum (or scaling) of one element: its recorded sums and scalings
    taken as one, the operands' terms one after the other in the order the
    chain gives them, each coefficient scaled as the chain scales it. The
    total of all elements of an expression (x.sum()) is read as its
    elements' terms. None when an operand carries programs."""
    leaves = []
    for x, ws in _operands(a):
        # the total of a vector: its elements' terms, in order
        total = x._ex is None and x._op == "sum" and x._args[0]._shape == (x._args[0].size,)
        e = x._args[0]._e if total else x._e
        if e.prog:
            return None
        leaves.append((e, ws))
    if len(leaves) < 2:
        return None
    return st.joined_terms([e for e, _ in leaves], [ws for _, ws in leaves])


def _spread(e, shape):
    """A one-element expression repeated to `shape`."""
    return st.pick(e, np.zeros(st.size_of(shape), I64), shape)


def _spread_each(e, k, shape):
    """Each of a run's one-element results repeated to `shape`."""
    idx = np.repeat(np.arange(k, dtype=I64), st.size_of(shape))
    return st.pick(e, idx, (k,) + tuple(shape))


def _broadcast_positions(shape, target, lead=()):
    """The element of `shape` at every position of `target` (numpy's
    broadcasting), row-major, under leading axes `lead` that both keep."""
    pad = (1,) * (len(target) - len(shape))
    n = st.size_of(lead + tuple(shape))
    grid = np.arange(n, dtype=I64).reshape(lead + pad + tuple(shape))
    return spread_to(grid, lead + tuple(target)).reshape(-1)


def _broadcast(e, shape):
    """E repeated to `shape` by numpy's rules."""
    return st.pick(e, _broadcast_positions(e.shape, shape), shape)


def _broadcast_each(e, k, shape):
    """Each member of a run repeated to `shape`."""
    return st.pick(e, _broadcast_positions(e.shape[1:], shape, (k,)), (k,) + tuple(shape))


# Operations of one operand: the stack operation on one expression, and on a
# run of k (its result with the run's leading axis, the axes shifted by one).
_UNARY = {
    "scale": (st.scale, lambda e, k, d: st.scale(e, d)),
    "reshape": (st.reshape, lambda e, k, shape: st.reshape(e, (k,) + tuple(shape))),
    "spread": (_spread, _spread_each),
    "broadcast": (_broadcast, _broadcast_each),
    "permute": (st.permute, lambda e, k, perm: st.permute(e, [0] + [p + 1 for p in perm])),
    "sum": (st.sum_axis, lambda e, k, axis: st.sum_axis(e, axis + 1)),
}
# Operations of several operands: the stack operation and what its fixed
# argument gains over a run (the join's axis shifted by one).
_JOINT = {"wsum": (st.wsum, ()), "concat": (st.concat, 1)}


def _one_lmat(model, M, x, shape):
    e = st.left_matmul(M, x._e)
    return e if e.shape == shape else st.reshape(e, shape)


def _one_diag(model, values, x):
    return st.left_matmul(None, x._e, st.diagonal_triplets(values))


_ONE = dict(const=st.constant, lmat=_one_lmat, diag=_one_diag, box=lambda model, x, first, last: st.box(x._e, first, last),
            take=lambda model, x, pos, shape: st.pick(x._e, pos, shape))


# -- a run of alike expressions ---------------------------------------------
# run() takes the run's expressions (equal keys) and returns (blocks, True)
# for a result with the run's leading axis, (blocks, False) for one result
# that every member shares, or None when the run cannot be taken together
# (its members are then evaluated one by one).

def run(items):
    first = items[0]
    if all(map(operator.is_, items, itertools.repeat(first))):
        return first._e, False
    op = first._op
    if op is None:
        return None
    k = len(items)
    if op in _UNARY:
        r = run(_arg(items, 0))
        if r is None:
            return None
        e, batched = r
        one, many = _UNARY[op]
        args = first._args[1:]
        return (many(e, k, *args), True) if batched else (one(e, *args), False)
    if op in _JOINT:
        return _many_joint(items, k)
    return _MANY[op](items, k)


def _spread_over(e, k):
    """A shared result repeated over a run of k: shape (k,) + its shape."""
    n = st.size_of(e.shape)
    idx = np.tile(np.arange(n, dtype=I64), k)
    return st.pick(e, idx, (k,) + e.shape)


def _many_joint(items, k):
    """A weighted sum or a join over a run: each operand position taken
    together; shared when every operand is shared, else the shared ones
    spread over the run."""
    parts = []
    for j in range(len(items[0]._args[0])):
        r = run(_arg(items, 0, j))
        if r is None:
            return None
        parts.append(r)
    join, shift = _JOINT[items[0]._op]
    fixed = items[0]._args[1]
    if not any(b for _, b in parts):
        return join([e for e, _ in parts], fixed), False
    return join([e if b else _spread_over(e, k) for e, b in parts], fixed + shift), True


def _many_const(items, k):
    arr = np.stack(_arg(items, 0))
    return st.constant(items[0]._model, arr), True


def _many_lmat(items, k):
    r = run(_arg(items, 1))
    if r is None or r[1]:
        return None
    Ms = _arg(items, 0)
    if hasattr(Ms[0], "tocsr"):
        import scipy.sparse as sp
        M = sp.vstack(Ms, format="csr")
    else:
        M = np.concatenate(Ms, axis=0)
    out = st.left_matmul(M, r[0])
    return st.reshape(out, (k,) + tuple(items[0]._args[2])), True


def _many_diag(items, k):
    r = run(_arg(items, 1))
    if r is None:
        return None
    e, batched = r
    if not batched:
        e = _spread_over(e, k)
    shape = e.shape
    values = np.concatenate(_arg(items, 0))
    flat = st.reshape(e, (st.size_of(shape),))
    out = st.left_matmul(None, flat, st.diagonal_triplets(values))
    return st.reshape(out, shape), True


def _many_box(items, k):
    """Boxes of one extent at the members' own places: one pick of all their
    elements (each member's box laid out row-major after the one before)."""
    r = run(_arg(items, 0))
    if r is None:
        return None
    e, batched = r
    bshape = items[0]._shape
    shape = e.shape[1:] if batched else e.shape
    strides = np.ones(len(shape), I64)
    for d in range(len(shape) - 2, -1, -1):
        strides[d] = strides[d + 1] * shape[d + 1]
    base = np.asarray(_arg(items, 1), I64).reshape(k, len(shape)) @ strides
    if batched:
        base += np.arange(k, dtype=I64) * st.size_of(shape)
    grid = np.indices(bshape, dtype=I64).reshape(len(shape), -1).T @ strides
    idx = (base[:, None] + grid[None, :]).reshape(-1)
    return st.pick(e, idx, (k,) + tuple(bshape)), True


def _many_take(items, k):
    """Elements taken at each member's own positions: one pick of all of
    them (a member's positions shifted to its place in the run)."""
    r = run(_arg(items, 0))
    if r is None:
        return None
    e, batched = r
    pos = np.stack(_arg(items, 1))
    if batched:
        pos = pos + (np.arange(k, dtype=I64) * st.size_of(e.shape[1:]))[:, None]
    return st.pick(e, pos.reshape(-1), (k,) + tuple(items[0]._args[2])), True


# runs of scalar term lists ("terms") are entered by terms.py, which builds
# on the expressions
_MANY = dict(const=_many_const, lmat=_many_lmat, diag=_many_diag, box=_many_box, take=_many_take)


def rows_of_run(exprs):
    """The elements of a run of alike expressions, member after member, as
    one flat expression; None when the run cannot be taken together."""
    r = run(exprs)
    if r is None or not r[1]:
        return None
    e = r[0]
    return st.reshape(e, (st.size_of(e.shape),))
