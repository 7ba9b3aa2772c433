// Reading records from the data connection in every format, with the data
// arriving in awkward pieces: terminators split across reads, missing final
// terminators, cut records, carriage control, S370V and S370VS descriptors,
// and byte-count reads sized by the caller or by the NBYTE variable.
#include <gtest/gtest.h>

#include <algorithm>

#include "ftp/ftp_file.h"
#include "host/messages.h"
#include "host/options.h"
#include "host/references.h"
#include "host/variables.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::Writes;
using ftptest::OpenFile;
using ftptest::OpenParams;

// A descriptor word and its data: LL counts the four descriptor bytes.
std::string segment(int code, const std::string& data) {
  const size_t length = data.size() + 4;
  return std::string{char(length >> 8), char(length & 0xFF), char(code), 0} + data;
}

struct Got {
  int32_t status;
  std::string data;
  char cc;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Got& g) {
  return out << "{" << std::hex << g.status << ", \"" << g.data << "\", '" << g.cc << "'}";
}

struct ReadCase {
  const char* name;
  std::string options;
  int32_t recfm;  // asked for by the host (carriage control comes from here)
  Writes stream;
  std::vector<Got> records;
  int32_t end = st::END_OF_DATA;
  int segment_messages = 0;
  int32_t mode = OPEN_INPUT;  // with OPEN_POSITIONING: the spooled reader
};

Got rec(std::string data, char cc = ' ', int32_t status = st::OK) { return {status, data, cc}; }

class RecordRead : public ftptest::SessionTest,
                   public testing::WithParamInterface<ReadCase> {};

// Each stream is read twice: with records handed back in place, as the
// reference host asks (XXAMINPL), and as the host interface has them, in
// the record buffer of the record length -- where a host may pad every
// record to that length without touching the records after it.
TEST_P(RecordRead, DeliversTheRecordsOfTheStream) {
  const ReadCase& c = GetParam();
  Script script;
  ftptest::Step retr{"RETR", "150 Here.\r\n", Data::sending(c.stream), "226 Done.\r\n"};
  retr.repeat = true;
  script.defaults().step(retr);
  serve(script);
  for (bool in_place : {true, false}) {
    SCOPED_TRACE(in_place ? "in place" : "in the record buffer, padded");
    if (in_place) host::options::set("XXAMINPL", "1");
    else host::options::unset("XXAMINPL");
    host::messages::clear_log();
    assign("F", "f", "USER='u' PASS='p' " + c.options);
    OpenParams params;
    params.recfm = c.recfm;
    params.mode = c.mode;
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file, params), st::OK);
    std::vector<Got> got;
    int32_t status = st::OK;
    for (int i = 0; i < 100; ++i) {
      host::files::Record r;
      status = file->read(&r);
      if (status != st::OK && status != st::TRUNCATED) {
        EXPECT_EQ(r.data, nullptr);
        break;
      }
      got.push_back({status, std::string(r.view()), r.cc});
      if (in_place) continue;
      const sock_conn* data = file->handle()->data;
      char* end = data->record + data->record_size;
      char* after = const_cast<char*>(r.data) + r.length;
      ASSERT_TRUE(r.data >= data->record && after <= end) << "record " << i;
      std::fill(after, end, '#');
    }
    EXPECT_EQ(got, c.records);
    EXPECT_EQ(status, c.end);
    if (st::is_failure(c.end)) {
      EXPECT_FALSE(failure_texts().empty()) << "a failure says why";
    }
    EXPECT_EQ(int(logged(msg::SEGMENT_DROPPED).size()), c.segment_messages);
    EXPECT_EQ(file->close(), st::OK);
  }
}

