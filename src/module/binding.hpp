// The calling convention, written once. A kernel is a plain C++ function whose
// parameter types say what it takes and whose return type says what it hands
// back; FRAG_KERNEL derives from that type the METH_VARARGS entry point that
// binds the positional arguments, acquires and validates one buffer per array
// argument, runs the kernel, releases every buffer and builds the result.
//
//   int32_t, int64_t, bool, double   <->  "i", "L", "p", "d"
//   Vec<T>, Mat<T>, Required<...>,
//   ArrayList                        <->  "O"
//   void / int32_t / int64_t / bool / std::tuple<...>  ->  result
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/views.hpp"

namespace frag {

// ---------------------------------------------------------------------------
// Compile-time strings for the format and the array argument names.

template <std::size_t N>
struct Lit {
  char s[N];
  constexpr Lit(const char (&a)[N]) {
    for (std::size_t i = 0; i < N; ++i) s[i] = a[i];
  }
  constexpr std::size_t size() const { return N - 1; }
  constexpr std::size_t count(char c) const {
    std::size_t k = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) k += (s[i] == c);
    return k;
  }
  // Number of space-separated words.
  constexpr std::size_t words() const {
    std::size_t k = 0;
    bool in = false;
    for (std::size_t i = 0; i + 1 < N; ++i) {
      bool sp = s[i] == ' ';
      if (!sp && !in) ++k;
      in = !sp;
    }
    return k;
  }
};

// ---------------------------------------------------------------------------
// Error reporting (only ever on the failure path).

// "Invalid array shape or type for argument 'NAME'", NAME being word `index`
// of the space-separated list `names`.
void set_array_error(const char* names, int index);
// Request a buffer the way a memoryview does; on failure the interpreter's
// error is the one PyMemoryView_FromObject gives for that object.
bool get_buffer(PyObject* obj, Py_buffer* view);
void set_kernel_error(const KernelError& e);

// ---------------------------------------------------------------------------
// Element formats.

template <class T> struct ElemFormat;
template <> struct ElemFormat<std::int32_t> {
  static constexpr int shift = 2;
  static bool ok(const char* f) { return f && f[0] == 'i'; }
};
template <> struct ElemFormat<std::int64_t> {
  static constexpr int shift = 3;
  static bool ok(const char* f) { return f && (f[0] == 'l' || f[0] == 'q'); }
};
template <> struct ElemFormat<double> {
  static constexpr int shift = 3;
  static bool ok(const char* f) { return f && f[0] == 'd'; }
};

// ---------------------------------------------------------------------------
// One Cell per kernel parameter: the parse target, the converted value handed
// to the kernel, and (for arrays) the held buffer, released by release() or
// at the latest by the destructor.

template <class T> struct Cell;

template <> struct Cell<std::int32_t> {
  static constexpr char fmt = 'i';
  int slot = 0;
  void* target() { return &slot; }
  bool convert(const char*, int&) { return true; }
  std::int32_t get() const { return static_cast<std::int32_t>(slot); }
  void release() {}
};
template <> struct Cell<std::int64_t> {
  static constexpr char fmt = 'L';
  long long slot = 0;
  void* target() { return &slot; }
  bool convert(const char*, int&) { return true; }
  std::int64_t get() const { return static_cast<std::int64_t>(slot); }
  void release() {}
};
template <> struct Cell<bool> {
  static constexpr char fmt = 'p';
  int slot = 0;
  void* target() { return &slot; }
  bool convert(const char*, int&) { return true; }
  bool get() const { return slot != 0; }
  void release() {}
};
template <> struct Cell<double> {
  static constexpr char fmt = 'd';
  double slot = 0.0;
  void* target() { return &slot; }
  bool convert(const char*, int&) { return true; }
  double get() const { return slot; }
  void release() {}
};

// Shared part of every buffer-backed array cell.
struct BufferCell {
  static constexpr char fmt = 'O';
  PyObject* slot = nullptr;
  Py_buffer buf;
  bool held = false;

  void* target() { return &slot; }
  void release() {
    if (held) {
      PyBuffer_Release(&buf);
      held = false;
    }
  }
  ~BufferCell() { release(); }
  // Acquire and check the dimension count and element format; on a mismatch
  // set the argument's message and give up (the buffer is released later).
  template <class T>
  bool acquire(int ndim, const char* names, int index) {
    if (!get_buffer(slot, &buf)) return false;
    held = true;
    if (buf.ndim != ndim || !ElemFormat<T>::ok(buf.format)) {
      set_array_error(names, index);
      return false;
    }
    return true;
  }
};

template <class T>
struct Cell<Vec<T>> : BufferCell {
  Vec<T> v;
  bool convert(const char* names, int& index) { return convert_as(names, index, true); }
  // None gives an empty view where allowed; otherwise None goes to the buffer
  // request and fails there with the interpreter's own error.
  bool convert_as(const char* names, int& index, bool none_allowed) {
    int me = index++;
    if (none_allowed && slot == Py_None) return true;
    if (!acquire<T>(1, names, me)) return false;
    v.base = static_cast<T*>(buf.buf);
    v.stride = buf.strides[0] >> ElemFormat<T>::shift;
    v.count = buf.len >> ElemFormat<T>::shift;
    return true;
  }
  Vec<T> get() const { return v; }
};

template <class T>
struct Cell<Mat<T>> : BufferCell {
  Mat<T> v;
  bool convert(const char* names, int& index) { return convert_as(names, index, true); }
  bool convert_as(const char* names, int& index, bool none_allowed) {
    int me = index++;
    if (none_allowed && slot == Py_None) return true;
    if (!acquire<T>(2, names, me)) return false;
    v.base = static_cast<T*>(buf.buf);
    v.s0 = buf.strides[0] >> ElemFormat<T>::shift;
    v.s1 = buf.strides[1] >> ElemFormat<T>::shift;
    v.rows = static_cast<std::int32_t>(buf.shape[0]);
    v.cols = static_cast<std::int32_t>(buf.shape[1]);
    return true;
  }
  Mat<T> get() const { return v; }
};

