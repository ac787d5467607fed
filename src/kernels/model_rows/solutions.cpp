// Solution mapping: the solver's flat solution vectors read back onto the
// elements of the host's variables and constraints through their native
// indices, plus the range zeroing and bound-dual differences that prepare
// those vectors.
//
// A variable element's 64-bit native index j is scalar variable j (j > 0),
// semidefinite element ~j (j < 0) or the reserved element of value 0 (j = 0).
// A constraint element's 32-bit native index j is linear row j (j >= 0) or
// element ~j of the affine conic constraint tables (j < 0); an element at
// offset o of constraint a lives at accptr[a] + o of accx / accy.
#include "module/kernel.hpp"

namespace frag {
namespace {

using idx = std::ptrdiff_t;

// ------------------------------------------------------------ preparing

// Zeroes positions s .. e-1 of every vector, position by position.
template <class... V>
inline void zero_range(i32 s, i32 e, const V&... v) FRAG_NOEXCEPT {
  for (i32 k = s; k < e; ++k) ((v[k] = 0.0), ...);
}
// The position after the range: e when the range is not empty.
constexpr i32 range_end(i32 s, i32 e) FRAG_NOEXCEPT { return s < e ? e : s; }

// Zeroes positions s .. e - 1 of the constraint solution vectors slc, suc, xc
// and y.
void zero_rows(i32 e, Vec<f64> slc, i32 s, Vec<f64> suc, Vec<f64> xc, Vec<f64> y) { zero_range(s, e, slc, suc, xc, y); }
// Zeroes positions s .. e - 1 of the constraint solution vectors slc, suc, xc
// and y; returns e, or s when the range is empty.
i32 zero_rows_end(i32 e, Vec<f64> slc, i32 s, Vec<f64> suc, Vec<f64> xc, Vec<f64> y) {
  zero_range(s, e, slc, suc, xc, y);
  return range_end(s, e);
}
// Zeroes positions s .. e - 1 of the variable solution vectors slx, sux and
// xx.
void zero_vars(i32 e, Vec<f64> slx, i32 s, Vec<f64> sux, Vec<f64> xx) { zero_range(s, e, slx, sux, xx); }
// Zeroes positions s .. e - 1 of the variable solution vectors slx, sux, xx
// and yx; returns e, or s when the range is empty.
i32 zero_vars_end(i32 e, Vec<f64> slx, i32 s, Vec<f64> sux, Vec<f64> xx, Vec<f64> yx) {
  zero_range(s, e, slx, sux, xx, yx);
  return range_end(s, e);
}
FRAG_KERNEL(133, "iOiOOO", zero_rows, "slc suc xc y");
FRAG_KERNEL(132, "iOiOOO", zero_rows_end, "slc suc xc y");
FRAG_KERNEL(131, "iOiOO", zero_vars, "slx sux xx");
FRAG_KERNEL(130, "iOiOOO", zero_vars_end, "slx sux xx yx");

// Combined dual: lower-bound dual minus upper-bound dual.
void bound_dual(i32 n, Vec<f64> sl, Vec<f64> su, Vec<f64> y) {
  for (i32 k = 0; k < n; ++k) y[k] = sl[k] - su[k];
}
FRAG_KERNEL(24, "iOOO", bound_dual, "slc suc y");
FRAG_KERNEL(23, "iOOO", bound_dual, "slx sux yx");

// ------------------------------------------------------ variable elements

// Scalar values only: xx[j] for j > 0 (negated when Negate), 0.0 otherwise.
template <bool Negate>
void scalar_values(i32 n, Vec<i64> nativeidxs, i32 r, Vec<f64> res, Vec<f64> xx) {
  for (i32 k = 0; k < n; ++k) {
    const i64 j = nativeidxs[k];
    res[idx{r} + k] = j > 0 ? (Negate ? -xx[j] : xx[j]) : 0.0;
  }
}
FRAG_KERNEL(17, "iOiOO", scalar_values<false>, "nativeidxs res xx");
FRAG_KERNEL(18, "iOiOO", scalar_values<true>, "nativeidxs res xx");

// Primal values, scalar or semidefinite.
void primal_values(Vec<f64> barx, i32 n, Vec<i64> nativeidxs, i32 r, Vec<f64> res, Vec<f64> xx) {
  for (i32 k = 0; k < n; ++k) {
    const i64 j = nativeidxs[k];
    res[idx{r} + k] = j > 0 ? xx[j] : j < 0 ? barx[~j] : 0.0;
  }
}
FRAG_KERNEL(19, "OiOiOO", primal_values, "barx nativeidxs res xx");

// Dual values: a scalar variable that sits directly in a cone takes the
// cone's dual at its offset, any other its combined bound dual.
void dual_values(Vec<i32> accptr, Vec<f64> accy, Vec<f64> bars, i32 n, Vec<i64> nativeidxs, i32 r, Vec<f64> res,
                 Vec<i32> var_elm_acc_idx, Vec<i32> var_elm_acc_ofs, Vec<f64> yx) {
  for (i32 k = 0; k < n; ++k) {
    const i64 j = nativeidxs[k];
    f64 v = 0.0;
    if (j < 0) {
      v = bars[~j];
    } else if (j > 0) {
      const i32 a = var_elm_acc_idx[j];
      v = a < 0 ? yx[j] : accy[idx{accptr[a]} + var_elm_acc_ofs[j]];
    }
    res[idx{r} + k] = v;
  }
}
FRAG_KERNEL(20, "OOOiOiOOOO", dual_values, "accptr accy bars nativeidxs res var_elm_acc_idx var_elm_acc_ofs yx");

// ---------------------------------------------------- constraint elements

// Linear rows read rowv[j]; conic elements read their constraint's vector at
// its offset, times the element's scale.
void constraint_values(Vec<i32> accptr, Vec<f64> accv, Vec<i32> acon_elm_accid, Vec<i32> acon_elm_ofs,
                       Vec<f64> acon_elm_scale, i32 n, Vec<i32> nativeidxs, i32 r, Vec<f64> res, Vec<f64> rowv) {
  for (i32 k = 0; k < n; ++k) {
    const i32 j = nativeidxs[k];
    if (j >= 0) {
      res[idx{r} + k] = rowv[j];
    } else {
      const i32 e = ~j;
      res[idx{r} + k] = accv[idx{accptr[acon_elm_accid[e]]} + acon_elm_ofs[e]] * acon_elm_scale[e];
    }
  }
}
FRAG_KERNEL(16, "OOOOOiOiOO", constraint_values,
            "accptr accy acon_elm_accid acon_elm_ofs acon_elm_scale nativeidxs res y");
FRAG_KERNEL(15, "OOOOOiOiOO", constraint_values,
            "accptr accx acon_elm_accid acon_elm_ofs acon_elm_scale nativeidxs res xc");

// ------------------------------------------------------- value triplets

// c plus the number of non-negative entries of nativeidxs; returns it.
i32 count_nonnegative(Vec<i64> nativeidxs, i32 c) {
  for (idx k = 0; k < nativeidxs.count; ++k)
    if (nativeidxs[k] >= 0) c = add32(c, 1);
  return c;
}
FRAG_KERNEL(21, "Oi", count_nonnegative, "nativeidxs");

// (index, value) pairs of the entries with a non-negative native index,
// appended from position p; returns the next position.
i32 nonnegative_pairs(i32 p, Vec<i64> nativeidxs, Vec<i32> subj, Vec<f64> val, Vec<f64> values) {
  for (idx k = 0; k < nativeidxs.count; ++k) {
    const i64 j = nativeidxs[k];
    if (j >= 0) {
      subj[p] = low32(j);
      val[p] = values[k];
      p = add32(p, 1);
    }
  }
  return p;
}
FRAG_KERNEL(22, "iOOOO", nonnegative_pairs, "nativeidxs subj val values");

}  // namespace
}  // namespace frag
