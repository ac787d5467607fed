// Stacking stacked expressions along an axis.
//
// Operands lie on the W stack, described by per-operand int32 tables
// (positions of their blocks, element and term counts, sparsity, extent d1s
// along the stacking axis and offset of their first slice in the result).
// The result goes to the R stack by one of three routes:
//   - concatenation in operand order (stacking along the first axis), always
//     with a sparsity block;
//   - dense stacking, producing the result elements in row-major order;
//   - sparse stacking: the stacked index of every operand element goes to the
//     X stack, a counting sort per axis orders the entries, a gather copies.
// Terms carry their programs; an operand without programs stacked into a
// result with programs gives each of its terms the program (push 0.0).
#include "kernels/stack_eval/programs.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

using stack::Run;

// ----------------------------------------------------------------- sizes

// v times the extents run[first .. last], wrapping in 32 bits.
i32 extent_product(i32 v, Run<i32> run, i32 first, i32 last) {
  for (i32 j = first; j <= last; ++j) v = mul32(v, run[j]);
  return v;
}

// Inner size: the extents after axis d.
i32 inner_size_a(i32 d, i32 nd, i32 v, i32 pos, Vec<i32> wi32) {
  return extent_product(v, Run(wi32, pos), d + 1, nd - 1);
}
// v times the extents after axis d of the nd-axis shape on the W stack at pos,
// wrapping in 32 bits; returns it.
i32 inner_size_b(i32 v, i32 d, i32 nd, i32 pos, Vec<i32> wi32) { return inner_size_a(d, nd, v, pos, wi32); }
FRAG_KERNEL(444, "iiiiO", inner_size_a, "wi32");
FRAG_KERNEL(440, "iiiiO", inner_size_b, "wi32");
FRAG_KERNEL(431, "iiiiO", inner_size_b, "wi32");

// The first n extents.
i32 head_product_a(i32 n, i32 v, i32 pos, Vec<i32> wi32) { return extent_product(v, Run(wi32, pos), 0, n - 1); }
// v times the first n extents of the shape on the W stack at pos, wrapping in
// 32 bits; returns it.
i32 head_product_b(i32 v, i32 n, i32 pos, Vec<i32> wi32) { return head_product_a(n, v, pos, wi32); }
FRAG_KERNEL(443, "iiiO", head_product_a, "wi32");
FRAG_KERNEL(437, "iiiO", head_product_b, "wi32");
FRAG_KERNEL(430, "iiiO", head_product_b, "wi32");

// Result extent along the stacking axis: v plus the operands' extents there.
i32 sum_d1s(i32 v, Vec<i32> d1s, i32 n) {
  for (i32 k = 0; k < n; ++k) v = add32(v, d1s[k]);
  return v;
}
FRAG_KERNEL(439, "iOi", sum_d1s, "d1s");

// Offset of each operand's first slice; offset[0] is the caller's.
void slice_offsets(Vec<i32> d1s, i32 n, Vec<i32> offset) {
  for (i32 k = 1; k < n; ++k) offset[k] = add32(offset[k - 1], d1s[k - 1]);
}
FRAG_KERNEL(438, "OiO", slice_offsets, "d1s offset");

// Result extent along axis d from the operands' shapes; an axis at or past
// the dimension count is a new axis with one slice per operand.
i32 stacked_extent(i32 d, i32 n, i32 nd, i32 v, Vec<i32> shape_base, Vec<i32> wi32) {
  if (d >= nd) return n;
  for (i32 k = 0; k < n; ++k) v = add32(v, wi32[static_cast<std::ptrdiff_t>(shape_base[k]) + d]);
  return v;
}
FRAG_KERNEL(435, "iiiiOO", stacked_extent, "shape_base wi32");

// Largest extent of the result shape (sizes the count block of the ordering).
i32 max_extent(i32 v, Vec<i32> ri32, i32 n, i32 pos) {
  const Run<i32> r(ri32, pos);
  for (i32 j = 0; j < n; ++j)
    if (r[j] > v) v = r[j];
  return v;
}
FRAG_KERNEL(446, "iOii", max_extent, "ri32");

// Copies the first n extents of shape_ into shape.
void copy_shape(i32 n, Vec<i32> shape, Vec<i32> shape_) {
  for (i32 j = 0; j < n; ++j) shape[j] = shape_[j];
}
FRAG_KERNEL(433, "iOO", copy_shape, "shape shape_");

