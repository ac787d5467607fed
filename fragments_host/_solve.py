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


def _csc(rows, cols, vals, nrows, ncols):
    """Triplets in column order with repeated positions summed: the counting,
    prefix, scatter and merge passes of the compressed-row kernels, run with
    the column as the major index. Returns (colptr, rowidx, values)."""
    nnz = len(vals)
    if nnz == 0:
        return np.zeros(ncols + 1, np.int64), np.zeros(0, I32), np.zeros(0, F64)
    rptr = np.zeros(ncols + 2, I64)
    cptr = np.zeros(nrows + 2, I64)
    K(117)(cptr, nnz, rptr, cols, rows)
    K(125)(ncols, rptr)
    K(122)(cptr, nrows)
    by_row = np.zeros(nnz, I32)
    K(123)(by_row, cptr, nnz, rows)
    order = np.zeros(nnz, I32)
    K(126)(by_row, cptr, nrows, order, rptr, cols)
    count = K(127)(nnz, 1, order, cols, rows)
    tcol, trow, tval = np.zeros(count, I32), np.zeros(count, I32), np.zeros(count, F64)
    e0 = order[0]
    tcol[0], trow[0], tval[0] = cols[e0], rows[e0], vals[e0]
    K(128)(1, nnz, order, cols, rows, tcol, trow, tval, vals)
    colptr = np.zeros(ncols + 2, I64)
    K(124)(count, colptr, tcol)
    K(125)(ncols + 1, colptr)
    return colptr[1:], trow, tval


def _row_triplets(ptrb, subj, cof, nrows, ncols):
    """Row indices of a compressed-row block by the transposing scatter."""
    nnz = int(ptrb[nrows])
    cptr = np.zeros(ncols + 2, I64)
    K(121)(cptr, nnz, subj)
    K(122)(cptr, ncols)
    rows, cols, vals = np.zeros(nnz, I32), np.zeros(nnz, I32), np.zeros(nnz, F64)
    K(120)(cptr[1:], nrows, ptrb.astype(I64), subj, rows, cols, vals, cof)
    return rows, cols, vals


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
        shape = () if shape == () else (tuple(shape) if not isinstance(shape, int) else (shape,))
        n = _ops._size(shape)
        nidxs = np.arange(self.nvars + 1, self.nvars + 1 + n, dtype=I64)
        self.nvars += n
        v = Variable(self, name or f"x{len(self.variables)}", shape, nidxs)
        self.variables.append(v)
        if nonneg:
            self.add(v >= 0.0)
        if lb is not None:
            self.add(v >= np.broadcast_to(np.asarray(lb, F64), shape))
        if ub is not None:
            self.add(v <= np.broadcast_to(np.asarray(ub, F64), shape))
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
        nrows = L + E
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
        # then the conic part (element e at row L + e); scalar part and
        # constants of each part's rows
        ptrb = np.zeros(nrows + 1, I32)
        subj = np.zeros(max(lt + ct, 1), I32)
        cof = np.zeros(max(lt + ct, 1), F64)
        bfix = np.zeros(max(nrows, 1), F64)
        K(76)(bfix, cof, 0, L, 0, xl, ptrb, lc, X, lv, subj)
        o = int(ptrb[L])
        K(76)(bfix[L:], cof[o:], 0, E, 0, xc, ptrb[L:], cc, X, cv, subj[o:])
        frows, fcols, fvals = _row_triplets(ptrb, subj, cof, nrows, N + 1)
        # parameter table: the non-constant programs of every row
        rows_of = []
        for (c, b, lin, first, cs), o in zip(blocks, offs):
            rows_of.append(conidxs[o:o + b.n] if lin else _ops.iota(np.zeros(b.n, I32), L + first))
        table = self._store_programs(W, [b for _, b, _, _, _ in blocks], rows_of, nrows)
        # objective
        obj = self.objective if self.sense == "minimize" else -self.objective
        if obj._e.prog:
            raise ValueError("the objective does not take parameters")
        OW = WStack([obj._e])
        op = OW.ops[0]
        optr = np.zeros(2, I32)
        osubj = np.zeros(max(obj._e.m, 1), I32)
        ocof = np.zeros(max(obj._e.m, 1), F64)
        ofix = np.zeros(1, F64)
        K(76)(ofix, ocof, op.cof, 1, op.nidxs, op.ptr, optr, OW.f64, OW.i32, OW.i64, osubj)
        qptr, qrow, qval = _csc(np.zeros(optr[1], I32), osubj[:optr[1]].copy(), ocof[:optr[1]].copy(), 1, N + 1)
        q = np.zeros(N + 1, F64)
        cols = np.repeat(np.arange(N + 1), np.diff(qptr))
        q[cols] = qval
        info = [(c, lin, first, b.n, cs) for c, b, lin, first, cs in blocks]
        self._flat = dict(N=N, nrows=nrows, L=L, fixed=(frows, fcols, fvals), bfix=bfix[:nrows], table=table,
                          q=q[1:], qfix=float(ofix[0]), cones=lin_cones + acc_cones, info=info)
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
        L = f["L"]
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

    def _evaluate(self):
        """Parameter values through the program evaluator, then the solver's matrix."""
        f = self._flat
        t = f["table"]
        frows, fcols, fvals = f["fixed"]
        b = -f["bfix"]
        if t is not None:
            for p in self.parameters:
                if p.value is None:
                    raise ParameterError(f"parameter {p.name} of shape {p.shape} has no value")
            values = np.zeros(max(self.nparams, 1), F64)
            for p in self.parameters:
                values[p.base:p.base + p.size] = p.value.reshape(-1)
            cnt = t["count"]
            subi, subj, val = np.zeros(cnt, I32), np.zeros(cnt, I32), np.zeros(cnt, F64)
            xf64 = np.zeros(t["depth"], F64)
            K(134)(t["cconst"], t["code"], 0, t["sizes"], values, t["varidx"], t["rcp"], t["ptrb"], t["ptre"], 0, 0,
                   subi, subj, val, xf64)
            frows, fcols, fvals = (np.concatenate([frows, subi]), np.concatenate([fcols, subj]),
                                   np.concatenate([fvals, val]))
        colptr, rowidx, vals = _csc(frows, fcols, fvals, f["nrows"], f["N"] + 1)
        c0 = int(colptr[1])
        b = b.copy()
        b[rowidx[:c0]] -= vals[:c0]          # parameter-dependent constants
        import scipy.sparse as sp
        A = sp.csc_matrix((vals[c0:], rowidx[c0:], colptr[1:] - c0), shape=(f["nrows"], f["N"]))
        f["A"], f["b"] = A, b
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
        obj = float(sol.obj_val) + self._flat["qfix"]
        self.value = obj if self.sense == "minimize" else -obj
        return self.value

    # -- solution
    def _var_value(self, v):
        res = np.zeros(v.size, F64)
        K(17)(v.size, v.full, 0, res, self._x)
        return res.reshape(v.shape)

    def _dual(self, c):
        """Duals of a constraint's elements: linear rows from the rows' duals,
        conic elements through the element tables."""
        native = self._native[id(c)]
        accptr, elm = self._flat["acc"]
        L = self._flat["L"]
        res = np.zeros(len(native), F64)
        K(16)(accptr, self._z[L:], elm["accid"], elm["ofs"], elm["scale"], len(native), native, 0, res,
              self._z[:L])
        if c.kind == "rsoc":
            s = res[:2].copy()
            res[0], res[1] = (s[0] + s[1]) / SQRT2, (s[0] - s[1]) / SQRT2
        return res.reshape(c.expr.shape)
