// Opens of file references against an FTP server, for the tests of the
// control connection and of the transfers: a fixture that assigns references
// to the server's address, opens them through the host's record-level API,
// reads them to the end, and checks after every test that no pool block,
// descriptor, work file, reference or wait state is left behind.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/files.h"
#include "tests/support/ftp_script_server.h"

namespace ftptest {

using host::files::OpenFile;
using host::files::OpenParams;

class SessionTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Bounds every wait of the module (host option XXAMWAIT): a server that
  // stalls fails the open or the transfer after `seconds`, with the module's
  // message saying so, instead of leaving the test waiting.
  static void limit_waits(int seconds);

  // Starts a scripted server (stopped by TearDown, or by stop_server()). A
  // scripted server serves one session at a time: files open at the same
  // time each need a server of their own.
  // It listens where ScriptServer::start says (a loopback address of the
  // process's own on port 21 by default; "::1" with port 0 for IPv6).
  ftptest::ScriptServer& serve(ftptest::Script script, const std::string& address = "",
                               int port = kFtpPort);
  void stop_server();
  // The first server started (the one assign() points a reference at).
  ftptest::ScriptServer& server() { return *servers_.front(); }
  // The server started last.
  ftptest::ScriptServer& newest_server() { return *servers_.back(); }

  // Assigns `name` to `remote` with `options`, HOST set to `address` (the
  // first scripted server's host() when empty).
  void assign(const std::string& name, const std::string& remote, const std::string& options,
              const std::string& address = "");
  int32_t open(const std::string& name, std::unique_ptr<OpenFile>* file, OpenParams params = {});
  // Open-time options, parsed as for reading (NBYTE= allowed); the module
  // releases the block when the open ends.
  static FtpOptions* open_options(const std::string& options);

  // Reads records until a status other than 0 or 0x1009; that status goes to *end.
  static std::vector<std::string> read_all(OpenFile& file, int32_t* end);

  // Inserts of message `number` logged since the test started, as the host shows them.
  static std::vector<std::string> logged(int number);
  // The failure texts handed over since the last call.
  static std::vector<std::string> failure_texts();

 private:
  std::vector<std::unique_ptr<ftptest::ScriptServer>> servers_;
  int blocks_before_ = 0;
  int descriptors_before_ = 0;
  int work_files_before_ = 0;
};

}  // namespace ftptest
