// Fuzz target: the shell-style name matcher of the MGET fallback. The input
// is a pattern and a name separated by the first NUL byte. Both are copied
// into buffers of their exact size (an overrun shows as a sanitizer report),
// and the result is checked against the C library's fnmatch with FNM_PERIOD
// where both agree on the pattern's meaning: no backslashes, no character
// classes ([: [= [.), no unclosed brackets, no NUL in the name.
#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ftp/transfer/glob.h"

namespace {
constexpr size_t LONGEST = 512;  // pattern and name each: time stays pattern × name

// A '[' with no ']' to close it stands for itself; the C library's fnmatch
// does not always agree (it refuses "x[a-" for the name "x[a-"), so such
// patterns are left out of the comparison.
bool brackets_closed(const std::string& pattern) {
  for (size_t open = pattern.find('['); open != std::string::npos;
       open = pattern.find('[', open + 1)) {
    size_t set = open + 1;
    if (set < pattern.size() && (pattern[set] == '!' || pattern[set] == '^')) ++set;
    if (set < pattern.size() && pattern[set] == ']') ++set;  // a first ']' is a member
    if (pattern.find(']', set) == std::string::npos) return false;
  }
  return true;
}

bool fnmatch_means_the_same(const std::string& pattern) {
  return pattern.find('\\') == std::string::npos && pattern.find("[:") == std::string::npos &&
         pattern.find("[=") == std::string::npos && pattern.find("[.") == std::string::npos &&
         brackets_closed(pattern);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const char* zero = static_cast<const char*>(std::memchr(text, 0, size));
  if (!zero) return 0;
  std::string pattern(text, size_t(zero - text));
  std::string name(zero + 1, size - pattern.size() - 1);
  if (pattern.size() > LONGEST || name.size() > LONGEST) return 0;

  std::unique_ptr<char[]> p(new char[pattern.size()]), n(new char[name.size()]);
  std::memcpy(p.get(), pattern.data(), pattern.size());
  std::memcpy(n.get(), name.data(), name.size());
  const bool matched = glob_match(p.get(), int32_t(pattern.size()), n.get(), int32_t(name.size()));

  if (fnmatch_means_the_same(pattern) && name.find('\0') == std::string::npos) {
    const bool expected = fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0;
    if (matched != expected) {
      std::fprintf(stderr, "fuzz check failed: pattern '%s' name '%s': %d, fnmatch %d\n",
                   pattern.c_str(), name.c_str(), matched, expected);
      std::abort();
    }
  }
  return 0;
}
