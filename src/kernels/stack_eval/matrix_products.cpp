// Products of stacked expressions with a constant matrix M: left products
// M.E and right products E.M of an operand on the W stack, dense or sparse,
// with and without coefficient programs, their size kernels, the column order
// that right products read M through, and elementwise products with a sparse
// constant given by linear positions.
//
// Every fill writes its result in ascending element order in one call with
// running cursors (element E, term T, program position P) and hands them
// back; its size kernel runs the same loop without writing. See
// matrix_products.hpp for the views of E and M.
#include <tuple>

#include "kernels/stack_eval/matrix_products.hpp"

namespace frag {
namespace {

using mprod::ColumnOrder;
using mprod::DenseColumns;
using mprod::DenseRows;
using mprod::ExprOperand;
using mprod::TripletRows;
using stack::Run;

// ------------------------------------------------------ left products, triplets

// Left product M.E of a dense operand into a dense or sparse result, without programs.
// Reads the entries 0 .. K-1 of M (msubi, msubj, mval; rows below m) and the
// dense operand (shape at op_shape with nd axes, row pointer op_ptr, variable
// indices op_nidxs, coefficients op_cof on the W stack); the operand's first
// axis is M's column axis. Writes the result shape (m, shape[1:]) at r_shape,
// and from element cursor E0 and term cursor T0 the result's row pointer
// entries E + 1 (r_ptr), variable indices (r_nidxs), coefficients (r_cof) and,
// for a sparse result, sparsity indices (r_sp). A sparse result (flag set)
// keeps only the rows of M that have entries. Returns (E, T).
std::tuple<i32, i32> left_dense(i32 K, i32 E0, i32 m, i32 nd, i32 op_cof, Vec<i32> msubi, Vec<i32> msubj,
                                Vec<f64> mval, i32 op_nidxs, i32 op_ptr, i32 op_shape, i32 r_cof, i32 r_nidxs,
                                Vec<f64> rf64, bool sparse, Vec<i32> ri32, Vec<i64> ri64, i32 r_ptr, i32 r_shape,
                                i32 r_sp, i32 T0, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> shape(wi32, op_shape);
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, false, 0, 0, 0, false, 0, 0);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, false, 0, 0, 0, sparse, r_sp, E0, T0, 0);
  TripletRows M(msubi, msubj, mval, 0, K);
  mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
  mprod::left_shape(shape, nd, m, Run(ri32, r_shape));
  return {out.E, out.T};
}
FRAG_KERNEL(479, "iiiiiOOOiiiiiOpOOiiiiOOO", left_dense, "msubi msubj mval rf64 ri32 ri64 wf64 wi32 wi64");

// Left product M.E with coefficient programs, dense or sparse operand, dense result.
// Reads entries 0 .. K-1 of M (rows below m) and the operand (row pointer
// op_ptr, variable indices op_nidxs, coefficients op_cof, program pointer
// op_codeptr, words op_code, constants op_cconst; with the sparse flag also
// its op_nelem sparsity indices at op_sp) viewed as rows of p columns. Writes
// result elements E0 .. E0 + m*p - 1 (row pointer entries E + 1 at r_ptr),
// terms from T0 (r_nidxs, r_cof) and programs from position P0 (program
// pointer entries T + 1 at r_codeptr, words r_code, constants r_cconst): each
// term's program is the operand term's followed by "push constant v,
// multiply". Returns (E, P, T).
std::tuple<i32, i32, i32> left_programs(i32 K, i32 E0, i32 m, i32 op_cconst, i32 op_code, i32 op_codeptr,
                                        i32 op_cof, i32 op_nelem, i32 op_nidxs, Vec<i32> msubi, Vec<i32> msubj,
                                        Vec<f64> mval, i32 op_ptr, i32 op_sp, i32 P0, i32 p, i32 r_cconst,
                                        i32 r_code, i32 r_codeptr, Vec<f64> rf64, bool sparse, Vec<i32> ri32,
                                        Vec<i64> ri64, i32 r_cof, i32 r_nidxs, i32 r_ptr, i32 T0, Vec<f64> wf64,
                                        Vec<i32> wi32, Vec<i64> wi64) {
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, true, op_codeptr, op_code,
                                        op_cconst, sparse, op_sp, op_nelem);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, true, r_codeptr, r_code, r_cconst, false,
                                 0, E0, T0, P0);
  TripletRows M(msubi, msubj, mval, 0, K);
  mprod::left(M, 0, m, p, op, out);
  return {out.E, out.P, out.T};
}
FRAG_KERNEL(478, "iiiiiiiiiOOOiiiiiiiOpOOiiiiOOO", left_programs,
            "msubi msubj mval rf64 ri32 ri64 wf64 wi32 wi64");

