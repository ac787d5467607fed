// Semidefinite blocks: element tables of new symmetric matrix variables, and
// the split of stack rows into symmetric-matrix terms (lower-triangle
// triplets per semidefinite variable) and a compressed-row scalar part.
//
// In a row, variable index x < 0 is semidefinite element ~x, 0 the constant
// term and x > 0 scalar variable x. Rows list their negative indices first,
// then index 0, then positive indices. The elements of a variable of order
// d are numbered column by column through its lower triangle.
#include <tuple>

#include "kernels/extents.hpp"
#include "kernels/stack_eval/stack_layout.hpp"

namespace frag {
namespace {

using idx = std::ptrdiff_t;
using stack::Run;

// ------------------------------------------------------- element tables

// Element tables of m semidefinite variables of dimension d: for each, the
// packed lower-triangle elements (i >= j, column by column) get their
// variable number f + u and coordinates at positions numbered from
// barvar_block_elm_ptr[w] (those numbers also go to nativeidxs), and each
// variable's dimension goes to barvar_dim.
void element_tables(Vec<i32> barvar_block_elm_barj, Vec<i32> barvar_block_elm_i, Vec<i32> barvar_block_elm_j,
                    Vec<i32> barvar_block_elm_ptr, Vec<i32> barvar_dim, i32 w, i32 d, i32 f, Vec<i64> nativeidxs,
                    i32 m) {
  if (m < 1) return;
  const i32 P = barvar_block_elm_ptr[w];
  idx o = 0;
  for (i32 u = 0; u < m; ++u)
    for (i32 j = 0; j < d; ++j)
      for (i32 i = j; i < d; ++i, ++o) {
        barvar_block_elm_barj[P + o] = add32(f, u);
        barvar_block_elm_i[P + o] = i;
        barvar_block_elm_j[P + o] = j;
        nativeidxs[o] = P + o;
      }
  for (i32 u = 0; u < m; ++u) barvar_dim[idx{f} + u] = d;
}
FRAG_KERNEL(8, "OOOOOiiiOi", element_tables,
            "barvar_block_elm_barj barvar_block_elm_i barvar_block_elm_j barvar_block_elm_ptr barvar_dim "
            "nativeidxs");

// Numbers n semidefinite variables consecutively: barvaridxs[k] = s + k.
void number_variables(Vec<i32> barvaridxs, i32 s, i32 n) {
  for (i32 k = 0; k < n; ++k) barvaridxs[k] = add32(s, k);
}
FRAG_KERNEL(7, "Oii", number_variables, "barvaridxs");

// --------------------------------------------------- symmetric-matrix terms

// The rows of a stack expression: row r spans entries ptr[r] .. ptr[r+1]-1
// of the variable indices and coefficients.
struct Rows {
  Run<i32> ptr;
  Run<i64> nidx;
};

// Splits the leading run of negative indices of entries b .. e-1 into terms,
// one per maximal run of consecutive entries of the same semidefinite
// variable: entry(k, element) for each entry, then term(variable, length)
// when the run closes. Returns the first entry after the leading run.
template <class Entry, class Term>
inline i32 leading_terms(const Rows& rows, Vec<i32> barj, i32 b, i32 e, Entry entry, Term term) {
  i32 k = b;
  while (k < e && rows.nidx[k] < 0) {
    const i32 g = barj[~rows.nidx[k]];
    i32 len = 0;
    for (; k < e; ++k, ++len) {
      const i64 x = rows.nidx[k];
      if (x >= 0 || barj[~x] != g) break;
      entry(k, ~x);
    }
    term(g, len);
  }
  return k;
}

// Terms of R rows: triplets (row, column, coefficient) with off-diagonal
// coefficients halved, one (variable, order, count) record per term, and
// ptr[r + 1] = the number of terms so far.
template <class P>
std::tuple<i32, i32> matrix_terms(i32 t, i32 q, Vec<i32> barsubj, Vec<i32> barvar_block_elm_barj,
                                  Vec<i32> barvar_block_elm_i, Vec<i32> barvar_block_elm_j, Vec<i32> barvar_dim, i32 c,
                                  Vec<f64> matcof, Vec<i32> matdim, Vec<i64> matnnz, Vec<i32> matsubi,
                                  Vec<i32> matsubj, i32 v, i32 R, Vec<P> ptr, i32 p, Vec<f64> rf64, Vec<i32> ri32,
                                  Vec<i64> ri64) {
  const Rows rows{Run(ri32, p), Run(ri64, v)};
  const Run<f64> cof(rf64, c);
  for (i32 r = 0; r < R; ++r) {
    leading_terms(
        rows, barvar_block_elm_barj, rows.ptr[r], rows.ptr[r + 1],
        [&](i32 k, i64 el) {
          const i32 i = barvar_block_elm_i[el], j = barvar_block_elm_j[el];
          matsubi[t] = i;
          matsubj[t] = j;
          matcof[t] = i != j ? cof[k] * 0.5 : cof[k];
          t = add32(t, 1);
        },
        [&](i32 g, i32 len) {
          barsubj[q] = g;
          matdim[q] = barvar_dim[g];
          matnnz[q] = len;
          q = add32(q, 1);
        });
    ptr[idx{r} + 1] = q;
  }
  return {t, q};
}
FRAG_KERNEL(80, "iiOOOOOiOOOOOiiOiOOO", matrix_terms<i64>,
            "barsubj barvar_block_elm_barj barvar_block_elm_i barvar_block_elm_j barvar_dim matcof matdim matnnz "
            "matsubi matsubj ptr rf64 ri32 ri64");
FRAG_KERNEL(77, "iiOOOOOiOOOOOiiOiOOO", matrix_terms<i32>,
            "barsubj barvar_block_elm_barj barvar_block_elm_i barvar_block_elm_j barvar_dim matcof matdim matnnz "
            "matsubi matsubj ptr rf64 ri32 ri64");

// ------------------------------------------------------------ scalar part

// Scalar part of R rows from output position 0. Without a fixed term
// (bfix empty): every entry with index >= 0 and a coefficient that is not
// zero (NaN kept, both zeros dropped). With one: index 0 adds its
// coefficient to bfix[r], a positive index is kept whatever its coefficient.
// ptrb[r + 1] = ptrb[r] + the number kept in row r.
//
// Entry by entry in row order. The loop is a handful of instructions per
// entry, so what is not the entry's own work shows: a row's count is read
// off the output position instead of being counted, and the entry loop is
// unrolled four entries a round.
template <bool Fixed, class P, class Cof>
void scalar_part(Vec<f64> bfix, Cof cof, i32 c, i32 R, i32 v, i32 p, Vec<P> ptrb, Vec<f64> rf64,
                 Vec<i32> ri32, Vec<i64> ri64, Vec<i32> subj) {
  const Run<i32> ptr(ri32, p);
  const Run<i64> nidx(ri64, v);
  const Run<f64> rc(rf64, c);
  idx o = 0;
  for (i32 r = 0; r < R; ++r) {
    const idx o0 = o;
#pragma GCC unroll 4
    for (i32 k = ptr[r], e = ptr[r + 1]; k < e; ++k) {
      const i64 x = nidx[k];
      const f64 a = rc[k];
      if constexpr (Fixed) {
        if (x == 0) {
          bfix[r] += a;
          continue;
        }
        if (x < 0) continue;
      } else {
        if (x < 0 || a == 0.0) continue;
      }
      subj[o] = low32(x);
      cof[o] = a;
      ++o;
    }
    const P kept = static_cast<P>(o - o0);
    if constexpr (sizeof(P) == 4)
      ptrb[idx{r} + 1] = add32(ptrb[r], kept);
    else
      ptrb[idx{r} + 1] = add64(ptrb[r], kept);
  }
}
// Scalar part of R rows of the expression on the R stack: every entry with a
// native index >= 0 and a nonzero coefficient goes to (subj, cof) from
// position 0, and ptrb[r + 1] = ptrb[r] + the entries kept in row r.
void scalar_nonzero(Vec<f64> cof, i32 c, i32 R, i32 v, i32 p, Vec<i64> ptrb, Vec<f64> rf64, Vec<i32> ri32,
                    Vec<i64> ri64, Vec<i32> subj) {
  scalar_part<false>(Vec<f64>{}, cof, c, R, v, p, ptrb, rf64, ri32, ri64, subj);
}
// Scalar part of R rows of the expression on the R stack with fixed terms:
// index 0 adds its coefficient to bfix[r], every positive index goes to (subj,
// cof) from position 0, and ptrb[r + 1] = ptrb[r] + the entries kept in row r.
// The host's counting pass sends the coefficients to a zero-stride sink; a
// coefficient view of stride 0 or 1 is taken as one of that fixed stride, so
// that the loop does not multiply the output position by a stride.
void scalar_fixed(Vec<f64> bfix, Vec<f64> cof, i32 c, i32 R, i32 v, i32 p, Vec<i32> ptrb, Vec<f64> rf64,
                  Vec<i32> ri32, Vec<i64> ri64, Vec<i32> subj) {
  if (has_fixed_stride(cof))
    with_fixed_stride(cof, [&](auto fixed) { scalar_part<true>(bfix, fixed, c, R, v, p, ptrb, rf64, ri32, ri64, subj); });
  else
    scalar_part<true>(bfix, cof, c, R, v, p, ptrb, rf64, ri32, ri64, subj);
}
FRAG_KERNEL(79, "OiiiiOOOOO", scalar_nonzero, "cof ptrb rf64 ri32 ri64 subj");
FRAG_KERNEL(76, "OOiiiiOOOOO", scalar_fixed, "bfix cof ptrb rf64 ri32 ri64 subj");

// -------------------------------------------------------------------- sizes

// Terms q and triplets t of the leading runs, and scalar entries s of the
// rest: those with a coefficient that is not zero (with coefficients), or
// those from the first index that is not 0 on (without).
template <bool Coefficients>
std::tuple<i32, i32, i32> sizes(i32 q, Vec<i32> barj, Run<f64> cof, i32 s, i32 R, const Rows& rows, i32 t) {
  for (i32 r = 0; r < R; ++r) {
    const i32 e = rows.ptr[r + 1];
    i32 k = leading_terms(
        rows, barj, rows.ptr[r], e, [&](i32, i64) { t = add32(t, 1); }, [&](i32, i32) { q = add32(q, 1); });
    if constexpr (Coefficients) {
      for (; k < e; ++k)
        if (!(cof[k] == 0.0)) s = add32(s, 1);
    } else {
      while (k < e && rows.nidx[k] == 0) ++k;
      s = add32(s, sub32(e, k));
    }
  }
  return {q, s, t};
}
// Sizes of the semidefinite split of R rows: terms q and triplets t of the
// leading semidefinite runs, and s scalar entries with a nonzero coefficient;
// returns (q, s, t).
std::tuple<i32, i32, i32> sizes_nonzero(i32 q, Vec<i32> barvar_block_elm_barj, i32 c, i32 s, i32 R, i32 v, i32 p,
                                        Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 t) {
  return sizes<true>(q, barvar_block_elm_barj, Run(rf64, c), s, R, Rows{Run(ri32, p), Run(ri64, v)}, t);
}
// Sizes of the semidefinite split of R rows: terms q and triplets t of the
// leading semidefinite runs, and s scalar entries from the first index that is
// not 0 on; returns (q, s, t).
std::tuple<i32, i32, i32> sizes_fixed(i32 q, Vec<i32> barvar_block_elm_barj, i32 s, i32 R, i32 v, i32 p,
                                      Vec<i32> ri32, Vec<i64> ri64, i32 t) {
  return sizes<false>(q, barvar_block_elm_barj, Run(Vec<f64>{}, 0), s, R, Rows{Run(ri32, p), Run(ri64, v)}, t);
}
FRAG_KERNEL(78, "iOiiiiiOOOi", sizes_nonzero, "barvar_block_elm_barj rf64 ri32 ri64");
FRAG_KERNEL(75, "iOiiiiOOi", sizes_fixed, "barvar_block_elm_barj ri32 ri64");

// ------------------------------------------------------------ plain lists

// n semidefinite entries as (variable, row, column, coefficient), the
// off-diagonal coefficients halved.
void matrix_entries(Vec<i32> barvar_block_elm_barj, Vec<i32> barvar_block_elm_i, Vec<i32> barvar_block_elm_j, i32 c,
                    i32 v, i32 n, Vec<f64> rf64, Vec<i64> ri64, Vec<i32> subj, Vec<i32> subk, Vec<i32> subl,
                    Vec<f64> val) {
  for (i32 k = 0; k < n; ++k) {
    const i64 e = ~ri64[idx{v} + k];
    const i32 i = barvar_block_elm_i[e], j = barvar_block_elm_j[e];
    subj[k] = barvar_block_elm_barj[e];
    subk[k] = i;
    subl[k] = j;
    const f64 a = rf64[idx{c} + k];
    val[k] = i != j ? a * 0.5 : a;
  }
}
FRAG_KERNEL(48, "OOOiiiOOOOOO", matrix_entries,
            "barvar_block_elm_barj barvar_block_elm_i barvar_block_elm_j rf64 ri64 subj subk subl val");

// The n entries with a non-negative index, in order, from output position 0.
void scalar_entries(Vec<f64> cof, i32 c, i32 v, i32 n, Vec<f64> rf64, Vec<i64> ri64, Vec<i32> subj) {
  idx o = 0;
  for (i32 k = 0; k < n; ++k) {
    const i64 x = ri64[idx{v} + k];
    if (x < 0) continue;
    subj[o] = low32(x);
    cof[o] = rf64[idx{c} + k];
    ++o;
  }
}
FRAG_KERNEL(47, "OiiiOOO", scalar_entries, "cof rf64 ri64 subj");

// p times ri32[s .. s+n-1], 32-bit wrap.
i32 run_product(i32 n, i32 p, Vec<i32> ri32, i32 s) { return extents::product(p, Run(ri32, s), 0, i64{n} - 1); }
FRAG_KERNEL(81, "iiOi", run_product, "ri32");

}  // namespace
}  // namespace frag
