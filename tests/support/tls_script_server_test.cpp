// The TLS harness checked with tools we did not write: each test certificate
// fails verification for its one reason alone (openssl verify), and the
// scripted TLS server serves curl and notices what the TLS tests rely on:
// commands in clear, resumed sessions, and how each data connection ended.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/tls_certificates.h"
#include "tests/support/tls_clients.h"
#include "tests/support/tls_script_server.h"

namespace ftptest {
// Names the parameter in test listings ("explicit", not a byte dump).
void PrintTo(TlsMode mode, std::ostream* out) { *out << tls_mode_name(mode); }
}  // namespace ftptest

namespace {

using ftptest::ServerCert;
using ftptest::TlsMode;
using ftptest::TlsScenario;
using ftptest::TlsScriptServer;

constexpr const char* kAddress = "127.0.0.77";  // only named in the certificates

struct VerifyRow {
  ServerCert cert;
  const char* trusted;  // "ca", "other_ca", or "itself"
  const char* option;   // one more option of openssl verify, or ""
  const char* host;     // the name checked; "" checks the address
  const char* result;   // in what openssl says
};

// Each refusal, then the same certificate passing once its one defect is
// looked past.
const VerifyRow kVerifyRows[] = {
    {ServerCert::Valid, "ca", "", "", ": OK"},
    {ServerCert::Valid, "ca", "", "ftp.test", ": OK"},
    {ServerCert::WrongHost, "ca", "", "", "IP address mismatch"},
    {ServerCert::WrongHost, "ca", "", "ftp.test", "hostname mismatch"},
    {ServerCert::WrongHost, "ca", "", "other.test", ": OK"},
    {ServerCert::SelfSigned, "ca", "", "", "self-signed certificate"},
    {ServerCert::SelfSigned, "itself", "", "", ": OK"},
    {ServerCert::UnknownCa, "ca", "", "", "unable to get local issuer certificate"},
    {ServerCert::UnknownCa, "other_ca", "", "", ": OK"},
    {ServerCert::Expired, "ca", "", "", "certificate has expired"},
    {ServerCert::Expired, "ca", "-no_check_time", "", ": OK"},
};

void PrintTo(const VerifyRow& row, std::ostream* out) {
  *out << ftptest::cert_name(row.cert) << " trusting " << row.trusted << " for "
       << (*row.host ? row.host : kAddress) << " " << row.option;
}

class TlsCertificates : public testing::TestWithParam<VerifyRow> {};

TEST_P(TlsCertificates, VerifyOrFailForTheirOneReason) {
  const VerifyRow& row = GetParam();
  std::string error;
  const ftptest::TestCertificates& certs = ftptest::test_certificates(kAddress, &error);
  ASSERT_FALSE(certs.ca_file.empty()) << error;
  const std::string& cert = certs[row.cert].cert;
  std::string trusted = std::string(row.trusted) == "ca"       ? certs.ca_file
                        : std::string(row.trusted) == "other_ca" ? certs.other_ca_file
                                                                 : cert;
  ftptest::Launch verify;
  verify.argv = {"/usr/bin/openssl", "verify", "-CAfile", trusted};
  if (*row.option) verify.argv.push_back(row.option);
  if (*row.host)
    verify.argv.insert(verify.argv.end(), {"-verify_hostname", row.host});
  else
    verify.argv.insert(verify.argv.end(), {"-verify_ip", kAddress});
  verify.argv.push_back(cert);
  ftptest::Outcome said = ftptest::run(verify, 30000);
  EXPECT_NE((said.out + said.err).find(row.result), std::string::npos) << said.out << said.err;
}

INSTANTIATE_TEST_SUITE_P(Made, TlsCertificates, testing::ValuesIn(kVerifyRows),
                         [](const testing::TestParamInfo<VerifyRow>& info) {
                           return std::string(ftptest::cert_name(info.param.cert)) + "_" +
                                  std::to_string(info.index);
                         });

TEST(TlsCertificatesFor, NothingButAnAddress) {
  std::string error;
  EXPECT_TRUE(ftptest::test_certificates("../127.0.0.2", &error).ca_file.empty());
  EXPECT_NE(error.find("not an IPv4 address"), std::string::npos) << error;
}

std::unique_ptr<TlsScriptServer> start(TlsScenario scenario, TlsMode mode, std::string* error) {
  auto server = TlsScriptServer::start({scenario}, {mode}, error);
  if (server) server->write_file("f.txt", "seen by the server\n");
  return server;
}

ftptest::TlsTransfer fetch(const TlsScriptServer& server, TlsMode mode) {
  ftptest::TlsTransfer transfer;
  transfer.mode = mode;
  transfer.address = server.address();
  transfer.ca_file = server.ca_file();
  transfer.password = "secret";
  transfer.remote = "f.txt";
  return transfer;
}

void expect_data(const ftptest::TlsDataConnection& seen, const ftptest::TlsDataConnection& want) {
  EXPECT_EQ(seen.mode, want.mode);
  EXPECT_EQ(seen.verb, want.verb);
  EXPECT_EQ(seen.tls, want.tls);
  EXPECT_EQ(seen.resumed, want.resumed);
  EXPECT_EQ(seen.bytes, want.bytes);
  EXPECT_EQ(seen.end, want.end);
}

class TlsScriptServerModes : public testing::TestWithParam<TlsMode> {};

TEST_P(TlsScriptServerModes, ServesCurl) {
  std::string error;
  auto server = start(TlsScenario::Normal, GetParam(), &error);
  ASSERT_TRUE(server) << error;
  ftptest::Outcome got = ftptest::transfer_over_tls(fetch(*server, GetParam()));
  EXPECT_EQ(got.exit_status, 0) << got.err << server->transcript();
  EXPECT_EQ(got.out, "seen by the server\n");
  server->stop();

  ftptest::TlsRecord seen = server->record();
  ASSERT_FALSE(seen.commands.empty()) << server->transcript();
  // curl asks for AUTH SSL first; after it, nothing in clear.
  std::size_t first_tls = GetParam() == TlsMode::Explicit ? 1 : 0;
  if (first_tls) {
    EXPECT_EQ(seen.commands[0], "clear AUTH SSL");
  }
  for (std::size_t i = first_tls; i < seen.commands.size(); ++i)
    EXPECT_EQ(seen.commands[i].rfind("tls ", 0), 0u) << seen.commands[i];
  EXPECT_NE(server->transcript().find(" tls PASS secret\n"), std::string::npos);
  ASSERT_EQ(seen.data.size(), 1u) << server->transcript();
  expect_data(seen.data[0], {"passive", "RETR", true, true, 19, "close_notify"});
}

INSTANTIATE_TEST_SUITE_P(Both, TlsScriptServerModes,
                         testing::Values(TlsMode::Explicit, TlsMode::Implicit),
                         [](const testing::TestParamInfo<TlsMode>& info) {
                           return std::string(ftptest::tls_mode_name(info.param));
                         });

TEST(TlsScriptServer, RefusingAuthSeesNoLogIn) {
  std::string error;
  auto server = start(TlsScenario::RefuseAuth, TlsMode::Explicit, &error);
  ASSERT_TRUE(server) << error;
  ftptest::Outcome got = ftptest::transfer_over_tls(fetch(*server, TlsMode::Explicit));
  EXPECT_NE(got.exit_status, 0) << got.out;
  server->stop();
  ftptest::TlsRecord seen = server->record();
  ASSERT_FALSE(seen.commands.empty()) << server->transcript();
  for (const std::string& command : seen.commands)
    EXPECT_EQ(command.rfind("clear AUTH ", 0), 0u) << server->transcript();
}

// What the server notices of a data connection, with a client that can be
// told to get it wrong (ftplib).
struct SeenRow {
  const char* name;
  bool upload, active, reuse, close_notify;
  bool succeeds;
  ftptest::TlsDataConnection seen;
};

const SeenRow kSeenRows[] = {
    {"download", false, false, true, true, true,
     {"passive", "RETR", true, true, 19, "close_notify"}},
    {"active_download", false, true, true, true, true,
     {"active", "RETR", true, true, 19, "close_notify"}},
    {"new_session", false, false, false, true, false, {"passive", "RETR", true, false, 0, "cut"}},
    {"upload", true, false, true, true, true, {"passive", "STOR", true, true, 7, "close_notify"}},
    {"upload_without_close_notify", true, false, true, false, false,
     {"passive", "STOR", true, true, 7, "eof"}},
};

void PrintTo(const SeenRow& row, std::ostream* out) { *out << row.name; }

class TlsScriptServerSees : public testing::TestWithParam<SeenRow> {};

TEST_P(TlsScriptServerSees, HowEachDataConnectionWent) {
  const SeenRow& row = GetParam();
  std::string error;
  auto server = start(TlsScenario::Normal, TlsMode::Explicit, &error);
  ASSERT_TRUE(server) << error;
  ftptest::TlsTransfer transfer = fetch(*server, TlsMode::Explicit);
  transfer.client = ftptest::TlsClient::Ftplib;
  transfer.upload = row.upload;
  transfer.input = "stored\n";
  transfer.active = row.active;
  transfer.reuse = row.reuse;
  transfer.close_notify = row.close_notify;
  ftptest::Outcome got = ftptest::transfer_over_tls(transfer);
  EXPECT_EQ(got.exit_status == 0, row.succeeds) << got.err;
  server->stop();

  ftptest::TlsRecord seen = server->record();
  ASSERT_EQ(seen.data.size(), 1u) << server->transcript();
  expect_data(seen.data[0], row.seen);
  if (row.upload) {
    EXPECT_EQ(server->read_file("f.txt"), "stored\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, TlsScriptServerSees, testing::ValuesIn(kSeenRows),
                         [](const testing::TestParamInfo<SeenRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
