"""The module compiled from its sources with the reference call path (the
interpreter's parser and one memoryview per array), and a loader that
imports such a build beside the installed module."""
import glob
import hashlib
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
    part = out_dir / "fragments.so.part"
    subprocess.run([cxx, "-shared", *objs, "-o", str(part)], check=True)
    os.replace(part, so)  # a run stopped midway leaves no half-written module
    return so


def find_build(directory):
    found = glob.glob(os.path.join(directory, "fragments*" + sysconfig.get_config_var("EXT_SUFFIX")))
    assert found, f"no module in {directory}"
    return found[0]


def cached_reference():
    """A reference build in build/reference-<digest> of the checkout, the
    digest taken over the sources and the interpreter's ABI tag, so that a
    second run (or a run of the suite on the reference build itself) reuses it."""
    sources = sorted(glob.glob(str(ROOT / "src" / "**" / "*.[ch]pp"), recursive=True))
    if not sources:
        return None
    digest = hashlib.sha256(sysconfig.get_config_var("EXT_SUFFIX").encode())
    for src in sources:
        digest.update(pathlib.Path(src).read_bytes())
    out = ROOT / "build" / f"reference-{digest.hexdigest()[:16]}"
    so = out / ("fragments" + sysconfig.get_config_var("EXT_SUFFIX"))
    if so.exists():
        return so
    out.mkdir(parents=True, exist_ok=True)
    return compile_reference(out)


if __name__ == "__main__":
    # python tests/reference_build.py: print the directory of the reference build.
    print(cached_reference().parent)
