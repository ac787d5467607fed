// Stacking of sparse and dense operands along an axis: the offsets of the
// operands along the stack axis, their sparsity patterns moved from operand
// positions to positions in the stacked shape, and their native index lists
// interleaved into the stacked list. An operand of shape (O, d, I) around the
// stack axis lands in the result of shape (O, D, I) at offset off along the
// axis: position o*d*I + j*I + i becomes o*D*I + (off + j)*I + i.
#include <cstddef>

#include "kernels/extents.hpp"
#include "module/kernel.hpp"

namespace frag {
namespace {

// Exclusive running sums of the operands' extents along the stack axis:
// offset[0] = 0 and offset[r] = offset[r-1] + sdims[r-1] for r < m, 32-bit.
// Reads sdims[0 .. m-2] only (the last operand's extent is never needed, so
// m = 1 may pass None); writes offset[0 .. m-1]; nothing when m < 1.
void stack_offsets(i32 m, Vec<i32> offset, Vec<i32> sdims) {
  i32 run = 0;
  for (i32 r = 0; r < m; ++r) {
    offset[r] = run;
    if (r + 1 < m) run = add32(run, sdims[r]);
  }
}
FRAG_KERNEL(238, "iOO", stack_offsets, "offset sdims");

// Shifts the pattern of operand r, already copied into rsp from position p,
// by L in place: the stack along the first axis, where the operand's block
// starts at linear position L of the result. Reads numnz[r] (the operand's
// number of stored elements) and rsp[p ..]; writes rsp[p + k] += L for
// k < numnz[r] (64-bit); returns p + numnz[r], the position after the run.
i32 shift_pattern(i32 r, i32 p, i64 L, Vec<i32> numnz, Vec<i64> rsp) {
  const i32 n = numnz[r];
  for (i32 k = 0; k < n; ++k) rsp[i64{p} + k] = add64(rsp[i64{p} + k], L);
  return n > 0 ? add32(p, n) : p;
}
FRAG_KERNEL(237, "iiLOO", shift_pattern, "numnz rsp");

// Operand position x in its own shape, moved into the stacked shape: with
// tblock = d*I and rblock = D*I, x = o*tblock + rest goes to o*rblock +
// off*I + rest (64-bit).
struct StackMove {
  i64 tblock, rblock, shift;
  i64 operator()(i64 x) const FRAG_NOEXCEPT {
    const i64 o = idiv(x, tblock);
    return add64(add64(mul64(o, rblock), shift), sub64(x, mul64(o, tblock)));
  }
};

// Moves the patterns of m stacked operands in place to positions of the
// stacked shape. rsp holds, from position p, the operands' patterns one after
// another (operand r's numnz[r] entries, in operand positions); operand r has
// extent sdims[r] along the stack axis and starts at offset[r] on it; I is the
// product of the extents after the axis and D the stacked extent along it.
// Each entry is rewritten to its stacked position (each operand's run stays
// ascending; the host orders the whole by the radix passes). Returns p plus
// the number of entries passed. An operand whose block d*I is 0 has no
// elements: its entries (there should be none) are passed over unchanged,
// never divided by 0.
i32 stack_patterns(i32 m, i32 p, i32 I, i32 D, Vec<i32> numnz, Vec<i32> offset, Vec<i64> rsp, Vec<i32> sdims) {
  i64 at = p;
  i32 moved = 0;
  for (i32 r = 0; r < m; ++r) {
    const StackMove move{mul64(sdims[r], I), mul64(D, I), mul64(offset[r], I)};
    const i32 n = numnz[r];
    if (n < 1) continue;
    if (move.tblock != 0)
      for (i32 k = 0; k < n; ++k) rsp[at + k] = move(rsp[at + k]);
    at += n;
    moved = add32(moved, n);
  }
  return add32(p, moved);
}
FRAG_KERNEL(240, "iiiiOOOO", stack_patterns, "numnz offset rsp sdims");

// Copies one sparse operand into the stacked pattern and native index list.
// Reads tsp[s .. s+n-1] (ascending positions in the operand shape (O, d, I))
// and tnativeidxs alongside; writes, from position p, rsp = the stacked
// positions in the shape (O, D, I) at offset off along the axis, and
// rnativeidxs = the entries' native indices. The walk follows the outer
// blocks instead of dividing every position, and stops at the first entry
// beyond the O blocks of the operand. Returns p plus the number copied.
i32 stack_sparse_operand(i32 O, i32 d, i32 D, i32 I, i32 off, i32 p, Vec<i64> rnativeidxs, Vec<i64> rsp, i32 n, i32 s,
                         Vec<i64> tnativeidxs, Vec<i64> tsp) {
  const i64 tblock = mul64(d, I), gap = sub64(mul64(D, I), tblock);
  i64 o = 0, end = tblock, delta = mul64(off, I);
  i64 at = p;
  for (i32 j = 0; j < n; ++j) {
    const i64 x = tsp[i64{s} + j];
    while (o < O && x >= end) {
      ++o;
      end = add64(end, tblock);
      delta = add64(delta, gap);
    }
    if (o >= O) break;
    rsp[at] = add64(x, delta);
    rnativeidxs[at] = tnativeidxs[i64{s} + j];
    ++at;
  }
  return add32(p, static_cast<i32>(at - p));
}
FRAG_KERNEL(218, "iiiiiiOOiiOO", stack_sparse_operand, "rnativeidxs rsp tnativeidxs tsp");

// Copies one dense operand's native indices into the stacked list. Reads the
// O*d*I entries tnativeidxs[s ..] of the operand shape (O, d, I); writes
// rnativeidxs[p + o*D*I + (off + j)*I + i] = tnativeidxs[s + o*d*I + j*I + i]:
// block o of the operand goes to block o of the stacked shape (O, D, I) at
// offset off along the axis. Returns s + O*d*I (32-bit), where the next
// operand's list starts when the operands' lists lie one after another.
i32 stack_dense_operand(i32 O, i32 I, i32 D, i32 off, i32 p, Vec<i64> rnativeidxs, i32 d, i32 s, Vec<i64> tnativeidxs) {
  if (O < 1 || d < 1 || I < 1) return s;
  const i64 block = mul64(d, I), rblock = mul64(D, I);
  i64 dst = add64(p, mul64(off, I)), src = s;
  for (i32 o = 0; o < O; ++o, dst = add64(dst, rblock))
    for (i64 k = 0; k < block; ++k) rnativeidxs[dst + k] = tnativeidxs[src++];
  return add32(s, mul32(O, mul32(d, I)));
}
FRAG_KERNEL(226, "iiiiiOiiO", stack_dense_operand, "rnativeidxs tnativeidxs");

// The 32-bit native index list of constraints stacked along axis dim. Reads
// resshape (the stacked shape, nd axes) and the operands' native index lists
// in nidxlist (None entries are no operands); writes con_nativeidxs[0 ..]:
// for each of the O outer blocks (O = product of resshape[t], t < dim; dim at
// or beyond nd stacks along a new trailing axis, O = every element of
// resshape), each operand's next block of count/O entries, operand by
// operand. A per-operand table of block lengths lives for the call.
void stack_constraint_lists(Vec<i32> con_nativeidxs, i32 dim, i32 nd, Required<ArrayList> nidxlist,
                            Vec<i32> resshape) {
  const i64 O = extents::product(i64{1}, resshape, 0, i64{dim < nd ? dim : nd} - 1);
  const std::ptrdiff_t m = nidxlist.count;
  if (O < 1 || m < 1) return;
  WorkArray<i64> block(m);
  for (std::ptrdiff_t r = 0; r < m; ++r) block[r] = nidxlist[r].count / O;
  i64 at = 0;
  for (i64 o = 0; o < O; ++o)
    for (std::ptrdiff_t r = 0; r < m; ++r) {
      const Vec<i32>& src = nidxlist[r];
      const i64 b = block[r];
      for (i64 k = 0, from = o * b; k < b; ++k) con_nativeidxs[at++] = src[from + k];
    }
}
FRAG_KERNEL(258, "OiiOO", stack_constraint_lists, "con_nativeidxs nidxlist resshape");

}  // namespace
}  // namespace frag