// Totals for reserving the result: the result has programs when the flag is
// set on entry or any operand has programs; it then needs one program
// position per term of an operand without programs.
std::tuple<bool, i32, i32, i32> stack_totals(i32 n, Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> nnz, bool flag,
                                             i32 ninstr, i32 nelems, i32 nterms) {
  i32 instr = 0;
  for (i32 k = 0; k < n; ++k) {
    const i32 a = ncodeatom[k], m = nnz[k];
    flag |= a > 0;
    nelems = add32(nelems, nelem[k]);
    nterms = add32(nterms, m);
    instr = add32(instr, a > 0 ? a : m);
  }
  if (flag) ninstr = add32(ninstr, instr);
  return {flag, ninstr, nelems, nterms};
}
FRAG_KERNEL(436, "iOOOpiii", stack_totals, "ncodeatom nelem nnz");

// Contract of the shape-compatibility test, operand 0 being the reference:
//   (ok, d, hassp, newaxis, first, n, nds, nsparse, shape_base, wi32)
//     -> (ok, nsparse)
// For every operand k from `first` to n - 1:
//   - nsparse grows by one when hassp[k] != 0;
//   - ok is cleared when nds[k] != nds[0], or when, for an axis j from 0 to
//     nds[0] - 1 other than the stacking axis d, the extent
//     wi32[shape_base[k] + j] differs from wi32[shape_base[0] + j]. With
//     `newaxis` set (stacking along a new axis) no axis is exempt: the shapes
//     must be identical. An axis d outside 0 .. nds[0] - 1 exempts nothing.
// ok is only ever cleared and nsparse only ever grows, so a host that checks
// a growing operand list chains calls with `first` = operands already seen.
std::tuple<bool, i32> stack_shapes_agree(bool ok, i32 d, Vec<i32> hassp, bool newaxis, i32 first, i32 n,
                                         Vec<i32> nds, i32 nsparse, Vec<i32> shape_base, Vec<i32> wi32) {
  if (first < 0) first = 0;
  if (first >= n) return {ok, nsparse};
  const i32 nd0 = nds[0];
  const Run<i32> shape0(wi32, shape_base[0]);
  const i32 exempt = newaxis ? -1 : d;
  for (i32 k = first; k < n; ++k) {
    if (hassp[k] != 0) nsparse = add32(nsparse, 1);
    if (nds[k] != nd0) {
      ok = false;
      continue;
    }
    const Run<i32> shape(wi32, shape_base[k]);
    for (i32 j = 0; j < nd0; ++j)
      if (j != exempt && shape[j] != shape0[j]) ok = false;
  }
  return {ok, nsparse};
}
FRAG_KERNEL(434, "piOpiiOiOO", stack_shapes_agree, "hassp nds shape_base wi32");

// ---------------------------------------------------------- element copy

// Appends operand elements to the result, counting terms T and program
// positions P from 0. A result with programs gives every term of an operand
// without programs the program (push 0.0); an operand with programs brings
// its own whatever the result's flag.
struct ResultWriter {
  stack::Blocks res;
  i32 T = 0, P = 0;

  ResultWriter(Vec<i32> ri32, Vec<i64> ri64, Vec<f64> rf64, i32 rptr, i32 rnidxs, i32 rcof, i32 rcodeptr,
               i32 rcode, i32 rcconst, bool programs)
      : res(stack::blocks_at(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, programs)) {}

  // Row pointer entry 0, and program pointer entry 0 when the result has programs.
  void start(bool result_programs) {
    res.ptr[0] = 0;
    if (result_programs) res.pptr[0] = 0;
  }

  void copy(const stack::Blocks& op, i64 e) {
    program::copy_terms<program::NoProgram::kPushZero, program::Unflagged::kCopy>(op, e, res, T, P);
  }
};

// The operand's blocks, its program blocks located whenever it has programs.
inline stack::Blocks operand(const stack::OperandTable& w, i32 k) { return w.operand(k, true); }

// ----------------------------------------------------------- dense route

