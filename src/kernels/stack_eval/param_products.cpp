// Products of stacked expressions with parameters. A parameter's value is
// known only when the coefficient programs are evaluated, so every term of
// a product gets a program: rewriting operand term j with parameter index q
// writes coefficient 0.0 and the program
//   (2, cof_j) [j's own program, (3)] (1, q) (5)
// which pushes the old coefficient, adds the old program's value when there
// is one, pushes parameter q and multiplies. Parameters are given by their
// indices: a dense parameter as an int32 block on the X stack (row-major), a
// sparse one as an ascending int64 pattern of linear indices on the X stack
// with a parallel int32 block of parameter indices.
//
// The host sizes a product with the count passes (terms T and program
// positions P), reserves room, and runs one of the writers; index kernels
// build the X-stack index and parameter blocks that the block-driven writers
// (element-wise over a pattern, inner products) read.
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

// Operand (W stack) and result (R stack) blocks of a product; the result
// always carries programs, the operand when the program flag is > 0.
struct Product {
  stack::Blocks op, res;

  // Appends the rewritten terms of operand element e with parameter q.
  void rewrite(std::ptrdiff_t e, i32 q, i32& P, i32& T) const FRAG_NOEXCEPT {
    for (i32 j = op.ptr[e], end = op.ptr[e + 1]; j < end; ++j) {
      res.nidxs[T] = op.nidxs[j];
      res.cof[T] = 0.0;
      res.words[P] = stack::kPushConst;
      res.consts[P] = op.cof[j];
      P = add32(P, 1);
      if (op.programs) {
        P = program::copy_positions(op.words, op.consts, op.pptr[j], op.pptr[j + 1], res.words, res.consts, P);
        res.words[P] = stack::kAdd;
        P = add32(P, 1);
      }
      res.words[P] = stack::kPushParam;
      res.consts[P] = static_cast<f64>(q);
      res.words[P + 1] = stack::kMultiply;
      P = add32(P, 2);
      res.pptr[add32(T, 1)] = P;
      T = add32(T, 1);
    }
  }
};

Product product(i32 op_pconst, i32 op_pwords, i32 op_pptr, i32 op_cof, i32 flag, i32 op_nidxs, i32 op_ptr,
                i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  return Product{stack::blocks_at(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst,
                                  stack::has_programs(flag)),
                 stack::blocks_at(ri32, ri64, rf64, res_ptr, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst,
                                  true)};
}

// Terms and program positions that rewriting operand element e adds.
inline void add_rewrite_size(Run<i32> ptr, Run<i32> pptr, bool programs, std::ptrdiff_t e, i32& P,
                             i32& T) FRAG_NOEXCEPT {
  const i32 a = ptr[e], b = ptr[e + 1], m = sub32(b, a);
  T = add32(T, m);
  P = add32(P, mul32(3, m));
  if (programs) P = add32(P, add32(sub32(pptr[b], pptr[a]), m));
}

// Walks the ascending operand sparsity indices sp[i..nstored) and the
// ascending pattern pat[j..npattern) side by side; match(i, j, key) is
// called for every common index. i and j are left where the walk stopped.
template <class Match>
void walk_common(Run<i64> sp, i32 nstored, Run<i64> pat, i32 npattern, i32& i, i32& j, Match match) {
  while (i < nstored && j < npattern) {
    const i64 a = sp[i], b = pat[j];
    if (a < b) {
      i = add32(i, 1);
    } else if (b < a) {
      j = add32(j, 1);
    } else {
      match(i, j, a);
      i = add32(i, 1);
      j = add32(j, 1);
    }
  }
}

// ================================================== specified members

// Element-wise product over a sparse parameter pattern: entry i rewrites
// operand element idx[i] with parameter par[i] and becomes result element i
// with sparsity index idx[i]. Reads W; writes R terms, programs, row pointer
// entries 1..N and sparsity; returns (P, T).
std::tuple<i32, i32> pattern_product(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                     i32 op_nidxs, i32 T, i32 off_par, i32 N, i32 off_idx, i32 op_ptr,
                                     i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64,
                                     Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, i32 res_sp,
                                     Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32, Vec<i64> xi64) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  const Run<i64> idx(xi64, off_idx), sp(ri64, res_sp);
  for (i32 i = 0; i < N; ++i) {
    const i64 e = idx[i];
    pr.rewrite(e, par[i], P, T);
    sp[i] = e;
    pr.res.ptr[i + 1] = T;
  }
  return {P, T};
}
FRAG_KERNEL(369, "iiiiiiiiiiiiiiiiOOOiiiOOOOO", pattern_product, "rf64 ri32 ri64 wf64 wi32 wi64 xi32 xi64");

