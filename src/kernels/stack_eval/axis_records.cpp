// Operations along the two distinguished axes a < b of a five-factor axis
// record: dim = (before a, extent of a, between, extent of b, after b) with
// its row-major strides. Building the record from a shape, the diagonal of
// the two axes, a census of the two triangles, the weights and mirror
// positions of a symmetric pair of axes; and two further passes on the
// stacks: the negation of an expression and a block histogram of an index run.
#include <algorithm>
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Blocks;
using stack::Run;

// Axis record of the nd extents wi32[pos ..] for the axes a < b: writes
// dim[0] = product of the extents before a, dim[1] = extent of a, dim[2] =
// product strictly between a and b, dim[3] = extent of b, dim[4] = product
// after b (32-bit), and their row-major strides stride[4] = 1, stride[t] =
// dim[t + 1] * stride[t + 1] (64-bit). Returns (n times the number of
// elements of the shape, n times that number without axis b), 32-bit: the
// size of an operand and the size of its diagonal along (a, b). The second
// is exact for a square pair (extents of a and b equal) at offset 0; for
// unequal extents or another offset the diagonal is shorter and the second
// is an upper bound (room enough, not the count).
std::tuple<i32, i32> axis_record(i32 nd, Vec<i32> dim, i32 a, i32 b, i32 pos, i32 n, Vec<i64> stride,
                                 Vec<i32> wi32) {
  const Run<i32> shape(wi32, pos);
  i32 f[5] = {1, shape[a], 1, shape[b], 1};
  for (i32 k = 0; k < nd; ++k) {
    if (k < a) f[0] = mul32(f[0], shape[k]);
    else if (k > a && k < b) f[2] = mul32(f[2], shape[k]);
    else if (k > b) f[4] = mul32(f[4], shape[k]);
  }
  i32 all = n;
  for (i32 t = 0; t < 5; ++t) {
    dim[t] = f[t];
    all = mul32(all, f[t]);
  }
  stride[4] = 1;
  for (i32 t = 3; t >= 0; --t) stride[t] = mul64(f[t + 1], stride[t + 1]);
  const i32 without_b = mul32(mul32(mul32(mul32(n, f[0]), f[1]), f[2]), f[4]);
  return {all, without_b};
}
FRAG_KERNEL(575, "iOiiiiOO", axis_record, "dim stride wi32");

// Diagonal of the axes (a, b) of a dense operand, in one call: the elements
// with b = a + offset, for every a with 0 <= a + offset < dim[3], in the
// order (before a, a, between, after b) — the operand's shape with axis b
// removed and axis a cut to the diagonal's length. Each selected operand
// element s = stride . (x0, a, m, a + offset, p) has its terms (and, with
// the program flag > 0, their programs) copied to the result at the running
// term count T and program position P; result row pointer[E + 1] = T, E
// advances. M is a running maximum of the terms of one result element.
// Entry 0 of the result row pointer and program pointer is the caller's.
// Returns (P, E, T, M).
std::tuple<i32, i32, i32, i32> diagonal(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 E,
                                        Vec<i32> dim, i32 op_nidxs, i32 op_rowptr, i32 prog, i32 res_pconst,
                                        i32 res_pwords, i32 res_pptr, i32 res_cof, i32 T, i32 M, Vec<f64> rf64,
                                        Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, i32 res_rowptr, i32 offset,
                                        Vec<i64> stride, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(prog);
  const Blocks op = stack::blocks_at(wi32, wi64, wf64, op_rowptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst,
                                     programs);
  const Blocks res = stack::blocks_at(ri32, ri64, rf64, res_rowptr, res_nidxs, res_cof, res_pptr, res_pwords,
                                      res_pconst, programs);
  if (dim[0] <= 0 || dim[1] <= 0) return {P, E, T, M};
  for (i64 x0 = 0; x0 < dim[0]; ++x0)
    for (i64 a = 0; a < dim[1]; ++a) {
      const i64 b = a + offset;
      if (b < 0 || b >= dim[3]) continue;
      for (i64 m = 0; m < dim[2]; ++m)
        for (i64 p = 0; p < dim[4]; ++p) {
          const i64 s = stride[0] * x0 + stride[1] * a + stride[2] * m + stride[3] * b + stride[4] * p;
          const i32 before = T;
          program::copy_terms<program::NoProgram::kNothing>(op, s, res, T, P);
          M = std::max(M, sub32(T, before));
          E = add32(E, 1);
          res.ptr[E] = T;
        }
    }
  return {P, E, T, M};
}
FRAG_KERNEL(577, "iiiiiiOiiiiiiiiiOOOiiiOOOO", diagonal, "dim rf64 ri32 ri64 stride wf64 wi32 wi64");

