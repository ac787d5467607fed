// Constraint rows: the rows of a stack expression, one per constraint
// element, routed into linear rows (conidxs[k] = c >= 0 is linear row c) and
// conic rows (c < 0 is affine conic element ~c); nonzeros counted per part,
// row pointers appended on the X stack as running totals, rows expanded into
// dense blocks over a sorted variable list, and the coefficient programs of
// parameterized rows evaluated into (variable, value) pairs.
#include <cstddef>
#include <tuple>

#include "kernels/extents.hpp"
#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using idx = std::ptrdiff_t;
using stack::Run;

// Number of entries of row k: wi32[p+k+1] - wi32[p+k].
struct RowSize {
  Run<i32> ptr;
  i32 operator()(i32 k) const FRAG_NOEXCEPT { return sub32(ptr[k + 1], ptr[k]); }
};
// Number of entries of item k, spanning rows wi32[p+k] .. wi32[p+k+1] of
// the row-pointer block at o.
struct ItemSize {
  Run<i32> items;
  Run<i32> ptr;
  i32 operator()(i32 k) const FRAG_NOEXCEPT { return sub32(ptr[items[k + 1]], ptr[items[k]]); }
};

// ----------------------------------------------------------------- routing

// Each row appended to its part: its row number, and its part's running
// total of entries as the next row-pointer entry of that part's block.
std::tuple<i32, i32, i32, i32> split_rows(i32 cr, i32 ct, Vec<i32> conidxs, i32 xc, Vec<i32> crowidx, i32 lr, i32 lt,
                                          i32 xl, Vec<i32> lrowidx, i32 n, i32 p, Vec<i32> wi32, Vec<i32> xi32) {
  const RowSize size{Run(wi32, p)};
  const Run<i32> cptr(xi32, xc), lptr(xi32, xl);
  for (i32 k = 0; k < n; ++k) {
    const i32 d = size(k), c = conidxs[k];
    if (c < 0) {
      ct = add32(ct, d);
      crowidx[cr] = ~c;
      cptr[idx{cr} + 1] = ct;
      cr = add32(cr, 1);
    } else {
      lt = add32(lt, d);
      lrowidx[lr] = c;
      lptr[idx{lr} + 1] = lt;
      lr = add32(lr, 1);
    }
  }
  return {cr, ct, lr, lt};
}
FRAG_KERNEL(35, "iiOiOiiiOiiOO", split_rows, "conidxs crowidx lrowidx wi32 xi32");

// Splits the first n constraint native indices into conic rows (~c into
// crowidx from cr) and linear rows (c into lrowidx from lr); returns the final
// (cr, lr).
std::tuple<i32, i32> split_indices(i32 cr, Vec<i32> conidxs, Vec<i32> crowidx, i32 lr, Vec<i32> lrowidx, i32 n) {
  for (i32 k = 0; k < n; ++k) {
    const i32 c = conidxs[k];
    if (c < 0) {
      crowidx[cr] = ~c;
      cr = add32(cr, 1);
    } else {
      lrowidx[lr] = c;
      lr = add32(lr, 1);
    }
  }
  return {cr, lr};
}
FRAG_KERNEL(39, "iOOiOi", split_indices, "conidxs crowidx lrowidx");

// Entries per part: conic rows add to A, linear rows to B.
template <class Size>
inline std::tuple<i32, i32> part_totals(i32 A, Vec<i32> conidxs, i32 B, i32 n, const Size& size) FRAG_NOEXCEPT {
  for (i32 k = 0; k < n; ++k) {
    if (conidxs[k] < 0)
      A = add32(A, size(k));
    else
      B = add32(B, size(k));
  }
  return {A, B};
}
// Adds the entries of each of the n rows (row pointer at p on the W stack) to
// A for conic rows and to B for linear rows; returns (A, B).
std::tuple<i32, i32> row_totals(i32 A, Vec<i32> conidxs, i32 B, i32 n, i32 p, Vec<i32> wi32) {
  return part_totals(A, conidxs, B, n, RowSize{Run(wi32, p)});
}
// Adds the entries of each of the n items (item pointer at p over the row
// pointer at o on the W stack) to A for conic rows and to B for linear rows;
// returns (A, B).
std::tuple<i32, i32> item_totals(i32 A, i32 o, Vec<i32> conidxs, i32 B, i32 n, i32 p, Vec<i32> wi32) {
  return part_totals(A, conidxs, B, n, ItemSize{Run(wi32, p), Run(wi32, o)});
}
FRAG_KERNEL(34, "iOiiiO", row_totals, "conidxs wi32");
FRAG_KERNEL(27, "iOiiiO", row_totals, "conidxs wi32");
FRAG_KERNEL(36, "iiOiiiO", item_totals, "conidxs wi32");
FRAG_KERNEL(28, "iiOiiiO", item_totals, "conidxs wi32");

