// Coefficient programs: the parameter table kernels and the program evaluator.
//
// The parameter table holds, per solver row r, the entries
// row_param_ptrb[r] .. row_param_ptre[r] - 1; entry j has a program of
// param_code_sizes[j] positions and a variable index param_varidx[j]. A row's
// programs follow one another in code/cconst from row_code_ptr[r] on.
// Constant programs (one position, word 2 or 10) are never stored.
#include <cstddef>
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

// -------------------------------------------------------------- evaluation

// Runs every stored program and writes one triplet (row, variable, value) per
// entry. The depth carries over into the first entry and is reset to 0 after
// each entry.
std::tuple<i32, i32> evaluate_table(Vec<f64> cconst, Vec<i32> code, i32 out, Vec<i32> param_code_sizes,
                                    Vec<f64> param_value, Vec<i64> param_varidx, Vec<i32> row_code_ptr,
                                    Vec<i32> row_param_ptrb, Vec<i32> row_param_ptre, i32 base, i32 depth,
                                    Vec<i32> subi, Vec<i32> subj, Vec<f64> val, Vec<f64> xf64) {
  const i32 rows = row_param_ptrb.n32();
  program::StoredRunner programs(param_value, xf64, base, depth);
  for (i32 r = 0; r < rows; ++r) {
    const i32 jb = row_param_ptrb[r], je = row_param_ptre[r];
    if (jb >= je) continue;
    // Entry j's triplet goes to position out + (j - jb).
    const std::ptrdiff_t shift = std::ptrdiff_t{out} - jb;
    programs.row(code, cconst, param_code_sizes, jb, je, row_code_ptr[r], [&](std::ptrdiff_t j, f64 v) {
      subi[j + shift] = r;
      subj[j + shift] = low32(param_varidx[j]);
      val[j + shift] = v;
    });
    out = add32(out, sub32(je, jb));
  }
  programs.finish();
  return {out, programs.depth()};
}
FRAG_KERNEL(134, "OOiOOOOOOiiOOOO", evaluate_table,
            "cconst code param_code_sizes param_value param_varidx row_code_ptr row_param_ptrb "
            "row_param_ptre subi subj val xf64");

// ------------------------------------------------- sizing and reservation

// The programs of an expression on the R stack: row pointer, program pointer
// and program words, each at its own position of ri32.
struct ExprPrograms {
  Run<i32> rowptr, pptr, words;

  // Number and total length of the non-constant programs of element e.
  std::tuple<i32, i32> nonconstant(i32 e) const FRAG_NOEXCEPT {
    i32 count = 0, length = 0;
    for (i32 t = rowptr[e], end = rowptr[e + 1]; t < end; ++t) {
      if (!program::term_is_constant(pptr, words, t)) {
        count = add32(count, 1);
        length = add32(length, sub32(pptr[t + 1], pptr[t]));
      }
    }
    return {count, length};
  }
};

// Counts the non-constant coefficient programs of nelem elements of the
// expression on the R stack: count grows by their number and total by their
// length; returns (count, total).
std::tuple<i32, i32> count_programs(i32 off_words, i32 off_pptr, i32 nelem, i32 count, i32 total, i32 off_rowptr,
                                    Vec<i32> ri32) {
  const ExprPrograms x{Run(ri32, off_rowptr), Run(ri32, off_pptr), Run(ri32, off_words)};
  for (i32 e = 0; e < nelem; ++e) {
    auto [k, m] = x.nonconstant(e);
    count = add32(count, k);
    total = add32(total, m);
  }
  return {count, total};
}
FRAG_KERNEL(135, "iiiiiiO", count_programs, "ri32");

// Gives each element's row a run of entries and program positions, one entry
// per non-constant program; rows of elements without any are left alone.
std::tuple<i32, i32> reserve_rows(i32 off_words, i32 off_pptr, i32 next_pos, i32 next_entry, Vec<i32> nativeidxs,
                                  i32 nelem, i32 off_rowptr, Vec<i32> ri32, Vec<i32> row_code_ptr,
                                  Vec<i32> row_param_ptrb, Vec<i32> row_param_ptre) {
  const ExprPrograms x{Run(ri32, off_rowptr), Run(ri32, off_pptr), Run(ri32, off_words)};
  for (i32 e = 0; e < nelem; ++e) {
    auto [k, m] = x.nonconstant(e);
    if (k <= 0) continue;
    const i32 r = nativeidxs[e];
    row_param_ptrb[r] = next_entry;
    row_param_ptre[r] = add32(next_entry, k);
    row_code_ptr[r] = next_pos;
    next_entry = add32(next_entry, k);
    next_pos = add32(next_pos, m);
  }
  return {next_pos, next_entry};
}
FRAG_KERNEL(136, "iiiiOiiOOOO", reserve_rows, "nativeidxs ri32 row_code_ptr row_param_ptrb row_param_ptre");

