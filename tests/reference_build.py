"""The module compiled from its sources as a variant build: the reference
call path (the interpreter's parser and one memoryview per array) or the
checked build (every view access and index divisor tested), and a loader
that imports such a build beside the installed module."""
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


# The preprocessor switch of each variant.
VARIANTS = {"reference": "-DFRAG_REFERENCE_CALL_PATH=1", "checked": "-DFRAG_CHECKED=1"}


def compile_reference(out_dir, variant="reference"):
    """The module's sources compiled as the given variant (reference call
    path by default)."""
    cxx = shutil.which("c++") or shutil.which("g++")
    sources = sorted(glob.glob(str(ROOT / "src" / "module" / "*.cpp")) +
                     glob.glob(str(ROOT / "src" / "kernels" / "*" / "*.cpp")))
    if cxx is None or not sources:
        return None
    flags = ["-std=c++20", "-O0", "-fPIC", "-fno-math-errno", VARIANTS[variant],
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
    # The typed stub beside the module, as an installed or meson build has it.
    shutil.copyfile(ROOT / "src" / "fragments.pyi", out_dir / "fragments.pyi")
    os.replace(part, so)  # a run stopped midway leaves no half-written module
    return so


def find_build(directory):
    found = glob.glob(os.path.join(directory, "fragments*" + sysconfig.get_config_var("EXT_SUFFIX")))
    assert found, f"no module in {directory}"
    return found[0]


def cached_reference(variant="reference"):
    """A variant build in build/<variant>-<digest> of the checkout (by
    default the reference call path), the digest taken over the sources and
    the interpreter's ABI tag, so that a second run (or a run of the suite on
    that build itself) reuses it."""
    if os.environ.get("FRAGMENTS_NO_VARIANTS"):
        # the variant comparisons are left out (CI's runs on further
        # interpreters: the variants are compared on the first one)
        return None
    sources = sorted(glob.glob(str(ROOT / "src" / "**" / "*.[ch]pp"), recursive=True) +
                     glob.glob(str(ROOT / "src" / "*.pyi")))
    if not sources:
        return None
    digest = hashlib.sha256(sysconfig.get_config_var("EXT_SUFFIX").encode())
    for src in sources:
        digest.update(pathlib.Path(src).read_bytes())
    out = ROOT / "build" / f"{variant}-{digest.hexdigest()[:16]}"
    so = out / ("fragments" + sysconfig.get_config_var("EXT_SUFFIX"))
    if so.exists():
        return so
    out.mkdir(parents=True, exist_ok=True)
    return compile_reference(out, variant)


def cached_checked():
    """The checked build, cached like the reference build."""
    return cached_reference("checked")


if __name__ == "__main__":
    # python tests/reference_build.py [reference|checked]: print the directory
    # of that build (the reference build by default).
    import sys
    print(cached_reference(sys.argv[1] if len(sys.argv) > 1 else "reference").parent)
