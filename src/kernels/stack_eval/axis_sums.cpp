// Sums along axes and weighted sums of two operands.
//
// Summing an expression along one axis of the three-factor split (outer,
// extent, inner) of its shape concatenates the terms of the elements that
// differ only in their coordinate along that axis: result element (x, p)
// holds the terms of operand elements (x, a, p), a ascending, one after the
// other (equal variables are not merged). Dense operands are summed in one
// call; a sparse operand in two passes: an order pass groups its stored
// elements by result element, the fill pass copies them in that order. When
// the summed axes are the trailing ones the terms already lie grouped, and
// only the row pointer and the sparsity indices change.
//
// The sum a*X + b*Y of two operands of one shape follows the weighted sums:
// each result element holds a*X's terms, then b*Y's; with programs every
// term's program is followed by "push constant w, multiply".
#include <algorithm>
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using program::NoProgram;
using stack::Blocks;
using stack::Run;

// Appends the terms of the count operand elements first, first + step, ...
// to the result at the running term count T and program position P. An
// operand without programs gives each term "push constant 0.0" in a result
// with programs.
inline void append_run(const Blocks& op, std::ptrdiff_t first, std::ptrdiff_t step, i32 count, const Blocks& res,
                       i32& T, i32& P) FRAG_NOEXCEPT {
  for (i32 k = 0; k < count; ++k) program::copy_terms<NoProgram::kPushZero>(op, first + k * step, res, T, P);
}

// Sum of a strided run of elements as one result element. Reads the count
// operand elements first + k * step (k = 0 .. count - 1) on the W stack
// (row pointer op_rowptr, variable indices op_nidxs, coefficients op_cof and,
// when `own` and the program flag prog > 0, program pointer op_pptr, words
// op_pwords, constants op_pconst). Appends their terms in that order to the
// result on the R stack at the running term count T and program position P
// (with prog > 0 every term gets its program, or "push constant 0.0" when
// the operand has none, and sets result program pointer[T + 1]); then writes
// result row pointer[E + 1] = T, E being the result element it builds (entry
// 0 and earlier elements are the caller's). With first = 0, step = 1 and
// count = n it sums every element; along one axis of a record, first = x *
// stride[0] + p and step = stride[1]. Returns (P, T).
std::tuple<i32, i32> sum_run(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 count, bool own,
                             i32 first, i32 op_nidxs, i32 op_rowptr, i32 prog, i32 res_pconst, i32 res_pwords,
                             i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs,
                             i32 res_rowptr, i32 E, i32 step, i32 T, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(prog);
  const Blocks op = stack::blocks_at(wi32, wi64, wf64, op_rowptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst,
                                     programs && own);
  const Blocks res = stack::blocks_at(ri32, ri64, rf64, res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords,
                                      res_pconst, programs);
  append_run(op, first, step, count, res, T, P);
  res.ptr[std::ptrdiff_t{E} + 1] = T;
  return {P, T};
}
FRAG_KERNEL(560, "iiiiiipiiiiiiiiOOOiiiiiOOO", sum_run, "rf64 ri32 ri64 wf64 wi32 wi64");

// Sum of a dense operand along one axis, over the window first .. last - 1
// of that axis, in one call. The operand's shape is split as (outer, extent,
// inner); operand element (x, a, p) is (x * extent + a) * inner + p. For
// every result element (x, p), in row-major order, it appends the terms of
// the operand elements (x, a, p), a = first .. last - 1 ascending, to the
// result at the running term count T and program position P (with the
// program flag prog > 0, each term's program is copied and sets result
// program pointer[T + 1]), then writes result row pointer[E + 1] = T and
// advances E. An empty window gives outer * inner elements without terms.
// Entry 0 of the result row pointer and program pointer is the caller's.
// Returns (P, E, T).
std::tuple<i32, i32, i32> sum_axis_dense(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 E,
                                         i32 outer, i32 extent, i32 inner, i32 first, i32 last, i32 op_nidxs,
                                         i32 op_rowptr, i32 prog, i32 res_pconst, i32 res_pwords, Vec<f64> rf64,
                                         Vec<i32> ri32, Vec<i64> ri64, i32 res_pptr, i32 res_cof, i32 T,
                                         i32 res_nidxs, i32 res_rowptr, Vec<f64> wf64, Vec<i32> wi32,
                                         Vec<i64> wi64) {
  const bool programs = stack::has_programs(prog);
  const Blocks op = stack::blocks_at(wi32, wi64, wf64, op_rowptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst,
                                     programs);
  const Blocks res = stack::blocks_at(ri32, ri64, rf64, res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords,
                                      res_pconst, programs);
  const i32 count = std::max(sub32(last, first), 0);
  for (std::ptrdiff_t x = 0; x < outer; ++x)
    for (std::ptrdiff_t p = 0; p < inner; ++p) {
      append_run(op, (x * extent + first) * inner + p, inner, count, res, T, P);
      E = add32(E, 1);
      res.ptr[E] = T;
    }
  return {P, E, T};
}
FRAG_KERNEL(544, "iiiiiiiiiiiiiiiiOOOiiiiiOOO", sum_axis_dense, "rf64 ri32 ri64 wf64 wi32 wi64");

