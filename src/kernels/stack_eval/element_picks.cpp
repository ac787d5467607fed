// Element picks from stacked expressions and index checks.
#include "module/kernel.hpp"
