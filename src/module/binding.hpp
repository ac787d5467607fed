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
#include <cstdio>
#include <cstring>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/fast_args.hpp"
#include "module/views.hpp"

#ifndef FRAG_REFERENCE_CALL_PATH
#define FRAG_REFERENCE_CALL_PATH 0
#endif

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
// The exception for a kernel's failure; `kernel` (the kernel's name, known
// in the checked build) starts the message of an index or division fault.
void set_kernel_error(const KernelError& e, const char* kernel);
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
// at the latest by the destructor. fast() reads the argument directly where
// the read is the interpreter's to the letter, and declines otherwise.

template <class T> struct Cell;

template <> struct Cell<std::int32_t> {
  static constexpr char fmt = 'i';
  int slot = 0;
  void* target() { return &slot; }
  bool fast(PyObject* o) { return fast::as_int(o, slot); }
  bool convert(const char*, int&) { return true; }
  std::int32_t get() const { return static_cast<std::int32_t>(slot); }
  void release() {}
};
template <> struct Cell<std::int64_t> {
  static constexpr char fmt = 'L';
  long long slot = 0;
  void* target() { return &slot; }
  bool fast(PyObject* o) { return fast::as_long_long(o, slot); }
  bool convert(const char*, int&) { return true; }
  std::int64_t get() const { return static_cast<std::int64_t>(slot); }
  void release() {}
};
template <> struct Cell<bool> {
  static constexpr char fmt = 'p';
  int slot = 0;
  void* target() { return &slot; }
  bool fast(PyObject* o) { return fast::as_flag(o, slot); }
  bool convert(const char*, int&) { return true; }
  bool get() const { return slot != 0; }
  void release() {}
};
template <> struct Cell<double> {
  static constexpr char fmt = 'd';
  double slot = 0.0;
  void* target() { return &slot; }
  bool fast(PyObject* o) { return fast::as_double(o, slot); }
  bool convert(const char*, int&) { return true; }
  double get() const { return slot; }
  void release() {}
};

// One acquired buffer. The release build asks the exporter directly, with
// the request a memoryview makes; the reference build takes a memoryview of
// the argument, as the protocol words it.
struct HeldBuffer {
#if FRAG_REFERENCE_CALL_PATH
  PyObject* mv = nullptr;
  bool acquire(PyObject* o) {
    mv = PyMemoryView_FromObject(o);
    return mv != nullptr;
  }
  const Py_buffer& view() const { return *PyMemoryView_GET_BUFFER(mv); }
  bool held() const { return mv != nullptr; }
  void release() { Py_CLEAR(mv); }
#else
  Py_buffer buf;
  bool on = false;
  bool acquire(PyObject* o) { return on = get_buffer(o, &buf); }
  const Py_buffer& view() const { return buf; }
  bool held() const { return on; }
  void release() {
    if (on) {
      PyBuffer_Release(&buf);
      on = false;
    }
  }
#endif
};

// Shared part of every buffer-backed array cell.
struct BufferCell {
  static constexpr char fmt = 'O';
  PyObject* slot = nullptr;
  HeldBuffer held;
  fast::ArrayInfo info;

