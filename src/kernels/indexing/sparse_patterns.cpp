// Sparse patterns and spreading: a sparse object stores some elements of its
// shape, its pattern listing their row-major positions and a parallel list
// what belongs to each. These kernels scatter compact lists into full-size
// arrays through the pattern, fill and copy native index stretches, widen
// and narrow index lists, repeat a pattern along a new first or last axis,
// and test that a pattern or index list is strictly increasing.
#include <cstddef>

#include "module/kernel.hpp"

namespace frag {
namespace {

// ------------------------------------------------------------- spreading

// dst[pattern[k] + offset] = src[k] for k < n; a repeated position keeps the
// last entry.
template <class T>
void scatter(Vec<T> src, Vec<T> dst, Vec<i64> pattern, i64 offset, std::ptrdiff_t n) {
  for (std::ptrdiff_t k = 0; k < n; ++k) dst[add64(pattern[k], offset)] = src[k];
}

// Values spread over the full array; the count is the native index list's.
void spread_values(Vec<i64> basevar_nativeidxs, Vec<f64> res, Vec<i64> sparsity, Vec<f64> spread_res) {
  scatter(res, spread_res, sparsity, 0, basevar_nativeidxs.count);
}
FRAG_KERNEL(169, "OOOO", spread_values, "basevar_nativeidxs res sparsity spread_res");
FRAG_KERNEL(168, "OOOO", spread_values, "basevar_nativeidxs res sparsity spread_res");

// Native indices spread over the full array, as many as the pattern holds.
void spread_by_pattern(Vec<i64> basevar_nativeidxs, Vec<i64> idxs, Vec<i64> sparsity) {
  scatter(basevar_nativeidxs, idxs, sparsity, 0, sparsity.count);
}
FRAG_KERNEL(196, "OOO", spread_by_pattern, "basevar_nativeidxs idxs sparsity");
FRAG_KERNEL(195, "OOO", spread_by_pattern, "basevar_nativeidxs idxs sparsity");

// The same, as many as the native index list holds.
void spread_by_list(Vec<i64> basevar_nativeidxs, Vec<i64> idxs, Vec<i64> sparsity) {
  scatter(basevar_nativeidxs, idxs, sparsity, 0, basevar_nativeidxs.count);
}
FRAG_KERNEL(194, "OOO", spread_by_list, "basevar_nativeidxs idxs sparsity");

// Native indices spread into a stretch of a larger array starting at o.
void spread_at(Vec<i64> basevar_nativeidxs, Vec<i64> nindex, i32 o, Vec<i64> sparsity) {
  scatter(basevar_nativeidxs, nindex, sparsity, o, sparsity.count);
}
FRAG_KERNEL(192, "OOiO", spread_at, "basevar_nativeidxs nindex sparsity");

// nindex[s .. s + n - 1] = 0.
void zero_stretch(i32 n, Vec<i64> nindex, i32 s) {
  for (i32 k = 0; k < n; ++k) nindex[i64{s} + k] = 0;
}
FRAG_KERNEL(191, "iOi", zero_stretch, "nindex");

// The whole native index list copied into nindex from position s.
void copy_stretch(Vec<i64> basevar_nativeidxs, Vec<i64> nindex, i32 s) {
  const std::ptrdiff_t n = basevar_nativeidxs.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) nindex[s + k] = basevar_nativeidxs[k];
}
FRAG_KERNEL(189, "OOi", copy_stretch, "basevar_nativeidxs nindex");

// ------------------------------------------------- widening and narrowing

// 32-bit indices sign-extended into a 64-bit list.
void widen(Vec<i32> nativeidxs, Vec<i64> r) {
  const std::ptrdiff_t n = nativeidxs.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) r[k] = nativeidxs[k];
}
FRAG_KERNEL(203, "OO", widen, "nativeidxs r");
FRAG_KERNEL(202, "OO", widen, "nativeidxs r");
FRAG_KERNEL(197, "OO", widen, "nativeidxs r");

// The low 32 bits of the first n 64-bit indices.
void narrow(i32 n, Vec<i64> varidxs, Vec<i32> varidxs32) {
  for (i32 k = 0; k < n; ++k) varidxs32[k] = low32(varidxs[k]);
}
FRAG_KERNEL(248, "iOO", narrow, "varidxs varidxs32");

// ----------------------------------------------------- repeated patterns

// A new last axis of extent m: source element j at position x becomes the m
// elements x*m .. x*m + m - 1, written from position p on.
i32 repeat_last_axis(i32 p, i32 m, i32 n, Vec<i64> rnativeidxs, Vec<i64> rsp, Vec<i64> tnativeidxs, Vec<i64> tsp) {
  if (n < 1 || m < 1) return p;
  std::ptrdiff_t at = p;
  for (i32 j = 0; j < n; ++j) {
    const i64 x = mul64(tsp[j], m);
    const i64 native = tnativeidxs[j];
    for (i32 q = 0; q < m; ++q, ++at) {
      rsp[at] = add64(x, q);
      rnativeidxs[at] = native;
    }
  }
  return add32(p, mul32(n, m));
}
FRAG_KERNEL(217, "iiiOOOO", repeat_last_axis, "rnativeidxs rsp tnativeidxs tsp");

// A new first axis of extent m: copy q of the pattern is shifted by q times
// the source size S, written from position p on.
i32 repeat_first_axis(i64 S, i32 p, i32 m, i32 n, Vec<i64> rnativeidxs, Vec<i64> rsp, Vec<i64> tnativeidxs,
                      Vec<i64> tsp) {
  if (n < 1 || m < 1) return p;
  std::ptrdiff_t at = p;
  for (i32 q = 0; q < m; ++q) {
    const i64 shift = mul64(S, q);
    for (i32 j = 0; j < n; ++j, ++at) {
      rsp[at] = add64(shift, tsp[j]);
      rnativeidxs[at] = tnativeidxs[j];
    }
  }
  return add32(p, mul32(m, n));
}
FRAG_KERNEL(216, "LiiiOOOO", repeat_first_axis, "rnativeidxs rsp tnativeidxs tsp");

// --------------------------------------------------------- order tests

// f, cleared at the first neighbours a[k] >= a[k + 1] among the first n.
bool increasing(bool f, Vec<i64> a, std::ptrdiff_t n) {
  for (std::ptrdiff_t k = 0; f && k + 1 < n; ++k)
    if (a[k] >= a[k + 1]) f = false;
  return f;
}

// Clears the flag f unless the sparsity pattern sp is strictly increasing over
// its whole length; returns the flag.
bool pattern_increasing(bool f, Vec<i64> sp) { return increasing(f, sp, sp.count); }
FRAG_KERNEL(42, "pO", pattern_increasing, "sp");

// Clears the flag f unless the first n entries of varidxs are strictly
// increasing; returns the flag.
bool list_increasing(bool f, i32 n, Vec<i64> varidxs) { return increasing(f, varidxs, n); }
FRAG_KERNEL(247, "piO", list_increasing, "varidxs");

}  // namespace
}  // namespace frag
