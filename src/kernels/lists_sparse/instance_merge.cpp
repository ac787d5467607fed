// Instance-keyed term lists: merging sorted (instance, coefficient) terms so
// that each instance occurs once, counting distinct instances, order and range
// checks on index arrays, flattening multi-indices, products of extents.
#include "module/kernel.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

// ----------------------------------------------------------------- merging

// Source terms visited in the caller's order: directly, or through perm.
struct Direct {
  i64 operator()(i32 k) const { return k; }
};
struct Permuted {
  Vec<i64> perm;
  i64 operator()(i32 k) const { return perm[k]; }
};

// Merges the source terms (inst_, cof_), taken in the order `at` gives, into
// (inst, cof). c is the last written destination term: the caller has
// already written source term 0 there. A key that does not exceed the
// previous source key joins the current destination term; a larger key opens
// the next one. The previous key always comes from the source, so the
// destination is only ever written, never consulted.
template <class Order>
i32 merge_terms(Vec<f64> cof, Vec<f64> cof_, Vec<i64> inst, Vec<i64> inst_, i32 c, Order at) {
  const i32 n = inst_.n32();
  if (n < 2) return c;
  i64 prev = inst_[at(0)];
  for (i32 k = 1; k < n; ++k) {
    const i64 p = at(k);
    const i64 key = inst_[p];
    if (key <= prev) {
      cof[c] += cof_[p];
    } else {
      c = add32(c, 1);
      inst[c] = key;
      cof[c] = cof_[p];
    }
    prev = key;
  }
  return c;
}

// Merges the instance-keyed source terms (inst_, cof_), visited through perm,
// into (inst, cof) so that each instance occurs once, summing coefficients; c
// is the last destination term written, and the new last one is returned.
i32 merge_permuted(Vec<f64> cof, Vec<f64> cof_, Vec<i64> inst, Vec<i64> inst_, i32 c, Vec<i64> perm) {
  return merge_terms(cof, cof_, inst, inst_, c, Permuted{perm});
}
FRAG_KERNEL(636, "OOOOiO", merge_permuted, "cof cof_ inst inst_ perm");
FRAG_KERNEL(629, "OOOOiO", merge_permuted, "cof cof_ inst inst_ perm");

// Merges the instance-sorted source terms (inst_, cof_) into (inst, cof) so
// that each instance occurs once, summing coefficients; c is the last
// destination term written, and the new last one is returned.
i32 merge_sorted(Vec<f64> cof, Vec<f64> cof_, Vec<i64> inst, Vec<i64> inst_, i32 c) {
  return merge_terms(cof, cof_, inst, inst_, c, Direct{});
}
FRAG_KERNEL(634, "OOOOi", merge_sorted, "cof cof_ inst inst_");
FRAG_KERNEL(627, "OOOOi", merge_sorted, "cof cof_ inst inst_");

// ------------------------------------------------------ distinct counts

// count plus the number of strict increases between consecutive keys.
template <class Order>
i32 count_increases(Vec<i64> inst_, i32 count, Order at) {
  const i32 n = inst_.n32();
  if (n < 2) return count;
  i64 prev = inst_[at(0)];
  for (i32 k = 1; k < n; ++k) {
    const i64 key = inst_[at(k)];
    if (prev < key) count = add32(count, 1);
    prev = key;
  }
  return count;
}

// count plus the number of strict increases between consecutive keys of inst_
// visited through perm (the distinct instances less one); returns it.
i32 count_distinct_permuted(Vec<i64> inst_, i32 count, Vec<i64> perm) {
  return count_increases(inst_, count, Permuted{perm});
}
FRAG_KERNEL(635, "OiO", count_distinct_permuted, "inst_ perm");
FRAG_KERNEL(628, "OiO", count_distinct_permuted, "inst_ perm");

// count plus the number of strict increases between consecutive keys of inst_
// (the distinct instances less one); returns it.
i32 count_distinct(Vec<i64> inst_, i32 count) { return count_increases(inst_, count, Direct{}); }
FRAG_KERNEL(633, "Oi", count_distinct, "inst_");
FRAG_KERNEL(626, "Oi", count_distinct, "inst_");

// ---------------------------------------------------------- order checks
// A validity flag is only ever cleared: once it is false there is nothing
// left to find.

// Clears the flag unless inst_ never decreases; returns the flag.
bool non_decreasing(Vec<i64> inst_, bool flag) {
  const i32 n = inst_.n32();
  for (i32 k = 1; flag && k < n; ++k) flag = inst_[k - 1] <= inst_[k];
  return flag;
}
FRAG_KERNEL(632, "Op", non_decreasing, "inst_");
FRAG_KERNEL(625, "Op", non_decreasing, "inst_");

