// Sparse triplet kernels.
#include "module/kernel.hpp"
