// Simplification of coefficient programs. Each program is read once into an
// expression tree on the X stack, folding constant subexpressions as the
// nodes are made (constant operands, x + 0, x * 0, x * 1, constants of a
// sum gathered into one). A program that folds to one constant adds it to
// its fixed term and becomes the marker program (10, 0.0); any other is
// emitted in postfix order from the tree, followed by "push the fixed term,
// add" when the fixed term is not zero (which is then cleared). The first
// program that cannot be read stops the work and leaves its position in the
// error indicator.
//
// Node types: 1 parameter, 2 constant, 3 sum of two, 4 negation, 5 product
// of two, 6 reciprocal, 8 sum of n (constant n); their opcodes are the same.
// Node constants of negations and reciprocals, and the constant of the add
// that closes a fixed term, are written as 0.0: no evaluator reads them.
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

constexpr i32 kUnset = -9999;

struct Tree {
  Run<i32> type, cptr, clist, stack;
  Run<f64> value;
  i32 N = 0, D = 0;

  bool is_const(i32 x) const FRAG_NOEXCEPT { return type[x] == stack::kPushConst; }
  bool is(i32 x, f64 v) const FRAG_NOEXCEPT { return is_const(x) && value[x] == v; }
  i32 pop() FRAG_NOEXCEPT { return stack[D = sub32(D, 1)]; }
  void push(i32 x) FRAG_NOEXCEPT {
    stack[D] = x;
    D = add32(D, 1);
  }
  // A new node with its children, pushed.
  template <class... C>
  void make(i32 t, f64 v, C... children) FRAG_NOEXCEPT {
    const i32 at = cptr[N];
    i32 k = 0;
    ((clist[at + k++] = children), ...);
    node_done(t, v, k);
  }
  void node_done(i32 t, f64 v, i32 nchildren) FRAG_NOEXCEPT {
    type[N] = t;
    value[N] = v;
    cptr[N + 1] = add32(cptr[N], nchildren);
    push(N);
    N = add32(N, 1);
  }
  // An alias rule keeps node x and uses up one node number (with `advance`
  // child slots that are not written).
  void alias(i32 x, i32 advance) FRAG_NOEXCEPT {
    cptr[N + 1] = add32(cptr[N], advance);
    N = add32(N, 1);
    push(x);
  }
};

// A sum of n >= 2 nodes off the stack: constants moved to the front and
// folded into one when there are at least two of them.
void sum_nodes(Tree& tr, i32 n) {
  WorkArray<i32> list(n);
  for (i32 k = 0; k < n; ++k) list[k] = tr.pop();  // top first
  i32 i = 0, j = n - 1;
  while (i < j) {
    bool stop = false;
    while (tr.is_const(list[i])) {
      if (++i >= j) {
        stop = true;
        break;
      }
    }
    if (stop) break;
    i32 jj = j;
    while (jj > i && !tr.is_const(list[jj])) --jj;
    if (jj > i) {
      std::swap(list[i], list[jj]);
      ++i;
      j = jj - 1;
    } else {
      j = jj;
    }
  }
  i32 k = 0;
  f64 s = 0.0;
  while (k < n && tr.is_const(list[k])) s += tr.value[list[k++]];
  if (k >= 2) {
    tr.make(stack::kPushConst, s);
    if (k == n) return;
    const i32 folded = tr.pop();
    const i32 at2 = tr.cptr[tr.N];
    tr.clist[at2] = folded;
    for (i32 q = k; q < n; ++q) tr.clist[at2 + 1 + q - k] = list[q];
    tr.node_done(stack::kSum, static_cast<f64>(n - k + 1), n - k + 1);
  } else {
    const i32 at = tr.cptr[tr.N];
    for (i32 q = 0; q < n; ++q) tr.clist[at + q] = list[q];
    tr.node_done(stack::kSum, static_cast<f64>(n), n);
  }
}

