// Instance-keyed merging, order checks and index products.
#include "module/kernel.hpp"