// Left product M.E of a sparse operand into a dense or sparse result, without programs.
// Reads entries k0 .. k0+K-1 of M (rows below m) and the sparse operand
// (shape op_shape with nd axes, op_nelem elements with sparsity op_sp, row
// pointer op_ptr, variable indices op_nidxs, coefficients op_cof). Result
// element (i, c) exists in a sparse result (dense <= 0) when some entry
// (i, j) meets a stored operand element (j, c); a dense result (dense > 0)
// has all m*p elements. Writes the result shape (m, shape[1:]) at r_shape and,
// from cursors E0 and T0, row pointer entries E + 1 (r_ptr), terms (r_nidxs,
// r_cof) and sparsity indices (r_sp, sparse result only). Returns (E, T).
std::tuple<i32, i32> left_sparse(i32 K, i32 E0, i32 dense, i32 k0, i32 m, i32 nd, i32 op_cof, Vec<i32> msubi,
                                 Vec<i32> msubj, Vec<f64> mval, i32 op_nelem, i32 op_nidxs, i32 op_ptr,
                                 i32 op_shape, i32 op_sp, i32 r_cof, i32 r_nidxs, i32 r_ptr, Vec<f64> rf64,
                                 Vec<i32> ri32, Vec<i64> ri64, i32 r_shape, i32 r_sp, i32 T0, Vec<f64> wf64,
                                 Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> shape(wi32, op_shape);
  const ExprOperand op =
      mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, false, 0, 0, 0, true, op_sp, op_nelem);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, false, 0, 0, 0, dense <= 0, r_sp, E0, T0, 0);
  TripletRows M(msubi, msubj, mval, k0, K);
  mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
  mprod::left_shape(shape, nd, m, Run(ri32, r_shape));
  return {out.E, out.T};
}
FRAG_KERNEL(471, "iiiiiiiOOOiiiiiiiiOOOiiiOOO", left_sparse, "msubi msubj mval rf64 ri32 ri64 wf64 wi32 wi64");

// Left product M.E with programs for a dense operand, at positions whose sizes are known.
// Reads entries k0 .. k0+K-1 of M (rows below m) and the dense operand
// (shape op_shape with nd axes, row pointer op_ptr, variable indices
// op_nidxs, coefficients op_cof, programs op_codeptr / op_code / op_cconst).
// Writes the whole result from its first element and term: shape (m,
// shape[1:]) at r_shape, row pointer (entry 0 = 0) at r_ptr, terms at
// r_nidxs / r_cof and programs (program pointer entry 0 = 0) at r_codeptr /
// r_code / r_cconst.
void left_programs_fixed(i32 K, i32 m, i32 nd, i32 op_cconst, i32 op_code, i32 op_codeptr, Vec<i32> msubi,
                         Vec<i32> msubj, Vec<f64> mval, i32 op_cof, i32 op_nidxs, i32 op_ptr, i32 op_shape,
                         i32 r_cconst, i32 r_code, i32 r_codeptr, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                         i32 r_cof, i32 r_nidxs, i32 r_ptr, i32 r_shape, i32 k0, Vec<f64> wf64, Vec<i32> wi32,
                         Vec<i64> wi64) {
  const Run<i32> shape(wi32, op_shape);
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, true, op_codeptr, op_code,
                                        op_cconst, false, 0, 0);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, true, r_codeptr, r_code, r_cconst, false,
                                 0, 0, 0, 0);
  out.res.ptr[0] = 0;
  out.res.pptr[0] = 0;
  TripletRows M(msubi, msubj, mval, k0, K);
  mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
  mprod::left_shape(shape, nd, m, Run(ri32, r_shape));
}
FRAG_KERNEL(462, "iiiiiiOOOiiiiiiiOOOiiiiiOOO", left_programs_fixed,
            "msubi msubj mval rf64 ri32 ri64 wf64 wi32 wi64");

// ---------------------------------------------------- left products, sizes

// Sizes of a left product M.E with a dense or sparse operand, with or without programs.
// Runs the loop of the left fills (479, 478, 471, 462) over entries k0 ..
// k0+K-1 of M (rows below m) and the operand viewed as rows of p columns (row
// pointer op_ptr; with programs > 0 program pointer op_codeptr; with the
// sparse flag op_nelem elements with sparsity op_sp) without writing. Counts
// from E0 the result elements (all m*p when dense > 0, otherwise those that
// meet a stored operand element), from T0 the terms and, with programs, from
// P0 the program positions (operand length + 2 per term). With programs the
// result is dense whatever `dense` says: the fills with programs (478, 462)
// write every element. Returns (E, P, T).
std::tuple<i32, i32, i32> left_sizes(i32 E0, i32 K, i32 dense, bool sparse, i32 k0, i32 m, Vec<i32> msubi,
                                     Vec<i32> msubj, i32 op_codeptr, i32 op_nelem, i32 op_ptr, i32 op_sp, i32 P0,
                                     i32 p, i32 programs, i32 T0, Vec<i32> wi32, Vec<i64> wi64) {
  const bool prog = stack::has_programs(programs);
  const ExprOperand op = mprod::operand(wi32, wi64, Vec<f64>{}, op_ptr, 0, 0, prog, op_codeptr, 0, 0, sparse, op_sp,
                                        op_nelem);
  auto out = mprod::counter(prog, dense <= 0 && !prog, E0, T0, P0);
  TripletRows M(msubi, msubj, Vec<f64>{}, k0, K);
  mprod::left(M, 0, m, p, op, out);
  return {out.E, out.P, out.T};
}
FRAG_KERNEL(473, "iiipiiOOiiiiiiiiOO", left_sizes, "msubi msubj wi32 wi64");

