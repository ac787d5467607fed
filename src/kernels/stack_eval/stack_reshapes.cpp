// Reshaping stacked expressions: shapes of new and stacked axes, strides and
// linear indices of subscripts, and the copies that repeat, broadcast or
// regroup the elements of an operand on the W stack into a result on the R
// stack. Every copy appends the operand element's terms in order with their
// programs; in a result with programs an operand without programs gives each
// term "push constant 0.0"; a result without programs gets none, and its
// program runs are left untouched, whatever the operand carries. The
// result's sizes are known to the host before
// the call (its elements are copies of operand elements), so these kernels
// write row pointer entries 0 .. n and program pointer entry 0 themselves and
// return None.
#include "kernels/extents.hpp"
#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using program::NoProgram;
using stack::Blocks;
using stack::Run;

// ------------------------------------------------------------ shapes

// Shape of an operand with a unit axis inserted before axis d.
// Reads shape (its element count is the number of axes nd, 0 <= d <= nd);
// writes resshape[0 .. nd]: shape[0 .. d-1], 1, shape[d .. nd-1].
void insert_unit_axis(i32 d, Vec<i32> resshape, Vec<i32> shape) {
  const i32 nd = shape.n32();
  for (i32 t = 0; t < d; ++t) resshape[t] = shape[t];
  resshape[d] = 1;
  for (i32 t = d; t < nd; ++t) resshape[t + 1] = shape[t];
}
FRAG_KERNEL(450, "iOO", insert_unit_axis, "resshape shape");

// Shape of the operands of shapes stacked along a new axis d.
// Reads the first operand shape that is not None (its element count nd is
// the number of axes; the operands' agreement is checked beforehand) and
// counts the operands that are not None (k); writes resshape[0 .. nd]:
// shape[0 .. d-1], k, shape[d .. nd-1]. Nothing is written without operands.
void stacked_shape(i32 d, Vec<i32> resshape, ArrayList shapes) {
  std::ptrdiff_t first = 0;
  while (first < shapes.count && shapes[first].is_none()) ++first;
  if (first == shapes.count) return;
  i32 k = 0;
  for (std::ptrdiff_t r = first; r < shapes.count; ++r)
    if (!shapes[r].is_none()) k = add32(k, 1);
  const Vec<i32>& s = shapes[first];
  const i32 nd = s.n32();
  for (i32 t = 0; t < d; ++t) resshape[t] = s[t];
  resshape[d] = k;
  for (i32 t = d; t < nd; ++t) resshape[t + 1] = s[t];
}
FRAG_KERNEL(451, "iOO", stacked_shape, "resshape shapes");

// Row-major strides of the first nd extents of shape, in 64 bits.
// Writes s[nd-1] = 1 and s[t] = s[t+1] * shape[t+1] for t = nd-2 .. 0;
// nothing for nd <= 0.
void rowmajor_strides64(i32 nd, Vec<i64> s, Vec<i32> shape) {
  if (nd < 1) return;
  s[nd - 1] = 1;
  extents::rowmajor_strides(shape, s, nd);
}
FRAG_KERNEL(455, "iOO", rowmajor_strides64, "s shape");

// Linear index of every row of a subscript matrix.
// Reads the rows of vsub (one subscript per row, its first nd columns) and
// the strides s; writes res[i] = sum over j < nd of vsub[i, j] * s[j]
// (64-bit, wrapping) for every row i.
void linear_indices(i32 nd, Vec<i64> res, Vec<i64> s, Mat<i32> vsub) {
  for (i32 i = 0; i < vsub.rows; ++i) {
    i64 lin = 0;
    for (i32 j = 0; j < nd; ++j) lin = add64(lin, mul64(static_cast<i64>(vsub(i, j)), s[j]));
    res[i] = lin;
  }
}
FRAG_KERNEL(456, "iOOO", linear_indices, "res s vsub");

// ------------------------------------------------------------ copies

// Result blocks, entry 0 of its row pointer (and program pointer) set.
inline Blocks start_result(Vec<i32> ri32, Vec<i64> ri64, Vec<f64> rf64, i32 rptr, i32 rnidxs, i32 rcof,
                           i32 rcodeptr, i32 rcode, i32 rcconst, bool programs) {
  const Blocks r = stack::blocks_at(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, programs);
  r.ptr[0] = 0;
  if (programs) r.pptr[0] = 0;
  return r;
}

