// Shape padding (bringing shapes to a common number of dimensions by trailing
// extents of 1) and the four passes that build int64 row pointers from int64
// row keys: count, prefix, scatter, shift back.
#include <tuple>

#include "module/kernel.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

// ---------------------------------------------------------------- shapes

// Sets shape[start .. end - 1] to 1, padding a shape with unit extents.
void fill_ones(i32 end, i32 start, Vec<i32> shape) {
  for (i32 k = start; k < end; ++k) shape[k] = 1;
}
FRAG_KERNEL(612, "iiO", fill_ones, "shape");
FRAG_KERNEL(610, "iiO", fill_ones, "shape");

// Copies the first n extents of sh into shape.
void copy_extents(i32 n, Vec<i32> sh, Vec<i32> shape) { extents::copy_first(shape, sh, n); }
FRAG_KERNEL(611, "iOO", copy_extents, "sh shape");
FRAG_KERNEL(609, "iOO", copy_extents, "sh shape");

// Copies the whole shape s (its length from the buffer) into shape.
void copy_shape(Vec<i32> s, Vec<i32> shape) { copy_extents(s.n32(), s, shape); }
FRAG_KERNEL(600, "OO", copy_shape, "s shape");

// Pads a shape of m = len(s) dimensions to d with trailing ones.
void pad_shape(i32 d, Vec<i32> s, Vec<i32> shape) { fill_ones(d, s.n32(), shape); }
FRAG_KERNEL(601, "iOO", pad_shape, "s shape");

// The same two steps on one row of a table of shapes.
void copy_shape_row(i32 row, Mat<i32> shapes, Vec<i32> shp) {
  const i32 m = shp.n32();
  for (i32 k = 0; k < m; ++k) shapes(row, k) = shp[k];
}
FRAG_KERNEL(602, "iOO", copy_shape_row, "shapes shp");

// Pads row `row` of shapes with unit extents from column len(shp) up to d - 1.
void pad_shape_row(i32 row, i32 d, Mat<i32> shapes, Vec<i32> shp) {
  for (i32 k = shp.n32(); k < d; ++k) shapes(row, k) = 1;
}
FRAG_KERNEL(603, "iiOO", pad_shape_row, "shapes shp");

// p times the first n extents, wrapping in 32 bits.
i32 size32(i32 n, Vec<i32> shape, i32 p) { return extents::product(p, shape, 0, i64{n} - 1); }
FRAG_KERNEL(604, "iOi", size32, "shape");
FRAG_KERNEL(206, "iOi", size32, "shape");

// Running maximum and minimum over nds[1 .. n - 1]; the caller seeds both
// from nds[0].
std::tuple<i32, i32> dim_count_extremes(i32 hi, i32 lo, i32 n, Vec<i32> nds) {
  for (i32 k = 1; k < n; ++k) {
    const i32 v = nds[k];
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  return {hi, lo};
}
FRAG_KERNEL(599, "iiiO", dim_count_extremes, "nds");

// ----------------------------------------------------- row pointers by key

// Slot r + 1 counts the entries of row r.
void count_rows(Vec<i64> ii, i32 n, Vec<i64> ptrb) {
  for (i32 k = 0; k < n; ++k) ptrb[ii[k] + 1] += 1;
}
FRAG_KERNEL(605, "OiO", count_rows, "ii ptrb");

// Slot r becomes the start of row r.
void prefix_rows(Vec<i64> ptrb, i32 n) {
  for (i32 k = 1; k <= n; ++k) ptrb[k] = add64(ptrb[k], ptrb[k - 1]);
}
FRAG_KERNEL(606, "Oi", prefix_rows, "ptrb");

// Places each payload at its row's cursor, which then advances; entries of a
// row keep their input order. Afterwards slot r holds the end of row r.
void scatter_rows(Vec<i64> idxs, Vec<i64> ii, i32 n, Vec<i64> ptrb, Vec<i64> subj) {
  for (i32 k = 0; k < n; ++k) {
    const i64 r = ii[k];
    const i64 q = ptrb[r];
    subj[q] = idxs[k];
    ptrb[r] = q + 1;
  }
}
FRAG_KERNEL(607, "OOiOO", scatter_rows, "idxs ii ptrb subj");

// Moves slots 0 .. n - 1 up by one, from the top down; slot 0 is the caller's.
void shift_rows(Vec<i64> ptrb, i32 n) {
  for (i32 k = n; k >= 1; --k) ptrb[k] = ptrb[k - 1];
}
FRAG_KERNEL(608, "Oi", shift_rows, "ptrb");

}  // namespace
}  // namespace frag
