// Writing records: the bytes that reach the server for every format --
// terminators, carriage control, fixed records padded or cut, byte streams
// unchanged, S370 formats without descriptor words.
#include <gtest/gtest.h>

#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::OpenFile;
using ftptest::OpenParams;

struct Put {
  std::string data;
  char cc = ' ';
  int32_t status = st::OK;
};

struct WriteCase {
  const char* name;
  std::string options;
  int32_t recfm;  // asked for by the host (carriage control comes from here)
  std::vector<Put> records;
  std::string wire;
};

class RecordWrite : public ftptest::SessionTest,
                    public testing::WithParamInterface<WriteCase> {};

TEST_P(RecordWrite, SendsTheBytesOfTheFormat) {
  const WriteCase& c = GetParam();
  Script script;
  script.defaults().transfer("STOR", "150 Send.\r\n", Data::receiving(), "226 Stored.\r\n");
  serve(script);
  assign("F", "out", "USER='u' PASS='p' " + c.options);
  OpenParams params;
  params.mode = OPEN_OUTPUT;
  params.recfm = c.recfm;
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file, params), st::OK);
  for (const Put& p : c.records) EXPECT_EQ(file->write(p.data, p.cc), p.status) << p.data;
  EXPECT_EQ(file->close(), st::OK);
  ASSERT_TRUE(server().wait_sessions_ended(1, 5000));
  EXPECT_EQ(server().record().uploads, std::vector<std::string>{c.wire});
}

const WriteCase write_cases[] = {
    {"LinesEndWithCrLf", "", 0, {{""}, {"hello"}}, "\r\nhello\r\n"},
    {"LinesWithCarriageControl", "", RECFM_V | RECFM_CC, {{"ab", '1'}, {"", '0'}},
     "1ab\r\n0\r\n"},
    {"LongLineIsCut", "LRECL=4", 0, {{"abcdef", ' ', st::TRUNCATED}, {"x"}}, "abcd\r\nx\r\n"},
    {"TermstrLf", "TERMSTR=LF", 0, {{"a"}, {"b"}}, "a\nb\n"},
    {"TermstrNull", "TERMSTR=NULL", 0, {{"a"}}, std::string("a\0", 2)},
    {"FixedRecordsArePaddedOrCut", "RECFM=F LRECL=8", 0,
     {{"ab"}, {"0123456789", ' ', st::TRUNCATED}}, "ab      01234567"},
    {"FixedRecordsWithCarriageControl", "LRECL=8", RECFM_F | RECFM_CC,
     {{"ab", '1'}, {"abcdefghij", '2', st::TRUNCATED}}, "1ab     2abcdefg"},
    {"ByteStreamGoesOutUnchanged", "RECFM=S LRECL=8", 0, {{"ab"}, {"c\r\nd"}}, "abc\r\nd"},
    {"S370vWithoutDescriptors", "S370V", 0, {{"ab"}, {""}, {"cd"}}, "abcd"},
    {"S370vsWithoutDescriptors", "S370VS", 0, {{"ab"}, {"cd"}}, "abcd"},
};

INSTANTIATE_TEST_SUITE_P(Formats, RecordWrite, testing::ValuesIn(write_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
