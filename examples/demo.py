"""A small tour of `fragments`: lay a 2 x 3 affine expression out on the
evaluation stacks the way the host modeling layer does, then move it, size it
and enumerate an index set with the module's kernels."""
import numpy as np

import fragments as F

# Three stacks, each an (int32, int64, float64) triple of flat arrays.
wi32, wi64, wf64 = np.zeros(64, np.int32), np.zeros(64, np.int64), np.zeros(64)
ri32, ri64, rf64 = np.zeros(64, np.int32), np.zeros(64, np.int64), np.zeros(64)

# The expression E[i, j] = (i + 1) * x_j + 0.5 (variable 0 is the constant term),
# shape (2, 3): shape block, row pointer, variable indices, coefficients.
shape = [2, 3]
ptr = [0, 2, 4, 6, 8, 10, 12]
nidx = [1, 0, 2, 0, 3, 0, 1, 0, 2, 0, 3, 0]
cof = [1, .5, 1, .5, 1, .5, 2, .5, 2, .5, 2, .5]
W_SHAPE, W_PTR, W_NIDX, W_COF = 0, 4, 0, 0
wi32[W_SHAPE:W_SHAPE + 2] = shape
wi32[W_PTR:W_PTR + 7] = ptr
wi64[W_NIDX:W_NIDX + 12] = nidx
wf64[W_COF:W_COF + 12] = cof
print("operand on the W stack: shape", shape, "row pointer", ptr)

# Size it: the product of the extents is the element count.
n = F._c_closure_540(1, 2, W_SHAPE, wi32)


def show(title, shape, ri32, ri64, rf64, ptr_pos, nidx_pos, cof_pos):
    """Prints a dense expression read back from the R stack."""
    print(title)
    n = int(np.prod(shape))
    for e in range(n):
        a, b = ri32[ptr_pos + e], ri32[ptr_pos + e + 1]
        idx = np.unravel_index(e, shape)
        t = " + ".join(f"{c:g}*x{v}" if v else f"{c:g}" for v, c in
                       zip(ri64[nidx_pos + a:nidx_pos + b], rf64[cof_pos + a:cof_pos + b]))
        print(f"  {list(map(int, idx))}: {t or '0'}")



def copy_to_r_stack():
    """Sizes E and copies it to the R stack block by block."""
    terms = F._c_closure_397(0, n, W_PTR, wi32)
    print(f"elements = {n}, most terms in one element = {terms}")

    # Copy it to the R stack block by block (shape, row pointer, terms).
    R_SHAPE, R_PTR, R_NIDX, R_COF = 10, 20, 5, 5
    F._c_closure_576(2, ri32, R_SHAPE, W_SHAPE, wi32)
    F._c_closure_387(n, W_PTR, ri32, R_PTR, wi32)
    F._c_closure_389(W_NIDX, 12, ri64, R_NIDX, wi64)
    F._c_closure_390(W_COF, 12, R_COF, rf64, wf64)
    print("copied to the R stack: row pointer", ri32[R_PTR:R_PTR + n + 1].tolist())
    for e in range(n):
        a, b = ri32[R_PTR + e], ri32[R_PTR + e + 1]
        t = " + ".join(f"{c:g}*x{v}" if v else f"{c:g}" for v, c in
                       zip(ri64[R_NIDX + a:R_NIDX + b], rf64[R_COF + a:R_COF + b]))
        print(f"  E[{e // 3}, {e % 3}] = {t}")


def passes_and_index_sets():
    """A row pointer built by passes, and an index set of a triangle."""
    # Row pointer built by passes: zero, count, prefix, (fill), shift.
    F._c_closure_521(ri32, 3, 40)
    ri32[41:44] += [2, 0, 3]
    F._c_closure_525(ri32, 3, 40)
    print("row pointer from counts [2, 0, 3]:", ri32[40:44].tolist())

    # Upper triangle of a 3 x 3 matrix as linear indices, via the axis split record.
    dim = np.array([1, 3, 1, 3, 1], np.int32)
    stride = np.array([0, 0, 0, 0, 1], np.int32)
    F._c_closure_555(dim, stride)
    out = np.zeros(6, np.int64)
    count = F._c_closure_559(dim, 0, out, 0, stride)
    print(f"upper triangle of 3 x 3: {count} indices {out.tolist()}")

    print("capacity for 1000 entries, starting at 64:", F._c_closure_140(1000, 64))