// Sum over i of par[i] times operand element idx[i], appended to the element
// being built (no row pointer entry). Reads W and the X blocks; writes R
// terms and programs; returns (P, T).
std::tuple<i32, i32> block_inner(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                 i32 op_nidxs, i32 T, i32 off_par, i32 N, i32 off_idx, i32 op_ptr, i32 res_pconst,
                                 i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                 Vec<i64> ri64, i32 res_nidxs, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64,
                                 Vec<i32> xi32, Vec<i64> xi64) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, 0, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  const Run<i64> idx(xi64, off_idx);
  for (i32 i = 0; i < N; ++i) pr.rewrite(idx[i], par[i], P, T);
  return {P, T};
}
FRAG_KERNEL(364, "iiiiiiiiiiiiiiiiOOOiOOOOO", block_inner, "rf64 ri32 ri64 wf64 wi32 wi64 xi32 xi64");

// One term of a parameter-matrix product: operand element oE + sE*k times
// parameter par[k + sP*r], appended to the element being built.
std::tuple<i32, i32> matrix_term(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 sE, i32 r,
                                 i32 oE, i32 k, i32 flag, i32 op_nidxs, i32 T, i32 sP, i32 off_par, i32 op_ptr,
                                 i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64,
                                 Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, Vec<f64> wf64, Vec<i32> wi32,
                                 Vec<i64> wi64, Vec<i32> xi32) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, 0, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  pr.rewrite(add32(oE, mul32(sE, k)), par[add32(k, mul32(sP, r))], P, T);
  return {P, T};
}
FRAG_KERNEL(377, "iiiiiiiiiiiiiiiiiiiOOOiOOOO", matrix_term, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// ======================================== writers around the products

// q * E for one parameter q: element e of the result is operand element e
// rewritten with q, e < n. Writes R terms, programs and row pointer entries
// 1..n (a sparse operand's sparsity block is copied by the host); returns
// (P, T).
std::tuple<i32, i32> scalar_param_product(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                          i32 n, i32 op_nidxs, i32 q, i32 T, i32 op_ptr, i32 res_pconst,
                                          i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                          Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, Vec<f64> wf64, Vec<i32> wi32,
                                          Vec<i64> wi64) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  for (i32 e = 0; e < n; ++e) {
    pr.rewrite(e, q, P, T);
    pr.res.ptr[e + 1] = T;
  }
  return {P, T};
}
FRAG_KERNEL(343, "iiiiiiiiiiiiiiiOOOiiOOO", scalar_param_product, "rf64 ri32 ri64 wf64 wi32 wi64");

