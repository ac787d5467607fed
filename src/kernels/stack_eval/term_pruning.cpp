// Tests and rewrites of an expression's terms on the W stack: whether its
// programs are all constant, whether its elements hold their variables in
// strictly ascending order (else the host orders and merges them), whether
// its programs name parameters outside the table; the sizes and the in-place
// compaction of dropping zero terms; and the evaluation of the programs at
// given parameter values into plain coefficients.
//
// A term is zero when its coefficient is 0.0 (-0.0 too; NaN is not zero).
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

inline bool is_zero(f64 c) FRAG_NOEXCEPT { return c == 0.0; }

// Validity flag ok, cleared when some term's program is not constant.
// Reads the program pointer (n + 1 entries at pptr) and the words (at words)
// of n terms on wi32; a constant program is one position with word 2 or 10.
// Returns ok (only ever cleared). Scalars in order: n, ok, pptr, words.
bool programs_constant(i32 n, bool ok, i32 pptr, i32 words, Vec<i32> wi32) {
  const Run<i32> p(wi32, pptr), w(wi32, words);
  for (i32 t = 0; t < n && ok; ++t)
    if (!program::term_is_constant(p, w, t)) ok = false;
  return ok;
}
FRAG_KERNEL(393, "ipiiO", programs_constant, "wi32");

// Problem flag, set when some element does not hold its variables in
// strictly ascending order (a repeated or descending variable index), so
// that its terms need ordering and merging. Reads the row pointer of n
// elements (wi32 at ptr) and the variable indices (wi64 at nidxs). Returns
// the flag (only ever set). Scalars in order: flag, n, ptr, nidxs.
bool variables_unordered(bool flag, i32 n, i32 ptr, i32 nidxs, Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> rowptr(wi32, ptr);
  const Run<i64> v(wi64, nidxs);
  for (i32 e = 0; e < n && !flag; ++e)
    for (i32 j = rowptr[e] + 1, end = rowptr[e + 1]; j < end; ++j)
      if (v[j] <= v[j - 1]) {
        flag = true;
        break;
      }
  return flag;
}
FRAG_KERNEL(400, "piiiOO", variables_unordered, "wi32 wi64");

// Problem flag, set when a push-parameter instruction in the programs of the
// terms of n elements names a parameter outside 0 .. nparam - 1. Reads the
// row pointer (wi32 at ptr: the terms are ptr[0] .. ptr[n] - 1), the program
// pointer (wi32 at codeptr), the words (wi32 at code) and the constants
// (wf64 at cconst). Returns the flag (only ever set). Scalars in order:
// cconst, code, codeptr, n, flag, nparam, ptr.
bool parameters_out_of_range(i32 cconst, i32 code, i32 codeptr, i32 n, bool flag, i32 nparam, i32 ptr,
                             Vec<f64> wf64, Vec<i32> wi32) {
  if (n < 1) return flag;
  const Run<i32> rowptr(wi32, ptr), pp(wi32, codeptr), words(wi32, code);
  const Run<f64> consts(wf64, cconst);
  for (i32 q = pp[rowptr[0]], end = pp[rowptr[n]]; q < end; ++q)
    if (words[q] == stack::kPushParam) {
      const i32 k = program::trunc_operand(consts[q]);
      flag |= (k < 0) | (k >= nparam);
    }
  return flag;
}
FRAG_KERNEL(401, "iiiipiiOO", parameters_out_of_range, "wf64 wi32");

// Count pass of dropping zero terms. For the n operand elements first ..
// first + n - 1 (row pointer at ptr on wi32, coefficients at cof on wf64) it
// adds each element's number k of non-zero terms into count[E + 1] (xi32
// at xcount) and advances the count-run cursor E by one, M to the larger of
// M and k, T by k. After the prefix sum, count[E] is where each element's
// kept terms begin. Returns (E, M, T). Scalars in order: E, M, T, cof,
// first, n, ptr, xcount.
std::tuple<i32, i32, i32> count_nonzero_terms(i32 E, i32 M, i32 T, i32 cof, i32 first, i32 n, Vec<f64> wf64,
                                              Vec<i32> wi32, i32 ptr, i32 xcount, Vec<i32> xi32) {
  const Run<i32> rowptr(wi32, ptr), count(xi32, xcount);
  const Run<f64> c(wf64, cof);
  for (i32 e = first; e < first + n; ++e) {
    i32 k = 0;
    for (i32 j = rowptr[e], end = rowptr[e + 1]; j < end; ++j)
      if (!is_zero(c[j])) k = add32(k, 1);
    E = add32(E, 1);
    count[E] = add32(count[E], k);
    M = k > M ? k : M;
    T = add32(T, k);
  }
  return {E, M, T};
}
FRAG_KERNEL(392, "iiiiiiOOiiO", count_nonzero_terms, "wf64 wi32 xi32");

