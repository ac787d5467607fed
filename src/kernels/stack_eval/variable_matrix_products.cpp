// Products of a constant matrix M with a variable, and the structure passes
// of M that the products use.
//
// A variable is an operand whose element e is the single term (variable
// index x[e], coefficient 1.0), so in M.x every entry's value mcof[k] becomes
// the coefficient of one result term. The variable indices come from a run on
// a stack or, for a contiguous variable, are first + e. x is viewed as n rows
// of p columns as in every left product (matrix_products.hpp).
#include <tuple>

#include "kernels/stack_eval/matrix_products.hpp"

namespace frag {
namespace {

using mprod::BlockRows;
using mprod::DenseColumns;
using mprod::DenseRows;
using mprod::DiagonalRows;
using mprod::TripletRows;
using mprod::VariableOperand;
using stack::Run;

inline VariableOperand variable_run(Vec<i64> a, i64 pos) FRAG_NOEXCEPT {
  return VariableOperand{Run(a, static_cast<std::ptrdiff_t>(pos)), 0, false};
}

// Result blocks of a product with a variable: no programs.
inline mprod::Out<true> var_result(Vec<i32> s32, Vec<i64> s64, Vec<f64> sf64, i32 ptr, i32 nidxs, i32 cof,
                                   bool sparse, i32 sp, i32 E0, i32 T0) FRAG_NOEXCEPT {
  return mprod::result<true>(s32, s64, sf64, ptr, nidxs, cof, false, 0, 0, 0, sparse, sp, E0, T0, 0);
}

// ------------------------------------------------------------------ products

// Product M.x of triplets with a contiguous variable, into a generic stack.
// x has n rows of p columns with variable indices first, first + 1, ...
// (element e has variable first + e). Reads the entries 0 .. K-1 of M (msubi,
// msubj, mcof; rows below m). Writes the whole result from its first element
// onto the stack (i32, i64, f64): row pointer at r_ptr (entry 0 = 0), terms
// (variable, mcof[k]) at r_nidxs / r_cof and, with the sparse flag,
// sparsity indices i*p + c at r_sp for the rows that have entries; a dense
// result has all m*p elements.
void contiguous_product(i32 m, Vec<f64> f64s, bool sparse, Vec<i32> i32s, Vec<i64> i64s, Vec<f64> mcof, i32 K,
                        Vec<i32> msubi, Vec<i32> msubj, i32 p, i32 r_cof, i32 r_nidxs, i32 r_ptr, i32 r_sp,
                        i64 first) {
  auto out = var_result(i32s, i64s, f64s, r_ptr, r_nidxs, r_cof, sparse, r_sp, 0, 0);
  out.res.ptr[0] = 0;
  TripletRows M(msubi, msubj, mcof, 0, K);
  mprod::left(M, 0, m, p, VariableOperand{Run(Vec<i64>{}, 0), first, true}, out);
}
FRAG_KERNEL(498, "iOpOOOiOOiiiiiL", contiguous_product, "f64 i32 i64 mcof msubi msubj");

// Product M.x of triplets with a variable whose indices lie on the X stack, dense result.
// x has n rows of p columns, variable index of element e at xi64[x_pos + e].
// Reads entries 0 .. K-1 of M (msubi, msubj, mcof; rows below m). Writes the
// m*p result elements from the first: row pointer at r_ptr (entry 0 = 0),
// terms (x[j*p + c], mcof[k]) at r_nidxs / r_cof.
void stacked_variable_product(Vec<f64> mcof, i32 K, Vec<i32> msubi, Vec<i32> msubj, i32 m, i32 p, Vec<f64> rf64,
                              Vec<i32> ri32, Vec<i64> ri64, i32 r_cof, i32 r_nidxs, i32 r_ptr, i32 x_pos,
                              Vec<i64> xi64) {
  auto out = var_result(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, false, 0, 0, 0);
  out.res.ptr[0] = 0;
  TripletRows M(msubi, msubj, mcof, 0, K);
  mprod::left(M, 0, m, p, variable_run(xi64, x_pos), out);
}
FRAG_KERNEL(494, "OiOOiiOOOiiiiO", stacked_variable_product, "mcof msubi msubj rf64 ri32 ri64 xi64");

// Product of a block of M with a variable, M's block given by row ranges on the X stack.
// The block (rows r0 .. r0+m-1, columns j0 ..) is given by the first and end
// entries of each of its m rows on xi32 (first at mptr_pos, ends at
// mptr_pos + m; block_rows writes them), columns msubj and values mcof. x has
// rows of p columns counted from column j0 of M, variable index of element e
// at xi64[x_pos + e]. Writes the whole result from its first element: row
// pointer at r_ptr (entry 0 = 0), terms at r_nidxs / r_cof and, with sparse
// > 0, only the rows that have entries, with sparsity indices i*p + c (i the
// row of M, so r0 > 0 numbers them within the whole product) at r_sp.
void block_variable_product(Vec<f64> mcof, i32 m, i32 mptr_pos, Vec<i32> msubj, i32 p, i32 r_cof, i32 r_nidxs,
                            i32 r_ptr, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 r_sp, i32 sparse, i32 r0,
                            i32 x_pos, Vec<i32> xi32, Vec<i64> xi64, i32 j0) {
  auto out = var_result(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, sparse > 0, r_sp, 0, 0);
  out.res.ptr[0] = 0;
  const BlockRows M{Run(xi32, mptr_pos), Run(xi32, static_cast<std::ptrdiff_t>(mptr_pos) + std::max(m, 0)), msubj,
                    mcof, r0, j0};
  mprod::left(M, r0, m, p, variable_run(xi64, x_pos), out);
}
FRAG_KERNEL(493, "OiiOiiiiOOOiiiiOOi", block_variable_product, "mcof msubj rf64 ri32 ri64 xi32 xi64");

// Product D.x of a square matrix with entries on one diagonal with a variable.
// Entry k of D (k0 .. k0+K-1, ascending rows msubi, values mcof) lies at
// (msubi[k], msubi[k] + offset); entries whose column falls outside x's rows
// are left out. x's shape (nd axes) is at shape_pos on wi32: n = extent 0
// rows, p = the product of the others; the variable index of element e is
// wi64[x_pos + e]. Result element (i, c) holds the term (x[(i + offset)*p +
// c], mcof[k]). Writes the result shape (x's shape) at r_shape and the whole
// result from its first element: row pointer at r_ptr (entry 0 = 0), terms at
// r_nidxs / r_cof and, with the sparse flag, only the rows that have an
// entry, with sparsity i*p + c at r_sp; a dense result has all n*p elements.
void diagonal_product(Vec<f64> mcof, i32 K, i32 k0, Vec<i32> msubi, i32 nd, i32 r_cof, i32 r_nidxs, i32 r_ptr,
                      Vec<f64> rf64, bool sparse, Vec<i32> ri32, Vec<i64> ri64, i32 r_shape, i32 r_sp, i32 shape_pos,
                      Vec<i32> wi32, Vec<i64> wi64, i32 x_pos, i32 offset) {
  const Run<i32> shape(wi32, shape_pos);
  const i32 n = nd > 0 ? shape[0] : 1;
  auto out = var_result(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, sparse, r_sp, 0, 0);
  out.res.ptr[0] = 0;
  DiagonalRows M(msubi, mcof, k0, K, offset, n);
  mprod::left(M, 0, n, mprod::left_columns(shape, nd), variable_run(wi64, x_pos), out);
  const Run<i32> rshape(ri32, r_shape);
  for (i32 d = 0; d < nd; ++d) rshape[d] = shape[d];
}
FRAG_KERNEL(490, "OiiOiiiiOpOOiiiOOii", diagonal_product, "mcof msubi rf64 ri32 ri64 wi32 wi64");

// Product M.x of triplets with a variable on the W stack, with running cursors.
// x's shape (nd axes) is at shape_pos on wi32 (its first extent is M's column
// count, p the product of the others), the variable index of element e at
// wi64[x_pos + e]. Reads entries 0 .. K-1 of M (msubi, msubj, mcof; rows
// below m). Writes from element cursor E0 and term cursor T0 the row pointer
// entries E + 1 (r_ptr), terms (r_nidxs, r_cof) and, with sparse > 0, the
// sparsity indices i*p + c of the rows that have entries (r_sp); a dense
// result has all m*p elements. Returns (E, T).
std::tuple<i32, i32> shaped_variable_product(i32 K, i32 E0, Vec<f64> mcof, i32 m, Vec<i32> msubi, Vec<i32> msubj,
                                             i32 nd, i32 r_cof, i32 r_nidxs, i32 r_ptr, Vec<f64> rf64,
                                             Vec<i32> ri32, Vec<i64> ri64, i32 r_sp, i32 shape_pos, i32 sparse,
                                             Vec<i32> wi32, Vec<i64> wi64, i32 T0, i32 x_pos) {
  auto out = var_result(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, sparse > 0, r_sp, E0, T0);
  TripletRows M(msubi, msubj, mcof, 0, K);
  mprod::left(M, 0, m, mprod::left_columns(Run(wi32, shape_pos), nd), variable_run(wi64, x_pos), out);
  return {out.E, out.T};
}
FRAG_KERNEL(486, "iiOiOOiiiiOOOiiiOOii", shaped_variable_product,
            "mcof msubi msubj rf64 ri32 ri64 wi32 wi64");

// Product of a dense matrix with a variable, left (M.x) or right (x.M).
// mcof holds M row-major, m x n. Left (right <= 0): x has n rows of p
// columns, result m x p. Right (right > 0): x has p rows of m columns,
// result p x n; result element (c, j) takes the entries of column j in row
// order. The variable index of x's element e is wi64[x_pos + e]. Entries 0.0
// are left out when skip_zeros > 0. Writes the whole dense result from its
// first element: row pointer at r_ptr (entry 0 = 0), terms at r_nidxs /
// r_cof.
void dense_variable_product(Vec<f64> mcof, i32 m, i32 n, i32 p, i32 right, Vec<f64> rf64, Vec<i32> ri32,
                            Vec<i64> ri64, i32 r_cof, i32 r_nidxs, i32 r_ptr, i32 skip_zeros, Vec<i64> wi64,
                            i32 x_pos) {
  auto out = var_result(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, false, 0, 0, 0);
  out.res.ptr[0] = 0;
  const VariableOperand x = variable_run(wi64, x_pos);
  if (right > 0) {
    const DenseColumns M{mcof, m, n, skip_zeros > 0};
    mprod::right(M, 0, p, m, n, x, out);
  } else {
    DenseRows M{mcof, n, skip_zeros > 0};
    mprod::left(M, 0, m, p, x, out);
  }
}
FRAG_KERNEL(483, "OiiiiOOOiiiiOi", dense_variable_product, "mcof rf64 ri32 ri64 wi64");

// ------------------------------------------------------- structure of M

// Row ranges of a block of M and the elements and terms of its product with a variable.
// For the rows r0 .. r0+m-1 of the entries k0 .. k0+K-1 (ascending), keeps
// the entries of columns j0 .. j0+n-1 and writes, for local row i, the first
// kept entry at xi32[mptr_pos + i] and the end at xi32[mptr_pos + m + i] (the
// row ranges block_variable_product reads). The product with a variable of p
// columns then has T0 + p * (kept entries) terms and, from E0, m*p elements
// (dense, sparse <= 0) or p per row with a kept entry (sparse > 0), whose
// sparsity indices (r0 + i)*p + c are written at xi64[sp_pos + E]. Returns
// (E, T).
std::tuple<i32, i32> block_rows(i32 E0, i32 K, Vec<i32> msubi, Vec<i32> msubj, i32 j0, i32 k0, i32 m, i32 mptr_pos,
                                i32 n, i32 p, i32 r0, i32 sparse, Vec<i32> xi32, Vec<i64> xi64, i32 sp_pos, i32 T0) {
  const Run<i32> first(xi32, mptr_pos), end(xi32, static_cast<std::ptrdiff_t>(mptr_pos) + std::max(m, 0));
  const Run<i64> sp(xi64, sp_pos);
  i64 k = k0;
  const i64 stop = static_cast<i64>(k0) + std::max(K, 0);
  for (i32 i = 0; i < m; ++i) {
    const i32 row = add32(r0, i);
    while (k < stop && msubi[k] < row) ++k;
    while (k < stop && msubi[k] == row && msubj[k] < j0) ++k;
    const i64 b = k;
    while (k < stop && msubi[k] == row && msubj[k] - static_cast<i64>(j0) < n) ++k;
    first[i] = static_cast<i32>(b);
    end[i] = static_cast<i32>(k);
    while (k < stop && msubi[k] == row) ++k;  // entries right of the block
    T0 = add32(T0, mul32(p, sub32(end[i], first[i])));
    if (sparse <= 0) {
      E0 = add32(E0, std::max(p, 0));
    } else if (end[i] > first[i]) {
      for (i32 c = 0; c < p; ++c, E0 = add32(E0, 1)) sp[E0] = static_cast<i64>(row) * p + c;
    }
  }
  return {E0, T0};
}
FRAG_KERNEL(491, "iiOOiiiiiiiiOOii", block_rows, "msubi msubj xi32 xi64");

// Whether M is a square diagonal matrix and whether every row has an entry.
// Reads the entries 0 .. K-1 of the m x n matrix (ascending, in range). The
// diagonal flag is cleared when m != n or some entry lies off the diagonal;
// the full-rows flag is cleared when some row 0 .. m-1 has no entry. Flags
// are only ever cleared. Returns (diagonal, full rows).
std::tuple<bool, bool> matrix_structure(bool diagonal, bool full, i32 m, i32 n, i32 K, Vec<i32> msubi,
                                        Vec<i32> msubj) {
  if (m != n) diagonal = false;
  i32 rows = 0;
  for (i32 k = 0; k < K; ++k) {
    if (msubi[k] != msubj[k]) diagonal = false;
    if (k == 0 || msubi[k] != msubi[k - 1]) rows = add32(rows, 1);
  }
  if (rows < m) full = false;
  return {diagonal, full};
}
FRAG_KERNEL(481, "ppiiiOO", matrix_structure, "msubi msubj");

// Longest row and number of rows with entries among entries k0 .. k0+K-1.
// msubi must be ascending. Returns (max(L0, most entries of one row), R0 +
// number of distinct rows).
std::tuple<i32, i32> row_counts(i32 K, Vec<i32> msubi, i32 k0, i32 L0, i32 R0) {
  i32 run = 0;
  for (i64 k = k0, stop = static_cast<i64>(k0) + K; k < stop; ++k) {
    if (k == k0 || msubi[k] != msubi[k - 1]) {
      R0 = add32(R0, 1);
      run = 0;
    }
    run = add32(run, 1);
    L0 = std::max(L0, run);
  }
  return {L0, R0};
}
FRAG_KERNEL(492, "iOiii", row_counts, "msubi");

// Entries per column of a column block of M, added into a zeroed run on the W stack.
// For every entry k in k0 .. k0+K-1 whose column j = msubj[k] lies in j0 ..
// j0+n-1, adds 1 to wi32[pos + (j - j0) + 1] (the count pass of a column
// pointer; a prefix sum turns it into column starts).
void column_counts(i32 K, i32 j0, i32 k0, Vec<i32> msubj, i32 n, i32 pos, Vec<i32> wi32) {
  const Run<i32> cnt(wi32, pos);
  for (i64 k = k0, stop = static_cast<i64>(k0) + K; k < stop; ++k) {
    const i64 j = static_cast<i64>(msubj[k]) - j0;
    if (j >= 0 && j < n) cnt[j + 1] = add32(cnt[j + 1], 1);
  }
}
FRAG_KERNEL(484, "iiiOiiO", column_counts, "msubj wi32");

// Rows with stored elements of a sparse operand viewed as rows of m columns.
// Adds to R0 the number of distinct rows sp[e] / m over the stored elements
// e = first .. nelem-1 (ascending sparsity at sp_pos on wi64). Returns R.
// Rows of m = 0 columns hold nothing: R0 comes back unchanged.
i32 sparse_rows(i32 first, i32 m, Vec<i64> wi64, i32 nelem, i32 R0, i32 sp_pos) {
  if (m == 0) return R0;
  const Run<i64> sp(wi64, sp_pos);
  i64 last = -1;
  for (i32 e = std::max(first, 0); e < nelem; ++e) {
    const i64 r = idiv(sp[e], m);
    if (e == std::max(first, 0) || r != last) R0 = add32(R0, 1);
    last = r;
  }
  return R0;
}
FRAG_KERNEL(482, "iiOiii", sparse_rows, "wi64");

// An operand viewed as a matrix split at axis s, and the row starts of a sparse operand.
// From the shape (nd axes) at shape_pos on wi32 writes xshape[0] = product of
// the extents before axis s (rows) and xshape[1] = product of the rest
// (columns). With sparse > 0 also writes, for r = 0 .. rows, the first stored
// element whose sparsity index (nelem ascending values at sp_pos on wi64) is
// at least r * columns, at wi32[loc_pos + r]: stored elements of row r are
// loc[r] .. loc[r + 1] - 1.
void matrix_view(i32 loc_pos, i32 nd, i32 nelem, i32 s, Vec<i32> wi32, Vec<i64> wi64, i32 sp_pos, Vec<i32> xshape,
                 i32 shape_pos, i32 sparse) {
  const Run<i32> shape(wi32, shape_pos);
  const i32 rows = mprod::extent_product(shape, 0, std::min(s, nd));
  const i32 cols = mprod::extent_product(shape, std::max(s, 0), nd);
  xshape[0] = rows;
  xshape[1] = cols;
  if (sparse <= 0) return;
  const Run<i64> sp(wi64, sp_pos);
  const Run<i32> loc(wi32, loc_pos);
  i32 e = 0;
  for (i32 r = 0; r <= rows; ++r) {
    const i64 bound = static_cast<i64>(r) * cols;
    while (e < nelem && sp[e] < bound) ++e;
    loc[r] = e;
  }
}
FRAG_KERNEL(488, "iiiiOOiOii", matrix_view, "wi32 wi64 xshape");

}  // namespace
}  // namespace frag
