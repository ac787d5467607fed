// What a kernel sees of its arguments: strided views of the caller's arrays,
// work arrays, and the errors a kernel may raise. Nothing here touches the
// Python C API, so kernel files include only this header (through kernel.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "module/faults.hpp"

namespace frag {

#if FRAG_CHECKED
// Where a view came from, for the checked build's messages: the kernel's
// space-separated array names and the word that names this view. A view
// derived from another one (a suffix) counts its indices from `origin` of
// the original.
struct ViewName {
  const char* names = nullptr;
  int arg = 0;
  std::ptrdiff_t origin = 0;
};
#endif

#if FRAG_CHECKED
// The checked build's test of index k against a view's element count: an
// IndexError naming the view and the index counted from its origin.
[[gnu::always_inline]] inline void check_index(const ViewName& name, std::ptrdiff_t k, std::ptrdiff_t count) {
  if (k < 0 || k >= count) [[unlikely]]
    index_fault(name.names, name.arg, name.origin + k, name.origin + count);
}
#endif

// One-dimensional strided view of an int32, int64 or float64 array.
// Element k lives at base[k * stride]; a None argument gives an empty view.
template <class T>
struct Vec {
  using value_type = T;
  T* base = nullptr;
  std::ptrdiff_t stride = 0;
  std::ptrdiff_t count = 0;  // byte length / element size
#if FRAG_CHECKED
  ViewName name{};
#endif

  T& operator[](std::ptrdiff_t k) const FRAG_NOEXCEPT {
#if FRAG_CHECKED
    check_index(name, k, count);
#endif
    return base[k * stride];
  }
  // Address of element k, where elements k .. k + n - 1 (n > 0) are about to
  // be used as one contiguous block; the checked build tests both ends.
  T* span(std::ptrdiff_t k, std::ptrdiff_t n) const FRAG_NOEXCEPT {
#if FRAG_CHECKED
    (void)(*this)[k];
    (void)(*this)[k + n - 1];
#else
    (void)n;
#endif
    return base + k * stride;
  }
  // The view from element k on (k <= count): element j of the result is
  // element k + j of this view.
  Vec suffix(std::ptrdiff_t k) const noexcept {
    Vec r = *this;
    r.base = base + k * stride;
    r.count = count - k;
#if FRAG_CHECKED
    r.name.origin += k;
#endif
    return r;
  }
  // The element count as the host's signed 32-bit count.
  std::int32_t n32() const noexcept { return static_cast<std::int32_t>(count); }
  bool is_none() const noexcept { return base == nullptr && count == 0; }
};

// A one-dimensional view made from a Vec whose stride is known to be 0 or 1
// when the kernel is compiled: contiguous, or every element standing on one
// (the zero-stride sinks the host passes for outputs it does not want). It
// holds the same elements and raises the same checked-build faults as the
// Vec; only the address is found without the index times a stride, so that a
// store through it does not wait for that product before its address is
// known (which is what holds back loops that scatter).
template <class T, std::ptrdiff_t Stride>
struct FixedVec {
  static_assert(Stride == 0 || Stride == 1);
  using value_type = T;
  T* base = nullptr;
  std::ptrdiff_t count = 0;
#if FRAG_CHECKED
  ViewName name{};
  explicit FixedVec(const Vec<T>& v) noexcept : base(v.base), count(v.count), name(v.name) {}
#else
  explicit FixedVec(const Vec<T>& v) noexcept : base(v.base), count(v.count) {}
#endif

  T& operator[](std::ptrdiff_t k) const FRAG_NOEXCEPT {
#if FRAG_CHECKED
    check_index(name, k, count);
#endif
    return base[k * Stride];
  }
};

// Whether a view's stride is one a FixedVec can take.
template <class T>
constexpr bool has_fixed_stride(const Vec<T>& v) noexcept {
  return v.stride == 0 || v.stride == 1;
}

// Calls f(view) with v as a FixedVec of stride 0 or 1; v must have one of
// those strides (has_fixed_stride).
template <class T, class F>
inline void with_fixed_stride(const Vec<T>& v, F&& f) {
  if (v.stride == 0)
    f(FixedVec<T, 0>(v));
  else
    f(FixedVec<T, 1>(v));
}

// Two-dimensional strided view; (i, j) lives at base[i * s0 + j * s1].
template <class T>
struct Mat {
  using value_type = T;
  T* base = nullptr;
  std::ptrdiff_t s0 = 0, s1 = 0;
  std::int32_t rows = 0, cols = 0;
#if FRAG_CHECKED
  ViewName name{};
#endif

  T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const FRAG_NOEXCEPT {
#if FRAG_CHECKED
    if (i < 0 || i >= rows || j < 0 || j >= cols) [[unlikely]]
      matrix_index_fault(name.names, name.arg, i, j, rows, cols);
#endif
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
#if FRAG_CHECKED
  ViewName name{};
#endif

  const Vec<std::int32_t>& operator[](std::ptrdiff_t i) const FRAG_NOEXCEPT {
#if FRAG_CHECKED
    if (i < 0 || i >= count) [[unlikely]] index_fault(name.names, name.arg, i, count);
#endif
    return items[i];
  }
  std::int32_t n32() const noexcept { return static_cast<std::int32_t>(count); }
};

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