// Sizes of a left product M.E with a dense operand: elements, longest element, rows, terms.
// Runs the left loop over entries 0 .. K-1 of M (rows below m) and the dense
// operand (row pointer op_ptr) viewed as rows of p columns without writing.
// Counts from E0 the elements of the sparse result (p per row of M that has
// entries), from L0 the most terms of one result element, from R0 the rows
// of M that have entries and from T0 the terms. Returns (E, L, R, T).
std::tuple<i32, i32, i32, i32> left_dense_sizes(i32 E0, i32 K, i32 L0, Vec<i32> msubi, Vec<i32> msubj, i32 m,
                                                i32 op_ptr, i32 p, i32 R0, i32 T0, Vec<i32> wi32) {
  const ExprOperand op =
      mprod::operand(wi32, Vec<i64>{}, Vec<f64>{}, op_ptr, 0, 0, false, 0, 0, 0, false, 0, 0);
  auto out = mprod::counter(false, true, E0, T0, 0);
  out.L = L0;
  TripletRows M(msubi, msubj, Vec<f64>{}, 0, K);
  i32 R = R0;
  for (i32 k = 0; k < K; ++k)
    if (msubi[k] < m && (k == 0 || msubi[k] != msubi[k - 1])) R = add32(R, 1);
  mprod::left(M, 0, m, p, op, out);
  return {out.E, out.L, R, out.T};
}
FRAG_KERNEL(461, "iiiOOiiiiiO", left_dense_sizes, "msubi msubj wi32");

// Number of terms of a matrix-vector product M.e with a dense operand vector.
// Adds to T0 the terms of operand element msubj[k] (row pointer op_ptr on
// the W stack) for every entry k < K. Returns T.
i32 left_vector_terms(Vec<i32> msubj, i32 K, i32 op_ptr, i32 T0, Vec<i32> wi32) {
  const Run<i32> ptr(wi32, op_ptr);
  for (i32 k = 0; k < K; ++k) {
    const i32 j = msubj[k];
    T0 = add32(T0, sub32(ptr[j + 1], ptr[j]));
  }
  return T0;
}
FRAG_KERNEL(485, "OiiiO", left_vector_terms, "msubj wi32");

// ---------------------------------------------------------- right products

// Column order of M: column pointer and entry numbers sorted by column, on the X stack.
// Writes at pos the n + 1 column starts of the entries k0 .. k0+K-1 (by
// msubj, columns below n) and after them, at pos + n + 1, the K entry
// numbers k ordered by column, entries of one column in entry order (so in
// row order). A counting sort: counts, prefix sum, placement with the starts
// as cursors, then the starts are restored.
void column_order(i32 K, i32 k0, Vec<i32> msubj, Vec<i32> xi32, i32 n, i32 pos) {
  if (n < 0) return;
  const Run<i32> colptr(xi32, pos), perm(xi32, static_cast<std::ptrdiff_t>(pos) + n + 1);
  for (i32 j = 0; j <= n; ++j) colptr[j] = 0;
  for (i32 k = 0; k < K; ++k) {
    const std::ptrdiff_t j = msubj[static_cast<i64>(k0) + k];
    colptr[j + 1] = add32(colptr[j + 1], 1);
  }
  for (i32 j = 0; j < n; ++j) colptr[j + 1] = add32(colptr[j + 1], colptr[j]);
  for (i32 k = 0; k < K; ++k) {
    const i64 entry = static_cast<i64>(k0) + k;
    const std::ptrdiff_t j = msubj[entry];
    perm[colptr[j]] = static_cast<i32>(entry);
    colptr[j] = add32(colptr[j], 1);
  }
  for (i32 j = n; j > 0; --j) colptr[j] = colptr[j - 1];
  colptr[0] = 0;
}
FRAG_KERNEL(457, "iiOOii", column_order, "msubj xi32");

