// wzstlen: length of a NUL-terminated text; a null pointer has length 0.
#include "util/util.h"

extern "C" int32_t wzstlen(const char* text) {
  if (!text) return 0;
  int32_t n = 0;
  while (text[n]) ++n;
  return n;
}
