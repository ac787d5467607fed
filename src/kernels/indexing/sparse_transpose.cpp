// Sparse index sets given as multi-index tables, turned into patterns of
// linear positions. One row per stored element, one column per axis; the
// position of a row is the sum of its indices times the strides. With the
// strides of a transposed shape (columns taken as the old axes, strides of
// the new layout per old axis) the positions are those of the transposed
// object; sorted through the permutation that the radix passes leave, they
// form its ascending pattern.
#include <cstddef>

#include "kernels/indexing/index_arith.hpp"

namespace frag {
namespace {

// Position of row r of a table over nd axes, each product widened to 64 bits.
template <class S>
inline i64 row_position(const Mat<i32>& m, i64 r, i32 nd, const S& strides) FRAG_NOEXCEPT {
  return indexing::offset64(0, indexing::TableRow{m, r}, strides, nd);
}

// The pattern of a sorted multi-index table: sparsity[k] = the position of
// row curperm[k] of midxs, sum over t < nd of midxs[curperm[k], t] *
// strides[t], for k < n. curperm is the order the radix passes leave (row
// numbers, rows in ascending order of their new positions); strides may be
// those of a transposed layout, per column. n: number of rows; nd: number of
// axes.
void sorted_table_pattern(Vec<i32> curperm, Mat<i32> midxs, i32 n, i32 nd, Vec<i64> sparsity, Vec<i32> strides) {
  for (i32 k = 0; k < n; ++k) sparsity[k] = row_position(midxs, curperm[k], nd, strides);
}
FRAG_KERNEL(68, "OOiiOO", sorted_table_pattern, "curperm midxs sparsity strides");
FRAG_KERNEL(55, "OOiiOO", sorted_table_pattern, "curperm midxs sparsity strides");

// Checked positions of a multi-index table: f stays true while every entry
// lies in its axis, 0 <= sp[r, t] < shape[t]. For every row r of sp,
// sparsity[r] = sum over t < nd of sp[r, t] * strides[t] (rows out of range
// are written too; the false result tells the host to refuse them). f: the
// running validity flag; nd: number of axes. Returns the final flag.
bool checked_table_pattern(bool f, i32 nd, Vec<i32> shape, Mat<i32> sp, Vec<i64> sparsity, Vec<i32> strides) {
  for (i32 r = 0; r < sp.rows; ++r) {
    for (i32 t = 0; t < nd; ++t) {
      const i32 v = sp(r, t);
      if (v < 0 || v >= shape[t]) f = false;
    }
    sparsity[r] = row_position(sp, r, nd, strides);
  }
  return f;
}
FRAG_KERNEL(64, "piOOOO", checked_table_pattern, "shape sp sparsity strides");
FRAG_KERNEL(51, "piOOOO", checked_table_pattern, "shape sp sparsity strides");

// Positions of the first n rows of a multi-index table with 64-bit strides:
// sp[k] = sum over t < nd of sparsity[k, t] * strides[t]. n: number of rows;
// nd: number of axes.
void table_pattern(i32 n, i32 nd, Vec<i64> sp, Mat<i32> sparsity, Vec<i64> strides) {
  for (i32 k = 0; k < n; ++k) sp[k] = row_position(sparsity, k, nd, strides);
}
FRAG_KERNEL(44, "iiOOO", table_pattern, "sp sparsity strides");

}  // namespace
}  // namespace frag
