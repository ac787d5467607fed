"""The flat problem of a model: min 1/2 x'P x + q.x subject to A x + s = b,
s in a product of cones, laid out by the kernels. Constraint rows (runs of
alike constraints together) are negated and split block by block into a
linear and a conic part, variable domains become
bound rows, parameter programs go to the parameter table, the objective is
laid out dense over the variables, a quadratic objective gets auxiliary
columns, and the element tables for mapping duals back are filled."""
from __future__ import annotations

import bisect
import itertools
import math
import numbers
import sys

import numpy as np

from . import deferred, terms
from . import kernels as kn
from . import stacks as st
from .constraints import Constraint
from .errors import ModelError, ParameterError
from .expressions import Computed, ParamExpr, constant_of
from .functions import Quadratic
from .terms import ConeBlock, RowBlock, TermCone, TermRow

# constraints held as tuples (see terms.py): each a run of its own
_BATCHED = (RowBlock, TermRow, ConeBlock, TermCone)
from .stacks import F64, I32, I64, WStack

SQRT2 = math.sqrt(2.0)


def _matrix_maker(fmt):
    """A compressed matrix of scipy's class `fmt` ("csc" or "csr") from its
    value, index and pointer arrays, as they stand: the kernels lay them
    out sound (pointers monotone from 0 to the entries, indices in range,
    one index dtype), so scipy's construction checks, which cost more than
    a small model's whole layout, are skipped. The matrix takes the
    attributes scipy's own constructor gives one (read off a probe, and
    checked against it on a sample); on a scipy that gives others, or
    where the sample disagrees, the public constructor is used."""
    import scipy.sparse as sp
    cls = getattr(sp, fmt + "_matrix")
    major = 1 if fmt == "csc" else 0

    def public(vals, idx, ptr, shape):
        return cls((vals, idx, ptr), shape=shape)

    probe = public(np.ones(1), np.zeros(1, I32), np.array([0, 1], I32), (1, 1))
    extra = {k: v for k, v in vars(probe).items() if k not in ("data", "indices", "indptr", "_shape")}
    if set(extra) - {"maxprint", "_maxprint"}:
        return public

    def made(vals, idx, ptr, shape):
        if idx.dtype == I32 and ptr.dtype == I64 and len(idx) < 2**31:
            # scipy keeps 32-bit pointers where the entries allow
            ptr = ptr.astype(I32)
        if (idx.dtype != ptr.dtype or vals.dtype != F64 or len(idx) != len(vals) or len(ptr) != shape[major] + 1
                or int(ptr[-1]) != len(idx)):
            return public(vals, idx, ptr, shape)
        A = cls.__new__(cls)
        A.__dict__.update(extra)
        A.data, A.indices, A.indptr, A._shape = vals, idx, ptr, (int(shape[0]), int(shape[1]))
        return A

    vals, idx, ptr = np.array([2.0, -1.0, 3.0]), np.array([0, 2, 1], I32), np.array([0, 2, 2, 3], I32)
    a, b = made(vals, idx, ptr, (3, 3)), public(vals, idx, ptr, (3, 3))
    same = (a.shape == b.shape and a.nnz == b.nnz and repr(a) == repr(b)
            and np.array_equal(a.toarray(), b.toarray()) and np.array_equal((a @ a.T).toarray(), (b @ b.T).toarray())
            and a.has_sorted_indices == b.has_sorted_indices and a.has_canonical_format == b.has_canonical_format)
    return made if same else public


_CSC = None


def compressed_columns(vals, rowidx, colptr, shape):
    """The scipy csc matrix of (vals, rowidx, colptr), taken as they stand."""
    global _CSC
    if _CSC is None:
        _CSC = _matrix_maker("csc")
    return _CSC(vals, rowidx, colptr, shape)


def _column_order(rows, cols, nrows, ncols):
    """Entry numbers of triplets in (column, row) order, stable: the counting,
    prefix and two scatter passes of the compressed-row kernels, run with the
    column as the major index. Returns (order, end of column 0)."""
    nnz = len(rows)
    rptr = np.zeros(ncols + 2, I64)
    cptr = np.zeros(nrows + 2, I64)
    kn.count_rows_and_columns(cptr, nnz, rptr, cols, rows)
    kn.prefix_rows(ncols, rptr)
    kn.prefix_columns(cptr, nrows)
    by_row = np.zeros(max(nnz, 1), I32)
    kn.scatter_by_column(by_row, cptr, nnz, rows)
    order = np.zeros(max(nnz, 1), I32)
    kn.scatter_rows_in_column_order(by_row, cptr, nrows, order, rptr, cols)
    return order[:nnz], int(rptr[1])


def _csc(rows, cols, vals, nrows, ncols, starts=None):
    """Triplets in column order with repeated positions summed, once for every
    value array of vals (the same positions). Returns (colptr, rowidx,
    [values, ...]). With `starts` (the start of every column and the end of
    the last), the triplets already stand in (column, row) order, as the
    transposing scatter leaves them."""
    nnz = len(rows)
    if nnz == 0:
        return np.zeros(ncols + 1, np.int64), np.zeros(0, I32), [np.zeros(0, F64) for _ in vals]
    if starts is not None:
        count = _changes(rows, cols, nnz)
        if count == nnz:
            # in order and every position once: the triplets are the columns
            return starts, rows, list(vals)
        order = st.iota(np.empty(nnz, I32), 0)
    else:
        order, _ = _column_order(rows, cols, nrows, ncols)
        count = kn.count_positions(nnz, 1, order, cols, rows)
    e0 = order[0]
    out = []
    for v in vals:
        tcol, trow, tval = np.zeros(count, I32), np.zeros(count, I32), np.zeros(count, F64)
        tcol[0], trow[0], tval[0] = cols[e0], rows[e0], v[e0]
        kn.merge_positions(1, nnz, order, cols, rows, tcol, trow, tval, v)
        out.append(tval)
    colptr = np.zeros(ncols + 2, I64)
    kn.count_rows(count, colptr, tcol)
    kn.prefix_rows(ncols + 1, colptr)
    return colptr[1:], trow, out


