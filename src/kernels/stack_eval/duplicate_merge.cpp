// Merging duplicate variables within elements: the expression on the W stack
// is rewritten onto the R stack so that each element holds every variable
// once. The terms are visited in the sorted order left by the term ordering
// (equal variables adjacent); each run of equal variables becomes one term
// whose coefficient is the run's sum. With programs the run's programs are
// concatenated and, for two or more, closed by "sum of k values" so that the
// merged program computes the sum; without programs a run whose coefficients
// are all zero is dropped.
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

// Merges duplicate variables within each of nelem elements of the expression
// on the W stack onto the R stack, visiting terms in the sorted order at
// off_order on the X stack; returns the final (P, T).
std::tuple<i32, i32> merge_duplicates(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                      i32 nelem, i32 op_nidxs, i32 T, i32 off_order, i32 op_ptr,
                                      i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64,
                                      Vec<i32> ri32, Vec<i64> ri64, i32 res_flag, i32 res_nidxs, i32 res_ptr,
                                      Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  const bool programs = stack::has_programs(flag);
  const stack::Blocks op =
      stack::blocks_at(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst, programs);
  const stack::Blocks res =
      stack::blocks_at(ri32, ri64, rf64, res_ptr, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst, programs);
  const Run<i32> order(xi32, off_order);
  res.ptr[0] = 0;
  if (stack::has_programs(res_flag)) res.pptr[0] = 0;
  for (i32 e = 0; e < nelem; ++e) {
    const i32 end = op.ptr[e + 1];
    for (i32 s = op.ptr[e]; s < end;) {
      const i64 v = op.nidxs[order[s]];
      f64 sum = 0.0;
      bool nonzero = false;
      i32 k = 0;
      for (; s < end && op.nidxs[order[s]] == v; ++s, ++k) {
        const i32 j = order[s];
        const f64 c = op.cof[j];
        sum += c;
        nonzero |= c != 0.0;  // NaN counts as non-zero
        if (programs) P = program::copy_positions(op.words, op.consts, op.pptr[j], op.pptr[j + 1], res.words,
                                                  res.consts, P);
      }
      if (programs) {
        if (k >= 2) {
          res.words[P] = stack::kSum;
          res.consts[P] = static_cast<f64>(k);
          P = add32(P, 1);
        }
        res.pptr[add32(T, 1)] = P;
      } else if (!nonzero) {
        continue;
      }
      res.nidxs[T] = v;
      res.cof[T] = sum;
      T = add32(T, 1);
    }
    res.ptr[e + 1] = T;
  }
  return {P, T};
}
FRAG_KERNEL(406, "iiiiiiiiiiiiiiiOOOiiiOOOO", merge_duplicates, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

}  // namespace
}  // namespace frag
