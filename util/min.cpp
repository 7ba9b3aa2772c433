// min: the smaller of two signed words; the first when they are equal.
#include "util/util.h"

extern "C" int32_t min(int32_t a, int32_t b) { return a <= b ? a : b; }
