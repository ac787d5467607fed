"""Nanoseconds per entry of three inner loops the host leans on, on the
sizes it gives them:

- transpose_scatter (kernel 120): compressed rows of about 10**6 entries
  scattered into column order in calls of about 60,000 entries, one real
  output array per call (the others zero-stride sinks), into 1,001 columns
  (every row holds every column) or 10,000 columns (100 random ones a row);
- left_product_fill (kernel 479): M . x for a variable vector x, M 1000 x
  1000 dense or 10**4 x 10**4 with 10**6 entries;
- split_rows_and_constants (kernel 76): 10**6 row entries split in calls of
  about 60,000 entries, almost all of them positive indices, keeping the
  coefficients (the scatter pass) or sending them to a sink (the counting
  pass).

Each case runs best of --repeat with output arrays allocated afresh for every
run ("fresh": their first touch, page faults included, is timed) and with the
same arrays every run ("warm"). With --builds, the
module of each given build directory (or install target) is loaded into this
one process and the builds take turns run by run, so that a noisy machine
weighs on all of them alike.

    PYTHONPATH=<build> python bench/kernel_loops.py [--repeat 15] [--only 120,479,76]
    python bench/kernel_loops.py --builds site-old site [--repeat 15]
"""
import argparse
import glob
import importlib.machinery
import importlib.util
import os
import time

import numpy as np

I32, I64, F64 = np.int32, np.int64, np.float64
CHUNK = 60_000


