// Picks and slices of native index lists. A dense object keeps one native
// index per element in row-major order; a sparse one keeps them for its
// stored elements only, in parallel with its pattern (ascending row-major
// positions), the reserved index 0 standing for an element not stored.
// These kernels read such lists at strided two-axis slices, at one index of
// an axis, at the rows of a multi-index table and at arbitrary positions;
// slice sparse patterns (count and fill passes); and lay a variable out as
// a stacked expression on the R stack.
#include <cstddef>

#include "kernels/extents.hpp"
#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

using indexing::quot64;
using indexing::rem64;

// ---------------------------------------------------------- dense picks

// Number of values in first, first + step, ... short of last (a Python
// range); 0 for a zero step.
i64 range_length(i64 first, i64 last, i64 step) FRAG_NOEXCEPT {
  if (step > 0) return last > first ? (last - first + step - 1) / step : 0;
  if (step < 0) return first > last ? (first - last - step - 1) / -step : 0;
  return 0;
}

// A strided slice of two axes of a dense native index list, such as
// a[first0:last0:step0, first1:last1:step1] of a matrix. The element (i, j)
// lives at nativeidxs[o + i*rs + j*cs]; residxs[0 ..] receives the picked
// elements with i outermost, both ranges taken as Python ranges (steps may
// be negative; a zero step picks nothing). rs, cs: the positions between
// neighbours along the two axes (the columns' count and 1 for a matrix); o:
// position of element (0, 0), so that any two axes of a larger object can be
// sliced.
void strided_slice2(i32 first0, i32 last0, i32 step0, i32 first1, i32 last1, Vec<i64> nativeidxs,
                    Vec<i64> residxs, i32 step1, i32 o, i32 rs, i32 cs) {
  const i64 n0 = range_length(first0, last0, step0), n1 = range_length(first1, last1, step1);
  std::ptrdiff_t at = 0;
  for (i64 a = 0; a < n0; ++a) {
    const i64 row = i64{o} + (first0 + a * step0) * rs;
    for (i64 b = 0; b < n1; ++b) residxs[at++] = nativeidxs[row + (first1 + b * step1) * cs];
  }
}
FRAG_KERNEL(201, "iiiiiOOiiii", strided_slice2, "nativeidxs residxs");

// One index j along an axis of a dense native index list seen as [d0][d1][d2]
// (d1 the axis's extent, d0 and d2 the sizes before and after it): nidxs[p ..]
// receives basevar_nativeidxs[(x0*d1 + j)*d2 + x2] for x0 < d0, x2 < d2.
// Returns p plus d0*d2.
i32 pick_along_axis(Vec<i64> basevar_nativeidxs, i32 d0, i32 d1, i32 d2, i32 j, Vec<i64> nidxs, i32 p) {
  std::ptrdiff_t at = p;
  for (i64 x0 = 0; x0 < d0; ++x0) {
    const i64 row = (x0 * d1 + j) * d2;
    for (i64 x2 = 0; x2 < d2; ++x2) nidxs[at++] = basevar_nativeidxs[row + x2];
  }
  return d0 > 0 && d2 > 0 ? low32(at) : p;
}
FRAG_KERNEL(151, "OiiiiOi", pick_along_axis, "basevar_nativeidxs nidxs");

// The elements of a dense object named by the rows of a multi-index table:
// idxs[r] = basevar_nativeidxs[sum over t < nd of midxs[r, t] * strides[t]]
// for every row r of midxs (64-bit positions). nd: number of axes.
void pick_table_rows(Vec<i64> basevar_nativeidxs, Vec<i64> idxs, Mat<i32> midxs, i32 nd, Vec<i64> strides) {
  for (i32 r = 0; r < midxs.rows; ++r)
    idxs[r] = basevar_nativeidxs[indexing::offset64(0, indexing::TableRow{midxs, r}, strides, nd)];
}
FRAG_KERNEL(176, "OOOiO", pick_table_rows, "basevar_nativeidxs idxs midxs strides");

// --------------------------------------------------- sparse lookups

// The native indices at arbitrary positions of a sparse object, through a
// full-size scratch table. The stored elements (as many as sparsity holds)
// are spread into a zeroed table of prod(shape) entries, then idxs[k] =
// table[sp[k]] for every entry of sp: a position that is not stored gives 0.
// Positions outside the shape are never stored (and read as 0), so the
// scratch table is never written or read beyond its end.
void lookup_by_table(Vec<i64> basevar_nativeidxs, Vec<i64> idxs, Vec<i32> shape, Vec<i64> sp, Vec<i64> sparsity) {
  WorkArray<i64> table(extents::product(i64{1}, shape, 0, shape.count - 1));
  const i64 size = table.size();
  const auto inside = [size](i64 x) { return x >= 0 && x < size; };
  for (std::ptrdiff_t k = 0; k < sparsity.count; ++k)
    if (inside(sparsity[k])) table[sparsity[k]] = basevar_nativeidxs[k];
  for (std::ptrdiff_t k = 0; k < sp.count; ++k) idxs[k] = inside(sp[k]) ? table[sp[k]] : 0;
}
FRAG_KERNEL(170, "OOOOO", lookup_by_table, "basevar_nativeidxs idxs shape sp sparsity");