// E .* P for a dense operand and a dense parameter of the same shape:
// element e rewritten with par[e], e < n. Writes R terms, programs and row
// pointer entries 1..n; returns (P, T).
std::tuple<i32, i32> dense_param_product(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                         i32 n, i32 op_nidxs, i32 off_par, i32 T, i32 op_ptr, i32 res_pconst,
                                         i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                         Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, Vec<f64> wf64, Vec<i32> wi32,
                                         Vec<i64> wi64, Vec<i32> xi32) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  for (i32 e = 0; e < n; ++e) {
    pr.rewrite(e, par[e], P, T);
    pr.res.ptr[e + 1] = T;
  }
  return {P, T};
}
FRAG_KERNEL(344, "iiiiiiiiiiiiiiiOOOiiOOOO", dense_param_product, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// E .* P for a sparse operand (n stored elements) and a dense parameter:
// stored element s rewritten with par[sp[s]], result element s keeps the
// sparsity index sp[s]. Writes R terms, programs, row pointer entries 1..n
// and sparsity; returns (P, T).
std::tuple<i32, i32> sparse_dense_product(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                          i32 n, i32 op_nidxs, i32 off_par, i32 T, i32 op_ptr, i32 res_pconst,
                                          i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                          Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, i32 res_sp, i32 op_sp,
                                          Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  const Run<i64> sp(wi64, op_sp), rsp(ri64, res_sp);
  for (i32 s = 0; s < n; ++s) {
    const i64 key = sp[s];
    pr.rewrite(s, par[key], P, T);
    rsp[s] = key;
    pr.res.ptr[s + 1] = T;
  }
  return {P, T};
}
FRAG_KERNEL(350, "iiiiiiiiiiiiiiiOOOiiiiOOOO", sparse_dense_product, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// Inner product with a dense parameter: sum over e < n of par[e] times
// operand element e, appended to the element being built (no row pointer
// entry). Writes R terms and programs; returns (P, T).
std::tuple<i32, i32> dense_param_inner(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                       i32 n, i32 op_nidxs, i32 off_par, i32 T, i32 op_ptr, i32 res_pconst,
                                       i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                       Vec<i64> ri64, i32 res_nidxs, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64,
                                       Vec<i32> xi32) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, 0, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  for (i32 e = 0; e < n; ++e) pr.rewrite(e, par[e], P, T);
  return {P, T};
}
FRAG_KERNEL(352, "iiiiiiiiiiiiiiiOOOiOOOO", dense_param_inner, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// Element-wise product of a sparse operand with a sparse parameter: the
// operand's sparsity indices from cursor i and the pattern from cursor j
// are walked side by side; every common index becomes result element E
// (operand element rewritten with the entry's parameter, sparsity index the
// common index). Writes R terms, programs, row pointer entries E+1 and
// sparsity; returns (P, E, i, j, T).
std::tuple<i32, i32, i32, i32, i32> sparse_sparse_product(
    i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag, i32 E, i32 i, i32 j, i32 nstored,
    i32 npattern, i32 op_nidxs, i32 off_par, i32 T, i32 op_ptr, i32 res_pconst, i32 res_pwords, i32 res_pptr,
    i32 res_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, i32 res_sp, i32 op_sp,
    i32 off_pattern, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32, Vec<i64> xi64) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  const Run<i64> rsp(ri64, res_sp);
  walk_common(Run(wi64, op_sp), nstored, Run(xi64, off_pattern), npattern, i, j, [&](i32 s, i32 t, i64 key) {
    pr.rewrite(s, par[t], P, T);
    rsp[E] = key;
    pr.res.ptr[add32(E, 1)] = T;
    E = add32(E, 1);
  });
  return {P, E, i, j, T};
}
FRAG_KERNEL(368, "iiiiiiiiiiiiiiiiiiiOOOiiiiiOOOOO", sparse_sparse_product,
            "rf64 ri32 ri64 wf64 wi32 wi64 xi32 xi64");

// Dense matrix products with a dense parameter matrix, result m x n (row
// pointer entries 1..m*n): element (r, c) is the sum over k < K of operand
// element eR*r + eC*c + eK*k rewritten with par[qR*r + qC*c + qK*k].
struct Grid {
  i64 eR, eC, eK, qR, qC, qK;
};

// Product of a stacked expression with a dense parameter matrix, result m x n:
// element (r, c) is the sum over k < K of operand elements rewritten with
// their parameters from off_par on the X stack; returns the final (P, T).
template <class G>
std::tuple<i32, i32> grid_product(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag, i32 K,
                                  i32 m, i32 n, i32 op_nidxs, i32 off_par, i32 T, i32 op_ptr, i32 res_pconst,
                                  i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64, Vec<i32> ri32,
                                  Vec<i64> ri64, i32 res_nidxs, i32 res_ptr, Vec<f64> wf64, Vec<i32> wi32,
                                  Vec<i64> wi64, Vec<i32> xi32) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  const Grid g = G::grid(K, m, n);
  std::ptrdiff_t out = 0;
  for (i64 r = 0; r < m; ++r)
    for (i64 c = 0; c < n; ++c) {
      for (i64 k = 0; k < K; ++k)
        pr.rewrite(g.eR * r + g.eC * c + g.eK * k, par[g.qR * r + g.qC * c + g.qK * k], P, T);
      pr.res.ptr[++out] = T;
    }
  return {P, T};
}

