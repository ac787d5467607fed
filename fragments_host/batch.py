"""Batches of instances of one model: the model solved for many values of
its parameters (`Model.solve_batch`), serially, on local processes or on a
Dask cluster.

A batch runs from an instance program (`Program`), taken from the
translated model once: the flat problem with its parameter tables (the
arrays translate.py evaluates in place on a re-solve), the parameters'
slots, the solver's name and settings, and the maps from the solver's x
and z to the values of the variables and the duals of the constraints
asked for. It pickles compactly and is shipped once per worker; a task is
a chunk of instances (the parameter values sliced along the batch axis).
A worker (`Runner`) keeps one solver per program and updates it per
instance as a re-solve of the model does (translate._evaluate, then the
backend's solve with the kept solver), writing each instance's outcome
into arrays laid out for the whole chunk.

The results are those of a loop of `m.solve()` over the instances, bit for
bit where the solver is deterministic. A solver updated in place keeps what
its setup computed from the data it was set up with (Clarabel scales the
problem once, at setup), so a re-solve depends on those data as well as on
its own. Every worker therefore sets its solver up with the data the loop's
solver was set up with: those of the model's kept solver when it has one
(the parameter values recorded at that setup), else those of the batch's
first instance, as the loop's first solve would.

A worker process that dies takes the chunk it was solving with it: its
instances are solved again one at a time by a new worker, and an instance
whose worker dies again is reported `solver_error`. Dask retries a task
whose worker died on another worker itself (its `allowed-failures`), and a
chunk it gives up on is reported `solver_error`. No instance is lost or
reported twice: a chunk's results are taken once, when they arrive whole."""
from __future__ import annotations

import copy
import math
import os
import sys
import threading
import time
import traceback
from collections import OrderedDict, deque

import numpy as np

from . import kernels as kn
from . import pickling, solution, translate
from . import solver as _solver
from .constraints import Constraint
from .errors import DataError, ModelError, SolverError
from .expressions import ParameterSlot, Parameter, Variable
from .functions import FunctionConstraint
from .solver_base import SOLVED, STATUSES
from .stacks import F64, I32
from .terms import _Member

_CODE = {s: np.int8(k) for k, s in enumerate(STATUSES)}
_ERROR = _CODE["solver_error"]
_WORDS = np.array(STATUSES)

# instances per chunk: about this many chunks per worker (a slow chunk at
# the end costs at most an eighth of a worker's share), within these bounds
CHUNKS_PER_WORKER = 8
CHUNK_MAX = 1000
# a worker evaluates the data of this many bytes of instances before it
# solves them (see Runner)
PASS_BYTES = 1 << 25

# called with each instance's index before a worker solves it (tests use it
# to make a worker process die in the middle of a batch)
_before_instance = None


class _DualForm:
    """What shapes a constraint's element duals as its dual (the fields of
    a constraint that solution.shaped_duals reads)."""

    def __init__(self, kind, cones, dual_shape):
        self.kind, self.cones, self.dual_shape = kind, cones, dual_shape


class Program:
    """What a worker needs to solve instances of one model: the flat
    problem and its parameter tables (a copy of the model's, evaluated in
    place per instance), the parameters' slots, the solver, the settings
    and the output maps. It has the attributes translate._evaluate reads of
    a model (`_flat`, `_param_dirty`, `_ref.params`)."""

    def __init__(self, flat, params, batched, base, first, solver, settings, sense, variables, duals):
        self.token = os.urandom(16).hex()
        self._flat = flat
        self._param_dirty = True
        self.params = params            # ParameterSlot per parameter, holding the values not in the batch
        self.batched = batched          # indices into params of the batch's parameters
        self.base = base                # the values (per slot) every worker's solver is set up with
        self.first = first              # the instance that is the base itself (-1: none)
        self.solver, self.settings, self.sense = solver, settings, sense
        self.variables = variables      # (full column map, size) per variable asked for
        self.duals = duals              # ("rows", native, _DualForm) or ("bounds", full, nidxs, size) per dual

    @property
    def _ref(self):
        return self

    def private(self):
        """A copy whose arrays are its own (for a worker that shares the
        program with others)."""
        other = copy.copy(self)
        other._flat = copy.deepcopy(self._flat)
        pickling.relink(other._flat)
        other.params = [_slot_copy(s) for s in self.params]
        return other


