// The real FTP servers of the end-to-end tests, checked with a plain socket
// client: each starts on 127.0.0.N:21, lets the test user log in, lists and
// stores files over active data connections, and is gone after stop(). With
// TLS, checked with curl or ftplib: each serves and takes a file over TLS,
// verified against the test CA, and refuses a log-in in clear.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ostream>

#include "tests/support/net.h"
#include "tests/support/plain_ftp_client.h"
#include "tests/support/real_servers.h"
#include "tests/support/tls_clients.h"

namespace ftptest {
// Names the parameter in test listings ("pyftpdlib", not a byte dump).
void PrintTo(ServerKind kind, std::ostream* out) { *out << server_name(kind); }
}  // namespace ftptest

namespace {

using ftptest::PlainFtpClient;
using ftptest::RealServer;
using ftptest::ServerCert;
using ftptest::ServerKind;
using ftptest::TlsMode;

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

struct TlsRow {
  ServerKind kind;
  TlsMode mode;
  ServerCert cert;
  const char* refusal;  // what the client says of the certificate; "" when it verifies
};

// The last row shows that the certificate asked for is the one served.
const TlsRow kTlsRows[] = {
    {ServerKind::Pyftpdlib, TlsMode::Explicit, ServerCert::Valid, ""},
    {ServerKind::Pyftpdlib, TlsMode::Implicit, ServerCert::Valid, ""},
    {ServerKind::Vsftpd, TlsMode::Explicit, ServerCert::Valid, ""},
    {ServerKind::Vsftpd, TlsMode::Implicit, ServerCert::Valid, ""},
    {ServerKind::Vsftpd, TlsMode::Implicit, ServerCert::Expired, "certificate has expired"},
};

void PrintTo(const TlsRow& row, std::ostream* out) {
  *out << ftptest::server_name(row.kind) << ", " << ftptest::tls_mode_name(row.mode) << ", "
       << ftptest::cert_name(row.cert);
}

class RealTlsServers : public testing::TestWithParam<TlsRow> {};

TEST_P(RealTlsServers, ServeOverVerifiedTls) {
  const TlsRow& row = GetParam();
  if (std::string why = ftptest::unavailable(row.kind, row.mode); !why.empty())
    GTEST_SKIP() << why;
  std::string error;
  auto server = RealServer::start(row.kind, &error, {row.mode, row.cert});
  ASSERT_TRUE(server) << error;
  EXPECT_EQ(server->port(), row.mode == TlsMode::Implicit ? 990 : 21);
  ASSERT_TRUE(server->write_file("dir/a.txt", "over TLS\r\n"));

  ftptest::TlsTransfer transfer;
  transfer.client =
      row.kind == ServerKind::Pyftpdlib ? ftptest::TlsClient::Ftplib : ftptest::TlsClient::Curl;
  transfer.mode = row.mode;
  transfer.address = server->address();
  transfer.ca_file = server->ca_file();
  transfer.user = server->user();
  transfer.password = server->password();
  transfer.remote = "dir/a.txt";
  ftptest::Outcome got = ftptest::transfer_over_tls(transfer);
  if (*row.refusal) {
    EXPECT_NE(got.exit_status, 0);
    EXPECT_NE(got.err.find(row.refusal), std::string::npos) << got.err;
    return;
  }
  EXPECT_EQ(got.exit_status, 0) << got.err << server->log();
  EXPECT_EQ(got.out, "over TLS\r\n");

  transfer.upload = true;
  transfer.remote = "dir/b.bin";
  transfer.input = std::string("a\0b\r\n", 5);
  got = ftptest::transfer_over_tls(transfer);
  EXPECT_EQ(got.exit_status, 0) << got.err << server->log();
  EXPECT_EQ(server->read_file("dir/b.bin"), transfer.input);

  if (row.mode == TlsMode::Explicit) {
    PlainFtpClient plain;
    EXPECT_EQ(plain.connect(server->address()).substr(0, 4), "220 ");
    EXPECT_FALSE(plain.login(server->user(), server->password()));
  }
}

INSTANTIATE_TEST_SUITE_P(Installed, RealTlsServers, testing::ValuesIn(kTlsRows),
                         [](const testing::TestParamInfo<TlsRow>& info) {
                           const TlsRow& row = info.param;
                           std::string name = std::string(ftptest::server_name(row.kind)) + "_" +
                                              ftptest::tls_mode_name(row.mode);
                           if (row.cert != ServerCert::Valid)
                             name += std::string("_") + ftptest::cert_name(row.cert);
                           return name;
                         });

}  // namespace
