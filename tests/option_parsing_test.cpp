// Option parsing through the host's real tokenizer: every keyword of the
// option table, the result counts and statuses, the token the module marks,
// quoted text, and what the host shows when an option is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "host/memory.h"
#include "host/variables.h"
#include "module/status.h"
#include "tests/support/loaded_module.h"
#include "tests/support/options_support.h"

namespace {

using ftptest::parse;
using ftptest::parse_one;
using ftptest::text_of;

class OptionParsing : public testing::Test {
 protected:
  void SetUp() override { live_ = host::memory::live_blocks(); }
  void TearDown() override {
    host::variables::clear();
    EXPECT_EQ(host::memory::live_blocks(), live_) << "blocks left behind";
  }
  int live_ = 0;
};

// ---- result counts, statuses and marked tokens of one call

struct CallCase {
  const char* text;
  int32_t flags;
  int32_t status;
  int32_t count;
  std::vector<int> marked;  // token numbers; the end of the statement is the one after the last
};

TEST_F(OptionParsing, ResultCountStatusAndMarkedToken) {
  const int32_t BAD = st::BAD_OPTION_VALUE, UNKNOWN = st::UNKNOWN_KEYWORD;
  const CallCase cases[] = {
      {"LRECL=80", 0, st::OK, 3, {}},
      {"LRECL=0", 0, st::OK, 3, {}},
      {"DEBUG", 0, st::OK, 1, {}},
      {"USER=''", 0, st::OK, 3, {}},
      {"FOO=1", 0, UNKNOWN, 0, {0}},
      {"'LRECL'=1", 0, UNKNOWN, 0, {0}},
      {"LRECL", 0, BAD, 1, {1}},          // "=" missing at the end of the statement
      {"LRECL 80", 0, BAD, 1, {1}},       // "=" missing before a value
      {"LRECL=", 0, BAD, 2, {2}},         // no value
      {"LRECL=X", 0, BAD, 2, {2}},
      {"LRECL='80'", 0, BAD, 2, {2}},
      {"LRECL=99999999999", 0, BAD, 2, {2}},
      {"BLOCKSIZE=ABC", 0, BAD, 2, {2}},
      {"RECFM=X", 0, BAD, 2, {2}},
      {"RECFM=1", 0, BAD, 2, {2}},
      {"RECFM='F'", 0, BAD, 2, {2}},
      {"TERMSTR='CRLF'", 0, BAD, 2, {2}},
      {"ENCODING=NOSUCH", 0, BAD, 2, {2}},
      {"ENCODING=12", 0, BAD, 2, {2}},
      {"USER=BOB", 0, BAD, 2, {2}},       // unquoted text: its case is already lost
      {"WD=7", 0, BAD, 2, {2}},
      {"NBYTE=N", 0, UNKNOWN, 0, {0}},    // only statements that read know NBYTE
      {"NBYTE=ABCDEFGHI", 1, BAD, 2, {2}},
      {"NBYTE='N'", 1, BAD, 2, {2}},
  };
  for (const auto& c : cases) {
    auto r = parse_one(c.text, c.flags);
    EXPECT_EQ(r->status, c.status) << c.text;
    EXPECT_EQ(r->count, c.count) << c.text;
    EXPECT_EQ(r->marked(), c.marked) << c.text;
    EXPECT_NE(r->block, nullptr) << c.text << ": the block is made before the keyword is read";
  }
}

TEST_F(OptionParsing, NullTokenSourceOnlyMakesTheBlock) {
  for (int32_t flags : {0, 0x10, 0x13}) {
    FtpOptions* block = nullptr;
    int32_t count = -7;
    ASSERT_EQ(ftptest::module().call(host::slot::PARSE, 0, static_cast<void*>(nullptr), 0, flags,
                                     static_cast<void*>(nullptr), &count, &block),
              st::OK);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(block->context_flags, uint32_t(flags & 0x10));
    EXPECT_EQ(block->byte_mode, 1);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(block);
    for (int i = 0; i < FTP_OPTIONS_SIZE; ++i) {
      bool set_field = (i >= 16 && i < 20) || i >= 1332;  // context_flags, byte_mode
      if (!set_field) {
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
      }
    }
    ftptest::release_options(block);
  }
}

TEST_F(OptionParsing, AllocationFailuresLeaveTheCountAlone) {
  host::memory::fail_allocation(1);  // the block itself
  auto r = parse_one("LRECL=80");
  host::memory::fail_allocation(0);
  EXPECT_EQ(r->status, st::NO_MEMORY);
  EXPECT_EQ(r->block, nullptr);
  EXPECT_EQ(r->count, -7);

  host::memory::fail_allocation(2);  // the copy of a quoted value
  r = parse_one("USER='u'");
  host::memory::fail_allocation(0);
  EXPECT_EQ(r->status, st::NO_MEMORY);
  EXPECT_EQ(r->count, -7);
  EXPECT_TRUE(r->marked().empty());
}

// ---- what each keyword records

struct FieldCase {
  const char* text;
  std::function<bool(const FtpOptions&)> holds;
};

TEST_F(OptionParsing, NumbersRecordFormatsAndTerminators) {
  const FieldCase cases[] = {
      {"LRECL=80", [](auto& o) { return o.lrecl == 80; }},
      {"lrecl=0", [](auto& o) { return o.lrecl == 0; }},
      {"BLOCKSIZE=32760", [](auto& o) { return o.blocksize == 32760 && o.lrecl == 0; }},
      {"LRECL=80 LRECL=132", [](auto& o) { return o.lrecl == 132; }},
      {"RECFM=FB", [](auto& o) { return o.recfm_bits == uint32_t(RECFM_F); }},
      {"recfm=v", [](auto& o) { return o.recfm_bits == uint32_t(RECFM_V); }},
      {"RECFM=S", [](auto& o) { return o.recfm_bits == uint32_t(RECFM_S); }},
      {"RECFM=F RECFM=V", [](auto& o) { return o.recfm_bits == uint32_t(RECFM_F | RECFM_V); }},
      {"TERMSTR=CRLF", [](auto& o) { return o.termstr == TERMSTR_CRLF; }},
      {"TERMSTR=CRLFX", [](auto& o) { return o.termstr == TERMSTR_CRLF; }},
      {"termstr=lf", [](auto& o) { return o.termstr == TERMSTR_LF; }},
      {"TERMSTR=NULL", [](auto& o) { return o.termstr == TERMSTR_NULL; }},
      {"TERMSTR=XYZ", [](auto& o) { return o.termstr == 0; }},
      {"TERMSTR=LF TERMSTR=XYZ", [](auto& o) { return o.termstr == TERMSTR_LF; }},
  };
  for (const auto& c : cases) {
    auto r = parse(c.text);
    ASSERT_TRUE(r->result.ok()) << c.text << ": " << r->result.message;
    EXPECT_TRUE(c.holds(**r)) << c.text;
  }
}

TEST_F(OptionParsing, FlagKeywordsSetTheirBits) {
  const std::pair<const char*, uint32_t> flags[] = {
      {"DEBUG", opt::DEBUG},   {"PROMPT", opt::PROMPT},     {"LS", opt::LS},
      {"RHELP", opt::RHELP},   {"RSTAT", opt::RSTAT},       {"S370VS", opt::S370VS},
      {"S370V", opt::S370V},   {"MOD", opt::MOD},           {"LIST", opt::LIST},
      {"BYPASS", opt::BYPASS}, {"MGET", opt::MGET},         {"MPROMPT", opt::MPROMPT},
      {"SAVEUSER", opt::SAVEUSER}, {"NOQUIT", opt::NOQUIT}, {"PASV", opt::PASV},
  };
  for (const auto& [keyword, bit] : flags) {
    auto r = parse(std::string(keyword) + " " + keyword);  // twice: the same bit
    ASSERT_TRUE(r->result.ok()) << keyword;
    EXPECT_EQ(r->block->option_flags, bit) << keyword;
  }
  auto all = parse("debug mget noquit ftp nonbyte lrecl=10 nonbyte");
  ASSERT_TRUE(all->result.ok()) << all->result.message;
  EXPECT_EQ(all->block->option_flags, opt::DEBUG | opt::MGET | opt::NOQUIT);
  EXPECT_EQ(all->block->byte_mode, 0);
  EXPECT_EQ(parse("FTP")->block->byte_mode, 1);
  EXPECT_EQ(parse("FTP")->block->option_flags, 0u);
}

TEST_F(OptionParsing, QuotedTextIntoItsField) {
  const std::string w300(300, 'w'), u129(129, 'u'), u128(128, 'u');
  const FieldCase cases[] = {
      {"USER='ab''c'", [](auto& o) { return text_of(o.user, 128) == "ab'c"; }},
      {"USER=\"a\"\"b\"", [](auto& o) { return text_of(o.user, 128) == "a\"b"; }},
      {"USER='MixedCase'", [](auto& o) { return text_of(o.user, 128) == "MixedCase"; }},
      {"USER='longname' USER='x'",
       [](auto& o) { return std::string(o.user, 128) == "x" + std::string(127, '\0'); }},
      {"USER=''", [](auto& o) { return o.user[0] == 0; }},
      {"PASS='p w'", [](auto& o) { return text_of(o.password, 128) == "p w"; }},
      {"PASSWORD='pw2'", [](auto& o) { return text_of(o.password, 128) == "pw2"; }},
      {"HOST='ftp.example.org'", [](auto& o) { return text_of(o.host, 128) == "ftp.example.org"; }},
      {"HOSTNAME='h2'", [](auto& o) { return text_of(o.host, 128) == "h2"; }},
      {"WD='/pub/Dir'", [](auto& o) { return text_of(o.directory, 256) == "/pub/Dir"; }},
      {"CD='/x'", [](auto& o) { return text_of(o.directory, 256) == "/x"; }},
      {"RCMD='SITE UMASK 022'", [](auto& o) { return text_of(o.rcmd, 256) == "SITE UMASK 022"; }},
      {"LSFILE='*.txt'", [](auto& o) { return text_of(o.lsfile, 256) == "*.txt"; }},
  };
  for (const auto& c : cases) {
    auto r = parse(c.text);
    ASSERT_TRUE(r->result.ok()) << c.text << ": " << r->result.message;
    EXPECT_TRUE(c.holds(**r)) << c.text;
  }

  // The 255 and 128 character limits; a full 128-byte field has no terminator
  // and does not run into the next field.
  auto wd = parse("WD='" + w300 + "'");
  EXPECT_EQ(text_of(wd->block->directory, 256), std::string(255, 'w'));
  EXPECT_EQ(wd->block->directory[255], 0);
  auto user = parse("USER='" + u129 + "'");
  EXPECT_EQ(std::string(user->block->user, 128), u128);
  EXPECT_EQ(user->block->host[0], 0);
}

TEST_F(OptionParsing, NbyteNamesAVariableTheHostCanUse) {
  host::variables::set_number("COUNT", 80);
  host::variables::set("TEXTVAR", "abc");
  for (int32_t flags : {1, 2, 3}) {
    auto r = parse_one("NBYTE=count", flags);
    ASSERT_EQ(r->status, st::OK) << flags;
    EXPECT_EQ(r->count, 3);
    EXPECT_EQ(std::string(r->block->nbyte_name, 8), "COUNT   ");
    EXPECT_EQ(r->block->nbyte_name_len, 5);
    EXPECT_EQ(r->block->nbyte_value, -1);
    EXPECT_EQ(r->block->nbyte_handle, nullptr);
  }
  EXPECT_EQ(parse_one("NBYTE=ABCDEFGH", 1)->count, 2);  // 8 characters, but no such variable
  host::variables::set_number("ABCDEFGH", 1);
  EXPECT_EQ(parse_one("NBYTE=ABCDEFGH", 1)->status, st::OK);

  // Refused by the lookup: the fields stay filled.
  for (const char* text : {"NBYTE=MISSING", "NBYTE=TEXTVAR"}) {
    auto r = parse_one(text, 1);
    EXPECT_EQ(r->status, st::BAD_OPTION_VALUE) << text;
    EXPECT_EQ(r->count, 2);
    EXPECT_EQ(r->marked(), std::vector<int>{2});
    EXPECT_EQ(r->block->nbyte_value, -1);
    EXPECT_EQ(r->block->nbyte_name_len, int32_t(std::strlen(text) - 6));
  }
}

TEST_F(OptionParsing, EncodingNamesTheHostKnows) {
  auto utf8 = parse("ENCODING=utf8");
  ASSERT_TRUE(utf8->result.ok());
  EXPECT_NE(utf8->block->encoding, 0);
  EXPECT_EQ(parse("ENCODING='UTF-8'")->block->encoding, utf8->block->encoding);
  auto latin = parse("ENCODING='latin1'");
  ASSERT_TRUE(latin->result.ok());
  EXPECT_NE(latin->block->encoding, utf8->block->encoding);

  // A refused name also clears one given before.
  FtpOptions* block = nullptr;
  ASSERT_TRUE(host::references::parse_options("ENCODING=UTF8", 0, &block).ok());
  host::tokenizer::Statement s("ENCODING='klingon'");
  int32_t count = 0;
  EXPECT_EQ(ftptest::module().call(host::slot::PARSE, 0, static_cast<void*>(&s), 0, 0,
                                   static_cast<void*>(&s), &count, &block),
            st::BAD_OPTION_VALUE);
  EXPECT_EQ(block->encoding, 0);
  ftptest::release_options(block);
}

// ---- what the host shows

TEST_F(OptionParsing, PasswordIsMaskedInTheEcho) {
  auto r = parse("user='me' pass='Sesame' lrecl=80");
  ASSERT_TRUE(r->result.ok());
  EXPECT_EQ(r->result.echo, "user='me' pass='********' lrecl=80");
  EXPECT_EQ(text_of(r->block->password, 128), "Sesame");

  // Masked also when the password itself is refused.
  auto bad = parse("PASS=Sesame");
  EXPECT_EQ(bad->result.status, st::BAD_OPTION_VALUE);
  EXPECT_EQ(bad->result.echo.find("Sesame"), std::string::npos);
  EXPECT_EQ(bad->result.echo.find("SESAME"), std::string::npos);
  EXPECT_EQ(bad->result.message.find("SESAME"), std::string::npos);
  EXPECT_EQ(bad->result.echo, "PASS=********");
  EXPECT_EQ(bad->result.marks, "     ^^^^^^^^");

  // Masked also where the statement was refused before the password.
  auto before = parse("lrecl=abc pass='S3cretPW' password=\"Other\"");
  EXPECT_EQ(before->result.status, st::BAD_OPTION_VALUE);
  EXPECT_EQ(before->result.echo, "lrecl=abc pass='********' password=\"********\"");
}

struct RefusalCase {
  const char* text;
  int32_t status;
  const char* message_part;
  const char* marks;
};

TEST_F(OptionParsing, RefusedOptionIsNamedAndMarked) {
  const RefusalCase cases[] = {
      {"lrecl=80 colour=red", st::UNKNOWN_KEYWORD, "Option COLOUR is not known",
       "         ^^^^^^"},
      {"lrecl 80", st::BAD_OPTION_VALUE, "Option LRECL needs \"=\"", "      ^^"},
      {"debug lrecl", st::BAD_OPTION_VALUE, "Option LRECL needs \"=\"", "           ^"},
      {"recfm=x", st::BAD_OPTION_VALUE, "Option RECFM does not accept X", "      ^"},
      {"lrecl=", st::BAD_OPTION_VALUE, "Option LRECL does not accept nothing", "      ^"},
      {"debug=1", st::UNKNOWN_KEYWORD, "Option = is not known", "     ^"},
  };
  for (const auto& c : cases) {
    auto r = parse(c.text);
    EXPECT_EQ(r->result.status, c.status) << c.text;
    EXPECT_NE(r->result.message.find(c.message_part), std::string::npos)
        << c.text << ": " << r->result.message;
    EXPECT_EQ(r->result.marks, c.marks) << c.text;
    EXPECT_EQ(r->block, nullptr) << c.text << ": a refused statement leaves no block";
  }
}

TEST_F(OptionParsing, StatementThatCannotBeSplitReachesNoModule) {
  auto r = parse("user='unterminated");
  EXPECT_EQ(r->result.status, st::BAD_OPTION_VALUE);
  EXPECT_NE(r->result.message.find("unterminated"), std::string::npos);
  EXPECT_EQ(r->block, nullptr);
  EXPECT_EQ(parse("")->block, nullptr);
}

}  // namespace
