// Weighted sums of stacked expressions and products with a scalar.
//
// The sum w[0]*E0 + ... + w[k-1]*E(k-1) concatenates terms: every term of
// every operand element becomes one term of the result element, its
// coefficient multiplied by the operand's weight; equal variables are not
// merged. With programs, a result term's program is the operand term's program
// followed by "push constant w[i], multiply", or "push constant 0.0" for an
// operand without programs.
//
// The operands lie on the W stack, described by int32 arrays indexed by
// operand number (ptr_base, nidxs_base, cof_base, sp_base, ncodeatom,
// codeptr, code, cconst, ...). A dense result is built count / prefix / fill /
// shift, one count and one fill call per operand; a sparse result of sparse
// operands is built by one k-way merge over their sparsity indices.
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Blocks;
using stack::Run;

// Where operand element e lands in a dense result: itself for a dense
// operand, its sparsity index for a sparse one.
struct DenseTarget {
  std::ptrdiff_t operator()(i32 e) const FRAG_NOEXCEPT { return e; }
};
struct SparseTarget {
  Run<i64> sp;
  std::ptrdiff_t operator()(i32 e) const FRAG_NOEXCEPT { return static_cast<std::ptrdiff_t>(sp[e]); }
};

// ------------------------------------------------------ shapes and totals

// Sets the flag when one of the k operands carries coefficient programs
// (ncodeatom > 0); returns the flag.
bool any_programs(bool flag, i32 k, Vec<i32> ncodeatom) {
  for (i32 i = 0; i < k && !flag; ++i) flag = ncodeatom[i] > 0;
  return flag;
}
FRAG_KERNEL(517, "piO", any_programs, "ncodeatom");

// Every operand has operand 0's number of axes and extents; a false flag
// stays false.
bool same_shapes(i32 k, Vec<i32> nd, bool flag, Vec<i32> shape_base, Vec<i32> wi32) {
  if (!flag || k <= 1) return flag;
  const i32 d0 = nd[0];
  const Run<i32> s0(wi32, shape_base[0]);
  for (i32 i = 1; i < k; ++i) {
    if (nd[i] != d0) return false;
    const Run<i32> si(wi32, shape_base[i]);
    for (i32 d = 0; d < d0; ++d)
      if (si[d] != s0[d]) return false;
  }
  return true;
}
FRAG_KERNEL(516, "iOpOO", same_shapes, "nd shape_base wi32");

// Copies operand 0's shape from the W stack onto the R stack at off_shape.
void copy_first_shape(Vec<i32> nd, Vec<i32> ri32, i32 off_shape, Vec<i32> shape_base, Vec<i32> wi32) {
  const Run<i32> dst(ri32, off_shape), src(wi32, shape_base[0]);
  for (i32 d = 0, n = nd[0]; d < n; ++d) dst[d] = src[d];
}
FRAG_KERNEL(520, "OOiOO", copy_first_shape, "nd ri32 shape_base wi32");

// Program positions of operand i in a result with programs: its own positions
// plus a push and a multiply per term, or one push per term without programs.
inline i32 program_positions(Vec<i32> ncodeatom, Vec<i32> nnz, i32 i) FRAG_NOEXCEPT {
  const i32 a = ncodeatom[i];
  return a > 0 ? add32(a, mul32(2, nnz[i])) : nnz[i];
}

// Totals of a weighted sum of k dense operands: terms grows by their terms
// and, with programs, positions by their program positions; returns
// (positions, terms).
std::tuple<i32, i32> dense_totals(bool flag, i32 k, Vec<i32> ncodeatom, Vec<i32> nnz, i32 positions, i32 terms) {
  for (i32 i = 0; i < k; ++i) {
    terms = add32(terms, nnz[i]);
    if (flag) positions = add32(positions, program_positions(ncodeatom, nnz, i));
  }
  return {positions, terms};
}
FRAG_KERNEL(518, "piOOii", dense_totals, "ncodeatom nnz");

