// wzstndx: 0-based offset of the first occurrence of a pattern that lies wholly
// inside the buffer, or -1. An empty pattern matches at 0; a negative pattern
// length means the pattern is NUL-terminated.
#include <cstring>

#include "util/util.h"

extern "C" int32_t wzstndx(const char* buffer, int32_t buffer_length, const char* pattern,
                           int32_t pattern_length) {
  if (pattern_length == 0 || (pattern_length < 0 && !pattern)) return 0;
  if (pattern_length < 0) pattern_length = wzstlen(pattern);
  if (pattern_length == 0) return 0;
  if (buffer_length <= 0 || pattern_length > buffer_length) return -1;
  const char first = pattern[0];
  for (int32_t i = 0; i <= buffer_length - pattern_length; ++i) {
    const void* hit = std::memchr(buffer + i, first, size_t(buffer_length - pattern_length - i + 1));
    if (!hit) return -1;
    i = int32_t(static_cast<const char*>(hit) - buffer);
    if (std::memcmp(buffer + i, pattern, size_t(pattern_length)) == 0) return i;
  }
  return -1;
}