// Right product E.M of a sparse operand, with or without programs, into a sparse result.
// Reads M's rows msubi and values mval through the column order at order_pos
// on xi32 (n columns), the sparse operand viewed as rows of m columns
// (op_nelem elements, sparsity op_sp, row pointer op_ptr, terms op_nidxs /
// op_cof and, when op_codeptr >= 0, programs op_codeptr / op_code /
// op_cconst). Its rows run up to the last stored one. Result element (c, j),
// key c*n + j, exists when some entry of column j meets a stored operand
// element (c, i). Writes from cursors E0, T0, P0 row pointer entries E + 1
// (r_ptr), sparsity (r_sp), terms (r_nidxs, r_cof) and, with programs,
// programs (r_codeptr, r_code, r_cconst). A negative op_codeptr is an operand
// without programs: the result gets none (its program positions are not
// touched, P stays P0), the fill of 463 and of 458 without programs. Counts
// from L0 the most terms of one element and from V0 the pairs (entry, stored
// element) that met. Returns (E, L, P, T, V).
std::tuple<i32, i32, i32, i32, i32> right_sparse_programs(
    i32 E0, i32 L0, i32 m, i32 n, i32 op_cconst, i32 op_code, i32 op_codeptr, i32 op_cof, i32 op_nelem,
    Vec<i32> msubi, Vec<i32> msubj, Vec<f64> mval, i32 op_nidxs, i32 op_ptr, i32 op_sp, i32 order_pos, i32 P0,
    i32 r_cconst, i32 r_code, i32 r_codeptr, i32 r_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 r_nidxs,
    i32 r_ptr, i32 r_sp, i32 T0, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, i32 V0, Vec<i32> xi32) {
  (void)msubj;  // the column order on xi32 already holds M's columns
  const bool programs = op_codeptr >= 0;
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, programs, op_codeptr, op_code,
                                        op_cconst, true, op_sp, op_nelem);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, programs, r_codeptr, r_code, r_cconst,
                                 true, r_sp, E0, T0, P0);
  out.L = L0;
  out.V = V0;
  const i32 q = (op_nelem > 0 && m > 0) ? static_cast<i32>(op.sp[op_nelem - 1] / m) + 1 : 0;
  const ColumnOrder M(xi32, order_pos, n, msubi, mval);
  mprod::right(M, 0, q, m, n, op, out);
  return {out.E, out.L, out.P, out.T, out.V};
}
FRAG_KERNEL(464, "iiiiiiiiiOOOiiiiiiiiiOOOiiiiOOOiO", right_sparse_programs,
            "msubi msubj mval rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// Right product E.M of a dense operand, with or without programs, into a dense or sparse result.
// Reads M's rows msubi and values mval through the column order at order_pos
// on xi32 (n columns) and the dense operand (shape op_shape with nd axes, its
// last axis being M's row axis; row pointer op_ptr, terms op_nidxs / op_cof,
// with programs op_codeptr / op_code / op_cconst), from operand row c0 on (the
// rows before it were produced by an earlier call). Writes the result shape
// (shape[:-1], n) at r_shape and from cursors E0, P0, T0 the row pointer
// entries E + 1 (r_ptr), terms (r_nidxs, r_cof), programs (r_codeptr, r_code,
// r_cconst) and, for a sparse result (sparse > 0: only columns with entries),
// sparsity (r_sp). msubj is not read: the column order holds the columns.
// Returns (E, P, T).
std::tuple<i32, i32, i32> right_dense(i32 E0, i32 c0, i32 n, i32 nd, i32 op_cconst, i32 op_code, i32 op_codeptr,
                                      bool programs, i32 op_cof, i32 op_nidxs, Vec<i32> msubi, Vec<i32> msubj,
                                      Vec<f64> mval, i32 op_ptr, i32 op_shape, i32 P0, i32 r_cconst, i32 r_code,
                                      i32 r_codeptr, i32 r_cof, i32 r_nidxs, i32 r_ptr, Vec<f64> rf64,
                                      Vec<i32> ri32, Vec<i64> ri64, i32 r_shape, i32 r_sp, i32 sparse, i32 T0,
                                      Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32, i32 order_pos) {
  (void)msubj;
  const Run<i32> shape(wi32, op_shape);
  const i32 m = nd > 0 ? shape[nd - 1] : 1;
  const i32 q = mprod::right_rows(shape, nd);
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, programs, op_codeptr, op_code,
                                        op_cconst, false, 0, 0);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, programs, r_codeptr, r_code, r_cconst,
                                 sparse > 0, r_sp, E0, T0, P0);
  const ColumnOrder M(xi32, order_pos, n, msubi, mval);
  mprod::right(M, c0, q, m, n, op, out);
  mprod::right_shape(shape, nd, n, Run(ri32, r_shape));
  return {out.E, out.P, out.T};
}
FRAG_KERNEL(459, "iiiiiiipiiOOOiiiiiiiiiOOOiiiiOOOOi", right_dense,
            "msubi msubj mval rf64 ri32 ri64 wf64 wi32 wi64 xi32");