// Rows f .. l-1 appended to one part's row-pointer block at x as running
// totals; returns (total, rows in the block).
std::tuple<i32, i32> append_rows(i32 T, i32 x, i32 c, i32 w, i32 f, i32 l, Vec<i32> wi32, Vec<i32> xi32) {
  const RowSize size{Run(wi32, w)};
  const Run<i32> out(xi32, x);
  for (i32 r = f; r < l; ++r) {
    T = add32(T, size(r));
    out[idx{c} + 1] = T;
    c = add32(c, 1);
  }
  return {T, c};
}
// Appends rows f .. l - 1 of the row pointer at w on the W stack to a part's
// row-pointer block at x on the X stack as running totals from T; returns
// (total, rows in the block), c being the rows already there.
std::tuple<i32, i32> append_rows_w(i32 w, i32 T, i32 x, i32 c, i32 f, i32 l, Vec<i32> wi32, Vec<i32> xi32) {
  return append_rows(T, x, c, w, f, l, wi32, xi32);
}
FRAG_KERNEL(38, "iiiiiiOO", append_rows, "wi32 xi32");
FRAG_KERNEL(30, "iiiiiiOO", append_rows, "wi32 xi32");
FRAG_KERNEL(37, "iiiiiiOO", append_rows_w, "wi32 xi32");
FRAG_KERNEL(29, "iiiiiiOO", append_rows_w, "wi32 xi32");

// c plus the number of linear rows (non-negative native indices) among the
// first n entries of conidxs; returns it.
i32 count_linear(Vec<i32> conidxs, i32 n, i32 c) {
  for (i32 k = 0; k < n; ++k)
    if (conidxs[k] >= 0) c = add32(c, 1);
  return c;
}
FRAG_KERNEL(31, "Oii", count_linear, "conidxs");
FRAG_KERNEL(26, "Oii", count_linear, "conidxs");

// ------------------------------------------------------------ dense rows

// The rows of an operand on the W stack.
struct WRows {
  Run<i32> ptr;
  Run<i64> nidx;
  Run<f64> cof;
};

// Row r merged with the ascending variable list: dst[t] receives the
// coefficient of the row's entry for variable varidxs[t]. Block positions
// without an entry are not written; entries of other variables are ignored.
template <class Dst>
inline void merge_row(const WRows& rows, i32 r, Vec<i32> varidxs, const Dst& dst) FRAG_NOEXCEPT {
  const idx m = varidxs.count;
  idx t = 0;
  i32 i = rows.ptr[r];
  const i32 e = rows.ptr[r + 1];
  while (t < m && i < e) {
    const i64 a = varidxs[t], x = rows.nidx[i];
    if (x < a) {
      ++i;
    } else if (x == a) {
      dst[t] = rows.cof[i];
      ++i;
      ++t;
    } else {
      ++t;
    }
  }
}

// R rows as consecutive dense blocks of m = len(varidxs) from position q;
// returns q + R*m.
i32 dense_rows(Vec<f64> cof, i32 cp, i32 q, i32 R, i32 v, i32 p, Vec<i32> varidxs, Vec<f64> wf64, Vec<i32> wi32,
               Vec<i64> wi64) {
  const WRows rows{Run(wi32, p), Run(wi64, v), Run(wf64, cp)};
  const i32 m = varidxs.n32();
  for (i32 r = 0; r < R; ++r) {
    merge_row(rows, r, varidxs, Run(cof, q));
    q = add32(q, m);
  }
  return q;
}
// Writes R rows of the expression on the W stack as consecutive dense blocks
// over the variables varidxs into cof from position q; returns q + R *
// len(varidxs).
i32 dense_rows_q(Vec<f64> cof, i32 cp, i32 R, i32 v, i32 q, i32 p, Vec<i32> varidxs, Vec<f64> wf64, Vec<i32> wi32,
                 Vec<i64> wi64) {
  return dense_rows(cof, cp, q, R, v, p, varidxs, wf64, wi32, wi64);
}
FRAG_KERNEL(41, "OiiiiiOOOO", dense_rows, "cof varidxs wf64 wi32 wi64");
FRAG_KERNEL(32, "OiiiiiOOOO", dense_rows_q, "cof varidxs wf64 wi32 wi64");

