// Index arithmetic shared by the shape and index-set families: 32-bit
// row-major strides, linear offsets as sums of index times stride, and
// signed division and remainder that stay defined for every divisor but 0.
#pragma once

#include <cstddef>

#include "module/kernel.hpp"

namespace frag::indexing {

// Row-major strides of n extents in 32 bits: stride[n - 1] = 1, then
// stride[t] = stride[t + 1] * extent[t + 1] for t = n - 2 down to 0.
template <class E, class S>
inline void rowmajor_strides32(const E& extent, const S& stride, i64 n) FRAG_NOEXCEPT {
  if (n < 1) return;
  stride[n - 1] = 1;
  for (i64 t = n - 2; t >= 0; --t) stride[t] = mul32(stride[t + 1], extent[t + 1]);
}

// a + idx[0] * stride[0] + ... + idx[n - 1] * stride[n - 1] in 64 bits.
template <class I, class S>
inline i64 offset64(i64 a, const I& idx, const S& stride, i64 n) FRAG_NOEXCEPT {
  for (i64 k = 0; k < n; ++k) a = add64(a, mul64(static_cast<i64>(idx[k]), static_cast<i64>(stride[k])));
  return a;
}

// Quotient and remainder truncating toward zero. The one quotient that does
// not fit (the most negative value over -1) wraps instead of trapping.
inline i64 quot64(i64 a, i64 b) FRAG_NOEXCEPT { return b == -1 ? sub64(0, a) : idiv(a, b); }
inline i64 rem64(i64 a, i64 b) FRAG_NOEXCEPT { return b == -1 ? 0 : irem(a, b); }

// Row r of a multi-index table seen as a list of indices.
struct TableRow {
  Mat<i32> m;
  std::ptrdiff_t r;
  i32 operator[](std::ptrdiff_t t) const FRAG_NOEXCEPT { return m(r, t); }
};

}  // namespace frag::indexing