// Sizes of a right product E.M of a sparse operand through the column order, with or without programs.
// Runs the loop of 464 without writing: M's rows msubi through the column
// order at order_pos on xi32 (n columns), the sparse operand viewed as q rows
// of m columns (op_nelem elements, sparsity op_sp, row pointer op_ptr; with
// programs, program pointer op_codeptr). Counts from E0 the result elements
// (all q*n when dense > 0, otherwise those that meet a stored operand
// element), from T0 the terms and, with programs, from P0 the program
// positions (operand length + 2 per term). msubj is not read: the column
// order holds the columns. Its fills: 464 for a sparse operand and a sparse
// result (dense <= 0; op_codeptr < 0 there without programs), 459 for an
// operand stored in full (its sparsity the identity 0 .. q*m - 1, its blocks
// those of the dense operand) in either result mode (459's sparse = 1 -
// dense). A sparse operand with a dense result (dense > 0) has no fill: 464
// takes no row count, so it cannot give the rows after the last stored one
// their empty elements. Returns (E, P, T).
std::tuple<i32, i32, i32> right_sparse_sizes(i32 E0, i32 dense, bool programs, i32 m, i32 n, Vec<i32> msubi,
                                             Vec<i32> msubj, i32 op_codeptr, i32 op_nelem, i32 op_ptr, i32 op_sp,
                                             i32 order_pos, i32 P0, i32 q, Vec<i32> wi32, Vec<i64> wi64,
                                             Vec<i32> xi32, i32 T0) {
  (void)msubj;
  const ExprOperand op = mprod::operand(wi32, wi64, Vec<f64>{}, op_ptr, 0, 0, programs, op_codeptr, 0, 0, true,
                                        op_sp, op_nelem);
  auto out = mprod::counter(programs, dense <= 0, E0, T0, P0);
  const ColumnOrder M(xi32, order_pos, n, msubi, Vec<f64>{});
  mprod::right(M, 0, q, m, n, op, out);
  return {out.E, out.P, out.T};
}
FRAG_KERNEL(458, "iipiiOOiiiiiiiOOOi", right_sparse_sizes, "msubi msubj wi32 wi64 xi32");

// Elements, longest element and terms of a right product E.M of a sparse operand, without programs.
// The loop of 458 without program positions: column order at order_pos on
// xi32 (n columns, rows msubi), sparse operand of q rows of m columns
// (op_nelem elements, sparsity op_sp, row pointer op_ptr). Counts from E0 the
// result elements (all q*n when dense > 0, otherwise those that meet a stored
// element), from L0 the most terms of one element and from T0 the terms.
// msubj is not read: the column order holds the columns. Its fills: 464
// with op_codeptr < 0 for a sparse result (L and T as 464 counts them), 459
// without programs for an operand stored in full (sparsity the identity) in
// either result mode; as for 458, a sparse operand with a dense result has
// none. Returns (E, L, T).
std::tuple<i32, i32, i32> right_sparse_counts(i32 E0, i32 L0, Vec<i32> msubi, Vec<i32> msubj, i32 m, i32 n,
                                              i32 op_nelem, i32 op_ptr, i32 op_sp, i32 order_pos, i32 q,
                                              Vec<i32> wi32, Vec<i64> wi64, i32 dense, i32 T0, Vec<i32> xi32) {
  (void)msubj;
  const ExprOperand op =
      mprod::operand(wi32, wi64, Vec<f64>{}, op_ptr, 0, 0, false, 0, 0, 0, true, op_sp, op_nelem);
  auto out = mprod::counter(false, dense <= 0, E0, T0, 0);
  out.L = L0;
  const ColumnOrder M(xi32, order_pos, n, msubi, Vec<f64>{});
  mprod::right(M, 0, q, m, n, op, out);
  return {out.E, out.L, out.T};
}
FRAG_KERNEL(463, "iiOOiiiiiiiOOiiO", right_sparse_counts, "msubi msubj wi32 wi64 xi32");

// Terms and program positions of a right product E.M of a dense operand.
// For every operand row c < q and entry k < K of M, adds to T0 the terms of
// operand element (c, msubi[k]) (row pointer op_ptr, rows of m elements) and,
// with programs > 0, to P0 their program length plus 2 per term (program
// pointer op_codeptr). The totals do not depend on the column order, so M's
// rows alone suffice. Returns (P, T).
std::tuple<i32, i32> right_dense_sizes(i32 K, i32 programs, Vec<i32> msubi, i32 m, i32 op_codeptr, i32 op_ptr, i32 q,
                                       Vec<i32> wi32, i32 P0, i32 T0) {
  const bool prog = stack::has_programs(programs);
  const Run<i32> ptr(wi32, op_ptr), pptr(wi32, prog ? op_codeptr : 0);
  for (i32 c = 0; c < q; ++c) {
    for (i32 k = 0; k < K; ++k) {
      const i64 e = static_cast<i64>(c) * m + msubi[k];
      const i32 a = ptr[e], b = ptr[e + 1];
      T0 = add32(T0, sub32(b, a));
      if (prog) P0 = add32(P0, add32(sub32(pptr[b], pptr[a]), mul32(2, sub32(b, a))));
    }
  }
  return {P0, T0};
}
FRAG_KERNEL(489, "iiOiiiiOii", right_dense_sizes, "msubi wi32");

