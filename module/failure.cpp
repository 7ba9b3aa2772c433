// Handing failure texts to the host (see module/failure.h).
#include "module/failure.h"

#include <cerrno>
#include <cstring>

#include "module/status.h"
#include "util/util.h"

int32_t hand_over_failure_text(char* text, int32_t length) {
  length = length < 0 ? 0 : min(length, FAILURE_TEXT_MAX);
  text[length] = '\0';
  wrmksub(1, text, length + 1);
  return st::FAILED;
}

extern "C" int32_t yxtzsub(int32_t status) {
  int error = errno;
  const char* text = std::strerror(error);
  char number[8];
  if (!text) {
    wzfmhc(&error, 4, 4, 0, number);
    number[4] = '\0';
    text = number;
  }
  wrmksub(1, text, wzstlen(text) + 1);
  return status;
}
