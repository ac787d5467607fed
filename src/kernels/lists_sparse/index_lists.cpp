// Index lists, counters and stride tables.
#include "module/kernel.hpp"