def weighted_sum():
    """2*E - F on the R stack by count, prefix, fill and shift passes."""
    # A second operand F[i, j] = x_(3 + i) on the W stack, then 2*E - 1*F on the
    # R stack: program flag, shape check, shape, totals, then zero / count per
    # operand / prefix / fill per operand / shift.
    wi32[20:22] = shape
    wi32[24:31] = [0, 1, 2, 3, 4, 5, 6]
    wi64[20:26] = [4, 4, 4, 5, 5, 5]
    wf64[20:26] = 1.0
    ops = dict(nd=[2, 2], shape_base=[W_SHAPE, 20], nelem=[6, 6], ptr_base=[W_PTR, 24], nnz=[12, 6],
               nidxs_base=[W_NIDX, 20], cof_base=[W_COF, 20], sp_base=[0, 0], ncodeatom=[0, 0],
               codeptr=[0, 0], code=[0, 0], cconst=[0, 0])
    d = {k: np.array(v, np.int32) for k, v in ops.items()}
    w = np.array([2.0, -1.0])
    ri32[:], ri64[:], rf64[:] = 0, 0, 0
    xi32 = np.zeros(16, np.int32)
    flag = F._c_closure_517(False, 2, d["ncodeatom"])
    same = F._c_closure_516(2, d["nd"], True, d["shape_base"], wi32)
    F._c_closure_520(d["nd"], ri32, 0, d["shape_base"], wi32)
    positions, terms = F._c_closure_518(flag, 2, d["ncodeatom"], d["nnz"], 0, 0)
    print(f"\nsum 2*E - 1*F: programs={flag}, shapes agree={same}, terms={terms}")
    S_PTR, S_NIDX, S_COF = 4, 0, 0
    F._c_closure_521(ri32, n, S_PTR)
    for i in range(2):
        F._c_closure_524(flag, d["codeptr"], i, d["ncodeatom"], d["nelem"], d["ptr_base"], ri32, S_PTR,
                         wi32, 0, xi32)
    F._c_closure_525(ri32, n, S_PTR)
    for i in range(2):
        F._c_closure_528(flag, d["cconst"], d["code"], d["codeptr"], d["cof_base"], i, d["ncodeatom"],
                         d["nelem"], d["nidxs_base"], d["ptr_base"], 0, 0, 0, S_COF, rf64, ri32, ri64,
                         S_NIDX, S_PTR, w, wf64, wi32, wi64, 0, xi32)
    F._c_closure_529(ri32, n, S_PTR)
    ri32[S_PTR] = 0
    show("2*E - F:", (2, 3), ri32, ri64, rf64, S_PTR, S_NIDX, S_COF)


def transpose():
    """E with its axes exchanged."""
    # Transpose E: result axis k is operand axis dperm[k]; shape (3, 2).
    dperm = np.array([1, 0], np.int32)
    t32, t64, tf64 = np.zeros(64, np.int32), np.zeros(64, np.int64), np.zeros(64)
    F._c_closure_424(dperm, 2, t32, 0, W_SHAPE, wi32)
    tshape = tuple(t32[0:2])
    stride = np.array([3, 1], np.int64)       # row-major strides of (2, 3)
    dstride = np.array([2, 1], np.int64)      # row-major strides of (3, 2)
    F._c_closure_427(0, 0, 0, dperm, dstride, W_COF, W_NIDX, W_PTR, 0, 2, n, 0, 0, 0, 0, tf64, t32, t64,
                     0, 4, stride, wf64, wi32, wi64)
    show(f"transpose of E, shape {tuple(map(int, tshape))}:", tshape, t32, t64, tf64, 4, 0, 0)



def product_with_parameter():
    """p * E for a parameter p: every term's coefficient becomes a program
    (push the coefficient, push parameter 0, multiply), evaluated into
    coefficient triplets for two values of p."""
    r32, r64, rf = np.zeros(128, np.int32), np.zeros(64, np.int64), np.zeros(128)
    P_PTR, P_NIDX, P_COF, P_CODEPTR, P_CODE, P_CONST = 0, 0, 0, 10, 30, 30
    positions, terms = F._c_closure_349(0, 0, 0, n, 0, 1, 0, W_PTR, wi32)
    positions, terms = F._c_closure_343(0, 0, 0, 0, W_COF, 0, n, W_NIDX, 0, 0, W_PTR, P_CONST, P_CODE,
                                        P_CODEPTR, P_COF, rf, r32, r64, P_NIDX, P_PTR, wf64, wi32, wi64)
    print(f"\np * E: {terms} terms, {positions} program positions; program of E[0, 0]'s first term:",
          list(zip(r32[P_CODE:P_CODE + 3].tolist(), rf[P_CONST:P_CONST + 3].tolist())))
    # Store the programs in a parameter table, one row per element, and evaluate it.
    rows = np.arange(n, dtype=np.int32)
    ptrb, ptre, rcp = np.zeros(n, np.int32), np.zeros(n, np.int32), np.zeros(n, np.int32)
    count, total = F._c_closure_135(P_CODE, P_CODEPTR, n, 0, 0, P_PTR, r32)
    F._c_closure_136(P_CODE, P_CODEPTR, 0, 0, rows, n, P_PTR, r32, rcp, ptrb, ptre)
    code, cconst = np.zeros(total, np.int32), np.zeros(total)
    sizes, varidx = np.zeros(count, np.int32), np.zeros(count, np.int64)
    F._c_closure_137(cconst, P_CONST, code, P_CODE, P_CODEPTR, rows, n, P_NIDX, True, sizes, varidx, P_PTR,
                     rf, r32, r64, rcp, ptrb)
    subi, subj, val = np.zeros(count, np.int32), np.zeros(count, np.int32), np.zeros(count)
    for p in (2.0, -0.5):
        F._c_closure_134(cconst, code, 0, sizes, np.array([p]), varidx, rcp, ptrb, ptre, 0, 0, subi, subj, val,
                         np.zeros(8))
        print(f"p = {p:g}:", ", ".join(f"E[{i // 3}, {i % 3}] x{j}: {v:g}" for i, j, v in zip(subi, subj, val)))