// Reads one instruction into the tree; false when it cannot be read.
bool read_instruction(Tree& tr, i32 k, f64 c) {
  switch (k) {
    case 0:
      return true;
    case stack::kPushParam:
    case stack::kPushConst:
      tr.make(k, c);
      return true;
    case stack::kAdd: {
      if (tr.D < 2) return false;
      const i32 b = tr.pop(), a = tr.pop();
      if (tr.is_const(a) && tr.is_const(b))
        tr.make(stack::kPushConst, tr.value[a] + tr.value[b]);
      else if (tr.is(a, 0.0) && !tr.is_const(b))
        tr.alias(b, 0);
      else if (tr.is(b, 0.0) && !tr.is_const(a))
        tr.alias(a, 0);
      else
        tr.make(stack::kAdd, c, a, b);
      return true;
    }
    case stack::kNegate:
    case stack::kReciprocal: {
      if (tr.D < 1) return false;
      const i32 x = tr.pop();
      if (tr.is_const(x))
        tr.make(stack::kPushConst, k == stack::kNegate ? -tr.value[x] : 1.0 / tr.value[x]);
      else
        tr.make(k, 0.0, x);
      return true;
    }
    case stack::kMultiply: {
      if (tr.D < 2) return false;
      const i32 b = tr.pop(), a = tr.pop();
      if (tr.is_const(a) && tr.is_const(b))
        tr.make(stack::kPushConst, tr.value[a] * tr.value[b]);
      else if (tr.is(a, 0.0) || tr.is(b, 0.0))
        tr.make(stack::kPushConst, 0.0);
      else if (tr.is(b, 1.0))
        tr.alias(a, 1);
      else if (tr.is(a, 1.0))
        tr.alias(b, 1);
      else
        tr.make(stack::kMultiply, c, a, b);
      return true;
    }
    case stack::kSum: {
      const i32 n = program::trunc_operand(c);
      if (n < 0 || tr.D < n) return false;
      if (n == 0)
        tr.make(stack::kPushConst, 0.0);
      else if (n >= 2)
        sum_nodes(tr, n);
      // A sum of one value is that value: the stack stays as it is.
      return true;
    }
    default:
      return false;
  }
}

// Simplifies nprog coefficient programs, folding constant subexpressions into
// the fixed terms and emitting the rest in postfix order from O; returns the
// final (O, error, D, N), error being the position of the first program that
// cannot be read, or negative.
std::tuple<i32, i32, i32, i32> simplify(i32 off_clist, i32 off_cptr, Vec<i32> code, i32 off_code,
                                        Vec<f64> code_consts, i32 off_consts, i32 O, i32 error, Vec<f64> fixterm,
                                        i32 off_fix, i32 nprog, Vec<i32> ptr, i32 off_ptr, i32 off_stack, i32 D,
                                        Vec<i32> target_code, i32 off_tcode, Vec<f64> target_const,
                                        i32 off_tconst, Vec<i32> target_ptr, i32 off_tptr, i32 off_value,
                                        i32 off_type, i32 N, Vec<f64> xf64, Vec<i32> xi32) {
  Tree tr{Run(xi32, off_type), Run(xi32, off_cptr), Run(xi32, off_clist), Run(xi32, off_stack),
          Run(xf64, off_value), N, D};
  const Run<i32> words(code, off_code), tcode(target_code, off_tcode), tptr(target_ptr, off_tptr),
      pp(ptr, off_ptr);
  const Run<f64> consts(code_consts, off_consts), tconst(target_const, off_tconst), fix(fixterm, off_fix);
  for (i32 r = 0; r < nprog && error < 0; ++r) {
    const i32 first = pp[r], end = pp[r + 1];
    tr.D = 0;
    tr.N = 0;
    tr.cptr[0] = 0;
    for (i32 q = 0; q < sub32(end, first); ++q) tr.type[q] = kUnset;
    for (i32 q = first; q < end; ++q)
      if (!read_instruction(tr, words[q], consts[q])) error = q;
    if (error < 0 && tr.D != 1) error = tr.N;
    if (error >= 0) break;
    const i32 root = tr.stack[0];
    const f64 f = fix[r];
    if (tr.is_const(root)) {
      fix[r] = f + tr.value[root];
      tcode[O] = stack::kFolded;
      tconst[O] = 0.0;
      O = add32(O, 1);
    } else {
      const i32 O0 = O;
      auto emit = [&](i32 w, f64 v) {
        tcode[O] = w;
        tconst[O] = v;
        O = add32(O, 1);
      };
      if (f < 0.0 || f > 0.0) {
        emit(stack::kAdd, 0.0);
        emit(stack::kPushConst, f);
        fix[r] = 0.0;
      }
      while (tr.D > 0) {
        const i32 x = tr.pop();
        emit(tr.type[x], tr.value[x]);
        for (i32 k = tr.cptr[x], ke = tr.cptr[x + 1]; k < ke; ++k) tr.push(tr.clist[k]);
      }
      for (i32 a = O0, b = sub32(O, 1); a < b; ++a, --b) {
        std::swap(tcode[a], tcode[b]);
        std::swap(tconst[a], tconst[b]);
      }
    }
    tptr[r + 1] = O;
  }
  return {O, error, tr.D, tr.N};
}
FRAG_KERNEL(386, "iiOiOiiiOiiOiiiOiOiOiiiiOO", simplify,
            "code code_consts fixterm ptr target_code target_const target_ptr xf64 xi32");

}  // namespace
}  // namespace frag
