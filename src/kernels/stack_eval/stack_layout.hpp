// Layout of stacked expressions on the three evaluation stacks.
//
// Each stack is a triple of arrays (int32, int64, float64):
//   R stack  ri32 ri64 rf64   results the kernel builds
//   W stack  wi32 wi64 wf64   operands the kernel reads
//   X stack  xi32 xi64 xf64   scratch runs, cursors, the program value stack
//
// A stacked expression with n elements, m terms, a program positions and d
// axes is a set of independent blocks, each located by the absolute element
// position of its first entry on the array of its type:
//   shape             int32  d      extents, outermost first (row-major)
//   row pointer       int32  n + 1  element e owns terms ptr[e] .. ptr[e+1]-1
//   variable indices  int64  m      index 0 is the constant term
//   coefficients      float64 m
//   sparsity indices  int64  n      sparse expressions only, ascending
//   program pointer   int32  m + 1  term t owns program positions pp[t] .. pp[t+1]-1
//   program words     int32  a      opcodes
//   program constants float64 a     operands
// Program blocks exist only when the expression's program flag is > 0.
//
// Results of unknown size are built in four passes: count into entry e + 1 of
// zeroed runs, prefix sum, fill using entry e as element e's cursor, shift the
// run up by one and set entry 0 to 0.
#pragma once

#include "module/kernel.hpp"

namespace frag::stack {

// A run of a stack array that starts at an absolute position: run[k] is
// array[pos + k] through the array's element stride.
template <class T>
struct Run {
  Vec<T> a;
  std::ptrdiff_t pos;
  Run(Vec<T> arr, std::ptrdiff_t p) : a(arr), pos(p) {}
  T& operator[](std::ptrdiff_t k) const FRAG_NOEXCEPT { return a[pos + k]; }
};

// The blocks of one stacked expression on a stack: row pointer, variable
// indices, coefficients and the three program blocks. The program runs are
// meaningful, and read, only when `programs` is set.
struct Blocks {
  Run<i32> ptr;
  Run<i64> nidxs;
  Run<f64> cof;
  Run<i32> pptr, words;
  Run<f64> consts;
  bool programs;
};

// Blocks at the given positions of one stack's int32, int64 and float64
// arrays.
inline Blocks blocks_at(Vec<i32> s32, Vec<i64> s64, Vec<f64> sf64, std::ptrdiff_t ptr, std::ptrdiff_t nidxs,
                        std::ptrdiff_t cof, std::ptrdiff_t pptr, std::ptrdiff_t words, std::ptrdiff_t consts,
                        bool programs) FRAG_NOEXCEPT {
  return Blocks{Run(s32, ptr),   Run(s64, nidxs), Run(sf64, cof), Run(s32, pptr),
                Run(s32, words), Run(sf64, consts), programs};
}

// Operands on the W stack, described by int32 tables indexed by operand
// number: the positions of each operand's blocks and its number of program
// positions (ncodeatom).
struct OperandTable {
  Vec<i32> cconst, code, codeptr, cof_base, ncodeatom, nidxs_base, ptr_base;
  Vec<f64> wf64;
  Vec<i32> wi32;
  Vec<i64> wi64;

  // The blocks of operand i. Its program blocks are located only when
  // programs are wanted and the operand has them (ncodeatom[i] > 0), so their
  // descriptors are not read otherwise; the blocks' `programs` says whether
  // they were.
  Blocks operand(i32 i, bool want_programs) const FRAG_NOEXCEPT {
    const bool programs = want_programs && ncodeatom[i] > 0;
    return Blocks{Run(wi32, ptr_base[i]),
                  Run(wi64, nidxs_base[i]),
                  Run(wf64, cof_base[i]),
                  Run(wi32, programs ? codeptr[i] : 0),
                  Run(wi32, programs ? code[i] : 0),
                  Run(wf64, programs ? cconst[i] : 0),
                  programs};
  }
};

// Adds the number of terms of element e (row pointer ptr) to T and, with
// programs, the number of their program positions (program pointer pptr) to P.
inline void add_element_size(Run<i32> ptr, Run<i32> pptr, bool programs, std::ptrdiff_t e, i32& T,
                             i32& P) FRAG_NOEXCEPT {
  const i32 a = ptr[e], b = ptr[e + 1];
  T = add32(T, sub32(b, a));
  if (programs) P = add32(P, sub32(pptr[b], pptr[a]));
}

// A program flag passed as an int is set when it is greater than 0.
constexpr bool has_programs(std::int32_t flag) FRAG_NOEXCEPT { return flag > 0; }

// Opcodes of coefficient programs.
enum Opcode : std::int32_t {
  kPushParam = 1,
  kPushConst = 2,
  kAdd = 3,
  kNegate = 4,
  kMultiply = 5,
  kReciprocal = 6,
  kNop = 7,
  kSum = 8,
  kFolded = 10,  // what the simplifier leaves of a program folded into its fixed term
};

// A program of one position whose word is 2 or 10 is constant: it is never
// stored in the parameter table.
constexpr bool is_constant_program(std::int32_t length, std::int32_t first_word) FRAG_NOEXCEPT {
  return length == 1 && (first_word | 8) == 10;
}

}  // namespace frag::stack