// k-way merge over the operands' ascending sparsity indices: for each
// distinct key, smallest first, visit(i, element) is called for every operand
// i (in increasing order) whose current element has that key, then
// close(key). `cursor` holds k zeroed element cursors.
template <class Visit, class Close>
void merge_keys(i32 k, Vec<i32> nelem, Vec<i32> sp_base, Vec<i64> wi64, const WorkArray<i32>& cursor, Visit visit,
                Close close) {
  auto key_of = [&](i32 i) { return wi64[static_cast<std::ptrdiff_t>(sp_base[i]) + cursor[i]]; };
  for (;;) {
    bool any = false;
    i64 key = 0;
    for (i32 i = 0; i < k; ++i) {
      if (cursor[i] >= nelem[i]) continue;
      const i64 v = key_of(i);
      if (!any || v < key) key = v;
      any = true;
    }
    if (!any) return;
    for (i32 i = 0; i < k; ++i) {
      if (cursor[i] < nelem[i] && key_of(i) == key) {
        visit(i, cursor[i]);
        cursor[i] = cursor[i] + 1;
      }
    }
    close(key);
  }
}

// Totals of a weighted sum of k sparse operands: terms grows by their terms,
// positions (with programs) by their program positions and elements by the
// distinct sparsity indices; returns (positions, elements, terms).
std::tuple<i32, i32, i32> sparse_totals(bool flag, i32 k, Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> nnz,
                                        i32 positions, i32 elements, i32 terms, Vec<i32> sp_base, Vec<i64> wi64) {
  if (k <= 0) return {positions, elements, terms};
  for (i32 i = 0; i < k; ++i) {
    terms = add32(terms, nnz[i]);
    if (flag) positions = add32(positions, program_positions(ncodeatom, nnz, i));
  }
  const WorkArray<i32> cursor(k);
  merge_keys(k, nelem, sp_base, wi64, cursor, [](i32, i32) {}, [&](i64) { elements = add32(elements, 1); });
  return {positions, elements, terms};
}
FRAG_KERNEL(519, "piOOOiiiOO", sparse_totals, "ncodeatom nelem nnz sp_base wi64");

// ------------------------------------------------------- dense count pass

// Adds each operand element's number of terms, and with programs its number
// of program positions, into entry target + 1 of the zeroed runs.
template <class Target>
void count_operand(bool flag, Vec<i32> codeptr, i32 i, Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> ptr_base,
                   Run<i32> rowptr, Vec<i32> wi32, Run<i32> counters, Target target) {
  const Run<i32> ptr(wi32, ptr_base[i]);
  const bool own = ncodeatom[i] > 0;
  const Run<i32> pptr(wi32, own ? codeptr[i] : 0);
  for (i32 e = 0, n = nelem[i]; e < n; ++e) {
    const i32 first = ptr[e], end = ptr[e + 1];
    const i32 m = sub32(end, first);
    const std::ptrdiff_t t = target(e) + 1;
    rowptr[t] = add32(rowptr[t], m);
    if (own) {
      const i32 length = sub32(pptr[end], pptr[first]);
      counters[t] = add32(counters[t], add32(length, mul32(2, m)));
    } else if (flag) {
      counters[t] = add32(counters[t], m);
    }
  }
}

// Count pass of operand i of a weighted sum into a dense result: each
// element's terms go into the row pointer at off_rowptr, its program positions
// into the counters at off_counters.
void count_dense(bool flag, Vec<i32> codeptr, i32 i, Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> ptr_base,
                 Vec<i32> ri32, i32 off_rowptr, Vec<i32> wi32, i32 off_counters, Vec<i32> xi32) {
  count_operand(flag, codeptr, i, ncodeatom, nelem, ptr_base, Run(ri32, off_rowptr), wi32, Run(xi32, off_counters),
                DenseTarget{});
}
FRAG_KERNEL(524, "pOiOOOOiOiO", count_dense, "codeptr ncodeatom nelem ptr_base ri32 wi32 xi32");

// Count pass of sparse operand i of a weighted sum: each element's terms go
// into the row pointer at off_rowptr at its sparsity index, its program
// positions into the counters at off_counters.
void count_sparse(bool flag, Vec<i32> codeptr, i32 i, Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> ptr_base,
                  Vec<i32> ri32, i32 off_rowptr, Vec<i32> sp_base, Vec<i32> wi32, Vec<i64> wi64, i32 off_counters,
                  Vec<i32> xi32) {
  count_operand(flag, codeptr, i, ncodeatom, nelem, ptr_base, Run(ri32, off_rowptr), wi32, Run(xi32, off_counters),
                SparseTarget{Run(wi64, sp_base[i])});
}
FRAG_KERNEL(523, "pOiOOOOiOOOiO", count_sparse,
            "codeptr ncodeatom nelem ptr_base ri32 sp_base wi32 wi64 xi32");

