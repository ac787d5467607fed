// Box slices and strided picks of native index lists: the list of a slice is
// the sliced object's list read at the positions of the box first[t] <= i[t]
// < last[t], in row-major order of the box. Also the box size, picks at a
// constant stride, products of part of a result shape and the extent of a
// concatenation axis.
#include <cstddef>

#include "kernels/extents.hpp"
#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

// The box slice of a row-major list: n entries of src read at the box's
// positions, odometer fashion, into dst.
template <class T>
void box_slice(Vec<T> src, Vec<i32> first, Vec<i32> last, i32 nd, Vec<i32> shape, Vec<T> dst, i32 n) {
  // Strides, counters and per-level base positions; all three are taken
  // before anything is written, so a failed allocation leaves dst untouched.
  WorkArray<i32> stride(nd), ctr(nd), pos(nd);
  if (nd < 1) {
    // A shape without axes has its one element at position 0.
    if (n >= 1) dst[0] = src[0];
    return;
  }
  indexing::rowmajor_strides32(shape, stride, nd);
  i32 o = 0;
  for (i32 t = 0; t < nd; ++t) o = add32(o, mul32(first[t], stride[t]));
  for (i32 t = 0; t < nd; ++t) {
    ctr[t] = first[t];
    pos[t] = o;
  }
  const i32 inner = nd - 1;
  for (i32 k = 0; k < n; ++k) {
    dst[k] = src[pos[inner]];
    ctr[inner] = add32(ctr[inner], 1);
    pos[inner] = add32(pos[inner], stride[inner]);
    if (ctr[inner] < last[inner]) continue;
    // Carry into the outer axes, then restart every deeper level from the
    // position the carried level reached.
    i32 t = inner;
    while (t > 0 && ctr[t] >= last[t]) {
      ctr[t] = first[t];
      --t;
      ctr[t] = add32(ctr[t], 1);
      pos[t] = add32(pos[t], stride[t]);
    }
    for (i32 u = t + 1; u < nd; ++u) pos[u] = pos[t];
  }
}
// Box slice of a 64-bit native index list: the n entries of basevar_nativeidxs
// at the positions of the box first[t] <= i[t] < last[t] of the nd-axis shape,
// in row-major order of the box, into sliceidxs.
void box_slice64(Vec<i64> basevar_nativeidxs, Vec<i32> first, Vec<i32> last, i32 nd, Vec<i32> shape,
                 Vec<i64> sliceidxs, i32 n) {
  box_slice(basevar_nativeidxs, first, last, nd, shape, sliceidxs, n);
}
// Box slice of a 32-bit native index list: the n entries of con_nativeidxs at
// the positions of the box firsta[t] <= i[t] < lasta[t] of the nd-axis shape,
// in row-major order of the box, into sliceidxs.
void box_slice32(Vec<i32> con_nativeidxs, Vec<i32> firsta, Vec<i32> lasta, i32 nd, Vec<i32> shape,
                 Vec<i32> sliceidxs, i32 n) {
  box_slice(con_nativeidxs, firsta, lasta, nd, shape, sliceidxs, n);
}
FRAG_KERNEL(187, "OOOiOOi", box_slice64, "basevar_nativeidxs first last shape sliceidxs");
FRAG_KERNEL(262, "OOOiOOi", box_slice32, "con_nativeidxs firsta lasta shape sliceidxs");

// The box's extents last[t] - first[t], 32-bit.
struct BoxExtents {
  Vec<i32> first, last;
  i32 operator[](std::ptrdiff_t t) const FRAG_NOEXCEPT { return sub32(last[t], first[t]); }
};

// p times the number of elements of the box.
i32 box_size(Vec<i32> first, Vec<i32> last, i32 nd, i32 p) {
  return extents::product(p, BoxExtents{first, last}, 0, i64{nd} - 1);
}
FRAG_KERNEL(184, "OOii", box_size, "first last");
FRAG_KERNEL(261, "OOii", box_size, "firsta lasta");

// residxs[k] = basevar_nativeidxs[s + k * d] for k < n; d may be 0 or negative.
void strided_pick(Vec<i64> basevar_nativeidxs, i32 n, Vec<i64> residxs, i64 s, i64 d) {
  i64 at = s;
  for (i32 k = 0; k < n; ++k, at = add64(at, d)) residxs[k] = basevar_nativeidxs[at];
}
FRAG_KERNEL(183, "OiOLL", strided_pick, "basevar_nativeidxs residxs");

// p times the extents of the axes strictly between a and e.
i32 extents_between(i32 a, i32 p, i32 e, Vec<i32> resshape) {
  return extents::product(p, resshape, i64{a} + 1, i64{e} - 1);
}
FRAG_KERNEL(257, "iiiO", extents_between, "resshape");

// p times the extents of the first n axes.
i32 extents_head(i32 p, i32 n, Vec<i32> resshape) { return extents::product(p, resshape, 0, i64{n} - 1); }
FRAG_KERNEL(256, "iiO", extents_head, "resshape");

// The concatenation axis j grows by the extent of every operand after the
// first; resshape already holds the first operand's shape.
void concat_extent(i32 j, i32 m, Vec<i32> resshape, Mat<i32> shape) {
  i32 e = resshape[j];
  for (i32 r = 1; r < m; ++r) e = add32(e, shape(r, j));
  resshape[j] = e;
}
FRAG_KERNEL(255, "iiOO", concat_extent, "resshape shape");

}  // namespace
}  // namespace frag
