// Shapes and reshaping: multi-indices of a linear index, shapes with one
// inferred extent, squeezed and expanded shapes, padded rows of shape tables,
// the concatenated shape of several operands, the five-entry axis split
// records of a shape, the extents before and after an axis, and running
// maxima of extents and dimension counts.
#include <cstddef>

#include "kernels/extents.hpp"
#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

// --------------------------------------------------- linear <-> multi-index

// The full multi-index of a linear index: res[t] for every axis of shape.
// Reads shape (its length is the number of axes) and L, the row-major linear
// index; writes res[nd-1] .. res[1] as remainders by the extents, then
// res[0] = what remains of L (the index along axis 0, not reduced). Nothing
// is written for a shape without axes, nor for one with a zero extent after
// axis 0 (a shape without elements has no multi-index to give).
void unravel_all(i64 L, Vec<i32> res, Vec<i32> shape) {
  const std::ptrdiff_t nd = shape.count;
  if (nd < 1) return;
  for (std::ptrdiff_t t = 1; t < nd; ++t)
    if (shape[t] == 0) return;
  for (std::ptrdiff_t t = nd - 1; t >= 1; --t) {
    const i64 e = shape[t];
    res[t] = static_cast<i32>(indexing::rem64(L, e));
    L = indexing::quot64(L, e);
  }
  res[0] = static_cast<i32>(L);
}
FRAG_KERNEL(274, "LOO", unravel_all, "res shape");

// The target shape of a reshape of n elements, one extent left to infer.
// Reads shape (the requested extents, at most one of them negative) and n,
// the number of elements being reshaped; writes dest[k] = shape[k] for every
// k, the negative entry replaced by n divided by the product of the others
// (64-bit; 0 when that product is 0, which no element count divides).
void infer_extent(Vec<i32> dest, i64 n, Vec<i32> shape) {
  const std::ptrdiff_t nd = shape.count;
  i64 known = 1;
  for (std::ptrdiff_t k = 0; k < nd; ++k)
    if (shape[k] >= 0) known = mul64(known, shape[k]);
  for (std::ptrdiff_t k = 0; k < nd; ++k)
    dest[k] = shape[k] >= 0 ? shape[k] : (known == 0 ? 0 : static_cast<i32>(indexing::quot64(n, known)));
}
FRAG_KERNEL(272, "OLO", infer_extent, "dest shape");

// ----------------------------------------------------- squeeze and expand

// The shape without its unit axes. Reads every entry of sh; writes the
// entries other than 1 to shape[0], shape[1], ... in order (the new number
// of axes is the number of entries written; the caller sizes shape by it).
void squeeze_all(Vec<i32> sh, Vec<i32> shape) {
  const std::ptrdiff_t n = sh.count;
  std::ptrdiff_t at = 0;
  for (std::ptrdiff_t k = 0; k < n; ++k)
    if (sh[k] != 1) shape[at++] = sh[k];
}
FRAG_KERNEL(227, "OO", squeeze_all, "sh shape");

// The shape without axis a (a unit axis being squeezed). Reads sh (its
// length is the number of axes) and a; writes shape[k] = sh[k] for k < a and
// shape[k] = sh[k + 1] for a <= k < len(sh) - 1.
void squeeze_axis(i32 a, Vec<i32> sh, Vec<i32> shape) {
  const std::ptrdiff_t n = sh.count;
  for (std::ptrdiff_t k = 0; k + 1 < n; ++k) shape[k] = sh[k < a ? k : k + 1];
}
FRAG_KERNEL(228, "iOO", squeeze_axis, "sh shape");

// The shape of the first operand with a unit axis inserted at a. Reads
// shape0 (its length is the number of axes) and a in 0 .. len(shape0);
// writes rshape[k] = shape0[k] for k < a, rshape[a] = 1 and rshape[k + 1] =
// shape0[k] for a <= k < len(shape0).
void expand_axis(i32 a, Vec<i32> rshape, Vec<i32> shape0) {
  const std::ptrdiff_t n = shape0.count;
  for (std::ptrdiff_t k = n - 1; k >= a; --k) rshape[k + 1] = shape0[k];
  rshape[a] = 1;
  for (std::ptrdiff_t k = 0; k < a; ++k) rshape[k] = shape0[k];
}
FRAG_KERNEL(231, "iOO", expand_axis, "rshape shape0");

// ------------------------------------------------------ tables of shapes

// Row i of a shape table takes shpi padded with unit extents. Reads shpi
// (its length m) and the table's column count d; writes shape[i, k] =
// shpi[k] for k < min(m, d) and shape[i, k] = 1 for m <= k < d.
void table_row_padded(i32 i, Mat<i32> shape, Vec<i32> shpi) {
  const std::ptrdiff_t m = shpi.count;
  for (std::ptrdiff_t k = 0; k < shape.cols; ++k) shape(i, k) = k < m ? shpi[k] : 1;
}
FRAG_KERNEL(254, "iOO", table_row_padded, "shape shpi");

