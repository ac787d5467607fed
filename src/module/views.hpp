// What a kernel sees of its arguments: strided views of the caller's arrays,
// work arrays, and the errors a kernel may raise. Nothing here touches the
// Python C API, so kernel files include only this header (through kernel.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace frag {

// One-dimensional strided view of an int32, int64 or float64 array.
// Element k lives at base[k * stride]; a None argument gives an empty view.
template <class T>
struct Vec {
  using value_type = T;
  T* base = nullptr;
  std::ptrdiff_t stride = 0;
  std::ptrdiff_t count = 0;  // byte length / element size

  T& operator[](std::ptrdiff_t k) const noexcept { return base[k * stride]; }
  // The element count as the host's signed 32-bit count.
  std::int32_t n32() const noexcept { return static_cast<std::int32_t>(count); }
  bool is_none() const noexcept { return base == nullptr && count == 0; }
};

// Two-dimensional strided view; (i, j) lives at base[i * s0 + j * s1].
template <class T>
struct Mat {
  using value_type = T;
  T* base = nullptr;
  std::ptrdiff_t s0 = 0, s1 = 0;
  std::int32_t rows = 0, cols = 0;

  T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept {
    return base[i * s0 + j * s1];
  }
};

// An array argument that the host must never pass as None: None fails in the
// buffer request with the interpreter's own error.
template <class V>
struct Required : V {};

// An array of int32 arrays (a buffer of object references). Entry i is an
// empty view where the caller stored None.
struct ArrayList {
  const Vec<std::int32_t>* items = nullptr;
  std::ptrdiff_t count = 0;

  const Vec<std::int32_t>& operator[](std::ptrdiff_t i) const noexcept { return items[i]; }
  std::int32_t n32() const noexcept { return static_cast<std::int32_t>(count); }
};

// A failure a kernel reports to its caller; the binding turns it into the
// matching Python exception after every view has been released.
enum class ErrorKind { Value, Overflow, Memory };

struct KernelError {
  ErrorKind kind;
  const char* message;
};

[[noreturn]] inline void raise_value_error(const char* msg) { throw KernelError{ErrorKind::Value, msg}; }
[[noreturn]] inline void raise_overflow_error(const char* msg) { throw KernelError{ErrorKind::Overflow, msg}; }

// Zero-filled heap work array, released when it goes out of scope. A failed
// allocation raises MemoryError through the binding.
template <class T>
class WorkArray {
 public:
  explicit WorkArray(std::ptrdiff_t n) {
    std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
    // calloc(0) may return null legitimately; ask for one element instead.
    p_ = static_cast<T*>(std::calloc(count ? count : 1, sizeof(T)));
    if (!p_) throw KernelError{ErrorKind::Memory, nullptr};
    n_ = static_cast<std::ptrdiff_t>(count);
  }
  ~WorkArray() { std::free(p_); }
  WorkArray(const WorkArray&) = delete;
  WorkArray& operator=(const WorkArray&) = delete;

  T& operator[](std::ptrdiff_t k) const noexcept { return p_[k]; }
  T* data() const noexcept { return p_; }
  std::ptrdiff_t size() const noexcept { return n_; }

 private:
  T* p_ = nullptr;
  std::ptrdiff_t n_ = 0;
};

}  // namespace frag
