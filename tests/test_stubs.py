"""The typed stub: the copy in the repository is what tools/make_stubs.py makes
from the catalogue and the C++ sources now, the stub beside the imported
module describes that module's kernels with the catalogue's arities, and a
type checker reading it accepts a correct call and rejects wrong ones."""
import ast
import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import fragments

ROOT = Path(__file__).resolve().parent.parent
CATALOGUE = json.loads((ROOT / "tests" / "signatures.json").read_text())["kernels"]


def _generator():
    found = importlib.util.spec_from_file_location("make_stubs", ROOT / "tools" / "make_stubs.py")
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


def _kernels(stub_text):
    """name -> FunctionDef of every top-level function in the stub."""
    tree = ast.parse(stub_text)
    return {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}


def test_repository_stub_is_current():
    assert (ROOT / "src" / "fragments.pyi").read_text() == _generator().generate()


def test_installed_stub_matches_module():
    here = Path(fragments.__file__).parent
    stub = here / "fragments.pyi"
    assert stub.is_file(), "no fragments.pyi beside %s" % fragments.__file__
    assert (ROOT / "src" / "py.typed").is_file()
    package = here / "fragments-stubs"
    if package.is_dir():  # installed (not an in-place build)
        assert (package / "__init__.pyi").read_text() == stub.read_text()
        assert (package / "py.typed").is_file()
    defs = _kernels(stub.read_text())
    exported = {n for n in dir(fragments) if n.startswith("_c_closure_")}
    assert set(defs) == exported == {"_c_closure_%d" % n for n in range(657)}
    for name, fn in defs.items():
        entry = CATALOGUE[name[len("_c_closure_"):]]
        a = fn.args
        # Every argument positional-only, one per format character.
        assert not a.args and not a.kwonlyargs and a.vararg is None and a.kwarg is None, name
        assert len(a.posonlyargs) == len(entry["format"]), name
        arrays = [p for p, ch in zip(a.posonlyargs, entry["format"]) if ch == "O"]
        assert [p.arg for p in arrays] == [x["name"] for x in entry["arrays"]], name
        for p, x in zip(arrays, entry["arrays"]):
            assert ast.unparse(p.annotation) == ("_Array" if x["not_none"] else "_Array | None"), name
        doc = ast.get_docstring(fn)
        assert doc and "\n" not in doc, name


def test_result_and_scalar_types():
    defs = _kernels(_generator().generate())
    scalar = {"i": "int", "L": "int", "p": "bool", "d": "float"}
    plain = {"none": "None", "int32": "int", "int64": "int", "bool": "bool"}
    for name, fn in defs.items():
        entry = CATALOGUE[name[len("_c_closure_"):]]
        for p, ch in zip(fn.args.posonlyargs, entry["format"]):
            if ch != "O":
                assert ast.unparse(p.annotation) == scalar[ch], (name, p.arg)
        ret = ast.unparse(fn.returns)
        if entry["result"] == "tuple":
            items = ret[len("tuple["):-1].split(", ")
            assert ret.startswith("tuple[") and len(items) == entry["tuple_len"], name
            assert set(items) <= {"int", "bool"}, name
        else:
            assert ret == plain[entry["result"]], name
    # Bool positions in tuples come from the C++ return types.
    assert ast.unparse(defs["_c_closure_561"].returns) == "tuple[bool, int]"
    assert ast.unparse(defs["_c_closure_645"].returns) == "bool"


def test_generator_refuses_a_function_without_contract(tmp_path):
    gen = _generator()
    (tmp_path / "tests").mkdir()
    (tmp_path / "tests" / "signatures.json").write_text(
        json.dumps({"kernels": {"0": CATALOGUE["0"]}}))
    kdir = tmp_path / "src" / "kernels" / "fam"
    kdir.mkdir(parents=True)
    body = 'i32 product(i32 p, Vec<i32> shape) { return p; }\nFRAG_KERNEL(0, "iO", product, "shape");\n'
    (kdir / "k.cpp").write_text(body)
    gen.ROOT = tmp_path
    with pytest.raises(gen.StubError, match="no contract comment"):
        gen.generate(tmp_path)
    (kdir / "k.cpp").write_text("// p times the extents. More words.\n" + body)
    text = gen.generate(tmp_path)
    assert 'def _c_closure_0(p: int, shape: _Array | None, /) -> int:\n    """p times the extents."""' in text


GOOD = """\
import numpy as np
import fragments

shape = np.array([2, 3, 4], dtype=np.int32)
size: int = fragments._c_closure_0(1, shape)
fragments._c_closure_0(1, memoryview(bytearray(8)))
fragments._c_closure_0(1, None)
pair: tuple[bool, int] = fragments._c_closure_561(2, True, 1, 0, shape)
"""

BAD = {
    "argument type": "import fragments\nfragments._c_closure_0(1, 2)\n",
    "argument count": "import fragments\nfragments._c_closure_0(1)\n",
    "keyword argument": "import fragments\nfragments._c_closure_0(1, shape=None)\n",
    "flag given a count": "import numpy as np\nimport fragments\n"
                          "fragments._c_closure_561(2, 5, 1, 0, np.zeros(2, np.int32))\n",
    "result type": "import fragments\nx: str = fragments._c_closure_0(1, None)\n",
}


def _mypy(tmp_path, name, text):
    src = tmp_path / (name.replace(" ", "_") + ".py")
    src.write_text(text)
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), str(src)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)


@pytest.fixture(scope="module")
def mypy_dir(tmp_path_factory):
    # One cache for every run of the module, in a temporary directory.
    return tmp_path_factory.mktemp("mypy")


def test_type_checker_accepts_a_correct_call(mypy_dir):
    r = _mypy(mypy_dir, "good", GOOD)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.mark.parametrize("what", sorted(BAD))
def test_type_checker_rejects_a_wrong_call(mypy_dir, what):
    r = _mypy(mypy_dir, what, BAD[what])
    # Exit 1 with an error on the call's line: a missing mypy or a broken
    # stub (exit 2, or a message elsewhere) does not count as a rejection.
    assert r.returncode == 1, r.stdout + r.stderr
    assert ".py:2: error:" in r.stdout or ".py:3: error:" in r.stdout, r.stdout
