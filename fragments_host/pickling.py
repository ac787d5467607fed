"""Pickling and copying of models and their parts.

A model pickles with everything it states and its last solution, but not
the solver it keeps for re-solves (a solver's own object, which pickles
nowhere): the next solve sets one up again. What refuses to pickle is
turned into what does here, on the classes of the steps before:

- the state a model shares with its parts (`ModelState`) holds the model
  through a weak reference; it pickles the model itself, so that a part
  pickled alone (`pickle.dumps(x)`) carries its model's statement and
  solution, and the weak reference is made again on loading;
- the state's tables keyed by the id of a constraint or variable (the
  elements each constraint owns in the flat problem, the values set on
  variables) pickle as (object, entry) pairs and are keyed by the loaded
  objects' ids again;
- a semidefinite variable holds its cone through a weak reference: pickled
  as the constraint, a weak reference again on loading;
- the flat problem's views into its own arrays (the quadratic term's values
  in the array its parameter entries are scattered into) are views again.

The model's own part (its kept solver dropped) is Model.__getstate__ in
model.py. Keys of recorded expressions that hold ids of objects (deferred.py)
are only a first test of alikeness: a run of constraints is taken together
only when the members' operands are the same objects, so a key loaded from
another process never joins expressions that are not alike."""
from __future__ import annotations

import copyreg
import dataclasses
import weakref

from .expressions import ModelState, Variable


class _Gone:
    """A target for a weak reference that is dead from the start."""


def _dead():
    return weakref.ref(_Gone())


def without_solver(result):
    """A solve's result (solver_base.Result) without the solver it kept."""
    if result is None or getattr(result, "kept", None) is None:
        return result
    return dataclasses.replace(result, kept=None)


_STATE_SLOTS = tuple(s for s in ModelState.__slots__ if s not in ("owner", "__weakref__"))


def relink(flat):
    """The views a flat problem keeps into its own arrays, made again after
    a copy (pickle and deepcopy copy a view as an array of its own): the
    quadratic term's values are the slots after the first of the values its
    parameter entries are scattered into; q is the objective's row after its
    constant."""
    if flat is None:
        return
    pt = flat.get("ptable")
    if pt is not None and "pfull" in pt:
        flat["P"].data = pt["pfull"][1:]
    if "q" in flat:
        flat["q"] = flat["qfull"][1:]
    # the backends' problem holds the arrays as they were: made again
    flat.pop("problem", None)


def _state_getstate(self):
    model = self.owner()
    out = {k: getattr(self, k) for k in _STATE_SLOTS if hasattr(self, k)}
    out["owner"] = model
    sol = out.get("_sol")
    if sol is not None and "out" in sol:
        out["_sol"] = {**sol, "out": without_solver(sol["out"])}
    # the tables keyed by ids, by their objects (entries of objects the model
    # does not hold any longer are of nothing that can ask for them)
    if model is not None:
        cons = {id(c): c for c in model._constraints}
        out["_native"] = [(cons[k], v) for k, v in self._native.items() if k in cons]
        vs = {id(v): v for v in model._variables}
        out["given"] = [(vs[k], v) for k, v in self.given.items() if k in vs]
    else:
        out["_native"], out["given"] = [], []
    return out


def _state_setstate(self, state):
    state = dict(state)
    model = state.pop("owner")
    self.owner = _dead() if model is None else weakref.ref(model)
    self._native = {id(c): v for c, v in state.pop("_native")}
    self.given = {id(v): g for v, g in state.pop("given")}
    for k, v in state.items():
        setattr(self, k, v)
    relink(self._flat)


ModelState.__getstate__ = _state_getstate
ModelState.__setstate__ = _state_setstate


def _variable_getstate(self):
    d = dict(self.__dict__)
    ref = d.get("_cone")
    if ref is not None:
        d["_cone"] = ref()
    slots = {k: getattr(self, k) for k in copyreg._slotnames(type(self)) if hasattr(self, k)}
    return d, slots


def _variable_setstate(self, state):
    d, slots = state
    for k, v in slots.items():
        object.__setattr__(self, k, v)
    if "_cone" in d:
        d = {**d, "_cone": _dead() if d["_cone"] is None else weakref.ref(d["_cone"])}
    self.__dict__.update(d)


Variable.__getstate__ = _variable_getstate
Variable.__setstate__ = _variable_setstate
