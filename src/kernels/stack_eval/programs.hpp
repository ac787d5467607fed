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

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// into + x and into * x formed in into's register: when both are NaN, the
// processor keeps the NaN of that operand (quieted), so the operand order
// decides the value. The evaluator forms a sum or a product in the slot it
// goes to (second := top + second in second, a sum of values in the running
// sum); pinned here, since a compiler may put either operand of a
// commutative operation first. T is f64 or a pair of them (the low lane
// used alone).
template <class T>
[[gnu::always_inline]] inline T add_into(T into, T x) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
  if constexpr (sizeof(T) == sizeof(f64))
    asm("addsd %1, %0" : "+x"(into) : "xm"(x));
  else
    asm("addpd %1, %0" : "+x"(into) : "x"(x));
  return into;
#else
  return x + into;
#endif
}
template <class T>
[[gnu::always_inline]] inline T multiply_into(T into, T x) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
  if constexpr (sizeof(T) == sizeof(f64))
    asm("mulsd %1, %0" : "+x"(into) : "xm"(x));
  else
    asm("mulpd %1, %0" : "+x"(into) : "x"(x));
  return into;
#else
  return x * into;
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
        x[b + d - 2] = add_into(x[b + d - 2], x[b + d - 1]);
        --d;
        break;
      case stack::kNegate:
        x[b + d - 1] = -x[b + d - 1];
        break;
      case stack::kMultiply:
        x[b + d - 2] = multiply_into(x[b + d - 2], x[b + d - 1]);
        --d;
        break;
      case stack::kReciprocal:
        x[b + d - 1] = 1.0 / x[b + d - 1];
        break;
      case stack::kSum: {
        // From the top downward, one value at a time.
        const i32 k = trunc_operand(consts[p]);
        f64 s = 0.0;
        for (i32 q = 1; q <= k; ++q) s = add_into(s, x[b + d - q]);
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

// The program shapes that StoredRunner computes directly:
//
//   push a, [push b, add or multiply,] [one or two of negate, reciprocal]
//
// a and b each a parameter or a constant, at most one reciprocal, at most
// kMaxShape positions: "p", "c", "p * c", "c * p", "p + p", "p + c", "-p",
// "1 / p", "-(1 / (p * c))" and their kin, 60 shapes. A program's key packs
// its length and words; one multiplicative hash of the key finds the only
// shape it can be, and one comparison of keys tells whether it is. A shape is
// then computed by one sequence of operations whatever it is: both operands
// are loaded, sum, product and reciprocal are all computed, and the shape's
// masks pick, bit for bit, what run() would have computed, so that a row of
// mixed shapes costs no branch per program that depends on its shape.
namespace shape {

inline constexpr int kMaxShape = 5;

// The key of a program of n positions: word q, clamped to 0 .. 255, in byte
// q for q < min(n, 5), and min(n, 7) (as unsigned) in bits 40 .. 42. The
// clamp keeps every word of 1 .. 8 as it is and maps every other word off
// them, so a key equals a shape's key exactly when the program is that shape.
constexpr std::uint32_t clamped(i32 w) noexcept { return w < 0 ? 0u : w > 255 ? 255u : static_cast<std::uint32_t>(w); }

constexpr std::uint64_t key_of(const i32* w, int n) noexcept {
  std::uint64_t k = std::uint64_t(n) << 40;
  for (int q = 0; q < n; ++q) k |= std::uint64_t{clamped(w[q])} << (8 * q);
  return k;
}

// Pairs of float64 and of their bits; a shape works in the low lane.
using F2 = double __attribute__((vector_size(16)));
using U2 = std::uint64_t __attribute__((vector_size(16)));

// What a shape does, as masks on the low lane (128 bytes): its value is
//   a & ~keep_b | product & (b * a) | sum & (b + a),
// then xor negate_first, then the reciprocal where `reciprocal` is all ones,
// then xor negate_last (the sign flip negate does). keep_b is all ones when
// the shape pushes b (which it leaves in slot 1) and combines it with a. An
// operand is its parameter where param_a (param_b) is all ones, else its
// constant.
struct alignas(16) Shape {
  U2 product, sum, negate_first, reciprocal, negate_last, keep_b, param_a, param_b;
};

inline constexpr int kShapes = 60;
inline constexpr int kSlotBits = 9;
// A slot holds a shape's key in bits 8 .. 50 and its index below them; an
// empty one holds what no key gives.
inline constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

struct Catalogue {
  Shape shapes[kShapes];
  std::uint64_t slots[std::size_t{1} << kSlotBits];
  std::uint64_t multiplier;

  constexpr std::size_t slot_of(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * multiplier) >> (64 - kSlotBits));
  }
};

