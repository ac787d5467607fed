"""pytest plugin for the suite's run against an installed wheel: the run
fails unless `fragments` and `fragments_host` were imported from the running
environment's site-packages (a copy of either left in the test folder or on
PYTHONPATH would otherwise be tested in the wheel's place, and pass), and
unless `fragments_host.__version__` is the installed distribution's version.

    python -m pytest -q -p wheel_origin tests     # with this file in the current folder
"""
import importlib
import importlib.metadata
import pathlib
import sys
import sysconfig

import pytest

MODULES = ("fragments", "fragments_host")


def _site_packages():
    paths = sysconfig.get_paths()
    return {pathlib.Path(paths[k]).resolve() for k in ("purelib", "platlib")}


def _folder(mod):
    path = pathlib.Path(mod.__file__).resolve()
    # A package's folder is its own name; the module sits in site-packages itself.
    return path.parent.parent if path.name == "__init__.py" else path.parent


def pytest_collection_finish(session):
    site = _site_packages()
    wrong = []
    for name in MODULES:
        mod = sys.modules.get(name) or importlib.import_module(name)
        if _folder(mod) not in site:
            wrong.append(f"{name} from {mod.__file__}")
    host = sys.modules["fragments_host"]
    installed = importlib.metadata.version("fragments")
    if getattr(host, "__version__", None) != installed:
        wrong.append(f"fragments_host.__version__ {getattr(host, '__version__', None)!r}, "
                      f"distribution {installed!r}")
    if wrong:
        pytest.exit("the run is not on the installed wheel: " + ", ".join(wrong)
                    + " (site-packages: " + ", ".join(map(str, sorted(site))) + ")", returncode=1)
