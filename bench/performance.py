"""One table of what a call costs and one of how fast the loops run, side by
side in one process:

- per-call ns of kernels taking 2, 8 and 16 arrays on the release call path,
  on the reference call path (the interpreter's parser and one memoryview per
  array) and of a METH_VARARGS no-op given the same arguments, with ratios;
- loop throughput of kernel pipelines against numpy/scipy doing the same job
  (compressed rows from 10**6 triplets, the radix passes of a transposition,
  large copies and fills, the program evaluator on 10**6 programs of one
  shape and of mixed shapes, the order pass of a sparse axis sum, the size
  passes of sparse matrix products), with ratios.

    python bench/performance.py [--reference BUILD_DIR] [--number 200000] [--repeat 7] [--n 1000000]
                                [--loops-only]

Without --reference the reference call path is compiled here from the sources
(a C++ compiler is needed).
"""
import argparse
import glob
import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import timeit

import numpy as np
import scipy.sparse as sp

import fragments as F

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from reference_build import compile_reference, load  # noqa: E402

CATALOGUE = json.loads((ROOT / "tests" / "signatures.json").read_text())["kernels"]
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def noop_module():
    """A METH_VARARGS function that does nothing, built here."""
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="noop"))
    src = tmp / "noop.c"
    src.write_text('#define PY_SSIZE_T_CLEAN\n#include <Python.h>\n'
                   'static PyObject* noop(PyObject* s, PyObject* a) { (void)s; (void)a; Py_RETURN_NONE; }\n'
                   'static PyMethodDef m[] = {{"noop", noop, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};\n'
                   'static struct PyModuleDef d = {PyModuleDef_HEAD_INIT, "noop", "", -1, m};\n'
                   'PyMODINIT_FUNC PyInit_noop(void) { return PyModule_Create(&d); }\n')
    so = tmp / ("noop" + SUFFIX)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}", str(src), "-o",
                    str(so)], check=True)
    spec = importlib.util.spec_from_file_location("noop", so)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def args_for(n):
    sig = CATALOGUE[str(n)]
    dt = {"int32": np.int32, "int64": np.int64, "float64": np.float64}
    arrays = iter([np.ones(64 if a["ndim"] == 1 else (64, 8), dt[a["type"]]) for a in sig["arrays"]])
    return tuple(next(arrays) if c == "O" else {"i": 0, "L": 0, "p": False, "d": 0.0}[c] for c in sig["format"])


def with_arrays(k):
    """The kernel with exactly k one-dimensional arrays and the fewest scalars."""
    fits = [int(n) for n, s in CATALOGUE.items()
            if len(s["arrays"]) == k and all(a["ndim"] == 1 and a["type"] != "object" for a in s["arrays"])
            and hasattr(F, f"_c_closure_{n}")]
    return min(fits, key=lambda n: (len(CATALOGUE[str(n)]["format"]), n))


def per_call_ns(fn, args, number, repeat):
    return min(timeit.repeat(lambda: fn(*args), number=number, repeat=repeat)) / number * 1e9


def call_table(ref, number, repeat):
    noop = noop_module().noop
    print(f"{'kernel':>12s} {'arrays':>6s} {'scalars':>7s} {'fast ns':>8s} {'reference ns':>12s} {'no-op ns':>8s} "
          f"{'fast/ref':>8s} {'fast/no-op':>10s}")
    for n in (576, 426, with_arrays(16)):
        sig, args = CATALOGUE[str(n)], args_for(n)
        name = f"_c_closure_{n}"
        fast = per_call_ns(getattr(F, name), args, number, repeat)
        slow = per_call_ns(getattr(ref, name), args, number, repeat)
        floor = per_call_ns(noop, args, number, repeat)
        print(f"{name:>12s} {len(sig['arrays']):6d} {len(sig['format']) - len(sig['arrays']):7d} {fast:8.1f} "
              f"{slow:12.1f} {floor:8.1f} {fast / slow:8.2f} {fast / floor:10.2f}")


