// Real FTP servers for end-to-end tests: pyftpdlib and vsftpd from the
// distribution, each started on port 21 of a loopback address of the test
// process's own (127.0.0.N, see loopback.h) or on a free port of ::1,
// serving a fresh folder to one user with write permission, and stopped by
// its process id. Both reply to PORT by connecting to the client
// (pyftpdlib at once, vsftpd at the transfer command) and accept it only for
// the address the control connection comes from (127.0.0.1).
//
//   if (std::string why = ftptest::unavailable(ftptest::ServerKind::Vsftpd); !why.empty())
//     GTEST_SKIP() << why;
//   std::string error;
//   auto server = ftptest::RealServer::start(ftptest::ServerKind::Vsftpd, &error);
//   ASSERT_TRUE(server) << error;
//   server->write_file("dir/a.txt", "line 1\nline 2\n");
//   ... log in to server->address() as server->user() / server->password() ...
//   EXPECT_EQ(server->read_file("b.txt"), "uploaded bytes");
//
// The server is stopped (and its folder removed) by stop() or the destructor.
//
// With TLS (RealServer::start(kind, &error, {TlsMode::Explicit}), or
// Implicit on port 990) both require it on the control connection and on
// every data connection (PBSZ 0, PROT P) and present a certificate made for
// their address (see tls_certificates.h; ca_file() verifies the Valid one).
// vsftpd also requires every data connection to resume the control
// connection's TLS session (else "522 SSL connection failed: session reuse
// required") and an upload to end with close_notify (else "426 Failure
// reading network stream.", the file kept as far as it came); pyftpdlib
// requires neither. Both end a download with close_notify, take TLS 1.2 and
// 1.3, and resume sessions in both. vsftpd sends 150 and then awaits the
// data connection's handshake, and asks for a client certificate (none is
// fine). pyftpdlib reads a data connection only from the transfer command
// on: a client that wants the handshake done before it sends the command
// does not get it done (curl, in passive mode, fails so).
#pragma once
#include <sys/types.h>

#include <memory>
#include <string>

#include "tests/support/tls_certificates.h"

namespace ftptest {

enum class ServerKind { Pyftpdlib, Vsftpd };

// The wait limit (host option XXAMWAIT, in seconds) of every test that drives
// a real server: a server that stalls fails the test after that long, with
// the module's message saying that the server sent nothing.
constexpr int kServerWaitSeconds = 10;

const char* server_name(ServerKind kind);

// Why a server of `kind` cannot be started here, with TLS in `mode` ("" when
// it can): a package it needs is not installed.
std::string unavailable(ServerKind kind, TlsMode mode = TlsMode::None);

class RealServer {
 public:
  // Starts a server of `kind` on port 21 (990 for implicit TLS) of a
  // loopback address of this process's own and waits (bounded) until it
  // greets. Returns null and sets `error` (with the server's own log) on
  // failure.
  // With `ipv6` it listens on ::1 instead, on a port the system found free
  // (the one address is shared by every server of the process).
  static std::unique_ptr<RealServer> start(ServerKind kind, std::string* error,
                                           const TlsServing& tls = {}, bool ipv6 = false);
  ~RealServer();
  RealServer(const RealServer&) = delete;
  RealServer& operator=(const RealServer&) = delete;

  // Stops the server and every session it still serves: SIGTERM to its
  // process, SIGKILL when it has not ended after five seconds, SIGKILL to
  // vsftpd's session processes; then removes its folder. Safe to call more
  // than once.
  void stop();

  ServerKind kind() const { return kind_; }
  pid_t pid() const { return pid_; }
  const std::string& address() const { return address_; }
  int port() const { return port_; }
  // The server as a HOST= value names it: "127.0.0.5", or "[::1]:40123".
  std::string host() const;
  const TlsServing& tls() const { return tls_; }
  // The CA file that verifies the server's certificate (when it is Valid);
  // "" without TLS.
  const std::string& ca_file() const { return ca_file_; }
  const std::string& user() const;
  const std::string& password() const;
  // The folder the user is in after logging in (the server's "/" for
  // pyftpdlib; an absolute path on the machine for vsftpd).
  const std::string& home() const { return home_; }

  // Writes a file under home() (creating folders), owned by the user the
  // server writes as, so that it may also overwrite or append to it.
  bool write_file(const std::string& relative, const std::string& bytes) const;
  bool make_folder(const std::string& relative) const;
  // The file's bytes ("" when it is missing).
  std::string read_file(const std::string& relative) const;
  // The server's log (pyftpdlib's session log, vsftpd's protocol log).
  std::string log() const;

 private:
  RealServer(ServerKind kind, std::string folder, TlsServing tls);
  bool launch(const CertificateFiles& cert, std::string* error);
  bool wait_for_greeting(std::string* error);
  bool greets() const;
  void stop_process();
  std::string banner() const;  // unique to this server
  void give_to_user(const std::string& path) const;

  ServerKind kind_;
  TlsServing tls_;
  std::string ca_file_;
  std::string folder_;  // everything of this server: config, log, home
  std::string home_;
  std::string address_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace ftptest
