// Small passes the host runs between the operation kernels: copies between the
// stacks, iotas and constant fills, prefix sums and shifts of row pointers,
// sizes (products of extents, maxima, distinct counts, capacities) and the
// enumeration of the triangle of two axes.
#include <algorithm>
#include <cstring>
#include <limits>

#include "kernels/stack_eval/stack_layout.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

using stack::Run;

// ----------------------------------------------------------------- copies

// Loop bounds derived from the host's 32-bit scalars (n + 1, e - 1, s + 1, ...)
// are formed in 64 bits, so no bound can overflow whatever the scalars are.
template <class T>
void copy_run(Run<T> dst, Run<T> src, i64 n) {
  if (n <= 0) return;
  if (dst.a.stride == 1 && src.a.stride == 1) {
    T* d = dst.a.span(dst.pos, n);
    const T* s = src.a.span(src.pos, n);
    // memmove equals the element-by-element forward copy unless the
    // destination starts inside the source run after its first element.
    if (d <= s || d >= s + n) {
      std::memmove(d, s, static_cast<std::size_t>(n) * sizeof(T));
      return;
    }
  }
  for (i64 k = 0; k < n; ++k) dst[k] = src[k];
}

// Copies n int32 entries from the W stack at wpos to the R stack at rpos.
void copy_i32_nrw(i32 n, Vec<i32> ri32, i32 rpos, i32 wpos, Vec<i32> wi32) {
  copy_run(Run(ri32, rpos), Run(wi32, wpos), n);
}
// Copies n int32 entries from the W stack at wpos to the R stack at rpos.
void copy_i32_rnrw(Vec<i32> ri32, i32 n, i32 rpos, i32 wpos, Vec<i32> wi32) {
  copy_run(Run(ri32, rpos), Run(wi32, wpos), n);
}
FRAG_KERNEL(576, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(573, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(557, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(542, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(537, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(441, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(404, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(394, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(388, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(367, "iOiiO", copy_i32_nrw, "ri32 wi32");
FRAG_KERNEL(514, "OiiiO", copy_i32_rnrw, "ri32 wi32");
FRAG_KERNEL(510, "OiiiO", copy_i32_rnrw, "ri32 wi32");
FRAG_KERNEL(508, "OiiiO", copy_i32_rnrw, "ri32 wi32");
FRAG_KERNEL(505, "OiiiO", copy_i32_rnrw, "ri32 wi32");
FRAG_KERNEL(503, "OiiiO", copy_i32_rnrw, "ri32 wi32");

// Tail of a shape with axis k removed: the extents after axis k, one place down.
void shape_tail_to_r(i32 k, i32 d, Vec<i32> ri32, i32 rpos, i32 wpos, Vec<i32> wi32) {
  Run<i32> r(ri32, rpos), w(wi32, wpos);
  for (i64 j = k; j <= i64{d} - 2; ++j) r[j] = w[j + 1];
}
FRAG_KERNEL(543, "iiOiiO", shape_tail_to_r, "ri32 wi32");
FRAG_KERNEL(538, "iiOiiO", shape_tail_to_r, "ri32 wi32");

// Copies a whole shape array (its length from the buffer) onto the R stack.
void shape_to_r(Vec<i32> ri32, Vec<i32> shape, i32 pos) {
  copy_run(Run(ri32, pos), Run(shape, 0), shape.n32());
}
FRAG_KERNEL(578, "OOi", shape_to_r, "ri32 shape");

// Copies the first n extents of shape onto the R stack at pos.
void shape_n_to_r(i32 n, Vec<i32> ri32, Vec<i32> shape, i32 pos) {
  copy_run(Run(ri32, pos), Run(shape, 0), n);
}
FRAG_KERNEL(145, "iOOi", shape_n_to_r, "ri32 shape");

// Copies shape into rshape, as many extents as rshape holds.
void copy_shape(Vec<i32> rshape, Vec<i32> shape) {
  copy_run(Run(rshape, 0), Run(shape, 0), rshape.n32());
}
FRAG_KERNEL(507, "OO", copy_shape, "rshape shape");

// Head and tail of a shape with axis k removed.
void shape_head(i32 k, Vec<i32> r, Vec<i32> shape) {
  for (i32 j = 0; j < k; ++j) r[j] = shape[j];
}
// Shape with axis k removed: r[j] = shape[j + 1] for j = k .. len(shape) - 2.
void shape_tail(i32 k, Vec<i32> r, Vec<i32> shape) {
  const i64 last = i64{shape.n32()} - 2;
  for (i64 j = k; j <= last; ++j) r[j] = shape[j + 1];
}
FRAG_KERNEL(545, "iOO", shape_head, "r shape");
FRAG_KERNEL(546, "iOO", shape_tail, "r shape");

// Copies n coefficients from the W stack at wpos to the R stack at rpos.
void copy_f64(i32 wpos, i32 n, i32 rpos, Vec<f64> rf64, Vec<f64> wf64) {
  copy_run(Run(rf64, rpos), Run(wf64, wpos), n);
}
FRAG_KERNEL(390, "iiiOO", copy_f64, "rf64 wf64");

// Copies n int64 entries from the W stack at wpos to the R stack at rpos.
void copy_i64(i32 wpos, i32 n, Vec<i64> ri64, i32 rpos, Vec<i64> wi64) {
  copy_run(Run(ri64, rpos), Run(wi64, wpos), n);
}
FRAG_KERNEL(389, "iiOiO", copy_i64, "ri64 wi64");

// A row pointer of n elements has n + 1 entries.
void copy_row_ptr(i32 n, i32 wpos, Vec<i32> ri32, i32 rpos, Vec<i32> wi32) {
  if (n >= 0) copy_run(Run(ri32, rpos), Run(wi32, wpos), i64{n} + 1);
}
FRAG_KERNEL(387, "iiOiO", copy_row_ptr, "ri32 wi32");

// ------------------------------------------------------------------ fills

template <class T>
void fill_run(Run<T> r, i64 n, T value) {
  if (n <= 0) return;
  if (r.a.stride == 1) {
    std::fill_n(r.a.span(r.pos, n), n, value);
    return;
  }
  for (i64 k = 0; k < n; ++k) r[k] = value;
}
// n + 1 entries when n >= 0 (a row pointer or counter run of n elements).
template <class T>
void fill_run_n1(Run<T> r, i32 n, T value) {
  if (n >= 0) fill_run(r, i64{n} + 1, value);
}
// k * step, k = first .. last, in 32-bit arithmetic.
void fill_steps(Run<i32> r, i64 first, i64 last, i32 step) {
  for (i64 k = first; k <= last; ++k) r[k] = mul32(static_cast<i32>(k), step);
}

// Row pointer and coefficients of an expression whose every element is one
// term with coefficient 1.
void unit_terms(i32 fpos, i32 n, i32 m, i32 ipos, Vec<f64> rf64, Vec<i32> ri32) {
  if (n >= 0) fill_steps(Run(ri32, ipos), 0, n, 1);
  fill_run(Run(rf64, fpos), m, 1.0);
}
FRAG_KERNEL(579, "iiiiOO", unit_terms, "rf64 ri32");

// Writes 0, 1, .., n - 1 onto the X stack at pos.
void iota_x(i32 pos, i32 n, Vec<i32> xi32) { fill_steps(Run(xi32, pos), 0, i64{n} - 1, 1); }
FRAG_KERNEL(568, "iiO", iota_x, "xi32");
FRAG_KERNEL(532, "iiO", iota_x, "xi32");

// Entries 1 .. n of a row pointer with `step` terms per element; entry 0 is
// the caller's. Only the low 32 bits of the step are used.
void step_ptr_tail(i64 step, Vec<i32> ri32, i32 n, i32 pos) {
  fill_steps(Run(ri32, pos), 1, n, low32(step));
}
FRAG_KERNEL(506, "LOii", step_ptr_tail, "ri32");

// Zeroes the n + 1 entries of a row pointer on the R stack at pos.
void zero_r_n1(Vec<i32> ri32, i32 n, i32 pos) { fill_run_n1(Run(ri32, pos), n, 0); }
FRAG_KERNEL(521, "Oii", zero_r_n1, "ri32");

// Zeroes the n + 1 entries of a row pointer on the W stack at pos.
void zero_w_n1(i32 pos, Vec<i32> wi32, i32 n) { fill_run_n1(Run(wi32, pos), n, 0); }
FRAG_KERNEL(487, "iOi", zero_w_n1, "wi32");

// Zeroes the n + 1 entries of a counter run on the X stack at pos.
void zero_x_n1(i32 n, i32 pos, Vec<i32> xi32) { fill_run_n1(Run(xi32, pos), n, 0); }
FRAG_KERNEL(370, "iiO", zero_x_n1, "xi32");
FRAG_KERNEL(353, "iiO", zero_x_n1, "xi32");
FRAG_KERNEL(345, "iiO", zero_x_n1, "xi32");

// Zeroes n coefficients on the R stack at pos.
void zero_f64(i32 pos, Vec<f64> rf64, i32 n) { fill_run(Run(rf64, pos), n, 0.0); }
FRAG_KERNEL(384, "iOi", zero_f64, "rf64");
FRAG_KERNEL(379, "iOi", zero_f64, "rf64");
FRAG_KERNEL(339, "iOi", zero_f64, "rf64");

// Initial "not yet visited" marks of the simplifier's node-type block.
void mark_unvisited(Vec<i32> ri32, i32 n, i32 pos) { fill_run_n1(Run(ri32, pos), n, -9999); }
FRAG_KERNEL(383, "Oii", mark_unvisited, "ri32");

// Marks n int64 entries on the R stack at pos with -999.
void mark_i64(Vec<i64> ri64, i32 pos, i32 n) { fill_run(Run(ri64, pos), n, i64{-999}); }
FRAG_KERNEL(341, "Oii", mark_i64, "ri64");

// Row pointer with `step` terms per element: entry k = k * step for k = 0 .. n
// on the R stack at pos.
void step_ptr(i32 step, Vec<i32> ri32, i32 n, i32 pos) {
  if (n >= 0) fill_steps(Run(ri32, pos), 0, n, step);
}
FRAG_KERNEL(340, "iOii", step_ptr, "ri32");

// Zeroes the n + 1 program-position counters on the X stack at pos when the
// expression has programs.
void zero_counters(i32 flag, i32 n, i32 pos, Vec<i32> xi32) {
  if (stack::has_programs(flag)) fill_run_n1(Run(xi32, pos), n, 0);
}
FRAG_KERNEL(522, "iiiO", zero_counters, "xi32");

// ------------------------------------------------------ row pointer passes

// Exclusive-to-inclusive prefix over n + 1 entries: entry k + 1 += entry k.
void prefix_run(Run<i32> r, i32 n) {
  for (i32 k = 0; k < n; ++k) r[k + 1] = add32(r[k + 1], r[k]);
}

// Prefix pass over a counted row pointer on the R stack at pos: entry k + 1 +=
// entry k for k < n.
void prefix_r(Vec<i32> ri32, i32 n, i32 pos) { prefix_run(Run(ri32, pos), n); }
FRAG_KERNEL(525, "Oii", prefix_r, "ri32");

// Prefix pass over the program-position counters on the X stack at pos when
// the expression has programs: entry k + 1 += entry k for k < n.
void prefix_counters(i32 flag, i32 n, i32 pos, Vec<i32> xi32) {
  if (stack::has_programs(flag) && n > 0) prefix_run(Run(xi32, pos), n);
}
FRAG_KERNEL(526, "iiiO", prefix_counters, "xi32");

// Prefix pass over a counter run on the X stack at pos: entry k + 1 += entry k
// for k < n.
void prefix_x(i32 n, i32 pos, Vec<i32> xi32) { prefix_run(Run(xi32, pos), n); }
FRAG_KERNEL(372, "iiO", prefix_x, "xi32");
FRAG_KERNEL(347, "iiO", prefix_x, "xi32");

// Inclusive prefix over n entries.
void prefix_x_inclusive(i32 n, i32 pos, Vec<i32> xi32) {
  Run<i32> r(xi32, pos);
  for (i32 k = 1; k < n; ++k) r[k] = add32(r[k], r[k - 1]);
}
FRAG_KERNEL(355, "iiO", prefix_x_inclusive, "xi32");

// After a fill pass entry e holds the end of element e; moving the run up by
// one (and the caller writing 0 at entry 0) restores the row pointer.
void shift_up(Vec<i32> ri32, i32 n, i32 pos) {
  Run<i32> r(ri32, pos);
  for (i64 k = i64{n} - 1; k >= 0; --k) r[k + 1] = r[k];
}
FRAG_KERNEL(529, "Oii", shift_up, "ri32");

// ------------------------------------------------------------------ sizes

// Most terms of one element, from a row pointer.
i32 max_row_length(i32 init, i32 n, i32 pos, Vec<i32> wi32) {
  Run<i32> p(wi32, pos);
  for (i32 e = 0; e < n; ++e) {
    i32 len = sub32(p[e + 1], p[e]);
    if (len > init) init = len;
  }
  return init;
}
FRAG_KERNEL(397, "iiiO", max_row_length, "wi32");

// The running maximum of init and the n entries on the W stack at pos; returns
// it.
i32 max_of_run(i32 init, i32 n, i32 pos, Vec<i32> wi32) {
  Run<i32> r(wi32, pos);
  for (i32 k = 0; k < n; ++k)
    if (r[k] > init) init = r[k];
  return init;
}
FRAG_KERNEL(563, "iiiO", max_of_run, "wi32");
FRAG_KERNEL(531, "iiiO", max_of_run, "wi32");

using extents::product;

// init times the first n extents on the W stack at pos, wrapping in 32 bits;
// returns the product.
i32 product32(i32 init, i32 n, i32 pos, Vec<i32> wi32) { return product(init, Run(wi32, pos), 0, i64{n} - 1); }
FRAG_KERNEL(540, "iiiO", product32, "wi32");
FRAG_KERNEL(534, "iiiO", product32, "wi32");

// Extents strictly between axes s and e.
i32 product32_between(i32 init, i32 s, i32 e, i32 pos, Vec<i32> wi32) {
  return product(init, Run(wi32, pos), i64{s} + 1, i64{e} - 1);
}
FRAG_KERNEL(541, "iiiiO", product32_between, "wi32");
FRAG_KERNEL(535, "iiiiO", product32_between, "wi32");

// init times the first n extents on the W stack at pos, wrapping in 32 bits;
// returns (flag unchanged, product).
std::tuple<bool, i32> flagged_product32(i32 n, bool flag, i32 init, i32 pos, Vec<i32> wi32) {
  return {flag, product(init, Run(wi32, pos), 0, i64{n} - 1)};
}
FRAG_KERNEL(561, "ipiiO", flagged_product32, "wi32");

// init times the first n extents on the W stack at pos, each widened to 64
// bits; returns the product.
i64 product64_a(i64 init, i32 pos, Vec<i32> wi32, i32 n) { return product(init, Run(wi32, pos), 0, i64{n} - 1); }
FRAG_KERNEL(547, "LiOi", product64_a, "wi32");

// init times the first n extents on the W stack at pos, each widened to 64
// bits; returns the product.
i64 product64_b(i32 n, i32 pos, i64 init, Vec<i32> wi32) { return product(init, Run(wi32, pos), 0, i64{n} - 1); }
FRAG_KERNEL(512, "iiLO", product64_b, "wi32");

// init times the first n extents on the W stack at pos, each widened to 64
// bits; returns the product.
i64 product64_c(i32 n, i64 init, i32 pos, Vec<i32> wi32) { return product(init, Run(wi32, pos), 0, i64{n} - 1); }
FRAG_KERNEL(468, "iLiO", product64_c, "wi32");
FRAG_KERNEL(366, "iLiO", product64_c, "wi32");
FRAG_KERNEL(362, "iLiO", product64_c, "wi32");

// init times the extents strictly between axes s and e of the shape on the W
// stack at pos, 64-bit; returns the product.
i64 product64_between_a(i64 init, i32 e, i32 pos, Vec<i32> wi32, i32 s) {
  return product(init, Run(wi32, pos), i64{s} + 1, i64{e} - 1);
}
FRAG_KERNEL(549, "LiiOi", product64_between_a, "wi32");

// init times the extents strictly between axes s and e of the shape on the W
// stack at pos, 64-bit; returns the product.
i64 product64_between_b(i64 init, i32 pos, Vec<i32> wi32, i32 s, i32 e) {
  return product(init, Run(wi32, pos), i64{s} + 1, i64{e} - 1);
}
FRAG_KERNEL(548, "LiOii", product64_between_b, "wi32");

// The first a - b extents.
i64 product64_head_a(i32 a, i32 b, i64 init, i32 pos, Vec<i32> wi32) {
  return product(init, Run(wi32, pos), 0, i64{a} - b - 1);
}
FRAG_KERNEL(502, "iiLiO", product64_head_a, "wi32");

// init times the first a - b extents of the shape on the W stack at pos,
// 64-bit; returns the product.
i64 product64_head_b(i64 init, i32 a, i32 b, i32 pos, Vec<i32> wi32) {
  return product(init, Run(wi32, pos), 0, i64{a} - b - 1);
}
FRAG_KERNEL(499, "LiiiO", product64_head_b, "wi32");

// The last b of the first a extents.
i64 product64_last_of_head(i64 init, i32 a, i32 b, i32 pos, Vec<i32> wi32) {
  return product(init, Run(wi32, pos), i64{a} - b, i64{a} - 1);
}
FRAG_KERNEL(500, "LiiiO", product64_last_of_head, "wi32");

// Factors of the axis split record, multiplied into place.
void dim_before(Vec<i32> dim, i32 n, i32 pos, Vec<i32> wi32) {
  dim[0] = product(dim[0], Run(wi32, pos), 0, i64{n} - 1);
}
FRAG_KERNEL(564, "OiiO", dim_before, "dim wi32");

// Multiplies the first n extents of the shape on the W stack at pos into
// dim[0] of the axis split record.
void dim_before_b(Vec<i32> dim, i32 pos, Vec<i32> wi32, i32 n) { dim_before(dim, n, pos, wi32); }
FRAG_KERNEL(552, "OiOi", dim_before_b, "dim wi32");

// Multiplies the extents strictly between axes s and e of the shape on the W
// stack at pos into dim[2] of the axis split record.
void dim_between(Vec<i32> dim, i32 s, i32 e, i32 pos, Vec<i32> wi32) {
  dim[2] = product(dim[2], Run(wi32, pos), i64{s} + 1, i64{e} - 1);
}
FRAG_KERNEL(565, "OiiiO", dim_between, "dim wi32");

// Multiplies the extents strictly between axes s and e of the shape on the W
// stack at pos into dim[2] of the axis split record.
void dim_between_b(Vec<i32> dim, i32 pos, Vec<i32> wi32, i32 s, i32 e) { dim_between(dim, s, e, pos, wi32); }
FRAG_KERNEL(553, "OiOii", dim_between_b, "dim wi32");

// Multiplies the extents strictly between axes s and e of the shape on the W
// stack at pos into dim[4] of the axis split record.
void dim_after(Vec<i32> dim, i32 s, i32 e, i32 pos, Vec<i32> wi32) {
  dim[4] = product(dim[4], Run(wi32, pos), i64{s} + 1, i64{e} - 1);
}
FRAG_KERNEL(566, "OiiiO", dim_after, "dim wi32");

// Multiplies the extents strictly between axes s and e of the shape on the W
// stack at pos into dim[4] of the axis split record.
void dim_after_b(Vec<i32> dim, i32 e, i32 pos, Vec<i32> wi32, i32 s) { dim_after(dim, s, e, pos, wi32); }
FRAG_KERNEL(554, "OiiOi", dim_after_b, "dim wi32");

// Row-major strides of the five factors; stride[4] is the caller's.
template <class S>
void dim_strides(Vec<i32> dim, Vec<S> stride) {
  for (int k = 3; k >= 0; --k) {
    if constexpr (sizeof(S) == 8)
      stride[k] = mul64(static_cast<i64>(dim[k + 1]), stride[k + 1]);
    else
      stride[k] = mul32(dim[k + 1], stride[k + 1]);
  }
}
// Row-major 64-bit strides of the five factors of the axis split record dim;
// stride[4] is the caller's.
void dim_strides64(Vec<i32> dim, Required<Vec<i64>> stride) { dim_strides<i64>(dim, stride); }
// Row-major 32-bit strides of the five factors of the axis split record dim;
// stride[4] is the caller's.
void dim_strides32(Vec<i32> dim, Required<Vec<i32>> stride) { dim_strides<i32>(dim, stride); }
FRAG_KERNEL(567, "OO", dim_strides64, "dim stride");
FRAG_KERNEL(555, "OO", dim_strides32, "dim stride");
FRAG_KERNEL(268, "OO", dim_strides32, "dim stride");

// Distinct values in the union of two ascending runs.
i32 union_count(i32 len_a, i32 len_b, i32 count, i32 pos_a, i32 pos_b, Vec<i64> wi64) {
  Run<i64> a(wi64, pos_a), b(wi64, pos_b);
  i32 p = 0, q = 0;
  while (p < len_a && q < len_b) {
    i64 x = a[p], y = b[q];
    count = add32(count, 1);
    if (y <= x) ++q;
    if (x <= y) ++p;
  }
  return add32(count, add32(sub32(len_a, p), sub32(len_b, q)));
}
FRAG_KERNEL(513, "iiiiiO", union_count, "wi64");

// Distinct blocks v / B over an ascending run.
i32 block_count(i64 block, i32 n, i32 count, i32 pos, Vec<i64> wi64) {
  Run<i64> v(wi64, pos);
  i32 i = 0;
  while (i < n) {
    count = add32(count, 1);
    i64 limit = mul64(add64(idiv(v[i], block), 1), block);
    ++i;
    while (i + 1 < n && v[i + 1] < limit) i += 2;  // two values per step
    if (i < n && v[i] < limit) ++i;
  }
  return count;
}
FRAG_KERNEL(501, "LiiiO", block_count, "wi64");

// --------------------------------------------------------------- capacities

// Doubles the capacity until `enough(capacity)` holds. A capacity that cannot
// grow (0 or less) or that would pass 2^31 - 1 is refused instead of looping.
template <class Enough>
i32 grow(i32 capacity, Enough enough) {
  while (!enough(capacity)) {
    if (capacity <= 0) raise_value_error("cannot grow a capacity of 0 or less by doubling");
    if (capacity > std::numeric_limits<i32>::max() / 2)
      raise_overflow_error("the needed capacity exceeds 2**31 - 1");
    capacity *= 2;
  }
  return capacity;
}

// Doubles capacity until it holds `needed` entries; returns it (a capacity
// that cannot grow, or would pass 2**31 - 1, raises instead).
i32 capacity_for(i32 needed, i32 capacity) {
  return grow(capacity, [&](i32 c) { return c >= needed; });
}
FRAG_KERNEL(141, "ii", capacity_for, "");
FRAG_KERNEL(140, "ii", capacity_for, "");

// Doubles capacity until `extra` entries fit after `used`; returns it (a
// capacity that cannot grow, or would pass 2**31 - 1, raises instead).
i32 capacity_for_extra(i32 extra, i32 used, i32 capacity) {
  return grow(capacity, [&](i32 c) { return i64{c} - used >= extra; });
}
FRAG_KERNEL(143, "iii", capacity_for_extra, "");

// Doubles capacity until `extra` entries fit after `used`; returns it (a
// capacity that cannot grow, or would pass 2**31 - 1, raises instead).
i32 capacity_for_extra_b(i32 used, i32 capacity, i32 extra) { return capacity_for_extra(extra, used, capacity); }
FRAG_KERNEL(142, "iii", capacity_for_extra_b, "");

// ---------------------------------------------------------- triangles

// Linear indices of the upper (b >= a) or lower (b <= a) triangle of axes a
// and b of the split record, in loop order x0, a, m, b, p; 32-bit arithmetic.
template <bool Upper>
i32 triangle(Vec<i32> dim, i32 count, Vec<i64> ri64, i32 pos, Vec<i32> stride) {
  if (!(dim[0] > 0 && dim[1] > 0)) return count;
  const i32 n0 = dim[0], n1 = dim[1], n2 = dim[2], n3 = dim[3], n4 = dim[4];
  const i32 s0 = stride[0], s1 = stride[1], s2 = stride[2], s3 = stride[3], s4 = stride[4];
  Run<i64> out(ri64, pos);
  for (i32 x0 = 0; x0 < n0; ++x0)
    for (i32 a = 0; a < n1; ++a)
      for (i32 m = 0; m < n2; ++m) {
        const i32 b_first = Upper ? a : 0;
        const i32 b_end = Upper ? n3 : a + 1;
        for (i32 b = b_first; b < b_end; ++b) {
          const i32 head = add32(add32(add32(mul32(s0, x0), mul32(s1, a)), mul32(s2, m)), mul32(s3, b));
          for (i32 p = 0; p < n4; ++p) {
            out[count] = static_cast<i64>(add32(head, mul32(s4, p)));
            count = add32(count, 1);
          }
        }
      }
  return count;
}
FRAG_KERNEL(559, "OiOiO", triangle<true>, "dim ri64 stride");
FRAG_KERNEL(558, "OiOiO", triangle<false>, "dim ri64 stride");

}  // namespace
}  // namespace frag
