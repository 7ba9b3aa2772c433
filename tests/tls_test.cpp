// FTP over TLS against the scripted TLS server: what is refused, and that
// nothing goes in clear once TLS is asked for -- certificates the module must
// not accept, a server that refuses AUTH TLS or PROT P, bytes forged in clear
// behind the 234, a download cut without close_notify, a handshake that never
// ends, a data handshake the server gives up; and what a good session looks
// like on the wire: every data connection TLS, resuming the control
// connection's session (TLS 1.3 and 1.2), uploads ended with close_notify.
// And ftpam's TLS flags, URLs and exit statuses, and plain FTP on a machine
// whose TLS library is out of reach.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/messages.h"
#include "host/options.h"
#include "module/msgno.h"
#include "module/status.h"
#include "tests/support/child_process.h"
#include "tests/support/session_support.h"
#include "tests/support/tls_script_server.h"

namespace {

using ftptest::ServerCert;
using ftptest::TlsMode;
using ftptest::TlsRecord;
using ftptest::TlsScenario;
using ftptest::TlsScript;
using ftptest::TlsScriptServer;

constexpr int kWaitSeconds = 10;
constexpr int kStallWaitSeconds = 2;
constexpr int kRunMs = 60000;
constexpr char kLibssl[] = "/usr/lib/i386-linux-gnu/libssl.so.3";

// ftpam with `args`; with `hide_tls`, in a mount namespace of its own where
// the TLS library is an empty file.
ftptest::Outcome ftpam(const std::vector<std::string>& args, bool hide_tls = false) {
  ftptest::Launch launch;
  if (hide_tls)
    launch.argv = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                   std::string("mount --bind /dev/null ") + kLibssl + " && exec \"$@\"", "sh"};
  for (const char* word : {FTPAM_CLI_PATH, "--wait", "10"}) launch.argv.push_back(word);
  launch.argv.insert(launch.argv.end(), args.begin(), args.end());
  launch.env = {"HOME=/nonexistent", "FTPHOST", "FTPUSER", "FTPAM_MODULE", "FTPAM_PASSWORD"};
  return ftptest::run(launch, kRunMs);
}

std::string describe(const ftptest::Outcome& o) {
  return "exit " + std::to_string(o.exit_status) + "\nstdout:\n" + o.out + "\nstderr:\n" + o.err;
}

std::string catalog(int number) { return host::messages::catalog_text(msg::GROUP, number); }

// The catalog text of `number` up to its first insert.
std::string catalog_start(int number) {
  std::string text = catalog(number);
  return text.substr(0, text.find('%'));
}

bool starts_with(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

class FtpOverTls : public ftptest::SessionTest {
 protected:
  void SetUp() override {
    ftptest::SessionTest::SetUp();
    limit_waits(kWaitSeconds);
  }
  void TearDown() override {
    if (server_) server_->stop();
    ftptest::SessionTest::TearDown();
  }

  // A fresh server; the module trusts its CA.
  testing::AssertionResult start(TlsScript script, TlsMode mode = TlsMode::Explicit,
                                 ServerCert cert = ServerCert::Valid) {
    std::string error;
    if (server_) server_->stop();
    server_ = TlsScriptServer::start(script, {mode, cert}, &error);
    if (!server_) return testing::AssertionFailure() << error;
    host::options::set("XXAMCAFL", server_->ca_file());
    return testing::AssertionSuccess();
  }

  // Assigns F to `remote` on the server with TLS in its mode.
  void assign_tls(const std::string& remote, const std::string& options = "",
                  TlsMode mode = TlsMode::Explicit) {
    assign("F", remote,
           std::string("USER='u' PASS='Secret-PW' TLS=") +
               (mode == TlsMode::Implicit ? "IMPLICIT " : "EXPLICIT ") + options,
           server_->address());
  }

  // The commands the server saw, as "clear VERB ..." or "tls VERB ...".
  std::vector<std::string> commands() { return server_->record().commands; }

  // Nothing but AUTH TLS went in clear: neither the user nor the password.
  void expect_nothing_in_clear_after_auth() {
    for (const std::string& c : commands())
      EXPECT_TRUE(c == "clear AUTH TLS" || starts_with(c, "tls ")) << c;
  }

  std::unique_ptr<TlsScriptServer> server_;
};

TEST_F(FtpOverTls, CertificatesThatMustNotBeAcceptedFailTheOpenBeforeTheLogIn) {
  struct Case {
    ServerCert cert;
    const char* reason;
  };
  const Case cases[] = {
      {ServerCert::WrongHost, "IP address mismatch"},
      {ServerCert::SelfSigned, "self-signed certificate"},
      {ServerCert::UnknownCa, "unable to get local issuer certificate"},
      {ServerCert::Expired, "certificate has expired"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ftptest::cert_name(c.cert));
    ASSERT_TRUE(start({}, TlsMode::Explicit, c.cert));
    assign_tls("f.txt");
    std::unique_ptr<ftptest::OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED);
    EXPECT_EQ(failure_texts(),
              std::vector<std::string>{catalog_start(msg::TLS_CERTIFICATE_REFUSED) + c.reason + "."});
    server_->stop();
    EXPECT_EQ(commands(), std::vector<std::string>{"clear AUTH TLS"});
  }
}

