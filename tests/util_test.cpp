// Text utilities: edge cases grouped by routine.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "module/status.h"
#include "util/util.h"

namespace {

std::string field_of(int32_t value, int width, int32_t* status) {
  std::string field(size_t(width), '?');
  *status = wzclchr(value, field.data(), width);
  return field;
}

TEST(Wzclchr, RightJustifiesOrFillsWithAsterisks) {
  struct Case {
    int32_t value;
    int width;
    const char* field;
    int32_t status;
  } cases[] = {
      {0, 10, "         0", st::OK},
      {-45, 3, "-45", st::OK},
      {-45, 2, "**", st::FIELD_OVERFLOW},
      {123, 3, "123", st::OK},
      {5, 1, "5", st::OK},
      {10, 1, "*", st::FIELD_OVERFLOW},
      {INT32_MIN, 11, "-2147483648", st::OK},
      {INT32_MIN, 10, "**********", st::FIELD_OVERFLOW},
      {INT32_MAX, 12, "  2147483647", st::OK},
      {-7, 4, "  -7", st::OK},
  };
  for (const auto& c : cases) {
    int32_t status;
    EXPECT_EQ(field_of(c.value, c.width, &status), c.field) << c.value << " in " << c.width;
    EXPECT_EQ(status, c.status) << c.value << " in " << c.width;
  }
}

TEST(Wzstcom, ComparesAsIfBlankPadded) {
  EXPECT_EQ(wzstcom("ABC", 3, "ABD", 3), -3);
  EXPECT_EQ(wzstcom("ABD", 3, "ABC", 3), 3);
  EXPECT_EQ(wzstcom("ABC", 3, "AB", 2), 3);
  EXPECT_EQ(wzstcom("AB", 2, "AB  ", 4), 0);
  EXPECT_EQ(wzstcom(nullptr, 5, "A", 1), -1);
  EXPECT_EQ(wzstcom("LRECL", 5, "LRECL   ", 8), 0);
  EXPECT_EQ(wzstcom("lrecl", 5, "LRECL", 5), 1);  // case matters
  // A tail byte below blank on the longer side: sign follows which side it is on.
  EXPECT_EQ(wzstcom("AB\t", 3, "AB", 2), -3);
  EXPECT_EQ(wzstcom("AB", 2, "AB\t", 3), 3);
  EXPECT_EQ(wzstcom("AB", 2, "AB X", 4), -4);
  // Bytes compare unsigned.
  EXPECT_EQ(wzstcom("\xC1", 1, "A", 1), 1);
}

std::string justify(const char* text, char mode, int32_t* length, int32_t* offset) {
  std::string field(text);
  wzstjls(field.data(), int32_t(field.size()), mode, length, offset);
  return field;
}

TEST(Wzstjls, MovesTheTextInsideTheField) {
  int32_t length = -1, offset = -1;
  EXPECT_EQ(justify("  42      ", 'l', &length, &offset), "42        ");
  EXPECT_EQ(length, 2);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(justify("  42      ", 'R', &length, &offset), "        42");
  EXPECT_EQ(offset, 8);
  EXPECT_EQ(justify("  42      ", 'c', &length, &offset), "    42    ");
  EXPECT_EQ(offset, 4);
  // An odd blank goes to the right when centring.
  EXPECT_EQ(justify("abc      ", 'C', &length, &offset), "   abc   ");
  EXPECT_EQ(justify("ab       ", 'C', &length, &offset), "   ab    ");
  // Another letter leaves the text where it is; inner blanks stay.
  EXPECT_EQ(justify(" a b  ", 'x', &length, &offset), " a b  ");
  EXPECT_EQ(length, 3);
  EXPECT_EQ(offset, 1);
  // All blanks: nothing moves, both results 0; null outputs are allowed.
  EXPECT_EQ(justify("     ", 'R', &length, &offset), "     ");
  EXPECT_EQ(length, 0);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(justify(" x", 'L', nullptr, nullptr), "x ");
}

TEST(Wzstndx, FindsWholeMatchesOnly) {
  EXPECT_EQ(wzstndx("abc\r", 4, "\r\n", 2), -1);  // partial match at the end
  EXPECT_EQ(wzstndx("ab\r\ncd", 6, "\r\n", 2), 2);
  EXPECT_EQ(wzstndx("aaab", 4, "ab", 2), 2);
  EXPECT_EQ(wzstndx("abc", 3, "abc", 3), 0);
  EXPECT_EQ(wzstndx("abc", 3, "abcd", 4), -1);
  EXPECT_EQ(wzstndx("abc", 0, "a", 1), -1);
  EXPECT_EQ(wzstndx("abc", 3, "x", 0), 0);
  EXPECT_EQ(wzstndx("abc", 3, nullptr, -1), 0);
  EXPECT_EQ(wzstndx("xxbc", 4, "bc", -1), 2);  // NUL-terminated pattern
  EXPECT_EQ(wzstndx("a\0b", 3, "b", 1), 2);     // NUL bytes in the buffer are data
}

TEST(Wzstrpq, UnquotesInPlace) {
  char text[] = "'it''s'";
  EXPECT_EQ(wzstrpq(text, 7), 4);
  EXPECT_STREQ(text, "it's");
  char empty[] = "''";
  EXPECT_EQ(wzstrpq(empty, 2), 0);
  EXPECT_STREQ(empty, "");
  char other[] = "\"a\"\"\"b\"";  // any first byte is the quote
  EXPECT_EQ(wzstrpq(other, 7), 4);
  EXPECT_STREQ(other, "a\"\"b");
  char quad[] = "''''";  // a doubled quote only
  EXPECT_EQ(wzstrpq(quad, 4), 1);
  EXPECT_STREQ(quad, "'");
  char one[] = "'";  // too short to hold quotes: empty, never read past the text
  EXPECT_EQ(wzstrpq(one, 1), 0);
  EXPECT_STREQ(one, "");
}

TEST(Wztxxlt, TranslatesThroughHostTables) {
  char name[] = "ftp01   ";
  EXPECT_EQ(wztxxlt(2, name, name, 8), st::OK);  // table 2 upper-cases, in place
  EXPECT_STREQ(name, "FTP01   ");
  char out[4] = "xyz";
  EXPECT_EQ(wztxxlt(5, "abc", out, 3), st::BAD_TABLE);
  EXPECT_STREQ(out, "xyz");  // untouched
  EXPECT_EQ(wztxxlt(-1, "abc", out, 3), st::BAD_TABLE);
  EXPECT_EQ(wztxxlt(1, "ABC", out, 3), st::OK);
  EXPECT_STREQ(out, "abc");
}

TEST(SmallRoutines, MinVzatlVzmpWzstripWzstlen) {
  EXPECT_EQ(min(3, 4), 3);
  EXPECT_EQ(min(-4, 3), -4);
  EXPECT_EQ(min(5, 5), 5);

  EXPECT_EQ(vzatl(' ', "        ", 8), 1);
  EXPECT_EQ(vzatl(' ', "       x", 8), 0);
  EXPECT_EQ(vzatl('x', "", 0), 1);
  EXPECT_EQ(vzatl(0xC1, "\xC1", 1), 0);  // a high byte is negative as a signed char
  EXPECT_EQ(vzatl(-63, "\xC1", 1), 1);

  char target[8];
  vzmp("abc", 0, target, 8);
  EXPECT_EQ(std::string(target, 8), "        ");
  vzmp("abcdefghij", 10, target, 8);
  EXPECT_EQ(std::string(target, 8), "abcdefgh");
  vzmp("ab", 2, target, 8);
  EXPECT_EQ(std::string(target, 8), "ab      ");
  char overlap[] = "xxabcdef";
  vzmp(overlap + 2, 4, overlap, 6);  // overlapping areas
  EXPECT_EQ(std::string(overlap, 8), "abcd  ef");

  EXPECT_EQ(wzstrip("ab  ", 4), 2);
  EXPECT_EQ(wzstrip("    ", 4), 0);
  EXPECT_EQ(wzstrip(" a", 2), 2);
  EXPECT_EQ(wzstlen(nullptr), 0);
  EXPECT_EQ(wzstlen("abc"), 3);
}

}  // namespace
