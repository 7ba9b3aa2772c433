// The shell-style name matcher of the MGET fallback: what matches, hidden
// names, sets and escapes, and patterns that would take exponential time or
// read past their end in a naive matcher.
#include <gtest/gtest.h>

#include <string>

#include "ftp/transfer/glob.h"

namespace {

struct GlobCase {
  const char* pattern;
  const char* name;
  bool matches;
};

bool matches(const std::string& pattern, const std::string& name) {
  return glob_match(pattern.data(), int32_t(pattern.size()), name.data(), int32_t(name.size()));
}

TEST(GlobMatch, ShellRules) {
  const GlobCase cases[] = {
      {"*.txt", "alpha.txt", true},     {"*.txt", "alpha.dat", false},
      {"*.txt", ".hidden.txt", false},  {".*", ".hidden", true},
      {"a?c", "abc", true},             {"a?c", "ac", false},
      {"[ab]*", "beta", true},          {"[ab]*", "gamma", false},
      {"[!ab]*", "gamma", true},        {"[^ab]*", "alpha", false},
      {"[a-c]x", "bx", true},           {"[a-c]x", "dx", false},
      {"[]x]", "]", true},              {"[a-", "[a-", true},
      {"\\*", "*", true},               {"\\*", "a", false},
      {"*", "", true},                  {"", "", true},
      {"", "a", false},                 {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXbY", false},         {"**x", "yyx", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(matches(c.pattern, c.name), c.matches) << c.pattern << " / " << c.name;
}

TEST(GlobMatch, ManyStarsOverALongNameEndQuickly) {
  std::string pattern;
  for (int i = 0; i < 60; ++i) pattern += "*a";
  pattern += "b";
  EXPECT_FALSE(matches(pattern, std::string(4000, 'a')));
  EXPECT_TRUE(matches(pattern, std::string(4000, 'a') + "b"));
}

TEST(GlobMatch, NothingIsReadPastEitherLength) {
  // The lengths, not NUL bytes, end both texts.
  const char pattern[] = {'a', '*', '['};
  const char name[] = {'a', 'b', '['};
  EXPECT_TRUE(glob_match(pattern, 3, name, 3));
  EXPECT_FALSE(glob_match(pattern, 2, name, 0));
  EXPECT_TRUE(glob_match("[x]", 3, "x", 1));
  EXPECT_FALSE(glob_match("[x", 2, "x", 1));
}

}  // namespace
