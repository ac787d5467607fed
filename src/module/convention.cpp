// The out-of-line parts of the calling convention: error messages, buffer
// requests and arrays of int32 arrays. Only failure paths and the rare
// array-of-arrays argument live here; the per-call path is in binding.hpp.
#include <cstdio>
#include <cstdlib>

#include "module/binding.hpp"

namespace frag {

namespace {

// Word `index` of the space-separated names (the last word if there are
// fewer), as its start and length.
void name_word(const char* names, int index, const char*& start, int& length) {
  const char* p = names;
  for (int w = 0;; ++w) {
    while (*p == ' ') ++p;
    const char* e = p;
    while (*e && *e != ' ') ++e;
    if (w == index || !*e) {
      start = p;
      length = static_cast<int>(e - p);
      return;
    }
    p = e;
  }
}

}  // namespace

void set_array_error(const char* names, int index) {
  const char* name;
  int length;
  name_word(names, index, name, length);
  char msg[160];
  std::snprintf(msg, sizeof msg, "Invalid array shape or type for argument '%.*s'", length, name);
  PyErr_SetString(PyExc_ValueError, msg);
}

bool get_buffer(PyObject* obj, Py_buffer* view) {
  if (PyObject_GetBuffer(obj, view, PyBUF_FULL_RO) == 0) return true;
  // Report what a memoryview of this object reports.
  PyErr_Clear();
  PyObject* mv = PyMemoryView_FromObject(obj);
  if (mv) {  // cannot happen for a consistent exporter
    Py_DECREF(mv);
    PyErr_SetString(PyExc_BufferError, "the argument's buffer could not be acquired");
  }
  return false;
}

void set_kernel_error(const KernelError& e) { set_kernel_error(e, nullptr); }

void set_kernel_error(const KernelError& e, const char* kernel) {
  if (!kernel) kernel = "fragments";
  switch (e.kind) {
    case ErrorKind::Value:
      PyErr_SetString(PyExc_ValueError, e.message);
      break;
    case ErrorKind::Overflow:
      PyErr_SetString(PyExc_OverflowError, e.message);
      break;
    case ErrorKind::Memory:
      PyErr_NoMemory();
      break;
    case ErrorKind::Index: {
      // A view made inside a kernel rather than from an argument has no name.
      const char* name = "?";
      int length = 1;
      if (e.names) name_word(e.names, e.arg, name, length);
      char msg[256];
      if (e.matrix)
        std::snprintf(msg, sizeof msg,
                      "%s: index (%lld, %lld) is out of range for argument '%.*s' of %lld x %lld elements", kernel,
                      static_cast<long long>(e.i), static_cast<long long>(e.j), length, name,
                      static_cast<long long>(e.n), static_cast<long long>(e.m));
      else
        std::snprintf(msg, sizeof msg, "%s: index %lld is out of range for argument '%.*s' of %lld elements",
                      kernel, static_cast<long long>(e.i), length, name, static_cast<long long>(e.n));
      PyErr_SetString(PyExc_IndexError, msg);
      break;
    }
    case ErrorKind::ZeroDivision:
      PyErr_Format(PyExc_ZeroDivisionError, "%s: %s", kernel, e.message);
      break;
  }
}

bool Cell<ArrayList>::convert_as(const char* names, int& index, bool none_allowed) {
  int me = index++;
#if FRAG_CHECKED
  name = ViewName{names, me};
#endif
  if (none_allowed && slot == Py_None) return true;
  if (!outer.acquire(slot)) return false;
  const Py_buffer& ob = outer.view();
  if (ob.ndim != 1 || ob.format == nullptr || std::strcmp(ob.format, "O") != 0) {
    set_array_error(names, me);
    return false;
  }
  if (ob.len < 8) return true;  // empty
  std::ptrdiff_t count = ob.len / 8;
  // Zero-filled: an entry not (yet) acquired holds nothing to release.
  bufs = static_cast<HeldBuffer*>(std::calloc(static_cast<std::size_t>(count), sizeof(HeldBuffer)));
  items = static_cast<Vec<std::int32_t>*>(std::calloc(static_cast<std::size_t>(count), sizeof(Vec<std::int32_t>)));
  if (!bufs || !items) {
    PyErr_NoMemory();
    return false;
  }
  n = count;
  // References lie consecutively from the buffer base; the outer stride is not used.
  PyObject** refs = static_cast<PyObject**>(ob.buf);
  for (std::ptrdiff_t i = 0; i < count; ++i) {
    PyObject* el = refs[i];
#if FRAG_CHECKED
    items[i].name = ViewName{names, me};
#endif
    if (el == Py_None) continue;
    HeldBuffer& h = bufs[i];
    if (!h.acquire(el)) return false;  // the interpreter's error for this entry stands
    const Py_buffer& b = h.view();
    if (b.ndim != 1 || !ElemFormat<std::int32_t>::ok(b.format)) {
      set_array_error(names, me);
      return false;  // released with the cell
    }
    items[i].base = static_cast<std::int32_t*>(b.buf);
    items[i].stride = b.strides[0] >> 2;
    items[i].count = b.len >> 2;
  }
  return true;
}

void Cell<ArrayList>::release() {
  if (bufs) {
    for (std::ptrdiff_t i = 0; i < n; ++i) bufs[i].release();
    std::free(bufs);
    bufs = nullptr;
  }
  std::free(items);
  items = nullptr;
  n = 0;
  outer.release();
}

namespace fast {

PyTypeObject* ndarray_type(PyTypeObject* t) noexcept {
  if (std::strcmp(t->tp_name, "numpy.ndarray") != 0) return nullptr;
  if (t->tp_basicsize < static_cast<Py_ssize_t>(sizeof(NpyArray)) || t->tp_as_buffer == nullptr) return nullptr;
  Py_INCREF(reinterpret_cast<PyObject*>(t));  // kept for the life of the process
  return t;
}

}  // namespace fast

}  // namespace frag
