// Shape padding and row-pointer passes.
#include "module/kernel.hpp"