// -------------------------------------------------- dense constant matrices

// Left product M.E with a dense row-major m x n matrix, optionally leaving out constant terms.
// Reads mval (m x n, n being the operand's first extent) and the dense
// operand (shape op_shape with nd axes, row pointer op_ptr, terms op_nidxs /
// op_cof). With skip_zeros > 0 entries whose value is 0.0 contribute nothing;
// with the skip_constants flag the operand's terms of variable 0 are left out
// (the fold pass 477 adds them into a value run instead). Writes the result
// shape (m, shape[1:]) at r_shape and from cursors E0 and T0 the m*p row
// pointer entries E + 1 (r_ptr) and terms (r_nidxs, r_cof). Returns (E, T).
std::tuple<i32, i32> dense_left(i32 E0, i32 m, i32 nd, i32 op_cof, i32 op_nidxs, i32 op_ptr, Vec<f64> mval,
                                i32 op_shape, i32 r_cof, i32 r_nidxs, i32 r_ptr, Vec<f64> rf64, bool skip_constants,
                                Vec<i32> ri32, Vec<i64> ri64, i32 r_shape, i32 skip_zeros, i32 T0, Vec<f64> wf64,
                                Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> shape(wi32, op_shape);
  const i32 n = nd > 0 ? shape[0] : 1;
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, false, 0, 0, 0, false, 0, 0);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, false, 0, 0, 0, false, 0, E0, T0, 0);
  out.skip_constants = skip_constants;
  DenseRows M{mval, n, skip_zeros > 0};
  mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
  mprod::left_shape(shape, nd, m, Run(ri32, r_shape));
  return {out.E, out.T};
}
FRAG_KERNEL(476, "iiiiiiOiiiiOpOOiiiOOO", dense_left, "mval rf64 ri32 ri64 wf64 wi32 wi64");

// Splits the terms of a product: constants are folded into values, the other terms are counted.
// Sink of the fold passes: for result element key, the constant terms
// (variable 0) add v times their coefficient into values[key]; the number of
// other terms is added into counts[key + 1] (a count pass of the product
// without its constants).
struct FoldOut {
  static constexpr bool kWrites = true;
  Run<i32> counts;
  Run<f64> values;
  i32 C = 0, N = 0, V = 0;
  i32 here = 0;
  f64 acc = 0.0;
  void open() FRAG_NOEXCEPT {
    here = 0;
    acc = 0.0;
  }
  void append(const ExprOperand& op, i64 e, f64 v) FRAG_NOEXCEPT {
    for (i32 j = op.b.ptr[e], end = op.b.ptr[e + 1]; j < end; ++j) {
      if (op.b.nidxs[j] == 0) {
        acc += v * op.b.cof[j];
        C = add32(C, 1);
      } else {
        here = add32(here, 1);
        N = add32(N, 1);
      }
    }
  }
  void close(i64 key, bool) FRAG_NOEXCEPT {
    counts[key + 1] = add32(counts[key + 1], here);
    values[key] += acc;
  }
};

// Fold pass of a product with a dense matrix: constants into values, other terms counted.
// Left (right <= 0): M.E with mval m x n and the operand's first axis of
// extent n; right (right > 0): E.M with the operand's last axis of extent m.
// Reads the dense operand (shape op_shape with nd axes, row pointer op_ptr,
// terms op_nidxs / op_cof). For result element e (row-major in the result
// shape): adds v * coefficient of every constant term (variable 0) that
// reaches it into rf64[r_val + e0 + e], and its number of other terms into
// ri32[r_ptr + e0 + e + 1], the count pass of dense_left with skip_constants.
// Entries 0.0 are left out when skip_zeros > 0. Writes the result shape at
// r_shape.
void dense_fold(i32 m, i32 n, i32 nd, i32 op_cof, i32 op_nidxs, i32 op_ptr, Vec<f64> mval, i32 op_shape, i32 e0,
                i32 r_ptr, i32 r_shape, i32 r_val, Vec<f64> rf64, Vec<i32> ri32, i32 right, i32 skip_zeros,
                Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> shape(wi32, op_shape);
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, false, 0, 0, 0, false, 0, 0);
  FoldOut out{Run(ri32, static_cast<std::ptrdiff_t>(r_ptr) + e0), Run(rf64, static_cast<std::ptrdiff_t>(r_val) + e0)};
  if (right > 0) {
    DenseColumns M{mval, m, n, skip_zeros > 0};
    mprod::right(M, 0, mprod::right_rows(shape, nd), m, n, op, out);
    mprod::right_shape(shape, nd, n, Run(ri32, r_shape));
  } else {
    DenseRows M{mval, n, skip_zeros > 0};
    mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
    mprod::left_shape(shape, nd, m, Run(ri32, r_shape));
  }
}
FRAG_KERNEL(477, "iiiiiiOiiiiiOOiiOOO", dense_fold, "mval rf64 ri32 wf64 wi32 wi64");

