"""Prints the requirements of one of the project's extras, one a line, for
the CI steps that install tools without installing the project:

    python .ci/extra_requirements.py dev
"""
import pathlib
import sys

try:
    import tomllib
except ImportError:  # before 3.11: the TOML reader that pip carries
    from pip._vendor import tomli as tomllib

pyproject = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"
with open(pyproject, "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"][sys.argv[1]]))