// Census of the two triangles of the axes (a, b) over n stored elements.
// Element e has the linear index wi64[op_sp + e] when `sparse`, else e; its
// coordinates are a = (v / stride[1]) mod dim[1] and b = (v / stride[3]) mod
// dim[3]. It adds its weight to `above` when b > a + offset and to `below`
// when b < a + offset (the diagonal itself counts in neither); the weight is
// its number of terms (row pointer at op_rowptr in wi32) when `terms`, else
// 1. nd is not read: the record already folds the shape into five factors.
// Returns (above, below); equal results for a symmetric pattern.
std::tuple<i32, i32> triangle_census(i32 n, Vec<i32> dim, bool sparse, i32 op_rowptr, i32 op_sp, i32 offset,
                                     i32 above, i32 below, i32 /*nd*/, Vec<i32> stride, bool terms, Vec<i32> wi32,
                                     Vec<i64> wi64) {
  const Run<i32> ptr(wi32, op_rowptr);
  const Run<i64> sp(wi64, op_sp);
  for (i32 e = 0; e < n; ++e) {
    const i64 v = sparse ? sp[e] : i64{e};
    const i64 a = irem(idiv(v, stride[1]), dim[1]), b = irem(idiv(v, stride[3]), dim[3]);
    const i32 w = terms ? sub32(ptr[e + 1], ptr[e]) : 1;
    if (b > a + offset) above = add32(above, w);
    else if (b < a + offset) below = add32(below, w);
  }
  return {above, below};
}
FRAG_KERNEL(556, "iOpiiiiiiOpOO", triangle_census, "dim stride wi32 wi64");

// Weights and mirror positions of a symmetric pair of axes, for the n linear
// indices v = wi64[wpos + k], the record's strides given as s0 .. s4. With
// a = (v mod s0) / s1 and b = (v mod s2) / s3: rf64[fpos + k] = 1.0 on the
// diagonal (a = b), 0.0 strictly above it (b > a) when `lower`, d otherwise;
// ri32[ipos + k] = the low 32 bits of the index with a and b exchanged, v +
// (b - a) * s1 + (a - b) * s3. s4 is not read: the innermost factor does not
// move under the exchange.
void symmetric_weights(i64 s0, i64 s1, i64 s2, i64 s3, i64 /*s4*/, bool lower, i32 n, i32 fpos, Vec<f64> rf64,
                       Vec<i32> ri32, i32 ipos, f64 d, i32 wpos, Vec<i64> wi64) {
  const Run<f64> wts(rf64, fpos);
  const Run<i32> mirror(ri32, ipos);
  const Run<i64> idx(wi64, wpos);
  for (i32 k = 0; k < n; ++k) {
    const i64 v = idx[k];
    const i64 a = idiv(irem(v, s0), s1), b = idiv(irem(v, s2), s3);
    wts[k] = a == b ? 1.0 : (lower && b > a ? 0.0 : d);
    mirror[k] = low32(add64(v, sub64(mul64(b - a, s1), mul64(b - a, s3))));
  }
}
FRAG_KERNEL(550, "LLLLLpiiOOidiO", symmetric_weights, "rf64 ri32 wi64");

// Symmetric scaling of the coefficients of a two-axis expression, the
// record's strides given as s0 .. s4. For each of the n elements, linear
// index v = wi64[op_sp + e] when sparse > 0, else v = v0 + e * step (a
// strided run of a dense expression), with a = (v mod s0) / s1 and b = (v
// mod s2) / s3: the factor is 1.0 on the diagonal b = a + offset, 0.0
// strictly above it (b > a + offset) when `lower`, d otherwise. Every term
// of the element (row pointer op_rowptr in wi32) gets rf64[res_cof + t] = the
// factor times wf64[op_cof + t]; the row pointer's n + 1 entries are copied
// to ri32[res_rowptr ..]. The variable indices are untouched (the host copies
// them as they are). s4 is not read: the innermost factor does not enter a
// or b. Folding a symmetric pair onto its lower triangle takes lower and d =
// 2.0; scaling off-diagonal entries by sqrt(2) takes d alone.
void symmetric_scale(i32 n, i32 op_cof, i32 op_rowptr, i64 s0, i64 s1, i64 s2, i64 s3, i64 /*s4*/, bool lower,
                     i32 res_cof, i32 res_rowptr, i32 sparse, i32 op_sp, i32 v0, i32 step, Vec<f64> rf64,
                     Vec<i32> ri32, f64 d, i32 offset, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> ptr(wi32, op_rowptr), rptr(ri32, res_rowptr);
  const Run<f64> cof(wf64, op_cof), rcof(rf64, res_cof);
  const Run<i64> sp(wi64, op_sp);
  for (i32 e = 0; e < n; ++e) {
    const i64 v = sparse > 0 ? sp[e] : i64{v0} + i64{e} * step;
    const i64 a = idiv(irem(v, s0), s1), b = idiv(irem(v, s2), s3);
    const f64 f = b == a + offset ? 1.0 : (lower && b > a + offset ? 0.0 : d);
    for (i32 t = ptr[e], end = ptr[e + 1]; t < end; ++t) rcof[t] = f * cof[t];
  }
  for (std::ptrdiff_t e = 0; e <= n; ++e) rptr[e] = ptr[e];
}
FRAG_KERNEL(551, "iiiLLLLLpiiiiiiOOdiOOO", symmetric_scale, "rf64 ri32 wf64 wi32 wi64");

