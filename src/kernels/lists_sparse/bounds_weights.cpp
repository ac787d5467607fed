// Bounds, weights, sums and products: lower and upper bounds given as dense
// matrices or as (row, column, value) lists sorted by position, weights
// expanded into (alpha, 1 - alpha) pairs, result shapes copied, compared and
// accumulated, and sizes from sums and products of extent lists.
#include <limits>
#include <tuple>

#include "module/kernel.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

// ------------------------------------------------------------ sums, products

// s + every element, 32-bit wrap.
i32 sum32(Vec<i32> v, i32 s) {
  const std::ptrdiff_t n = v.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) s = add32(s, v[k]);
  return s;
}
FRAG_KERNEL(298, "Oi", sum32, "nnzs");
FRAG_KERNEL(279, "Oi", sum32, "dims");

// p times every element, each factor sign-extended, 64-bit products.
i64 product64(Vec<i32> v, i64 p) { return extents::product(p, v, 0, v.count - 1); }
// p times every extent of shape, each factor sign-extended, 64-bit products;
// returns the product.
i64 product64_pv(i64 p, Vec<i32> shape) { return product64(shape, p); }
FRAG_KERNEL(290, "OL", product64, "dim");
FRAG_KERNEL(283, "OL", product64, "dims");
FRAG_KERNEL(282, "LO", product64_pv, "shape");
FRAG_KERNEL(281, "LO", product64_pv, "shape");
FRAG_KERNEL(280, "LO", product64_pv, "shape");
FRAG_KERNEL(278, "LO", product64_pv, "shape");

// ------------------------------------------------------------------ weights

// Each weight alpha becomes the consecutive pair alpha, 1 - alpha.
void weight_pairs(Vec<f64> a, Vec<f64> alpha, i32 n) {
  for (i32 k = 0; k < n; ++k) {
    const f64 w = alpha[k];
    a[2 * static_cast<std::ptrdiff_t>(k)] = w;
    a[2 * static_cast<std::ptrdiff_t>(k) + 1] = 1.0 - w;
  }
}
FRAG_KERNEL(294, "OOi", weight_pairs, "a alpha");
FRAG_KERNEL(292, "OOi", weight_pairs, "a alpha");

// An m x n block of weights, row-major from position p (written only when
// both extents are positive); returns p + m * n, the position after the block.
i64 weight_block(Vec<f64> a, Mat<f64> alphas, i64 p, i32 m, i32 n) {
  if (m > 0 && n > 0)
    for (i32 i = 0; i < m; ++i)
      for (i32 j = 0; j < n; ++j) a[p + static_cast<i64>(i) * n + j] = alphas(i, j);
  return add64(p, static_cast<i64>(m) * n);
}
FRAG_KERNEL(293, "OOLii", weight_block, "a alphas");
FRAG_KERNEL(291, "OOLii", weight_block, "a alphas");

// ------------------------------------------------------------------- shapes

// Copies the first n extents of shapei into rshape.
void copy_shape(i32 n, Vec<i32> rshape, Vec<i32> shapei) {
  for (i32 k = 0; k < n; ++k) rshape[k] = shapei[k];
}
FRAG_KERNEL(295, "iOO", copy_shape, "rshape shapei");

// Clears the flag unless the result shape agrees with the operand shape on
// the first n axes (as many of them as the operand has).
bool same_shape(i32 n, bool flag, Vec<i32> rshape, Vec<i32> shapei) {
  const std::ptrdiff_t m = n < shapei.count ? n : shapei.count;
  for (std::ptrdiff_t k = 0; k < m; ++k)
    if (rshape[k] != shapei[k]) flag = false;
  return flag;
}
FRAG_KERNEL(296, "ipOO", same_shape, "rshape shapei");

// One operand of a concatenation along `axis`, checked against the result
// shape and recorded:
//   reads  shapei (the operand's shape; axes beyond its length count as
//          extent 1, the padding of shorter shapes) and rshape[t] for every
//          t < nd other than the axis (rshape[axis] is never read);
//   writes dimsizes[i] = the operand's extent along the axis;
//   returns (total + that extent, flag), the flag cleared when the operand
//          differs from rshape on any other of the nd axes.
// The host calls it for i = 0, 1, ... with the running total starting at 0
// and the flag true; the final total is the result's extent along the axis.
// An axis at or past nd is a new axis after the last one: the operand's
// extent there is its padding (1, unless shapei is longer), so stacking n
// operands along it totals n, and dimsizes feeds the stacking pass as for any
// other axis. A negative axis records nothing and only compares.
std::tuple<i32, bool> concat_operand(i32 total, bool flag, i32 axis, Vec<i32> dimsizes, i32 i,
                                     i32 nd, Vec<i32> rshape, Vec<i32> shapei) {
  const std::ptrdiff_t have = shapei.count;
  auto extent_at = [&](i32 t) { return t < have ? shapei[t] : 1; };
  for (i32 t = 0; t < nd; ++t)
    if (t != axis && rshape[t] != extent_at(t)) flag = false;
  if (axis >= 0) {
    const i32 extent = extent_at(axis);
    dimsizes[i] = extent;
    total = add32(total, extent);
  }
  return {total, flag};
}
FRAG_KERNEL(297, "ipiOiiOO", concat_operand, "dimsizes rshape shapei");

// ------------------------------------------------------------- bound lists

// Row and column of every entry of msubi/msubj as one row of inst.
void pairs_to_rows(Mat<i32> inst, Vec<i32> msubi, Vec<i32> msubj) {
  for (std::ptrdiff_t k = 0; k < msubi.count; ++k) {
    inst(k, 0) = msubi[k];
    inst(k, 1) = msubj[k];
  }
}
FRAG_KERNEL(289, "OOO", pairs_to_rows, "inst msubi msubj");