// P (m x K) times E (K x n).
struct ParamTimesExpr {
  static Grid grid(i64 K, i64, i64 n) { return {0, 1, n, K, 0, 1}; }
};
// P^T times E: P stored K x m.
struct ParamTTimesExpr {
  static Grid grid(i64, i64 m, i64 n) { return {0, 1, n, 1, 0, m}; }
};
// E (m x K) times P (K x n).
struct ExprTimesParam {
  static Grid grid(i64 K, i64, i64 n) { return {K, 0, 1, 0, 1, n}; }
};
// E times P^T: P stored n x K.
struct ExprTimesParamT {
  static Grid grid(i64 K, i64, i64) { return {K, 0, 1, 0, K, 1}; }
};

FRAG_KERNEL(358, "iiiiiiiiiiiiiiiiiOOOiiOOOO", grid_product<ParamTimesExpr>, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");
FRAG_KERNEL(360, "iiiiiiiiiiiiiiiiiOOOiiOOOO", grid_product<ParamTTimesExpr>, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");
FRAG_KERNEL(363, "iiiiiiiiiiiiiiiiiOOOiiOOOO", grid_product<ExprTimesParam>, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");
FRAG_KERNEL(376, "iiiiiiiiiiiiiiiiiOOOiiOOOO", grid_product<ExprTimesParamT>, "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// A sparse operand E (m x K, nstored elements, ascending sparsity indices)
// times a dense parameter matrix, dense result m x n: element (r, c) sums
// the stored elements of row r (sparsity index r*K + k), each rewritten with
// par[Q::index(k, c, K, n)]. Writes R terms, programs and row pointer
// entries 1..m*n; returns (P, T).
template <class Q>
std::tuple<i32, i32> sparse_rows_product(i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 flag,
                                         i32 K, i32 m, i32 n, i32 nstored, i32 op_nidxs, i32 off_par, i32 T,
                                         i32 op_ptr, i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof,
                                         Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, i32 res_ptr,
                                         i32 op_sp, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32) {
  const Product pr = product(op_pconst, op_pwords, op_pptr, op_cof, flag, op_nidxs, op_ptr, res_pconst,
                             res_pwords, res_pptr, res_cof, rf64, ri32, ri64, res_nidxs, res_ptr, wf64, wi32, wi64);
  const Run<i32> par(xi32, off_par);
  const Run<i64> sp(wi64, op_sp);
  std::ptrdiff_t out = 0;
  i32 s0 = 0;
  for (i64 r = 0; r < m; ++r) {
    i32 s1 = s0;  // stored elements of row r: s0 .. s1 - 1
    while (s1 < nstored && sp[s1] < (r + 1) * K) ++s1;
    for (i64 c = 0; c < n; ++c) {
      for (i32 s = s0; s < s1; ++s) pr.rewrite(s, par[Q::index(sp[s] - r * K, c, K, n)], P, T);
      pr.res.ptr[++out] = T;
    }
    s0 = s1;
  }
  return {P, T};
}

struct RowMajorParam {  // P is K x n
  static std::ptrdiff_t index(i64 k, i64 c, i64, i64 n) { return k * n + c; }
};
struct TransposedParam {  // P is stored n x K
  static std::ptrdiff_t index(i64 k, i64 c, i64 K, i64) { return c * K + k; }
};

FRAG_KERNEL(380, "iiiiiiiiiiiiiiiiiiOOOiiiOOOO", sparse_rows_product<RowMajorParam>,
            "rf64 ri32 ri64 wf64 wi32 wi64 xi32");
FRAG_KERNEL(385, "iiiiiiiiiiiiiiiiiiOOOiiiOOOO", sparse_rows_product<TransposedParam>,
            "rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// ============================================ count passes and index blocks

// Size of rewriting operand elements e0 .. e0 + n - 1, reps times (a matrix
// product uses every operand element once per result row or column).
// Reads wi32; returns (P, T).
std::tuple<i32, i32> range_size(i32 op_pptr, i32 P, i32 flag, i32 n, i32 e0, i32 reps, i32 T, i32 op_ptr,
                                Vec<i32> wi32) {
  const Run<i32> ptr(wi32, op_ptr), pptr(wi32, op_pptr);
  const bool programs = stack::has_programs(flag);
  i32 p = 0, t = 0;
  for (i32 e = 0; e < n; ++e) add_rewrite_size(ptr, pptr, programs, static_cast<std::ptrdiff_t>(e0) + e, p, t);
  return {add32(P, mul32(reps, p)), add32(T, mul32(reps, t))};
}
FRAG_KERNEL(349, "iiiiiiiiO", range_size, "wi32");

// Size of rewriting the N operand elements listed in the index block (for
// the pattern product and the block inner product). Reads wi32 and xi64;
// returns (P, T).
std::tuple<i32, i32> block_size(i32 op_pptr, i32 P, i32 flag, i32 N, i32 off_idx, i32 T, i32 op_ptr,
                                Vec<i32> wi32, Vec<i64> xi64) {
  const Run<i32> ptr(wi32, op_ptr), pptr(wi32, op_pptr);
  const Run<i64> idx(xi64, off_idx);
  const bool programs = stack::has_programs(flag);
  for (i32 i = 0; i < N; ++i) add_rewrite_size(ptr, pptr, programs, idx[i], P, T);
  return {P, T};
}
FRAG_KERNEL(351, "iiiiiiiOO", block_size, "wi32 xi64");

// Size of the sparse-by-sparse element-wise product: the same side-by-side
// walk over the whole of both sequences; E counts the common indices.
// Reads wi32, wi64 and xi64; returns (P, E, T).
std::tuple<i32, i32, i32> sparse_sparse_size(i32 op_pptr, i32 P, i32 flag, i32 E, i32 nstored, i32 npattern,
                                             i32 T, i32 op_ptr, i32 op_sp, i32 off_pattern, Vec<i32> wi32,
                                             Vec<i64> wi64, Vec<i64> xi64) {
  const Run<i32> ptr(wi32, op_ptr), pptr(wi32, op_pptr);
  const bool programs = stack::has_programs(flag);
  i32 i = 0, j = 0;
  walk_common(Run(wi64, op_sp), nstored, Run(xi64, off_pattern), npattern, i, j, [&](i32 s, i32, i64) {
    add_rewrite_size(ptr, pptr, programs, s, P, T);
    E = add32(E, 1);
  });
  return {P, E, T};
}
FRAG_KERNEL(357, "iiiiiiiiiiOOO", sparse_sparse_size, "wi32 wi64 xi64");

// Index and parameter blocks of a sparse operand against a sparse parameter
// pattern: for every common index, idx[N] = the stored operand element and
// par_out[N] = the entry's parameter index, N advancing. Reads wi64, xi32,
// xi64; writes xi32 and xi64; returns N.
i32 sparse_sparse_blocks(i32 N, i32 nstored, i32 npattern, i32 off_idx, i32 op_sp, i32 off_out, i32 off_par,
                         i32 off_pattern, Vec<i64> wi64, Vec<i32> xi32, Vec<i64> xi64) {
  const Run<i32> par(xi32, off_par), out(xi32, off_out);
  const Run<i64> idx(xi64, off_idx);
  i32 i = 0, j = 0;
  walk_common(Run(wi64, op_sp), nstored, Run(xi64, off_pattern), npattern, i, j, [&](i32 s, i32 t, i64) {
    idx[N] = s;
    out[N] = par[t];
    N = add32(N, 1);
  });
  return N;
}
FRAG_KERNEL(359, "iiiiiiiiOOO", sparse_sparse_blocks, "wi64 xi32 xi64");

// Index and parameter blocks of a sparse operand against a dense
// parameter: idx[N + s] = s and par_out[N + s] = par[sp[s]] for every stored
// element s. Reads wi64, xi32; writes xi32, xi64; returns N + nstored.
i32 sparse_dense_blocks(i32 N, i32 nstored, i32 off_idx, i32 op_sp, i32 off_out, i32 off_par, Vec<i64> wi64,
                        Vec<i32> xi32, Vec<i64> xi64) {
  const Run<i32> par(xi32, off_par), out(xi32, off_out);
  const Run<i64> idx(xi64, off_idx), sp(wi64, op_sp);
  for (i32 s = 0; s < nstored; ++s) {
    idx[N] = s;
    out[N] = par[sp[s]];
    N = add32(N, 1);
  }
  return N;
}
FRAG_KERNEL(361, "iiiiiiOOO", sparse_dense_blocks, "wi64 xi32 xi64");

// Entries of a sparse parameter matrix (ncols columns) per row, or per
// column, added into entry row + 1 (column + 1) of a zeroed count run on
// xi32; a prefix sum turns it into a row (column) pointer. Returns None.
template <bool ByColumn>
void pattern_counts(i32 ncols, i32 npattern, i32 off_count, i32 off_pattern, Vec<i32> xi32, Vec<i64> xi64) {
  const Run<i32> count(xi32, off_count);
  const Run<i64> pat(xi64, off_pattern);
  for (i32 t = 0; t < npattern; ++t) {
    const std::ptrdiff_t at = (ByColumn ? irem(pat[t], ncols) : idiv(pat[t], ncols)) + 1;
    count[at] = add32(count[at], 1);
  }
}
FRAG_KERNEL(374, "iiiiOO", pattern_counts<false>, "xi32 xi64");
FRAG_KERNEL(365, "iiiiOO", pattern_counts<true>, "xi32 xi64");

// Transpose of a sparse parameter matrix (nrows x ncols) through its column
// pointer on xi32 (entry c = first place of column c, advanced as a
// cursor): entry (r, c) goes to tpattern[cursor[c]] = c*nrows + r with its
// parameter index in tpar. The result is again ascending. Returns None.
void pattern_transpose(i32 ncols, i32 nrows, i32 npattern, i32 off_cursor, i32 off_par, i32 off_pattern,
                       i32 off_tpar, i32 off_tpattern, Vec<i32> xi32, Vec<i64> xi64) {
  const Run<i32> cursor(xi32, off_cursor), par(xi32, off_par), tpar(xi32, off_tpar);
  const Run<i64> pat(xi64, off_pattern), tpat(xi64, off_tpattern);
  for (i32 t = 0; t < npattern; ++t) {
    const i64 key = pat[t], r = idiv(key, ncols), c = irem(key, ncols);
    const i32 dst = cursor[c];
    tpat[dst] = c * nrows + r;
    tpar[dst] = par[t];
    cursor[c] = add32(dst, 1);
  }
}
FRAG_KERNEL(375, "iiiiiiiiOO", pattern_transpose, "xi32 xi64");

// Blocks of one result element of a product with a sparse parameter
// matrix: the entries t of pattern row `row` (row pointer on xi32) give
// idx[N] = Index(k, ...) with k = the entry's column, and par_out[N] = its
// parameter index, N advancing. Returns N.
template <class Index>
i32 row_blocks(i32 N, i32 row, const Index& index, i32 K, i32 off_idx, i32 off_out, i32 off_par, i32 off_pattern,
               i32 off_rowptr, Vec<i32> xi32, Vec<i64> xi64) {
  const Run<i32> out(xi32, off_out), par(xi32, off_par), rowptr(xi32, off_rowptr);
  const Run<i64> idx(xi64, off_idx), pat(xi64, off_pattern);
  for (i32 t = rowptr[row], end = rowptr[row + 1]; t < end; ++t) {
    idx[N] = index(pat[t] - static_cast<i64>(row) * K);
    out[N] = par[t];
    N = add32(N, 1);
  }
  return N;
}

// Element (r, c) of P * E, P sparse m x K, E dense K x n: row r of P, operand
// element k*n + c.
i32 param_expr_blocks(i32 N, i32 c, i32 K, i32 n, i32 r, i32 off_idx, i32 off_out, i32 off_par, i32 off_pattern,
                      i32 off_rowptr, Vec<i32> xi32, Vec<i64> xi64) {
  return row_blocks(
      N, r, [&](i64 k) { return k * n + c; }, K, off_idx, off_out, off_par, off_pattern, off_rowptr, xi32, xi64);
}
FRAG_KERNEL(378, "iiiiiiiiiiOO", param_expr_blocks, "xi32 xi64");

// Element (r, c) of E * P^T, P sparse n x K, E dense m x K: row c of P,
// operand element r*K + k.
i32 expr_param_blocks(i32 N, i32 c, i32 K, i32 r, i32 off_idx, i32 off_out, i32 off_par, i32 off_pattern,
                      i32 off_rowptr, Vec<i32> xi32, Vec<i64> xi64) {
  return row_blocks(
      N, c, [&](i64 k) { return static_cast<i64>(r) * K + k; }, K, off_idx, off_out, off_par, off_pattern,
      off_rowptr, xi32, xi64);
}
FRAG_KERNEL(382, "iiiiiiiiiOO", expr_param_blocks, "xi32 xi64");

}  // namespace
}  // namespace frag