TEST_F(FtpOverTls, ACertificateNotCheckedIsAcceptedWithAWarningEachTime) {
  ASSERT_TRUE(start({}, TlsMode::Implicit, ServerCert::SelfSigned));
  server_->write_file("f.txt", "one\r\n");
  assign_tls("f.txt", "NOVERIFY", TlsMode::Implicit);
  for (int open_number = 1; open_number <= 2; ++open_number) {
    std::unique_ptr<ftptest::OpenFile> file;
    ASSERT_EQ(open("F", &file), st::OK) << testing::PrintToString(failure_texts());
    int32_t end = 0;
    EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"one"});
    EXPECT_EQ(file->close(), st::OK);
    EXPECT_EQ(logged(msg::TLS_NOT_VERIFIED).size(), size_t(open_number));
  }
}

// What a server does wrong ends the open or the read with the reason, and
// neither the user nor the password goes in clear.
TEST_F(FtpOverTls, RefusalsAndFaultsOfTheServerAreFailuresThatSaySo) {
  struct Case {
    TlsScenario scenario;
    int message;  // the failure text's message
    bool opens;   // the open succeeds and the read fails
  };
  const Case cases[] = {
      {TlsScenario::RefuseAuth, msg::TLS_AUTH_REFUSED, false},
      {TlsScenario::RefuseProt, msg::TLS_PROTECTION_REFUSED, false},
      {TlsScenario::DataHandshakeFails, msg::TLS_DATA_REFUSED, false},
      {TlsScenario::CutDownload, msg::TLS_DATA_CUT, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ftptest::scenario_name(c.scenario));
    ASSERT_TRUE(start({c.scenario}));
    server_->write_file("f.txt", "one\r\ntwo\r\n");
    assign_tls("f.txt");
    std::unique_ptr<ftptest::OpenFile> file;
    int32_t status = open("F", &file);
    if (c.opens) {
      ASSERT_EQ(status, st::OK);
      int32_t end = 0;
      read_all(*file, &end);
      EXPECT_EQ(end, st::FAILED);
      file->close();
    } else {
      EXPECT_EQ(status, st::FAILED);
    }
    auto texts = failure_texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_TRUE(starts_with(texts.back(), catalog_start(c.message))) << texts.back();
    server_->stop();
    expect_nothing_in_clear_after_auth();
  }
}

