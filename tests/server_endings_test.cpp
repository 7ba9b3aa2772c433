// How the module ends with a server that does not end well: a hang-up of the
// control connection, a listing refused at its end, replies that never
// become final, a reply too long to be one; and the data port fixed by the
// host option XXAMTPRT.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "host/messages.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::Then;
using ftptest::OpenFile;
using ftptest::OpenParams;

std::string repeated(const std::string& line, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += line;
  return s;
}

bool mentions(const std::vector<std::string>& texts, const std::string& part) {
  for (const auto& t : texts)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

class ServerEndings : public ftptest::SessionTest {
 protected:
  struct Result {
    int32_t open = 0;
    int32_t end = 0;
    int32_t close = 0;
    std::vector<std::string> texts;
  };
  // Opens F (assigned to `remote` with `options`), reads it through, closes it.
  Result read_through(const std::string& remote, const std::string& options) {
    assign("F", remote, "USER='u' PASS='p' " + options);
    Result r;
    std::unique_ptr<OpenFile> file;
    r.open = open("F", &file);
    if (r.open == st::OK) {
      read_all(*file, &r.end);
      r.close = file->close();
    }
    r.texts = failure_texts();
    return r;
  }
};

// A server that hangs up while our command is still unread resets the
// connection instead: the same end for the user.
TEST_F(ServerEndings, AHangUpOfTheControlConnectionIsAFailureThatSaysSo) {
  Script at_greeting, at_user, reset_at_greeting, reset_at_user;
  at_greeting.after_greeting = Then::Close;
  at_user.defaults().on("USER", "", Then::Close);
  reset_at_greeting.after_greeting = Then::Reset;
  reset_at_user.defaults().on("USER", "", Then::Reset);
  for (Script* script : {&at_greeting, &at_user, &reset_at_greeting, &reset_at_user}) {
    ftptest::ScriptServer& server = serve(*script);
    assign("F", "f", "USER='u' PASS='p'", server.address());
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED);
    EXPECT_EQ(failure_texts(), std::vector<std::string>{"The server closed the control connection."});
    server.stop();
  }
}

TEST_F(ServerEndings, AListingRefusedAtItsEndFailsTheCloseWithItsReason) {
  Script script;
  script.defaults().transfer("NLST", "150 Here.\r\n", Data::sending("a\r\n"), "451 Listing failed.\r\n");
  serve(script);
  Result r = read_through("", "LS");
  EXPECT_EQ(r.open, st::OK);
  EXPECT_EQ(r.close, st::FAILED);
  EXPECT_EQ(r.texts, std::vector<std::string>{
                         host::messages::catalog_text(msg::GROUP, msg::TRANSFER_REFUSED)});
  EXPECT_EQ(logged(msg::REPLY_LINE), std::vector<std::string>{"<<< 451 Listing failed."});
}

// Preliminary replies without end, and lines without a code, in place of the
// final reply: the close fails after a bounded number of them, with a bounded
// number of failure texts.
TEST_F(ServerEndings, AFinalReplyThatNeverComesIsGivenUp) {
  struct Case {
    std::string after;
    std::string reason;
  };
  const Case cases[] = {
      {repeated("150 Still going.\r\n", 300), "reply lines without a final reply"},
      {repeated("junk\r\n", 300), host::messages::catalog_text(msg::GROUP, msg::NO_REPLY_CODE)},
  };
  for (const Case& c : cases) {
    Script script;
    script.defaults().transfer("RETR", "150 Here.\r\n", Data::sending("a\r\n"), c.after);
    ftptest::ScriptServer& server = serve(script);
    assign("F", "f", "USER='u' PASS='p'", server.address());
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK);
    int32_t end = 0;
    read_all(*file, &end);
    EXPECT_EQ(file->close(), st::FAILED);
    auto texts = failure_texts();
    EXPECT_LE(texts.size(), 2u);
    EXPECT_TRUE(mentions(texts, c.reason)) << testing::PrintToString(texts);
    server.stop();
  }
}

TEST_F(ServerEndings, PreliminaryRepliesInsteadOfADataConnectionAreGivenUp) {
  Script script;
  script.defaults().on("RETR", "150 Here.\r\n" + repeated("150 Any moment now.\r\n", 300));
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, "reply lines without a final reply")) << testing::PrintToString(r.texts);
}

// The rest of a reply cut at its line limit is not read as the replies to
// the commands after it: the connection is given up.
TEST_F(ServerEndings, AReplyCutAtItsLineLimitEndsTheConnection) {
  Script script;
  script.defaults().on("NOOP", "200-Here it comes\r\n" + repeated(" more\r\n", 12000) + "200 End.\r\n");
  script.always("STAT", "211 Fine.\r\n");
  serve(script);
  Result r = read_through("f", "RCMD='NOOP'");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_TRUE(mentions(r.texts, "10001 reply lines")) << testing::PrintToString(r.texts);
  for (const auto& c : server().record().commands) {
    EXPECT_NE(c, "STAT");
    EXPECT_NE(c.rfind("RETR", 0), 0u);
  }
}

// A port no socket holds, below the range the system hands out to sockets
// that bind none (so that no other test's connection takes it meanwhile).
int free_port() {
  for (int port = 20000 + getpid() % 5000, tries = 0; tries < 100; ++port, ++tries) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    bool bound = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (bound) return port;
  }
  return -1;
}

TEST_F(ServerEndings, XxamtprtIsTheDataConnectionsPort) {
  const int port = free_port();
  ASSERT_GT(port, 0);
  host::options::set("XXAMTPRT", std::to_string(port));
  Script script;
  script.defaults().transfer("RETR", "150 Here.\r\n", Data::sending("a\r\n"), "226 Done.\r\n");
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::OK) << testing::PrintToString(r.texts);
  EXPECT_EQ(r.close, st::OK);
  auto ports = server().record().ports;
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].substr(ports[0].find(':') + 1), std::to_string(port));
}

// Our side closes an upload's data connection first, so its fixed port sits in
// TIME_WAIT afterwards: the next transfer must still be able to bind it.
TEST_F(ServerEndings, AFixedDataPortServesOneUploadAfterAnother) {
  const int port = free_port();
  ASSERT_GT(port, 0);
  host::options::set("XXAMTPRT", std::to_string(port));
  Script script;
  script.defaults()
      .transfer("STOR", "150 Send.\r\n", Data::receiving(), "226 Stored.\r\n")
      .transfer("STOR", "150 Send.\r\n", Data::receiving(), "226 Stored.\r\n");
  serve(script);
  assign("F", "out", "USER='u' PASS='p'");
  OpenParams out;
  out.mode = OPEN_OUTPUT;
  for (const char* record : {"first", "second"}) {
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open("F", &file, out), st::OK)
        << record << ": " << testing::PrintToString(failure_texts());
    EXPECT_EQ(file->write(record), st::OK);
    EXPECT_EQ(file->close(), st::OK);
  }
  ASSERT_TRUE(server().wait_sessions_ended(2, 5000));
  EXPECT_EQ(server().record().uploads, (std::vector<std::string>{"first\r\n", "second\r\n"}));
}

TEST_F(ServerEndings, AnXxamtprtBeyondThePortRangeIsRefused) {
  host::options::set("XXAMTPRT", "70000");
  Script script;
  script.defaults();
  serve(script);
  Result r = read_through("f", "");
  EXPECT_EQ(r.open, st::FAILED);
  EXPECT_EQ(r.texts, std::vector<std::string>{
                         "Host option XXAMTPRT must be a port number from 1 to 65535, not 70000."});
  EXPECT_TRUE(server().record().ports.empty());
}

}  // namespace