constexpr Catalogue make_catalogue() noexcept {
  Catalogue c{};
  std::uint64_t keys[kShapes] = {};
  constexpr std::uint64_t ones = ~std::uint64_t{0}, sign = std::uint64_t{1} << 63;
  auto lane = [](bool on, std::uint64_t m) { return U2{on ? m : 0, 0}; };
  // The tails after the value of a (or of the binary operation).
  struct Tail {
    int n;
    i32 w[2];
    bool negate_first, reciprocal, negate_last;
  };
  constexpr Tail tails[] = {{0, {0, 0}, false, false, false},
                            {1, {stack::kNegate, 0}, false, false, true},
                            {1, {stack::kReciprocal, 0}, false, true, false},
                            {2, {stack::kNegate, stack::kNegate}, true, false, true},
                            {2, {stack::kNegate, stack::kReciprocal}, true, true, false},
                            {2, {stack::kReciprocal, stack::kNegate}, false, true, true}};
  // The heads: a alone, or a, b and the operation.
  struct Head {
    int n;
    i32 w[3];
  };
  constexpr i32 P = stack::kPushParam, C = stack::kPushConst, A = stack::kAdd, M = stack::kMultiply;
  constexpr Head heads[] = {{1, {P, 0, 0}}, {1, {C, 0, 0}}, {3, {P, P, A}}, {3, {P, P, M}}, {3, {P, C, A}},
                            {3, {P, C, M}}, {3, {C, P, A}}, {3, {C, P, M}}, {3, {C, C, A}}, {3, {C, C, M}}};
  int s = 0;
  for (const Head& h : heads) {
    for (const Tail& t : tails) {
      i32 w[kMaxShape] = {};
      int n = 0;
      for (int q = 0; q < h.n; ++q) w[n++] = h.w[q];
      for (int q = 0; q < t.n; ++q) w[n++] = t.w[q];
      const bool two = h.n == 3;
      Shape& d = c.shapes[s];
      d.product = lane(two && h.w[2] == M, ones);
      d.sum = lane(two && h.w[2] == A, ones);
      d.negate_first = lane(t.negate_first, sign);
      d.reciprocal = lane(t.reciprocal, ones);
      d.negate_last = lane(t.negate_last, sign);
      d.keep_b = lane(two, ones);
      d.param_a = lane(h.w[0] == P, ones);
      d.param_b = lane(two && h.w[1] == P, ones);
      keys[s++] = key_of(w, n);
    }
  }
  // A multiplier that gives every shape a slot of its own.
  for (std::uint64_t i = 0;; ++i) {
    c.multiplier = (0x9E3779B97F4A7C15u + i * 0xD1B54A32D192ED02u) | 1u;
    for (std::uint64_t& e : c.slots) e = kEmpty;
    bool clash = false;
    for (int q = 0; q < kShapes && !clash; ++q) {
      std::uint64_t& e = c.slots[c.slot_of(keys[q])];
      clash = e != kEmpty;
      e = keys[q] << 8 | static_cast<std::uint64_t>(q);
    }
    if (!clash) break;
  }
  return c;
}

inline constexpr Catalogue kCatalogue = make_catalogue();

// By min(n, 7): the bytes of a key that hold words, and its length bits.
inline constexpr std::uint64_t kLaneMask[8] = {0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFF, 0xFFFFFFFFFF,
                                               0xFFFFFFFFFF};
inline constexpr std::uint64_t kLength[8] = {0, 1ull << 40, 2ull << 40, 3ull << 40, 4ull << 40, 5ull << 40,
                                             6ull << 40, 7ull << 40};

