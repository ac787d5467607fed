// Dense blocks, index runs and stride tables.
#include "module/kernel.hpp"