def _writable(a):
    """An array the kernels take: writable, aligned and contiguous (Dask
    deserialises arguments as read-only arrays, possibly misaligned in its
    frames)."""
    if a is None or (a.flags.writeable and a.flags.aligned and a.flags.c_contiguous):
        return a
    return np.array(a, order="C")


def _slot_copy(s):
    out = ParameterSlot(s.name, s.shape, s.base, s.size)
    out.value, out.sign = s.value, s.sign
    return out


class _Out:
    """One chunk's outcome, instance by instance: arrays of its length
    (views of the whole batch's arrays when solved in this process)."""

    def __init__(self, k, program, arrays=None):
        if arrays is None:
            arrays = _allocate(k, [size for _, size in program.variables], [_dual_size(d) for d in program.duals])
        self.arrays = arrays
        (self.status, self.value, self.iterations, self.solve_time, self.setup_time, self.solver_time, self.values,
         self.duals) = arrays
        self.errors = {}


def _dual_size(d):
    return len(d[1]) if d[0] == "rows" else d[3]


def _allocate(n, vsizes, dsizes):
    return (np.full(n, _ERROR, np.int8), np.full(n, np.nan), np.zeros(n, np.int64), np.zeros(n), np.zeros(n),
            np.zeros(n), [np.full((n, s), np.nan) for s in vsizes], [np.full((n, s), np.nan) for s in dsizes])