def best(fn, repeat):
    """Best of `repeat` single runs, after one untimed run (first touches of
    fresh memory are not the loop's cost)."""
    fn()
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def loop_rows(n, repeat):
    rng = np.random.default_rng(0)
    rows = []

    # Compressed rows from n triplets with repeated positions: count, prefix,
    # column scatter, row scatter, distinct count, merge of repeats.
    m = ncols = max(1, int(n ** 0.5))
    subi = rng.integers(0, m, n).astype(np.int32)
    subj = rng.integers(0, ncols, n).astype(np.int32)
    val = rng.random(n)
    rptrb, cptrb = np.zeros(m + 2, np.int64), np.zeros(ncols + 2, np.int64)
    cols, rws = np.zeros(n, np.int32), np.zeros(n, np.int32)
    tsubi, tsubj, tval = np.zeros(n, np.int32), np.zeros(n, np.int32), np.zeros(n)

    def kernel_csr():
        rptrb[:] = 0
        cptrb[:] = 0
        F._c_closure_117(cptrb, n, rptrb, subi, subj)
        F._c_closure_125(m, rptrb)
        F._c_closure_122(cptrb, ncols)
        F._c_closure_123(cols, cptrb, n, subj)
        F._c_closure_126(cols, cptrb, ncols, rws, rptrb, subi)
        F._c_closure_127(n, 1, rws, subi, subj)
        first = rws[0]
        tsubi[0], tsubj[0], tval[0] = subi[first], subj[first], val[first]
        F._c_closure_128(1, n, rws, subi, subj, tsubi, tsubj, tval, val)

    rows.append((f"compressed rows from {n} triplets", "coo_matrix.tocsr", best(kernel_csr, repeat),
                 best(lambda: sp.coo_matrix((val, (subi, subj)), shape=(m, ncols)).tocsr(), repeat)))

    # A whole transposition of a sparse pattern by the radix passes, one
    # counting pass per axis from the last key axis to the first.
    shape, perm = (100, 100, 100), (2, 0, 1)
    size = int(np.prod(shape))
    pat = np.sort(rng.choice(size, min(n, size // 2), replace=False))
    rshape = tuple(np.array(shape)[list(perm)])
    rsp = np.ravel_multi_index(tuple(np.array(np.unravel_index(pat, shape))[list(perm)]), rshape)
    k = pat.size
    rsh, s = np.array(rshape, np.int32), np.ones(3, np.int64)
    F._c_closure_242(3, rsh, s)
    cur, tgt = np.zeros(k, np.int32), np.zeros(k, np.int32)
    ptrs = [np.zeros(rshape[a] + 2, np.int32) for a in range(3)]

    def kernel_transpose():
        c, t = cur, tgt
        F._c_closure_66(c, k)
        for a in (2, 1, 0):
            p = ptrs[a]
            F._c_closure_243(a, p, rsh)
            F._c_closure_244(a, p, k, rsh, rsp, s)
            F._c_closure_245(a, p, rsh)
            F._c_closure_246(c, a, p, k, rsh, rsp, s, t)
            c, t = t, c

    rows.append((f"transposition passes, {k} entries", "argsort stable", best(kernel_transpose, repeat),
                 best(lambda: np.argsort(rsp, kind="stable"), repeat)))

    # Large copies and fills.
    a = rng.integers(0, 9, n).astype(np.int32)
    dst = np.empty_like(a)
    rows.append((f"copy of {n} int32", "copyto", best(lambda: F._c_closure_576(n, dst, 0, 0, a), repeat),
                 best(lambda: np.copyto(dst, a), repeat)))
    big, bigf = np.empty(n, np.int64), np.empty(n)
    rows.append((f"fill of {n} int64", "fill", best(lambda: F._c_closure_106(n, big, 7), repeat),
                 best(lambda: big.fill(7), repeat)))
    rows.append((f"fill of {n} float64", "fill", best(lambda: F._c_closure_336(n, bigf, 2.5), repeat),
                 best(lambda: bigf.fill(2.5), repeat)))
    wide = np.empty(2 * n, np.int32)
    rows.append((f"copy of {n} int32, strided", "copyto", best(lambda: F._c_closure_576(n, wide[::2], 0, 0, a),
                                                                repeat),
                 best(lambda: np.copyto(wide[::2], a), repeat)))

    # The program evaluator on n stored programs "parameter p_j times c",
    # 1000 entries a row, against numpy's p[j] * c.
    nrows = max(1, n // 1000)
    per = n // nrows
    total = nrows * per
    params = rng.random(64)
    pj = rng.integers(0, 64, total)
    c = rng.random(total)
    code = np.tile(np.array([1, 2, 5], np.int32), total)
    cconst = np.zeros(3 * total)
    cconst[0::3], cconst[1::3] = pj, c
    sizes = np.full(total, 3, np.int32)
    varidx = np.arange(total, dtype=np.int64) % per
    ptrb = np.arange(nrows, dtype=np.int32) * per
    ptre = ptrb + per
    rcp = ptrb * 3
    outi, outj, outv = np.zeros(total, np.int32), np.zeros(total, np.int32), np.zeros(total)
    xf64 = np.zeros(16)
    ev = lambda: F._c_closure_134(cconst, code, 0, sizes, params, varidx, rcp, ptrb, ptre, 0, 0,  # noqa: E731
                                  outi, outj, outv, xf64)
    ev()
    assert np.allclose(outv, params[pj] * c)
    # numpy does what the evaluator hands back: the value of every program and
    # its (row, variable) pair.
    rowid = np.repeat(np.arange(nrows, dtype=np.int32), per)

    def numpy_eval():
        np.multiply(params[pj], c, out=outv)
        outi[:] = rowid
        outj[:] = varidx

    rows.append((f"program evaluator, {total} programs", "p[j]*c, (i, j)", best(ev, repeat),
                 best(numpy_eval, repeat)))

    # The evaluator on mixed programs, a quarter each of "p_j * c", "p_j",
    # "p_j + p_k" and "-(1 / (p_j * c))", against numpy computing each group.
    kinds = rng.integers(0, 4, total)
    pk = rng.integers(0, 64, total)
    shapes = [([1, 2, 5], 3), ([1], 1), ([1, 1, 3], 3), ([1, 2, 5, 6, 4], 5)]
    sizes = np.array([shapes[k][1] for k in range(4)], np.int32)[kinds]
    starts = np.concatenate([[0], np.cumsum(sizes)])
    code = np.zeros(starts[-1], np.int32)
    cconst = np.zeros(starts[-1])
    for k, (words, _) in enumerate(shapes):
        at = starts[:-1][kinds == k]
        for w, word in enumerate(words):
            code[at + w] = word
        cconst[at] = pj[kinds == k]
        if k in (0, 3):
            cconst[at + 1] = c[kinds == k]
        if k == 2:
            cconst[at + 1] = pk[kinds == k]
    rcp = starts[ptrb].astype(np.int32)
    ev_mixed = lambda: F._c_closure_134(cconst, code, 0, sizes, params, varidx, rcp, ptrb, ptre, 0, 0,  # noqa: E731
                                        outi, outj, outv, xf64)
    groups = [np.flatnonzero(kinds == k) for k in range(4)]

    def numpy_mixed():
        g0, g1, g2, g3 = groups
        outv[g0] = c[g0] * params[pj[g0]]
        outv[g1] = params[pj[g1]]
        outv[g2] = params[pk[g2]] + params[pj[g2]]
        outv[g3] = -(1.0 / (c[g3] * params[pj[g3]]))
        outi[:] = rowid
        outj[:] = varidx

    ev_mixed()
    got = outv.copy()
    numpy_mixed()
    assert np.array_equal(got, outv)
    rows.append((f"program evaluator, {total} mixed programs", "per kind, (i, j)", best(ev_mixed, repeat),
                 best(numpy_mixed, repeat)))
    return rows


def sparse_product_rows(repeat):
    """Size passes of products of a sparse operand with 100 stored elements
    and a sparse 40 x 40 matrix, against scipy's product of the patterns: the
    right product over 2,000 and 20,000 operand rows, the left one over as
    many operand columns."""
    rng = np.random.default_rng(2)
    rows = []
    m = n = 40
    si, sj = (a.astype(np.int32) for a in np.nonzero(rng.random((m, n)) < 0.1))
    order = np.zeros(n + 1 + len(si), np.int32)
    F._c_closure_457(len(si), 0, sj, order, n, 0)
    M = sp.csr_matrix((np.ones(len(si)), (si, sj)), shape=(m, n))
    ptr = np.arange(101, dtype=np.int32)
    for q in (2000, 20000):
        spo = np.sort(rng.choice(q * m, 100, replace=False)).astype(np.int64)
        S = sp.csr_matrix((np.ones(100), (spo // m, spo % m)), shape=(q, m))
        right = lambda: F._c_closure_463(0, 0, si, sj, m, n, 100, 0, 0, 0, q, ptr, spo, 0, 0, order)  # noqa: E731
        assert right()[0] == (S @ M).nnz
        rows.append((f"sparse E.M sizes, {q} rows, 100 stored", "csr @ csr", best(right, repeat),
                     best(lambda: S @ M, repeat)))
        St = sp.csr_matrix((np.ones(100), (spo % n, spo // n)), shape=(n, q))
        spt = np.sort((spo % n) * q + spo // n).astype(np.int64)
        left = lambda: F._c_closure_473(0, len(si), 0, True, 0, m, si, sj, 0, 100, 0, 0, 0, q, 0, 0,  # noqa: E731
                                        ptr, spt)
        assert left()[0] == (M @ St).nnz
        rows.append((f"sparse M.E sizes, {q} columns, 100 stored", "csr @ csr", best(left, repeat),
                     best(lambda: M @ St, repeat)))
    return rows


def axis_sum_rows(repeat):
    """The order pass of a sparse sum along axis 0 of an N x N expression
    with N stored elements, against numpy's lexsort of the same keys."""
    rng = np.random.default_rng(1)
    rows = []
    for N in (4000, 16000):
        sp = np.sort(rng.choice(N * N, N, replace=False)).astype(np.int64)
        ptr = np.arange(N + 1, dtype=np.int32)
        order = np.zeros(N, np.int32)
        keys = sp % N
        run = lambda: F._c_closure_533(0, N, N, N, 0, 0, 0, 0, ptr, sp, order)  # noqa: E731
        run()
        assert np.array_equal(order, np.lexsort((sp, keys)))
        rows.append((f"sparse sum along axis 0, N = {N}", "lexsort", best(run, repeat),
                     best(lambda: np.lexsort((sp, keys)), repeat)))
    return rows


def loop_table(n, repeat):
    print(f"\n{'loop':40s} {'numpy/scipy':>17s} {'kernel ms':>10s} {'numpy/scipy ms':>15s} {'ratio':>7s}")
    for label, what, k, ref in loop_rows(n, repeat) + axis_sum_rows(repeat) + sparse_product_rows(repeat):
        print(f"{label:40s} {what:>17s} {k * 1e3:10.2f} {ref * 1e3:15.2f} {k / ref:7.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reference", help="build directory made with -Dcall_path=reference")
    ap.add_argument("--number", type=int, default=200000)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--loops-only", action="store_true", help="skip the per-call table (and its build)")
    o = ap.parse_args()
    if o.loops_only:
        loop_table(o.n, o.repeat)
        return
    if o.reference:
        so = glob.glob(os.path.join(o.reference, "fragments*" + SUFFIX))[0]
    else:
        so = compile_reference(pathlib.Path(tempfile.mkdtemp(prefix="reference")))
    call_table(load(so), o.number, o.repeat)
    loop_table(o.n, o.repeat)


if __name__ == "__main__":
    sys.exit(main())