// The unit tail of row i of a shape table, for an operand of n axes: writes
// shape[i, k] = 1 for n <= k < the table's column count; the first n
// entries of the row keep what the caller wrote there.
void table_row_units(i32 i, i32 n, Mat<i32> shape) {
  for (i64 k = n < 0 ? 0 : n; k < shape.cols; ++k) shape(i, k) = 1;
}
FRAG_KERNEL(252, "iiO", table_row_units, "shape");

// Extent k of an operand shape padded with unit extents to any length.
inline i32 padded(const Vec<i32>& s, i64 k) FRAG_NOEXCEPT { return k < s.count ? s[k] : 1; }

// The shape of the concatenation along axis dim of the operands of shapes,
// each padded with unit extents to nd axes. Reads the operand shapes (None
// entries are no operands); writes rshape[t] for t < nd: the first operand's
// padded extent, except rshape[dim] = the sum of every operand's padded
// extent along dim (32-bit). Nothing is written without operands.
void concat_shapes(i32 dim, i32 nd, Vec<i32> rshape, ArrayList shapes) {
  std::ptrdiff_t first = 0;
  while (first < shapes.count && shapes[first].is_none()) ++first;
  if (first == shapes.count) return;
  for (i32 t = 0; t < nd; ++t) rshape[t] = padded(shapes[first], t);
  i32 total = 0;
  for (std::ptrdiff_t r = first; r < shapes.count; ++r)
    if (!shapes[r].is_none()) total = add32(total, padded(shapes[r], dim));
  rshape[dim] = total;
}
FRAG_KERNEL(233, "iiOO", concat_shapes, "rshape shapes");

// ------------------------------------------------------ axis split records

// The extents of a shape grouped around the axes a < b into the five-entry
// record (before a, a, between, b, after b), 32-bit products.
void split_record(Vec<i32> dim, Vec<i32> shape, i64 a, i64 b, i64 nd) {
  dim[0] = extents::product(i32{1}, shape, 0, a - 1);
  dim[1] = shape[a];
  dim[2] = extents::product(i32{1}, shape, a + 1, b - 1);
  dim[3] = b < nd ? shape[b] : 1;
  dim[4] = extents::product(i32{1}, shape, b + 1, nd - 1);
}

// The axis split record of two axes a < b of shape. Reads shape (its length
// is the number of axes); writes dim = (product of the extents before a,
// shape[a], product of the extents between a and b, shape[b], product of the
// extents after b).
void pair_record(i32 a, Vec<i32> dim, i32 b, Vec<i32> shape) { split_record(dim, shape, a, b, shape.count); }
FRAG_KERNEL(267, "iOiO", pair_record, "dim shape");

// The axis split record of one axis a among the first nd axes of shape:
// dim = (product before a, shape[a], product of the axes a+1 .. nd-1, 1, 1).
void axis_record(i32 a, i32 nd, Vec<i32> dim, Vec<i32> shape) { split_record(dim, shape, a, nd, nd); }
FRAG_KERNEL(266, "iiOO", axis_record, "dim shape");

// The axis split record of the adjacent axes a and a + 1 (a matrix along
// two neighbouring axes): as the pair record with b = a + 1, so dim[2] = 1.
void adjacent_record(i32 a, Vec<i32> dim, Vec<i32> shape) { split_record(dim, shape, a, i64{a} + 1, shape.count); }
FRAG_KERNEL(265, "iOO", adjacent_record, "dim shape");

// ------------------------------------------------------- sizes and maxima

// p times the product of the extents of shape0 before axis a (the number of
// outer blocks of a stack along a), 32-bit.
i32 extents_before(i32 a, i32 p, Vec<i32> shape0) { return extents::product(p, shape0, 0, i64{a} - 1); }
FRAG_KERNEL(236, "iiO", extents_before, "shape0");

// p times the product of the extents of shape0 after axis a, up to its last
// axis (the size of the inner block of a stack along a), 32-bit.
i32 extents_after(i32 a, i32 p, Vec<i32> shape0) { return extents::product(p, shape0, i64{a} + 1, shape0.count - 1); }
FRAG_KERNEL(234, "iiO", extents_after, "shape0");

// The larger of the running maximum v and list[0] .. list[n-1].
i32 running_max(i32 v, i32 n, Vec<i32> list) {
  for (i32 k = 0; k < n; ++k)
    if (list[k] > v) v = list[k];
  return v;
}

// The largest of v and the first n extents of rshape: the bucket count that
// the radix passes over those axes need.
i32 largest_extent(i32 v, i32 n, Vec<i32> rshape) { return running_max(v, n, rshape); }
FRAG_KERNEL(241, "iiO", largest_extent, "rshape");
FRAG_KERNEL(219, "iiO", largest_extent, "rshape");

// The largest of v and the dimension counts nds[0] .. nds[n-1]: the number
// of axes that operands are padded to.
i32 largest_nd(i32 n, Vec<i32> nds, i32 v) { return running_max(v, n, nds); }
FRAG_KERNEL(230, "iOi", largest_nd, "nds");

}  // namespace
}  // namespace frag
