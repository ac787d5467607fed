// Sorting, searching and multi-index stepping.
#include "module/kernel.hpp"
