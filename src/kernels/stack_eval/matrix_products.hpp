// Products of stacked expressions with a constant sparse matrix M (m rows,
// n columns): the loops shared by every product kernel.
//
// M comes as triplets (row msubi[k], column msubj[k], value) in strictly
// ascending row-major order and inside m x n (the host checks both first), as
// a row pointer over the rows with msubj and the values, or as a dense
// row-major m x n value array. A right product reads M column by column
// through a column order built on the X stack: the column pointer (n + 1
// entries) followed by the K entry numbers sorted by column, stably.
//
// Left product M.E: E is viewed as n rows of p columns (E's first axis has
// extent n, p is the product of the others); result element (i, c) has, for
// each entry (i, j, v) of row i in entry order, the terms of E's element
// (j, c) with their coefficients times v. Right product E.M: E is viewed as q
// rows of m columns (its last axis has extent m); result element (c, j) has,
// for each entry (i, j, v) of column j in row order, the terms of E's element
// (c, i) times v. Either way the result elements are produced in ascending
// row-major order, so a fill writes the result's blocks in one pass with
// running cursors: element E, term T and program position P. A size kernel
// runs the very same loop without writing and returns what its fill needs.
//
// With programs, every result term's program is the operand term's program
// followed by "push constant v, multiply", as in a weighted sum.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels/stack_eval/programs.hpp"

