// Symmetric part S = (E + E^T)/2 of a sparse stacked expression E along two
// axes a < b of equal extent. A linear index v = x0*S0 + a*S1 + m*S2 + b*S3
// + p (S0..S3 from the int64 stride record) mirrors to x0*S0 + b*S1 + m*S2
// + a*S3 + p. The host sorts E's elements by mirrored index (a stable
// counting sort by digits), writes the mirrored indices in that order, sizes
// the result, and merges the two ascending runs: diagonal elements are
// copied unchanged, every other stored position of S gets half of E there
// and half of E at the mirror, whichever are stored.
#include <tuple>

#include "kernels/stack_eval/programs.hpp"

namespace frag {
namespace {

using stack::Run;

// Four passes of a stable counting sort of the order run by key digits,
// least significant first; each pass that runs swaps the source and
// destination runs. Returns (run holding the order, the other run).
std::tuple<i32, i32> sort_by_digits(i32 src, Vec<i32> dim, i32 n, Vec<i32> sortidx, i32 off_keys, Vec<i64> stride,
                                    i32 dst, Vec<i64> wi64, Vec<i32> xi32, i32 off_count) {
  const Run<i64> keys(wi64, off_keys);
  const Run<i32> count(xi32, off_count);
  for (i32 d = 0; d < 4; ++d) {
    const i32 ax = sortidx[d];
    const i32 r = dim[ax];
    const i64 s = stride[ax];
    if (r < 2) continue;
    const Run<i32> from(xi32, src), to(xi32, dst);
    auto digit = [&](i32 k) { return static_cast<std::ptrdiff_t>(irem(idiv(keys[from[k]], s), r)); };
    for (i32 c = 0; c <= r; ++c) count[c] = 0;
    for (i32 k = 0; k < n; ++k) count[digit(k) + 1] = count[digit(k) + 1] + 1;
    for (i32 c = 0; c < r; ++c) count[c + 1] = count[c + 1] + count[c];
    for (i32 k = 0; k < n; ++k) {
      const std::ptrdiff_t c = digit(k);
      to[count[c]] = from[k];
      count[c] = count[c] + 1;
    }
    std::swap(src, dst);
  }
  return {src, dst};
}
FRAG_KERNEL(569, "iOiOiOiOOi", sort_by_digits, "dim sortidx stride wi64 xi32");

// The index of v with the coordinates along a and b exchanged.
inline i64 mirror(i64 v, Vec<i64> stride) FRAG_NOEXCEPT {
  const i64 S0 = stride[0], S1 = stride[1], S2 = stride[2], S3 = stride[3];
  const i64 r0 = irem(v, S0), q1 = idiv(r0, S1), r1 = irem(r0, S1), r2 = irem(r1, S2), q3 = idiv(r2, S3),
            r3 = irem(r2, S3);
  return v + r1 - r0 - r2 + S3 * q1 + r3 + S1 * q3;
}

// Whether index v lies on the diagonal (equal coordinates along a and b).
inline bool on_diagonal(i64 v, Vec<i64> stride) FRAG_NOEXCEPT {
  return idiv(irem(v, stride[0]), stride[1]) == idiv(irem(v, stride[2]), stride[3]);
}

// Writes the mirrored linear index of each of n stored elements, taken in the
// order at off_order on the X stack, to the X stack at off_mirror.
void mirrored_indices(i32 off_order, i32 n, i32 off_sp, Vec<i64> stride, Vec<i64> wi64, Vec<i32> xi32,
                      Vec<i64> xi64, i32 off_mirror) {
  const Run<i32> order(xi32, off_order);
  const Run<i64> sp(wi64, off_sp), out(xi64, off_mirror);
  for (i32 k = 0; k < n; ++k) out[k] = mirror(sp[order[k]], stride);
}
FRAG_KERNEL(571, "iiiOOOOi", mirrored_indices, "stride wi64 xi32 xi64");

// Distinct values of the union of two ascending runs of n values each.
i32 union_count(i32 n, i32 count, i32 off_sp, Vec<i64>, Vec<i64> wi64, Vec<i64> xi64, i32 off_mirror) {
  const Run<i64> a(wi64, off_sp), b(xi64, off_mirror);
  i32 i = 0, j = 0;
  while (i < n || j < n) {
    count = add32(count, 1);
    const bool ai = i < n, bj = j < n;
    const i64 ka = ai ? a[i] : 0, kb = bj ? b[j] : 0;
    const bool step_a = ai && (!bj || ka <= kb);
    const bool step_b = bj && (!ai || kb <= ka);
    i += step_a;
    j += step_b;
  }
  return count;
}
FRAG_KERNEL(572, "iiiOOOi", union_count, "stride wi64 xi64");

// Terms (and, with programs, an upper bound of program positions) of S.
std::tuple<i32, i32> symmetric_sizes(i32 op_pptr, i32 flag, i32 n, i32 op_ptr, i32 P, i32 T, i32 off_sp,
                                     Vec<i64> stride, Vec<i32> wi32, Vec<i64> wi64) {
  const Run<i32> ptr(wi32, op_ptr), pptr(wi32, op_pptr);
  const Run<i64> sp(wi64, off_sp);
  for (i32 e = 0; e < n; ++e) {
    const i32 a = ptr[e], b = ptr[e + 1];
    const i32 m = sub32(b, a);
    if (flag < 1) {
      T = add32(T, on_diagonal(sp[e], stride) ? m : mul32(2, m));
    } else {
      T = add32(T, mul32(2, m));
      P = add32(P, mul32(2, add32(sub32(pptr[b], pptr[a]), mul32(2, m))));
    }
  }
  return {P, T};
}
FRAG_KERNEL(570, "iiiiiiiOOO", symmetric_sizes, "stride wi32 wi64");

// Merge pass of the symmetric part of a sparse two-axis expression: merges its
// ascending stored indices with their ascending mirrors onto the R stack,
// diagonal elements unchanged and every other position half of each side;
// returns the final (P, E, i, j, T).
std::tuple<i32, i32, i32, i32, i32> symmetric_merge(
    i32 op_pconst, i32 op_pwords, i32 P, i32 op_pptr, i32 op_cof, i32 off_order, i32 E, i32 i, i32 j, i32 n,
    i32 op_nidxs, i32 T, i32 op_ptr, i32 res_pconst, i32 res_pwords, i32 res_pptr, i32 res_cof, Vec<f64> rf64,
    Vec<i32> ri32, Vec<i64> ri64, i32 flag, i32 res_nidxs, i32 res_ptr, i32 res_sp, i32 off_sp, Vec<i64> stride,
    Vec<f64> wf64, Vec<i32> wi32, Vec<i64> wi64, Vec<i32> xi32, Vec<i64> xi64, i32 off_mirror) {
  const bool programs = stack::has_programs(flag);
  const stack::Blocks op =
      stack::blocks_at(wi32, wi64, wf64, op_ptr, op_nidxs, op_cof, op_pptr, op_pwords, op_pconst, programs);
  const stack::Blocks res =
      stack::blocks_at(ri32, ri64, rf64, res_ptr, res_nidxs, res_cof, res_pptr, res_pwords, res_pconst, programs);
  const Run<i64> sp(wi64, off_sp), mirrored(xi64, off_mirror), rsp(ri64, res_sp);
  const Run<i32> order(xi32, off_order);
  // Appends the terms of element e, halved or as they are.
  auto append = [&](i32 e, bool half) {
    for (i32 t = op.ptr[e], end = op.ptr[e + 1]; t < end; ++t) {
      res.nidxs[T] = op.nidxs[t];
      res.cof[T] = half ? op.cof[t] * 0.5 : op.cof[t];
      if (programs) {
        P = program::copy_positions(op.words, op.consts, op.pptr[t], op.pptr[t + 1], res.words, res.consts, P);
        if (half) {
          res.words[P] = stack::kPushConst;
          res.consts[P] = 0.5;
          res.words[P + 1] = stack::kMultiply;
          P = add32(P, 2);
        }
        res.pptr[add32(T, 1)] = P;
      }
      T = add32(T, 1);
    }
  };
  while (i < n || j < n) {
    const bool has_e = i < n, has_t = j < n;
    const i64 kE = has_e ? sp[i] : 0, kT = has_t ? mirrored[j] : 0;
    i64 key;
    if (has_e && (!has_t || kE < kT)) {
      append(i, true);
      key = kE;
      ++i;
    } else if (has_t && (!has_e || kT < kE)) {
      append(order[j], true);
      key = kT;
      ++j;
    } else {
      if (on_diagonal(kE, stride)) {
        append(i, false);
      } else {
        append(i, true);
        append(order[j], true);
      }
      key = kE;
      ++i;
      ++j;
    }
    res.ptr[add32(E, 1)] = T;
    rsp[E] = key;
    E = add32(E, 1);
  }
  return {P, E, i, j, T};
}
FRAG_KERNEL(574, "iiiiiiiiiiiiiiiiiOOOiiiiiOOOOOOi", symmetric_merge, "rf64 ri32 ri64 stride wf64 wi32 wi64 xi32 xi64");

}  // namespace
}  // namespace frag
