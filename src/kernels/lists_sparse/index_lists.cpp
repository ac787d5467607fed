// Index lists, counters and stride tables: fills and copies of the native
// index lists of variables (nidxs) and of their sparsity patterns (sp, the
// row-major linear positions of the stored elements), range and bucket
// counts, int32 row-pointer passes, identity permutations, bounds checks,
// row-major strides and sizes, and the slicing, picking, transposing and
// stacking passes over those lists.
#include <tuple>

#include "kernels/stack_eval/stack_layout.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

using stack::Run;

// --------------------------------------------------------- fills and copies

// Sets the first n entries of vals to v.
void fill_f64(i64 n, Vec<f64> vals, f64 v) {
  for (i64 k = 0; k < n; ++k) vals[k] = v;
}
FRAG_KERNEL(336, "LOd", fill_f64, "vals");

// nidxs holds 32-bit native indices (of variable or constraint elements);
// every entry, negative ones included, is copied as it is.
void copy_at(Vec<i32> dst, Vec<i32> nidxs, i32 offset) {
  const std::ptrdiff_t n = nidxs.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) dst[offset + k] = nidxs[k];
}
FRAG_KERNEL(332, "OOi", copy_at, "dst nidxs");

// Writes the identity permutation perm[k] = k for k < n.
void identity(Vec<i32> perm, i32 n) {
  for (i32 k = 0; k < n; ++k) perm[k] = k;
}
FRAG_KERNEL(304, "Oi", identity, "perm");

// A list of indices along the only axis as a one-column multi-index table:
// idxs[r, 0] = indexes[r] for every row r of idxs.
void indexes_to_column(Mat<i32> idxs, Vec<i32> indexes) {
  const i32 m = idxs.rows;
  for (i32 r = 0; r < m; ++r) idxs(r, 0) = indexes[r];
}
FRAG_KERNEL(338, "OO", indexes_to_column, "idxs indexes");
FRAG_KERNEL(337, "OO", indexes_to_column, "idxs indexes");

// A variable's native indices spread to full size: dest[sp[k] + offset] =
// nidxs[k] for every stored element k. nidxs holds 32-bit native indices;
// every entry, negative ones included, is copied as it is (the kernel never
// indexes with it). Positions outside the pattern keep what the caller put
// there.
void spread_nidxs(Vec<i32> dest, Vec<i32> nidxs, i32 offset, Vec<i64> sp) {
  const std::ptrdiff_t n = sp.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) dest[sp[k] + offset] = nidxs[k];
}
FRAG_KERNEL(320, "OOiO", spread_nidxs, "dest nidxs sp");

// Values of elements from a solution vector, at full size:
//   cvals[p] = values[nidxs[k]] for every element k of nidxs with
//   nidxs[k] >= 0, where p is the element's position sp[k] for a sparse
//   list, or k itself when sp is None (a dense list holds every element in
//   row-major order).
// nidxs holds 32-bit native indices of constraint elements: an entry j >= 0
// is linear row j, whose value is values[j]; a negative entry is an element
// of an affine conic constraint, whose value lives elsewhere, so it is not
// read from values and its position in cvals keeps what the caller put there.
void element_values(Vec<f64> cvals, Vec<i32> nidxs, Vec<i64> sp, Vec<f64> values) {
  const std::ptrdiff_t n = nidxs.count;
  const bool dense = sp.is_none();
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i32 j = nidxs[k];
    if (j >= 0) cvals[dense ? k : sp[k]] = values[j];
  }
}
FRAG_KERNEL(335, "OOOO", element_values, "cvals nidxs sp values");

// A two-axis value matrix read at the positions of a pattern:
//   vals[k] = values2[sp[k] div c, sp[k] mod c] for every element k of sp
//   (64-bit signed division), c being the matrix's own column count (its
//   second extent); shape is not read. A matrix without columns has no
//   positions and writes nothing.
void matrix_at_pattern(Vec<i32>, Vec<i64> sp, Vec<f64> vals, Mat<f64> values2) {
  const std::ptrdiff_t n = sp.count;
  const i64 ncols = values2.cols;
  if (n <= 0 || ncols <= 0) return;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i64 x = sp[k];
    vals[k] = values2(x / ncols, x % ncols);
  }
}
FRAG_KERNEL(333, "OOOO", matrix_at_pattern, "shape sp vals values2");