// Fold pass of a left product with triplets: constants into values, other terms counted.
// As dense_fold for M.E with the entries k0 .. k0+K-1 of M (rows below m):
// constants add into rf64[r_val + e0 + e], other terms count into
// ri32[r_ptr + e0 + e + 1]. Counts from C0 the constant terms folded and from
// N0 the other terms. Returns (C, N).
std::tuple<i32, i32> triplet_fold(i32 K, i32 k0, i32 m, i32 nd, i32 e0, i32 C0, Vec<i32> msubi, Vec<i32> msubj,
                                  Vec<f64> mval, i32 N0, i32 op_cof, i32 op_nidxs, i32 op_ptr, i32 op_shape,
                                  i32 r_ptr, Vec<f64> rf64, Vec<i32> ri32, i32 r_val, Vec<f64> wf64, Vec<i32> wi32,
                                  Vec<i64> wi64) {
  const Run<i32> shape(wi32, op_shape);
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, false, 0, 0, 0, false, 0, 0);
  FoldOut out{Run(ri32, static_cast<std::ptrdiff_t>(r_ptr) + e0), Run(rf64, static_cast<std::ptrdiff_t>(r_val) + e0)};
  out.C = C0;
  out.N = N0;
  TripletRows M(msubi, msubj, mval, k0, K);
  mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
  return {out.C, out.N};
}
FRAG_KERNEL(480, "iiiiiiOOOiiiiiiOOiOOO", triplet_fold, "msubi msubj mval rf64 ri32 wf64 wi32 wi64");

// Sink of the value products: the value of a constant operand element is the
// sum of its coefficients (its variable indices are not read).
struct ValueOut {
  static constexpr bool kWrites = true;
  i32 V = 0;
  f64 acc = 0.0;
  void open() FRAG_NOEXCEPT { acc = 0.0; }
  void append(const ExprOperand& op, i64 e, f64 v) FRAG_NOEXCEPT {
    f64 s = 0.0;
    for (i32 j = op.b.ptr[e], end = op.b.ptr[e + 1]; j < end; ++j) s += op.b.cof[j];
    acc += v * s;
  }
};

// Values of a product of a dense matrix with a constant operand.
// The operand is a constant (every term a constant term; the value of an
// element is the sum of its coefficients, read from op_cof through the row
// pointer op_ptr). Left (right <= 0): M.E, mval m x n, operand first axis n;
// right: E.M, operand last axis m. Writes the value of result element e into
// rf64[r_val + e0 + e], added to what is there when accumulate > 0, and the
// result shape at r_shape.
void dense_values(i32 accumulate, i32 e0, i32 m, i32 n, i32 nd, i32 op_cof, Vec<f64> mval, i32 op_ptr, i32 op_shape,
                  i32 r_shape, i32 r_val, Vec<f64> rf64, Vec<i32> ri32, i32 right, Vec<f64> wf64, Vec<i32> wi32) {
  const Run<i32> shape(wi32, op_shape);
  const ExprOperand op =
      mprod::operand(wi32, Vec<i64>{}, wf64, op_ptr, 0, op_cof, false, 0, 0, 0, false, 0, 0);
  const Run<f64> values(rf64, static_cast<std::ptrdiff_t>(r_val) + e0);
  struct Sink : ValueOut {
    Run<f64> values;
    bool add;
    void close(i64 key, bool) FRAG_NOEXCEPT { values[key] = add ? values[key] + acc : acc; }
  } out{{}, values, accumulate > 0};
  if (right > 0) {
    DenseColumns M{mval, m, n};
    mprod::right(M, 0, mprod::right_rows(shape, nd), m, n, op, out);
    mprod::right_shape(shape, nd, n, Run(ri32, r_shape));
  } else {
    DenseRows M{mval, n};
    mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
    mprod::left_shape(shape, nd, m, Run(ri32, r_shape));
  }
}
FRAG_KERNEL(475, "iiiiiiOiiiiOOiOO", dense_values, "mval rf64 ri32 wf64 wi32");

