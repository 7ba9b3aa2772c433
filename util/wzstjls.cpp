// wzstjls: justifies the non-blank text of a blank-padded field to the left
// ("L"), right ("R") or centre ("C"), either case; any other letter leaves it
// where it is. Reports the text's length and its new offset.
#include <cstring>

#include "util/util.h"

extern "C" void wzstjls(char* field, int32_t width, int32_t mode, int32_t* text_length_out,
                        int32_t* offset_out) {
  int32_t lead = 0;
  while (lead < width && field[lead] == ' ') ++lead;
  if (width <= 0 || lead >= width) {
    if (text_length_out) *text_length_out = 0;
    if (offset_out) *offset_out = 0;
    return;
  }
  int32_t last = width - 1;
  while (field[last] == ' ') --last;
  int32_t t = last - lead + 1;
  int32_t offset = lead;
  switch (mode) {
    case 'C': case 'c': offset = width - (t + width + 1) / 2; break;
    case 'L': case 'l': offset = 0; break;
    case 'R': case 'r': offset = width - t; break;
    default: break;
  }
  if (offset != lead) {
    std::memmove(field + offset, field + lead, size_t(t));
    std::memset(field, ' ', size_t(offset));
    std::memset(field + offset + t, ' ', size_t(width - offset - t));
  }
  if (text_length_out) *text_length_out = t;
  if (offset_out) *offset_out = offset;
}
