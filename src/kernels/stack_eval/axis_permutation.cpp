// Axis permutation of stacked expressions: axis k of the result is axis
// dperm[k] of the operand. A dense operand is permuted in one pass that walks
// the result elements and gathers each from its source element. A sparse
// operand goes in three steps chained by the host: the permuted linear index
// of every stored element (sp), the host's ascending order of sp (perm), and
// a gather of the stored elements in that order.
#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using program::NoProgram;
using stack::Run;

// Both kernels copy terms from the operand's blocks on the W stack (src) to
// the result's on the R stack (dst); both carry programs when the expression
// does.

// Dense permutation. Result element i is split into its coordinates by the
// result strides; coordinate k lies on operand axis dperm[k], which gives the
// source element through the operand strides.
void permute_dense(i32 w_cconst, i32 w_code, i32 w_codeptr, Vec<i32> dperm, Vec<i64> dstride,
                   i32 w_cof, i32 w_nidxs, i32 w_ptr, i32 program_flag, i32 nd, i32 n,
                   i32 r_cconst, i32 r_code, i32 r_codeptr, i32 r_cof, Vec<f64> rf64,
                   Vec<i32> ri32, Vec<i64> ri64, i32 r_nidxs, i32 r_ptr, Vec<i64> stride,
                   Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(program_flag);
  const stack::Blocks src =
      stack::blocks_at(wi32, wi64, wf64, w_ptr, w_nidxs, w_cof, w_codeptr, w_code, w_cconst, programs);
  const stack::Blocks dst =
      stack::blocks_at(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, r_codeptr, r_code, r_cconst, programs);
  dst.ptr[0] = 0;
  if (programs) dst.pptr[0] = 0;

  i32 T = 0, P = 0;
  for (i32 i = 0; i < n; ++i) {
    i64 rem = i, s = 0;
    for (i32 k = 0; k < nd; ++k) {
      const i64 q = idiv(rem, dstride[k]);
      rem = irem(rem, dstride[k]);
      s = add64(s, mul64(q, stride[dperm[k]]));
    }
    program::copy_terms<NoProgram::kNothing>(src, s, dst, T, P);
    dst.ptr[i + 1] = T;
  }
}
FRAG_KERNEL(427, "iiiOOiiiiiiiiiiOOOiiOOOO", permute_dense,
            "dperm dstride rf64 ri32 ri64 stride wf64 wi32 wi64");

// Sparse gather: result position i takes operand stored element perm[i] and
// its permuted index sp[perm[i]]. Entry 0 of the result row pointer and
// program pointer is the caller's.
std::tuple<i32, i32, i32> permute_sparse_gather(
    i32 w_cconst, i32 w_code, i32 P, i32 w_codeptr, i32 w_cof, i32 w_nidxs, i32 w_ptr, i32 E,
    i32 T, i32 program_flag, i32 n, Vec<i64> perm, i32 r_cconst, i32 r_code, i32 r_codeptr,
    i32 r_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 r_nidxs, i32 r_ptr, i32 r_sp,
    Vec<i64> sp, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(program_flag);
  const stack::Blocks src =
      stack::blocks_at(wi32, wi64, wf64, w_ptr, w_nidxs, w_cof, w_codeptr, w_code, w_cconst, programs);
  const stack::Blocks dst =
      stack::blocks_at(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, r_codeptr, r_code, r_cconst, programs);
  Run<i64> r_spx(ri64, r_sp);
  for (i32 i = 0; i < n; ++i) {
    const i64 s = perm[i];
    program::copy_terms<NoProgram::kNothing>(src, s, dst, T, P);
    r_spx[i] = sp[s];
    dst.ptr[i + 1] = T;
    E = add32(E, 1);
  }
  return {P, E, T};
}
FRAG_KERNEL(426, "iiiiiiiiiiiOiiiiOOOiiiOOOO", permute_sparse_gather,
            "perm rf64 ri32 ri64 sp wf64 wi32 wi64");

// Permuted linear index of each stored element: its operand coordinates come
// from the operand strides, and the result index is the Horner sum over the
// result shape of the coordinates taken in dperm order. Without axes every
// element is the single element of a scalar and gets index 0.
void permuted_sparsity(Vec<i32> dperm, i32 w_sp, i32 nd, i32 n, Vec<i32> ri32, i32 r_shape,
                       Vec<i64> sp, Vec<i64> stride, Vec<i64> wi64) {
  if (n <= 0) return;
  if (nd < 1) {
    for (i32 i = 0; i < n; ++i) sp[i] = 0;
    return;
  }
  WorkArray<i64> coord(nd);
  Run<i64> w_spx(wi64, w_sp);
  Run<i32> rshape(ri32, r_shape);
  for (i32 i = 0; i < n; ++i) {
    i64 r = w_spx[i];
    for (i32 k = 0; k < nd; ++k) {
      coord[k] = idiv(r, stride[k]);
      r = irem(r, stride[k]);
    }
    i64 v = coord[dperm[0]];
    for (i32 k = 1; k < nd; ++k) v = add64(mul64(v, static_cast<i64>(rshape[k])), coord[dperm[k]]);
    sp[i] = v;
  }
}
FRAG_KERNEL(425, "OiiiOiOOO", permuted_sparsity, "dperm ri32 sp stride wi64");

// Result shape: the operand's extents gathered through dperm.
void gather_shape(Vec<i32> dperm, i32 n, Vec<i32> ri32, i32 dst, i32 src, Vec<i32> wi32) {
  Run<i32> out(ri32, dst), in(wi32, src);
  for (i32 k = 0; k < n; ++k) out[k] = in[dperm[k]];
}
FRAG_KERNEL(424, "OiOiiO", gather_shape, "dperm ri32 wi32");

}  // namespace
}  // namespace frag
