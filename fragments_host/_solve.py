"""The model: variables, parameters and constraints, translated into the
flat problem of a conic solver (A x + s = b, s in a product of cones) and
solved with Clarabel; the solution is mapped back with the mapping kernels."""
from __future__ import annotations

import math

import numpy as np

from . import _ops
from ._model import (Affine, Constraint, ParameterError, Parameter, ShapeError, SolverError, Variable, psd)
from ._stacks import F64, I32, I64, K, WStack

SQRT2 = math.sqrt(2.0)


def _column_order(rows, cols, nrows, ncols):
    """Entry numbers of triplets in (column, row) order, stable: the counting,
    prefix and two scatter passes of the compressed-row kernels, run with the
    column as the major index. Returns (order, end of column 0)."""
    nnz = len(rows)
    rptr = np.zeros(ncols + 2, I64)
    cptr = np.zeros(nrows + 2, I64)
    K(117)(cptr, nnz, rptr, cols, rows)
    K(125)(ncols, rptr)
    K(122)(cptr, nrows)
    by_row = np.zeros(max(nnz, 1), I32)
    K(123)(by_row, cptr, nnz, rows)
    order = np.zeros(max(nnz, 1), I32)
    K(126)(by_row, cptr, nrows, order, rptr, cols)
    return order[:nnz], int(rptr[1])


def _csc(rows, cols, vals, nrows, ncols):
    """Triplets in column order with repeated positions summed, once for every
    value array of vals (the same positions). Returns (colptr, rowidx,
    [values, ...])."""
    nnz = len(rows)
    if nnz == 0:
        return np.zeros(ncols + 1, np.int64), np.zeros(0, I32), [np.zeros(0, F64) for _ in vals]
    order, _ = _column_order(rows, cols, nrows, ncols)
    count = K(127)(nnz, 1, order, cols, rows)
    e0 = order[0]
    out = []
    for v in vals:
        tcol, trow, tval = np.zeros(count, I32), np.zeros(count, I32), np.zeros(count, F64)
        tcol[0], trow[0], tval[0] = cols[e0], rows[e0], v[e0]
        K(128)(1, nnz, order, cols, rows, tcol, trow, tval, v)
        out.append(tval)
    colptr = np.zeros(ncols + 2, I64)
    K(124)(count, colptr, tcol)
    K(125)(ncols + 1, colptr)
    return colptr[1:], trow, out


def _row_triplets(ptrb, subj, cof, nrows, ncols):
    """Row indices of a compressed-row block by the transposing scatter."""
    nnz = int(ptrb[nrows])
    cptr = np.zeros(ncols + 2, I64)
    K(121)(cptr, nnz, subj)
    K(122)(cptr, ncols)
    rows, cols, vals = np.zeros(nnz, I32), np.zeros(nnz, I32), np.zeros(nnz, F64)
    K(120)(cptr[1:], nrows, ptrb.astype(I64), subj, rows, cols, vals, cof)
    return rows, cols, vals


def _domain(given, shape, name, side):
    """One side of a variable's domain: None, ("scalar", value), ("dense",
    values) or ("sparse", multi-indices, values); shapes checked here."""
    if given is None:
        return None
    nd = len(shape)
    if isinstance(given, tuple) and len(given) == 2 and np.ndim(given[0]) == 2 and np.ndim(given[1]) == 1:
        idx = np.asarray(given[0], np.int64).reshape(-1, nd) if nd else np.zeros((0, 0), np.int64)
        val = np.ascontiguousarray(given[1], F64).reshape(-1)
        if nd == 0 or idx.shape[0] != val.shape[0]:
            raise ShapeError(f"{side} bound of {name} of shape {shape}: {idx.shape[0]} multi-indices with "
                             f"{val.shape[0]} values")
        if np.any(idx < 0) or np.any(idx >= np.asarray(shape)):
            raise IndexError(f"{side} bound of {name}: multi-index out of range for shape {shape}")
        return ("sparse", np.ascontiguousarray(idx, I32), val)
    val = np.asarray(given, F64)
    if val.ndim == 0:
        return ("scalar", val.reshape(1))
    if val.shape != shape:
        raise ShapeError(f"{side} bound of {name} of shape {shape} has shape {val.shape}")
    return ("dense", np.ascontiguousarray(val.reshape(-1)))