// Negation -E of one operand whose sizes are known, in one call (n elements,
// m terms, nd axes): copies the row pointer (n + 1 entries), the variable
// indices, the sparsity indices when `sparse` and n > 0, and the shape when
// nd > 0; negates every coefficient; with the program flag > 0 writes result
// program pointer[0] = 0 and gives every term its program followed by the
// negate instruction (word 4), so each program grows by one position.
void negate(i32 op_pconst, i32 op_pwords, i32 op_pptr, i32 op_cof, bool sparse, i32 prog, i32 nd, i32 n,
            i32 op_nidxs, i32 m, i32 op_rowptr, i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof,
            Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, i32 res_rowptr, i32 res_shape, i32 res_sp,
            i32 op_shape, i32 op_sp, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  for (i64 e = 0; e <= n; ++e) ri32[res_rowptr + e] = wi32[op_rowptr + e];
  for (i64 t = 0; t < m; ++t) {
    ri64[res_nidxs + t] = wi64[op_nidxs + t];
    rf64[res_cof + t] = -wf64[op_cof + t];
  }
  if (sparse && n > 0)
    for (i64 e = 0; e < n; ++e) ri64[res_sp + e] = wi64[op_sp + e];
  for (i64 k = 0; k < nd; ++k) ri32[res_shape + k] = wi32[op_shape + k];
  if (!stack::has_programs(prog)) return;
  const Run<i32> spp(wi32, op_pptr), sw(wi32, op_pwords), dpp(ri32, res_pptr), dw(ri32, res_pwords);
  const Run<f64> sc(wf64, op_pconst), dc(rf64, res_pconst);
  dpp[0] = 0;
  i32 c = 0;
  for (i32 t = 0; t < m; ++t) {
    c = program::copy_positions(sw, sc, spp[t], spp[t + 1], dw, dc, c);
    dw[c] = stack::kNegate;
    c = add32(c, 1);
    dpp[t + 1] = c;
  }
}
FRAG_KERNEL(562, "iiiipiiiiiiiiiiOOOiiiiiiOOO", negate, "rf64 ri32 ri64 wf64 wi32 wi64");

// Block histogram of the n int64 values wi64[wpos ..]: each value v falls in
// block k = (v - v0) / B (truncating); blocks 0 .. limit - 1 are counted in
// the counter run xi32[xpos ..] (other values are skipped). Running values:
// distinct grows when a counter leaves 0, maxc is the largest counter
// reached, total the number of values counted. B must not be 0. Returns
// (distinct, maxc, total).
std::tuple<i32, i32, i32> block_histogram(i32 n, i32 wpos, i32 xpos, i32 limit, i64 B, i64 v0, i32 distinct,
                                          i32 maxc, i32 total, Vec<i64> wi64, Vec<i32> xi32) {
  const Run<i64> v(wi64, wpos);
  const Run<i32> cnt(xi32, xpos);
  for (i32 k = 0; k < n; ++k) {
    const i64 blk = idiv(sub64(v[k], v0), B);
    if (blk < 0 || blk >= limit) continue;
    const i32 c = add32(cnt[blk], 1);
    cnt[blk] = c;
    if (c == 1) distinct = add32(distinct, 1);
    maxc = std::max(maxc, c);
    total = add32(total, 1);
  }
  return {distinct, maxc, total};
}
FRAG_KERNEL(536, "iiiiLLiiiOO", block_histogram, "wi64 xi32");

}  // namespace
}  // namespace frag
