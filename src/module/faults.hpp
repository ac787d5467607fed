// The failures a kernel may report, and the switch of the checked build.
//
// In the checked build (FRAG_CHECKED=1) every element access through a view
// is tested against the view's element count and every index division tests
// its divisor; a fault raises IndexError or ZeroDivisionError through the
// binding. In the release build (the default) these tests do not exist.
#pragma once

#include <cstdint>

#ifndef FRAG_CHECKED
#define FRAG_CHECKED 0
#endif

// Helpers that touch views: noexcept in the release build; in the checked
// build a faulting access throws through them to the binding.
#define FRAG_NOEXCEPT noexcept(!FRAG_CHECKED)

namespace frag {

// A failure a kernel reports to its caller; the binding turns it into the
// matching Python exception after every view has been released.
enum class ErrorKind { Value, Overflow, Memory, Index, ZeroDivision };

struct KernelError {
  ErrorKind kind;
  const char* message;
  // Index faults: the array names of the kernel (space-separated), the word
  // naming the view, the index (row and column for a matrix) and the
  // view's extents.
  const char* names = nullptr;
  int arg = 0;
  bool matrix = false;
  std::int64_t i = 0, j = 0, n = 0, m = 0;
};

[[noreturn]] inline void raise_value_error(const char* msg) { throw KernelError{ErrorKind::Value, msg}; }
[[noreturn]] inline void raise_overflow_error(const char* msg) { throw KernelError{ErrorKind::Overflow, msg}; }

// The checked build's faults (cold paths).
[[noreturn, gnu::cold, gnu::noinline]] inline void index_fault(const char* names, int arg, std::int64_t k,
                                                               std::int64_t n) {
  throw KernelError{ErrorKind::Index, nullptr, names, arg, false, k, 0, n, 0};
}
[[noreturn, gnu::cold, gnu::noinline]] inline void matrix_index_fault(const char* names, int arg, std::int64_t i,
                                                                      std::int64_t j, std::int64_t rows,
                                                                      std::int64_t cols) {
  throw KernelError{ErrorKind::Index, nullptr, names, arg, true, i, j, rows, cols};
}
[[noreturn, gnu::cold, gnu::noinline]] inline void zero_divisor() {
  throw KernelError{ErrorKind::ZeroDivision, "integer division or modulo by zero"};
}

}  // namespace frag
