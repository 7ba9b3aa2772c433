// Shell-style name matching for the MGET fallback (see glob.h).
#include "ftp/transfer/glob.h"

namespace {

// The set at pattern[*p] (just after its '['): true when `c` is in it. On
// return *p is just past the closing ']'. False with *p unchanged when the
// set has no closing ']' (the '[' is then an ordinary character).
bool in_set(const char* pattern, int32_t length, int32_t* p, unsigned char c, bool* well_formed) {
  int32_t i = *p;
  bool negate = false;
  if (i < length && (pattern[i] == '!' || pattern[i] == '^')) negate = true, ++i;
  bool found = false;
  bool first = true;
  for (; i < length; first = false) {
    unsigned char low = static_cast<unsigned char>(pattern[i]);
    if (low == ']' && !first) {
      *p = i + 1;
      *well_formed = true;
      return found != negate;
    }
    if (low == '\\' && i + 1 < length) low = static_cast<unsigned char>(pattern[++i]);
    ++i;
    unsigned char high = low;
    if (i + 1 < length && pattern[i] == '-' && pattern[i + 1] != ']') {
      high = static_cast<unsigned char>(pattern[i + 1]);
      if (high == '\\' && i + 2 < length) high = static_cast<unsigned char>(pattern[++i + 1]);
      i += 2;
    }
    if (c >= low && c <= high) found = true;
  }
  *well_formed = false;
  return false;
}

// Pattern element at *p matches name character c; *p advances past it.
bool element_matches(const char* pattern, int32_t length, int32_t* p, unsigned char c) {
  unsigned char e = static_cast<unsigned char>(pattern[*p]);
  if (e == '?') {
    ++*p;
    return true;
  }
  if (e == '[') {
    int32_t after = *p + 1;
    bool well_formed = false;
    bool in = in_set(pattern, length, &after, c, &well_formed);
    if (well_formed) {
      *p = after;
      return in;
    }
  }
  if (e == '\\' && *p + 1 < length) e = static_cast<unsigned char>(pattern[++*p]);
  ++*p;
  return e == c;
}

}  // namespace

bool glob_has_wildcards(const char* pattern, int32_t length) {
  for (int32_t i = 0; i < length; ++i)
    if (pattern[i] == '*' || pattern[i] == '?' || pattern[i] == '[') return true;
  return false;
}

bool glob_match(const char* pattern, int32_t pattern_length, const char* name,
                int32_t name_length) {
  if (!pattern || !name || pattern_length < 0 || name_length < 0) return false;
  // A hidden name needs its dot spelled out.
  if (name_length > 0 && name[0] == '.' && (pattern_length == 0 || pattern[0] != '.'))
    return false;
  int32_t p = 0, n = 0;
  int32_t star_p = -1, star_n = 0;  // just after the last *, and where its run ends now
  while (n < name_length) {
    if (p < pattern_length && pattern[p] == '*') {
      while (p < pattern_length && pattern[p] == '*') ++p;
      star_p = p, star_n = n;
      continue;
    }
    int32_t next = p;
    if (p < pattern_length &&
        element_matches(pattern, pattern_length, &next, static_cast<unsigned char>(name[n]))) {
      p = next, ++n;
      continue;
    }
    // Mismatch: the last * takes one more character, else no match.
    if (star_p < 0) return false;
    p = star_p, n = ++star_n;
  }
  while (p < pattern_length && pattern[p] == '*') ++p;
  return p == pattern_length;
}
