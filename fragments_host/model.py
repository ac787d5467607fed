"""The statement of a model: its variables, parameters, constraints and
objective. Everything a user states is checked here, before any kernel runs:
a part of another model, a truth value of a constraint, an objective that is
not a scalar or not of the right curvature, bounds that are not numbers.

The model's state is read-only from outside (tuples and properties): it
changes through its methods only (`variable`, `add`, `remove`, `minimize`,
...), each of which drops exactly what the change makes stale (the flat
problem, the kept solver, the last solution). The model holds its parts;
they hold it through one weak reference, so a model dropped by the user is
freed at once, without waiting for the cycle collector."""
from __future__ import annotations

import copy
import math
import numbers
import weakref

import numpy as np

from . import data, pickling, translate
from . import solver as _solver
from . import stacks as st
from . import kernels as kn
from .constraints import Constraint, psd
from .errors import DataError, ModelError, ShapeError
from .expressions import Affine, ModelState, ParamExpr, Parameter, Variable, as_shape, constant_of, same_model
from .functions import Expression, FunctionConstraint, Quadratic
from .names import const_text
from .reductions import constraints_of, objective_of
from .stacks import I32, I64
from .terms import ConeBlock, RowBlock, TermCone, TermRow


def _domain(given, shape, name, side):
    """One side of a variable's domain: None, ("scalar", value), ("dense",
    values) or ("sparse", multi-indices, values); shapes checked here."""
    if given is None:
        return None
    if (type(given) is float or type(given) is int) and -math.inf < given < math.inf:
        # a finite number: the same bound for every element
        return ("scalar", np.array([float(given)]))
    nd = len(shape)
    what = f"the {side} bound of {name}"
    if isinstance(given, tuple) and len(given) == 2 and np.ndim(given[0]) == 2 and np.ndim(given[1]) == 1:
        idx = data.indices(given[0], f"the multi-indices of {what}")
        idx = idx.reshape(-1, nd) if nd else np.zeros((0, 0), np.int64)
        val = np.ascontiguousarray(_bound_values(given[1], what, side)).reshape(-1)
        if nd == 0 or idx.shape[0] != val.shape[0]:
            raise ShapeError(f"{side} bound of {name} of shape {shape}: {idx.shape[0]} multi-indices with "
                             f"{val.shape[0]} values")
        if np.any(idx < 0) or np.any(idx >= np.asarray(shape)):
            raise IndexError(f"{side} bound of {name}: multi-index out of range for shape {shape}")
        return ("sparse", np.ascontiguousarray(idx, I32), val)
    val = _bound_values(given, what, side)
    if val.ndim == 0:
        return ("scalar", val.reshape(1))
    if val.shape != shape:
        raise ShapeError(f"{side} bound of {name} of shape {shape} has shape {val.shape}")
    return ("dense", np.ascontiguousarray(val.reshape(-1)))


def _bounds_text(v):
    """A variable's domain as written in the model's listing: ", lb <= x <=
    ub" (a side without a bound left out, a sparse side by its count)."""
    sides = []
    for dom in getattr(v, "bounds", (None, None)):
        if dom is None:
            sides.append(None)
        elif dom[0] == "scalar":
            sides.append(const_text(dom[1][0]))
        elif dom[0] == "dense":
            sides.append(const_text(dom[1].reshape(v.shape)))
        else:
            sides.append(f"({len(dom[2])} entries)")
    lo, hi = sides
    if lo is None and hi is None:
        return ""
    return ", " + (f"{lo} <= " if lo is not None else "") + v.name + (f" <= {hi}" if hi is not None else "")


def _bound_values(given, what, side):
    """Bound values: numbers, NaN refused; an infinite value on its own side
    (-inf below, +inf above) means no bound there, one on the other side
    leaves the variable no value and is refused."""
    if type(given) is float and -math.inf < given < math.inf:
        return np.array(given)
    val = data.real(given, what, infinite=True)
    wrong = val == (np.inf if side == "lower" else -np.inf)
    if wrong.any():
        raise DataError(f"{what} is {'+inf' if side == 'lower' else '-inf'} at {data._first_bad(wrong)}: no value "
                        f"lies {'above' if side == 'lower' else 'below'} it (an infinite bound means no bound on "
                        f"its side: {'-inf' if side == 'lower' else '+inf'})")
    return val