// The nonzero entries of a two-axis value matrix as a pattern with values:
//   for every (i, j) of values2, rows outer, whose value is not equal to 0.0:
//   sp[c] = i * n + j (64-bit, n the matrix's own column count, its second
//   extent; shape is not read), vals[c] = the value, c += 1;
//   returns the final c.
// A value is nonzero by the rule constant expressions use: NaN is kept as a
// value, -0.0 is zero. matrix_at_pattern on the written sp gives back vals.
i32 matrix_nonzeros(i32 c, Vec<i32>, Vec<i64> sp, Vec<f64> vals, Mat<f64> values2) {
  const i32 m = values2.rows, n = values2.cols;
  if (m <= 0 || n <= 0) return c;
  for (i32 i = 0; i < m; ++i)
    for (i32 j = 0; j < n; ++j) {
      const f64 v = values2(i, j);
      if (v != 0.0) {
        sp[c] = add64(mul64(i, n), j);
        vals[c] = v;
        c = add32(c, 1);
      }
    }
  return c;
}
FRAG_KERNEL(334, "iOOOO", matrix_nonzeros, "shape sp vals values2");

// A variable as a stacked expression on the R stack, one term per element:
//   ri32[shape_pos + t] = shape[t] for every element t of shape;
//   ri32[ptr_pos + e]   = e for e = 0 .. n (nothing when n < 0);
//   ri64[idx_pos + e]   = nidxs[e], rf64[cof_pos + e] = 1.0 for e < n;
//   ri64[sp_pos + e]    = sp[e] for every element e of sp (a sparse variable;
//                         a dense one passes None and gets no sparsity block).
// nidxs holds the variable's native indices in 32 bits; each is sign-extended
// into the 64-bit variable index, so a negative entry (a semidefinite element)
// stays negative. Indices that need more than 32 bits cannot come this way.
void variable_expression(Vec<i32> nidxs, i32 n, i32 cof_pos, Vec<f64> rf64, i32 shape_pos,
                         i32 ptr_pos, Vec<i32> ri32, i32 idx_pos, i32 sp_pos, Vec<i64> ri64,
                         Vec<i32> shape, Vec<i64> sp) {
  Run<i32> rshape(ri32, shape_pos), ptr(ri32, ptr_pos);
  Run<i64> idx(ri64, idx_pos), rsp(ri64, sp_pos);
  Run<f64> cof(rf64, cof_pos);
  const std::ptrdiff_t nd = shape.count, nsp = sp.count;
  for (std::ptrdiff_t t = 0; t < nd; ++t) rshape[t] = shape[t];
  for (i32 e = 0; e < n; ++e) {
    ptr[e] = e;
    idx[e] = nidxs[e];
    cof[e] = 1.0;
  }
  if (n >= 0) ptr[n] = n;
  for (std::ptrdiff_t e = 0; e < nsp; ++e) rsp[e] = sp[e];
}
FRAG_KERNEL(319, "OiiOiiOiiOOO", variable_expression, "nidxs rf64 ri32 ri64 shape sp");

// ------------------------------------------------------- counts and scans

// count plus the number of positions lo <= sp[k] < hi.
i32 count_in_range(i32 count, Vec<i64> sp, i32 lo, i32 hi) {
  const std::ptrdiff_t n = sp.count;
  const i64 l = lo, h = hi;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i64 x = sp[k];
    if (l <= x && x < h) count = add32(count, 1);
  }
  return count;
}
FRAG_KERNEL(330, "iOii", count_in_range, "sp");

// The fill pass after count_in_range: a one-axis slice lo .. hi-1 of a sparse
// variable. For every stored element k with lo <= sp[k] < hi, in order:
//   rsp[c] = sp[k] - lo, rnidxs[c] = nidxs[k], c += 1;
// returns the final c.
i32 slice_range(i32 c, Vec<i32> nidxs, Vec<i32> rnidxs, Vec<i64> rsp, Vec<i64> sp, i32 lo, i32 hi) {
  const std::ptrdiff_t n = sp.count;
  const i64 l = lo, h = hi;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i64 x = sp[k];
    if (l <= x && x < h) {
      rsp[c] = x - l;
      rnidxs[c] = nidxs[k];
      c = add32(c, 1);
    }
  }
  return c;
}
FRAG_KERNEL(331, "iOOOOii", slice_range, "nidxs rnidxs rsp sp");

