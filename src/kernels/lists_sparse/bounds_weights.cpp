// Bounds, weights, sums and products.
#include "module/kernel.hpp"
