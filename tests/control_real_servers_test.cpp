// The control connection against real FTP servers (pyftpdlib and vsftpd):
// log in, read the replies of HELP, STAT and a raw command as records, close.
#include <gtest/gtest.h>

#include <string>

#include "host/messages.h"
#include "module/status.h"
#include "tests/support/real_servers.h"
#include "tests/support/session_support.h"

namespace {

using ftptest::RealServer;
using ftptest::ServerKind;

struct ReplyCase {
  const char* options;
  const char* first;  // the start of the reply's first line
  const char* last;   // the start of its last line
};

class RealControl : public ftptest::SessionTest,
                    public testing::WithParamInterface<ServerKind> {};

TEST_P(RealControl, LogInAndReadHelpStatAndARawCommand) {
  if (std::string why = ftptest::unavailable(GetParam()); !why.empty()) GTEST_SKIP() << why;
  std::string error;
  auto server = RealServer::start(GetParam(), &error);
  ASSERT_TRUE(server) << error;
  limit_waits(ftptest::kServerWaitSeconds);
  const ReplyCase cases[] = {
      {"RHELP", "214-", "214 "},
      {"RSTAT", "211-", "211 "},
      {"RCMD='SYST'", "215 UNIX", "215 UNIX"},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.options);
    assign("REAL", "", "USER='" + server->user() + "' PASS='" + server->password() + "' " +
                           c.options,
           server->address());
    std::unique_ptr<ftptest::OpenFile> file;
    int32_t status = open("REAL", &file);
    ASSERT_EQ(status, st::OK) << host::messages::describe_failure(status) << "\n" << server->log();
    int32_t end = 0;
    auto lines = read_all(*file, &end);
    EXPECT_EQ(end, st::END_OF_DATA);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind(c.first, 0), 0u) << lines.front();
    EXPECT_EQ(lines.back().rfind(c.last, 0), 0u) << lines.back();
    EXPECT_EQ(file->close(), st::OK);
  }
  server->stop();
}

INSTANTIATE_TEST_SUITE_P(Servers, RealControl,
                         testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const auto& info) { return std::string(ftptest::server_name(info.param)); });

}  // namespace
