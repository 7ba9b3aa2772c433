// Every ftpam command with --passive against pyftpdlib and vsftpd: the built
// binary run as a child process (empty HOME, no FTPHOST/FTPUSER, killed by
// its process id when its time is up), each run checked by what it shows and
// what the server holds afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/child_process.h"
#include "tests/support/real_servers.h"

namespace {

using ftptest::RealServer;
using ftptest::ServerKind;
using ftptest::Outcome;

constexpr int kRunMs = 15000;

class FtpamPassive : public testing::TestWithParam<ServerKind> {
 protected:
  void SetUp() override {
    if (std::string why = ftptest::unavailable(GetParam()); !why.empty()) GTEST_SKIP() << why;
    home_ = std::filesystem::temp_directory_path() / "ftpam-passive-home-XXXXXX";
    ASSERT_TRUE(mkdtemp(home_.data()));
    std::string error;
    server_ = RealServer::start(GetParam(), &error);
    ASSERT_TRUE(server_) << error;
  }
  void TearDown() override {
    server_.reset();
    if (!home_.empty()) std::filesystem::remove_all(home_);
  }

  // ftpam --passive COMMAND OPERAND... with the log-in options.
  Outcome passive(std::vector<std::string> command, const std::string& input = "") {
    std::vector<std::string> argv = {FTPAM_CLI_PATH, "--passive"};
    argv.insert(argv.end(), command.begin(), command.end());
    for (const std::string& a : {"host=" + server_->address(), "user=" + server_->user(),
                                 "pass=" + server_->password()})
      argv.push_back(a);
    return ftptest::run({argv, {"HOME=" + home_, "FTPHOST", "FTPUSER", "FTPAM_MODULE"}, input},
                         kRunMs);
  }

  std::string home_;
  std::unique_ptr<RealServer> server_;
};

std::string describe(const Outcome& o) {
  return "exit " + std::to_string(o.exit_status) + "\nstdout:\n" + o.out + "\nstderr:\n" + o.err;
}

TEST_P(FtpamPassive, EveryCommandWorks) {
  ASSERT_TRUE(server_->write_file("dir/a.txt", "a1\r\na2\r\n"));
  ASSERT_TRUE(server_->write_file("dir/b.txt", "b1\r\n"));
  ASSERT_TRUE(server_->write_file("fixed.dat", "ABCDEFGHIJKLMNOPQRST"));
  // pyftpdlib lists a folder, not a pattern.
  const std::string pattern = GetParam() == ServerKind::Vsftpd ? "*.txt" : ".";
  struct Case {
    std::vector<std::string> command;
    std::string input;
    std::string shows;  // a part of standard output
  };
  const Case cases[] = {
      {{"put", "up.txt"}, "one\ntwo\n", ""},
      {{"get", "up.txt"}, "", "one\ntwo\n"},
      {{"get", "fixed.dat", "recfm=f", "lrecl=10"}, "", "ABCDEFGHIJ\nKLMNOPQRST\n"},
      {{"ls", "wd=dir"}, "", "b.txt"},
      {{"ls", "--long", "wd=dir"}, "", "a.txt"},
      {{"mget", pattern, "wd=dir"}, "", "b1"},
      {{"mget", "(a.txt b.txt)", "wd=dir"}, "", "a1\na2\nb1\n"},
      {{"help"}, "", "21"},
      {{"stat"}, "", "21"},
      {{"cmd", "SYST"}, "", "215"},
      {{"info", "fixed.dat", "recfm=f", "lrecl=10"}, "", "Passive (EPSV)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command[0] + " " + (c.command.size() > 1 ? c.command[1] : ""));
    Outcome o = passive(c.command, c.input);
    EXPECT_EQ(o.exit_status, 0) << describe(o) << server_->log();
    EXPECT_NE(o.out.find(c.shows), std::string::npos) << describe(o);
  }
  EXPECT_EQ(server_->read_file("up.txt"), "one\ntwo\n");
}

INSTANTIATE_TEST_SUITE_P(Installed, FtpamPassive,
                         testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const testing::TestParamInfo<ServerKind>& info) {
                           return std::string(ftptest::server_name(info.param));
                         });

}  // namespace