// Cursor scans over an ascending pattern: from position k, the first position
// at or after k whose entry is not below x (the element count of sp when
// there is none). A cursor already at or past the end comes back unchanged,
// so the cursor never moves back. The host chains calls with ascending
// targets, carrying the cursor.
i32 scan_to(i32 k, i64 x, Vec<i64> sp) {
  const i32 n = sp.n32();
  while (k < n && sp[k] < x) ++k;
  return k;
}
// Advances the cursor k over the ascending pattern sp to the first position
// whose entry is not below the 32-bit target x; returns the cursor.
i32 scan_to32(i32 k, i32 x, Vec<i64> sp) { return scan_to(k, x, sp); }
// Advances the cursor k over the ascending pattern sp to the first position
// whose entry is not below the 64-bit target x; returns the cursor.
i32 scan_to64(i64 x, i32 k, Vec<i64> sp) { return scan_to(k, x, sp); }
FRAG_KERNEL(318, "iiO", scan_to32, "sp");
FRAG_KERNEL(317, "LiO", scan_to64, "sp");

// ---------------------------------------------------- buckets and transposes

// Bucket of each position: its signed remainder modulo m, counted in slot
// bucket + 1. A divisor of 0 has no buckets and counts nothing.
void bucket_count(i32 m, Vec<i32> ptr, Vec<i64> sp) {
  if (m == 0) return;
  const std::ptrdiff_t n = sp.count;
  const i64 mm = m;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const std::ptrdiff_t b = sp[k] % mm + 1;
    ptr[b] = add32(ptr[b], 1);
  }
}
FRAG_KERNEL(327, "iOO", bucket_count, "ptr sp");

// Distribution pass of the transpose of a two-axis sparse variable with nrows
// rows and m columns, after bucket_count and the prefix pass with n = m (ptr[b]
// then is the first output position of column b). For every stored element k
// in pattern order:
//   column b = sp[k] mod m, row = sp[k] div m, q = ptr[b];
//   tsp[q] = b * nrows + row (its position in the m x nrows transpose),
//   tnidxs[q] = nidxs[k], ptr[b] = q + 1.
// An ascending pattern gives an ascending tsp; afterwards ptr[b] is the end of
// column b. A divisor of 0 does nothing.
void transpose_distribute(i32 m, i32 nrows, Vec<i32> nidxs, Vec<i32> ptr, Vec<i64> sp,
                          Vec<i32> tnidxs, Vec<i64> tsp) {
  if (m == 0) return;
  const std::ptrdiff_t n = sp.count;
  const i64 mm = m, rows = nrows;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i64 x = sp[k];
    const i64 b = x % mm;
    const i32 q = ptr[b];
    tsp[q] = add64(mul64(b, rows), x / mm);
    tnidxs[q] = nidxs[k];
    ptr[b] = add32(q, 1);
  }
}
FRAG_KERNEL(329, "iiOOOOO", transpose_distribute, "nidxs ptr sp tnidxs tsp");

// ------------------------------------------------------ row-pointer passes

// Running sums over a counter run: ptr[k] += ptr[k - 1] for k = 1 .. n.
void prefix(i32 n, Vec<i32> ptr) {
  for (i32 k = 1; k <= n; ++k) ptr[k] = add32(ptr[k], ptr[k - 1]);
}
FRAG_KERNEL(328, "iO", prefix, "ptr");
FRAG_KERNEL(307, "iO", prefix, "ptr");

// Zeroes the n + 1 entries ptr[0 .. n] of a row pointer or counter run.
void zero_n1(i32 n, Vec<i32> ptr) {
  for (i32 k = 0; k <= n; ++k) ptr[k] = 0;
}
FRAG_KERNEL(305, "iO", zero_n1, "ptr");

// Digit of a pattern position along axis a of rshape (strides rstrides).
inline i32 digit(i64 x, i32 a, Vec<i32> rshape, Vec<i64> rstrides) {
  return static_cast<i32>(irem(idiv(x, rstrides[a]), static_cast<i64>(rshape[a])));
}

