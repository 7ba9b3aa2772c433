// Shell-style matching of file names for MGET when the server does not match
// the pattern itself: * any run of characters, ? any one character, [...] a
// set ([!...] or [^...] its complement, a-z a range), \ takes the next
// character literally. A name starting with '.' matches only a pattern that
// starts with a literal '.'. The time is at most pattern length × name length
// (no backtracking beyond the last *), and nothing is read past either length.
#pragma once
#include <cstdint>

bool glob_match(const char* pattern, int32_t pattern_length, const char* name,
                int32_t name_length);
// The pattern holds *, ? or [: something to match rather than a name.
bool glob_has_wildcards(const char* pattern, int32_t length);