class Runner:
    """A worker's solver of one program: set up once (with the program's
    base values), updated and solved per instance.

    A chunk runs in three passes: every instance's data evaluated (the
    parameter tables, translate._evaluate, into the flat problem's arrays,
    a copy kept of what the parameters reach), then every instance solved
    (its data copied back into those arrays, the kept solver updated from
    them), then every outcome mapped to the values and duals asked for.
    The data and the outcomes are the ones a solve at a time would give;
    taken in passes, the host's work runs back to back, not each time in
    caches that the solver's last solve has just filled with its own."""

    def __init__(self, program, private=True):
        if not private:
            program = program.private()
        else:
            pickling.relink(program._flat)
        self.p = program
        f = program._flat
        self.mod = _solver.backend(program.solver)
        self.given = self.mod.settings(program.settings)
        P = f["P"]
        self.problem = _solver.problem_of(f, f["qfull"][1:])
        # the arrays an evaluation writes the parameters' part of the data into
        self.targets = {"q": self.problem.q, "b": f["b"], "A": f["A"].data, "P": P.data}
        self.kept = None
        program.base = [_writable(v) for v in program.base]
        self.current = [_writable(s.value) for s in program.params]
        self.slots = [program.params[k] for k in program.batched]
        self.xx = np.zeros(f["N"] + 1, F64)
        self.bounds = any(d[0] == "bounds" for d in program.duals)

    def _evaluate(self):
        """The data at the slots' values: (the parameters' part, a copy per
        array they reach, the objective's constant)."""
        p = self.p
        f = p._flat
        p._param_dirty = True
        translate._evaluate(p)
        changed = f["changed"]
        data = tuple((k, self.targets[k].copy()) for k in sorted(changed))
        self.changed = frozenset(changed)
        changed.clear()
        return data, float(f["qfull"][0])

    def _solve(self, data):
        for k, v in data:
            np.copyto(self.targets[k], v)
        t0 = time.perf_counter()
        res = self.mod.solve(self.problem, self.given, self.kept, self.changed, None)
        elapsed = time.perf_counter() - t0
        self.kept = res.kept
        return res, elapsed

    def _set_up(self):
        """The solver set up with the base values (its solve discarded)."""
        params = self.p.params
        for s, v in zip(params, self.p.base):
            s.value = v
        data = self._evaluate()[0]
        for s, v in zip(params, self.current):
            s.value = v
        self._solve(data)

    def run(self, start, arrays, ok, out=None):
        """Solves instances start .. start + len(ok) - 1 (those marked ok),
        their batched parameters' values the rows of `arrays`; returns the
        chunk's outcome."""
        out = out if out is not None else _Out(len(ok), self.p)
        arrays = [_writable(a) for a in arrays]
        todo = [int(j) for j in np.flatnonzero(ok)]
        # the first instance alone, then as many at a time as keep their
        # data within PASS_BYTES
        window, at = None, 0
        while at < len(todo):
            part = todo[at:at + (window or 1)]
            at += len(part)
            evaluated = []
            for j in part:
                for s, a in zip(self.slots, arrays):
                    s.value = a[j]
                try:
                    evaluated.append((j, self._evaluate()))
                except Exception as exc:
                    out.errors[start + j] = f"{type(exc).__name__}: {exc}"
            if window is None and evaluated:
                size = sum(v.nbytes for _, v in evaluated[0][1][0])
                window = max(1, PASS_BYTES // max(size, 1))
            self._solve_some(evaluated, start, out)
        return out

    def _solve_some(self, evaluated, start, out):
        p = self.p
        solved = []
        for j, (data, constant) in evaluated:
            i = start + j
            if _before_instance is not None:
                _before_instance(i)
            try:
                if self.kept is None and i != p.first:
                    self._set_up()
                res, elapsed = self._solve(data)
            except Exception as exc:
                # the solver's state is not known after a failure: set up anew
                self.kept = None
                out.errors[i] = f"{type(exc).__name__}: {exc}"
                continue
            solved.append((j, res, elapsed, constant))
        f = p._flat
        integer = f.get("integer")
        xx = self.xx
        for j, res, elapsed, constant in solved:
            value, primal, dual, _ = _solver.outcome(res, integer, p.sense, constant)
            out.status[j] = _CODE[res.status]
            out.iterations[j], out.solve_time[j], out.setup_time[j] = res.iterations, res.solve_time, res.setup_time
            out.solver_time[j] = elapsed
            if value is not None:
                out.value[j] = value
            if primal:
                kn.copy_f64_run(0, len(res.x), 1, xx, res.x)
                for (full, size), arr in zip(p.variables, out.values):
                    kn.variable_values(size, full, 0, arr[j], xx)
            if dual and p.duals:
                z = res.z
                if self.bounds:
                    yx = solution.bound_duals(f, z)[2]
                for d, arr in zip(p.duals, out.duals):
                    if d[0] == "rows":
                        arr[j] = solution.shaped_duals(solution.element_duals(f, z, d[1]), d[2]).reshape(-1)
                    else:
                        _, full, nidxs, size = d
                        row = arr[j]
                        kn.variable_duals(f["acc"][0], None, None, size, full, 0, row, f["vacc"], f["vacc"], yx)
                        solution.shared_bound_duals(row, full, nidxs)


# -- the batch's statement checked -----------------------------------------

def _parameter_of(model, key):
    """The model's parameter a key of `values` names (a Parameter or its name)."""
    if isinstance(key, str):
        found = [p for p in model.parameters if p.name == key]
        if len(found) != 1:
            names = ", ".join(p.name for p in model.parameters) or "none"
            raise ModelError(f"values names the parameter {key!r}, which " +
                             ("is not a parameter of this model" if not found else "names several of its parameters")
                             + f" (its parameters: {names})")
        return found[0]
    if not isinstance(key, Parameter):
        raise TypeError(f"values maps parameters (or their names) to values; {key!r} is not a parameter")
    if key._model is not model._ref or all(p is not key for p in model.parameters):
        raise ModelError(f"values gives values of parameter {key.name}, which is not a parameter of this model "
                         f"('{model.name}')")
    return key


def _values_array(p, given, n, what):
    """A parameter's values as an (n, size) float array, checked: real
    numbers, n of them of the parameter's shape."""
    arr = np.asarray(given)
    if arr.dtype.kind not in "biuf":
        raise DataError(f"{what} are not real numbers (dtype {arr.dtype})")
    if arr.ndim == 0 or tuple(arr.shape[1:]) != p.shape:
        raise ValueError(f"{what} have shape {arr.shape}: parameter {p.name} of shape {p.shape} takes an array of "
                         f"shape (instances,) + {p.shape}, the batch axis first")
    if n is not None and arr.shape[0] != n:
        raise ValueError(f"{what} have {arr.shape[0]} instances, other parameters' values {n}: a batch's values "
                         "have one length")
    return np.ascontiguousarray(arr.reshape(arr.shape[0], p.size), dtype=F64)


def _batch_values(model, values):
    """(instances, [(parameter, (n, size) values)]) of the batch's values:
    a mapping of parameters to arrays with the batch axis first, or a
    sequence of {parameter: value}, one per instance."""
    if hasattr(values, "keys"):
        if not len(values):
            raise ValueError("values maps no parameter: give the batch's parameters and their values")
        out, n, seen = [], None, set()
        for key in values.keys():
            p = _parameter_of(model, key)
            if id(p) in seen:
                raise ValueError(f"values gives parameter {p.name} twice")
            seen.add(id(p))
            arr = _values_array(p, values[key], n, f"the values of parameter {p.name}")
            n = arr.shape[0]
            out.append((p, arr))
        return n, out
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError("values is a mapping of parameters to arrays with the batch axis first, or a sequence of "
                        f"{{parameter: value}} mappings; not {type(values).__name__}")
    items = list(values)
    n = len(items)
    if n == 0:
        return 0, []
    resolved = {}               # a key as written -> its parameter

    def parameter(key):
        p = resolved.get(key)
        if p is None:
            p = resolved[key] = _parameter_of(model, key)
        return p

    if not hasattr(items[0], "keys"):
        raise TypeError(f"values[0] is not a mapping of parameters to values: {items[0]!r}")
    params = [parameter(key) for key in items[0].keys()]
    index = {id(p): k for k, p in enumerate(params)}
    if len(index) != len(params):
        raise ValueError("values[0] gives a parameter twice")
    columns = [[None] * n for _ in params]
    for i, d in enumerate(items):
        if not hasattr(d, "keys"):
            raise TypeError(f"values[{i}] is not a mapping of parameters to values: {d!r}")
        given = [parameter(key) for key in d.keys()]
        if len(given) != len(params) or {id(p) for p in given} != index.keys():
            names = sorted({p.name for p in given} ^ {p.name for p in params})
            raise ValueError(f"values[{i}] gives other parameters than values[0] (differing: "
                             f"{', '.join(names) or 'a parameter given twice'}): every instance gives the same "
                             "parameters")
        for p, v in zip(given, d.values()):
            v = np.asarray(v)
            if v.dtype.kind not in "biuf":
                raise DataError(f"values[{i}][{p.name}] is not real numbers (dtype {v.dtype})")
            if v.shape != p.shape:
                raise ValueError(f"values[{i}][{p.name}] has shape {v.shape}, parameter {p.name} has shape {p.shape}")
            columns[index[id(p)]][i] = v
    return n, [(p, np.ascontiguousarray(np.stack(col).reshape(n, p.size), dtype=F64))
               for p, col in zip(params, columns)]


def _refused(batch, n):
    """The instances whose values the host refuses (as it refuses them in
    `p.value = ...`): a message per refused instance."""
    bad = {}
    for p, arr in batch:
        finite = np.isfinite(arr).all(axis=1) if arr.shape[1] else np.ones(n, bool)
        for i in np.flatnonzero(~finite):
            k = int(np.flatnonzero(~np.isfinite(arr[i]))[0])
            word = "NaN" if np.isnan(arr[i, k]) else ("+inf" if arr[i, k] > 0 else "-inf")
            bad.setdefault(int(i), f"the value of parameter {p.name} holds {word} at flat position {k}")
        if p.sign in ("nonnegative", "nonpositive") and arr.shape[1]:
            wrong = (arr < 0).any(axis=1) if p.sign == "nonnegative" else (arr > 0).any(axis=1)
            for i in np.flatnonzero(wrong & finite):
                k = int(np.flatnonzero(arr[i] < 0 if p.sign == "nonnegative" else arr[i] > 0)[0])
                bad.setdefault(int(i), f"parameter {p.name} is declared {p.sign}; its value is {arr[i, k]:g} at flat "
                               f"position {k}")
    return bad


def _outputs(model, variables, duals):
    """The variables asked for (with their names) and the duals asked for."""
    if variables is None:
        variables = model.variables
    if isinstance(variables, (Variable, str)):
        variables = [variables]
    vs, names = [], {}
    for v in variables:
        if isinstance(v, str):
            found = [u for u in model.variables if u.name == v]
            if not found:
                raise ModelError(f"variables names {v!r}, which is no variable of this model (its variables: "
                                 f"{', '.join(u.name for u in model.variables) or 'none'})")
            v = found[0]
        if not isinstance(v, Variable):
            raise TypeError(f"variables takes variables of the model or their names, not {v!r}")
        if v._model is not model._ref or all(u is not v for u in model.variables):
            raise ModelError(f"variables asks for {v.name}, which is not a variable of this model ('{model.name}')")
        if v.name in names:
            if names[v.name] is v:
                continue
            raise ModelError(f"variables asks for two variables named {v.name!r}: the result names them; give "
                             "them distinct names")
        names[v.name] = v
        vs.append(v)
    if isinstance(duals, (Constraint, _Member, Variable)):
        duals = [duals]
    cs = []
    for c in duals or ():
        if isinstance(c, Variable):
            if c._model is not model._ref or all(u is not c for u in model.variables):
                raise ModelError(f"duals asks for the bound duals of {c.name}, which is not a variable of this model")
        elif isinstance(c, (Constraint, _Member)):
            if c._mref is not model._ref:
                raise ModelError(f"duals asks for the dual of {c!r}, which is not a constraint of this model")
        elif isinstance(c, FunctionConstraint):
            raise TypeError(f"duals: {c!r} is a constraint of functions, which has no dual (as after m.solve()); "
                            "ask for the duals of constraints of affine expressions and cones")
        else:
            raise TypeError(f"duals takes constraints of the model (or variables, for their bound duals), not {c!r}")
        cs.append(c)
    return vs, cs


def _dual_map(model, c):
    """What maps z to one asked-for dual."""
    if isinstance(c, Variable):
        return ("bounds", c.full, c.nidxs, c.size)
    if isinstance(c, _Member) and c._block is not None:
        block = c._block
        arr, lo, _ = model._native[id(block)]
        shape = block.item_shape
        d = int(np.prod(shape, dtype=np.int64))
        k = lo + block.position(c._index) * d
        return ("rows", np.ascontiguousarray(arr[k:k + d], I32), _DualForm("row", None, shape))
    arr, lo, hi = model._native[id(c)]
    cones = c.cones[:1] if c.kind == "rsoc" else None
    return ("rows", np.ascontiguousarray(arr[lo:hi], I32), _DualForm(c.kind, cones, c.dual_shape))


def program_of(model, n, batch, refused, variables, duals, solver, settings):
    """The instance program of a model for a batch (its statement checked
    first; nothing is solved)."""
    if model._flat is None:
        translate._build(model)
    f = model._flat
    if "A" not in f:
        translate._structure(model)
    slots = model._ref.params
    index = {id(s): k for k, s in enumerate(slots)}
    batched = [index[id(p._slot)] for p, _ in batch]
    inside = set(batched)
    missing = [s.name for k, s in enumerate(slots) if k not in inside and s.value is None]
    if missing:
        raise ModelError(f"parameter{'s' if len(missing) > 1 else ''} {', '.join(missing)} "
                         f"{'have' if len(missing) > 1 else 'has'} no value and {'are' if len(missing) > 1 else 'is'} "
                         "not in the batch")
    flat = {k: v for k, v in f.items() if k not in ("q", "changed")}
    flat = copy.deepcopy(flat)
    pickling.relink(flat)
    flat["changed"] = set()
    if "vacc" not in flat:
        flat["vacc"] = np.full(flat["N"] + 1, -1, I32)
    params = [_slot_copy(s) for s in slots]
    first = next((i for i in range(n) if i not in refused), -1)
    asked = _solver.request(solver, settings)
    base = getattr(model, "_solver_base", None)
    if model._solver is not None and model._solver_key[0] == asked and base is not None and len(base) == len(slots):
        first = -1
    else:
        base = [s.value for s in slots]
        for (p, arr), k in zip(batch, batched):
            if first >= 0:
                base[k] = arr[first]
    prog = Program(flat, params, batched, list(base), first, None, dict(settings), model._sense,
                   [(v.full, v.size) for v in variables], [_dual_map(model, c) for c in duals])
    # the solver chosen (and its settings checked) here, on the base data
    if all(v is not None for v in prog.base):
        for s, v in zip(params, prog.base):
            s.value = v
        translate._evaluate(prog)
        mod = _solver.choose(solver, _solver.problem_of(flat, flat["q"]))
        mod.settings(settings)
        prog.solver = mod.NAME
    for s, v in zip(params, [s.value for s in slots]):
        s.value = v
    flat["changed"].clear()
    return prog


# -- the result --------------------------------------------------------------

class BatchResult:
    """The outcome of a batch, per instance, every array with the batch
    axis first: `status` (the model's status words), `value` (the
    objective: NaN where the solver failed, +-inf for an infeasible or
    unbounded instance as `m.value`), `iterations`, `solve_time` (the
    solve's seconds as the solver reports them), `setup_time` (seconds to
    set up or update the solver) and `solver_time` (seconds in the solver's
    calls, setup or update and solve, as `m.solver_stats.total_time`
    measures them); `values` maps each asked-for variable's name to its values
    (NaN where the instance gave none), `duals` holds the asked-for duals
    in the order asked. `res[x]` (or `res["x"]`) is x's values,
    `res.dual(c)` c's duals; `errors` maps an instance that was not solved
    to why; `ok` marks the optimal (and optimal_inaccurate) instances."""

    def __init__(self, n, arrays, variables, duals, errors, executor, workers, wall_time):
        status, self.value, self.iterations, self.solve_time, self.setup_time, self.solver_time, vals, dls = arrays
        self.status = _WORDS[status]
        self.values = {}
        self._vars = []
        for v, arr in zip(variables, vals):
            a = arr.reshape((n,) + v.shape)
            self.values[v.name] = a
            self._vars.append((v, a))
        self.duals = []
        self._duals = []
        for c, arr in zip(duals, dls):
            shape = c.shape if isinstance(c, Variable) else (
                c._block.item_shape if isinstance(c, _Member) and c._block is not None else c.dual_shape)
            a = arr.reshape((n,) + tuple(shape))
            self.duals.append(a)
            self._duals.append((c, a))
        self.errors = dict(sorted(errors.items()))
        self.executor, self.workers, self.wall_time = executor, workers, wall_time

    def __len__(self):
        return len(self.status)

    @property
    def ok(self):
        return np.isin(self.status, SOLVED)

    def __getitem__(self, item):
        if isinstance(item, str):
            if item in self.values:
                return self.values[item]
        else:
            for v, a in self._vars:
                if v is item:
                    return a
        raise KeyError(f"the batch's result holds no values of {item!r} (asked for: "
                       f"{', '.join(self.values) or 'none'}; name variables= in solve_batch)")

    def dual(self, item):
        for c, a in self._duals:
            if c is item:
                return a
        raise KeyError(f"the batch's result holds no dual of {item!r} (ask for it with duals= in solve_batch)")

    def __repr__(self):
        words, counts = np.unique(self.status, return_counts=True)
        told = ", ".join(f"{c} {w}" for w, c in zip(words, counts))
        return f"BatchResult({len(self)} instances: {told or 'none'}; {self.executor}, {self.wall_time:.3g} s)"


# -- progress ----------------------------------------------------------------

class _Progress:
    """A tqdm bar for a batch expected to take more than a second (judged
    once its first chunk is done), where tqdm is installed and the flag
    allows it."""

    def __init__(self, total, enabled):
        self.total, self.enabled, self.done = total, enabled, 0
        self.t0 = time.perf_counter()
        self.bar = None

    def update(self, k):
        self.done += k
        if self.bar is not None:
            self.bar.update(k)
            return
        if not self.enabled or self.done >= self.total:
            return
        elapsed = time.perf_counter() - self.t0
        if elapsed * self.total / max(self.done, 1) > 1.0:
            self.enabled = False
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=self.total, initial=self.done, desc="solve_batch", unit="instance")

    def close(self):
        if self.bar is not None:
            self.bar.close()


