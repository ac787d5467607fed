// Checks of a constant sparse matrix before a product with a stacked
// expression: every triplet (msubi[k], msubj[k]) inside m x n, and the
// triplets in strictly ascending row-major order (so no position repeats).
// Flags are accumulated: a problem flag is only ever set, a validity flag
// only ever cleared. Both passes run to the end.
#include <tuple>

#include "module/kernel.hpp"

namespace frag {
namespace {

// Some entry k < count lies outside m x n.
bool any_outside(i32 m, i32 n, i32 count, Vec<i32> msubi, Vec<i32> msubj) FRAG_NOEXCEPT {
  bool out = false;
  for (i32 k = 0; k < count; ++k) {
    const i32 i = msubi[k], j = msubj[k];
    out |= (i < 0) | (i >= m) | (j < 0) | (j >= n);
  }
  return out;
}

// Some consecutive pair among the first count entries is not strictly
// ascending in row-major order.
bool any_unsorted(i32 count, Vec<i32> msubi, Vec<i32> msubj) FRAG_NOEXCEPT {
  bool bad = false;
  for (i32 k = 0; k + 1 < count; ++k) {
    const i32 i0 = msubi[k], i1 = msubi[k + 1];
    bad |= !(i0 < i1 || (i0 == i1 && msubj[k] < msubj[k + 1]));
  }
  return bad;
}

// Sets the flag when the triplets (msubi, msubj) are not in strictly ascending
// row-major order; returns the flag.
bool unsorted(bool flag, Vec<i32> msubi, Vec<i32> msubj) {
  return flag | any_unsorted(msubi.n32(), msubi, msubj);
}
FRAG_KERNEL(497, "pOO", unsorted, "msubi msubj");

// Sets the flag when some triplet (msubi, msubj) lies outside the m x n
// matrix; returns the flag.
bool out_of_range(bool flag, i32 m, i32 n, Vec<i32> msubi, Vec<i32> msubj) {
  return flag | any_outside(m, n, msubi.n32(), msubi, msubj);
}
FRAG_KERNEL(496, "piiOO", out_of_range, "msubi msubj");

// Clears the flag when some triplet lies outside the m x n matrix or the
// triplets are not strictly ascending in row-major order; returns the flag.
bool valid(i32 m, i32 n, Vec<i32> msubi, Vec<i32> msubj, bool flag) {
  const i32 count = msubi.n32();
  const bool outside = any_outside(m, n, count, msubi, msubj);
  const bool bad = any_unsorted(count, msubi, msubj);
  return flag && !outside && !bad;
}
FRAG_KERNEL(495, "iiOOp", valid, "msubi msubj");

// Sets out when one of the first count triplets lies outside the m x n matrix
// and bad when they are not strictly ascending in row-major order; returns
// (out, bad).
std::tuple<bool, bool> both(bool out, bool bad, i32 m, i32 n, i32 count, Vec<i32> msubi, Vec<i32> msubj) {
  out |= any_outside(m, n, count, msubi, msubj);
  bad |= any_unsorted(count, msubi, msubj);
  return {out, bad};
}
FRAG_KERNEL(472, "ppiiiOO", both, "msubi msubj");
FRAG_KERNEL(465, "ppiiiOO", both, "msubi msubj");
FRAG_KERNEL(460, "ppiiiOO", both, "msubi msubj");

// Linear positions: each in [0, L), strictly ascending.
std::tuple<bool, bool> linear(bool out, bool bad, Vec<i64> msp, i64 L) {
  const i32 count = msp.n32();
  for (i32 k = 0; k < count; ++k) out |= (msp[k] < 0) | (msp[k] >= L);
  for (i32 k = 0; k + 1 < count; ++k) bad |= msp[k] >= msp[k + 1];
  return {out, bad};
}
FRAG_KERNEL(466, "ppOL", linear, "msp");

}  // namespace
}  // namespace frag
