"""The statement of a model: its variables, parameters, constraints and
objective. Everything a user states is checked here, before any kernel runs:
a part of another model, a truth value of a constraint, an objective that is
not a scalar or not of the right curvature."""
from __future__ import annotations

import numbers

import numpy as np

from . import solution, solver, translate
from . import stacks as st
from . import kernels as kn
from .constraints import Constraint, psd
from .errors import ModelError, ShapeError
from .expressions import Affine, Parameter, Variable, as_shape, constant_of, same_model
from .functions import Expression, FunctionConstraint, Quadratic
from .stacks import F64, I32, I64


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
        self.name = name
        self.nvars = 0                # scalar variables are numbered 1 .. nvars
        self.variables, self.parameters, self.constraints = [], [], []
        self.nparams = 0
        self.objective = None
        self.sense = "minimize"
        self._flat = None
        self._param_dirty = True
        self._solver = None
        self.status = None
        self.value = None
        self.solver_stats = None
        self.solver_output = None
        self._sol = None
        self._objective_rows = []     # auxiliary constraints of the objective's functions

    # -- statement
    def variable(self, shape=(), name=None, lb=None, ub=None, nonneg=False):
        """A variable of any shape with a domain: free (no bounds), nonneg=True
        (lower bound 0), or lb= / ub=, each a scalar for every element, an array
        of the variable's shape, or a sparse pair (multi-indices, values) whose
        unlisted elements stay unbounded."""
        shape = () if shape == () else as_shape(shape)
        if any(s < 0 for s in shape):
            raise ShapeError(f"a variable's shape has no negative extent: {shape}")
        n = st.size_of(shape)
        nidxs = np.arange(self.nvars + 1, self.nvars + 1 + n, dtype=I64)
        name = name or f"x{len(self.variables)}"
        if nonneg and lb is None:
            lb = 0.0
        bounds = (_domain(lb, shape, name, "lower"), _domain(ub, shape, name, "upper"))
        self.nvars += n
        v = Variable(self, name, shape, nidxs)
        v.bounds = bounds
        v.nonneg = bool(nonneg)
        self.variables.append(v)
        self._changed()
        return v

    def semidefinite(self, n, name=None):
        """A symmetric n x n variable constrained to be positive semidefinite;
        its n(n+1)/2 scalar elements are the packed lower triangle."""
        t = n * (n + 1) // 2
        packed = np.arange(self.nvars + 1, self.nvars + 1 + t, dtype=I32)
        self.nvars += t
        full = np.zeros(n * n, I32)
        kn.expand_packed_triangle(packed, t, 1, n, 1, n, 1, full, False)
        v = Variable(self, name or f"X{len(self.variables)}", (n, n), packed.astype(I64), full.astype(I64))
        v.bounds = (None, None)
        self.variables.append(v)
        v.cone = self.add(psd(v))
        return v

    def parameter(self, shape=(), name=None, value=None, nonneg=False, nonpos=False):
        """A parameter; nonneg=True or nonpos=True declares its sign (every
        value set is checked), which lets it multiply a convex function."""
        shape = () if shape == () else as_shape(shape)
        if nonneg and nonpos:
            raise ModelError("a parameter is declared nonneg or nonpos, not both")
        p = Parameter(self, name or f"p{len(self.parameters)}", shape, self.nparams)
        if nonneg or nonpos:
            p.sign = "nonnegative" if nonneg else "nonpositive"
        self.nparams += p.size
        self.parameters.append(p)
        if value is not None:
            p.value = value
        self._changed()
        return p

    def add(self, *constraints):
        """Adds constraints (each checked: a constraint, of this model, not
        added to another model)."""
        if not constraints:
            raise TypeError("add() takes at least one constraint")
        for c in constraints:
            if isinstance(c, FunctionConstraint):
                if c.expr_model is not self:
                    raise ModelError(f"constraint {c!r} belongs to another model ('{c.expr_model.name}') than "
                                     f"this one ('{self.name}')")
                if c.model is not None and c.model is not self:
                    raise ModelError(f"constraint {c!r} was added to model '{c.model.name}' already")
                continue
            if isinstance(c, (bool, np.bool_)):
                raise ModelError("add() was given a truth value, not a constraint: a comparison of two plain "
                                 "numbers or arrays, or of an expression with itself (==)")
            if not isinstance(c, Constraint):
                raise TypeError(f"not a constraint: {c!r}")
            if c.expr.model is not self:
                raise ModelError(f"constraint {c!r} belongs to another model ('{c.expr.model.name}') than this "
                                 f"one ('{self.name}')")
            if c.model is not None and c.model is not self:
                raise ModelError(f"constraint {c!r} was added to model '{c.model.name}' already")
        for c in constraints:
            if isinstance(c, FunctionConstraint):
                if c.model is None:
                    self.constraints += c.reduce(self)
            elif c.model is None:
                c.model = self
                self.constraints.append(c)
        self._changed()
        return constraints[0] if len(constraints) == 1 else constraints

    def minimize(self, e=0.0):
        self._objective(e, "minimize")

    def maximize(self, e=0.0):
        self._objective(e, "maximize")

    def _objective(self, e, sense):
        rows = []
        if isinstance(e, Expression):
            from .reductions import objective_of
            same_model(self, e, "objective")
            e, rows = objective_of(self, e, sense)
        if isinstance(e, Quadratic):
            same_model(self, e, "objective")
            need = "convex" if sense == "minimize" else "concave"
            if e.curvature != need:
                raise ModelError(f"{sense} takes a {need} objective; {e!r} is {e.curvature}")
        elif isinstance(e, Parameter):
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
        self.objective, self.sense = e, sense
        # the auxiliary constraints of the objective's functions replace the previous objective's
        drop = {id(c) for c in self._objective_rows}
        self.constraints = [c for c in self.constraints if id(c) not in drop] + rows
        for c in rows:
            c.model = self
        self._objective_rows = rows
        self._changed()

    def _changed(self):
        self._flat = None
        self._solver = None

    def __repr__(self):
        obj = "0" if self.objective is None else repr(self.objective)
        lines = [f"{self.sense} {obj}", "subject to"]
        lines += [f"  {c!r}" for c in self.constraints if not getattr(c, "auxiliary", False)]
        lines += [f"  {v.name}: shape {v.shape}" for v in self.variables]
        return "\n".join(lines)

    def _auxiliary(self, shape, name):
        """A variable of a function's reduction: columns of the solver's
        problem that are not listed among the model's variables."""
        shape = () if shape == () else as_shape(shape)
        n = st.size_of(shape)
        nidxs = np.arange(self.nvars + 1, self.nvars + 1 + n, dtype=I64)
        self.nvars += n
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

    def solve(self, raise_on_failure=False, **settings):
        """Solves the model with Clarabel and returns its value. Any Clarabel
        setting passes through (`tol_gap_abs=1e-10`, `max_iter=50`,
        `time_limit=1.0`, `verbose=True`, ...); the defaults are Clarabel's.
        A solver outcome is always reported in `status`; with
        raise_on_failure=True a status other than optimal raises SolverError."""
        return solver.solve(self, raise_on_failure, settings)

    # -- solution
    def _solution_value(self, e):
        return solution.expression_value(self, e)

    def _variable_value(self, v):
        return solution.variable_value(self, v)

    def _variable_dual(self, v, which):
        return solution.variable_dual(self, v, which)

    def _constraint_dual(self, c):
        return solution.constraint_dual(self, c)
