// Sparse triplet kernels: moving matrices between dense storage and
// (row, column, value) triplets, dropping zeros, validating and summarising
// index sets, row pointers from row-sorted triplets, transposed block copies.
#include <tuple>

#include "module/kernel.hpp"

namespace frag {
namespace {

// A value counts as nonzero when it compares below or above zero; NaN and
// both signed zeros count as zero.
inline bool nonzero(f64 v) { return v < 0.0 || v > 0.0; }

// ------------------------------------------------------------ densify

// r[subi[e] * ncols + subj[e]] = val[e] over every entry of subi; a later
// entry at the same position overwrites an earlier one.
void densify(i32 ncols, Vec<f64> r, Vec<i32> subi, Vec<i32> subj, Vec<f64> val) {
  const i32 n = subi.n32();
  for (i32 e = 0; e < n; ++e) r[i64{subi[e]} * ncols + subj[e]] = val[e];
}
FRAG_KERNEL(649, "iOOOO", densify, "r subi subj val");

// ------------------------------------------------------- row pointers

// Entries k .. end - 1 are sorted by row: every row r < m gets the position
// where its run begins, and the scan moves past the run. ptrb[m] is the
// caller's.
i64 row_starts(i32 m, i64 end, i64 k, Vec<i64> ptrb, Vec<i32> subi) {
  for (i32 r = 0; r < m; ++r) {
    ptrb[r] = k;
    while (k < end && subi[k] == r) ++k;
  }
  return k;
}
FRAG_KERNEL(648, "iLLOO", row_starts, "ptrb subi");

// ------------------------------------------------------ zero handling

// Appends the nonzero source entries, in order, from destination position c.
i32 compact_nonzeros(i32 c, Vec<i32> subi, Vec<i32> subi_, Vec<i32> subj, Vec<i32> subj_, Vec<f64> val,
                     Vec<f64> val_) {
  const i32 n = val_.n32();
  for (i32 e = 0; e < n; ++e) {
    const f64 v = val_[e];
    if (!nonzero(v)) continue;
    val[c] = v;
    subi[c] = subi_[e];
    subj[c] = subj_[e];
    c = add32(c, 1);
  }
  return c;
}
FRAG_KERNEL(647, "iOOOOOO", compact_nonzeros, "subi subi_ subj subj_ val val_");

// count plus the number of nonzero entries of val_ (NaN and both zeros count
// as zero); returns it.
i32 count_nonzeros(i32 count, Vec<f64> val_) {
  const i32 n = val_.n32();
  for (i32 e = 0; e < n; ++e) count = add32(count, nonzero(val_[e]) ? 1 : 0);
  return count;
}
FRAG_KERNEL(646, "iO", count_nonzeros, "val_");

// ------------------------------------------------------ index checks

// Sets the flag when an entry below nnz lies outside the m x n matrix.
bool indices_out_of_range(i32 m, i32 n, i64 nnz, bool flag, Vec<i32> subi_, Vec<i32> subj_) {
  for (i64 e = 0; e < nnz; ++e) {
    const i32 i = subi_[e], j = subj_[e];
    if (i < 0 || i >= m)
      flag = true;
    else if (j < 0 || j >= n)
      flag = true;
  }
  return flag;
}
FRAG_KERNEL(645, "iiLpOO", indices_out_of_range, "subi_ subj_");

// Largest row and column index of the first n entries, from running values.
std::tuple<i32, i32> index_maxima(i32 rmax, i32 cmax, i32 n, Vec<i32> subi, Vec<i32> subj) {
  for (i32 e = 0; e < n; ++e) {
    if (subi[e] > rmax) rmax = subi[e];
    if (subj[e] > cmax) cmax = subj[e];
  }
  return {rmax, cmax};
}
FRAG_KERNEL(642, "iiiOO", index_maxima, "subi subj");
FRAG_KERNEL(641, "iiiOO", index_maxima, "subi subj");

// ------------------------------------------------- dense <-> triplets

// Every (i, j) of an m x n block, rows outer, written from position k.
i32 dense_pattern(i32 m, i32 n, i32 k, Vec<i32> subi, Vec<i32> subj) {
  if (m <= 0 || n <= 0) return k;
  for (i32 i = 0; i < m; ++i)
    for (i32 j = 0; j < n; ++j) {
      subi[k] = i;
      subj[k] = j;
      k = add32(k, 1);
    }
  return k;
}
FRAG_KERNEL(644, "iiiOO", dense_pattern, "subi subj");

// The m x n row-major block at data[k ..] goes to newdata column-major with
// leading dimension ld.
i32 transpose_block(Vec<f64> data, i32 m, i32 n, Vec<f64> newdata, i32 k, i32 ld) {
  if (m <= 0 || n <= 0) return k;
  for (i32 r = 0; r < m; ++r) {
    const i64 src = i64{k} + i64{r} * n;
    for (i32 c = 0; c < n; ++c) newdata[r + i64{c} * ld] = data[src + c];
  }
  return add32(k, mul32(m, n));
}
FRAG_KERNEL(643, "OiiOii", transpose_block, "data newdata");

// Every element of the m x n block of data, zeros included, as triplets from
// position k, rows outer.
i32 dense_to_triplets(Mat<f64> data, i32 m, i32 n, i32 k, Vec<i32> subi, Vec<i32> subj, Vec<f64> val) {
  if (m <= 0 || n <= 0) return k;
  for (i32 i = 0; i < m; ++i)
    for (i32 j = 0; j < n; ++j) {
      subi[k] = i;
      subj[k] = j;
      val[k] = data(i, j);
      k = add32(k, 1);
    }
  return k;
}
FRAG_KERNEL(640, "OiiiOOO", dense_to_triplets, "data subi subj val");

// ------------------------------------------------------------ sizes

// s + dims[0] + ... + dims[n - 1].
i32 sum_dims(i32 s, Vec<i32> dims, i32 n) {
  for (i32 k = 0; k < n; ++k) s = add32(s, dims[k]);
  return s;
}
FRAG_KERNEL(639, "iOi", sum_dims, "jdims");
FRAG_KERNEL(638, "iOi", sum_dims, "idims");

// ------------------------------------------------------ index pairs

// (msubi[k] + a, msubi[k] + b) for k < n, written from position offset.
void shifted_pairs(i64 n, i64 offset, Vec<i32> msubi, i32 a, i32 b, Vec<i32> subi, Vec<i32> subj) {
  for (i64 k = 0; k < n; ++k) {
    const i32 v = msubi[k];
    subi[offset + k] = add32(v, a);
    subj[offset + k] = add32(v, b);
  }
}
FRAG_KERNEL(637, "LLOiiOO", shifted_pairs, "msubi subi subj");

}  // namespace
}  // namespace frag