// Dense m x n bounds to value vectors from position k, rows outer; returns
// k + m * n, the position after the block.
i32 dense_bounds(i32 m, i32 n, i32 k, Mat<f64> lb, Vec<f64> lval, Mat<f64> ub, Vec<f64> uval) {
  i32 c = k;
  for (i32 i = 0; i < m; ++i)
    for (i32 j = 0; j < n; ++j) {
      lval[c] = lb(i, j);
      uval[c] = ub(i, j);
      c = add32(c, 1);
    }
  return add32(k, mul32(m, n));
}
FRAG_KERNEL(288, "iiiOOOO", dense_bounds, "lb lval ub uval");

// Bound values into a row-major dense array; a later entry at the same
// position wins, untouched positions keep their values.
void densify(i32 ncols, Vec<i32> subi, Vec<i32> subj, Vec<f64> val, Vec<f64> v) {
  const std::ptrdiff_t n = subi.count;
  for (std::ptrdiff_t e = 0; e < n; ++e)
    v[static_cast<std::ptrdiff_t>(subi[e]) * ncols + subj[e]] = val[e];
}
// Scatters upper bound values uval into the row-major dense array v at
// (subi[e], subj[e]) with ncols columns; a later entry at the same position
// wins.
void densify_upper(i32 ncols, Vec<i32> subi, Vec<i32> subj, Vec<f64> uval, Vec<f64> v) {
  densify(ncols, subi, subj, uval, v);
}
// Scatters lower bound values lval into the row-major dense array v at
// (subi[e], subj[e]) with ncols columns; a later entry at the same position
// wins.
void densify_lower(i32 ncols, Vec<f64> lval, Vec<i32> subi, Vec<i32> subj, Vec<f64> v) {
  densify(ncols, subi, subj, lval, v);
}
FRAG_KERNEL(287, "iOOOO", densify_upper, "subi subj uval v");
FRAG_KERNEL(286, "iOOOO", densify_lower, "lval subi subj v");

// The walk over the union of the lower and the upper bound positions, both
// lists sorted by (row, column). `emit(row, col, l, u)` is called once per
// union position in ascending order with the list entries it takes (-1 where
// a list has no entry at that position); it returns false to stop the walk.
template <class Emit>
void walk_union(Vec<i32> lsubi, Vec<i32> lsubj, Vec<i32> usubi, Vec<i32> usubj, Emit emit) {
  const std::ptrdiff_t nl = lsubi.count, nu = usubi.count;
  std::ptrdiff_t i = 0, j = 0;
  while (i < nl && j < nu) {
    const i32 li = lsubi[i], ui = usubi[j];
    const i32 lj = lsubj[i], uj = usubj[j];
    bool go;
    if (li < ui || (li == ui && lj < uj))
      go = emit(li, lj, i++, std::ptrdiff_t{-1});
    else if (ui < li || (ui == li && uj < lj))
      go = emit(ui, uj, std::ptrdiff_t{-1}, j++);
    else
      go = emit(li, lj, i++, j++);
    if (!go) return;
  }
  for (; i < nl; ++i)
    if (!emit(lsubi[i], lsubj[i], i, std::ptrdiff_t{-1})) return;
  for (; j < nu; ++j)
    if (!emit(usubi[j], usubj[j], std::ptrdiff_t{-1}, j)) return;
}

// k plus the number of steps of the union walk: positions that carry both a
// lower and an upper bound are counted once. The walk is the one union_fill
// writes, so the count is the number of rows it fills, whatever the lists
// hold (repeated or unsorted positions included).
i64 union_count(Vec<i32> lsubi, Vec<i32> lsubj, i64 k, Vec<i32> usubi, Vec<i32> usubj) {
  walk_union(lsubi, lsubj, usubi, usubj, [&](i32, i32, std::ptrdiff_t, std::ptrdiff_t) {
    k = add64(k, 1);
    return true;
  });
  return k;
}
FRAG_KERNEL(284, "OOLOO", union_count, "lsubi lsubj usubi usubj");

// The merged bound table over the union that union_count counts, one row per
// step of the same walk (ascending row, then column, for sorted lists), from
// row 0 of inst:
//   inst[c, 0], inst[c, 1]  the position;
//   lbv[c]                  its lower bound, -inf where only an upper bound is given;
//   ubv[c]                  its upper bound, +inf where only a lower bound is given.
// The walk stops when inst is full (the host sizes it with union_count).
void union_fill(Mat<i32> inst, Vec<f64> lbv, Vec<i32> lsubi, Vec<i32> lsubj, Vec<f64> lval,
                Vec<f64> ubv, Vec<i32> usubi, Vec<i32> usubj, Vec<f64> uval) {
  constexpr f64 inf = std::numeric_limits<f64>::infinity();
  const std::ptrdiff_t rows = inst.rows;
  if (rows <= 0) return;
  std::ptrdiff_t c = 0;
  walk_union(lsubi, lsubj, usubi, usubj,
             [&](i32 row, i32 col, std::ptrdiff_t l, std::ptrdiff_t u) {
               inst(c, 0) = row;
               inst(c, 1) = col;
               lbv[c] = l >= 0 ? lval[l] : -inf;
               ubv[c] = u >= 0 ? uval[u] : inf;
               return ++c < rows;
             });
}
FRAG_KERNEL(285, "OOOOOOOOO", union_fill, "inst lbv lsubi lsubj lval ubv usubi usubj uval");

}  // namespace
}  // namespace frag
