// Dense blocks, index runs and stride tables: a dense matrix taken apart into
// triplets or a flat value vector, runs of consecutive indices (the identity
// pieces of a permutation), row-major strides, products, and the linear
// positions of a sparsity pattern given as a table of multi-indices.
#include <tuple>

#include "module/kernel.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

// Every element of the rows of mx times its first n columns as a triplet at
// positions k, k + 1, ..., rows outer, zeros included.
void dense_to_triplets(i32 k, i32 n, Vec<i32> msubi, Vec<i32> msubj, Vec<f64> mval, Mat<f64> mx) {
  const i32 m = mx.rows;
  if (m <= 0 || n <= 0) return;
  std::ptrdiff_t pos = k;
  for (i32 i = 0; i < m; ++i)
    for (i32 j = 0; j < n; ++j, ++pos) {
      msubi[pos] = i;
      msubj[pos] = j;
      mval[pos] = mx(i, j);
    }
}
FRAG_KERNEL(592, "iiOOOO", dense_to_triplets, "msubi msubj mval mx");
FRAG_KERNEL(591, "iiOOOO", dense_to_triplets, "msubi msubj mval mx");
FRAG_KERNEL(589, "iiOOOO", dense_to_triplets, "msubi msubj mval mx");

// The same block as a row-major value vector from position k.
void dense_to_values(i32 k, i32 n, Vec<f64> mval, Mat<f64> mx) {
  const i32 m = mx.rows;
  if (m <= 0 || n <= 0) return;
  for (i32 i = 0; i < m; ++i) {
    const std::ptrdiff_t row = k + static_cast<std::ptrdiff_t>(i) * n;
    for (i32 j = 0; j < n; ++j) mval[row + j] = mx(i, j);
  }
}
FRAG_KERNEL(590, "iiOO", dense_to_values, "mval mx");

// ----------------------------------------------------------------- index runs

// dims copied into perm from position k; returns the position after it.
i32 append_list(Vec<i32> dims, i32 k, Vec<i32> perm) {
  const std::ptrdiff_t n = dims.count;
  for (std::ptrdiff_t j = 0; j < n; ++j) perm[k + j] = dims[j];
  return add32(k, dims.n32());
}
FRAG_KERNEL(588, "OiO", append_list, "dims perm");

// The values a, a + 1, ..., b - 1 at positions k, k + 1, ...
std::tuple<i32, i32> append_run(i32 a, i32 k, i32 b, Vec<i32> perm) {
  while (a < b) {
    perm[k] = a;
    a = add32(a, 1);
    k = add32(k, 1);
  }
  return {a, k};
}
FRAG_KERNEL(587, "iiiO", append_run, "perm");

// Runs up to each bound of dims in turn; the value carries over, so a bound
// not above the current value adds nothing.
std::tuple<i32, i32> append_runs(Vec<i32> dims, i32 a, i32 k, Vec<i32> perm) {
  const std::ptrdiff_t n = dims.count;
  for (std::ptrdiff_t j = 0; j < n; ++j) std::tie(a, k) = append_run(a, k, dims[j], perm);
  return {a, k};
}
FRAG_KERNEL(586, "OiiO", append_runs, "dims perm");

// -------------------------------------------------------------- stride tables

// Row-major strides, s[n-1] being the caller's; 64-bit products. The counter
// starts from n - 2 taken in 64 bits, so any n below 2 writes nothing.
void strides64(i32 n, Vec<i64> s, Vec<i32> shp) { extents::rowmajor_strides(shp, s, n); }
FRAG_KERNEL(584, "iOO", strides64, "s shp");
FRAG_KERNEL(582, "iOO", strides64, "s shp");

// p times every element of vals, 32-bit wrap.
i32 product32(i32 p, Vec<i32> vals) { return extents::product(p, vals, 0, vals.count - 1); }
FRAG_KERNEL(581, "iO", product32, "vals");

// Linear positions of a sparsity pattern given as a table of multi-indices:
//   reads  every row r of sparsity (one stored element per row) in its first
//          nd columns, and the strides s[0 .. nd-1] of the shape;
//   writes sp[k + r] = sparsity[r, 0] * s[0] + ... + sparsity[r, nd-1] * s[nd-1],
//          summed in 64-bit arithmetic and stored as its low 32 bits;
//   returns nothing: the caller advances its position by the row count.
// With row-major strides this is the row-major position of each multi-index.
void pattern_positions(i32 k, i32 nd, Vec<i64> s, Vec<i32> sp, Mat<i32> sparsity) {
  const i32 m = sparsity.rows;
  for (i32 r = 0; r < m; ++r) {
    i64 acc = 0;
    for (i32 t = 0; t < nd; ++t) acc = add64(acc, mul64(static_cast<i64>(sparsity(r, t)), s[t]));
    sp[static_cast<std::ptrdiff_t>(k) + r] = low32(acc);
  }
}
FRAG_KERNEL(585, "iiOOO", pattern_positions, "s sp sparsity");
FRAG_KERNEL(583, "iiOOO", pattern_positions, "s sp sparsity");

}  // namespace
}  // namespace frag
