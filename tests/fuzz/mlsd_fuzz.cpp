// Fuzz target: the MLSD line reader. The input is one line, copied into a
// buffer of its exact size (an overrun shows as a sanitizer report). What it
// reads must hold together: a name inside the line, after its first blank,
// never empty; a size that is not negative; a time that reads back as the
// same calendar second.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ftp/transfer/facts_parse.h"

namespace {
constexpr size_t LONGEST = 8192;

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > LONGEST) return 0;
  std::unique_ptr<char[]> line(new char[size ? size : 1]);
  std::memcpy(line.get(), data, size);
  MlsdEntry entry;
  if (!parse_mlsd_line(line.get(), int32_t(size), &entry)) return 0;
  const char* end = line.get() + size;
  check(entry.name > line.get() && entry.name + entry.name_length == end, "name inside the line");
  check(entry.name_length > 0, "a name");
  check(entry.name[-1] == ' ' && !std::memchr(line.get(), ' ', size_t(entry.name - 1 - line.get())),
        "name after the first blank");
  check(!entry.size_known || entry.size >= 0, "a size not negative");
  if (entry.modified_known) {
    // 0000-01-01 to 9999-12-31: the range four digits of year allow.
    check(entry.modified >= -62167219200LL && entry.modified <= 253402300800LL, "a time in range");
  }
  return 0;
}
