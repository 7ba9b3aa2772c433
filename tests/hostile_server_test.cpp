// Servers that misbehave on purpose: lines that never end, multi-line replies
// that never end, descriptor words that lie, huge refusals, replies cut into
// one-byte packets, data connections from strangers or from nobody, and
// connections reset in the middle of a record; passive replies without end,
// passive ports that never accept or never send. Each open or read ends with a
// failure status and a message (within XXAMWAIT where a server goes quiet),
// and no cut or corrupted record is ever handed back as a good one.
#include <gtest/gtest.h>

#include <thread>

#include "host/events.h"
#include "host/messages.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::Step;
using ftptest::Then;
using ftptest::Writes;
using ftptest::OpenFile;
using ftptest::OpenParams;

std::string segment(int type, const std::string& data) {
  const size_t length = data.size() + 4;
  return std::string{char(length >> 8), char(length & 0xFF), char(type), 0} + data;
}

Step retr(Writes preliminary, Data data, Writes final_reply = "226 Done.\r\n") {
  Step s;
  s.verb = "RETR";
  s.reply = std::move(preliminary);
  s.data = std::move(data);
  s.after = std::move(final_reply);
  return s;
}

class HostileServer : public ftptest::SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    // A quiet server is given up after XXAMWAIT (one second).
    host::events::set_idle_limit(0);
    host::options::set("XXAMWAIT", "1");
  }

  // Opens F (assigned to `remote` with `options`), reads to the end and
  // closes; the records, the status that ended the reading (or the open's
  // failure) and the failure texts.
  struct Result {
    int32_t open = 0;
    std::vector<std::string> records;
    int32_t end = 0;
    std::vector<std::string> texts;
  };
  Result read_through(const std::string& remote, const std::string& options,
                      OpenParams params = {}) {
    assign("F", remote, "USER='u' PASS='p' " + options);
    Result r;
    std::unique_ptr<OpenFile> file;
    r.open = open("F", &file, params);
    if (r.open == st::OK) {
      r.records = read_all(*file, &r.end);
      file->close();
    }
    r.texts = failure_texts();
    return r;
  }

  static bool mentions(const std::vector<std::string>& texts, const std::string& part) {
    for (const auto& t : texts)
      if (t.find(part) != std::string::npos) return true;
    return false;
  }
  static std::string text_of(int number) {
    return std::string(host::messages::catalog_text(msg::GROUP, number)).substr(0, 20);
  }
};

TEST_F(HostileServer, AGreetingWithoutEndIsRefusedWithoutReadingItAll) {
  Script script;
  script.greeting = Writes("220 " + std::string(4 << 20, 'x'));
  script.defaults();
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, "too long")) << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, AReplyLineWithoutEndIsRefused) {
  Script script;
  script.defaults().on("USER", Writes::split("331 " + std::string(1 << 20, 'y'), 65536));
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, "too long")) << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, AMultiLineReplyThatGoesOnForEverIsRefused) {
  std::string lines = "220-Welcome\r\n";
  for (int i = 0; i < 12000; ++i) lines += " more\r\n";
  Script script;
  script.greeting = lines;
  script.defaults();
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, "10001 reply lines without a final reply"))
      << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, AMultiLineReplyThatStopsHalfWayEndsWithinXxamwait) {
  Script script;
  script.defaults().on("PASS", "230-Logged in\r\n and then nothing more");
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, text_of(msg::WAIT_TIMED_OUT))) << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, AHugeRefusalIsStillARefusal) {
  Script script;
  script.defaults().on("RETR", "550 " + std::string(60000, 'n') + "\r\n");
  serve(script);
  Result r = read_through("missing", "DEBUG");
  EXPECT_EQ(r.open, st::FILE_REFUSED);
  for (const auto& line : logged(msg::REPLY_LINE)) EXPECT_LE(line.size(), 300u);
}