// Counting pass of one radix pass on axis a over n stored elements (ptr
// cleared with zero_n1 for rshape[a] buckets first): ptr[digit(sp[k]) + 1] += 1.
void radix_count(i32 a, Vec<i32> ptr, i32 n, Vec<i32> rshape, Vec<i64> rstrides, Vec<i64> sp) {
  for (i32 k = 0; k < n; ++k) {
    const i32 d = digit(sp[k], a, rshape, rstrides) + 1;
    ptr[d] = add32(ptr[d], 1);
  }
}
FRAG_KERNEL(306, "iOiOOO", radix_count, "ptr rshape rstrides sp");

// Distribution pass after the prefix pass: for k < n in the order of perm,
// e = perm[k] goes to perm2[ptr[digit(sp[e])]], which then advances. Equal
// digits keep their order in perm (the pass is stable); perm2 becomes the
// next pass's perm.
void radix_distribute(Vec<i32> perm, i32 a, Vec<i32> perm2, Vec<i32> ptr, i32 n, Vec<i32> rshape,
                      Vec<i64> rstrides, Vec<i64> sp) {
  for (i32 k = 0; k < n; ++k) {
    const i32 e = perm[k];
    const i32 d = digit(sp[e], a, rshape, rstrides);
    const i32 q = ptr[d];
    perm2[q] = e;
    ptr[d] = add32(q, 1);
  }
}
FRAG_KERNEL(308, "OiOOiOOO", radix_distribute, "perm perm2 ptr rshape rstrides sp");

// ------------------------------------------------------------ bounds checks

// Sets the flag when some index is negative or not below shape[0].
bool check_indices(Vec<i32> idxs, bool flag, Vec<i32> shape) {
  const std::ptrdiff_t n = idxs.count;
  if (n <= 0) return flag;
  const i32 dim = shape[0];
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i32 v = idxs[k];
    if (v < 0 || v >= dim) flag = true;
  }
  return flag;
}
FRAG_KERNEL(314, "OpO", check_indices, "idxs shape");

// Sets the flag when some entry midxs[r, t] (all rows, all columns) is
// negative or not below shape[t]; a flag passed in set stays set. This is a
// problem flag: _c_closure_174, with the same arguments, keeps a validity
// flag instead and clears it on the same entries.
bool check_multi_indices(bool flag, Mat<i32> midxs, Vec<i32> shape) {
  return extents::flag_outside(midxs, shape, flag);
}
FRAG_KERNEL(309, "pOO", check_multi_indices, "midxs shape");

// ------------------------------------------------------- strides and sizes

// Row-major strides, the last one the caller's; 64-bit products. The counter
// starts from n - 2 taken in 64 bits, so any n below 2 writes nothing.
void strides64(i32 n, Vec<i32> shape, Vec<i64> strides) { extents::rowmajor_strides(shape, strides, n); }
FRAG_KERNEL(325, "iOO", strides64, "rshape rstride");
FRAG_KERNEL(321, "iOO", strides64, "shape stride");
FRAG_KERNEL(310, "iOO", strides64, "shape strides");
FRAG_KERNEL(303, "iOO", strides64, "rshape rstrides");

// p times the first n extents of rshape, wrapping in 32 bits; returns the
// size.
i32 size32(i32 p, i32 n, Vec<i32> rshape) { return extents::product(p, rshape, 0, i64{n} - 1); }
FRAG_KERNEL(322, "iiO", size32, "rshape");

// The running maximum mx over rshape[1 .. n - 1] (entry 0 is not read);
// returns it.
i32 max_extent(i32 mx, i32 n, Vec<i32> rshape) {
  for (i32 k = 1; k < n; ++k)
    if (rshape[k] > mx) mx = rshape[k];
  return mx;
}
FRAG_KERNEL(302, "iiO", max_extent, "rshape");

// p times rshape[0 .. n-1] (the elements before axis n), 64-bit.
i64 size64_head(i32 n, i64 p, Vec<i32> rshape) { return extents::product(p, rshape, 0, i64{n} - 1); }
FRAG_KERNEL(299, "iLO", size64_head, "rshape");