// The native indices at a few positions of a sparse object, in place. For
// k < n, thisnidxs[k] holds a row-major position on entry and the native
// index of that element on exit: binary search in the first nnz entries of
// the ascending pattern sparsity, basevar_nativeidxs in parallel; 0 where
// the position is not stored.
void lookup_in_place(Vec<i64> basevar_nativeidxs, i32 nnz, Vec<i64> sparsity, i32 n, Vec<i64> thisnidxs) {
  for (i32 k = 0; k < n; ++k) {
    const i64 x = thisnidxs[k];
    i64 lo = 0, hi = nnz;
    while (lo < hi) {
      const i64 mid = lo + (hi - lo) / 2;
      if (sparsity[mid] < x)
        lo = mid + 1;
      else
        hi = mid;
    }
    thisnidxs[k] = lo < nnz && sparsity[lo] == x ? basevar_nativeidxs[lo] : 0;
  }
}
FRAG_KERNEL(188, "OiOiO", lookup_in_place, "basevar_nativeidxs sparsity thisnidxs");

// ------------------------------------------------- sparse box slices

// Multi-index of position x in shape, written to key[0 .. nd-1]; true when
// it lies in the box first[t] <= key[t] < last[t].
bool unravel_in_box(i64 x, i32 nd, Vec<i32> shape, Vec<i32> first, Vec<i32> last, Vec<i32> key) {
  bool inside = true;
  for (i32 t = nd - 1; t >= 0; --t) {
    const i32 v = static_cast<i32>(rem64(x, shape[t]));
    x = quot64(x, shape[t]);
    key[t] = v;
    if (v < first[t] || v >= last[t]) inside = false;
  }
  return inside;
}

// Whether one of the nd extents of shape is 0: such a shape has no elements,
// so nothing stored can lie in it and the box passes do nothing (no
// division by the extent).
inline bool has_zero_extent(Vec<i32> shape, i32 nd) FRAG_NOEXCEPT {
  for (i32 t = 0; t < nd; ++t)
    if (shape[t] == 0) return true;
  return false;
}

// Count pass of the box slice of a sparse object. For every stored element
// (as many as sparsity holds) the multi-index of its position in shape is
// written to the caller's scratch key (nd entries) and tested against the
// box first[t] <= i[t] < last[t]. nd: number of axes; c: running count.
// Returns c plus the number of stored elements inside the box: the room the
// fill pass needs. A zero extent in shape counts nothing.
i32 count_box_slice(Vec<i32> first, Vec<i32> key, Vec<i32> last, i32 nd, i32 c, Vec<i32> shape,
                    Vec<i64> sparsity) {
  if (has_zero_extent(shape, nd)) return c;
  for (std::ptrdiff_t k = 0; k < sparsity.count; ++k)
    if (unravel_in_box(sparsity[k], nd, shape, first, last, key)) c = add32(c, 1);
  return c;
}
FRAG_KERNEL(185, "OOOiiOO", count_box_slice, "first key last shape sparsity");

// Fill pass of the box slice of a sparse object. Every stored element inside
// the box (tested as in the count pass, key being the caller's scratch of nd
// entries) is written at position c: idxs[c] = its native index, sp[c] = its
// row-major position within sliceshape (the box's extents) of the multi-index
// minus first; then c advances. The elements keep their order, so sp stays
// ascending. nd: number of axes; c: running position. Returns the final c,
// which the count pass predicts (a zero extent in shape writes nothing).
i32 fill_box_slice(Vec<i64> basevar_nativeidxs, Vec<i32> first, i32 nd, Vec<i64> idxs, Vec<i32> key, Vec<i32> last,
                   i32 c, Vec<i32> shape, Vec<i32> sliceshape, Vec<i64> sp, Vec<i64> sparsity) {
  if (has_zero_extent(shape, nd)) return c;
  for (std::ptrdiff_t k = 0; k < sparsity.count; ++k) {
    if (!unravel_in_box(sparsity[k], nd, shape, first, last, key)) continue;
    i64 pos = 0;
    for (i32 t = 0; t < nd; ++t) pos = add64(mul64(pos, sliceshape[t]), sub32(key[t], first[t]));
    idxs[c] = basevar_nativeidxs[k];
    sp[c] = pos;
    c = add32(c, 1);
  }
  return c;
}
FRAG_KERNEL(186, "OOiOOOiOOOO", fill_box_slice, "basevar_nativeidxs first idxs key last shape sliceshape sp sparsity");

// ------------------------------------------ sparse slices of record axes

