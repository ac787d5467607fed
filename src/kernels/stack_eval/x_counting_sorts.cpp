// Counting sorts on the X stack. The keys are int64 runs (on the X or the W
// stack, such as sparsity indices or variable indices) reduced modulo a
// divisor: bucket c = key % divisor (keys are non-negative, the divisor
// positive). A sort is chained by the host from passes on an int32 count
// run of divisor + 1 entries:
//   forward sort:  zero the run, count each key into entry c + 1, exclusive
//                  prefix sum, distribute the positions in ascending order
//                  (entry c is the cursor of bucket c; afterwards its end);
//   backward sort: zero the run, count each key into entry c, inclusive
//                  prefix sum over divisor entries, distribute the positions
//                  in descending order (entry c counts down; afterwards it is
//                  the start of bucket c).
// Both give the stable ascending order of the positions 0 .. n-1 by bucket.
// A gather then copies an operand's elements in that order; with the key
// u % cols of the linear index u of a (rows, cols) expression, the order is
// that of the transposed expression.
#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Blocks;
using stack::Run;

inline i64 bucket(i64 key, i32 divisor) FRAG_NOEXCEPT { return irem(key, divisor); }

// Count pass: count[c + Shift] += 1 for the bucket c of each of the n keys
// at kpos (Shift 1 for the forward sort, 0 for the backward one). Reads the
// keys (xi64 or wi64); writes the count run on xi32.
template <int Shift, class Keys>
void count_keys(i32 n, i32 divisor, i32 kpos, i32 cpos, Vec<i32> xi32, Keys keys_arr) {
  const Run<i64> keys(keys_arr, kpos);
  const Run<i32> count(xi32, cpos);
  for (i32 k = 0; k < n; ++k) {
    const i64 c = bucket(keys[k], divisor) + Shift;
    count[c] = add32(count[c], 1);
  }
}

// Forward distribution pass: for k = 0 .. n-1 ascending, order[count[c]] = k
// and count[c] += 1 (c the bucket of key k). Reads the keys and the prefix-
// summed count run; writes the order run (xi32 at opos) and advances the
// count entries to the ends of their buckets.
template <class Keys>
void distribute_forward(i32 n, i32 divisor, i32 kpos, i32 cpos, i32 opos, Vec<i32> xi32, Keys keys_arr) {
  const Run<i64> keys(keys_arr, kpos);
  const Run<i32> count(xi32, cpos), order(xi32, opos);
  for (i32 k = 0; k < n; ++k) {
    const i64 c = bucket(keys[k], divisor);
    order[count[c]] = k;
    count[c] = add32(count[c], 1);
  }
}

// Forward count pass over n keys on xi64: scalars n, divisor, key position
// (xi64), count position (xi32); count[c + 1] += 1 per key.
void count_x(i32 n, i32 divisor, i32 kpos, i32 cpos, Vec<i32> xi32, Vec<i64> xi64) {
  count_keys<1>(n, divisor, kpos, cpos, xi32, xi64);
}
FRAG_KERNEL(371, "iiiiOO", count_x, "xi32 xi64");

// Forward distribution pass over n keys on xi64: scalars n, divisor, key
// position (xi64), count position (xi32, exclusive prefix sums), order
// position (xi32); writes the stable order of 0 .. n-1 by bucket.
void distribute_x(i32 n, i32 divisor, i32 kpos, i32 cpos, i32 opos, Vec<i32> xi32, Vec<i64> xi64) {
  distribute_forward(n, divisor, kpos, cpos, opos, xi32, xi64);
}
FRAG_KERNEL(373, "iiiiiOO", distribute_x, "xi32 xi64");

// Backward count pass over n keys on xi64: scalars n, divisor, key position
// (xi64), count position (xi32); count[c] += 1 per key (bucket c), to be
// followed by the inclusive prefix sum.
void count_x_inclusive(i32 n, i32 divisor, i32 kpos, i32 cpos, Vec<i32> xi32, Vec<i64> xi64) {
  count_keys<0>(n, divisor, kpos, cpos, xi32, xi64);
}
FRAG_KERNEL(354, "iiiiOO", count_x_inclusive, "xi32 xi64");

// Backward distribution pass over n keys on xi64: scalars n, divisor, key
// position (xi64), count position (xi32, inclusive prefix sums), order
// position (xi32). For k = n-1 .. 0 descending: count[c] -= 1, then
// order[count[c]] = k; the order is stable and count[c] ends at the start of
// bucket c.
void distribute_x_backward(i32 n, i32 divisor, i32 kpos, i32 cpos, i32 opos, Vec<i32> xi32, Vec<i64> xi64) {
  const Run<i64> keys(xi64, kpos);
  const Run<i32> count(xi32, cpos), order(xi32, opos);
  for (i32 k = n - 1; k >= 0; --k) {
    const i64 c = bucket(keys[k], divisor);
    count[c] = sub32(count[c], 1);
    order[count[c]] = k;
  }
}
FRAG_KERNEL(356, "iiiiiOO", distribute_x_backward, "xi32 xi64");

