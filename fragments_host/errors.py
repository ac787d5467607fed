"""The errors a user of the package meets, each raised before any kernel runs
on what they stated (or, for the solver, after it has reported)."""


class ShapeError(ValueError):
    """Operands whose shapes do not fit the operation."""


class ParameterError(ValueError):
    """A parameter without a value, or a value of the wrong shape."""


class ModelError(ValueError):
    """A statement that cannot mean what it says: parts of different models
    combined, a constraint used as a truth value, an objective of the wrong
    kind."""


class SolverError(RuntimeError):
    """The solver did not reach a solution (raised on request only)."""


class DataError(ValueError):
    """Constant data that cannot be honoured: NaN, an infinite value where
    it has no meaning, complex values, a malformed sparse matrix."""