# -- where the chunks run -----------------------------------------------------

def _chunks(n, size):
    return [(s, min(s + size, n)) for s in range(0, n, size)]


def _serial(program, chunks, arrays, ok, result, progress):
    # the program's arrays are a copy of the model's already
    runner = Runner(program, private=True)
    errors = {}
    for s, e in chunks:
        out = _Out(e - s, program, _views(result, s, e))
        runner.run(s, [a[s:e] for a in arrays], ok[s:e], out)
        errors.update(out.errors)
        progress.update(e - s)
    return errors


def _views(result, s, e):
    return tuple(a[s:e] for a in result[:6]) + tuple([a[s:e] for a in part] for part in result[6:])


def _store(result, s, e, arrays):
    for whole, part in zip(result[:6], arrays[:6]):
        whole[s:e] = part
    for wholes, parts in zip(result[6:], arrays[6:]):
        for whole, part in zip(wholes, parts):
            whole[s:e] = part


def _fail(result, errors, s, e, ok, why):
    for i in range(s, e):
        if ok[i]:
            errors[i] = why
            result[0][i] = _ERROR


def _worker_main(conn, program):
    """A worker process: solves the chunks it is sent until told to stop
    (None) or its pipe closes."""
    runner = None
    while True:
        try:
            msg = conn.recv()
        except (EOFError, OSError):
            return
        if msg is None:
            return
        s, arrays, ok = msg
        try:
            if runner is None:
                runner = Runner(program, private=True)
            out = runner.run(s, arrays, ok)
            conn.send(("done", out.arrays, out.errors))
        except Exception:
            conn.send(("error", traceback.format_exc(limit=4), None))