// Copies operand element e as result element E (row pointer entry E + 1).
inline void copy_element(const Blocks& op, std::ptrdiff_t e, const Blocks& res, i32 E, i32& T, i32& P) {
  program::copy_terms<NoProgram::kPushZero>(op, e, res, T, P);
  res.ptr[std::ptrdiff_t{E} + 1] = T;
}

// An expression of n elements with `step` terms each, from flat runs.
// Reads n * step variable indices (wnidxs, on wi64) and coefficients (wcof,
// on wf64); writes on the R stack row pointer rptr[e] = e * step (e = 0 ..
// n), the terms in order at rnidxs / rcof and, when flag is set, for every
// term t program pointer rcodeptr[t] = t (t = 0 .. n * step) and the program
// "push constant 0.0" at rcode / rcconst. Scalars in order: n, flag, rcconst,
// rcode, rcodeptr, rcof, step, rnidxs, rptr, wcof, wnidxs.
void regular_expr(i32 n, bool flag, i32 rcconst, i32 rcode, i32 rcodeptr, i32 rcof, i32 step, Vec<f64> rf64,
                  Vec<i32> ri32, Vec<i64> ri64, i32 rnidxs, i32 rptr, i32 wcof, i32 wnidxs, Vec<f64> wf64,
                  Vec<i64> wi64) {
  if (n < 0) return;
  const Blocks r = start_result(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, flag);
  const Run<i64> vars(wi64, wnidxs);
  const Run<f64> cofs(wf64, wcof);
  i32 T = 0, P = 0;
  for (i32 e = 0; e < n; ++e) {
    for (i32 k = 0; k < step; ++k) {
      r.nidxs[T] = vars[T];
      r.cof[T] = cofs[T];
      if (flag) {
        P = program::append_zero(r.words, r.consts, P);
        r.pptr[add32(T, 1)] = P;
      }
      T = add32(T, 1);
    }
    r.ptr[e + 1] = T;
  }
}
FRAG_KERNEL(395, "ipiiiiiOOOiiiiOO", regular_expr, "rf64 ri32 ri64 wf64 wi64");

// The n elements of an operand repeated reps times (a one-dimensional tile).
// Reads the operand's blocks on the W stack (program blocks when flag > 0);
// writes the result of reps * n elements on the R stack, element r * n + e
// holding the terms of operand element e, with row pointer entries 0 ..
// reps * n and, with programs, program pointer entries. Scalars in order:
// operand program constants, words, program pointer, coefficients, flag,
// n, operand variable indices, operand row pointer, result program
// constants, words, program pointer, coefficients, reps, result variable
// indices, result row pointer.
void tile(i32 cconst, i32 code, i32 codeptr, i32 cof, i32 flag, i32 n, i32 nidxs, i32 ptr, i32 rcconst,
          i32 rcode, i32 rcodeptr, i32 rcof, i32 reps, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 rnidxs,
          i32 rptr, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(flag);
  const Blocks op = stack::blocks_at(wi32, wi64, wf64, ptr, nidxs, cof, codeptr, code, cconst, programs);
  const Blocks res = start_result(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, programs);
  i32 T = 0, P = 0, E = 0;
  for (i32 r = 0; r < reps; ++r)
    for (i32 e = 0; e < n; ++e, E = add32(E, 1)) copy_element(op, e, res, E, T, P);
}
FRAG_KERNEL(429, "iiiiiiiiiiiiiOOOiiOOO", tile, "rf64 ri32 ri64 wf64 wi32 wi64");

