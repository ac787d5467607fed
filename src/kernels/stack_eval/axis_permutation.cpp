// Axis permutation of stacked expressions.
#include "module/kernel.hpp"