// Forward count pass over n keys on the W stack (wi64): scalars n, divisor,
// key position (wi64), count position (xi32).
void count_w(i32 n, i32 divisor, i32 kpos, i32 cpos, Vec<i64> wi64, Vec<i32> xi32) {
  count_keys<1>(n, divisor, kpos, cpos, xi32, wi64);
}
FRAG_KERNEL(346, "iiiiOO", count_w, "wi64 xi32");

// Forward distribution pass over n keys on the W stack: scalars n, divisor,
// key position (wi64), count position (xi32), order position (xi32).
void distribute_w(i32 n, i32 divisor, i32 kpos, i32 cpos, i32 opos, Vec<i64> wi64, Vec<i32> xi32) {
  distribute_forward(n, divisor, kpos, cpos, opos, xi32, wi64);
}
FRAG_KERNEL(348, "iiiiiOO", distribute_w, "wi64 xi32");

// Terms per bucket: the forward count pass weighted by the number of terms
// of each element. Reads the operand's row pointer (wi32 at ptr) and the key
// of each of its n elements (wi64 at kpos, e.g. its sparsity indices); adds
// ptr[e+1] - ptr[e] into count[c + 1] (xi32 at cpos) for the bucket c of
// element e. After the exclusive prefix sum, entry c is the first term of
// bucket c in the reordered term blocks. Scalars in order: n, divisor, ptr,
// kpos, cpos.
void count_terms_w(i32 n, i32 divisor, i32 ptr, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32, i32 kpos, i32 cpos) {
  const Run<i32> rowptr(wi32, ptr), count(xi32, cpos);
  const Run<i64> keys(wi64, kpos);
  for (i32 e = 0; e < n; ++e) {
    const i64 c = bucket(keys[e], divisor) + 1;
    count[c] = add32(count[c], sub32(rowptr[e + 1], rowptr[e]));
  }
}
FRAG_KERNEL(381, "iiiOOOii", count_terms_w, "wi32 wi64 xi32");

// Copy of n int64 entries from the W stack to the R stack, each shifted by
// offset: ri64[rpos + k] = wi64[wpos + k] + offset (64-bit, wrapping), e.g.
// sparsity indices moved into a larger index space. Scalars in order: n,
// offset, rpos, wpos.
void shifted_copy(i32 n, i32 offset, Vec<i64> ri64, i32 rpos, i32 wpos, Vec<i64> wi64) {
  for (i32 k = 0; k < n; ++k) ri64[i64{rpos} + k] = add64(wi64[i64{wpos} + k], offset);
}
FRAG_KERNEL(342, "iiOiiO", shifted_copy, "ri64 wi64");

// Gather of an operand's elements in a sorted order, as the transposition of
// a (rows, cols) expression. Result element i is operand element q =
// order[i] (xi32 at xorder) with its terms in order (programs when flag >
// 0); its sparsity index is c * rows + r where r = u / cols, c = u % cols and
// u is q's linear index (its sparsity index when sparse > 0, else q). Reads
// the operand on the W stack (sparsity at wsp); writes on the R stack n
// elements: terms, programs, row pointer entries 0 .. n, program pointer
// entry 0 and sparsity indices at rsp. With the order of the keys u % cols
// the sparsity indices come out ascending. Scalars in order: operand program
// constants, words, program pointer, coefficients, cols, flag, n, operand
// variable indices, xorder, operand row pointer, result program constants,
// words, program pointer, coefficients, rows, sparse, wsp, result variable
// indices, result row pointer, rsp.
void transposed_gather(i32 cconst, i32 code, i32 codeptr, i32 cof, i32 cols, i32 flag, i32 n, i32 nidxs,
                       i32 xorder, i32 ptr, i32 rcconst, i32 rcode, i32 rcodeptr, i32 rcof, i32 rows, i32 sparse,
                       i32 wsp, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 rnidxs, i32 rptr, i32 rsp,
                       Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  const bool programs = stack::has_programs(flag);
  const Blocks op = stack::blocks_at(wi32, wi64, wf64, ptr, nidxs, cof, codeptr, code, cconst, programs);
  const Blocks res = stack::blocks_at(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, programs);
  const Run<i32> order(xi32, xorder);
  const Run<i64> osp(wi64, wsp), sp(ri64, rsp);
  res.ptr[0] = 0;
  if (programs) res.pptr[0] = 0;
  i32 T = 0, P = 0;
  for (i32 i = 0; i < n; ++i) {
    const i32 q = order[i];
    program::copy_terms<program::NoProgram::kNothing>(op, q, res, T, P);
    res.ptr[i + 1] = T;
    const i64 u = sparse > 0 ? osp[q] : i64{q};
    sp[i] = add64(mul64(irem(u, cols), rows), idiv(u, cols));
  }
}
FRAG_KERNEL(428, "iiiiiiiiiiiiiiiiiOOOiiiOOOO", transposed_gather, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

}  // namespace
}  // namespace frag