def _processes(program, chunks, arrays, ok, result, progress, max_workers, mp_context):
    """The chunks on local worker processes, each started with the program
    (shipped once per process) and fed one chunk at a time."""
    import multiprocessing as mp
    from multiprocessing.connection import wait
    methods = mp.get_all_start_methods()         # the platform's default first
    if mp_context is None and (mp.get_start_method(allow_none=True) or methods[0]) == "fork" \
            and threading.active_count() > 1 and "forkserver" in methods:
        # a fork copies no other thread, but any lock one of them holds (a
        # Dask client's, a progress bar's): with threads running, the
        # workers are forked from a server process started afresh (the
        # package imported in it) instead
        mp_context = "forkserver"
    ctx = mp.get_context(mp_context)
    if ctx.get_start_method() == "forkserver":
        ctx.set_forkserver_preload([__name__])
    nworkers = min(max_workers or os.cpu_count() or 1, len(chunks))
    todo = deque((s, e, 0) for s, e in chunks)
    errors = {}
    busy = {}                   # worker -> the chunk it solves
    workers = []

    def start():
        here, there = ctx.Pipe()
        proc = ctx.Process(target=_worker_main, args=(there, program), daemon=True)
        proc.start()
        there.close()
        w = (proc, here)
        workers.append(w)
        return w

    def died(w):
        """A worker process that ended: its chunk solved again one instance
        at a time (so that the rest of the chunk is not lost with the
        instance that took its worker down), or, when it was one instance
        solved again, that instance reported."""
        proc, conn = w
        workers.remove(w)
        conn.close()
        proc.join()
        task = busy.pop(w, None)
        if task is None:
            return False
        s, e, tries = task
        if tries == 0:
            again = [i for i in range(s, e) if ok[i]]
            todo.extendleft((i, i + 1, 1) for i in reversed(again))
            progress.update(e - s - len(again))
        else:
            _fail(result, errors, s, e, ok, f"the worker process solving it died (exit code {proc.exitcode})")
            progress.update(e - s)
        return True

    idle_deaths = 0
    try:
        while todo or busy:
            while todo and len(workers) < nworkers:
                start()
            for w in list(workers):
                if w in busy or not todo:
                    continue
                s, e, tries = task = todo.popleft()
                try:
                    w[1].send((s, [a[s:e] for a in arrays], ok[s:e]))
                except (BrokenPipeError, OSError):
                    todo.appendleft(task)
                    idle_deaths += not died(w)
                    continue
                busy[w] = task
            if idle_deaths > nworkers + 1:
                # workers that end before they take a chunk: none will
                for s, e, _ in todo:
                    _fail(result, errors, s, e, ok, "the worker processes ended before they took their instances")
                    progress.update(e - s)
                todo.clear()
            if not busy:
                continue
            ready = wait([w[1] for w in busy] + [w[0].sentinel for w in busy])
            for w in list(busy):
                proc, conn = w
                if conn not in ready and proc.sentinel not in ready:
                    continue
                msg = None
                try:
                    if conn.poll():
                        msg = conn.recv()
                except (EOFError, OSError):
                    msg = None
                if msg is None:
                    if not proc.is_alive():
                        died(w)
                    continue
                s, e, _ = busy.pop(w)
                kind, payload, errs = msg
                if kind == "done":
                    _store(result, s, e, payload)
                    errors.update(errs)
                else:
                    _fail(result, errors, s, e, ok, f"the worker failed: {payload}")
                progress.update(e - s)
    finally:
        for proc, conn in workers:
            try:
                conn.send(None)
            except (BrokenPipeError, OSError):
                pass
        for proc, conn in workers:
            proc.join(timeout=5)
            if proc.is_alive():
                proc.terminate()
                proc.join()
            conn.close()
    return errors


