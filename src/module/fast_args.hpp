// Direct reads of the argument kinds the host passes nearly always: exact
// ints, floats, bools and None for the scalars, exact numpy arrays of native
// int32 / int64 / float64 for the arrays. Each reader either produces exactly
// what the interpreter's own routine (PyArg_ParseTuple's conversion, the
// buffer request) would produce for that object, or declines; on a decline
// the caller goes the interpreter's way, so that every value and every error
// comes from the same code as before. None of these readers raises.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace frag {
namespace fast {

// The value of an exact int that fits in one internal digit (|v| < 2**30),
// or of a bool. Larger ints are declined: the conversion routine handles
// them, overflow errors included.
inline bool small_int(PyObject* o, long long& v) noexcept {
  if (PyLong_CheckExact(o)) {
    PyLongObject* l = reinterpret_cast<PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(l)) return false;
    v = static_cast<long long>(PyUnstable_Long_CompactValue(l));
    return true;
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    v = static_cast<long long>(size) * static_cast<long long>(l->ob_digit[0]);
    return true;
#endif
  }
  if (o == Py_True || o == Py_False) {
    v = (o == Py_True);
    return true;
  }
  return false;
}

// "i": the 32-bit range is always wider than one digit's, so every accepted
// value fits.
inline bool as_int(PyObject* o, int& out) noexcept {
  long long v;
  if (!small_int(o, v)) return false;
  out = static_cast<int>(v);
  return true;
}

inline bool as_long_long(PyObject* o, long long& out) noexcept { return small_int(o, out); }

// "p": the truth value of True, False, None, an exact int or an exact float
// runs no user code and cannot fail.
inline bool as_flag(PyObject* o, int& out) noexcept {
  if (o == Py_True) { out = 1; return true; }
  if (o == Py_False || o == Py_None) { out = 0; return true; }
  if (PyFloat_CheckExact(o)) { out = PyFloat_AS_DOUBLE(o) != 0.0; return true; }
  long long v;
  if (small_int(o, v)) { out = v != 0; return true; }
  return false;
}

// "d": an exact float as it is; a small exact int or a bool converts exactly.
inline bool as_double(PyObject* o, double& out) noexcept {
  if (PyFloat_CheckExact(o)) { out = PyFloat_AS_DOUBLE(o); return true; }
  long long v;
  if (!small_int(o, v)) return false;
  out = static_cast<double>(v);
  return true;
}

// ---------------------------------------------------------------------------
// Exact numpy arrays, read without importing numpy. The leading fields of
// numpy's array and dtype objects have kept this layout through numpy 1.x
// and 2.x; only these fields are read.

struct NpyArray {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

struct NpyDescr {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char former_flags;
  int type_num;
};

constexpr int kNpyInt = 5, kNpyLong = 7, kNpyLongLong = 9, kNpyDouble = 12;
constexpr int kNpyCContiguous = 0x0001, kNpyAligned = 0x0100;

// The type object of numpy.ndarray, remembered the first time an object of
// that type arrives (an import-free cache; the type lives as long as numpy).
PyTypeObject* ndarray_type(PyTypeObject* candidate) noexcept;

inline bool is_exact_ndarray(PyObject* o) noexcept {
  static PyTypeObject* known = nullptr;
  PyTypeObject* t = Py_TYPE(o);
  if (t == known) return true;
  if (known) return false;
  known = ndarray_type(t);
  return t == known;
}

// What the kernel keeps of an array argument: base, byte strides, extents
// and byte length, as a buffer request would report them.
struct ArrayInfo {
  void* base;
  Py_ssize_t len;
  Py_ssize_t strides[2];
  Py_ssize_t shape[2];
};

// An exact ndarray whose buffer would carry the element format the argument
// needs ("i" for int32; "l" or "q" for int64; "d" for float64, native byte
// order, natively aligned) and `Ndim` dimensions. Declines everything else,
// so the buffer request can accept or reject it with its own message.
template <int Ndim, int Shift, bool Int32, bool Double>
[[gnu::always_inline]] inline bool ndarray_view(PyObject* o, ArrayInfo& out) noexcept {
  if (!is_exact_ndarray(o)) return false;
  const NpyArray* a = reinterpret_cast<const NpyArray*>(o);
  if (a->nd != Ndim) return false;
  const NpyDescr* d = reinterpret_cast<const NpyDescr*>(a->descr);
  const int tn = d->type_num;
  const bool type_ok = Int32 ? tn == kNpyInt : Double ? tn == kNpyDouble : (tn == kNpyLong || tn == kNpyLongLong);
  if (!type_ok || (d->byteorder != '=' && d->byteorder != '|')) return false;
  // The buffer of a misaligned array carries a prefixed format: leave it to
  // the buffer request.
  constexpr Py_ssize_t size = Py_ssize_t{1} << Shift;
  Py_ssize_t misaligned = static_cast<Py_ssize_t>(reinterpret_cast<std::uintptr_t>(a->data));
  for (int k = 0; k < Ndim; ++k) misaligned |= a->strides[k];
  if (!(a->flags & kNpyAligned) || (misaligned & (size - 1)) != 0) return false;
  out.base = a->data;
  if constexpr (Ndim == 1) {
    const Py_ssize_t n = a->dimensions[0];
    out.shape[0] = n;
    out.len = n << Shift;
    // The buffer of a C-contiguous array reports the canonical strides (an
    // axis of extent 0 or 1 may hold any stride in the array itself).
    out.strides[0] = (a->flags & kNpyCContiguous) ? size : a->strides[0];
  } else {
    const Py_ssize_t n0 = a->dimensions[0], n1 = a->dimensions[1];
    out.shape[0] = n0;
    out.shape[1] = n1;
    out.len = (n0 * n1) << Shift;
    if (a->flags & kNpyCContiguous) {
      out.strides[0] = n1 * size;
      out.strides[1] = size;
    } else {
      out.strides[0] = a->strides[0];
      out.strides[1] = a->strides[1];
    }
  }
  return true;
}

}  // namespace fast
}  // namespace frag
