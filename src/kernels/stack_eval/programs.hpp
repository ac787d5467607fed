// Coefficient programs: the instruction format, the evaluator and the small
// pieces that every kernel carrying programs shares.
//
// A program is a run of positions in two parallel runs, the words (int32
// opcodes) and the constants (float64 operands). It is not terminated: its
// extent always comes from a program pointer or a size. The evaluator runs a
// program on a value stack that lives on the X stack's float64 array.
//
//   1 push parameter  push param_value[trunc(operand)]
//   2 push constant   push operand
//   3 add             second := top + second; pop
//   4 negate          top := -top (sign flip: 0.0 becomes -0.0)
//   5 multiply        second := top * second; pop
//   6 reciprocal      top := 1.0 / top
//   7 no-op
//   8 sum             pop trunc(operand) values, push their sum (0.0 for <= 0)
// Every other word (0, negatives, 9, 10, ...) is skipped.
#pragma once

#include <cstddef>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kernels/stack_eval/stack_layout.hpp"

namespace frag::program {

using stack::Opcode;

// Operand of push-parameter and sum, truncated toward zero to 32 bits. An
// operand outside the 32-bit range (or NaN) gives the most negative value, as
// the processor's conversion does; the host never produces one.
inline i32 trunc_operand(f64 x) FRAG_NOEXCEPT {
#if defined(__SSE2__)
  return _mm_cvttsd_si32(_mm_set_sd(x));  // the processor's conversion itself
#else
  if (x > -2147483649.0 && x < 2147483648.0) return static_cast<i32>(x);
  return std::numeric_limits<i32>::min();
#endif
}

// The value stack: `depth` values at xf64[base] .. xf64[base + depth - 1].
struct ValueStack {
  Vec<f64> xf64;
  std::ptrdiff_t base;
  i32 depth;

  f64 bottom() const FRAG_NOEXCEPT { return xf64[base]; }
};

// Runs the n instructions at positions first .. first + n - 1 of (words,
// consts) on the value stack. Words and Consts are any indexable runs (a Vec
// or a stack::Run). Nothing is checked: the program must not pop more values
// than it pushed, and parameter indices must lie inside param_value.
template <class Words, class Consts>
inline void run(const Words& words, const Consts& consts, std::ptrdiff_t first, i32 n,
                Vec<f64> param_value, ValueStack& vs) FRAG_NOEXCEPT {
  Vec<f64> x = vs.xf64;
  const std::ptrdiff_t b = vs.base;
  std::ptrdiff_t d = vs.depth;
  const std::ptrdiff_t end = first + n;
  for (std::ptrdiff_t p = first; p < end; ++p) {
    switch (words[p]) {
      case stack::kPushParam:
        x[b + d] = param_value[trunc_operand(consts[p])];
        ++d;
        break;
      case stack::kPushConst:
        x[b + d] = consts[p];
        ++d;
        break;
      case stack::kAdd:
        x[b + d - 2] = x[b + d - 1] + x[b + d - 2];
        --d;
        break;
      case stack::kNegate:
        x[b + d - 1] = -x[b + d - 1];
        break;
      case stack::kMultiply:
        x[b + d - 2] = x[b + d - 1] * x[b + d - 2];
        --d;
        break;
      case stack::kReciprocal:
        x[b + d - 1] = 1.0 / x[b + d - 1];
        break;
      case stack::kSum: {
        // From the top downward, one value at a time.
        const i32 k = trunc_operand(consts[p]);
        f64 s = 0.0;
        for (i32 q = 1; q <= k; ++q) s += x[b + d - q];
        if (k > 0) d -= k;
        x[b + d] = s;
        ++d;
        break;
      }
      default:  // 7 and every word outside 1 .. 8
        break;
    }
  }
  vs.depth = static_cast<i32>(d);
}

// Runs the stored programs of the parameter table one row at a time and
// hands each entry's value, what run() leaves at the bottom of the value
// stack, to the caller in entry order. The shapes the host stores most
// ("parameter", "parameter times constant", "constant times parameter") are
// recognised on an empty stack and computed directly with the same operation
// in the same order (a product is top * second), so every value is bitwise
// run()'s; a row of them is one tight loop without a call into the
// interpreter. Their value stack slots are not written per entry: the slots
// the last such program would have left are written when a general program
// runs next (which never reads a slot above its own depth) and by finish(),
// so the value stack ends as run() leaves it.
class StoredRunner {
 public:
  StoredRunner(Vec<f64> param_value, Vec<f64> xf64, std::ptrdiff_t base, i32 depth)
      : param_value_(param_value), xf64_(xf64), base_(base), depth_(depth) {}