// -------------------------------------------------------- dense fill pass

// Writes each operand element's terms at the cursor held in its target's
// row pointer entry (and program counter), then advances the cursors.
// The result's row pointer entries serve as the element cursors.
template <class Target>
void fill_operand(const Blocks& op, f64 w, i32 n, const Blocks& res, Run<i32> counters, Target target) {
  const Run<i32> rowptr = res.ptr;
  for (i32 e = 0; e < n; ++e) {
    const std::ptrdiff_t t = target(e);
    i32 r = rowptr[t];
    i32 c = res.programs ? counters[t] : 0;
    program::append_weighted(op, w, e, res, r, c);
    if (res.programs) counters[t] = c;
    rowptr[t] = add32(rowptr[t], sub32(op.ptr[e + 1], op.ptr[e]));
  }
}

// The result blocks on the R stack, in the kernels' argument order.
Blocks sum_result(bool flag, i32 off_pconst, i32 off_pwords, i32 off_pptr, i32 off_cof, Vec<f64> rf64,
                  Vec<i32> ri32, Vec<i64> ri64, i32 off_nidxs, i32 off_rowptr) {
  return stack::blocks_at(ri32, ri64, rf64, off_rowptr, off_nidxs, off_cof, off_pptr, off_pwords, off_pconst, flag);
}

// Fill pass of operand i of a weighted sum into a dense result: each element's
// terms, weighted by w[i], go to the result element of the same index, the
// row pointer entries (and program counters) serving as cursors.
void fill_dense(bool flag, Vec<i32> cconst, Vec<i32> code, Vec<i32> codeptr, Vec<i32> cof_base, i32 i,
                Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> nidxs_base, Vec<i32> ptr_base, i32 off_pconst,
                i32 off_pwords, i32 off_pptr, i32 off_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                i32 off_nidxs, i32 off_rowptr, Vec<f64> w, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64,
                i32 off_counters, Vec<i32> xi32) {
  const stack::OperandTable o{cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base, wf64, wi32, wi64};
  fill_operand(o.operand(i, flag), w[i], nelem[i],
               sum_result(flag, off_pconst, off_pwords, off_pptr, off_cof, rf64, ri32, ri64, off_nidxs, off_rowptr),
               Run(xi32, off_counters), DenseTarget{});
}
FRAG_KERNEL(528, "pOOOOiOOOOiiiiOOOiiOOOOiO", fill_dense,
            "cconst code codeptr cof_base ncodeatom nelem nidxs_base ptr_base rf64 ri32 ri64 w wf64 wi32 wi64 "
            "xi32");

// Fill pass of sparse operand i of a weighted sum: each element's terms,
// weighted by w[i], go to the result element at its sparsity index, the row
// pointer entries (and program counters) serving as cursors.
void fill_sparse(bool flag, Vec<i32> cconst, Vec<i32> code, Vec<i32> codeptr, Vec<i32> cof_base, i32 i,
                 Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> nidxs_base, Vec<i32> ptr_base, i32 off_pconst,
                 i32 off_pwords, i32 off_pptr, i32 off_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                 i32 off_nidxs, i32 off_rowptr, Vec<i32> sp_base, Vec<f64> w, Vec<f64> wf64, Vec<i32> wi32,
                 Vec<i64> wi64, i32 off_counters, Vec<i32> xi32) {
  const stack::OperandTable o{cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base, wf64, wi32, wi64};
  fill_operand(o.operand(i, flag), w[i], nelem[i],
               sum_result(flag, off_pconst, off_pwords, off_pptr, off_cof, rf64, ri32, ri64, off_nidxs, off_rowptr),
               Run(xi32, off_counters), SparseTarget{Run(wi64, sp_base[i])});
}
FRAG_KERNEL(527, "pOOOOiOOOOiiiiOOOiiOOOOOiO", fill_sparse,
            "cconst code codeptr cof_base ncodeatom nelem nidxs_base ptr_base rf64 ri32 ri64 sp_base w wf64 wi32 "
            "wi64 xi32");

