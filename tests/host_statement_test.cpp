// The host services behind option parsing: the statement tokenizer, the
// variable table and its lookup, and encoding names.
#include <gtest/gtest.h>

#include <cstring>

#include "host/control_block.h"
#include "host/tokenizer.h"
#include "host/variables.h"
#include "hostsvc/gcb.h"
#include "module/status.h"

namespace {

using host::tokenizer::Statement;

TEST(HostTokenizer, KindsTextsAndPositions) {
  Statement s("recfm=fb, user='Mixed ''Case''' \"dq\" 0042 wd=/a/b");
  ASSERT_TRUE(s.ok()) << s.error();
  struct Expect {
    uint16_t kind;
    const char* text;
    int offset;
  };
  const Expect expected[] = {
      {TOKEN_WORD, "RECFM", 0},  {host::tokenizer::EQUALS, "=", 5}, {TOKEN_WORD, "FB", 6},
      {TOKEN_WORD, "USER", 10},  {host::tokenizer::EQUALS, "=", 14},
      {TOKEN_QUOTED, "'Mixed ''Case'''", 15}, {TOKEN_QUOTED, "\"dq\"", 32},
      {TOKEN_NUMBER, "0042", 37}, {TOKEN_WORD, "WD", 42}, {host::tokenizer::EQUALS, "=", 44},
      {TOKEN_WORD, "/A/B", 45},
  };
  ASSERT_EQ(s.tokens().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(s.tokens()[i].kind, expected[i].kind) << i;
    EXPECT_EQ(s.tokens()[i].text, expected[i].text) << i;
    EXPECT_EQ(s.tokens()[i].position.offset, expected[i].offset) << i;
  }
  EXPECT_FALSE(Statement("a='b").ok());
  EXPECT_FALSE(Statement("a=\"b''").ok());
  EXPECT_TRUE(Statement("  ,, ").tokens().empty());
}

TEST(HostTokenizer, ReadsCountFromTheOptionStartAndEndWithAnEmptyToken) {
  auto service = [](int s) {
    return static_cast<void***>(host::control_block()[gcb::VECTORS])[30][s];
  };
  auto start = reinterpret_cast<int32_t (*)(HostToken*)>(service(248));
  auto finish = reinterpret_cast<int32_t (*)(HostToken*)>(service(249));
  auto next = reinterpret_cast<int32_t (*)(int32_t, void*, HostToken*)>(service(250));

  Statement s("debug lrecl=80");
  s.advance(1);
  HostToken token{};
  EXPECT_EQ(next(0, &s, &token), st::FAILED) << "reading before the start";
  ASSERT_EQ(start(&token), st::OK);
  const char* texts[] = {"LRECL", "=", "80", "", ""};
  for (const char* text : texts) {
    ASSERT_EQ(next(0, &s, &token), st::OK);
    EXPECT_STREQ(token.text, text);
    EXPECT_EQ(token.length, std::strlen(text));
  }
  EXPECT_EQ(token.kind, host::tokenizer::END);
  EXPECT_EQ(finish(&token), st::OK);
  EXPECT_EQ(finish(&token), st::FAILED);
}

TEST(HostVariables, TextAndNumbersThroughBothServices) {
  using Read = int32_t (*)(const char*, int32_t, char*, int32_t, int32_t*);
  auto read = reinterpret_cast<Read>(static_cast<void***>(host::control_block()[gcb::VECTORS])[0][316]);
  auto lookup = reinterpret_cast<gcb::VariableLookup>(
      gcb::word(gcb::step_services(host::control_block()), gcb::SVC_VARIABLE_LOOKUP));

  // A value as long as the buffer fills it without a terminator; a longer
  // one is refused rather than cut.
  host::variables::set("FTPHOST", "example.");
  char buffer[8];
  int32_t length = -1;
  EXPECT_EQ(read("FTPHOST ", 8, buffer, sizeof buffer, &length), st::OK);
  EXPECT_EQ(length, 8);
  EXPECT_EQ(std::string(buffer, 8), "example.");
  host::variables::set("FTPHOST", "example.org");
  EXPECT_NE(read("FTPHOST ", 8, buffer, sizeof buffer, &length), st::OK);
  EXPECT_EQ(length, 0);
  EXPECT_NE(read("NOSUCH", 6, buffer, sizeof buffer, &length), st::OK);

  double* handle = nullptr;
  EXPECT_EQ(lookup("FTPHOST", 7, 1, -1, 1, &handle), 2) << "not a number";
  EXPECT_EQ(lookup("NOSUCH", 6, 1, -1, 1, &handle), 1);
  host::variables::set_number("NB", 42);
  ASSERT_EQ(lookup("NB      ", 2, 1, -1, 1, &handle), st::OK);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(*handle, 42.0);
  // The module keeps the address: later values appear there.
  host::variables::unset("NB");
  host::variables::set_number("NB", 7);
  EXPECT_EQ(*handle, 7.0);
  host::variables::clear();
  EXPECT_EQ(lookup("NB", 2, 1, -1, 1, &handle), 1);
}

TEST(HostEncodings, NamesInAnyCaseMapToOneId) {
  using Convert = int32_t (*)(int32_t, const char*, int32_t, int32_t*);
  auto convert = reinterpret_cast<Convert>(static_cast<void***>(host::control_block()[gcb::VECTORS])[21][6]);
  int32_t a = 0, b = 0, c = 0;
  EXPECT_EQ(convert(0, "utf-8", 5, &a), st::OK);
  EXPECT_EQ(convert(0, "UTF8  ", 6, &b), st::OK);
  EXPECT_EQ(convert(0, "Latin1", 6, &c), st::OK);
  EXPECT_NE(a, 0);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  int32_t kept = 99;
  EXPECT_NE(convert(0, "UTF", 3, &kept), st::OK);
  EXPECT_NE(convert(0, "UTF-8X", 6, &kept), st::OK);
  EXPECT_EQ(kept, 99);
}

}  // namespace