// Strided gather over three levels: result element (i, j, k), row-major over
// the extents (n0, n1, n2), is operand element off + i*s0 + j*s1 + k*s2.
// Stride 0 broadcasts, a negative stride reverses, swapped strides transpose
// two axes. Reads the operand's blocks on the W stack (program blocks when
// `own` > 0); writes n0*n1*n2 result elements on the R stack with row pointer
// entries 0 .. n0*n1*n2 and, when flag is set, programs ("push constant 0.0"
// for an operand without); with flag clear the operand's programs are
// dropped and no program position of the result is written. Scalars in order: operand program constants,
// words, program pointer, coefficients, flag, n0, n1, n2, operand variable
// indices, off, own, operand row pointer, result program constants, words,
// program pointer, coefficients, result variable indices, result row
// pointer, s0, s1, s2.
void strided_gather(i32 cconst, i32 code, i32 codeptr, i32 cof, bool flag, i32 n0, i32 n1, i32 n2, i32 nidxs,
                    i32 off, i32 own, i32 ptr, i32 rcconst, i32 rcode, i32 rcodeptr, Vec<f64> rf64, Vec<i32> ri32,
                    Vec<i64> ri64, i32 rcof, i32 rnidxs, i32 rptr, i32 s0, i32 s1, i32 s2, Vec<f64> wf64,
                    Vec<i32> wi32, Vec<i64> wi64) {
  const Blocks op =
      stack::blocks_at(wi32, wi64, wf64, ptr, nidxs, cof, codeptr, code, cconst, stack::has_programs(own));
  const Blocks res = start_result(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, flag);
  i32 T = 0, P = 0, E = 0;
  for (i32 i = 0; i < n0; ++i)
    for (i32 j = 0; j < n1; ++j)
      for (i32 k = 0; k < n2; ++k, E = add32(E, 1)) {
        const i64 e = i64{off} + i64{i} * s0 + i64{j} * s1 + i64{k} * s2;
        copy_element(op, e, res, E, T, P);
      }
}
FRAG_KERNEL(402, "iiiipiiiiiiiiiiOOOiiiiiiOOO", strided_gather, "rf64 ri32 ri64 wf64 wi32 wi64");

// Sum X + Y of two dense operands, Y broadcast: the result has the
// three-factor shape (outer, m, inner) of X; Y's factors (youter, ym,
// yinner) are each equal to X's or 1 (broadcast along that factor). Result
// element (x, a, p) holds the terms of X's element (x, a, p) followed by
// those of Y's element (x mod youter, a mod ym, p mod yinner). Reads both
// operands on the W stack (their program blocks when xown / yown > 0);
// writes the result on the R stack with row pointer entries 0 .. outer*m*inner
// and, when flag is set, programs (with flag clear the operands' programs are
// dropped). A Y factor below 1 leaves no Y element to broadcast: then only
// row pointer entry 0 (and program pointer entry 0 with flag) is written and
// the host must not read the result further. Scalars in order: inner, m, outer, X's
// program constants, words, program pointer, coefficients, variable indices,
// flag, xown, X's row pointer, Y's program constants, words, program pointer,
// coefficients, variable indices, yown, Y's row pointer, result program
// constants, words, program pointer, coefficients, variable indices, row
// pointer, yinner, ym, youter.
void broadcast_sum(i32 inner, i32 m, i32 outer, i32 xcconst, i32 xcode, i32 xcodeptr, i32 xcof, i32 xnidxs,
                   bool flag, i32 xown, i32 xptr, i32 ycconst, i32 ycode, i32 ycodeptr, i32 ycof, i32 ynidxs,
                   i32 yown, i32 yptr, i32 rcconst, i32 rcode, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                   i32 rcodeptr, i32 rcof, i32 rnidxs, i32 rptr, i32 yinner, i32 ym, i32 youter, Vec<f64> wf64,
                   Vec<i32> wi32, Vec<i64> wi64) {
  const Blocks x =
      stack::blocks_at(wi32, wi64, wf64, xptr, xnidxs, xcof, xcodeptr, xcode, xcconst, stack::has_programs(xown));
  const Blocks y =
      stack::blocks_at(wi32, wi64, wf64, yptr, ynidxs, ycof, ycodeptr, ycode, ycconst, stack::has_programs(yown));
  const Blocks res = start_result(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, flag);
  if (youter < 1 || ym < 1 || yinner < 1) return;
  i32 T = 0, P = 0, E = 0;
  for (i32 o = 0; o < outer; ++o)
    for (i32 a = 0; a < m; ++a)
      for (i32 p = 0; p < inner; ++p, E = add32(E, 1)) {
        program::copy_terms<NoProgram::kPushZero>(x, E, res, T, P);
        const i64 ye = (i64{o % youter} * ym + a % ym) * yinner + p % yinner;
        copy_element(y, ye, res, E, T, P);
      }
}
FRAG_KERNEL(432, "iiiiiiiipiiiiiiiiiiiOOOiiiiiiiOOO", broadcast_sum, "rf64 ri32 ri64 wf64 wi32 wi64");

}  // namespace
}  // namespace frag
