"""Loop throughput of a few kernels against numpy/scipy doing the same job,
side by side in one run, on contiguous and strided (every second element)
arrays.

    python bench/loop_throughput.py [--n 1000000] [--repeat 5]
"""
import argparse
import timeit

import numpy as np
import scipy.sparse as sp

import fragments as F


def best(fn, repeat):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    o = ap.parse_args()
    n, rng = o.n, np.random.default_rng(0)
    rows = []

    for label, step in (("contiguous", 1), ("strided", 2)):
        base = rng.integers(0, 5, size=(n + 1) * step).astype(np.int32)
        a = base[::step]
        work = a.copy() if step == 1 else np.empty_like(base)[::step]

        def kernel_prefix():
            work[:] = a
            F._c_closure_525(work, n, 0)

        def numpy_prefix():
            work[:] = a
            np.cumsum(work, out=work)

        rows.append((f"prefix sum ({label})", best(kernel_prefix, o.repeat), best(numpy_prefix, o.repeat)))

        dst = np.empty_like(base)[::step]
        rows.append((f"copy int32 run ({label})", best(lambda: F._c_closure_576(n, dst, 0, 0, a), o.repeat),
                     best(lambda: np.copyto(dst, a), o.repeat)))

    # Stable sort of entry numbers by a small key.
    A, B, C = 64, 4, 64
    val = rng.integers(0, A * B * C, size=n).astype(np.int64)
    key = (val // (B * C)) * C + val % C
    perm, ptrb = np.arange(n, dtype=np.int64), np.zeros(A * C + 1, np.int64)

    def kernel_sort():
        perm[:] = np.arange(n)
        F._c_closure_103(A, B, C, perm, ptrb, val)

    rows.append(("bucket sort by (i, k)", best(kernel_sort, o.repeat),
                 best(lambda: np.argsort(key, kind="stable"), o.repeat)))

    # Upper triangle of a 1000 x 1000 matrix as linear indices.
    m = 1000
    dim = np.array([1, m, 1, m, 1], np.int32)
    stride = np.array([0, 0, 0, 0, 1], np.int32)
    F._c_closure_555(dim, stride)
    out = np.zeros(m * (m + 1) // 2, np.int64)
    rows.append(("upper triangle indices", best(lambda: F._c_closure_559(dim, 0, out, 0, stride), o.repeat),
                 best(lambda: np.flatnonzero(np.triu(np.ones((m, m), bool))), o.repeat)))

    # Dense 1000 x 1000 block to (row, column, value) triplets, rows outer.
    d = rng.random((1000, 1000))
    subi, subj, v = (np.zeros(d.size, np.int32), np.zeros(d.size, np.int32), np.zeros(d.size))

    def numpy_triplets():
        subi[:] = np.repeat(np.arange(1000, dtype=np.int32), 1000)
        subj[:] = np.tile(np.arange(1000, dtype=np.int32), 1000)
        v[:] = d.ravel()

    rows.append(("dense block to triplets", best(lambda: F._c_closure_640(d, 1000, 1000, 0, subi, subj, v),
                                                  o.repeat), best(numpy_triplets, o.repeat)))

    print(f"{'loop':32s} {'kernel ms':>10s} {'numpy/scipy ms':>15s} {'ratio':>7s}")
    for label, k, ref in rows:
        print(f"{label:32s} {k * 1e3:10.2f} {ref * 1e3:15.2f} {k / ref:7.2f}")


if __name__ == "__main__":
    main()
