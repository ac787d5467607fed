// Size arithmetic that kernels of every family share: products of extents
// and row-major strides, with the host's widths.
#pragma once

#include "module/kernel.hpp"

namespace frag::extents {

// acc times v[first], v[first + 1], ..., v[last], in increasing index order.
// A 32-bit accumulator wraps in 32 bits; a 64-bit one widens each extent
// before multiplying. Bounds are 64-bit, so an empty range (last < first)
// multiplies nothing whatever the host's counts were.
template <class Acc, class V>
inline Acc product(Acc acc, const V& v, i64 first, i64 last) FRAG_NOEXCEPT {
  for (i64 k = first; k <= last; ++k) {
    if constexpr (sizeof(Acc) == 4)
      acc = mul32(acc, v[k]);
    else
      acc = mul64(acc, static_cast<i64>(v[k]));
  }
  return acc;
}

// Row-major strides of n extents in 64 bits: stride[k] = extent[k + 1] *
// stride[k + 1] for k = n - 2 down to 0. stride[n - 1] is the caller's
// (normally 1); nothing is written for n below 2.
template <class E, class S>
inline void rowmajor_strides(const E& extent, const S& stride, i64 n) FRAG_NOEXCEPT {
  for (i64 k = n - 2; k >= 0; --k) stride[k] = mul64(static_cast<i64>(extent[k + 1]), stride[k + 1]);
}

// flag, set when some entry m(i, j) lies outside 0 .. extent[j] - 1.
template <class E>
inline bool flag_outside(const Mat<i32>& m, const E& extent, bool flag) FRAG_NOEXCEPT {
  for (i32 i = 0; i < m.rows; ++i)
    for (i32 j = 0; j < m.cols; ++j) {
      const i32 v = m(i, j);
      if (v < 0 || v >= extent[j]) flag = true;
    }
  return flag;
}

// The first n entries of src copied into dst (shapes and extent runs).
template <class D, class S>
inline void copy_first(const D& dst, const S& src, i64 n) FRAG_NOEXCEPT {
  for (i64 k = 0; k < n; ++k) dst[k] = src[k];
}

}  // namespace frag::extents
