// The TLS clients of the test servers' own tests.
#include "tests/support/tls_clients.h"

#include <vector>

namespace ftptest {

namespace {
constexpr int kClientWaitMs = 60000;
}

Outcome transfer_over_tls(const TlsTransfer& t) {
  std::string port = std::to_string(control_port(t.mode));
  std::vector<std::string> argv;
  if (t.client == TlsClient::Curl) {
    std::string scheme = t.mode == TlsMode::Implicit ? "ftps://" : "ftp://";
    argv = {"/usr/bin/curl", "-sS", "--ssl-reqd", "--cacert", t.ca_file, "--max-time", "50",
            scheme + t.user + ":" + t.password + "@" + t.address + ":" + port + "/" + t.remote};
    if (t.upload) argv.insert(argv.end() - 1, {"-T", "-"});
  } else {
    argv = {"/usr/bin/python3", FTPAM_SOURCE_DIR "/tests/servers/ftps_client.py",
            t.upload ? "put" : "get", t.address, t.remote, "--port", port, "--cafile", t.ca_file,
            "--user", t.user, "--password", t.password};
    if (t.mode == TlsMode::Implicit) argv.push_back("--implicit");
    if (t.active) argv.push_back("--active");
    if (!t.reuse) argv.push_back("--no-reuse");
    if (!t.close_notify) argv.push_back("--no-close-notify");
  }
  return run({argv, {}, t.upload ? t.input : ""}, kClientWaitMs);
}

}  // namespace ftptest