def _sides(name, lb, ub, nonneg, nonpos, bounds):
    """The lower and upper bound a variable is given: lb= / ub=, bounds=(lb,
    ub), nonneg=True (0 below), nonpos=True (0 above); two statements of
    one side are refused rather than one of them silently dropped."""
    if nonneg and nonpos:
        raise ModelError(f"variable {name} is declared nonneg and nonpos: a variable is one or the other (a "
                         "variable fixed at 0 is stated with a constraint x == 0)")
    if bounds is not None:
        if lb is not None or ub is not None:
            raise ModelError(f"variable {name} is given bounds= and lb= / ub=: state its bounds one way")
        if not isinstance(bounds, (tuple, list)) or len(bounds) != 2:
            raise TypeError(f"bounds of variable {name} is a pair (lb, ub), None for an open side; not {bounds!r}")
        lb, ub = bounds
    if nonneg and lb is not None:
        raise ModelError(f"variable {name} is declared nonneg (lower bound 0) and given a lower bound: state one")
    if nonpos and ub is not None:
        raise ModelError(f"variable {name} is declared nonpos (upper bound 0) and given an upper bound: state one")
    return (0.0 if nonneg else lb), (0.0 if nonpos else ub)


def _integer_elements(given, shape, name, what):
    """The elements declared integer (or boolean): a bool per element of the
    shape, or None; `given` is True / False or a list of multi-indices."""
    if given is False or given is None:
        return None
    n = st.size_of(shape)
    if given is True:
        return np.ones(n, bool)
    if isinstance(given, (bool, np.bool_)):
        return np.ones(n, bool) if given else None
    if not isinstance(given, (list, tuple)):
        raise TypeError(f"{what}= of variable {name} is True, False or a list of multi-indices, not {given!r}")
    nd = len(shape)
    try:
        idx = np.asarray([tuple(np.atleast_1d(i)) for i in given], dtype=np.int64).reshape(len(given), nd)
    except (TypeError, ValueError):
        raise ShapeError(f"{what}= of variable {name} of shape {shape}: a list of multi-indices of {nd} entries "
                         f"each, not {given!r}") from None
    if np.any(idx < 0) or np.any(idx >= np.asarray(shape, dtype=np.int64)):
        raise IndexError(f"{what}= of variable {name}: a multi-index out of range for shape {shape}")
    out = np.zeros(n, bool)
    if len(idx):
        out[np.ravel_multi_index(tuple(idx.T), shape)] = True
    return out


def _packed_domain(dom, shape, cols, size, name, side):
    """One side of a symmetric variable's domain on its packed columns
    (`cols`: the packed column, from 0, of each of the variable's
    positions): a scalar as it is; an array, which must be symmetric, taken
    at the packed columns."""
    if dom is None or dom[0] == "scalar":
        return dom
    if dom[0] == "sparse":
        raise ModelError(f"the {side} bound of the symmetric variable {name} is a scalar or a symmetric array, "
                         "not a sparse pair (bound single elements with constraints)")
    vals = data.symmetric(dom[1].reshape(shape), f"the {side} bound of {name}")
    out = np.zeros(size, np.float64)
    kn.scatter(cols, out, vals.reshape(-1))
    return ("dense", out)


