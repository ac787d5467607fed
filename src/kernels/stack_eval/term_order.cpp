// Order of every element's terms by variable index, without moving a term:
// for element e the order entries at its term positions ptr[e] .. ptr[e+1]-1
// list those same positions sorted by variable index, equal indices in
// ascending position (stable). The duplicate merge reads this order.
#include "kernels/stack_eval/stack_layout.hpp"

namespace frag {
namespace {

using stack::Run;

// Bottom-up merge passes over n entries of a and b (runs of width 1, 2, 4,
// ...), reading from a first and alternating; key(x) is the sort key of entry
// value x. The right run's entry is taken only on a strictly smaller key.
// Returns true when the sorted entries ended in b.
template <class A, class B, class Key>
bool merge_passes(const A& a, const B& b, i32 n, Key key) FRAG_NOEXCEPT {
  bool in_b = false;
  for (i64 width = 1; width < n; width *= 2) {
    auto merge = [&](const auto& src, const auto& dst) {
      for (i64 lo = 0; lo < n; lo += 2 * width) {
        const i64 mid = lo + width < n ? lo + width : n;
        const i64 hi = lo + 2 * width < n ? lo + 2 * width : n;
        i64 l = lo, r = mid, o = lo;
        while (l < mid && r < hi) dst[o++] = key(src[r]) < key(src[l]) ? src[r++] : src[l++];
        while (l < mid) dst[o++] = src[l++];
        while (r < hi) dst[o++] = src[r++];
      }
    };
    if (in_b)
      merge(b, a);
    else
      merge(a, b);
    in_b = !in_b;
  }
  return in_b;
}

// Counting sort, merge sort or the two short cases per element; the order
// goes to xi32, the scratch block (twice the longest element, or its key
// range plus 2) is xi32 as well.
void order_terms_x(i32 nelem, i32 off_nidxs, i32 off_order, i32 off_ptr, Vec<i32> wi32, Vec<i64> wi64,
                   i32 off_scratch, Vec<i32> xi32) {
  const Run<i32> ptr(wi32, off_ptr), order(xi32, off_order), scratch(xi32, off_scratch);
  const Run<i64> nidxs(wi64, off_nidxs);
  for (i32 e = 0; e < nelem; ++e) {
    const i32 b = ptr[e];
    const i32 n = sub32(ptr[e + 1], b);
    if (n <= 0) continue;
    if (n == 1) {
      order[b] = b;
      continue;
    }
    if (n == 2) {
      const bool keep = nidxs[b] <= nidxs[b + 1];
      order[b] = keep ? b : b + 1;
      order[b + 1] = keep ? b + 1 : b;
      continue;
    }
    i64 lo = nidxs[b], hi = lo;
    for (i32 k = 1; k < n; ++k) {
      const i64 v = nidxs[b + k];
      lo = v < lo ? v : lo;
      hi = v > hi ? v : hi;
    }
    if (hi - lo < n) {
      const i32 range = static_cast<i32>(hi - lo);
      for (i32 c = 0; c < range + 2; ++c) scratch[c] = 0;
      for (i32 k = 0; k < n; ++k) {
        const std::ptrdiff_t c = nidxs[b + k] - lo + 1;
        scratch[c] = scratch[c] + 1;
      }
      for (i32 c = 0; c < range + 1; ++c) scratch[c + 1] = scratch[c + 1] + scratch[c];
      for (i32 p = b; p < b + n; ++p) {
        const std::ptrdiff_t c = nidxs[p] - lo;
        order[b + scratch[c]] = p;
        scratch[c] = scratch[c] + 1;
      }
    } else {
      const Run<i32> left(xi32, off_scratch), right(xi32, static_cast<std::ptrdiff_t>(off_scratch) + n);
      for (i32 k = 0; k < n; ++k) left[k] = k;
      const bool in_right = merge_passes(left, right, n, [&](i32 k) { return nidxs[b + k]; });
      const Run<i32>& sorted = in_right ? right : left;
      for (i32 k = 0; k < n; ++k) order[b + k] = b + sorted[k];
    }
  }
}
FRAG_KERNEL(398, "iiiiOOiO", order_terms_x, "wi32 wi64 xi32");

// Identity order for every position, then merge passes per element between
// the order block and the scratch block at the same positions of wi32.
void order_terms_w(i32 nelem, i32 off_nidxs, i32 count, i32 off_order, i32 off_scratch, i32 off_ptr,
                   Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> ptr(wi32, off_ptr);
  const Run<i64> nidxs(wi64, off_nidxs);
  {
    const Run<i32> order(wi32, off_order);
    for (i32 p = 0; p < count; ++p) order[p] = p;
  }
  for (i32 e = 0; e < nelem; ++e) {
    const i32 b = ptr[e];
    const i32 n = sub32(ptr[e + 1], b);
    if (n < 2) continue;
    const Run<i32> order(wi32, static_cast<std::ptrdiff_t>(off_order) + b);
    const Run<i32> scratch(wi32, static_cast<std::ptrdiff_t>(off_scratch) + b);
    if (merge_passes(order, scratch, n, [&](i32 p) { return nidxs[p]; }))
      for (i32 k = 0; k < n; ++k) order[k] = scratch[k];
  }
}
FRAG_KERNEL(399, "iiiiiiOO", order_terms_w, "wi32 wi64");

}  // namespace
}  // namespace frag
