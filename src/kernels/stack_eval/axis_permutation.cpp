// Axis permutation of stacked expressions: axis k of the result is axis
// dperm[k] of the operand. A dense operand is permuted in one pass that walks
// the result elements and gathers each from its source element. A sparse
// operand goes in three steps chained by the host: the permuted linear index
// of every stored element (sp), the host's ascending order of sp (perm), and
// a gather of the stored elements in that order.
#include "kernels/stack_eval/stack_layout.hpp"

namespace frag {
namespace {

using stack::Run;

// Copies the terms of one operand element, with their programs when the
// expression carries them, to the end of the result's term blocks. T and P are
// the result's running term and program-position counts; the result program
// pointer gets entry T + 1 per copied term.
struct TermCopy {
  Run<i32> ptr;       // operand row pointer
  Run<i64> nidxs;     // operand variable indices
  Run<f64> cof;       // operand coefficients
  Run<i32> codeptr;   // operand program pointer
  Run<i32> code;      // operand program words
  Run<f64> cconst;    // operand program constants
  Run<i64> r_nidxs;
  Run<f64> r_cof;
  Run<i32> r_codeptr;
  Run<i32> r_code;
  Run<f64> r_cconst;
  bool programs;

  void element(i64 s, i32& T, i32& P) const {
    const i32 end = ptr[s + 1];
    for (i32 j = ptr[s]; j < end; ++j) {
      r_nidxs[T] = nidxs[j];
      r_cof[T] = cof[j];
      if (programs) {
        const i32 code_end = codeptr[j + 1];
        for (i32 m = codeptr[j]; m < code_end; ++m) {
          r_code[P] = code[m];
          r_cconst[P] = cconst[m];
          P = add32(P, 1);
        }
        r_codeptr[add32(T, 1)] = P;
      }
      T = add32(T, 1);
    }
  }
};

// Dense permutation. Result element i is split into its coordinates by the
// result strides; coordinate k lies on operand axis dperm[k], which gives the
// source element through the operand strides.
void permute_dense(i32 w_cconst, i32 w_code, i32 w_codeptr, Vec<i32> dperm, Vec<i64> dstride,
                   i32 w_cof, i32 w_nidxs, i32 w_ptr, i32 program_flag, i32 nd, i32 n,
                   i32 r_cconst, i32 r_code, i32 r_codeptr, i32 r_cof, Vec<f64> rf64,
                   Vec<i32> ri32, Vec<i64> ri64, i32 r_nidxs, i32 r_ptr, Vec<i64> stride,
                   Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(program_flag);
  const TermCopy copy{Run(wi32, w_ptr),     Run(wi64, w_nidxs),   Run(wf64, w_cof),
                      Run(wi32, w_codeptr), Run(wi32, w_code),    Run(wf64, w_cconst),
                      Run(ri64, r_nidxs),   Run(rf64, r_cof),     Run(ri32, r_codeptr),
                      Run(ri32, r_code),    Run(rf64, r_cconst),  programs};
  Run<i32> r_row(ri32, r_ptr);
  r_row[0] = 0;
  if (programs) copy.r_codeptr[0] = 0;

  i32 T = 0, P = 0;
  for (i32 i = 0; i < n; ++i) {
    i64 rem = i, s = 0;
    for (i32 k = 0; k < nd; ++k) {
      const i64 q = rem / dstride[k];
      rem = rem % dstride[k];
      s = add64(s, mul64(q, stride[dperm[k]]));
    }
    copy.element(s, T, P);
    r_row[i + 1] = T;
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
  const TermCopy copy{Run(wi32, w_ptr),     Run(wi64, w_nidxs),   Run(wf64, w_cof),
                      Run(wi32, w_codeptr), Run(wi32, w_code),    Run(wf64, w_cconst),
                      Run(ri64, r_nidxs),   Run(rf64, r_cof),     Run(ri32, r_codeptr),
                      Run(ri32, r_code),    Run(rf64, r_cconst),  stack::has_programs(program_flag)};
  Run<i32> r_row(ri32, r_ptr);
  Run<i64> r_spx(ri64, r_sp);
  for (i32 i = 0; i < n; ++i) {
    const i64 s = perm[i];
    copy.element(s, T, P);
    r_spx[i] = sp[s];
    r_row[i + 1] = T;
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
      coord[k] = r / stride[k];
      r = r % stride[k];
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
