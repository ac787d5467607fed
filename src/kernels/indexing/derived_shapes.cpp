// Shapes derived from a shape: aligned to more axes, reversed, with two axes
// exchanged or one axis removed, and products of leading or trailing extents
// (sizes of blocks and strides of axes), in 32-bit arithmetic.
#include <cstddef>

#include "kernels/extents.hpp"

namespace frag {
namespace {

// A shape aligned to nd axes on the right, as broadcasting aligns shapes.
// With m the length of shape, realshape[k] = shape[k - (nd - m)] for k < nd,
// and 1 where that index is negative (new leading unit axes); with m > nd the
// last nd extents are kept. nd: number of axes of realshape.
void aligned_shape(i32 nd, Vec<i32> realshape, Vec<i32> shape) {
  const i64 lead = i64{nd} - shape.count;
  for (i64 k = 0; k < nd; ++k) realshape[k] = k < lead ? 1 : shape[k - lead];
}
FRAG_KERNEL(205, "iOO", aligned_shape, "realshape shape");

// The shape of the full transposition: rshape[k] = shape[nd - 1 - k] for
// k < nd. nd: number of axes.
void reversed_shape(i32 nd, Vec<i32> rshape, Vec<i32> shape) {
  for (i32 k = 0; k < nd; ++k) rshape[k] = shape[nd - 1 - k];
}
FRAG_KERNEL(155, "iOO", reversed_shape, "rshape shape");

// The shape with axes a and b exchanged: every extent of shape (as many as
// it holds) copied to rshape, those of a and b trading places.
void swapped_shape(i32 a, i32 b, Vec<i32> rshape, Vec<i32> shape) {
  for (std::ptrdiff_t t = 0; t < shape.count; ++t) rshape[t] = shape[t == a ? b : t == b ? a : t];
}
FRAG_KERNEL(154, "iiOO", swapped_shape, "rshape shape");

// The shape with axis a removed: the extents of shape (as many as it holds)
// but the one of axis a, in order, into rshape.
void shape_without_axis(i32 a, Vec<i32> rshape, Vec<i32> shape) {
  std::ptrdiff_t at = 0;
  for (std::ptrdiff_t t = 0; t < shape.count; ++t)
    if (t != a) rshape[at++] = shape[t];
}
FRAG_KERNEL(150, "iOO", shape_without_axis, "rshape shape");

// p times the extents of the first n axes (p itself for n <= 0).
i32 head_product(i32 n, i32 p, Vec<i32> shape) { return extents::product(p, shape, 0, i64{n} - 1); }
FRAG_KERNEL(204, "iiO", head_product, "shape");
FRAG_KERNEL(65, "iiO", head_product, "shape");
FRAG_KERNEL(52, "iiO", head_product, "shape");

// p times the extents of the first n axes, the start given first.
i32 head_product_from(i32 p, i32 n, Vec<i32> shape) { return head_product(n, p, shape); }
FRAG_KERNEL(162, "iiO", head_product_from, "shape");

// p times the extents of the axes after a (as many as shape holds): p times
// the row-major stride of axis a.
i32 tail_product(i32 a, i32 p, Vec<i32> shape) { return extents::product(p, shape, i64{a} + 1, shape.count - 1); }
FRAG_KERNEL(158, "iiO", tail_product, "shape");

// The same, the start given first.
i32 tail_product_from(i32 p, i32 a, Vec<i32> shape) { return tail_product(a, p, shape); }
FRAG_KERNEL(148, "iiO", tail_product_from, "shape");

}  // namespace
}  // namespace frag
