// Sorting, searching and multi-index stepping: a stable bucket sort of entry
// numbers by two coordinates of a three-dimensional linear index, the merge
// step of a merge sort, lower- and upper-bound bisection, minimum and maximum
// over an indirectly addressed range, fills, parameter scatter and gather, and
// two odometer steps over multi-indices.
#include "module/kernel.hpp"

namespace frag {
namespace {

// ------------------------------------------------------------ bucket sort

// Sorts the first n = len(val) entries of `perm` by the bucket (i, k) of their
// key val[perm[e]] = i*B*C + j*C + k, bucket number i*C + k (the middle
// coordinate is ignored). Counting sort: stable, linear in entries plus
// buckets. Afterwards ptrb[b] is the end of bucket b and ptrb[A*C] = n.
void bucket_sort(i32 A, i32 B, i32 C, Vec<i64> perm, Vec<i64> ptrb, Vec<i64> val) {
  const i32 nbuckets = mul32(A, C);
  const i64 bc = i64{B} * i64{C};
  const i64 c = C;
  auto bucket = [&](i64 key) { return add64(mul64(key / bc, c), key % c); };

  const i32 n = val.n32(), m = perm.n32();
  // A zero B or C would divide by zero on the first key.
  if (n > 0 && bc == 0) raise_value_error("bucket sort needs non-zero extents B and C");

  for (i64 t = 0; t <= nbuckets; ++t) ptrb[t] = 0;  // nothing when A*C < 0
  for (i32 e = 0; e < n; ++e) {
    i64& slot = ptrb[bucket(val[perm[e]]) + 1];
    slot = add64(slot, 1);
  }
  for (i64 t = 1; t <= nbuckets; ++t) ptrb[t] = add64(ptrb[t], ptrb[t - 1]);

  WorkArray<i64> work(m);
  for (i32 e = 0; e < m; ++e) work[e] = perm[e];
  for (i32 e = 0; e < n; ++e) {
    const i64 p = work[e];
    i64& cursor = ptrb[bucket(val[p])];
    perm[cursor] = p;
    cursor = add64(cursor, 1);
  }
}
FRAG_KERNEL(103, "iiiOOO", bucket_sort, "perm ptrb val");

// ------------------------------------------------------------- merge step

// Merges src[lo .. mid - 1] and src[mid .. hi - 1], each ordered by vals, into
// tgt[lo .. hi - 1]. On equal keys the second run's element goes first.
void merge_runs(i32 lo, i32 mid, i32 hi, Vec<i32> src, Vec<i32> tgt, Vec<i32> vals) {
  i32 i = lo, j = mid, o = lo;
  if (lo < mid && mid < hi) {
    do {
      const i32 a = src[i], b = src[j];
      if (vals[a] < vals[b]) {
        tgt[o] = a;
        ++i;
      } else {
        tgt[o] = b;
        ++j;
      }
      ++o;
    } while (i < mid && j < hi);
  }
  for (; i < mid; ++i, ++o) tgt[o] = src[i];
  for (; j < hi; ++j, ++o) tgt[o] = src[j];
}
FRAG_KERNEL(129, "iiiOOO", merge_runs, "src tgt vals");

// -------------------------------------------------------------- bisection

// Narrows (lo, hi) to adjacent positions around x; the end points themselves
// are never read. `go_right(v)` says whether x lies above values[mid] = v.
// The midpoint sum is formed in 64 bits so that large positions cannot wrap.
template <class GoRight>
std::tuple<i32, i32> bisect(i32 lo, i32 hi, Vec<i64> values, GoRight go_right) {
  while (i64{lo} < i64{hi} - 1) {
    const i32 mid = static_cast<i32>((i64{lo} + i64{hi}) / 2);
    if (go_right(values[mid]))
      lo = mid;
    else
      hi = mid;
  }
  return {lo, hi};
}

// values[lo] < x <= values[hi]
std::tuple<i32, i32> lower_bound(i32 lo, i32 hi, i64 x, Vec<i64> values) {
  return bisect(lo, hi, values, [x](i64 v) { return !(x <= v); });
}
FRAG_KERNEL(111, "iiLO", lower_bound, "values");

// values[lo] <= x < values[hi]
std::tuple<i32, i32> upper_bound(i32 lo, i32 hi, i64 x, Vec<i64> values) {
  return bisect(lo, hi, values, [x](i64 v) { return v <= x; });
}
FRAG_KERNEL(110, "iiLO", upper_bound, "values");

// ------------------------------------------------------- range min / max

// res[0], res[1] = min and max of vals[idx[e]] over lo <= e < hi. The first
// element of the range starts both; an empty range has none and leaves res as
// it was.
template <class T>
void range_min_max(i64 lo, Vec<i64> idx, i64 hi, Vec<T> vals, Vec<T> res, std::ptrdiff_t at) {
  if (hi <= lo) return;
  T lo_v = vals[idx[lo]], hi_v = lo_v;
  for (i64 e = lo + 1; e < hi; ++e) {
    const T v = vals[idx[e]];
    if (v < lo_v)
      lo_v = v;
    else if (v > hi_v)
      hi_v = v;
  }
  res[at] = lo_v;
  res[at + 1] = hi_v;
}

// Range minimum and maximum: res[0], res[1] = min and max of vals1[idx[e]] for
// lo <= e < hi, and res[2], res[3] the same of vals2 when it is given; an
// empty range (hi <= lo) writes nothing.
template <class T>
void min_max(i64 lo, Vec<i64> idx, i64 hi, Vec<T> res, Vec<T> vals1, Vec<T> vals2) {
  range_min_max(lo, idx, hi, vals1, res, 0);
  if (!vals2.is_none()) range_min_max(lo, idx, hi, vals2, res, 2);
}
FRAG_KERNEL(105, "LOLOOO", min_max<i32>, "idx res vals1 vals2");
FRAG_KERNEL(104, "LOLOOO", min_max<i64>, "idx res vals1 vals2");

// ------------------------------------------------ fills, scatter, gather

// Sets the first n entries of st to v.
void fill(i32 n, Vec<i64> st, i64 v) {
  for (i32 e = 0; e < n; ++e) st[e] = v;
}
FRAG_KERNEL(109, "iOL", fill, "st");
FRAG_KERNEL(107, "iOL", fill, "st");
FRAG_KERNEL(106, "iOL", fill, "st");

// Stores parameter values: param_value[idxs[e]] = vals[e] for every entry of
// idxs.
void scatter_params(Vec<i32> idxs, Vec<f64> param_value, Vec<f64> vals) {
  const i32 n = idxs.n32();
  for (i32 e = 0; e < n; ++e) param_value[idxs[e]] = vals[e];
}
FRAG_KERNEL(102, "OOO", scatter_params, "idxs param_value vals");

// Reads parameter values: res[e] = param_value[idxs[e]] for every entry of
// idxs.
void gather_params(Vec<i32> idxs, Vec<f64> param_value, Vec<f64> res) {
  const i32 n = idxs.n32();
  for (i32 e = 0; e < n; ++e) res[e] = param_value[idxs[e]];
}
FRAG_KERNEL(101, "OOO", gather_params, "idxs param_value res");

// ---------------------------------------------------------------- odometers

// Advances the last digit of `ndidx` (one digit per element) and, when it
// reaches its bound, wraps it to its first value and increments the digit
// before it; that digit is not compared with its bound (the caller carries
// further). An empty index has no digit to advance. The wrap happens at most
// once: for a valid range (first < last) one wrap always brings the digit back
// in range, and an empty range must not spin forever.
void step_index(Vec<i32> first, Vec<i32> last, Required<Vec<i32>> ndidx) {
  const std::ptrdiff_t d = ndidx.count;
  if (d < 1) return;
  const std::ptrdiff_t t = d - 1;
  ndidx[t] = add32(ndidx[t], 1);
  if (d >= 2 && ndidx[t] >= last[t]) {
    ndidx[t] = first[t];
    ndidx[t - 1] = add32(ndidx[t - 1], 1);
  }
}
FRAG_KERNEL(112, "OOO", step_index, "first last ndidx");

// Advances a reversed multi-index by one: ii[l] is the digit of dimension
// d - 1 - l, dims and strides are in natural order. st[l] is the running
// offset of the digits at levels l and above; after a carry up to level l the
// lower levels restart from st[l]. The top digit is not compared with its
// bound: reaching dims[0] there ends the traversal.
void step_reversed(Vec<i32> dims, Vec<i32> ii, i32 d, Vec<i64> st, Vec<i64> strides) {
  if (d < 1) return;  // no dimensions: no digit to advance
  ii[0] = add32(ii[0], 1);
  st[0] = add64(st[0], strides[d - 1]);
  if (d < 2) return;
  i32 l = 0;
  while (ii[l] == dims[d - 1 - l]) {
    ii[l] = 0;
    ii[l + 1] = add32(ii[l + 1], 1);
    ++l;
    st[l] = add64(st[l], strides[d - 1 - l]);
    if (l == d - 1) break;
  }
  for (i32 k = 0; k < l; ++k) st[k] = st[l];
}
FRAG_KERNEL(108, "OOiOO", step_reversed, "dims ii st strides");

}  // namespace
}  // namespace frag
