// vzmp: move with blank padding. Copies at most target_length bytes and fills
// the rest of the target with blanks; the areas may overlap.
#include <cstring>

#include "util/util.h"

extern "C" void vzmp(const void* source, int32_t source_length, void* target,
                     int32_t target_length) {
  if (target_length <= 0) return;
  int32_t n = source_length < 0 ? 0 : source_length;
  if (n > target_length) n = target_length;
  if (n > 0) std::memmove(target, source, size_t(n));
  if (n < target_length) std::memset(static_cast<char*>(target) + n, ' ', size_t(target_length - n));
}
