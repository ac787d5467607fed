"""The test suite on every supported CPython, one session per interpreter.

    nox                      # every interpreter (a missing one is skipped)
    nox -s tests-3.12        # one interpreter
    nox -s tests-3.9 tests-3.13

Each session makes a fresh environment with that interpreter, installs the
project with its test extras from this checkout (building the module once for
that interpreter) and runs README's test command. Interpreters are looked up
on PATH first, then among pyenv's versions ($PYENV_ROOT, default ~/.pyenv).
"""
import glob
import os
import re
import shutil
import subprocess

import nox

# Oldest to newest; keep in step with the classifiers in pyproject.toml.
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]

nox.options.default_venv_backend = "venv"
if hasattr(nox.options, "download_python"):
    # Only interpreters already on this machine: never fetch one.
    nox.options.download_python = "never"


def _reports(exe, version):
    """Whether `exe` runs and is CPython `version` (a pyenv shim for a version
    that is not active fails here, so it is passed over)."""
    probe = "import sys, platform; print(platform.python_implementation(), '%d.%d' % sys.version_info[:2])"
    try:
        out = subprocess.run([exe, "-c", probe], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.SubprocessError):
        return False
    return out.returncode == 0 and out.stdout.split() == ["CPython", version]


def _patch_key(path, version):
    m = re.search(re.escape(version) + r"\.(\d+)", path)
    return int(m.group(1)) if m else -1


def find_interpreter(version):
    """Absolute path of a CPython `version` interpreter, or None."""
    name = "python" + version
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        exe = shutil.which(name, path=folder) if folder else None
        if exe and _reports(exe, version):
            return os.path.abspath(exe)
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found = glob.glob(os.path.join(root, "versions", version + ".*", "bin", name))
    for exe in sorted(found, key=lambda p: _patch_key(p, version), reverse=True):
        if _reports(exe, version):
            return exe
    return None


def _register(version):
    # A missing interpreter keeps its bare version: nox then reports
    # "Session tests-X.Y skipped: Python interpreter X.Y not found."
    # (a failure instead with --error-on-missing-interpreters, as on CI).
    python = find_interpreter(version) or version

    @nox.session(name="tests-" + version, python=python)
    def tests(session):
        session.install(".[test]")
        # Arguments after `--` replace the test path: `nox -s tests-3.9 -- -x tests/test_binding.py`.
        session.run("python", "-m", "pytest", "-q", *(session.posargs or ["tests"]))

    tests.__doc__ = "Install the project with its test extras and run the suite on CPython " + version
    return tests


for _v in VERSIONS:
    globals()["tests_" + _v.replace(".", "_")] = _register(_v)