namespace frag::mprod {

using stack::Blocks;
using stack::Run;

// ------------------------------------------------------------ the matrix

// Rows of M from ascending triplets: line(i) is the entry range of row i.
// Rows must be asked for in ascending order; a cursor walks the entries.
struct TripletRows {
  Vec<i32> subi, subj;
  Vec<f64> val;
  i64 k, end;
  TripletRows(Vec<i32> si, Vec<i32> sj, Vec<f64> v, i64 first, i64 count)
      : subi(si), subj(sj), val(v), k(first), end(first + std::max<i64>(count, 0)) {}
  std::pair<i64, i64> line(i32 i) FRAG_NOEXCEPT {
    while (k < end && subi[k] < i) ++k;
    const i64 b = k;
    while (k < end && subi[k] == i) ++k;
    return {b, k};
  }
  i32 other(i64 r) const FRAG_NOEXCEPT { return subj[r]; }
  f64 value(i64 r) const FRAG_NOEXCEPT { return val[r]; }
  bool skip(i64) const FRAG_NOEXCEPT { return false; }
};

// A square matrix with entries only on one diagonal, given by their rows
// msubi[k]: entry k lies at (msubi[k], msubi[k] + offset).
// Entries whose column falls outside 0 .. n - 1 are left out.
struct DiagonalRows : TripletRows {
  i32 offset, n;
  DiagonalRows(Vec<i32> si, Vec<f64> v, i64 first, i64 count, i32 off, i32 cols)
      : TripletRows(si, si, v, first, count), offset(off), n(cols) {}
  i32 other(i64 r) const FRAG_NOEXCEPT { return add32(subi[r], offset); }
  bool skip(i64 r) const FRAG_NOEXCEPT {
    const i32 j = other(r);
    return j < 0 || j >= n;
  }
};

// A block of M: rows r0 .. r0 + m - 1 restricted to the columns j0 ..
// j0 + n - 1, given by each row's first and end entry (two runs of m entries
// on the X stack, first at pos, ends at pos + m). Columns count from j0.
struct BlockRows {
  Run<i32> first, end;
  Vec<i32> subj;
  Vec<f64> val;
  i32 r0, j0;
  std::pair<i64, i64> line(i32 i) const FRAG_NOEXCEPT { return {first[i - r0], end[i - r0]}; }
  i32 other(i64 r) const FRAG_NOEXCEPT { return sub32(subj[r], j0); }
  f64 value(i64 r) const FRAG_NOEXCEPT { return val[r]; }
  bool skip(i64) const FRAG_NOEXCEPT { return false; }
};

// Rows of a dense row-major m x n matrix: row i owns positions i*n .. i*n+n-1.
struct DenseRows {
  Vec<f64> val;
  i32 n;
  bool skip_zeros = false;
  bool skip(i64 r) const FRAG_NOEXCEPT { return skip_zeros && val[r] == 0.0; }
  std::pair<i64, i64> line(i32 i) const FRAG_NOEXCEPT {
    const i64 b = static_cast<i64>(i) * n;
    return {b, b + std::max(n, 0)};
  }
  i32 other(i64 r) const FRAG_NOEXCEPT { return static_cast<i32>(irem(r, n)); }
  f64 value(i64 r) const FRAG_NOEXCEPT { return val[r]; }
};

// Columns of a dense row-major m x n matrix, for right products: column j
// owns positions j, j + n, ..., its entry r (0-based within the column) being
// row r.
struct DenseColumns {
  Vec<f64> val;
  i32 m, n;
  bool skip_zeros = false;
  bool skip(i64 r) const FRAG_NOEXCEPT { return skip_zeros && value(r) == 0.0; }
  std::pair<i64, i64> line(i32 j) const FRAG_NOEXCEPT {
    return {static_cast<i64>(j) * std::max(m, 0), static_cast<i64>(j + 1) * std::max(m, 0)};
  }
  i32 other(i64 r) const FRAG_NOEXCEPT { return static_cast<i32>(irem(r, m)); }
  f64 value(i64 r) const FRAG_NOEXCEPT { return val[irem(r, m) * n + idiv(r, m)]; }
};

// Columns of triplets through a column order on the X stack: column pointer
// at `pos` (n + 1 entries), then the entry numbers sorted by column.
struct ColumnOrder {
  Run<i32> colptr, perm;
  Vec<i32> subi;
  Vec<f64> val;
  ColumnOrder(Vec<i32> xi32, i32 pos, i32 n, Vec<i32> si, Vec<f64> v)
      : colptr(xi32, pos), perm(xi32, static_cast<std::ptrdiff_t>(pos) + n + 1), subi(si), val(v) {}
  std::pair<i64, i64> line(i32 j) const FRAG_NOEXCEPT { return {colptr[j], colptr[j + 1]}; }
  i32 other(i64 r) const FRAG_NOEXCEPT { return subi[perm[r]]; }
  f64 value(i64 r) const FRAG_NOEXCEPT { return val[perm[r]]; }
  bool skip(i64) const FRAG_NOEXCEPT { return false; }
};

// -------------------------------------------------------------- operands

// A stacked expression on the W stack, dense or sparse. find(key) is the
// stored element with row-major index key, or -1.
struct ExprOperand {
  Blocks b;
  Run<i64> sp;
  i32 nelem;
  bool sparse;
  i64 find(i64 key) const FRAG_NOEXCEPT {
    if (!sparse) return key;
    return find_in(key, 0, nelem);
  }
  // First stored element in lo .. hi - 1 whose sparsity index is at least
  // key (hi when none is).
  i64 lower(i64 key, i64 lo, i64 hi) const FRAG_NOEXCEPT {
    while (lo < hi) {
      const i64 mid = lo + (hi - lo) / 2;
      if (sp[mid] < key) lo = mid + 1; else hi = mid;
    }
    return lo;
  }
  // The stored element with sparsity index key among lo .. hi - 1, or -1.
  i64 find_in(i64 key, i64 lo, i64 hi) const FRAG_NOEXCEPT {
    const i64 s = lower(key, lo, hi);
    return (s < hi && sp[s] == key) ? s : -1;
  }
  i32 terms(i64 e) const FRAG_NOEXCEPT { return sub32(b.ptr[e + 1], b.ptr[e]); }
};

// A variable: element e is the single term (variable index, coefficient 1.0),
// its variable index read from a run or, for a contiguous variable, first + e.
struct VariableOperand {
  Run<i64> x;
  i64 first;
  bool contiguous;
  i64 find(i64 key) const FRAG_NOEXCEPT { return key; }
  i64 index(i64 e) const FRAG_NOEXCEPT { return contiguous ? first + e : x[e]; }
};

// ------------------------------------------------------------ the result

// Running cursors of a product and, when Write is set, the result blocks
// they write. close() ends one result element: a dense result writes every
// element's row pointer entry; a sparse one only elements that met at least
// one stored operand element, with their sparsity index.
template <bool Write>
struct Out {
  static constexpr bool kWrites = Write;
  Blocks res;        // row pointer, variable indices, coefficients, programs
  Run<i64> sp;       // sparsity indices of a sparse result
  bool sparse;
  bool skip_constants = false;  // leave out terms of variable 0
  i32 E = 0, T = 0, P = 0;
  i32 L = 0;         // most terms of one result element
  i32 V = 0;         // pairs (matrix entry, stored operand element) that met
  i32 start = 0;

