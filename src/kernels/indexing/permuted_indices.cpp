// Permuted and transposed index lists. A transposition gives new axis t the
// extent shape[perm[t]]; its row-major strides pstrides (the permuted
// strides kernel) place every element of the old shape in the new layout.
// These kernels list those positions, carry a dense native index list over
// to the new layout, swap two axes of a five-factor record without scratch,
// and reorder compact lists by a sort permutation.
#include <cstddef>

#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

// --------------------------------------------- general axis permutations

// Visits the first n elements of shape in row-major order, handing visit the
// element's number k and its position in the permuted layout. Old axis
// perm[t] moves the position by pstrides[t]; an odometer over the old axes
// keeps the position current. Both scratch tables are taken before anything
// is written, so a failed allocation leaves the caller's arrays untouched.
// With n <= 0 nothing is read (perm, pstrides and shape may be None) and
// nothing is allocated.
template <class Visit>
void walk_permuted(i32 nd, i32 n, Vec<i32> perm, Vec<i64> pstrides, Vec<i32> shape, Visit visit) {
  if (n < 1) return;
  WorkArray<i64> step(nd);
  WorkArray<i32> ctr(nd);
  // An entry of perm outside 0 .. nd-1 is no axis; it must not reach past
  // the scratch table.
  for (i32 t = 0; t < nd; ++t)
    if (perm[t] >= 0 && perm[t] < nd) step[perm[t]] = pstrides[t];
  i64 pos = 0;
  for (i32 k = 0; k < n; ++k) {
    visit(k, pos);
    for (i32 t = nd - 1; t >= 0; --t) {
      ctr[t] = add32(ctr[t], 1);
      pos = add64(pos, step[t]);
      if (ctr[t] < shape[t]) break;
      // This axis wraps to 0; the next outer one advances.
      pos = sub64(pos, mul64(step[t], shape[t]));
      ctr[t] = 0;
    }
  }
}

// Positions of the elements of a dense shape after its axes are permuted.
// Reads the first nd entries of perm (new axis t is old axis perm[t]),
// pstrides (row-major strides of the permuted shape) and shape; writes
// ressp[k] = the position in the permuted layout of old element k, for the
// n first elements k in row-major order of shape (n is normally the number
// of elements of shape). nd: number of axes; n: element count.
void permuted_positions(i32 nd, i32 n, Vec<i32> perm, Vec<i64> pstrides, Vec<i64> ressp, Vec<i32> shape) {
  walk_permuted(nd, n, perm, pstrides, shape, [&](i32 k, i64 pos) { ressp[k] = pos; });
}
FRAG_KERNEL(209, "iiOOOO", permuted_positions, "perm pstrides ressp shape");

// The native index list of a dense object carried over to its transposed
// layout. Reads nativeidxs (row-major in shape), perm, pstrides and shape as
// the positions kernel does; writes residxs[position of k] = nativeidxs[k]
// for the n first elements k, so residxs lists the transposed object's
// native indices in its own row-major order. nd: number of axes; n: element
// count (normally all elements).
void permute_dense_list(Vec<i64> nativeidxs, i32 nd, i32 n, Vec<i32> perm, Vec<i64> pstrides, Vec<i64> residxs,
                        Vec<i32> shape) {
  walk_permuted(nd, n, perm, pstrides, shape, [&](i32 k, i64 pos) { residxs[pos] = nativeidxs[k]; });
}
FRAG_KERNEL(208, "OiiOOOO", permute_dense_list, "nativeidxs perm pstrides residxs shape");

// ------------------------------------------- swap of two record factors

// The list of an object seen as five factors [d0][d1][d2][d3][d4] rewritten
// in the order [d0][d3][d2][d1][d4]: factors 1 and 3 trade places. The
// output is written consecutively from p; the result is the final p.
template <class T>
i32 swap_factors(Vec<T> src, i32 d0, i32 d1, i32 d2, i32 d3, i32 d4, i32 p, Vec<T> dst) {
  if (d0 < 1 || d1 < 1 || d2 < 1 || d3 < 1 || d4 < 1) return p;
  const i64 s3 = d4, s2 = mul64(d3, s3), s1 = mul64(d2, s2), s0 = mul64(d1, s1);
  std::ptrdiff_t at = p;
  for (i64 x0 = 0; x0 < d0; ++x0)
    for (i64 b = 0; b < d3; ++b)
      for (i64 m = 0; m < d2; ++m)
        for (i64 a = 0; a < d1; ++a) {
          const i64 base = x0 * s0 + a * s1 + m * s2 + b * s3;
          for (i64 y = 0; y < d4; ++y) dst[at++] = src[base + y];
        }
  return low32(at);
}

// Swap of two axes of a dense native index list. The list basevar_nativeidxs
// is row-major in the five-factor record (d0 axes before the first axis, d1
// its extent, d2 the axes between, d3 the second axis's extent, d4 the axes
// after); nidxs[p ..] receives the list of the object with the two axes
// exchanged, in its row-major order. Returns p plus d0*d1*d2*d3*d4; nothing
// is written when a factor is below 1.
i32 swap_axes_list(Vec<i64> basevar_nativeidxs, i32 d0, i32 d1, i32 d2, i32 d3, i32 d4, i32 p, Vec<i64> nidxs) {
  return swap_factors(basevar_nativeidxs, d0, d1, d2, d3, d4, p, nidxs);
}
FRAG_KERNEL(159, "OiiiiiiO", swap_axes_list, "basevar_nativeidxs nidxs");

// Constraint native indices of a [d0][c][d2] block listed cone-fastest.
// Reads nativeidxs[(c*i0 + m)*d2 + i2]; writes permidxs[s], s + 1, ... in the
// order i0 outermost, then i2, the cone index m fastest (the block as
// [d0][d2][c]). c: cone size; d0, d2: outer and inner extents; s: first
// output position. Returns s plus d0*c*d2.
i32 cone_fastest_list(i32 c, i32 d0, i32 d2, Vec<i32> nativeidxs, i32 s, Vec<i32> permidxs) {
  return swap_factors(nativeidxs, d0, c, 1, d2, 1, s, permidxs);
}
FRAG_KERNEL(59, "iiiOiO", cone_fastest_list, "nativeidxs permidxs");

// ------------------------------------------------- sorted reorderings

// dst[k] = src[perm[k]] for k < n.
void gather(i32 n, Vec<i64> src, Vec<i64> perm, Vec<i64> dst) {
  for (i32 k = 0; k < n; ++k) dst[k] = src[perm[k]];
}

// A sparsity pattern put in the order of a sort permutation: rsp[k] =
// sp[perm[k]] for k < n (n: number of stored elements).
void reorder_pattern(i32 n, Vec<i64> perm, Vec<i64> rsp, Vec<i64> sp) { gather(n, sp, perm, rsp); }
FRAG_KERNEL(166, "iOOO", reorder_pattern, "perm rsp sp");

// A native index list put in the order of a sort permutation: rnidxs[k] =
// nidxs[perm[k]] for k < n (n: number of stored elements).
void reorder_list(i32 n, Vec<i64> nidxs, Vec<i64> perm, Vec<i64> rnidxs) { gather(n, nidxs, perm, rnidxs); }
FRAG_KERNEL(165, "iOOO", reorder_list, "nidxs perm rnidxs");

}  // namespace
}  // namespace frag
