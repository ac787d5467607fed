// The out-of-line parts of the calling convention: error messages, buffer
// requests and arrays of int32 arrays. Only failure paths and the rare
// array-of-arrays argument live here; the per-call path is in binding.hpp.
#include <cstdio>
#include <cstdlib>

#include "module/binding.hpp"

namespace frag {

void set_array_error(const char* names, int index) {
  // Find word `index` of the space-separated names.
  const char* p = names;
  for (int w = 0;; ++w) {
    while (*p == ' ') ++p;
    const char* e = p;
    while (*e && *e != ' ') ++e;
    if (w == index || !*e) {
      char msg[160];
      std::snprintf(msg, sizeof msg, "Invalid array shape or type for argument '%.*s'",
                    static_cast<int>(e - p), p);
      PyErr_SetString(PyExc_ValueError, msg);
      return;
    }
    p = e;
  }
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

void set_kernel_error(const KernelError& e) {
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
  }
}

bool Cell<ArrayList>::convert_as(const char* names, int& index, bool none_allowed) {
  int me = index++;
  if (none_allowed && slot == Py_None) return true;
  if (!get_buffer(slot, &outer)) return false;
  outer_held = true;
  if (outer.ndim != 1 || outer.format == nullptr || std::strcmp(outer.format, "O") != 0) {
    set_array_error(names, me);
    return false;
  }
  if (outer.len < 8) return true;  // empty
  std::ptrdiff_t count = outer.len / 8;
  bufs = static_cast<Py_buffer*>(std::calloc(static_cast<std::size_t>(count), sizeof(Py_buffer)));
  items = static_cast<Vec<std::int32_t>*>(std::calloc(static_cast<std::size_t>(count), sizeof(Vec<std::int32_t>)));
  if (!bufs || !items) {
    PyErr_NoMemory();
    return false;
  }
  n = count;
  // References lie consecutively from the buffer base; the outer stride is not used.
  PyObject** refs = static_cast<PyObject**>(outer.buf);
  for (std::ptrdiff_t i = 0; i < count; ++i) {
    PyObject* el = refs[i];
    if (el == Py_None) continue;
    Py_buffer* b = &bufs[i];
    if (!get_buffer(el, b)) {  // the interpreter's error for this entry stands
      b->obj = nullptr;
      return false;
    }
    if (b->ndim != 1 || !ElemFormat<std::int32_t>::ok(b->format)) {
      PyBuffer_Release(b);
      b->obj = nullptr;
      set_array_error(names, me);
      return false;
    }
    items[i].base = static_cast<std::int32_t*>(b->buf);
    items[i].stride = b->strides[0] >> 2;
    items[i].count = b->len >> 2;
  }
  return true;
}

void Cell<ArrayList>::release() {
  if (bufs) {
    for (std::ptrdiff_t i = 0; i < n; ++i)
      if (bufs[i].obj) PyBuffer_Release(&bufs[i]);
    std::free(bufs);
    bufs = nullptr;
  }
  std::free(items);
  items = nullptr;
  n = 0;
  if (outer_held) {
    PyBuffer_Release(&outer);
    outer_held = false;
  }
}

}  // namespace frag