# a Dask worker's runners: one per program and thread (the threads of one
# worker solve chunks side by side, each with its own solver), the latest few
_RUNNERS = OrderedDict()
_RUNNERS_KEPT = 8
_RUNNERS_LOCK = threading.Lock()


def _dask_chunk(program, s, arrays, ok):
    key = (program.token, threading.get_ident())
    with _RUNNERS_LOCK:
        runner = _RUNNERS.pop(key, None)
    if runner is None:
        runner = Runner(program, private=False)
    out = runner.run(s, arrays, ok)
    with _RUNNERS_LOCK:
        _RUNNERS[key] = runner
        while len(_RUNNERS) > _RUNNERS_KEPT:
            _RUNNERS.popitem(last=False)
    return out.arrays, out.errors


def _is_dask_client(executor):
    return type(executor).__name__ == "Client" and type(executor).__module__.startswith("distributed")


def _dask(client, program, chunks, arrays, ok, result, progress):
    """The chunks as tasks of a Dask cluster; the program scattered to
    every worker once."""
    from distributed import as_completed
    shipped = client.scatter(program, broadcast=True, hash=False)
    futures = {client.submit(_dask_chunk, shipped, s, [a[s:e] for a in arrays], ok[s:e], pure=False): (s, e)
               for s, e in chunks}
    errors = {}
    try:
        for fut in as_completed(futures):
            s, e = futures[fut]
            try:
                arrs, errs = fut.result()
            except Exception as exc:
                _fail(result, errors, s, e, ok, f"the Dask task failed: {type(exc).__name__}: {exc}")
            else:
                _store(result, s, e, arrs)
                errors.update(errs)
            progress.update(e - s)
    finally:
        client.cancel(list(futures) + [shipped])
    return errors