// Clears the flag unless each of the first n entries of inst_ lies in 0 ..
// bound - 1; returns the flag.
bool all_in_range(bool flag, Vec<i64> inst_, i32 n, i64 bound) {
  for (i32 k = 0; flag && k < n; ++k) flag = inst_[k] >= 0 && inst_[k] < bound;
  return flag;
}
FRAG_KERNEL(631, "pOiL", all_in_range, "inst_");

// Strictly increasing and in range from the second element on; the first
// element is only compared, not range-checked.
bool increasing_in_range(Vec<i64> inst, bool flag, i64 bound) {
  const i32 n = inst.n32();
  for (i32 k = 1; flag && k < n; ++k) {
    const i64 v = inst[k];
    flag = v >= 0 && v < bound && v > inst[k - 1];
  }
  return flag;
}
FRAG_KERNEL(616, "OpL", increasing_in_range, "inst");

// Clears the flag unless ptrb[0 .. n] never decreases; returns the flag.
bool ptr_non_decreasing(i32 n, Vec<i64> ptrb, bool flag) {
  for (i32 k = 0; flag && k < n; ++k) flag = ptrb[k] <= ptrb[k + 1];
  return flag;
}
FRAG_KERNEL(617, "iOp", ptr_non_decreasing, "ptrb");

// Exact comparison with 0.0: -0.0 passes, NaN fails.
bool all_zero(Vec<f64> bfix, i32 n, bool flag) {
  for (i32 k = 0; flag && k < n; ++k) flag = bfix[k] == 0.0;
  return flag;
}
FRAG_KERNEL(613, "Oip", all_zero, "bfix");

// ------------------------------------------------------ multi-indices

// Row-major position of each row of sub within the extents dims_, in 64-bit
// arithmetic.
void flatten_rows(Vec<i32> dims_, Vec<i64> inst_, Mat<i32> sub) {
  const i32 rows = sub.rows, d = sub.cols;
  for (i32 i = 0; i < rows; ++i) {
    i64 acc = 0;
    for (i32 j = 0; j < d; ++j) acc = add64(mul64(acc, dims_[j]), sub(i, j));
    inst_[i] = acc;
  }
}
FRAG_KERNEL(624, "OOO", flatten_rows, "dims_ inst_ sub");

// Sets the flag when some entry of sub lies outside 0 .. dims_[j] - 1.
bool subs_out_of_range(Vec<i32> dims_, bool flag, Mat<i32> sub) {
  return extents::flag_outside(sub, dims_, flag);
}
FRAG_KERNEL(623, "OpO", subs_out_of_range, "dims_ sub");

// ------------------------------------------------------------- products

// p times the count factors v[first], v[first + 1], ..., each sign-extended,
// 64-bit wrap. A count of 0 or less multiplies nothing, whatever first is.
i64 product64(i64 p, Vec<i32> v, i64 first, i32 count) {
  return extents::product(p, v, first, first + count - 1);
}

// p times every extent of dims_, each sign-extended, 64-bit wrap; returns the
// product.
i64 product_all(Vec<i32> dims_, i64 p) { return product64(p, dims_, 0, dims_.n32()); }
FRAG_KERNEL(630, "OL", product_all, "dims_");
FRAG_KERNEL(622, "OL", product_all, "dims_");

// p times the first n extents of shape, each sign-extended, 64-bit wrap;
// returns the product.
i64 product_head(i32 n, Vec<i32> shape, i64 p) { return product64(p, shape, 0, n); }
FRAG_KERNEL(615, "iOL", product_head, "shape");

// The k extents just before the last of d: i32[d - k - 1] .. i32[d - 2].
i64 product_before_last(i32 d, Vec<i32> i32s, i32 k, i64 p) {
  return product64(p, i32s, i64{d} - k - 1, k);
}
FRAG_KERNEL(618, "iOiL", product_before_last, "i32");

// ----------------------------------------------------------- small writes

// Stores the last index n - 1 at i64s[position] when n > 0.
void store_last_index(Vec<i64> i64s, i32 n, i32 position) {
  if (n > 0) i64s[position] = n - 1;
}
FRAG_KERNEL(619, "Oii", store_last_index, "i64");

// Scales a run of values: destination entry k = alpha times source entry k,
// for k < n.
void scale_values(Vec<f64> dst, f64 alpha, i32 n, Vec<f64> src) {
  for (i32 k = 0; k < n; ++k) dst[k] = alpha * src[k];
}
FRAG_KERNEL(621, "OdiO", scale_values, "new_vval vval");
FRAG_KERNEL(620, "OdiO", scale_values, "new_uval uval");

}  // namespace
}  // namespace frag