def _changes(rows, cols, nnz):
    """1 + the number of entries k > 0 whose (column, row) differs from
    entry k - 1's, counted a window at a time (consecutive windows share
    an entry; one window of entry numbers serves every window)."""
    w = min(nnz, WINDOW)
    step = st.iota(np.empty(w, I32), 0)
    count, k0 = 1, 0
    while k0 < nnz - 1:
        n = min(w, nnz - k0)
        count = kn.count_positions(n, count, step, cols[k0:], rows[k0:])
        k0 += n - 1
    return count


# terms split and transposed at a time (at least a PARTS-th of all of
# them): the split rows of one chunk are alive at once, not those of the
# whole matrix beside its transposed triplets
CHUNK = 1 << 17
PARTS = 16
# entries whose position changes are counted in one call (a window of entry
# numbers serves every window)
WINDOW = 1 << 16


def _emit(seg, a, z, tsubj, tcof, pos, ptrb, sink, bsubj, bcof, L, flip=False):
    """Rows a .. z - 1 (solver rows) of one segment (a block of rows, or the
    bound rows for None) split into their scalar part at tsubj/tcof from
    pos, their constants added into sink, the row pointer written from
    ptrb[a] on; returns the position after them. With `flip`, the kept
    coefficients of rows with programs (negated when merged) are negated
    again: the whole matrix is negated once at the end."""
    row0, b = seg
    if b is None:
        k0, k1 = a - L, z - L
        kn.copy_i32_run(k1 - k0, tsubj, pos, k0, bsubj)
        kn.copy_f64_run(k0, k1 - k0, pos, tcof, bcof)
        st.iota(ptrb[a + 1:z + 1], int(ptrb[a]) + 1)
        return pos + k1 - k0
    vals = b.cof if b.m else np.zeros(1, F64)
    idx = b.nidxs if b.m else np.zeros(1, I64)
    kn.split_rows_and_constants(sink[a:], tcof[pos:], 0, z - a, 0, a - row0, ptrb[a:], vals, b.ptr, idx,
                                tsubj[pos:])
    end = pos + int(ptrb[z]) - int(ptrb[a])
    if flip and b.prog:
        kn.scaled_copy(tcof[pos:end], -1.0, end - pos, tcof[pos:end])
    return end


def _direct(b):
    """Whether a block's terms are the solver's entries as they stand: no
    constant terms, no programs, every variable index positive. Its rows
    are scattered from the block itself, without a split."""
    return b is not None and b.clean and b.m > 0


def _low(nidxs):
    """The 32-bit view of positive variable indices below 2**31 (their low
    halves)."""
    return nidxs.view(I32)[0::2] if sys.byteorder == "little" else nidxs.view(I32)[1::2]


def _cut(ptr, lo, hi, base, chunk):
    """The largest row end e in lo + 1 .. hi with ptr[e] - base <= chunk
    (lo + 1 when even one row holds more): a binary search on the row
    pointer."""
    a, z = lo + 1, hi
    while a < z:
        mid = (a + z + 1) // 2
        if int(ptr[mid]) - base <= chunk:
            a = mid
        else:
            z = mid - 1
    return a


