// The real FTP servers of the end-to-end tests, checked with a plain socket
// client: each starts on 127.0.0.N:21, lets the test user log in, lists and
// stores files over active data connections, and is gone after stop().
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "tests/support/net.h"
#include "tests/support/plain_ftp_client.h"
#include "tests/support/real_servers.h"

namespace ftptest {
// Names the parameter in test listings ("pyftpdlib", not a byte dump).
void PrintTo(ServerKind kind, std::ostream* out) { *out << server_name(kind); }
}  // namespace ftptest

namespace {

using ftptest::PlainFtpClient;
using ftptest::RealServer;
using ftptest::ServerKind;

class RealServers : public testing::TestWithParam<ServerKind> {};

TEST_P(RealServers, StartServeAndStop) {
  if (std::string why = ftptest::unavailable(GetParam()); !why.empty()) GTEST_SKIP() << why;
  std::string error;
  auto server = RealServer::start(GetParam(), &error);
  ASSERT_TRUE(server) << error;
  ASSERT_TRUE(server->write_file("dir/one.txt", "first\r\n"));
  ASSERT_TRUE(server->write_file("dir/two.txt", "second\r\n"));

  PlainFtpClient client;
  EXPECT_EQ(client.connect(server->address()).substr(0, 4), "220 ");
  ASSERT_TRUE(client.login(server->user(), server->password())) << server->log();
  EXPECT_EQ(client.command("CWD dir").substr(0, 3), "250");
  std::string listing;
  std::string replies = client.retrieve("NLST one.txt", &listing);
  EXPECT_EQ(replies.substr(0, 1), "1") << replies;
  EXPECT_EQ(replies.substr(replies.find("\r\n") + 2, 3), "226") << replies;
  EXPECT_EQ(listing, "one.txt\r\n");

  // Write permission: a new file and a replaced one.
  EXPECT_EQ(client.command("TYPE I").substr(0, 3), "200");
  for (const char* name : {"new.bin", "two.txt"}) {
    replies = client.store(std::string("STOR ") + name, std::string("a\0b\r\n", 5));
    EXPECT_NE(replies.find("226"), std::string::npos) << replies;
    EXPECT_EQ(server->read_file(std::string("dir/") + name), std::string("a\0b\r\n", 5));
  }
  EXPECT_EQ(client.command("QUIT").substr(0, 3), "221");

  // Gone: its address is this process's own, so nothing else can be
  // listening there, and a connection is refused at once.
  std::string address = server->address();
  server->stop();
  std::string refused;
  EXPECT_FALSE(ftptest::connect_tcp(address, 21, 2000, &refused));
  EXPECT_NE(refused.find(std::strerror(ECONNREFUSED)), std::string::npos) << refused;
}

INSTANTIATE_TEST_SUITE_P(Installed, RealServers,
                         testing::Values(ServerKind::Pyftpdlib, ServerKind::Vsftpd),
                         [](const testing::TestParamInfo<ServerKind>& info) {
                           return std::string(ftptest::server_name(info.param));
                         });

}  // namespace
