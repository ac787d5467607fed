// Strides and index arithmetic on row-major numbered shapes (the last axis
// runs fastest): strides from extents, permuted strides, identity
// permutations, copies and sums of small shape lists, linear offsets from
// multi-indices and back, products of extents, bounds checks, and the
// assembly of multi-index tables from per-axis index lists.
#include <cstddef>

#include "kernels/extents.hpp"
#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

using indexing::offset64;
using indexing::TableRow;

// ------------------------------------------------------------------ strides

// 64-bit row-major strides; the last stride is the caller's, so a preset 2
// doubles every stride. Nothing is written below two axes.
void strides64(i32 nd, Vec<i32> shape, Vec<i64> st) { extents::rowmajor_strides(shape, st, nd); }
FRAG_KERNEL(275, "iOO", strides64, "shape st");
FRAG_KERNEL(259, "iOO", strides64, "shape strides");
FRAG_KERNEL(180, "iOO", strides64, "shape strides");
FRAG_KERNEL(175, "iOO", strides64, "shape strides");
FRAG_KERNEL(43, "iOO", strides64, "shape strides");
FRAG_KERNEL(242, "iOO", strides64, "rshape s");
FRAG_KERNEL(220, "iOO", strides64, "rshape s");

// 32-bit row-major strides, the last one set to 1.
void strides32(i32 nd, Vec<i32> shape, Vec<i32> strides) { indexing::rowmajor_strides32(shape, strides, nd); }
FRAG_KERNEL(62, "iOO", strides32, "shape strides");
FRAG_KERNEL(49, "iOO", strides32, "shape strides");

// The extents of a shape read in the order of a permutation.
struct Permuted {
  Vec<i32> shape, perm;
  i32 operator[](std::ptrdiff_t t) const FRAG_NOEXCEPT { return shape[perm[t]]; }
};

// Row-major strides of the permuted shape (shape[perm[0]], ..., shape[perm[nd-1]]).
void permuted_strides(i32 nd, Vec<i32> perm, Vec<i64> pstrides, Vec<i32> shape) {
  extents::rowmajor_strides(Permuted{shape, perm}, pstrides, nd);
}
FRAG_KERNEL(207, "iOOO", permuted_strides, "perm pstrides shape");

// ------------------------------------------------------ small list fills

// perm[k] = k for k < n: the identity permutation that starts a sort.
template <class T>
void identity(Vec<T> perm, i32 n) {
  for (i32 k = 0; k < n; ++k) perm[k] = k;
}
// Writes the identity permutation curperm[k] = k for k < n.
void identity32(Vec<i32> curperm, i32 n) { identity(curperm, n); }
// Writes the identity permutation perm[k] = k for k < n (int64 entries).
void identity64(i32 n, Vec<i64> perm) { identity(perm, n); }
FRAG_KERNEL(66, "Oi", identity32, "curperm");
FRAG_KERNEL(53, "Oi", identity32, "curperm");
FRAG_KERNEL(239, "Oi", identity32, "curperm");
FRAG_KERNEL(221, "Oi", identity32, "curperm");
FRAG_KERNEL(152, "iO", identity64, "perm");

// Unit extents for the axes k0 .. k1 - 1 inserted into a shape.
void unit_extents(i32 k0, i32 k1, Vec<i32> rshape) {
  for (i32 k = k0; k < k1; ++k) rshape[k] = 1;
}
FRAG_KERNEL(232, "iiO", unit_extents, "rshape");
FRAG_KERNEL(215, "iiO", unit_extents, "rshape");

// v plus the first n entries of a count list, 32-bit wrap.
i32 sum32(i32 v, i32 n, Vec<i32> counts) {
  for (i32 k = 0; k < n; ++k) v = add32(v, counts[k]);
  return v;
}
FRAG_KERNEL(235, "iiO", sum32, "sdims");

// v plus the first n entries of numnz, wrapping in 32 bits; returns the sum.
i32 sum_numnz(i32 n, Vec<i32> numnz, i32 v) { return sum32(v, n, numnz); }
FRAG_KERNEL(253, "iOi", sum_numnz, "numnz");
FRAG_KERNEL(229, "iOi", sum_numnz, "numnz");

// The first n extents of src copied into dst.
void copy_shape(i32 n, Vec<i32> dst, Vec<i32> src) { extents::copy_first(dst, src, n); }
FRAG_KERNEL(214, "iOO", copy_shape, "rshape shape");
FRAG_KERNEL(153, "iOO", copy_shape, "rshape shape");
FRAG_KERNEL(149, "iOO", copy_shape, "rshape shape");
FRAG_KERNEL(211, "iOO", copy_shape, "shape vshape");
FRAG_KERNEL(210, "iOO", copy_shape, "shape vshape");

// ---------------------------------------------------------- linear offsets

// a + sum of idxa[k] * strides[k] over k < n, all in 32 bits: each stride
// contributes its low 32 bits.
i32 offset32(Vec<i32> idxa, i32 a, i32 n, Vec<i64> strides) {
  for (i32 k = 0; k < n; ++k) a = add32(a, mul32(idxa[k], low32(strides[k])));
  return a;
}
FRAG_KERNEL(260, "OiiO", offset32, "idxa strides");

