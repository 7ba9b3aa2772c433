// wzstrip: length of a text without its trailing blanks.
#include "util/util.h"

extern "C" int32_t wzstrip(const char* text, int32_t length) {
  while (length > 0 && text[length - 1] == ' ') --length;
  return length < 0 ? 0 : length;
}
