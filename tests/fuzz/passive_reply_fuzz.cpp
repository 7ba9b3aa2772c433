// Fuzz target: the readers of the ports in the server's replies to EPSV
// (229) and PASV (227), ftp/transfer/passive_reply.cpp, built into the target
// alone. The input is one reply line, copied into a buffer of its exact size
// (an overrun shows as a sanitizer report). Each reader's port is checked
// against a plain model of its format: a port read where there is none, or
// missed where there is one, is a finding like a crash.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ftp/transfer/passive_reply.h"

namespace {

constexpr size_t LONGEST = 4096;

bool digit(char c) { return c >= '0' && c <= '9'; }

// The decimal number at `at` with no more than `max` as its value: its value
// and the end of its digits, or -1.
long number(const std::string& s, size_t* at, long max) {
  size_t start = *at;
  long value = 0;
  while (*at < s.size() && digit(s[*at])) {
    value = value * 10 + (s[*at] - '0');
    if (value > max) return -1;
    ++*at;
  }
  return *at == start ? -1 : value;
}

// "(" then d d d port d, d from '!' to '~' and not a digit, at the first '('.
long model_229(const std::string& s) {
  size_t open = s.find('(');
  if (open == std::string::npos || open + 4 >= s.size()) return 0;
  const char d = s[open + 1];
  if (d < '!' || d > '~' || digit(d) || s[open + 2] != d || s[open + 3] != d) return 0;
  size_t at = open + 4;
  long port = number(s, &at, 65535);
  return port > 0 && at < s.size() && s[at] == d ? port : 0;
}

// After the code, from the first digit: six numbers up to 255 joined by a
// comma and any blanks.
long model_227(const std::string& s) {
  if (s.size() <= 3) return 0;
  size_t at = 3;
  while (at < s.size() && !digit(s[at])) ++at;
  long n[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (at >= s.size() || s[at] != ',') return 0;
      ++at;
      while (at < s.size() && s[at] == ' ') ++at;
    }
    if ((n[i] = number(s, &at, 255)) < 0) return 0;
  }
  return n[4] * 256 + n[5];
}

void expect(const char* what, const std::string& line, long got, long wanted) {
  if (got == wanted) return;
  std::fprintf(stderr, "fuzz check failed: %s of '%s': %ld, expected %ld\n", what, line.c_str(),
               got, wanted);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > LONGEST) return 0;
  const std::string line(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<char[]> exact(new char[size]);
  std::memcpy(exact.get(), data, size);
  expect("229", line, extended_port(exact.get(), int32_t(size)), model_229(line));
  expect("227", line, passive_port(exact.get(), int32_t(size)), model_227(line));
  return 0;
}
