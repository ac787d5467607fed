"""A small host for the `fragments` kernels: states conic models through
affine expressions on the evaluation stacks and solves them with Clarabel."""
from ._model import (Affine, Constraint, Parameter, ParameterError, ShapeError, SolverError, Variable, hstack,
                     psd, rsoc, soc, stack, vstack)
from ._solve import Model

__all__ = ["Model", "Affine", "Variable", "Parameter", "Constraint", "soc", "rsoc", "psd", "stack", "hstack",
           "vstack", "ShapeError", "ParameterError", "SolverError"]
