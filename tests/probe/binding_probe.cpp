// A stand-alone module that exercises the calling convention with argument
// kinds no kernel of this build may use yet (arrays of int32 arrays,
// matrices, not-None arrays). Compiled by the tests with convention.cpp.
#include "module/binding.hpp"

namespace {

using frag::ArrayList;
using frag::Mat;
using frag::Required;
using frag::Vec;

// For each entry of `shapes`: counts[i] = its element count (-1 for None),
// sums[i] = the sum of its elements read through its stride. Returns the
// number of entries.
std::int32_t describe_lists(Vec<std::int32_t> counts, ArrayList shapes, Vec<std::int64_t> sums) {
  for (std::ptrdiff_t i = 0; i < shapes.count; ++i) {
    const Vec<std::int32_t>& s = shapes[i];
    counts[i] = s.base ? s.n32() : -1;
    std::int64_t total = 0;
    for (std::ptrdiff_t k = 0; k < s.count; ++k) total += s[k];
    sums[i] = total;
  }
  return shapes.n32();
}

// r[0] plus the sum of m(i, j) * (i + 1) * 10^j over the matrix: every
// entry weighed by where the view says it lies.
std::int64_t weigh_matrix(Mat<std::int64_t> m, Required<Vec<std::int32_t>> r) {
  std::int64_t total = r[0];
  for (std::int32_t i = 0; i < m.rows; ++i) {
    std::int64_t col = 1;
    for (std::int32_t j = 0; j < m.cols; ++j, col *= 10) total += m(i, j) * (i + 1) * col;
  }
  return total;
}

std::tuple<std::int32_t, std::int32_t> matrix_extents(Mat<std::int64_t> m) { return {m.rows, m.cols}; }

PyMethodDef methods[] = {
    {"describe_lists", &frag::entry<frag::Lit{"OOO"}, &describe_lists, frag::Lit{"counts shapes sums"}>,
     METH_VARARGS, nullptr},
    {"weigh_matrix", &frag::entry<frag::Lit{"OO"}, &weigh_matrix, frag::Lit{"mx r"}>, METH_VARARGS, nullptr},
    {"matrix_extents", &frag::entry<frag::Lit{"O"}, &matrix_extents, frag::Lit{"mx"}>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef probe = {PyModuleDef_HEAD_INIT, "binding_probe", "", -1, methods,
                     nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_binding_probe(void) { return PyModule_Create(&probe); }
