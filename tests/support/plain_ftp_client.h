// A minimal FTP client over plain sockets, for testing the test servers
// themselves (and for setting up or checking a server's state around a test).
// Active mode only, like the module: it listens on 127.0.0.1, sends PORT and
// lets the server connect. Every call is bounded by `timeout_ms`.
#pragma once
#include <string>

#include "tests/support/net.h"

namespace ftptest {

class PlainFtpClient {
 public:
  explicit PlainFtpClient(int timeout_ms = 10000) : timeout_ms_(timeout_ms) {}

  // Connects to `address`:`port` and returns the greeting ("" when none came).
  std::string connect(const std::string& address, std::string* error = nullptr,
                      int port = kFtpPort);
  // Sends `line` plus CR LF and returns the whole reply.
  std::string command(const std::string& line);
  // One whole reply, multi-line ones included, lines joined with CR LF and
  // ending with CR LF; "" when none arrives in time.
  std::string read_reply();
  // USER then PASS; true when the server answers 230 at some point.
  bool login(const std::string& user, const std::string& password);

  // Opens a fresh data listener and sends PORT for it; returns the reply.
  std::string port();
  // Accepts the server's data connection and reads it to its end.
  bool receive_data(std::string* bytes);
  // Accepts the server's data connection, sends `bytes` and closes it.
  bool send_data(const std::string& bytes);
  // A transfer command with a data connection: PORT, the command, its data,
  // the final reply. Returns the preliminary and final replies joined.
  std::string retrieve(const std::string& command, std::string* bytes);
  std::string store(const std::string& command, const std::string& bytes);

  int control() const { return control_.get(); }
  void close() { control_.reset(); }

 private:
  bool read_line(std::string* line);
  Fd accept_data();

  int timeout_ms_;
  Fd control_;
  Fd data_listener_;
  std::string buffered_;
};

}  // namespace ftptest