class Model:
    """A conic model stated through affine expressions on the kernels and
    solved with Clarabel.

    After `solve()`: `status` is one of "optimal", "optimal_inaccurate",
    "infeasible", "infeasible_inaccurate", "unbounded",
    "unbounded_inaccurate", "user_limit", "solver_error"; `value` is the
    objective (+inf / -inf for an infeasible / unbounded minimisation, the
    other way round for a maximisation, None when the solver failed);
    `solver_stats` holds the solver's own figures."""

    def __init__(self, name="model"):
        self._ref = ModelState(self, name)    # what its parts hold (see ModelState)
        self._nvars = 0               # scalar variables are numbered 1 .. nvars
        self._variables, self._parameters, self._constraints = [], [], []
        self._nparams = 0
        self._obj = None
        self._sense = "minimize"
        self._flat = None
        self._param_dirty = True
        self._solver = None
        self._status = self._value = self._solver_stats = self._solver_output = None
        self._sol = None
        self._objective_rows = []     # auxiliary constraints of the objective's functions
        self._groups = {}             # id(function constraint) -> (it, the constraints it became)

    # -- pickling and copying (the state's part: pickling.py)
    def __getstate__(self):
        """Everything but the kept solver (a solver's own object, set up again
        by the next solve) and what was chosen with it."""
        d = dict(self.__dict__)
        for k in ("_solver", "_solver_key", "_solver_base"):
            d.pop(k, None)
        d["_solver_output"] = pickling.without_solver(d.get("_solver_output"))
        d["_groups"] = list(self._groups.values())
        return d

    def __setstate__(self, d):
        d = dict(d)
        groups = d.pop("_groups")
        self.__dict__.update(d)
        self._groups = {id(c): (c, became) for c, became in groups}
        self._solver = self._solver_key = None

    def __copy__(self):
        # a model shares nothing with its copy: a shallow copy would share
        # its lists and its state with the original
        return copy.deepcopy(self)

    # what the parts share lies in the state: the name, the flat problem,
    # the last solution
    name = property(lambda self: self._ref.name, lambda self, v: setattr(self._ref, "name", v))
    _flat = property(lambda self: self._ref._flat, lambda self, v: setattr(self._ref, "_flat", v))
    _sol = property(lambda self: self._ref._sol, lambda self, v: setattr(self._ref, "_sol", v))
    _native = property(lambda self: self._ref._native, lambda self, v: setattr(self._ref, "_native", v))
    _param_dirty = property(lambda self: self._ref._param_dirty,
                            lambda self, v: setattr(self._ref, "_param_dirty", v))

    # -- the state, read-only: it changes through the methods below
    variables = property(lambda self: tuple(self._variables), doc="The model's variables, in order.")
    parameters = property(lambda self: tuple(self._parameters), doc="The model's parameters, in order.")
    constraints = property(lambda self: tuple(self._listed()),
                           doc="The constraints the solver takes (a function constraint's reduction included).")
    objective = property(lambda self: self._obj, doc="The objective (set by minimize / maximize).")
    sense = property(lambda self: self._sense, doc='"minimize" or "maximize" (set by minimize / maximize).')
    status = property(lambda self: self._status, doc="The status word of the last solve (None before).")
    value = property(lambda self: self._value, doc="The objective's value at the last solve (None before).")
    solver_stats = property(lambda self: self._solver_stats, doc="The solver's figures of the last solve.")
    solver_output = property(lambda self: self._solver_output, doc="The solver's own vectors of the last solve.")
    nvars = property(lambda self: self._nvars, doc="Scalar variables (solver columns) so far.")
    nparams = property(lambda self: self._nparams, doc="Scalar parameter entries so far.")

    # -- statement
    def variable(self, shape=(), name=None, lb=None, ub=None, nonneg=False, nonpos=False, bounds=None,
                 symmetric=False, PSD=False, NSD=False, integer=False, boolean=False):
        """A variable of any shape with a domain: free (no bounds), nonneg=True
        (lower bound 0), nonpos=True (upper bound 0), lb= / ub= or bounds=(lb,
        ub) (None for an open side), each bound a scalar for every element, an
        array of the variable's shape, or a sparse pair (multi-indices, values)
        whose unlisted elements stay unbounded.

        symmetric=True, PSD=True (positive semidefinite) and NSD=True (negative
        semidefinite) take a square shape (n, n), or (..., n, n) for a batch of
        n x n blocks, each block symmetric (PSD / NSD: each block constrained,
        the constraint in `cone`); the scalar elements of each block are its
        packed lower triangle, so X[i, j] and X[j, i] are one solver column.

        integer=True makes every element integer, boolean=True every element
        integer in [0, 1] (no other bounds with it; nonneg=True is allowed);
        either may instead be a list of multi-indices, as CVXPY's
        `integer=[(0,), (2,)]`, for those elements only."""
        shape = as_shape(shape, "the shape of a variable")
        if any(s < 0 for s in shape):
            raise ShapeError(f"a variable's shape has no negative extent: {shape}")
        name = name or f"x{len(self._variables)}"
        if not (symmetric or PSD or NSD or integer is not False or boolean is not False or bounds is not None
                or (nonneg and lb is not None) or (nonpos and ub is not None) or (nonneg and nonpos)):
            # the common statement: a plain variable, its sides numbers or arrays
            return self._plain(shape, name, 0.0 if nonneg else lb, 0.0 if nonpos else ub, nonneg, nonpos)
        structure = [w for w, on in (("symmetric", symmetric), ("PSD", PSD), ("NSD", NSD)) if on]
        if len(structure) > 1:
            raise ModelError(f"variable {name} is declared {' and '.join(structure)}: a variable is one of "
                             "symmetric, PSD or NSD (PSD and NSD variables are symmetric)")
        ints = _integer_elements(integer, shape, name, "integer")
        bools = _integer_elements(boolean, shape, name, "boolean")
        if (ints is not None or bools is not None) and structure:
            raise ModelError(f"variable {name} is declared {structure[0]} and integer/boolean: a symmetric or "
                             "semidefinite variable has no integer elements")
        if bools is not None:
            given = [w for w, on in (("lb", lb is not None), ("ub", ub is not None), ("bounds", bounds is not None),
                                     ("nonpos", nonpos)) if on]
            if given:
                raise ModelError(f"variable {name} is declared boolean (bounds [0, 1]) and given {', '.join(given)}: "
                                 "a boolean element's bounds are 0 and 1 (state others with constraints)")
            if boolean is True:
                lb, ub = 0.0, 1.0
            else:
                at = np.argwhere(bools.reshape(shape))
                ub = (at, np.ones(len(at)))
                if not nonneg:
                    lb = (at, np.zeros(len(at)))
            ints = bools if ints is None else (ints | bools)
        lb, ub = _sides(name, lb, ub, nonneg, nonpos, bounds)
        if structure:
            return self._packed(shape, name, structure[0], lb, ub)
        return self._plain(shape, name, lb, ub, nonneg, nonpos, ints)

    def _plain(self, shape, name, lb, ub, nonneg, nonpos, ints=None):
        """A variable of fresh columns, its sides given (None: open)."""
        n = st.size_of(shape)
        nidxs = np.arange(self._nvars + 1, self._nvars + 1 + n, dtype=I64)
        bounds = (_domain(lb, shape, name, "lower"), _domain(ub, shape, name, "upper"))
        self._nvars += n
        v = Variable(self, name, shape, nidxs)
        v.bounds = bounds
        v.nonneg, v.nonpos, v.structure = bool(nonneg), bool(nonpos), None
        v.integer = ints if ints is not None and ints.any() else None
        self._variables.append(v)
        self._ref.signs.append((int(nidxs[0]) if n else 0, n, v.sign))
        self._changed()
        return v

    def semidefinite(self, n, name=None):
        """A symmetric n x n variable constrained to be positive semidefinite
        (the same as `variable((n, n), PSD=True)`); its n(n+1)/2 scalar
        elements are the packed lower triangle. A shape (n, n), or (k, n, n)
        for k such blocks, may stand for n."""
        if isinstance(n, (tuple, list)):
            shape = as_shape(tuple(n), "the shape of a semidefinite variable")
        else:
            n = data.size(n, "the size of a semidefinite variable")
            if n < 0:
                raise ShapeError(f"a semidefinite variable has no negative size: {n}")
            shape = (n, n)
        return self._packed(shape, name or f"X{len(self._variables)}", "PSD", None, None)

    def _packed(self, shape, name, structure, lb, ub):
        """A symmetric variable (structure "symmetric", "PSD" or "NSD") of
        shape (..., n, n): each block's columns are its packed lower
        triangle, `full` maps the block's n*n positions to them; a PSD
        block is constrained psd, an NSD block's negation is."""
        what = {"symmetric": "symmetric", "PSD": "positive semidefinite", "NSD": "negative semidefinite"}[structure]
        if len(shape) < 2 or shape[-1] != shape[-2] or any(s < 0 for s in shape):
            raise ShapeError(f"a {what} variable is square: shape (n, n), or (k, n, n) for k blocks of n x n; "
                             f"{name} has shape {shape}")
        n, k = shape[-1], st.size_of(shape[:-2])
        t = n * (n + 1) // 2
        packed = np.arange(self._nvars + 1, self._nvars + 1 + k * t, dtype=I32)
        full = np.zeros(k * n * n, I32)
        if k * n:
            kn.expand_packed_triangle(packed, t, k, n, 1, n, 1, full, False)
        cols = full - np.int32(self._nvars + 1)
        bounds = tuple(_packed_domain(_domain(b, shape, name, side), shape, cols, k * t, name, side)
                       for b, side in ((lb, "lower"), (ub, "upper")))
        self._nvars += k * t
        v = Variable(self, name, shape, packed.astype(I64), full.astype(I64))
        v.bounds = bounds
        v.nonneg, v.nonpos, v.structure = False, False, structure
        self._variables.append(v)
        self._ref.signs.append((int(packed[0]) if k * t else 0, k * t, v.sign))
        if structure != "symmetric" and k * n:
            # held weakly by the variable: the model holds the constraint,
            # which holds the variable
            c = psd(v, f"{name} >> 0") if structure == "PSD" else psd(-v, f"{name} << 0")
            v._cone = weakref.ref(self.add(c))
        else:
            self._changed()
        return v

    def parameter(self, shape=(), name=None, value=None, nonneg=False, nonpos=False):
        """A parameter; nonneg=True or nonpos=True declares its sign (every
        value set is checked), which lets it multiply a convex function."""
        shape = as_shape(shape, "the shape of a parameter")
        if any(s < 0 for s in shape):
            raise ShapeError(f"a parameter's shape has no negative extent: {shape}")
        if nonneg and nonpos:
            raise ModelError("a parameter is declared nonneg or nonpos, not both")
        p = Parameter(self, name or f"p{len(self._parameters)}", shape, self._nparams)
        if nonneg or nonpos:
            p.sign = "nonnegative" if nonneg else "nonpositive"
        self._nparams += p.size
        self._parameters.append(p)
        if value is not None:
            p.value = value
        self._changed()
        return p

    def add(self, *constraints):
        """Adds constraints (each checked: a constraint, of this model, not
        added to another model) and returns them (the one constraint when
        given one; `m.add(*[])` adds nothing)."""
        if len(constraints) == 1:
            c = constraints[0]
            t = type(c)
            if (t is TermRow or t is TermCone) and c._mref is None and c._model is self._ref:
                # one scalar row or cone, the way they come stated element
                # by element
                self._add_to_run(c)
                if self._solver is not None or self._ref._flat is not None or self._status is not None:
                    self._changed()
                return c
        elif not constraints:
            return ()
        for c in constraints:
            if isinstance(c, FunctionConstraint):
                if c._expr_model is not self._ref:
                    raise ModelError(f"constraint {c!r} belongs to another model ('{c._expr_model.name}') than "
                                     f"this one ('{self.name}')")
                if c._mref is not None and c._mref is not self._ref:
                    raise ModelError(f"constraint {c!r} was added to model '{c._mref.name}' already")
                continue
            if isinstance(c, (bool, np.bool_)):
                raise ModelError("add() was given a truth value, not a constraint: a comparison of two plain "
                                 "numbers or arrays, or of an expression with itself (==)")
            if not isinstance(c, Constraint):
                raise TypeError(f"not a constraint: {c!r}")
            if c.expr._model is not self._ref:
                raise ModelError(f"constraint {c!r} belongs to another model ('{c.expr._model.name}') than this "
                                 f"one ('{self.name}')")
            if c._mref is not None and c._mref is not self._ref:
                raise ModelError(f"constraint {c!r} was added to model '{c._mref.name}' already")
        for c in constraints:
            if isinstance(c, FunctionConstraint):
                if c._mref is None:
                    became = constraints_of(self, c)
                    self._groups[id(c)] = (c, became)
                    self._constraints += became
            elif c._mref is None:
                if type(c) is TermRow or type(c) is TermCone:
                    self._add_to_run(c)
                    continue
                c.model = self
                self._constraints.append(c)
        self._changed()
        return constraints[0] if len(constraints) == 1 else constraints

    def _add_to_run(self, c):
        """A scalar row (or cone of term lists) into the run of rows of its
        kind (cones of its size) at the end of the constraints, a new run
        when the last constraint is not one."""
        run, key = (RowBlock, c.kind) if type(c) is TermRow else (ConeBlock, len(c.rows))
        cons = self._constraints
        blk = cons[-1] if cons else None
        if type(blk) is not run or blk.key != key:
            blk = run(key, self._ref)
            cons.append(blk)
        blk.add(c)
        c._mref = self._ref

    def remove(self, *constraints):
        """Removes constraints added to this model (a function constraint
        with the auxiliary constraints of its reduction); the next solve
        builds the problem without them. A removed constraint may be added
        again."""
        drop = set()
        for c in constraints:
            if not isinstance(c, (Constraint, FunctionConstraint)):
                raise TypeError(f"not a constraint: {c!r}")
            if c._mref is not self._ref:
                raise ModelError(f"constraint {c!r} is not a constraint of this model ('{self.name}')")
            if getattr(c, "auxiliary", False):
                raise ModelError(f"constraint {c!r} is part of a function's reduction: remove the constraint "
                                 "or objective it was made for")
            if isinstance(c, FunctionConstraint):
                drop.update(map(id, self._groups[id(c)][1]))
            drop.add(id(c))
        for c in constraints:
            if (type(c) is TermRow or type(c) is TermCone) and c._block is not None:
                if c._block.removed and c._index in c._block.removed:
                    raise ModelError(f"constraint {c!r} was removed already")
                c._block.remove(c._index)
                c._mref = c._block = None
        kept = []
        for c in self._constraints:
            if id(c) in drop:
                c.model = None
            else:
                kept.append(c)
        for c in constraints:
            if isinstance(c, FunctionConstraint):
                del self._groups[id(c)]
                c.model = None
        self._constraints = kept
        self._changed()

    def minimize(self, e=0.0):
        self._objective(e, "minimize")

    def maximize(self, e=0.0):
        self._objective(e, "maximize")

    def _objective(self, e, sense):
        rows = []
        if isinstance(e, Expression):
            same_model(self, e, "objective")
            e, rows = objective_of(self, e, sense)
        if isinstance(e, Quadratic):
            same_model(self, e, "objective")
            need = "convex" if sense == "minimize" else "concave"
            if e.curvature != need:
                raise ModelError(f"{sense} takes a {need} objective; {e!r} is {e.curvature}")
        elif isinstance(e, ParamExpr):
            same_model(self, e, "objective")
            e = e.as_affine()
        elif isinstance(e, Affine):
            same_model(self, e, "objective")
        elif isinstance(e, Constraint):
            raise ModelError(f"the objective is an expression, not the constraint {e!r}")
        elif isinstance(e, numbers.Real) or (isinstance(e, np.ndarray) and e.size == 1):
            e = constant_of(self, e, "objective")
        else:
            raise TypeError(f"the objective is an expression of the model, not {e!r}")
        if e.size != 1:
            raise ShapeError(f"the objective is a scalar, not of shape {e.shape}")
        self._obj, self._sense = e, sense
        # the auxiliary constraints of the objective's functions replace the previous objective's
        drop = {id(c) for c in self._objective_rows}
        self._constraints = [c for c in self._constraints if id(c) not in drop] + rows
        for c in rows:
            c.model = self
        self._objective_rows = rows
        self._changed()

    def _listed(self):
        """The constraints in order, the runs of scalar rows as their rows."""
        out = []
        for c in self._constraints:
            if type(c) is RowBlock or type(c) is ConeBlock:
                out += c.rows()
            else:
                out.append(c)
        return out

    def _changed(self):
        """The statement changed: the flat problem, the kept solver and the
        last solution (of a model that no longer stands) are dropped."""
        state = self._ref
        state._flat = state._sol = None
        self._solver = None
        self._status = self._value = None

    def __repr__(self):
        obj = "0" if self._obj is None else repr(self._obj)
        lines = [f"{self._sense} {obj}", "subject to"]
        lines += [f"  {c!r}" for c in self._listed() if not getattr(c, "auxiliary", False)]
        lines += [f"  {v.name}: shape {v.shape}" + _bounds_text(v) for v in self._variables]
        return "\n".join(lines)

    def _auxiliary(self, shape, name):
        """A variable of a function's reduction: columns of the solver's
        problem that are not listed among the model's variables."""
        shape = as_shape(shape)
        n = st.size_of(shape)
        nidxs = np.arange(self._nvars + 1, self._nvars + 1 + n, dtype=I64)
        self._nvars += n
        v = Variable(self, name, shape, nidxs)
        v.bounds = (None, None)
        self._changed()
        return v

    # -- translation and solve
    def flat_problem(self):
        """(q, A, b, cones) of min q.x s.t. A x + s = b, s in cones (with a
        quadratic objective, `quadratic_term()` gives P of 1/2 x'P x)."""
        return translate.flat_problem(self)

    def quadratic_term(self):
        """P (upper triangle, compressed columns) of the flat problem's
        objective 1/2 x'P x + q.x."""
        translate.flat_problem(self)
        return self._flat["P"]

    def solve(self, solver=None, raise_on_failure=False, warm_start=False, **settings):
        """Solves the model and returns its value. `solver` names the solver
        ("CLARABEL", "HIGHS", "SCS", "OSQP", "ECOS", "SCIP", any case); None
        takes the default of the problem's class: Clarabel for a continuous
        problem, HiGHS for a mixed-integer one with linear rows only, SCIP for
        a mixed-integer one with other cones. A solver that cannot take the
        problem is refused before solving (SolverError). The solver's own
        settings pass through, checked against its names (Clarabel's
        `tol_gap_abs=1e-10`, `max_iter=50`, `time_limit=1.0`, `verbose=True`,
        HiGHS's `time_limit`, `mip_rel_gap`, ...); the defaults are the
        solver's, quiet. A solver outcome is always reported in `status`; with
        raise_on_failure=True a status other than optimal raises SolverError.

        warm_start=True asks the solver to start from the variables' values
        (the last solution, or values set with `x.value = ...`) where it takes
        an initial point; Clarabel takes none, so with Clarabel it has no
        effect and `solver_stats.warm_started` is False."""
        if not isinstance(warm_start, (bool, np.bool_)):
            raise TypeError(f"warm_start is True or False, not {warm_start!r}")
        return _solver.solve(self, solver, raise_on_failure, warm_start, settings)

    def solve_batch(self, values, variables=None, duals=(), executor=None, max_workers=None, chunk_size=None,
                    solver=None, progress=None, raise_on_failure=False, mp_context=None, **settings):
        """Solves the model for many values of its parameters and returns a
        `BatchResult` (batch.py): per instance the status, the objective
        value, and the values of `variables` (the model's variables when
        None; variables or their names) and the duals of `duals`
        (constraints, or variables for their bound duals), each an array
        with the batch axis first. The model itself is left as it was (its
        parameter values, solution and kept solver).

        `values` maps parameters (or their names) to arrays whose first axis
        is the batch's, or is a sequence of {parameter: value}, one per
        instance; parameters it leaves out keep their values. An instance
        whose values the host refuses (NaN, an infinity, the wrong sign) or
        whose solve fails is reported in its status (and `errors`), never
        raised unless raise_on_failure=True (a SolverError after the whole
        batch, holding the result as `.result`).

        executor: None or "serial" (this process), "processes" (local worker
        processes: max_workers= of them, the machine's cores by default;
        mp_context= names the start method) or a dask.distributed.Client.
        Instances run in chunks (chunk_size=, about eight per worker by
        default), each worker keeping one solver that it updates per
        instance: the results are those of a loop of m.solve() over the
        instances. progress: a tqdm bar for a batch expected to take more
        than a second (True, False, or None: when stderr is a terminal).
        `solver` and the settings are m.solve()'s."""
        from . import batch
        return batch.solve_batch(self, values, variables, duals, executor, max_workers, chunk_size, solver, progress,
                                 raise_on_failure, mp_context, **settings)