// Result elements in row-major order of the stacked shape: for each outer
// index, each operand's d1s[k] slices of `inner` elements in turn.
void dense_stack(Vec<i32> cconst, Vec<i32> code, Vec<i32> codeptr, Vec<i32> cof_base, i32 outer, Vec<i32> d1s,
                 i32 inner, i32 n, Vec<i32> ncodeatom, Vec<i32> nidxs_base, bool flag, Vec<i32> ptr_base,
                 i32 rcconst, i32 rcode, i32 rcodeptr, i32 rcof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                 i32 rnidxs, i32 rptr, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  if (outer < 1 || n < 1) return;
  const stack::OperandTable w{cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base, wf64, wi32, wi64};
  ResultWriter r(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, flag);
  r.start(flag);
  i32 E = 0;
  for (i32 o = 0; o < outer; ++o)
    for (i32 k = 0; k < n; ++k) {
      const stack::Blocks op = operand(w, k);
      const i32 m = d1s[k];
      for (i32 t = 0; t < m; ++t) {
        const i32 first = mul32(add32(mul32(m, o), t), inner);
        for (i32 x = 0; x < inner; ++x) {
          r.copy(op, add32(first, x));
          r.res.ptr[++E] = r.T;
        }
      }
    }
}
FRAG_KERNEL(442, "OOOOiOiiOOpOiiiiOOOiiOOO", dense_stack,
            "cconst code codeptr cof_base d1s ncodeatom nidxs_base ptr_base rf64 ri32 ri64 wf64 wi32 wi64");

// ------------------------------------------------------ concatenation

// Every element of operand 0, then of operand 1, ...; the sparsity index of
// an element is its own (or its position, for a dense operand) shifted by
// the full sizes of the operands before it.
void concatenate(Vec<i32> cconst, Vec<i32> code, Vec<i32> codeptr, Vec<i32> cof_base, Vec<i32> hassp, i32 n,
                 Vec<i32> ncodeatom, i32 nd, Vec<i32> nelem, Vec<i32> nidxs_base, Vec<i32> ptr_base, i32 rcconst,
                 i32 rcode, i32 rcodeptr, i32 rcof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 flag,
                 i32 rnidxs, i32 rptr, i32 rsp, Vec<i32> shape_base, Vec<i32> sp_base, Vec<f64> wf64,
                 Vec<i32> wi32, Vec<i64> wi64) {
  const stack::OperandTable w{cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base, wf64, wi32, wi64};
  const bool programs = stack::has_programs(flag);
  ResultWriter r(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, programs);
  r.start(programs);
  const Run<i64> sp(ri64, rsp);
  i32 E = 0;
  i64 base = 0;
  for (i32 k = 0; k < n; ++k) {
    const stack::Blocks op = operand(w, k);
    const i32 ne = nelem[k];
    const bool sparse = hassp[k] != 0;
    const Run<i64> osp(wi64, sp_base[k]);
    for (i32 e = 0; e < ne; ++e) {
      r.copy(op, e);
      r.res.ptr[E + 1] = r.T;
      sp[E] = add64(base, sparse ? osp[e] : i64{e});
      ++E;
    }
    const Run<i32> shape(wi32, shape_base[k]);
    i64 size = 1;
    for (i32 j = 0; j < nd; ++j) size = mul64(size, static_cast<i64>(shape[j]));
    base = add64(base, size);
  }
}
FRAG_KERNEL(445, "OOOOOiOiOOOiiiiOOOiiiiOOOOO", concatenate,
            "cconst code codeptr cof_base hassp ncodeatom nelem nidxs_base ptr_base rf64 ri32 ri64 "
            "shape_base sp_base wf64 wi32 wi64");

// --------------------------------------------------------- sparse route

// Stacked index of every operand element, with its operand and element
// numbers, in operand order. An element with linear index u in an operand of
// extent m along the axis splits into outer = u / (m w), slice = (u / w) mod m
// and low = u mod w (w = inner size); in the result its slice moves by the
// operand's offset and the axis has the result's extent.
void stacked_indices(Vec<i32> d1s, i32 inner, Vec<i32> hassp, i32 n, Vec<i32> nelem, Vec<i32> offset,
                     i32 extent, Vec<i32> sp_base, i32 xop, i32 xel, i32 xidx, Vec<i64> wi64, Vec<i32> xi32,
                     Vec<i64> xi64) {
  const Run<i32> opnum(xi32, xop), elnum(xi32, xel);
  const Run<i64> sidx(xi64, xidx);
  const i64 w = inner;
  i32 p = 0;
  for (i32 k = 0; k < n; ++k) {
    const i32 ne = nelem[k];
    const bool sparse = hassp[k] != 0;
    const Run<i64> sp(wi64, sp_base[k]);
    const i64 m = d1s[k];
    const i64 mw = mul64(m, w);
    const i64 off = offset[k];
    for (i32 e = 0; e < ne; ++e, ++p) {
      const i64 u = sparse ? sp[e] : i64{e};
      const i64 outer = idiv(u, mw);
      const i64 slice = irem(idiv(u, w), m);
      const i64 low = irem(u, w);
      sidx[p] = add64(mul64(add64(add64(slice, off), mul64(outer, extent)), w), low);
      opnum[p] = k;
      elnum[p] = e;
    }
  }
}
FRAG_KERNEL(447, "OiOiOOiOiiiOOO", stacked_indices, "d1s hassp nelem offset sp_base wi64 xi32 xi64");