// Words w[0 .. 4], each clamped to 0 .. 255, in bytes 0 .. 4.
[[gnu::always_inline]] inline std::uint64_t clamped_bytes(const i32* w) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
  // Saturating packs to 16 and then 8 bits clamp each word to 0 .. 255.
  const __m128i w16 = _mm_packs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)), _mm_cvtsi32_si128(w[4]));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(w16, w16))) & 0xFFFFFFFFFF;
#else
  std::uint64_t bytes = 0;
  for (int q = 0; q < kMaxShape; ++q) bytes |= std::uint64_t{clamped(w[q])} << (8 * q);
  return bytes;
#endif
}

// The key of the program of n positions at position p of the words, as
// key_of gives it for a program of 1 .. 5 positions (and a key that is no
// shape's otherwise), without a branch. Words p .. p + kMaxShape - 1 are
// read whatever n is.
[[gnu::always_inline]] inline std::uint64_t key_at(const FixedVec<i32, 1>& words, std::ptrdiff_t p,
                                                   i32 n) FRAG_NOEXCEPT {
#if FRAG_CHECKED
  (void)words[p + kMaxShape - 1];
#endif
  const std::uint32_t m = std::min(static_cast<std::uint32_t>(n), 7u);
  return (clamped_bytes(&words[p]) & kLaneMask[m]) | kLength[m];
}
[[gnu::always_inline]] inline std::uint64_t key_at(const Vec<i32>& words, std::ptrdiff_t p, i32 n) FRAG_NOEXCEPT {
  std::uint64_t bytes = 0;
  if (words.stride == 1) {
    bytes = clamped_bytes(words.span(p, kMaxShape));
  } else {
    for (int q = 0; q < kMaxShape; ++q) bytes |= std::uint64_t{clamped(words[p + q])} << (8 * q);
  }
  const std::uint32_t m = std::min(static_cast<std::uint32_t>(n), 7u);
  return (bytes & kLaneMask[m]) | kLength[m];
}

// x where m is all ones, y where it is 0, bit for bit, in the low lane.
[[gnu::always_inline]] inline F2 pick(U2 m, f64 x, f64 y) noexcept {
  const F2 vx = {x, 0.0}, vy = {y, 0.0};
  return reinterpret_cast<F2>((reinterpret_cast<U2>(vx) & m) | (reinterpret_cast<U2>(vy) & ~m));
}

// The value of shape s on the constants ca, cb at its first two positions,
// as run() computes it; b is left in the low lane of b_out.
template <class Params>
[[gnu::always_inline]] inline f64 value(const Shape& s, f64 ca, f64 cb, const Params& param, F2& b_out) FRAG_NOEXCEPT {
  // An operand that is a constant reads parameter 0: the index is masked by
  // the low half of the operand's mask, which then drops the parameter.
  const F2 a = pick(s.param_a, param[trunc_operand(ca) & static_cast<i32>(s.param_a[0])], ca);
  const F2 b = pick(s.param_b, param[trunc_operand(cb) & static_cast<i32>(s.param_b[0])], cb);
  const U2 t = (reinterpret_cast<U2>(a) & ~s.keep_b) | (s.product & reinterpret_cast<U2>(multiply_into(a, b))) |
               (s.sum & reinterpret_cast<U2>(add_into(a, b)));
  const U2 u = t ^ s.negate_first;
  const F2 r = {1.0 / reinterpret_cast<F2>(u)[0], 0.0};
  const U2 w = ((reinterpret_cast<U2>(r) & s.reciprocal) | (u & ~s.reciprocal)) ^ s.negate_last;
  b_out = b;
  return reinterpret_cast<F2>(w)[0];
}

// Tight loops for long runs of the shapes the host stores most.
enum TightLoop : std::uint32_t { kNoRun, kParamRun, kParamTimesConstRun, kConstTimesParamRun };

