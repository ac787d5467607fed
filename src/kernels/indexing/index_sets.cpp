// Index sets: unions and differences of index sets kept as membership marks
// over the index range, the native indices of the upper or lower triangle of
// two axes picked through an axis split record, and the distinct variable
// indices of a list read in sorted order through a permutation (a count pass
// and its fill pass).
#include <algorithm>
#include <cstddef>

#include "module/kernel.hpp"

namespace frag {
namespace {

// ------------------------------------------------------ membership marks

// Marks every member of set1 in r, the union of the set already marked in r
// and set1. Reads every entry of set1 (indices into r); writes r[set1[k]] =
// 1; every other entry of r keeps its value.
void mark_union(Vec<i32> r, Vec<i32> set1) {
  const std::ptrdiff_t n = set1.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) r[set1[k]] = 1;
}
FRAG_KERNEL(276, "OO", mark_union, "r set1");

// Marks set1 minus set2 in r: r[set1[k]] = 1 for every entry of set1, then
// r[set2[k]] = 0 for every entry of set2 (so an index in both ends unmarked);
// entries of r named by neither set keep their value. On a zeroed r the marks
// are the difference of the two sets.
void mark_difference(Vec<i32> r, Vec<i32> set1, Vec<i32> set2) {
  mark_union(r, set1);
  const std::ptrdiff_t n = set2.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) r[set2[k]] = 0;
}
FRAG_KERNEL(277, "OOO", mark_difference, "r set1 set2");

// ------------------------------------------------------------ triangles

// Appends the native indices of the upper (b >= a) or lower (b <= a) triangle
// of the axes a and b of an axis split record; b runs over 0 .. dim[3] - 1
// in both, so a pair of unequal extents reads only inside the object. Reads
// dim (the record:
// extents before a, of a, between, of b, after b), stride (its five strides)
// and nativeidxs (the object's native indices in row-major order); writes
// nidxs[count], nidxs[count + 1], ... = nativeidxs[linear position] in the
// loop order x0, a, m, b, p (positions in 32-bit arithmetic); upper chooses
// the triangle. Nothing is written unless dim[0] > 0 and dim[1] > 0. Returns
// the final count.
i32 triangle_nativeidxs(Vec<i32> dim, i32 count, Vec<i32> nativeidxs, Vec<i32> nidxs, Vec<i32> stride, bool upper) {
  if (!(dim[0] > 0 && dim[1] > 0)) return count;
  const i32 n0 = dim[0], n1 = dim[1], n2 = dim[2], n3 = dim[3], n4 = dim[4];
  for (i32 x0 = 0; x0 < n0; ++x0) {
    const i32 at0 = mul32(stride[0], x0);
    for (i32 a = 0; a < n1; ++a) {
      const i32 at1 = add32(at0, mul32(stride[1], a));
      const i32 b_first = upper ? a : 0, b_end = upper ? n3 : std::min(add32(a, 1), n3);
      for (i32 m = 0; m < n2; ++m) {
        const i32 at2 = add32(at1, mul32(stride[2], m));
        for (i32 b = b_first; b < b_end; ++b) {
          const i32 at3 = add32(at2, mul32(stride[3], b));
          for (i32 p = 0; p < n4; ++p) {
            nidxs[count] = nativeidxs[add32(at3, mul32(stride[4], p))];
            count = add32(count, 1);
          }
        }
      }
    }
  }
  return count;
}
FRAG_KERNEL(269, "OiOOOp", triangle_nativeidxs, "dim nativeidxs nidxs stride");

// --------------------------------------------------- distinct variables

// Walks varidxs[perm[0]], ..., varidxs[perm[n-1]] (ascending: perm sorts the
// list) and hands every first occurrence of a value to put.
template <class Put>
i32 distinct_walk(i32 n, i32 p, Vec<i64> perm, Vec<i64> varidxs, const Put& put) {
  for (i32 k = 0; k < n; ++k) {
    const i64 v = varidxs[perm[k]];
    if (k > 0 && v == varidxs[perm[k - 1]]) continue;
    put(p, v);
    p = add32(p, 1);
  }
  return p;
}

// Counts the distinct variable indices of a list. Reads varidxs at the
// positions perm[0 .. n-1], which order it ascending; returns p plus the
// number of distinct values (the size the fill pass needs from position p).
i32 count_distinct(i32 n, i32 p, Vec<i64> perm, Vec<i64> varidxs) {
  return distinct_walk(n, p, perm, varidxs, [](i32, i64) {});
}
FRAG_KERNEL(249, "iiOO", count_distinct, "perm varidxs");

// Writes the distinct variable indices of a list in ascending order as 32-bit
// indices. Reads varidxs at the positions perm[0 .. n-1] (ascending); writes
// varidxs32[p], varidxs32[p + 1], ... = the low 32 bits of each distinct
// value; returns p plus their number, as the count pass does.
i32 fill_distinct(i32 n, i32 p, Vec<i64> perm, Vec<i64> varidxs, Vec<i32> varidxs32) {
  return distinct_walk(n, p, perm, varidxs, [&](i32 at, i64 v) { varidxs32[at] = low32(v); });
}
FRAG_KERNEL(250, "iiOOO", fill_distinct, "perm varidxs varidxs32");

}  // namespace
}  // namespace frag