// Count pass of a slice of one axis of a sparse object seen as [d0][d1][d2]
// (d1 the axis's extent, d2 the size after it; d0 is never needed to split a
// position). Returns c plus the number of stored elements (as many as
// sparsity holds) whose index (x div d2) mod d1 along the axis lies in
// first .. last-1; a record with an extent below 1 holds nothing and returns
// c. This is also the count of the record-slice fill below for
// the record [d0][d1][d2][1][1] with axis 1 sliced from first, step 1, and
// axis 3 kept.
i32 count_axis_slice(i32 d1, i32 d2, i32 first, i32 last, i32 c, Vec<i64> sparsity) {
  if (d1 < 1 || d2 < 1) return c;
  for (std::ptrdiff_t k = 0; k < sparsity.count; ++k) {
    const i64 i = rem64(quot64(sparsity[k], d2), d1);
    if (i >= first && i < last) c = add32(c, 1);
  }
  return c;
}
FRAG_KERNEL(163, "iiiiiO", count_axis_slice, "sparsity");

// Index q of axis value i in the slice first, first + step, ... of count
// entries, or -1 when i is not picked.
i64 slice_index(i64 i, i64 first, i64 step, i64 count) FRAG_NOEXCEPT {
  if (step == 0) return -1;
  const i64 d = i - first;
  if (d % step != 0) return -1;
  const i64 q = d / step;
  return q >= 0 && q < count ? q : -1;
}

// Fill pass of a strided slice of the two distinguished axes of a sparse
// object seen as the five factors [d0][d1][d2][d3][d4]. Axis 1 keeps the c1
// indices f1, f1 + s1, ..., axis 3 the c3 indices f3, f3 + s3, ...; factors
// 0, 2 and 4 are kept whole, so the slice has the record [d0][c1][d2][c3][d4]
// (d0 is never needed to split a position). For the n stored elements k =
// k0 .. k0+n-1 of sparsity that the slice keeps, in storage order: rsp[p] =
// o plus the element's position in the slice, rnidxs[p] = its native index,
// perm[p] = k (its number in the source, to pick parallel data), then p
// advances. o shifts the positions into a larger pattern. With positive
// steps rsp stays ascending; a negative step reverses that axis and the host
// re-sorts by rsp. Returns the final p (at most p + n); a record with an
// extent d1 .. d4 below 1 holds nothing and returns p.
i32 fill_record_slice(Vec<i64> basevar_nativeidxs, i32 d0, i32 d1, i32 d2, i32 d3, i32 d4, i32 f1, Vec<i64> perm,
                      Vec<i64> rnidxs, i32 s1, i32 c1, i32 f3, i32 s3, Vec<i64> rsp, i32 c3, i32 k0, i32 n, i32 o,
                      i32 p, Vec<i64> sparsity) {
  (void)d0;
  if (d1 < 1 || d2 < 1 || d3 < 1 || d4 < 1) return p;
  for (i64 k = k0; k < i64{k0} + n; ++k) {
    i64 x = sparsity[k];
    const i64 y = rem64(x, d4);
    x = quot64(x, d4);
    const i64 b = rem64(x, d3);
    x = quot64(x, d3);
    const i64 m = rem64(x, d2);
    x = quot64(x, d2);
    const i64 a = rem64(x, d1);
    const i64 x0 = quot64(x, d1);
    const i64 q1 = slice_index(a, f1, s1, c1), q3 = slice_index(b, f3, s3, c3);
    if (q1 < 0 || q3 < 0) continue;
    const i64 pos = (((x0 * c1 + q1) * d2 + m) * c3 + q3) * d4 + y;
    rsp[p] = add64(o, pos);
    rnidxs[p] = basevar_nativeidxs[k];
    perm[p] = k;
    p = add32(p, 1);
  }
  return p;
}
FRAG_KERNEL(164, "OiiiiiiOOiiiiOiiiiiO", fill_record_slice, "basevar_nativeidxs perm rnidxs rsp sparsity");

// ------------------------------------------------ variables as expressions

// A variable laid out on the R stack as a stacked expression of n elements
// with one term each: the row pointer ri32[ptrpos .. ptrpos+n] = 0, 1, ...,
// n; the variable indices ri64[nidxpos + e] = basevar_nativeidxs[e]; the
// coefficients rf64[cofpos + e] = 1.0; and, when sparse is set, the sparsity
// block ri64[sppos + e] = sparsity[e] (sparsity is not read otherwise). The
// host passes an int32 array as ri64 here, so the indices and positions are
// stored as their low 32 bits. The shape block is the host's to write.
void variable_expression(Vec<i64> basevar_nativeidxs, i32 n, bool sparse, i32 cofpos, i32 ptrpos, i32 nidxpos,
                         Vec<f64> rf64, Vec<i32> ri32, Vec<i32> ri64, i32 sppos, Vec<i64> sparsity) {
  if (n < 0) return;
  for (i32 e = 0; e <= n; ++e) ri32[i64{ptrpos} + e] = e;
  for (i32 e = 0; e < n; ++e) {
    ri64[i64{nidxpos} + e] = low32(basevar_nativeidxs[e]);
    rf64[i64{cofpos} + e] = 1.0;
  }
  if (sparse)
    for (i32 e = 0; e < n; ++e) ri64[i64{sppos} + e] = low32(sparsity[e]);
}
FRAG_KERNEL(146, "OipiiiOOOiO", variable_expression, "basevar_nativeidxs rf64 ri32 ri64 sparsity");

}  // namespace
}  // namespace frag