  void* target() { return &slot; }
  bool fast(PyObject* o) {
    slot = o;
    return true;
  }
  void release() { held.release(); }
  ~BufferCell() { release(); }
  // Read the argument as an array of `ndim` dimensions and element type T:
  // an exact numpy array directly, anything else through its buffer, whose
  // dimension count and element format are checked (on a mismatch the
  // argument's message is set; the buffer is released with the cell).
  template <class T, int ndim>
  [[gnu::always_inline]] bool acquire(const char* names, int index) {
#if !FRAG_REFERENCE_CALL_PATH
    if (fast::ndarray_view<ndim, ElemFormat<T>::shift, std::is_same_v<T, std::int32_t>, std::is_same_v<T, double>>(
            slot, info))
      return true;
#endif
    return acquire_buffer<T>(ndim, names, index);
  }
  template <class T>
  bool acquire_buffer(int ndim, const char* names, int index) {
    if (!held.acquire(slot)) return false;
    const Py_buffer& b = held.view();
    if (b.ndim != ndim || !ElemFormat<T>::ok(b.format)) {
      set_array_error(names, index);
      return false;
    }
    info.base = b.buf;
    info.len = b.len;
    for (int k = 0; k < ndim; ++k) {
      info.strides[k] = b.strides[k];
      info.shape[k] = b.shape[k];
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
  [[gnu::always_inline]] bool convert_as(const char* names, int& index, bool none_allowed) {
    int me = index++;
#if FRAG_CHECKED
    v.name = ViewName{names, me};
#endif
    if (none_allowed && slot == Py_None) return true;
    if (!acquire<T, 1>(names, me)) return false;
    v.base = static_cast<T*>(info.base);
    v.stride = info.strides[0] >> ElemFormat<T>::shift;
    v.count = info.len >> ElemFormat<T>::shift;
    return true;
  }
  Vec<T> get() const { return v; }
  // Where every one-dimensional array has element stride 1, the kernel runs
  // on views whose stride is the literal 1, so that its loops compile to
  // contiguous (vectorisable) code.
  static constexpr bool unit_capable = true;
  bool unit() const { return v.stride == 1 || v.base == nullptr; }
  Vec<T> get_unit() const {
    Vec<T> u = v;
    u.stride = 1;
    return u;
  }
};

template <class T>
struct Cell<Mat<T>> : BufferCell {
  Mat<T> v;
  bool convert(const char* names, int& index) { return convert_as(names, index, true); }
  [[gnu::always_inline]] bool convert_as(const char* names, int& index, bool none_allowed) {
    int me = index++;
#if FRAG_CHECKED
    v.name = ViewName{names, me};
#endif
    if (none_allowed && slot == Py_None) return true;
    if (!acquire<T, 2>(names, me)) return false;
    v.base = static_cast<T*>(info.base);
    v.s0 = info.strides[0] >> ElemFormat<T>::shift;
    v.s1 = info.strides[1] >> ElemFormat<T>::shift;
    v.rows = static_cast<std::int32_t>(info.shape[0]);
    v.cols = static_cast<std::int32_t>(info.shape[1]);
    return true;
  }
  Mat<T> get() const { return v; }
};

template <class V>
struct Cell<Required<V>> : Cell<V> {
  bool convert(const char* names, int& index) { return this->convert_as(names, index, false); }
  Required<V> get() const { return Required<V>{this->v}; }
  Required<V> get_unit() const { return Required<V>{this->Cell<V>::get_unit()}; }
};

// An array of int32 arrays: the outer buffer holds object references, each
// element converted like a one-dimensional int32 argument.
template <> struct Cell<ArrayList> {
  static constexpr char fmt = 'O';
  PyObject* slot = nullptr;
  HeldBuffer outer;
  HeldBuffer* bufs = nullptr;      // one per entry; not held where None
  Vec<std::int32_t>* items = nullptr;
  std::ptrdiff_t n = 0;

  void* target() { return &slot; }
  bool fast(PyObject* o) {
    slot = o;
    return true;
  }
  bool convert(const char* names, int& index) { return convert_as(names, index, true); }
  bool convert_as(const char* names, int& index, bool none_allowed);  // convention.cpp
#if FRAG_CHECKED
  ViewName name{};
  ArrayList get() const { return ArrayList{items, n, name}; }
#else
  ArrayList get() const { return ArrayList{items, n}; }
#endif
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

// Bind the positional arguments by the format string. The release build
// first reads the tuple directly; if any argument is of an unusual kind (or
// the count is off) the interpreter's parser binds them all again, so every
// value and every error is the parser's own.
template <Lit Fmt, class Cells>
bool bind(PyObject* args, Cells& cells) {
#if !FRAG_REFERENCE_CALL_PATH
  constexpr std::size_t arity = std::tuple_size_v<Cells>;
  if (PyTuple_GET_SIZE(args) == static_cast<Py_ssize_t>(arity)) {
    PyObject** items = reinterpret_cast<PyTupleObject*>(args)->ob_item;
    bool direct = [&]<std::size_t... I>(std::index_sequence<I...>) {
      return (std::get<I>(cells).fast(items[I]) && ...);
    }(std::make_index_sequence<arity>{});
    if (direct) return true;
  }
#endif
  return std::apply([&](auto&... c) { return PyArg_ParseTuple(args, Fmt.s, c.target()...) != 0; }, cells);
}

// Whether a cell takes part in the contiguous specialisation: scalars are
// neutral, one-dimensional arrays take part, anything else (matrices, arrays
// of arrays) turns it off for the kernel.
template <class C> constexpr int unit_role() {
  if constexpr (C::fmt != 'O') return 0;
  else if constexpr (requires { C::unit_capable; }) return 1;
  else return -1;
}
template <class C> bool is_unit(const C& c) {
  if constexpr (unit_role<C>() == 1) return c.unit();
  else return true;
}
template <class C> decltype(auto) unit_view(const C& c) {
  if constexpr (unit_role<C>() == 1) return c.get_unit();
  else return c.get();
}
template <class Cells> struct UnitPlan;
template <class... C> struct UnitPlan<std::tuple<C...>> {
  static constexpr bool any = ((unit_role<C>() == 1) || ...);
  static constexpr bool none_other = ((unit_role<C>() >= 0) && ...);
  static constexpr bool enabled = any && none_other;
};

template <auto Fn, class Cells>
[[gnu::flatten]] auto run_unit(Cells& cells) {
  return std::apply([](auto&... c) { return Fn(unit_view(c)...); }, cells);
}
template <auto Fn, class Cells>
auto run_strided(Cells& cells) {
  return std::apply([](auto&... c) { return Fn(c.get()...); }, cells);
}
template <auto Fn, class Cells>
auto run(Cells& cells) {
  if constexpr (UnitPlan<Cells>::enabled && !FRAG_REFERENCE_CALL_PATH) {
    bool unit = std::apply([](auto&... c) { return (is_unit(c) && ...); }, cells);
    if (unit) return run_unit<Fn>(cells);
  }
  return run_strided<Fn>(cells);
}

// Number is the kernel's number in the checked build (for its messages) and
// -1 otherwise.
template <Lit Fmt, auto Fn, Lit Names, int Number = -1>
PyObject* entry(PyObject*, PyObject* args) {
  using Tr = FnTraits<decltype(Fn)>;
  using R = typename Tr::Result;
  static_assert(format_matches<Fmt, Fn>(), "format string does not match the kernel's parameter types");
  static_assert(Fmt.count('O') == Names.words(), "one name per array argument");

  typename Tr::Cells cells;
  if (!bind<Fmt>(args, cells)) return nullptr;
  // Convert the array arguments in positional order.
  int index = 0;
  bool converted = std::apply([&](auto&... c) { return (c.convert(Names.s, index) && ...); }, cells);
  if (!converted) return nullptr;  // cells release what they hold

  auto release_all = [&] { std::apply([](auto&... c) { (c.release(), ...); }, cells); };
  try {
    if constexpr (std::is_void_v<R>) {
      run<Fn>(cells);
      release_all();
      Py_RETURN_NONE;
    } else {
      R r = run<Fn>(cells);
      release_all();
      return box(r);
    }
  } catch (const KernelError& e) {
    release_all();
    if constexpr (Number >= 0) {
      char kernel[32];
      std::snprintf(kernel, sizeof kernel, "_c_closure_%d", Number);
      set_kernel_error(e, kernel);
    } else {
      set_kernel_error(e);
    }
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
// The checked build gives each entry its kernel's number, for the messages
// of its faults; the release build shares one entry among the kernels of
// one function, format and names.
#if FRAG_CHECKED
#define FRAG_ENTRY_NUMBER(N) , N
#else
#define FRAG_ENTRY_NUMBER(N)
#endif
#define FRAG_KERNEL(N, FMT, FN, NAMES)                                          \
  static const ::frag::Registration FRAG_CAT(frag_registration_, N){           \
      N, "_c_closure_" #N,                                                      \
      &::frag::entry<::frag::Lit{FMT}, FN, ::frag::Lit{NAMES} FRAG_ENTRY_NUMBER(N)>}
