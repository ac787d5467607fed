// Radix passes for transposition: one stable counting-sort pass per axis
// orders a permutation of the stored elements by that axis's digit; run from
// the last key axis to the first, the passes leave the elements in row-major
// order of their new positions. A pass is four steps the host chains (clear
// the bucket counters, count, prefix, distribute); one member runs a whole
// pass on a column of a multi-index table.
#include <cstddef>

#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

// ----------------------------------------------------------- pass steps

// ptr[0 .. extent] = 0; nothing for a negative extent.
void clear_buckets(Vec<i32> ptr, i32 extent) {
  for (i32 d = 0; d <= extent; ++d) ptr[d] = 0;
}

// ptr[digit(k) + 1] counts the elements k < n in storage order.
template <class Digit>
void count_digits(Vec<i32> ptr, i32 n, const Digit& digit) {
  for (i32 k = 0; k < n; ++k) {
    auto& c = ptr[static_cast<std::ptrdiff_t>(digit(k)) + 1];
    c = add32(c, 1);
  }
}

// Running sums over the extent buckets: ptr[d] becomes the number of
// elements whose digit is below d, the first output position of digit d.
void bucket_starts(Vec<i32> ptr, i32 extent) {
  for (i32 d = 0; d < extent; ++d) ptr[d + 1] = add32(ptr[d + 1], ptr[d]);
}

// curperm dealt into tgtperm bucket by bucket, visiting curperm in order so
// that equal digits keep their relative order.
template <class Digit>
void distribute(Vec<i32> curperm, Vec<i32> ptr, i32 n, const Digit& digit, Vec<i32> tgtperm) {
  for (i32 k = 0; k < n; ++k) {
    const i32 e = curperm[k];
    auto& slot = ptr[digit(e)];
    tgtperm[slot] = e;
    slot = add32(slot, 1);
  }
}

// ---------------------------------------- digits of linear positions

// Digit of element e for axis a: (rsp[e] div s[a]) mod rshape[a].
struct PositionDigit {
  Vec<i64> rsp;
  i64 stride, extent;
  PositionDigit(i32 a, Vec<i32> rshape, Vec<i64> rsp_, Vec<i64> s) : rsp(rsp_), stride(s[a]), extent(rshape[a]) {}
  i64 operator()(std::ptrdiff_t e) const FRAG_NOEXCEPT {
    return indexing::rem64(indexing::quot64(rsp[e], stride), extent);
  }
};

// Clears the bucket counters of a radix pass on axis a: ptr[0 .. rshape[a]] =
// 0.
void clear_axis(i32 a, Vec<i32> ptr, Required<Vec<i32>> rshape) { clear_buckets(ptr, rshape[a]); }
FRAG_KERNEL(243, "iOO", clear_axis, "ptr rshape");
FRAG_KERNEL(222, "iOO", clear_axis, "ptr rshape");

// Counting step of a radix pass on axis a: for each of the n stored elements,
// ptr[digit + 1] += 1, the digit being (rsp[e] div s[a]) mod rshape[a].
void count_axis(i32 a, Vec<i32> ptr, i32 n, Vec<i32> rshape, Vec<i64> rsp, Vec<i64> s) {
  if (n <= 0) return;
  count_digits(ptr, n, PositionDigit(a, rshape, rsp, s));
}
FRAG_KERNEL(244, "iOiOOO", count_axis, "ptr rshape rsp s");
FRAG_KERNEL(223, "iOiOOO", count_axis, "ptr rshape rsp s");

// Prefix step of a radix pass on axis a: ptr[d] becomes the first output
// position of digit d, for d = 0 .. rshape[a].
void starts_axis(i32 a, Vec<i32> ptr, Required<Vec<i32>> rshape) { bucket_starts(ptr, rshape[a]); }
FRAG_KERNEL(245, "iOO", starts_axis, "ptr rshape");
FRAG_KERNEL(224, "iOO", starts_axis, "ptr rshape");

// Distribution step of a radix pass on axis a: the n entries of curperm, in
// order, are dealt into tgtperm at the bucket cursors in ptr, so equal digits
// keep their order.
void distribute_axis(Vec<i32> curperm, i32 a, Vec<i32> ptr, i32 n, Vec<i32> rshape, Vec<i64> rsp, Vec<i64> s,
                     Vec<i32> tgtperm) {
  if (n <= 0) return;
  distribute(curperm, ptr, n, PositionDigit(a, rshape, rsp, s), tgtperm);
}
FRAG_KERNEL(246, "OiOiOOOO", distribute_axis, "curperm ptr rshape rsp s tgtperm");
FRAG_KERNEL(225, "OiOiOOOO", distribute_axis, "curperm ptr rshape rsp s tgtperm");

// -------------------------------------------- multi-index table passes

// Pass j sorts by column nd - 1 - j of the table: pass 0 by the last column.
// A pass number outside 0 .. nd - 1 names no column and does nothing.
void table_pass(Vec<i32> curperm, i32 j, Mat<i32> midxs, i32 n, i32 nd, Vec<i32> ptr, Vec<i32> shape,
                Vec<i32> tgtperm) {
  const i32 c = sub32(sub32(nd, 1), j);
  if (c < 0 || c >= nd) return;
  const i32 extent = shape[c];
  const auto digit = [&](std::ptrdiff_t e) { return midxs(e, c); };
  clear_buckets(ptr, extent);
  count_digits(ptr, n, digit);
  bucket_starts(ptr, extent);
  distribute(curperm, ptr, n, digit, tgtperm);
}
FRAG_KERNEL(67, "OiOiiOOO", table_pass, "curperm midxs ptr shape tgtperm");
FRAG_KERNEL(54, "OiOiiOOO", table_pass, "curperm midxs ptr shape tgtperm");

}  // namespace
}  // namespace frag
