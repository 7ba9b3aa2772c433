// vzatl: whether all n bytes of a text equal one character (1) or not (0).
// Bytes are compared as signed characters, so a byte above 0x7F never equals
// a positive character value above 0x7F.
#include "util/util.h"

extern "C" int32_t vzatl(int32_t character, const char* text, int32_t n) {
  for (int32_t i = 0; i < n; ++i)
    if (static_cast<signed char>(text[i]) != character) return 0;
  return 1;
}
