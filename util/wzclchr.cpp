// wzclchr: a signed integer as right-justified decimal text in a field of
// `width` bytes, blank-filled on the left. A value that does not fit (digits
// or sign) fills the field with asterisks and answers 0x8000200D.
#include "module/status.h"
#include "util/util.h"

extern "C" int32_t wzclchr(int32_t value, char* field, int32_t width) {
  bool negative = value < 0;
  // The magnitude of the most negative value is one more than any positive int.
  uint32_t magnitude = negative ? 0u - uint32_t(value) : uint32_t(value);
  int32_t pos = width - 1;
  do {
    if (pos < 0) break;
    field[pos--] = char('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (magnitude != 0 || (negative && pos < 0)) {
    for (int32_t i = 0; i < width; ++i) field[i] = '*';
    return st::FIELD_OVERFLOW;
  }
  if (negative) field[pos--] = '-';
  while (pos >= 0) field[pos--] = ' ';
  return st::OK;
}
