// The scripted FTP server of the protocol tests, checked with a plain socket
// client: greeting, replies as scripted, PORT and data both ways, transcript.
#include <gtest/gtest.h>

#include "tests/support/ftp_script_server.h"
#include "tests/support/plain_ftp_client.h"

namespace {

using ftptest::Data;
using ftptest::PlainFtpClient;
using ftptest::Script;
using ftptest::ScriptServer;
using ftptest::Then;
using ftptest::Writes;

TEST(ScriptServer, ListensOnPort21OfALoopbackAddressOfItsOwn) {
  ScriptServer first(Script{}), second(Script{});
  std::string error;
  ASSERT_TRUE(first.start(&error)) << error;
  ASSERT_TRUE(second.start(&error)) << error;
  EXPECT_NE(first.address(), second.address());
  EXPECT_EQ(first.address().rfind("127.0.0.", 0), 0u);
  PlainFtpClient client;
  EXPECT_EQ(client.connect(second.address()), "220 Scripted FTP server ready.\r\n");
}

TEST(ScriptServer, AnswersEachCommandAsScripted) {
  Script script;
  script.greeting = Writes::split("220-Welcome\r\n220 ready\r\n", 5, 20);
  script.on("USER", "331 pw\r\n")
      .on("USER", "530 no second time\r\n")
      .on("HELP", "214-The commands are:\r\n NOOP\r\n200 not the end\r\n214 End\r\n")
      .on("SYST", "UNIX, sort of\r\n")
      .always("NOOP", Writes::delayed(30, "200 ok\r\n"))
      .on("STAT", "", Then::Close);
  ScriptServer server(script);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;

  PlainFtpClient client;
  EXPECT_EQ(client.connect(server.address()), "220-Welcome\r\n220 ready\r\n");
  EXPECT_EQ(client.command("user a"), "331 pw\r\n");  // verbs match in any case
  EXPECT_EQ(client.command("USER b"), "530 no second time\r\n");
  EXPECT_EQ(client.command("USER c"), "502 Command not implemented.\r\n");
  EXPECT_EQ(client.command("HELP"),
            "214-The commands are:\r\n NOOP\r\n200 not the end\r\n214 End\r\n");
  EXPECT_EQ(client.command("SYST"), "UNIX, sort of\r\n");
  EXPECT_EQ(client.command("NOOP"), "200 ok\r\n");
  EXPECT_EQ(client.command("NOOP"), "200 ok\r\n");
  EXPECT_EQ(client.command("STAT"), "");  // closed instead of a reply
  ASSERT_TRUE(server.wait_sessions_ended(1, 10000));

  ftptest::Record r = server.record();
  EXPECT_EQ(r.unscripted, std::vector<std::string>{"USER c"});
  EXPECT_TRUE(r.problems.empty());
}

TEST(ScriptServer, StrictScriptReportsACommandOutOfOrder) {
  Script script;
  script.strict = true;
  script.on("USER", "331 pw\r\n").on("PASS", "230 in\r\n");
  ScriptServer server(script);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  PlainFtpClient client;
  client.connect(server.address());
  EXPECT_EQ(client.command("PASS x"), "502 Command not implemented.\r\n");
  EXPECT_EQ(client.command("USER u"), "331 pw\r\n");
  server.stop();
  EXPECT_EQ(server.record().problems, std::vector<std::string>{"expected USER, got: PASS x"});
}

// Both ways the server may open the data connection, and both directions.
class ScriptServerData : public testing::TestWithParam<bool> {};

TEST_P(ScriptServerData, ConnectsToThePortAddressAndMovesData) {
  Script script;
  script.connect_at_port = GetParam();
  script.defaults()
      .transfer("RETR", "150 here\r\n", Data::sending({{"line 1\r\nli"}, {"ne 2\r\n", 30}}),
                "226 sent\r\n")
      .transfer("STOR", "150 go on\r\n", Data::receiving(), "226 stored\r\n");
  ScriptServer server(script);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;

  PlainFtpClient client;
  client.connect(server.address());
  ASSERT_TRUE(client.login("u", "p"));
  std::string bytes;
  EXPECT_EQ(client.retrieve("RETR f", &bytes), "150 here\r\n226 sent\r\n");
  EXPECT_EQ(bytes, "line 1\r\nline 2\r\n");
  EXPECT_EQ(client.store("STOR g", "uploaded\r\nbytes"), "150 go on\r\n226 stored\r\n");
  EXPECT_EQ(client.command("QUIT"), "221 Goodbye.\r\n");
  ASSERT_TRUE(server.wait_sessions_ended(1, 10000));

  ftptest::Record r = server.record();
  EXPECT_EQ(r.uploads, std::vector<std::string>{"uploaded\r\nbytes"});
  ASSERT_EQ(r.ports.size(), 2u);
  EXPECT_EQ(r.ports[0].rfind("127.0.0.1:", 0), 0u);
  EXPECT_TRUE(r.problems.empty()) << r.problems[0];
  EXPECT_EQ(server.transcript(),
            "USER u\nPASS p\nPORT 127,0,0,1,*,*\nRETR f\nPORT 127,0,0,1,*,*\nSTOR g\nQUIT\n");
}

INSTANTIATE_TEST_SUITE_P(AtPortOrAtTransfer, ScriptServerData, testing::Bool());

TEST(ScriptServer, ResetsTheDataConnectionMidTransfer) {
  Script script;
  script.defaults().transfer("RETR", "150 here\r\n", Data::sending({{"part"}, {"", 30}}, true),
                             "426 broken\r\n");
  ScriptServer server(script);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  PlainFtpClient client;
  client.connect(server.address());
  ASSERT_EQ(client.port(), "200 PORT command successful.\r\n");
  EXPECT_EQ(client.command("RETR f"), "150 here\r\n");
  std::string bytes;
  EXPECT_FALSE(client.receive_data(&bytes));  // a reset, not an end of data
  EXPECT_EQ(client.read_reply(), "426 broken\r\n");
}

TEST(ScriptServer, RecordsWhatArrivedBeforeStopExactly) {
  Script script;
  script.on("USER", Writes::delayed(60000, "331 never sent\r\n"));
  ScriptServer server(script);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  PlainFtpClient client;
  client.connect(server.address());
  ASSERT_TRUE(ftptest::send_all(client.control(), "USER a\r\nPASS x\nNOO", 5000));
  ASSERT_TRUE(server.wait_until([](const ftptest::Record& r) { return !r.commands.empty(); },
                                10000));
  server.stop();  // ends the 60-second pause at once
  ftptest::Record r = server.record();
  EXPECT_EQ(r.control_bytes, "USER a\r\nPASS x\nNOO");
  EXPECT_EQ(r.commands, (std::vector<std::string>{"USER a", "PASS x", "NOO"}));
  EXPECT_EQ(ftptest::mask_port("PORT 127,0,0,1,200,7"), "PORT 127,0,0,1,*,*");
}

}  // namespace