def constraint_rows_and_solution():
    """The end of the road, with stdlib arrays only: the three rows of a
    constraint routed into linear and conic parts, expanded over the variables
    x1, x2, x3, and a solution mapped back onto the variable's and the
    constraint's elements."""
    from array import array

    # Rows on the W stack: x1 + x2, 2*x1, x2 - x3 (row pointer, variables,
    # coefficients). Elements 0 and 2 are linear rows 0 and 1; element 1 is
    # element 0 of an affine conic constraint (native index ~0 = -1).
    wi32 = array('i', [0, 2, 3, 5])
    wi64 = array('q', [1, 2, 1, 2, 3])
    wf64 = array('d', [1.0, 1.0, 2.0, 1.0, -1.0])
    conidxs = array('i', [0, -1, 1])
    lrowidx, crowidx, xi32 = array('i', [0] * 3), array('i', [0] * 3), array('i', [0] * 8)
    cr, ct, lr, lt = F._c_closure_35(0, 0, conidxs, 4, crowidx, 0, 0, 0, lrowidx, 3, 0, wi32, xi32)
    print(f"\nrouted: linear rows {list(lrowidx[:lr])} with {lt} terms (row pointer {list(xi32[0:lr + 1])}),"
          f" conic elements {list(crowidx[:cr])} with {ct} terms")

    # Dense rows over the sorted variable list, split into two triplet lists.
    varidxs = array('i', [1, 2, 3])
    lcof, ccof = array('d', [0.0] * 9), array('d', [0.0] * 9)
    lsubi, csubi = array('i', [0] * 9), array('i', [0] * 9)
    qc, ql = F._c_closure_33(ccof, 0, 0, conidxs, csubi, lcof, 0, lsubi, 3, 0, 0, varidxs, wf64, wi32, wi64)
    lin = [(lsubi[k], varidxs[k % 3], lcof[k]) for k in range(ql) if lcof[k]]
    con = [(csubi[k], varidxs[k % 3], ccof[k]) for k in range(qc) if ccof[k]]
    print("linear triplets", lin, "conic triplets", con)

    # A solution: primal values of the scalar variables (index 0 is reserved),
    # activities of the linear rows and of the conic element from the triplets.
    xx = array('d', [0.0, 1.5, -2.0, 0.5])
    xc, accx = array('d', [0.0] * 2), array('d', [0.0])
    for i, j, c in lin:
        xc[i] += c * xx[j]
    for i, j, c in con:
        accx[i] += c * xx[j]
    x_elems, res = array('q', [1, 2, 3]), array('d', [0.0] * 3)
    F._c_closure_19(None, 3, x_elems, 0, res, xx)
    print("x =", list(res))
    accptr, accid, ofs, scale = array('i', [0]), array('i', [0]), array('i', [0]), array('d', [1.0])
    con_elems = array('i', [0, -1, 1])
    F._c_closure_15(accptr, accx, accid, ofs, scale, 3, con_elems, 0, res, xc)
    print("constraint values =", list(res))


if __name__ == "__main__":
    copy_to_r_stack()
    passes_and_index_sets()
    weighted_sum()
    transpose()
    product_with_parameter()
    constraint_rows_and_solution()
    print("\n--- a model solved through fragments_host (examples/portfolio.py) ---")
    import runpy
    import pathlib
    runpy.run_path(str(pathlib.Path(__file__).with_name("portfolio.py")), run_name="__main__")
