// Compressed-row construction and transposition.
#include "module/kernel.hpp"