// The tight loop for programs k and k + 1 (at positions p on) when both are
// "parameter" or both "push a, push b, multiply" with one of a, b a
// parameter and the other a constant; kNoRun otherwise.
template <class Words, class Sizes>
[[gnu::always_inline]] inline TightLoop run_at(const Words& words, const Sizes& sizes, std::ptrdiff_t k,
                                               std::ptrdiff_t ke, std::ptrdiff_t p) FRAG_NOEXCEPT {
  if (k + 1 >= ke) return kNoRun;
  const i32 n = sizes[k];
  if (n != sizes[k + 1]) return kNoRun;
  if (n == 1) return words[p] == stack::kPushParam && words[p + 1] == stack::kPushParam ? kParamRun : kNoRun;
  if (n != 3 || words[p + 2] != stack::kMultiply || words[p + 5] != stack::kMultiply) return kNoRun;
  const i32 a = words[p], b = words[p + 1];
  if (a != words[p + 3] || b != words[p + 4]) return kNoRun;
  if (a == stack::kPushParam && b == stack::kPushConst) return kParamTimesConstRun;
  if (a == stack::kPushConst && b == stack::kPushParam) return kConstTimesParamRun;
  return kNoRun;
}

}  // namespace shape

// Runs the stored programs of the parameter table one row at a time and
// hands each entry's value, what run() leaves at the bottom of the value
// stack, to the caller in entry order. A program of one of the shapes above
// that starts on an empty stack is computed directly with the same
// operations on the same operands in the same order as run() (a sum or a
// product formed in second by add_into or multiply_into), so every value is
// bitwise run()'s. Its value stack slots are not written per entry: slot 0
// (its value) and slot 1 (b, when it pushes one) are kept and written when a
// program runs through the interpreter next (which never reads a slot above
// its own depth) and by finish(), so the value stack ends as run() leaves it.
class StoredRunner {
 public:
  StoredRunner(Vec<f64> param_value, Vec<f64> xf64, std::ptrdiff_t base, i32 depth)
      : param_value_(param_value), xf64_(xf64), base_(base), depth_(depth) {}

