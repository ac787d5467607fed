// Module creation and the method table.

#include "module/binding.hpp"

namespace frag {

namespace {

constexpr int kKernels = 657;

// Filled by the kernel files' static registrations before import; read-only
// afterwards. Constant-initialised, so it is ready before any registration runs.
PyMethodDef g_by_number[kKernels] = {};
int g_duplicate = -1;  // first kernel number registered twice, if any
int g_out_of_range = -1;

// Entry e is _c_closure_(656 - e) where registered; the terminating empty
// entry follows the last one.
PyMethodDef FragmentsMethods[kKernels + 1] = {};

PyModuleDef FragmentsModule = {
    PyModuleDef_HEAD_INIT,
    "fragments",       // name
    "",                // documentation: the empty string
    -1,                // no module state
    FragmentsMethods,  // methods
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

Registration::Registration(int number, const char* name, PyCFunction fn) noexcept {
  if (number < 0 || number >= kKernels) {
    g_out_of_range = number;
    return;
  }
  if (g_by_number[number].ml_name != nullptr && g_duplicate < 0) g_duplicate = number;
  g_by_number[number] = PyMethodDef{name, fn, METH_VARARGS, nullptr};
}

}  // namespace frag

PyMODINIT_FUNC PyInit_fragments(void) {
  using namespace frag;
  if (g_out_of_range >= 0) {
    PyErr_Format(PyExc_ImportError, "fragments: kernel number %d is out of range", g_out_of_range);
    return nullptr;
  }
  if (g_duplicate >= 0) {
    PyErr_Format(PyExc_ImportError, "fragments: kernel %d is registered twice", g_duplicate);
    return nullptr;
  }
  if (FragmentsMethods[0].ml_name == nullptr) {
    int e = 0;
    for (int n = kKernels - 1; n >= 0; --n)
      if (g_by_number[n].ml_name) FragmentsMethods[e++] = g_by_number[n];
    FragmentsMethods[e] = PyMethodDef{nullptr, nullptr, 0, nullptr};
  }
  return PyModule_Create2(&FragmentsModule, 1013);
}