// ------------------------------------------------------------ sparse sum

// The whole sum of k sparse operands in one merge: equal sparsity indices
// become one result element whose terms come operand by operand.
void sum_sparse(bool flag, Vec<i32> cconst, Vec<i32> code, Vec<i32> codeptr, Vec<i32> cof_base, i32 k,
                Vec<i32> ncodeatom, Vec<i32> nelem, Vec<i32> nidxs_base, Vec<i32> ptr_base, i32 off_pconst,
                i32 off_pwords, i32 off_pptr, i32 off_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
                i32 off_nidxs, i32 off_rowptr, i32 off_sp, Vec<i32> sp_base, Vec<f64> w, Vec<f64> wf64,
                Vec<i32> wi32, Vec<i64> wi64) {
  const stack::OperandTable o{cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base, wf64, wi32, wi64};
  const Blocks res =
      sum_result(flag, off_pconst, off_pwords, off_pptr, off_cof, rf64, ri32, ri64, off_nidxs, off_rowptr);
  const Run<i64> sp(ri64, off_sp);
  const WorkArray<i32> cursor(k);
  i32 e = 0, r = 0, c = 0;
  merge_keys(
      k, nelem, sp_base, wi64, cursor,
      [&](i32 i, i32 elem) { program::append_weighted(o.operand(i, flag), w[i], elem, res, r, c); },
      [&](i64 key) {
        res.ptr[add32(e, 1)] = r;
        sp[e] = key;
        e = add32(e, 1);
      });
}
FRAG_KERNEL(530, "pOOOOiOOOOiiiiOOOiiiOOOOO", sum_sparse,
            "cconst code codeptr cof_base ncodeatom nelem nidxs_base ptr_base rf64 ri32 ri64 sp_base w wf64 wi32 "
            "wi64");

// ------------------------------------------------------- scalar product

// d * E for one operand whose sizes are known: row pointer, sparsity and
// shape copied, coefficients scaled, every program followed by
// "push constant d, multiply".
void scale(f64 d, i32 op_pconst, i32 op_pwords, i32 op_pptr, i32 op_cof, bool sparse, i32 prog, i32 nd, i32 n,
           i32 op_nidxs, i32 m, i32 op_rowptr, i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof,
           Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64, i32 res_nidxs, i32 res_rowptr, i32 res_shape, i32 res_sp,
           i32 op_shape, i32 op_sp, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  {
    const Run<i32> dst(ri32, res_rowptr), src(wi32, op_rowptr);
    for (std::ptrdiff_t e = 0; e <= n; ++e) dst[e] = src[e];  // n + 1 entries
  }
  {
    const Run<i64> dv(ri64, res_nidxs), sv(wi64, op_nidxs);
    const Run<f64> dc(rf64, res_cof), sc(wf64, op_cof);
    for (i32 t = 0; t < m; ++t) {
      dv[t] = sv[t];
      dc[t] = sc[t] * d;
    }
  }
  if (sparse && n > 0) {
    const Run<i64> dst(ri64, res_sp), src(wi64, op_sp);
    for (i32 e = 0; e < n; ++e) dst[e] = src[e];
  }
  if (nd > 0) {
    const Run<i32> dst(ri32, res_shape), src(wi32, op_shape);
    for (i32 a = 0; a < nd; ++a) dst[a] = src[a];
  }
  if (stack::has_programs(prog)) {
    const Run<i32> spp(wi32, op_pptr), sw(wi32, op_pwords), dpp(ri32, res_pptr), dw(ri32, res_pwords);
    const Run<f64> sc(wf64, op_pconst), dc(rf64, res_pconst);
    dpp[0] = 0;
    i32 c = 0;
    for (i32 t = 0; t < m; ++t) {
      c = program::append_scaled(sw, sc, spp[t], spp[t + 1], d, dw, dc, c);
      dpp[t + 1] = c;
    }
  }
}
FRAG_KERNEL(470, "diiiipiiiiiiiiiiOOOiiiiiiOOO", scale, "rf64 ri32 ri64 wf64 wi32 wi64");

}  // namespace
}  // namespace frag
