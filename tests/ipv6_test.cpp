// FTP over IPv6 against the scripted server on ::1: every kind of open in
// active mode (EPRT from the control connection's address) and passive mode
// (EPSV only), the information items, XXAMBIND with an IPv6 address, a
// stranger at the data port, the family options, a name whose first address
// cannot be reached, and the failures particular to IPv6: an EPRT refused,
// an EPSV refused (no PASV to fall back on), an unusable 229 reply.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "host/messages.h"
#include "host/references.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/session_support.h"
#include "tests/support/sock_support.h"

namespace {

using ftptest::Data;
using ftptest::OpenFile;
using ftptest::OpenParams;
using ftptest::Script;
using ftptest::Writes;

constexpr const char* LOGIN = "USER u\nPASS p\n";

// The catalog's text of message `number` with its inserts in place.
std::string catalog(int number, std::vector<std::string> inserts = {}) {
  std::string text = host::messages::catalog_text(msg::GROUP, number);
  for (const std::string& insert : inserts)
    if (size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, insert);
  return text;
}

// Puts the C library's resolver back in the module's table.
struct ResolverRestored {
  ~ResolverRestored() {
    ftptest::syscalls().getaddrinfo = ftptest::original().getaddrinfo;
    ftptest::forget_names();
  }
};

class Ipv6 : public ftptest::SessionTest {
 protected:
  ftptest::ScriptServer& serve_v6(Script script) {
    script.defaults();
    return serve(std::move(script), "::1", 0);
  }
  // Opens F (remote `remote`, `options` + USER and PASS) on the server
  // started last.
  int32_t open_f(const std::string& remote, const std::string& options,
                 std::unique_ptr<OpenFile>* file, int32_t mode = OPEN_INPUT) {
    assign("F", remote, "USER='u' PASS='p' " + options, newest_server().host());
    OpenParams params;
    params.mode = mode;
    return open("F", file, params);
  }
  static std::map<std::string, std::string> items_of(OpenFile& file) {
    std::vector<std::pair<std::string, std::string>> items;
    EXPECT_EQ(file.items(&items), st::OK);
    return {items.begin(), items.end()};
  }
};

// Reads, writes and listings reach the server over IPv6 in both
// modes: EPRT names ::1 in active mode, EPSV alone is asked in passive mode.
TEST_F(Ipv6, EveryKindOfOpenGoesOverIpv6) {
  struct Case {
    const char* name;
    const char* remote;
    const char* options;
    int32_t mode;
    const char* verb;                  // the transfer command the server answers
    std::vector<std::string> records;  // read, or written
    const char* upload;                // what the server must receive when writing
    const char* setup;                 // EPRT or EPSV and TYPE
  };
  const Case cases[] = {
      {"retr active", "f", "", OPEN_INPUT, "RETR", {"one", "two"}, "", "EPRT |2|::1|*|\nTYPE A\n"},
      {"retr passive", "f", "PASV", OPEN_INPUT, "RETR", {"one", "two"}, "", "EPSV\nTYPE A\n"},
      {"fixed active", "f", "RECFM=F LRECL=5", OPEN_INPUT, "RETR", {"one\r\n", "two\r\n"}, "",
       "EPRT |2|::1|*|\nTYPE I\n"},
      {"stor active", "f", "", OPEN_OUTPUT, "STOR", {"x", "yz"}, "x\r\nyz\r\n",
       "EPRT |2|::1|*|\nTYPE A\n"},
      {"stor passive", "f", "PASV", OPEN_OUTPUT, "STOR", {"x"}, "x\r\n", "EPSV\nTYPE A\n"},
      {"nlst passive", "", "LS PASV", OPEN_INPUT, "NLST", {"one", "two"}, "", "EPSV\nTYPE A\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script script;
    const bool writing = c.mode == OPEN_OUTPUT;
    script.transfer(c.verb, "150 Here.\r\n",
                    writing ? Data::receiving() : Data::sending("one\r\ntwo\r\n"), "226 Done.\r\n");
    auto& server = serve_v6(script);
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open_f(c.remote, c.options, &file, c.mode), st::OK)
        << testing::PrintToString(failure_texts());
    if (writing) {
      for (const auto& r : c.records) EXPECT_EQ(file->write(r), st::OK);
    } else {
      int32_t end = 0;
      EXPECT_EQ(read_all(*file, &end), c.records);
      EXPECT_EQ(end, st::END_OF_DATA);
    }
    EXPECT_EQ(file->close(), st::OK);
    EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
    const std::string command = std::string(c.verb) + (c.remote[0] ? " " : "") + c.remote;
    EXPECT_EQ(server.transcript(), std::string(LOGIN) + c.setup + "PWD\n" + command + "\nQUIT\n");
    if (writing) {
      EXPECT_EQ(server.record().uploads, std::vector<std::string>{c.upload});
    }
    EXPECT_TRUE(server.record().problems.empty())
        << testing::PrintToString(server.record().problems);
    ASSERT_TRUE(host::references::deassign("F").ok());
    stop_server();
  }
}

// The items show the addresses in IPv6's text form; a passive data
// connection also names its family and address.
TEST_F(Ipv6, ItemsShowIpv6Addresses) {
  for (const char* options : {"", "PASV"}) {
    SCOPED_TRACE(options);
    Script script;
    script.transfer("RETR", "150 Here.\r\n", Data::sending("one\r\n"), "226 Done.\r\n");
    serve_v6(script);
    std::unique_ptr<OpenFile> file;
    ASSERT_EQ(open_f("f", options, &file), st::OK);
    auto items = items_of(*file);
    EXPECT_EQ(items["Service IP addr"], "::1");
    EXPECT_EQ(items["Local Host IP addr"], "::1");
    EXPECT_EQ(items["Service Portno"], std::to_string(newest_server().port()));
    if (options[0]) {
      EXPECT_EQ(items["Data Connection"], "Passive (EPSV), IPv6 ::1");
    } else {
      EXPECT_EQ(items.count("Data Connection"), 0u);
    }
    EXPECT_EQ(file->close(), st::OK);
    ASSERT_TRUE(host::references::deassign("F").ok());
    stop_server();
  }
}

// XXAMBIND names the address EPRT sends; over IPv6 it must be an IPv6 one.
TEST_F(Ipv6, XxambindGoesIntoEprt) {
  Script script;
  script.connect_at_port = true;  // where it would connect must be where we listen
  script.transfer("RETR", "150 Here.\r\n", Data::sending("one\r\n"), "226 Done.\r\n");
  auto& server = serve_v6(script);
  host::options::set("XXAMBIND", "0:0::1");
  std::unique_ptr<OpenFile> file;
  ASSERT_EQ(open_f("f", "", &file), st::OK) << testing::PrintToString(failure_texts());
  EXPECT_EQ(file->close(), st::OK);
  EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
  EXPECT_NE(server.transcript().find("EPRT |2|0:0::1|*|\n"), std::string::npos);
  ASSERT_TRUE(host::references::deassign("F").ok());

  host::options::set("XXAMBIND", "127.0.0.1");
  EXPECT_EQ(open_f("f", "", &file), st::FAILED);
  EXPECT_EQ(failure_texts(), std::vector<std::string>{catalog(msg::BIND_NOT_IPV6, {"127.0.0.1"})});
}

// Only the server's address may connect to the data port: over IPv6 an IPv4
// client reaching the port (as ::ffff:127.0.0.1) is a stranger, refused.
TEST_F(Ipv6, AStrangerAtTheDataPortIsRefused) {
  Script script;
  script.on("TYPE", Writes::delayed(300, "200 Ok.\r\n"));  // the stranger comes first
  script.transfer("RETR", "150 Here.\r\n", Data::sending("good\r\n"), "226 Done.\r\n");
  auto& server = serve_v6(script);
  bool stranger_connected = false;
  std::thread stranger([&server, &stranger_connected] {
    if (!server.wait_until([](const ftptest::Record& r) { return !r.ports.empty(); }, 5000)) return;
    const std::string port = server.record().ports.front();  // "[::1]:N"
    std::string error;
    ftptest::Fd fd = ftptest::connect_tcp("127.0.0.1", std::stoi(port.substr(port.rfind(':') + 1)),
                                          2000, &error);
    stranger_connected = bool(fd);
    if (fd) ftptest::send_all(fd.get(), "evil\r\n", 2000);
  });
  std::unique_ptr<OpenFile> file;
  int32_t status = open_f("f", "", &file);
  stranger.join();
  ASSERT_EQ(status, st::OK) << testing::PrintToString(failure_texts());
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"good"});
  EXPECT_EQ(file->close(), st::OK);
  if (!stranger_connected) GTEST_SKIP() << "IPv6 sockets here take no IPv4 connections";
  auto refused = logged(msg::DATA_PEER_REFUSED);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_NE(refused[0].find("::ffff:127.0.0.1"), std::string::npos) << refused[0];
}