// Nonzero values of a left product of a dense matrix with a constant operand, as a sparse constant.
// As dense_values for M.E (mval m x n, n the operand's first extent; operand
// shape op_shape with nd axes, row pointer op_ptr, coefficients op_cof), but
// only the nonzero values are kept: from cursor E0, value E goes to
// rf64[r_val + E] and its row-major result index to ri32[r_idx + E]. Counts
// from V0 the result elements visited and from Z0 those dropped as 0.0.
// Returns (E, V, Z).
std::tuple<i32, i32, i32> dense_values_sparse(i32 E0, i32 m, i32 nd, i32 op_cof, i32 op_ptr, i32 op_shape,
                                              Vec<f64> mval, i32 r_idx, i32 r_val, i32 V0, Vec<f64> rf64,
                                              Vec<i32> ri32, i32 Z0, Vec<f64> wf64, Vec<i32> wi32) {
  const Run<i32> shape(wi32, op_shape);
  const i32 n = nd > 0 ? shape[0] : 1;
  const ExprOperand op =
      mprod::operand(wi32, Vec<i64>{}, wf64, op_ptr, 0, op_cof, false, 0, 0, 0, false, 0, 0);
  struct Sink : ValueOut {
    Run<f64> values;
    Run<i32> idx;
    i32 E, Vn, Z;
    void close(i64 key, bool) FRAG_NOEXCEPT {
      Vn = add32(Vn, 1);
      if (acc == 0.0) {
        Z = add32(Z, 1);
        return;
      }
      values[E] = acc;
      idx[E] = static_cast<i32>(key);
      E = add32(E, 1);
    }
  } out{{}, Run(rf64, r_val), Run(ri32, r_idx), E0, V0, Z0};
  DenseRows M{mval, n};
  mprod::left(M, 0, m, mprod::left_columns(shape, nd), op, out);
  return {out.E, out.Vn, out.Z};
}
FRAG_KERNEL(474, "iiiiiiOiiiOOiOO", dense_values_sparse, "mval rf64 ri32 wf64 wi32");

// ------------------------------------------------------ elementwise products

// Elementwise product of E with a sparse constant given by linear positions, with or without programs.
// The constant has K entries at the strictly ascending row-major positions
// msp[k] of E's shape, values mcof[k]. Reads the operand (shape op_shape with
// nd axes, row pointer op_ptr, terms op_nidxs / op_cof; with the sparse flag
// op_nelem elements with sparsity op_sp; with programs > 0 op_codeptr /
// op_code / op_cconst). Writes the whole sparse result from its first
// element: one element per entry whose position E stores (all of them for a
// dense operand), sparsity msp[k] (r_sp), E's terms times mcof[k] (r_ptr with
// entry 0 = 0, r_nidxs, r_cof), with programs each term's program followed by
// "push constant mcof[k], multiply" (r_codeptr with entry 0 = 0, r_code,
// r_cconst); and E's shape at r_shape.
void elementwise(i32 K, i32 nd, i32 op_cconst, i32 op_code, bool sparse, Vec<f64> mcof, Vec<i64> msp,
                 i32 op_codeptr, i32 op_cof, i32 op_nelem, i32 op_nidxs, i32 op_ptr, i32 op_shape, i32 op_sp,
                 i32 programs, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 r_cconst, i32 r_code, i32 r_codeptr,
                 i32 r_cof, i32 r_nidxs, i32 r_ptr, i32 r_shape, i32 r_sp, Vec<f64> wf64, Vec<i32> wi32,
                 Vec<i64> wi64) {
  const bool prog = stack::has_programs(programs);
  const ExprOperand op = mprod::operand(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, prog, op_codeptr, op_code,
                                        op_cconst, sparse, op_sp, op_nelem);
  auto out = mprod::result<true>(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, prog, r_codeptr, r_code, r_cconst, true,
                                 r_sp, 0, 0, 0);
  out.res.ptr[0] = 0;
  if (prog) out.res.pptr[0] = 0;
  mprod::elementwise(msp, mcof, K, op, out);
  const Run<i32> shape(wi32, op_shape), rshape(ri32, r_shape);
  for (i32 d = 0; d < nd; ++d) rshape[d] = shape[d];
}
FRAG_KERNEL(469, "iiiipOOiiiiiiiiOOOiiiiiiiiOOO", elementwise, "mcof msp rf64 ri32 ri64 wf64 wi32 wi64");

// Sizes of the elementwise product with a sparse constant given by linear positions.
// The loop of 469 without writing, over the K positions msp: a sparse
// operand has op_nelem >= 0 stored elements with sparsity op_sp; op_nelem < 0
// stands for a dense operand (every position stored, sparsity not read).
// Counts from E0 the result elements, from T0 the terms and, with the
// programs flag, from P0 the program positions (operand length + 2 per term,
// program pointer op_codeptr). Row pointer op_ptr. Returns (E, P, T).
std::tuple<i32, i32, i32> elementwise_sizes(i32 K, bool programs, Vec<i64> msp, i32 E0, i32 op_codeptr, i32 op_nelem,
                                            i32 op_ptr, i32 op_sp, i32 P0, i32 T0, Vec<i32> wi32, Vec<i64> wi64) {
  const ExprOperand op = mprod::operand(wi32, wi64, Vec<f64>{}, op_ptr, 0, 0, programs, op_codeptr, 0, 0,
                                        op_nelem >= 0, op_sp, op_nelem);
  auto out = mprod::counter(programs, true, E0, T0, P0);
  mprod::elementwise(msp, Vec<f64>{}, K, op, out);
  return {out.E, out.P, out.T};
}
FRAG_KERNEL(467, "ipOiiiiiiiOO", elementwise_sizes, "msp wi32 wi64");

}  // namespace
}  // namespace frag