def sink(dtype, n):
    """n elements standing on one: what the host passes for an output it does not want."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=(max(n, 1),), strides=(0,), writeable=True)


def load(build):
    """The fragments module of a build directory or install target."""
    path = glob.glob(os.path.join(build, "fragments.*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("fragments", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("fragments", path, loader=loader))
    loader.exec_module(module)
    return module


def best(run, fresh, outputs, repeat, modules):
    """Best time of `run(module, outputs)` per module over `repeat` turns, new outputs each run when `fresh`."""
    times = [[] for _ in modules]
    warm = [outputs() for _ in modules]
    for F, outs in zip(modules, warm):
        run(F, outs)
    if fresh:
        warm = None
    for turn in range(repeat):
        for j in range(len(modules)):
            k = (j + turn) % len(modules)  # who goes first changes turn by turn
            outs = outputs() if fresh else warm[k]
            t = time.perf_counter()
            run(modules[k], outs)
            times[k].append(time.perf_counter() - t)
            del outs
    return [min(t) for t in times]


# ------------------------------------------------------------ transpose_scatter

def csr(rng, nrows, ncols, per_row):
    """Row pointer and ascending columns of nrows rows: every column (per_row None) or per_row random ones."""
    if per_row is None:
        subj = np.tile(np.arange(ncols, dtype=I32), nrows)
        ptr = np.arange(nrows + 1, dtype=I64) * ncols
    else:
        subj = np.concatenate([np.sort(rng.choice(ncols, per_row, replace=False)) for _ in range(nrows)]).astype(I32)
        ptr = np.arange(nrows + 1, dtype=I64) * per_row
    return ptr, subj


def transpose_case(rng, nrows, ncols, per_row, which):
    ptr, subj = csr(rng, nrows, ncols, per_row)
    nnz = len(subj)
    val = rng.standard_normal(nnz)
    starts = np.zeros(ncols + 1, I64)
    starts[1:] = np.cumsum(np.bincount(subj, minlength=ncols))
    rows_per_call = max(1, CHUNK // (nnz // nrows))
    calls = []
    for r0 in range(0, nrows, rows_per_call):
        r1 = min(nrows, r0 + rows_per_call)
        base = int(ptr[r0])
        rptrb = np.zeros(r1 + 1, I64)  # rows before r0 are empty, as the host passes them
        rptrb[r0:] = ptr[r0:r1 + 1] - base
        calls.append((r1, rptrb, subj[base:int(ptr[r1])].copy(), val[base:int(ptr[r1])].copy()))

    def outputs():
        real = np.empty(nnz, F64 if which == "vals" else I32)
        if which == "vals":
            return real, (sink(I32, nnz), sink(I32, nnz), real)
        return real, (real, sink(I32, nnz), sink(F64, nnz))

    def run(F, outs):
        cptr = starts.copy()
        for r1, rptrb, tsubj, tcof in calls:
            F._c_closure_120(cptr, r1, rptrb, tsubj, *outs[1], tcof)

    return nnz, run, outputs


# ------------------------------------------------------------ left_product_fill

def left_case(rng, m, n, dense):
    if dense:
        si = np.repeat(np.arange(m, dtype=I32), n)
        sj = np.tile(np.arange(n, dtype=I32), m)
    else:
        si = np.repeat(np.arange(m, dtype=I32), 100)
        sj = np.concatenate([np.sort(rng.choice(n, 100, replace=False)) for _ in range(m)]).astype(I32)
    sv = rng.standard_normal(len(si))
    K = len(si)
    # W stack: shape (n,), row pointer 0..n, variable indices 1..n, coefficients 1.0
    wi32 = np.concatenate([[n], np.arange(n + 1)]).astype(I32)
    wi64 = np.arange(1, n + 1, dtype=I64)
    wf64 = np.ones(n)

    def outputs():
        ri32 = np.zeros(1 + m + 1, I32)  # shape, then the row pointer
        return ri32, np.empty(K, I64), np.empty(K, F64)

    def run(F, outs):
        ri32, ri64, rf64 = outs
        got = F._c_closure_479(K, 0, m, 1, 0, si, sj, sv, 0, 1, 0, 0, 0, rf64, False, ri32, ri64, 1, 0, 0, 0,
                               wf64, wi32, wi64)
        assert got == (m, K)

    return K, run, outputs


# ----------------------------------------------------- split_rows_and_constants

def split_case(rng, total, cof_sink=False):
    lengths = rng.integers(50, 151, total // 100)
    lengths = lengths[np.cumsum(lengths) <= total]
    nrows = len(lengths)
    ptr = np.concatenate([[0], np.cumsum(lengths)]).astype(I32)
    nnz = int(ptr[-1])
    idx = rng.integers(1, 100_000, nnz).astype(I64)
    for r in range(nrows):  # half the rows lead with a constant, a few with a semidefinite entry
        if rng.random() < 0.5:
            idx[ptr[r]] = 0
        if rng.random() < 0.01:
            idx[ptr[r]] = -1
    cof = rng.standard_normal(nnz)
    cuts = [0]
    while cuts[-1] < nrows:
        a = cuts[-1]
        z = int(np.searchsorted(ptr, ptr[a] + CHUNK, "right")) - 1
        cuts.append(min(nrows, max(z, a + 1)))

    def outputs():  # the host's counting pass sends the coefficients to a sink
        tcof = sink(F64, nnz) if cof_sink else np.empty(nnz, F64)
        return np.zeros(nrows, F64), np.zeros(nrows + 1, I32), np.empty(nnz, I32), tcof

    def run(F, outs):
        bfix, ptrb, subj, tcof = outs
        pos = 0
        for a, z in zip(cuts, cuts[1:]):
            F._c_closure_76(bfix[a:], tcof[pos:], 0, z - a, 0, a, ptrb[a:], cof, ptr, idx, subj[pos:])
            pos += int(ptrb[z]) - int(ptrb[a])

    return nnz, run, outputs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--only", default="120,479,76")
    ap.add_argument("--builds", nargs="*", help="build directories or install targets to compare")
    args = ap.parse_args()
    if args.builds:
        modules = [load(b) for b in args.builds]
    else:
        import fragments
        modules = [fragments]
    only = set(args.only.split(","))
    rng = np.random.default_rng(7)
    cases = []
    if "120" in only:
        for label, ncols, per_row, nrows in [("dense 1001 cols", 1001, None, 1000), ("sparse 10000 cols", 10000, 100, 10000)]:
            for which in ("vals", "rows"):
                cases.append((f"120 {label}, {which}", transpose_case(rng, nrows, ncols, per_row, which)))
    if "479" in only:
        cases.append(("479 dense 1000x1000", left_case(rng, 1000, 1000, True)))
        cases.append(("479 sparse 1e4x1e4", left_case(rng, 10_000, 10_000, False)))
    if "76" in only:
        cases.append(("76 1e6 entries", split_case(rng, 1_000_000)))
        cases.append(("76 1e6 entries, cof to a sink", split_case(rng, 1_000_000, True)))
    for k, F in enumerate(modules):
        print(f"# [{k}] {F.__file__}")
    for label, (n, run, outputs) in cases:
        fresh = best(run, True, outputs, args.repeat, modules)
        warm = best(run, False, outputs, args.repeat, modules)
        for k in range(len(modules)):
            print(f"{label:34s} [{k}] fresh {fresh[k] / n * 1e9:6.2f}  warm {warm[k] / n * 1e9:6.2f} ns/entry")


if __name__ == "__main__":
    main()
