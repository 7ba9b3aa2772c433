// Reading the port out of a 229 or 227 reply.
#include "ftp/transfer/passive_reply.h"

#include <cstring>

namespace {

constexpr int32_t CODE_LENGTH = 3;
constexpr int32_t PORT_MAX = 65535;
constexpr int32_t BYTE_MAX = 255;
constexpr int PASSIVE_NUMBERS = 6;  // h1,h2,h3,h4,p1,p2

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the decimal number at *at (before `end`) and moves past it; -1 when
// there is no digit or the number exceeds `max`.
int32_t number_at(const char*& at, const char* end, int32_t max) {
  if (at >= end || !is_digit(*at)) return -1;
  int32_t value = 0;
  for (; at < end && is_digit(*at); ++at) {
    value = value * 10 + (*at - '0');
    if (value > max) return -1;
  }
  return value;
}

}  // namespace

int32_t extended_port(const char* line, int32_t length) {
  if (length <= 0) return 0;
  const char* end = line + length;
  const auto* open = static_cast<const char*>(std::memchr(line, '(', size_t(length)));
  if (!open || end - open < 5) return 0;
  const char delimiter = open[1];
  if (delimiter < '!' || delimiter > '~' || is_digit(delimiter)) return 0;
  if (open[2] != delimiter || open[3] != delimiter) return 0;
  const char* at = open + 4;
  int32_t port = number_at(at, end, PORT_MAX);
  if (port <= 0 || at >= end || *at != delimiter) return 0;
  return port;
}

int32_t passive_port(const char* line, int32_t length) {
  if (length <= CODE_LENGTH) return 0;
  const char* end = line + length;
  const char* at = line + CODE_LENGTH;
  while (at < end && !is_digit(*at)) ++at;
  int32_t numbers[PASSIVE_NUMBERS];
  for (int i = 0; i < PASSIVE_NUMBERS; ++i) {
    if (i > 0) {
      if (at >= end || *at != ',') return 0;
      for (++at; at < end && *at == ' ';) ++at;
    }
    numbers[i] = number_at(at, end, BYTE_MAX);
    if (numbers[i] < 0) return 0;
  }
  return numbers[4] * 256 + numbers[5];
}