const ReadCase read_cases[] = {
    {"LinesWithCrLfPairsSplitByteByByte", "", 0, Writes::split("A\r\n\r\nB\r\n", 1),
     {rec("A"), rec(""), rec("B")}},
    {"LoneCrAndLfAreData", "", 0, Writes::split("a\rb\nc\r\n", 2), {rec("a\rb\nc")}},
    // A text file whose last line lacks its line end keeps that line.
    {"UnterminatedLastLineIsHandedBack", "", 0, "A\r\nB", {rec("A"), rec("B")}},
    {"UnterminatedLastLineInPieces", "TERMSTR=LF", 0, Writes::split("AB\nCDE", 2),
     {rec("AB"), rec("CDE")}},
    {"TermstrLfKeepsTheCr", "TERMSTR=LF", 0, Writes::split("A\r\nB\n", 2), {rec("A\r"), rec("B")}},
    {"TermstrNull", "TERMSTR=NULL", 0, std::string("A\0B\0", 4), {rec("A"), rec("B")}},
    {"LongLineIsCutAndTheNextLineFollows", "LRECL=4", 0, Writes::split("ABCDEFG\r\nXY\r\n", 3),
     {rec("ABCD", ' ', st::TRUNCATED), rec("XY")}},
    // Records that lie whole in one read, beside ones that do not.
    {"LinesInOneReadKeepLoneCrAndLf", "", 0, "a\rb\nc\r\nd\r\r\n\r\n",
     {rec("a\rb\nc"), rec("d\r"), rec("")}},
    {"LongLineInOneReadIsCut", "LRECL=4", 0, "ABCDEFG\r\nXY\r\nWXYZ\r\n",
     {rec("ABCD", ' ', st::TRUNCATED), rec("XY"), rec("WXYZ")}},
    {"CrAtTheEndOfAReadWaitsForItsLf", "", 0,
     Writes{{"AB\r\nC\r", 0}, {"\nD\r\n", 50}}, {rec("AB"), rec("C"), rec("D")}},
    {"FixedRecordsInOneRead", "RECFM=F LRECL=4", 0, "abcdefgh", {rec("abcd"), rec("efgh")}},
    {"LinesWithCarriageControl", "LRECL=80", RECFM_V | RECFM_CC, "1A\r\n\r\n-B\r\n",
     {rec("A", '1'), rec("", ' '), rec("B", '-')}},
    // A stream that ends inside a fixed-length record lost the rest of it.
    {"IncompleteLastFixedRecordFails", "RECFM=F LRECL=4", 0, Writes::split("abcdefghij", 3),
     {rec("abcd"), rec("efgh")}, st::FAILED},
    {"FixedRecordWithCarriageControl", "LRECL=80", RECFM_F | RECFM_CC,
     Writes::split("1" + std::string(79, 'x'), 7), {rec(std::string(79, 'x'), '1')}},
    {"S370vRecordsAndAnEmptyOne", "S370V", 0,
     Writes::split(segment(0, "abc") + segment(0, "") + segment(0, "z"), 1),
     {rec("abc"), rec(""), rec("z")}},
    {"S370vLongRecordIsCut", "S370V LRECL=2", 0, segment(0, "abc") + segment(0, "d"),
     {rec("ab", ' ', st::TRUNCATED), rec("d")}},
    {"S370vsSegmentsMakeOneRecord", "S370VS", 0,
     Writes::split(segment(1, "ab") + segment(3, "cd") + segment(2, "ef") + segment(0, "g"), 3),
     {rec("abcdef"), rec("g")}},
    {"S370vsLastSegmentFirstIsDropped", "S370VS", 0, segment(2, "xx") + segment(3, "yy") + segment(0, "a"),
     {rec("a")}, st::END_OF_DATA, 1},
    {"S370vsCompleteSegmentRestartsTheRecord", "S370VS", 0, segment(1, "ab") + segment(0, "c"),
     {rec("c")}, st::END_OF_DATA, 1},
    {"S370vsEmptySegmentStartsNoRecord", "S370VS", 0, segment(0, "") + segment(0, "a"), {rec("a")}},
    // A stream that ends inside a descriptor word, or before the data its
    // descriptor promised, lost a record; so did one whose unterminated last
    // line is longer than LRECL, which says it was cut.
    {"S370vEndAfterOneByteOfADescriptor", "S370V", 0, segment(0, "ab") + std::string("\0", 1),
     {rec("ab")}, st::FAILED},
    {"S370vEndAfterTwoBytesOfADescriptor", "S370V", 0, segment(0, "ab") + std::string("\0\5", 2),
     {rec("ab")}, st::FAILED},
    {"S370vEndAfterThreeBytesOfADescriptor", "S370V", 0,
     segment(0, "ab") + std::string("\0\5\0", 3), {rec("ab")}, st::FAILED},
    {"S370vEndRightAfterADescriptor", "S370V", 0, segment(0, "ab") + std::string("\0\5\0\0", 4),
     {rec("ab")}, st::FAILED},
    {"S370vsEndRightAfterADescriptor", "S370VS", 0, segment(0, "ab") + std::string("\0\5\0\0", 4),
     {rec("ab")}, st::FAILED},
    {"SpooledS370vEndInsideADescriptor", "S370V", 0, segment(0, "ab") + std::string("\0\5", 2),
     {rec("ab")}, st::FAILED, 0, OPEN_INPUT | OPEN_POSITIONING},
    {"UnterminatedLongLastLineSaysCut", "LRECL=4", 0, "AB\r\nCDEFGH",
     {rec("AB"), rec("CDEF", ' ', st::TRUNCATED)}},
    {"SpooledUnterminatedLongLastLineSaysCut", "LRECL=4", 0, "AB\r\nCDEFGH",
     {rec("AB"), rec("CDEF", ' ', st::TRUNCATED)}, st::END_OF_DATA, 0,
     OPEN_INPUT | OPEN_POSITIONING},
    // A length that does not even count the descriptor is a broken stream.
    {"DescriptorShorterThanItselfFails", "S370V", 0, segment(0, "a") + std::string("\0\2\0\0", 4),
     {rec("a")}, st::FAILED},
};

