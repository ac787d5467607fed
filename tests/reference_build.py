"""The module compiled from its sources with the reference call path (the
interpreter's parser and one memoryview per array), and a loader that
imports such a build beside the installed module."""
import glob
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parents[1]


def load(so):
    spec = importlib.util.spec_from_file_location("fragments", so)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def compile_reference(out_dir):
    """The module's sources compiled with the reference call path."""
    cxx = shutil.which("c++") or shutil.which("g++")
    sources = sorted(glob.glob(str(ROOT / "src" / "module" / "*.cpp")) +
                     glob.glob(str(ROOT / "src" / "kernels" / "*" / "*.cpp")))
    if cxx is None or not sources:
        return None
    flags = ["-std=c++20", "-O0", "-fPIC", "-fno-math-errno", "-DFRAG_REFERENCE_CALL_PATH=1",
             f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}"]
    procs, objs = [], []
    for k, src in enumerate(sources):
        obj = out_dir / f"{k}.o"
        objs.append(str(obj))
        procs.append(subprocess.Popen([cxx, *flags, "-c", src, "-o", str(obj)]))
        if len(procs) >= (os.cpu_count() or 2):
            assert procs.pop(0).wait() == 0
    assert all(p.wait() == 0 for p in procs)
    so = out_dir / ("fragments" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([cxx, "-shared", *objs, "-o", str(so)], check=True)
    return so


if __name__ == "__main__":
    # python tests/reference_build.py DIR: compile the reference build into DIR.
    import sys

    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    print(compile_reference(out))