// The forged "230" sent in clear behind the 234 is never taken for the
// reply to USER: the log-in goes on through TLS.
TEST_F(FtpOverTls, RepliesSentInClearBehindThe234AreDropped) {
  ASSERT_TRUE(start({TlsScenario::PipelinedAfter234}));
  server_->write_file("f.txt", "one\r\n");
  assign_tls("f.txt");
  std::unique_ptr<ftptest::OpenFile> file;
  ASSERT_EQ(open("F", &file), st::OK);
  int32_t end = 0;
  EXPECT_EQ(read_all(*file, &end), std::vector<std::string>{"one"});
  EXPECT_EQ(file->close(), st::OK);
  server_->stop();
  const auto seen = commands();
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[1], "tls USER u");
  EXPECT_EQ(seen[2], "tls PASS Secret-PW");
  expect_nothing_in_clear_after_auth();
}

TEST_F(FtpOverTls, AServerThatStallsInTheHandshakeEndsAtTheWaitLimit) {
  for (TlsMode mode : {TlsMode::Explicit, TlsMode::Implicit}) {
    SCOPED_TRACE(ftptest::tls_mode_name(mode));
    ASSERT_TRUE(start({TlsScenario::StallHandshake}, mode));
    limit_waits(kStallWaitSeconds);
    assign_tls("f.txt", "", mode);
    std::unique_ptr<ftptest::OpenFile> file;
    EXPECT_EQ(open("F", &file), st::FAILED);
    auto texts = failure_texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(starts_with(texts[0], catalog_start(msg::WAIT_TIMED_OUT))) << texts[0];
  }
}

// Every transfer of a session resumes the control connection's session,
// with TLS 1.3 (whose tickets come after the handshake) and 1.2 alike, in
// both modes; an upload ends with our close_notify and arrives whole.
TEST_F(FtpOverTls, DataConnectionsResumeTheSessionAndUploadsEndWithCloseNotify) {
  for (bool tls12 : {false, true}) {
    for (bool passive : {false, true}) {
      SCOPED_TRACE(std::string(tls12 ? "TLS 1.2" : "TLS 1.3") + (passive ? " passive" : " active"));
      ASSERT_TRUE(start({TlsScenario::Normal, true, tls12}));
      const std::string mode = passive ? "PASV " : "";
      assign_tls("up.txt", mode);
      ftptest::OpenParams out;
      out.mode = OPEN_OUTPUT;
      std::unique_ptr<ftptest::OpenFile> file;
      ASSERT_EQ(open("F", &file, out), st::OK);
      for (const char* record : {"alpha", "beta"}) ASSERT_EQ(file->write(record), st::OK);
      ASSERT_EQ(file->close(), st::OK);
      EXPECT_EQ(server_->read_file("up.txt"), "alpha\r\nbeta\r\n");

      assign_tls("up.txt", mode);
      ASSERT_EQ(open("F", &file), st::OK);
      int32_t end = 0;
      EXPECT_EQ(read_all(*file, &end), (std::vector<std::string>{"alpha", "beta"}));
      EXPECT_EQ(file->close(), st::OK);
      server_->stop();
      const TlsRecord seen = server_->record();
      ASSERT_EQ(seen.data.size(), 2u);
      for (const auto& d : seen.data) {
        EXPECT_TRUE(d.tls && d.resumed) << d.verb;
        EXPECT_EQ(d.mode, passive ? "passive" : "active");
      }
      EXPECT_EQ(seen.data[0].end, "close_notify");
      expect_nothing_in_clear_after_auth();
    }
  }
}