INSTANTIATE_TEST_SUITE_P(Formats, RecordRead, testing::ValuesIn(read_cases),
                         [](const auto& info) { return std::string(info.param.name); });

class ByteCountRead : public ftptest::SessionTest {
 protected:
  // NBYTE is an option of the open itself: `open_options` go with the open.
  void open_stream(const std::string& open_options, std::unique_ptr<OpenFile>* file) {
    Script script;
    script.defaults().transfer("RETR", "150 Here.\r\n",
                               Data::sending("abcdefghijklmnopqrst"), "226 Done.\r\n");
    serve(script);
    assign("F", "f", "USER='u' PASS='p' RECFM=S LRECL=8");
    OpenParams params;
    auto parsed = host::references::parse_options(open_options, host::references::PARSE_INPUT,
                                                  &params.options);
    ASSERT_TRUE(parsed.ok()) << parsed.message;
    ASSERT_EQ(open("F", file, params), st::OK);
  }
  static Got piece(OpenFile& file, int32_t wanted = 0) {
    host::files::Record r;
    int32_t status = file.read(&r, wanted);
    return {status, std::string(r.view()), r.cc};
  }
};

TEST_F(ByteCountRead, CallerSizesEachPiece) {
  std::unique_ptr<OpenFile> file;
  ASSERT_NO_FATAL_FAILURE(open_stream("NONBYTE", &file));
  EXPECT_EQ(piece(*file, 3), rec("abc"));
  EXPECT_EQ(piece(*file, 0), rec(""));
  EXPECT_EQ(piece(*file, 9), (Got{st::BYTE_COUNT_TOO_LARGE, "", ' '}));
  EXPECT_EQ(logged(msg::BYTE_COUNT_TOO_LARGE).size(), 1u);
  Got one_read = piece(*file, -1);  // what the buffer holds, at most a record
  EXPECT_EQ(one_read.status, st::OK);
  EXPECT_FALSE(one_read.data.empty());
  EXPECT_LE(one_read.data.size(), 8u);
  std::string rest = one_read.data;
  for (Got g; (g = piece(*file, 8)).status == st::OK;) rest += g.data;
  EXPECT_EQ(rest, "defghijklmnopqrst");
  EXPECT_EQ(piece(*file, 8).status, st::END_OF_DATA);
  EXPECT_EQ(file->close(), st::OK);
}

TEST_F(ByteCountRead, NbyteVariableSizesEachPiece) {
  host::variables::set_number("NB", 3);
  std::unique_ptr<OpenFile> file;
  ASSERT_NO_FATAL_FAILURE(open_stream("NBYTE=NB", &file));
  EXPECT_EQ(piece(*file, 1), rec("abc"));  // the variable wins over the caller
  host::variables::set_number("NB", 2.9);
  EXPECT_EQ(piece(*file), rec("de"));
  host::variables::set_number("NB", 0);  // a whole record
  EXPECT_EQ(piece(*file), rec("fghijklm"));
  for (double too_large : {9.0, 1e12}) {
    host::variables::set_number("NB", too_large);
    EXPECT_EQ(piece(*file).status, st::BYTE_COUNT_TOO_LARGE) << too_large;
  }
  host::variables::set_number("NB", -1);
  Got one_read = piece(*file);
  EXPECT_EQ(one_read.status, st::OK);
  EXPECT_EQ(one_read.data, std::string("nopqrst").substr(0, one_read.data.size()));
  EXPECT_EQ(file->close(), st::OK);
  host::variables::unset("NB");
}

}  // namespace