// Result key of stored index v when the axis of the split (extent, inner) is
// summed out: v = (x * extent + a) * inner + p becomes x * inner + p.
inline i64 summed_key(i64 v, i64 extent, i64 inner) FRAG_NOEXCEPT {
  const i64 block = extent * inner;
  return idiv(v, block) * inner + irem(v, inner);
}

// A run of one block's stored elements with one coordinate a along the
// summed axis, seen from its next element: cursor .. end - 1 remain, `key`
// is the next element's p * extent + a (its place in the block's output
// order: by p, then by a).
struct AxisRun {
  i64 key;
  i32 cursor, end;
};

// Heap order of runs: the run whose next element comes first on top.
inline bool later(const AxisRun& u, const AxisRun& v) FRAG_NOEXCEPT { return u.key > v.key; }

// Order pass of the sum of a sparse operand along one axis: groups its n
// stored elements (ascending sparsity indices wi64[op_sp ..]) by result
// element. With the shape split as (outer, extent, inner), the elements of
// one outer block x form ascending runs, one per coordinate a that stores
// something; a heap merge of these runs writes to xi32[xpos + k], k = 0 ..
// n - 1, the stored elements in ascending order of their result key
// x * inner + p, those of one key in ascending a. The cost is O(n log r), r
// the most runs one block has (at most min(n, extent)); a work array of
// min(n, extent) runs holds the heap. Adds the number of distinct result
// keys to E and the operand's terms ptr[n] - ptr[0] (row pointer op_rowptr
// in wi32) to T: the element and term counts the fill pass produces. An
// element outside the record's blocks (a negative index) stops the grouping:
// the order entries from there on are not written. Returns (E, T).
std::tuple<i32, i32> sum_axis_order(i32 E, i32 extent, i32 inner, i32 n, i32 op_rowptr, i32 op_sp, i32 T,
                                    i32 xpos, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  if (n <= 0) return {E, T};
  const Run<i32> ptr(wi32, op_rowptr), order(xi32, xpos);
  const Run<i64> sp(wi64, op_sp);
  T = add32(T, sub32(ptr[n], ptr[0]));
  if (extent < 1 || inner < 1) return {E, T};
  const i64 block = i64{extent} * inner;
  const WorkArray<AxisRun> work(std::min(n, extent));
  AxisRun* const heap = work.data();
  // The coordinate a of element f along the summed axis, and its place in its
  // block's output order.
  auto axis_of = [&](i32 f) { return irem(sp[f], block) / inner; };
  auto key_of = [&](i32 f, i64 a) { return irem(sp[f], inner) * extent + a; };
  i32 k = 0;
  for (i32 e = 0; e < n;) {
    // The block of outer index x: its runs, each of one coordinate a, in
    // ascending a; a run ends where a changes or the block does.
    const i64 x = idiv(sp[e], block);
    i32 f = e;
    std::ptrdiff_t runs = 0;
    i64 prev = -1;  // runs come in ascending a, so there are at most extent of them
    while (f < n && idiv(sp[f], block) == x) {
      const i64 a = axis_of(f);
      if (a <= prev || a >= extent) break;
      prev = a;
      const i32 begin = f;
      while (f < n && idiv(sp[f], block) == x && axis_of(f) == a) ++f;
      heap[runs++] = AxisRun{key_of(begin, a), begin, f};
    }
    if (f == e) break;  // an index outside the record's blocks: nothing more can be grouped
    std::make_heap(heap, heap + runs, later);
    i64 last_p = -1;
    while (runs > 0) {
      std::pop_heap(heap, heap + runs, later);
      AxisRun& top = heap[runs - 1];
      const i64 p = top.key / extent;
      if (p != last_p) E = add32(E, 1);  // a new result key
      last_p = p;
      order[k++] = top.cursor++;
      if (top.cursor < top.end) {
        top.key = key_of(top.cursor, axis_of(top.cursor));
        std::push_heap(heap, heap + runs, later);
      } else {
        --runs;
      }
    }
    e = f;
  }
  return {E, T};
}
FRAG_KERNEL(533, "iiiiiiiiOOO", sum_axis_order, "wi32 wi64 xi32");

