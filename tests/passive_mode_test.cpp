// Passive data connections against the scripted server: EPSV accepted, EPSV
// refused and PASV taken instead (and not asked again within the open),
// replies whose port cannot be used, a 227 that names another machine, a
// port that refuses the connect or never completes it (break), the
// PASV option and the host option XXAMPASV, MGET, positioning and the
// information items in passive mode. Stores and listings in passive mode are
// tested against the real servers.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "host/events.h"
#include "host/messages.h"
#include "host/options.h"
#include "host/prompt.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"
#include "tests/support/sock_support.h"

namespace {

using ftptest::Data;
using ftptest::Script;
using ftptest::Writes;
using ftptest::OpenFile;
using ftptest::OpenParams;

constexpr const char* LOGIN = "USER u\nPASS p\n";

std::string catalog(int number) { return host::messages::catalog_text(msg::GROUP, number); }

bool mentions(const std::vector<std::string>& texts, const std::string& part) {
  for (const auto& t : texts)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

class PassiveMode : public ftptest::SessionTest {
 protected:
  // Opens F (remote "f", options + USER and PASS), reads it to the end and
  // closes it. The records; the open's status in *open_status.
  std::vector<std::string> read_through(const std::string& options, int32_t* open_status,
                                        std::string* mode_item = nullptr) {
    // Cases that start a server each go to the one started last.
    assign("F", "f", "USER='u' PASS='p' " + options, newest_server().address());
    std::unique_ptr<OpenFile> file;
    *open_status = open("F", &file);
    if (*open_status != st::OK) return {};
    if (mode_item) *mode_item = data_connection_item(*file);
    int32_t end = 0;
    auto records = read_all(*file, &end);
    EXPECT_EQ(end, st::END_OF_DATA);
    EXPECT_EQ(file->close(), st::OK);
    return records;
  }
  // The value of the item that names a passive data connection; "" without it.
  static std::string data_connection_item(OpenFile& file) {
    std::vector<std::pair<std::string, std::string>> items;
    EXPECT_EQ(file.items(&items), st::OK);
    for (const auto& [name, value] : items)
      if (name == "Data Connection") return value;
    return "";
  }
  std::string transcript_after_close() {
    EXPECT_TRUE(server().wait_sessions_ended(1, 5000));
    return server().transcript();
  }
  static Script retr_script(Script script = {}) {
    script.defaults().transfer("RETR", "150 Here.\r\n", Data::sending("one\r\ntwo\r\n"),
                               "226 Done.\r\n");
    return script;
  }
};

// Each server offers a port in its own way; the records arrive on a
// connection to that port on the server's address, and the items say how it
// was found.
TEST_F(PassiveMode, TheServersPortIsFoundAndUsed) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, const char*>> replies;  // one-time answers
    const char* setup;                                         // commands before TYPE
    const char* mode;
  };
  const Case cases[] = {
      {"epsv", {}, "EPSV\n", "Passive (EPSV)"},
      {"epsv with another delimiter", {{"EPSV", "229 Extended (!!!{port}!)\r\n"}}, "EPSV\n",
       "Passive (EPSV)"},
      {"epsv refused with 500", {{"EPSV", "500 Unknown.\r\n"}}, "EPSV\nPASV\n", "Passive (PASV)"},
      {"epsv refused with 502", {{"EPSV", "502 Not here.\r\n"}}, "EPSV\nPASV\n", "Passive (PASV)"},
      {"227 without parentheses",
       {{"EPSV", "500 No.\r\n"}, {"PASV", "227 Entering Passive Mode {h},{p1},{p2}\r\n"}},
       "EPSV\nPASV\n", "Passive (PASV)"},
      {"227 with blanks after commas",
       {{"EPSV", "500 No.\r\n"}, {"PASV", "227 =(127, 0, 0, 9, {p1}, {p2}).\r\n"}}, "EPSV\nPASV\n",
       "Passive (PASV)"},
      // The address a 227 names is never where the connection goes: a server
      // cannot send it to another machine (nobody listens on 127.0.0.77).
      {"227 naming another machine",
       {{"EPSV", "500 No.\r\n"}, {"PASV", "227 Entering Passive Mode (127,0,0,77,{p1},{p2})\r\n"}},
       "EPSV\nPASV\n", "Passive (PASV)"},
      {"227 naming an unreachable network",
       {{"EPSV", "500 No.\r\n"}, {"PASV", "227 Entering Passive Mode (10,9,8,7,{p1},{p2})\r\n"}},
       "EPSV\nPASV\n", "Passive (PASV)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script script;
    for (const auto& [verb, reply] : c.replies) script.on(verb, reply);
    auto& server = serve(retr_script(script));
    int32_t status = 0;
    std::string mode;
    EXPECT_EQ(read_through("PASV", &status, &mode), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(status, st::OK) << testing::PrintToString(failure_texts());
    EXPECT_EQ(mode, c.mode);
    EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
    EXPECT_EQ(server.transcript(),
              std::string(LOGIN) + c.setup + "TYPE A\nPWD\nRETR f\nQUIT\n");
    EXPECT_EQ(server.record().passive_connections, 1);
    EXPECT_TRUE(server.record().ports.empty());
    stop_server();
  }
}

// A reply whose port cannot be used fails the open with a message showing
// the reply; nothing is connected and no transfer command is sent.
TEST_F(PassiveMode, AnUnusableReplyFailsWithAMessage) {
  struct Case {
    const char* verb;
    std::string reply;
  };
  const Case cases[] = {
      {"EPSV", "229 Extended Passive Mode\r\n"},
      {"EPSV", "229 Extended (|||)\r\n"},
      {"EPSV", "229 Extended (|||0|)\r\n"},
      {"EPSV", "229 Extended (|||65536|)\r\n"},
      {"EPSV", "229 Extended (|||" + std::string(1500, '9') + "|)\r\n"},
      {"EPSV", "229 Extended (||{port}|)\r\n"},
      {"EPSV", "229 Extended (|||{port}\r\n"},
      {"EPSV", "229 Extended (111{port}1)\r\n"},
      {"EPSV", "200 Fine, but where?\r\n"},
      {"PASV", "227 Entering Passive Mode (127,0,0,1,200)\r\n"},
      {"PASV", "227 Entering Passive Mode (127,0,0,1,256,1)\r\n"},
      {"PASV", "227 Entering Passive Mode (127,0,0,1,0,0)\r\n"},
      {"PASV", "227 Entering Passive Mode (127,0,0,1,,{p2})\r\n"},
      {"PASV", "227 Entering Passive Mode\r\n"},
      {"PASV", "227 (" + std::string(1500, '1') + ")\r\n"},
      {"PASV", "200 Fine, but where?\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 60));
    Script script;
    if (std::string(c.verb) == "PASV") script.on("EPSV", "502 No.\r\n");
    script.on(c.verb, c.reply);
    auto& server = serve(retr_script(script));
    int32_t status = 0;
    read_through("PASV", &status);
    EXPECT_EQ(status, st::FAILED);
    auto texts = failure_texts();
    EXPECT_TRUE(mentions(texts, "names no usable port")) << testing::PrintToString(texts);
    EXPECT_EQ(server.record().passive_connections, 0);
    EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
    EXPECT_EQ(server.transcript().find("RETR"), std::string::npos);
    stop_server();
  }
}

// EPSV refused for good falls back to PASV; PASV refused too, or EPSV
// answered with 4xx (a passing trouble, not an unknown command), fails.
TEST_F(PassiveMode, RefusalsEndTheSetUp) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> replies;
    const char* sent;
  };
  const Case cases[] = {
      {{{"EPSV", "500 No.\r\n"}, {"PASV", "502 No.\r\n"}}, "EPSV\nPASV\n"},
      {{{"EPSV", "425 Cannot open passive connection.\r\n"}}, "EPSV\n"},
      {{{"EPSV", "502 No.\r\n"}, {"PASV", "421 Too many.\r\n"}}, "EPSV\nPASV\n"},
  };
  for (const Case& c : cases) {
    Script script;
    for (const auto& [verb, reply] : c.replies) script.on(verb, reply);
    auto& server = serve(retr_script(script));
    int32_t status = 0;
    read_through("PASV", &status);
    EXPECT_EQ(status, st::FAILED) << c.sent;
    EXPECT_EQ(failure_texts(), std::vector<std::string>{catalog(msg::PASSIVE_REFUSED)}) << c.sent;
    EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
    EXPECT_EQ(server.transcript(), std::string(LOGIN) + c.sent);
    stop_server();
  }
}

TEST_F(PassiveMode, ARefusedConnectFailsWithTheAddressAndPort) {
  // A port held bound on every address without listening refuses every connect.
  int held = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(held, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  const int port = ftptest::local_port(held);
  Script script;
  script.on("EPSV", "229 Extended (|||" + std::to_string(port) + "|)\r\n");
  auto& server = serve(retr_script(script));
  int32_t status = 0;
  read_through("PASV", &status);
  ::close(held);
  EXPECT_EQ(status, st::FAILED);
  auto texts = failure_texts();
  EXPECT_TRUE(mentions(texts, "refused")) << testing::PrintToString(texts);
  EXPECT_TRUE(mentions(texts, server.address() + " port " + std::to_string(port)))
      << testing::PrintToString(texts);
}

// Connects the module has started; the data connection's is the second.
std::atomic<int> g_connects{0};
int (*g_connect)(int, const sockaddr*, socklen_t);
int counting_connect(int fd, const sockaddr* address, socklen_t length) {
  const int result = g_connect(fd, address, length);
  ++g_connects;
  return result;
}

// A port whose queue is full never completes the connect; a confirmed break
// ends the wait (XXAMWAIT does too: the hostile-server suite). The break is
// asked for once the data connect has started, so that it cannot land in the
// wait for a reply on a slow machine (a break asked for before the connect's
// wait starts is delivered when it does).
TEST_F(PassiveMode, ABreakEndsAConnectThatNeverCompletes) {
  Script script;
  script.passive_never_accepts = true;
  serve(retr_script(script));
  host::events::set_idle_limit(-1);  // nothing but the break ends the wait
  host::prompt::set_responder(host::prompt::scripted_responder({"yes"}));
  const SockSyscalls saved = ftptest::syscalls();
  g_connects = 0;
  g_connect = saved.connect;
  ftptest::syscalls().connect = counting_connect;
  std::thread breaker([] {
    for (int waited = 0; g_connects < 2 && waited < ftptest::kEventWaitMs; waited += 10)
      usleep(10 * 1000);
    host::events::request_break();
  });
  int32_t status = 0;
  read_through("PASV", &status);
  breaker.join();
  ftptest::syscalls() = saved;
  EXPECT_EQ(g_connects, 2);
  EXPECT_EQ(status, st::FAILED);
  auto texts = failure_texts();
  EXPECT_TRUE(mentions(texts, catalog(msg::WAIT_BROKEN))) << testing::PrintToString(texts);
  EXPECT_TRUE(mentions(texts, "No data connection could be made"))
      << testing::PrintToString(texts);
}

// XXAMPASV with a positive number makes every reference passive; anything
// else leaves active mode, as does the lack of both.
TEST_F(PassiveMode, XxampasvChoosesTheDefault) {
  const std::pair<const char*, bool> cases[] = {
      {"1", true}, {"7", true}, {"0", false}, {"-1", false}, {"yes", false}, {"", false},
  };
  for (const auto& [value, passive] : cases) {
    host::options::set("XXAMPASV", value);
    auto& server = serve(retr_script());
    int32_t status = 0;
    EXPECT_EQ(read_through("", &status).size(), 2u) << value;
    EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
    const std::string setup = passive ? "EPSV\n" : "PORT 127,0,0,1,*,*\n";
    EXPECT_EQ(server.transcript(), std::string(LOGIN) + setup + "TYPE A\nPWD\nRETR f\nQUIT\n")
        << value;
    stop_server();
  }
  host::options::set("XXAMPASV", "");
}

// After EPSV was refused once, the next MGET file goes straight to PASV.
TEST_F(PassiveMode, MgetAsksWithEpsvOnlyUntilItIsRefused) {
  Script script;
  script.on("EPSV", "500 Unknown.\r\n")
      .transfer("NLST", "150 Names.\r\n", Data::sending("a\r\nb\r\n"), "226 Done.\r\n");
  script.step({"RETR", "150 Here.\r\n", Data::sending("r\r\n"), "226 Done.\r\n",
               ftptest::Then::Auto, true});
  serve(script.defaults());
  assign("F", "*", "USER='u' PASS='p' MGET PASV");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK) << testing::PrintToString(failure_texts());
  int32_t end = 0;
  std::vector<std::string> records = read_all(*file, &end);
  EXPECT_EQ(end, st::NEXT_CONNECTION);
  records.push_back("--next--");
  auto rest = read_all(*file, &end);
  records.insert(records.end(), rest.begin(), rest.end());
  EXPECT_EQ(end, st::END_OF_DATA);
  EXPECT_EQ(records, (std::vector<std::string>{"r", "--next--", "r"}));
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_EQ(transcript_after_close(), std::string(LOGIN) +
                                          "EPSV\nPASV\nTYPE A\nPWD\nNLST *\n"
                                          "PASV\nTYPE A\nPWD\nRETR a\n"
                                          "PASV\nTYPE A\nPWD\nRETR b\nQUIT\n");
  EXPECT_EQ(server().record().passive_connections, 3);
}

TEST_F(PassiveMode, PositioningReadsBackFromTheWorkFile) {
  serve(retr_script());
  assign("F", "f", "USER='u' PASS='p' PASV");
  std::unique_ptr<OpenFile> file;
  OpenParams params;
  params.mode = OPEN_INPUT | OPEN_POSITIONING;
  ASSERT_EQ(open("F", &file, params), st::OK) << testing::PrintToString(failure_texts());
  host::files::Record r;
  ASSERT_EQ(file->read(&r), st::OK);
  Position second;
  ASSERT_EQ(file->note(&second), st::OK);
  ASSERT_EQ(file->read(&r), st::OK);
  EXPECT_EQ(r.view(), "two");
  EXPECT_EQ(file->read(&r), st::END_OF_DATA);
  ASSERT_EQ(file->point(second), st::OK);
  ASSERT_EQ(file->read(&r), st::OK);
  EXPECT_EQ(r.view(), "two");
  EXPECT_EQ(file->close(), st::OK);
}

}  // namespace
