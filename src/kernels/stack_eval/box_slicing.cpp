// Box slicing of stacked expressions: along every axis k the result keeps the
// coordinates first[k] .. last[k] - 1 of the operand. The host computes the
// operand and result strides, copies the result shape, sizes the result with
// the counting pass and then copies the selected elements. Dense operands give
// dense results in row-major order without sorting; sparse operands keep
// their stored order, so the result's sparsity indices stay ascending.
#include "kernels/stack_eval/programs.hpp"
#include "kernels/extents.hpp"

namespace frag {
namespace {

using stack::Run;

// ---------------------------------------------------------------- strides

// Row-major strides from extents; stride[n - 1] is the caller's (1).
void strides_from(Run<i32> extent, Vec<i64> stride, i32 n) { extents::rowmajor_strides(extent, stride, n); }

// Row-major strides of the operand's n extents at w_shape on the W stack into
// st; st[n - 1] is the caller's.
void operand_strides(i32 n, i32 w_shape, Vec<i64> st, Vec<i32> wi32) {
  strides_from(Run(wi32, w_shape), st, n);
}
FRAG_KERNEL(419, "iiOO", operand_strides, "st wi32");

// Row-major strides of the n extents of rshape into rst; rst[n - 1] is the
// caller's.
void result_strides(i32 n, Vec<i32> rshape, Vec<i64> rst) { strides_from(Run(rshape, 0), rst, n); }
FRAG_KERNEL(422, "iOO", result_strides, "rshape rst");

// Copies the n extents of rshape onto the R stack at dst.
void result_shape_to_r(i32 n, Vec<i32> ri32, Vec<i32> rshape, i32 dst) {
  Run<i32> out(ri32, dst);
  for (i32 k = 0; k < n; ++k) out[k] = rshape[k];
}
FRAG_KERNEL(421, "iOOi", result_shape_to_r, "ri32 rshape");

// ------------------------------------------------------------- membership

// The box and the operand geometry: coordinate k of linear index u is
// (u / st[k]) mod extent[k]; it is kept when first[k] <= c < last[k].
struct Box {
  Vec<i32> first, last;
  Vec<i64> st;
  Run<i32> extent;
  i32 nd;

  i32 coord(i64 u, i32 k) const { return static_cast<i32>(irem(idiv(u, st[k]), static_cast<i64>(extent[k]))); }
  bool inside(i32 c, i32 k) const { return first[k] <= c && c < last[k]; }
  bool contains(i64 u) const {
    for (i32 k = 0; k < nd; ++k)
      if (!inside(coord(u, k), k)) return false;
    return true;
  }
};

// ------------------------------------------------------------------ count

// Sizes the slice: elements (a product of range lengths for a dense operand,
// a count of stored elements inside the box for a sparse one), terms and
// program positions of the selected elements, added to the running counts.
std::tuple<i32, i32, i32> count_slice(i32 w_codeptr, Vec<i32> first, bool sparse, Vec<i32> last,
                                      i32 program_flag, i32 nd, i32 n, i32 w_ptr, i32 P, i32 E,
                                      i32 T, i32 w_shape, i32 w_sp, Vec<i64> st, Vec<i32> wi32,
                                      Vec<i64> wi64) {
  const Box box{first, last, st, Run(wi32, w_shape), nd};
  const bool programs = stack::has_programs(program_flag);
  const Run<i32> ptr(wi32, w_ptr), codeptr(wi32, w_codeptr);
  const Run<i64> sp(wi64, w_sp);

  if (!sparse) {
    E = 1;
    for (i32 k = 0; k < nd; ++k) E = mul32(E, sub32(last[k], first[k]));
  }
  for (i32 e = 0; e < n; ++e) {
    if (!box.contains(sparse ? sp[e] : i64{e})) continue;
    if (sparse) E = add32(E, 1);
    stack::add_element_size(ptr, codeptr, programs, e, T, P);
  }
  return {P, E, T};
}
FRAG_KERNEL(420, "iOpOiiiiiiiiiOOO", count_slice, "first last st wi32 wi64");

// ------------------------------------------------------------------- copy

// Copies the selected elements with their terms and programs to the R stack,
// continuing the running counts P (program positions), E (elements) and
// T (terms). Entry 0 of the result row pointer and program pointer is the
// caller's.
std::tuple<i32, i32, i32> copy_slice(
    i32 w_cconst, i32 w_code, i32 P, i32 w_codeptr, i32 w_cof, Vec<i32> first, bool sparse,
    i32 E, i32 T, Vec<i32> last, i32 nd, i32 n, i32 w_nidxs, i32 w_ptr, i32 r_cconst,
    i32 r_code, i32 r_codeptr, i32 r_cof, Vec<f64> rf64, Vec<i32> ri32, Vec<i64> ri64,
    i32 program_flag, i32 r_nidxs, i32 r_ptr, i32 r_sp, Vec<i64> rst, i32 w_shape, i32 w_sp,
    Vec<i64> st, Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64) {
  const Box box{first, last, st, Run(wi32, w_shape), nd};
  const bool programs = stack::has_programs(program_flag);
  // Terms of a selected operand element (W stack), in order, each with its
  // program, go to the end of the result's term blocks (R stack).
  const stack::Blocks src =
      stack::blocks_at(wi32, wi64, wf64, w_ptr, w_nidxs, w_cof, w_codeptr, w_code, w_cconst, programs);
  const stack::Blocks dst =
      stack::blocks_at(ri32, ri64, rf64, r_ptr, r_nidxs, r_cof, r_codeptr, r_code, r_cconst, programs);
  auto append_element = [&](i32 e) { program::copy_terms<program::NoProgram::kNothing>(src, e, dst, T, P); };
  const Run<i64> r_spx(ri64, r_sp);

  if (!sparse) {
    for (i32 u = 0; u < n; ++u) {
      if (!box.contains(u)) continue;
      append_element(u);
      dst.ptr[add32(E, 1)] = T;
      E = add32(E, 1);
    }
    return {P, E, T};
  }

  // Sparse: the coordinates of a stored element, once inside the box, give
  // its index in the result shape.
  Run<i64> sp(wi64, w_sp);
  WorkArray<i32> c(nd);
  for (i32 e = 0; e < n; ++e) {
    const i64 u = sp[e];
    bool selected = true;
    for (i32 k = 0; k < nd && selected; ++k) {
      c[k] = box.coord(u, k);
      selected = box.inside(c[k], k);
    }
    if (!selected) continue;
    i64 v = 0;
    for (i32 k = 0; k < nd; ++k)
      v = add64(v, mul64(sub64(c[k], first[k]), rst[k]));
    append_element(e);
    r_spx[E] = v;
    dst.ptr[add32(E, 1)] = T;
    E = add32(E, 1);
  }
  return {P, E, T};
}
FRAG_KERNEL(423, "iiiiiOpiiOiiiiiiiiOOOiiiiOiiOOOO", copy_slice,
            "first last rf64 ri32 ri64 rst st wf64 wi32 wi64");

}  // namespace
}  // namespace frag