// Dense rows routed by element kind: conic rows into (csubi, ccof) at qc,
// linear rows into (lsubi, lcof) at ql, every position of a block carrying
// the row's number; the column of position t is varidxs[t].
std::tuple<i32, i32> dense_rows_split(Vec<f64> ccof, i32 qc, i32 cp, Vec<i32> conidxs, Vec<i32> csubi, Vec<f64> lcof,
                                      i32 ql, Vec<i32> lsubi, i32 R, i32 v, i32 p, Vec<i32> varidxs, Vec<f64> wf64,
                                      Vec<i32> wi32, Vec<i64> wi64) {
  const WRows rows{Run(wi32, p), Run(wi64, v), Run(wf64, cp)};
  const i32 m = varidxs.n32();
  for (i32 r = 0; r < R; ++r) {
    const i32 c = conidxs[r];
    const bool conic = c < 0;
    i32& q = conic ? qc : ql;
    merge_row(rows, r, varidxs, Run(conic ? ccof : lcof, q));
    const Run<i32> subi(conic ? csubi : lsubi, q);
    const i32 row = conic ? ~c : c;
    for (i32 t = 0; t < m; ++t) subi[t] = row;
    q = add32(q, m);
  }
  return {qc, ql};
}
FRAG_KERNEL(33, "OiiOOOiOiiiOOOO", dense_rows_split, "ccof conidxs csubi lcof lsubi varidxs wf64 wi32 wi64");

// --------------------------------------------------------- small passes

// Entries of ri64[s .. s+n-1]: non-negative ones add to A, negative to B.
std::tuple<i32, i32> sign_counts(i32 A, i32 s, i32 n, i32 B, Vec<i64> ri64) {
  for (i32 k = 0; k < n; ++k) {
    if (ri64[idx{s} + k] < 0)
      B = add32(B, 1);
    else
      A = add32(A, 1);
  }
  return {A, B};
}
FRAG_KERNEL(46, "iiiiO", sign_counts, "ri64");

// n * ri32[s] * ... * ri32[s+n-1], 32-bit wrap: the product starts from n.
i32 counted_product(i32 n, Vec<i32> ri32, i32 s) { return extents::product(n, Run(ri32, s), 0, i64{n} - 1); }
FRAG_KERNEL(45, "iOi", counted_product, "ri32");

// The flag, cleared unless the first n entries are strictly decreasing.
bool strictly_decreasing(i32 n, Vec<i64> varidxs_, bool f) {
  for (i32 k = 1; k < n; ++k)
    if (!(varidxs_[k] < varidxs_[k - 1])) f = false;
  return f;
}
FRAG_KERNEL(40, "iOp", strictly_decreasing, "varidxs_");

// ---------------------------------------------------- parameterized rows

// Entries rowptrb[r] .. rowptre[r]-1 of each row, each with a program of
// codesizes[i] positions, the row's programs back to back from codeptr[r].
// Each entry emits (its variable's low 32 bits, the value at the bottom of
// the value stack) and resets the depth; an empty program emits the bottom
// value as it stands. Returns (next output position, depth).
std::tuple<i32, i32> evaluate_rows(Vec<f64> cconst, Vec<i32> code, Vec<i64> codenidx, Vec<i32> codeptr,
                                   Vec<i32> codesizes, i32 o, i32 R, Vec<f64> param_value, Vec<i32> rowptrb,
                                   Vec<i32> rowptre, i32 b, i32 t, Vec<i32> subj, Vec<f64> val, Vec<f64> xf64) {
  program::StoredRunner programs(param_value, xf64, b, t);
  for (i32 r = 0; r < R; ++r) {
    // Entry i's pair goes to position o + (i - ib).
    const i32 ib = rowptrb[r], ie = rowptre[r];
    if (ib >= ie) continue;
    const std::ptrdiff_t shift = std::ptrdiff_t{o} - ib;
    programs.row(code, cconst, codesizes, ib, ie, codeptr[r], [&](std::ptrdiff_t i, f64 v) {
      subj[i + shift] = low32(codenidx[i]);
      val[i + shift] = v;
    });
    o = add32(o, sub32(ie, ib));
  }
  programs.finish();
  return {o, programs.depth()};
}
FRAG_KERNEL(25, "OOOOOiiOOOiiOOO", evaluate_rows,
            "cconst code codenidx codeptr codesizes param_value rowptrb rowptre subj val xf64");

}  // namespace
}  // namespace frag
