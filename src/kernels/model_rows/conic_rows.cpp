// Affine conic constraint rows: afe indices and right-hand sides copied into
// the constraint lists, the per-element tables (constraint, offset, afe row,
// scale), symmetric-matrix blocks whose afe indices are held as packed lower
// triangles, the variable elements that sit directly in a cone, and the
// counts and maxima the host uses to size these tables.
//
// A packed triangle of order n holds element (i, j), i >= j, at position
// j(2n - j - 1)/2 + i: column 0 first (rows 0 .. n-1), then column 1, ...
// Matrix blocks are five-index arrays [d0][n][d2][n][d4]; the triangle of the
// combination (i0, b, e) is row (i0*d2 + b)*d4 + e, starting at T times that.
#include "module/kernel.hpp"

namespace frag {
namespace {

using idx = std::ptrdiff_t;

// Packed position of (i, j), i >= j, in a lower triangle of order n.
constexpr i64 packed_lower(i64 n, i64 i, i64 j) FRAG_NOEXCEPT { return j * (2 * n - j - 1) / 2 + i; }

// -------------------------------------------------- constraint lists

// Copies n affine expression rows into the conic constraint tables:
// accafeidxs[cs + k] = afeidxs[as + k] and accb[cs + k] = b[k].
void copy_rows(Vec<i32> accafeidxs, Vec<f64> accb, Vec<i32> afeidxs, i32 as, i32 cs, Vec<f64> b, i32 n) {
  for (i32 k = 0; k < n; ++k) {
    accafeidxs[idx{cs} + k] = afeidxs[idx{as} + k];
    accb[idx{cs} + k] = b[k];
  }
}
FRAG_KERNEL(2, "OOOiiOi", copy_rows, "accafeidxs accb afeidxs b");

// lb <= expression <= ub: the n rows with their lower bounds, then the same
// afe indices again with the upper bounds right after them.
void copy_two_sided(Vec<i32> accafeidxs, Vec<f64> accb, Vec<i32> afeidxs, i32 as, i32 cs, Vec<f64> lb, i32 n,
                    Vec<f64> ub) {
  for (i32 k = 0; k < n; ++k) {
    const i32 a = afeidxs[idx{as} + k];
    accafeidxs[idx{cs} + k] = a;
    accafeidxs[idx{cs} + n + k] = a;
    accb[idx{cs} + k] = lb[k];
    accb[idx{cs} + n + k] = ub[k];
  }
}
FRAG_KERNEL(1, "OOOiiOiO", copy_two_sided, "accafeidxs accb afeidxs lb ub");

// Element tables of m constraints of d elements each; element o of
// constraint a is list position a*d + o.
void element_tables(Vec<i32> accidxs, Vec<i32> acon_elm_accid, Vec<i32> acon_elm_afe, Vec<i32> acon_elm_ofs,
                    Vec<f64> acon_elm_scale, Vec<i32> aconidxs, Vec<i32> afeidxs, i32 d, i32 m) {
  if (m < 1 || d < 1) return;
  for (i32 a = 0; a < m; ++a) {
    const i32 acc = accidxs[a];
    for (i32 o = 0; o < d; ++o) {
      const idx p = idx{a} * d + o;
      const i32 e = aconidxs[p];
      acon_elm_accid[e] = acc;
      acon_elm_ofs[e] = o;
      acon_elm_afe[e] = afeidxs[p];
      acon_elm_scale[e] = 1.0;
    }
  }
}
FRAG_KERNEL(4, "OOOOOOOii", element_tables,
            "accidxs acon_elm_accid acon_elm_afe acon_elm_ofs acon_elm_scale aconidxs afeidxs");

// ------------------------------------------------------ packed triangles

// Walks d0*d2*d4 packed triangles of order n from list position k: per
// column u < c, the diagonal is stepped over and the n-u-1 entries below it
// get scale s. Returns the position after the last one visited.
i32 scale_off_diagonal(Vec<f64> acon_elm_scale, Vec<i32> aconidxs, i64 d0, i64 c, i64 d2, i64 n, i64 d4, i32 k,
                       f64 s) {
  const i64 blocks = mul64(mul64(d0, d2), d4);
  if (blocks < 1 || c < 1) return k;
  for (i64 r = 0; r < blocks; ++r)
    for (i64 u = 0; u < c; ++u) {
      k = add32(k, 1);
      for (i64 i = u + 1; i < n; ++i) {
        acon_elm_scale[aconidxs[k]] = s;
        k = add32(k, 1);
      }
    }
  return k;
}
FRAG_KERNEL(87, "OOLLLLLid", scale_off_diagonal, "acon_elm_scale aconidxs");

// Scatters afe indices read in triangle order (from position k on) to their
// packed positions. Lower order: row a, columns u = 0..a. Upper order:
// row a, columns j = a..n-1, numbered j(j+1)/2 + a. Returns the position
// after the last index read.
i32 scatter_packed(Vec<i32> afeidxs, Vec<i32> afetrilperm, i32 T, i64 d0, i64 n, i64 d2, i64 c, i64 d4, i32 k,
                   bool upper) {
  for (i64 i0 = 0; i0 < d0; ++i0)
    for (i64 a = 0; a < c; ++a)
      for (i64 b = 0; b < d2; ++b) {
        const i64 row = (i0 * d2 + b) * d4;
        auto place = [&](i64 t) {
          for (i64 e = 0; e < d4; ++e) {
            afetrilperm[T * (row + e) + t] = afeidxs[k];
            k = add32(k, 1);
          }
        };
        if (!upper) {
          for (i64 u = 0; u <= a; ++u) place(packed_lower(n, a, u));
        } else if (a < n) {
          for (i64 j = a; j < n; ++j) place(j * (j + 1) / 2 + a);
        }
      }
  return k;
}
FRAG_KERNEL(88, "OOiLLLLLip", scatter_packed, "afeidxs afetrilperm");

// Expands packed triangles into full square blocks, (a, u) and (u, a) both
// reading the packed entry of (max, min). The flag does not change the
// result.
void expand_packed(Vec<i32> afeidxs, i32 T, i64 d0, i64 n, i64 d2, i64 c, i64 d4, Vec<i32> pafeidxs, bool /*upper*/) {
  idx q = 0;
  for (i64 i0 = 0; i0 < d0; ++i0)
    for (i64 a = 0; a < n; ++a)
      for (i64 b = 0; b < d2; ++b) {
        const i64 row = (i0 * d2 + b) * d4;
        for (i64 u = 0; u < c; ++u) {
          const i64 t = a >= u ? packed_lower(n, a, u) : packed_lower(n, u, a);
          for (i64 e = 0; e < d4; ++e) pafeidxs[q++] = afeidxs[T * (row + e) + t];
        }
      }
}
FRAG_KERNEL(89, "OiLLLLLOp", expand_packed, "afeidxs pafeidxs");

// ------------------------------------------------ variables in a cone

// Variable element nativeidxs[k] is element k mod d of constraint
// accidxs[k / d]. A cone size of 0 would divide by zero: nothing is written.
void mark_cone_variables(Vec<i32> accidxs, i32 d, i32 n, Vec<i32> nativeidxs, Vec<i32> var_elm_acc_idx,
                         Vec<i32> var_elm_acc_ofs) {
  if (d == 0) return;
  for (i32 k = 0; k < n; ++k) {
    const i32 v = nativeidxs[k];
    var_elm_acc_idx[v] = accidxs[k / d];
    var_elm_acc_ofs[v] = k % d;
  }
}
FRAG_KERNEL(9, "OiiOOO", mark_cone_variables, "accidxs nativeidxs var_elm_acc_idx var_elm_acc_ofs");

// Detaches the first n variable elements listed in nativeidxs from their
// cones: var_elm_acc_idx[nativeidxs[k]] = -1.
void unmark_cone_variables(i32 n, Vec<i32> nativeidxs, Vec<i32> var_elm_acc_idx) {
  for (i32 k = 0; k < n; ++k) var_elm_acc_idx[nativeidxs[k]] = -1;
}
FRAG_KERNEL(10, "iOO", unmark_cone_variables, "nativeidxs var_elm_acc_idx");

// ---------------------------------------------------- counts and maxima

// The strictly positive entries of idxs (the others stand for no index),
// appended from position p as 32-bit values; returns the next position.
i32 collect_positive(Vec<i64> idxs, i32 p, Vec<i32> nativeidxs) {
  for (idx k = 0; k < idxs.count; ++k)
    if (idxs[k] > 0) {
      nativeidxs[p] = low32(idxs[k]);
      p = add32(p, 1);
    }
  return p;
}
FRAG_KERNEL(14, "OiO", collect_positive, "idxs nativeidxs");
FRAG_KERNEL(12, "OiO", collect_positive, "idxs nativeidxs");

// c plus the number of positive entries of idxs; returns it.
i32 count_positive(i32 c, Vec<i64> idxs) {
  for (idx k = 0; k < idxs.count; ++k)
    if (idxs[k] > 0) c = add32(c, 1);
  return c;
}
FRAG_KERNEL(13, "iO", count_positive, "idxs");
FRAG_KERNEL(11, "iO", count_positive, "idxs");

// The running maximum of c and every entry of the array; returns it.
i32 max_entry(i32 c, Vec<i32> v) {
  for (idx k = 0; k < v.count; ++k)
    if (v[k] > c) c = v[k];
  return c;
}
// The running maximum of c and every entry of accidxs; returns it.
i32 max_entry_vc(Vec<i32> accidxs, i32 c) { return max_entry(c, accidxs); }
FRAG_KERNEL(6, "iO", max_entry, "nativeidxs");
FRAG_KERNEL(5, "iO", max_entry, "nativeidxs");
FRAG_KERNEL(3, "Oi", max_entry_vc, "accidxs");

}  // namespace
}  // namespace frag