// Refusals of the set-up fail with the server's reply; over IPv6 a refused
// EPSV is final (PASV cannot name an IPv6 address) and an unusable 229 too.
TEST_F(Ipv6, RefusedOrUnusableSetUpFailsWithAMessage) {
  struct Case {
    const char* options;
    const char* verb;
    const char* reply;
    std::string text;
    const char* sent;  // after the log-in
  };
  const Case cases[] = {
      {"", "EPRT", "500 EPRT not understood.\r\n",
       catalog(msg::EPRT_REFUSED, {"500 EPRT not understood."}), "EPRT |2|::1|*|\n"},
      {"", "EPRT", "522 Network protocol not supported, use (1).\r\n",
       catalog(msg::EPRT_REFUSED, {"522 Network protocol not supported, use (1)."}),
       "EPRT |2|::1|*|\n"},
      {"PASV", "EPSV", "502 No.\r\n", catalog(msg::EPSV_REFUSED_OVER_IPV6, {"502 No."}), "EPSV\n"},
      {"PASV", "EPSV", "229 Extended (|||)\r\n",
       catalog(msg::PASSIVE_REPLY_UNUSABLE, {"229 Extended (|||)"}), "EPSV\n"},
      {"PASV", "EPSV", "229 Extended (|2|::1|{port}|)\r\n",
       catalog(msg::PASSIVE_REPLY_UNUSABLE, {"229 Extended (|2|::1|"}), "EPSV\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Script script;
    script.on(c.verb, c.reply);
    script.transfer("RETR", "150 Here.\r\n", Data::sending("one\r\n"), "226 Done.\r\n");
    auto& server = serve_v6(script);
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open_f("f", c.options, &file), st::FAILED);
    auto texts = failure_texts();
    ASSERT_EQ(texts.size(), 1u) << testing::PrintToString(texts);
    EXPECT_EQ(texts[0].substr(0, c.text.size()), c.text);
    EXPECT_TRUE(server.wait_sessions_ended(1, 5000));
    EXPECT_EQ(server.transcript(), std::string(LOGIN) + c.sent);  // a failed open sends no QUIT
    ASSERT_TRUE(host::references::deassign("F").ok());
    stop_server();
  }
}

