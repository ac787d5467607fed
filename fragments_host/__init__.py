"""fragments_host: states conic models through affine expressions on the
`fragments` kernels and solves them with Clarabel, HiGHS, SCS, OSQP, ECOS
or SCIP.

The road of a model, one module per step, each importing only the steps
before it: `errors` (the exceptions), `data` (numbers and arrays checked),
`names` (expressions written out), `kernels` (the kernels by name),
`stacks` (the evaluation stacks and the operations on them), `curvature`
(the composition rules), `deferred` (operations recorded when stated, run at
the build), `numpy_protocol` (numpy's operators and functions on
expressions), `expressions` (affine expressions, variables, parameters: the
affine algebra), `constraints` (constraint kinds and cones; comparisons of
affine expressions state them), `functions` (the convex functions, their
curvature, sign and value; quadratic objectives), `terms` (scalar elements
as term lists), `reductions` (functions reduced to cones), `translate` (the
flat problem), `solution` (values and duals mapped back), `solver_base`
(the flat problem and result every solver backend takes and gives back),
the backends `solver_clarabel`, `solver_scs`, `solver_osqp`,
`solver_highs`, `solver_ecos`, `solver_scip`, `solver` (the dispatch to
them), `pickling` (models and their parts pickled and copied), `batch`
(a model solved for a batch of parameter values, serially, on local
processes or on a Dask cluster), `model` (the statement). A step sets what
it builds on the classes of the steps before it: the comparisons of an
affine expression come from constraints.py, its abs() and ** from
functions.py, its value from solution.py, its pickling from pickling.py."""
from .constraints import Constraint, exp_cone, gen_power_cone, power_cone, psd, rsoc, soc
from .errors import DataError, ModelError, ParameterError, ShapeError, SolverError
from .expressions import Affine, Parameter, Variable, concatenate, hstack, stack, vstack
from .functions import (Expression, FunctionConstraint, Quadratic, abs_ as abs, cumsum, diag, diff, entropy, exp,
                        geo_mean, huber, inv_pos, lambda_max, lambda_min, log, log_det, log_sum_exp, max_ as max,
                        maximum, min_ as min, minimum, neg, norm, norm1, norm_inf, pos, power, quad_form,
                        quad_over_lin, rel_entr, sqrt, square, sum_ as sum, sum_squares, trace)
from .functions import (cummax, dotsort, harmonic_mean, kl_div, log1p, logistic, pnorm, sum_largest, sum_smallest, tv,
                        xexp)
from .functions import matrix_frac, normNuc, sigma_max
from .model import Model
from .terms import TermRow, Terms
from .solver import SolverStats

__all__ = ["Model", "Affine", "Variable", "Parameter", "Constraint", "Terms", "TermRow", "Quadratic", "soc", "rsoc", "psd",
           "exp_cone", "power_cone", "gen_power_cone", "sum_squares", "quad_form", "stack", "concatenate", "hstack", "vstack",
           "ShapeError", "ParameterError", "DataError", "ModelError", "SolverError", "SolverStats",
           "Expression", "FunctionConstraint", "abs", "cumsum", "diag", "diff", "entropy", "exp", "geo_mean", "huber",
           "inv_pos", "lambda_max", "lambda_min", "log", "log_det", "log_sum_exp", "max", "maximum", "min", "minimum",
           "neg", "norm", "norm1", "norm_inf", "pos", "power", "quad_over_lin", "rel_entr", "sqrt", "square", "sum",
           "trace"]
__all__ += ["cummax", "dotsort", "harmonic_mean", "kl_div", "log1p", "logistic", "pnorm", "sum_largest", "sum_smallest",
            "tv", "xexp"]
__all__ += ["matrix_frac", "normNuc", "sigma_max"]


def __getattr__(name):
    # __version__, found on first use, so that importing the package does not
    # import importlib.metadata too. meson.build's project(version:) is the
    # one place the version is written: from a checkout that file sits beside
    # this package; once installed, the distribution's metadata carries the
    # same number.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import pathlib
    import re
    meson_build = pathlib.Path(__file__).resolve().parents[1] / "meson.build"
    m = re.search(r"project\(\s*'fragments'[^)]*?\bversion\s*:\s*'([^']+)'",
                  meson_build.read_text()) if meson_build.is_file() else None
    if m:
        version = m.group(1)
    else:
        from importlib.metadata import version as installed_version
        version = installed_version("fragments")
    globals()["__version__"] = version
    return version