def _lay_bound(target, dom, shape):
    """One side of a domain laid out on the variable's elements: scalar, dense
    or sparse (both targets of the layout are the one side's vector)."""
    nd, n = len(shape), len(target)
    sh = np.asarray(shape if nd else (1,), I32)
    if dom[0] == "scalar":
        K(82)(target, target, False, dom[1], True, None, dom[1], nd, n, sh, 0)
    elif dom[0] == "dense":
        K(82)(target, target, False, dom[1], False, None, dom[1], nd, n, sh, 0)
    else:
        K(82)(target, target, False, dom[2], False, dom[1], dom[2], nd, n, sh, 0)


class Model:
    """A conic model stated through affine expressions on the kernels."""

    STATUSES = {"Solved": "optimal", "AlmostSolved": "optimal"}

    def __init__(self, name="model"):
        self.name = name
        self.nvars = 0                # scalar variables are numbered 1 .. nvars
        self.variables, self.parameters, self.constraints = [], [], []
        self.nparams = 0
        self.objective = None
        self.sense = "minimize"
        self._flat = None
        self._param_dirty = True
        self.status = None

    # -- statement
    def variable(self, shape=(), name=None, lb=None, ub=None, nonneg=False):
        """A variable of any shape with a domain: free (no bounds), nonneg=True
        (lower bound 0), or lb= / ub=, each a scalar for every element, an array
        of the variable's shape, or a sparse pair (multi-indices, values) whose
        unlisted elements stay unbounded."""
        shape = () if shape == () else (tuple(shape) if not isinstance(shape, int) else (shape,))
        n = _ops._size(shape)
        nidxs = np.arange(self.nvars + 1, self.nvars + 1 + n, dtype=I64)
        name = name or f"x{len(self.variables)}"
        if nonneg and lb is None:
            lb = 0.0
        bounds = (_domain(lb, shape, name, "lower"), _domain(ub, shape, name, "upper"))
        self.nvars += n
        v = Variable(self, name, shape, nidxs)
        v.bounds = bounds
        self.variables.append(v)
        self._flat = None
        return v

    def semidefinite(self, n, name=None):
        """A symmetric n x n variable constrained to be positive semidefinite;
        its n(n+1)/2 scalar elements are the packed lower triangle."""
        t = n * (n + 1) // 2
        packed = np.arange(self.nvars + 1, self.nvars + 1 + t, dtype=I32)
        self.nvars += t
        full = np.zeros(n * n, I32)
        K(89)(packed, t, 1, n, 1, n, 1, full, False)
        v = Variable(self, name or f"X{len(self.variables)}", (n, n), packed.astype(I64), full.astype(I64))
        self.variables.append(v)
        v.cone = self.add(psd(v))
        return v

    def parameter(self, shape=(), name=None, value=None):
        shape = () if shape == () else (tuple(shape) if not isinstance(shape, int) else (shape,))
        p = Parameter(self, name or f"p{len(self.parameters)}", shape, self.nparams)
        self.nparams += p.size
        self.parameters.append(p)
        if value is not None:
            p.value = value
        return p

    def add(self, *constraints):
        for c in constraints:
            if not isinstance(c, Constraint):
                raise TypeError(f"not a constraint: {c!r}")
            c.model = self
            self.constraints.append(c)
        self._flat = None
        return constraints[0] if len(constraints) == 1 else constraints

    def minimize(self, e):
        self._objective(e, "minimize")

    def maximize(self, e):
        self._objective(e, "maximize")

    def _objective(self, e, sense):
        if not isinstance(e, Affine):
            raise TypeError("the objective is an affine expression")
        if e.size != 1:
            raise ShapeError(f"the objective is a scalar, not of shape {e.shape}")
        self.objective, self.sense = e, sense
        self._flat = None

    def __repr__(self):
        lines = [f"{self.sense} {self.objective!r}", "subject to"]
        lines += [f"  {c!r}" for c in self.constraints]
        lines += [f"  {v.name}: shape {v.shape}" for v in self.variables]
        return "\n".join(lines)

    # -- translation
    def _rows_of(self, c):
        """The rows of a constraint as the solver takes them, and its cones."""
        e = c.expr
        if c.kind in ("zero", "nonneg"):
            return e.flatten(), [(c.kind, e.size)]
        if c.kind == "soc":
            return e, [("soc", e.size)]
        import scipy.sparse as sp
        if c.kind == "rsoc":
            # (u, v, x) -> ((u + v) / sqrt 2, (u - v) / sqrt 2, x): a second-order cone
            d = e.size
            T = sp.identity(d, format="lil")
            T[0, 0] = T[0, 1] = T[1, 0] = 1 / SQRT2
            T[1, 1] = -1 / SQRT2
            return Affine(_ops.left_matmul(T.tocsr(), e._e)), [("soc", d)]
        n = e.shape[0]
        S = e.sym()
        dim = np.array([1, n, 1, n, 1], I32)
        stride = np.array([0, 0, 0, 0, 1], I32)
        K(555)(dim, stride)
        lower = np.zeros(n * (n + 1) // 2, I64)
        K(558)(dim, 0, lower, 0, stride)
        rows = Affine(_ops.pick(S._e, lower, (len(lower),)))
        # off-diagonal entries of the packed triangle scaled by sqrt 2: the
        # triangle's positions in packed column order, then the scale pass
        t = len(lower)
        tri = np.zeros(t, I32)
        K(88)(_ops.iota(np.zeros(t, I32), 0), tri, t, 1, n, 1, n, 1, 0, False)
        scale = np.ones(t, F64)
        K(87)(scale, tri, 1, n, 1, n, 1, 0, SQRT2)
        return Affine(_ops.left_matmul(sp.diags(scale), rows._e)), [("psd", n)]

    def _build(self):
        if self.objective is None:
            raise ValueError("the model has no objective")
        N = self.nvars
        # every constraint's rows, negated (A x + s = b with s the expression);
        # rows that carry programs get each variable once per row, so that
        # every parameter entry has its own position in the solver's matrix
        blocks, lin_cones, acc_cones = [], [], []
        L = E = 0
        for c in self.constraints:
            r, cs = self._rows_of(c)
            neg = _ops.scale(r._e, -1.0)
            if neg.prog:
                neg = _ops.merge(neg)
            if c.kind in ("zero", "nonneg"):
                blocks.append((c, neg, True, L, cs))
                L += neg.n
                lin_cones += cs
            else:
                blocks.append((c, neg, False, E, cs))
                E += neg.n
                acc_cones += cs
        # variable domains: bounds laid out per scalar variable (unbounded
        # elements at -inf / +inf), one solver row per element of a bounded
        # side: -x + s = -lb and x + s = ub, s >= 0 (rows at infinity are
        # dropped by the solver)
        bl, bu = np.full(N + 1, -np.inf), np.full(N + 1, np.inf)
        sides = ([], [])
        for v in self.variables:
            for k, (dom, vec) in enumerate(zip(getattr(v, "bounds", (None, None)), (bl, bu))):
                if dom is not None:
                    v0 = int(v.nidxs[0])
                    _lay_bound(vec[v0:v0 + v.size], dom, v.shape)
                    sides[k].append(v)
        Bl = sum(v.size for v in sides[0])
        B = Bl + sum(v.size for v in sides[1])
        nrows = L + B + E
        W = WStack([b for _, b, _, _, _ in blocks])
        # element kinds: linear constraint rows numbered in order, conic
        # elements ~e numbered in order
        conidxs = np.zeros(max(nrows, 1), I32)
        self._native = {}
        offs, off = [], 0
        for c, b, lin, first, cs in blocks:
            seg = conidxs[off:off + b.n]
            (_ops.iota if lin else _ops.complements)(seg, first)
            if lin:
                self._native[id(c)] = seg
            offs.append(off)
            off += b.n
        # count pass: terms of the linear and of the conic part
        ct = lt = 0
        for (c, b, lin, first, cs), p, o in zip(blocks, W.ops, offs):
            ct, lt = K(34)(ct, conidxs[o:], lt, b.n, p.ptr, W.i32)
        # routing: row pointers of both parts on an X stack, each block's terms
        # appended to its part's terms
        X = np.zeros(nrows + 2, I32)
        xl, xc = 0, L + 1
        lrow, crow = np.zeros(max(L, 1), I32), np.zeros(max(E, 1), I32)
        lv, lc = np.zeros(max(lt, 1), I64), np.zeros(max(lt, 1), F64)
        cv, cc = np.zeros(max(ct, 1), I64), np.zeros(max(ct, 1), F64)
        cr = ct = lr = lt = 0
        for (c, b, lin, first, cs), p, o in zip(blocks, W.ops, offs):
            t0 = int(X[xl + lr]) if lin else int(X[xc + cr])
            cr, ct, lr, lt = K(35)(cr, ct, conidxs[o:], xc, crow, lr, lt, xl, lrow, b.n, p.ptr, W.i32, X)
            v64, vf = (lv, lc) if lin else (cv, cc)
            K(389)(p.nidxs, b.m, v64, t0, W.i64)
            K(390)(p.cof, b.m, t0, vf, W.f64)
        # solver rows: the linear part (row c is linear row c, as numbered),
        # the bound rows (lower sides, then upper sides), then the conic part
        # (element e at row L + B + e); scalar part and constants of each
        # part's rows (b = -bfix)
        ptrb = np.zeros(nrows + 1, I32)
        subj = np.zeros(max(lt + B + ct, 1), I32)
        cof = np.zeros(max(lt + B + ct, 1), F64)
        bfix = np.zeros(max(nrows, 1), F64)
        K(76)(bfix, cof, 0, L, 0, xl, ptrb, lc, X, lv, subj)
        o = int(ptrb[L])
        _ops.iota(ptrb[L + 1:L + B + 1], o + 1)
        K(579)(o, -1, B, 0, cof, ptrb)
        K(621)(cof[o:o + Bl], -1.0, Bl, cof[o:o + Bl])
        q, r = o, L
        for k, vs in enumerate(sides):
            for v in vs:
                q = K(14)(v.nidxs, q, subj)
                (K(17) if k == 0 else K(18))(v.size, v.nidxs, r, bfix, bl if k == 0 else bu)
                r += v.size
        bsubj = subj[o:o + B]
        o += B
        K(76)(bfix[L + B:], cof[o:], 0, E, 0, xc, ptrb[L + B:], cc, X, cv, subj[o:])
        frows, fcols, fvals = _row_triplets(ptrb, subj, cof, nrows, N + 1)
        # parameter table: the non-constant programs of every row
        rows_of = []
        for (c, b, lin, first, cs), o in zip(blocks, offs):
            rows_of.append(conidxs[o:o + b.n] if lin else _ops.iota(np.zeros(b.n, I32), L + B + first))
        table = self._store_programs(W, [b for _, b, _, _, _ in blocks], rows_of, nrows)
        # objective: one row, each variable once in ascending order, laid out
        # dense over the variables 0 .. N (0: the constant); its parameter
        # entries in a table of their own, evaluated as a parameterized row
        obj = self.objective if self.sense == "minimize" else -self.objective
        oe = _ops.merge(obj._e)
        OW = WStack([oe])
        op = OW.ops[0]
        qfull = np.zeros(N + 1, F64)
        K(41)(qfull, op.cof, 0, 1, op.nidxs, op.ptr, _ops.iota(np.zeros(N + 1, I32), 0), OW.f64, OW.i32, OW.i64)
        otable = self._store_programs(OW, [oe], [np.zeros(1, I32)], 1) if oe.prog else None
        if otable is not None:
            # the entries' variables, and minus their fixed coefficients
            n = otable["count"]
            otable["subj"], val = np.zeros(n, I32), np.zeros(n, F64)
            K(25)(otable["cconst"], otable["code"], otable["varidx"], otable["rcp"], otable["sizes"], 0, 1,
                  np.zeros(max(self.nparams, 1), F64), otable["ptrb"], otable["ptre"], 0, 0, otable["subj"], val,
                  np.zeros(otable["depth"], F64))
            otable["negbase"] = np.zeros(n, F64)
            K(101)(otable["subj"], qfull, val)
            K(621)(otable["negbase"], -1.0, n, val)
        info = [(c, lin, first, b.n, cs) for c, b, lin, first, cs in blocks]
        cones = lin_cones + ([("nonneg", B)] if B else []) + acc_cones
        self._flat = dict(N=N, nrows=nrows, L=L, B=B, Bl=Bl, bsubj=bsubj, fixed=(frows, fcols, fvals),
                          bfix=bfix[:nrows], table=table, otable=otable, qfull=qfull, cones=cones, info=info)
        self._acc_tables()
        self._param_dirty = True

    def _store_programs(self, W, exprs, rows_of, nrows):
        count = total = 0
        progs = [(b, rows, p) for b, rows, p in zip(exprs, rows_of, W.ops) if b.prog]
        for b, rows, p in progs:
            count, total = K(135)(p.code, p.codeptr, b.n, count, total, p.ptr, W.i32)
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
        for b, rows, p in progs:
            pos, ent = K(136)(p.code, p.codeptr, pos, ent, rows, b.n, p.ptr, W.i32, rcp, ptrb, ptre)
        for b, rows, p in progs:
            K(137)(tconst, p.cconst, tcode, p.code, p.codeptr, rows, b.n, p.nidxs, True, sizes, varidx, p.ptr,
                   W.f64, W.i32, W.i64, rcp, ptrb)
        return dict(count=count, code=tcode, cconst=tconst, sizes=sizes, varidx=varidx, rcp=rcp, ptrb=ptrb,
                    ptre=ptre, depth=K(6)(1, sizes) + 1)

    def _acc_tables(self):
        """Element tables of the conic constraints (one per cone) for the dual
        mapping; constraint a begins at accptr[a] of the conic duals."""
        f = self._flat
        conic = [(c, first, size) for c, lin, first, size, cs in f["info"] if not lin]
        nel = sum(size for _, _, size in conic)
        accptr = np.zeros(max(len(conic), 1), I32)
        elm = dict(accid=np.zeros(max(nel, 1), I32), ofs=np.zeros(max(nel, 1), I32),
                   afe=np.zeros(max(nel, 1), I32), scale=np.zeros(max(nel, 1), F64))
        L = f["L"] + f["B"]
        for a, (c, e0, size) in enumerate(conic):
            accptr[a] = e0
            K(4)(np.array([a], I32), elm["accid"], elm["afe"], elm["ofs"], elm["scale"],
                 _ops.iota(np.zeros(size, I32), e0), _ops.iota(np.zeros(size, I32), L + e0), size, 1)
            if c.kind == "psd":
                n = c.expr.shape[0]
                # element numbers at their packed positions: off-diagonal scale;
                # their complements expanded to the full square: native indices
                tri = np.zeros(size, I32)
                K(88)(_ops.iota(np.zeros(size, I32), e0), tri, size, 1, n, 1, n, 1, 0, False)
                K(87)(elm["scale"], tri, 1, n, 1, n, 1, 0, 1 / SQRT2)
                K(88)(_ops.complements(np.zeros(size, I32), e0), tri, size, 1, n, 1, n, 1, 0, False)
                full = np.zeros(n * n, I32)
                K(89)(tri, size, 1, n, 1, n, 1, full, False)
                self._native[id(c)] = full
            else:
                self._native[id(c)] = _ops.complements(np.zeros(size, I32), e0)
        f["acc"] = (accptr, elm)

    def _structure(self):
        """The solver's matrix once: fixed triplets and the parameter entries'
        positions merged into compressed columns (fixed values only), with the
        position of every parameter entry in the value array (or, for the
        constant column, in b) kept for the re-evaluations."""
        f = self._flat
        t = f["table"]
        nrows, N = f["nrows"], f["N"]
        frows, fcols, fvals = f["fixed"]
        b = np.zeros(max(nrows, 1), F64)
        K(621)(b, -1.0, nrows, f["bfix"])
        b = b[:nrows]
        P = t["count"] if t is not None else 0
        if P:
            # the evaluator's (row, column) sequence is fixed by the table
            t["subi"], t["subj"], t["val"] = np.zeros(P, I32), np.zeros(P, I32), np.zeros(P, F64)
            t["stack"] = np.zeros(t["depth"], F64)
            K(134)(t["cconst"], t["code"], 0, t["sizes"], np.zeros(max(self.nparams, 1), F64), t["varidx"],
                   t["rcp"], t["ptrb"], t["ptre"], 0, 0, t["subi"], t["subj"], t["val"], t["stack"])
            rows, cols = np.concatenate([frows, t["subi"]]), np.concatenate([fcols, t["subj"]])
            base = np.concatenate([fvals, np.zeros(P, F64)])
            mark = np.concatenate([np.zeros(len(fvals), F64), np.ones(P, F64)])
        else:
            rows, cols, base, mark = frows, fcols, fvals, np.zeros(len(fvals), F64)
        colptr, rowidx, (vals, marks) = _csc(rows, cols, [base, mark], nrows, N + 1)
        c0 = int(colptr[1])               # the constant column: parameter entries only
        import scipy.sparse as sp
        A = sp.csc_matrix((vals[c0:], rowidx[c0:], colptr[1:] - c0), shape=(nrows, N))
        f["A"], f["b"] = A, b
        if P:
            # parameter entries in (column, row) order; each row holds a variable
            # once, so each entry has a merged position of its own: the marked ones
            t["order"], P0 = _column_order(t["subi"], t["subj"], nrows, N + 1)
            pos = np.zeros(P, I32)
            count = len(marks)
            K(647)(0, pos, _ops.iota(np.zeros(count, I32), 0), np.zeros(P, I32), rowidx, np.zeros(P, F64), marks)
            t["P0"], t["brows"] = P0, rowidx[:P0]
            t["bbase"] = np.zeros(P0, F64)
            K(101)(t["brows"], b, t["bbase"])
            t["apos"] = np.zeros(P - P0, I32)
            K(637)(P - P0, 0, pos[P0:], -c0, 0, t["apos"], np.zeros(P - P0, I32))
            t["anegbase"] = np.zeros(P - P0, F64)
            K(101)(t["apos"], A.data, t["anegbase"])
            K(621)(t["anegbase"], -1.0, P - P0, t["anegbase"])
            t["sorted"], t["new"] = np.zeros(P, F64), np.zeros(P, F64)

    def _evaluate(self):
        """Parameter values through the program evaluator, scattered in place
        into the objective, the matrix's value array and b."""
        f = self._flat
        if "A" not in f:
            self._structure()
        t, ot = f["table"], f["otable"]
        if t is not None or ot is not None:
            for p in self.parameters:
                if p.value is None:
                    raise ParameterError(f"parameter {p.name} of shape {p.shape} has no value")
            values = np.zeros(max(self.nparams, 1), F64)
            for p in self.parameters:
                K(102)(_ops.iota(np.zeros(p.size, I32), p.base), values, np.ascontiguousarray(p.value.reshape(-1)))
        if ot is not None:
            # objective: new parameter parts plus the fixed coefficients
            n = ot["count"]
            val, q = np.zeros(n, F64), np.zeros(n, F64)
            K(25)(ot["cconst"], ot["code"], ot["varidx"], ot["rcp"], ot["sizes"], 0, 1, values, ot["ptrb"],
                  ot["ptre"], 0, 0, ot["subj"], val, np.zeros(ot["depth"], F64))
            K(24)(n, val, ot["negbase"], q)
            K(102)(ot["subj"], f["qfull"], q)
        if t is not None:
            P, P0 = t["count"], t["P0"]
            K(134)(t["cconst"], t["code"], 0, t["sizes"], values, t["varidx"], t["rcp"], t["ptrb"], t["ptre"], 0, 0,
                   t["subi"], t["subj"], t["val"], t["stack"])
            K(101)(t["order"], t["val"], t["sorted"])
            new, srt = t["new"], t["sorted"]
            # constants: b = fixed part - parameter part; coefficients: fixed + parameter
            K(24)(P0, t["bbase"], srt, new)
            K(102)(t["brows"], f["b"], new[:P0])
            K(24)(P - P0, srt[P0:], t["anegbase"], new[P0:])
            K(102)(t["apos"], f["A"].data, new[P0:])
        f["q"] = f["qfull"][1:]
        self._param_dirty = False

    def flat_problem(self):
        """(q, A, b, cones) of min q.x s.t. A x + s = b, s in cones."""
        if self._flat is None:
            self._build()
        if self._param_dirty:
            self._evaluate()
        f = self._flat
        return f["q"], f["A"], f["b"], f["cones"]

    def solve(self, verbose=False):
        import clarabel
        import scipy.sparse as sp
        q, A, b, cones = self.flat_problem()
        kinds = {"zero": clarabel.ZeroConeT, "nonneg": clarabel.NonnegativeConeT, "soc": clarabel.SecondOrderConeT,
                 "psd": clarabel.PSDTriangleConeT}
        cl = [kinds[k](n) for k, n in cones]
        settings = clarabel.DefaultSettings()
        settings.verbose = verbose
        settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = 1e-10
        N = self._flat["N"]
        solver = clarabel.DefaultSolver(sp.csc_matrix((N, N)), q, A, b, cl, settings)
        sol = solver.solve()
        status = str(sol.status)
        if status not in self.STATUSES:
            raise SolverError(f"solver status {status}")
        self.status = self.STATUSES[status]
        self._x = np.concatenate([[0.0], np.asarray(sol.x, F64)])
        self._z = np.asarray(sol.z, F64)
        self._bound_duals()
        obj = float(sol.obj_val) + float(self._flat["qfull"][0])
        self.value = obj if self.sense == "minimize" else -obj
        return self.value

    # -- solution
    def _bound_duals(self):
        """Duals of the bound rows onto the scalar variables: lower (slx),
        upper (sux) and their difference (yx)."""
        f = self._flat
        N, L, B, Bl = f["N"], f["L"], f["B"], f["Bl"]
        slx, sux, yx = np.zeros(N + 1, F64), np.zeros(N + 1, F64), np.zeros(N + 1, F64)
        K(102)(f["bsubj"][:Bl], slx, self._z[L:L + Bl])
        K(102)(f["bsubj"][Bl:B], sux, self._z[L + Bl:L + B])
        K(23)(N + 1, slx, sux, yx)
        self._slx, self._sux, self._yx = slx, sux, yx
        self._vacc = np.full(N + 1, -1, I32)      # no variable element sits directly in a cone

    def _var_dual(self, v, which):
        res = np.zeros(v.size, F64)
        if which == "lower":
            K(17)(v.size, v.full, 0, res, self._slx)
        elif which == "upper":
            K(17)(v.size, v.full, 0, res, self._sux)
        else:
            accptr, _ = self._flat["acc"]
            K(20)(accptr, None, None, v.size, v.full, 0, res, self._vacc, self._vacc, self._yx)
        return res.reshape(v.shape)

    def _var_value(self, v):
        res = np.zeros(v.size, F64)
        K(17)(v.size, v.full, 0, res, self._x)
        return res.reshape(v.shape)

    def _dual(self, c):
        """Duals of a constraint's elements: linear rows from the rows' duals,
        conic elements through the element tables."""
        native = self._native[id(c)]
        f = self._flat
        accptr, elm = f["acc"]
        L, B = f["L"], f["B"]
        res = np.zeros(len(native), F64)
        K(16)(accptr, self._z[L + B:], elm["accid"], elm["ofs"], elm["scale"], len(native), native, 0, res,
              self._z[:L])
        if c.kind == "rsoc":
            s = res[:2].copy()
            res[0], res[1] = (s[0] + s[1]) / SQRT2, (s[0] - s[1]) / SQRT2
        return res.reshape(c.expr.shape)