  void term(i64 var, f64 c) FRAG_NOEXCEPT {
    if (Write) {
      res.nidxs[T] = var;
      res.cof[T] = c;
    }
    T = add32(T, 1);
  }
  // The terms of operand element e, scaled by v.
  void append(const ExprOperand& op, i64 e, f64 v) FRAG_NOEXCEPT {
    const Blocks& b = op.b;
    for (i32 j = b.ptr[e], end = b.ptr[e + 1]; j < end; ++j) {
      if (skip_constants && b.nidxs[j] == 0) continue;
      if (Write) {
        res.nidxs[T] = b.nidxs[j];
        res.cof[T] = v * b.cof[j];
      }
      if (res.programs) {
        const i32 s = b.pptr[j], f = b.pptr[j + 1];
        if (Write) {
          P = program::append_scaled(b.words, b.consts, s, f, v, res.words, res.consts, P);
          res.pptr[add32(T, 1)] = P;
        } else {
          P = add32(P, add32(sub32(f, s), 2));
        }
      }
      T = add32(T, 1);
    }
  }
  void append(const VariableOperand& x, i64 e, f64 v) FRAG_NOEXCEPT { term(x.index(e), v); }
  void open() FRAG_NOEXCEPT { start = T; }
  void close(i64 key, bool any) FRAG_NOEXCEPT {
    L = std::max(L, sub32(T, start));
    if (sparse && !any) return;
    if (Write) {
      res.ptr[add32(E, 1)] = T;
      if (sparse) sp[E] = key;
    }
    E = add32(E, 1);
  }
};

// ------------------------------------------------------------- the loops

// Whether a sink builds a sparse result (only elements that met a stored
// operand element); the fold and value sinks fill every element.
template <class O>
constexpr bool sparse_result(const O& out) FRAG_NOEXCEPT {
  if constexpr (requires { out.sparse; })
    return out.sparse;
  else
    return false;
}

// Sparse operand, left product: row i of M (entries b .. e - 1) against
// the operand's stored elements. Instead of trying every column c of the
// grid, the next column that some entry's operand row stores is found by one
// binary search per entry, so the cost follows the result elements that
// exist (times the row's entries), not the p columns; a dense result still
// gets its empty elements, one close each.
template <class Lines, class O>
void left_sparse_row(const Lines& M, i32 i, i64 b, i64 e, i32 p, const ExprOperand& op, O& out) FRAG_NOEXCEPT {
  i64 c = 0;
  for (;;) {
    i64 next = p;  // the smallest stored column >= c over the entries' operand rows
    for (i64 r = b; r < e; ++r) {
      if (M.skip(r)) continue;
      const i64 row = static_cast<i64>(M.other(r)) * p;
      const i64 s = op.lower(row + c, 0, op.nelem);
      if (s < op.nelem && op.sp[s] < row + p) next = std::min(next, op.sp[s] - row);
    }
    if (!sparse_result(out))
      for (; c < next; ++c) {
        out.open();
        out.close(static_cast<i64>(i) * p + c, false);
      }
    if (next >= p) return;
    c = next;
    out.open();
    for (i64 r = b; r < e; ++r) {
      if (M.skip(r)) continue;
      const i64 s = op.find(static_cast<i64>(M.other(r)) * p + c);
      if (s < 0) continue;
      out.V = add32(out.V, 1);
      out.append(op, s, O::kWrites ? M.value(r) : 0.0);
    }
    out.close(static_cast<i64>(i) * p + c, true);
    ++c;
  }
}

// v times an operand coefficient c, where both may be NaN: the product is
// then c's NaN, quieted, as the multiply gives it with c as its first
// operand. Stated here because which operand comes first is otherwise the
// compiler's choice, and it differs between a loop that keeps v for several
// terms and a single product.
inline f64 scaled(f64 v, f64 c) noexcept {
  if (c != c) return std::bit_cast<f64>(std::bit_cast<std::uint64_t>(c) | 0x0008000000000000u);
  return v * c;
}

// The loop of `left` for a dense operand into a result without programs or
// skipped constants (the plain left products, M.x for a variable vector x
// among them): the same reads and writes in the same order, with what `left`
// decides per term decided once. A dense operand's element (j, c) is stored
// at key j * p + c; within an element the term cursor and the count of
// pairs met live in locals, and the stack runs are rebased at their first
// entry, which leaves enough registers for the loop. An operand element of
// one term (a variable's element) is copied without a term loop; each
// element is opened and closed as `left` does. About half the time per term
// of M.x for a 1000 x 1000 matrix. Release build only: the checked build keeps the general
// loop of `left`, whose faults name absolute stack indices and whose products
// stay exactly as they were there (which of two NaNs a product keeps is the
// compiler's choice in that loop, and differs between its call paths).
template <class Lines>
void left_plain(Lines& M, i32 r0, i32 m, i32 p, const ExprOperand& op, Out<true>& out) noexcept {
  const auto rebased = [](const auto& run) { return run.a.suffix(run.pos); };
  const auto ptr = rebased(op.b.ptr);
  const auto nidxs = rebased(op.b.nidxs), rnidxs = rebased(out.res.nidxs);
  const auto cof = rebased(op.b.cof), rcof = rebased(out.res.cof);
  for (i32 i = r0, iend = add32(r0, std::max(m, 0)); i < iend; ++i) {
    const auto [b, e] = M.line(i);
    for (i32 c = 0; c < p; ++c) {
      out.open();
      i32 T = out.T, V = out.V;
      bool any = false;
      for (i64 r = b; r < e; ++r) {
        if (M.skip(r)) continue;
        const i64 s = static_cast<i64>(M.other(r)) * p + c;
        if (s < 0) continue;
        any = true;
        V = add32(V, 1);
        const f64 v = M.value(r);
        const i32 first = ptr[s], end = ptr[s + 1];
        if (i64{end} - first == 1) {
          rnidxs[T] = nidxs[first];
          rcof[T] = scaled(v, cof[first]);
          T = add32(T, 1);
          continue;
        }
        for (i32 j = first; j < end; ++j) {
          rnidxs[T] = nidxs[j];
          rcof[T] = scaled(v, cof[j]);
          T = add32(T, 1);
        }
      }
      out.T = T;
      out.V = V;
      out.close(static_cast<i64>(i) * p + c, any);
    }
  }
}

// Left product M.E over rows r0 .. r0 + m - 1 of M, E viewed as rows of p
// columns. The key of result element (i, c) is i * p + c.
template <class Lines, class Operand, class O>
void left(Lines& M, i32 r0, i32 m, i32 p, const Operand& op, O& out) FRAG_NOEXCEPT {
  if constexpr (!FRAG_CHECKED && std::is_same_v<Operand, ExprOperand> && std::is_same_v<O, Out<true>>)
    if (!op.sparse && !out.res.programs && !out.skip_constants) {
      left_plain(M, r0, m, p, op, out);
      return;
    }
  for (i32 i = r0, iend = add32(r0, std::max(m, 0)); i < iend; ++i) {
    const auto [b, e] = M.line(i);
    if constexpr (std::is_same_v<Operand, ExprOperand>)
      if (op.sparse) {
        left_sparse_row(M, i, b, e, p, op, out);
        continue;
      }
    for (i32 c = 0; c < p; ++c) {
      out.open();
      bool any = false;
      for (i64 r = b; r < e; ++r) {
        if (M.skip(r)) continue;
        const i64 s = op.find(static_cast<i64>(M.other(r)) * p + c);
        if (s < 0) continue;
        any = true;
        out.V = add32(out.V, 1);
        out.append(op, s, O::kWrites ? M.value(r) : 0.0);
      }
      out.close(static_cast<i64>(i) * p + c, any);
    }
  }
}

// Result element `key` of a right product: the entries of M's column j in
// row order, each meeting the operand element find(i) of its row i (none
// when negative).
template <class Lines, class Operand, class O, class Find>
inline void right_element(const Lines& M, i32 j, i64 key, const Operand& op, O& out, Find find) FRAG_NOEXCEPT {
  const auto [b, e] = M.line(j);
  out.open();
  bool any = false;
  for (i64 r = b; r < e; ++r) {
    if (M.skip(r)) continue;
    const i64 s = find(M.other(r));
    if (s < 0) continue;
    any = true;
    out.V = add32(out.V, 1);
    out.append(op, s, O::kWrites ? M.value(r) : 0.0);
  }
  out.close(key, any);
}

// Sparse operand, right product: only the operand rows that store elements
// run M's columns (each entry's element found among that row's stored
// elements); a row without any gives no element in a sparse result and n
// empty ones in a dense result. The cost follows the stored rows times M's
// columns and entries, not the q rows of the grid.
template <class Lines, class O>
void right_sparse(const Lines& M, i32 c0, i32 q, i32 m, i32 n, const ExprOperand& op, O& out) FRAG_NOEXCEPT {
  const i64 first = std::max(c0, 0);
  i64 s = op.lower(first * m, 0, op.nelem);  // the first stored element of row c
  auto empty_row = [&](i64 c) {
    for (i32 j = 0; j < n; ++j) {
      out.open();
      out.close(c * n + j, false);
    }
  };
  for (i64 c = first; c < q; ++c) {
    const i64 row = c * m;
    if (s >= op.nelem || op.sp[s] >= row + m) {  // row c stores nothing
      if (sparse_result(out)) {
        if (s >= op.nelem) return;
        c = op.sp[s] / m - 1;  // on to the next row that stores something
      } else {
        empty_row(c);
      }
      continue;
    }
    const i64 f = op.lower(row + m, s, op.nelem);
    for (i32 j = 0; j < n; ++j)
      right_element(M, j, c * n + j, op, out, [&](i32 i) { return op.find_in(row + i, s, f); });
    s = f;
  }
}

// Right product E.M over operand rows c0 .. q - 1, E viewed as rows of m
// columns, M's columns 0 .. n - 1. The key of result element (c, j) is
// c * n + j.
template <class Lines, class Operand, class O>
void right(const Lines& M, i32 c0, i32 q, i32 m, i32 n, const Operand& op, O& out) FRAG_NOEXCEPT {
  if constexpr (std::is_same_v<Operand, ExprOperand>)
    if (op.sparse && m > 0) {
      right_sparse(M, c0, q, m, n, op, out);
      return;
    }
  for (i32 c = std::max(c0, 0); c < q; ++c)
    for (i32 j = 0; j < n; ++j)
      right_element(M, j, static_cast<i64>(c) * n + j, op, out,
                    [&](i32 i) { return op.find(static_cast<i64>(c) * m + i); });
}

// Product of the extents shape[a] .. shape[b - 1] (32-bit, wrapping).
inline i32 extent_product(Run<i32> shape, i32 a, i32 b) FRAG_NOEXCEPT {
  i32 p = 1;
  for (i32 k = a; k < b; ++k) p = mul32(p, shape[k]);
  return p;
}

// Elementwise product of E with a sparse constant C whose K entries lie at
// the ascending row-major positions msp[k] with values cval[k]: one result
// element per entry whose position E stores, key msp[k], holding E's terms
// times cval[k].
template <class Operand, class O>
void elementwise(Vec<i64> msp, Vec<f64> cval, i32 K, const Operand& op, O& out) FRAG_NOEXCEPT {
  for (i32 k = 0; k < K; ++k) {
    const i64 key = msp[k];
    const i64 s = op.find(key);
    out.open();
    if (s >= 0) {
      out.V = add32(out.V, 1);
      out.append(op, s, O::kWrites ? cval[k] : 0.0);
    }
    out.close(key, s >= 0);
  }
}

// An operand on the W stack at the given block positions. A dense operand
// passes sparse = false (its sparsity block and element count are not read).
inline ExprOperand operand(Vec<i32> wi32, Vec<i64> wi64, Vec<f64> wf64, i32 ptr, i32 nidxs, i32 cof, bool programs,
                           i32 codeptr, i32 code, i32 cconst, bool sparse, i32 sp, i32 nelem) FRAG_NOEXCEPT {
  return ExprOperand{stack::blocks_at(wi32, wi64, wf64, ptr, nidxs, cof, codeptr, code, cconst, programs),
                     Run(wi64, sparse ? sp : 0), nelem, sparse};
}

// The result blocks on the R stack and the running cursors.
template <bool Write>
Out<Write> result(Vec<i32> ri32, Vec<i64> ri64, Vec<f64> rf64, i32 ptr, i32 nidxs, i32 cof, bool programs,
                  i32 codeptr, i32 code, i32 cconst, bool sparse, i32 sp, i32 E0, i32 T0, i32 P0) FRAG_NOEXCEPT {
  Out<Write> o{stack::blocks_at(ri32, ri64, rf64, ptr, nidxs, cof, codeptr, code, cconst, programs),
               Run(ri64, sparse ? sp : 0), sparse};
  o.E = E0;
  o.T = T0;
  o.P = P0;
  return o;
}

// Sizes only: cursors without blocks. Program positions are counted when
// `programs` is set.
inline Out<false> counter(bool programs, bool sparse, i32 E0, i32 T0, i32 P0) FRAG_NOEXCEPT {
  Out<false> o{Blocks{Run(Vec<i32>{}, 0), Run(Vec<i64>{}, 0), Run(Vec<f64>{}, 0), Run(Vec<i32>{}, 0),
                      Run(Vec<i32>{}, 0), Run(Vec<f64>{}, 0), programs},
               Run(Vec<i64>{}, 0), sparse};
  o.E = E0;
  o.T = T0;
  o.P = P0;
  return o;
}

// An operand's shape viewed as a matrix for a left product: n = extent 0
// rows, p = product of the other extents; the result shape is (m, shape[1:]).
inline i32 left_columns(Run<i32> shape, i32 nd) FRAG_NOEXCEPT { return extent_product(shape, 1, nd); }
inline void left_shape(Run<i32> shape, i32 nd, i32 m, Run<i32> rshape) FRAG_NOEXCEPT {
  if (nd <= 0) return;
  rshape[0] = m;
  for (i32 d = 1; d < nd; ++d) rshape[d] = shape[d];
}
// ... and for a right product: q = product of all extents but the last, m =
// the last extent; the result shape is (shape[:-1], n).
inline i32 right_rows(Run<i32> shape, i32 nd) FRAG_NOEXCEPT { return extent_product(shape, 0, nd - 1); }
inline void right_shape(Run<i32> shape, i32 nd, i32 n, Run<i32> rshape) FRAG_NOEXCEPT {
  if (nd <= 0) return;
  for (i32 d = 0; d + 1 < nd; ++d) rshape[d] = shape[d];
  rshape[nd - 1] = n;
}

}  // namespace frag::mprod
