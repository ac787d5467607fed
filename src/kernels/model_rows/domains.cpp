// Domain bounds and cone shapes: bounds given as one scalar, densely or at a
// list of multi-indices scattered into the bound vectors; row-major strides;
// the shape left when a cone's axis (or the two axes of a matrix cone) is
// taken out; a numbering that makes the cone axis the fastest-running one;
// and products of shape extents for sizes and offsets. Bound values are
// copied as given.
#include "kernels/extents.hpp"
#include "kernels/stack_eval/stack_layout.hpp"

namespace frag {
namespace {

using idx = std::ptrdiff_t;

// ------------------------------------------------------------- bounds

// Linear index of row r of the multi-index list: sum of stride[t] * m(r, t)
// over the nd axes, in 32-bit arithmetic (0 when nd < 1).
template <class S>
inline i32 linear_index(const Mat<i32>& m, i32 r, i32 nd, const S& stride) FRAG_NOEXCEPT {
  i32 x = 0;
  for (i32 t = 0; t < nd; ++t) x = add32(x, mul32(stride[t], m(r, t)));
  return x;
}

// One bound vector from a sparse domain; a repeated multi-index keeps the
// value of its last entry.
void scatter_bound(Vec<f64> b, Vec<f64> dombnd, Mat<i32> domsp, i32 nd, Vec<i32> stride) {
  for (i32 r = 0; r < domsp.rows; ++r) b[linear_index(domsp, r, nd, stride)] = dombnd[r];
}
FRAG_KERNEL(100, "OOOiO", scatter_bound, "b dombnd domsp stride");

// Lower and upper bounds of n elements: one scalar pair for all, nothing
// (keep what the caller put there), a dense copy, or sparse entries at the
// multi-indices of domsp within the shape ri32[s .. s+nd-1]. The sparse
// entries number as many as domlb holds.
void scatter_bounds(Vec<f64> bl, Vec<f64> bu, bool keep, Vec<f64> domlb, bool scalar, Mat<i32> domsp,
                    Vec<f64> domub, i32 nd, i32 n, Vec<i32> ri32, i32 s) {
  if (scalar) {
    for (i32 k = 0; k < n; ++k) {
      bl[k] = domlb[0];
      bu[k] = domub[0];
    }
    return;
  }
  if (keep) return;
  if (domsp.base == nullptr) {
    for (i32 k = 0; k < n; ++k) {
      bl[k] = domlb[k];
      bu[k] = domub[k];
    }
    return;
  }
  const i32 entries = domlb.n32();
  if (nd < 1) {
    for (i32 r = 0; r < entries; ++r) {
      bl[0] = domlb[r];
      bu[0] = domub[r];
    }
    return;
  }
  WorkArray<i32> stride(nd);
  stride[nd - 1] = 1;
  extents::rowmajor_strides(stack::Run<i32>(ri32, s), stride, nd);
  for (i32 r = 0; r < entries; ++r) {
    const i32 x = linear_index(domsp, r, nd, stride);
    bl[x] = domlb[r];
    bu[x] = domub[r];
  }
}
FRAG_KERNEL(82, "OOpOpOOiiOi", scatter_bounds, "bl bu domlb domsp domub ri32");

// stride[t] = stride[t + 1] * shape[t + 1] for t = nd-2 down to 0.
void strides(i32 nd, Vec<i32> shape, Vec<i32> stride) { extents::rowmajor_strides(shape, stride, nd); }
FRAG_KERNEL(99, "iOO", strides, "shape stride");

// ------------------------------------------------- shapes without a cone

// dst[t - drop] = shape[t] for t = a+1 .. e-1: the extents after the cone
// axis, moved down over the one (or two) axes taken out.
inline void tail(Vec<i32> dst, i32 a, i32 e, Vec<i32> shape, idx drop) FRAG_NOEXCEPT {
  for (idx t = idx{a} + 1; t < e; ++t) dst[t - drop] = shape[t];
}
inline void head(Vec<i32> dst, i32 n, Vec<i32> shape) FRAG_NOEXCEPT {
  for (i32 t = 0; t < n; ++t) dst[t] = shape[t];
}

// Shape of a constraint without its cone axis a: accshape[t - 1] = shape[t]
// for t = a + 1 .. e - 1.
void acc_tail(Vec<i32> accshape, i32 a, i32 e, Vec<i32> shape) { tail(accshape, a, e, shape, 1); }
// Copies the first n extents of shape into accshape.
void acc_head(Vec<i32> accshape, i32 n, Vec<i32> shape) { head(accshape, n, shape); }
// Shape without two cone axes: coneshape[t - 2] = shape[t] for t = a + 1 .. e
// - 1.
void cone_tail2(i32 a, Vec<i32> coneshape, i32 e, Vec<i32> shape) { tail(coneshape, a, e, shape, 2); }
// Shape without the cone axis a: coneshape[t - 1] = shape[t] for t = a + 1 ..
// e - 1.
void cone_tail1(i32 a, i32 e, Vec<i32> coneshape, Vec<i32> shape) { tail(coneshape, a, e, shape, 1); }
// Copies the first n extents of shape into coneshape.
void cone_head(i32 n, Vec<i32> coneshape, Vec<i32> shape) { head(coneshape, n, shape); }
FRAG_KERNEL(98, "OiiO", acc_tail, "accshape shape");
FRAG_KERNEL(61, "OiiO", acc_tail, "accshape shape");
FRAG_KERNEL(97, "OiO", acc_head, "accshape shape");
FRAG_KERNEL(60, "OiO", acc_head, "accshape shape");
FRAG_KERNEL(92, "iOiO", cone_tail2, "coneshape shape");
FRAG_KERNEL(74, "iOiO", cone_tail2, "coneshape shape");
FRAG_KERNEL(91, "iiOO", cone_tail1, "coneshape shape");
FRAG_KERNEL(73, "iiOO", cone_tail1, "coneshape shape");
FRAG_KERNEL(90, "iOO", cone_head, "coneshape shape");
FRAG_KERNEL(72, "iOO", cone_head, "coneshape shape");

// --------------------------------------------------- cone-fastest order

// The block [d0][c][d2] numbered from s with i0 outermost, then i2, the cone
// index fastest; then g[perm[k]] = ofs[k] for k < n when ofs is given.
// Returns the next number.
i32 cone_fastest(i32 c, i32 d0, i32 d2, i32 n, Vec<f64> g, i32 s, Vec<f64> ofs, Vec<i32> perm) {
  if (d0 >= 1 && d2 >= 1)
    for (i32 i0 = 0; i0 < d0; ++i0)
      for (i32 i2 = 0; i2 < d2; ++i2)
        for (i32 m = 0; m < c; ++m) {
          perm[(idx{c} * i0 + m) * d2 + i2] = s;
          s = add32(s, 1);
        }
  if (!ofs.is_none())
    for (i32 k = 0; k < n; ++k) g[perm[k]] = ofs[k];
  return s;
}
FRAG_KERNEL(96, "iiiiOiOO", cone_fastest, "g ofs perm");

// ------------------------------------------------------------ products

// p times shape[t] for t = a+1 .. e-1; 32-bit wrap, or 64-bit with each
// extent widened.
i32 between_ape(i32 a, i32 p, i32 e, Vec<i32> shape) { return extents::product(p, shape, i64{a} + 1, i64{e} - 1); }
// p times shape[a + 1 .. e - 1], wrapping in 32 bits; returns the product.
i32 between_aep(i32 a, i32 e, i32 p, Vec<i32> shape) { return between_ape(a, p, e, shape); }
// p times shape[a + 1 .. e - 1], wrapping in 32 bits; returns the product.
i32 between_pae(i32 p, i32 a, i32 e, Vec<i32> shape) { return between_ape(a, p, e, shape); }
// p times shape[a + 1 .. e - 1], each extent widened to 64 bits; returns the
// product.
i64 between64_ape(i32 a, i64 p, i32 e, Vec<i32> shape) {
  return extents::product(p, shape, i64{a} + 1, i64{e} - 1);
}
// p times shape[a + 1 .. e - 1], each extent widened to 64 bits; returns the
// product.
i64 between64_aep(i32 a, i32 e, i64 p, Vec<i32> shape) { return between64_ape(a, p, e, shape); }
FRAG_KERNEL(95, "iiiO", between_ape, "shape");
FRAG_KERNEL(58, "iiiO", between_ape, "shape");
FRAG_KERNEL(200, "iiiO", between_ape, "shape");
FRAG_KERNEL(71, "iiiO", between_aep, "shape");
FRAG_KERNEL(70, "iiiO", between_aep, "shape");
FRAG_KERNEL(199, "iiiO", between_aep, "shape");
FRAG_KERNEL(213, "iiiO", between_pae, "shape");
FRAG_KERNEL(161, "iiiO", between_pae, "shape");
FRAG_KERNEL(157, "iiiO", between_pae, "shape");
FRAG_KERNEL(86, "iLiO", between64_ape, "shape");
FRAG_KERNEL(85, "iiLO", between64_aep, "shape");

// p times the first n extents.
i32 leading_np(i32 n, i32 p, Vec<i32> shape) { return extents::product(p, shape, 0, i64{n} - 1); }
// p times the first n extents of shape, wrapping in 32 bits; returns the
// product.
i32 leading_pn(i32 p, i32 n, Vec<i32> shape) { return leading_np(n, p, shape); }
// p times the first n extents of shape, each widened to 64 bits; returns the
// product.
i64 leading64_np(i32 n, i64 p, Vec<i32> shape) { return extents::product(p, shape, 0, i64{n} - 1); }
FRAG_KERNEL(94, "iiO", leading_np, "shape");
FRAG_KERNEL(69, "iiO", leading_np, "shape");
FRAG_KERNEL(57, "iiO", leading_np, "shape");
FRAG_KERNEL(198, "iiO", leading_np, "shape");
FRAG_KERNEL(93, "iiO", leading_pn, "shape");
FRAG_KERNEL(56, "iiO", leading_pn, "shape");
FRAG_KERNEL(212, "iiO", leading_pn, "shape");
FRAG_KERNEL(160, "iiO", leading_pn, "shape");
FRAG_KERNEL(156, "iiO", leading_pn, "shape");
FRAG_KERNEL(147, "iiO", leading_pn, "shape");
FRAG_KERNEL(84, "iLO", leading64_np, "shape");

// p times every extent of the shape array.
i32 all_extents(i32 p, Vec<i32> shape) { return extents::product(p, shape, 0, i64{shape.count} - 1); }
FRAG_KERNEL(190, "iO", all_extents, "shape");
FRAG_KERNEL(63, "iO", all_extents, "shape");
FRAG_KERNEL(50, "iO", all_extents, "shape");
FRAG_KERNEL(0, "iO", all_extents, "shape");

// p times the first min(l, n) extents except axis q.
i32 leading_except(i32 l, i32 q, i32 n, i32 p, Vec<i32> shape) {
  const i32 end = l < n ? l : n;
  for (i32 t = 0; t < end; ++t)
    if (t != q) p = mul32(p, shape[t]);
  return p;
}
FRAG_KERNEL(83, "iiiiO", leading_except, "shape");

}  // namespace
}  // namespace frag
