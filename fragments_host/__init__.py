"""A small host for the `fragments` kernels: states conic models through
affine expressions on the evaluation stacks and solves them with Clarabel."""
from ._model import (Affine, Constraint, Parameter, ParameterError, ShapeError, SolverError, Variable, hstack,
                     psd, rsoc, soc, stack, vstack)
from ._solve import Model

__all__ = ["Model", "Affine", "Variable", "Parameter", "Constraint", "soc", "rsoc", "psd", "stack", "hstack",
           "vstack", "ShapeError", "ParameterError", "SolverError"]


def _version():
    # meson.build's project(version:) is the one place the version is written.
    # From a checkout that file sits beside this package; once installed, the
    # distribution's metadata carries the same number.
    import pathlib
    import re
    meson_build = pathlib.Path(__file__).resolve().parents[1] / "meson.build"
    if meson_build.is_file():
        m = re.search(r"project\(\s*'fragments'[^)]*?\bversion\s*:\s*'([^']+)'", meson_build.read_text())
        if m:
            return m.group(1)
    from importlib.metadata import version
    return version("fragments")


__version__ = _version()
del _version
