// wzstrpq: removes the enclosing quotes of a quoted text in place. The first
// byte is the quote character, the last the closing quote; a doubled quote
// character inside stands for one. Answers the unquoted length; the text is
// NUL-terminated after it.
#include "util/util.h"

extern "C" int32_t wzstrpq(char* text, int32_t length) {
  if (length < 2) {  // not a quoted text: nothing between quotes
    if (length > 0) text[0] = '\0';
    return 0;
  }
  const char quote = text[0];
  const int32_t end = length - 1;  // the closing quote
  text[end] = '\0';
  int32_t out = 0;
  for (int32_t in = 1; in < end; ++in) {
    text[out++] = text[in];
    if (text[in] == quote && in + 1 < end && text[in + 1] == quote) ++in;
  }
  text[out] = '\0';
  return out;
}