def _sink(dtype):
    """A view of 2**31 - 1 elements that all stand on one element: the
    outputs of a pass that are not wanted go there (one cache line written;
    the passes index it by their own counts, below 2**31)."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=(2**31 - 1,), strides=(0,), writeable=True)


SINK_I32, SINK_F64 = _sink(I32), _sink(F64)


def _split_and_transpose(segs, ptrb, bfix, bsubj, bcof, L, B, nrows, ncols, need_cols):
    """The solver rows' scalar part in column order: triplets (row, column,
    value) grouped by column, rows ascending, returned as (rows, cols,
    vals, column starts). A first pass writes the row pointer and the
    constants and counts the columns, splitting the segments chunk by
    chunk (a block whose terms stand as the solver takes them is read as
    it is); a second pass scatters the rows into their columns, chunk by
    chunk, every output array at once (one pass over the rows costs less
    than a pass per array, at every size measured). Every
    coefficient is scattered as stated (the bound rows' negated by the
    caller, the programs' negated again) and the values are negated once
    at the end. The columns are written only when `need_cols`, or when
    the rows alone do not show that every position is distinct (cols is
    None otherwise)."""
    sizes = [b.n if b is not None else B for _, b in segs]
    total = sum(b.m if b is not None else B for _, b in segs)
    chunk = max(CHUNK, total // PARTS)
    cptr = np.zeros(ncols + 2, I64)
    # the counting pass keeps no coefficient: they all go to one element (SINK_F64)
    for (row0, b), n in zip(segs, sizes):
        if _direct(b):
            # the row pointer shifted to the solver's rows; the columns
            # counted from the indices as they stand
            k0 = int(b.ptr[0])
            kn.shift_pairs(n, row0 + 1, b.ptr[1:], int(ptrb[row0]) - k0, 0, ptrb, SINK_I32)
            kn.count_columns(cptr, int(b.ptr[n]) - k0, _low(b.nidxs)[k0:])
            continue
        lo = 0
        while lo < n:
            if b is None:
                hi = n
                t = n
            else:
                hi = _cut(b.ptr, lo, n, int(b.ptr[lo]), chunk)
                t = int(b.ptr[hi]) - int(b.ptr[lo])
            tsubj = np.empty(max(t, 1), I32)
            k = _emit((row0, b), row0 + lo, row0 + hi, tsubj, SINK_F64, 0, ptrb, bfix, bsubj, bcof, L)
            if b is not None and b.m and not b.prog:
                seg = bfix[row0 + lo:row0 + hi]
                kn.difference(hi - lo, np.zeros(hi - lo, F64), seg, seg)
            kn.count_columns(cptr, k, tsubj)
            tsubj = None
            lo = hi
    kn.prefix_columns(cptr, ncols)
    nnz = int(ptrb[nrows])
    # rows with distinct variables each (the bound rows hold one) have
    # distinct positions; else the columns are written too, and kept when
    # the rows alone do not show it
    known = all(b is None or b.rows_distinct for _, b in segs)
    rows, vals = np.empty(nnz, I32), np.empty(nnz, F64)
    cols = np.empty(nnz, I32) if need_cols or not known else None
    _scatter_pass(segs, sizes, ptrb, bsubj, bcof, L, nrows, chunk, cptr,
                  (rows, SINK_I32 if cols is None else cols, vals))
    kn.scaled_copy(vals, -1.0, nnz, vals)
    # each column's cursor stopped at its end, the start of the next
    starts = cptr[:ncols + 1]
    if not need_cols and cols is not None and (not nnz or _changes(rows, rows, nnz) == nnz):
        # no row shared by the ends of two columns, no repeated position
        cols = None
    return rows, cols, vals, starts


def _scatter_pass(segs, sizes, ptrb, bsubj, bcof, L, nrows, chunk, cptr, out):
    """The rows scattered a step at a time into the (rows, cols, vals)
    output `out` from the cursors cptr[1:] (they end past the rows). A
    step is a block whose terms stand as
    the solver takes them, read where it lies, or consecutive such blocks
    smaller than a chunk joined, or a chunk of other rows (up to the next
    such block) split again."""
    starts = [row0 for row0, _ in segs]
    direct = [row0 for (row0, b), n in zip(segs, sizes) if n and _direct(b)]
    # the steps' row pointer: one array, each step's rows from 0 at their
    # places, the rows before them empty (cleared after each step)
    rptrb = np.zeros(nrows + 1, I64)
    R0 = 0
    while R0 < nrows:
        s = max(bisect.bisect_right(starts, R0) - 1, 0)
        row0, b = segs[s]
        if _direct(b):
            R1 = row0 + sizes[s]
            base = int(b.ptr[0])
            t = int(b.ptr[sizes[s]]) - base
            group = [s]
            while t < chunk and s + len(group) < len(segs):
                nxt = s + len(group)
                rn, bn = segs[nxt]
                if rn != R1 or not _direct(bn):
                    break
                tn = int(bn.ptr[sizes[nxt]]) - int(bn.ptr[0])
                if t + tn > chunk:
                    break
                group.append(nxt)
                R1 += sizes[nxt]
                t += tn
            if len(group) == 1:
                ptr = b.ptr[R0 - row0:]
                tsubj, tcof = _low(b.nidxs)[base:], b.cof[base:]
            else:
                # small blocks joined: one step instead of one each
                parts = [segs[g][1] for g in group]
                tsubj = np.concatenate([_low(x.nidxs)[int(x.ptr[0]):int(x.ptr[-1])] for x in parts])
                tcof = np.concatenate([x.cof[int(x.ptr[0]):int(x.ptr[-1])] for x in parts])
                base = int(ptrb[R0])
                ptr = ptrb[R0:R1 + 1]
        else:
            d = bisect.bisect_right(direct, R0)
            base = int(ptrb[R0])
            R1 = _cut(ptrb, R0, direct[d] if d < len(direct) else nrows, base, chunk)
            t = int(ptrb[R1]) - base
            tsubj, tcof = np.empty(max(t, 1), I32), np.empty(max(t, 1), F64)
            pos = 0
            while s < len(segs) and segs[s][0] < R1:
                row0, n = segs[s][0], sizes[s]
                a, z = max(R0, row0), min(R1, row0 + n)
                if a < z:
                    pos = _emit(segs[s], a, z, tsubj, tcof, pos, ptrb, SINK_F64, bsubj, bcof, L, True)
                s += 1
            ptr = ptrb[R0:R1 + 1]
        step = rptrb[R0:R1 + 1]
        step[:] = ptr
        step -= base
        kn.transpose_scatter(cptr[1:], R1, rptrb, tsubj, *out, tcof)
        rptrb[R0:R1] = 0
        tsubj = tcof = None
        R0 = R1


def _lay_bound(target, dom, shape):
    """One side of a domain laid out on the variable's elements: scalar, dense
    or sparse (both targets of the layout are the one side's vector)."""
    nd, n = len(shape), len(target)
    sh = np.asarray(shape if nd else (1,), I32)
    if dom[0] == "scalar":
        kn.lay_out_bounds(target, target, False, dom[1], True, None, dom[1], nd, n, sh, 0)
    elif dom[0] == "dense":
        kn.lay_out_bounds(target, target, False, dom[1], False, None, dom[1], nd, n, sh, 0)
    else:
        kn.lay_out_bounds(target, target, False, dom[2], False, dom[1], dom[2], nd, n, sh, 0)


def _parts(r):
    """The blocks of a constraint's rows as (blocks, constant) pairs: the
    pieces of a recorded join of one-axis expressions are routed one after
    the other, as they stand, instead of being joined first; a piece E + w C
    with a constant C is routed as E, and w C taken from its constants
    afterwards (the same sum in the same order: E's terms come first)."""
    pieces = [r]
    if r._ex is None and r._op == "concat" and r._args[1] == 0 and len(r.shape) == 1:
        pieces = r._args[0]
    out = []
    for x in pieces:
        # the rows of a constraint of several axes are its expression
        # flattened: the sum under the flattening is routed the same way
        y = x._args[0] if x._ex is None and x._op == "reshape" else x
        if y._ex is None and (y._op == "wsum" or y._op == "scale"):
            # a sum of parts of variables and constants: its constants apart,
            # its terms the solver's entries as they stand
            r = deferred.flat_sum_apart(y)
            if r is not None:
                e, c = r
                out.append((e if y is x else st.reshape(e, x.shape), None if c is None else (c.reshape(-1), 1.0)))
                continue
        if y._ex is None and y._op == "wsum" and len(y._args[0]) == 2 and y._args[1][0] == 1.0:
            e, c = y._args[0]
            if c._op == "const" and c.shape == e.shape and not e._e.prog:
                b = e._e if y is x else st.reshape(e._e, x.shape)
                out.append((b, (c._args[0].reshape(-1), y._args[1][1])))
                continue
        out.append((x._e, None))
    return out


def _rows_of(c):
    """The rows of a constraint as the solver takes them, and its cones."""
    e = c.expr
    if c.kind in _FLAT:
        return (e if len(e.shape) == 1 else e.flatten()), c.cones
    import scipy.sparse as sp
    if c.kind == "rsoc":
        # (u, v, x) -> ((u + v) / sqrt 2, (u - v) / sqrt 2, x) on every cone:
        # a second-order cone of the same size (the map is its own inverse)
        d = c.cones[0][1]
        T = sp.identity(d, format="lil")
        T[0, 0] = T[0, 1] = T[1, 0] = 1 / SQRT2
        T[1, 1] = -1 / SQRT2
        rows = e.reshape((e.size // d, d)) @ T.tocsr()
        return rows.flatten(), [("soc", d)] * len(c.cones)
    if c.kind != "psd":
        raise ModelError(f"constraint {c!r} of unknown kind {c.kind!r}")
    # k blocks of n x n (the leading axes of a batch taken as one), each
    # symmetrised: (E + E^T) / 2 with the last two axes swapped
    n, k = e.shape[-1], len(c.cones)
    perm = tuple(range(e.ndim - 2)) + (e.ndim - 1, e.ndim - 2)
    S = Computed(st.wsum([e._e, e.transpose(perm)._e], [0.5, 0.5]))
    dim = np.array([k, n, 1, n, 1], I32)
    stride = np.array([0, 0, 0, 0, 1], I32)
    kn.split_axes(dim, stride)
    t = n * (n + 1) // 2
    lower = np.zeros(k * t, I64)
    kn.lower_triangle_indices(dim, 0, lower, 0, stride)
    rows = Computed(st.pick(S._e, lower, (len(lower),)))
    # off-diagonal entries of each packed triangle scaled by sqrt 2: the
    # triangles' positions in packed column order, then the scale pass
    tri = np.zeros(k * t, I32)
    kn.scatter_packed_triangle(st.iota(np.zeros(k * t, I32), 0), tri, t, k, n, 1, n, 1, 0, False)
    scale = np.ones(k * t, F64)
    kn.scale_off_diagonal(scale, tri, k, n, 1, n, 1, 0, SQRT2)
    return Computed(st.left_matmul(sp.diags(scale), rows._e)), c.cones


# kinds whose rows are the expression's elements as they stand
_FLAT = ("zero", "nonneg", "soc", "exp", "pow", "genpow")


def _runs(constraints):
    """Runs of consecutive constraints of one kind and cones whose rows were
    stated alike (equal keys, see deferred.py): each run's rows are computed
    together, member after member; other constraints stand alone."""
    out, i, n = [], 0, len(constraints)
    while i < n:
        c = constraints[i]
        j = i + 1
        if type(c) is RowBlock or type(c) is ConeBlock:
            out.append([c])
            i = j
            continue
        if type(c) is TermRow:
            # scalar rows stated one at a time: every consecutive one of the
            # same kind, whatever its terms
            kind = c.kind
            while j < n and type(constraints[j]) is TermRow and constraints[j].kind == kind:
                j += 1
            out.append(constraints[i:j])
            i = j
            continue
        key = c.expr._key
        # alike members taken together when small (a loop's statements);
        # a large member's own evaluation costs no more per element
        if c.kind in _FLAT and key is not None and key[0] != "e" and c.expr.size <= deferred.SMALL:
            while j < n:
                d = constraints[j]
                if type(d) in _BATCHED or d.kind != c.kind or d.expr._key != key \
                        or d.cones != c.cones:
                    break
                j += 1
        out.append(constraints[i:j])
        i = j
    return out


def _objective(model, N):
    """The objective as (affine part, quadratic parts, auxiliary rows, P
    triplets, parameter weights) in the sense of a minimisation. Quadratic
    part w e'Qe gets the auxiliary columns u (after the model's own) with
    the rows e - u == 0 and the block 2 w Q (upper triangle) on u's
    columns. A parameter weight makes its block's entries a parameter
    expression (first triplet, expression of the entries): the triplets
    hold its constant part, the programs of the rest are evaluated with the
    parameter values."""
    sign = 1.0 if model._sense == "minimize" else -1.0
    obj = model._obj
    if obj is None:
        return constant_of(model, 0.0), [], N, None, []
    if not isinstance(obj, Quadratic):
        return (obj if sign > 0 else -obj), [], N, None, []
    aff = obj.affine if obj.affine is not None else constant_of(model, 0.0)
    aux, pr, pc, pv, weights = [], [], [], [], []
    k0 = 0
    for w, e, Q in _scalar_squares(model, obj.parts):
        n, u0 = e.size, N
        N += n
        # the rows e - u: each element's terms, then its column of u
        ucols = np.arange(u0 + 1, u0 + 1 + n, dtype=I64)
        tie = st.with_one_term_each(st.reshape(e._e, (n,)), ucols, -1.0)
        tie = e - Computed(st.identity(model, (n,), ucols, True)) if tie is None else Computed(tie)
        aux.append(Constraint("zero", tie, ("auxiliary rows of {}", obj)))
        if Q is None:
            rows = st.iota(np.zeros(n, I32), u0)
            cols = rows
            base = np.full(n, 2.0 * sign)
        else:
            import scipy.sparse as sp
            U = sp.triu(sp.coo_matrix(Q)).tocoo()
            k = U.nnz
            rows, cols, scratch = np.zeros(k, I32), np.zeros(k, I32), np.zeros(k, I32)
            kn.shift_pairs(k, 0, np.ascontiguousarray(U.row, I32), u0, u0, rows, scratch)
            kn.shift_pairs(k, 0, np.ascontiguousarray(U.col, I32), u0, u0, cols, scratch)
            base = np.zeros(k, F64)
            kn.scaled_copy(base, 2.0 * sign, k, np.ascontiguousarray(U.data, F64))
        k = len(rows)
        if isinstance(w, ParamExpr):
            # the block's entries: the weight (one, or one per element) times
            # 2 sign Q, its constant part laid out now
            entries = w * base
            weights.append((k0, entries))
            vals = entries._c0_or_zeros().copy()
        elif type(w) is np.ndarray:
            # weights per element (scalar squares taken together, or an array)
            vals = np.zeros(k, F64)
            kn.scaled_copy(vals, 2.0 * sign, k, np.ascontiguousarray(w, F64))
        else:
            vals = np.zeros(k, F64)
            kn.scaled_copy(vals, float(w), k, base)
        pr.append(rows)
        pc.append(cols)
        pv.append(vals)
        k0 += k
    P = (np.concatenate(pr), np.concatenate(pc), np.concatenate(pv))
    return (aff if sign > 0 else -aff), aux, N, P, weights


def _scalar_squares(model, parts):
    """The quadratic parts with consecutive squares of term lists (a sum of
    squares stated element by element) taken together: one part of their
    rows, with a weight per element (an array), so that they get one block
    of auxiliary columns and rows instead of one each."""
    out, run = [], []
    for part in parts + [(None, None, None)]:
        w, e, Q = part
        if Q is None and (type(e) is terms.Terms or type(e) is terms.TermSum) and isinstance(w, numbers.Real):
            run.append(part)
            continue
        if len(run) > 1:
            ws = np.fromiter((p[0] for p in run), F64, count=len(run))
            out.append((ws, Computed(terms.block_of(model, [p[1] for p in run])), None))
        else:
            out += run
        run = []
        if w is not None:
            out.append(part)
    return out


def _build(model):
    obj, aux, N, Ptrip, Pweights = _objective(model, model.nvars)
    # every constraint's rows, negated (A x + s = b with s the expression);
    # rows that carry programs get each variable once per row, so that
    # every parameter entry has its own position in the solver's matrix
    blocks, lin_cones, acc_cones = [], [], []
    L = E = 0
    for cons in _runs(model._constraints + aux):
        if type(cons[0]) is ConeBlock:
            # the run's cones, one block of their elements
            parts, k = terms.rows_of_cones(cons[0])
            n = parts[0][0].n
            if k:
                cs = [("soc", cons[0].d)] * k
                blocks.append((cons, parts, False, E, cs, n))
                E += n
                acc_cones += cs
            continue
        if type(cons[0]) is TermRow or type(cons[0]) is RowBlock:
            # one block for the run, one cone: the rows are the members' rows
            # (a model's run of rows stands for all of them)
            if type(cons[0]) is RowBlock:
                parts = terms.rows_of_block(cons[0])
                n = parts[0][0].n
            else:
                parts, n = terms.rows_of_run(cons), len(cons)
            if n:
                blocks.append((cons, parts, True, L, [(cons[0].kind, n)], n))
                L += n
                lin_cones.append((cons[0].kind, n))
            continue
        r = deferred.rows_of_run([c.expr for c in cons]) if len(cons) > 1 else None
        if r is None:
            members = [(c,) + _rows_of(c) for c in cons]
            members = [([c], _parts(r), cs) for c, r, cs in members]
        else:
            members = [(cons, [(r, None)], [cone for c in cons for cone in c.cones])]
        for cs_, parts, cs in members:
            # rows with programs are negated and merged here; the others keep
            # their coefficients, and the whole matrix is negated as it is
            # scattered into its columns
            parts = [(st.merge(st.scale(e, -1.0)) if e.prog else e, c) for e, c in parts]
            n = sum(e.n for e, _ in parts)
            if cs_[0].kind in ("zero", "nonneg"):
                blocks.append((cs_, parts, True, L, cs, n))
                L += n
                lin_cones += cs
            else:
                blocks.append((cs_, parts, False, E, cs, n))
                E += n
                acc_cones += cs
    # variable domains: bounds laid out per scalar variable (unbounded
    # elements at -inf / +inf), one solver row per element of a bounded
    # side: -x + s = -lb and x + s = ub, s >= 0 (rows at infinity are
    # dropped by the solver)
    # the linear rows: equalities first, then inequalities, each in the
    # order stated (the order CVXPY hands the solver, whose iterations
    # follow the rows' order)
    if any(lin and cs[0][0] == "zero" for _, _, lin, _, cs, _ in blocks) and any(
            lin and cs[0][0] != "zero" for _, _, lin, _, cs, _ in blocks):
        linear = sorted((b for b in blocks if b[2]), key=lambda b: b[4][0][0] != "zero")
        blocks, lin_cones, L = [b for b in blocks if not b[2]], [], 0
        for cons, parts, lin, _, cs, n in linear:
            blocks.append((cons, parts, lin, L, cs, n))
            L += n
            lin_cones += cs
    bounded = any(getattr(v, "bounds", (None, None)) != (None, None) for v in model._variables)
    bl, bu = (np.full(N + 1, -np.inf), np.full(N + 1, np.inf)) if bounded else (None, None)
    sides = ([], [])
    for v in model._variables if bounded else ():
        for k, (dom, vec) in enumerate(zip(getattr(v, "bounds", (None, None)), (bl, bu))):
            if dom is not None:
                # a symmetric variable's domain lies on its packed columns
                n = len(v.nidxs)
                v0 = int(v.nidxs[0])
                _lay_bound(vec[v0:v0 + n], dom, v.shape if v.full is v.nidxs else (n,))
                sides[k].append(v)
    Bl = sum(len(v.nidxs) for v in sides[0])
    B = Bl + sum(len(v.nidxs) for v in sides[1])
    nrows = L + B + E
    # element kinds: linear constraint rows numbered in order, conic
    # elements ~e numbered in order
    conidxs = np.zeros(max(nrows, 1), I32)
    model._native = {}
    offs, off = [], 0
    for cons, parts, lin, first, cs, n in blocks:
        seg = conidxs[off:off + n]
        (st.iota if lin else st.complements)(seg, first)
        if lin:
            _note_elements(model, cons, seg, n // len(cons))
        for b, const in parts:
            offs.append((b, lin, off, first, const))
            first += b.n
            off += b.n
    # solver rows: the linear part (row c is linear row c, as numbered),
    # the bound rows (lower sides, then upper sides), then the conic part
    # (element e at row L + B + e); scalar part and constants of each
    # part's rows (b = -bfix), split from every block where it lies, the
    # blocks of each part one after the other
    ptrb = np.zeros(nrows + 1, I32)
    bfix = np.zeros(max(nrows, 1), F64)
    # the bound rows: -x + s = -lb (lower sides), then x + s = ub, one term
    # each; their right-hand sides read off the bound vectors
    bsubj, bcof = np.zeros(max(B, 1), I32), np.zeros(max(B, 1), F64)
    kn.identity_rows(0, -1, B, 0, bcof, ptrb)
    # coefficients -1 (lower) and 1 (upper), here negated: the scatter
    # negates every value once at the end
    kn.scaled_copy(bcof[Bl:B], -1.0, B - Bl, bcof[Bl:B])
    q, r = 0, L
    for k, vs in enumerate(sides):
        for v in vs:
            q = kn.positive_entries(v.nidxs, q, bsubj)
            (kn.variable_values if k == 0 else kn.negated_variable_values)(len(v.nidxs), v.nidxs, r, bfix,
                                                                           bl if k == 0 else bu)
            r += len(v.nidxs)
    segs = ([(first, b) for b, lin, _, first, _ in offs if lin] + [(L, None)]
            + [(L + B + first, b) for b, lin, _, first, _ in offs if not lin])
    frows, fcols, fvals, fstarts = _split_and_transpose(segs, ptrb, bfix, bsubj[:B], bcof[:B], L, B, nrows, N + 1,
                                                        any(b.prog for b, *_ in offs))
    # constants routed apart: b = -bfix takes w C after the piece's own
    for b, lin, _, first, const in offs:
        if const is not None:
            c, w = const
            r0 = first if lin else L + B + first
            wc = np.empty(b.n, F64)
            kn.scaled_copy(wc, w, b.n, c)
            kn.difference(b.n, bfix[r0:r0 + b.n], wc, bfix[r0:r0 + b.n])
    bsubj = bsubj[:B]
    # parameter table: the non-constant programs of every row
    progs = [(b, conidxs[o:o + b.n] if lin else st.iota(np.zeros(b.n, I32), L + B + first))
             for b, lin, o, first, _ in offs if b.prog]
    table = _store_programs(progs, nrows)
    # objective: one row, each variable once in ascending order, laid out
    # dense over the variables 0 .. N (0: the constant); its parameter
    # entries in a table of their own, evaluated as a parameterized row
    oe = obj._e
    if oe.prog or oe.m > 1 and not (oe.nidxs[1:] > oe.nidxs[:-1]).all():
        # each variable once, in ascending order (as the dense row takes them)
        oe = st.merge(oe)
    OW = WStack([oe])
    op = OW.ops[0]
    qfull = np.zeros(N + 1, F64)
    kn.dense_rows(qfull, op.cof, 0, 1, op.nidxs, op.ptr, st.iota(np.zeros(N + 1, I32), 0), OW.f64, OW.i32, OW.i64)
    otable = _row_table(model, oe, qfull) if oe.prog else None
    # the conic runs of constraints: (constraints, first element, elements of each)
    conic = [(cons, first, n // len(cons)) for cons, parts, lin, first, cs, n in blocks if not lin]
    cones = lin_cones + ([("nonneg", B)] if B else []) + acc_cones
    ptable = None
    if Ptrip is None:
        P = compressed_columns(np.zeros(0, F64), np.zeros(0, I32), np.zeros(N + 1, I32), (N, N))
    else:
        colptr, rowidx, (pvals,) = _csc(Ptrip[0], Ptrip[1], [Ptrip[2]], N, N)
        # the values behind one leading slot, as the objective's (a parameter
        # entry at value position k is written to slot k + 1)
        pfull = np.zeros(len(pvals) + 1, F64)
        kn.copy_f64_run(0, len(pvals), 1, pfull, pvals)
        P = compressed_columns(pfull[1:], rowidx, colptr, (N, N))
        if Pweights:
            ptable = _quadratic_programs(model, Ptrip, Pweights, pfull, N)
    model._flat = dict(N=N, P=P, nrows=nrows, L=L, B=B, Bl=Bl, bsubj=bsubj, fixed=(frows, fcols, fvals, fstarts),
                      bfix=bfix[:nrows], table=table, otable=otable, ptable=ptable, qfull=qfull, cones=cones,
                      integer=_integer_columns(model, N))
    _acc_tables(model, conic)
    model._param_dirty = True

def _integer_columns(model, N):
    """The integer columns of the flat problem (bool per column), or None
    when no variable has an integer element: each variable's integer
    elements (`integer`, a bool per element, or None) at its columns."""
    marked = [v for v in model.variables if getattr(v, "integer", None) is not None]
    if not marked:
        return None
    out = np.zeros(N, bool)
    for v in marked:
        out[v.nidxs[v.integer.reshape(-1)] - 1] = True
    return out


def _quadratic_programs(model, Ptrip, weights, pfull, N):
    """The parameter table of the quadratic term's parameter entries: one
    row whose term k + 1 carries the programs of the entry at value
    position k (P's triplets stand at distinct positions, each part on
    columns of its own, so the values are the triplets in column order),
    evaluated like the objective's row."""
    order, _ = _column_order(Ptrip[0], Ptrip[1], N, N)
    slot = np.empty(len(order), I64)
    slot[order] = np.arange(1, len(order) + 1, dtype=I64)
    row = None
    for k0, entries in weights:
        k = entries.size
        if entries._A.nnz == 0:
            continue
        programs = ParamExpr(model, (k,), None, entries._A)
        z = Computed(st.identity(model, (k,), slot[k0:k0 + k], True))
        part = (programs * z).sum()
        row = part if row is None else row + part
    if row is None:
        return None
    t = _row_table(model, st.merge(row._e), pfull)
    if t is not None:
        t["pfull"] = pfull
    return t


def _row_table(model, e, full):
    """The parameter table of one parameterized row e laid out dense over
    `full` (the objective's q, or P's values by slot), or None when it
    carries no programs: the entries' positions, their values with the
    parameters at zero gathered into `full`, and minus those values (what
    an evaluation adds the parameters' part to)."""
    t = _store_programs([(e, np.zeros(1, I32))], 1)
    if t is None:
        return None
    n = t["count"]
    t["subj"], val = np.zeros(n, I32), np.zeros(n, F64)
    kn.evaluate_parameterized_rows(t["cconst"], t["code"], t["varidx"], t["rcp"], t["sizes"], 0, 1,
                                   np.zeros(max(model.nparams, 1), F64), t["ptrb"], t["ptre"], 0, 0, t["subj"], val,
                                   np.zeros(t["depth"], F64))
    t["negbase"] = np.zeros(n, F64)
    kn.gather(t["subj"], full, val)
    kn.scaled_copy(t["negbase"], -1.0, n, val)
    return t


def _store_programs(exprs, nrows):
    """The parameter table of the rows that carry programs: (expression, its
    solver rows) pairs, each expression on a W stack of its own."""
    count = total = 0
    progs = []
    for b, rows in exprs:
        W = WStack([b])
        progs.append((b, rows, W.ops[0], W))
    for b, rows, p, W in progs:
        count, total = kn.count_programs(p.code, p.codeptr, b.n, count, total, p.ptr, W.i32)
    if count == 0:
        return None
    ptrb = np.zeros(nrows, I32)
    ptre = np.zeros(nrows, I32)
    rcp = np.zeros(nrows, I32)
    tcode = np.zeros(total, I32)
    tconst = np.zeros(total, F64)
    sizes = np.zeros(count, I32)
    varidx = np.zeros(count, I64)
    pos = ent = 0
    for b, rows, p, W in progs:
        pos, ent = kn.reserve_programs(p.code, p.codeptr, pos, ent, rows, b.n, p.ptr, W.i32, rcp, ptrb, ptre)
    for b, rows, p, W in progs:
        kn.copy_programs(tconst, p.cconst, tcode, p.code, p.codeptr, rows, b.n, p.nidxs, True, sizes, varidx, p.ptr,
               W.f64, W.i32, W.i64, rcp, ptrb)
    return dict(count=count, code=tcode, cconst=tconst, sizes=sizes, varidx=varidx, rcp=rcp, ptrb=ptrb,
                ptre=ptre, depth=kn.largest_entry(1, sizes) + 1)

def _note_elements(model, cons, native, size):
    """Constraint j of `cons` owns elements j * size .. (j + 1) * size - 1
    of `native`: noted as (native, first, end) for the dual mapping."""
    m = len(cons)
    if size == 0:
        # constraints of no elements (a 0-size expression) own nothing
        model._native.update(zip(map(id, cons), itertools.repeat((native, 0, 0), m)))
        return
    model._native.update(zip(map(id, cons), zip(itertools.repeat(native, m), range(0, m * size, size),
                                                 range(size, (m + 1) * size, size))))


def _acc_tables(model, conic):
    """Element tables of the conic constraints (one per cone) for the dual
    mapping; constraint a begins at accptr[a] of the conic duals. The flat
    problem keeps the tables, not the constraints: it lies in the state
    that the constraints hold."""
    f = model._flat
    ncons = sum(len(cons) for cons, _, _ in conic)
    nel = sum(len(cons) * size for cons, _, size in conic)
    accptr = np.zeros(max(ncons, 1), I32)
    elm = dict(accid=np.zeros(max(nel, 1), I32), ofs=np.zeros(max(nel, 1), I32),
               afe=np.zeros(max(nel, 1), I32), scale=np.zeros(max(nel, 1), F64))
    L = f["L"] + f["B"]
    a = i = 0
    while i < len(conic):
        cons, e0, size = conic[i]
        c = cons[0]
        if c.kind == "psd":
            accptr[a] = e0
            kn.cone_element_tables(np.array([a], I32), elm["accid"], elm["afe"], elm["ofs"], elm["scale"],
                 st.iota(np.zeros(size, I32), e0), st.iota(np.zeros(size, I32), L + e0), size, 1)
            # k blocks of n x n, t elements each: element numbers at their
            # packed positions: off-diagonal scale; their complements
            # expanded to the full squares: native indices
            n, k = c.expr.shape[-1], len(c.cones)
            t = size // k if k else 0
            tri = np.zeros(size, I32)
            kn.scatter_packed_triangle(st.iota(np.zeros(size, I32), e0), tri, t, k, n, 1, n, 1, 0, False)
            kn.scale_off_diagonal(elm["scale"], tri, k, n, 1, n, 1, 0, 1 / SQRT2)
            kn.scatter_packed_triangle(st.complements(np.zeros(size, I32), e0), tri, t, k, n, 1, n, 1, 0, False)
            full = np.zeros(k * n * n, I32)
            kn.expand_packed_triangle(tri, t, k, n, 1, n, 1, full, False)
            _note_elements(model, cons, full, k * n * n)
            a += 1
            i += 1
            continue
        # consecutive runs of constraints of one size, their elements back
        # to back: the tables of all of them in one pass
        group = list(cons)
        i += 1
        while size and i < len(conic) and conic[i][0][0].kind != "psd" and conic[i][2] == size:
            group += conic[i][0]
            i += 1
        m = len(group)
        elems = st.iota(np.zeros(m * size, I32), e0)
        kn.cone_element_tables(st.iota(np.zeros(m, I32), a), elm["accid"], elm["afe"], elm["ofs"], elm["scale"],
             elems, st.iota(np.zeros(m * size, I32), L + e0), size, m)
        if size:
            kn.copy_i32_run(m, accptr, a, 0, elems[::size])
        else:
            accptr[a:a + m] = e0
        _note_elements(model, group, st.complements(np.zeros(m * size, I32), e0), size)
        a += m
    f["acc"] = (accptr, elm)

def _structure(model):
    """The solver's matrix once: fixed triplets and the parameter entries'
    positions merged into compressed columns (fixed values only), with the
    position of every parameter entry in the value array (or, for the
    constant column, in b) kept for the re-evaluations."""
    f = model._flat
    t = f["table"]
    nrows, N = f["nrows"], f["N"]
    # the scalar part is wanted once: b is its constants negated in place
    frows, fcols, fvals, fstarts = f.pop("fixed")
    b = f.pop("bfix")
    if nrows:
        kn.scaled_copy(b, -1.0, nrows, b)
    P = t["count"] if t is not None else 0
    if P:
        # the evaluator's (row, column) sequence is fixed by the table
        t["subi"], t["subj"], t["val"] = np.zeros(P, I32), np.zeros(P, I32), np.zeros(P, F64)
        t["stack"] = np.zeros(t["depth"], F64)
        kn.evaluate_programs(t["cconst"], t["code"], 0, t["sizes"], np.zeros(max(model.nparams, 1), F64), t["varidx"],
               t["rcp"], t["ptrb"], t["ptre"], 0, 0, t["subi"], t["subj"], t["val"], t["stack"])
        rows, cols = np.concatenate([frows, t["subi"]]), np.concatenate([fcols, t["subj"]])
        base = np.concatenate([fvals, np.zeros(P, F64)])
        mark = np.concatenate([np.zeros(len(fvals), F64), np.ones(P, F64)])
        colptr, rowidx, (vals, marks) = _csc(rows, cols, [base, mark], nrows, N + 1)
    elif fcols is None:
        # every position distinct, shown by the rows alone: the triplets are the columns
        colptr, rowidx, vals = fstarts, frows, fvals
    else:
        colptr, rowidx, (vals,) = _csc(frows, fcols, [fvals], nrows, N + 1, starts=fstarts)
    c0 = int(colptr[1])               # the constant column: parameter entries only
    A = compressed_columns(vals[c0:], rowidx[c0:], colptr[1:] - c0, (nrows, N))
    f["A"], f["b"] = A, b
    if P:
        # parameter entries in (column, row) order; each row holds a variable
        # once, so each entry has a merged position of its own: the marked ones
        t["order"], P0 = _column_order(t["subi"], t["subj"], nrows, N + 1)
        pos = np.zeros(P, I32)
        count = len(marks)
        kn.copy_nonzero_triplets(0, pos, st.iota(np.zeros(count, I32), 0), np.zeros(P, I32), rowidx, np.zeros(P, F64), marks)
        t["P0"], t["brows"] = P0, rowidx[:P0]
        t["bbase"] = np.zeros(P0, F64)
        kn.gather(t["brows"], b, t["bbase"])
        t["apos"] = np.zeros(P - P0, I32)
        kn.shift_pairs(P - P0, 0, pos[P0:], -c0, 0, t["apos"], np.zeros(P - P0, I32))
        t["anegbase"] = np.zeros(P - P0, F64)
        kn.gather(t["apos"], A.data, t["anegbase"])
        kn.scaled_copy(t["anegbase"], -1.0, P - P0, t["anegbase"])
        t["sorted"], t["new"] = np.zeros(P, F64), np.zeros(P, F64)

def _evaluate(model):
    """Parameter values through the program evaluator, scattered in place
    into the objective, the matrix's value array and b."""
    ref = model._ref
    f = ref._flat
    if "A" not in f:
        _structure(model)
    t, ot, pt = f["table"], f["otable"], f["ptable"]
    if t is not None or ot is not None or pt is not None:
        values = parameter_values(model)
    changed = f.get("changed")
    if changed is None:
        changed = f["changed"] = set()
    if "q" not in f:
        f["q"] = f["qfull"][1:]
    if pt is not None:
        changed.add("P")
        # the quadratic term's parameter entries: their programs plus the constant parts
        n = pt["count"]
        if "val" not in pt:
            pt["val"], pt["new"], pt["stack"] = np.zeros(n, F64), np.zeros(n, F64), np.zeros(pt["depth"], F64)
        kn.evaluate_parameterized_rows(pt["cconst"], pt["code"], pt["varidx"], pt["rcp"], pt["sizes"], 0, 1, values,
                                       pt["ptrb"], pt["ptre"], 0, 0, pt["subj"], pt["val"], pt["stack"])
        kn.difference(n, pt["val"], pt["negbase"], pt["new"])
        kn.scatter(pt["subj"], pt["pfull"], pt["new"])
    if ot is not None:
        changed.add("q")
        # objective: new parameter parts plus the fixed coefficients
        n = ot["count"]
        if "val" not in ot:             # the evaluation's arrays, kept for every re-evaluation
            ot["val"], ot["stack"] = np.zeros(n, F64), np.zeros(ot["depth"], F64)
            # entries of only some columns, or out of order: computed apart
            # and scattered (every column's, in order: written into q itself)
            whole = len(f["q"]) == n and np.array_equal(ot["subj"], np.arange(1, n + 1))
            ot["q"] = None if whole else np.zeros(n, F64)
        val, q = ot["val"], ot["q"]
        kn.evaluate_parameterized_rows(ot["cconst"], ot["code"], ot["varidx"], ot["rcp"], ot["sizes"], 0, 1, values, ot["ptrb"],
              ot["ptre"], 0, 0, ot["subj"], val, ot["stack"])
        if q is None:
            kn.difference(n, val, ot["negbase"], f["q"])
        else:
            kn.difference(n, val, ot["negbase"], q)
            kn.scatter(ot["subj"], f["qfull"], q)
    if t is not None:
        changed.update(("A", "b"))
        P, P0 = t["count"], t["P0"]
        kn.evaluate_programs(t["cconst"], t["code"], 0, t["sizes"], values, t["varidx"], t["rcp"], t["ptrb"], t["ptre"], 0, 0,
               t["subi"], t["subj"], t["val"], t["stack"])
        kn.gather(t["order"], t["val"], t["sorted"])
        new, srt = t["new"], t["sorted"]
        # constants: b = fixed part - parameter part; coefficients: fixed + parameter
        kn.difference(P0, t["bbase"], srt, new)
        kn.scatter(t["brows"], f["b"], new[:P0])
        kn.difference(P - P0, srt[P0:], t["anegbase"], new[P0:])
        kn.scatter(t["apos"], f["A"].data, new[P0:])
    ref._param_dirty = False


def parameter_values(model):
    """The parameter table's value vector (every parameter must have a value)."""
    ref = model._ref
    slots = ref.params
    for p in slots:
        if p.value is None:
            raise ParameterError(f"parameter {p.name} of shape {p.shape} has no value")
    if len(slots) == 1 and slots[0].size:
        # one parameter is the whole table: its value is the vector
        v = slots[0].value
        return v if v.ndim == 1 else v.reshape(-1)
    # the vector is kept with the flat problem for the next evaluation
    f = ref._flat
    n = max(sum(p.size for p in slots), 1)
    values = None if f is None else f.get("pvalues")
    if values is None or len(values) != n:
        values = np.zeros(n, F64)
        if f is not None:
            f["pvalues"] = values
    for p in slots:
        kn.copy_f64_run(0, p.size, p.base, values, p.value.reshape(-1))
    return values


def flat_problem(model):
    """(q, A, b, cones) of min 1/2 x'P x + q.x s.t. A x + s = b, s in cones:
    built once, re-evaluated in place when parameter values changed."""
    ref = model._ref
    if ref._flat is None:
        _build(model)
    if ref._param_dirty:
        _evaluate(model)
    f = ref._flat
    return f["q"], f["A"], f["b"], f["cones"]