template <class V>
struct Cell<Required<V>> : Cell<V> {
  bool convert(const char* names, int& index) { return this->convert_as(names, index, false); }
  Required<V> get() const { return Required<V>{this->v}; }
};

// An array of int32 arrays: the outer buffer holds object references, each
// element converted like a one-dimensional int32 argument.
template <> struct Cell<ArrayList> {
  static constexpr char fmt = 'O';
  PyObject* slot = nullptr;
  Py_buffer outer;
  bool outer_held = false;
  Py_buffer* bufs = nullptr;       // one per entry; obj == nullptr where not held
  Vec<std::int32_t>* items = nullptr;
  std::ptrdiff_t n = 0;

  void* target() { return &slot; }
  bool convert(const char* names, int& index) { return convert_as(names, index, true); }
  bool convert_as(const char* names, int& index, bool none_allowed);  // convention.cpp
  ArrayList get() const { return ArrayList{items, n}; }
  void release();
  ~Cell() { release(); }
};

// An array of int32 arrays that must not be None: None goes to the buffer
// request and fails there with the interpreter's own error.
template <> struct Cell<Required<ArrayList>> : Cell<ArrayList> {
  bool convert(const char* names, int& index) { return convert_as(names, index, false); }
  Required<ArrayList> get() const { return Required<ArrayList>{Cell<ArrayList>::get()}; }
};

// ---------------------------------------------------------------------------
// Results.

inline PyObject* box(std::int32_t v) { return PyLong_FromLong(static_cast<long>(v)); }
inline PyObject* box(std::int64_t v) { return PyLong_FromLongLong(static_cast<long long>(v)); }
inline PyObject* box(bool v) { return PyBool_FromLong(v ? 1 : 0); }

template <class... T>
PyObject* box(const std::tuple<T...>& t) {
  static_assert(sizeof...(T) >= 2 && sizeof...(T) <= 5, "a result tuple holds 2 to 5 items");
  PyObject* r = PyTuple_New(sizeof...(T));
  if (!r) return nullptr;
  bool ok = true;
  Py_ssize_t i = 0;
  std::apply(
      [&](const auto&... x) {
        ((ok = ok && [&] {
            PyObject* item = box(x);
            if (!item) return false;
            PyTuple_SET_ITEM(r, i++, item);
            return true;
          }()),
         ...);
      },
      t);
  if (!ok) {
    Py_DECREF(r);
    return nullptr;
  }
  return r;
}

// ---------------------------------------------------------------------------
// The entry point for one kernel.

template <class F> struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Result = R;
  using Cells = std::tuple<Cell<A>...>;
  static constexpr std::size_t arity = sizeof...(A);
  static constexpr char fmt_of[sizeof...(A) + 1] = {Cell<A>::fmt..., '\0'};
};

template <Lit Fmt, auto Fn>
constexpr bool format_matches() {
  using Tr = FnTraits<decltype(Fn)>;
  if (Fmt.size() != Tr::arity) return false;
  for (std::size_t i = 0; i < Tr::arity; ++i)
    if (Fmt.s[i] != Tr::fmt_of[i]) return false;
  return true;
}

template <Lit Fmt, auto Fn, Lit Names>
PyObject* entry(PyObject*, PyObject* args) {
  using Tr = FnTraits<decltype(Fn)>;
  using R = typename Tr::Result;
  static_assert(format_matches<Fmt, Fn>(), "format string does not match the kernel's parameter types");
  static_assert(Fmt.count('O') == Names.words(), "one name per array argument");

  typename Tr::Cells cells;
  // Bind by the format string; the interpreter's errors stand.
  bool parsed = std::apply(
      [&](auto&... c) { return PyArg_ParseTuple(args, Fmt.s, c.target()...) != 0; }, cells);
  if (!parsed) return nullptr;
  // Convert the array arguments in positional order.
  int index = 0;
  bool converted = std::apply([&](auto&... c) { return (c.convert(Names.s, index) && ...); }, cells);
  if (!converted) return nullptr;  // cells release what they hold

  auto release_all = [&] { std::apply([](auto&... c) { (c.release(), ...); }, cells); };
  try {
    if constexpr (std::is_void_v<R>) {
      std::apply([](auto&... c) { Fn(c.get()...); }, cells);
      release_all();
      Py_RETURN_NONE;
    } else {
      R r = std::apply([](auto&... c) { return Fn(c.get()...); }, cells);
      release_all();
      return box(r);
    }
  } catch (const KernelError& e) {
    release_all();
    set_kernel_error(e);
    return nullptr;
  } catch (const std::bad_alloc&) {
    release_all();
    PyErr_NoMemory();
    return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Registration: each kernel file registers its kernels by number; the module
// assembles the method table from them at import.

struct Registration {
  Registration(int number, const char* name, PyCFunction fn) noexcept;
};

}  // namespace frag

#define FRAG_CAT2(a, b) a##b
#define FRAG_CAT(a, b) FRAG_CAT2(a, b)

// FRAG_KERNEL(N, "format", function, "array names in positional order")
#define FRAG_KERNEL(N, FMT, FN, NAMES)                                          \
  static const ::frag::Registration FRAG_CAT(frag_registration_, N){           \
      N, "_c_closure_" #N, &::frag::entry<::frag::Lit{FMT}, FN, ::frag::Lit{NAMES}>}
