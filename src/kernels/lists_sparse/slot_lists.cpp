// Linked lists of numbered slots.
#include "module/kernel.hpp"