// Copies the non-constant programs of each element into its row's reserved
// space; the flag is cleared when a stored variable index is negative.
bool store_programs(Vec<f64> cconst, i32 off_pconst, Vec<i32> code, i32 off_words, i32 off_pptr,
                    Vec<i32> nativeidxs, i32 nelem, i32 off_nidxs, bool ok, Vec<i32> param_code_sizes,
                    Vec<i64> param_varidx, i32 off_rowptr, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                    Vec<i32> row_code_ptr, Vec<i32> row_param_ptrb) {
  const Run<i32> rowptr(ri32, off_rowptr), pptr(ri32, off_pptr), words(ri32, off_words);
  const Run<f64> consts(rf64, off_pconst);
  const Run<i64> nidxs(ri64, off_nidxs);
  for (i32 e = 0; e < nelem; ++e) {
    const i32 tb = rowptr[e], te = rowptr[e + 1];
    if (tb >= te) continue;
    const i32 r = nativeidxs[e];
    i32 j = row_param_ptrb[r];
    i32 pos = row_code_ptr[r];
    for (i32 t = tb; t < te; ++t) {
      if (program::term_is_constant(pptr, words, t)) continue;
      const i32 s = pptr[t], end = pptr[t + 1], n = sub32(end, s);
      program::copy_positions(words, consts, s, end, code, cconst, pos);
      pos = add32(pos, n);
      param_code_sizes[j] = n;
      const i64 v = nidxs[t];
      param_varidx[j] = v;
      if (v < 0) ok = false;
      j = add32(j, 1);
    }
  }
  return ok;
}
FRAG_KERNEL(137, "OiOiiOiipOOiOOOOO", store_programs,
            "cconst code nativeidxs param_code_sizes param_varidx rf64 ri32 ri64 row_code_ptr row_param_ptrb");

// ------------------------------------------------------------------ removal

// Empties the entry range of row r; the row's entries and instructions stay
// where they are (nothing else moves).
struct RowRemoval {
  Vec<i32> ptrb, ptre;

  // Entries removed (as a non-positive change of the entry total).
  i32 clear(i32 r) const FRAG_NOEXCEPT {
    const i32 change = sub32(ptrb[r], ptre[r]);
    ptrb[r] = 0;
    ptre[r] = 0;
    return change;
  }
};

// Removes the parameter entries of the rows listed in nativeidxs: each row's
// entry range is emptied, its program sizes are taken off instr_total and its
// entries off entry_total; returns (instr_total, entry_total).
std::tuple<i32, i32> remove_rows(i32 instr_total, Vec<i32> nativeidxs, Vec<i32> param_code_sizes,
                                 Vec<i32> row_param_ptrb, Vec<i32> row_param_ptre, i32 entry_total) {
  if (row_param_ptrb.is_none()) return {instr_total, entry_total};
  const RowRemoval rm{row_param_ptrb, row_param_ptre};
  const i32 n = nativeidxs.n32();
  for (i32 i = 0; i < n; ++i) {
    const i32 r = nativeidxs[i];
    for (i32 j = row_param_ptrb[r], je = row_param_ptre[r]; j < je; ++j)
      instr_total = sub32(instr_total, param_code_sizes[j]);
    entry_total = add32(entry_total, rm.clear(r));
  }
  return {instr_total, entry_total};
}
FRAG_KERNEL(138, "iOOOOi", remove_rows, "nativeidxs param_code_sizes row_param_ptrb row_param_ptre");

// Empties the parameter entry ranges of the first n rows listed in nativeidxs,
// taking their entries off entry_total; returns entry_total (unchanged when
// there is no table).
i32 remove_listed_rows(i32 entry_total, Vec<i32> nativeidxs, i32 n, Vec<i32> row_code_ptr, Vec<i32> row_param_ptrb,
                       Vec<i32> row_param_ptre) {
  if (row_code_ptr.is_none()) return entry_total;
  const RowRemoval rm{row_param_ptrb, row_param_ptre};
  for (i32 i = 0; i < n; ++i) entry_total = add32(entry_total, rm.clear(nativeidxs[i]));
  return entry_total;
}
FRAG_KERNEL(144, "iOiOOO", remove_listed_rows, "nativeidxs row_code_ptr row_param_ptrb row_param_ptre");

// Total program length of one row's entries, added to `total` in entry order.
i32 row_code_length(i32 total, i32 r, Vec<i32> param_code_sizes, Vec<i32> row_param_ptrb,
                    Required<Vec<i32>> row_param_ptre) {
  for (i32 j = row_param_ptrb[r], je = row_param_ptre[r]; j < je; ++j) total = add32(total, param_code_sizes[j]);
  return total;
}
FRAG_KERNEL(139, "iiOOO", row_code_length, "param_code_sizes row_param_ptrb row_param_ptre");

}  // namespace
}  // namespace frag
