// Constant expressions on the R stack: element i of a vector of fixed values
// holds one constant term (variable index 0) when its value is not 0.0 and
// no term otherwise (NaN counts as non-zero, -0.0 as zero). Around it: the
// count of terms to reserve and the copies of a constant's shape and
// sparsity block.
#include "kernels/stack_eval/stack_layout.hpp"

namespace frag {
namespace {

using stack::Run;

// count plus the number of entries of bfix that are not 0.0 (NaN counts);
// returns it.
i32 count_nonzero(Vec<f64> bfix, i32 count) {
  for (i32 i = 0, n = bfix.n32(); i < n; ++i)
    if (bfix[i] != 0.0) count = add32(count, 1);
  return count;
}
FRAG_KERNEL(407, "Oi", count_nonzero, "bfix");

// Writes the terms and row pointer entries 1 .. n; entry 0 is the caller's.
i32 constant_expr(Vec<f64> bfix, i32 n, i32 T, i32 off_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                  i32 off_nidxs, i32 off_ptr) {
  const Run<f64> cof(rf64, off_cof);
  const Run<i64> nidxs(ri64, off_nidxs);
  const Run<i32> ptr(ri32, off_ptr);
  for (i32 i = 0; i < n; ++i) {
    const f64 v = bfix[i];
    if (v != 0.0) {
      nidxs[T] = 0;
      cof[T] = v;
      T = add32(T, 1);
    }
    ptr[i + 1] = T;
  }
  return T;
}
FRAG_KERNEL(410, "OiiiOOOii", constant_expr, "bfix rf64 ri32 ri64");

// Copies the n extents of shape onto the R stack at pos.
void copy_shape(i32 n, Vec<i32> ri32, i32 pos, Vec<i32> shape) {
  for (i32 k = 0; k < n; ++k) ri32[pos + k] = shape[k];
}
FRAG_KERNEL(408, "iOiO", copy_shape, "ri32 shape");

// Copies n sparsity indices of a constant onto the R stack at pos when the
// flag is set.
void copy_sparsity(bool flag, i32 n, Vec<i64> ri64, i32 pos, Vec<i64> sparsity) {
  if (!flag) return;
  for (i32 i = 0; i < n; ++i) ri64[pos + i] = sparsity[i];
}
FRAG_KERNEL(409, "piOiO", copy_sparsity, "ri64 sparsity");

// Copies n sparsity indices from the W stack at src to the R stack at dst when
// the flag is set.
void copy_stack_sparsity(bool flag, i32 n, Vec<i64> ri64, i32 dst, i32 src, Vec<i64> wi64) {
  if (!flag) return;
  for (i32 i = 0; i < n; ++i) ri64[dst + i] = wi64[src + i];
}
FRAG_KERNEL(405, "piOiiO", copy_stack_sparsity, "ri64 wi64");
FRAG_KERNEL(391, "piOiiO", copy_stack_sparsity, "ri64 wi64");

}  // namespace
}  // namespace frag
