// Weighted sums of selected elements: sum over i of vcof[i] times operand
// element vsub[i], appended to the element being built on the R stack (one
// row of a constant sparse matrix times the operand). A dense operand is
// addressed by element index; a sparse operand is matched against its
// ascending sparsity indices by a merge with the ascending selection, and a
// selected index it does not store contributes nothing. No row pointer
// entry is written: the caller closes the element with the returned count.
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

// Calls visit(i, element) for every selected entry i of a dense operand, or
// for every entry matched with a stored element of a sparse one.
template <class Visit>
void for_selected(bool sparse, i32 nstored, Run<i64> sp, Vec<i64> vsub, Visit visit) {
  const i32 N = vsub.n32();
  if (!sparse) {
    for (i32 i = 0; i < N; ++i) visit(i, vsub[i]);
    return;
  }
  i32 i = 0, s = 0;
  while (i < N && s < nstored) {
    const i64 k = sp[s], v = vsub[i];
    if (k < v) {
      ++s;
    } else if (k > v) {
      ++i;
    } else {
      visit(i, s);
      ++i;
      ++s;
    }
  }
}

// Appends the weighted sum of the selected operand elements, vcof[i] times
// element vsub[i], to the element being built on the R stack; returns the
// final (P, T).
std::tuple<i32, i32> selected_sum(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, bool sparse,
                                  i32 T, i32 nstored, i32 op_nidxs, i32 op_ptr, i32 res_pconst, i32 res_pwords,
                                  i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                                  i32 flag, i32 res_nidxs, i32 op_sp, Vec<f64> vcof, Vec<i64> vsub, Vec<f64> wf64,
                                  Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(flag);
  const stack::Blocks op =
      stack::blocks_at(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst, programs);
  const stack::Blocks res =
      stack::blocks_at(ri32, ri64, rf64, 0, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst, programs);
  for_selected(sparse, nstored, Run(wi64, op_sp), vsub, [&](i32 i, i64 e) {
    const f64 w = vcof[i];
    for (i32 j = op.ptr[e], end = op.ptr[e + 1]; j < end; ++j) {
      res.nidxs[T] = op.nidxs[j];
      res.cof[T] = w * op.cof[j];
      if (programs) {
        P = program::append_scaled(op.words, op.consts, op.pptr[j], op.pptr[j + 1], w, res.words, res.consts, P);
        res.pptr[add32(T, 1)] = P;
      }
      T = add32(T, 1);
    }
  });
  return {P, T};
}
FRAG_KERNEL(454, "iiiiipiiiiiiiiOOOiiiOOOOO", selected_sum, "rf64 ri32 ri64 vcof vsub wf64 wi32 wi64");

// T plus the number of terms of the operand elements selected by vsub (for a
// sparse operand, only those it stores); returns it.
i32 selected_terms(bool sparse, i32 nstored, i32 op_ptr, i32 T, i32 op_sp, Vec<i64> vsub, Vec<i32> wi32,
                   Vec<i64> wi64) {
  const Run<i32> ptr(wi32, op_ptr);
  for_selected(sparse, nstored, Run(wi64, op_sp), vsub,
               [&](i32, i64 e) { T = add32(T, sub32(ptr[e + 1], ptr[e])); });
  return T;
}
FRAG_KERNEL(453, "piiiiOOO", selected_terms, "vsub wi32 wi64");

// Only the two ends are checked for range; every consecutive pair for order.
std::tuple<bool, bool> check_selection(bool range, bool order, i64 largest, Vec<i64> vsub3) {
  const i32 N = vsub3.n32();
  if (N > 0 && (vsub3[0] < 0 || vsub3[N - 1] > largest)) range = true;
  for (i32 k = 1; k < N; ++k)
    if (vsub3[k] <= vsub3[k - 1]) order = true;
  return {range, order};
}
FRAG_KERNEL(452, "ppLO", check_selection, "vsub3");

}  // namespace
}  // namespace frag
