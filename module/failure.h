// The one way the module explains a failure to the host: a text handed over
// with wrmksub (kind 1) just before the failure status is returned, which the
// host shows with the status. Either a numbered message of group 566 with its
// inserts (report_message) or the system's text for errno (yxtzsub).
#pragma once
#include <cstdint>

#include "hostsvc/hostsvc.h"
#include "module/msgno.h"

// The longest text handed over, without its NUL.
constexpr int32_t FAILURE_TEXT_MAX = 255;

// Hands `length` characters of `text` (cut to FAILURE_TEXT_MAX; `text` holds
// one more byte) to the host. Returns FAILED.
int32_t hand_over_failure_text(char* text, int32_t length);

// Formats message `number` of group 566 with its inserts and hands it over.
// Returns FAILED, for callers that fail with it.
template <typename... Inserts>
int32_t report_message(int32_t number, Inserts... inserts) {
  char text[FAILURE_TEXT_MAX + 1];
  return hand_over_failure_text(
      text, ypmstr(text, FAILURE_TEXT_MAX, msg::GROUP, number, inserts...));
}

extern "C" {
// Hands the system's text for errno (or errno's number in hex when it has
// none) to the host. Returns `status`.
int32_t yxtzsub(int32_t status);
}