// Fill pass of the sum of a sparse operand along one axis (split extent,
// inner), after the order pass: walks the n stored elements s =
// xi32[xpos + k] in order and appends their terms to the result at the
// running term count T and program position P (with the program flag prog
// > 0 each term gets its program when the operand has programs, own > 0, or
// "push constant 0.0" otherwise, and sets result program pointer[T + 1]).
// Consecutive elements with one result key x * inner + p form one result
// element: after it, result row pointer[E + 1] = T, result sparsity
// index[E] = the key, M becomes the larger of M and its number of terms, and
// E advances. Entry 0 of the result row pointer and program pointer is the
// caller's. Returns (P, E, T, M).
std::tuple<i32, i32, i32, i32> sum_axis_fill(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 E,
                                             i32 extent, i32 inner, i32 M, i32 n, i32 op_nidxs, i32 own,
                                             i32 op_rowptr, i32 prog, i32 res_pconst, i32 res_pwords, i32 res_pptr,
                                             i32 res_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 T,
                                             i32 res_nidxs, i32 res_rowptr, i32 res_sp, i32 op_sp, i32 xpos,
                                             Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  const bool programs = stack::has_programs(prog);
  const Blocks op = stack::blocks_at(wi32, wi64, wf64, op_rowptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst,
                                     programs && own > 0);
  const Blocks res = stack::blocks_at(ri32, ri64, rf64, res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords,
                                      res_pconst, programs);
  const Run<i64> sp(wi64, op_sp), rsp(ri64, res_sp);
  const Run<i32> order(xi32, xpos);
  i64 key = 0;
  i32 begin = T;
  auto close = [&] {
    M = std::max(M, sub32(T, begin));
    rsp[E] = key;
    E = add32(E, 1);
    res.ptr[E] = T;
  };
  for (i32 k = 0; k < n; ++k) {
    const i32 s = order[k];
    const i64 u = summed_key(sp[s], extent, inner);
    if (k > 0 && u != key) {
      close();
      begin = T;
    }
    key = u;
    program::copy_terms<NoProgram::kPushZero>(op, s, res, T, P);
  }
  if (n > 0) close();
  return {P, E, T, M};
}
FRAG_KERNEL(539, "iiiiiiiiiiiiiiiiiiOOOiiiiiiOOOO", sum_axis_fill,
            "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// Sum along the trailing axes, whose extents multiply to B: element index v
// goes to result element v / B. The operand's n elements (linear index
// wi64[op_sp + e] when `sparse`, else e) come in ascending order, so their
// terms already lie grouped and stay where they are: the kernel writes only
// the result's row pointer and, when `sparse`, its sparsity indices. For each
// distinct v / B it writes result sparsity index[E] = v / B and result row
// pointer[E + 1] = T0 + (operand row pointer[end of the group] - operand row
// pointer[0]), and advances E; T0 is the result term position of the
// operand's first term (0 when the terms are copied as one block). B must
// not be 0. Returns E.
i32 sum_trailing(i64 B, i32 E, i32 n, bool sparse, Vec<i32> ri32, Vec<i64> ri64, i32 res_rowptr, i32 res_sp, i32 T0,
                 i32 op_rowptr, i32 op_sp, Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> ptr(wi32, op_rowptr), rptr(ri32, res_rowptr);
  const Run<i64> sp(wi64, op_sp), rsp(ri64, res_sp);
  auto index = [&](i32 e) { return sparse ? sp[e] : i64{e}; };
  for (i32 e = 0; e < n;) {
    const i64 key = idiv(index(e), B);
    i32 f = e + 1;
    while (f < n && idiv(index(f), B) == key) ++f;
    if (sparse) rsp[E] = key;
    E = add32(E, 1);
    rptr[E] = add32(T0, sub32(ptr[f], ptr[0]));
    e = f;
  }
  return E;
}
FRAG_KERNEL(504, "LiipOOiiiiiOO", sum_trailing, "ri32 ri64 wi32 wi64");

// ------------------------------------------------- a * X + b * Y

// The arrays of one stack and the six block positions of one expression on
// it (row pointer, variable indices, coefficients, program pointer, words,
// constants).
struct Vec3 {
  Vec<i32> i32s;
  Vec<i64> i64s;
  Vec<f64> f64s;
};
struct Positions {
  i32 rowptr, nidxs, cof, pptr, pwords, pconst;
};
inline Blocks at(const Vec3& s, const Positions& p, bool programs) FRAG_NOEXCEPT {
  return stack::blocks_at(s.i32s, s.i64s, s.f64s, p.rowptr, p.nidxs, p.cof, p.pptr, p.pwords, p.pconst, programs);
}

// Operands X and Y on the W stack and the result on the R stack.
inline std::tuple<Blocks, Blocks, Blocks> pair_blocks(bool programs, const Vec3& w, const Vec3& r,
                                                      const Positions& x, const Positions& y,
                                                      const Positions& res) FRAG_NOEXCEPT {
  return {at(w, x, programs), at(w, y, programs), at(r, res, programs)};
}

// Appends a * X's element ex, then b * Y's element ey (either skipped when
// negative), at the running counts T and P.
inline void append_pair(const Blocks& x, f64 a, std::ptrdiff_t ex, const Blocks& y, f64 b, std::ptrdiff_t ey,
                        const Blocks& res, i32& T, i32& P) FRAG_NOEXCEPT {
  if (ex >= 0) program::append_weighted(x, a, ex, res, T, P);
  if (ey >= 0) program::append_weighted(y, b, ey, res, T, P);
}

// a * X + b * Y for two operands with the same n stored elements (both
// dense, or both sparse with equal sparsity indices), whose sizes are known,
// in one call. Result element e holds X's terms of element e with
// coefficients times a, then Y's with coefficients times b; with the program
// flag prog > 0 (both operands then carry programs) each term's program is
// followed by "push constant w, multiply" with its weight, and result
// program pointer[0] = 0. Writes result row pointer[0 .. n], the sparsity
// indices copied from X when `sparse` and n > 0, and X's shape (nd extents)
// when nd > 0. Y's shape and sparsity indices are not read: they equal X's.
void pair_sum(i32 x_pconst, i32 x_pwords, i32 x_pptr, i32 x_cof, i32 y_pconst, i32 y_pwords, i32 y_pptr, i32 y_cof,
              f64 a, f64 b, i32 x_nidxs, i32 y_nidxs, i32 x_rowptr, i32 y_rowptr, i32 sparse, i32 prog, i32 nd, i32 n,
              i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
              i32 res_nidxs, i32 res_rowptr, i32 res_shape, i32 res_sp, i32 x_shape, i32 x_sp, Vec<f64> wf64,
              Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(prog);
  const auto [x, y, res] = pair_blocks(programs, Vec3{wi32, wi64, wf64}, Vec3{ri32, ri64, rf64},
                                       {x_rowptr, x_nidxs, x_cof, x_pptr, x_pwords, x_pconst},
                                       {y_rowptr, y_nidxs, y_cof, y_pptr, y_pwords, y_pconst},
                                       {res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst});
  i32 T = 0, P = 0;
  res.ptr[0] = 0;
  if (programs) res.pptr[0] = 0;
  for (i32 e = 0; e < n; ++e) {
    append_pair(x, a, e, y, b, e, res, T, P);
    res.ptr[std::ptrdiff_t{e} + 1] = T;
  }
  if (sparse > 0 && n > 0) {
    const Run<i64> dst(ri64, res_sp), src(wi64, x_sp);
    for (i32 e = 0; e < n; ++e) dst[e] = src[e];
  }
  const Run<i32> dshape(ri32, res_shape), sshape(wi32, x_shape);
  for (i32 k = 0; k < nd; ++k) dshape[k] = sshape[k];
}
FRAG_KERNEL(515, "iiiiiiiiddiiiiiiiiiiiiOOOiiiiiiOOO", pair_sum, "rf64 ri32 ri64 wf64 wi32 wi64");

// a * X + b * Y for two sparse operands of one shape (nx and ny stored
// elements, ascending sparsity indices x_sp, y_sp), merged into a sparse
// result: the union of their indices, ascending. An index stored in both
// gives X's terms times a, then Y's times b; an index stored in one gives
// that operand's weighted terms. Terms and programs are appended as in the
// one-call sum at the running term count T and program position P; after
// each result element: result row pointer[E + 1] = T, result sparsity
// index[E] = its index, M = the larger of M and its number of terms, E
// advances. Entry 0 of the result pointers is the caller's. The result's
// element count is the union count of the two index runs. With the program
// flag prog > 0 both operands must carry programs (their program blocks are
// read for every term). Returns (P, E, T, M).
std::tuple<i32, i32, i32, i32> pair_sum_sparse(i32 x_pconst, i32 x_pwords, i32 P, i32 x_pptr, i32 x_cof, i32 E,
                                               i32 y_pconst, i32 y_pwords, i32 y_pptr, i32 y_cof, i32 M, f64 a, f64 b,
                                               i32 x_nidxs, i32 y_nidxs, i32 nx, i32 ny, i32 x_rowptr, i32 y_rowptr,
                                               i32 prog, i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof,
                                               i32 T, i32 res_nidxs, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                                               i32 res_rowptr, i32 res_sp, i32 x_sp, i32 y_sp, Vec<f64> wf64,
                                               Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(prog);
  const auto [x, y, res] = pair_blocks(programs, Vec3{wi32, wi64, wf64}, Vec3{ri32, ri64, rf64},
                                       {x_rowptr, x_nidxs, x_cof, x_pptr, x_pwords, x_pconst},
                                       {y_rowptr, y_nidxs, y_cof, y_pptr, y_pwords, y_pconst},
                                       {res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst});
  const Run<i64> xs(wi64, x_sp), ys(wi64, y_sp), rsp(ri64, res_sp);
  i32 i = 0, j = 0;
  while (i < nx || j < ny) {
    const bool take_x = i < nx && (j >= ny || xs[i] <= ys[j]);
    const bool take_y = j < ny && (i >= nx || ys[j] <= xs[i]);
    const i64 key = take_x ? xs[i] : ys[j];
    const i32 begin = T;
    append_pair(x, a, take_x ? i : -1, y, b, take_y ? j : -1, res, T, P);
    i += take_x;
    j += take_y;
    M = std::max(M, sub32(T, begin));
    rsp[E] = key;
    E = add32(E, 1);
    res.ptr[E] = T;
  }
  return {P, E, T, M};
}
FRAG_KERNEL(511, "iiiiiiiiiiiddiiiiiiiiiiiiiOOOiiiiOOO", pair_sum_sparse, "rf64 ri32 ri64 wf64 wi32 wi64");

// a * X + b * Y for a dense X of n elements and a sparse Y of the same shape
// (ny stored elements, ascending sparsity indices y_sp), into a dense result
// in one pass: result element e holds X's terms of element e times a, then,
// when Y stores index e, Y's terms times b. Terms and programs are appended
// as in the one-call sum at the running term count T and program position
// P, and result row pointer[e + 1] = T after element e. Entry 0 of the
// result pointers is the caller's. With the program flag prog > 0 both
// operands must carry programs (their program blocks are read for every
// term). Returns (P, T).
std::tuple<i32, i32> pair_sum_mixed(i32 x_pconst, i32 x_pwords, i32 P, i32 x_pptr, i32 x_cof, i32 y_pconst,
                                    i32 y_pwords, i32 y_pptr, i32 y_cof, i32 ny, f64 a, f64 b, i32 x_nidxs,
                                    i32 y_nidxs, i32 n, i32 x_rowptr, i32 y_rowptr, i32 prog, i32 res_pconst,
                                    i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                    Vec<i64> ri64, i32 T, i32 res_nidxs, i32 res_rowptr, i32 y_sp, Vec<f64> wf64,
                                    Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(prog);
  const auto [x, y, res] = pair_blocks(programs, Vec3{wi32, wi64, wf64}, Vec3{ri32, ri64, rf64},
                                       {x_rowptr, x_nidxs, x_cof, x_pptr, x_pwords, x_pconst},
                                       {y_rowptr, y_nidxs, y_cof, y_pptr, y_pwords, y_pconst},
                                       {res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst});
  const Run<i64> ys(wi64, y_sp);
  i32 j = 0;
  for (i32 e = 0; e < n; ++e) {
    const bool stored = j < ny && ys[j] == e;
    append_pair(x, a, e, y, b, stored ? j : -1, res, T, P);
    j += stored;
    res.ptr[std::ptrdiff_t{e} + 1] = T;
  }
  return {P, T};
}
FRAG_KERNEL(509, "iiiiiiiiiiddiiiiiiiiiiOOOiiiiOOO", pair_sum_mixed, "rf64 ri32 ri64 wf64 wi32 wi64");

}  // namespace
}  // namespace frag
