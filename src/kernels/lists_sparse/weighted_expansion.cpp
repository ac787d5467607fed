// Weighted expansion of instance-keyed expressions.
//
// An instance-keyed expression E has m elements: element j carries the
// instance index einst[j] (ascending), the terms eptrb[j] .. eptrb[j+1]-1 of
// (esubj, ecof) and the fixed term ebfix[j]. Expanding it by a weight vector a
// builds a larger expression in the same layout (inst, ptrb, subj, cof, bfix)
// whose elements are weighted copies of E's elements:
//   - outer product: element i*m + j is a[i] times element j of E;
//   - broadcast: element k is a[k] times the element of E whose instance is
//     sub[k] (an element E does not store gives an empty element).
// Row pointers come first (a size pass returns the running term count), the
// fill then writes each element at the position its row pointer gives.
#include <tuple>

#include "module/kernel.hpp"

namespace frag {
namespace {

// Position of the element of E with instance `key` (binary search over the
// ascending einst), or -1 when E does not store it.
inline i64 find_instance(Vec<i64> einst, i64 key) FRAG_NOEXCEPT {
  i64 lo = 0, hi = einst.count;
  while (lo < hi) {
    const i64 mid = lo + (hi - lo) / 2;
    if (einst[mid] < key) lo = mid + 1; else hi = mid;
  }
  return lo < einst.count && einst[lo] == key ? lo : -1;
}

// Fixed terms of the outer product: bfix[i*m + j] = a[i] * ebfix[j], m the
// element count of einst. Writes nothing when bfix is None or either count is
// below 1.
void outer_fixed(Vec<f64> a, Vec<f64> bfix, Vec<f64> ebfix, Vec<i64> einst) {
  const i64 n = a.count, m = einst.count;
  if (bfix.is_none() || n < 1 || m < 1) return;
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < m; ++j) bfix[i * m + j] = a[i] * ebfix[j];
}
FRAG_KERNEL(597, "OOOO", outer_fixed, "a bfix ebfix einst");

// Running count of the non-trivial axes of an expression's shape.
// Returns count plus the number of entries of eshape that are at least 2.
i32 count_long_axes(Vec<i32> eshape, i32 count) {
  for (std::ptrdiff_t k = 0; k < eshape.count; ++k)
    if (eshape[k] >= 2) count = add32(count, 1);
  return count;
}
FRAG_KERNEL(593, "Oi", count_long_axes, "eshape");

// Coefficients of one block of the outer product: weight a[k] times E's terms.
// Writes cof[pos + t] = a[k] * ecof[t] for t = 0 .. n - 1; pos is a 64-bit term
// position (the row pointer value where the block starts). With n <= 0
// nothing is read or written (a[k] included), so an empty block may pass None.
void outer_coefficients(Vec<f64> a, Vec<f64> cof, Vec<f64> ecof, i32 k, i32 n, i64 pos) {
  if (n < 1) return;
  const f64 w = a[k];
  for (i32 t = 0; t < n; ++t) cof[pos + t] = w * ecof[t];
}
FRAG_KERNEL(595, "OOOiiL", outer_coefficients, "a cof ecof");

// Row pointers of the broadcast of E over the instances sub[0 .. n-1].
// Element k of the result takes E's element with instance sub[k] (found in
// the ascending einst) and so gets its number of terms, eptrb[j+1] - eptrb[j],
// or none when E does not store that instance. pos is the running term count:
// for each k it grows by the element's terms and ptrb[r + k + 1] = pos (entry
// r is the caller's). Returns the final pos.
i64 broadcast_row_pointers(i32 n, Vec<i64> einst, Vec<i64> eptrb, i32 r, i64 pos, Vec<i64> ptrb, Vec<i32> sub) {
  for (i32 k = 0; k < n; ++k) {
    const i64 j = find_instance(einst, sub[k]);
    if (j >= 0) pos = add64(pos, sub64(eptrb[j + 1], eptrb[j]));
    ptrb[i64{r} + k + 1] = pos;
  }
  return pos;
}
FRAG_KERNEL(596, "iOOiLOO", broadcast_row_pointers, "einst eptrb ptrb sub");

// Fill of the broadcast a[k] * E[instance sub[k]] for every entry k of sub
// (its element count), after broadcast_row_pointers wrote ptrb. Element r + k
// of the result receives, from position ptrb[r + k] on, the terms of E's
// element with instance sub[k]: subj = esubj, cof = a[k] * ecof, in order; its
// fixed term bfix[r + k] = a[k] * ebfix[j] (0.0 when E does not store the
// instance). bfix None skips the fixed terms. Reads a, ebfix, ecof, einst,
// eptrb, esubj, ptrb, sub; writes cof, subj and bfix.
void broadcast_fill(Vec<f64> a, Vec<f64> bfix, Vec<f64> cof, i32 r, Vec<f64> ebfix, Vec<f64> ecof,
                    Vec<i64> einst, Vec<i64> eptrb, Vec<i64> esubj, Vec<i64> ptrb, Vec<i32> sub, Vec<i64> subj) {
  const bool fixed = !bfix.is_none();
  for (i64 k = 0; k < sub.count; ++k) {
    const i64 row = r + k;
    const i64 j = find_instance(einst, sub[k]);
    const f64 w = a[k];
    if (j < 0) {
      if (fixed) bfix[row] = 0.0;
      continue;
    }
    i64 q = ptrb[row];
    for (i64 t = eptrb[j], end = eptrb[j + 1]; t < end; ++t, ++q) {
      subj[q] = esubj[t];
      cof[q] = w * ecof[t];
    }
    if (fixed) bfix[row] = w * ebfix[j];
  }
}
FRAG_KERNEL(594, "OOOiOOOOOOOO", broadcast_fill,
            "a bfix cof ebfix ecof einst eptrb esubj ptrb sub subj");

// The weights times one scalar variable: element k (k < n) of the result has
// the single term (variable v, coefficient a[k]). Writes inst[k] = sub[k]
// when `sparse` (the weights sit at the instances sub), else inst[k] = k;
// ptrb[0 .. n] = 0, 1, .., n; subj[k] = v; cof[k] = a[k]. sub is not read
// when `sparse` is false.
void weights_times_variable(Vec<f64> a, Vec<f64> cof, i32 n, Vec<i64> inst, Vec<i64> ptrb, Vec<i32> sub,
                            Vec<i64> subj, bool sparse, i32 v) {
  if (n < 0) return;
  ptrb[0] = 0;
  for (i32 k = 0; k < n; ++k) {
    inst[k] = sparse ? i64{sub[k]} : i64{k};
    ptrb[k + 1] = k + 1;
    subj[k] = v;
    cof[k] = a[k];
  }
}
FRAG_KERNEL(598, "OOiOOOOpi", weights_times_variable, "a cof inst ptrb sub subj");

// Writes an instance-keyed expression onto a stack's (i32, i64, f64) arrays
// as a dense stacked expression of n elements. Reads ptrb[0 .. n], subj and
// cof_v (terms ptrb[e] .. ptrb[e+1]-1 of element e), bfix (one fixed term per
// element) and shape (nd extents). Writes the shape at i32[shape_pos ..],
// the row pointer at i32[ptr_pos ..] (n + 1 entries, relative to ptrb[0]),
// variable indices at i64[nidx_pos ..] and coefficients at f64[cof_pos ..].
// With `with_fixed`, every element starts with the constant term (variable
// 0, coefficient bfix[e]), so the terms number ptrb[n] - ptrb[0] + n;
// otherwise bfix is not read.
void expression_to_stack(Vec<f64> bfix, i32 n, Vec<f64> cof_v, Vec<f64> f64s, Vec<i32> i32s, Vec<i64> i64s,
                         i32 shape_pos, i32 ptr_pos, i32 nidx_pos, i32 cof_pos, Vec<i64> ptrb, Vec<i32> shape,
                         i32 nd, Vec<i64> subj, bool with_fixed) {
  for (i32 d = 0; d < nd; ++d) i32s[i64{shape_pos} + d] = shape[d];
  if (n < 0) return;
  i64 q = 0;  // next term of the stacked expression
  i32s[ptr_pos] = 0;
  for (i32 e = 0; e < n; ++e) {
    if (with_fixed) {
      i64s[nidx_pos + q] = 0;
      f64s[cof_pos + q] = bfix[e];
      ++q;
    }
    for (i64 t = ptrb[e], end = ptrb[e + 1]; t < end; ++t, ++q) {
      i64s[nidx_pos + q] = subj[t];
      f64s[cof_pos + q] = cof_v[t];
    }
    i32s[i64{ptr_pos} + e + 1] = low32(q);
  }
}
FRAG_KERNEL(614, "OiOOOOiiiiOOiOp", expression_to_stack, "bfix cof_v f64 i32 i64 ptrb shape subj");

// Checks an instance-keyed expression of n elements against its shape.
// size := size * product of thisshape (64-bit) is the number of instances
// the shape has. Returns (sorted, ordered, inrange): sorted kept while
// inst[k-1] < inst[k] for k = 1 .. n-1; ordered kept while ptrb[k] <=
// ptrb[k+1] for k = 0 .. n-1; inrange kept while 0 <= inst[k] < size for
// k < n. A cleared flag is never set again.
std::tuple<bool, bool, bool> check_expression(Vec<i64> inst, bool sorted, i32 n, Vec<i64> ptrb, bool ordered,
                                              bool inrange, i64 size, Vec<i32> thisshape) {
  for (std::ptrdiff_t d = 0; d < thisshape.count; ++d) size = mul64(size, thisshape[d]);
  for (i32 k = 0; k < n; ++k) {
    const i64 v = inst[k];
    if (k > 0 && !(inst[k - 1] < v)) sorted = false;
    if (v < 0 || v >= size) inrange = false;
    if (!(ptrb[k] <= ptrb[k + 1])) ordered = false;
  }
  return {sorted, ordered, inrange};
}
FRAG_KERNEL(580, "OpiOppLO", check_expression, "inst ptrb thisshape");

}  // namespace
}  // namespace frag
