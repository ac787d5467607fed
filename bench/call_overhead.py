"""Per-call cost of kernels with few and with many arguments, side by side
with two reference functions built here (outside the module) for the same
arguments: a METH_VARARGS no-op, and a METH_VARARGS function that only binds
the arguments with PyArg_ParseTuple and the kernel's format string.

    python bench/call_overhead.py [--repeat 7] [--number 200000]
"""
import argparse
import importlib.util
import json
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import timeit

import numpy as np

import fragments

CATALOGUE = json.loads((pathlib.Path(__file__).resolve().parents[1] / "tests" / "signatures.json")
                       .read_text())["kernels"]
EXPORTED = {int(k[len("_c_closure_"):]) for k in vars(fragments) if k.startswith("_c_closure_")}

def reference_source(formats):
    """C source of the reference module: `noop`, and `parse_K` binding the
    arguments with format K of `formats`, as a kernel does before its loop."""
    fns, table = [], ['{"noop", noop, METH_VARARGS, NULL},']
    for k, fmt in enumerate(formats):
        slots = ", ".join(f"&s[{i}]" for i in range(len(fmt)))
        fns.append(f"""
static PyObject* parse_{k}(PyObject* self, PyObject* args) {{
  (void)self;
  union {{ int i; long long L; double d; PyObject* o; }} s[{len(fmt)}];
  if (!PyArg_ParseTuple(args, "{fmt}", {slots})) return NULL;
  Py_RETURN_NONE;
}}""")
        table.append(f'{{"parse_{k}", parse_{k}, METH_VARARGS, NULL}},')
    return ("#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n"
            "static PyObject* noop(PyObject* self, PyObject* args) "
            "{ (void)self; (void)args; Py_RETURN_NONE; }\n"
            + "\n".join(fns)
            + "\nstatic PyMethodDef methods[] = {" + " ".join(table) + " {NULL, NULL, 0, NULL}};\n"
            "static struct PyModuleDef mod = {PyModuleDef_HEAD_INIT, \"callref\", \"\", -1, methods};\n"
            "PyMODINIT_FUNC PyInit_callref(void) { return PyModule_Create(&mod); }\n")


def build_reference(formats):
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="callref"))
    src = tmp / "callref.c"
    src.write_text(reference_source(formats))
    so = tmp / ("callref" + sysconfig.get_config_var("EXT_SUFFIX"))
    inc = sysconfig.get_paths()["include"]
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{inc}", str(src), "-o", str(so)], check=True)
    spec = importlib.util.spec_from_file_location("callref", so)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def args_for(sig):
    dt = {"int32": np.int32, "int64": np.int64, "float64": np.float64}
    arrays = iter([np.ones(64, dt[a["type"]]) if a["ndim"] == 1 else np.ones((8, 8), dt[a["type"]])
                   for a in sig["arrays"]])
    scalars = {"i": 0, "L": 0, "p": False, "d": 0.0}
    return tuple(next(arrays) if c == "O" else scalars[c] for c in sig["format"])


def pick(n_arrays, n_scalars):
    """The exported kernel whose argument counts are closest to the request."""
    def distance(n):
        sig = CATALOGUE[str(n)]
        a = len(sig["arrays"])
        return abs(a - n_arrays) + abs(len(sig["format"]) - a - n_scalars), n
    return min(EXPORTED, key=distance)


def per_call_ns(fn, args, number, repeat):
    t = min(timeit.repeat(lambda: fn(*args), number=number, repeat=repeat))
    return t / number * 1e9


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--number", type=int, default=200000)
    ap.add_argument("--repeat", type=int, default=7)
    opts = ap.parse_args()
    cases = [("few: 2 arrays", 576), ("few: 1 array", 525), ("sizes: 1 array, tuple", 561),
             ("many: 7 arrays, 20 scalars", pick(7, 20))]
    ref = build_reference([CATALOGUE[str(n)]["format"] for _, n in cases])
    print(f"{'case':30s} {'kernel':>8s} {'format':>34s} {'kernel ns':>10s} {'no-op ns':>9s} "
          f"{'parse ns':>9s} {'k/no-op':>8s} {'k/parse':>8s}")
    for case, (label, n) in enumerate(cases):
        sig = CATALOGUE[str(n)]
        args = args_for(sig)
        fn = getattr(fragments, f"_c_closure_{n}")
        k = per_call_ns(fn, args, opts.number, opts.repeat)
        z = per_call_ns(ref.noop, args, opts.number, opts.repeat)
        p = per_call_ns(getattr(ref, f"parse_{case}"), args, opts.number, opts.repeat)
        print(f"{label:30s} {n:8d} {sig['format']:>34s} {k:10.1f} {z:9.1f} {p:9.1f} "
              f"{k / z:8.2f} {k / p:8.2f}")


if __name__ == "__main__":
    sys.exit(main())