  // Runs entries jb .. je - 1 of a row whose programs follow one another
  // from position pos (entry j has sizes[j] positions; none when <= 0) and
  // calls emit(j, value) for each in order (j as a full-width index). After
  // any entry the depth is 0.
  template <class Words, class Consts, class Sizes, class Emit>
  [[gnu::always_inline]] void row(const Words& words, const Consts& consts, const Sizes& sizes, i32 jb, i32 je,
                                  i32 pos, Emit&& emit) FRAG_NOEXCEPT {
    i32 j = jb;
    if (j < je && depth_ != 0) {
      // Only the call's first entry can find values on the stack.
      const i32 n = sizes[j];
      const f64 v = general(words, consts, pos, n);
      if (n > 0) pos = add32(pos, n);
      emit(j, v);
      depth_ = 0;
      ++j;
    }
    // The deferred slots live in locals for the loop.
    f64 s0 = slot0_, s1 = slot1_;
    bool d0 = dirty0_, d1 = dirty1_;
    // A run of entries of one directly computed shape is one tight loop.
    // Its entry and position indices are full width: a run never takes them
    // past what the arrays hold, where the 32-bit ones would wrap.
    std::ptrdiff_t k = j, p = pos;
    const std::ptrdiff_t ke = je;
    auto product_follows = [&](i32 w0, i32 w1) {
      return k < ke && sizes[k] == 3 && words[p] == w0 && words[p + 1] == w1 && words[p + 2] == stack::kMultiply;
    };
    // A run of "push a, push b, multiply" with one of a, b a parameter and
    // the other a constant (the parameter first when ParamFirst): top *
    // second, the value pushed second left in slot 1.
    auto product_run = [&]<bool ParamFirst>() {
      constexpr i32 w0 = ParamFirst ? stack::kPushParam : stack::kPushConst;
      constexpr i32 w1 = ParamFirst ? stack::kPushConst : stack::kPushParam;
      auto operand = [&](std::ptrdiff_t at, bool param) {
        return param ? param_value_[trunc_operand(consts[at])] : consts[at];
      };
      f64 v, top;
      do {
        top = operand(p + 1, !ParamFirst);
        v = top * operand(p, ParamFirst);
        emit(k, v);
        p += 3;
        ++k;
      } while (product_follows(w0, w1));
      s0 = v;
      s1 = top;
      d0 = d1 = true;
    };
    while (k < ke) {
      const i32 n = sizes[k];
      if (n == 3 && product_follows(stack::kPushParam, stack::kPushConst)) {
        product_run.template operator()<true>();
      } else if (n == 3 && product_follows(stack::kPushConst, stack::kPushParam)) {
        product_run.template operator()<false>();
      } else if (n == 1 && words[p] == stack::kPushParam) {
        f64 v;
        do {
          v = param_value_[trunc_operand(consts[p])];
          emit(k, v);
          ++p;
          ++k;
        } while (k < ke && sizes[k] == 1 && words[p] == stack::kPushParam);
        s0 = v;
        d0 = true;
      } else {
        // Any other program through the interpreter loop, from an empty
        // stack, on the slots the deferred ones would have been.
        if (d0) xf64_[base_] = s0;
        if (d1) xf64_[base_ + 1] = s1;
        d0 = d1 = false;
        ValueStack vs{xf64_, base_, 0};
        if (n > 0) {
          run(words, consts, p, n, param_value_, vs);
          p += n;
        }
        emit(k, vs.bottom());
        ++k;
      }
    }
    slot0_ = s0;
    slot1_ = s1;
    dirty0_ = d0;
    dirty1_ = d1;
    depth_ = 0;
  }

  i32 depth() const FRAG_NOEXCEPT { return depth_; }

  // Writes the value stack slots still deferred.
  void finish() FRAG_NOEXCEPT {
    if (dirty0_) xf64_[base_] = slot0_;
    if (dirty1_) xf64_[base_ + 1] = slot1_;
    dirty0_ = dirty1_ = false;
  }

 private:
  // Any program through the interpreter loop, on the stack as it stands
  // (deferred slots written first); the value is the bottom slot.
  template <class Words, class Consts>
  f64 general(const Words& words, const Consts& consts, std::ptrdiff_t first, i32 n) FRAG_NOEXCEPT {
    finish();
    ValueStack vs{xf64_, base_, depth_};
    if (n > 0) run(words, consts, first, n, param_value_, vs);
    depth_ = vs.depth;
    return vs.bottom();
  }