// Drops, in place, the terms of n elements whose coefficient is 0.0 or whose
// variable index is below lo (lo = 0 drops the zero terms only, lo = 1 the
// constant terms as well). The kept terms move down in order to the term
// positions T, T + 1, ... and the row
// pointer entries 1 .. n are rewritten; map[j] (xi32 at xmap) receives the
// new position of old term j, or -1 when it is dropped, so that the host can
// move parallel per-term data. The move is in place, so it needs T <=
// ptr[0] (normally T = ptr[0] = 0): a kept term is then never written over
// a term not yet read. Z counts the dropped terms. Reads and writes
// the row pointer (wi32 at ptr), variable indices (wi64 at nidxs) and
// coefficients (wf64 at cof). Returns (T, Z). Scalars in order: cof, lo, n,
// nidxs, ptr, T, xmap, Z.
std::tuple<i32, i32> drop_zero_terms(i32 cof, i32 lo, i32 n, i32 nidxs, i32 ptr, i32 T, i32 xmap, i32 Z,
                                     Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  const Run<i32> rowptr(wi32, ptr), map(xi32, xmap);
  const Run<i64> v(wi64, nidxs);
  const Run<f64> c(wf64, cof);
  if (n < 1) return {T, Z};
  i32 j = rowptr[0];
  for (i32 e = 0; e < n; ++e) {
    const i32 end = rowptr[e + 1];
    for (; j < end; ++j) {
      if (is_zero(c[j]) || v[j] < lo) {
        map[j] = -1;
        Z = add32(Z, 1);
        continue;
      }
      v[T] = v[j];
      c[T] = c[j];
      map[j] = T;
      T = add32(T, 1);
    }
    rowptr[e + 1] = T;
  }
  return {T, Z};
}
FRAG_KERNEL(403, "iiiiiiiiOOOO", drop_zero_terms, "wf64 wi32 wi64 xi32");

// Evaluation of the programs at given parameter values. For the n operand
// elements first .. first + n - 1 on the W stack, every term j gets the
// value cof[j] plus, when own is set, the value of its program, run on the
// value stack at xf64[xstack + depth ..] with parameter q's value at
// xf64[xparam + q]. Unless drop is set and the value is 0.0, the term is
// appended to the result on the R stack (variable index and the value as
// coefficient, no program) at term T, and map[j] (xi32 at xmap) = T;
// otherwise map[j] = -1 and Z grows. After each element the result row
// pointer entry E + 1 = T and E advances; entry E of the first element is
// the caller's. Returns (E, T, Z). Scalars in order: E, T, Z, own, cconst,
// code, codeptr, cof, depth, first, n, nidxs, drop, rcof, rnidxs, rptr,
// ptr, xmap, xparam, xstack.
std::tuple<i32, i32, i32> evaluate_terms(i32 E, i32 T, i32 Z, bool own, i32 cconst, i32 code, i32 codeptr,
                                         i32 cof, i32 depth, i32 first, i32 n, i32 nidxs, Vec<f64> rf64,
                                         bool drop, Vec<i32> ri32, Vec<i64> ri64, i32 rcof, i32 rnidxs, i32 rptr,
                                         i32 ptr, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, i32 xmap,
                                         i32 xparam, i32 xstack, Vec<f64> xf64, Vec<i32> xi32) {
  const stack::Blocks op = stack::blocks_at(wi32, wi64, wf64, ptr, nidxs, cof, codeptr, code, cconst, own);
  const Run<i32> rowptr(ri32, rptr), map(xi32, xmap);
  const Run<i64> rv(ri64, rnidxs);
  const Run<f64> rc(rf64, rcof);
  const Vec<f64> params = xf64.suffix(xparam);
  for (i32 e = first; e < first + n; ++e) {
    for (i32 j = op.ptr[e], end = op.ptr[e + 1]; j < end; ++j) {
      f64 value = op.cof[j];
      if (own) {
        program::ValueStack vs{xf64, xstack, depth};
        const i32 s = op.pptr[j];
        program::run(op.words, op.consts, s, sub32(op.pptr[j + 1], s), params, vs);
        value += xf64[std::ptrdiff_t{xstack} + depth];
      }
      if (drop && is_zero(value)) {
        map[j] = -1;
        Z = add32(Z, 1);
        continue;
      }
      rv[T] = op.nidxs[j];
      rc[T] = value;
      map[j] = T;
      T = add32(T, 1);
    }
    E = add32(E, 1);
    rowptr[E] = T;
  }
  return {E, T, Z};
}
FRAG_KERNEL(396, "iiipiiiiiiiiOpOOiiiiOOOiiiOO", evaluate_terms, "rf64 ri32 ri64 wf64 wi32 wi64 xf64 xi32");

}  // namespace
}  // namespace frag
