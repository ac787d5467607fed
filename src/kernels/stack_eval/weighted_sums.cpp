// Weighted sums of stacked expressions and products with a scalar.
#include "module/kernel.hpp"
