// Compressed-row construction and transposition. Triplets (subi, subj, val)
// become compressed rows in passes that the host chains over arrays it has
// zero-filled: count entries per row and column into slot index + 2 of the
// pointer arrays, prefix them into start positions, scatter entry numbers into
// column order and then, column by column, into row order (a stable two-pass
// radix sort on (row, column)), count and merge repeated positions. A last
// pass scatters compressed rows into column order.
//
// Counts and positions are 64-bit; entry numbers and indices are 32-bit.
#include "module/kernel.hpp"

namespace frag {
namespace {

// ---------------------------------------------------------------- counting

// ptrb[index + 2] += 1 for every entry; the index is widened before the 2 is
// added.
inline void count_at(Vec<i64> ptrb, i32 index) {
  i64& slot = ptrb[i64{index} + 2];
  slot = add64(slot, 1);
}

// Row count pass of a compressed-row build: rptrb[subi[e] + 2] += 1 for each
// of the first nnz triplets.
void count_rows(i64 nnz, Vec<i64> rptrb, Vec<i32> subi) {
  for (i64 e = 0; e < nnz; ++e) count_at(rptrb, subi[e]);
}
FRAG_KERNEL(124, "LOO", count_rows, "rptrb subi");

// Column count pass of a compressed-column build: cptrb[subj[e] + 2] += 1 for
// each of the first nnz triplets.
void count_cols(Vec<i64> cptrb, i64 nnz, Vec<i32> subj) {
  for (i64 e = 0; e < nnz; ++e) count_at(cptrb, subj[e]);
}
FRAG_KERNEL(121, "OLO", count_cols, "cptrb subj");

// Row and column count passes in one sweep: rptrb[subi[e] + 2] and
// cptrb[subj[e] + 2] each grow by 1 for each of the first nnz triplets.
void count_rows_cols(Vec<i64> cptrb, i64 nnz, Vec<i64> rptrb, Vec<i32> subi, Vec<i32> subj) {
  for (i64 e = 0; e < nnz; ++e) {
    count_at(rptrb, subi[e]);
    count_at(cptrb, subj[e]);
  }
}
FRAG_KERNEL(117, "OLOOO", count_rows_cols, "cptrb rptrb subi subj");
FRAG_KERNEL(113, "OLOOO", count_rows_cols, "cptrb rptrb subi subj");

// ------------------------------------------------------------------ prefix

// Slot k += slot k - 1 for k = 2 .. n; slots 0 and 1 are only read. With n the
// number of rows, slot r + 1 then holds the start of row r.
void prefix_from_2(Vec<i64> ptrb, i32 n) {
  for (i64 k = 2; k <= n; ++k) ptrb[k] = add64(ptrb[k], ptrb[k - 1]);
}

// Prefix pass over the row counts: rptrb[k] += rptrb[k - 1] for k = 2 .. n, so
// that rptrb[r + 1] holds the start of row r.
void prefix_rows(i32 n, Vec<i64> rptrb) { prefix_from_2(rptrb, n); }
FRAG_KERNEL(125, "iO", prefix_rows, "rptrb");
FRAG_KERNEL(118, "iO", prefix_rows, "rptrb");
FRAG_KERNEL(114, "iO", prefix_rows, "rptrb");

// Prefix pass over the column counts: cptrb[k] += cptrb[k - 1] for k = 2 .. n,
// so that cptrb[c + 1] holds the start of column c.
void prefix_cols(Vec<i64> cptrb, i32 n) { prefix_from_2(cptrb, n); }
FRAG_KERNEL(122, "Oi", prefix_cols, "cptrb");
FRAG_KERNEL(119, "Oi", prefix_cols, "cptrb");
FRAG_KERNEL(115, "Oi", prefix_cols, "cptrb");

// ---------------------------------------------------------------- scatters

// Entry numbers grouped by column, in entry order within a column; slot c + 1
// of cptrb serves as column c's cursor and ends at the column's end. The entry
// count is used as a 32-bit count, like the entry numbers it produces.
void scatter_cols(Vec<i32> cols, Vec<i64> cptrb, i64 nnz, Vec<i32> subj) {
  const i32 n = low32(nnz);
  for (i32 e = 0; e < n; ++e) {
    i64& cursor = cptrb[i64{subj[e]} + 1];
    const i64 q = cursor;
    cols[q] = e;
    cursor = add64(q, 1);
  }
}
FRAG_KERNEL(123, "OOLO", scatter_cols, "cols cptrb subj");

// Entry numbers taken in column order and scattered by row: a stable second
// radix pass, so rows end up ordered by (row, column, entry). cptrb must hold
// the finished column pointers; slot r + 1 of rptrb is row r's cursor.
void scatter_rows(Vec<i32> cols, Vec<i64> cptrb, i32 ncols, Vec<i32> rows, Vec<i64> rptrb, Vec<i32> subi) {
  for (i32 c = 0; c < ncols; ++c) {
    const i64 end = cptrb[c + 1];
    for (i64 p = cptrb[c]; p < end; ++p) {
      const i32 e = cols[p];
      i64& cursor = rptrb[i64{subi[e]} + 1];
      const i64 q = cursor;
      rows[q] = e;
      cursor = add64(q, 1);
    }
  }
}
FRAG_KERNEL(126, "OOiOOO", scatter_rows, "cols cptrb rows rptrb subi");

// ------------------------------------------------------ repeated positions

// Adds to `counter` the number of position changes between consecutive
// entries in `rows` order.
i32 count_distinct(i64 n, i32 counter, Vec<i32> rows, Vec<i32> subi, Vec<i32> subj) {
  if (n < 2) return counter;
  i32 pi = subi[rows[0]], pj = subj[rows[0]];
  for (i64 k = 1; k < n; ++k) {
    const i32 e = rows[k];
    const i32 ci = subi[e], cj = subj[e];
    if (ci != pi || cj != pj) counter = add32(counter, 1);
    pi = ci;
    pj = cj;
  }
  return counter;
}
FRAG_KERNEL(127, "LiOOO", count_distinct, "rows subi subj");

// Appends the entries in `rows` order to the output triplets, adding the value
// of a repeated position onto the last output triplet. The caller has written
// the first entry at output 0 and passes c = 1; returns the output count.
i32 merge_repeated(i32 c, i64 n, Vec<i32> rows, Vec<i32> subi, Vec<i32> subj, Vec<i32> tsubi, Vec<i32> tsubj,
                   Vec<f64> tval, Vec<f64> val) {
  if (n < 2) return c;
  for (i64 k = 1; k < n; ++k) {
    const i32 e = rows[k];
    const i64 last = i64{c} - 1;
    if (tsubi[last] == subi[e] && tsubj[last] == subj[e]) {
      tval[last] = tval[last] + val[e];
    } else {
      tsubi[c] = subi[e];
      tsubj[c] = subj[e];
      tval[c] = val[e];
      c = add32(c, 1);
    }
  }
  return c;
}
FRAG_KERNEL(128, "iLOOOOOOO", merge_repeated, "rows subi subj tsubi tsubj tval val");

// -------------------------------------------------------------- transpose

// The transposing scatter's loop. Entry by entry, in row order: the three
// outputs are written at the column's cursor q (rows, then columns, then
// values) and the cursor moves on. The host wants one output array per call
// and passes zero-stride sinks for the others; the outputs are therefore
// taken as views of a fixed stride (0 or 1) where they have one, so that the
// sinks' stores do not depend on q and no store address waits for q times a
// stride (about 40% less time per entry of a scatter into a thousand
// columns). Other strides take the same loop on plain views.
template <class I, class Rows, class Cols, class Vals>
void scatter_rows_by_column(Vec<i64> cptrb, i32 nrows, Vec<i64> rptrb, Vec<i32> subj, Rows tsubi, Cols tsubj,
                            Vals tval, Vec<f64> val) {
  for (i32 r = 0; r < nrows; ++r) {
    const i64 end = rptrb[r + 1];
    for (i64 p = rptrb[r]; p < end; ++p) {
      const i32 c = subj[p];
      i64& cursor = cptrb[c];
      const i64 q = cursor;
      tsubi[q] = r;
      tsubj[q] = c;
      tval[q] = val[p];
      cursor = add64(q, 1);
    }
  }
}
// Scatters compressed rows into column order: slot c of cptrb is the next
// free output position of column c. Triplets keep their (row, column).
template <class I>
void scatter_transpose(Vec<i64> cptrb, i32 nrows, Vec<i64> rptrb, Vec<i32> subj, Vec<I> tsubi, Vec<I> tsubj,
                       Vec<f64> tval, Vec<f64> val) {
  const auto scatter = [&](auto rows, auto cols, auto vals) {
    scatter_rows_by_column<I>(cptrb, nrows, rptrb, subj, rows, cols, vals, val);
  };
  if (!has_fixed_stride(tsubi) || !has_fixed_stride(tsubj) || !has_fixed_stride(tval)) {
    scatter(tsubi, tsubj, tval);
    return;
  }
  with_fixed_stride(tsubi, [&](auto rows) {
    with_fixed_stride(tsubj, [&](auto cols) { with_fixed_stride(tval, [&](auto vals) { scatter(rows, cols, vals); }); });
  });
}
FRAG_KERNEL(120, "OiOOOOOO", scatter_transpose<i32>, "cptrb rptrb subj tsubi tsubj tval val");
FRAG_KERNEL(116, "OiOOOOOO", scatter_transpose<i64>, "cptrb rptrb subj tsubi tsubj tval val");

}  // namespace
}  // namespace frag
