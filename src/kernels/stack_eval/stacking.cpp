// Stacking stacked expressions along an axis.
#include "module/kernel.hpp"
