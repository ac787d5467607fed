// Coefficient programs: the parameter table kernels and the program evaluator.
#include "module/kernel.hpp"
