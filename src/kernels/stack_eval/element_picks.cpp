// Element picks from stacked expressions and index checks.
//
// A pick builds a dense one-dimensional expression on the R stack whose
// element i is element idxs[i] of an operand on the W stack. Each pick runs
// as a counting pass (program positions P and terms T needed) and a copy
// pass. A sparse operand is searched once, in the counting pass, which leaves
// the stored position of every wanted element (or -1) in a match block on the
// X stack for the copy pass.
#include "kernels/stack_eval/programs.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

using stack::Run;

// ------------------------------------------------------------ counting

// Count pass of a pick from a dense operand: T and, with programs, P grow by
// the terms and program positions of each element idxs[i]; returns (P, T).
std::tuple<i32, i32> dense_pick_count(i32 wcodeptr, Vec<i64> idxs, i32 flag, i32 wptr, i32 P, i32 T,
                                      Vec<i32> wi32) {
  const Run<i32> ptr(wi32, wptr), codeptr(wi32, wcodeptr);
  const bool programs = stack::has_programs(flag);
  const i32 n = idxs.n32();
  for (i32 i = 0; i < n; ++i) stack::add_element_size(ptr, codeptr, programs, idxs[i], T, P);
  return {P, T};
}
FRAG_KERNEL(415, "iOiiiiO", dense_pick_count, "idxs wi32");

// Lower-bound search of every wanted index among the stored ones; match[i] is
// the stored position or -1.
std::tuple<i32, i32> sparse_pick_match(i32 wcodeptr, Vec<i64> idxs, i32 flag, i32 nstored, i32 wptr, i32 P,
                                       i32 T, i32 wsp, i32 xmatch, Vec<i32> wi32, Vec<i64> wi64,
                                       Vec<i32> xi32) {
  const Run<i32> ptr(wi32, wptr), codeptr(wi32, wcodeptr);
  const bool programs = stack::has_programs(flag);
  const Run<i64> sp(wi64, wsp);
  const Run<i32> match(xi32, xmatch);
  const i32 n = idxs.n32();
  for (i32 i = 0; i < n; ++i) {
    const i64 key = idxs[i];
    i32 lo = 0, hi = nstored;
    while (lo < hi) {
      const i32 mid = static_cast<i32>((static_cast<i64>(lo) + hi) >> 1);
      if (sp[mid] < key)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo < nstored && sp[lo] == key) {
      match[i] = lo;
      stack::add_element_size(ptr, codeptr, programs, lo, T, P);
    } else {
      match[i] = -1;
    }
  }
  return {P, T};
}
FRAG_KERNEL(417, "iOiiiiiiiOOO", sparse_pick_match, "idxs wi32 wi64 xi32");

// ---------------------------------------------------------------- copies

// The operand's blocks on the W stack (src) and the result's on the R stack
// (dst); both carry programs when the operand does.
struct PickBlocks {
  stack::Blocks src, dst;
};

PickBlocks pick_blocks(i32 wcconst, i32 wcode, i32 wcodeptr, i32 wcof, i32 wnidxs, i32 wptr, i32 rcconst,
                       i32 rcode, i32 rcodeptr, i32 rcof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 flag,
                       i32 rnidxs, i32 rptr, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const bool programs = stack::has_programs(flag);
  return PickBlocks{stack::blocks_at(wi32, wi64, wf64, wptr, wnidxs, wcof, wcodeptr, wcode, wcconst, programs),
                    stack::blocks_at(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, programs)};
}

// Both copy passes: for pick i, the terms of operand element source(i) (no
// terms for a sparse miss, -1), then the result row pointer entry i + 1.
// Entry 0 of the result pointers is the caller's.
template <bool MayMiss, class Source>
std::tuple<i32, i32> pick_copy(const PickBlocks& b, i32 n, Source source, i32 P, i32 T) {
  for (i32 i = 0; i < n; ++i) {
    const i64 e = source(i);
    if (!MayMiss || e >= 0) program::copy_terms<program::NoProgram::kNothing>(b.src, e, b.dst, T, P);
    b.dst.ptr[i + 1] = T;
  }
  return {P, T};
}