// Stable ascending order of the entries by stacked index: one counting sort
// per axis of the result shape, last axis first, alternating between the two
// order blocks. Returns (block holding the order, the other block). With no
// axes the first block holds the identity order.
std::tuple<i32, i32> order_stacked(i32 xorder, Vec<i32> ri32, i32 nd, i32 nent, i32 rshape, i32 xother,
                                   i32 xidx, Vec<i32> xi32, Vec<i64> xi64, i32 xcount) {
  const Run<i32> shape(ri32, rshape);
  WorkArray<i64> stride(nd);
  if (nd >= 1) {
    stride[nd - 1] = 1;
    extents::rowmajor_strides(shape, stride, nd);
  }
  const Run<i64> sidx(xi64, xidx);
  const Run<i32> count(xi32, xcount);
  i32 cur = xorder, other = xother;
  {
    const Run<i32> order(xi32, cur);
    for (i32 p = 0; p < nent; ++p) order[p] = p;
  }
  for (i32 a = nd - 1; a >= 0; --a) {
    const i32 x = shape[a];
    const i64 s = stride[a];
    const Run<i32> from(xi32, cur), to(xi32, other);
    for (i32 c = 0; c <= x; ++c) count[c] = 0;
    for (i32 p = 0; p < nent; ++p) {
      const i64 c = irem(idiv(sidx[from[p]], s), x);
      count[c + 1] = add32(count[c + 1], 1);
    }
    for (i32 c = 0; c < x; ++c) count[c + 1] = add32(count[c + 1], count[c]);
    for (i32 p = 0; p < nent; ++p) {
      const i32 q = from[p];
      const i64 c = irem(idiv(sidx[q], s), x);
      to[count[c]] = q;
      count[c] = add32(count[c], 1);
    }
    std::swap(cur, other);
  }
  return {cur, other};
}
FRAG_KERNEL(448, "iOiiiiiOOi", order_stacked, "ri32 xi32 xi64");

// Copies the entries in sorted order: result element i is element e of
// operand k of entry order[i], its sparsity index the entry's stacked index.
void sparse_gather(Vec<i32> cconst, Vec<i32> code, Vec<i32> codeptr, Vec<i32> cof_base, i32 xorder,
                   Vec<i32> ncodeatom, Vec<i32> nidxs_base, bool flag, Vec<i32> ptr_base, i32 rcconst, i32 rcode,
                   i32 rcodeptr, i32 rcof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 rflag, i32 nres,
                   i32 rnidxs, i32 rptr, i32 rsp, i32 xop, i32 xel, i32 xidx, Vec<f64> wf64, Vec<i32> wi32,
                   Vec<i64> wi64, Vec<i32> xi32, Vec<i64> xi64) {
  const stack::OperandTable w{cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base, wf64, wi32, wi64};
  ResultWriter r(ri32, ri64, rf64, rptr, rnidxs, rcof, rcodeptr, rcode, rcconst, flag);
  r.start(stack::has_programs(rflag));
  const Run<i32> order(xi32, xorder), opnum(xi32, xop), elnum(xi32, xel);
  const Run<i64> sidx(xi64, xidx), sp(ri64, rsp);
  for (i32 i = 0; i < nres; ++i) {
    const i32 s = order[i];
    r.copy(operand(w, opnum[s]), elnum[s]);
    r.res.ptr[i + 1] = r.T;
    sp[i] = sidx[s];
  }
}
FRAG_KERNEL(449, "OOOOiOOpOiiiiOOOiiiiiiiiOOOOO", sparse_gather,
            "cconst code codeptr cof_base ncodeatom nidxs_base ptr_base rf64 ri32 ri64 wf64 wi32 wi64 xi32 xi64");

}  // namespace
}  // namespace frag
