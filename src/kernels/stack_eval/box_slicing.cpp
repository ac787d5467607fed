// Box slicing of stacked expressions.
#include "module/kernel.hpp"