// The linear index of row r of a multi-index table, plus a.
i64 table_row_offset(i32 r, i64 a, Mat<i32> midxs, i32 nd, Vec<i64> strides) {
  return offset64(a, TableRow{midxs, r}, strides, nd);
}
FRAG_KERNEL(178, "iLOiO", table_row_offset, "midxs strides");
FRAG_KERNEL(177, "iLOiO", table_row_offset, "midxs strides");

// The linear distance of one step of a strided slice, plus a.
i64 step_offset(Vec<i32> step, i64 a, Vec<i64> strides) { return offset64(a, step, strides, step.count); }
FRAG_KERNEL(182, "OLO", step_offset, "step strides");

// The linear offset of a slice's first element, plus a; step only gives the
// number of axes.
i64 first_offset(Vec<i32> firstidx, i64 a, Vec<i32> step, Vec<i64> strides) {
  return offset64(a, firstidx, strides, step.count);
}
FRAG_KERNEL(181, "OLOO", first_offset, "firstidx step strides");

// Horner's rule over key[1..]: the caller passes key[0] as a, and gets the
// row-major linear index of the key back.
i64 horner(Vec<i32> key, i64 a, Vec<i32> shape) {
  const std::ptrdiff_t m = key.count;
  for (std::ptrdiff_t t = 1; t < m; ++t) a = add64(mul64(a, shape[t]), key[t]);
  return a;
}
FRAG_KERNEL(271, "OLO", horner, "key shape");

// The multi-index of linear index L: k[nd-1] .. k[1] are written, the index
// along axis 0 is the result.
i64 unravel(Vec<i32> k, i32 nd, i64 L, Vec<i32> shape) {
  for (i32 t = nd - 1; t >= 1; --t) {
    const i64 e = shape[t];
    k[t] = static_cast<i32>(indexing::rem64(L, e));
    L = indexing::quot64(L, e);
  }
  return L;
}
FRAG_KERNEL(273, "OiLO", unravel, "k shape");

// ------------------------------------------------------------------ products

// p times every extent of shape, each widened to 64 bits; returns the product.
i64 product64(Vec<i32> shape, i64 p) { return extents::product(p, shape, 0, shape.count - 1); }
FRAG_KERNEL(270, "OL", product64, "shape");
FRAG_KERNEL(251, "OL", product64, "shape");
FRAG_KERNEL(167, "OL", product64, "shape");

// p times every extent of shape, wrapping in 32 bits; returns the product.
i32 product32(Vec<i32> shape, i32 p) { return extents::product(p, shape, 0, shape.count - 1); }
FRAG_KERNEL(264, "Oi", product32, "shape");
FRAG_KERNEL(263, "Oi", product32, "shape");
FRAG_KERNEL(193, "Oi", product32, "shape");

// ------------------------------------------------------------ bounds checks

// f, cleared when some entry midxs[r, t] lies outside 0 .. shape[t] - 1.
bool table_in_bounds(bool f, Mat<i32> midxs, Vec<i32> shape) {
  return f && !extents::flag_outside(midxs, shape, false);
}
FRAG_KERNEL(174, "pOO", table_in_bounds, "midxs shape");

// f, cleared when some entry of idxs lies outside 0 .. shape[0] - 1.
bool list_in_bounds(Vec<i32> idxs, bool f, Vec<i32> shape) {
  const std::ptrdiff_t n = idxs.count;
  if (n <= 0) return f;
  const i32 extent = shape[0];
  for (std::ptrdiff_t k = 0; k < n && f; ++k) {
    const i32 v = idxs[k];
    if (v < 0 || v >= extent) f = false;
  }
  return f;
}
FRAG_KERNEL(179, "OpO", list_in_bounds, "idxs shape");

// ------------------------------------------------------- multi-index tables

// Rows r below the length of i0 take (i0[r], i1[r]).
void table_from_two(Vec<i32> i0, Vec<i32> i1, Mat<i32> midxs) {
  const std::ptrdiff_t n = i0.count;
  for (std::ptrdiff_t r = 0; r < n; ++r) {
    midxs(r, 0) = i0[r];
    midxs(r, 1) = i1[r];
  }
}
FRAG_KERNEL(173, "OOO", table_from_two, "i0 i1 midxs");

// Rows r below the length of i0 take (i0[r], i1[r], i2[r]).
void table_from_three(Vec<i32> i0, Vec<i32> i1, Vec<i32> i2, Mat<i32> midxs) {
  const std::ptrdiff_t n = i0.count;
  for (std::ptrdiff_t r = 0; r < n; ++r) {
    midxs(r, 0) = i0[r];
    midxs(r, 1) = i1[r];
    midxs(r, 2) = i2[r];
  }
}
FRAG_KERNEL(172, "OOOO", table_from_three, "i0 i1 i2 midxs");

// One multi-index written as row 0 of the table.
void table_row_from(Vec<i32> index, Mat<i32> midx) {
  const std::ptrdiff_t n = index.count;
  for (std::ptrdiff_t t = 0; t < n; ++t) midx(0, t) = index[t];
}
FRAG_KERNEL(171, "OO", table_row_from, "index midx");

}  // namespace
}  // namespace frag