  // Runs entries jb .. je - 1 of a row whose programs follow one another
  // from position pos (entry j has sizes[j] positions; none when <= 0) and
  // calls emit(j, value) for each in order (j as a full-width index). After
  // any entry the depth is 0.
  template <class Emit>
  [[gnu::always_inline]] void row(const Vec<i32>& words, const Vec<f64>& consts, const Vec<i32>& sizes, i32 jb,
                                  i32 je, i32 pos, Emit&& emit) FRAG_NOEXCEPT {
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
    // The usual contiguous arrays get loops whose reads need no stride.
    if (words.stride == 1 && consts.stride == 1 && sizes.stride == 1 && param_value_.stride == 1)
      entries(FixedVec<i32, 1>(words), FixedVec<f64, 1>(consts), FixedVec<i32, 1>(sizes),
              FixedVec<f64, 1>(param_value_), j, je, pos, emit);
    else
      entries(words, consts, sizes, param_value_, j, je, pos, emit);
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

  // Entries j .. je - 1 of a row from position pos, on an empty stack.
  template <class Words, class Consts, class Sizes, class Params, class Emit>
  [[gnu::always_inline]] void entries(const Words& words, const Consts& consts, const Sizes& sizes,
                                      const Params& param, i32 j, i32 je, i32 pos, Emit& emit) FRAG_NOEXCEPT {
    using shape::F2;
    // The deferred slots live in locals for the loop.
    f64 s0 = slot0_;
    F2 s1 = {slot1_, 0.0};
    bool d0 = dirty0_, d1 = dirty1_;
    // Entry and position indices are full width: the row never takes them
    // past what the arrays hold, where the 32-bit ones would wrap.
    std::ptrdiff_t k = j, p = pos;
    const std::ptrdiff_t ke = je;
    // A program at a position up to `last` has words p .. p + kMaxShape - 1
    // and constants p, p + 1 to read, which a shape reads whatever its
    // length; a constant operand reads parameter 0. Programs past it, and all
    // of them without parameters, run through the interpreter.
    const std::ptrdiff_t last =
        param.count > 0 ? std::min<std::ptrdiff_t>(words.count - shape::kMaxShape, consts.count - 2) : -1;
    // A run of "push a, push b, multiply" with one of a, b a parameter and
    // the other a constant (the parameter first when ParamFirst): top *
    // second formed in second, the value pushed second left in slot 1.
    auto product_run = [&]<bool ParamFirst>() {
      constexpr i32 w0 = ParamFirst ? stack::kPushParam : stack::kPushConst;
      constexpr i32 w1 = ParamFirst ? stack::kPushConst : stack::kPushParam;
      auto operand = [&](std::ptrdiff_t at, bool is_param) {
        return is_param ? param[trunc_operand(consts[at])] : consts[at];
      };
      f64 v, top;
      do {
        top = operand(p + 1, !ParamFirst);
        v = multiply_into(operand(p, ParamFirst), top);
        emit(k, v);
        p += 3;
        ++k;
      } while (k < ke && sizes[k] == 3 && words[p] == w0 && words[p + 1] == w1 && words[p + 2] == stack::kMultiply);
      s0 = v;
      s1 = F2{top, 0.0};
      d0 = d1 = true;
    };
    while (k < ke) {
      // Where a batch would start, two programs of one shape a tight loop
      // takes go to that loop, with the rest of their run: it ends at the
      // first program of another shape (or the row's end). A run that starts
      // inside a batch goes on in the tight loop after it.
      if (const shape::TightLoop tight = shape::run_at(words, sizes, k, ke, p); tight != shape::kNoRun) [[unlikely]] {
        if (tight == shape::kParamTimesConstRun) {
          product_run.template operator()<true>();
        } else if (tight == shape::kConstTimesParamRun) {
          product_run.template operator()<false>();
        } else {
          f64 v;
          do {
            v = param[trunc_operand(consts[p])];
            emit(k, v);
            ++p;
            ++k;
          } while (k < ke && sizes[k] == 1 && words[p] == stack::kPushParam);
          s0 = v;
          d0 = true;
        }
        continue;
      }
      // The programs from k on, a batch at a time, in two passes: the first
      // finds their shapes, up to the first program that is none; the
      // second computes them. Each pass is a short loop whose iterations
      // the processor overlaps, which one loop doing both would be too long
      // for.
      constexpr std::ptrdiff_t kBatch = 64;
      std::uint32_t shape_of[kBatch];
      std::ptrdiff_t at[kBatch];
      const std::ptrdiff_t kend = std::min(ke, k + kBatch);
      std::ptrdiff_t kk = k, q = p;
      // A batch's shapes take at most kMaxShape positions each: one that
      // starts far enough from `last` needs no test of positions.
      auto classify = [&]<bool Near>() {
        while (kk < kend && (!Near || q <= last)) {
          const i32 n = sizes[kk];
          const std::uint64_t key = shape::key_at(words, q, n);
          const std::uint64_t slot = shape::kCatalogue.slots[shape::kCatalogue.slot_of(key)];
          if (slot >> 8 != key) break;
          shape_of[kk - k] = static_cast<std::uint32_t>(slot & 0xFF);
          at[kk - k] = q;
          q += n;
          ++kk;
        }
      };
      if (q + shape::kMaxShape * (kBatch - 1) <= last)
        classify.template operator()<false>();
      else
        classify.template operator()<true>();
      const std::ptrdiff_t m = kk - k;
      for (std::ptrdiff_t i = 0; i < m; ++i) {
        const shape::Shape& s = shape::kCatalogue.shapes[shape_of[i]];
        F2 b;
        const f64 v = shape::value(s, consts[at[i]], consts[at[i] + 1], param, b);
        emit(k + i, v);
        s1 = reinterpret_cast<F2>((reinterpret_cast<shape::U2>(b) & s.keep_b) |
                                  (reinterpret_cast<shape::U2>(s1) & ~s.keep_b));
        s0 = v;
        d1 = d1 | (s.keep_b[0] != 0);
      }
      d0 = d0 || m > 0;
      k = kk;
      p = q;
      if (k == kend) continue;
      // A program that is no shape (or lies too near the end of the arrays)
      // through the interpreter loop, from an empty stack, on the slots the
      // deferred ones would have been.
      const i32 n = sizes[k];
      if (d0) xf64_[base_] = s0;
      if (d1) xf64_[base_ + 1] = s1[0];
      d0 = d1 = false;
      ValueStack vs{xf64_, base_, 0};
      if (n > 0) {
        run(words, consts, p, n, param_value_, vs);
        p += n;
      }
      emit(k, vs.bottom());
      ++k;
    }
    slot0_ = s0;
    slot1_ = s1[0];
    dirty0_ = d0;
    dirty1_ = d1;
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