// p times the extents strictly between axes a and e, rshape[a+1 .. e-1]
// (with e = the axis count: the elements after axis a), 64-bit.
i64 size64_between(i32 a, i64 p, i32 e, Vec<i32> rshape) {
  return extents::product(p, rshape, i64{a} + 1, i64{e} - 1);
}
FRAG_KERNEL(300, "iLiO", size64_between, "rshape");

// Row-major linear index of one multi-index by Horner's rule:
// a = a * shape[t] + indexes[t] for t < n (start from a = 0), 64-bit.
i64 linear_index(Vec<i32> indexes, i64 a, i32 n, Vec<i32> shape) {
  for (i32 t = 0; t < n; ++t) a = add64(mul64(a, static_cast<i64>(shape[t])), static_cast<i64>(indexes[t]));
  return a;
}
FRAG_KERNEL(316, "OLiO", linear_index, "indexes shape");
FRAG_KERNEL(315, "OLiO", linear_index, "indexes shape");

// a + midxs[r, 0] * strides[0] + ... + midxs[r, nd-1] * strides[nd-1]: the
// linear position of row r of a multi-index table, 64-bit.
i64 row_position(i32 r, i64 a, Mat<i32> midxs, i32 nd, Vec<i64> strides) {
  for (i32 t = 0; t < nd; ++t) a = add64(a, mul64(static_cast<i64>(midxs(r, t)), strides[t]));
  return a;
}
FRAG_KERNEL(313, "iLOiO", row_position, "midxs strides");
FRAG_KERNEL(312, "iLOiO", row_position, "midxs strides");

// Picks from a dense variable: for every row r of midxs, idxs[r] = the native
// index nidxs[p] of the element at p = the row's linear position under
// strides (its first nd columns). nidxs holds 32-bit native indices; every
// entry, negative ones included, is copied as it is (only p indexes).
void pick_elements(Vec<i32> idxs, Mat<i32> midxs, i32 nd, Vec<i32> nidxs, Vec<i64> strides) {
  const i32 m = midxs.rows;
  for (i32 r = 0; r < m; ++r) idxs[r] = nidxs[row_position(r, 0, midxs, nd, strides)];
}
FRAG_KERNEL(311, "OOiOO", pick_elements, "idxs midxs nidxs strides");

// ------------------------------------------------------------------ slices

// Box slice of a dense variable: the native indices of the elements
// astart[t] <= i[t] < astop[t] on each of the nd axes, in row-major order of
// the box, written to rnidxs from position k; stride holds the variable's
// row-major strides. `index` (nd entries) is the caller's odometer: it holds
// astart on return, also when the box is empty. Returns k plus the box size
// (k when the box is empty on some axis, with nothing else written).
i32 slice_dense(i32 k, i32 nd, Vec<i32> astart, Vec<i32> astop, Vec<i32> index, Vec<i32> nidxs,
                Vec<i32> rnidxs, Vec<i64> stride) {
  i64 size = 1, pos = 0;
  bool empty = false;
  for (i32 t = 0; t < nd; ++t) {
    index[t] = astart[t];
    if (astop[t] <= astart[t]) empty = true;
    size *= static_cast<i64>(astop[t]) - astart[t];
    pos += static_cast<i64>(astart[t]) * stride[t];
  }
  if (empty) return k;
  for (i64 e = 0; e < size; ++e) {
    rnidxs[k] = nidxs[pos];
    k = add32(k, 1);
    // Advance the odometer; a digit at its end goes back to its start and
    // carries into the axis before it.
    for (i64 t = static_cast<i64>(nd) - 1; t >= 0; --t) {
      const i32 v = add32(index[t], 1);
      pos += stride[t];
      if (v < astop[t]) {
        index[t] = v;
        break;
      }
      index[t] = astart[t];
      pos -= (static_cast<i64>(astop[t]) - astart[t]) * stride[t];
    }
  }
  return k;
}
FRAG_KERNEL(323, "iiOOOOOO", slice_dense, "astart astop index nidxs rnidxs stride");

