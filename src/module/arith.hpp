// Fixed-width arithmetic with the host's wrap-around: sums and products that
// the host takes modulo 2^32 or 2^64 are computed unsigned and converted back,
// so overflow is defined behaviour.
#pragma once

#include <cstdint>

#include "module/faults.hpp"

namespace frag {

constexpr std::int32_t add32(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
constexpr std::int32_t sub32(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
constexpr std::int32_t mul32(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}
constexpr std::int64_t add64(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t sub64(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
constexpr std::int64_t mul64(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}
// Low 32 bits of a 64-bit value, as a signed 32-bit value.
constexpr std::int32_t low32(std::int64_t a) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(a)));
}


// Index division and remainder, signed and truncating toward zero, for
// divisors the caller supplies (its scalars or its arrays). The caller
// guarantees a nonzero divisor; the checked build tests it and raises
// ZeroDivisionError. The usual arithmetic conversions of a / b apply.
template <class A, class B>
constexpr auto idiv(A a, B b) FRAG_NOEXCEPT -> decltype(a / b) {
#if FRAG_CHECKED
  if (b == 0) [[unlikely]] zero_divisor();
#endif
  return a / b;
}
template <class A, class B>
constexpr auto irem(A a, B b) FRAG_NOEXCEPT -> decltype(a % b) {
#if FRAG_CHECKED
  if (b == 0) [[unlikely]] zero_divisor();
#endif
  return a % b;
}

}  // namespace frag