def _count(x, what, allow_none=True):
    if x is None and allow_none:
        return None
    if isinstance(x, (bool, np.bool_)) or not isinstance(x, (int, np.integer)) or x < 1:
        raise ValueError(f"{what} is a positive integer{' or None' if allow_none else ''}, not {x!r}")
    return int(x)


def solve_batch(model, values, variables=None, duals=(), executor=None, max_workers=None, chunk_size=None,
                solver=None, progress=None, raise_on_failure=False, mp_context=None, **settings):
    """See Model.solve_batch."""
    t0 = time.perf_counter()
    # everything the user wrote checked before anything runs
    if executor is None or executor == "serial":
        kind = "serial"
    elif executor == "processes":
        kind = "processes"
    elif _is_dask_client(executor):
        kind = "dask"
    else:
        raise ValueError(f"unknown executor {executor!r}: None or 'serial' (this process), 'processes' (local "
                         "worker processes) or a dask.distributed.Client")
    max_workers = _count(max_workers, "max_workers")
    if max_workers is not None and kind != "processes":
        raise ValueError("max_workers= is the number of local processes of executor='processes' (a Dask "
                         "cluster has its own workers)")
    if mp_context is not None and kind != "processes":
        raise ValueError("mp_context= is the start method of executor='processes'")
    chunk_size = _count(chunk_size, "chunk_size")
    if progress not in (None, True, False):
        raise TypeError(f"progress is True, False or None (shown when stderr is a terminal), not {progress!r}")
    if not isinstance(raise_on_failure, (bool, np.bool_)):
        raise TypeError(f"raise_on_failure is True or False, not {raise_on_failure!r}")
    n, batch = _batch_values(model, values)
    vs, cs = _outputs(model, variables, duals)
    refused = _refused(batch, n)
    program = program_of(model, n, batch, refused, vs, cs, solver, settings)
    ok = np.ones(n, bool)
    for i in refused:
        ok[i] = False
    arrays = [arr for _, arr in batch]
    result = _allocate(n, [v.size for v in vs], [_dual_size(d) for d in program.duals])
    errors = dict(refused)
    if kind == "processes":
        workers = max_workers or os.cpu_count() or 1
    elif kind == "dask":
        workers = max(sum(executor.nthreads().values()), 1)
    else:
        workers = 1
    size = chunk_size or min(max(math.ceil(n / (CHUNKS_PER_WORKER * workers)), 1), CHUNK_MAX)
    chunks = _chunks(n, size)
    if progress is None:
        progress = sys.stderr is not None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
    bar = _Progress(n, progress)
    try:
        if n and ok.any():
            if kind == "serial":
                errors.update(_serial(program, chunks, arrays, ok, result, bar))
            elif kind == "processes":
                errors.update(_processes(program, chunks, arrays, ok, result, bar, max_workers, mp_context))
                workers = min(workers, len(chunks))
            else:
                errors.update(_dask(executor, program, chunks, arrays, ok, result, bar))
    finally:
        bar.close()
    for i in errors:
        result[0][i] = _ERROR
    out = BatchResult(n, result, vs, cs, errors, kind, workers, time.perf_counter() - t0)
    if raise_on_failure and not out.ok.all():
        bad = np.flatnonzero(~out.ok)
        i = int(bad[0])
        why = f": {errors[i]}" if i in errors else ""
        err = SolverError(f"{len(bad)} of {n} instances of the batch were not solved; the first, instance {i}: "
                          f"{out.status[i]}{why}")
        err.result = out
        raise err
    return out

