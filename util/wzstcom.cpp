// wzstcom: compares two explicit-length texts as if the shorter were padded
// with blanks. Answers 0 when equal, otherwise the 1-based position of the
// first difference, positive when the first text is greater there.
#include "util/util.h"

extern "C" int32_t wzstcom(const char* a, int32_t a_length, const char* b, int32_t b_length) {
  if (!a || a_length < 0) a_length = 0;
  if (!b || b_length < 0) b_length = 0;
  const auto* ua = reinterpret_cast<const unsigned char*>(a);
  const auto* ub = reinterpret_cast<const unsigned char*>(b);
  int32_t common = a_length < b_length ? a_length : b_length;
  for (int32_t i = 0; i < common; ++i)
    if (ua[i] != ub[i]) return ua[i] > ub[i] ? i + 1 : -(i + 1);
  // The longer text's tail against blanks.
  bool a_longer = a_length > b_length;
  const unsigned char* tail = a_longer ? ua : ub;
  int32_t length = a_longer ? a_length : b_length;
  for (int32_t i = common; i < length; ++i) {
    if (tail[i] == ' ') continue;
    bool above = tail[i] > ' ';
    return above == a_longer ? i + 1 : -(i + 1);
  }
  return 0;
}