// Copy pass of a pick from a dense operand: element i of the result is operand
// element idxs[i], with its terms and programs; returns the final (P, T).
std::tuple<i32, i32> dense_pick_copy(i32 wcconst, i32 wcode, i32 P, i32 wcodeptr, i32 wcof, Vec<i64> idxs,
                                     i32 T, i32 wnidxs, i32 wptr, i32 rcconst, i32 rcode, i32 rcodeptr,
                                     i32 rcof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 flag,
                                     i32 rnidxs, i32 rptr, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const PickBlocks b = pick_blocks(wcconst, wcode, wcodeptr, wcof, wnidxs, wptr, rcconst, rcode, rcodeptr, rcof,
                                   rf64, ri32, ri64, flag, rnidxs, rptr, wf64, wi32, wi64);
  // Dense operands are addressed directly; the host has range-checked idxs.
  return pick_copy<false>(b, idxs.n32(), [&](i32 i) { return idxs[i]; }, P, T);
}
FRAG_KERNEL(416, "iiiiiOiiiiiiiOOOiiiOOO", dense_pick_copy, "idxs rf64 ri32 ri64 wf64 wi32 wi64");

// Copy pass of a pick from a sparse operand: element i of the result is the
// stored element found by the count pass at xmatch on the X stack (none when
// -1); returns the final (P, T).
std::tuple<i32, i32> sparse_pick_copy(i32 wcconst, i32 wcode, i32 P, i32 wcodeptr, i32 wcof, Vec<i64> idxs,
                                      i32 T, i32 wnidxs, i32 wptr, i32 rcconst, i32 rcode, i32 rcodeptr,
                                      i32 rcof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 flag,
                                      i32 rnidxs, i32 rptr, i32 xmatch, Vec<f64> wf64, Vec<i32> wi32,
                                      Vec<i64> wi64, Vec<i32> xi32) {
  const PickBlocks b = pick_blocks(wcconst, wcode, wcodeptr, wcof, wnidxs, wptr, rcconst, rcode, rcodeptr, rcof,
                                   rf64, ri32, ri64, flag, rnidxs, rptr, wf64, wi32, wi64);
  // idxs gives only the number of picks; the matches say which stored element.
  const Run<i32> match(xi32, xmatch);
  return pick_copy<true>(b, idxs.n32(), [&](i32 i) { return i64{match[i]}; }, P, T);
}
FRAG_KERNEL(418, "iiiiiOiiiiiiiOOOiiiiOOOO", sparse_pick_copy, "idxs rf64 ri32 ri64 wf64 wi32 wi64 xi32");

// ---------------------------------------------------------- index checks

// Sets the flag when any entry lies outside [0, bound); every entry is visited.
bool out_of_range(Vec<i64> v, i64 bound, bool flag) {
  const std::ptrdiff_t n = v.n32();
  for (std::ptrdiff_t k = 0; k < n; ++k) {
    const i64 x = v[k];
    flag |= (x < 0) | (x >= bound);
  }
  return flag;
}

// Sets the flag when any entry of idxs lies outside 0 .. bound - 1; returns
// the flag.
bool idxs_out_of_range(Vec<i64> idxs, i64 bound, bool flag) { return out_of_range(idxs, bound, flag); }
FRAG_KERNEL(414, "OLp", idxs_out_of_range, "idxs");

// Sets the flag when any entry of sparsity lies outside 0 .. bound - 1;
// returns the flag.
bool sparsity_out_of_range(bool flag, Vec<i64> sparsity, i64 bound) { return out_of_range(sparsity, bound, flag); }
FRAG_KERNEL(411, "pOL", sparsity_out_of_range, "sparsity");

// Sets the flag when any multi-index (a row of idxs) has an entry outside
// [0, shape[j]) in one of its first nd columns.
bool multi_index_out_of_range(Mat<i32> idxs, i32 nd, Vec<i32> shape, bool flag) {
  const i32 rows = idxs.rows;
  if (rows < 1 || nd < 1) return flag;
  for (i32 r = 0; r < rows; ++r)
    for (i32 j = 0; j < nd; ++j) {
      const i32 x = idxs(r, j);
      flag |= (x < 0) | (x >= shape[j]);
    }
  return flag;
}
FRAG_KERNEL(412, "OiOp", multi_index_out_of_range, "idxs shape");

// Row-major linear index of every multi-index, from 64-bit strides of shape.
void multi_index_to_linear(Mat<i32> idxs, i32 nd, Vec<i32> shape, Vec<i64> this_idxs) {
  WorkArray<i64> stride(nd);
  if (nd >= 1) {
    stride[nd - 1] = 1;
    extents::rowmajor_strides(shape, stride, nd);
  }
  const i32 rows = idxs.rows;
  for (i32 r = 0; r < rows; ++r) {
    i64 lin = 0;
    for (i32 j = 0; j < nd; ++j) lin = add64(lin, mul64(static_cast<i64>(idxs(r, j)), stride[j]));
    this_idxs[r] = lin;
  }
}
FRAG_KERNEL(413, "OiOO", multi_index_to_linear, "idxs shape this_idxs");

}  // namespace
}  // namespace frag