  Vec<f64> param_value_, xf64_;
  std::ptrdiff_t base_;
  i32 depth_;
  f64 slot0_ = 0.0, slot1_ = 0.0;
  bool dirty0_ = false, dirty1_ = false;
};

// Whether the program of term t, positions ptr[t] .. ptr[t + 1] - 1, is
// constant (one position, word 2 or 10). The word is read only for a program
// of length 1, so a program of length 0 at the end of the words is safe.
template <class Ptr, class Words>
inline bool term_is_constant(const Ptr& ptr, const Words& words, i32 t) FRAG_NOEXCEPT {
  const i32 s = ptr[t];
  return sub32(ptr[t + 1], s) == 1 && stack::is_constant_program(1, words[s]);
}

// Copies the source program positions s .. e - 1 of (sw, sc) to position c
// of a result program (dw, dc); returns the next position.
template <class SW, class SC, class DW, class DC>
inline i32 copy_positions(const SW& sw, const SC& sc, i32 s, i32 e, const DW& dw, const DC& dc, i32 c) FRAG_NOEXCEPT {
  for (i32 p = s; p < e; ++p, c = add32(c, 1)) {
    dw[c] = sw[p];
    dc[c] = sc[p];
  }
  return c;
}

// Appends the one-instruction program "push constant 0.0" at position c of a
// result program; returns the next position.
template <class DW, class DC>
inline i32 append_zero(const DW& dw, const DC& dc, i32 c) FRAG_NOEXCEPT {
  dw[c] = stack::kPushConst;
  dc[c] = 0.0;
  return add32(c, 1);
}

// Appends a copy of the source positions s .. e - 1 followed by "push
// constant w, multiply" at position c of a result program; the constant slot
// of the multiply is left as it is. Returns the next position.
template <class SW, class SC, class DW, class DC>
inline i32 append_scaled(const SW& sw, const SC& sc, i32 s, i32 e, f64 w, const DW& dw, const DC& dc,
                         i32 c) FRAG_NOEXCEPT {
  c = copy_positions(sw, sc, s, e, dw, dc, c);
  dw[c] = stack::kPushConst;
  dc[c] = w;
  dw[c + 1] = stack::kMultiply;
  return c + 2;
}

// What a term copy gives the terms of a source without programs.
enum class NoProgram {
  kNothing,   // no program: the result carries programs only when the source does
  kPushZero,  // "push constant 0.0" when the result carries programs
};

// Whether a source's programs are copied into a result that has no program
// blocks.
enum class Unflagged {
  kDrop,  // no: a result without programs gets none, its program runs are not touched
  kCopy,  // yes: the source brings its programs whatever the result's flag
};

// Copies the terms of source element e in order, each with its program, to
// the end of the result's term blocks. T and P are the result's running term
// and program-position counts; every term that gets a program sets entry
// T + 1 of the result program pointer. With kDrop (the rule for every copy
// whose result flag says what the result carries) a result without programs
// gets only variable indices and coefficients, even when the source has
// programs. Entry 0 of the result pointers and the row pointer entry after
// the element are the caller's.
template <NoProgram Missing, Unflagged Source = Unflagged::kDrop>
inline void copy_terms(const stack::Blocks& src, std::ptrdiff_t e, const stack::Blocks& dst, i32& T,
                       i32& P) FRAG_NOEXCEPT {
  const bool copy = src.programs && (dst.programs || Source == Unflagged::kCopy);
  const bool zero = !src.programs && Missing == NoProgram::kPushZero && dst.programs;
  const i32 end = src.ptr[e + 1];
  for (i32 j = src.ptr[e]; j < end; ++j) {
    dst.nidxs[T] = src.nidxs[j];
    dst.cof[T] = src.cof[j];
    if (copy) {
      P = copy_positions(src.words, src.consts, src.pptr[j], src.pptr[j + 1], dst.words, dst.consts, P);
      dst.pptr[add32(T, 1)] = P;
    } else if (zero) {
      P = append_zero(dst.words, dst.consts, P);
      dst.pptr[add32(T, 1)] = P;
    }
    T = add32(T, 1);
  }
}

// Appends the terms of operand element e, weight w, to the result blocks at
// term cursor r and program cursor c, advancing both. Unlike a plain term
// copy, every coefficient is multiplied by the weight and, in a result with
// programs, every program is followed by "push constant w, multiply" (an
// operand without programs gives "push constant 0.0").
inline void append_weighted(const stack::Blocks& op, f64 w, std::ptrdiff_t e, const stack::Blocks& res, i32& r,
                            i32& c) FRAG_NOEXCEPT {
  for (i32 j = op.ptr[e], end = op.ptr[e + 1]; j < end; ++j) {
    res.nidxs[r] = op.nidxs[j];
    res.cof[r] = w * op.cof[j];
    if (res.programs) {
      c = op.programs ? append_scaled(op.words, op.consts, op.pptr[j], op.pptr[j + 1], w, res.words, res.consts, c)
                      : append_zero(res.words, res.consts, c);
      res.pptr[add32(r, 1)] = c;
    }
    r = add32(r, 1);
  }
}

}  // namespace frag::program