// ftpam's ways to ask for TLS, and the exit status of each way it fails.
// In the arguments, {ca} stands for the test CA's file, {addr} for the
// server's address.
TEST_F(FtpOverTls, FtpamFlagsUrlsAndExitStatuses) {
  struct Case {
    TlsScenario scenario;
    TlsMode mode;
    std::vector<std::string> args;
    int exit_status;
    const char* said;  // on standard error
  };
  const std::vector<std::string> login = {"host={addr}", "user=u", "pass=Secret-PW"};
  auto with_login = [&](std::vector<std::string> args) {
    args.insert(args.end(), login.begin(), login.end());
    return args;
  };
  const Case cases[] = {
      {TlsScenario::Normal, TlsMode::Explicit, with_login({"--tls", "--cacert", "{ca}", "get", "f.txt"}), 0, ""},
      {TlsScenario::Normal, TlsMode::Explicit,
       with_login({"--tls", "--passive", "--cacert", "{ca}", "-v", "get", "f.txt"}), 0,
       "on the data connection."},
      {TlsScenario::Normal, TlsMode::Implicit,
       with_login({"--tls=implicit", "--cacert", "{ca}", "get", "f.txt"}), 0, ""},
      {TlsScenario::Normal, TlsMode::Implicit, {"--cacert", "{ca}", "get", "ftps://u:Secret-PW@{addr}/f.txt"},
       0, ""},
      {TlsScenario::Normal, TlsMode::Explicit, with_login({"--tls", "--insecure", "get", "f.txt"}), 0,
       "is not checked"},
      {TlsScenario::Normal, TlsMode::Explicit, with_login({"--tls", "get", "f.txt"}), 9,
       "unable to get local issuer certificate"},
      {TlsScenario::RefuseAuth, TlsMode::Explicit, with_login({"--tls", "--cacert", "{ca}", "get", "f.txt"}),
       8, "refused AUTH TLS"},
      {TlsScenario::CutDownload, TlsMode::Explicit,
       with_login({"--tls", "--cacert", "{ca}", "get", "f.txt"}), 1,
       "without the server's TLS close_notify"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(start({c.scenario}, c.mode));
    server_->write_file("f.txt", "one\r\n");
    std::vector<std::string> args;
    for (std::string a : c.args) {
      for (const auto& [mark, value] : {std::pair<std::string, std::string>{"{ca}", server_->ca_file()},
                                        {"{addr}", server_->address()}})
        if (size_t at = a.find(mark); at != std::string::npos) a.replace(at, mark.size(), value);
      args.push_back(a);
    }
    ftptest::Outcome o = ftpam(args);
    SCOPED_TRACE(testing::PrintToString(args) + "\n" + describe(o));
    EXPECT_EQ(o.exit_status, c.exit_status);
    if (c.exit_status == 0) {
      EXPECT_EQ(o.out, "one\n");
    }
    EXPECT_NE(o.err.find(c.said), std::string::npos);
    EXPECT_EQ(o.err.find("Secret-PW"), std::string::npos);
  }
}

// A machine without the TLS library still runs plain FTP; only TLS fails,
// naming the library.
TEST_F(FtpOverTls, WithoutTheTlsLibraryPlainFtpWorksAndTlsFailsNamingIt) {
  ftptest::Script script;
  ftptest::Step retr;
  retr.verb = "RETR";
  retr.reply = "150 Here.\r\n";
  retr.data = ftptest::Data::sending("one\r\n");
  retr.after = "226 Done.\r\n";
  script.defaults().step(retr);
  ftptest::ScriptServer& plain = serve(script);
  ftptest::Outcome o = ftpam({"get", "f.txt", "host=" + plain.address(), "user=u", "pass=p"}, true);
  if (o.err.rfind("unshare:", 0) == 0 || o.err.rfind("mount:", 0) == 0)
    GTEST_SKIP() << "no mount namespace here to hide the library in: " << o.err;
  EXPECT_EQ(o.exit_status, 0) << describe(o);
  EXPECT_EQ(o.out, "one\n");

  ASSERT_TRUE(start({}));
  o = ftpam({"--tls", "get", "f.txt", "host=" + server_->address(), "user=u", "pass=p"}, true);
  EXPECT_EQ(o.exit_status, 8) << describe(o);
  EXPECT_NE(o.err.find(catalog_start(msg::TLS_LIBRARY_MISSING)), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("libssl.so.3"), std::string::npos) << o.err;
  server_->stop();
  EXPECT_EQ(commands(), std::vector<std::string>{});
}

}  // namespace
