// Everything a kernel file needs: views, arithmetic helpers and FRAG_KERNEL.
#pragma once

#include "module/arith.hpp"
#include "module/binding.hpp"
#include "module/views.hpp"

namespace frag {
using i32 = std::int32_t;
using i64 = std::int64_t;
using f64 = double;
}  // namespace frag
