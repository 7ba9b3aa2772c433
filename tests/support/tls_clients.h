// Clients for the TLS test servers' own tests: curl, and Python's ftplib
// (tests/servers/ftps_client.py) where curl cannot be used. Both verify the
// server against a CA file, use passive data connections (ftplib: or
// active), and resume the control connection's TLS session on them.
//
//   ftptest::TlsTransfer fetch;
//   fetch.mode = ftptest::TlsMode::Explicit;
//   fetch.address = server->address();
//   fetch.ca_file = server->ca_file();
//   fetch.remote = "a.txt";
//   ftptest::Outcome got = ftptest::transfer_over_tls(fetch);
//   EXPECT_EQ(got.exit_status, 0) << got.err;
//   EXPECT_EQ(got.out, "the file's bytes");
#pragma once
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/tls_certificates.h"

namespace ftptest {

// curl cannot serve pyftpdlib over TLS: it starts a passive data
// connection's handshake before it sends the transfer command, and pyftpdlib
// reads that connection only from the transfer command on. Nor active mode at
// all: curl 7.88 stalls after accepting the server's data connection.
enum class TlsClient { Curl, Ftplib };

struct TlsTransfer {
  TlsClient client = TlsClient::Curl;
  TlsMode mode = TlsMode::Explicit;
  std::string address;  // the server's; its port follows from `mode`
  std::string ca_file;
  std::string user = "anonymous", password = "guest";
  std::string remote;   // the file's name
  bool upload = false;  // store `input` as `remote` instead of fetching it
  std::string input;
  // ftplib only: PORT instead of passive; a data connection that starts a
  // session of its own; an upload that ends with a bare TCP end.
  bool active = false, reuse = true, close_notify = true;
};

// Runs the client to its end (at most a minute). A fetch leaves the file's
// bytes in `out`; `err` has the client's messages. Exit status 0 when the
// transfer's final reply was positive (ftplib: and a download ended with
// close_notify).
Outcome transfer_over_tls(const TlsTransfer& transfer);

}  // namespace ftptest
