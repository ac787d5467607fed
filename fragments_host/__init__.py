"""A small host for the `fragments` kernels: states conic models through
affine expressions on the evaluation stacks and solves them with Clarabel."""
from ._model import (Affine, Constraint, Parameter, ParameterError, ShapeError, SolverError, Variable, hstack,
                     psd, rsoc, soc, stack, vstack)
from ._solve import Model

__all__ = ["Model", "Affine", "Variable", "Parameter", "Constraint", "soc", "rsoc", "psd", "stack", "hstack",
           "vstack", "ShapeError", "ParameterError", "SolverError"]


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
