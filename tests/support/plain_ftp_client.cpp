// The plain-socket FTP client of the server self-tests.
#include "tests/support/plain_ftp_client.h"

#include "tests/support/ftp_script_server.h"

namespace ftptest {

std::string PlainFtpClient::connect(const std::string& address, std::string* error, int port) {
  control_ = connect_tcp(address, port, timeout_ms_, error);
  buffered_.clear();
  return control_ ? read_reply() : "";
}

bool PlainFtpClient::read_line(std::string* line) {
  for (;;) {
    std::size_t end = buffered_.find("\r\n");
    if (end != std::string::npos) {
      *line = buffered_.substr(0, end);
      buffered_.erase(0, end + 2);
      return true;
    }
    if (receive_some(control_.get(), buffered_, timeout_ms_) <= 0) return false;
  }
}

std::string PlainFtpClient::read_reply() {
  std::string line, reply;
  if (!read_line(&line)) return "";
  reply = line + "\r\n";
  if (line.size() < 4 || line[3] != '-') return reply;
  std::string last = line.substr(0, 3) + " ";
  while (read_line(&line)) {
    reply += line + "\r\n";
    if (line.compare(0, 4, last) == 0) break;
  }
  return reply;
}

std::string PlainFtpClient::command(const std::string& line) {
  if (!send_all(control_.get(), line + "\r\n", timeout_ms_)) return "";
  return read_reply();
}

bool PlainFtpClient::login(const std::string& user, const std::string& password) {
  std::string reply = command("USER " + user);
  if (reply.compare(0, 3, "331") == 0) reply = command("PASS " + password);
  return reply.compare(0, 3, "230") == 0;
}

std::string PlainFtpClient::port() {
  data_listener_ = listen_tcp("127.0.0.1", 0, nullptr);
  int p = local_port(data_listener_.get());
  return command("PORT 127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256));
}

Fd PlainFtpClient::accept_data() {
  Fd data = accept_within(data_listener_.get(), timeout_ms_);
  data_listener_.reset();
  return data;
}

bool PlainFtpClient::receive_data(std::string* bytes) {
  Fd data = accept_data();
  if (!data) return false;
  for (;;) {
    long n = receive_some(data.get(), *bytes, timeout_ms_);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

bool PlainFtpClient::send_data(const std::string& bytes) {
  Fd data = accept_data();
  return data && send_all(data.get(), bytes, timeout_ms_);
}

std::string PlainFtpClient::retrieve(const std::string& command_line, std::string* bytes) {
  if (port().compare(0, 1, "2") != 0) return "";
  std::string replies = command(command_line);
  if (replies.compare(0, 1, "1") != 0) return replies;
  if (!receive_data(bytes)) return replies;
  return replies + read_reply();
}

std::string PlainFtpClient::store(const std::string& command_line, const std::string& bytes) {
  if (port().compare(0, 1, "2") != 0) return "";
  std::string replies = command(command_line);
  if (replies.compare(0, 1, "1") != 0) return replies;
  if (!send_data(bytes)) return replies;
  return replies + read_reply();
}

}  // namespace ftptest