// IPV4 or IPV6 (or the host option XXAMINET) keeps the connect to one
// family: an address of the other is refused before anything is sent.
TEST_F(Ipv6, FamilyOptionsKeepToOneFamily) {
  struct Case {
    const char* options;
    const char* inet;  // XXAMINET, or null
    int32_t status;
    std::string text;
  };
  const Case cases[] = {
      {"IPV6", nullptr, st::OK, ""},
      {"", "6", st::OK, ""},
      {"IPV4 IPV6", nullptr, st::OK, ""},  // the later one stands
      {"IPV4", nullptr, st::FAILED, catalog(msg::NO_ADDRESS_OF_FAMILY, {"::1", "IPv4"})},
      {"", "4", st::FAILED, catalog(msg::NO_ADDRESS_OF_FAMILY, {"::1", "IPv4"})},
      {"", "7", st::FAILED, catalog(msg::FAMILY_OPTION_INVALID, {"7"})},
  };
  Script script;
  for (int i = 0; i < 3; ++i)
    script.transfer("RETR", "150 Here.\r\n", Data::sending("one\r\n"), "226 Done.\r\n");
  auto& server = serve_v6(script);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.options) + (c.inet ? c.inet : ""));
    host::options::reset();
    if (c.inet) host::options::set("XXAMINET", c.inet);
    std::unique_ptr<OpenFile> file;
    EXPECT_EQ(open_f("f", c.options, &file), c.status);
    auto texts = failure_texts();
    if (c.status == st::OK) {
      int32_t end = 0;
      EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"one"});
      EXPECT_EQ(file->close(), st::OK);
    } else {
      EXPECT_EQ(texts, std::vector<std::string>{c.text});
    }
    ASSERT_TRUE(host::references::deassign("F").ok());
  }
  EXPECT_TRUE(server.wait_sessions_ended(3, 5000));
}

// A name whose first address is unreachable reaches the server at the next.
TEST_F(Ipv6, ANameConnectsAtItsFirstReachableAddress) {
  Script script;
  script.transfer("RETR", "150 Here.\r\n", Data::sending("one\r\n"), "226 Done.\r\n");
  auto& server = serve_v6(script);
  limit_waits(20);  // bounds the unreachable address wherever it is routed
  ResolverRestored restored;
  ftptest::answer_name("ftp.dual.test", {"2001:db8::21", "::1"});
  ftptest::syscalls().getaddrinfo = ftptest::known_names_resolver;
  std::unique_ptr<OpenFile> file;
  assign("F", "f", "USER='u' PASS='p'",
         "ftp.dual.test:" + std::to_string(server.port()));
  ASSERT_EQ(open("F", &file), st::OK) << testing::PrintToString(failure_texts());
  auto items = items_of(*file);
  EXPECT_EQ(items["Service IP addr"], "::1");
  EXPECT_EQ(items["Service Hostname Name"], "ftp.dual.test");
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"one"});
  EXPECT_EQ(file->close(), st::OK);
}

}  // namespace