// Whether position x of a shape lies in the box astart .. astop-1 on each of
// the nd axes; its coordinates are (x div stride[t]) mod shape[t]. When it
// does, *rpos is its linear position in the box (result strides rstride).
template <bool WantPos>
inline bool in_box(i64 x, i32 nd, Vec<i32> astart, Vec<i32> astop, Vec<i32> shape, Vec<i64> stride,
                   Vec<i64> rstride, i64* rpos) {
  i64 acc = 0;
  for (i32 t = 0; t < nd; ++t) {
    const i64 c = irem(idiv(x, stride[t]), static_cast<i64>(shape[t]));
    if (c < astart[t] || c >= astop[t]) return false;
    if constexpr (WantPos) acc += (c - astart[t]) * rstride[t];
  }
  if constexpr (WantPos) *rpos = acc;
  return true;
}

// Counting pass of the box slice of a sparse variable: count plus the number
// of stored elements (positions sp under shape and stride) inside the box.
i32 slice_sparse_count(i32 count, i32 nd, Vec<i32> astart, Vec<i32> astop, Vec<i32> shape,
                       Vec<i64> sp, Vec<i64> stride) {
  const std::ptrdiff_t n = sp.count;
  for (std::ptrdiff_t k = 0; k < n; ++k)
    if (in_box<false>(sp[k], nd, astart, astop, shape, stride, stride, nullptr)) count = add32(count, 1);
  return count;
}
FRAG_KERNEL(324, "iiOOOOO", slice_sparse_count, "astart astop shape sp stride");

// Fill pass of the same slice: for every stored element k inside the box, in
// pattern order: rsp[c] = its position in the box shape (coordinates minus
// astart, strides rstride), rnidxs[c] = nidxs[k], c += 1. Returns the final c.
// An ascending pattern gives an ascending rsp.
i32 slice_sparse(i32 c, i32 nd, Vec<i32> astart, Vec<i32> astop, Vec<i32> nidxs, Vec<i32> rnidxs,
                 Vec<i64> rsp, Vec<i64> rstride, Vec<i32> shape, Vec<i64> sp, Vec<i64> stride) {
  const std::ptrdiff_t n = sp.count;
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    i64 p;
    if (in_box<true>(sp[k], nd, astart, astop, shape, stride, rstride, &p)) {
      rsp[c] = p;
      rnidxs[c] = nidxs[k];
      c = add32(c, 1);
    }
  }
  return c;
}
FRAG_KERNEL(326, "iiOOOOOOOOO", slice_sparse, "astart astop nidxs rnidxs rsp rstride shape sp stride");

// ---------------------------------------------------------------- stacking

// Patterns of operands stacked along one axis, renumbered in place:
//   sp holds the operands' patterns one after another (operand j's itemsizes[j]
//   entries, operand 0 first), each in its operand's own row-major numbering;
//   dimsizes[j] is operand j's extent along the axis (m = the element count of
//   dimsizes operands) and inner the number of elements after the axis, the
//   same for every operand.
//   Each entry x of operand j becomes its position in the stacked shape, whose
//   extent along the axis is R = the sum of dimsizes:
//     outer = x div (dimsizes[j] * inner), rest = x mod (dimsizes[j] * inner),
//     x' = (outer * R + off_j) * inner + rest,  off_j = dimsizes[0] + ... + dimsizes[j-1].
// The renumbered list is ascending within each operand; the host sorts the
// whole list afterwards when the axis is not the first. Nothing happens when
// inner < 1; an operand with no elements along the axis is skipped.
void stack_positions(Vec<i32> dimsizes, i64 inner, Vec<i32> itemsizes, Vec<i64> sp) {
  if (inner < 1) return;
  const std::ptrdiff_t m = dimsizes.count;
  i64 total = 0;
  for (std::ptrdiff_t j = 0; j < m; ++j) total += dimsizes[j];
  i64 off = 0;
  std::ptrdiff_t pos = 0;
  for (std::ptrdiff_t j = 0; j < m; ++j) {
    const i64 d = dimsizes[j];
    const i32 cnt = itemsizes[j];
    const i64 slab = d * inner;
    if (slab > 0) {
      const i64 base = off * inner, step = total * inner;
      for (i32 q = 0; q < cnt; ++q) {
        const i64 x = sp[pos + q];
        sp[pos + q] = (x / slab) * step + base + x % slab;
      }
    }
    if (cnt > 0) pos += cnt;
    off += d;
  }
}
FRAG_KERNEL(301, "OLOO", stack_positions, "dimsizes itemsizes sp");

}  // namespace
}  // namespace frag