TEST_F(HostileServer, RepliesAndDataInOneBytePacketsAreReadWhole) {
  Script script;
  script.greeting = Writes::split("220 Slow\r\n", 1);
  for (const char* verb : {"USER", "PASS", "PORT", "TYPE", "PWD"})
    script.on(verb, Writes::split(std::string(verb) == "USER" ? "331 Pass\r\n" : "200 Ok\r\n", 1));
  script.step(retr(Writes::split("150 Here\r\n", 1), Data::sending(Writes::split("ab\r\ncd\r\n", 1)),
                   Writes::split("226-Done\r\n226 Really\r\n", 1)));
  script.defaults();
  serve(script);
  Result r = read_through("f", "");
  ASSERT_EQ(r.open, st::OK);
  EXPECT_EQ(r.records, (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(r.end, st::END_OF_DATA);
  EXPECT_TRUE(r.texts.empty()) << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, ADataConnectionThatNeverComesEndsWithinXxamwait) {
  Script script;
  script.defaults().step(retr("150 Here.\r\n", Data{}, ""));
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, text_of(msg::WAIT_TIMED_OUT))) << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, APassiveReplyWithoutEndIsRefused) {
  Script script;
  script.defaults().on("EPSV", Writes::split("229 (|||" + std::string(1 << 20, '1'), 65536));
  serve(script);
  Result r = read_through("f", "PASV");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, "too long")) << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, APassivePortThatNeverAcceptsEndsWithinXxamwait) {
  Script script;
  script.passive_never_accepts = true;
  script.defaults().step(retr("150 Here.\r\n", Data::sending("never\r\n")));
  serve(script);
  Result r = read_through("f", "PASV");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, text_of(msg::WAIT_TIMED_OUT))) << testing::PrintToString(r.texts);
  EXPECT_TRUE(mentions(r.texts, text_of(msg::DATA_CONNECT_FAILED)))
      << testing::PrintToString(r.texts);
}

TEST_F(HostileServer, APassiveDataConnectionThatNeverSendsEndsWithinXxamwait) {
  Script script;
  script.defaults().step(retr("150 Here.\r\n", Data::sending(Writes::delayed(5000, "late\r\n")), ""));
  serve(script);
  Result r = read_through("f", "PASV");
  ASSERT_EQ(r.open, st::OK) << testing::PrintToString(r.texts);
  EXPECT_TRUE(r.records.empty());
  EXPECT_EQ(r.end, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, text_of(msg::WAIT_TIMED_OUT))) << testing::PrintToString(r.texts);
}

struct CorruptStream {
  const char* name;
  std::string options;
  Writes stream;
  bool reset;
  std::vector<std::string> good;  // records that may come back before the failure
  std::vector<int32_t> statuses{};  // the statuses of those records, when they must come
};

void PrintTo(const CorruptStream& c, std::ostream* out) { *out << c.name; }

class CorruptData : public HostileServer, public testing::WithParamInterface<CorruptStream> {};

// A record is never handed back with 0 when the stream did not hold it
// whole; the reading ends with a failure and a message.
TEST_P(CorruptData, EndsWithAFailureAndNoCutRecord) {
  const CorruptStream& c = GetParam();
  Script script;
  script.defaults().step(retr("150 Here.\r\n", Data::sending(c.stream, c.reset), "426 Aborted.\r\n"));
  serve(script);
  assign("F", "f", "USER='u' PASS='p' " + c.options);
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  std::vector<std::string> got;
  int32_t status = st::OK;
  for (size_t i = 0; i < c.good.size() + 2; ++i) {
    host::files::Record record;
    status = file->read(&record);
    if (status != st::OK && status != st::TRUNCATED) break;
    ASSERT_LT(i, c.good.size()) << "extra record " << record.view();
    EXPECT_EQ(record.view(), c.good[i]);
    if (i < c.statuses.size()) {
      EXPECT_EQ(status, c.statuses[i]);
    }
    got.emplace_back(record.view());
  }
  EXPECT_TRUE(st::is_failure(status)) << std::hex << status;
  if (!c.reset) {
    EXPECT_EQ(got, c.good);  // nothing is lost before the cut
  }
  EXPECT_FALSE(failure_texts().empty());
  file->close();
}

const std::string big(65531, 'a');

