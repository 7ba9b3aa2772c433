// Small, time-bounded TCP helpers for the test servers and the plain test
// client: an owning descriptor, waits that also end when a stop descriptor
// becomes readable, and listening on port 21 of a loopback address of our own.
#pragma once
#include <string>
#include <string_view>

namespace ftptest {

// Owns one file descriptor and closes it on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);
  // Closes with SO_LINGER 0, so the peer sees a reset instead of an end of data.
  void reset_connection();

 private:
  int fd_ = -1;
};

// The FTP port, where every test server listens by default.
constexpr int kFtpPort = 21;

// How long a test waits for something it caused to happen (a session to
// start, a command to arrive, a child to print): long enough for a loaded
// machine, short enough that a test that will not see it fails in seconds.
constexpr int kEventWaitMs = 10000;

enum class Wait { Ready, Timeout, Stopped, Failed };

// Waits until `fd` has `events` (POLLIN / POLLOUT), the stop descriptor (if
// any) is readable, or `timeout_ms` passes.
Wait wait_for(int fd, short events, int timeout_ms, int stop_fd = -1);
// Sleeps `ms`, or less when the stop descriptor becomes readable; false then.
bool pause_unless_stopped(int ms, int stop_fd);

// Writes every byte; false on failure, timeout or stop. Never raises SIGPIPE.
bool send_all(int fd, std::string_view bytes, int timeout_ms, int stop_fd = -1);
// Reads what arrives within `timeout_ms` (at most `max` bytes) and appends it
// to `out`. Returns the count, 0 at end of data, -1 on failure, timeout or stop.
long receive_some(int fd, std::string& out, int timeout_ms, int stop_fd = -1,
                  std::size_t max = 65536);

// `address` is an IPv4 or an IPv6 address, here and below.
Fd listen_tcp(const std::string& address, int port, std::string* error);
// Listens on `port` of a loopback address of this process's own (see
// loopback.h) and sets `address` to it; takes the next address while one is
// in use.
Fd listen_on_own_loopback(int port, std::string* address, std::string* error);

// Connects within `timeout_ms`, from `source` (an address, port 0) when given.
Fd connect_tcp(const std::string& address, int port, int timeout_ms, std::string* error,
               const std::string& source = "");
Fd accept_within(int listen_fd, int timeout_ms, int stop_fd = -1);

// A server at `address`:`port` as a HOST= value names it: the address alone
// on `usual_port`, else with the port ("127.0.0.5:2121"); an IPv6 address
// always in brackets with its port ("[::1]:40000").
std::string host_value(const std::string& address, int port, int usual_port = kFtpPort);

// The local address and port of a socket.
std::string local_address(int fd);
int local_port(int fd);

}  // namespace ftptest
