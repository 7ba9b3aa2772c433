// The scripted FTP-over-TLS server of the TLS tests
// (tests/servers/tls_ftp_server.py, whose top says what it does) run as a
// child process on a loopback address of the test process's own: any user
// and password, files from a folder of its own, TLS explicit or implicit
// with a chosen certificate, and one chosen misbehaviour. It records every
// command it receives (and whether in clear), and for each data connection
// whether it resumed the control connection's TLS session and how the client
// ended it.
//
//   std::string error;
//   auto server = ftptest::TlsScriptServer::start({ftptest::TlsScenario::CutDownload},
//                                                 {ftptest::TlsMode::Explicit}, &error);
//   ASSERT_TRUE(server) << error;
//   server->write_file("f.txt", "bytes");
//   ... a client trusting server->ca_file() reads f.txt from server->address() ...
//   server->stop();
//   ftptest::TlsRecord seen = server->record();
//   EXPECT_EQ(seen.commands[0], "clear AUTH TLS");
//   EXPECT_TRUE(seen.data[0].resumed);
//
// The server is stopped by its process id in stop() or the destructor; its
// folder and transcript stay until the destructor.
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/tls_certificates.h"

namespace ftptest {

enum class TlsScenario {
  Normal,              // serves as it should
  RefuseAuth,          // AUTH answered "534 TLS not available"; a login in clear is let in
  PipelinedAfter234,   // a forged "230 Logged in without a password" in clear behind the 234
  CutDownload,         // RETR data ends without close_notify, then "226 Transfer complete"
  StallHandshake,      // reads the control connection's ClientHello and never answers
  RefuseProt,          // PROT P answered "536 Protection level not supported"
  DataHandshakeFails,  // after 150 the data connection is closed, then "425 ... TLS handshake failed"
};
const char* scenario_name(TlsScenario scenario);  // the server's --scenario

struct TlsScript {
  TlsScenario scenario = TlsScenario::Normal;
  // A data connection that does not resume the control connection's TLS
  // session is closed and answered "522 SSL connection failed: session reuse
  // required", as vsftpd's require_ssl_reuse does.
  bool require_reuse = true;
  bool tls12_only = false;  // no TLS 1.3: sessions resume by id or TLS 1.2 ticket
};

// One data connection, as the server saw it.
struct TlsDataConnection {
  std::string mode;      // "passive" or "active"
  std::string verb;      // RETR, STOR, APPE, NLST, LIST
  bool tls = false;      // its handshake completed
  bool resumed = false;  // and resumed the control connection's session
  long bytes = 0;        // sent (downloads) or received (uploads)
  // How the client ended it: "close_notify", "eof" (a bare TCP end), "reset",
  // "open" (not within the server's wait); or "none" (no handshake), "cut"
  // (the server ended it without close_notify).
  std::string end;
};

struct TlsRecord {
  // Every command line as received, passwords included, each after "clear "
  // or "tls " (how it came); all sessions, in order.
  std::vector<std::string> commands;
  std::vector<TlsDataConnection> data;
  std::vector<std::string> notes;  // anything else the server saw or did
};

class TlsScriptServer {
 public:
  // Starts the server on a loopback address of this process's own, presenting
  // the certificate `tls.cert` made for that address, and waits (bounded)
  // until it listens. `tls.mode` must be Explicit or Implicit. Null, with
  // `error` set, on failure.
  static std::unique_ptr<TlsScriptServer> start(const TlsScript& script, const TlsServing& tls,
                                                std::string* error);
  ~TlsScriptServer();
  TlsScriptServer(const TlsScriptServer&) = delete;
  TlsScriptServer& operator=(const TlsScriptServer&) = delete;

  // SIGTERM to the server's process, SIGKILL when it has not ended within five
  // seconds. Safe to call more than once.
  void stop();

  pid_t pid() const { return child_ ? child_->pid() : -1; }
  const std::string& address() const { return address_; }
  int port() const { return control_port(mode_); }
  // The CA file that verifies the server's certificate (when it is Valid).
  const std::string& ca_file() const { return ca_file_; }

  // Files of the folder the server serves (its "/").
  bool write_file(const std::string& name, const std::string& bytes) const;
  std::string read_file(const std::string& name) const;  // "" when missing

  // What the server wrote about what it saw: one line per fact, each after
  // its session's number (the format is at the top of tls_ftp_server.py).
  std::string transcript() const;
  TlsRecord record() const;  // the transcript, taken apart

 private:
  TlsScriptServer(std::string folder, TlsMode mode);
  bool launch(const TlsScript& script, const CertificateFiles& cert, std::string* error);

  std::string folder_;  // the transcript, and files/ the server serves
  TlsMode mode_;
  std::string address_;
  std::string ca_file_;
  std::unique_ptr<Child> child_;  // one per attempt to start
};

}  // namespace ftptest