const CorruptStream corrupt_streams[] = {
    {"DescriptorBelowFour", "S370V", segment(0, "ok") + std::string("\0\3\0\0zz", 6), false, {"ok"}},
    {"DescriptorOfZeroInSegments", "S370VS", segment(0, "ok") + std::string("\0\0\1\0", 4), false,
     {"ok"}},
    {"DescriptorAt65535IsCutToTheRecordThenTheStreamEnds", "S370V LRECL=100",
     segment(0, big) + segment(0, "z") + std::string("\xff\xff\0\0", 4) + "short", false,
     {std::string(100, 'a'), "z"}, {st::TRUNCATED, st::OK}},
    {"SegmentsWithoutTheirLast", "S370VS", segment(0, "ok") + segment(1, "ab") + segment(3, "cd"),
     false, {"ok"}},
    {"ResetInALine", "", Writes({{"a\r\nbb"}, {"bb", 50}}), true, {"a"}},
    {"ResetInAFixedRecord", "RECFM=F LRECL=4", Writes({{"abcdef"}, {"g", 50}}), true, {"abcd"}},
    {"ResetInAnS370vRecord", "S370V", Writes({{segment(0, "abc")}, {segment(0, "defg").substr(0, 5), 50}}),
     true, {"abc"}},
    {"ResetInAnS370vsRecord", "S370VS", Writes({{segment(1, "abc")}, {segment(3, "d"), 50}}), true, {}},
    {"PassiveResetInALine", "PASV", Writes({{"a\r\nbb"}, {"bb", 50}}), true, {"a"}},
    {"PassiveResetInAFixedRecord", "PASV RECFM=F LRECL=4", Writes({{"abcdef"}, {"g", 50}}), true,
     {"abcd"}},
    {"PassiveDescriptorBelowFour", "PASV S370V", segment(0, "ok") + std::string("\0\3\0\0zz", 6),
     false, {"ok"}},
};

INSTANTIATE_TEST_SUITE_P(Streams, CorruptData, testing::ValuesIn(corrupt_streams),
                         [](const auto& info) { return std::string(info.param.name); });

// Port theft in active mode: someone else connects to the data port first.
class DataPeer : public HostileServer {
 protected:
  // A thief that connects to the announced data port from 127.0.0.77 as soon
  // as PORT has been seen, sends `bytes` and closes. TYPE is answered late,
  // so the thief is always first in the queue.
  void steal(ftptest::ScriptServer& server, std::string bytes) {
    thief_ = std::thread([&server, bytes] {
      if (!server.wait_until([](const ftptest::Record& r) { return !r.ports.empty(); }, 5000))
        return;
      const std::string port = server.record().ports.front();
      const size_t colon = port.rfind(':');
      std::string error;
      ftptest::Fd fd = ftptest::connect_tcp(port.substr(0, colon), std::stoi(port.substr(colon + 1)),
                                            2000, &error, "127.0.0.77");
      if (fd) ftptest::send_all(fd.get(), bytes, 2000);
    });
  }
  void TearDown() override {
    if (thief_.joinable()) thief_.join();
    HostileServer::TearDown();
  }
  Script script(Data data, Writes final_reply = "226 Done.\r\n") {
    Script s;
    s.on("TYPE", Writes::delayed(300, "200 Ok.\r\n"))
        .step(retr("150 Here.\r\n", std::move(data), std::move(final_reply)));
    s.defaults();
    return s;
  }
  // XXAMPEER set to `value` lets the connection from 127.0.0.77 in.
  void admitted_with(const char* value) {
    host::options::set("XXAMPEER", value);
    auto& server = serve(script(Data{}));
    steal(server, "from the data address\r\n");
    Result r = read_through("f", "");
    ASSERT_EQ(r.open, st::OK) << testing::PrintToString(r.texts);
    EXPECT_EQ(r.records, std::vector<std::string>{"from the data address"});
    EXPECT_TRUE(logged(msg::DATA_PEER_REFUSED).empty());
  }
  std::thread thief_;
};

TEST_F(DataPeer, AStrangerIsRefusedAndTheServersConnectionTaken) {
  auto& server = serve(script(Data::sending("good\r\n")));
  steal(server, "evil\r\n");
  Result r = read_through("f", "");
  ASSERT_EQ(r.open, st::OK) << testing::PrintToString(r.texts);
  EXPECT_EQ(r.records, std::vector<std::string>{"good"});
  auto refused = logged(msg::DATA_PEER_REFUSED);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("127.0.0.77"), std::string::npos);
}

TEST_F(DataPeer, OnlyAStrangerMeansNoDataConnection) {
  auto& server = serve(script(Data{}, ""));
  steal(server, "evil\r\n");
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(r.records.empty());
  EXPECT_EQ(logged(msg::DATA_PEER_REFUSED).size(), 1u);
  EXPECT_TRUE(mentions(r.texts, text_of(msg::WAIT_TIMED_OUT))) << testing::PrintToString(r.texts);
}

TEST_F(DataPeer, XxampeerNamesAServersSeparateDataAddress) { admitted_with("127.0.0.77"); }

TEST_F(DataPeer, XxampeerAnyAdmitsEveryAddress) { admitted_with("ANY"); }

}  // namespace
